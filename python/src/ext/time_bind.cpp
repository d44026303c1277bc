// Bindings of the time scales.
#include "ext.hpp"

namespace kernwerk::ext {

void register_time(nb::module_&) {}

}  // namespace kernwerk::ext
