// Frame rotation algebra: the fixed J2000 <-> ECLIPJ2000 rotation, Euler-angle
// body-fixed rotations and 6x6 state transforms.
//
// Matrices are row-major arrays of rows and act on column vectors from the
// left (w = M v). A state transform is [[R, 0], [dR, R]], dR per second.
#pragma once

#include <array>

#include "common.hpp"

namespace kernwerk {

// The frame of an SPK state. Not the NAIF frame codes (1 and 17).
enum class InertialFrame { J2000, EclipJ2000 };

using Mat3 = std::array<std::array<double, 3>, 3>;
using Mat6 = std::array<std::array<double, 6>, 6>;

// cos and sin of the mean obliquity of the ecliptic at J2000 (84381.448").
inline constexpr double kObliquityCos = 0.9174820620691818;  // 0x3FED5C0357681EF3
inline constexpr double kObliquitySin = 0.3977771559319137;  // 0x3FD9752E50F4B399

// The rotation from J2000 to ECLIPJ2000 (about x by the obliquity).
Mat3 j2000_to_eclipj2000() noexcept;

// `state` (km, km/s) re-expressed from frame `from` into frame `to`.
State rotate_state(InertialFrame from, InertialFrame to, const State& state) noexcept;

}  // namespace kernwerk
