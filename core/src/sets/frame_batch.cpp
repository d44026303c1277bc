// Frame transform batches: the chain between two frames planned once, then
// evaluated at every epoch over threads.
#include <atomic>
#include <cmath>

#include "sets/kernel_set.hpp"

namespace kernwerk {

std::expected<void, BatchFailure> KernelSnapshot::frame_transform_batch(std::int32_t from, std::int32_t to,
                                                                        EpochView ets, double* out, bool six,
                                                                        unsigned threads) const {
    if (ets.size == 0) return {};
    const std::string what = std::string(six ? "state transform" : "rotation") + " from " + frames_->name_of(from) +
                             " to " + frames_->name_of(to);
    auto planned = frames_->path(from, to);
    if (!planned) return std::unexpected(BatchFailure{0, frame_error(planned.error(), what)});
    const PckOrientationSource* pck = pck_source_.get();
    prepare_path(*planned, pck);
    const FramePath& path = *planned;
    const std::size_t width = six ? 36 : 9;
    // One body-fixed frame from its text PCK constants, with no binary PCK
    // segment of its class id in the set (IAU_MARS <-> J2000): its model
    // evaluated straight into the rows, transposed for the step up; the
    // values evaluate_path gives, without its per-epoch step dispatch.
    const FrameNode* only = path.n == 1 ? path.steps[0].node : nullptr;
    if (only && only->kind == FrameNode::Kind::Pck && only->text && path.prepared && !path.pck[0]) {
        const TextPckModel& model = *only->text;
        const bool up = path.steps[0].up;
        return run_batch(ets.size, threads,
                         [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest)
                             -> std::optional<BatchFailure> {
                             RotationRate x{};
                             for (std::size_t i = b; i < e; ++i) {
                                 if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
                                 const double et = ets[i];
                                 if (std::isnan(et)) [[unlikely]]
                                     return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch,
                                                                           what + ": the epoch is NaN")};
                                 model.evaluate_into(et, six, x);
                                 double* o = out + width * i;
                                 for (int r = 0; r < 3; ++r)
                                     for (int c = 0; c < 3; ++c) {
                                         const double v = up ? x.r[c][r] : x.r[r][c];
                                         if (!six) {
                                             o[3 * r + c] = v;
                                             continue;
                                         }
                                         o[6 * r + c] = v;
                                         o[6 * r + c + 3] = 0.0;
                                         o[6 * (r + 3) + c] = up ? x.dr[c][r] : x.dr[r][c];
                                         o[6 * (r + 3) + c + 3] = v;
                                     }
                             }
                             return std::nullopt;
                         });
    }
    return run_batch(ets.size, threads,
                     [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest) -> std::optional<BatchFailure> {
                         RotationRate x{};
                         std::optional<FrameError> err;
                         for (std::size_t i = b; i < e; ++i) {
                             if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) return std::nullopt;
                             const double et = ets[i];
                             if (std::isnan(et)) [[unlikely]]
                                 return BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch,
                                                                       what + ": the epoch is NaN")};
                             if (!evaluate_path(path, pck, et, six, x, err)) [[unlikely]]
                                 return BatchFailure{i, frame_error(*err, what + " at et " + format_double(et))};
                             double* o = out + width * i;
                             if (six) {
                                 for (int r = 0; r < 3; ++r)
                                     for (int c = 0; c < 3; ++c) {
                                         o[6 * r + c] = x.r[r][c];
                                         o[6 * r + c + 3] = 0.0;
                                         o[6 * (r + 3) + c] = x.dr[r][c];
                                         o[6 * (r + 3) + c + 3] = x.r[r][c];
                                     }
                             } else {
                                 for (int r = 0; r < 3; ++r)
                                     for (int c = 0; c < 3; ++c) o[3 * r + c] = x.r[r][c];
                             }
                         }
                         return std::nullopt;
                     });
}

}  // namespace kernwerk
