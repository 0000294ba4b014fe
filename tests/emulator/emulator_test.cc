#include <chrono>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "aml/aml_inventory.hpp"
#include "emulator/emulator.hpp"
#include "monitor/counter_catalogue.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "tests/emulator/emu_env.hpp"

namespace fs = std::filesystem;
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

std::string emu_cmd(const std::string &args)
{
    return std::string(TALON_EMU_EXE) + " " + args;
}

// The 64-bit counter at offset off of a card's memory file.
class card_memory {
public:
    explicit card_memory(const fs::path &resource2)
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
    return talon_emu::k_port_region_offset + port * talon_emu::k_port_stats_stride +
           k_port_counter_defs[counter].offset;
}

}  // namespace

TEST(talon_emu_cli, refuses_bad_arguments_with_status_2)
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
    run_result_s help = run(emu_cmd("--help"));
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--ctl"), std::string::npos);
    // Nothing serves the directory.
    run_result_s ctl = run(emu_cmd(root + " --ctl 'plug 0'"));
    EXPECT_NE(ctl.status, 0);
    EXPECT_NE(ctl.out.find("no emulator"), std::string::npos) << ctl.out;
}

TEST(talon_emu_cli, serves_until_sigterm_and_cleans_up)
{
    temp_dir d;
    const fs::path root = d.path() / "e";
    pid_t pid = 0;
    std::string exe = TALON_EMU_EXE, rootarg = root.string();
    std::vector<char *> argv = {exe.data(), const_cast<char *>("--root"), rootarg.data(),
                                const_cast<char *>("--cards"), const_cast<char *>("2"), nullptr};
    ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 500 && !fs::exists(root / "ready"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(root / "ready"));

    run_result_s listing = run(". " + (root / "env").string() + " && lspci -Dn -d 1ff7:1478");
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.out,
              "0000:05:00.0 0604: 1ff7:1478\n0000:05:01.0 0604: 1ff7:1478\n"
              "0000:15:00.0 0604: 1ff7:1478\n0000:15:01.0 0604: 1ff7:1478\n");
    run_result_s serial =
        run(". " + (root / "env").string() + " && lspci -s 0000:16:00.1 -vvv | grep 'Serial number' | awk '{print $4}'");
    EXPECT_EQ(serial.out, "TLN24000101\n");
    run_result_s setpci = run(". " + (root / "env").string() + " && setpci -s 0000:16:00.2 0x4.w=2 && setpci -s 0000:16:00.2 0x4.w");
    EXPECT_EQ(setpci.status, 0);
    EXPECT_EQ(setpci.out, "0002\n");
    EXPECT_NE(run(". " + (root / "env").string() + " && setpci -s 0000:99:00.0 0x4.w=2").status, 0);

    run_result_s ok = run(emu_cmd("--root " + rootarg + " --ctl 'heartbeat 0000:15:00.0 fail'"));
    EXPECT_EQ(ok.status, 0) << ok.out;
    run_result_s unknown = run(emu_cmd("--root " + rootarg + " --ctl 'explode 0'"));
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.out.find("unknown command"), std::string::npos);
    run_result_s no_card = run(emu_cmd("--root " + rootarg + " --ctl 'unplug 2'"));
    EXPECT_NE(no_card.status, 0);
    EXPECT_NE(no_card.out.find("unknown card"), std::string::npos);
    // A second emulator on the same directory is refused.
    EXPECT_NE(run(emu_cmd("--root " + rootarg)).status, 0);

    ::kill(pid, SIGTERM);
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_FALSE(fs::exists(root / "dev/tawkipcdev0"));
    EXPECT_FALSE(fs::exists(root / "dev/fwctl/fwctl1"));
    EXPECT_FALSE(fs::exists(root / "ready"));
}

TEST(talon_emu, layout_matches_kernel_formats)
{
    emu_env emu(emu_cfg(1, 2, 2, talon_emu::transport_e::fwctl));
    auto read = [&](const std::string &rel) {
        std::ifstream f(emu.sys_devices() + rel);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
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
    std::ifstream env(emu.root() + "/env");
    std::string text((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("export TALON_SYSFS_DIR='" + emu.root() + "/sys'"), std::string::npos);
    EXPECT_NE(text.find("export PATH='" + emu.root() + "/bin':"), std::string::npos);
}

TEST(talon_emu, counters_count_at_their_own_rates_until_fixed)
{
    emu_env emu(emu_cfg(1, 2, 2));
    card_memory mem(emu.sys_devices() + "0000:06:00.2/resource2");
    std::vector<uint64_t> offs = {lif_counter(0, 0), lif_counter(0, 6), lif_counter(1, 0), port_counter(0, 0),
                                  port_counter(1, 1)};
    std::vector<uint64_t> a, b;
    for (uint64_t o : offs) {
        a.push_back(mem.at(o));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (uint64_t o : offs) {
        b.push_back(mem.at(o));
    }
    for (size_t i = 0; i < offs.size(); ++i) {
        EXPECT_GT(b[i], a[i]) << i;
    }
    // Rates differ per counter and per entity, so the values do too.
    std::set<uint64_t> distinct(b.begin(), b.end());
    EXPECT_EQ(distinct.size(), offs.size());

    emu.ctl("set 0 lif 1 rx_rdma_unicast_bytes 12345");
    emu.ctl("set 0 port 0 frames_rx_ok 0x10");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(mem.at(lif_counter(1, 2)), 12345u);
    EXPECT_EQ(mem.at(port_counter(0, 1)), 16u);
    EXPECT_GT(mem.at(lif_counter(1, 3)), 0u);

    std::string answer;
    EXPECT_FALSE(talon_emu::control(emu.root(), "set 0 lif 9 rx_rdma_unicast_bytes 1", &answer));
    EXPECT_FALSE(talon_emu::control(emu.root(), "set 0 lif 0 no_such_counter 1", &answer));
    EXPECT_NE(answer.find("no_such_counter"), std::string::npos);
}

TEST(talon_emu, unplug_plug_and_additions_show_in_discovery)
{
    emu_env emu(emu_cfg(2));
    emu.ctl("unplug 0000:05:00.0");
    aml_card_inventory_get_req_s req;
    aml_card_inventory_get_rsp_s rsp;
    ASSERT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK);
    ASSERT_EQ(rsp.cards.size(), 1u);
    EXPECT_EQ(rsp.cards[0].bdf, "0000:15:00.0");
    EXPECT_FALSE(fs::exists(emu.root() + "/dev/tawkipcdev0"));
    emu.ctl("plug 0");
    ASSERT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK);
    EXPECT_EQ(rsp.cards.size(), 2u);

    emu.ctl("add-port 0 0x11030000");
    emu.ctl("add-port 0 285474816");  // 0x11040000
    std::string answer;
    EXPECT_FALSE(talon_emu::control(emu.root(), "add-port 0 0x11030000", &answer));
    std::string lif = emu.ctl("add-lif 0 storage7");
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    std::vector<uint32_t> ifx;
    ASSERT_TRUE(ipc_cmd_port_ifindex_get(ch.get(), &ifx).ok());
    EXPECT_EQ(ifx, (std::vector<uint32_t>{0x11010000, 0x11020000, 0x11030000, 0x11040000}));
    std::vector<ipc_cmd_lif_s> lifs;
    ASSERT_TRUE(ipc_cmd_lif_get_all(ch.get(), &lifs).ok());
    ASSERT_EQ(lifs.size(), 3u);
    EXPECT_EQ(lifs[2].name, "storage7");
    EXPECT_NE(lif.find(nic_ipc_uuid_text(lifs[2].uuid)), std::string::npos) << lif;
    // The new entities' counters count as well.
    card_memory mem(emu.sys_devices() + "0000:06:00.2/resource2");
    uint64_t before = mem.at(lif_counter(2, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GT(mem.at(lif_counter(2, 0)), before);
    // cards.json follows.
    std::ifstream f(emu.root() + "/cards.json");
    std::string json((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(json.find("\"name\": \"storage7\""), std::string::npos);
    EXPECT_NE(json.find("\"name\": \"eth1/4\", \"uuid\": \"02544c4e-0000-4242-4242-000011040000\""),
              std::string::npos);
}
