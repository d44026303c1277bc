// The binary states of event searches, as the toolkit's geometry finder
// defines them, each evaluated through the batch of its geometry:
//   * occultation (gfoclt): `back` occulted by `front` seen from the
//     observer, with the codes of occult_batch (geometry/occult.hpp) for
//     first = back, second = front: FULL -3 (back wholly hidden, or a point
//     back behind the front's disk), ANNULAR -2 (back's disk around front's),
//     PARTIAL -1, ANY any of these. The front target must be an ellipsoid;
//     a point back target takes ANY only (as the toolkit);
//   * a target in a field of view (gftfov): fov_target_batch (point or
//     ellipsoid target);
//   * a ray in a field of view (gfrfov): fov_ray_batch, one ray in a frame.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "events/search.hpp"
#include "geometry/fov.hpp"
#include "geometry/occult.hpp"

namespace kernwerk::events {

enum class OccultationType : std::uint8_t { Full, Annular, Partial, Any };
// "FULL", "ANNULAR", "PARTIAL", "ANY" (case and blanks around ignored).
std::optional<OccultationType> parse_occultation_type(std::string_view text) noexcept;
inline constexpr const char* kAcceptedOccultationTypes = "FULL, ANNULAR, PARTIAL, ANY";

// Refuses (Value) a point front target and a type a point back target
// cannot show; the geometry's own refusals (the same body twice, an
// observer that is a target, a frame not centred on its body) come from a
// first evaluation. The snapshot must outlive the condition.
std::expected<std::unique_ptr<Condition>, KernelSetError> occultation_condition(const KernelSnapshot& snap,
                                                                               OccultationType type,
                                                                               const OccultTarget& front,
                                                                               const OccultTarget& back,
                                                                               std::int32_t observer,
                                                                               Correction correction);

struct FovTargetQuery {
    std::int32_t instrument = 0, target = 0, observer = 0;
    bool ellipsoid = false;
    std::int32_t target_frame = 0;  // ellipsoid: its body-fixed frame
    Correction correction = Correction::None;
};
std::unique_ptr<Condition> target_in_fov_condition(const KernelSnapshot& snap, const FovTargetQuery& q);

struct FovRayQuery {
    std::int32_t instrument = 0, observer = 0, ray_frame = 1;
    Vec3 ray{};
    bool stellar = false, transmission = false;  // the S and XS corrections
};
std::unique_ptr<Condition> ray_in_fov_condition(const KernelSnapshot& snap, const FovRayQuery& q);

}  // namespace kernwerk::events
