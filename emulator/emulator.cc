#include "emulator/emulator.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "emulator/emu_card_ctl.hpp"
#include "emulator/emu_counter_layout.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/unique_fd.hpp"

namespace fs = std::filesystem;
using ipc_wire::get_le;
using ipc_wire::put_le;

namespace talon_emu {

namespace {

constexpr const char *k_ctl_socket = "ctl.sock";
constexpr size_t k_max_msg = 2 * FWCTL_SOCK_MAX_PAYLOAD;
constexpr uint32_t k_status_ok = 0;
constexpr uint32_t k_status_not_found = 4;     // sdk entry not found
constexpr uint32_t k_transport_eio = 5;
constexpr uint32_t k_transport_einval = 22;
constexpr uint32_t k_transport_enotsup = 95;
constexpr uint16_t k_lif_cursor_none = 0xFFFF;
constexpr uint16_t k_first_lif_id = 0x401;
constexpr size_t k_lif_name_field = 78;
constexpr uint32_t k_pci_class_bridge = 0x060400;
constexpr uint32_t k_pci_class_ethernet = 0x020000;
constexpr uint32_t k_pci_class_other = 0x120000;
constexpr size_t k_config_space_size = 256;

// ---- firmware command table -------------------------------------------

enum cmd_e : unsigned { DEVICE_INFO, HEARTBEAT, PORT_INFO_GET, PORT_IFINDEX_GET, P4_PORT_STATS, LIF_GET_ALL, k_cmd_count };

struct cmd_def_s {
    const char *name;
    uint32_t ep;
    uint32_t op;
    size_t rsp_len;
};

constexpr cmd_def_s k_cmds[k_cmd_count] = {
    {"DEVICE_INFO", 0x13, 0x10001, 388},
    {"HEARTBEAT", 0x13, 0x10000, 16},
    {"PORT_INFO_GET", 0x11, 0x10000, 928},
    {"PORT_IFINDEX_GET", 0x11, 0x1000B, 52},
    {"P4_PORT_STATS_MEM_RE_INFO_GET", 0x11, 0x1001B, 24},
    {"LIF_GET_ALL", 0x12, 0x10001, 152},
};

enum class fault_e { ok, status, transport, short_rsp };
struct fault_s {
    fault_e mode = fault_e::ok;
    uint32_t value = 0;
};

enum class heartbeat_e { ok, fail, mismatch };

// ---- files ----------------------------------------------------------------

void write_file(const fs::path &p, const std::string &content)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) {
        throw std::runtime_error("cannot write " + p.string());
    }
}

void write_atomic(const fs::path &p, const std::string &content)
{
    fs::path tmp = p;
    tmp += ".tmp";
    write_file(tmp, content);
    fs::rename(tmp, p);
}

std::string hex_attr(uint32_t v, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%0*x\n", width, v);
    return buf;
}

std::string bdf_text(unsigned bus, unsigned dev, unsigned fn)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0000:%02x:%02x.%x", bus, dev, fn);
    return buf;
}

std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string json_escape(const std::string &s)
{
    std::string o;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof(b), "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o;
}

std::string uuid_text(const std::array<uint8_t, 16> &b)
{
    char t[40];
    std::snprintf(t, sizeof(t), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return t;
}

// Vital product data with the product name and the serial number, in the
// PCI VPD resource format the kernel exposes as the "vpd" attribute.
std::string make_vpd(const std::string &serial)
{
    const std::string product = "TALON emulated card";
    std::string v;
    v += static_cast<char>(0x82);
    v += static_cast<char>(product.size() & 0xFF);
    v += static_cast<char>(product.size() >> 8);
    v += product;
    std::string ro;
    ro += "SN";
    ro += static_cast<char>(serial.size());
    ro += serial;
    ro += "RV";
    ro += static_cast<char>(1);
    ro += '\0';
    v += static_cast<char>(0x90);
    v += static_cast<char>(ro.size() & 0xFF);
    v += static_cast<char>(ro.size() >> 8);
    v += ro;
    v += static_cast<char>(0x78);
    return v;
}

using utils::unique_fd;

// The first size bytes of a file, mapped shared read-write.
utils::mapped_file map_file(const fs::path &p, size_t size)
{
    unique_fd fd = utils::open_fd(p, O_RDWR);
    if (!fd) {
        throw std::runtime_error("cannot open " + p.string() + ": " + std::strerror(errno));
    }
    utils::mapped_file m;
    if (!m.map(fd.get(), size)) {
        throw std::runtime_error("cannot map " + p.string() + ": " + std::strerror(errno));
    }
    return m;
}

uint64_t *mem_word(const utils::mapped_file &m, uint64_t off)
{
    return reinterpret_cast<uint64_t *>(m.data() + off);
}

sockaddr_un socket_address(const fs::path &p)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string s = p.string();
    if (s.size() >= sizeof(a.sun_path)) {
        throw std::runtime_error("socket path too long (" + std::to_string(s.size()) + " bytes, at most " +
                                 std::to_string(sizeof(a.sun_path) - 1) + "): " + s);
    }
    std::memcpy(a.sun_path, s.c_str(), s.size() + 1);
    return a;
}

unique_fd listen_seqpacket(const fs::path &p)
{
    sockaddr_un a = socket_address(p);
    ::unlink(p.c_str());
    unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0 ||
        ::listen(fd.get(), 64) < 0) {
        throw std::runtime_error("cannot listen on " + p.string() + ": " + std::strerror(errno));
    }
    return fd;
}

std::optional<uint64_t> parse_number(const std::string &s)
{
    if (s.empty()) {
        return std::nullopt;
    }
    try {
        size_t pos = 0;
        int base = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10;
        if (s[0] == '-' || s[0] == '+') {
            return std::nullopt;
        }
        uint64_t v = std::stoull(s, &pos, base);
        if (pos != s.size()) {
            return std::nullopt;
        }
        return v;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// ---- card model -----------------------------------------------------------

struct lif_s {
    uint16_t lif_id;
    std::string name;
    std::array<uint8_t, 16> uuid;
};

struct counter_s {
    uint64_t offset;  // in resource2
    uint64_t rate;    // added every period
    bool fixed = false;
};

enum class fn_kind_e { bridge, core, tawk, rsc, f1002, f1003 };

struct function_s {
    std::string bdf;
    uint16_t device;
    fn_kind_e kind;
};

struct card_s {
    unsigned index = 0;
    unsigned bus = 0;
    std::string serial;
    std::array<uint8_t, 6> mac{};
    std::vector<uint32_t> ports;
    std::vector<lif_s> lifs;
    std::vector<function_s> functions;
    std::array<fault_s, k_cmd_count> faults{};
    heartbeat_e heartbeat = heartbeat_e::ok;
    card_ctl ctl;  // CPLD, sensors, FRU and QSFP cages
    bool plugged = true;
    utils::mapped_file mem;
    std::vector<counter_s> counters;
    // listening device sockets: tawk, tawk alias (card 0), fwctl
    unique_fd tawk_listen;
    unique_fd tawk_alias_listen;
    unique_fd fwctl_listen;

    std::string addr() const { return functions.front().bdf; }
};

uint64_t counter_rate(unsigned card, bool port, size_t entity, size_t counter)
{
    return 1 + card * 4099 + (port ? 2048 : 0) + entity * 16 + counter;
}

enum class conn_kind_e { tawk, fwctl, ctl };

struct conn_s {
    unique_fd fd;
    conn_kind_e kind;
    unsigned card;
};

// This executable when it is talon-emu, else the one built with this library.
std::string default_tool_exe()
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && self.filename() == "talon-emu") {
        return self.string();
    }
    return TALON_EMU_EXE;
}

}  // namespace

// ---- emulator ---------------------------------------------------------------

struct emulator::impl {
    config_s cfg;
    fs::path root;
    std::vector<card_s> cards;
    std::mutex mtx;  // guards cards' counters and memory
    std::condition_variable cv;
    bool stopping = false;
    bool started = false;
    unique_fd wake;
    unique_fd ctl_listen;
    std::vector<conn_s> conns;
    std::thread io_thread;
    std::thread counter_thread;

    fs::path sys_devices() const { return root / "sys/bus/pci/devices"; }
    fs::path sys_drivers() const { return root / "sys/bus/pci/drivers"; }
    fs::path dev_dir() const { return root / "dev"; }
    fs::path parked(const card_s &c) const { return root / ".unplugged" / std::to_string(c.index); }
    bool has_tawk() const { return cfg.transport != transport_e::fwctl; }
    bool has_fwctl() const { return cfg.transport != transport_e::tawk; }

    std::string tawk_node(const card_s &c) const { return "tawkipcdev" + std::to_string(c.index); }
    std::string fwctl_node(const card_s &c) const { return "fwctl" + std::to_string(c.index); }

    void build_cards();
    void layout();
    void layout_card(card_s &c);
    void link_drivers(const card_s &c, bool link);
    void open_card_sockets(card_s &c);
    void close_card_sockets(card_s &c);
    void rebuild_counters(card_s &c);
    void write_cards_json();
    void write_tools();
    void io_loop();
    void counter_loop();
    bool serve_tawk(conn_s &c);
    bool serve_fwctl(conn_s &c);
    bool serve_ctl(conn_s &c);
    void firmware(card_s &c, uint32_t ep, uint32_t op, const uint8_t *req, size_t req_len, uint32_t *transport,
                  std::vector<uint8_t> *rsp);
    std::string command(const std::string &line, bool *ok);
    card_s *find_card(const std::string &id);
    void remove_sockets();
};

void emulator::impl::build_cards()
{
    cards.resize(cfg.cards);
    for (unsigned i = 0; i < cfg.cards; ++i) {
        card_s &c = cards[i];
        c.index = i;
        c.bus = k_first_bus + i * k_bus_stride;
        char serial[16];
        std::snprintf(serial, sizeof(serial), "TLN24%06u", 100 + i);
        c.serial = serial;
        c.ctl = card_ctl(i, c.serial);
        c.mac = {0x02, 0x54, 0x4c, 0x4e, static_cast<uint8_t>(i), 0x00};
        for (unsigned p = 0; p < cfg.ports; ++p) {
            c.ports.push_back(0x11000000u | ((p + 1) << 16));
        }
        for (unsigned l = 0; l < cfg.lifs; ++l) {
            lif_s lif;
            lif.lif_id = static_cast<uint16_t>(k_first_lif_id + l);
            lif.name = "rdma" + std::to_string(l);
            lif.uuid = {0x4c, 0x49, 0x46, 0x00, static_cast<uint8_t>(i), 0x00, 0x40, 0x00,
                        0x80, 0x00, 0x02, 0x54, 0x4c, 0x4e, static_cast<uint8_t>(l >> 8),
                        static_cast<uint8_t>(l)};
            c.lifs.push_back(lif);
        }
        const unsigned fb = c.bus + 1;
        c.functions = {
            {bdf_text(c.bus, 0, 0), CARD_PCI_DEVICE_ASIC, fn_kind_e::bridge},
            {bdf_text(c.bus, 1, 0), CARD_PCI_DEVICE_ASIC, fn_kind_e::bridge},
            {bdf_text(fb, 0, 0), CARD_PCI_DEVICE_CORE, fn_kind_e::core},
            {bdf_text(fb, 0, 1), CARD_PCI_DEVICE_TAWK, fn_kind_e::tawk},
            {bdf_text(fb, 0, 2), CARD_PCI_DEVICE_RSC, fn_kind_e::rsc},
            {bdf_text(fb + 1, 0, 0), CARD_PCI_DEVICE_F1002, fn_kind_e::f1002},
            {bdf_text(fb + 1, 0, 1), CARD_PCI_DEVICE_F1003, fn_kind_e::f1003},
        };
    }
}

void emulator::impl::layout_card(card_s &c)
{
    for (size_t fi = 0; fi < c.functions.size(); ++fi) {
        const function_s &f = c.functions[fi];
        fs::path d = sys_devices() / f.bdf;
        fs::create_directories(d);
        write_file(d / "vendor", hex_attr(CARD_PCI_VENDOR_ID, 4));
        write_file(d / "device", hex_attr(f.device, 4));
        uint32_t cls = f.kind == fn_kind_e::bridge ? k_pci_class_bridge
                       : f.kind == fn_kind_e::core ? k_pci_class_ethernet
                                                    : k_pci_class_other;
        write_file(d / "class", hex_attr(cls, 6));
        std::string config(k_config_space_size, '\0');
        put_le<uint16_t>(reinterpret_cast<uint8_t *>(config.data()), CARD_PCI_VENDOR_ID);
        put_le<uint16_t>(reinterpret_cast<uint8_t *>(config.data()) + 2, f.device);
        write_file(d / "config", config);
        if (f.kind == fn_kind_e::bridge) {
            // Switch port d leads to the bus of the function group d.
            const unsigned sec = c.bus + 1 + static_cast<unsigned>(fi);
            write_file(d / "secondary_bus_number", std::to_string(sec) + "\n");
            write_file(d / "subordinate_bus_number", std::to_string(sec) + "\n");
            continue;
        }
        write_file(d / "vpd", make_vpd(c.serial));
        if (f.kind == fn_kind_e::core && has_fwctl()) {
            fs::create_directories(d / "fwctl" / fwctl_node(c));
        }
        if (f.kind == fn_kind_e::tawk && has_tawk()) {
            fs::create_directories(d / "misc" / tawk_node(c));
        }
        if (f.kind == fn_kind_e::rsc) {
            std::string map(k_rsc_map_size, '\0');
            auto *m = reinterpret_cast<uint8_t *>(map.data());
            put_le<uint32_t>(m + 0, k_rsc_map_magic);
            put_le<uint32_t>(m + 4, k_rsc_map_version);
            put_le<uint32_t>(m + 12, 0);  // sub-ASIC number
            put_le<uint64_t>(m + 16, k_reg_window_base);
            put_le<uint64_t>(m + 24, k_mem_window_base);
            write_file(d / "resource4", map);
            write_file(d / "resource0", "");
            fs::resize_file(d / "resource0", k_reg_window_size);
            write_file(d / "resource2", "");
            fs::resize_file(d / "resource2", k_mem_window_size);
            c.mem = map_file(d / "resource2", k_mem_window_size);
        }
    }
}

void emulator::impl::link_drivers(const card_s &c, bool link)
{
    for (const function_s &f : c.functions) {
        const char *drv = nullptr;
        if (f.kind == fn_kind_e::core && has_fwctl()) {
            drv = "tern_core";
        } else if (f.kind == fn_kind_e::tawk && has_tawk()) {
            drv = "tawk_ipc";
        }
        if (!drv) {
            continue;
        }
        fs::path l = sys_drivers() / drv / f.bdf;
        std::error_code ec;
        fs::remove(l, ec);
        if (link) {
            fs::create_directory_symlink(fs::path("../../devices") / f.bdf, l);
        }
    }
}

void emulator::impl::open_card_sockets(card_s &c)
{
    if (has_tawk()) {
        c.tawk_listen = listen_seqpacket(dev_dir() / tawk_node(c));
        if (c.index == 0) {
            c.tawk_alias_listen = listen_seqpacket(dev_dir() / "tawkipcdev");
        }
    }
    if (has_fwctl()) {
        c.fwctl_listen = listen_seqpacket(dev_dir() / "fwctl" / fwctl_node(c));
    }
}

void emulator::impl::close_card_sockets(card_s &c)
{
    std::error_code ec;
    if (c.tawk_listen.get() >= 0) {
        fs::remove(dev_dir() / tawk_node(c), ec);
    }
    if (c.tawk_alias_listen.get() >= 0) {
        fs::remove(dev_dir() / "tawkipcdev", ec);
    }
    if (c.fwctl_listen.get() >= 0) {
        fs::remove(dev_dir() / "fwctl" / fwctl_node(c), ec);
    }
    c.tawk_listen.reset();
    c.tawk_alias_listen.reset();
    c.fwctl_listen.reset();
    std::erase_if(conns, [&](const conn_s &k) { return k.kind != conn_kind_e::ctl && k.card == c.index; });
}

void emulator::impl::rebuild_counters(card_s &c)
{
    std::vector<counter_s> next;
    auto keep_fixed = [&](counter_s k) {
        for (const counter_s &old : c.counters) {
            if (old.offset == k.offset) {
                k.fixed = old.fixed;
            }
        }
        return k;
    };
    for (size_t p = 0; p < c.ports.size(); ++p) {
        for (size_t i = 0; i < k_port_counter_layout.size(); ++i) {
            uint64_t off = k_port_region_offset + p * k_port_stats_stride + k_port_counter_layout[i].offset;
            next.push_back(keep_fixed({off, counter_rate(c.index, true, p, i)}));
        }
    }
    for (size_t l = 0; l < c.lifs.size(); ++l) {
        for (size_t i = 0; i < k_lif_counter_layout.size(); ++i) {
            uint64_t off = k_lif_region_offset + l * k_lif_stats_stride + k_lif_counter_layout[i].offset;
            next.push_back(keep_fixed({off, counter_rate(c.index, false, l, i)}));
        }
    }
    c.counters = std::move(next);
}

void emulator::impl::write_cards_json()
{
    std::ostringstream o;
    o << "[";
    for (size_t i = 0; i < cards.size(); ++i) {
        const card_s &c = cards[i];
        std::array<uint8_t, 11> ser{};
        std::memcpy(ser.data(), c.serial.data(), ser.size());
        std::string hex = "4242";
        for (uint8_t b : ser) {
            char t[3];
            std::snprintf(t, sizeof(t), "%02x", b);
            hex += t;
        }
        hex += "000000";
        std::string uuid = hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                           hex.substr(16, 4) + "-" + hex.substr(20);
        char mac[24];
        std::snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", c.mac[0], c.mac[1], c.mac[2], c.mac[3],
                      c.mac[4], c.mac[5]);
        o << (i ? ",\n " : "\n ") << "{\"bdf\": \"" << c.addr() << "\", \"uuid\": \"" << uuid
          << "\", \"serial\": \"" << c.serial << "\", \"mac\": \"" << mac << "\", \"ports\": [";
        for (size_t p = 0; p < c.ports.size(); ++p) {
            const uint32_t ifx = c.ports[p];
            static const char *k_types[16] = {"none", "eth", "eth-pc", "tunnel", "uplink", "uplink-pc",
                                              "l3", "lif", "loopback", "control", "host", "internal-mgmt",
                                              "dpa", "crypto", "none", "none"};
            std::string name = "-";
            if (ifx != 0) {
                name = std::string(k_types[ifx >> 28]) + std::to_string((ifx >> 24) & 0xF) + "/" +
                       std::to_string((ifx >> 16) & 0xFF);
                if (ifx & 0xFFFF) {
                    name += "/" + std::to_string(ifx & 0xFFFF);
                }
            }
            std::array<uint8_t, 16> u{};
            std::memcpy(u.data(), c.mac.data(), 6);
            u[6] = u[7] = u[8] = u[9] = 0x42;
            u[12] = static_cast<uint8_t>(ifx >> 24);
            u[13] = static_cast<uint8_t>(ifx >> 16);
            u[14] = static_cast<uint8_t>(ifx >> 8);
            u[15] = static_cast<uint8_t>(ifx);
            o << (p ? ", " : "") << "{\"ifindex\": " << ifx << ", \"name\": \"" << name << "\", \"uuid\": \""
              << uuid_text(u) << "\"}";
        }
        o << "], \"lifs\": [";
        for (size_t l = 0; l < c.lifs.size(); ++l) {
            const lif_s &lif = c.lifs[l];
            std::string name = lif.name.substr(0, k_lif_name_field);
            o << (l ? ", " : "") << "{\"lif_id\": " << lif.lif_id << ", \"name\": \"" << json_escape(name)
              << "\", \"uuid\": \"" << uuid_text(lif.uuid) << "\"}";
        }
        o << "]}";
    }
    o << "\n]\n";
    write_atomic(root / "cards.json", o.str());
}

void emulator::impl::write_tools()
{
    fs::create_directories(root / "bin");
    std::string exe = cfg.tool_exe;
    for (const char *tool : {"lspci", "setpci"}) {
        fs::path p = root / "bin" / tool;
        write_file(p, "#!/bin/sh\nexec " + shell_quote(exe) + " --root " + shell_quote(root.string()) +
                          " --tool " + tool + " \"$@\"\n");
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    }
    write_file(root / "env", "export TALON_SYSFS_DIR=" + shell_quote((root / "sys").string()) +
                                 "\nexport TALON_DEV_DIR=" + shell_quote(dev_dir().string()) +
                                 "\nexport PATH=" + shell_quote((root / "bin").string()) + ":\"$PATH\"\n");
}

void emulator::impl::layout()
{
    std::error_code ec;
    fs::create_directories(root);
    // Only a tree this tool made earlier is cleared; anything else is left
    // alone and refused.
    const fs::path marker = root / ".talon-emu";
    if (!fs::exists(marker)) {
        for (const char *sub : {"sys", "dev", "bin"}) {
            if (fs::exists(root / sub)) {
                throw std::runtime_error((root / sub).string() + " exists and was not made by talon-emu");
            }
        }
        write_file(marker, "");
    }
    for (const char *sub : {"sys", "dev", "bin", ".unplugged", "ready", "cards.json", "env", k_ctl_socket}) {
        fs::remove_all(root / sub, ec);
    }
    fs::create_directories(sys_devices());
    fs::create_directories(sys_drivers() / "tern_core");
    fs::create_directories(sys_drivers() / "tawk_ipc");
    fs::create_directories(dev_dir() / "fwctl");
    for (card_s &c : cards) {
        layout_card(c);
        link_drivers(c, true);
        rebuild_counters(c);
        for (const counter_s &k : c.counters) {
            *mem_word(c.mem, k.offset) = k.rate * 100;
        }
    }
    write_tools();
    write_cards_json();
    ctl_listen = listen_seqpacket(root / k_ctl_socket);
    for (card_s &c : cards) {
        open_card_sockets(c);
    }
}

card_s *emulator::impl::find_card(const std::string &id)
{
    if (auto n = parse_number(id); n && id.find(':') == std::string::npos) {
        return *n < cards.size() ? &cards[*n] : nullptr;
    }
    for (card_s &c : cards) {
        if (c.addr() == id) {
            return &c;
        }
    }
    return nullptr;
}

// Builds the response of one firmware command.
void emulator::impl::firmware(card_s &c, uint32_t ep, uint32_t op, const uint8_t *req, size_t req_len,
                              uint32_t *transport, std::vector<uint8_t> *rsp)
{
    auto req_u = [&](size_t off, size_t width) -> uint64_t {
        uint64_t v = 0;
        for (size_t i = 0; i < width && off + i < req_len; ++i) {
            v |= static_cast<uint64_t>(req[off + i]) << (8 * i);
        }
        return v;
    };
    if (card_ctl::serves(ep)) {
        c.ctl.answer(ep, op, req, req_len, transport, rsp);
        return;
    }
    int cmd = -1;
    for (unsigned i = 0; i < k_cmd_count; ++i) {
        if (k_cmds[i].ep == ep && k_cmds[i].op == op) {
            cmd = static_cast<int>(i);
        }
    }
    *transport = 0;
    rsp->clear();
    if (cmd < 0) {
        *transport = k_transport_enotsup;
        return;
    }
    rsp->assign(k_cmds[cmd].rsp_len, 0);
    uint8_t *r = rsp->data();
    uint32_t status = k_status_ok;
    switch (cmd) {
    case DEVICE_INFO:
        std::memcpy(r + 20, c.mac.data(), c.mac.size());
        break;
    case HEARTBEAT: {
        uint64_t echo = req_u(0, 8);
        if (c.heartbeat == heartbeat_e::fail) {
            *transport = k_transport_eio;
            rsp->clear();
            return;
        }
        if (c.heartbeat == heartbeat_e::mismatch) {
            echo += 1;
        }
        put_le<uint64_t>(r + 8, echo);
        break;
    }
    case PORT_INFO_GET: {
        const uint32_t ifx = static_cast<uint32_t>(req_u(0, 4));
        bool found = false;
        for (uint32_t p : c.ports) {
            found = found || p == ifx;
        }
        if (!found) {
            status = k_status_not_found;
            break;
        }
        put_le<uint32_t>(r + 4, ifx);
        put_le<uint32_t>(r + 24, (ifx >> 16) & 0xFF);
        break;
    }
    case PORT_IFINDEX_GET:
        put_le<uint32_t>(r + 4, static_cast<uint32_t>(c.ports.size()));
        for (size_t i = 0; i < c.ports.size(); ++i) {
            put_le<uint32_t>(r + 8 + 4 * i, c.ports[i]);
        }
        break;
    case P4_PORT_STATS:
        put_le<uint64_t>(r + 8, k_mem_window_base + k_port_region_offset);
        put_le<uint32_t>(r + 16, static_cast<uint32_t>(k_max_ports * k_port_stats_stride));
        break;
    case LIF_GET_ALL: {
        const uint16_t cursor = static_cast<uint16_t>(req_u(0, 2));
        const size_t idx = cursor == k_lif_cursor_none ? 0 : cursor;
        if (idx >= c.lifs.size()) {
            status = k_status_not_found;
            break;
        }
        const lif_s &lif = c.lifs[idx];
        std::memcpy(r + 8, lif.uuid.data(), lif.uuid.size());
        put_le<uint16_t>(r + 48, lif.lif_id);
        std::memcpy(r + 50, lif.name.data(), std::min(lif.name.size(), k_lif_name_field));
        put_le<uint64_t>(r + 128, k_mem_window_base + k_lif_region_offset + idx * k_lif_stats_stride);
        put_le<uint16_t>(r + 144, idx + 1 < c.lifs.size() ? static_cast<uint16_t>(idx + 1) : k_lif_cursor_none);
        break;
    }
    default:
        break;
    }
    put_le<uint32_t>(r, status);

    const fault_s &f = c.faults[cmd];
    switch (f.mode) {
    case fault_e::ok:
        break;
    case fault_e::status:
        put_le<uint32_t>(rsp->data(), f.value);
        break;
    case fault_e::transport:
        *transport = f.value;
        break;
    case fault_e::short_rsp:
        rsp->resize(rsp->size() / 2);
        break;
    }
}

bool emulator::impl::serve_tawk(conn_s &k)
{
    std::vector<uint8_t> in(IPC_CMD_MAX_MSG + 64);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size(), MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    const size_t got = static_cast<size_t>(n);
    std::vector<uint8_t> out(IPC_CMD_HDRS_SIZE, 0);
    uint64_t hdr = got >= 8 ? get_le<uint64_t>(in.data()) : 0;
    uint32_t transport = k_transport_einval;
    std::vector<uint8_t> payload;
    uint8_t tag = 0;
    if (got >= IPC_CMD_HDRS_SIZE && ipc_drv_hdr_get_type(hdr) == IPC_DRV_HDR_TYPE_REQ &&
        get_le<uint32_t>(&in[IPC_CMD_MAGIC_OFFSET]) == IPC_CMD_MAGIC && in[IPC_CMD_VERSION_OFFSET] == IPC_CMD_VERSION) {
        tag = ipc_drv_hdr_get_tag(hdr);
        const size_t pld = ipc_drv_hdr_get_pld_len(hdr);
        const size_t req_len = pld >= IPC_CMD_MSG_HDR_SIZE ? std::min(pld - IPC_CMD_MSG_HDR_SIZE, got - IPC_CMD_HDRS_SIZE) : 0;
        const uint32_t op = (static_cast<uint32_t>(in[IPC_CMD_OP_HI_OFFSET]) << 16) |
                            get_le<uint16_t>(&in[IPC_CMD_OP_LO_OFFSET]);
        std::lock_guard lk(mtx);
        firmware(cards[k.card], ipc_drv_hdr_get_req_endpoint(hdr), op, &in[IPC_CMD_PAYLOAD_OFFSET], req_len,
                 &transport, &payload);
    }
    if (got >= IPC_CMD_HDRS_SIZE) {
        std::memcpy(&out[IPC_CMD_MAGIC_OFFSET], &in[IPC_CMD_MAGIC_OFFSET], IPC_CMD_MSG_HDR_SIZE);
    }
    if (payload.size() > IPC_CMD_MAX_PAYLOAD) {
        payload.resize(IPC_CMD_MAX_PAYLOAD);
    }
    uint64_t rh = 0;
    ipc_drv_hdr_set_type(&rh, IPC_DRV_HDR_TYPE_RSP);
    ipc_drv_hdr_set_tag(&rh, tag);
    ipc_drv_hdr_set_pld_len(&rh, static_cast<uint16_t>(payload.size() + IPC_CMD_MSG_HDR_SIZE));
    ipc_drv_hdr_set_rsp_errno(&rh, transport);
    put_le<uint64_t>(out.data(), rh);
    out.insert(out.end(), payload.begin(), payload.end());
    return ::send(k.fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

bool emulator::impl::serve_fwctl(conn_s &k)
{
    std::vector<uint8_t> in(FWCTL_SOCK_REQ_HDR_SIZE + FWCTL_SOCK_MAX_PAYLOAD);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size(), MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    const size_t got = static_cast<size_t>(n);
    uint32_t retval = k_transport_einval;
    std::vector<uint8_t> payload;
    if (got >= FWCTL_SOCK_REQ_HDR_SIZE) {
        const uint32_t op = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_OP_OFFSET]);
        const uint32_t ep = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_EP_OFFSET]);
        const size_t in_len = std::min<size_t>(get_le<uint32_t>(&in[FWCTL_SOCK_REQ_IN_LEN_OFFSET]),
                                               got - FWCTL_SOCK_REQ_HDR_SIZE);
        const size_t cap = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_OUT_CAP_OFFSET]);
        {
            std::lock_guard lk(mtx);
            firmware(cards[k.card], ep, op, &in[FWCTL_SOCK_REQ_HDR_SIZE], in_len, &retval, &payload);
        }
        // The driver copies at most the capacity it was given.
        if (payload.size() > cap) {
            payload.resize(cap);
        }
    }
    std::vector<uint8_t> out(FWCTL_SOCK_RSP_HDR_SIZE);
    put_le<uint32_t>(&out[FWCTL_SOCK_RSP_RETVAL_OFFSET], retval);
    put_le<uint32_t>(&out[FWCTL_SOCK_RSP_LEN_OFFSET], static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return ::send(k.fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

bool emulator::impl::serve_ctl(conn_s &k)
{
    std::vector<char> in(4096);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size() - 1, MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    // The command may change the connection list; keep the descriptor only.
    const int fd = k.fd.get();
    bool ok = false;
    std::string answer = command(std::string(in.data(), static_cast<size_t>(n)), &ok);
    std::string out = (ok ? "0" : "1") + answer;
    ::send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return false;  // one command per connection
}

std::string emulator::impl::command(const std::string &line, bool *ok)
{
    std::istringstream is(line);
    std::vector<std::string> w;
    for (std::string t; is >> t;) {
        w.push_back(t);
    }
    *ok = false;
    if (w.empty()) {
        return "empty command";
    }
    const std::string &verb = w[0];
    auto usage = [&](const char *u) { return "usage: " + std::string(u); };
    static const char *k_verbs[] = {"heartbeat", "unplug", "plug", "add-lif", "add-port", "set", "fault"};
    bool known = card_ctl::is_verb(verb);
    for (const char *v : k_verbs) {
        known = known || verb == v;
    }
    if (!known) {
        return "unknown command '" + verb + "'";
    }
    if (w.size() < 2) {
        return "missing CARD for '" + verb + "'";
    }
    card_s *c = find_card(w[1]);
    if (!c) {
        return "unknown card '" + w[1] + "'";
    }
    std::lock_guard lk(mtx);
    if (card_ctl::is_verb(verb)) {
        return c->ctl.command(w, c->addr(), ok);
    }
    if (verb == "heartbeat") {
        if (w.size() != 3) {
            return usage("heartbeat CARD ok|fail|mismatch");
        }
        if (w[2] == "ok") {
            c->heartbeat = heartbeat_e::ok;
        } else if (w[2] == "fail") {
            c->heartbeat = heartbeat_e::fail;
        } else if (w[2] == "mismatch") {
            c->heartbeat = heartbeat_e::mismatch;
        } else {
            return usage("heartbeat CARD ok|fail|mismatch");
        }
        *ok = true;
        return "heartbeat " + c->addr() + " " + w[2];
    }
    if (verb == "unplug" || verb == "plug") {
        if (w.size() != 2) {
            return usage("unplug|plug CARD");
        }
        const bool plug = verb == "plug";
        if (c->plugged != plug) {
            fs::create_directories(parked(*c));
            for (const function_s &f : c->functions) {
                fs::path in_tree = sys_devices() / f.bdf;
                fs::path away = parked(*c) / f.bdf;
                fs::rename(plug ? away : in_tree, plug ? in_tree : away);
            }
            link_drivers(*c, plug);
            if (plug) {
                open_card_sockets(*c);
            } else {
                close_card_sockets(*c);
            }
            c->plugged = plug;
        }
        *ok = true;
        return verb + " " + c->addr();
    }
    if (verb == "add-lif") {
        if (w.size() != 3) {
            return usage("add-lif CARD NAME");
        }
        if (w[2].size() > k_lif_name_field) {
            return "LIF name longer than " + std::to_string(k_lif_name_field) + " bytes";
        }
        if (c->lifs.size() >= k_max_lif_slots) {
            return "card " + c->addr() + " holds " + std::to_string(k_max_lif_slots) + " LIFs already";
        }
        const size_t l = c->lifs.size();
        lif_s lif;
        lif.lif_id = static_cast<uint16_t>(k_first_lif_id + l);
        lif.name = w[2];
        lif.uuid = {0x4c, 0x49, 0x46, 0x00, static_cast<uint8_t>(c->index), 0x00, 0x40, 0x00,
                    0x80, 0x00, 0x02, 0x54, 0x4c, 0x4e, static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l)};
        c->lifs.push_back(lif);
        rebuild_counters(*c);
        write_cards_json();
        *ok = true;
        return "lif " + std::to_string(l) + " " + std::to_string(lif.lif_id) + " " + uuid_text(lif.uuid);
    }
    if (verb == "add-port") {
        auto ifx = w.size() == 3 ? parse_number(w[2]) : std::nullopt;
        if (!ifx || *ifx > UINT32_MAX) {
            return usage("add-port CARD IFINDEX");
        }
        if (c->ports.size() >= k_max_ports) {
            return "card " + c->addr() + " holds " + std::to_string(k_max_ports) + " ports already";
        }
        for (uint32_t p : c->ports) {
            if (p == *ifx) {
                return "card " + c->addr() + " already has port " + w[2];
            }
        }
        c->ports.push_back(static_cast<uint32_t>(*ifx));
        rebuild_counters(*c);
        write_cards_json();
        *ok = true;
        return "port " + std::to_string(c->ports.size() - 1) + " " + std::to_string(*ifx);
    }
    if (verb == "set") {
        auto idx = w.size() == 6 ? parse_number(w[3]) : std::nullopt;
        auto val = w.size() == 6 ? parse_number(w[5]) : std::nullopt;
        if (!idx || !val || (w[2] != "lif" && w[2] != "port")) {
            return usage("set CARD lif|port INDEX COUNTER VALUE");
        }
        const bool port = w[2] == "port";
        if (*idx >= (port ? c->ports.size() : c->lifs.size())) {
            return "no " + w[2] + " " + w[3] + " on card " + c->addr();
        }
        std::optional<uint64_t> off;
        if (port) {
            for (const auto &d : k_port_counter_layout) {
                if (d.name == w[4]) {
                    off = k_port_region_offset + *idx * k_port_stats_stride + d.offset;
                }
            }
        } else {
            for (const auto &d : k_lif_counter_layout) {
                if (d.name == w[4]) {
                    off = k_lif_region_offset + *idx * k_lif_stats_stride + d.offset;
                }
            }
        }
        if (!off) {
            return "unknown " + w[2] + " counter '" + w[4] + "'";
        }
        for (counter_s &k : c->counters) {
            if (k.offset == *off) {
                k.fixed = true;
            }
        }
        std::atomic_ref<uint64_t>(*mem_word(c->mem, *off)).store(*val, std::memory_order_relaxed);
        *ok = true;
        return "set " + w[2] + " " + w[3] + " " + w[4] + " " + std::to_string(*val);
    }
    // fault CARD COMMAND MODE
    if (w.size() != 4) {
        return usage("fault CARD COMMAND ok|status=N|transport=N|short");
    }
    int cmd = -1;
    for (unsigned i = 0; i < k_cmd_count; ++i) {
        if (w[2] == k_cmds[i].name) {
            cmd = static_cast<int>(i);
        }
    }
    const bool ctl_cmd = cmd < 0 && card_ctl::is_command_name(w[2]);
    if (cmd < 0 && !ctl_cmd) {
        return "unknown firmware command '" + w[2] + "'";
    }
    fault_s f;
    const std::string &m = w[3];
    if (m == "ok") {
        f.mode = fault_e::ok;
    } else if (m == "short") {
        f.mode = fault_e::short_rsp;
    } else if (m.rfind("status=", 0) == 0 || m.rfind("transport=", 0) == 0) {
        const bool st = m[0] == 's';
        auto v = parse_number(m.substr(m.find('=') + 1));
        if (!v || *v > UINT32_MAX) {
            return "bad fault value in '" + m + "'";
        }
        f.mode = st ? fault_e::status : fault_e::transport;
        f.value = static_cast<uint32_t>(*v);
    } else {
        return usage("fault CARD COMMAND ok|status=N|transport=N|short");
    }
    if (ctl_cmd) {
        c->ctl.set_fault(w[2], f.mode == fault_e::status      ? ctl_fault_e::status
                               : f.mode == fault_e::transport ? ctl_fault_e::transport
                               : f.mode == fault_e::short_rsp ? ctl_fault_e::short_rsp
                                                              : ctl_fault_e::ok,
                         f.value);
    } else {
        c->faults[cmd] = f;
    }
    *ok = true;
    return "fault " + c->addr() + " " + w[2] + " " + m;
}

void emulator::impl::io_loop()
{
    for (;;) {
        std::vector<pollfd> pfds;
        enum class src_e { wake, ctl, tawk, alias, fwctl, conn };
        std::vector<std::pair<src_e, size_t>> srcs;
        pfds.push_back({wake.get(), POLLIN, 0});
        srcs.emplace_back(src_e::wake, 0);
        pfds.push_back({ctl_listen.get(), POLLIN, 0});
        srcs.emplace_back(src_e::ctl, 0);
        for (size_t i = 0; i < cards.size(); ++i) {
            const card_s &c = cards[i];
            if (c.tawk_listen.get() >= 0) {
                pfds.push_back({c.tawk_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::tawk, i);
            }
            if (c.tawk_alias_listen.get() >= 0) {
                pfds.push_back({c.tawk_alias_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::alias, i);
            }
            if (c.fwctl_listen.get() >= 0) {
                pfds.push_back({c.fwctl_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::fwctl, i);
            }
        }
        for (size_t i = 0; i < conns.size(); ++i) {
            pfds.push_back({conns[i].fd.get(), POLLIN, 0});
            srcs.emplace_back(src_e::conn, i);
        }
        if (::poll(pfds.data(), pfds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[0].revents) {
            return;
        }
        // Handle one ready source per pass: a control command may change the
        // set of sockets polled.
        for (size_t i = 1; i < pfds.size(); ++i) {
            if (!pfds[i].revents) {
                continue;
            }
            auto [src, idx] = srcs[i];
            if (src == src_e::conn) {
                conn_s &k = conns[idx];
                bool keep = k.kind == conn_kind_e::tawk    ? serve_tawk(k)
                            : k.kind == conn_kind_e::fwctl ? serve_fwctl(k)
                                                           : serve_ctl(k);
                if (!keep) {
                    const int fd = pfds[i].fd;
                    std::erase_if(conns, [fd](const conn_s &c) { return c.fd.get() == fd; });
                }
                break;
            }
            int fd = ::accept4(pfds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                conn_kind_e kind = src == src_e::ctl     ? conn_kind_e::ctl
                                   : src == src_e::fwctl ? conn_kind_e::fwctl
                                                         : conn_kind_e::tawk;
                conns.push_back({unique_fd(fd), kind, static_cast<unsigned>(idx)});
            }
            break;
        }
    }
}

void emulator::impl::counter_loop()
{
    std::unique_lock lk(mtx);
    while (!stopping) {
        cv.wait_for(lk, std::chrono::milliseconds(k_counter_period_ms));
        for (card_s &c : cards) {
            for (const counter_s &k : c.counters) {
                if (!k.fixed) {
                    std::atomic_ref<uint64_t> v(*mem_word(c.mem, k.offset));
                    v.store(v.load(std::memory_order_relaxed) + k.rate, std::memory_order_relaxed);
                }
            }
        }
    }
}

void emulator::impl::remove_sockets()
{
    std::error_code ec;
    conns.clear();
    for (card_s &c : cards) {
        close_card_sockets(c);
    }
    ctl_listen.reset();
    fs::remove(root / k_ctl_socket, ec);
    fs::remove(root / "ready", ec);
}

emulator::emulator(config_s cfg) : impl_(std::make_unique<impl>())
{
    impl_->cfg = std::move(cfg);
}

emulator::~emulator()
{
    stop();
}

const config_s &emulator::config() const
{
    return impl_->cfg;
}

std::string emulator::card_bdf(unsigned index)
{
    return bdf_text(k_first_bus + index * k_bus_stride, 0, 0);
}

std::string validate_config(const config_s &cfg)
{
    if (cfg.root.empty()) {
        return "--root DIR is required";
    }
    if (cfg.cards < k_min_cards || cfg.cards > k_max_cards) {
        return "--cards must be between " + std::to_string(k_min_cards) + " and " + std::to_string(k_max_cards);
    }
    if (cfg.ports > k_max_ports) {
        return "--ports must be between " + std::to_string(k_min_ports) + " and " + std::to_string(k_max_ports);
    }
    if (cfg.lifs < k_min_lifs || cfg.lifs > k_max_lifs) {
        return "--lifs must be between " + std::to_string(k_min_lifs) + " and " + std::to_string(k_max_lifs);
    }
    return {};
}

void emulator::start()
{
    impl &m = *impl_;
    if (m.started) {
        return;
    }
    if (std::string err = validate_config(m.cfg); !err.empty()) {
        throw std::runtime_error(err);
    }
    m.root = fs::absolute(m.cfg.root).lexically_normal();
    if (m.cfg.tool_exe.empty()) {
        m.cfg.tool_exe = default_tool_exe();
    }
    // Refuse to take over a directory another emulator is serving.
    if (fs::exists(m.root / k_ctl_socket)) {
        std::string answer;
        if (control(m.root.string(), "ping", &answer) || answer.rfind("unknown command", 0) == 0) {
            throw std::runtime_error("an emulator is already serving " + m.root.string());
        }
    }
    m.build_cards();
    m.wake = unique_fd(::eventfd(0, EFD_CLOEXEC));
    try {
        m.layout();
    } catch (const std::filesystem::filesystem_error &e) {
        throw std::runtime_error(e.what());
    }
    m.stopping = false;
    m.counter_thread = std::thread([&m] { m.counter_loop(); });
    m.io_thread = std::thread([&m] { m.io_loop(); });
    m.started = true;
    write_file(m.root / "ready", std::to_string(::getpid()) + "\n");
}

void emulator::stop()
{
    impl &m = *impl_;
    if (!m.started) {
        return;
    }
    {
        std::lock_guard lk(m.mtx);
        m.stopping = true;
    }
    m.cv.notify_all();
    uint64_t one = 1;
    (void)!::write(m.wake.get(), &one, sizeof(one));
    m.io_thread.join();
    m.counter_thread.join();
    m.remove_sockets();
    m.started = false;
}

bool control(const std::string &root, const std::string &command, std::string *answer)
{
    fs::path sock = fs::path(root) / k_ctl_socket;
    sockaddr_un a{};
    try {
        a = socket_address(sock);
    } catch (const std::exception &e) {
        *answer = e.what();
        return false;
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0) {
        *answer = "no emulator is serving " + root + " (" + std::strerror(errno) + ")";
        return false;
    }
    if (::send(fd.get(), command.data(), command.size(), MSG_NOSIGNAL) < 0) {
        *answer = std::string("cannot send the command: ") + std::strerror(errno);
        return false;
    }
    std::vector<char> buf(65536);
    ssize_t n;
    do {
        n = ::recv(fd.get(), buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        *answer = "no answer from the emulator";
        return false;
    }
    *answer = std::string(buf.data() + 1, static_cast<size_t>(n) - 1);
    return buf[0] == '0';
}

}  // namespace talon_emu
