// libFuzzer target: the DAF summary walk, the SPK catalogue and state queries.
//
// The input is the kernel file itself. Its last 32 bytes, read as four
// doubles, are also used as query epochs (besides each segment's start, end
// and middle), so the fuzzer steers both the file and the epochs.
//
// Every segment is evaluated through SpkFile::eval_segment, which dispatches
// over the payload variant: a new SPK type needs no change here once the
// catalogue builds its payload. Add a small file of the type to
// fuzz/corpus/spk/ (fuzz/make_seeds.py writes the committed seeds), and when
// a new reader (a kernel set) gets its own query path, call it next to
// SpkFile's in query_pairs().
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "daf.hpp"
#include "frame.hpp"
#include "spk.hpp"

using namespace kernwerk;

namespace {

// Bounds that keep one input fast: catalogues may hold thousands of segments.
constexpr std::size_t kMaxSegments = 64;
constexpr std::size_t kMaxPairs = 8;

std::vector<double> input_epochs(std::span<const std::uint8_t> data) {
    std::vector<double> ets;
    if (data.size() < 32) return ets;
    for (std::size_t k = 0; k < 4; ++k) {
        double et;
        std::memcpy(&et, data.data() + data.size() - 32 + 8 * k, 8);
        ets.push_back(et);
    }
    return ets;
}

void query_pairs(const SpkFile& spk, const std::vector<double>& ets) {
    const auto& segs = spk.segments();
    for (std::size_t i = 0; i < segs.size() && i < kMaxPairs; ++i) {
        const SpkSegment& s = segs[i];
        for (double et : ets) {
            (void)spk.state(s.target, s.center, et);
            (void)spk.state(s.center, s.target, et);
            (void)spk.state_in_frame(s.target, 0, InertialFrame::EclipJ2000, et);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto daf = DafFile::from_bytes({data, size});
    if (!daf) return 0;
    auto spk = SpkFile::from_daf(*daf);
    if (!spk) return 0;
    const std::vector<double> fuzzed = input_epochs({data, size});
    const auto& segs = spk->segments();
    for (std::size_t i = 0; i < segs.size() && i < kMaxSegments; ++i) {
        const SpkSegment& s = segs[i];
        std::vector<double> ets = fuzzed;
        ets.insert(ets.end(), {s.start_et, s.end_et, s.start_et / 2 + s.end_et / 2});
        for (double et : ets) (void)SpkFile::eval_segment(s, et);
        if (i < kMaxPairs) query_pairs(*spk, ets);
    }
    // A file from memory never changes under us.
    if (spk->changed()) __builtin_trap();
    return 0;
}
