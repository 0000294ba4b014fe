#include "utils/sys/wake_word.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace utils {

namespace {

constexpr uint64_t k_ns_per_s = 1000000000;

long futex(const std::atomic<uint32_t> *word, int op, uint32_t value, const struct timespec *timeout,
           uint32_t mask) {
    // The kernel reads and wakes the word by its address; the atomic holds
    // exactly one 32-bit integer.
    return ::syscall(SYS_futex, reinterpret_cast<const uint32_t *>(word), op | FUTEX_PRIVATE_FLAG, value, timeout,
                     nullptr, mask);
}

}  // namespace

void wake_word::wake_all() noexcept {
    word_.fetch_add(1, std::memory_order_release);
    futex(&word_, FUTEX_WAKE, INT_MAX, nullptr, 0);
}

void wake_word::sleep_until(uint32_t seen, uint64_t deadline_ns) const noexcept {
    struct timespec deadline {};
    deadline.tv_sec = static_cast<time_t>(deadline_ns / k_ns_per_s);
    deadline.tv_nsec = static_cast<long>(deadline_ns % k_ns_per_s);
    // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock.
    futex(&word_, FUTEX_WAIT_BITSET, seen, &deadline, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace utils
