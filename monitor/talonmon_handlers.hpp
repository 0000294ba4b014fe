// One sampling pass over a card's ports or LIFs: populate and export the
// statistics and event record of every entity.
#pragma once

#include "monitor/talonmon_card.hpp"
#include "monitor/talonmon_telemetry.hpp"

sdk::sdk_ret_t talonmon_handle_port_telemetry(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info);
sdk::sdk_ret_t talonmon_handle_lif_telemetry(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info);
