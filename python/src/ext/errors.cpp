// Translation of ext::Error into the classes of kernwerk.errors. The classes
// are looked up once, on the first error, so that importing the module does
// not import the package's Python code in turn.
#include "ext.hpp"

#include <Python.h>

namespace kernwerk::ext {

namespace {

const char* class_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::File: return "KernelFileError";
        case ErrorKind::FileFormat: return "FileFormatError";
        case ErrorKind::Coverage: return "CoverageError";
        case ErrorKind::BodyName: return "BodyNameError";
        case ErrorKind::Frame: return "FrameError";
        case ErrorKind::Epoch: return "EpochError";
        case ErrorKind::MissingKernel: return "MissingKernelError";
        case ErrorKind::Changed: return "KernelChangedError";
        case ErrorKind::Value: return nullptr;
    }
    return nullptr;
}

}  // namespace

void register_errors(nb::module_&) {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error& e) {
            PyObject* message =
                PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()), "replace");
            if (!message) return;
            const char* name = class_name(e.kind());
            PyObject* cls = nullptr;
            if (name) {
                PyObject* errors = PyImport_ImportModule("kernwerk.errors");
                if (errors) {
                    cls = PyObject_GetAttrString(errors, name);
                    Py_DECREF(errors);
                }
                if (!cls) {
                    Py_DECREF(message);
                    return;  // the import error stays set
                }
            } else {
                cls = Py_NewRef(PyExc_ValueError);
            }
            PyObject* exc = nullptr;
            if (e.kind() == ErrorKind::File && e.os_errno() != 0) {
                // OSError(errno, message, filename): errno and filename
                // attributes as the builtin I/O functions set them.
                PyObject* filename = PyUnicode_DecodeFSDefaultAndSize(
                    e.filename().data(), static_cast<Py_ssize_t>(e.filename().size()));
                if (filename) exc = PyObject_CallFunction(cls, "iOO", e.os_errno(), message, filename);
                Py_XDECREF(filename);
            } else {
                exc = PyObject_CallOneArg(cls, message);
            }
            if (exc) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
                Py_DECREF(exc);
            }
            Py_DECREF(cls);
            Py_DECREF(message);
        }
    });
}

}  // namespace kernwerk::ext
