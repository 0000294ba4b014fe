#include "sdk/platform/pal/include/sbus.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "sdk/platform/pal/include/palx86.hpp"
#include "sdk/platform/pal/include/locks.hpp"
#include "utils/sys/env_roots.hpp"
#include "utils/sys/unique_fd.hpp"

namespace {

struct sbus_ring_s {
    const char* lock_name;
    uint64_t reg_base;
    uint64_t cmd_off;
    uint64_t data_off;
};

constexpr std::array<sbus_ring_s, k_sbus_num_rings> k_sbus_rings{{
    {"sbus0_lock", 0x10680000, 0, 0},
    {"pciesbus_lock", 0x10680000, 0, 0},
    {"sbus2_lock", 0x10680000, 0, 0},
    {"sbus_lock", 0x60340000, 0, 0},
}};

// Device request argument: three little 32-bit fields, native order.
struct sbus_ioctl_arg_s {
    uint32_t sbus_addr;
    uint32_t reg;
    uint32_t value;
};
static_assert(sizeof(sbus_ioctl_arg_s) == 12);

constexpr unsigned long k_sbus_ioctl_read = 0xc00c6162;
constexpr unsigned long k_sbus_ioctl_write = 0x400c6161;
constexpr unsigned long k_sbus_ioctl_reset = 0x400c6163;

constexpr uint32_t k_sbus_cmd_read = 0x220000;
constexpr uint32_t k_sbus_cmd_write = 0x210000;
constexpr uint32_t k_sbus_cmd_reset = 0x200000;
constexpr uint32_t k_sbus_reg_shift = 8;

enum sbus_op_e { sbus_op_read = 0, sbus_op_write = 1, sbus_op_reset = 2 };

std::array<pal_lock_s*, k_sbus_num_rings> g_ring_lock{};
std::mutex g_dev_mutex;
std::array<utils::unique_fd, k_sbus_num_rings> g_dev_fd;
// Per operation kind: the device could not be opened once, use registers.
std::array<std::atomic<bool>, 3> g_no_device{};

int sbus_thread_id() { return static_cast<int>(syscall(SYS_gettid)); }

bool sbus_ring_valid(uint32_t ring) {
    if (ring < k_sbus_num_rings) {
        return true;
    }
    pal_log(1, "Invalid sbus ring number %d for thread_id %d\n", static_cast<int>(ring),
            sbus_thread_id());
    return false;
}

// Holds the ring's PAL lock for one operation.
class sbus_ring_guard {
public:
    explicit sbus_ring_guard(uint32_t ring) {
        if (pal_lock_init(k_sbus_rings[ring].lock_name, &g_ring_lock[ring]) == 0 &&
            pal_lock(g_ring_lock[ring]) == 0) {
            lock_ = g_ring_lock[ring];
        }
    }
    sbus_ring_guard(const sbus_ring_guard&) = delete;
    sbus_ring_guard& operator=(const sbus_ring_guard&) = delete;
    ~sbus_ring_guard() {
        if (lock_ != nullptr) {
            pal_unlock(lock_);
        }
    }
    bool held() const { return lock_ != nullptr; }

private:
    pal_lock_s* lock_ = nullptr;
};

// The ring's device descriptor, or -1 (and the kind falls back to registers).
int sbus_device(uint32_t ring, sbus_op_e op) {
    if (g_no_device[op].load()) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    utils::unique_fd& fd = g_dev_fd[ring];
    if (!fd) {
        fd = utils::open_fd(utils::dev_root() + "/sbus" + std::to_string(ring), O_RDWR);
    }
    if (!fd) {
        g_no_device[op].store(true);
    }
    return fd.get();
}

}  // namespace

uint32_t pal_sbus_rd(uint32_t ring, uint32_t sbus_addr, uint32_t reg) {
    if (!sbus_ring_valid(ring)) {
        return 0;
    }
    sbus_ring_guard guard(ring);
    if (!guard.held()) {
        return 0;
    }
    if (int fd = sbus_device(ring, sbus_op_read); fd >= 0) {
        sbus_ioctl_arg_s arg{sbus_addr, reg, 0};
        if (ioctl(fd, k_sbus_ioctl_read, &arg) != 0) {
            pal_log(1, "SBUS_READ err:%s", strerror(errno));
            return 0;
        }
        return arg.value;
    }
    const sbus_ring_s& r = k_sbus_rings[ring];
    pal_reg_wr32(r.reg_base + r.cmd_off, (reg << k_sbus_reg_shift) | sbus_addr | k_sbus_cmd_read);
    return pal_reg_rd32(r.reg_base + r.data_off);
}

void pal_sbus_wr(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t value) {
    if (!sbus_ring_valid(ring)) {
        return;
    }
    sbus_ring_guard guard(ring);
    if (!guard.held()) {
        return;
    }
    if (int fd = sbus_device(ring, sbus_op_write); fd >= 0) {
        sbus_ioctl_arg_s arg{sbus_addr, reg, value};
        if (ioctl(fd, k_sbus_ioctl_write, &arg) != 0) {
            pal_log(1, "SBUS_WRITE err:%s", strerror(errno));
        }
        return;
    }
    const sbus_ring_s& r = k_sbus_rings[ring];
    pal_reg_wr32(r.reg_base + r.cmd_off, (reg << k_sbus_reg_shift) | sbus_addr | k_sbus_cmd_write);
    pal_reg_wr32(r.reg_base + r.data_off, value);
}

void pal_sbus_rst(uint32_t ring, uint32_t sbus_addr) {
    if (!sbus_ring_valid(ring)) {
        return;
    }
    sbus_ring_guard guard(ring);
    if (!guard.held()) {
        return;
    }
    if (int fd = sbus_device(ring, sbus_op_reset); fd >= 0) {
        sbus_ioctl_arg_s arg{sbus_addr, 0, 0};
        if (ioctl(fd, k_sbus_ioctl_reset, &arg) != 0) {
            pal_log(1, "SBUS_RESET err:%s", strerror(errno));
        }
        return;
    }
    const sbus_ring_s& r = k_sbus_rings[ring];
    pal_reg_wr32(r.reg_base + r.cmd_off, sbus_addr | k_sbus_cmd_reset);
    pal_reg_wr32(r.reg_base + r.data_off, 0);
}
