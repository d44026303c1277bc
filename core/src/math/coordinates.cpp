#include "math/coordinates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/common.hpp"
#include "base/parallel.hpp"

namespace kernwerk {

namespace {

constexpr double kTwoPi = 6.283185307179586;  // 2 pi, rounded
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// sqrt(a^2 + b^2) from the squares where they neither overflow nor lose the
// larger one to underflow (std::hypot, several times slower, elsewhere).
constexpr double kSafeHigh = 0x1p500, kSafeLow = 0x1p-500;

inline double norm(double a, double b) noexcept {
    const double m = std::max(std::fabs(a), std::fabs(b));
    if (m < kSafeHigh && (m > kSafeLow || m == 0)) return std::sqrt(a * a + b * b);
    return std::hypot(a, b);
}

inline double norm(double a, double b, double c) noexcept {
    const double m = std::max({std::fabs(a), std::fabs(b), std::fabs(c)});
    if (m < kSafeHigh && (m > kSafeLow || m == 0)) return std::sqrt(a * a + b * b + c * c);
    return std::hypot(a, b, c);
}

// The nearest point of an ellipse u^2/e0^2 + v^2/e1^2 = 1 (e0 >= e1 > 0) to
// (y0, y1), y0 >= 0, y1 > 0, all lengths divided by the same scale k (only
// y0, y1 and d = (e0^2 - e1^2) / k are scaled; e0 and e1 are not). The
// point is x = (e0 p, e1 q) with p = e0 y0 / (w + d), q = e1 y1 / w, where w
// is the root of G(w) = p^2 + q^2 - 1, decreasing and convex for w > 0.
struct Value {
    double g;      // G(w)
    double slope;  // -G'(w) / 2
    double p, q;
};

inline Value evaluate(double a, double b, double d, double w) noexcept {
    const double iwd = 1.0 / (w + d), iw = 1.0 / w;
    const double p = a * iwd, q = b * iw;
    return {p * p + q * q - 1.0, p * p * iwd + q * q * iw, p, q};
}

// The root of G for a = e0 y0 >= 0, b = e1 y1 > 0, where h = hypot(y0 / e0,
// y1 / e1) (of the scaled y, so 1 / k on the surface). It lies in [b,
// a + b], and between the values of w that put x at the radial
// projection of y onto the ellipse in either coordinate, e1^2 h and
// e0^2 h - d (in that order outside, the other inside): a bracket some f
// |h - 1| wide in ratio. Newton steps from its left end never pass the root
// (the tangent of a convex decreasing function lies below it); a step that
// takes off less than three quarters of G is followed by a bisection (at the
// geometric mean while the ends are far apart in ratio).
Value nearest_root(double a, double b, double d, double e0, double e1, double h) noexcept {
    double left = b, right = a + b;  // G(a + b) <= 0 as G(hypot(a, b)) <= 0
    const double w1 = e1 * e1 * h, w2 = e0 * e0 * h - d;
    const double lo = std::min(w1, w2), hi = std::max(w1, w2);
    if (lo > left && lo < right) left = lo;
    if (hi > left && hi < right) right = hi;
    Value at_left = evaluate(a, b, d, left);
    if (!(at_left.g > 0)) {
        // Rounding put the radial estimate at (or just past) the root: start
        // again from the bracket's sure end.
        if (at_left.g == 0 || left == b) return at_left;
        right = left;
        left = b;
        at_left = evaluate(a, b, d, left);
        if (!(at_left.g > 0)) return at_left;
    }
    for (int i = 0; i < 256 && left < right; ++i) {
        const double c = left + at_left.g / (2.0 * at_left.slope);
        if (!(c > left)) return at_left;  // no further step: the root to within rounding
        const double before = at_left.g;
        if (c < right) {
            const Value at_c = evaluate(a, b, d, c);
            // Newton's error after a step is at most 1.5 (step / w)^2 in
            // ratio (G'' / G' <= 3 / w here): below 2^-27 it is past rounding.
            if (at_c.g == 0 || c - left <= left * 0x1p-27) return at_c;
            if (at_c.g > 0) {
                left = c;
                at_left = at_c;
            } else {
                right = c;
            }
        }
        if (at_left.g > 0.25 * before) {
            const double m = right > 4.0 * left ? std::sqrt(left) * std::sqrt(right) : left + 0.5 * (right - left);
            if (!(m > left && m < right)) break;
            const Value at_m = evaluate(a, b, d, m);
            if (at_m.g == 0) return at_m;
            if (at_m.g > 0) {
                left = m;
                at_left = at_m;
            } else {
                right = m;
            }
        }
    }
    const Value at_right = evaluate(a, b, d, right);
    return std::fabs(at_right.g) < std::fabs(at_left.g) ? at_right : at_left;
}

// Runs fn(begin, end) over [0, n), on every usable core for batches long
// enough to repay starting threads (each point costs 0.1 to 1 us). Each
// point's result is the same whatever the split.
template <typename Fn>
void over_points(std::size_t n, Fn&& fn) noexcept {
    constexpr std::size_t kParallelPoints = 16384;
    const unsigned chunks = n >= kParallelPoints ? usable_cores() : 1;
    for_each_chunk(n, chunks, [&](unsigned, std::size_t begin, std::size_t end) { fn(begin, end); });
}

}  // namespace

std::string check_spheroid(const Spheroid& s) {
    if (!std::isfinite(s.re) || !(s.re > 0))
        return "the equatorial radius must be finite and positive (got " + format_double(s.re) + ")";
    if (!std::isfinite(s.f) || !(s.f < 1))
        return "the flattening must be finite and below 1 (got " + format_double(s.f) + ")";
    return {};
}

Spherical rectangular_to_latitudinal(const Point3& p) noexcept {
    const double x = p[0], y = p[1], z = p[2];
    const double rho = norm(x, y);
    const double lon = x == 0 && y == 0 ? 0.0 : std::atan2(y, x);
    const double lat = rho == 0 && z == 0 ? 0.0 : std::atan2(z, rho);
    return {norm(x, y, z), lon, lat};
}

Point3 latitudinal_to_rectangular(double radius, double lon, double lat) noexcept {
    const double h = radius * std::cos(lat);
    return {h * std::cos(lon), h * std::sin(lon), radius * std::sin(lat)};
}

Planetodetic rectangular_to_planetodetic(const Point3& p, const Spheroid& s) noexcept {
    const double x = p[0], y = p[1], z = p[2];
    if (std::isnan(x) || std::isnan(y) || std::isnan(z)) return {kNaN, kNaN, kNaN};
    const double lon = x == 0 && y == 0 ? 0.0 : std::atan2(y, x);
    const double rho = norm(x, y);
    const double az = std::fabs(z);
    if (std::isinf(rho) || std::isinf(az))  // the normal's direction tends to the point's
        return {lon, std::atan2(z, rho), std::numeric_limits<double>::infinity()};

    // The meridian ellipse with its larger semi-axis e0 along u.
    const double rp = s.re * (1.0 - s.f);
    const bool oblate = s.f >= 0;
    const double e0 = oblate ? s.re : rp, e1 = oblate ? rp : s.re;
    const double u = oblate ? rho : az, v = oblate ? az : rho;
    const double h = norm(u / e0, v / e1);  // 1 on the surface
    const bool inside = h < 1.0;

    // Scale by a power of two: exact, and keeps the ends of the root's
    // bracket and the squares in G in range however near or far the point.
    int exponent = 0;
    const double biggest = std::max(u, v);
    if (biggest > 0) std::frexp(biggest, &exponent);
    const double k = std::ldexp(1.0, exponent - 1);
    const double y0 = u / k, y1 = v / k;
    const double d = (e0 - e1) * (e0 + e1) / k;

    // The nearest point (x0, x1) and the outward normal there (n0, n1), in
    // the (u, v) plane.
    double x0, x1, n0, n1;
    const double a = e0 * y0, b = e1 * y1;
    if (b == 0) {
        if (a < d) {
            // Within the evolute's cusp on the major axis: the nearest points
            // lie off the axis, symmetric about it; the one with v > 0.
            const double t = a / d;
            x0 = e0 * t;
            x1 = e1 * std::sqrt((1.0 - t) * (1.0 + t));
            n0 = x0 * e1 * e1;
            n1 = x1 * e0 * e0;
        } else {
            x0 = e0;
            x1 = 0;
            n0 = 1;
            n1 = 0;
        }
    } else {
        const Value r = nearest_root(a, b, d, e0, e1, h / k);  // h / k: exact, k a power of two
        x0 = e0 * r.p;
        x1 = e1 * r.q;
        n0 = r.p * e1;
        n1 = r.q * e0;
    }
    const double xr = oblate ? x0 : x1, xz = oblate ? x1 : x0;
    const double nr = oblate ? n0 : n1, nz = oblate ? n1 : n0;
    const double lat = std::atan2(nz, nr);
    const double dist = norm(rho - xr, az - xz);
    return {lon, z < 0 ? -lat : lat, inside ? -dist : dist};
}

Point3 planetodetic_to_rectangular(double lon, double lat, double alt, const Spheroid& s) noexcept {
    const double g = 1.0 - s.f;  // polar over equatorial radius
    const double cl = std::cos(lat), sl = std::sin(lat);
    const double gs = g * sl;
    const double n = s.re / std::sqrt(cl * cl + gs * gs);  // the radius of curvature in the prime vertical
    const double h = (n + alt) * cl;
    return {h * std::cos(lon), h * std::sin(lon), (n * g * g + alt) * sl};
}

double planetographic_lon(double planetodetic_lon, bool positive_west) noexcept {
    double lon = positive_west ? -planetodetic_lon : planetodetic_lon;
    if (lon < 0) lon += kTwoPi;
    return lon + 0.0;  // no negative zero
}

void rectangular_to_latitudinal(const double* xyz, std::size_t n, double* radius, double* lon, double* lat) noexcept {
    over_points(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Spherical c = rectangular_to_latitudinal(Point3{xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]});
            radius[i] = c.radius;
            lon[i] = c.lon;
            lat[i] = c.lat;
        }
    });
}

void latitudinal_to_rectangular(const double* radius, const double* lon, const double* lat, std::size_t n,
                                double* xyz) noexcept {
    over_points(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Point3 p = latitudinal_to_rectangular(radius[i], lon[i], lat[i]);
            xyz[3 * i] = p[0];
            xyz[3 * i + 1] = p[1];
            xyz[3 * i + 2] = p[2];
        }
    });
}

void rectangular_to_planetodetic(const double* xyz, std::size_t n, const Spheroid& s, double* lon, double* lat,
                                 double* alt) noexcept {
    rectangular_to_planetographic(xyz, n, s, std::nullopt, lon, lat, alt);
}

void planetodetic_to_rectangular(const double* lon, const double* lat, const double* alt, std::size_t n,
                                 const Spheroid& s, double* xyz) noexcept {
    planetographic_to_rectangular(lon, lat, alt, n, s, std::nullopt, xyz);
}

void rectangular_to_planetographic(const double* xyz, std::size_t n, const Spheroid& s,
                                   std::optional<bool> positive_west, double* lon, double* lat, double* alt) noexcept {
    over_points(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Planetodetic c =
                rectangular_to_planetodetic(Point3{xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]}, s);
            lon[i] = positive_west ? planetographic_lon(c.lon, *positive_west) : c.lon;
            lat[i] = c.lat;
            alt[i] = c.alt;
        }
    });
}

void planetographic_to_rectangular(const double* lon, const double* lat, const double* alt, std::size_t n,
                                   const Spheroid& s, std::optional<bool> positive_west, double* xyz) noexcept {
    over_points(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const double l = positive_west ? planetodetic_lon(lon[i], *positive_west) : lon[i];
            const Point3 p = planetodetic_to_rectangular(l, lat[i], alt[i], s);
            xyz[3 * i] = p[0];
            xyz[3 * i + 1] = p[1];
            xyz[3 * i + 2] = p[2];
        }
    });
}

}  // namespace kernwerk
