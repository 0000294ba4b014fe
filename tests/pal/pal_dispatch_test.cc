#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sdk/lib/pal/pal.hpp"
#include "tests/pal/capture_log.hpp"

using namespace sdk::lib;
using talon_test::log_has;

namespace {

class PalDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PAL_J2C_PORT");
        unsetenv("PAL_TELNET_PORT");
        unsetenv("PAL_TELNET_IPADDR");
        talon_test::capture_log_start();
    }
    void TearDown() override {
        pal_teardown(pal_get_platform_type());
        logger_init(nullptr);
    }
};

TEST_F(PalDispatchTest, UnknownTypeFailsWithLineAndLaterInitIsNoOp) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    auto lines = talon_test::log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mod_id, 1u);
    EXPECT_EQ(lines[0].level, trace_level_err);
    EXPECT_NE(lines[0].text.find("] Failed to initialize PAL for platform type 9, err 1"),
              std::string::npos);
    EXPECT_EQ(lines[0].text.rfind("[pal.cc:", 0), 0u);

    // The flag stays set: another type is not taken, the table is unchanged.
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), 9u);
    EXPECT_EQ(pal_get_cpld_id(), -1);
    EXPECT_EQ(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
}

TEST_F(PalDispatchTest, DefaultsGiveTheirResultsAndDebugLines) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    EXPECT_EQ(pal_get_cpld_id(), -1);
    EXPECT_EQ(pal_get_cpld_rev(), -1);
    EXPECT_TRUE(pal_is_qsfp_port_powered_up(1));
    EXPECT_TRUE(pal_is_qsfp_port_power_ctrl_present(1));
    EXPECT_FALSE(pal_is_qsfp_port_present(1));
    EXPECT_EQ(pal_mem_map(0x1000, 16), nullptr);
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(pal_mem_read(0xabc, buf, sizeof(buf)), PAL_RET_OK);
    EXPECT_TRUE(log_has("PAL default memory read called for abc", trace_level_debug));
    EXPECT_EQ(pal_qsfp_power_en(3, true), PAL_RET_OK);
    EXPECT_TRUE(log_has("PAL default qsfp_set_power_en 3 1", trace_level_debug));
}

TEST_F(PalDispatchTest, DefaultLineGoesToStdoutWithoutCallback) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    logger_init(nullptr);
    testing::internal::CaptureStdout();
    pal_get_cpld_rev();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("[pal_default.cc:", 0), 0u) << out;
    EXPECT_NE(out.find("] PAL default get cpld_rev\n"), std::string::npos) << out;

    logger_init(null_logger_cb_);
    testing::internal::CaptureStdout();
    pal_get_cpld_rev();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PalDispatchTest, EmptySlotReturnsErrorInsteadOfCrashing) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    EXPECT_EQ(pal_sbus_read(0, 1, 2), PAL_RET_NOK);
    EXPECT_FALSE(pal_is_qsfp_port_reset(0));
    EXPECT_EQ(pal_reg_batch_write(0, nullptr, 0, 0, 0), PAL_RET_NOK);
    pal_reg_rw_ctrl_s ctrl{4, nullptr, nullptr};
    EXPECT_EQ(pal_reg_rw_ctrl(&ctrl), PAL_RET_NOK);
    EXPECT_TRUE(log_has("PAL operation pal_sbus_read is not available", trace_level_err));
}

TEST_F(PalDispatchTest, TelnetHalfConfiguredChoosesLocalBackend) {
    setenv("PAL_TELNET_PORT", "1", 1);
    // The local host backend starts without connecting anywhere.
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_NE(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
    EXPECT_FALSE(log_has("Telnet"));
    unsetenv("PAL_TELNET_PORT");
}

TEST_F(PalDispatchTest, TeardownAllowsAnotherType) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    EXPECT_EQ(pal_teardown(9), PAL_RET_OK);
    EXPECT_EQ(pal_teardown(9), PAL_RET_OK);
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), sdk::platform::PLATFORM_TYPE_X86_64);
    EXPECT_NE(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
}

TEST_F(PalDispatchTest, ConcurrentInitSeesCompleteTable) {
    constexpr int k_threads = 8;
    std::atomic<int> ready{0};
    std::atomic<int> complete{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < k_threads) {
            }
            EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
            // The backend's last slot is in place whichever thread filled it.
            if (gl_pal_info.rwvecs.reg_rw_ctrl != nullptr && gl_pal_info.rwvecs.mem_read != nullptr &&
                gl_pal_info.platform_type == sdk::platform::PLATFORM_TYPE_X86_64) {
                complete.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(complete.load(), k_threads);
}

}  // namespace
