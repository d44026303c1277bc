#include "sets/dynamic_states.hpp"

#include <atomic>

#include "sets/kernel_set.hpp"

namespace kernwerk {

namespace {
std::atomic<CorrectedStateFn> corrected{nullptr};

FrameError as_frame_error(const KernelSetError& e) {
    using K = KernelSetError::Kind;
    FrameError::Kind k = FrameError::Kind::Data;
    switch (e.kind()) {
        case K::Coverage: k = FrameError::Kind::Coverage; break;
        case K::MissingKernel: k = FrameError::Kind::MissingKernel; break;
        case K::Epoch: k = FrameError::Kind::Epoch; break;
        case K::Frame: k = FrameError::Kind::Malformed; break;
        default: break;
    }
    return FrameError(k, e.message());
}
}  // namespace

void install_corrected_states(CorrectedStateFn fn) noexcept { corrected.store(fn); }

std::expected<State, FrameError> SnapshotStateSource::state(std::int32_t target, std::int32_t observer, double et,
                                                            VectorCorrection correction) const {
    if (correction == VectorCorrection::None) {
        State s;
        if (auto f = snap_.state_rows(target, observer, &et, 1, s.data())) return std::unexpected(as_frame_error(f->error));
        return s;
    }
    const CorrectedStateFn fn = corrected.load();
    if (!fn)
        return std::unexpected(FrameError(FrameError::Kind::Unsupported,
                                          "aberration-corrected vectors need the geometry layer, which is not installed"));
    auto s = fn(snap_, target, observer, et, correction);
    if (!s) return std::unexpected(as_frame_error(s.error()));
    return *s;
}

std::expected<void, FrameError> SnapshotStateSource::states(std::int32_t target, std::int32_t observer,
                                                            const double* ets, std::size_t n, State* out,
                                                            VectorCorrection correction) const {
    if (correction != VectorCorrection::None) return BodyStateSource::states(target, observer, ets, n, out, correction);
    // One plan for the epochs (the differences of a velocity vector).
    static_assert(sizeof(State) == 6 * sizeof(double));
    if (auto f = snap_.state_rows(target, observer, ets, n, out[0].data())) return std::unexpected(as_frame_error(f->error));
    return {};
}

}  // namespace kernwerk
