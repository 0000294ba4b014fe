#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "emulator/emu_card_ctl.hpp"
#include "emulator/emulator.hpp"
#include "monitor/counter_catalogue.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "tests/emulator/emu_env.hpp"

namespace fs = std::filesystem;
using namespace pal_card_wire;
using ipc_wire::put_le;
using talon_test::emu_cfg;
using talon_test::emu_env;
using talon_test::temp_dir;

extern char **environ;

namespace {

struct run_result_s {
    int status;
    std::string out;
};

// Runs a shell command line, capturing standard output and error.
run_result_s run(const std::string &cmd)
{
    run_result_s r{};
    FILE *p = ::popen((cmd + " 2>&1").c_str(), "r");
    char buf[512];
    while (p && std::fgets(buf, sizeof(buf), p)) {
        r.out += buf;
    }
    int st = p ? ::pclose(p) : -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string emu_cmd(const std::string &args) { return std::string(TALON_EMU_EXE) + " " + args; }

// One 64-bit counter of a card's memory file.
uint64_t counter_at(const std::string &resource2, uint64_t off)
{
    uint64_t v = 0;
    int fd = ::open(resource2.c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, &v, sizeof(v), static_cast<off_t>(off)), ssize_t(sizeof(v)));
    ::close(fd);
    return v;
}

// Offsets of counter c of LIF or port i in the card's memory window.
uint64_t lif_counter(size_t i, size_t c)
{
    return talon_emu::k_lif_region_offset + i * talon_emu::k_lif_stats_stride + k_lif_counter_defs[c].offset;
}
uint64_t port_counter(size_t i, size_t c)
{
    return talon_emu::k_port_region_offset + i * talon_emu::k_port_stats_stride + k_port_counter_defs[c].offset;
}

}  // namespace

TEST(talon_emu_cli, refuses_bad_arguments_and_documents_its_commands)
{
    temp_dir d;
    const std::string root = " --root " + (d.path() / "e").string();
    for (const char *bad : {"--cards 0", "--cards 17", "--ports 12", "--lifs 0", "--lifs 65", "--cards x",
                            "--transport pci", "--bogus 1"}) {
        run_result_s r = run(emu_cmd(root + " " + bad));
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.out.find("talon-emu: "), std::string::npos) << bad << ": " << r.out;
    }
    EXPECT_EQ(run(emu_cmd("--cards 2")).status, 2);
    run_result_s ctl = run(emu_cmd(root + " --ctl 'plug 0'"));  // nothing serves the directory
    EXPECT_NE(ctl.status, 0);
    EXPECT_NE(ctl.out.find("no emulator"), std::string::npos) << ctl.out;

    run_result_s help = run(emu_cmd("--help"));
    EXPECT_EQ(help.status, 0);
    std::istringstream names(talon_emu::card_ctl::command_names() + " LIF_GET_ALL --ctl cpld sensor qsfp show");
    for (std::string n; names >> n;) {
        EXPECT_NE(help.out.find(n), std::string::npos) << n;
    }
}

TEST(talon_emu_cli, serves_until_sigterm_and_cleans_up)
{
    temp_dir d;
    const fs::path root = d.path() / "e";
    std::string exe = TALON_EMU_EXE, rootarg = root.string(), root_opt = "--root", cards_opt = "--cards", two = "2";
    std::vector<char *> argv = {exe.data(), root_opt.data(), rootarg.data(), cards_opt.data(), two.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 500 && !fs::exists(root / "ready"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(root / "ready"));

    const std::string env = ". " + (root / "env").string() + " && ";
    run_result_s listing = run(env + "lspci -Dn -d 1ff7:1478");
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.out, "0000:05:00.0 0604: 1ff7:1478\n0000:05:01.0 0604: 1ff7:1478\n"
                           "0000:15:00.0 0604: 1ff7:1478\n0000:15:01.0 0604: 1ff7:1478\n");
    EXPECT_NE(run(env + "setpci -s 0000:99:00.0 0x4.w=2").status, 0);
    run_result_s unknown = run(emu_cmd("--root " + rootarg + " --ctl 'explode 0'"));
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.out.find("unknown command"), std::string::npos) << unknown.out;
    EXPECT_NE(run(emu_cmd("--root " + rootarg)).status, 0);  // a second emulator on the same directory

    ::kill(pid, SIGTERM);
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    for (const char *gone : {"dev/tawkipcdev0", "dev/fwctl/fwctl1", "ready"}) {
        EXPECT_FALSE(fs::exists(root / gone)) << gone;
    }
}

TEST(talon_emu, layout_matches_kernel_formats)
{
    emu_env emu(emu_cfg(1, 2, 2, talon_emu::transport_e::fwctl));
    auto read = [&](const std::string &rel) {
        std::ifstream f(emu.sys_devices() + rel);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    EXPECT_EQ(read("0000:05:00.0/vendor") + read("0000:06:00.2/device"), "0x1ff7\n0x100f\n");
    EXPECT_EQ(read("0000:05:00.0/secondary_bus_number") + read("0000:05:01.0/subordinate_bus_number"), "6\n7\n");
    EXPECT_EQ(read("0000:06:00.2/resource4").substr(0, 4), "xlap");  // map magic 0x70616c78, little-endian
    // Without the tawk transport there is no tawk device.
    EXPECT_FALSE(fs::exists(emu.root() + "/dev/tawkipcdev0"));
    EXPECT_TRUE(fs::exists(emu.root() + "/dev/fwctl/fwctl0"));
}

TEST(talon_emu, counters_count_at_their_own_rates_until_fixed)
{
    emu_env emu;
    emu.ctl("add-lif 0 storage7");
    const std::string mem = emu.sys_devices() + "0000:06:00.2/resource2";
    // Counters of several kinds and entities, the added LIF's among them, count at rates of their own.
    const uint64_t offs[] = {lif_counter(0, 0), lif_counter(0, 6), lif_counter(1, 0), lif_counter(2, 0),
                             port_counter(0, 0), port_counter(1, 1)};
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

    emu.ctl("set 0 lif 1 rx_rdma_unicast_bytes 12345");
    emu.ctl("set 0 port 0 frames_rx_ok 0x10");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(counter_at(mem, lif_counter(1, 2)), 12345u);
    EXPECT_EQ(counter_at(mem, port_counter(0, 1)), 16u);
    std::string answer;
    EXPECT_FALSE(talon_emu::control(emu.root(), "set 0 lif 0 no_such_counter 1", &answer));
    EXPECT_NE(answer.find("no_such_counter"), std::string::npos);
}

namespace {

// One card's card-control firmware, called in-process.
struct card_fw {
    talon_emu::card_ctl ctl{0, "TLN24000100"};
    uint32_t transport = 0;
    std::vector<uint8_t> rsp;
    uint32_t ask(uint32_t ep, uint32_t op, std::vector<uint8_t> req)
    {
        ctl.answer(ep, op, req.data(), req.size(), &transport, &rsp);
        return rsp.size() >= 4 ? ipc_wire::get_le<uint32_t>(rsp.data()) : ~0u;
    }
    uint32_t qsfp(uint32_t op, uint32_t port, uint32_t offset, uint32_t size, uint32_t progress = 0)
    {
        std::vector<uint8_t> q(k_qsfp_req_len);
        put_le<uint32_t>(&q[k_qsfp_progress_off], progress);
        put_le<uint32_t>(&q[k_qsfp_port_off], port);
        put_le<uint32_t>(&q[k_qsfp_offset_off], offset);
        put_le<uint32_t>(&q[k_qsfp_size_off], size);
        return ask(k_ep_qsfp, op, q);
    }
};

}  // namespace

// Long reads come in chunks; requests the host layer would never send are
// refused by the card too.
TEST(talon_emu_card_ctl, chunked_reads_and_refusals)
{
    card_fw fw;
    bool ok = false;
    fw.ctl.command({"qsfp", "0", "1", "byte", "129", "0x5e"}, "0000:05:00.0", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(fw.qsfp(k_op_qsfp_read, 1, 0, 256), k_qsfp_status_more);
    EXPECT_EQ(fw.rsp.size(), k_qsfp_data_off + talon_emu::k_qsfp_read_chunk);
    EXPECT_EQ(fw.qsfp(k_op_qsfp_read, 1, 0, 256, 128), k_qsfp_status_done);
    EXPECT_EQ(fw.rsp.size(), k_qsfp_data_off + 128);
    EXPECT_EQ(fw.rsp[k_qsfp_data_off + 1], 0x5e);

    EXPECT_EQ(fw.qsfp(k_op_qsfp_read, 1, 250, 7), k_qsfp_status_bad_request);
    EXPECT_EQ(fw.qsfp(k_op_qsfp_read, 3, 0, 16), k_qsfp_status_bad_request);
    EXPECT_EQ(fw.qsfp(k_op_qsfp_write, 1, 0, 213), k_qsfp_status_bad_request);
    std::vector<uint8_t> fru(k_fru_req_len);
    put_le<uint32_t>(&fru[k_fru_offset_off], 4096);
    EXPECT_EQ(fw.ask(k_ep_cpld, k_op_fru_read, fru), k_qsfp_status_bad_request);
    fw.ctl.command({"qsfp", "0", "1", "powered", "0"}, "0000:05:00.0", &ok);
    EXPECT_EQ(fw.qsfp(k_op_qsfp_read, 1, 0, 16), k_qsfp_status_failed);
    // An operation the endpoint does not know is a transport error.
    fw.ask(k_ep_qsfp, 0x10099, {});
    EXPECT_EQ(fw.transport, 95u);
}

TEST(talon_emu, control_verbs_and_their_errors)
{
    emu_env emu;
    EXPECT_EQ(emu.ctl("fault 0 QSFP_READ status=2"), "fault 0000:05:00.0 QSFP_READ status=2");
    EXPECT_EQ(emu.ctl("cpld 0 id 103"), "cpld 0000:05:00.0 id 103");
    EXPECT_NE(emu.ctl("show 0 cpld").find("id=103 "), std::string::npos);
    emu.ctl("add-port 0 285474816");  // 0x11040000, given in decimal
    const std::pair<const char *, const char *> bad[] = {
        {"qsfp 0 3 present 1", "no QSFP port 3 (ports 1-2)"}, {"qsfp 0 1 byte 256 1", "usage: qsfp CARD PORT"},
        {"cpld 0 reg 300 1", "usage: cpld CARD"},             {"show 0 lifs", "usage: show CARD cpld"},
        {"fault 0 QSFP_NOPE ok", "unknown firmware command 'QSFP_NOPE'"},
        {"fault 0 QSFP_READ status=x", "bad fault value in 'status=x'"},
        {"cpld 7 id 1", "unknown card '7'"},           {"add-port 0 0x11040000", "card 0000:05:00.0 already has port"},
    };
    for (const auto &[cmd, want] : bad) {
        std::string answer;
        EXPECT_FALSE(talon_emu::control(emu.root(), cmd, &answer)) << cmd;
        EXPECT_EQ(answer.rfind(want, 0), 0u) << cmd << ": " << answer;
    }
}
