#include "pck/pck.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "daf/chebyshev.hpp"
#include "base/common.hpp"

namespace kernwerk {

// ---------------------------------------------------------------------------
// Errors

PckError PckError::no_coverage(double et, std::int32_t body_frame, std::int32_t frame) {
    return {Kind::NoCoverage, "no segment covers body " + std::to_string(body_frame) + " in frame " +
                                  std::to_string(frame) + " at et " + format_double(et)};
}

PckError PckError::unsupported_type(std::int32_t data_type) {
    return {Kind::UnsupportedType, "unsupported PCK data type " + std::to_string(data_type)};
}

PckError PckError::malformed(std::string reason) {
    return {Kind::Malformed, "malformed PCK Type 2 segment: " + reason};
}

PckError PckError::malformed(std::int32_t data_type, std::string reason) {
    return {Kind::Malformed, "malformed PCK Type " + std::to_string(data_type) + " segment: " + reason};
}

// ---------------------------------------------------------------------------
// Segment list

namespace {

constexpr std::uint64_t kMaxAddress = 0xFFFFFFFFu;

std::expected<PckType2, PckError> read_type2_directory(const DafFile& daf, std::uint32_t begin, std::uint32_t last,
                                                       const Summary& s) {
    // INIT, INTLEN, RSIZE, N, from the summary's tail when it holds them.
    // With `last` below 4 the start address wraps and the read reports the
    // range.
    std::array<double, 4> dir;
    if (const double* w = s.tail_words(last, 4)) {
        dir = {w[0], w[1], w[2], w[3]};
    } else {
        auto r = daf.read_doubles(last - 3u, last);
        if (!r) return std::unexpected(PckError(r.error()));
        dir = {(*r)[0], (*r)[1], (*r)[2], (*r)[3]};
    }
    const double init = dir[0], intlen = dir[1];
    const std::uint64_t rsize = count_from_double(dir[2]);
    const std::uint64_t n = count_from_double(dir[3]);

    if (rsize < 2 || (rsize - 2) % 3 != 0) return std::unexpected(PckError::malformed("RSIZE not 2 + 3N"));
    // A NaN INTLEN is not caught here; record selection then uses record 0.
    if (intlen <= 0.0 || rsize - 2 < 3) return std::unexpected(PckError::malformed("degree<0 or INTLEN<=0"));
    // Record selection clamps to 0..N-1, which needs a record.
    if (n == 0) return std::unexpected(PckError::malformed("N = 0 (segment has no records)"));
    // Record addresses are 32-bit: all N records of RSIZE doubles from
    // `begin` must end at or below the last address, otherwise the address
    // of a late record would wrap around onto unrelated data. This also
    // refuses N at or above 2^63 and a negative first address.
    if (rsize > kMaxAddress || n > kMaxAddress || std::uint64_t{begin} + n * rsize - 1 > kMaxAddress)
        return std::unexpected(PckError::malformed("records do not fit 32-bit addresses"));
    return PckType2{daf, init, intlen, rsize, n, (rsize - 2) / 3, begin};
}

// A stored count: an integral value in lo..hi.
bool stored_count(double v, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out) noexcept {
    if (!(v >= static_cast<double>(lo)) || !(v <= static_cast<double>(hi)) || v != std::floor(v)) return false;
    out = static_cast<std::uint64_t>(v);
    return true;
}

enum Meta { kConBas, kNCon, kRdrBas, kNRdr, kRdrTyp, kRefBas, kNRef, kPdrBas, kNPdr, kPdrTyp,
            kPktBas, kNPkt, kRsvBas, kNRsv, kPktSz, kPktOff, kNMeta, kMetaWords };

std::expected<PckType3, PckError> read_type3_metadata(const DafFile& daf, std::uint32_t begin, std::uint32_t last) {
    const auto bad = [](const char* why) { return std::unexpected(PckError::malformed(3, why)); };
    if (begin < 1 || last < begin) return bad("segment shorter than its metadata");
    auto words = daf.slice_doubles(begin, last);
    if (!words) return std::unexpected(PckError(words.error()));
    const std::uint64_t size = words->size();
    const double* w = words->data();
    std::uint64_t nmeta = 0;
    if (!stored_count(w[size - 1], kMetaWords, size, nmeta)) return bad("NMETA outside 17..segment length");
    // Every count and base lies within the words before the metadata.
    const std::uint64_t body = size - nmeta;
    std::uint64_t m[kMetaWords];
    for (int i = 0; i < kNMeta; ++i)
        if (!stored_count(w[body + static_cast<std::uint64_t>(i)], 0, body, m[i]))
            return bad("metadata value outside the segment");
    if (m[kNCon] < 1 || m[kConBas] + m[kNCon] > body) return bad("constants outside the segment");
    std::uint64_t nc = 0;
    if (!stored_count(w[m[kConBas]], 1, body, nc)) return bad("coefficient count outside 1..segment length");
    if (m[kPktSz] != 2 + 6 * nc) return bad("packet size not 2 + 6 coefficient counts");
    if (m[kRdrTyp] < 2 || m[kRdrTyp] > 4) return bad("reference type not 2, 3 or 4");
    const std::uint64_t n = m[kNPkt], stride = m[kPktSz] + m[kPktOff];
    if (n == 0) return bad("no packets");
    if (m[kNRef] != n) return bad("reference count differs from packet count");
    if (n > body / stride || m[kPktBas] + n * stride > body || m[kRefBas] + n > body ||
        m[kRdrBas] + m[kNRdr] > body)
        return bad("packets or references past the segment");
    const double* packets = w + m[kPktBas] + m[kPktOff];
    const double* epochs = w + m[kRefBas];
    for (std::uint64_t k = 0; k < n; ++k) {
        if (std::isnan(epochs[k]) || (k > 0 && !(epochs[k - 1] <= epochs[k])))
            return bad("epochs not in increasing order");
        if (!(packets[k * stride + 1] > 0.0)) return bad("RADIUS not positive");
    }
    const auto reference = m[kRdrTyp] == 3   ? PckType3::Reference::AtOrBefore
                           : m[kRdrTyp] == 2 ? PckType3::Reference::Before
                                             : PckType3::Reference::Nearest;
    return PckType3{daf, packets, epochs, n, stride, nc, reference};
}

std::expected<PckType20, PckError> read_type20_directory(const DafFile& daf, std::uint32_t begin, std::uint32_t last) {
    if (begin < 1 || last < begin || std::uint64_t{last} - begin + 1 < 7)
        return std::unexpected(PckError::malformed(20, "segment shorter than its trailer"));
    auto words = daf.slice_doubles(begin, last);
    if (!words) return std::unexpected(PckError(words.error()));
    const std::uint64_t size = words->size();
    const double* w = words->data();
    const auto back = [&](std::uint64_t k) { return w[size - 1 - k]; };
    const std::uint64_t n = count_from_double(back(0)), rsize = count_from_double(back(1));
    if (n < 1 || n > size) return std::unexpected(PckError::malformed(20, "N outside 1..segment length"));
    if (rsize < 6 || rsize > size || rsize % 3 != 0)
        return std::unexpected(PckError::malformed(20, "RSIZE not 3 (NC + 1) with NC >= 1"));
    if (n > size / rsize || rsize * n + 7 != size)
        return std::unexpected(PckError::malformed(20, "segment length does not match N records"));
    const double ascale = back(6), tscale = back(5), initjd = back(4), initfr = back(3), intlen = back(2);
    if (!(ascale > 0.0) || !(tscale > 0.0) || !std::isfinite(ascale) || !std::isfinite(tscale))
        return std::unexpected(PckError::malformed(20, "ASCALE or TSCALE not positive"));
    if (!(intlen > 0.0) || !std::isfinite(intlen)) return std::unexpected(PckError::malformed(20, "INTLEN not positive"));
    if (!std::isfinite(initjd) || !std::isfinite(initfr))
        return std::unexpected(PckError::malformed(20, "initial epoch not finite"));
    return PckType20{daf, w, ascale, tscale, initjd, initfr, intlen, rsize, n, rsize / 3 - 1};
}

}  // namespace

std::expected<PckFile, PckError> PckFile::open(const std::string& path) {
    auto opened = DafFile::open_with_summaries(path);
    if (!opened) return std::unexpected(PckError(opened.error()));
    return from_summaries(std::move(opened->file), std::move(opened->summaries));
}

std::expected<PckFile, PckError> PckFile::from_daf(DafFile daf, PckTypes types) {
    auto sums = daf.summaries();
    return from_summaries(std::move(daf), std::move(sums), types);
}

std::expected<PckFile, PckError> PckFile::from_summaries(DafFile daf,
                                                         std::expected<std::vector<Summary>, DafError> sums,
                                                         PckTypes types) {
    if (!sums) return std::unexpected(PckError(sums.error()));

    PckFile file;
    file.segments_.reserve(sums->size());
    for (Summary& s : *sums) {
        if (s.doubles.size() < 2 || s.ints.size() < 5) continue;
        PckSegment seg{std::move(s.name), s.doubles[0], s.doubles[1], s.ints[0], s.ints[1], s.ints[2],
                       std::nullopt, std::nullopt, std::nullopt};
        const auto begin = static_cast<std::uint32_t>(s.ints[3]), last = static_cast<std::uint32_t>(s.ints[4]);
        if (seg.data_type == 2) {
            auto t2 = read_type2_directory(daf, begin, last, s);
            if (!t2) return std::unexpected(t2.error());
            seg.type2 = std::move(*t2);
        } else if (seg.data_type == 3 && types == PckTypes::All) {
            auto t3 = read_type3_metadata(daf, begin, last);
            if (!t3) return std::unexpected(t3.error());
            seg.type3 = std::move(*t3);
        } else if (seg.data_type == 20 && types == PckTypes::All) {
            auto t20 = read_type20_directory(daf, begin, last);
            if (!t20) return std::unexpected(t20.error());
            seg.type20 = std::move(*t20);
        }
        file.segments_.push_back(std::move(seg));
    }
    return file;
}

// ---------------------------------------------------------------------------
// Evaluation

std::expected<EulerState, PckError> PckType2::evaluate(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(PckError(rec.error()));
    const double* r = rec->data();

    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return std::unexpected(PckError::malformed("RADIUS == 0"));
    const double* ra = r + 2;
    const double* dec = ra + ncoef;
    const double* w = dec + ncoef;
    const double inv_radius = 1.0 / radius;

    EulerState out;
    if (ncoef == 1) {
        // Constant angles; the zero derivative sums still go through the
        // reciprocal, so a NaN or infinite reciprocal shows in the rates.
        out = {ra[0], dec[0], w[0], 0.0 * inv_radius, 0.0 * inv_radius, 0.0 * inv_radius};
        return out;
    }
    const double s = (et - mid) / radius;
    double value[3], deriv[3];
    cheby3_value_and_derivative(ra, dec, w, static_cast<std::size_t>(ncoef), s, value, deriv);
    out = {value[0], value[1], value[2], deriv[0] * inv_radius, deriv[1] * inv_radius, deriv[2] * inv_radius};
    return out;
}

std::expected<std::array<double, 3>, PckError> PckType2::angles(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(PckError(rec.error()));
    const double* r = rec->data();
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return std::unexpected(PckError::malformed("RADIUS == 0"));
    const double* ra = r + 2;
    const double* dec = ra + ncoef;
    const double* w = dec + ncoef;
    if (ncoef == 1) return std::array<double, 3>{ra[0], dec[0], w[0]};
    // The value sums of cheby3_value_and_derivative, without the
    // derivatives (which never feed the values).
    const double s = (et - mid) / radius;
    const double tw = s + s;
    double va = ra[0] + s * ra[1], vb = dec[0] + s * dec[1], vc = w[0] + s * w[1];
    double t0 = 1.0, t1 = s;
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    for (std::size_t k = 2; k < nc; ++k) {
        const double t2 = tw * t1 - t0;
        va = va + ra[k] * t2;
        vb = vb + dec[k] * t2;
        vc = vc + w[k] * t2;
        t0 = t1;
        t1 = t2;
    }
    return std::array<double, 3>{va, vb, vc};
}

std::expected<std::array<double, 6>, PckError> PckType3::evaluate(double et) const {
    // The first reference at or after et (Before), else after et; the record
    // is the one before it, or with Nearest that one when it is the nearer.
    const double* end = epochs + n;
    const double* at = reference == Reference::Before ? std::lower_bound(epochs, end, et)
                                                      : std::upper_bound(epochs, end, et);
    auto k = static_cast<std::uint64_t>(at - epochs);
    const bool later = reference == Reference::Nearest && k > 0 && k < n && epochs[k] - et <= et - epochs[k - 1];
    if (!later) k = k == 0 ? 0 : k - 1;
    const double* r = packets + k * stride;
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* c[6];
    for (std::size_t a = 0; a < 6; ++a) c[a] = r + 2 + a * nc;
    // Six value sums side by side, each in increasing k from c[0] + s c[1].
    const double s = (et - r[0]) / r[1];
    EulerState out;
    for (std::size_t a = 0; a < 6; ++a) out[a] = nc == 1 ? c[a][0] : c[a][0] + s * c[a][1];
    const double tw = s + s;
    double t0 = 1.0, t1 = s;
    for (std::size_t j = 2; j < nc; ++j) {
        const double t2 = tw * t1 - t0;
        for (std::size_t a = 0; a < 6; ++a) out[a] = out[a] + c[a][j] * t2;
        t0 = t1;
        t1 = t2;
    }
    // RA, DEC and W in degrees into the Euler angles of Type 2 (pi/2 + RA,
    // pi/2 - DEC, W) in radians; the angular velocity into radians per second.
    constexpr double kHalfPi = 1.57079632679489661923;
    const double rpd = std::acos(-1.0) / 180.0;
    return std::array<double, 6>{kHalfPi + out[0] * rpd, kHalfPi - out[1] * rpd, out[2] * rpd,
                                 out[3] * rpd,           out[4] * rpd,           out[5] * rpd};
}

std::expected<EulerState, PckError> PckType20::evaluate(double et) const {
    constexpr double kJ2000 = 2451545.0, kSecondsPerDay = 86400.0;
    // The time argument in TDB seconds, as the toolkit forms it (a division
    // of ET into days would lose bits of s): the first record's start, the
    // record, its middle, s in -1..1.
    const double start = (initjd - kJ2000) * kSecondsPerDay + initfr * kSecondsPerDay;
    const double length = intlen * kSecondsPerDay;
    std::int64_t index = index_from_double(std::floor((et - start) / length));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= n) index = static_cast<std::int64_t>(n - 1);
    const double radius = length / 2.0;
    const double s = (et - (start + (static_cast<double>(index) + 0.5) * length)) / radius;
    const double* r = records + static_cast<std::uint64_t>(index) * rsize;
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* const c[3] = {r, r + (nc + 1), r + 2 * (nc + 1)};
    double v[3], integral[3];
    cheby3_value_and_integral(c, nc, s, v, integral);
    const double rscale = ascale / tscale;
    EulerState out;
    for (int a = 0; a < 3; ++a) {
        out[a] = ascale * (r[a * (nc + 1) + nc] + radius / tscale * integral[a]);
        out[a + 3] = rscale * v[a];
    }
    return out;
}

const PckSegment* PckSegmentCursor::find(double et) noexcept {
    // Kept stretches are disjoint (each is the connected set of epochs around
    // the one searched over which its segment wins) and ordered, so only the
    // last one starting at or before `et` and the one before it (whose
    // closed upper end may equal an open lower end) can hold it. A NaN epoch
    // is held by none.
    // Unused slots hold lo = +inf with an open end and come last; the count
    // of stretches with lo <= et is found without branches (random epochs
    // would mispredict every step).
    std::size_t pos = 0;
    for (std::size_t step = kKept / 2; step > 0; step /= 2)
        pos += (kept_[pos + step - 1].lo <= et) ? step : 0;
    pos += (kept_[pos].lo <= et) ? 1 : 0;
    if (pos > 0 && kept_[pos - 1].seg && holds(kept_[pos - 1], et)) return kept_[pos - 1].seg;
    if (pos > 1 && kept_[pos - 2].seg && holds(kept_[pos - 2], et)) return kept_[pos - 2].seg;
    const auto& segs = file_.segments();
    // The search of euler_state_with_ref: the last segment in file order
    // whose coverage holds `et` (NaN held by every segment).
    std::size_t i = segs.size();
    while (i-- > 0) {
        const PckSegment& s = segs[i];
        if (s.body_frame != body_ || s.start_et > et || et > s.end_et) continue;
        break;
    }
    if (i == static_cast<std::size_t>(-1)) return nullptr;
    const PckSegment& chosen = segs[i];
    if (std::isnan(et) || std::isnan(chosen.start_et) || std::isnan(chosen.end_et)) return &chosen;
    double lo = chosen.start_et, hi = chosen.end_et;
    bool lo_closed = true, hi_closed = true;
    for (std::size_t j = i + 1; j < segs.size(); ++j) {
        const PckSegment& later = segs[j];
        if (later.body_frame != body_) continue;
        if (std::isnan(later.start_et) || std::isnan(later.end_et)) return &chosen;
        // `later` does not hold `et`: it ends before or starts after it.
        if (later.end_et < et) {
            if (later.end_et >= lo) lo = later.end_et, lo_closed = false;
        } else if (later.start_et <= hi) {
            hi = later.start_et, hi_closed = false;
        }
    }
    // Kept in order of lo (the new stretch is disjoint from every kept one);
    // a full table starts again.
    if (count_ == kKept) {
        for (Stretch& k : kept_) k = Stretch{};
        count_ = 0;
    }
    std::size_t at = count_;
    while (at > 0 && kept_[at - 1].lo > lo) {
        kept_[at] = kept_[at - 1];
        --at;
    }
    kept_[at] = Stretch{&chosen, lo, hi, lo_closed, hi_closed};
    ++count_;
    return &chosen;
}

std::expected<PckFile::RefAndState, PckError> PckFile::euler_state_with_ref(std::int32_t body_frame,
                                                                             double et) const {
    // The last segment in file order wins; both ends of the coverage are
    // inclusive, and a NaN epoch is held by every segment. No fall-back to
    // an earlier segment: the one found answers or fails.
    for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
        const PckSegment& seg = *it;
        if (seg.body_frame != body_frame) continue;
        if (seg.start_et > et || et > seg.end_et) continue;
        if (!seg.type2) return std::unexpected(PckError::unsupported_type(seg.data_type));
        auto st = seg.type2->evaluate(et);
        if (!st) return std::unexpected(st.error());
        return RefAndState{seg.ref_frame, *st};
    }
    return std::unexpected(PckError::no_coverage(et, body_frame));
}

std::expected<EulerState, PckError> PckFile::euler_state(std::int32_t body_frame, double et) const {
    auto r = euler_state_with_ref(body_frame, et);
    if (!r) return std::unexpected(r.error());
    return r->state;
}

// ---------------------------------------------------------------------------
// Frame transform

std::optional<Mat3> pck_reference_rotation(std::int32_t ref_frame, InertialFrame inertial) noexcept {
    const Mat3 identity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    const Mat3 to_ecl = j2000_to_eclipj2000();
    const bool j2000 = inertial == InertialFrame::J2000;
    Mat3 m;
    if (ref_frame == 1 && j2000) {
        m = identity;
    } else if (ref_frame == 17 && j2000) {
        m = to_ecl;
    } else if (ref_frame == 1) {  // ECLIPJ2000 -> J2000
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = to_ecl[j][i];
    } else if (ref_frame == 17) {
        m = identity;
    } else {
        return std::nullopt;
    }
    return m;
}

namespace {

// The product X_body X_frame of the two 6x6 transforms, every element
// summed from 0 over k = 0..5 in increasing k.
Mat6 full_product(const Mat3& m, const Mat3& r, const Mat3& dr) noexcept {
    const Mat6 x_body = sxform_from_rotation(r, dr);  // segment reference frame -> body-fixed
    const Mat6 x_frame = sxform_from_rotation(m, Mat3{});
    Mat6 x;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            double acc = 0.0;
            for (int k = 0; k < 6; ++k) acc = acc + x_body[i][k] * x_frame[k][j];
            x[i][j] = acc;
        }
    }
    return x;
}

}  // namespace

Mat6 pck_type3_inertial_to_body_sxform(const Mat3& m, const std::array<double, 6>& a) noexcept {
    const Mat3 r = pck_euler_rotation(a[0], a[1], a[2]);
    // A vector fixed in the reference frame turns in the body-fixed frame as
    // -omega x v: dR = -[omega]x R.
    const double wx = a[3], wy = a[4], wz = a[5];
    Mat3 dr;
    for (int j = 0; j < 3; ++j) {
        dr[0][j] = wz * r[1][j] - wy * r[2][j];
        dr[1][j] = wx * r[2][j] - wz * r[0][j];
        dr[2][j] = wy * r[0][j] - wx * r[1][j];
    }
    return full_product(m, r, dr);
}

std::expected<Mat6, PckError> PckSegment::inertial_to_body(InertialFrame inertial, double et) const {
    const auto m = pck_reference_rotation(ref_frame, inertial);
    if (!m) return std::unexpected(PckError::malformed(data_type, "reference frame " + std::to_string(ref_frame) +
                                                                      " is neither 1 (J2000) nor 17 (ECLIPJ2000)"));
    if (type3) {
        auto a = type3->evaluate(et);
        if (!a) return std::unexpected(a.error());
        return pck_type3_inertial_to_body_sxform(*m, *a);
    }
    std::expected<EulerState, PckError> e = type2    ? type2->evaluate(et)
                                            : type20 ? type20->evaluate(et)
                                                     : std::expected<EulerState, PckError>(
                                                           std::unexpected(PckError::unsupported_type(data_type)));
    if (!e) return std::unexpected(e.error());
    return pck_inertial_to_body_sxform(*m, *e);
}

// X_body = [[R, 0], [dR, R]], X_frame = [[M, 0], [0, M]]. Element (i, j) of
// the product sums x_body[i][k] x_frame[k][j] over k = 0..5; a term with a
// structural zero factor is a signed zero when the other factor is finite,
// and adding a signed zero to the sum changes it only when the sum is -0 and
// the term +0. Hence, for finite R and dR (M is finite):
//   upper left:  (R M)_ij from 0, then three terms 0 x 0 = +0: one "+ 0.0";
//   upper right: from +0, only signed zeros are added: +0;
//   lower left:  (dR M)_ij from 0, then R_ik x 0 for k = 0..2, as written;
//   lower right: dR_ik x 0 (signed zeros, the sum stays +0), then (R M)_ij,
//                which is the upper left's sum before its "+ 0.0".
Mat3 pck_inertial_to_body_pxform(const Mat3& r, const Mat3& m) noexcept {
    Mat3 x;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double acc = 0.0;
            for (int k = 0; k < 3; ++k) acc = acc + r[i][k] * m[k][j];
            x[i][j] = acc + 0.0;
        }
    return x;
}

// With R and dR finite, two more things hold of these sums. Each starts
// from +0.0, so it is never -0 (a sum is -0 only when both addends are);
// adding a signed zero to it therefore changes nothing: the "+ 0.0" of the
// upper left and the R_ik x 0 terms of the lower left drop out. And a term
// with M_kj = 0 is a signed zero too: it drops out of the sum, whose value
// before any term is the +0.0 it starts from. M here is the identity or a
// rotation about x, so most of its terms are such zeros.
bool pck_inertial_to_body_blocks(const Mat3& m, const EulerState& e, Mat3& rm, Mat3& dm) noexcept {
    const auto [r, dr] = pck_euler_rotation_and_derivative(e[0], e[1], e[2], e[3], e[4], e[5]);
    // R and dR are finite whenever the angles are finite and the rates
    // below 1e300: R's elements are sums of two products of sines and
    // cosines, and each element of dR sums at most three terms, each a
    // rate times such an element of magnitude at most 1. Otherwise each
    // element is tested: x - x is 0 for a finite x and NaN otherwise, so
    // the sum is 0 exactly when every element is finite.
    constexpr double kAngle = std::numeric_limits<double>::max(), kRate = 1e300;
    const bool finite = std::fabs(e[0]) <= kAngle && std::fabs(e[1]) <= kAngle && std::fabs(e[2]) <= kAngle &&
                        std::fabs(e[3]) < kRate && std::fabs(e[4]) < kRate && std::fabs(e[5]) < kRate;
    if (!finite) [[unlikely]] {
        double nonfinite = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) nonfinite = nonfinite + (r[i][k] - r[i][k]) + (dr[i][k] - dr[i][k]);
        if (nonfinite != 0.0) return false;
    }
    // M is the identity or a rotation about x (J2000 <-> ECLIPJ2000): its
    // zeros are known in either case, and the sums below leave out the same
    // terms the general loop leaves out.
    const bool about_x = m[0][1] == 0.0 && m[0][2] == 0.0 && m[1][0] == 0.0 && m[2][0] == 0.0 && m[0][0] != 0.0 &&
                         m[1][1] != 0.0 && m[1][2] != 0.0 && m[2][1] != 0.0 && m[2][2] != 0.0;
    const bool diagonal =
        about_x || (m[0][1] == 0.0 && m[0][2] == 0.0 && m[1][0] == 0.0 && m[2][0] == 0.0 && m[1][2] == 0.0 &&
                    m[2][1] == 0.0);
    if (diagonal && !about_x && m[0][0] != 0.0 && m[1][1] != 0.0 && m[2][2] != 0.0) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                rm[i][j] = 0.0 + r[i][j] * m[j][j];
                dm[i][j] = 0.0 + dr[i][j] * m[j][j];
            }
        return true;
    }
    if (about_x) {
        for (int i = 0; i < 3; ++i) {
            rm[i][0] = 0.0 + r[i][0] * m[0][0];
            dm[i][0] = 0.0 + dr[i][0] * m[0][0];
            for (int j = 1; j < 3; ++j) {
                rm[i][j] = 0.0 + r[i][1] * m[1][j] + r[i][2] * m[2][j];
                dm[i][j] = 0.0 + dr[i][1] * m[1][j] + dr[i][2] * m[2][j];
            }
        }
        return true;
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double a = 0.0, d = 0.0;
            for (int k = 0; k < 3; ++k) {
                if (m[k][j] == 0.0) continue;
                a = a + r[i][k] * m[k][j];
                d = d + dr[i][k] * m[k][j];
            }
            rm[i][j] = a;
            dm[i][j] = d;
        }
    }
    return true;
}

void pck_inertial_to_body_sxform(const Mat3& m, const EulerState& e, double* out) noexcept {
    Mat3 rm, dm;
    if (!pck_inertial_to_body_blocks(m, e, rm, dm)) [[unlikely]] {
        const auto [r, dr] = pck_euler_rotation_and_derivative(e[0], e[1], e[2], e[3], e[4], e[5]);
        const Mat6 x = full_product(m, r, dr);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j) out[i * 6 + j] = x[i][j];
        return;
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out[i * 6 + j] = rm[i][j];
            out[i * 6 + j + 3] = 0.0;
            out[(i + 3) * 6 + j] = dm[i][j];
            out[(i + 3) * 6 + j + 3] = rm[i][j];
        }
    }
}

Mat6 pck_inertial_to_body_sxform(const Mat3& m, const EulerState& e) noexcept {
    double rows[36];
    pck_inertial_to_body_sxform(m, e, rows);
    Mat6 x;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) x[i][j] = rows[i * 6 + j];
    return x;
}

std::optional<Mat6> pck_inertial_to_body_sxform(std::int32_t ref_frame, InertialFrame inertial,
                                                const EulerState& e) noexcept {
    const auto m = pck_reference_rotation(ref_frame, inertial);
    if (!m) return std::nullopt;
    return pck_inertial_to_body_sxform(*m, e);
}

}  // namespace kernwerk
