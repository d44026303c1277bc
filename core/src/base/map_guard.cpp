#include "base/map_guard.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <time.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kernwerk::map_guard {

namespace {

enum : int { kFree = 0, kClaimed = 1, kActive = 2 };

// A slot is claimed (compare-exchange from kFree), filled, then published as
// kActive; the handler reads base and length only of an active slot.
struct Slot {
    std::atomic<int> state{kFree};
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::size_t> len{0};
    std::atomic<bool> changed{false};
};

Slot g_slots[kSlots];
// One past the highest slot ever claimed: the handler scans no further.
std::atomic<std::size_t> g_used{0};
std::uintptr_t g_page = 4096;
struct sigaction g_previous {};
std::atomic<bool> g_installed{false};

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the handler reads the registry without locks");

void restore_default() noexcept {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGBUS, &dfl, nullptr);
}

// A SIGBUS that is not ours goes where it would have gone without us.
void chain(int sig, siginfo_t* info, void* context) noexcept {
    const bool sent = info == nullptr || info->si_code <= 0;  // kill(2), raise(3), sigqueue(3)
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) g_previous.sa_sigaction(sig, info, context);
        return;
    }
    if (g_previous.sa_handler == SIG_IGN) {
        // A sent signal stays ignored; a fault cannot be ignored (the access
        // would repeat for ever), so it gets the default action.
        if (!sent) restore_default();
        return;
    }
    if (g_previous.sa_handler == SIG_DFL) {
        // Returning repeats the faulting access under the default action;
        // a sent signal is sent again, to be delivered once we return.
        restore_default();
        if (sent) ::raise(sig);
        return;
    }
    g_previous.sa_handler(sig);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    if (info != nullptr && info->si_code > 0) {
        const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
        const std::size_t used = g_used.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < used; ++i) {
            Slot& s = g_slots[i];
            if (s.state.load(std::memory_order_acquire) != kActive) continue;
            const std::uintptr_t base = s.base.load(std::memory_order_relaxed);
            const std::size_t len = s.len.load(std::memory_order_relaxed);
            if (addr < base || addr - base >= len) continue;
            const int saved_errno = errno;
            void* page = reinterpret_cast<void*>(addr & ~(g_page - 1));
            void* p = ::mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            errno = saved_errno;
            if (p == MAP_FAILED) break;  // cannot repair: handled as a foreign fault
            s.changed.store(true, std::memory_order_release);
            return;
        }
    }
    chain(sig, info, context);
}

bool install() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) g_page = static_cast<std::uintptr_t>(page);
        struct sigaction ours {};
        ours.sa_sigaction = on_sigbus;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        if (::sigaction(SIGBUS, nullptr, &g_previous) != 0) return;
        g_installed = ::sigaction(SIGBUS, &ours, nullptr) == 0;
    });
    return g_installed;
}

std::atomic<std::int64_t> g_next_look{0};  // coarse monotonic ns of the next sigaction query
std::atomic<bool> g_displaced{false};

std::int64_t coarse_now_ns() noexcept {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

bool displaced() noexcept {
    if (!g_installed) return false;
    const std::int64_t now = coarse_now_ns();
    std::int64_t next = g_next_look.load(std::memory_order_relaxed);
    if (now < next || !g_next_look.compare_exchange_strong(next, now + 100000000, std::memory_order_relaxed))
        return g_displaced.load(std::memory_order_relaxed);
    struct sigaction current {};
    if (::sigaction(SIGBUS, nullptr, &current) == 0)
        g_displaced.store(!((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus),
                          std::memory_order_relaxed);
    return g_displaced.load(std::memory_order_relaxed);
}

int register_mapping(const void* base, std::size_t len) noexcept {
    if (base == nullptr || len == 0 || !install()) return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!g_slots[i].state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) continue;
        g_slots[i].base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_relaxed);
        g_slots[i].len.store(len, std::memory_order_relaxed);
        g_slots[i].changed.store(false, std::memory_order_relaxed);
        g_slots[i].state.store(kActive, std::memory_order_release);
        std::size_t used = g_used.load(std::memory_order_relaxed);
        while (used < i + 1 && !g_used.compare_exchange_weak(used, i + 1, std::memory_order_acq_rel)) {
        }
        return static_cast<int>(i);
    }
    return -1;
}

void unregister_mapping(int slot) noexcept {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kSlots) return;
    g_slots[slot].state.store(kFree, std::memory_order_release);
}

bool changed(int slot) noexcept {
    if (slot < 0 || static_cast<std::size_t>(slot) >= kSlots) return false;
    return g_slots[slot].changed.load(std::memory_order_acquire);
}

}  // namespace kernwerk::map_guard
