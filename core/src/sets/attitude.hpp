// Pointing from the C-kernels of a kernel set: the toolkit's ckgp and
// ckgpav over arrays of encoded SCLK ticks, coverage (ckcov) and the
// instruments present (ckobj).
//
// Precedence, as the toolkit's: a later file over an earlier one, a later
// segment of a file over an earlier one; the first segment in that order
// whose bounds widened by the tolerance hold the request, whose instrument
// matches and that holds angular velocity when it is asked for, and that
// answers, gives the pointing. Nothing falls back once a segment answered.
//
// Pointing is given relative to a reference frame: a segment's own frame
// directly; another inertial frame through the fixed rotation between them,
// planned once per batch; any other frame through its path from the asked
// frame, evaluated at the ET of each answer's ticks by the instrument's clock
// (CK_<instrument>_SCLK, else instrument / 1000), as the toolkit's ckgp does;
// angular velocity then adds the segment frame's own relative to the asked
// one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "ck/ck.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk {

struct CkSegmentRef {
    const CkSegment* segment = nullptr;
    std::int32_t file = 0, index = 0;
};

// Every CK segment of the snapshot, highest precedence first.
std::vector<CkSegmentRef> ck_segments(const KernelSnapshot& snap);

// The instruments of the snapshot's C-kernels, ascending.
std::vector<std::int32_t> ck_objects(const KernelSnapshot& snap);

// The coverage of `instrument`: merged segment bounds, or with `intervals`
// the intervals the segments answer at zero tolerance (widened by `tol` on
// both sides), merged; `need_av` keeps segments with angular velocity only.
std::vector<std::pair<double, double>> ck_coverage(const KernelSnapshot& snap, std::int32_t instrument,
                                                   bool intervals, double tol, bool need_av);

// The CK frame that carries `frame` (the frame itself when of class 3, else
// the first CK frame up its chain of TK frames) and the ephemeris object
// its frame kernel ties to it (CK_<class id>_SPK). Nothing when no CK frame
// carries `frame`; `object` empty when the variable is absent.
struct CkFrameObject {
    std::int32_t frame = 0, class_id = 0;
    std::optional<std::int32_t> object;
};
std::optional<CkFrameObject> ck_frame_object(const KernelSnapshot& snap, std::int32_t frame);
// CK_<class_id>_SPK of the snapshot's pool, when it holds an integer code.
std::optional<std::int32_t> ck_spk_object(const KernelSnapshot& snap, std::int32_t class_id);

struct CkBatchOutput {
    double* rotations = nullptr;    // 9 per request (row-major C) or, with quaternions, 4
    bool quaternions = false;
    double* av = nullptr;           // 3 per request; null when not asked for
    double* clock = nullptr;        // 1 per request (the ticks answered for); may be null
    std::uint8_t* found = nullptr;  // 1 per request
};

// Pointing of `instrument` relative to `ref_frame` at every tick count of
// `ticks`, tolerance `tol` ticks. Requests no segment answers are marked not
// found (their outputs zero). Fails for a segment of a type that cannot be
// read or a frame that cannot be used, naming the request.
std::expected<void, BatchFailure> ck_pointing_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                    EpochView ticks, double tol, std::int32_t ref_frame, bool need_av,
                                                    const CkBatchOutput& out, unsigned threads = 0);

}  // namespace kernwerk

namespace kernwerk {

// The orientation of the snapshot's CK frames (class 3): for class id c,
// the clock is CK_<c>_SCLK of the pool (else c / 1000 for c <= -1000, else
// c, the toolkit's convention); ET becomes ticks by that clock (sce2c), and
// the snapshot's segments of instrument c answer at zero tolerance, with
// angular velocity when rates are asked. A segment's reference frame is
// reached from J2000 through the frame system at the same epoch.
std::unique_ptr<const CkOrientationSource> make_ck_orientation_source(const KernelSnapshot& snap);

}  // namespace kernwerk
