// Limb and terminator points on a body's ellipsoid over batches of epochs, in
// cutting half-planes, as the toolkit's limbpt and termpt give them for
// ellipsoids with the CENTER correction locus.
//
// Cut k of an epoch is the half-plane bounded by the axis (for limbs the line
// from the target's centre toward the observer, for terminators the line
// toward the illumination source) that contains the reference vector turned
// about the axis by k times the roll step (right-handed). On an ellipsoid
// both curves meet each such half-plane once, and they are found per cut
// rather than by a search:
//   - the limb seen from O is the plane section x . O' = 1 in the scaled
//     coordinates (x/a, y/b, z/c), where the ellipsoid is the unit sphere
//     and O' the scaled observer: a circle of radius sqrt(1 - 1/|O'|^2)
//     about O'/|O'|^2, met by the scaled half-plane in one point;
//   - the terminator of a spherical source of radius r at S is where the
//     tangent plane at x touches the source's sphere: n(x) . (S - x) = -r
//     (umbral: all of the source below the horizon) or +r (penumbral: all
//     above), n the outward unit normal. Along the half-ellipse of a cut this
//     is one equation in the polar angle from the axis, decreasing through
//     its root, solved by bracketed secant steps down to adjacent doubles.
//
// Aberration corrections (CENTER locus, found by experiment against the
// toolkit): the target's epoch is et -/+ the light time of its centre, the
// observer's body-fixed position is minus the apparent position of the
// centre (apparent_batch's, stellar aberration included) rotated into the
// body-fixed frame at the target epoch; the source is the apparent position
// of the source seen from the target's centre at the target epoch, with
// the same correction (reception only, as termpt takes). Tangent vectors run
// from the observer to the points, body-fixed at the target epoch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "geometry/surface.hpp"

namespace kernwerk {

enum class CurveKind : std::uint8_t { Limb, Umbral, Penumbral };

struct CurveQuery {
    SurfaceTarget target;
    std::int32_t observer = 0;
    CurveKind kind = CurveKind::Limb;
    // The illumination source of terminators and its sphere's radius (km).
    std::int32_t source = 10;
    double source_radius = 0.0;
    Correction correction = Correction::None;
    Vec3 reference{0.0, 0.0, 1.0};  // body-fixed
    double roll_step = 0.0;         // radians
    std::size_t cuts = 1;
};

// The point of the limb of the ellipsoid seen from `observer` (body-fixed,
// outside the ellipsoid) in the half-plane bounded by the line through the
// centre and the observer that contains `toward`; false when `toward` is
// along that line.
bool limb_point(const Triaxial& e, const Vec3& observer, const Vec3& toward, Vec3& out) noexcept;

// The terminator point of a source sphere (centre `source`, radius `radius`,
// outside the ellipsoid) in the half-plane bounded by the line through the
// centre and the source that contains `toward`: umbral or penumbral. False
// when `toward` is along that line or the cut has no root.
bool terminator_point(const Triaxial& e, const Vec3& source, double radius, bool umbral, const Vec3& toward,
                      Vec3& out) noexcept;

// Per epoch i and cut k (row i * cuts + k): the point (3 doubles, body-fixed,
// km), the target epoch, the tangent vector from the observer to the point
// (3 doubles). For limbs an observer inside the ellipsoid, and a reference
// vector along the axis, fail their epoch; terminators refuse an observer
// that is the target itself.
std::expected<void, BatchFailure> curve_batch(const KernelSnapshot& snap, const CurveQuery& q, EpochView ets,
                                              double* points, double* epochs, double* tangents,
                                              unsigned threads = 0);

}  // namespace kernwerk
