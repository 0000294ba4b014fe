/* Preloaded into the daemon by a test: steps the wall clock back (or
 * forward) once, a fixed time after the process first reads a clock, as an
 * NTP step or `date -s` would. The monotonic clocks are left alone.
 *   TALON_TEST_CLOCK_STEP_AFTER_MS  when to step, in ms of monotonic time
 *   TALON_TEST_CLOCK_STEP_S         the step in seconds (negative: back)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static clock_gettime_fn real_clock_gettime(void) {
    static _Atomic(clock_gettime_fn) real;
    clock_gettime_fn fn = atomic_load(&real);
    if (fn == NULL) {
        fn = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
        atomic_store(&real, fn);
    }
    return fn;
}

static int64_t env_i64(const char *name) {
    const char *text = getenv(name);
    return text ? strtoll(text, NULL, 10) : 0;
}

static int64_t mono_ns(void) {
    struct timespec ts;
    real_clock_gettime()(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
    static _Atomic int64_t step_at_ns;
    int rc = real_clock_gettime()(clock, ts);
    if (rc != 0 || (clock != CLOCK_REALTIME && clock != CLOCK_REALTIME_COARSE)) {
        return rc;
    }
    int64_t at = atomic_load(&step_at_ns);
    if (at == 0) {
        int64_t want = mono_ns() + env_i64("TALON_TEST_CLOCK_STEP_AFTER_MS") * 1000000LL;
        int64_t expected = 0;
        atomic_compare_exchange_strong(&step_at_ns, &expected, want);
        at = atomic_load(&step_at_ns);
    }
    if (mono_ns() >= at) {
        ts->tv_sec += env_i64("TALON_TEST_CLOCK_STEP_S");
    }
    return rc;
}
