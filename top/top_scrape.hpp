// The daemon's metrics (Prometheus text) turned into a snapshot in one pass
// over the text, with one hashed look-up per sample.
#pragma once

#include "top/top_prom_text.hpp"
#include "top/top_snapshot.hpp"

#include <atomic>
#include <cstddef>
#include <string_view>

// More LIF and port series than a host has (16 cards with 1024 LIFs and 6
// counters each): a scrape with more is refused rather than held.
inline constexpr size_t k_top_max_series = 100000;

enum class top_scrape_status_e { ok, cancelled, too_many_series };

// Fills `snapshot.cards` and `snapshot.daemon_start` from a scrape; cards in
// the order of their PCI addresses, entities in the order of the scrape.
// Stops early (no cards) when `cancel` becomes true or the scrape holds more
// than `max_series` counter series.
top_scrape_status_e top_snapshot_from_scrape(std::string_view text, top_snapshot_s &snapshot,
                                             const std::atomic<bool> *cancel = nullptr,
                                             size_t max_series = k_top_max_series);
