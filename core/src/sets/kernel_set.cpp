#include "kernel_set.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <queue>

#include "parallel.hpp"

namespace kernwerk {

std::optional<OutputFrame> output_frame_from_code(std::int32_t code) noexcept {
    switch (code) {
        case 1: return OutputFrame::J2000;
        case 17: return OutputFrame::EclipJ2000;
        case 13000: return OutputFrame::Itrf93;
        default: return std::nullopt;
    }
}

const char* frame_name(OutputFrame frame) noexcept {
    switch (frame) {
        case OutputFrame::J2000: return "J2000";
        case OutputFrame::EclipJ2000: return "ECLIPJ2000";
        case OutputFrame::Itrf93: return "ITRF93";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Timelines

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Run whole_line() noexcept { return Run{-kInf, kInf, true, true, -1}; }

}  // namespace

void Run::intersect(const Run& o) noexcept {
    if (o.lo > lo) {
        lo = o.lo;
        lo_closed = o.lo_closed;
    } else if (o.lo == lo) {
        lo_closed = lo_closed && o.lo_closed;
    }
    if (o.hi < hi) {
        hi = o.hi;
        hi_closed = o.hi_closed;
    } else if (o.hi == hi) {
        hi_closed = hi_closed && o.hi_closed;
    }
}

Timeline Timeline::build(std::span<const Entry> entries) {
    // Distinct ends p[0] < ... < p[m-1] cut the line into 2m + 1 pieces:
    // piece 0 = [-inf, p0), piece 2i+1 = the point p[i], piece 2i+2 = the
    // open interval after it (up to +inf, included, for the last).
    std::vector<double> pts;
    pts.reserve(2 * entries.size());
    for (const Entry& e : entries) {
        if (!(e.start <= e.end)) continue;
        pts.push_back(e.start);
        pts.push_back(e.end);
    }
    std::sort(pts.begin(), pts.end());
    pts.erase(std::unique(pts.begin(), pts.end()), pts.end());
    Timeline t;
    const std::size_t m = pts.size();
    if (m == 0) {
        t.runs_.push_back(whole_line());
        return t;
    }
    const auto point_index = [&](double v) {
        return static_cast<std::size_t>(std::lower_bound(pts.begin(), pts.end(), v) - pts.begin());
    };

    // Each entry covers the pieces from its start point to its end point.
    // A sweep over the pieces keeps the covering entries in a heap ordered by
    // precedence (rank = position in `entries`); entries that ended are
    // dropped when they reach the top.
    struct Span {
        std::size_t first, last, rank;
        std::int32_t id;
    };
    std::vector<Span> spans;
    spans.reserve(entries.size());
    for (std::size_t r = 0; r < entries.size(); ++r) {
        const Entry& e = entries[r];
        if (!(e.start <= e.end)) continue;
        spans.push_back(Span{2 * point_index(e.start) + 1, 2 * point_index(e.end) + 1, r, e.id});
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    const auto lower_rank_first = [](const Span& a, const Span& b) { return a.rank > b.rank; };
    std::priority_queue<Span, std::vector<Span>, decltype(lower_rank_first)> active(lower_rank_first);

    const std::size_t pieces = 2 * m + 1;
    std::size_t next = 0;
    for (std::size_t p = 0; p < pieces; ++p) {
        while (next < spans.size() && spans[next].first == p) active.push(spans[next++]);
        while (!active.empty() && active.top().last < p) active.pop();
        const std::int32_t winner = active.empty() ? -1 : active.top().id;

        Run piece;
        piece.winner = winner;
        if (p == 0) {
            piece.lo = -kInf;
            piece.lo_closed = true;
        } else {
            piece.lo = pts[(p - 1) / 2];
            piece.lo_closed = p % 2 == 1;
        }
        if (p == pieces - 1) {
            piece.hi = kInf;
            piece.hi_closed = true;
        } else {
            piece.hi = pts[p / 2];
            piece.hi_closed = p % 2 == 1;
        }
        if (!t.runs_.empty() && t.runs_.back().winner == winner) {
            t.runs_.back().hi = piece.hi;
            t.runs_.back().hi_closed = piece.hi_closed;
        } else {
            t.runs_.push_back(piece);
        }
    }
    return t;
}

const Run& Timeline::find(double et) const noexcept {
    // The first run whose upper end is not below `et`.
    auto it = std::partition_point(runs_.begin(), runs_.end(), [et](const Run& r) {
        return !(et < r.hi || (r.hi_closed && et == r.hi));
    });
    if (it == runs_.end()) --it;
    return *it;
}

std::vector<std::pair<double, double>> merge_intervals(std::vector<std::pair<double, double>> in) {
    std::erase_if(in, [](const auto& iv) { return !(iv.first <= iv.second); });
    std::sort(in.begin(), in.end());
    std::vector<std::pair<double, double>> out;
    for (const auto& iv : in) {
        if (!out.empty() && iv.first <= out.back().second)
            out.back().second = std::max(out.back().second, iv.second);
        else
            out.push_back(iv);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Segment evaluation in rows

std::size_t evaluate_rows(const SpkSegment& segment, const double* ets, std::size_t n, double* rows,
                          std::optional<SpkError>& error) {
    return std::visit(
        [&](const auto& p) -> std::size_t {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, SpkUnsupported>) {
                if (n == 0) return 0;
                error = SpkError::unsupported_type(segment.data_type);
                return 0;
            } else {
                return RowEvaluator<P>::run(p, ets, n, rows, error);
            }
        },
        segment.payload);
}

// ---------------------------------------------------------------------------
// Snapshots

namespace {

std::string format_intervals(const std::vector<std::pair<double, double>>& ivs) {
    constexpr std::size_t kShown = 8;
    std::string out;
    for (std::size_t i = 0; i < ivs.size() && i < kShown; ++i) {
        if (i) out += ", ";
        out += '[';
        out += format_double(ivs[i].first);
        out += ", ";
        out += format_double(ivs[i].second);
        out += ']';
    }
    if (ivs.size() > kShown) out += " and " + std::to_string(ivs.size() - kShown) + " more intervals";
    return out;
}

}  // namespace

KernelSnapshot::KernelSnapshot(std::vector<File> files) : files_(std::move(files)) {
    std::unordered_map<std::int32_t, std::vector<Timeline::Entry>> per_body;
    std::vector<Timeline::Entry> pck_entries;
    // Highest precedence first: the last file, and in it the last segment.
    for (std::size_t f = files_.size(); f-- > 0;) {
        const OpenedKernel& k = *files_[f].kernel;
        if (k.spk) {
            const auto& segs = k.spk->segments();
            for (std::size_t s = segs.size(); s-- > 0;) {
                const auto id = static_cast<std::int32_t>(segments_.size());
                segments_.push_back(SegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
                per_body[segs[s].target].push_back(Timeline::Entry{segs[s].start_et, segs[s].end_et, id});
            }
        } else if (k.pck) {
            const auto& segs = k.pck->segments();
            for (std::size_t s = segs.size(); s-- > 0;) {
                if (segs[s].body_frame != kItrf93BodyFrame) continue;
                const auto id = static_cast<std::int32_t>(pck_segments_.size());
                pck_segments_.push_back(
                    PckSegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
                pck_entries.push_back(Timeline::Entry{segs[s].start_et, segs[s].end_et, id});
            }
        } else if (k.text) {
            bindings_.insert(bindings_.end(), k.text->body_bindings.begin(), k.text->body_bindings.end());
            if (k.text->leapseconds && !leapseconds_) leapseconds_ = &*k.text->leapseconds;
        }
    }
    // Bindings apply in load order; the loop above ran from the last file.
    bindings_.clear();
    for (const File& f : files_)
        if (f.kernel->text)
            bindings_.insert(bindings_.end(), f.kernel->text->body_bindings.begin(),
                             f.kernel->text->body_bindings.end());
    for (auto& [body, entries] : per_body) timelines_.emplace(body, Timeline::build(entries));
    itrf93_ = Timeline::build(pck_entries);
}

std::vector<std::int32_t> KernelSnapshot::bodies() const {
    std::vector<std::int32_t> out;
    out.reserve(timelines_.size());
    for (const auto& [body, tl] : timelines_) out.push_back(body);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<double, double>> KernelSnapshot::coverage(std::int32_t body) const {
    std::vector<std::pair<double, double>> ivs;
    for (const SegmentRef& r : segments_)
        if (r.segment->target == body) ivs.emplace_back(r.segment->start_et, r.segment->end_et);
    return merge_intervals(std::move(ivs));
}

std::vector<std::pair<double, double>> KernelSnapshot::pck_coverage(std::int32_t body_frame) const {
    std::vector<std::pair<double, double>> ivs;
    for (const File& f : files_)
        if (f.kernel->pck)
            for (const PckSegment& s : f.kernel->pck->segments())
                if (s.body_frame == body_frame) ivs.emplace_back(s.start_et, s.end_et);
    return merge_intervals(std::move(ivs));
}

const Timeline* KernelSnapshot::timeline(std::int32_t body) const noexcept {
    auto it = timelines_.find(body);
    return it == timelines_.end() ? nullptr : &it->second;
}

std::expected<void, KernelSetError> KernelSnapshot::check_unchanged() const {
    for (const File& f : files_) {
        std::expected<void, DafError> ok;
        if (f.kernel->spk) {
            ok = f.kernel->spk->check_unchanged();
        } else if (f.kernel->pck) {
            // All Type 2 segments of a file share its one mapping.
            for (const PckSegment& seg : f.kernel->pck->segments())
                if (seg.type2) {
                    ok = seg.type2->daf.check_unchanged();
                    break;
                }
        }
        if (!ok) return std::unexpected(KernelSetError(KernelSetError::Kind::Changed, ok.error().message(), 0, f.path));
    }
    return {};
}

std::string KernelSnapshot::segment_label(const SegmentRef& ref) const {
    const SpkSegment& s = *ref.segment;
    return "segment \"" + s.name + "\" (target " + std::to_string(s.target) + ", center " +
           std::to_string(s.center) + ", frame " + std::to_string(s.frame) + ", type " +
           std::to_string(s.data_type) + "; segment " + std::to_string(ref.index) + " of " +
           files_[static_cast<std::size_t>(ref.file)].path + ")";
}

std::string KernelSnapshot::describe_gap(std::int32_t body, double et) const {
    std::string out = "no segment covers body " + std::to_string(body) + " at et " + format_double(et);
    const auto cov = coverage(body);
    if (cov.empty())
        out += "; no loaded SPK segment has body " + std::to_string(body) + " as its target";
    else
        out += "; the coverage of body " + std::to_string(body) + " is " + format_intervals(cov);
    return out;
}

std::expected<Mat6, KernelSetError> KernelSnapshot::itrf93_transform(const PckSegmentRef& ref, double et,
                                                                     bool inverse) const {
    const PckSegment& s = *ref.segment;
    auto e = s.type2->evaluate(et);
    if (!e)
        return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat,
                                              "PCK segment \"" + s.name + "\" of " +
                                                  files_[static_cast<std::size_t>(ref.file)].path + " at et " +
                                                  format_double(et) + ": " + e.error().message()));
    const auto x = pck_inertial_to_body_sxform(s.ref_frame, InertialFrame::J2000, *e);
    // The reference frame was checked when the segment was chosen.
    if (!x) return std::unexpected(KernelSetError(KernelSetError::Kind::Frame, "unsupported PCK reference frame"));
    return inverse ? invert_sxform(*x) : *x;
}

// ---------------------------------------------------------------------------
// Plans and batches

struct KernelSnapshot::Plan {
    enum class LinkFrame : std::uint8_t { J2000, Eclip, Itrf93 };
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
               frame_name(frame) + " at et " + format_double(et);
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
            default: return {W::Frame, 0, id};
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
        if (!ref.segment->type2) return {W::PckType, 0, r.winner};
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
            case W::Frame:
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

    // Evaluates one link at ets[0..k) into `rows`, in J2000. Returns the
    // position of the first failure (k when none).
    std::size_t eval_link(const Link& link, const double* ets, std::size_t k, double* rows, const Scratch& sc,
                          std::optional<KernelSetError>& err) const {
        std::optional<SpkError> e;
        const std::size_t f = evaluate_rows(*link.seg, ets, k, rows, e);
        if (f < k) [[unlikely]] {
            err = error(KernelSetError::Kind::FileFormat, ets[f],
                        snap.segment_label(snap.segments_[static_cast<std::size_t>(link.id)]) + ": " + e->message());
            return f;
        }
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
    std::optional<BatchFailure> run_with(EpochView ets, std::size_t begin, std::size_t end, double* out,
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
    // `out`, with the caller's plan (valid when `have`).
    std::optional<BatchFailure> run_transforms(EpochView ets, std::size_t b, std::size_t e, double* out,
                                               const std::atomic<std::size_t>& lowest, Plan& plan,
                                               bool& have) const {
        for (std::size_t i = b; i < e; ++i) {
            if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
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
            auto x = snap.itrf93_transform(*plan.pck, et, inverse);
            if (!x) [[unlikely]]
                return BatchFailure{i, error(x.error().kind(), et, x.error().message())};
            std::copy(&(*x)[0][0], &(*x)[0][0] + 36, out + 36 * i);
        }
        return std::nullopt;
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
    const unsigned chunks = static_cast<unsigned>(std::min<std::size_t>(thread_count(threads, n), std::max<std::size_t>(n, 1)));
    std::vector<std::optional<BatchFailure>> failures(chunks);
    std::atomic<std::size_t> lowest{std::numeric_limits<std::size_t>::max()};
    for_each_chunk(n, chunks, [&](unsigned c, std::size_t b, std::size_t e) {
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
    const BatchRunner runner{*this, target, center, frame};
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

struct StateCursor::Impl {
    BatchRunner runner;
    KernelSnapshot::Plan plan;
    bool have = false;
    BatchRunner::Scratch sc;
};

StateCursor::StateCursor(const KernelSnapshot& snap, std::int32_t target, std::int32_t center, OutputFrame frame)
    : impl_(new Impl{BatchRunner{snap, target, center, frame}, {}, false, {}}) {}
StateCursor::~StateCursor() = default;
StateCursor::StateCursor(StateCursor&&) noexcept = default;
StateCursor& StateCursor::operator=(StateCursor&&) noexcept = default;

std::optional<BatchFailure> StateCursor::evaluate(const double* ets, std::size_t n, double* out) {
    return impl_->runner.run_with(EpochView{ets, 1, n}, 0, n, out, kNoFailure, impl_->plan, impl_->have,
                                  impl_->sc);
}

struct Itrf93Cursor::Impl {
    BatchRunner forward, inverse;
    KernelSnapshot::Plan plan;
    bool have = false;
};

Itrf93Cursor::Itrf93Cursor(const KernelSnapshot& snap)
    : impl_(new Impl{BatchRunner{snap, 0, 0, OutputFrame::Itrf93, true, false},
                     BatchRunner{snap, 0, 0, OutputFrame::Itrf93, true, true}, {}, false}) {}
Itrf93Cursor::~Itrf93Cursor() = default;
Itrf93Cursor::Itrf93Cursor(Itrf93Cursor&&) noexcept = default;
Itrf93Cursor& Itrf93Cursor::operator=(Itrf93Cursor&&) noexcept = default;

std::optional<BatchFailure> Itrf93Cursor::evaluate(const double* ets, std::size_t n, Mat6* out, bool inverse) {
    const BatchRunner& r = inverse ? impl_->inverse : impl_->forward;
    return r.run_transforms(EpochView{ets, 1, n}, 0, n, &out[0][0][0], kNoFailure, impl_->plan, impl_->have);
}

// ---------------------------------------------------------------------------
// Kernel sets

KernelSet::KernelSet() : snapshot_(std::make_shared<const KernelSnapshot>(std::vector<KernelSnapshot::File>{})) {}

std::expected<void, KernelSetError> KernelSet::load(const std::vector<std::string>& paths) {
    std::vector<KernelSnapshot::File> added;
    for (const std::string& path : paths) {
        auto k = open_kernel(path);
        if (!k) {
            const KernelFileError& e = k.error();
            return std::unexpected(KernelSetError(e.kind() == KernelFileError::Kind::Io ? KernelSetError::Kind::File
                                                                                         : KernelSetError::Kind::FileFormat,
                                                  e.message(), e.os_errno(), e.path()));
        }
        std::erase_if(added, [&](const KernelSnapshot::File& f) { return f.path == path; });
        added.push_back(KernelSnapshot::File{path, std::move(*k)});
    }
    std::lock_guard lock(mutex_);
    std::vector<KernelSnapshot::File> files;
    for (const auto& f : snapshot_->files())
        if (std::none_of(added.begin(), added.end(), [&](const auto& a) { return a.path == f.path; }))
            files.push_back(f);
    files.insert(files.end(), added.begin(), added.end());
    snapshot_ = std::make_shared<const KernelSnapshot>(std::move(files));
    return {};
}

bool KernelSet::unload(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<KernelSnapshot::File> files = snapshot_->files();
    const auto n = files.size();
    std::erase_if(files, [&](const KernelSnapshot::File& f) { return f.path == path; });
    if (files.size() == n) return false;
    snapshot_ = std::make_shared<const KernelSnapshot>(std::move(files));
    return true;
}

void KernelSet::clear() {
    std::lock_guard lock(mutex_);
    snapshot_ = std::make_shared<const KernelSnapshot>(std::vector<KernelSnapshot::File>{});
}

std::shared_ptr<const KernelSnapshot> KernelSet::snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

}  // namespace kernwerk
