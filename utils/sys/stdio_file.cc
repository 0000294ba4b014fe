#include "utils/sys/stdio_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "utils/sys/unique_fd.hpp"

namespace utils {

namespace {

// The permissions fopen gives a file it creates, before the umask.
constexpr mode_t k_create_mode = 0666;

}  // namespace

unique_file open_file(const std::string &path, const char *mode)
{
    int flags = 0;
    switch (mode != nullptr ? mode[0] : '\0') {
    case 'r':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    if (std::strchr(mode, '+') != nullptr) {
        flags = (flags & ~O_ACCMODE) | O_RDWR;
    }
    unique_fd fd = open_fd(path, flags, k_create_mode);
    if (!fd) {
        return nullptr;
    }
    unique_file f(::fdopen(fd.get(), mode));
    if (f) {
        fd.release();
    }
    return f;
}

namespace {

// A posix_spawn object that is destroyed exactly when its initialisation
// succeeded; get() is null otherwise.
template <typename T, int (*Init)(T *), int (*Destroy)(T *)>
class spawn_object {
public:
    spawn_object() : live_(Init(&object_) == 0) {}
    ~spawn_object() {
        if (live_) {
            Destroy(&object_);
        }
    }
    spawn_object(const spawn_object &) = delete;
    spawn_object &operator=(const spawn_object &) = delete;

    T *get() { return live_ ? &object_ : nullptr; }

private:
    T object_{};
    bool live_;
};

// posix_spawn set-up that hands the child only the standard streams (a
// descriptor some library opened without close-on-exec stays here), with
// `out`, when given, as its standard output, and no blocked signals (the
// calling thread may block termination signals; a tool must not inherit that).
class child_setup {
public:
    explicit child_setup(int out = -1) : ready_(prepare(out)) {}

    // The child's pid, or -1.
    pid_t spawn(const char *file, const char *const argv[], bool search_path) {
        if (!ready_) {
            return -1;
        }
        pid_t pid = -1;
        auto *args = const_cast<char *const *>(argv);
        const int rc = search_path ? ::posix_spawnp(&pid, file, actions_.get(), attr_.get(), args, environ)
                                   : ::posix_spawn(&pid, file, actions_.get(), attr_.get(), args, environ);
        return rc == 0 ? pid : -1;
    }

private:
    bool prepare(int out) {
        posix_spawn_file_actions_t *actions = actions_.get();
        posix_spawnattr_t *attr = attr_.get();
        if (actions == nullptr || attr == nullptr) {
            return false;
        }
        if (out >= 0 && ::posix_spawn_file_actions_adddup2(actions, out, STDOUT_FILENO) != 0) {
            return false;
        }
        sigset_t none;
        sigemptyset(&none);
        return ::posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) == 0 &&
               ::posix_spawnattr_setsigmask(attr, &none) == 0 &&
               ::posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK) == 0;
    }

    spawn_object<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>
        actions_;
    spawn_object<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy> attr_;
    const bool ready_;
};

// Reaps `pid`; true when it exited with status 0.
bool exited_cleanly(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

command_pipe::command_pipe(const std::string &command)
{
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    start("/bin/sh", argv, false);
}

command_pipe::command_pipe(const std::vector<std::string> &argv)
{
    if (argv.empty()) {
        return;
    }
    std::vector<const char *> args;
    for (const auto &arg : argv) {
        args.push_back(arg.c_str());
    }
    args.push_back(nullptr);
    start(args[0], args.data(), true);
}

void command_pipe::start(const char *file, const char *const argv[], bool search_path)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    pid_ = child_setup(write_end.get()).spawn(file, argv, search_path);
    if (pid_ < 0) {
        return;
    }
    write_end.reset();
    f_ = ::fdopen(read_end.get(), "r");
    if (f_ != nullptr) {
        read_end.release();
    } else {
        read_end.reset();
        exited_cleanly(pid_);
        pid_ = -1;
    }
}

bool run_program(const std::vector<std::string> &argv)
{
    if (argv.empty()) {
        return false;
    }
    std::vector<const char *> args;
    for (const auto &arg : argv) {
        args.push_back(arg.c_str());
    }
    args.push_back(nullptr);
    const pid_t pid = child_setup().spawn(args[0], args.data(), true);
    return pid >= 0 && exited_cleanly(pid);
}

bool command_pipe::read_line(char *buf, size_t size)
{
    return f_ != nullptr && std::fgets(buf, static_cast<int>(size), f_) != nullptr;
}

bool command_pipe::close()
{
    if (f_ == nullptr) {
        return false;
    }
    std::fclose(f_);
    f_ = nullptr;
    const bool ok = exited_cleanly(pid_);
    pid_ = -1;
    return ok;
}

}  // namespace utils
