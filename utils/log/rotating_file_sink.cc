#include "utils/log/rotating_file_sink.hpp"

#include "utils/log/boot_count.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>

namespace utils {

namespace {

spdlog::file_event_handlers banner_handlers(std::size_t &opened_size, bool &is_open, int &live_fd) {
    spdlog::file_event_handlers handlers;
    handlers.after_open = [&opened_size, &is_open, &live_fd](const spdlog::filename_t &, std::FILE *stream) {
        int fd = ::fileno(stream);
        live_fd = fd;
        // Children (ps, lspci, setpci) must not inherit our log files.
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0) {
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
        struct stat st {};
        opened_size = (::fstat(fd, &st) == 0) ? static_cast<std::size_t>(st.st_size) : 0;
        const std::string banner = boot_banner(boot_count_get());
        std::fwrite(banner.data(), 1, banner.size(), stream);
        // On disk at once: a file that gets no line for a while still shows its boot.
        std::fflush(stream);
        is_open = true;
    };
    handlers.after_close = [&is_open, &live_fd](const spdlog::filename_t &) {
        is_open = false;
        live_fd = -1;
    };
    return handlers;
}

bool path_exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

template <typename Mutex>
rotating_file_sink<Mutex>::rotating_file_sink(std::string base_filename, std::size_t max_size,
                                              std::size_t max_files)
    : base_filename_(std::move(base_filename)),
      max_size_(max_size),
      max_files_(max_files),
      file_helper_(banner_handlers(opened_size_, is_open_, fd_)) {
    open_(false);
}

template <typename Mutex>
std::string rotating_file_sink<Mutex>::calc_filename(const std::string &base_filename, std::size_t index) {
    if (index == 0) {
        return base_filename;
    }
    return base_filename + "." + std::to_string(index);
}

template <typename Mutex>
std::string rotating_file_sink<Mutex>::filename() {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    return file_helper_.filename();
}

template <typename Mutex>
void rotating_file_sink<Mutex>::open_(bool truncate) {
    is_open_ = false;
    // The library's helper would create a missing directory; a vanished log
    // directory is an error the operator must see, not something to recreate.
    const auto slash = base_filename_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        struct stat st {};
        const std::string dir = base_filename_.substr(0, slash);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            spdlog::throw_spdlog_ex("Failed opening file " + base_filename_ + " for writing", ENOENT);
        }
    }
    file_helper_.open(base_filename_, truncate);
    // The banner is not a message: only what was in the file before it counts.
    current_size_ = opened_size_;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::sink_it_(const spdlog::details::log_msg &msg) {
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(msg, formatted);
    if (!is_open_ || live_file_unlinked_()) {
        // An earlier open failed, or the file was removed under us (with its
        // directory, say): open it again, so that nothing is written into a
        // file nobody can read and writing resumes once the file can be opened.
        open_(false);
    }
    std::size_t new_size = current_size_ + formatted.size();
    // A file holding no message yet is not rotated, even for an oversized one.
    if (new_size > max_size_ && current_size_ > 0) {
        rotate_();
        new_size = formatted.size();
    }
    file_helper_.write(formatted);
    current_size_ = new_size;
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::live_file_unlinked_() {
    // Checked about once a second: a removed file loses at most a second of
    // lines, and writing stays one system call a line.
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec == last_link_check_) {
        return false;
    }
    last_link_check_ = now.tv_sec;
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::flush_() {
    if (is_open_) {
        file_helper_.flush();
    }
}

template <typename Mutex>
void rotating_file_sink<Mutex>::rotate_() {
    file_helper_.close();
    for (std::size_t i = max_files_; i > 0; --i) {
        const std::string target = calc_filename(base_filename_, i);
        if (path_exists(target) && std::remove(target.c_str()) != 0) {
            open_(false);
            spdlog::throw_spdlog_ex("rotating_file_sink: failed removing " + target, errno);
        }
        const std::string source = calc_filename(base_filename_, i - 1);
        if (path_exists(source) && std::rename(source.c_str(), target.c_str()) != 0) {
            open_(false);
            spdlog::throw_spdlog_ex("rotating_file_sink: failed renaming " + source + " to " + target, errno);
        }
    }
    open_(true);
}

template class rotating_file_sink<std::mutex>;
template class rotating_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
