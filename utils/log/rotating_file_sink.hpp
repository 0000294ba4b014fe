// A size-rotating file sink whose rotated files are named base.1 ... base.N
// (the extension is not split off) and which writes the boot banner at the
// top of every file it opens.
//
// Every line reaches the file whole or not at all: a write cut short (a full
// disk) is cut back to the end of the last whole line. Lines that cannot be
// written are counted; when writing resumes the count is reported. Errors are
// reported at most once a minute after the first of each kind, so that a lost
// directory or a full disk cannot flood standard error. Files are never
// opened through a symbolic link and are close-on-exec.
#pragma once

#include "utils/log/error_handler.hpp"
#include "utils/log/log_file.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace utils {

template <typename Mutex>
class rotating_file_sink final : public spdlog::sinks::base_sink<Mutex> {
public:
    // Called with the file's name and the number of lines lost, once writing
    // to the file works again.
    using lost_lines_handler = std::function<void(const std::string &filename, uint64_t lost_lines)>;
    // Reports an error text of this sink.
    using error_reporter = std::function<void(const std::string &error)>;
    // Called for every line that cannot be written.
    using line_lost_hook = std::function<void()>;

    // What the constructor does when the file cannot be opened.
    enum class open_failure { throw_error, retry_on_write };

    // Opens (appends to) base_filename at once; throws spdlog::spdlog_ex when
    // the file cannot be opened after the retries.
    rotating_file_sink(std::string base_filename, std::size_t max_size, std::size_t max_files);
    // With retry_on_write a file that cannot be opened is not an error of
    // the constructor: every line tries to open it again, and is lost (and
    // counted) while that fails.
    rotating_file_sink(std::string base_filename, std::size_t max_size, std::size_t max_files,
                       open_failure on_open_failure);

    // "base" for index 0, "base.<index>" otherwise.
    static std::string calc_filename(const std::string &base_filename, std::size_t index);

    std::string filename();

    // Without a handler, the count is written to the file itself as an error
    // message through the sink's formatter (for trace files).
    void set_lost_lines_handler(lost_lines_handler handler);
    // Without a reporter, errors are thrown as spdlog::spdlog_ex to the
    // logger, whose error handler reports them.
    void set_error_reporter(error_reporter reporter);
    void set_line_lost_hook(line_lost_hook hook);

    // For external rotation: when the file at the base name is no longer the
    // one being written (moved away or removed), closes it and opens the one
    // at the name, with a banner; otherwise writing goes on in the same file.
    // A file that cannot be opened now is tried again by the next line.
    void reopen();

    // Writes `lines`, whole lines each ending with its line feed, as that
    // many messages without formatting or copying them, and with as few
    // write(2) calls as rotation allows: the lines between two rotations go
    // in one. The file rotates before the same line as it would with one
    // message at a time, and gets its banner as then; a write that cannot be
    // made whole loses its lines, counted, and leaves the file as it was.
    // Errors are reported (or thrown) as for a logged message.
    void write_lines(std::string_view lines);

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override;
    void flush_() override;

private:
    // Opens the live file, with retries when `retry`; on failure returns
    // false with the error text in `error`.
    bool open_(bool truncate, bool retry, std::string &error);
    bool rotate_(std::string &error);
    bool live_file_unlinked_();
    // Writes `data` whole or not at all.
    bool write_whole_(const char *data, std::size_t size);
    bool write_banner_();
    // Writes one formatted message into the live file.
    void write_message_(const char *data, std::size_t size);
    // Makes the live file ready for a message of `size` bytes: opened,
    // rotated when the message would take it past its size, its banner
    // written. False, with the error in `error`, when it cannot be.
    bool prepare_(std::size_t size, std::string &error);
    // Writes `data` (`lines` messages) whole after prepare_, or loses them.
    void append_(const char *data, std::size_t size, uint64_t lines);
    void lose_line_(const std::string &error, uint64_t lines = 1);
    void note_lost_lines_();

    const std::string base_filename_;
    const std::size_t max_size_;
    const std::size_t max_files_;
    // Bytes of messages in the live file: its size when opened (before the
    // banner) plus every message written since.
    std::size_t current_size_ = 0;
    unique_fd file_;
    bool banner_pending_ = false;
    // Where a cut-short write must be cut back to, when that failed too.
    int64_t pending_cut_ = -1;
    uint64_t lost_lines_ = 0;
    // When the live file was last checked for having been removed.
    int64_t last_link_check_ = 0;
    error_rate_limit error_limit_;
    lost_lines_handler lost_lines_handler_;
    error_reporter error_reporter_;
    line_lost_hook line_lost_hook_;
};

using rotating_file_sink_mt = rotating_file_sink<std::mutex>;
using rotating_file_sink_st = rotating_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
