// The `_native` extension module: initialisation, registration and the class
// bodies. Conversions, binding and error mapping live in binder.hpp.

#include "binder.hpp"

#include <atomic>
#include <cmath>
#include <expected>
#include <string>
#include <string_view>

#include "daf/chebyshev.hpp"
#include "daf/daf.hpp"
#include "math/rotation.hpp"
#include "text/naif_ids.hpp"
#include "pck/pck.hpp"
#include "spk/spk.hpp"
#include "spk/lanes.hpp"
#include "spk/writer.hpp"
#include "text/text_kernel.hpp"

using namespace kernwerk;
using namespace kernwerk::py;

namespace {

// Raises a core error as RuntimeError carrying its message unchanged.
template <typename E>
std::nullptr_t raise_core_runtime(const E& err) {
    return raise_runtime(err.message());
}

// ===========================================================================
// Module functions: the built-in body table and text-kernel bindings. Their
// core errors (NaifIdError, TextKernelError) become ValueError.

PyObject* naif_bodn2c(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"name"};
        static const Signature sig{"naif_bodn2c()", names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view name;
        if (!to_str(argv[0], "name", name)) return nullptr;
        const auto code = bodn2c(name);
        if (!code) return raise_value(code.error().message());
        return PyLong_FromLong(*code);
    });
}

PyObject* naif_bodc2n(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"code"};
        static const Signature sig{"naif_bodc2n()", names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        std::int32_t code = 0;
        if (!to_i32(argv[0], "code", code)) return nullptr;
        const auto name = bodc2n(code);
        if (!name) return raise_value(name.error().message());
        return str_from(*name);
    });
}

PyObject* naif_parse_text_kernel_bindings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path"};
        static const Signature sig{"naif_parse_text_kernel_bindings()", names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        const auto bindings = parse_body_bindings(std::string(path));
        if (!bindings) return raise_value(bindings.error().message());
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(bindings->size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < bindings->size(); ++i) {
            const BodyBinding& b = (*bindings)[i];
            PyObject* name = str_from(b.name);
            PyObject* item = name ? Py_BuildValue("(Ni)", name, b.code) : nullptr;
            if (!item) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

PyMethodDef naif_bodn2c_def = {
    "naif_bodn2c", as_method(naif_bodn2c),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_bodn2c(name)\n--\n\n"
    "Look up a NAIF body ID by name in the built-in body-code table\n"
    "(CSpice's full 692-entry zzidmap). Raises `ValueError` when the name\n"
    "is not present; kernel-supplied bindings are handled separately on\n"
    "the Python side and take precedence over this table."};

PyMethodDef naif_bodc2n_def = {
    "naif_bodc2n", as_method(naif_bodc2n),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_bodc2n(code)\n--\n\n"
    "Reverse: NAIF ID \u2192 canonical built-in body name. Raises `ValueError`\n"
    "for IDs outside the built-in table."};

PyMethodDef naif_parse_text_kernel_bindings_def = {
    "naif_parse_text_kernel_bindings",
    as_method(naif_parse_text_kernel_bindings),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_parse_text_kernel_bindings(path)\n--\n\n"
    "Parse a SPICE text kernel (.tk/.tf/.tpc/.ti) and return the ordered\n"
    "list of `NAIF_BODY_NAME` \u2194 `NAIF_BODY_CODE` bindings it declares, as\n"
    "`[(name, code), ...]`. Non-body assignments are ignored. Returns an\n"
    "empty list if the file contains no `\\begindata` blocks with body\n"
    "bindings. Raises `ValueError` on parse errors or mismatched array\n"
    "lengths."};

// ===========================================================================
// Kernel readers

// A kernel truncated or rewritten in place by another process while it is
// open makes reads of the vanished pages fault; the core's guard maps zeros
// there and marks the file changed (DafFile::changed). Every call that read
// through a reader ends with this check: a result or an error computed from
// a changed file is discarded and the change is raised instead, as the
// RuntimeError of the readers' other I/O errors.
std::expected<void, DafError> unchanged(const SpkFile& file) { return file.check_unchanged(); }

std::expected<void, DafError> unchanged(const PckFile& file) {
    // All Type 2 segments of a file share its one mapping.
    for (const PckSegment& seg : file.segments())
        if (seg.type2) return seg.type2->daf.check_unchanged();
    return {};
}

template <typename Core>
PyObject* finish_query(const Core& core, PyObject* result) {
    auto ok = unchanged(core);
    if (ok) return result;
    Py_XDECREF(result);
    PyErr_Clear();
    return raise_core_runtime(ok.error());
}

// The constructor of a reader class: binds and converts `path`, opens the
// DAF file and builds the core reader (`Core::open`) and wraps it in a new
// instance. A failure at any step raises RuntimeError with the core error's
// message (a DAF error unprefixed) and leaves nothing open. Core::open reads
// the file's structure with pread and checks the file's length before it
// closes the descriptor, so a file cut during the open is reported there;
// nothing was read through the mapping that a check of it could discard.
template <typename Core>
PyObject* open_reader(const Signature& sig, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!bind(sig, args, kwargs, argv)) return nullptr;
    std::string_view path;
    if (!to_str(argv[0], "path", path)) return nullptr;
    auto file = Core::open(std::string(path));
    if (!file) return raise_core_runtime(file.error());
    return make_instance(type, std::move(*file));
}

// ===========================================================================
// NaifSpk

using SpkInstance = Instance<SpkFile>;
PyTypeObject* g_spk_type = nullptr;

PyObject* spk_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    static const Signature sig{"NaifSpk.__new__()", names, 1, 1};
    return guarded([&]() -> PyObject* { return open_reader<SpkFile>(sig, type, args, kwargs); });
}

PyObject* spk_segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"NaifSpk.segments()", nullptr, 0, 0};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkFile> b(self, false);
        if (!b) return nullptr;
        const auto& segs = b.core().segments();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(segs.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < segs.size(); ++i) {
            const SpkSegment& s = segs[i];
            PyObject* name = str_from(s.name);
            PyObject* item = name ? Py_BuildValue("(iiiiddN)", s.target, s.center, s.frame, s.data_type, s.start_et,
                                                  s.end_et, name)
                                  : nullptr;
            if (!item) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

// ValueError naming the frame exactly as passed (an embedded NUL included).
std::nullptr_t raise_unsupported_frame(std::string_view name) {
    return raise_value("unsupported NAIF frame: " + std::string(name) + " (supported: J2000, ECLIPJ2000)");
}

// state(target, center, et): one J2000 state as a tuple of six floats.
PyObject* spk_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"target", "center", "et"};
        static const Signature sig{"NaifSpk.state()", names, 3, 3};
        PyObject* argv[3];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkFile> b(self, false);
        if (!b) return nullptr;
        std::int32_t target = 0, center = 0;
        double et = 0.0;
        if (!to_i32(argv[0], "target", target) || !to_i32(argv[1], "center", center) || !to_f64(argv[2], "et", et))
            return nullptr;
        auto st = b.core().state(target, center, et);
        return finish_query(b.core(), st ? state_tuple(st->data()) : raise_core_runtime(st.error()));
    });
}

// The batch shared by state_batch and state_batch_in_frame: one row of six
// doubles per epoch, written straight into a new (N, 6) array by the core's
// planned batch. `ets` is read in place; the first failing epoch discards
// the array and raises.
PyObject* spk_state_rows(const SpkFile& file, std::int32_t target, std::int32_t center, InertialFrame frame,
                         const ArrayView& ets) {
    const npy_intp n = ets.len();
    const npy_intp dims[2] = {n, 6};
    PyArrayObject* out = new_array(2, dims);
    if (!out) return nullptr;
    auto failed = file.state_rows(target, center, frame, ets.data, ets.strides[0], static_cast<std::size_t>(n),
                                  array_data(out));
    if (failed) {
        Py_DECREF(out);
        return raise_core_runtime(failed->error);
    }
    return reinterpret_cast<PyObject*>(out);
}

// state_batch(target, center, ets): an (N, 6) array of J2000 states.
PyObject* spk_state_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"target", "center", "ets"};
        static const Signature sig{"NaifSpk.state_batch()", names, 3, 3};
        PyObject* argv[3];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkFile> b(self, false);
        if (!b) return nullptr;
        std::int32_t target = 0, center = 0;
        ArrayView ets;
        if (!to_i32(argv[0], "target", target) || !to_i32(argv[1], "center", center) ||
            !to_array(argv[2], "ets", 1, ets))
            return nullptr;
        if (!ets.contiguous()) return raise_not_contiguous();
        const SpkFile& file = b.core();
        return finish_query(file, spk_state_rows(file, target, center, InertialFrame::J2000, ets));
    });
}

// state_batch_in_frame(target, center, ets, frame): the same in the frame
// named exactly "J2000" or "ECLIPJ2000".
PyObject* spk_state_batch_in_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"target", "center", "ets", "frame"};
        static const Signature sig{"NaifSpk.state_batch_in_frame()", names, 4, 4};
        PyObject* argv[4];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkFile> b(self, false);
        if (!b) return nullptr;
        std::int32_t target = 0, center = 0;
        ArrayView ets;
        std::string_view name;
        if (!to_i32(argv[0], "target", target) || !to_i32(argv[1], "center", center) ||
            !to_array(argv[2], "ets", 1, ets) || !to_str(argv[3], "frame", name))
            return nullptr;
        InertialFrame frame;
        if (name == "J2000")
            frame = InertialFrame::J2000;
        else if (name == "ECLIPJ2000")
            frame = InertialFrame::EclipJ2000;
        else
            return raise_unsupported_frame(name);
        if (!ets.contiguous()) return raise_not_contiguous();
        const SpkFile& file = b.core();
        return finish_query(file, spk_state_rows(file, target, center, frame, ets));
    });
}

PyMethodDef spk_methods[] = {
    {"state", as_method(spk_state), METH_FASTCALL | METH_KEYWORDS,
     "state($self, target, center, et)\n--\n\n"},
    {"state_batch", as_method(spk_state_batch),
     METH_FASTCALL | METH_KEYWORDS, "state_batch($self, target, center, ets)\n--\n\n"},
    {"state_batch_in_frame", as_method(spk_state_batch_in_frame),
     METH_FASTCALL | METH_KEYWORDS,
     "state_batch_in_frame($self, target, center, ets, frame)\n--\n\n"
     "Batched state lookup with an explicit NAIF output frame. Accepts\n"
     "\"J2000\" or \"ECLIPJ2000\" (case-sensitive to match CSPICE)."},
    {"segments", as_method(spk_segments), METH_FASTCALL | METH_KEYWORDS, "segments($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot spk_slots[] = {
    {Py_tp_doc, const_cast<char*>("NaifSpk(path)\n--\n\n"
                                  "Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to\n"
                                  "clone internally) and evaluates states at TDB ephemeris-time seconds.")},
    {Py_tp_new, reinterpret_cast<void*>(spk_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SpkFile>)},
    {Py_tp_methods, spk_methods},
    {0, nullptr},
};

PyType_Spec spk_spec = {"builtins.NaifSpk", sizeof(SpkInstance), 0, Py_TPFLAGS_DEFAULT, spk_slots};

// ===========================================================================
// NaifSpkWriter

using WriterInstance = Instance<SpkWriter>;
PyTypeObject* g_writer_type = nullptr;

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"locifn"};
        static const Signature sig{"NaifSpkWriter.__new__()", names, 1, 0};
        PyObject* argv[1];
        if (!bind(sig, args, kwargs, argv)) return nullptr;
        std::string_view locifn = "kernwerk";
        if (argv[0] && !to_str(argv[0], "locifn", locifn)) return nullptr;
        return make_instance(type, SpkWriter::new_spk(locifn));
    });
}

// Copies a 2-D array into `out` in row-major logical order, whatever its
// strides: one block when the whole array is C-contiguous, one block per row
// when a row's elements are adjacent, element by element otherwise.
void copy_rows(const ArrayView& a, double* out) noexcept {
    const npy_intp rows = a.shape[0], cols = a.shape[1];
    if (rows == 0 || cols == 0) return;
    constexpr auto kDouble = static_cast<npy_intp>(sizeof(double));
    const auto row_bytes = static_cast<std::size_t>(cols) * sizeof(double);
    if (a.strides[1] == kDouble && (rows == 1 || a.strides[0] == cols * kDouble)) {
        std::memcpy(out, a.data, static_cast<std::size_t>(rows) * row_bytes);
    } else if (a.strides[1] == kDouble) {
        for (npy_intp r = 0; r < rows; ++r, out += cols) std::memcpy(out, a.data + r * a.strides[0], row_bytes);
    } else {
        for (npy_intp r = 0; r < rows; ++r)
            for (npy_intp c = 0; c < cols; ++c) *out++ = a.at(r, c);
    }
}

PyObject* writer_add_type3(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"target", "center", "frame_id", "start_et", "end_et",
                                            "segment_id", "init", "intlen", "records_coeffs"};
        static const Signature sig{"NaifSpkWriter.add_type3()", names, 9, 9};
        PyObject* argv[9];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkWriter> b(self, true);
        if (!b) return nullptr;
        Type3Layout seg;
        std::string_view id;
        ArrayView coeffs;
        if (!to_i32(argv[0], "target", seg.target) || !to_i32(argv[1], "center", seg.center) ||
            !to_i32(argv[2], "frame_id", seg.frame_id) || !to_f64(argv[3], "start_et", seg.start_et) ||
            !to_f64(argv[4], "end_et", seg.end_et) || !to_str(argv[5], "segment_id", id) ||
            !to_f64(argv[6], "init", seg.init) || !to_f64(argv[7], "intlen", seg.intlen) ||
            !to_array(argv[8], "records_coeffs", 2, coeffs))
            return nullptr;

        const npy_intp rows = coeffs.shape[0], cols = coeffs.shape[1];
        if (cols < 8)
            return raise_value("records_coeffs must have \xE2\x89\xA5 2+6 columns (mid, radius, then \xE2\x89\xA5"
                               "1 coef per component)");
        if ((cols - 2) % 6 != 0) return raise_value("records_coeffs row length - 2 must be a multiple of 6");

        // Each row is one record exactly as the file holds it: mid, radius,
        // then n coefficients each of x, y, z, vx, vy, vz. The rows are
        // copied once, straight into the writer's storage.
        seg.coefficients = static_cast<std::size_t>((cols - 2) / 6);
        seg.words = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
        seg.segment_id.assign(id);
        auto ok = b.core().add_type3_from(seg, [&](double* dst) { copy_rows(coeffs, dst); });
        if (!ok) return raise_core_runtime(ok.error());
        Py_RETURN_NONE;
    });
}

PyObject* writer_add_type9(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"target", "center", "frame_id", "start_et", "end_et",
                                            "segment_id", "degree", "states", "epochs"};
        static const Signature sig{"NaifSpkWriter.add_type9()", names, 9, 9};
        PyObject* argv[9];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkWriter> b(self, true);
        if (!b) return nullptr;
        Type9Layout seg;
        std::string_view id;
        ArrayView states, epochs;
        if (!to_i32(argv[0], "target", seg.target) || !to_i32(argv[1], "center", seg.center) ||
            !to_i32(argv[2], "frame_id", seg.frame_id) || !to_f64(argv[3], "start_et", seg.start_et) ||
            !to_f64(argv[4], "end_et", seg.end_et) || !to_str(argv[5], "segment_id", id) ||
            !to_i32(argv[6], "degree", seg.degree) || !to_array(argv[7], "states", 2, states) ||
            !to_array(argv[8], "epochs", 1, epochs))
            return nullptr;

        if (states.shape[1] != 6) return raise_value("states must have shape (N, 6)");
        if (!epochs.contiguous()) return raise_not_contiguous();
        if (states.shape[0] != epochs.len()) return raise_value("states rows must match epochs length");

        const auto n = static_cast<std::size_t>(epochs.len());
        seg.states = n * 6;
        seg.epochs = n;
        seg.segment_id.assign(id);
        auto ok = b.core().add_type9_from(seg, [&](double* st, double* ep) {
            copy_rows(states, st);
            if (n > 0) std::memcpy(ep, epochs.data, n * sizeof(double));
        });
        if (!ok) return raise_core_runtime(ok.error());
        Py_RETURN_NONE;
    });
}

PyObject* writer_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path"};
        static const Signature sig{"NaifSpkWriter.write()", names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<SpkWriter> b(self, false);
        if (!b) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        auto ok = b.core().write(std::string(path));
        if (!ok) return raise_core_runtime(ok.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef writer_methods[] = {
    {"add_type3", as_method(writer_add_type3),
     METH_FASTCALL | METH_KEYWORDS,
     "add_type3($self, target, center, frame_id, start_et, end_et, segment_id, init, intlen, records_coeffs)\n--\n\n"
     "Append a Type 3 segment.\n\n"
     "`records_coeffs` is shape (n_records, 2 + 6*(degree+1)) where each\n"
     "row is [mid, radius, x[0..N], y[0..N], z[0..N], vx[0..N], vy[0..N], vz[0..N]]."},
    {"add_type9", as_method(writer_add_type9),
     METH_FASTCALL | METH_KEYWORDS,
     "add_type9($self, target, center, frame_id, start_et, end_et, segment_id, degree, states, epochs)\n--\n\n"
     "Append a Type 9 (Lagrange, unequal time steps) segment.\n\n"
     "`states` is shape (N, 6) [x, y, z, vx, vy, vz]; `epochs` is shape (N,)."},
    {"write", as_method(writer_write),
     METH_FASTCALL | METH_KEYWORDS, "write($self, path)\n--\n\nWrite the assembled SPK to `path` (atomic rename)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("NaifSpkWriter(locifn=\"kernwerk\")\n--\n\n"
                                  "Pure-native SPK writer. Emits a DAF/SPK file with one or more Type 3\n"
                                  "(Chebyshev position+velocity) and/or Type 9 (Lagrange) segments. All\n"
                                  "bytes are assembled in memory and committed with an atomic rename,\n"
                                  "so partial files never survive a crash.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SpkWriter>)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {"builtins.NaifSpkWriter", sizeof(WriterInstance), 0, Py_TPFLAGS_DEFAULT, writer_slots};

// ===========================================================================
// NaifPck

// Rotations and state transforms between an inertial frame (J2000 or
// ECLIPJ2000) and ITRF93, built from the Euler angles of a binary PCK.
struct NaifPck {
    // A Python exception to raise: its type and message. Produced only on the
    // failure path, so the per-epoch loops stay free of allocation.
    struct Failure {
        PyObject* type;
        std::string message;
    };

    // The PCK body frame code of ITRF93.
    static constexpr std::int32_t kItrf93 = 3000;

    static bool is_inertial(std::string_view name) noexcept { return name == "J2000" || name == "ECLIPJ2000"; }

    // The direction and the inertial frame of a frame pair.
    struct Pair {
        bool forward;  // inertial -> ITRF93
        InertialFrame frame;
        std::string_view inertial;
    };

    // The checks of the frame names, in this order: the frame pair, then the
    // body-fixed name. Names are compared byte for byte (case-sensitive,
    // untrimmed).
    static std::expected<Pair, Failure> resolve(std::string_view from, std::string_view to) {
        const bool from_inertial = is_inertial(from), to_inertial = is_inertial(to);
        if (from_inertial && to_inertial)
            return std::unexpected(Failure{PyExc_ValueError,
                                           "frame pair " + std::string(from) + " -> " + std::string(to) +
                                               ": both sides are inertial; this reader only handles "
                                               "body-fixed\u2194inertial pairs"});
        if (!from_inertial && !to_inertial)
            return std::unexpected(Failure{PyExc_ValueError, "frame pair " + std::string(from) + " -> " +
                                                                 std::string(to) +
                                                                 ": neither side is inertial; one must be J2000 "
                                                                 "or ECLIPJ2000"});
        const bool forward = from_inertial;
        const std::string_view body = forward ? to : from;
        const std::string_view inertial = forward ? from : to;
        if (body != "ITRF93")
            return std::unexpected(
                Failure{PyExc_ValueError, "unsupported body-fixed frame: " + std::string(body) + " (supported: ITRF93)"});
        return Pair{forward, inertial == "J2000" ? InertialFrame::J2000 : InertialFrame::EclipJ2000, inertial};
    }

    // The transforms of one frame pair at successive epochs: the pair is
    // resolved once, the PCK segment once per run of epochs, M once per
    // segment. Per epoch the checks come in the order of a single call: the
    // PCK evaluation (coverage, type, record), then the segment's reference
    // frame.
    class Series {
    public:
        Series(const PckFile& pck, const Pair& pair) : pair_(pair), cursor_(pck, kItrf93) {}

        // The segment for `et` and M for it.
        std::expected<const PckType2*, Failure> segment(double et) {
            const PckSegment* seg = cursor_.find(et);
            if (!seg) return std::unexpected(Failure{PyExc_RuntimeError, PckError::no_coverage(et, kItrf93).message()});
            if (!seg->type2)
                return std::unexpected(
                    Failure{PyExc_RuntimeError, PckError::unsupported_type(seg->data_type).message()});
            seg_ = seg;
            return &*seg->type2;
        }
        std::expected<const Mat3*, Failure> reference_rotation() {
            if (!have_m_ || m_ref_ != seg_->ref_frame) {
                m_ = pck_reference_rotation(seg_->ref_frame, pair_.frame);
                m_ref_ = seg_->ref_frame;
                have_m_ = true;
            }
            if (!m_)
                return std::unexpected(Failure{PyExc_ValueError, "unsupported PCK reference frame " +
                                                                     std::to_string(seg_->ref_frame) +
                                                                     "; expected 1 (J2000) or 17 (ECLIPJ2000) with "
                                                                     "target " +
                                                                     std::string(pair_.inertial)});
            return &*m_;
        }

        // The segment and record of each epoch up to kLead + 4 places ahead
        // of `k`, found once (a ring of the last kRing epochs), the record
        // requested as it is found and read when its group is evaluated.
        static constexpr npy_intp kRing = 16, kLead = 8;
        void look_ahead(const ArrayView& ets, npy_intp k, npy_intp n) noexcept {
            const npy_intp until = std::min(n, k + kLead + 4);
            for (; filled_ < until; ++filled_) {
                const double et = ets.at(filled_);
                const PckSegment* seg = cursor_.find(et);
                const double* rec = nullptr;
                if (seg && seg->type2) {
                    const PckType2& t = *seg->type2;
                    rec = chebyshev_record_or_null(t.daf, t.init, t.intlen, t.rsize, t.n, t.begin, et);
                    prefetch_words(rec, t.rsize);
                }
                ring_seg_[filled_ % kRing] = seg;
                ring_rec_[filled_ % kRing] = rec;
            }
        }

        // The Euler states of epochs k..k+3 (`ets`, after look_ahead up to k)
        // evaluated side by side (the records may lie in different
        // segments), and M for them. False, with nothing reported, when any
        // of the four needs the per-epoch path: no covering Type 2 segment,
        // one coefficient, a record outside the file, RADIUS 0, coefficient
        // counts or reference frames that differ between the four, or a
        // reference frame without M. The per-epoch path then reports the
        // first failure in order.
        bool euler4(npy_intp k, const double* ets, EulerState* e, const Mat3*& m) {
            const double* recs[4];
            std::uint64_t nc = 0;
            std::int32_t ref = 0;
            for (int l = 0; l < 4; ++l) {
                const PckSegment* seg = ring_seg_[(k + l) % kRing];
                recs[l] = ring_rec_[(k + l) % kRing];
                if (!seg || !recs[l]) return false;
                const PckType2& t = *seg->type2;  // a record comes only from a Type 2 segment
                if (l == 0) {
                    nc = t.ncoef, ref = seg->ref_frame;
                    if (nc < 2) return false;
                } else if (t.ncoef != nc || seg->ref_frame != ref) {
                    return false;
                }
                if (recs[l][1] == 0.0) return false;
                seg_ = seg;
            }
            auto mm = reference_rotation();
            if (!mm) return false;
            m = *mm;
            double rows[24];
            lanes::type2_rows4(recs, static_cast<std::size_t>(nc), ets, rows);
            for (int l = 0; l < 4; ++l)
                for (int j = 0; j < 6; ++j) e[l][j] = rows[6 * l + j];
            return true;
        }

        // The transforms of an Euler state `e` with M (from euler4): the
        // arithmetic of sxform and pxform after their checks.
        Mat6 sxform_of(const Mat3& m, const EulerState& e) const noexcept {
            const Mat6 x = pck_inertial_to_body_sxform(m, e);
            return pair_.forward ? x : invert_sxform(x);
        }
        // sxform_of written row by row into out[0..36).
        void sxform_into(const Mat3& m, const EulerState& e, double* out) const noexcept {
            if (pair_.forward) return pck_inertial_to_body_sxform(m, e, out);
            const Mat6 x = invert_sxform(pck_inertial_to_body_sxform(m, e));
            for (int i = 0; i < 6; ++i)
                for (int j = 0; j < 6; ++j) out[i * 6 + j] = x[i][j];
        }
        Mat3 pxform_of(const Mat3& m, const EulerState& e) const noexcept {
            return oriented(pck_inertial_to_body_pxform(pck_euler_rotation(e[0], e[1], e[2]), m));
        }
        // A rotation into the body frame as the pair asks for it: itself, or
        // its transpose for the way back.
        Mat3 oriented(const Mat3& x) const noexcept {
            if (pair_.forward) return x;
            Mat3 t;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) t[i][j] = x[j][i];
            return t;
        }

        // The 6x6 transform of the pair at `et`.
        std::expected<Mat6, Failure> sxform(double et) {
            auto t2 = segment(et);
            if (!t2) return std::unexpected(std::move(t2.error()));
            auto e = (*t2)->evaluate(et);
            if (!e) return std::unexpected(Failure{PyExc_RuntimeError, e.error().message()});
            auto m = reference_rotation();
            if (!m) return std::unexpected(std::move(m.error()));
            const Mat6 x = pck_inertial_to_body_sxform(**m, *e);
            return pair_.forward ? x : invert_sxform(x);
        }

        // Its upper-left 3x3 block, from the angles alone.
        std::expected<Mat3, Failure> pxform(double et) {
            auto t2 = segment(et);
            if (!t2) return std::unexpected(std::move(t2.error()));
            auto a = (*t2)->angles(et);
            if (!a) return std::unexpected(Failure{PyExc_RuntimeError, a.error().message()});
            auto m = reference_rotation();
            if (!m) return std::unexpected(std::move(m.error()));
            return oriented(pck_inertial_to_body_pxform(pck_euler_rotation((*a)[0], (*a)[1], (*a)[2]), **m));
        }

    private:
        Pair pair_;
        PckSegmentCursor cursor_;
        const PckSegment* seg_ = nullptr;
        const PckSegment* ring_seg_[kRing] = {};
        const double* ring_rec_[kRing] = {};
        npy_intp filled_ = 0;  // epochs entered into the ring
        std::optional<Mat3> m_;
        std::int32_t m_ref_ = 0;
        bool have_m_ = false;
    };

    // The 6x6 state transform from `from` to `to` at `et`.
    static std::expected<Mat6, Failure> sxform_matrix(const PckFile& pck, std::string_view from, std::string_view to,
                                                      double et) {
        auto pair = resolve(from, to);
        if (!pair) return std::unexpected(std::move(pair.error()));
        Series series(pck, *pair);
        return series.sxform(et);
    }

    static std::nullptr_t raise(const Failure& f) {
        // Built from the UTF-8 bytes with their length: frame names may hold NULs.
        PyObject* text =
            PyUnicode_DecodeUTF8(f.message.data(), static_cast<Py_ssize_t>(f.message.size()), nullptr);
        if (!text) return nullptr;
        PyErr_SetObject(f.type, text);
        Py_DECREF(text);
        return nullptr;
    }

    // apply_sxform of the transform x (row by row): out_i sums x_ij s_j from
    // +0.0 in increasing j. Such a sum is never -0, so a term that is a
    // signed zero changes nothing; when the upper right block of x is zero
    // (as built for finite R and dR) and s_3..s_5 are finite, its three
    // terms in each of the first three sums are such zeros and are skipped.
    static void apply_rows(const double* x, const State& s, double* out) noexcept {
        bool skip = std::isfinite(s[3]) && std::isfinite(s[4]) && std::isfinite(s[5]);
        for (int i = 0; i < 3 && skip; ++i)
            skip = x[i * 6 + 3] == 0.0 && x[i * 6 + 4] == 0.0 && x[i * 6 + 5] == 0.0;
        for (int i = 0; i < 6; ++i) {
            const int last = (skip && i < 3) ? 3 : 6;
            double acc = 0.0;
            for (int j = 0; j < last; ++j) acc = acc + x[i * 6 + j] * s[j];
            out[i] = acc;
        }
    }

    // The (N, 6) array of states[k] carried by the transform at ets[k].
    // `states` is read through its own strides; `ets` must be contiguous.
    static PyObject* rotate_state_batch(const PckFile& pck, std::string_view from, std::string_view to,
                                        const ArrayView& ets, const ArrayView& states) {
        if (!ets.contiguous()) return raise_not_contiguous();
        if (states.shape[1] != 6) return raise_value("states must have shape (N, 6)");
        const npy_intp n = ets.len();
        if (states.shape[0] != n) return raise_value("states and ets must have the same length");
        const npy_intp dims[2] = {n, 6};
        PyArrayObject* out = new_unfilled_array(2, dims);
        if (!out) return nullptr;
        double* dst = array_data(out);
        if (n == 0) return reinterpret_cast<PyObject*>(out);
        auto pair = resolve(from, to);
        if (!pair) {
            Py_DECREF(out);
            return raise(pair.error());
        }
        Series series(pck, *pair);
        // Four epochs at a time through the lanes where they qualify, epoch
        // by epoch with the checks where they do not.
        for (npy_intp k = 0; k < n; ++k) {
            series.look_ahead(ets, k, n);
            if (k + 4 <= n) {
                const double q[4] = {ets.at(k), ets.at(k + 1), ets.at(k + 2), ets.at(k + 3)};
                EulerState e[4];
                const Mat3* m = nullptr;
                if (series.euler4(k, q, e, m)) {
                    for (int l = 0; l < 4; ++l) {
                        double x[36];
                        series.sxform_into(*m, e[l], x);
                        State row;
                        for (int j = 0; j < 6; ++j) row[j] = states.at(k + l, j);
                        apply_rows(x, row, dst + (k + l) * 6);
                    }
                    k += 3;
                    continue;
                }
            }
            auto x = series.sxform(ets.at(k));
            if (!x) {
                Py_DECREF(out);
                return raise(x.error());
            }
            State row;
            for (int j = 0; j < 6; ++j) row[j] = states.at(k, j);
            const State s = apply_sxform(*x, row);
            for (int j = 0; j < 6; ++j) dst[k * 6 + j] = s[j];
        }
        return reinterpret_cast<PyObject*>(out);
    }
};

using PckInstance = Instance<PckFile>;
PyTypeObject* g_pck_type = nullptr;

PyObject* pck_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    static const Signature sig{"NaifPck.__new__()", names, 1, 1};
    return guarded([&]() -> PyObject* { return open_reader<PckFile>(sig, type, args, kwargs); });
}

PyObject* pck_euler_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"body_frame", "et"};
        static const Signature sig{"NaifPck.euler_state()", names, 2, 2};
        PyObject* argv[2];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<PckFile> b(self, false);
        if (!b) return nullptr;
        std::int32_t body_frame;
        double et;
        if (!to_i32(argv[0], "body_frame", body_frame) || !to_f64(argv[1], "et", et)) return nullptr;
        auto st = b.core().euler_state(body_frame, et);
        return finish_query(b.core(), st ? state_tuple(st->data()) : raise_core_runtime(st.error()));
    });
}

// Converts the (from, to, et) arguments of sxform and pxform and builds the
// transform; nullptr with the exception set on failure.
template <std::size_t Dim>
PyObject* pck_single(const char* display, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static const char* const names[] = {"from", "to", "et"};
    const Signature sig{display, names, 3, 3};
    PyObject* argv[3];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    Borrow<PckFile> b(self, false);
    if (!b) return nullptr;
    std::string_view from, to;
    double et;
    if (!to_str(argv[0], "from", from) || !to_str(argv[1], "to", to) || !to_f64(argv[2], "et", et)) return nullptr;
    auto x = NaifPck::sxform_matrix(b.core(), from, to, et);
    if (!x) return finish_query(b.core(), NaifPck::raise(x.error()));
    const npy_intp dims[2] = {static_cast<npy_intp>(Dim), static_cast<npy_intp>(Dim)};
    PyArrayObject* out = new_array(2, dims);
    if (!out) return nullptr;
    double* dst = array_data(out);
    for (std::size_t i = 0; i < Dim; ++i)
        for (std::size_t j = 0; j < Dim; ++j) dst[i * Dim + j] = (*x)[i][j];
    return finish_query(b.core(), reinterpret_cast<PyObject*>(out));
}

PyObject* pck_sxform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* { return pck_single<6>("NaifPck.sxform()", self, args, nargs, kwnames); });
}

PyObject* pck_pxform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* { return pck_single<3>("NaifPck.pxform()", self, args, nargs, kwnames); });
}

// pxform_batch (Dim 3) and sxform_batch (Dim 6): slice k of the (N, Dim, Dim)
// result is the upper-left Dim x Dim block of the transform at ets[k].
template <std::size_t Dim>
PyObject* pck_batch(const char* display, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static const char* const names[] = {"from", "to", "ets"};
    const Signature sig{display, names, 3, 3};
    PyObject* argv[3];
    if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
    Borrow<PckFile> b(self, false);
    if (!b) return nullptr;
    std::string_view from, to;
    ArrayView ets;
    if (!to_str(argv[0], "from", from) || !to_str(argv[1], "to", to) || !to_array(argv[2], "ets", 1, ets))
        return nullptr;
    if (!ets.contiguous()) return raise_not_contiguous();
    const npy_intp n = ets.len();
    const npy_intp dims[3] = {n, static_cast<npy_intp>(Dim), static_cast<npy_intp>(Dim)};
    PyArrayObject* out = new_unfilled_array(3, dims);
    if (!out) return nullptr;
    double* dst = array_data(out);
    if (n == 0) return finish_query(b.core(), reinterpret_cast<PyObject*>(out));
    auto pair = NaifPck::resolve(from, to);
    if (!pair) {
        Py_DECREF(out);
        return finish_query(b.core(), NaifPck::raise(pair.error()));
    }
    NaifPck::Series series(b.core(), *pair);
    // Four epochs at a time through the lanes where they qualify, epoch by
    // epoch with the checks where they do not.
    for (npy_intp k = 0; k < n; ++k) {
        series.look_ahead(ets, k, n);
        if (k + 4 <= n) {
            const double q[4] = {ets.at(k), ets.at(k + 1), ets.at(k + 2), ets.at(k + 3)};
            EulerState e[4];
            const Mat3* m = nullptr;
            if (series.euler4(k, q, e, m)) {
                for (int l = 0; l < 4; ++l) {
                    double* slice = dst + (k + l) * static_cast<npy_intp>(Dim * Dim);
                    if constexpr (Dim == 3) {
                        const Mat3 x = series.pxform_of(*m, e[l]);
                        for (std::size_t i = 0; i < 3; ++i)
                            for (std::size_t j = 0; j < 3; ++j) slice[i * 3 + j] = x[i][j];
                    } else {
                        series.sxform_into(*m, e[l], slice);
                    }
                }
                k += 3;
                continue;
            }
        }
        const double et = ets.at(k);
        double* slice = dst + k * static_cast<npy_intp>(Dim * Dim);
        if constexpr (Dim == 3) {
            auto x = series.pxform(et);
            if (!x) {
                Py_DECREF(out);
                return finish_query(b.core(), NaifPck::raise(x.error()));
            }
            for (std::size_t i = 0; i < 3; ++i)
                for (std::size_t j = 0; j < 3; ++j) slice[i * 3 + j] = (*x)[i][j];
        } else {
            auto x = series.sxform(et);
            if (!x) {
                Py_DECREF(out);
                return finish_query(b.core(), NaifPck::raise(x.error()));
            }
            for (std::size_t i = 0; i < Dim; ++i)
                for (std::size_t j = 0; j < Dim; ++j) slice[i * Dim + j] = (*x)[i][j];
        }
    }
    return finish_query(b.core(), reinterpret_cast<PyObject*>(out));
}

PyObject* pck_pxform_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* { return pck_batch<3>("NaifPck.pxform_batch()", self, args, nargs, kwnames); });
}

PyObject* pck_sxform_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* { return pck_batch<6>("NaifPck.sxform_batch()", self, args, nargs, kwnames); });
}

PyObject* pck_rotate_state_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"from", "to", "ets", "states"};
        static const Signature sig{"NaifPck.rotate_state_batch()", names, 4, 4};
        PyObject* argv[4];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<PckFile> b(self, false);
        if (!b) return nullptr;
        std::string_view from, to;
        ArrayView ets, states;
        if (!to_str(argv[0], "from", from) || !to_str(argv[1], "to", to) || !to_array(argv[2], "ets", 1, ets) ||
            !to_array(argv[3], "states", 2, states))
            return nullptr;
        return finish_query(b.core(), NaifPck::rotate_state_batch(b.core(), from, to, ets, states));
    });
}

PyObject* pck_segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"NaifPck.segments()", nullptr, 0, 0};
        PyObject* argv[1];
        if (!bind(sig, args, nargs, kwnames, argv)) return nullptr;
        Borrow<PckFile> b(self, false);
        if (!b) return nullptr;
        const auto& segs = b.core().segments();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(segs.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < segs.size(); ++i) {
            const PckSegment& s = segs[i];
            PyObject* name = str_from(s.name);
            PyObject* item = name ? Py_BuildValue("(iiiddN)", s.body_frame, s.ref_frame, s.data_type, s.start_et,
                                                  s.end_et, name)
                                  : nullptr;
            if (!item) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

PyMethodDef pck_methods[] = {
    {"euler_state", as_method(pck_euler_state),
     METH_FASTCALL | METH_KEYWORDS,
     "euler_state($self, body_frame, et)\n--\n\n"
     "Raw Euler-angle evaluation: returns `[RA, DEC, W, dRA, dDEC, dW]`\n"
     "(radians and radians/second) at ET for the requested body-fixed\n"
     "frame. Frame name may be a NAIF string (\"ITRF93\") or the raw\n"
     "numeric body-frame code."},
    {"sxform", as_method(pck_sxform), METH_FASTCALL | METH_KEYWORDS,
     "sxform($self, from, to, et)\n--\n\n"
     "Assemble a 6\u00d76 state-transform matrix mapping a state from\n"
     "`from` to `to` at ET. Equivalent to `sp.sxform(from, to, et)` for\n"
     "the (J2000 \u2194 ITRF93) pair."},
    {"pxform", as_method(pck_pxform), METH_FASTCALL | METH_KEYWORDS,
     "pxform($self, from, to, et)\n--\n\n"
     "Assemble a 3\u00d73 rotation matrix (position-only) mapping from\n"
     "`from` to `to` at ET. Equivalent to `sp.pxform(from, to, et)`."},
    {"pxform_batch", as_method(pck_pxform_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "pxform_batch($self, from, to, ets)\n--\n\n"
     "Batched 3\u00d73 rotation evaluation. Returns shape `(N, 3, 3)` where\n"
     "row `i` is `pxform(from, to, ets[i])`. One native call amortizes the\n"
     "binding boundary cost across all epochs \u2014 intended for per-epoch\n"
     "loops that currently pay that cost per call."},
    {"sxform_batch", as_method(pck_sxform_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "sxform_batch($self, from, to, ets)\n--\n\n"
     "Batched 6\u00d76 state-transform evaluation. Returns shape `(N, 6, 6)`."},
    {"rotate_state_batch", as_method(pck_rotate_state_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "rotate_state_batch($self, from, to, ets, states)\n--\n\n"
     "Apply the 6\u00d76 state transform to a batch of 6-vector states.\n"
     "`ets[i]` and `states[i,:]` are paired; output matches shape of\n"
     "`states`."},
    {"segments", as_method(pck_segments), METH_FASTCALL | METH_KEYWORDS, "segments($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pck_slots[] = {
    {Py_tp_doc, const_cast<char*>("NaifPck(path)\n--\n\n"
                                  "Pure-native binary PCK reader. Opens a DAF/PCK once (mmap-backed,\n"
                                  "cheap to clone internally) and evaluates Euler angles / state\n"
                                  "transforms at TDB ephemeris-time seconds.")},
    {Py_tp_new, reinterpret_cast<void*>(pck_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PckFile>)},
    {Py_tp_methods, pck_methods},
    {0, nullptr},
};

PyType_Spec pck_spec = {"builtins.NaifPck", sizeof(PckInstance), 0, Py_TPFLAGS_DEFAULT, pck_slots};

// ===========================================================================
// Registration

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to the module's __all__, creating the list on first use.
bool append_to_all(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (!all) {
        PyObject* fresh = PyList_New(0);
        if (!fresh || PyDict_SetItemString(dict, "__all__", fresh) < 0) {
            Py_XDECREF(fresh);
            return false;
        }
        Py_DECREF(fresh);
        all = PyDict_GetItemString(dict, "__all__");
    }
    PyObject* text = PyUnicode_FromString(name);
    if (!text) return false;
    const int rc = PyList_Append(all, text);
    Py_DECREF(text);
    return rc == 0;
}

// Adds a module function whose __module__ is "_native" and __self__ the module.
bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* modname = PyUnicode_FromString("_native");
    if (!modname) return false;
    PyObject* fn = PyCFunction_NewEx(def, module, modname);
    Py_DECREF(modname);
    if (!fn) return false;
    if (PyModule_AddObject(module, def->ml_name, fn) < 0) {
        Py_DECREF(fn);
        return false;
    }
    return append_to_all(module, def->ml_name);
}

// Creates the class on first use (kept for the process) and adds it.
bool add_class(PyObject* module, const char* name, PyType_Spec* spec, PyTypeObject*& cached) {
    if (!cached) {
        cached = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
        if (!cached) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
            return false;
        }
    }
    Py_INCREF(cached);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(cached)) < 0) {
        Py_DECREF(cached);
        return false;
    }
    return append_to_all(module, name);
}

// Functions first, then the classes, in the order of __all__:
// naif_bodn2c, naif_bodc2n, naif_parse_text_kernel_bindings, NaifSpk,
// NaifSpkWriter, NaifPck.
bool module_body(PyObject* m) {
    // Module functions.
    if (!add_function(m, &naif_bodn2c_def)) return false;
    if (!add_function(m, &naif_bodc2n_def)) return false;
    if (!add_function(m, &naif_parse_text_kernel_bindings_def)) return false;

    // Classes.
    if (!add_class(m, "NaifSpk", &spk_spec, g_spk_type)) return false;
    if (!add_class(m, "NaifSpkWriter", &writer_spec, g_writer_type)) return false;
    if (!add_class(m, "NaifPck", &pck_spec, g_pck_type)) return false;

    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kernwerk._native does not support sub-interpreters: it can only be imported by the "
                        "interpreter that first imported it");
        return nullptr;
    }
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyObject* m = PyModule_Create2(&g_module_def, 1013);
    if (!m) return nullptr;
    if (!module_body(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    g_module = m;
    Py_INCREF(g_module);
    return m;
}
