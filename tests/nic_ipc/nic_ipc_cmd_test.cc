// Channels and firmware commands against the emulator, on both transports.
#include <gtest/gtest.h>
#include <utility>
#include <vector>

#include "emulator/emulator.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "tests/emulator/emu_env.hpp"

using talon_emu::transport_e;
using talon_test::emu_cfg;
using talon_test::emu_env;

namespace {

const std::string k_card = "0000:15:00.0";

// Sets the calling thread's transport choice and restores the default.
struct transport_choice {
    transport_choice(int32_t t, bool alt) { EXPECT_EQ(nic_ipc_init(t, alt), 0); }
    ~transport_choice() { nic_ipc_init(NIC_IPC_TRANSPORT_TAWK, true); }
};

class on_transport : public ::testing::TestWithParam<int32_t> {
protected:
    transport_choice choice_{GetParam(), false};
};

uint64_t echo_of(nic_ipc_handle_s *h, uint64_t nonce)
{
    uint64_t echo = 0;
    EXPECT_TRUE(ipc_cmd_heartbeat(h, nonce, &echo).ok());
    return echo;
}

}  // namespace

TEST_P(on_transport, every_command_round_trips)
{
    emu_env emu(emu_cfg(2, 3, 3));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    ASSERT_EQ(ch.get()->transport, static_cast<uint32_t>(GetParam()));

    nic_ipc_mac_t mac{};
    ASSERT_TRUE(ipc_cmd_device_info(ch.get(), &mac).ok());
    EXPECT_EQ(mac, (nic_ipc_mac_t{0x02, 0x54, 0x4c, 0x4e, 0x01, 0x00}));
    EXPECT_EQ(echo_of(ch.get(), 0xABCDEF), 0xABCDEFu);
    std::vector<uint32_t> ifx;
    ASSERT_TRUE(ipc_cmd_port_ifindex_get(ch.get(), &ifx).ok());
    EXPECT_EQ(ifx, (std::vector<uint32_t>{0x11010000, 0x11020000, 0x11030000}));
    uint16_t port_num = 0;
    ASSERT_TRUE(ipc_cmd_port_info_get(ch.get(), 0x11020000, &port_num).ok());
    EXPECT_EQ(port_num, 2);
    uint64_t addr = 0;
    uint32_t size = 0;
    ASSERT_TRUE(ipc_cmd_port_stats_region_get(ch.get(), &addr, &size).ok());
    EXPECT_EQ(addr, talon_emu::k_mem_window_base + talon_emu::k_port_region_offset);
    EXPECT_EQ(size, talon_emu::k_max_ports * talon_emu::k_port_stats_stride);
    std::vector<ipc_cmd_lif_s> lifs;
    ASSERT_TRUE(ipc_cmd_lif_get_all(ch.get(), &lifs).ok());
    ASSERT_EQ(lifs.size(), 3u);
    EXPECT_EQ(lifs[2].name, "rdma2");
    EXPECT_EQ(lifs[1].lif_id, lifs[0].lif_id + 1);
    EXPECT_EQ(lifs[1].stats_addr - lifs[0].stats_addr, talon_emu::k_lif_stats_stride);
    EXPECT_EQ(lifs[2].next_cursor, LIF_CURSOR_NONE);
    EXPECT_NE(nic_ipc_uuid_text(lifs[0].uuid), nic_ipc_uuid_text(lifs[1].uuid));
}

TEST_P(on_transport, response_checks_and_their_messages)
{
    emu_env emu(emu_cfg(2));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    auto run = [&](ipc_cmd_e cmd) {
        uint16_t port_num = 0;
        uint64_t addr = 0;
        uint32_t size = 0;
        std::vector<ipc_cmd_lif_s> lifs;
        if (cmd == ipc_cmd_e::PORT_INFO_GET) {
            return ipc_cmd_port_info_get(ch.get(), 0x11010000, &port_num);
        }
        if (cmd == ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET) {
            return ipc_cmd_port_stats_region_get(ch.get(), &addr, &size);
        }
        return ipc_cmd_lif_get_all(ch.get(), &lifs);
    };
    using F = ipc_cmd_fail_e;
    const ipc_cmd_e port = ipc_cmd_e::PORT_INFO_GET, stats = ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET,
                    lif = ipc_cmd_e::LIF_GET_ALL;
    const struct {
        ipc_cmd_e cmd;
        const char *mode;
        F fail;
        std::string msg;
    } cases[] = {
        {port, "transport=7", F::transport, "Failed to get port information for card 0000:15:00.0, err : 7"},
        {port, "short", F::size,
         "Error - PORT_INFO_GET IPC response size 464 doesn't match expected size 928 for card0000:15:00.0"},
        {port, "status=3", F::status, "Failed to get port information for card 0000:15:00.0, status : 3"},
        {port, "status=11", F::none, ""},
        {stats, "transport=1", F::transport, "Failed to get p4 port stats mem region for card 0000:15:00.0, err : 1"},
        {stats, "short", F::size,
         "Error - P4_PORT_STATS_MEM_RE_INFO_GET IPC response size 12 doesn't match expected size 24 for "
         "card0000:15:00.0"},
        {stats, "status=255", F::status,
         "Failed to get p4 port stats mem region for card 0000:15:00.0, status : 255"},
        {stats, "status=11", F::none, ""},
        {lif, "transport=0x10", F::transport, "Failed to get lif information for card 0000:15:00.0, err : 16"},
        {lif, "short", F::size,
         "Error - LIF_GET_ALL IPC response size 76 doesn't match expected size 152 for card0000:15:00.0"},
        {lif, "status=4", F::status, "Failed to get lif information for card 0000:15:00.0, status : 4"},
        {lif, "status=11", F::none, ""},
    };
    for (const auto &c : cases) {
        const std::string name(ipc_cmd_def(c.cmd).name);
        emu.ctl("fault " + k_card + " " + name + " " + c.mode);
        ipc_cmd_result_s r = run(c.cmd);
        EXPECT_EQ(r.fail, c.fail) << name << " " << c.mode;
        EXPECT_EQ(ipc_cmd_fail_msg(c.cmd, r, k_card), c.msg) << name << " " << c.mode;
        emu.ctl("fault 1 " + name + " ok");
    }

    // DEVICE_INFO's command status is not examined; PORT_IFINDEX_GET takes
    // only 0; neither has a discovery message.
    nic_ipc_mac_t mac{};
    emu.ctl("fault 1 DEVICE_INFO status=9");
    EXPECT_TRUE(ipc_cmd_device_info(ch.get(), &mac).ok());
    emu.ctl("fault 1 DEVICE_INFO short");
    ipc_cmd_result_s r = ipc_cmd_device_info(ch.get(), &mac);
    EXPECT_EQ(r.fail, F::size);
    EXPECT_EQ(r.rsp_len, 194);
    EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::DEVICE_INFO, r, k_card), "");
    std::vector<uint32_t> ifx;
    emu.ctl("fault 1 PORT_IFINDEX_GET status=11");
    EXPECT_EQ(ipc_cmd_port_ifindex_get(ch.get(), &ifx).fail, F::status);
    uint64_t echo = 0;
    emu.ctl("heartbeat 1 fail");
    EXPECT_EQ(ipc_cmd_heartbeat(ch.get(), 1, &echo).fail, F::transport);
    emu.ctl("heartbeat 1 mismatch");
    EXPECT_NE(echo_of(ch.get(), 1), 1u);

    // A send failure names the errno text.
    emu.ctl("unplug 1");
    r = run(lif);
    ASSERT_EQ(r.fail, F::send);
    const std::string err = GetParam() == NIC_IPC_TRANSPORT_TAWK ? "Broken pipe" : "Input/output error";
    EXPECT_EQ(ipc_cmd_fail_msg(lif, r, k_card), "Failed to send LIF_GET_ALL for card0000:15:00.0, err : " + err);
}

INSTANTIATE_TEST_SUITE_P(nic_ipc_cmd, on_transport,
                         ::testing::Values(int32_t(NIC_IPC_TRANSPORT_TAWK), int32_t(NIC_IPC_TRANSPORT_FWCTL)),
                         [](const auto &p) { return p.param == NIC_IPC_TRANSPORT_TAWK ? "tawk" : "fwctl"; });

TEST(nic_ipc_cmd, lif_walk_edges)
{
    emu_env emu(emu_cfg(1, 2, 1));
    // A name that fills its 78 bytes without a NUL is cut there.
    const std::string long_name(78, 'n');
    emu.ctl("add-lif 0 " + long_name);
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    std::vector<ipc_cmd_lif_s> lifs;
    ASSERT_TRUE(ipc_cmd_lif_get_all(ch.get(), &lifs).ok());
    ASSERT_EQ(lifs.size(), 2u);
    EXPECT_EQ(lifs[1].name, long_name);
    // A walk that does not end within its bound fails.
    lifs.clear();
    EXPECT_EQ(ipc_cmd_lif_get_all(ch.get(), &lifs, 1).fail, ipc_cmd_fail_e::size);
}

TEST(nic_ipc_cmd, port_names_and_uuids)
{
    for (const auto &[ifindex, name] : std::vector<std::pair<uint32_t, std::string>>{
             {0, "-"}, {0x11010002, "eth1/1/2"}, {0x40020000, "uplink0/2"}, {0xF0000001, "none0/0/1"},
             {0xD2FF0000, "crypto2/255"}, {0xB1010000, "internal-mgmt1/1"}}) {
        EXPECT_EQ(nic_ipc_port_name(ifindex), name) << std::hex << ifindex;
    }
    EXPECT_EQ(nic_ipc_port_uuid({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x11010000),
              "00112233-4455-4242-4242-000011010000");
}

TEST(nic_ipc_transport, setting_and_both_defaults_without_an_address)
{
    EXPECT_EQ(g_ipc_transport, 1);
    EXPECT_TRUE(g_use_alternate_transport);
    EXPECT_EQ(nic_ipc_init(3, true), -3);
    EXPECT_EQ(nic_ipc_init(0, true), -3);
    EXPECT_EQ(g_ipc_transport, 1);

    emu_env emu(emu_cfg(2));
    // With no address the tawk transport opens the default device.
    nic_ipc_handle_s h{};
    ASSERT_EQ(nic_ipc_open(&h, nullptr), 0);
    EXPECT_EQ(h.transport, NIC_IPC_TRANSPORT_TAWK);
    EXPECT_EQ(echo_of(&h, 5), 5u);
    nic_ipc_close(&h);
    nic_ipc_close(&h);  // a second close does nothing
    EXPECT_EQ(h.dev.fd, -1);
    // With no address the fwctl transport takes the first listed card.
    transport_choice fw(NIC_IPC_TRANSPORT_FWCTL, false);
    nic_ipc_channel first;
    ASSERT_EQ(first.open(""), 0);
    EXPECT_EQ(first.get()->transport, NIC_IPC_TRANSPORT_FWCTL);
    nic_ipc_mac_t mac{};
    ASSERT_TRUE(ipc_cmd_device_info(first.get(), &mac).ok());
    EXPECT_EQ(mac[4], 0);  // card 0
}

TEST(nic_ipc_transport, fall_back_to_the_other_transport_and_refusal)
{
    for (auto [present, preferred] : {std::pair{transport_e::fwctl, NIC_IPC_TRANSPORT_TAWK},
                                      std::pair{transport_e::tawk, NIC_IPC_TRANSPORT_FWCTL}}) {
        emu_env emu(emu_cfg(1, 2, 2, present));
        {
            transport_choice with_alt(preferred, true);
            nic_ipc_channel ch;
            ASSERT_EQ(ch.open("0000:05:00.0"), 0);
            EXPECT_NE(ch.get()->transport, preferred);
            EXPECT_EQ(echo_of(ch.get(), 9), 9u);
        }
        transport_choice no_alt(preferred, false);
        nic_ipc_handle_s h{};
        EXPECT_EQ(nic_ipc_open(&h, "0000:05:00.0"), -1) << preferred;
    }
}

TEST(nic_ipc_transport, no_card_or_unplugged_card)
{
    emu_env emu;
    nic_ipc_handle_s h{};
    EXPECT_EQ(nic_ipc_open(&h, "0000:45:00.0"), -1);
    emu.ctl("unplug 0");
    transport_choice fw(NIC_IPC_TRANSPORT_FWCTL, true);
    EXPECT_EQ(nic_ipc_open(&h, ""), -2);
    EXPECT_EQ(nic_ipc_open(&h, "0000:05:00.0"), -1);
    emu.ctl("plug 0");
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    EXPECT_EQ(echo_of(ch.get(), 11), 11u);
}
