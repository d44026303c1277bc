#include "spk/types/type08_12.hpp"

#include <cmath>

#include "spk/types/common.hpp"

namespace kernwerk {

namespace {

std::expected<EqualStepStates, SpkError> open_grid(const DafFile& daf, std::uint32_t begin, std::uint32_t end,
                                                   std::int32_t type) {
    auto seg = spk_types::segment_view(daf, begin, end, type);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size < 4) return spk_types::malformed(type, "segment shorter than its trailer");
    std::uint64_t n = 0, wm1 = 0;
    if (!spk_types::stored_count(seg->back(0), 1, seg->size, n))
        return spk_types::malformed(type, "N outside 1..segment length");
    if (6 * n + 4 != seg->size) return spk_types::malformed(type, "segment length does not match N states");
    // Type 8 stores its degree (a window of 2 or more states), Type 12 its
    // window size minus one: the toolkit's spkw12 writes degree 1, a window
    // of one state (moved along its velocity), which its reader reads.
    const std::uint64_t lo = type == 12 ? 0 : 1;
    if (!spk_types::stored_count(seg->back(1), lo, spk_types::kMaxWindow - 1, wm1))
        return spk_types::malformed(type, type == 12 ? "window size outside 1..32" : "window size outside 2..32");
    const double start = seg->back(3), step = seg->back(2);
    if (!std::isfinite(start)) return spk_types::malformed(type, "START not finite");
    if (!(step > 0.0) || !std::isfinite(step)) return spk_types::malformed(type, "STEP not positive");
    return EqualStepStates{seg->data, start, step, wm1 + 1, n};
}

}  // namespace

std::uint64_t EqualStepStates::first(double et) const noexcept {
    double r = (et - start) / step;
    // Far outside the states (or NaN) the window is the first or the last;
    // the bound keeps the index arithmetic below from overflowing.
    if (!(r > -1e18)) r = -1e18;
    if (r > 1e18) r = 1e18;
    std::int64_t f;
    if (window % 2 == 1)
        f = index_from_double(std::round(r)) - static_cast<std::int64_t>(window / 2);
    else
        f = index_from_double(r) - static_cast<std::int64_t>(window / 2) + 1;
    const std::uint64_t t = std::min(window, n);
    if (f < 0) return 0;
    return std::min(static_cast<std::uint64_t>(f), n - t);
}

std::expected<SpkType8, SpkError> SpkType8::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto g = open_grid(daf, begin, end, 8);
    if (!g) return std::unexpected(g.error());
    return SpkType8{daf, *g};
}

std::expected<SpkType12, SpkError> SpkType12::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto g = open_grid(daf, begin, end, 12);
    if (!g) return std::unexpected(g.error());
    return SpkType12{daf, *g};
}

// Types 8 and 12 interpolate in units of STEP, the window's nodes at 1..t
// and et at 1 + (et - x0) / STEP, x0 the window's first epoch: the toolkit's
// numbering, which its rounding follows.
namespace {
double unit_nodes(const EqualStepStates& grid, std::uint64_t first, double et, std::size_t t, double* nodes) {
    for (std::size_t j = 0; j < t; ++j) nodes[j] = static_cast<double>(j + 1);
    const double x0 = grid.start + static_cast<double>(first) * grid.step;
    return (et - x0) / grid.step + 1.0;
}
}  // namespace

std::expected<State, SpkError> SpkType8::evaluate(double et) const {
    const std::uint64_t first = grid.first(et);
    const std::size_t t = static_cast<std::size_t>(std::min(grid.window, grid.n));
    double nodes[spk_types::kMaxWindow];
    const double u = unit_nodes(grid, first, et, t, nodes);
    State out;
    spk_types::lagrange_neville<6>(nodes, t, u, grid.states + 6 * first, 6, out.data());
    return out;
}

std::expected<State, SpkError> SpkType12::evaluate(double et) const {
    const std::uint64_t first = grid.first(et);
    const std::size_t t = static_cast<std::size_t>(std::min(grid.window, grid.n));
    double nodes[spk_types::kMaxWindow];
    const double u = unit_nodes(grid, first, et, t, nodes);
    // In units of STEP the stored velocities are derivatives times STEP.
    const double* y = grid.states + 6 * first;
    State out;
    spk_types::hermite_neville<3>(nodes, t, u, y, y + 3, 6, grid.step, out.data(), out.data() + 3);
    return out;
}

}  // namespace kernwerk
