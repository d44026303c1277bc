// SPK Type 20: Chebyshev series of velocity at equal intervals; the position
// is the series' integral plus the stored position at each interval's middle.
//
// Layout relied on (segment words from `begin`):
//   * N records of RSIZE = 3 (NC + 1) doubles: for X, then Y, then Z, the
//     velocity series (NC coefficients, DSCALE/TSCALE units) followed by the
//     position at the middle of the interval (DSCALE units);
//   * DSCALE (km, > 0), TSCALE (s, > 0), INITJD and INITFR (the first
//     interval's start as a Julian date, TDB, in two parts), INTLEN (days,
//     > 0), RSIZE, N.
// Record k covers days k INTLEN to (k + 1) INTLEN after the start; epochs
// before the first record use it, after the last the last. With s the
// normalised time within the record (-1..1) and R = INTLEN 86400 / 2 s:
//   velocity = DSCALE / TSCALE sum c_k T_k(s),
//   position = DSCALE (middle + R / TSCALE sum c_k (J_k(s) - J_k(0))),
// J_k the antiderivatives of T_k: J_0 = s, J_1 = s^2 / 2,
// J_k = (T_{k+1} / (k+1) - T_{k-1} / (k-1)) / 2.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct SpkType20 {
    DafFile daf;
    const double* records = nullptr;
    double dscale = 0, tscale = 0, initjd = 0, initfr = 0, intlen = 0;
    std::uint64_t rsize = 0, n = 0, ncoef = 0;
    static std::expected<SpkType20, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
