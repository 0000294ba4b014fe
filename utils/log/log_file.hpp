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
// or ENXIO for a FIFO nobody reads) when it is not a regular file, and with
// EPERM, untouched, when an existing file belongs to another user than the
// daemon's (a file planted in a directory others may write). On failure the
// result is empty and errno says why.
unique_fd open_log_file(const std::string &path, bool truncate);

// True when what stands at `path` (a symbolic link itself, not its target)
// belongs to another user than the daemon's: something the daemon did not make.
bool owned_by_another_user(const std::string &path);

}  // namespace utils
