// While set, every pthread_create of the test process fails with EAGAIN.
#pragma once

#include <pthread.h>

#include <atomic>

namespace monitor_test {
extern std::atomic<bool> g_fail_thread_start;
}  // namespace monitor_test
