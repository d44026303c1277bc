#include "text/text_kernel.hpp"

#include "base/common.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kernwerk {

// ---------------------------------------------------------------------------
// Errors

TextKernelError TextKernelError::io_errno(std::string_view path, int code) {
    return {Kind::Io, "io error reading text kernel " + std::string(path) + ": " + std::strerror(code) +
                          " (os error " + std::to_string(code) + ")"};
}

TextKernelError TextKernelError::io_invalid_utf8(std::string_view path) {
    return {Kind::Io, "io error reading text kernel " + std::string(path) + ": stream did not contain valid UTF-8"};
}

TextKernelError TextKernelError::io_not_regular(std::string_view path) {
    return {Kind::Io, "io error reading text kernel " + std::string(path) + ": not a regular file or a pipe"};
}

TextKernelError TextKernelError::parse(std::uint64_t line, std::string_view message) {
    return {Kind::Parse, "parse error at line " + std::to_string(line) + ": " + std::string(message), line};
}

TextKernelError TextKernelError::count_mismatch(std::size_t names, std::size_t codes) {
    return {Kind::CountMismatch, "NAIF_BODY_NAME has " + std::to_string(names) + " entries but NAIF_BODY_CODE has " +
                                     std::to_string(codes) + " \u2014 they must match"};
}

// ---------------------------------------------------------------------------
// Character classes (ASCII only: bytes of multi-byte UTF-8 characters are
// never letters, digits or white space here)

namespace {

bool is_alpha(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
// Characters of a variable name: printable ASCII but for white space, "=",
// brackets, commas, quotes and the backslash of markers. A "+" just before
// "=" belongs to the operator (the caller checks).
bool is_name_char(char c) noexcept {
    return c > ' ' && c < 0x7F && c != '=' && c != '(' && c != ')' && c != ',' && c != '\'' && c != '"' &&
           c != '\\';
}
bool is_number_char(char c) noexcept {
    return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'D' || c == 'E' || c == 'd' || c == 'e';
}
char to_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

bool equals_ignore_case(std::string_view a, std::string_view upper) noexcept {
    if (a.size() != upper.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (to_upper(a[i]) != upper[i]) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Value lexer

// An optionally signed run of decimal digits that fits in 32 bits.
std::optional<std::int32_t> parse_int32(std::string_view tok) {
    std::size_t i = 0;
    bool negative = false;
    if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) negative = tok[i++] == '-';
    if (i == tok.size()) return std::nullopt;
    std::int64_t magnitude = 0;
    for (; i < tok.size(); ++i) {
        if (!is_digit(tok[i])) return std::nullopt;
        magnitude = magnitude * 10 + (tok[i] - '0');
        if (magnitude > std::int64_t{1} << 31) return std::nullopt;  // long runs stop here
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// A decimal floating-point number: optional sign, digits with an optional
// point (at least one digit on either side), optional exponent "E" with
// optional sign and at least one digit. "D"/"d" exponent letters count as
// "E". Out-of-range values round to infinity or zero of the right sign.
std::optional<double> parse_float(std::string_view tok) {
    char buf[64];
    std::string long_buf;
    char* s = buf;
    if (tok.size() >= sizeof buf) {
        long_buf.resize(tok.size());
        s = long_buf.data();
    }
    std::size_t n = 0;
    std::size_t i = 0;
    bool negative = false;
    if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) {
        negative = tok[i] == '-';
        if (negative) s[n++] = '-';
        ++i;
    }
    std::size_t int_digits = 0, frac_digits = 0;
    // Decimal exponent of the leading significant digit, for out-of-range
    // results: positive means overflow, otherwise underflow.
    std::int64_t lead = 0;
    bool seen_nonzero = false;
    for (; i < tok.size() && is_digit(tok[i]); ++i, ++int_digits) {
        if (tok[i] != '0' && !seen_nonzero) seen_nonzero = true;
        if (seen_nonzero) ++lead;
        s[n++] = tok[i];
    }
    if (i < tok.size() && tok[i] == '.') {
        s[n++] = tok[i++];
        for (; i < tok.size() && is_digit(tok[i]); ++i, ++frac_digits) {
            if (!seen_nonzero) {
                if (tok[i] != '0') seen_nonzero = true;
                else --lead;
            }
            s[n++] = tok[i];
        }
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < tok.size() && (tok[i] == 'E' || tok[i] == 'e' || tok[i] == 'D' || tok[i] == 'd')) {
        s[n++] = 'e';
        ++i;
        bool exp_negative = false;
        if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) {
            exp_negative = tok[i] == '-';
            s[n++] = tok[i++];
        }
        std::size_t exp_digits = 0;
        for (; i < tok.size() && is_digit(tok[i]); ++i, ++exp_digits) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (tok[i] - '0');
            s[n++] = tok[i];
        }
        if (exp_digits == 0) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != tok.size()) return std::nullopt;
    double value = 0;
    const auto res = std::from_chars(s, s + n, value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        const bool overflow = seen_nonzero && lead + exponent > 0;
        value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
    } else if (res.ec != std::errc() || res.ptr != s + n) {
        return std::nullopt;
    }
    return value;
}

// Unsigned decimal with an optional "+", at most `max`.
std::optional<std::uint32_t> parse_unsigned(std::string_view part, std::uint32_t max) {
    if (!part.empty() && part[0] == '+') part.remove_prefix(1);
    if (part.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : part) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool is_leap_year(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The text after "@": YEAR-MMM-DAY, year with optional "+" (so never
// negative), month by its three-letter English abbreviation in any case,
// day within the month.
std::optional<CalendarDate> parse_date(std::string_view body) {
    const std::size_t d1 = body.find('-');
    if (d1 == std::string_view::npos) return std::nullopt;
    const std::size_t d2 = body.find('-', d1 + 1);
    if (d2 == std::string_view::npos || body.find('-', d2 + 1) != std::string_view::npos) return std::nullopt;
    const auto year = parse_unsigned(body.substr(0, d1), INT32_MAX);
    const std::string_view month_text = body.substr(d1 + 1, d2 - d1 - 1);
    const auto day = parse_unsigned(body.substr(d2 + 1), 255);
    if (!year || !day || month_text.size() != 3) return std::nullopt;
    static constexpr std::string_view MONTHS[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    static constexpr std::uint8_t DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    while (month < 12 && !equals_ignore_case(month_text, MONTHS[month])) ++month;
    if (month == 12) return std::nullopt;
    const std::uint32_t length = DAYS[month] + (month == 1 && is_leap_year(*year) ? 1 : 0);
    if (*day < 1 || *day > length) return std::nullopt;
    return CalendarDate{static_cast<std::int32_t>(*year), static_cast<std::uint8_t>(month + 1),
                        static_cast<std::uint8_t>(*day)};
}

// A number token: Integer if it is an optionally signed run of digits that
// fits in 32 bits, else Float if it parses with "D"/"d" read as "E", else
// Other.
Value number_value(std::string_view tok) {
    if (tok.find_first_of(".DEde") == std::string_view::npos)
        if (const auto i = parse_int32(tok)) return *i;
    if (const auto f = parse_float(tok)) return *f;
    return OtherValue{};
}

}  // namespace

namespace {

// The value lexer, shared by read_values and the assignment reader: calls
// sink.text(std::string&&) for a quoted string (built only when
// sink.wants_text()), sink.number(token), sink.date(token after "@") and
// sink.word(token) for a bare word, in order. Returns where it stopped.
template <class Sink>
std::size_t lex_values(std::string_view text, std::size_t pos, Sink& sink, std::uint64_t& line_feeds) {
    const std::size_t n = text.size();
    std::size_t p = std::min(pos, n);
    const bool keep = sink.wants_text();
    auto skip = [&](bool commas) {
        while (p < n && (is_space(text[p]) || (commas && text[p] == ','))) {
            if (text[p] == '\n') ++line_feeds;
            ++p;
        }
    };

    skip(false);
    const bool list = p < n && text[p] == '(';
    if (list) ++p;
    for (;;) {
        skip(true);
        if (p >= n) break;
        const char c = text[p];
        if (c == '\'' || c == '"') {
            // Quoted string: a doubled quote stands for one; the text may end
            // before the closing quote.
            std::string s;
            ++p;
            for (;;) {
                const void* hit = std::memchr(text.data() + p, c, n - p);
                const std::size_t q = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : n;
                const std::string_view piece = text.substr(p, q - p);
                line_feeds += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
                if (keep) s.append(piece);
                if (q >= n) {
                    p = n;
                    break;
                }
                if (q + 1 < n && text[q + 1] == c) {
                    if (keep) s.push_back(c);
                    p = q + 2;
                    continue;
                }
                p = q + 1;
                break;
            }
            sink.text(std::move(s));
        } else if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
            const std::size_t start = p;
            while (p < n && is_number_char(text[p])) ++p;
            sink.number(text.substr(start, p - start));
        } else if (c == '@') {
            const std::size_t start = ++p;
            while (p < n && (is_alpha(text[p]) || (text[p] >= '-' && text[p] <= ':'))) ++p;
            sink.date(text.substr(start, p - start));
        } else if (is_alpha(c) || c == '_') {
            const std::size_t start = p;
            while (p < n && (is_alpha(text[p]) || is_digit(text[p]) || text[p] == '_')) ++p;
            sink.word(text.substr(start, p - start));
        } else {
            if (c == ')' && list) ++p;
            break;
        }
        if (!list) break;
    }
    return p;
}

// Lexed values as read_values reports them.
struct ValueSink {
    bool keep;
    std::vector<Value>* out;
    bool wants_text() const noexcept { return keep; }
    void text(std::string&& s) {
        if (keep) out->emplace_back(std::move(s));
    }
    void number(std::string_view tok) {
        if (keep) out->push_back(number_value(tok));
    }
    void date(std::string_view body) {
        if (!keep) return;
        if (const auto d = parse_date(body)) {
            out->emplace_back(*d);
        } else {
            out->emplace_back(OtherValue{});
        }
    }
    void word(std::string_view) {
        if (keep) out->emplace_back(OtherValue{});
    }
};

// The days from 2000-01-01 to a proleptic Gregorian date.
std::int64_t days_since_2000(std::int64_t y, int m, int d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 - 10957;
}

// 'tok' (built by appending: GCC 12 warns falsely of an overlapping copy in
// the operator+ chain).
std::string quoted_token(std::string_view prefix, std::string_view tok) {
    std::string out;
    out.reserve(tok.size() + prefix.size() + 2);
    out += '\'';
    out.append(prefix);
    out.append(tok);
    out += '\'';
    return out;
}

// Values of one assignment as the pool takes them; the first value that
// cannot be held is kept in `bad` (what to say about it) and ends the
// collection.
struct AssignmentSink {
    const DateReader* dates;
    Assignment* out;
    bool has_number = false, has_text = false;
    std::string bad;
    bool wants_text() const noexcept { return true; }
    void text(std::string&& s) {
        has_text = true;
        // The toolkit holds strings at a fixed length: trailing blanks are
        // not part of the value.
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (bad.empty()) out->strings.push_back(std::move(s));
    }
    void number(std::string_view tok) {
        has_number = true;
        if (!bad.empty()) return;
        const auto v = parse_float(tok);
        if (!v)
            bad = quoted_token("", tok) + " is not a number";
        else if (std::isinf(*v))
            bad = "the number " + quoted_token("", tok) + " is too large for a double";
        else
            out->numbers.push_back(*v);
    }
    void date(std::string_view body) {
        has_number = true;
        if (!bad.empty()) return;
        std::optional<double> v;
        if (dates && *dates) {
            v = (*dates)(body);
        } else if (const auto d = parse_date(body)) {
            v = static_cast<double>(days_since_2000(d->year, d->month, d->day) * 86400 - 43200);
        }
        if (v)
            out->numbers.push_back(*v);
        else
            bad = quoted_token("@", body) + " is not a date";
    }
    void word(std::string_view tok) {
        if (bad.empty()) bad = quoted_token("", tok) + " is neither a number, a quoted string nor an @date";
    }
};

}  // namespace

ReadValues read_values(std::string_view text, std::size_t pos, bool keep) {
    ReadValues out;
    ValueSink sink{keep, &out.values};
    out.end = lex_values(text, pos, sink, out.line_feeds);
    return out;
}

// ---------------------------------------------------------------------------
// Handlers: typed checks of one assignment's values

namespace {

using Unexpected = std::unexpected<TextKernelError>;

bool is_numeric(const Value& v) noexcept {
    return std::holds_alternative<std::int32_t>(v) || std::holds_alternative<double>(v);
}

double as_double(const Value& v) noexcept {
    if (const auto* i = std::get_if<std::int32_t>(&v)) return static_cast<double>(*i);
    return std::get<double>(v);
}

std::expected<std::string, TextKernelError> expect_scalar_string(std::string_view name, std::vector<Value>& values,
                                                                 std::uint64_t line) {
    if (values.size() != 1 || !std::holds_alternative<std::string>(values[0]))
        return Unexpected(TextKernelError::parse(line, std::string(name) + " expects one string"));
    return std::move(std::get<std::string>(values[0]));
}

std::expected<double, TextKernelError> expect_scalar_float(std::string_view name, const std::vector<Value>& values,
                                                           std::uint64_t line) {
    if (values.size() != 1 || !is_numeric(values[0]))
        return Unexpected(TextKernelError::parse(line, std::string(name) + " expects one numeric value"));
    return as_double(values[0]);
}

std::expected<std::vector<DeltaAtEntry>, TextKernelError> expect_delta_at(std::string_view name,
                                                                          const std::vector<Value>& values,
                                                                          std::uint64_t line) {
    const std::string n(name);
    if (values.empty() || values.size() % 2 != 0)
        return Unexpected(TextKernelError::parse(line, n + " expects alternating integer/date pairs"));
    std::vector<DeltaAtEntry> entries;
    entries.reserve(values.size() / 2);
    for (std::size_t i = 0; i < values.size(); i += 2) {
        const auto* seconds = std::get_if<std::int32_t>(&values[i]);
        if (!seconds)
            return Unexpected(TextKernelError::parse(line, n + " expects integer leap-second values"));
        const auto* date = std::get_if<CalendarDate>(&values[i + 1]);
        if (!date)
            return Unexpected(TextKernelError::parse(line, n + " expects @YYYY-MMM-D date literals"));
        entries.push_back({*seconds, *date});
    }
    return entries;
}

template <class T>
std::expected<T, TextKernelError> require_lsk_field(std::optional<T>& field, std::string_view name,
                                                    std::uint64_t line) {
    if (!field) return Unexpected(TextKernelError::parse(line, "incomplete leapseconds kernel: missing " + std::string(name)));
    return std::move(*field);
}

// Trims Unicode White_Space from both ends of UTF-8 text. A byte that does
// not start a well-formed character is not white space.
std::string_view trim_white_space(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        const auto cp = decode_utf8(s, next);
        if (!cp || !is_unicode_white_space(*cp)) break;
        begin = next;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // The last character starts at most three continuation bytes back.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        std::size_t next = start;
        const auto cp = decode_utf8(s, next);
        if (!cp || next != end || !is_unicode_white_space(*cp)) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

// ---------------------------------------------------------------------------
// Block scanner

enum class Name { None, BodyName, BodyCode, EarthFrame, DeltaTA, K, EB, M, DeltaAt };

struct NameEntry {
    std::string_view text;
    Name name;
};

constexpr NameEntry RECOGNISED[] = {
    {"NAIF_BODY_NAME", Name::BodyName}, {"NAIF_BODY_CODE", Name::BodyCode},
    {"OBJECT_EARTH_FRAME", Name::EarthFrame}, {"DELTET/DELTA_T_A", Name::DeltaTA},
    {"DELTET/K", Name::K}, {"DELTET/EB", Name::EB},
    {"DELTET/M", Name::M}, {"DELTET/DELTA_AT", Name::DeltaAt},
};

Name recognise(std::string_view raw) noexcept {
    for (const auto& entry : RECOGNISED)
        if (equals_ignore_case(raw, entry.text)) return entry.name;
    return Name::None;
}

std::string_view name_text(Name name) noexcept {
    for (const auto& entry : RECOGNISED)
        if (entry.name == name) return entry.text;
    return {};
}

// "\begindata" or "\begintext" starting at the backslash text[p]: exactly
// nine letters after it, matched ignoring ASCII case.
std::optional<bool> marker_at(std::string_view text, std::size_t p) {
    if (text.size() - p < 10) return std::nullopt;
    const std::string_view word = text.substr(p + 1, 9);
    if (p + 10 < text.size() && is_alpha(text[p + 10])) return std::nullopt;
    if (equals_ignore_case(word, "BEGINDATA")) return true;
    if (equals_ignore_case(word, "BEGINTEXT")) return false;
    return std::nullopt;
}

class Parser {
public:
    explicit Parser(std::string_view text, std::vector<Assignment>* assignments = nullptr,
                    const DateReader* dates = nullptr)
        : text_(text), assignments_(assignments), dates_(dates) {}

    std::expected<TextKernel, TextKernelError> run() {
        const std::size_t n = text_.size();
        while (pos_ < n) {
            const char c = text_[pos_];
            if (c == '\\') {
                if (const auto data = marker_at(text_, pos_)) {
                    in_data_ = *data;
                    pos_ += 10;
                } else {
                    ++pos_;
                }
                continue;
            }
            if (!in_data_) {
                // Text mode: only a marker matters.
                const void* hit = std::memchr(text_.data() + pos_, '\\', n - pos_);
                const std::size_t next = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data()) : n;
                line_ += static_cast<std::uint64_t>(std::count(text_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                                               text_.begin() + static_cast<std::ptrdiff_t>(next), '\n'));
                pos_ = next;
                continue;
            }
            if ((is_alpha(c) || c == '_') && (pos_ == 0 || !is_name_char(text_[pos_ - 1]))) {
                if (auto r = assignment(); !r) return Unexpected(std::move(r.error()));
                continue;
            }
            if (c == '\n') ++line_;
            ++pos_;
        }
        return finish();
    }

private:
    // A name at pos_ in data mode: an assignment if "=" or "+=" follows.
    std::expected<void, TextKernelError> assignment() {
        const std::size_t n = text_.size();
        const std::size_t start = pos_;
        std::size_t p = pos_;
        while (p < n && is_name_char(text_[p]) && !(text_[p] == '+' && p + 1 < n && text_[p + 1] == '=')) ++p;
        const std::size_t name_end = p;
        const Name name = recognise(text_.substr(start, name_end - start));

        std::uint64_t line_feeds = 0;
        while (p < n && is_space(text_[p])) {
            if (text_[p] == '\n') ++line_feeds;
            ++p;
        }
        const bool append = p < n && text_[p] == '+';
        if (append) ++p;
        if (p >= n || text_[p] != '=') {
            if (name != Name::None)
                return Unexpected(TextKernelError::parse(
                    line_, "expected '=' or '+=' after " + std::string(name_text(name))));
            // Not an assignment: go on right after the name; the white space
            // and its line feeds are scanned again from there.
            pos_ = name_end;
            return {};
        }
        line_ += line_feeds;
        const std::uint64_t line = line_;  // the line of "="
        if (assignments_) {
            if (auto r = collect(text_.substr(start, name_end - start), append, p + 1, line); !r)
                return Unexpected(std::move(r.error()));
        }
        ReadValues r = read_values(text_, p + 1, name != Name::None);
        pos_ = r.end;
        line_ += r.line_feeds;
        if (name == Name::None) return {};
        return handle(name, r.values, line);
    }

    // Every assignment, for the pool: the values lexed once more as it takes
    // them (the lexer stops where read_values stops).
    std::expected<void, TextKernelError> collect(std::string_view name, bool append, std::size_t pos,
                                                 std::uint64_t line) {
        const std::string var(name);
        if (name.size() > MAX_VARIABLE_NAME)
            return Unexpected(TextKernelError::parse(
                line, "variable name " + var + " has " + std::to_string(name.size()) +
                          " characters; a kernel variable name has at most " +
                          std::to_string(MAX_VARIABLE_NAME)));
        Assignment a;
        a.name = var;
        a.append = append;
        a.line = line;
        AssignmentSink sink{dates_, &a, false, false, {}};
        std::uint64_t line_feeds = 0;
        lex_values(text_, pos, sink, line_feeds);
        if (!sink.bad.empty()) return Unexpected(TextKernelError::parse(line, "variable " + var + ": " + sink.bad));
        if (sink.has_number && sink.has_text)
            return Unexpected(TextKernelError::parse(line, "variable " + var + " mixes numbers and strings"));
        if (!sink.has_number && !sink.has_text)
            return Unexpected(TextKernelError::parse(line, "variable " + var + " is assigned no value"));
        a.is_text = sink.has_text;
        assignments_->push_back(std::move(a));
        return {};
    }

    std::expected<void, TextKernelError> handle(Name name, std::vector<Value>& values, std::uint64_t line) {
        const std::string_view text = name_text(name);
        switch (name) {
            case Name::BodyName:
                for (const Value& v : values)
                    if (!std::holds_alternative<std::string>(v))
                        return Unexpected(TextKernelError::parse(line, std::string(text) + " expects strings"));
                for (Value& v : values) names_.push_back(std::move(std::get<std::string>(v)));
                return {};
            case Name::BodyCode:
                for (const Value& v : values)
                    if (!std::holds_alternative<std::int32_t>(v))
                        return Unexpected(TextKernelError::parse(line, std::string(text) + " expects integers"));
                for (const Value& v : values) codes_.push_back(std::get<std::int32_t>(v));
                return {};
            case Name::EarthFrame: {
                auto s = expect_scalar_string(text, values, line);
                if (!s) return Unexpected(std::move(s.error()));
                // The pool's reading (kernel sets) takes any frame, as the
                // toolkit does: a frame kernel may make the Earth's frame
                // EARTH_FIXED (a TK alias of ITRF93) or IAU_EARTH, and the
                // frame catalog answers it through OBJECT_EARTH_FRAME. The
                // lone parser keeps its documented ITRF93-only rule.
                const std::string_view frame = trim_white_space(*s);
                if (!assignments_ && !equals_ignore_case(frame, "ITRF93"))
                    return Unexpected(
                        TextKernelError::parse(line, std::string(text) + " currently supports only the ITRF93 frame"));
                std::string upper(frame);
                for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                frames_.push_back({"EARTH", std::move(upper)});
                return {};
            }
            case Name::DeltaTA:
            case Name::K:
            case Name::EB: {
                if (!lsk_line_) lsk_line_ = line;
                auto f = expect_scalar_float(text, values, line);
                if (!f) return Unexpected(std::move(f.error()));
                (name == Name::DeltaTA ? delta_t_a_ : name == Name::K ? k_ : eb_) = *f;
                return {};
            }
            case Name::M:
                if (!lsk_line_) lsk_line_ = line;
                if (values.size() != 2)
                    return Unexpected(
                        TextKernelError::parse(line, std::string(text) + " expects exactly two numeric values"));
                if (!is_numeric(values[0]) || !is_numeric(values[1]))
                    return Unexpected(TextKernelError::parse(line, std::string(text) + " expects numeric values"));
                m_ = std::array<double, 2>{as_double(values[0]), as_double(values[1])};
                return {};
            case Name::DeltaAt: {
                if (!lsk_line_) lsk_line_ = line;
                auto entries = expect_delta_at(text, values, line);
                if (!entries) return Unexpected(std::move(entries.error()));
                delta_at_ = std::move(*entries);
                return {};
            }
            case Name::None:
                break;
        }
        return {};
    }

    std::expected<TextKernel, TextKernelError> finish() {
        if (names_.size() != codes_.size())
            return Unexpected(TextKernelError::count_mismatch(names_.size(), codes_.size()));
        TextKernel kernel;
        if (lsk_line_) {
            const std::uint64_t line = *lsk_line_;
            LeapSecondsFields lsk;
            auto a = require_lsk_field(delta_t_a_, "DELTET/DELTA_T_A", line);
            if (!a) return Unexpected(std::move(a.error()));
            auto k = require_lsk_field(k_, "DELTET/K", line);
            if (!k) return Unexpected(std::move(k.error()));
            auto eb = require_lsk_field(eb_, "DELTET/EB", line);
            if (!eb) return Unexpected(std::move(eb.error()));
            auto m = require_lsk_field(m_, "DELTET/M", line);
            if (!m) return Unexpected(std::move(m.error()));
            auto at = require_lsk_field(delta_at_, "DELTET/DELTA_AT", line);
            if (!at) return Unexpected(std::move(at.error()));
            lsk.delta_t_a = *a;
            lsk.k = *k;
            lsk.eb = *eb;
            lsk.m = *m;
            lsk.delta_at = std::move(*at);
            kernel.leapseconds = std::move(lsk);
        }
        kernel.body_bindings.reserve(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i) kernel.body_bindings.push_back({std::move(names_[i]), codes_[i]});
        kernel.frame_associations = std::move(frames_);
        if (assignments_) kernel.assignments = std::move(*assignments_);
        return kernel;
    }

    std::string_view text_;
    std::vector<Assignment>* assignments_;
    const DateReader* dates_;
    std::size_t pos_ = 0;
    std::uint64_t line_ = 1;
    bool in_data_ = false;

    std::vector<std::string> names_;
    std::vector<std::int32_t> codes_;
    std::vector<FrameAssociation> frames_;
    std::optional<std::uint64_t> lsk_line_;  // line of the first DELTET/ assignment
    std::optional<double> delta_t_a_, k_, eb_;
    std::optional<std::array<double, 2>> m_;
    std::optional<std::vector<DeltaAtEntry>> delta_at_;
};

// The bytes of a file, read into an anonymous mapping that grows by mremap:
// pages move without a copy, so the memory held stays the text's own length
// (a growing string holds an old and a new copy while it reallocates, near
// twice the cap when a pipe fills it).
class ReadBuffer {
public:
    ReadBuffer() = default;
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    ~ReadBuffer() {
        if (data_) ::munmap(data_, capacity_);
    }
    // Room for at least `bytes` in all; false when the memory cannot be had.
    bool reserve(std::size_t bytes) {
        if (bytes <= capacity_) return true;
        void* p = data_ ? ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE)
                        : ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        data_ = static_cast<char*>(p);
        capacity_ = bytes;
        return true;
    }
    char* data() noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view view() const noexcept { return {data_, size}; }

    std::size_t size = 0;

private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Reads the whole file into `buf`, refusing more than MAX_TEXT_KERNEL_BYTES.
std::expected<void, TextKernelError> read_file(const std::string& path, ReadBuffer& buf) {
    // open() would read a path with an embedded NUL as a shorter one.
    if (path.find('\0') != std::string::npos) return Unexpected(TextKernelError::io_errno(path, EINVAL));
    // Opened without blocking, so that a FIFO with no writer cannot hang the
    // caller in open(); reads then block as usual (a FIFO with no writer
    // reads as empty).
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return Unexpected(TextKernelError::io_errno(path, errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
        return Unexpected(TextKernelError::io_errno(path, errno));

    struct stat st {};
    if (::fstat(fd, &st) != 0) return Unexpected(TextKernelError::io_errno(path, errno));
    // Devices may never end (/dev/zero, /dev/urandom); only regular files and
    // pipes are read. A directory goes on to fail its read with EISDIR.
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISDIR(st.st_mode))
        return Unexpected(TextKernelError::io_not_regular(path));
    if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > MAX_TEXT_KERNEL_BYTES)
        return Unexpected(TextKernelError::io_errno(path, EFBIG));
    // Until the end of the file, or one byte past the cap: a regular file in
    // one read of its size and one that sees the end (it may have grown since
    // fstat), a pipe in chunks that double.
    constexpr std::size_t kLimit = MAX_TEXT_KERNEL_BYTES + 1;
    const std::size_t want = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16;
    while (buf.size < kLimit) {
        if (buf.size == buf.capacity()) {
            const std::size_t grown = std::min(kLimit, std::max(want, 2 * buf.capacity()));
            if (!buf.reserve(grown)) return Unexpected(TextKernelError::io_errno(path, ENOMEM));
        }
        const ssize_t got = ::read(fd, buf.data() + buf.size, buf.capacity() - buf.size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Unexpected(TextKernelError::io_errno(path, errno));
        }
        if (got == 0) break;
        buf.size += static_cast<std::size_t>(got);
    }
    if (buf.size > MAX_TEXT_KERNEL_BYTES) return Unexpected(TextKernelError::io_errno(path, EFBIG));
    if (!is_valid_utf8(buf.view())) return Unexpected(TextKernelError::io_invalid_utf8(path));
    return {};
}

}  // namespace

std::expected<TextKernel, TextKernelError> parse_text_kernel_from_str(std::string_view text) {
    return Parser(text).run();
}

std::expected<TextKernel, TextKernelError> parse_text_kernel_with_assignments(std::string_view text,
                                                                              const DateReader& dates) {
    std::vector<Assignment> assignments;
    return Parser(text, &assignments, &dates).run();
}

std::expected<TextKernel, TextKernelError> parse_text_kernel(const std::string& path) {
    ReadBuffer text;
    if (auto ok = read_file(path, text); !ok) return Unexpected(std::move(ok.error()));
    return parse_text_kernel_from_str(text.view());
}

std::expected<std::vector<BodyBinding>, TextKernelError> parse_body_bindings(const std::string& path) {
    auto kernel = parse_text_kernel(path);
    if (!kernel) return Unexpected(std::move(kernel.error()));
    return std::move(kernel->body_bindings);
}

}  // namespace kernwerk
