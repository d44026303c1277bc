// Bindings of the kernel set: the low-level class `_ext.KernelSet` under the
// package's `kernwerk.Kernels`.
//
// Paths cross as bytes (os.fsencode), so that any file name the system
// accepts reaches the core unchanged. Epoch arrays are read in place through
// their stride; results are written straight into an array the caller
// allocated. Batches run without the interpreter lock on a snapshot of the
// set taken before it is released, so a load or unload on another thread
// cannot disturb them.
#include "set_support.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sets/file_cache.hpp"
#include "sets/kernel_set.hpp"

namespace kernwerk::ext {

namespace {

using StateRows = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Transforms = nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;


const char* kind_name(KernelKind k) noexcept {
    switch (k) {
        case KernelKind::Spk: return "spk";
        case KernelKind::Pck: return "pck";
        case KernelKind::Text: return "text";
        case KernelKind::Ck: return "ck";
    }
    return "?";
}

// A variable missing from the pool means the text kernel that gives it is
// not loaded; a variable of the wrong kind is data the query cannot use.
[[noreturn]] void raise_pool(const PoolError& e) {
    fail(e.kind() == PoolError::Kind::Missing ? ErrorKind::MissingKernel : ErrorKind::FileFormat, e.message());
}

class PyKernelSet {
public:
    void load(const std::vector<nb::bytes>& paths) {
        std::vector<std::string> p;
        p.reserve(paths.size());
        for (const nb::bytes& b : paths) p.emplace_back(b.c_str(), b.size());
        std::expected<void, KernelSetError> r;
        {
            nb::gil_scoped_release release;
            r = set_.load(p);
        }
        if (!r) raise(r.error());
    }

    bool unload(const nb::bytes& path) {
        auto r = set_.unload(std::string(path.c_str(), path.size()));
        if (!r) raise(r.error());
        return *r;
    }
    void clear() { set_.clear(); }

    // (path, kind, meta) in load order: kind "meta" for a meta-kernel; meta
    // the path of the meta-kernel that listed the file, or None.
    std::vector<std::tuple<nb::bytes, std::string, std::optional<nb::bytes>>> files() const {
        std::vector<std::tuple<nb::bytes, std::string, std::optional<nb::bytes>>> out;
        for (const auto& f : set_.snapshot()->files()) {
            std::optional<nb::bytes> meta;
            if (!f.meta.empty()) meta = nb::bytes(f.meta.data(), f.meta.size());
            out.emplace_back(nb::bytes(f.path.data(), f.path.size()), f.is_meta ? "meta" : kind_name(f.kernel->kind),
                             std::move(meta));
        }
        return out;
    }

    std::vector<std::pair<std::string, std::int32_t>> body_bindings() const {
        std::vector<std::pair<std::string, std::int32_t>> out;
        for (const BodyBinding& b : set_.snapshot()->body_bindings()) out.emplace_back(b.name, b.code);
        return out;
    }

    nb::object leapseconds() const {
        auto snap = set_.snapshot();
        const LeapSecondsFields* ls = snap->leapseconds();
        if (!ls) return nb::none();
        nb::list delta_at;
        for (const DeltaAtEntry& e : ls->delta_at)
            delta_at.append(nb::make_tuple(e.leap_seconds, nb::make_tuple(e.date.year, int(e.date.month), int(e.date.day))));
        nb::dict d;
        d["DELTA_T_A"] = ls->delta_t_a;
        d["K"] = ls->k;
        d["EB"] = ls->eb;
        d["M"] = nb::make_tuple(ls->m[0], ls->m[1]);
        d["DELTA_AT"] = delta_at;
        return d;
    }

    std::vector<std::int32_t> bodies() const { return set_.snapshot()->bodies(); }

    std::vector<std::pair<double, double>> coverage(std::int32_t body) const {
        return set_.snapshot()->coverage(body);
    }

    std::vector<std::pair<double, double>> pck_coverage(std::int32_t body_frame) const {
        return set_.snapshot()->pck_coverage(body_frame);
    }

    std::tuple<double, double, double, double, double, double> state_one(std::int32_t target, std::int32_t center,
                                                                          std::int32_t frame, double et) const {
        const OutputFrame f = frame_of(frame);
        auto snap = set_.snapshot();
        check_before(*snap);
        auto s = snap->state(target, center, f, et);
        check_unchanged_for_bodies(*snap, target, center);
        if (!s) raise(s.error());
        const State& v = *s;
        return {v[0], v[1], v[2], v[3], v[4], v[5]};
    }

    void state(std::int32_t target, std::int32_t center, std::int32_t frame, const Epochs& ets, StateRows out,
               unsigned threads, const std::vector<std::size_t>& shape) const {
        const OutputFrame f = frame_of(frame);
        if (out.shape(0) != ets.shape(0) || out.shape(1) != 6)
            fail(ErrorKind::Value, "out must have shape (" + std::to_string(ets.shape(0)) + ", 6)");
        auto snap = set_.snapshot();
        check_before(*snap);
        std::expected<void, BatchFailure> r;
        {
            nb::gil_scoped_release release;
            r = snap->state_batch(target, center, f, view_of(ets), out.data(), threads);
        }
        check_unchanged_for_bodies(*snap, target, center);
        if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
    }

    void sxform(bool inverse, const Epochs& ets, Transforms out, unsigned threads,
                const std::vector<std::size_t>& shape) const {
        if (out.shape(0) != ets.shape(0) || out.shape(1) != 6 || out.shape(2) != 6)
            fail(ErrorKind::Value, "out must have shape (" + std::to_string(ets.shape(0)) + ", 6, 6)");
        auto snap = set_.snapshot();
        check_before(*snap);
        std::expected<void, BatchFailure> r;
        {
            nb::gil_scoped_release release;
            r = snap->j2000_to_itrf93_batch(view_of(ets), out.data(), inverse, threads);
        }
        check_unchanged_for_frames(*snap);
        if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
    }

    // The code of a frame name, or None.
    std::optional<std::int32_t> frame_code(const std::string& name) const {
        return set_.snapshot()->frames().code_of(name);
    }

    // (name, code, class, class id, centre, source path) of a frame, or None.
    nb::object frame_info(std::int32_t code) const {
        auto snap = set_.snapshot();
        const FrameNode* n = snap->frames().node(code);
        if (!n) return nb::none();
        const FrameInfo& f = n->info;
        return nb::make_tuple(f.name, f.code, f.frame_class, f.class_id, f.center,
                              nb::bytes(f.source.data(), f.source.size()));
    }

    // The code of a body's frame (OBJECT_<code>_FRAME, OBJECT_<name>_FRAME,
    // then the built-in PCK frame centred on it), or None.
    std::optional<std::int32_t> body_frame(std::int32_t body, const std::string& name) const {
        return set_.snapshot()->frames().body_frame(body, name);
    }

    // Rotations (out: (n, 3, 3)) or state transforms (six; (n, 6, 6)) from
    // frame `from` to frame `to`.
    void frame_transform(std::int32_t from, std::int32_t to, bool six, const Epochs& ets, Transforms out,
                         unsigned threads, const std::vector<std::size_t>& shape) const {
        const std::size_t w = six ? 6 : 3;
        if (out.shape(0) != ets.shape(0) || out.shape(1) != w || out.shape(2) != w)
            fail(ErrorKind::Value, "out must have shape (" + std::to_string(ets.shape(0)) + ", " + std::to_string(w) +
                                       ", " + std::to_string(w) + ")");
        auto snap = set_.snapshot();
        std::expected<void, BatchFailure> r;
        {
            nb::gil_scoped_release release;
            r = snap->frame_transform_batch(from, to, view_of(ets), out.data(), six, threads);
        }
        check_unchanged_for_frames(*snap);
        if (!r) raise(r.error().error, index_suffix(r.error().index, shape));
    }

    // (target, center, frame, data type, segment name, file path, segment
    // index, subtracted) for each link that answers the query at `et`.
    nb::list resolve(std::int32_t target, std::int32_t center, double et) const {
        auto snap = set_.snapshot();
        check_before(*snap);
        auto links = snap->resolve(target, center, et);
        check_unchanged_for_bodies(*snap, target, center);
        if (!links) raise(links.error());
        nb::list out;
        for (const ChainLink& l : *links) {
            const SpkSegment& s = *l.ref.segment;
            const std::string& path = snap->files()[static_cast<std::size_t>(l.ref.file)].path;
            out.append(nb::make_tuple(s.target, s.center, s.frame, s.data_type, s.name,
                                      nb::bytes(path.data(), path.size()), l.ref.index, l.center_side));
        }
        return out;
    }

    // (is_text, values) of a pool variable.
    nb::tuple pool(const std::string& name) const {
        auto snap = set_.snapshot();
        const PoolVariable* v = snap->pool().find(name);
        if (!v) raise_pool(PoolError::missing(name));
        if (v->is_text) {
            nb::list out;
            for (const std::string& t : v->strings) out.append(nb::str(t.data(), t.size()));
            return nb::make_tuple(true, out);
        }
        return nb::make_tuple(false, nb::cast(v->numbers));
    }

    std::vector<std::string> pool_names(const std::string& prefix) const {
        return set_.snapshot()->pool().names_with_prefix(prefix);
    }

    std::vector<double> body_constant(std::int32_t body, const std::string& item, const std::string& label) const {
        auto snap = set_.snapshot();
        auto v = kernwerk::body_constant(snap->pool(), body, item, label);
        if (!v) raise_pool(v.error());
        return {v->begin(), v->end()};
    }

    bool longitude_positive_west(std::int32_t body, const std::string& label) const {
        auto snap = set_.snapshot();
        auto v = kernwerk::longitude_positive_west(snap->pool(), body, label);
        if (!v) raise_pool(v.error());
        return *v;
    }

    std::shared_ptr<const KernelSnapshot> snapshot() const { return set_.snapshot(); }

private:
    KernelSet set_;
};

}  // namespace

std::shared_ptr<const KernelSnapshot> kernel_set_snapshot(nb::handle set) {
    return nb::cast<const PyKernelSet&>(set).snapshot();
}

void register_kernel_set(nb::module_& m) {
    nb::class_<PyKernelSet>(m, "KernelSet",
                            "Low-level kernel set (use kernwerk.Kernels). Paths are bytes; bodies and frames are "
                            "NAIF codes; epochs TDB seconds past J2000; states km and km/s.")
        .def(nb::init<>())
        .def("load", &PyKernelSet::load, nb::arg("paths"),
             "Open the files and add them on top of the set, in order (all or nothing).")
        .def("unload", &PyKernelSet::unload, nb::arg("path"), "Remove a file; False when it is not in the set.")
        .def("clear", &PyKernelSet::clear, "Remove every file.")
        .def("files", &PyKernelSet::files, "(path, kind, meta) of every file in load order; kind is spk, pck, text or meta "
             "(a meta-kernel), meta the path of the meta-kernel that listed the file or None.")
        .def("body_bindings", &PyKernelSet::body_bindings, "(name, code) bindings of the text kernels in load order.")
        .def("leapseconds", &PyKernelSet::leapseconds,
             nb::sig("def leapseconds(self) -> dict[str, typing.Any] | None"),
             "The leapseconds fields of the last loaded text kernel that defines them, or None.")
        .def("bodies", &PyKernelSet::bodies, "Codes of the bodies that are the target of a segment, ascending.")
        .def("coverage", &PyKernelSet::coverage, nb::arg("body"),
             "Merged coverage of a body's segments: sorted, disjoint closed intervals [start, end].")
        .def("pck_coverage", &PyKernelSet::pck_coverage, nb::arg("body_frame"),
             "Merged coverage of the binary PCK segments of a body frame (3000 for ITRF93).")
        .def("state_one", &PyKernelSet::state_one, nb::arg("target"), nb::arg("center"), nb::arg("frame"),
             nb::arg("et"), "One state as a tuple of six floats.")
        .def("state", &PyKernelSet::state, nb::arg("target"), nb::arg("center"), nb::arg("frame"), nb::arg("ets"),
             nb::arg("out"), nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
             "States at every epoch of `ets` (float64, any stride) into the rows of `out` (C-contiguous (n, 6) "
             "float64). threads=0 chooses; `shape` only formats the index of a failing epoch.")
        .def("sxform", &PyKernelSet::sxform, nb::arg("inverse"), nb::arg("ets"), nb::arg("out"),
             nb::arg("threads") = 0, nb::arg("shape") = std::vector<std::size_t>{},
             "J2000 -> ITRF93 state transforms (ITRF93 -> J2000 when inverse) into `out`, shape (n, 6, 6).")
        .def("frame_code", &PyKernelSet::frame_code, nb::arg("name"),
             "The code of a frame name (any case), or None when the set knows no such frame.")
        .def("frame_info", &PyKernelSet::frame_info, nb::arg("code"),
             nb::sig("def frame_info(self, code: int) -> tuple[str, int, int, int, int, bytes] | None"),
             "(name, code, class, class id, centre, defining kernel path or b'') of a frame, or None.")
        .def("body_frame", &PyKernelSet::body_frame, nb::arg("body"), nb::arg("name"),
             "The code of a body's frame (OBJECT_<code>_FRAME, then OBJECT_<name>_FRAME, then the built-in "
             "body-fixed frame centred on it), or None.")
        .def("frame_transform", &PyKernelSet::frame_transform, nb::arg("from_frame"), nb::arg("to_frame"),
             nb::arg("six"), nb::arg("ets"), nb::arg("out"), nb::arg("threads") = 0,
             nb::arg("shape") = std::vector<std::size_t>{},
             "Rotations (out (n, 3, 3)) or, when six, state transforms (out (n, 6, 6)) between two frames.")
        .def("resolve", &PyKernelSet::resolve, nb::arg("target"), nb::arg("center"), nb::arg("et"),
             nb::sig("def resolve(self, target: int, center: int, et: float) -> "
                     "list[tuple[int, int, int, int, str, bytes, int, bool]]"),
             "The segments that answer a query at `et`: (target, center, frame, data type, name, path, "
             "index in file, subtracted) for each.")
        .def("pool", &PyKernelSet::pool, nb::arg("name"),
             nb::sig("def pool(self, name: str) -> tuple[bool, list[str] | list[float]]"),
             "(is_text, values) of a kernel pool variable (name case-sensitive); MissingKernelError when absent.")
        .def("pool_names", &PyKernelSet::pool_names, nb::arg("prefix"),
             "Names of the pool variables that start with `prefix`, sorted.")
        .def("body_constant", &PyKernelSet::body_constant, nb::arg("body"), nb::arg("item"), nb::arg("label"),
             "The numbers of BODY<body>_<item>; `label` names the body in errors.")
        .def("longitude_positive_west", &PyKernelSet::longitude_positive_west, nb::arg("body"), nb::arg("label"),
             "Whether planetographic longitude is positive west for the body, as the toolkit decides it.")
        .def_static("open_file_count", &open_kernel_count,
                    "Kernel files held open in this process (each is opened once, however many sets hold it).");
}

}  // namespace kernwerk::ext
