// SPK Type 21: extended modified difference arrays, Type 1's difference
// lines with a variable number of terms MAXDIM (at most 25).
//
// Layout relied on (segment words from `begin`):
//   * N records of DLSIZE = 4 MAXDIM + 11 doubles, each a Type 1 difference
//     line with MAXDIM terms (see spk_type01.hpp);
//   * N epochs, the last epoch each record serves, non-decreasing;
//   * a directory of every 100th epoch (N/100 words; never read);
//   * MAXDIM, then N.
// Record selection and evaluation are Type 1's.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"
#include "spk/types/type01.hpp"

namespace kernwerk {

struct SpkType21 {
    DafFile daf;
    spk_types::DifferenceLines lines;
    static std::expected<SpkType21, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const { return lines.evaluate(et); }
};

}  // namespace kernwerk
