// Planned batches (SpkFile::state_rows) and the lanes of Types 2 and 3
// against the per-epoch path they replace: every row bit for bit, and the
// first failing epoch with its message, over layouts that exercise the plan's
// stretches (gaps, overlaps, reversed pairs, chains, ECLIPJ2000 segments,
// NaN bounds) and records that the lanes must leave to `evaluate`.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "daf_builder.hpp"
#include "sets/kernel_set.hpp"
#include "spk/spk.hpp"
#include "spk/lanes.hpp"

namespace kernwerk {
namespace {

using test::SegmentSpec;
using test::spk_segment;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Deterministic doubles in [0, 1).
struct Rng {
    std::uint64_t x;
    double next() {
        x += 0x9E3779B97F4A7C15u;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0;
    }
};

// A Chebyshev segment (Type 2 with `per` = 3 series per record, Type 3 with
// 6) of `records` records of `nc` coefficients over [start, end]; the
// record numbered `zero_radius` (if any) has RADIUS 0.
SegmentSpec cheb(std::int32_t type, std::int32_t target, std::int32_t center, double start, double end,
                 std::size_t records, std::size_t nc, std::uint64_t seed, std::int32_t frame = 1,
                 long zero_radius = -1) {
    Rng rng{seed};
    const std::size_t per = type == 2 ? 3 : 6;
    const double intlen = (end - start) / static_cast<double>(records);
    std::vector<double> d;
    for (std::size_t r = 0; r < records; ++r) {
        d.push_back(start + (static_cast<double>(r) + 0.5) * intlen);
        d.push_back(static_cast<long>(r) == zero_radius ? 0.0 : intlen / 2);
        for (std::size_t k = 0; k < per * nc; ++k) d.push_back((rng.next() - 0.5) * 1e5 / double(1 + k % nc));
    }
    d.insert(d.end(), {start, intlen, double(2 + per * nc), double(records)});
    SegmentSpec s = spk_segment(target, center, type, start, end, std::move(d), std::string("S").append(std::to_string(seed)));
    s.ints[2] = frame;
    return s;
}

SpkFile open_spk(std::vector<SegmentSpec> segs) {
    auto im = test::build_spk(std::move(segs));
    auto daf = DafFile::from_bytes(im.bytes);
    EXPECT_TRUE(daf.has_value());
    auto spk = SpkFile::from_daf(std::move(*daf));
    if (!spk) ADD_FAILURE() << spk.error().message();
    return std::move(*spk);
}

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

struct Layout {
    const char* what;
    std::vector<SegmentSpec> segments;
    std::vector<std::pair<std::int32_t, std::int32_t>> queries;
};

std::vector<Layout> layouts() {
    return {
        {"DE-like chain, several coefficient counts",
         {cheb(2, 3, 0, 0, 1000, 7, 13, 1), cheb(2, 399, 3, 0, 1000, 40, 13, 2), cheb(2, 301, 3, 0, 1000, 40, 2, 3),
          cheb(2, 10, 0, 0, 1000, 11, 5, 4), cheb(2, 4, 0, 0, 1000, 3, 1, 5)},
         {{301, 399}, {399, 301}, {399, 10}, {4, 0}, {0, 4}, {301, 0}, {3, 3}, {301, 4}}},
        {"Type 3 and ECLIPJ2000 links",
         {cheb(3, 3, 0, 0, 1000, 9, 7, 6), cheb(3, 399, 3, 0, 1000, 25, 6, 7, 17), cheb(2, 301, 3, 0, 1000, 30, 4, 8),
          cheb(3, 5, 0, 0, 1000, 4, 1, 9)},
         {{301, 399}, {399, 0}, {5, 399}, {399, 5}}},
        {"gaps, overlaps and a second covering segment at a chain step",
         {cheb(2, 3, 0, 0, 600, 6, 8, 10), cheb(2, 3, 0, 400, 1000, 6, 8, 11), cheb(2, 399, 3, 0, 1000, 20, 9, 12),
          cheb(2, 301, 3, 100, 900, 16, 9, 13), cheb(2, 301, 399, 450, 550, 2, 3, 14)},
         {{301, 399}, {399, 301}, {301, 0}, {399, 0}}},
        {"records the lanes leave to evaluate (RADIUS 0), NaN bounds, another frame",
         {cheb(2, 3, 0, 0, 1000, 8, 6, 15, 1, 5), cheb(2, 399, 3, kNaN, 1000, 10, 6, 16),
          cheb(2, 301, 3, 0, 1000, 10, 3, 17, 2), cheb(3, 7, 0, 0, 1000, 10, 4, 18, 1, 3)},
         {{399, 0}, {3, 0}, {7, 0}, {301, 0}, {7, 3}}},
    };
}

std::vector<double> epochs(std::uint64_t seed) {
    Rng rng{seed};
    std::vector<double> ets;
    for (double b : {0.0, 100.0, 125.0, 400.0, 450.0, 500.0, 550.0, 600.0, 625.0, 900.0, 1000.0})
        ets.insert(ets.end(), {b, std::nextafter(b, -kInf), std::nextafter(b, kInf)});
    for (int i = 0; i < 300; ++i) ets.push_back(rng.next() * 1000.0);
    for (int i = 0; i < 300; ++i) ets.push_back(300.0 + i);  // sorted, several epochs per record
    ets.insert(ets.end(), {kNaN, -1.0, 1001.0, -kInf, kInf});
    return ets;
}

TEST(spk_batch, planned_rows_are_the_per_epoch_states) {
    const std::vector<double> ets = epochs(99);
    for (const Layout& layout : layouts()) {
        SCOPED_TRACE(layout.what);
        const SpkFile f = open_spk(layout.segments);
        for (const auto& [target, center] : layout.queries)
            for (InertialFrame frame : {InertialFrame::J2000, InertialFrame::EclipJ2000}) {
                SCOPED_TRACE(std::to_string(target) + " wrt " + std::to_string(center));
                // Every epoch alone (so that a failure does not hide the rest),
                // then the whole list at once.
                std::vector<double> rows(6 * ets.size());
                std::optional<std::size_t> first_fail;
                std::string message;
                for (std::size_t i = 0; i < ets.size(); ++i) {
                    const auto want = f.state_in_frame(target, center, frame, ets[i]);
                    double row[6];
                    const auto got = f.state_rows(target, center, frame, &ets[i], 8, 1, row);
                    ASSERT_EQ(want.has_value(), !got.has_value()) << "et " << ets[i];
                    if (!want) {
                        EXPECT_EQ(got->error.message(), want.error().message());
                        if (!first_fail) first_fail = i, message = want.error().message();
                        continue;
                    }
                    for (int c = 0; c < 6; ++c) ASSERT_TRUE(same(row[c], (*want)[c])) << "et " << ets[i] << " c " << c;
                    for (int c = 0; c < 6; ++c) rows[6 * i + c] = row[c];
                }
                // The epochs that succeed, in one batch: every row.
                std::vector<double> ok_ets, ok_rows;
                for (std::size_t i = 0; i < ets.size(); ++i)
                    if (f.state_in_frame(target, center, frame, ets[i])) {
                        ok_ets.push_back(ets[i]);
                        ok_rows.insert(ok_rows.end(), rows.begin() + 6 * i, rows.begin() + 6 * i + 6);
                    }
                std::vector<double> all(6 * ets.size());
                ASSERT_FALSE(f.state_rows(target, center, frame, ok_ets.data(), 8, ok_ets.size(), all.data()));
                for (std::size_t k = 0; k < ok_rows.size(); ++k)
                    ASSERT_TRUE(same(all[k], ok_rows[k])) << "row " << k / 6 << " et " << ok_ets[k / 6];
                // All of them: the first failure, and the rows before it.
                const auto got = f.state_rows(target, center, frame, ets.data(), 8, ets.size(), all.data());
                ASSERT_EQ(got.has_value(), first_fail.has_value());
                const std::size_t upto = first_fail ? *first_fail : ets.size();
                if (got) {
                    EXPECT_EQ(got->index, *first_fail);
                    EXPECT_EQ(got->error.message(), message);
                }
                for (std::size_t k = 0; k < 6 * upto; ++k) ASSERT_TRUE(same(all[k], rows[k])) << "row " << k / 6;
            }
    }
}

TEST(spk_batch, lanes_and_the_set_evaluator_match_evaluate) {
    const std::vector<double> ets = epochs(7);
    const SpkFile f = open_spk({cheb(2, 1, 0, 0, 1000, 33, 2, 20), cheb(2, 2, 0, 0, 1000, 33, 17, 21),
                                cheb(3, 3, 0, 0, 1000, 17, 2, 22), cheb(3, 4, 0, 0, 1000, 17, 11, 23),
                                cheb(3, 5, 0, 0, 1000, 17, 12, 24, 1, 4), cheb(2, 6, 0, 0, 1000, 5, 1, 25, 1, 2),
                                cheb(2, 7, 0, 0, 1000, 9, 13, 26, 1, 3)});
    for (const SpkSegment& seg : f.segments()) {
        SCOPED_TRACE(seg.name);
        std::vector<double> rows(6 * ets.size());
        std::optional<SpkError> error;
        const std::size_t done = evaluate_rows(seg, ets.data(), ets.size(), rows.data(), error);
        for (std::size_t i = 0; i < ets.size(); ++i) {
            const auto want = SpkFile::eval_segment(seg, ets[i]);
            if (!want) {
                ASSERT_EQ(done, i) << "et " << ets[i];
                EXPECT_EQ(error->message(), want.error().message());
                break;
            }
            ASSERT_LT(i, done);
            for (int c = 0; c < 6; ++c) ASSERT_TRUE(same(rows[6 * i + c], (*want)[c])) << "et " << ets[i] << " c " << c;
        }
        // The velocity-only lanes: the same velocities and the same failure.
        const auto* t2 = std::get_if<SpkType2>(&seg.payload);
        if (!t2) continue;
        std::optional<SpkError> verror;
        const std::size_t vdone = LaneRowEvaluator<SpkType2, lanes::type2_velocity_rows>::run(
            *t2, ets.data(), ets.size(), rows.data(), verror);
        ASSERT_EQ(vdone, done);
        for (std::size_t i = 0; i < done; ++i)
            for (int c = 3; c < 6; ++c) {
                const auto want = SpkFile::eval_segment(seg, ets[i]);
                ASSERT_TRUE(same(rows[6 * i + c], (*want)[c])) << "velocity, et " << ets[i] << " c " << c;
            }
    }
    const std::string v = lanes::variant();
    EXPECT_TRUE(v == "avx2" || v == "sse2" || v == "portable") << v;
}

TEST(spk_batch, single_calls_never_take_another_files_plan) {
    // Single chain calls keep their plan per thread; files that replace one
    // another at the same address, and files queried in turn, must each
    // answer from their own segments.
    // The segments in an order of the seed's own, so that a plan taken from
    // another file would name other segments at the same positions.
    const auto make = [](std::uint64_t seed) {
        std::vector<SegmentSpec> segs = {cheb(2, 3, 0, 0, 1000, 4, 5, seed), cheb(2, 399, 3, 0, 1000, 9, 5, seed + 1),
                                         cheb(2, 301, 3, 0, 1000, 9, 5, seed + 2)};
        std::rotate(segs.begin(), segs.begin() + static_cast<std::ptrdiff_t>(seed / 100 % 3), segs.end());
        return open_spk(std::move(segs));
    };
    std::optional<SpkFile> slot;
    const SpkFile other = make(500);
    for (std::uint64_t seed : {100u, 200u, 300u}) {
        slot.reset();
        slot.emplace(make(seed));
        const SpkFile fresh = make(seed);  // the same data, never queried before
        for (double et : {10.0, 20.0, 500.0, 990.0}) {
            for (const SpkFile* f : std::initializer_list<const SpkFile*>{&*slot, &other}) {
                const auto got = f->state(301, 399, et);
                double want[6];
                ASSERT_FALSE((f == &other ? other : fresh).state_rows(301, 399, InertialFrame::J2000, &et, 8, 1, want));
                ASSERT_TRUE(got);
                for (int c = 0; c < 6; ++c) ASSERT_TRUE(same((*got)[c], want[c])) << seed << " " << et;
            }
        }
    }
}

}  // namespace
}  // namespace kernwerk
