// Bindings that read one kernel file by itself: its segments, read as a
// kernel set reads the file (through the process-wide file table), and the
// comment area of any DAF.
#include "ext.hpp"
#include "set_support.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "daf/daf.hpp"
#include "sets/excerpt.hpp"
#include "sets/file_cache.hpp"

namespace kernwerk::ext {

namespace {

using SpkRow = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t, double, double, std::string>;
using PckRow = std::tuple<std::int32_t, std::int32_t, std::int32_t, double, double, std::string>;

// (kind, SPK rows, PCK rows): kind "spk", "pck" or "text"; the rows of the
// other kinds are empty.
std::tuple<std::string, std::vector<SpkRow>, std::vector<PckRow>> file_segments(const nb::bytes& path) {
    const std::string p(path.c_str(), path.size());
    std::expected<std::shared_ptr<const OpenedKernel>, KernelFileError> k;
    {
        nb::gil_scoped_release release;
        k = open_kernel(p);
    }
    if (!k) {
        const KernelFileError& e = k.error();
        throw Error(e.kind() == KernelFileError::Kind::Io ? ErrorKind::File : ErrorKind::FileFormat, e.message(),
                    e.os_errno(), e.path());
    }
    const OpenedKernel& kernel = **k;
    std::vector<SpkRow> spk;
    std::vector<PckRow> pck;
    if (kernel.spk)
        for (const SpkSegment& s : kernel.spk->segments())
            spk.emplace_back(s.target, s.center, s.frame, s.data_type, s.start_et, s.end_et, s.name);
    if (kernel.pck)
        for (const PckSegment& s : kernel.pck->segments())
            pck.emplace_back(s.body_frame, s.ref_frame, s.data_type, s.start_et, s.end_et, s.name);
    return {kernel.spk ? "spk" : kernel.pck ? "pck" : kernel.ck ? "ck" : "text", std::move(spk), std::move(pck)};
}

// The comment area of the DAF at `path`, as bytes (see DafFile::comments).
nb::bytes file_comments(const nb::bytes& path) {
    const std::string p(path.c_str(), path.size());
    std::expected<std::string, DafError> text;
    {
        nb::gil_scoped_release release;
        auto daf = DafFile::open(p, DafRules::Toolkit);
        if (daf) text = daf->comments();
        else text = std::unexpected(daf.error());
    }
    if (!text) {
        const DafError& e = text.error();
        if (e.kind() == DafError::Kind::Io)
            throw Error(ErrorKind::File, "cannot read kernel " + p + ": " + e.message(), e.os_errno(), p);
        throw Error(e.kind() == DafError::Kind::Changed ? ErrorKind::Changed : ErrorKind::FileFormat,
                    "kernel " + p + ": " + e.message(), 0, p);
    }
    return nb::bytes(text->data(), text->size());
}

// Writes an excerpt (sets/excerpt.hpp) without the GIL; returns one row per
// segment written (source, target, center, type, start, end, words, source
// words) and the file's size.
using ExcerptRow = std::tuple<std::size_t, std::int32_t, std::int32_t, std::int32_t, double, double, std::size_t,
                              std::size_t>;
std::tuple<std::vector<ExcerptRow>, std::size_t> excerpt_spk(const std::vector<nb::bytes>& sources,
                                                             const nb::bytes& output, double start, double stop,
                                                             std::optional<std::vector<std::int32_t>> bodies,
                                                             std::vector<std::string> comments, bool exact) {
    ExcerptRequest req;
    for (const nb::bytes& b : sources) req.sources.emplace_back(b.c_str(), b.size());
    req.output.assign(output.c_str(), output.size());
    req.start = start;
    req.stop = stop;
    req.bodies = std::move(bodies);
    req.comments = std::move(comments);
    req.exact = exact;
    std::expected<ExcerptResult, ExcerptError> r;
    {
        nb::gil_scoped_release release;
        r = write_excerpt(req);
    }
    if (!r) raise(r.error());
    std::vector<ExcerptRow> rows;
    for (const ExcerptSegment& s : r->segments)
        rows.emplace_back(s.source, s.target, s.center, s.data_type, s.start_et, s.end_et, s.words, s.source_words);
    return {std::move(rows), r->bytes};
}

}  // namespace

void register_files(nb::module_& m) {
    m.def("file_segments", &file_segments, nb::arg("path"),
          "(kind, spk_rows, pck_rows) of the kernel at `path` (bytes): kind 'spk', 'pck' or 'text'; SPK rows "
          "(target, center, frame, type, start, end, name), PCK rows (body_frame, frame, type, start, end, name).");
    m.def("file_comments", &file_comments, nb::arg("path"),
          "The comment area of the DAF at `path` (bytes): each NUL ends a line, the first EOT ends the text.");
    m.def("excerpt_spk", &excerpt_spk, nb::arg("sources"), nb::arg("output"), nb::arg("start"), nb::arg("stop"),
          nb::arg("bodies").none(), nb::arg("comments"), nb::arg("exact"),
          "Writes the SPK excerpt of `sources` (bytes paths, lowest precedence first) for ET start..stop and the "
          "targets `bodies` (None: all) to `output`; (rows (source, target, center, type, start, end, words, "
          "source_words), size in bytes). Not `exact`: Types 2 and 3 keep the records serving the span only.");
}

}  // namespace kernwerk::ext
