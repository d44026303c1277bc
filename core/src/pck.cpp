#include "pck.hpp"

#include <cmath>
#include <utility>

#include "chebyshev.hpp"
#include "common.hpp"

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

// ---------------------------------------------------------------------------
// Segment list

namespace {

constexpr std::uint64_t kMaxAddress = 0xFFFFFFFFu;

std::expected<PckType2, PckError> read_type2_directory(const DafFile& daf, std::uint32_t begin, std::uint32_t last) {
    // INIT, INTLEN, RSIZE, N. With `last` below 4 the start address wraps and
    // the read reports the range.
    auto dir = daf.read_doubles(last - 3u, last);
    if (!dir) return std::unexpected(PckError(dir.error()));
    const double init = (*dir)[0], intlen = (*dir)[1];
    const std::uint64_t rsize = count_from_double((*dir)[2]);
    const std::uint64_t n = count_from_double((*dir)[3]);

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

}  // namespace

std::expected<PckFile, PckError> PckFile::from_daf(DafFile daf) {
    auto sums = daf.summaries();
    if (!sums) return std::unexpected(PckError(sums.error()));

    PckFile file;
    file.segments_.reserve(sums->size());
    for (Summary& s : *sums) {
        if (s.doubles.size() < 2 || s.ints.size() < 5) continue;
        PckSegment seg{std::move(s.name), s.doubles[0], s.doubles[1], s.ints[0], s.ints[1], s.ints[2], std::nullopt};
        if (seg.data_type == 2) {
            auto t2 = read_type2_directory(daf, static_cast<std::uint32_t>(s.ints[3]),
                                           static_cast<std::uint32_t>(s.ints[4]));
            if (!t2) return std::unexpected(t2.error());
            seg.type2 = std::move(*t2);
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

std::optional<Mat6> pck_inertial_to_body_sxform(std::int32_t ref_frame, InertialFrame inertial,
                                                const EulerState& e) noexcept {
    const auto [r, dr] = pck_euler_rotation_and_derivative(e[0], e[1], e[2], e[3], e[4], e[5]);
    const Mat6 x_body = sxform_from_rotation(r, dr);  // segment reference frame -> body-fixed

    // M: from the inertial frame of the call to the segment's reference frame.
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

}  // namespace kernwerk
