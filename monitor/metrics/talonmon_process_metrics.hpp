// The standard process metrics of the daemon, read from the kernel.
#pragma once

#include <cstdint>

struct talonmon_process_metrics_s {
    double cpu_seconds = 0;
    uint64_t resident_memory_bytes = 0;
    uint64_t open_fds = 0;
    double start_time_seconds = 0;  // since the Unix epoch
};

// Samples the calling process. A figure that cannot be read stays 0.
talonmon_process_metrics_s talonmon_process_metrics_sample();
