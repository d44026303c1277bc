// Bindings of windows and event searches (use kernwerk.events). Windows
// cross as float64 arrays of shape (n, 2), C-contiguous (the package makes
// them so), and come back as new arrays; searches run without the
// interpreter lock on a snapshot of the set.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <vector>
#include <span>
#include <string>
#include <tuple>

#include "events/quantities.hpp"
#include "events/search.hpp"
#include "events/windows.hpp"
#include "geometry/geodetic.hpp"

namespace kernwerk::ext {

namespace {

using events::Interval;
using events::Window;
using WindowIn = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using WindowOut = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

static_assert(sizeof(Interval) == 2 * sizeof(double));

std::span<const Interval> intervals_of(const WindowIn& w, const char* what) {
    if (w.shape(1) != 2) fail(ErrorKind::Value, std::string(what) + " must have shape (n, 2)");
    return {reinterpret_cast<const Interval*>(w.data()), w.shape(0)};
}

std::span<const Interval> window_of(const WindowIn& w, const char* what) {
    auto s = intervals_of(w, what);
    if (auto m = events::check_window(s, what)) fail(ErrorKind::Value, *m);
    return s;
}

WindowOut to_array(Window&& w) {
    auto* held = new Window(std::move(w));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<Window*>(p); });
    return WindowOut(held->empty() ? nullptr : reinterpret_cast<double*>(held->data()), {held->size(), 2}, owner);
}

void check_finite(double x, const char* what) {
    if (!std::isfinite(x)) fail(ErrorKind::Value, std::string(what) + " must be finite");
}

Correction correction_arg(const std::string& text) {
    auto c = parse_correction(text);
    if (!c)
        fail(ErrorKind::Value, "unknown aberration correction '" + text + "' (accepted: " + accepted_corrections() +
                                   "; case and blanks do not matter)");
    return *c;
}

Endpoint body_arg(nb::handle h, const char* what) {
    if (nb::isinstance<nb::int_>(h)) return Endpoint::of_body(nb::cast<std::int32_t>(h));
    auto v = nb::cast<std::vector<double>>(h);
    if (v.size() != 3 && v.size() != 5)
        fail(ErrorKind::Value, std::string(what) + " site must be [x, y, z] or [x, y, z, center, frame]");
    const Vec3 r{v[0], v[1], v[2]};
    if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(r[2]))
        fail(ErrorKind::Value, std::string(what) + " site position must be finite");
    if (v.size() == 3) return Endpoint::of_site(r);
    // A site fixed in a body's frame: its center and frame as NAIF codes.
    for (double c : {v[3], v[4]})
        if (!(c >= INT32_MIN && c <= INT32_MAX) || c != std::floor(c))
            fail(ErrorKind::Value, std::string(what) + " site's center and frame must be NAIF codes");
    return Endpoint::of_site(r, static_cast<std::int32_t>(v[3]), static_cast<std::int32_t>(v[4]));
}

// One search: `kind` is "distance", "range_rate", "coordinate" (`system`,
// `coordinate`, `frame`), "separation" (`target2`, sphere radii `radius1`,
// `radius2`, 0 for points), "phase_angle" (`target2` the illuminator),
// "elevation" and "azimuth" (`observer` a site or station, `frame` its own
// frame, east-north-up from `site_lat`, `site_lon` (radians) or from the
// topocentric axes) or "longitude_difference" (`target2`, in `frame`,
// reduced modulo `period` radians).
WindowOut find(nb::handle set, const std::string& kind, nb::handle target, nb::handle observer,
               const std::string& correction, std::int32_t frame, const std::string& system,
               const std::string& coordinate, nb::handle target2, double radius1, double radius2,
               const WindowIn& confinement, const std::string& relation, double value, double adjust, double step,
               double tolerance, unsigned threads, double site_lat, double site_lon, bool topocentric,
               double period, const std::vector<double>& point, const std::vector<double>& radii,
               int angle) {
    auto rel = events::parse_relation(relation);
    if (!rel)
        fail(ErrorKind::Value, "unknown relation '" + relation + "' (accepted: " + events::kAcceptedRelations + ")");
    const events::SearchOptions options{*rel, value, adjust, step, tolerance, threads};
    const Correction c = correction_arg(correction);
    const Endpoint t = body_arg(target, "target"), o = body_arg(observer, "observer");
    auto snap = kernel_set_snapshot(set);
    std::unique_ptr<events::Quantity> q;
    const events::PositionQuery pq{t, o, frame, c};
    if (auto m = events::check_distinct(t, o, "target", "observer")) fail(ErrorKind::Value, *m);
    if (kind == "distance") {
        q = events::distance_quantity(*snap, pq);
    } else if (kind == "range_rate") {
        q = events::range_rate_quantity(*snap, pq);
    } else if (kind == "coordinate") {
        auto sys = events::parse_coordinate_system(system);
        if (!sys) fail(ErrorKind::Value, sys.error());
        auto co = events::parse_coordinate(*sys, coordinate);
        if (!co) fail(ErrorKind::Value, co.error());
        if (auto p = snap->frame_path(1, frame); !p) raise(p.error());
        auto made = events::coordinate_quantity(*snap, pq, *sys, *co);
        if (!made) raise(made.error());
        q = std::move(*made);
    } else if (kind == "separation") {
        const Endpoint t2 = body_arg(target2, "second target");
        if (auto m = events::check_distinct(t2, o, "second target", "observer")) fail(ErrorKind::Value, *m);
        q = events::separation_quantity(*snap, {t, radius1}, {t2, radius2}, o, c);
    } else if (kind == "phase_angle") {
        const Endpoint illum = body_arg(target2, "illuminator");
        if (auto m = events::check_distinct(t, illum, "target", "illuminator")) fail(ErrorKind::Value, *m);
        if (correction_flags(c).transmission)
            fail(ErrorKind::Value, "phase angle searches take reception corrections only (NONE, LT, LT+S, CN, CN+S), "
                                   "not " + correction);
        q = events::phase_angle_quantity(*snap, t, illum, o, c);
    } else if (kind == "elevation" || kind == "azimuth") {
        Mat3 local = kTopocentricToEnu;
        if (!topocentric) {
            if (!std::isfinite(site_lat) || !std::isfinite(site_lon))
                fail(ErrorKind::Value, "site latitude and longitude must be finite");
            local = enu_rotation(site_lat, site_lon);
        }
        if (auto p = snap->frame_path(1, frame); !p) raise(p.error());
        q = events::elevation_quantity(*snap, {t, o, frame, local, c}, kind == "azimuth");
    } else if (kind == "longitude_difference") {
        const Endpoint t2 = body_arg(target2, "second target");
        if (auto m = events::check_distinct(t2, o, "second target", "observer")) fail(ErrorKind::Value, *m);
        if (!(period > 0) || !std::isfinite(period)) fail(ErrorKind::Value, "period must be positive and finite");
        if (auto p = snap->frame_path(1, frame); !p) raise(p.error());
        q = events::longitude_difference_quantity(*snap, t, t2, o, frame, c, period);
    } else if (kind == "illumination") {
        if (t.is_site || o.is_site) fail(ErrorKind::Value, "the target and the observer must be bodies");
        const Endpoint source = body_arg(target2, "illumination source");
        if (source.is_site) fail(ErrorKind::Value, "the illumination source must be a body");
        if (point.size() != 3 || !std::isfinite(point[0]) || !std::isfinite(point[1]) || !std::isfinite(point[2]))
            fail(ErrorKind::Value, "the surface point must be three finite numbers (km)");
        const Triaxial shape = radii.size() == 3 ? Triaxial{radii[0], radii[1], radii[2]} : Triaxial{};
        if (!shape.valid()) fail(ErrorKind::Value, "the target's radii must be three positive numbers (km)");
        if (angle < 0 || angle > 2) fail(ErrorKind::Value, "unknown illumination angle");
        if (correction_flags(c).transmission)
            fail(ErrorKind::Value, "illumination angle searches take reception corrections only (NONE, LT, LT+S, CN, "
                                   "CN+S), not " + correction);
        if (auto p = snap->frame_path(1, frame); !p) raise(p.error());
        q = events::illumination_quantity(*snap, IlluminationQuery{SurfaceTarget{t.body, frame, shape}, o.body,
                                                                   source.body, c},
                                          Vec3{point[0], point[1], point[2]}, angle);
    } else {
        fail(ErrorKind::Value, "unknown quantity '" + kind + "' (accepted: distance, range_rate, coordinate, "
                               "separation, phase_angle, elevation, azimuth, longitude_difference, illumination)");
    }
    auto cnf = intervals_of(confinement, "confinement window");
    check_before(*snap);
    std::expected<Window, KernelSetError> r;
    {
        nb::gil_scoped_release release;
        r = events::search(*q, cnf, options);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error());
    return to_array(std::move(*r));
}

double sphere_radius(nb::handle set, std::int32_t body) {
    auto snap = kernel_set_snapshot(set);
    auto r = events::sphere_radius(*snap, body);
    if (!r) raise(r.error());
    return *r;
}

}  // namespace

void register_events(nb::module_& m) {
    m.def("window_normalize", [](const WindowIn& w) {
        auto s = intervals_of(w, "intervals");
        if (auto e = events::check_intervals(s, "intervals")) fail(ErrorKind::Value, *e);
        return to_array(events::normalize(Window(s.begin(), s.end())));
    }, nb::arg("intervals"), "The window covering (n, 2) intervals in any order.");
    m.def("window_check", [](const WindowIn& w, const std::string& what) { window_of(w, what.c_str()); },
          nb::arg("window"), nb::arg("what"), "ValueError unless `window` is sorted, disjoint and not inverted.");
    m.def("window_union", [](const WindowIn& a, const WindowIn& b) {
        return to_array(events::unite(window_of(a, "a"), window_of(b, "b")));
    }, nb::arg("a"), nb::arg("b"));
    m.def("window_intersect", [](const WindowIn& a, const WindowIn& b) {
        return to_array(events::intersect(window_of(a, "a"), window_of(b, "b")));
    }, nb::arg("a"), nb::arg("b"));
    m.def("window_difference", [](const WindowIn& a, const WindowIn& b) {
        return to_array(events::difference(window_of(a, "a"), window_of(b, "b")));
    }, nb::arg("a"), nb::arg("b"));
    m.def("window_complement", [](const WindowIn& w, double left, double right) {
        check_finite(left, "left");
        check_finite(right, "right");
        if (left > right) fail(ErrorKind::Value, "complement bounds are inverted: left > right");
        return to_array(events::complement(window_of(w, "window"), left, right));
    }, nb::arg("window"), nb::arg("left"), nb::arg("right"));
    m.def("window_expand", [](const WindowIn& w, double left, double right) {
        check_finite(left, "left");
        check_finite(right, "right");
        return to_array(events::expand(window_of(w, "window"), left, right));
    }, nb::arg("window"), nb::arg("left"), nb::arg("right"));
    m.def("window_contract", [](const WindowIn& w, double left, double right) {
        check_finite(left, "left");
        check_finite(right, "right");
        return to_array(events::contract(window_of(w, "window"), left, right));
    }, nb::arg("window"), nb::arg("left"), nb::arg("right"));
    m.def("window_filter", [](const WindowIn& w, double shortest) {
        if (std::isnan(shortest)) fail(ErrorKind::Value, "shortest must not be NaN");
        return to_array(events::filter(window_of(w, "window"), shortest));
    }, nb::arg("window"), nb::arg("shortest"));
    m.def("window_summary", [](const WindowIn& w) {
        auto s = events::summarize(window_of(w, "window"));
        return std::make_tuple(s.measure, s.average, s.stddev, s.shortest, s.longest);
    }, nb::arg("window"), "(measure, average, stddev, index of shortest, index of longest); -1 indices when empty.");
    m.def("find", &find, nb::arg("set"), nb::arg("kind"), nb::arg("target"), nb::arg("observer"),
          nb::arg("correction"), nb::arg("frame"), nb::arg("system"), nb::arg("coordinate"), nb::arg("target2").none(),
          nb::arg("radius1"), nb::arg("radius2"), nb::arg("confinement"), nb::arg("relation"), nb::arg("value"),
          nb::arg("adjust"), nb::arg("step"), nb::arg("tolerance"), nb::arg("threads"),
          nb::arg("site_lat") = 0.0, nb::arg("site_lon") = 0.0, nb::arg("topocentric") = false,
          nb::arg("period") = 0.0, nb::arg("point") = std::vector<double>{}, nb::arg("radii") = std::vector<double>{},
          nb::arg("angle") = 0,
          "The window in which a quantity satisfies a relation (see kernwerk.events).");
    m.def("sphere_radius", &sphere_radius, nb::arg("set"), nb::arg("body"),
          "The largest of BODY<body>_RADII (km).");
}

}  // namespace kernwerk::ext
