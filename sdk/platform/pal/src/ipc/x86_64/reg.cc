#include "logger/logger.hpp"
#include "sdk/platform/pal/src/ipc/x86_64/palx86_internal.hpp"

namespace {

constexpr uint32_t k_reg_word = 4;

// Virtual address of a register access of `len` bytes at `pa`, or null after
// reporting why the access is refused.
template <typename T>
volatile T* palx86_reg_ptr(const char* fn, uint64_t pa, uint64_t len = sizeof(T)) {
    const palx86_window_s& w = palx86_ctx_started().regs;
    if (!palx86_in_window(w, pa, len)) {
        LOGGER_ERR("%s: register address 0x%lx (%lu bytes) is outside the register window", fn,
                   static_cast<unsigned long>(pa), static_cast<unsigned long>(len));
        return nullptr;
    }
    uint64_t va = w.va + (pa - w.pa);
    if (((pa | va) & (alignof(T) - 1)) != 0) {
        LOGGER_ERR("%s: register address 0x%lx is not aligned to %u bytes", fn,
                   static_cast<unsigned long>(pa), static_cast<unsigned>(alignof(T)));
        return nullptr;
    }
    return reinterpret_cast<volatile T*>(va);
}

template <typename T>
T palx86_reg_rd(const char* fn, uint64_t pa) {
    volatile T* p = palx86_reg_ptr<T>(fn, pa);
    return p != nullptr ? *p : static_cast<T>(~T{0});
}

template <typename T>
int palx86_reg_wr(const char* fn, uint64_t pa, T value) {
    volatile T* p = palx86_reg_ptr<T>(fn, pa);
    if (p == nullptr) {
        return -1;
    }
    *p = value;
    return 0;
}

}  // namespace

uint8_t pal_reg_rd8(uint64_t pa) { return palx86_reg_rd<uint8_t>(__func__, pa); }
uint16_t pal_reg_rd16(uint64_t pa) { return palx86_reg_rd<uint16_t>(__func__, pa); }
uint32_t pal_reg_rd32(uint64_t pa) { return palx86_reg_rd<uint32_t>(__func__, pa); }
uint64_t pal_reg_rd64(uint64_t pa) { return palx86_reg_rd<uint64_t>(__func__, pa); }
int pal_reg_wr8(uint64_t pa, uint8_t value) { return palx86_reg_wr(__func__, pa, value); }
int pal_reg_wr16(uint64_t pa, uint16_t value) { return palx86_reg_wr(__func__, pa, value); }
int pal_reg_wr32(uint64_t pa, uint32_t value) { return palx86_reg_wr(__func__, pa, value); }
int pal_reg_wr64(uint64_t pa, uint64_t value) { return palx86_reg_wr(__func__, pa, value); }

int pal_reg_rd32w(uint64_t pa, uint32_t* words, uint32_t count) {
    volatile uint32_t* p = palx86_reg_ptr<uint32_t>(__func__, pa, uint64_t{count} * k_reg_word);
    for (uint32_t i = 0; i < count; ++i) {
        words[i] = p != nullptr ? p[i] : UINT32_MAX;
    }
    return p != nullptr ? 0 : -1;
}

int pal_reg_wr32w(uint64_t pa, const uint32_t* words, uint32_t count) {
    volatile uint32_t* p = palx86_reg_ptr<uint32_t>(__func__, pa, uint64_t{count} * k_reg_word);
    if (p == nullptr) {
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        p[i] = words[i];
    }
    return 0;
}

uint64_t pal_reg_rd64_safe(uint64_t pa) {
    volatile uint32_t* p = palx86_reg_ptr<uint32_t>(__func__, pa, 2 * k_reg_word);
    if (p == nullptr) {
        return UINT64_MAX;
    }
    uint64_t lo = p[0];
    uint64_t hi = p[1];
    return lo | (hi << 32);
}

int pal_reg_wr64_safe(uint64_t pa, uint64_t value) {
    volatile uint32_t* p = palx86_reg_ptr<uint32_t>(__func__, pa, 2 * k_reg_word);
    if (p == nullptr) {
        return -1;
    }
    p[0] = static_cast<uint32_t>(value);
    p[1] = static_cast<uint32_t>(value >> 32);
    return 0;
}

uint32_t pal_get_env() { return pal_reg_rd32(k_palx86_env_reg_pa) & 0xF; }
