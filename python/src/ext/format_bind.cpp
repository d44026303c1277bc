// Bulk text output for the command line: rows of dates and numbers formatted
// in one call, with the GIL released, instead of a Python format per value.
// Numbers are written as Python's repr writes them (format_repr), so the
// text is the same as before, every digit kept.
#include "ext.hpp"

#include "base/common.hpp"
#include "base/parallel.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kernwerk::ext {

namespace {

using Codes = nb::ndarray<const std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// One CSV line per row: the date (code points of a NumPy str array, ASCII
// as to_iso writes them, up to the first NUL), the epoch, then the row's
// values, separated by commas.
// Rows [begin, end) appended to `text`.
void format_rows(const std::uint32_t* dates, std::size_t width, const double* ets, const double* values,
                 std::size_t cols, std::size_t begin, std::size_t end, std::string& text) {
    text.resize((end - begin) * (width + (cols + 1) * (kReprChars + 1) + 1));
    char* out = text.data();
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t* d = dates + i * width;
        for (std::size_t k = 0; k < width && d[k] != 0; ++k) *out++ = static_cast<char>(d[k] < 128 ? d[k] : '?');
        *out++ = ',';
        out = format_repr(ets[i], out);
        for (std::size_t c = 0; c < cols; ++c) {
            *out++ = ',';
            out = format_repr(values[i * cols + c], out);
        }
        *out++ = '\n';
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
}

// Rows from this many on are formatted on every usable core, in contiguous
// parts joined in order.
constexpr std::size_t kParallelFrom = 16384;

nb::bytes csv_rows(const Codes& dates, const Column& ets, const Rows& values) {
    const std::size_t n = ets.shape(0), width = dates.shape(1), cols = values.shape(1);
    if (dates.shape(0) != n || values.shape(0) != n)
        fail(ErrorKind::Value, "dates, epochs and values must have as many rows");
    const unsigned parts = n >= kParallelFrom ? usable_cores() : 1;
    std::vector<std::string> texts(parts);
    {
        nb::gil_scoped_release release;
        for_each_chunk(n, parts, [&](unsigned c, std::size_t begin, std::size_t end) {
            format_rows(dates.data(), width, ets.data(), values.data(), cols, begin, end, texts[c]);
        });
    }
    std::size_t total = 0;
    for (const auto& t : texts) total += t.size();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!bytes) throw nb::python_error();
    char* out = PyBytes_AS_STRING(bytes);
    for (const auto& t : texts) {
        std::memcpy(out, t.data(), t.size());
        out += t.size();
    }
    return nb::steal<nb::bytes>(bytes);
}

}  // namespace

void register_format(nb::module_& m) {
    m.def("csv_rows", &csv_rows, nb::arg("dates"), nb::arg("ets"), nb::arg("values"),
          "CSV lines 'date,et,v0,v1,...' (numbers as repr writes them) from the code points of a str array, "
          "epochs and a (N, k) array, as bytes.");
}

}  // namespace kernwerk::ext
