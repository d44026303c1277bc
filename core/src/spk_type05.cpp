#include "spk_type05.hpp"

#include <cmath>
#include <numbers>

#include "spk_types_common.hpp"

namespace kernwerk {

namespace {

// Stumpff functions c0..c3 of z; c2 and c3 from their series near 0, where
// the closed forms cancel.
void stumpff(double z, double c[4]) noexcept {
    if (std::fabs(z) < 1.0) {
        // c2 = sum (-z)^k / (2k+2)!, c3 = sum (-z)^k / (2k+3)!, k to 11.
        double t2 = 0.5, t3 = 1.0 / 6.0, s2 = t2, s3 = t3;
        for (int k = 1; k <= 11; ++k) {
            t2 = -t2 * z / ((2.0 * k + 1.0) * (2.0 * k + 2.0));
            t3 = -t3 * z / ((2.0 * k + 2.0) * (2.0 * k + 3.0));
            s2 = s2 + t2;
            s3 = s3 + t3;
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
        const double r = std::sqrt(-z);
        c[0] = std::cosh(r);
        c[1] = std::sinh(r) / r;
    }
    c[2] = (1.0 - c[0]) / z;
    c[3] = (1.0 - c[1]) / z;
}

struct Universal {
    double g1, g2, g3, r;  // s c1, s^2 c2, s^3 c3, and the distance (dt'(s))
    double time;           // the time the anomaly s stands for
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
    return u;
}

}  // namespace

State propagate_two_body(double gm, const State& s0, double dt) noexcept {
    const double r0 = std::sqrt(s0[0] * s0[0] + s0[1] * s0[1] + s0[2] * s0[2]);
    const double nu0 = s0[0] * s0[3] + s0[1] * s0[4] + s0[2] * s0[5];
    const double v2 = s0[3] * s0[3] + s0[4] * s0[4] + s0[5] * s0[5];
    const double beta = 2.0 * gm / r0 - v2;  // gm / a

    // Bracket the anomaly: time grows with s (its derivative is r > 0).
    double lo = 0.0, hi = 0.0;
    if (beta > 0.0) {
        const double period = 2.0 * std::numbers::pi * gm / (beta * std::sqrt(beta));
        dt = std::fmod(dt, period);
        const double span = 2.0 * std::numbers::pi / std::sqrt(beta);  // one period of anomaly
        if (dt >= 0.0)
            hi = span;
        else
            lo = -span;
    } else {
        double step = std::fabs(dt) / r0;
        if (!(step > 0.0) || !std::isfinite(step)) step = 1.0;
        for (int i = 0; i < 2100; ++i) {  // doubling reaches any finite bound
            const double s = dt >= 0.0 ? step : -step;
            const double t = universal(s, beta, r0, nu0, gm).time;
            if (dt >= 0.0 ? !(t < dt) : !(t > dt)) {
                (dt >= 0.0 ? hi : lo) = s;
                break;
            }
            (dt >= 0.0 ? lo : hi) = s;
            step = step * 2.0;
        }
    }

    // Newton steps from the middle, kept inside the bracket (bisection when
    // a step leaves it); the bracket shrinks every pass.
    double s = 0.5 * (lo + hi);
    Universal u = universal(s, beta, r0, nu0, gm);
    for (int i = 0; i < 200; ++i) {
        const double f = u.time - dt;
        if (f == 0.0) break;
        if (f < 0.0)
            lo = s;
        else
            hi = s;
        double next = s - f / u.r;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next == s || !(lo < hi)) break;
        s = next;
        u = universal(s, beta, r0, nu0, gm);
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
