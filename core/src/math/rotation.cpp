#include "math/rotation.hpp"

#include <cmath>

namespace kernwerk {

Mat3 j2000_to_eclipj2000() noexcept {
    constexpr double c = kObliquityCos, s = kObliquitySin;
    return Mat3{{{1.0, 0.0, 0.0}, {0.0, c, s}, {0.0, -s, c}}};
}

State rotate_state(InertialFrame from, InertialFrame to, const State& st) noexcept {
    constexpr double c = kObliquityCos, s = kObliquitySin;
    if (from == to) return st;
    if (from == InertialFrame::J2000) {
        return State{st[0], c * st[1] + s * st[2], -s * st[1] + c * st[2],
                     st[3], c * st[4] + s * st[5], -s * st[4] + c * st[5]};
    }
    return State{st[0], c * st[1] - s * st[2], s * st[1] + c * st[2],
                 st[3], c * st[4] - s * st[5], s * st[4] + c * st[5]};
}

namespace {

// R = (R3(W) R1(DEC)) R3(RA) from the sines and cosines, products taken left
// to right: R3(W) R1(DEC) = [[cw, sw cd, sw sd], [-sw, cw cd, cw sd], [0, -sd, cd]].
inline void euler_rotation(double sp, double cp, double sd, double cd, double sw, double cw, Mat3& r) noexcept {
    const double swcd = sw * cd, cwcd = cw * cd, swsd = sw * sd, cwsd = cw * sd;
    r[0] = {cw * cp - swcd * sp, cw * sp + swcd * cp, swsd};
    r[1] = {-sw * cp - cwcd * sp, -sw * sp + cwcd * cp, cwsd};
    r[2] = {sd * sp, -sd * cp, cd};
}

}  // namespace

Mat3 pck_euler_rotation(double ra, double dec, double w) noexcept {
    double sp, cp, sd, cd, sw, cw;
    ::sincos(ra, &sp, &cp);
    ::sincos(dec, &sd, &cd);
    ::sincos(w, &sw, &cw);
    Mat3 r;
    euler_rotation(sp, cp, sd, cd, sw, cw, r);
    return r;
}

RotationAndDerivative pck_euler_rotation_and_derivative(double ra, double dec, double w, double dra, double ddec,
                                                        double dw) noexcept {
    // One joint sine/cosine per angle.
    double sp, cp, sd, cd, sw, cw;
    ::sincos(ra, &sp, &cp);
    ::sincos(dec, &sd, &cd);
    ::sincos(w, &sw, &cw);

    const double swcd = sw * cd, cwcd = cw * cd, swsd = sw * sd, cwsd = cw * sd;
    RotationAndDerivative out;
    Mat3& r = out.first;
    euler_rotation(sp, cp, sd, cd, sw, cw, r);

    // Each term of the product rule is rate * (product with that angle's
    // factor differentiated), the product associated as for R. Written out:
    //   R3'(W) R1(DEC) R3(RA)  = [R row 1; -R row 0; 0]
    //   R3(W) R1'(DEC) R3(RA)  = [[sw sd sp, -sw sd cp, sw cd],
    //                             [cw sd sp, -cw sd cp, cw cd],
    //                             [cd sp,    -cd cp,    -sd]]
    //   R3(W) R1(DEC) R3'(RA)  = per row i: [-R(i,1), R(i,0), 0]
    // Structural zeros are left out of the sums; the terms are added in the
    // order W, DEC, RA.
    const Mat3 pw = {{{r[1][0], r[1][1], r[1][2]}, {-r[0][0], -r[0][1], -r[0][2]}, {0.0, 0.0, 0.0}}};
    const Mat3 pd = {{{swsd * sp, -(swsd * cp), swcd}, {cwsd * sp, -(cwsd * cp), cwcd}, {cd * sp, -(cd * cp), -sd}}};
    Mat3& dr = out.second;
    for (int i = 0; i < 3; ++i) {
        const double pr0 = -r[i][1], pr1 = r[i][0];
        if (i < 2) {
            dr[i][0] = dw * pw[i][0] + ddec * pd[i][0] + dra * pr0;
            dr[i][1] = dw * pw[i][1] + ddec * pd[i][1] + dra * pr1;
            dr[i][2] = dw * pw[i][2] + ddec * pd[i][2];
        } else {
            dr[i][0] = ddec * pd[i][0] + dra * pr0;
            dr[i][1] = ddec * pd[i][1] + dra * pr1;
            dr[i][2] = ddec * pd[i][2];
        }
    }
    return out;
}

Mat6 sxform_from_rotation(const Mat3& r, const Mat3& dr) noexcept {
    Mat6 x{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            x[i][j] = r[i][j];
            x[i][j + 3] = 0.0;
            x[i + 3][j] = dr[i][j];
            x[i + 3][j + 3] = r[i][j];
        }
    }
    return x;
}

State apply_sxform(const Mat6& x, const State& s) noexcept {
    State out;
    for (int i = 0; i < 6; ++i) {
        double acc = 0.0;
        for (int j = 0; j < 6; ++j) acc = acc + x[i][j] * s[j];
        out[i] = acc;
    }
    return out;
}

Mat6 invert_sxform(const Mat6& x) noexcept {
    Mat6 out{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out[i][j] = x[j][i];
            out[i][j + 3] = 0.0;
            out[i + 3][j] = x[j + 3][i];
            out[i + 3][j + 3] = x[j + 3][i + 3];
        }
    }
    return out;
}

Mat3 axis_rotation(int axis, double angle) noexcept {
    double s, c;
    ::sincos(angle, &s, &c);
    switch (axis) {
        case 1: return Mat3{{{1.0, 0.0, 0.0}, {0.0, c, s}, {0.0, -s, c}}};
        case 2: return Mat3{{{c, 0.0, -s}, {0.0, 1.0, 0.0}, {s, 0.0, c}}};
        default: return Mat3{{{c, s, 0.0}, {-s, c, 0.0}, {0.0, 0.0, 1.0}}};
    }
}

Mat3 identity3() noexcept { return Mat3{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}; }

Mat3 transpose3(const Mat3& a) noexcept {
    Mat3 t;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = a[j][i];
    return t;
}

Mat3 mxm3(const Mat3& a, const Mat3& b) noexcept {
    Mat3 c;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c[i][j] = 0.0 + a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    return c;
}

RotationRate compose(const RotationRate& a, const RotationRate& b) noexcept {
    RotationRate out;
    out.r = mxm3(a.r, b.r);
    const Mat3 x = mxm3(a.dr, b.r), y = mxm3(a.r, b.dr);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out.dr[i][j] = x[i][j] + y[i][j];
    return out;
}

RotationRate invert(const RotationRate& a) noexcept { return RotationRate{transpose3(a.r), transpose3(a.dr)}; }

}  // namespace kernwerk
