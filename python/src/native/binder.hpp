// The calling convention shared by every entry point of `_native`: argument
// binding with the interpreter's own wording, argument conversions, instance
// borrows, NumPy access, result arrays and the mapping of errors to Python
// exceptions.
//
// This header is included by lib.cpp only, so the whole extension is one
// translation unit and the NumPy API table lives in it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kernwerk_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace kernwerk::py {

// ---------------------------------------------------------------------------
// Internal invariant failures

// A BaseException subclass, so that `except Exception` does not swallow an
// internal failure. Created on first need and kept for the process.
inline PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("_native.PanicException",
                                         "An internal invariant of kernwerk's native module failed.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

// Ends the current call as an internal invariant failure: the text goes to
// standard error and the call raises PanicException with it.
inline std::nullptr_t panic(std::string_view text) {
    if (text.empty()) text = "internal invariant failure in kernwerk._native";
    std::fprintf(stderr, "kernwerk._native: internal invariant failure: %.*s\n", static_cast<int>(text.size()),
                 text.data());
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (type) PyErr_SetString(type, std::string(text).c_str());
    return nullptr;
}

// Runs the body of an entry point; a C++ exception never crosses into the
// interpreter. Memory exhaustion is MemoryError, anything else a panic.
template <typename F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return panic(e.what());
    } catch (...) {
        return panic("");
    }
}

// ---------------------------------------------------------------------------
// Exceptions

// The whole message, an embedded NUL included (a path given as str may hold
// one); bytes that are not UTF-8 are replaced rather than lost.
inline std::nullptr_t raise(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}
inline std::nullptr_t raise_runtime(const std::string& m) { return raise(PyExc_RuntimeError, m); }
inline std::nullptr_t raise_value(const std::string& m) { return raise(PyExc_ValueError, m); }
inline std::nullptr_t raise_type(const std::string& m) { return raise(PyExc_TypeError, m); }

// Replaces a pending TypeError by "argument '{name}': {message}"; any other
// pending error passes unchanged.
inline void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (!text) return;  // the new error from str() stays set
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
}

// The qualified name of an object's type, for conversion messages.
inline std::string type_name_of(PyObject* obj) {
    PyObject* qual = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    std::string out = "<failed to extract type name>";
    if (qual && PyUnicode_Check(qual)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(qual, &n);
        if (s) out.assign(s, static_cast<std::size_t>(n));
    }
    Py_XDECREF(qual);
    PyErr_Clear();
    return out;
}

inline std::nullptr_t raise_cannot_convert(const char* name, PyObject* obj, const char* target) {
    const std::string msg =
        std::string("argument '") + name + "': '" + type_name_of(obj) + "' object cannot be converted to '" + target + "'";
    return raise_type(msg);
}

// ---------------------------------------------------------------------------
// Argument binding

// The declared parameters of one function, method or constructor. `display`
// is "name()" for a module function and "Class.name()" for a method.
struct Signature {
    const char* display;
    const char* const* names;
    int count;
    int required;  // the first `required` parameters have no default
};

namespace detail {

// The `n` missing required parameters, quoted: 'a', 'a' and 'b', or
// 'a', 'b', and 'c'.
inline std::string quoted_list(const Signature& sig, PyObject* const* out, int n) {
    std::string list;
    int listed = 0;
    for (int i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        if (listed > 0) list += (n == 2) ? " and " : (listed == n - 1 ? ", and " : ", ");
        list += std::string("'") + sig.names[i] + "'";
        ++listed;
    }
    return list;
}

inline int find_param(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    return -1;
}

// Keyword `key` with `value`; false with the error set.
inline bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    const int i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
        return false;
    }
    if (i < nargs || out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

inline bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    if (nargs <= sig.count) return true;
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required == sig.count)
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.display, sig.count,
                     nargs, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", sig.display,
                     sig.required, sig.count, nargs, verb);
    return false;
}

inline bool check_missing(const Signature& sig, PyObject* const* out) {
    int n = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) ++n;
    if (n == 0) return true;
    const std::string list = quoted_list(sig, out, n);
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", sig.display, n,
                 n == 1 ? "" : "s", list.c_str());
    return false;
}

}  // namespace detail

// Binds vectorcall arguments to `out` (borrowed references, nullptr for an
// omitted optional parameter). False with TypeError set on failure.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (!detail::check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!detail::bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
    return detail::check_missing(sig, out);
}

// The same for a constructor's argument tuple and keyword dictionary.
inline bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!detail::check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!detail::bind_keyword(sig, key, value, nargs, out)) return false;
    }
    return detail::check_missing(sig, out);
}

// ---------------------------------------------------------------------------
// Scalar conversions. Each returns false with the Python error set.

// A signed 32-bit integer through the integer protocol (int, bool, __index__).
inline bool to_i32(PyObject* obj, const char* name, std::int32_t& out) {
    if (PyLong_CheckExact(obj)) {  // an int is its own index
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out = static_cast<std::int32_t>(v);
        return true;
    }
    PyObject* index = PyNumber_Index(obj);
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

// A 64-bit float: exact floats directly, others through the float protocol.
inline bool to_f64(PyObject* obj, const char* name, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    out = v;
    return true;
}

// A `str` as UTF-8 text (valid while `obj` lives).
inline bool to_str(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(name, obj, "PyString");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
    out = std::string_view(s, static_cast<std::size_t>(n));
    return true;
}

// ---------------------------------------------------------------------------
// NumPy

// Loads NumPy's C-API table on first use. The module itself imports without
// NumPy; only array arguments and results need it.
inline bool ensure_numpy() {
    static bool loaded = false;
    if (loaded) return true;
    PyObject* capsule = nullptr;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy) {
        PyObject* version = PyObject_GetAttrString(numpy, "__version__");
        PyObject* lib = version ? PyImport_ImportModule("numpy.lib") : nullptr;
        PyObject* nv = lib ? PyObject_CallMethod(lib, "NumpyVersion", "O", version) : nullptr;
        PyObject* major = nv ? PyObject_GetAttrString(nv, "major") : nullptr;
        const long m = major ? PyLong_AsLong(major) : -1;
        if (m >= 0) {
            PyObject* multiarray = PyImport_ImportModule(m >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
            if (multiarray) {
                capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
                Py_DECREF(multiarray);
            }
        }
        Py_XDECREF(major);
        Py_XDECREF(nv);
        Py_XDECREF(lib);
        Py_XDECREF(version);
        Py_DECREF(numpy);
    }
    if (!capsule || !PyCapsule_CheckExact(capsule)) {
        Py_XDECREF(capsule);
        PyErr_Clear();
        panic("Failed to access NumPy array API capsule");
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    if (!table) {
        PyErr_Clear();
        panic("Failed to access NumPy array API capsule");
        return false;
    }
    PyArray_API = static_cast<void**>(table);
#if NPY_ABI_VERSION >= 0x02000000 && NPY_FEATURE_VERSION < NPY_2_0_API_VERSION
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
#endif
    loaded = true;
    return true;
}

// A read-only view of a float64 array argument. Elements are read with
// memcpy, so byte alignment of the buffer does not matter; strides are
// honoured (negative ones included).
struct ArrayView {
    PyArrayObject* array = nullptr;
    const char* data = nullptr;
    npy_intp shape[2] = {0, 0};
    npy_intp strides[2] = {0, 0};

    npy_intp len() const noexcept { return shape[0]; }
    double at(npy_intp i) const noexcept {
        double v;
        std::memcpy(&v, data + i * strides[0], sizeof v);
        return v;
    }
    double at(npy_intp i, npy_intp j) const noexcept {
        double v;
        std::memcpy(&v, data + i * strides[0] + j * strides[1], sizeof v);
        return v;
    }
    // Elements adjacent in memory, so the array can be read as one flat run.
    bool contiguous() const noexcept {
        return (PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    }
};

// Accepts a NumPy array (or subclass) with exactly `ndim` dimensions and a
// dtype equivalent to native float64; nothing else is converted or copied.
inline bool to_array(PyObject* obj, const char* name, int ndim, ArrayView& out) {
    if (!ensure_numpy()) return false;
    bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim;
    if (ok) {
        PyArray_Descr* f8 = PyArray_DescrFromType(NPY_DOUBLE);
        ok = f8 && PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), f8);
        Py_XDECREF(f8);
    }
    if (!ok) {
        raise_cannot_convert(name, obj, "PyArray<T, D>");
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    out.array = arr;
    out.data = static_cast<const char*>(PyArray_DATA(arr));
    for (int d = 0; d < ndim; ++d) {
        out.shape[d] = PyArray_DIM(arr, d);
        out.strides[d] = PyArray_STRIDE(arr, d);
    }
    return true;
}

inline std::nullptr_t raise_not_contiguous() { return raise_type("The given array is not contiguous"); }

// A new C-contiguous, writeable float64 array owning its memory; the caller
// fills it in place.
inline PyArrayObject* new_array(int ndim, const npy_intp* dims) {
    if (!ensure_numpy()) return nullptr;
    return reinterpret_cast<PyArrayObject*>(PyArray_ZEROS(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE, 0));
}

// The same without zero-filling, for callers that write every element
// before the array is returned (and drop it on failure).
inline PyArrayObject* new_unfilled_array(int ndim, const npy_intp* dims) {
    if (!ensure_numpy()) return nullptr;
    return reinterpret_cast<PyArrayObject*>(PyArray_EMPTY(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE, 0));
}

inline double* array_data(PyArrayObject* a) noexcept { return static_cast<double*>(PyArray_DATA(a)); }

// ---------------------------------------------------------------------------
// Instances

// Object layout: the Python header, the owned core object, a borrow counter
// (0 free, > 0 that many shared borrows, kExclusive one exclusive borrow).
template <typename Core>
struct Instance {
    PyObject_HEAD
    alignas(Core) unsigned char storage[sizeof(Core)];
    Py_ssize_t borrows;

    static constexpr Py_ssize_t kExclusive = -1;
    Core& core() noexcept { return *std::launder(reinterpret_cast<Core*>(storage)); }
};

// Allocates an instance of `type` around an already built core object.
template <typename Core>
PyObject* make_instance(PyTypeObject* type, Core&& core) {
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!alloc) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* inst = reinterpret_cast<Instance<Core>*>(self);
    new (inst->storage) Core(std::move(core));
    inst->borrows = 0;
    return self;
}

template <typename Core>
void dealloc_instance(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<Core>*>(self);
    inst->core().~Core();
    PyTypeObject* type = Py_TYPE(self);
    freefunc fr = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (fr) fr(self);
    else PyObject_Free(self);
    Py_DECREF(type);
}

// A borrow of an instance for the duration of one call; released on every
// path by the destructor.
template <typename Core>
class Borrow {
public:
    Borrow(PyObject* self, bool exclusive) : inst_(reinterpret_cast<Instance<Core>*>(self)) {
        if (exclusive) {
            if (inst_->borrows != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                inst_ = nullptr;
                return;
            }
            inst_->borrows = Instance<Core>::kExclusive;
            exclusive_ = true;
        } else {
            if (inst_->borrows == Instance<Core>::kExclusive) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                inst_ = nullptr;
                return;
            }
            ++inst_->borrows;
        }
    }
    ~Borrow() {
        if (!inst_) return;
        if (exclusive_) inst_->borrows = 0;
        else --inst_->borrows;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    explicit operator bool() const noexcept { return inst_ != nullptr; }
    Core& core() noexcept { return inst_->core(); }

private:
    Instance<Core>* inst_;
    bool exclusive_ = false;
};

// ---------------------------------------------------------------------------
// Method tables

// A fast-call-with-keywords entry point, cast for a PyMethodDef.
using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallKw f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------------------
// Results

// A tuple of six floats, built directly (no format string to parse).
inline PyObject* state_tuple(const double* s) {
    PyObject* t = PyTuple_New(6);
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < 6; ++i) {
        PyObject* v = PyFloat_FromDouble(s[i]);
        if (!v) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, v);
    }
    return t;
}

inline PyObject* str_from(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace kernwerk::py
