#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <vector>

#include "sdk/lib/pal/pal.hpp"
#include "sdk/platform/pal/src/ipc/x86_64/palx86.hpp"
#include "tests/pal/capture_log.hpp"
#include "tests/pal/fake_card.hpp"

using namespace sdk::lib;
using talon_test::fake_card;
using talon_test::in_new_thread;
using talon_test::k_mem_pa;
using talon_test::k_mem_size;
using talon_test::k_regs_pa;
using talon_test::k_regs_size;
using talon_test::k_rsc_bdf;
using talon_test::log_has;

namespace {

class PalX86Test : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PAL_CARD_UUID");
        unsetenv("PAL_RESDEV_BDF");
        talon_test::capture_log_start();
        ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    }
    void TearDown() override {
        pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
        logger_init(nullptr);
    }
    fake_card card_;
};

TEST_F(PalX86Test, MapsTheCardOnceAndEnablesMemoryDecoding) {
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        palx86_ctx_s ctx = palx86_get_ctx();
        EXPECT_EQ(ctx.initialized, 1u);
        EXPECT_EQ(ctx.regs.pa, k_regs_pa);
        EXPECT_EQ(ctx.regs.size, k_regs_size);
        EXPECT_EQ(ctx.mem.pa, k_mem_pa);
        EXPECT_EQ(ctx.mem.size, k_mem_size);
        EXPECT_EQ(pal_hw_x86_mem_totalsize(), k_mem_size);
        EXPECT_EQ(::pal_get_sub_asic(), 2);
        EXPECT_EQ(sdk::lib::pal_get_sub_asic(), 2);
    });
    EXPECT_EQ(card_.setpci_log(), std::string("-s ") + k_rsc_bdf + " 0x4.w=2\n");
}

TEST_F(PalX86Test, CardStartNeedsTheCardLookupAndMapsNothingTwice) {
    in_new_thread([&] {
        testing::internal::CaptureStderr();
        EXPECT_LT(pal_hw_x86_init("0000:02:00.0"), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Cannot get resource device bdf for card 0000:02:00.0\n");
        palx86_set_card_resolver({[](const char*, char* out, size_t len) {
                                      snprintf(out, len, "%s", k_rsc_bdf);
                                      return 0;
                                  },
                                  nullptr});
        EXPECT_EQ(pal_hw_x86_init("0000:02:00.0"), 0);
        EXPECT_STREQ(palx86_get_ctx().card_id, "0000:02:00.0");
        // A second start in the same thread maps nothing again.
        EXPECT_EQ(pal_hw_x86_init("0000:02:00.0"), 0);
        palx86_set_card_resolver({nullptr, nullptr});
    });
    EXPECT_EQ(card_.setpci_log(), std::string("-s ") + k_rsc_bdf + " 0x4.w=2\n");
}

TEST_F(PalX86Test, ResourceMapAcceptanceRule) {
    in_new_thread([&] {
        // Wrong magic but a non-zero version is accepted.
        card_.write_rsc_map(0xdeadbeef, 3, 0);
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
    });
    in_new_thread([&] {
        card_.write_rsc_map(0xdeadbeef, 0, 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "palx asic-magic/host-magic 0xdeadbeef/0x70616c78asic-version/host-version 0/1 "
                  "check failed\n");
        EXPECT_EQ(palx86_get_ctx().initialized, 0u);
    });
}

TEST_F(PalX86Test, StartFailures) {
    in_new_thread([&] {
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf("0000:03:00.0/../x"), -1);
        EXPECT_EQ(palx86_init_with_rsc_bdf(""), -1);
        std::filesystem::remove(card_.dev_dir() + "/resource2");
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("resource2: No such file or directory"), std::string::npos) << err;
        EXPECT_EQ(palx86_get_ctx().initialized, 0u);
        card_.fail_setpci();
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "device memenable failed\n");
    });
}

TEST_F(PalX86Test, MemoryReadsAtWindowEdgesAndSplitCopies) {
    std::vector<uint8_t> pattern(64);
    std::iota(pattern.begin(), pattern.end(), 1);
    card_.write_mem_file(k_mem_size - 64, pattern);
    card_.write_mem_file(0x100, pattern);
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        uint8_t b = 0;
        EXPECT_EQ(pal_mem_read(k_mem_pa + k_mem_size - 1, &b, 1), PAL_RET_OK);
        EXPECT_EQ(b, 64);
        EXPECT_EQ(pal_mem_read(k_mem_pa + k_mem_size, &b, 1), PAL_RET_OK);
        EXPECT_EQ(b, 0xFF);
        // A range running past the end keeps the bytes inside, 0xFF after.
        uint8_t tail[4] = {};
        EXPECT_EQ(pal_mem_read(k_mem_pa + k_mem_size - 2, tail, 4), PAL_RET_OK);
        EXPECT_EQ(std::vector<uint8_t>(tail, tail + 4), (std::vector<uint8_t>{63, 64, 0xFF, 0xFF}));
        // 3 bytes below an 8-byte boundary, 20 bytes, into an odd buffer.
        uint8_t out[32] = {};
        EXPECT_EQ(pal_mem_read(k_mem_pa + 0x105, out + 1, 20), PAL_RET_OK);
        EXPECT_EQ(std::vector<uint8_t>(out + 1, out + 21),
                  std::vector<uint8_t>(pattern.begin() + 5, pattern.begin() + 25));
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[21], 0);
    });
}

TEST_F(PalX86Test, MemoryWritesAndMemset) {
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        std::vector<uint8_t> data(19);
        std::iota(data.begin(), data.end(), 100);
        EXPECT_EQ(pal_mem_write(k_mem_pa + 0x203, data.data(), data.size()), PAL_RET_OK);
        EXPECT_EQ(::pal_memset(k_mem_pa + 0x300, 0x5A, 16, 0), 16u);
        EXPECT_EQ(pal_mem_set(k_mem_pa + 0x311, 0xA5, 9), PAL_RET_OK);
        // Past the window: nothing set, the slot reports the shortfall.
        EXPECT_EQ(::pal_memset(k_mem_pa + k_mem_size, 1, 8, 0), 0u);
        EXPECT_EQ(pal_mem_set(k_mem_pa + k_mem_size - 4, 7, 8), PAL_RET_NOK);
        uint8_t out = 0;
        EXPECT_EQ(pal_mem_write(k_mem_pa + k_mem_size, &out, 1), PAL_RET_OK);
    });
    EXPECT_EQ(card_.mem_file(0x203, 19), std::vector<uint8_t>({100, 101, 102, 103, 104, 105, 106, 107,
                                                              108, 109, 110, 111, 112, 113, 114, 115,
                                                              116, 117, 118}));
    EXPECT_EQ(card_.mem_file(0x2FF, 18), (std::vector<uint8_t>{0, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                                                                0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                                                                0x5A, 0x5A, 0}));
    std::vector<uint8_t> set2 = card_.mem_file(0x311, 10);
    EXPECT_EQ(set2, (std::vector<uint8_t>{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0}));
    EXPECT_EQ(card_.mem_file(k_mem_size - 4, 4), (std::vector<uint8_t>{7, 7, 7, 7}));
}

TEST_F(PalX86Test, TranslationsInAndOutOfWindows) {
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        palx86_ctx_s ctx = palx86_get_ctx();
        uint64_t va = 0;
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_pa + 8, &va), 0);
        EXPECT_EQ(va, ctx.mem.va + 8);
        uint64_t pa = 0;
        EXPECT_EQ(pal_hw_x86_mem_va_to_pa(&pa, va), 0);
        EXPECT_EQ(pa, k_mem_pa + 8);
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_pa - 1, &va), -1);
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_pa + k_mem_size, &va), -1);
        EXPECT_EQ(pal_hw_x86_mem_va_to_pa(&pa, ctx.mem.va + k_mem_size), -1);
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(k_regs_pa + k_regs_size - 4, &va), 0);
        EXPECT_EQ(va, ctx.regs.va + k_regs_size - 4);
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(k_regs_pa + k_regs_size, &va), -1);
        EXPECT_EQ(pal_hw_x86_pmem_va(&va), 0);
        EXPECT_EQ(va, ctx.rsc_va);

        uint64_t out = 0;
        EXPECT_EQ(pal_physical_addr_to_virtual_addr(k_mem_pa + 16, &out), PAL_RET_OK);
        EXPECT_EQ(out, ctx.mem.va + 16);
        EXPECT_EQ(pal_virtual_addr_to_physical_addr(ctx.mem.va + 16, &out), PAL_RET_OK);
        EXPECT_EQ(out, k_mem_pa + 16);
        EXPECT_EQ(pal_mem_map(k_mem_pa + 32, 8), reinterpret_cast<void*>(ctx.mem.va + 32));
        EXPECT_EQ(pal_mem_map(k_regs_pa, 8), nullptr);
        EXPECT_EQ(::pal_mem_vtop(reinterpret_cast<void*>(ctx.regs.va)), UINT64_MAX);
        EXPECT_TRUE(log_has("pal_mem_vtop: virtual address", trace_level_err));
    });
}

TEST_F(PalX86Test, RegisterAccessAndCallerErrors) {
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        uint32_t words[3] = {0x11111111, 0x22222222, 0x33333333};
        EXPECT_EQ(pal_reg_write(k_regs_pa + 0x40, words, 3), PAL_RET_OK);
        uint32_t back[3] = {};
        EXPECT_EQ(pal_reg_read(k_regs_pa + 0x40, back, 3), PAL_RET_OK);
        EXPECT_EQ(back[2], 0x33333333u);
        EXPECT_EQ(::pal_reg_rd64_safe(k_regs_pa + 0x40), 0x2222222211111111ULL);
        EXPECT_EQ(::pal_reg_wr64_safe(k_regs_pa + 0x48, 0xAABBCCDD00112233ULL), 0);
        EXPECT_EQ(::pal_reg_rd32(k_regs_pa + 0x4c), 0xAABBCCDDu);
        EXPECT_EQ(pal_ring_db16(k_regs_pa + 0x50, 0xBEEF), PAL_RET_OK);
        EXPECT_EQ(::pal_reg_rd16(k_regs_pa + 0x50), 0xBEEF);
        EXPECT_EQ(pal_ring_db64(k_regs_pa + 0x58, 0x0102030405060708ULL), PAL_RET_OK);
        EXPECT_EQ(::pal_reg_rd8(k_regs_pa + 0x58), 0x08);

        // Misaligned and out-of-window accesses: error line, all-ones, no access.
        EXPECT_EQ(::pal_reg_rd32(k_regs_pa + 0x42), UINT32_MAX);
        EXPECT_TRUE(log_has("pal_reg_rd32: register address 0x10600042 is not aligned to 4 bytes",
                            trace_level_err));
        EXPECT_EQ(::pal_reg_rd64(k_regs_pa + k_regs_size), UINT64_MAX);
        EXPECT_TRUE(log_has("pal_reg_rd64: register address 0x10700000 (8 bytes) is outside the "
                            "register window"));
        EXPECT_EQ(::pal_reg_wr16(k_regs_pa + 1, 1), -1);
        EXPECT_EQ(pal_ring_db32(k_regs_pa + k_regs_size - 2, 5), PAL_RET_NOK);
        // A word transfer that would run past the window moves nothing.
        uint32_t two[2] = {9, 9};
        EXPECT_EQ(pal_reg_write(k_regs_pa + k_regs_size - 4, two, 2), PAL_RET_NOK);
        EXPECT_EQ(pal_reg_read(k_regs_pa + k_regs_size - 4, two, 2), PAL_RET_NOK);
        EXPECT_EQ(two[0], UINT32_MAX);
        EXPECT_TRUE(log_has("pal_reg_wr32w:"));
    });
    EXPECT_EQ(card_.regs_file(k_regs_size - 4, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(PalX86Test, LazyStartByResourceDeviceAddress) {
    setenv("PAL_RESDEV_BDF", "03:00.0", 1);
    card_.write_script("lspci", "exit 0\n");
    in_new_thread([&] {
        uint8_t b = 0;
        card_.write_mem_file(0, {0x42});
        EXPECT_EQ(pal_mem_read(k_mem_pa, &b, 1), PAL_RET_OK);
        EXPECT_EQ(b, 0x42);
        EXPECT_EQ(palx86_get_ctx().initialized, 1u);
    });
    unsetenv("PAL_RESDEV_BDF");
}

TEST_F(PalX86Test, LazyStartFromLspciAndItsFailure) {
    in_new_thread([&] {
        uint64_t va = 0;
        EXPECT_EQ(pal_hw_x86_pmem_va(&va), 0);
        EXPECT_NE(va, 0u);
    });
    card_.write_script("lspci", "exit 0\n");
    in_new_thread([&] {
        testing::internal::CaptureStderr();
        uint64_t va = 0;
        EXPECT_EQ(pal_hw_x86_pmem_va(&va), -1);
        uint8_t b = 0;
        // Translation goes on after a failed start: outside every window.
        EXPECT_EQ(pal_mem_read(k_mem_pa, &b, 1), PAL_RET_OK);
        EXPECT_EQ(b, 0xFF);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Resource map device 1ff7:100f not found\n"), std::string::npos) << err;
    });
    setenv("PAL_CARD_UUID", "7a1c0000-0000-0000-0000-000000000001", 1);
    in_new_thread([&] {
        uint64_t va = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(pal_hw_x86_pmem_va(&va), -1);
        testing::internal::GetCapturedStderr();
    });
    unsetenv("PAL_CARD_UUID");
}

}  // namespace
