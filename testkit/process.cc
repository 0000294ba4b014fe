#include "testkit/process.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace test_support {

temp_dir::temp_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/talon-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

constexpr const char *k_unshare = "/usr/bin/unshare";
// How long a namespace launcher may take to fork the program.
constexpr auto k_launch_timeout = std::chrono::seconds(5);
constexpr auto k_launch_poll = std::chrono::milliseconds(1);

std::atomic<pid_namespace> g_default_pid_namespace{pid_namespace::shared};

std::vector<std::string> prefixed(std::vector<std::string> prefix, const std::vector<std::string> &argv) {
    prefix.insert(prefix.end(), argv.begin(), argv.end());
    return prefix;
}

}  // namespace

scoped_env::scoped_env(const char *name, const std::string &value)
    : name_(name), old_(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt) {
    ::setenv(name, value.c_str(), 1);
}

scoped_env::~scoped_env() {
    if (old_) {
        ::setenv(name_, old_->c_str(), 1);
    } else {
        ::unsetenv(name_);
    }
}

void set_default_pid_namespace(pid_namespace ns) {
    g_default_pid_namespace.store(ns);
}

pid_namespace default_pid_namespace() {
    return g_default_pid_namespace.load();
}

child_process::child_process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                             pid_namespace ns) {
    // --kill-child: the whole namespace goes when the launcher does.
    const bool own = ns == pid_namespace::own;
    start(own ? prefixed({k_unshare, "--pid", "--fork", "--mount-proc", "--kill-child", "--"}, argv) : argv, env);
    if (own) {
        find_program_pid();  // unshare forks the program and mirrors its end
    }
}

void child_process::start(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    // The test's environment, with `env` entries added or replacing theirs.
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const auto &entry : env) {
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    std::vector<char *> cargv, cenv;
    for (const auto &a : argv) {
        cargv.push_back(const_cast<char *>(a.c_str()));
    }
    for (auto &[name, entry] : vars) {
        cenv.push_back(entry.data());
    }
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    const std::string out_path = io_dir_ / "stdout";
    const std::string err_path = io_dir_ / "stderr";

    const pid_t test_pid = ::getpid();
    launcher_pid_ = ::fork();
    if (launcher_pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (launcher_pid_ == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            ::_exit(127);
        }
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setpgid(0, 0);
        // A test that dies (or is interrupted, or is killed on a timeout)
        // takes its children along: a launcher takes its program with it,
        // and a stand-in named like the daemon must never outlive the test,
        // or a real daemon on the host would refuse to start beside it. The
        // signal follows the forking thread; tests start children from their
        // main thread only.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != test_pid) {
            ::_exit(127);  // the test was already gone
        }
        // Signals blocked or ignored by the test runner must not leak into the child.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::execve(cargv[0], cargv.data(), cenv.data());
        ::_exit(127);
    }
    pid_ = launcher_pid_;
}

// The launcher forks the program as its only child.
void child_process::find_program_pid() {
    const std::string children =
        "/proc/" + std::to_string(launcher_pid_) + "/task/" + std::to_string(launcher_pid_) + "/children";
    const auto deadline = std::chrono::steady_clock::now() + k_launch_timeout;
    while (running() && std::chrono::steady_clock::now() < deadline) {
        std::istringstream listed(read_file(children));
        pid_t program = 0;
        if (listed >> program && program > 0) {
            pid_ = program;
            return;
        }
        std::this_thread::sleep_for(k_launch_poll);
    }
}

void child_process::kill_and_reap() {
    if (pid_ != launcher_pid_) {
        ::kill(pid_, SIGKILL);  // as PID 1 of a namespace, takes every process in it along
    }
    ::kill(launcher_pid_, SIGKILL);
    ::waitpid(launcher_pid_, &status_, 0);
    reaped_ = true;
}

child_process::~child_process() {
    if (launcher_pid_ > 0 && !reaped_) {
        kill_and_reap();
    }
}

void child_process::signal(int signo) const {
    ::kill(pid_, signo);
}

bool child_process::running() {
    if (reaped_) {
        return false;
    }
    pid_t r = ::waitpid(launcher_pid_, &status_, WNOHANG);
    if (r == launcher_pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

// A launcher ends the way its program did: unshare exits with the
// program's status, or raise on themselves the signal that killed it.
process_result child_process::wait(std::chrono::milliseconds timeout) {
    process_result result;
    if (!wait_until([this] { return !running(); }, timeout)) {
        result.timed_out = true;
        kill_and_reap();
    }
    if (WIFEXITED(status_)) {
        result.exit_status = WEXITSTATUS(status_);
    } else if (WIFSIGNALED(status_)) {
        result.term_signal = WTERMSIG(status_);
    }
    result.out = read_file(io_dir_ / "stdout");
    result.err = err_so_far();
    return result;
}

std::string child_process::err_so_far() const {
    return read_file(io_dir_ / "stderr");
}

process_result run_process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                           std::chrono::milliseconds timeout) {
    return child_process(argv, env).wait(timeout);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

emulated_host_env::emulated_host_env(const std::string &root)
    : sysfs_("TALON_SYSFS_DIR", root + "/sys"), dev_("TALON_DEV_DIR", root + "/dev"),
      path_("PATH", root + "/bin:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")) {}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool file_exists(const std::string &path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace test_support
