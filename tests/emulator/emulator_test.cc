#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>

#include "emulator/emulator.hpp"
#include "testkit/emu_env.hpp"
#include "testkit/process.hpp"

namespace fs = std::filesystem;
using namespace test_support;

// Counters, and serving them to the daemon, are exercised through tests/e2e.
TEST(TalonEmuCli, ArgumentsAndServingUntilSigterm)
{
    temp_dir d;
    const std::string root = d / "e", k_exe = TALON_EMU_EXE;
    for (auto [opt, value] : {std::pair{"--cards", "x"}, {"--bogus", "1"}, {"--transport", "pcie"}}) {
        EXPECT_EQ(run_process({k_exe, "--root", root, opt, value}).exit_status, 2) << opt << " " << value;
    }
    // Each bound at its limit and one past it.
    for (auto [cards, ports, lifs, valid] : {std::tuple{1u, 0u, 1u, true}, {16u, 11u, 64u, true}, {0u, 2u, 2u, false},
                                             {17u, 2u, 2u, false}, {1u, 12u, 2u, false}, {1u, 2u, 0u, false},
                                             {1u, 2u, 65u, false}}) {
        auto cfg = emu_cfg(cards, ports, lifs);
        cfg.root = root;
        EXPECT_EQ(talon_emu::validate_config(cfg).empty(), valid) << cards << " " << ports << " " << lifs;
    }
    EXPECT_EQ(run_process({k_exe, "--cards", "2"}).exit_status, 2);  // no --root

    // Two cards served until SIGTERM, then the sockets are removed.
    child_process emu({k_exe, "--root", root, "--cards", "2"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(root + "/ready"); }));
    process_result listing = run_process({"/bin/sh", "-c", ". " + root + "/env && lspci -Dn -d 1ff7:1478"});
    EXPECT_EQ(listing.out, "0000:05:00.0 0604: 1ff7:1478\n0000:05:01.0 0604: 1ff7:1478\n"
                           "0000:15:00.0 0604: 1ff7:1478\n0000:15:01.0 0604: 1ff7:1478\n");
    EXPECT_NE(run_process({k_exe, "--root", root}).exit_status, 0);  // a second emulator on the same directory
    emu.signal(SIGTERM);
    EXPECT_EQ(emu.wait().exit_status, 0);
    for (const char *gone : {"/dev/tawkipcdev0", "/dev/fwctl/fwctl1", "/ready"}) {
        EXPECT_FALSE(fs::exists(root + gone)) << gone;
    }
}

TEST(TalonEmu, ControlVerbsAndTheirErrors)
{
    emu_env emu;
    EXPECT_EQ(emu.ctl("fault 0 QSFP_READ status=2"), "fault 0000:05:00.0 QSFP_READ status=2");
    emu.ctl("add-port 0 285474816");  // 0x11040000, given in decimal
    EXPECT_EQ(emu.ctl("rate 0 lif 1 tx_rdma_unicast_bytes 1048576"), "rate lif 1 tx_rdma_unicast_bytes 1048576/s");
    EXPECT_EQ(emu.ctl("rate 0 port 0 frames_rx_ok 0"), "rate port 0 frames_rx_ok 0/s");
    // Another card in the slot: same address, the next serial number.
    EXPECT_EQ(emu.ctl("replace 0"), "replace 0000:05:00.0 TLN25000100");
    EXPECT_THROW(emu_env(emu_cfg(1, 11)).ctl("add-port 0 0x1f000000"), std::runtime_error);  // 11 at most
    for (const char *bad : {"replace 0 1", "add-port 0 0x11040000", "qsfp 0 3 present 1", "fault 0 QSFP_READ status=x", "explode 0",
                            "rate 0 lif 2 tx_rdma_unicast_bytes 1", "rate 0 lif 0 frames_tx_ok 1",
                            "rate 0 port 0 frames_tx_ok -1", "rate 0 lif 0 tx_rdma_unicast_bytes"}) {
        std::string answer;
        EXPECT_FALSE(talon_emu::control(emu.root(), bad, &answer)) << bad;
    }
}
