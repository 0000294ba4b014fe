#include <array>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator/emulator.hpp"
#include "monitor/counter_catalogue.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "tests/emulator/emu_env.hpp"

using talon_test::emu_env;

namespace {

class on_transport : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override { ASSERT_EQ(nic_ipc_init(GetParam(), false), 0); }
    void TearDown() override { nic_ipc_init(NIC_IPC_TRANSPORT_TAWK, true); }
};

std::string transport_name(const ::testing::TestParamInfo<int32_t> &p)
{
    return p.param == NIC_IPC_TRANSPORT_TAWK ? "tawk" : "fwctl";
}

const std::string k_card = "0000:15:00.0";

}  // namespace

TEST_P(on_transport, every_command_round_trips)
{
    emu_env emu(talon_test::emu_cfg(2, 3, 3));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    ASSERT_EQ(ch.get()->transport, static_cast<uint32_t>(GetParam()));

    nic_ipc_mac_t mac{};
    ASSERT_TRUE(ipc_cmd_device_info(ch.get(), &mac).ok());
    EXPECT_EQ(mac, (nic_ipc_mac_t{0x02, 0x54, 0x4c, 0x4e, 0x01, 0x00}));

    uint64_t echo = 0;
    ASSERT_TRUE(ipc_cmd_heartbeat(ch.get(), 0xABCDEF, &echo).ok());
    EXPECT_EQ(echo, 0xABCDEFu);

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
    EXPECT_EQ(lifs[0].name, "rdma0");
    EXPECT_EQ(lifs[2].name, "rdma2");
    EXPECT_EQ(lifs[1].lif_id, lifs[0].lif_id + 1);
    EXPECT_EQ(lifs[1].stats_addr - lifs[0].stats_addr, talon_emu::k_lif_stats_stride);
    EXPECT_EQ(lifs[2].next_cursor, LIF_CURSOR_NONE);
    EXPECT_NE(nic_ipc_uuid_text(lifs[0].uuid), nic_ipc_uuid_text(lifs[1].uuid));
}

TEST_P(on_transport, response_checks_and_their_messages)
{
    emu_env emu(talon_test::emu_cfg(2));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    uint16_t port_num = 0;
    uint64_t addr = 0;
    uint32_t size = 0;
    std::vector<ipc_cmd_lif_s> lifs;

    struct case_s {
        ipc_cmd_e cmd;
        const char *mode;
        ipc_cmd_fail_e fail;
        std::string msg;
    };
    const std::vector<case_s> cases = {
        {ipc_cmd_e::PORT_INFO_GET, "transport=7", ipc_cmd_fail_e::transport,
         "Failed to get port information for card 0000:15:00.0, err : 7"},
        {ipc_cmd_e::PORT_INFO_GET, "short", ipc_cmd_fail_e::size,
         "Error - PORT_INFO_GET IPC response size 464 doesn't match expected size 928 for card0000:15:00.0"},
        {ipc_cmd_e::PORT_INFO_GET, "status=3", ipc_cmd_fail_e::status,
         "Failed to get port information for card 0000:15:00.0, status : 3"},
        {ipc_cmd_e::PORT_INFO_GET, "status=11", ipc_cmd_fail_e::none, ""},
        {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, "transport=1", ipc_cmd_fail_e::transport,
         "Failed to get p4 port stats mem region for card 0000:15:00.0, err : 1"},
        {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, "short", ipc_cmd_fail_e::size,
         "Error - P4_PORT_STATS_MEM_RE_INFO_GET IPC response size 12 doesn't match expected size 24 for "
         "card0000:15:00.0"},
        {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, "status=255", ipc_cmd_fail_e::status,
         "Failed to get p4 port stats mem region for card 0000:15:00.0, status : 255"},
        {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, "status=11", ipc_cmd_fail_e::none, ""},
        {ipc_cmd_e::LIF_GET_ALL, "transport=0x10", ipc_cmd_fail_e::transport,
         "Failed to get lif information for card 0000:15:00.0, err : 16"},
        {ipc_cmd_e::LIF_GET_ALL, "short", ipc_cmd_fail_e::size,
         "Error - LIF_GET_ALL IPC response size 76 doesn't match expected size 152 for card0000:15:00.0"},
        {ipc_cmd_e::LIF_GET_ALL, "status=4", ipc_cmd_fail_e::status,
         "Failed to get lif information for card 0000:15:00.0, status : 4"},
        {ipc_cmd_e::LIF_GET_ALL, "status=11", ipc_cmd_fail_e::none, ""},
    };
    for (const case_s &c : cases) {
        const std::string name(ipc_cmd_def(c.cmd).name);
        emu.ctl("fault " + k_card + " " + name + " " + c.mode);
        ipc_cmd_result_s r;
        if (c.cmd == ipc_cmd_e::PORT_INFO_GET) {
            r = ipc_cmd_port_info_get(ch.get(), 0x11010000, &port_num);
        } else if (c.cmd == ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET) {
            r = ipc_cmd_port_stats_region_get(ch.get(), &addr, &size);
        } else {
            lifs.clear();
            r = ipc_cmd_lif_get_all(ch.get(), &lifs);
        }
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
    EXPECT_EQ(r.fail, ipc_cmd_fail_e::size);
    EXPECT_EQ(r.rsp_len, 194);
    EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::DEVICE_INFO, r, k_card), "");
    std::vector<uint32_t> ifx;
    emu.ctl("fault 1 PORT_IFINDEX_GET status=11");
    EXPECT_EQ(ipc_cmd_port_ifindex_get(ch.get(), &ifx).fail, ipc_cmd_fail_e::status);
    uint64_t echo = 0;
    emu.ctl("heartbeat 1 fail");
    EXPECT_EQ(ipc_cmd_heartbeat(ch.get(), 1, &echo).fail, ipc_cmd_fail_e::transport);
    emu.ctl("heartbeat 1 mismatch");
    ASSERT_TRUE(ipc_cmd_heartbeat(ch.get(), 1, &echo).ok());
    EXPECT_NE(echo, 1u);
}

TEST_P(on_transport, send_failure_message_carries_errno_text)
{
    emu_env emu(talon_test::emu_cfg(2));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    emu.ctl("unplug 1");
    uint16_t port_num = 0;
    ipc_cmd_result_s r = ipc_cmd_port_info_get(ch.get(), 0x11010000, &port_num);
    ASSERT_EQ(r.fail, ipc_cmd_fail_e::send);
    const std::string err = GetParam() == NIC_IPC_TRANSPORT_TAWK ? "Broken pipe" : "Input/output error";
    EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::PORT_INFO_GET, r, k_card),
              "Failed to send PORT_INFO_GET for card0000:15:00.0, err : " + err);
    EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::LIF_GET_ALL, r, k_card),
              "Failed to send LIF_GET_ALL for card0000:15:00.0, err : " + err);
}

INSTANTIATE_TEST_SUITE_P(nic_ipc_cmd, on_transport,
                         ::testing::Values(int32_t(NIC_IPC_TRANSPORT_TAWK), int32_t(NIC_IPC_TRANSPORT_FWCTL)),
                         transport_name);

TEST(nic_ipc_cmd, lif_walk_edges)
{
    emu_env emu(talon_test::emu_cfg(1, 2, 1));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    std::vector<ipc_cmd_lif_s> lifs;
    ASSERT_TRUE(ipc_cmd_lif_get_all(ch.get(), &lifs).ok());
    EXPECT_EQ(lifs.size(), 1u);

    // A name that fills its 78 bytes without a NUL is cut there.
    const std::string long_name(78, 'n');
    emu.ctl("add-lif 0 " + long_name);
    lifs.clear();
    ASSERT_TRUE(ipc_cmd_lif_get_all(ch.get(), &lifs).ok());
    ASSERT_EQ(lifs.size(), 2u);
    EXPECT_EQ(lifs[1].name, long_name);

    // A walk that does not end within its bound fails.
    lifs.clear();
    EXPECT_EQ(ipc_cmd_lif_get_all(ch.get(), &lifs, 1).fail, ipc_cmd_fail_e::size);
}

TEST(nic_ipc_cmd, ifindex_count_beyond_the_response_is_a_size_failure)
{
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    std::vector<uint8_t> m(16 + 52, 0);
    uint64_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
    ipc_drv_hdr_set_pld_len(&hdr, 60);
    ipc_wire::put_le<uint64_t>(m.data(), hdr);
    ipc_wire::put_le<uint32_t>(&m[8], IPC_CMD_MAGIC);
    m[12] = 1;
    m[13] = 0x01;
    ipc_wire::put_le<uint16_t>(&m[14], 0x000B);
    ipc_wire::put_le<uint32_t>(&m[16 + 4], 12);
    ASSERT_EQ(::send(sv[1], m.data(), m.size(), 0), ssize_t(m.size()));
    nic_ipc_handle_s h;
    h.transport = NIC_IPC_TRANSPORT_TAWK;
    h.dev.fd = sv[0];
    std::vector<uint32_t> ifx{1};
    ipc_cmd_result_s r = ipc_cmd_port_ifindex_get(&h, &ifx);
    EXPECT_EQ(r.fail, ipc_cmd_fail_e::size);
    EXPECT_EQ(ifx, std::vector<uint32_t>{1});
    nic_ipc_close(&h);
    ::close(sv[1]);
}

TEST(nic_ipc_cmd, port_names_and_uuids)
{
    struct case_s {
        uint32_t ifindex;
        const char *name;
    } cases[] = {
        {0, "-"},
        {0x11010000, "eth1/1"},
        {0x11010002, "eth1/1/2"},
        {0x40020000, "uplink0/2"},
        {0xE1030000, "none1/3"},
        {0xF0000001, "none0/0/1"},
        {0xD2FF0000, "crypto2/255"},
        {0xB1010000, "internal-mgmt1/1"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(nic_ipc_port_name(c.ifindex), c.name) << std::hex << c.ifindex;
    }
    EXPECT_EQ(nic_ipc_port_uuid({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x11010000),
              "00112233-4455-4242-4242-000011010000");
    EXPECT_EQ(nic_ipc_port_uuid({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, 0), "00112233-4455-4242-4242-000000000000");
}
