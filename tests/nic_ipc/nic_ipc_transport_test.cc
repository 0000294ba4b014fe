#include <gtest/gtest.h>

#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "tests/emulator/emu_env.hpp"

using talon_test::emu_env;

namespace {

// Restores the calling thread's transport choice.
struct transport_choice {
    transport_choice(int32_t t, bool alt) { EXPECT_EQ(nic_ipc_init(t, alt), 0); }
    ~transport_choice() { nic_ipc_init(NIC_IPC_TRANSPORT_TAWK, true); }
};

uint64_t heartbeat_echo(nic_ipc_handle_s *h, uint64_t nonce)
{
    uint64_t echo = 0;
    ipc_cmd_result_s r = ipc_cmd_heartbeat(h, nonce, &echo);
    EXPECT_TRUE(r.ok()) << static_cast<int>(r.fail);
    return echo;
}

}  // namespace

TEST(nic_ipc_transport, defaults_and_bad_setting)
{
    EXPECT_EQ(g_ipc_transport, 1);
    EXPECT_TRUE(g_use_alternate_transport);
    EXPECT_EQ(nic_ipc_init(3, true), -3);
    EXPECT_EQ(nic_ipc_init(0, true), -3);
    EXPECT_EQ(g_ipc_transport, 1);
}

TEST(nic_ipc_transport, both_transports_end_to_end)
{
    emu_env emu(talon_test::emu_cfg(2));
    {
        nic_ipc_channel ch;
        ASSERT_EQ(ch.open("0000:15:00.0"), 0);
        EXPECT_EQ(ch.get()->transport, NIC_IPC_TRANSPORT_TAWK);
        EXPECT_EQ(heartbeat_echo(ch.get(), 0x1234567), 0x1234567u);
    }
    {
        transport_choice fw(NIC_IPC_TRANSPORT_FWCTL, false);
        nic_ipc_channel ch;
        ASSERT_EQ(ch.open("0000:15:00.0"), 0);
        EXPECT_EQ(ch.get()->transport, NIC_IPC_TRANSPORT_FWCTL);
        EXPECT_EQ(heartbeat_echo(ch.get(), 77), 77u);
        // With no address the fwctl transport takes the first listed card.
        nic_ipc_channel first;
        ASSERT_EQ(first.open(""), 0);
        EXPECT_EQ(first.get()->transport, NIC_IPC_TRANSPORT_FWCTL);
        nic_ipc_mac_t mac{};
        ASSERT_TRUE(ipc_cmd_device_info(first.get(), &mac).ok());
        EXPECT_EQ(mac[4], 0);  // card 0
    }
    // With no address the tawk transport opens the default device.
    nic_ipc_handle_s h{};
    ASSERT_EQ(nic_ipc_open(&h, nullptr), 0);
    EXPECT_EQ(h.transport, NIC_IPC_TRANSPORT_TAWK);
    EXPECT_EQ(heartbeat_echo(&h, 5), 5u);
    nic_ipc_close(&h);
    EXPECT_EQ(h.dev.fd, -1);
    nic_ipc_close(&h);  // a second close does nothing
    EXPECT_EQ(h.dev.fd, -1);
}

TEST(nic_ipc_transport, fall_back_to_fwctl_and_refusal)
{
    emu_env emu(talon_test::emu_cfg(1, 2, 2, talon_emu::transport_e::fwctl));
    {
        nic_ipc_channel ch;
        ASSERT_EQ(ch.open("0000:05:00.0"), 0);
        EXPECT_EQ(ch.get()->transport, NIC_IPC_TRANSPORT_FWCTL);
        EXPECT_EQ(heartbeat_echo(ch.get(), 9), 9u);
    }
    transport_choice no_alt(NIC_IPC_TRANSPORT_TAWK, false);
    nic_ipc_handle_s h{};
    EXPECT_EQ(nic_ipc_open(&h, "0000:05:00.0"), -1);
}

TEST(nic_ipc_transport, fall_back_to_tawk_and_refusal)
{
    emu_env emu(talon_test::emu_cfg(1, 2, 2, talon_emu::transport_e::tawk));
    {
        transport_choice fw(NIC_IPC_TRANSPORT_FWCTL, true);
        nic_ipc_channel ch;
        ASSERT_EQ(ch.open("0000:05:00.0"), 0);
        EXPECT_EQ(ch.get()->transport, NIC_IPC_TRANSPORT_TAWK);
        EXPECT_EQ(heartbeat_echo(ch.get(), 3), 3u);
    }
    transport_choice fw_only(NIC_IPC_TRANSPORT_FWCTL, false);
    nic_ipc_handle_s h{};
    EXPECT_EQ(nic_ipc_open(&h, "0000:05:00.0"), -1);
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
    EXPECT_EQ(heartbeat_echo(ch.get(), 11), 11u);
}
