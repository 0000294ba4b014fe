// Opening the files the daemon writes: never through a symbolic link, and
// close-on-exec from the moment the descriptor exists (the daemon starts
// child processes while its files are open).
#pragma once

#include "utils/sys/unique_fd.hpp"

#include <string>

namespace utils {

// Opens `path` for appending (truncated first when `truncate` is set),
// creating it with mode 0644 whatever the umask. Fails with ELOOP when the
// last component of `path` is a symbolic link, and without blocking (EINVAL,
// or ENXIO for a FIFO nobody reads) when it is not a regular file. On
// failure the result is empty and errno says why.
unique_fd open_log_file(const std::string &path, bool truncate);

}  // namespace utils
