// Laying out the emulated host: PCI functions in sysfs, driver links, card
// memory, the tool stand-ins and cards.json.
#include <cstdio>
#include <cstring>
#include <sstream>

#include "emulator/emu_impl.hpp"
#include "emulator/emu_files.hpp"
#include "emulator/emu_socket.hpp"
#include "emulator/emu_text.hpp"
#include "emulator/emu_counter_layout.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

namespace talon_emu {

using ipc_wire::put_le;

std::string card_serial(unsigned index, unsigned generation)
{
    // Eleven characters: the year digits tell the replacements apart.
    constexpr unsigned k_first_year = 24;
    constexpr unsigned k_years = 76;
    constexpr unsigned k_first_number = 100;
    char serial[16];
    std::snprintf(serial, sizeof(serial), "TLN%02u%06u", k_first_year + generation % k_years, k_first_number + index);
    return serial;
}

void emulator::impl::build_cards()
{
    cards.resize(cfg.cards);
    for (unsigned i = 0; i < cfg.cards; ++i) {
        card_s &c = cards[i];
        c.index = i;
        c.bus = k_first_bus + i * k_bus_stride;
        c.serial = card_serial(i, 0);
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

namespace {

uint64_t counter_rate(unsigned card, bool port, size_t entity, size_t counter)
{
    return 1 + card * 4099 + (port ? 2048 : 0) + entity * 16 + counter;
}

}  // namespace

void emulator::impl::rebuild_counters(card_s &c)
{
    std::vector<counter_s> next;
    auto keep_fixed = [&](counter_s k) {
        for (const counter_s &old : c.counters) {
            if (old.offset == k.offset) {
                k.fixed = old.fixed;
                k.timed = old.timed;
                k.per_second = old.per_second;
                k.base = old.base;
                k.since = old.since;
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
    for (const char *sub : {"sys", "dev", "bin", ".unplugged", k_setpci_fault_dir, "ready", "cards.json", "env", k_ctl_socket}) {
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

}  // namespace talon_emu
