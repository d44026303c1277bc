#include "text/naif_ids.hpp"

#include "base/common.hpp"

#include <algorithm>
#include <unordered_map>

namespace kernwerk {

#include "../../data/naif_body_table.inc"

NaifIdError NaifIdError::name_not_found(std::string_view name) {
    return {Kind::NameNotFound, "NAIF body name '" + std::string(name) + "' is not in the built-in table"};
}

NaifIdError NaifIdError::code_not_found(std::int32_t code) {
    return {Kind::CodeNotFound, "NAIF body code " + std::to_string(code) + " is not in the built-in table"};
}

// ---------------------------------------------------------------------------
// Upper-case mapping

namespace {

struct UpperRange {
    char32_t first;
    char32_t last;
    std::uint8_t stride;  // 1 or 2
    std::int32_t delta;
};

struct UpperSpecial {
    char32_t cp;
    char32_t out[3];  // trailing unused slots are 0
};

#include "../../data/unicode_upper_table.inc"

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Appends the full upper-case mapping of `cp`.
void append_upper(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp >= 'a' && cp <= 'z' ? cp - 0x20 : cp));
        return;
    }
    const auto* special = std::lower_bound(std::begin(UPPER_SPECIALS), std::end(UPPER_SPECIALS), cp,
                                           [](const UpperSpecial& s, char32_t c) { return s.cp < c; });
    if (special != std::end(UPPER_SPECIALS) && special->cp == cp) {
        for (char32_t c : special->out)
            if (c != 0) append_utf8(out, c);
        return;
    }
    // The ranges are disjoint and sorted: the candidate is the last range
    // starting at or before cp.
    const auto* next = std::upper_bound(std::begin(UPPER_RANGES), std::end(UPPER_RANGES), cp,
                                        [](char32_t c, const UpperRange& r) { return c < r.first; });
    if (next != std::begin(UPPER_RANGES)) {
        const UpperRange& r = *(next - 1);
        if (cp <= r.last && (cp - r.first) % r.stride == 0) {
            append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + r.delta));
            return;
        }
    }
    append_utf8(out, cp);
}

// Decodes the code point at text[i] and advances i; a byte that does not
// start a well-formed sequence is read as U+FFFD and skipped alone.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    if (auto cp = decode_utf8(text, i)) return *cp;
    ++i;
    return 0xFFFD;
}

}  // namespace

std::string normalize_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    bool at_separator = true;
    std::size_t i = 0;
    while (i < name.size()) {
        const char32_t cp = next_code_point(name, i);
        if (cp == U'_' || is_unicode_white_space(cp)) {
            if (!at_separator) {
                out.push_back(' ');
                at_separator = true;
            }
        } else {
            append_upper(out, cp);
            at_separator = false;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// ---------------------------------------------------------------------------
// Lookups

namespace {

using NameMap = std::unordered_map<std::string, std::int32_t>;
using CodeMap = std::unordered_map<std::int32_t, std::string_view>;

NameMap build_name_to_code() {
    NameMap map;
    map.reserve(BUILTIN_BODIES.size());
    // A later row with the same key replaces the earlier value; such rows
    // carry the same code in the built-in table.
    for (const BuiltinBody& row : BUILTIN_BODIES) map.insert_or_assign(normalize_name(row.name), row.code);
    return map;
}

CodeMap build_code_to_name() {
    CodeMap map;
    map.reserve(BUILTIN_BODIES.size());
    // The first row of each code's block holds its canonical name.
    for (const BuiltinBody& row : BUILTIN_BODIES) map.try_emplace(row.code, row.name);
    return map;
}

// Each index is built completely on the first call of its lookup, once per
// process: a function-local static is initialised exactly once, and
// concurrent first callers wait for the one that builds it. Never changed
// afterwards, so later lookups need no lock, and never freed, so a lookup
// from a thread still running while the process exits finds it intact.
const NameMap& NAME_TO_CODE() {
    static const NameMap& map = *new NameMap(build_name_to_code());
    return map;
}

const CodeMap& CODE_TO_NAME() {
    static const CodeMap& map = *new CodeMap(build_code_to_name());
    return map;
}

}  // namespace

std::expected<std::int32_t, NaifIdError> bodn2c(std::string_view name) {
    const NameMap& map = NAME_TO_CODE();
    const auto it = map.find(normalize_name(name));
    if (it == map.end()) return std::unexpected(NaifIdError::name_not_found(name));
    return it->second;
}

std::expected<std::string_view, NaifIdError> bodc2n(std::int32_t code) {
    const CodeMap& map = CODE_TO_NAME();
    const auto it = map.find(code);
    if (it == map.end()) return std::unexpected(NaifIdError::code_not_found(code));
    return it->second;
}

}  // namespace kernwerk
