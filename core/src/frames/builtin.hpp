// The frames every kernel set knows without a frame kernel: the inertial
// frames with their fixed rotations from J2000, and the body-fixed PCK frames
// (the IAU_<body> frames and ITRF93) with their codes, class ids and centres.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "math/rotation.hpp"

namespace kernwerk {

struct BuiltinInertial {
    const char* name;
    std::int32_t code;  // 1 to 21; the class id is the code
};

struct BuiltinPck {
    const char* name;
    std::int32_t code;
    std::int32_t class_id;  // the body whose orientation data define the frame
    std::int32_t center;
};

std::span<const BuiltinInertial> builtin_inertial_frames() noexcept;
std::span<const BuiltinPck> builtin_pck_frames() noexcept;

// The rotation from J2000 into built-in inertial frame `code` (1 to 21);
// nothing for other codes. Built once, then read.
std::optional<Mat3> j2000_to_builtin_inertial(std::int32_t code) noexcept;

}  // namespace kernwerk
