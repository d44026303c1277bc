// What the bindings over a kernel set share: the mapping of KernelSetError
// kinds to the package's exception classes, the epoch-index suffix of batch
// errors, frame codes and epoch views, and the end-of-call check that no
// file of the snapshot changed under its mapping.
#pragma once

#include "ext.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sets/kernel_set.hpp"

namespace kernwerk::ext {

using Epochs = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

inline ErrorKind error_kind(KernelSetError::Kind kind) noexcept {
    switch (kind) {
        case KernelSetError::Kind::File: return ErrorKind::File;
        case KernelSetError::Kind::FileFormat: return ErrorKind::FileFormat;
        case KernelSetError::Kind::Coverage: return ErrorKind::Coverage;
        case KernelSetError::Kind::MissingKernel: return ErrorKind::MissingKernel;
        case KernelSetError::Kind::Frame: return ErrorKind::Frame;
        case KernelSetError::Kind::Epoch: return ErrorKind::Epoch;
        case KernelSetError::Kind::Value: return ErrorKind::Value;
        case KernelSetError::Kind::BodyName: return ErrorKind::BodyName;
        case KernelSetError::Kind::Changed: return ErrorKind::Changed;
    }
    return ErrorKind::Value;
}

[[noreturn]] inline void raise(const KernelSetError& e, const std::string& suffix = {}) {
    throw Error(error_kind(e.kind()), e.message() + suffix, e.os_errno(), e.path());
}

// Ends every call that read through `snap`: when a file changed under its
// mapping, whatever the call computed (a result or an error) came partly
// from zero pages and is replaced by the Changed error.
inline void check_unchanged(const KernelSnapshot& snap) {
    if (auto ok = snap.check_unchanged(); !ok) raise(ok.error());
}

// The same for calls that read the states of `target` relative to `center`
// (and frame data), and for calls that read frame data alone: only the files
// such a call can read are checked (KernelSnapshot::check_unchanged_for_*).
inline void check_unchanged_for_bodies(const KernelSnapshot& snap, std::int32_t target, std::int32_t center) {
    if (auto ok = snap.check_unchanged_for_bodies(target, center); !ok) raise(ok.error());
}
inline void check_unchanged_for_frames(const KernelSnapshot& snap) {
    if (auto ok = snap.check_unchanged_for_frames(); !ok) raise(ok.error());
}

// Begins every call that reads through `snap`: a file cut while another
// SIGBUS handler replaced the guard is reported before a read faults.
inline void check_before(const KernelSnapshot& snap) {
    if (auto ok = snap.check_before(); !ok) raise(ok.error());
}

// " (epoch index i)", or the index unravelled over `shape` (C order) when
// the epochs came from an N-d array: " (epoch index (1, 2))".
inline std::string index_suffix(std::size_t index, const std::vector<std::size_t>& shape) {
    if (shape.size() <= 1) return " (epoch index " + std::to_string(index) + ")";
    std::vector<std::size_t> parts(shape.size());
    for (std::size_t d = shape.size(); d-- > 0;) {
        const std::size_t extent = shape[d] ? shape[d] : 1;
        parts[d] = index % extent;
        index /= extent;
    }
    std::string out = " (epoch index (";
    for (std::size_t d = 0; d < parts.size(); ++d) {
        if (d) out += ", ";
        out += std::to_string(parts[d]);
    }
    return out + "))";
}

// Any frame code: the snapshot's frame catalog checks it when the query is
// planned.
inline OutputFrame frame_of(std::int32_t code) { return static_cast<OutputFrame>(code); }

inline EpochView view_of(const Epochs& ets) {
    return EpochView{ets.data(), static_cast<std::ptrdiff_t>(ets.stride(0)), ets.shape(0)};
}

}  // namespace kernwerk::ext
