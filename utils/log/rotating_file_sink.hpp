// A size-rotating file sink whose rotated files are named base.1 ... base.N
// (the extension is not split off), which writes the boot banner at the top
// of every file it opens, and whose files are close-on-exec.
#pragma once

#include <spdlog/details/file_helper.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <cstddef>
#include <mutex>
#include <string>

namespace utils {

template <typename Mutex>
class rotating_file_sink final : public spdlog::sinks::base_sink<Mutex> {
public:
    // Opens (appends to) base_filename at once; throws spdlog::spdlog_ex when
    // the file cannot be opened after the file helper's retries.
    rotating_file_sink(std::string base_filename, std::size_t max_size, std::size_t max_files);

    // "base" for index 0, "base.<index>" otherwise.
    static std::string calc_filename(const std::string &base_filename, std::size_t index);

    std::string filename();

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override;
    void flush_() override;

private:
    void open_(bool truncate);
    void rotate_();
    bool live_file_unlinked_();

    std::string base_filename_;
    std::size_t max_size_;
    std::size_t max_files_;
    std::size_t current_size_ = 0;
    // File size found when the live file was last opened, before its banner.
    std::size_t opened_size_ = 0;
    bool is_open_ = false;
    // The live file's descriptor while it is open.
    int fd_ = -1;
    // When the live file was last checked for having been removed.
    int64_t last_link_check_ = 0;
    spdlog::details::file_helper file_helper_;
};

using rotating_file_sink_mt = rotating_file_sink<std::mutex>;
using rotating_file_sink_st = rotating_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
