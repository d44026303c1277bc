// SPK Type 1: modified difference arrays (MDA) of JPL's variable-step
// integrator, one "difference line" per record.
//
// Layout relied on (segment words from `begin`):
//   * N records of 71 doubles;
//   * N epochs, the last epoch each record serves, non-decreasing;
//   * a directory of every 100th epoch (N/100 words; never read);
//   * N.
// A record with MAXDIM = 15 (Type 21 uses the same record with MAXDIM
// stored in its trailer, 4 MAXDIM + 11 doubles):
//   TL                  reference epoch
//   G[MAXDIM]           step-size function vector
//   X VX Y VY Z VZ      reference position and velocity, interleaved
//   DT[MAXDIM][3]       modified divided differences, one column of MAXDIM
//                       per axis
//   KQMAX1              maximum integration order plus one, 2..MAXDIM+1
//   KQ[3]               integration order of each axis, 0..KQMAX1-1
// Record k serves epochs after record k-1's last epoch up to its own; the
// first record also serves everything before, the last everything after.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

namespace spk_types {

// The state from one difference line with `maxdim` terms (the layout above),
// whose orders were checked by check_difference_line.
State evaluate_difference_line(const double* record, std::size_t maxdim, double et) noexcept;

// Empty when KQMAX1 and KQ of the record fit `maxdim`, else the reason.
const char* check_difference_line(const double* record, std::size_t maxdim) noexcept;

// The largest MAXDIM a Type 21 segment may declare.
inline constexpr std::size_t kMaxDifferenceTerms = 25;

// Shared by Types 1 and 21: N difference lines of `dlsize` doubles, the N
// epochs after them, and the record that serves `et`.
struct DifferenceLines {
    const double* data = nullptr;
    std::uint64_t n = 0, dlsize = 0, maxdim = 0;
    // Checks epochs and every record's orders; `words` is the segment length.
    static std::expected<DifferenceLines, SpkError> check(const double* data, std::uint64_t words, std::uint64_t n,
                                                          std::uint64_t maxdim, std::uint64_t trailer,
                                                          std::int32_t data_type);
    State evaluate(double et) const noexcept;
};

}  // namespace spk_types

struct SpkType1 {
    DafFile daf;
    spk_types::DifferenceLines lines;
    static std::expected<SpkType1, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const { return lines.evaluate(et); }
};

}  // namespace kernwerk
