// Frame rotation algebra: the fixed J2000 <-> ECLIPJ2000 rotation, Euler-angle
// body-fixed rotations and 6x6 state transforms.
//
// Matrices are row-major arrays of rows and act on column vectors from the
// left (w = M v). A state transform is [[R, 0], [dR, R]], dR per second.
#pragma once

#include <array>
#include <utility>

#include "base/common.hpp"

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

// (R, dR): the rotation from the reference frame to the body-fixed frame and
// its time derivative, per second.
using RotationAndDerivative = std::pair<Mat3, Mat3>;

// The 3-1-3 Euler rotation R = R3(W) R1(DEC) R3(RA) from a PCK segment's
// reference frame to the body-fixed frame, and dR/dt by the product rule.
// Angles in radians, rates in radians per second; the angles enter as given
// (no quarter-turn offsets). R3 and R1 are frame rotations:
// R3(t) = [[cos t, sin t, 0], [-sin t, cos t, 0], [0, 0, 1]],
// R1(t) = [[1, 0, 0], [0, cos t, sin t], [0, -sin t, cos t]].
RotationAndDerivative pck_euler_rotation_and_derivative(double ra, double dec, double w, double dra, double ddec,
                                                        double dw) noexcept;

// R alone, the same bits as pck_euler_rotation_and_derivative's R.
Mat3 pck_euler_rotation(double ra, double dec, double w) noexcept;

// The frame rotation by `angle` radians about axis 1, 2 or 3 (x, y, z):
// R1 and R3 above, R2(t) = [[cos t, 0, -sin t], [0, 1, 0], [sin t, 0, cos t]].
Mat3 axis_rotation(int axis, double angle) noexcept;

Mat3 identity3() noexcept;
Mat3 transpose3(const Mat3& a) noexcept;
// A B, each element summed from 0.0 over k = 0..2 in increasing order.
Mat3 mxm3(const Mat3& a, const Mat3& b) noexcept;

// A rotation and its rate: w = R v, dw/dt = dR v + R dv/dt.
struct RotationRate {
    Mat3 r, dr;
};
// (A after B): (A.r B.r, A.dr B.r + A.r B.dr).
RotationRate compose(const RotationRate& a, const RotationRate& b) noexcept;
// The inverse of a rotation with its rate: (R^T, dR^T).
RotationRate invert(const RotationRate& a) noexcept;

// The state transform [[R, 0], [dR, R]].
Mat6 sxform_from_rotation(const Mat3& r, const Mat3& dr) noexcept;

// X s, each component summed from 0.0 over j = 0..5 in increasing order.
State apply_sxform(const Mat6& x, const State& state) noexcept;

// For X = [[A, B], [C, D]] returns [[A^T, 0], [C^T, D^T]]; B is not read.
// This is the exact inverse only of transforms built by sxform_from_rotation
// (R orthogonal, dR^T R + R^T dR = 0); no general inversion is done.
Mat6 invert_sxform(const Mat6& x) noexcept;

}  // namespace kernwerk
