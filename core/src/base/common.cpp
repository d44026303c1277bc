#include "base/common.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace kernwerk {

std::uint64_t count_from_double(double value) noexcept {
    if (!(value > 0.0)) return 0;  // negative, zero and NaN
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

std::int64_t index_from_double(double value) noexcept {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (value < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

char* format_repr(double value, char* out) noexcept {
    const auto put = [&out](std::string_view text) {
        for (char c : text) *out++ = c;
    };
    if (std::isnan(value)) {
        put("nan");
        return out;
    }
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) {
        put("inf");
        return out;
    }
    if (value == 0.0) {
        put("0.0");
        return out;
    }
    // Shortest digits d1.d2d3...e[+-]X of |value|; the value is 0.d1d2... x 10^point.
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    char digits[24];
    int n = 0;
    const char* p = buf;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp10);
    const int point = exp10 + 1;
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            put("0.");
            for (int i = 0; i < -point; ++i) *out++ = '0';
            for (int i = 0; i < n; ++i) *out++ = digits[i];
        } else if (point >= n) {
            for (int i = 0; i < n; ++i) *out++ = digits[i];
            for (int i = n; i < point; ++i) *out++ = '0';
            put(".0");
        } else {
            for (int i = 0; i < point; ++i) *out++ = digits[i];
            *out++ = '.';
            for (int i = point; i < n; ++i) *out++ = digits[i];
        }
        return out;
    }
    *out++ = digits[0];
    if (n > 1) {
        *out++ = '.';
        for (int i = 1; i < n; ++i) *out++ = digits[i];
    }
    *out++ = 'e';
    *out++ = exp10 < 0 ? '-' : '+';
    const int e = exp10 < 0 ? -exp10 : exp10;
    if (e >= 100) *out++ = static_cast<char>('0' + e / 100);
    *out++ = static_cast<char>('0' + e / 10 % 10);
    *out++ = static_cast<char>('0' + e % 10);
    return out;
}

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0.0) return std::signbit(value) ? "-0" : "0";

    // Shortest round-trip digits in scientific form, "d.ddde+XX", then laid
    // out positionally from the digit string and the decimal exponent.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    const std::size_t epos = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < epos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    const int exp10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());
    // The value is 0.d1d2d3... x 10^(exp10 + 1).
    const int point = exp10 + 1;  // digits before the decimal point
    const int ndigits = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= ndigits) {
        out += digits;
        out.append(static_cast<std::size_t>(point - ndigits), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

}  // namespace kernwerk

namespace kernwerk {

bool is_unicode_white_space(char32_t cp) noexcept {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

std::optional<char32_t> decode_utf8(std::string_view text, std::size_t& i) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char c = s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    std::size_t len;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return std::nullopt;
    i += len;
    return cp;
}

bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size())
        if (!decode_utf8(text, i)) return false;
    return true;
}

void trim_trailing_white_space(std::string& text) {
    for (;;) {
        if (text.empty()) return;
        // Find the start of the last code point.
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + start;
        const std::size_t len = text.size() - start;
        char32_t cp;
        if (len == 1) cp = s[0];
        else if (len == 2) cp = ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
        else if (len == 3) cp = ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
        else cp = ((s[0] & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
        if (!is_unicode_white_space(cp)) return;
        text.resize(start);
    }
}

}  // namespace kernwerk
