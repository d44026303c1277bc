#include "spk_type15.hpp"

#include <cmath>
#include <numbers>

#include "spk_type05.hpp"
#include "spk_types_common.hpp"

namespace kernwerk {

namespace {

using Vec = std::array<double, 3>;

double norm(const double* v) noexcept { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

Vec unit(const double* v) noexcept {
    const double r = norm(v);
    return {v[0] / r, v[1] / r, v[2] / r};
}

Vec cross(const Vec& a, const Vec& b) noexcept {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const Vec& a, const Vec& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// v turned by `angle` about the unit axis a (right-handed).
Vec rotate(const Vec& v, const Vec& a, double angle) noexcept {
    const double c = std::cos(angle), s = std::sin(angle);
    const Vec axv = cross(a, v);
    const double along = dot(a, v) * (1.0 - c);
    return {v[0] * c + axv[0] * s + a[0] * along, v[1] * c + axv[1] * s + a[1] * along,
            v[2] * c + axv[2] * s + a[2] * along};
}

void rotate_state(State& s, const Vec& axis, double angle) noexcept {
    const Vec p = rotate({s[0], s[1], s[2]}, axis, angle);
    const Vec v = rotate({s[3], s[4], s[5]}, axis, angle);
    s = {p[0], p[1], p[2], v[0], v[1], v[2]};
}

// The true anomaly in -pi..pi of mean anomaly m in -pi..pi, 0 <= e < 1:
// E - e sin E = m by Newton steps kept within e of m, then
// tan(nu / 2) = sqrt((1 + e) / (1 - e)) tan(E / 2).
double true_anomaly(double m, double e) noexcept {
    double lo = m - e, hi = m + e, big_e = m;
    for (int i = 0; i < 100; ++i) {
        const double g = big_e - e * std::sin(big_e) - m;
        if (g == 0.0) break;
        if (g < 0.0)
            lo = big_e;
        else
            hi = big_e;
        double next = big_e - g / (1.0 - e * std::cos(big_e));
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next == big_e) break;
        big_e = next;
    }
    return 2.0 * std::atan2(std::sqrt(1.0 + e) * std::sin(big_e / 2.0), std::sqrt(1.0 - e) * std::cos(big_e / 2.0));
}

}  // namespace

std::expected<SpkType15, SpkError> SpkType15::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    using spk_types::malformed;
    auto seg = spk_types::segment_view(daf, begin, end, 15);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size != 16) return malformed(15, "segment length is not 16");
    const double* r = seg->data;
    for (std::size_t i = 0; i < 16; ++i)
        if (!std::isfinite(r[i])) return malformed(15, "non-finite element");
    if (!(norm(r + 1) > 0.0) || !(norm(r + 4) > 0.0) || !(norm(r + 10) > 0.0))
        return malformed(15, "zero pole or periapsis vector");
    if (!(r[7] > 0.0)) return malformed(15, "semi-latus rectum not positive");
    if (!(r[8] >= 0.0)) return malformed(15, "negative eccentricity");
    if (!(r[13] > 0.0)) return malformed(15, "GM not positive");
    return SpkType15{daf, r};
}

std::expected<State, SpkError> SpkType15::evaluate(double et) const {
    const double* r = record;
    const double epoch = r[0], p = r[7], ecc = r[8], j2flg = r[9], gm = r[13], j2 = r[14], radius = r[15];
    const Vec tp = unit(r + 1), pa = unit(r + 4), pv = unit(r + 10);

    const double near = p / (1.0 + ecc);
    const double speed = std::sqrt(gm / p) * (1.0 + ecc);
    const Vec dir = cross(tp, pa);
    const State peri{near * pa[0], near * pa[1], near * pa[2], speed * dir[0], speed * dir[1], speed * dir[2]};
    const double dt = et - epoch;
    State s = propagate_two_body(gm, peri, dt);

    if (j2flg == 3.0 || j2 == 0.0 || !(ecc < 1.0)) return s;
    // The lines turn with the true anomaly swept since periapsis, whole
    // revolutions included: the mean anomaly, less its nearest multiple of
    // 2 pi, through Kepler's equation to the true anomaly.
    const double oj2 = 1.0 - ecc * ecc;
    const double mean_motion = std::sqrt(gm / (p * p * p)) * oj2 * std::sqrt(oj2);
    const double two_pi = 2.0 * std::numbers::pi;
    const double m = mean_motion * dt;
    const double revs = std::round(m / two_pi);
    const double anomaly = true_anomaly(m - revs * two_pi, ecc) + revs * two_pi;
    const double ratio = radius / p;
    const double z = 1.5 * j2 * ratio * ratio * anomaly;
    const double cosinc = dot(pv, tp);
    if (j2flg != 1.0) rotate_state(s, tp, z * (2.5 * cosinc * cosinc - 0.5));
    if (j2flg != 2.0) rotate_state(s, pv, -z * cosinc);
    return s;
}

}  // namespace kernwerk
