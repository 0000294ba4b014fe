// Preloaded into the daemon by bench/scale: notes, per thread, the
// monotonic time of every line written (write(2)) to a statistics file, one
// time per line when a write carries several, and the deadline of every
// timed wait on the monotonic clock (a sleeping worker's wait for its next
// tick: a futex wait, or a condition variable's in older builds). The first
// line of a burst is the start of a sampling pass to within the time of one
// populate. At thread exit the times are appended to
// $TALON_FLUSH_TRACE as "tid ns" lines and the deadlines as "W tid ns".
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using write_fn = ssize_t (*)(int, const void *, size_t);
using clockwait_fn = int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);
using syscall_fn = long (*)(long, ...);
constexpr int k_syscall_args = 6;
// A sleeping worker wakes a little before its tick and spins the rest: up to
// this long, and no more than this share of its wait. Kept equal to the
// worker's, so that the deadline of a pass is known from its wait.
constexpr uint64_t k_spin_margin_ns = 20000;
constexpr uint64_t k_spin_share_divisor = 500;
constexpr uint64_t k_ns_per_s = 1000000000;
constexpr const char *k_stats_suffix = "_stats.log";

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

bool is_stats_file(int fd) {
    char path[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof(path) - 1);
    return n > 0 && std::strstr(path, k_stats_suffix) != nullptr;
}

struct thread_trace {
    std::vector<uint64_t> times;
    std::vector<uint64_t> deadlines;
    int stats_fd = -1;
    ~thread_trace() {
        const char *trace_path = ::getenv("TALON_FLUSH_TRACE");
        if (times.empty() || trace_path == nullptr) {
            return;
        }
        const long tid = ::syscall(SYS_gettid);
        std::string text;
        for (uint64_t t : times) {
            text += std::to_string(tid) + " " + std::to_string(t) + "\n";
        }
        for (uint64_t t : deadlines) {
            text += "W " + std::to_string(tid) + " " + std::to_string(t) + "\n";
        }
        const int fd = ::open(trace_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::syscall(SYS_write, fd, text.data(), text.size());
            ::close(fd);
        }
    }
};

thread_local thread_trace t_trace;

}  // namespace

extern "C" ssize_t write(int fd, const void *data, size_t size) {
    static const auto real = reinterpret_cast<write_fn>(::dlsym(RTLD_NEXT, "write"));
    // A rotated file may come back under another descriptor.
    if (fd != t_trace.stats_fd && is_stats_file(fd)) {
        t_trace.stats_fd = fd;
    }
    // Lines only: the banner of a new or rotated file is no pass.
    const char *text = static_cast<const char *>(data);
    if (fd == t_trace.stats_fd && size > 0 && text[0] == '{') {
        const uint64_t now = monotonic_ns();
        for (size_t i = 0; i < size; ++i) {
            if (text[i] == '\n') {
                t_trace.times.push_back(now);
            }
        }
    }
    return real(fd, data, size);
}

namespace {

void note_wait(const struct timespec &wake_at) {
    const uint64_t wake = static_cast<uint64_t>(wake_at.tv_sec) * k_ns_per_s + wake_at.tv_nsec;
    const uint64_t now = monotonic_ns();
    // The worker's margin was taken from its whole wait: wait = margin + (wake - now).
    const uint64_t ahead = wake > now ? wake - now : 0;
    uint64_t margin = ahead / (k_spin_share_divisor - 1);
    margin = margin < k_spin_margin_ns ? margin : k_spin_margin_ns;
    t_trace.deadlines.push_back(wake + margin);
}

}  // namespace

extern "C" int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                                      const struct timespec *abstime) {
    static const auto real = reinterpret_cast<clockwait_fn>(::dlsym(RTLD_NEXT, "pthread_cond_clockwait"));
    if (clock == CLOCK_MONOTONIC) {
        note_wait(*abstime);
    }
    return real(cond, mutex, clock, abstime);
}

// A sleeping worker's futex wait with an absolute deadline on the monotonic
// clock (FUTEX_WAIT_BITSET without FUTEX_CLOCK_REALTIME).
extern "C" long syscall(long number, ...) {
    static const auto real = reinterpret_cast<syscall_fn>(::dlsym(RTLD_NEXT, "syscall"));
    va_list list;
    va_start(list, number);
    long args[k_syscall_args];
    for (auto &arg : args) {
        arg = va_arg(list, long);
    }
    va_end(list);
    if (number == SYS_futex && (args[1] & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET &&
        (args[1] & FUTEX_CLOCK_REALTIME) == 0 && args[3] != 0) {
        note_wait(*reinterpret_cast<const struct timespec *>(args[3]));
    }
    return real(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}
