#include "geometry/geodetic.hpp"

#include <cmath>
#include <numbers>

#include "base/common.hpp"

namespace kernwerk {

namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

}  // namespace

std::string check_ellipsoid(const Ellipsoid& e) {
    if (!(std::isfinite(e.a) && e.a > 0))
        return "the ellipsoid's equatorial radius must be finite and positive, not " + format_double(e.a) + " km";
    if (!(std::isfinite(e.f) && e.f >= 0 && e.f < 1))
        return "the ellipsoid's flattening must lie in [0, 1), not " + format_double(e.f);
    return {};
}

std::expected<Vec3, std::string> geodetic_to_rectangular(double lat_deg, double lon_deg, double height_km,
                                                         const Ellipsoid& e) {
    if (auto m = check_ellipsoid(e); !m.empty()) return std::unexpected(std::move(m));
    if (!std::isfinite(lat_deg)) return std::unexpected("latitude must be finite, not " + format_double(lat_deg));
    if (lat_deg < -90.0 || lat_deg > 90.0)
        return std::unexpected("latitude must lie in [-90, 90] degrees, not " + format_double(lat_deg));
    if (!std::isfinite(lon_deg)) return std::unexpected("longitude must be finite, not " + format_double(lon_deg));
    if (!std::isfinite(height_km)) return std::unexpected("height must be finite, not " + format_double(height_km));
    // The poles exactly: sin and cos of 90 degrees in radians are not 1 and 0.
    double slat, clat, slon, clon;
    if (lat_deg == 90.0 || lat_deg == -90.0) {
        slat = lat_deg > 0 ? 1.0 : -1.0;
        clat = 0.0;
    } else {
        ::sincos(lat_deg * kDeg, &slat, &clat);
    }
    ::sincos(std::fmod(lon_deg, 360.0) * kDeg, &slon, &clon);
    const double e2 = e.f * (2.0 - e.f);
    const double n = e.a / std::sqrt(1.0 - e2 * slat * slat);  // prime-vertical radius of curvature
    const double rho = (n + height_km) * clat;
    return Vec3{rho * clon, rho * slon, (n * (1.0 - e2) + height_km) * slat};
}

std::expected<Geodetic, std::string> rectangular_to_geodetic(const Vec3& p, const Ellipsoid& e) {
    if (auto m = check_ellipsoid(e); !m.empty()) return std::unexpected(std::move(m));
    for (double c : p)
        if (!std::isfinite(c))
            return std::unexpected("an Earth-fixed position must be finite, not (" + format_double(p[0]) + ", " +
                                   format_double(p[1]) + ", " + format_double(p[2]) + ") km");
    const double e2 = e.f * (2.0 - e.f);
    const double rho = std::hypot(p[0], p[1]);
    const double z = p[2];
    // Fixed point of tan(lat) = (z + e2 N(lat) sin(lat)) / rho: the normal
    // through the point meets the z axis at -e2 N sin(lat). Each step gains
    // about a factor e2 (1/150 on the Earth) anywhere outside the center.
    double lat = std::atan2(z, rho * (1.0 - e2));
    double s = std::sin(lat), n = e.a / std::sqrt(1.0 - e2 * s * s);
    for (int i = 0; i < 40; ++i) {
        const double next = std::atan2(z + e2 * n * s, rho);
        const bool same = next == lat;
        lat = next;
        s = std::sin(lat);
        n = e.a / std::sqrt(1.0 - e2 * s * s);
        if (same) break;
    }
    const double c = std::cos(lat);
    // Along the normal: rho cos + (z + e2 N sin) sin - N, free of the
    // division by cos(lat) that fails at the poles.
    const double h = rho * c + (z + e2 * n * s) * s - n;
    const double lon = (p[0] == 0.0 && p[1] == 0.0) ? 0.0 : std::atan2(p[1], p[0]);
    return Geodetic{lat, lon, h};
}

Mat3 enu_rotation(double lat, double lon) noexcept {
    double sl, cl, so, co;
    ::sincos(lat, &sl, &cl);
    ::sincos(lon, &so, &co);
    return Mat3{{{-so, co, 0.0}, {-sl * co, -sl * so, cl}, {cl * co, cl * so, sl}}};
}

}  // namespace kernwerk
