// SPK Type 15: a precessing conic, one two-body orbit whose line of apsides
// and line of nodes turn at the secular rates of the central body's J2.
//
// Layout relied on: exactly 16 doubles,
//   EPOCH          time of periapsis (ET)
//   TP[3]          trajectory pole (orbit normal)
//   PA[3]          periapsis direction
//   P, ECC         semi-latus rectum (km, > 0), eccentricity (>= 0)
//   J2FLG          1: nodes only; 2: apsides only; 3: neither; else both
//   PV[3]          central body's pole
//   GM, J2, RADIUS central body's GM (> 0), J2, equatorial radius (km)
// The periapsis state (P / (1 + ECC) along PA, speed sqrt(GM / P) (1 + ECC)
// along TP x PA; all three directions normalised) is propagated as a two-body
// orbit to et. For an ellipse the state is then turned about TP by the
// apsidal angle Z (5/2 cos^2 i - 1/2) and about PV by the nodal angle
// -Z cos i, Z = 3/2 J2 (RADIUS / P)^2 nu, nu the true anomaly swept since
// the periapsis at EPOCH (whole revolutions included) and cos i = PV . TP:
// the secular rates of J2 per radian of true anomaly. The true anomaly is
// read from the propagated position in the orbit plane, its revolutions
// from the mean anomaly.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct SpkType15 {
    DafFile daf;
    const double* record = nullptr;
    // Derived from the record once, at open.
    double epoch = 0, gm = 0;
    State periapsis{};                               // the state at EPOCH
    double tp[3] = {}, pv[3] = {};                   // unit poles
    double in_plane[2][3] = {};                      // unit PA and TP x PA: the true anomaly's axes
    bool precess = false;                            // an ellipse with J2 and a flag other than 3
    double mean_motion = 0;                          // rad/s
    double apsidal = 0, nodal = 0;                   // angles per radian of true anomaly (0 when off)
    static std::expected<SpkType15, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
