#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;
using talon_test::log_has;

namespace {

class PalDispatchTest : public talon_test::pal_fixture {};

TEST_F(PalDispatchTest, UnknownTypeFailsWithLineLaterInitIsNoOpUntilTeardown) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    auto lines = talon_test::log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mod_id, 1u);
    EXPECT_TRUE(log_has("] Failed to initialize PAL for platform type 9, err 1", trace_level_err));

    // The flag stays set: another type is not taken, the table is unchanged.
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), 9u);
    EXPECT_EQ(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);

    EXPECT_EQ(pal_teardown(9), PAL_RET_OK);
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), sdk::platform::PLATFORM_TYPE_X86_64);
    EXPECT_NE(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
}

TEST_F(PalDispatchTest, DefaultSlotsAnswerAndEmptySlotsFail) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    EXPECT_EQ(pal_get_cpld_id(), -1);
    EXPECT_TRUE(pal_is_qsfp_port_powered_up(1));
    uint8_t buf[4] = {};
    EXPECT_EQ(pal_mem_read(0xabc, buf, sizeof(buf)), PAL_RET_OK);
    EXPECT_TRUE(log_has("PAL default memory read called for abc", trace_level_debug));

    // A slot no backend filled returns an error instead of jumping through null.
    EXPECT_EQ(pal_sbus_read(0, 1, 2), PAL_RET_NOK);
    EXPECT_TRUE(log_has("PAL operation pal_sbus_read is not available", trace_level_err));
}

TEST_F(PalDispatchTest, TelnetHalfConfiguredChoosesLocalBackend) {
    setenv("PAL_TELNET_PORT", "1", 1);
    // The local host backend starts without connecting anywhere.
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    EXPECT_NE(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
    EXPECT_FALSE(log_has("Telnet"));
}

TEST_F(PalDispatchTest, ConcurrentInitSeesCompleteTable) {
    constexpr int k_threads = 8;
    std::latch start(k_threads);
    std::atomic<int> complete{0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
            // The backend's last slot is in place whichever thread filled it.
            complete += gl_pal_info.rwvecs.reg_rw_ctrl != nullptr && gl_pal_info.rwvecs.mem_read != nullptr &&
                        gl_pal_info.platform_type == sdk::platform::PLATFORM_TYPE_X86_64;
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(complete.load(), k_threads);
}

}  // namespace
