#include "events/quantities.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <vector>

#include "math/coordinates.hpp"
#include "text/pool.hpp"

namespace kernwerk::events {

namespace {

std::string canonical(std::string_view text) {
    std::size_t a = 0, b = text.size();
    while (a < b && std::isspace(static_cast<unsigned char>(text[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(text[b - 1]))) --b;
    std::string s;
    for (char c : text.substr(a, b - a)) s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Scratch arrays of one quantity, grown and never shrunk nor cleared: a
// search evaluates its quantity once per batch, and the arrays serve every
// batch of the search without allocating. A quantity serves one search at
// a time (each binding call makes its own), and each evaluate uses its own
// slots.
struct Scratch {
    std::vector<double> buffers[4];
    double* get(int slot, std::size_t n) {
        std::vector<double>& v = buffers[slot];
        if (v.size() < n) v.resize(n);
        return v.data();
    }
};

// States of one apparent query at a batch of epochs, into scratch `slot`.
// Without a correction, between two bodies, the set's own chain of the
// pair (the Moon from the Earth through their barycenter alone) rather
// than both bodies from the solar-system barycenter: the same geometric
// state up to rounding, from fewer segments.
std::expected<double*, BatchFailure> states(const KernelSnapshot& snap, const ApparentQuery& q, const double* ets,
                                            std::size_t n, Scratch& scratch, int slot, unsigned threads) {
    double* out = scratch.get(slot, 6 * n);
    const EpochView view{ets, 1, n};
    auto r = q.correction == Correction::None && !q.target.is_site && !q.observer.is_site
                 ? snap.state_batch(q.target.body, q.observer.body, q.frame, view, out, threads)
                 : apparent_batch(snap, q, view, out, nullptr, threads);
    if (!r) return std::unexpected(std::move(r.error()));
    return out;
}

ApparentQuery apparent_of(const PositionQuery& q, std::int32_t frame) {
    return ApparentQuery{q.target, q.observer, static_cast<OutputFrame>(frame), q.correction};
}

// Stellar aberration turns the apparent position without changing its
// length, so distance and range rate are the same with or without it; the
// search asks for the light-time correction alone and spares the observer's
// acceleration that the aberration's rate needs.
Correction without_stellar(Correction c) noexcept {
    switch (c) {
        case Correction::LtS: return Correction::Lt;
        case Correction::CnS: return Correction::Cn;
        case Correction::XltS: return Correction::Xlt;
        case Correction::XcnS: return Correction::Xcn;
        default: return c;
    }
}

class Distance final : public Quantity {
public:
    Distance(const KernelSnapshot& s, const PositionQuery& q, bool rate) : snap_(s), q_(apparent_of(q, 1)), rate_(rate) {
        q_.correction = without_stellar(q_.correction);
    }
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        if (!rate_) {
            auto st = states(snap_, q_, ets, n, scratch_, 0, threads);
            if (!st) return std::unexpected(std::move(st.error()));
            for (std::size_t i = 0; i < n; ++i) {
                const double* s = *st + 6 * i;
                const double d = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
                f[i] = d;
                df[i] = (s[0] * s[3] + s[1] * s[4] + s[2] * s[5]) / d;
            }
            return {};
        }
        // Range rate at t, t - dt and t + dt in one batch.
        double* ts = scratch_.get(1, 3 * n);
        for (std::size_t i = 0; i < n; ++i) {
            ts[i] = ets[i];
            ts[n + i] = ets[i] - kRangeRateDt;
            ts[2 * n + i] = ets[i] + kRangeRateDt;
        }
        auto st = states(snap_, q_, ts, 3 * n, scratch_, 0, threads);
        if (!st) {
            BatchFailure e = std::move(st.error());
            e.index %= n;
            return std::unexpected(std::move(e));
        }
        auto rr = [&](std::size_t j) {
            const double* s = *st + 6 * j;
            return (s[0] * s[3] + s[1] * s[4] + s[2] * s[5]) / std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        };
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = rr(i);
            df[i] = (rr(2 * n + i) - rr(n + i)) / (2 * kRangeRateDt);
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q_;
    bool rate_;
};

class CoordinateQ final : public Quantity {
public:
    CoordinateQ(const KernelSnapshot& s, const PositionQuery& q, Coordinate c, bool positive)
        : snap_(s), q_(apparent_of(q, q.frame)), c_(c), positive_(positive) {}
    double wrap() const noexcept override {
        return c_ == Coordinate::Longitude || c_ == Coordinate::RightAscension ? 2 * std::numbers::pi : 0;
    }
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        auto st = states(snap_, q_, ets, n, scratch_, 0, threads);
        if (!st) return std::unexpected(std::move(st.error()));
        for (std::size_t i = 0; i < n; ++i) {
            const double* s = *st + 6 * i;
            const double x = s[0], y = s[1], z = s[2], vx = s[3], vy = s[4], vz = s[5];
            const double rho2 = x * x + y * y, rho = std::sqrt(rho2);
            const double r2 = rho2 + z * z, r = std::sqrt(r2);
            switch (c_) {
                case Coordinate::X: f[i] = x, df[i] = vx; break;
                case Coordinate::Y: f[i] = y, df[i] = vy; break;
                case Coordinate::Z: f[i] = z, df[i] = vz; break;
                case Coordinate::Radius:
                case Coordinate::Range: f[i] = r, df[i] = (x * vx + y * vy + z * vz) / r; break;
                case Coordinate::Latitude:
                case Coordinate::Declination:
                case Coordinate::Colatitude: {
                    const double lat = std::atan2(z, rho);
                    const double rate = (rho2 * vz - z * (x * vx + y * vy)) / (r2 * rho);
                    if (c_ == Coordinate::Colatitude) f[i] = std::numbers::pi / 2 - lat, df[i] = -rate;
                    else f[i] = lat, df[i] = rate;
                    break;
                }
                case Coordinate::Longitude:
                case Coordinate::RightAscension: {
                    // (-pi, pi], or [0, 2 pi) for right ascension and
                    // cylindrical longitude, as the toolkit's converters.
                    const double lon = std::atan2(y, x);
                    f[i] = positive_ && lon < 0 ? lon + 2 * std::numbers::pi : lon;
                    df[i] = (x * vy - y * vx) / rho2;
                    break;
                }
            }
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q_;
    Coordinate c_;
    bool positive_;
};

// The cylindrical radius: its own class, so that Radius keeps one meaning
// above.
class CylRadius final : public Quantity {
public:
    CylRadius(const KernelSnapshot& s, const PositionQuery& q) : snap_(s), q_(apparent_of(q, q.frame)) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        auto st = states(snap_, q_, ets, n, scratch_, 0, threads);
        if (!st) return std::unexpected(std::move(st.error()));
        for (std::size_t i = 0; i < n; ++i) {
            const double* s = *st + 6 * i;
            const double rho = std::sqrt(s[0] * s[0] + s[1] * s[1]);
            f[i] = rho;
            df[i] = (s[0] * s[3] + s[1] * s[4]) / rho;
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q_;
};

// Geodetic and planetographic coordinates on a spheroid.
class GeodeticQ final : public Quantity {
public:
    GeodeticQ(const KernelSnapshot& s, const PositionQuery& q, Coordinate c, Spheroid sph, std::optional<bool> west)
        : snap_(s), q_(apparent_of(q, q.frame)), c_(c), sph_(sph), west_(west) {}
    double wrap() const noexcept override { return c_ == Coordinate::Longitude ? 2 * std::numbers::pi : 0; }
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        auto st = states(snap_, q_, ets, n, scratch_, 0, threads);
        if (!st) return std::unexpected(std::move(st.error()));
        const double a = sph_.re, e2 = sph_.f * (2 - sph_.f);
        for (std::size_t i = 0; i < n; ++i) {
            const double* s = *st + 6 * i;
            const Planetodetic g = rectangular_to_planetodetic(Point3{s[0], s[1], s[2]}, sph_);
            const double rho2 = s[0] * s[0] + s[1] * s[1], rho = std::sqrt(rho2);
            const double drho = (s[0] * s[3] + s[1] * s[4]) / rho;
            const double sl = std::sin(g.lat), cl = std::cos(g.lat);
            switch (c_) {
                case Coordinate::Longitude: {
                    const double dlon = (s[0] * s[4] - s[1] * s[3]) / rho2;
                    if (west_) f[i] = planetographic_lon(g.lon, *west_), df[i] = *west_ ? -dlon : dlon;
                    else f[i] = g.lon, df[i] = dlon;
                    break;
                }
                case Coordinate::Latitude: {
                    const double w = 1 - e2 * sl * sl;
                    const double m = a * (1 - e2) / (w * std::sqrt(w));
                    f[i] = g.lat;
                    df[i] = (cl * s[5] - sl * drho) / (m + g.alt);
                    break;
                }
                default: f[i] = g.alt, df[i] = cl * drho + sl * s[5]; break;
            }
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q_;
    Coordinate c_;
    Spheroid sph_;
    std::optional<bool> west_;  // planetographic: longitude positive west
};

// The angle between unit vectors a and b, accurate near 0 and pi (the
// toolkit's vsep).
double angle_between(const double* a, const double* b) noexcept {
    const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    if (dot > 0) {
        const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
        return 2 * std::asin(0.5 * std::sqrt(dx * dx + dy * dy + dz * dz));
    }
    if (dot < 0) {
        const double dx = a[0] + b[0], dy = a[1] + b[1], dz = a[2] + b[2];
        return std::numbers::pi - 2 * std::asin(0.5 * std::sqrt(dx * dx + dy * dy + dz * dz));
    }
    return std::numbers::pi / 2;
}

class Separation final : public Quantity {
public:
    Separation(const KernelSnapshot& s, const SeparationTarget& t1, const SeparationTarget& t2, const Endpoint& o,
               Correction c)
        : snap_(s), q1_{t1.body, o, OutputFrame::J2000, c}, q2_{t2.body, o, OutputFrame::J2000, c},
          r1_(t1.radius), r2_(t2.radius) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        auto s1 = states(snap_, q1_, ets, n, scratch_, 0, threads);
        if (!s1) return std::unexpected(std::move(s1.error()));
        auto s2 = states(snap_, q2_, ets, n, scratch_, 1, threads);
        if (!s2) return std::unexpected(std::move(s2.error()));
        for (std::size_t i = 0; i < n; ++i) {
            double u1[3], u2[3], du1[3], du2[3], d1, d2, dd1, dd2;
            unit_and_rate(*s1 + 6 * i, u1, du1, d1, dd1);
            unit_and_rate(*s2 + 6 * i, u2, du2, d2, dd2);
            const double theta = angle_between(u1, u2);
            // d(cos theta) = du1.u2 + u1.du2 = -sin(theta) dtheta
            const double dcos = du1[0] * u2[0] + du1[1] * u2[1] + du1[2] * u2[2] + u1[0] * du2[0] + u1[1] * du2[1] +
                                u1[2] * du2[2];
            double value = theta, rate = -dcos / std::sin(theta);
            for (auto [r, d, dd] : {std::tuple{r1_, d1, dd1}, std::tuple{r2_, d2, dd2}}) {
                if (r <= 0) continue;
                // asin(r / d), and d/dt asin(r / d) = -r dd / (d sqrt(d^2 - r^2)).
                value -= std::asin(std::min(1.0, r / d));
                rate += r * dd / (d * std::sqrt(d * d - r * r));
            }
            f[i] = value;
            df[i] = rate;
        }
        return {};
    }

public:
    static void unit_and_rate(const double* s, double* u, double* du, double& dd) noexcept {
        double d;
        unit_and_rate(s, u, du, d, dd);
    }
    static void unit_and_rate(const double* s, double* u, double* du, double& d, double& dd) noexcept {
        d = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        for (int k = 0; k < 3; ++k) u[k] = s[k] / d;
        dd = u[0] * s[3] + u[1] * s[4] + u[2] * s[5];
        for (int k = 0; k < 3; ++k) du[k] = (s[3 + k] - u[k] * dd) / d;
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q1_, q2_;
    double r1_, r2_;
};

class PhaseAngle final : public Quantity {
public:
    PhaseAngle(const KernelSnapshot& s, const Endpoint& t, const Endpoint& i, const Endpoint& o, Correction c)
        : snap_(s), q1_{t, o, OutputFrame::J2000, c}, q2_{i, t, OutputFrame::J2000, c} {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        double* s1 = scratch_.get(0, 6 * n);
        double* lts = scratch_.get(2, n);
        double* at = scratch_.get(3, n);
        if (auto r = apparent_batch(snap_, q1_, EpochView{ets, 1, n}, s1, lts, threads); !r) return r;
        // Without a correction the illuminator is taken at et (the light
        // time returned is then the geometric one, not applied).
        const bool corrected = correction_flags(q1_.correction).light_time;
        for (std::size_t i = 0; i < n; ++i) at[i] = corrected ? ets[i] - lts[i] : ets[i];
        auto s2 = states(snap_, q2_, at, n, scratch_, 1, threads);
        if (!s2) return std::unexpected(std::move(s2.error()));
        for (std::size_t i = 0; i < n; ++i) {
            double* a = s1 + 6 * i;
            double* b = *s2 + 6 * i;
            const double d1 = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
            // The light time is |p| / c of the target's position, so its
            // rate is the range rate over c; none without a correction.
            const double dlt = !corrected ? 0.0 : (a[0] * a[3] + a[1] * a[4] + a[2] * a[5]) / (d1 * kSpeedOfLight);
            for (int k = 0; k < 6; ++k) a[k] = -a[k];  // target -> observer
            for (int k = 3; k < 6; ++k) b[k] *= 1 - dlt;
            double u1[3], u2[3], du1[3], du2[3], dd;
            Separation::unit_and_rate(a, u1, du1, dd);
            Separation::unit_and_rate(b, u2, du2, dd);
            const double theta = angle_between(u1, u2);
            const double dcos = du1[0] * u2[0] + du1[1] * u2[1] + du1[2] * u2[2] + u1[0] * du2[0] + u1[1] * du2[1] +
                                u1[2] * du2[2];
            f[i] = theta;
            df[i] = -dcos / std::sin(theta);
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q1_, q2_;
};

class Elevation final : public Quantity {
public:
    Elevation(const KernelSnapshot& s, const ElevationQuery& q, bool azimuth) : snap_(s), q_(q), azimuth_(azimuth) {}
    double wrap() const noexcept override { return azimuth_ ? 2 * std::numbers::pi : 0; }
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        double* out = scratch_.get(0, 6 * n);
        double* lts = scratch_.get(1, n);
        const EpochView view{ets, 1, n};
        // A site fixed in ITRF93 takes the Earth orientation path, pinned
        // bit for bit with Kernels.azel.
        auto r = q_.site.earth_site() && q_.frame == 13000
                     ? azel_batch(snap_, q_.target, q_.site.site, q_.local, q_.correction, view, out, lts, threads)
                     : azel_batch(snap_, q_.target, q_.site, q_.frame, q_.local, q_.correction, view, out, lts,
                                  threads);
        if (!r) return r;
        const int k = azimuth_ ? 0 : 1;
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = out[6 * i + k];
            df[i] = out[6 * i + 3 + k];
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ElevationQuery q_;
    bool azimuth_;
};

class LongitudeDifference final : public Quantity {
public:
    LongitudeDifference(const KernelSnapshot& s, const Endpoint& t1, const Endpoint& t2, const Endpoint& o,
                        std::int32_t frame, Correction c, double period)
        : snap_(s), q1_{t1, o, static_cast<OutputFrame>(frame), c}, q2_{t2, o, static_cast<OutputFrame>(frame), c},
          period_(period) {}
    double wrap() const noexcept override { return period_; }
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        auto s1 = states(snap_, q1_, ets, n, scratch_, 0, threads);
        if (!s1) return std::unexpected(std::move(s1.error()));
        auto s2 = states(snap_, q2_, ets, n, scratch_, 1, threads);
        if (!s2) return std::unexpected(std::move(s2.error()));
        for (std::size_t i = 0; i < n; ++i) {
            const double* a = *s1 + 6 * i;
            const double* b = *s2 + 6 * i;
            double d = std::atan2(a[1], a[0]) - std::atan2(b[1], b[0]);
            d -= period_ * std::floor(d / period_ + 0.5);
            // floor leaves d = period / 2 when rounding lifts d / period to
            // exactly one half below it.
            if (d >= period_ / 2) d -= period_;
            f[i] = d;
            df[i] = (a[0] * a[4] - a[1] * a[3]) / (a[0] * a[0] + a[1] * a[1]) -
                    (b[0] * b[4] - b[1] * b[3]) / (b[0] * b[0] + b[1] * b[1]);
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    ApparentQuery q1_, q2_;
    double period_;
};

class Illumination final : public Quantity {
public:
    Illumination(const KernelSnapshot& s, const IlluminationQuery& q, const Vec3& point, int angle)
        : snap_(s), q_(q), point_(point), angle_(angle) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned threads) const override {
        // The angle at t, t - dt and t + dt in one batch, at the same point.
        double* ts = scratch_.get(0, 3 * n);
        double* points = scratch_.get(1, 9 * n);
        double* vectors = scratch_.get(2, 9 * n);
        double* angles = scratch_.get(3, 9 * n);
        if (epochs_.size() < 3 * n) epochs_.resize(3 * n), flags_.resize(6 * n);
        for (std::size_t i = 0; i < n; ++i) {
            ts[i] = ets[i];
            ts[n + i] = ets[i] - kIlluminationDt;
            ts[2 * n + i] = ets[i] + kIlluminationDt;
        }
        for (std::size_t j = 0; j < 3 * n; ++j)
            for (int k = 0; k < 3; ++k) points[3 * j + k] = point_[k];
        auto r = illumination_batch(snap_, q_, EpochView{ts, 1, 3 * n}, points, epochs_.data(), vectors, angles,
                                    flags_.data(), flags_.data() + 3 * n, threads);
        if (!r) {
            BatchFailure e = std::move(r.error());
            e.index %= n;
            return std::unexpected(std::move(e));
        }
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = angles[3 * i + angle_];
            df[i] = (angles[3 * (2 * n + i) + angle_] - angles[3 * (n + i) + angle_]) / (2 * kIlluminationDt);
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    mutable Scratch scratch_;
    mutable std::vector<double> epochs_;
    mutable std::vector<std::uint8_t> flags_;
    IlluminationQuery q_;
    Vec3 point_;
    int angle_;
};

}  // namespace

std::unique_ptr<Quantity> illumination_quantity(const KernelSnapshot& snap, const IlluminationQuery& q,
                                                const Vec3& point, int angle) {
    return std::make_unique<Illumination>(snap, q, point, angle);
}

std::unique_ptr<Quantity> elevation_quantity(const KernelSnapshot& snap, const ElevationQuery& q, bool azimuth) {
    return std::make_unique<Elevation>(snap, q, azimuth);
}

std::unique_ptr<Quantity> longitude_difference_quantity(const KernelSnapshot& snap, const Endpoint& t1,
                                                        const Endpoint& t2, const Endpoint& observer,
                                                        std::int32_t frame, Correction correction, double period) {
    return std::make_unique<LongitudeDifference>(snap, t1, t2, observer, frame, correction, period);
}

std::unique_ptr<Quantity> phase_angle_quantity(const KernelSnapshot& snap, const Endpoint& target,
                                               const Endpoint& illuminator, const Endpoint& observer,
                                               Correction correction) {
    return std::make_unique<PhaseAngle>(snap, target, illuminator, observer, correction);
}

std::optional<std::string> check_distinct(const Endpoint& a, const Endpoint& b, const char* a_name,
                                          const char* b_name) {
    const bool same = a.is_site == b.is_site && (a.is_site ? a.site == b.site : a.body == b.body);
    if (!same) return std::nullopt;
    return std::string("the ") + a_name + " and the " + b_name + " are the same " + (a.is_site ? "site" : "body") +
           ": the quantity between them is undefined";
}

std::expected<CoordinateSystem, std::string> parse_coordinate_system(std::string_view text) {
    const std::string s = canonical(text);
    if (s == "RECTANGULAR") return CoordinateSystem::Rectangular;
    if (s == "LATITUDINAL") return CoordinateSystem::Latitudinal;
    if (s == "RA/DEC") return CoordinateSystem::RaDec;
    if (s == "SPHERICAL") return CoordinateSystem::Spherical;
    if (s == "CYLINDRICAL") return CoordinateSystem::Cylindrical;
    if (s == "GEODETIC") return CoordinateSystem::Geodetic;
    if (s == "PLANETOGRAPHIC") return CoordinateSystem::Planetographic;
    return std::unexpected("unknown coordinate system '" + std::string(text) +
                           "' (accepted: RECTANGULAR, LATITUDINAL, RA/DEC, SPHERICAL, CYLINDRICAL, GEODETIC, "
                           "PLANETOGRAPHIC)");
}

std::expected<Coordinate, std::string> parse_coordinate(CoordinateSystem system, std::string_view text) {
    const std::string s = canonical(text);
    struct Name {
        const char* name;
        Coordinate c;
    };
    std::vector<Name> names;
    const char* sys = "";
    switch (system) {
        case CoordinateSystem::Rectangular: sys = "RECTANGULAR", names = {{"X", Coordinate::X}, {"Y", Coordinate::Y}, {"Z", Coordinate::Z}}; break;
        case CoordinateSystem::Latitudinal: sys = "LATITUDINAL", names = {{"RADIUS", Coordinate::Radius}, {"LONGITUDE", Coordinate::Longitude}, {"LATITUDE", Coordinate::Latitude}}; break;
        case CoordinateSystem::RaDec: sys = "RA/DEC", names = {{"RANGE", Coordinate::Range}, {"RIGHT ASCENSION", Coordinate::RightAscension}, {"DECLINATION", Coordinate::Declination}}; break;
        case CoordinateSystem::Spherical: sys = "SPHERICAL", names = {{"RADIUS", Coordinate::Radius}, {"COLATITUDE", Coordinate::Colatitude}, {"LONGITUDE", Coordinate::Longitude}}; break;
        case CoordinateSystem::Cylindrical: sys = "CYLINDRICAL", names = {{"RADIUS", Coordinate::Radius}, {"LONGITUDE", Coordinate::Longitude}, {"Z", Coordinate::Z}}; break;
        case CoordinateSystem::Geodetic: sys = "GEODETIC", names = {{"LONGITUDE", Coordinate::Longitude}, {"LATITUDE", Coordinate::Latitude}, {"ALTITUDE", Coordinate::Altitude}}; break;
        case CoordinateSystem::Planetographic: sys = "PLANETOGRAPHIC", names = {{"LONGITUDE", Coordinate::Longitude}, {"LATITUDE", Coordinate::Latitude}, {"ALTITUDE", Coordinate::Altitude}}; break;
    }
    std::string accepted;
    for (const Name& n : names) {
        if (s == n.name) return n.c;
        accepted += (accepted.empty() ? "" : ", ") + std::string(n.name);
    }
    return std::unexpected("unknown coordinate '" + std::string(text) + "' of " + sys + " (accepted: " + accepted + ")");
}

std::unique_ptr<Quantity> distance_quantity(const KernelSnapshot& snap, const PositionQuery& q) {
    return std::make_unique<Distance>(snap, q, false);
}

std::unique_ptr<Quantity> range_rate_quantity(const KernelSnapshot& snap, const PositionQuery& q) {
    return std::make_unique<Distance>(snap, q, true);
}

std::expected<std::unique_ptr<Quantity>, KernelSetError> coordinate_quantity(const KernelSnapshot& snap,
                                                                            const PositionQuery& q,
                                                                            CoordinateSystem system, Coordinate c) {
    if (system == CoordinateSystem::Geodetic || system == CoordinateSystem::Planetographic) {
        const FrameNode* node = snap.frames().node(q.frame);
        if (!node) return std::unexpected(KernelSetError(KernelSetError::Kind::Frame,
                                                         "unknown frame code " + std::to_string(q.frame)));
        const std::int32_t center = node->info.center;
        const std::string why = " (" + std::string(system == CoordinateSystem::Geodetic ? "GEODETIC" : "PLANETOGRAPHIC") +
                                " coordinates in " + node->info.name + " are on the ellipsoid of its center)";
        auto radii = body_constant(snap.pool(), center, "RADII");
        if (!radii) return std::unexpected(KernelSetError(KernelSetError::Kind::MissingKernel,
                                                          radii.error().message() + why));
        if (radii->size() != 3 || !((*radii)[0] > 0) || !((*radii)[2] > 0) || !std::isfinite((*radii)[0]) ||
            !std::isfinite((*radii)[2]))
            return std::unexpected(KernelSetError(KernelSetError::Kind::Value,
                                                  "BODY" + std::to_string(center) + "_RADII must be three positive "
                                                  "numbers" + why));
        const Spheroid sph{(*radii)[0], ((*radii)[0] - (*radii)[2]) / (*radii)[0]};
        std::optional<bool> west;
        if (system == CoordinateSystem::Planetographic) {
            auto w = longitude_positive_west(snap.pool(), center);
            if (!w) return std::unexpected(KernelSetError(KernelSetError::Kind::MissingKernel,
                                                          w.error().message() + why));
            west = *w;
        }
        return std::unique_ptr<Quantity>(std::make_unique<GeodeticQ>(snap, q, c, sph, west));
    }
    if (system == CoordinateSystem::Cylindrical && c == Coordinate::Radius)
        return std::unique_ptr<Quantity>(std::make_unique<CylRadius>(snap, q));
    const bool positive = c == Coordinate::RightAscension || system == CoordinateSystem::Cylindrical;
    return std::unique_ptr<Quantity>(std::make_unique<CoordinateQ>(snap, q, c, positive));
}

std::unique_ptr<Quantity> separation_quantity(const KernelSnapshot& snap, const SeparationTarget& t1,
                                              const SeparationTarget& t2, const Endpoint& observer,
                                              Correction correction) {
    return std::make_unique<Separation>(snap, t1, t2, observer, correction);
}

std::expected<double, KernelSetError> sphere_radius(const KernelSnapshot& snap, std::int32_t body) {
    auto radii = body_constant(snap.pool(), body, "RADII");
    if (!radii) return std::unexpected(KernelSetError(KernelSetError::Kind::MissingKernel,
                                                      radii.error().message() + " (a SPHERE shape needs the body's "
                                                      "radii from a text PCK)"));
    if (radii->empty()) return std::unexpected(KernelSetError(KernelSetError::Kind::Value,
                                                              "BODY" + std::to_string(body) + "_RADII is empty"));
    double r = 0;
    for (double v : *radii) r = std::max(r, v);
    if (!(r > 0) || !std::isfinite(r))
        return std::unexpected(KernelSetError(KernelSetError::Kind::Value,
                                              "BODY" + std::to_string(body) + "_RADII must be positive"));
    return r;
}

}  // namespace kernwerk::events
