// Frame transform batches: the chain between two frames planned once, then
// evaluated at every epoch over threads.
//
// Each epoch's rows are assembled in a local block and then stored. A batch
// whose output is larger than the caches hold (kStreamBytes) stores them
// with non-temporal stores: the output is not read back by the batch, and
// ordinary stores would first read every line they fill (a 6x6 transform is
// 288 bytes per epoch, more than the evaluation's own memory traffic). The
// stored values are the same bits either way; each chunk ends with a store
// fence so that the rows are visible when the batch returns.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "sets/kernel_set.hpp"

namespace kernwerk {

namespace {

constexpr std::size_t kStreamBytes = std::size_t{4} << 20;

// `n` doubles from `src` into `dst` (8-byte aligned), past the caches.
inline void stream_doubles(double* dst, const double* src, int n) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    int j = 0;
    const auto one = [&](int k) {
        long long bits;
        std::memcpy(&bits, src + k, sizeof bits);
        _mm_stream_si64(reinterpret_cast<long long*>(dst + k), bits);
    };
    if ((reinterpret_cast<std::uintptr_t>(dst) & 15) != 0) one(j++);
    for (; j + 1 < n; j += 2) _mm_stream_pd(dst + j, _mm_loadu_pd(src + j));
    if (j < n) one(j);
#else
    std::memcpy(dst, src, sizeof(double) * static_cast<std::size_t>(n));
#endif
}

inline void store_fence() noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_sfence();
#endif
}

// The rows of `x` (transposed when `up`) into `o`: 3x3, or the 6x6
// [[R, 0], [dR, R]] when `six`.
template <bool six, bool up>
inline void rows_of(const RotationRate& x, double* o) noexcept {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const double v = up ? x.r[c][r] : x.r[r][c];
            if constexpr (!six) {
                o[3 * r + c] = v;
            } else {
                o[6 * r + c] = v;
                o[6 * r + c + 3] = 0.0;
                o[6 * (r + 3) + c] = up ? x.dr[c][r] : x.dr[r][c];
                o[6 * (r + 3) + c + 3] = v;
            }
        }
}

// The epoch loop of one chunk: `eval(et, x, i)` fills x (false on failure,
// having set the chunk's failure), then the rows are stored.
template <bool six, bool up, typename Eval>
std::optional<BatchFailure> chunk_loop(std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest,
                                       EpochView ets, double* out, bool stream, const std::string& what,
                                       Eval&& eval) {
    constexpr int width = six ? 36 : 9;
    RotationRate x{};
    alignas(16) double block[width];
    std::optional<BatchFailure> failed;
    for (std::size_t i = b; i < e; ++i) {
        if ((i & 1023) == 0 && lowest.load(std::memory_order_relaxed) < b) break;
        const double et = ets[i];
        if (std::isnan(et)) [[unlikely]] {
            failed = BatchFailure{i, KernelSetError(KernelSetError::Kind::Epoch, what + ": the epoch is NaN")};
            break;
        }
        if (!eval(et, x, i, failed)) [[unlikely]]
            break;
        double* o = out + width * i;
        if (stream) {
            rows_of<six, up>(x, block);
            stream_doubles(o, block, width);
        } else {
            rows_of<six, up>(x, o);
        }
    }
    if (stream) store_fence();
    return failed;
}

}  // namespace

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
    const bool stream = ets.size * width * sizeof(double) >= kStreamBytes &&
                        (reinterpret_cast<std::uintptr_t>(out) & 7) == 0;
    // One body-fixed frame from its text PCK constants, with no binary PCK
    // segment of its class id in the set (IAU_MARS <-> J2000): its model
    // evaluated straight into the rows, transposed for the step up; the
    // values evaluate_path gives, without its per-epoch step dispatch.
    const FrameNode* only = path.n == 1 ? path.steps[0].node : nullptr;
    if (only && only->kind == FrameNode::Kind::Pck && only->text && path.prepared && !path.pck[0]) {
        const TextPckModel& model = *only->text;
        const auto run = [&]<bool S, bool U>() {
            return run_batch(ets.size, threads,
                             [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest) {
                                 return chunk_loop<S, U>(b, e, lowest, ets, out, stream, what,
                                                         [&](double et, RotationRate& x, std::size_t,
                                                             std::optional<BatchFailure>&) {
                                                             model.evaluate_into(et, S, x);
                                                             return true;
                                                         });
                             });
        };
        const bool up = path.steps[0].up;
        if (six) return up ? run.template operator()<true, true>() : run.template operator()<true, false>();
        return up ? run.template operator()<false, true>() : run.template operator()<false, false>();
    }
    const auto run = [&]<bool S>() {
        return run_batch(ets.size, threads, [&](std::size_t b, std::size_t e, const std::atomic<std::size_t>& lowest) {
            std::optional<FrameError> err;
            return chunk_loop<S, false>(
                b, e, lowest, ets, out, stream, what,
                [&](double et, RotationRate& x, std::size_t i, std::optional<BatchFailure>& failed) {
                    if (evaluate_path(path, pck, et, S, x, err)) [[likely]]
                        return true;
                    failed = BatchFailure{i, frame_error(*err, what + " at et " + format_double(et))};
                    return false;
                });
        });
    };
    return six ? run.template operator()<true>() : run.template operator()<false>();
}

}  // namespace kernwerk
