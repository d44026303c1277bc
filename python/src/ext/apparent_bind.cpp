// Bindings of apparent states, sites and azimuth/elevation, as functions of
// an `_ext.KernelSet` (use kernwerk.Kernels and kernwerk.Site).
//
// An endpoint (target or observer) is an int, a NAIF body code, or a
// sequence of three floats, a site's ITRF93 position in km. Epoch arrays are
// read in place through their stride and results written into arrays the
// caller allocated; batches run without the interpreter lock on a snapshot
// of the set taken before it is released.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "geometry/apparent.hpp"
#include "geometry/geodetic.hpp"

namespace kernwerk::ext {

namespace {

using Rows = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

constexpr double kDeg = 180.0 / std::numbers::pi;

Correction correction_of(const std::string& text) {
    auto c = parse_correction(text);
    if (!c)
        fail(ErrorKind::Value, "unknown aberration correction '" + text + "' (accepted: " + accepted_corrections() +
                                   "; case and blanks do not matter)");
    return *c;
}

Endpoint endpoint_of(nb::handle h, const char* what) {
    if (nb::isinstance<nb::int_>(h)) {
        long long v = nb::cast<long long>(h);
        if (v < INT32_MIN || v > INT32_MAX) fail(ErrorKind::BodyName, std::string(what) + " code out of range");
        return Endpoint::of_body(static_cast<std::int32_t>(v));
    }
    auto v = nb::cast<std::vector<double>>(h);
    if (v.size() == 3) return Endpoint::of_site(Vec3{v[0], v[1], v[2]});
    // [x, y, z, center, frame]: a site fixed in a body's frame.
    if (v.size() == 5) {
        for (double c : {v[3], v[4]})
            if (!(c >= INT32_MIN && c <= INT32_MAX) || c != std::floor(c))
                fail(ErrorKind::Value, std::string(what) + " site's center and frame must be NAIF codes");
        return Endpoint::of_site(Vec3{v[0], v[1], v[2]}, static_cast<std::int32_t>(v[3]),
                                 static_cast<std::int32_t>(v[4]));
    }
    fail(ErrorKind::Value, std::string(what) + " site must be [x, y, z] or [x, y, z, center, frame]");
}


Ellipsoid ellipsoid_of(double a, double f) {
    const Ellipsoid e{a, f};
    if (auto m = check_ellipsoid(e); !m.empty()) fail(ErrorKind::Value, m);
    return e;
}

void check_out(const Epochs& ets, const Rows& out, const Column& lts) {
    if (out.shape(0) != ets.shape(0) || out.shape(1) != 6)
        fail(ErrorKind::Value, "out must have shape (" + std::to_string(ets.shape(0)) + ", 6)");
    if (lts.shape(0) != ets.shape(0))
        fail(ErrorKind::Value, "light_times must have shape (" + std::to_string(ets.shape(0)) + ",)");
}

void apparent(nb::handle set, nb::handle target, nb::handle observer, std::int32_t frame,
              const std::string& correction, const Epochs& ets, Rows out, Column lts, unsigned threads,
              const std::vector<std::size_t>& shape) {
    const ApparentQuery q{endpoint_of(target, "target"), endpoint_of(observer, "observer"), frame_of(frame),
                          correction_of(correction)};
    check_out(ets, out, lts);
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        r = apparent_batch(*snap, q, view_of(ets), out.data(), lts.data(), threads);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

std::tuple<std::tuple<double, double, double, double, double, double>, double> apparent_one(
    nb::handle set, nb::handle target, nb::handle observer, std::int32_t frame, const std::string& correction,
    double et) {
    const ApparentQuery q{endpoint_of(target, "target"), endpoint_of(observer, "observer"), frame_of(frame),
                          correction_of(correction)};
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    auto r = apparent_state(*snap, q, et);
    check_unchanged(*snap);
    if (!r) raise(r.error());
    const State& s = r->first;
    return {{s[0], s[1], s[2], s[3], s[4], s[5]}, r->second};
}

void azel(nb::handle set, nb::handle target, nb::handle site, double lat, double lon,
          const std::string& correction, const Epochs& ets, Rows out, Column lts, unsigned threads,
          const std::vector<std::size_t>& shape, std::int32_t frame, bool topocentric) {
    const Endpoint t = endpoint_of(target, "target");
    const Endpoint s = endpoint_of(site, "observer");
    const Correction c = correction_of(correction);
    check_out(ets, out, lts);
    Mat3 local = kTopocentricToEnu;
    if (!topocentric) {
        if (!std::isfinite(lat) || !std::isfinite(lon))
            fail(ErrorKind::Value, "site latitude and longitude must be finite");
        local = enu_rotation(lat, lon);
    }
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        if (s.earth_site() && frame == 13000 && !topocentric)
            r = azel_batch(*snap, t, s.site, local, c, view_of(ets), out.data(), lts.data(), threads);
        else
            r = azel_batch(*snap, t, s, frame, local, c, view_of(ets), out.data(), lts.data(), threads);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

std::tuple<double, double, double> geodetic_to_itrf93(double lat, double lon, double height, double a, double f) {
    auto r = geodetic_to_rectangular(lat, lon, height, ellipsoid_of(a, f));
    if (!r) fail(ErrorKind::Value, r.error());
    return {(*r)[0], (*r)[1], (*r)[2]};
}

std::tuple<double, double, double> itrf93_to_geodetic(double x, double y, double z, double a, double f) {
    auto r = rectangular_to_geodetic(Vec3{x, y, z}, ellipsoid_of(a, f));
    if (!r) fail(ErrorKind::Value, r.error());
    return {r->lat * kDeg, r->lon * kDeg, r->height};
}

}  // namespace

void register_apparent(nb::module_& m) {
    m.def("apparent", &apparent, nb::arg("set"), nb::arg("target"), nb::arg("observer"), nb::arg("frame"),
          nb::arg("correction"), nb::arg("ets"), nb::arg("out"), nb::arg("light_times"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{},
          "Apparent states of `target` seen from `observer` (each a NAIF code or a site's ITRF93 [x, y, z] km) "
          "into `out` ((n, 6) float64) and one-way light times (s) into `light_times` ((n,) float64).");
    m.def("apparent_one", &apparent_one, nb::arg("set"), nb::arg("target"), nb::arg("observer"), nb::arg("frame"),
          nb::arg("correction"), nb::arg("et"), "One apparent state and its light time: ((x, y, z, vx, vy, vz), lt).");
    m.def("azel", &azel, nb::arg("set"), nb::arg("target"), nb::arg("site"), nb::arg("lat"), nb::arg("lon"),
          nb::arg("correction"), nb::arg("ets"), nb::arg("out"), nb::arg("light_times"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{}, nb::arg("frame") = 13000, nb::arg("topocentric") = false,
          "Azimuth (rad, from north toward east, [0, 2 pi)), elevation (rad), range (km) and their rates of "
          "`target` from `site` (an endpoint as `apparent` takes it: a site's position, or a station's NAIF "
          "code) in `frame` at et, with the east-north-up frame of planetodetic `lat`, `lon` (radians), or with "
          "`topocentric` that frame's x north, y west, z up; into `out` ((n, 6) float64), light times into "
          "`light_times`.");
    m.def("geodetic_to_itrf93", &geodetic_to_itrf93, nb::arg("lat"), nb::arg("lon"), nb::arg("height"), nb::arg("a"),
          nb::arg("f"), "Geodetic latitude, longitude (degrees) and height (km) on the ellipsoid (a km, flattening "
          "f) -> Earth-fixed (x, y, z) km.");
    m.def("itrf93_to_geodetic", &itrf93_to_geodetic, nb::arg("x"), nb::arg("y"), nb::arg("z"), nb::arg("a"),
          nb::arg("f"), "Earth-fixed (x, y, z) km -> geodetic latitude, longitude (degrees) and height (km).");
    m.def("parse_correction", [](const std::string& text) { return std::string(correction_name(correction_of(text))); },
          nb::arg("correction"), "The canonical name of an aberration correction (ValueError listing the accepted ones).");
}

}  // namespace kernwerk::ext
