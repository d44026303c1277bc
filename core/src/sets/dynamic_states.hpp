// States of bodies for two-vector dynamic frames (frames/dynamic.hpp),
// answered from a snapshot: geometric states from its segments; corrected
// ones (light time, stellar aberration) through the function the geometry
// layer installs (geometry/frame_corrections.hpp), as sets cannot reach it.
#pragma once

#include <cstdint>
#include <expected>

#include "frames/dynamic.hpp"

namespace kernwerk {

class KernelSnapshot;
class KernelSetError;

// Target relative to observer in J2000 at `et` with `correction` (never None).
using CorrectedStateFn = std::expected<State, KernelSetError> (*)(const KernelSnapshot& snap, std::int32_t target,
                                                                   std::int32_t observer, double et,
                                                                   VectorCorrection correction);
void install_corrected_states(CorrectedStateFn fn) noexcept;

class SnapshotStateSource final : public BodyStateSource {
public:
    explicit SnapshotStateSource(const KernelSnapshot& snap) : snap_(snap) {}
    std::expected<State, FrameError> state(std::int32_t target, std::int32_t observer, double et,
                                           VectorCorrection correction) const override;
    std::expected<void, FrameError> states(std::int32_t target, std::int32_t observer, const double* ets,
                                           std::size_t n, State* out, VectorCorrection correction) const override;

private:
    const KernelSnapshot& snap_;
};

}  // namespace kernwerk
