// Card-control commands against the in-process emulator: result conventions,
// the QSFP and CPLD table slots, paged and long QSFP transfers, refusals, and
// faults with their log lines. Commands run on fresh threads, so each opens
// its own channel.
#include <array>
#include <climits>
#include <numeric>

#include "sdk/platform/pal/include/card_ctl.hpp"
#include "tests/emulator/emu_env.hpp"
#include "tests/pal/pal_test.hpp"

using test_support::in_new_thread;
using test_support::log_has;
namespace pal = sdk::lib;

namespace {

bool all_ff(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t v) { return v == 0xFF; });
}

class PalCardCtlTest : public test_support::pal_fixture {
protected:
    void SetUp() override {
        logger_register_module_id(k_logger_pal_module_id);  // pal_log lines reach the module logger
        pal_fixture::SetUp();
    }
    void ctl(std::initializer_list<std::string> commands) {
        for (const auto& c : commands) {
            emu_.ctl(c);
        }
    }
    void expect_shows(const std::string& what, const std::string& text) const {
        std::string out = emu_.ctl("show 0 " + what);
        EXPECT_NE(out.find(text), std::string::npos) << out;
    }
    test_support::emu_env emu_;
};

TEST_F(PalCardCtlTest, CpldAndSensorCommandsWithTheirResultConventions) {
    ctl({"cpld 0 reg 0x20 0x5a", "fault 0 READ_VIN status=4", "fault 0 READ_VOUT1 status=2147483648"});
    in_new_thread([] {
        int v = 77;
        EXPECT_EQ(pal_ipc_c_read_vin(&v), -4);  // failed status: -status, output untouched
        EXPECT_EQ(v, 77);
        EXPECT_EQ(pal_ipc_c_read_vout1(&v), INT_MIN);  // the one status whose negation has no positive int
        uint8_t reg = 0;
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x20, &reg), 0);
        EXPECT_EQ(reg, 0x5a);
        EXPECT_EQ(pal_system_set_led(2, 3), 0);
        EXPECT_EQ(pal_get_system_led(), 2 | (3 << 8));
        EXPECT_EQ(pal_ipc_c_fwsel(7), -3);  // refused selector
        EXPECT_TRUE(pal_is_talon_card());
    });
    emu_.ctl("cpld 0 id 102");
    in_new_thread([] { EXPECT_FALSE(pal_is_talon_card()); });
}

TEST_F(PalCardCtlTest, ResetReasonFollowsBitPriority) {
    const std::pair<uint32_t, int> cases[] = {
        {1u << 0 | 1u << 13, 12}, {1u << 3 | 1u << 1, 8}, {1u << 14 | 1u << 22, 22}, {1u << 5 | 1u << 9, 1}, {0, 0}};
    for (auto [events, reason] : cases) {
        emu_.ctl("cpld 0 rst-event " + std::to_string(events));
        in_new_thread([&] { EXPECT_EQ(pal_get_rst_reason(), reason) << std::hex << events; });
    }
    EXPECT_STREQ(pal_get_rst_reason_descr(27), "Invalid reason");
    // A failed query counts as no events.
    ctl({"cpld 0 rst-event 1", "fault 0 GET_RST_EVENT transport=5"});
    in_new_thread([] { EXPECT_EQ(pal_get_rst_reason(), 0); });
}

TEST_F(PalCardCtlTest, FruReadSizeRulesAndErasedFill) {
    in_new_thread([] {
        std::array<uint8_t, 512> buf{};
        EXPECT_EQ(pal_fru_read(buf.data(), 511, 0), -1);
        EXPECT_EQ(pal_ipc_c_fru_read(buf.data(), 513, 0), -5);
        // The last window runs past the 2048-byte part: erased bytes after it.
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 1792), 0);
        EXPECT_EQ(buf[0], static_cast<uint8_t>(1792 * 31));
        EXPECT_TRUE(all_ff(buf.data() + 256, 256));
        buf.fill(0);
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 4096), -3);
        EXPECT_TRUE(all_ff(buf.data(), 512));
    });
}

TEST_F(PalCardCtlTest, QsfpAndCpldQueriesAndControlsThroughTheTableSlots) {
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), pal::PAL_RET_OK);
    ctl({"cpld 0 rst-event 0x400", "qsfp 0 1 intr-pending 1", "qsfp 0 2 power-ctrl 0"});  // bit 10: BMC power cycle
    in_new_thread([] {
        EXPECT_EQ(pal::pal_qsfp_reset_port(2), pal::PAL_RET_OK);
        EXPECT_TRUE(pal::pal_is_qsfp_port_reset(2));
        EXPECT_EQ(pal::pal_get_cpld_id(), 101);
        EXPECT_EQ(pal::get_rst_reason(), 9);
        EXPECT_EQ(pal::pal_qsfp_presence_intr_clear(1), pal::PAL_RET_OK);
        EXPECT_FALSE(pal::pal_is_qsfp_presence_intr_pending(1));
        EXPECT_EQ(pal::pal_qsfp_power_en(2, true), pal::PAL_RET_NOK);  // no power control
        // A port the card does not have: the firmware refuses, the query is false.
        EXPECT_FALSE(pal::pal_is_qsfp_port_present(3));
        EXPECT_EQ(pal::pal_qsfp_set_port(3), pal::PAL_RET_NOK);
    });
    // The on-card backend reaches the same module.
    pal::pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr), pal::PAL_RET_OK);
    in_new_thread([] {
        EXPECT_EQ(pal::pal_qsfp_set_led(1, pal::LED_COLOR_YELLOW, pal::LED_FREQ_2HZ), pal::PAL_RET_OK);
        std::array<uint8_t, 8> buf{};
        EXPECT_EQ(pal::qsfp_dom_read(buf.data(), 8, 0, 1, 1), pal::PAL_RET_OK);
        EXPECT_EQ(buf[0], 0x11);
    });
    expect_shows("qsfp 1", "led=2,2");
}

TEST_F(PalCardCtlTest, LongQsfpTransfersAcrossMoreDataResponses) {
    emu_.ctl("qsfp 0 1 byte 255 0x7e");
    in_new_thread([] {
        std::array<uint8_t, 212> data{};  // the largest write
        std::iota(data.begin(), data.end(), 1);
        EXPECT_EQ(pal_qsfp_write(data.data(), 212, 0, 1, 1), 0);
        std::array<uint8_t, 256> img{};
        ASSERT_EQ(pal_qsfp_read(img.data(), 256, 0, 1, 1), 0);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), img.begin()));
        EXPECT_EQ(img[255], 0x7e);
        // A window that starts mid-image and spans two responses.
        std::array<uint8_t, 150> part{};
        ASSERT_EQ(pal_qsfp_dom_read(part.data(), 150, 100, 1, 1), 0);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), img.begin() + 100));
    });
}

// Transfers past the 256-byte image are refused unsent, the buffer all
// ones: one that did reach the card would fail with a transport error.
TEST_F(PalCardCtlTest, QsfpRefusalsAndFailures) {
    ctl({"fault 0 QSFP_READ transport=5", "fault 0 QSFP_WRITE transport=5"});
    in_new_thread([] {
        std::array<uint8_t, 257> buf{};
        EXPECT_EQ(pal_qsfp_read(buf.data(), 257, 0, 1, 1), 3);
        EXPECT_TRUE(all_ff(buf.data(), 257));
        EXPECT_EQ(pal_qsfp_read(buf.data(), 16, 250, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_write(buf.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_write(buf.data(), 1, 0, 1, 1), -71);  // in range: sent
        EXPECT_EQ(pal_qsfp_read(buf.data(), 6, 250, 1, 1), -71);
    });
    EXPECT_TRUE(log_has("Pal-trace ipc send cmd failed ep:7 opcode:0x10008 err:5", trace_level_err));
    ctl({"fault 0 QSFP_READ short", "fault 0 QSFP_IS_RESET short"});
    in_new_thread([] {
        std::array<uint8_t, 200> buf{};
        EXPECT_NE(pal_qsfp_read(buf.data(), 200, 0, 1, 1), 0);  // no data taken from a short answer
        EXPECT_TRUE(all_ff(buf.data(), 200));
        EXPECT_EQ(pal_is_qsfp_port_reset(1), -71);  // too short to hold the value
    });
    // No card to talk to: the channel does not open, the buffer is left alone.
    test_support::temp_dir empty;
    test_support::scoped_env dev("TALON_DEV_DIR", empty.path());
    in_new_thread([] {
        std::array<uint8_t, 4> buf{1, 2, 3, 4};
        EXPECT_EQ(pal_qsfp_read(buf.data(), 4, 0, 1, 1), -2);
        EXPECT_EQ(buf[0], 1);
    });
    EXPECT_TRUE(log_has("Pal-trace pal ipc open failed", trace_level_err));
}

}  // namespace
