// Follows one telemetry file as the daemon appends to it and rotates it
// (renames it to .1 and starts a new file): every complete line is returned
// once, the rest of a rotated file before the first line of its successor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class top_file_follower {
public:
    // The first poll starts `initial_tail` bytes before the end of the file
    // (at a line start), so a long file is not read from its beginning.
    explicit top_file_follower(std::string path, size_t initial_tail = k_initial_tail);
    ~top_file_follower();
    top_file_follower(const top_file_follower &) = delete;
    top_file_follower &operator=(const top_file_follower &) = delete;

    // Appends the complete lines written since the last poll.
    void poll(std::vector<std::string> &lines);
    const std::string &path() const { return path_; }

    static constexpr size_t k_initial_tail = 64 * 1024;
    // A poll reads at most this much; a file that grew by more is read on
    // from its last `initial_tail` bytes.
    static constexpr size_t k_max_read = 16 * 1024 * 1024;
    // A line longer than this is dropped.
    static constexpr size_t k_max_line = 1024 * 1024;

private:
    void open_current(bool from_tail);
    void drain(std::vector<std::string> &lines);
    void close_file();

    std::string path_;
    size_t initial_tail_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t offset_ = 0;
    bool opened_once_ = false;
    bool skip_partial_ = false;  // started mid-file: drop up to the first newline
    bool overlong_ = false;      // dropping the rest of an overlong line
    std::string partial_;
};
