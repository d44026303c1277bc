// What other parts of `_ext` use of the time bindings: a kernel set that has
// read a leapseconds kernel's fields hands them to Python as the same
// `_ext.LeapSeconds` object that `kernwerk.to_et(..., leapseconds=...)`
// takes (it accepts this object as well as a `kernwerk.LeapSeconds`).
#pragma once

#include "ext.hpp"

#include "text/text_kernel.hpp"

#include <optional>
#include <string>

namespace kernwerk::ext {

// A new `_ext.LeapSeconds` from parsed fields; `path` names the kernel they
// came from, if any. Fields that make no model raise Error(FileFormat).
nb::object leapseconds_object(const LeapSecondsFields& fields, std::optional<std::string> path = std::nullopt);

}  // namespace kernwerk::ext
