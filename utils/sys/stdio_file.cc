#include "utils/sys/stdio_file.hpp"

#include <fcntl.h>
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

command_pipe::command_pipe(const std::string &command)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        return;
    }
    // Only the standard streams reach the command: a descriptor that some
    // library opened without close-on-exec (a client's socket) stays here.
    int rc = ::posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    if (rc == 0) {
        rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    }
    if (rc == 0) {
        const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
        rc = ::posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char *const *>(argv), environ);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    write_end.reset();
    f_ = ::fdopen(read_end.get(), "r");
    if (f_ != nullptr) {
        read_end.release();
    } else {
        read_end.reset();
        wait_for_command();
    }
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
    return wait_for_command();
}

bool command_pipe::wait_for_command()
{
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid_, &status, 0);
    } while (rc < 0 && errno == EINTR);
    pid_ = -1;
    return rc > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace utils
