#include "ck/ck.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kernwerk {

namespace {

std::string num(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// The rotation by `angle` about the unit axis `a` (vectors turned
// right-handedly), as the toolkit's axisar builds it.
Mat3 axis_angle(const std::array<double, 3>& a, double angle) noexcept {
    const double c = std::cos(angle), s = std::sin(angle), k = 1 - c;
    Mat3 r;
    r[0] = {c + k * a[0] * a[0], k * a[0] * a[1] - s * a[2], k * a[0] * a[2] + s * a[1]};
    r[1] = {k * a[1] * a[0] + s * a[2], c + k * a[1] * a[1], k * a[1] * a[2] - s * a[0]};
    r[2] = {k * a[2] * a[0] - s * a[1], k * a[2] * a[1] + s * a[0], c + k * a[2] * a[2]};
    return r;
}

Mat3 mtxm(const Mat3& a, const Mat3& b) noexcept {  // a^T b
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[0][i] * b[0][j] + a[1][i] * b[1][j] + a[2][i] * b[2][j];
    return r;
}

Mat3 mxmt(const Mat3& a, const Mat3& b) noexcept {  // a b^T
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[i][0] * b[j][0] + a[i][1] * b[j][1] + a[i][2] * b[j][2];
    return r;
}

// Index of the last time <= t among times[0..n) (0 when t precedes all).
std::uint64_t last_at_or_before(const double* times, std::uint64_t n, double t) noexcept {
    const double* it = std::upper_bound(times, times + n, t);
    return it == times ? 0 : static_cast<std::uint64_t>(it - times) - 1;
}

std::array<double, 3> av_of(const double* rec, bool has) noexcept {
    if (!has) return {0, 0, 0};
    return {rec[4], rec[5], rec[6]};
}

// The record of times[0..n) nearest t (the earlier of two as near), when
// within tol.
std::optional<std::uint64_t> nearest(const double* times, std::uint64_t n, double t, double tol) noexcept {
    const double* it = std::lower_bound(times, times + n, t);
    std::uint64_t best = n;
    double dist = 0;
    if (it != times + n) {
        best = static_cast<std::uint64_t>(it - times);
        dist = *it - t;
    }
    if (it != times) {
        const double d = t - *(it - 1);
        if (best == n || d <= dist) {
            best = static_cast<std::uint64_t>(it - times) - 1;
            dist = d;
        }
    }
    if (best == n || !(dist <= tol)) return std::nullopt;
    return best;
}

// The polynomial through (x[i], y[i]) (Lagrange, n points) or through the
// values and derivatives (Hermite: y[2i] the value, y[2i+1] the derivative
// at x[i]), in Newton form over the nodes (each doubled for Hermite),
// evaluated with its derivative at t.
void interpolate(const double* x, const double* y, std::size_t n, bool hermite, double t, double& value,
                 double& rate) noexcept {
    constexpr std::size_t kMax = 64;
    double z[kMax], c[kMax];
    const std::size_t m = hermite ? 2 * n : n;
    for (std::size_t i = 0; i < m; ++i) {
        z[i] = hermite ? x[i / 2] : x[i];
        c[i] = hermite ? y[2 * (i / 2)] : y[i];
    }
    // Divided differences in place: after level k, c[i] = f[z(i-k) .. z(i)].
    for (std::size_t k = 1; k < m; ++k)
        for (std::size_t i = m - 1; i >= k; --i) {
            const double dz = z[i] - z[i - k];
            if (hermite && k == 1 && i % 2 == 1)
                c[i] = y[2 * (i / 2) + 1];
            else
                c[i] = (c[i] - c[i - 1]) / dz;
        }
    value = c[m - 1];
    rate = 0;
    for (std::size_t i = m - 1; i-- > 0;) {
        rate = rate * (t - z[i]) + value;
        value = value * (t - z[i]) + c[i];
    }
}

// [x]: the quaternion product (SPICE's qxq: (s1 s2 - v1.v2, s1 v2 + s2 v1 + v1 x v2)).
std::array<double, 4> qxq(const std::array<double, 4>& a, const std::array<double, 4>& b) noexcept {
    return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + b[0] * a[1] + (a[2] * b[3] - a[3] * b[2]),
            a[0] * b[2] + b[0] * a[2] + (a[3] * b[1] - a[1] * b[3]),
            a[0] * b[3] + b[0] * a[3] + (a[1] * b[2] - a[2] * b[1])};
}

// The Chebyshev sum c[0] T0(s) + ... + c[n-1] T(n-1)(s), n >= 1, by the
// forward recurrence, summed in increasing k.
double chebyshev(const double* c, std::size_t n, double s) noexcept {
    if (n == 1) return c[0];
    const double tw = s + s;
    double v = c[0] + s * c[1];
    double t0 = 1.0, t1 = s;
    for (std::size_t k = 2; k < n; ++k) {
        const double t2 = tw * t1 - t0;
        v = v + c[k] * t2;
        t0 = t1;
        t1 = t2;
    }
    return v;
}

}  // namespace

Mat3 ck_quaternion_to_matrix(const double* q) noexcept {
    const double l2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    const double sharpn = l2 == 0 ? 1.0 : 1.0 / l2;
    const double q01 = q[0] * q[1], q02 = q[0] * q[2], q03 = q[0] * q[3];
    const double q12 = q[1] * q[2], q13 = q[1] * q[3], q23 = q[2] * q[3];
    const double q11 = q[1] * q[1], q22 = q[2] * q[2], q33 = q[3] * q[3];
    Mat3 r;
    r[0] = {1 - 2 * sharpn * (q22 + q33), 2 * sharpn * (q12 - q03), 2 * sharpn * (q13 + q02)};
    r[1] = {2 * sharpn * (q12 + q03), 1 - 2 * sharpn * (q11 + q33), 2 * sharpn * (q23 - q01)};
    r[2] = {2 * sharpn * (q13 - q02), 2 * sharpn * (q23 + q01), 1 - 2 * sharpn * (q11 + q22)};
    return r;
}

std::array<double, 4> ck_matrix_to_quaternion(const Mat3& m) noexcept {
    const double tr = m[0][0] + m[1][1] + m[2][2];
    std::array<double, 4> q{};
    // The largest of the four squares decides which formula is well
    // conditioned.
    const double c2 = 1 + tr, s1 = 1 + m[0][0] - m[1][1] - m[2][2], s2 = 1 - m[0][0] + m[1][1] - m[2][2],
                 s3 = 1 - m[0][0] - m[1][1] + m[2][2];
    const double mx = std::max({c2, s1, s2, s3});
    if (mx == c2) {
        const double c = std::sqrt(c2) / 2;
        q = {c, (m[2][1] - m[1][2]) / (4 * c), (m[0][2] - m[2][0]) / (4 * c), (m[1][0] - m[0][1]) / (4 * c)};
    } else if (mx == s1) {
        const double s = std::sqrt(s1) / 2;
        q = {(m[2][1] - m[1][2]) / (4 * s), s, (m[0][1] + m[1][0]) / (4 * s), (m[0][2] + m[2][0]) / (4 * s)};
    } else if (mx == s2) {
        const double s = std::sqrt(s2) / 2;
        q = {(m[0][2] - m[2][0]) / (4 * s), (m[0][1] + m[1][0]) / (4 * s), s, (m[1][2] + m[2][1]) / (4 * s)};
    } else {
        const double s = std::sqrt(s3) / 2;
        q = {(m[1][0] - m[0][1]) / (4 * s), (m[0][2] + m[2][0]) / (4 * s), (m[1][2] + m[2][1]) / (4 * s), s};
    }
    if (q[0] < 0)
        for (double& x : q) x = -x;
    return q;
}

std::optional<CkPointing> CkSegment::evaluate(double t, double tol) const noexcept {
    CkPointing p;
    switch (data_type) {
        case 1: {
            const auto k = nearest(times, n, t, tol);
            if (!k) return std::nullopt;
            const double* rec = records + *k * stride;
            p.cmat = ck_quaternion_to_matrix(rec);
            p.av = av_of(rec, has_av);
            p.clock = times[*k];
            return p;
        }
        case 2: {
            std::uint64_t i = last_at_or_before(times, n, t);
            double at = t;
            if (!(times[i] <= t && t <= stops[i])) {
                // The nearest end of an interval: the stop before, the start after.
                double best = INFINITY;
                std::uint64_t bi = n;
                if (times[i] <= t) {
                    best = t - stops[i];
                    bi = i;
                    at = stops[i];
                }
                const std::uint64_t j = times[i] <= t ? i + 1 : i;
                if (j < n && times[j] - t < best) {
                    best = times[j] - t;
                    bi = j;
                    at = times[j];
                }
                if (bi == n || !(best <= tol)) return std::nullopt;
                i = bi;
            }
            const double* rec = records + i * 8;
            const Mat3 c = ck_quaternion_to_matrix(rec);
            const std::array<double, 3> av = {rec[4], rec[5], rec[6]};
            const double norm = std::sqrt(av[0] * av[0] + av[1] * av[1] + av[2] * av[2]);
            const double angle = (at - times[i]) * rec[7] * norm;
            if (norm == 0) {
                p.cmat = c;
            } else {
                const std::array<double, 3> axis = {av[0] / norm, av[1] / norm, av[2] / norm};
                p.cmat = mxmt(c, axis_angle(axis, angle));
            }
            p.av = av;
            p.clock = at;
            return p;
        }
        case 3: {
            // The interpolation interval holding t, and the records around it.
            const std::uint64_t iv = last_at_or_before(istarts, nint, t);
            const std::uint64_t k = last_at_or_before(times, n, t);
            const bool inside = istarts[iv] <= t && times[k] <= t && k + 1 < n &&
                                (iv + 1 >= nint || times[k + 1] < istarts[iv + 1]) && times[k] >= istarts[iv];
            if (times[k] == t || !inside) {
                std::optional<std::uint64_t> r;
                if (times[k] == t)
                    r = k;
                else
                    r = nearest(times, n, t, tol);
                if (!r) return std::nullopt;
                const double* rec = records + *r * stride;
                p.cmat = ck_quaternion_to_matrix(rec);
                p.av = av_of(rec, has_av);
                p.clock = times[*r];
                return p;
            }
            const double* r1 = records + k * stride;
            const double* r2 = records + (k + 1) * stride;
            const Mat3 c1 = ck_quaternion_to_matrix(r1), c2 = ck_quaternion_to_matrix(r2);
            const double frac = (t - times[k]) / (times[k + 1] - times[k]);
            // The rotation that carries c1 into c2, about one axis.
            const Mat3 rot = mtxm(c1, c2);
            const auto q = ck_matrix_to_quaternion(rot);
            const double sn = std::sqrt(q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
            if (sn == 0) {
                p.cmat = c1;
            } else {
                const double angle = 2 * std::atan2(sn, q[0]);
                const std::array<double, 3> axis = {q[1] / sn, q[2] / sn, q[3] / sn};
                p.cmat = mxm3(c1, axis_angle(axis, frac * angle));
            }
            if (has_av)
                for (int c = 0; c < 3; ++c) p.av[c] = r1[4 + c] + frac * (r2[4 + c] - r1[4 + c]);
            p.clock = t;
            return p;
        }
        case 4: {
            // The packet the references pick (-1: none, before the first).
            const auto nn = static_cast<std::int64_t>(packets4.size());
            std::int64_t i = 0;
            if (reference == 4) {
                const auto j = static_cast<std::int64_t>(std::lower_bound(refs, refs + nn, t) - refs);
                i = j == nn ? nn - 1 : (j > 0 && t - refs[j - 1] < refs[j] - t ? j - 1 : j);
            } else {
                const double* it = reference == 3 ? std::upper_bound(refs, refs + nn, t) : std::lower_bound(refs, refs + nn, t);
                i = static_cast<std::int64_t>(it - refs) - 1;
            }
            const auto end_of = [&](std::int64_t k) { return packets4[k].words[0] + packets4[k].words[1]; };
            const auto start_of = [&](std::int64_t k) { return packets4[k].words[0] - packets4[k].words[1]; };
            double at = t;
            if (i < 0 || t > end_of(i)) {
                // The nearer of the picked packet's end and the next one's
                // start, the end when as near; before the first reference
                // the first packet's start.
                const double d1 = i >= 0 ? t - end_of(i) : INFINITY;
                const double d2 = i + 1 < nn ? start_of(i + 1) - t : INFINITY;
                double d = d1;
                if (i < 0 || d2 < d1) {
                    ++i;
                    at = start_of(i);
                    d = d2;
                } else {
                    at = end_of(i);
                }
                if (!(d <= tol)) return std::nullopt;
            }
            const Ck4Packet& pk = packets4[static_cast<std::size_t>(i)];
            const double s = (at - pk.words[0]) / pk.words[1];
            const double* c = pk.words + 3;
            double q[4];
            for (int k = 0; k < 4; ++k) {
                q[k] = chebyshev(c, pk.counts[k], s);
                c += pk.counts[k];
            }
            p.cmat = ck_quaternion_to_matrix(q);
            if (has_av)
                for (int k = 0; k < 3; ++k) {
                    p.av[k] = chebyshev(c, pk.counts[4 + k], s);
                    c += pk.counts[4 + k];
                }
            p.clock = at;
            return p;
        }
        case 5: {
            // Interpolation interval iv runs over its records lo..hi.
            const auto bounds = [&](std::uint64_t iv, std::uint64_t& lo, std::uint64_t& hi) {
                lo = last_at_or_before(times, n, istarts[iv]);
                hi = n - 1;
                if (iv + 1 < nint) {
                    hi = last_at_or_before(times, n, istarts[iv + 1]);
                    if (hi > lo && times[hi] >= istarts[iv + 1]) --hi;
                }
            };
            // A window of `window` records centred after record `before`,
            // cut (not shifted) at the ends of the interval. Inside an
            // interval `before` is the last record strictly earlier than the
            // request; a record answering within the tolerance is its own
            // `before`; either is kept within the segment's first and
            // last-but-one records. The toolkit's choices, which show in the
            // angular velocity derived at a record's own time.
            const auto at_time = [&](double at, std::uint64_t iv, std::int64_t before) {
                std::uint64_t lo = 0, hi = 0;
                bounds(iv, lo, hi);
                before = std::clamp<std::int64_t>(before, 0, std::max<std::int64_t>(static_cast<std::int64_t>(n) - 2, 0));
                const auto w = static_cast<std::int64_t>(window);
                std::int64_t first = before + 1 - w / 2;
                if (w % 2 == 1) {
                    const bool next = before + 1 < static_cast<std::int64_t>(n) &&
                                      times[before + 1] - at < at - times[before];
                    first = (next ? before + 1 : before) - w / 2;
                }
                // Within the interval's records [lo, hi], never empty: a
                // window whose centre falls at the interval's edge keeps at
                // least the edge record.
                std::int64_t last = std::min(first + w - 1, static_cast<std::int64_t>(hi));
                first = std::min(std::max(first, static_cast<std::int64_t>(lo)), static_cast<std::int64_t>(hi));
                last = std::max(last, first);
                return packets().window_at(static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(last), at);
            };
            const std::uint64_t iv = last_at_or_before(istarts, nint, t);
            std::uint64_t lo = 0, hi = 0;
            bounds(iv, lo, hi);
            if (istarts[iv] <= t && times[lo] <= t && t <= times[hi]) {
                const auto earlier = static_cast<std::int64_t>(std::lower_bound(times, times + n, t) - times) - 1;
                return at_time(t, iv, earlier);
            }
            // Outside every interval: the nearest record within the
            // tolerance, evaluated at its own time in its own interval.
            const auto r = nearest(times, n, t, tol);
            if (!r) return std::nullopt;
            return at_time(times[*r], last_at_or_before(istarts, nint, times[*r]), static_cast<std::int64_t>(*r));
        }
        case 6: {
            // Inside the segment every request is answered; outside, the
            // nearer end within the tolerance, evaluated there.
            double at = t;
            if (t < start || t > end) {
                at = t < start ? start : end;
                if (!(std::fabs(t - at) <= tol)) return std::nullopt;
            }
            // Interval k runs from bound k to k + 1; on an inner bound the
            // flag picks. The segment lies within the bounds, so k is the
            // interval holding `at`.
            const std::uint64_t m = minis.size();
            const double* b = bounds;
            const double* it = select_last ? std::upper_bound(b, b + m + 1, at) : std::lower_bound(b, b + m + 1, at);
            const auto k = std::min<std::uint64_t>(it == b ? 0 : static_cast<std::uint64_t>(it - b) - 1, m - 1);
            const CkPackets& mk = minis[k];
            // The window: WINSIZ/2 packets up to packet i, WINSIZ/2 after
            // it; i is the last packet before `at` (a packet's own time
            // counts as after; the first packet when none is), cut at the
            // mini-segment's ends. The toolkit's choice, which shows in the
            // angular velocity derived at a packet's own time.
            auto i = static_cast<std::int64_t>(std::lower_bound(mk.times, mk.times + mk.n, at) - mk.times) - 1;
            i = std::max<std::int64_t>(i, 0);
            const auto half = static_cast<std::int64_t>(mk.window / 2);
            const std::int64_t lo = std::max<std::int64_t>(0, i - half + 1);
            const std::int64_t hi = std::min<std::int64_t>(static_cast<std::int64_t>(mk.n) - 1, i + half);
            return mk.window_at(static_cast<std::uint64_t>(lo), static_cast<std::uint64_t>(hi), at);
        }
        default: return std::nullopt;
    }
}

CkPointing CkPackets::window_at(std::uint64_t first, std::uint64_t last, double t) const noexcept {
    // Callers keep 1 <= last - first + 1 <= 32 (window sizes are checked at
    // load); the bound is kept here too, as the node arrays below hold 32.
    if (last < first) last = first;
    if (last - first >= 32) last = first + 31;
    const std::uint64_t w = last - first + 1;
    const bool hermite = subtype == 0 || subtype == 2;
    double x[32], y[64];
    std::array<double, 4> q{}, dq{};
    // Quaternions of the window with signs chosen so that each is near the one before.
    double sign[32];
    for (std::uint64_t j = 0; j < w; ++j) {
        const double* r = records + (first + j) * stride;
        sign[j] = 1;
        if (j) {
            const double* p = records + (first + j - 1) * stride;
            const double dot = sign[j - 1] * (p[0] * r[0] + p[1] * r[1] + p[2] * r[2] + p[3] * r[3]);
            if (dot < 0) sign[j] = -1;
        }
        x[j] = times[first + j];
    }
    for (int c = 0; c < 4; ++c) {
        for (std::uint64_t j = 0; j < w; ++j) {
            const double* r = records + (first + j) * stride;
            if (hermite) {
                y[2 * j] = sign[j] * r[c];
                y[2 * j + 1] = sign[j] * r[4 + c] * rate;  // per tick
            } else {
                y[j] = sign[j] * r[c];
            }
        }
        interpolate(x, y, w, hermite, t, q[c], dq[c]);
    }
    CkPointing p;
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    std::array<double, 4> qu = {q[0] / norm, q[1] / norm, q[2] / norm, q[3] / norm};
    p.cmat = ck_quaternion_to_matrix(qu.data());
    p.clock = t;
    if (subtype == 2 || subtype == 3) {
        const std::size_t off = subtype == 2 ? 8 : 4;
        for (int c = 0; c < 3; ++c) {
            for (std::uint64_t j = 0; j < w; ++j) {
                const double* r = records + (first + j) * stride;
                if (hermite) {
                    y[2 * j] = r[off + c];
                    y[2 * j + 1] = r[off + 3 + c] * rate;
                } else {
                    y[j] = r[off + c];
                }
            }
            double d = 0;
            interpolate(x, y, w, hermite, t, p.av[c], d);
        }
    } else {
        // From the quaternion and its rate (per second): -2 q* dq, q* the
        // conjugate of the unit quaternion and dq scaled by the same norm.
        std::array<double, 4> dqs = {dq[0] / rate, dq[1] / rate, dq[2] / rate, dq[3] / rate};
        const std::array<double, 4> conj = {qu[0], -qu[1], -qu[2], -qu[3]};
        const auto v = qxq(conj, dqs);
        p.av = {-2 * v[1] / norm, -2 * v[2] / norm, -2 * v[3] / norm};
    }
    return p;
}

std::vector<std::pair<double, double>> CkSegment::intervals() const {
    std::vector<std::pair<double, double>> out;
    auto clip = [&](double a, double b) {
        a = std::max(a, start);
        b = std::min(b, end);
        if (a <= b) out.emplace_back(a, b);
    };
    switch (data_type) {
        case 1:
            for (std::uint64_t i = 0; i < n; ++i) clip(times[i], times[i]);
            break;
        case 2:
            for (std::uint64_t i = 0; i < n; ++i) clip(times[i], stops[i]);
            break;
        case 3:
        case 5:
            for (std::uint64_t iv = 0; iv < nint; ++iv) {
                const std::uint64_t a = last_at_or_before(times, n, istarts[iv]);
                std::uint64_t b = n - 1;
                if (iv + 1 < nint) {
                    b = last_at_or_before(times, n, istarts[iv + 1]);
                    if (b > a && times[b] >= istarts[iv + 1]) --b;
                }
                clip(times[a], times[b]);
            }
            break;
        case 4:
            // The toolkit's coverage of Type 4 is not cut at the segment's bounds.
            for (const Ck4Packet& pk : packets4) out.emplace_back(pk.words[0] - pk.words[1], pk.words[0] + pk.words[1]);
            break;
        default: clip(start, end);
    }
    return out;
}

std::expected<CkFile, CkError> CkFile::from_daf(DafFile daf) {
    if (daf.nd() != 2 || daf.ni() != 6)
        return std::unexpected(CkError(CkError::Kind::Malformed, "a CK must have ND = 2 and NI = 6, not ND = " +
                                                                     std::to_string(daf.nd()) + " and NI = " +
                                                                     std::to_string(daf.ni())));
    auto sums = daf.summaries();
    if (!sums) return std::unexpected(CkError(sums.error()));
    CkFile file(daf);
    for (const Summary& s : *sums) {
        if (s.doubles.size() < 2 || s.ints.size() < 6)
            return std::unexpected(CkError(CkError::Kind::Malformed, "a CK summary with fewer than 2 doubles and 6 integers"));
        CkSegment g;
        g.name = s.name;
        g.start = s.doubles[0];
        g.end = s.doubles[1];
        g.instrument = s.ints[0];
        g.ref_frame = s.ints[1];
        g.data_type = s.ints[2];
        g.has_av = s.ints[3] != 0;
        const std::int32_t first = s.ints[4], last = s.ints[5];
        auto bad = [&](const std::string& why) {
            return std::unexpected(CkError(CkError::Kind::Malformed, "malformed CK Type " + std::to_string(g.data_type) +
                                                                          " segment \"" + g.name + "\" (instrument " +
                                                                          std::to_string(g.instrument) + "): " + why));
        };
        if (first < 1 || last < first) return bad("data addresses " + std::to_string(first) + " to " + std::to_string(last));
        g.first = static_cast<std::uint32_t>(first);
        g.last = static_cast<std::uint32_t>(last);
        if (!(g.start <= g.end)) return bad("it starts at ticks " + num(g.start) + ", after its end " + num(g.end));
        auto span = daf.slice_doubles(g.first, g.last);
        if (!span) return bad(span.error().message());
        const double* w = span->data();
        const std::uint64_t size = span->size();
        auto count = [&](double v, const char* what) -> std::expected<std::uint64_t, CkError> {
            if (!(v >= 1 && v <= static_cast<double>(size) && v == std::floor(v)))
                return bad(std::string(what) + " is " + num(v) + ", not a count that fits the segment of " +
                           std::to_string(size) + " words");
            return static_cast<std::uint64_t>(v);
        };
        auto ordered = [&](const double* t, std::uint64_t k, const char* what) -> std::expected<void, CkError> {
            for (std::uint64_t i = 0; i < k; ++i)
                if (!std::isfinite(t[i]) || (i && t[i] < t[i - 1]))
                    return bad(std::string(what) + " " + std::to_string(i + 1) + " (" + num(t[i]) +
                               ") is not finite or decreases");
            return {};
        };
        switch (g.data_type) {
            case 1:
            case 3: {
                g.stride = g.has_av ? 7 : 4;
                auto nn = count(w[size - 1], "the record count");
                if (!nn) return std::unexpected(nn.error());
                g.n = *nn;
                std::uint64_t used = g.n * (g.stride + 1) + (g.n - 1) / 100 + 1;
                if (g.data_type == 3) {
                    if (size < 2) return bad("too short");
                    auto ni = count(w[size - 2], "the interval count");
                    if (!ni) return std::unexpected(ni.error());
                    g.nint = *ni;
                    used += g.nint + (g.nint - 1) / 100 + 1;
                }
                if (used != size)
                    return bad(std::to_string(g.n) + " records need " + std::to_string(used) + " words, the segment has " +
                               std::to_string(size));
                g.records = w;
                g.times = w + g.n * g.stride;
                if (auto ok = ordered(g.times, g.n, "record time"); !ok) return std::unexpected(ok.error());
                if (g.data_type == 3) {
                    g.istarts = g.times + g.n + (g.n - 1) / 100;
                    if (auto ok = ordered(g.istarts, g.nint, "interval start"); !ok) return std::unexpected(ok.error());
                    if (g.istarts[0] != g.times[0]) return bad("its first interpolation interval does not start at its first record");
                }
                break;
            }
            case 2: {
                g.stride = 8;
                // size = 10 N + (N - 1) / 100
                std::uint64_t nn = size / 10;
                while (nn > 0 && 10 * nn + (nn - 1) / 100 > size) --nn;
                if (nn == 0 || 10 * nn + (nn - 1) / 100 != size)
                    return bad("its " + std::to_string(size) + " words hold no whole number of records");
                g.n = nn;
                g.records = w;
                g.times = w + 8 * nn;
                g.stops = g.times + nn;
                if (auto ok = ordered(g.times, nn, "interval start"); !ok) return std::unexpected(ok.error());
                for (std::uint64_t i = 0; i < nn; ++i)
                    if (!(g.stops[i] >= g.times[i]) || (i + 1 < nn && g.stops[i] > g.times[i + 1]))
                        return bad("interval " + std::to_string(i + 1) + " stops at " + num(g.stops[i]) +
                                   ", before its start or after the next one's");
                break;
            }
            case 4: {
                // The generic segment's metadata: the last NMETA words.
                enum { kConBas, kNCon, kRdrBas, kNRdr, kRdrTyp, kRefBas, kNRef, kPdrBas, kNPdr, kPdrTyp,
                       kPktBas, kNPkt, kRsvBas, kNRsv, kPktSz, kPktOff, kNMeta };
                const double nmeta = w[size - 1];
                if (!(nmeta >= 17 && nmeta <= static_cast<double>(size) && nmeta == std::floor(nmeta)))
                    return bad("metadata count NMETA " + num(nmeta) + ", not 17..the segment's " + std::to_string(size) +
                               " words");
                const std::uint64_t body = size - static_cast<std::uint64_t>(nmeta);
                std::uint64_t m[kNMeta];
                static constexpr const char* kNames[] = {"CONBAS", "NCON", "RDRBAS", "NRDR", "RDRTYP", "REFBAS",
                                                         "NREF", "PDRBAS", "NPDR", "PDRTYP", "PKTBAS", "NPKT",
                                                         "RSVBAS", "NRSV", "PKTSZ", "PKTOFF"};
                for (int k = 0; k < kNMeta; ++k) {
                    const double v = w[body + static_cast<std::uint64_t>(k)];
                    if (!(v >= 0 && v <= static_cast<double>(body) && v == std::floor(v)))
                        return bad(std::string("metadata ") + kNames[k] + " is " + num(v) + ", not a count within the " +
                                   std::to_string(body) + " words before the metadata");
                    m[k] = static_cast<std::uint64_t>(v);
                }
                if (m[kRdrTyp] < 2 || m[kRdrTyp] > 4)
                    return bad("reference type " + std::to_string(m[kRdrTyp]) +
                               "; kernwerk reads explicit references (2, 3 and 4)");
                const std::uint64_t np = m[kNPkt];
                if (np == 0) return bad("no packets");
                if (m[kNRef] != np)
                    return bad(std::to_string(m[kNRef]) + " references for " + std::to_string(np) + " packets");
                if (m[kRefBas] + np > body) return bad("its references run past the metadata");
                g.refs = w + m[kRefBas];
                if (auto ok = ordered(g.refs, np, "reference"); !ok) return std::unexpected(ok.error());
                g.reference = static_cast<int>(m[kRdrTyp]);
                const double* base = w + m[kPktBas];
                std::vector<Ck4Packet> pk(np);
                if (m[kPdrTyp] == 0) {
                    const std::uint64_t stride = m[kPktSz] + m[kPktOff];
                    if (m[kPktSz] < 4 || np > (body - m[kPktBas]) / stride)
                        return bad("its " + std::to_string(np) + " packets of " + std::to_string(m[kPktSz]) +
                                   " words run past the metadata");
                    for (std::uint64_t k = 0; k < np; ++k) pk[k].words = base + k * stride + m[kPktOff];
                } else {
                    if (m[kPktOff] != 0) return bad("PKTOFF " + std::to_string(m[kPktOff]) + " with packets of varying size");
                    if (m[kNPdr] != np + 1 || m[kPdrBas] + np + 1 > body)
                        return bad("its packet directory of " + std::to_string(m[kNPdr]) + " words does not place " +
                                   std::to_string(np) + " packets");
                    const double* dir = w + m[kPdrBas];
                    for (std::uint64_t k = 0; k <= np; ++k) {
                        const double v = dir[k];
                        if (!(v >= 1 && v <= static_cast<double>(body - m[kPktBas] + 1) && v == std::floor(v)) ||
                            (k == 0 && v != 1) || (k > 0 && !(v >= dir[k - 1] + 4)))
                            return bad("packet address " + std::to_string(k + 1) + " is " + num(v) +
                                       ", not increasing from 1 by at least 4 within the segment");
                    }
                    for (std::uint64_t k = 0; k < np; ++k) pk[k].words = base + static_cast<std::uint64_t>(dir[k]) - 1;
                }
                for (std::uint64_t k = 0; k < np; ++k) {
                    const double* r = pk[k].words;
                    const std::uint64_t room = m[kPdrTyp] == 0 ? m[kPktSz]
                                                                : static_cast<std::uint64_t>(w[m[kPdrBas] + k + 1]) -
                                                                      static_cast<std::uint64_t>(w[m[kPdrBas] + k]);
                    const std::string which = "packet " + std::to_string(k + 1) + ": ";
                    if (!std::isfinite(r[0]) || !(r[1] > 0) || !std::isfinite(r[1]))
                        return bad(which + "midpoint " + num(r[0]) + " and radius " + num(r[1]) + " ticks");
                    double packed = r[2];
                    if (!(packed >= 0 && packed < 562949953421312.0 && packed == std::floor(packed)))  // 128^7
                        return bad(which + "coefficient counts packed as " + num(packed));
                    std::uint64_t total = 3;
                    for (int c = 0; c < 7; ++c) {
                        const double digit = std::fmod(packed, 128.0);
                        pk[k].counts[c] = static_cast<std::uint8_t>(digit);
                        packed = (packed - digit) / 128.0;
                        total += pk[k].counts[c];
                        if (pk[k].counts[c] == 0 && (c < 4 || g.has_av))
                            return bad(which + "no coefficients for " +
                                       (c < 4 ? "quaternion component " + std::to_string(c)
                                              : "angular velocity component " + std::to_string(c - 3)));
                    }
                    if (m[kPdrTyp] == 0 ? total > room : total != room)
                        return bad(which + std::to_string(total) + " words of coefficients and header in its " +
                                   std::to_string(room) + " words");
                }
                g.packets4 = std::move(pk);
                g.n = np;
                break;
            }
            case 5: {
                if (size < 5) return bad("too short");
                auto nn = count(w[size - 1], "the packet count");
                if (!nn) return std::unexpected(nn.error());
                auto ni = count(w[size - 2], "the interval count");
                if (!ni) return std::unexpected(ni.error());
                const double sub = w[size - 4], win = w[size - 3];
                static constexpr std::uint64_t kSizes[] = {8, 4, 14, 7};
                if (!(sub >= 0 && sub <= 3 && sub == std::floor(sub))) return bad("subtype " + num(sub));
                g.subtype = static_cast<int>(sub);
                g.stride = kSizes[g.subtype];
                if (!(win >= 1 && win <= 32 && win == std::floor(win))) return bad("window size " + num(win));
                g.window = static_cast<std::uint64_t>(win);
                g.rate = w[size - 5];
                if (!(g.rate > 0) || !std::isfinite(g.rate)) return bad("rate " + num(g.rate));
                g.n = *nn;
                g.nint = *ni;
                const std::uint64_t used = g.n * (g.stride + 1) + (g.n - 1) / 100 + g.nint + (g.nint - 1) / 100 + 5;
                if (used != size)
                    return bad(std::to_string(g.n) + " packets need " + std::to_string(used) + " words, the segment has " +
                               std::to_string(size));
                g.records = w;
                g.times = w + g.n * g.stride;
                g.istarts = g.times + g.n + (g.n - 1) / 100;
                if (auto ok = ordered(g.times, g.n, "packet time"); !ok) return std::unexpected(ok.error());
                if (auto ok = ordered(g.istarts, g.nint, "interval start"); !ok) return std::unexpected(ok.error());
                break;
            }
            case 6: {
                if (size < 4) return bad("too short");
                auto mm = count(w[size - 1], "the mini-segment count");
                if (!mm) return std::unexpected(mm.error());
                const std::uint64_t m = *mm;
                const double flag = w[size - 2];
                if (flag != 0 && flag != 1) return bad("boundary flag " + num(flag) + ", not 0 or 1");
                if (2 * (m + 1) + 2 > size)
                    return bad(std::to_string(m) + " mini-segments need more than the segment's " +
                               std::to_string(size) + " words");
                g.select_last = flag == 1;
                // The pointers start at 1 and increase; the last one, just
                // past the last mini-segment, is where the bounds begin.
                const double* ptr = w + size - 2 - (m + 1);
                for (std::uint64_t k = 0; k <= m; ++k) {
                    const double v = ptr[k];
                    if (!(v >= 1 && v <= static_cast<double>(size) && v == std::floor(v)) || (k == 0 && v != 1) ||
                        (k > 0 && !(v > ptr[k - 1])))
                        return bad("mini-segment pointer " + std::to_string(k + 1) + " is " + num(v) +
                                   ", not increasing from 1 within the segment");
                }
                const auto words = static_cast<std::uint64_t>(ptr[m]) - 1;  // of all mini-segments
                if (words + 2 * (m + 1) + 2 > size)
                    return bad("its bounds and pointers do not fit after " + std::to_string(words) +
                               " words of mini-segments");
                const std::uint64_t ndir = size - words - 2 * (m + 1) - 2;
                if (ndir != m / 100)
                    return bad(std::to_string(m) + " mini-segments leave " + std::to_string(ndir) +
                               " words for the bound directory");
                g.bounds = w + words;
                for (std::uint64_t k = 0; k <= m; ++k)
                    if (!std::isfinite(g.bounds[k]) || (k && !(g.bounds[k] > g.bounds[k - 1])))
                        return bad("interval bound " + std::to_string(k + 1) + " (" + num(g.bounds[k]) +
                                   ") is not finite or does not increase");
                if (g.start < g.bounds[0] || g.end > g.bounds[m])
                    return bad("it runs from ticks " + num(g.start) + " to " + num(g.end) +
                               ", outside its interval bounds " + num(g.bounds[0]) + " to " + num(g.bounds[m]));
                static constexpr std::uint64_t kSizes[] = {8, 4, 14, 7};
                g.minis.reserve(m);
                for (std::uint64_t k = 0; k < m; ++k) {
                    const auto from = static_cast<std::uint64_t>(ptr[k]) - 1;
                    const auto len = static_cast<std::uint64_t>(ptr[k + 1]) - 1 - from;
                    const double* b = w + from;
                    const std::string which = "mini-segment " + std::to_string(k + 1) + ": ";
                    if (len < 5) return bad(which + "too short");
                    const double rate = b[len - 4], sub = b[len - 3], win = b[len - 2], cnt = b[len - 1];
                    if (!(rate > 0) || !std::isfinite(rate)) return bad(which + "rate " + num(rate));
                    if (!(sub >= 0 && sub <= 3 && sub == std::floor(sub))) return bad(which + "subtype " + num(sub));
                    CkPackets pk;
                    pk.subtype = static_cast<int>(sub);
                    pk.stride = kSizes[pk.subtype];
                    pk.rate = rate;
                    // The Hermite subtypes use twice the nodes of the window.
                    const double most = pk.subtype == 0 || pk.subtype == 2 ? 12 : 24;
                    if (!(win >= 2 && win <= most && win == std::floor(win)) || std::fmod(win, 2) != 0)
                        return bad(which + "window size " + num(win) + ", not even in 2.." + num(most) +
                                   " for subtype " + std::to_string(pk.subtype));
                    pk.window = static_cast<std::uint64_t>(win);
                    if (!(cnt >= 1 && cnt <= static_cast<double>(len) && cnt == std::floor(cnt)))
                        return bad(which + "packet count " + num(cnt));
                    pk.n = static_cast<std::uint64_t>(cnt);
                    const std::uint64_t used = pk.n * (pk.stride + 1) + 4;
                    if (used > len || len - used != (pk.n - 1) / 100)
                        return bad(which + std::to_string(pk.n) + " packets do not fill its " + std::to_string(len) +
                                   " words");
                    pk.records = b;
                    pk.times = b + pk.n * pk.stride;
                    for (std::uint64_t i = 0; i < pk.n; ++i)
                        if (!std::isfinite(pk.times[i]) || (i && !(pk.times[i] > pk.times[i - 1])))
                            return bad(which + "packet time " + std::to_string(i + 1) + " (" + num(pk.times[i]) +
                                       ") is not finite or does not increase");
                    // Past its last packet the toolkit answers with what is
                    // not a rotation; its writer has each mini-segment's
                    // packets cover its interval.
                    if (pk.times[0] > g.bounds[k] || pk.times[pk.n - 1] < g.bounds[k + 1])
                        return bad(which + "its packets from ticks " + num(pk.times[0]) + " to " +
                                   num(pk.times[pk.n - 1]) + " do not cover its interval from " + num(g.bounds[k]) +
                                   " to " + num(g.bounds[k + 1]));
                    g.minis.push_back(pk);
                }
                break;
            }
            default: break;  // listed; refused when a query needs it
        }
        file.segments_.push_back(std::move(g));
    }
    return file;
}

std::expected<CkFile, CkError> CkFile::open(const std::string& path) {
    auto daf = DafFile::open(path, DafRules::Toolkit);
    if (!daf) return std::unexpected(CkError(daf.error()));
    return from_daf(std::move(*daf));
}

}  // namespace kernwerk
