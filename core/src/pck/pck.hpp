// Binary PCK reader (data types 2, 3 and 20: Chebyshev series of Euler
// angles).
//
// Layout relied on (on top of the DAF container):
//   * summaries have ND = 2, NI = 5: start ET, end ET (both inclusive); body
//     frame class code, reference frame code, data type, first and last data
//     address (inclusive, from 1);
//   * a Type 2 segment holds N records of RSIZE doubles from its first
//     address, then INIT, INTLEN, RSIZE, N at last-3..last;
//   * record k starts at first + k*RSIZE: MID, RADIUS, then n_c = (RSIZE-2)/3
//     coefficients for each of RA, DEC and W in turn;
//   * a Type 3 segment is a generic segment (the layout of SPK Type 14): the
//     last word is NMETA (17), the NMETA words ending the segment CONBAS,
//     NCON, RDRBAS, NRDR, RDRTYP, REFBAS, NREF, PDRBAS, NPDR, PDRTYP,
//     PKTBAS, NPKT, RSVBAS, NRSV, PKTSZ, PKTOFF, NMETA (bases counted from
//     0 at the first address); constant 0 is the number of coefficients per
//     series NC; NPKT packets of PKTOFF leading words, then MID, RADIUS and
//     six series of NC coefficients: RA, DEC and W in degrees, which give
//     the Euler angles of Type 2 as pi/2 + RA, pi/2 - DEC and W, then the
//     body's angular velocity in degrees per second, in the body-fixed
//     frame (each component its own series); NREF = NPKT reference epochs, the records' starts, in
//     non-decreasing order; RDRTYP picks the record for an epoch as SPK Type 14
//     does (3: the last reference at or before it; 2: the last before it;
//     4: the nearest);
//   * a Type 20 segment holds N records of RSIZE = 3 (n_c + 1) doubles, for
//     RA, then DEC, then W: n_c coefficients of the rate's series
//     (ASCALE/TSCALE units) and the angle at the record's middle (ASCALE
//     units); then ASCALE (radians), TSCALE (seconds), INITJD and INITFR
//     (the first record's start as a TDB Julian date in two parts), INTLEN
//     (days), RSIZE, N. The angle is the rate series' integral from the
//     middle plus the middle's angle, as the position of SPK Type 20.
// Epochs are TDB seconds past J2000; angles are radians, rates radians per
// second.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "daf/daf.hpp"
#include "math/rotation.hpp"

namespace kernwerk {

class PckError {
public:
    enum class Kind { Daf, NoCoverage, UnsupportedType, Malformed };

    PckError(DafError daf) : kind_(Kind::Daf), message_(daf.message()), daf_(std::move(daf)) {}  // NOLINT
    // The frame shown is always 1, whatever the segments' reference frames.
    static PckError no_coverage(double et, std::int32_t body_frame, std::int32_t frame = 1);
    static PckError unsupported_type(std::int32_t data_type);
    static PckError malformed(std::string reason);
    // "malformed PCK Type {data_type} segment: {reason}".
    static PckError malformed(std::int32_t data_type, std::string reason);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The embedded container error (Kind::Daf only).
    const std::optional<DafError>& daf() const noexcept { return daf_; }

private:
    PckError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    std::optional<DafError> daf_;
};

// [RA, DEC, W, dRA, dDEC, dW]: radians and radians per second.
using EulerState = std::array<double, 6>;

// The checked directory of a Type 2 segment and the handle its records are
// read through.
struct PckType2 {
    DafFile daf;
    double init = 0, intlen = 0;
    std::uint64_t rsize = 0;  // 2 + 3 n_c, at least 5
    std::uint64_t n = 0;      // records, at least 1
    std::uint64_t ncoef = 0;  // n_c, coefficients per angle, at least 1
    std::uint32_t begin = 0;  // address of record 0

    // The angles and rates at `et` from the record that covers it (clamped
    // to the first and last record).
    std::expected<EulerState, PckError> evaluate(double et) const;
    // The angles alone [RA, DEC, W]: the same bits as evaluate's first three.
    std::expected<std::array<double, 3>, PckError> angles(double et) const;
};

// The checked metadata of a Type 3 segment: packets and references in the
// mapping.
struct PckType3 {
    DafFile daf;
    const double* packets = nullptr;  // the first packet's MID
    const double* epochs = nullptr;
    std::uint64_t n = 0, stride = 0, ncoef = 0;
    enum class Reference : std::uint8_t { AtOrBefore, Before, Nearest } reference = Reference::AtOrBefore;
    // The Euler angles (radians, as Type 2's) and then the angular velocity
    // in the body-fixed frame (radians per second): not an EulerState, whose
    // rates are the angles' own.
    std::expected<std::array<double, 6>, PckError> evaluate(double et) const;
};

// The checked directory of a Type 20 segment.
struct PckType20 {
    DafFile daf;
    const double* records = nullptr;
    double ascale = 0, tscale = 0, initjd = 0, initfr = 0, intlen = 0;
    std::uint64_t rsize = 0, n = 0, ncoef = 0;
    std::expected<EulerState, PckError> evaluate(double et) const;
};

// Which data types a PckFile reads. NaifPck keeps Type 2 alone (every other
// type listed and not validated); kernel sets read Types 2, 3 and 20, each
// checked at open.
enum class PckTypes : std::uint8_t { Documented, All };

struct PckSegment {
    std::string name;
    double start_et = 0, end_et = 0;
    std::int32_t body_frame = 0, ref_frame = 0, data_type = 0;
    std::optional<PckType2> type2;    // present only when data_type is 2
    std::optional<PckType3> type3;    // data_type 3, read with PckTypes::All
    std::optional<PckType20> type20;  // data_type 20, read with PckTypes::All

    // Whether inertial_to_body() can answer.
    bool evaluable() const noexcept { return type2 || type3 || type20; }
    // The 6x6 state transform from `inertial` to the body-fixed frame at
    // `et`, from whichever reader the segment has: Types 2 and 20 through
    // pck_inertial_to_body_sxform (the bits NaifPck gives for Type 2), Type
    // 3 from R and dR = -[omega]x R, times the rotation from `inertial` into
    // the segment's reference frame (1 J2000 or 17 ECLIPJ2000; others fail).
    std::expected<Mat6, PckError> inertial_to_body(InertialFrame inertial, double et) const;
    // The file the segment is read from (null for a segment without a reader).
    const DafFile* daf() const noexcept {
        return type2 ? &type2->daf : type3 ? &type3->daf : type20 ? &type20->daf : nullptr;
    }
};

class PckFile {
public:
    struct RefAndState {
        std::int32_t ref_frame;
        EulerState state;
    };

    // Every summary with at least 2 doubles and 5 ints becomes a segment;
    // Type 2 directories are checked here, once. `daf` is released on return
    // unless a Type 2 segment keeps a clone of it.
    static std::expected<PckFile, PckError> from_daf(DafFile daf, PckTypes types = PckTypes::Documented);
    // Opens `path` with DafFile::open_with_summaries: nothing of the file is
    // read through its mapping at open.
    static std::expected<PckFile, PckError> open(const std::string& path);
    static std::expected<PckFile, PckError> from_summaries(DafFile daf,
                                                           std::expected<std::vector<Summary>, DafError> summaries,
                                                           PckTypes types = PckTypes::Documented);

    // The last segment in file order for `body_frame` whose coverage holds
    // `et` answers, with its reference frame code.
    std::expected<RefAndState, PckError> euler_state_with_ref(std::int32_t body_frame, double et) const;
    std::expected<EulerState, PckError> euler_state(std::int32_t body_frame, double et) const;

    const std::vector<PckSegment>& segments() const noexcept { return segments_; }

private:
    PckFile() = default;
    std::vector<PckSegment> segments_;
};

// The segment PckFile::euler_state_with_ref chooses for a body frame, found
// once per run of epochs: after a search, the stretch of epochs around the
// epoch searched over which that segment stays the choice (inside its
// coverage, outside every later segment of the body) is kept, and epochs
// inside it are answered without a search. Segments with NaN bounds turn the
// shortcut off (the search's comparisons then decide alone). Up to kKept
// stretches are kept, ordered by their lower ends, so that random epochs
// over a file of a few dozen segments rarely search.
class PckSegmentCursor {
public:
    PckSegmentCursor(const PckFile& file, std::int32_t body_frame) noexcept : file_(file), body_(body_frame) {}
    // The chosen segment, or nullptr when no segment of the body covers `et`.
    const PckSegment* find(double et) noexcept;

private:
    struct Stretch {
        const PckSegment* seg = nullptr;  // unused while null
        double lo = std::numeric_limits<double>::infinity(), hi = 0;
        bool lo_closed = false, hi_closed = false;
    };
    static constexpr std::size_t kKept = 32;
    static bool holds(const Stretch& k, double et) noexcept {
        return (k.lo < et || (k.lo_closed && et == k.lo)) && (et < k.hi || (k.hi_closed && et == k.hi));
    }
    const PckFile& file_;
    std::int32_t body_;
    Stretch kept_[kKept];
    std::size_t count_ = 0;
};

// M, the rotation from `inertial` into a PCK segment's reference frame
// `ref_frame` (1 J2000 or 17 ECLIPJ2000); nothing for other frames.
std::optional<Mat3> pck_reference_rotation(std::int32_t ref_frame, InertialFrame inertial) noexcept;

// The upper-left 3x3 block of pck_inertial_to_body_sxform for the rotation
// `r` (pck_euler_rotation of the angles) and M, bit for bit: each element is
// that product's sum, whose terms beyond the block are +0.0.
Mat3 pck_inertial_to_body_pxform(const Mat3& r, const Mat3& m) noexcept;

// pck_inertial_to_body_sxform with M given, through the block structure of
// the product when R and dR are finite, the full product otherwise: the same
// bits either way.
Mat6 pck_inertial_to_body_sxform(const Mat3& m, const EulerState& e) noexcept;
// The same written row by row into out[0..36).
void pck_inertial_to_body_sxform(const Mat3& m, const EulerState& e, double* out) noexcept;
// Its blocks R M (upper left, and lower right) and dR M (lower left) into
// `rm` and `dm`, the same bits, when R and dR are finite; false (nothing
// written) otherwise, where the full product decides.
bool pck_inertial_to_body_blocks(const Mat3& m, const EulerState& e, Mat3& rm, Mat3& dm) noexcept;

// The 6x6 state transform of a Type 3 segment (PckType3::evaluate: angles,
// then the angular velocity in the body-fixed frame) with M given: R of the
// angles, dR = -[omega]x R, and the full product X_body X_frame, as
// PckSegment::inertial_to_body builds it.
Mat6 pck_type3_inertial_to_body_sxform(const Mat3& m, const std::array<double, 6>& a) noexcept;

// The 6x6 state transform from `inertial` (J2000 or ECLIPJ2000) to the
// body-fixed frame whose Euler angles and rates `e` a segment referred to
// frame `ref_frame` gives: X = X_body X_frame, where X_body is built from
// the 3-1-3 rotation of `e` and X_frame carries `inertial` into the
// segment's reference frame; each element of the product is summed from 0
// over k = 0..5 in increasing k. Nothing when `ref_frame` is neither 1
// (J2000) nor 17 (ECLIPJ2000). NaifPck and the kernel set both build their
// Earth transforms here, so that they agree bit for bit.
std::optional<Mat6> pck_inertial_to_body_sxform(std::int32_t ref_frame, InertialFrame inertial,
                                                const EulerState& e) noexcept;

}  // namespace kernwerk
