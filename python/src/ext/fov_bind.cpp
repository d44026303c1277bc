// Bindings of instrument fields of view as functions of an `_ext.KernelSet`
// (use kernwerk.Kernels.fov, fov_ray and in_fov). Batches run without the
// interpreter lock on a snapshot of the set taken before it is released.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cctype>
#include <string>
#include <vector>

#include "geometry/fov.hpp"

namespace kernwerk::ext {

namespace {

using Rays = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

nb::tuple fov(nb::handle set, std::int32_t instrument) {
    auto snap = kernel_set_snapshot(set);
    auto f = get_fov(snap->pool(), instrument);
    if (!f) raise(f.error());
    std::vector<std::vector<double>> bounds;
    for (const Vec3& v : f->bounds) bounds.push_back({v[0], v[1], v[2]});
    return nb::make_tuple(std::string(fov_shape_name(f->shape)), f->frame,
                          std::vector<double>{f->boresight[0], f->boresight[1], f->boresight[2]}, bounds);
}

void check_out(const Epochs& ets, const Flags& out) {
    if (out.shape(0) != ets.shape(0)) fail(ErrorKind::Value, "out must have shape (" + std::to_string(ets.shape(0)) + ",)");
}

void fov_ray(nb::handle set, std::int32_t instrument, std::int32_t ray_frame, const Rays& rays,
             const std::string& correction, std::int32_t observer, const Epochs& ets, Flags out, unsigned threads,
             const std::vector<std::size_t>& shape) {
    std::string c;
    for (char ch : correction)
        if (ch != ' ') c += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (c != "NONE" && c != "S" && c != "XS")
        fail(ErrorKind::Value, "unknown aberration correction '" + correction +
                                   "' for a ray (accepted: NONE, S, XS; case and blanks do not matter)");
    if (rays.shape(1) != 3 || (rays.shape(0) != 1 && rays.shape(0) != ets.shape(0)))
        fail(ErrorKind::Value, "rays must have shape (3,) or (n, 3) matching the epochs");
    check_out(ets, out);
    const std::size_t stride = rays.shape(0) == 1 ? 0 : 3;
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        r = fov_ray_batch(*snap, instrument, ray_frame, rays.data(), stride, c != "NONE", c == "XS", observer,
                          view_of(ets), out.data(), threads);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

void fov_target(nb::handle set, std::int32_t instrument, std::int32_t target, bool ellipsoid,
                std::int32_t target_frame, const std::string& correction, std::int32_t observer, const Epochs& ets,
                Flags out, unsigned threads, const std::vector<std::size_t>& shape) {
    auto corr = parse_correction(correction);
    if (!corr)
        fail(ErrorKind::Value, "unknown aberration correction '" + correction + "' (accepted: " +
                                   accepted_corrections() + "; case and blanks do not matter)");
    check_out(ets, out);
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        r = fov_target_batch(*snap, instrument, target, ellipsoid, target_frame, *corr, observer, view_of(ets),
                             out.data(), threads);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

}  // namespace

void register_fov(nb::module_& m) {
    m.def("fov", &fov, nb::arg("set"), nb::arg("instrument"),
          nb::sig("def fov(set: KernelSet, instrument: int) -> tuple[str, str, list[float], list[list[float]]]"),
          "(shape, frame, boresight, bounds) of an instrument's field of view, from the kernel pool.");
    m.def("fov_ray", &fov_ray, nb::arg("set"), nb::arg("instrument"), nb::arg("ray_frame"), nb::arg("rays"),
          nb::arg("correction"), nb::arg("observer"), nb::arg("ets"), nb::arg("out"), nb::arg("threads") = 0,
          nb::arg("shape") = std::vector<std::size_t>{},
          "Whether rays (n or 1, 3) lie in an instrument's field of view at each epoch (out: uint8).");
    m.def("fov_target", &fov_target, nb::arg("set"), nb::arg("instrument"), nb::arg("target"),
          nb::arg("ellipsoid"), nb::arg("target_frame"), nb::arg("correction"), nb::arg("observer"),
          nb::arg("ets"), nb::arg("out"), nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
          "Whether a target (point or ellipsoid) is in an instrument's field of view at each epoch (out: uint8).");
}

}  // namespace kernwerk::ext
