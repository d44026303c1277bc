#include "sets/meta_kernel.hpp"

#include <span>

#include "text/pool.hpp"

namespace kernwerk {

namespace {

std::string_view trim_trailing_blanks(std::string_view s) noexcept {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

bool is_meta_kernel(const TextKernel& kernel) noexcept {
    for (const Assignment& a : kernel.assignments)
        if (a.name == kMetaKernelVariables[0]) return true;
    return false;
}

std::vector<std::string> join_continued(const std::vector<std::string>& elements) {
    std::vector<std::string> out;
    std::string pending;
    bool continuing = false;
    for (const std::string& e : elements) {
        std::string_view piece = trim_trailing_blanks(e);
        const bool more = !piece.empty() && piece.back() == '+';
        if (more) piece.remove_suffix(1);
        pending.append(piece);
        continuing = more;
        if (!more) {
            out.push_back(std::string(trim_trailing_blanks(pending)));
            pending.clear();
        }
    }
    // A last element that asks to continue ends the list as it stands.
    if (continuing) out.push_back(std::string(trim_trailing_blanks(pending)));
    return out;
}

std::expected<std::vector<std::string>, std::string> meta_kernel_files(const TextKernel& kernel) {
    // The kernel's own assignments, applied as the pool applies them.
    const std::array<KernelPool::Source, 1> self = {KernelPool::Source{"", kernel.assignments}};
    auto pool = KernelPool::build(self);
    if (!pool) return std::unexpected(pool.error().message());
    auto texts = [&](std::string_view name) -> std::expected<std::vector<std::string>, std::string> {
        const PoolVariable* v = pool->find(name);
        if (!v) return std::vector<std::string>{};
        if (!v->is_text) return std::unexpected(std::string(name) + " holds numbers, not quoted strings");
        return join_continued(v->strings);
    };
    auto files = texts(kMetaKernelVariables[0]);
    auto symbols = texts(kMetaKernelVariables[1]);
    auto values = texts(kMetaKernelVariables[2]);
    if (!files) return std::unexpected(files.error());
    if (!symbols) return std::unexpected(symbols.error());
    if (!values) return std::unexpected(values.error());
    if (symbols->size() != values->size())
        return std::unexpected("PATH_SYMBOLS has " + std::to_string(symbols->size()) + " entries but PATH_VALUES has " +
                               std::to_string(values->size()) + "; they must match");
    std::vector<std::string> out;
    out.reserve(files->size());
    for (const std::string& f : *files) {
        std::string path;
        for (std::size_t i = 0; i < f.size();) {
            std::size_t best = symbols->size();
            if (f[i] == '$') {
                const std::string_view rest = std::string_view(f).substr(i + 1);
                for (std::size_t s = 0; s < symbols->size(); ++s) {
                    const std::string& sym = (*symbols)[s];
                    if (!sym.empty() && rest.starts_with(sym) &&
                        (best == symbols->size() || sym.size() > (*symbols)[best].size()))
                        best = s;
                }
            }
            if (best == symbols->size()) {
                path.push_back(f[i++]);
            } else {
                path += (*values)[best];
                i += 1 + (*symbols)[best].size();
            }
        }
        out.push_back(std::move(path));
    }
    return out;
}

}  // namespace kernwerk
