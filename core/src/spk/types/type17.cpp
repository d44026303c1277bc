#include "spk/types/type17.hpp"

#include <cmath>
#include <numbers>

#include "spk/types/common.hpp"

namespace kernwerk {

namespace {

// The eccentric longitude F with F + h cos F - k sin F = ml, e^2 = h^2 + k^2
// < 1, and its sine and cosine. The left side grows with F (slope g' >=
// 1 - e, curvature |g''| <= e), so the root lies within e of ml. Halley's
// steps from the first-order root are kept inside that bracket (bisection
// otherwise); a step is the last when the error it leaves, at most
// (e^2 / (4 (1 - e)^2) + e / (6 (1 - e))) times its cube, is below the
// doubles, and the sine and cosine at its end then follow from those at its
// start by the angle-sum formulas with the step's short Taylor series.
struct Longitude {
    double f, sf, cf;
};

Longitude eccentric_longitude(double ml, double h, double k) noexcept {
    const double e = std::sqrt(h * h + k * k);
    const double cubic = e * e / (4.0 * (1.0 - e) * (1.0 - e)) + e / (6.0 * (1.0 - e));
    double lo = ml - e, hi = ml + e, f = ml - h * std::cos(ml) + k * std::sin(ml);
    if (!(f > lo && f < hi)) f = ml;
    double sf = std::sin(f), cf = std::cos(f);
    for (int i = 0; i < 100; ++i) {
        const double g = f + h * cf - k * sf - ml;
        if (g == 0.0) break;
        if (g < 0.0)
            lo = f;
        else
            hi = f;
        const double d1 = 1.0 - h * sf - k * cf, d2 = k * sf - h * cf;
        double next = f - g / (d1 - 0.5 * g * d2 / d1);
        if (next == f) break;  // converged
        const bool halley = next > lo && next < hi;
        if (!halley) next = 0.5 * (lo + hi);
        if (next == f) break;
        const double step = next - f;
        if (halley && std::fabs(step) < 0x1p-12 && cubic * std::fabs(step * step * step) <= 0x1p-54) {
            // sin and cos of the step to beyond double precision (|step| < 2^-12).
            const double s2 = step * step;
            const double cs = 1.0 - s2 * (0.5 - s2 / 24.0), ss = step * (1.0 - s2 / 6.0);
            const double next_sf = sf * cs + cf * ss, next_cf = cf * cs - sf * ss;
            return {next, next_sf, next_cf};
        }
        f = next;
        sf = std::sin(f);
        cf = std::cos(f);
    }
    return {f, sf, cf};
}

}  // namespace

std::expected<SpkType17, SpkError> SpkType17::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    using spk_types::malformed;
    auto seg = spk_types::segment_view(daf, begin, end, 17);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size != 12) return malformed(17, "segment length is not 12");
    const double* r = seg->data;
    for (std::size_t i = 0; i < 12; ++i)
        if (!std::isfinite(r[i])) return malformed(17, "non-finite element");
    if (!(r[1] > 0.0)) return malformed(17, "semi-major axis not positive");
    if (!(r[2] * r[2] + r[3] * r[3] < 1.0)) return malformed(17, "eccentricity not below 1");
    // Columns: the frame's x axis (-sin RA, cos RA, 0), y axis, pole.
    SpkType17 out{daf, r};
    const double sa = std::sin(r[10]), ca = std::cos(r[10]), sd = std::sin(r[11]), cd = std::cos(r[11]);
    const double m[3][3] = {{-sa, -ca * sd, ca * cd}, {ca, -sa * sd, sa * cd}, {0.0, cd, sd}};
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) out.pole[i][j] = m[i][j];
    return out;
}

std::expected<State, SpkError> SpkType17::evaluate(double et) const {
    const double* r = record;
    const double dt = et - r[0];
    const double a = r[1];
    const double dlp = r[7], dml = r[8], dnode = r[9];

    // The turned elements and their rates.
    const double t1 = dlp * dt, t2 = dnode * dt;
    const double c1 = std::cos(t1), s1 = std::sin(t1), c2 = std::cos(t2), s2 = std::sin(t2);
    const double h = r[2] * c1 + r[3] * s1, k = r[3] * c1 - r[2] * s1;
    const double p = r[5] * c2 + r[6] * s2, q = r[6] * c2 - r[5] * s2;
    const double hd = dlp * k, kd = -dlp * h, pd = dnode * q, qd = -dnode * p;
    const double ml = std::fmod(r[4] + dml * dt, 2.0 * std::numbers::pi);

    const auto [f, sf, cf] = eccentric_longitude(ml, h, k);
    const double b = 1.0 / (1.0 + std::sqrt(1.0 - h * h - k * k));
    const double fd = (dml - cf * hd + sf * kd) / (1.0 - h * sf - k * cf);
    const double hkb = h * k * b;
    const double x1 = a * ((1.0 - h * h * b) * cf + hkb * sf - k);
    const double y1 = a * ((1.0 - k * k * b) * sf + hkb * cf - h);
    const double hkbd = (hd * k + h * kd) * b;
    const double x1d = a * (-2.0 * h * hd * b * cf - (1.0 - h * h * b) * sf * fd + hkbd * sf + hkb * cf * fd - kd);
    const double y1d = a * (-2.0 * k * kd * b * sf + (1.0 - k * k * b) * cf * fd + hkbd * cf - hkb * sf * fd - hd);

    const double d = 1.0 / (1.0 + p * p + q * q);
    const double fv[3] = {(1.0 - p * p + q * q) * d, 2.0 * p * q * d, -2.0 * p * d};
    const double gv[3] = {2.0 * p * q * d, (1.0 + p * p - q * q) * d, 2.0 * q * d};
    const double fdv[3] = {(-2.0 * p * pd + 2.0 * q * qd) * d, 2.0 * (pd * q + p * qd) * d, -2.0 * pd * d};
    const double gdv[3] = {2.0 * (pd * q + p * qd) * d, (2.0 * p * pd - 2.0 * q * qd) * d, 2.0 * qd * d};
    double pos[3], vel[3];
    for (int i = 0; i < 3; ++i) {
        pos[i] = x1 * fv[i] + y1 * gv[i];
        vel[i] = x1d * fv[i] + x1 * fdv[i] + y1d * gv[i] + y1 * gdv[i];
    }

    const auto& m = pole;
    State out;
    for (int i = 0; i < 3; ++i) {
        out[i] = m[i][0] * pos[0] + m[i][1] * pos[1] + m[i][2] * pos[2];
        out[i + 3] = m[i][0] * vel[0] + m[i][1] * vel[1] + m[i][2] * vel[2];
    }
    return out;
}

}  // namespace kernwerk
