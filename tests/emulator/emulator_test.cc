#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

#include "emulator/emu_counter_layout.hpp"
#include "emulator/emulator.hpp"
#include "tests/emulator/emu_env.hpp"
#include "tests/support/process.hpp"

namespace fs = std::filesystem;
using test_support::emu_cfg;
using test_support::emu_env;
using test_support::temp_dir;
using test_support::child_process;
using test_support::process_result;
using test_support::read_file;
using test_support::run_process;
using test_support::wait_until;

namespace {

const std::string k_exe = TALON_EMU_EXE;

// One 64-bit counter of a card's memory file.
uint64_t counter_at(const std::string &resource2, uint64_t off)
{
    uint64_t v = 0;
    int fd = ::open(resource2.c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, &v, sizeof(v), static_cast<off_t>(off)), ssize_t(sizeof(v)));
    ::close(fd);
    return v;
}

// Offset of counter c of LIF (or port) i in the card's memory window.
uint64_t counter_off(bool lif, size_t i, size_t c)
{
    using namespace talon_emu;
    return lif ? k_lif_region_offset + i * k_lif_stats_stride + k_lif_counter_layout[c].offset
               : k_port_region_offset + i * k_port_stats_stride + k_port_counter_layout[c].offset;
}

}  // namespace

TEST(TalonEmuCli, ArgumentsHelpAndServingUntilSigterm)
{
    temp_dir d;
    const std::string root = d / "e";
    for (auto [opt, value] : {std::pair{"--cards", "17"}, {"--cards", "x"}, {"--bogus", "1"}}) {
        EXPECT_EQ(run_process({k_exe, "--root", root, opt, value}).exit_status, 2) << opt << " " << value;
    }
    EXPECT_EQ(run_process({k_exe, "--cards", "2"}).exit_status, 2);  // no --root
    EXPECT_NE(run_process({k_exe, "--root", root, "--ctl", "plug 0"}).exit_status, 0);  // nothing serves it

    // Two cards served until SIGTERM, then the sockets are removed.
    child_process emu({k_exe, "--root", root, "--cards", "2"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(root + "/ready"); }));
    auto shell = [&](const std::string &cmd) { return run_process({"/bin/sh", "-c", ". " + root + "/env && " + cmd}); };
    process_result listing = shell("lspci -Dn -d 1ff7:1478");
    EXPECT_EQ(listing.exit_status, 0);
    EXPECT_EQ(listing.out, "0000:05:00.0 0604: 1ff7:1478\n0000:05:01.0 0604: 1ff7:1478\n"
                           "0000:15:00.0 0604: 1ff7:1478\n0000:15:01.0 0604: 1ff7:1478\n");
    EXPECT_NE(shell("setpci -s 0000:99:00.0 0x4.w=2").exit_status, 0);
    EXPECT_NE(run_process({k_exe, "--root", root, "--ctl", "explode 0"}).exit_status, 0);
    EXPECT_NE(run_process({k_exe, "--root", root}).exit_status, 0);  // a second emulator on the same directory
    emu.signal(SIGTERM);
    EXPECT_EQ(emu.wait().exit_status, 0);
    for (const char *gone : {"/dev/tawkipcdev0", "/dev/fwctl/fwctl1", "/ready"}) {
        EXPECT_FALSE(fs::exists(root + gone)) << gone;
    }
}

TEST(TalonEmu, CountersCountAtTheirOwnRatesUntilFixed)
{
    emu_env emu;
    emu.ctl("add-lif 0 storage7");
    const std::string mem = emu.sys_devices() + "0000:06:00.2/resource2";
    // Counters of several kinds and entities, the added LIF's among them, count at rates of their own.
    const uint64_t offs[] = {counter_off(true, 0, 0), counter_off(true, 0, 6), counter_off(true, 2, 0),
                             counter_off(false, 1, 1)};
    std::map<uint64_t, uint64_t> before;
    for (uint64_t o : offs) {
        before[o] = counter_at(mem, o);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::set<uint64_t> distinct;
    for (uint64_t o : offs) {
        EXPECT_GT(*distinct.insert(counter_at(mem, o)).first, before[o]) << o;
    }
    EXPECT_EQ(distinct.size(), std::size(offs));

    emu.ctl("set 0 port 0 frames_rx_ok 0x10");  // fixed: it stops counting
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(counter_at(mem, counter_off(false, 0, 1)), 16u);
}

TEST(TalonEmu, ControlVerbsAndTheirErrors)
{
    emu_env emu;
    EXPECT_EQ(emu.ctl("fault 0 QSFP_READ status=2"), "fault 0000:05:00.0 QSFP_READ status=2");
    emu.ctl("add-port 0 285474816");  // 0x11040000, given in decimal
    const std::pair<const char *, const char *> bad[] = {
        {"add-port 0 0x11040000", "card 0000:05:00.0 already has port"},
        {"qsfp 0 3 present 1", "no QSFP port 3 (ports 1-2)"},
        {"fault 0 QSFP_READ status=x", "bad fault value in 'status=x'"},
    };
    for (const auto &[cmd, want] : bad) {
        std::string answer;
        EXPECT_FALSE(talon_emu::control(emu.root(), cmd, &answer)) << cmd;
        EXPECT_EQ(answer.rfind(want, 0), 0u) << cmd << ": " << answer;
    }
}
