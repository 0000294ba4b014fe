#include <atomic>
#include <latch>
#include <numeric>

#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;
using namespace test_support;
using bytes = std::vector<uint8_t>;

namespace {

constexpr auto k_x86 = sdk::platform::PLATFORM_TYPE_X86_64;

// Operation table dispatch and initialisation.
class PalDispatchTest : public test_support::pal_fixture {};

TEST_F(PalDispatchTest, ConcurrentInitSeesCompleteTable) {
    constexpr int k_threads = 8;
    std::latch start(k_threads);
    std::atomic<int> complete{0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            EXPECT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
            // The backend's last slot is in place whichever thread filled it.
            complete += gl_pal_info.rwvecs.reg_rw_ctrl != nullptr && gl_pal_info.platform_type == k_x86;
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(complete.load(), k_threads);
}

// The host backend against an emulated card.
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
    fake_card card_;
};

TEST_F(PalX86Test, CardStartEnablesTheDeviceAndChecksTheResourceMap) {
    in_new_thread([&] {
        EXPECT_EQ(pal_hw_x86_init(k_hub_bdf), 0);
        EXPECT_EQ(pal_hw_x86_mem_totalsize(), k_mem_size);
    });
    EXPECT_EQ(card_.setpci_log(), std::string("-s ") + k_rsc_bdf + " 0x4.w=2\n");
    in_new_thread([&] {
        card_.write_rsc_map(0xdeadbeef, 0);  // wrong magic and version 0
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        card_.write_rsc_map(0x70616c78, 1);
        EXPECT_EQ(palx86_init_with_rsc_bdf("0000:03:00.0/../x"), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(palx86_get_ctx().initialized, 0u);
    });
}

// A restart that cannot map every window leaves the started context on its
// old mappings: accesses keep working instead of touching unmapped memory.
TEST_F(PalX86Test, FailedRestartKeepsTheOldMappings) {
    card_.write_mem_file(0x40, bytes{1, 2, 3, 4});
    const std::string mem_path = card_.dev_dir() + "/resource2";
    on_card([&](const palx86_ctx_s& before) {
        std::filesystem::rename(mem_path, mem_path + ".hidden");
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(palx86_get_ctx().mem.va, before.mem.va);
        bytes got(4);
        EXPECT_EQ(pal_mem_read(k_mem_pa + 0x40, got.data(), got.size()), PAL_RET_OK);
        EXPECT_EQ(got, (bytes{1, 2, 3, 4}));
        EXPECT_EQ(::pal_reg_wr32(k_regs_pa + 0x10, 0xabcd), 0);
        std::filesystem::rename(mem_path + ".hidden", mem_path);
    });
    EXPECT_EQ(card_.regs_file(0x10, 2), (bytes{0xcd, 0xab}));
}

// Accesses inside the windows reach the card; those crossing an edge move
// nothing past it, misaligned register accesses move nothing at all.
TEST_F(PalX86Test, AccessStaysInTheWindows) {
    bytes pattern(64), data(19);
    std::iota(pattern.begin(), pattern.end(), 1);
    std::iota(data.begin(), data.end(), 100);
    card_.write_mem_file(k_mem_size - 64, pattern);
    card_.write_mem_file(0x100, pattern);
    on_card([&](const palx86_ctx_s&) {
        uint8_t out[32] = {};
        // A range running past the end keeps the bytes inside, 0xFF after.
        EXPECT_EQ(pal_mem_read(k_mem_pa + k_mem_size - 2, out, 4), PAL_RET_OK);
        EXPECT_EQ(bytes(out, out + 4), (bytes{63, 64, 0xFF, 0xFF}));
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
    });
    EXPECT_EQ(card_.mem_file(0x203, 19), data);
    EXPECT_EQ(card_.mem_file(0x310, 11), (bytes{0, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0}));
    EXPECT_EQ(card_.mem_file(k_mem_size - 4, 4), bytes(4, 7));
    EXPECT_EQ(card_.regs_file(k_regs_size - 4, 4), bytes(4, 0));
}

TEST_F(PalX86Test, LazyStartByLspciOrResourceDeviceAddress) {
    card_.write_mem_file(0, {0x42});
    auto first_byte = [] {
        uint8_t b = 0;
        EXPECT_EQ(pal_mem_read(k_mem_pa, &b, 1), PAL_RET_OK);
        return b;
    };
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
    card_.write_script("lspci", "exit 0\n");
    setenv("PAL_RESDEV_BDF", "03:00.0", 1);
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
}

// Register and memory access capture: capture and replay round trip under
// tests/fuzz; a capture file planted as a symlink is never written through.
TEST_F(PalX86Test, CaptureFileIsNotOpenedThroughAPlantedSymlink) {
    setenv("BLD_VERSION", "1.2.3", 1);
    const std::string dir = card_.root() + "/capture", victim = card_.root() + "/victim";
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
