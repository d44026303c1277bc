// SPK Types 8 and 12: discrete states at equal time steps, interpolated by
// Lagrange (Type 8) or Hermite (Type 12) polynomials over a sliding window.
//
// Layout relied on (segment words from `begin`):
//   * N states of 6 doubles (km, km/s), state i at START + i STEP;
//   * START (ET), STEP (s, > 0), W - 1 (the window size W less one: the
//     polynomial degree for Type 8), N.
// Window of W' = min(W, N) states: with r = (et - START) / STEP, an odd W
// centres the state nearest et (r rounded half away from zero), an even W
// takes W/2 states from trunc(r) backwards and W/2 after; the window is then
// pushed inside 0..N-1. Interpolation runs in the normalised time
// u = (et - x0) / STEP, x0 the window's first epoch, at nodes 0, 1, ...
// Type 8 interpolates each of the six components with its own Lagrange
// polynomial. Type 12 fits a Hermite polynomial to each position component
// and its stored velocity; the velocity is that polynomial's derivative.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct EqualStepStates {
    const double* states = nullptr;
    double start = 0, step = 0;
    std::uint64_t window = 0, n = 0;
    // The window's first state for `et`.
    std::uint64_t first(double et) const noexcept;
};

struct SpkType8 {
    DafFile daf;
    EqualStepStates grid;
    static std::expected<SpkType8, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

struct SpkType12 {
    DafFile daf;
    EqualStepStates grid;
    static std::expected<SpkType12, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
