// talon-emu: a host with TALON cards under one directory. It lays out PCI
// sysfs, device nodes (SOCK_SEQPACKET sockets), lspci/setpci stand-ins and
// card memory files, answers the firmware commands on both transports, and
// keeps the statistics counters in card memory counting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talon_emu {

enum class transport_e { tawk, fwctl, both };

struct config_s {
    std::string root;
    unsigned cards = 1;
    unsigned ports = 2;
    unsigned lifs = 2;
    transport_e transport = transport_e::both;
    // Executable that answers the lspci/setpci stand-ins; empty: this
    // process's own executable when it is talon-emu, else the built one.
    std::string tool_exe;
};

inline constexpr unsigned k_min_cards = 1, k_max_cards = 16;
inline constexpr unsigned k_min_ports = 0, k_max_ports = 11;
inline constexpr unsigned k_min_lifs = 1, k_max_lifs = 64;
// LIFs a card can hold including those added while running.
inline constexpr unsigned k_max_lif_slots = 256;

// Card memory layout (card-side addresses and BAR file sizes).
inline constexpr uint64_t k_reg_window_base = 0x10000000;
inline constexpr uint64_t k_reg_window_size = 0x800000;
inline constexpr uint64_t k_mem_window_base = 0xC0000000;
inline constexpr uint64_t k_mem_window_size = 0x100000;
inline constexpr uint64_t k_rsc_map_size = 0x1000;
inline constexpr uint32_t k_rsc_map_magic = 0x70616c78;
inline constexpr uint32_t k_rsc_map_version = 1;
// Under the root: one empty file per resource device whose memory enable
// (setpci) is made to fail, named by its PCI address.
inline constexpr const char *k_setpci_fault_dir = ".setpci-faults";
inline constexpr uint64_t k_port_region_offset = 0x10000;
inline constexpr uint64_t k_port_stats_stride = 0x400;
inline constexpr uint64_t k_lif_region_offset = 0x20000;
inline constexpr uint64_t k_lif_stats_stride = 0x400;
static_assert(k_lif_region_offset + k_max_lif_slots * k_lif_stats_stride <= k_mem_window_size);
static_assert(k_port_region_offset + k_max_ports * k_port_stats_stride <= k_lif_region_offset);

// How often the counters move.
inline constexpr unsigned k_counter_period_ms = 5;

// Bus layout: card i's switch ports sit on bus k_first_bus + i *
// k_bus_stride; the functions sit on the next two buses.
inline constexpr unsigned k_first_bus = 0x05;
inline constexpr unsigned k_bus_stride = 0x10;

class emulator {
public:
    explicit emulator(config_s cfg);
    ~emulator();
    emulator(const emulator &) = delete;
    emulator &operator=(const emulator &) = delete;

    // Lays out the tree, starts serving and creates root/ready. Throws
    // std::runtime_error with a message on failure.
    void start();
    // Stops serving, removes the sockets and root/ready. Idempotent.
    void stop();

    const config_s &config() const;

    // The card address of card i ("0000:05:00.0" for card 0).
    static std::string card_bdf(unsigned index);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Checks the configuration; returns an error message, empty when valid.
std::string validate_config(const config_s &cfg);

// Sends one control command to the emulator serving root. Returns true when
// the emulator accepted it; *answer gets its answer or an error message.
bool control(const std::string &root, const std::string &command, std::string *answer);

// The lspci and setpci stand-ins over the tree under root; return the exit
// status and write to the given streams.
int tool_main(const std::string &root, const std::string &tool, const std::vector<std::string> &args);

// The talon-emu command line.
int emu_main(int argc, char **argv);

}  // namespace talon_emu
