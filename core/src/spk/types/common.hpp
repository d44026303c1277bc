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
#include <string>
#include <string_view>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk::spk_types {

inline std::unexpected<SpkError> malformed(std::int32_t data_type, std::string_view reason) {
    return std::unexpected(SpkError::malformed_type(data_type, std::string(reason)));
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

// Interpolation over a window of t <= kMaxWindow distinct nodes x[0..t), by
// Neville's recursion, in the order of operations the toolkit's readers
// follow (found by comparing with spiceypy bit for bit: Types 8, 9, 12, 13,
// 18 and 19, windows up to 14 Hermite and 28 Lagrange nodes). Each entry of
// a column is
//   p = ((b - u) p_lo + (u - a) p_hi) / (b - a)
// over the nodes a < b it spans; a weighted-sum form with the same
// polynomial drifts from the toolkit's answers by up to 1e-8 relative at
// high degree, so the recursion is kept as it is, one division per entry.
// The K components of a state share the nodes and run side by side in the
// innermost loop. The data of node j are y[j * stride + c], c < K.
template <std::size_t K>
inline void lagrange_neville(const double* x, std::size_t t, double u, const double* y, std::size_t stride,
                             double* out) noexcept {
    double p[kMaxWindow][K];
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t c = 0; c < K; ++c) p[j][c] = y[j * stride + c];
    for (std::size_t k = 1; k < t; ++k) {
        for (std::size_t i = 0; i + k < t; ++i) {
            const double c1 = x[i + k] - u, c2 = u - x[i], den = x[i + k] - x[i];
            for (std::size_t c = 0; c < K; ++c) p[i][c] = (c1 * p[i][c] + c2 * p[i + 1][c]) / den;
        }
    }
    for (std::size_t c = 0; c < K; ++c) out[c] = p[0][c];
}

// The Hermite polynomial through values f and derivatives d at the nodes
// (f[j * stride + c], d[j * stride + c]), with its derivative, by the same
// recursion over the doubled nodes z_2j = z_2j+1 = x_j: beside each entry p
// its derivative q,
//   q = ((b - u) q_lo + (u - a) q_hi + (p_hi - p_lo)) / (b - a),
// and on a doubled node p = f_j + (u - x_j) d_j, q = d_j. The derivatives
// are taken times `dscale` into the recursion and the resulting derivative
// divided by it (Type 12 works in units of its step; 1 elsewhere, exact).
template <std::size_t K>
inline void hermite_neville(const double* x, std::size_t t, double u, const double* f, const double* d,
                            std::size_t stride, double dscale, double* value, double* deriv) noexcept {
    double p[2 * kMaxWindow][K], q[2 * kMaxWindow][K];
    const std::size_t nn = 2 * t;
    for (std::size_t j = 0; j < t; ++j) {
        const double* fj = f + j * stride;
        const double* dj = d + j * stride;
        const double w = u - x[j];
        for (std::size_t c = 0; c < K; ++c) {
            const double dv = dj[c] * dscale;
            p[2 * j][c] = fj[c] + w * dv;
            q[2 * j][c] = dv;
        }
        if (j + 1 == t) break;
        const double* fn = f + (j + 1) * stride;
        const double c1 = x[j + 1] - u, c2 = u - x[j], den = x[j + 1] - x[j];
        for (std::size_t c = 0; c < K; ++c) {
            p[2 * j + 1][c] = (c1 * fj[c] + c2 * fn[c]) / den;
            q[2 * j + 1][c] = (fn[c] - fj[c]) / den;
        }
    }
    for (std::size_t k = 2; k < nn; ++k) {
        for (std::size_t i = 0; i + k < nn; ++i) {
            const double a = x[i / 2], b = x[(i + k) / 2];
            const double c1 = b - u, c2 = u - a, den = b - a;
            for (std::size_t c = 0; c < K; ++c) {
                q[i][c] = (c1 * q[i][c] + c2 * q[i + 1][c] + (p[i + 1][c] - p[i][c])) / den;
                p[i][c] = (c1 * p[i][c] + c2 * p[i + 1][c]) / den;
            }
        }
    }
    for (std::size_t c = 0; c < K; ++c) {
        value[c] = p[0][c];
        deriv[c] = q[0][c] / dscale;
    }
}

// Length of a directory of every 100th epoch of n: n/100, or (n-1)/100 when
// the last epoch is not repeated there. The readers never use the directory
// (they search the epochs themselves, which gives the same answer on sorted
// epochs), so the segment length may match either count.
inline bool directory_fits(std::uint64_t ndir, std::uint64_t n) noexcept {
    return ndir == n / 100 || (n > 0 && ndir == (n - 1) / 100);
}

}  // namespace kernwerk::spk_types
