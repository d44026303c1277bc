// SPK Types 18 and 19: packets of states at unequal epochs, interpolated by
// Hermite or Lagrange polynomials over a sliding window; Type 19 chains many
// such blocks ("mini-segments"), each serving one interval of time.
//
// A packet block (a whole Type 18 segment, or one Type 19 mini-segment):
//   * N packets of S doubles;
//   * N epochs, strictly increasing;
//   * a directory of every 100th epoch ((N-1)/100 words; never read);
//   * SUBTYPE, W (window size, even, 2..32), N.
// Subtypes: 0, Hermite, S = 12: position, velocity, then velocity,
// acceleration; position and velocity are each a Hermite polynomial through
// their values and derivatives. 1, Lagrange, S = 6: each component its own
// Lagrange polynomial. 2 (Type 19 only), Hermite, S = 6: position through
// its values and the stored velocities; the velocity is its derivative.
// The window is W consecutive packets around et, W/2 up to the last epoch
// not after et and W/2 after it, cut short (not shifted) at the block's
// ends: near an end fewer packets are used.
//
// Type 19 segment:
//   * N mini-segments back to back;
//   * N + 1 interval boundaries, strictly increasing, from the word after
//     the last mini-segment; a directory of every 100th boundary after them
//     (never read);
//   * N + 1 pointers, the first word of each mini-segment counted from 1 at
//     the segment's start, the last one past the end of the last
//     mini-segment;
//   * the boundary flag: 0, an epoch on a boundary is served by the interval
//     ending there; 1, by the interval starting there;
//   * N.
// Interval k (from boundary k to k + 1) is served by mini-segment k; epochs
// before the first boundary use the first interval, after the last the last.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct PacketBlock {
    const double* packets = nullptr;
    const double* epochs = nullptr;
    std::uint64_t n = 0, window = 0, packet_size = 0;
    int subtype = 0;
    // Checks the block of `words` doubles at `data`; `max_subtype` is 1 for
    // Type 18, 2 for Type 19.
    static std::expected<PacketBlock, SpkError> check(const double* data, std::uint64_t words, int max_subtype,
                                                      std::int32_t data_type);
    State evaluate(double et) const noexcept;
};

struct SpkType18 {
    DafFile daf;
    PacketBlock block;
    static std::expected<SpkType18, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const { return block.evaluate(et); }
};

struct SpkType19 {
    DafFile daf;
    const double* boundaries = nullptr;  // n + 1
    std::uint64_t n = 0;
    bool select_last = false;
    // The mini-segments as checked at open: their counts are never read from
    // the map again, so a file changed under its mapping cannot move a read
    // outside the segment.
    std::vector<PacketBlock> blocks;
    static std::expected<SpkType19, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
