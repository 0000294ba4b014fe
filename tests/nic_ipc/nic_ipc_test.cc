#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <tuple>
#include <vector>

#include "emulator/emulator.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "testkit/emu_env.hpp"
#include "utils/sys/unique_fd.hpp"

namespace fs = std::filesystem;
using talon_emu::transport_e;
using namespace test_support;

namespace {

constexpr uint32_t k_all_functions = CARD_DEV_RSC | CARD_DEV_TAWK | CARD_DEV_CORE | CARD_DEV_F1002 | CARD_DEV_F1003;
const std::string k_card = "0000:15:00.0";

// Sets the calling thread's transport choice and restores the default.
struct transport_choice {
    transport_choice(int32_t t, bool alt) { EXPECT_EQ(nic_ipc_init(t, alt), 0); }
    ~transport_choice() { nic_ipc_init(NIC_IPC_TRANSPORT_TAWK, true); }
};

class OnTransport : public ::testing::TestWithParam<int32_t> {
protected:
    transport_choice choice_{GetParam(), false};
};

}  // namespace

TEST(NicIpcDev, CardsAreListedAndEveryFunctionAndDeviceNodeResolved)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    emu_env emu(emu_cfg(3));
    // One address per bus, though each card has two switch ports; the listing stops at the bound.
    ASSERT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, NIC_IPC_MAX_CARDS), 3);
    EXPECT_STREQ(list[2], "0000:25:00.0");
    EXPECT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, 2), 2);
    nic_ipc_card_device_info_s info{};
    ASSERT_EQ(nic_ipc_get_card_device_info("0000:05:00.0", &info), 0);
    EXPECT_EQ(info.present, k_all_functions);
    EXPECT_EQ(std::string(info.core_bdf) + " " + info.tawk_bdf + " " + info.rsc_bdf + " " + info.f1002_bdf + " " +
                  info.f1003_bdf,
              "0000:06:00.0 0000:06:00.1 0000:06:00.2 0000:07:00.0 0000:07:00.1");
    char path[NIC_IPC_PATH_SIZE];
    // The fwctl rule accepts the core function's own address as well as the card's (used by every fwctl open).
    ASSERT_EQ(nic_fwctl_device_path_from_hub_bdf("0000:16:00.0", path), 0);
    EXPECT_EQ(std::string(path), emu.root() + "/dev/fwctl/fwctl1");
    ASSERT_EQ(nic_tawk_device_path_from_hub_bdf("0000:15:00.0", path), 0);
    EXPECT_EQ(std::string(path), emu.root() + "/dev/tawkipcdev1");
    // A function address is not a card address for the tawk rule.
    EXPECT_EQ(nic_tawk_device_path_from_hub_bdf("0000:16:00.1", path), -1);
}

TEST(NicIpcDev, BusRangeEdgeCases)
{
    // A hand-made sysfs tree for the range rules.
    temp_dir dir;
    scoped_env sysfs("TALON_SYSFS_DIR", dir.path());
    const auto bridge = [&](const std::string &bdf, uint32_t sec, uint32_t sub) {
        const fs::path d = dir / ("bus/pci/devices/" + bdf);
        fs::create_directories(d);
        std::ofstream(d / "secondary_bus_number") << sec << "\n";
        std::ofstream(d / "subordinate_bus_number") << sub << "\n";
    };
    bridge("0000:20:00.0", 0x21, 0x21);
    bridge("0000:20:01.0", 0x22, 0xff);  // up to the last bus
    bridge("0000:20:03.0", 0x10, 0x10);  // behind a gap: never probed
    uint32_t first = 0, last = 0;
    ASSERT_EQ(derive_pcie_bus_scan_range("0000:20:00.0", &first, &last), 0);
    EXPECT_EQ(first, 0x21u);
    EXPECT_EQ(last, 0xffu);
    // Bus numbers that read as all ones (a vanished bridge) end the walk
    // instead of wrapping it around forever; the ports before them count.
    bridge("0000:60:00.0", 0x61, 0x62);
    bridge("0000:60:01.0", 99, UINT32_MAX);
    bridge("0000:70:00.0", UINT32_MAX, UINT32_MAX);
    auto walk = std::async(std::launch::async, [] {
        char found[NIC_IPC_BDF_SIZE];
        uint32_t lo = 0, hi = 0;
        return std::make_tuple(derive_pcie_bus_scan_range("0000:60:00.0", &lo, &hi), lo, hi,
                               device_bdf_from_hub_bdf("0000:60:00.0", CARD_PCI_DEVICE_CORE, found),
                               device_bdf_from_hub_bdf("0000:70:00.0", CARD_PCI_DEVICE_CORE, found));
    });
    if (walk.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "bus walk did not end";
        std::quick_exit(1);  // the walk's thread cannot be joined
    }
    EXPECT_EQ(walk.get(), std::make_tuple(0, 0x61u, 0x62u, -1, -1));
}

// Look-ups by UUID in both directions run under tests/aml.
TEST(NicIpcDev, ListingFailsWithoutLspciAndOnlyWellFormedAddressesReachTheShell)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {}, serial[NIC_IPC_SERIAL_SIZE];
    temp_dir d;
    scoped_env path("PATH", d.path());
    EXPECT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, 16), -1);
    const fs::path marker = d / "ran";
    EXPECT_EQ(card_serial_from_bdf(("0000:06:00.1; touch " + marker.string()).c_str(), serial), -1);
    EXPECT_FALSE(fs::exists(marker));

    // Only a UUID of the card's pattern decodes to a serial number (the
    // encoding's round trip runs under tests/aml).
    EXPECT_EQ(card_serial_from_uuid("42424142-4344-4546-4748-494a4b000000", serial), 0);
    EXPECT_STREQ(serial, "ABCDEFGHIJK");
    for (const char *bad : {"41424142-4344-4546-4748-494a4b000000", "42424142-4344-4546-4748-494a4b000001",
                            "42424142-4344-4546-4748-494a4x000000"}) {
        EXPECT_EQ(card_serial_from_uuid(bad, serial), -1) << bad;
    }
}

// On each transport a discovery command fails on a transport status, a
// short response (one byte short is short; the full size passes, as the
// status 11 case shows) and a command status other than 0 and 11, with its
// own message. The values of good answers reach the telemetry lines checked in
// tests/e2e; malformed answers and LIF walks are fuzzed in tests/fuzz/ipc_fuzz.cc.
TEST_P(OnTransport, CommandsFailWithTheirMessages)
{
    emu_env emu(emu_cfg(2, 3, 3));
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open(k_card.c_str()), 0);
    ASSERT_EQ(ch.get()->transport, static_cast<uint32_t>(GetParam()));
    std::vector<uint32_t> ifx;
    uint16_t port_num = 0;
    std::vector<ipc_cmd_lif_s> lifs;

    using F = ipc_cmd_fail_e;
    const std::string failed = "Failed to get port information for card " + k_card;
    for (auto [mode, fail, msg] :
         {std::tuple{"transport=0x10", F::transport, failed + ", err : 16"},
          {"short=1", F::size,
           "Error - PORT_INFO_GET IPC response size 927 doesn't match expected size 928 for card" + k_card},
          {"status=255", F::status, failed + ", status : 255"}, {"status=11", F::none, std::string()}}) {
        emu.ctl("fault " + k_card + " PORT_INFO_GET " + mode);
        ipc_cmd_result_s r = ipc_cmd_port_info_get(ch.get(), 0x11010000, &port_num);
        EXPECT_EQ(r.fail, fail) << mode;
        EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::PORT_INFO_GET, r, k_card), msg) << mode;
    }
    // PORT_IFINDEX_GET takes only status 0.
    emu.ctl("fault 1 PORT_IFINDEX_GET status=11");
    EXPECT_EQ(ipc_cmd_port_ifindex_get(ch.get(), &ifx).fail, F::status);

    // A send failure names the errno text.
    emu.ctl("unplug 1");
    ipc_cmd_result_s r = ipc_cmd_lif_get_all(ch.get(), &lifs);
    ASSERT_EQ(r.fail, F::send);
    const std::string err = GetParam() == NIC_IPC_TRANSPORT_TAWK ? "Broken pipe" : "Input/output error";
    EXPECT_EQ(ipc_cmd_fail_msg(ipc_cmd_e::LIF_GET_ALL, r, k_card),
              "Failed to send LIF_GET_ALL for card0000:15:00.0, err : " + err);
}

// A daemon started with standard input closed gets descriptor 0 for its
// first channel; closing the channel must release it like any other. The
// emulator runs as a process of its own: in this one its threads would open
// and close descriptors too, racing the test for descriptor 0.
TEST_P(OnTransport, AChannelOnDescriptorZeroIsClosed)
{
    temp_dir dir;
    const std::string root = dir / "emu";
    child_process emu({TALON_EMU_EXE, "--root", root});
    ASSERT_TRUE(wait_until([&] { return fs::exists(root + "/ready"); }));
    emulated_host_env host(root);
    utils::unique_fd saved_stdin(::fcntl(0, F_DUPFD_CLOEXEC, 3));
    ASSERT_TRUE(saved_stdin);
    ::close(0);
    nic_ipc_handle_s h{};
    const int rc = nic_ipc_open(&h, "0000:05:00.0");
    const int fd = h.dev.fd.get();
    nic_ipc_close(&h);
    const bool zero_left_open = ::fcntl(0, F_GETFD) != -1;
    ASSERT_EQ(::dup2(saved_stdin.get(), 0), 0);

    EXPECT_EQ(rc, 0);
    EXPECT_EQ(fd, 0);
    EXPECT_FALSE(zero_left_open);
    EXPECT_EQ(h.dev.fd.get(), -1);
}

// With only the other transport present, a channel falls back to it when
// that is allowed and is refused when not.
TEST_P(OnTransport, FallsBackToTheOtherTransportOnlyWhenAllowed)
{
    emu_env emu(emu_cfg(1, 2, 2, GetParam() == NIC_IPC_TRANSPORT_TAWK ? transport_e::fwctl : transport_e::tawk));
    nic_ipc_handle_s h{};
    EXPECT_EQ(nic_ipc_open(&h, "0000:05:00.0"), -1);
    transport_choice with_alt(GetParam(), true);
    nic_ipc_channel ch;
    ASSERT_EQ(ch.open("0000:05:00.0"), 0);
    EXPECT_NE(ch.get()->transport, static_cast<uint32_t>(GetParam()));
    uint64_t echo = 0;
    EXPECT_TRUE(ipc_cmd_heartbeat(ch.get(), 9, &echo).ok());
    EXPECT_EQ(echo, 9u);
}

INSTANTIATE_TEST_SUITE_P(NicIpcCmd, OnTransport,
                         ::testing::Values(int32_t(NIC_IPC_TRANSPORT_TAWK), int32_t(NIC_IPC_TRANSPORT_FWCTL)),
                         [](const auto &p) { return p.param == NIC_IPC_TRANSPORT_TAWK ? "tawk" : "fwctl"; });
