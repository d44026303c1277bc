// Bindings of surface geometry (sub-points, ray intercepts, illumination
// angles) as functions of an `_ext.KernelSet` (use the kernwerk.Kernels
// methods). Arrays arrive C-contiguous, one row per epoch, with the outputs
// the caller allocated; batches run without the interpreter lock on a
// snapshot of the set taken before it is released.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cctype>
#include <string>
#include <vector>

#include "geometry/limb.hpp"
#include "geometry/occult.hpp"
#include "geometry/surface.hpp"

namespace kernwerk::ext {

namespace {

using Rows3 = nb::ndarray<double, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;
using ConstRows3 = nb::ndarray<const double, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

Correction correction_of(const std::string& text) {
    auto c = parse_correction(text);
    if (!c)
        fail(ErrorKind::Value, "unknown aberration correction '" + text + "' (accepted: " + accepted_corrections() +
                                   "; case and blanks do not matter)");
    return *c;
}

// Upper case, blanks around '/' dropped and runs of blanks made one.
std::string method_key(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (u == ' ' || u == '\t') {
            if (!out.empty() && out.back() != ' ' && out.back() != '/') out += ' ';
            continue;
        }
        if (u == '/' && !out.empty() && out.back() == ' ') out.pop_back();
        out += u;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

SubpointMethod subpoint_method(const std::string& text) {
    const std::string k = method_key(text);
    if (k == "NEAR POINT/ELLIPSOID") return SubpointMethod::NearPoint;
    if (k == "INTERCEPT/ELLIPSOID") return SubpointMethod::Intercept;
    fail(ErrorKind::Value, "unknown sub-point method '" + text +
                               "' (accepted: 'NEAR POINT/ELLIPSOID', 'INTERCEPT/ELLIPSOID'; case does not matter)");
}

void check_ellipsoid_method(const std::string& text) {
    if (method_key(text) != "ELLIPSOID")
        fail(ErrorKind::Value, "unknown method '" + text + "' (accepted: 'ELLIPSOID'; case does not matter)");
}

SurfaceTarget surface_of(std::int32_t target, std::int32_t frame, const std::vector<double>& radii) {
    if (radii.size() != 3) fail(ErrorKind::Value, "radii must be 3 numbers");
    return SurfaceTarget{target, frame, Triaxial{radii[0], radii[1], radii[2]}};
}

void check_rows(std::size_t n, std::size_t rows, const char* what) {
    if (rows != n) fail(ErrorKind::Value, std::string(what) + " must have " + std::to_string(n) + " rows");
}

template <class Call>
void run_call(nb::handle set, const std::vector<std::size_t>& shape, const Call& call) {
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        r = call(*snap);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

void subpoint(nb::handle set, std::int32_t target, std::int32_t observer, std::int32_t frame,
              const std::vector<double>& radii, const std::string& method, const std::string& correction, bool solar,
              std::int32_t source, const Epochs& ets, Rows3 points, Column epochs, Rows3 vectors, unsigned threads,
              const std::vector<std::size_t>& shape) {
    const SubpointQuery q{surface_of(target, frame, radii), observer, subpoint_method(method),
                          correction_of(correction), solar, source};
    const std::size_t n = ets.shape(0);
    check_rows(n, points.shape(0), "points");
    check_rows(n, epochs.shape(0), "epochs");
    check_rows(n, vectors.shape(0), "vectors");
    run_call(set, shape, [&](const KernelSnapshot& snap) {
        return subpoint_batch(snap, q, view_of(ets), points.data(), epochs.data(), vectors.data(), threads);
    });
}

void intercept(nb::handle set, std::int32_t target, std::int32_t observer, std::int32_t frame,
               const std::vector<double>& radii, const std::string& method, std::int32_t ray_frame,
               const std::string& correction, const Epochs& ets, ConstRows3 rays, Rows3 points, Column epochs,
               Rows3 vectors, Flags found, unsigned threads, const std::vector<std::size_t>& shape) {
    check_ellipsoid_method(method);
    const InterceptQuery q{surface_of(target, frame, radii), observer, ray_frame, correction_of(correction)};
    const std::size_t n = ets.shape(0);
    check_rows(n, rays.shape(0), "rays");
    check_rows(n, points.shape(0), "points");
    check_rows(n, epochs.shape(0), "epochs");
    check_rows(n, vectors.shape(0), "vectors");
    check_rows(n, found.shape(0), "found");
    run_call(set, shape, [&](const KernelSnapshot& snap) {
        return intercept_batch(snap, q, view_of(ets), rays.data(), points.data(), epochs.data(), vectors.data(),
                               found.data(), threads);
    });
}

void illumination(nb::handle set, std::int32_t target, std::int32_t observer, std::int32_t source,
                  std::int32_t frame, const std::vector<double>& radii, const std::string& method,
                  const std::string& correction, const Epochs& ets, ConstRows3 points, Column epochs, Rows3 vectors,
                  Rows3 angles, Flags visible, Flags lit, unsigned threads, const std::vector<std::size_t>& shape) {
    check_ellipsoid_method(method);
    const IlluminationQuery q{surface_of(target, frame, radii), observer, source, correction_of(correction)};
    const std::size_t n = ets.shape(0);
    check_rows(n, points.shape(0), "points");
    check_rows(n, epochs.shape(0), "epochs");
    check_rows(n, vectors.shape(0), "vectors");
    check_rows(n, angles.shape(0), "angles");
    check_rows(n, visible.shape(0), "visible");
    check_rows(n, lit.shape(0), "lit");
    run_call(set, shape, [&](const KernelSnapshot& snap) {
        return illumination_batch(snap, q, view_of(ets), points.data(), epochs.data(), vectors.data(), angles.data(),
                                  visible.data(), lit.data(), threads);
    });
}

// "TANGENT/ELLIPSOID" or "GUIDED/ELLIPSOID" for limbs; for terminators the
// same after "UMBRAL/" or "PENUMBRAL/". Both give the same points on an
// ellipsoid; the ELLIPSOID LIMB and ELLIPSOID TERMINATOR loci (TANGENT only
// in the toolkit) are not supported yet.
CurveKind curve_method(const std::string& text, bool limb, const std::string& locus) {
    const std::string k = method_key(text);
    std::string rest = k;
    CurveKind kind = CurveKind::Limb;
    if (!limb) {
        if (k.starts_with("UMBRAL/")) {
            kind = CurveKind::Umbral;
            rest = k.substr(7);
        } else if (k.starts_with("PENUMBRAL/")) {
            kind = CurveKind::Penumbral;
            rest = k.substr(10);
        } else {
            rest.clear();
        }
    }
    if (rest != "TANGENT/ELLIPSOID" && rest != "GUIDED/ELLIPSOID") {
        fail(ErrorKind::Value, "unknown " + std::string(limb ? "limb" : "terminator") + " method '" + text +
                                   (limb ? "' (accepted: 'TANGENT/ELLIPSOID', 'GUIDED/ELLIPSOID'"
                                         : "' (accepted: 'UMBRAL/TANGENT/ELLIPSOID', 'UMBRAL/GUIDED/ELLIPSOID', "
                                           "'PENUMBRAL/TANGENT/ELLIPSOID', 'PENUMBRAL/GUIDED/ELLIPSOID'") +
                                   "; case does not matter)");
    }
    const std::string l = method_key(locus);
    const std::string per_point = limb ? "ELLIPSOID LIMB" : "ELLIPSOID TERMINATOR";
    if (l == per_point)
        fail(ErrorKind::Value, "the correction locus '" + per_point + "' is not supported yet (accepted: 'CENTER')");
    if (l != "CENTER")
        fail(ErrorKind::Value, "unknown correction locus '" + locus + "' (accepted: 'CENTER', '" + per_point +
                                   "'; case does not matter)");
    return kind;
}

void curve(nb::handle set, bool limb, std::int32_t target, std::int32_t observer, std::int32_t source,
           double source_radius, std::int32_t frame, const std::vector<double>& radii, const std::string& method,
           const std::string& correction, const std::string& locus, const std::vector<double>& reference,
           double roll_step, std::size_t cuts, const Epochs& ets, Rows3 points, Column epochs,
           Rows3 tangents, unsigned threads, const std::vector<std::size_t>& shape) {
    if (reference.size() != 3) fail(ErrorKind::Value, "the reference vector must be 3 numbers");
    const CurveQuery q{surface_of(target, frame, radii),
                       observer,
                       curve_method(method, limb, locus),
                       source,
                       source_radius,
                       correction_of(correction),
                       Vec3{reference[0], reference[1], reference[2]},
                       roll_step,
                       cuts};
    const std::size_t n = ets.shape(0);
    check_rows(n * cuts, points.shape(0), "points");
    check_rows(n * cuts, epochs.shape(0), "epochs");
    check_rows(n * cuts, tangents.shape(0), "tangents");
    run_call(set, shape, [&](const KernelSnapshot& snap) {
        return curve_batch(snap, q, view_of(ets), points.data(), epochs.data(), tangents.data(), threads);
    });
}

using Codes = nb::ndarray<std::int8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

OccultTarget occult_target(std::int32_t body, const std::string& shape, std::int32_t frame,
                           const std::vector<double>& radii) {
    const std::string k = method_key(shape);
    if (k == "POINT") return OccultTarget{body, true, 0, Triaxial{}};
    if (k != "ELLIPSOID")
        fail(ErrorKind::Value, "unknown target shape '" + shape + "' (accepted: 'ELLIPSOID', 'POINT'; case does not matter)");
    if (radii.size() != 3) fail(ErrorKind::Value, "radii must be 3 numbers");
    return OccultTarget{body, false, frame, Triaxial{radii[0], radii[1], radii[2]}};
}

void occult(nb::handle set, std::int32_t first, const std::string& shape1, std::int32_t frame1,
            const std::vector<double>& radii1, std::int32_t second, const std::string& shape2, std::int32_t frame2,
            const std::vector<double>& radii2, std::int32_t observer, const std::string& correction,
            const Epochs& ets, Codes codes, unsigned threads, const std::vector<std::size_t>& shape) {
    const OccultQuery q{occult_target(first, shape1, frame1, radii1), occult_target(second, shape2, frame2, radii2),
                        observer, correction_of(correction)};
    check_rows(ets.shape(0), codes.shape(0), "codes");
    run_call(set, shape, [&](const KernelSnapshot& snap) {
        return occult_batch(snap, q, view_of(ets), codes.data(), threads);
    });
}

}  // namespace

void register_surface(nb::module_& m) {
    m.def("subpoint", &subpoint, nb::arg("set"), nb::arg("target"), nb::arg("observer"), nb::arg("frame"),
          nb::arg("radii"), nb::arg("method"), nb::arg("correction"), nb::arg("solar"), nb::arg("source"),
          nb::arg("ets"), nb::arg("points"), nb::arg("epochs"), nb::arg("vectors"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{},
          "Sub-observer (or, with `solar`, sub-solar) points on the target's ellipsoid: points and observer-to-point "
          "vectors ((n, 3) km, body-fixed) and target epochs ((n,)).");
    m.def("intercept", &intercept, nb::arg("set"), nb::arg("target"), nb::arg("observer"), nb::arg("frame"),
          nb::arg("radii"), nb::arg("method"), nb::arg("ray_frame"), nb::arg("correction"), nb::arg("ets"),
          nb::arg("rays"), nb::arg("points"), nb::arg("epochs"), nb::arg("vectors"), nb::arg("found"),
          nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
          "Ray intercepts on the target's ellipsoid; misses give found 0 and NaN rows.");
    m.def("illumination", &illumination, nb::arg("set"), nb::arg("target"), nb::arg("observer"), nb::arg("source"),
          nb::arg("frame"), nb::arg("radii"), nb::arg("method"), nb::arg("correction"), nb::arg("ets"),
          nb::arg("points"), nb::arg("epochs"), nb::arg("vectors"), nb::arg("angles"), nb::arg("visible"),
          nb::arg("lit"), nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
          "Phase, incidence and emission angles (radians) at surface points, with target epochs, observer-to-point "
          "vectors and the visible and lit flags.");
    m.def("curve", &curve, nb::arg("set"), nb::arg("limb"), nb::arg("target"), nb::arg("observer"),
          nb::arg("source"), nb::arg("source_radius"), nb::arg("frame"), nb::arg("radii"), nb::arg("method"),
          nb::arg("correction"), nb::arg("locus"), nb::arg("reference"), nb::arg("roll_step"), nb::arg("cuts"),
          nb::arg("ets"), nb::arg("points"), nb::arg("epochs"), nb::arg("tangents"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{},
          "Limb (`limb`) or terminator points on the target's ellipsoid in `cuts` half-planes per epoch: points and "
          "observer-to-point tangent vectors ((n * cuts, 3) km, body-fixed) and target epochs ((n * cuts,)).");
    m.def("occult", &occult, nb::arg("set"), nb::arg("first"), nb::arg("shape1"), nb::arg("frame1"),
          nb::arg("radii1"), nb::arg("second"), nb::arg("shape2"), nb::arg("frame2"), nb::arg("radii2"),
          nb::arg("observer"), nb::arg("correction"), nb::arg("ets"), nb::arg("codes"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{},
          "Occultation codes (-3..3, int8) of the first target by the second seen from the observer.");
}

}  // namespace kernwerk::ext
