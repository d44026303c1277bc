#include "geometry/fov.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <numbers>

#include "frames/frames.hpp"
#include "geometry/ellipsoid.hpp"
#include "text/pool.hpp"

namespace kernwerk {

namespace {

// dot is the shared one of geometry/ellipsoid (the same sum); lengths here
// are the plain square root of it.
inline double length(const Vec3& a) noexcept { return std::sqrt(dot(a, a)); }
inline Vec3 scale(const Vec3& a, double s) noexcept { return {a[0] * s, a[1] * s, a[2] * s}; }
inline Vec3 sub(const Vec3& a, const Vec3& b) noexcept { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 add(const Vec3& a, const Vec3& b) noexcept { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline Vec3 mat_vec(const Mat3& m, const Vec3& v) noexcept {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

std::string upper_trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    std::string out = s.substr(b, e - b);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

struct Reader {
    const KernelPool& pool;
    std::string prefix;

    KernelSetError error(const PoolError& e) const {
        if (e.kind() == PoolError::Kind::Missing)
            return {KernelSetError::Kind::MissingKernel,
                    e.message() + "; load the instrument kernel (IK) that defines the field of view"};
        return {KernelSetError::Kind::FileFormat, e.message()};
    }
    KernelSetError malformed(const std::string& item, const std::string& why) const {
        return {KernelSetError::Kind::FileFormat, prefix + item + " " + why};
    }
    std::expected<std::span<const double>, KernelSetError> numbers(const std::string& item) const {
        auto v = pool.numbers(prefix + item);
        if (!v) return std::unexpected(error(v.error()));
        return *v;
    }
    std::expected<std::string, KernelSetError> text(const std::string& item) const {
        auto v = pool.strings(prefix + item);
        if (!v) return std::unexpected(error(v.error()));
        if (v->size() != 1) return std::unexpected(malformed(item, "must hold one string"));
        return upper_trimmed((*v)[0]);
    }
    std::expected<Vec3, KernelSetError> vector(const std::string& item) const {
        auto v = numbers(item);
        if (!v) return std::unexpected(v.error());
        if (v->size() != 3)
            return std::unexpected(malformed(item, "must hold 3 numbers, not " + std::to_string(v->size())));
        return Vec3{(*v)[0], (*v)[1], (*v)[2]};
    }
    std::expected<double, KernelSetError> angle(const std::string& item, double unit) const {
        auto v = numbers(item);
        if (!v) return std::unexpected(v.error());
        if (v->size() != 1) return std::unexpected(malformed(item, "must hold one number"));
        const double a = (*v)[0] * unit;
        if (!(a >= 0.0 && a < std::numbers::pi / 2))
            return std::unexpected(malformed(item, "is " + format_double((*v)[0]) +
                                                       ", outside [0, 90) degrees in its units"));
        return a;
    }
};

std::optional<double> unit_of(const std::string& name) {
    constexpr double d = std::numbers::pi / 180.0, h = std::numbers::pi / 12.0;
    if (name == "RADIANS") return 1.0;
    if (name == "DEGREES") return d;
    if (name == "ARCMINUTES") return d / 60.0;
    if (name == "ARCSECONDS") return d / 3600.0;
    if (name == "HOURANGLE") return h;
    if (name == "MINUTEANGLE") return h / 60.0;
    if (name == "SECONDANGLE") return h / 3600.0;
    return std::nullopt;
}

}  // namespace

const char* fov_shape_name(FovShape s) noexcept {
    switch (s) {
        case FovShape::Circle: return "CIRCLE";
        case FovShape::Ellipse: return "ELLIPSE";
        case FovShape::Rectangle: return "RECTANGLE";
        case FovShape::Polygon: return "POLYGON";
    }
    return "?";
}

std::expected<FieldOfView, KernelSetError> get_fov(const KernelPool& pool, std::int32_t instrument) {
    const Reader rd{pool, "INS" + std::to_string(instrument) + "_"};
    FieldOfView fov;
    fov.instrument = instrument;
    auto shape = rd.text("FOV_SHAPE");
    if (!shape) return std::unexpected(shape.error());
    if (*shape == "CIRCLE") fov.shape = FovShape::Circle;
    else if (*shape == "ELLIPSE") fov.shape = FovShape::Ellipse;
    else if (*shape == "RECTANGLE") fov.shape = FovShape::Rectangle;
    else if (*shape == "POLYGON") fov.shape = FovShape::Polygon;
    else
        return std::unexpected(rd.malformed("FOV_SHAPE", "is '" + *shape +
                                                             "', not CIRCLE, ELLIPSE, RECTANGLE or POLYGON"));
    auto frame = pool.strings(rd.prefix + "FOV_FRAME");
    if (!frame) return std::unexpected(rd.error(frame.error()));
    if (frame->size() != 1) return std::unexpected(rd.malformed("FOV_FRAME", "must hold one string"));
    fov.frame = (*frame)[0];
    auto bs = rd.vector("BORESIGHT");
    if (!bs) return std::unexpected(bs.error());
    fov.boresight = *bs;
    std::string spec = "CORNERS";
    if (pool.find(rd.prefix + "FOV_CLASS_SPEC")) {
        auto s = rd.text("FOV_CLASS_SPEC");
        if (!s) return std::unexpected(s.error());
        spec = *s;
    }
    if (spec == "CORNERS") {
        auto v = rd.numbers("FOV_BOUNDARY_CORNERS");
        if (!v) return std::unexpected(v.error());
        if (v->size() % 3 != 0)
            return std::unexpected(rd.malformed("FOV_BOUNDARY_CORNERS", "must hold 3 numbers per vector, not " +
                                                                            std::to_string(v->size()) + " numbers"));
        const std::size_t n = v->size() / 3;
        const std::size_t need = fov.shape == FovShape::Circle ? 1 : fov.shape == FovShape::Ellipse ? 2 : 4;
        if (fov.shape == FovShape::Polygon ? n < 3 : n != need)
            return std::unexpected(rd.malformed(
                "FOV_BOUNDARY_CORNERS", "holds " + std::to_string(n) + " vectors; a " + *shape + " needs " +
                                            (fov.shape == FovShape::Polygon ? "3 or more" : std::to_string(need))));
        for (std::size_t i = 0; i < n; ++i) fov.bounds.push_back({(*v)[3 * i], (*v)[3 * i + 1], (*v)[3 * i + 2]});
        return fov;
    }
    if (spec != "ANGLES")
        return std::unexpected(rd.malformed("FOV_CLASS_SPEC", "is '" + spec + "', not CORNERS or ANGLES"));
    if (fov.shape == FovShape::Polygon)
        return std::unexpected(rd.malformed("FOV_CLASS_SPEC", "is ANGLES, which a POLYGON cannot use"));
    auto units = rd.text("FOV_ANGLE_UNITS");
    if (!units) return std::unexpected(units.error());
    const auto unit = unit_of(*units);
    if (!unit)
        return std::unexpected(rd.malformed("FOV_ANGLE_UNITS", "is '" + *units + "', not one of DEGREES, RADIANS, "
                                                               "ARCMINUTES, ARCSECONDS, HOURANGLE, MINUTEANGLE, "
                                                               "SECONDANGLE"));
    auto ref = rd.vector("FOV_REF_VECTOR");
    if (!ref) return std::unexpected(ref.error());
    auto ra = rd.angle("FOV_REF_ANGLE", *unit);
    if (!ra) return std::unexpected(ra.error());
    const Vec3& b = fov.boresight;
    const double blen = length(b);
    if (!(blen > 0.0) || !std::isfinite(blen)) return std::unexpected(rd.malformed("BORESIGHT", "is the zero vector"));
    const Vec3 bu = scale(b, 1.0 / blen);
    const Vec3 rp = sub(*ref, scale(bu, dot(*ref, bu)));
    const double rlen = length(rp);
    if (!(rlen > 0.0))
        return std::unexpected(rd.malformed("FOV_REF_VECTOR", "is parallel to the boresight"));
    const Vec3 r = scale(rp, 1.0 / rlen);
    const Vec3 c = cross(bu, r);
    const auto turned = [&](const Vec3& toward, double angle) {
        return scale(add(scale(bu, std::cos(angle)), scale(toward, std::sin(angle))), blen);
    };
    if (fov.shape == FovShape::Circle) {
        fov.bounds.push_back(turned(r, *ra));
        return fov;
    }
    auto ca = rd.angle("FOV_CROSS_ANGLE", *unit);
    if (!ca) return std::unexpected(ca.error());
    if (fov.shape == FovShape::Ellipse) {
        fov.bounds.push_back(turned(r, *ra));
        fov.bounds.push_back(turned(c, *ca));
        return fov;
    }
    const double tr = std::tan(*ra), tc = std::tan(*ca);
    for (const auto& [sr, sc] : {std::pair{1.0, 1.0}, {-1.0, 1.0}, {-1.0, -1.0}, {1.0, -1.0}}) {
        const Vec3 v = add(bu, add(scale(r, sr * tr), scale(c, sc * tc)));
        fov.bounds.push_back(scale(v, blen / length(v)));
    }
    return fov;
}

// ---------------------------------------------------------------------------
// Containment

std::expected<FovCone, KernelSetError> FovCone::plan(const FieldOfView& fov) {
    const std::string who = "the field of view of instrument " + std::to_string(fov.instrument);
    const auto bad = [&](const std::string& why) {
        return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat, who + " " + why));
    };
    FovCone k;
    k.shape_ = fov.shape;
    const double blen = length(fov.boresight);
    if (!(blen > 0.0) || !std::isfinite(blen)) return bad("has a zero boresight");
    k.z_ = scale(fov.boresight, 1.0 / blen);
    if (fov.bounds.empty()) return bad("has no boundary vectors");
    // The plane's x axis along the first boundary vector's normal component.
    Vec3 xp = sub(fov.bounds[0], scale(k.z_, dot(fov.bounds[0], k.z_)));
    if (!(length(xp) > 0.0)) {
        if (fov.shape != FovShape::Polygon) return bad("has a boundary vector along its boresight");
        xp = std::fabs(k.z_[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        xp = sub(xp, scale(k.z_, dot(xp, k.z_)));
    }
    k.x_ = scale(xp, 1.0 / length(xp));
    k.y_ = cross(k.z_, k.x_);
    for (const Vec3& v : fov.bounds) {
        if (!(dot(v, k.z_) > 0.0)) return bad("has a boundary vector at 90 degrees or more from its boresight");
        k.px_.push_back(dot(v, k.x_) / dot(v, k.z_));
        k.py_.push_back(dot(v, k.y_) / dot(v, k.z_));
        k.corners_.push_back(scale(v, 1.0 / length(v)));
        k.max_angle_ = std::max(k.max_angle_, std::atan2(length(cross(v, k.z_)), dot(v, k.z_)));
    }
    if (fov.shape == FovShape::Circle || fov.shape == FovShape::Ellipse) {
        k.a_ = std::hypot(k.px_[0], k.py_[0]);
        k.b_ = fov.shape == FovShape::Circle ? k.a_ : std::hypot(k.px_[1], k.py_[1]);
        if (!(k.a_ > 0.0 && k.b_ > 0.0)) return bad("has a zero semi-axis");
        k.max_angle_ = std::atan(std::max(k.a_, k.b_));
    }
    return k;
}

bool FovCone::contains(const Vec3& v) const noexcept {
    const double z = dot(v, z_);
    if (!(z > 0.0)) return false;
    const double x = dot(v, x_) / z, y = dot(v, y_) / z;
    if (shape_ == FovShape::Circle) return std::hypot(x, y) <= a_;
    if (shape_ == FovShape::Ellipse) {
        const double u = x / a_, w = y / b_;
        return u * u + w * w <= 1.0;
    }
    // Crossing number, the boundary counted in: a point on an edge is in.
    const std::size_t n = px_.size();
    bool in = false;
    for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
        const double xi = px_[i], yi = py_[i], xj = px_[j], yj = py_[j];
        const double cr = (xj - xi) * (y - yi) - (yj - yi) * (x - xi);
        if (cr == 0.0 && std::min(xi, xj) <= x && x <= std::max(xi, xj) && std::min(yi, yj) <= y &&
            y <= std::max(yi, yj))
            return true;
        if ((yi > y) != (yj > y) && x < xi + (y - yi) * (xj - xi) / (yj - yi)) in = !in;
    }
    return in;
}

namespace {

// Distance from q to the ray {t w, t >= 0}.
double ray_distance(const Vec3& q, const Vec3& w) noexcept {
    const double ww = dot(w, w), t = dot(q, w) / ww;
    return t <= 0.0 ? length(q) : length(sub(q, scale(w, t)));
}

// Distance from q to the wedge {s a + t b, s, t >= 0}.
double wedge_distance(const Vec3& q, const Vec3& a, const Vec3& b) noexcept {
    const double aa = dot(a, a), ab = dot(a, b), bb = dot(b, b), qa = dot(q, a), qb = dot(q, b);
    const double det = aa * bb - ab * ab;
    if (det > 0.0) {
        const double s = (qa * bb - qb * ab) / det, t = (qb * aa - qa * ab) / det;
        if (s >= 0.0 && t >= 0.0) return length(sub(q, add(scale(a, s), scale(b, t))));
    }
    return std::min(ray_distance(q, a), ray_distance(q, b));
}

}  // namespace

bool FovCone::clearly_outside(const Vec3& c, double max_radius) const noexcept {
    const double range = length(c);
    if (!(range > max_radius)) return false;
    const double off = angle_between(c, z_);
    return off > max_angle_ + std::asin(max_radius / range) + 1e-9;
}

bool FovCone::meets_ellipsoid(const Mat3& m, const Vec3& c, double max_radius) const noexcept {
    // A target whose bounding sphere lies wholly outside the cone of the
    // field's largest angle is out, the common case, decided at once (with
    // a margin of 1e-9 rad, so that only clear cases take this path).
    if (clearly_outside(c, max_radius)) return false;
    const Vec3 q = mat_vec(m, c);
    if (length(q) <= 1.0) return true;  // the observer on the surface (the batch refuses one inside)
    if (contains(c)) return true;     // its center is in the field
    if (shape_ == FovShape::Rectangle || shape_ == FovShape::Polygon) {
        const std::size_t n = corners_.size();
        for (std::size_t i = 0, j = n - 1; i < n; j = i++)
            if (wedge_distance(q, mat_vec(m, corners_[j]), mat_vec(m, corners_[i])) <= 1.0) return true;
        return false;
    }
    // The cone's boundary rays z + a cos(f) x + b sin(f) y: the distance to
    // the nearest, found by sampling and then golden-section refinement.
    const auto dist = [&](double f) {
        const Vec3 d = add(z_, add(scale(x_, a_ * std::cos(f)), scale(y_, b_ * std::sin(f))));
        return ray_distance(q, mat_vec(m, d));
    };
    constexpr int kSamples = 96;
    constexpr double step = 2.0 * std::numbers::pi / kSamples;
    double best = dist(0.0), at = 0.0;
    for (int i = 1; i < kSamples; ++i) {
        const double d = dist(i * step);
        if (d < best) best = d, at = i * step;
    }
    if (best <= 1.0) return true;
    constexpr double g = 0.6180339887498949;
    double lo = at - step, hi = at + step;
    double x1 = hi - g * (hi - lo), x2 = lo + g * (hi - lo), f1 = dist(x1), f2 = dist(x2);
    for (int it = 0; it < 80 && hi - lo > 1e-15; ++it) {
        if (f1 < f2) {
            hi = x2, x2 = x1, f2 = f1, x1 = hi - g * (hi - lo), f1 = dist(x1);
        } else {
            lo = x1, x1 = x2, f1 = f2, x2 = lo + g * (hi - lo), f2 = dist(x2);
        }
        if (std::min(f1, f2) <= 1.0) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Batches

namespace {

struct Planned {
    FieldOfView fov;
    FovCone cone;
    std::int32_t frame = 0;
};

std::expected<Planned, KernelSetError> plan_fov(const KernelSnapshot& snap, std::int32_t instrument) {
    auto fov = get_fov(snap.pool(), instrument);
    if (!fov) return std::unexpected(fov.error());
    auto cone = FovCone::plan(*fov);
    if (!cone) return std::unexpected(cone.error());
    auto code = snap.frames().code_of(fov->frame);
    if (!code)
        return std::unexpected(KernelSetError(KernelSetError::Kind::Frame,
                                              "the field of view of instrument " + std::to_string(instrument) +
                                                  " is given in frame '" + fov->frame +
                                                  "', which no loaded kernel defines"));
    return Planned{std::move(*fov), std::move(*cone), *code};
}

struct PlannedPath {
    FramePath path;
    std::string what;
};

std::expected<PlannedPath, KernelSetError> path_of(const KernelSnapshot& snap, std::int32_t from, std::int32_t to) {
    const std::string what = "rotation from " + snap.frames().name_of(from) + " to " + snap.frames().name_of(to);
    auto p = snap.frames().path(from, to);
    if (!p) return std::unexpected(KernelSnapshot::frame_error(p.error(), what));
    prepare_path(*p, &snap.pck_orientation());
    return PlannedPath{*p, what};
}

std::expected<void, BatchFailure> fail0(KernelSetError e) { return std::unexpected(BatchFailure{0, std::move(e)}); }

}  // namespace

std::expected<void, BatchFailure> fov_ray_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                std::int32_t ray_frame, const double* rays, std::size_t ray_stride,
                                                bool stellar, bool transmission, std::int32_t observer,
                                                EpochView ets, std::uint8_t* out, unsigned threads) {
    if (ets.size == 0) return {};
    auto p = plan_fov(snap, instrument);
    if (!p) return fail0(p.error());
    auto to_j2000 = path_of(snap, ray_frame, 1);
    if (!to_j2000) return fail0(to_j2000.error());
    auto to_fov = path_of(snap, 1, p->frame);
    if (!to_fov) return fail0(to_fov.error());
    // The observer's velocity relative to the barycenter, for the aberration.
    std::vector<double> obs;
    if (stellar) {
        obs.resize(6 * ets.size);
        if (auto ok = snap.state_batch(observer, 0, OutputFrame::J2000, ets, obs.data(), threads); !ok)
            return std::unexpected(ok.error());
    }
    const PckOrientationSource* pck = &snap.pck_orientation();
    const double sign = transmission ? -1.0 : 1.0;
    return run_batch(ets.size, threads, [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                                            -> std::optional<BatchFailure> {
        RotationRate x{}, y{};
        std::optional<FrameError> err;
        for (std::size_t i = b; i < e; ++i) {
            if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
            const double et = ets[i];
            if (std::isnan(et)) [[unlikely]]
                return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch, "fovray: the epoch is NaN")};
            const double* r = rays + i * ray_stride;
            Vec3 d{r[0], r[1], r[2]};
            const double len = length(d);
            if (!(len > 0.0) || !std::isfinite(len)) [[unlikely]]
                return BatchFailure{i, KernelSetError(KernelSetError::Kind::Value,
                                                      "fovray: the ray direction is zero or not finite")};
            if (!evaluate_path(to_j2000->path, pck, et, false, x, err)) [[unlikely]]
                return BatchFailure{i, KernelSnapshot::frame_error(*err, to_j2000->what + " at et " + format_double(et))};
            if (!evaluate_path(to_fov->path, pck, et, false, y, err)) [[unlikely]]
                return BatchFailure{i, KernelSnapshot::frame_error(*err, to_fov->what + " at et " + format_double(et))};
            d = mat_vec(x.r, d);
            if (stellar) {
                // d turned toward w = +/- v / c by the angle whose sine is
                // |u x w|, as the light-time corrected states are.
                const double* v = obs.data() + 6 * i + 3;
                const Vec3 w{sign * v[0] / kSpeedOfLight, sign * v[1] / kSpeedOfLight, sign * v[2] / kSpeedOfLight};
                const Vec3 u = scale(d, 1.0 / len);
                const Vec3 h = cross(u, w);
                const double s2 = dot(h, h), cm1 = -s2 / (1.0 + std::sqrt(1.0 - s2)), uw = dot(u, w);
                d = add(d, add(scale(d, cm1), scale(sub(w, scale(u, uw)), len)));
            }
            out[i] = p->cone.contains(mat_vec(y.r, d)) ? 1 : 0;
        }
        return std::nullopt;
    });
}

std::expected<FovTargetPlan, KernelSetError> FovTargetPlan::plan(const KernelSnapshot& snap, std::int32_t instrument,
                                                                std::int32_t target, bool ellipsoid,
                                                                std::int32_t target_frame, Correction correction,
                                                                std::int32_t observer) {
    auto p = plan_fov(snap, instrument);
    if (!p) return std::unexpected(p.error());
    auto to_fov = path_of(snap, 1, p->frame);
    if (!to_fov) return std::unexpected(to_fov.error());
    FovTargetPlan plan;
    plan.cone_ = std::move(p->cone);
    plan.target_ = target, plan.observer_ = observer, plan.ellipsoid_ = ellipsoid, plan.correction_ = correction;
    plan.to_fov_ = std::move(to_fov->path), plan.to_fov_what_ = std::move(to_fov->what);
    if (ellipsoid) {
        auto radii = body_constant(snap.pool(), target, "RADII");
        if (!radii)
            return std::unexpected(KernelSetError(radii.error().kind() == PoolError::Kind::Missing
                                                      ? KernelSetError::Kind::MissingKernel
                                                      : KernelSetError::Kind::FileFormat,
                                                  radii.error().message() + " (an ELLIPSOID target needs its radii)"));
        if (radii->size() != 3 || !((*radii)[0] > 0.0 && (*radii)[1] > 0.0 && (*radii)[2] > 0.0))
            return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat,
                                                  "BODY" + std::to_string(target) + "_RADII must hold 3 positive numbers"));
        plan.radii_ = {(*radii)[0], (*radii)[1], (*radii)[2]};
        plan.inv_radii_ = {1.0 / (*radii)[0], 1.0 / (*radii)[1], 1.0 / (*radii)[2]};
        plan.max_radius_ = std::max({(*radii)[0], (*radii)[1], (*radii)[2]});
        auto b = path_of(snap, 1, target_frame);
        if (!b) return std::unexpected(b.error());
        plan.to_body_ = std::move(b->path), plan.to_body_what_ = std::move(b->what);
    }
    return plan;
}

std::expected<void, BatchFailure> FovTargetPlan::evaluate(const KernelSnapshot& snap, EpochView ets,
                                                          std::uint8_t* out, unsigned threads) const {
    if (ets.size == 0) return {};
    const Triaxial shape{radii_[0], radii_[1], radii_[2]};
    const ApparentQuery q{Endpoint::of_body(target_), Endpoint::of_body(observer_), OutputFrame::J2000, correction_};
    std::vector<double> states(6 * ets.size), lts(ets.size);
    if (auto ok = apparent_batch(snap, q, ets, states.data(), lts.data(), threads); !ok)
        return std::unexpected(ok.error());
    const CorrectionFlags fl = correction_flags(correction_);
    const double lt_sign = fl.light_time ? (fl.transmission ? 1.0 : -1.0) : 0.0;
    const PckOrientationSource* pck = &snap.pck_orientation();
    return run_batch(ets.size, threads, [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                                            -> std::optional<BatchFailure> {
        RotationRate y{}, t{};
        std::optional<FrameError> err;
        for (std::size_t i = b; i < e; ++i) {
            if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
            const double et = ets[i];
            if (!evaluate_path(to_fov_, pck, et, false, y, err)) [[unlikely]]
                return BatchFailure{i, KernelSnapshot::frame_error(*err, to_fov_what_ + " at et " + format_double(et))};
            const double* s = states.data() + 6 * i;
            const Vec3 c = mat_vec(y.r, Vec3{s[0], s[1], s[2]});
            if (!ellipsoid_) {
                out[i] = cone_.contains(c) ? 1 : 0;
                continue;
            }
            // Far outside the field (the common case) the answer needs no
            // orientation of the target: meets_ellipsoid would say "out" by
            // the same test, and the observer, beyond the bounding sphere,
            // is outside the ellipsoid.
            if (cone_.clearly_outside(c, max_radius_)) {
                out[i] = 0;
                continue;
            }
            const double tet = et + lt_sign * lts[i];
            if (!evaluate_path(to_body_, pck, tet, false, t, err)) [[unlikely]]
                return BatchFailure{i, KernelSnapshot::frame_error(*err, to_body_what_ + " at et " + format_double(tet))};
            // Field frame -> body frame: T Y^T; then scaled by 1 / radii.
            Mat3 m{}, fb{};
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k) {
                    double acc = 0.0;
                    for (int j = 0; j < 3; ++j) acc += t.r[r][j] * y.r[k][j];
                    fb[r][k] = acc;
                    m[r][k] = acc * inv_radii_[r];
                }
            // From inside the ellipsoid no cone test has a meaning (the
            // toolkit's fovtrg fails there too): the observer, in the body
            // frame, is -fb c from the target's center.
            const Vec3 bc = mat_vec(fb, c);
            if (shape.level(Vec3{-bc[0], -bc[1], -bc[2]}) < 1.0) [[unlikely]]
                return BatchFailure{i, KernelSetError(KernelSetError::Kind::Value,
                                                      "the observer (body " + std::to_string(observer_) +
                                                          ") is inside the ellipsoid of the target (body " +
                                                          std::to_string(target_) + ") at et " + format_double(et) +
                                                          "; an ELLIPSOID target must be seen from outside")};
            out[i] = cone_.meets_ellipsoid(m, c, max_radius_) ? 1 : 0;
        }
        return std::nullopt;
    });
}

std::expected<void, BatchFailure> fov_target_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                   std::int32_t target, bool ellipsoid, std::int32_t target_frame,
                                                   Correction correction, std::int32_t observer, EpochView ets,
                                                   std::uint8_t* out, unsigned threads) {
    if (ets.size == 0) return {};
    auto plan = FovTargetPlan::plan(snap, instrument, target, ellipsoid, target_frame, correction, observer);
    if (!plan) return fail0(plan.error());
    return plan->evaluate(snap, ets, out, threads);
}

}  // namespace kernwerk
