// libFuzzer target: the C-kernel reader (segment checks of Types 1 to 6 at
// open, pointing of each, interval coverage), read as
// kernel sets read it (the toolkit's file records, big-endian images
// swapped at open). The input is the kernel file; its last 32 bytes double
// as four requests in ticks, besides each segment's start, end and middle,
// each asked at zero tolerance and at a tolerance of the segment's length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ck/ck.hpp"
#include "daf/daf.hpp"

using namespace kernwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<double> fuzzed;
    for (std::size_t k = 0; size >= 32 && k < 4; ++k) {
        double t;
        std::memcpy(&t, data + size - 32 + 8 * k, 8);
        fuzzed.push_back(t);
    }
    auto daf = DafFile::from_bytes({data, size}, DafRules::Toolkit);
    if (!daf) return 0;
    auto ck = CkFile::from_daf(*daf);
    if (!ck) return 0;
    const auto& segs = ck->segments();
    for (std::size_t i = 0; i < segs.size() && i < 64; ++i) {
        const CkSegment& s = segs[i];
        (void)s.intervals();
        std::vector<double> ts = fuzzed;
        ts.insert(ts.end(), {s.start, s.end, s.start / 2 + s.end / 2});
        for (double t : ts)
            for (double tol : {0.0, s.end - s.start}) (void)s.evaluate(t, tol);
    }
    return 0;
}
