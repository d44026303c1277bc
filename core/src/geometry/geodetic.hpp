// Points fixed on the Earth: geodetic coordinates on a reference ellipsoid,
// positions in the Earth-fixed frame (ITRF93, km) and the local
// east-north-up frame.
//
// The ellipsoid is one of revolution about the z axis: equatorial radius `a`
// (km) and flattening f = (a - b) / a, b the polar radius. WGS84 is the
// default: a = 6378.137 km, f = 1 / 298.257223563 (b = 6356.752314245179 km).
// Geodetic latitude is the angle between the equator and the ellipsoid's
// normal through the point; longitude is positive east of the x axis (the
// prime meridian); height is measured along that normal.
#pragma once

#include <array>
#include <expected>
#include <string>

#include "math/rotation.hpp"

namespace kernwerk {

struct Ellipsoid {
    double a = 6378.137;              // equatorial radius, km
    double f = 1.0 / 298.257223563;   // flattening
};

inline constexpr Ellipsoid kWgs84{};

// Geodetic coordinates: radians and km.
struct Geodetic {
    double lat = 0, lon = 0, height = 0;
};

using Vec3 = std::array<double, 3>;

// A message naming what is wrong with `e` (a finite and positive, f finite
// in [0, 1)), or an empty string.
std::string check_ellipsoid(const Ellipsoid& e);

// The Earth-fixed position of geodetic latitude and longitude (degrees) and
// height (km). Fails, naming the value, for a latitude outside [-90, 90], a
// non-finite value or a bad ellipsoid. Longitudes of any finite size are
// accepted (they wrap).
std::expected<Vec3, std::string> geodetic_to_rectangular(double lat_deg, double lon_deg, double height_km,
                                                         const Ellipsoid& e = kWgs84);

// The geodetic coordinates (radians, km) of an Earth-fixed position: the
// inverse of the above to within a few 1e-16 rad and 1e-12 km, anywhere
// outside a sphere of 50 km about the center. Longitude in (-pi, pi], 0 on
// the z axis. Fails for a non-finite position or a bad ellipsoid.
std::expected<Geodetic, std::string> rectangular_to_geodetic(const Vec3& p, const Ellipsoid& e = kWgs84);

// The rotation from the Earth-fixed frame into the local east-north-up frame
// at geodetic latitude and longitude (radians): its rows are the unit
// vectors east, north and up (the ellipsoid's outward normal).
Mat3 enu_rotation(double lat, double lon) noexcept;

}  // namespace kernwerk
