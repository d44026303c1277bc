// The arithmetic floor of a body-fixed frame from text PCK constants, for
// the "pck" group of bench/run.py (compiled there with the flags of
// floors.py and loaded through ctypes; not part of the package).
//
// kf_text_pck_batch does, per epoch, only what the rotation from the
// IAU_<body> frame to J2000 cannot do without: RA, DEC and W as linear
// polynomials (no quadratic or nutation-precession terms), W reduced by
// whole turns, one glibc sincos per angle, the 3-1-3 product, its rate when
// `six`, and the rows stored transposed (non-temporal stores past 4 MiB, as
// the package stores them). It gives the package's bits, which the run
// checks; what the package spends beyond it is the generality of its model
// (quadratic terms, nutation-precession series, a reference frame) and its
// per-epoch checks (NaN epochs, cancellation).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>

namespace {

inline void put(double* dst, const double* src, int n, bool stream) {
    if (!stream) {
        std::memcpy(dst, src, sizeof(double) * n);
        return;
    }
    int j = 0;
    const auto one = [&](int k) {
        long long bits;
        std::memcpy(&bits, src + k, sizeof bits);
        _mm_stream_si64(reinterpret_cast<long long*>(dst + k), bits);
    };
    if ((reinterpret_cast<std::uintptr_t>(dst) & 15) != 0) one(j++);
    for (; j + 1 < n; j += 2) _mm_stream_pd(dst + j, _mm_loadu_pd(src + j));
    if (j < n) one(j);
}

}  // namespace

extern "C" void kf_text_pck_batch(const double* ets, std::size_t n, const double* k, int six, double* out) {
    // k: RA0, RA1 (deg, deg/century), DEC0, DEC1, W0, W1 (deg, deg/day).
    constexpr double kRad = M_PI / 180.0, kDay = 86400.0, kCentury = 36525.0 * 86400.0, kTwoPi = 2.0 * M_PI;
    const int width = six ? 36 : 9;
    const bool stream = n * width * sizeof(double) >= (std::size_t{4} << 20);
    const double dra = k[1] / kCentury * kRad, dde = -(k[3] / kCentury) * kRad, dw = k[5] / kDay * kRad;
    alignas(16) double o[36];
    for (std::size_t i = 0; i < n; ++i) {
        const double t = ets[i], d = t / kDay, c = t / kCentury;
        const double a = k[0] + c * k[1], de = k[2] + c * k[3], w = k[4] + d * k[5];
        const double wr0 = w * kRad, q = wr0 / kTwoPi;
        const double wr = wr0 - kTwoPi * (q >= 0.0 ? std::floor(q) : -std::floor(-q));
        double sp, cp, sd, cd, sw, cw;
        ::sincos(M_PI / 2 + a * kRad, &sp, &cp);
        ::sincos(M_PI / 2 - de * kRad, &sd, &cd);
        ::sincos(wr, &sw, &cw);
        const double swcd = sw * cd, cwcd = cw * cd, swsd = sw * sd, cwsd = cw * sd;
        const double r[3][3] = {{cw * cp - swcd * sp, cw * sp + swcd * cp, swsd},
                                {-sw * cp - cwcd * sp, -sw * sp + cwcd * cp, cwsd},
                                {sd * sp, -sd * cp, cd}};
        if (!six) {
            for (int x = 0; x < 3; ++x)
                for (int y = 0; y < 3; ++y) o[3 * x + y] = r[y][x];
            put(out + 9 * i, o, 9, stream);
            continue;
        }
        // dR by the product rule, terms in the order W, DEC, RA.
        const double pd[3][3] = {{swsd * sp, -(swsd * cp), swcd}, {cwsd * sp, -(cwsd * cp), cwcd}, {cd * sp, -(cd * cp), -sd}};
        const double pw[2][3] = {{r[1][0], r[1][1], r[1][2]}, {-r[0][0], -r[0][1], -r[0][2]}};
        double dr[3][3];
        for (int m = 0; m < 2; ++m) {
            dr[m][0] = dw * pw[m][0] + dde * pd[m][0] + dra * -r[m][1];
            dr[m][1] = dw * pw[m][1] + dde * pd[m][1] + dra * r[m][0];
            dr[m][2] = dw * pw[m][2] + dde * pd[m][2];
        }
        dr[2][0] = dde * pd[2][0] + dra * -r[2][1];
        dr[2][1] = dde * pd[2][1] + dra * r[2][0];
        dr[2][2] = dde * pd[2][2];
        for (int x = 0; x < 3; ++x)
            for (int y = 0; y < 3; ++y) {
                o[6 * x + y] = r[y][x];
                o[6 * x + y + 3] = 0.0;
                o[6 * (x + 3) + y] = dr[y][x];
                o[6 * (x + 3) + y + 3] = r[y][x];
            }
        put(out + 36 * i, o, 36, stream);
    }
    if (stream) _mm_sfence();
}
