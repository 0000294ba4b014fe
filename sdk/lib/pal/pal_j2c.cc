// JTAG backend: register access through an adapter library loaded at run time.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_backends.hpp"
#include "sdk/lib/pal/pal_remote.hpp"

namespace sdk::lib {

namespace {

constexpr const char* k_jtag_default_lib = "libaccpcie_ember.so";
constexpr int k_jtag_default_port = 256;
constexpr int k_jtag_chain = 10;
constexpr int k_jtag_width32 = 2;
constexpr uint64_t k_word_size = 4;

using jtag_init_fn = int (*)(int port);
using jtag_reset_fn = int (*)(int chain);
using jtag_rd_fn = int (*)(int chain, uint64_t addr, uint32_t* data, int width);
using jtag_enable_fn = int (*)(int chain);
using set_asic_target_fn = int (*)(const char* target);
using jtag_wr_fn = int (*)(int chain, uint64_t addr, uint32_t data, int width);

struct jtag_lib_s {
    void* handle = nullptr;
    jtag_init_fn init = nullptr;
    jtag_reset_fn reset = nullptr;
    jtag_rd_fn rd = nullptr;
    jtag_enable_fn enable = nullptr;
    set_asic_target_fn set_target = nullptr;
    jtag_wr_fn wr = nullptr;
};

std::mutex g_jtag_mutex;
jtag_lib_s g_jtag;

void jtag_unload() {
    if (g_jtag.handle != nullptr) {
        dlclose(g_jtag.handle);
    }
    g_jtag = jtag_lib_s{};
}

// Looks up one entry point; prints its line when missing.
template <typename Fn>
bool jtag_sym(const char* name, Fn* out) {
    dlerror();
    void* sym = dlsym(g_jtag.handle, name);
    if (sym == nullptr) {
        const char* err = dlerror();
        printf("PAL_J2C_DEBUG - Failed to load %s: %s\n", name, err != nullptr ? err : "not found");
        return false;
    }
    *out = reinterpret_cast<Fn>(sym);
    return true;
}

bool jtag_load() {
    const char* path = getenv("JTAG_LIB_PATH");
    g_jtag.handle = dlopen(path != nullptr ? path : k_jtag_default_lib, RTLD_LAZY);
    bool ok = g_jtag.handle != nullptr;
    if (!ok) {
        printf("PAL_J2C_DEBUG - Failed to load JTAG library: %s\n", dlerror());
    } else {
        ok = jtag_sym("jtag_init", &g_jtag.init) && jtag_sym("jtag_reset", &g_jtag.reset) &&
             jtag_sym("jtag_rd", &g_jtag.rd) && jtag_sym("jtag_enable", &g_jtag.enable) &&
             jtag_sym("set_asic_target", &g_jtag.set_target) && jtag_sym("jtag_wr", &g_jtag.wr);
    }
    if (!ok) {
        jtag_unload();
        printf("PAL_J2C_DEBUG - Failed to load JTAG functions for ember\n");
    }
    return ok;
}

pal_ret_t pal_j2c_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words) {
    jtag_rd_fn rd;
    {
        std::lock_guard<std::mutex> lock(g_jtag_mutex);
        rd = g_jtag.rd;
    }
    for (uint32_t i = 0; i < num_words; ++i) {
        if (rd == nullptr || rd(k_jtag_chain, addr + k_word_size * i, &data[i], k_jtag_width32) != 0) {
            printf("JTAG Read failed!\n");
            return PAL_RET_NOK;
        }
    }
    return PAL_RET_OK;
}

pal_ret_t pal_j2c_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words) {
    jtag_wr_fn wr;
    {
        std::lock_guard<std::mutex> lock(g_jtag_mutex);
        wr = g_jtag.wr;
    }
    for (uint32_t i = 0; i < num_words; ++i) {
        if (wr == nullptr || wr(k_jtag_chain, addr + k_word_size * i, data[i], k_jtag_width32) != 0) {
            printf("JTAG write failed!\n");
            return PAL_RET_NOK;
        }
    }
    return PAL_RET_OK;
}

pal_ret_t pal_j2c_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, qsfp_page_t, uint32_t,
                            uint32_t) {
    LOGGER_DEBUG("PAL default pal_j2c_qsfp_read");
    return pal_remote_qsfp_image_read(buffer, size, offset);
}

pal_ret_t pal_j2c_qsfp_write(const uint8_t*, uint32_t, uint32_t, qsfp_page_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_j2c_qsfp_write");
    return PAL_RET_OK;
}

pal_ret_t pal_j2c_qsfp_dom_read(uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
    LOGGER_DEBUG("PAL default pal_j2c_qsfp_dom_read");
    return PAL_RET_OK;
}

}  // namespace

void pal_j2c_init_rwvectors() {
    pal_remote_init_common_rwvectors();
    pal_rwvecs_s& v = gl_pal_info.rwvecs;
    v.reg_read = pal_j2c_reg_read;
    v.reg_write = pal_j2c_reg_write;
    v.qsfp_read = pal_j2c_qsfp_read;
    v.qsfp_write = pal_j2c_qsfp_write;
    v.qsfp_dom_read = pal_j2c_qsfp_dom_read;
}

pal_ret_t pal_init_j2c_internal(sdk::platform::platform_type_t type, sdk::types::dp_mem_layout_s*) {
    if (type != sdk::platform::PLATFORM_TYPE_REMOTE) {
        return PAL_RET_NOK;
    }
    pal_j2c_init_rwvectors();
    std::lock_guard<std::mutex> lock(g_jtag_mutex);
    jtag_unload();
    if (!jtag_load()) {
        return PAL_RET_NOK;
    }
    printf("PAL_J2C_DEBUG - Successfully loaded JTAG library functions\n");
    const char* port_env = getenv("PAL_J2C_PORT");
    int port = port_env != nullptr ? static_cast<int>(strtol(port_env, nullptr, 10))
                                   : k_jtag_default_port;
    int rc = g_jtag.init(port);
    if (rc != 0) {
        printf("PAL_J2C_DEBUG - unable to init jtag %x\n", static_cast<unsigned>(rc));
        return PAL_RET_NOK;
    }
    printf("PAL_J2C_DEBUG - port 0x%x \n", static_cast<unsigned>(port));
    if (const char* target = getenv("SUB_ASIC"); target != nullptr) {
        g_jtag.set_target(target);
    }
    if (g_jtag.reset(k_jtag_chain) != 0) {
        printf("PAL_J2C_DEBUG - unable to reset jtag %d\n", k_jtag_chain);
        return PAL_RET_NOK;
    }
    if (g_jtag.enable(k_jtag_chain) != 0) {
        printf("PAL_J2C_DEBUG - unable to enable jtag %d\n", k_jtag_chain);
        return PAL_RET_NOK;
    }
    return PAL_RET_OK;
}

pal_ret_t pal_teardown_j2c_internal(sdk::platform::platform_type_t) {
    std::lock_guard<std::mutex> lock(g_jtag_mutex);
    jtag_unload();
    return PAL_RET_OK;
}

}  // namespace sdk::lib
