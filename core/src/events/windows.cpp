#include "events/windows.hpp"

#include <algorithm>
#include <cmath>

namespace kernwerk::events {

namespace {

std::string row(const char* what, std::size_t i) { return std::string(what) + " row " + std::to_string(i); }

// Appends [s, e] to a window being built in order, merging with the last
// interval when they overlap or touch.
void append(Window& out, double s, double e) {
    if (!out.empty() && s <= out.back().stop) {
        out.back().stop = std::max(out.back().stop, e);
        return;
    }
    out.push_back({s, e});
}

}  // namespace

std::optional<std::string> check_intervals(std::span<const Interval> w, const char* what) {
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (std::isnan(w[i].start) || std::isnan(w[i].stop)) return row(what, i) + " has a NaN end";
        if (w[i].start > w[i].stop)
            return row(what, i) + " is inverted: start " + std::to_string(w[i].start) + " > stop " +
                   std::to_string(w[i].stop);
    }
    return std::nullopt;
}

std::optional<std::string> check_window(std::span<const Interval> w, const char* what) {
    if (auto m = check_intervals(w, what)) return m;
    for (std::size_t i = 1; i < w.size(); ++i)
        if (w[i].start <= w[i - 1].stop)
            return row(what, i) + (w[i].start < w[i - 1].start ? " is out of order" : " overlaps or touches row " +
                                   std::to_string(i - 1)) + " (a window's intervals are sorted and disjoint; "
                   "build one from arbitrary intervals with window())";
    return std::nullopt;
}

Window normalize(std::vector<Interval> intervals) {
    std::sort(intervals.begin(), intervals.end(),
              [](const Interval& x, const Interval& y) { return x.start < y.start; });
    Window out;
    out.reserve(intervals.size());
    for (const Interval& v : intervals) append(out, v.start, v.stop);
    return out;
}

Window unite(std::span<const Interval> a, std::span<const Interval> b) {
    Window out;
    out.reserve(a.size() + b.size());
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        const Interval& v = (j == b.size() || (i < a.size() && a[i].start <= b[j].start)) ? a[i++] : b[j++];
        append(out, v.start, v.stop);
    }
    return out;
}

Window intersect(std::span<const Interval> a, std::span<const Interval> b) {
    Window out;
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const double s = std::max(a[i].start, b[j].start), e = std::min(a[i].stop, b[j].stop);
        if (s <= e) out.push_back({s, e});
        if (a[i].stop < b[j].stop) ++i; else ++j;
    }
    return out;
}

Window difference(std::span<const Interval> a, std::span<const Interval> b) {
    Window out;
    std::size_t j = 0;
    for (const Interval& v : a) {
        while (j < b.size() && b[j].stop < v.start) ++j;
        double s = v.start;
        bool covered = false;
        for (std::size_t k = j; k < b.size() && b[k].start <= v.stop; ++k) {
            if (b[k].start > s) append(out, s, b[k].start);
            s = std::max(s, b[k].stop);
            if (b[k].stop >= v.stop) {
                covered = true;
                break;
            }
        }
        // What is left after the last interval of b: its first point was
        // removed with b, the closure puts it back.
        if (!covered) append(out, s, v.stop);
    }
    return out;
}

Window complement(std::span<const Interval> w, double left, double right) {
    const Interval all[1] = {{left, right}};
    return difference(all, w);
}

Window expand(std::span<const Interval> w, double left, double right) {
    Window out;
    out.reserve(w.size());
    for (const Interval& v : w) {
        const double s = v.start - left, e = v.stop + right;
        if (s > e) continue;
        // Every start moves by the same amount, so the starts stay in order.
        append(out, s, e);
    }
    return out;
}

Window contract(std::span<const Interval> w, double left, double right) { return expand(w, -left, -right); }

Window filter(std::span<const Interval> w, double shortest) {
    Window out;
    for (const Interval& v : w)
        if (v.stop - v.start > shortest) out.push_back(v);
    return out;
}

double measure(std::span<const Interval> w) {
    double sum = 0;
    for (const Interval& v : w) sum += v.stop - v.start;
    return sum;
}

WindowSummary summarize(std::span<const Interval> w) {
    WindowSummary s;
    if (w.empty()) return s;
    double squares = 0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double m = w[i].stop - w[i].start;
        s.measure += m;
        squares += m * m;
        const auto at = static_cast<std::ptrdiff_t>(i);
        if (s.shortest < 0 || m < w[s.shortest].stop - w[s.shortest].start) s.shortest = at;
        if (s.longest < 0 || m > w[s.longest].stop - w[s.longest].start) s.longest = at;
    }
    const double n = static_cast<double>(w.size());
    s.average = s.measure / n;
    s.stddev = std::sqrt(std::max(0.0, squares / n - s.average * s.average));
    return s;
}

}  // namespace kernwerk::events
