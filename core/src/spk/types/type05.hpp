// SPK Type 5: discrete states propagated as two-body orbits and blended.
//
// Layout relied on (segment words from `begin`):
//   * N states of 6 doubles (km, km/s);
//   * N epochs, strictly increasing;
//   * a directory of every 100th epoch ((N-1)/100 words; never read);
//   * GM of the central body (km^3/s^2, > 0), then N.
// At `et` between epochs t1 < t2 the states s1 and s2 are both propagated to
// et as two-body orbits and blended with w = 1/2 + 1/2 cos(pi (et - t1) /
// (t2 - t1)): position w p1 + (1 - w) p2, velocity w v1 + (1 - w) v2 +
// dw/dt (p1 - p2). Before the first epoch (or with one state) the first
// state alone is propagated, after the last epoch the last one.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

// The two-body state `dt` seconds after `s0` about a body of gravitational
// parameter gm > 0, through the universal anomaly and Stumpff functions.
// Elliptic orbits are first brought back to within one period; the root is
// bracketed, guessed from the short-time series or the mean (elliptic) or
// hyperbolic anomaly, and found by Laguerre steps kept inside the bracket, a
// bounded number of them (3 to 4 on average over random conics, 10 at most).
State propagate_two_body(double gm, const State& s0, double dt) noexcept;

struct SpkType5 {
    DafFile daf;
    const double* states = nullptr;
    const double* epochs = nullptr;
    std::uint64_t n = 0;
    double gm = 0;
    static std::expected<SpkType5, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
