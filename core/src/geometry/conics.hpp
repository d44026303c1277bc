// Two-body orbits from osculating elements and back, in the toolkit's
// element conventions (the eight elements of its conics and oscelt):
//
//   [rp, ecc, inc, lnode, argp, m0, t0, mu]
//
// perifocal distance rp (km), eccentricity, inclination, longitude of the
// ascending node and argument of periapsis (radians, in the frame of the
// state: the node on its x-y plane, measured from its x axis), mean anomaly
// m0 (radians) at epoch t0 (TDB seconds past J2000), and the gravitational
// parameter mu (km^3/s^2). The mean anomaly is n (t - tp), tp the time of
// periapsis, with n = sqrt(mu / a^3) for ellipses and hyperbolas (|a| for
// hyperbolas) and sqrt(mu / (2 rp^3)) for parabolas.
//
// The propagation is propagate_two_body of SPK Type 5, so that a state from
// elements and a Type 5 segment's share every bit of the two-body step.
#pragma once

#include <array>
#include <string>

#include "base/common.hpp"

namespace kernwerk {

using ConicElements = std::array<double, 8>;

// A message naming what is wrong with the elements (rp and mu positive and
// finite, ecc finite and not negative, the angles and t0 finite), or an
// empty string.
std::string check_conic_elements(const ConicElements& e);

// The state at `et` of the orbit the (checked) elements describe: the
// periapsis state in the frame, propagated by (et - t0) + m0 / n.
State conic_state(const ConicElements& e, double et) noexcept;

// A message naming what is wrong with a state and mu for oscelt (finite,
// mu positive, position not zero, angular momentum not zero: the state must
// not lie on a line through the center), or an empty string.
std::string check_osculating(const State& s, double mu);

// The osculating elements of `state` at `et` about a body of parameter mu
// (checked). Degenerate cases, as the toolkit resolves them: an orbit in the
// x-y plane has its node on the x axis (lnode 0); a circular one its
// periapsis at the node (argp 0). Angles in [0, 2 pi); m0 of an ellipse in
// [0, 2 pi).
ConicElements osculating_elements(const State& state, double et, double mu) noexcept;

}  // namespace kernwerk
