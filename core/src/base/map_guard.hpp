// Survival of kernel files that change while they are mapped.
//
// Kernels are mapped read-only and read in place. When another process
// truncates a mapped file (or rewrites it in place: `curl -o`, `wget -O` and
// many editors truncate first), a read of a page past the new end raises
// SIGBUS, whose default action ends the process. This module keeps a registry
// of the library's file mappings and one process-wide SIGBUS handler:
//   * a fault inside a registered mapping maps a zero page over the faulting
//     page (MAP_FIXED, so the access is repeated and reads zeros) and marks the
//     mapping as changed; the caller of the read sees its result discarded
//     through `changed()` at the end of its call;
//   * a fault anywhere else is passed to the handler that was installed before
//     ours (or ends the process as SIGBUS would have without us).
// The handler is installed once, at the first registration, and never
// removed. A handler installed later by someone else (faulthandler enabled
// after the first kernel was opened, for instance) takes precedence; it is
// then that handler's decision what a fault does.
//
// The registry is a fixed array of slots whose fields are atomics, so that
// the handler reads it without locks (async-signal-safe). A process with more
// live mappings than slots gets no slot for the extra ones: the caller then
// reads the file into private memory instead of mapping it.
#pragma once

#include <cstddef>

namespace kernwerk::map_guard {

// Slots of the registry: live file mappings protected at once.
inline constexpr std::size_t kSlots = 4096;

// Registers the mapping [base, base + len); returns its slot, or -1 when every
// slot is taken or the handler cannot be installed.
int register_mapping(const void* base, std::size_t len) noexcept;

// Frees the slot before the mapping is removed.
void unregister_mapping(int slot) noexcept;

// True once a read of the slot's mapping met a vanished page. Stays true for
// the life of the mapping: the zero page is never removed again.
bool changed(int slot) noexcept;

// True when the handler was installed and another one has replaced it since
// (faulthandler.enable() or signal.signal(SIGBUS, ...) after the first
// kernel was opened): a read of a truncated file then faults into that
// handler, which ends the process or returns to the fault for ever. Asks
// the system at most every 100 ms (a coarse clock read otherwise), so that
// queries can afford to ask before they read.
bool displaced() noexcept;

}  // namespace kernwerk::map_guard
