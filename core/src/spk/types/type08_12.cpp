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
    if (!spk_types::stored_count(seg->back(1), 1, spk_types::kMaxWindow - 1, wm1))
        return spk_types::malformed(type, "window size outside 2..32");
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

std::expected<State, SpkError> SpkType8::evaluate(double et) const {
    const std::uint64_t first = grid.first(et);
    const std::size_t t = static_cast<std::size_t>(std::min(grid.window, grid.n));
    const double x0 = grid.start + static_cast<double>(first) * grid.step;
    const double u = (et - x0) / grid.step;
    double nodes[spk_types::kMaxWindow], l[spk_types::kMaxWindow];
    for (std::size_t j = 0; j < t; ++j) nodes[j] = static_cast<double>(j);
    spk_types::lagrange_weights(nodes, t, u, l);
    const double* y = grid.states + 6 * first;
    State out;
    for (std::size_t c = 0; c < 6; ++c) out[c] = spk_types::weigh(l, y + c, 6, t);
    return out;
}

std::expected<State, SpkError> SpkType12::evaluate(double et) const {
    const std::uint64_t first = grid.first(et);
    const std::size_t t = static_cast<std::size_t>(std::min(grid.window, grid.n));
    const double x0 = grid.start + static_cast<double>(first) * grid.step;
    const double u = (et - x0) / grid.step;
    double nodes[spk_types::kMaxWindow];
    for (std::size_t j = 0; j < t; ++j) nodes[j] = static_cast<double>(j);
    spk_types::HermiteWeights w;
    spk_types::hermite_weights(nodes, t, u, w);
    // In units of u the stored velocities are derivatives times STEP, and
    // the polynomial's derivative is per STEP seconds: the weights take both
    // factors.
    const double recip = 1.0 / grid.step;
    for (std::size_t j = 0; j < t; ++j) {
        w.d[j] = w.d[j] * grid.step;
        w.df[j] = w.df[j] * recip;
    }
    const double* y = grid.states + 6 * first;
    State out;
    for (std::size_t c = 0; c < 3; ++c) {
        out[c] = spk_types::weigh2(w.f, y + c, w.d, y + c + 3, 6, t);
        out[c + 3] = spk_types::weigh2_derivative(w.df, y + c, w.dd, y + c + 3, 6, t);
    }
    return out;
}

}  // namespace kernwerk
