#include "geometry/ellipsoid.hpp"

#include <algorithm>
#include <numbers>

namespace kernwerk {

double norm(const Vec3& v) noexcept {
    const double m = std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
    if (!(m > 0.0)) return 0.0;
    const double x = v[0] / m, y = v[1] / m, z = v[2] / m;
    return m * std::sqrt(x * x + y * y + z * z);
}

Vec3 near_point(const Triaxial& e, const Vec3& p) noexcept {
    const double ax[3] = {e.a, e.b, e.c};
    double a2[3], ap[3];
    for (int i = 0; i < 3; ++i) {
        a2[i] = ax[i] * ax[i];
        ap[i] = ax[i] * p[i];
    }
    auto g = [&](double t) {
        double s = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double q = ap[i] / (a2[i] + t);
            s += q * q;
        }
        return s - 1.0;
    };
    // A start below the root: the sum is at least (rmin |p| / (rmax^2 + t))^2,
    // so the root is at least rmin |p| - rmax^2 (and 0, as p is outside);
    // from there a few steps reach it, near the body and far from it.
    const double rmin = std::min({e.a, e.b, e.c}), rmax = std::max({e.a, e.b, e.c});
    double t = std::max(0.0, rmin * norm(p) - rmax * rmax);
    if (!(g(t) > 0.0)) t = 0.0;
    for (int it = 0; it < 200; ++it) {
        double s = 0.0, ds = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double inv = 1.0 / (a2[i] + t);
            const double q = ap[i] * inv;
            s += q * q;
            ds += q * q * inv;
        }
        const double f = s - 1.0;
        if (!(f > 0.0) || !(ds > 0.0)) break;
        const double step = f / (2.0 * ds);
        const double next = t + step;
        if (!(next > t)) break;
        t = next;
    }
    Vec3 x;
    for (int i = 0; i < 3; ++i) x[i] = a2[i] * p[i] / (a2[i] + t);
    // On the surface to the last place: scale along the normal direction's
    // residual, as the iteration stops just below the root.
    const double lv = e.level(x);
    if (lv > 0.0) {
        const double k = 1.0 / std::sqrt(lv);
        for (double& c : x) c *= k;
    }
    return x;
}

bool ray_intercept(const Triaxial& e, const Vec3& origin, const Vec3& dir, Vec3& out) noexcept {
    const Vec3 o{origin[0] / e.a, origin[1] / e.b, origin[2] / e.c};
    Vec3 u{dir[0] / e.a, dir[1] / e.b, dir[2] / e.c};
    const double n = norm(u);
    if (!(n > 0.0)) return false;
    for (double& c : u) c /= n;
    const double along = dot(o, u);
    if (!(along < 0.0)) {
        // Pointing away: only an origin on the surface itself is a hit.
        if (o[0] * o[0] + o[1] * o[1] + o[2] * o[2] == 1.0) {
            out = origin;
            return true;
        }
        return false;
    }
    const Vec3 perp{o[0] - along * u[0], o[1] - along * u[1], o[2] - along * u[2]};
    const double r = norm(perp);
    if (r > 1.0) return false;
    const double half = std::sqrt((1.0 - r) * (1.0 + r));
    out = Vec3{(perp[0] - half * u[0]) * e.a, (perp[1] - half * u[1]) * e.b, (perp[2] - half * u[2]) * e.c};
    return true;
}

Vec3 surface_normal(const Triaxial& e, const Vec3& p) noexcept {
    // Scaled by the smallest radius first, so that the squares stay in range.
    const double m = std::min({e.a, e.b, e.c});
    const double ka = m / e.a, kb = m / e.b, kc = m / e.c;
    Vec3 n{p[0] * ka * ka, p[1] * kb * kb, p[2] * kc * kc};
    const double l = norm(n);
    if (l > 0.0)
        for (double& c : n) c /= l;
    return n;
}

double angle_between(const Vec3& u, const Vec3& v) noexcept {
    const double nu = norm(u), nv = norm(v);
    if (!(nu > 0.0) || !(nv > 0.0)) return 0.0;
    const Vec3 a{u[0] / nu, u[1] / nu, u[2] / nu}, b{v[0] / nv, v[1] / nv, v[2] / nv};
    if (dot(a, b) > 0.0) {
        const Vec3 d{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
        return 2.0 * std::asin(0.5 * norm(d));
    }
    if (dot(a, b) < 0.0) {
        const Vec3 s{a[0] + b[0], a[1] + b[1], a[2] + b[2]};
        return std::numbers::pi - 2.0 * std::asin(0.5 * norm(s));
    }
    return 0.5 * std::numbers::pi;
}

}  // namespace kernwerk
