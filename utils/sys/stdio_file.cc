#include "utils/sys/stdio_file.hpp"

#include <fcntl.h>
#include <sys/wait.h>

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

command_pipe::command_pipe(const std::string &command) : f_(::popen(command.c_str(), "re")) {}

bool command_pipe::read_line(char *buf, size_t size)
{
    return f_ != nullptr && std::fgets(buf, static_cast<int>(size), f_) != nullptr;
}

bool command_pipe::close()
{
    if (f_ == nullptr) {
        return false;
    }
    int status = ::pclose(f_);
    f_ = nullptr;
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace utils
