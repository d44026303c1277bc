#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geometry/fov.hpp"

using namespace kernwerk;

namespace {

FieldOfView field(FovShape shape, std::vector<Vec3> bounds) {
    FieldOfView f;
    f.shape = shape;
    f.boresight = {0, 0, 1};
    f.bounds = std::move(bounds);
    return f;
}

// Whether any of `n` x `n` points of the ellipsoid's surface lies in the field.
bool surface_seen(const FovCone& cone, const Mat3& rot, const Vec3& radii, const Vec3& c, int n) {
    for (int i = 0; i < n; ++i) {
        const double th = M_PI * (i + 0.5) / n;
        for (int j = 0; j < 2 * n; ++j) {
            const double ph = M_PI * j / n;
            const Vec3 b{radii[0] * std::sin(th) * std::cos(ph), radii[1] * std::sin(th) * std::sin(ph),
                         radii[2] * std::cos(th)};
            Vec3 p = c;  // c + rot^T b
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k) p[r] += rot[k][r] * b[k];
            if (cone.contains(p)) return true;
        }
    }
    return false;
}

}  // namespace

// meets_ellipsoid against a dense sampling of the surface: a sampled surface
// point in the field means it meets; meeting means a slightly larger
// ellipsoid (by more than the sampling's spacing) shows a sampled point.
TEST(FovCone, EllipsoidsAgainstSampledSurfaces) {
    const std::vector<FieldOfView> fields = {
        field(FovShape::Circle, {{0.2, 0, 1}}),
        field(FovShape::Ellipse, {{0.25, 0.1, 1}, {-0.04, 0.1, 1}}),
        field(FovShape::Rectangle, {{0.2, 0.1, 1}, {-0.2, 0.1, 1}, {-0.2, -0.1, 1}, {0.2, -0.1, 1}}),
        field(FovShape::Polygon, {{0.2, 0, 1}, {0, 0.16, 1}, {-0.2, 0.04, 1}, {-0.06, 0, 1}, {-0.2, -0.12, 1}}),
    };
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int met = 0, missed = 0;
    for (const FieldOfView& f : fields) {
        auto cone = FovCone::plan(f);
        ASSERT_TRUE(cone.has_value());
        for (int trial = 0; trial < 150; ++trial) {
            const Vec3 radii{1.0 + 0.5 * std::fabs(u(rng)), 0.5 + 0.5 * std::fabs(u(rng)), 0.3 + 0.3 * std::fabs(u(rng))};
            const Vec3 c{4.0 * u(rng), 4.0 * u(rng), 12.0 + 4.0 * u(rng)};
            const Mat3 rot = mxm3(axis_rotation(3, 3.0 * u(rng)), axis_rotation(1, 3.0 * u(rng)));
            Mat3 m{};
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k) m[i][k] = rot[i][k] / radii[i];
            const bool meets = cone->meets_ellipsoid(m, c, std::max({radii[0], radii[1], radii[2]}));
            if (surface_seen(*cone, rot, radii, c, 60)) EXPECT_TRUE(meets) << fov_shape_name(f.shape) << " " << trial;
            if (meets) {
                ++met;
                const Vec3 big{radii[0] * 1.08, radii[1] * 1.08, radii[2] * 1.08};
                EXPECT_TRUE(surface_seen(*cone, rot, big, c, 60)) << fov_shape_name(f.shape) << " " << trial;
            } else {
                ++missed;
            }
        }
    }
    EXPECT_GT(met, 50);
    EXPECT_GT(missed, 50);
}

TEST(FovCone, RefusesFieldsItCannotTest) {
    EXPECT_FALSE(FovCone::plan(field(FovShape::Circle, {{0, 0, 2}})).has_value());
    EXPECT_FALSE(FovCone::plan(field(FovShape::Rectangle, {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}})).has_value());
    FieldOfView zero = field(FovShape::Circle, {{0.1, 0, 1}});
    zero.boresight = {0, 0, 0};
    EXPECT_FALSE(FovCone::plan(zero).has_value());
}
