// Surface geometry on a body's ellipsoid as an observer sees it, over
// batches of epochs: sub-observer and sub-solar points, ray intercepts, and
// the illumination angles at surface points, with the toolkit's aberration
// corrections (subpnt, subslr, sincpt, ilumin, illumf).
//
// Every query is planned once per batch (the J2000 -> body-fixed frame path,
// the ray frame's path, the radii) and then evaluated epoch by epoch on
// cursors that allocate nothing, over threads as state_batch splits its
// batches; results do not depend on the thread count.
//
// Light time, as the toolkit solves it for surface points (found by
// experiment against it, see tests/test_surface.py): for observer O, target
// T with body-fixed rotation R(t) (J2000 -> frame), surface point s(t):
//   lt_0 = |T(et) - O(et)| / c, the geometric distance of the centre;
//   step k: t = et -/+ lt_k, P = T(t) - O(et), s found from the observer's
//           body-fixed position -R(t) P, lt_{k+1} = |P + R(t)^T s| / c;
//   two steps for LT and XLT, up to kSurfaceSteps for CN and XCN, which stop
//   once lt changes by less than 1e-17 |et|; the point and the vector are
//   those of the last step, the target epoch et -/+ lt of its light time.
// Stellar aberration (+S) moves the observer's body-fixed position by the
// aberration offset of the geometric vector to the surface point (found by
// fixed-point steps: the offset depends on the point), the sub-point being
// computed from that apparent position; for rays the given (apparent)
// direction is first turned back to the geometric one.
//
// The illumination angles at a given point use the point's light time as
// the toolkit's spkcpt does for a point fixed on the target (one step for
// LT), the vector rotated into the frame at the target epoch, and the
// source's position seen from the surface point at that epoch (moving with
// the body: its velocity enters the aberration), as spkcpo gives it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "geometry/apparent.hpp"
#include "geometry/ellipsoid.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk {

// At most this many light-time steps for CN and XCN surface queries.
inline constexpr int kSurfaceSteps = 10;

enum class SubpointMethod : std::uint8_t { NearPoint, Intercept };

// The surface of one target: body, body-fixed frame (centred on the body)
// and the radii of its ellipsoid.
struct SurfaceTarget {
    std::int32_t body = 0;
    std::int32_t frame = 0;
    Triaxial shape;
};

struct SubpointQuery {
    SurfaceTarget target;
    std::int32_t observer = 0;
    SubpointMethod method = SubpointMethod::NearPoint;
    Correction correction = Correction::None;
    // The sub-solar point (subslr) rather than the sub-observer point; the
    // point then lies under `source` as seen from the target centre.
    bool solar = false;
    std::int32_t source = 10;
};

// Checks the radii and that `target.frame` is centred on the body, and plans
// (J2000 -> frame) as prepared for evaluate_path; errors begin with `label`.
std::expected<FramePath, KernelSetError> plan_body_frame(const KernelSnapshot& snap, const SurfaceTarget& target,
                                                         const std::string& label);

// Per epoch: the surface point (3 doubles, body-fixed, km), the target
// epoch, and the observer-to-point vector (3 doubles, body-fixed at the
// target epoch). An observer inside the ellipsoid fails its epoch.
std::expected<void, BatchFailure> subpoint_batch(const KernelSnapshot& snap, const SubpointQuery& q, EpochView ets,
                                                 double* points, double* epochs, double* vectors, unsigned threads = 0);

struct InterceptQuery {
    SurfaceTarget target;
    std::int32_t observer = 0;
    std::int32_t ray_frame = 1;  // the frame the directions are given in
    Correction correction = Correction::None;
};

// Ray i (3 doubles of `rays`, in the ray frame) leaves the observer at
// ets[i]. A hit writes the point, the target epoch and the vector as
// subpoint_batch and found[i] = 1; a miss writes NaN rows and found[i] = 0.
std::expected<void, BatchFailure> intercept_batch(const KernelSnapshot& snap, const InterceptQuery& q, EpochView ets,
                                                  const double* rays, double* points, double* epochs,
                                                  double* vectors, std::uint8_t* found, unsigned threads = 0);

struct IlluminationQuery {
    SurfaceTarget target;
    std::int32_t observer = 0;
    std::int32_t source = 10;
    Correction correction = Correction::None;
};

// At surface point i (3 doubles of `points`, body-fixed) at ets[i]: the
// target epoch, the observer-to-point vector, the phase, incidence and
// emission angles (3 doubles, radians), and whether the point is visible
// (emission below 90 degrees) and lit (incidence below 90 degrees). A row
// of `points` holding NaN (a ray that missed) gives NaN rows and neither flag.
std::expected<void, BatchFailure> illumination_batch(const KernelSnapshot& snap, const IlluminationQuery& q,
                                                     EpochView ets, const double* points, double* epochs,
                                                     double* vectors, double* angles, std::uint8_t* visible,
                                                     std::uint8_t* lit, unsigned threads = 0);

}  // namespace kernwerk
