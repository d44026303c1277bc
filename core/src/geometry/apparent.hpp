// Apparent states: light time and stellar aberration, for bodies of a kernel
// set and for points fixed on the Earth.
//
// Corrections, as the NAIF toolkit names them (spkezr, spkcpo, spkcpt):
//   NONE            geometric state at et;
//   LT, CN          reception: the target at et - lt, lt the one-way light
//                   time to the observer at et; LT takes one step of the
//                   light-time equation from the geometric distance, CN
//                   iterates it (at most kConvergedSteps steps, stopping
//                   once lt changes by less than 1e-17 |et|, as the toolkit
//                   does);
//   XLT, XCN        transmission: the target at et + lt;
//   +S              stellar aberration of the observer's velocity relative
//                   to the solar-system barycenter (reversed in direction for
//                   transmission).
// Algorithm, for observer O and target T, states relative to the
// barycenter in J2000:
//   1. O's state at et; p = T(et) - O(et), lt = |p| / c;
//   2. light time: p = T(et -/+ lt) - O(et), lt = |p| / c, once or until it
//      repeats; the velocity is d p / d et with the light-time rate:
//        v = V_T (1 -/+ dlt) - V_O,  dlt = u.(V_T - V_O) / (c +/- u.V_T),
//      u = p / |p| (upper signs reception);
//   3. stellar aberration: p rotated toward w = +/-V_O / c by the angle phi
//      with sin(phi) = |u x w| (the first-order correction of the toolkit's
//      stelab, stlabx for transmission); the velocity gains the exact time
//      derivative of that correction, with the observer's acceleration from
//      the central difference of its velocity at et -/+ 1 s.
// c = 299792.458 km/s. The light time returned is |p| / c of the light-time
// corrected position (before aberration).
//
// Output frames: J2000 and ECLIPJ2000 (a fixed rotation), or ITRF93. In
// ITRF93 the transform is taken at the epoch at which the Earth's center is
// seen from a body observer (et -/+ its light time, and the rotation rate
// scaled by 1 -/+ its rate, as spkezr evaluates a frame centered on another
// body), and at et for an observer fixed on the Earth (its own frame at the
// instant of observation, as spkcpo with the observer as reference location,
// and azlcpo).
//
// A site (a point r fixed in ITRF93 relative to the Earth's center, 399) has
// the state E(t) + X(t)^-1 [r, 0] at epoch t, E the Earth's state and X the
// J2000 -> ITRF93 transform of the loaded Earth orientation; as a target it
// is evaluated at the light-time corrected epoch like any body. A site fixed
// in another body's frame F relative to body C is C(t) + X(t)^-1 [r, 0] with
// X the J2000 -> F transform of the frame system; an observer site takes a
// frame that turns at et, as it takes ITRF93.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "geometry/geodetic.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk {

inline constexpr double kSpeedOfLight = 299792.458;  // km/s

enum class Correction : std::uint8_t { None, Lt, LtS, Cn, CnS, Xlt, XltS, Xcn, XcnS };

// At most this many steps of the light-time equation for CN and XCN.
inline constexpr int kConvergedSteps = 5;

struct CorrectionFlags {
    bool light_time = false, converged = false, stellar = false, transmission = false;
};
CorrectionFlags correction_flags(Correction c) noexcept;

// "LT+S", "xcn", " lt + s " ...: case is ignored and so are blanks, as the
// toolkit reads them. Nothing for any other string.
std::optional<Correction> parse_correction(std::string_view text) noexcept;
const char* correction_name(Correction c) noexcept;
// "NONE, LT, LT+S, CN, CN+S, XLT, XLT+S, XCN, XCN+S".
const char* accepted_corrections() noexcept;

// One end of a query: a body of the kernel set (a NAIF code) or a site, a
// point fixed in a body's frame relative to the body's center (km): in
// ITRF93 relative to the Earth's center unless said otherwise, or in any
// frame the set can evaluate (IAU_MARS relative to Mars, MOON_ME relative
// to the Moon, ...).
struct Endpoint {
    bool is_site = false;
    std::int32_t body = 0;
    Vec3 site{};
    std::int32_t center = 399;   // site: the body whose center it is fixed to
    std::int32_t frame = 13000;  // site: the frame its position is fixed in

    static Endpoint of_body(std::int32_t code) noexcept { return Endpoint{false, code, {}}; }
    static Endpoint of_site(const Vec3& r) noexcept { return Endpoint{true, 0, r}; }
    static Endpoint of_site(const Vec3& r, std::int32_t center, std::int32_t frame) noexcept {
        return Endpoint{true, 0, r, center, frame};
    }
    // A site fixed in ITRF93 on the Earth: the Earth orientation path of its
    // own, whose results are pinned bit for bit.
    bool earth_site() const noexcept { return is_site && center == 399 && frame == 13000; }
};

struct ApparentQuery {
    Endpoint target, observer;
    OutputFrame frame = OutputFrame::J2000;
    Correction correction = Correction::None;
};

// A finite site position, or an error naming it.
std::expected<void, KernelSetError> check_query(const ApparentQuery& q);

// States (6 doubles per epoch) into `states` and one-way light times (s)
// into `light_times` (may be null), over `threads` threads as state_batch
// splits its batches; the results do not depend on the thread count. The
// epoch of lowest index that fails is reported.
std::expected<void, BatchFailure> apparent_batch(const KernelSnapshot& snap, const ApparentQuery& q, EpochView ets,
                                                 double* states, double* light_times, unsigned threads = 0);

// The positions of apparent_batch's states in J2000 (3 doubles per epoch),
// bit for bit, and their light times (may be null), without the velocities:
// no light-time rates, and under +S no observer acceleration (which costs
// apparent_batch two more observer states per epoch). Labels and failures
// as apparent_batch's.
std::expected<void, BatchFailure> apparent_positions_batch(const KernelSnapshot& snap, const Endpoint& target,
                                                           const Endpoint& observer, Correction correction,
                                                           EpochView ets, double* positions, double* light_times,
                                                           unsigned threads = 0);

std::expected<std::pair<State, double>, KernelSetError> apparent_state(const KernelSnapshot& snap,
                                                                       const ApparentQuery& q, double et);

// Azimuth and elevation of `target` from a site in the site's east-north-up
// frame (`enu` from enu_rotation at its geodetic latitude and longitude),
// from the site's apparent state of the target in ITRF93 at et. Six doubles
// per epoch: azimuth (radians in [0, 2 pi), from north toward east),
// elevation (radians, positive above the horizon), range (km), and their
// rates (rad/s, rad/s, km/s); the azimuth and its rate are 0 and NaN at the
// zenith and nadir. Light times as apparent_batch.
std::expected<void, BatchFailure> azel_batch(const KernelSnapshot& snap, const Endpoint& target, const Vec3& site,
                                             const Mat3& enu, Correction correction, EpochView ets, double* out,
                                             double* light_times, unsigned threads = 0);

// The same from any observer: a site on any body, or a body (a station of a
// station kernel), with the apparent state taken in `frame` at et (the
// observer's own frame at the instant of observation, whatever its centre)
// and `local` rotating that frame's components into east, north and up: the
// east-north-up rotation of the site's planetodetic latitude and longitude
// on its body's ellipsoid, or a permutation for a topocentric frame.
std::expected<void, BatchFailure> azel_batch(const KernelSnapshot& snap, const Endpoint& target,
                                             const Endpoint& observer, std::int32_t frame, const Mat3& local,
                                             Correction correction, EpochView ets, double* out, double* light_times,
                                             unsigned threads = 0);

// The rotation from a topocentric frame as the toolkit's station kernels
// define them (x toward north, y toward west, z up) into east-north-up.
inline constexpr Mat3 kTopocentricToEnu{{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}};

}  // namespace kernwerk
