// The `_native` extension module: initialisation, registration and the class
// bodies. Conversions, binding and error mapping live in binder.hpp.

#include "binder.hpp"

#include <atomic>

#include "daf.hpp"
#include "spk.hpp"
#include "spk_writer.hpp"

using namespace kernwerk;
using namespace kernwerk::py;

namespace {

// Raises a core error as RuntimeError carrying its message unchanged.
template <typename E>
std::nullptr_t raise_core_runtime(const E& err) {
    return raise_runtime(err.message());
}

// ===========================================================================
// NaifSpk

using SpkInstance = Instance<SpkFile>;
PyTypeObject* g_spk_type = nullptr;

PyObject* spk_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path"};
        static const Signature sig{"NaifSpk.__new__()", names, 1, 1};
        PyObject* argv[1];
        if (!bind(sig, args, kwargs, argv)) return nullptr;
        std::string_view path;
        if (!to_str(argv[0], "path", path)) return nullptr;
        auto daf = DafFile::open(std::string(path));
        if (!daf) return raise_core_runtime(daf.error());
        auto file = SpkFile::from_daf(std::move(*daf));
        if (!file) return raise_core_runtime(file.error());
        return make_instance(type, std::move(*file));
    });
}

PyObject* spk_segments(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
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

PyMethodDef spk_methods[] = {
    {"segments", spk_segments, METH_NOARGS, "segments($self)\n--\n\n"},
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

// Copies `n` values of row `row` from column `col` on. Rows whose elements are
// adjacent are copied as one block; other layouts element by element.
void copy_row(const ArrayView& a, npy_intp row, npy_intp col, npy_intp n, std::vector<double>& out) {
    out.resize(static_cast<std::size_t>(n));
    if (n == 0) return;
    if (a.strides[1] == static_cast<npy_intp>(sizeof(double))) {
        std::memcpy(out.data(), a.data + row * a.strides[0] + col * a.strides[1], static_cast<std::size_t>(n) * 8);
    } else {
        for (npy_intp k = 0; k < n; ++k) out[static_cast<std::size_t>(k)] = a.at(row, col + k);
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
        Type3Segment seg;
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

        // Row layout: mid, radius, then n coefficients each of x, y, z, vx, vy, vz.
        const npy_intp n = (cols - 2) / 6;
        seg.records.resize(static_cast<std::size_t>(rows));
        for (npy_intp r = 0; r < rows; ++r) {
            Type3Record& rec = seg.records[static_cast<std::size_t>(r)];
            rec.mid = coeffs.at(r, 0);
            rec.radius = coeffs.at(r, 1);
            std::vector<double>* parts[6] = {&rec.x, &rec.y, &rec.z, &rec.vx, &rec.vy, &rec.vz};
            for (npy_intp c = 0; c < 6; ++c) copy_row(coeffs, r, 2 + c * n, n, *parts[c]);
        }
        seg.segment_id.assign(id);
        auto ok = b.core().add_type3(std::move(seg));
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
        Type9Segment seg;
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

        const npy_intp n = epochs.len();
        seg.states.resize(static_cast<std::size_t>(n) * 6);
        const bool rows_adjacent = states.strides[1] == static_cast<npy_intp>(sizeof(double));
        const bool all_adjacent = rows_adjacent && (n <= 1 || states.strides[0] == 6 * npy_intp(sizeof(double)));
        if (all_adjacent) {
            if (n > 0) std::memcpy(seg.states.data(), states.data, seg.states.size() * 8);
        } else {
            double* out = seg.states.data();
            for (npy_intp i = 0; i < n; ++i)
                for (npy_intp c = 0; c < 6; ++c) *out++ = states.at(i, c);
        }
        seg.epochs.resize(static_cast<std::size_t>(n));
        if (n > 0) std::memcpy(seg.epochs.data(), epochs.data, static_cast<std::size_t>(n) * 8);
        seg.segment_id.assign(id);
        auto ok = b.core().add_type9(std::move(seg));
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
    {"add_type3", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add_type3)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_type3($self, target, center, frame_id, start_et, end_et, segment_id, init, intlen, records_coeffs)\n--\n\n"
     "Append a Type 3 segment.\n\n"
     "`records_coeffs` is shape (n_records, 2 + 6*(degree+1)) where each\n"
     "row is [mid, radius, x[0..N], y[0..N], z[0..N], vx[0..N], vy[0..N], vz[0..N]]."},
    {"add_type9", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add_type9)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_type9($self, target, center, frame_id, start_et, end_et, segment_id, degree, states, epochs)\n--\n\n"
     "Append a Type 9 (Lagrange, unequal time steps) segment.\n\n"
     "`states` is shape (N, 6) [x, y, z, vx, vy, vz]; `epochs` is shape (N,)."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_write)),
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
[[maybe_unused]] bool add_function(PyObject* module, PyMethodDef* def) {
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

    // Classes.
    if (!add_class(m, "NaifSpk", &spk_spec, g_spk_type)) return false;
    if (!add_class(m, "NaifSpkWriter", &writer_spec, g_writer_type)) return false;

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
