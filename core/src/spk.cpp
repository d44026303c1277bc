#include "spk.hpp"

#include <cmath>
#include <utility>

namespace kernwerk {

// ---------------------------------------------------------------------------
// Errors

SpkError SpkError::no_coverage(double et, std::int32_t target, std::int32_t center) {
    return {Kind::NoCoverage, "no segment covers target " + std::to_string(target) + " wrt center " +
                                  std::to_string(center) + " at et " + format_double(et)};
}

SpkError SpkError::unsupported_type(std::int32_t data_type) {
    return {Kind::UnsupportedType, "unsupported SPK data type " + std::to_string(data_type)};
}

// The prefix names Type 2 whatever the segment's data type; readers of these
// messages match on it.
SpkError SpkError::malformed(std::string reason) { return {Kind::Malformed, "malformed Type 2 segment: " + reason}; }

// ---------------------------------------------------------------------------
// Catalogue

namespace {

constexpr std::uint64_t kMaxAddress = 0xFFFFFFFFu;

struct ChebTrailer {
    double init, intlen;
    std::uint64_t rsize, n;
};

std::expected<ChebTrailer, SpkError> read_cheb_trailer(const DafFile& daf, std::uint32_t end) {
    // With end below 4 the start address wraps and the read reports it.
    auto t = daf.read_doubles(end - 3u, end);
    if (!t) return std::unexpected(SpkError(t.error()));
    return ChebTrailer{(*t)[0], (*t)[1], count_from_double((*t)[2]), count_from_double((*t)[3])};
}

// Record addresses are 32-bit: N records of RSIZE doubles from `begin` must
// end at or below the last address, and there must be a record to select.
std::expected<void, SpkError> check_records_addressable(const ChebTrailer& t, std::uint32_t begin) {
    if (t.n == 0) return std::unexpected(SpkError::malformed("N = 0 (segment has no records)"));
    if (t.rsize > kMaxAddress || t.n > kMaxAddress ||
        std::uint64_t{begin} + t.n * t.rsize - 1 > kMaxAddress)
        return std::unexpected(SpkError::malformed("records do not fit 32-bit addresses"));
    return {};
}

std::expected<SpkPayload, SpkError> type2_payload(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto t = read_cheb_trailer(daf, end);
    if (!t) return std::unexpected(t.error());
    if (t->rsize < 2 || (t->rsize - 2) % 3 != 0) return std::unexpected(SpkError::malformed("RSIZE not 2 + 3N"));
    if (t->rsize - 2 < 3) return std::unexpected(SpkError::malformed("degree < 0"));
    if (t->intlen <= 0.0) return std::unexpected(SpkError::malformed("INTLEN <= 0"));
    if (auto ok = check_records_addressable(*t, begin); !ok) return std::unexpected(ok.error());
    return SpkType2{daf, t->init, t->intlen, t->rsize, t->n, (t->rsize - 2) / 3, begin};
}

std::expected<SpkPayload, SpkError> type3_payload(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto t = read_cheb_trailer(daf, end);
    if (!t) return std::unexpected(t.error());
    if (t->rsize < 2 || (t->rsize - 2) % 6 != 0) return std::unexpected(SpkError::malformed("RSIZE not 2 + 6N"));
    if (t->intlen <= 0.0 || t->rsize - 2 < 6) return std::unexpected(SpkError::malformed("degree<0 or INTLEN<=0"));
    if (auto ok = check_records_addressable(*t, begin); !ok) return std::unexpected(ok.error());
    return SpkType3{daf, t->init, t->intlen, t->rsize, t->n, (t->rsize - 2) / 6, begin};
}

}  // namespace

std::expected<DiscreteMeta, SpkError> DiscreteMeta::from_segment(const DafFile& daf, std::uint32_t begin,
                                                                  std::uint32_t end) {
    auto t = daf.read_doubles(end - 1u, end);
    if (!t) return std::unexpected(SpkError(t.error()));
    const std::uint64_t n = count_from_double((*t)[1]);
    if (n == 0) return std::unexpected(SpkError::malformed("empty discrete-state segment"));
    // Wrapping 32-bit arithmetic, as the addresses themselves are 32-bit.
    const auto n32 = static_cast<std::uint32_t>(n);
    const std::uint32_t expected_end = begin + 7u * n32 + static_cast<std::uint32_t>((n - 1) / 100) + 1u;
    if (end != expected_end) return std::unexpected(SpkError::malformed("segment size does not match trailer"));
    // A count beyond 32 bits can only match the size above by wrapping; its
    // epochs and states could not be addressed.
    if (n > kMaxAddress || std::uint64_t{begin} + 7 * n + (n - 1) / 100 + 1 > kMaxAddress)
        return std::unexpected(SpkError::malformed("N does not fit 32-bit addresses"));
    DiscreteMeta m;
    m.size = count_from_double((*t)[0]);
    m.n = n;
    m.begin = begin;
    m.epoch_addr = begin + 6u * n32;
    return m;
}

SpkFile::SpkFile(SpkFile&& other) noexcept
    : segments_(std::move(other.segments_)),
      flags_(std::move(other.flags_)),
      index_(std::move(other.index_)),
      hint_(other.hint_.load(std::memory_order_relaxed)) {}

std::expected<SpkFile, SpkError> SpkFile::from_daf(DafFile daf) {
    auto sums = daf.summaries();
    if (!sums) return std::unexpected(SpkError(sums.error()));

    SpkFile file;
    for (Summary& s : *sums) {
        if (s.doubles.size() < 2 || s.ints.size() < 6) continue;
        const std::int32_t data_type = s.ints[3];
        const auto begin = static_cast<std::uint32_t>(s.ints[4]);
        const auto end = static_cast<std::uint32_t>(s.ints[5]);

        std::expected<SpkPayload, SpkError> payload = SpkUnsupported{};
        switch (data_type) {
            case 2: payload = type2_payload(daf, begin, end); break;
            case 3: payload = type3_payload(daf, begin, end); break;
            case 9: {
                auto m = DiscreteMeta::from_segment(daf, begin, end);
                if (!m) return std::unexpected(m.error());
                payload = SpkType9{daf, *m};
                break;
            }
            case 13: {
                auto m = DiscreteMeta::from_segment(daf, begin, end);
                if (!m) return std::unexpected(m.error());
                const std::uint64_t window = m->size + 1;  // wraps to 0 for a saturated size
                if (window < 2) return std::unexpected(SpkError::malformed("Type 13 window size < 2"));
                payload = SpkType13{daf, window, m->n, m->begin, m->epoch_addr};
                break;
            }
            default: break;
        }
        if (!payload) return std::unexpected(payload.error());

        const std::size_t pos = file.segments_.size();
        file.index_[{s.ints[0], s.ints[1]}].push_back(pos);
        file.segments_.push_back(SpkSegment{std::move(*payload), std::move(s.name), s.doubles[0], s.doubles[1],
                                            s.ints[0], s.ints[1], s.ints[2], data_type, begin, end});
    }

    // Closed intervals: touching end points overlap; NaN bounds overlap nothing.
    file.flags_.assign(file.segments_.size(), true);
    for (const auto& [pair, positions] : file.index_) {
        for (std::size_t i = 0; i < positions.size(); ++i) {
            for (std::size_t j = i + 1; j < positions.size(); ++j) {
                const SpkSegment& a = file.segments_[positions[i]];
                const SpkSegment& b = file.segments_[positions[j]];
                if (b.end_et >= a.start_et && a.end_et >= b.start_et) {
                    file.flags_[positions[i]] = false;
                    file.flags_[positions[j]] = false;
                }
            }
        }
    }
    file.hint_.store(kNoHint, std::memory_order_relaxed);
    return file;
}

}  // namespace kernwerk
