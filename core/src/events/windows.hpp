// Windows: sets of time, as the NAIF toolkit's window routines keep them.
//
// A window is a sequence of closed intervals [start, stop] with
// start <= stop, sorted and disjoint: each interval ends strictly before the
// next begins (touching intervals are one interval). Degenerate intervals
// [t, t] are instants and are kept like any other.
//
// The operations give the toolkit's results (wnunid, wnintd, wndifd,
// wncomd, wncond, wnexpd, wnfltd, wnsumd), found by experiment:
//   * union merges intervals that overlap or touch;
//   * intersection keeps the instants where two intervals touch;
//   * difference is the closure of A minus B: removing an instant or an
//     interval's end point changes nothing, [1, 5] - [3, 3] is [1, 5];
//   * complement within [left, right] is [left, right] - window;
//   * expand moves starts by -left and stops by +right, drops the intervals
//     that become inverted and merges those that come to overlap or touch;
//     contract is expand by (-left, -right), so an interval whose contracted
//     ends meet becomes an instant and one whose ends cross is removed;
//   * filter removes the intervals of measure at most `shortest`.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kernwerk::events {

struct Interval {
    double start = 0, stop = 0;
    bool operator==(const Interval&) const = default;
};

using Window = std::vector<Interval>;

// Why `w` is not a window (naming the first offending row as `what` row i),
// or nothing when it is one: NaN ends, start > stop, rows out of order or
// overlapping or touching.
std::optional<std::string> check_window(std::span<const Interval> w, const char* what = "window");

// The window covering every interval of `intervals` (any order, overlapping
// allowed; none may be inverted or NaN: check first with check_intervals).
Window normalize(std::vector<Interval> intervals);
std::optional<std::string> check_intervals(std::span<const Interval> w, const char* what = "intervals");

// Inputs must be windows (check_window).
Window unite(std::span<const Interval> a, std::span<const Interval> b);
Window intersect(std::span<const Interval> a, std::span<const Interval> b);
Window difference(std::span<const Interval> a, std::span<const Interval> b);
// left <= right (checked by the caller).
Window complement(std::span<const Interval> w, double left, double right);
Window expand(std::span<const Interval> w, double left, double right);
Window contract(std::span<const Interval> w, double left, double right);
Window filter(std::span<const Interval> w, double shortest);

struct WindowSummary {
    double measure = 0, average = 0, stddev = 0;  // population standard deviation of the measures
    std::ptrdiff_t shortest = -1, longest = -1;   // first interval of least and greatest measure; -1 if empty
};
WindowSummary summarize(std::span<const Interval> w);
double measure(std::span<const Interval> w);

}  // namespace kernwerk::events
