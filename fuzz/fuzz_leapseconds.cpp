// libFuzzer target: leapseconds kernels. The input is a text kernel; when it
// holds leapseconds fields that the model accepts, the model converts a
// ladder of epochs (and the four doubles of the input's last 32 bytes)
// between every scale, through calendar dates, Julian dates and datetime64.
// Every failure must be an error value; a crash or a sanitizer report (a
// float-to-integer overflow in the day split, for one) is a finding: an
// accepted model must give a plausible TDB - TT and finite results.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/text_kernel.hpp"
#include "time/time_parse.hpp"

using namespace kernwerk;
using namespace kernwerk::timescale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto kernel = parse_text_kernel_from_str(text);
    if (!kernel || !kernel->leapseconds) return 0;
    auto model = LeapSeconds::from_fields(*kernel->leapseconds);
    if (!model) return 0;
    const LeapSeconds* lsk = &*model;

    double epochs[12] = {0.0, -1.0e9, 1.0e9, -3.2e10, 2.5e11, -6.3e10, 3.1e11, 86400.5, -43200.0, 0.0, 0.0, 0.0};
    if (size >= 32) std::memcpy(epochs + 8, data + size - 32, 32);
    constexpr Scale scales[] = {Scale::UTC, Scale::TAI, Scale::TT, Scale::TDB};
    for (double et : epochs) {
        if (!std::isfinite(et)) continue;
        // TDB - TT of an accepted model stays within seconds.
        const double tt = et_to_scale(lsk, Scale::TT, et).value_or(et);
        if (!std::isfinite(tt) || std::fabs(tt - et) > 10.0) __builtin_trap();
        for (Scale s : scales) {
            static_cast<void>(scale_to_et(lsk, s, et));
            static_cast<void>(et_to_daytime(lsk, s, et));
            static_cast<void>(et_to_jd(lsk, s, et));
            char buf[64];
            if (format_iso(lsk, s, et, 9, DateStyle::Calendar, buf)) {
                std::string_view iso(buf, iso_width(DateStyle::Calendar, 9));
                static_cast<void>(text_to_et(lsk, iso, s));
            }
        }
        static_cast<void>(et_to_datetime64(lsk, et, 1000000000));
        if (std::fabs(et) < 9.0e18) static_cast<void>(datetime64_to_et(lsk, static_cast<std::int64_t>(et), 1));
    }
    return 0;
}
