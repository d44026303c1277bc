// Errors of the SPK readers: a container error, no coverage, an unsupported
// data type or a malformed segment. Apart from spk.hpp so that the reader of
// each data type (spk_type*.hpp), which spk.hpp gathers into its payload
// variant, can use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "daf/daf.hpp"

namespace kernwerk {

struct SpkSegment;

class SpkError {
public:
    enum class Kind { Daf, NoCoverage, UnsupportedType, Malformed, UnsupportedFrame };

    SpkError(DafError daf) : kind_(Kind::Daf), message_(daf.message()), daf_(std::move(daf)) {}  // NOLINT
    static SpkError no_coverage(double et, std::int32_t target, std::int32_t center);
    static SpkError unsupported_type(std::int32_t data_type);
    // "malformed Type 2 segment: {reason}", whatever the type (readers match
    // that prefix).
    static SpkError malformed(std::string reason);
    // "malformed Type {data_type} segment: {reason}", for the checks that
    // name the segment's own type.
    static SpkError malformed_type(std::int32_t data_type, std::string reason);
    // A segment whose reference frame is neither J2000 (1) nor ECLIPJ2000 (17).
    static SpkError unsupported_frame(const SpkSegment& segment);

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
