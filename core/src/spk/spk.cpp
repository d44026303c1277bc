#include "spk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <ranges>
#include <utility>

#include "chebyshev.hpp"
#include "spk_lanes.hpp"

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
                if (window < 2) return std::unexpected(SpkError::malformed("Type 13 window size < 2"));
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

// ---------------------------------------------------------------------------
// Chebyshev segments (Types 2 and 3)

std::array<double, 3> cheby3_val_only(const double* x, const double* y, const double* z, std::size_t n, double s) {
    if (n == 0) return {0.0, 0.0, 0.0};
    if (n == 1) return {x[0], y[0], z[0]};
    const double tw = s + s;
    double vx = x[1] * s + x[0], vy = y[1] * s + y[0], vz = z[1] * s + z[0];
    double t0 = 1.0, t1 = s;  // T(k-2), T(k-1)
    std::size_t k = 2;
    // Two terms per pass; the additions stay in increasing k.
    for (; k + 1 < n; k += 2) {
        const double t2 = tw * t1 - t0;
        const double t3 = tw * t2 - t1;
        vx = vx + x[k] * t2;
        vy = vy + y[k] * t2;
        vz = vz + z[k] * t2;
        vx = vx + x[k + 1] * t3;
        vy = vy + y[k + 1] * t3;
        vz = vz + z[k + 1] * t3;
        t0 = t2;
        t1 = t3;
    }
    if (k < n) {
        const double t2 = tw * t1 - t0;
        vx = vx + x[k] * t2;
        vy = vy + y[k] * t2;
        vz = vz + z[k] * t2;
    }
    return {vx, vy, vz};
}

std::expected<State, SpkError> SpkType2::evaluate(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(SpkError(rec.error()));
    const double* r = rec->data();
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return std::unexpected(SpkError::malformed("RADIUS == 0"));
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* cx = r + 2;
    const double* cy = cx + nc;
    const double* cz = cy + nc;
    if (nc == 1) return State{cx[0], cy[0], cz[0], 0.0, 0.0, 0.0};
    const double s = (et - mid) / radius;
    double value[3], deriv[3];
    cheby3_value_and_derivative(cx, cy, cz, nc, s, value, deriv);
    // Derivatives are per unit of s; one reciprocal turns them into per second.
    const double recip = 1.0 / radius;
    return State{value[0], value[1], value[2], deriv[0] * recip, deriv[1] * recip, deriv[2] * recip};
}

std::expected<State, SpkError> SpkType3::evaluate(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(SpkError(rec.error()));
    const double* r = rec->data();
    const double mid = r[0], radius = r[1];
    // A zero half-length makes s non-finite and every component with it;
    // such a record is refused as Type 2 refuses it, rather than answered
    // with a state of NaNs and infinities.
    if (radius == 0.0) return std::unexpected(SpkError::malformed("RADIUS == 0"));
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* c = r + 2;
    const double s = (et - mid) / radius;
    const auto pos = cheby3_val_only(c, c + nc, c + 2 * nc, nc, s);
    const auto vel = cheby3_val_only(c + 3 * nc, c + 4 * nc, c + 5 * nc, nc, s);
    return State{pos[0], pos[1], pos[2], vel[0], vel[1], vel[2]};
}

// ---------------------------------------------------------------------------
// Discrete-state segments (Types 9 and 13)

namespace {

// Working doubles of an interpolation: on the stack for the windows met in
// practice, on the heap only for unusually large ones.
class Scratch {
public:
    explicit Scratch(std::size_t count) {
        if (count <= small_.size()) {
            data_ = small_.data();
        } else {
            big_.resize(count);
            data_ = big_.data();
        }
    }
    double* data() noexcept { return data_; }

private:
    std::array<double, 128> small_;
    std::vector<double> big_;
    double* data_;
};

struct Window {
    const double* x;       // t epochs
    const double* states;  // t states of 6 doubles
    std::size_t t;
};

// The t = min(w, N) consecutive states around `et`: a binary search over all
// N epochs in the map finds the last epoch not after `et` (the anchor; the
// first epoch when there is none), the window is centred on it (one more
// state after than before for even t) and pushed inside the list. With
// OddWindowCentre::Nearest an odd t centres on the next epoch instead when
// that one is at least as near to `et`. The catalogue guarantees N >= 1 and
// 32-bit addresses for all N states and epochs.
std::expected<Window, SpkError> select_window(const DafFile& daf, std::uint64_t w, std::uint64_t n,
                                              std::uint32_t begin, std::uint32_t epoch_addr, double et,
                                              OddWindowCentre centre) {
    if (w == 0) return std::unexpected(SpkError::malformed("window size 0"));
    const std::uint64_t t = std::min(w, n);
    const auto n32 = static_cast<std::uint32_t>(n);

    auto all = daf.slice_doubles(epoch_addr, epoch_addr + n32 - 1u);
    if (!all) return std::unexpected(SpkError(all.error()));
    const double* epochs = all->data();
    std::uint64_t lo = 0, hi = n;
    while (lo < hi) {
        const std::uint64_t mid = (lo + hi) / 2;
        if (et >= epochs[mid])  // false for NaN: a NaN epoch gives i = 0
            lo = mid + 1;
        else
            hi = mid;
    }
    std::uint64_t anchor = lo == 0 ? 0 : lo - 1;
    // Between epochs anchor and lo; NaN (lo = 0) stays on the first.
    if (centre == OddWindowCentre::Nearest && t % 2 == 1 && lo > 0 && lo < n &&
        epochs[lo] - et <= et - epochs[anchor])
        anchor = lo;
    const std::uint64_t back = (t - 1) / 2;
    std::uint64_t first = anchor >= back ? anchor - back : 0;
    first = std::min(first, n - t);

    const auto f32 = static_cast<std::uint32_t>(first);
    const auto t32 = static_cast<std::uint32_t>(t);
    auto x = daf.slice_doubles(epoch_addr + f32, epoch_addr + f32 + t32 - 1u);
    if (!x) return std::unexpected(SpkError(x.error()));
    auto st = daf.slice_doubles(begin + 6u * f32, begin + 6u * (f32 + t32) - 1u);
    if (!st) return std::unexpected(SpkError(st.error()));
    return Window{x->data(), st->data(), static_cast<std::size_t>(t)};
}

// Two equal epochs in a window put a zero in a Lagrange denominator or a
// divided difference. Checked over all pairs: the epoch order is not
// validated, so equal epochs need not be neighbours.
bool has_equal_epochs(const double* x, std::size_t t) {
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t m = j + 1; m < t; ++m)
            if (x[j] == x[m]) return true;
    return false;
}

}  // namespace

std::expected<State, SpkError> SpkType9::evaluate(double et) const {
    auto win = select_window(daf, meta.size + 1, meta.n, meta.begin, meta.epoch_addr, et, centre);
    if (!win) return std::unexpected(win.error());
    const double* x = win->x;
    const double* y = win->states;
    const std::size_t t = win->t;

    // Exact hit: the stored state itself (NaN never equals an epoch).
    for (std::size_t j = 0; j < t; ++j) {
        if (x[j] == et) {
            const double* s = y + 6 * j;
            return State{s[0], s[1], s[2], s[3], s[4], s[5]};
        }
    }
    if (has_equal_epochs(x, t)) return std::unexpected(SpkError::malformed("equal epochs in window"));

    // Barycentric weights B[j] = 1 / prod_{m != j} (x[j] - x[m]), then
    // q[j] = B[j] / (et - x[j]); the same for all six components.
    Scratch scratch(t);
    double* q = scratch.data();
    for (std::size_t j = 0; j < t; ++j) {
        double prod = 1.0;
        for (std::size_t m = 0; m < t; ++m)
            if (m != j) prod = prod * (x[j] - x[m]);
        const double b = 1.0 / prod;
        q[j] = b / (et - x[j]);
    }
    double den = 0.0;
    for (std::size_t j = 0; j < t; ++j) den = den + q[j];
    State out;
    for (std::size_t c = 0; c < 6; ++c) {
        double num = 0.0;
        for (std::size_t j = 0; j < t; ++j) num = num + q[j] * y[6 * j + c];
        out[c] = num / den;
    }
    return out;
}

std::expected<State, SpkError> SpkType13::evaluate(double et) const {
    auto win = select_window(daf, window, n, begin, epoch_addr, et, centre);
    if (!win) return std::unexpected(win.error());
    const double* x = win->x;
    const double* y = win->states;
    const std::size_t t = win->t;
    if (has_equal_epochs(x, t)) return std::unexpected(SpkError::malformed("equal epochs in window"));

    // Doubled nodes z[2j] = z[2j + 1] = x[j]; z[l] is x[l / 2].
    const std::size_t nn = 2 * t;
    Scratch scratch(2 * nn);
    double* d = scratch.data();  // divided differences of the current order
    double* c = d + nn;          // Newton coefficients
    State out;
    for (std::size_t a = 0; a < 3; ++a) {
        // Order 0, then order 1 (stored velocities at the doubled nodes),
        // then orders 2 .. 2t-1 in place: d[l] still holds the previous
        // order's d[l + 1] when d[l] is replaced (increasing l).
        for (std::size_t l = 0; l < nn; ++l) d[l] = y[6 * (l / 2) + a];
        c[0] = d[0];
        for (std::size_t l = 0; l + 1 < nn; ++l) {
            if (l % 2 == 0)
                d[l] = y[6 * (l / 2) + a + 3];
            else
                d[l] = (d[l + 1] - d[l]) / (x[(l + 1) / 2] - x[l / 2]);
        }
        c[1] = d[0];
        for (std::size_t k = 2; k < nn; ++k) {
            for (std::size_t l = 0; l + k < nn; ++l) d[l] = (d[l + 1] - d[l]) / (x[(l + k) / 2] - x[l / 2]);
            c[k] = d[0];
        }
        // Newton form and its derivative at et.
        double value = c[0], deriv = 0.0, prod = 1.0, dprod = 0.0;
        for (std::size_t m = 1; m < nn; ++m) {
            const double dd = et - x[(m - 1) / 2];
            dprod = dprod * dd + prod;
            prod = prod * dd;
            value = value + c[m] * prod;
            deriv = deriv + c[m] * dprod;
        }
        out[a] = value;
        out[a + 3] = deriv;
    }
    return out;
}

// ---------------------------------------------------------------------------
// State resolution

namespace {

// Closed coverage interval; false for a NaN epoch.
bool covers(const SpkSegment& seg, double et) noexcept { return seg.start_et <= et && et <= seg.end_et; }

State negated(const State& s) noexcept { return State{-s[0], -s[1], -s[2], -s[3], -s[4], -s[5]}; }

// Most bodies of a chain step are hopped a handful of times; 32 steps bound
// a chain that never reaches the barycenter.
constexpr int kMaxChainSteps = 32;

}  // namespace

namespace {

std::expected<State, SpkError> eval_payload(const SpkSegment& seg, double et) {
    return std::visit(
        [&](const auto& p) -> std::expected<State, SpkError> {
            if constexpr (std::is_same_v<std::decay_t<decltype(p)>, SpkUnsupported>)
                return std::unexpected(SpkError::unsupported_type(seg.data_type));
            else
                return p.evaluate(et);
        },
        seg.payload);
}

// States are combined in J2000: an ECLIPJ2000 segment is rotated into it, any
// other frame ends the query (it would otherwise be taken for J2000). Kept
// out of line, off the path of J2000 segments.
[[gnu::noinline]] std::expected<State, SpkError> eval_other_frame(const SpkSegment& seg, double et) {
    if (seg.frame != SpkFile::kEclipJ2000) return std::unexpected(SpkError::unsupported_frame(seg));
    auto s = eval_payload(seg, et);
    if (s) *s = rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, *s);
    return s;
}

}  // namespace

std::expected<State, SpkError> SpkFile::eval_segment(const SpkSegment& seg, double et) {
    if (seg.frame != kJ2000) [[unlikely]]
        return eval_other_frame(seg, et);
    return eval_payload(seg, et);
}

std::expected<State, SpkError> SpkFile::state(std::int32_t target, std::int32_t center, double et) const {
    if (target == center) return State{};

    // The hint holds only a segment with no overlapping sibling of its pair,
    // so it is the segment the direct-pair walk below would pick.
    const std::size_t h = hint_.load(std::memory_order_relaxed);
    if (h < segments_.size() && flags_[h]) {
        const SpkSegment& seg = segments_[h];
        if (seg.target == target && seg.center == center && covers(seg, et)) return eval_segment(seg, et);
    }
    // A chain this thread planned for the same query, while `et` stays in
    // its stretch (the plan includes the pair walks below, which found
    // nothing there).
    if (const SpkPlan* p = cached_chain(id_, target, center, et))
        if (auto s = eval_plan_one(*p, et)) return *s;

    if (!index_.empty()) {
        if (auto it = index_.find({target, center}); it != index_.end()) {
            for (std::size_t pos : it->second) {
                const SpkSegment& seg = segments_[pos];
                if (!covers(seg, et)) continue;
                if (flags_[pos]) hint_.store(pos, std::memory_order_relaxed);
                return eval_segment(seg, et);
            }
        }
        if (auto it = index_.find({center, target}); it != index_.end()) {
            for (std::size_t pos : it->second) {
                const SpkSegment& seg = segments_[pos];
                if (!covers(seg, et)) continue;
                auto s = eval_segment(seg, et);
                if (!s) return std::unexpected(s.error());
                return negated(*s);
            }
        }
    }
    return state_via_ssb_chain(target, center, et);
}

std::expected<State, SpkError> SpkFile::state_in_frame(std::int32_t target, std::int32_t center,
                                                       InertialFrame frame, double et) const {
    auto s = state(target, center, et);
    if (!s) return s;
    return rotate_state(InertialFrame::J2000, frame, *s);
}

std::expected<State, SpkError> SpkFile::state_via_ssb_chain(std::int32_t target, std::int32_t center,
                                                            double et) const {
    if (auto fast = chain_by_plan(target, center, et)) return *fast;
    auto t = state_wrt_ssb(target, et);
    if (!t) return t;
    auto c = state_wrt_ssb(center, et);
    if (!c) return c;
    State out;
    for (std::size_t k = 0; k < 6; ++k) out[k] = (*t)[k] - (*c)[k];
    return out;
}

std::expected<State, SpkError> SpkFile::state_wrt_ssb(std::int32_t body, double et) const {
    State acc{};
    if (body == 0) return acc;
    std::int32_t current = body;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        auto s = step_of(current, et);
        if (!s) return std::unexpected(s.error());
        for (std::size_t k = 0; k < 6; ++k) acc[k] = acc[k] + s->state[k];
        current = s->center;
        if (current == 0) return acc;
        if (current == body) break;  // the chain came back to its start
    }
    return std::unexpected(SpkError::no_coverage(et, body, 0));
}

namespace {

// One chain step of `body` at `et` over `segments` (any range of segment
// references, in file order): every covering segment of the body before the
// one chosen is evaluated, so that a failing one fails the step; a segment
// relative to the barycenter answers at once, otherwise the first covering
// one does.
template <typename Segments>
std::expected<SpkFile::Step, SpkError> first_step(const Segments& segments, std::int32_t body, double et) {
    std::optional<SpkFile::Step> candidate;
    for (const SpkSegment& seg : segments) {
        // Written as two negated comparisons, so a NaN epoch is accepted.
        if (seg.target != body || seg.start_et > et || et > seg.end_et) continue;
        auto s = SpkFile::eval_segment(seg, et);
        if (!s) return std::unexpected(s.error());
        if (seg.center == 0) return SpkFile::Step{*s, 0};
        if (!candidate) candidate = SpkFile::Step{*s, seg.center};
    }
    if (candidate) return *candidate;
    return std::unexpected(SpkError::no_coverage(et, body, 0));
}

}  // namespace

// step_toward_ssb over the body's own segments, which are the only ones it
// would look at, in the same (file) order.
std::expected<SpkFile::Step, SpkError> SpkFile::step_of(std::int32_t body, double et) const {
    static const std::vector<std::uint32_t> none;
    const auto it = by_target_.find(body);
    const auto& positions = it != by_target_.end() ? it->second : none;
    return first_step(positions | std::views::transform([this](std::uint32_t pos) -> const SpkSegment& {
                          return segments_[pos];
                      }),
                      body, et);
}

std::expected<SpkFile::Step, SpkError> SpkFile::step_toward_ssb(const std::vector<SpkSegment>& segments,
                                                                std::int32_t body, double et) {
    return first_step(segments, body, et);
}

// ---------------------------------------------------------------------------
// Plans and batches

namespace {

// Narrows `p`'s stretch to where `seg` gives the verdict it gives at `et`
// (not NaN). `chain_form`: the test of a chain step, !(start > et || et >
// end), under which a NaN bound holds every epoch on its side; otherwise
// covers(), under which a NaN bound holds none.
void narrow(SpkPlan& p, const SpkSegment& seg, double et, bool covered, bool chain_form) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo = seg.start_et, hi = seg.end_et;
    if (std::isnan(lo) || std::isnan(hi)) {
        if (!chain_form) return;  // covers nothing, wherever
        if (std::isnan(lo)) lo = -inf;
        if (std::isnan(hi)) hi = inf;
    }
    const auto lower = [&](double v, bool closed) {
        if (v > p.lo) p.lo = v, p.lo_closed = closed;
        else if (v == p.lo) p.lo_closed = p.lo_closed && closed;
    };
    const auto upper = [&](double v, bool closed) {
        if (v < p.hi) p.hi = v, p.hi_closed = closed;
        else if (v == p.hi) p.hi_closed = p.hi_closed && closed;
    };
    if (covered) {
        lower(lo, true);
        upper(hi, true);
    } else if (et < lo) {
        upper(lo, false);
    } else {
        lower(hi, false);
    }
}

bool add_segment(SpkPlan& p, const SpkSegment& seg, std::uint8_t& at) noexcept {
    for (std::size_t d = 0; d < p.n_segments; ++d)
        if (p.segments[d] == &seg) {
            at = static_cast<std::uint8_t>(d);
            return true;
        }
    if (p.n_segments == SpkPlan::kMaxSegments) return false;
    at = static_cast<std::uint8_t>(p.n_segments);
    p.segments[p.n_segments++] = &seg;
    return true;
}

// The segment's states at ets[0..k) in J2000 into rows (six doubles each):
// the position of the first epoch that fails (k when none). Chebyshev
// segments go through the lanes; a failure is left to the per-epoch path,
// which reports it.
std::size_t eval_rows_j2000(const SpkSegment& seg, const double* ets, std::size_t k, double* rows) {
    if (seg.frame != SpkFile::kJ2000 && seg.frame != SpkFile::kEclipJ2000) return 0;
    const std::size_t done = std::visit(
        [&](const auto& p) -> std::size_t {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, SpkType2>) {
                return lanes::type2_rows(p, ets, k, rows);
            } else if constexpr (std::is_same_v<P, SpkType3>) {
                return lanes::type3_rows(p, ets, k, rows);
            } else if constexpr (std::is_same_v<P, SpkUnsupported>) {
                return 0;
            } else {
                for (std::size_t i = 0; i < k; ++i) {
                    auto st = p.evaluate(ets[i]);
                    if (!st) return i;
                    std::memcpy(rows + 6 * i, st->data(), sizeof(State));
                }
                return k;
            }
        },
        seg.payload);
    if (seg.frame == SpkFile::kEclipJ2000) {
        for (std::size_t i = 0; i < done; ++i) {
            double* r = rows + 6 * i;
            const State st =
                rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, State{r[0], r[1], r[2], r[3], r[4], r[5]});
            std::memcpy(r, st.data(), sizeof st);
        }
    }
    return done;
}

// The state of the plan's query from the rows of its segments (row `j` of
// each segment's block of `stride` doubles), in J2000.
State combine(const SpkPlan& p, const double* rows, std::size_t stride, std::size_t j) noexcept {
    State out{};
    if (p.mode == SpkPlan::Mode::Zero) return out;
    if (p.mode != SpkPlan::Mode::Chain) {
        const double* r = rows + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) out[c] = p.mode == SpkPlan::Mode::Direct ? r[c] : -r[c];
        return out;
    }
    // The sums of state_wrt_ssb: from +0, in chain order; target minus center.
    State t{}, ce{};
    for (std::size_t q = 0; q < p.n_target; ++q) {
        const double* r = rows + p.target_steps[q] * stride + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) t[c] = t[c] + r[c];
    }
    for (std::size_t q = 0; q < p.n_center; ++q) {
        const double* r = rows + p.center_steps[q] * stride + 6 * j;
        for (std::size_t c = 0; c < 6; ++c) ce[c] = ce[c] + r[c];
    }
    for (std::size_t c = 0; c < 6; ++c) out[c] = t[c] - ce[c];
    return out;
}

}  // namespace

namespace {

// The last chain plan of each thread, for single calls: the file's id (ids
// are never reused, so a plan never outlives its file's match), the query
// and the plan.
struct ChainCache {
    std::uint64_t file = 0;
    std::int32_t target = 0, center = 0;
    SpkPlan plan;
};
thread_local ChainCache t_chain;

std::atomic<std::uint64_t> g_next_file_id{1};

}  // namespace

std::uint64_t SpkFile::next_id() noexcept { return g_next_file_id.fetch_add(1, std::memory_order_relaxed); }

const SpkPlan* SpkFile::cached_chain(std::uint64_t id, std::int32_t target, std::int32_t center, double et) noexcept {
    const ChainCache& c = t_chain;
    if (c.file != id || c.target != target || c.center != center || !c.plan.holds(et)) return nullptr;
    return &c.plan;
}

SpkPlan& SpkFile::cache_chain(std::uint64_t id, std::int32_t target, std::int32_t center) noexcept {
    ChainCache& c = t_chain;
    c.file = id, c.target = target, c.center = center;
    return c.plan;
}

void SpkFile::forget_chain() noexcept { t_chain.file = 0; }

// The plan's state at one epoch: every segment's record requested before
// any is read, each segment evaluated once. Nothing when an evaluation
// fails (the per-epoch path then reports it).
std::optional<State> SpkFile::eval_plan_one(const SpkPlan& p, double et) {
    const double* records[SpkPlan::kMaxSegments];
    for (std::size_t d = 0; d < p.n_segments; ++d) {
        const SpkPayload& payload = p.segments[d]->payload;
        const double* r = nullptr;
        if (const auto* t2 = std::get_if<SpkType2>(&payload)) r = lanes::record_of(*t2, et);
        else if (const auto* t3 = std::get_if<SpkType3>(&payload)) r = lanes::record_of(*t3, et);
        records[d] = r;
        if (r) __builtin_prefetch(r);
    }
    double rows[6 * SpkPlan::kMaxSegments];
    for (std::size_t d = 0; d < p.n_segments; ++d) {
        const SpkSegment& seg = *p.segments[d];
        double* row = rows + 6 * d;
        bool ok;
        if (records[d] && seg.frame == kJ2000) {
            if (const auto* t2 = std::get_if<SpkType2>(&seg.payload)) ok = lanes::row_from(*t2, records[d], et, row);
            else ok = lanes::row_from(std::get<SpkType3>(seg.payload), records[d], et, row);
        } else {
            ok = eval_rows_j2000(seg, &et, 1, row) == 1;
        }
        if (!ok) return std::nullopt;
    }
    return combine(p, rows, 6, 0);
}

// The steps of state_wrt_ssb from `body`, when every step meets exactly one
// covering segment (so that the step evaluates nothing but the segment it
// takes) and the chain reaches the barycenter.
bool SpkFile::plan_chain(std::int32_t body, double et, SpkPlan& p, bool center_side) const {
    if (body == 0) return true;
    std::int32_t current = body;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        auto it = by_target_.find(current);
        if (it == by_target_.end()) return false;
        const SpkSegment* chosen = nullptr;
        for (std::uint32_t pos : it->second) {
            const SpkSegment& seg = segments_[pos];
            const bool covered = !(seg.start_et > et || et > seg.end_et);
            if (covered && chosen) return false;
            narrow(p, seg, et, covered, true);
            if (covered) {
                chosen = &seg;
                if (seg.center == 0) break;  // the step stops looking here
            }
        }
        if (!chosen) return false;
        std::uint8_t at;
        if (!add_segment(p, *chosen, at)) return false;
        std::size_t& n = center_side ? p.n_center : p.n_target;
        (center_side ? p.center_steps : p.target_steps)[n++] = at;
        current = chosen->center;
        if (current == 0) return true;
        if (current == body) return false;
    }
    return false;
}

bool SpkFile::plan(std::int32_t target, std::int32_t center, double et, SpkPlan& p) const {
    p = SpkPlan{};
    if (target == center) return true;
    // The walks of state(): the pair's segments, then the reversed pair's;
    // the first that covers `et` answers (the hint only ever finds that one).
    for (int reversed = 0; reversed < 2; ++reversed) {
        auto it = index_.find(reversed ? std::pair{center, target} : std::pair{target, center});
        if (it == index_.end()) continue;
        for (std::size_t pos : it->second) {
            const SpkSegment& seg = segments_[pos];
            const bool covered = covers(seg, et);
            narrow(p, seg, et, covered, false);
            if (!covered) continue;
            if (!reversed && flags_[pos]) hint_.store(pos, std::memory_order_relaxed);
            p.mode = reversed ? SpkPlan::Mode::Reversed : SpkPlan::Mode::Direct;
            p.segments[0] = &seg;
            p.n_segments = 1;
            return true;
        }
    }
    p.mode = SpkPlan::Mode::Chain;
    return plan_chain(target, et, p, false) && plan_chain(center, et, p, true);
}

// A chain planned at `et` and kept for the next calls of this thread: every
// segment read at once (their records requested together), each evaluated
// once. Nothing when the per-epoch path must answer, which then also reports
// any failure.
std::optional<State> SpkFile::chain_by_plan(std::int32_t target, std::int32_t center, double et) const {
    SpkPlan& p = cache_chain(id_, target, center);
    if (std::isnan(et) || !plan(target, center, et, p) || p.mode != SpkPlan::Mode::Chain) {
        forget_chain();
        return std::nullopt;
    }
    return eval_plan_one(p, et);
}

std::optional<SpkBatchFailure> SpkFile::state_rows(std::int32_t target, std::int32_t center, InertialFrame frame,
                                                   const void* ets, std::ptrdiff_t stride, std::size_t count,
                                                   double* rows) const {
    constexpr std::size_t kBlock = 64;
    const auto* base = static_cast<const unsigned char*>(ets);
    const auto at = [&](std::size_t i) {
        double v;
        std::memcpy(&v, base + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    };
    const auto finish = [&](State s, double* row) {
        if (frame != InertialFrame::J2000) s = rotate_state(InertialFrame::J2000, frame, s);
        std::memcpy(row, s.data(), sizeof s);
    };
    // The per-epoch path: NaifSpk.state's own answer and error.
    const auto one = [&](std::size_t i, double et) -> std::optional<SpkBatchFailure> {
        auto s = state_in_frame(target, center, frame, et);
        if (!s) return SpkBatchFailure{i, std::move(s.error())};
        std::memcpy(rows + 6 * i, s->data(), sizeof(State));
        return std::nullopt;
    };

    double block[kBlock];
    std::vector<double> seg_rows;  // one block of rows per distinct segment
    SpkPlan p;
    bool have = false;
    std::size_t i = 0;
    while (i < count) {
        const double et = at(i);
        if (!have || !p.holds(et)) {
            have = !std::isnan(et) && plan(target, center, et, p);
            if (!have) {
                if (auto f = one(i, et)) return f;
                ++i;
                continue;
            }
            if (seg_rows.size() < p.n_segments * 6 * kBlock) seg_rows.resize(p.n_segments * 6 * kBlock);
        }
        std::size_t k = 1;
        block[0] = et;
        while (k < kBlock && i + k < count) {
            const double e = at(i + k);
            if (!p.holds(e)) break;  // also for NaN
            block[k++] = e;
        }
        bool ok = true;
        for (std::size_t d = 0; d < p.n_segments && ok; ++d)
            ok = eval_rows_j2000(*p.segments[d], block, k, seg_rows.data() + d * 6 * kBlock) == k;
        if (!ok) [[unlikely]] {
            for (std::size_t j = 0; j < k; ++j)
                if (auto f = one(i + j, block[j])) return f;
        } else {
            for (std::size_t j = 0; j < k; ++j) finish(combine(p, seg_rows.data(), 6 * kBlock, j), rows + 6 * (i + j));
        }
        i += k;
    }
    return std::nullopt;
}

}  // namespace kernwerk
