// Finding a card's PCI functions, its management device nodes, its serial
// number and UUID, from PCI sysfs (under ${TALON_SYSFS_DIR:-/sys}) and the
// lspci tool. Stateless free functions; 0 on success, negative on failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// PCI vendor ID that every function of a card carries.
inline constexpr uint16_t CARD_PCI_VENDOR_ID = 0x1ff7;

// PCI device IDs of a card's functions.
inline constexpr uint16_t CARD_PCI_DEVICE_ASIC = 0x1478;      // switch ports, first choice
inline constexpr uint16_t CARD_PCI_DEVICE_ASIC_ALT = 0x000C;  // switch ports, second choice
inline constexpr uint16_t CARD_PCI_DEVICE_ASIC_NONE = 0x1001; // neither listed
inline constexpr uint16_t CARD_PCI_DEVICE_CORE = 0x100C;      // tern_core, fwctl device
inline constexpr uint16_t CARD_PCI_DEVICE_TAWK = 0x1012;      // tawk_ipc device
inline constexpr uint16_t CARD_PCI_DEVICE_RSC = 0x100F;       // resource function
inline constexpr uint16_t CARD_PCI_DEVICE_F1002 = 0x1002;
inline constexpr uint16_t CARD_PCI_DEVICE_F1003 = 0x1003;

inline constexpr size_t NIC_IPC_BDF_SIZE = 33;     // 32 characters + NUL
inline constexpr size_t NIC_IPC_SERIAL_SIZE = 12;  // 11 characters + NUL
inline constexpr size_t NIC_IPC_SERIAL_LEN = 11;
inline constexpr size_t NIC_IPC_UUID_SIZE = 37;    // 36 characters + NUL
inline constexpr size_t NIC_IPC_PATH_SIZE = 4096;
inline constexpr uint8_t NIC_IPC_MAX_CARDS = 16;

inline constexpr uint32_t CARD_DEV_RSC = 0x01;
inline constexpr uint32_t CARD_DEV_TAWK = 0x02;
inline constexpr uint32_t CARD_DEV_CORE = 0x04;
inline constexpr uint32_t CARD_DEV_F1002 = 0x08;
inline constexpr uint32_t CARD_DEV_F1003 = 0x10;

struct nic_ipc_card_device_info_s {
    uint32_t present;
    char rsc_bdf[NIC_IPC_BDF_SIZE];
    char tawk_bdf[NIC_IPC_BDF_SIZE];
    char core_bdf[NIC_IPC_BDF_SIZE];
    char f1002_bdf[NIC_IPC_BDF_SIZE];
    char f1003_bdf[NIC_IPC_BDF_SIZE];
    char tawk_dev_path[NIC_IPC_PATH_SIZE];
    char fwctl_dev_path[NIC_IPC_PATH_SIZE];
};

struct nic_ipc_card_info_s {
    char uuid[NIC_IPC_UUID_SIZE];
    char serial[NIC_IPC_SERIAL_SIZE];
    nic_ipc_card_device_info_s dev_info;
};

// PCI sysfs folders under utils::sysfs_root(), read on every call.
std::string nic_ipc_sysfs_devices_dir();    // root + "/bus/pci/devices/"
std::string nic_ipc_sysfs_drivers_dir();    // root + "/bus/pci/drivers/"

// True for text of the form dddd:bb:dd.f (hex digits, either case).
bool nic_ipc_bdf_format_ok(const char *bdf);

// Device ID of the cards' switch ports: 0x1478 or 0x000C as listed by
// lspci, else 0x1001.
uint16_t nic_ipc_asic_pcie_device_id();

// Lists functions vendor:device with lspci, one address per bus, at most max
// entries into out. Returns the count, or -1 (lspci failed).
int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device,
                              char (*out)[NIC_IPC_BDF_SIZE], uint8_t max);

// 0; -4 when bdf is not a function of CARD_PCI_VENDOR_ID; -5 when its
// device file cannot be read.
int nic_ipc_get_device_id_from_bdf(const char *bdf, uint32_t *device_id);

// Bus range behind the card's switch ports. 0 or -1.
int derive_pcie_bus_scan_range(const char *card_bdf, uint32_t *first_bus, uint32_t *last_bus);

// The card's function with device_id, into out (NIC_IPC_BDF_SIZE bytes).
int device_bdf_from_hub_bdf(const char *card_bdf, uint32_t device_id, char *out);
int nic_ipc_tern_core_bdf_from_card_bdf(const char *card_bdf, char *out);

// Device node paths, into out (NIC_IPC_PATH_SIZE bytes).
// fwctl: 0, -5 (the address's own device ID unreadable) or -1.
int nic_fwctl_device_path_from_hub_bdf(const char *bdf, char *out);
int nic_tawk_device_path_from_hub_bdf(const char *card_bdf, char *out);

// Always 0; info->present tells which functions were found. The caller
// zeroes info first.
int nic_ipc_get_card_device_info(const char *card_bdf, nic_ipc_card_device_info_s *info);

// 0 or -1. The caller zeroes info first.
int nic_ipc_get_card_info(const char *card_bdf, nic_ipc_card_info_s *info);

// Card address (out: NIC_IPC_BDF_SIZE bytes) for a card UUID. 0 or -1.
int nic_ipc_card_bdf_from_uuid(const char *uuid, char *out);

// Resource-function address for a card UUID into out (32 bytes; at most 31
// characters and a NUL). 0 or -1.
int nic_ipc_card_rsc_bdf_from_uuid(const char *uuid, char *out);

// Helpers of the above, public for their callers' tests.
bool is_card_vendor_device(const char *bdf);
int card_serial_from_bdf(const char *bdf, char *serial);          // serial: 12 bytes
int card_serial_from_uuid(const char *uuid, char *serial);        // serial: 12 bytes
void card_uuid_from_serial(const char *serial, char *uuid);       // uuid: 37 bytes

// UUID text of 16 raw bytes in byte order: lowercase hex, dashes after the
// 4th, 6th, 8th and 10th byte (36 characters).
std::string nic_ipc_uuid_text(const std::array<uint8_t, 16> &bytes);
