// Body-fixed coordinates: planetocentric (radius, longitude, latitude),
// planetodetic (longitude, latitude, altitude on a spheroid) and
// planetographic (planetodetic with the body's longitude sense), one point
// or whole arrays of points.
//
// What the conversions rely on:
//   * angles in radians; lengths in any one unit (the spheroid's);
//   * the spheroid is one of revolution about z: equatorial radius re > 0 and
//     flattening f = (re - rp) / re < 1, rp the polar radius (f < 0 is a
//     prolate spheroid, f = 0 a sphere);
//   * longitudes from atan2(y, x), in [-pi, pi], and 0 on the z axis;
//     planetographic longitudes in [0, 2 pi), positive west or east as asked;
//   * planetodetic latitude is that of the spheroid's outward normal at the
//     point of the surface nearest the point, and altitude the signed distance
//     to it, negative inside. Where the nearest point is not unique (inside,
//     on the axis of symmetry or in the equatorial plane) the one with z >= 0
//     is taken; the center of an oblate spheroid is below its north pole, of
//     a sphere below the point of longitude and latitude 0;
//   * the nearest point is the root of a monotone convex function of one
//     variable, bracketed by the radial projections of the point, found by
//     Newton steps from the left of the root (which never overshoot) with
//     bisection whenever a step leaves more than a quarter of the function;
//     coordinates are scaled by a power of two (exactly) so that points from
//     subnormal to near-overflow distances lose nothing;
//   * NaN in gives NaN out; nothing here allocates or fails once the spheroid
//     is checked (check_spheroid).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace kernwerk {

struct Spheroid {
    double re = 0;  // equatorial radius
    double f = 0;   // flattening
};

// An empty string when re is finite and positive and f finite and below 1;
// otherwise what is wrong, naming the value.
std::string check_spheroid(const Spheroid& s);

struct Spherical {
    double radius = 0, lon = 0, lat = 0;
};
struct Planetodetic {
    double lon = 0, lat = 0, alt = 0;
};

using Point3 = std::array<double, 3>;

Spherical rectangular_to_latitudinal(const Point3& p) noexcept;
Point3 latitudinal_to_rectangular(double radius, double lon, double lat) noexcept;
// `s` must pass check_spheroid.
Planetodetic rectangular_to_planetodetic(const Point3& p, const Spheroid& s) noexcept;
Point3 planetodetic_to_rectangular(double lon, double lat, double alt, const Spheroid& s) noexcept;
// Planetographic longitude from planetodetic longitude and back.
double planetographic_lon(double planetodetic_lon, bool positive_west) noexcept;
inline double planetodetic_lon(double planetographic_lon, bool positive_west) noexcept {
    return positive_west ? -planetographic_lon : planetographic_lon;
}

// Batches over n points: `xyz` holds rows of three doubles; each coordinate
// goes to its own array of n. Results are the single-point functions', bit
// for bit; batches of 16384 points or more are split over every usable core.
void rectangular_to_latitudinal(const double* xyz, std::size_t n, double* radius, double* lon, double* lat) noexcept;
void latitudinal_to_rectangular(const double* radius, const double* lon, const double* lat, std::size_t n,
                                double* xyz) noexcept;
void rectangular_to_planetodetic(const double* xyz, std::size_t n, const Spheroid& s, double* lon, double* lat,
                                 double* alt) noexcept;
void planetodetic_to_rectangular(const double* lon, const double* lat, const double* alt, std::size_t n,
                                 const Spheroid& s, double* xyz) noexcept;
// Planetographic: the planetodetic batches with longitudes converted
// (planetodetic ones without a sense).
void rectangular_to_planetographic(const double* xyz, std::size_t n, const Spheroid& s,
                                   std::optional<bool> positive_west, double* lon, double* lat, double* alt) noexcept;
void planetographic_to_rectangular(const double* lon, const double* lat, const double* alt, std::size_t n,
                                   const Spheroid& s, std::optional<bool> positive_west, double* xyz) noexcept;

}  // namespace kernwerk
