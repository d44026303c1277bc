// libFuzzer target: the DAF summary walk, the SPK catalogue and state queries.
//
// The input is the kernel file itself. Its last 32 bytes, read as four
// doubles, are also used as query epochs (besides each segment's start, end
// and middle), so the fuzzer steers both the file and the epochs.
//
// The bytes are read twice: as NaifSpk reads them (Types 2, 3, 9 and 13) and
// as kernel sets read them (every type with a reader, Type 9 and 13 windows
// centred as the toolkit centres them). Every segment is evaluated through
// SpkFile::eval_segment, which dispatches over the payload variant: a new SPK
// type needs no change here once the catalogue builds its payload. Add a
// small file of the type to fuzz/corpus/spk/ (fuzz/make_seeds.py writes the
// committed seeds). The set's reading is also queried through a kernel
// snapshot (timelines, chains, batches), next to SpkFile's own queries.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "daf/daf.hpp"
#include "sets/file_cache.hpp"
#include "math/rotation.hpp"
#include "sets/kernel_set.hpp"
#include "spk/spk.hpp"

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

void evaluate_segments(const SpkFile& spk, const std::vector<double>& fuzzed,
                       const KernelSnapshot* snap) {
    const auto& segs = spk.segments();
    for (std::size_t i = 0; i < segs.size() && i < kMaxSegments; ++i) {
        const SpkSegment& s = segs[i];
        std::vector<double> ets = fuzzed;
        ets.insert(ets.end(), {s.start_et, s.end_et, s.start_et / 2 + s.end_et / 2});
        for (double et : ets) (void)SpkFile::eval_segment(s, et);
        if (i >= kMaxPairs) continue;
        if (!snap) {
            query_pairs(spk, ets);
            continue;
        }
        for (double et : ets) {
            (void)snap->state(s.target, s.center, OutputFrame::J2000, et);
            (void)snap->state(s.center, 0, OutputFrame::EclipJ2000, et);
        }
        std::vector<double> out(6 * ets.size());
        (void)snap->state_batch(s.target, s.center, OutputFrame::J2000, EpochView{ets.data(), 1, ets.size()},
                                out.data(), 1);
    }
}

// The kernel sets' reading of the bytes, queried through a snapshot holding
// them as its one file.
void kernel_set_reading(const DafFile& daf, const std::vector<double>& fuzzed) {
    auto spk = SpkFile::from_daf(daf, {SpkTypes::All, OddWindowCentre::Nearest});
    if (!spk) return;
    auto kernel = std::make_shared<OpenedKernel>();
    kernel->kind = KernelKind::Spk;
    kernel->path = "fuzz input";
    kernel->spk = std::make_unique<const SpkFile>(std::move(*spk));
    const KernelSnapshot snap({KernelSnapshot::File{"fuzz input", kernel}});
    evaluate_segments(*kernel->spk, fuzzed, &snap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto daf = DafFile::from_bytes({data, size});
    if (!daf) return 0;
    auto spk = SpkFile::from_daf(*daf);
    if (!spk) return 0;
    const std::vector<double> fuzzed = input_epochs({data, size});
    evaluate_segments(*spk, fuzzed, nullptr);
    kernel_set_reading(*daf, fuzzed);
    // A file from memory never changes under us.
    if (spk->changed()) __builtin_trap();
    return 0;
}
