// Shared between the native and compatibility halves of the PAL lock.
#pragma once

#include <sys/types.h>

#include <string>

inline constexpr mode_t k_pal_lock_file_mode = 0666;

struct pal_lock_dirs_s {
    std::string shm;
    std::string tmp;
    std::string share;
};

pal_lock_dirs_s pal_lock_dirs();

// Whether the shared directory exists; tested once per directory setting.
bool pal_lock_share_exists();

// Whole-file fcntl lock (F_WRLCK) or unlock (F_UNLCK), waiting; retried after
// 10 ms, five attempts in all. 0 or -1.
int pal_fcntl_lock_retry(int fd, short type);
