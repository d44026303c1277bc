// Evaluation of the segment types NaifSpk reads itself: Chebyshev (Types 2
// and 3) and discrete states (Types 9 and 13).
#include "spk/spk.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ranges>
#include <utility>
#include <vector>

#include "daf/chebyshev.hpp"
#include "spk/types/common.hpp"

namespace kernwerk {

// ---------------------------------------------------------------------------
// Chebyshev segments (Types 2 and 3)

std::array<double, 3> cheby3_val_only(const double* x, const double* y, const double* z, std::size_t n, double s) {
    if (n == 0) return {0.0, 0.0, 0.0};
    if (n == 1) return {x[0], y[0], z[0]};
    const double tw = s + s;
    double vx = x[1] * s + x[0], vy = y[1] * s + y[0], vz = z[1] * s + z[0];
    double t0 = 1.0, t1 = s;  // T(k-2), T(k-1)
    std::size_t k = 2;
    // Two terms per pass; the additions stay in increasing k.
    for (; k + 1 < n; k += 2) {
        const double t2 = tw * t1 - t0;
        const double t3 = tw * t2 - t1;
        vx = vx + x[k] * t2;
        vy = vy + y[k] * t2;
        vz = vz + z[k] * t2;
        vx = vx + x[k + 1] * t3;
        vy = vy + y[k + 1] * t3;
        vz = vz + z[k + 1] * t3;
        t0 = t2;
        t1 = t3;
    }
    if (k < n) {
        const double t2 = tw * t1 - t0;
        vx = vx + x[k] * t2;
        vy = vy + y[k] * t2;
        vz = vz + z[k] * t2;
    }
    return {vx, vy, vz};
}

std::expected<State, SpkError> SpkType2::evaluate(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(SpkError(rec.error()));
    const double* r = rec->data();
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return std::unexpected(SpkError::malformed("RADIUS == 0"));
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* cx = r + 2;
    const double* cy = cx + nc;
    const double* cz = cy + nc;
    if (nc == 1) return State{cx[0], cy[0], cz[0], 0.0, 0.0, 0.0};
    const double s = (et - mid) / radius;
    double value[3], deriv[3];
    cheby3_value_and_derivative(cx, cy, cz, nc, s, value, deriv);
    // Derivatives are per unit of s; one reciprocal turns them into per second.
    const double recip = 1.0 / radius;
    return State{value[0], value[1], value[2], deriv[0] * recip, deriv[1] * recip, deriv[2] * recip};
}

std::expected<State, SpkError> SpkType3::evaluate(double et) const {
    auto rec = select_chebyshev_record(daf, init, intlen, rsize, n, begin, et);
    if (!rec) return std::unexpected(SpkError(rec.error()));
    const double* r = rec->data();
    const double mid = r[0], radius = r[1];
    // A zero half-length makes s non-finite and every component with it;
    // such a record is refused as Type 2 refuses it, rather than answered
    // with a state of NaNs and infinities.
    if (radius == 0.0) return std::unexpected(SpkError::malformed("RADIUS == 0"));
    const std::size_t nc = static_cast<std::size_t>(ncoef);
    const double* c = r + 2;
    const double s = (et - mid) / radius;
    const auto pos = cheby3_val_only(c, c + nc, c + 2 * nc, nc, s);
    const auto vel = cheby3_val_only(c + 3 * nc, c + 4 * nc, c + 5 * nc, nc, s);
    return State{pos[0], pos[1], pos[2], vel[0], vel[1], vel[2]};
}

// ---------------------------------------------------------------------------
// Discrete-state segments (Types 9 and 13)

namespace {

// Working doubles of an interpolation: on the stack for the windows met in
// practice, on the heap only for unusually large ones.
class Scratch {
public:
    explicit Scratch(std::size_t count) {
        if (count <= small_.size()) {
            data_ = small_.data();
        } else {
            big_.resize(count);
            data_ = big_.data();
        }
    }
    double* data() noexcept { return data_; }

private:
    std::array<double, 128> small_;
    std::vector<double> big_;
    double* data_;
};

// NaifSpk's documented arithmetic for Type 9: barycentric weights
// B[j] = 1 / prod_{m != j} (x[j] - x[m]), then q[j] = B[j] / (et - x[j]);
// the same for all six components.
State lagrange_barycentric(const double* x, const double* y, std::size_t t, double et) {
    Scratch scratch(t);
    double* q = scratch.data();
    for (std::size_t j = 0; j < t; ++j) {
        double prod = 1.0;
        for (std::size_t m = 0; m < t; ++m)
            if (m != j) prod = prod * (x[j] - x[m]);
        const double b = 1.0 / prod;
        q[j] = b / (et - x[j]);
    }
    double den = 0.0;
    for (std::size_t j = 0; j < t; ++j) den = den + q[j];
    State out;
    for (std::size_t c = 0; c < 6; ++c) {
        double num = 0.0;
        for (std::size_t j = 0; j < t; ++j) num = num + q[j] * y[6 * j + c];
        out[c] = num / den;
    }
    return out;
}

// NaifSpk's documented arithmetic for Type 13: the Newton form over the
// divided differences of doubled nodes, and its derivative.
State hermite_divided_differences(const double* x, const double* y, std::size_t t, double et) {
    // Doubled nodes z[2j] = z[2j + 1] = x[j]; z[l] is x[l / 2].
    const std::size_t nn = 2 * t;
    Scratch scratch(2 * nn);
    double* d = scratch.data();  // divided differences of the current order
    double* c = d + nn;          // Newton coefficients
    State out;
    for (std::size_t a = 0; a < 3; ++a) {
        // Order 0, then order 1 (stored velocities at the doubled nodes),
        // then orders 2 .. 2t-1 in place: d[l] still holds the previous
        // order's d[l + 1] when d[l] is replaced (increasing l).
        for (std::size_t l = 0; l < nn; ++l) d[l] = y[6 * (l / 2) + a];
        c[0] = d[0];
        for (std::size_t l = 0; l + 1 < nn; ++l) {
            if (l % 2 == 0)
                d[l] = y[6 * (l / 2) + a + 3];
            else
                d[l] = (d[l + 1] - d[l]) / (x[(l + 1) / 2] - x[l / 2]);
        }
        c[1] = d[0];
        for (std::size_t k = 2; k < nn; ++k) {
            for (std::size_t l = 0; l + k < nn; ++l) d[l] = (d[l + 1] - d[l]) / (x[(l + k) / 2] - x[l / 2]);
            c[k] = d[0];
        }
        // Newton form and its derivative at et.
        double value = c[0], deriv = 0.0, prod = 1.0, dprod = 0.0;
        for (std::size_t m = 1; m < nn; ++m) {
            const double dd = et - x[(m - 1) / 2];
            dprod = dprod * dd + prod;
            prod = prod * dd;
            value = value + c[m] * prod;
            deriv = deriv + c[m] * dprod;
        }
        out[a] = value;
        out[a + 3] = deriv;
    }
    return out;
}

struct Window {
    const double* x;       // t epochs
    const double* states;  // t states of 6 doubles
    std::size_t t;
};

// The t = min(w, N) consecutive states around `et`: a binary search over all
// N epochs in the map finds the last epoch not after `et` (the anchor; the
// first epoch when there is none), the window is centred on it (one more
// state after than before for even t) and pushed inside the list. With
// OddWindowCentre::Nearest an odd t centres on the next epoch instead when
// that one is at least as near to `et`. The catalogue guarantees N >= 1 and
// 32-bit addresses for all N states and epochs.
std::expected<Window, SpkError> select_window(const DafFile& daf, std::uint64_t w, std::uint64_t n,
                                              std::uint32_t begin, std::uint32_t epoch_addr, double et,
                                              OddWindowCentre centre) {
    if (w == 0) return std::unexpected(SpkError::malformed("window size 0"));
    const std::uint64_t t = std::min(w, n);
    const auto n32 = static_cast<std::uint32_t>(n);

    auto all = daf.slice_doubles(epoch_addr, epoch_addr + n32 - 1u);
    if (!all) return std::unexpected(SpkError(all.error()));
    const double* epochs = all->data();
    // The toolkit's rule takes an even window's lower half up to the last
    // epoch before et, so that on an epoch that state opens the upper half.
    const bool strict = centre == OddWindowCentre::Nearest && t % 2 == 0;
    std::uint64_t lo = 0, hi = n;
    while (lo < hi) {
        const std::uint64_t mid = (lo + hi) / 2;
        if (strict ? et > epochs[mid] : et >= epochs[mid])  // false for NaN: a NaN epoch gives i = 0
            lo = mid + 1;
        else
            hi = mid;
    }
    std::uint64_t anchor = lo == 0 ? 0 : lo - 1;
    // Between epochs anchor and lo; NaN (lo = 0) stays on the first.
    if (centre == OddWindowCentre::Nearest && t % 2 == 1 && lo > 0 && lo < n &&
        epochs[lo] - et <= et - epochs[anchor])
        anchor = lo;
    const std::uint64_t back = (t - 1) / 2;
    std::uint64_t first = anchor >= back ? anchor - back : 0;
    first = std::min(first, n - t);

    const auto f32 = static_cast<std::uint32_t>(first);
    const auto t32 = static_cast<std::uint32_t>(t);
    auto x = daf.slice_doubles(epoch_addr + f32, epoch_addr + f32 + t32 - 1u);
    if (!x) return std::unexpected(SpkError(x.error()));
    auto st = daf.slice_doubles(begin + 6u * f32, begin + 6u * (f32 + t32) - 1u);
    if (!st) return std::unexpected(SpkError(st.error()));
    return Window{x->data(), st->data(), static_cast<std::size_t>(t)};
}

// Two equal epochs in a window put a zero in a Lagrange denominator or a
// divided difference. Checked over all pairs: the epoch order is not
// validated, so equal epochs need not be neighbours.
bool has_equal_epochs(const double* x, std::size_t t) {
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t m = j + 1; m < t; ++m)
            if (x[j] == x[m]) return true;
    return false;
}

}  // namespace

std::expected<State, SpkError> SpkType9::evaluate(double et) const {
    auto win = select_window(daf, meta.size + 1, meta.n, meta.begin, meta.epoch_addr, et, centre);
    if (!win) return std::unexpected(win.error());
    const double* x = win->x;
    const double* y = win->states;
    const std::size_t t = win->t;

    // NaifSpk's documented rule answers an exact hit with the stored state
    // itself (NaN never equals an epoch); the toolkit's rule interpolates
    // there too, which can differ from the stored state in the last bits.
    if (centre == OddWindowCentre::LastNotAfter) {
        for (std::size_t j = 0; j < t; ++j) {
            if (x[j] == et) {
                const double* s = y + 6 * j;
                return State{s[0], s[1], s[2], s[3], s[4], s[5]};
            }
        }
    }
    if (has_equal_epochs(x, t)) return std::unexpected(SpkError::malformed("equal epochs in window"));
    // NaifSpk keeps its documented barycentric form; kernel sets take the
    // toolkit's Neville table, which gives the toolkit's bits at any degree.
    if (centre == OddWindowCentre::LastNotAfter) return lagrange_barycentric(x, y, t, et);
    State out;
    spk_types::lagrange_neville<6>(x, t, et, y, 6, out.data());
    return out;
}

std::expected<State, SpkError> SpkType13::evaluate(double et) const {
    auto win = select_window(daf, window, n, begin, epoch_addr, et, centre);
    if (!win) return std::unexpected(win.error());
    const double* x = win->x;
    const double* y = win->states;
    const std::size_t t = win->t;
    if (has_equal_epochs(x, t)) return std::unexpected(SpkError::malformed("equal epochs in window"));
    if (centre == OddWindowCentre::LastNotAfter) return hermite_divided_differences(x, y, t, et);
    State out;
    spk_types::hermite_neville<3>(x, t, et, y, y + 3, 6, 1.0, out.data(), out.data() + 3);
    return out;
}

}  // namespace kernwerk
