#include "spk/types/type14.hpp"

#include "spk/spk.hpp"
#include "spk/types/common.hpp"

namespace kernwerk {

namespace {

enum Meta { kConBas, kNCon, kRdrBas, kNRdr, kRdrTyp, kRefBas, kNRef, kPdrBas, kNPdr, kPdrTyp,
            kPktBas, kNPkt, kRsvBas, kNRsv, kPktSz, kPktOff, kNMeta, kMetaWords };

}  // namespace

std::expected<SpkType14, SpkError> SpkType14::open(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    using spk_types::malformed;
    auto seg = spk_types::segment_view(daf, begin, end, 14);
    if (!seg) return std::unexpected(seg.error());
    std::uint64_t nmeta = 0;
    if (!spk_types::stored_count(seg->back(0), kMetaWords, seg->size, nmeta))
        return malformed(14, "NMETA outside 17..segment length");
    // Every count and base lies within the words before the metadata.
    const std::uint64_t body = seg->size - nmeta;
    std::uint64_t m[kMetaWords];
    for (int i = 0; i < kNMeta; ++i)
        if (!spk_types::stored_count(seg->data[body + i], 0, body, m[i]))
            return malformed(14, "metadata value outside the segment");
    if (m[kNCon] < 1 || m[kConBas] + m[kNCon] > body) return malformed(14, "constants outside the segment");
    std::uint64_t nc = 0;
    if (!spk_types::stored_count(seg->data[m[kConBas]], 1, body, nc))
        return malformed(14, "coefficient count outside 1..segment length");
    if (m[kPktSz] != 2 + 6 * nc) return malformed(14, "packet size not 2 + 6 coefficient counts");
    if (m[kRdrTyp] < 2 || m[kRdrTyp] > 4) return malformed(14, "reference type not 2, 3 or 4");
    const std::uint64_t n = m[kNPkt], stride = m[kPktSz] + m[kPktOff];
    if (n == 0) return malformed(14, "no packets");
    if (m[kNRef] != n) return malformed(14, "reference count differs from packet count");
    if (n > body / stride || m[kPktBas] + n * stride > body || m[kRefBas] + n > body || m[kRdrBas] + m[kNRdr] > body)
        return malformed(14, "packets or references past the segment");
    const double* packets = seg->data + m[kPktBas] + m[kPktOff];
    const double* epochs = seg->data + m[kRefBas];
    if (!spk_types::sorted_epochs(epochs, n, false)) return malformed(14, "epochs not in increasing order");
    for (std::uint64_t k = 0; k < n; ++k)
        if (!(packets[k * stride + 1] > 0.0)) return malformed(14, "RADIUS not positive");
    const auto reference = m[kRdrTyp] == 3   ? SpkType14::Reference::AtOrBefore
                           : m[kRdrTyp] == 2 ? SpkType14::Reference::Before
                                             : SpkType14::Reference::Nearest;
    return SpkType14{daf, packets, epochs, n, stride, nc, reference};
}

std::expected<State, SpkError> SpkType14::evaluate(double et) const {
    // The first reference at or after et (Before), else after et; the record
    // is the one before it, or with Nearest that one when it is the nearer.
    std::uint64_t k = reference == Reference::Before ? spk_types::first_not_before(epochs, n, et)
                                                     : spk_types::first_after(epochs, n, et);
    const bool later = reference == Reference::Nearest && k > 0 && k < n && epochs[k] - et <= et - epochs[k - 1];
    if (!later) k = k == 0 ? 0 : k - 1;
    const double* r = packets + k * stride;
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* c = r + 2;
    const double s = (et - r[0]) / r[1];
    const auto pos = cheby3_val_only(c, c + nc, c + 2 * nc, nc, s);
    const auto vel = cheby3_val_only(c + 3 * nc, c + 4 * nc, c + 5 * nc, nc, s);
    return State{pos[0], pos[1], pos[2], vel[0], vel[1], vel[2]};
}

}  // namespace kernwerk
