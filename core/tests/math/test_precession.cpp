// The IAU 1980 nutation and obliquity against ERFA's nut80 and obl80
// (through pyerfa; TT and TDB taken alike), which catches a mistyped
// coefficient or multiplier of the 106-term table; and every rate against a
// central difference of its angle.
#include <gtest/gtest.h>

#include <cmath>

#include "math/precession.hpp"

using namespace kernwerk;

namespace {

struct Reference {
    double et, dpsi, deps, eps;
};
constexpr Reference kErfa[] = {
    {0.0, -6.750247617532478e-05, -2.7992212383770132e-05, 0.40909280422232897},
    {5e8, -8.342393277549965e-06, -4.459272118471477e-05, 0.4090568436680783},
    {-2e9, 9.02269952695338e-05, 1.8812929350234306e-06, 0.4092366429056206},
};

TEST(Precession, NutationAndObliquityMatchErfa) {
    for (const Reference& r : kErfa) {
        const Nutation n = iau1980_nutation(r.et);
        EXPECT_NEAR(n.longitude.angle, r.dpsi, 1e-17) << r.et;
        EXPECT_NEAR(n.obliquity.angle, r.deps, 1e-17) << r.et;
        EXPECT_NEAR(iau1980_mean_obliquity(r.et).angle, r.eps, 1e-16) << r.et;
        // Without rates, the same angles.
        EXPECT_EQ(iau1980_nutation(r.et, false).longitude.angle, n.longitude.angle);
    }
}

TEST(Precession, RatesAreTheDerivativesOfTheAngles) {
    const double h = 60.0;
    for (double et : {-3e9, -1e8, 0.0, 7.3e8, 3e9}) {
        const auto fd = [&](auto angle) { return (angle(et + h) - angle(et - h)) / (2 * h); };
        const Nutation n = iau1980_nutation(et);
        EXPECT_NEAR(n.longitude.rate, fd([](double t) { return iau1980_nutation(t).longitude.angle; }), 1e-18);
        EXPECT_NEAR(n.obliquity.rate, fd([](double t) { return iau1980_nutation(t).obliquity.angle; }), 1e-18);
        const PrecessionAngles p = iau1976_precession_angles(et);
        EXPECT_NEAR(p.zeta.rate, fd([](double t) { return iau1976_precession_angles(t).zeta.angle; }), 1e-18);
        EXPECT_NEAR(p.z.rate, fd([](double t) { return iau1976_precession_angles(t).z.angle; }), 1e-18);
        EXPECT_NEAR(p.theta.rate, fd([](double t) { return iau1976_precession_angles(t).theta.angle; }), 1e-18);
        RotationRate x{};
        earth_of_date(EarthOfDate::TrueEquator, et, true, x);
        RotationRate a{}, b{};
        earth_of_date(EarthOfDate::TrueEquator, et + h, false, a);
        earth_of_date(EarthOfDate::TrueEquator, et - h, false, b);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(x.dr[i][j], (a.r[i][j] - b.r[i][j]) / (2 * h), 5e-18) << et;
    }
}

}  // namespace
