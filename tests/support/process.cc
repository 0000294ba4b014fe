#include "tests/support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

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

child_process::child_process(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
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

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
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
        // Signals blocked or ignored by the test runner must not leak into the child.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::execve(cargv[0], cargv.data(), cenv.data());
        ::_exit(127);
    }
}

child_process::~child_process() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
}

void child_process::signal(int signo) const {
    ::kill(pid_, signo);
}

bool child_process::running() {
    if (reaped_) {
        return false;
    }
    pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

process_result child_process::wait(std::chrono::milliseconds timeout) {
    process_result result;
    if (!wait_until([this] { return !running(); }, timeout)) {
        result.timed_out = true;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    if (WIFEXITED(status_)) {
        result.exit_status = WEXITSTATUS(status_);
    } else if (WIFSIGNALED(status_)) {
        result.term_signal = WTERMSIG(status_);
    }
    result.out = out_so_far();
    result.err = err_so_far();
    return result;
}

std::string child_process::out_so_far() const {
    return read_file(io_dir_ / "stdout");
}

std::string child_process::err_so_far() const {
    return read_file(io_dir_ / "stderr");
}

process_result run_process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                           std::chrono::milliseconds timeout) {
    child_process child(argv, env);
    return child.wait(timeout);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

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
