// Limb and terminator points against their defining conditions: on the
// surface, in their cut, the line of sight tangent at a limb point, the
// source's sphere tangent to the tangent plane at a terminator point.
#include <gtest/gtest.h>

#include <cmath>

#include "geometry/limb.hpp"

namespace kernwerk {
namespace {

const Triaxial kMars{3396.19, 3396.19, 3376.2};
const Triaxial kOblong{13.0, 11.4, 9.1};

Vec3 minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 cross3(const Vec3& u, const Vec3& v) {
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

// The point lies in the half-plane of (axis, toward): no component along
// axis x toward, and a positive one along the part of toward off the axis.
void expect_in_cut(const Vec3& x, const Vec3& axis, const Vec3& toward) {
    const Vec3 n = cross3(axis, toward);
    EXPECT_LT(std::fabs(dot(x, n)) / (norm(x) * norm(n)), 1e-14);
    EXPECT_GT(dot(x, cross3(n, axis)), 0.0);
}

TEST(Limb, PointsAreTangentToTheLineOfSight) {
    for (const Triaxial& e : {kMars, kOblong})
        for (const Vec3& o : {Vec3{2e8, -1e8, 3e7}, Vec3{3700.0, 200.0, -900.0}, Vec3{20.0, 3.0, 11.0}})
            for (const Vec3& w : {Vec3{0.0, 0.0, 1.0}, Vec3{1.0, -2.0, 0.5}, Vec3{-3.0, 0.1, -0.2}}) {
                Vec3 x;
                if (e.level(o) < 1.0) {  // no limb from inside
                    EXPECT_FALSE(limb_point(e, o, w, x));
                    continue;
                }
                ASSERT_TRUE(limb_point(e, o, w, x));
                EXPECT_NEAR(e.level(x), 1.0, 1e-15);
                const Vec3 sight = minus(x, o);
                EXPECT_LT(std::fabs(dot(surface_normal(e, x), sight)) / norm(sight), 1e-15);
                expect_in_cut(x, o, w);
            }
    Vec3 x;
    EXPECT_FALSE(limb_point(kMars, Vec3{1e5, 0.0, 0.0}, Vec3{-2.0, 0.0, 0.0}, x));  // along the axis
}

TEST(Limb, TerminatorTouchesTheSourceSphere) {
    for (const Triaxial& e : {kMars, kOblong})
        for (const Vec3& s : {Vec3{2e8, -1e8, 3e7}, Vec3{-4e3, 5e3, 1e3}})
            for (double radius : {0.0, 696000.0 * norm(s) / 2.2e8, 1.0})
                for (bool umbral : {true, false})
                    for (const Vec3& w : {Vec3{0.0, 0.0, 1.0}, Vec3{1.0, -2.0, 0.5}}) {
                        Vec3 x;
                        ASSERT_TRUE(terminator_point(e, s, radius, umbral, w, x));
                        EXPECT_NEAR(e.level(x), 1.0, 1e-15);
                        const double height = dot(surface_normal(e, x), minus(s, x));
                        EXPECT_NEAR(height, umbral ? -radius : radius, 1e-15 * norm(s));
                        expect_in_cut(x, s, w);
                    }
    // A needle lit by a near, large source: the tangent plane's turn along a
    // cut is no longer slow beside the source's size.
    const Triaxial needle{13.0, 2.0, 1.0};
    for (const Vec3& w : {Vec3{0.0, 0.0, 1.0}, Vec3{0.0, 1.0, 0.0}, Vec3{1.0, -2.0, 0.5}})
        for (bool umbral : {true, false}) {
            const Vec3 s{30.0, 10.0, 5.0};
            Vec3 x;
            ASSERT_TRUE(terminator_point(needle, s, 8.0, umbral, w, x));
            EXPECT_NEAR(needle.level(x), 1.0, 1e-15);
            EXPECT_NEAR(dot(surface_normal(needle, x), minus(s, x)), umbral ? -8.0 : 8.0, 1e-13);
            expect_in_cut(x, s, w);
        }
}

}  // namespace
}  // namespace kernwerk
