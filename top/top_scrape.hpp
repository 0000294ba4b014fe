// The daemon's metrics (Prometheus text) turned into a snapshot.
#pragma once

#include "top/top_prom_text.hpp"
#include "top/top_snapshot.hpp"

#include <string_view>

// Fills `snapshot.cards` and `snapshot.daemon_start` from a scrape; cards in
// the order of their PCI addresses, entities in the order of the scrape.
void top_snapshot_from_scrape(std::string_view text, top_snapshot_s &snapshot);
