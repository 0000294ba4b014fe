// Host access to a card's registers and memory through the PCIe BARs of the
// card's resource device, mapped from sysfs into a per-thread context.
#pragma once

#include <cstddef>
#include <cstdint>

// First word of a valid resource map.
inline constexpr uint32_t k_palx86_rsc_map_magic = 0x70616c78;

// Resource map layout (BAR 4 of the resource device, little-endian).
inline constexpr size_t k_palx86_rsc_magic_off = 0;
inline constexpr size_t k_palx86_rsc_version_off = 4;
inline constexpr size_t k_palx86_rsc_sub_asic_off = 12;
inline constexpr size_t k_palx86_rsc_regs_pa_off = 16;
inline constexpr size_t k_palx86_rsc_mem_pa_off = 24;
inline constexpr size_t k_palx86_rsc_min_size = 32;

struct palx86_window_s {
    uint64_t va;
    uint64_t pa;
    uint64_t size;
};

// Per-thread view of one card. Each thread serves exactly one card; its
// mappings are released when the thread ends.
struct palx86_ctx_s {
    uint32_t initialized;
    char card_id[32];
    palx86_window_s regs;
    palx86_window_s mem;
    uint64_t rsc_va;
    uint64_t rsc_size;
};

// The calling thread's context (a copy; the context itself is thread-local).
palx86_ctx_s palx86_get_ctx();

// Maps the BARs of the card whose hub is `hub_bdf` into the calling thread's
// context (once per thread); the card-IPC layer finds its resource device.
// 0 on success, negative on failure.
int pal_hw_x86_init(const char* hub_bdf);

// Enables memory decoding of the resource device and maps its three BARs.
// 0 on success, -1 on failure (messages on standard error). A failure leaves
// the calling thread's context as it was: a started context keeps working
// on its previous mappings.
int palx86_init_with_rsc_bdf(const char* rsc_bdf);

// Why the calling thread's last failed start failed (the resource device or
// file and the reason), for a caller that logs it; empty after a start that
// succeeded.
const char* palx86_last_error();

// ---- Translations (start the context lazily) ------------------------------
int pal_hw_x86_regs_pa_to_va(uint64_t pa, uint64_t* va);
int pal_hw_x86_mem_pa_to_va(uint64_t pa, uint64_t* va);
int pal_hw_x86_mem_va_to_pa(uint64_t* pa, uint64_t va);
uint64_t pal_hw_x86_mem_totalsize();
int pal_hw_x86_pmem_va(uint64_t* va);

// ---- Memory (card-side physical addresses; flags are not used) -------------
void* pal_mem_map(uint64_t pa, uint64_t size, uint32_t flags);
void pal_mem_unmap(void* ptr);
void* pal_mem_ptov(uint64_t pa);
// Physical address of `va`; all-ones (and an error line) outside the window.
uint64_t pal_mem_vtop(const void* va);
// Reads outside the memory window give 0xFF bytes; always 0.
int pal_mem_rd(uint64_t pa, uint8_t* buf, uint64_t size, uint32_t flags);
// Writes outside the memory window are dropped; always 0.
int pal_mem_wr(uint64_t pa, const uint8_t* buf, uint64_t size, uint32_t flags);
// Returns the number of bytes set (low 32 bits).
uint32_t pal_memset(uint64_t pa, uint8_t value, uint64_t size, uint32_t flags);
uint64_t pal_mem_get_phys_totalsize();
uint64_t pal_pmem_va();
int pal_is_mem_region_avail(uint64_t pa, uint64_t size);

// ---- Registers ---------------------------------------------------------------
// Accesses outside the register window or not aligned to their width are
// refused with an error line naming the function: reads give all-ones,
// writes and word transfers return -1.
uint8_t pal_reg_rd8(uint64_t pa);
uint16_t pal_reg_rd16(uint64_t pa);
uint32_t pal_reg_rd32(uint64_t pa);
uint64_t pal_reg_rd64(uint64_t pa);
int pal_reg_wr8(uint64_t pa, uint8_t value);
int pal_reg_wr16(uint64_t pa, uint16_t value);
int pal_reg_wr32(uint64_t pa, uint32_t value);
int pal_reg_wr64(uint64_t pa, uint64_t value);
int pal_reg_rd32w(uint64_t pa, uint32_t* words, uint32_t count);
int pal_reg_wr32w(uint64_t pa, const uint32_t* words, uint32_t count);
uint64_t pal_reg_rd64_safe(uint64_t pa);
int pal_reg_wr64_safe(uint64_t pa, uint64_t value);

// ---- Miscellaneous -------------------------------------------------------------
inline constexpr uint64_t k_palx86_env_reg_pa = 0x10680010;
uint32_t pal_get_env();
int pal_get_sub_asic();
uint64_t pal_emmc0_size();
int physmem_map_init();
