#include "geometry/apparent.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>

namespace kernwerk {

// ---------------------------------------------------------------------------
// Corrections

namespace {

struct CorrectionEntry {
    const char* name;
    Correction value;
};

constexpr CorrectionEntry kCorrections[] = {
    {"NONE", Correction::None}, {"LT", Correction::Lt},     {"LT+S", Correction::LtS},
    {"CN", Correction::Cn},     {"CN+S", Correction::CnS},  {"XLT", Correction::Xlt},
    {"XLT+S", Correction::XltS}, {"XCN", Correction::Xcn},  {"XCN+S", Correction::XcnS},
};

}  // namespace

CorrectionFlags correction_flags(Correction c) noexcept {
    switch (c) {
        case Correction::None: return {};
        case Correction::Lt: return {true, false, false, false};
        case Correction::LtS: return {true, false, true, false};
        case Correction::Cn: return {true, true, false, false};
        case Correction::CnS: return {true, true, true, false};
        case Correction::Xlt: return {true, false, false, true};
        case Correction::XltS: return {true, false, true, true};
        case Correction::Xcn: return {true, true, false, true};
        case Correction::XcnS: return {true, true, true, true};
    }
    return {};
}

std::optional<Correction> parse_correction(std::string_view text) noexcept {
    char buf[8];
    std::size_t n = 0;
    for (char ch : text) {
        if (ch == ' ' || ch == '\t') continue;
        if (n == sizeof buf) return std::nullopt;
        buf[n++] = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    const std::string_view key(buf, n);
    for (const auto& e : kCorrections)
        if (key == e.name) return e.value;
    return std::nullopt;
}

const char* correction_name(Correction c) noexcept {
    for (const auto& e : kCorrections)
        if (e.value == c) return e.name;
    return "?";
}

const char* accepted_corrections() noexcept { return "NONE, LT, LT+S, CN, CN+S, XLT, XLT+S, XCN, XCN+S"; }

// ---------------------------------------------------------------------------
// Batches

namespace {

constexpr std::size_t kBlock = 64;
// The observer's acceleration is the central difference of its velocity
// over et -/+ kAccelerationStep seconds.
constexpr double kAccelerationStep = 1.0;
constexpr std::int32_t kEarth = 399;

std::string site_label(const Vec3& r) {
    return "site [" + format_double(r[0]) + ", " + format_double(r[1]) + ", " + format_double(r[2]) + "] km";
}

std::string endpoint_label(const Endpoint& e) {
    if (!e.is_site) return "body " + std::to_string(e.body);
    if (e.earth_site()) return site_label(e.site);
    return site_label(e.site) + " in frame " + std::to_string(e.frame) + " of body " + std::to_string(e.center);
}

inline double dot3(const double* a, const double* b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm3(const double* a) noexcept { return std::sqrt(dot3(a, a)); }

// |a| scaled by its largest component, as the toolkit computes the
// distances it turns into light times; it rounds differently from norm3,
// and the light-time steps (hence the epochs evaluated) depend on it.
inline double scaled_norm3(const double* a) noexcept {
    const double m = std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])});
    if (!(m > 0.0)) return 0.0;
    const double x = a[0] / m, y = a[1] / m, z = a[2] / m;
    return m * std::sqrt(x * x + y * y + z * z);
}

// Converged light time: the steps stop once lt changes by less than this
// fraction of the epoch's magnitude, below the epoch's own rounding. (Tried
// against the toolkit: stopping only when lt repeats exactly takes a further
// step wherever et -/+ lt falls on the neighbouring double, and the states
// then differ from spkezr's by up to 4e-6 km for the Moon.)
constexpr double kConvergence = 1e-17;

// An endpoint's states relative to the barycenter in J2000. A site fixed
// in a frame other than ITRF93 goes through `path` (J2000 -> its frame,
// planned once per batch).
class Source {
public:
    Source(const KernelSnapshot& snap, const Endpoint& e, const FramePath* path)
        : cursor_(snap, e.is_site ? e.center : e.body, 0, OutputFrame::J2000), site_(e.is_site), r_(e.site),
          snap_(&snap), path_(e.is_site && !e.earth_site() ? path : nullptr) {
        if (site_ && !path_) xf_.emplace(snap);
    }

    // States at ets[0..n) (n <= kBlock) into rows of `out`. A site fixed in
    // ITRF93 takes the J2000 -> ITRF93 transforms into x[0..n) when `x` is
    // given (a caller that needs them again), else only its offsets.
    // With `velocities`, a site fixed in ITRF93 gives its velocities alone
    // (the same bits; positions unspecified).
    std::optional<BatchFailure> eval(const double* ets, std::size_t n, double* out, Mat6* x = nullptr,
                                     bool velocities = false) {
        const bool vel = velocities && site_ && !path_ && !x;
        auto f = vel ? cursor_.evaluate_velocities(ets, n, out) : cursor_.evaluate(ets, n, out);
        if (!site_) return f;
        // The lower of the two failures, if any.
        const std::size_t m = f ? f->index : n;
        if (path_) {
            // [r; 0] from the frame into J2000: (R^T r, dR^T r).
            RotationRate t{};
            std::optional<FrameError> err;
            for (std::size_t i = 0; i < m; ++i) {
                if (!evaluate_path(*path_, &snap_->pck_orientation(), ets[i], true, t, err))
                    return BatchFailure{i, KernelSnapshot::frame_error(*err)};
                double* row = out + 6 * i;
                for (std::size_t c = 0; c < 3; ++c) {
                    row[c] = row[c] + (t.r[0][c] * r_[0] + t.r[1][c] * r_[1] + t.r[2][c] * r_[2]);
                    row[3 + c] = row[3 + c] + (t.dr[0][c] * r_[0] + t.dr[1][c] * r_[1] + t.dr[2][c] * r_[2]);
                }
            }
            return f;
        }
        if (!x) {
            // X^-1 [r, 0] as the transforms' path sums it (site_offsets), the
            // Earth's state added after.
            if (auto g = xf_->site_offsets(ets, m, r_, off_)) return g;
            if (f) return f;
            for (std::size_t i = 0; i < 6 * n; ++i) out[i] = out[i] + off_[i];
            return std::nullopt;
        }
        if (auto g = xf_->evaluate(ets, m, x, false)) return g;
        if (f) return f;
        // X^-1 [r, 0] from the forward transform X = [R 0; dR R]: X^-1 is
        // [R^T 0; dR^T R^T], and its product with [r, 0] summed from 0 as
        // apply_sxform sums it (the three zero terms it adds change no sum
        // that is not itself zero, and the Earth's state is added after).
        for (std::size_t i = 0; i < n; ++i) {
            const Mat6& xi = x[i];
            double* row = out + 6 * i;
            for (std::size_t c = 0; c < 3; ++c) {
                double p = 0.0, v = 0.0;
                for (std::size_t j = 0; j < 3; ++j) {
                    p = p + xi[j][c] * r_[j];
                    v = v + xi[j + 3][c] * r_[j];
                }
                row[c] = row[c] + p;
                row[3 + c] = row[3 + c] + v;
            }
        }
        return std::nullopt;
    }

    // Links to the barycenter evaluated once for both sources where they
    // meet at the same epochs (a site's body and the target at et).
    void share_links(Source& other) { cursor_.share_links(other.cursor_); }

private:
    StateCursor cursor_;
    std::optional<Itrf93Cursor> xf_;
    bool site_;
    Vec3 r_;
    const KernelSnapshot* snap_;
    const FramePath* path_;
    double off_[6 * kBlock];  // site offsets of a block
};

// Position: J2000 positions (3 doubles per epoch) and light times only,
// block_positions below.
enum class Output { State, AzEl, Position };

struct Runner {
    const KernelSnapshot& snap;
    ApparentQuery q;
    Output output = Output::State;
    Mat3 enu{};  // AzEl
    // J2000 -> the output frame, for frames other than J2000, ECLIPJ2000 and
    // ITRF93, and that frame's centre (whose light time dates a frame that
    // turns).
    const FramePath* path = nullptr;
    std::int32_t frame_center = kEarth;
    // J2000 -> the frame of a target or observer site fixed in a frame other
    // than ITRF93.
    const FramePath* target_path = nullptr;
    const FramePath* observer_path = nullptr;
    // The output frame at et whoever observes (azimuth and elevation: the
    // observer's own frame at the instant of observation).
    bool frame_at_et = false;

    CorrectionFlags fl = correction_flags(q.correction);
    double sigma = fl.transmission ? 1.0 : -1.0;  // the target is seen at et + sigma lt

    std::string label() const {
        return std::string(output == Output::AzEl ? "azimuth/elevation of " : "apparent state of ") +
               endpoint_label(q.target) + " seen from " + endpoint_label(q.observer) + " (" +
               correction_name(q.correction) + ")";
    }

    // Per-chunk work space: sources, cursors and block arrays, allocated
    // once per chunk.
    struct Work {
        Source target, observer;
        std::optional<Source> center;          // the Earth, for ITRF93 seen from a body
        std::optional<StateCursor> direct;     // geometric states of body pairs
        std::optional<Itrf93Cursor> frame_xf;  // ITRF93 output
        double et[kBlock], sh[kBlock], lt[kBlock], dlt[kBlock], ltc[kBlock], dltc[kBlock];
        std::size_t act[kBlock];
        double so[6 * kBlock], st[6 * kBlock], tmp[6 * kBlock], p[6 * kBlock], pc[6 * kBlock];
        double acc[3 * kBlock];
        Mat6 x[kBlock];

        Work(const KernelSnapshot& snap, const Runner& r)
            : target(snap, r.q.target, r.target_path), observer(snap, r.q.observer, r.observer_path) {
            const ApparentQuery& q = r.q;
            const bool bodies = !q.target.is_site && !q.observer.is_site;
            if (bodies && !r.fl.light_time && !r.fl.stellar)
                direct.emplace(snap, q.target.body, q.observer.body, OutputFrame::J2000);
            if (q.frame == OutputFrame::Itrf93) frame_xf.emplace(snap);
            if (q.observer.is_site || q.target.is_site) observer.share_links(target);
            const std::int32_t fc = r.frame_center;
            if ((q.frame == OutputFrame::Itrf93 || (r.path && r.path->time_dependent)) && r.fl.light_time &&
                !r.frame_at_et && !q.observer.is_site && q.observer.body != fc && (q.target.is_site || q.target.body != fc))
                center.emplace(snap, Endpoint::of_body(fc), nullptr);
        }
    };

    // Whether the observer's own J2000 -> ITRF93 transforms at et serve
    // the output frame: a site fixed in ITRF93 (not the direct path of two
    // bodies) with ITRF93 output.
    bool observer_xf() const noexcept { return q.frame == OutputFrame::Itrf93 && q.observer.earth_site(); }

    KernelSetError wrap(const KernelSetError& e) const {
        return KernelSetError(e.kind(), label() + ": " + e.message(), e.os_errno(), e.path());
    }

    // The light-time corrected state of `src` relative to the observer
    // (observer states in w.so) at w.et[0..n) into rows of `p`, with the
    // light times and their rates. On failure, the block position of the
    // epoch that failed.
    std::optional<BatchFailure> light_time(Work& w, Source& src, std::size_t n, double* p, double* lt,
                                           double* dlt) const {
        double* st = w.st;
        if (auto f = src.eval(w.et, n, st)) return f;
        for (std::size_t k = 0; k < n; ++k) {
            double* rel = p + 6 * k;
            for (std::size_t c = 0; c < 6; ++c) rel[c] = st[6 * k + c] - w.so[6 * k + c];
            lt[k] = scaled_norm3(rel) / kSpeedOfLight;
            dlt[k] = 0.0;
        }
        if (!fl.light_time) return std::nullopt;

        // Epochs whose light time is 0 (target at the observer) need no
        // correction; the others are stepped until their light time repeats
        // or the steps run out.
        std::size_t na = 0;
        for (std::size_t k = 0; k < n; ++k)
            if (lt[k] > 0.0) w.act[na++] = k;
        const int steps = fl.converged ? kConvergedSteps : 1;
        for (int s = 0; s < steps && na > 0; ++s) {
            for (std::size_t j = 0; j < na; ++j) w.sh[j] = w.et[w.act[j]] + sigma * lt[w.act[j]];
            if (auto f = src.eval(w.sh, na, w.tmp)) {
                f->index = w.act[f->index];
                return f;
            }
            std::size_t m = 0;
            for (std::size_t j = 0; j < na; ++j) {
                const std::size_t k = w.act[j];
                double* rel = p + 6 * k;
                for (std::size_t c = 0; c < 6; ++c) {
                    st[6 * k + c] = w.tmp[6 * j + c];
                    rel[c] = st[6 * k + c] - w.so[6 * k + c];
                }
                const double prev = lt[k];
                lt[k] = scaled_norm3(rel) / kSpeedOfLight;
                const double change = std::fabs(lt[k] - prev);
                if (change > 0.0 && !(change < kConvergence * std::fabs(w.et[k])) && lt[k] > 0.0) w.act[m++] = k;
            }
            na = m;
        }
        // d p / d et = V_T (1 + sigma dlt) - V_O, with
        // dlt = u.(V_T - V_O) / (c - sigma u.V_T).
        for (std::size_t k = 0; k < n; ++k) {
            double* rel = p + 6 * k;
            const double r = norm3(rel);
            if (!(r > 0.0)) continue;
            const double u[3] = {rel[0] / r, rel[1] / r, rel[2] / r};
            const double* vt = st + 6 * k + 3;
            dlt[k] = dot3(u, rel + 3) / (kSpeedOfLight - sigma * dot3(u, vt));
            const double scale = 1.0 + sigma * dlt[k];
            for (std::size_t c = 0; c < 3; ++c) rel[3 + c] = vt[c] * scale - w.so[6 * k + 3 + c];
        }
        return std::nullopt;
    }

    // Stellar aberration of the relative states `p` for the observer's
    // velocity (w.so) and acceleration (w.acc).
    void aberrate(Work& w, std::size_t n, double* p) const {
        const double sign = fl.transmission ? -1.0 : 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            double* s = p + 6 * k;
            const double r = norm3(s);
            if (!(r > 0.0)) continue;
            const double* dp = s + 3;
            const double ww[3] = {sign * w.so[6 * k + 3] / kSpeedOfLight, sign * w.so[6 * k + 4] / kSpeedOfLight,
                                  sign * w.so[6 * k + 5] / kSpeedOfLight};
            const double dw[3] = {sign * w.acc[3 * k] / kSpeedOfLight, sign * w.acc[3 * k + 1] / kSpeedOfLight,
                                  sign * w.acc[3 * k + 2] / kSpeedOfLight};
            const double u[3] = {s[0] / r, s[1] / r, s[2] / r};
            const double dr = dot3(u, dp);
            const double du[3] = {(dp[0] - u[0] * dr) / r, (dp[1] - u[1] * dr) / r, (dp[2] - u[2] * dr) / r};
            // h = u x w, |h| = sin(phi); the rotation of p by phi toward w
            // is p cos(phi) + |p| (w - (u.w) u), since h is normal to p.
            const double h[3] = {u[1] * ww[2] - u[2] * ww[1], u[2] * ww[0] - u[0] * ww[2], u[0] * ww[1] - u[1] * ww[0]};
            const double dh[3] = {du[1] * ww[2] - du[2] * ww[1] + u[1] * dw[2] - u[2] * dw[1],
                                  du[2] * ww[0] - du[0] * ww[2] + u[2] * dw[0] - u[0] * dw[2],
                                  du[0] * ww[1] - du[1] * ww[0] + u[0] * dw[1] - u[1] * dw[0]};
            const double sphi2 = dot3(h, h);
            const double sphi = std::sqrt(sphi2);
            const double cphi = std::sqrt(1.0 - sphi2);
            const double cm1 = -sphi2 / (1.0 + cphi);  // cos(phi) - 1 without cancellation
            const double dcphi = sphi > 0.0 ? -dot3(h, dh) / cphi : 0.0;
            const double uw = dot3(u, ww);
            const double duw = dot3(du, ww) + dot3(u, dw);
            double corr[3], dcorr[3];
            for (std::size_t c = 0; c < 3; ++c) {
                const double t = ww[c] - uw * u[c];
                corr[c] = s[c] * cm1 + r * t;
                dcorr[c] = dp[c] * cm1 + s[c] * dcphi + dr * t + r * (dw[c] - duw * u[c] - uw * du[c]);
            }
            for (std::size_t c = 0; c < 3; ++c) {
                s[c] = s[c] + corr[c];
                s[3 + c] = s[3 + c] + dcorr[c];
            }
        }
    }

    // Epochs w.et[0..n) into rows [i, i + n) of the outputs. On failure,
    // the block position of the epoch that failed.
    std::optional<BatchFailure> block(Work& w, std::size_t n, double* out, double* lts) const {
        double* p = w.p;
        if (w.direct) {
            if (auto f = w.direct->evaluate(w.et, n, p)) return f;
            for (std::size_t k = 0; k < n; ++k) w.lt[k] = scaled_norm3(p + 6 * k) / kSpeedOfLight;
        } else {
            // An observer fixed in ITRF93 with ITRF93 output: its transforms
            // at et are the output's (below), kept in w.x.
            if (auto f = w.observer.eval(w.et, n, w.so, observer_xf() ? w.x : nullptr)) return f;
            if (fl.stellar) {
                // The observer's acceleration, before w.x and w.st are reused.
                // Only velocities are read: a site's come alone.
                for (std::size_t k = 0; k < n; ++k) w.sh[k] = w.et[k] - kAccelerationStep;
                if (auto f = w.observer.eval(w.sh, n, w.tmp, nullptr, true)) return f;
                for (std::size_t k = 0; k < n; ++k)
                    for (std::size_t c = 0; c < 3; ++c) w.acc[3 * k + c] = w.tmp[6 * k + 3 + c];
                for (std::size_t k = 0; k < n; ++k) w.sh[k] = w.et[k] + kAccelerationStep;
                if (auto f = w.observer.eval(w.sh, n, w.tmp, nullptr, true)) return f;
                constexpr double half = 0.5 / kAccelerationStep;
                for (std::size_t k = 0; k < n; ++k)
                    for (std::size_t c = 0; c < 3; ++c)
                        w.acc[3 * k + c] = half * w.tmp[6 * k + 3 + c] - half * w.acc[3 * k + c];
            }
            if (auto f = light_time(w, w.target, n, p, w.lt, w.dlt)) return f;
            if (fl.stellar) aberrate(w, n, p);
        }

        switch (q.frame) {
            case OutputFrame::J2000: break;
            case OutputFrame::EclipJ2000:
                for (std::size_t k = 0; k < n; ++k) {
                    double* row = p + 6 * k;
                    const State s = rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000,
                                                 State{row[0], row[1], row[2], row[3], row[4], row[5]});
                    std::copy(s.begin(), s.end(), row);
                }
                break;
            case OutputFrame::Itrf93: {
                // The epoch at which the Earth's center is seen, and the rate
                // of that epoch.
                const bool shifted = fl.light_time && !frame_at_et && !q.observer.is_site && q.observer.body != kEarth;
                if (shifted && !q.target.is_site && q.target.body == kEarth) {
                    std::copy(w.lt, w.lt + n, w.ltc);
                    std::copy(w.dlt, w.dlt + n, w.dltc);
                } else if (shifted) {
                    if (auto f = light_time(w, *w.center, n, w.pc, w.ltc, w.dltc)) return f;
                } else {
                    std::fill(w.ltc, w.ltc + n, 0.0);
                    std::fill(w.dltc, w.dltc + n, 0.0);
                }
                // From an observer fixed in ITRF93 the Earth's center is not
                // shifted (ltc is 0, so sh is et): w.x holds the transforms.
                if (!observer_xf()) {
                    for (std::size_t k = 0; k < n; ++k) w.sh[k] = w.et[k] + sigma * w.ltc[k];
                    if (auto f = w.frame_xf->evaluate(w.sh, n, w.x, false)) return f;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    Mat6& x = w.x[k];
                    if (w.dltc[k] != 0.0) {
                        const double scale = 1.0 + sigma * w.dltc[k];
                        for (std::size_t i = 3; i < 6; ++i)
                            for (std::size_t j = 0; j < 3; ++j) x[i][j] = x[i][j] * scale;
                    }
                    double* row = p + 6 * k;
                    const State s = apply_sxform(x, State{row[0], row[1], row[2], row[3], row[4], row[5]});
                    std::copy(s.begin(), s.end(), row);
                }
                break;
            }
            default: {
                // Any other frame: one that turns is taken when its centre is
                // seen, as ITRF93 is; a fixed one at et.
                const std::int32_t fc = frame_center;
                const bool shifted = path->time_dependent && fl.light_time && !frame_at_et && !q.observer.is_site &&
                                     q.observer.body != fc;
                if (shifted && !q.target.is_site && q.target.body == fc) {
                    std::copy(w.lt, w.lt + n, w.ltc);
                    std::copy(w.dlt, w.dlt + n, w.dltc);
                } else if (shifted) {
                    if (auto f = light_time(w, *w.center, n, w.pc, w.ltc, w.dltc)) return f;
                } else {
                    std::fill(w.ltc, w.ltc + n, 0.0);
                    std::fill(w.dltc, w.dltc + n, 0.0);
                }
                RotationRate x{};
                std::optional<FrameError> err;
                for (std::size_t k = 0; k < n; ++k) {
                    if (!evaluate_path(*path, &snap.pck_orientation(), w.et[k] + sigma * w.ltc[k], true, x, err))
                        return BatchFailure{k, KernelSnapshot::frame_error(*err)};
                    if (w.dltc[k] != 0.0) {
                        const double scale = 1.0 + sigma * w.dltc[k];
                        for (std::size_t i = 0; i < 3; ++i)
                            for (std::size_t j = 0; j < 3; ++j) x.dr[i][j] = x.dr[i][j] * scale;
                    }
                    double* row = p + 6 * k;
                    double o[6];
                    for (std::size_t i = 0; i < 3; ++i) {
                        o[i] = x.r[i][0] * row[0] + x.r[i][1] * row[1] + x.r[i][2] * row[2];
                        o[i + 3] = x.dr[i][0] * row[0] + x.dr[i][1] * row[1] + x.dr[i][2] * row[2] +
                                   x.r[i][0] * row[3] + x.r[i][1] * row[4] + x.r[i][2] * row[5];
                    }
                    std::copy(o, o + 6, row);
                }
                break;
            }
        }

        if (output == Output::State) {
            std::copy(p, p + 6 * n, out);
        } else {
            for (std::size_t k = 0; k < n; ++k) azel_row(p + 6 * k, out + 6 * k);
        }
        if (lts) std::copy(w.lt, w.lt + n, lts);
        return std::nullopt;
    }

    // Stellar aberration of the positions alone: the position terms of
    // aberrate(), in its order, so that they agree with apparent states bit
    // for bit; no rates, hence no acceleration of the observer.
    void aberrate_positions(Work& w, std::size_t n, double* p) const {
        const double sign = fl.transmission ? -1.0 : 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            double* s = p + 6 * k;
            const double r = norm3(s);
            if (!(r > 0.0)) continue;
            const double ww[3] = {sign * w.so[6 * k + 3] / kSpeedOfLight, sign * w.so[6 * k + 4] / kSpeedOfLight,
                                  sign * w.so[6 * k + 5] / kSpeedOfLight};
            const double u[3] = {s[0] / r, s[1] / r, s[2] / r};
            const double h[3] = {u[1] * ww[2] - u[2] * ww[1], u[2] * ww[0] - u[0] * ww[2], u[0] * ww[1] - u[1] * ww[0]};
            const double sphi2 = dot3(h, h);
            const double cphi = std::sqrt(1.0 - sphi2);
            const double cm1 = -sphi2 / (1.0 + cphi);
            const double uw = dot3(u, ww);
            double corr[3];
            for (std::size_t c = 0; c < 3; ++c) {
                const double t = ww[c] - uw * u[c];
                corr[c] = s[c] * cm1 + r * t;
            }
            for (std::size_t c = 0; c < 3; ++c) s[c] = s[c] + corr[c];
        }
    }

    // block() for Output::Position (J2000 only): the positions of its states
    // and their light times, without the observer's acceleration (two
    // observer states per epoch under +S) or the aberration's rate.
    std::optional<BatchFailure> block_positions(Work& w, std::size_t n, double* out, double* lts) const {
        double* p = w.p;
        if (w.direct) {
            if (auto f = w.direct->evaluate(w.et, n, p)) return f;
            for (std::size_t k = 0; k < n; ++k) w.lt[k] = scaled_norm3(p + 6 * k) / kSpeedOfLight;
        } else {
            if (auto f = w.observer.eval(w.et, n, w.so)) return f;
            if (auto f = light_time(w, w.target, n, p, w.lt, w.dlt)) return f;
            if (fl.stellar) aberrate_positions(w, n, p);
        }
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t c = 0; c < 3; ++c) out[3 * k + c] = p[6 * k + c];
        if (lts) std::copy(w.lt, w.lt + n, lts);
        return std::nullopt;
    }

    // The block of the output asked for, into rows of `out` (3 or 6 doubles).
    std::optional<BatchFailure> any_block(Work& w, std::size_t n, double* out, double* lts) const {
        if (output == Output::Position) return block_positions(w, n, out, lts);
        return block(w, n, out, lts);
    }
    std::size_t width() const noexcept { return output == Output::Position ? 3 : 6; }

    // Azimuth, elevation, range and their rates from an ITRF93 state.
    void azel_row(const double* s, double* o) const {
        double l[6];
        for (std::size_t i = 0; i < 3; ++i) {
            l[i] = enu[i][0] * s[0] + enu[i][1] * s[1] + enu[i][2] * s[2];
            l[3 + i] = enu[i][0] * s[3] + enu[i][1] * s[4] + enu[i][2] * s[5];
        }
        const double e = l[0], nn = l[1], u = l[2], de = l[3], dn = l[4], du = l[5];
        const double rho2 = e * e + nn * nn, rho = std::sqrt(rho2);
        const double r = std::sqrt(rho2 + u * u);
        double az = 0.0, daz = std::numeric_limits<double>::quiet_NaN();
        if (rho > 0.0) {
            az = std::atan2(e, nn);
            if (az < 0.0) az += 2.0 * std::numbers::pi;
            if (az >= 2.0 * std::numbers::pi) az = 0.0;
            daz = (nn * de - e * dn) / rho2;
        }
        const double el = std::atan2(u, rho);
        const double dr = r > 0.0 ? (e * de + nn * dn + u * du) / r : 0.0;
        const double del =
            rho > 0.0 ? (du * rho2 - u * (e * de + nn * dn)) / (r * r * rho) : std::numeric_limits<double>::quiet_NaN();
        o[0] = az;
        o[1] = el;
        o[2] = r;
        o[3] = daz;
        o[4] = del;
        o[5] = dr;
    }

    std::optional<BatchFailure> run(EpochView ets, std::size_t b, std::size_t e, double* out, double* lts,
                                    const std::atomic<std::size_t>& lowest) const {
        auto w = std::make_unique<Work>(snap, *this);
        std::size_t i = b;
        while (i < e) {
            if (lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
            std::size_t n = 0;
            while (n < kBlock && i + n < e) {
                const double et = ets[i + n];
                if (std::isnan(et)) break;
                w->et[n++] = et;
            }
            if (n == 0)
                return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch, label() + ": the epoch is NaN")};
            if (auto f = any_block(*w, n, out + width() * i, lts ? lts + i : nullptr)) {
                // Steps fail epoch by epoch over the block: the lowest index
                // that fails is found one epoch at a time.
                std::size_t first = f->index;
                KernelSetError err = std::move(f->error);
                double ets_block[kBlock];
                std::copy(w->et, w->et + n, ets_block);
                for (std::size_t k = 0; k < first; ++k) {
                    w->et[0] = ets_block[k];
                    if (auto g = any_block(*w, 1, out + width() * (i + k), lts ? lts + i + k : nullptr)) {
                        first = k;
                        err = std::move(g->error);
                        break;
                    }
                }
                return BatchFailure{i + first, wrap(err)};
            }
            i += n;
        }
        return std::nullopt;
    }
};

std::expected<void, BatchFailure> run_query(const Runner& given, EpochView ets, double* out, double* lts,
                                            unsigned threads) {
    if (auto c = check_query(given.q); !c) return std::unexpected(BatchFailure{0, std::move(c.error())});
    Runner runner = given;
    std::optional<FramePath> path;
    const auto code = static_cast<std::int32_t>(given.q.frame);
    if (!output_frame_from_code(code)) {
        auto p = given.snap.frame_path(1, code);
        if (!p) return std::unexpected(BatchFailure{0, given.wrap(p.error())});
        path = *p;
        prepare_path(*path, &given.snap.pck_orientation());
        runner.path = &*path;
        runner.frame_center = given.snap.frames().node(code)->info.center;
    }
    // Sites fixed in frames other than ITRF93: their frames planned once.
    std::optional<FramePath> site_paths[2];
    const Endpoint* ends[2] = {&given.q.target, &given.q.observer};
    const FramePath** slots[2] = {&runner.target_path, &runner.observer_path};
    for (int i = 0; i < 2; ++i) {
        if (!ends[i]->is_site || ends[i]->earth_site()) continue;
        auto p = given.snap.frame_path(1, ends[i]->frame);
        if (!p) return std::unexpected(BatchFailure{0, given.wrap(p.error())});
        site_paths[i] = *p;
        prepare_path(*site_paths[i], &given.snap.pck_orientation());
        *slots[i] = &*site_paths[i];
    }
    return run_batch(ets.size, threads,
                     [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest) {
                         return runner.run(ets, b, e, out, lts, lowest);
                     });
}

}  // namespace

std::expected<void, KernelSetError> check_query(const ApparentQuery& q) {
    for (const Endpoint* e : {&q.target, &q.observer}) {
        if (!e->is_site) continue;
        for (double c : e->site)
            if (!std::isfinite(c))
                return std::unexpected(KernelSetError(KernelSetError::Kind::Value,
                                                      "a site's position must be finite, not " + site_label(e->site)));
    }
    return {};
}

std::expected<void, BatchFailure> apparent_batch(const KernelSnapshot& snap, const ApparentQuery& q, EpochView ets,
                                                 double* states, double* light_times, unsigned threads) {
    const Runner runner{snap, q};
    return run_query(runner, ets, states, light_times, threads);
}

std::expected<void, BatchFailure> apparent_positions_batch(const KernelSnapshot& snap, const Endpoint& target,
                                                           const Endpoint& observer, Correction correction,
                                                           EpochView ets, double* positions, double* light_times,
                                                           unsigned threads) {
    const Runner runner{snap, ApparentQuery{target, observer, OutputFrame::J2000, correction}, Output::Position};
    return run_query(runner, ets, positions, light_times, threads);
}

std::expected<std::pair<State, double>, KernelSetError> apparent_state(const KernelSnapshot& snap,
                                                                       const ApparentQuery& q, double et) {
    std::pair<State, double> out;
    auto r = apparent_batch(snap, q, EpochView{&et, 1, 1}, out.first.data(), &out.second, 1);
    if (!r) return std::unexpected(std::move(r.error().error));
    return out;
}

std::expected<void, BatchFailure> azel_batch(const KernelSnapshot& snap, const Endpoint& target, const Vec3& site,
                                             const Mat3& enu, Correction correction, EpochView ets, double* out,
                                             double* light_times, unsigned threads) {
    const Runner runner{snap, ApparentQuery{target, Endpoint::of_site(site), OutputFrame::Itrf93, correction},
                        Output::AzEl, enu};
    return run_query(runner, ets, out, light_times, threads);
}

std::expected<void, BatchFailure> azel_batch(const KernelSnapshot& snap, const Endpoint& target,
                                             const Endpoint& observer, std::int32_t frame, const Mat3& local,
                                             Correction correction, EpochView ets, double* out, double* light_times,
                                             unsigned threads) {
    Runner runner{snap, ApparentQuery{target, observer, static_cast<OutputFrame>(frame), correction}, Output::AzEl,
                  local};
    runner.frame_at_et = true;
    return run_query(runner, ets, out, light_times, threads);
}

}  // namespace kernwerk
