// C-kernel (CK) reader: pointing of spacecraft and instruments, data types
// 1 to 6.
//
// Layout relied on (on top of the DAF container):
//   * summaries have ND = 2, NI = 6: start and end encoded SCLK ticks (both
//     inclusive); instrument, reference frame, data type, angular velocity
//     flag (1 when the segment holds angular velocity), first and last data
//     address (inclusive, from 1);
//   * a quaternion is (cos, sin * axis): the rotation C from the reference
//     frame to the instrument frame is q2m of it; angular velocity is the
//     instrument frame's, in the reference frame, radians per second;
//   * Type 1: N records of 4 (quaternion) or 7 (and angular velocity)
//     doubles, N increasing times, (N-1)/100 directory times, then N. A
//     request is answered by the record nearest it (the earlier of two as
//     near) when within the tolerance;
//   * Type 2: N records of 8 (quaternion, angular velocity, seconds per
//     tick), N interval starts, N interval stops, (N-1)/100 directory times;
//     N follows from the size (10 N + (N-1)/100 words). Inside interval i
//     the pointing turns from the record's at constant angular velocity:
//     C(t) = C_i R, R the rotation about the angular velocity by
//     |av| (t - start_i) seconds-per-tick; outside every interval, the
//     nearest end within the tolerance answers;
//   * Type 3: N records as Type 1, N times, (N-1)/100 directory times,
//     NINT interpolation interval starts (each a record time), (NINT-1)/100
//     directory times, NINT, N. Between two records of one interpolation
//     interval the rotation turns linearly about the axis that carries the
//     first into the second, and angular velocity is linear; elsewhere the
//     nearest record within the tolerance answers;
//   * Type 4: a generic segment of variable-size packets. Its last NMETA
//     (17) words are CONBAS, NCON, RDRBAS, NRDR, RDRTYP, REFBAS, NREF,
//     PDRBAS, NPDR, PDRTYP, PKTBAS, NPKT, RSVBAS, NRSV, PKTSZ, PKTOFF, NMETA
//     (bases count words from 0 at the segment's start). NPKT packets from
//     PKTBAS: with PDRTYP 0 each PKTOFF + PKTSZ words (PKTOFF leading words
//     skipped), otherwise placed by the NPKT + 1 words of the packet
//     directory at PDRBAS, addresses from 1 relative to PKTBAS (the last one
//     just past the last packet). A packet is MID, RAD (ticks), one word
//     packing the coefficient counts of q0..q3 and of the three angular
//     velocity components (count k in base-128 digit k, the first the
//     lowest), then those series in turn; each component is the Chebyshev
//     sum c0 T0(s) + c1 T1(s) + ... at s = (t - MID) / RAD, and the
//     quaternion's matrix is q2m of it (which normalises). NREF = NPKT
//     reference ticks at REFBAS, non-decreasing, pick the packet for t by
//     RDRTYP: 3 the last reference at or before t, 2 the last before t, 4
//     the nearest (the later of two as near); 0 and 1 (implicit references)
//     are refused. The packet's interval is MID - RAD .. MID + RAD. Found by
//     experiment against the toolkit's reader: a request at or before the
//     picked packet's end is evaluated there, even before its start; past
//     its end (or before the first reference) the nearer of that end and the
//     next packet's start answers (the end when as near), when within the
//     tolerance, evaluated there. Coverage is the union of the packets'
//     intervals, not cut at the segment's bounds;
//   * Type 5: N packets of a subtype's size (0: 8 quaternion and its
//     derivative, Hermite; 1: 4 quaternion, Lagrange; 2: 14 quaternion,
//     derivative, angular velocity and its derivative, Hermite; 3: 7
//     quaternion and angular velocity, Lagrange), N times, (N-1)/100
//     directory times, NINT interval starts, (NINT-1)/100 directory times,
//     then RATE (seconds per tick), SUBTYPE, WINSIZ, NINT, N. Inside an
//     interval, each component is interpolated over a window of WINSIZ
//     packets (Hermite with the derivatives times RATE, per tick) and the
//     quaternion unitised; angular velocity is the packets' own (subtypes 2,
//     3), else -2 q* dq from the interpolated quaternion and its rate.
//     Outside every interval, the nearest packet within the tolerance
//     answers, evaluated at its time;
//   * Type 6: M mini-segments back to back, each N packets of a Type 5
//     subtype's size, N strictly increasing times covering its interval,
//     (N-1)/100 directory times, then RATE, SUBTYPE, WINSIZ (even; 2..12
//     for the Hermite subtypes, 2..24 for the Lagrange ones), N; after them
//     M + 1 strictly increasing interval bounds, M/100 directory bounds, M + 1
//     pointers (the first word of each mini-segment from 1, the last one
//     just past the last mini-segment), the boundary flag (0: a time on an
//     inner bound is served by the interval ending there; 1: by the one
//     starting there), M. Interval k is served by mini-segment k with the
//     Type 5 interpolation over the window of the WINSIZ/2 packets up to
//     the last time before the request and the WINSIZ/2 after it, cut (not
//     shifted) at the mini-segment's ends. The segment answers
//     everywhere between its start and end, which lie within the bounds;
//     outside them the nearer end within the tolerance answers, evaluated
//     there.
// Every directory is checked at open: counts that fit the segment, times in
// the segment that do not decrease, finite numbers where the layout needs
// them.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "daf/daf.hpp"
#include "math/rotation.hpp"

namespace kernwerk {

class CkError {
public:
    enum class Kind { Daf, Malformed, UnsupportedType };
    CkError(DafError daf) : kind_(Kind::Daf), message_(daf.message()) {}  // NOLINT
    CkError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Kind kind_;
    std::string message_;
};

// Pointing at one request: the rotation from the segment's reference frame
// to the instrument frame, its angular velocity (zero when the segment has
// none) and the ticks it is given for.
struct CkPointing {
    Mat3 cmat{};
    std::array<double, 3> av{};
    double clock = 0;
};

// One Type 4 packet as checked at open: where its words begin (MID) and
// its seven coefficient counts.
struct Ck4Packet {
    const double* words = nullptr;
    std::array<std::uint8_t, 7> counts{};
};

// A run of packets interpolated alike: a Type 5 segment's or one Type 6
// mini-segment's.
struct CkPackets {
    const double* records = nullptr;
    const double* times = nullptr;
    std::uint64_t n = 0, stride = 0, window = 0;
    int subtype = 0;
    double rate = 0;  // seconds per tick
    // The packets first..last interpolated at t.
    CkPointing window_at(std::uint64_t first, std::uint64_t last, double t) const noexcept;
};

struct CkSegment {
    std::string name;
    double start = 0, end = 0;  // ticks
    std::int32_t instrument = 0, ref_frame = 0, data_type = 0;
    bool has_av = false;
    std::uint32_t first = 0, last = 0;  // data addresses

    // Checked views into the mapping.
    const double* records = nullptr;
    const double* times = nullptr;    // record times (types 1, 3, 5) or interval starts (type 2)
    const double* stops = nullptr;    // type 2
    const double* istarts = nullptr;  // types 3, 5: interpolation interval starts
    std::uint64_t n = 0, nint = 0, stride = 0;
    int subtype = 0;
    std::uint64_t window = 0;
    double rate = 0;
    // Type 6: the mini-segments as checked at open (their counts are not
    // read from the mapping again) and the M + 1 interval bounds.
    std::vector<CkPackets> minis;
    const double* bounds = nullptr;
    bool select_last = false;
    // Type 4: the packets as checked at open, the NPKT references in the
    // mapping and how they pick a packet (2, 3 or 4, see above).
    std::vector<Ck4Packet> packets4;
    const double* refs = nullptr;
    int reference = 3;

    // Whether kernwerk evaluates this segment's data type.
    bool readable() const noexcept { return data_type >= 1 && data_type <= 6; }

    // The pointing at `ticks` with tolerance `tol` (ticks), or nothing when
    // the segment does not answer there. The caller has checked the
    // segment's bounds widened by the tolerance.
    std::optional<CkPointing> evaluate(double ticks, double tol) const noexcept;
    // The intervals the segment answers at zero tolerance (ckcov's
    // interval level), in order.
    std::vector<std::pair<double, double>> intervals() const;

private:
    CkPackets packets() const noexcept { return {records, times, n, stride, window, subtype, rate}; }
};

class CkFile {
public:
    // Every summary becomes a segment, its directory checked now; a
    // malformed one fails naming the segment and its type.
    static std::expected<CkFile, CkError> from_daf(DafFile daf);
    static std::expected<CkFile, CkError> open(const std::string& path);

    const std::vector<CkSegment>& segments() const noexcept { return segments_; }
    const DafFile& daf() const noexcept { return daf_; }

private:
    DafFile daf_;
    std::vector<CkSegment> segments_;
    explicit CkFile(DafFile daf) : daf_(std::move(daf)) {}
};

// q2m: the rotation matrix of the quaternion (cos, sin * axis), scaled by
// its norm so that a quaternion of any length gives a rotation.
Mat3 ck_quaternion_to_matrix(const double* q) noexcept;
// m2q for a rotation matrix: the quaternion with non-negative cosine.
std::array<double, 4> ck_matrix_to_quaternion(const Mat3& m) noexcept;

}  // namespace kernwerk
