// Snapshots (the immutable state of a set that queries read) and the kernel
// set that publishes them on load and unload.
#include "sets/kernel_set.hpp"
#include "sets/attitude.hpp"
#include "sets/dynamic_states.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <queue>
#include <unordered_set>

#include <sys/stat.h>

#include "base/map_guard.hpp"
#include "frames/builtin.hpp"
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

// Binary PCK orientation from the snapshot's segments: for a class id, the
// highest-precedence segment whose coverage holds the epoch.
class SnapshotPckSource final : public PckOrientationSource {
public:
    explicit SnapshotPckSource(const KernelSnapshot& snap) : snap_(snap), ck_(make_ck_orientation_source(snap)) {}
    using PckOrientationSource::orientation;
    const CkOrientationSource* ck() const noexcept override { return ck_.get(); }
    const void* prepare(std::int32_t class_id) const noexcept override {
        auto it = snap_.pck_timelines_.find(class_id);
        return it == snap_.pck_timelines_.end() ? nullptr : &it->second;
    }
    std::expected<std::optional<Found>, FrameError> orientation(const void* prepared, double et) const override {
        const Run& r = static_cast<const Timeline*>(prepared)->find(et);
        if (r.winner < 0) return std::nullopt;
        const PckSegmentRef& ref = snap_.all_pck_[static_cast<std::size_t>(r.winner)];
        const PckSegment& s = *ref.segment;
        const auto label = [&] {
            return "PCK segment \"" + s.name + "\" (body frame " + std::to_string(s.body_frame) + ", segment " +
                   std::to_string(ref.index) + " of " + snap_.files_[static_cast<std::size_t>(ref.file)].path + ")";
        };
        if (!s.evaluable())
            return std::unexpected(FrameError(FrameError::Kind::Data, label() + " has PCK data type " +
                                                                               std::to_string(s.data_type) +
                                                                               ", which cannot be evaluated"));
        const auto m = j2000_to_builtin_inertial(s.ref_frame);
        if (!m)
            return std::unexpected(FrameError(FrameError::Kind::Data,
                                              label() + " refers to frame " + std::to_string(s.ref_frame) +
                                                  ", which is not a built-in inertial frame"));
        // Types 2 and 20 give the angles' rates, Type 3 the angular
        // velocity in the body-fixed frame.
        auto e = s.type2 ? s.type2->evaluate(et) : s.type20 ? s.type20->evaluate(et) : s.type3->evaluate(et);
        if (!e)
            return std::unexpected(FrameError(FrameError::Kind::Data,
                                              label() + " at et " + format_double(et) + ": " + e.error().message()));
        return Found{*e, *m, s.type3.has_value()};
    }

    const BodyStateSource* body_states() const noexcept override { return &states_; }

private:
    const KernelSnapshot& snap_;
    std::unique_ptr<const CkOrientationSource> ck_;  // the CK frames (attitude.hpp)
    SnapshotStateSource states_{snap_};
};

KernelSnapshot::KernelSnapshot(std::vector<File> files, KernelPool pool)
    : files_(std::move(files)), pool_(std::move(pool)) {
    std::unordered_map<std::int32_t, std::vector<Timeline::Entry>> per_body;
    std::vector<Timeline::Entry> pck_entries;
    std::unordered_map<std::int32_t, std::vector<Timeline::Entry>> per_class;
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
                const auto all_id = static_cast<std::int32_t>(all_pck_.size());
                all_pck_.push_back(PckSegmentRef{&segs[s], static_cast<std::int32_t>(f), static_cast<std::int32_t>(s)});
                per_class[segs[s].body_frame].push_back(Timeline::Entry{segs[s].start_et, segs[s].end_et, all_id});
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
    for (auto& [cls, entries] : per_class) pck_timelines_.emplace(cls, Timeline::build(entries));
    frames_ = FrameCatalog::build(pool_);
    pck_source_ = std::make_unique<SnapshotPckSource>(*this);
}

KernelSetError KernelSnapshot::frame_error(const FrameError& e, const std::string& context) {
    using K = KernelSetError::Kind;
    K kind = K::Frame;
    switch (e.kind()) {
        case FrameError::Kind::Unknown:
        case FrameError::Kind::Unsupported: kind = K::Frame; break;
        case FrameError::Kind::Malformed: kind = K::Frame; break;
        case FrameError::Kind::Data: kind = K::FileFormat; break;
        case FrameError::Kind::Coverage: kind = K::Coverage; break;
        case FrameError::Kind::MissingKernel: kind = K::MissingKernel; break;
        case FrameError::Kind::Epoch: kind = K::Epoch; break;
    }
    return KernelSetError(kind, context.empty() ? e.message() : context + ": " + e.message());
}

std::expected<FramePath, KernelSetError> KernelSnapshot::frame_path(std::int32_t from, std::int32_t to) const {
    auto p = frames_->path(from, to);
    if (!p)
        return std::unexpected(frame_error(p.error(), "transform from " + frames_->name_of(from) + " to " +
                                                          frames_->name_of(to)));
    return *p;
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

std::expected<void, KernelSetError> KernelSnapshot::check_file(const File& f) const {
    std::expected<void, DafError> ok;
    if (f.kernel->spk) {
        ok = f.kernel->spk->check_unchanged();
    } else if (f.kernel->ck) {
        ok = f.kernel->ck->daf().check_unchanged();
    } else if (f.kernel->pck) {
        // All segments of a file share its one mapping.
        for (const PckSegment& seg : f.kernel->pck->segments())
            if (const DafFile* daf = seg.daf()) {
                ok = daf->check_unchanged();
                break;
            }
    }
    // A file rewritten in place without a fault: its structure no longer
    // is the one the readers were built from.
    if (ok && f.kernel->fingerprint && !f.kernel->fingerprint->matches())
        ok = std::unexpected(DafError::changed_while_open(f.kernel->path));
    if (!ok) return std::unexpected(KernelSetError(KernelSetError::Kind::Changed, ok.error().message(), 0, f.path));
    return {};
}

std::expected<void, KernelSetError> KernelSnapshot::check_unchanged() const {
    for (const File& f : files_)
        if (auto ok = check_file(f); !ok) return ok;
    return {};
}

std::expected<void, KernelSetError> KernelSnapshot::check_files(const std::vector<std::int32_t>& files) const {
    for (std::int32_t i : files)
        if (auto ok = check_file(files_[static_cast<std::size_t>(i)]); !ok) return ok;
    return {};
}

std::expected<void, KernelSetError> KernelSnapshot::check_unchanged_for_frames() const {
    std::shared_ptr<const std::vector<std::int32_t>> reads;
    {
        std::lock_guard lock(read_sets_mutex_);
        if (!frame_reads_) {
            auto v = std::make_shared<std::vector<std::int32_t>>();
            for (std::size_t i = 0; i < files_.size(); ++i)
                if (files_[i].kernel->fingerprint && !files_[i].kernel->spk) v->push_back(static_cast<std::int32_t>(i));
            frame_reads_ = std::move(v);
        }
        reads = frame_reads_;
    }
    return check_files(*reads);
}

std::expected<void, KernelSetError> KernelSnapshot::check_unchanged_for_bodies(std::int32_t target,
                                                                                std::int32_t center) const {
    const std::uint64_t key = (std::uint64_t{static_cast<std::uint32_t>(target)} << 32) |
                              static_cast<std::uint32_t>(center);
    std::shared_ptr<const std::vector<std::int32_t>> reads;
    {
        std::lock_guard lock(read_sets_mutex_);
        // A frame whose transform reads ephemerides may read any SPK.
        if (!frames_read_orientation_only_) frames_read_orientation_only_ = frames_->orientation_data_only();
        auto it = body_reads_.find(key);
        if (!*frames_read_orientation_only_) {
            reads = nullptr;
        } else if (it != body_reads_.end()) {
            reads = it->second;
        } else {
            if (!segments_indexed_) {
                for (std::size_t i = 0; i < segments_.size(); ++i)
                    segments_of_body_[segments_[i].segment->target].push_back(static_cast<std::int32_t>(i));
                segments_indexed_ = true;
            }
            std::vector<bool> file_read(files_.size(), false);
            for (std::size_t i = 0; i < files_.size(); ++i)
                file_read[i] = files_[i].kernel->fingerprint && !files_[i].kernel->spk;
            std::unordered_set<std::int32_t> seen{target, center};
            std::vector<std::int32_t> todo{target, center};
            while (!todo.empty()) {
                const std::int32_t body = todo.back();
                todo.pop_back();
                auto segs = segments_of_body_.find(body);
                if (segs == segments_of_body_.end()) continue;
                for (std::int32_t id : segs->second) {
                    const SegmentRef& ref = segments_[static_cast<std::size_t>(id)];
                    file_read[static_cast<std::size_t>(ref.file)] = true;
                    if (seen.insert(ref.segment->center).second) todo.push_back(ref.segment->center);
                }
            }
            auto v = std::make_shared<std::vector<std::int32_t>>();
            for (std::size_t i = 0; i < files_.size(); ++i)
                if (file_read[i]) v->push_back(static_cast<std::int32_t>(i));
            // Bounded (a list may name every file of a large set): a set
            // asked for very many pairs starts over.
            if (body_reads_.size() >= 256) body_reads_.clear();
            reads = body_reads_.emplace(key, std::move(v)).first->second;
        }
    }
    return reads ? check_files(*reads) : check_unchanged();
}

std::expected<void, KernelSetError> KernelSnapshot::check_before() const {
    if (!map_guard::displaced()) return {};
    for (const File& f : files_) {
        const OpenedKernel& k = *f.kernel;
        if (!k.fingerprint) continue;
        struct stat st {};
        if (::stat(k.path.c_str(), &st) != 0) continue;
        if (static_cast<std::uint64_t>(st.st_dev) != k.identity.device ||
            static_cast<std::uint64_t>(st.st_ino) != k.identity.inode)
            continue;  // replaced by a rename: the mapping keeps the old file
        if (static_cast<std::uint64_t>(st.st_size) < k.identity.size)
            return std::unexpected(KernelSetError(KernelSetError::Kind::Changed,
                                                  DafError::changed_while_open(k.path).message(), 0, f.path));
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
    auto x = s.inertial_to_body(InertialFrame::J2000, et);
    if (!x)
        return std::unexpected(KernelSetError(KernelSetError::Kind::FileFormat,
                                              "PCK segment \"" + s.name + "\" of " +
                                                  files_[static_cast<std::size_t>(ref.file)].path + " at et " +
                                                  format_double(et) + ": " + x.error().message()));
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
