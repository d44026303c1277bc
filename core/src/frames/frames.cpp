#include "frames/frames.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>

#include "base/common.hpp"
#include "frames/builtin.hpp"
#include "frames/dynamic.hpp"
#include "text/naif_ids.hpp"

namespace kernwerk {

namespace {

constexpr double kDay = 86400.0;
constexpr double kCentury = 36525.0 * 86400.0;
constexpr double kRad = M_PI / 180.0;

std::string upper_trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

const char* class_name(std::int32_t cls) {
    switch (cls) {
        case 1: return "inertial";
        case 2: return "PCK";
        case 3: return "CK";
        case 4: return "TK";
        case 5: return "dynamic";
        case 6: return "switch";
    }
    return "unknown";
}

std::string describe(const FrameInfo& f) {
    std::string out = "frame " + f.name + " (code " + std::to_string(f.code) + ", class " +
                      std::to_string(f.frame_class) + " " + class_name(f.frame_class);
    if (!f.source.empty()) out += ", defined in " + f.source;
    return out + ")";
}

// A whole number held by a pool variable (the pool keeps numbers as doubles).
std::optional<std::int32_t> as_int(double v) {
    if (!(v >= -2147483648.0 && v <= 2147483647.0) || v != std::floor(v)) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// Reads of a pool for one frame definition; the first problem is kept as
// the definition's error, naming the variable.
struct Reader {
    const KernelPool& pool;
    std::string error;

    const PoolVariable* get(const std::string& name, bool required) {
        const PoolVariable* v = pool.find(name);
        if (!v && required && error.empty()) error = "the kernel variable " + name + " is not set";
        return v;
    }
    std::optional<double> number(const std::string& name, bool required = true) {
        const PoolVariable* v = get(name, required);
        if (!v) return std::nullopt;
        if (v->is_text || v->numbers.size() != 1) {
            if (error.empty()) error = "the kernel variable " + name + " must be one number";
            return std::nullopt;
        }
        return v->numbers[0];
    }
    std::optional<std::int32_t> integer(const std::string& name, bool required = true) {
        auto d = number(name, required);
        if (!d) return std::nullopt;
        auto i = as_int(*d);
        if (!i && error.empty()) error = "the kernel variable " + name + " must be a whole number, not " + format_double(*d);
        return i;
    }
    std::optional<std::string> text(const std::string& name, bool required = true) {
        const PoolVariable* v = get(name, required);
        if (!v) return std::nullopt;
        if (!v->is_text || v->strings.size() != 1) {
            if (error.empty()) error = "the kernel variable " + name + " must be one string";
            return std::nullopt;
        }
        return v->strings[0];
    }
    std::optional<std::vector<double>> numbers(const std::string& name, std::size_t min, std::size_t max,
                                               bool required = true) {
        const PoolVariable* v = get(name, required);
        if (!v) return std::nullopt;
        if (v->is_text || v->numbers.size() < min || v->numbers.size() > max) {
            if (error.empty())
                error = "the kernel variable " + name + " must hold " +
                        (min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max)) +
                        " numbers" + (v->is_text ? ", not strings" : ", not " + std::to_string(v->numbers.size()));
            return std::nullopt;
        }
        return v->numbers;
    }
};

// The text PCK constants of `body`, or why they cannot be used.
std::expected<std::shared_ptr<const TextPckModel>, std::string> text_model(const KernelPool& pool,
                                                                           std::int32_t body) {
    const std::string b = "BODY" + std::to_string(body);
    if (!pool.find(b + "_POLE_RA") && !pool.find(b + "_POLE_DEC") && !pool.find(b + "_PM"))
        return std::unexpected("no text PCK constants are loaded for body " + std::to_string(body) + " (" + b +
                               "_POLE_RA, " + b + "_POLE_DEC, " + b + "_PM)");
    Reader r{pool, {}};
    auto m = std::make_shared<TextPckModel>();
    m->body = body;
    const auto fill = [&](const char* suffix, std::array<double, 3>& out) {
        if (auto v = r.numbers(b + suffix, 1, 3))
            for (std::size_t i = 0; i < v->size(); ++i) out[i] = (*v)[i];
    };
    fill("_POLE_RA", m->ra);
    fill("_POLE_DEC", m->dec);
    fill("_PM", m->pm);
    if (!r.error.empty()) return std::unexpected(r.error);

    // The barycentre of a planet's satellite system: 4 for 401 and 499.
    const std::int32_t bary = (body >= 100 && body <= 999) ? body / 100 : body;
    const std::string bb = "BODY" + std::to_string(bary);
    const bool has_nut = pool.find(b + "_NUT_PREC_RA") || pool.find(b + "_NUT_PREC_DEC") || pool.find(b + "_NUT_PREC_PM");
    if (has_nut) {
        std::string angles_name = b + "_NUT_PREC_ANGLES";
        std::string degree_name = b + "_MAX_PHASE_DEGREE";
        if (!pool.find(angles_name)) {
            angles_name = bb + "_NUT_PREC_ANGLES";
            degree_name = bb + "_MAX_PHASE_DEGREE";
        }
        std::size_t terms = 2;
        if (pool.find(degree_name)) {
            auto deg = r.integer(degree_name);
            if (deg && (*deg < 1 || *deg > 3) && r.error.empty())
                r.error = "the kernel variable " + degree_name + " must be 1, 2 or 3, not " + std::to_string(*deg);
            if (deg) terms = static_cast<std::size_t>(*deg) + 1;
        }
        if (!r.error.empty()) return std::unexpected(r.error);
        const PoolVariable* a = pool.find(angles_name);
        if (!a)
            return std::unexpected("body " + std::to_string(body) + " has nutation-precession terms but " +
                                   angles_name + " (the phase angles they refer to) is not set");
        if (a->is_text || a->numbers.size() % terms != 0)
            return std::unexpected("the kernel variable " + angles_name + " must hold " + std::to_string(terms) +
                                   " numbers per phase angle, not " +
                                   (a->is_text ? std::string("strings") : std::to_string(a->numbers.size())));
        m->angles = a->numbers;
        m->angle_terms = terms;
        const std::size_t n_angles = a->numbers.size() / terms;
        const auto series = [&](const char* suffix, std::vector<double>& out) {
            const std::string name = b + suffix;
            const PoolVariable* v = pool.find(name);
            if (!v) return;
            if (v->is_text || v->numbers.size() > n_angles) {
                if (r.error.empty())
                    r.error = "the kernel variable " + name + " must hold at most " + std::to_string(n_angles) +
                              " numbers (one per phase angle of " + angles_name + "), not " +
                              (v->is_text ? std::string("strings") : std::to_string(v->numbers.size()));
                return;
            }
            out = v->numbers;
        };
        series("_NUT_PREC_RA", m->nut_ra);
        series("_NUT_PREC_DEC", m->nut_dec);
        series("_NUT_PREC_PM", m->nut_pm);
    }
    for (const std::string& p : {b, bb}) {
        if (pool.find(p + "_CONSTANTS_REF_FRAME")) {
            if (auto code = r.integer(p + "_CONSTANTS_REF_FRAME")) {
                auto ref = j2000_to_builtin_inertial(*code);
                if (!ref && r.error.empty())
                    r.error = "the kernel variable " + p + "_CONSTANTS_REF_FRAME names frame " + std::to_string(*code) +
                              ", which is not a built-in inertial frame (1 to 21)";
                if (ref && *code != 1) {
                    m->has_ref = true;
                    m->ref = *ref;
                }
            }
            break;
        }
    }
    for (const std::string& p : {b, bb}) {
        if (pool.find(p + "_CONSTANTS_JED_EPOCH")) {
            if (auto jed = r.number(p + "_CONSTANTS_JED_EPOCH")) m->epoch = (*jed - 2451545.0) * kDay;
            break;
        }
    }
    if (!r.error.empty()) return std::unexpected(r.error);
    return m;
}

double angle_unit(const std::string& units) {
    if (units == "DEGREES") return kRad;
    if (units == "RADIANS") return 1.0;
    if (units == "ARCSECONDS") return kRad / 3600.0;
    if (units == "ARCMINUTES") return kRad / 60.0;
    if (units == "HOURANGLE") return 15.0 * kRad;
    if (units == "MINUTEANGLE") return 15.0 * kRad / 60.0;
    if (units == "SECONDANGLE") return 15.0 * kRad / 3600.0;
    return 0.0;
}

// The rotation a TK frame's definition gives (RELATIVE -> frame), or why
// there is none. Variables keyed by the frame's code come first, then by
// its name.
struct TkDef {
    std::string relative;
    Mat3 rot{};
};

std::expected<TkDef, std::string> tk_definition(const KernelPool& pool, std::int32_t code, const std::string& name) {
    std::string p = "TKFRAME_" + std::to_string(code) + "_";
    if (!pool.find(p + "RELATIVE") && pool.find("TKFRAME_" + name + "_RELATIVE")) p = "TKFRAME_" + name + "_";
    Reader r{pool, {}};
    TkDef def;
    auto rel = r.text(p + "RELATIVE");
    auto spec = r.text(p + "SPEC");
    if (!r.error.empty()) return std::unexpected(r.error);
    def.relative = upper_trimmed(*rel);
    const std::string s = upper_trimmed(*spec);
    Mat3 m{};
    if (s == "MATRIX") {
        // The matrix from the frame to RELATIVE, given column by column: its
        // transpose, the rotation from RELATIVE, is the values row by row.
        auto v = r.numbers(p + "MATRIX", 9, 9);
        if (!v) return std::unexpected(r.error);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = (*v)[static_cast<std::size_t>(3 * i + j)];
    } else if (s == "ANGLES") {
        auto angles = r.numbers(p + "ANGLES", 3, 3);
        auto axes = r.numbers(p + "AXES", 3, 3);
        auto units = r.text(p + "UNITS");
        if (!r.error.empty()) return std::unexpected(r.error);
        const double unit = angle_unit(upper_trimmed(*units));
        if (unit == 0.0)
            return std::unexpected("the kernel variable " + p + "UNITS is '" + *units +
                                   "'; expected DEGREES, RADIANS, ARCSECONDS, ARCMINUTES, HOURANGLE, MINUTEANGLE "
                                   "or SECONDANGLE");
        int ax[3];
        for (int i = 0; i < 3; ++i) {
            const auto a = as_int((*axes)[static_cast<std::size_t>(i)]);
            if (!a || *a < 1 || *a > 3)
                return std::unexpected("the kernel variable " + p + "AXES must hold axes 1, 2 or 3, not " +
                                       format_double((*axes)[static_cast<std::size_t>(i)]));
            ax[i] = *a;
        }
        // From the frame to RELATIVE: [a1]_ax1 [a2]_ax2 [a3]_ax3; its transpose.
        const Mat3 to_rel = mxm3(mxm3(axis_rotation(ax[0], (*angles)[0] * unit), axis_rotation(ax[1], (*angles)[1] * unit)),
                                 axis_rotation(ax[2], (*angles)[2] * unit));
        m = transpose3(to_rel);
    } else if (s == "QUATERNION") {
        auto q = r.numbers(p + "Q", 4, 4);
        if (!q) return std::unexpected(r.error);
        // The toolkit's quaternion: scalar first, the rotation it gives takes
        // the frame to RELATIVE.
        const double q0 = (*q)[0], q1 = (*q)[1], q2 = (*q)[2], q3 = (*q)[3];
        const double l2 = q0 * q0 + q1 * q1 + q2 * q2 + q3 * q3;
        if (!(l2 > 0.0) || !std::isfinite(l2))
            return std::unexpected("the kernel variable " + p + "Q is not a usable quaternion (zero or not finite)");
        const double s2 = 2.0 / l2;
        Mat3 to_rel = {{{1.0 - s2 * (q2 * q2 + q3 * q3), s2 * (q1 * q2 - q0 * q3), s2 * (q1 * q3 + q0 * q2)},
                        {s2 * (q1 * q2 + q0 * q3), 1.0 - s2 * (q1 * q1 + q3 * q3), s2 * (q2 * q3 - q0 * q1)},
                        {s2 * (q1 * q3 - q0 * q2), s2 * (q2 * q3 + q0 * q1), 1.0 - s2 * (q1 * q1 + q2 * q2)}}};
        m = transpose3(to_rel);
    } else {
        return std::unexpected("the kernel variable " + p + "SPEC is '" + *spec +
                               "'; expected MATRIX, ANGLES or QUATERNION");
    }
    // A rotation: orthonormal rows and determinant +1.
    const Mat3 mmt = mxm3(m, transpose3(m));
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) worst = std::max(worst, std::fabs(mmt[i][j] - (i == j ? 1.0 : 0.0)));
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(worst <= 1e-10) || !(det > 0.0))
        return std::unexpected("the rotation of " + p + s + " is not a rotation matrix (" +
                               (det > 0.0 || std::isnan(det) ? "rows not orthonormal, off by " + format_double(worst)
                                                             : "determinant " + format_double(det)) +
                               ")");
    def.rot = m;
    return def;
}

}  // namespace

namespace {

// W in radians less its whole turns toward zero, as the toolkit reduces it
// (w - 2 pi trunc(w / 2 pi), each step rounded): found by experiment, it
// gives the toolkit's W bit for bit, where reducing in degrees (exactly)
// left up to 1.3 ulp of the unreduced W (1e-11 rad for Mars in 2030).
inline double reduce_prime_meridian(double w) noexcept {
    constexpr double kTwoPi = 2.0 * M_PI;
    const double q = w / kTwoPi;
    const double turns = q >= 0.0 ? std::floor(q) : -std::floor(-q);
    return w - kTwoPi * turns;
}

}  // namespace

RotationRate TextPckModel::evaluate(double et, bool rates) const noexcept {
    RotationRate out;
    evaluate_into(et, rates, out);
    return out;
}

void TextPckModel::evaluate_into(double et, bool rates, RotationRate& out) const noexcept {
    const double t = et - epoch;
    const double d = t / kDay;
    const double c = t / kCentury;
    // The nutation-precession series are summed on their own and then added
    // to the polynomials, as the toolkit adds them (adding term by term to
    // the polynomial rounds differently, by up to 1e-12 rad for Mercury).
    double na = 0.0, nde = 0.0, nw = 0.0, ndra = 0.0, nddec = 0.0, ndw = 0.0;
    const std::size_t n = std::max({nut_ra.size(), nut_dec.size(), nut_pm.size()});
    for (std::size_t i = 0; i < n; ++i) {
        const double* coef = angles.data() + i * angle_terms;
        double theta = coef[angle_terms - 1], dtheta = 0.0;
        for (std::size_t k = angle_terms - 1; k-- > 0;) {
            dtheta = dtheta * c + theta;
            theta = theta * c + coef[k];
        }
        dtheta = dtheta / kCentury;
        double s, co;
        ::sincos(theta * kRad, &s, &co);
        const double dth = dtheta * kRad;
        if (i < nut_ra.size()) {
            na += nut_ra[i] * s;
            ndra += nut_ra[i] * co * dth;
        }
        if (i < nut_dec.size()) {
            nde += nut_dec[i] * co;
            nddec -= nut_dec[i] * s * dth;
        }
        if (i < nut_pm.size()) {
            nw += nut_pm[i] * s;
            ndw += nut_pm[i] * co * dth;
        }
    }
    const double a = ra[0] + c * (ra[1] + c * ra[2]) + na;
    const double de = dec[0] + c * (dec[1] + c * dec[2]) + nde;
    const double w = pm[0] + d * (pm[1] + d * pm[2]) + nw;
    const double dra = (ra[1] + 2.0 * c * ra[2]) / kCentury + ndra;
    const double ddec = (dec[1] + 2.0 * c * dec[2]) / kCentury + nddec;
    const double dw = (pm[1] + 2.0 * d * pm[2]) / kDay + ndw;
    const double wr = reduce_prime_meridian(w * kRad);
    if (rates) {
        auto [r, dr] = pck_euler_rotation_and_derivative(M_PI / 2 + a * kRad, M_PI / 2 - de * kRad, wr,
                                                         dra * kRad, -ddec * kRad, dw * kRad);
        out.r = r;
        out.dr = dr;
    } else {
        out.r = pck_euler_rotation(M_PI / 2 + a * kRad, M_PI / 2 - de * kRad, wr);
    }
    if (has_ref) {
        out.r = mxm3(out.r, ref);
        if (rates) out.dr = mxm3(out.dr, ref);
    }
}

std::shared_ptr<const FrameCatalog> FrameCatalog::build(const KernelPool& pool) {
    // Sets without text kernels (most SPK and binary PCK sets) share the
    // catalog of the built-in frames, built once.
    if (pool.size() == 0) {
        static const std::shared_ptr<const FrameCatalog> builtin = build_from(pool);
        return builtin;
    }
    return build_from(pool);
}

std::shared_ptr<const FrameCatalog> FrameCatalog::build_from(const KernelPool& pool) {
    auto cat = std::make_shared<FrameCatalog>();
    cat->nodes_.reserve(256);
    cat->by_name_.reserve(256);
    const auto add = [&](FrameNode node) {
        cat->by_name_.emplace(node.info.name, node.info.code);
        const std::int32_t code = node.info.code;
        cat->nodes_.emplace(code, std::move(node));
    };
    for (const BuiltinInertial& f : builtin_inertial_frames()) {
        FrameNode n;
        n.info = FrameInfo{f.name, f.code, 1, f.code, 0, {}};
        if (f.code == 1) {
            n.kind = FrameNode::Kind::Root;
        } else {
            n.kind = FrameNode::Kind::Fixed;
            n.parent = 1;
            n.fixed = *j2000_to_builtin_inertial(f.code);
        }
        add(std::move(n));
    }
    // The bodies with any orientation constant, from one pass over the
    // pool's BODY names: the others need no lookups (and no messages) here.
    std::unordered_set<std::int32_t> constant_bodies;
    for (const std::string& var : pool.names_with_prefix("BODY")) {
        if (!var.ends_with("_POLE_RA") && !var.ends_with("_POLE_DEC") && !var.ends_with("_PM")) continue;
        const std::size_t us = var.find('_', 4);
        try {
            std::size_t used = 0;
            const long long v = std::stoll(var.substr(4, us - 4), &used);
            if (used == us - 4 && v >= INT32_MIN && v <= INT32_MAX) constant_bodies.insert(static_cast<std::int32_t>(v));
        } catch (...) {
        }
    }
    std::unordered_map<std::int32_t, std::expected<std::shared_ptr<const TextPckModel>, std::string>> models;
    const auto pck_node = [&](FrameNode& n) {
        n.kind = FrameNode::Kind::Pck;
        n.parent = 1;
        if (!constant_bodies.count(n.info.class_id)) {
            n.text_missing = true;  // the message is written at use
            return;
        }
        auto it = models.find(n.info.class_id);
        if (it == models.end()) it = models.emplace(n.info.class_id, text_model(pool, n.info.class_id)).first;
        if (it->second) {
            n.text = *it->second;
        } else {
            n.text_error = it->second.error();
            n.text_missing = n.text_error.starts_with("no text PCK constants");
        }
    };
    for (const BuiltinPck& f : builtin_pck_frames()) {
        FrameNode n;
        n.info = FrameInfo{f.name, f.code, 2, f.class_id, f.center, {}};
        pck_node(n);
        add(std::move(n));
    }
    // TK frames: built-in EARTH_FIXED, then those of the kernels, their
    // RELATIVE frames resolved once every name is known.
    std::vector<std::pair<std::int32_t, std::string>> tk;  // code, relative name
    std::unordered_map<std::int32_t, TkDef> tk_defs;
    const auto tk_node = [&](FrameNode& n) {
        auto def = tk_definition(pool, n.info.code, n.info.name);
        if (!def) {
            n.kind = FrameNode::Kind::Refused;
            n.error = describe(n.info) + ": " + def.error();
            return;
        }
        n.kind = FrameNode::Kind::Fixed;
        n.fixed = def->rot;
        tk.emplace_back(n.info.code, def->relative);
    };
    {
        FrameNode n;
        n.info = FrameInfo{"EARTH_FIXED", 10081, 4, 10081, 399, {}};
        tk_node(n);
        add(std::move(n));
    }
    std::unordered_set<std::int32_t> builtin_codes;
    for (const auto& [code, node] : cat->nodes_) builtin_codes.insert(code);
    std::vector<std::int32_t> dynamic;  // dynamic frames, resolved once every frame is known
    // FRAME_<code>_NAME defines a frame; its other variables complete it.
    for (const std::string& var : pool.names_with_prefix("FRAME_")) {
        constexpr std::string_view kSuffix = "_NAME";
        if (var.size() <= 6 + kSuffix.size() || !var.ends_with(kSuffix)) continue;
        const std::string code_text = var.substr(6, var.size() - 6 - kSuffix.size());
        std::int32_t code = 0;
        try {
            std::size_t used = 0;
            const long long v = std::stoll(code_text, &used);
            if (used != code_text.size() || v < INT32_MIN || v > INT32_MAX) continue;
            code = static_cast<std::int32_t>(v);
        } catch (...) {
            continue;
        }
        const PoolVariable* nv = pool.find(var);
        if (!nv->is_text || nv->strings.size() != 1) continue;
        const std::string name = upper_trimmed(nv->strings[0]);
        // Built-in frames keep their names and codes, as in the toolkit: a
        // kernel frame with a built-in code leaves that frame as it is, its
        // name then naming it; one with a built-in name is known by its code
        // alone, the name naming the built-in frame.
        if (builtin_codes.count(code)) {
            cat->by_name_.emplace(name, code);
            continue;
        }
        if (cat->nodes_.count(code)) continue;
        Reader r{pool, {}};
        const std::string p = "FRAME_" + std::to_string(code) + "_";
        FrameNode n;
        n.info.name = name;
        n.info.code = code;
        n.info.source = nv->source;
        const auto cls = r.integer(p + "CLASS");
        const auto cid = r.integer(p + "CLASS_ID");
        // The centre is a body code, or a body name.
        std::optional<std::int32_t> center;
        if (const PoolVariable* cv = r.get(p + "CENTER", true)) {
            if (!cv->is_text && cv->numbers.size() == 1) {
                center = as_int(cv->numbers[0]);
            } else if (cv->is_text && cv->strings.size() == 1) {
                if (auto c = bodn2c(cv->strings[0])) center = *c;
            }
            if (!center && r.error.empty()) r.error = "the kernel variable " + p + "CENTER names no known body";
        }
        n.info.frame_class = cls.value_or(0);
        n.info.class_id = cid.value_or(0);
        n.info.center = center.value_or(0);
        if (!r.error.empty()) {
            n.kind = FrameNode::Kind::Refused;
            n.error = describe(n.info) + ": " + r.error;
        } else if (*cls == 1) {
            if (auto m = j2000_to_builtin_inertial(*cid)) {
                n.kind = FrameNode::Kind::Fixed;
                n.parent = 1;
                n.fixed = *m;
            } else {
                n.error = describe(n.info) + ": an inertial frame with class id " + std::to_string(*cid) +
                          " (not a built-in inertial frame) cannot be evaluated";
            }
        } else if (*cls == 2) {
            pck_node(n);
        } else if (*cls == 4) {
            tk_node(n);
        } else if (*cls == 3) {
            // Orientation from J2000 at each epoch, found by the set's CK source.
            n.kind = FrameNode::Kind::Ck;
            n.parent = 1;
        } else if (*cls == 5) {
            auto def = dynamic_definition(pool, code, name);
            if (def) {
                n.kind = FrameNode::Kind::Dynamic;
                n.dynamic = *def;
                dynamic.push_back(code);
            } else {
                n.error = describe(n.info) + ": " + def.error();
            }
        } else {
            n.error = describe(n.info) + ": " + class_name(*cls) + " frames cannot be evaluated yet";
        }
        add(std::move(n));
    }
    for (const auto& [code, rel] : tk) {
        FrameNode& n = cat->nodes_.at(code);
        auto it = cat->by_name_.find(rel);
        std::optional<std::int32_t> parent;
        if (it != cat->by_name_.end()) {
            parent = it->second;
        } else {
            try {
                std::size_t used = 0;
                const long v = std::stol(rel, &used);
                if (used == rel.size() && cat->nodes_.count(static_cast<std::int32_t>(v)))
                    parent = static_cast<std::int32_t>(v);
            } catch (...) {
            }
        }
        if (!parent) {
            n.kind = FrameNode::Kind::Refused;
            n.error = describe(n.info) + ": its RELATIVE frame " + rel + " is not a known frame";
        } else {
            n.parent = *parent;
        }
    }
    for (const std::string& var : pool.names_with_prefix("OBJECT_")) {
        if (!var.ends_with("_FRAME") || var.size() <= 13) continue;
        const PoolVariable* v = pool.find(var);
        std::string value;
        if (v->is_text && v->strings.size() == 1)
            value = upper_trimmed(v->strings[0]);
        else if (!v->is_text && v->numbers.size() == 1 && as_int(v->numbers[0]))
            value = std::to_string(*as_int(v->numbers[0]));
        else
            continue;
        cat->object_frames_[upper_trimmed(var.substr(7, var.size() - 13))] = value;
    }
    // Dynamic frames last: near points need the bodies' frames (OBJECT_).
    if (!dynamic.empty()) cat->resolve_dynamic(dynamic);
    return cat;
}

std::optional<std::int32_t> FrameCatalog::code_of(std::string_view name) const {
    auto it = by_name_.find(upper_trimmed(name));
    if (it == by_name_.end()) return std::nullopt;
    return it->second;
}

const FrameNode* FrameCatalog::node(std::int32_t code) const noexcept {
    auto it = nodes_.find(code);
    return it == nodes_.end() ? nullptr : &it->second;
}

std::string FrameCatalog::name_of(std::int32_t code) const {
    const FrameNode* n = node(code);
    return n ? n->info.name : "frame " + std::to_string(code);
}

std::optional<std::int32_t> FrameCatalog::body_frame(std::int32_t body, std::string_view body_name) const {
    const auto frame_of = [&](const std::string& key) -> std::optional<std::int32_t> {
        auto it = object_frames_.find(key);
        if (it == object_frames_.end()) return std::nullopt;
        if (auto c = code_of(it->second)) return c;
        try {
            std::size_t used = 0;
            const long v = std::stol(it->second, &used);
            if (used == it->second.size() && node(static_cast<std::int32_t>(v))) return static_cast<std::int32_t>(v);
        } catch (...) {
        }
        return std::nullopt;
    };
    if (auto f = frame_of(std::to_string(body))) return f;
    if (!body_name.empty())
        if (auto f = frame_of(upper_trimmed(body_name))) return f;
    for (const BuiltinPck& f : builtin_pck_frames())
        if (f.center == body) return f.code;
    return std::nullopt;
}

std::expected<FramePath, FrameError> FrameCatalog::path(std::int32_t from, std::int32_t to) const {
    using K = FrameError::Kind;
    std::array<const FrameNode*, kMaxFrameDepth> a{}, b{};
    std::size_t na = 0, nb = 0;
    // The chain of `code` up to J2000, or up to a node that cannot be
    // evaluated (kept last).
    const auto chain = [&](std::int32_t code, std::array<const FrameNode*, kMaxFrameDepth>& out,
                           std::size_t& n) -> std::expected<void, FrameError> {
        const FrameNode* cur = node(code);
        if (!cur) return std::unexpected(FrameError(K::Unknown, "unknown frame code " + std::to_string(code)));
        for (;;) {
            for (std::size_t i = 0; i < n; ++i)
                if (out[i] == cur) {
                    std::string names;
                    for (std::size_t j = i; j < n; ++j) names += (j > i ? " -> " : "") + out[j]->info.name;
                    return std::unexpected(FrameError(
                        K::Malformed, "the frames " + names + " -> " + cur->info.name +
                                          " are defined relative to each other in a cycle (TKFRAME_<id>_RELATIVE)"));
                }
            if (n == kMaxFrameDepth)
                return std::unexpected(FrameError(K::Malformed, "the chain of frame " + name_of(code) + " has more than " +
                                                                    std::to_string(kMaxFrameDepth) + " frames"));
            out[n++] = cur;
            if (cur->kind == FrameNode::Kind::Root || cur->kind == FrameNode::Kind::Refused) return {};
            const FrameNode* p = node(cur->parent);
            if (!p) return std::unexpected(FrameError(K::Unknown, "unknown frame code " + std::to_string(cur->parent)));
            cur = p;
        }
    };
    if (auto r = chain(from, a, na); !r) return std::unexpected(r.error());
    if (auto r = chain(to, b, nb); !r) return std::unexpected(r.error());
    // The nearest frame on both chains.
    std::size_t ia = na, ib = nb;
    for (std::size_t i = 0; i < na && ia == na; ++i)
        for (std::size_t j = 0; j < nb; ++j)
            if (a[i] == b[j]) {
                ia = i;
                ib = j;
                break;
            }
    const auto refused = [&](const FrameNode* n) {
        return FrameError(n->info.frame_class == 3 || n->info.frame_class == 5 || n->info.frame_class == 6
                              ? K::Unsupported
                              : K::Malformed,
                          n->error);
    };
    if (ia == na) {
        // The chains never meet: one stopped at a frame that cannot be evaluated.
        if (a[na - 1]->kind == FrameNode::Kind::Refused) return std::unexpected(refused(a[na - 1]));
        return std::unexpected(refused(b[nb - 1]));
    }
    FramePath p;
    for (std::size_t i = 0; i < ia; ++i) {
        if (a[i]->kind == FrameNode::Kind::Refused) return std::unexpected(refused(a[i]));
        p.steps[p.n++] = {a[i], true};
        p.time_dependent = p.time_dependent || a[i]->kind == FrameNode::Kind::Pck || a[i]->kind == FrameNode::Kind::Ck ||
                           a[i]->kind == FrameNode::Kind::Dynamic;
    }
    for (std::size_t j = ib; j-- > 0;) {
        if (b[j]->kind == FrameNode::Kind::Refused) return std::unexpected(refused(b[j]));
        p.steps[p.n++] = {b[j], false};
        p.time_dependent = p.time_dependent || b[j]->kind == FrameNode::Kind::Pck || b[j]->kind == FrameNode::Kind::Ck ||
                           b[j]->kind == FrameNode::Kind::Dynamic;
    }
    return p;
}

namespace {

// The transform of one node from its parent into `x` (x.dr only when
// `rates`); false with `err` set on failure.
bool node_transform(const FrameNode& n, const PckOrientationSource* pck, const void* handle, double et, bool rates,
                    RotationRate& x, std::optional<FrameError>& err) {
    if (n.kind == FrameNode::Kind::Fixed) {
        x.r = n.fixed;
        if (rates) x.dr = Mat3{};
        return true;
    }
    if (n.kind == FrameNode::Kind::Ck) {
        const CkOrientationSource* ck = pck ? pck->ck() : nullptr;
        if (!ck) {
            err = FrameError(FrameError::Kind::MissingKernel, describe(n.info) + ": no C-kernels are loaded");
            return false;
        }
        return ck->orientation(handle ? handle : ck->prepare(n.info.class_id), n, et, rates, x, err);
    }
    if (n.kind == FrameNode::Kind::Dynamic) return evaluate_dynamic(n, pck, et, rates, x, err);
    // A PCK frame: binary segments first, then the text constants.
    if (pck && handle) {
        auto found = pck->orientation(handle, et);
        if (!found) {
            err = std::move(found.error());
            return false;
        }
        if (*found && (*found)->body_rates) {
            // Both blocks from the one product, so that a rotation asked
            // alone has the bits of the state transform's.
            const Mat6 y = pck_type3_inertial_to_body_sxform((*found)->m, (*found)->euler);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    x.r[i][j] = y[i][j];
                    if (rates) x.dr[i][j] = y[i + 3][j];
                }
            return true;
        }
        if (*found) {
            const EulerState& e = (*found)->euler;
            const Mat3& m = (*found)->m;
            if (!rates) {
                x.r = pck_inertial_to_body_pxform(pck_euler_rotation(e[0], e[1], e[2]), m);
                return true;
            }
            double y[36];
            pck_inertial_to_body_sxform(m, e, y);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    x.r[i][j] = y[6 * i + j];
                    x.dr[i][j] = y[6 * (i + 3) + j];
                }
            return true;
        }
    }
    if (n.text) {
        n.text->evaluate_into(et, rates, x);
        return true;
    }
    const std::string b = "BODY" + std::to_string(n.info.class_id);
    err = FrameError(n.text_missing ? FrameError::Kind::MissingKernel : FrameError::Kind::Malformed,
                     describe(n.info) + ": no binary PCK segment for class id " + std::to_string(n.info.class_id) +
                         " covers the epoch, and " +
                         (n.text_error.empty() ? "no text PCK constants are loaded for body " +
                                                     std::to_string(n.info.class_id) + " (" + b + "_POLE_RA, " + b +
                                                     "_POLE_DEC, " + b + "_PM)"
                                               : n.text_error));
    return false;
}

}  // namespace

void prepare_path(FramePath& path, const PckOrientationSource* pck) noexcept {
    for (std::size_t i = 0; i < path.n; ++i) {
        const FrameNode& n = *path.steps[i].node;
        path.pck[i] = (pck && n.kind == FrameNode::Kind::Pck) ? pck->prepare(n.info.class_id) : nullptr;
        if (n.kind == FrameNode::Kind::Ck && pck && pck->ck()) path.pck[i] = pck->ck()->prepare(n.info.class_id);
    }
    path.prepared = true;
}

bool evaluate_path(const FramePath& path, const PckOrientationSource* pck, double et, bool rates, RotationRate& acc,
                   std::optional<FrameError>& err) {
    if (path.n == 0) {
        acc.r = identity3();
        if (rates) acc.dr = Mat3{};
        return true;
    }
    RotationRate x;
    for (std::size_t i = 0; i < path.n; ++i) {
        const FramePath::Step& s = path.steps[i];
        const void* handle = nullptr;
        if (pck && s.node->kind == FrameNode::Kind::Pck)
            handle = path.prepared ? path.pck[i] : pck->prepare(s.node->info.class_id);
        if (s.node->kind == FrameNode::Kind::Ck && path.prepared) handle = path.pck[i];
        RotationRate& dst = i == 0 ? acc : x;
        if (!node_transform(*s.node, pck, handle, et, rates, dst, err)) return false;
        if (s.up) {
            dst.r = transpose3(dst.r);
            if (rates) dst.dr = transpose3(dst.dr);
        }
        if (i == 0) continue;
        if (rates)
            acc = compose(x, acc);
        else
            acc.r = mxm3(x.r, acc.r);
    }
    return true;
}

std::expected<RotationRate, FrameError> evaluate_path(const FramePath& path, const PckOrientationSource* pck,
                                                      double et, bool rates) {
    RotationRate out{};
    std::optional<FrameError> err;
    if (!evaluate_path(path, pck, et, rates, out, err)) return std::unexpected(std::move(*err));
    return out;
}

}  // namespace kernwerk
