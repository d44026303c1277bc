// Instrument fields of view: the toolkit's instrument kernel variables
// (getfov) and whether rays and targets lie in a field of view (fovray,
// fovtrg), over arrays of epochs.
//
// Variables read, for instrument <id> (names as the toolkit spells them):
//   INS<id>_FOV_SHAPE      'CIRCLE', 'ELLIPSE', 'RECTANGLE' or 'POLYGON';
//   INS<id>_FOV_FRAME      the frame of the vectors;
//   INS<id>_BORESIGHT      3 numbers;
//   INS<id>_FOV_CLASS_SPEC 'CORNERS' (the default) or 'ANGLES';
//   CORNERS: INS<id>_FOV_BOUNDARY_CORNERS, 3 numbers per vector: one for a
//     circle, two for an ellipse (the ends of its semi-axes), four for a
//     rectangle, three or more for a polygon, returned as given;
//   ANGLES (not for polygons): INS<id>_FOV_REF_VECTOR, _FOV_REF_ANGLE,
//     _FOV_CROSS_ANGLE (ellipse and rectangle), _FOV_ANGLE_UNITS (DEGREES,
//     RADIANS, ARCMINUTES, ARCSECONDS, HOURANGLE, MINUTEANGLE, SECONDANGLE).
//     With b the boresight, r the unit component of the reference vector
//     normal to b and c = b/|b| x r, the vectors (each of length |b|) are:
//     circle: b turned toward r by the reference angle; ellipse: that, and b
//     turned toward c by the cross angle; rectangle: the corners
//     |b| unit(b/|b| +/- tan(ref) r +/- tan(cross) c) in the order (+,+),
//     (-,+), (-,-), (+,-). Both angles are below 90 degrees.
//
// Containment is decided in the plane at unit distance along the boresight
// (x along the first boundary vector's component normal to it): a
// direction is in the field when its boresight component is positive and
// its point in that plane lies in the circle, the ellipse or the polygon
// (boundary included). An ellipsoid target is in the field when it meets
// the field's cone: in coordinates where the ellipsoid is the unit sphere,
// the cone's distance from the sphere's center is at most 1.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "frames/frames.hpp"
#include "geometry/apparent.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk {

enum class FovShape : std::uint8_t { Circle, Ellipse, Rectangle, Polygon };
const char* fov_shape_name(FovShape s) noexcept;

struct FieldOfView {
    std::int32_t instrument = 0;
    FovShape shape = FovShape::Circle;
    std::string frame;  // INS<id>_FOV_FRAME as given
    Vec3 boresight{};
    std::vector<Vec3> bounds;
};

// The field of view of `instrument` from the pool (getfov); MissingKernel
// when a variable it needs is absent, FileFormat when one is malformed,
// naming the variable.
std::expected<FieldOfView, KernelSetError> get_fov(const KernelPool& pool, std::int32_t instrument);

// A field of view planned for containment tests.
class FovCone {
public:
    // Fails (FileFormat) when the field cannot be tested: a zero boresight,
    // a boundary vector at or behind the boresight's normal plane, an
    // ellipse with a zero semi-axis.
    static std::expected<FovCone, KernelSetError> plan(const FieldOfView& fov);

    // Whether direction `v` (in the field's frame) lies in the field.
    bool contains(const Vec3& v) const noexcept;
    // Whether the ellipsoid {p : |D R (p - c)| <= 1} meets the field's cone
    // (apex at the origin); `m` = D R maps the field's frame into the
    // ellipsoid's unit-sphere coordinates, `c` is its center and
    // `max_radius` its largest semi-axis.
    bool meets_ellipsoid(const Mat3& m, const Vec3& c, double max_radius) const noexcept;
    // Whether a body within `max_radius` of `c` (its center, in the field's
    // frame, seen from the origin) lies wholly outside the cone of the
    // field's largest angle: then meets_ellipsoid is false for every
    // orientation of it, and the origin is outside it. Needs no more than c.
    bool clearly_outside(const Vec3& c, double max_radius) const noexcept;

private:
    FovShape shape_ = FovShape::Circle;
    Vec3 x_{}, y_{}, z_{};       // the plane's axes and the unit boresight
    double a_ = 0, b_ = 0;       // circle and ellipse: semi-axes in the plane
    double max_angle_ = 0;       // the largest angle of the field from the boresight
    std::vector<double> px_, py_;  // polygon vertices in the plane
    std::vector<Vec3> corners_;    // polygon: unit boundary directions
};

// fovray over arrays: rays (rows of 3 doubles, `ray_stride` doubles apart:
// 0 repeats one ray) in frame `ray_frame` at each epoch; `stellar` corrects
// them for the aberration of `observer`'s velocity (`transmission` the
// other way). One byte per epoch into `out` (1 in the field).
std::expected<void, BatchFailure> fov_ray_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                std::int32_t ray_frame, const double* rays, std::size_t ray_stride,
                                                bool stellar, bool transmission, std::int32_t observer,
                                                EpochView ets, std::uint8_t* out, unsigned threads = 0);

// fovtrg planned once for many batches (a search evaluates one per chunk
// of its grid and one per refinement step): the field, the path from J2000
// to its frame and, for an ellipsoid, the radii and the path to the
// target's frame. Used only with the snapshot it was planned on.
class FovTargetPlan {
public:
    static std::expected<FovTargetPlan, KernelSetError> plan(const KernelSnapshot& snap, std::int32_t instrument,
                                                             std::int32_t target, bool ellipsoid,
                                                             std::int32_t target_frame, Correction correction,
                                                             std::int32_t observer);
    // As fov_target_batch below.
    std::expected<void, BatchFailure> evaluate(const KernelSnapshot& snap, EpochView ets, std::uint8_t* out,
                                               unsigned threads = 0) const;

private:
    FovCone cone_;
    std::int32_t target_ = 0, observer_ = 0;
    bool ellipsoid_ = false;
    Correction correction_{};
    FramePath to_fov_, to_body_;
    std::string to_fov_what_, to_body_what_;
    Vec3 radii_{}, inv_radii_{};
    double max_radius_ = 0.0;
};

// fovtrg over arrays: `target` as a point, or (with `ellipsoid`) as the
// ellipsoid of BODY<target>_RADII oriented by `target_frame` at the
// light-time corrected epoch, seen from `observer` with `correction`.
std::expected<void, BatchFailure> fov_target_batch(const KernelSnapshot& snap, std::int32_t instrument,
                                                   std::int32_t target, bool ellipsoid, std::int32_t target_frame,
                                                   Correction correction, std::int32_t observer, EpochView ets,
                                                   std::uint8_t* out, unsigned threads = 0);

}  // namespace kernwerk
