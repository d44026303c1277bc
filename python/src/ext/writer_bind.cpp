// Binding of the chained SPK writer (use kernwerk.SpkWriter): any number of
// Type 3, 9 and 13 segments, and a comment area.
//
// Arrays come in C-contiguous float64 (the package converts them) and are
// copied once into the writer's storage. Failures of the writer raise
// RuntimeError with the core's message, as NaifSpkWriter's do, so that the
// package maps both alike. The file is written with the GIL released; a
// writer busy writing refuses to change or to write again meanwhile.
#include "ext.hpp"

#include "spk/writer.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace kernwerk::ext {

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

struct PyWriter {
    SpkWriter core;
    bool busy = false;

    explicit PyWriter(const std::string& locifn) : core(SpkWriter::new_spk_chained(locifn)) {}
    PyWriter(const PyWriter&) = delete;
    PyWriter& operator=(const PyWriter&) = delete;

    void check_idle() const {
        if (busy) throw std::runtime_error("the SPK writer is busy writing its file in another thread");
    }
};

[[noreturn]] void raise_core(const SpkWriterError& e) { throw std::runtime_error(e.message()); }

void add_type3(PyWriter& w, std::int32_t target, std::int32_t center, std::int32_t frame, double start, double end,
               const std::string& name, double init, double intlen, const Rows& records) {
    w.check_idle();
    const std::size_t rows = records.shape(0), cols = records.shape(1);
    if (cols < 8 || (cols - 2) % 6 != 0)
        fail(ErrorKind::Value, "records must have 2 + 6 n columns (mid, radius, then n coefficients of each of x, y, "
                               "z, vx, vy, vz), not " + std::to_string(cols));
    Type3Layout seg{target, center, frame, start, end, name, init, intlen, (cols - 2) / 6, rows * cols};
    auto ok = w.core.add_type3_from(seg, [&](double* dst) {
        if (rows * cols) std::memcpy(dst, records.data(), rows * cols * sizeof(double));
    });
    if (!ok) raise_core(ok.error());
}

// Types 9 and 13: states (N, 6) at N epochs.
template <int Type>
void add_states(PyWriter& w, std::int32_t target, std::int32_t center, std::int32_t frame, double start, double end,
                const std::string& name, std::int32_t degree, const Rows& states, const Column& epochs) {
    w.check_idle();
    const std::size_t n = epochs.shape(0);
    if (states.shape(1) != 6 || states.shape(0) != n)
        fail(ErrorKind::Value, "states must have shape (N, 6) with N the number of epochs");
    Type9Layout seg{target, center, frame, start, end, name, degree, 6 * n, n};
    auto add = Type == 9 ? &SpkWriter::add_type9_from : &SpkWriter::add_type13_from;
    auto ok = (w.core.*add)(seg, [&](double* st, double* ep) {
        if (n) {
            std::memcpy(st, states.data(), 6 * n * sizeof(double));
            std::memcpy(ep, epochs.data(), n * sizeof(double));
        }
    });
    if (!ok) raise_core(ok.error());
}

void write(PyWriter& w, const std::string& path) {
    w.check_idle();
    w.busy = true;
    std::expected<void, SpkWriterError> ok;
    {
        nb::gil_scoped_release release;
        ok = w.core.write(path);
    }
    w.busy = false;
    if (!ok) raise_core(ok.error());
}

}  // namespace

void register_writer(nb::module_& m) {
    nb::class_<PyWriter>(m, "SpkWriter",
                         "An SPK file under construction, without a segment limit (use kernwerk.SpkWriter).")
        .def(nb::init<const std::string&>(), nb::arg("locifn"))
        .def(
            "set_comments",
            [](PyWriter& w, const std::vector<std::string>& lines) {
                w.check_idle();
                if (auto ok = w.core.set_comments(lines); !ok) fail(ErrorKind::Value, ok.error().message());
            },
            nb::arg("lines"), "Replace the comment area by `lines` (printable ASCII).")
        .def("add_type3", &add_type3, nb::arg("target"), nb::arg("center"), nb::arg("frame"), nb::arg("start"),
             nb::arg("end"), nb::arg("name"), nb::arg("init"), nb::arg("intlen"), nb::arg("records"),
             "Append a Type 3 segment of Chebyshev records (rows of 2 + 6 n doubles).")
        .def("add_type9", &add_states<9>, nb::arg("target"), nb::arg("center"), nb::arg("frame"), nb::arg("start"),
             nb::arg("end"), nb::arg("name"), nb::arg("degree"), nb::arg("states"), nb::arg("epochs"),
             "Append a Type 9 segment: states (N, 6) at N epochs.")
        .def("add_type13", &add_states<13>, nb::arg("target"), nb::arg("center"), nb::arg("frame"),
             nb::arg("start"), nb::arg("end"), nb::arg("name"), nb::arg("degree"), nb::arg("states"),
             nb::arg("epochs"), "Append a Type 13 segment: states (N, 6) at N epochs, odd Hermite degree.")
        .def("write", &write, nb::arg("path"), "Write the file to `path` (staging file, fsync, rename).")
        .def("__len__", [](const PyWriter& w) { return w.core.segments().size(); });
}

}  // namespace kernwerk::ext
