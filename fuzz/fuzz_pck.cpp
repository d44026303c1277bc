// libFuzzer target: the binary PCK reader (segment list, Type 2 directories
// and Euler-angle evaluation), and the same file read as kernel sets read it
// (the toolkit's file records, big-endian images swapped at open, Types 3
// and 20). The input is the kernel file; its last 32 bytes double as four
// query epochs, besides each segment's start, end and middle.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "daf/daf.hpp"
#include "pck/pck.hpp"

using namespace kernwerk;

namespace {

void evaluate_all(const PckFile& pck, const std::vector<double>& fuzzed) {
    const auto& segs = pck.segments();
    for (std::size_t i = 0; i < segs.size() && i < 64; ++i) {
        const PckSegment& s = segs[i];
        std::vector<double> ets = fuzzed;
        ets.insert(ets.end(), {s.start_et, s.end_et, s.start_et / 2 + s.end_et / 2});
        for (double et : ets) (void)s.inertial_to_body(InertialFrame::J2000, et);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<double> fuzzed;
    for (std::size_t k = 0; size >= 32 && k < 4; ++k) {
        double et;
        std::memcpy(&et, data + size - 32 + 8 * k, 8);
        fuzzed.push_back(et);
    }
    if (auto toolkit = DafFile::from_bytes({data, size}, DafRules::Toolkit)) {
        (void)toolkit->comments();
        if (auto all = PckFile::from_daf(*toolkit, PckTypes::All)) evaluate_all(*all, fuzzed);
    }
    auto daf = DafFile::from_bytes({data, size});
    if (!daf) return 0;
    auto pck = PckFile::from_daf(*daf);
    if (!pck) return 0;
    const auto& segs = pck->segments();
    for (std::size_t i = 0; i < segs.size() && i < 64; ++i) {
        const PckSegment& s = segs[i];
        std::vector<double> ets = fuzzed;
        ets.insert(ets.end(), {s.start_et, s.end_et, s.start_et / 2 + s.end_et / 2});
        for (double et : ets) {
            if (s.type2) (void)s.type2->evaluate(et);
            if (i < 8) (void)pck->euler_state_with_ref(s.body_frame, et);
        }
    }
    return 0;
}
