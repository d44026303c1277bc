// SPICE text kernel parser.
//
// What the parser relies on:
//   * a kernel is UTF-8 text in which "\begindata" opens a data block of
//     assignments `NAME = value` / `NAME += value` (a value is one token or a
//     parenthesised list) and "\begintext" opens a block of free text; the
//     markers are matched in any ASCII case, anywhere on a line;
//   * line numbers are 1-based and count line feeds wherever they stand;
//   * only NAIF_BODY_NAME, NAIF_BODY_CODE, OBJECT_EARTH_FRAME and the five
//     DELTET/ leapseconds names are interpreted; every other assignment is
//     lexed and dropped, unless the caller asks for every assignment
//     (parse_text_kernel_with_assignments, what the kernel pool reads);
//   * OBJECT_EARTH_FRAME names ITRF93 for the lone parser (parse_text_kernel,
//     its documented rule); the pool's reading takes any frame name, as the
//     toolkit does;
//   * a variable name starts with a letter or "_" and runs over printable
//     ASCII up to white space, "=", "+=", a bracket, a comma, a quote or a
//     backslash (FRAME_-82000_NAME, INS-82360_FOV_FRAME, DELTET/K);
//   * one pass over the text, linear in its length; the first error ends the
//     parse and nothing partial is returned.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kernwerk {

// A calendar date from an "@YYYY-MMM-D" literal: month 1 to 12, day 1 to the
// month's length (Gregorian leap years).
struct CalendarDate {
    std::int32_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    bool operator==(const CalendarDate&) const = default;
};

// A bare word, a number token that does not parse, or a malformed date.
struct OtherValue {
    bool operator==(const OtherValue&) const = default;
};

// One lexed value: Integer (fits in 32 bits), Float, Date, Text (a quoted
// string with doubled quotes collapsed) or Other.
using Value = std::variant<std::int32_t, double, CalendarDate, std::string, OtherValue>;

struct BodyBinding {
    std::string name;  // exactly as quoted in the kernel, doubled quotes collapsed
    std::int32_t code = 0;
    bool operator==(const BodyBinding&) const = default;
};

struct FrameAssociation {
    std::string body;   // "EARTH"
    std::string frame;  // upper case: "ITRF93"; any frame under parse_text_kernel_with_assignments
    bool operator==(const FrameAssociation&) const = default;
};

struct DeltaAtEntry {
    std::int32_t leap_seconds = 0;
    CalendarDate date;
    bool operator==(const DeltaAtEntry&) const = default;
};

// The five leapseconds fields; DELTA_T_A and DELTA_AT in seconds.
struct LeapSecondsFields {
    double delta_t_a = 0;
    double k = 0;
    double eb = 0;
    std::array<double, 2> m{};  // in file order
    std::vector<DeltaAtEntry> delta_at;  // in file order
};

// One assignment as the kernel pool takes it: all numbers (integers,
// floats and @dates as seconds past J2000 counted in days of 86400 s, as the
// toolkit stores them) or all strings.
struct Assignment {
    std::string name;     // as written (names are case-sensitive)
    bool append = false;  // "+=" rather than "="
    std::uint64_t line = 0;  // the 1-based line of "="
    bool is_text = false;
    std::vector<double> numbers;       // when !is_text
    std::vector<std::string> strings;  // when is_text: one per quoted element, doubled quotes collapsed,
                                       // trailing blanks dropped (the toolkit's strings have none)
};

// The longest variable name the toolkit's pool holds.
inline constexpr std::size_t MAX_VARIABLE_NAME = 32;

struct TextKernel {
    std::vector<BodyBinding> body_bindings;            // declaration order
    std::vector<FrameAssociation> frame_associations;  // assignment order
    std::optional<LeapSecondsFields> leapseconds;      // present only if assigned, then complete
    std::vector<Assignment> assignments;               // file order; parse_text_kernel_with_assignments only
};

class TextKernelError {
public:
    enum class Kind { Io, Parse, CountMismatch };

    // {reason} is the system's description followed by " (os error {code})".
    static TextKernelError io_errno(std::string_view path, int code);
    static TextKernelError io_invalid_utf8(std::string_view path);
    // A device, socket or other file that is neither regular nor a pipe (an
    // endless device such as /dev/zero would otherwise be read up to the cap).
    static TextKernelError io_not_regular(std::string_view path);
    // `line` is 1-based.
    static TextKernelError parse(std::uint64_t line, std::string_view message);
    static TextKernelError count_mismatch(std::size_t names, std::size_t codes);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The 1-based line of a Parse error; 0 for the other kinds.
    std::uint64_t line() const noexcept { return line_; }

private:
    TextKernelError(Kind kind, std::string message, std::uint64_t line = 0)
        : kind_(kind), message_(std::move(message)), line_(line) {}
    Kind kind_;
    std::string message_;
    std::uint64_t line_;
};

// Largest text kernel read from a file: anything longer is refused with
// EFBIG rather than read into memory.
inline constexpr std::size_t MAX_TEXT_KERNEL_BYTES = std::size_t{1} << 30;

// Reads the whole file at `path` (relative to the current directory) as UTF-8
// text and parses it. Failures to read, a file longer than
// MAX_TEXT_KERNEL_BYTES, a file that is neither regular nor a pipe (nor a
// directory, which fails to read) and text that is not UTF-8 give Io with the
// path as given. The memory held while reading is the text's own length (at
// most the cap and a byte), however the text arrives.
std::expected<TextKernel, TextKernelError> parse_text_kernel(const std::string& path);

// Parses kernel text. Never Io. Meant for UTF-8 text; other bytes are passed
// over or copied into quoted strings unchanged.
std::expected<TextKernel, TextKernelError> parse_text_kernel_from_str(std::string_view text);

// The text after "@" of a date value -> seconds past J2000 (days of 86400 s,
// no leap seconds), or nullopt when the text is no date.
using DateReader = std::function<std::optional<double>(std::string_view)>;

// parse_text_kernel_from_str, keeping every assignment in `assignments` and
// checking each as the toolkit's pool would take it: a name of at most
// MAX_VARIABLE_NAME characters; at least one value; numbers and strings not
// mixed; no bare word; numbers within the range of a double; dates read by
// `dates` (when empty, only the "@YYYY-MMM-D" form). Each failure is a Parse
// error naming the variable, at the line of its "=".
std::expected<TextKernel, TextKernelError> parse_text_kernel_with_assignments(std::string_view text,
                                                                              const DateReader& dates = {});

// The body bindings of parse_text_kernel(path), or its error: the whole file
// is validated, leapseconds and frame assignments included.
std::expected<std::vector<BodyBinding>, TextKernelError> parse_body_bindings(const std::string& path);

// The value lexer, exposed for tests. Lexes the value list that starts at
// `pos` (just after "=" or "+="): one value, or a "(" list that ends at ")"
// or at the end of the text, or wherever a character starts no value. With
// `keep` false the list is lexed alike but no value is stored: the values of
// names that are not interpreted cost no memory, however long their lists.
struct ReadValues {
    std::vector<Value> values;
    std::size_t end = 0;           // where the lexer stopped
    std::uint64_t line_feeds = 0;  // line feeds passed between pos and end
};
ReadValues read_values(std::string_view text, std::size_t pos, bool keep = true);

}  // namespace kernwerk
