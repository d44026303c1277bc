// Helpers shared by the kernel set's translation units (timelines,
// snapshots, batches); not part of the core's interface.
#pragma once

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sets/kernel_set.hpp"

namespace kernwerk::sets_detail {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The run that covers every epoch, with no segment.
inline Run whole_line() noexcept { return Run{-kInf, kInf, true, true, -1}; }

// Up to eight intervals as "[a, b], [c, d]" and a count of the rest.
std::string format_intervals(const std::vector<std::pair<double, double>>& ivs);

}  // namespace kernwerk::sets_detail
