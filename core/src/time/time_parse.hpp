// Reading dates from text and writing ISO 8601 dates, singly and over raw
// arrays of fixed-width strings.
//
// Conventions the code relies on:
//   * text is ASCII, case-insensitive, blanks around it ignored;
//   * accepted forms, each optionally followed by a blank and a scale token
//     (UTC, TAI, TT, TDT or TDB; UTC when absent unless the caller says
//     otherwise):
//       ISO 8601 calendar or day of year: 2026-12-07, 2026-12-07T12, 2026-12-07T12:30,
//         2026-12-07T12:30:00.125, 2026-341T12:30:00, "T" or one blank
//         before the time, an optional "Z" (UTC) after it;
//       the toolkit's forms with a month name (three letters or in full):
//         2026 DEC 07 12:30:00.125, 7 Dec 2026 12:30, Dec 7, 2026, with
//         blanks, commas, "-" or "/" between the date's fields;
//       Julian dates: JD 2461381.5, 2461381.5 JD, JDTDB 2461381.5,
//         JDTDT ... (the scale may also follow);
//       a plain decimal number (631152000, -1.5e3): seconds past J2000 of
//         its scale, ET (TDB) unless a scale is named or given, as numbers
//         are everywhere else (so command lines and files may mix both);
//   * years are astronomical and signed: 0000 is 1 B.C., -0001 is 2 B.C.;
//     in ISO forms a year has four digits (0000 to 9999), five for years
//     from 10000 (as the toolkit's ISO output writes them), and a "-" (or
//     a "+") with four or five digits otherwise, from -99999 to 99999.
//     The toolkit's era forms read too: "13200 B.C. JAN 01", "1 A.D. JAN 1"
//     (an era with one to five digits; 1 B.C. is year 0). Two-digit years
//     are not guessed at (the toolkit reads them as 1969 to 2068);
//   * fields out of range are refused, never wrapped: month 1-12, day within
//     the month, day of year within the year, hour 0-23, minute 0-59, second
//     0-59, and 60 only as 23:59:60 of a UTC day that ends in a leap second
//     (checked against the leapseconds data when the date is converted);
//   * decimal fractions are read exactly into a double in [0, 1) beside the
//     whole seconds, so no digit written is lost before the final rounding;
//   * ISO output rounds to the digits asked for, half away from zero, and
//     carries through the calendar: on a day ending in a leap second,
//     23:59:59.9996 becomes 23:59:60.000, otherwise the next day's 00:00:00.
#pragma once

#include "time/time_scales.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kernwerk::timescale {

struct ParsedTime {
    DayTime time;            // calendar time of `scale`, unless is_number
    bool is_number = false;  // a plain number of seconds past J2000
    double seconds = 0;      // ... its value
    Scale scale = Scale::UTC;
    bool scale_named = false;  // the text named its scale
};

// One line listing the accepted forms, for error messages.
std::string_view accepted_forms() noexcept;

// Parses one date; Epoch errors quote the text.
std::expected<ParsedTime, TimeError> parse_time(std::string_view text);

// Parses and converts to ET; `scale` applies when the text names none, and
// when absent dates are UTC and plain numbers ET. Errors quote the text.
std::expected<double, TimeError> text_to_et(const LeapSeconds* lsk, std::string_view text, std::optional<Scale> scale);

// Reads a scale name ("utc", "TAI", "tt", "tdt", "tdb", "et"), any case.
std::expected<Scale, TimeError> parse_scale(std::string_view name);

enum class DateStyle : std::uint8_t { Calendar, DayOfYear };
inline constexpr int MAX_DIGITS = 12;

// The years dates are written and read for.
inline constexpr std::int64_t MIN_YEAR = -99999, MAX_YEAR = 99999;

// Characters of an ISO date with `digits` decimals (digits 0..MAX_DIGITS)
// and a year of four digits (0000 to 9999).
constexpr std::size_t iso_width(DateStyle style, int digits) noexcept {
    return (style == DateStyle::Calendar ? 19u : 17u) + (digits > 0 ? 1u + static_cast<std::size_t>(digits) : 0u);
}
// The most characters any year takes ("-99999"): two more.
constexpr std::size_t iso_max_width(DateStyle style, int digits) noexcept { return iso_width(style, digits) + 2; }

// Writes ET as an ISO date of `scale` into out[0, n) (no terminator), n at
// most iso_max_width, and returns n. The year is written as the header says;
// years outside MIN_YEAR to MAX_YEAR and non-finite ET are errors.
std::expected<std::size_t, TimeError> format_iso(const LeapSeconds* lsk, Scale scale, double et, int digits,
                                                 DateStyle style, char* out);

// The toolkit's calendar form ("C" of et2utc): "2026 DEC 07 12:30:00.125",
// with the era "A.D." for years 1 to 999 and "B.C." for years before 1 (1
// B.C. is year 0): "13200 B.C. JAN 01 00:00:00.000". Into out[0, n), n at
// most 40, returned.
std::expected<std::size_t, TimeError> format_calendar(const LeapSeconds* lsk, Scale scale, double et, int digits,
                                                      char* out);

// Calendar UTC (NumPy datetime64 ticks: `ticks_per_second` ticks per second
// when positive; when negative, -ticks_per_second seconds per tick, for the
// units minute, hour, day and week) since 1970-01-01 -> ET, and back.
// INT64_MIN (NaT) maps to NaN and back.
std::expected<double, TimeError> datetime64_to_et(const LeapSeconds* lsk, std::int64_t ticks,
                                                  std::int64_t ticks_per_second);
std::expected<std::int64_t, TimeError> et_to_datetime64(const LeapSeconds* lsk, double et,
                                                        std::int64_t ticks_per_second);

// ---------------------------------------------------------------------------
// Array entry points: nothing is allocated per element. On failure the index
// of the first element that failed is returned beside the error.

struct ArrayError {
    std::size_t index;
    TimeError error;
};

// `count` strings of `width` code units each, `unit_bytes` bytes per code
// unit (1: NumPy "S" arrays, bytes; 4: NumPy "U" arrays, UCS-4 in native
// order), padded with NUL.
std::expected<void, ArrayError> fixed_strings_to_et(const LeapSeconds* lsk, const void* data, std::size_t count,
                                                    std::size_t width, int unit_bytes, std::optional<Scale> scale,
                                                    double* out);
// `count` strings given as views.
std::expected<void, ArrayError> views_to_et(const LeapSeconds* lsk, const std::string_view* texts,
                                            std::size_t count, std::optional<Scale> scale, double* out);

// ISO dates into `count` rows of `width` UCS-4 code units (at least
// iso_max_width(style, digits)), each padded with NUL; returns the length
// of the longest.
std::expected<std::size_t, ArrayError> format_iso_array(const LeapSeconds* lsk, Scale scale, const double* et,
                                                        std::size_t count, int digits, DateStyle style,
                                                        char32_t* out, std::size_t width);
// The same in the toolkit's calendar form (format_calendar), rows of at
// least 40 code units.
std::expected<std::size_t, ArrayError> format_calendar_array(const LeapSeconds* lsk, Scale scale, const double* et,
                                                             std::size_t count, int digits, char32_t* out,
                                                             std::size_t width);

}  // namespace kernwerk::timescale
