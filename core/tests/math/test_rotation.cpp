#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "math/rotation.hpp"

using namespace kernwerk;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Mat3 mul3(const Mat3& a, const Mat3& b) {
    Mat3 c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}

Mat3 r3(double t) { return {{{std::cos(t), std::sin(t), 0}, {-std::sin(t), std::cos(t), 0}, {0, 0, 1}}}; }
Mat3 r1(double t) { return {{{1, 0, 0}, {0, std::cos(t), std::sin(t)}, {0, -std::sin(t), std::cos(t)}}}; }

}  // namespace

TEST(frame_test, obliquity_constants_have_their_bits) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(kObliquityCos), 0x3FED5C0357681EF3u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(kObliquitySin), 0x3FD9752E50F4B399u);
    // They are cos and sin of 84381.448 arcseconds.
    const double eps = 84381.448 / 3600.0 * (M_PI / 180.0);
    EXPECT_NEAR(kObliquityCos, std::cos(eps), 1e-16);
    EXPECT_NEAR(kObliquitySin, std::sin(eps), 1e-16);
}

TEST(frame_test, rotate_state_same_frame_is_identity_bitwise) {
    const State s = {kNaN, -0.0, 1e300, -kNaN, 3.5, -7.25};
    for (InertialFrame f : {InertialFrame::J2000, InertialFrame::EclipJ2000}) {
        const State out = rotate_state(f, f, s);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(s[i])) << i;
    }
}

TEST(frame_test, rotate_state_known_values) {
    const State out = rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000, {0, 1, 0, 0, 0, 1});
    const State want = {0, 0.9174820620691818, -0.3977771559319137, 0, 0.3977771559319137, 0.9174820620691818};
    EXPECT_EQ(out, want);
    const State x = {7.0, 0, 0, -2.0, 0, 0};
    EXPECT_EQ(rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000, x), x);
    EXPECT_EQ(rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, x), x);
}

TEST(frame_test, rotate_state_round_trip) {
    const State s = {1.5e8, -3.25e7, 2.0e6, 12.5, -29.75, 0.125};
    const State e = rotate_state(InertialFrame::J2000, InertialFrame::EclipJ2000, s);
    const State back = rotate_state(InertialFrame::EclipJ2000, InertialFrame::J2000, e);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], s[i], 1e-15 * 1.5e8) << i;
}

TEST(frame_test, euler_rates_at_zero_angles) {
    const auto [r, dr] = pck_euler_rotation_and_derivative(0, 0, 0, 1, 2, 3);
    const Mat3 id = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    const Mat3 want = {{{0, 4, 0}, {-4, 0, 2}, {0, -2, 0}}};
    EXPECT_EQ(r, id);
    EXPECT_EQ(dr, want);
    // With all rates zero, dR is the zero matrix.
    for (const auto& row : pck_euler_rotation_and_derivative(0.3, 0.5, 0.7, 0, 0, 0).second)
        for (double v : row) EXPECT_EQ(v, 0.0);
}

TEST(frame_test, euler_rotation_elements_as_written) {
    const double ra = 0.3, dec = 0.5, w = 0.7;
    const auto [r, dr] = pck_euler_rotation_and_derivative(ra, dec, w, 0, 0, 0);
    const double cp = std::cos(ra), sp = std::sin(ra), cd = std::cos(dec), sd = std::sin(dec);
    const double cw = std::cos(w), sw = std::sin(w);
    // The arithmetic is fixed, so the elements are exact.
    const Mat3 want = {{{cw * cp - sw * cd * sp, cw * sp + sw * cd * cp, sw * sd},
                        {-sw * cp - cw * cd * sp, -sw * sp + cw * cd * cp, cw * sd},
                        {sd * sp, -sd * cp, cd}}};
    EXPECT_EQ(r, want);
    EXPECT_EQ(r[2][2], std::cos(0.5));
    EXPECT_EQ(r[0][2], std::sin(0.7) * std::sin(0.5));
    // R3(W) R1(DEC) R3(RA), no quarter turns added.
    const Mat3 prod = mul3(mul3(r3(w), r1(dec)), r3(ra));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(r[i][j], prod[i][j], 1e-15);
}

struct EulerCase {
    double ra, dec, w, dra, ddec, dw;
};

class EulerDerivative : public ::testing::TestWithParam<EulerCase> {};

// dR against a central difference of R along the rates.
TEST_P(EulerDerivative, matches_finite_difference) {
    const EulerCase c = GetParam();
    const auto [r, dr] = pck_euler_rotation_and_derivative(c.ra, c.dec, c.w, c.dra, c.ddec, c.dw);
    const double h = 1e-5;
    const auto p = pck_euler_rotation_and_derivative(c.ra + h * c.dra, c.dec + h * c.ddec, c.w + h * c.dw, 0, 0, 0);
    const auto m = pck_euler_rotation_and_derivative(c.ra - h * c.dra, c.dec - h * c.ddec, c.w - h * c.dw, 0, 0, 0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(dr[i][j], (p.first[i][j] - m.first[i][j]) / (2 * h), 1e-8) << i << "," << j;
    // Bit for bit the product rule as written: dW R3'(W) R1 R3 + dDEC R3 R1'(DEC) R3
    // + dRA R3 R1 R3'(RA), the triple products associated from the left.
    const Mat3 r3p_w = {{{-std::sin(c.w), std::cos(c.w), 0}, {-std::cos(c.w), -std::sin(c.w), 0}, {0, 0, 0}}};
    const Mat3 r1p_d = {{{0, 0, 0}, {0, -std::sin(c.dec), std::cos(c.dec)}, {0, -std::cos(c.dec), -std::sin(c.dec)}}};
    const Mat3 r3p_a = {{{-std::sin(c.ra), std::cos(c.ra), 0}, {-std::cos(c.ra), -std::sin(c.ra), 0}, {0, 0, 0}}};
    const Mat3 pw = mul3(mul3(r3p_w, r1(c.dec)), r3(c.ra));
    const Mat3 pd = mul3(mul3(r3(c.w), r1p_d), r3(c.ra));
    const Mat3 pr = mul3(mul3(r3(c.w), r1(c.dec)), r3p_a);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(dr[i][j], c.dw * pw[i][j] + c.ddec * pd[i][j] + c.dra * pr[i][j]) << i << "," << j;
    // R is orthogonal and dR^T R + R^T dR vanishes.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double rr = 0, skew = 0;
            for (int k = 0; k < 3; ++k) {
                rr += r[k][i] * r[k][j];
                skew += dr[k][i] * r[k][j] + r[k][i] * dr[k][j];
            }
            EXPECT_NEAR(rr, i == j ? 1.0 : 0.0, 1e-15);
            EXPECT_NEAR(skew, 0.0, 1e-14);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(frame_test, EulerDerivative,
                         ::testing::Values(EulerCase{0.3, 0.5, 0.7, 1, 2, 3}, EulerCase{-2.1, 1.2, 4.0, 0.5, -0.25, 2},
                                           EulerCase{1.0, -0.4, 3.0, 0, 0, 1},
                                           // Earth-like: RA, DEC near a quarter turn, W spinning.
                                           EulerCase{1.5707, 1.5706, 2.5, -1e-4, 2e-4, 0.729}));

TEST(frame_test, apply_sxform_sums_in_order_from_zero) {
    Mat6 x{};
    x[0] = {9007199254740992.0, 1.0, -9007199254740992.0, 1.0, 0.0, 0.0};
    x[1] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    x[2] = {0.0, kNaN, 0.0, 0.0, 0.0, 0.0};
    x[3] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    x[4] = {0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
    x[5] = {1, 2, 3, 4, 5, 6};
    const State s = {1, 1, 1, 1, 1, -0.0};
    const State out = apply_sxform(x, s);
    // ((0 + 2^53) + 1) rounds back to 2^53, so the left-to-right sum is 1,
    // where the exact sum is 2.
    EXPECT_EQ(out[0], 1.0);
    // Accumulated from +0.0: a row of zeros times -0 components stays +0.
    EXPECT_FALSE(std::signbit(out[1]));
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_FALSE(std::signbit(out[4]));  // 0 + 1 * -0 = +0
    EXPECT_EQ(out[5], 1 + 2 + 3 + 4 + 5 + 0.0);
    // Zero entries are multiplied like any other: a NaN component meets them.
    const State nan_s = {0, 0, 0, 0, 0, kNaN};
    EXPECT_TRUE(std::isnan(apply_sxform(x, nan_s)[0]));
}

TEST(frame_test, invert_sxform_transposes_blocks_and_ignores_upper_right) {
    Mat6 x{};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) x[i][j] = 10 * i + j + 1;
    Mat6 y = x;
    for (int i = 0; i < 3; ++i)
        for (int j = 3; j < 6; ++j) y[i][j] = kNaN;
    const Mat6 inv = invert_sxform(x);
    EXPECT_EQ(invert_sxform(y), inv);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(inv[i][j], x[j][i]);
            EXPECT_EQ(inv[i][j + 3], 0.0);
            EXPECT_EQ(inv[i + 3][j], x[j + 3][i]);
            EXPECT_EQ(inv[i + 3][j + 3], x[j + 3][i + 3]);
        }
}

TEST(frame_test, invert_sxform_undoes_euler_transform) {
    const State s = {6378.0, -1200.5, 300.25, 0.5, 7.25, -0.125};
    for (const EulerCase& c : {EulerCase{0.3, 0.5, 0.7, 1e-3, 2e-3, 3e-3}, EulerCase{-2.1, 1.2, 4.0, 0.5, -0.25, 2}}) {
        const auto [r, dr] = pck_euler_rotation_and_derivative(c.ra, c.dec, c.w, c.dra, c.ddec, c.dw);
        const Mat6 x = sxform_from_rotation(r, dr);
        const State back = apply_sxform(invert_sxform(x), apply_sxform(x, s));
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], s[i], 1e-11) << i;
    }
}
