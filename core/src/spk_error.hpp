// Errors of the SPK readers: a container error, no coverage, an unsupported
// data type or a malformed segment. Apart from spk.hpp so that the reader of
// each data type (spk_type*.hpp), which spk.hpp gathers into its payload
// variant, can use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "daf.hpp"

namespace kernwerk {

class SpkError {
public:
    enum class Kind { Daf, NoCoverage, UnsupportedType, Malformed };

    SpkError(DafError daf) : kind_(Kind::Daf), message_(daf.message()), daf_(std::move(daf)) {}  // NOLINT
    static SpkError no_coverage(double et, std::int32_t target, std::int32_t center);
    static SpkError unsupported_type(std::int32_t data_type);
    static SpkError malformed(std::string reason);
    // "malformed Type N segment: <reason>", naming the segment's own type.
    static SpkError malformed_type(std::int32_t data_type, std::string_view reason);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The embedded container error (Kind::Daf only).
    const std::optional<DafError>& daf() const noexcept { return daf_; }

private:
    SpkError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    std::optional<DafError> daf_;
};

}  // namespace kernwerk
