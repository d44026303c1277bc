#include "spk/types/type18_19.hpp"

#include "spk/types/common.hpp"

namespace kernwerk {

std::expected<PacketBlock, SpkError> PacketBlock::check(const double* data, std::uint64_t words, int max_subtype,
                                                        std::int32_t data_type) {
    using spk_types::malformed;
    if (words < 3) return malformed(data_type, "packet block shorter than its trailer");
    std::uint64_t subtype = 0, window = 0, n = 0;
    if (!spk_types::stored_count(data[words - 3], 0, static_cast<std::uint64_t>(max_subtype), subtype))
        return malformed(data_type, max_subtype == 1 ? "subtype not 0 or 1" : "subtype not 0, 1 or 2");
    if (!spk_types::stored_count(data[words - 2], 2, spk_types::kMaxWindow, window) || window % 2 != 0)
        return malformed(data_type, "window size not even in 2..32");
    if (!spk_types::stored_count(data[words - 1], 1, words, n)) return malformed(data_type, "N outside 1..block length");
    const std::uint64_t size = subtype == 0 ? 12 : 6;
    if ((size + 1) * n + 3 > words || !spk_types::directory_fits(words - (size + 1) * n - 3, n))
        return malformed(data_type, "block length does not match N packets");
    const double* epochs = data + size * n;
    if (!spk_types::sorted_epochs(epochs, n, true)) return malformed(data_type, "epochs not strictly increasing");
    return PacketBlock{data, epochs, n, window, size, static_cast<int>(subtype)};
}

State PacketBlock::evaluate(double et) const noexcept {
    // i, the last epoch before et (-1 when none; on an epoch, the one
    // before it, as the toolkit takes it); the window runs from i - W/2 + 1
    // to i + W/2, cut (not shifted) at the block's ends.
    const auto i = static_cast<std::int64_t>(spk_types::first_not_before(epochs, n, et)) - 1;
    const auto half = static_cast<std::int64_t>(window / 2);
    const std::int64_t lo = std::max<std::int64_t>(0, i - half + 1);
    const std::int64_t hi = std::min<std::int64_t>(static_cast<std::int64_t>(n) - 1, i + half);
    const auto first = static_cast<std::uint64_t>(lo);
    const auto t = static_cast<std::uint64_t>(hi - lo + 1);
    const double* x = epochs + first;
    const double* y = packets + first * packet_size;
    const auto ts = static_cast<std::size_t>(t);
    const auto stride = static_cast<std::size_t>(packet_size);
    State out;
    if (subtype == 1) {
        spk_types::lagrange_neville<6>(x, ts, et, y, stride, out.data());
        return out;
    }
    // Subtype 0: the velocity through the stored velocities and
    // accelerations; subtype 2: the derivative of the position.
    double deriv[3];
    spk_types::hermite_neville<3>(x, ts, et, y, y + 3, stride, 1.0, out.data(), deriv);
    if (subtype == 0)
        spk_types::hermite_neville<3>(x, ts, et, y + 6, y + 9, stride, 1.0, out.data() + 3, deriv);
    else
        for (std::size_t c = 0; c < 3; ++c) out[c + 3] = deriv[c];
    return out;
}

std::expected<SpkType18, SpkError> SpkType18::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto seg = spk_types::segment_view(daf, begin, end, 18);
    if (!seg) return std::unexpected(seg.error());
    auto block = PacketBlock::check(seg->data, seg->size, 1, 18);
    if (!block) return std::unexpected(block.error());
    return SpkType18{daf, *block};
}

std::expected<SpkType19, SpkError> SpkType19::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    using spk_types::malformed;
    auto seg = spk_types::segment_view(daf, begin, end, 19);
    if (!seg) return std::unexpected(seg.error());
    const std::uint64_t size = seg->size;
    std::uint64_t n = 0;
    if (size < 2 || !spk_types::stored_count(seg->back(0), 1, size, n))
        return malformed(19, "N outside 1..segment length");
    const double flag = seg->back(1);
    if (flag != 0.0 && flag != 1.0) return malformed(19, "boundary flag not 0 or 1");
    if (2 * (n + 1) + 2 > size) return malformed(19, "segment length does not match N intervals");
    const double* pointers = seg->data + size - 2 - (n + 1);
    // Pointers start at 1, increase, and leave room for the boundaries,
    // their directory and the pointers themselves.
    std::uint64_t prev = 0;
    for (std::uint64_t k = 0; k <= n; ++k) {
        std::uint64_t ptr = 0;
        if (!spk_types::stored_count(pointers[k], 1, size, ptr) || (k == 0 ? ptr != 1 : ptr <= prev))
            return malformed(19, "mini-segment pointers not increasing from 1");
        prev = ptr;
    }
    const std::uint64_t bstart = prev - 1;  // words of all mini-segments
    if (bstart + 2 * (n + 1) + 2 > size) return malformed(19, "segment length does not match N intervals");
    const std::uint64_t ndir = size - bstart - 2 * (n + 1) - 2;
    if (!spk_types::directory_fits(ndir, n) && !spk_types::directory_fits(ndir, n + 1))
        return malformed(19, "segment length does not match N intervals");
    const double* boundaries = seg->data + bstart;
    if (!spk_types::sorted_epochs(boundaries, n + 1, true))
        return malformed(19, "interval boundaries not strictly increasing");
    std::vector<PacketBlock> blocks;
    blocks.reserve(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const auto from = static_cast<std::uint64_t>(pointers[k]) - 1;
        const auto to = static_cast<std::uint64_t>(pointers[k + 1]) - 1;
        auto block = PacketBlock::check(seg->data + from, to - from, 2, 19);
        if (!block) return std::unexpected(block.error());
        blocks.push_back(*block);
    }
    return SpkType19{daf, boundaries, n, flag == 1.0, std::move(blocks)};
}

std::expected<State, SpkError> SpkType19::evaluate(double et) const {
    // Interval k runs from boundary k to k + 1; on a boundary the flag picks.
    const std::uint64_t m = n + 1;
    std::uint64_t k = select_last ? spk_types::first_after(boundaries, m, et)
                                  : spk_types::first_not_before(boundaries, m, et);
    k = k == 0 ? 0 : std::min(k - 1, n - 1);
    return blocks[k].evaluate(et);
}

}  // namespace kernwerk
