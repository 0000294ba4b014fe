// Preloaded into the daemon by bench/scale: notes the monotonic time of
// every flush of a statistics file, per thread. Each exported line is
// flushed, so the first flush of a burst is the start of a sampling pass to
// within the time of one populate. At thread exit the times are appended to
// $TALON_FLUSH_TRACE as "tid ns" lines.
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

using fflush_fn = int (*)(FILE *);
constexpr uint64_t k_ns_per_s = 1000000000;
constexpr const char *k_stats_suffix = "_stats.log";

std::string g_trace_path;

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

bool is_stats_file(FILE *file) {
    const int fd = ::fileno(file);
    if (fd < 0) {
        return false;
    }
    char path[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof(path) - 1);
    return n > 0 && std::strstr(path, k_stats_suffix) != nullptr;
}

struct thread_trace {
    std::vector<uint64_t> times;
    FILE *stats_file = nullptr;
    ~thread_trace() {
        if (times.empty() || g_trace_path.empty()) {
            return;
        }
        const long tid = ::syscall(SYS_gettid);
        std::string text;
        for (uint64_t t : times) {
            text += std::to_string(tid) + " " + std::to_string(t) + "\n";
        }
        const int fd = ::open(g_trace_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t ignored = ::write(fd, text.data(), text.size());
            (void)ignored;
            ::close(fd);
        }
    }
};

thread_local thread_trace t_trace;

__attribute__((constructor)) void start() {
    if (const char *path = ::getenv("TALON_FLUSH_TRACE")) {
        g_trace_path = path;
    }
    // The daemon's children (lspci) are not traced.
    ::unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" int fflush(FILE *file) {
    static const auto real = reinterpret_cast<fflush_fn>(::dlsym(RTLD_NEXT, "fflush"));
    if (file != nullptr) {
        // A rotated file is a new stream: look again at streams not seen.
        if (file != t_trace.stats_file && is_stats_file(file)) {
            t_trace.stats_file = file;
        }
        if (file == t_trace.stats_file) {
            t_trace.times.push_back(monotonic_ns());
        }
    }
    return real(file);
}
