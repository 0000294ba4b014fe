// Takes readings from a source on a thread of its own, one every period, so
// that a source that hangs or a large scrape never holds up the keyboard.
// The caller picks up the newest reading when it wants it.
#pragma once

#include "top/top_source.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct top_reading_s {
    top_snapshot_s snapshot;
    std::string error;  // empty: the reading succeeded
};

class top_reader {
public:
    // Takes the first reading one period from now, then one every period
    // after each reading began.
    top_reader(top_source &source, std::chrono::steady_clock::duration period);
    // Cancels a reading in progress and waits for the thread.
    ~top_reader();
    top_reader(const top_reader &) = delete;
    top_reader &operator=(const top_reader &) = delete;

    // The newest reading not yet taken (older ones are dropped).
    std::optional<top_reading_s> take();
    // When the reading in progress began, if one is.
    std::optional<std::chrono::steady_clock::time_point> busy_since() const;

private:
    void run();

    top_source &source_;
    std::chrono::steady_clock::duration period_;
    std::atomic<bool> cancel_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<top_reading_s> ready_;
    std::optional<std::chrono::steady_clock::time_point> busy_since_;
    std::thread thread_;  // last: started when everything it uses exists
};
