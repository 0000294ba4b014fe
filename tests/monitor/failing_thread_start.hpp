// While set, every pthread_create of the test process fails with EAGAIN.
#pragma once

#include <pthread.h>

#include <atomic>

namespace test_support {
extern std::atomic<bool> g_fail_thread_start;
}  // namespace test_support
