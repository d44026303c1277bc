// Pieces shared by the readers of SPK Types 1, 5, 8, 12, 14, 15, 17, 18, 19,
// 20 and 21: the segment's doubles as one view checked at open, counts stored
// as doubles, epoch order and searches, and the interpolation kernels.
//
// Every reader takes the segment's whole address range begin..end once at
// open (which proves it lies inside the file), validates its layout against
// the segment's length, and afterwards reads the doubles in place through a
// plain pointer: the payload keeps a DafFile handle, so the mapping outlives
// the pointer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "common.hpp"
#include "daf.hpp"
#include "spk_error.hpp"

namespace kernwerk::spk_types {

inline std::unexpected<SpkError> malformed(std::int32_t data_type, std::string_view reason) {
    return std::unexpected(SpkError::malformed_type(data_type, reason));
}

// The largest interpolation window any reader accepts (Lagrange and Hermite
// alike); the scratch of an evaluation is sized for it on the stack. The
// toolkit's own limits are below it.
inline constexpr std::size_t kMaxWindow = 32;

// The doubles of one segment, addresses begin..end inclusive.
struct SegmentView {
    const double* data = nullptr;
    std::uint64_t size = 0;
    double back(std::uint64_t k) const noexcept { return data[size - 1 - k]; }  // k-th word from the end
};

std::expected<SegmentView, SpkError> segment_view(const DafFile& daf, std::uint32_t begin, std::uint32_t end,
                                                  std::int32_t data_type);

// A count stored as a double, truncated toward zero as the toolkit reads it;
// nothing when the value is below `lo`, above `hi` or NaN.
inline bool stored_count(double value, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out) noexcept {
    if (!(value >= static_cast<double>(lo)) || !(value < static_cast<double>(hi) + 1.0)) return false;
    out = static_cast<std::uint64_t>(value);
    return out >= lo && out <= hi;
}

// Epoch lists: false on a decrease (or an equal pair, when strict) and on NaN.
inline bool sorted_epochs(const double* x, std::uint64_t n, bool strict) noexcept {
    for (std::uint64_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) return false;
        if (i > 0 && (strict ? !(x[i] > x[i - 1]) : !(x[i] >= x[i - 1]))) return false;
    }
    return true;
}

// Index of the first epoch >= et (n when none) and of the first epoch > et.
// A NaN et compares false everywhere and gives 0 and n.
inline std::uint64_t first_not_before(const double* x, std::uint64_t n, double et) noexcept {
    return static_cast<std::uint64_t>(std::lower_bound(x, x + n, et) - x);
}
inline std::uint64_t first_after(const double* x, std::uint64_t n, double et) noexcept {
    return static_cast<std::uint64_t>(std::upper_bound(x, x + n, et) - x);
}

// Neville's scheme for the Lagrange polynomial through (x[j], y[j * stride]),
// j < t, at u; `work` holds t doubles. Each level replaces work[j] by
// ((x[j+i] - u) work[j] + (u - x[j]) work[j+1]) / (x[j+i] - x[j]).
inline double lagrange(const double* x, const double* y, std::size_t stride, std::size_t t, double u,
                       double* work) noexcept {
    for (std::size_t j = 0; j < t; ++j) work[j] = y[j * stride];
    for (std::size_t i = 1; i < t; ++i)
        for (std::size_t j = 0; j + i < t; ++j) {
            const double c1 = x[j + i] - u;
            const double c2 = u - x[j];
            work[j] = (c1 * work[j] + c2 * work[j + 1]) / (x[j + i] - x[j]);
        }
    return work[0];
}

// The Hermite polynomial through values f[j * stride] and derivatives
// df[j * stride] * dscale at nodes x[j], j < t, and its derivative, at u, by
// Newton's divided differences on the doubled nodes; `work` holds 4t doubles.
inline void hermite(const double* x, const double* f, const double* df, std::size_t stride, double dscale,
                    std::size_t t, double u, double& value, double& deriv, double* work) noexcept {
    const std::size_t nn = 2 * t;
    double* d = work;       // divided differences of the current order
    double* c = work + nn;  // Newton coefficients
    for (std::size_t l = 0; l < nn; ++l) d[l] = f[(l / 2) * stride];
    c[0] = d[0];
    // Order 1: the stored derivative at a doubled node, a quotient between
    // neighbours; d[l] still holds order 0's d[l + 1] when it is replaced.
    for (std::size_t l = 0; l + 1 < nn; ++l) {
        if (l % 2 == 0)
            d[l] = df[(l / 2) * stride] * dscale;
        else
            d[l] = (d[l + 1] - d[l]) / (x[(l + 1) / 2] - x[l / 2]);
    }
    c[1] = d[0];
    for (std::size_t k = 2; k < nn; ++k) {
        for (std::size_t l = 0; l + k < nn; ++l) d[l] = (d[l + 1] - d[l]) / (x[(l + k) / 2] - x[l / 2]);
        c[k] = d[0];
    }
    double v = c[0], dv = 0.0, prod = 1.0, dprod = 0.0;
    for (std::size_t m = 1; m < nn; ++m) {
        const double dd = u - x[(m - 1) / 2];
        dprod = dprod * dd + prod;
        prod = prod * dd;
        v = v + c[m] * prod;
        dv = dv + c[m] * dprod;
    }
    value = v;
    deriv = dv;
}

// Length of a directory of every 100th epoch of n: n/100, or (n-1)/100 when
// the last epoch is not repeated there. The readers never use the directory
// (they search the epochs themselves, which gives the same answer on sorted
// epochs), so the segment length may match either count.
inline bool directory_fits(std::uint64_t ndir, std::uint64_t n) noexcept {
    return ndir == n / 100 || (n > 0 && ndir == (n - 1) / 100);
}

}  // namespace kernwerk::spk_types
