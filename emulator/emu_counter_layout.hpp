// Where the card firmware keeps each statistics counter inside a port's or a
// LIF's statistics block. The card's layout, written out here as the card
// defines it: a reader that expects a counter elsewhere reads another value.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace talon_emu {

struct emu_counter_s {
    std::string_view name;
    uint64_t offset;  // bytes from the start of the entity's statistics block
};

inline constexpr std::array<emu_counter_s, 2> k_port_counter_layout{{
    {"frames_tx_ok", 0x0},
    {"frames_rx_ok", 0x10},
}};

inline constexpr std::array<emu_counter_s, 7> k_lif_counter_layout{{
    {"tx_rdma_unicast_bytes", 0x180},
    {"tx_rdma_unicast_packets", 0x188},
    {"rx_rdma_unicast_bytes", 0x1C0},
    {"rx_rdma_unicast_packets", 0x1C8},
    {"tx_rdma_retransmit_bytes", 0x2B0},
    {"tx_rdma_retransmit_packets", 0x2B8},
    {"rx_rdma_responder_dup_requests", 0x380},
}};

}  // namespace talon_emu
