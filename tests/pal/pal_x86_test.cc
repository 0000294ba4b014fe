#include <dlfcn.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <numeric>
#include <tuple>
#include <utility>

#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/include/locks.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "sdk/platform/pal/include/sbus.hpp"
#include "testkit/emu_env.hpp"
#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;
using namespace test_support;
using bytes = std::vector<uint8_t>;

namespace {

// The sbus device requests the PAL makes: plain files stand in for the
// devices and this process's ioctl answers their requests as a driver would,
// after checking that the request's ring is locked. Only the test's thread
// makes them.
using sbus_request = std::tuple<std::string, unsigned long, uint32_t, uint32_t, uint32_t>;
std::vector<sbus_request> g_sbus_requests;
constexpr uint32_t k_driver_value = 0x5a5a0000;

// Whether a thread of its own takes the named lock within 100 ms; the
// thread is joined once the operation under test has returned.
std::vector<std::thread> g_lock_probes;
bool lock_is_free(const std::string& name) {
    auto taken = std::make_shared<std::atomic<bool>>(false);
    g_lock_probes.emplace_back([name, taken] {
        pal_lock_s* l = nullptr;
        if (pal_lock_init(name.c_str(), &l) == 0 && pal_lock(l) == 0) {
            *taken = true;
            pal_unlock(l);
        }
    });
    return test_support::wait_until([&] { return taken->load(); }, std::chrono::milliseconds(100));
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    std::error_code ec;
    const std::string path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
    const auto slash = path.rfind("/sbus");
    if (slash == std::string::npos) {
        using real_ioctl_t = int (*)(int, unsigned long, ...);
        static const auto real = reinterpret_cast<real_ioctl_t>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, arg);
    }
    uint32_t fields[3];
    std::memcpy(fields, arg, sizeof(fields));
    const std::string device = path.substr(slash + 1);
    const char* locks[] = {"sbus0_lock", "pciesbus_lock", "sbus2_lock", "sbus_lock"};
    EXPECT_FALSE(lock_is_free(locks[device.back() - '0'])) << device << " request made without the ring's lock";
    g_sbus_requests.emplace_back(device, request, fields[0], fields[1], fields[2]);
    fields[2] = k_driver_value | fields[1];
    std::memcpy(arg, fields, sizeof(fields));
    return 0;
}

namespace {

constexpr auto k_x86 = sdk::platform::PLATFORM_TYPE_X86_64;

// Operation table dispatch and initialisation.
class PalDispatchTest : public test_support::pal_fixture {};

TEST_F(PalDispatchTest, ConcurrentInitSeesCompleteTable) {
    constexpr int k_threads = 8;
    std::latch start(k_threads);
    std::vector<std::jthread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            EXPECT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
            // The backend's last slot is in place whichever thread filled it.
            EXPECT_TRUE(gl_pal_info.rwvecs.reg_rw_ctrl != nullptr && gl_pal_info.platform_type == k_x86);
        });
    }
}

// The host backend against an emulated card.
constexpr const char* k_hub_bdf = "0000:05:00.0";
constexpr const char* k_rsc_bdf = "0000:06:00.2";
constexpr uint64_t k_regs_pa = talon_emu::k_reg_window_base, k_regs_size = talon_emu::k_reg_window_size;
constexpr uint64_t k_mem_pa = talon_emu::k_mem_window_base, k_mem_size = talon_emu::k_mem_window_size;

class PalX86Test : public pal_fixture {
protected:
    void SetUp() override {
        pal_fixture::SetUp();
        ASSERT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
    }
    // Runs `fn` on a fresh thread that has started the card.
    template <typename Fn>
    void on_card(Fn fn) {
        in_new_thread([&] {
            ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
            fn(palx86_get_ctx());
        });
    }
    // Bytes of a file of the card's resource device (a BAR file: as the card sees them).
    bytes rsc_file(const char* name, size_t off, size_t n) const {
        const std::string s = read_file(rsc_dir_ + name);
        return bytes(s.begin() + static_cast<long>(off), s.begin() + static_cast<long>(off + n));
    }
    void write_rsc_file(const char* name, uint64_t off, const bytes& b) const {
        std::fstream f(rsc_dir_ + name, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(off));
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    emu_env emu_;
    const std::string rsc_dir_ = emu_.sys_devices() + k_rsc_bdf;
};

// The card starts from its hub's address with memory decoding enabled, or
// on first access from lspci's listing or the resource device's address; a
// refused resource map or a malformed address leaves it unstarted.
TEST_F(PalX86Test, CardStartsByHubListingOrAddressButNotOnARefusedMap) {
    write_rsc_file("/config", 4, {0xff, 0xff});
    write_rsc_file("/resource2", 0, {0x42});
    auto first_byte = [] {
        uint8_t b = 0;
        EXPECT_EQ(pal_mem_read(k_mem_pa, &b, 1), PAL_RET_OK);
        return b;
    };
    in_new_thread([&] {
        EXPECT_EQ(pal_hw_x86_init(k_hub_bdf), 0);
        EXPECT_EQ(pal_hw_x86_mem_totalsize(), k_mem_size);
    });
    EXPECT_EQ(rsc_file("/config", 4, 2), (bytes{2, 0}));  // a 16-bit write of the command register
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
    emu_.ctl("platform 0 map");
    in_new_thread([&] {
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        emu_.ctl("platform 0 ok");
        EXPECT_EQ(palx86_init_with_rsc_bdf("0000:06:00.2/../x"), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(palx86_get_ctx().initialized, 0u);
    });
    write_file(emu_.root() + "/bin/lspci", "#!/bin/sh\nexit 0\n");
    setenv("PAL_RESDEV_BDF", "06:00.2", 1);
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
}

// Accesses inside the windows reach the card; those crossing an edge move
// nothing past it, misaligned register accesses move nothing at all. They
// run after a restart that could not map every window: it leaves the
// started context on its old mappings, not on unmapped memory.
TEST_F(PalX86Test, AccessStaysInTheWindowsAfterAFailedRestart) {
    bytes pattern(64), data(19);
    std::iota(pattern.begin(), pattern.end(), 1);
    std::iota(data.begin(), data.end(), 100);
    write_rsc_file("/resource2", k_mem_size - 64, pattern);
    write_rsc_file("/resource2", 0x100, pattern);
    const std::string mem_path = rsc_dir_ + "/resource2";
    on_card([&](const palx86_ctx_s& before) {
        std::filesystem::rename(mem_path, mem_path + ".hidden");
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(palx86_get_ctx().mem.va, before.mem.va);
        uint8_t out[32] = {};
        // A range running past the end fails, with the bytes inside and
        // 0xFF after; a write past the end moves the bytes inside and fails.
        EXPECT_EQ(pal_mem_read(k_mem_pa + k_mem_size - 2, out, 4), PAL_RET_NOK);
        EXPECT_EQ(bytes(out, out + 4), (bytes{63, 64, 0xFF, 0xFF}));
        EXPECT_EQ(pal_mem_write(k_mem_pa + k_mem_size - 1, data.data(), 2), PAL_RET_NOK);
        // 3 bytes below an 8-byte boundary, 20 bytes, into an odd buffer.
        EXPECT_EQ(pal_mem_read(k_mem_pa + 0x105, out + 1, 20), PAL_RET_OK);
        EXPECT_EQ(bytes(out + 1, out + 21), bytes(pattern.begin() + 5, pattern.begin() + 25));
        EXPECT_EQ(pal_mem_write(k_mem_pa + 0x203, data.data(), data.size()), PAL_RET_OK);
        EXPECT_EQ(pal_mem_set(k_mem_pa + 0x311, 0xA5, 9), PAL_RET_OK);
        EXPECT_EQ(pal_mem_set(k_mem_pa + k_mem_size - 4, 7, 8), PAL_RET_NOK);
        EXPECT_EQ(pal_mem_map(k_regs_pa, 8), nullptr);

        EXPECT_EQ(::pal_reg_rd32(k_regs_pa + 0x42), UINT32_MAX);
        EXPECT_EQ(::pal_reg_rd64(k_regs_pa + k_regs_size), UINT64_MAX);
        EXPECT_EQ(::pal_reg_wr16(k_regs_pa + 1, 1), -1);
        EXPECT_EQ(pal_ring_db32(k_regs_pa + k_regs_size - 2, 5), PAL_RET_NOK);
        uint32_t two[2] = {9, 9};
        EXPECT_EQ(pal_reg_write(k_regs_pa + k_regs_size - 4, two, 2), PAL_RET_NOK);
        EXPECT_EQ(::pal_reg_wr32(k_regs_pa + 0x10, 0xabcd), 0);
        std::filesystem::rename(mem_path + ".hidden", mem_path);
    });
    EXPECT_EQ(rsc_file("/resource2", 0x203, 19), data);
    EXPECT_EQ(rsc_file("/resource2", 0x310, 11), (bytes{0, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0}));
    EXPECT_EQ(rsc_file("/resource2", k_mem_size - 4, 4), bytes(4, 7));
    EXPECT_EQ(rsc_file("/resource0", k_regs_size - 4, 4), bytes(4, 0));
    EXPECT_EQ(rsc_file("/resource0", 0x10, 2), (bytes{0xcd, 0xab}));
}

// Sbus access: an invalid ring does nothing; each operation holds its
// ring's PAL lock and goes to the ring's device with its own request and
// the (address, register, value) argument; once the device of some ring
// cannot be opened for a kind of operation, that kind goes through the
// ring's command and data registers on every ring, the other kinds stay on
// their devices.
TEST_F(PalX86Test, SbusGoesThroughTheDeviceUnderTheRingLockThenPerKindThroughRegisters) {
    const std::string dev = emu_.root() + "/dev", locks = emu_.root() + "/locks";
    std::filesystem::create_directories(locks + "/shm");
    std::filesystem::create_directories(locks + "/tmp");
    pal_lock_set_dirs((locks + "/shm").c_str(), (locks + "/tmp").c_str(), (locks + "/share").c_str());
    for (int ring = 0; ring < 3; ++ring) {
        std::ofstream(dev + "/sbus" + std::to_string(ring)).close();  // no device for ring 3
    }
    using request = sbus_request;
    auto requests = [] {
        for (auto& probe : g_lock_probes) {
            probe.join();
        }
        g_lock_probes.clear();
        return std::exchange(g_sbus_requests, {});
    };
    const uint64_t ring_regs = 0x10680000 - k_regs_pa;  // rings 0-2: command and data word at one offset
    on_card([&](const palx86_ctx_s&) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_sbus_rd(4, 1, 2), 0u);
        pal_sbus_wr(7, 1, 2, 3);
        pal_sbus_rst(4, 1);
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(requests().empty());

        EXPECT_EQ(pal_sbus_rd(0, 0x12, 0x34), k_driver_value | 0x34);
        pal_sbus_wr(1, 0x56, 0x78, 0xdeadbeef);
        pal_sbus_rst(2, 0x9a);
        EXPECT_EQ(requests(), (std::vector<request>{{"sbus0", 0xc00c6162, 0x12, 0x34, 0},
                                                    {"sbus1", 0x400c6161, 0x56, 0x78, 0xdeadbeef},
                                                    {"sbus2", 0x400c6163, 0x9a, 0, 0}}));

        // Reads fall back once ring 3 has no device; writes and resets stay.
        pal_sbus_rd(3, 1, 1);
        EXPECT_TRUE(std::filesystem::exists(locks + "/shm/sbus_lock"));
        EXPECT_EQ(pal_sbus_rd(0, 0x12, 0x34), 0x223412u) << "command word read back";
        pal_sbus_wr(0, 0x12, 0x34, 0xbeef);
        pal_sbus_rst(0, 0x12);
        EXPECT_EQ(requests(), (std::vector<request>{{"sbus0", 0x400c6161, 0x12, 0x34, 0xbeef},
                                                    {"sbus0", 0x400c6163, 0x12, 0, 0}}));
        pal_sbus_wr(3, 1, 1, 1);
        pal_sbus_wr(1, 0x12, 0x34, 0xbeef);
        EXPECT_EQ(rsc_file("/resource0", ring_regs, 4), (bytes{0xef, 0xbe, 0, 0}));
        pal_sbus_rst(2, 0x12);
        EXPECT_EQ(requests(), (std::vector<request>{{"sbus2", 0x400c6163, 0x12, 0, 0}}));
        pal_sbus_rst(3, 1);
        pal_sbus_rst(1, 0x12);
        EXPECT_EQ(rsc_file("/resource0", ring_regs, 4), bytes(4, 0));
        EXPECT_TRUE(requests().empty());
    });
}

// Register and memory access capture: capture and replay round trip under
// tests/fuzz; a capture file planted as a symlink is never written through.
TEST_F(PalX86Test, CaptureFileIsNotOpenedThroughAPlantedSymlink) {
    setenv("BLD_VERSION", "1.2.3", 1);
    const std::string dir = emu_.root() + "/capture", victim = emu_.root() + "/victim";
    std::ofstream(victim) << "keep";
    // <dir>/<process>_<section>_bin/rw-capture-<process>-<version>-<section>.txt
    std::filesystem::create_directories(dir + "/t_pal_x86_s_bin");
    std::filesystem::create_symlink(victim, dir + "/t_pal_x86_s_bin/rw-capture-t_pal_x86-1.2.3-s.txt");
    testing::internal::CaptureStderr();
    on_card([&](const palx86_ctx_s&) {
        pal_reg_rw_ctrl_s init{PAL_RW_CTRL_DUMP_INIT, dir.c_str(), nullptr}, start{PAL_RW_CTRL_START_RW, "s", nullptr},
            stop{PAL_RW_CTRL_STOP, nullptr, nullptr};
        const uint32_t v = 1;
        pal_reg_rw_ctrl(&init);
        pal_reg_rw_ctrl(&start);
        pal_reg_write(k_regs_pa, &v, 1);
        pal_reg_rw_ctrl(&stop);
    });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to open "), std::string::npos);
    EXPECT_EQ(read_file(victim), "keep");
}

}  // namespace
