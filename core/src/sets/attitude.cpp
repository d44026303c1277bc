#include "sets/attitude.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/parallel.hpp"
#include "sclk/sclk.hpp"

namespace kernwerk {

std::vector<CkSegmentRef> ck_segments(const KernelSnapshot& snap) {
    std::vector<CkSegmentRef> out;
    const auto& files = snap.files();
    for (std::size_t f = files.size(); f-- > 0;)
        if (const CkFile* ck = files[f].kernel->ck.get()) {
            const auto& segs = ck->segments();
            for (std::size_t s = segs.size(); s-- > 0;)
                out.push_back(CkSegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
        }
    return out;
}

std::vector<std::int32_t> ck_objects(const KernelSnapshot& snap) {
    std::vector<std::int32_t> out;
    for (const CkSegmentRef& r : ck_segments(snap)) out.push_back(r.segment->instrument);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::pair<double, double>> ck_coverage(const KernelSnapshot& snap, std::int32_t instrument,
                                                   bool intervals, double tol, bool need_av) {
    std::vector<std::pair<double, double>> ivs;
    for (const CkSegmentRef& r : ck_segments(snap)) {
        const CkSegment& s = *r.segment;
        if (s.instrument != instrument || (need_av && !s.has_av)) continue;
        if (!intervals) {
            ivs.emplace_back(s.start, s.end);
            continue;
        }
        for (auto [a, b] : s.intervals()) ivs.emplace_back(a - tol, b + tol);
    }
    return merge_intervals(std::move(ivs));
}

std::optional<std::int32_t> ck_spk_object(const KernelSnapshot& snap, std::int32_t class_id) {
    const PoolVariable* v = snap.pool().find("CK_" + std::to_string(class_id) + "_SPK");
    if (!v || v->is_text || v->numbers.empty()) return std::nullopt;
    const double x = v->numbers[0];
    if (!(std::fabs(x) < 2147483648.0) || x != std::floor(x)) return std::nullopt;
    return static_cast<std::int32_t>(x);
}

std::optional<CkFrameObject> ck_frame_object(const KernelSnapshot& snap, std::int32_t frame) {
    const FrameCatalog& frames = snap.frames();
    const FrameNode* node = frames.node(frame);
    for (std::size_t depth = 0; node && depth < kMaxFrameDepth; ++depth) {
        if (node->info.frame_class == 3) {
            return CkFrameObject{node->info.code, node->info.class_id, ck_spk_object(snap, node->info.class_id)};
        }
        if (node->info.frame_class != 4 || node->kind != FrameNode::Kind::Fixed) return std::nullopt;
        node = frames.node(node->parent);
    }
    return std::nullopt;
}

namespace {

// a^T b.
Mat3 mtxm_of(const Mat3& a, const Mat3& b) noexcept {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[0][i] * b[0][j] + a[1][i] * b[1][j] + a[2][i] * b[2][j];
    return r;
}

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

std::expected<void, BatchFailure> ck_pointing_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                    EpochView ticks, double tol, std::int32_t ref_frame, bool need_av,
                                                    const CkBatchOutput& out, unsigned threads) {
    if (!(tol >= 0))
        return std::unexpected(BatchFailure{0, KernelSetError(KernelSetError::Kind::Value,
                                                              "the tolerance must be a number of ticks not below 0, not " +
                                                                  number(tol))});
    // The plan: the instrument's segments in precedence order, each with the
    // rotation from the frame asked for into its own frame: fixed between
    // inertial frames, else a frame path evaluated at the ET of each answer
    // (by the instrument's clock, as the toolkit's ckgp converts).
    struct Planned {
        const CkSegment* seg;
        bool rotate;
        Mat3 m;                          // ref_frame -> segment frame, when fixed
        const FramePath* path = nullptr;  // ref_frame -> segment frame, when it turns
    };
    std::vector<Planned> plan;
    std::map<std::int32_t, std::optional<Mat3>> rotations;
    std::map<std::int32_t, FramePath> paths;
    std::unique_ptr<timescale::LeapSeconds> lsk;
    std::optional<SclkClock> clock;
    std::string clock_error;
    const FrameCatalog& frames = snap.frames();
    const FrameNode* asked = frames.node(ref_frame);
    if (!asked)
        return std::unexpected(BatchFailure{0, KernelSetError(KernelSetError::Kind::Frame,
                                                              "pointing asked relative to frame code " +
                                                                  std::to_string(ref_frame) + ", which no kernel defines")});
    for (const CkSegmentRef& r : ck_segments(snap)) {
        const CkSegment& s = *r.segment;
        if (s.instrument != instrument || (need_av && !s.has_av)) continue;
        Planned p{&s, s.ref_frame != ref_frame, {}};
        if (p.rotate) {
            auto it = rotations.find(s.ref_frame);
            if (it == rotations.end()) {
                const FrameNode* own = frames.node(s.ref_frame);
                auto path = snap.frame_path(ref_frame, s.ref_frame);
                if (!path) return std::unexpected(BatchFailure{0, path.error()});
                std::optional<Mat3> m;
                if (own && own->info.frame_class == 1 && asked->info.frame_class == 1) {
                    auto rr = evaluate_path(*path, &snap.pck_orientation(), 0.0, false);
                    if (rr) m = rr->r;
                }
                if (!m) {
                    prepare_path(*path, &snap.pck_orientation());
                    paths.emplace(s.ref_frame, std::move(*path));
                }
                it = rotations.emplace(s.ref_frame, m).first;
            }
            if (it->second) {
                p.m = *it->second;
            } else {
                p.path = &paths.at(s.ref_frame);
                if (!clock && clock_error.empty()) {
                    if (const LeapSecondsFields* f = snap.leapseconds())
                        if (auto model = timescale::LeapSeconds::from_fields(*f))
                            lsk = std::make_unique<timescale::LeapSeconds>(std::move(*model));
                    std::int32_t id = instrument <= -1000 ? instrument / 1000 : instrument;
                    const std::string var = "CK_" + std::to_string(instrument) + "_SCLK";
                    if (const PoolVariable* v = snap.pool().find(var); v && !v->is_text && !v->numbers.empty())
                        id = static_cast<std::int32_t>(v->numbers[0]);
                    auto c = SclkClock::from_pool(snap.pool(), id, lsk.get());
                    if (c)
                        clock = std::move(*c);
                    else
                        clock_error = c.error().message();
                }
                if (!clock)
                    return std::unexpected(BatchFailure{
                        0, KernelSetError(KernelSetError::Kind::MissingKernel,
                                          "pointing of instrument " + std::to_string(instrument) + " relative to " +
                                              frames.name_of(ref_frame) + " needs the epoch of each answer: " +
                                              clock_error)});
            }
        }
        plan.push_back(p);
    }
    const std::size_t n = ticks.size;
    std::vector<std::size_t> failed;  // per chunk: first request of an unreadable type
    const unsigned t = threads ? threads : (n >= 4096 ? usable_cores() : 1);
    const std::size_t chunks = chunk_count(n, t, 1024);
    failed.assign(chunks, n);
    std::vector<const CkSegment*> failed_seg(chunks, nullptr);
    std::vector<std::string> failed_msg(chunks);
    const std::size_t rw = out.quaternions ? 4 : 9;
    for_each_chunk(n, chunks, t, [&](std::size_t c, std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const double x = ticks[i];
            std::optional<CkPointing> got;
            const Planned* used = nullptr;
            for (const Planned& p : plan) {
                const CkSegment& s = *p.seg;
                if (!(s.start - tol <= x && x <= s.end + tol)) continue;
                if (!s.readable()) {
                    failed[c] = i;
                    failed_seg[c] = &s;
                    return;
                }
                got = s.evaluate(x, tol);
                if (got) {
                    used = &p;
                    break;
                }
            }
            double* rot = out.rotations + rw * i;
            if (!got) {
                std::fill(rot, rot + rw, 0.0);
                if (out.av) std::fill(out.av + 3 * i, out.av + 3 * i + 3, 0.0);
                if (out.clock) out.clock[i] = 0;
                out.found[i] = 0;
                continue;
            }
            Mat3 cm = got->cmat;
            std::array<double, 3> av = got->av;
            if (used->path) {
                // The frame asked for turns: its rotation at the answer's ET;
                // angular velocity gains the segment frame's own relative to it.
                const double et = clock->ticks_to_et_or_nan(got->clock);
                RotationRate x{};
                std::optional<FrameError> ferr;
                if (std::isnan(et) || !evaluate_path(*used->path, &snap.pck_orientation(), et, need_av, x, ferr)) {
                    failed[c] = i;
                    failed_msg[c] = std::isnan(et) ? "ticks " + number(got->clock) + " lie outside spacecraft clock " +
                                                         std::to_string(clock->id())
                                                   : ferr->message();
                    return;
                }
                const Mat3& m = x.r;
                cm = mxm3(cm, m);
                std::array<double, 3> a = {m[0][0] * av[0] + m[1][0] * av[1] + m[2][0] * av[2],
                                           m[0][1] * av[0] + m[1][1] * av[1] + m[2][1] * av[2],
                                           m[0][2] * av[0] + m[1][2] * av[1] + m[2][2] * av[2]};
                if (need_av) {
                    // [w]x = -m^T dm: the segment frame's angular velocity relative to the asked one.
                    const Mat3 wx = mtxm_of(m, x.dr);
                    a[0] += -wx[2][1];
                    a[1] += -wx[0][2];
                    a[2] += -wx[1][0];
                }
                av = a;
            } else if (used->rotate) {
                cm = mxm3(cm, used->m);
                const Mat3& m = used->m;  // av in the asked frame: m^T av
                av = {m[0][0] * av[0] + m[1][0] * av[1] + m[2][0] * av[2],
                      m[0][1] * av[0] + m[1][1] * av[1] + m[2][1] * av[2],
                      m[0][2] * av[0] + m[1][2] * av[1] + m[2][2] * av[2]};
            }
            if (out.quaternions) {
                const auto q = ck_matrix_to_quaternion(cm);
                std::copy(q.begin(), q.end(), rot);
            } else {
                for (int r = 0; r < 3; ++r)
                    for (int k = 0; k < 3; ++k) rot[3 * r + k] = cm[r][k];
            }
            if (out.av) std::copy(av.begin(), av.end(), out.av + 3 * i);
            if (out.clock) out.clock[i] = got->clock;
            out.found[i] = 1;
        }
    });
    for (std::size_t c = 0; c < chunks; ++c)
        if (failed[c] < n && !failed_msg[c].empty())
            return std::unexpected(BatchFailure{
                failed[c], KernelSetError(KernelSetError::Kind::Coverage,
                                          "pointing of instrument " + std::to_string(instrument) + " relative to " +
                                              frames.name_of(ref_frame) + ": " + failed_msg[c])});
        else if (failed[c] < n)
            return std::unexpected(BatchFailure{
                failed[c], KernelSetError(KernelSetError::Kind::FileFormat,
                                          "CK segment \"" + failed_seg[c]->name + "\" of instrument " +
                                              std::to_string(instrument) + " is of data type " +
                                              std::to_string(failed_seg[c]->data_type) +
                                              ", which kernwerk does not read yet")});
    return {};
}

}  // namespace kernwerk
