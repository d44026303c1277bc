// A triaxial ellipsoid centred at the origin, axes along x, y and z (a body's
// shape in its body-fixed frame), and the geometry on it that surface
// queries need: the nearest surface point of an outside point, the first
// intersection of a ray, the outward normal, and the angle between vectors.
//
// Each works in the ellipsoid's scaled coordinates (x/a, y/b, z/c), where
// the surface is the unit sphere; the results agree with the toolkit's
// nearpt, surfpt, surfnm and vsep to a few units of the last place.
#pragma once

#include <array>
#include <cmath>

namespace kernwerk {

using Vec3 = std::array<double, 3>;

struct Triaxial {
    double a = 0, b = 0, c = 0;  // km, all positive and finite
    bool valid() const noexcept {
        return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && a > 0 && b > 0 && c > 0;
    }
    // (x/a)^2 + (y/b)^2 + (z/c)^2: below 1 inside, 1 on the surface.
    double level(const Vec3& p) const noexcept {
        const double x = p[0] / a, y = p[1] / b, z = p[2] / c;
        return x * x + y * y + z * z;
    }
};

inline double dot(const Vec3& u, const Vec3& v) noexcept { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }
// |v| scaled by its largest component, as the toolkit's vnorm.
double norm(const Vec3& v) noexcept;

// The point of the surface nearest `p`, a point outside (or on) the
// ellipsoid: the root of the Lagrange condition
//   sum_i (a_i p_i / (a_i^2 + t))^2 = 1,  x_i = a_i^2 p_i / (a_i^2 + t),
// found by Newton's method from below the root, where the function is
// decreasing and convex so the steps rise monotonically onto it.
Vec3 near_point(const Triaxial& e, const Vec3& p) noexcept;

// The first point where the ray from `origin` (outside the ellipsoid) along
// `dir` (non-zero) meets the surface; false when it misses or points away.
// In scaled coordinates the ray's point nearest the centre is found first,
// then the half chord back toward the origin, which keeps grazing rays well
// conditioned.
bool ray_intercept(const Triaxial& e, const Vec3& origin, const Vec3& dir, Vec3& out) noexcept;

// The outward unit normal at a surface point.
Vec3 surface_normal(const Triaxial& e, const Vec3& p) noexcept;

// The angle between two non-zero vectors in [0, pi], from the chord between
// their unit vectors (accurate near 0 and pi, where acos is not); 0 when
// either is zero, as the toolkit's vsep.
double angle_between(const Vec3& u, const Vec3& v) noexcept;

}  // namespace kernwerk
