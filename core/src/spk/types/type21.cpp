#include "spk/types/type21.hpp"

#include "spk/types/common.hpp"

namespace kernwerk {

std::expected<SpkType21, SpkError> SpkType21::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto seg = spk_types::segment_view(daf, begin, end, 21);
    if (!seg) return std::unexpected(seg.error());
    if (seg->size < 2) return spk_types::malformed(21, "segment shorter than its trailer");
    std::uint64_t n = 0, maxdim = 0;
    if (!spk_types::stored_count(seg->back(1), 1, spk_types::kMaxDifferenceTerms, maxdim))
        return spk_types::malformed(21, "MAXDIM outside 1..25");
    if (!spk_types::stored_count(seg->back(0), 1, seg->size, n))
        return spk_types::malformed(21, "N outside 1..segment length");
    auto lines = spk_types::DifferenceLines::check(seg->data, seg->size, n, maxdim, 2, 21);
    if (!lines) return std::unexpected(lines.error());
    return SpkType21{daf, *lines};
}

}  // namespace kernwerk
