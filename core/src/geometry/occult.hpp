// Occultation of one target by another as an observer sees them, over
// batches of epochs, with the toolkit's codes (occult):
//   -3 / -2 / -1: the first target totally / annularly / partially occulted
//                 by the second (the second in front),
//    0          : neither occults the other,
//    3 /  2 /  1: the second target totally / annularly / partially occulted
//                 by the first.
// Each target is an ellipsoid (its radii in a body-fixed frame centred on
// it) or a point; at most one may be a point. A point behind an
// ellipsoid's disk is totally occulted; one in front of it annularly
// occults the ellipsoid, as the toolkit codes it (off the disk: 0).
//
// Positions are the targets' light-time corrected positions (stellar
// aberration, accepted in the correction, is left out as the toolkit leaves
// it out), each body-fixed frame taken at its own target's epoch et -/+
// lt. The front target is the one whose centre is nearer. Whether the two apparent disks overlap, or one holds the other,
// is decided exactly on the cones from the observer to the ellipsoids: a
// linear map fixing the observer turns one ellipsoid into the unit sphere
// (its cone circular) and keeps every cone a cone, so containment and
// overlap become the largest and smallest angles of the other cone's
// outline from the circular cone's axis, found on the gnomonic plane of
// that axis (where the outline is an ellipse and angles grow with the
// distance from the axis).
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "geometry/apparent.hpp"
#include "geometry/ellipsoid.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk {

struct OccultTarget {
    std::int32_t body = 0;
    bool point = false;
    std::int32_t frame = 0;  // ellipsoid: its body-fixed frame, centred on the body
    Triaxial shape;          // ellipsoid: its radii (km)
};

struct OccultQuery {
    OccultTarget first, second;
    std::int32_t observer = 0;
    Correction correction = Correction::None;
};

// The code for targets seen from the origin: centres `c1`, `c2` (km, any
// inertial frame), `r1`, `r2` the rotations from that frame to each
// body-fixed frame (ignored for a point). Throws nothing; an observer
// inside an ellipsoid gives 0 (occult_batch refuses it before).
int occultation_code(const Vec3& c1, const Mat3& r1, const Triaxial& e1, bool point1, const Vec3& c2,
                     const Mat3& r2, const Triaxial& e2, bool point2) noexcept;

// The positions and light times of a block of epochs; a caller that runs
// many batches (a search) keeps one, so that its buffers are allocated once.
struct OccultScratch {
    std::vector<double> states, lts;
};

// One code per epoch into `codes`. An observer inside either ellipsoid, or
// equal to a target, fails its epoch (the lowest failing index is reported).
std::expected<void, BatchFailure> occult_batch(const KernelSnapshot& snap, const OccultQuery& q, EpochView ets,
                                               std::int8_t* codes, unsigned threads = 0,
                                               OccultScratch* scratch = nullptr);

}  // namespace kernwerk
