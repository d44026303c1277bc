// Small numeric helpers shared by the kernel readers and writers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kernwerk {

// Position and velocity [x, y, z, vx, vy, vz], km and km/s.
using State = std::array<double, 6>;

// A count stored as a double in a kernel (NSUM, RSIZE, N, degree, window size)
// becomes an unsigned count by truncation toward zero, saturating: negative
// values and NaN give 0, values at or above 2^64 give the largest count.
std::uint64_t count_from_double(double value) noexcept;

// Truncation toward zero into a signed 64-bit index, saturating: NaN gives 0,
// values at or above 2^63 the largest value, values below -2^63 the smallest.
std::int64_t index_from_double(double value) noexcept;

// The shortest decimal text that reads back as the same double, written in
// full without an exponent and without a fraction for whole numbers:
// 1.5 -> "1.5", 100.0 -> "100", 1e-7 -> "0.0000001", 1e23 ->
// "100000000000000000000000", -0.0 -> "-0", NaN -> "NaN", infinities "inf"/"-inf".
std::string format_double(double value);

// The text Python's repr gives a float, written at `out` (at most
// kReprChars bytes, no terminator); returns the end. Shortest round-trip
// digits, positional while the decimal exponent is from -4 to 15 ("0.0001",
// "1234.0", "1e+16", "1e-05", "-0.0"), "nan", "inf", "-inf". No allocation:
// for bulk text output.
inline constexpr std::size_t kReprChars = 32;
char* format_repr(double value, char* out) noexcept;

// True for the code points of Unicode's White_Space property (ASCII blank,
// tab, LF, VT, FF, CR, NEL, NBSP and the other separators).
bool is_unicode_white_space(char32_t cp) noexcept;

// Decodes the code point that starts at text[i] and moves i past it; a byte
// that does not start a well-formed sequence (overlong, surrogate, above
// U+10FFFF, truncated) gives nothing and leaves i unchanged.
std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& i) noexcept;

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

// Removes trailing White_Space characters from well-formed UTF-8 text.
void trim_trailing_white_space(std::string& text);

}  // namespace kernwerk
