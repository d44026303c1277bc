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
