// Pieces shared by the fuzz targets: property checks that stop the run with
// a message, a thread that runs jobs, and a way to keep the code under
// test from filling the terminal with its own error messages.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

// A property that must hold for every input; a failure aborts, and libFuzzer
// saves the input that caused it.
#define FUZZ_CHECK(cond, ...)                                                           \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "fuzz property failed at %s:%d: %s\n", __FILE__,     \
                         __LINE__, #cond);                                              \
            std::fprintf(stderr, "  " __VA_ARGS__);                                     \
            std::fprintf(stderr, "\n");                                                 \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

namespace fuzz_support {

// While alive, standard error goes to /dev/null; FUZZ_TALKATIVE=1 keeps it.
class quiet_stderr {
public:
    quiet_stderr() {
        const char *keep = std::getenv("FUZZ_TALKATIVE");
        if (keep != nullptr && *keep == '1') {
            return;
        }
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null_fd >= 0) {
            ::dup2(null_fd, STDERR_FILENO);
        }
        if (null_fd >= 0) {
            ::close(null_fd);
        }
    }
    ~quiet_stderr() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    quiet_stderr(const quiet_stderr &) = delete;
    quiet_stderr &operator=(const quiet_stderr &) = delete;

private:
    int saved_ = -1;
};

// Runs jobs, one at a time, on a thread of its own, after `setup` has run
// there: for code that keeps state per thread (card-control channels, the
// access recorder).
class job_thread {
public:
    explicit job_thread(std::function<void()> setup = [] {})
        : thread_([this, setup = std::move(setup)] {
              setup();
              run();
          }) {}
    ~job_thread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void call(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = std::move(job);
        cv_.notify_all();
        cv_.wait(lock, [this] { return !job_; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || job_; });
            if (stop_) {
                return;
            }
            job_();
            job_ = nullptr;
            cv_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> job_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace fuzz_support
