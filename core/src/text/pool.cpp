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

namespace {

std::string body_text(std::int32_t body, std::string_view label) {
    return label.empty() ? "body " + std::to_string(body) : std::string(label);
}

}  // namespace

std::expected<std::span<const double>, PoolError> body_constant(const KernelPool& pool, std::int32_t body,
                                                                std::string_view item, std::string_view body_label) {
    const std::string name = "BODY" + std::to_string(body) + "_" + std::string(item);
    auto v = pool.numbers(name);
    if (!v) {
        const std::string what = std::string(item) + " of " + body_text(body, body_label);
        return std::unexpected(PoolError::other(v.error().kind(), what + ": " + v.error().message()));
    }
    return *v;
}

std::expected<bool, PoolError> longitude_positive_west(const KernelPool& pool, std::int32_t body,
                                                       std::string_view body_label) {
    const std::string who = body_text(body, body_label);
    const std::string override_name = "BODY" + std::to_string(body) + "_PGR_POSITIVE_LON";
    if (const PoolVariable* v = pool.find(override_name)) {
        std::string_view word;
        if (v->is_text && v->strings.size() == 1) {
            word = v->strings[0];
            while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
            while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
        }
        auto is = [&](std::string_view upper) {
            return word.size() == upper.size() &&
                   std::equal(word.begin(), word.end(), upper.begin(), [](char a, char b) {
                       return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 32) : a) == b;
                   });
        };
        if (is("EAST")) return false;
        if (is("WEST")) return true;
        return std::unexpected(PoolError::other(
            PoolError::Kind::WrongType, "planetographic longitude of " + who + ": kernel variable " + override_name +
                                            " must be 'EAST' or 'WEST' (set by " + v->source + ")"));
    }
    if (body == 399 || body == 301 || body == 10) return false;
    auto pm = body_constant(pool, body, "PM", body_label);
    if (!pm)
        return std::unexpected(PoolError::other(pm.error().kind(), "planetographic longitude of " + who +
                                                                       " follows the sense of its rotation: " +
                                                                       pm.error().message()));
    if (pm->size() < 2)
        return std::unexpected(PoolError::other(
            PoolError::Kind::Missing, "planetographic longitude of " + who +
                                          " follows the sense of its rotation, but BODY" + std::to_string(body) +
                                          "_PM has no rate (fewer than two numbers)"));
    return (*pm)[1] > 0;
}

}  // namespace kernwerk
