#include "spk/types/type05.hpp"

#include <array>
#include <cmath>
#include <numbers>

#include "spk/types/common.hpp"

namespace kernwerk {

namespace {

// 1/n! for n up to 21.
constexpr auto kInverseFactorials = [] {
    std::array<double, 22> out{};
    double f = 1.0;
    out[0] = 1.0;
    for (std::size_t n = 1; n < out.size(); ++n) {
        f = f * static_cast<double>(n);
        out[n] = 1.0 / f;
    }
    return out;
}();

// Stumpff functions c0..c3 of z; c2 and c3 from their series near 0, where
// the closed forms cancel.
void stumpff(double z, double c[4]) noexcept {
    if (std::fabs(z) < 1.0) {
        // c2 = sum (-z)^k / (2k+2)!, c3 = sum (-z)^k / (2k+3)!, k to 9 (the
        // next terms are below 2^-60 of the first), by Horner's rule.
        const double y = -z;
        double s2 = kInverseFactorials[20], s3 = kInverseFactorials[21];
        for (std::size_t k = 9; k-- > 0;) {
            s2 = s2 * y + kInverseFactorials[2 * k + 2];
            s3 = s3 * y + kInverseFactorials[2 * k + 3];
        }
        c[2] = s2;
        c[3] = s3;
        c[0] = 1.0 - z * s2;
        c[1] = 1.0 - z * s3;
        return;
    }
    if (z > 0.0) {
        const double r = std::sqrt(z);
        c[0] = std::cos(r);
        c[1] = std::sin(r) / r;
    } else {
        // cosh and sinh from one exponential; r > 1, so e - 1/e does not
        // cancel.
        const double r = std::sqrt(-z);
        const double e = std::exp(r), inv = 1.0 / e;
        c[0] = 0.5 * (e + inv);
        c[1] = 0.5 * (e - inv) / r;
    }
    c[2] = (1.0 - c[0]) / z;
    c[3] = (1.0 - c[1]) / z;
}

struct Universal {
    double g1, g2, g3, r;  // s c1, s^2 c2, s^3 c3, and the distance (dt'(s))
    double time;           // the time the anomaly s stands for
    double dr;             // r'(s) = (gm - beta r0) g1 + nu0 c0
};

Universal universal(double s, double beta, double r0, double nu0, double gm) noexcept {
    double c[4];
    stumpff(beta * s * s, c);
    Universal u;
    u.g1 = s * c[1];
    u.g2 = s * s * c[2];
    u.g3 = s * s * s * c[3];
    u.r = r0 * c[0] + nu0 * u.g1 + gm * u.g2;
    u.time = r0 * u.g1 + nu0 * u.g2 + gm * u.g3;
    u.dr = (gm - beta * r0) * u.g1 + nu0 * c[0];
    return u;
}

// The anomaly from the series of time in s, dt = r0 s + nu0 s^2 / 2 +
// (gm - beta r0) s^3 / 6 + ..., inverted to third order in tau = dt / r0:
// s = tau - A tau^2 + (2 A^2 - B) tau^3, A = nu0 / (2 r0), B = (gm - beta r0)
// / (6 r0).
double series_guess(double dt, double r0, double nu0, double beta, double gm) noexcept {
    const double tau = dt / r0;
    const double a = nu0 / (2.0 * r0), b = (gm - beta * r0) / (6.0 * r0);
    return tau * (1.0 + tau * (-a + tau * (2.0 * a * a - b)));
}

}  // namespace

State propagate_two_body(double gm, const State& s0, double dt) noexcept {
    const double r0 = std::sqrt(s0[0] * s0[0] + s0[1] * s0[1] + s0[2] * s0[2]);
    const double nu0 = s0[0] * s0[3] + s0[1] * s0[4] + s0[2] * s0[5];
    const double v2 = s0[3] * s0[3] + s0[4] * s0[4] + s0[5] * s0[5];
    const double beta = 2.0 * gm / r0 - v2;  // gm / a

    // Bracket the anomaly (time grows with s: its derivative is r > 0) and
    // pick a first guess inside the bracket.
    double lo = 0.0, hi = 0.0, s = 0.0;
    if (beta > 0.0) {
        const double period = 2.0 * std::numbers::pi * gm / (beta * std::sqrt(beta));
        if (std::fabs(dt) >= period) dt = std::fmod(dt, period);
        const double span = 2.0 * std::numbers::pi / std::sqrt(beta);  // one period of anomaly
        if (dt >= 0.0)
            hi = span;
        else
            lo = -span;
        // Within an eighth of a period, the series of time in s inverted;
        // beyond, the change of eccentric anomaly taken as the change of
        // mean anomaly, n dt, as on a circle: s = n dt / sqrt(beta) = beta dt
        // / gm.
        s = std::fabs(dt) < 0.125 * period ? series_guess(dt, r0, nu0, beta, gm) : beta * dt / gm;
        if (!(s > lo && s < hi)) s = 0.5 * (lo + hi);
    } else {
        double step = std::fabs(dt) / r0;
        if (!(step > 0.0) || !std::isfinite(step)) step = 1.0;
        for (int i = 0; i < 2100; ++i) {  // doubling reaches any finite bound
            s = dt >= 0.0 ? step : -step;
            const double t = universal(s, beta, r0, nu0, gm).time;
            if (dt >= 0.0 ? !(t < dt) : !(t > dt)) {
                (dt >= 0.0 ? hi : lo) = s;
                break;
            }
            (dt >= 0.0 ? lo : hi) = s;
            step = step * 2.0;
        }
        // On a hyperbola time grows exponentially with s and the bracket is
        // loose: far from the start the first guess is the universal anomaly
        // of the hyperbolic Kepler equation with its sinh taken as half its
        // exponential, chi = sign(dt) sqrt(-a) ln(-2 gm dt / a / (nu0 +
        // sign(dt) sqrt(-gm a) (1 - r0 / a))), s = chi / sqrt(gm), a = gm /
        // beta.
        // Near the start (z = beta s^2 small) the series is the better
        // guess.
        double guess = series_guess(dt, r0, nu0, beta, gm);
        if (beta < 0.0 && !(-beta * guess * guess < 0.25)) {
            const double a = gm / beta, sign = dt >= 0.0 ? 1.0 : -1.0;
            const double den = nu0 + sign * std::sqrt(-gm * a) * (1.0 - r0 / a);
            guess = sign * std::sqrt(-a / gm) * std::log(-2.0 * gm * dt / (a * den));
        }
        s = guess >= lo && guess <= hi ? guess : 0.5 * (lo + hi);  // the middle for NaN
    }

    // Laguerre steps kept inside the bracket (bisection when a step leaves
    // it); the bracket shrinks every pass. A step is the last when the error
    // it leaves is below 2^-54 of s: Laguerre's steps converge as the cube,
    // the error at most about ((r'/r)^2 + |r''| / (3 r)) times the cube of
    // the step, r'' = gm - beta r.
    Universal u = universal(s, beta, r0, nu0, gm);
    for (int i = 0; i < 200; ++i) {
        const double f = u.time - dt;
        if (f == 0.0) break;
        if (f < 0.0)
            lo = s;
        else
            hi = s;
        // Laguerre's step of order 5 (Conway's form for Kepler's equation),
        // which reaches the root from far guesses where Newton's overshoots
        // at an inflection; near the root it is Newton's step.
        const double disc = std::fabs(16.0 * u.r * u.r - 20.0 * f * u.dr);
        double next = s - 5.0 * f / (u.r + std::sqrt(disc));
        if (next == s) break;  // a step below half an ulp of s: converged
        const bool newton = next > lo && next < hi;
        if (!newton) next = 0.5 * (lo + hi);
        if (next == s || !(lo < hi)) break;
        const double step = next - s;
        const double q = u.dr / u.r;
        const double k3 = q * q + std::fabs(gm - beta * u.r) / (3.0 * u.r);
        const bool last = newton && k3 * std::fabs(step * step * step) <= 0x1p-54 * std::fabs(next);
        s = next;
        u = universal(s, beta, r0, nu0, gm);
        if (last) break;
    }

    const double f = 1.0 - gm * u.g2 / r0;
    const double g = r0 * u.g1 + nu0 * u.g2;
    const double fdot = -gm * u.g1 / (u.r * r0);
    const double gdot = 1.0 - gm * u.g2 / u.r;
    State out;
    for (int k = 0; k < 3; ++k) {
        out[k] = f * s0[k] + g * s0[k + 3];
        out[k + 3] = fdot * s0[k] + gdot * s0[k + 3];
    }
    return out;
}

std::expected<SpkType5, SpkError> SpkType5::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto seg = spk_types::segment_view(daf, begin, end, 5);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size < 2) return spk_types::malformed(5, "segment shorter than its trailer");
    std::uint64_t n = 0;
    if (!spk_types::stored_count(seg->back(0), 1, seg->size, n))
        return spk_types::malformed(5, "N outside 1..segment length");
    if (7 * n + 2 > seg->size || !spk_types::directory_fits(seg->size - 7 * n - 2, n))
        return spk_types::malformed(5, "segment length does not match N states");
    const double gm = seg->back(1);
    if (!(gm > 0.0) || !std::isfinite(gm)) return spk_types::malformed(5, "GM not positive");
    const double* epochs = seg->data + 6 * n;
    if (!spk_types::sorted_epochs(epochs, n, true)) return spk_types::malformed(5, "epochs not strictly increasing");
    // Every state starts a conic: a zero position divides by zero, and a
    // distance or speed whose square overflows turns into NaN.
    for (std::uint64_t i = 0; i < n; ++i) {
        const double* s = seg->data + 6 * i;
        const double r2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        const double v2 = s[3] * s[3] + s[4] * s[4] + s[5] * s[5];
        if (!(r2 > 0.0))
            return spk_types::malformed(5, "state " + std::to_string(i) + " has a zero or non-finite position");
        if (!std::isfinite(r2) || !std::isfinite(v2) || !std::isfinite(2.0 * gm / std::sqrt(r2)))
            return spk_types::malformed(5, "state " + std::to_string(i) + " is too large to propagate");
    }
    return SpkType5{daf, seg->data, epochs, n, gm};
}

std::expected<State, SpkError> SpkType5::evaluate(double et) const {
    const std::uint64_t k = spk_types::first_after(epochs, n, et);
    State s1, s2;
    if (k == 0 || k == n) {
        const std::uint64_t i = k == 0 ? 0 : n - 1;
        for (int c = 0; c < 6; ++c) s1[c] = states[6 * i + c];
        return propagate_two_body(gm, s1, et - epochs[i]);
    }
    const double t1 = epochs[k - 1], t2 = epochs[k];
    for (int c = 0; c < 6; ++c) {
        s1[c] = states[6 * (k - 1) + c];
        s2[c] = states[6 * k + c];
    }
    const double dt1 = et - t1;
    const State p1 = propagate_two_body(gm, s1, dt1);
    const State p2 = propagate_two_body(gm, s2, et - t2);
    const double rate = std::numbers::pi / (t2 - t1);
    const double arg = dt1 * rate;
    const double w = 0.5 + 0.5 * std::cos(arg);
    const double dwdt = -0.5 * rate * std::sin(arg);
    State out;
    for (int c = 0; c < 3; ++c) {
        out[c] = w * p1[c] + (1.0 - w) * p2[c];
        out[c + 3] = w * p1[c + 3] + (1.0 - w) * p2[c + 3] + dwdt * (p1[c] - p2[c]);
    }
    return out;
}

}  // namespace kernwerk
