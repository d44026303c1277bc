// Dynamic frames (class 5) as frame kernels define them with
// FRAME_<id>_DEF_STYLE = 'PARAMETERIZED' and a FRAME_<id>_FAMILY:
//   * MEAN_EQUATOR_AND_EQUINOX_OF_DATE, MEAN_ECLIPTIC_AND_EQUINOX_OF_DATE,
//     TRUE_EQUATOR_AND_EQUINOX_OF_DATE: the Earth's frames of date
//     (PREC_MODEL 'EARTH_IAU_1976', NUT_MODEL and OBLIQ_MODEL
//     'EARTH_IAU_1980'; math/precession.hpp), oriented from J2000;
//   * EULER: three angles about AXES, each a polynomial (ANGLE_<n>_COEFFS,
//     in UNITS per second^k) in TDB seconds past EPOCH; the rotation from
//     the frame to its RELATIVE frame is R_a1(angle 1) R_a2(angle 2)
//     R_a3(angle 3) (frame rotations);
//   * TWO-VECTOR: a primary vector along PRI_AXIS and a secondary vector in
//     the half-plane of SEC_AXIS, each OBSERVER_TARGET_POSITION,
//     OBSERVER_TARGET_VELOCITY (the velocity as seen in <vec>_FRAME) or
//     CONSTANT (in <vec>_FRAME, SPEC RECTANGULAR, LATITUDINAL or RA/DEC), or
//     TARGET_NEAR_POINT (from the observer to the nearest point of the
//     target's ellipsoid, BODY<id>_RADII, in the target's body-fixed frame).
//     Corrections, as the toolkit applies them (found by experiment):
//     a near point is that of the target at its corrected state (ABCORR, any
//     of spkezr's), its body-fixed frame evaluated at et -/+ lt, lt the
//     light time of that state; a constant vector takes either a light time
//     (LT, CN, XLT, XCN: its frame evaluated at et -/+ lt, lt from OBSERVER to
//     the frame's centre) or stellar aberration (S, XS: the direction
//     aberrated for OBSERVER's velocity relative to the solar system
//     barycenter), not both.
// ROTATION_STATE = 'INERTIAL' keeps the orientation and drops the rate
// relative to the RELATIVE frame; FREEZE_EPOCH evaluates the frame at that
// epoch, also without a rate.
//
// The orientation of a frame does not depend on the RELATIVE frame used to
// compute it, so the of-date and two-vector families are computed from
// J2000 (their node's parent); Euler frames turn relative to RELATIVE.
// States of bodies come from a BodyStateSource that kernel sets implement
// (the frames layer knows no segments); the source is reached through the
// PckOrientationSource that every frame evaluation already receives.
//
// Rates: exact for the frames of date, Euler frames and position, constant
// and near-point vectors (the near point's rate by implicit differentiation
// of its defining equation) (position vectors are differentiated with the states'
// velocities). A light-time corrected epoch et -/+ lt moves at 1 -/+ dlt/dt
// (dlt/dt the range rate over c), which the toolkit's rates leave out
// (1.6e-6 relative for the Sun seen from the Earth). Stellar aberration of a
// constant vector turns with the observer's acceleration, the central
// difference of its velocity over +/- 1 s, as spkezr's does. A velocity vector needs the acceleration of the target
// relative to the observer, which the kernels do not hold: it is the
// derivative of the velocity by a fourth-order central difference whose
// step is 1.5e-3 of the motion's time scale (|p| / |v| in an inertial
// frame, |v| / |a| from a first difference in a turning one), where
// truncation and rounding both stay near 1e-13 of the acceleration. Where
// the stencil spans the end of an ephemeris record it differs from the
// record's own second derivative by up to 2e-10 of the acceleration (DE440,
// Sun from the Earth); GSE's rate stays within 1.4e-11 of the rate from that
// derivative, where the toolkit's is up to 5e-10 off. The acceleration from
// the segments would need a second derivative of every SPK type along the
// chain; not done.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frames/frames.hpp"
#include "math/precession.hpp"

namespace kernwerk {

// The aberration corrections a two-vector frame may name (the toolkit's
// spkezr set).
enum class VectorCorrection : std::uint8_t { None, Lt, LtS, Cn, CnS, Xlt, XltS, Xcn, XcnS };

// States of bodies for two-vector frames: target relative to observer in
// J2000 at `et`, with a correction.
class BodyStateSource {
public:
    virtual ~BodyStateSource() = default;
    virtual std::expected<State, FrameError> state(std::int32_t target, std::int32_t observer, double et,
                                                   VectorCorrection correction) const = 0;
    // The same at ets[0..n) into out[0..n); by default state() at each.
    virtual std::expected<void, FrameError> states(std::int32_t target, std::int32_t observer, const double* ets,
                                                   std::size_t n, State* out, VectorCorrection correction) const {
        for (std::size_t i = 0; i < n; ++i) {
            auto s = state(target, observer, ets[i], correction);
            if (!s) return std::unexpected(std::move(s.error()));
            out[i] = *s;
        }
        return {};
    }
};

struct DynamicVector {
    enum class Kind : std::uint8_t { Position, Velocity, Constant, NearPoint };
    Kind kind = Kind::Position;
    int axis = 0;           // 0, 1, 2 for X, Y, Z
    bool negative = false;  // -X, -Y, -Z
    std::int32_t observer = 0, target = 0;
    VectorCorrection correction = VectorCorrection::None;
    std::array<double, 3> constant{};  // Constant: the unit vector in `frame`
    // Constant: stellar aberration for the observer's velocity (ABCORR 'S',
    // or 'XS' when `transmission`); a light-time correction is `correction`.
    bool stellar = false, transmission = false;
    std::int32_t center = 0;  // Constant: the centre of `frame`
    std::array<double, 3> radii{};     // NearPoint: the target's ellipsoid (BODY<id>_RADII)
    std::int32_t frame = 1;            // Velocity, Constant: the frame of the vector; NearPoint: the target's
    FramePath path;                    // J2000 -> frame, planned with the catalog
    bool frame_inertial = true;        // the path turns nothing (no rotation rate)
};

struct DynamicFrame {
    enum class Family : std::uint8_t { OfDate, Euler, TwoVector };
    Family family = Family::OfDate;
    EarthOfDate of_date = EarthOfDate::MeanEquator;
    bool inertial = false;         // ROTATION_STATE = 'INERTIAL'
    std::optional<double> freeze;  // FREEZE_EPOCH
    // Euler
    double epoch = 0;
    std::array<int, 3> axes{3, 1, 3};
    std::array<std::vector<double>, 3> coeffs;  // radians per second^k
    // Two-vector
    DynamicVector primary, secondary;
    double sep_tol = 1e-3;  // radians
    // The frames the definition names: keyword and value (name or code),
    // resolved into codes once the catalog knows every frame.
    struct Ref {
        std::string keyword;
        std::string value;
        std::int32_t code = 0;
    };
    std::vector<Ref> refs;  // refs[0] is RELATIVE
    std::string name;       // the frame's name, for messages
};

// The definition of dynamic frame `code` (named `name`) from the pool, or
// the message naming the keyword that is missing or wrong.
std::expected<std::shared_ptr<DynamicFrame>, std::string> dynamic_definition(const KernelPool& pool,
                                                                             std::int32_t code,
                                                                             const std::string& name);

// The transform from the node's parent into the dynamic frame at `et`.
bool evaluate_dynamic(const FrameNode& node, const PckOrientationSource* source, double et, bool rates,
                      RotationRate& out, std::optional<FrameError>& err);

}  // namespace kernwerk
