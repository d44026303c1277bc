// Bindings of body-fixed coordinate conversions over arrays (use
// kernwerk.coordinates). Points come as C-contiguous (n, 3) float64 arrays
// and coordinates as three (n,) float64 arrays; results are written into
// arrays the caller allocated, without the interpreter lock.
#include "ext.hpp"

#include <nanobind/ndarray.h>

#include <string>

#include "math/coordinates.hpp"

namespace kernwerk::ext {

namespace {

using Points = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using PointsOut = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ValuesOut = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::size_t rows_of(const Points& xyz) {
    if (xyz.shape(1) != 3) fail(ErrorKind::Value, "points must have shape (n, 3)");
    return xyz.shape(0);
}

void check_column(std::size_t n, std::size_t got, const char* what) {
    if (got != n) fail(ErrorKind::Value, std::string(what) + " must have shape (" + std::to_string(n) + ",)");
}

void check_points_out(std::size_t n, const PointsOut& out) {
    if (out.shape(0) != n || out.shape(1) != 3)
        fail(ErrorKind::Value, "out must have shape (" + std::to_string(n) + ", 3)");
}

Spheroid spheroid_of(double re, double f) {
    const Spheroid s{re, f};
    if (auto m = check_spheroid(s); !m.empty()) fail(ErrorKind::Value, m);
    return s;
}

void reclat(const Points& xyz, ValuesOut radius, ValuesOut lon, ValuesOut lat) {
    const std::size_t n = rows_of(xyz);
    check_column(n, radius.shape(0), "radius");
    check_column(n, lon.shape(0), "lon");
    check_column(n, lat.shape(0), "lat");
    nb::gil_scoped_release release;
    rectangular_to_latitudinal(xyz.data(), n, radius.data(), lon.data(), lat.data());
}

void latrec(const Values& radius, const Values& lon, const Values& lat, PointsOut out) {
    const std::size_t n = radius.shape(0);
    check_column(n, lon.shape(0), "lon");
    check_column(n, lat.shape(0), "lat");
    check_points_out(n, out);
    nb::gil_scoped_release release;
    latitudinal_to_rectangular(radius.data(), lon.data(), lat.data(), n, out.data());
}

void recgeo(const Points& xyz, double re, double f, ValuesOut lon, ValuesOut lat, ValuesOut alt) {
    const Spheroid s = spheroid_of(re, f);
    const std::size_t n = rows_of(xyz);
    check_column(n, lon.shape(0), "lon");
    check_column(n, lat.shape(0), "lat");
    check_column(n, alt.shape(0), "alt");
    nb::gil_scoped_release release;
    rectangular_to_planetodetic(xyz.data(), n, s, lon.data(), lat.data(), alt.data());
}

void georec(const Values& lon, const Values& lat, const Values& alt, double re, double f, PointsOut out) {
    const Spheroid s = spheroid_of(re, f);
    const std::size_t n = lon.shape(0);
    check_column(n, lat.shape(0), "lat");
    check_column(n, alt.shape(0), "alt");
    check_points_out(n, out);
    nb::gil_scoped_release release;
    planetodetic_to_rectangular(lon.data(), lat.data(), alt.data(), n, s, out.data());
}

void recpgr(const Points& xyz, double re, double f, bool positive_west, ValuesOut lon, ValuesOut lat,
            ValuesOut alt) {
    const Spheroid s = spheroid_of(re, f);
    const std::size_t n = rows_of(xyz);
    check_column(n, lon.shape(0), "lon");
    check_column(n, lat.shape(0), "lat");
    check_column(n, alt.shape(0), "alt");
    nb::gil_scoped_release release;
    rectangular_to_planetographic(xyz.data(), n, s, positive_west, lon.data(), lat.data(), alt.data());
}

void pgrrec(const Values& lon, const Values& lat, const Values& alt, double re, double f, bool positive_west,
            PointsOut out) {
    const Spheroid s = spheroid_of(re, f);
    const std::size_t n = lon.shape(0);
    check_column(n, lat.shape(0), "lat");
    check_column(n, alt.shape(0), "alt");
    check_points_out(n, out);
    nb::gil_scoped_release release;
    planetographic_to_rectangular(lon.data(), lat.data(), alt.data(), n, s, positive_west, out.data());
}

}  // namespace

void register_coordinates(nb::module_& m) {
    m.def("coords_reclat", &reclat, nb::arg("xyz"), nb::arg("radius"), nb::arg("lon"), nb::arg("lat"),
          "Rectangular (n, 3) -> planetocentric radius, longitude, latitude (rad) into the (n,) arrays.");
    m.def("coords_latrec", &latrec, nb::arg("radius"), nb::arg("lon"), nb::arg("lat"), nb::arg("out"),
          "Planetocentric radius, longitude, latitude (rad), each (n,) -> rectangular into `out` (n, 3).");
    m.def("coords_recgeo", &recgeo, nb::arg("xyz"), nb::arg("re"), nb::arg("f"), nb::arg("lon"), nb::arg("lat"),
          nb::arg("alt"), "Rectangular (n, 3) -> planetodetic longitude, latitude (rad), altitude on the spheroid.");
    m.def("coords_georec", &georec, nb::arg("lon"), nb::arg("lat"), nb::arg("alt"), nb::arg("re"), nb::arg("f"),
          nb::arg("out"), "Planetodetic longitude, latitude (rad), altitude -> rectangular into `out` (n, 3).");
    m.def("coords_recpgr", &recpgr, nb::arg("xyz"), nb::arg("re"), nb::arg("f"), nb::arg("positive_west"),
          nb::arg("lon"), nb::arg("lat"), nb::arg("alt"),
          "Rectangular (n, 3) -> planetographic longitude ([0, 2 pi]), latitude (rad), altitude.");
    m.def("coords_pgrrec", &pgrrec, nb::arg("lon"), nb::arg("lat"), nb::arg("alt"), nb::arg("re"), nb::arg("f"),
          nb::arg("positive_west"), nb::arg("out"),
          "Planetographic longitude, latitude (rad), altitude -> rectangular into `out` (n, 3).");
}

}  // namespace kernwerk::ext
