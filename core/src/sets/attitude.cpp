#include "sets/attitude.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>

#include "base/parallel.hpp"

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

namespace {

bool readable(const CkSegment& s) noexcept {
    return s.data_type == 1 || s.data_type == 2 || s.data_type == 3 || s.data_type == 5;
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
    // rotation from the frame asked for into its own frame.
    struct Planned {
        const CkSegment* seg;
        bool rotate;
        Mat3 m;  // ref_frame -> segment frame
    };
    std::vector<Planned> plan;
    std::map<std::int32_t, std::optional<Mat3>> rotations;
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
                std::optional<Mat3> m;
                if (own && own->info.frame_class == 1 && asked->info.frame_class == 1) {
                    auto path = snap.frame_path(ref_frame, s.ref_frame);
                    if (!path) return std::unexpected(BatchFailure{0, path.error()});
                    auto rr = evaluate_path(*path, &snap.pck_orientation(), 0.0, false);
                    if (rr) m = rr->r;
                }
                it = rotations.emplace(s.ref_frame, m).first;
            }
            if (!it->second)
                return std::unexpected(BatchFailure{
                    0, KernelSetError(KernelSetError::Kind::Frame,
                                      "CK segment \"" + s.name + "\" of instrument " + std::to_string(instrument) +
                                          " gives pointing relative to " + frames.name_of(s.ref_frame) +
                                          "; relative to " + frames.name_of(ref_frame) +
                                          " it needs the epoch of each request (ask in the segment's frame or "
                                          "another inertial frame)")});
            p.m = *it->second;
        }
        plan.push_back(p);
    }
    const std::size_t n = ticks.size;
    std::vector<std::size_t> failed;  // per chunk: first request of an unreadable type
    const unsigned t = threads ? threads : (n >= 4096 ? usable_cores() : 1);
    const std::size_t chunks = chunk_count(n, t, 1024);
    failed.assign(chunks, n);
    std::vector<const CkSegment*> failed_seg(chunks, nullptr);
    const std::size_t rw = out.quaternions ? 4 : 9;
    for_each_chunk(n, chunks, t, [&](std::size_t c, std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const double x = ticks[i];
            std::optional<CkPointing> got;
            const Planned* used = nullptr;
            for (const Planned& p : plan) {
                const CkSegment& s = *p.seg;
                if (!(s.start - tol <= x && x <= s.end + tol)) continue;
                if (!readable(s)) {
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
            if (used->rotate) {
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
        if (failed[c] < n)
            return std::unexpected(BatchFailure{
                failed[c], KernelSetError(KernelSetError::Kind::FileFormat,
                                          "CK segment \"" + failed_seg[c]->name + "\" of instrument " +
                                              std::to_string(instrument) + " is of data type " +
                                              std::to_string(failed_seg[c]->data_type) +
                                              ", which kernwerk does not read yet")});
    return {};
}

}  // namespace kernwerk
