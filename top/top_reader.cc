#include "top/top_reader.hpp"

#include <utility>

top_reader::top_reader(top_source &source, std::chrono::steady_clock::duration period)
    : source_(source), period_(period), thread_([this] { run(); }) {}

top_reader::~top_reader() {
    {
        std::lock_guard lock(mutex_);
        cancel_.store(true, std::memory_order_relaxed);
    }
    wake_.notify_all();
    thread_.join();
}

std::optional<top_reading_s> top_reader::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(ready_, std::nullopt);
}

std::optional<std::chrono::steady_clock::time_point> top_reader::busy_since() const {
    std::lock_guard lock(mutex_);
    return busy_since_;
}

void top_reader::run() {
    using clock_type = std::chrono::steady_clock;
    auto next = clock_type::now() + period_;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, next, [&] { return cancel_.load(std::memory_order_relaxed); });
            if (cancel_.load(std::memory_order_relaxed)) {
                return;
            }
            busy_since_ = clock_type::now();
        }
        const auto began = clock_type::now();
        top_reading_s reading;
        reading.error = source_.read(reading.snapshot, &cancel_);
        {
            std::lock_guard lock(mutex_);
            busy_since_.reset();
            if (cancel_.load(std::memory_order_relaxed)) {
                return;
            }
            ready_ = std::move(reading);
        }
        // A reading that outlasted its period is followed by the next at once.
        next = began + period_;
    }
}
