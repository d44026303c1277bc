// libFuzzer target: windows and the search engine. The input's doubles
// become two lists of intervals (rows with NaN or inverted ends are
// refused, as the bindings refuse them), made windows by normalize; every
// operation must give a window again, within the expected bounds and
// measures. Then a search over the first window of a sinusoid whose
// period, phase and reference value come from the input, with a step that
// keeps the grid small: every result must be a window inside the
// confinement, and no input may crash, hang or trip a sanitizer.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "events/search.hpp"
#include "events/windows.hpp"

using namespace kernwerk;
using namespace kernwerk::events;

namespace {

class Sine final : public Quantity {
public:
    double w = 1, phase = 0;
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned) const override {
        for (std::size_t i = 0; i < n; ++i) f[i] = std::sin(w * ets[i] + phase), df[i] = w * std::cos(w * ets[i] + phase);
        return {};
    }
};

void require(bool ok) {
    if (!ok) std::abort();
}

void require_window(const Window& w) { require(!check_window(w)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<double> v(size / 8);
    if (!v.empty()) std::memcpy(v.data(), data, v.size() * 8);
    if (v.size() < 8) return 0;
    const double a1 = v[0], a2 = v[1], ref = v[2], w = v[3];
    std::vector<Interval> x, y;
    for (std::size_t i = 4; i + 1 < v.size(); i += 2) ((i / 2) % 2 ? x : y).push_back({v[i], v[i + 1]});
    if (check_intervals(x) || check_intervals(y)) return 0;
    const Window a = normalize(x), b = normalize(y);
    require_window(a);
    require_window(b);
    const Window u = unite(a, b), n = intersect(a, b), d = difference(a, b);
    require_window(u);
    require_window(n);
    require_window(d);
    require_window(filter(a, std::abs(ref)));
    if (std::isfinite(a1) && std::isfinite(a2)) {
        require_window(expand(a, a1, a2));
        require_window(contract(a, a1, a2));
        const double lo = std::min(a1, a2), hi = std::max(a1, a2);
        const Window c = complement(a, lo, hi);
        require_window(c);
        require(c.empty() || (c.front().start >= lo && c.back().stop <= hi));
    }
    const double ma = measure(a), mb = measure(b);
    if (std::isfinite(ma) && std::isfinite(mb) && ma < 1e300 && mb < 1e300) {
        const double mn = measure(n);
        require(mn <= std::min(ma, mb) * (1 + 1e-12) + 1e-300 || !std::isfinite(mn));
    }

    // A search over the first interval of a, at most some thousands of samples.
    if (a.empty() || !std::isfinite(ref) || !std::isfinite(w) || w == 0) return 0;
    const Interval span = a.front();
    const double length = span.stop - span.start;
    if (!std::isfinite(span.start) || !std::isfinite(span.stop) || !std::isfinite(length)) return 0;
    if (std::abs(span.start) > 1e12 || std::abs(span.stop) > 1e12) return 0;
    Sine q;
    q.w = std::clamp(std::abs(w), 1e-9, 1e3);
    q.phase = std::fmod(ref, 6.283185307179586);
    const double step = std::max(length / 2000, 1.0 / q.w / 8);
    for (Relation r : {Relation::Equal, Relation::Less, Relation::LocMax, Relation::AbsMin}) {
        auto found = search(q, Window{span}, {r, std::clamp(ref, -2.0, 2.0), r == Relation::AbsMin ? 0.5 : 0.0,
                                             step > 0 ? step : 1.0, 1e-6, 1});
        if (!found) continue;
        require_window(*found);
        require(found->empty() || (found->front().start >= span.start && found->back().stop <= span.stop));
    }
    return 0;
}
