// Chebyshev series with their derivatives, shared by the SPK Type 2 and the
// binary PCK Type 2 evaluators, and with their integrals, shared by both
// Type 20 evaluators.
//
// T0 = 1, T1 = s, T(k) = 2s T(k-1) - T(k-2);
// T0' = 0, T1' = 1, T'(k) = 2s T'(k-1) + 2 T(k-1) - T'(k-2).
// The recurrences run forward (no Clenshaw summation), 2s is formed once as
// s + s, and each sum is accumulated in increasing k from c[0] + s c[1]
// (values) and c[1] (derivatives). Results are reproducible bit for bit as
// long as this order is kept and no FMA contraction is allowed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "base/common.hpp"
#include "daf/daf.hpp"

namespace kernwerk {

// Values and derivatives (with respect to s) of three series a, b, c of
// equal length n >= 2 at normalised time s.
inline void cheby3_value_and_derivative(const double* a, const double* b, const double* c, std::size_t n, double s,
                                        double value[3], double deriv[3]) noexcept {
    const double tw = s + s;
    // x and y run side by side as two lanes, z beside them.
    double va = a[0] + s * a[1], vb = b[0] + s * b[1], vc = c[0] + s * c[1];
    double da = a[1], db = b[1], dc = c[1];
    double t0 = 1.0, t1 = s;      // T(k-2), T(k-1)
    double d0 = 0.0, d1 = 1.0;    // T'(k-2), T'(k-1)
    for (std::size_t k = 2; k < n; ++k) {
        const double t2 = tw * t1 - t0;
        const double dt2 = tw * d1 + 2.0 * t1 - d0;
        va = va + a[k] * t2;
        vb = vb + b[k] * t2;
        vc = vc + c[k] * t2;
        da = da + a[k] * dt2;
        db = db + b[k] * dt2;
        dc = dc + c[k] * dt2;
        t0 = t1;
        t1 = t2;
        d0 = d1;
        d1 = dt2;
    }
    value[0] = va;
    value[1] = vb;
    value[2] = vc;
    deriv[0] = da;
    deriv[1] = db;
    deriv[2] = dc;
}

// Values and integrals of three Chebyshev series c[0..2] of nc >= 1
// coefficients at s, the layout of SPK and PCK Type 20 (a velocity or rate
// series whose integral gives the position or angle): value = sum c_k T_k(s),
// integral = sum c_k (J_k(s) - J_k(0)) with J_0 = s, J_1 = s^2 / 2,
// J_k = (T_{k+1} / (k+1) - T_{k-1} / (k-1)) / 2. The three series are summed
// side by side, T(k) and the integral weight formed once per k, each sum in
// increasing k.
inline void cheby3_value_and_integral(const double* const c[3], std::size_t nc, double s, double value[3],
                                      double integral[3]) noexcept {
    for (int a = 0; a < 3; ++a) {
        value[a] = c[a][0];
        integral[a] = c[a][0] * s;
    }
    if (nc > 1) {
        const double half_square = s * s / 2.0;
        for (int a = 0; a < 3; ++a) {
            value[a] = value[a] + c[a][1] * s;
            integral[a] = integral[a] + c[a][1] * half_square;
        }
    }
    const double tw = s + s;
    double t_2 = 1.0, t_1 = s;  // T(k-2), T(k-1)
    for (std::size_t k = 2; k < nc; ++k) {
        const double t_0 = tw * t_1 - t_2;   // T(k)
        const double t_up = tw * t_0 - t_1;  // T(k+1)
        const auto kd = static_cast<double>(k);
        double j = (t_up / (kd + 1.0) - t_1 / (kd - 1.0)) / 2.0;
        if (k % 2 == 1) {
            // T(k+1)(0) = sigma = -T(k-1)(0), sigma = (-1)^((k+1)/2).
            const double sigma = ((k + 1) / 2) % 2 == 0 ? 1.0 : -1.0;
            j = j - (sigma / (kd + 1.0) + sigma / (kd - 1.0)) / 2.0;
        }
        for (int a = 0; a < 3; ++a) {
            value[a] = value[a] + c[a][k] * t_0;
            integral[a] = integral[a] + c[a][k] * j;
        }
        t_2 = t_1;
        t_1 = t_0;
    }
}

// The record of a segment of fixed-length Chebyshev records (INIT, INTLEN,
// RSIZE, N; record k at begin + k*RSIZE) that serves `et`: the floor of the
// record count since INIT, saturated into a signed index and clamped to
// 0..N-1, so epochs before the first record use it and epochs at or after
// the end use the last. Addresses wrap in 32 bits; the readers refuse at
// construction segments with N = 0 or records past the last address.
inline std::expected<std::span<const double>, DafError> select_chebyshev_record(const DafFile& daf, double init,
                                                                                double intlen, std::uint64_t rsize,
                                                                                std::uint64_t n, std::uint32_t begin,
                                                                                double et) {
    std::int64_t index = index_from_double(std::floor((et - init) / intlen));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= n) index = static_cast<std::int64_t>(n - 1);
    const auto rs = static_cast<std::uint32_t>(rsize);
    const std::uint32_t start = begin + static_cast<std::uint32_t>(index) * rs;
    return daf.slice_doubles(start, start + rs - 1u);
}

// The record select_chebyshev_record selects, or null when it does not lie
// in the file (the caller then takes the checked path for its error).
inline const double* chebyshev_record_or_null(const DafFile& daf, double init, double intlen, std::uint64_t rsize,
                                              std::uint64_t n, std::uint32_t begin, double et) noexcept {
    std::int64_t index = index_from_double(std::floor((et - init) / intlen));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= n) index = static_cast<std::int64_t>(n - 1);
    const auto rs = static_cast<std::uint32_t>(rsize);
    const std::uint32_t start = begin + static_cast<std::uint32_t>(index) * rs;
    return daf.doubles_at(start, start + rs - 1u);
}

// Asks for the cache lines of `words` doubles from `p` (null: nothing), so
// that a record needed a few epochs later is on its way meanwhile.
inline void prefetch_words(const double* p, std::uint64_t words) noexcept {
    if (!p) return;
    const char* c = reinterpret_cast<const char*>(p);
    for (std::uint64_t b = 0; b < words * 8; b += 64) __builtin_prefetch(c + b);
    __builtin_prefetch(c + words * 8 - 1);
}

}  // namespace kernwerk
