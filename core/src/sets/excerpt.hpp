// Excerpts: a new SPK holding only the data of one or several SPK files
// that a span of epochs needs, for chosen targets.
//
// What is kept, and why the excerpt answers like its sources over the span:
//   * sources are read as kernel sets read them (open_kernel), and their
//     segments are taken in the set's precedence: later files over earlier
//     ones, later segments of a file over earlier ones. The excerpt lists the
//     kept segments in that same order, so that its own search picks, at
//     every epoch of the span, the segment the sources' search picks;
//   * a segment is a candidate when its target is one of `bodies` (all
//     targets when none is given) and its coverage meets the span;
//   * a candidate is dropped when segments of the same target that take
//     precedence over it cover its part of the span between them: the
//     toolkit's search never reaches it there;
//   * Types 2 and 3 keep the records from the one serving the span's first
//     epoch to the one serving its last, with INIT moved to the first kept
//     record. The record an epoch gets is floor((et - INIT) / INTLEN), whose
//     rounding depends on INIT: every record boundary inside the span is
//     checked (the first epoch each record is chosen at, found by bisection
//     over the doubles) to fall where it fell in the source. Where one does
//     not, INIT is moved less far (to a record where et - INIT keeps the
//     binade of the source's) or not at all; the records after the span are
//     cut either way. (The source computes et - INIT at the rounding of its
//     far INIT: about 2e-6 s for DE440 over this century, so that the epochs
//     just before a boundary go to the next record there. An excerpt of
//     DE440 for 2020-2030 thus keeps its records from 1748 on.) A request
//     that is not `exact` keeps the records serving the span only;
//   * Types 9 and 13 keep the states of every window the span's epochs use
//     (one window's size beyond the last state at or before the span's start
//     and the first at or after its end), with the epoch directory rebuilt;
//   * every other type is copied whole.
// A kept segment's coverage is its source coverage cut to the data kept.
// The file is written by SpkWriter (staging file and rename), with a comment
// naming its sources and span.
#pragma once

#include "sets/kernel_set.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace kernwerk {

// Excerpt failures are kernel-set failures: a source that cannot be read
// (File, with os_errno) or is no SPK (FileFormat), an empty or non-finite
// span, no sources, an empty list of bodies or an output that is one of the
// sources (Value), a chosen body with no data in the span (Coverage) or that
// no segment has as its target (BodyName), a source changed while read.
using ExcerptError = KernelSetError;

struct ExcerptRequest {
    std::vector<std::string> sources;  // SPK files, lowest precedence first
    std::string output;
    double start = 0, stop = 0;                      // ET, start < stop
    std::optional<std::vector<std::int32_t>> bodies;  // targets; none: every target
    std::vector<std::string> comments;               // lines put before the generated ones
    // False: Types 2 and 3 keep only the records serving the span, with INIT
    // at the first, unchecked (the excerpt may then choose the other of two
    // records within a few ulps of et - INIT of a boundary).
    bool exact = true;
};

// One segment written: its source, the type, and what was kept.
struct ExcerptSegment {
    std::size_t source = 0;  // position in ExcerptRequest::sources
    std::int32_t target = 0, center = 0, data_type = 0;
    double start_et = 0, end_et = 0;
    std::size_t words = 0, source_words = 0;
};

struct ExcerptResult {
    std::vector<ExcerptSegment> segments;
    std::size_t bytes = 0;  // the file's size
};

// Writes the excerpt; on any error nothing is written (an existing output
// file keeps its content).
std::expected<ExcerptResult, ExcerptError> write_excerpt(const ExcerptRequest& request);

}  // namespace kernwerk
