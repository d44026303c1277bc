// Bindings of spacecraft clocks: `_ext.SclkClock`, built from the pool of a
// kernel set's snapshot (use kernwerk.Kernels.sclk).
//
// The clock keeps the snapshot's leapseconds model of its own, so that later
// loads into the set do not change a clock already made. Arrays are read
// flat and C-contiguous and written into outputs the caller allocated; the
// numeric conversions run without the interpreter lock, threaded for large
// batches, and a failing element is reported by its index after the batch.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <Python.h>

#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "sclk/sclk.hpp"

namespace kernwerk::ext {

namespace {

using F64In = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

ErrorKind kind_of(const SclkError& e) noexcept {
    switch (e.kind()) {
        case SclkError::Kind::Missing: return ErrorKind::MissingKernel;
        case SclkError::Kind::Format: return ErrorKind::FileFormat;
        case SclkError::Kind::Parse: return ErrorKind::Value;
        case SclkError::Kind::Range: return ErrorKind::Epoch;
    }
    return ErrorKind::Value;
}

[[noreturn]] void raise_sclk(const SclkError& e, const std::string& suffix = {}) {
    fail(kind_of(e), e.message() + suffix);
}

class PySclk {
public:
    PySclk(nb::handle set, std::int32_t id) {
        auto snap = kernel_set_snapshot(set);
        if (const LeapSecondsFields* f = snap->leapseconds()) {
            auto m = timescale::LeapSeconds::from_fields(*f);
            if (m) lsk_ = std::make_unique<timescale::LeapSeconds>(std::move(*m));
        }
        auto c = SclkClock::from_pool(snap->pool(), id, lsk_.get());
        if (!c) raise_sclk(c.error());
        clock_ = std::make_unique<SclkClock>(std::move(*c));
    }

    std::int32_t id() const noexcept { return clock_->id(); }
    std::size_t partitions() const noexcept { return clock_->partitions(); }
    bool tt() const noexcept { return clock_->tt(); }

    // to_et (sct2e) or from_et (sce2c; sce2t when rounded).
    void convert(bool to_et, bool rounded, const F64In& in, F64Out out, unsigned threads,
                 const std::vector<std::size_t>& shape) const {
        const std::size_t n = in.shape(0);
        if (out.shape(0) != n) fail(ErrorKind::Value, "out must have shape (" + std::to_string(n) + ",)");
        const double* src = in.data();
        double* dst = out.data();
        const SclkClock& c = *clock_;
        {
            nb::gil_scoped_release release;
            const unsigned t = threads ? threads : (n >= 8192 ? usable_cores() : 1);
            for_each_chunk(n, chunk_count(n, t), t, [&](std::size_t, std::size_t b, std::size_t e) {
                if (to_et)
                    for (std::size_t i = b; i < e; ++i) dst[i] = c.ticks_to_et_or_nan(src[i]);
                else if (rounded)
                    for (std::size_t i = b; i < e; ++i) dst[i] = SclkClock::round_ticks(c.et_to_ticks_or_nan(src[i]));
                else
                    for (std::size_t i = b; i < e; ++i) dst[i] = c.et_to_ticks_or_nan(src[i]);
            });
        }
        for (std::size_t i = 0; i < n; ++i)
            if (std::isnan(dst[i])) [[unlikely]] {
                auto r = to_et ? c.ticks_to_et(src[i]) : c.et_to_ticks(src[i]);
                if (!r) raise_sclk(r.error(), index_suffix(i, shape));
                fail(ErrorKind::Epoch, "NaN" + index_suffix(i, shape));
            }
    }

    // scencd over strings (ticks into out), or scs2e when to_et. The strings
    // are read in place (their UTF-8 form, which CPython keeps in the str
    // object), then parsed without the interpreter lock.
    void encode(nb::typed<nb::list, nb::str> texts, bool to_et, F64Out out, const std::vector<std::size_t>& shape) const {
        const std::size_t n = nb::len(texts);
        if (out.shape(0) != n) fail(ErrorKind::Value, "out must have shape (" + std::to_string(n) + ",)");
        std::vector<std::string_view> views(n);
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* o = PyList_GET_ITEM(texts.ptr(), static_cast<Py_ssize_t>(i));
            if (!PyUnicode_Check(o))
                fail(ErrorKind::Value, "clock strings must be str" + (n > 1 || !shape.empty() ? index_suffix(i, shape) : std::string()));
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(o, &len);
            if (!text) throw nb::python_error();
            views[i] = std::string_view(text, static_cast<std::size_t>(len));
        }
        double* dst = out.data();
        std::size_t bad = n;
        std::optional<SclkError> err;
        {
            nb::gil_scoped_release release;
            for (std::size_t i = 0; i < n; ++i) {
                auto t = clock_->encode(views[i]);
                if (t && to_et) t = clock_->ticks_to_et(*t);
                if (!t) {
                    bad = i;
                    err = std::move(t.error());
                    break;
                }
                dst[i] = *t;
            }
        }
        if (err) raise_sclk(*err, n > 1 || !shape.empty() ? index_suffix(bad, shape) : std::string());
    }

    // scdecd over ticks, or sce2s (ET to rounded ticks to strings) when from_et.
    std::vector<std::string> decode(const F64In& in, bool from_et, const std::vector<std::size_t>& shape) const {
        const std::size_t n = in.shape(0);
        std::vector<std::string> out(n);
        std::size_t bad = n;
        std::optional<SclkError> err;
        {
            nb::gil_scoped_release release;
            for (std::size_t i = 0; i < n; ++i) {
                double t = in.data()[i];
                if (from_et) {
                    auto c = clock_->et_to_ticks(t);
                    if (!c) {
                        bad = i;
                        err = std::move(c.error());
                        break;
                    }
                    t = SclkClock::round_ticks(*c);
                }
                auto s = clock_->decode(t);
                if (!s) {
                    bad = i;
                    err = std::move(s.error());
                    break;
                }
                out[i] = std::move(*s);
            }
        }
        if (err) raise_sclk(*err, n > 1 || !shape.empty() ? index_suffix(bad, shape) : std::string());
        return out;
    }

private:
    std::unique_ptr<timescale::LeapSeconds> lsk_;
    std::unique_ptr<SclkClock> clock_;
};

}  // namespace

void register_sclk(nb::module_& m) {
    nb::class_<PySclk>(m, "SclkClock", "A type 1 spacecraft clock read from a kernel set's pool (use Kernels.sclk).")
        .def(nb::init<nb::handle, std::int32_t>(), nb::arg("kernel_set"), nb::arg("clock"))
        .def_prop_ro("id", &PySclk::id)
        .def_prop_ro("partitions", &PySclk::partitions)
        .def_prop_ro("tt", &PySclk::tt, "Whether the clock's parallel time is TDT (else TDB).")
        .def("convert", &PySclk::convert, nb::arg("to_et"), nb::arg("rounded"), nb::arg("values"), nb::arg("out"),
             nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
             "Ticks to ET (to_et) or ET to ticks (rounded to whole ticks when rounded) into `out`.")
        .def("encode", &PySclk::encode, nb::arg("texts"), nb::arg("to_et"), nb::arg("out"),
             nb::arg("shape") = std::vector<std::size_t>{}, "Clock strings to ticks (or ET when to_et) into `out`.")
        .def("decode", &PySclk::decode, nb::arg("values"), nb::arg("from_et"),
             nb::arg("shape") = std::vector<std::size_t>{}, "Ticks (or ET when from_et) to clock strings.");
}

}  // namespace kernwerk::ext
