#include "math/precession.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

namespace kernwerk {

namespace {

constexpr double kArcsec = M_PI / 648000.0;
constexpr double kCentury = 36525.0 * 86400.0;
constexpr double kTwoPi = 2.0 * M_PI;

// One term of the IAU 1980 nutation series: the multipliers of the Delaunay
// arguments l, l', F, D and Omega, then dpsi = (s + st T) sin(arg) and
// deps = (c + ct T) cos(arg) in units of 0.0001", T in Julian centuries.
struct NutationTerm {
    std::int8_t l, lp, f, d, om;
    double s, st, c, ct;
};

// The published coefficients, in the order of the published table.
constexpr NutationTerm kNutation1980[106] = {
    {0, 0, 0, 0, 1, -171996.0, -174.2, 92025.0, 8.9},
    {0, 0, 0, 0, 2, 2062.0, 0.2, -895.0, 0.5},
    {-2, 0, 2, 0, 1, 46.0, 0.0, -24.0, 0.0},
    {2, 0, -2, 0, 0, 11.0, 0.0, 0.0, 0.0},
    {-2, 0, 2, 0, 2, -3.0, 0.0, 1.0, 0.0},
    {1, -1, 0, -1, 0, -3.0, 0.0, 0.0, 0.0},
    {0, -2, 2, -2, 1, -2.0, 0.0, 1.0, 0.0},
    {2, 0, -2, 0, 1, 1.0, 0.0, 0.0, 0.0},
    {0, 0, 2, -2, 2, -13187.0, -1.6, 5736.0, -3.1},
    {0, 1, 0, 0, 0, 1426.0, -3.4, 54.0, -0.1},
    {0, 1, 2, -2, 2, -517.0, 1.2, 224.0, -0.6},
    {0, -1, 2, -2, 2, 217.0, -0.5, -95.0, 0.3},
    {0, 0, 2, -2, 1, 129.0, 0.1, -70.0, 0.0},
    {2, 0, 0, -2, 0, 48.0, 0.0, 1.0, 0.0},
    {0, 0, 2, -2, 0, -22.0, 0.0, 0.0, 0.0},
    {0, 2, 0, 0, 0, 17.0, -0.1, 0.0, 0.0},
    {0, 1, 0, 0, 1, -15.0, 0.0, 9.0, 0.0},
    {0, 2, 2, -2, 2, -16.0, 0.1, 7.0, 0.0},
    {0, -1, 0, 0, 1, -12.0, 0.0, 6.0, 0.0},
    {-2, 0, 0, 2, 1, -6.0, 0.0, 3.0, 0.0},
    {0, -1, 2, -2, 1, -5.0, 0.0, 3.0, 0.0},
    {2, 0, 0, -2, 1, 4.0, 0.0, -2.0, 0.0},
    {0, 1, 2, -2, 1, 4.0, 0.0, -2.0, 0.0},
    {1, 0, 0, -1, 0, -4.0, 0.0, 0.0, 0.0},
    {2, 1, 0, -2, 0, 1.0, 0.0, 0.0, 0.0},
    {0, 0, -2, 2, 1, 1.0, 0.0, 0.0, 0.0},
    {0, 1, -2, 2, 0, -1.0, 0.0, 0.0, 0.0},
    {0, 1, 0, 0, 2, 1.0, 0.0, 0.0, 0.0},
    {-1, 0, 0, 1, 1, 1.0, 0.0, 0.0, 0.0},
    {0, 1, 2, -2, 0, -1.0, 0.0, 0.0, 0.0},
    {0, 0, 2, 0, 2, -2274.0, -0.2, 977.0, -0.5},
    {1, 0, 0, 0, 0, 712.0, 0.1, -7.0, 0.0},
    {0, 0, 2, 0, 1, -386.0, -0.4, 200.0, 0.0},
    {1, 0, 2, 0, 2, -301.0, 0.0, 129.0, -0.1},
    {1, 0, 0, -2, 0, -158.0, 0.0, -1.0, 0.0},
    {-1, 0, 2, 0, 2, 123.0, 0.0, -53.0, 0.0},
    {0, 0, 0, 2, 0, 63.0, 0.0, -2.0, 0.0},
    {1, 0, 0, 0, 1, 63.0, 0.1, -33.0, 0.0},
    {-1, 0, 0, 0, 1, -58.0, -0.1, 32.0, 0.0},
    {-1, 0, 2, 2, 2, -59.0, 0.0, 26.0, 0.0},
    {1, 0, 2, 0, 1, -51.0, 0.0, 27.0, 0.0},
    {0, 0, 2, 2, 2, -38.0, 0.0, 16.0, 0.0},
    {2, 0, 0, 0, 0, 29.0, 0.0, -1.0, 0.0},
    {1, 0, 2, -2, 2, 29.0, 0.0, -12.0, 0.0},
    {2, 0, 2, 0, 2, -31.0, 0.0, 13.0, 0.0},
    {0, 0, 2, 0, 0, 26.0, 0.0, -1.0, 0.0},
    {-1, 0, 2, 0, 1, 21.0, 0.0, -10.0, 0.0},
    {-1, 0, 0, 2, 1, 16.0, 0.0, -8.0, 0.0},
    {1, 0, 0, -2, 1, -13.0, 0.0, 7.0, 0.0},
    {-1, 0, 2, 2, 1, -10.0, 0.0, 5.0, 0.0},
    {1, 1, 0, -2, 0, -7.0, 0.0, 0.0, 0.0},
    {0, 1, 2, 0, 2, 7.0, 0.0, -3.0, 0.0},
    {0, -1, 2, 0, 2, -7.0, 0.0, 3.0, 0.0},
    {1, 0, 2, 2, 2, -8.0, 0.0, 3.0, 0.0},
    {1, 0, 0, 2, 0, 6.0, 0.0, 0.0, 0.0},
    {2, 0, 2, -2, 2, 6.0, 0.0, -3.0, 0.0},
    {0, 0, 0, 2, 1, -6.0, 0.0, 3.0, 0.0},
    {0, 0, 2, 2, 1, -7.0, 0.0, 3.0, 0.0},
    {1, 0, 2, -2, 1, 6.0, 0.0, -3.0, 0.0},
    {0, 0, 0, -2, 1, -5.0, 0.0, 3.0, 0.0},
    {1, -1, 0, 0, 0, 5.0, 0.0, 0.0, 0.0},
    {2, 0, 2, 0, 1, -5.0, 0.0, 3.0, 0.0},
    {0, 1, 0, -2, 0, -4.0, 0.0, 0.0, 0.0},
    {1, 0, -2, 0, 0, 4.0, 0.0, 0.0, 0.0},
    {0, 0, 0, 1, 0, -4.0, 0.0, 0.0, 0.0},
    {1, 1, 0, 0, 0, -3.0, 0.0, 0.0, 0.0},
    {1, 0, 2, 0, 0, 3.0, 0.0, 0.0, 0.0},
    {1, -1, 2, 0, 2, -3.0, 0.0, 1.0, 0.0},
    {-1, -1, 2, 2, 2, -3.0, 0.0, 1.0, 0.0},
    {-2, 0, 0, 0, 1, -2.0, 0.0, 1.0, 0.0},
    {3, 0, 2, 0, 2, -3.0, 0.0, 1.0, 0.0},
    {0, -1, 2, 2, 2, -3.0, 0.0, 1.0, 0.0},
    {1, 1, 2, 0, 2, 2.0, 0.0, -1.0, 0.0},
    {-1, 0, 2, -2, 1, -2.0, 0.0, 1.0, 0.0},
    {2, 0, 0, 0, 1, 2.0, 0.0, -1.0, 0.0},
    {1, 0, 0, 0, 2, -2.0, 0.0, 1.0, 0.0},
    {3, 0, 0, 0, 0, 2.0, 0.0, 0.0, 0.0},
    {0, 0, 2, 1, 2, 2.0, 0.0, -1.0, 0.0},
    {-1, 0, 0, 0, 2, 1.0, 0.0, -1.0, 0.0},
    {1, 0, 0, -4, 0, -1.0, 0.0, 0.0, 0.0},
    {-2, 0, 2, 2, 2, 1.0, 0.0, -1.0, 0.0},
    {-1, 0, 2, 4, 2, -2.0, 0.0, 1.0, 0.0},
    {2, 0, 0, -4, 0, -1.0, 0.0, 0.0, 0.0},
    {1, 1, 2, -2, 2, 1.0, 0.0, -1.0, 0.0},
    {1, 0, 2, 2, 1, -1.0, 0.0, 1.0, 0.0},
    {-2, 0, 2, 4, 2, -1.0, 0.0, 1.0, 0.0},
    {-1, 0, 4, 0, 2, 1.0, 0.0, 0.0, 0.0},
    {1, -1, 0, -2, 0, 1.0, 0.0, 0.0, 0.0},
    {2, 0, 2, -2, 1, 1.0, 0.0, -1.0, 0.0},
    {2, 0, 2, 2, 2, -1.0, 0.0, 0.0, 0.0},
    {1, 0, 0, 2, 1, -1.0, 0.0, 0.0, 0.0},
    {0, 0, 4, -2, 2, 1.0, 0.0, 0.0, 0.0},
    {3, 0, 2, -2, 2, 1.0, 0.0, 0.0, 0.0},
    {1, 0, 2, -2, 0, -1.0, 0.0, 0.0, 0.0},
    {0, 1, 2, 0, 1, 1.0, 0.0, 0.0, 0.0},
    {-1, -1, 0, 2, 1, 1.0, 0.0, 0.0, 0.0},
    {0, 0, -2, 0, 1, -1.0, 0.0, 0.0, 0.0},
    {0, 0, 2, -1, 2, -1.0, 0.0, 0.0, 0.0},
    {0, 1, 0, 2, 0, -1.0, 0.0, 0.0, 0.0},
    {1, 0, -2, -2, 0, -1.0, 0.0, 0.0, 0.0},
    {0, -1, 2, 0, 1, -1.0, 0.0, 0.0, 0.0},
    {1, 1, 0, -2, 1, -1.0, 0.0, 0.0, 0.0},
    {1, 0, -2, 2, 0, -1.0, 0.0, 0.0, 0.0},
    {2, 0, 0, 2, 0, 1.0, 0.0, 0.0, 0.0},
    {0, 0, 2, 4, 2, -1.0, 0.0, 0.0, 0.0},
    {0, 1, 0, 1, 0, 1.0, 0.0, 0.0, 0.0},
};

// The multipliers lie in the ranges the shared products below cover.
constexpr bool multipliers_in_range() {
    for (const NutationTerm& n : kNutation1980)
        if (n.l < -2 || n.l > 3 || n.lp < -2 || n.lp > 2 || n.f < -2 || n.f > 4 || n.d < -4 || n.d > 4 || n.om < 0 ||
            n.om > 2)
            return false;
    return true;
}
static_assert(multipliers_in_range());

// The terms in two groups, smallest first in each: those without l' and
// without a secular part, and the others.
template <bool Plain>
struct TermGroup {
    static constexpr bool plain(const NutationTerm& n) { return n.lp == 0 && n.st == 0.0 && n.ct == 0.0; }
    static constexpr std::size_t count() {
        std::size_t k = 0;
        for (const NutationTerm& n : kNutation1980) k += plain(n) == Plain;
        return k;
    }
    std::uint8_t index[count()];
    constexpr TermGroup() : index{} {
        std::size_t k = 0;
        for (int i = 105; i >= 0; --i)
            if (plain(kNutation1980[i]) == Plain) index[k++] = static_cast<std::uint8_t>(i);
    }
};
constexpr TermGroup<true> kPlainTerms{};
constexpr TermGroup<false> kOtherTerms{};

// The distinct pairs (l, F) and (D, Omega) of the terms (17 and 16 of them),
// and each term's pair: the products per epoch are those of these pairs.
struct Pairs {
    std::size_t n = 0;
    std::int8_t a[106]{}, b[106]{};
    std::uint8_t of_term[106]{};
};
template <typename Key>
constexpr Pairs distinct_pairs(Key key) {
    Pairs p;
    for (std::size_t i = 0; i < 106; ++i) {
        const auto [a, b] = key(kNutation1980[i]);
        std::size_t j = 0;
        while (j < p.n && !(p.a[j] == a && p.b[j] == b)) ++j;
        if (j == p.n) {
            p.a[j] = a;
            p.b[j] = b;
            ++p.n;
        }
        p.of_term[i] = static_cast<std::uint8_t>(j);
    }
    return p;
}
constexpr Pairs kLF = distinct_pairs([](const NutationTerm& n) { return std::pair{n.l, n.f}; });
constexpr Pairs kDOm = distinct_pairs([](const NutationTerm& n) { return std::pair{n.d, n.om}; });

// The terms in summation order with their pairs' indices and coefficients
// side by side, so that the sums read them in sequence.
struct FlatTerm {
    std::uint8_t a, b;  // indices into the (l, F) and (D, Omega) pairs
    std::int8_t lp;
    double s, c, st, ct;
};
template <bool Plain>
constexpr auto flat_terms(const TermGroup<Plain>& g) {
    std::array<FlatTerm, TermGroup<Plain>::count()> out{};
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::size_t i = g.index[k];
        const NutationTerm& n = kNutation1980[i];
        out[k] = {kLF.of_term[i], kDOm.of_term[i], n.lp, n.s, n.c, n.st, n.ct};
    }
    return out;
}
constexpr auto kPlainFlat = flat_terms(kPlainTerms);
constexpr auto kOtherFlat = flat_terms(kOtherTerms);

// A Delaunay argument: arcseconds as a cubic in T plus whole revolutions
// per century (kept apart so that the fraction of a revolution is taken
// before it is scaled, as the published expressions are evaluated).
struct Argument {
    double c0, c1, c2, c3;  // arcseconds, per century^k
    double revolutions;     // per century
};

constexpr Argument kArguments[5] = {
    {485866.733, 715922.633, 31.310, 0.064, 1325.0},     // l: the Moon's mean anomaly
    {1287099.804, 1292581.224, -0.577, -0.012, 99.0},    // l': the Sun's mean anomaly
    {335778.877, 295263.137, -13.257, 0.011, 1342.0},    // F: the Moon's argument of latitude
    {1072261.307, 1105601.328, -6.891, 0.019, 1236.0},   // D: the Moon's elongation from the Sun
    {450160.280, -482890.539, 7.455, 0.008, -5.0},       // Omega: the Moon's ascending node
};

// A cubic in T (arcseconds) and its rate, in radians and radians per second.
AngleRate cubic(double c1, double c2, double c3, double t) noexcept {
    const double angle = ((c1 + (c2 + c3 * t) * t) * t) * kArcsec;
    const double rate = (c1 + (2.0 * c2 + 3.0 * c3 * t) * t) * kArcsec / kCentury;
    return {angle, rate};
}

struct Complex {
    double re, im;
};
inline Complex mul(Complex a, Complex b) noexcept { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

// Two doubles in one register (SSE2 on x86-64, plain pairs elsewhere);
// the operations act lane by lane with IEEE rounding, as scalars do.
using V2 = double __attribute__((vector_size(16)));
inline V2 swap(V2 v) noexcept { return __builtin_shufflevector(v, v, 1, 0); }

}  // namespace

PrecessionAngles iau1976_precession_angles(double et) noexcept {
    const double t = et / kCentury;
    return {cubic(2306.2181, 0.30188, 0.017998, t), cubic(2306.2181, 1.09468, 0.018203, t),
            cubic(2004.3109, -0.42665, -0.041833, t)};
}

AngleRate iau1980_mean_obliquity(double et) noexcept {
    const double t = et / kCentury;
    const AngleRate d = cubic(-46.8150, -0.00059, 0.001813, t);
    return {84381.448 * kArcsec + d.angle, d.rate};
}

namespace {

// The series with or without rates, each compiled apart so that the term
// loops carry no test of `rates`.
template <bool rates>
Nutation nutation(double et) noexcept {
    const double t = et / kCentury;
    // e^(i k a) for each argument a and k = -4..4: the terms' arguments are
    // sums of these multiples, so their sines and cosines are products
    // (five sincos calls per epoch rather than 106).
    Complex pw[5][9];
    double rate[5] = {};
    for (int a = 0; a < 5; ++a) {
        const Argument& g = kArguments[a];
        // x - trunc(x) is fmod(x, 1) exactly (the fraction is representable).
        const double turns = g.revolutions * t;
        const double angle = (g.c0 + (g.c1 + (g.c2 + g.c3 * t) * t) * t) * kArcsec + (turns - std::trunc(turns)) * kTwoPi;
        if constexpr (rates) rate[a] = (g.c1 + (2.0 * g.c2 + 3.0 * g.c3 * t) * t) * kArcsec / kCentury + g.revolutions * kTwoPi / kCentury;
        double s, c;
        ::sincos(angle, &s, &c);
        Complex* p = pw[a] + 4;
        p[0] = {1.0, 0.0};
        p[1] = {c, s};
        p[-1] = {c, -s};
        for (int k = 2; k <= 4; ++k) {
            p[k] = mul(p[k - 1], p[1]);
            p[-k] = {p[k].re, -p[k].im};
        }
    }
    // The products the terms share: of l with F and of D with Omega.
    Complex lf[kLF.n], dom[kDOm.n];
    for (std::size_t j = 0; j < kLF.n; ++j) lf[j] = mul(pw[0][kLF.a[j] + 4], pw[2][kLF.b[j] + 4]);
    for (std::size_t j = 0; j < kDOm.n; ++j) dom[j] = mul(pw[3][kDOm.a[j] + 4], pw[4][kDOm.b[j] + 4]);
    // The arguments' rates by pair, as their products.
    double wlf[kLF.n], wdom[kDOm.n];
    if constexpr (rates) {
        for (std::size_t j = 0; j < kLF.n; ++j) wlf[j] = kLF.a[j] * rate[0] + kLF.b[j] * rate[2];
        for (std::size_t j = 0; j < kDOm.n; ++j) wdom[j] = kDOm.a[j] * rate[3] + kDOm.b[j] * rate[4];
    }
    // The sums run in pairs of lanes, (dpsi, deps) side by side and so on:
    // each lane does the scalar operations in the scalar order (a product
    // of complex numbers as mul() forms it, x - y as x + (-y), which is the
    // same rounding), so the sums are those of a term-by-term loop.
    // Per pair: (re, re) and (-im, im) of lf, (re, im) and (im, re) of dom.
    V2 lf_re[kLF.n], lf_im[kLF.n], dom_v[kDOm.n], dom_s[kDOm.n];
    for (std::size_t j = 0; j < kLF.n; ++j) lf_re[j] = V2{lf[j].re, lf[j].re}, lf_im[j] = V2{-lf[j].im, lf[j].im};
    for (std::size_t j = 0; j < kDOm.n; ++j) dom_v[j] = V2{dom[j].re, dom[j].im}, dom_s[j] = V2{dom[j].im, dom[j].re};
    constexpr V2 flip = {1.0, -1.0};
    V2 sum = {0.0, 0.0}, sum_t = {0.0, 0.0}, sum_w = {0.0, 0.0};  // (dpsi, deps), their T and argument parts
    // Summed from the smallest terms up: first the terms without l' and
    // without a secular part (one product each), then the others.
    for (const FlatTerm& n : kPlainFlat) {
        const std::uint8_t a = n.a, b = n.b;
        const V2 e = lf_re[a] * dom_v[b] + lf_im[a] * dom_s[b];  // (re, im) of lf[a] dom[b]
        const V2 sc = {n.s, n.c};
        sum += sc * swap(e);
        if constexpr (rates) {
            const double w = wlf[a] + wdom[b];
            sum_w += sc * e * V2{w, w} * flip;
        }
    }
    for (const FlatTerm& n : kOtherFlat) {
        const std::uint8_t a = n.a, b = n.b;
        const V2 e0 = lf_re[a] * dom_v[b] + lf_im[a] * dom_s[b];
        const Complex q = pw[1][n.lp + 4];
        const V2 e = V2{e0[0], e0[0]} * V2{q.re, q.im} + V2{-e0[1], e0[1]} * V2{q.im, q.re};
        const V2 tc = {n.st, n.ct};
        const V2 sc = V2{n.s, n.c} + tc * V2{t, t};
        sum += sc * swap(e);
        if constexpr (rates) {
            const double w = wlf[a] + wdom[b] + n.lp * rate[1];
            sum_t += tc * swap(e);
            sum_w += sc * e * V2{w, w} * flip;
        }
    }
    const double dpsi = sum[0], deps = sum[1], dpsi_t = sum_t[0], deps_t = sum_t[1], dpsi_w = sum_w[0],
                 deps_w = sum_w[1];
    constexpr double unit = 1e-4 * kArcsec;
    if (!rates) return {{dpsi * unit, 0.0}, {deps * unit, 0.0}};
    return {{dpsi * unit, (dpsi_t / kCentury + dpsi_w) * unit}, {deps * unit, (deps_t / kCentury + deps_w) * unit}};
}

}  // namespace

Nutation iau1980_nutation(double et, bool rates) noexcept { return rates ? nutation<true>(et) : nutation<false>(et); }

RotationRate axis_rotation_rate(int axis, double angle, double rate) noexcept {
    double s, c;
    ::sincos(angle, &s, &c);
    const double ds = c * rate, dc = -s * rate;
    switch (axis) {
        case 1:
            return {Mat3{{{1.0, 0.0, 0.0}, {0.0, c, s}, {0.0, -s, c}}},
                    Mat3{{{0.0, 0.0, 0.0}, {0.0, dc, ds}, {0.0, -ds, dc}}}};
        case 2:
            return {Mat3{{{c, 0.0, -s}, {0.0, 1.0, 0.0}, {s, 0.0, c}}},
                    Mat3{{{dc, 0.0, -ds}, {0.0, 0.0, 0.0}, {ds, 0.0, dc}}}};
        default:
            return {Mat3{{{c, s, 0.0}, {-s, c, 0.0}, {0.0, 0.0, 1.0}}},
                    Mat3{{{dc, ds, 0.0}, {-ds, dc, 0.0}, {0.0, 0.0, 0.0}}}};
    }
}

namespace {

// sin and cos of a nutation angle (below 1e-3 rad): the series to the
// terms below 1e-20, without a call to sincos.
void small_sincos(double x, double& s, double& c) noexcept {
    const double x2 = x * x;
    s = x * (1.0 - x2 / 6.0 * (1.0 - x2 / 20.0));
    c = 1.0 - x2 / 2.0 * (1.0 - x2 / 12.0);
}

// The rotations without rates, multiplied out: P = R3(-z) R2(theta)
// R3(-zeta), and N = R1(-(eps + deps)) R3(-dpsi) R1(eps) from the sines and
// cosines of eps, eps + deps and dpsi.
// sin and cos of zeta into zs, zc (the rates use them again).
Mat3 precession_matrix(const PrecessionAngles& p, double& zs, double& zc) noexcept {
    double sz, cz, st, ct, sx, cx;
    ::sincos(p.zeta.angle, &sx, &cx);
    zs = sx, zc = cx;
    ::sincos(p.z.angle, &sz, &cz);
    ::sincos(p.theta.angle, &st, &ct);
    return Mat3{{{cx * ct * cz - sx * sz, -sx * ct * cz - cx * sz, -st * cz},
                 {cx * ct * sz + sx * cz, -sx * ct * sz + cx * cz, -st * sz},
                 {cx * st, -sx * st, ct}}};
}

}  // namespace

void earth_of_date(EarthOfDate frame, double et, bool rates, RotationRate& out) noexcept {
    // The rotation multiplied out (the same bits with and without rates).
    const PrecessionAngles p = iau1976_precession_angles(et);
    double zs, zc;
    const Mat3 pm = precession_matrix(p, zs, zc);
    AngleRate eps{};
    Nutation n{};
    double se = 0, ce = 1, sp = 0, cp = 1;
    if (frame == EarthOfDate::MeanEquator) {
        out.r = pm;
    } else {
        eps = iau1980_mean_obliquity(et);
        ::sincos(eps.angle, &se, &ce);
        if (frame == EarthOfDate::MeanEcliptic) {
            out.r = mxm3(Mat3{{{1.0, 0.0, 0.0}, {0.0, ce, se}, {0.0, -se, ce}}}, pm);
        } else {
            n = iau1980_nutation(et, rates);
            double sd, cd;
            small_sincos(n.longitude.angle, sp, cp);
            small_sincos(n.obliquity.angle, sd, cd);
            // eps + deps by the addition theorem.
            const double st = se * cd + ce * sd, ct = ce * cd - se * sd;
            const Mat3 nut{{{cp, -sp * ce, -sp * se},
                            {sp * ct, cp * ce * ct + se * st, cp * se * ct - ce * st},
                            {sp * st, cp * ce * st - se * ct, cp * se * st + ce * ct}}};
            out.r = mxm3(nut, pm);
        }
    }
    if (!rates) return;
    // R = A_n ... A_1, each factor a frame rotation about axis e_k by angle
    // t_k, so dA_k = -t_k' [e_k]x A_k. With D_k = A_k ... A_1 the product
    // rule gives dR = -R [w]x, w = sum t_k' D_k^T e_k, and D_k^T e_k is the
    // e_k row of D_{k-1} (A_k leaves e_k as it is). The factors in order:
    // R3(-zeta), R2(theta), R3(-z) (= P), R1(eps), R3(-dpsi), R1(-eps').
    double w[3];
    const auto add = [&](double rate, double x, double y, double z) {
        w[0] += rate * x;
        w[1] += rate * y;
        w[2] += rate * z;
    };
    w[0] = 0, w[1] = 0, w[2] = -p.zeta.rate;  // e3 of the identity
    add(p.theta.rate, zs, zc, 0.0);           // e2 row of R3(-zeta)
    add(-p.z.rate, pm[2][0], pm[2][1], pm[2][2]);  // e3 row of R2(theta) R3(-zeta): P's third row
    if (frame != EarthOfDate::MeanEquator) {
        add(eps.rate, pm[0][0], pm[0][1], pm[0][2]);  // e1 row of P
        if (frame == EarthOfDate::TrueEquator) {
            // Rows 2 and 3 of D4 = R1(eps) P.
            double r2[3], r3[3];
            for (int j = 0; j < 3; ++j) {
                r2[j] = ce * pm[1][j] + se * pm[2][j];
                r3[j] = -se * pm[1][j] + ce * pm[2][j];
            }
            add(-n.longitude.rate, r3[0], r3[1], r3[2]);
            // e1 row of D5 = R3(-dpsi) D4: cos(dpsi) row 1 - sin(dpsi) row 2.
            add(-(eps.rate + n.obliquity.rate), cp * pm[0][0] - sp * r2[0], cp * pm[0][1] - sp * r2[1],
                cp * pm[0][2] - sp * r2[2]);
        }
    }
    // -R [w]x, [w]x = [[0, -w3, w2], [w3, 0, -w1], [-w2, w1, 0]].
    for (int i = 0; i < 3; ++i) {
        const double* r = out.r[i].data();
        out.dr[i][0] = -(r[1] * w[2] - r[2] * w[1]);
        out.dr[i][1] = -(r[2] * w[0] - r[0] * w[2]);
        out.dr[i][2] = -(r[0] * w[1] - r[1] * w[0]);
    }
}

}  // namespace kernwerk
