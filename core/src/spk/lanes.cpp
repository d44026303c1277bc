#include "spk/lanes.hpp"

#include <cmath>

#include "daf/chebyshev.hpp"

// Vectors of four doubles pass between inlined helpers only; no function
// with such a parameter or result is ever called across the two variants.
#pragma GCC diagnostic ignored "-Wpsabi"

// The AVX2 variants exist on x86-64 only; elsewhere both names are the same
// portable vector code, and the baseline variant is the one chosen.
#if defined(__x86_64__) || defined(__i386__)
#define KERNWERK_AVX2 __attribute__((target("avx2")))
#else
#define KERNWERK_AVX2
#endif

namespace kernwerk::lanes {

namespace {

// Four doubles; on the SSE2 baseline the compiler splits each operation in
// two halves, which changes nothing of its result.
typedef double v4 __attribute__((vector_size(32)));

// The fields of a Chebyshev segment the rows need.
struct Cheb {
    const DafFile* daf;
    double init, intlen;
    std::uint64_t rsize, n, ncoef;
    std::uint32_t begin;
};

template <typename P>
Cheb cheb_of(const P& p) noexcept {
    return Cheb{&p.daf, p.init, p.intlen, p.rsize, p.n, p.ncoef, p.begin};
}

inline const double* record(const Cheb& g, double et) noexcept {
    return chebyshev_record_or_null(*g.daf, g.init, g.intlen, g.rsize, g.n, g.begin, et);
}

// One epoch, scalar: SpkType2::evaluate without its error values. False when
// the record is not in the file or RADIUS is 0.
[[gnu::always_inline]] inline bool type2_from(const Cheb& g, const double* r, double et, double* row) noexcept {
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return false;
    const std::size_t nc = static_cast<std::size_t>(g.ncoef);
    const double* cx = r + 2;
    const double* cy = cx + nc;
    const double* cz = cy + nc;
    if (nc == 1) {
        row[0] = cx[0], row[1] = cy[0], row[2] = cz[0], row[3] = row[4] = row[5] = 0.0;
        return true;
    }
    const double s = (et - mid) / radius;
    double value[3], deriv[3];
    cheby3_value_and_derivative(cx, cy, cz, nc, s, value, deriv);
    const double recip = 1.0 / radius;
    row[0] = value[0], row[1] = value[1], row[2] = value[2];
    row[3] = deriv[0] * recip, row[4] = deriv[1] * recip, row[5] = deriv[2] * recip;
    return true;
}

// One epoch, scalar: SpkType3::evaluate without its error values.
[[gnu::always_inline]] inline bool type3_from(const Cheb& g, const double* r, double et, double* row) noexcept {
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return false;
    const std::size_t nc = static_cast<std::size_t>(g.ncoef);
    const double* c = r + 2;
    const double s = (et - mid) / radius;
    const auto pos = cheby3_val_only(c, c + nc, c + 2 * nc, nc, s);
    const auto vel = cheby3_val_only(c + 3 * nc, c + 4 * nc, c + 5 * nc, nc, s);
    row[0] = pos[0], row[1] = pos[1], row[2] = pos[2];
    row[3] = vel[0], row[4] = vel[1], row[5] = vel[2];
    return true;
}

[[gnu::always_inline]] inline bool type2_one(const Cheb& g, double et, double* row) noexcept {
    const double* r = record(g, et);
    return r && type2_from(g, r, et, row);
}

[[gnu::always_inline]] inline bool type3_one(const Cheb& g, double et, double* row) noexcept {
    const double* r = record(g, et);
    return r && type3_from(g, r, et, row);
}

// Coefficient `o` of the four lanes' records; one broadcast when all four
// epochs share the record (sorted epochs mostly do).
struct Lanes {
    const double* r[4];
    bool same;
    [[gnu::always_inline]] v4 at(std::size_t o) const noexcept {
        if (same) return v4{r[0][o], r[0][o], r[0][o], r[0][o]};
        return v4{r[0][o], r[1][o], r[2][o], r[3][o]};
    }
};

// The three series of cheby3_value_and_derivative in four lanes.
[[gnu::always_inline]] inline void type2_lanes(const Lanes& L, std::size_t nc, v4 et, double* rows) noexcept {
    const v4 mid = L.at(0), radius = L.at(1);
    const v4 s = (et - mid) / radius;
    const v4 tw = s + s;
    const std::size_t oa = 2, ob = 2 + nc, oc = 2 + 2 * nc;
    v4 va = L.at(oa) + s * L.at(oa + 1), vb = L.at(ob) + s * L.at(ob + 1), vc = L.at(oc) + s * L.at(oc + 1);
    v4 da = L.at(oa + 1), db = L.at(ob + 1), dc = L.at(oc + 1);
    const v4 one = {1.0, 1.0, 1.0, 1.0}, two = {2.0, 2.0, 2.0, 2.0};
    v4 t0 = one, t1 = s, d0 = {0.0, 0.0, 0.0, 0.0}, d1 = one;
    for (std::size_t k = 2; k < nc; ++k) {
        const v4 t2 = tw * t1 - t0;
        const v4 dt2 = tw * d1 + two * t1 - d0;
        const v4 ca = L.at(oa + k), cb = L.at(ob + k), cc = L.at(oc + k);
        va = va + ca * t2;
        vb = vb + cb * t2;
        vc = vc + cc * t2;
        da = da + ca * dt2;
        db = db + cb * dt2;
        dc = dc + cc * dt2;
        t0 = t1;
        t1 = t2;
        d0 = d1;
        d1 = dt2;
    }
    const v4 recip = one / radius;
    da = da * recip;
    db = db * recip;
    dc = dc * recip;
    for (int l = 0; l < 4; ++l) {
        double* row = rows + 6 * l;
        row[0] = va[l], row[1] = vb[l], row[2] = vc[l];
        row[3] = da[l], row[4] = db[l], row[5] = dc[l];
    }
}

// type2_lanes' derivatives alone, the same operations in the same order;
// the positions are left 0.
[[gnu::always_inline]] inline void type2_velocity_lanes(const Lanes& L, std::size_t nc, v4 et, double* rows) noexcept {
    const v4 mid = L.at(0), radius = L.at(1);
    const v4 s = (et - mid) / radius;
    const v4 tw = s + s;
    const std::size_t oa = 2, ob = 2 + nc, oc = 2 + 2 * nc;
    v4 da = L.at(oa + 1), db = L.at(ob + 1), dc = L.at(oc + 1);
    const v4 one = {1.0, 1.0, 1.0, 1.0}, two = {2.0, 2.0, 2.0, 2.0};
    v4 t0 = one, t1 = s, d0 = {0.0, 0.0, 0.0, 0.0}, d1 = one;
    for (std::size_t k = 2; k < nc; ++k) {
        const v4 t2 = tw * t1 - t0;
        const v4 dt2 = tw * d1 + two * t1 - d0;
        da = da + L.at(oa + k) * dt2;
        db = db + L.at(ob + k) * dt2;
        dc = dc + L.at(oc + k) * dt2;
        t0 = t1;
        t1 = t2;
        d0 = d1;
        d1 = dt2;
    }
    const v4 recip = one / radius;
    da = da * recip;
    db = db * recip;
    dc = dc * recip;
    for (int l = 0; l < 4; ++l) {
        double* row = rows + 6 * l;
        row[0] = row[1] = row[2] = 0.0;
        row[3] = da[l], row[4] = db[l], row[5] = dc[l];
    }
}

// cheby3_val_only of the series at offsets o, o + nc, o + 2 nc (nc >= 2) in
// four lanes: the same pairs of terms per pass, added in increasing k.
[[gnu::always_inline]] inline void val_only_lanes(const Lanes& L, std::size_t o, std::size_t nc, v4 s, v4 tw,
                                                  v4 out[3]) noexcept {
    const std::size_t ox = o, oy = o + nc, oz = o + 2 * nc;
    v4 vx = L.at(ox + 1) * s + L.at(ox), vy = L.at(oy + 1) * s + L.at(oy), vz = L.at(oz + 1) * s + L.at(oz);
    v4 t0 = {1.0, 1.0, 1.0, 1.0}, t1 = s;
    std::size_t k = 2;
    for (; k + 1 < nc; k += 2) {
        const v4 t2 = tw * t1 - t0;
        const v4 t3 = tw * t2 - t1;
        vx = vx + L.at(ox + k) * t2;
        vy = vy + L.at(oy + k) * t2;
        vz = vz + L.at(oz + k) * t2;
        vx = vx + L.at(ox + k + 1) * t3;
        vy = vy + L.at(oy + k + 1) * t3;
        vz = vz + L.at(oz + k + 1) * t3;
        t0 = t2;
        t1 = t3;
    }
    if (k < nc) {
        const v4 t2 = tw * t1 - t0;
        vx = vx + L.at(ox + k) * t2;
        vy = vy + L.at(oy + k) * t2;
        vz = vz + L.at(oz + k) * t2;
    }
    out[0] = vx, out[1] = vy, out[2] = vz;
}

[[gnu::always_inline]] inline void type3_lanes(const Lanes& L, std::size_t nc, v4 et, double* rows) noexcept {
    const v4 mid = L.at(0), radius = L.at(1);
    const v4 s = (et - mid) / radius;
    const v4 tw = s + s;
    v4 pos[3], vel[3];
    val_only_lanes(L, 2, nc, s, tw, pos);
    val_only_lanes(L, 2 + 3 * nc, nc, s, tw, vel);
    for (int l = 0; l < 4; ++l) {
        double* row = rows + 6 * l;
        row[0] = pos[0][l], row[1] = pos[1][l], row[2] = pos[2][l];
        row[3] = vel[0][l], row[4] = vel[1][l], row[5] = vel[2][l];
    }
}

// Epochs in groups of four; a group with a record out of the file or a zero
// RADIUS, segments of one coefficient, and the last epochs go one by one.
template <int Type>
[[gnu::always_inline]] inline std::size_t rows_body(const Cheb& g, const double* ets, std::size_t count,
                                                    double* rows) noexcept {
    const std::size_t nc = static_cast<std::size_t>(g.ncoef);
    std::size_t i = 0;
    if (nc >= 2) {
        for (; i + 4 <= count; i += 4) {
            for (std::size_t a = i + 4; a < i + 8 && a < count; ++a) prefetch_words(record(g, ets[a]), g.rsize);
            Lanes L;
            bool ok = true;
            for (int l = 0; l < 4; ++l) {
                L.r[l] = record(g, ets[i + l]);
                ok = ok && L.r[l] && L.r[l][1] != 0.0;
            }
            if (!ok) break;
            L.same = L.r[0] == L.r[1] && L.r[0] == L.r[2] && L.r[0] == L.r[3];
            const v4 et = {ets[i], ets[i + 1], ets[i + 2], ets[i + 3]};
            if constexpr (Type == 2)
                type2_lanes(L, nc, et, rows + 6 * i);
            else if constexpr (Type == -2)
                type2_velocity_lanes(L, nc, et, rows + 6 * i);
            else
                type3_lanes(L, nc, et, rows + 6 * i);
        }
    }
    for (; i < count; ++i) {
        if (i + 4 < count) prefetch_words(record(g, ets[i + 4]), g.rsize);
        const bool ok = Type != 3 ? type2_one(g, ets[i], rows + 6 * i) : type3_one(g, ets[i], rows + 6 * i);
        if (!ok) return i;
    }
    return count;
}

KERNWERK_AVX2 std::size_t type2_avx2(const Cheb& g, const double* ets, std::size_t count,
                                                       double* rows) noexcept {
    return rows_body<2>(g, ets, count, rows);
}
std::size_t type2_sse2(const Cheb& g, const double* ets, std::size_t count, double* rows) noexcept {
    return rows_body<2>(g, ets, count, rows);
}
KERNWERK_AVX2 std::size_t type2_velocity_avx2(const Cheb& g, const double* ets, std::size_t count,
                                              double* rows) noexcept {
    return rows_body<-2>(g, ets, count, rows);
}
std::size_t type2_velocity_sse2(const Cheb& g, const double* ets, std::size_t count, double* rows) noexcept {
    return rows_body<-2>(g, ets, count, rows);
}
KERNWERK_AVX2 std::size_t type3_avx2(const Cheb& g, const double* ets, std::size_t count,
                                                       double* rows) noexcept {
    return rows_body<3>(g, ets, count, rows);
}
std::size_t type3_sse2(const Cheb& g, const double* ets, std::size_t count, double* rows) noexcept {
    return rows_body<3>(g, ets, count, rows);
}

// Four epochs of records the caller found.
[[gnu::always_inline]] inline void four_body(const double* const* recs, std::size_t nc, const double* ets,
                                             double* rows) noexcept {
    Lanes L{{recs[0], recs[1], recs[2], recs[3]}, false};
    const v4 et = {ets[0], ets[1], ets[2], ets[3]};
    type2_lanes(L, nc, et, rows);
}

KERNWERK_AVX2 void type2_four_avx2(const double* const* recs, std::size_t nc, const double* ets,
                                                     double* rows) noexcept {
    four_body(recs, nc, ets, rows);
}
void type2_four_sse2(const double* const* recs, std::size_t nc, const double* ets, double* rows) noexcept {
    four_body(recs, nc, ets, rows);
}

bool has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
#else
    return false;
#endif
}

}  // namespace

std::size_t type2_rows(const SpkType2& seg, const double* ets, std::size_t count, double* rows) noexcept {
    const Cheb g = cheb_of(seg);
    return has_avx2() ? type2_avx2(g, ets, count, rows) : type2_sse2(g, ets, count, rows);
}

std::size_t type2_velocity_rows(const SpkType2& seg, const double* ets, std::size_t count, double* rows) noexcept {
    const Cheb g = cheb_of(seg);
    return has_avx2() ? type2_velocity_avx2(g, ets, count, rows) : type2_velocity_sse2(g, ets, count, rows);
}

std::size_t type3_rows(const SpkType3& seg, const double* ets, std::size_t count, double* rows) noexcept {
    const Cheb g = cheb_of(seg);
    return has_avx2() ? type3_avx2(g, ets, count, rows) : type3_sse2(g, ets, count, rows);
}

void prefetch_record(const SpkType2& seg, double et) noexcept {
    prefetch_words(record(cheb_of(seg), et), seg.rsize);
}

void prefetch_record(const SpkType3& seg, double et) noexcept {
    prefetch_words(record(cheb_of(seg), et), seg.rsize);
}

const double* record_of(const SpkType2& seg, double et) noexcept { return record(cheb_of(seg), et); }
const double* record_of(const SpkType3& seg, double et) noexcept { return record(cheb_of(seg), et); }

bool row_from(const SpkType2& seg, const double* r, double et, double* row) noexcept {
    return type2_from(cheb_of(seg), r, et, row);
}

bool row_from(const SpkType3& seg, const double* r, double et, double* row) noexcept {
    return type3_from(cheb_of(seg), r, et, row);
}

void type2_rows4(const double* const records[4], std::size_t nc, const double ets[4], double rows[24]) noexcept {
    if (has_avx2())
        type2_four_avx2(records, nc, ets, rows);
    else
        type2_four_sse2(records, nc, ets, rows);
}

const char* variant() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return has_avx2() ? "avx2" : "sse2";
#else
    return "portable";
#endif
}

}  // namespace kernwerk::lanes
