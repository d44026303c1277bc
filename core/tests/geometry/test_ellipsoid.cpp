// The ellipsoid geometry against its defining conditions: near points are on
// the surface with the normal along the offset, intercepts lie on the ray and
// the surface, grazing and missing rays are told apart.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "geometry/ellipsoid.hpp"

namespace kernwerk {
namespace {

const Triaxial kMars{3396.19, 3396.19, 3376.2};
const Triaxial kOblong{13.0, 11.4, 9.1};

TEST(Ellipsoid, NearPointIsOnTheSurfaceUnderThePoint) {
    for (const Triaxial& e : {kMars, kOblong}) {
        for (const Vec3& p : {Vec3{-2000.0, 3000.0, 1500.0}, Vec3{1e8, -2e8, 5e7}, Vec3{0.0, 0.0, 4000.0},
                              Vec3{20.0, 0.5, -0.25}, Vec3{e.a, 0.0, 0.0}}) {
            if (e.level(p) < 1.0) continue;  // near points are asked of outside points only
            const Vec3 x = near_point(e, p);
            EXPECT_NEAR(e.level(x), 1.0, 1e-15);
            // p - x is along the outward normal at x.
            const Vec3 n = surface_normal(e, x);
            const Vec3 d{p[0] - x[0], p[1] - x[1], p[2] - x[2]};
            const double len = norm(d);
            if (len > 1e-9) EXPECT_LT(angle_between(n, d), 1e-12);
        }
    }
}

TEST(Ellipsoid, RaysHitGrazeAndMiss) {
    const Vec3 o{10000.0, 0.0, 0.0};
    Vec3 x{};
    // Straight at the centre: the sub-point on the x axis.
    ASSERT_TRUE(ray_intercept(kMars, o, Vec3{-1.0, 0.0, 0.0}, x));
    EXPECT_DOUBLE_EQ(x[0], kMars.a);
    // Closest approaches just inside and just outside a sphere's radius.
    const Triaxial sphere{3000.0, 3000.0, 3000.0};
    for (double b : {3000.0 - 1e-6, 3000.0 + 1e-6}) {
        const double a = std::asin(b / 10000.0);
        const bool hit = ray_intercept(sphere, o, Vec3{-std::cos(a), 0.0, std::sin(a)}, x);
        EXPECT_EQ(hit, b < 3000.0);
        if (hit) EXPECT_NEAR(sphere.level(x), 1.0, 1e-12);
    }
    // Pointing away.
    EXPECT_FALSE(ray_intercept(kMars, o, Vec3{1.0, 0.0, 0.0}, x));
}

TEST(Ellipsoid, AnglesNearZeroAndPi) {
    EXPECT_DOUBLE_EQ(angle_between(Vec3{1.0, 0.0, 0.0}, Vec3{1.0, 1e-12, 0.0}), 1e-12);
    EXPECT_NEAR(angle_between(Vec3{1.0, 0.0, 0.0}, Vec3{-1.0, 1e-12, 0.0}), std::numbers::pi - 1e-12, 1e-15);
    EXPECT_DOUBLE_EQ(angle_between(Vec3{0.0, 0.0, 0.0}, Vec3{1.0, 0.0, 0.0}), 0.0);
}

}  // namespace
}  // namespace kernwerk
