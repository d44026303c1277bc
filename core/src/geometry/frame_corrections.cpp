#include "geometry/frame_corrections.hpp"

#include "geometry/apparent.hpp"
#include "sets/dynamic_states.hpp"

namespace kernwerk {

namespace {
std::expected<State, KernelSetError> corrected_state(const KernelSnapshot& snap, std::int32_t target,
                                                     std::int32_t observer, double et, VectorCorrection c) {
    // The two enumerations list the toolkit's corrections in the same order.
    static_assert(static_cast<int>(VectorCorrection::XcnS) == static_cast<int>(Correction::XcnS));
    ApparentQuery q{Endpoint::of_body(target), Endpoint::of_body(observer), OutputFrame::J2000,
                    static_cast<Correction>(static_cast<int>(c))};
    auto s = apparent_state(snap, q, et);
    if (!s) return std::unexpected(std::move(s.error()));
    return s->first;
}
}  // namespace

void install_dynamic_frame_corrections() noexcept { install_corrected_states(&corrected_state); }

}  // namespace kernwerk
