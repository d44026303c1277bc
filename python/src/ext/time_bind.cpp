// Bindings of the time scales: a leapseconds object and array conversions.
//
// The array functions take their output arrays from the caller (the package
// allocates them with the input's shape) and flat, C-contiguous inputs; they
// fill the outputs in place and release the GIL for large arrays. Every
// function takes the leapseconds object or None: only conversions that need
// no leapseconds data (TDB to TDB) work with None, the others raise
// MissingKernelError.
#include "time_bind.hpp"

#include "text/text_kernel.hpp"
#include "time/time_parse.hpp"
#include "time/time_scales.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace kernwerk::ext {

namespace {

using namespace kernwerk::timescale;

// Arrays at least this long are converted with the GIL released.
constexpr std::size_t RELEASE_GIL_FROM = 512;

struct PyLeapSeconds {
    LeapSeconds model;
    std::optional<std::string> path;  // the kernel read, if any
};

using F64In = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using I64In = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using I64Out = nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

ErrorKind kind_of(const TimeError& e) noexcept {
    switch (e.kind()) {
        case TimeError::Kind::Epoch: return ErrorKind::Epoch;
        case TimeError::Kind::MissingKernel: return ErrorKind::MissingKernel;
        case TimeError::Kind::FileFormat: return ErrorKind::FileFormat;
        case TimeError::Kind::Value: return ErrorKind::Value;
    }
    return ErrorKind::Value;
}

[[noreturn]] void raise(const TimeError& e) { throw Error(kind_of(e), e.message()); }

// An element's error names its index when the array has more than one.
[[noreturn]] void raise(const ArrayError& e, std::size_t count) {
    if (count > 1) throw Error(kind_of(e.error), "element " + std::to_string(e.index) + ": " + e.error.message());
    raise(e.error);
}

const LeapSeconds* model_of(const PyLeapSeconds* lsk) noexcept { return lsk ? &lsk->model : nullptr; }

Scale scale_of(std::string_view name) {
    auto s = parse_scale(name);
    if (!s) raise(s.error());
    return *s;
}

// "" means no scale given: dates are then UTC and plain numbers ET.
std::optional<Scale> text_scale_of(std::string_view name) {
    if (name.empty()) return std::nullopt;
    return scale_of(name);
}

void same_length(std::size_t a, std::size_t b) {
    if (a != b) fail(ErrorKind::Value, "output array has " + std::to_string(b) + " elements, input " + std::to_string(a));
}

// Runs `body(i, out)` over n elements, the GIL released for long arrays;
// stops at the first error and raises it with the GIL held again.
template <class Body>
void for_each(std::size_t n, Body body) {
    std::optional<ArrayError> err;
    {
        std::optional<nb::gil_scoped_release> release;
        if (n >= RELEASE_GIL_FROM) release.emplace();
        for (std::size_t i = 0; i < n; ++i) {
            if (auto e = body(i)) {
                err.emplace(ArrayError{i, std::move(*e)});
                break;
            }
        }
    }
    if (err) raise(*err, n);
}

// out[i] = convert(in[i]) over two arrays of one length, through for_each.
template <class In, class Out, class Convert>
void map_each(const In& in, Out& out, Convert convert) {
    same_length(in.shape(0), out.shape(0));
    const auto* x = in.data();
    auto* o = out.data();
    for_each(in.shape(0), [&](std::size_t i) -> std::optional<TimeError> {
        auto r = convert(x[i]);
        if (!r) return std::move(r.error());
        o[i] = *r;
        return std::nullopt;
    });
}

// Code units of a row of the toolkit's calendar form: a year of five digits
// and its era, the clock with up to MAX_DIGITS decimals.
constexpr std::size_t CALENDAR_WIDTH = 40;

// Formats the n dates of `in` into the rows of `out` through
// `format(model, in, n, out)`, the GIL released for long arrays; returns the
// length of the longest row.
template <class In, class Out, class Format>
std::size_t format_rows_of(const In& in, Out& out, Format format, const PyLeapSeconds* lsk) {
    const std::size_t n = in.shape(0);
    const LeapSeconds* model = model_of(lsk);
    std::expected<std::size_t, ArrayError> r;
    {
        std::optional<nb::gil_scoped_release> release;
        if (n >= RELEASE_GIL_FROM) release.emplace();
        r = format(model, in.data(), n, reinterpret_cast<char32_t*>(out.data()));
    }
    if (!r) raise(r.error(), n);
    return *r;
}

void load_kernel(PyLeapSeconds* self, const std::string& path) {
    auto tk = parse_text_kernel(path);
    if (!tk) {
        const std::string& msg = tk.error().message();
        if (tk.error().kind() == TextKernelError::Kind::Io) {
            // The reader's message ends in "(os error N)" when the system refused.
            int code = 0;
            const auto at = msg.rfind("(os error ");
            if (at != std::string::npos) code = std::atoi(msg.c_str() + at + 10);
            throw Error(ErrorKind::File, msg, code, path);
        }
        fail(ErrorKind::FileFormat, "leapseconds kernel " + path + ": " + msg);
    }
    if (!tk->leapseconds)
        fail(ErrorKind::FileFormat, "leapseconds kernel " + path +
                                        ": no leapseconds data (DELTET/DELTA_T_A, K, EB, M and DELTA_AT are not assigned)");
    auto model = LeapSeconds::from_fields(*tk->leapseconds);
    if (!model) fail(ErrorKind::FileFormat, "leapseconds kernel " + path + ": " + model.error().message());
    new (self) PyLeapSeconds{std::move(*model), path};
}

}  // namespace

nb::object leapseconds_object(const LeapSecondsFields& fields, std::optional<std::string> path) {
    auto model = LeapSeconds::from_fields(fields);
    if (!model) fail(ErrorKind::FileFormat, (path ? "leapseconds kernel " + *path + ": " : std::string()) + model.error().message());
    return nb::cast(PyLeapSeconds{std::move(*model), std::move(path)});
}

void register_time(nb::module_& m) {
    nb::class_<PyLeapSeconds>(m, "LeapSeconds",
                              "Leapseconds data (the DELTET fields of a leapseconds kernel), immutable.")
        .def("__init__", &load_kernel, nb::arg("path"), "Reads the leapseconds kernel at `path`.")
        .def_static(
            "from_fields",
            [](double delta_t_a, double k, double eb, std::pair<double, double> mm,
               const std::vector<std::tuple<int, int, int, int>>& delta_at) {
                LeapSecondsFields f;
                f.delta_t_a = delta_t_a;
                f.k = k;
                f.eb = eb;
                f.m = {mm.first, mm.second};
                for (const auto& [seconds, y, mo, d] : delta_at) {
                    if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo))
                        fail(ErrorKind::Value, "DELTA_AT date " + std::to_string(y) + "-" + std::to_string(mo) + "-" +
                                                   std::to_string(d) + " is not a calendar date");
                    f.delta_at.push_back({seconds, CalendarDate{y, static_cast<std::uint8_t>(mo), static_cast<std::uint8_t>(d)}});
                }
                auto model = LeapSeconds::from_fields(f);
                if (!model) fail(ErrorKind::Value, model.error().message());
                return PyLeapSeconds{std::move(*model), std::nullopt};
            },
            nb::arg("delta_t_a"), nb::arg("k"), nb::arg("eb"), nb::arg("m"), nb::arg("delta_at"),
            "From the field values: DELTA_AT as (seconds, year, month, day) in kernel order.")
        .def_prop_ro("path", [](const PyLeapSeconds& s) { return s.path; })
        .def_prop_ro("delta_t_a", [](const PyLeapSeconds& s) { return s.model.delta_t_a(); })
        .def_prop_ro("k", [](const PyLeapSeconds& s) { return s.model.k(); })
        .def_prop_ro("eb", [](const PyLeapSeconds& s) { return s.model.eb(); })
        .def_prop_ro("m", [](const PyLeapSeconds& s) { return std::pair{s.model.m0(), s.model.m1()}; })
        .def_prop_ro("delta_at", [](const PyLeapSeconds& s) {
            std::vector<std::tuple<int, int, int, int>> rows;
            for (const LeapStep& st : s.model.steps()) {
                const Civil c = civil_from_days(st.day);
                rows.emplace_back(st.delta_at, static_cast<int>(c.year), c.month, c.day);
            }
            return rows;
        });

    m.def(
        "str_to_et",
        [](const PyLeapSeconds* lsk, std::string_view text, std::string_view default_scale) {
            auto et = text_to_et(model_of(lsk), text, text_scale_of(default_scale));
            if (!et) raise(et.error());
            return *et;
        },
        nb::arg("lsk").none(), nb::arg("text"), nb::arg("default_scale"), "One date string -> ET.");

    m.def(
        "strs_to_et",
        [](const PyLeapSeconds* lsk, nb::typed<nb::sequence, nb::str> seq, std::string_view default_scale,
           F64Out out) {
            const std::optional<Scale> scale = text_scale_of(default_scale);
            if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr())) throw nb::type_error("expected a list or tuple of str");
            // Views into the str objects, kept alive by a tuple of our own
            // while the GIL is released: another thread may change a list
            // meanwhile, but not this tuple.
            nb::object items_owner = nb::steal(PySequence_Tuple(seq.ptr()));
            if (!items_owner.is_valid()) throw nb::python_error();
            const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(items_owner.ptr()));
            same_length(n, out.shape(0));
            std::vector<std::string_view> views(n);
            PyObject** items = &PyTuple_GET_ITEM(items_owner.ptr(), 0);
            for (std::size_t i = 0; i < n; ++i) {
                if (!PyUnicode_Check(items[i]))
                    throw nb::type_error(("element " + std::to_string(i) + " is a " + Py_TYPE(items[i])->tp_name +
                                          ", not a str")
                                             .c_str());
                Py_ssize_t len = 0;
                const char* p = PyUnicode_AsUTF8AndSize(items[i], &len);
                if (!p) throw nb::python_error();
                views[i] = std::string_view(p, static_cast<std::size_t>(len));
            }
            const LeapSeconds* model = model_of(lsk);
            double* o = out.data();
            std::optional<ArrayError> err;
            {
                std::optional<nb::gil_scoped_release> release;
                if (n >= RELEASE_GIL_FROM) release.emplace();
                if (auto r = views_to_et(model, views.data(), n, scale, o); !r) err.emplace(std::move(r.error()));
            }
            if (err) raise(*err, n);
        },
        nb::arg("lsk").none(), nb::arg("texts"), nb::arg("default_scale"), nb::arg("out"),
        "A list or tuple of date strings -> ET, into `out`.");

    auto fixed = [](const PyLeapSeconds* lsk, const void* data, std::size_t n, std::size_t width, int unit,
                    std::string_view default_scale, F64Out out) {
        const std::optional<Scale> scale = text_scale_of(default_scale);
        same_length(n, out.shape(0));
        const LeapSeconds* model = model_of(lsk);
        double* o = out.data();
        std::optional<ArrayError> err;
        {
            std::optional<nb::gil_scoped_release> release;
            if (n >= RELEASE_GIL_FROM) release.emplace();
            if (auto r = fixed_strings_to_et(model, data, n, width, unit, scale, o); !r) err.emplace(std::move(r.error()));
        }
        if (err) raise(*err, n);
    };
    m.def(
        "ucs4_to_et",
        [fixed](const PyLeapSeconds* lsk, nb::ndarray<const std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> a,
                std::string_view default_scale, F64Out out) {
            fixed(lsk, a.data(), a.shape(0), a.shape(1), 4, default_scale, out);
        },
        nb::arg("lsk").none(), nb::arg("codes"), nb::arg("default_scale"), nb::arg("out"),
        "A NumPy str array viewed as uint32 rows (n, width) -> ET.");
    m.def(
        "bytes_to_et",
        [fixed](const PyLeapSeconds* lsk, nb::ndarray<const std::uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> a,
                std::string_view default_scale, F64Out out) {
            fixed(lsk, a.data(), a.shape(0), a.shape(1), 1, default_scale, out);
        },
        nb::arg("lsk").none(), nb::arg("codes"), nb::arg("default_scale"), nb::arg("out"),
        "A NumPy bytes array viewed as uint8 rows (n, width) -> ET.");

    m.def(
        "scale_to_et",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In in, F64Out out) {
            const Scale scale = scale_of(scale_name);
            const LeapSeconds* model = model_of(lsk);
            map_each(in, out, [&](auto x) { return scale_to_et(model, scale, x); });
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("values"), nb::arg("out"),
        "Seconds past J2000 in `scale` -> ET.");
    m.def(
        "et_to_scale",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In in, F64Out out) {
            const Scale scale = scale_of(scale_name);
            const LeapSeconds* model = model_of(lsk);
            map_each(in, out, [&](auto x) { return et_to_scale(model, scale, x); });
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("et"), nb::arg("out"), "ET -> seconds past J2000 in `scale`.");
    m.def(
        "jd_to_et",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In jd1, F64In jd2, F64Out out) {
            const Scale scale = scale_of(scale_name);
            same_length(jd1.shape(0), jd2.shape(0));
            same_length(jd1.shape(0), out.shape(0));
            const LeapSeconds* model = model_of(lsk);
            const double *a = jd1.data(), *b = jd2.data();
            double* o = out.data();
            for_each(jd1.shape(0), [&](std::size_t i) -> std::optional<TimeError> {
                auto r = jd_to_et(model, scale, a[i], b[i]);
                if (!r) return std::move(r.error());
                o[i] = *r;
                return std::nullopt;
            });
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("jd1"), nb::arg("jd2"), nb::arg("out"),
        "Julian date pairs of `scale` -> ET.");
    m.def(
        "et_to_jd",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In in, F64Out jd1, F64Out jd2) {
            const Scale scale = scale_of(scale_name);
            same_length(in.shape(0), jd1.shape(0));
            same_length(in.shape(0), jd2.shape(0));
            const LeapSeconds* model = model_of(lsk);
            const double* x = in.data();
            double *a = jd1.data(), *b = jd2.data();
            for_each(in.shape(0), [&](std::size_t i) -> std::optional<TimeError> {
                auto r = et_to_jd(model, scale, x[i]);
                if (!r) return std::move(r.error());
                a[i] = r->first;
                b[i] = r->second;
                return std::nullopt;
            });
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("et"), nb::arg("jd1"), nb::arg("jd2"),
        "ET -> Julian date pairs of `scale` (whole day, fraction in [-0.5, 0.5]).");
    m.def(
        "et_to_iso",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In in, int digits, bool day_of_year,
           nb::ndarray<std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> out) {
            const Scale scale = scale_of(scale_name);
            const DateStyle style = day_of_year ? DateStyle::DayOfYear : DateStyle::Calendar;
            if (digits < 0 || digits > MAX_DIGITS)
                fail(ErrorKind::Value, "digits must be 0 to " + std::to_string(MAX_DIGITS) + ", not " + std::to_string(digits));
            same_length(in.shape(0), out.shape(0));
            if (out.shape(1) != iso_max_width(style, digits)) fail(ErrorKind::Value, "output rows have the wrong width");
            return format_rows_of(in, out, [&](const LeapSeconds* model, const double* x, std::size_t n, char32_t* o) {
                return format_iso_array(model, scale, x, n, digits, style, o, iso_max_width(style, digits));
            }, lsk);
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("et"), nb::arg("digits"), nb::arg("day_of_year"), nb::arg("out"),
        "ET -> ISO 8601 dates of `scale` as UCS-4 rows (n, width) padded with NUL, to be viewed as a str array; "
        "returns the length of the longest.");
    m.def(
        "et_to_calendar",
        [](const PyLeapSeconds* lsk, std::string_view scale_name, F64In in, int digits,
           nb::ndarray<std::uint32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> out) {
            const Scale scale = scale_of(scale_name);
            if (digits < 0 || digits > MAX_DIGITS)
                fail(ErrorKind::Value, "digits must be 0 to " + std::to_string(MAX_DIGITS) + ", not " + std::to_string(digits));
            same_length(in.shape(0), out.shape(0));
            if (out.shape(1) != CALENDAR_WIDTH) fail(ErrorKind::Value, "output rows have the wrong width");
            return format_rows_of(in, out, [&](const LeapSeconds* model, const double* x, std::size_t n, char32_t* o) {
                return format_calendar_array(model, scale, x, n, digits, o, CALENDAR_WIDTH);
            }, lsk);
        },
        nb::arg("lsk").none(), nb::arg("scale"), nb::arg("et"), nb::arg("digits"), nb::arg("out"),
        "ET -> the toolkit's calendar dates ('2026 DEC 07 12:30:00.125', '13200 B.C. JAN 01 ...') as UCS-4 rows "
        "(n, calendar_width()) padded with NUL; returns the length of the longest.");
    m.def("calendar_width", [] { return CALENDAR_WIDTH; }, "Code units of a row of et_to_calendar.");
    m.def("iso_width",
          [](int digits, bool day_of_year) {
              return iso_max_width(day_of_year ? DateStyle::DayOfYear : DateStyle::Calendar, digits < 0 ? 0 : digits);
          },
          nb::arg("digits"), nb::arg("day_of_year"),
          "Code units of a row of et_to_iso: the longest ISO date with `digits` decimals (a year of a sign and "
          "five digits).");
    m.def(
        "datetime64_to_et",
        [](const PyLeapSeconds* lsk, I64In in, std::int64_t ticks_per_second, F64Out out) {
            const LeapSeconds* model = model_of(lsk);
            map_each(in, out, [&](auto x) { return datetime64_to_et(model, x, ticks_per_second); });
        },
        nb::arg("lsk").none(), nb::arg("ticks"), nb::arg("ticks_per_second"), nb::arg("out"),
        "datetime64 ticks (UTC since 1970; negative ticks_per_second: seconds per tick) -> ET; NaT -> NaN.");
    m.def(
        "et_to_datetime64",
        [](const PyLeapSeconds* lsk, F64In in, std::int64_t ticks_per_second, I64Out out) {
            const LeapSeconds* model = model_of(lsk);
            map_each(in, out, [&](auto x) { return et_to_datetime64(model, x, ticks_per_second); });
        },
        nb::arg("lsk").none(), nb::arg("et"), nb::arg("ticks_per_second"), nb::arg("out"),
        "ET -> datetime64 ticks of UTC (a leap second holds at the day's last tick); NaN -> NaT.");
}

}  // namespace kernwerk::ext
