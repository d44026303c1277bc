// Helpers shared by the SPK reader's translation units (catalogue,
// evaluation, resolution, batches); not part of the core's interface.
#pragma once

#include "spk/spk.hpp"

namespace kernwerk::spk_detail {

// Closed coverage interval; false for a NaN epoch.
inline bool covers(const SpkSegment& seg, double et) noexcept { return seg.start_et <= et && et <= seg.end_et; }

// Most bodies of a chain step are hopped a handful of times; 32 steps bound
// a chain that never reaches the barycenter.
inline constexpr int kMaxChainSteps = 32;

}  // namespace kernwerk::spk_detail
