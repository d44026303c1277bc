// SPK ephemeris reader: segment catalogue, segment evaluators and state
// resolution.
//
// Layout relied on (on top of the DAF container):
//   * summaries have ND = 2, NI = 6: start ET, end ET; target, center, frame,
//     data type, first and last data address (inclusive, from 1);
//   * Types 2 and 3 end with INIT, INTLEN, RSIZE, N at end-3..end; record k
//     is RSIZE doubles from begin + k*RSIZE: MID, RADIUS, coefficients;
//   * Types 9 and 13 hold N states of 6 doubles from begin, then N epochs,
//     then floor((N-1)/100) directory epochs, then the size value and N;
//   * every other type with a reader: the layout stated in its own file,
//     spk_type*.hpp.
// Epochs are TDB seconds past J2000; states are km and km/s.
#pragma once

#include <array>
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

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "math/rotation.hpp"
#include "spk/error.hpp"
#include "spk/types/type01.hpp"
#include "spk/types/type05.hpp"
#include "spk/types/type08_12.hpp"
#include "spk/types/type14.hpp"
#include "spk/types/type15.hpp"
#include "spk/types/type17.hpp"
#include "spk/types/type18_19.hpp"
#include "spk/types/type20.hpp"
#include "spk/types/type21.hpp"

namespace kernwerk {

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

// The largest interpolation windows the toolkit's readers evaluate: a Type 9
// segment of degree 28 or more, or a Type 13 segment whose trailer holds a
// window size minus one of 28 or more, ends its reader with SIGBUS or SIGSEGV
// (found by reading such files through spiceypy, toolkit N0067). Its writers
// stop earlier: Type 9 degrees 1..27, Type 13 odd degrees 1..27 (windows of
// at most 14 states). Evaluation costs grow with the square of the window,
// so larger values are refused at open rather than evaluated.
inline constexpr std::uint64_t kMaxType9Degree = 27;
inline constexpr std::uint64_t kMaxType13Window = 28;

// Trailer of a discrete-state segment (Types 9 and 13).
struct DiscreteMeta {
    std::uint64_t size = 0;  // Type 9: degree; Type 13: window size - 1
    std::uint64_t n = 0;     // number of states, at least 1
    std::uint32_t begin = 0;       // address of the first state
    std::uint32_t epoch_addr = 0;  // begin + 6N, address of the first epoch
    // The trailer comes from the summary's tail when it holds it.
    static std::expected<DiscreteMeta, SpkError> from_segment(const DafFile& daf, std::uint32_t begin,
                                                              std::uint32_t end, const Summary* summary = nullptr);
};

// Where Types 9 and 13 centre a window of t states, NaifSpk's documented
// rule or the NAIF toolkit's (kernel sets):
//   * LastNotAfter: an even t takes t/2 states up to the last epoch not
//     after et and t/2 after it; an odd t centres on the last epoch not
//     after et (the first epoch when none is). An exact hit of Type 9 is
//     the stored state.
//   * Nearest: an even t takes t/2 states up to the last epoch before et
//     (so that et on an epoch opens the upper half); an odd t centres on
//     the epoch nearer to et of the last one not after it and the next
//     one, the later one when et lies halfway. Exact hits are interpolated.
// Either way the window is then pushed inside the N states.
enum class OddWindowCentre : std::uint8_t { LastNotAfter, Nearest };

// Lagrange interpolation over unequal steps (Type 9).
struct SpkType9 {
    DafFile daf;
    DiscreteMeta meta;
    OddWindowCentre centre = OddWindowCentre::LastNotAfter;
    std::expected<State, SpkError> evaluate(double et) const;
};

// Hermite interpolation over unequal steps (Type 13).
struct SpkType13 {
    DafFile daf;
    std::uint64_t window = 0;  // at least 2
    std::uint64_t n = 0;
    std::uint32_t begin = 0, epoch_addr = 0;
    OddWindowCentre centre = OddWindowCentre::LastNotAfter;
    std::expected<State, SpkError> evaluate(double et) const;
};

struct SpkUnsupported {};

using SpkPayload = std::variant<SpkType2, SpkType3, SpkType9, SpkType13, SpkType1, SpkType5, SpkType8, SpkType12,
                                SpkType14, SpkType15, SpkType17, SpkType18, SpkType19, SpkType20, SpkType21,
                                SpkUnsupported>;

// What a catalogue reads. NaifSpk keeps the default: Types 2, 3, 9 and 13
// with the documented window rule, every other type listed as unsupported
// and not validated (a file opens whatever its other segments hold). Kernel
// sets read every type with a reader, each validated at open, and centre
// Type 9 and 13 windows as the toolkit does.
enum class SpkTypes : std::uint8_t { Documented, All };
struct SpkReading {
    SpkTypes types = SpkTypes::Documented;
    OddWindowCentre odd_window = OddWindowCentre::LastNotAfter;
};

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

// The segments one query (target, center) uses at an epoch and how their
// states combine, with the stretch of epochs around it over which the same
// segments answer the same way (every coverage test that chose them gives
// the same verdict there). Built by SpkFile::plan; a batch keeps a plan while
// its epochs stay in that stretch, so that it searches once and evaluates
// each distinct segment once per epoch (the barycenter's segment of a Moon -
// Earth query once, not once per chain).
struct SpkPlan {
    enum class Mode : std::uint8_t { Zero, Direct, Reversed, Chain };
    static constexpr std::size_t kMaxSegments = 16;
    static constexpr std::size_t kMaxSteps = 32;

    Mode mode = Mode::Zero;
    // The distinct segments, in the order they are first used.
    std::array<const SpkSegment*, kMaxSegments> segments{};
    std::size_t n_segments = 0;
    // Chain steps toward the barycenter as positions in `segments`: the
    // target's, summed from +0 in order, minus the center's, summed alike.
    std::array<std::uint8_t, kMaxSteps> target_steps{}, center_steps{};
    std::size_t n_target = 0, n_center = 0;
    // The stretch: lo .. hi, each end included when its flag says so.
    double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
    bool lo_closed = true, hi_closed = true;

    // False for NaN.
    bool holds(double et) const noexcept {
        return (lo < et || (lo_closed && et == lo)) && (et < hi || (hi_closed && et == hi));
    }
};

// A failure of one epoch of a batch: its position and the error.
struct SpkBatchFailure {
    std::size_t index;
    SpkError error;
};

class SpkFile {
public:
    static constexpr std::size_t kNoHint = std::numeric_limits<std::size_t>::max();
    // SPK reference frame codes the reader evaluates; states of ECLIPJ2000
    // segments are rotated into J2000 before they are combined.
    static constexpr std::int32_t kJ2000 = 1, kEclipJ2000 = 17;

    // The pair's 64 bits mixed with a key drawn once per process, so that a
    // file cannot name pairs that all fall into one bucket of the index (the
    // library's hash of an integer is the integer itself).
    struct PairHash {
        std::size_t operator()(const std::pair<std::int32_t, std::int32_t>& p) const noexcept;
    };
    using Index = std::unordered_map<std::pair<std::int32_t, std::int32_t>, std::vector<std::size_t>, PairHash>;

    static std::expected<SpkFile, SpkError> from_daf(DafFile daf, SpkReading reading = {});
    // Opens `path` with DafFile::open_with_summaries: nothing of the file is
    // read through its mapping at open.
    static std::expected<SpkFile, SpkError> open(const std::string& path, SpkReading reading = {});
    static std::expected<SpkFile, SpkError> from_summaries(DafFile daf,
                                                           std::expected<std::vector<Summary>, DafError> summaries,
                                                           SpkReading reading = {});

    SpkFile(SpkFile&& other) noexcept;
    SpkFile& operator=(SpkFile&&) = delete;
    SpkFile(const SpkFile&) = delete;

    const std::vector<SpkSegment>& segments() const noexcept { return segments_; }
    const std::vector<bool>& flags() const noexcept { return flags_; }
    const Index& index() const noexcept { return index_; }
    std::size_t hint() const noexcept { return hint_.load(std::memory_order_relaxed); }

    // Whether the file changed under its mapping (see DafFile::changed): a
    // query whose call ends with this true must discard its results.
    bool changed() const noexcept { return daf_ && daf_->changed(); }
    std::expected<void, DafError> check_unchanged() const {
        if (!daf_) return {};
        return daf_->check_unchanged();
    }

    // State of `target` relative to `center` at `et`, J2000.
    std::expected<State, SpkError> state(std::int32_t target, std::int32_t center, double et) const;
    // The states of the query at ets[0], ets[stride], ... (`count` epochs,
    // `stride` in bytes, read with memcpy) rotated into `frame`, six doubles
    // per epoch into `rows`: what state_in_frame gives epoch by epoch, bit
    // for bit, with the first failing epoch reported as that call reports
    // it. Epochs are planned once per stretch (SpkPlan) and evaluated in
    // blocks, each distinct segment once per epoch; epochs without a plan
    // (NaN, segments that overlap at a chain step, gaps) take the per-epoch
    // path. `rows` is partly written on failure.
    std::optional<SpkBatchFailure> state_rows(std::int32_t target, std::int32_t center, InertialFrame frame,
                                              const void* ets, std::ptrdiff_t stride, std::size_t count,
                                              double* rows) const;
    // The plan of the query at `et` (not NaN), or false when the per-epoch
    // path must answer: the query fails there, a chain step meets more than
    // one covering segment, or the plan would need too many segments.
    bool plan(std::int32_t target, std::int32_t center, double et, SpkPlan& out) const;
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

    std::expected<Step, SpkError> step_of(std::int32_t body, double et) const;
    static std::uint64_t next_id() noexcept;
    static const SpkPlan* cached_chain(std::uint64_t id, std::int32_t target, std::int32_t center, double et) noexcept;
    static SpkPlan& cache_chain(std::uint64_t id, std::int32_t target, std::int32_t center) noexcept;
    static void forget_chain() noexcept;
    static std::optional<State> eval_plan_one(const SpkPlan& p, double et);
    std::optional<State> chain_by_plan(std::int32_t target, std::int32_t center, double et) const;
    bool plan_chain(std::int32_t body, double et, SpkPlan& out, bool center_side) const;

    std::optional<DafFile> daf_;
    std::vector<SpkSegment> segments_;
    // Positions of each target's segments in file order: the segments a
    // chain step looks at.
    std::unordered_map<std::int32_t, std::vector<std::uint32_t>> by_target_;
    std::vector<bool> flags_;
    Index index_;
    // The last direct-pair segment that answered a query and whose flag is
    // true. Never changes a result; relaxed atomic so that concurrent readers
    // of one catalogue stay well-defined.
    mutable std::atomic<std::size_t> hint_{kNoHint};
    // Names this catalogue in the per-thread cache of chain plans of single
    // calls; unique in the process.
    std::uint64_t id_ = 0;
};

}  // namespace kernwerk
