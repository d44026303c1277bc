#include "geometry/limb.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace kernwerk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Epochs per block: the apparent positions of a block are computed as one
// batch into scratch arrays, then the cuts of each epoch from them.
constexpr std::size_t kBlock = 2048;

Vec3 scaled(const Vec3& v, const Triaxial& e) noexcept { return {v[0] / e.a, v[1] / e.b, v[2] / e.c}; }
Vec3 cross(const Vec3& u, const Vec3& v) noexcept {
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

// Unit vectors e1 along `axis` and e2 in the half-plane of `toward`,
// perpendicular to e1; false when `toward` has no component off the axis.
bool half_plane(const Vec3& axis, const Vec3& toward, Vec3& e1, Vec3& e2) noexcept {
    const double n = norm(axis);
    if (!(n > 0.0)) return false;
    e1 = Vec3{axis[0] / n, axis[1] / n, axis[2] / n};
    const double along = dot(toward, e1);
    const Vec3 q{toward[0] - along * e1[0], toward[1] - along * e1[1], toward[2] - along * e1[2]};
    const double m = norm(q);
    if (!(m > 0.0)) return false;
    e2 = Vec3{q[0] / m, q[1] / m, q[2] / m};
    return true;
}

std::string body_label(std::int32_t code) { return "body " + std::to_string(code); }

}  // namespace

bool limb_point(const Triaxial& e, const Vec3& observer, const Vec3& toward, Vec3& out) noexcept {
    // Scaling maps the half-plane onto the half-plane of the scaled vectors.
    Vec3 e1, e2;
    if (!half_plane(scaled(observer, e), scaled(toward, e), e1, e2)) return false;
    const double d = norm(scaled(observer, e));
    if (!(d > 1.0)) return false;
    const double k = 1.0 / d;
    const double h = std::sqrt((1.0 - k) * (1.0 + k));
    out = Vec3{(k * e1[0] + h * e2[0]) * e.a, (k * e1[1] + h * e2[1]) * e.b, (k * e1[2] + h * e2[2]) * e.c};
    return true;
}

namespace {

// The bracketed form of the terminator condition, for the rare cut where the
// fixed-point steps of terminator_point do not settle: the height of the
// source's edge above the tangent plane along the half-ellipse of the cut,
// positive facing the source and negative opposite, by Illinois steps.
bool terminator_bracketed(const Triaxial& e, const Vec3& source, double shift, const Vec3& e1, const Vec3& e2,
                          Vec3& out) noexcept {
    const auto point = [&](double t) {
        const double c = std::cos(t), s = std::sin(t);
        const Vec3 d{c * e1[0] + s * e2[0], c * e1[1] + s * e2[1], c * e1[2] + s * e2[2]};
        const double rho = 1.0 / norm(scaled(d, e));
        return Vec3{rho * d[0], rho * d[1], rho * d[2]};
    };
    const auto f = [&](double t) {
        const Vec3 x = point(t);
        const Vec3 n = surface_normal(e, x);
        return dot(n, Vec3{source[0] - x[0], source[1] - x[1], source[2] - x[2]}) + shift;
    };
    double lo = 0.0, hi = std::numbers::pi, flo = f(lo), fhi = f(hi);
    if (!(flo > 0.0 && fhi < 0.0)) return false;
    int kept = 0;
    double t = lo;
    for (int it = 0; it < 200; ++it) {
        t = (lo * fhi - hi * flo) / (fhi - flo);
        if (!(t > lo && t < hi)) t = 0.5 * (lo + hi);
        if (!(t > lo && t < hi)) break;
        const double ft = f(t);
        if (ft == 0.0) break;
        if (ft > 0.0) {
            lo = t;
            flo = ft;
            if (kept == -1) fhi *= 0.5;
            kept = -1;
        } else {
            hi = t;
            fhi = ft;
            if (kept == 1) flo *= 0.5;
            kept = 1;
        }
        t = std::fabs(flo) < std::fabs(fhi) ? lo : hi;
    }
    out = point(t);
    return true;
}

}  // namespace

bool terminator_point(const Triaxial& e, const Vec3& source, double radius, bool umbral, const Vec3& toward,
                      Vec3& out) noexcept {
    // In the scaled coordinates the cut is a half great circle,
    // u = cos t f1 + sin t f2 with f1 toward the scaled source S' (|S'| = A)
    // and f2 toward the cut; x = D u, the normal along D^-1 u. The condition
    // n . (S - x) = -shift reads
    //   A cos t - 1 = -shift |D^-1 u(t)|,
    // whose right side turns slowly with t (by the body's flattening times
    // the source's angular size), so that t = acos((1 - shift |D^-1 u|) / A)
    // settles in a few fixed-point steps from the point source's t.
    Vec3 f1, f2;
    const Vec3 sp = scaled(source, e);
    if (!half_plane(sp, scaled(toward, e), f1, f2)) return false;
    const double A = norm(sp);
    const double shift = umbral ? radius : -radius;
    if (!(A > 1.0) || !std::isfinite(A)) return false;
    const Vec3 g1 = scaled(f1, e), g2 = scaled(f2, e);  // D^-1 f1, D^-1 f2
    const auto height = [&](double t) {
        const double c = std::cos(t), s = std::sin(t);
        return norm(Vec3{c * g1[0] + s * g2[0], c * g1[1] + s * g2[1], c * g1[2] + s * g2[2]});
    };
    double t = std::acos(1.0 / A);
    bool settled = false;
    for (int it = 0; it < 40; ++it) {
        const double arg = (1.0 - shift * height(t)) / A;
        if (!(arg > -1.0 && arg < 1.0)) break;
        const double next = std::acos(arg);
        const bool done = std::fabs(next - t) <= 4.0 * std::numeric_limits<double>::epsilon() * t;
        t = next;
        if (done) {
            settled = true;
            break;
        }
    }
    if (!settled) {
        Vec3 e1, e2;
        if (!half_plane(source, toward, e1, e2)) return false;
        return terminator_bracketed(e, source, shift, e1, e2, out);
    }
    const double c = std::cos(t), s = std::sin(t);
    out = Vec3{(c * f1[0] + s * f2[0]) * e.a, (c * f1[1] + s * f2[1]) * e.b, (c * f1[2] + s * f2[2]) * e.c};
    return true;
}

std::expected<void, BatchFailure> curve_batch(const KernelSnapshot& snap, const CurveQuery& q, EpochView ets,
                                              double* points, double* epochs, double* tangents, unsigned threads) {
    const bool limb = q.kind == CurveKind::Limb;
    const std::string label =
        std::string(limb ? "limb points" : (q.kind == CurveKind::Umbral ? "umbral" : "penumbral")) +
        (limb ? "" : " terminator points") + " of " + body_label(q.target.body) +
        (limb ? "" : " lit by " + body_label(q.source)) + " seen from " + body_label(q.observer) + " (" +
        correction_name(q.correction) + ")";
    const auto fail = [&](std::size_t i, KernelSetError::Kind kind, const std::string& msg) {
        return std::unexpected(BatchFailure{i, KernelSetError(kind, label + ": " + msg)});
    };
    const auto wrap = [&](const KernelSetError& e) {
        return KernelSetError(e.kind(), label + ": " + e.message(), e.os_errno(), e.path());
    };
    using Kind = KernelSetError::Kind;
    const CorrectionFlags fl = correction_flags(q.correction);
    if (!limb && fl.transmission)
        return fail(0, Kind::Value, "terminator points take reception corrections only (NONE, LT, LT+S, CN, CN+S)");
    // Terminators do not depend on where the observer is (a lander on the
    // surface may ask for them), but it must be another body.
    if (!limb && q.observer == q.target.body)
        return fail(0, Kind::Value, "the observer is the target body itself");
    if (q.cuts == 0) return fail(0, Kind::Value, "the number of cuts must be at least 1");
    if (!std::isfinite(q.roll_step))
        return fail(0, Kind::Value, "the roll step must be finite, not " + format_double(q.roll_step));
    const Vec3& ref = q.reference;
    if (!std::isfinite(ref[0]) || !std::isfinite(ref[1]) || !std::isfinite(ref[2]) || norm(ref) == 0.0)
        return fail(0, Kind::Value,
                    "the reference vector must be finite and non-zero, not [" + format_double(ref[0]) + ", " +
                        format_double(ref[1]) + ", " + format_double(ref[2]) + "]");
    if (!limb && !(q.source_radius >= 0.0 && std::isfinite(q.source_radius)))
        return fail(0, Kind::Value,
                    "the source's radius must be finite and not negative, not " + format_double(q.source_radius));
    auto path = plan_body_frame(snap, q.target, label);
    if (!path) return std::unexpected(BatchFailure{0, std::move(path.error())});
    const FramePath fixed = std::move(*path);
    const PckOrientationSource* pck = &snap.pck_orientation();

    // The roll of each cut, once per batch.
    std::vector<double> roll(2 * q.cuts);
    for (std::size_t k = 0; k < q.cuts; ++k) {
        const double a = static_cast<double>(k) * q.roll_step;
        roll[2 * k] = std::cos(a);
        roll[2 * k + 1] = std::sin(a);
    }
    const double sigma = fl.transmission ? 1.0 : -1.0;
    const std::size_t block = std::min(kBlock, ets.size);
    // Positions only (apparent_positions_batch): the cuts need no velocity.
    std::vector<double> scratch(block * (limb ? 5 : 8));
    double* pos = scratch.data();       // 3 per epoch: the centre seen from the observer
    double* lts = pos + 3 * block;      // its light time
    double* when = lts + block;         // the target epoch
    double* src = when + block;         // 3 per epoch: the source seen from the centre (terminators)
    const Endpoint target = Endpoint::of_body(q.target.body);
    const std::size_t cuts = q.cuts;
    for (std::size_t b0 = 0; b0 < ets.size; b0 += block) {
        const std::size_t m = std::min(block, ets.size - b0);
        const EpochView view{ets.data + static_cast<std::ptrdiff_t>(b0) * ets.stride, ets.stride, m};
        if (auto r = apparent_positions_batch(snap, target, Endpoint::of_body(q.observer), q.correction, view, pos,
                                              lts, threads);
            !r)
            return std::unexpected(BatchFailure{b0 + r.error().index, wrap(r.error().error)});
        for (std::size_t i = 0; i < m; ++i) when[i] = fl.light_time ? view[i] + sigma * lts[i] : view[i];
        if (!limb)
            if (auto r = apparent_positions_batch(snap, Endpoint::of_body(q.source), target, q.correction,
                                                  EpochView{when, 1, m}, src, nullptr, threads);
                !r)
                return std::unexpected(BatchFailure{b0 + r.error().index, wrap(r.error().error)});
        auto r = run_batch(m, threads,
                           [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>&)
                               -> std::optional<BatchFailure> {
                               RotationRate rr{};
                               std::optional<FrameError> err;
                               for (std::size_t i = b; i < e; ++i) {
                                   if (!evaluate_path(fixed, pck, when[i], false, rr, err))
                                       return BatchFailure{i, wrap(KernelSnapshot::frame_error(*err))};
                                   const Mat3& R = rr.r;
                                   const double* p = pos + 3 * i;
                                   Vec3 obs;
                                   for (int c = 0; c < 3; ++c)
                                       obs[c] = -(R[c][0] * p[0] + R[c][1] * p[1] + R[c][2] * p[2]);
                                   if (limb && q.target.shape.level(obs) < 1.0)
                                       return BatchFailure{
                                           i, KernelSetError(Kind::Value, label + ": the observer, " +
                                                                              body_label(q.observer) +
                                                                              ", is inside the ellipsoid of " +
                                                                              body_label(q.target.body))};
                                   Vec3 axis = obs;
                                   if (!limb) {
                                       const double* s = src + 3 * i;
                                       for (int c = 0; c < 3; ++c)
                                           axis[c] = R[c][0] * s[0] + R[c][1] * s[1] + R[c][2] * s[2];
                                   }
                                   // The reference vector off the axis, and its turn by 90 degrees.
                                   Vec3 u1, u2;
                                   if (!half_plane(axis, ref, u1, u2))
                                       return BatchFailure{
                                           i, KernelSetError(Kind::Value,
                                                             label + ": the reference vector [" +
                                                                 format_double(ref[0]) + ", " +
                                                                 format_double(ref[1]) + ", " +
                                                                 format_double(ref[2]) + "] is along the axis of " +
                                                                 "the cuts (toward the " +
                                                                 (limb ? "observer" : "source") + ")")};
                                   const Vec3 u3 = cross(u1, u2);
                                   const std::size_t row = (b0 + i) * cuts;
                                   for (std::size_t k = 0; k < cuts; ++k) {
                                       const double c = roll[2 * k], s = roll[2 * k + 1];
                                       const Vec3 w{c * u2[0] + s * u3[0], c * u2[1] + s * u3[1],
                                                    c * u2[2] + s * u3[2]};
                                       Vec3 x;
                                       const bool ok =
                                           limb ? limb_point(q.target.shape, obs, w, x)
                                                : terminator_point(q.target.shape, axis, q.source_radius,
                                                                   q.kind == CurveKind::Umbral, w, x);
                                       double* pt = points + 3 * (row + k);
                                       double* tg = tangents + 3 * (row + k);
                                       if (!ok) {
                                           for (int j = 0; j < 3; ++j) pt[j] = tg[j] = kNaN;
                                           epochs[row + k] = kNaN;
                                           continue;
                                       }
                                       for (int j = 0; j < 3; ++j) {
                                           pt[j] = x[j];
                                           tg[j] = x[j] - obs[j];
                                       }
                                       epochs[row + k] = when[i];
                                   }
                               }
                               return std::nullopt;
                           });
        if (!r) return std::unexpected(BatchFailure{b0 + r.error().index, std::move(r.error().error)});
    }
    return {};
}

}  // namespace kernwerk
