// Reading a card's ports and LIFs from its firmware.
#pragma once

#include "monitor/talonmon_card.hpp"
#include "sdk/types.hpp"

#include <vector>

// 0; 62 when the IPC channel does not open; 255 for any other failure
// (entries already read stay in `out`, which the caller then discards).
sdk::sdk_ret_t talonmon_card_port_get(const talonmon_card_ctxt_s &card, std::vector<talonmon_port_entry_s> &out);
sdk::sdk_ret_t talonmon_card_lif_get(const talonmon_card_ctxt_s &card, std::vector<talonmon_lif_entry_s> &out);
