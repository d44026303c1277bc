// Timelines of the kernel set: which entry wins at and around inclusive
// ends, at infinities, and for entries that cover nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sets/kernel_set.hpp"

namespace kernwerk {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double after(double x) { return std::nextafter(x, kInf); }
double before(double x) { return std::nextafter(x, -kInf); }

struct Probe {
    double et;
    std::int32_t winner;  // -1: none
};

struct TimelineCase {
    const char* what;
    std::vector<Timeline::Entry> entries;  // highest precedence first
    std::vector<Probe> probes;
};

const std::vector<TimelineCase> kCases = {
    {"touching ends: the higher entry holds the shared point",
     {{0, 10, 1}, {10, 20, 2}},
     {{before(0), -1}, {0, 1}, {10, 1}, {after(10), 2}, {20, 2}, {after(20), -1}, {-kInf, -1}, {kInf, -1}}},
    {"touching ends, the other precedence",
     {{10, 20, 2}, {0, 10, 1}},
     {{before(10), 1}, {10, 2}, {20, 2}}},
    {"a point entry on top wins at its point only",
     {{5, 5, 7}, {0, 10, 1}},
     {{before(5), 1}, {5, 7}, {after(5), 1}}},
    {"a point entry below never wins",
     {{0, 10, 1}, {5, 5, 7}},
     {{5, 1}, {0, 1}, {10, 1}}},
    {"a gap between entries", {{0, 1, 1}, {2, 3, 2}}, {{1, 1}, {after(1), -1}, {1.5, -1}, {before(2), -1}, {2, 2}}},
    {"lower entry shows through where the higher ends",
     {{0, 10, 1}, {-5, 15, 2}},
     {{-5, 2}, {before(0), 2}, {0, 1}, {10, 1}, {after(10), 2}, {15, 2}}},
    {"infinite ends cover the infinities", {{-kInf, kInf, 3}}, {{-kInf, 3}, {kInf, 3}, {0, 3}}},
    {"reversed and NaN entries cover nothing",
     {{10, 0, 1}, {kNaN, 5, 2}, {0, kNaN, 3}, {1, 2, 4}},
     {{0, -1}, {5, -1}, {1.5, 4}}},
    {"no entries", {}, {{0, -1}, {kInf, -1}, {-kInf, -1}}},
};

TEST(Timeline, WinnersAtAndAroundEnds) {
    for (const TimelineCase& c : kCases) {
        const Timeline t = Timeline::build(c.entries);
        // Runs tile the line in order, neighbours with different winners.
        const auto& runs = t.runs();
        ASSERT_FALSE(runs.empty()) << c.what;
        EXPECT_EQ(runs.front().lo, -kInf) << c.what;
        EXPECT_EQ(runs.back().hi, kInf) << c.what;
        for (std::size_t i = 1; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].lo, runs[i - 1].hi) << c.what;
            EXPECT_NE(runs[i].lo_closed, runs[i - 1].hi_closed) << c.what;
            EXPECT_NE(runs[i].winner, runs[i - 1].winner) << c.what;
        }
        for (const Probe& p : c.probes) {
            const kernwerk::Run& r = t.find(p.et);
            EXPECT_EQ(r.winner, p.winner) << c.what << " at " << p.et;
            EXPECT_TRUE(r.contains(p.et)) << c.what << " at " << p.et;
        }
    }
}

TEST(Timeline, IntersectionKeepsAnEndClosedOnlyWhereBothAre) {
    kernwerk::Run a{0, 10, true, true, 1};
    a.intersect(kernwerk::Run{0, 5, false, true, 2});
    EXPECT_FALSE(a.contains(0));
    EXPECT_TRUE(a.contains(after(0)));
    EXPECT_TRUE(a.contains(5));
    EXPECT_FALSE(a.contains(after(5)));
    a.intersect(kernwerk::Run{5, 7, true, true, 3});
    EXPECT_TRUE(a.contains(5));
    EXPECT_FALSE(a.contains(before(5)));
    EXPECT_FALSE(a.contains(kNaN));
}

TEST(Timeline, MergedCoverage) {
    using V = std::vector<std::pair<double, double>>;
    EXPECT_EQ(merge_intervals(V{{10, 20}, {0, 10}, {30, 40}, {35, 36}, {5, 1}, {kNaN, 3}}),
              (V{{0, 20}, {30, 40}}));
    EXPECT_EQ(merge_intervals(V{{0, 1}, {after(1), 2}}), (V{{0, 1}, {after(1), 2}}));
}

}  // namespace
}  // namespace kernwerk
