#include "utils/log/rotating_file_sink.hpp"

#include "utils/log/boot_count.hpp"

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace utils {

namespace {

constexpr int k_open_tries = 5;
constexpr std::chrono::milliseconds k_open_retry_interval{10};

bool path_exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_symlink(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Something other than a regular file or a symbolic link stands at `path`
// (a FIFO, a directory, a device node): it is refused, not retried.
bool is_irregular(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
}

std::string error_text(const std::string &msg, int err) {
    return spdlog::spdlog_ex(msg, err).what();
}

}  // namespace

template <typename Mutex>
rotating_file_sink<Mutex>::rotating_file_sink(std::string base_filename, std::size_t max_size,
                                              std::size_t max_files)
    : base_filename_(std::move(base_filename)), max_size_(max_size), max_files_(max_files) {
    std::string error;
    if (!open_(false, true, error)) {
        spdlog::throw_spdlog_ex(error);
    }
}

template <typename Mutex>
rotating_file_sink<Mutex>::rotating_file_sink(std::string base_filename, std::size_t max_size,
                                              std::size_t max_files, open_failure on_open_failure)
    : base_filename_(std::move(base_filename)), max_size_(max_size), max_files_(max_files) {
    std::string error;
    if (!open_(false, true, error) && on_open_failure == open_failure::throw_error) {
        spdlog::throw_spdlog_ex(error);
    }
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
    return base_filename_;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::set_lost_lines_handler(lost_lines_handler handler) {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    lost_lines_handler_ = std::move(handler);
}

template <typename Mutex>
void rotating_file_sink<Mutex>::set_error_reporter(error_reporter reporter) {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    error_reporter_ = std::move(reporter);
}

template <typename Mutex>
void rotating_file_sink<Mutex>::set_line_lost_hook(line_lost_hook hook) {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    line_lost_hook_ = std::move(hook);
}

template <typename Mutex>
void rotating_file_sink<Mutex>::reopen() {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    struct stat open_st {};
    struct stat named_st {};
    if (file_ && ::fstat(file_.get(), &open_st) == 0 && ::lstat(base_filename_.c_str(), &named_st) == 0 &&
        open_st.st_dev == named_st.st_dev && open_st.st_ino == named_st.st_ino) {
        return;
    }
    std::string ignored;
    open_(false, false, ignored);
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::open_(bool truncate, bool retry, std::string &error) {
    file_.reset();
    pending_cut_ = -1;
    const std::string failed = "Failed opening file " + base_filename_ + " for writing";
    // Opening would create the file in whatever now stands at the directory's
    // path; a vanished log directory is an error the operator must see, not
    // something to recreate.
    const auto slash = base_filename_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        struct stat st {};
        const std::string dir = base_filename_.substr(0, slash);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error = error_text(failed, ENOENT);
            return false;
        }
    }
    const int tries = retry ? k_open_tries : 1;
    int err = 0;
    for (int attempt = 1; attempt <= tries; ++attempt) {
        file_ = open_log_file(base_filename_, truncate);
        err = errno;
        if (file_ || err == ELOOP || err == EPERM || is_irregular(base_filename_)) {
            break;
        }
        if (attempt < tries) {
            std::this_thread::sleep_for(k_open_retry_interval);
        }
    }
    if (!file_) {
        if (err == ELOOP && is_symlink(base_filename_)) {
            error = failed + ": it is a symbolic link, which is not followed";
        } else if (is_irregular(base_filename_)) {
            error = failed + ": it is not a regular file";
        } else if (err == EPERM && owned_by_another_user(base_filename_)) {
            error = failed + ": it belongs to another user, not to the daemon";
        } else {
            error = error_text(failed, err);
        }
        return false;
    }
    struct stat st {};
    // The banner is not a message: only what was in the file before it counts.
    current_size_ = (::fstat(file_.get(), &st) == 0) ? static_cast<std::size_t>(st.st_size) : 0;
    banner_pending_ = !write_banner_();
    return true;
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::write_banner_() {
    const std::string banner = boot_banner(boot_count_get());
    return write_whole_(banner.data(), banner.size());
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::write_whole_(const char *data, std::size_t size) {
    const int fd = file_.get();
    if (pending_cut_ >= 0) {
        if (::ftruncate(fd, pending_cut_) != 0) {
            return false;
        }
        pending_cut_ = -1;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (done == size) {
        return true;
    }
    if (done > 0) {
        // The file is opened for appending, so the part written ends at the
        // file's offset: cut it off again, leaving the last whole line last.
        const int saved_errno = errno;
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(done)) {
            const off_t cut = end - static_cast<off_t>(done);
            if (::ftruncate(fd, cut) != 0) {
                pending_cut_ = cut;
            }
        }
        errno = saved_errno;
    }
    return false;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::lose_line_(const std::string &error, uint64_t lines) {
    lost_lines_ += lines;
    // One failed write, however many lines it carried.
    if (line_lost_hook_) {
        line_lost_hook_();
    }
    auto report = error_limit_.admit(error, std::chrono::steady_clock::now());
    if (!report) {
        return;
    }
    if (error_reporter_) {
        error_reporter_(*report);
    } else {
        spdlog::throw_spdlog_ex(*report);
    }
}

template <typename Mutex>
void rotating_file_sink<Mutex>::note_lost_lines_() {
    if (!this->should_log(spdlog::level::err)) {
        return;
    }
    const std::string text = fmt::format("Writing to {} resumed, {} line(s) lost", base_filename_, lost_lines_);
    const spdlog::details::log_msg note(spdlog::source_loc{__FILE__, __LINE__, "note_lost_lines_"},
                                        spdlog::string_view_t(), spdlog::level::err, text);
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(note, formatted);
    if (write_whole_(formatted.data(), formatted.size())) {
        current_size_ += formatted.size();
        lost_lines_ = 0;
    }
}

template <typename Mutex>
void rotating_file_sink<Mutex>::sink_it_(const spdlog::details::log_msg &msg) {
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(msg, formatted);
    write_message_(formatted.data(), formatted.size());
}

template <typename Mutex>
void rotating_file_sink<Mutex>::write_lines(std::string_view lines) {
    std::lock_guard<Mutex> lock(spdlog::sinks::base_sink<Mutex>::mutex_);
    auto line_length = [&lines](std::size_t from) {
        const std::size_t end = lines.find('\n', from);
        return end == std::string_view::npos ? lines.size() - from : end + 1 - from;
    };
    std::size_t pos = 0;
    while (pos < lines.size()) {
        std::size_t end = pos + line_length(pos);
        std::string error;
        if (!prepare_(end - pos, error)) {
            lose_line_(error);
            pos = end;
            continue;
        }
        // The following lines join the write while none of them would
        // rotate the file: the next one that would starts the next write.
        uint64_t count = 1;
        while (end < lines.size()) {
            const std::size_t next = line_length(end);
            if (current_size_ + (end - pos) + next > max_size_) {
                break;
            }
            end += next;
            ++count;
        }
        append_(lines.data() + pos, end - pos, count);
        pos = end;
    }
}

template <typename Mutex>
void rotating_file_sink<Mutex>::write_message_(const char *data, std::size_t size) {
    std::string error;
    if (!prepare_(size, error)) {
        lose_line_(error);
        return;
    }
    append_(data, size, 1);
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::prepare_(std::size_t size, std::string &error) {
    if (!file_ || live_file_unlinked_()) {
        // An earlier open failed, or the file was removed under us (with its
        // directory, say): open it again, so that nothing is written into a
        // file nobody can read and writing resumes once the file can be
        // opened. One try only: the next line tries again.
        if (!open_(false, false, error)) {
            return false;
        }
    }
    // A file holding no message yet is not rotated, even for an oversized one.
    if (current_size_ + size > max_size_ && current_size_ > 0 && !rotate_(error)) {
        return false;
    }
    // No line goes into a file before its banner.
    if (banner_pending_) {
        banner_pending_ = !write_banner_();
        if (banner_pending_) {
            error = error_text("Failed writing to file " + base_filename_, errno);
            return false;
        }
    }
    if (lost_lines_ > 0 && !lost_lines_handler_) {
        note_lost_lines_();
    }
    return true;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::append_(const char *data, std::size_t size, uint64_t lines) {
    if (!write_whole_(data, size)) {
        lose_line_(error_text("Failed writing to file " + base_filename_, errno), lines);
        return;
    }
    current_size_ += size;
    if (lost_lines_ > 0 && lost_lines_handler_) {
        const uint64_t lost = lost_lines_;
        lost_lines_ = 0;
        lost_lines_handler_(base_filename_, lost);
    }
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
    return ::fstat(file_.get(), &st) == 0 && st.st_nlink == 0;
}

template <typename Mutex>
void rotating_file_sink<Mutex>::flush_() {
    // Every line is written to the file as it comes: nothing is buffered here.
}

template <typename Mutex>
bool rotating_file_sink<Mutex>::rotate_(std::string &error) {
    file_.reset();
    std::string ignored;
    for (std::size_t i = max_files_; i > 0; --i) {
        const std::string target = calc_filename(base_filename_, i);
        if (path_exists(target) && std::remove(target.c_str()) != 0) {
            error = error_text("rotating_file_sink: failed removing " + target, errno);
            open_(false, false, ignored);
            return false;
        }
        const std::string source = calc_filename(base_filename_, i - 1);
        if (path_exists(source) && std::rename(source.c_str(), target.c_str()) != 0) {
            error = error_text("rotating_file_sink: failed renaming " + source + " to " + target, errno);
            open_(false, false, ignored);
            return false;
        }
    }
    return open_(true, true, error);
}

template class rotating_file_sink<std::mutex>;
template class rotating_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
