#include "utils/log/log_file.hpp"

#include <fcntl.h>

namespace utils {

namespace {
constexpr mode_t k_log_file_mode = 0666;
}

unique_fd open_log_file(const std::string &path, bool truncate) {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | (truncate ? O_TRUNC : 0);
    return open_fd(path, flags, k_log_file_mode);
}

}  // namespace utils
