#include "spk/types/common.hpp"

namespace kernwerk::spk_types {

std::expected<SegmentView, SpkError> segment_view(const DafFile& daf, std::uint32_t begin, std::uint32_t end,
                                                  std::int32_t data_type) {
    if (begin == 0 || end < begin) return malformed(data_type, "empty or reversed address range");
    auto all = daf.slice_doubles(begin, end);
    if (!all) return std::unexpected(SpkError(all.error()));
    return SegmentView{all->data(), all->size()};
}

}  // namespace kernwerk::spk_types
