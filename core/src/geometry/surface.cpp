#include "geometry/surface.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace kernwerk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Light-time steps stop once lt changes by less than this fraction of the
// epoch's magnitude (as apparent states do).
constexpr double kConvergence = 1e-17;
// Fixed-point steps of the aberration offset of a surface point, and of the
// geometric direction of an apparent ray: each gains the factor v/c ~ 1e-4.
constexpr int kOffsetSteps = 3;

using Fail = std::optional<KernelSetError>;

Vec3 sub(const Vec3& a, const Vec3& b) noexcept { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 add(const Vec3& a, const Vec3& b) noexcept { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 mul(const Mat3& m, const Vec3& v) noexcept {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}
Vec3 tmul(const Mat3& m, const Vec3& v) noexcept {
    return {m[0][0] * v[0] + m[1][0] * v[1] + m[2][0] * v[2], m[0][1] * v[0] + m[1][1] * v[1] + m[2][1] * v[2],
            m[0][2] * v[0] + m[1][2] * v[1] + m[2][2] * v[2]};
}

// p turned toward w = +/-v/c by phi, sin(phi) = |u x w| (the toolkit's
// first-order stelab; stlabx with the velocity reversed for transmission),
// in the form apparent states use.
Vec3 aberrate(const Vec3& p, const double* v, bool transmission) noexcept {
    const double r = norm(p);
    if (!(r > 0.0)) return p;
    const double sign = transmission ? -1.0 : 1.0;
    const Vec3 w{sign * v[0] / kSpeedOfLight, sign * v[1] / kSpeedOfLight, sign * v[2] / kSpeedOfLight};
    const Vec3 u{p[0] / r, p[1] / r, p[2] / r};
    const Vec3 h{u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
    const double sphi2 = dot(h, h);
    const double cphi = std::sqrt(1.0 - sphi2);
    const double cm1 = -sphi2 / (1.0 + cphi);
    const double uw = dot(u, w);
    Vec3 out;
    for (std::size_t c = 0; c < 3; ++c) out[c] = p[c] + (p[c] * cm1 + r * (w[c] - uw * u[c]));
    return out;
}

// The geometric direction whose aberration is the apparent direction `d`.
Vec3 unaberrate(const Vec3& d, const double* v, bool transmission) noexcept {
    Vec3 g = d;
    for (int k = 0; k < kOffsetSteps; ++k) g = sub(g, sub(aberrate(g, v, transmission), d));
    return g;
}

std::string body_label(std::int32_t code) { return "body " + std::to_string(code); }

// What every surface query shares: the observer's and target's cursors, the
// body-fixed frame's plan, the correction's flags.
struct Plan {
    const KernelSnapshot& snap;
    SurfaceTarget target;
    std::int32_t observer;
    Correction correction;
    CorrectionFlags fl;
    double sigma;  // the target is seen at et + sigma lt
    FramePath fixed;
    std::string what;

    Plan(const KernelSnapshot& s, const SurfaceTarget& t, std::int32_t obs, Correction c, std::string label)
        : snap(s), target(t), observer(obs), correction(c), fl(correction_flags(c)),
          sigma(fl.transmission ? 1.0 : -1.0), what(std::move(label)) {}

    std::string label() const {
        return what + " of " + body_label(target.body) + " seen from " + body_label(observer) + " (" +
               correction_name(correction) + ")";
    }
    KernelSetError wrap(const KernelSetError& e) const {
        return KernelSetError(e.kind(), label() + ": " + e.message(), e.os_errno(), e.path());
    }
    int steps() const noexcept { return !fl.light_time ? 1 : (fl.converged ? kSurfaceSteps : 2); }
};

// Plans the body-fixed frame (J2000 -> frame, centred on the target) and
// checks the shape; the error of a query that cannot run.
std::optional<KernelSetError> prepare(Plan& p) {
    auto path = plan_body_frame(p.snap, p.target, p.label());
    if (!path) return std::move(path.error());
    p.fixed = std::move(*path);
    return std::nullopt;
}

// One thread's cursors and its cache of the last epoch's observer state.
struct Work {
    const Plan& plan;
    StateCursor obs, tgt;
    std::optional<StateCursor> src;
    // Without light time, the target relative to the observer directly, as
    // the geometric state (no difference of two barycentric states).
    std::optional<StateCursor> direct;
    double last_et = kNaN;
    double so[6]{}, to[6]{};  // observer and target at last_et
    double rel[6]{};          // target relative to observer at last_et (direct)
    RotationRate rr{};
    RotationRate ray{};       // a ray frame's rotation at ray_et
    double ray_et = kNaN;
    // The last target state and body-fixed rotation evaluated, by epoch: the
    // first light-time step of every ray or point at one epoch is at the same
    // target epoch.
    double tgt_t = kNaN, tgt_s[6]{};
    double rot_t = kNaN;
    bool rot_rates = false;
    RotationRate rot{};

    Work(const Plan& p, std::optional<std::int32_t> source = std::nullopt)
        : plan(p), obs(p.snap, p.observer, 0, OutputFrame::J2000), tgt(p.snap, p.target.body, 0, OutputFrame::J2000) {
        if (source) src.emplace(p.snap, *source, 0, OutputFrame::J2000);
        if (!p.fl.light_time) direct.emplace(p.snap, p.target.body, p.observer, OutputFrame::J2000);
    }

    static Fail failed(std::optional<BatchFailure>&& f) {
        if (f) return std::move(f->error);
        return std::nullopt;
    }
    Fail state(StateCursor& c, double t, double* out) { return failed(c.evaluate(&t, 1, out)); }
    Fail rotation(double t, bool rates, RotationRate& out) {
        if (t == rot_t && (rot_rates || !rates)) {
            out = rot;
            return std::nullopt;
        }
        std::optional<FrameError> err;
        rot_t = kNaN;
        if (!evaluate_path(plan.fixed, &plan.snap.pck_orientation(), t, rates, rot, err))
            return KernelSnapshot::frame_error(*err);
        rot_t = t;
        rot_rates = rates;
        out = rot;
        return std::nullopt;
    }
    // States read ahead for a run of epochs, one cursor call each (the
    // cursors' lanes then evaluate four epochs at once, bit for bit as one
    // by one): the observer and the target at et, the direct vector without
    // light time, and the target at the first light-time epoch of the centre.
    // Left unused for a run where any of them fails or an epoch is NaN, the
    // epochs then evaluated one by one, so that failures stay those of the
    // epoch that meets them first.
    static constexpr std::size_t kAhead = 64;
    std::size_t ahead_n = 0, ahead_at = 0, at = 0;
    double ahead_so[6 * kAhead], ahead_to[6 * kAhead], ahead_rel[6 * kAhead];
    double ahead_t1[kAhead], ahead_s1[6 * kAhead];
    // Light times of a ray frame's centre over the read-ahead run
    // (intercept_batch), the run they are for, and whether they were found.
    double ray_lt[kAhead], ray_pos[3 * kAhead];
    std::size_t ray_lt_at = static_cast<std::size_t>(-1);
    bool ray_lt_ok = false;

    void read_ahead(EpochView ets, std::size_t b, std::size_t m) {
        ahead_n = 0;
        double et[kAhead];
        for (std::size_t i = 0; i < m; ++i) {
            et[i] = ets[b + i];
            if (std::isnan(et[i])) return;
        }
        if (obs.evaluate(et, m, ahead_so) || tgt.evaluate(et, m, ahead_to)) return;
        if (direct && direct->evaluate(et, m, ahead_rel)) return;
        if (plan.fl.light_time) {
            for (std::size_t i = 0; i < m; ++i) {
                const double* so_i = ahead_so + 6 * i;
                const double* to_i = ahead_to + 6 * i;
                const double lt = norm(Vec3{to_i[0] - so_i[0], to_i[1] - so_i[1], to_i[2] - so_i[2]}) / kSpeedOfLight;
                ahead_t1[i] = et[i] + plan.sigma * lt;
            }
            if (tgt.evaluate(ahead_t1, m, ahead_s1)) return;
        }
        ahead_at = b;
        ahead_n = m;
    }
    // The index of the epoch begun in the read-ahead run, or none.
    bool ahead(std::size_t& k) const noexcept {
        if (at < ahead_at || at - ahead_at >= ahead_n) return false;
        k = at - ahead_at;
        return true;
    }

    Fail target_state(double t, double* st) {
        if (t != tgt_t) {
            tgt_t = kNaN;
            std::size_t k;
            if (plan.fl.light_time && ahead(k) && t == ahead_t1[k])
                std::copy(ahead_s1 + 6 * k, ahead_s1 + 6 * k + 6, tgt_s);
            else if (auto f = state(tgt, t, tgt_s))
                return f;
            tgt_t = t;
        }
        std::copy(tgt_s, tgt_s + 6, st);
        return std::nullopt;
    }
    // The observer's and the target's states at et, kept while et repeats.
    Fail begin(double et) {
        if (std::isnan(et)) return KernelSetError(KernelSetError::Kind::Epoch, "the epoch is NaN");
        if (et == last_et) return std::nullopt;
        last_et = kNaN;
        if (std::size_t k; ahead(k)) {
            std::copy(ahead_so + 6 * k, ahead_so + 6 * k + 6, so);
            std::copy(ahead_to + 6 * k, ahead_to + 6 * k + 6, to);
            if (direct) std::copy(ahead_rel + 6 * k, ahead_rel + 6 * k + 6, rel);
            last_et = et;
            return std::nullopt;
        }
        if (auto f = state(obs, et, so)) return f;
        if (auto f = state(tgt, et, to)) return f;
        if (direct)
            if (auto f = state(*direct, et, rel)) return f;
        last_et = et;
        return std::nullopt;
    }
    // The target's centre at t relative to the observer at last_et, and the
    // target's barycentric state at t into st.
    Fail position(double t, double* st, Vec3& pos) {
        if (direct) {
            pos = Vec3{rel[0], rel[1], rel[2]};
            return std::nullopt;
        }
        if (auto f = target_state(t, st)) return f;
        pos = Vec3{st[0] - so[0], st[1] - so[1], st[2] - so[2]};
        return std::nullopt;
    }
    Fail inside(const Vec3& obspos) const {
        if (plan.target.shape.level(obspos) < 1.0)
            return KernelSetError(KernelSetError::Kind::Value, "the observer is inside the ellipsoid of " +
                                                                   body_label(plan.target.body));
        return std::nullopt;
    }

    // The point's light time as spkcpt gives it for a point fixed on the
    // target: from the geometric distance at et, one step for LT, converged
    // for CN. The J2000 vector observer -> point (geometric, at the target
    // epoch of the last step) into `v`, the light time into `lt`.
    Fail point_light_time(double et, const Vec3& s, Vec3& v, double& lt) {
        const Plan& p = plan;
        if (auto f = rotation(et, false, rr)) return f;
        const Vec3 p0 = direct ? Vec3{rel[0], rel[1], rel[2]} : Vec3{to[0] - so[0], to[1] - so[1], to[2] - so[2]};
        v = add(p0, tmul(rr.r, s));
        lt = p.fl.light_time ? norm(v) / kSpeedOfLight : 0.0;
        if (!p.fl.light_time) return std::nullopt;
        const int steps = p.fl.converged ? kConvergedSteps : 1;
        double st[6];
        for (int k = 0; k < steps; ++k) {
            const double t = et + p.sigma * lt;
            if (auto f = target_state(t, st)) return f;
            if (auto f = rotation(t, false, rr)) return f;
            v = add(Vec3{st[0] - so[0], st[1] - so[1], st[2] - so[2]}, tmul(rr.r, s));
            const double prev = lt;
            lt = norm(v) / kSpeedOfLight;
            const double change = std::fabs(lt - prev);
            if (!(change > 0.0) || change < kConvergence * std::fabs(et) || !(lt > 0.0)) break;
        }
        return std::nullopt;
    }

    // The source's position seen from surface point `s` at t (the point
    // moving with the body, its frame at t: spkcpo with the observer's frame),
    // in the body-fixed frame. `x` is the frame's rotation and rate at t.
    Fail source_from_point(double t, const Vec3& s, const RotationRate& x, Vec3& out) {
        const Plan& p = plan;
        double ct[6], ss[6];
        if (auto f = target_state(t, ct)) return f;
        const Vec3 pr = tmul(x.r, s), pv = tmul(x.dr, s);
        const double pt[6] = {ct[0] + pr[0], ct[1] + pr[1], ct[2] + pr[2], ct[3] + pv[0], ct[4] + pv[1], ct[5] + pv[2]};
        if (auto f = state(*src, t, ss)) return f;
        Vec3 rel{ss[0] - pt[0], ss[1] - pt[1], ss[2] - pt[2]};
        if (p.fl.light_time) {
            double lt = norm(rel) / kSpeedOfLight;
            const int steps = p.fl.converged ? kConvergedSteps : 1;
            for (int k = 0; k < steps && lt > 0.0; ++k) {
                if (auto f = state(*src, t + p.sigma * lt, ss)) return f;
                rel = Vec3{ss[0] - pt[0], ss[1] - pt[1], ss[2] - pt[2]};
                const double prev = lt;
                lt = norm(rel) / kSpeedOfLight;
                const double change = std::fabs(lt - prev);
                if (!(change > 0.0) || change < kConvergence * std::fabs(t)) break;
            }
        }
        if (p.fl.stellar) rel = aberrate(rel, pt + 3, p.fl.transmission);
        out = mul(x.r, rel);
        return std::nullopt;
    }
};

void nan_row(double* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = kNaN;
}

template <class Body>
std::expected<void, BatchFailure> run(const Plan& plan, EpochView ets, unsigned threads,
                                      std::optional<std::int32_t> source, const Body& body) {
    return run_batch(ets.size, threads,
                     [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                         -> std::optional<BatchFailure> {
                         Work w(plan, source);
                         for (std::size_t i = b; i < e; ++i) {
                             if ((i - b) % 256 == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
                             if ((i - b) % Work::kAhead == 0) w.read_ahead(ets, i, std::min(Work::kAhead, e - i));
                             w.at = i;
                             if (auto f = body(w, i, ets[i])) return BatchFailure{i, plan.wrap(*f)};
                         }
                         return std::nullopt;
                     });
}

// ---------------------------------------------------------------------------
// Sub-points

Fail subpoint_one(Work& w, const SubpointQuery& q, double et, Vec3& s, double& epoch, Vec3& srf) {
    const Plan& p = w.plan;
    if (auto f = w.begin(et)) return f;
    const double* so = w.so;
    const auto surface = [&](const Vec3& from) {
        if (q.method == SubpointMethod::NearPoint) return near_point(p.target.shape, from);
        Vec3 out = from;
        ray_intercept(p.target.shape, from, Vec3{-from[0], -from[1], -from[2]}, out);
        return out;
    };
    double lt = 0.0;
    if (p.fl.light_time) lt = norm(Vec3{w.to[0] - so[0], w.to[1] - so[1], w.to[2] - so[2]}) / kSpeedOfLight;
    double st[6];
    Vec3 v{};
    const int steps = p.steps();
    for (int k = 0; k < steps; ++k) {
        const double t = et + p.sigma * lt;
        Vec3 pos;
        if (auto f = w.position(t, st, pos)) return f;
        if (auto f = w.rotation(t, q.solar, w.rr)) return f;
        const Vec3 obspos = mul(w.rr.r, Vec3{-pos[0], -pos[1], -pos[2]});
        if (auto f = w.inside(obspos)) return f;
        if (q.solar) {
            // Under the source as seen from the point itself: a first guess
            // under the source seen from the centre, then fixed-point steps.
            const RotationRate x = w.rr;
            Vec3 dir;
            {
                // The source from the centre with the same correction.
                Vec3 zero{0.0, 0.0, 0.0};
                if (auto f = w.source_from_point(t, zero, x, dir)) return f;
            }
            s = surface(dir);
            for (int j = 0; j < kOffsetSteps; ++j) {
                if (auto f = w.source_from_point(t, s, x, dir)) return f;
                s = surface(add(s, dir));
            }
            srf = sub(s, obspos);
        } else {
            Vec3 shifted = obspos;
            if (p.fl.stellar) {
                Vec3 off{0.0, 0.0, 0.0};
                const Vec3 rel0 = pos;
                off = sub(aberrate(rel0, so + 3, p.fl.transmission), rel0);
                for (int j = 0; j < kOffsetSteps; ++j) {
                    shifted = mul(w.rr.r, Vec3{-pos[0] - off[0], -pos[1] - off[1], -pos[2] - off[2]});
                    s = surface(shifted);
                    const Vec3 g = add(pos, tmul(w.rr.r, s));
                    off = sub(aberrate(g, so + 3, p.fl.transmission), g);
                }
                shifted = mul(w.rr.r, Vec3{-pos[0] - off[0], -pos[1] - off[1], -pos[2] - off[2]});
                if (auto f = w.inside(shifted)) return f;
            }
            s = surface(shifted);
            srf = sub(s, shifted);
        }
        v = add(pos, tmul(w.rr.r, s));
        if (!p.fl.light_time) break;
        const double prev = lt;
        lt = norm(add(s, mul(w.rr.r, pos))) / kSpeedOfLight;
        if (p.fl.converged && std::fabs(lt - prev) < kConvergence * std::fabs(et)) break;
    }
    epoch = et + p.sigma * lt;
    if (q.solar && p.fl.light_time) {
        // The vector: with stellar aberration, the point's apparent vector as
        // spkcpt gives it; else the geometry at the target epoch itself.
        if (p.fl.stellar) {
            double plt = 0.0;
            if (auto f = w.point_light_time(et, s, v, plt)) return f;
            v = aberrate(v, so + 3, p.fl.transmission);
            if (auto f = w.rotation(et + p.sigma * plt, false, w.rr)) return f;
            srf = mul(w.rr.r, v);
        } else {
            Vec3 pos;
            if (auto f = w.position(epoch, st, pos)) return f;
            if (auto f = w.rotation(epoch, false, w.rr)) return f;
            srf = add(s, mul(w.rr.r, pos));
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Illumination

Fail illumination_one(Work& w, double et, const Vec3& s, double& epoch, Vec3& srf, Vec3& angles) {
    const Plan& p = w.plan;
    if (auto f = w.begin(et)) return f;
    Vec3 v;
    double lt = 0.0;
    if (auto f = w.point_light_time(et, s, v, lt)) return f;
    epoch = et + p.sigma * lt;
    if (p.fl.stellar) v = aberrate(v, w.so + 3, p.fl.transmission);
    if (auto f = w.rotation(epoch, true, w.rr)) return f;
    srf = mul(w.rr.r, v);
    Vec3 sun;
    if (auto f = w.source_from_point(epoch, s, w.rr, sun)) return f;
    const Vec3 normal = surface_normal(p.target.shape, s);
    const Vec3 back{-srf[0], -srf[1], -srf[2]};
    angles = Vec3{angle_between(back, sun), angle_between(normal, sun), angle_between(normal, back)};
    return std::nullopt;
}

}  // namespace

std::expected<FramePath, KernelSetError> plan_body_frame(const KernelSnapshot& snap, const SurfaceTarget& target,
                                                         const std::string& label) {
    const Triaxial& e = target.shape;
    if (!e.valid())
        return std::unexpected(KernelSetError(KernelSetError::Kind::Value,
                                              label + ": the radii must be positive and finite, not [" +
                                                  format_double(e.a) + ", " + format_double(e.b) + ", " +
                                                  format_double(e.c) + "]"));
    const FrameNode* node = snap.frames().node(target.frame);
    if (!node)
        return std::unexpected(
            KernelSetError(KernelSetError::Kind::Frame, label + ": unknown frame code " + std::to_string(target.frame)));
    if (node->info.center != target.body)
        return std::unexpected(KernelSetError(KernelSetError::Kind::Frame,
                                              label + ": frame " + node->info.name + " is centred on " +
                                                  body_label(node->info.center) + ", not on the target"));
    auto path = snap.frame_path(1, target.frame);
    if (!path)
        return std::unexpected(KernelSetError(path.error().kind(), label + ": " + path.error().message(),
                                              path.error().os_errno(), path.error().path()));
    FramePath fixed = std::move(*path);
    prepare_path(fixed, &snap.pck_orientation());
    return fixed;
}

std::expected<void, BatchFailure> subpoint_batch(const KernelSnapshot& snap, const SubpointQuery& q, EpochView ets,
                                                 double* points, double* epochs, double* vectors, unsigned threads) {
    Plan plan(snap, q.target, q.observer, q.correction, q.solar ? "sub-solar point" : "sub-observer point");
    if (q.solar && q.correction != Correction::None && correction_flags(q.correction).transmission)
        return std::unexpected(BatchFailure{
            0, KernelSetError(KernelSetError::Kind::Value,
                              plan.label() + ": the sub-solar point takes reception corrections only (NONE, LT, LT+S, "
                                             "CN, CN+S)")});
    if (auto e = prepare(plan)) return std::unexpected(BatchFailure{0, std::move(*e)});
    std::optional<std::int32_t> source;
    if (q.solar) source = q.source;
    return run(plan, ets, threads, source, [&](Work& w, std::size_t i, double et) -> Fail {
        Vec3 s{}, srf{};
        double epoch = 0.0;
        if (auto f = subpoint_one(w, q, et, s, epoch, srf)) return f;
        for (std::size_t c = 0; c < 3; ++c) {
            points[3 * i + c] = s[c];
            vectors[3 * i + c] = srf[c];
        }
        epochs[i] = epoch;
        return std::nullopt;
    });
}

std::expected<void, BatchFailure> intercept_batch(const KernelSnapshot& snap, const InterceptQuery& q, EpochView ets,
                                                  const double* rays, double* points, double* epochs,
                                                  double* vectors, std::uint8_t* found, unsigned threads) {
    Plan plan(snap, q.target, q.observer, q.correction, "ray intercept");
    if (auto e = prepare(plan)) return std::unexpected(BatchFailure{0, std::move(*e)});
    // The ray frame: J2000 -> it is inverted per epoch. A frame that turns
    // is taken at et, or when its centre is seen (et -/+ the centre's light
    // time) for a centre other than the observer, as the toolkit evaluates it.
    auto rp = snap.frame_path(1, q.ray_frame);
    if (!rp) return std::unexpected(BatchFailure{0, plan.wrap(rp.error())});
    FramePath ray_path = *rp;
    prepare_path(ray_path, &snap.pck_orientation());
    const FrameNode* rnode = snap.frames().node(q.ray_frame);
    const std::int32_t rcenter = rnode ? rnode->info.center : q.observer;
    const bool shifted = ray_path.time_dependent && plan.fl.light_time && rcenter != q.observer;
    Correction lt_only = Correction::None;
    if (shifted) {
        const auto& fl = plan.fl;
        lt_only = fl.transmission ? (fl.converged ? Correction::Xcn : Correction::Xlt)
                                  : (fl.converged ? Correction::Cn : Correction::Lt);
    }
    return run(plan, ets, threads, std::nullopt, [&](Work& w, std::size_t i, double et) -> Fail {
        double* pt = points + 3 * i;
        double* vec = vectors + 3 * i;
        const double* ray = rays + 3 * i;
        if (auto f = w.begin(et)) return f;
        // The ray frame's rotation at this epoch, kept while et repeats.
        if (!(w.ray_et == et)) {
            double when = et;
            if (shifted) {
                // The centre's light times for the whole read-ahead run at
                // once (positions only: the same light times as
                // apparent_state's); one epoch at a time where that fails.
                std::size_t k;
                const bool run = w.ahead(k);
                if (run && w.ray_lt_at != w.ahead_at) {
                    w.ray_lt_at = w.ahead_at;
                    const EpochView part{ets.data + static_cast<std::ptrdiff_t>(w.ahead_at) * ets.stride, ets.stride,
                                         w.ahead_n};
                    w.ray_lt_ok = apparent_positions_batch(snap, Endpoint::of_body(rcenter),
                                                           Endpoint::of_body(q.observer), lt_only, part, w.ray_pos,
                                                           w.ray_lt, 1)
                                      .has_value();
                }
                if (run && w.ray_lt_ok) {
                    when = et + plan.sigma * w.ray_lt[k];
                } else {
                    auto a = apparent_state(snap,
                                            ApparentQuery{Endpoint::of_body(rcenter), Endpoint::of_body(q.observer),
                                                          OutputFrame::J2000, lt_only},
                                            et);
                    if (!a) return a.error();
                    when = et + plan.sigma * a->second;
                }
            }
            std::optional<FrameError> err;
            w.ray_et = kNaN;
            if (!evaluate_path(ray_path, &snap.pck_orientation(), when, false, w.ray, err))
                return KernelSnapshot::frame_error(*err);
            w.ray_et = et;
        }
        const Vec3 d{ray[0], ray[1], ray[2]};
        if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2]) || norm(d) == 0.0)
            return KernelSetError(KernelSetError::Kind::Value,
                                  "the ray direction must be finite and non-zero, not [" + format_double(d[0]) + ", " +
                                      format_double(d[1]) + ", " + format_double(d[2]) + "]");
        const Vec3 dj = tmul(w.ray.r, d);
        const Vec3 dg = plan.fl.stellar ? unaberrate(dj, w.so + 3, plan.fl.transmission) : dj;
        const double* so = w.so;
        double lt = 0.0;
        if (plan.fl.light_time) lt = norm(Vec3{w.to[0] - so[0], w.to[1] - so[1], w.to[2] - so[2]}) / kSpeedOfLight;
        double st[6];
        Vec3 s{}, obspos{};
        bool hit = false;
        for (int k = 0; k < plan.steps(); ++k) {
            const double t = et + plan.sigma * lt;
            Vec3 pos;
            if (auto f = w.position(t, st, pos)) return f;
            if (auto f = w.rotation(t, false, w.rr)) return f;
            obspos = mul(w.rr.r, Vec3{-pos[0], -pos[1], -pos[2]});
            if (auto f = w.inside(obspos)) return f;
            hit = ray_intercept(plan.target.shape, obspos, mul(w.rr.r, dg), s);
            if (!hit) break;
            if (!plan.fl.light_time) break;
            const double prev = lt;
            lt = norm(add(s, mul(w.rr.r, pos))) / kSpeedOfLight;
            if (plan.fl.converged && std::fabs(lt - prev) < kConvergence * std::fabs(et)) break;
        }
        found[i] = hit ? 1 : 0;
        if (!hit) {
            nan_row(pt, 3);
            nan_row(vec, 3);
            epochs[i] = kNaN;
            return std::nullopt;
        }
        Vec3 srf = sub(s, obspos);
        if (plan.fl.stellar) {
            // Along the apparent ray, with the geometric length.
            const double len = norm(srf), dl = norm(dj);
            srf = mul(w.rr.r, Vec3{len * (dj[0] / dl), len * (dj[1] / dl), len * (dj[2] / dl)});
        }
        for (std::size_t c = 0; c < 3; ++c) {
            pt[c] = s[c];
            vec[c] = srf[c];
        }
        epochs[i] = et + plan.sigma * lt;
        return std::nullopt;
    });
}

std::expected<void, BatchFailure> illumination_batch(const KernelSnapshot& snap, const IlluminationQuery& q,
                                                     EpochView ets, const double* points, double* epochs,
                                                     double* vectors, double* angles, std::uint8_t* visible,
                                                     std::uint8_t* lit, unsigned threads) {
    Plan plan(snap, q.target, q.observer, q.correction, "illumination angles");
    if (auto e = prepare(plan)) return std::unexpected(BatchFailure{0, std::move(*e)});
    return run(plan, ets, threads, q.source, [&](Work& w, std::size_t i, double et) -> Fail {
        const Vec3 s{points[3 * i], points[3 * i + 1], points[3 * i + 2]};
        if (std::isnan(s[0]) || std::isnan(s[1]) || std::isnan(s[2])) {
            // A ray that missed (intercept_batch's NaN row): NaN angles, neither
            // visible nor lit, so that a backplane passes through.
            epochs[i] = kNaN;
            nan_row(vectors + 3 * i, 3);
            nan_row(angles + 3 * i, 3);
            visible[i] = lit[i] = 0;
            return std::nullopt;
        }
        if (!std::isfinite(s[0]) || !std::isfinite(s[1]) || !std::isfinite(s[2]))
            return KernelSetError(KernelSetError::Kind::Value, "the surface point must be finite, not [" +
                                                                   format_double(s[0]) + ", " + format_double(s[1]) +
                                                                   ", " + format_double(s[2]) + "]");
        Vec3 srf{}, a{};
        double epoch = 0.0;
        if (auto f = illumination_one(w, et, s, epoch, srf, a)) return f;
        for (std::size_t c = 0; c < 3; ++c) {
            vectors[3 * i + c] = srf[c];
            angles[3 * i + c] = a[c];
        }
        epochs[i] = epoch;
        constexpr double right = 0.5 * 3.14159265358979323846;
        visible[i] = a[2] < right ? 1 : 0;
        lit[i] = a[1] < right ? 1 : 0;
        return std::nullopt;
    });
}

}  // namespace kernwerk
