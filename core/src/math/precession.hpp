// The Earth's mean and true equator and equinox of date, and its mean
// ecliptic and equinox of date, from J2000: IAU 1976 precession (Lieske's
// zeta, z, theta), the IAU 1980 theory of nutation (the 106-term series of
// Wahr) and the IAU 1980 mean obliquity, with their exact time derivatives.
//
// Time is TDB seconds past J2000 throughout; the polynomials are in Julian
// centuries of TDB (36525 days of 86400 s), as the frame kernels of the
// toolkit evaluate these models (TT and TDB differ here by far less than
// the models' own accuracy).
//
// Matrices follow math/rotation.hpp: frame rotations R1, R2, R3, row-major,
// acting on column vectors from the left. From J2000:
//   mean equator and equinox of date    P = R3(-z) R2(theta) R3(-zeta)
//   mean ecliptic and equinox of date   R1(eps) P
//   true equator and equinox of date    R1(-(eps + deps)) R3(-dpsi) R1(eps) P
// eps the mean obliquity, dpsi and deps the nutation in longitude and in
// obliquity. Rates are the product rule over these factors, each factor's
// angle differentiated from its own polynomial or series: no differencing.
#pragma once

#include "math/rotation.hpp"

namespace kernwerk {

struct AngleRate {
    double angle = 0;  // radians
    double rate = 0;   // radians per second
};

struct Nutation {
    AngleRate longitude;  // dpsi
    AngleRate obliquity;  // deps
};

// The precession angles zeta, z and theta at `et`.
struct PrecessionAngles {
    AngleRate zeta, z, theta;
};
PrecessionAngles iau1976_precession_angles(double et) noexcept;

// The mean obliquity of the ecliptic of date (84381.448" at J2000).
AngleRate iau1980_mean_obliquity(double et) noexcept;

// The nutation in longitude and obliquity of the IAU 1980 theory; the rates
// are 0 unless `rates`.
Nutation iau1980_nutation(double et, bool rates = true) noexcept;

// The frame rotation by `angle` about axis 1, 2 or 3 and its rate
// (axis_rotation, and its derivative times `rate`).
RotationRate axis_rotation_rate(int axis, double angle, double rate) noexcept;

enum class EarthOfDate : unsigned char { MeanEquator, MeanEcliptic, TrueEquator };

// The rotation from J2000 to the frame of date at `et`, and its rate when
// `rates` (dr is left as it is otherwise).
void earth_of_date(EarthOfDate frame, double et, bool rates, RotationRate& out) noexcept;

}  // namespace kernwerk
