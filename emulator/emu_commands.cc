// The control commands: one handler per verb, found through a table.
#include <atomic>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include "emulator/emu_counter_layout.hpp"
#include "emulator/emu_files.hpp"
#include "emulator/emu_impl.hpp"
#include "emulator/emu_text.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

namespace talon_emu {

using ipc_wire::put_le;

namespace {

std::string usage(const char *u)
{
    return "usage: " + std::string(u);
}

}  // namespace

emulator::impl::verb_handler emulator::impl::find_verb(const std::string &verb)
{
    struct verb_s {
        std::string_view name;
        verb_handler handler;
    };
    static constexpr verb_s k_verbs[] = {
        {"heartbeat", &impl::verb_heartbeat}, {"unplug", &impl::verb_plug}, {"plug", &impl::verb_plug},
        {"add-lif", &impl::verb_add_lif},     {"add-port", &impl::verb_add_port}, {"set", &impl::verb_set},
        {"rate", &impl::verb_rate},           {"fault", &impl::verb_fault},       {"platform", &impl::verb_platform},
        {"rename-lif", &impl::verb_rename_lif}, {"replace", &impl::verb_replace},
    };
    // The board-controller verbs go to the card's controller.
    if (card_ctl::is_verb(verb)) {
        return &impl::verb_card_ctl;
    }
    for (const verb_s &v : k_verbs) {
        if (v.name == verb) {
            return v.handler;
        }
    }
    return nullptr;
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
    const verb_handler handler = find_verb(verb);
    if (!handler) {
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
    return (this->*handler)(*c, w, ok);
}

std::string emulator::impl::verb_card_ctl(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    return c.ctl.command(w, c.addr(), ok);
}

std::string emulator::impl::verb_heartbeat(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 3) {
        return usage("heartbeat CARD ok|fail|mismatch|replay");
    }
    if (w[2] == "ok") {
        c.heartbeat = heartbeat_e::ok;
    } else if (w[2] == "fail") {
        c.heartbeat = heartbeat_e::fail;
    } else if (w[2] == "mismatch") {
        c.heartbeat = heartbeat_e::mismatch;
    } else if (w[2] == "replay") {
        c.heartbeat = heartbeat_e::replay;
    } else {
        return usage("heartbeat CARD ok|fail|mismatch|replay");
    }
    *ok = true;
    return "heartbeat " + c.addr() + " " + w[2];
}

std::string emulator::impl::verb_plug(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 2) {
        return usage("unplug|plug CARD");
    }
    const std::string &verb = w[0];
    const bool plug = verb == "plug";
    if (c.plugged != plug) {
        fs::create_directories(parked(c));
        for (const function_s &f : c.functions) {
            fs::path in_tree = sys_devices() / f.bdf;
            fs::path away = parked(c) / f.bdf;
            fs::rename(plug ? away : in_tree, plug ? in_tree : away);
        }
        link_drivers(c, plug);
        if (plug) {
            open_card_sockets(c);
        } else {
            close_card_sockets(c);
        }
        c.plugged = plug;
    }
    *ok = true;
    return verb + " " + c.addr();
}

std::string emulator::impl::verb_add_lif(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 3) {
        return usage("add-lif CARD NAME");
    }
    if (w[2].size() > k_lif_name_field) {
        return "LIF name longer than " + std::to_string(k_lif_name_field) + " bytes";
    }
    if (c.lifs.size() >= k_max_lif_slots) {
        return "card " + c.addr() + " holds " + std::to_string(k_max_lif_slots) + " LIFs already";
    }
    const size_t l = c.lifs.size();
    lif_s lif;
    lif.lif_id = static_cast<uint16_t>(k_first_lif_id + l);
    lif.name = w[2];
    lif.uuid = {0x4c, 0x49, 0x46, 0x00, static_cast<uint8_t>(c.index), 0x00, 0x40, 0x00,
                0x80, 0x00, 0x02, 0x54, 0x4c, 0x4e, static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l)};
    c.lifs.push_back(lif);
    rebuild_counters(c);
    write_cards_json();
    *ok = true;
    return "lif " + std::to_string(l) + " " + std::to_string(lif.lif_id) + " " + uuid_text(lif.uuid);
}

std::string emulator::impl::verb_add_port(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    auto ifx = w.size() == 3 ? parse_number(w[2]) : std::nullopt;
    if (!ifx || *ifx > UINT32_MAX) {
        return usage("add-port CARD IFINDEX");
    }
    if (c.ports.size() >= k_max_ports) {
        return "card " + c.addr() + " holds " + std::to_string(k_max_ports) + " ports already";
    }
    for (uint32_t p : c.ports) {
        if (p == *ifx) {
            return "card " + c.addr() + " already has port " + w[2];
        }
    }
    c.ports.push_back(static_cast<uint32_t>(*ifx));
    rebuild_counters(c);
    write_cards_json();
    *ok = true;
    return "port " + std::to_string(c.ports.size() - 1) + " " + std::to_string(*ifx);
}

std::string emulator::impl::counter_offset(const card_s &c, const std::vector<std::string> &w, uint64_t *offset)
{
    auto idx = parse_number(w[3]);
    if (!idx || (w[2] != "lif" && w[2] != "port")) {
        return "usage";
    }
    const bool port = w[2] == "port";
    if (*idx >= (port ? c.ports.size() : c.lifs.size())) {
        return "no " + w[2] + " " + w[3] + " on card " + c.addr();
    }
    if (port) {
        for (const auto &d : k_port_counter_layout) {
            if (d.name == w[4]) {
                *offset = k_port_region_offset + *idx * k_port_stats_stride + d.offset;
                return {};
            }
        }
    } else {
        for (const auto &d : k_lif_counter_layout) {
            if (d.name == w[4]) {
                *offset = k_lif_region_offset + *idx * k_lif_stats_stride + d.offset;
                return {};
            }
        }
    }
    return "unknown " + w[2] + " counter '" + w[4] + "'";
}

std::string emulator::impl::verb_set(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    auto val = w.size() == 6 ? parse_number(w[5]) : std::nullopt;
    uint64_t off = 0;
    const std::string err = val ? counter_offset(c, w, &off) : "usage";
    if (err == "usage") {
        return usage("set CARD lif|port INDEX COUNTER VALUE");
    }
    if (!err.empty()) {
        return err;
    }
    for (counter_s &k : c.counters) {
        if (k.offset == off) {
            k.fixed = true;
            k.timed = false;
        }
    }
    std::atomic_ref<uint64_t>(*mem_word(c.mem, off)).store(*val, std::memory_order_relaxed);
    *ok = true;
    return "set " + w[2] + " " + w[3] + " " + w[4] + " " + std::to_string(*val);
}

// platform CARD ok|setpci|map: the memory enable of the card's resource
// device fails (setpci exits 1), or its resource map is refused (magic and
// version cleared), until "ok".
std::string emulator::impl::verb_platform(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 3 || (w[2] != "ok" && w[2] != "setpci" && w[2] != "map")) {
        return usage("platform CARD ok|setpci|map");
    }
    const function_s *rsc = nullptr;
    for (const function_s &f : c.functions) {
        if (f.kind == fn_kind_e::rsc) {
            rsc = &f;
        }
    }
    if (rsc == nullptr) {
        return "card " + c.addr() + " has no resource device";
    }
    const fs::path marker = root / k_setpci_fault_dir / rsc->bdf;
    std::error_code ec;
    if (w[2] == "setpci") {
        fs::create_directories(marker.parent_path());
        write_file(marker, "");
    } else {
        fs::remove(marker, ec);
    }
    // The resource map lives with the function, in the tree or parked.
    const fs::path map = (c.plugged ? sys_devices() : parked(c)) / rsc->bdf / "resource4";
    std::fstream f(map, std::ios::in | std::ios::out | std::ios::binary);
    if (!f) {
        return "cannot open " + map.string();
    }
    uint8_t head[8] = {};
    if (w[2] != "map") {
        put_le<uint32_t>(head, k_rsc_map_magic);
        put_le<uint32_t>(head + 4, k_rsc_map_version);
    }
    f.write(reinterpret_cast<const char *>(head), sizeof(head));
    if (!f) {
        return "cannot write " + map.string();
    }
    *ok = true;
    return "platform " + c.addr() + " " + w[2];
}

// rename-lif CARD INDEX NAME: the card reports the LIF (same id) under NAME.
std::string emulator::impl::verb_rename_lif(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    auto idx = w.size() == 4 ? parse_number(w[2]) : std::nullopt;
    if (!idx) {
        return usage("rename-lif CARD INDEX NAME");
    }
    if (*idx >= c.lifs.size()) {
        return "no lif " + w[2] + " on card " + c.addr();
    }
    if (w[3].size() > k_lif_name_field) {
        return "LIF name longer than " + std::to_string(k_lif_name_field) + " bytes";
    }
    c.lifs[*idx].name = w[3];
    write_cards_json();
    *ok = true;
    return "lif " + w[2] + " " + w[3];
}

// replace CARD: another card of the same model takes the slot, at the same
// PCI addresses: a new serial number (so a new card UUID), MAC address (so
// new port UUIDs) and LIF UUIDs, its counters counting from 0 and its
// board controller in its initial state.
std::string emulator::impl::verb_replace(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 2) {
        return usage("replace CARD");
    }
    ++c.generation;
    const auto mark = static_cast<uint8_t>(c.generation);
    c.serial = card_serial(c.index, c.generation);
    c.ctl = card_ctl(c.index, c.serial);
    c.mac[5] = mark;
    for (lif_s &lif : c.lifs) {
        lif.uuid[5] = mark;
    }
    const fs::path dir = c.plugged ? sys_devices() : parked(c);
    for (const function_s &f : c.functions) {
        if (f.kind != fn_kind_e::bridge) {
            write_file(dir / f.bdf / "vpd", make_vpd(c.serial));
        }
    }
    for (counter_s &k : c.counters) {
        k.fixed = false;
        k.timed = false;
        std::atomic_ref<uint64_t>(*mem_word(c.mem, k.offset)).store(0, std::memory_order_relaxed);
    }
    write_cards_json();
    *ok = true;
    return "replace " + c.addr() + " " + c.serial;
}

// rate CARD lif|port INDEX COUNTER PER_SECOND: the counter grows by exactly
// PER_SECOND each second from its present value on (0 holds it still).
std::string emulator::impl::verb_rate(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    auto val = w.size() == 6 ? parse_number(w[5]) : std::nullopt;
    uint64_t off = 0;
    const std::string err = val ? counter_offset(c, w, &off) : "usage";
    if (err == "usage") {
        return usage("rate CARD lif|port INDEX COUNTER PER_SECOND");
    }
    if (!err.empty()) {
        return err;
    }
    for (counter_s &k : c.counters) {
        if (k.offset == off) {
            k.fixed = false;
            k.timed = true;
            k.per_second = *val;
            k.base = std::atomic_ref<uint64_t>(*mem_word(c.mem, off)).load(std::memory_order_relaxed);
            k.since = std::chrono::steady_clock::now();
        }
    }
    *ok = true;
    return "rate " + w[2] + " " + w[3] + " " + w[4] + " " + std::to_string(*val) + "/s";
}

// fault CARD COMMAND MODE
std::string emulator::impl::verb_fault(card_s &c, const std::vector<std::string> &w, bool *ok)
{
    if (w.size() != 4) {
        return usage("fault CARD COMMAND ok|status=N|transport=N|short|short=N");
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
    } else if (m.rfind("status=", 0) == 0 || m.rfind("transport=", 0) == 0 || m.rfind("short=", 0) == 0) {
        auto v = parse_number(m.substr(m.find('=') + 1));
        if (!v || *v > UINT32_MAX) {
            return "bad fault value in '" + m + "'";
        }
        f.mode = m[0] == 's' ? (m[1] == 't' ? fault_e::status : fault_e::short_rsp) : fault_e::transport;
        f.value = static_cast<uint32_t>(*v);
    } else {
        return usage("fault CARD COMMAND ok|status=N|transport=N|short|short=N");
    }
    if (ctl_cmd) {
        c.ctl.set_fault(w[2], f);
    } else {
        c.faults[cmd] = f;
    }
    *ok = true;
    return "fault " + c.addr() + " " + w[2] + " " + m;
}

}  // namespace talon_emu
