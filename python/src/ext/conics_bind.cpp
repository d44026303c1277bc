// Bindings of two-body orbits (use kernwerk.conics and kernwerk.oscelt):
// rows of elements or states in, rows out, into arrays the caller
// allocated; every row is checked before any is computed, and the loop runs
// without the GIL.
#include "ext.hpp"

#include "geometry/conics.hpp"

#include <nanobind/ndarray.h>

#include <cmath>

#include <string>

namespace kernwerk::ext {

namespace {

using RowsIn = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using RowsOut = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using ColumnIn = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

void conics(const RowsIn& elements, const ColumnIn& ets, RowsOut& out) {
    const std::size_t n = ets.shape(0);
    if (elements.shape(1) != 8 || elements.shape(0) != n || out.shape(0) != n || out.shape(1) != 6)
        fail(ErrorKind::Value, "conics takes (N, 8) elements, N epochs and an (N, 6) output");
    const double* e = elements.data();
    for (std::size_t i = 0; i < n; ++i) {
        ConicElements row;
        for (int k = 0; k < 8; ++k) row[k] = e[8 * i + k];
        if (auto m = check_conic_elements(row); !m.empty())
            fail(ErrorKind::Value, (n > 1 ? "elements " + std::to_string(i) + ": " : std::string()) + m);
        if (!std::isfinite(ets.data()[i]))
            fail(ErrorKind::Epoch, "epoch " + std::to_string(i) + " is " + format_double(ets.data()[i]));
    }
    double* o = out.data();
    nb::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) {
        ConicElements row;
        for (int k = 0; k < 8; ++k) row[k] = e[8 * i + k];
        const State s = conic_state(row, ets.data()[i]);
        for (int k = 0; k < 6; ++k) o[6 * i + k] = s[k];
    }
}

void oscelt(const RowsIn& states, const ColumnIn& ets, const ColumnIn& mus, RowsOut& out) {
    const std::size_t n = ets.shape(0);
    if (states.shape(1) != 6 || states.shape(0) != n || mus.shape(0) != n || out.shape(0) != n ||
        out.shape(1) != 8)
        fail(ErrorKind::Value, "oscelt takes (N, 6) states, N epochs, N values of mu and an (N, 8) output");
    const double* s = states.data();
    for (std::size_t i = 0; i < n; ++i) {
        State row;
        for (int k = 0; k < 6; ++k) row[k] = s[6 * i + k];
        if (auto m = check_osculating(row, mus.data()[i]); !m.empty())
            fail(ErrorKind::Value, (n > 1 ? "state " + std::to_string(i) + ": " : std::string()) + m);
    }
    double* o = out.data();
    nb::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) {
        State row;
        for (int k = 0; k < 6; ++k) row[k] = s[6 * i + k];
        const ConicElements e = osculating_elements(row, ets.data()[i], mus.data()[i]);
        for (int k = 0; k < 8; ++k) o[8 * i + k] = e[k];
    }
}

}  // namespace

void register_conics(nb::module_& m) {
    m.def("conics", &conics, nb::arg("elements"), nb::arg("ets"), nb::arg("out"),
          "States (N, 6) at N epochs from N sets of conic elements.");
    m.def("oscelt", &oscelt, nb::arg("states"), nb::arg("ets"), nb::arg("mus"), nb::arg("out"),
          "Osculating elements (N, 8) of N states at N epochs about bodies of parameters mu.");
}

}  // namespace kernwerk::ext
