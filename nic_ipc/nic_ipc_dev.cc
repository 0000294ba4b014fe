#include "nic_ipc/nic_ipc_dev.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/sys/env_roots.hpp"
#include "utils/sys/stdio_file.hpp"

namespace {

constexpr size_t k_line_size = 80;
constexpr unsigned k_max_switch_ports = 32;
// PCI bus numbers are 8 bits; anything larger is not a bus number (a
// function that vanished reads as all ones).
constexpr unsigned k_max_pci_bus = 0xFF;
constexpr size_t k_bus_prefix_len = 7;  // "dddd:bb"


std::string hex4_pair(uint16_t vendor, uint16_t device)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%04x:%04x", vendor, device);
    return buf;
}

// Reads one number with fmt ("%x" or "%d") from path. false when the file
// does not open or holds no number.
bool read_number(const std::string &path, const char *fmt, unsigned *out)
{
    utils::unique_file f = utils::open_file(path, "r");
    if (!f) {
        return false;
    }
    unsigned v = 0;
    if (std::fscanf(f.get(), fmt, &v) != 1) {
        return false;
    }
    *out = v;
    return true;
}

// Copies text into a fixed buffer of size bytes, truncating and always
// terminating.
void copy_bounded(char *out, size_t size, std::string_view text)
{
    std::memset(out, 0, size);
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
}

// In lspci's verbose output, the value on the first line that names a
// "Serial number" (the VPD keyword line "[SN] Serial number: VALUE"): the
// line's fourth blank-separated field, empty when it has fewer.
std::string_view serial_number_field(std::string_view output)
{
    constexpr std::string_view k_keyword = "Serial number";
    constexpr int k_value_field = 4;
    constexpr std::string_view k_blanks = " \t";
    const size_t at = output.find(k_keyword);
    if (at == std::string_view::npos) {
        return {};
    }
    const size_t newline = output.rfind('\n', at);
    const size_t begin = newline == std::string_view::npos ? 0 : newline + 1;
    std::string_view line = output.substr(begin, output.find('\n', at) - begin);
    for (int field = 1;; ++field) {
        const size_t start = line.find_first_not_of(k_blanks);
        if (start == std::string_view::npos) {
            return {};
        }
        line.remove_prefix(start);
        const size_t end = std::min(line.find_first_of(k_blanks), line.size());
        if (field == k_value_field) {
            return line.substr(0, end);
        }
        line.remove_prefix(end);
    }
}

bool copy_path(char *out, const std::string &path)
{
    if (path.size() >= NIC_IPC_PATH_SIZE) {
        return false;
    }
    std::memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

// First entry of dir whose name contains needle.
bool find_dir_entry(const std::string &dir, const char *needle, std::string *name)
{
    std::unique_ptr<DIR, int (*)(DIR *)> d(::opendir(dir.c_str()), &::closedir);
    if (!d) {
        return false;
    }
    while (dirent *e = ::readdir(d.get())) {
        if (std::strstr(e->d_name, needle)) {
            *name = e->d_name;
            return true;
        }
    }
    return false;
}

// Serial number -> function address for every listed function.
std::unordered_map<std::string, std::string> serial_map(char (*list)[NIC_IPC_BDF_SIZE], int count)
{
    std::unordered_map<std::string, std::string> map;
    for (int i = 0; i < count; ++i) {
        char serial[NIC_IPC_SERIAL_SIZE];
        if (card_serial_from_bdf(list[i], serial) == 0) {
            map[serial] = list[i];
        }
    }
    return map;
}

}  // namespace

std::string nic_ipc_sysfs_devices_dir()
{
    return utils::sysfs_root() + "/bus/pci/devices/";
}

std::string nic_ipc_sysfs_drivers_dir()
{
    return utils::sysfs_root() + "/bus/pci/drivers/";
}

bool nic_ipc_bdf_format_ok(const char *bdf)
{
    static constexpr std::string_view k_shape = "xxxx:xx:xx.x";
    if (bdf == nullptr || std::strlen(bdf) != k_shape.size()) {
        return false;
    }
    for (size_t i = 0; i < k_shape.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bdf[i]);
        if (k_shape[i] == 'x' ? !std::isxdigit(c) : c != static_cast<unsigned char>(k_shape[i])) {
            return false;
        }
    }
    return true;
}

bool is_card_vendor_device(const char *bdf)
{
    unsigned vendor = 0;
    return read_number(nic_ipc_sysfs_devices_dir() + bdf + "/vendor", "%x", &vendor) &&
           vendor == CARD_PCI_VENDOR_ID;
}

int nic_ipc_get_device_id_from_bdf(const char *bdf, uint32_t *device_id)
{
    if (!is_card_vendor_device(bdf)) {
        return -4;
    }
    unsigned id = 0;
    if (!read_number(nic_ipc_sysfs_devices_dir() + bdf + "/device", "%x", &id)) {
        return -5;
    }
    *device_id = id;
    return 0;
}

int derive_pcie_bus_scan_range(const char *card_bdf, uint32_t *first_bus, uint32_t *last_bus)
{
    std::string_view addr(card_bdf ? card_bdf : "");
    size_t c1 = addr.find(':');
    if (c1 == std::string_view::npos) {
        return -1;
    }
    size_t c2 = addr.find(':', c1 + 1);
    std::string domain(addr.substr(0, c1));
    std::string bus(addr.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos : c2 - c1 - 1));

    const std::string devices = nic_ipc_sysfs_devices_dir();
    bool have_secondary = false;
    bool have_subordinate = false;
    uint32_t first = UINT32_MAX;
    uint32_t last = 0;
    for (unsigned d = 0; d < k_max_switch_ports; ++d) {
        char port[16];
        std::snprintf(port, sizeof(port), ":%02x.0", d);
        std::string base = devices + domain + ":" + bus + port;
        unsigned secondary = 0;
        unsigned subordinate = 0;
        if (!read_number(base + "/secondary_bus_number", "%u", &secondary) || secondary > k_max_pci_bus) {
            break;
        }
        have_secondary = true;
        if (secondary < first) {
            first = secondary;
        }
        if (!read_number(base + "/subordinate_bus_number", "%u", &subordinate) || subordinate > k_max_pci_bus) {
            break;
        }
        if (subordinate > 0) {
            have_subordinate = true;
        }
        if (subordinate > last) {
            last = subordinate;
        }
    }
    if (!have_secondary || !have_subordinate) {
        return -1;
    }
    *first_bus = first;
    *last_bus = last;
    return 0;
}

int device_bdf_from_hub_bdf(const char *card_bdf, uint32_t device_id, char *out)
{
    uint32_t first = 0;
    uint32_t last = 0;
    if (derive_pcie_bus_scan_range(card_bdf, &first, &last) != 0) {
        return -1;
    }
    const char *colon = std::strchr(card_bdf, ':');
    if (colon == nullptr || first > last) {
        return -1;
    }
    std::string domain(card_bdf, static_cast<size_t>(colon - card_bdf));
    const std::string devices = nic_ipc_sysfs_devices_dir();
    for (uint32_t b = first; b <= last; ++b) {
        char tail[64];
        std::snprintf(tail, sizeof(tail), "%4s:%02x:*", domain.c_str(), b);
        std::string pattern = devices + "/" + tail;
        glob_t g{};
        if (::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                const char *slash = std::strrchr(g.gl_pathv[i], '/');
                const char *name = slash ? slash + 1 : g.gl_pathv[i];
                unsigned id = 0;
                if (!read_number(devices + name + "/device", "%x", &id)) {
                    continue;
                }
                if (id == device_id) {
                    copy_bounded(out, NIC_IPC_BDF_SIZE, name);
                    ::globfree(&g);
                    return 0;
                }
            }
        }
        ::globfree(&g);
    }
    return -1;
}

int nic_ipc_tern_core_bdf_from_card_bdf(const char *card_bdf, char *out)
{
    return device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_CORE, out);
}

int nic_fwctl_device_path_from_hub_bdf(const char *bdf, char *out)
{
    uint32_t id = 0;
    if (nic_ipc_get_device_id_from_bdf(bdf, &id) != 0) {
        return -5;
    }
    char core[NIC_IPC_BDF_SIZE] = {};
    if (id == CARD_PCI_DEVICE_CORE) {
        copy_bounded(core, sizeof(core), bdf);
    } else {
        int rc = device_bdf_from_hub_bdf(bdf, CARD_PCI_DEVICE_CORE, core);
        if (rc != 0) {
            return rc;
        }
    }
    std::string name;
    if (!find_dir_entry(nic_ipc_sysfs_drivers_dir() + "/tern_core/" + core + "/fwctl", "fwctl", &name)) {
        return -1;
    }
    return copy_path(out, utils::dev_root() + "/fwctl/" + name) ? 0 : -1;
}

int nic_tawk_device_path_from_hub_bdf(const char *card_bdf, char *out)
{
    char tawk[NIC_IPC_BDF_SIZE] = {};
    int rc = device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_TAWK, tawk);
    if (rc != 0) {
        return rc;
    }
    std::string name;
    if (!find_dir_entry(nic_ipc_sysfs_drivers_dir() + "/tawk_ipc/" + tawk + "/misc", "tawkipcdev", &name)) {
        return -1;
    }
    return copy_path(out, utils::dev_root() + "/" + name) ? 0 : -1;
}

uint16_t nic_ipc_asic_pcie_device_id()
{
    for (uint16_t id : {CARD_PCI_DEVICE_ASIC, CARD_PCI_DEVICE_ASIC_ALT}) {
        utils::command_pipe p(std::vector<std::string>{"lspci", "-Dn", "-d", hex4_pair(CARD_PCI_VENDOR_ID, id)});
        char line[k_line_size];
        if (p.ok() && p.read_line(line, sizeof(line))) {
            return id;
        }
    }
    return CARD_PCI_DEVICE_ASIC_NONE;
}

int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device,
                              char (*out)[NIC_IPC_BDF_SIZE], uint8_t max)
{
    utils::command_pipe p(std::vector<std::string>{"lspci", "-Dn", "-d", hex4_pair(vendor, device)});
    if (!p.ok()) {
        return -1;
    }
    int count = 0;
    char line[k_line_size];
    while (count < max && p.read_line(line, sizeof(line))) {
        line[std::strcspn(line, " \t\n")] = '\0';
        if (line[0] == '\0') {
            continue;
        }
        if (count > 0 && std::strncmp(line, out[count - 1], k_bus_prefix_len) == 0) {
            continue;
        }
        copy_bounded(out[count], NIC_IPC_BDF_SIZE, line);
        ++count;
    }
    if (!p.close()) {
        return -1;
    }
    return count;
}

int card_serial_from_bdf(const char *bdf, char *serial)
{
    std::memset(serial, 0, NIC_IPC_SERIAL_LEN);
    // Only well-formed addresses ever reach the shell.
    if (!nic_ipc_bdf_format_ok(bdf)) {
        return -1;
    }
    // lspci runs on its own, not in a shell pipeline with grep and awk: one
    // process per lookup instead of four.
    utils::command_pipe p(std::vector<std::string>{"lspci", "-s", bdf, "-vvv"});
    if (!p.ok()) {
        return -1;
    }
    std::string output;
    char chunk[k_line_size];
    while (p.read_line(chunk, sizeof(chunk))) {
        output += chunk;
    }
    // Its output decides, not its exit status.
    p.close();
    const std::string_view value = serial_number_field(output);
    if (value.empty()) {
        return -1;
    }
    copy_bounded(serial, NIC_IPC_SERIAL_SIZE, value);
    return 0;
}

std::string nic_ipc_uuid_text(const std::array<uint8_t, 16> &b)
{
    char text[37];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                  b[13], b[14], b[15]);
    return text;
}

void card_uuid_from_serial(const char *serial, char *uuid)
{
    std::array<uint8_t, 16> bytes{0x42, 0x42};
    std::memcpy(&bytes[2], serial, NIC_IPC_SERIAL_LEN);
    copy_bounded(uuid, NIC_IPC_UUID_SIZE, nic_ipc_uuid_text(bytes));
}

int card_serial_from_uuid(const char *uuid, char *serial)
{
    std::string_view u(uuid ? uuid : "");
    if (u.size() < 36 || u.substr(0, 4) != "4242" || u.substr(30, 6) != "000000") {
        return -1;
    }
    std::memset(serial, 0, NIC_IPC_SERIAL_SIZE);
    std::string hex;
    for (char c : u.substr(4)) {
        if (c != '-') {
            hex += c;
        }
    }
    hex.resize(std::min<size_t>(hex.size(), 2 * NIC_IPC_SERIAL_LEN));
    size_t n = 0;
    for (size_t i = 0; i + 1 < hex.size() && n < NIC_IPC_SERIAL_LEN; i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            std::memset(serial, 0, NIC_IPC_SERIAL_SIZE);
            return -1;
        }
        serial[n++] = static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    serial[NIC_IPC_SERIAL_LEN] = '\0';
    return 0;
}

int nic_ipc_get_card_device_info(const char *card_bdf, nic_ipc_card_device_info_s *info)
{
    if (device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_RSC, info->rsc_bdf) == 0) {
        info->present |= CARD_DEV_RSC;
    }
    if (device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_F1002, info->f1002_bdf) == 0) {
        info->present |= CARD_DEV_F1002;
    }
    if (device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_F1003, info->f1003_bdf) == 0) {
        info->present |= CARD_DEV_F1003;
    }
    if (device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_TAWK, info->tawk_bdf) == 0 &&
        nic_tawk_device_path_from_hub_bdf(card_bdf, info->tawk_dev_path) == 0) {
        info->present |= CARD_DEV_TAWK;
    }
    if (device_bdf_from_hub_bdf(card_bdf, CARD_PCI_DEVICE_CORE, info->core_bdf) == 0 &&
        nic_fwctl_device_path_from_hub_bdf(card_bdf, info->fwctl_dev_path) == 0) {
        info->present |= CARD_DEV_CORE;
    }
    return 0;
}

int nic_ipc_get_card_info(const char *card_bdf, nic_ipc_card_info_s *info)
{
    nic_ipc_get_card_device_info(card_bdf, &info->dev_info);
    const nic_ipc_card_device_info_s &d = info->dev_info;
    // No function to read the serial number from: no card at this address,
    // not a card whose UUID is all zeros.
    if ((d.present & (CARD_DEV_TAWK | CARD_DEV_CORE)) == 0) {
        return -1;
    }
    const char *fn = (d.present & CARD_DEV_TAWK) ? d.tawk_bdf : d.core_bdf;
    if (card_serial_from_bdf(fn, info->serial) != 0) {
        return -1;
    }
    card_uuid_from_serial(info->serial, info->uuid);
    return 0;
}

// Of the functions in `list`, the one that belongs to the card with `uuid`
// (matched through the serial number the UUID encodes). 0 or -1.
static int function_of_card_uuid(const char *uuid, char (*list)[NIC_IPC_BDF_SIZE], int n, std::string *out)
{
    auto serials = serial_map(list, n);
    char serial[NIC_IPC_SERIAL_SIZE];
    if (card_serial_from_uuid(uuid, serial) != 0) {
        return -1;
    }
    auto it = serials.find(serial);
    if (it == serials.end()) {
        return -1;
    }
    *out = it->second;
    return 0;
}

int nic_ipc_card_bdf_from_uuid(const char *uuid, char *out)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    int n = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_TAWK, list, NIC_IPC_MAX_CARDS);
    if (n <= 0) {
        n = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_CORE, list, NIC_IPC_MAX_CARDS);
    }
    if (n <= 0) {
        return -1;
    }
    std::string mgmt;
    if (function_of_card_uuid(uuid, list, n, &mgmt) != 0) {
        return -1;
    }

    char cards[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    int nc = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, nic_ipc_asic_pcie_device_id(), cards,
                                       NIC_IPC_MAX_CARDS);
    for (int i = 0; i < nc; ++i) {
        char fn[NIC_IPC_BDF_SIZE] = {};
        if (device_bdf_from_hub_bdf(cards[i], CARD_PCI_DEVICE_TAWK, fn) != 0 &&
            device_bdf_from_hub_bdf(cards[i], CARD_PCI_DEVICE_CORE, fn) != 0) {
            continue;
        }
        if (std::strncmp(fn, mgmt.c_str(), NIC_IPC_BDF_SIZE - 1) == 0) {
            copy_bounded(out, NIC_IPC_BDF_SIZE, cards[i]);
            return 0;
        }
    }
    return -1;
}

int nic_ipc_card_rsc_bdf_from_uuid(const char *uuid, char *out)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    int n = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, CARD_PCI_DEVICE_RSC, list, NIC_IPC_MAX_CARDS);
    if (n <= 0) {
        return -1;
    }
    std::string rsc;
    if (function_of_card_uuid(uuid, list, n, &rsc) != 0) {
        return -1;
    }
    copy_bounded(out, NIC_IPC_BDF_SIZE - 1, rsc);
    return 0;
}
