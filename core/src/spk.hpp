// SPK ephemeris reader: segment catalogue, segment evaluators and state
// resolution.
//
// Layout relied on (on top of the DAF container):
//   * summaries have ND = 2, NI = 6: start ET, end ET; target, center, frame,
//     data type, first and last data address (inclusive, from 1);
//   * Types 2 and 3 end with INIT, INTLEN, RSIZE, N at end-3..end; record k
//     is RSIZE doubles from begin + k*RSIZE: MID, RADIUS, coefficients;
//   * Types 9 and 13 hold N states of 6 doubles from begin, then N epochs,
//     then floor((N-1)/100) directory epochs, then the size value and N.
// Epochs are TDB seconds past J2000; states are km and km/s.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "common.hpp"
#include "daf.hpp"
#include "frame.hpp"

namespace kernwerk {

class SpkError {
public:
    enum class Kind { Daf, NoCoverage, UnsupportedType, Malformed };

    SpkError(DafError daf) : kind_(Kind::Daf), message_(daf.message()), daf_(std::move(daf)) {}  // NOLINT
    static SpkError no_coverage(double et, std::int32_t target, std::int32_t center);
    static SpkError unsupported_type(std::int32_t data_type);
    static SpkError malformed(std::string reason);
    // "malformed Type N segment: <reason>", naming the segment's own type.
    static SpkError malformed_type(std::int32_t data_type, std::string_view reason);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The embedded container error (Kind::Daf only).
    const std::optional<DafError>& daf() const noexcept { return daf_; }

private:
    SpkError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    std::optional<DafError> daf_;
};

// Chebyshev position-only records (Type 2).
struct SpkType2 {
    DafFile daf;
    double init = 0, intlen = 0;
    std::uint64_t rsize = 0, n = 0;
    std::uint64_t ncoef = 0;  // coefficients per component, (RSIZE - 2) / 3
    std::uint32_t begin = 0;
    std::expected<State, SpkError> evaluate(double et) const;
};

// Chebyshev position and velocity records (Type 3).
struct SpkType3 {
    DafFile daf;
    double init = 0, intlen = 0;
    std::uint64_t rsize = 0, n = 0;
    std::uint64_t ncoef = 0;  // coefficients per component, (RSIZE - 2) / 6
    std::uint32_t begin = 0;
    std::expected<State, SpkError> evaluate(double et) const;
};

// Trailer of a discrete-state segment (Types 9 and 13).
struct DiscreteMeta {
    std::uint64_t size = 0;  // Type 9: degree; Type 13: window size - 1
    std::uint64_t n = 0;     // number of states, at least 1
    std::uint32_t begin = 0;       // address of the first state
    std::uint32_t epoch_addr = 0;  // begin + 6N, address of the first epoch
    static std::expected<DiscreteMeta, SpkError> from_segment(const DafFile& daf, std::uint32_t begin,
                                                              std::uint32_t end);
};

// Lagrange interpolation over unequal steps (Type 9).
struct SpkType9 {
    DafFile daf;
    DiscreteMeta meta;
    std::expected<State, SpkError> evaluate(double et) const;
};

// Hermite interpolation over unequal steps (Type 13).
struct SpkType13 {
    DafFile daf;
    std::uint64_t window = 0;  // at least 2
    std::uint64_t n = 0;
    std::uint32_t begin = 0, epoch_addr = 0;
    std::expected<State, SpkError> evaluate(double et) const;
};

struct SpkUnsupported {};

using SpkPayload = std::variant<SpkType2, SpkType3, SpkType9, SpkType13, SpkUnsupported>;

struct SpkSegment {
    SpkPayload payload;
    std::string name;
    double start_et = 0, end_et = 0;
    std::int32_t target = 0, center = 0, frame = 0, data_type = 0;
    std::uint32_t begin = 0, end = 0;
};

// The three Chebyshev series of equal length `n` at normalised time s, values
// only (no derivatives).
std::array<double, 3> cheby3_val_only(const double* x, const double* y, const double* z, std::size_t n, double s);

class SpkFile {
public:
    static constexpr std::size_t kNoHint = std::numeric_limits<std::size_t>::max();

    // The pair's 64 bits mixed with a key drawn once per process, so that a
    // file cannot name pairs that all fall into one bucket of the index (the
    // library's hash of an integer is the integer itself).
    struct PairHash {
        std::size_t operator()(const std::pair<std::int32_t, std::int32_t>& p) const noexcept;
    };
    using Index = std::unordered_map<std::pair<std::int32_t, std::int32_t>, std::vector<std::size_t>, PairHash>;

    static std::expected<SpkFile, SpkError> from_daf(DafFile daf);

    SpkFile(SpkFile&& other) noexcept;
    SpkFile& operator=(SpkFile&&) = delete;
    SpkFile(const SpkFile&) = delete;

    const std::vector<SpkSegment>& segments() const noexcept { return segments_; }
    const std::vector<bool>& flags() const noexcept { return flags_; }
    const Index& index() const noexcept { return index_; }
    std::size_t hint() const noexcept { return hint_.load(std::memory_order_relaxed); }

    // State of `target` relative to `center` at `et`, J2000.
    std::expected<State, SpkError> state(std::int32_t target, std::int32_t center, double et) const;
    // The same state rotated into `frame`.
    std::expected<State, SpkError> state_in_frame(std::int32_t target, std::int32_t center, InertialFrame frame,
                                                  double et) const;
    static std::expected<State, SpkError> eval_segment(const SpkSegment& seg, double et);
    std::expected<State, SpkError> state_via_ssb_chain(std::int32_t target, std::int32_t center, double et) const;
    std::expected<State, SpkError> state_wrt_ssb(std::int32_t body, double et) const;
    struct Step {
        State state;
        std::int32_t center;
    };
    static std::expected<Step, SpkError> step_toward_ssb(const std::vector<SpkSegment>& segments, std::int32_t body,
                                                         double et);

private:
    SpkFile() = default;

    std::vector<SpkSegment> segments_;
    std::vector<bool> flags_;
    Index index_;
    // The last direct-pair segment that answered a query and whose flag is
    // true. Never changes a result; relaxed atomic so that concurrent readers
    // of one catalogue stay well-defined.
    mutable std::atomic<std::size_t> hint_{kNoHint};
};

}  // namespace kernwerk
