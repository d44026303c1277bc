// SPK Type 17: one orbit in equinoctial elements whose longitude of
// periapsis and node advance at constant rates.
//
// Layout relied on: exactly 12 doubles,
//   EPOCH        epoch of the elements (ET)
//   A            semi-major axis (km, > 0)
//   H, K         e sin(LP), e cos(LP), LP the longitude of periapsis (e < 1)
//   L            mean longitude at EPOCH (rad)
//   P, Q         tan(i/2) sin(NODE), tan(i/2) cos(NODE)
//   DLP, DL, DNODE  rates of LP, of L and of NODE (rad/s)
//   RA, DEC      right ascension and declination of the pole of the
//                elements' reference plane in the segment's frame (rad)
// At et, (H, K) turn by DLP dt, (P, Q) by DNODE dt and L advances by DL dt;
// the eccentric longitude F solves L = F + H cos F - K sin F; the position is
// X1 f + Y1 g in the equinoctial basis (f, g) of P, Q, and the velocity is
// its exact time derivative, the turning elements included. The elements'
// frame has its x axis along Z x POLE and its z axis along the pole.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct SpkType17 {
    DafFile daf;
    const double* record = nullptr;
    double pole[3][3] = {};  // the elements' frame in the segment's, from RA and DEC at open
    static std::expected<SpkType17, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
