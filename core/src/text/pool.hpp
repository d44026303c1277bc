// The kernel variable pool: every assignment of a set's text kernels, as the
// toolkit's pool holds them.
//
// What the pool relies on:
//   * kernels are applied in load order: "=" replaces a variable (its values
//     and its kind), "+=" appends to it, or creates it when absent;
//   * a variable holds numbers or strings, never both: "+=" of strings to a
//     numeric variable (or the reverse) is refused, naming the variable, the
//     kernel and line that append and the kernel that set it;
//   * names are kept as written: the toolkit's names are case-sensitive;
//   * a string value is one element per quoted string: continuation marks
//     ("+" at the end of an element of KERNELS_TO_LOAD, say) are the
//     reader's to interpret;
//   * the pool is immutable once built; a set builds a new one from its
//     remaining kernels on every load and unload, so unloading a kernel
//     restores what it replaced.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/text_kernel.hpp"

namespace kernwerk {

// A meta-kernel's loading instructions: read when it is loaded, then left
// out of the pool, as the toolkit drops them.
inline constexpr std::array<std::string_view, 3> kMetaKernelVariables = {"KERNELS_TO_LOAD", "PATH_SYMBOLS",
                                                                         "PATH_VALUES"};

class PoolError {
public:
    enum class Kind { Missing, WrongType, Conflict };

    static PoolError missing(std::string_view name);
    // Any kind, the message as given.
    static PoolError other(Kind kind, std::string message) { return {kind, std::move(message)}; }
    static PoolError wrong_type(std::string_view name, bool is_text, std::string_view source);
    static PoolError conflict(std::string_view name, std::string_view kernel, std::uint64_t line,
                              bool appended_text, std::string_view set_by);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The kernel at fault for a Conflict (the one that appends); empty otherwise.
    const std::string& path() const noexcept { return path_; }

private:
    PoolError(Kind kind, std::string message, std::string path = {})
        : kind_(kind), message_(std::move(message)), path_(std::move(path)) {}
    Kind kind_;
    std::string message_;
    std::string path_;
};

// One variable: all numbers or all strings.
struct PoolVariable {
    bool is_text = false;
    std::vector<double> numbers;       // when !is_text: integers, floats and @dates (seconds past J2000)
    std::vector<std::string> strings;  // when is_text: one per quoted element
    std::string source;                // the path of the kernel that last assigned or appended to it
};

class KernelPool {
public:
    // One parsed text kernel: its path and its assignments in file order.
    struct Source {
        std::string_view path;
        std::span<const Assignment> assignments;
        bool meta_kernel = false;  // kMetaKernelVariables are left out
    };

    KernelPool() = default;

    // The pool of `kernels` applied in order (load order, lowest precedence
    // first). Fails with Conflict only.
    static std::expected<KernelPool, PoolError> build(std::span<const Source> kernels);

    // nullptr when absent.
    const PoolVariable* find(std::string_view name) const noexcept;
    // Missing when absent; WrongType when the variable holds the other kind
    // (naming the kernel that set it).
    std::expected<std::span<const double>, PoolError> numbers(std::string_view name) const;
    std::expected<std::span<const std::string>, PoolError> strings(std::string_view name) const;
    // The names that start with `prefix`, sorted by byte; "" gives every name.
    std::vector<std::string> names_with_prefix(std::string_view prefix) const;
    std::size_t size() const noexcept { return vars_.size(); }

private:
    std::map<std::string, PoolVariable, std::less<>> vars_;
};

// BODY<body>_<item>, the toolkit's name of a body constant (item as given:
// "RADII", "GM", "POLE_RA"; names are case-sensitive). Missing and WrongType
// errors name the variable and the body (`body_label` when given, else its
// code).
std::expected<std::span<const double>, PoolError> body_constant(const KernelPool& pool, std::int32_t body,
                                                                std::string_view item,
                                                                std::string_view body_label = {});

// Whether planetographic longitude is positive west for `body`, as the
// toolkit decides: BODY<body>_PGR_POSITIVE_LON ('EAST' or 'WEST', any case,
// blanks around ignored) when assigned; else east for the Earth (399), the
// Moon (301) and the Sun (10); else west when the rate of BODY<body>_PM (its
// second number) is positive, east when it is zero or negative. Missing
// when PM is absent or has fewer than two numbers; WrongType for another
// PGR_POSITIVE_LON value or strings in PM. (The toolkit also wants the PM of
// the Moon and the Sun, which their answer does not use; it is not asked for.)
std::expected<bool, PoolError> longitude_positive_west(const KernelPool& pool, std::int32_t body,
                                                       std::string_view body_label = {});

}  // namespace kernwerk
