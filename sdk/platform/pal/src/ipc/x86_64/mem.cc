#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logger/logger.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "sdk/platform/pal/include/locks.hpp"
#include "sdk/platform/pal/src/ipc/x86_64/palx86_internal.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/stdio_file.hpp"
#include "utils/sys/unique_fd.hpp"


namespace {

// Why the calling thread's last start failed, for callers that log it.
thread_local std::string tls_palx86_error;

// Reports a failed start on standard error (`text` and a newline) and keeps
// `cause` (or `text`) as the thread's last error.
void palx86_fail(const std::string& text, const std::string& cause = {}) {
    fprintf(stderr, "%s\n", text.c_str());
    tls_palx86_error = cause.empty() ? text : cause;
}

// Maps the whole file read-write; on failure reports like the C library
// tools do (perror with the path, or "mmap") and returns false.
bool palx86_map_file(const std::string& path, utils::mapped_file* out) {
    utils::unique_fd fd = utils::open_fd(path, O_RDWR | O_SYNC);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        const int err = errno;
        palx86_fail(path + ": " + strerror(err));
        return false;
    }
    if (!out->map(fd.get(), static_cast<size_t>(st.st_size))) {
        const int err = errno;
        palx86_fail(std::string("mmap: ") + strerror(err), "mmap of " + path + ": " + strerror(err));
        return false;
    }
    return true;
}

uint64_t palx86_va(const utils::mapped_file& m) { return reinterpret_cast<uint64_t>(m.data()); }

struct palx86_thread_state {
    palx86_ctx_s ctx{};
    utils::mapped_file rsc;
    utils::mapped_file regs;
    utils::mapped_file mem;
};

thread_local palx86_thread_state tls_palx86;

constexpr uint64_t k_byte_pattern = 0x0101010101010101ULL;

std::string palx86_sysfs_path(const char* bdf, const char* file) {
    return nic_ipc_sysfs_devices_dir() + bdf + "/" + file;
}

// The resource device of the card whose hub is `hub`. 0, or the card-IPC
// layer's negative code.
int palx86_rsc_bdf_from_hub(const char* hub, char* rsc_bdf, size_t len) {
    nic_ipc_card_device_info_s info{};
    int rc = nic_ipc_get_card_device_info(hub, &info);
    if (rc != 0) {
        return rc;
    }
    if (info.rsc_bdf[0] == '\0' || strlen(info.rsc_bdf) >= len) {
        return -1;  // no resource device: refuse to map an empty address
    }
    snprintf(rsc_bdf, len, "%s", info.rsc_bdf);
    return 0;
}

// A PCI address goes into a file path and a command line: accept only its
// own characters.
bool palx86_bdf_valid(const char* bdf) {
    if (bdf == nullptr || *bdf == '\0' || strlen(bdf) >= sizeof(palx86_ctx_s::card_id)) {
        return false;
    }
    for (const char* p = bdf; *p != '\0'; ++p) {
        bool ok = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') ||
                  (*p >= 'A' && *p <= 'F') || *p == ':' || *p == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Runs "setpci -s <bdf> 0x4.w=2" without a shell: memory decoding on, every
// other command bit off. True when it exits with status 0.
bool palx86_mem_enable(const char* bdf) {
    return utils::run_program({"setpci", "-s", bdf, "0x4.w=2"});
}

uint32_t palx86_load_le32(uint64_t va) {
    uint32_t v;
    memcpy(&v, reinterpret_cast<const void*>(va), sizeof(v));
    return le32toh(v);
}

uint64_t palx86_load_le64(uint64_t va) {
    uint64_t v;
    memcpy(&v, reinterpret_cast<const void*>(va), sizeof(v));
    return le64toh(v);
}

// Picks the resource device from the environment or lspci and maps it.
int palx86_lazy_start() {
    char bdf[NIC_IPC_BDF_SIZE] = {};
    if (const char* uuid = getenv("PAL_CARD_UUID"); uuid != nullptr) {
        if (nic_ipc_card_rsc_bdf_from_uuid(uuid, bdf) != 0) {
            return -1;
        }
    } else if (const char* resdev = getenv("PAL_RESDEV_BDF"); resdev != nullptr) {
        snprintf(bdf, sizeof(bdf), "0000:%s", resdev);
    } else {
        char cmd[80];
        snprintf(cmd, sizeof(cmd), "lspci -Dn -d %04x:%04x", CARD_PCI_VENDOR_ID,
                 CARD_PCI_DEVICE_RSC);
        utils::command_pipe pipe(cmd);
        char line[128] = {};
        if (!pipe.read_line(line, sizeof(line))) {
            fprintf(stderr, "Resource map device %04x:%04x not found\n", CARD_PCI_VENDOR_ID,
                    CARD_PCI_DEVICE_RSC);
            return -1;
        }
        line[strcspn(line, " \t\n")] = '\0';
        snprintf(bdf, sizeof(bdf), "%s", line);
    }
    return palx86_init_with_rsc_bdf(bdf);
}

palx86_ctx_s& palx86_ctx_lazy() {
    palx86_ctx_s& ctx = tls_palx86.ctx;
    if (ctx.initialized == 0) {
        palx86_lazy_start();
    }
    return ctx;
}

int palx86_pa_to_va(const palx86_window_s& w, uint64_t pa, uint64_t* va) {
    if (!palx86_in_window(w, pa, 1)) {
        return -1;
    }
    *va = w.va + (pa - w.pa);
    return 0;
}

// Bytes of [pa, pa + size) that lie inside the memory window, with the
// virtual address of pa; 0 when pa itself is outside.
uint64_t palx86_mem_span(uint64_t pa, uint64_t size, uint64_t* va) {
    const palx86_window_s& w = palx86_ctx_lazy().mem;
    if (size == 0 || palx86_pa_to_va(w, pa, va) != 0) {
        return 0;
    }
    uint64_t room = w.size - (pa - w.pa);
    return size < room ? size : room;
}

}  // namespace

palx86_ctx_s palx86_get_ctx() { return tls_palx86.ctx; }

const char* palx86_last_error() { return tls_palx86_error.c_str(); }

const palx86_ctx_s& palx86_ctx_started() { return palx86_ctx_lazy(); }

int pal_hw_x86_init(const char* hub_bdf) {
    palx86_ctx_s& ctx = tls_palx86.ctx;
    if (ctx.initialized != 0) {
        return 0;
    }
    const char* hub = hub_bdf != nullptr ? hub_bdf : "";
    snprintf(ctx.card_id, sizeof(ctx.card_id), "%s", hub);
    char rsc_bdf[NIC_IPC_BDF_SIZE] = {};
    int rc = palx86_rsc_bdf_from_hub(hub, rsc_bdf, sizeof(rsc_bdf));
    if (rc != 0) {
        palx86_fail(std::string("Cannot get resource device bdf for card ") + hub);
        return rc < 0 ? rc : -1;
    }
    return palx86_init_with_rsc_bdf(rsc_bdf);
}

int palx86_init_with_rsc_bdf(const char* rsc_bdf) {
    if (!palx86_bdf_valid(rsc_bdf)) {
        palx86_fail(std::string("Invalid resource device address '") + (rsc_bdf != nullptr ? rsc_bdf : "") + "'");
        return -1;
    }
    if (!palx86_mem_enable(rsc_bdf)) {
        palx86_fail("device memenable failed", std::string("device memenable failed (setpci -s ") + rsc_bdf + ")");
        return -1;
    }
    // Everything is mapped and checked before the thread's context changes,
    // so a failed restart leaves a started context on its old mappings.
    utils::mapped_file rsc;
    utils::mapped_file regs;
    utils::mapped_file mem;
    if (!palx86_map_file(palx86_sysfs_path(rsc_bdf, "resource4"), &rsc)) {
        return -1;
    }
    if (rsc.size() < k_palx86_rsc_min_size) {
        palx86_fail(std::string("palx resource map of ") + rsc_bdf + " is " + std::to_string(rsc.size()) +
                    " bytes, too small");
        return -1;
    }
    const uint64_t rsc_va = palx86_va(rsc);
    uint32_t magic = palx86_load_le32(rsc_va + k_palx86_rsc_magic_off);
    uint32_t version = palx86_load_le32(rsc_va + k_palx86_rsc_version_off);
    if (magic != k_palx86_rsc_map_magic && version == 0) {
        char text[128];
        snprintf(text, sizeof(text),
                 "palx asic-magic/host-magic 0x%x/0x%xasic-version/host-version %d/%d check failed", magic,
                 k_palx86_rsc_map_magic, 0, 1);
        char cause[128];
        snprintf(cause, sizeof(cause), "resource map of %s refused: magic 0x%x, version 0", rsc_bdf, magic);
        palx86_fail(text, cause);
        return -1;
    }
    if (!palx86_map_file(palx86_sysfs_path(rsc_bdf, "resource0"), &regs) ||
        !palx86_map_file(palx86_sysfs_path(rsc_bdf, "resource2"), &mem)) {
        return -1;
    }

    tls_palx86_error.clear();
    palx86_thread_state& st = tls_palx86;
    palx86_ctx_s& ctx = st.ctx;
    ctx.rsc_va = rsc_va;
    ctx.rsc_size = rsc.size();
    ctx.regs = {palx86_va(regs), palx86_load_le64(rsc_va + k_palx86_rsc_regs_pa_off), regs.size()};
    ctx.mem = {palx86_va(mem), palx86_load_le64(rsc_va + k_palx86_rsc_mem_pa_off), mem.size()};
    ctx.initialized = 1;
    // The previous mappings, if any, go when the locals leave scope.
    st.rsc.swap(rsc);
    st.regs.swap(regs);
    st.mem.swap(mem);
    return 0;
}

int pal_hw_x86_regs_pa_to_va(uint64_t pa, uint64_t* va) {
    return palx86_pa_to_va(palx86_ctx_lazy().regs, pa, va);
}

int pal_hw_x86_mem_pa_to_va(uint64_t pa, uint64_t* va) {
    return palx86_pa_to_va(palx86_ctx_lazy().mem, pa, va);
}

int pal_hw_x86_mem_va_to_pa(uint64_t* pa, uint64_t va) {
    const palx86_window_s& w = palx86_ctx_lazy().mem;
    if (w.size == 0 || va < w.va || va - w.va >= w.size) {
        return -1;
    }
    *pa = va - w.va + w.pa;
    return 0;
}

uint64_t pal_hw_x86_mem_totalsize() { return palx86_ctx_lazy().mem.size; }

int pal_hw_x86_pmem_va(uint64_t* va) {
    palx86_ctx_s& ctx = tls_palx86.ctx;
    if (ctx.initialized == 0 && palx86_lazy_start() != 0) {
        return -1;
    }
    *va = ctx.rsc_va;
    return 0;
}

void* pal_mem_map(uint64_t pa, uint64_t size, uint32_t) {
    pal_log(3, "mem_map 0x%08lx sz %ld", static_cast<unsigned long>(pa), static_cast<long>(size));
    return pal_mem_ptov(pa);
}

void pal_mem_unmap(void*) {}

void* pal_mem_ptov(uint64_t pa) {
    uint64_t va = 0;
    if (pal_hw_x86_mem_pa_to_va(pa, &va) != 0) {
        return nullptr;
    }
    return reinterpret_cast<void*>(va);
}

uint64_t pal_mem_vtop(const void* va) {
    uint64_t pa = 0;
    if (pal_hw_x86_mem_va_to_pa(&pa, reinterpret_cast<uint64_t>(va)) != 0) {
        LOGGER_ERR("%s: virtual address %p is outside the memory window", __func__, va);
        return UINT64_MAX;
    }
    return pa;
}

int pal_mem_rd(uint64_t pa, uint8_t* buf, uint64_t size, uint32_t) {
    uint64_t src = 0;
    uint64_t n = palx86_mem_span(pa, size, &src);
    // Bytes past the end of the window are not the card's: they are filled
    // with all-ones (never left undefined) and the read fails, so a wrong
    // offset is counted as a failed read rather than published as a value.
    const int rc = n == size ? 0 : -1;
    memset(buf + n, 0xFF, size - n);
    while (n > 0 && (src & 7) != 0) {
        *buf++ = *reinterpret_cast<const volatile uint8_t*>(src);
        ++src;
        --n;
    }
    for (; n >= 8; n -= 8, src += 8, buf += 8) {
        uint64_t word = *reinterpret_cast<const volatile uint64_t*>(src);
        memcpy(buf, &word, sizeof(word));
    }
    for (; n > 0; --n) {
        *buf++ = *reinterpret_cast<const volatile uint8_t*>(src++);
    }
    return rc;
}

int pal_mem_wr(uint64_t pa, const uint8_t* buf, uint64_t size, uint32_t) {
    uint64_t dst = 0;
    uint64_t n = palx86_mem_span(pa, size, &dst);
    // Bytes past the end of the window are dropped, and the write fails.
    const int rc = n == size ? 0 : -1;
    while (n > 0 && (dst & 7) != 0) {
        *reinterpret_cast<volatile uint8_t*>(dst++) = *buf++;
        --n;
    }
    for (; n >= 8; n -= 8, dst += 8, buf += 8) {
        uint64_t word;
        memcpy(&word, buf, sizeof(word));
        *reinterpret_cast<volatile uint64_t*>(dst) = word;
    }
    for (; n > 0; --n) {
        *reinterpret_cast<volatile uint8_t*>(dst++) = *buf++;
    }
    return rc;
}

uint32_t pal_memset(uint64_t pa, uint8_t value, uint64_t size, uint32_t) {
    uint64_t dst = 0;
    uint64_t n = palx86_mem_span(pa, size, &dst);
    const uint64_t set = n;
    const uint64_t pattern = value * k_byte_pattern;
    while (n > 0 && (dst & 7) != 0) {
        *reinterpret_cast<volatile uint8_t*>(dst++) = value;
        --n;
    }
    for (; n >= 8; n -= 8, dst += 8) {
        *reinterpret_cast<volatile uint64_t*>(dst) = pattern;
    }
    for (; n > 0; --n) {
        *reinterpret_cast<volatile uint8_t*>(dst++) = value;
    }
    return static_cast<uint32_t>(set);
}

uint64_t pal_mem_get_phys_totalsize() { return pal_hw_x86_mem_totalsize(); }

uint64_t pal_pmem_va() {
    uint64_t va = 0;
    return pal_hw_x86_pmem_va(&va) == 0 ? va : 0;
}

int pal_is_mem_region_avail(uint64_t, uint64_t) { return 1; }

int pal_get_sub_asic() {
    uint64_t va = 0;
    if (pal_hw_x86_pmem_va(&va) != 0 || va == 0) {
        return 0;
    }
    return static_cast<int>(palx86_load_le32(va + k_palx86_rsc_sub_asic_off));
}

uint64_t pal_emmc0_size() {
    pal_log(1, "PALX API pal_emmc0_size not implemented");
    return 0;
}

int physmem_map_init() {
    pal_log(1, "PALX API physmem_map_init not implemented");
    return 0;
}
