#include "events/search.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "base/common.hpp"

namespace kernwerk::events {

namespace {

// Grid points evaluated per batch: bounds the memory of a search with a
// small step over a long window, and keeps each batch large enough to split
// across threads.
constexpr std::size_t kGridChunk = 1 << 16;
constexpr std::size_t kHookChunk = 1 << 14;
// More than any bracket needs: bisection alone halves 1e300 s to below
// 1e-300 s in about 2000 steps; regula falsi steps are checked to shrink.
constexpr int kMaxRefineSteps = 4000;

KernelSetError value_error(std::string m) { return KernelSetError(KernelSetError::Kind::Value, std::move(m)); }

// The state of a sampled function: negative or not. Every sign change the
// search refines is a change of this state, so a NaN counts as "not
// negative" and a zero as positive, the same on both sides of a bracket.
inline bool negative(double g) noexcept { return g < 0; }

struct Sampled {
    double t, f, df;
};

KernelSetError at_epoch(const BatchFailure& e, const double* ets) {
    return KernelSetError(e.error.kind(), e.error.message() + " (searching at ET " + format_double(ets[e.index]) + ")",
                          e.error.os_errno(), e.error.path());
}

// The samples of the grid of [a, b]: a + k step for every k with a + k step
// < b, then b. Saturates for grids no search could finish.
std::size_t grid_samples(double a, double b, double step) noexcept {
    const double q = (b - a) / step;
    if (!(q < 1e15)) return std::size_t{1} << 50;
    std::size_t k = q > 0 ? static_cast<std::size_t>(q) : 0;
    while (k > 0 && !(a + static_cast<double>(k - 1) * step < b)) --k;
    while (a + static_cast<double>(k) * step < b) ++k;
    return k + 1;
}

// The next chunk of the grid of [a, b] from index k into ts (at most
// `chunk` samples); true when it ends with b. Computed from k, so that long
// searches accumulate no rounding.
bool fill_chunk(double a, double b, double step, std::size_t& k, std::size_t chunk, std::vector<double>& ts) {
    ts.clear();
    while (ts.size() < chunk) {
        const double t = a + static_cast<double>(k) * step;
        if (!(t < b)) {
            ts.push_back(b);
            return true;
        }
        ts.push_back(t);
        ++k;
    }
    return false;
}

// Counts grid samples for the progress hook and sizes the chunks: without
// a hook the largest, with one about a thirty-second of the grid, so that
// the hook is called often enough to draw a bar and to stop a search
// promptly; never under kHookChunk samples, which a batch still splits
// across threads (it gives each thread 2048 epochs at least).
class Tracker {
public:
    Tracker(const Progress* p, std::span<const Interval> confinement, double step)
        : p_(p && p->call ? p : nullptr) {
        if (!p_) return;
        for (const Interval& v : confinement) total_ += grid_samples(v.start, v.stop, step);
        chunk_ = std::clamp<std::size_t>(total_ / 32, kHookChunk, kGridChunk);
    }
    std::size_t chunk() const noexcept { return chunk_; }
    // False when the hook asks to stop.
    bool tick(std::size_t n) {
        done_ = std::min(total_, done_ + n);
        return !p_ || p_->call(p_->ctx, done_, total_);
    }
    bool finish() { return !p_ || p_->call(p_->ctx, total_, total_); }

private:
    const Progress* p_;
    std::size_t total_ = 0, done_ = 0, chunk_ = kGridChunk;
};

KernelSetError stopped() { return value_error("search stopped by its progress hook"); }

// The options every search checks: step, tolerance, the confinement window.
std::optional<KernelSetError> check_common(std::span<const Interval> confinement, const SearchOptions& o) {
    if (!(o.step > 0) || !std::isfinite(o.step))
        return value_error("step must be a positive number of seconds, not " + format_double(o.step));
    if (!(o.tolerance > 0) || !std::isfinite(o.tolerance))
        return value_error("tolerance must be a positive number of seconds, not " + format_double(o.tolerance));
    if (auto m = check_window(confinement, "confinement window")) return value_error(*m);
    if (confinement.empty()) return value_error("the confinement window is empty");
    for (const Interval& v : confinement)
        if (!std::isfinite(v.start) || !std::isfinite(v.stop))
            return value_error("the confinement window must have finite ends");
    return std::nullopt;
}

// Evaluates f and df at `ets` for the samplers below: crossings of
// f - value (or value - f) and zeros of df.
// f and df live in arrays of the search, grown and never shrunk nor
// cleared, valid until the next run.
struct Evaluator {
    const Quantity& q;
    unsigned threads = 1;  // of the refinement batches, one per step of all brackets
    double* f = nullptr;
    double* df = nullptr;
    std::vector<double> fs, dfs;
    std::expected<void, KernelSetError> run(const double* ets, std::size_t n, unsigned th) {
        if (fs.size() < n) fs.resize(n), dfs.resize(n);
        f = fs.data();
        df = dfs.data();
        if (auto r = q.evaluate(ets, n, f, df, th); !r) return std::unexpected(at_epoch(r.error(), ets));
        return {};
    }
};

// The function whose sign changes are the crossings: sign * (f - value);
// for = of a wrapping angle, the difference brought into [-wrap/2,
// wrap/2], so that the crossing lies half a turn from the wrap.
struct CrossingCtx {
    Evaluator* ev;
    double value, sign, wrap;
    double g(double f) const noexcept {
        const double d = f - value;
        return sign * (wrap > 0 ? std::remainder(d, wrap) : d);
    }
};

std::expected<void, KernelSetError> derivative_sampler(void* ctx, const double* ets, std::size_t n, double* g,
                                                       double* dg) {
    auto* ev = static_cast<Evaluator*>(ctx);
    if (auto r = ev->run(ets, n, ev->threads); !r) return r;
    std::copy(ev->df, ev->df + n, g);
    std::fill(dg, dg + n, std::numeric_limits<double>::quiet_NaN());
    return {};
}

std::expected<void, KernelSetError> crossing_sampler(void* ctx, const double* ets, std::size_t n, double* g,
                                                     double* dg) {
    auto* c = static_cast<CrossingCtx*>(ctx);
    if (auto r = c->ev->run(ets, n, c->ev->threads); !r) return r;
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = c->g(c->ev->f[i]);
        dg[i] = c->sign * c->ev->df[i];
    }
    return {};
}

// The extrema of an =, < or > search, refined until a sampled point lies
// on the far side of the reference value (see search).
struct SplitCtx {
    Evaluator* ev;
    const CrossingCtx* cg;
    std::vector<std::uint8_t> far;  // per bracket: the state "g < 0" beyond g's extremum
    std::vector<double> f, df;      // f and df at the point that settled each bracket
    std::vector<std::uint8_t> settled;
};

std::expected<void, KernelSetError> split_sampler(void* ctx, const double* ets, std::size_t n, double* g,
                                                  double* dg) {
    return derivative_sampler(static_cast<SplitCtx*>(ctx)->ev, ets, n, g, dg);
}

std::ptrdiff_t settle_split(void* ctx, std::size_t bracket, std::size_t j) {
    auto* c = static_cast<SplitCtx*>(ctx);
    for (std::size_t p = j; p < j + 2; ++p) {
        if (negative(c->cg->g(c->ev->f[p])) == (c->far[bracket] != 0)) {
            c->f[bracket] = c->ev->f[p], c->df[bracket] = c->ev->df[p], c->settled[bracket] = 1;
            return static_cast<std::ptrdiff_t>(p);
        }
    }
    return -1;
}

// The root in [0, 1] of the cubic Hermite interpolant of g over a bracket
// of width h (values g0, g1, derivatives d0, d1 at its ends), by Newton's
// method from the regula falsi estimate s; NaN when it does not settle
// inside.
double hermite_root(double g0, double g1, double d0, double d1, double h, double s) noexcept {
    for (int i = 0; i < 6; ++i) {
        const double s2 = s * s, s3 = s2 * s;
        const double v = (2 * s3 - 3 * s2 + 1) * g0 + (s3 - 2 * s2 + s) * h * d0 + (3 * s2 - 2 * s3) * g1 +
                         (s3 - s2) * h * d1;
        const double dv = (6 * s2 - 6 * s) * g0 + (3 * s2 - 4 * s + 1) * h * d0 + (6 * s - 6 * s2) * g1 +
                          (3 * s2 - 2 * s) * h * d1;
        s -= v / dv;
        if (!(s >= 0 && s <= 1)) return std::numeric_limits<double>::quiet_NaN();
    }
    return s;
}


}  // namespace

std::optional<Relation> parse_relation(std::string_view text) noexcept {
    std::string s;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (s == "=") return Relation::Equal;
    if (s == "<") return Relation::Less;
    if (s == ">") return Relation::Greater;
    if (s == "LOCMIN") return Relation::LocMin;
    if (s == "LOCMAX") return Relation::LocMax;
    if (s == "ABSMIN") return Relation::AbsMin;
    if (s == "ABSMAX") return Relation::AbsMax;
    return std::nullopt;
}

std::expected<void, KernelSetError> refine(std::span<Bracket> brackets, double tolerance, void* ctx, Sampler g,
                                         double* roots, Settle settle) {
    struct Work {
        std::size_t index;
        double glo, ghi;  // Illinois-scaled values for the regula falsi estimate
        int kept = 0;     // -1: lo kept by the last step, +1: hi kept, 0: neither
        int slow = 0;     // steps in a row that did not halve the bracket
        bool bisect = false;
    };
    std::vector<Work> active;
    for (std::size_t i = 0; i < brackets.size(); ++i) {
        if (brackets[i].hi - brackets[i].lo > tolerance) active.push_back({i, brackets[i].glo, brackets[i].ghi});
        else roots[i] = 0.5 * (brackets[i].lo + brackets[i].hi);
    }
    // Two points a quarter tolerance on either side of the estimate: when
    // the root lies between them the bracket is down to half the tolerance.
    const double d = 0.25 * tolerance;
    std::vector<double> ts, gs, dgs;
    for (int step = 0; !active.empty() && step < kMaxRefineSteps; ++step) {
        ts.resize(2 * active.size());
        gs.resize(2 * active.size());
        dgs.resize(2 * active.size());
        for (std::size_t k = 0; k < active.size(); ++k) {
            const Work& w = active[k];
            const Bracket& b = brackets[w.index];
            const double width = b.hi - b.lo;
            double x = b.lo + 0.5 * width;
            if (!w.bisect) {
                const double rf = b.lo + width * (w.glo / (w.glo - w.ghi));
                if (std::isfinite(rf)) x = rf;
                if (std::isfinite(b.dlo) && std::isfinite(b.dhi)) {
                    const double s = hermite_root(b.glo, b.ghi, b.dlo, b.dhi, width, b.glo / (b.glo - b.ghi));
                    if (std::isfinite(s)) x = b.lo + width * s;
                }
            }
            x = std::clamp(x, b.lo + d, b.hi - d);
            ts[2 * k] = x - d;
            ts[2 * k + 1] = x + d;
        }
        if (auto r = g(ctx, ts.data(), ts.size(), gs.data(), dgs.data()); !r) return r;
        std::size_t kept_active = 0;
        for (std::size_t k = 0; k < active.size(); ++k) {
            Work w = active[k];
            if (settle) {
                if (const std::ptrdiff_t p = settle(ctx, w.index, 2 * k); p >= 0) {
                    roots[w.index] = ts[static_cast<std::size_t>(p)];
                    continue;
                }
            }
            Bracket& b = brackets[w.index];
            const double width = b.hi - b.lo;
            const double x1 = ts[2 * k], x2 = ts[2 * k + 1], g1 = gs[2 * k], g2 = gs[2 * k + 1];
            const double d1 = dgs[2 * k], d2 = dgs[2 * k + 1];
            const bool slo = negative(b.glo);
            int kept;
            if (negative(g1) != slo) {
                b.hi = x1, b.ghi = g1, b.dhi = d1, w.ghi = g1, kept = -1;
            } else if (negative(g2) != negative(g1)) {
                b.lo = x1, b.hi = x2, b.glo = g1, b.ghi = g2, b.dlo = d1, b.dhi = d2, w.glo = g1, w.ghi = g2, kept = 0;
            } else {
                b.lo = x2, b.glo = g2, b.dlo = d2, w.glo = g2, kept = 1;
            }
            // Illinois: an end kept twice in a row counts half, so that
            // regula falsi stops creeping up on the root from one side.
            if (kept != 0 && kept == w.kept) {
                if (kept < 0) w.glo *= 0.5; else w.ghi *= 0.5;
            }
            w.kept = kept;
            // Three steps in a row that did not halve the bracket are
            // followed by bisection.
            w.slow = b.hi - b.lo > 0.5 * width ? w.slow + 1 : 0;
            w.bisect = w.slow >= 3;
            if (w.bisect) w.slow = 0;
            // Done at the tolerance, or when no double lies between the ends
            // (a tolerance below the spacing of doubles at these epochs).
            if (b.hi - b.lo > tolerance && std::nextafter(b.lo, b.hi) < b.hi) active[kept_active++] = w;
            else roots[w.index] = 0.5 * (b.lo + b.hi);
        }
        active.resize(kept_active);
    }
    for (const Work& w : active) roots[w.index] = 0.5 * (brackets[w.index].lo + brackets[w.index].hi);
    return {};
}

std::expected<Window, KernelSetError> search(const Quantity& q, std::span<const Interval> confinement,
                                             const SearchOptions& o) {
    if (!(o.step > 0) || !std::isfinite(o.step))
        return std::unexpected(value_error("step must be a positive number of seconds, not " + format_double(o.step)));
    if (!(o.tolerance > 0) || !std::isfinite(o.tolerance))
        return std::unexpected(value_error("tolerance must be a positive number of seconds, not " +
                                           format_double(o.tolerance)));
    const bool absolute = o.relation == Relation::AbsMin || o.relation == Relation::AbsMax;
    if (absolute && q.wrap() > 0)
        return std::unexpected(value_error("ABSMIN and ABSMAX of an angle that wraps around (a longitude, a right "
                                           "ascension) are not supported"));
    if (absolute && (!(o.adjust >= 0) || !std::isfinite(o.adjust)))
        return std::unexpected(value_error("adjust must be a finite number >= 0, not " + format_double(o.adjust)));
    if (!std::isfinite(o.value))
        return std::unexpected(value_error("the reference value must be finite, not " + format_double(o.value)));
    if (auto e = check_common(confinement, o)) return std::unexpected(std::move(*e));

    Tracker tracker(o.progress, confinement, o.step);
    Evaluator ev{q, o.threads};
    // 1. Samples: per confinement interval, its first and last sample and
    //    the brackets of sign changes of the derivative.
    struct Ends {
        Sampled first, last;
    };
    std::vector<Ends> ends(confinement.size());
    std::vector<Bracket> dbrackets;
    std::vector<std::size_t> dinterval;  // confinement interval of each bracket
    // The samples around each bracket (refine narrows the brackets).
    struct Around {
        double t0, f0, d0, t1, f1, d1;
    };
    std::vector<Around> around;
    // With the reference value known before sampling (=, <, >), crossings
    // are bracketed between neighbouring samples (and extrema, below):
    // brackets no wider than the step, and a wrapping angle's turns within
    // one monotone stretch are all seen.
    const bool direct = o.relation == Relation::Equal || o.relation == Relation::Less ||
                        o.relation == Relation::Greater;
    const CrossingCtx direct_g{nullptr, o.value, o.relation == Relation::Greater ? -1.0 : 1.0,
                               o.relation == Relation::Equal ? q.wrap() : 0.0};
    std::vector<Bracket> cbrackets;
    std::vector<std::size_t> cinterval;
    std::vector<double> ts;
    for (std::size_t ci = 0; ci < confinement.size(); ++ci) {
        const double a = confinement[ci].start, b = confinement[ci].stop;
        // Grid: a + k step while below b, then b; computed from k, so that
        // long searches accumulate no rounding.
        std::size_t k = 0;
        bool have_prev = false, done = false;
        Sampled prev{};
        while (!done) {
            done = fill_chunk(a, b, o.step, k, tracker.chunk(), ts);
            if (auto r = ev.run(ts.data(), ts.size(), o.threads); !r) return std::unexpected(std::move(r.error()));
            for (std::size_t i = 0; i < ts.size(); ++i) {
                const Sampled s{ts[i], ev.f[i], ev.df[i]};
                if (!have_prev) {
                    ends[ci].first = s;
                    have_prev = true;
                } else if (negative(prev.df) != negative(s.df)) {
                    dbrackets.push_back({prev.t, s.t, prev.df, s.df});
                    dinterval.push_back(ci);
                    around.push_back({prev.t, prev.f, prev.df, s.t, s.f, s.df});
                } else if (direct) {
                    const double g0 = direct_g.g(prev.f), g1 = direct_g.g(s.f);
                    if (negative(g0) != negative(g1)) {
                        cbrackets.push_back({prev.t, s.t, g0, g1, direct_g.sign * prev.df, direct_g.sign * s.df});
                        cinterval.push_back(ci);
                    }
                }
                prev = s;
            }
            if (!tracker.tick(ts.size())) return std::unexpected(stopped());
        }
        ends[ci].last = prev;
    }

    // 2. Local extrema.
    std::vector<bool> is_min(dbrackets.size());
    for (std::size_t i = 0; i < dbrackets.size(); ++i) is_min[i] = negative(dbrackets[i].glo);
    if (o.relation == Relation::LocMin || o.relation == Relation::LocMax) {
        // Only the extrema of the kind asked for are reported: the others
        // are not refined (each bracket is refined on its own, so the kept
        // ones end where they would have).
        const bool want_min = o.relation == Relation::LocMin;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < dbrackets.size(); ++i) {
            if (is_min[i] != want_min) continue;
            dbrackets[kept] = dbrackets[i], dinterval[kept] = dinterval[i], around[kept] = around[i];
            is_min[kept] = is_min[i];
            ++kept;
        }
        dbrackets.resize(kept), dinterval.resize(kept), around.resize(kept), is_min.resize(kept);
    }
    std::vector<double> extrema(dbrackets.size()), fext(dbrackets.size());
    // g's derivative at the point that splits each bracket for the
    // crossings (0 at a refined extremum), and whether f is known there.
    std::vector<double> dsplit(dbrackets.size(), 0.0);
    std::vector<std::uint8_t> known(dbrackets.size(), 0);
    if (direct && !(q.wrap() > 0)) {
        // For =, < and > an extremum is needed only as a point that splits
        // its bracket into pieces each crossed at most once, and any point x
        // at which g = sign (f - value) lies on the far side of the
        // reference value from g's extremum is one: say g has a maximum at
        // te and g(x) >= 0 (for a minimum, g(x) < 0, mirrored). Between x
        // and te, g stays at or above g(x) >= 0, so the state "g < 0" is
        // constant there, and g is monotone on the rest of each piece: each
        // of [lo, x] and [x, hi] holds at most one change of state, which
        // the states at its ends show. te itself is such a point whenever a
        // crossing lies in the bracket, so the pieces hold the same
        // crossings as [lo, te] and [te, hi], refined to the same tolerance
        // (only from other brackets). So a sample end on the far side
        // settles the bracket unrefined (most brackets of a rising search:
        // culminations above the horizon, or near it on one side), and
        // refinement stops at the first point sampled on the far side.
        // Where no point is, the extremum is refined in full and compared,
        // as for the other relations. A wrapping angle jumps, so its
        // extrema are all refined.
        SplitCtx sc{&ev, &direct_g};
        std::vector<Bracket> open;
        std::vector<std::size_t> open_index;
        for (std::size_t i = 0; i < dbrackets.size(); ++i) {
            const Around& a = around[i];
            const bool far = is_min[i] == (direct_g.sign > 0);  // g has a minimum: its far side is g < 0
            if (negative(direct_g.g(a.f0)) == far) {
                extrema[i] = a.t0, fext[i] = a.f0, dsplit[i] = direct_g.sign * a.d0, known[i] = 1;
            } else if (negative(direct_g.g(a.f1)) == far) {
                extrema[i] = a.t1, fext[i] = a.f1, dsplit[i] = direct_g.sign * a.d1, known[i] = 1;
            } else {
                open.push_back(dbrackets[i]);
                open_index.push_back(i);
                sc.far.push_back(far ? 1 : 0);
            }
        }
        sc.f.assign(open.size(), 0.0), sc.df.assign(open.size(), 0.0), sc.settled.assign(open.size(), 0);
        std::vector<double> roots(open.size());
        if (auto r = refine(open, o.tolerance, &sc, split_sampler, roots.data(), settle_split); !r)
            return std::unexpected(std::move(r.error()));
        for (std::size_t j = 0; j < open.size(); ++j) {
            const std::size_t i = open_index[j];
            extrema[i] = roots[j];
            if (sc.settled[j]) fext[i] = sc.f[j], dsplit[i] = direct_g.sign * sc.df[j], known[i] = 1;
        }
    } else if (auto r = refine(dbrackets, o.tolerance, &ev, derivative_sampler, extrema.data()); !r) {
        return std::unexpected(std::move(r.error()));
    }

    Window out;
    if (o.relation == Relation::LocMin || o.relation == Relation::LocMax) {
        const bool want_min = o.relation == Relation::LocMin;
        for (std::size_t i = 0; i < extrema.size(); ++i)
            if (is_min[i] == want_min) out.push_back({extrema[i], extrema[i]});
        if (!tracker.finish()) return std::unexpected(stopped());
        return out;
    }
    {
        std::vector<double> pending;
        std::vector<std::size_t> pending_index;
        for (std::size_t i = 0; i < extrema.size(); ++i)
            if (!known[i]) pending.push_back(extrema[i]), pending_index.push_back(i);
        if (!pending.empty()) {
            if (auto r = ev.run(pending.data(), pending.size(), o.threads); !r)
                return std::unexpected(std::move(r.error()));
            for (std::size_t j = 0; j < pending.size(); ++j) fext[pending_index[j]] = ev.f[j];
        }
    }

    double value = o.value;
    Relation rel = o.relation;
    if (absolute) {
        // The extreme value over the ends of the confinement intervals and
        // the local extrema of the same kind; the first in time on ties.
        const bool want_min = rel == Relation::AbsMin;
        auto better = [&](double x, double best) { return want_min ? x < best : x > best; };
        double best_t = ends[0].first.t, best = ends[0].first.f;
        std::size_t e = 0;
        for (std::size_t ci = 0; ci < confinement.size(); ++ci) {
            if (ci && better(ends[ci].first.f, best)) best = ends[ci].first.f, best_t = ends[ci].first.t;
            for (; e < extrema.size() && dinterval[e] == ci; ++e)
                if (is_min[e] == want_min && better(fext[e], best)) best = fext[e], best_t = extrema[e];
            if (better(ends[ci].last.f, best)) best = ends[ci].last.f, best_t = ends[ci].last.t;
        }
        if (o.adjust == 0) {
            if (!tracker.finish()) return std::unexpected(stopped());
            return Window{{best_t, best_t}};
        }
        value = want_min ? best + o.adjust : best - o.adjust;
        rel = want_min ? Relation::Less : Relation::Greater;
    }

    // 3. Crossings: for =, < and > between neighbouring samples, the
    //    samples around an extremum split by it; for ABSMIN and ABSMAX with
    //    an adjustment on the monotone pieces between the ends and the
    //    extrema (a continuous quantity crosses at most once on each).
    const double sign = rel == Relation::Greater ? -1.0 : 1.0;  // inside: sign * (f - value) < 0
    if (direct) {
        for (std::size_t i = 0; i < extrema.size(); ++i) {
            // Split at the extremum (where the derivative is about zero) or
            // at the point that settled its bracket.
            const Around& a = around[i];
            const double g0 = direct_g.g(a.f0), ge = direct_g.g(fext[i]), g1 = direct_g.g(a.f1);
            if (negative(g0) != negative(ge)) {
                cbrackets.push_back({a.t0, extrema[i], g0, ge, direct_g.sign * a.d0, dsplit[i]});
                cinterval.push_back(dinterval[i]);
            }
            if (negative(ge) != negative(g1)) {
                cbrackets.push_back({extrema[i], a.t1, ge, g1, dsplit[i], direct_g.sign * a.d1});
                cinterval.push_back(dinterval[i]);
            }
        }
        // In time order (the brackets refined above begin where sampling
        // found them; the extrema's came after).
        std::vector<std::size_t> order(cbrackets.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return cbrackets[x].lo < cbrackets[y].lo;
        });
        std::vector<Bracket> sorted(order.size());
        std::vector<std::size_t> sorted_interval(order.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            sorted[i] = cbrackets[order[i]];
            sorted_interval[i] = cinterval[order[i]];
        }
        cbrackets.swap(sorted);
        cinterval.swap(sorted_interval);
    }
    std::size_t e = 0;
    for (std::size_t ci = 0; !direct && ci < confinement.size(); ++ci) {
        Sampled p = ends[ci].first;
        auto piece = [&](double t, double f) {
            const double g0 = sign * (p.f - value), g1 = sign * (f - value);
            if (negative(g0) != negative(g1)) {
                cbrackets.push_back({p.t, t, g0, g1});
                cinterval.push_back(ci);
            }
            p = Sampled{t, f, 0};
        };
        for (; e < extrema.size() && dinterval[e] == ci; ++e) piece(extrema[e], fext[e]);
        piece(ends[ci].last.t, ends[ci].last.f);
    }
    std::vector<double> crossings(cbrackets.size());
    CrossingCtx cc{&ev, value, sign, direct ? direct_g.wrap : 0.0};
    if (auto r = refine(cbrackets, o.tolerance, &cc, crossing_sampler, crossings.data()); !r)
        return std::unexpected(std::move(r.error()));

    std::size_t c = 0;
    for (std::size_t ci = 0; ci < confinement.size(); ++ci) {
        if (rel == Relation::Equal) {
            // A bracket that closed on a jump of a wrapping angle (its ends
            // still about a turn apart) is the wrap, not a crossing.
            for (; c < crossings.size() && cinterval[c] == ci; ++c)
                if (!(q.wrap() > 0 && std::abs(cbrackets[c].ghi - cbrackets[c].glo) > 0.25 * q.wrap()))
                    out.push_back({crossings[c], crossings[c]});
            continue;
        }
        bool inside = negative(sign * (ends[ci].first.f - value));
        double start = confinement[ci].start;
        for (; c < crossings.size() && cinterval[c] == ci; ++c) {
            if (inside) out.push_back({start, crossings[c]});
            else start = crossings[c];
            inside = !inside;
        }
        if (inside) out.push_back({start, confinement[ci].stop});
    }
    if (!tracker.finish()) return std::unexpected(stopped());
    return out;
}

std::expected<Window, KernelSetError> search_condition(const Condition& c, std::span<const Interval> confinement,
                                                       const SearchOptions& o) {
    if (auto e = check_common(confinement, o)) return std::unexpected(std::move(*e));
    Tracker tracker(o.progress, confinement, o.step);
    // 1. Samples: the state at each interval's start and a bracket around
    //    every change of state.
    struct Edge {
        double lo, hi;
        bool rising;  // false -> true
        std::size_t interval;
    };
    std::vector<Edge> edges;
    std::vector<std::uint8_t> first(confinement.size());
    std::vector<double> ts;
    std::vector<std::uint8_t> hs;
    for (std::size_t ci = 0; ci < confinement.size(); ++ci) {
        const double a = confinement[ci].start, b = confinement[ci].stop;
        std::size_t k = 0;
        bool have_prev = false, done = false;
        double prev_t = a;
        std::uint8_t prev_h = 0;
        while (!done) {
            done = fill_chunk(a, b, o.step, k, tracker.chunk(), ts);
            hs.resize(ts.size());
            if (auto r = c.evaluate(ts.data(), ts.size(), hs.data(), o.threads); !r)
                return std::unexpected(at_epoch(r.error(), ts.data()));
            for (std::size_t i = 0; i < ts.size(); ++i) {
                const std::uint8_t h = hs[i] ? 1 : 0;
                if (!have_prev) first[ci] = h, have_prev = true;
                else if (h != prev_h) edges.push_back({prev_t, ts[i], h == 1, ci});
                prev_t = ts[i], prev_h = h;
            }
            if (!tracker.tick(ts.size())) return std::unexpected(stopped());
        }
    }
    // 2. Every bracket bisected, all of them in one batch per step, until
    //    no wider than the tolerance (or no double lies between its ends).
    std::vector<std::size_t> active;
    for (std::size_t i = 0; i < edges.size(); ++i)
        if (edges[i].hi - edges[i].lo > o.tolerance) active.push_back(i);
    for (int step = 0; !active.empty() && step < kMaxRefineSteps; ++step) {
        ts.resize(active.size());
        hs.resize(active.size());
        for (std::size_t j = 0; j < active.size(); ++j) {
            const Edge& e = edges[active[j]];
            ts[j] = e.lo + 0.5 * (e.hi - e.lo);
        }
        if (auto r = c.evaluate(ts.data(), ts.size(), hs.data(), o.threads); !r)
            return std::unexpected(at_epoch(r.error(), ts.data()));
        std::size_t kept = 0;
        for (std::size_t j = 0; j < active.size(); ++j) {
            Edge& e = edges[active[j]];
            // The state at lo is !rising: a midpoint in that state moves lo.
            if ((hs[j] != 0) == e.rising) e.hi = ts[j];
            else e.lo = ts[j];
            if (e.hi - e.lo > o.tolerance && std::nextafter(e.lo, e.hi) < e.hi) active[kept++] = active[j];
        }
        active.resize(kept);
    }
    // 3. The window, interval by interval, from its first state and edges.
    Window out;
    std::size_t ei = 0;
    for (std::size_t ci = 0; ci < confinement.size(); ++ci) {
        bool inside = first[ci] != 0;
        double start = confinement[ci].start;
        for (; ei < edges.size() && edges[ei].interval == ci; ++ei) {
            const double t = 0.5 * (edges[ei].lo + edges[ei].hi);
            if (edges[ei].rising) start = t;
            else out.push_back({start, t});
            inside = edges[ei].rising;
        }
        if (inside) out.push_back({start, confinement[ci].stop});
    }
    if (!tracker.finish()) return std::unexpected(stopped());
    return out;
}

}  // namespace kernwerk::events
