#include "top/top_file_follower.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {
constexpr size_t k_read_chunk = 64 * 1024;
}

top_file_follower::top_file_follower(std::string path, size_t initial_tail)
    : path_(std::move(path)), initial_tail_(initial_tail) {}

top_file_follower::~top_file_follower() {
    close_file();
}

void top_file_follower::close_file() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void top_file_follower::open_current(bool from_tail) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    offset_ = 0;
    partial_.clear();
    overlong_ = false;
    skip_partial_ = false;
    if (from_tail && st.st_size > static_cast<off_t>(initial_tail_)) {
        offset_ = st.st_size - static_cast<off_t>(initial_tail_);
        skip_partial_ = true;
    }
}

void top_file_follower::drain(std::vector<std::string> &lines) {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size - offset_ > static_cast<off_t>(k_max_read)) {
        offset_ = st.st_size - static_cast<off_t>(initial_tail_);
        partial_.clear();
        skip_partial_ = true;
    }
    char buf[k_read_chunk];
    for (;;) {
        const ssize_t n = ::pread(fd_, buf, sizeof(buf), offset_);
        if (n <= 0) {
            return;
        }
        offset_ += n;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\n') {
                if (!skip_partial_ && !overlong_) {
                    lines.push_back(std::move(partial_));
                }
                partial_.clear();
                skip_partial_ = false;
                overlong_ = false;
            } else if (!skip_partial_ && !overlong_) {
                if (partial_.size() >= k_max_line) {
                    partial_.clear();
                    overlong_ = true;
                } else {
                    partial_ += c;
                }
            }
        }
    }
}

void top_file_follower::poll(std::vector<std::string> &lines) {
    if (fd_ >= 0) {
        drain(lines);
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            return;  // between the rename and the new file: keep the old one
        }
        if (st.st_dev != dev_ || st.st_ino != ino_) {
            // Rotated: the old file was read to its end above; a line the
            // daemon left unfinished there is lost with it.
            close_file();
            open_current(false);
        } else if (st.st_size < offset_) {
            offset_ = 0;  // truncated
            partial_.clear();
        }
    } else {
        open_current(!opened_once_);
    }
    if (fd_ >= 0) {
        opened_once_ = true;
        drain(lines);
    }
}
