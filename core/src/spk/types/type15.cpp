#include "spk/types/type15.hpp"

#include <cmath>
#include <numbers>

#include "base/common.hpp"
#include "spk/types/type05.hpp"
#include "spk/types/common.hpp"

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

    SpkType15 out{daf, r};
    const double p = r[7], ecc = r[8], j2flg = r[9], j2 = r[14], radius = r[15];
    const Vec tp = unit(r + 1), pa = unit(r + 4), pv = unit(r + 10);
    const double near = p / (1.0 + ecc);
    const double speed = std::sqrt(r[13] / p) * (1.0 + ecc);
    const Vec dir = cross(tp, pa);
    // A pole along the periapsis leaves no orbital plane: the direction of
    // motion would be the unit vector of a zero vector.
    if (!(norm(dir.data()) > 0.0)) return malformed(15, "trajectory pole parallel to the periapsis vector");
    const Vec across = unit(dir.data());
    out.epoch = r[0];
    out.gm = r[13];
    out.periapsis = {near * pa[0], near * pa[1], near * pa[2], speed * dir[0], speed * dir[1], speed * dir[2]};
    for (std::size_t i = 0; i < 3; ++i) {
        out.tp[i] = tp[i];
        out.pv[i] = pv[i];
        out.in_plane[0][i] = pa[i];
        out.in_plane[1][i] = across[i];
    }
    // As the toolkit does, the lines do not precess for a periapsis at or
    // below the body's surface (an impact or re-entry orbit): J2 describes
    // the field outside the body only.
    out.precess = j2flg != 3.0 && j2 != 0.0 && ecc < 1.0 && near > radius;
    if (out.precess) {
        const double oj2 = 1.0 - ecc * ecc;
        out.mean_motion = std::sqrt(r[13] / (p * p * p)) * oj2 * std::sqrt(oj2);
        const double ratio = radius / p;
        const double z = 1.5 * j2 * ratio * ratio;
        const double cosinc = dot(pv, tp);
        if (j2flg != 1.0) out.apsidal = z * (2.5 * cosinc * cosinc - 0.5);
        if (j2flg != 2.0) out.nodal = -z * cosinc;
        // Finite elements can still overflow here (J2 = 1e308): the rates
        // would turn every state into NaN.
        if (!std::isfinite(out.mean_motion) || !std::isfinite(out.apsidal) || !std::isfinite(out.nodal))
            return malformed(15, "J2 precession rates overflow (J2 " + format_double(j2) + ", radius " +
                                     format_double(radius) + ")");
    }
    if (!std::isfinite(out.periapsis[3]) || !std::isfinite(across[0]) || !std::isfinite(across[1]) ||
        !std::isfinite(across[2]))
        return malformed(15, "elements overflow");
    return out;
}

std::expected<State, SpkError> SpkType15::evaluate(double et) const {
    const double dt = et - epoch;
    State s = propagate_two_body(gm, periapsis, dt);
    if (!precess) return s;
    // The lines turn with the true anomaly swept since periapsis, whole
    // revolutions included: the mean anomaly less its nearest multiple of
    // 2 pi lies in -pi..pi as does the true anomaly of the position, with
    // the same sign but where rounding puts them on either side of pi.
    constexpr double two_pi = 2.0 * std::numbers::pi;
    const double m = mean_motion * dt;
    const double revs = std::round(m / two_pi);
    const double reduced = m - revs * two_pi;
    const Vec pos{s[0], s[1], s[2]};
    const Vec x{in_plane[0][0], in_plane[0][1], in_plane[0][2]}, y{in_plane[1][0], in_plane[1][1], in_plane[1][2]};
    double nu = std::atan2(dot(pos, y), dot(pos, x));
    if (reduced > 0.5 * std::numbers::pi && nu < 0.0)
        nu = nu + two_pi;
    else if (reduced < -0.5 * std::numbers::pi && nu > 0.0)
        nu = nu - two_pi;
    const double anomaly = nu + revs * two_pi;
    if (apsidal != 0.0) rotate_state(s, {tp[0], tp[1], tp[2]}, apsidal * anomaly);
    if (nodal != 0.0) rotate_state(s, {pv[0], pv[1], pv[2]}, nodal * anomaly);
    return s;
}

}  // namespace kernwerk
