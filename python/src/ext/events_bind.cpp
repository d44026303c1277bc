// Bindings of windows and event searches (use kernwerk.events). Windows
// cross as float64 arrays of shape (n, 2), C-contiguous (the package makes
// them so), and come back as new arrays; searches run without the
// interpreter lock on a snapshot of the set.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cctype>
#include <cmath>
#include <exception>
#include <vector>
#include <span>
#include <string>
#include <tuple>

#include "events/conditions.hpp"
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

// The progress hook of a search: runs on the searching thread between
// chunks with the interpreter lock released, so it takes the lock only to
// check for signals (Ctrl-C) and to call the package's callable (None:
// signals only). Whatever either raises stops the search and is raised
// again once the search has returned.
struct ProgressState {
    nb::handle callable;
    std::exception_ptr error;
    static bool call(void* ctx, std::size_t done, std::size_t total) {
        auto* s = static_cast<ProgressState*>(ctx);
        nb::gil_scoped_acquire acquire;
        try {
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            if (!s->callable.is_none()) s->callable(done, total);
        } catch (...) {
            s->error = std::current_exception();
            return false;
        }
        return true;
    }
};

// Runs `search` (a callable taking the options) on the snapshot without the
// interpreter lock, with the progress hook, and returns its window.
template <class Search>
WindowOut run_search(const KernelSnapshot& snap, nb::handle progress, events::SearchOptions options,
                     const Search& search) {
    ProgressState state{progress};
    const events::Progress hook{&ProgressState::call, &state};
    options.progress = &hook;
    check_before(snap);
    std::expected<Window, KernelSetError> r;
    {
        nb::gil_scoped_release release;
        r = search(options);
    }
    if (state.error) std::rethrow_exception(state.error);
    check_unchanged(snap);
    if (!r) raise(r.error());
    return to_array(std::move(*r));
}

events::SearchOptions state_options(double step, double tolerance, unsigned threads) {
    return events::SearchOptions{events::Relation::Less, 0.0, 0.0, step, tolerance, threads};
}

OccultTarget occult_target(std::int32_t body, const std::string& shape, std::int32_t frame,
                           const std::vector<double>& radii, const char* what) {
    std::string k;
    for (char c : shape)
        if (!std::isspace(static_cast<unsigned char>(c))) k += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (k == "POINT") return OccultTarget{body, true, 0, Triaxial{}};
    if (k != "ELLIPSOID")
        fail(ErrorKind::Value, "unknown " + std::string(what) + " shape '" + shape +
                                   "' (accepted: ELLIPSOID, POINT; case does not matter)");
    if (radii.size() != 3) fail(ErrorKind::Value, std::string(what) + " radii must be 3 numbers");
    return OccultTarget{body, false, frame, Triaxial{radii[0], radii[1], radii[2]}};
}

// gfoclt: `back` occulted by `front` seen from `observer`.
WindowOut find_occultation(nb::handle set, const std::string& type, std::int32_t front, const std::string& front_shape,
                           std::int32_t front_frame, const std::vector<double>& front_radii, std::int32_t back,
                           const std::string& back_shape, std::int32_t back_frame,
                           const std::vector<double>& back_radii, std::int32_t observer, const std::string& correction,
                           const WindowIn& confinement, double step, double tolerance, unsigned threads,
                           nb::handle progress) {
    auto t = events::parse_occultation_type(type);
    if (!t)
        fail(ErrorKind::Value, "unknown occultation type '" + type + "' (accepted: " +
                                   events::kAcceptedOccultationTypes + ")");
    const OccultTarget f = occult_target(front, front_shape, front_frame, front_radii, "front target");
    const OccultTarget b = occult_target(back, back_shape, back_frame, back_radii, "back target");
    const Correction c = correction_arg(correction);
    auto snap = kernel_set_snapshot(set);
    auto cond = events::occultation_condition(*snap, *t, f, b, observer, c);
    if (!cond) raise(cond.error());
    auto cnf = intervals_of(confinement, "confinement window");
    return run_search(*snap, progress, state_options(step, tolerance, threads),
                      [&](const events::SearchOptions& o) { return events::search_condition(**cond, cnf, o); });
}

// gftfov: `target` (a point, or the ellipsoid of its radii in
// `target_frame`) in the field of view of `instrument` on `observer`.
WindowOut find_target_in_fov(nb::handle set, std::int32_t instrument, std::int32_t target, bool ellipsoid,
                             std::int32_t target_frame, const std::string& correction, std::int32_t observer,
                             const WindowIn& confinement, double step, double tolerance, unsigned threads,
                             nb::handle progress) {
    const Correction c = correction_arg(correction);
    if (target == observer) fail(ErrorKind::Value, "the target and the observer are the same body");
    auto snap = kernel_set_snapshot(set);
    auto cond = events::target_in_fov_condition(*snap, {instrument, target, observer, ellipsoid, target_frame, c});
    auto cnf = intervals_of(confinement, "confinement window");
    return run_search(*snap, progress, state_options(step, tolerance, threads),
                      [&](const events::SearchOptions& o) { return events::search_condition(*cond, cnf, o); });
}

// gfrfov: the direction `ray` (in `ray_frame`) in the field of view of
// `instrument` on `observer`; corrections NONE, S, XS.
WindowOut find_ray_in_fov(nb::handle set, std::int32_t instrument, const std::vector<double>& ray,
                          std::int32_t ray_frame, const std::string& correction, std::int32_t observer,
                          const WindowIn& confinement, double step, double tolerance, unsigned threads,
                          nb::handle progress) {
    std::string k;
    for (char ch : correction)
        if (!std::isspace(static_cast<unsigned char>(ch))) k += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (k != "NONE" && k != "S" && k != "XS")
        fail(ErrorKind::Value, "unknown aberration correction '" + correction +
                                   "' for a ray (accepted: NONE, S, XS; case and blanks do not matter)");
    if (ray.size() != 3 || !std::isfinite(ray[0]) || !std::isfinite(ray[1]) || !std::isfinite(ray[2]) ||
        (ray[0] == 0 && ray[1] == 0 && ray[2] == 0))
        fail(ErrorKind::Value, "the ray must be three finite numbers, not all zero");
    auto snap = kernel_set_snapshot(set);
    auto cond = events::ray_in_fov_condition(
        *snap, {instrument, observer, ray_frame, Vec3{ray[0], ray[1], ray[2]}, k != "NONE", k == "XS"});
    auto cnf = intervals_of(confinement, "confinement window");
    return run_search(*snap, progress, state_options(step, tolerance, threads),
                      [&](const events::SearchOptions& o) { return events::search_condition(*cond, cnf, o); });
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
               int angle, nb::handle progress) {
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
    return run_search(*snap, progress, options,
                      [&](const events::SearchOptions& o) { return events::search(*q, cnf, o); });
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
          nb::arg("angle") = 0, nb::arg("progress").none() = nb::none(),
          "The window in which a quantity satisfies a relation (see kernwerk.events).");
    m.def("find_occultation", &find_occultation, nb::arg("set"), nb::arg("type"), nb::arg("front"),
          nb::arg("front_shape"), nb::arg("front_frame"), nb::arg("front_radii"), nb::arg("back"),
          nb::arg("back_shape"), nb::arg("back_frame"), nb::arg("back_radii"), nb::arg("observer"),
          nb::arg("correction"), nb::arg("confinement"), nb::arg("step"), nb::arg("tolerance"), nb::arg("threads"),
          nb::arg("progress").none() = nb::none(),
          "The window in which `back` is occulted by `front` seen from `observer` (gfoclt).");
    m.def("find_target_in_fov", &find_target_in_fov, nb::arg("set"), nb::arg("instrument"), nb::arg("target"),
          nb::arg("ellipsoid"), nb::arg("target_frame"), nb::arg("correction"), nb::arg("observer"),
          nb::arg("confinement"), nb::arg("step"), nb::arg("tolerance"), nb::arg("threads"),
          nb::arg("progress").none() = nb::none(),
          "The window in which a target is in an instrument's field of view (gftfov).");
    m.def("find_ray_in_fov", &find_ray_in_fov, nb::arg("set"), nb::arg("instrument"), nb::arg("ray"),
          nb::arg("ray_frame"), nb::arg("correction"), nb::arg("observer"), nb::arg("confinement"), nb::arg("step"),
          nb::arg("tolerance"), nb::arg("threads"), nb::arg("progress").none() = nb::none(),
          "The window in which a ray is in an instrument's field of view (gfrfov).");
    m.def("sphere_radius", &sphere_radius, nb::arg("set"), nb::arg("body"),
          "The largest of BODY<body>_RADII (km).");
}

}  // namespace kernwerk::ext
