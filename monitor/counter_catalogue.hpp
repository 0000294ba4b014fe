// The fixed vocabulary of counters the daemon can sample: per entity kind,
// counter name -> byte offset of the 64-bit counter in the entity's
// statistics block in card memory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

struct talonmon_counter_def_s {
    std::string_view name;
    uint64_t offset;
};

// Size of one counter in card memory.
inline constexpr uint64_t k_counter_size = 8;

inline constexpr std::array<talonmon_counter_def_s, 7> k_lif_counter_defs{{
    {"tx_rdma_unicast_bytes", 0x180},
    {"tx_rdma_unicast_packets", 0x188},
    {"rx_rdma_unicast_bytes", 0x1C0},
    {"rx_rdma_unicast_packets", 0x1C8},
    {"tx_rdma_retransmit_bytes", 0x2B0},
    {"tx_rdma_retransmit_packets", 0x2B8},
    {"rx_rdma_responder_dup_requests", 0x380},
}};

inline constexpr std::array<talonmon_counter_def_s, 2> k_port_counter_defs{{
    {"frames_tx_ok", 0x0},
    {"frames_rx_ok", 0x10},
}};

using talonmon_counter_map_t = std::unordered_map<std::string, uint64_t>;

// Built during static initialisation, read-only afterwards.
extern const talonmon_counter_map_t lif_counter_map;
extern const talonmon_counter_map_t port_counter_map;
extern const talonmon_counter_map_t card_counter_map;
