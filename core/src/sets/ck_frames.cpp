// CK frames of a snapshot: clocks, segments and the paths to the segments'
// frames, prepared once per class id and kept for the snapshot's life.
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sclk/sclk.hpp"
#include "sets/attitude.hpp"
#include "sets/internal.hpp"

namespace kernwerk {

namespace {

struct PreparedCk {
    std::int32_t class_id = 0;
    std::optional<std::int32_t> object;      // CK_<class id>_SPK: the ephemeris object the frame is tied to
    std::vector<const CkSegment*> segments;  // of the class id, highest precedence first
    std::optional<SclkClock> clock;
    std::string clock_error;  // when there is no clock
    std::map<std::int32_t, std::expected<FramePath, KernelSetError>> paths;  // J2000 -> a segment's frame
};

// Nesting of CK frames evaluated inside one another (a segment referred to
// another CK frame); a definition that refers back to itself stops here.
thread_local int g_depth = 0;

std::string fmt(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

class SnapshotCkSource final : public CkOrientationSource {
public:
    explicit SnapshotCkSource(const KernelSnapshot& snap) : snap_(snap) {
        if (const LeapSecondsFields* f = snap.leapseconds()) {
            auto m = timescale::LeapSeconds::from_fields(*f);
            if (m) lsk_ = std::make_unique<timescale::LeapSeconds>(std::move(*m));
        }
    }

    const void* prepare(std::int32_t class_id) const noexcept override {
        // Recursive: planning the path to a segment's frame prepares the CK
        // frames on it, which may lead back here (even to this class id,
        // whose entry is then found half built; evaluation stops such loops).
        std::lock_guard lock(mutex_);
        auto it = prepared_.find(class_id);
        if (it != prepared_.end()) return it->second.get();
        PreparedCk* p = nullptr;
        try {
            p = prepared_.emplace(class_id, std::make_unique<PreparedCk>()).first->second.get();
        } catch (...) {
            static const PreparedCk kNone{0, std::nullopt, {}, std::nullopt, "out of memory", {}};
            return &kNone;
        }
        p->class_id = class_id;
        try {
            std::int32_t clock = class_id <= -1000 ? class_id / 1000 : class_id;
            const std::string var = "CK_" + std::to_string(class_id) + "_SCLK";
            if (const PoolVariable* v = snap_.pool().find(var); v && !v->is_text && !v->numbers.empty())
                clock = static_cast<std::int32_t>(v->numbers[0]);
            p->object = ck_spk_object(snap_, class_id);
            auto c = SclkClock::from_pool(snap_.pool(), clock, lsk_.get());
            if (c)
                p->clock = std::move(*c);
            else
                p->clock_error = c.error().message();
            for (const CkSegmentRef& r : ck_segments(snap_)) {
                if (r.segment->instrument != class_id) continue;
                p->segments.push_back(r.segment);
                const std::int32_t ref = r.segment->ref_frame;
                if (ref != 1 && !p->paths.count(ref)) {
                    auto path = snap_.frame_path(1, ref);
                    if (path) prepare_path(*path, &snap_.pck_orientation());
                    p->paths.emplace(ref, std::move(path));
                }
            }
        } catch (...) {
            p->clock.reset();
            p->clock_error = "out of memory";
        }
        return p;
    }

    bool orientation(const void* prepared, const FrameNode& node, double et, bool rates, RotationRate& out,
                     std::optional<FrameError>& err) const override {
        const auto& p = *static_cast<const PreparedCk*>(prepared);
        const auto label = [&] {
            return "CK frame " + node.info.name + " (" + std::to_string(node.info.code) + ", class id " +
                   std::to_string(p.class_id) + ") at ET " + fmt(et);
        };
        if (!p.clock) {
            err = FrameError(FrameError::Kind::MissingKernel, label() + ": " + p.clock_error);
            return false;
        }
        if (p.segments.empty()) {
            err = FrameError(FrameError::Kind::MissingKernel,
                             label() + ": no loaded C-kernel holds instrument " + std::to_string(p.class_id));
            return false;
        }
        const double ticks = p.clock->et_to_ticks_or_nan(et);
        std::optional<CkPointing> got;
        const CkSegment* used = nullptr;
        if (!std::isnan(ticks))
            for (const CkSegment* s : p.segments) {
                if (!(s->start <= ticks && ticks <= s->end) || (rates && !s->has_av)) continue;
                if (!s->readable()) {
                    err = FrameError(FrameError::Kind::Data, label() + ": CK segment \"" + s->name +
                                                                 "\" is of data type " + std::to_string(s->data_type) +
                                                                 ", which kernwerk does not read yet");
                    return false;
                }
                got = s->evaluate(ticks, 0.0);
                if (got) {
                    used = s;
                    break;
                }
            }
        if (!got) {
            err = FrameError(FrameError::Kind::Coverage, gap_message(p, label(), ticks, rates));
            return false;
        }
        const Mat3& c = got->cmat;
        if (used->ref_frame == 1) {
            out.r = c;
            if (rates) out.dr = rate_of(c, got->av);
            return true;
        }
        const auto found = p.paths.find(used->ref_frame);
        if (found == p.paths.end()) {  // planned while this frame's own entry was being built
            err = FrameError(FrameError::Kind::Malformed, label() + ": its CK segments refer to frames that lead back to it");
            return false;
        }
        const auto& path = found->second;
        if (!path) {
            err = FrameError(FrameError::Kind::Unsupported, label() + ": " + path.error().message());
            return false;
        }
        if (g_depth >= static_cast<int>(kMaxFrameDepth)) {
            err = FrameError(FrameError::Kind::Malformed, label() + ": its CK segments refer to frames that lead back to it");
            return false;
        }
        RotationRate m{};
        ++g_depth;
        const bool ok = evaluate_path(*path, &snap_.pck_orientation(), et, rates, m, err);
        --g_depth;
        if (!ok) return false;
        out.r = mxm3(c, m.r);
        if (rates) {
            const Mat3 dc = rate_of(c, got->av);
            const Mat3 a = mxm3(dc, m.r), b = mxm3(c, m.dr);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) out.dr[i][j] = a[i][j] + b[i][j];
        }
        return true;
    }

private:
    // dC/dt = -C [w]x for the angular velocity w in the reference frame.
    static Mat3 rate_of(const Mat3& c, const std::array<double, 3>& w) noexcept {
        const Mat3 wx = {{{0, -w[2], w[1]}, {w[2], 0, -w[0]}, {-w[1], w[0], 0}}};
        Mat3 r = mxm3(c, wx);
        for (auto& row : r)
            for (double& x : row) x = -x;
        return r;
    }

    std::string gap_message(const PreparedCk& p, const std::string& label, double ticks, bool rates) const {
        std::string msg = label + ": ";
        if (std::isnan(ticks)) return msg + "the epoch lies outside spacecraft clock " + std::to_string(p.clock->id());
        auto cover = ck_coverage(snap_, p.class_id, true, 0.0, rates);
        msg += "no CK segment of instrument " + std::to_string(p.class_id) +
               (p.object ? " (the frame's object " + std::to_string(*p.object) + ")" : "") +
               (rates ? " with angular velocity" : "") +
               " covers it (clock " + std::to_string(p.clock->id()) + " ticks " + fmt(ticks) + "); ";
        if (cover.empty()) return msg + "there is no coverage";
        for (auto& [a, b] : cover) {
            a = p.clock->ticks_to_et_or_nan(a);
            b = p.clock->ticks_to_et_or_nan(b);
        }
        return msg + "coverage (ET): " + sets_detail::format_intervals(cover);
    }

    const KernelSnapshot& snap_;
    std::unique_ptr<timescale::LeapSeconds> lsk_;
    mutable std::recursive_mutex mutex_;
    mutable std::map<std::int32_t, std::unique_ptr<PreparedCk>> prepared_;
};

}  // namespace

std::unique_ptr<const CkOrientationSource> make_ck_orientation_source(const KernelSnapshot& snap) {
    return std::make_unique<SnapshotCkSource>(snap);
}

}  // namespace kernwerk
