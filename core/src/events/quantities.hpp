// The quantities of event searches that need only states, computed from
// apparent states (geometry/apparent.hpp) in batches, as the toolkit's
// geometry finder defines them:
//   * distance (gfdist): |p|, p the apparent position of the target seen
//     from the observer; derivative p.v / |p|;
//   * range rate (gfrr): p.v / |p|; its derivative by the central difference
//     of the range rate over +/- kRangeRateDt seconds (both without the
//     stellar aberration of a correction, which turns p without changing
//     its length);
//   * a coordinate of p in a frame (gfposc), with the derivative of the
//     coordinate from the velocity (the chain rule; for geodetic latitude
//     and altitude through the meridian radius of curvature M:
//     d lat = (cos lat dz - sin lat d rho) / (M + alt),
//     d alt = cos lat d rho + sin lat dz);
//   * angular separation of two targets seen from an observer (gfsep): the
//     angle between their apparent positions, less, for a target taken as a
//     sphere, its angular radius asin(r / |p|) with r the largest of its
//     BODY<code>_RADII; derivative from the velocities.
//   * phase angle (gfpa): the angle at the target between the directions to
//     the observer and to the illuminator; the target as the observer sees
//     it (at et - lt with a light-time correction), the illuminator as the
//     target sees it at that epoch, with the same correction; derivative
//     from the velocities, the illuminator's scaled by 1 - d lt / d et.
//   * elevation and azimuth of a target from a site (risings, settings,
//     transits: gfposc's LATITUDE in the site's topocentric frame), from the
//     site's azimuth-elevation batches (geometry/apparent.hpp), whose
//     elevation and azimuth rates are the derivatives;
//   * the difference of the longitudes of two targets seen from an observer
//     in a frame (lunar phases and oppositions in ecliptic longitude),
//     reduced modulo a period into [-period / 2, period / 2) so that every
//     multiple of the period is a crossing of 0; derivative the difference
//     of the longitude rates.
// Every quantity asks for states in J2000 except coordinates, which ask in
// their frame.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "events/search.hpp"
#include "geometry/apparent.hpp"
#include "geometry/surface.hpp"

namespace kernwerk::events {

inline constexpr double kRangeRateDt = 1.0;

enum class CoordinateSystem : std::uint8_t { Rectangular, Latitudinal, RaDec, Spherical, Cylindrical, Geodetic,
                                             Planetographic };
enum class Coordinate : std::uint8_t { X, Y, Z, Radius, Longitude, Latitude, Range, RightAscension, Declination,
                                       Colatitude, Altitude };

// The toolkit's names ("RECTANGULAR", "RA/DEC", "RIGHT ASCENSION", ...; case
// and blanks around ignored). The error lists what the system accepts.
std::expected<CoordinateSystem, std::string> parse_coordinate_system(std::string_view text);
std::expected<Coordinate, std::string> parse_coordinate(CoordinateSystem system, std::string_view text);

struct PositionQuery {
    Endpoint target, observer;
    std::int32_t frame = 1;  // J2000
    Correction correction = Correction::None;
};

// The snapshot must outlive the quantity.
std::unique_ptr<Quantity> distance_quantity(const KernelSnapshot& snap, const PositionQuery& q);
std::unique_ptr<Quantity> range_rate_quantity(const KernelSnapshot& snap, const PositionQuery& q);
// GEODETIC and PLANETOGRAPHIC coordinates are on the ellipsoid of the
// frame's center (BODY<center>_RADII: equatorial radius the first, polar the
// third), planetographic longitude positive west or east as
// longitude_positive_west decides; an error names what is missing.
std::expected<std::unique_ptr<Quantity>, KernelSetError> coordinate_quantity(const KernelSnapshot& snap,
                                                                            const PositionQuery& q,
                                                                            CoordinateSystem system,
                                                                            Coordinate coordinate);

// A target of a separation: its body and, for a sphere, its radius (km).
struct SeparationTarget {
    Endpoint body;
    double radius = 0;  // 0: a point
};
std::unique_ptr<Quantity> separation_quantity(const KernelSnapshot& snap, const SeparationTarget& t1,
                                              const SeparationTarget& t2, const Endpoint& observer,
                                              Correction correction);

// Reception corrections only (NONE, LT, LT+S, CN, CN+S; checked by the caller).
std::unique_ptr<Quantity> phase_angle_quantity(const KernelSnapshot& snap, const Endpoint& target,
                                               const Endpoint& illuminator, const Endpoint& observer,
                                               Correction correction);

// A target seen from a site: `frame` is the site's own frame at et (ITRF93,
// 13000, for a site on the Earth; its body's frame for a site elsewhere; a
// station's topocentric frame) and `local` rotates it into east-north-up.
struct ElevationQuery {
    Endpoint target, site;
    std::int32_t frame = 13000;
    Mat3 local{};
    Correction correction = Correction::None;
};
// Elevation (radians above the horizon), or with `azimuth` the azimuth
// (radians from north toward east, [0, 2 pi), an angle that wraps).
std::unique_ptr<Quantity> elevation_quantity(const KernelSnapshot& snap, const ElevationQuery& q, bool azimuth);

// lon(t1) - lon(t2) seen from `observer` in `frame` (latitudinal longitudes
// of the apparent positions), reduced into [-period / 2, period / 2).
std::unique_ptr<Quantity> longitude_difference_quantity(const KernelSnapshot& snap, const Endpoint& t1,
                                                        const Endpoint& t2, const Endpoint& observer,
                                                        std::int32_t frame, Correction correction, double period);

// An illumination angle (gfilum) at a surface point fixed on the target
// (body-fixed, km): 0 the phase, 1 the incidence, 2 the emission angle
// (radians), as illumination_batch gives them; the derivative by the
// central difference over +/- kIlluminationDt seconds (the surface
// geometry gives no rates).
inline constexpr double kIlluminationDt = 1.0;
std::unique_ptr<Quantity> illumination_quantity(const KernelSnapshot& snap, const IlluminationQuery& q,
                                                const Vec3& point, int angle);

// An error when `a` and `b` are the same body or the same site: the
// quantity between them is undefined.
std::optional<std::string> check_distinct(const Endpoint& a, const Endpoint& b, const char* a_name,
                                          const char* b_name);

// The radius of `body` as a sphere: the largest of BODY<code>_RADII, or an
// error naming the variable.
std::expected<double, KernelSetError> sphere_radius(const KernelSnapshot& snap, std::int32_t body);

}  // namespace kernwerk::events
