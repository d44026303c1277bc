// Bindings of C-kernel pointing, as functions of an `_ext.KernelSet` (use
// kernwerk.Kernels.pointing, ck_coverage and ck_objects).
//
// Tick arrays are read in place through their stride, results written into
// arrays the caller allocated; batches run without the interpreter lock on
// a snapshot of the set taken before it is released.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <vector>

#include "sets/attitude.hpp"

namespace kernwerk::ext {

namespace {

using Out2 = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Out1 = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Mask = nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

void pointing(nb::handle set, std::int32_t instrument, const Epochs& ticks, double tol, std::int32_t ref,
              bool need_av, Out2 rotations, std::optional<Out2> av, Out1 clock, Mask found, unsigned threads,
              const std::vector<std::size_t>& shape) {
    const std::size_t n = ticks.shape(0);
    if (rotations.shape(0) != n || (rotations.shape(1) != 9 && rotations.shape(1) != 4))
        fail(ErrorKind::Value, "rotations must have shape (" + std::to_string(n) + ", 9) or (" + std::to_string(n) + ", 4)");
    if (av && (av->shape(0) != n || av->shape(1) != 3))
        fail(ErrorKind::Value, "av must have shape (" + std::to_string(n) + ", 3)");
    if (clock.shape(0) != n || found.shape(0) != n)
        fail(ErrorKind::Value, "clock and found must have shape (" + std::to_string(n) + ",)");
    CkBatchOutput out{rotations.data(), rotations.shape(1) == 4, av ? av->data() : nullptr, clock.data(), found.data()};
    auto snap = kernel_set_snapshot(set);
    check_before(*snap);
    std::expected<void, BatchFailure> r;
    {
        nb::gil_scoped_release release;
        r = ck_pointing_batch(*snap, instrument, view_of(ticks), tol, ref, need_av, out, threads);
    }
    check_unchanged(*snap);
    if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
}

std::vector<std::pair<double, double>> coverage(nb::handle set, std::int32_t instrument, bool intervals, double tol,
                                                bool need_av) {
    if (!(tol >= 0)) fail(ErrorKind::Value, "the tolerance must be a number of ticks not below 0");
    return ck_coverage(*kernel_set_snapshot(set), instrument, intervals, tol, need_av);
}

std::vector<std::int32_t> objects(nb::handle set) { return ck_objects(*kernel_set_snapshot(set)); }

// (CK frame code, class id, CK_<class id>_SPK or None) of the CK frame carrying `frame`, or None.
std::optional<std::tuple<std::int32_t, std::int32_t, std::optional<std::int32_t>>> frame_object(nb::handle set,
                                                                                                std::int32_t frame) {
    auto r = ck_frame_object(*kernel_set_snapshot(set), frame);
    if (!r) return std::nullopt;
    return std::make_tuple(r->frame, r->class_id, r->object);
}

// (path, index, name, instrument, reference frame, data type, has av, start, end) of every CK
// segment in load order.
nb::list segments(nb::handle set) {
    auto snap = kernel_set_snapshot(set);
    auto refs = ck_segments(*snap);
    nb::list out;
    for (std::size_t i = refs.size(); i-- > 0;) {
        const CkSegmentRef& r = refs[i];
        const CkSegment& s = *r.segment;
        const std::string& path = snap->files()[static_cast<std::size_t>(r.file)].path;
        out.append(nb::make_tuple(nb::bytes(path.data(), path.size()), r.index, s.name, s.instrument, s.ref_frame,
                                  s.data_type, s.has_av, s.start, s.end));
    }
    return out;
}

}  // namespace

void register_ck(nb::module_& m) {
    m.def("ck_pointing", &pointing, nb::arg("kernel_set"), nb::arg("instrument"), nb::arg("ticks"), nb::arg("tol"),
          nb::arg("ref"), nb::arg("need_av"), nb::arg("rotations"), nb::arg("av").none(), nb::arg("clock"),
          nb::arg("found"), nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
          "Pointing of an instrument at encoded SCLK ticks: rotations (n, 9) matrices or (n, 4) quaternions, "
          "angular velocity (n, 3) or None, the ticks answered for and a found mask.");
    m.def("ck_coverage", &coverage, nb::arg("kernel_set"), nb::arg("instrument"), nb::arg("intervals"), nb::arg("tol"),
          nb::arg("need_av"), "Merged coverage of an instrument in ticks: segment bounds or interpolation intervals.");
    m.def("ck_objects", &objects, nb::arg("kernel_set"), "Instruments of the C-kernels of a set, ascending.");
    m.def("ck_frame_object", &frame_object, nb::arg("kernel_set"), nb::arg("frame"),
          "(CK frame, class id, CK_<class id>_SPK or None) of the CK frame that carries a frame (itself, or up its "
          "TK frames), or None.");
    m.def("ck_segments", &segments, nb::arg("kernel_set"),
          nb::sig("def ck_segments(kernel_set: KernelSet) -> list[tuple[bytes, int, str, int, int, int, bool, float, float]]"),
          "(path, index, name, instrument, frame, type, has av, start, end) of every CK segment in load order.");
}

}  // namespace kernwerk::ext
