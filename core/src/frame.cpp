#include "frame.hpp"

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

}  // namespace kernwerk
