// Spacecraft clocks of type 1 (text SCLK kernels), read from the kernel
// variable pool.
//
// What a clock relies on, for clock `id` (variables suffixed with -id, so
// clock -77 reads SCLK01_MODULI_77):
//   * SCLK_DATA_TYPE_<n> = 1;
//   * SCLK01_N_FIELDS_<n>, SCLK01_MODULI_<n> and SCLK01_OFFSETS_<n> (one per
//     field, most significant first); a count is a tick count inside its
//     partition: sum over fields of (value - offset) * weight, the weight of
//     a field the product of the moduli of the fields after it;
//   * SCLK01_OUTPUT_DELIM_<n>: 1 '.', 2 ':', 3 '-', 4 ',', 5 ' ';
//   * SCLK_PARTITION_START_<n> and SCLK_PARTITION_END_<n>: partition p holds
//     the counts [start_p, end_p]; encoded ("continuous") ticks run across
//     the partitions: the ticks of partition p begin after the lengths of the
//     partitions before it;
//   * SCLK01_COEFFICIENTS_<n>: triplets (encoded ticks, parallel time,
//     parallel seconds per count of the most significant field), in
//     increasing order; the parallel time is TDB (SCLK01_TIME_SYSTEM_<n>
//     absent or 1) or TT (2), seconds past J2000, and TT needs the
//     leapseconds model;
//   * ticks to parallel time from the last triplet at or before the ticks:
//     par = p0 + (ticks - t0) * (rate / ticks_per_count); the reverse from
//     the last triplet at or before the parallel time: ticks = t0 + (par -
//     p0) * (ticks_per_count / rate) (this order of operations is what the
//     toolkit's results show, bit for bit);
//   * encoded ticks are valid in [0, total length of the partitions]; ET in
//     [ET of the first triplet, ET of the last tick];
//   * clock strings: an optional "p/" partition, then fields separated by
//     '.', ':', '-', ',' or blanks (a run of blanks is one separator, and
//     blanks beside another separator are none); an empty or missing field
//     counts as its offset; a field below its offset or more fields than
//     the clock has is refused; values above a modulus carry over. Without
//     a partition, the first partition that holds the count is taken;
//   * strings are written "p/" then every field zero-padded to the digits
//     of modulus - 1 + offset, joined by the output delimiter, from the
//     ticks rounded to the nearest (halves away from zero); the partition of
//     ticks is the first whose end lies beyond them (the last holds its end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/pool.hpp"
#include "time/time_scales.hpp"

namespace kernwerk {

class SclkError {
public:
    enum class Kind {
        Missing,   // no (or an incomplete) clock in the pool, or no leapseconds for a TT clock
        Format,    // pool variables that make no clock
        Parse,     // a clock string that does not parse
        Range,     // ticks, ET or a count outside the clock
    };
    SclkError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Kind kind_;
    std::string message_;
};

class SclkClock {
public:
    static constexpr std::size_t kMaxFields = 10;

    // The clock `id` from the pool; `lsk` is needed (and kept: it must
    // outlive the clock) only for a TT clock.
    static std::expected<SclkClock, SclkError> from_pool(const KernelPool& pool, std::int32_t id,
                                                         const timescale::LeapSeconds* lsk);

    std::int32_t id() const noexcept { return id_; }
    std::size_t partitions() const noexcept { return pstart_.size(); }
    bool tt() const noexcept { return tt_; }

    // scencd: a clock string to encoded ticks.
    std::expected<double, SclkError> encode(std::string_view text) const;
    // scdecd: encoded ticks to a clock string.
    std::expected<std::string, SclkError> decode(double ticks) const;
    // sct2e: encoded ticks (any fraction) to ET.
    std::expected<double, SclkError> ticks_to_et(double ticks) const;
    // sce2c: ET to encoded ticks with their fraction; sce2t rounds them.
    std::expected<double, SclkError> et_to_ticks(double et) const;
    static double round_ticks(double ticks) noexcept;

    // Non-failing kernels of the batches: NaN where the scalar call fails.
    double ticks_to_et_or_nan(double ticks) const noexcept;
    double et_to_ticks_or_nan(double et) const noexcept;

private:
    std::string name() const;
    double parallel_to_et(double par) const noexcept { return tt_ ? lsk_->tt_to_tdb(par) : par; }
    double et_to_parallel(double et) const noexcept { return tt_ ? lsk_->tdb_to_tt(et) : et; }
    double ticks_to_parallel(double ticks) const noexcept;
    // encode's usual case in one pass: "p/" and fields of plain digits
    // joined by '.', ':', '-' or ','; nothing for any other string (encode
    // then takes its general path, which also words the errors).
    std::optional<double> encode_plain(std::string_view text) const noexcept;

    std::int32_t id_ = 0;
    bool tt_ = false;
    const timescale::LeapSeconds* lsk_ = nullptr;
    std::size_t nfields_ = 0;
    double moduli_[kMaxFields] = {}, offsets_[kMaxFields] = {}, weights_[kMaxFields] = {};
    int widths_[kMaxFields] = {};
    char delim_ = '.';
    std::vector<double> pstart_, pend_, pbase_;  // pbase_: encoded ticks where partition p begins
    double total_ = 0;                          // encoded ticks at the end of the last partition
    std::vector<double> coef_ticks_, coef_par_, coef_rate_;
    double par_first_ = 0, par_last_ = 0;
};

}  // namespace kernwerk
