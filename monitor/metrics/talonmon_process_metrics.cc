#include "monitor/metrics/talonmon_process_metrics.hpp"

#include "utils/sys/unique_fd.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace {

// Field 22 of /proc/<pid>/stat, counted from 1, is the start time in clock
// ticks after boot; fields are counted after the parenthesised command name,
// which may itself hold spaces and parentheses.
constexpr int k_stat_starttime_field = 22;
constexpr int k_stat_first_field_after_comm = 3;
// Two numbers of up to 20 digits among the seven of /proc/self/statm.
constexpr size_t k_statm_buf_size = 256;

double start_time_seconds() {
    std::ifstream stat("/proc/self/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return 0;
    }
    const size_t comm_end = line.rfind(')');
    if (comm_end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(line.substr(comm_end + 1));
    std::string field;
    for (int i = k_stat_first_field_after_comm; i < k_stat_starttime_field; ++i) {
        fields >> field;
    }
    unsigned long long start_ticks = 0;
    if (!(fields >> start_ticks)) {
        return 0;
    }
    std::ifstream proc_stat("/proc/stat");
    std::string key;
    unsigned long long boot_time = 0;
    while (proc_stat >> key) {
        if (key == "btime") {
            proc_stat >> boot_time;
            break;
        }
        proc_stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    if (boot_time == 0 || ticks_per_second <= 0) {
        return 0;
    }
    return static_cast<double>(boot_time) + static_cast<double>(start_ticks) / static_cast<double>(ticks_per_second);
}

uint64_t resident_memory_bytes() {
    // Read with one system call into the stack: a scrape reads it each time.
    char text[k_statm_buf_size];
    ssize_t length = -1;
    {
        const utils::unique_fd fd(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
        if (fd) {
            length = ::read(fd.get(), text, sizeof(text) - 1);
        }
    }
    if (length <= 0) {
        return 0;
    }
    text[length] = '\0';
    unsigned long long size_pages = 0;
    unsigned long long resident_pages = 0;
    if (std::sscanf(text, "%llu %llu", &size_pages, &resident_pages) != 2) {
        return 0;
    }
    const long page_size = ::sysconf(_SC_PAGESIZE);
    return page_size > 0 ? resident_pages * static_cast<uint64_t>(page_size) : 0;
}

uint64_t open_fds() {
    // Since Linux 6.2 the directory's size is the number of open
    // descriptors: one system call instead of a listing.
    struct stat st {};
    if (::stat("/proc/self/fd", &st) == 0 && st.st_size > 0) {
        return static_cast<uint64_t>(st.st_size);
    }
    std::error_code ec;
    uint64_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    // The directory being listed holds a descriptor of its own.
    return count > 0 ? count - 1 : 0;
}

double cpu_seconds() {
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0;
    }
    auto seconds = [](const struct timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

talonmon_process_metrics_s talonmon_process_metrics_sample() {
    talonmon_process_metrics_s sample;
    sample.cpu_seconds = cpu_seconds();
    sample.resident_memory_bytes = resident_memory_bytes();
    sample.open_fds = open_fds();
    // The start time does not change: read once.
    static const double k_start_time_seconds = start_time_seconds();
    sample.start_time_seconds = k_start_time_seconds;
    return sample;
}
