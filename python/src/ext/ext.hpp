// The `_ext` extension module: kernel sets, time scales and what builds on
// them. Each subsystem's bindings live in a file of their own and are added
// to the module by one `register_*` function, called in the order below.
//
// Errors cross into Python through one C++ exception type, `ext::Error`,
// whose kind selects the class of `kernwerk.errors` that is raised; the
// message is used unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <memory>
#include <string>

namespace kernwerk {
class KernelSnapshot;
}

namespace kernwerk::ext {

namespace nb = nanobind;

// The class of kernwerk.errors that an error becomes (each also an instance
// of the builtin type named beside it).
enum class ErrorKind {
    File,           // KernelFileError (OSError): missing or unreadable file; errno set
    FileFormat,     // FileFormatError (RuntimeError): malformed file, or a file of the wrong kind
    Coverage,       // CoverageError (RuntimeError): no data for a body, frame or epoch
    BodyName,       // BodyNameError (ValueError): a name or code no table knows
    Frame,          // FrameError (ValueError): a frame that cannot be used
    Epoch,          // EpochError (ValueError): a NaN epoch, a date that cannot be read or used
    MissingKernel,  // MissingKernelError (RuntimeError): a query needs a kind of kernel none of which is loaded
    Value,          // plain ValueError: a bad argument that is none of the above (shapes, options)
    Changed,        // KernelChangedError (RuntimeError): a file truncated or rewritten in place while open
};

class Error : public std::exception {
public:
    Error(ErrorKind kind, std::string message, int os_errno = 0, std::string filename = {})
        : kind_(kind), message_(std::move(message)), errno_(os_errno), filename_(std::move(filename)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    int os_errno() const noexcept { return errno_; }
    const std::string& filename() const noexcept { return filename_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ErrorKind kind_;
    std::string message_;
    int errno_;
    std::string filename_;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }

// Registration, one function per subsystem, each defined in its own file.
void register_errors(nb::module_& m);      // errors.cpp
void register_kernel_set(nb::module_& m);  // kernel_set_bind.cpp
void register_time(nb::module_& m);        // time_bind.cpp
void register_apparent(nb::module_& m);    // apparent_bind.cpp
void register_writer(nb::module_& m);      // writer_bind.cpp
void register_format(nb::module_& m);      // format_bind.cpp
void register_conics(nb::module_& m);      // conics_bind.cpp
void register_files(nb::module_& m);       // file_bind.cpp
void register_coordinates(nb::module_& m);  // coordinates_bind.cpp
void register_ck_writer(nb::module_& m);   // ck_writer_bind.cpp
void register_fov(nb::module_& m);         // fov_bind.cpp
void register_events(nb::module_& m);       // events_bind.cpp
// Attitude and clocks.
void register_sclk(nb::module_& m);         // sclk_bind.cpp
void register_ck(nb::module_& m);           // ck_bind.cpp
// Surface geometry: sub-points, ray intercepts, illumination.
void register_surface(nb::module_& m);      // surface_bind.cpp
// Installs the corrected vectors of two-vector dynamic frames (dynamic_bind.cpp).
void register_dynamic(nanobind::module_& m);

// The current snapshot of an `_ext.KernelSet` (kernel_set_bind.cpp).
std::shared_ptr<const KernelSnapshot> kernel_set_snapshot(nb::handle set);

}  // namespace kernwerk::ext
