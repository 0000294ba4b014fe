#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "nic_ipc/nic_ipc_dev.hpp"
#include "tests/emulator/emu_env.hpp"

namespace fs = std::filesystem;
using talon_test::emu_cfg;
using talon_test::emu_env;
using talon_test::scoped_env;
using talon_test::temp_dir;

namespace {

constexpr uint32_t k_all_functions = CARD_DEV_RSC | CARD_DEV_TAWK | CARD_DEV_CORE | CARD_DEV_F1002 | CARD_DEV_F1003;

void write(const fs::path &p, const std::string &text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// A hand-made sysfs tree for the range rules.
struct bridge_tree {
    temp_dir dir;
    scoped_env env{"TALON_SYSFS_DIR", dir.path().string()};
    fs::path devices() const { return dir.path() / "bus/pci/devices"; }
    void bridge(const std::string &bdf, int sec, int sub) const
    {
        write(devices() / bdf / "vendor", "0x1ff7\n");
        write(devices() / bdf / "device", "0x1478\n");
        write(devices() / bdf / "secondary_bus_number", std::to_string(sec) + "\n");
        write(devices() / bdf / "subordinate_bus_number", std::to_string(sub) + "\n");
    }
};

}  // namespace

TEST(nic_ipc_dev, every_function_of_a_card_is_resolved)
{
    emu_env emu;
    nic_ipc_card_device_info_s info{};
    ASSERT_EQ(nic_ipc_get_card_device_info("0000:05:00.0", &info), 0);
    EXPECT_EQ(info.present, k_all_functions);
    EXPECT_STREQ(info.core_bdf, "0000:06:00.0");
    EXPECT_STREQ(info.tawk_bdf, "0000:06:00.1");
    EXPECT_STREQ(info.rsc_bdf, "0000:06:00.2");
    EXPECT_STREQ(info.f1002_bdf, "0000:07:00.0");
    EXPECT_STREQ(info.f1003_bdf, "0000:07:00.1");
    EXPECT_EQ(std::string(info.tawk_dev_path), emu.root() + "/dev/tawkipcdev0");
    EXPECT_EQ(std::string(info.fwctl_dev_path), emu.root() + "/dev/fwctl/fwctl0");

    uint32_t id = 0;
    EXPECT_EQ(nic_ipc_get_device_id_from_bdf("0000:06:00.2", &id), 0);
    EXPECT_EQ(id, CARD_PCI_DEVICE_RSC);
    EXPECT_EQ(nic_ipc_get_device_id_from_bdf("0000:66:00.0", &id), -4);
    char core[NIC_IPC_BDF_SIZE];
    EXPECT_EQ(nic_ipc_tern_core_bdf_from_card_bdf("0000:05:00.0", core), 0);
    EXPECT_STREQ(core, "0000:06:00.0");
}

TEST(nic_ipc_dev, device_path_rules)
{
    emu_env emu(emu_cfg(2));
    char path[NIC_IPC_PATH_SIZE];
    // The fwctl rule accepts the card address and the core function's own.
    for (const char *bdf : {"0000:15:00.0", "0000:16:00.0"}) {
        ASSERT_EQ(nic_fwctl_device_path_from_hub_bdf(bdf, path), 0) << bdf;
        EXPECT_EQ(std::string(path), emu.root() + "/dev/fwctl/fwctl1");
    }
    ASSERT_EQ(nic_tawk_device_path_from_hub_bdf("0000:15:00.0", path), 0);
    EXPECT_EQ(std::string(path), emu.root() + "/dev/tawkipcdev1");
    EXPECT_EQ(nic_fwctl_device_path_from_hub_bdf("0000:99:00.0", path), -5);
    // A function address is not a card address for the tawk rule.
    EXPECT_EQ(nic_tawk_device_path_from_hub_bdf("0000:16:00.1", path), -1);
}

TEST(nic_ipc_dev, tawk_only_card_has_no_core_function)
{
    emu_env emu(emu_cfg(1, 2, 2, talon_emu::transport_e::tawk));
    nic_ipc_card_device_info_s info{};
    nic_ipc_get_card_device_info("0000:05:00.0", &info);
    EXPECT_EQ(info.present & (CARD_DEV_TAWK | CARD_DEV_CORE), CARD_DEV_TAWK);
    EXPECT_STREQ(info.fwctl_dev_path, "");
}

TEST(nic_ipc_dev, bus_range_edge_cases)
{
    bridge_tree t;
    t.bridge("0000:20:00.0", 0x21, 0x21);
    t.bridge("0000:20:01.0", 0x22, 0x24);
    t.bridge("0000:20:03.0", 0x30, 0x30);  // behind a gap: never probed
    uint32_t first = 0, last = 0;
    ASSERT_EQ(derive_pcie_bus_scan_range("0000:20:00.0", &first, &last), 0);
    EXPECT_EQ(first, 0x21u);
    EXPECT_EQ(last, 0x24u);
    // No switch port at device 0 of the bus: empty range.
    EXPECT_EQ(derive_pcie_bus_scan_range("0000:21:00.0", &first, &last), -1);
    char out[NIC_IPC_BDF_SIZE];
    EXPECT_EQ(device_bdf_from_hub_bdf("0000:21:00.0", CARD_PCI_DEVICE_CORE, out), -1);
    EXPECT_EQ(derive_pcie_bus_scan_range("no-colon", &first, &last), -1);
    // Subordinate numbers that are all 0 do not make a range.
    t.bridge("0000:40:00.0", 0, 0);
    EXPECT_EQ(derive_pcie_bus_scan_range("0000:40:00.0", &first, &last), -1);
    // A range whose first bus lies above its last finds nothing.
    t.bridge("0000:50:00.0", 0x52, 0x51);
    EXPECT_EQ(device_bdf_from_hub_bdf("0000:50:00.0", CARD_PCI_DEVICE_CORE, out), -1);
    // A function with a vendor file but no device file; one of another vendor.
    write(t.devices() / "0000:21:00.0" / "vendor", "0x1ff7\n");
    uint32_t id = 0;
    EXPECT_EQ(nic_ipc_get_device_id_from_bdf("0000:21:00.0", &id), -5);
    write(t.devices() / "0000:21:00.1" / "vendor", "0x8086\n");
    EXPECT_EQ(nic_ipc_get_device_id_from_bdf("0000:21:00.1", &id), -4);
}

TEST(nic_ipc_dev, listing_is_bounded_and_fails_without_lspci)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    {
        emu_env emu(emu_cfg(3));
        EXPECT_EQ(nic_ipc_asic_pcie_device_id(), CARD_PCI_DEVICE_ASIC);
        // One address per bus, though each card has two switch ports.
        ASSERT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, NIC_IPC_MAX_CARDS), 3);
        EXPECT_STREQ(list[1], "0000:15:00.0");
        EXPECT_STREQ(list[2], "0000:25:00.0");
        EXPECT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, 2), 2);
        EXPECT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, 0x4242, list, 16), 0);
    }
    temp_dir empty;
    scoped_env path("PATH", empty.path().string());
    EXPECT_EQ(nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_ASIC, list, 16), -1);
    EXPECT_EQ(nic_ipc_asic_pcie_device_id(), CARD_PCI_DEVICE_ASIC_NONE);
    char serial[NIC_IPC_SERIAL_SIZE];
    EXPECT_EQ(card_serial_from_bdf("0000:06:00.1", serial), -1);
}

TEST(nic_ipc_dev, serial_and_uuid_convert_both_ways)
{
    char uuid[NIC_IPC_UUID_SIZE];
    card_uuid_from_serial("ABCDEFGHIJK", uuid);
    EXPECT_STREQ(uuid, "42424142-4344-4546-4748-494a4b000000");
    char serial[NIC_IPC_SERIAL_SIZE];
    ASSERT_EQ(card_serial_from_uuid(uuid, serial), 0);
    EXPECT_STREQ(serial, "ABCDEFGHIJK");
    for (const char *bad : {"41424142-4344-4546-4748-494a4b000000",   // no 4242 prefix
                            "42424142-4344-4546-4748-494a4b000001",   // no 000000 tail
                            "42424142-43zz-4546-4748-494a4b000000",   // not hex
                            "4242"}) {
        EXPECT_EQ(card_serial_from_uuid(bad, serial), -1) << bad;
    }
}

TEST(nic_ipc_dev, card_lookups_by_uuid_and_serial)
{
    emu_env emu(emu_cfg(2));
    char uuid[NIC_IPC_UUID_SIZE];
    card_uuid_from_serial("TLN24000101", uuid);
    char out[NIC_IPC_BDF_SIZE] = {};
    ASSERT_EQ(nic_ipc_card_bdf_from_uuid(uuid, out), 0);
    EXPECT_STREQ(out, "0000:15:00.0");
    ASSERT_EQ(nic_ipc_card_rsc_bdf_from_uuid(uuid, out), 0);
    EXPECT_STREQ(out, "0000:16:00.2");
    card_uuid_from_serial("TLN24999999", uuid);
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid(uuid, out), -1);
    EXPECT_EQ(nic_ipc_card_rsc_bdf_from_uuid(uuid, out), -1);
    EXPECT_EQ(nic_ipc_card_bdf_from_uuid("00000000-0000-0000-0000-000000000000", out), -1);

    nic_ipc_card_info_s info{};
    ASSERT_EQ(nic_ipc_get_card_info("0000:05:00.0", &info), 0);
    EXPECT_STREQ(info.serial, "TLN24000100");
    card_uuid_from_serial("TLN24000100", uuid);
    EXPECT_STREQ(info.uuid, uuid);

    // Only well-formed addresses reach the shell; unknown ones have no serial.
    temp_dir d;
    const fs::path marker = d.path() / "ran";
    char serial[NIC_IPC_SERIAL_SIZE];
    EXPECT_EQ(card_serial_from_bdf(("0000:06:00.1; touch " + marker.string()).c_str(), serial), -1);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(card_serial_from_bdf("$(reboot)", serial), -1);
    EXPECT_EQ(card_serial_from_bdf("0000:77:00.0", serial), -1);
    ASSERT_EQ(card_serial_from_bdf("0000:16:00.1", serial), 0);
    EXPECT_STREQ(serial, "TLN24000101");
}

TEST(nic_ipc_dev, long_sysfs_root_is_not_truncated)
{
    emu_env emu;
    temp_dir d;
    // A sysfs root far longer than any fixed path buffer would hold.
    fs::path deep = d.path();
    for (int i = 0; i < 12; ++i) {
        deep /= "a-rather-long-directory-name";
    }
    fs::create_directories(deep);
    fs::create_directory_symlink(emu.root() + "/sys", deep / "sys");
    scoped_env env("TALON_SYSFS_DIR", (deep / "sys").string());
    nic_ipc_card_device_info_s info{};
    nic_ipc_get_card_device_info("0000:05:00.0", &info);
    EXPECT_EQ(info.present, k_all_functions);
}
