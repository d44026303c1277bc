// The frame catalog and its chains: built-in rotations are rotations, chains
// meet at the nearest common frame, and every definition that cannot be
// used is refused by kind with the variable or frames it names.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "frames/builtin.hpp"
#include "frames/frames.hpp"
#include "text/text_kernel.hpp"

namespace kernwerk {
namespace {

std::shared_ptr<const FrameCatalog> catalog_of(const char* text) {
    auto parsed = parse_text_kernel_with_assignments(text);
    EXPECT_TRUE(parsed.has_value());
    const KernelPool::Source src{"test.tf", parsed->assignments};
    auto pool = KernelPool::build(std::span<const KernelPool::Source>(&src, 1));
    EXPECT_TRUE(pool.has_value());
    return FrameCatalog::build(*pool);
}

constexpr const char* kKernel = R"(\begindata
FRAME_A = -10
FRAME_-10_NAME = 'A'
FRAME_-10_CLASS = 4
FRAME_-10_CLASS_ID = -10
FRAME_-10_CENTER = 399
TKFRAME_-10_RELATIVE = 'GALACTIC'
TKFRAME_-10_SPEC = 'ANGLES'
TKFRAME_-10_ANGLES = ( 90 0 0 )
TKFRAME_-10_AXES = ( 3 1 3 )
TKFRAME_-10_UNITS = 'DEGREES'
FRAME_B = -11
FRAME_-11_NAME = 'B'
FRAME_-11_CLASS = 4
FRAME_-11_CLASS_ID = -11
FRAME_-11_CENTER = 'EARTH'
TKFRAME_B_RELATIVE = 'A'
TKFRAME_B_SPEC = 'QUATERNION'
TKFRAME_B_Q = ( 0 0 0 2 )
FRAME_C = -12
FRAME_-12_NAME = 'C'
FRAME_-12_CLASS = 4
FRAME_-12_CLASS_ID = -12
FRAME_-12_CENTER = 399
TKFRAME_-12_RELATIVE = 'C'
TKFRAME_-12_SPEC = 'MATRIX'
TKFRAME_-12_MATRIX = ( 1 0 0 0 1 0 0 0 1 )
FRAME_D = -13
FRAME_-13_NAME = 'D'
FRAME_-13_CLASS = 4
FRAME_-13_CLASS_ID = -13
FRAME_-13_CENTER = 399
TKFRAME_-13_RELATIVE = 'J2000'
TKFRAME_-13_SPEC = 'MATRIX'
TKFRAME_-13_MATRIX = ( 1 0 0 0 1 0 0 0 -1 )
FRAME_E = -14
FRAME_-14_NAME = 'E'
FRAME_-14_CLASS = 3
FRAME_-14_CLASS_ID = -14
FRAME_-14_CENTER = -1
FRAME_F = -15
FRAME_-15_NAME = 'F'
FRAME_-15_CLASS = 4
FRAME_-15_CLASS_ID = -15
FRAME_-15_CENTER = 399
TKFRAME_-15_RELATIVE = 'J2000'
TKFRAME_-15_SPEC = 'ANGLES'
TKFRAME_-15_ANGLES = ( 1 2 3 )
TKFRAME_-15_AXES = ( 1 2 3 )
TKFRAME_-15_UNITS = 'FURLONGS'
)";

TEST(frames_test, builtin_inertial_rotations_are_rotations) {
    for (const BuiltinInertial& f : builtin_inertial_frames()) {
        const Mat3 m = *j2000_to_builtin_inertial(f.code);
        const Mat3 p = mxm3(m, transpose3(m));
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(p[i][j], i == j ? 1.0 : 0.0, 1e-15) << f.name;
    }
    EXPECT_FALSE(j2000_to_builtin_inertial(22).has_value());
}

TEST(frames_test, chains_meet_at_the_nearest_common_frame) {
    const auto cat = catalog_of(kKernel);
    // B -> A: one step up, never through GALACTIC or J2000.
    auto p = cat->path(-11, -10);
    ASSERT_TRUE(p.has_value());
    ASSERT_EQ(p->n, 1u);
    EXPECT_TRUE(p->steps[0].up);
    EXPECT_EQ(p->steps[0].node->info.code, -11);
    // The quaternion (0, 0, 0, 2) is a half turn about z, once normalised.
    auto x = evaluate_path(*p, nullptr, 0.0, true);
    ASSERT_TRUE(x.has_value());
    EXPECT_NEAR(x->r[0][0], -1.0, 1e-16);
    EXPECT_NEAR(x->r[2][2], 1.0, 1e-16);
    // A -> FK4: built-in inertial frames hang from J2000 each, so the chain
    // is A up, GALACTIC up, FK4 down.
    auto q = cat->path(-10, 3);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->n, 3u);
    EXPECT_EQ(cat->node(-11)->info.center, 399);  // a centre given by name
    EXPECT_EQ(cat->code_of(" b "), -11);
}

struct Refusal {
    std::int32_t code;
    FrameError::Kind kind;
    const char* words;
};

TEST(frames_test, unusable_frames_are_refused_by_kind) {
    const auto cat = catalog_of(kKernel);
    for (const Refusal& r : {Refusal{-12, FrameError::Kind::Malformed, "cycle"},
                             Refusal{-13, FrameError::Kind::Malformed, "determinant -1"},
                             Refusal{-15, FrameError::Kind::Malformed, "TKFRAME_-15_UNITS is 'FURLONGS'"},
                             Refusal{-99, FrameError::Kind::Unknown, "unknown frame code -99"}}) {
        auto p = cat->path(1, r.code);
        ASSERT_FALSE(p.has_value()) << r.code;
        EXPECT_EQ(p.error().kind(), r.kind) << p.error().message();
        EXPECT_NE(p.error().message().find(r.words), std::string::npos) << p.error().message();
    }
    // A CK frame is planned, and without a CK source fails at evaluation.
    auto ck = cat->path(1, -14);
    ASSERT_TRUE(ck.has_value());
    auto y = evaluate_path(*ck, nullptr, 0.0, false);
    ASSERT_FALSE(y.has_value());
    EXPECT_EQ(y.error().kind(), FrameError::Kind::MissingKernel);
    EXPECT_NE(y.error().message().find("class 3 CK, defined in test.tf): no C-kernels are loaded"), std::string::npos)
        << y.error().message();
    // A PCK frame without constants fails at evaluation, naming the variables.
    auto p = cat->path(1, 10014);
    ASSERT_TRUE(p.has_value());
    auto x = evaluate_path(*p, nullptr, 0.0, false);
    ASSERT_FALSE(x.has_value());
    EXPECT_EQ(x.error().kind(), FrameError::Kind::MissingKernel);
    EXPECT_NE(x.error().message().find("BODY499_POLE_RA"), std::string::npos);
}

}  // namespace
}  // namespace kernwerk
