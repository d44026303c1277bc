#include "spk/types/type01.hpp"

#include <algorithm>
#include <array>

#include "spk/types/common.hpp"

namespace kernwerk {

namespace spk_types {

const char* check_difference_line(const double* rec, std::size_t maxdim) noexcept {
    std::uint64_t kqmax1 = 0, kq = 0;
    if (!stored_count(rec[4 * maxdim + 7], 2, maxdim + 1, kqmax1)) return "KQMAX1 outside 2..MAXDIM+1";
    for (std::size_t i = 1; i <= 3; ++i)
        if (!stored_count(rec[4 * maxdim + 7 + i], 0, kqmax1 - 1, kq)) return "KQ outside 0..KQMAX1-1";
    return nullptr;
}

// Two doubles in the lanes of one vector register (SSE2 on x86-64, NEON on
// ARM, plain pairs elsewhere); arithmetic on them is lane by lane.
typedef double Pair __attribute__((vector_size(16)));

// 1/j for j up to MAXDIM + 1, as the division gives it.
constexpr auto kInverses = [] {
    std::array<double, kMaxDifferenceTerms + 2> out{};
    for (std::size_t j = 1; j < out.size(); ++j) out[j] = 1.0 / static_cast<double>(j);
    return out;
}();

// sum[i] = the sum over j from KQ(i) down to 1 of DT(j, i) w[j], in that
// order for each axis; the three axes advance together, as independent
// chains of additions.
inline void weighted_sums(const double* dt, std::size_t maxdim, const std::int64_t kq[3], const double* w,
                          double sum[3]) noexcept {
    sum[0] = sum[1] = sum[2] = 0.0;
    for (std::int64_t j = std::max({kq[0], kq[1], kq[2]}); j >= 1; --j)
        for (std::size_t i = 0; i < 3; ++i)
            if (j <= kq[i]) sum[i] = sum[i] + dt[i * maxdim + static_cast<std::size_t>(j) - 1] * w[j];
}

// The integrator's own evaluation, each value formed by its operations in
// its order. Arrays are indexed from 1 as in the integrator's formulation;
// FC and G need MAXDIM slots, WC MAXDIM - 1.
State evaluate_difference_line(const double* rec, std::size_t maxdim, double et) noexcept {
    constexpr std::size_t kSlots = kMaxDifferenceTerms + 3;
    double fc[kSlots], wc[kSlots];
    const double* g = rec;  // g[j] = G(j), j from 1
    const double tl = rec[0];
    const double* ref = rec + maxdim + 1;  // X VX Y VY Z VZ
    const double* dt = rec + maxdim + 7;   // DT(j, i) = dt[(i - 1) * maxdim + j - 1]
    // The orders were checked at open; they are bounded again as they are
    // read, since a file rewritten in place under its mapping must not make
    // them index past the arrays.
    const auto md = static_cast<std::int64_t>(maxdim);
    const std::int64_t kqmax1 = std::clamp<std::int64_t>(index_from_double(rec[4 * maxdim + 7]), 2, md + 1);
    std::int64_t kq[3];
    for (std::size_t i = 0; i < 3; ++i)
        kq[i] = std::clamp<std::int64_t>(index_from_double(rec[4 * maxdim + 8 + i]), 0, kqmax1 - 1);

    const double delta = et - tl;
    double tp = delta;
    const std::int64_t mq2 = kqmax1 - 2;
    // FC(J+1) = TP / G(J) and WC(J) = DELTA / G(J) as the two lanes of one
    // vector division (each lane an IEEE division, so the same quotients).
    for (std::int64_t j = 1; j <= mq2; ++j) {
        const Pair q = Pair{tp, delta} / Pair{g[j], g[j]};
        fc[j + 1] = q[0];
        wc[j] = q[1];
        tp = delta + g[j];
    }

    // The integrator's W recursion runs levels KS = KQMAX1 - 1 down to 2 and
    // a last one at KS = 1, level l (from 1) forming JX = l elements (the
    // last one JX = L, L = KQMAX1 - 2), each W(J+KS) = FC(J+1) W(J+KS1) -
    // WC(J) W(J+KS) in turn. Unrolled, element J of level l is
    //   E(l, J) = FC(J+1) E(l, J-1) - WC(J) E(l-1, J-1),  E(l, 0) = 1 / (KQMAX1 - l),
    // the same two products and difference: so the elements are formed here
    // J by J across all levels at once (each needs only step J - 1), which
    // keeps the chain of dependent operations L long instead of L^2 / 2,
    // with every value bit for bit the integrator's. The position sums read
    // level L, the velocity sums the last level, E(., J-1) as their W(J).
    const auto levels = static_cast<std::size_t>(mq2);  // L
    double e[kSlots];
    for (std::size_t l = 0; l <= levels + 1; ++l) e[l] = kInverses[static_cast<std::size_t>(kqmax1) - l];
    double pos[kSlots], vel[kSlots];  // from index 1: E(L, J-1), E(L+1, J-1)
    pos[1] = e[levels];
    vel[1] = e[levels + 1];
    for (std::size_t j = 1; j <= levels; ++j) {
        // Upward, the old E(l-1) carried from the step before: every load
        // reads a whole earlier store.
        double below = e[j - 1];
        for (std::size_t l = j; l <= levels + 1; ++l) {
            const double old = e[l];
            e[l] = fc[j + 1] * old - wc[j] * below;
            below = old;
        }
        pos[j + 1] = e[levels];
        vel[j + 1] = e[levels + 1];
    }
    State out;
    double sum[3];
    weighted_sums(dt, maxdim, kq, pos, sum);
    for (int i = 0; i < 3; ++i) out[i] = ref[2 * i] + delta * (ref[2 * i + 1] + delta * sum[i]);
    weighted_sums(dt, maxdim, kq, vel, sum);
    for (int i = 0; i < 3; ++i) out[i + 3] = ref[2 * i + 1] + delta * sum[i];
    return out;
}

std::expected<DifferenceLines, SpkError> DifferenceLines::check(const double* data, std::uint64_t words,
                                                                std::uint64_t n, std::uint64_t maxdim,
                                                                std::uint64_t trailer, std::int32_t data_type) {
    const std::uint64_t dlsize = 4 * maxdim + 11;
    // n <= words keeps the products below from overflowing.
    if (n == 0 || n > words || (dlsize + 1) * n + trailer > words ||
        !directory_fits(words - (dlsize + 1) * n - trailer, n))
        return malformed(data_type, "segment length does not match N difference lines");
    const double* epochs = data + dlsize * n;
    if (!sorted_epochs(epochs, n, false)) return malformed(data_type, "epochs not in increasing order");
    for (std::uint64_t k = 0; k < n; ++k)
        if (const char* why = check_difference_line(data + k * dlsize, maxdim)) return malformed(data_type, why);
    return DifferenceLines{data, n, dlsize, maxdim};
}

State DifferenceLines::evaluate(double et) const noexcept {
    std::uint64_t k = first_not_before(data + dlsize * n, n, et);
    if (k == n) k = n - 1;
    return evaluate_difference_line(data + k * dlsize, maxdim, et);
}

}  // namespace spk_types

std::expected<SpkType1, SpkError> SpkType1::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto seg = spk_types::segment_view(daf, begin, end, 1);
    if (!seg) return std::unexpected(seg.error());
    std::uint64_t n = 0;
    if (!spk_types::stored_count(seg->back(0), 1, seg->size, n))
        return spk_types::malformed(1, "N outside 1..segment length");
    auto lines = spk_types::DifferenceLines::check(seg->data, seg->size, n, 15, 1, 1);
    if (!lines) return std::unexpected(lines.error());
    return SpkType1{daf, *lines};
}

}  // namespace kernwerk
