#include "sets/excerpt.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <sys/stat.h>
#include <utility>

#include "base/common.hpp"
#include "sets/file_cache.hpp"
#include "spk/writer.hpp"

namespace kernwerk {

namespace {

// The record select_chebyshev_record takes for `et` (daf/chebyshev.hpp),
// written as it is written there so that both round alike.
std::int64_t record_of(double et, double init, double intlen, std::uint64_t n) noexcept {
    std::int64_t index = index_from_double(std::floor((et - init) / intlen));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= n) index = static_cast<std::int64_t>(n - 1);
    return index;
}

// Doubles as integers in their order (-0 and +0 alike), for bisection over
// every double between two epochs.
std::int64_t key_of(double d) noexcept {
    const auto b = std::bit_cast<std::int64_t>(d);
    return b < 0 ? -(b & INT64_MAX) : b;
}
double double_of(std::int64_t k) noexcept {
    return k >= 0 ? std::bit_cast<double>(k)
                  : std::bit_cast<double>(static_cast<std::uint64_t>(-k) | 0x8000000000000000u);
}

struct Chebyshev {
    double init, intlen;
    std::uint64_t rsize, n;
};

// Whether records k0.. of a copy whose INIT is init + k0 INTLEN are chosen,
// at every epoch of lo..hi, as the source chooses them. Record choice is a
// non-decreasing step function of the epoch in both: they agree on lo..hi
// when they agree at its ends and on both sides of every step of the
// source's (the first double at which each later record is chosen).
bool same_records(const Chebyshev& c, std::uint64_t k0, std::uint64_t kept, double lo, double hi) {
    const double init = c.init + static_cast<double>(k0) * c.intlen;
    const auto k = static_cast<std::int64_t>(k0);
    const auto src = [&](double et) { return record_of(et, c.init, c.intlen, c.n); };
    const auto copy = [&](double et) { return record_of(et, init, c.intlen, kept) + k; };
    if (copy(lo) != src(lo) || copy(hi) != src(hi)) return false;
    std::int64_t a = key_of(lo);
    const std::int64_t last = src(hi);
    for (std::int64_t j = src(lo) + 1; j <= last; ++j) {
        // src(a) < j <= src(b): narrow to adjacent doubles.
        std::int64_t b = key_of(hi);
        while (b - a > 1) {
            const std::int64_t m = a + (b - a) / 2;
            (src(double_of(m)) >= j ? b : a) = m;
        }
        if (copy(double_of(a)) != src(double_of(a)) || copy(double_of(b)) != src(double_of(b))) return false;
        a = b;
        j = src(double_of(b));  // the step may pass over a record
    }
    return true;
}

// The first record to keep of a Type 2 or 3 segment for lo..hi: the one
// serving lo when the copy then chooses records as the source does; else
// one far enough before it that et - INIT keeps the binade it has in the
// source over lo..hi; else the first.
std::uint64_t first_record(const Chebyshev& c, std::uint64_t k1, double lo, double hi) {
    const auto k0 = static_cast<std::uint64_t>(record_of(lo, c.init, c.intlen, c.n));
    if (k0 == 0 || same_records(c, k0, k1 - k0 + 1, lo, hi)) return k0;
    const double x_lo = lo - c.init, x_hi = hi - c.init;
    if (x_lo > 0 && std::ilogb(x_lo) == std::ilogb(x_hi)) {
        const double room = std::floor((x_lo - std::ldexp(1.0, std::ilogb(x_lo))) / c.intlen);
        if (room >= 1 && room < static_cast<double>(k0)) {
            const auto k = static_cast<std::uint64_t>(room);
            if (same_records(c, k, k1 - k + 1, lo, hi)) return k;
        }
    }
    return 0;
}

// Comment text holds printable ASCII only: other bytes of a path become '?'.
std::string printable(const std::string& s) {
    std::string out = s;
    for (char& ch : out)
        if (static_cast<unsigned char>(ch) < 32 || static_cast<unsigned char>(ch) > 126) ch = '?';
    return out;
}

struct Candidate {
    std::size_t source;
    const SpkSegment* seg;
    double lo, hi;  // its coverage cut to the span
};

ExcerptError file_error(const KernelFileError& e) {
    return {e.kind() == KernelFileError::Kind::Io ? ExcerptError::Kind::File : ExcerptError::Kind::FileFormat, e.message(),
            e.os_errno(), e.path()};
}

}  // namespace

std::expected<ExcerptResult, ExcerptError> write_excerpt(const ExcerptRequest& req) {
    using Kind = ExcerptError::Kind;
    if (!std::isfinite(req.start) || !std::isfinite(req.stop) || !(req.start < req.stop))
        return std::unexpected(ExcerptError(Kind::Value, "empty span: start ET " + format_double(req.start) +
                                                            " must be finite and before stop ET " +
                                                            format_double(req.stop)));
    if (req.sources.empty()) return std::unexpected(ExcerptError(Kind::Value, "no source SPK files given"));
    if (req.bodies && req.bodies->empty())
        return std::unexpected(ExcerptError(Kind::Value, "no bodies listed: list the targets to keep, or none for all"));

    std::vector<std::shared_ptr<const OpenedKernel>> kernels;
    for (const std::string& path : req.sources) {
        auto k = open_kernel(path);
        if (!k) return std::unexpected(file_error(k.error()));
        if ((*k)->kind != KernelKind::Spk)
            return std::unexpected(ExcerptError(Kind::FileFormat,
                                                "kernel " + path + " is " +
                                                    ((*k)->kind == KernelKind::Pck ? "a binary PCK" : "a text kernel") +
                                                    ", not an SPK: excerpts are cut from SPK files",
                                                0, path));
        kernels.push_back(std::move(*k));
    }
    // Writing over a source would replace the data being copied.
    struct stat st {};
    if (::stat(req.output.c_str(), &st) == 0)
        for (std::size_t i = 0; i < kernels.size(); ++i)
            if (kernels[i]->identity.device == static_cast<std::uint64_t>(st.st_dev) &&
                kernels[i]->identity.inode == static_cast<std::uint64_t>(st.st_ino))
                return std::unexpected(ExcerptError(Kind::Value,
                                                    "the excerpt's output " + req.output + " is its source " +
                                                        req.sources[i] + "; write it to another file",
                                                    0, req.output));

    const auto chosen = [&](std::int32_t target) {
        return !req.bodies || std::find(req.bodies->begin(), req.bodies->end(), target) != req.bodies->end();
    };
    std::vector<Candidate> candidates;  // lowest precedence first
    for (std::size_t i = 0; i < kernels.size(); ++i)
        for (const SpkSegment& s : kernels[i]->spk->segments())
            if (chosen(s.target) && s.start_et <= req.stop && s.end_et >= req.start)
                candidates.push_back({i, &s, std::max(s.start_et, req.start), std::min(s.end_et, req.stop)});
    if (req.bodies) {
        for (std::int32_t body : *req.bodies) {
            bool target = false, covered = false;
            for (const auto& k : kernels)
                for (const SpkSegment& s : k->spk->segments()) target = target || s.target == body;
            for (const Candidate& c : candidates) covered = covered || c.seg->target == body;
            if (!target)
                return std::unexpected(ExcerptError(
                    Kind::BodyName, "body " + std::to_string(body) + " is the target of no segment of the sources"));
            if (!covered)
                return std::unexpected(ExcerptError(Kind::Coverage, "no segment of body " + std::to_string(body) +
                                                                        " covers any epoch of ET " +
                                                                        format_double(req.start) + " to " +
                                                                        format_double(req.stop)));
        }
    } else if (candidates.empty()) {
        return std::unexpected(ExcerptError(Kind::Coverage, "no segment of the sources covers any epoch of ET " +
                                                                format_double(req.start) + " to " +
                                                                format_double(req.stop)));
    }

    // From the highest precedence down: a segment whose part of the span the
    // kept segments of its target above it cover is never searched there.
    std::vector<bool> keep(candidates.size(), true);
    for (std::size_t i = candidates.size(); i-- > 0;) {
        std::vector<std::pair<double, double>> above;
        for (std::size_t j = i + 1; j < candidates.size(); ++j)
            if (keep[j] && candidates[j].seg->target == candidates[i].seg->target)
                above.emplace_back(candidates[j].lo, candidates[j].hi);
        std::sort(above.begin(), above.end());
        // Covered from lo up to `reached` (lo itself once `met`).
        double reached = candidates[i].lo;
        bool met = false;
        for (const auto& [a, b] : above) {
            if (a > reached) break;
            if (b >= reached) {
                reached = b;
                met = true;
            }
        }
        keep[i] = !met || reached < candidates[i].hi;
    }

    SpkWriter writer = SpkWriter::new_spk_chained("kernwerk excerpt");
    std::vector<std::string> lines = req.comments;
    lines.push_back("SPK excerpt written by kernwerk, for ET " + format_double(req.start) + " to " +
                    format_double(req.stop) + " (TDB seconds past J2000), of the targets:");
    if (req.bodies) {
        std::string list = "  ";
        for (std::int32_t b : *req.bodies) list += std::to_string(b) + " ";
        lines.push_back(list);
    } else {
        lines.push_back("  all");
    }
    lines.push_back("from the SPK files (lowest precedence first):");
    for (const std::string& p : req.sources) lines.push_back("  " + printable(p));
    if (auto ok = writer.set_comments(lines); !ok)
        return std::unexpected(ExcerptError(Kind::Value, "comment: " + ok.error().message()));

    ExcerptResult result;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!keep[i]) continue;
        const Candidate& c = candidates[i];
        const SpkSegment& s = *c.seg;
        const DafFile& daf = kernels[c.source]->fingerprint->file();
        auto all = daf.slice_doubles(s.begin, s.end);
        if (!all) return std::unexpected(ExcerptError(Kind::FileFormat, req.sources[c.source] + ": " + all.error().message(),
                                                      0, req.sources[c.source]));
        const std::span<const double> src = *all;
        std::vector<double> words;
        double start = s.start_et, end = s.end_et;
        if (s.data_type == 2 || s.data_type == 3) {
            const Chebyshev ch = s.data_type == 2
                                     ? Chebyshev{std::get<SpkType2>(s.payload).init, std::get<SpkType2>(s.payload).intlen,
                                                 std::get<SpkType2>(s.payload).rsize, std::get<SpkType2>(s.payload).n}
                                     : Chebyshev{std::get<SpkType3>(s.payload).init, std::get<SpkType3>(s.payload).intlen,
                                                 std::get<SpkType3>(s.payload).rsize, std::get<SpkType3>(s.payload).n};
            const auto k1 = static_cast<std::uint64_t>(record_of(c.hi, ch.init, ch.intlen, ch.n));
            const std::uint64_t k0 = req.exact ? first_record(ch, k1, c.lo, c.hi)
                                               : static_cast<std::uint64_t>(record_of(c.lo, ch.init, ch.intlen, ch.n));
            const std::uint64_t n = k1 - k0 + 1;
            const double init = ch.init + static_cast<double>(k0) * ch.intlen;
            words.assign(src.begin() + static_cast<std::ptrdiff_t>(k0 * ch.rsize),
                         src.begin() + static_cast<std::ptrdiff_t>((k1 + 1) * ch.rsize));
            words.insert(words.end(), {init, ch.intlen, static_cast<double>(ch.rsize), static_cast<double>(n)});
            if (k0 > 0) start = std::max(s.start_et, std::min(c.lo, init));
            if (k1 + 1 < ch.n) end = std::min(s.end_et, std::max(c.hi, init + static_cast<double>(n) * ch.intlen));
        } else if (s.data_type == 9 || s.data_type == 13) {
            std::uint64_t n, window;
            if (s.data_type == 9) {
                const DiscreteMeta& m = std::get<SpkType9>(s.payload).meta;
                n = m.n;
                window = m.size + 1;
            } else {
                n = std::get<SpkType13>(s.payload).n;
                window = std::get<SpkType13>(s.payload).window;
            }
            const double* states = src.data();
            const double* epochs = states + 6 * n;
            const double* after_lo = std::upper_bound(epochs, epochs + n, c.lo);
            const std::uint64_t a = after_lo == epochs ? 0 : static_cast<std::uint64_t>(after_lo - epochs) - 1;
            const std::uint64_t b =
                std::min<std::uint64_t>(n - 1, static_cast<std::uint64_t>(std::lower_bound(epochs, epochs + n, c.hi) - epochs));
            // One window beyond the states around the span: no window of
            // its epochs reaches past them, nor is any pushed back by the
            // cut ends.
            const std::uint64_t i0 = a > window + 1 ? a - window - 1 : 0;
            const std::uint64_t i1 = std::min(n - 1, b + window + 1);
            const std::uint64_t m = i1 - i0 + 1;
            words.assign(states + 6 * i0, states + 6 * (i1 + 1));
            words.insert(words.end(), epochs + i0, epochs + i1 + 1);
            for (std::uint64_t k = 1; k <= (m - 1) / 100; ++k) words.push_back(epochs[i0 + 100 * k - 1]);
            words.push_back(src[src.size() - 2]);  // the degree or window size, as stored
            words.push_back(static_cast<double>(m));
            if (i0 > 0) start = std::max(s.start_et, epochs[i0]);
            if (i1 + 1 < n) end = std::min(s.end_et, epochs[i1]);
        } else {
            words.assign(src.begin(), src.end());
        }
        auto added = writer.add_copied(s.data_type, s.target, s.center, s.frame, start, end, s.name, words.size(),
                                       [&](double* dst) { std::memcpy(dst, words.data(), words.size() * 8); });
        if (!added) return std::unexpected(ExcerptError(Kind::File, added.error().message()));
        result.segments.push_back({c.source, s.target, s.center, s.data_type, start, end, words.size(), src.size()});
    }
    // What was copied is what the files held only if none changed meanwhile.
    for (std::size_t i = 0; i < kernels.size(); ++i)
        if (auto ok = kernels[i]->fingerprint->file().check_unchanged(); !ok)
            return std::unexpected(ExcerptError(Kind::Changed, ok.error().message(), 0, req.sources[i]));
    if (auto ok = writer.write(req.output); !ok)
        return std::unexpected(ExcerptError(Kind::File, "cannot write " + req.output + ": " + ok.error().message(),
                                            ok.error().os_error(), req.output));
    if (::stat(req.output.c_str(), &st) == 0) result.bytes = static_cast<std::size_t>(st.st_size);
    return result;
}

}  // namespace kernwerk
