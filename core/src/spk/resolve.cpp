// State resolution of one file: a segment evaluated in J2000, the pair's
// own segments, then the chains through the solar system barycenter.
#include "spk/spk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ranges>
#include <utility>

#include "spk/internal.hpp"

namespace kernwerk {

namespace {

using spk_detail::covers;
using spk_detail::kMaxChainSteps;

State negated(const State& s) noexcept { return State{-s[0], -s[1], -s[2], -s[3], -s[4], -s[5]}; }

}  // namespace

namespace {

std::expected<State, SpkError> eval_payload(const SpkSegment& seg, double et) {
    return std::visit(
        [&](const auto& p) -> std::expected<State, SpkError> {
            if constexpr (std::is_same_v<std::decay_t<decltype(p)>, SpkUnsupported>)
                return std::unexpected(SpkError::unsupported_type(seg.data_type));
            else
                return p.evaluate(et);
        },
        seg.payload);
}

// States are combined in J2000: an ECLIPJ2000 segment is rotated into it, any
// other frame ends the query (it would otherwise be taken for J2000). Kept
// out of line, off the path of J2000 segments.
[[gnu::noinline]] std::expected<State, SpkError> eval_other_frame(const SpkSegment& seg, double et) {
    if (seg.frame != SpkFile::kEclipJ2000) return std::unexpected(SpkError::unsupported_frame(seg));
    auto s = eval_payload(seg, et);
    if (s) *s = rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, *s);
    return s;
}

}  // namespace

std::expected<State, SpkError> SpkFile::eval_segment(const SpkSegment& seg, double et) {
    if (seg.frame != kJ2000) [[unlikely]]
        return eval_other_frame(seg, et);
    return eval_payload(seg, et);
}

std::expected<State, SpkError> SpkFile::state(std::int32_t target, std::int32_t center, double et) const {
    if (target == center) return State{};

    // The hint holds only a segment with no overlapping sibling of its pair,
    // so it is the segment the direct-pair walk below would pick.
    const std::size_t h = hint_.load(std::memory_order_relaxed);
    if (h < segments_.size() && flags_[h]) {
        const SpkSegment& seg = segments_[h];
        if (seg.target == target && seg.center == center && covers(seg, et)) return eval_segment(seg, et);
    }
    // A chain this thread planned for the same query, while `et` stays in
    // its stretch (the plan includes the pair walks below, which found
    // nothing there).
    if (const SpkPlan* p = cached_chain(id_, target, center, et))
        if (auto s = eval_plan_one(*p, et)) return *s;

    if (!index_.empty()) {
        if (auto it = index_.find({target, center}); it != index_.end()) {
            for (std::size_t pos : it->second) {
                const SpkSegment& seg = segments_[pos];
                if (!covers(seg, et)) continue;
                if (flags_[pos]) hint_.store(pos, std::memory_order_relaxed);
                return eval_segment(seg, et);
            }
        }
        if (auto it = index_.find({center, target}); it != index_.end()) {
            for (std::size_t pos : it->second) {
                const SpkSegment& seg = segments_[pos];
                if (!covers(seg, et)) continue;
                auto s = eval_segment(seg, et);
                if (!s) return std::unexpected(s.error());
                return negated(*s);
            }
        }
    }
    return state_via_ssb_chain(target, center, et);
}

std::expected<State, SpkError> SpkFile::state_in_frame(std::int32_t target, std::int32_t center,
                                                       InertialFrame frame, double et) const {
    auto s = state(target, center, et);
    if (!s) return s;
    return rotate_state(InertialFrame::J2000, frame, *s);
}

std::expected<State, SpkError> SpkFile::state_via_ssb_chain(std::int32_t target, std::int32_t center,
                                                            double et) const {
    if (auto fast = chain_by_plan(target, center, et)) return *fast;
    auto t = state_wrt_ssb(target, et);
    if (!t) return t;
    auto c = state_wrt_ssb(center, et);
    if (!c) return c;
    State out;
    for (std::size_t k = 0; k < 6; ++k) out[k] = (*t)[k] - (*c)[k];
    return out;
}

std::expected<State, SpkError> SpkFile::state_wrt_ssb(std::int32_t body, double et) const {
    State acc{};
    if (body == 0) return acc;
    std::int32_t current = body;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        auto s = step_of(current, et);
        if (!s) return std::unexpected(s.error());
        for (std::size_t k = 0; k < 6; ++k) acc[k] = acc[k] + s->state[k];
        current = s->center;
        if (current == 0) return acc;
        if (current == body) break;  // the chain came back to its start
    }
    return std::unexpected(SpkError::no_coverage(et, body, 0));
}

namespace {

// One chain step of `body` at `et` over `segments` (any range of segment
// references, in file order): every covering segment of the body before the
// one chosen is evaluated, so that a failing one fails the step; a segment
// relative to the barycenter answers at once, otherwise the first covering
// one does.
template <typename Segments>
std::expected<SpkFile::Step, SpkError> first_step(const Segments& segments, std::int32_t body, double et) {
    std::optional<SpkFile::Step> candidate;
    for (const SpkSegment& seg : segments) {
        // Written as two negated comparisons, so a NaN epoch is accepted.
        if (seg.target != body || seg.start_et > et || et > seg.end_et) continue;
        auto s = SpkFile::eval_segment(seg, et);
        if (!s) return std::unexpected(s.error());
        if (seg.center == 0) return SpkFile::Step{*s, 0};
        if (!candidate) candidate = SpkFile::Step{*s, seg.center};
    }
    if (candidate) return *candidate;
    return std::unexpected(SpkError::no_coverage(et, body, 0));
}

}  // namespace

// step_toward_ssb over the body's own segments, which are the only ones it
// would look at, in the same (file) order.
std::expected<SpkFile::Step, SpkError> SpkFile::step_of(std::int32_t body, double et) const {
    static const std::vector<std::uint32_t> none;
    const auto it = by_target_.find(body);
    const auto& positions = it != by_target_.end() ? it->second : none;
    return first_step(positions | std::views::transform([this](std::uint32_t pos) -> const SpkSegment& {
                          return segments_[pos];
                      }),
                      body, et);
}

std::expected<SpkFile::Step, SpkError> SpkFile::step_toward_ssb(const std::vector<SpkSegment>& segments,
                                                                std::int32_t body, double et) {
    return first_step(segments, body, et);
}

}  // namespace kernwerk
