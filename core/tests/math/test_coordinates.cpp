#include "math/coordinates.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace kernwerk;

namespace {

constexpr double kPi = std::numbers::pi;
const Spheroid kEarth{6378.1366, (6378.1366 - 6356.7519) / 6378.1366};

struct GeoCase {
    const char* what;
    Point3 p;
    Spheroid s;
    Planetodetic want;
};

class planetodetic_cases : public testing::TestWithParam<GeoCase> {};

TEST_P(planetodetic_cases, known_points) {
    const GeoCase& c = GetParam();
    const Planetodetic g = rectangular_to_planetodetic(c.p, c.s);
    const double scale = std::max(std::abs(c.want.alt), c.s.re);
    EXPECT_NEAR(g.lon, c.want.lon, 1e-15) << c.what;
    EXPECT_NEAR(g.lat, c.want.lat, 1e-15) << c.what;
    EXPECT_NEAR(g.alt, c.want.alt, 1e-15 * scale) << c.what;
}

const double kRp = kEarth.re * (1 - kEarth.f);

INSTANTIATE_TEST_SUITE_P(
    axes_and_degenerate_points, planetodetic_cases,
    testing::Values(
        // The center of an oblate spheroid lies below its north pole, of a
        // sphere below longitude and latitude 0.
        GeoCase{"center", {0, 0, 0}, kEarth, {0, kPi / 2, -kRp}},
        GeoCase{"center of a sphere", {0, 0, 0}, {1737.4, 0}, {0, 0, -1737.4}},
        GeoCase{"north pole", {0, 0, kRp}, kEarth, {0, kPi / 2, 0}},
        GeoCase{"below the south pole", {-0.0, -0.0, -2 * kRp}, kEarth, {0, -kPi / 2, kRp}},
        GeoCase{"equator", {0, kEarth.re + 10, 0}, kEarth, {kPi / 2, 0, 10}},
        GeoCase{"equator, negative zeros", {-kEarth.re, -0.0, -0.0}, kEarth, {-kPi, 0, 0}},
        // A prolate spheroid's center is below its equator; its pole is an
        // end of its longer axis.
        GeoCase{"prolate center", {0, 0, 0}, {1000, -0.25}, {0, 0, -1000}},
        GeoCase{"prolate pole", {0, 0, 1500}, {1000, -0.25}, {0, kPi / 2, 250}},
        // From the subnormal to near the largest double.
        GeoCase{"subnormal", {0, 0, 5e-324}, kEarth, {0, kPi / 2, -kRp}},
        GeoCase{"huge", {1e300, 0, 0}, kEarth, {0, 0, 1e300}}));

TEST(coordinates, planetodetic_round_trip_on_a_grid) {
    for (const Spheroid& s : {kEarth, Spheroid{1737.4, 0}, Spheroid{1000, -0.25}, Spheroid{1000, 0.9}})
        for (double lat = -kPi / 2; lat <= kPi / 2; lat += kPi / 37)
            for (double lon = -3.0; lon <= 3.0; lon += 0.7)
                for (double alt : {-0.5 * s.re * (1 - std::abs(s.f)), -1.0, 0.0, 1e-3, 500.0, 1e7}) {
                    const Point3 p = planetodetic_to_rectangular(lon, lat, alt, s);
                    const Planetodetic g = rectangular_to_planetodetic(p, s);
                    // Deep inside, the nearest point may be another one
                    // (several are); compare the point rebuilt from it.
                    const Point3 q = planetodetic_to_rectangular(g.lon, g.lat, g.alt, s);
                    const double size = std::max(std::hypot(p[0], p[1], p[2]), s.re);
                    for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[k], p[k], 1e-13 * size);
                    if (alt >= 0 && std::abs(lat) < kPi / 2 - 1e-9) {
                        EXPECT_NEAR(g.lat, lat, 1e-14);
                        EXPECT_NEAR(g.alt, alt, 1e-13 * std::max(alt, s.re));
                    }
                }
}

TEST(coordinates, batches_give_the_single_point_results_bit_for_bit) {
    const std::vector<double> xyz = {1, 2, 3, -4000, 100, 6000, 0, 0, 0, 1e9, -2e9, 3e9};
    const std::size_t n = xyz.size() / 3;
    std::vector<double> a(n), b(n), c(n), back(3 * n);
    rectangular_to_planetographic(xyz.data(), n, kEarth, true, a.data(), b.data(), c.data());
    planetographic_to_rectangular(a.data(), b.data(), c.data(), n, kEarth, true, back.data());
    for (std::size_t i = 0; i < n; ++i) {
        const Planetodetic g = rectangular_to_planetodetic({xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]}, kEarth);
        EXPECT_EQ(a[i], planetographic_lon(g.lon, true));
        EXPECT_EQ(b[i], g.lat);
        EXPECT_EQ(c[i], g.alt);
        EXPECT_GE(a[i], 0.0);
        EXPECT_FALSE(std::signbit(a[i]));
        const Point3 p = planetodetic_to_rectangular(planetodetic_lon(a[i], true), b[i], c[i], kEarth);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(back[3 * i + k], p[k]);
    }
}

TEST(coordinates, nan_in_nan_out_and_spheroids_checked) {
    const Planetodetic g = rectangular_to_planetodetic({std::nan(""), 1, 1}, kEarth);
    EXPECT_TRUE(std::isnan(g.lon) && std::isnan(g.lat) && std::isnan(g.alt));
    EXPECT_EQ(check_spheroid(kEarth), "");
    EXPECT_EQ(check_spheroid({0, 0.1}), "the equatorial radius must be finite and positive (got 0)");
    EXPECT_EQ(check_spheroid({1, 1}), "the flattening must be finite and below 1 (got 1)");
    EXPECT_NE(check_spheroid({1, std::numeric_limits<double>::infinity()}), "");
}

}  // namespace
