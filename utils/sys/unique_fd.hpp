// Ownership of one file descriptor.
#pragma once

#include <sys/types.h>

#include <string>

namespace utils {

// Owns one descriptor and closes it exactly once. Closing keeps errno, so an
// owner can go out of scope between a failing call and the caller's look at
// errno.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept;
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the owned descriptor (if any) and takes fd.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added, so the descriptor never leaks into a child
// that another thread starts meanwhile. Invalid with errno set on failure.
unique_fd open_fd(const std::string &path, int flags, mode_t mode = 0);

}  // namespace utils
