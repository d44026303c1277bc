// A private debugging entry: evaluates one segment of an SPK file with the
// core's evaluator of its type, outside any kernel set.
//   _segment_states(path, index, ets) -> float64 array of shape (len(ets), 6)
// Covers the types with their own file pair under core/src (1, 5, 8, 12, 14,
// 15, 17, 18, 19, 20, 21); the segment's coverage is not applied.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <vector>

#include "ext.hpp"
#include "spk.hpp"
#include "spk_type01.hpp"
#include "spk_type05.hpp"
#include "spk_type08_12.hpp"
#include "spk_type14.hpp"
#include "spk_type15.hpp"
#include "spk_type17.hpp"
#include "spk_type18_19.hpp"
#include "spk_type20.hpp"
#include "spk_type21.hpp"

namespace kernwerk::ext {

namespace {

using Epochs = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

[[noreturn]] void raise(const SpkError& e) {
    if (e.daf() && e.daf()->kind() == DafError::Kind::Io) fail(ErrorKind::File, e.message());
    fail(ErrorKind::FileFormat, e.message());
}

template <class Payload>
void evaluate_all(const DafFile& daf, std::uint32_t begin, std::uint32_t end, const double* ets, std::size_t n,
                  double* out) {
    auto p = Payload::open(daf, begin, end);
    if (!p) raise(p.error());
    for (std::size_t i = 0; i < n; ++i) {
        auto s = p->evaluate(ets[i]);
        if (!s) raise(s.error());
        std::memcpy(out + 6 * i, s->data(), 6 * sizeof(double));
    }
}

nb::object segment_states(const std::string& path, std::size_t index, Epochs ets) {
    auto daf = DafFile::open(path);
    if (!daf) fail(ErrorKind::File, daf.error().message());
    auto sums = daf->summaries();
    if (!sums) fail(ErrorKind::FileFormat, sums.error().message());
    if (index >= sums->size() || (*sums)[index].ints.size() < 6) fail(ErrorKind::Value, "no such SPK segment");
    const Summary& s = (*sums)[index];
    const auto begin = static_cast<std::uint32_t>(s.ints[4]), end = static_cast<std::uint32_t>(s.ints[5]);
    const std::size_t n = ets.shape(0);
    auto* out = new double[6 * n];
    nb::capsule owner(out, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double* e = ets.data();
        switch (s.ints[3]) {
            case 1: evaluate_all<SpkType1>(*daf, begin, end, e, n, out); break;
            case 5: evaluate_all<SpkType5>(*daf, begin, end, e, n, out); break;
            case 8: evaluate_all<SpkType8>(*daf, begin, end, e, n, out); break;
            case 12: evaluate_all<SpkType12>(*daf, begin, end, e, n, out); break;
            case 14: evaluate_all<SpkType14>(*daf, begin, end, e, n, out); break;
            case 15: evaluate_all<SpkType15>(*daf, begin, end, e, n, out); break;
            case 17: evaluate_all<SpkType17>(*daf, begin, end, e, n, out); break;
            case 18: evaluate_all<SpkType18>(*daf, begin, end, e, n, out); break;
            case 19: evaluate_all<SpkType19>(*daf, begin, end, e, n, out); break;
            case 20: evaluate_all<SpkType20>(*daf, begin, end, e, n, out); break;
            case 21: evaluate_all<SpkType21>(*daf, begin, end, e, n, out); break;
            default: raise(SpkError::unsupported_type(s.ints[3]));
        }
    }
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<2>>(out, {n, 6}, owner));
}

}  // namespace

void register_segments(nb::module_& m) {
    m.def("_segment_states", &segment_states, nb::arg("path"), nb::arg("index"), nb::arg("ets"),
          "States of segment `index` of the SPK at `path` at TDB epochs `ets`, with the core's evaluator of its "
          "type (private; coverage not applied).");
}

}  // namespace kernwerk::ext
