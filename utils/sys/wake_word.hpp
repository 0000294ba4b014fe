// A word that threads sleep on until a deadline or until another thread
// changes it: a timed wait that costs one futex call and no lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace utils {

class wake_word {
public:
    wake_word() = default;
    wake_word(const wake_word &) = delete;
    wake_word &operator=(const wake_word &) = delete;

    // The word's value; a sleeper reads it before it checks the condition it
    // sleeps on, so that a change made after that check ends its sleep.
    uint32_t value() const noexcept { return word_.load(std::memory_order_acquire); }

    // Changes the word and wakes every sleeper.
    void wake_all() noexcept;

    // Sleeps until `deadline_ns` on the monotonic clock unless the word no
    // longer holds `seen`. Returns at the deadline, on a change or early for
    // a signal; the caller checks which.
    void sleep_until(uint32_t seen, uint64_t deadline_ns) const noexcept;

private:
    std::atomic<uint32_t> word_{0};
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
                  "the kernel reads the word as a plain 32-bit integer");
};

}  // namespace utils
