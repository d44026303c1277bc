#include "events/conditions.hpp"

#include <cctype>
#include <string>
#include <vector>

namespace kernwerk::events {

namespace {

KernelSetError value_error(std::string m) { return KernelSetError(KernelSetError::Kind::Value, std::move(m)); }

class Occultation final : public Condition {
public:
    Occultation(const KernelSnapshot& s, OccultationType type, const OccultQuery& q) : snap_(s), type_(type), q_(q) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, std::uint8_t* holds,
                                               unsigned threads) const override {
        if (codes_.size() < n) codes_.resize(n);
        if (auto r = occult_batch(snap_, q_, EpochView{ets, 1, n}, codes_.data(), threads, &scratch_); !r) return r;
        for (std::size_t i = 0; i < n; ++i) {
            const int c = codes_[i];
            switch (type_) {
                case OccultationType::Full: holds[i] = c == -3; break;
                case OccultationType::Annular: holds[i] = c == -2; break;
                case OccultationType::Partial: holds[i] = c == -1; break;
                case OccultationType::Any: holds[i] = c < 0; break;
            }
        }
        return {};
    }

private:
    const KernelSnapshot& snap_;
    OccultationType type_;
    OccultQuery q_;
    mutable std::vector<std::int8_t> codes_;  // grown, never shrunk: one search at a time
    mutable OccultScratch scratch_;           // the same
};

class TargetInFov final : public Condition {
public:
    TargetInFov(const KernelSnapshot& s, const FovTargetQuery& q) : snap_(s), q_(q) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, std::uint8_t* holds,
                                               unsigned threads) const override {
        return fov_target_batch(snap_, q_.instrument, q_.target, q_.ellipsoid, q_.target_frame, q_.correction,
                                q_.observer, EpochView{ets, 1, n}, holds, threads);
    }

private:
    const KernelSnapshot& snap_;
    FovTargetQuery q_;
};

class RayInFov final : public Condition {
public:
    RayInFov(const KernelSnapshot& s, const FovRayQuery& q) : snap_(s), q_(q) {}
    std::expected<void, BatchFailure> evaluate(const double* ets, std::size_t n, std::uint8_t* holds,
                                               unsigned threads) const override {
        // One ray for every epoch (stride 0).
        return fov_ray_batch(snap_, q_.instrument, q_.ray_frame, q_.ray.data(), 0, q_.stellar, q_.transmission,
                             q_.observer, EpochView{ets, 1, n}, holds, threads);
    }

private:
    const KernelSnapshot& snap_;
    FovRayQuery q_;
};

}  // namespace

std::optional<OccultationType> parse_occultation_type(std::string_view text) noexcept {
    std::string s;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (s == "FULL") return OccultationType::Full;
    if (s == "ANNULAR") return OccultationType::Annular;
    if (s == "PARTIAL") return OccultationType::Partial;
    if (s == "ANY") return OccultationType::Any;
    return std::nullopt;
}

std::expected<std::unique_ptr<Condition>, KernelSetError> occultation_condition(const KernelSnapshot& snap,
                                                                               OccultationType type,
                                                                               const OccultTarget& front,
                                                                               const OccultTarget& back,
                                                                               std::int32_t observer,
                                                                               Correction correction) {
    if (front.point)
        return std::unexpected(value_error("the front target (body " + std::to_string(front.body) +
                                           ") must be an ELLIPSOID: a POINT occults nothing"));
    // As the toolkit: a point is hidden or not, so of the types only ANY
    // applies to it.
    if (back.point && type != OccultationType::Any)
        return std::unexpected(value_error("a POINT back target (body " + std::to_string(back.body) +
                                           ") is hidden or not: only the occultation type ANY applies to it"));
    const OccultQuery q{back, front, observer, correction};
    return std::unique_ptr<Condition>(std::make_unique<Occultation>(snap, type, q));
}

std::unique_ptr<Condition> target_in_fov_condition(const KernelSnapshot& snap, const FovTargetQuery& q) {
    return std::make_unique<TargetInFov>(snap, q);
}

std::unique_ptr<Condition> ray_in_fov_condition(const KernelSnapshot& snap, const FovRayQuery& q) {
    return std::make_unique<RayInFov>(snap, q);
}

}  // namespace kernwerk::events
