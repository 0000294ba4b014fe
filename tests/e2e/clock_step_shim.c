/* Preloaded into the daemon by a test: steps the wall clock back (or
 * forward) once, a fixed time after the daemon starts, as an NTP step or
 * `date -s` would. The monotonic clocks are left alone.
 *   TALON_TEST_CLOCK_STEP_AFTER_MS  when to step, in ms after the start
 *   TALON_TEST_CLOCK_STEP_S         the step in seconds (negative: back)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static clock_gettime_fn real_clock_gettime;
static int64_t step_at_ns = INT64_MAX; /* no step until armed */
static int64_t step_s;

static int64_t env_i64(const char *name) {
    const char *text = getenv(name);
    return text ? strtoll(text, NULL, 10) : 0;
}

static int64_t mono_ns(void) {
    struct timespec ts;
    real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Runs before the daemon's own code starts any thread. */
__attribute__((constructor)) static void arm_step(void) {
    real_clock_gettime = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
    step_s = env_i64("TALON_TEST_CLOCK_STEP_S");
    step_at_ns = mono_ns() + env_i64("TALON_TEST_CLOCK_STEP_AFTER_MS") * 1000000LL;
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
    if (real_clock_gettime == NULL) { /* called by another library's constructor */
        real_clock_gettime = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
    }
    int rc = real_clock_gettime(clock, ts);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) && mono_ns() >= step_at_ns) {
        ts->tv_sec += step_s;
    }
    return rc;
}
