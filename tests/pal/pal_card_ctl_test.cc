// Card-control commands against the in-process emulator: every command
// through its function or table slot, the result conventions, the paged QSFP
// transfers, refusals, and faults with their log lines. Every test runs its
// commands on a fresh thread, so each opens its own channel.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sdk/lib/pal/pal.hpp"
#include "sdk/platform/pal/src/card_ctl.hpp"
#include "tests/emulator/emu_env.hpp"
#include "tests/pal/capture_log.hpp"

using talon_test::emu_cfg;
using talon_test::emu_env;
using talon_test::log_has;
using talon_test::scoped_env;

namespace {

namespace pal = sdk::lib;

template <typename Fn>
void on_fresh_thread(Fn fn) {
    std::thread(fn).join();
}

bool all_ff(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

class PalCardCtlTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("HUB_BDF");
        unsetenv("PAL_J2C_PORT");
        unsetenv("PAL_TELNET_PORT");
        // pal_log lines reach the module logger once a module id is known.
        logger_register_module_id(k_logger_pal_module_id);
        talon_test::capture_log_start();
    }
    void TearDown() override {
        sdk::lib::pal_teardown(sdk::lib::pal_get_platform_type());
        logger_init(nullptr);
    }
};

TEST_F(PalCardCtlTest, CpldSensorAndFirmwareSelectCommandsRoundTrip) {
    emu_env emu;
    emu.ctl("cpld 0 rev 7");
    emu.ctl("cpld 0 minor-rev 3");
    emu.ctl("cpld 0 boot-status 2");
    emu.ctl("cpld 0 reg 0x20 0x5a");
    const char* sensors[] = {"pin", "pout1", "pout2", "vin", "vout1", "vout2",
                             "board-temp", "die-temp", "hwtrip-temp"};
    for (int i = 0; i < 9; ++i) {
        emu.ctl(std::string("sensor 0 ") + sensors[i] + " " + std::to_string(1000 + i));
    }
    on_fresh_thread([&] {
        int v = -1;
        EXPECT_EQ(pal_ipc_c_cpld_rev(&v), 0);
        EXPECT_EQ(v, 7);
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), 0);
        EXPECT_EQ(v, 101);
        EXPECT_EQ(pal_get_cpld_rev(), 7);
        EXPECT_EQ(pal_get_cpld_id(), 101);
        EXPECT_EQ(pal_get_cpld_minor_rev(), 3);
        EXPECT_EQ(pal_cpld_boot_status(), 2);

        EXPECT_EQ(pal_system_set_led(2, 3), 0);
        EXPECT_EQ(pal_get_system_led(), 2 | (3 << 8));
        EXPECT_EQ(pal_cpld_set_card_status(9), 0);
        EXPECT_EQ(pal_write_fw_ver_to_cpld(1, 2, 3, 4), 0);
        EXPECT_EQ(pal_ipc_c_fwsel(1), 0);
        EXPECT_EQ(pal_ipc_c_fwsel(7), -3);  // refused selector: -status

        uint8_t reg = 0;
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x20, &reg), 0);
        EXPECT_EQ(reg, 0x5a);
        EXPECT_EQ(pal_ipc_set_cpld_reg(0x21, 0xc3), 0);
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x21, &reg), 0);
        EXPECT_EQ(reg, 0xc3);

        int (*reads[])(int*) = {pal_ipc_c_read_pin, pal_ipc_c_read_pout1, pal_ipc_c_read_pout2,
                                pal_ipc_c_read_vin, pal_ipc_c_read_vout1, pal_ipc_c_read_vout2,
                                pal_ipc_c_read_board_temperature, pal_ipc_c_read_die_temperature,
                                pal_ipc_c_read_hwtrip_temp};
        for (int i = 0; i < 9; ++i) {
            int s = -1;
            EXPECT_EQ(reads[i](&s), 0) << sensors[i];
            EXPECT_EQ(s, 1000 + i) << sensors[i];
        }
    });
    EXPECT_NE(emu.ctl("show 0 cpld")
                  .find("system-led=2,3 card-status=9 fw-ver=1.2.3.4 fwsel=1"),
              std::string::npos)
        << emu.ctl("show 0 cpld");
}

TEST_F(PalCardCtlTest, FailedStatusGivesNegativeStatusAndLeavesOutUntouched) {
    emu_env emu;
    emu.ctl("fault 0 CPLD_REV status=6");
    emu.ctl("fault 0 READ_VIN status=4");
    emu.ctl("fault 0 GET_SYSTEM_LED status=2");
    on_fresh_thread([&] {
        int v = 77;
        EXPECT_EQ(pal_ipc_c_cpld_rev(&v), -6);
        EXPECT_EQ(v, 77);
        EXPECT_EQ(pal_get_cpld_rev(), 0);
        EXPECT_EQ(pal_ipc_c_read_vin(&v), -4);
        EXPECT_EQ(v, 77);
        EXPECT_EQ(pal_get_system_led(), -2);
    });
}

TEST_F(PalCardCtlTest, TalonCardIdsAreRecognised) {
    emu_env emu;
    for (auto [id, talon] : {std::pair{101, true}, {103, true}, {102, false}, {100, false}, {37, false}}) {
        emu.ctl("cpld 0 id " + std::to_string(id));
        on_fresh_thread([&] { EXPECT_EQ(pal_is_talon_card(), talon) << id; });
    }
}

TEST_F(PalCardCtlTest, ResetReasonFollowsBitPriority) {
    emu_env emu;
    struct {
        uint32_t events;
        int reason;
    } cases[] = {{(1u << 0) | (1u << 13), 12}, {1u << 0, 6},  {(1u << 3) | (1u << 1), 8},
                 {(1u << 4) | (1u << 15), 15}, {1u << 22, 22}, {0, 0},
                 {(1u << 14) | (1u << 22), 22}, {1u << 5 | 1u << 9, 1}};
    for (auto c : cases) {
        emu.ctl("cpld 0 rst-event " + std::to_string(c.events));
        on_fresh_thread([&] {
            EXPECT_EQ(pal_get_reset_events(), c.events);
            EXPECT_EQ(pal_get_rst_reason(), c.reason) << std::hex << c.events;
        });
    }
    emu.ctl("cpld 0 rst-event 0x2001");
    emu.ctl("cpld 0 rst-cause 17");
    on_fresh_thread([&] {
        EXPECT_STREQ(pal_get_rst_reason_descr(pal_get_rst_reason()), "ASIC warm reset");
        EXPECT_EQ(pal_ipc_c_get_rstcause(), 17);
    });
    EXPECT_STREQ(pal_get_rst_reason_descr(0), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(21), "Reboot by POWER_OK de-assertion request");
    EXPECT_STREQ(pal_get_rst_reason_descr(22), "Cold boot");
    EXPECT_STREQ(pal_get_rst_reason_descr(25), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(26), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(27), "Invalid reason");
    EXPECT_STREQ(pal_get_rst_reason_descr(-1), "Invalid reason");

    // A failed query counts as no events.
    emu.ctl("fault 0 GET_RST_EVENT transport=5");
    on_fresh_thread([&] {
        EXPECT_EQ(pal_ipc_c_get_rst_event(), -71);
        EXPECT_EQ(pal_get_rst_reason(), 0);
    });
    EXPECT_TRUE(log_has("Pal-trace failed to GET_RESET_CAUSE command, err:5", trace_level_err));
}

TEST_F(PalCardCtlTest, FruReadSizeRulesAndFailureFill) {
    emu_env emu;
    on_fresh_thread([&] {
        std::vector<uint8_t> buf(600, 0);
        EXPECT_EQ(pal_fru_read(buf.data(), 511, 0), -1);
        EXPECT_EQ(pal_ipc_c_fru_read(buf.data(), 513, 0), -5);
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 0), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 8), "TALONFRU");
        EXPECT_EQ(buf[100], static_cast<uint8_t>(100 * 31));
        // The last window runs past the 2048-byte part: erased bytes after it.
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 1792), 0);
        EXPECT_EQ(buf[0], static_cast<uint8_t>(1792 * 31));
        EXPECT_TRUE(all_ff(buf.data() + 256, 256));
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 4096), -3);
        EXPECT_TRUE(all_ff(buf.data(), 512));
    });
    EXPECT_TRUE(log_has("Pal-trace Buffer is not of the right size ", trace_level_warn));
    EXPECT_TRUE(log_has("Pal-trace pal ipc fru read size exceeds mac fru size:512", trace_level_err));

    emu.ctl("fault 0 FRU_READ status=2");
    on_fresh_thread([&] {
        std::vector<uint8_t> buf(512, 0x11);
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 0), -2);
        EXPECT_TRUE(all_ff(buf.data(), buf.size()));
    });
    emu.ctl("fault 0 FRU_READ transport=5");
    on_fresh_thread([&] {
        std::vector<uint8_t> buf(512, 0x11);
        EXPECT_EQ(pal_fru_read(buf.data(), 512, 0), -71);
        EXPECT_EQ(buf[0], 0x11);
    });
    EXPECT_TRUE(log_has("Pal-trace pal ipc fru read command failed to send err:5"));
}

TEST_F(PalCardCtlTest, QsfpQueriesAndControlsThroughHostTableSlots) {
    emu_env emu;
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), pal::PAL_RET_OK);
    emu.ctl("cpld 0 rst-event 0x400");  // bit 10: BMC power cycle
    on_fresh_thread([&] {
        EXPECT_TRUE(pal::pal_is_qsfp_port_present(1));
        EXPECT_TRUE(pal::pal_is_qsfp_port_powered_up(2));
        EXPECT_TRUE(pal::pal_is_qsfp_port_power_ctrl_present(1));
        EXPECT_FALSE(pal::pal_is_qsfp_port_power_failure(1));
        EXPECT_FALSE(pal::pal_is_qsfp_presence_intr_pending(1));
        EXPECT_FALSE(pal::pal_is_qsfp_port_reset(1));

        EXPECT_EQ(pal::pal_qsfp_reset_port(1), pal::PAL_RET_OK);
        EXPECT_TRUE(pal::pal_is_qsfp_port_reset(1));
        EXPECT_EQ(pal::pal_qsfp_set_port(1), pal::PAL_RET_OK);
        EXPECT_FALSE(pal::pal_is_qsfp_port_reset(1));
        EXPECT_EQ(pal::pal_qsfp_set_low_power_mode(2), pal::PAL_RET_OK);
        EXPECT_EQ(pal::pal_qsfp_power_en(2, false), pal::PAL_RET_OK);
        EXPECT_FALSE(pal::pal_is_qsfp_port_powered_up(2));

        EXPECT_EQ(pal::pal_get_cpld_id(), 101);
        EXPECT_EQ(pal::pal_get_cpld_rev(), 5);
        EXPECT_EQ(pal::get_rst_reason(), 9);
        EXPECT_EQ(pal::get_system_led(), 0);
        // A port the card does not have: the firmware refuses, the query is false.
        EXPECT_FALSE(pal::pal_is_qsfp_port_present(3));
        EXPECT_EQ(pal::pal_qsfp_set_port(3), pal::PAL_RET_NOK);
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("lpmode=1 powered=0"), std::string::npos);
    emu.ctl("qsfp 0 2 lpmode 1");
    emu.ctl("qsfp 0 1 present 0");
    emu.ctl("qsfp 0 1 power-fail 1");
    emu.ctl("qsfp 0 1 intr-pending 1");
    emu.ctl("qsfp 0 2 power-ctrl 0");
    on_fresh_thread([&] {
        EXPECT_FALSE(pal::pal_is_qsfp_port_present(1));
        EXPECT_TRUE(pal::pal_is_qsfp_port_power_failure(1));
        EXPECT_TRUE(pal::pal_is_qsfp_presence_intr_pending(1));
        EXPECT_EQ(pal::pal_qsfp_presence_intr_clear(1), pal::PAL_RET_OK);
        EXPECT_FALSE(pal::pal_is_qsfp_presence_intr_pending(1));
        EXPECT_EQ(pal::pal_qsfp_reset_low_power_mode(2), pal::PAL_RET_OK);
        EXPECT_FALSE(pal::pal_is_qsfp_port_power_ctrl_present(2));
        EXPECT_EQ(pal::pal_qsfp_power_en(2, true), pal::PAL_RET_NOK);  // no power control
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("lpmode=0 powered=0"), std::string::npos);
}

TEST_F(PalCardCtlTest, QsfpCardControlsReachTheModule) {
    emu_env emu;
    on_fresh_thread([&] {
        EXPECT_EQ(pal_qsfp_set_led(2, 1, 3), 0);
        EXPECT_EQ(pal_write_qsfp_temp(71, 2), 0);
        EXPECT_EQ(pal_cpld_set_port_link_status(2, 1), 0);
        EXPECT_EQ(pal_qsfp_set_led(5, 1, 3), -3);
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("led=1,3 temp=71 link=1"), std::string::npos)
        << emu.ctl("show 0 qsfp 2");
}

TEST_F(PalCardCtlTest, LongQsfpReadIsAssembledAcrossMoreDataResponses) {
    emu_env emu;
    emu.ctl("qsfp 0 1 byte 5 0xa5");
    emu.ctl("qsfp 0 1 byte 200 0x3c");
    emu.ctl("qsfp 0 1 byte 255 0x7e");
    on_fresh_thread([&] {
        std::array<uint8_t, 256> img{};
        ASSERT_EQ(pal_qsfp_read(img.data(), 256, 0, 1, 1), 0);
        EXPECT_EQ(img[0], 0x11);
        EXPECT_EQ(img[5], 0xa5);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&img[148]), 9), "TALON EMU");
        EXPECT_EQ(img[200], 0x3c);
        EXPECT_EQ(img[255], 0x7e);

        // A window that starts mid-image and spans two responses.
        std::array<uint8_t, 150> part{};
        ASSERT_EQ(pal_qsfp_dom_read(part.data(), 150, 100, 1, 1), 0);
        EXPECT_EQ(part[100], 0x3c);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&part[48]), 9), "TALON EMU");
    });
}

TEST_F(PalCardCtlTest, QsfpReadBeyondTheImageIsRefusedUnsent) {
    emu_env emu;
    // Any read that did reach the card would fail with a transport error.
    emu.ctl("fault 0 QSFP_READ transport=5");
    on_fresh_thread([&] {
        std::array<uint8_t, 16> buf{};
        EXPECT_EQ(pal_qsfp_read(buf.data(), 16, 250, 1, 1), 3);
        EXPECT_TRUE(all_ff(buf.data(), buf.size()));
        std::array<uint8_t, 257> big{};
        EXPECT_EQ(pal_qsfp_read(big.data(), 257, 0, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 1, 256, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 6, 250, 1, 1), -71);  // in range: sent
    });
    EXPECT_TRUE(log_has("Pal-trace pal ipc qsfp read command failed to send err:5", trace_level_err));
    EXPECT_TRUE(log_has("Pal-trace ipc send cmd failed ep:7 opcode:0x10008 err:5", trace_level_err));
}

TEST_F(PalCardCtlTest, QsfpReadFailureStatusLeavesTheBufferAllOnes) {
    emu_env emu;
    emu.ctl("fault 0 QSFP_READ status=2");
    on_fresh_thread([&] {
        std::array<uint8_t, 200> buf{};
        EXPECT_EQ(pal_qsfp_read(buf.data(), 200, 0, 1, 1), 2);
        EXPECT_TRUE(all_ff(buf.data(), buf.size()));
    });
    emu.ctl("fault 0 QSFP_READ ok");
    emu.ctl("qsfp 0 2 present 0");
    on_fresh_thread([&] {
        std::array<uint8_t, 8> buf{};
        EXPECT_EQ(pal_qsfp_read(buf.data(), 8, 0, 1, 2), 2);  // no module
        EXPECT_TRUE(all_ff(buf.data(), buf.size()));
    });
    // A short answer ends the read early: no data is taken from it.
    emu.ctl("fault 0 QSFP_READ short");
    on_fresh_thread([&] {
        std::array<uint8_t, 200> buf{};
        EXPECT_NE(pal_qsfp_read(buf.data(), 200, 0, 1, 1), 0);
        EXPECT_TRUE(all_ff(buf.data(), buf.size()));
    });
}

TEST_F(PalCardCtlTest, QsfpWriteLimits) {
    emu_env emu;
    on_fresh_thread([&] {
        std::vector<uint8_t> data(213);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i + 1);
        }
        EXPECT_EQ(pal_qsfp_write(data.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_write(data.data(), 212, 0, 1, 1), 0);
        std::array<uint8_t, 212> back{};
        ASSERT_EQ(pal_qsfp_read(back.data(), 212, 0, 1, 1), 0);
        EXPECT_EQ(back[0], 1);
        EXPECT_EQ(back[211], 212);
        EXPECT_EQ(pal_qsfp_write(data.data(), 100, 200, 1, 1), 3);  // past the image
    });
    // The 213-byte write never reached the card.
    emu.ctl("fault 0 QSFP_WRITE transport=5");
    on_fresh_thread([&] {
        std::vector<uint8_t> data(213);
        EXPECT_EQ(pal_qsfp_write(data.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(pal_qsfp_write(data.data(), 1, 0, 1, 1), -71);
    });
    EXPECT_TRUE(log_has("Pal-trace pal ipc qsfp write command failed to send err:5"));
}

TEST_F(PalCardCtlTest, PagedTableSlotsSelectAndRestoreThePage) {
    emu_env emu;
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), pal::PAL_RET_OK);
    emu.ctl("qsfp 0 1 byte 130 0x42");
    on_fresh_thread([&] {
        std::array<uint8_t, 4> buf{};
        EXPECT_EQ(pal::pal_qsfp_read(buf.data(), 4, 128, 3, 1, 1), pal::PAL_RET_OK);
        EXPECT_EQ(buf[2], 0x42);
        EXPECT_EQ(pal::pal_qsfp_read(buf.data(), 0, 128, 3, 1, 1), pal::PAL_RET_NOK);
        EXPECT_EQ(pal::pal_qsfp_read(buf.data(), 4, 254, 4, 1, 1), pal::PAL_RET_NOK);
        const uint8_t w[2] = {9, 8};
        EXPECT_EQ(pal::pal_qsfp_write(w, 2, 140, 0, 1, 1), pal::PAL_RET_OK);
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 1").find("page=4"), std::string::npos);
    EXPECT_TRUE(log_has("pal_qsfp_read size cannot be zero", trace_level_err));
    EXPECT_TRUE(log_has("[pal_hw_x86_64.cc:", trace_level_err));

    // A failing page select is logged and the transfer still happens.
    emu.ctl("fault 0 QSFP_WRITE status=2");
    on_fresh_thread([&] {
        std::array<uint8_t, 4> buf{};
        EXPECT_EQ(pal::pal_qsfp_read(buf.data(), 4, 128, 3, 1, 1), pal::PAL_RET_OK);
        EXPECT_EQ(buf[2], 0x42);
    });
    EXPECT_TRUE(log_has("QSFP high page write failed 2", trace_level_debug));
    EXPECT_TRUE(log_has("QSFP low page write failed 2", trace_level_debug));
}

TEST_F(PalCardCtlTest, PagedHelpers) {
    emu_env emu;
    on_fresh_thread([&] {
        std::array<uint8_t, 4> buf{};
        EXPECT_EQ(pal_qsfp_read_page(buf.data(), 0, 0, 4, 1, 1), -1);
        EXPECT_EQ(pal_qsfp_read_page(buf.data(), 4, 0, 4, 1, 1), 0);
        EXPECT_EQ(buf[0], 0x11);
        const uint8_t w[2] = {0xde, 0xad};
        EXPECT_EQ(pal_qsfp_write_page(w, 2, 150, 2, 1, 1), 0);
        EXPECT_EQ(pal_qsfp_read_page(buf.data(), 2, 150, 4, 1, 1), 0);
        EXPECT_EQ(buf[0], 0xde);
        EXPECT_EQ(pal_qsfp_read_page_fast(buf.data(), 1, 127, 3, 2, 1, 10), 0);
        EXPECT_EQ(buf[0], 3);  // the page byte as selected
        EXPECT_EQ(pal_qsfp_read_page_fast(buf.data(), 1, 0, 4, 0, 1, 10), 0);

        uint8_t readback = 0;
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 0x21, 1, 1, 10, &readback), 0);
        EXPECT_EQ(readback, 0x21);
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 0x22, 1, 5, 10, &readback), 3);  // no port 6
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("page=33"), std::string::npos);

    emu.ctl("fault 0 QSFP_READ status=2");
    on_fresh_thread([&] {
        std::array<uint8_t, 4> buf{};
        EXPECT_EQ(pal_qsfp_read_page_fast(buf.data(), 4, 0, 4, 3, 1, 10), -1);
        EXPECT_EQ(pal_qsfp_read_page(buf.data(), 4, 0, 4, 1, 1), -1);
    });
    emu.ctl("fault 0 QSFP_WRITE status=2");
    on_fresh_thread([&] {
        std::array<uint8_t, 4> buf{};
        const uint8_t w[1] = {1};
        EXPECT_EQ(pal_qsfp_write_page(w, 1, 200, 1, 1, 1), -1);
        EXPECT_EQ(pal_qsfp_read_page_fast(buf.data(), 4, 0, 1, 0, 1, 10), 2);  // the select's result
    });
}

TEST_F(PalCardCtlTest, ExchangeFailuresAndTheirLines) {
    emu_env emu;
    emu.ctl("fault 0 QSFP_PSNT transport=5");
    emu.ctl("fault 0 CPLD_ID transport=7");
    emu.ctl("fault 0 READ_PIN transport=9");
    emu.ctl("fault 0 QSFP_IS_RESET short");
    on_fresh_thread([&] {
        EXPECT_EQ(pal_is_qsfp_port_psnt(1), -71);
        int v = 0;
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), -71);
        EXPECT_EQ(pal_ipc_c_read_pin(&v), -71);
        EXPECT_EQ(pal_is_qsfp_port_reset(1), -71);  // too short to hold the value
        EXPECT_FALSE(pal_is_talon_card());
    });
    EXPECT_TRUE(log_has("Pal-trace ipc send cmd failed ep:7 opcode:0x10001 err:5", trace_level_err));
    EXPECT_TRUE(log_has("Pal-trace pal ipc send qsfp command failed to send err:5", trace_level_err));
    EXPECT_TRUE(log_has("Pal-trace pal ipc send cpld command failed to send err:7", trace_level_err));
    EXPECT_TRUE(log_has("Pal-trace pal ipc send sensor command failed to send err:9", trace_level_err));

    // No card to talk to: the channel does not open, and the next command
    // tries again.
    talon_test::temp_dir empty;
    {
        scoped_env dev("TALON_DEV_DIR", empty.path().string());
        on_fresh_thread([&] {
            EXPECT_EQ(pal_is_qsfp_port_psnt(1), -2);
            std::array<uint8_t, 4> buf{1, 2, 3, 4};
            EXPECT_EQ(pal_qsfp_read(buf.data(), 4, 0, 1, 1), -2);
            EXPECT_EQ(buf[0], 1);
        });
    }
    EXPECT_TRUE(log_has("Pal-trace pal ipc open failed", trace_level_err));
}

TEST_F(PalCardCtlTest, HubBdfNamesTheCardAndFwctlCarriesTheCommands) {
    emu_env emu(emu_cfg(2, 2, 2, talon_emu::transport_e::fwctl));
    emu.ctl("cpld 1 id 103");
    emu.ctl("qsfp 1 2 byte 250 0x99");
    scoped_env hub("HUB_BDF", talon_emu::emulator::card_bdf(1));
    on_fresh_thread([&] {
        EXPECT_EQ(pal_get_cpld_id(), 103);
        std::array<uint8_t, 256> img{};
        ASSERT_EQ(pal_qsfp_read(img.data(), 256, 0, 1, 2), 0);
        EXPECT_EQ(img[250], 0x99);
    });
}

TEST_F(PalCardCtlTest, OnCardTableSlots) {
    emu_env emu;
    ASSERT_EQ(pal::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr), pal::PAL_RET_OK);
    on_fresh_thread([&] {
        EXPECT_TRUE(pal::pal_is_qsfp_port_present(1));
        EXPECT_EQ(pal::pal_qsfp_set_led(1, pal::LED_COLOR_YELLOW, pal::LED_FREQ_2HZ), pal::PAL_RET_OK);
        EXPECT_EQ(pal::pal_cpld_write_qsfp_temp(55, 1), 0);
        EXPECT_EQ(pal::pal_get_cpld_id(), 101);
        uint16_t d = 0;
        EXPECT_EQ(pal::pal_qsfp_mdio_read(&d, 1, 2, 1, 1), pal::PAL_RET_NOK);  // no host implementation
        EXPECT_EQ(pal::pal_qsfp_phy_write(1, 2, 1, 1), pal::PAL_RET_NOK);
        std::array<uint8_t, 8> buf{};
        EXPECT_EQ(pal::qsfp_dom_read(buf.data(), 8, 0, 1, 1), pal::PAL_RET_OK);
        EXPECT_EQ(buf[0], 0x11);
        EXPECT_EQ(pal::qsfp_dom_read(buf.data(), 0, 0, 1, 1), pal::PAL_RET_NOK);
        EXPECT_EQ(pal::pal_qsfp_read(buf.data(), 0, 0, 0, 1, 1), pal::PAL_RET_NOK);
    });
    EXPECT_NE(emu.ctl("show 0 qsfp 1").find("led=2,2 temp=55"), std::string::npos)
        << emu.ctl("show 0 qsfp 1");
    EXPECT_TRUE(log_has("[pal_hw.cc:", trace_level_err));
}

}  // namespace
