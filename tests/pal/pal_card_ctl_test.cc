// Card-control commands against the in-process emulator. Commands run on
// fresh threads, so each opens its own channel.
#include <array>
#include <climits>
#include <numeric>
#include <vector>

#include "sdk/platform/pal/include/card_ctl.hpp"
#include "testkit/emu_env.hpp"
#include "tests/pal/pal_test.hpp"

using test_support::in_new_thread;
namespace pal = sdk::lib;

namespace {

class PalCardCtlTest : public test_support::pal_fixture {
protected:
    void SetUp() override {
        logger_register_module_id(k_logger_pal_module_id);  // pal_log lines reach the module logger
        pal_fixture::SetUp();
    }
    test_support::emu_env emu_;
};

// Card-control commands with their result conventions, then the same
// module through the PAL's table slots on the host and on-card backends.
TEST_F(PalCardCtlTest, CpldQsfpAndSensorCommandsDirectlyAndThroughTheTableSlots) {
    for (const char* c :
         {"cpld 0 reg 0x20 0x5a", "fault 0 READ_VIN status=4", "fault 0 READ_VOUT1 status=2147483648",
          "fault 0 FRU_READ status=6"}) {
        emu_.ctl(c);
    }
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), pal::PAL_RET_OK);
    in_new_thread([] {
        EXPECT_EQ(pal::pal_qsfp_reset_port(2), pal::PAL_RET_OK);
        EXPECT_TRUE(pal::pal_is_qsfp_port_reset(2));
        EXPECT_EQ(pal::pal_get_cpld_id(), 101);
        int v = 77;
        EXPECT_EQ(pal_ipc_c_read_vin(&v), -4);  // failed status: -status, output untouched
        EXPECT_EQ(v, 77);
        EXPECT_EQ(pal_ipc_c_read_vout1(&v), INT_MIN);  // the one status whose negation has no positive int
        uint8_t reg = 0;
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x20, &reg), 0);
        EXPECT_EQ(reg, 0x5a);
        EXPECT_EQ(pal_ipc_c_fwsel(7), -3);  // refused selector
        EXPECT_EQ(pal_ipc_c_fwsel(1), 0);
        EXPECT_EQ(pal_ipc_c_system_set_led(2, 5), 0);
        // A failed FRU read leaves the buffer as erased memory reads.
        std::vector<uint8_t> fru(64);
        EXPECT_EQ(pal_ipc_c_fru_read(fru.data(), fru.size(), 0), -6);
        EXPECT_EQ(fru, std::vector<uint8_t>(64, 0xFF));
    });
    const std::string state = emu_.ctl("show 0 cpld");
    EXPECT_NE(state.find("system-led=2,5 "), std::string::npos) << state;
    EXPECT_NE(state.find("fwsel=1"), std::string::npos) << state;
    // Reset events to reason: the first match in priority order.
    const std::pair<const char*, int> reasons[] = {{"0x400", 9},   {"0x3000", 12}, {"0x1200", 11}, {"0x220", 1},
                                                   {"0x4008", 13}, {"0x3", 6},     {"0x10", 14},   {"0x0", 0}};
    for (const auto& [events, reason] : reasons) {
        emu_.ctl(std::string("cpld 0 rst-event ") + events);
        in_new_thread([reason = reason, events = events] { EXPECT_EQ(pal::get_rst_reason(), reason) << events; });
    }
    // The on-card backend reaches the same module.
    pal::pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr), pal::PAL_RET_OK);
    in_new_thread([] {
        std::array<uint8_t, 8> buf{};
        EXPECT_EQ(pal::qsfp_dom_read(buf.data(), 8, 0, 1, 1), pal::PAL_RET_OK);
        EXPECT_EQ(buf[0], 0x11);
    });
}

// Transfers up to the 256-byte image span several more-data responses;
// those past it are refused unsent, the buffer all ones: one that did reach
// the card would fail with a transport error. Short and malformed answers
// are fuzzed in tests/fuzz/ipc_fuzz.cc.
TEST_F(PalCardCtlTest, QsfpTransfersAcrossMoreDataResponsesUpToTheImage) {
    emu_.ctl("qsfp 0 1 byte 255 0x7e");
    in_new_thread([this] {
        std::array<uint8_t, 212> data{};  // the largest write
        std::iota(data.begin(), data.end(), 1);
        EXPECT_EQ(pal_qsfp_write(data.data(), 212, 0, 1, 1), 0);
        std::vector<uint8_t> img(257);
        ASSERT_EQ(pal_qsfp_read(img.data(), 256, 0, 1, 1), 0);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), img.begin()));
        EXPECT_EQ(img[255], 0x7e);
        // A window that starts mid-image and spans two responses.
        std::array<uint8_t, 150> part{};
        ASSERT_EQ(pal_qsfp_dom_read(part.data(), 150, 100, 1, 1), 0);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), img.begin() + 100));

        emu_.ctl("fault 0 QSFP_READ transport=5");
        EXPECT_EQ(pal_qsfp_read(img.data(), 257, 0, 1, 1), 3);
        EXPECT_EQ(img, std::vector<uint8_t>(257, 0xFF));
        EXPECT_EQ(pal_qsfp_write(img.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_read(img.data(), 6, 250, 1, 1), -71);  // in range: sent
    });
}

}  // namespace
