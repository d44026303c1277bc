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

// Interpolation over a window of t <= kMaxWindow distinct nodes x[0..t):
// the Lagrange or Hermite polynomial is a weighted sum of the window's data,
// sum_j w_j y_j, with weights that depend on the nodes and u alone. They are
// computed once per epoch and applied to every component of the state (which
// share the nodes), so the divisions are paid once rather than per
// component. Differences are taken in units of the mean node spacing s, so
// that products of up to 31 of them stay far from overflow.

inline double inverse_spacing(const double* x, std::size_t t) noexcept {
    return t > 1 ? static_cast<double>(t - 1) / (x[t - 1] - x[0]) : 1.0;
}

// The Lagrange basis at u: l[j] = prod_{m != j} (u - x_m) / (x_j - x_m). The
// numerators are prefix and suffix products of (u - x_m), so that at a node
// every other weight is exactly 0.
inline void lagrange_weights(const double* x, std::size_t t, double u, double* l) noexcept {
    const double s = inverse_spacing(x, t);
    double a[kMaxWindow], pre[kMaxWindow + 1];
    pre[0] = 1.0;
    for (std::size_t m = 0; m < t; ++m) {
        a[m] = (u - x[m]) * s;
        pre[m + 1] = pre[m] * a[m];
    }
    double suf = 1.0;
    for (std::size_t j = t; j-- > 0;) {
        double d = 1.0;
        for (std::size_t m = 0; m < t; ++m)
            if (m != j) d = d * ((x[j] - x[m]) * s);
        l[j] = pre[j] * suf / d;
        suf = suf * a[j];
    }
}

// Weights of the Hermite polynomial through values F_j and derivatives D_j
// at the nodes: value = sum f[j] F_j + d[j] D_j, its derivative = sum
// df[j] F_j + dd[j] D_j. With the Lagrange basis L_j and c_j = L_j'(x_j) =
// sum_{m != j} 1 / (x_j - x_m), the basis polynomials are
//   (1 - 2 c_j (u - x_j)) L_j^2   for F_j,   (u - x_j) L_j^2   for D_j.
struct HermiteWeights {
    double f[kMaxWindow], d[kMaxWindow], df[kMaxWindow], dd[kMaxWindow];
};

inline void hermite_weights(const double* x, std::size_t t, double u, HermiteWeights& w) noexcept {
    const double s = inverse_spacing(x, t);
    double a[kMaxWindow];
    double r[kMaxWindow][kMaxWindow];  // r[j][m] = 1 / ((x_j - x_m) s), m < j; r[m][j] = -r[j][m]
    for (std::size_t j = 0; j < t; ++j) {
        a[j] = (u - x[j]) * s;
        for (std::size_t m = 0; m < j; ++m) {
            r[j][m] = 1.0 / ((x[j] - x[m]) * s);
            r[m][j] = -r[j][m];
        }
    }
    for (std::size_t j = 0; j < t; ++j) {
        // L_j and its derivative in units of the spacing, by the product rule.
        double p = 1.0, dp = 0.0, c = 0.0;
        for (std::size_t m = 0; m < t; ++m) {
            if (m == j) continue;
            const double q = r[j][m];
            const double factor = a[m] * q;
            c = c + q;
            dp = dp * factor + p * q;
            p = p * factor;
        }
        const double l2 = p * p;
        const double g = 1.0 - 2.0 * c * a[j];
        w.f[j] = g * l2;
        w.d[j] = (u - x[j]) * l2;
        w.df[j] = (2.0 * g * p * dp - 2.0 * c * l2) * s;
        w.dd[j] = l2 + 2.0 * a[j] * p * dp;
    }
}

// sum_j w[j] y[j * stride], j ascending.
inline double weigh(const double* w, const double* y, std::size_t stride, std::size_t t) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < t; ++j) sum = sum + w[j] * y[j * stride];
    return sum;
}

// sum_j (wf[j] f[j * stride] + wd[j] d[j * stride]), j ascending.
inline double weigh2(const double* wf, const double* f, const double* wd, const double* d, std::size_t stride,
                     std::size_t t) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < t; ++j) sum = sum + (wf[j] * f[j * stride] + wd[j] * d[j * stride]);
    return sum;
}

// The same for derivative weights, whose wf sum to zero: the values are
// taken relative to the first, so that a derivative small beside the values
// (a velocity beside a position) is not summed from large cancelling terms.
inline double weigh2_derivative(const double* wf, const double* f, const double* wd, const double* d,
                                std::size_t stride, std::size_t t) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j < t; ++j) sum = sum + (wf[j] * (f[j * stride] - f[0]) + wd[j] * d[j * stride]);
    return sum;
}

// Length of a directory of every 100th epoch of n: n/100, or (n-1)/100 when
// the last epoch is not repeated there. The readers never use the directory
// (they search the epochs themselves, which gives the same answer on sorted
// epochs), so the segment length may match either count.
inline bool directory_fits(std::uint64_t ndir, std::uint64_t n) noexcept {
    return ndir == n / 100 || (n > 0 && ndir == (n - 1) / 100);
}

}  // namespace kernwerk::spk_types
