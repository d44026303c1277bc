#include "frames/dynamic.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <unordered_map>

#include "base/common.hpp"
#include "text/naif_ids.hpp"

namespace kernwerk {

namespace {

using Vec = std::array<double, 3>;

std::string upper(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Keyword reads for one frame: FRAME_<id>_<key>; the first problem is kept.
struct Keys {
    const KernelPool& pool;
    std::string prefix;
    std::string error;

    std::string full(const std::string& key) const { return prefix + key; }
    bool has(const std::string& key) const { return pool.find(full(key)) != nullptr; }
    void fail(const std::string& key, const std::string& what) {
        if (error.empty()) error = "the kernel variable " + full(key) + " " + what;
    }
    const PoolVariable* get(const std::string& key) {
        const PoolVariable* v = pool.find(full(key));
        if (!v) fail(key, "is not set");
        return v;
    }
    std::optional<std::string> text(const std::string& key) {
        const PoolVariable* v = get(key);
        if (!v) return std::nullopt;
        if (!v->is_text || v->strings.size() != 1) {
            fail(key, "must be one string");
            return std::nullopt;
        }
        return upper(v->strings[0]);
    }
    std::optional<double> number(const std::string& key) {
        const PoolVariable* v = get(key);
        if (!v) return std::nullopt;
        if (v->is_text || v->numbers.size() != 1 || !std::isfinite(v->numbers[0])) {
            fail(key, "must be one finite number");
            return std::nullopt;
        }
        return v->numbers[0];
    }
    std::optional<std::vector<double>> numbers(const std::string& key, std::size_t min, std::size_t max) {
        const PoolVariable* v = get(key);
        if (!v) return std::nullopt;
        if (v->is_text || v->numbers.size() < min || v->numbers.size() > max ||
            !std::all_of(v->numbers.begin(), v->numbers.end(), [](double x) { return std::isfinite(x); })) {
            fail(key, "must hold " + (min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max)) +
                          " finite numbers");
            return std::nullopt;
        }
        return v->numbers;
    }
    // A frame (name or code), kept as text until the catalog resolves it.
    std::optional<std::string> frame(const std::string& key) {
        const PoolVariable* v = get(key);
        if (!v) return std::nullopt;
        if (v->is_text && v->strings.size() == 1) return upper(v->strings[0]);
        if (!v->is_text && v->numbers.size() == 1 && v->numbers[0] == std::floor(v->numbers[0]) &&
            std::fabs(v->numbers[0]) < 2147483648.0)
            return std::to_string(static_cast<std::int32_t>(v->numbers[0]));
        fail(key, "must name one frame");
        return std::nullopt;
    }
    // A body (name or code).
    std::optional<std::int32_t> body(const std::string& key) {
        const PoolVariable* v = get(key);
        if (!v) return std::nullopt;
        if (!v->is_text && v->numbers.size() == 1 && v->numbers[0] == std::floor(v->numbers[0]) &&
            std::fabs(v->numbers[0]) < 2147483648.0)
            return static_cast<std::int32_t>(v->numbers[0]);
        if (v->is_text && v->strings.size() == 1) {
            if (auto c = bodn2c(v->strings[0])) return *c;
            fail(key, "names no known body ('" + v->strings[0] + "')");
            return std::nullopt;
        }
        fail(key, "must name one body");
        return std::nullopt;
    }
    // A unit's size in radians.
    std::optional<double> angle_unit(const std::string& key) {
        auto u = text(key);
        if (!u) return std::nullopt;
        if (*u == "RADIANS") return 1.0;
        if (*u == "DEGREES") return M_PI / 180.0;
        if (*u == "ARCMINUTES") return M_PI / 10800.0;
        if (*u == "ARCSECONDS") return M_PI / 648000.0;
        fail(key, "must be 'RADIANS', 'DEGREES', 'ARCMINUTES' or 'ARCSECONDS', not '" + *u + "'");
        return std::nullopt;
    }
};

std::optional<VectorCorrection> correction_of(const std::string& text) {
    std::string s;
    for (char c : text)
        if (c != ' ') s += c;
    static const std::pair<const char*, VectorCorrection> names[] = {
        {"NONE", VectorCorrection::None}, {"LT", VectorCorrection::Lt},     {"LT+S", VectorCorrection::LtS},
        {"CN", VectorCorrection::Cn},     {"CN+S", VectorCorrection::CnS},  {"XLT", VectorCorrection::Xlt},
        {"XLT+S", VectorCorrection::XltS}, {"XCN", VectorCorrection::Xcn}, {"XCN+S", VectorCorrection::XcnS}};
    for (const auto& [n, c] : names)
        if (s == n) return c;
    return std::nullopt;
}

void parse_vector(Keys& k, DynamicFrame& f, const std::string& which, DynamicVector& v) {
    const std::string vp = which + "_";
    if (auto axis = k.text(vp + "AXIS")) {
        std::string a = *axis;
        v.negative = !a.empty() && a[0] == '-';
        if (!a.empty() && (a[0] == '-' || a[0] == '+')) a.erase(0, 1);
        if (a == "X" || a == "Y" || a == "Z")
            v.axis = a[0] - 'X';
        else
            k.fail(vp + "AXIS", "must be X, Y, Z, -X, -Y or -Z, not '" + *axis + "'");
    }
    auto def = k.text(vp + "VECTOR_DEF");
    if (!def) return;
    const auto observer_target = [&] {
        if (auto o = k.body(vp + "OBSERVER")) v.observer = *o;
        if (auto t = k.body(vp + "TARGET")) v.target = *t;
        if (auto c = k.text(vp + "ABCORR")) {
            if (auto corr = correction_of(*c))
                v.correction = *corr;
            else
                k.fail(vp + "ABCORR", "must be one of NONE, LT, LT+S, CN, CN+S, XLT, XLT+S, XCN, XCN+S, not '" + *c + "'");
        }
    };
    if (*def == "OBSERVER_TARGET_POSITION") {
        v.kind = DynamicVector::Kind::Position;
        observer_target();
    } else if (*def == "OBSERVER_TARGET_VELOCITY") {
        v.kind = DynamicVector::Kind::Velocity;
        observer_target();
        if (auto fr = k.frame(vp + "FRAME")) f.refs.push_back({k.full(vp + "FRAME"), *fr, 0});
    } else if (*def == "CONSTANT") {
        v.kind = DynamicVector::Kind::Constant;
        if (auto fr = k.frame(vp + "FRAME")) f.refs.push_back({k.full(vp + "FRAME"), *fr, 0});
        if (k.has(vp + "ABCORR")) {
            auto c = k.text(vp + "ABCORR");
            std::string t;
            if (c)
                for (char ch : *c)
                    if (ch != ' ') t += ch;
            if (t == "S" || t == "XS") {
                v.stellar = true;
                v.transmission = t == "XS";
            } else if (auto corr = c ? correction_of(*c) : std::nullopt;
                       corr && (*corr == VectorCorrection::None || *corr == VectorCorrection::Lt ||
                                *corr == VectorCorrection::Cn || *corr == VectorCorrection::Xlt ||
                                *corr == VectorCorrection::Xcn)) {
                v.correction = *corr;
            } else if (c) {
                k.fail(vp + "ABCORR", "must be one of NONE, LT, CN, XLT, XCN, S, XS for a constant vector (light "
                                      "time and stellar aberration are not combined), not '" + *c + "'");
            }
            if (k.error.empty() && (v.stellar || v.correction != VectorCorrection::None))
                if (auto o = k.body(vp + "OBSERVER")) v.observer = *o;
        }
        auto spec = k.text(vp + "SPEC");
        if (!spec) return;
        Vec c{};
        if (*spec == "RECTANGULAR") {
            if (auto x = k.numbers(vp + "VECTOR", 3, 3)) c = {(*x)[0], (*x)[1], (*x)[2]};
        } else if (*spec == "LATITUDINAL" || *spec == "RA/DEC") {
            const bool lat = *spec == "LATITUDINAL";
            const auto unit = k.angle_unit(vp + "UNITS");
            const auto lon = k.number(vp + (lat ? "LONGITUDE" : "RA"));
            const auto la = k.number(vp + (lat ? "LATITUDE" : "DEC"));
            if (unit && lon && la) {
                const double a = *lon * *unit, b = *la * *unit;
                c = {std::cos(b) * std::cos(a), std::cos(b) * std::sin(a), std::sin(b)};
            }
        } else {
            k.fail(vp + "SPEC", "must be 'RECTANGULAR', 'LATITUDINAL' or 'RA/DEC', not '" + *spec + "'");
        }
        const double n = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        if (k.error.empty() && !(n > 0)) k.fail(vp + (*spec == "RECTANGULAR" ? "VECTOR" : "SPEC"), "gives a zero vector");
        if (n > 0) v.constant = {c[0] / n, c[1] / n, c[2] / n};
    } else if (*def == "TARGET_NEAR_POINT") {
        v.kind = DynamicVector::Kind::NearPoint;
        observer_target();
        const std::string radii = "BODY" + std::to_string(v.target) + "_RADII";
        const PoolVariable* r = k.pool.find(radii);
        if (k.error.empty()) {
            if (!r || r->is_text || r->numbers.size() != 3 ||
                !std::all_of(r->numbers.begin(), r->numbers.end(), [](double x) { return x > 0 && std::isfinite(x); }))
                k.error = "the kernel variable " + radii + " (the ellipsoid of the target of " + k.full(vp + "TARGET") +
                          ") must hold three positive radii" + (r ? "" : ", and is not set");
            else
                v.radii = {r->numbers[0], r->numbers[1], r->numbers[2]};
        }
    } else {
        k.fail(vp + "VECTOR_DEF",
               "must be OBSERVER_TARGET_POSITION, OBSERVER_TARGET_VELOCITY, TARGET_NEAR_POINT or CONSTANT, not '" + *def +
                   "'");
    }
}

Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec scale(const Vec& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec mxv(const Mat3& m, const Vec& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}
Vec mtxv(const Mat3& m, const Vec& v) {
    return {m[0][0] * v[0] + m[1][0] * v[1] + m[2][0] * v[2], m[0][1] * v[0] + m[1][1] * v[1] + m[2][1] * v[2],
            m[0][2] * v[0] + m[1][2] * v[1] + m[2][2] * v[2]};
}

// The epoch et -/+ lt of a light-time corrected state `s` (relative to the
// observer; + for the transmission corrections) and its rate 1 -/+ dlt/dt.
// lt = |p| / c holds for every correction: stellar aberration turns p
// without changing its length.
void light_time_epoch(const State& s, double et, bool transmission, double& t, double& pace) {
    constexpr double c = 299792.458;  // km/s
    const Vec p{s[0], s[1], s[2]};
    const double r = std::sqrt(dot(p, p));
    const double lt = r / c, dlt = r > 0 ? dot(p, Vec{s[3], s[4], s[5]}) / (r * c) : 0.0;
    t = transmission ? et + lt : et - lt;
    pace = transmission ? 1.0 + dlt : 1.0 - dlt;
}

// Stellar aberration of the unit vector u (rate du) for an observer moving
// at `vel` with acceleration `acc` (km/s, km/s^2; reversed for
// transmission): u turned toward w = vel / c by phi, sin(phi) = |u x w|, is
// u cos(phi) + (w - (u.w) u), since u x w is normal to u.
void stellar_aberration(const Vec& vel, const Vec& acc, bool transmission, bool rates, Vec& u, Vec& du) {
    constexpr double c = 299792.458;  // km/s
    const double k = (transmission ? -1.0 : 1.0) / c;
    const Vec w = scale(vel, k), dw = scale(acc, k);
    const double uw = dot(u, w);
    const Vec t = sub(w, scale(u, uw));
    const double s2 = dot(t, t);  // sin(phi)^2 = |w|^2 - (u.w)^2
    const double cphi = std::sqrt(1.0 - s2);
    Vec a{};
    for (int i = 0; i < 3; ++i) a[i] = u[i] * cphi + t[i];
    if (rates) {
        const double duw = dot(du, w) + dot(u, dw);
        Vec dt{};
        for (int i = 0; i < 3; ++i) dt[i] = dw[i] - duw * u[i] - uw * du[i];
        const double dcphi = -dot(t, dt) / cphi;
        for (int i = 0; i < 3; ++i) du[i] = du[i] * cphi + u[i] * dcphi + dt[i];
    }
    u = a;
}

// The unit vector of v and its derivative from v's derivative dv.
void unit_rate(const Vec& v, const Vec& dv, Vec& u, Vec& du) {
    const double n = std::sqrt(dot(v, v));
    u = scale(v, 1.0 / n);
    du = scale(sub(dv, scale(u, dot(u, dv))), 1.0 / n);
}

// A vector of a two-vector frame and its rate, in J2000.
// The vector from the observer to the nearest point of the target's
// ellipsoid, in J2000, and its rate. `s` is the target relative to the
// observer. In the target's body-fixed frame, with x the observer relative to
// the target's center and a the radii, the near point of an outside x is
// p_i = x_i a_i^2 / (a_i^2 + l), l > 0 the root of
//   F(l) = sum x_i^2 a_i^2 / (a_i^2 + l)^2 - 1 = 0
// (decreasing and convex for l > -min a_i^2: Newton from l = 0, where
// F = sum x_i^2 / a_i^2 - 1 > 0 outside, rises to the root monotonically). Its rate, by implicit differentiation:
//   dl = -(sum 2 x_i a_i^2 dx_i / (a_i^2 + l)^2) / F'(l),
//   dp_i = a_i^2 dx_i / (a_i^2 + l) - x_i a_i^2 dl / (a_i^2 + l)^2.
bool near_point(const DynamicFrame& f, const DynamicVector& v, const char* which, const PckOrientationSource* src,
                double et, const State& s, bool rates, Vec& out, Vec& dout, std::optional<FrameError>& err) {
    // The body-fixed frame at the epoch of the target's corrected state.
    double t = et, pace = 1.0;
    if (v.correction != VectorCorrection::None)
        light_time_epoch(s, et, v.correction >= VectorCorrection::Xlt, t, pace);
    RotationRate x{};
    if (!evaluate_path(v.path, src, t, rates, x, err)) return false;
    if (rates && pace != 1.0)
        for (auto& row : x.dr)
            for (double& e : row) e *= pace;
    const Vec pos = mxv(x.r, Vec{-s[0], -s[1], -s[2]});
    Vec vel{};
    if (rates) {
        const Vec a = mxv(x.dr, Vec{-s[0], -s[1], -s[2]}), b = mxv(x.r, Vec{-s[3], -s[4], -s[5]});
        vel = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
    }
    const Vec& r = v.radii;
    const Vec a2{r[0] * r[0], r[1] * r[1], r[2] * r[2]};
    double g = 0;
    for (int i = 0; i < 3; ++i) g += pos[i] * pos[i] / a2[i];
    if (!(g > 1.0)) {
        err = FrameError(FrameError::Kind::Malformed, "frame " + f.name + ", " + which + " vector: the observer is on or "
                                                      "inside the ellipsoid of its target at et " + format_double(et));
        return false;
    }
    const auto F = [&](double l, double& d) {
        double val = -1.0;
        d = 0;
        for (int i = 0; i < 3; ++i) {
            const double q = a2[i] + l;
            const double t = pos[i] * pos[i] * a2[i] / (q * q);
            val += t;
            d -= 2.0 * t / q;
        }
        return val;
    };
    double l = 0, dF = 0;
    for (int it = 0; it < 100; ++it) {
        const double val = F(l, dF);
        const double step = val / dF;
        if (!(step < 0) || l - step == l) break;  // at the root, or no progress
        l -= step;
    }
    F(l, dF);
    Vec p, dp{};
    for (int i = 0; i < 3; ++i) p[i] = pos[i] * a2[i] / (a2[i] + l);
    if (rates) {
        double num = 0;
        for (int i = 0; i < 3; ++i) {
            const double q = a2[i] + l;
            num += 2.0 * pos[i] * a2[i] * vel[i] / (q * q);
        }
        const double dl = -num / dF;
        for (int i = 0; i < 3; ++i) {
            const double q = a2[i] + l;
            dp[i] = a2[i] * vel[i] / q - pos[i] * a2[i] * dl / (q * q);
        }
    }
    // Observer -> near point = p - x, back in J2000.
    const Vec w = sub(p, pos);
    out = mtxv(x.r, w);
    if (rates) {
        const Vec a = mtxv(x.dr, w), b = mtxv(x.r, sub(dp, vel));
        dout = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
    }
    return true;
}

// `known` holds the state of the other vector of the frame when it has the
// same target, observer and correction (GSE, RTN): one lookup serves both.
bool frame_vector(const DynamicFrame& f, const DynamicVector& v, const char* which, const PckOrientationSource* src,
                  double et, bool rates, Vec& out, Vec& dout, std::optional<FrameError>& err, State& known,
                  bool& have_known) {
    const BodyStateSource* states = src ? src->body_states() : nullptr;
    const bool constant = v.kind == DynamicVector::Kind::Constant;
    if (!states && (!constant || v.stellar || v.correction != VectorCorrection::None)) {
        err = FrameError(FrameError::Kind::MissingKernel,
                         "frame " + f.name + ": its " + which + " vector needs states of bodies from a kernel set");
        return false;
    }
    const auto body_state = [&](std::int32_t target, std::int32_t observer, VectorCorrection c, double t, State& s) {
        auto r = states->state(target, observer, t, c);
        if (!r) {
            err = FrameError(r.error().kind(), "frame " + f.name + ", " + which + " vector: " + r.error().message());
            return false;
        }
        s = *r;
        return true;
    };
    const auto state = [&](double t, State& s) { return body_state(v.target, v.observer, v.correction, t, s); };
    if (constant) {
        // The frame at et -/+ lt, lt the light time from the observer to the
        // frame's centre; the epoch moves at 1 -/+ dlt/dt.
        double t = et, pace = 1.0;
        if (v.correction != VectorCorrection::None) {
            State c;
            if (!body_state(v.center, v.observer, v.correction, et, c)) return false;
            light_time_epoch(c, et, v.correction >= VectorCorrection::Xlt, t, pace);
        }
        RotationRate x{};
        if (!evaluate_path(v.path, src, t, rates && !v.frame_inertial, x, err)) return false;
        out = mtxv(x.r, v.constant);
        if (rates) dout = v.frame_inertial ? Vec{} : scale(mtxv(x.dr, v.constant), pace);
        if (!v.stellar) return true;
        // The observer's velocity relative to the solar system barycenter,
        // and its acceleration as the central difference over +/- 1 s.
        State o, op, om;
        if (!body_state(0, v.observer, VectorCorrection::None, et, o)) return false;
        Vec acc{};
        if (rates) {
            if (!body_state(0, v.observer, VectorCorrection::None, et + 1.0, op) ||
                !body_state(0, v.observer, VectorCorrection::None, et - 1.0, om))
                return false;
            acc = {-(op[3] - om[3]) * 0.5, -(op[4] - om[4]) * 0.5, -(op[5] - om[5]) * 0.5};
        }
        stellar_aberration(Vec{-o[3], -o[4], -o[5]}, acc, v.transmission, rates, out, dout);
        return true;
    }
    State s;
    if (have_known) {
        s = known;
    } else {
        if (!state(et, s)) return false;
        known = s;
        have_known = true;
    }
    if (v.kind == DynamicVector::Kind::Position) {
        out = {s[0], s[1], s[2]};
        if (rates) dout = {s[3], s[4], s[5]};
        return true;
    }
    if (v.kind == DynamicVector::Kind::NearPoint) return near_point(f, v, which, src, et, s, rates, out, dout, err);
    // The velocity as seen in the vector's frame, expressed in J2000:
    // R^T (dR p + R v) = v + R^T dR p.
    const auto velocity = [&](double t, const State& st, Vec& w) {
        if (v.frame_inertial) {
            w = {st[3], st[4], st[5]};
            return true;
        }
        RotationRate x{};
        if (!evaluate_path(v.path, src, t, true, x, err)) return false;
        w = {st[3], st[4], st[5]};
        const Vec turn = mtxv(x.r, mxv(x.dr, Vec{st[0], st[1], st[2]}));
        w = {w[0] + turn[0], w[1] + turn[1], w[2] + turn[2]};
        return true;
    };
    if (!velocity(et, s, out)) return false;
    if (!rates) return true;
    // d/dt of the velocity: a fourth-order central difference with a step of
    // 1.5e-3 of the motion's time scale: |p| / |v| in an inertial frame,
    // |v| / |a| from a first difference over one second in a turning one.
    const auto at = [&](const double* ts, std::size_t n, Vec* w) {
        std::array<State, 4> st;
        auto r = states->states(v.target, v.observer, ts, n, st.data(), v.correction);
        if (!r) {
            err = FrameError(r.error().kind(), "frame " + f.name + ", " + which + " vector: " + r.error().message());
            return false;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (!velocity(ts[i], st[i], w[i])) return false;
        return true;
    };
    const double nv = std::sqrt(dot(out, out));
    double scale_time = 0;
    if (v.frame_inertial) {
        const Vec p{s[0], s[1], s[2]};
        scale_time = nv > 0 ? std::sqrt(dot(p, p)) / nv : 0.0;
    } else {
        const double ts[2] = {et + 1.0, et - 1.0};
        Vec w[2];
        if (!at(ts, 2, w)) return false;
        const Vec acc = scale(sub(w[0], w[1]), 0.5);
        const double na = std::sqrt(dot(acc, acc));
        scale_time = na > 0 ? nv / na : 0.0;
    }
    const double h = std::clamp(1.5e-3 * scale_time, 1.0, 86400.0);
    const double ts[4] = {et + h, et - h, et + 2 * h, et - 2 * h};
    Vec w[4];
    if (!at(ts, 4, w)) return false;
    const Vec &p1 = w[0], &m1 = w[1], &p2 = w[2], &m2 = w[3];
    for (int i = 0; i < 3; ++i) dout[i] = (8.0 * (p1[i] - m1[i]) - (p2[i] - m2[i])) / (12.0 * h);
    return true;
}

}  // namespace

std::expected<std::shared_ptr<DynamicFrame>, std::string> dynamic_definition(const KernelPool& pool,
                                                                             std::int32_t code,
                                                                             const std::string& name) {
    Keys k{pool, "FRAME_" + std::to_string(code) + "_", {}};
    auto f = std::make_shared<DynamicFrame>();
    f->name = name;
    if (auto rel = k.frame("RELATIVE")) f->refs.push_back({k.full("RELATIVE"), *rel, 0});
    if (auto style = k.text("DEF_STYLE"); style && *style != "PARAMETERIZED")
        k.fail("DEF_STYLE", "must be 'PARAMETERIZED', not '" + *style + "'");
    auto family = k.text("FAMILY");
    if (!k.error.empty()) return std::unexpected(k.error);
    if (k.has("FREEZE_EPOCH"))
        if (auto e = k.number("FREEZE_EPOCH")) f->freeze = *e;
    if (k.has("ROTATION_STATE")) {
        if (f->freeze) k.fail("ROTATION_STATE", "cannot be given with FREEZE_EPOCH");
        if (auto s = k.text("ROTATION_STATE")) {
            if (*s == "INERTIAL")
                f->inertial = true;
            else if (*s != "ROTATING")
                k.fail("ROTATION_STATE", "must be 'ROTATING' or 'INERTIAL', not '" + *s + "'");
        }
    }
    const auto model = [&](const char* key, const char* expected) {
        if (auto m = k.text(key); m && *m != expected)
            k.fail(key, std::string("must be '") + expected + "' (the model evaluated here), not '" + *m + "'");
    };
    if (*family == "MEAN_EQUATOR_AND_EQUINOX_OF_DATE" || *family == "MEAN_ECLIPTIC_AND_EQUINOX_OF_DATE" ||
        *family == "TRUE_EQUATOR_AND_EQUINOX_OF_DATE") {
        f->family = DynamicFrame::Family::OfDate;
        model("PREC_MODEL", "EARTH_IAU_1976");
        if (family->starts_with("TRUE")) {
            f->of_date = EarthOfDate::TrueEquator;
            model("NUT_MODEL", "EARTH_IAU_1980");
        } else if (family->find("ECLIPTIC") != std::string::npos) {
            f->of_date = EarthOfDate::MeanEcliptic;
            model("OBLIQ_MODEL", "EARTH_IAU_1980");
        }
        if (!f->freeze && !k.has("ROTATION_STATE"))
            k.fail("ROTATION_STATE", "is not set (a frame of date needs ROTATION_STATE or FREEZE_EPOCH)");
    } else if (*family == "EULER") {
        f->family = DynamicFrame::Family::Euler;
        if (auto e = k.number("EPOCH")) f->epoch = *e;
        if (auto ax = k.numbers("AXES", 3, 3)) {
            for (int i = 0; i < 3; ++i) {
                const double a = (*ax)[static_cast<std::size_t>(i)];
                if (a != 1 && a != 2 && a != 3)
                    k.fail("AXES", "must hold three axes, each 1, 2 or 3");
                else
                    f->axes[static_cast<std::size_t>(i)] = static_cast<int>(a);
            }
        }
        const auto unit = k.angle_unit("UNITS");
        for (std::size_t i = 0; i < 3; ++i) {
            auto c = k.numbers("ANGLE_" + std::to_string(i + 1) + "_COEFFS", 1, 64);
            if (c && unit)
                for (double x : *c) f->coeffs[i].push_back(x * *unit);
        }
    } else if (*family == "TWO-VECTOR") {
        f->family = DynamicFrame::Family::TwoVector;
        parse_vector(k, *f, "PRI", f->primary);
        parse_vector(k, *f, "SEC", f->secondary);
        if (k.error.empty() && f->primary.axis == f->secondary.axis)
            k.fail("SEC_AXIS", "must be another axis than PRI_AXIS");
        if (k.has("ANGLE_SEP_TOL"))
            if (auto t = k.number("ANGLE_SEP_TOL")) {
                if (*t < 0 || *t >= M_PI / 2) k.fail("ANGLE_SEP_TOL", "must be an angle in radians in [0, pi/2)");
                f->sep_tol = *t;
            }
    } else {
        k.fail("FAMILY", "must be MEAN_EQUATOR_AND_EQUINOX_OF_DATE, MEAN_ECLIPTIC_AND_EQUINOX_OF_DATE, "
                         "TRUE_EQUATOR_AND_EQUINOX_OF_DATE, EULER or TWO-VECTOR, not '" + *family + "'");
    }
    if (!k.error.empty()) return std::unexpected(k.error);
    return f;
}

bool evaluate_dynamic(const FrameNode& node, const PckOrientationSource* src, double et, bool rates,
                      RotationRate& out, std::optional<FrameError>& err) {
    const DynamicFrame& f = *node.dynamic;
    if (f.freeze) et = *f.freeze;
    const bool need_rates = rates && !f.freeze && !f.inertial;
    switch (f.family) {
        case DynamicFrame::Family::OfDate: earth_of_date(f.of_date, et, need_rates, out); break;
        case DynamicFrame::Family::Euler: {
            // Frame -> RELATIVE is R_a1 R_a2 R_a3; the node gives its inverse.
            const double dt = et - f.epoch;
            RotationRate acc{identity3(), Mat3{}};
            for (std::size_t i = 0; i < 3; ++i) {
                const std::vector<double>& c = f.coeffs[i];
                double a = 0, da = 0;
                for (std::size_t j = c.size(); j-- > 0;) {
                    a = a * dt + c[j];
                    if (j > 0) da = da * dt + static_cast<double>(j) * c[j];
                }
                if (need_rates) {
                    acc = compose(acc, axis_rotation_rate(f.axes[i], a, da));
                } else {
                    acc.r = mxm3(acc.r, axis_rotation(f.axes[i], a));
                }
            }
            out.r = transpose3(acc.r);
            if (need_rates) out.dr = transpose3(acc.dr);
            break;
        }
        case DynamicFrame::Family::TwoVector: {
            Vec p{}, dp{}, s{}, ds{};
            State known{};
            bool have = false;
            if (!frame_vector(f, f.primary, "primary", src, et, need_rates, p, dp, err, known, have)) return false;
            const DynamicVector &a = f.primary, &b = f.secondary;
            have = have && a.kind != DynamicVector::Kind::Constant && b.kind != DynamicVector::Kind::Constant &&
                   a.target == b.target && a.observer == b.observer && a.correction == b.correction;
            if (!frame_vector(f, f.secondary, "secondary", src, et, need_rates, s, ds, err, known, have)) return false;
            const double np = std::sqrt(dot(p, p)), ns = std::sqrt(dot(s, s));
            const Vec c0 = cross(p, s);
            const double sep = np > 0 && ns > 0 ? std::atan2(std::sqrt(dot(c0, c0)), dot(p, s)) : 0.0;
            if (!(np > 0) || !(ns > 0) || !(sep > f.sep_tol && M_PI - sep > f.sep_tol)) {
                err = FrameError(FrameError::Kind::Malformed,
                                 "frame " + f.name + ": its primary and secondary vectors are " +
                                     (np > 0 && ns > 0 ? "within " + format_double(f.sep_tol) +
                                                             " rad of parallel (ANGLE_SEP_TOL) at et " + format_double(et) +
                                                             " (separation " + format_double(sep) + " rad)"
                                                       : "zero at et " + format_double(et)));
                return false;
            }
            if (f.primary.negative) p = scale(p, -1.0), dp = scale(dp, -1.0);
            if (f.secondary.negative) s = scale(s, -1.0), ds = scale(ds, -1.0);
            // Axis i along p; the third axis k along +/-(p x s), then j = k x i
            // (cyclic i, j, k) or i x k.
            const int i = f.primary.axis, j = f.secondary.axis, kx = 3 - i - j;
            const bool cyclic = j == (i + 1) % 3;
            Vec ei, dei, ek, dek;
            unit_rate(p, dp, ei, dei);
            Vec n = cross(p, s), dn{};
            if (need_rates) {
                const Vec a = cross(dp, s), b = cross(p, ds);
                dn = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
            }
            if (!cyclic) n = scale(n, -1.0), dn = scale(dn, -1.0);
            unit_rate(n, dn, ek, dek);
            const Vec ej = cyclic ? cross(ek, ei) : cross(ei, ek);
            for (int c = 0; c < 3; ++c) {
                out.r[i][c] = ei[c];
                out.r[j][c] = ej[c];
                out.r[kx][c] = ek[c];
            }
            if (need_rates) {
                const Vec a = cyclic ? cross(dek, ei) : cross(dei, ek);
                const Vec b = cyclic ? cross(ek, dei) : cross(ei, dek);
                for (int c = 0; c < 3; ++c) {
                    out.dr[i][c] = dei[c];
                    out.dr[j][c] = a[c] + b[c];
                    out.dr[kx][c] = dek[c];
                }
            }
            break;
        }
    }
    if (rates && !need_rates) out.dr = Mat3{};
    return true;
}

void FrameCatalog::resolve_dynamic(const std::vector<std::int32_t>& codes) {
    const auto describe = [](const FrameInfo& f) {
        std::string out = "frame " + f.name + " (code " + std::to_string(f.code) + ", class 5 dynamic";
        if (!f.source.empty()) out += ", defined in " + f.source;
        return out + ")";
    };
    const auto refuse = [&](FrameNode& n, const std::string& why) {
        n.error = describe(n.info) + ": " + why;
        n.kind = FrameNode::Kind::Refused;
        n.dynamic.reset();
    };
    const auto lookup = [&](const std::string& value) -> std::optional<std::int32_t> {
        if (auto it = by_name_.find(value); it != by_name_.end()) return it->second;
        try {
            std::size_t used = 0;
            const long v = std::stol(value, &used);
            if (used == value.size() && nodes_.count(static_cast<std::int32_t>(v))) return static_cast<std::int32_t>(v);
        } catch (...) {
        }
        return std::nullopt;
    };
    // Frame names into codes.
    for (std::int32_t code : codes) {
        FrameNode& n = nodes_.at(code);
        auto d = std::make_shared<DynamicFrame>(*n.dynamic);
        bool ok = true;
        for (DynamicFrame::Ref& r : d->refs) {
            auto c = lookup(r.value);
            if (!c) {
                refuse(n, "the kernel variable " + r.keyword + " names '" + r.value + "', which is not a known frame");
                ok = false;
                break;
            }
            r.code = *c;
        }
        if (!ok) continue;
        // A near point's body-fixed frame, last, for the check of cycles below.
        for (const DynamicVector* v : {&d->primary, &d->secondary}) {
            if (d->family != DynamicFrame::Family::TwoVector || v->kind != DynamicVector::Kind::NearPoint) continue;
            const auto nm = bodc2n(v->target);
            if (const auto bf = body_frame(v->target, nm ? std::string(*nm) : std::string()))
                d->refs.push_back({"FRAME_" + std::to_string(code) + (v == &d->primary ? "_PRI" : "_SEC") +
                                       "_TARGET (its body-fixed frame)",
                                   std::to_string(*bf), *bf});
        }
        n.parent = d->family == DynamicFrame::Family::Euler ? d->refs[0].code : 1;
        n.dynamic = std::move(d);
    }
    // A frame that depends on itself: through a parent (its chain to J2000)
    // or a frame its definition names, directly or through other frames.
    const auto edges = [&](const FrameNode& n, std::vector<std::pair<std::int32_t, std::string>>& out) {
        out.clear();
        if (n.kind == FrameNode::Kind::Root || n.kind == FrameNode::Kind::Refused) return;
        if (n.kind == FrameNode::Kind::Dynamic) {
            for (const DynamicFrame::Ref& r : n.dynamic->refs) out.emplace_back(r.code, r.keyword);
        }
        out.emplace_back(n.parent, "parent");
    };
    for (std::int32_t code : codes) {
        FrameNode& start = nodes_.at(code);
        if (start.kind != FrameNode::Kind::Dynamic) continue;
        // Depth-first from the frame, remembering how each frame was reached.
        std::unordered_map<std::int32_t, std::int32_t> from;
        std::vector<std::int32_t> stack;
        std::vector<std::pair<std::int32_t, std::string>> es;
        std::string first_keyword;
        std::int32_t first_step = 0;
        bool cycle = false;
        std::int32_t last = 0;
        edges(start, es);
        for (const auto& [c, kw] : es) {
            if (c == code) {
                first_keyword = kw, first_step = c, cycle = true, last = code;
                break;
            }
        }
        for (const auto& [c, kw] : es)
            if (!cycle && !from.count(c)) from[c] = code, stack.push_back(c);
        while (!cycle && !stack.empty()) {
            const std::int32_t cur = stack.back();
            stack.pop_back();
            const FrameNode* cn = node(cur);
            if (!cn) continue;
            edges(*cn, es);
            for (const auto& [c, kw] : es) {
                if (c == code) {
                    cycle = true;
                    last = cur;
                    break;
                }
                if (!from.count(c)) from[c] = cur, stack.push_back(c);
            }
        }
        if (!cycle) continue;
        // The chain back from the last frame to the start.
        std::vector<std::int32_t> chain{code};
        for (std::int32_t c = last; c != code; c = from.at(c)) chain.insert(chain.begin() + 1, c);
        if (first_keyword.empty()) {
            first_step = chain.size() > 1 ? chain[1] : code;
            for (const auto& [c, kw] : (edges(start, es), es))
                if (c == first_step) {
                    first_keyword = kw;
                    break;
                }
        }
        std::string names;
        for (std::int32_t c : chain) names += name_of(c) + " -> ";
        names += start.info.name;
        const std::string via = first_keyword == "parent" ? "its parent frame " + name_of(first_step)
                                                          : "the kernel variable " + first_keyword;
        refuse(start, "it refers to itself through " + via + " (" + names + ")");
    }
    // The vectors' paths, planned until no frame is refused any more (a path
    // through a frame refused later is planned again, and fails).
    for (bool changed = true; changed;) {
        changed = false;
        for (std::int32_t code : codes) {
            FrameNode& n = nodes_.at(code);
            if (n.kind != FrameNode::Kind::Dynamic) continue;
            auto d = std::make_shared<DynamicFrame>(*n.dynamic);
            std::size_t ref = 1;  // refs after RELATIVE: the vectors' frames in order
            std::string why;
            for (DynamicVector* v : {&d->primary, &d->secondary}) {
                if (d->family != DynamicFrame::Family::TwoVector || v->kind == DynamicVector::Kind::Position) continue;
                if (v->kind == DynamicVector::Kind::NearPoint) {
                    // The target's body-fixed frame.
                    const auto nm = bodc2n(v->target);
                    const auto bf = body_frame(v->target, nm ? std::string(*nm) : std::string());
                    auto p = bf ? path(1, *bf) : std::expected<FramePath, FrameError>(std::unexpected(FrameError(
                                                     FrameError::Kind::Unknown, "no body-fixed frame is known")));
                    if (!p) {
                        why = "the body-fixed frame of the near point's target " + std::to_string(v->target) +
                              " cannot be used: " + p.error().message();
                        break;
                    }
                    v->frame = *bf;
                    v->path = *p;
                    v->frame_inertial = !p->time_dependent;
                    continue;
                }
                const DynamicFrame::Ref& r = d->refs[ref++];
                v->frame = r.code;
                if (const FrameNode* fn = node(r.code)) v->center = fn->info.center;
                auto p = path(1, r.code);
                if (!p) {
                    why = "the frame " + r.value + " of " + r.keyword + " cannot be used: " + p.error().message();
                    break;
                }
                v->path = *p;
                v->frame_inertial = !p->time_dependent;
            }
            if (why.empty() && d->family == DynamicFrame::Family::Euler) {
                if (auto p = path(d->refs[0].code, 1); !p)
                    why = "its RELATIVE frame cannot be used: " + p.error().message();
            }
            if (!why.empty()) {
                refuse(n, why);
                changed = true;
                continue;
            }
            n.dynamic = std::move(d);
        }
    }
}

}  // namespace kernwerk
