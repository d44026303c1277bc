#include "sclk/sclk.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace kernwerk {

namespace {

std::string number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// '.', ':', '-', ',', ' ' and '\t', by table: the split looks at every character.
constexpr auto kSeparators = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {'.', ':', '-', ',', ' ', '\t'}) t[c] = true;
    return t;
}();
bool is_separator(char c) noexcept { return kSeparators[static_cast<unsigned char>(c)]; }
bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// A number as the clock's strings write them: an optional sign, digits, an
// exponent (E or D); no blanks inside.
std::optional<double> parse_number(std::string_view s) {
    // Plain digits, the usual field: up to 15 of them are an integer below
    // 2^53, exact as a double, so the value is the one from_chars gives.
    if (!s.empty() && s.size() <= 15) {
        std::uint64_t v = 0;
        std::size_t i = 0;
        for (; i < s.size(); ++i) {
            const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
            if (d > 9) break;
            v = v * 10 + d;
        }
        if (i == s.size()) return static_cast<double>(v);
    }
    if (s.empty() || s.size() > 63) return std::nullopt;
    char t[64];
    std::size_t n = 0;
    for (std::size_t i = s[0] == '+' ? 1 : 0; i < s.size(); ++i) t[n++] = (s[i] == 'd' || s[i] == 'D') ? 'e' : s[i];
    if (n == 0 || t[0] == '+' || is_blank(t[0])) return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(t, t + n, v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != t + n || !std::isfinite(v)) return std::nullopt;
    return v;
}

int digits(double v) noexcept {
    int d = 1;
    for (double x = std::floor(std::fabs(v)); x >= 10; x = std::floor(x / 10)) ++d;
    return d;
}

}  // namespace

std::string SclkClock::name() const { return "clock " + std::to_string(id_); }

std::expected<SclkClock, SclkError> SclkClock::from_pool(const KernelPool& pool, std::int32_t id,
                                                         const timescale::LeapSeconds* lsk) {
    SclkClock c;
    c.id_ = id;
    const std::string suffix = "_" + std::to_string(-static_cast<std::int64_t>(id));
    const std::string label = "spacecraft clock " + std::to_string(id);
    auto get = [&](const std::string& base, bool required) -> std::expected<std::vector<double>, SclkError> {
        const std::string var = base + suffix;
        const PoolVariable* v = pool.find(var);
        if (!v) {
            if (!required) return std::vector<double>{};
            return std::unexpected(SclkError(SclkError::Kind::Missing,
                                             label + ": the kernel pool has no " + var + " (load its SCLK kernel)"));
        }
        if (v->is_text)
            return std::unexpected(
                SclkError(SclkError::Kind::Format, label + ": " + var + " holds strings, not numbers (" + v->source + ")"));
        for (double x : v->numbers)
            if (!std::isfinite(x))
                return std::unexpected(SclkError(SclkError::Kind::Format, label + ": " + var + " holds a non-finite number"));
        return v->numbers;
    };
    auto bad = [&](const std::string& why) { return std::unexpected(SclkError(SclkError::Kind::Format, label + ": " + why)); };

    auto type = get("SCLK_DATA_TYPE", true);
    if (!type) return std::unexpected(type.error());
    if (type->size() != 1 || (*type)[0] != 1)
        return bad("SCLK_DATA_TYPE" + suffix + " is " + (type->empty() ? std::string("empty") : number((*type)[0])) +
                   "; only type 1 clocks are read");
    auto system = get("SCLK01_TIME_SYSTEM", false);
    if (!system) return std::unexpected(system.error());
    if (!system->empty()) {
        if ((*system)[0] == 2)
            c.tt_ = true;
        else if ((*system)[0] != 1)
            return bad("SCLK01_TIME_SYSTEM" + suffix + " is " + number((*system)[0]) + ", neither 1 (TDB) nor 2 (TDT)");
    }
    if (c.tt_) {
        if (!lsk)
            return std::unexpected(SclkError(SclkError::Kind::Missing,
                                             label + " counts in TDT: load a leapseconds kernel to convert it"));
        c.lsk_ = lsk;
    }
    auto nf = get("SCLK01_N_FIELDS", true);
    if (!nf) return std::unexpected(nf.error());
    if (nf->size() != 1 || (*nf)[0] < 1 || (*nf)[0] > static_cast<double>(kMaxFields) || (*nf)[0] != std::floor((*nf)[0]))
        return bad("SCLK01_N_FIELDS" + suffix + " must be one integer from 1 to " + std::to_string(kMaxFields));
    c.nfields_ = static_cast<std::size_t>((*nf)[0]);
    auto moduli = get("SCLK01_MODULI", true);
    if (!moduli) return std::unexpected(moduli.error());
    auto offsets = get("SCLK01_OFFSETS", true);
    if (!offsets) return std::unexpected(offsets.error());
    if (moduli->size() < c.nfields_ || offsets->size() < c.nfields_)
        return bad("SCLK01_MODULI" + suffix + " and SCLK01_OFFSETS" + suffix + " need " + std::to_string(c.nfields_) +
                   " values each");
    for (std::size_t i = 0; i < c.nfields_; ++i) {
        c.moduli_[i] = (*moduli)[i];
        c.offsets_[i] = (*offsets)[i];
        if (!(c.moduli_[i] >= 1) || c.moduli_[i] != std::floor(c.moduli_[i]) || c.offsets_[i] < 0)
            return bad("field " + std::to_string(i + 1) + " has modulus " + number(c.moduli_[i]) + " and offset " +
                       number(c.offsets_[i]) + "; moduli must be positive integers and offsets not negative");
        c.widths_[i] = digits(c.moduli_[i] - 1 + c.offsets_[i]);
    }
    double w = 1;
    for (std::size_t i = c.nfields_; i-- > 0;) {
        c.weights_[i] = w;
        w *= c.moduli_[i];
    }
    auto delim = get("SCLK01_OUTPUT_DELIM", true);
    if (!delim) return std::unexpected(delim.error());
    static constexpr char kDelims[] = {'.', ':', '-', ',', ' '};
    if (delim->size() != 1 || (*delim)[0] < 1 || (*delim)[0] > 5 || (*delim)[0] != std::floor((*delim)[0]))
        return bad("SCLK01_OUTPUT_DELIM" + suffix + " must be one integer from 1 to 5");
    c.delim_ = kDelims[static_cast<int>((*delim)[0]) - 1];

    auto ps = get("SCLK_PARTITION_START", true);
    if (!ps) return std::unexpected(ps.error());
    auto pe = get("SCLK_PARTITION_END", true);
    if (!pe) return std::unexpected(pe.error());
    if (ps->empty() || ps->size() != pe->size())
        return bad("SCLK_PARTITION_START" + suffix + " and SCLK_PARTITION_END" + suffix +
                   " must hold as many values, at least one");
    c.pstart_ = *ps;
    c.pend_ = *pe;
    double base = 0;
    for (std::size_t p = 0; p < c.pstart_.size(); ++p) {
        if (!(c.pend_[p] > c.pstart_[p]) || c.pstart_[p] < 0)
            return bad("partition " + std::to_string(p + 1) + " runs from " + number(c.pstart_[p]) + " to " +
                       number(c.pend_[p]) + "; a partition must end after it starts, at a count not below 0");
        c.pbase_.push_back(base);
        base = base + (c.pend_[p] - c.pstart_[p]);
    }
    c.total_ = base;

    auto coef = get("SCLK01_COEFFICIENTS", true);
    if (!coef) return std::unexpected(coef.error());
    if (coef->empty() || coef->size() % 3 != 0)
        return bad("SCLK01_COEFFICIENTS" + suffix + " must hold triplets (ticks, parallel time, rate), at least one");
    for (std::size_t i = 0; i < coef->size(); i += 3) {
        const double t = (*coef)[i], p = (*coef)[i + 1], r = (*coef)[i + 2];
        if (!(r > 0))
            return bad("coefficient record " + std::to_string(i / 3 + 1) + " has rate " + number(r) +
                       "; rates must be positive");
        if (!c.coef_ticks_.empty() && (t <= c.coef_ticks_.back() || p < c.coef_par_.back()))
            return bad("coefficient record " + std::to_string(i / 3 + 1) +
                       " does not follow the one before it (ticks and parallel times must increase)");
        c.coef_ticks_.push_back(t);
        c.coef_par_.push_back(p);
        c.coef_rate_.push_back(r);
    }
    c.par_first_ = c.coef_par_.front();
    c.par_last_ = c.ticks_to_parallel(c.total_);
    return c;
}

double SclkClock::ticks_to_parallel(double ticks) const noexcept {
    const auto it = std::upper_bound(coef_ticks_.begin(), coef_ticks_.end(), ticks);
    const std::size_t i = it == coef_ticks_.begin() ? 0 : static_cast<std::size_t>(it - coef_ticks_.begin()) - 1;
    return coef_par_[i] + (ticks - coef_ticks_[i]) * (coef_rate_[i] / weights_[0]);
}

double SclkClock::ticks_to_et_or_nan(double ticks) const noexcept {
    if (!(ticks >= 0 && ticks <= total_)) return std::nan("");
    return parallel_to_et(ticks_to_parallel(ticks));
}

double SclkClock::et_to_ticks_or_nan(double et) const noexcept {
    const double par = et_to_parallel(et);
    if (!(par >= par_first_ && par <= par_last_)) return std::nan("");
    const auto it = std::upper_bound(coef_par_.begin(), coef_par_.end(), par);
    const std::size_t i = it == coef_par_.begin() ? 0 : static_cast<std::size_t>(it - coef_par_.begin()) - 1;
    return coef_ticks_[i] + (par - coef_par_[i]) * (weights_[0] / coef_rate_[i]);
}

std::expected<double, SclkError> SclkClock::ticks_to_et(double ticks) const {
    const double et = ticks_to_et_or_nan(ticks);
    if (std::isnan(et))
        return std::unexpected(SclkError(SclkError::Kind::Range, "ticks " + number(ticks) + " lie outside " + name() +
                                                                     ", whose ticks run from 0 to " + number(total_)));
    return et;
}

std::expected<double, SclkError> SclkClock::et_to_ticks(double et) const {
    const double t = et_to_ticks_or_nan(et);
    if (std::isnan(t))
        return std::unexpected(SclkError(SclkError::Kind::Range,
                                         "ET " + number(et) + " lies outside " + name() + ", which covers ET " +
                                             number(parallel_to_et(par_first_)) + " to " +
                                             number(parallel_to_et(par_last_))));
    return t;
}

double SclkClock::round_ticks(double ticks) noexcept { return std::round(ticks); }

std::optional<double> SclkClock::encode_plain(std::string_view s) const noexcept {
    // The general path's checks and arithmetic, in its order; digits runs
    // of up to 15 are exact integers, the values parse_number gives.
    const auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; };
    std::size_t i = 0;
    std::optional<std::size_t> part;
    if (const std::size_t slash = s.find('/'); slash != std::string_view::npos) {
        if (slash == 0 || slash > 15) return std::nullopt;
        std::uint64_t p = 0;
        for (std::size_t k = 0; k < slash; ++k) {
            const unsigned d = digit(s[k]);
            if (d > 9) return std::nullopt;
            p = p * 10 + d;
        }
        if (p < 1 || p > pstart_.size()) return std::nullopt;
        part = static_cast<std::size_t>(p) - 1;
        i = slash + 1;
        if (i == s.size()) return std::nullopt;
    } else if (s.empty()) {
        return std::nullopt;
    }
    double count = 0;
    for (std::size_t f = 0;; ++f) {
        const std::size_t b = i;
        std::uint64_t v = 0;
        for (unsigned d; i < s.size() && (d = digit(s[i])) <= 9; ++i) v = v * 10 + d;
        if (i - b > 15 || f >= nfields_) return std::nullopt;
        if (i < s.size() && s[i] != '.' && s[i] != ':' && s[i] != '-' && s[i] != ',') return std::nullopt;
        if (i > b) {
            const double x = static_cast<double>(v);
            if (x < offsets_[f]) return std::nullopt;
            count = count + (x - offsets_[f]) * weights_[f];
        }
        if (i == s.size()) break;
        ++i;
    }
    if (part) {
        const std::size_t p = *part;
        if (count < pstart_[p] || count > pend_[p]) return std::nullopt;
        return pbase_[p] + (count - pstart_[p]);
    }
    for (std::size_t p = 0; p < pstart_.size(); ++p)
        if (count >= pstart_[p] && count <= pend_[p]) return pbase_[p] + (count - pstart_[p]);
    return std::nullopt;
}

std::expected<double, SclkError> SclkClock::encode(std::string_view text) const {
    if (const auto t = encode_plain(text)) return *t;
    auto fail = [&](const std::string& why) {
        return std::unexpected(SclkError(SclkError::Kind::Parse, "clock string \"" + std::string(text) + "\" of " +
                                                                     name() + ": " + why));
    };
    std::string_view rest = trim(text);
    if (rest.empty()) return fail("the string is blank");
    std::optional<std::size_t> part;
    if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
        const std::string_view ptext = trim(rest.substr(0, slash));
        const auto p = parse_number(ptext);
        if (!p || *p != std::floor(*p)) return fail("the partition \"" + std::string(ptext) + "\" is not an integer");
        if (*p < 1 || *p > static_cast<double>(pstart_.size()))
            return fail("partition " + number(*p) + " is not in 1 to " + std::to_string(pstart_.size()));
        part = static_cast<std::size_t>(*p) - 1;
        rest = trim(rest.substr(slash + 1));
        if (rest.empty()) return fail("no fields follow the partition");
    }
    // Fields: a run of blanks separates only between two field characters;
    // beside another separator, or at either end, it is no separator.
    // A string with blanks is normalised first, in a buffer on the stack
    // when short (no allocation per string); one without (the usual form)
    // is split as it is.
    char small[128];
    std::string large;
    std::string_view normalised = rest;
    if (std::any_of(rest.begin(), rest.end(), is_blank)) {
        char* norm = small;
        if (rest.size() > sizeof small) {
            large.resize(rest.size());
            norm = large.data();
        }
        std::size_t len = 0;
        for (std::size_t i = 0; i < rest.size();) {
            if (!is_blank(rest[i])) {
                norm[len++] = rest[i++];
                continue;
            }
            std::size_t j = i;
            while (j < rest.size() && is_blank(rest[j])) ++j;
            if (i > 0 && !is_separator(rest[i - 1]) && j < rest.size() && !is_separator(rest[j])) norm[len++] = ' ';
            i = j;
        }
        normalised = std::string_view(norm, len);
    }
    std::string_view fields[kMaxFields + 1];
    std::size_t nf = 0;
    {
        const std::string_view n = normalised;
        std::size_t begin = 0;
        for (std::size_t i = 0; i <= n.size(); ++i)
            if (i == n.size() || is_separator(n[i])) {
                if (nf <= kMaxFields) fields[nf] = n.substr(begin, i - begin);
                ++nf;
                begin = i + 1;
            }
    }
    if (nf > nfields_)
        return fail("it has " + std::to_string(nf) + " fields; the clock has " + std::to_string(nfields_));
    double count = 0;
    for (std::size_t f = 0; f < nf; ++f) {
        if (fields[f].empty()) continue;
        const auto v = parse_number(fields[f]);
        if (!v) return fail("field " + std::to_string(f + 1) + " \"" + std::string(fields[f]) + "\" is not a number");
        if (*v < offsets_[f])
            return fail("field " + std::to_string(f + 1) + " is " + number(*v) + ", below its offset " +
                        number(offsets_[f]));
        count = count + (*v - offsets_[f]) * weights_[f];
    }
    if (part) {
        const std::size_t p = *part;
        if (count < pstart_[p] || count > pend_[p])
            return fail("its count " + number(count) + " is not in partition " + std::to_string(p + 1) + " (" +
                        number(pstart_[p]) + " to " + number(pend_[p]) + ")");
        return pbase_[p] + (count - pstart_[p]);
    }
    for (std::size_t p = 0; p < pstart_.size(); ++p)
        if (count >= pstart_[p] && count <= pend_[p]) return pbase_[p] + (count - pstart_[p]);
    return fail("its count " + number(count) + " is in no partition of the clock");
}

std::expected<std::string, SclkError> SclkClock::decode(double ticks) const {
    if (!(ticks >= 0 && ticks <= total_))
        return std::unexpected(SclkError(SclkError::Kind::Range, "ticks " + number(ticks) + " lie outside " + name() +
                                                                     ", whose ticks run from 0 to " + number(total_)));
    const double t = std::min(round_ticks(ticks), total_);
    std::size_t p = 0;
    while (p + 1 < pstart_.size() && !(t < pbase_[p + 1])) ++p;
    double rem = t - pbase_[p] + pstart_[p];
    std::string out = std::to_string(p + 1) + "/";
    char buf[64];
    for (std::size_t f = 0; f < nfields_; ++f) {
        const double v = std::floor(rem / weights_[f]);
        rem = rem - v * weights_[f];
        std::snprintf(buf, sizeof buf, "%0*.0f", widths_[f], v + offsets_[f]);
        if (f) out += delim_;
        out += buf;
    }
    return out;
}

}  // namespace kernwerk
