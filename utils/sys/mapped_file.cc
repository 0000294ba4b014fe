#include "utils/sys/mapped_file.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace utils {

mapped_file::mapped_file(mapped_file &&other) noexcept
    : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

mapped_file &mapped_file::operator=(mapped_file &&other) noexcept
{
    if (this != &other) {
        mapped_file old(std::move(*this));
        swap(other);
    }
    return *this;
}

bool mapped_file::map(int fd, size_t size) noexcept
{
    void *addr = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        return false;
    }
    reset();
    addr_ = addr;
    size_ = size;
    return true;
}

void mapped_file::reset() noexcept
{
    if (addr_ != nullptr) {
        int saved = errno;
        ::munmap(addr_, size_);
        errno = saved;
        addr_ = nullptr;
        size_ = 0;
    }
}

void *mapped_file::release() noexcept
{
    size_ = 0;
    return std::exchange(addr_, nullptr);
}

void mapped_file::swap(mapped_file &other) noexcept
{
    std::swap(addr_, other.addr_);
    std::swap(size_, other.size_);
}

}  // namespace utils
