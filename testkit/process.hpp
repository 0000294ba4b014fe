// Test support: temporary directories, scoped environment variables and
// child processes with captured output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable of the test process while it lives.
class scoped_env {
public:
    scoped_env(const char *name, const std::string &value);
    ~scoped_env();
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

struct process_result {
    int exit_status = -1;  // exit status, or -1 when killed by a signal
    int term_signal = 0;   // signal that ended the process, if any
    bool timed_out = false;
    std::string out;
    std::string err;
};

// The PID namespace a child runs in. In a namespace of its own
// (`unshare --pid --fork --mount-proc`) the program is PID 1 and its /proc
// lists only its own descendants, so it neither sees nor is seen by the
// processes of the host; like any PID 1 it receives only the signals it
// has a handler for, and SIGKILL.
enum class pid_namespace { shared, own };

// The namespace of children started without an explicit choice (shared
// unless a test binary changes it).
void set_default_pid_namespace(pid_namespace ns);
pid_namespace default_pid_namespace();

// A child process whose standard output and error go to files.
class child_process {
public:
    // argv[0] is the path executed; `env` entries ("NAME=value") are added
    // to (or replace in) the test's own environment.
    child_process(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                  pid_namespace ns = default_pid_namespace());
    ~child_process();
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    // The program's PID as the test sees it (not that of the namespace's launcher).
    pid_t pid() const { return pid_; }
    void signal(int signo) const;
    // True when the child has not exited yet.
    bool running();
    // Waits for the child to end; kills it with SIGKILL after `timeout`.
    process_result wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What the child has written to standard error so far.
    std::string err_so_far() const;

private:
    void start(const std::vector<std::string> &argv, const std::vector<std::string> &env);
    void find_program_pid();
    void kill_and_reap();

    temp_dir io_dir_;
    pid_t launcher_pid_ = -1;  // the process forked: the program, or unshare starting it
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

process_result run_process(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::vector<std::string> read_lines(const std::string &path);
bool file_exists(const std::string &path);
// `text` as one word for /bin/sh, in single quotes.
std::string shell_quote(const std::string &text);

// TALON_SYSFS_DIR, TALON_DEV_DIR and PATH pointing into the emulated host
// under `root` (its sys/, dev/ and bin/) while it lives.
class emulated_host_env {
public:
    explicit emulated_host_env(const std::string &root);

private:
    scoped_env sysfs_, dev_, path_;
};

// Polls `predicate` every 10 ms until it holds or `timeout` passes.
template <typename Predicate>
bool wait_until(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace test_support
