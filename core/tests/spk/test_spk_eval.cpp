// Segment evaluation (Types 2, 3, 9, 13) and state resolution on small SPK
// images built word by word.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "daf_builder.hpp"
#include "math/rotation.hpp"
#include "spk/spk.hpp"

namespace kernwerk {
namespace {

using test::SegmentSpec;
using test::spk_segment;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Records (MID, RADIUS, coefficients...) followed by INIT, INTLEN, RSIZE, N.
std::vector<double> cheb_data(double init, double intlen, const std::vector<std::vector<double>>& records,
                              double n_override = -1) {
    std::vector<double> d;
    for (const auto& r : records) d.insert(d.end(), r.begin(), r.end());
    d.push_back(init);
    d.push_back(intlen);
    d.push_back(static_cast<double>(records.at(0).size()));
    d.push_back(n_override >= 0 ? n_override : static_cast<double>(records.size()));
    return d;
}

// N states, N epochs, one directory epoch per 100 states, size value, N.
std::vector<double> discrete_data(const std::vector<double>& epochs, const std::vector<State>& states,
                                  double size_value) {
    std::vector<double> d;
    for (const State& s : states) d.insert(d.end(), s.begin(), s.end());
    d.insert(d.end(), epochs.begin(), epochs.end());
    for (std::size_t k = 100; k < epochs.size(); k += 100) d.push_back(epochs[k - 1]);
    d.push_back(size_value);
    d.push_back(static_cast<double>(epochs.size()));
    return d;
}

// An SPK image with as many summary records as the segments need (25
// summaries of 5 words per record), each followed by its name record, and
// the data after the last of them.
test::DafImage build_spk_chained(std::vector<SegmentSpec> segs) {
    constexpr std::size_t per_record = 25;
    const std::uint32_t nrec = static_cast<std::uint32_t>(std::max<std::size_t>(1, (segs.size() + 24) / per_record));
    auto im = test::DafImage::with_header(2, 6, 2, 2 * nrec, 1 + 2 * nrec);
    std::uint32_t addr = (1 + 2 * nrec) * 128 + 1;
    for (std::uint32_t r = 0; r < nrec; ++r) {
        const std::uint32_t rec = 2 + 2 * r;
        const std::size_t off = test::DafImage::record_offset(rec);
        const std::size_t lo = r * per_record, hi = std::min(segs.size(), lo + per_record);
        im.put_f64(off + 0, r + 1 < nrec ? double(rec + 2) : 0.0);  // NEXT
        im.put_f64(off + 8, r > 0 ? double(rec - 2) : 0.0);         // PREV
        im.put_f64(off + 16, double(hi - lo));                      // NSUM
        for (std::size_t i = lo; i < hi; ++i) {
            SegmentSpec& s = segs[i];
            const std::size_t so = off + 24 + (i - lo) * 40;
            im.put_f64(so, s.doubles[0]);
            im.put_f64(so + 8, s.doubles[1]);
            s.ints[4] = static_cast<std::int32_t>(addr);
            s.ints[5] = static_cast<std::int32_t>(addr + s.data.size() - 1);
            for (std::size_t k = 0; k < 6; ++k) im.put_i32(so + 16 + 4 * k, s.ints[k]);
            std::string name = s.name;
            name.resize(40, ' ');
            im.put_bytes(test::DafImage::record_offset(rec + 1) + (i - lo) * 40, name);
            for (double d : s.data) im.put_word(addr++, d);
        }
    }
    return im;
}

SpkFile open_spk(std::vector<SegmentSpec> segs) {
    auto im = segs.size() <= 25 ? test::build_spk(std::move(segs)) : build_spk_chained(std::move(segs));
    auto daf = DafFile::from_bytes(im.bytes);
    EXPECT_TRUE(daf.has_value());
    auto spk = SpkFile::from_daf(std::move(*daf));
    if (!spk) ADD_FAILURE() << spk.error().message();
    return std::move(*spk);
}

// The one segment of a single-segment file, evaluated at `et`.
std::expected<State, SpkError> eval_one(std::int32_t type, std::vector<double> data, double et) {
    SpkFile f = open_spk({spk_segment(1, 0, type, -1e9, 1e9, std::move(data))});
    return SpkFile::eval_segment(f.segments().at(0), et);
}

State expect_state(const std::expected<State, SpkError>& r) {
    if (!r) {
        ADD_FAILURE() << r.error().message();
        return State{};
    }
    return *r;
}

void expect_bits(const State& got, const State& want) {
    for (std::size_t k = 0; k < 6; ++k) {
        if (std::isnan(want[k]))
            EXPECT_TRUE(std::isnan(got[k])) << "component " << k;
        else
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(want[k]))
                << "component " << k << ": " << got[k] << " vs " << want[k];
    }
}

void expect_error(const std::expected<State, SpkError>& r, const std::string& msg) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), msg);
}

// ---------------------------------------------------------------------------
// Chebyshev record selection

// Three records of [0, 10), [10, 20), [20, 30) whose constant terms name the
// record: position (k, 10k, 100k).
std::vector<double> three_constant_records() {
    std::vector<std::vector<double>> recs;
    for (int k = 0; k < 3; ++k) recs.push_back({10.0 * k + 5, 5.0, double(k), 10.0 * k, 100.0 * k});
    return cheb_data(0.0, 10.0, recs);
}

struct RecordCase {
    double et;
    int record;
};

class Type2RecordSelection : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Type2RecordSelection, picks_record) {
    const auto c = GetParam();
    State s = expect_state(eval_one(2, three_constant_records(), c.et));
    expect_bits(s, State{double(c.record), 10.0 * c.record, 100.0 * c.record, 0.0, 0.0, 0.0});
}

INSTANTIATE_TEST_SUITE_P(
    edges, Type2RecordSelection,
    ::testing::Values(RecordCase{-5.0, 0},     // before INIT: first record, extrapolated
                      RecordCase{0.0, 0},      // at INIT
                      RecordCase{9.999999, 0}, RecordCase{10.0, 1},  // exact boundary selects the later record
                      RecordCase{20.0, 2}, RecordCase{29.5, 2},
                      RecordCase{30.0, 2},     // INIT + N*INTLEN: clamped to the last record
                      RecordCase{1e300, 2}, RecordCase{-1e300, 0},
                      RecordCase{kInf, 2},     // saturates to the largest index, clamped
                      RecordCase{-kInf, 0}, RecordCase{kNaN, 0}));

TEST(spk_type2, records_beyond_the_segment_are_refused_at_open) {
    // The trailer claims 1000 records of 5 doubles; only one is stored. Such
    // a segment used to open and answer from whatever followed it; its
    // length (9 words) now has to be N x RSIZE + 4.
    auto data = cheb_data(0.0, 10.0, {{5.0, 5.0, 1.0, 2.0, 3.0}}, 1000);
    auto daf = DafFile::from_bytes(test::build_spk({spk_segment(1, 0, 2, 0, 1e4, data)}).bytes);
    ASSERT_TRUE(daf.has_value());
    auto spk = SpkFile::from_daf(std::move(*daf));
    ASSERT_FALSE(spk.has_value());
    EXPECT_EQ(spk.error().message(), "malformed Type 2 segment: segment holds 9 words, but N x RSIZE + 4 = 1000 x 5 + 4");
}

// ---------------------------------------------------------------------------
// Type 2 series

TEST(spk_type2, one_coefficient_gives_constant_position_and_zero_velocity) {
    auto data = cheb_data(0.0, 10.0, {{5.0, 5.0, 1.5, -2.5, 3.25}});
    for (double et : {0.0, 2.0, 7.5, 100.0}) expect_bits(expect_state(eval_one(2, data, et)), {1.5, -2.5, 3.25, 0, 0, 0});
}

TEST(spk_type2, two_coefficients_scale_velocity_by_the_reciprocal_radius) {
    // RADIUS 3: c1 * (1/3) and c1 / 3 differ in the last bit for 5, 7, 10.
    ASSERT_NE(5.0 * (1.0 / 3.0), 5.0 / 3.0);
    auto data = cheb_data(0.0, 6.0, {{3.0, 3.0, 1.0, 5.0, 2.0, 7.0, -4.0, 10.0}});
    const double et = 4.0, s = (et - 3.0) / 3.0, r = 1.0 / 3.0;
    expect_bits(expect_state(eval_one(2, data, et)),
                {1.0 + s * 5.0, 2.0 + s * 7.0, -4.0 + s * 10.0, 5.0 * r, 7.0 * r, 10.0 * r});
}

TEST(spk_type2, three_coefficients_follow_the_forward_recurrence) {
    const double c[3][3] = {{1.25, -0.5, 0.75}, {3.0, 2.0, -1.0}, {-7.0, 0.1, 0.3}};
    std::vector<double> rec{100.0, 16.0};
    for (auto& axis : c) rec.insert(rec.end(), axis, axis + 3);
    auto data = cheb_data(84.0, 32.0, {rec});
    const double et = 105.3, s = (et - 100.0) / 16.0;
    const double t2 = (s + s) * s - 1.0, dt2 = (s + s) * 1.0 + 2.0 * s - 0.0, r = 1.0 / 16.0;
    State want;
    for (int a = 0; a < 3; ++a) {
        want[a] = (c[a][0] + s * c[a][1]) + c[a][2] * t2;
        want[a + 3] = (c[a][1] + c[a][2] * dt2) * r;
    }
    expect_bits(expect_state(eval_one(2, data, et)), want);
    // The same numbers as the closed forms, within rounding.
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(want[a], c[a][0] + s * c[a][1] + (2 * s * s - 1) * c[a][2], 1e-14);
        EXPECT_NEAR(want[a + 3], (c[a][1] + 4 * s * c[a][2]) / 16.0, 1e-15);
    }
}

TEST(spk_type2, at_mid_the_series_alternate) {
    // s = 0: position c0 - c2 + c4, velocity (c1 - 3c3 + 5c5) / RADIUS.
    std::vector<double> rec{50.0, 2.0};
    for (int a = 0; a < 3; ++a)
        for (int k = 0; k < 6; ++k) rec.push_back(double(k + 1 + 10 * a));
    auto data = cheb_data(48.0, 4.0, {rec});
    State want;
    for (int a = 0; a < 3; ++a) {
        const double b = 10.0 * a;
        want[a] = (b + 1) - (b + 3) + (b + 5);
        want[a + 3] = ((b + 2) - 3 * (b + 4) + 5 * (b + 6)) / 2.0;
    }
    expect_bits(expect_state(eval_one(2, data, 50.0)), want);
}

class Type2ZeroRadius : public ::testing::TestWithParam<double> {};

TEST_P(Type2ZeroRadius, is_refused) {
    auto data = cheb_data(0.0, 10.0, {{5.0, GetParam(), 1.0, 2.0, 3.0, 4.0, 5.0, 6.0}});
    expect_error(eval_one(2, data, 5.0), "malformed Type 2 segment: RADIUS == 0");
}

INSTANTIATE_TEST_SUITE_P(signs, Type2ZeroRadius, ::testing::Values(0.0, -0.0));

TEST(spk_type2, nan_radius_passes_and_nan_epoch_gives_nan) {
    auto data = cheb_data(0.0, 10.0, {{5.0, kNaN, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0}});
    expect_bits(expect_state(eval_one(2, data, 5.0)), {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
    // Three coefficients, so that the derivative depends on s too.
    auto ok = cheb_data(0.0, 10.0, {{5.0, 5.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0}});
    expect_bits(expect_state(eval_one(2, ok, kNaN)), {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
}

// ---------------------------------------------------------------------------
// Type 3 and the value-only series

// Plain forward recurrence, one term at a time.
double series(const std::vector<double>& c, double s) {
    if (c.empty()) return 0.0;
    if (c.size() == 1) return c[0];
    double v = c[1] * s + c[0], t0 = 1.0, t1 = s;
    for (std::size_t k = 2; k < c.size(); ++k) {
        const double t2 = (s + s) * t1 - t0;
        v = v + c[k] * t2;
        t0 = t1;
        t1 = t2;
    }
    return v;
}

class Cheby3ValOnly : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Cheby3ValOnly, adds_terms_in_increasing_order) {
    const std::size_t n = GetParam();
    std::vector<double> x, y, z;
    for (std::size_t k = 0; k < n; ++k) {
        x.push_back(1.0 / (k + 1.0));
        y.push_back(-3.7 * k + 0.1);
        z.push_back(std::sin(double(k) + 0.5) * 1e5);
    }
    for (double s : {-1.0, -0.37, 0.0, 0.61, 1.0, 3.5}) {
        auto v = cheby3_val_only(x.data(), y.data(), z.data(), n, s);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(v[0]), std::bit_cast<std::uint64_t>(series(x, s))) << n << " " << s;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(v[1]), std::bit_cast<std::uint64_t>(series(y, s))) << n << " " << s;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(v[2]), std::bit_cast<std::uint64_t>(series(z, s))) << n << " " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(lengths, Cheby3ValOnly, ::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, 12, 13));

TEST(spk_type3, one_coefficient_per_component) {
    auto data = cheb_data(0.0, 10.0, {{5.0, 5.0, 1.0, 2.0, 3.0, 0.25, 0.5, 0.75}});
    expect_bits(expect_state(eval_one(3, data, 9.0)), {1.0, 2.0, 3.0, 0.25, 0.5, 0.75});
}

TEST(spk_type3, zero_radius_is_refused_like_type2) {
    auto data = cheb_data(0.0, 10.0, {{5.0, 0.0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}});
    expect_error(eval_one(3, data, 5.0), "malformed Type 2 segment: RADIUS == 0");
}

// ---------------------------------------------------------------------------
// Discrete-state window selection

// Which of N = 10 states (epochs 0, 10, ..., 90) take part in the window: a
// file whose only nonzero stored value is state k's x (and vx) gives a
// nonzero x at an epoch off the nodes exactly when k is in the window.
struct WindowCase {
    int type;
    double size_value;  // degree (Type 9) or window size - 1 (Type 13)
    double et;
    int first, last;
};

class WindowSelection : public ::testing::TestWithParam<WindowCase> {};

TEST_P(WindowSelection, uses_states) {
    const auto c = GetParam();
    std::vector<double> epochs;
    for (int j = 0; j < 10; ++j) epochs.push_back(10.0 * j);
    for (int k = 0; k < 10; ++k) {
        std::vector<State> states(10, State{});
        states[k] = State{1.0, 0, 0, 1.0, 0, 0};
        State s = expect_state(eval_one(c.type, discrete_data(epochs, states, c.size_value), c.et));
        const bool used = s[0] != 0.0 || s[3] != 0.0;
        EXPECT_EQ(used, k >= c.first && k <= c.last) << "state " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, WindowSelection,
    ::testing::Values(WindowCase{9, 3, 55.0, 4, 7},    // t = 4, anchor 5: one more after than before
                      WindowCase{9, 3, -5.0, 0, 3},    // before the first epoch
                      WindowCase{9, 3, 95.0, 6, 9},    // after the last epoch
                      WindowCase{9, 2, 55.0, 4, 6},    // t = 3: anchor centred
                      WindowCase{9, 4, 15.0, 0, 4},    // pushed inside at the start
                      WindowCase{9, 1, 95.0, 8, 9}, WindowCase{9, 0, 55.0, 5, 5},
                      WindowCase{9, 20, 55.0, 0, 9},   // degree beyond N - 1: all N states
                      WindowCase{13, 3, 55.0, 4, 7}, WindowCase{13, 3, -5.0, 0, 3}, WindowCase{13, 3, 95.0, 6, 9},
                      WindowCase{13, 2, 55.0, 4, 6}, WindowCase{13, 1, 55.0, 5, 6},
                      WindowCase{13, 27, 42.0, 0, 9}));  // window 28 beyond N: all N states

TEST(spk_discrete, nan_epoch_uses_the_first_window_and_gives_nan) {
    std::vector<double> epochs{0, 10, 20, 30, 40};
    std::vector<State> states(5, State{1, 2, 3, 4, 5, 6});
    for (int type : {9, 13})
        expect_bits(expect_state(eval_one(type, discrete_data(epochs, states, 3), kNaN)),
                    {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
}

TEST(spk_discrete, window_size_zero_is_refused) {
    // A degree that saturates wraps to a window of 0 on increment (the
    // catalogue refuses such a degree; the evaluator does not rely on it).
    std::vector<double> epochs{0, 10};
    std::vector<State> states(2, State{1, 2, 3, 4, 5, 6});
    SpkFile g = open_spk({spk_segment(1, 0, 9, 0, 10, discrete_data(epochs, states, 1))});
    SpkType9 q = std::get<SpkType9>(g.segments()[0].payload);
    q.meta.size = std::numeric_limits<std::uint64_t>::max();
    expect_error(q.evaluate(5.0), "malformed Type 2 segment: window size 0");
    SpkFile f = open_spk({spk_segment(1, 0, 13, 0, 10, discrete_data(epochs, states, 1))});
    SpkType13 p = std::get<SpkType13>(f.segments()[0].payload);
    p.window = 0;
    expect_error(p.evaluate(5.0), "malformed Type 2 segment: window size 0");
}

TEST(spk_discrete, views_outside_the_file_report_the_address_range) {
    std::vector<double> epochs{0, 10};
    std::vector<State> states(2, State{1, 2, 3, 4, 5, 6});
    SpkFile f = open_spk({spk_segment(1, 0, 9, 0, 10, discrete_data(epochs, states, 1))});
    SpkType9 p = std::get<SpkType9>(f.segments()[0].payload);
    p.meta.epoch_addr = 1000;  // the image has 384 + 16 doubles, padded to 512
    expect_error(p.evaluate(5.0), "address range [1000,1001] out of file (file has 512 doubles; the file looks truncated)");
}

TEST(spk_discrete, equal_epochs_in_the_window_are_refused) {
    std::vector<double> epochs{0, 10, 10, 20};
    std::vector<State> states{{1, 1, 1, 1, 1, 1}, {2, 2, 2, 2, 2, 2}, {3, 3, 3, 3, 3, 3}, {4, 4, 4, 4, 4, 4}};
    const std::string msg = "malformed Type 2 segment: equal epochs in window";
    expect_error(eval_one(9, discrete_data(epochs, states, 3), 5.0), msg);
    expect_error(eval_one(13, discrete_data(epochs, states, 3), 5.0), msg);
    // Type 9 at a stored epoch needs no division: the stored state.
    expect_bits(expect_state(eval_one(9, discrete_data(epochs, states, 3), 20.0)), states[3]);
    // A window that avoids the repeated epoch evaluates normally.
    std::vector<double> e5{0, 10, 10, 20, 30};
    std::vector<State> s5(5, State{1, 1, 1, 1, 1, 1});
    EXPECT_TRUE(eval_one(9, discrete_data(e5, s5, 1), 25.0).has_value());
}

// ---------------------------------------------------------------------------
// Type 9 (Lagrange)

TEST(spk_type9, single_state_is_returned_everywhere) {
    const State st{1.5, -2.25, 3e8, 0.001, -7.0, 12.0};
    for (double et : {-100.0, 0.0, 3.0, 1e6}) {
        State s = expect_state(eval_one(9, discrete_data({3.0}, {st}, 5), et));
        for (int k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(s[k], st[k]) << et;
    }
}

TEST(spk_type9, degree_one_interpolates_linearly) {
    const State a{2, 4, 6, -8, 10, 0}, b{4, 0, 6, 8, 20, 1};
    // x0 = 0, x1 = 2, et = 1: B = (-1/2, 1/2), q = (-1/2, -1/2): the midpoint exactly.
    expect_bits(expect_state(eval_one(9, discrete_data({0.0, 2.0}, {a, b}, 1), 1.0)), {3, 2, 6, -0.0, 15, 0.5});
    State s = expect_state(eval_one(9, discrete_data({10.0, 30.0}, {a, b}, 1), 15.0));
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(s[k], a[k] + 0.25 * (b[k] - a[k]), 1e-14);
}

TEST(spk_type9, barycentric_sums_in_increasing_order) {
    std::vector<double> x{0.0, 1.0, 3.0, 7.0};
    std::vector<State> states;
    for (int j = 0; j < 4; ++j) states.push_back({std::cos(j), std::sin(j), j * j * 0.3, 1.0 / (j + 3), -double(j), 2.5});
    const double et = 2.2;
    double q[4];
    for (int j = 0; j < 4; ++j) {
        double p = 1.0;
        for (int m = 0; m < 4; ++m)
            if (m != j) p = p * (x[j] - x[m]);
        q[j] = (1.0 / p) / (et - x[j]);
    }
    State want;
    for (int c = 0; c < 6; ++c) {
        double num = 0.0, den = 0.0;
        for (int j = 0; j < 4; ++j) {
            num = num + q[j] * states[j][c];
            den = den + q[j];
        }
        want[c] = num / den;
    }
    expect_bits(expect_state(eval_one(9, discrete_data(x, states, 3), et)), want);
}

// ---------------------------------------------------------------------------
// Type 13 (Hermite)

TEST(spk_type13, single_state_moves_linearly) {
    const State st{1.0, -2.0, 4.0, 0.5, 0.25, -1.0};
    for (double et : {-6.0, 10.0, 13.0}) {
        const double d = et - 10.0;
        expect_bits(expect_state(eval_one(13, discrete_data({10.0}, {st}, 5), et)),
                    {1.0 + 0.5 * d, -2.0 + 0.25 * d, 4.0 + -1.0 * d, 0.5, 0.25, -1.0});
    }
}

// A window of one state (size value 0, what spkw13 writes for degree 1):
// kernel sets read it as the toolkit does, the nearest state moved along its
// velocity; NaifSpk's documented rule refuses it at open.
TEST(spk_type13, window_of_one_state_in_kernel_sets) {
    const std::vector<double> x{0.0, 10.0, 30.0};
    const std::vector<State> st{{1, 2, 3, 0.5, 0, -1}, {4, 5, 6, 1, 2, 0.25}, {7, 8, 9, -1, 0, 0}};
    auto im = test::build_spk({spk_segment(1, 0, 13, 0, 30, discrete_data(x, st, 0))});
    auto daf = DafFile::from_bytes(im.bytes);
    ASSERT_TRUE(daf.has_value());
    EXPECT_FALSE(SpkFile::from_daf(*daf).has_value());
    auto spk = SpkFile::from_daf(*daf, SpkReading{SpkTypes::All, OddWindowCentre::Nearest});
    ASSERT_TRUE(spk.has_value()) << spk.error().message();
    const struct {
        double et;
        std::size_t j;
    } cases[] = {{4.0, 0}, {5.0, 1}, {19.0, 1}, {25.0, 2}, {40.0, 2}, {-3.0, 0}};
    for (const auto& c : cases) {
        const State& s = st[c.j];
        const double d = c.et - x[c.j];
        expect_bits(expect_state(SpkFile::eval_segment(spk->segments().at(0), c.et)),
                    {s[0] + d * s[3], s[1] + d * s[4], s[2] + d * s[5], s[3], s[4], s[5]});
    }
}

// The Hermite interpolant written out from its definition: doubled nodes, a
// full table of divided differences (order k from order k - 1), then the
// Newton form and its derivative.
State hermite_reference(const std::vector<double>& x, const std::vector<State>& st, double et) {
    const std::size_t nn = 2 * x.size();
    std::vector<double> z(nn);
    for (std::size_t l = 0; l < nn; ++l) z[l] = x[l / 2];
    State out;
    for (std::size_t a = 0; a < 3; ++a) {
        std::vector<std::vector<double>> d(nn);
        for (std::size_t l = 0; l < nn; ++l) d[0].push_back(st[l / 2][a]);
        for (std::size_t l = 0; l + 1 < nn; ++l)
            d[1].push_back(l % 2 == 0 ? st[l / 2][a + 3] : (d[0][l + 1] - d[0][l]) / (z[l + 1] - z[l]));
        for (std::size_t k = 2; k < nn; ++k)
            for (std::size_t l = 0; l + k < nn; ++l) d[k].push_back((d[k - 1][l + 1] - d[k - 1][l]) / (z[l + k] - z[l]));
        double value = d[0][0], deriv = 0.0, prod = 1.0, dprod = 0.0;
        for (std::size_t m = 1; m < nn; ++m) {
            const double dd = et - z[m - 1];
            dprod = dprod * dd + prod;
            prod = prod * dd;
            value = value + d[m][0] * prod;
            deriv = deriv + d[m][0] * dprod;
        }
        out[a] = value;
        out[a + 3] = deriv;
    }
    return out;
}

TEST(spk_type13, hermite_arithmetic_matches_the_divided_difference_table) {
    const std::vector<double> x{-3.0, 0.5, 2.0, 7.25, 8.0, 13.5};
    std::vector<State> st;
    for (std::size_t j = 0; j < x.size(); ++j)
        st.push_back({std::cos(x[j]) * 1e4, std::sin(x[j]) * 3e3, x[j] * x[j] - 1.0, -std::sin(x[j]) * 1e4,
                      std::cos(x[j]) * 3e3, 2.0 * x[j]});
    // Window of 4 (size value 3): for et = 3.1 the anchor is 2 and the window
    // states 1 .. 4; outside the list it is pushed to either end.
    const auto data = discrete_data(x, st, 3);
    const struct {
        double et;
        std::size_t first;
    } cases[] = {{3.1, 1}, {0.5, 0}, {-10.0, 0}, {7.9, 2}, {20.0, 2}};
    for (const auto& c : cases) {
        const std::vector<double> wx(x.begin() + c.first, x.begin() + c.first + 4);
        const std::vector<State> ws(st.begin() + c.first, st.begin() + c.first + 4);
        expect_bits(expect_state(eval_one(13, data, c.et)), hermite_reference(wx, ws, c.et));
    }
    // At a stored epoch: the stored position and velocity, up to rounding.
    const State at = expect_state(eval_one(13, data, 7.25));
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(at[k], st[3][k], 1e-9 * (1.0 + std::abs(st[3][k]))) << k;
}

// ---------------------------------------------------------------------------
// State resolution

// A one-record Type 2 segment (n_c = 3) with a distinct state per `tag`.
SegmentSpec seg2(std::int32_t target, std::int32_t center, double start, double end, double tag) {
    const double mid = (start + end) / 2, radius = (end - start) / 2 + 1;
    auto data = cheb_data(start, end - start + 2,
                          {{mid, radius, tag, 0.5 * tag + 1, 0.125, -tag, 3.0, -0.5, tag * tag, 0.25, 1.0 / tag}});
    return spk_segment(target, center, 2, start, end, data, std::string("T").append(std::to_string(int(tag))));
}

SegmentSpec unsupported(std::int32_t target, std::int32_t center, double start, double end) {
    return spk_segment(target, center, 5, start, end, {0.0, 0.0, 0.0, 0.0});
}

State seg_state(const SpkFile& f, std::size_t pos, double et) {
    return expect_state(SpkFile::eval_segment(f.segments().at(pos), et));
}

State sum(State a, const State& b) {
    for (int k = 0; k < 6; ++k) a[k] = a[k] + b[k];
    return a;
}

State neg(const State& a) { return State{-a[0], -a[1], -a[2], -a[3], -a[4], -a[5]}; }

State diff(State a, const State& b) {
    for (int k = 0; k < 6; ++k) a[k] = a[k] - b[k];
    return a;
}

TEST(spk_state, pairs_chosen_to_collide_spread_over_the_index) {
    // 2000 pairs whose 64-bit values are multiples of the index's bucket
    // count would share one bucket under an unkeyed identity hash, making
    // every insertion and lookup walk all of them.
    constexpr int kPairs = 2000;
    std::vector<SegmentSpec> plain;
    for (int i = 0; i < kPairs; ++i) plain.push_back(spk_segment(i + 1, 0, 5, 0, 1, {0.0}));
    const std::uint64_t buckets = open_spk(plain).index().bucket_count();
    std::vector<SegmentSpec> crafted;
    for (std::uint64_t i = 1; i <= kPairs; ++i) {
        const std::uint64_t v = i * buckets;
        crafted.push_back(spk_segment(static_cast<std::int32_t>(v >> 32), static_cast<std::int32_t>(v & 0xFFFFFFFFu), 5,
                                      0, 1, {0.0}));
    }
    SpkFile f = open_spk(crafted);
    ASSERT_EQ(f.index().size(), std::size_t{kPairs});
    ASSERT_EQ(f.index().bucket_count(), buckets);
    std::size_t fullest = 0;
    for (std::size_t b = 0; b < f.index().bucket_count(); ++b) fullest = std::max(fullest, f.index().bucket_size(b));
    EXPECT_LE(fullest, 12u);
    expect_error(f.state(crafted[7].ints[0], crafted[7].ints[1], 0.5), "unsupported SPK data type 5");
}

TEST(spk_state, same_target_and_center_is_zero_without_lookup) {
    SpkFile empty = open_spk({});
    for (double et : {0.0, kNaN, 1e300}) expect_bits(expect_state(empty.state(399, 399, et)), State{});
    EXPECT_EQ(empty.hint(), SpkFile::kNoHint);
}

TEST(spk_state, direct_reversed_and_missing_chain) {
    SpkFile f = open_spk({seg2(301, 399, 0, 100, 2)});
    const State s = seg_state(f, 0, 40.0);
    expect_bits(expect_state(f.state(301, 399, 40.0)), s);
    expect_bits(expect_state(f.state(399, 301, 40.0)), neg(s));
    // The chain of 301 reaches 399, whose step finds nothing.
    expect_error(f.state(301, 0, 40.0), "no segment covers target 399 wrt center 0 at et 40");
    expect_error(f.state(0, 301, 40.0), "no segment covers target 399 wrt center 0 at et 40");
    expect_error(f.state(301, 399, 100.5), "no segment covers target 301 wrt center 0 at et 100.5");
    expect_error(f.state(5, 6, -0.0000001), "no segment covers target 5 wrt center 0 at et -0.0000001");
    expect_error(f.state(-5, 6, 1e22), "no segment covers target -5 wrt center 0 at et 10000000000000000000000");
}

TEST(spk_state, chain_through_a_common_body_sums_in_chain_order) {
    SpkFile f = open_spk({seg2(3, 0, 0, 100, 1), seg2(399, 3, 0, 100, 2), seg2(301, 3, 0, 100, 3)});
    const double et = 33.3;
    const State s3 = seg_state(f, 0, et), s399 = seg_state(f, 1, et), s301 = seg_state(f, 2, et);
    const State want = diff(sum(sum(State{}, s399), s3), sum(sum(State{}, s301), s3));
    expect_bits(expect_state(f.state(399, 301, et)), want);
    expect_bits(expect_state(f.state_wrt_ssb(399, et)), sum(s399, s3));
    expect_bits(expect_state(f.state(399, 0, et)), sum(s399, s3));
    expect_bits(expect_state(f.state(0, 399, et)), diff(State{}, sum(s399, s3)));
    // The barycenter through the chain: the step of 3 goes straight to 0.
    expect_bits(expect_state(f.state(3, 0, et)), s3);
}

TEST(spk_state, overlapping_segments_answer_in_file_order_and_never_set_the_hint) {
    SpkFile f = open_spk({seg2(1, 0, 0, 10, 1), seg2(1, 0, 5, 20, 2)});
    expect_bits(expect_state(f.state(1, 0, 7.0)), seg_state(f, 0, 7.0));
    expect_bits(expect_state(f.state(1, 0, 15.0)), seg_state(f, 1, 15.0));
    EXPECT_EQ(f.hint(), SpkFile::kNoHint);
}

TEST(spk_state, hint_is_set_by_direct_lookups_and_never_changes_a_result) {
    SpkFile f = open_spk({seg2(1, 0, 0, 10, 1), seg2(1, 0, 10.5, 20, 2), seg2(2, 0, 0, 20, 3)});
    ASSERT_TRUE(f.flags()[0] && f.flags()[1]);
    expect_bits(expect_state(f.state(1, 0, 10.0)), seg_state(f, 0, 10.0));  // end epoch included
    EXPECT_EQ(f.hint(), 0u);
    expect_bits(expect_state(f.state(1, 0, 3.0)), seg_state(f, 0, 3.0));
    expect_bits(expect_state(f.state(1, 0, 12.0)), seg_state(f, 1, 12.0));  // hint misses on coverage
    EXPECT_EQ(f.hint(), 1u);
    expect_bits(expect_state(f.state(2, 0, 12.0)), seg_state(f, 2, 12.0));  // hint misses on the pair
    EXPECT_EQ(f.hint(), 2u);
    // The reversed path leaves the hint alone.
    expect_bits(expect_state(f.state(0, 1, 4.0)), neg(seg_state(f, 0, 4.0)));
    EXPECT_EQ(f.hint(), 2u);
    // A gap between segments of the pair goes to the chain, which finds nothing.
    expect_error(f.state(1, 0, 10.25), "no segment covers target 1 wrt center 0 at et 10.25");
}

TEST(spk_state, direct_unsupported_segment_fails_even_if_a_later_one_covers) {
    SpkFile f = open_spk({unsupported(1, 0, 0, 10), seg2(1, 0, 0, 10, 1)});
    expect_error(f.state(1, 0, 5.0), "unsupported SPK data type 5");
    expect_error(f.state(0, 1, 5.0), "unsupported SPK data type 5");
    expect_error(f.state_in_frame(1, 0, InertialFrame::EclipJ2000, 5.0), "unsupported SPK data type 5");
    // The flags are false (overlap), so the hint was not set before the failure.
    EXPECT_EQ(f.hint(), SpkFile::kNoHint);
}

TEST(spk_state, failed_direct_evaluation_may_leave_the_hint_set) {
    SpkFile f = open_spk({unsupported(1, 0, 0, 10)});
    expect_error(f.state(1, 0, 5.0), "unsupported SPK data type 5");
    EXPECT_EQ(f.hint(), 0u);
    expect_error(f.state(1, 0, 6.0), "unsupported SPK data type 5");  // through the hint
}

TEST(spk_state, chain_step_prefers_the_barycenter_and_evaluates_earlier_candidates) {
    SpkFile f = open_spk({seg2(3, 0, 0, 100, 1), seg2(10, 3, 0, 100, 2), seg2(10, 0, 0, 100, 3)});
    expect_bits(expect_state(f.state(10, 3, 5.0)), seg_state(f, 1, 5.0));  // direct pair
    expect_bits(expect_state(f.state_wrt_ssb(10, 5.0)), seg_state(f, 2, 5.0));
    auto step = SpkFile::step_toward_ssb(f.segments(), 10, 5.0);
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(step->center, 0);
    // Without a barycentric segment the first covering one is taken.
    SpkFile g = open_spk({seg2(10, 5, 0, 100, 4), seg2(10, 3, 0, 100, 2)});
    step = SpkFile::step_toward_ssb(g.segments(), 10, 5.0);
    ASSERT_TRUE(step.has_value());
    EXPECT_EQ(step->center, 5);
    // A failing candidate before the barycentric segment ends the step.
    SpkFile h = open_spk({unsupported(10, 3, 0, 100), seg2(10, 0, 0, 100, 3)});
    expect_error(h.state(10, 7, 5.0), "unsupported SPK data type 5");
}

TEST(spk_state, loop_between_two_bodies_fails_naming_the_start) {
    SpkFile f = open_spk({seg2(1000, 2000, 0, 100, 1), seg2(2000, 1000, 0, 100, 2)});
    expect_error(f.state(1000, 0, 5.0), "no segment covers target 1000 wrt center 0 at et 5");
    expect_error(f.state(7, 2000, 5.0), "no segment covers target 7 wrt center 0 at et 5");
    expect_error(f.state(0, 2000, 5.0), "no segment covers target 2000 wrt center 0 at et 5");
}

// Bodies 1 .. n, body k wrt k + 1 and body n wrt 0: a chain of n steps.
SpkFile chain_of(int n) {
    std::vector<SegmentSpec> segs;
    for (int k = 1; k <= n; ++k) segs.push_back(seg2(k, k == n ? 0 : k + 1, 0, 100, k));
    return open_spk(std::move(segs));
}

TEST(spk_state, chain_length_limit) {
    SpkFile ok = chain_of(32);
    State want{};
    for (std::size_t k = 0; k < 32; ++k) want = sum(want, seg_state(ok, k, 50.0));
    expect_bits(expect_state(ok.state_wrt_ssb(1, 50.0)), want);
    expect_bits(expect_state(ok.state(1, 0, 50.0)), want);
    SpkFile too_long = chain_of(33);
    expect_error(too_long.state(1, 0, 50.0), "no segment covers target 1 wrt center 0 at et 50");
    EXPECT_TRUE(too_long.state(2, 0, 50.0).has_value());
}

TEST(spk_state, nan_epoch_skips_direct_lookup_and_enters_the_chain) {
    SpkFile f = open_spk({seg2(301, 399, 0, 100, 2)});
    expect_error(f.state(301, 399, kNaN), "no segment covers target 399 wrt center 0 at et NaN");
    SpkFile g = open_spk({seg2(301, 399, 0, 100, 2), seg2(399, 0, 0, 100, 3)});
    expect_bits(expect_state(g.state(301, 399, kNaN)), {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
    EXPECT_EQ(g.hint(), SpkFile::kNoHint);
}

TEST(spk_state, infinite_epochs_are_not_covered) {
    SpkFile f = open_spk({seg2(301, 399, 0, 100, 2)});
    expect_error(f.state(301, 399, kInf), "no segment covers target 301 wrt center 0 at et inf");
    expect_error(f.state(301, 399, -kInf), "no segment covers target 301 wrt center 0 at et -inf");
}

TEST(spk_state, frames) {
    SpkFile f = open_spk({seg2(3, 0, 0, 100, 1), seg2(399, 3, 0, 100, 2)});
    for (double et : {0.0, 42.5, 100.0}) {
        const State j = expect_state(f.state(399, 0, et));
        expect_bits(expect_state(f.state_in_frame(399, 0, InertialFrame::J2000, et)), j);
        expect_bits(expect_state(f.state_in_frame(399, 0, InertialFrame::EclipJ2000, et)),
                    rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000, j));
    }
    expect_error(f.state_in_frame(399, 0, InertialFrame::EclipJ2000, 101.0),
                 "no segment covers target 399 wrt center 0 at et 101");
}

// States are combined in J2000: a segment referred to ECLIPJ2000 (17) is
// rotated into it, J2000 (1) passes bit for bit, any other frame ends the
// query naming the frame and the segment, through every path of a query.
struct FrameCase {
    std::int32_t frame;
    const char* error;  // "" when the state is answered
};

class SpkSegmentFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(SpkSegmentFrames, are_rotated_into_j2000_or_refused) {
    const auto c = GetParam();
    SegmentSpec earth = seg2(399, 3, 0, 100, 2);
    earth.ints[2] = c.frame;
    SpkFile f = open_spk({seg2(3, 0, 0, 100, 1), earth});
    const SpkSegment& seg = f.segments()[1];
    for (double et : {0.0, 42.5}) {
        // The stored state, evaluated by the payload alone.
        const State stored = std::visit(
            [&](const auto& p) -> State {
                if constexpr (std::is_same_v<std::decay_t<decltype(p)>, SpkUnsupported>) return State{};
                else return *p.evaluate(et);
            },
            seg.payload);
        auto direct = f.state(399, 3, et), reversed = f.state(3, 399, et), chained = f.state(399, 0, et);
        if (*c.error) {
            for (const auto* r : {&direct, &reversed, &chained}) expect_error(*r, c.error);
            continue;
        }
        const State j2000 = c.frame == 1 ? stored : rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, stored);
        expect_bits(expect_state(direct), j2000);
        expect_bits(expect_state(reversed), neg(j2000));
        expect_bits(expect_state(chained), sum(j2000, seg_state(f, 0, et)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    codes, SpkSegmentFrames,
    ::testing::Values(FrameCase{1, ""}, FrameCase{17, ""},
                      FrameCase{2, "SPK segment 'T2' (target 399, center 3, data type 2) is referred to frame 2; only "
                                   "J2000 (1) and ECLIPJ2000 (17) segments can be evaluated"},
                      FrameCase{0, "SPK segment 'T2' (target 399, center 3, data type 2) is referred to frame 0; only "
                                   "J2000 (1) and ECLIPJ2000 (17) segments can be evaluated"},
                      FrameCase{-17, "SPK segment 'T2' (target 399, center 3, data type 2) is referred to frame -17; "
                                     "only J2000 (1) and ECLIPJ2000 (17) segments can be evaluated"}));

}  // namespace
}  // namespace kernwerk
