#include "geometry/conics.hpp"

#include <cmath>
#include <numbers>

#include "spk/types/type05.hpp"

namespace kernwerk {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

double wrap(double angle) noexcept {
    double a = std::fmod(angle, kTwoPi);
    if (a < 0.0) a += kTwoPi;
    return a >= kTwoPi ? 0.0 : a;
}

using V3 = std::array<double, 3>;
double dot(const V3& a, const V3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
V3 cross(const V3& a, const V3& b) noexcept {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double norm(const V3& a) noexcept { return std::sqrt(dot(a, a)); }

// The signed angle from unit vector a to unit vector b about the axis h.
double angle_about(const V3& a, const V3& b, const V3& h) noexcept {
    return std::atan2(dot(cross(a, b), h) / norm(h), dot(a, b));
}

// The mean motion of the orbit (rad/s).
double mean_motion(double rp, double ecc, double mu) noexcept {
    if (ecc == 1.0) return std::sqrt(mu / (2.0 * rp)) / rp;
    const double ainv = std::fabs(1.0 - ecc) / rp;  // 1 / |a|
    return std::sqrt(mu * ainv) * ainv;
}

}  // namespace

std::string check_conic_elements(const ConicElements& e) {
    static const char* const names[8] = {"rp", "ecc", "inc", "lnode", "argp", "m0", "t0", "mu"};
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(e[i])) return std::string("element ") + names[i] + " is " + format_double(e[i]);
    if (!(e[0] > 0.0)) return "the perifocal distance rp must be positive, not " + format_double(e[0]);
    if (e[1] < 0.0) return "the eccentricity ecc must not be negative, not " + format_double(e[1]);
    if (!(e[7] > 0.0)) return "the gravitational parameter mu must be positive, not " + format_double(e[7]);
    return {};
}

State conic_state(const ConicElements& e, double et) noexcept {
    const double rp = e[0], ecc = e[1], inc = e[2], lnode = e[3], argp = e[4], m0 = e[5], t0 = e[6], mu = e[7];
    const double cn = std::cos(lnode), sn = std::sin(lnode), cw = std::cos(argp), sw = std::sin(argp);
    const double ci = std::cos(inc), si = std::sin(inc);
    // Perifocal axes: P toward periapsis, Q along the velocity there.
    const V3 p{cn * cw - sn * sw * ci, sn * cw + cn * sw * ci, sw * si};
    const V3 q{-cn * sw - sn * cw * ci, -sn * sw + cn * cw * ci, cw * si};
    const double vp = std::sqrt(mu * (1.0 + ecc) / rp);
    const State periapsis{rp * p[0], rp * p[1], rp * p[2], vp * q[0], vp * q[1], vp * q[2]};
    const double n = mean_motion(rp, ecc, mu);
    double dt = (et - t0) + m0 / n;
    if (ecc < 1.0) dt = std::fmod(dt, kTwoPi / n);
    return propagate_two_body(mu, periapsis, dt);
}

std::string check_osculating(const State& s, double mu) {
    for (double v : s)
        if (!std::isfinite(v)) return "the state holds " + format_double(v);
    if (!(mu > 0.0) || !std::isfinite(mu))
        return "the gravitational parameter mu must be positive and finite, not " + format_double(mu);
    const V3 r{s[0], s[1], s[2]}, v{s[3], s[4], s[5]};
    if (norm(r) == 0.0) return "the position is zero: no orbit passes through the center";
    if (norm(cross(r, v)) == 0.0)
        return "the velocity is parallel to the position (zero angular momentum): a radial path has no elements";
    return {};
}

ConicElements osculating_elements(const State& s, double et, double mu) noexcept {
    const V3 r{s[0], s[1], s[2]}, v{s[3], s[4], s[5]};
    const double rn = norm(r), v2 = dot(v, v), rv = dot(r, v);
    const V3 h = cross(r, v);
    const double hn = norm(h);
    // Eccentricity vector ((v^2 - mu/r) r - (r.v) v) / mu.
    V3 ev;
    for (int k = 0; k < 3; ++k) ev[k] = ((v2 - mu / rn) * r[k] - rv * v[k]) / mu;
    const double ecc = norm(ev);
    const double p = hn * hn / mu;
    const double rp = p / (1.0 + ecc);
    const double inc = std::atan2(std::hypot(h[0], h[1]), h[2]);
    // The node line z x h; along x for an orbit in the x-y plane.
    V3 node{-h[1], h[0], 0.0};
    double nn = norm(node);
    if (nn == 0.0) node = {1.0, 0.0, 0.0}, nn = 1.0;
    for (double& c : node) c /= nn;
    const double lnode = wrap(std::atan2(node[1], node[0]));
    // Periapsis direction; the node for a circle.
    V3 peri = node;
    if (ecc > 0.0)
        for (int k = 0; k < 3; ++k) peri[k] = ev[k] / ecc;
    const double argp = ecc > 0.0 ? wrap(angle_about(node, peri, h)) : 0.0;
    V3 rhat;
    for (int k = 0; k < 3; ++k) rhat[k] = r[k] / rn;
    const double nu = angle_about(peri, rhat, h);
    double m0;
    if (ecc < 1.0) {
        const double ea = std::atan2(std::sqrt(1.0 - ecc * ecc) * std::sin(nu), ecc + std::cos(nu));
        m0 = wrap(ea - ecc * std::sin(ea));
    } else if (ecc > 1.0) {
        const double fa = std::asinh(std::sin(nu) * std::sqrt(ecc * ecc - 1.0) / (1.0 + ecc * std::cos(nu)));
        m0 = ecc * std::sinh(fa) - fa;
    } else {
        const double d = std::tan(0.5 * nu);
        m0 = d + d * d * d / 3.0;
    }
    return {rp, ecc, inc, lnode, argp, m0, et, mu};
}

}  // namespace kernwerk
