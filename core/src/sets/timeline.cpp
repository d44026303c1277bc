// Timelines: each body's exact run of winning segments over time, and the
// segment evaluation in rows that plans share.
#include "sets/kernel_set.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <queue>

#include "sets/internal.hpp"

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

using sets_detail::kInf;
using sets_detail::whole_line;

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

}  // namespace kernwerk
