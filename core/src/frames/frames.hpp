// The frame system: every frame a kernel set knows (the built-in inertial
// and PCK frames, and the frames of the loaded frame kernels), the tree they
// form (each frame below the frame it is defined against) and the rotations
// and state transforms between any two of them.
//
// What it relies on:
//   * each frame is reached from one parent: a built-in inertial frame from
//     J2000 by a fixed rotation, a PCK frame (class 2) from J2000 through its
//     orientation at the epoch (a binary PCK segment of its class id when one
//     covers the epoch, else the text PCK constants of the body), a TK frame
//     (class 4) from its TKFRAME_<id>_RELATIVE frame by a fixed rotation;
//   * a transform between two frames goes up from the source to the nearest
//     frame both chains share and down from there, as the toolkit does, so
//     frames below a common TK frame are never carried through J2000;
//   * CK (3), dynamic (5) and switch (6) frames are known by name and code,
//     but a transform that needs one is refused, naming the frame, its class
//     and the kernel that defined it;
//   * a chain is planned once (FramePath, no allocation) and evaluated at
//     each epoch; the evaluation allocates nothing.
// Text kernel variables read (names as the toolkit spells them):
//   FRAME_<name> = code; FRAME_<code>_NAME, _CLASS, _CLASS_ID, _CENTER;
//   TKFRAME_<code or name>_RELATIVE, _SPEC (MATRIX, ANGLES, QUATERNION),
//   _MATRIX, _ANGLES, _AXES, _UNITS, _Q;
//   BODY<id>_POLE_RA, _POLE_DEC, _PM, _NUT_PREC_RA, _NUT_PREC_DEC,
//   _NUT_PREC_PM, _NUT_PREC_ANGLES, _MAX_PHASE_DEGREE, _CONSTANTS_REF_FRAME,
//   _CONSTANTS_JED_EPOCH; OBJECT_<id or name>_FRAME.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "math/rotation.hpp"
#include "pck/pck.hpp"
#include "text/pool.hpp"

namespace kernwerk {

struct DynamicFrame;     // frames/dynamic.hpp
class BodyStateSource;   // frames/dynamic.hpp

class FrameError {
public:
    enum class Kind {
        Unknown,        // no frame of that name or code
        Unsupported,    // a frame of a class that cannot be evaluated here
        Malformed,      // a frame definition or constants that cannot be used
        Coverage,       // no orientation data at the epoch
        MissingKernel,  // no orientation data at all
        Epoch,          // a NaN epoch
        Data,           // orientation data that cannot be read (a PCK segment)
    };
    FrameError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Kind kind_;
    std::string message_;
};

struct FrameInfo {
    std::string name;
    std::int32_t code = 0;
    std::int32_t frame_class = 0;  // 1 inertial, 2 PCK, 3 CK, 4 TK, 5 dynamic, 6 switch
    std::int32_t class_id = 0;
    std::int32_t center = 0;
    std::string source;  // the kernel that defined the frame; empty for built-in frames
};

// The orientation of a body from text PCK constants: RA and DEC of the pole
// as polynomials in Julian centuries (36525 days) and the prime meridian W
// as a polynomial in days (86400 s) past the constants' epoch, each plus its
// nutation-precession series over the phase angles (sin for RA and W, cos
// for DEC); degrees throughout. The rotation from the constants' reference
// frame is R3(W) R1(90 - DEC) R3(90 + RA).
struct TextPckModel {
    std::int32_t body = 0;
    std::array<double, 3> ra{}, dec{}, pm{};
    std::vector<double> nut_ra, nut_dec, nut_pm;
    std::vector<double> angles;   // phase angles, `angle_terms` polynomial coefficients each
    std::size_t angle_terms = 2;  // 1 + the phase polynomials' degree
    double epoch = 0;             // TDB seconds past J2000 of the constants' epoch
    bool has_ref = false;
    Mat3 ref{};  // J2000 -> the constants' reference frame, when has_ref

    // The rotation from J2000 to the body frame at `et`; dr only when `rates`.
    RotationRate evaluate(double et, bool rates) const noexcept;
    // The same into `out`; out.dr is left as it is unless `rates`.
    void evaluate_into(double et, bool rates, RotationRate& out) const noexcept;
};

struct FrameNode {
    enum class Kind : std::uint8_t {
        Root,     // J2000
        Fixed,    // a fixed rotation from the parent (built-in inertial, TK)
        Pck,      // orientation from J2000 at the epoch
        Ck,       // orientation from J2000 at the epoch, from C-kernels (CkOrientationSource)
        Refused,  // a class that cannot be evaluated, or a broken definition: `error` at use
        Dynamic,  // a dynamic frame (class 5) from its parent: frames/dynamic.hpp
    };
    FrameInfo info;
    Kind kind = Kind::Refused;
    std::int32_t parent = 1;  // frame code (Fixed)
    Mat3 fixed{};             // parent -> this frame (Fixed)
    std::shared_ptr<const TextPckModel> text;  // Pck: the constants, when complete
    std::string text_error;                   // Pck: why there are none
    bool text_missing = false;                // Pck: none are loaded (rather than broken)
    std::string error;                        // Refused: the message at use
    std::shared_ptr<const DynamicFrame> dynamic;  // Dynamic: the definition
};

inline constexpr std::size_t kMaxFrameDepth = 32;

// A planned transform: steps applied in order, each either up (from a node's
// frame into its parent, the inverse of the node's transform) or down (from
// the parent into the node's frame).
struct FramePath {
    struct Step {
        const FrameNode* node = nullptr;
        bool up = false;
    };
    std::array<Step, 2 * kMaxFrameDepth> steps{};
    std::size_t n = 0;
    bool time_dependent = false;
    // Per PCK step, the binary PCK source's handle for its class id (see
    // prepare_path); looked up at each epoch while `prepared` is false.
    std::array<const void*, 2 * kMaxFrameDepth> pck{};
    bool prepared = false;
};

class CkOrientationSource;

// The binary PCK orientation of a body frame class id at an epoch; kernel
// sets answer it from their segments, highest precedence first.
class PckOrientationSource {
public:
    struct Found {
        EulerState euler;  // angles and rates of the segment
        Mat3 m;            // J2000 -> the segment's reference frame
        // euler[3..5] hold the angular velocity in the body-fixed frame
        // (PCK Type 3), not the angles' rates.
        bool body_rates = false;
    };
    virtual ~PckOrientationSource() = default;
    // The segments of `class_id`, found once per batch; nullptr when there
    // are none.
    virtual const void* prepare(std::int32_t class_id) const noexcept = 0;
    // Nothing when no segment of the prepared class id covers `et`.
    virtual std::expected<std::optional<Found>, FrameError> orientation(const void* prepared, double et) const = 0;
    // The orientation of CK frames that comes with this source, or null.
    virtual const CkOrientationSource* ck() const noexcept { return nullptr; }
    std::expected<std::optional<Found>, FrameError> orientation(std::int32_t class_id, double et) const {
        const void* h = prepare(class_id);
        if (!h) return std::nullopt;
        return orientation(h, et);
    }
    // States of bodies for two-vector dynamic frames; none by default.
    virtual const BodyStateSource* body_states() const noexcept { return nullptr; }
};

// The orientation of CK frames (class 3) at an epoch; kernel sets answer it
// from their C-kernels and spacecraft clocks.
class CkOrientationSource {
public:
    virtual ~CkOrientationSource() = default;
    // What a batch needs for the frames of CK class id `class_id` (their
    // segments, clock and the paths to the segments' frames), found once;
    // never null.
    virtual const void* prepare(std::int32_t class_id) const noexcept = 0;
    // The rotation from J2000 to the CK frame `node` at `et`, and its rate
    // when `rates` (out.dr is left as it is otherwise); false with `err`
    // set when no segment answers (naming the frame, the epoch and the
    // coverage there is) or the data cannot be used.
    virtual bool orientation(const void* prepared, const FrameNode& node, double et, bool rates, RotationRate& out,
                             std::optional<FrameError>& err) const = 0;
};

class FrameCatalog {
public:
    // Every built-in frame, then the frames the pool defines. Never fails:
    // a broken definition is kept and reported when a transform needs it.
    static std::shared_ptr<const FrameCatalog> build(const KernelPool& pool);

    // The code of a frame name (case and surrounding blanks do not matter).
    std::optional<std::int32_t> code_of(std::string_view name) const;
    const FrameNode* node(std::int32_t code) const noexcept;
    // The frame's name, or "frame <code>" for an unknown code.
    std::string name_of(std::int32_t code) const;
    // The frame a body's body-fixed quantities are given in: OBJECT_<id>_FRAME,
    // then OBJECT_<name>_FRAME (either a frame name or code), then the
    // built-in PCK frame centred on the body; nothing when none applies.
    std::optional<std::int32_t> body_frame(std::int32_t body, std::string_view body_name) const;

    // Whether every frame is J2000, a fixed rotation, a PCK frame, a CK
    // frame or a refused one: no transform then reads anything but binary
    // PCK, CK and text kernel data (never an SPK).
    bool orientation_data_only() const noexcept {
        for (const auto& [code, n] : nodes_)
            if (n.kind != FrameNode::Kind::Root && n.kind != FrameNode::Kind::Fixed &&
                n.kind != FrameNode::Kind::Pck && n.kind != FrameNode::Kind::Ck &&
                n.kind != FrameNode::Kind::Refused)
                return false;
        return true;
    }

    // The transform from `from` to `to`, planned once.
    std::expected<FramePath, FrameError> path(std::int32_t from, std::int32_t to) const;

private:
    static std::shared_ptr<const FrameCatalog> build_from(const KernelPool& pool);
    // Resolves the frames the dynamic frames name, refuses those that refer
    // to themselves, and plans their vectors' paths (frames/dynamic.cpp).
    void resolve_dynamic(const std::vector<std::int32_t>& codes);
    std::unordered_map<std::int32_t, FrameNode> nodes_;
    std::unordered_map<std::string, std::int32_t> by_name_;
    std::unordered_map<std::string, std::string> object_frames_;  // OBJECT_<key>_FRAME values, key upper case
};

// Looks up the binary PCK segments of every PCK step of `path` once.
void prepare_path(FramePath& path, const PckOrientationSource* pck) noexcept;

// The transform of `path` at `et` (not NaN): the rotation, and its rate when
// `rates`. `pck` answers binary PCK orientation (may be null: text only).
std::expected<RotationRate, FrameError> evaluate_path(const FramePath& path, const PckOrientationSource* pck,
                                                      double et, bool rates);
// The same into `out` (out.dr is left as it is unless `rates`); false with
// `err` set on failure. Allocates nothing on success.
bool evaluate_path(const FramePath& path, const PckOrientationSource* pck, double et, bool rates, RotationRate& out,
                   std::optional<FrameError>& err);

}  // namespace kernwerk
