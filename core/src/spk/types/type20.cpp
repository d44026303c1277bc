#include "spk/types/type20.hpp"

#include <cmath>

#include "daf/chebyshev.hpp"
#include "spk/types/common.hpp"

namespace kernwerk {

namespace {

constexpr double kJ2000 = 2451545.0;
constexpr double kSecondsPerDay = 86400.0;

}  // namespace

std::expected<SpkType20, SpkError> SpkType20::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    using spk_types::malformed;
    auto seg = spk_types::segment_view(daf, begin, end, 20);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size < 7) return malformed(20, "segment shorter than its trailer");
    std::uint64_t n = 0, rsize = 0;
    if (!spk_types::stored_count(seg->back(0), 1, seg->size, n)) return malformed(20, "N outside 1..segment length");
    if (!spk_types::stored_count(seg->back(1), 6, seg->size, rsize) || rsize % 3 != 0)
        return malformed(20, "RSIZE not 3 (NC + 1) with NC >= 1");
    if (n > seg->size / rsize || rsize * n + 7 != seg->size)
        return malformed(20, "segment length does not match N records");
    const double dscale = seg->back(6), tscale = seg->back(5), initjd = seg->back(4), initfr = seg->back(3),
                 intlen = seg->back(2);
    if (!(dscale > 0.0) || !(tscale > 0.0) || !std::isfinite(dscale) || !std::isfinite(tscale))
        return malformed(20, "DSCALE or TSCALE not positive");
    if (!(intlen > 0.0) || !std::isfinite(intlen)) return malformed(20, "INTLEN not positive");
    if (!std::isfinite(initjd) || !std::isfinite(initfr)) return malformed(20, "initial epoch not finite");
    return SpkType20{daf, seg->data, dscale, tscale, initjd, initfr, intlen, rsize, n, (rsize - 3) / 3};
}

std::expected<State, SpkError> SpkType20::evaluate(double et) const {
    // The time argument in TDB seconds, as the toolkit forms it: the first
    // record's start, the record, its middle, s in -1..1. (A division of ET
    // into days first loses bits of s: up to 33 ulps of the largest position
    // component on the test files.)
    const double start = (initjd - kJ2000) * kSecondsPerDay + initfr * kSecondsPerDay;
    const double length = intlen * kSecondsPerDay;
    std::int64_t index = index_from_double(std::floor((et - start) / length));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= n) index = static_cast<std::int64_t>(n - 1);
    const double radius = length / 2.0;
    const double s = (et - (start + (static_cast<double>(index) + 0.5) * length)) / radius;
    const double* r = records + static_cast<std::uint64_t>(index) * rsize;
    const std::size_t nc = static_cast<std::size_t>(ncoef);

    const double* const c[3] = {r, r + (nc + 1), r + 2 * (nc + 1)};
    double v[3], integral[3];
    cheby3_value_and_integral(c, nc, s, v, integral);
    const double vscale = dscale / tscale;
    State out;
    for (int a = 0; a < 3; ++a) {
        const double middle = r[a * (nc + 1) + nc];
        out[a] = dscale * (middle + radius / tscale * integral[a]);
        out[a + 3] = vscale * v[a];
    }
    return out;
}

}  // namespace kernwerk
