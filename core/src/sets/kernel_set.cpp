// Snapshots (the immutable state of a set that queries read) and the kernel
// set that publishes them on load and unload.
#include "sets/kernel_set.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <queue>

#include "sets/internal.hpp"
#include "sets/meta_kernel.hpp"

namespace kernwerk {

// ---------------------------------------------------------------------------
// Snapshots

std::string sets_detail::format_intervals(const std::vector<std::pair<double, double>>& ivs) {
    constexpr std::size_t kShown = 8;
    std::string out;
    for (std::size_t i = 0; i < ivs.size() && i < kShown; ++i) {
        if (i) out += ", ";
        out += '[';
        out += format_double(ivs[i].first);
        out += ", ";
        out += format_double(ivs[i].second);
        out += ']';
    }
    if (ivs.size() > kShown) out += " and " + std::to_string(ivs.size() - kShown) + " more intervals";
    return out;
}

std::expected<KernelPool, KernelSetError> KernelSnapshot::build_pool(const std::vector<File>& files) {
    std::vector<KernelPool::Source> sources;
    for (const File& f : files)
        if (f.kernel->text) sources.push_back({f.path, f.kernel->text->assignments, f.is_meta});
    auto pool = KernelPool::build(sources);
    if (!pool)
        return std::unexpected(
            KernelSetError(KernelSetError::Kind::FileFormat, pool.error().message(), 0, pool.error().path()));
    return std::move(*pool);
}

KernelSnapshot::KernelSnapshot(std::vector<File> files, KernelPool pool)
    : files_(std::move(files)), pool_(std::move(pool)) {
    std::unordered_map<std::int32_t, std::vector<Timeline::Entry>> per_body;
    std::vector<Timeline::Entry> pck_entries;
    // Highest precedence first: the last file, and in it the last segment.
    for (std::size_t f = files_.size(); f-- > 0;) {
        const OpenedKernel& k = *files_[f].kernel;
        if (k.spk) {
            const auto& segs = k.spk->segments();
            for (std::size_t s = segs.size(); s-- > 0;) {
                const auto id = static_cast<std::int32_t>(segments_.size());
                segments_.push_back(SegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
                per_body[segs[s].target].push_back(Timeline::Entry{segs[s].start_et, segs[s].end_et, id});
            }
        } else if (k.pck) {
            const auto& segs = k.pck->segments();
            for (std::size_t s = segs.size(); s-- > 0;) {
                if (segs[s].body_frame != kItrf93BodyFrame) continue;
                const auto id = static_cast<std::int32_t>(pck_segments_.size());
                pck_segments_.push_back(
                    PckSegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
                pck_entries.push_back(Timeline::Entry{segs[s].start_et, segs[s].end_et, id});
            }
        } else if (k.text) {
            bindings_.insert(bindings_.end(), k.text->body_bindings.begin(), k.text->body_bindings.end());
            if (k.text->leapseconds && !leapseconds_) leapseconds_ = &*k.text->leapseconds;
        }
    }
    // Bindings apply in load order; the loop above ran from the last file.
    bindings_.clear();
    for (const File& f : files_)
        if (f.kernel->text)
            bindings_.insert(bindings_.end(), f.kernel->text->body_bindings.begin(),
                             f.kernel->text->body_bindings.end());
    for (auto& [body, entries] : per_body) timelines_.emplace(body, Timeline::build(entries));
    itrf93_ = Timeline::build(pck_entries);
}

std::vector<std::int32_t> KernelSnapshot::bodies() const {
    std::vector<std::int32_t> out;
    out.reserve(timelines_.size());
    for (const auto& [body, tl] : timelines_) out.push_back(body);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<double, double>> KernelSnapshot::coverage(std::int32_t body) const {
    std::vector<std::pair<double, double>> ivs;
    for (const SegmentRef& r : segments_)
        if (r.segment->target == body) ivs.emplace_back(r.segment->start_et, r.segment->end_et);
    return merge_intervals(std::move(ivs));
}

std::vector<std::pair<double, double>> KernelSnapshot::pck_coverage(std::int32_t body_frame) const {
    std::vector<std::pair<double, double>> ivs;
    for (const File& f : files_)
        if (f.kernel->pck)
            for (const PckSegment& s : f.kernel->pck->segments())
                if (s.body_frame == body_frame) ivs.emplace_back(s.start_et, s.end_et);
    return merge_intervals(std::move(ivs));
}

const Timeline* KernelSnapshot::timeline(std::int32_t body) const noexcept {
    auto it = timelines_.find(body);
    return it == timelines_.end() ? nullptr : &it->second;
}

std::expected<void, KernelSetError> KernelSnapshot::check_unchanged() const {
    for (const File& f : files_) {
        std::expected<void, DafError> ok;
        if (f.kernel->spk) {
            ok = f.kernel->spk->check_unchanged();
        } else if (f.kernel->pck) {
            // All Type 2 segments of a file share its one mapping.
            for (const PckSegment& seg : f.kernel->pck->segments())
                if (seg.type2) {
                    ok = seg.type2->daf.check_unchanged();
                    break;
                }
        }
        if (!ok) return std::unexpected(KernelSetError(KernelSetError::Kind::Changed, ok.error().message(), 0, f.path));
    }
    return {};
}

std::string KernelSnapshot::segment_label(const SegmentRef& ref) const {
    const SpkSegment& s = *ref.segment;
    return "segment \"" + s.name + "\" (target " + std::to_string(s.target) + ", center " +
           std::to_string(s.center) + ", frame " + std::to_string(s.frame) + ", type " +
           std::to_string(s.data_type) + "; segment " + std::to_string(ref.index) + " of " +
           files_[static_cast<std::size_t>(ref.file)].path + ")";
}

std::string KernelSnapshot::describe_gap(std::int32_t body, double et) const {
    std::string out = "no segment covers body " + std::to_string(body) + " at et " + format_double(et);
    const auto cov = coverage(body);
    if (cov.empty())
        out += "; no loaded SPK segment has body " + std::to_string(body) + " as its target";
    else
        out += "; the coverage of body " + std::to_string(body) + " is " + sets_detail::format_intervals(cov);
    return out;
}

std::expected<Mat6, KernelSetError> KernelSnapshot::itrf93_transform(const PckSegmentRef& ref, double et,
                                                                     bool inverse) const {
    const PckSegment& s = *ref.segment;
    auto e = s.type2->evaluate(et);
    if (!e)
        return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat,
                                              "PCK segment \"" + s.name + "\" of " +
                                                  files_[static_cast<std::size_t>(ref.file)].path + " at et " +
                                                  format_double(et) + ": " + e.error().message()));
    const auto x = pck_inertial_to_body_sxform(s.ref_frame, InertialFrame::J2000, *e);
    // The reference frame was checked when the segment was chosen.
    if (!x) return std::unexpected(KernelSetError(KernelSetError::Kind::Frame, "unsupported PCK reference frame"));
    return inverse ? invert_sxform(*x) : *x;
}

// ---------------------------------------------------------------------------
// Kernel sets

KernelSet::KernelSet() : snapshot_(std::make_shared<const KernelSnapshot>(std::vector<KernelSnapshot::File>{})) {}

namespace {

KernelSetError open_error(const KernelFileError& e, const std::string& suffix = {}) {
    return KernelSetError(e.kind() == KernelFileError::Kind::Io ? KernelSetError::Kind::File
                                                                : KernelSetError::Kind::FileFormat,
                          e.message() + suffix, e.os_errno(), e.path());
}

// `name` against the current directory, normalised as os.path.abspath
// normalises: the toolkit resolves a meta-kernel's relative names against
// the directory the program runs in when it loads them.
std::expected<std::string, KernelSetError> absolute_path(const std::string& name) {
    std::error_code ec;
    const auto p = std::filesystem::absolute(name, ec);
    if (ec) return std::unexpected(KernelSetError(KernelSetError::Kind::File, "cannot resolve kernel path " + name + ": " +
                                                                              ec.message(), ec.value(), name));
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// The entries one path adds: the file, or a meta-kernel and its files.
std::expected<void, KernelSetError> open_entries(const std::string& path, std::vector<KernelSnapshot::File>& added) {
    auto add = [&](KernelSnapshot::File f) {
        std::erase_if(added, [&](const KernelSnapshot::File& a) {
            return (a.path == f.path && a.meta == f.meta) || (f.is_meta && a.meta == f.path);
        });
        added.push_back(std::move(f));
    };
    auto k = open_kernel(path);
    if (!k) return std::unexpected(open_error(k.error()));
    if (!(*k)->text || !is_meta_kernel(*(*k)->text)) {
        add(KernelSnapshot::File{path, std::move(*k), {}, false});
        return {};
    }
    auto names = meta_kernel_files(*(*k)->text);
    if (!names)
        return std::unexpected(
            KernelSetError(KernelSetError::Kind::FileFormat, "meta-kernel " + path + ": " + names.error(), 0, path));
    std::vector<KernelSnapshot::File> members;
    for (const std::string& name : *names) {
        const std::string listed = "; it is listed as '" + name + "' in KERNELS_TO_LOAD of meta-kernel " + path;
        auto resolved = absolute_path(name);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        auto m = open_kernel(*resolved);
        if (!m) return std::unexpected(open_error(m.error(), listed));
        if ((*m)->text && is_meta_kernel(*(*m)->text))
            return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat,
                                                  "meta-kernel " + path + " lists the meta-kernel " + *resolved +
                                                      " (as '" + name + "'); meta-kernels cannot be nested",
                                                  0, *resolved));
        members.push_back(KernelSnapshot::File{*resolved, std::move(*m), path, false});
    }
    add(KernelSnapshot::File{path, std::move(*k), {}, true});
    for (auto& m : members) add(std::move(m));
    return {};
}

}  // namespace

std::expected<void, KernelSetError> KernelSet::load(const std::vector<std::string>& paths) {
    std::vector<KernelSnapshot::File> added;
    for (const std::string& path : paths)
        if (auto ok = open_entries(path, added); !ok) return std::unexpected(std::move(ok.error()));
    std::lock_guard lock(mutex_);
    std::vector<KernelSnapshot::File> files;
    for (const auto& f : snapshot_->files()) {
        // Replaced by an entry of this load: the same file from the same
        // source, or a member of a meta-kernel loaded again.
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const KernelSnapshot::File& a) {
            return (a.path == f.path && a.meta == f.meta) || (a.is_meta && f.meta == a.path);
        });
        if (!replaced) files.push_back(f);
    }
    files.insert(files.end(), added.begin(), added.end());
    // The pool is built before the snapshot is published: a query never sees
    // a set whose pool is missing or half-built.
    auto pool = KernelSnapshot::build_pool(files);
    if (!pool) return std::unexpected(std::move(pool.error()));
    snapshot_ = std::make_shared<const KernelSnapshot>(std::move(files), std::move(*pool));
    return {};
}

std::expected<bool, KernelSetError> KernelSet::unload(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<KernelSnapshot::File> files = snapshot_->files();
    const auto n = files.size();
    // The file loaded by itself (with what it listed, for a meta-kernel);
    // when there is none, the file as a meta-kernel listed it.
    std::erase_if(files, [&](const KernelSnapshot::File& f) {
        return (f.path == path && f.meta.empty()) || f.meta == path;
    });
    if (files.size() == n) std::erase_if(files, [&](const KernelSnapshot::File& f) { return f.path == path; });
    if (files.size() == n) return false;
    auto pool = KernelSnapshot::build_pool(files);
    if (!pool) return std::unexpected(std::move(pool.error()));
    snapshot_ = std::make_shared<const KernelSnapshot>(std::move(files), std::move(*pool));
    return true;
}

void KernelSet::clear() {
    std::lock_guard lock(mutex_);
    snapshot_ = std::make_shared<const KernelSnapshot>(std::vector<KernelSnapshot::File>{});
}

std::shared_ptr<const KernelSnapshot> KernelSet::snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

}  // namespace kernwerk
