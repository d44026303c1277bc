// Plans and batches of one file: a chain planned once per stretch of
// epochs, its segments evaluated in rows (Types 2 and 3 in lanes).
#include "spk/spk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ranges>
#include <utility>

#include "spk/internal.hpp"
#include "spk/lanes.hpp"

namespace kernwerk {

using spk_detail::covers;
using spk_detail::kMaxChainSteps;

// Plans and batches

namespace {

// Narrows `p`'s stretch to where `seg` gives the verdict it gives at `et`
// (not NaN). `chain_form`: the test of a chain step, !(start > et || et >
// end), under which a NaN bound holds every epoch on its side; otherwise
// covers(), under which a NaN bound holds none.
void narrow(SpkPlan& p, const SpkSegment& seg, double et, bool covered, bool chain_form) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo = seg.start_et, hi = seg.end_et;
    if (std::isnan(lo) || std::isnan(hi)) {
        if (!chain_form) return;  // covers nothing, wherever
        if (std::isnan(lo)) lo = -inf;
        if (std::isnan(hi)) hi = inf;
    }
    const auto lower = [&](double v, bool closed) {
        if (v > p.lo) p.lo = v, p.lo_closed = closed;
        else if (v == p.lo) p.lo_closed = p.lo_closed && closed;
    };
    const auto upper = [&](double v, bool closed) {
        if (v < p.hi) p.hi = v, p.hi_closed = closed;
        else if (v == p.hi) p.hi_closed = p.hi_closed && closed;
    };
    if (covered) {
        lower(lo, true);
        upper(hi, true);
    } else if (et < lo) {
        upper(lo, false);
    } else {
        lower(hi, false);
    }
}

bool add_segment(SpkPlan& p, const SpkSegment& seg, std::uint8_t& at) noexcept {
    for (std::size_t d = 0; d < p.n_segments; ++d)
        if (p.segments[d] == &seg) {
            at = static_cast<std::uint8_t>(d);
            return true;
        }
    if (p.n_segments == SpkPlan::kMaxSegments) return false;
    at = static_cast<std::uint8_t>(p.n_segments);
    p.segments[p.n_segments++] = &seg;
    return true;
}

// The segment's states at ets[0..k) in J2000 into rows (six doubles each):
// the position of the first epoch that fails (k when none). Chebyshev
// segments go through the lanes; a failure is left to the per-epoch path,
// which reports it.
std::size_t eval_rows_j2000(const SpkSegment& seg, const double* ets, std::size_t k, double* rows) {
    if (seg.frame != SpkFile::kJ2000 && seg.frame != SpkFile::kEclipJ2000) return 0;
    const std::size_t done = std::visit(
        [&](const auto& p) -> std::size_t {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, SpkType2>) {
                return lanes::type2_rows(p, ets, k, rows);
            } else if constexpr (std::is_same_v<P, SpkType3>) {
                return lanes::type3_rows(p, ets, k, rows);
            } else if constexpr (std::is_same_v<P, SpkUnsupported>) {
                return 0;
            } else {
                for (std::size_t i = 0; i < k; ++i) {
                    auto st = p.evaluate(ets[i]);
                    if (!st) return i;
                    std::memcpy(rows + 6 * i, st->data(), sizeof(State));
                }
                return k;
            }
        },
        seg.payload);
    if (seg.frame == SpkFile::kEclipJ2000) {
        for (std::size_t i = 0; i < done; ++i) {
            double* r = rows + 6 * i;
            const State st =
                rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, State{r[0], r[1], r[2], r[3], r[4], r[5]});
            std::memcpy(r, st.data(), sizeof st);
        }
    }
    return done;
}

// The state of the plan's query from the rows of its segments (row `j` of
// each segment's block of `stride` doubles), in J2000.
State combine(const SpkPlan& p, const double* rows, std::size_t stride, std::size_t j) noexcept {
    State out{};
    if (p.mode == SpkPlan::Mode::Zero) return out;
    if (p.mode != SpkPlan::Mode::Chain) {
        const double* r = rows + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) out[c] = p.mode == SpkPlan::Mode::Direct ? r[c] : -r[c];
        return out;
    }
    // The sums of state_wrt_ssb: from +0, in chain order; target minus center.
    State t{}, ce{};
    for (std::size_t q = 0; q < p.n_target; ++q) {
        const double* r = rows + p.target_steps[q] * stride + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) t[c] = t[c] + r[c];
    }
    for (std::size_t q = 0; q < p.n_center; ++q) {
        const double* r = rows + p.center_steps[q] * stride + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) ce[c] = ce[c] + r[c];
    }
    for (std::size_t c = 0; c < 6; ++c) out[c] = t[c] - ce[c];
    return out;
}

}  // namespace

namespace {

// The last chain plan of each thread, for single calls: the file's id (ids
// are never reused, so a plan never outlives its file's match), the query
// and the plan.
struct ChainCache {
    std::uint64_t file = 0;
    std::int32_t target = 0, center = 0;
    SpkPlan plan;
};
thread_local ChainCache t_chain;

std::atomic<std::uint64_t> g_next_file_id{1};

}  // namespace

std::uint64_t SpkFile::next_id() noexcept { return g_next_file_id.fetch_add(1, std::memory_order_relaxed); }

const SpkPlan* SpkFile::cached_chain(std::uint64_t id, std::int32_t target, std::int32_t center, double et) noexcept {
    const ChainCache& c = t_chain;
    if (c.file != id || c.target != target || c.center != center || !c.plan.holds(et)) return nullptr;
    return &c.plan;
}

SpkPlan& SpkFile::cache_chain(std::uint64_t id, std::int32_t target, std::int32_t center) noexcept {
    ChainCache& c = t_chain;
    c.file = id, c.target = target, c.center = center;
    return c.plan;
}

void SpkFile::forget_chain() noexcept { t_chain.file = 0; }

// The plan's state at one epoch: every segment's record requested before
// any is read, each segment evaluated once. Nothing when an evaluation
// fails (the per-epoch path then reports it).
std::optional<State> SpkFile::eval_plan_one(const SpkPlan& p, double et) {
    const double* records[SpkPlan::kMaxSegments];
    for (std::size_t d = 0; d < p.n_segments; ++d) {
        const SpkPayload& payload = p.segments[d]->payload;
        const double* r = nullptr;
        if (const auto* t2 = std::get_if<SpkType2>(&payload)) r = lanes::record_of(*t2, et);
        else if (const auto* t3 = std::get_if<SpkType3>(&payload)) r = lanes::record_of(*t3, et);
        records[d] = r;
        if (r) __builtin_prefetch(r);
    }
    double rows[6 * SpkPlan::kMaxSegments];
    for (std::size_t d = 0; d < p.n_segments; ++d) {
        const SpkSegment& seg = *p.segments[d];
        double* row = rows + 6 * d;
        bool ok;
        if (records[d] && seg.frame == kJ2000) {
            if (const auto* t2 = std::get_if<SpkType2>(&seg.payload)) ok = lanes::row_from(*t2, records[d], et, row);
            else ok = lanes::row_from(std::get<SpkType3>(seg.payload), records[d], et, row);
        } else {
            ok = eval_rows_j2000(seg, &et, 1, row) == 1;
        }
        if (!ok) return std::nullopt;
    }
    return combine(p, rows, 6, 0);
}

// The steps of state_wrt_ssb from `body`, when every step meets exactly one
// covering segment (so that the step evaluates nothing but the segment it
// takes) and the chain reaches the barycenter.
bool SpkFile::plan_chain(std::int32_t body, double et, SpkPlan& p, bool center_side) const {
    if (body == 0) return true;
    std::int32_t current = body;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        auto it = by_target_.find(current);
        if (it == by_target_.end()) return false;
        const SpkSegment* chosen = nullptr;
        for (std::uint32_t pos : it->second) {
            const SpkSegment& seg = segments_[pos];
            const bool covered = !(seg.start_et > et || et > seg.end_et);
            if (covered && chosen) return false;
            narrow(p, seg, et, covered, true);
            if (covered) {
                chosen = &seg;
                if (seg.center == 0) break;  // the step stops looking here
            }
        }
        if (!chosen) return false;
        std::uint8_t at;
        if (!add_segment(p, *chosen, at)) return false;
        std::size_t& n = center_side ? p.n_center : p.n_target;
        (center_side ? p.center_steps : p.target_steps)[n++] = at;
        current = chosen->center;
        if (current == 0) return true;
        if (current == body) return false;
    }
    return false;
}

bool SpkFile::plan(std::int32_t target, std::int32_t center, double et, SpkPlan& p) const {
    p = SpkPlan{};
    if (target == center) return true;
    // The walks of state(): the pair's segments, then the reversed pair's;
    // the first that covers `et` answers (the hint only ever finds that one).
    for (int reversed = 0; reversed < 2; ++reversed) {
        auto it = index_.find(reversed ? std::pair{center, target} : std::pair{target, center});
        if (it == index_.end()) continue;
        for (std::size_t pos : it->second) {
            const SpkSegment& seg = segments_[pos];
            const bool covered = covers(seg, et);
            narrow(p, seg, et, covered, false);
            if (!covered) continue;
            if (!reversed && flags_[pos]) hint_.store(pos, std::memory_order_relaxed);
            p.mode = reversed ? SpkPlan::Mode::Reversed : SpkPlan::Mode::Direct;
            p.segments[0] = &seg;
            p.n_segments = 1;
            return true;
        }
    }
    p.mode = SpkPlan::Mode::Chain;
    return plan_chain(target, et, p, false) && plan_chain(center, et, p, true);
}

// A chain planned at `et` and kept for the next calls of this thread: every
// segment read at once (their records requested together), each evaluated
// once. Nothing when the per-epoch path must answer, which then also reports
// any failure.
std::optional<State> SpkFile::chain_by_plan(std::int32_t target, std::int32_t center, double et) const {
    SpkPlan& p = cache_chain(id_, target, center);
    if (std::isnan(et) || !plan(target, center, et, p) || p.mode != SpkPlan::Mode::Chain) {
        forget_chain();
        return std::nullopt;
    }
    return eval_plan_one(p, et);
}

std::optional<SpkBatchFailure> SpkFile::state_rows(std::int32_t target, std::int32_t center, InertialFrame frame,
                                                   const void* ets, std::ptrdiff_t stride, std::size_t count,
                                                   double* rows) const {
    constexpr std::size_t kBlock = 64;
    const auto* base = static_cast<const unsigned char*>(ets);
    const auto at = [&](std::size_t i) {
        double v;
        std::memcpy(&v, base + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    };
    const auto finish = [&](State s, double* row) {
        if (frame != InertialFrame::J2000) s = rotate_state(InertialFrame::J2000, frame, s);
        std::memcpy(row, s.data(), sizeof s);
    };
    // The per-epoch path: NaifSpk.state's own answer and error.
    const auto one = [&](std::size_t i, double et) -> std::optional<SpkBatchFailure> {
        auto s = state_in_frame(target, center, frame, et);
        if (!s) return SpkBatchFailure{i, std::move(s.error())};
        std::memcpy(rows + 6 * i, s->data(), sizeof(State));
        return std::nullopt;
    };

    double block[kBlock];
    std::vector<double> seg_rows;  // one block of rows per distinct segment
    SpkPlan p;
    bool have = false;

    // A window of unsorted epochs that many plans serve (random epochs over
    // a file of many segments) goes in time order, each block's rows put
    // back at their epochs' places: every epoch's row is its own arithmetic
    // whatever block it is in. False where the per-epoch path must answer
    // (the window then goes as it comes, which also reports any failure).
    constexpr std::size_t kWindow = 1024;
    std::vector<std::pair<double, std::uint32_t>> order;  // made on first use
    const auto wants_order = [&](std::size_t b, std::size_t e) {
        std::size_t j = b + 1;
        while (j < e && at(j) >= at(j - 1)) ++j;  // a NaN stops it too
        if (j == e || std::isnan(at(b))) return false;
        if (!have || !p.holds(at(b))) {
            have = plan(target, center, at(b), p);
            if (!have) return false;
        }
        std::size_t outside = 0;
        for (j = b; j < e; ++j) {
            if (std::isnan(at(j))) return false;
            outside += !p.holds(at(j));
        }
        return 32 * outside > e - b;
    };
    const auto ordered = [&](std::size_t b, std::size_t e) {
        const std::size_t n = e - b;
        order.resize(kWindow);
        for (std::size_t j = 0; j < n; ++j) order[j] = {at(b + j), static_cast<std::uint32_t>(j)};
        std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n));
        for (std::size_t j = 0; j < n;) {
            if (!have || !p.holds(order[j].first)) {
                have = plan(target, center, order[j].first, p);
                if (!have) return false;
            }
            if (seg_rows.size() < p.n_segments * 6 * kBlock) seg_rows.resize(p.n_segments * 6 * kBlock);
            std::size_t k = 0;
            while (k < kBlock && j + k < n && p.holds(order[j + k].first)) {
                block[k] = order[j + k].first;
                ++k;
            }
            for (std::size_t d = 0; d < p.n_segments; ++d)
                if (eval_rows_j2000(*p.segments[d], block, k, seg_rows.data() + d * 6 * kBlock) != k) return false;
            for (std::size_t q = 0; q < k; ++q)
                finish(combine(p, seg_rows.data(), 6 * kBlock, q), rows + 6 * (b + order[j + q].second));
            j += k;
        }
        return true;
    };

    std::size_t i = 0;
    while (i < count) {
        const std::size_t we = std::min(count, i + kWindow);
        if (we - i >= 16 && wants_order(i, we) && ordered(i, we)) {
            i = we;
            continue;
        }
        while (i < we) {
            const double et = at(i);
            if (!have || !p.holds(et)) {
                have = !std::isnan(et) && plan(target, center, et, p);
                if (!have) {
                    if (auto f = one(i, et)) return f;
                    ++i;
                    continue;
                }
            }
            // (also for a plan that wants_order made)
            if (seg_rows.size() < p.n_segments * 6 * kBlock) seg_rows.resize(p.n_segments * 6 * kBlock);
            std::size_t k = 1;
            block[0] = et;
            while (k < kBlock && i + k < we) {
                const double e = at(i + k);
                if (!p.holds(e)) break;  // also for NaN
                block[k++] = e;
            }
            bool ok = true;
            for (std::size_t d = 0; d < p.n_segments && ok; ++d)
                ok = eval_rows_j2000(*p.segments[d], block, k, seg_rows.data() + d * 6 * kBlock) == k;
            if (!ok) [[unlikely]] {
                for (std::size_t j = 0; j < k; ++j)
                    if (auto f = one(i + j, block[j])) return f;
            } else {
                for (std::size_t j = 0; j < k; ++j) finish(combine(p, seg_rows.data(), 6 * kBlock, j), rows + 6 * (i + j));
            }
            i += k;
        }
    }
    return std::nullopt;
}

}  // namespace kernwerk
