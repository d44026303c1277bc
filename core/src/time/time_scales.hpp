// Time scales: UTC, TAI, TT and TDB (ET), calendar arithmetic and Julian
// dates, from the fields of a leapseconds kernel.
//
// Conventions the code relies on:
//   * "seconds past J2000" in a scale S count S seconds from 2000-01-01
//     12:00:00 read on S's own clock. For TAI, TT and TDB that is a uniform
//     count. For UTC it is the formal count, days * 86400 + seconds of day,
//     which cannot name a leap second: 23:59:60.5 and the next day's
//     00:00:00.5 have the same formal count. Calendar UTC (a day and a second
//     of day that may reach 86400 on a leap-second day) has no such gap;
//   * TAI = UTC + DELTA_AT, where DELTA_AT is the kernel's value for the
//     latest of its dates at or before the UTC day; each date is the first
//     UTC day of its value, so a positive step makes the day before it one
//     second longer (its last second is 23:59:60). The first date is read
//     as a step like every other, from one second less, as the SPICE
//     toolkit reads it: with the published kernels UTC before 1972 is
//     TAI - 9 s and 1971-12-31 ends in 23:59:60. That is not the historical
//     rubber-second UTC, which no leapseconds kernel describes;
//   * TT = TAI + DELTA_T_A (32.184 s in every published kernel);
//   * TDB = TT + K sin(E), E = M + EB sin(M), M = M0 + M1 t, with t the TT
//     seconds past J2000 (the kernel's K, EB, M). The inverse, TDB -> TT, is
//     the double y for which the forward gives back the input exactly when
//     one exists, otherwise the one whose forward lies nearest;
//   * the calendar is the proleptic Gregorian one; days are counted from
//     2000-01-01 (day 0), negative before;
//   * Julian dates are pairs (whole, fraction) of a scale: JD 2451545.0 is
//     J2000 (12:00) in that scale. A UTC Julian date counts formal UTC days.
//
// Every function here is free of allocation and safe to call in a loop from
// any thread; the LeapSeconds object is immutable once built.
#pragma once

#include "text/text_kernel.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kernwerk::timescale {

enum class Scale : std::uint8_t { UTC, TAI, TT, TDB };

// "UTC", "TAI", "TT", "TDB".
std::string_view scale_name(Scale s) noexcept;

class TimeError {
public:
    enum class Kind {
        Epoch,          // a date or epoch that cannot be read or used
        MissingKernel,  // leapseconds data needed and none given
        FileFormat,     // leapseconds fields that make no model
        Value,          // a bad argument (digits, unit, scale)
    };
    TimeError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Kind kind_;
    std::string message_;
};

// ---------------------------------------------------------------------------
// Calendar arithmetic (proleptic Gregorian, exact integer arithmetic)

bool is_leap_year(std::int64_t year) noexcept;
int days_in_month(std::int64_t year, int month) noexcept;  // month 1..12
// Days from 2000-01-01 to year-month-day (month 1..12, day 1..31, not checked).
std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept;
struct Civil {
    std::int64_t year;
    int month;  // 1..12
    int day;    // 1..31
};
Civil civil_from_days(std::int64_t days) noexcept;
// 1-based day of the year of a day count.
int day_of_year(std::int64_t days) noexcept;

// Floor division and modulo for a positive divisor.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// An instant split into whole seconds past J2000 of some scale and a
// fraction in [0, 1): nothing is lost to rounding until it becomes one double.
struct Split {
    std::int64_t whole = 0;
    double frac = 0;
};

// A time of some scale read as a calendar: a day count from 2000-01-01, whole
// seconds of that day (up to 86400 + n on a UTC day ending in n leap seconds)
// and a fraction of a second in [0, 1).
struct DayTime {
    std::int64_t day = 0;
    std::int64_t second = 0;
    double frac = 0;
};

// Whole seconds past J2000 of the start of `day` (2000-01-01 12:00 is 0).
constexpr std::int64_t day_start_seconds(std::int64_t day) noexcept { return day * 86400 - 43200; }

// ---------------------------------------------------------------------------
// The leapseconds model

struct LeapStep {
    std::int64_t day = 0;       // first UTC day with this value
    std::int32_t delta_at = 0;  // TAI - UTC from that day on, seconds
    std::int64_t tai_start = 0; // TAI seconds past J2000 at which the day starts
};

class LeapSeconds {
public:
    // From the parsed kernel fields. The DELTA_AT dates must increase and
    // the numbers be finite; a step may not shorten or lengthen a day by a
    // whole day or more.
    static std::expected<LeapSeconds, TimeError> from_fields(const LeapSecondsFields& fields);

    double delta_t_a() const noexcept { return delta_t_a_; }
    double k() const noexcept { return k_; }
    double eb() const noexcept { return eb_; }
    double m0() const noexcept { return m0_; }
    double m1() const noexcept { return m1_; }
    const std::vector<LeapStep>& steps() const noexcept { return steps_; }

    // TAI - UTC on a UTC day (one less than the first value before the
    // first date).
    std::int32_t delta_at_on_day(std::int64_t day) const noexcept;
    // Length in SI seconds of a UTC day: 86400 plus the step that follows it.
    std::int64_t day_length(std::int64_t day) const noexcept;

    // TDB - TT at TT seconds past J2000, and the two directions built on it.
    double tdb_minus_tt(double tt) const noexcept;
    double tt_to_tdb(double tt) const noexcept { return tt + tdb_minus_tt(tt); }
    double tdb_to_tt(double tdb) const noexcept;
    double tai_to_tdb(double tai) const noexcept { return tt_to_tdb(tai + delta_t_a_); }
    double tdb_to_tai(double tdb) const noexcept;

    // Formal UTC seconds past J2000 <-> TAI seconds past J2000. From TAI,
    // an instant inside a leap second has no formal UTC of its own: it gets
    // the count of the same fraction of the next day's first second, as
    // POSIX time and the SPICE toolkit's DELTET do (the count repeats).
    double utc_to_tai(double utc) const noexcept;
    double tai_to_utc(double tai) const noexcept;

    // Calendar UTC -> TAI split; the second of day is not checked here.
    Split utc_daytime_to_tai(const DayTime& utc) const noexcept;
    // TAI split -> calendar UTC, second of day 86400.. inside a leap second.
    DayTime tai_to_utc_daytime(const Split& tai) const noexcept;

    // Split of TT -> TDB seconds past J2000 rounded once.
    double tt_split_to_tdb(const Split& tt) const noexcept;
    Split tai_split_to_tt(const Split& tai) const noexcept;

private:
    double delta_t_a_ = 0, k_ = 0, eb_ = 0, m0_ = 0, m1_ = 0;
    std::int64_t dta_whole_ = 0;  // floor(DELTA_T_A)
    double dta_frac_ = 0;         // DELTA_T_A - floor(DELTA_T_A), exact
    std::vector<LeapStep> steps_;

    // TAI - UTC once the first j steps have started.
    std::int32_t value_before(std::size_t j) const noexcept {
        return j == 0 ? steps_.front().delta_at - 1 : steps_[j - 1].delta_at;
    }
};

// ---------------------------------------------------------------------------
// Conversions between a scale and ET through a model. `lsk` may be null for
// the conversions that need none (TDB to TDB); the others then fail with
// MissingKernel.

// Seconds past J2000 in `scale` -> ET, and back. NaN stays NaN.
std::expected<double, TimeError> scale_to_et(const LeapSeconds* lsk, Scale scale, double value);
std::expected<double, TimeError> et_to_scale(const LeapSeconds* lsk, Scale scale, double et);

// A calendar time of `scale` -> ET. A UTC second of day at or past the day's
// length (23:59:60 on a day without a leap second) is refused; so is any
// second past 86399 in the uniform scales.
std::expected<double, TimeError> daytime_to_et(const LeapSeconds* lsk, Scale scale, const DayTime& t);
// ET -> calendar time of `scale`, split from the double of tdb_to_tt or
// tdb_to_tai (the values the SPICE toolkit's et2utc rounds, so that output
// rounded from it agrees with et2utc digit for digit).
std::expected<DayTime, TimeError> et_to_daytime(const LeapSeconds* lsk, Scale scale, double et);

// Julian date pair of `scale` -> ET and back. The pair returned has a whole
// first element and a second in [-0.5, 0.5].
std::expected<double, TimeError> jd_to_et(const LeapSeconds* lsk, Scale scale, double jd1, double jd2);
std::expected<std::pair<double, double>, TimeError> et_to_jd(const LeapSeconds* lsk, Scale scale, double et);

// The error for a needed but absent leapseconds model.
TimeError missing_leapseconds();

}  // namespace kernwerk::timescale
