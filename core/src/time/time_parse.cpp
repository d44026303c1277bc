#include "time/time_parse.hpp"

#include "base/common.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace kernwerk::timescale {

namespace {

constexpr double POW10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != b[i]) return false;
    return true;
}

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool all_digits(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// Digits (at most 18) as an integer; the caller has checked they are digits.
std::int64_t digits_value(std::string_view s) noexcept {
    std::int64_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// The decimal fraction "0.<digits>" correctly rounded, kept below 1: up to
// 15 digits the quotient of two exact doubles, beyond through from_chars.
double fraction_value(std::string_view digits) noexcept {
    double f;
    if (digits.size() <= 15) {
        f = static_cast<double>(digits_value(digits)) / POW10[digits.size()];
    } else {
        char buf[64];
        std::size_t n = std::min(digits.size(), sizeof buf - 3);  // beyond 60 digits nothing changes the double
        buf[0] = '0';
        buf[1] = '.';
        std::memcpy(buf + 2, digits.data(), n);
        f = 0.0;
        std::from_chars(buf, buf + 2 + n, f);
    }
    return f < 1.0 ? f : std::nextafter(1.0, 0.0);
}

std::string quoted(std::string_view text) {
    std::string q = "'";
    if (text.size() > 120) {
        q.append(text.substr(0, 120));
        q.append("...");
    } else {
        q.append(text);
    }
    q.push_back('\'');
    return q;
}

std::unexpected<TimeError> not_a_date(std::string_view text) {
    return std::unexpected(TimeError(TimeError::Kind::Epoch, quoted(text) + " is not a date; accepted forms: " +
                                                                 std::string(accepted_forms())));
}

std::unexpected<TimeError> bad_field(std::string_view text, const std::string& why) {
    return std::unexpected(TimeError(TimeError::Kind::Epoch, quoted(text) + " is not a valid date: " + why));
}

// A scale token as it may end a date.
std::optional<Scale> scale_token(std::string_view t) noexcept {
    if (iequals(t, "UTC")) return Scale::UTC;
    if (iequals(t, "TDB")) return Scale::TDB;
    if (iequals(t, "TT") || iequals(t, "TDT")) return Scale::TT;
    if (iequals(t, "TAI")) return Scale::TAI;
    return std::nullopt;
}

constexpr std::string_view MONTH_NAMES[12] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
                                              "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};

// A month by its three-letter abbreviation or its full English name (and
// "Sept"); 0 for anything else.
int month_token(std::string_view t) noexcept {
    if (t.size() < 3) return 0;
    for (int m = 0; m < 12; ++m) {
        const std::string_view full = MONTH_NAMES[m];
        if (iequals(t, full.substr(0, 3)) || iequals(t, full)) return m + 1;
    }
    return iequals(t, "SEPT") ? 9 : 0;
}

struct Fields {
    std::int64_t year = 0;
    bool day_of_year = false;
    int month = 0;
    int day = 0;  // day of month, or day of year
    int hour = 0, minute = 0, second = 0;
    double frac = 0;
    bool offset = false;     // the clock ended in a UTC offset ...
    int offset_seconds = 0;  // ... east of Greenwich positive
};

// A UTC offset ending `clock` ("+hh:mm", "+hhmm" or "+hh", or with "-"),
// hours 0 to 23 and minutes 0 to 59: removed from `clock` (with the blanks
// before it) into `f`. Anything else leaves both alone.
void take_utc_offset(std::string_view& clock, Fields& f) noexcept {
    for (std::size_t len : {std::size_t{6}, std::size_t{5}, std::size_t{3}}) {
        if (clock.size() <= len) continue;
        const std::string_view o = clock.substr(clock.size() - len);
        if (o[0] != '+' && o[0] != '-') continue;
        const std::string_view mm = len == 6 ? o.substr(4, 2) : len == 5 ? o.substr(3, 2) : std::string_view("00");
        if (!all_digits(o.substr(1, 2)) || !all_digits(mm) || (len == 6 && o[3] != ':')) continue;
        const int h = static_cast<int>(digits_value(o.substr(1, 2))), m = static_cast<int>(digits_value(mm));
        if (h > 23 || m > 59) return;
        f.offset = true;
        f.offset_seconds = (o[0] == '-' ? -1 : 1) * (h * 3600 + m * 60);
        clock.remove_suffix(len);
        while (!clock.empty() && is_blank(clock.back())) clock.remove_suffix(1);
        return;
    }
}

// "h[h]:mm[:ss[.f...]]", the whole of `t`. Ranges are checked later.
bool parse_clock(std::string_view t, Fields& f) noexcept {
    std::size_t colon = t.find(':');
    if (colon == 0 || colon > 2 || !all_digits(t.substr(0, colon))) return false;
    f.hour = static_cast<int>(digits_value(t.substr(0, colon)));
    t.remove_prefix(colon + 1);
    if (t.size() < 2 || !is_digit(t[0]) || !is_digit(t[1])) return false;
    f.minute = (t[0] - '0') * 10 + (t[1] - '0');
    t.remove_prefix(2);
    if (t.empty()) return true;
    if (t[0] != ':' || t.size() < 3 || !is_digit(t[1]) || !is_digit(t[2])) return false;
    f.second = (t[1] - '0') * 10 + (t[2] - '0');
    t.remove_prefix(3);
    if (t.empty()) return true;
    if (t[0] != '.' || !all_digits(t.substr(1))) return false;
    f.frac = fraction_value(t.substr(1));
    return true;
}

// The length of the year that starts an ISO date in `s`: an optional sign,
// four or five digits, then "-" and a digit; 0 when `s` starts otherwise.
std::size_t iso_year_length(std::string_view s) noexcept {
    const std::size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    std::size_t d = 0;
    while (i + d < s.size() && is_digit(s[i + d])) ++d;
    if ((d != 4 && d != 5) || i + d + 1 >= s.size() || s[i + d] != '-' || !is_digit(s[i + d + 1])) return 0;
    return i + d;
}

// ISO 8601 date and optional time, optionally ending in Z or a UTC offset;
// `s` starts with a year of `ylen` characters (iso_year_length) and "-".
bool parse_iso(std::string_view s, std::size_t ylen, Fields& f, bool& zulu) noexcept {
    const bool negative = s[0] == '-';
    const std::size_t first = s[0] == '-' || s[0] == '+' ? 1 : 0;
    f.year = digits_value(s.substr(first, ylen - first)) * (negative ? -1 : 1);
    s.remove_prefix(ylen + 1);
    std::size_t pos;
    if (s.size() >= 5 && s[2] == '-' && all_digits(s.substr(0, 2)) && all_digits(s.substr(3, 2))) {
        f.month = static_cast<int>(digits_value(s.substr(0, 2)));
        f.day = static_cast<int>(digits_value(s.substr(3, 2)));
        pos = 5;
    } else if (s.size() >= 3 && all_digits(s.substr(0, 3))) {
        f.day_of_year = true;
        f.day = static_cast<int>(digits_value(s.substr(0, 3)));
        pos = 3;
    } else {
        return false;
    }
    if (pos == s.size()) return true;
    if (s[pos] == 'T' || s[pos] == 't') {
        ++pos;
    } else if (is_blank(s[pos])) {
        while (pos < s.size() && is_blank(s[pos])) ++pos;
    } else {
        return false;
    }
    std::string_view clock = s.substr(pos);
    if (!clock.empty() && (clock.back() == 'Z' || clock.back() == 'z')) {
        zulu = true;
        clock.remove_suffix(1);
    } else {
        take_utc_offset(clock, f);
    }
    if (clock.size() == 2 && all_digits(clock)) {  // the hour alone, as ISO 8601 allows
        f.hour = static_cast<int>(digits_value(clock));
        return true;
    }
    return parse_clock(clock, f);
}

// An era after a year: 1 for A.D., -1 for B.C. (with or without dots), 0
// for anything else.
int era_token(std::string_view t) noexcept {
    if (iequals(t, "A.D.") || iequals(t, "AD")) return 1;
    if (iequals(t, "B.C.") || iequals(t, "BC")) return -1;
    return 0;
}

// The toolkit's forms with a month name: three date tokens in the order
// year-month-day, day-month-year or month-day-year, then an optional clock.
bool parse_named_month(std::string_view s, Fields& f) noexcept {
    std::array<std::string_view, 6> tok;
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (is_blank(s[i]) || s[i] == ',' || s[i] == '-' || s[i] == '/')) ++i;
        if (i == s.size()) break;
        const std::size_t start = i;
        while (i < s.size() && !(is_blank(s[i]) || s[i] == ',' || s[i] == '-' || s[i] == '/')) ++i;
        if (n == tok.size()) return false;
        tok[n++] = s.substr(start, i - start);
    }
    // An era follows a year of one to five digits; it is taken out of the
    // tokens, and that token alone may then be the year.
    int era = 0;
    std::size_t era_year = tok.size();
    for (std::size_t k = 1; k < n; ++k) {
        if (const int e = era_token(tok[k]); e != 0) {
            if (era != 0 || tok[k - 1].size() > 5 || !all_digits(tok[k - 1])) return false;
            era = e;
            era_year = k - 1;
            for (std::size_t j = k; j + 1 < n; ++j) tok[j] = tok[j + 1];
            --n;
            break;
        }
    }
    if (n != 3 && n != 4) return false;
    if (n == 4 && !parse_clock(tok[3], f)) return false;
    auto year_tok = [&](std::string_view t) {
        if (era != 0) return t.data() == tok[era_year].data();
        return (t.size() == 4 || t.size() == 5) && all_digits(t);
    };
    auto day_tok = [](std::string_view t) { return (t.size() == 1 || t.size() == 2) && all_digits(t); };
    std::string_view y, d;
    int m = 0;
    if (year_tok(tok[0]) && (m = month_token(tok[1])) && day_tok(tok[2])) {
        y = tok[0], d = tok[2];
    } else if (day_tok(tok[0]) && (m = month_token(tok[1])) && year_tok(tok[2])) {
        y = tok[2], d = tok[0];
    } else if ((m = month_token(tok[0])) && day_tok(tok[1]) && year_tok(tok[2])) {
        y = tok[2], d = tok[1];
    } else {
        return false;
    }
    f.year = digits_value(y);
    if (era != 0 && f.year == 0) return false;  // no year 0 of an era
    if (era < 0) f.year = 1 - f.year;           // 1 B.C. is year 0
    f.month = m;
    f.day = static_cast<int>(digits_value(d));
    return true;
}

// A Julian day number "ddddddd[.ddd]" into a calendar time (seconds past
// J2000 from the whole days exactly and the fraction of a day once rounded).
bool parse_jd_number(std::string_view t, DayTime& out) noexcept {
    const std::size_t dot = t.find('.');
    const std::string_view whole = t.substr(0, dot);
    const std::string_view frac = dot == std::string_view::npos ? std::string_view{} : t.substr(dot + 1);
    if (!all_digits(whole) || whole.size() > 9) return false;
    if (dot != std::string_view::npos && !frac.empty() && !all_digits(frac)) return false;
    const std::int64_t days = digits_value(whole) - 2451545;
    const double fs = (frac.empty() ? 0.0 : fraction_value(frac)) * 86400.0;
    const double w = std::floor(fs);
    const std::int64_t seconds = days * 86400 + static_cast<std::int64_t>(w) + 43200;  // from midnight of day 0
    out.day = floor_div(seconds, 86400);
    out.second = seconds - out.day * 86400;
    out.frac = fs - w;
    return true;
}

}  // namespace

std::string_view accepted_forms() noexcept {
    return "ISO 8601 (2026-12-07, 2026-12-07T12, 2026-12-07T12:30:00.125, optional Z or UTC offset such as +02:00; 2026-341T12:30 day of year), "
           "2026 DEC 07 12:30:00.125, 7 Dec 2026 12:30, Dec 7, 2026, JD 2461381.5, 631152000.5 (seconds past J2000); "
           "each optionally followed by UTC (the default), TAI, TT (TDT) or TDB; years of four digits, signed or of "
           "five outside 0000 to 9999 (-13200-01-01, 17191-12-31), or with an era (13200 B.C. JAN 01)";
}

std::expected<Scale, TimeError> parse_scale(std::string_view name) {
    if (auto s = scale_token(name)) return *s;
    if (iequals(name, "ET")) return Scale::TDB;
    return std::unexpected(TimeError(TimeError::Kind::Value, "unknown time scale " + quoted(name) +
                                                                 "; expected 'utc', 'tai', 'tt' (or 'tdt') or 'tdb' (or 'et')"));
}

std::expected<ParsedTime, TimeError> parse_time(std::string_view text) {
    std::string_view s = trim(text);
    if (s.empty()) return not_a_date(text);
    // Nothing below accepts a byte outside ASCII, so other text fails as
    // "not a date" wherever it stands.

    ParsedTime p;
    auto name_scale = [&](Scale sc) {
        if (p.scale_named && p.scale != sc) return false;
        p.scale = sc;
        p.scale_named = true;
        return true;
    };
    // The last blank-separated token, looked for only when the text ends in
    // a letter (ISO dates end in a digit or Z): a scale, or "JD".
    auto last_blank = [](std::string_view t) {
        std::size_t i = t.size();
        while (i > 0 && !is_blank(t[i - 1])) --i;
        return i == 0 ? std::string_view::npos : i - 1;
    };
    auto ends_in_letter = [](std::string_view t) { return !t.empty() && upper(t.back()) >= 'A' && upper(t.back()) <= 'Y'; };
    if (ends_in_letter(s)) {
        if (const std::size_t sp = last_blank(s); sp != std::string_view::npos) {
            if (const auto sc = scale_token(s.substr(sp + 1))) {
                name_scale(*sc);
                s = trim(s.substr(0, sp));
            }
        }
    }

    // Julian dates: "JD[scale] number" or "number JD".
    if (s.size() > 2 && upper(s[0]) == 'J' && upper(s[1]) == 'D') {
        std::string_view rest = s.substr(2);
        for (std::string_view name : {"TDB", "TDT", "TAI", "UTC", "TT"}) {
            if (rest.size() >= name.size() && iequals(rest.substr(0, name.size()), name)) {
                if (!name_scale(*scale_token(name)))
                    return bad_field(text, "it names two different time scales");
                rest.remove_prefix(name.size());
                break;
            }
        }
        if (!parse_jd_number(trim(rest), p.time)) return not_a_date(text);
        return p;
    }
    if (ends_in_letter(s)) {
        if (const std::size_t sp = last_blank(s); sp != std::string_view::npos && iequals(s.substr(sp + 1), "JD")) {
            if (!parse_jd_number(trim(s.substr(0, sp)), p.time)) return not_a_date(text);
            return p;
        }
    }

    // A plain decimal number, correctly rounded.
    if (is_digit(s.back()) || s.back() == '.') {
        std::string_view body = s;
        if (body[0] == '+' || body[0] == '-') body.remove_prefix(1);
        std::size_t i = 0, digits = 0;
        while (i < body.size() && is_digit(body[i])) ++i, ++digits;
        if (i < body.size() && body[i] == '.')
            for (++i; i < body.size() && is_digit(body[i]); ++i) ++digits;
        if (digits > 0 && i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
            std::size_t j = i + 1;
            if (j < body.size() && (body[j] == '+' || body[j] == '-')) ++j;
            const std::size_t exp_start = j;
            while (j < body.size() && is_digit(body[j])) ++j;
            if (j > exp_start) i = j;
        }
        if (digits > 0 && i == body.size()) {
            const char* first = s[0] == '+' ? s.data() + 1 : s.data();
            const auto r = std::from_chars(first, s.data() + s.size(), p.seconds);
            if (r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(p.seconds)) {
                p.is_number = true;
                return p;
            }
            return bad_field(text, "the number is out of range");
        }
    }

    Fields f;
    bool zulu = false;
    const std::size_t ylen = iso_year_length(s);
    if (!(ylen != 0 ? parse_iso(s, ylen, f, zulu) : parse_named_month(s, f))) return not_a_date(text);
    if (zulu && !name_scale(Scale::UTC)) return bad_field(text, "'Z' marks UTC but the date names another scale");
    if (f.offset && !name_scale(Scale::UTC))
        return bad_field(text, "a UTC offset makes it a local time of UTC, but the date names another scale");

    char why[128];
    if (f.year < MIN_YEAR || f.year > MAX_YEAR) {
        std::snprintf(why, sizeof why, "year %lld is out of range (%lld to %lld)", static_cast<long long>(f.year),
                      static_cast<long long>(MIN_YEAR), static_cast<long long>(MAX_YEAR));
        return bad_field(text, why);
    }
    if (!f.day_of_year) {
        if (f.month < 1 || f.month > 12) {
            std::snprintf(why, sizeof why, "month %d is out of range (1 to 12)", f.month);
            return bad_field(text, why);
        }
        const int length = days_in_month(f.year, f.month);
        if (f.day < 1 || f.day > length) {
            std::snprintf(why, sizeof why, "day %d is out of range for %04lld-%02d (1 to %d)", f.day,
                          static_cast<long long>(f.year), f.month, length);
            return bad_field(text, why);
        }
        p.time.day = days_from_civil(f.year, f.month, f.day);
    } else {
        const int length = is_leap_year(f.year) ? 366 : 365;
        if (f.day < 1 || f.day > length) {
            std::snprintf(why, sizeof why, "day of year %d is out of range for %04lld (1 to %d)", f.day,
                          static_cast<long long>(f.year), length);
            return bad_field(text, why);
        }
        p.time.day = days_from_civil(f.year, 1, 1) + (f.day - 1);
    }
    if (f.hour > 23) {
        std::snprintf(why, sizeof why, "hour %d is out of range (0 to 23)", f.hour);
        return bad_field(text, why);
    }
    if (f.minute > 59) {
        std::snprintf(why, sizeof why, "minute %d is out of range (0 to 59)", f.minute);
        return bad_field(text, why);
    }
    if (f.second > 60 || (f.second == 60 && !(f.hour == 23 && f.minute == 59))) {
        std::snprintf(why, sizeof why, "second %d is out of range (0 to 59; 60 only in 23:59:60 of a leap-second day)",
                      f.second);
        return bad_field(text, why);
    }
    if (f.second == 60 && p.scale_named && p.scale != Scale::UTC)
        return bad_field(text, "23:59:60 exists only in UTC (on a day that ends in a leap second)");
    p.time.second = f.hour * 3600 + f.minute * 60 + f.second;
    p.time.frac = f.frac;
    if (f.offset) {
        // Local time minus the offset is UTC. Leap seconds end UTC days, so
        // a local 23:59:60 is no leap second.
        if (f.second == 60) return bad_field(text, "second 60 with a UTC offset: give a leap second in UTC");
        p.time.second -= f.offset_seconds;
        if (p.time.second < 0) {
            p.time.second += 86400;
            p.time.day -= 1;
        } else if (p.time.second >= 86400) {
            p.time.second -= 86400;
            p.time.day += 1;
        }
    }
    return p;
}

std::expected<double, TimeError> text_to_et(const LeapSeconds* lsk, std::string_view text, std::optional<Scale> scale) {
    auto p = parse_time(text);
    if (!p) return std::unexpected(std::move(p.error()));
    if (p->is_number) return scale_to_et(lsk, p->scale_named ? p->scale : scale.value_or(Scale::TDB), p->seconds);
    auto et = daytime_to_et(lsk, p->scale_named ? p->scale : scale.value_or(Scale::UTC), p->time);
    if (!et && et.error().kind() == TimeError::Kind::Epoch) return bad_field(text, et.error().message());
    return et;
}

namespace {

// ET as a calendar time of `scale` rounded to `digits` decimals, half away
// from zero, carrying into the seconds and from the day's last second into
// the next day; the year checked against MIN_YEAR..MAX_YEAR.
struct RoundedTime {
    Civil civil;
    std::int64_t day = 0, second = 0, sub = 0;
    int h = 0, m = 0, s = 0;
};

std::expected<RoundedTime, TimeError> rounded_time(const LeapSeconds* lsk, Scale scale, double et, int digits) {
    if (digits < 0 || digits > MAX_DIGITS)
        return std::unexpected(TimeError(TimeError::Kind::Value, "digits must be 0 to " + std::to_string(MAX_DIGITS) +
                                                                     ", not " + std::to_string(digits)));
    auto t = et_to_daytime(lsk, scale, et);
    if (!t) return std::unexpected(std::move(t.error()));
    const double unit = POW10[digits];
    RoundedTime r;
    r.sub = static_cast<std::int64_t>(std::floor(t->frac * unit + 0.5));
    r.second = t->second;
    r.day = t->day;
    if (r.sub >= static_cast<std::int64_t>(unit)) {
        r.sub = 0;
        r.second += 1;
        const std::int64_t length = scale == Scale::UTC ? lsk->day_length(r.day) : 86400;
        if (r.second >= length) {
            r.second = 0;
            r.day += 1;
        }
    }
    r.civil = civil_from_days(r.day);
    if (r.civil.year < MIN_YEAR || r.civil.year > MAX_YEAR)
        return std::unexpected(TimeError(TimeError::Kind::Epoch,
                                         "ET " + format_double(et) + " falls in the year " +
                                             std::to_string(r.civil.year) + ", outside the years " +
                                             std::to_string(MIN_YEAR) + " to " + std::to_string(MAX_YEAR)));
    if (r.second >= 86340) {  // the last minute, leap seconds included
        r.h = 23, r.m = 59, r.s = static_cast<int>(r.second - 86340);
    } else {
        r.h = static_cast<int>(r.second / 3600), r.m = static_cast<int>(r.second % 3600 / 60);
        r.s = static_cast<int>(r.second % 60);
    }
    return r;
}

// Writes `v` in `width` digits at `out` and moves past them.
void put_digits(char*& out, std::int64_t v, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    out += width;
}

int decimal_width(std::int64_t v) noexcept {
    int n = 1;
    while (v >= 10) v /= 10, ++n;
    return n;
}

void put_clock(char*& out, const RoundedTime& r, int digits) noexcept {
    put_digits(out, r.h, 2);
    *out++ = ':';
    put_digits(out, r.m, 2);
    *out++ = ':';
    put_digits(out, r.s, 2);
    if (digits > 0) {
        *out++ = '.';
        put_digits(out, r.sub, digits);
    }
}

}  // namespace

std::expected<std::size_t, TimeError> format_iso(const LeapSeconds* lsk, Scale scale, double et, int digits,
                                                 DateStyle style, char* out) {
    auto r = rounded_time(lsk, scale, et, digits);
    if (!r) return std::unexpected(std::move(r.error()));
    const Civil& c = r->civil;
    char* const start = out;
    // Four digits from 0000 to 9999, five beyond, a sign before years < 0.
    if (c.year < 0) *out++ = '-';
    const std::int64_t magnitude = c.year < 0 ? -c.year : c.year;
    put_digits(out, magnitude, magnitude >= 10000 ? 5 : 4);
    *out++ = '-';
    if (style == DateStyle::Calendar) {
        put_digits(out, c.month, 2);
        *out++ = '-';
        put_digits(out, c.day, 2);
    } else {
        put_digits(out, r->day - days_from_civil(c.year, 1, 1) + 1, 3);
    }
    *out++ = 'T';
    put_clock(out, *r, digits);
    return static_cast<std::size_t>(out - start);
}

std::expected<std::size_t, TimeError> format_calendar(const LeapSeconds* lsk, Scale scale, double et, int digits,
                                                      char* out) {
    static constexpr const char* kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    auto r = rounded_time(lsk, scale, et, digits);
    if (!r) return std::unexpected(std::move(r.error()));
    const Civil& c = r->civil;
    char* const start = out;
    const std::int64_t shown = c.year < 1 ? 1 - c.year : c.year;
    put_digits(out, shown, decimal_width(shown));
    if (c.year < 1000) {
        const char* era = c.year < 1 ? " B.C." : " A.D.";
        std::memcpy(out, era, 5);
        out += 5;
    }
    *out++ = ' ';
    std::memcpy(out, kMonths[c.month - 1], 3);
    out += 3;
    *out++ = ' ';
    put_digits(out, c.day, 2);
    *out++ = ' ';
    put_clock(out, *r, digits);
    return static_cast<std::size_t>(out - start);
}

std::expected<double, TimeError> datetime64_to_et(const LeapSeconds* lsk, std::int64_t ticks,
                                                  std::int64_t ticks_per_second) {
    if (ticks == std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<double>::quiet_NaN();
    std::int64_t whole;
    double frac = 0.0;
    if (ticks_per_second > 0) {
        whole = floor_div(ticks, ticks_per_second);
        // The remainder directly: whole * ticks_per_second overflows for
        // ticks near the int64 minimum (whole is rounded down past it).
        std::int64_t rem = ticks % ticks_per_second;
        if (rem < 0) rem += ticks_per_second;
        frac = static_cast<double>(rem) / static_cast<double>(ticks_per_second);
    } else if (__builtin_mul_overflow(ticks, -ticks_per_second, &whole)) {
        return std::unexpected(TimeError(TimeError::Kind::Epoch, "datetime64 value is out of range"));
    }
    if (whole > 300'000'000'000'000 || whole < -300'000'000'000'000)
        return std::unexpected(TimeError(TimeError::Kind::Epoch, "datetime64 value is out of range"));
    const std::int64_t day70 = floor_div(whole, 86400);
    return daytime_to_et(lsk, Scale::UTC, DayTime{day70 - 10957, whole - day70 * 86400, frac});
}

std::expected<std::int64_t, TimeError> et_to_datetime64(const LeapSeconds* lsk, double et,
                                                        std::int64_t ticks_per_second) {
    if (std::isnan(et)) return std::numeric_limits<std::int64_t>::min();
    auto t = et_to_daytime(lsk, Scale::UTC, et);
    if (!t) return std::unexpected(std::move(t.error()));
    std::int64_t second = t->second;
    double frac = t->frac;
    bool leap = false;
    if (second >= 86400) {  // datetime64 has no leap seconds: hold at the day's last tick
        leap = true;
        second = 86400;
        frac = 0.0;
    }
    const std::int64_t whole = (t->day + 10957) * 86400 + second;
    std::int64_t ticks;
    bool overflow;
    if (ticks_per_second > 0) {
        std::int64_t sub = static_cast<std::int64_t>(std::floor(frac * static_cast<double>(ticks_per_second) + 0.5));
        std::int64_t base;
        overflow = __builtin_mul_overflow(whole, ticks_per_second, &base) || __builtin_add_overflow(base, sub, &ticks);
        if (leap) ticks -= 1;
    } else {
        ticks = floor_div(whole - (leap ? 1 : 0), -ticks_per_second);
        overflow = false;
    }
    if (overflow || ticks == std::numeric_limits<std::int64_t>::min()) {
        // The days the unit holds, whole days inside its tick range.
        const std::int64_t per_second = ticks_per_second > 0 ? ticks_per_second : 1;
        const std::int64_t max_days = std::numeric_limits<std::int64_t>::max() / per_second / 86400;
        const auto date = [](std::int64_t day) {
            const Civil c = civil_from_days(day);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d", static_cast<long long>(c.year), c.month, c.day);
            return std::string(buf);
        };
        return std::unexpected(TimeError(TimeError::Kind::Epoch,
                                         "ET " + format_double(et) + " falls in the year " +
                                             std::to_string(civil_from_days(t->day).year) +
                                             ", outside the range of this datetime64 unit (" +
                                             date(-max_days - 10957) + " to " + date(max_days - 10957 - 1) +
                                             "; a coarser unit reaches further)"));
    }
    return ticks;
}

std::expected<void, ArrayError> views_to_et(const LeapSeconds* lsk, const std::string_view* texts, std::size_t count,
                                            std::optional<Scale> scale, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        auto et = text_to_et(lsk, texts[i], scale);
        if (!et) return std::unexpected(ArrayError{i, std::move(et.error())});
        out[i] = *et;
    }
    return {};
}

std::expected<void, ArrayError> fixed_strings_to_et(const LeapSeconds* lsk, const void* data, std::size_t count,
                                                    std::size_t width, int unit_bytes, std::optional<Scale> scale,
                                                    double* out) {
    if (unit_bytes == 1) {
        const char* base = static_cast<const char*>(data);
        for (std::size_t i = 0; i < count; ++i) {
            const char* p = base + i * width;
            auto et = text_to_et(lsk, std::string_view(p, strnlen(p, width)), scale);
            if (!et) return std::unexpected(ArrayError{i, std::move(et.error())});
            out[i] = *et;
        }
        return {};
    }
    // UCS-4: ASCII goes through as is; anything else is kept, as UTF-8, only
    // so that an error can quote it.
    const char32_t* base = static_cast<const char32_t*>(data);
    std::string buf;
    buf.reserve(width * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t* p = base + i * width;
        std::size_t n = width;
        while (n > 0 && p[n - 1] == 0) --n;
        buf.clear();
        for (std::size_t j = 0; j < n; ++j) {
            const char32_t c = p[j];
            if (c < 0x80) {
                buf.push_back(static_cast<char>(c));
            } else if (c < 0x800) {
                buf.push_back(static_cast<char>(0xC0 | (c >> 6)));
                buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else if (c < 0x10000) {
                buf.push_back(static_cast<char>(0xE0 | (c >> 12)));
                buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else {
                buf.push_back(static_cast<char>(0xF0 | ((c >> 18) & 0x07)));
                buf.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
                buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            }
        }
        auto et = text_to_et(lsk, buf, scale);
        if (!et) return std::unexpected(ArrayError{i, std::move(et.error())});
        out[i] = *et;
    }
    return {};
}

namespace {

template <typename Format>
std::expected<std::size_t, ArrayError> format_rows(std::size_t count, char32_t* out, std::size_t width,
                                                   Format&& format) {
    char buf[64];
    std::size_t longest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto n = format(i, buf);
        if (!n) return std::unexpected(ArrayError{i, std::move(n.error())});
        if (*n > width) return std::unexpected(ArrayError{i, TimeError(TimeError::Kind::Value, "rows are too narrow")});
        longest = std::max(longest, *n);
        char32_t* row = out + i * width;
        for (std::size_t j = 0; j < *n; ++j) row[j] = static_cast<char32_t>(buf[j]);
        for (std::size_t j = *n; j < width; ++j) row[j] = 0;
    }
    return longest;
}

}  // namespace

std::expected<std::size_t, ArrayError> format_iso_array(const LeapSeconds* lsk, Scale scale, const double* et,
                                                        std::size_t count, int digits, DateStyle style,
                                                        char32_t* out, std::size_t width) {
    if (digits < 0 || digits > MAX_DIGITS) {
        char buf[64];
        auto e = format_iso(lsk, scale, 0.0, digits, style, buf);
        return std::unexpected(ArrayError{0, std::move(e.error())});
    }
    return format_rows(count, out, width,
                       [&](std::size_t i, char* buf) { return format_iso(lsk, scale, et[i], digits, style, buf); });
}

std::expected<std::size_t, ArrayError> format_calendar_array(const LeapSeconds* lsk, Scale scale, const double* et,
                                                             std::size_t count, int digits, char32_t* out,
                                                             std::size_t width) {
    if (digits < 0 || digits > MAX_DIGITS) {
        char buf[64];
        auto e = format_calendar(lsk, scale, 0.0, digits, buf);
        return std::unexpected(ArrayError{0, std::move(e.error())});
    }
    return format_rows(count, out, width,
                       [&](std::size_t i, char* buf) { return format_calendar(lsk, scale, et[i], digits, buf); });
}

}  // namespace kernwerk::timescale
