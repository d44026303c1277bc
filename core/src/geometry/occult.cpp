#include "geometry/occult.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace kernwerk {

namespace {

// Samples of an outline's angle before the extreme is refined: the squared
// distance from the axis is a trigonometric polynomial of degree 2 in the
// angle (at most 4 extremes), so 64 samples bracket the global one.
constexpr int kSamples = 64;
constexpr int kGoldenSteps = 90;
// Epochs whose apparent positions are held at once.
constexpr std::size_t kBlock = 8192;

Vec3 mulv(const Mat3& m, const Vec3& v) noexcept {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}
Vec3 tmulv(const Mat3& m, const Vec3& v) noexcept {
    return {m[0][0] * v[0] + m[1][0] * v[1] + m[2][0] * v[2], m[0][1] * v[0] + m[1][1] * v[1] + m[2][1] * v[2],
            m[0][2] * v[0] + m[1][2] * v[1] + m[2][2] * v[2]};
}
Vec3 cross(const Vec3& u, const Vec3& v) noexcept {
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}
// Body-fixed coordinates divided by the radii: the ellipsoid is the unit sphere.
Vec3 scaled(const Triaxial& e, const Vec3& v) noexcept { return {v[0] / e.a, v[1] / e.b, v[2] / e.c}; }
double largest(const Triaxial& e) noexcept { return std::max({e.a, e.b, e.c}); }

struct Body {
    const Vec3& c;  // centre relative to the observer, inertial
    const Mat3& r;  // inertial -> body-fixed
    const Triaxial& e;
};

// An outline on a gnomonic plane: m + a1 cos t + a2 sin t (a1, a2 orthogonal).
struct Outline {
    double m[2], a1[2], a2[2];
    double dist2(double t) const noexcept {
        const double ct = std::cos(t), st = std::sin(t);
        const double x = m[0] + a1[0] * ct + a2[0] * st, y = m[1] + a1[1] * ct + a2[1] * st;
        return x * x + y * y;
    }
    // Whether the plane's origin (the axis) lies inside the outline.
    bool holds_origin() const noexcept {
        const double x = (m[0] * a1[0] + m[1] * a1[1]) / (a1[0] * a1[0] + a1[1] * a1[1]);
        const double y = (m[0] * a2[0] + m[1] * a2[1]) / (a2[0] * a2[0] + a2[1] * a2[1]);
        return x * x + y * y <= 1.0;
    }
    // The largest (far) or smallest distance of the outline from the axis.
    double extreme(bool far) const noexcept {
        constexpr double step = 2.0 * 3.14159265358979323846 / kSamples;
        const auto better = [far](double u, double v) { return far ? u > v : u < v; };
        int best = 0;
        double bv = dist2(0.0);
        for (int k = 1; k < kSamples; ++k) {
            const double v = dist2(k * step);
            if (better(v, bv)) bv = v, best = k;
        }
        // Golden-section steps on the bracket around the best sample.
        constexpr double g = 0.6180339887498949;
        double lo = (best - 1) * step, hi = (best + 1) * step;
        double x1 = hi - g * (hi - lo), x2 = lo + g * (hi - lo);
        double f1 = dist2(x1), f2 = dist2(x2);
        for (int k = 0; k < kGoldenSteps && hi - lo > 0.0; ++k) {
            if (better(f1, f2)) {
                hi = x2, x2 = x1, f2 = f1;
                x1 = hi - g * (hi - lo), f1 = dist2(x1);
            } else {
                lo = x1, x1 = x2, f1 = f2;
                x2 = lo + g * (hi - lo), f2 = dist2(x2);
            }
            if (better(f1, bv)) bv = f1;
            if (better(f2, bv)) bv = f2;
        }
        return std::sqrt(bv);
    }
};

enum class Section : std::uint8_t { Ellipse, Behind, Unbounded };

// The outline of `o`'s cone on the gnomonic plane (distance 1 along the
// axis) of `s`'s cone, in the space where `s` is the unit sphere: x -> D_s^-1
// R_s x, which fixes the observer. tan_alpha: the tangent of the circular
// cone's half-angle. Unbounded when o's cone reaches 90 degrees from the
// axis (its section is no ellipse), Behind when o lies on the far side.
Section section(const Body& s, const Body& o, Outline& out, double& tan_alpha) noexcept {
    const Vec3 sc = scaled(s.e, mulv(s.r, s.c));
    const double s2 = dot(sc, sc);
    tan_alpha = 1.0 / std::sqrt(s2 - 1.0);
    const double sn = std::sqrt(s2);
    const Vec3 u{sc[0] / sn, sc[1] / sn, sc[2] / sn};
    // Any unit vector across u.
    const std::size_t small = std::fabs(u[0]) <= std::fabs(u[1]) ? (std::fabs(u[0]) <= std::fabs(u[2]) ? 0 : 2)
                                                                   : (std::fabs(u[1]) <= std::fabs(u[2]) ? 1 : 2);
    Vec3 axis{0.0, 0.0, 0.0};
    axis[small] = 1.0;
    Vec3 e1 = cross(u, axis);
    const double n1 = std::sqrt(dot(e1, e1));
    e1 = Vec3{e1[0] / n1, e1[1] / n1, e1[2] / n1};
    const Vec3 e2 = cross(u, e1);
    // In s's space o is |H x - w| <= 1 with H = D_o^-1 R_o R_s^T D_s and w
    // o's scaled body-fixed centre; the line t x meets it where
    // (Hx.w)^2 - |Hx|^2 (|w|^2 - 1) >= 0, the cone's quadratic form Q.
    const auto h = [&](const Vec3& x) {
        return scaled(o.e, mulv(o.r, tmulv(s.r, Vec3{x[0] * s.e.a, x[1] * s.e.b, x[2] * s.e.c})));
    };
    const Vec3 w = scaled(o.e, mulv(o.r, o.c));
    // Written Hx.Hy - (Hx x w).(Hy x w): the terms of size |w|^2 that cancel
    // in the first form (a far observer) never appear.
    const Vec3 hb[3] = {h(e1), h(e2), h(u)};
    const Vec3 hw[3] = {cross(hb[0], w), cross(hb[1], w), cross(hb[2], w)};
    double q[3][3];
    for (int j = 0; j < 3; ++j)
        for (int k = 0; k < 3; ++k) q[j][k] = dot(hb[j], hb[k]) - dot(hw[j], hw[k]);
    // On the plane z = 1: p^T A p + 2 b.p + d >= 0 inside.
    const double a00 = q[0][0], a01 = q[0][1], a11 = q[1][1], b0 = q[0][2], b1 = q[1][2], d = q[2][2];
    const double det = a00 * a11 - a01 * a01;
    if (!(a00 < 0.0 && det > 0.0)) return Section::Unbounded;
    const double m0 = -(a11 * b0 - a01 * b1) / det, m1 = -(a00 * b1 - a01 * b0) / det;
    const double k = d + b0 * m0 + b1 * m1;
    if (!(k > 0.0)) return Section::Unbounded;
    // The section bounded, o's cone lies wholly on the side of its centre.
    const Vec3 oc = scaled(s.e, mulv(s.r, o.c));
    if (!(dot(oc, u) > 0.0)) return Section::Behind;
    const double p00 = -a00 / k, p01 = -a01 / k, p11 = -a11 / k;
    const double phi = 0.5 * std::atan2(2.0 * p01, p00 - p11);
    const double cp = std::cos(phi), sp = std::sin(phi);
    const double l1 = p00 * cp * cp + 2.0 * p01 * cp * sp + p11 * sp * sp;
    const double l2 = p00 * sp * sp - 2.0 * p01 * cp * sp + p11 * cp * cp;
    const double r1 = 1.0 / std::sqrt(l1), r2 = 1.0 / std::sqrt(l2);
    out = Outline{{m0, m1}, {cp * r1, sp * r1}, {-sp * r2, cp * r2}};
    return Section::Ellipse;
}

// Whether the cone of `o` lies inside the cone of `s`.
bool inside(const Body& o, const Body& s) noexcept {
    Outline ol;
    double ta = 0.0;
    if (section(s, o, ol, ta) != Section::Ellipse) return false;
    return ol.extreme(true) <= ta;
}

// Whether the two cones share a direction; `x` the one whose bounding cone
// is the wider, made the sphere first.
bool overlap(const Body& x, const Body& y) noexcept {
    Outline ol;
    double ta = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        const Body& s = pass == 0 ? x : y;
        const Body& o = pass == 0 ? y : x;
        switch (section(s, o, ol, ta)) {
            case Section::Behind: return false;
            case Section::Ellipse: return ol.holds_origin() || ol.extreme(false) <= ta;
            case Section::Unbounded: break;
        }
    }
    // Each cone reaches 90 degrees from the other's axis: the bounding
    // spheres overlap (the caller checked), so do these wide cones.
    return true;
}

// Whether a path's rotation is defined at every epoch: fixed steps, and PCK
// steps that fall back on complete text constants. Only such paths may be
// left unevaluated at an epoch, so that a frame that fails somewhere (a
// binary PCK or C-kernel gap, a dynamic frame) still fails there.
bool defined_everywhere(const FramePath& p) noexcept {
    for (std::size_t i = 0; i < p.n; ++i) {
        const FrameNode& n = *p.steps[i].node;
        const bool ok = n.kind == FrameNode::Kind::Root || n.kind == FrameNode::Kind::Fixed ||
                        (n.kind == FrameNode::Kind::Pck && n.text);
        if (!ok) return false;
    }
    return true;
}

// Bounding cones apart by more than this (radians) decide "no occultation"
// without the rotations: far above the rounding of the angles, so the full
// test (its own bounding-cone test, or a ray that misses the ellipsoid for a
// point) answers 0 there as well.
constexpr double kApartMargin = 1e-9;
// An observer farther than this many largest radii from an ellipsoid's
// centre is outside it whatever its orientation.
constexpr double kOutsideFactor = 1.0 + 1e-9;

std::string label(const OccultQuery& q) {
    return "occultation of body " + std::to_string(q.first.body) + " by body " + std::to_string(q.second.body) +
           " seen from body " + std::to_string(q.observer) + " (" + correction_name(q.correction) + ")";
}

}  // namespace

int occultation_code(const Vec3& c1, const Mat3& r1, const Triaxial& e1, bool point1, const Vec3& c2,
                     const Mat3& r2, const Triaxial& e2, bool point2) noexcept {
    if (point1 && point2) return 0;
    const double d1 = norm(c1), d2 = norm(c2);
    if (point1 || point2) {
        const Vec3& p = point1 ? c1 : c2;
        const Vec3& c = point1 ? c2 : c1;
        const Mat3& r = point1 ? r2 : r1;
        const Triaxial& e = point1 ? e2 : e1;
        const Vec3 obs = mulv(r, Vec3{-c[0], -c[1], -c[2]});
        Vec3 hit;
        if (!ray_intercept(e, obs, mulv(r, p), hit)) return 0;
        // Behind the ellipsoid the point is hidden (total); in front of its
        // disk the toolkit calls it an annular occultation of the ellipsoid.
        const bool behind = (point1 ? d2 : d1) < (point1 ? d1 : d2);
        if (behind) return point1 ? -3 : 3;
        return point1 ? 2 : -2;
    }
    const double w1 = std::asin(std::min(1.0, largest(e1) / d1)), w2 = std::asin(std::min(1.0, largest(e2) / d2));
    if (angle_between(c1, c2) > w1 + w2) return 0;
    const Body b1{c1, r1, e1}, b2{c2, r2, e2};
    if (!overlap(w1 >= w2 ? b1 : b2, w1 >= w2 ? b2 : b1)) return 0;
    const bool second_front = d2 < d1;
    const Body& front = second_front ? b2 : b1;
    const Body& back = second_front ? b1 : b2;
    const int sign = second_front ? -1 : 1;
    if (inside(back, front)) return 3 * sign;
    if (inside(front, back)) return 2 * sign;
    return sign;
}

std::expected<void, BatchFailure> occult_batch(const KernelSnapshot& snap, const OccultQuery& q, EpochView ets,
                                               std::int8_t* codes, unsigned threads, OccultScratch* scratch) {
    const auto refuse = [&](KernelSetError::Kind kind, const std::string& why) {
        return std::unexpected(BatchFailure{0, KernelSetError(kind, label(q) + ": " + why)});
    };
    if (q.first.point && q.second.point) return refuse(KernelSetError::Kind::Value, "at most one target may be a POINT");
    if (q.first.body == q.second.body) return refuse(KernelSetError::Kind::Value, "the two targets are the same body");
    FramePath paths[2];
    const OccultTarget* targets[2] = {&q.first, &q.second};
    for (int i = 0; i < 2; ++i) {
        const OccultTarget& t = *targets[i];
        if (t.body == q.observer)
            return refuse(KernelSetError::Kind::Value, "the observer is target body " + std::to_string(t.body));
        if (t.point) continue;
        if (!t.shape.valid())
            return refuse(KernelSetError::Kind::Value, "the radii of body " + std::to_string(t.body) +
                                                           " must be positive and finite, not [" +
                                                           format_double(t.shape.a) + ", " + format_double(t.shape.b) +
                                                           ", " + format_double(t.shape.c) + "]");
        const FrameNode* node = snap.frames().node(t.frame);
        if (!node) return refuse(KernelSetError::Kind::Frame, "unknown frame code " + std::to_string(t.frame));
        if (node->info.center != t.body)
            return refuse(KernelSetError::Kind::Frame, "frame " + node->info.name + " is centred on body " +
                                                           std::to_string(node->info.center) + ", not on body " +
                                                           std::to_string(t.body));
        auto path = snap.frame_path(1, t.frame);
        if (!path) return refuse(path.error().kind(), path.error().message());
        paths[i] = *path;
        prepare_path(paths[i], &snap.pck_orientation());
    }
    // Stellar aberration is accepted and left out, as the toolkit does (its
    // LT+S transitions fall on its LT ones to the microsecond): it shifts
    // both targets alike to first order, and the codes follow light time.
    const CorrectionFlags fl = correction_flags(q.correction);
    const Correction positions = !fl.light_time ? Correction::None
                                 : fl.transmission ? (fl.converged ? Correction::Xcn : Correction::Xlt)
                                                   : (fl.converged ? Correction::Cn : Correction::Lt);
    const double sigma = fl.transmission ? 1.0 : -1.0;
    const PckOrientationSource* pck = &snap.pck_orientation();
    // The early answer from the positions alone: each target's bounding
    // sphere (largest radius; 0 for a point) seen from the observer.
    bool early = true;
    double bound[2] = {0.0, 0.0};
    for (int i = 0; i < 2; ++i) {
        if (targets[i]->point) continue;
        bound[i] = largest(targets[i]->shape);
        early = early && defined_everywhere(paths[i]);
    }
    // Blocks of epochs: the apparent positions of both targets for a block,
    // planned and threaded as apparent states are, then its codes; the
    // buffers stay the size of one block whatever the batch.
    const std::size_t block = std::min<std::size_t>(ets.size, kBlock);
    OccultScratch own;
    OccultScratch& buf = scratch ? *scratch : own;
    if (buf.states.size() < 12 * block) buf.states.resize(12 * block);
    if (buf.lts.size() < 2 * block) buf.lts.resize(2 * block);
    double* const states = buf.states.data();
    double* const lts = buf.lts.data();
    for (std::size_t first = 0; first < ets.size; first += block) {
        const std::size_t n = std::min(block, ets.size - first);
        const EpochView part{ets.data + static_cast<std::ptrdiff_t>(first) * ets.stride, ets.stride, n};
        for (std::size_t i = 0; i < 2; ++i) {
            const ApparentQuery aq{Endpoint::of_body(targets[i]->body), Endpoint::of_body(q.observer),
                                   OutputFrame::J2000, positions};
            auto r = apparent_batch(snap, aq, part, states + 6 * n * i, lts + n * i, threads);
            if (!r) {
                BatchFailure f = r.error();
                f.index += first;
                f.error = KernelSetError(f.error.kind(), label(q) + ": " + f.error.message(), f.error.os_errno(),
                                         f.error.path());
                return std::unexpected(std::move(f));
            }
        }
        // Both observers outside the bounding spheres (so outside the
        // ellipsoids) and the bounding cones apart by the margin.
        const auto apart = [&](const Vec3 (&c)[2]) {
            double w[2];
            for (int j = 0; j < 2; ++j) {
                const double d = norm(c[j]);
                if (!(d > bound[j] * kOutsideFactor)) return false;
                w[j] = bound[j] > 0.0 ? std::asin(bound[j] / d) : 0.0;
            }
            return angle_between(c[0], c[1]) > w[0] + w[1] + kApartMargin;
        };
        auto r = run_batch(n, threads,
                           [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                               -> std::optional<BatchFailure> {
                               RotationRate rot[2]{};
                               std::optional<FrameError> err;
                               for (std::size_t i = b; i < e; ++i) {
                                   if ((i - b) % 256 == 0 && lowest.load(std::memory_order_relaxed) < b)
                                       return std::nullopt;
                                   Vec3 c[2];
                                   for (std::size_t j = 0; j < 2; ++j) {
                                       const double* st = states + 6 * (n * j + i);
                                       c[j] = Vec3{st[0], st[1], st[2]};
                                   }
                                   if (early && apart(c)) {
                                       codes[first + i] = 0;
                                       continue;
                                   }
                                   for (std::size_t j = 0; j < 2; ++j) {
                                       if (targets[j]->point) continue;
                                       const double t = part[i] + sigma * lts[n * j + i];
                                       if (!evaluate_path(paths[j], pck, t, false, rot[j], err))
                                           return BatchFailure{i, KernelSnapshot::frame_error(*err, label(q))};
                                       const Vec3 o = scaled(targets[j]->shape, mulv(rot[j].r, c[j]));
                                       if (dot(o, o) <= 1.0)
                                           return BatchFailure{
                                               i, KernelSetError(KernelSetError::Kind::Value,
                                                                 label(q) +
                                                                     ": the observer is inside the ellipsoid of body " +
                                                                     std::to_string(targets[j]->body))};
                                   }
                                   codes[first + i] = static_cast<std::int8_t>(
                                       occultation_code(c[0], rot[0].r, q.first.shape, q.first.point, c[1], rot[1].r,
                                                        q.second.shape, q.second.point));
                               }
                               return std::nullopt;
                           });
        if (!r) {
            BatchFailure f = r.error();
            f.index += first;
            return std::unexpected(std::move(f));
        }
    }
    return {};
}

}  // namespace kernwerk
