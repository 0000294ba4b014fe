// Opening the files the daemon writes: never through a symbolic link, and
// close-on-exec from the moment the descriptor exists (the daemon starts
// child processes while its files are open).
#pragma once

#include <string>

namespace utils {

// Owns one file descriptor; closes it when destroyed or reset.
class log_fd {
public:
    log_fd() = default;
    explicit log_fd(int fd) : fd_(fd) {}
    ~log_fd() { reset(); }
    log_fd(log_fd &&other) noexcept : fd_(other.release()) {}
    log_fd &operator=(log_fd &&other) noexcept;
    log_fd(const log_fd &) = delete;
    log_fd &operator=(const log_fd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Opens `path` for appending (truncated first when `truncate` is set),
// creating it with mode 0644 whatever the umask. Fails with ELOOP when the
// last component of `path` is a symbolic link, and without blocking (EINVAL,
// or ENXIO for a FIFO nobody reads) when it is not a regular file. On
// failure the result is empty and errno says why.
log_fd open_log_file(const std::string &path, bool truncate);

}  // namespace utils
