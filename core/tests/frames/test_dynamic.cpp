// Dynamic frames in the frame catalog without a kernel set: frames of date
// and Euler frames evaluate (their rates against differences of their
// rotations), constant-vector two-vector frames chain through them, and a
// two-vector frame that needs states of bodies says so; frames that refer to
// themselves are refused naming the keyword.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "frames/frames.hpp"
#include "text/text_kernel.hpp"

namespace kernwerk {
namespace {

std::shared_ptr<const FrameCatalog> catalog_of(const std::string& text) {
    auto parsed = parse_text_kernel_with_assignments(text);
    EXPECT_TRUE(parsed.has_value());
    const KernelPool::Source src{"dynamic.tf", parsed->assignments};
    auto pool = KernelPool::build(std::span<const KernelPool::Source>(&src, 1));
    EXPECT_TRUE(pool.has_value());
    return FrameCatalog::build(*pool);
}

std::string frame(int code, const std::string& name, const std::string& relative, const std::string& rest) {
    const std::string p = "FRAME_" + std::to_string(code) + "_";
    return "FRAME_" + name + " = " + std::to_string(code) + "\n" + p + "NAME = '" + name + "'\n" + p + "CLASS = 5\n" +
           p + "CLASS_ID = " + std::to_string(code) + "\n" + p + "CENTER = 399\n" + p + "RELATIVE = '" + relative +
           "'\n" + p + "DEF_STYLE = 'PARAMETERIZED'\n" + rest;
}

const std::string kKernel =
    "\\begindata\n" +
    frame(-1, "TOD", "J2000",
          "FRAME_-1_FAMILY = 'TRUE_EQUATOR_AND_EQUINOX_OF_DATE'\nFRAME_-1_PREC_MODEL = 'EARTH_IAU_1976'\n"
          "FRAME_-1_NUT_MODEL = 'EARTH_IAU_1980'\nFRAME_-1_ROTATION_STATE = 'ROTATING'\n") +
    frame(-2, "EUL", "TOD",
          "FRAME_-2_FAMILY = 'EULER'\nFRAME_-2_EPOCH = 0\nFRAME_-2_AXES = ( 3 1 3 )\nFRAME_-2_UNITS = 'DEGREES'\n"
          "FRAME_-2_ANGLE_1_COEFFS = ( 10 1E-6 )\nFRAME_-2_ANGLE_2_COEFFS = ( 20 )\nFRAME_-2_ANGLE_3_COEFFS = ( 30 -1E-6 )\n") +
    frame(-3, "CONST", "J2000",
          "FRAME_-3_FAMILY = 'TWO-VECTOR'\nFRAME_-3_PRI_AXIS = 'Z'\nFRAME_-3_PRI_VECTOR_DEF = 'CONSTANT'\n"
          "FRAME_-3_PRI_FRAME = 'EUL'\nFRAME_-3_PRI_SPEC = 'RECTANGULAR'\nFRAME_-3_PRI_VECTOR = ( 0 0 1 )\n"
          "FRAME_-3_SEC_AXIS = 'X'\nFRAME_-3_SEC_VECTOR_DEF = 'CONSTANT'\nFRAME_-3_SEC_FRAME = 'TOD'\n"
          "FRAME_-3_SEC_SPEC = 'RA/DEC'\nFRAME_-3_SEC_UNITS = 'DEGREES'\nFRAME_-3_SEC_RA = 40\nFRAME_-3_SEC_DEC = 10\n") +
    frame(-4, "GSE", "J2000",
          "FRAME_-4_FAMILY = 'TWO-VECTOR'\nFRAME_-4_PRI_AXIS = 'X'\nFRAME_-4_PRI_VECTOR_DEF = 'OBSERVER_TARGET_POSITION'\n"
          "FRAME_-4_PRI_OBSERVER = 399\nFRAME_-4_PRI_TARGET = 10\nFRAME_-4_PRI_ABCORR = 'NONE'\nFRAME_-4_SEC_AXIS = 'Z'\n"
          "FRAME_-4_SEC_VECTOR_DEF = 'CONSTANT'\nFRAME_-4_SEC_FRAME = 'J2000'\nFRAME_-4_SEC_SPEC = 'RECTANGULAR'\n"
          "FRAME_-4_SEC_VECTOR = ( 0 0 1 )\n") +
    frame(-5, "LOOP", "EUL2",
          "FRAME_-5_FAMILY = 'EULER'\nFRAME_-5_EPOCH = 0\nFRAME_-5_AXES = ( 1 2 3 )\nFRAME_-5_UNITS = 'RADIANS'\n"
          "FRAME_-5_ANGLE_1_COEFFS = 1\nFRAME_-5_ANGLE_2_COEFFS = 2\nFRAME_-5_ANGLE_3_COEFFS = 3\n") +
    frame(-6, "EUL2", "LOOP",
          "FRAME_-6_FAMILY = 'EULER'\nFRAME_-6_EPOCH = 0\nFRAME_-6_AXES = ( 1 2 3 )\nFRAME_-6_UNITS = 'RADIANS'\n"
          "FRAME_-6_ANGLE_1_COEFFS = 1\nFRAME_-6_ANGLE_2_COEFFS = 2\nFRAME_-6_ANGLE_3_COEFFS = 3\n") +
    "\\begintext\n";

TEST(DynamicFrames, RatesAreTheDerivativesOfTheRotations) {
    auto cat = catalog_of(kKernel);
    for (const char* name : {"TOD", "EUL", "CONST"}) {
        auto path = cat->path(1, *cat->code_of(name));
        ASSERT_TRUE(path.has_value()) << name << ": " << path.error().message();
        for (double et : {-2e9, 0.0, 6e8}) {
            auto x = evaluate_path(*path, nullptr, et, true);
            auto a = evaluate_path(*path, nullptr, et + 10.0, false);
            auto b = evaluate_path(*path, nullptr, et - 10.0, false);
            ASSERT_TRUE(x && a && b) << name;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    EXPECT_NEAR(x->dr[i][j], (a->r[i][j] - b->r[i][j]) / 20.0, 1e-13) << name << " " << et;
                    EXPECT_EQ(x->r[i][j], evaluate_path(*path, nullptr, et, false)->r[i][j]) << name;
                }
        }
    }
}

TEST(DynamicFrames, RefusalsNameTheFrameAndKeyword) {
    auto cat = catalog_of(kKernel);
    auto gse = cat->path(1, *cat->code_of("GSE"));
    ASSERT_TRUE(gse.has_value());
    auto x = evaluate_path(*gse, nullptr, 0.0, false);
    ASSERT_FALSE(x.has_value());
    EXPECT_NE(x.error().message().find("GSE"), std::string::npos);
    auto loop = cat->path(1, *cat->code_of("LOOP"));
    ASSERT_FALSE(loop.has_value());
    EXPECT_NE(loop.error().message().find("refers to itself"), std::string::npos) << loop.error().message();
    EXPECT_NE(loop.error().message().find("FRAME_-5_RELATIVE"), std::string::npos) << loop.error().message();
}

}  // namespace
}  // namespace kernwerk
