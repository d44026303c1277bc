// NAIF body names and codes: the built-in table and its two lookups.
//
// What the lookups rely on:
//   * BUILTIN_BODIES holds NAIF's built-in body list (692 rows) in NAIF's
//     order; all rows of one code stand together and the first row of each
//     code's block carries the canonical name returned by `bodc2n`;
//   * rows whose names normalise to the same text always carry the same code,
//     so the name index has one answer per normalised name.
// Names are compared after `normalize_name`: Unicode White_Space and "_" are
// separators, runs of them become one blank and vanish at both ends, and all
// other characters take their full Unicode upper-case mapping.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace kernwerk {

struct BuiltinBody {
    std::string_view name;  // exactly as NAIF spells it (static storage)
    std::int32_t code;
};

extern const std::array<BuiltinBody, 692> BUILTIN_BODIES;

class NaifIdError {
public:
    enum class Kind { NameNotFound, CodeNotFound };

    // Carries the name exactly as the caller gave it, not normalised.
    static NaifIdError name_not_found(std::string_view name);
    static NaifIdError code_not_found(std::int32_t code);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    NaifIdError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

// The normalised form of a UTF-8 name (see above). Bytes that are not valid
// UTF-8 are read as U+FFFD, so the result is always valid UTF-8.
std::string normalize_name(std::string_view name);

// Name to code, by one exact lookup of the normalised name. Thread-safe; the
// first call builds the name index.
std::expected<std::int32_t, NaifIdError> bodn2c(std::string_view name);

// Code to canonical name, as stored in the table (static storage, valid for
// the life of the process). Thread-safe; the first call builds the code index.
std::expected<std::string_view, NaifIdError> bodc2n(std::int32_t code);

}  // namespace kernwerk
