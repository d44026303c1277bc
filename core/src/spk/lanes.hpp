// Chebyshev segments (SPK Types 2 and 3) evaluated at many epochs at once.
//
// Four epochs go side by side in the lanes of a vector: each lane selects its
// own record and runs exactly the scalar order of operations of
// SpkType2::evaluate and SpkType3::evaluate (no FMA, no reassociation), so
// every row is the one `evaluate` gives, bit for bit. The lanes are built
// twice, for AVX2 and for the SSE2 baseline of x86-64, and the variant is
// chosen once per process from the processor's features. The records of the
// next four epochs are prefetched while the current four are evaluated, so
// that random epochs overlap their waits on memory.
//
// An epoch whose record does not lie in the file or has RADIUS 0 stops the
// run: the caller evaluates it through `evaluate` for its error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "spk/spk.hpp"

namespace kernwerk::lanes {

// Rows of six doubles for ets[0..count): the position of the first epoch
// that could not be evaluated here (count when none).
std::size_t type2_rows(const SpkType2& seg, const double* ets, std::size_t count, double* rows) noexcept;
std::size_t type3_rows(const SpkType3& seg, const double* ets, std::size_t count, double* rows) noexcept;
// type2_rows' velocities, the same bits, with the positions of the epochs
// taken four at a time left 0 (the others are whole rows).
std::size_t type2_velocity_rows(const SpkType2& seg, const double* ets, std::size_t count, double* rows) noexcept;

// Asks for the record that serves `et` (nothing when it is not in the file).
void prefetch_record(const SpkType2& seg, double et) noexcept;
void prefetch_record(const SpkType3& seg, double et) noexcept;

// One epoch, scalar, in two halves, so that a caller with several segments
// can request every record before it reads any: the record that serves
// `et` (null when it is not in the file), then the row from it (false for
// RADIUS 0).
const double* record_of(const SpkType2& seg, double et) noexcept;
const double* record_of(const SpkType3& seg, double et) noexcept;
bool row_from(const SpkType2& seg, const double* record, double et, double* row) noexcept;
bool row_from(const SpkType3& seg, const double* record, double et, double* row) noexcept;

// Four epochs of the Type 2 series (SPK Type 2 and binary PCK Type 2 store
// the same records) from records the caller found, `nc` >= 2 coefficients
// per component and RADIUS != 0 in each: rows of the three values and their
// derivatives per second, bit for bit those of SpkType2::evaluate and
// PckType2::evaluate. The records may belong to different segments.
void type2_rows4(const double* const records[4], std::size_t nc, const double ets[4], double rows[24]) noexcept;

// "avx2" or "sse2": the variant this process runs.
const char* variant() noexcept;

}  // namespace kernwerk::lanes
