#include "text/pool.hpp"

#include <algorithm>

namespace kernwerk {

namespace {
const char* kind_word(bool is_text) noexcept { return is_text ? "strings" : "numbers"; }
}  // namespace

PoolError PoolError::missing(std::string_view name) {
    return {Kind::Missing, "kernel variable " + std::string(name) + " is not in the pool (no loaded text kernel assigns it)"};
}

PoolError PoolError::wrong_type(std::string_view name, bool is_text, std::string_view source) {
    return {Kind::WrongType, "kernel variable " + std::string(name) + " holds " + kind_word(is_text) + ", not " +
                                 kind_word(!is_text) + " (set by " + std::string(source) + ")"};
}

PoolError PoolError::conflict(std::string_view name, std::string_view kernel, std::uint64_t line,
                              bool appended_text, std::string_view set_by) {
    return {Kind::Conflict,
            "kernel " + std::string(kernel) + " line " + std::to_string(line) + " appends " +
                kind_word(appended_text) + " to kernel variable " + std::string(name) + ", which holds " +
                kind_word(!appended_text) + " (set by " + std::string(set_by) + ")",
            std::string(kernel)};
}

std::expected<KernelPool, PoolError> KernelPool::build(std::span<const Source> kernels) {
    KernelPool pool;
    for (const Source& k : kernels) {
        for (const Assignment& a : k.assignments) {
            if (k.meta_kernel && std::find(kMetaKernelVariables.begin(), kMetaKernelVariables.end(), a.name) !=
                                     kMetaKernelVariables.end())
                continue;
            auto it = pool.vars_.find(a.name);
            if (it == pool.vars_.end()) {
                it = pool.vars_.emplace(a.name, PoolVariable{}).first;
            } else if (!a.append) {
                it->second = PoolVariable{};
            } else if (it->second.is_text != a.is_text) {
                return std::unexpected(PoolError::conflict(a.name, k.path, a.line, a.is_text, it->second.source));
            }
            PoolVariable& v = it->second;
            v.is_text = a.is_text;
            if (a.is_text)
                v.strings.insert(v.strings.end(), a.strings.begin(), a.strings.end());
            else
                v.numbers.insert(v.numbers.end(), a.numbers.begin(), a.numbers.end());
            if (v.source != k.path) v.source = std::string(k.path);
        }
    }
    return pool;
}

const PoolVariable* KernelPool::find(std::string_view name) const noexcept {
    const auto it = vars_.find(name);
    return it == vars_.end() ? nullptr : &it->second;
}

std::expected<std::span<const double>, PoolError> KernelPool::numbers(std::string_view name) const {
    const PoolVariable* v = find(name);
    if (!v) return std::unexpected(PoolError::missing(name));
    if (v->is_text) return std::unexpected(PoolError::wrong_type(name, true, v->source));
    return std::span<const double>(v->numbers);
}

std::expected<std::span<const std::string>, PoolError> KernelPool::strings(std::string_view name) const {
    const PoolVariable* v = find(name);
    if (!v) return std::unexpected(PoolError::missing(name));
    if (!v->is_text) return std::unexpected(PoolError::wrong_type(name, false, v->source));
    return std::span<const std::string>(v->strings);
}

std::vector<std::string> KernelPool::names_with_prefix(std::string_view prefix) const {
    std::vector<std::string> out;
    for (auto it = vars_.lower_bound(prefix); it != vars_.end() && std::string_view(it->first).starts_with(prefix); ++it)
        out.push_back(it->first);
    return out;
}

}  // namespace kernwerk
