// Event search: the windows of time in which a scalar quantity of the
// geometry satisfies a condition, as the NAIF toolkit's geometry finder
// (gfdist, gfposc, gfrr, gfsep) finds them.
//
// The step contract (the toolkit's): within each interval of the
// confinement window the quantity's derivative is sampled every `step`
// seconds, and between two samples it is assumed to change sign at most
// once. A feature shorter than the step (a pair of extrema, an excursion
// across the reference value) may be missed; the step must be shorter than
// the shortest interval in which the quantity is monotone.
//
// The search:
//   1. sample the quantity and its derivative on the grid start, start +
//      step, ..., stop of each confinement interval, in batches through the
//      kernel set (threads for large batches);
//   2. refine every change of sign of the derivative to a bracket no wider
//      than `tolerance`: the local extrema, which cut each interval into
//      pieces on which the quantity is monotone (a sign change at an end of
//      the interval is no extremum: LOCMIN and LOCMAX report interior ones);
//   3. crossings of the reference value: for =, < and > every change of
//      side between neighbouring samples (two samples around an extremum
//      split by it) is refined the same way; for ABSMIN and ABSMAX with an
//      adjustment, whose reference value is known only now, each monotone
//      piece between the interval's ends and the extrema is checked at its
//      ends (a continuous quantity crosses at most once on each).
// A refined time is the middle of its final bracket, so it lies within
// `tolerance` / 2 of the root. Brackets are refined all at once, each step
// testing two points a fraction of the tolerance apart around an estimate
// so that the bracket closes from both sides: the root of the cubic Hermite
// interpolant where the derivative of the function is known at both ends
// (crossings: the quantity's derivative), else regula falsi (Illinois;
// extrema, whose second derivative is not known), with bisection after
// three steps in a row that did not halve the bracket.
//
// Relations: = (instants of crossing, as [t, t]), < and > (windows where
// the quantity is below or above the reference value), LOCMIN and LOCMAX
// (instants of the interior local extrema), ABSMIN and ABSMAX (the instant
// of the extreme value over the whole confinement window, its ends
// included; with `adjust` > 0, the window where the quantity is within
// `adjust` of it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "events/windows.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk::events {

enum class Relation : std::uint8_t { Equal, Less, Greater, LocMin, LocMax, AbsMin, AbsMax };

// "=", "<", ">", "LOCMIN", "LOCMAX", "ABSMIN", "ABSMAX" (case and blanks
// around ignored).
std::optional<Relation> parse_relation(std::string_view text) noexcept;
inline constexpr const char* kAcceptedRelations = "=, <, >, LOCMIN, LOCMAX, ABSMIN, ABSMAX";

// The toolkit's default convergence tolerance (s).
inline constexpr double kDefaultTolerance = 1e-6;

// A scalar function of time with its time derivative. A quantity may keep
// scratch arrays between calls: it serves one search at a time.
class Quantity {
public:
    virtual ~Quantity() = default;
    // Values into f[0..n) and derivatives into df[0..n) at ets[0..n); the
    // results must not depend on `threads` (0: as state_batch chooses).
    virtual std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                                       unsigned threads) const = 0;
    // The span of an angle that wraps around (2 pi for a longitude), whose
    // value jumps by it where it wraps; 0 for a continuous quantity. At a
    // wrap the derivative stays continuous, < and > windows end at the jump
    // (the range of the values being fixed), and = does not count it as a
    // crossing; ABSMIN and ABSMAX are refused.
    virtual double wrap() const noexcept { return 0; }
};

// A hook told how far a search has come: called from the thread that runs
// the search, between chunks of grid samples (never per sample, never on a
// worker thread), with the samples done and the samples of the whole grid;
// once more with done == total when the search is complete. Returning false
// stops the search, which then fails with Kind::Value "search stopped".
// With a hook the grid is evaluated in smaller chunks (results do not
// depend on the chunking).
struct Progress {
    bool (*call)(void* ctx, std::size_t done, std::size_t total) = nullptr;
    void* ctx = nullptr;
};

struct SearchOptions {
    Relation relation = Relation::Less;
    double value = 0;   // reference value of =, <, >
    double adjust = 0;  // of ABSMIN and ABSMAX, >= 0
    double step = 0;    // > 0, seconds
    double tolerance = kDefaultTolerance;
    unsigned threads = 0;
    const Progress* progress = nullptr;
};

// Errors: Value for bad options or a confinement that is no window (or is
// empty); otherwise the quantity's first failure, with the epoch appended to
// its message.
std::expected<Window, KernelSetError> search(const Quantity& q, std::span<const Interval> confinement,
                                             const SearchOptions& options);

// A condition that holds or not at each epoch (an occultation, a target in
// a field of view), as the toolkit's binary-state searches (gfoclt, gftfov,
// gfrfov) take it.
class Condition {
public:
    virtual ~Condition() = default;
    // 1 where the condition holds, else 0, into holds[0..n) at ets[0..n);
    // the results must not depend on `threads`.
    virtual std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, std::uint8_t* holds,
                                                       unsigned threads) const = 0;
};

// The window in which `c` holds: sampled on the grid of each confinement
// interval as above (the step contract: an interval of the condition, or a
// gap between two, shorter than the step may be missed), and every change
// of state between neighbouring samples bisected until its bracket is no
// wider than `tolerance`; the edge is the middle of the final bracket. The
// relation, value and adjust of `options` are not used. Errors as search's.
std::expected<Window, KernelSetError> search_condition(const Condition& c, std::span<const Interval> confinement,
                                                       const SearchOptions& options);

// Zeros of a function sampled at ascending times: the refined times of its
// sign changes between neighbouring samples, as step 2 above finds them.
// Used by search; exposed for the unit tests.
// A bracket of a sign change of g: its ends, g there and, when known, the
// derivative of g there (NaN when not).
struct Bracket {
    double lo, hi, glo, ghi;
    double dlo = std::numeric_limits<double>::quiet_NaN(), dhi = std::numeric_limits<double>::quiet_NaN();
};
// g at ets[0..n) into g, and its derivative into dg (NaN where unknown).
using Sampler = std::expected<void, KernelSetError> (*)(void* ctx, const double* ets, std::size_t n, double* g,
                                                        double* dg);
// Optional early end of a bracket's refinement: after each step, asked
// with the bracket's index and the position j of the first of the two
// points just sampled for it (j + 1 the second) in the sampler's last
// batch; returns the position of a point that settles the bracket, whose
// time then becomes its root, or -1 to go on.
using Settle = std::ptrdiff_t (*)(void* ctx, std::size_t bracket, std::size_t j);
std::expected<void, KernelSetError> refine(std::span<Bracket> brackets, double tolerance, void* ctx, Sampler g,
                                         double* roots, Settle settle = nullptr);

}  // namespace kernwerk::events
