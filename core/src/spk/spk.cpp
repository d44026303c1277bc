// The SPK catalogue: error values, segment summaries read and validated at
// open, the per-pair index.
#include "spk/spk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
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

SpkError SpkError::malformed_type(std::int32_t data_type, std::string reason) {
    return {Kind::Malformed, "malformed Type " + std::to_string(data_type) + " segment: " + reason};
}

SpkError SpkError::unsupported_frame(const SpkSegment& seg) {
    return {Kind::UnsupportedFrame, "SPK segment '" + seg.name + "' (target " + std::to_string(seg.target) +
                                        ", center " + std::to_string(seg.center) + ", data type " +
                                        std::to_string(seg.data_type) + ") is referred to frame " +
                                        std::to_string(seg.frame) +
                                        "; only J2000 (1) and ECLIPJ2000 (17) segments can be evaluated"};
}

// ---------------------------------------------------------------------------
// Catalogue

namespace {

constexpr std::uint64_t kMaxAddress = 0xFFFFFFFFu;

struct ChebTrailer {
    double init, intlen;
    std::uint64_t rsize, n;
};

std::expected<ChebTrailer, SpkError> read_cheb_trailer(const DafFile& daf, std::uint32_t end, const Summary& s) {
    if (const double* w = s.tail_words(end, 4))
        return ChebTrailer{w[0], w[1], count_from_double(w[2]), count_from_double(w[3])};
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

// The segment is exactly its N records and the four trailer words. A begin
// address off by a word, or an N or RSIZE that does not belong to the data,
// would otherwise select records that straddle the real ones and answer with
// silently wrong states. Addresses are known to fit (see above), so the sum
// is exact in 64 bits.
std::expected<void, SpkError> check_records_fill_segment(std::int32_t type, const ChebTrailer& t, std::uint32_t begin,
                                                         std::uint32_t end) {
    const std::uint64_t words = std::uint64_t{end} - begin + 1;  // end >= 4 and end - 3 was readable
    if (end < begin || t.n * t.rsize + 4 != words)
        return std::unexpected(SpkError::malformed_type(
            type, "segment holds " + std::to_string(end < begin ? 0 : words) + " words, but N x RSIZE + 4 = " +
                      std::to_string(t.n) + " x " + std::to_string(t.rsize) + " + 4"));
    return {};
}

std::expected<SpkPayload, SpkError> type2_payload(const DafFile& daf, std::uint32_t begin, std::uint32_t end,
                                                   const Summary& s) {
    auto t = read_cheb_trailer(daf, end, s);
    if (!t) return std::unexpected(t.error());
    if (t->rsize < 2 || (t->rsize - 2) % 3 != 0) return std::unexpected(SpkError::malformed("RSIZE not 2 + 3N"));
    if (t->rsize - 2 < 3) return std::unexpected(SpkError::malformed("degree < 0"));
    if (t->intlen <= 0.0) return std::unexpected(SpkError::malformed("INTLEN <= 0"));
    if (auto ok = check_records_addressable(*t, begin); !ok) return std::unexpected(ok.error());
    if (auto ok = check_records_fill_segment(2, *t, begin, end); !ok) return std::unexpected(ok.error());
    return SpkType2{daf, t->init, t->intlen, t->rsize, t->n, (t->rsize - 2) / 3, begin};
}

std::expected<SpkPayload, SpkError> type3_payload(const DafFile& daf, std::uint32_t begin, std::uint32_t end,
                                                   const Summary& s) {
    auto t = read_cheb_trailer(daf, end, s);
    if (!t) return std::unexpected(t.error());
    if (t->rsize < 2 || (t->rsize - 2) % 6 != 0) return std::unexpected(SpkError::malformed("RSIZE not 2 + 6N"));
    if (t->intlen <= 0.0 || t->rsize - 2 < 6) return std::unexpected(SpkError::malformed("degree<0 or INTLEN<=0"));
    if (auto ok = check_records_addressable(*t, begin); !ok) return std::unexpected(ok.error());
    if (auto ok = check_records_fill_segment(3, *t, begin, end); !ok) return std::unexpected(ok.error());
    return SpkType3{daf, t->init, t->intlen, t->rsize, t->n, (t->rsize - 2) / 6, begin};
}

// Clears the flag of every segment of one pair whose coverage meets another
// segment's: A and B meet when B.start <= A.end and A.start <= B.end (closed
// intervals, so touching end points meet; a NaN bound fails every comparison
// and meets nothing). Testing every two segments would be quadratic in the
// segments of a pair, which a file may hold by the hundred thousand; instead
// the segments are sorted by start, so that those starting no later than A
// ends form a prefix, and A meets one of them other than itself exactly when
// the largest end in that prefix, A's own left out, reaches A's start.
void clear_overlap_flags(const std::vector<SpkSegment>& segs, const std::vector<std::size_t>& positions,
                         std::vector<bool>& flags) {
    std::vector<std::size_t> order;
    order.reserve(positions.size());
    for (std::size_t pos : positions)
        if (!std::isnan(segs[pos].start_et) && !std::isnan(segs[pos].end_et)) order.push_back(pos);
    if (order.size() < 2) return;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return segs[a].start_et < segs[b].start_et; });

    // For the first k sorted segments: where in `order` the largest and the
    // second largest end lie (kNone when there is none).
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    const std::size_t m = order.size();
    const auto end_at = [&](std::size_t k) { return segs[order[k]].end_et; };
    std::vector<std::size_t> largest(m + 1, kNone), second(m + 1, kNone);
    for (std::size_t k = 0; k < m; ++k) {
        std::size_t l = largest[k], s = second[k];
        if (l == kNone || end_at(k) > end_at(l)) {
            s = l;
            l = k;
        } else if (s == kNone || end_at(k) > end_at(s)) {
            s = k;
        }
        largest[k + 1] = l;
        second[k + 1] = s;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const SpkSegment& a = segs[order[i]];
        const auto after = std::upper_bound(order.begin(), order.end(), a.end_et,
                                            [&](double end, std::size_t b) { return end < segs[b].start_et; });
        const auto p = static_cast<std::size_t>(after - order.begin());
        const std::size_t other = largest[p] == i ? second[p] : largest[p];
        if (other != kNone && end_at(other) >= a.start_et) flags[order[i]] = false;
    }
}

}  // namespace

std::expected<DiscreteMeta, SpkError> DiscreteMeta::from_segment(const DafFile& daf, std::uint32_t begin,
                                                                  std::uint32_t end, const Summary* s) {
    std::array<double, 2> t;
    if (const double* w = s ? s->tail_words(end, 2) : nullptr) {
        t = {w[0], w[1]};
    } else {
        auto r = daf.read_doubles(end - 1u, end);
        if (!r) return std::unexpected(SpkError(r.error()));
        t = {(*r)[0], (*r)[1]};
    }
    const std::uint64_t n = count_from_double(t[1]);
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
    m.size = count_from_double(t[0]);
    m.n = n;
    m.begin = begin;
    m.epoch_addr = begin + 6u * n32;
    return m;
}

namespace {

std::uint64_t index_hash_key() noexcept {
    static const std::uint64_t key = []() noexcept {
        try {
            std::random_device rd;
            return (std::uint64_t{rd()} << 32) ^ rd();
        } catch (...) {
            // No entropy source: the address of this function still moves
            // from process to process.
            return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&index_hash_key)) * 0x9E3779B97F4A7C15u;
        }
    }();
    return key;
}

}  // namespace

std::size_t SpkFile::PairHash::operator()(const std::pair<std::int32_t, std::int32_t>& p) const noexcept {
    // The splitmix64 finaliser over the keyed pair.
    std::uint64_t z = ((std::uint64_t{std::uint32_t(p.first)} << 32) | std::uint32_t(p.second)) ^ index_hash_key();
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return static_cast<std::size_t>(z ^ (z >> 31));
}

SpkFile::SpkFile(SpkFile&& other) noexcept
    : daf_(std::move(other.daf_)),
      segments_(std::move(other.segments_)),
      by_target_(std::move(other.by_target_)),
      flags_(std::move(other.flags_)),
      index_(std::move(other.index_)),
      hint_(other.hint_.load(std::memory_order_relaxed)),
      id_(next_id()) {}

std::expected<SpkFile, SpkError> SpkFile::open(const std::string& path, SpkReading reading) {
    auto opened = DafFile::open_with_summaries(path);
    if (!opened) return std::unexpected(SpkError(opened.error()));
    return from_summaries(std::move(opened->file), std::move(opened->summaries), reading);
}

namespace {

// A payload from the reader of a type that validates its own layout.
template <typename P>
std::expected<SpkPayload, SpkError> open_payload(const DafFile& daf, std::uint32_t begin, std::uint32_t end) {
    auto p = P::open(daf, begin, end);
    if (!p) return std::unexpected(std::move(p.error()));
    return SpkPayload(std::move(*p));
}

}  // namespace

std::expected<SpkFile, SpkError> SpkFile::from_daf(DafFile daf, SpkReading reading) {
    auto sums = daf.summaries();
    return from_summaries(std::move(daf), std::move(sums), reading);
}

std::expected<SpkFile, SpkError> SpkFile::from_summaries(DafFile daf,
                                                         std::expected<std::vector<Summary>, DafError> sums,
                                                         SpkReading reading) {
    if (!sums) return std::unexpected(SpkError(sums.error()));

    SpkFile file;
    file.daf_ = daf;
    file.segments_.reserve(sums->size());
    for (Summary& s : *sums) {
        if (s.doubles.size() < 2 || s.ints.size() < 6) continue;
        const std::int32_t data_type = s.ints[3];
        const auto begin = static_cast<std::uint32_t>(s.ints[4]);
        const auto end = static_cast<std::uint32_t>(s.ints[5]);

        std::expected<SpkPayload, SpkError> payload = SpkUnsupported{};
        const bool all = reading.types == SpkTypes::All;
        switch (data_type) {
            case 2: payload = type2_payload(daf, begin, end, s); break;
            case 3: payload = type3_payload(daf, begin, end, s); break;
            case 9: {
                auto m = DiscreteMeta::from_segment(daf, begin, end, &s);
                if (!m) return std::unexpected(m.error());
                if (m->size > kMaxType9Degree)
                    return std::unexpected(SpkError::malformed_type(
                        9, "degree " + std::to_string(m->size) + " is above " + std::to_string(kMaxType9Degree) +
                               ", the largest the SPICE toolkit reads"));
                payload = SpkType9{daf, *m, reading.odd_window};
                break;
            }
            case 13: {
                auto m = DiscreteMeta::from_segment(daf, begin, end, &s);
                if (!m) return std::unexpected(m.error());
                const std::uint64_t window = m->size + 1;  // wraps to 0 for a saturated size
                // A window of one state (degree 1: the state moved along its
                // velocity) is written by the toolkit's spkw13 and read by its
                // reader, so kernel sets read it; NaifSpk's documented rule
                // refuses it.
                if (window < (all ? 1u : 2u))
                    return std::unexpected(SpkError::malformed("Type 13 window size < 2"));
                if (window > kMaxType13Window)
                    return std::unexpected(SpkError::malformed_type(
                        13, "window size " + std::to_string(window) + " is above " +
                                std::to_string(kMaxType13Window) + ", the largest the SPICE toolkit reads"));
                payload = SpkType13{daf, window, m->n, m->begin, m->epoch_addr, reading.odd_window};
                break;
            }
            case 1: if (all) payload = open_payload<SpkType1>(daf, begin, end); break;
            case 5: if (all) payload = open_payload<SpkType5>(daf, begin, end); break;
            case 8: if (all) payload = open_payload<SpkType8>(daf, begin, end); break;
            case 12: if (all) payload = open_payload<SpkType12>(daf, begin, end); break;
            case 14: if (all) payload = open_payload<SpkType14>(daf, begin, end); break;
            case 15: if (all) payload = open_payload<SpkType15>(daf, begin, end); break;
            case 17: if (all) payload = open_payload<SpkType17>(daf, begin, end); break;
            case 18: if (all) payload = open_payload<SpkType18>(daf, begin, end); break;
            case 19: if (all) payload = open_payload<SpkType19>(daf, begin, end); break;
            case 20: if (all) payload = open_payload<SpkType20>(daf, begin, end); break;
            case 21: if (all) payload = open_payload<SpkType21>(daf, begin, end); break;
            default: break;
        }
        if (!payload) return std::unexpected(payload.error());

        const std::size_t pos = file.segments_.size();
        file.index_[{s.ints[0], s.ints[1]}].push_back(pos);
        file.by_target_[s.ints[0]].push_back(static_cast<std::uint32_t>(pos));
        file.segments_.push_back(SpkSegment{std::move(*payload), std::move(s.name), s.doubles[0], s.doubles[1],
                                            s.ints[0], s.ints[1], s.ints[2], data_type, begin, end});
    }

    file.flags_.assign(file.segments_.size(), true);
    for (const auto& [pair, positions] : file.index_)
        if (positions.size() > 1) clear_overlap_flags(file.segments_, positions, file.flags_);
    file.hint_.store(kNoHint, std::memory_order_relaxed);
    file.id_ = next_id();
    return file;
}

}  // namespace kernwerk
