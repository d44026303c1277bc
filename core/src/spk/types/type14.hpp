// SPK Type 14: Chebyshev records of position and velocity at unequal time
// steps, stored as a generic segment.
//
// Layout relied on (segment words from `begin`, bases counted from 0 there):
//   * the last word is NMETA (17); the NMETA words ending the segment are, in
//     order: CONBAS, NCON, RDRBAS, NRDR, RDRTYP, REFBAS, NREF, PDRBAS, NPDR,
//     PDRTYP, PKTBAS, NPKT, RSVBAS, NRSV, PKTSZ, PKTOFF, NMETA;
//   * constant 0 (at CONBAS) is the number of coefficients per component NC
//     (the degree plus one);
//   * NPKT packets from PKTBAS, each PKTOFF + PKTSZ words: PKTOFF leading
//     words, then MID, RADIUS and 6 NC coefficients (X, Y, Z, VX, VY, VZ
//     series in turn), so PKTSZ = 2 + 6 NC;
//   * NREF = NPKT reference epochs from REFBAS, the start of each record,
//     non-decreasing; a reference directory of NRDR words after them (never
//     read).
// RDRTYP says how a reference picks the record for `et`: 3 (the toolkit's
// Type 14 writer) the last reference at or before et, 2 the last one before
// et, 4 the nearest one (the later of two as near); before the first
// reference the first record serves, after the last the last. Other
// reference types are refused. The record is evaluated as a Type 3 record.
#pragma once

#include <cstdint>
#include <expected>

#include "base/common.hpp"
#include "daf/daf.hpp"
#include "spk/error.hpp"

namespace kernwerk {

struct SpkType14 {
    DafFile daf;
    const double* packets = nullptr;  // the first packet's MID
    const double* epochs = nullptr;
    std::uint64_t n = 0, stride = 0, ncoef = 0;
    enum class Reference : std::uint8_t { AtOrBefore, Before, Nearest } reference = Reference::AtOrBefore;
    static std::expected<SpkType14, SpkError> open(const DafFile& daf, std::uint32_t begin, std::uint32_t end);
    std::expected<State, SpkError> evaluate(double et) const;
};

}  // namespace kernwerk
