// libFuzzer target: the date parser and the conversions around it. The input
// is a selector byte, eight bytes read as an ET (or datetime64 ticks) and
// the rest as date text. Text is parsed (alone and with each scale given),
// converted to ET, and a finite ET is written back as an ISO date and read
// again; the eight bytes go through the calendar, Julian date and
// datetime64 conversions. Any failure must be an error value: a crash, a
// sanitizer report (a float-to-integer overflow included) is a finding. An
// ISO date the formatter wrote must read back to the ET it was written from,
// within its rounding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "time/time_parse.hpp"

using namespace kernwerk;
using namespace kernwerk::timescale;

namespace {

// Published values and a made-up table of one-second steps (the form of a
// real kernel: a UTC day holds at most one leap second, 23:59:60).
const LeapSeconds& model() {
    static const LeapSeconds lsk = [] {
        LeapSecondsFields f;
        f.delta_t_a = 32.184;
        f.k = 1.657e-3;
        f.eb = 1.671e-2;
        f.m = {6.239996, 1.99096871e-7};
        f.delta_at = {{10, {1972, 1, 1}}, {11, {1972, 7, 1}}, {12, {1973, 1, 1}}, {13, {1990, 1, 1}},
                      {14, {2017, 1, 1}}};
        return *LeapSeconds::from_fields(f);
    }();
    return lsk;
}

constexpr Scale kScales[] = {Scale::UTC, Scale::TAI, Scale::TT, Scale::TDB};
constexpr std::int64_t kTicks[] = {1, 1000, 1000000, 1000000000, -60, -3600, -86400, -604800};

void write_and_read_back(const LeapSeconds* lsk, Scale scale, double et, int digits, DateStyle style) {
    char buf[64];
    const auto n = format_iso(lsk, scale, et, digits, style, buf);
    if (!n) return;
    std::string text(buf, *n);  // a signed or five-digit year is longer than iso_width
    text += ' ';
    text += scale_name(scale);
    const auto back = text_to_et(lsk, text, std::nullopt);
    if (!back) __builtin_trap();  // the formatter's own output must read
    // Rounded to `digits` decimals, within a few spacings of the doubles
    // near et (an ulp of ET is 1.2e-4 s in year -18700).
    const double ulp = std::fabs(std::nextafter(et, 0.0) - et);
    if (!(std::fabs(*back - et) <= 0.5 * std::pow(10.0, -digits) + 1e-4 + 8.0 * ulp)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    const LeapSeconds* lsk = (data[0] & 0x80) ? nullptr : &model();
    double value;
    std::int64_t ticks;
    std::memcpy(&value, data + 1, 8);
    std::memcpy(&ticks, data + 1, 8);
    const std::string_view text(reinterpret_cast<const char*>(data + 9), size - 9);
    const int digits = data[0] % (MAX_DIGITS + 1);
    const DateStyle style = (data[0] & 0x40) ? DateStyle::DayOfYear : DateStyle::Calendar;

    static_cast<void>(parse_time(text));
    static_cast<void>(parse_scale(text));
    if (auto et = text_to_et(lsk, text, std::nullopt); et && std::isfinite(*et))
        write_and_read_back(lsk, kScales[data[0] % 4], *et, digits, style);
    for (Scale s : kScales) static_cast<void>(text_to_et(lsk, text, s));

    for (Scale s : kScales) {
        static_cast<void>(scale_to_et(lsk, s, value));
        static_cast<void>(et_to_scale(lsk, s, value));
        static_cast<void>(et_to_daytime(lsk, s, value));
        static_cast<void>(et_to_jd(lsk, s, value));
        static_cast<void>(jd_to_et(lsk, s, value, 0.5));
        if (std::isfinite(value)) write_and_read_back(lsk, s, value, digits, style);
    }
    const std::int64_t unit = kTicks[(data[0] >> 2) % 8];
    static_cast<void>(datetime64_to_et(lsk, ticks, unit));
    static_cast<void>(et_to_datetime64(lsk, value, unit));
    return 0;
}
