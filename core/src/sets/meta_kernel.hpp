// Meta-kernels: text kernels whose KERNELS_TO_LOAD names the files to load.
//
// What the reader relies on (the toolkit's rules, checked against it):
//   * a text kernel that assigns KERNELS_TO_LOAD is a meta-kernel; its own
//     assignments alone are read ("=" and "+=" in file order);
//   * an element whose last non-blank character is "+" continues in the next
//     element: the "+" is dropped, blanks before it and leading blanks of the
//     next element are kept; trailing blanks of every element are dropped;
//     PATH_VALUES continue the same way;
//   * "$NAME" is replaced by the PATH_VALUES entry of the longest
//     PATH_SYMBOLS entry that the text after "$" starts with (names
//     case-sensitive, one pass: a replacement is not scanned again); a "$"
//     that starts no symbol stays;
//   * relative file names are resolved by the loader against the current
//     directory at load time, not the meta-kernel's folder;
//   * KERNELS_TO_LOAD, PATH_SYMBOLS and PATH_VALUES of a meta-kernel are its
//     loading instructions: the toolkit drops them from the pool once read.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/pool.hpp"
#include "text/text_kernel.hpp"

namespace kernwerk {

// True when `kernel` assigns KERNELS_TO_LOAD.
bool is_meta_kernel(const TextKernel& kernel) noexcept;

// The file names of KERNELS_TO_LOAD, joined and substituted, in order; an
// error (a sentence without the kernel's path) when the instructions cannot
// be read: numbers where names belong, or PATH_SYMBOLS and PATH_VALUES of
// different lengths.
std::expected<std::vector<std::string>, std::string> meta_kernel_files(const TextKernel& kernel);

// Elements joined at a trailing "+" (exposed for tests).
std::vector<std::string> join_continued(const std::vector<std::string>& elements);

}  // namespace kernwerk
