// Kernel sets: SPK files, binary PCK files and text kernels answering as one.
//
// Precedence, as users of the NAIF toolkit expect it:
//   * a file loaded later takes precedence over one loaded earlier, and
//     within a file a later segment over an earlier one;
//   * for a body at an epoch, the highest-precedence segment whose coverage
//     holds the epoch (both ends inclusive) answers; nothing falls back to a
//     lower one if it then fails;
//   * loading a file that is already in the set moves it to the top;
//     unloading restores what it shadowed.
//
// State resolution: the target's chain (the target, the center of its
// winning segment, that body's center, ... until a body that no segment
// covers), then the center's chain, which stops at the first body that lies
// on the target's chain. Only the links below that common body are
// evaluated and summed, target side minus center side, each side summed from
// the body outward: the Moon relative to the Earth is (Moon wrt EMB) - (Earth
// wrt EMB), and the EMB's own segment is never read. Every link's state is
// brought into J2000 before it is summed (segments in ECLIPJ2000 by the fixed
// rotation, segments in ITRF93 through the loaded Earth orientation), and the
// sum is rotated into the frame asked for.
//
// For each body the set builds a timeline: the real line cut at the sorted
// distinct ends of the body's segments into elementary points and the open
// intervals between them, each piece labelled with its winning segment (or
// none), and neighbouring pieces with the same label merged into runs. A
// lookup is a binary search over runs, and inclusive ends are exact. A batch
// plans the chain once and keeps the plan while its epochs stay inside the
// intersection of every run the plan consulted, "no segment here" runs that
// ended a chain included.
//
// Adding an SPK data type: write its payload struct (with
// `std::expected<State, SpkError> evaluate(double et) const`) in a file of
// its own, add it to the `SpkPayload` variant in spk.hpp and to the switch
// of `SpkFile::from_daf` that builds payloads. That is the one place: the set
// evaluates every payload through `RowEvaluator<P>` below, whose default
// calls `evaluate` once per epoch, so NaifSpk and the set share one
// evaluator per type. A type that can evaluate several epochs per call (in
// lanes) specialises `RowEvaluator` for its payload; it must give the rows
// `evaluate` gives, bit for bit. A set reports an unsupported type only when
// a query needs a segment of it.
//
// Text kernels: their body bindings and leapseconds, and every variable in
// the snapshot's pool (text/pool.hpp), rebuilt from the remaining text
// kernels in load order with each snapshot.
//
// Thread safety: a KernelSet publishes immutable snapshots; load and unload
// build a new one and swap it in, so queries that hold a snapshot (batches
// running on other threads) are never disturbed. Files are shared through
// the process-wide table of file_cache.hpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/common.hpp"
#include "frames/frames.hpp"
#include "sets/file_cache.hpp"
#include "math/rotation.hpp"
#include "pck/pck.hpp"
#include "spk/spk.hpp"
#include "spk/lanes.hpp"
#include "text/pool.hpp"
#include "text/text_kernel.hpp"

namespace kernwerk {

class KernelSetError {
public:
    enum class Kind {
        File,           // a file that cannot be opened or read (os_errno, path)
        FileFormat,     // a file of the wrong kind, a malformed one, data a query cannot use
        Coverage,       // no data for a body or frame at an epoch
        MissingKernel,  // a query needs a kind of kernel of which none is loaded
        Frame,          // a frame code the set cannot use
        Epoch,          // a NaN epoch
        Value,          // a bad argument (unknown path to unload, ...)
        BodyName,       // a body that none of the files holds (an excerpt's target)
        Changed,        // a file was truncated or rewritten in place while open (path)
    };
    KernelSetError(Kind kind, std::string message, int os_errno = 0, std::string path = {})
        : kind_(kind), message_(std::move(message)), errno_(os_errno), path_(std::move(path)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    int os_errno() const noexcept { return errno_; }
    const std::string& path() const noexcept { return path_; }

private:
    Kind kind_;
    std::string message_;
    int errno_;
    std::string path_;
};

// The frame a state is asked in: its NAIF frame code. J2000, ECLIPJ2000 and
// ITRF93 have paths of their own (their results are fixed bit for bit); any
// other code the snapshot's frame catalog knows is reached from J2000
// through the frame system.
enum class OutputFrame : std::int32_t { J2000 = 1, EclipJ2000 = 17, Itrf93 = 13000 };
std::optional<OutputFrame> output_frame_from_code(std::int32_t code) noexcept;
const char* frame_name(OutputFrame frame) noexcept;

// The PCK body frame of ITRF93 (frame code 13000).
inline constexpr std::int32_t kItrf93BodyFrame = 3000;

// At most this many links in one body's chain.
inline constexpr std::size_t kMaxChainLinks = 20;

// ---------------------------------------------------------------------------
// Timelines

// A stretch of the real line with one winner: from `lo` to `hi`, each end
// included when its flag says so. `winner` indexes the owner's segment
// table; -1 when no segment covers the stretch.
struct Run {
    double lo = 0, hi = 0;
    bool lo_closed = false, hi_closed = false;
    std::int32_t winner = -1;

    // False for NaN.
    bool contains(double et) const noexcept {
        return (lo < et || (lo_closed && et == lo)) && (et < hi || (hi_closed && et == hi));
    }
    // The part of this run that `other` also covers (possibly empty).
    void intersect(const Run& other) noexcept;
};

class Timeline {
public:
    struct Entry {
        double start, end;   // inclusive; entries with start > end or a NaN end cover nothing
        std::int32_t id;     // stored as the winner
    };
    // `entries` in precedence order, highest first.
    static Timeline build(std::span<const Entry> entries);

    // The run that holds `et` (not NaN). The runs cover every double, the
    // infinities included.
    const Run& find(double et) const noexcept;
    const std::vector<Run>& runs() const noexcept { return runs_; }

private:
    std::vector<Run> runs_;
};

// Merged coverage: the union of closed intervals [start, end] as sorted,
// disjoint closed intervals (touching ones merged). Empty intervals and NaN
// ends are left out.
std::vector<std::pair<double, double>> merge_intervals(std::vector<std::pair<double, double>> intervals);

// ---------------------------------------------------------------------------
// Segment evaluation in rows

// Evaluates a payload at ets[0..n) into rows[6 i .. 6 i + 5]. Returns the
// position of the first epoch whose evaluation failed (its error in `error`),
// n when none did.
template <typename P>
struct RowEvaluator {
    static std::size_t run(const P& payload, const double* ets, std::size_t n, double* rows,
                           std::optional<SpkError>& error) {
        for (std::size_t i = 0; i < n; ++i) {
            auto s = payload.evaluate(ets[i]);
            if (!s) [[unlikely]] {
                error = std::move(s.error());
                return i;
            }
            double* row = rows + 6 * i;
            for (std::size_t c = 0; c < 6; ++c) row[c] = (*s)[c];
        }
        return n;
    }
};

// Types 2 and 3 through the lanes of spk_lanes.hpp (the evaluator NaifSpk's
// batches use); an epoch the lanes leave (a record out of the file, RADIUS 0)
// goes through `evaluate`, for its row or its error.
template <typename P, std::size_t (*Lanes)(const P&, const double*, std::size_t, double*) noexcept>
struct LaneRowEvaluator {
    static std::size_t run(const P& payload, const double* ets, std::size_t n, double* rows,
                           std::optional<SpkError>& error) {
        std::size_t i = 0;
        while (i < n) {
            i += Lanes(payload, ets + i, n - i, rows + 6 * i);
            if (i == n) break;
            auto s = payload.evaluate(ets[i]);
            if (!s) [[unlikely]] {
                error = std::move(s.error());
                return i;
            }
            for (std::size_t c = 0; c < 6; ++c) rows[6 * i + c] = (*s)[c];
            ++i;
        }
        return n;
    }
};
template <>
struct RowEvaluator<SpkType2> : LaneRowEvaluator<SpkType2, lanes::type2_rows> {};
template <>
struct RowEvaluator<SpkType3> : LaneRowEvaluator<SpkType3, lanes::type3_rows> {};

// `segment` through the evaluator of its payload type; SpkUnsupported fails
// at the first epoch.
std::size_t evaluate_rows(const SpkSegment& segment, const double* ets, std::size_t n, double* rows,
                          std::optional<SpkError>& error);

// ---------------------------------------------------------------------------
// Snapshots

// One segment of the set: where it lives.
struct SegmentRef {
    const SpkSegment* segment = nullptr;
    std::int32_t file = 0;   // position of its file in the snapshot's load order
    std::int32_t index = 0;  // position in its file, from 0
};

struct PckSegmentRef {
    const PckSegment* segment = nullptr;
    std::int32_t file = 0;
    std::int32_t index = 0;
};

// One link of a resolved chain, as `resolve` reports it.
struct ChainLink {
    SegmentRef ref;
    bool center_side = false;  // subtracted rather than added
};

// A failure of one epoch of a batch: its position and the error.
struct BatchFailure {
    std::size_t index = 0;
    KernelSetError error;
};

// Rows of epochs read through a stride (in elements), so that a batch can
// read a strided NumPy view in place.
struct EpochView {
    const double* data = nullptr;
    std::ptrdiff_t stride = 1;
    std::size_t size = 0;
    double operator[](std::size_t i) const noexcept { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

class KernelSnapshot {
public:
    struct File {
        std::string path;
        std::shared_ptr<const OpenedKernel> kernel;
        std::string meta;      // the meta-kernel that listed the file; empty when loaded by itself
        bool is_meta = false;  // a meta-kernel (its files follow it)
    };

    // Files in load order (lowest precedence first) and the pool of their
    // text kernels (build_pool).
    explicit KernelSnapshot(std::vector<File> files, KernelPool pool = {});
    // The pool of the text kernels among `files`, applied in order; a
    // Conflict is a FileFormat error with the path of the kernel that appends.
    static std::expected<KernelPool, KernelSetError> build_pool(const std::vector<File>& files);

    const std::vector<File>& files() const noexcept { return files_; }
    // Bindings of the text kernels in load order.
    const std::vector<BodyBinding>& body_bindings() const noexcept { return bindings_; }
    // The leapseconds fields of the last loaded text kernel that defines them.
    const LeapSecondsFields* leapseconds() const noexcept { return leapseconds_; }
    // Every variable of the text kernels, built with the snapshot.
    const KernelPool& pool() const noexcept { return pool_; }
    // Every body that is the target of a segment, ascending.
    std::vector<std::int32_t> bodies() const;
    // The merged coverage of `body` across the set.
    std::vector<std::pair<double, double>> coverage(std::int32_t body) const;
    // The merged coverage of the PCK segments of `body_frame`.
    std::vector<std::pair<double, double>> pck_coverage(std::int32_t body_frame) const;
    const Timeline* timeline(std::int32_t body) const noexcept;
    // The first file of the set that changed under its mapping (see
    // DafFile::changed), as a Changed error. Every call that read through the
    // snapshot ends with this check and discards its result, or its error,
    // when a file changed: either may have been computed from the zero pages
    // that stand in for the vanished ones.
    std::expected<void, KernelSetError> check_unchanged() const;
    // The same over the files a call can read and no others, so that a
    // query costs no check of the many files it never reads:
    //   * for_bodies: the SPK files holding a segment of `target` or
    //     `center`, or of a centre of such a segment, and so on up their
    //     chains (every segment a state query can evaluate), and every DAF
    //     that is no SPK (binary PCK and other orientation data, which frame
    //     transforms read);
    //   * for_frames: every DAF that is no SPK.
    // Text kernels are read whole at load and need no check. A file of the
    // set that these leave out is never read by the call, so a change to it
    // cannot reach the call's result.
    std::expected<void, KernelSetError> check_unchanged_for_bodies(std::int32_t target, std::int32_t center) const;
    std::expected<void, KernelSetError> check_unchanged_for_frames() const;
    // Asked before a call reads through the snapshot's files. While the
    // SIGBUS guard is in place (map_guard::displaced), nothing: a read of a
    // vanished page is repaired and reported by check_unchanged. When
    // another handler has replaced the guard, such a read would end the
    // process or hang in it; each DAF file still at its path is then asked
    // for its length first (a stat per file), and one that got shorter is
    // reported as changed before anything is read.
    std::expected<void, KernelSetError> check_before() const;
    const std::vector<SegmentRef>& segments() const noexcept { return segments_; }

    // The state of `target` relative to `center` at `et` in `frame`.
    std::expected<State, KernelSetError> state(std::int32_t target, std::int32_t center, OutputFrame frame,
                                               double et) const;
    // The same for every epoch, into rows of `out` (6 doubles per epoch),
    // split into `threads` contiguous chunks (0: one thread per usable core
    // for batches of at least kParallelThreshold epochs, one below). Results
    // do not depend on the thread count, bit for bit. On failure `out` is
    // partly written and the epoch of lowest index that failed is reported.
    std::expected<void, BatchFailure> state_batch(std::int32_t target, std::int32_t center, OutputFrame frame,
                                                  EpochView ets, double* out, unsigned threads = 0) const;
    // state_batch in J2000 on the calling thread, allocating nothing on
    // success: for frames evaluated inside other batches (two-vector frames).
    std::optional<BatchFailure> state_rows(std::int32_t target, std::int32_t center, const double* ets, std::size_t n,
                                           double* out) const;
    // The state of `body` relative to the solar-system barycenter.
    std::expected<State, KernelSetError> state_wrt_ssb(std::int32_t body, OutputFrame frame, double et) const {
        return state(body, 0, frame, et);
    }
    // The 6x6 state transform from J2000 to ITRF93 (or back with `inverse`)
    // at `et`, from the highest-precedence PCK segment of body frame 3000 that
    // covers it: the transform NaifPck gives for ("J2000", "ITRF93"), bit for
    // bit.
    std::expected<Mat6, KernelSetError> j2000_to_itrf93(double et, bool inverse = false) const;
    // The same for every epoch, 36 doubles per epoch (row-major) into `out`.
    std::expected<void, BatchFailure> j2000_to_itrf93_batch(EpochView ets, double* out, bool inverse = false,
                                                            unsigned threads = 0) const;
    // The frames the set knows (built-in and from its frame kernels).
    const FrameCatalog& frames() const noexcept { return *frames_; }
    // The binary PCK orientation of the set, highest precedence first.
    const PckOrientationSource& pck_orientation() const noexcept { return *pck_source_; }
    // The transforms from frame `from` to frame `to` at every epoch: 3x3
    // rotations (9 doubles per epoch, row-major) or, with `six`, 6x6 state
    // transforms (36 doubles), planned once for the batch.
    std::expected<void, BatchFailure> frame_transform_batch(std::int32_t from, std::int32_t to, EpochView ets,
                                                            double* out, bool six, unsigned threads = 0) const;
    // The plan of a transform, or the error of a query that needs it.
    std::expected<FramePath, KernelSetError> frame_path(std::int32_t from, std::int32_t to) const;
    // A frame error as the set reports it.
    static KernelSetError frame_error(const FrameError& e, const std::string& context = {});

    // The links that answer the query at `et`, target side first.
    std::expected<std::vector<ChainLink>, KernelSetError> resolve(std::int32_t target, std::int32_t center,
                                                                  double et) const;

    // Batches of at least this many epochs use every usable core by default.
    // Measured on DE421 Moon wrt Earth (about 125 ns per epoch on one core,
    // some 60 us to start a thread): on two idle cores a split gains 1.38x
    // at 2048 epochs, 1.57x at 4096 and 1.83x at 8192; at 1024 it gains
    // nothing.
    static constexpr std::size_t kParallelThreshold = 4096;

    struct Plan;  // kernel_set.cpp
    struct PlanFailure;

private:
    friend struct BatchRunner;
    std::string segment_label(const SegmentRef& ref) const;
    std::string describe_gap(std::int32_t body, double et) const;
    std::expected<Mat6, KernelSetError> itrf93_transform(const PckSegmentRef& ref, double et, bool inverse) const;

    std::vector<File> files_;
    std::vector<SegmentRef> segments_;
    std::unordered_map<std::int32_t, Timeline> timelines_;
    std::vector<PckSegmentRef> pck_segments_;  // of body frame 3000
    Timeline itrf93_;
    std::vector<BodyBinding> bindings_;
    const LeapSecondsFields* leapseconds_ = nullptr;
    // Every binary PCK segment, and a timeline per body frame class id.
    std::vector<PckSegmentRef> all_pck_;
    std::unordered_map<std::int32_t, Timeline> pck_timelines_;
    KernelPool pool_;
    std::shared_ptr<const FrameCatalog> frames_;
    std::unique_ptr<const PckOrientationSource> pck_source_;
    friend class SnapshotPckSource;

    // The check of one file (check_unchanged).
    std::expected<void, KernelSetError> check_file(const File& f) const;
    std::expected<void, KernelSetError> check_files(const std::vector<std::int32_t>& files) const;
    // Files read by queries, found at their first use: positions in files_,
    // ascending. Guarded by read_sets_mutex_.
    mutable std::mutex read_sets_mutex_;
    mutable std::unordered_map<std::int32_t, std::vector<std::int32_t>> segments_of_body_;  // ids in segments_
    mutable bool segments_indexed_ = false;
    mutable std::unordered_map<std::uint64_t, std::shared_ptr<const std::vector<std::int32_t>>> body_reads_;
    mutable std::shared_ptr<const std::vector<std::int32_t>> frame_reads_;
    mutable std::optional<bool> frames_read_orientation_only_;
};

// Work on one chunk of a batch: epochs [begin, end). `lowest` holds the
// lowest failing index any chunk has reported so far; work may stop early
// once it is below `begin`.
using ChunkWork =
    std::function<std::optional<BatchFailure>(std::size_t begin, std::size_t end, const std::atomic<std::size_t>& lowest)>;

// Runs `work` over contiguous chunks of [0, n) on `threads` threads, chosen
// as state_batch chooses them when 0, and returns the failure of lowest
// index. For batches built on the cursors below.
std::expected<void, BatchFailure> run_batch(std::size_t n, unsigned threads, const ChunkWork& work);

// The states of one query (target, center, frame) at successive arrays of
// epochs, on one thread: the chain plan is kept from one call to the next
// while the epochs stay where it holds, and nothing is allocated after
// construction. The results are state_batch's, bit for bit.
class StateCursor {
public:
    StateCursor(const KernelSnapshot& snap, std::int32_t target, std::int32_t center, OutputFrame frame);
    ~StateCursor();
    StateCursor(StateCursor&&) noexcept;
    StateCursor& operator=(StateCursor&&) noexcept;

    // States at ets[0..n) (any order, none NaN) into rows of `out`. On
    // failure, the position in `ets` of the first failing epoch and its
    // error; `out` is then partly written.
    std::optional<BatchFailure> evaluate(const double* ets, std::size_t n, double* out);
    // evaluate's velocities, the same bits, for a caller that reads nothing
    // else (positions are left unspecified): the Chebyshev series of Type 2
    // links in J2000 then sum their derivatives only. For J2000 output only;
    // a cursor in another frame gives whole rows.
    std::optional<BatchFailure> evaluate_velocities(const double* ets, std::size_t n, double* out);

    // Lets this cursor and `other` (both used on one thread) keep the last
    // few rows of their links to the barycenter for each other: a link that
    // both evaluate at the same epochs (the Earth-Moon barycenter's under
    // the Earth and the Moon) is then evaluated once. The same bits.
    void share_links(StateCursor& other);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The J2000 -> ITRF93 state transforms (ITRF93 -> J2000 with `inverse`) at
// successive arrays of epochs, on one thread, as j2000_to_itrf93_batch gives
// them, bit for bit.
class Itrf93Cursor {
public:
    explicit Itrf93Cursor(const KernelSnapshot& snap);
    ~Itrf93Cursor();
    Itrf93Cursor(Itrf93Cursor&&) noexcept;
    Itrf93Cursor& operator=(Itrf93Cursor&&) noexcept;

    std::optional<BatchFailure> evaluate(const double* ets, std::size_t n, Mat6* out, bool inverse);
    // For a point r fixed in ITRF93: X^-1 [r, 0] (its J2000 position and
    // velocity relative to the Earth's center, six doubles per epoch) of
    // the forward transforms X that `evaluate` gives, summed from 0 over the
    // three components of r in order, without writing X out.
    std::optional<BatchFailure> site_offsets(const double* ets, std::size_t n, const std::array<double, 3>& r, double* out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The loaded files of a set, published as immutable snapshots.
class KernelSet {
public:
    KernelSet();

    // Opens every path, then adds them in order on top of the set; all or
    // nothing. A path already in the set moves to the top. A meta-kernel
    // (meta_kernel.hpp) is added followed by the files it lists, resolved
    // against the current directory and made absolute now; a file it lists
    // that cannot be opened, or is itself a meta-kernel, fails the load. A
    // file loaded by itself and listed by a meta-kernel is held once for
    // each, as the toolkit holds it.
    std::expected<void, KernelSetError> load(const std::vector<std::string>& paths);
    // Removes the file loaded under `path` (a meta-kernel with the files it
    // listed; a file loaded by itself before one a meta-kernel listed); false
    // when there is none. Fails,
    // leaving the set as it was, when the remaining text kernels no longer
    // make a pool (a "+=" whose variable now holds the other kind).
    std::expected<bool, KernelSetError> unload(const std::string& path);
    void clear();

    std::shared_ptr<const KernelSnapshot> snapshot() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const KernelSnapshot> snapshot_;
};

}  // namespace kernwerk
