// Ownership of one shared memory mapping of a file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace utils {

// One MAP_SHARED read-write mapping, unmapped with its owner. The mapping
// keeps the file referenced, so the descriptor it came from may be closed
// right after map().
class mapped_file {
public:
    mapped_file() = default;
    ~mapped_file() { reset(); }
    mapped_file(mapped_file &&other) noexcept;
    mapped_file &operator=(mapped_file &&other) noexcept;
    mapped_file(const mapped_file &) = delete;
    mapped_file &operator=(const mapped_file &) = delete;

    // Maps the first size bytes of fd, replacing nothing on failure: false
    // with errno set, and the current mapping (if any) left as it was.
    bool map(int fd, size_t size) noexcept;

    uint8_t *data() const noexcept { return static_cast<uint8_t *>(addr_); }
    size_t size() const noexcept { return size_; }
    bool mapped() const noexcept { return addr_ != nullptr; }

    // Unmaps now.
    void reset() noexcept;
    // Gives the mapping up: it then stays until the process ends.
    void *release() noexcept;
    void swap(mapped_file &other) noexcept;

private:
    void *addr_ = nullptr;
    size_t size_ = 0;
};

}  // namespace utils
