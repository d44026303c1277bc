// Plans and batches over a snapshot (chains planned once per stretch of
// epochs, split over threads) and the cursors that keep a plan between calls.
#include "sets/kernel_set.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <queue>

#include "base/parallel.hpp"
#include "daf/chebyshev.hpp"
#include "sets/internal.hpp"

namespace kernwerk {

using sets_detail::format_intervals;
using sets_detail::whole_line;

// ---------------------------------------------------------------------------
// Plans and batches

struct KernelSnapshot::Plan {
    enum class LinkFrame : std::uint8_t { J2000, Eclip, Itrf93, Other };
    struct Link {
        const SpkSegment* seg;
        std::int32_t id;  // in the snapshot's segment table
        LinkFrame frame;
    };
    std::array<Link, 2 * kMaxChainLinks> links;
    std::size_t n_target = 0, n_center = 0;  // links[0, n_target) added, the next n_center subtracted
    Run valid = whole_line();
    const PckSegmentRef* pck = nullptr;  // set when a link or the output is in ITRF93
    bool zero = false;                   // target == center
};

struct KernelSnapshot::PlanFailure {
    enum class What { None, Gap, TooLong, Frame, Type, PckMissing, PckGap, PckType, PckFrame } what = What::None;
    std::int32_t body = 0;     // Gap, TooLong: the body whose chain broke
    std::int32_t segment = 0;  // Frame, Type: in segments_; Pck*: in pck_segments_
};

// The rows of the last few barycentric links that cursors sharing this
// evaluated, with their segment and epochs. Rows depend on nothing else, so
// a link met again at the same epochs (bit for bit) takes them as they are.
// Kept by cursors only, which live on one thread and never outlive their
// snapshot: a segment named here is alive, and its address is its own.
struct LinkMemo {
    static constexpr std::size_t kBlock = 64;
    static constexpr std::size_t kSlots = 4;
    struct Slot {
        const SpkSegment* seg = nullptr;
        std::size_t k = 0;
        double ets[kBlock];
        double rows[6 * kBlock];
    };
    std::array<Slot, kSlots> slots;
    std::size_t next = 0;

    const double* find(const SpkSegment* seg, const double* ets, std::size_t k) const noexcept {
        for (const Slot& s : slots)
            if (s.seg == seg && s.k == k && std::memcmp(s.ets, ets, k * sizeof(double)) == 0) return s.rows;
        return nullptr;
    }
    void keep(const SpkSegment* seg, const double* ets, std::size_t k, const double* rows) noexcept {
        if (k > kBlock) return;
        Slot& s = slots[next];
        next = (next + 1) % kSlots;
        s.seg = seg;
        s.k = k;
        std::memcpy(s.ets, ets, k * sizeof(double));
        std::memcpy(s.rows, rows, 6 * k * sizeof(double));
    }
};

struct BatchRunner {
    using Plan = KernelSnapshot::Plan;
    using PlanFailure = KernelSnapshot::PlanFailure;
    using Link = Plan::Link;
    using LinkFrame = Plan::LinkFrame;
    static constexpr std::size_t kBlock = 64;

    const KernelSnapshot& snap;
    std::int32_t target, center;
    OutputFrame frame;
    // A J2000 <-> ITRF93 transform rather than a state (target, center unused).
    bool transform = false;
    bool inverse = false;
    // J2000 -> the output frame, for frames other than J2000, ECLIPJ2000
    // and ITRF93 (planned once per batch).
    const FramePath* out_path = nullptr;
    // Rows of barycentric J2000 links shared with another cursor (cursors
    // only).
    LinkMemo* memo = nullptr;
    // Only the velocities are read (evaluate_velocities, J2000 output).
    bool velocity_only = false;

    struct Scratch {
        double ets[kBlock];
        double tmp[6 * kBlock];
        double cacc[6 * kBlock];
        Mat6 x[kBlock];  // J2000 -> ITRF93 at each epoch of the block
    };

    std::string query(double et) const {
        if (transform)
            return std::string(inverse ? "transform from ITRF93 to J2000" : "transform from J2000 to ITRF93") +
                   " at et " + format_double(et);
        return "state of target " + std::to_string(target) + " wrt center " + std::to_string(center) + " in " +
               (out_path ? snap.frames().name_of(static_cast<std::int32_t>(frame)) : std::string(frame_name(frame))) +
               " at et " + format_double(et);
    }

    KernelSetError error(KernelSetError::Kind kind, double et, const std::string& what) const {
        return KernelSetError(kind, query(et) + ": " + what);
    }

    PlanFailure check_link(const SpkSegment& seg, std::int32_t id, Link& link, bool& need_pck) const {
        using W = PlanFailure::What;
        if (std::holds_alternative<SpkUnsupported>(seg.payload)) return {W::Type, 0, id};
        switch (seg.frame) {
            case 1: link = {&seg, id, LinkFrame::J2000}; break;
            case 17: link = {&seg, id, LinkFrame::Eclip}; break;
            case 13000:
                link = {&seg, id, LinkFrame::Itrf93};
                need_pck = true;
                break;
            default: {
                // Any frame the frame system can bring into J2000.
                auto p = snap.frames().path(seg.frame, 1);
                if (!p) return {W::Frame, 0, id};
                link = {&seg, id, LinkFrame::Other};
                break;
            }
        }
        return {};
    }

    // Plans the chain at `et` (not NaN). Allocates nothing.
    PlanFailure build_plan(double et, Plan& plan) const {
        using W = PlanFailure::What;
        plan.valid = whole_line();
        plan.n_target = plan.n_center = 0;
        plan.pck = nullptr;
        plan.zero = target == center;
        bool need_pck = frame == OutputFrame::Itrf93;
        if (plan.zero) return {};

        // The target's chain, stopped early when it reaches the center.
        std::array<std::int32_t, kMaxChainLinks + 1> tn;
        std::size_t k = 0;
        tn[0] = target;
        while (tn[k] != center) {
            const Timeline* tl = snap.timeline(tn[k]);
            if (!tl) break;
            const Run& r = tl->find(et);
            plan.valid.intersect(r);
            if (r.winner < 0) break;
            if (k == kMaxChainLinks) return {W::TooLong, target};
            const SpkSegment& seg = *snap.segments_[static_cast<std::size_t>(r.winner)].segment;
            // Checked once the links that are used are known.
            plan.links[k] = Link{&seg, r.winner, LinkFrame::J2000};
            tn[k + 1] = seg.center;
            ++k;
        }

        // The center's chain up to the first body on the target's chain.
        std::int32_t cn = center;
        std::size_t j = 0, common = 0;
        for (;;) {
            const auto hit = std::find(tn.begin(), tn.begin() + static_cast<std::ptrdiff_t>(k + 1), cn);
            if (hit != tn.begin() + static_cast<std::ptrdiff_t>(k + 1)) {
                common = static_cast<std::size_t>(hit - tn.begin());
                break;
            }
            const Timeline* tl = snap.timeline(cn);
            const Run* r = tl ? &tl->find(et) : nullptr;
            if (r) plan.valid.intersect(*r);
            // The target's chain broke where it ended unless it reached
            // the barycenter; otherwise the center's chain broke here.
            if (!r || r->winner < 0) return {W::Gap, tn[k] != 0 ? tn[k] : cn};
            if (j == kMaxChainLinks) return {W::TooLong, center};
            const SpkSegment& seg = *snap.segments_[static_cast<std::size_t>(r->winner)].segment;
            if (auto f = check_link(seg, r->winner, plan.links[k + j], need_pck); f.what != W::None) return f;
            cn = seg.center;
            ++j;
        }
        // Links past the common body are never evaluated: neither their
        // frame nor their type can fail the query.
        for (std::size_t i = 0; i < common; ++i) {
            const Link& l = plan.links[i];
            if (auto f = check_link(*l.seg, l.id, plan.links[i], need_pck); f.what != W::None) return f;
        }
        // Center links follow the target links that are used.
        for (std::size_t i = 0; i < j; ++i) plan.links[common + i] = plan.links[k + i];
        plan.n_target = common;
        plan.n_center = j;

        if (need_pck) return plan_pck(et, plan);
        return {};
    }

    // The Earth orientation segment for `et` into the plan.
    PlanFailure plan_pck(double et, Plan& plan) const {
        using W = PlanFailure::What;
        if (snap.pck_segments_.empty()) return {W::PckMissing};
        const Run& r = snap.itrf93_.find(et);
        plan.valid.intersect(r);
        if (r.winner < 0) return {W::PckGap};
        const PckSegmentRef& ref = snap.pck_segments_[static_cast<std::size_t>(r.winner)];
        if (!ref.segment->evaluable()) return {W::PckType, 0, r.winner};
        if (ref.segment->ref_frame != 1 && ref.segment->ref_frame != 17) return {W::PckFrame, 0, r.winner};
        plan.pck = &ref;
        return {};
    }

    KernelSetError plan_error(const PlanFailure& f, double et) const {
        using W = PlanFailure::What;
        using K = KernelSetError::Kind;
        const auto seg = [&] { return snap.segment_label(snap.segments_[static_cast<std::size_t>(f.segment)]); };
        const auto pck = [&] {
            const PckSegmentRef& r = snap.pck_segments_[static_cast<std::size_t>(f.segment)];
            return "PCK segment \"" + r.segment->name + "\" (body frame " + std::to_string(r.segment->body_frame) +
                   ", segment " + std::to_string(r.index) + " of " +
                   snap.files_[static_cast<std::size_t>(r.file)].path + ")";
        };
        switch (f.what) {
            case W::Gap: return error(K::Coverage, et, snap.describe_gap(f.body, et));
            case W::TooLong:
                return error(K::FileFormat, et,
                             "the chain of body " + std::to_string(f.body) + " has more than " +
                                 std::to_string(kMaxChainLinks) + " links (do its segments lead in a circle?)");
            case W::Frame: {
                // The frame system's reason (the failure is planned again).
                const std::int32_t code = snap.segments_[static_cast<std::size_t>(f.segment)].segment->frame;
                auto p = snap.frames().path(code, 1);
                if (!p)
                    return error(K::Frame, et,
                                 seg() + " is in frame " +
                                     (snap.frames().node(code) ? snap.frames().name_of(code) + " (" +
                                                                     std::to_string(code) + ")"
                                                               : std::to_string(code)) +
                                     ", which cannot be rotated into J2000 here: " + p.error().message());
            }
                return error(K::Frame, et,
                             seg() + " is in frame " +
                                 std::to_string(snap.segments_[static_cast<std::size_t>(f.segment)].segment->frame) +
                                 ", which cannot be rotated into J2000 here (frames 1 J2000, 17 ECLIPJ2000 and "
                                 "13000 ITRF93 can)");
            case W::Type:
                return error(K::FileFormat, et,
                             seg() + " has SPK data type " +
                                 std::to_string(snap.segments_[static_cast<std::size_t>(f.segment)].segment->data_type) +
                                 ", which cannot be evaluated");
            case W::PckMissing:
                return error(K::MissingKernel, et,
                             "ITRF93 needs Earth orientation from a binary PCK (body frame 3000), and none is loaded");
            case W::PckGap: {
                const auto cov = snap.pck_coverage(kItrf93BodyFrame);
                return error(K::Coverage, et,
                             "no binary PCK segment for ITRF93 (body frame 3000) covers et " + format_double(et) +
                                 "; the loaded Earth orientation covers " + format_intervals(cov));
            }
            case W::PckType:
                return error(K::FileFormat, et,
                             pck() + " has PCK data type " +
                                 std::to_string(
                                     snap.pck_segments_[static_cast<std::size_t>(f.segment)].segment->data_type) +
                                 ", which cannot be evaluated");
            case W::PckFrame:
                return error(
                    K::Frame, et,
                    pck() + " refers to frame " +
                        std::to_string(snap.pck_segments_[static_cast<std::size_t>(f.segment)].segment->ref_frame) +
                        "; expected 1 (J2000) or 17 (ECLIPJ2000)");
            case W::None: break;
        }
        return error(K::Value, et, "internal error");
    }

    // row <- [R 0; dR R] row.
    static void rotate_row(const RotationRate& x, double* row) noexcept {
        double o[6];
        for (int i = 0; i < 3; ++i) {
            o[i] = x.r[i][0] * row[0] + x.r[i][1] * row[1] + x.r[i][2] * row[2];
            o[i + 3] = x.dr[i][0] * row[0] + x.dr[i][1] * row[1] + x.dr[i][2] * row[2] + x.r[i][0] * row[3] +
                       x.r[i][1] * row[4] + x.r[i][2] * row[5];
        }
        for (int c = 0; c < 6; ++c) row[c] = o[c];
    }

    // Evaluates one link at ets[0..k) into `rows`, in J2000. Returns the
    // position of the first failure (k when none).
    std::size_t eval_link(const Link& link, const double* ets, std::size_t k, double* rows, const Scratch& sc,
                          std::optional<KernelSetError>& err) const {
        // Rows of velocities alone are never kept for others.
        const bool shared = memo && !velocity_only && link.frame == LinkFrame::J2000 && link.seg->center == 0;
        if (shared) {
            if (const double* kept = memo->find(link.seg, ets, k)) {
                std::memcpy(rows, kept, 6 * k * sizeof(double));
                return k;
            }
        }
        std::optional<SpkError> e;
        // A link in J2000 needs no position to turn its velocity.
        const SpkType2* t2 = velocity_only && link.frame == LinkFrame::J2000 && frame == OutputFrame::J2000 && !out_path
                                 ? std::get_if<SpkType2>(&link.seg->payload)
                                 : nullptr;
        const std::size_t f = t2 ? LaneRowEvaluator<SpkType2, lanes::type2_velocity_rows>::run(*t2, ets, k, rows, e)
                                 : evaluate_rows(*link.seg, ets, k, rows, e);
        if (f < k) [[unlikely]] {
            err = error(KernelSetError::Kind::FileFormat, ets[f],
                        snap.segment_label(snap.segments_[static_cast<std::size_t>(link.id)]) + ": " + e->message());
            return f;
        }
        if (shared) memo->keep(link.seg, ets, k, rows);
        if (link.frame == LinkFrame::Eclip) {
            for (std::size_t i = 0; i < k; ++i) {
                double* row = rows + 6 * i;
                const State s = rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000,
                                             State{row[0], row[1], row[2], row[3], row[4], row[5]});
                for (std::size_t c = 0; c < 6; ++c) row[c] = s[c];
            }
        } else if (link.frame == LinkFrame::Itrf93) {
            for (std::size_t i = 0; i < k; ++i) {
                double* row = rows + 6 * i;
                const State s =
                    apply_sxform(invert_sxform(sc.x[i]), State{row[0], row[1], row[2], row[3], row[4], row[5]});
                for (std::size_t c = 0; c < 6; ++c) row[c] = s[c];
            }
        } else if (link.frame == LinkFrame::Other) {
            // Checked when the plan was built.
            auto p = snap.frames().path(link.seg->frame, 1);
            if (p) prepare_path(*p, &snap.pck_orientation());
            for (std::size_t i = 0; i < k && p; ++i) {
                auto x = evaluate_path(*p, &snap.pck_orientation(), ets[i], true);
                if (!x) [[unlikely]] {
                    err = error(KernelSnapshot::frame_error(x.error()).kind(), ets[i],
                                snap.segment_label(snap.segments_[static_cast<std::size_t>(link.id)]) + ": " +
                                    x.error().message());
                    return i;
                }
                rotate_row(*x, rows + 6 * i);
            }
        }
        return k;
    }

    // The plan's states at ets[0..k) into rows of `out`. Returns the position
    // of the first epoch that fails (k when none); as links are evaluated
    // over the whole block one after the other, a failure is narrowed down
    // epoch by epoch so that the earliest failing epoch is the one reported.
    std::size_t eval_block(const Plan& plan, const double* ets, std::size_t k, double* out, Scratch& sc,
                           std::optional<KernelSetError>& err) const {
        if (plan.zero) {
            std::fill(out, out + 6 * k, 0.0);
            return k;
        }
        std::size_t f = k;
        if (plan.pck) {
            for (std::size_t i = 0; i < k; ++i) {
                auto x = snap.itrf93_transform(*plan.pck, ets[i], false);
                if (!x) [[unlikely]] {
                    err = error(x.error().kind(), ets[i], x.error().message());
                    f = i;
                    break;
                }
                sc.x[i] = *x;
            }
        }
        const std::size_t nt = plan.n_target, nc = plan.n_center;
        if (f == k) {
            if (nt > 0) {
                f = eval_link(plan.links[0], ets, k, out, sc, err);
                for (std::size_t l = 1; l < nt && f == k; ++l) {
                    f = eval_link(plan.links[l], ets, k, sc.tmp, sc, err);
                    for (std::size_t i = 0; i < 6 * k; ++i) out[i] = out[i] + sc.tmp[i];
                }
            } else {
                std::fill(out, out + 6 * k, 0.0);
            }
        }
        if (nc > 0 && f == k) {
            f = eval_link(plan.links[nt], ets, k, sc.cacc, sc, err);
            for (std::size_t l = nt + 1; l < nt + nc && f == k; ++l) {
                f = eval_link(plan.links[l], ets, k, sc.tmp, sc, err);
                for (std::size_t i = 0; i < 6 * k; ++i) sc.cacc[i] = sc.cacc[i] + sc.tmp[i];
            }
            for (std::size_t i = 0; i < 6 * k; ++i) out[i] = out[i] - sc.cacc[i];
        }
        if (f < k) [[unlikely]] {
            if (k == 1) return 0;
            for (std::size_t i = 0; i < f; ++i) {
                std::optional<KernelSetError> e1;
                // Re-evaluates into the block's own rows, which a failed
                // batch discards anyway.
                if (eval_block(plan, ets + i, 1, out + 6 * i, sc, e1) == 0) {
                    err = std::move(e1);
                    return i;
                }
            }
            return f;
        }
        if (frame == OutputFrame::EclipJ2000) {
            for (std::size_t i = 0; i < k; ++i) {
                double* row = out + 6 * i;
                const State s = rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000,
                                             State{row[0], row[1], row[2], row[3], row[4], row[5]});
                for (std::size_t c = 0; c < 6; ++c) row[c] = s[c];
            }
        } else if (frame == OutputFrame::Itrf93) {
            for (std::size_t i = 0; i < k; ++i) {
                double* row = out + 6 * i;
                const State s = apply_sxform(sc.x[i], State{row[0], row[1], row[2], row[3], row[4], row[5]});
                for (std::size_t c = 0; c < 6; ++c) row[c] = s[c];
            }
        } else if (out_path) {
            for (std::size_t i = 0; i < k; ++i) {
                auto x = evaluate_path(*out_path, &snap.pck_orientation(), ets[i], true);
                if (!x) [[unlikely]] {
                    err = error(KernelSnapshot::frame_error(x.error()).kind(), ets[i], x.error().message());
                    return i;
                }
                rotate_row(*x, out + 6 * i);
            }
        }
        return k;
    }

    // Epochs [begin, end) of the batch into their rows of `out`. Stops early
    // when a chunk before this one has failed (`lowest` holds the lowest
    // failing index seen so far).
    std::optional<BatchFailure> run(EpochView ets, std::size_t begin, std::size_t end, double* out,
                                    const std::atomic<std::size_t>& lowest) const {
        Plan plan;
        bool have = false;
        Scratch sc;
        return run_with(ets, begin, end, out, lowest, plan, have, sc);
    }

    // run() with the plan (valid when `have`) and scratch of the caller, so
    // that a cursor keeps them from one call to the next.
    // Epochs are taken a window at a time. A window of unsorted epochs that
    // many plans serve (random epochs over a file of many segments) goes in
    // time order (run_ordered), so that blocks are long again instead of one
    // epoch each with a plan built per epoch; any other, as it comes.
    std::optional<BatchFailure> run_with(EpochView ets, std::size_t begin, std::size_t end, double* out,
                                         const std::atomic<std::size_t>& lowest, Plan& plan, bool& have,
                                         Scratch& sc) const {
        for (std::size_t w = begin; w < end;) {
            const std::size_t we = std::min(end, w + kWindow);
            if (we - w >= kOrderedMin && wants_order(ets, w, we, plan, have)) {
                if (lowest.load(std::memory_order_relaxed) < begin) return std::nullopt;
                if (run_ordered(ets, w, we, out, plan, have, sc)) {
                    w = we;
                    continue;
                }
            }
            // As they come (also for a window that failed in time order:
            // this reports the failure of lowest index, as for any window).
            if (auto f = run_seq(ets, w, we, out, lowest, plan, have, sc)) return f;
            w = we;
        }
        return std::nullopt;
    }

    static constexpr std::size_t kWindow = 1024;
    static constexpr std::size_t kOrderedMin = 16;

    // True when ets[b..e) has no NaN, is not sorted and has more than one
    // epoch in 32 outside the plan (the plan is built for ets[b] first).
    bool wants_order(EpochView ets, std::size_t b, std::size_t e, Plan& plan, bool& have) const {
        // Sorted windows (the common case) stop at the first loop; a NaN
        // also ends it, and the second loop turns such a window down.
        std::size_t i = b + 1;
        while (i < e && ets[i] >= ets[i - 1]) ++i;
        if (i == e || std::isnan(ets[b])) return false;
        if (!have || !plan.valid.contains(ets[b])) {
            if (build_plan(ets[b], plan).what != PlanFailure::What::None) {
                have = false;
                return false;
            }
            have = true;
        }
        std::size_t outside = 0;
        for (i = b; i < e; ++i) {
            if (std::isnan(ets[i])) return false;
            outside += !plan.valid.contains(ets[i]);
        }
        return 32 * outside > e - b;
    }

    // ets[b..e) (no NaN) in time order, each block's rows put back at their
    // epochs' places. Every epoch's row is its own arithmetic whatever block
    // it is evaluated in, so the rows are those of run_seq. False at the
    // first failure (the rows written are then void). Kept out of line: its
    // 19 KB of arrays stay off the stack of calls that never order.
    [[gnu::noinline]] bool run_ordered(EpochView ets, std::size_t b, std::size_t e, double* out, Plan& plan,
                                       bool& have, Scratch& sc) const {
        std::array<std::pair<double, std::uint32_t>, kWindow> order;
        double rows[6 * kBlock];
        const std::size_t n = e - b;
        for (std::size_t i = 0; i < n; ++i) order[i] = {ets[b + i], static_cast<std::uint32_t>(i)};
        std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n));
        for (std::size_t i = 0; i < n;) {
            const double et = order[i].first;
            if (!have || !plan.valid.contains(et)) {
                if (build_plan(et, plan).what != PlanFailure::What::None) {
                    have = false;
                    return false;
                }
                have = true;
            }
            std::size_t k = 0;
            while (k < kBlock && i + k < n && plan.valid.contains(order[i + k].first)) {
                sc.ets[k] = order[i + k].first;
                ++k;
            }
            std::optional<KernelSetError> err;
            if (eval_block(plan, sc.ets, k, rows, sc, err) < k) return false;
            for (std::size_t j = 0; j < k; ++j)
                std::copy(rows + 6 * j, rows + 6 * j + 6, out + 6 * (b + order[i + j].second));
            i += k;
        }
        return true;
    }

    // Epochs [begin, end) in the order given, a block at a time.
    std::optional<BatchFailure> run_seq(EpochView ets, std::size_t begin, std::size_t end, double* out,
                                        const std::atomic<std::size_t>& lowest, Plan& plan, bool& have,
                                        Scratch& sc) const {
        std::size_t i = begin;
        while (i < end) {
            if (lowest.load(std::memory_order_relaxed) < begin) return std::nullopt;
            const double et = ets[i];
            if (std::isnan(et)) [[unlikely]]
                return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch,
                                                      "state of target " + std::to_string(target) + " wrt center " +
                                                          std::to_string(center) + ": the epoch is NaN")};
            if (!have || !plan.valid.contains(et)) {
                const PlanFailure f = build_plan(et, plan);
                if (f.what != PlanFailure::What::None) [[unlikely]]
                    return BatchFailure{i, plan_error(f, et)};
                have = true;
            }
            std::size_t k = 1;
            sc.ets[0] = et;
            while (k < kBlock && i + k < end) {
                const double e = ets[i + k];
                if (!plan.valid.contains(e)) break;  // also for NaN
                sc.ets[k++] = e;
            }
            std::optional<KernelSetError> err;
            const std::size_t f = eval_block(plan, sc.ets, k, out + 6 * i, sc, err);
            if (f < k) [[unlikely]]
                return BatchFailure{i + f, std::move(*err)};
            i += k;
        }
        return std::nullopt;
    }

    // Transforms (transform = true) at epochs [b, e) into 36 doubles each of
    // `out`, with the caller's plan (valid when `have`). Runs of four epochs
    // that the planned Type 2 segment serves go through the Chebyshev lanes
    // (lanes::type2_rows4, the bits of PckType2::evaluate) and then through
    // the scalar path's own sxform, so every transform is the scalar one.
    // With `site` (forward transforms only), six doubles per epoch instead:
    // the J2000 offset X^-1 [r, 0] = (R^T r, dR^T r) of the point r fixed in
    // ITRF93, as site_offset sums it from the transform, which is then
    // never written out whole.
    // `runs` (a cursor's, for calls of at most kRunCache epochs): the
    // Earth orientation run found for each position of the last call, which
    // the next call's epoch at that position tries first (a site's epochs
    // come as et, et - 1 s, et + 1 s).
    static constexpr std::size_t kRunCache = 64;
    std::optional<BatchFailure> run_transforms(EpochView ets, std::size_t b, std::size_t e, double* out,
                                               const std::atomic<std::size_t>& lowest, Plan& plan, bool& have,
                                               const std::array<double, 3>* site = nullptr,
                                               const Run** runs = nullptr) const {
        if (e - b > kRunCache) runs = nullptr;
        const std::size_t stride = site ? 6 : 36;
        std::size_t i = b;
        while (i < e) {
            if (lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
            const double et = ets[i];
            if (std::isnan(et)) [[unlikely]]
                return BatchFailure{i, error(KernelSetError::Kind::Epoch, et, "the epoch is NaN")};
            if (!have || !plan.valid.contains(et)) {
                plan.valid = whole_line();
                const auto f = plan_pck(et, plan);
                if (f.what != PlanFailure::What::None) [[unlikely]]
                    return BatchFailure{i, plan_error(f, et)};
                have = true;
            }
            if (i + 4 <= e && lanes4(ets, i, plan, out + stride * i, site, runs ? runs + (i - b) : nullptr)) {
                i += 4;
                continue;
            }
            auto x = snap.itrf93_transform(*plan.pck, et, inverse);
            if (!x) [[unlikely]]
                return BatchFailure{i, error(x.error().kind(), et, x.error().message())};
            if (site)
                site_offset(&(*x)[0][0], *site, out + 6 * i);
            else
                std::copy(&(*x)[0][0], &(*x)[0][0] + 36, out + 36 * i);
            ++i;
        }
        return std::nullopt;
    }

    // X^-1 [r, 0] from the forward transform X = [R 0; dR R] (36 doubles,
    // row by row): X^-1 is [R^T 0; dR^T R^T], and its product with [r, 0]
    // is summed from 0 in j = 0..2 as apply_sxform sums it (the three zero
    // terms it adds change no sum that is not itself zero, and a body's
    // state is added after).
    static void site_offset(const double* x, const std::array<double, 3>& r, double* o) noexcept {
        for (std::size_t c = 0; c < 3; ++c) {
            double p = 0.0, v = 0.0;
            for (std::size_t j = 0; j < 3; ++j) {
                p = p + x[6 * j + c] * r[j];
                v = v + x[6 * (j + 3) + c] * r[j];
            }
            o[c] = p;
            o[3 + c] = v;
        }
    }

    // site_offset of pck_inertial_to_body_sxform(m, e) from its blocks R M
    // and dR M alone, the same bits.
    static void site_offset(const Mat3& m, const EulerState& e, const std::array<double, 3>& r, double* o) noexcept {
        Mat3 rm, dm;
        if (!pck_inertial_to_body_blocks(m, e, rm, dm)) [[unlikely]] {
            double x[36];
            pck_inertial_to_body_sxform(m, e, x);
            site_offset(x, r, o);
            return;
        }
        for (std::size_t c = 0; c < 3; ++c) {
            double p = 0.0, v = 0.0;
            for (std::size_t j = 0; j < 3; ++j) {
                p = p + rm[j][c] * r[j];
                v = v + dm[j][c] * r[j];
            }
            o[c] = p;
            o[3 + c] = v;
        }
    }

    // Epochs ets[i..i+4) through the lanes into `out`, when Type 2 segments
    // with the same number of coefficients serve all four (the plan's, or
    // the winner of the Earth orientation timeline for an epoch outside it:
    // random epochs spread over several segments) from records in the file
    // with RADIUS != 0; false (nothing written) otherwise, and the scalar
    // path plans, evaluates or reports the epoch.
    // A run found for an epoch outside the plan is the winner wherever it
    // holds: one of `runs` (at each lane) that holds the epoch is taken as
    // the search would find it.
    bool lanes4(EpochView ets, std::size_t i, const Plan& plan, double* out, const std::array<double, 3>* site,
                const Run** runs) const {
        double e4[4];
        const double* rec[4];
        const PckSegment* segs[4];
        std::size_t nc = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            e4[k] = ets[i + k];
            if (std::isnan(e4[k])) return false;
            const PckSegment* seg = plan.pck->segment;
            if (!plan.valid.contains(e4[k])) {
                const Run* r = runs ? runs[k] : nullptr;
                if (!r || !r->contains(e4[k])) {
                    r = &snap.itrf93_.find(e4[k]);
                    if (runs) runs[k] = r;
                }
                if (r->winner < 0) return false;
                seg = snap.pck_segments_[static_cast<std::size_t>(r->winner)].segment;
            }
            if (!seg->type2 || seg->type2->ncoef < 2 || (k > 0 && seg->type2->ncoef != nc)) return false;
            const PckType2& t = *seg->type2;
            nc = static_cast<std::size_t>(t.ncoef);
            rec[k] = chebyshev_record_or_null(t.daf, t.init, t.intlen, t.rsize, t.n, t.begin, e4[k]);
            if (!rec[k]) return false;
            // All four records are asked for before any is read: random
            // epochs then wait on memory once, not four times.
            prefetch_words(rec[k], t.rsize);
            segs[k] = seg;
        }
        for (std::size_t k = 0; k < 4; ++k)
            if (rec[k][1] == 0.0) return false;
        // M of the segments' reference frames (1 or 17), made once.
        static const Mat3 m_j2000 = *pck_reference_rotation(1, InertialFrame::J2000);
        static const Mat3 m_eclip = *pck_reference_rotation(17, InertialFrame::J2000);
        const Mat3* m[4];
        for (std::size_t k = 0; k < 4; ++k) {
            const std::int32_t ref = segs[k]->ref_frame;
            if (ref != 1 && ref != 17) return false;
            m[k] = ref == 1 ? &m_j2000 : &m_eclip;
        }
        double rows[24];
        lanes::type2_rows4(rec, nc, e4, rows);
        for (std::size_t k = 0; k < 4; ++k) {
            const double* r = rows + 6 * k;
            const EulerState eu{r[0], r[1], r[2], r[3], r[4], r[5]};
            if (site) {
                site_offset(*m[k], eu, *site, out + 6 * k);
            } else if (inverse) {
                const Mat6 x = invert_sxform(pck_inertial_to_body_sxform(*m[k], eu));
                std::copy(&x[0][0], &x[0][0] + 36, out + 36 * k);
            } else {
                pck_inertial_to_body_sxform(*m[k], eu, out + 36 * k);
            }
        }
        return true;
    }
};

namespace {

// Results do not depend on the count; a cap keeps an absurd request from
// starting thousands of threads.
constexpr unsigned kMaxThreads = 256;

unsigned thread_count(unsigned requested, std::size_t n) {
    if (requested) return std::min(requested, kMaxThreads);
    return n >= KernelSnapshot::kParallelThreshold ? std::min(usable_cores(), kMaxThreads) : 1u;
}

// Runs `work(begin, end)` over chunks and returns the failure of lowest index.
template <typename Work>
std::expected<void, BatchFailure> run_chunks(std::size_t n, unsigned threads, Work&& work) {
    const unsigned count = thread_count(threads, n);
    const std::size_t chunks = chunk_count(n, count);
    std::vector<std::optional<BatchFailure>> failures(chunks);
    std::atomic<std::size_t> lowest{std::numeric_limits<std::size_t>::max()};
    for_each_chunk(n, chunks, count, [&](std::size_t c, std::size_t b, std::size_t e) {
        try {
            failures[c] = work(b, e, lowest);
        } catch (const std::exception& ex) {  // only an allocation on the error path can throw
            failures[c] = BatchFailure{b, KernelSetError(KernelSetError::Kind::Value, ex.what())};
        }
        if (failures[c]) {
            std::size_t seen = lowest.load();
            while (failures[c]->index < seen && !lowest.compare_exchange_weak(seen, failures[c]->index)) {
            }
        }
    });
    for (auto& f : failures)
        if (f) return std::unexpected(std::move(*f));
    return {};
}

}  // namespace

std::expected<void, BatchFailure> KernelSnapshot::state_batch(std::int32_t target, std::int32_t center,
                                                              OutputFrame frame, EpochView ets, double* out,
                                                              unsigned threads) const {
    if (ets.size == 0) return {};
    BatchRunner runner{*this, target, center, frame};
    std::optional<FramePath> path;
    if (!output_frame_from_code(static_cast<std::int32_t>(frame))) {
        auto p = frame_path(1, static_cast<std::int32_t>(frame));
        if (!p)
            return std::unexpected(BatchFailure{
                0, KernelSetError(p.error().kind(), "state of target " + std::to_string(target) + " wrt center " +
                                                        std::to_string(center) + ": " + p.error().message())});
        path = *p;
        prepare_path(*path, &pck_orientation());
        runner.out_path = &*path;
    }
    return run_chunks(ets.size, threads, [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest) {
        return runner.run(ets, b, e, out, lowest);
    });
}

std::expected<State, KernelSetError> KernelSnapshot::state(std::int32_t target, std::int32_t center,
                                                           OutputFrame frame, double et) const {
    State out;
    auto r = state_batch(target, center, frame, EpochView{&et, 1, 1}, out.data(), 1);
    if (!r) return std::unexpected(std::move(r.error().error));
    return out;
}

std::expected<std::vector<ChainLink>, KernelSetError> KernelSnapshot::resolve(std::int32_t target,
                                                                              std::int32_t center, double et) const {
    const BatchRunner runner{*this, target, center, OutputFrame::J2000};
    if (std::isnan(et)) return std::unexpected(KernelSetError(KernelSetError::Kind::Epoch, "the epoch is NaN"));
    KernelSnapshot::Plan plan;
    const auto f = runner.build_plan(et, plan);
    if (f.what != PlanFailure::What::None) return std::unexpected(runner.plan_error(f, et));
    std::vector<ChainLink> out;
    for (std::size_t i = 0; i < plan.n_target + plan.n_center; ++i)
        out.push_back(ChainLink{segments_[static_cast<std::size_t>(plan.links[i].id)], i >= plan.n_target});
    return out;
}

std::expected<Mat6, KernelSetError> KernelSnapshot::j2000_to_itrf93(double et, bool inverse) const {
    Mat6 out;
    auto r = j2000_to_itrf93_batch(EpochView{&et, 1, 1}, &out[0][0], inverse, 1);
    if (!r) return std::unexpected(std::move(r.error().error));
    return out;
}

std::expected<void, BatchFailure> KernelSnapshot::j2000_to_itrf93_batch(EpochView ets, double* out, bool inverse,
                                                                        unsigned threads) const {
    if (ets.size == 0) return {};
    static_assert(sizeof(Mat6) == 36 * sizeof(double));
    const BatchRunner runner{*this, 0, 0, OutputFrame::Itrf93, true, inverse};
    return run_chunks(ets.size, threads,
                      [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                          -> std::optional<BatchFailure> {
                          KernelSnapshot::Plan plan;
                          bool have = false;
                          return runner.run_transforms(ets, b, e, out, lowest, plan, have);
                      });
}

std::expected<void, BatchFailure> run_batch(std::size_t n, unsigned threads, const ChunkWork& work) {
    if (n == 0) return {};
    return run_chunks(n, threads, work);
}

// ---------------------------------------------------------------------------
// Cursors

namespace {
const std::atomic<std::size_t> kNoFailure{std::numeric_limits<std::size_t>::max()};
}  // namespace

std::optional<BatchFailure> KernelSnapshot::state_rows(std::int32_t target, std::int32_t center, const double* ets,
                                                       std::size_t n, double* out) const {
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(ets[i]))
            return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch, "the epoch is NaN")};
    const BatchRunner runner{*this, target, center, OutputFrame::J2000};
    return runner.run(EpochView{ets, 1, n}, 0, n, out, kNoFailure);
}

struct StateCursor::Impl {
    // The scratch (some 25 KB) is left uninitialised: every block writes
    // what it reads, and a cursor made per call (one epoch of an apparent
    // state) then costs no clearing of it.
    explicit Impl(BatchRunner r) : runner(r) {}
    BatchRunner runner;
    KernelSnapshot::Plan plan;
    bool have = false;
    BatchRunner::Scratch sc;
    std::optional<FramePath> path;            // J2000 -> a frame without a path of its own
    std::optional<KernelSetError> path_error;  // why that frame cannot be reached
    std::shared_ptr<LinkMemo> memo;           // shared with other cursors (share_links)
};

StateCursor::StateCursor(const KernelSnapshot& snap, std::int32_t target, std::int32_t center, OutputFrame frame)
    : impl_(new Impl(BatchRunner{snap, target, center, frame})) {
    if (!output_frame_from_code(static_cast<std::int32_t>(frame))) {
        auto p = snap.frame_path(1, static_cast<std::int32_t>(frame));
        if (p) {
            impl_->path = *p;
            prepare_path(*impl_->path, &snap.pck_orientation());
            impl_->runner.out_path = &*impl_->path;
        } else {
            impl_->path_error = std::move(p.error());
        }
    }
}
StateCursor::~StateCursor() = default;
StateCursor::StateCursor(StateCursor&&) noexcept = default;
StateCursor& StateCursor::operator=(StateCursor&&) noexcept = default;

std::optional<BatchFailure> StateCursor::evaluate(const double* ets, std::size_t n, double* out) {
    if (impl_->path_error) return BatchFailure{0, *impl_->path_error};
    return impl_->runner.run_with(EpochView{ets, 1, n}, 0, n, out, kNoFailure, impl_->plan, impl_->have,
                                  impl_->sc);
}

std::optional<BatchFailure> StateCursor::evaluate_velocities(const double* ets, std::size_t n, double* out) {
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{impl_->runner.velocity_only};
    impl_->runner.velocity_only = true;
    return evaluate(ets, n, out);
}

void StateCursor::share_links(StateCursor& other) {
    if (!impl_->memo) impl_->memo = std::make_shared<LinkMemo>();
    other.impl_->memo = impl_->memo;
    impl_->runner.memo = other.impl_->runner.memo = impl_->memo.get();
}

struct Itrf93Cursor::Impl {
    BatchRunner forward, inverse;
    KernelSnapshot::Plan plan;
    bool have = false;
    std::array<const Run*, BatchRunner::kRunCache> runs{};  // runs of the snapshot's Earth orientation timeline
};

Itrf93Cursor::Itrf93Cursor(const KernelSnapshot& snap)
    : impl_(new Impl{BatchRunner{snap, 0, 0, OutputFrame::Itrf93, true, false},
                     BatchRunner{snap, 0, 0, OutputFrame::Itrf93, true, true}, {}, false, {}}) {}
Itrf93Cursor::~Itrf93Cursor() = default;
Itrf93Cursor::Itrf93Cursor(Itrf93Cursor&&) noexcept = default;
Itrf93Cursor& Itrf93Cursor::operator=(Itrf93Cursor&&) noexcept = default;

std::optional<BatchFailure> Itrf93Cursor::evaluate(const double* ets, std::size_t n, Mat6* out, bool inverse) {
    const BatchRunner& r = inverse ? impl_->inverse : impl_->forward;
    return r.run_transforms(EpochView{ets, 1, n}, 0, n, &out[0][0][0], kNoFailure, impl_->plan, impl_->have, nullptr,
                            impl_->runs.data());
}

std::optional<BatchFailure> Itrf93Cursor::site_offsets(const double* ets, std::size_t n, const std::array<double, 3>& r, double* out) {
    return impl_->forward.run_transforms(EpochView{ets, 1, n}, 0, n, out, kNoFailure, impl_->plan, impl_->have, &r,
                                         impl_->runs.data());
}

}  // namespace kernwerk
