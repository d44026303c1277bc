// Binding of the CK writer (use kernwerk.CkWriter): Type 2 and Type 3
// segments and a comment area.
//
// Arrays come in C-contiguous float64 (the package converts them and checks
// their shapes) and are copied once into the writer. Failures of the writer
// raise ValueError (bad data) or OSError-like RuntimeError text for I/O,
// with the core's message; the file is written with the GIL released.
#include "ext.hpp"

#include "ck/writer.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kernwerk::ext {

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

struct PyCkWriter {
    CkWriter core;
    bool busy = false;
    explicit PyCkWriter(const std::string& locifn) : core(locifn) {}
    void check_idle() const {
        if (busy) throw std::runtime_error("the CK writer is busy writing its file in another thread");
    }
};

[[noreturn]] void raise_core(const CkWriterError& e) {
    if (e.kind() == CkWriterError::Kind::Io) throw std::runtime_error(e.message());
    fail(ErrorKind::Value, e.message());
}

void need_rows(const Rows& a, std::size_t n, std::size_t cols, const char* what) {
    if (a.shape(0) != n || a.shape(1) != cols)
        fail(ErrorKind::Value, std::string(what) + " must have shape (" + std::to_string(n) + ", " +
                                   std::to_string(cols) + "), not (" + std::to_string(a.shape(0)) + ", " +
                                   std::to_string(a.shape(1)) + ")");
}

void need_column(const Column& a, std::size_t n, const char* what) {
    if (a.shape(0) != n)
        fail(ErrorKind::Value, std::string(what) + " must have " + std::to_string(n) + " values, not " +
                                   std::to_string(a.shape(0)));
}

void add_type2(PyCkWriter& w, std::int32_t instrument, std::int32_t frame, double start, double end,
               const std::string& name, const Column& starts, const Column& stops, const Rows& quaternions,
               const Rows& angular_velocity, const Column& rates) {
    w.check_idle();
    const std::size_t n = starts.shape(0);
    need_column(stops, n, "stops");
    need_rows(quaternions, n, 4, "quaternions");
    need_rows(angular_velocity, n, 3, "angular_velocity");
    need_column(rates, n, "rates");
    const CkType2Data d{n, starts.data(), stops.data(), quaternions.data(), angular_velocity.data(), rates.data()};
    if (auto ok = w.core.add_type2({instrument, frame, start, end, name}, d); !ok) raise_core(ok.error());
}

void add_type3(PyCkWriter& w, std::int32_t instrument, std::int32_t frame, double start, double end,
               const std::string& name, const Column& ticks, const Rows& quaternions,
               const std::optional<Rows>& angular_velocity, const Column& interval_starts) {
    w.check_idle();
    const std::size_t n = ticks.shape(0);
    need_rows(quaternions, n, 4, "quaternions");
    if (angular_velocity) need_rows(*angular_velocity, n, 3, "angular_velocity");
    const CkType3Data d{n, ticks.data(), quaternions.data(), angular_velocity ? angular_velocity->data() : nullptr,
                        interval_starts.shape(0), interval_starts.data()};
    if (auto ok = w.core.add_type3({instrument, frame, start, end, name}, d); !ok) raise_core(ok.error());
}

void write(PyCkWriter& w, const std::string& path) {
    w.check_idle();
    w.busy = true;
    std::expected<void, CkWriterError> ok;
    {
        nb::gil_scoped_release release;
        ok = w.core.write(path);
    }
    w.busy = false;
    if (!ok) raise_core(ok.error());
}

}  // namespace

void register_ck_writer(nb::module_& m) {
    nb::class_<PyCkWriter>(m, "CkWriter", "A CK file under construction (use kernwerk.CkWriter).")
        .def(nb::init<const std::string&>(), nb::arg("locifn"))
        .def(
            "set_comments",
            [](PyCkWriter& w, const std::vector<std::string>& lines) {
                w.check_idle();
                if (auto ok = w.core.set_comments(lines); !ok) raise_core(ok.error());
            },
            nb::arg("lines"), "Replace the comment area by `lines` (printable ASCII).")
        .def("add_type2", &add_type2, nb::arg("instrument"), nb::arg("frame"), nb::arg("start"), nb::arg("end"),
             nb::arg("name"), nb::arg("starts"), nb::arg("stops"), nb::arg("quaternions"),
             nb::arg("angular_velocity"), nb::arg("rates"), "Append a Type 2 segment.")
        .def("add_type3", &add_type3, nb::arg("instrument"), nb::arg("frame"), nb::arg("start"), nb::arg("end"),
             nb::arg("name"), nb::arg("ticks"), nb::arg("quaternions"), nb::arg("angular_velocity").none(),
             nb::arg("interval_starts"), "Append a Type 3 segment.")
        .def("write", &write, nb::arg("path"), "Write the file to `path` (staging file, fsync, rename).")
        .def("__len__", [](const PyCkWriter& w) { return w.core.segments().size(); });
}

}  // namespace kernwerk::ext
