// Shared between the memory and register halves of the host access code.
#pragma once

#include <cstdint>

#include "sdk/platform/pal/include/palx86.hpp"

// The calling thread's context, started lazily when it is not initialised.
const palx86_ctx_s& palx86_ctx_started();

// True when [pa, pa + len) lies inside the window.
constexpr bool palx86_in_window(const palx86_window_s& w, uint64_t pa, uint64_t len) {
    if (w.size == 0 || pa < w.pa || pa - w.pa >= w.size) {
        return false;
    }
    return len <= w.size - (pa - w.pa);
}
