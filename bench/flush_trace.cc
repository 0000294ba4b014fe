// Preloaded into the daemon by bench/scale: notes the monotonic time of
// every line written (write(2)) to a statistics file, per thread. Each exported line is
// written at once, so the first write of a burst is the start of a sampling
// pass to within the time of one populate. At thread exit the times are
// appended to $TALON_FLUSH_TRACE as "tid ns" lines.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using write_fn = ssize_t (*)(int, const void *, size_t);
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
    if (fd == t_trace.stats_fd && size > 0 && static_cast<const char *>(data)[0] == '{') {
        t_trace.times.push_back(monotonic_ns());
    }
    return real(fd, data, size);
}
