// Thread creation that a test can make fail, as a pids cgroup or memory
// limit makes it fail on a real host. The test executable's definition
// takes the place of the C library's for every caller in the process.
#include "tests/monitor/failing_thread_start.hpp"

#include <dlfcn.h>

#include <cerrno>

namespace test_support {
std::atomic<bool> g_fail_thread_start{false};
}  // namespace test_support

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto real_create = reinterpret_cast<create_fn>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (test_support::g_fail_thread_start.load()) {
        return EAGAIN;
    }
    return real_create(thread, attr, start, arg);
}
