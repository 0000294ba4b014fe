#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "emulator/emu_card_ctl.hpp"
#include "emulator/emulator.hpp"
#include "monitor/counter_catalogue.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
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

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Card memory (resource2) mapped read-only; at() reads one 64-bit counter.
class card_memory {
public:
    explicit card_memory(const std::string &resource2)
    {
        int fd = ::open(resource2.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        base_ = ::mmap(nullptr, talon_emu::k_mem_window_size, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        EXPECT_NE(base_, MAP_FAILED);
    }
    ~card_memory() { ::munmap(base_, talon_emu::k_mem_window_size); }
    uint64_t at(uint64_t off) const
    {
        return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t *>(static_cast<char *>(base_) + off))
            .load(std::memory_order_relaxed);
    }

private:
    void *base_;
};

uint64_t lif_counter(size_t lif, size_t counter)
{
    return talon_emu::k_lif_region_offset + lif * talon_emu::k_lif_stats_stride + k_lif_counter_defs[counter].offset;
}

uint64_t port_counter(size_t port, size_t counter)
{
    return talon_emu::k_port_region_offset + port * talon_emu::k_port_stats_stride + k_port_counter_defs[counter].offset;
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
    std::istringstream names(talon_emu::card_ctl::command_names() + " LIF_GET_ALL");
    for (std::string n; names >> n;) {
        EXPECT_NE(help.out.find(n), std::string::npos) << n;
    }
    for (const char *s : {"--ctl", "fault CARD COMMAND ok|status=N|transport=N|short", "cpld CARD reg REG VALUE",
                          "sensor CARD pin|", "qsfp CARD PORT byte OFFSET VALUE", "show CARD qsfp PORT"}) {
        EXPECT_NE(help.out.find(s), std::string::npos) << s;
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
    EXPECT_EQ(run(env + "lspci -s 0000:16:00.1 -vvv | grep 'Serial number' | awk '{print $4}'").out, "TLN24000101\n");
    EXPECT_EQ(run(env + "setpci -s 0000:16:00.2 0x4.w=2 && setpci -s 0000:16:00.2 0x4.w").out, "0002\n");
    EXPECT_NE(run(env + "setpci -s 0000:99:00.0 0x4.w=2").status, 0);

    const std::string ctl = emu_cmd("--root " + rootarg + " --ctl ");
    run_result_s ok = run(ctl + "'heartbeat 0000:15:00.0 fail'");
    EXPECT_EQ(ok.status, 0) << ok.out;
    for (auto [cmd, why] : {std::pair{"'explode 0'", "unknown command"}, {"'unplug 2'", "unknown card"}}) {
        run_result_s r = run(ctl + cmd);
        EXPECT_NE(r.status, 0) << cmd;
        EXPECT_NE(r.out.find(why), std::string::npos) << r.out;
    }
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
    auto read = [&](const std::string &rel) { return slurp(emu.sys_devices() + rel); };
    EXPECT_EQ(read("0000:05:00.0/vendor"), "0x1ff7\n");
    EXPECT_EQ(read("0000:05:00.0/device"), "0x1478\n");
    EXPECT_EQ(read("0000:05:00.0/secondary_bus_number"), "6\n");
    EXPECT_EQ(read("0000:05:01.0/subordinate_bus_number"), "7\n");
    EXPECT_EQ(read("0000:06:00.2/device"), "0x100f\n");
    EXPECT_EQ(fs::file_size(emu.sys_devices() + "0000:06:00.2/resource2"), talon_emu::k_mem_window_size);
    std::string map = read("0000:06:00.2/resource4");
    ASSERT_GE(map.size(), 32u);
    EXPECT_EQ(map.substr(0, 4), "xlap");  // 0x70616c78 little-endian
    // Without the tawk transport there is no tawk device.
    EXPECT_FALSE(fs::exists(emu.root() + "/dev/tawkipcdev0"));
    EXPECT_FALSE(fs::exists(emu.root() + "/sys/bus/pci/drivers/tawk_ipc/0000:06:00.1"));
    EXPECT_TRUE(fs::exists(emu.root() + "/dev/fwctl/fwctl0"));
    const std::string env = slurp(emu.root() + "/env");
    EXPECT_NE(env.find("export TALON_SYSFS_DIR='" + emu.root() + "/sys'"), std::string::npos);
    EXPECT_NE(env.find("export PATH='" + emu.root() + "/bin':"), std::string::npos);
}

TEST(talon_emu, counters_count_at_their_own_rates_until_fixed)
{
    emu_env emu;
    emu.ctl("add-lif 0 storage7");
    card_memory mem(emu.sys_devices() + "0000:06:00.2/resource2");
    // Counters of several kinds and entities, the added LIF's among them.
    const uint64_t offs[] = {lif_counter(0, 0), lif_counter(0, 6), lif_counter(1, 0), lif_counter(2, 0),
                             port_counter(0, 0), port_counter(1, 1)};
    std::vector<uint64_t> before;
    for (uint64_t o : offs) {
        before.push_back(mem.at(o));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Rates differ per counter and per entity, so the values do too.
    std::set<uint64_t> distinct;
    for (size_t i = 0; i < std::size(offs); ++i) {
        EXPECT_GT(mem.at(offs[i]), before[i]) << i;
        distinct.insert(mem.at(offs[i]));
    }
    EXPECT_EQ(distinct.size(), std::size(offs));

    emu.ctl("set 0 lif 1 rx_rdma_unicast_bytes 12345");
    emu.ctl("set 0 port 0 frames_rx_ok 0x10");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(mem.at(lif_counter(1, 2)), 12345u);
    EXPECT_EQ(mem.at(port_counter(0, 1)), 16u);
    std::string answer;
    EXPECT_FALSE(talon_emu::control(emu.root(), "set 0 lif 9 rx_rdma_unicast_bytes 1", &answer));
    EXPECT_FALSE(talon_emu::control(emu.root(), "set 0 lif 0 no_such_counter 1", &answer));
    EXPECT_NE(answer.find("no_such_counter"), std::string::npos);
}

TEST(talon_emu, added_ports_show_in_discovery_and_cards_json)
{
    emu_env emu;
    emu.ctl("add-port 0 0x11030000");
    emu.ctl("add-port 0 285474816");  // 0x11040000
    std::string answer;
    EXPECT_FALSE(talon_emu::control(emu.root(), "add-port 0 0x11030000", &answer));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    std::vector<uint32_t> ifx;
    ASSERT_TRUE(ipc_cmd_port_ifindex_get(ch.get(), &ifx).ok());
    EXPECT_EQ(ifx, (std::vector<uint32_t>{0x11010000, 0x11020000, 0x11030000, 0x11040000}));
    EXPECT_NE(slurp(emu.root() + "/cards.json")
                  .find("\"name\": \"eth1/4\", \"uuid\": \"02544c4e-0000-4242-4242-000011040000\""),
              std::string::npos);
}

namespace {

using buf_t = std::array<uint8_t, k_qsfp_buf_size>;

struct answer_s {
    int len = -1;
    uint32_t transport = 0;
    buf_t buf{};
    uint32_t status() const { return ipc_wire::get_le<uint32_t>(buf.data()); }
};

answer_s send(nic_ipc_channel &ch, uint32_t ep, uint32_t op, const buf_t &req, size_t req_len, size_t rsp_len)
{
    answer_s a;
    a.buf = req;
    a.len = nic_ipc_req_rsp(ch.get(), ep, op, a.buf.data(), req_len, rsp_len, &a.transport);
    return a;
}

answer_s qsfp_read(nic_ipc_channel &ch, uint32_t port, uint32_t offset, uint32_t size, uint32_t progress = 0)
{
    buf_t q{};
    put_le<uint32_t>(&q[k_qsfp_progress_off], progress);
    put_le<uint32_t>(&q[k_qsfp_port_off], port);
    put_le<uint32_t>(&q[k_qsfp_offset_off], offset);
    put_le<uint32_t>(&q[k_qsfp_size_off], size);
    return send(ch, k_ep_qsfp, k_op_qsfp_read, q, k_qsfp_req_len, k_qsfp_rsp_len);
}

}  // namespace

// The card-control firmware as the wire sees it: long reads come in chunks,
// and requests the host layer would never send are refused by the card too.
TEST(talon_emu_card_ctl, chunked_reads_and_refusals)
{
    emu_env emu;
    emu.ctl("qsfp 0 1 byte 129 0x5e");
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    answer_s first = qsfp_read(ch, 1, 0, 256);
    EXPECT_EQ(first.len, static_cast<int>(k_qsfp_data_off + talon_emu::k_qsfp_read_chunk));
    EXPECT_EQ(first.status(), k_qsfp_status_more);
    answer_s second = qsfp_read(ch, 1, 0, 256, 128);
    EXPECT_EQ(second.len, static_cast<int>(k_qsfp_data_off + 128));
    EXPECT_EQ(second.status(), k_qsfp_status_done);
    EXPECT_EQ(second.buf[k_qsfp_data_off + 1], 0x5e);

    EXPECT_EQ(qsfp_read(ch, 1, 250, 7).status(), k_qsfp_status_bad_request);
    EXPECT_EQ(qsfp_read(ch, 1, 0, 16, 17).status(), k_qsfp_status_bad_request);
    EXPECT_EQ(qsfp_read(ch, 3, 0, 16).status(), k_qsfp_status_bad_request);
    buf_t w{}, f{};
    put_le<uint32_t>(&w[k_qsfp_port_off], 1);
    put_le<uint32_t>(&w[k_qsfp_size_off], 213);
    EXPECT_EQ(send(ch, k_ep_qsfp, k_op_qsfp_write, w, k_qsfp_req_len, k_qsfp_rsp_len).status(),
              k_qsfp_status_bad_request);
    put_le<uint32_t>(&f[k_fru_offset_off], 4096);
    EXPECT_EQ(send(ch, k_ep_cpld, k_op_fru_read, f, k_fru_req_len, k_fru_rsp_len).status(), k_qsfp_status_bad_request);
    emu.ctl("qsfp 0 1 powered 0");
    EXPECT_EQ(qsfp_read(ch, 1, 0, 16).status(), k_qsfp_status_failed);
    // An operation the endpoint does not know is a transport error.
    EXPECT_EQ(send(ch, k_ep_qsfp, 0x10099, {}, 0, k_qsfp_rsp_len).transport, 95u);
}

TEST(talon_emu_card_ctl, control_verbs_and_their_errors)
{
    emu_env emu;
    EXPECT_EQ(emu.ctl("fault 0 QSFP_READ status=2"), "fault 0000:05:00.0 QSFP_READ status=2");
    EXPECT_EQ(emu.ctl("cpld 0 id 103"), "cpld 0000:05:00.0 id 103");
    EXPECT_EQ(emu.ctl("qsfp 0 2 present 0"), "qsfp 0000:05:00.0 2 present 0");
    EXPECT_NE(emu.ctl("show 0 cpld").find("id=103 "), std::string::npos);
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("present=0 "), std::string::npos);
    const std::pair<const char *, const char *> bad[] = {
        {"qsfp 0 3 present 1", "no QSFP port 3 (ports 1-2)"}, {"qsfp 0 1 byte 256 1", "usage: qsfp CARD PORT"},
        {"cpld 0 reg 300 1", "usage: cpld CARD"},             {"sensor 0 fan 1", "usage: sensor CARD"},
        {"show 0 lifs", "usage: show CARD cpld"},             {"show 0 qsfp 9", "no QSFP port 9"},
        {"fault 0 QSFP_NOPE ok", "unknown firmware command 'QSFP_NOPE'"},
        {"fault 0 QSFP_READ status=x", "bad fault value in 'status=x'"},
        {"cpld 7 id 1", "unknown card '7'"},
    };
    for (const auto &[cmd, want] : bad) {
        std::string answer;
        EXPECT_FALSE(talon_emu::control(emu.root(), cmd, &answer)) << cmd;
        EXPECT_EQ(answer.rfind(want, 0), 0u) << cmd << ": " << answer;
    }
}
