#include "events/search.hpp"
#include "events/windows.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace kernwerk;
using namespace kernwerk::events;

namespace {

// The toolkit's results for its degenerate cases (wnunid, wnintd, wndifd,
// wncomd, wncond, wnexpd, wnfltd), as spiceypy returned them.
TEST(windows, degenerate_cases_as_the_toolkit) {
    EXPECT_EQ(unite(Window{{1, 3}}, Window{{3, 5}}), (Window{{1, 5}}));
    EXPECT_EQ(intersect(Window{{1, 3}}, Window{{3, 5}}), (Window{{3, 3}}));
    EXPECT_EQ(difference(Window{{1, 5}}, Window{{3, 3}}), (Window{{1, 5}}));
    EXPECT_EQ(difference(Window{{1, 5}}, Window{{0, 1}}), (Window{{1, 5}}));
    EXPECT_EQ(difference(Window{{2, 2}}, Window{{2, 2}}), Window{});
    EXPECT_EQ(difference(Window{{1, 5}}, Window{{2, 3}}), (Window{{1, 2}, {3, 5}}));
    EXPECT_EQ(complement(Window{{1, 2}}, 1, 5), (Window{{2, 5}}));
    EXPECT_EQ(complement(Window{{-1, 0}, {5, 6}}, 0, 5), (Window{{0, 5}}));
    EXPECT_EQ(contract(Window{{1, 3}, {5, 5}, {6, 8}, {10, 11}}, 1, 1), (Window{{2, 2}, {7, 7}}));
    EXPECT_EQ(expand(Window{{1, 3}, {5, 6}}, 1, 1), (Window{{0, 7}}));
    EXPECT_EQ(expand(Window{{1, 3}, {5, 6}}, -1, -1), (Window{{2, 2}}));
    EXPECT_EQ(filter(Window{{1, 3}, {5, 5}, {6, 6.5}, {10, 11}}, 1), (Window{{1, 3}}));
    const WindowSummary s = summarize(Window{{1, 3}, {5, 5}, {6, 6.5}, {10, 11}});
    EXPECT_EQ(s.measure, 3.5);
    EXPECT_NEAR(s.stddev, 0.739509972887452, 1e-15);
    EXPECT_EQ(s.shortest, 1);
    EXPECT_EQ(s.longest, 0);
}

TEST(windows, check_names_the_row) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(check_window(Window{{1, 2}, {3, 3}}));
    EXPECT_NE(check_window(Window{{1, 2}, {2, 3}})->find("row 1 overlaps or touches row 0"), std::string::npos);
    EXPECT_NE(check_window(Window{{3, 4}, {1, 2}})->find("row 1 is out of order"), std::string::npos);
    EXPECT_NE(check_window(Window{{2, 1}})->find("row 0 is inverted"), std::string::npos);
    EXPECT_NE(check_window(Window{{nan, 1}})->find("NaN"), std::string::npos);
}

// cos(w t): extrema at multiples of pi / w, crossings of 0.5 at +/- pi / 3w.
class Cosine final : public Quantity {
public:
    static constexpr double w = 2 * 3.141592653589793 / 1000.0;
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned) const override {
        for (std::size_t i = 0; i < n; ++i) f[i] = std::cos(w * ets[i]), df[i] = -w * std::sin(w * ets[i]);
        return {};
    }
};

struct SearchCase {
    Relation relation;
    double value, adjust;
    Window want;
};

class search_cases : public testing::TestWithParam<SearchCase> {};

TEST_P(search_cases, cosine_within_the_tolerance) {
    const SearchCase& c = GetParam();
    auto r = search(Cosine{}, Window{{100, 2100}}, {c.relation, c.value, c.adjust, 37.0, 1e-6, 1});
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), c.want.size());
    for (std::size_t i = 0; i < r->size(); ++i) {
        EXPECT_NEAR((*r)[i].start, c.want[i].start, 1e-6) << i;
        EXPECT_NEAR((*r)[i].stop, c.want[i].stop, 1e-6) << i;
    }
}

constexpr double k6 = 1000.0 / 6;
const double d3 = std::acos(0.999) / Cosine::w, d4 = std::acos(0.9999) / Cosine::w, d7 = std::acos(0.9999999) / Cosine::w;
INSTANTIATE_TEST_SUITE_P(
    events, search_cases,
    testing::Values(SearchCase{Relation::LocMin, 0, 0, {{500, 500}, {1500, 1500}}},
                    SearchCase{Relation::LocMax, 0, 0, {{1000, 1000}, {2000, 2000}}},
                    SearchCase{Relation::Greater, 0.5, 0, {{100, k6}, {1000 - k6, 1000 + k6}, {2000 - k6, 2100}}},
                    SearchCase{Relation::Equal, 0.5, 0, {{k6, k6}, {1000 - k6, 1000 - k6}, {1000 + k6, 1000 + k6},
                                                         {2000 - k6, 2000 - k6}}},
                    // Extrema of the cosine beyond the value between two
                    // samples on the near side: two crossings in one step.
                    SearchCase{Relation::Less, 0.999, 0, {{100, 1000 - d3}, {1000 + d3, 2000 - d3}, {2000 + d3, 2100}}},
                    SearchCase{Relation::Greater, -0.9999, 0, {{100, 500 - d4}, {500 + d4, 1500 - d4}, {1500 + d4, 2100}}},
                    SearchCase{Relation::Equal, 0.999, 0, {{1000 - d3, 1000 - d3}, {1000 + d3, 1000 + d3},
                                                           {2000 - d3, 2000 - d3}, {2000 + d3, 2000 + d3}}},
                    SearchCase{Relation::Less, 0.9999999, 0, {{100, 1000 - d7}, {1000 + d7, 2000 - d7}, {2000 + d7, 2100}}},
                    SearchCase{Relation::Greater, 1.0, 0, {}},
                    SearchCase{Relation::AbsMax, 0, 0, {{1000, 1000}}},
                    SearchCase{Relation::AbsMin, 0, 0.5, {{500 - k6, 500 + k6}, {1500 - k6, 1500 + k6}}}));

// A longitude turning at one turn per 1000 s, in (-pi, pi]: it wraps at
// t = 500 + 1000 k.
class Turning final : public Quantity {
public:
    static constexpr double w = 2 * 3.141592653589793 / 1000.0;
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, double* f, double* df,
                                               unsigned) const override {
        for (std::size_t i = 0; i < n; ++i) f[i] = std::remainder(w * ets[i], 2 * 3.141592653589793), df[i] = w;
        return {};
    }
    double wrap() const noexcept override { return 2 * 3.141592653589793; }
};

TEST(search, a_wrapping_angle_ends_windows_at_the_wrap_and_crosses_on_either_side) {
    const Window span{{0, 2200}};
    // Crossings of 2.5 rad at 397.9 + 1000 k, none at the wraps; above it
    // until the wrap.
    auto eq = search(Turning{}, span, {Relation::Equal, 2.5, 0, 60.0, 1e-6, 1});
    ASSERT_TRUE(eq);
    ASSERT_EQ(eq->size(), 2u);
    EXPECT_NEAR((*eq)[1].start, 1000 + 2.5 / Turning::w, 1e-6);
    auto gt = search(Turning{}, span, {Relation::Greater, 2.5, 0, 60.0, 1e-6, 1});
    ASSERT_TRUE(gt);
    ASSERT_EQ(gt->size(), 2u);
    EXPECT_NEAR((*gt)[0].stop, 500, 1e-6);
    EXPECT_FALSE(search(Turning{}, span, {Relation::AbsMax, 0, 0, 60.0}));
}

TEST(search, refuses_bad_options) {
    const Window w{{0, 10}};
    EXPECT_FALSE(search(Cosine{}, w, {Relation::Less, 0, 0, 0.0}));
    EXPECT_FALSE(search(Cosine{}, w, {Relation::Less, 0, 0, -1.0}));
    EXPECT_FALSE(search(Cosine{}, Window{}, {Relation::Less, 0, 0, 1.0}));
    EXPECT_FALSE(search(Cosine{}, Window{{10, 0}}, {Relation::Less, 0, 0, 1.0}));
    EXPECT_FALSE(search(Cosine{}, w, {Relation::AbsMin, 0, -1, 1.0}));
    EXPECT_EQ(parse_relation(" locmin "), Relation::LocMin);
    EXPECT_FALSE(parse_relation("<="));
}

// cos(w t) > 0.5 as a binary state: edges at 1000 k +/- 1000 / 6.
class CosineAbove final : public Condition {
public:
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, std::uint8_t* holds,
                                               unsigned) const override {
        for (std::size_t i = 0; i < n; ++i) holds[i] = std::cos(Cosine::w * ets[i]) > 0.5;
        return {};
    }
};

struct Count {
    std::size_t calls = 0, last_done = 0, total = 0, stop_after = 0;
    static bool call(void* ctx, std::size_t done, std::size_t total) {
        auto* c = static_cast<Count*>(ctx);
        EXPECT_GE(done, c->last_done);
        c->calls++, c->last_done = done, c->total = total;
        return c->stop_after == 0 || c->calls < c->stop_after;
    }
};

TEST(search_condition, edges_within_the_tolerance_and_the_progress_hook_between_chunks) {
    // An instant, an interval in which the state never changes and one with
    // five edges; the grid of the last ends off the step.
    const Window cnf{{50, 50}, {300, 600}, {700, 3100.5}};
    const Window want{{50, 50}, {1000 - k6, 1000 + k6}, {2000 - k6, 2000 + k6}, {3000 - k6, 3100.5}};
    for (double step : {1.0, 37.0}) {
        Count count;
        const Progress hook{&Count::call, &count};
        auto r = search_condition(CosineAbove{}, cnf, {Relation::Less, 0, 0, step, 1e-6, 1, &hook});
        ASSERT_TRUE(r) << r.error().message();
        ASSERT_EQ(r->size(), want.size());
        for (std::size_t i = 0; i < r->size(); ++i) {
            EXPECT_NEAR((*r)[i].start, want[i].start, 5e-7) << i;
            EXPECT_NEAR((*r)[i].stop, want[i].stop, 5e-7) << i;
        }
        const std::size_t total = step == 1.0 ? 1 + 301 + 2402 : 1 + 10 + 66;
        EXPECT_EQ(count.total, total);
        EXPECT_EQ(count.last_done, total);
        EXPECT_EQ(count.calls, 4u);  // once per interval (one chunk each), then once at the end
    }
    // Chunks of 16384 samples at least: 40001 samples in three.
    Count chunks;
    const Progress counting{&Count::call, &chunks};
    ASSERT_TRUE(search_condition(CosineAbove{}, Window{{0, 40000}}, {Relation::Less, 0, 0, 1.0, 1e-6, 1, &counting}));
    EXPECT_EQ(chunks.calls, 4u);
    Count stop{.stop_after = 2};
    const Progress hook{&Count::call, &stop};
    auto r = search_condition(CosineAbove{}, cnf, {Relation::Less, 0, 0, 1.0, 1e-6, 1, &hook});
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("search stopped"), std::string::npos);
    EXPECT_FALSE(search_condition(CosineAbove{}, cnf, {Relation::Less, 0, 0, 0.0}));
    EXPECT_FALSE(search_condition(CosineAbove{}, Window{}, {Relation::Less, 0, 0, 1.0}));
}

}  // namespace
