// The `_native` extension module: initialisation, registration and the class
// bodies. Conversions, binding and error mapping live in binder.hpp.

#include "binder.hpp"

#include <atomic>

#include "daf.hpp"
#include "naif_ids.hpp"
#include "spk.hpp"
#include "text_kernel.hpp"

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
    "naif_bodn2c", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(naif_bodn2c)),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_bodn2c(name)\n--\n\n"
    "Look up a NAIF body ID by name in the built-in body-code table\n"
    "(CSpice's full 692-entry zzidmap). Raises `ValueError` when the name\n"
    "is not present; kernel-supplied bindings are handled separately on\n"
    "the Python side and take precedence over this table."};

PyMethodDef naif_bodc2n_def = {
    "naif_bodc2n", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(naif_bodc2n)),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_bodc2n(code)\n--\n\n"
    "Reverse: NAIF ID \u2192 canonical built-in body name. Raises `ValueError`\n"
    "for IDs outside the built-in table."};

PyMethodDef naif_parse_text_kernel_bindings_def = {
    "naif_parse_text_kernel_bindings",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(naif_parse_text_kernel_bindings)),
    METH_FASTCALL | METH_KEYWORDS,
    "naif_parse_text_kernel_bindings(path)\n--\n\n"
    "Parse a SPICE text kernel (.tk/.tf/.tpc/.ti) and return the ordered\n"
    "list of `NAIF_BODY_NAME` \u2194 `NAIF_BODY_CODE` bindings it declares, as\n"
    "`[(name, code), ...]`. Non-body assignments are ignored. Returns an\n"
    "empty list if the file contains no `\\begindata` blocks with body\n"
    "bindings. Raises `ValueError` on parse errors or mismatched array\n"
    "lengths."};

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
