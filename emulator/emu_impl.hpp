// The emulator's inside: the card model, the firmware command table and the
// state the serving threads share. Only the emulator's own sources use it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emu_card_ctl.hpp"
#include "emulator/emulator.hpp"
#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/unique_fd.hpp"

namespace talon_emu {

namespace fs = std::filesystem;
using utils::unique_fd;

inline constexpr const char *k_ctl_socket = "ctl.sock";
inline constexpr size_t k_max_msg = 2 * FWCTL_SOCK_MAX_PAYLOAD;
inline constexpr uint32_t k_status_ok = 0;
inline constexpr uint32_t k_status_not_found = 4;     // sdk entry not found
inline constexpr uint32_t k_transport_eio = 5;
inline constexpr uint32_t k_transport_einval = 22;
inline constexpr uint32_t k_transport_enotsup = 95;
inline constexpr uint16_t k_lif_cursor_none = 0xFFFF;
inline constexpr uint16_t k_first_lif_id = 0x401;
inline constexpr size_t k_lif_name_field = 78;
inline constexpr uint32_t k_pci_class_bridge = 0x060400;
inline constexpr uint32_t k_pci_class_ethernet = 0x020000;
inline constexpr uint32_t k_pci_class_other = 0x120000;
inline constexpr size_t k_config_space_size = 256;

// ---- firmware command table -------------------------------------------

enum cmd_e : unsigned { DEVICE_INFO, HEARTBEAT, PORT_INFO_GET, PORT_IFINDEX_GET, P4_PORT_STATS, LIF_GET_ALL, k_cmd_count };

struct cmd_def_s {
    const char *name;
    uint32_t ep;
    uint32_t op;
    size_t rsp_len;
};

inline constexpr cmd_def_s k_cmds[k_cmd_count] = {
    {"DEVICE_INFO", 0x13, 0x10001, 388},
    {"HEARTBEAT", 0x13, 0x10000, 16},
    {"PORT_INFO_GET", 0x11, 0x10000, 928},
    {"PORT_IFINDEX_GET", 0x11, 0x1000B, 52},
    {"P4_PORT_STATS_MEM_RE_INFO_GET", 0x11, 0x1001B, 24},
    {"LIF_GET_ALL", 0x12, 0x10001, 152},
};

// replay: the card answers with the nonce of the heartbeat before.
enum class heartbeat_e { ok, fail, mismatch, replay };

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
    // Set by the rate command: the value is base + per_second times the
    // seconds since `since`, exact whatever the counter thread's lateness.
    bool timed = false;
    uint64_t per_second = 0;
    uint64_t base = 0;
    std::chrono::steady_clock::time_point since{};
};

enum class fn_kind_e { bridge, core, tawk, rsc, f1002, f1003 };

struct function_s {
    std::string bdf;
    uint16_t device;
    fn_kind_e kind;
};

// The serial number of the card in slot `index` after `generation`
// replacements; the card's UUID is derived from it.
std::string card_serial(unsigned index, unsigned generation);

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
    uint64_t last_heartbeat_nonce = 0;
    card_ctl ctl;  // CPLD, sensors, FRU and QSFP cages
    bool plugged = true;
    unsigned generation = 0;  // how often another card took the slot
    utils::mapped_file mem;
    std::vector<counter_s> counters;
    // listening device sockets: tawk, tawk alias (card 0), fwctl
    unique_fd tawk_listen;
    unique_fd tawk_alias_listen;
    unique_fd fwctl_listen;

    std::string addr() const { return functions.front().bdf; }
};

enum class conn_kind_e { tawk, fwctl, ctl };

struct conn_s {
    unique_fd fd;
    conn_kind_e kind;
    unsigned card;
};

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
    using verb_handler = std::string (impl::*)(card_s &c, const std::vector<std::string> &w, bool *ok);
    // The handler of a control verb; nullptr for an unknown verb.
    static verb_handler find_verb(const std::string &verb);
    // Control verbs; w holds the words of the command, w[1] names card c.
    std::string verb_card_ctl(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_heartbeat(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_plug(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_add_lif(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_add_port(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_set(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_rate(card_s &c, const std::vector<std::string> &w, bool *ok);
    // The memory offset of the counter that w[2] (lif|port), w[3] (index) and
    // w[4] (counter name) name, or why there is none.
    std::string counter_offset(const card_s &c, const std::vector<std::string> &w, uint64_t *offset);
    std::string verb_fault(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_platform(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_rename_lif(card_s &c, const std::vector<std::string> &w, bool *ok);
    std::string verb_replace(card_s &c, const std::vector<std::string> &w, bool *ok);
    card_s *find_card(const std::string &id);
    void remove_sockets();
};

}  // namespace talon_emu
