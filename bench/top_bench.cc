// talonmon-top reading one scrape of a large host (16 cards, 64 LIFs with 7
// counters and 12 ports with 2 each): parsing, grouping and rates, against
// the floor of finding the lines of the same text.
#include "top/top_model.hpp"
#include "top/top_scrape.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstring>
#include <string>

namespace {

constexpr int k_cards = 16;
constexpr int k_lifs = 64;
constexpr int k_ports = 12;
constexpr const char *k_lif_counters[] = {
    "tx_rdma_unicast_bytes",    "tx_rdma_unicast_packets",    "rx_rdma_unicast_bytes",         "rx_rdma_unicast_packets",
    "tx_rdma_retransmit_bytes", "tx_rdma_retransmit_packets", "rx_rdma_responder_dup_requests"};
constexpr const char *k_port_counters[] = {"frames_tx_ok", "frames_rx_ok"};

std::string large_scrape(uint64_t base) {
    std::string out;
    for (const char *counter : k_lif_counters) {
        fmt::format_to(std::back_inserter(out), "# TYPE talon_lif_{}_total counter\n", counter);
        for (int c = 0; c < k_cards; ++c) {
            for (int l = 0; l < k_lifs; ++l) {
                fmt::format_to(std::back_inserter(out),
                               "talon_lif_{}_total{{bdf=\"0000:{:02x}:00.0\",card_uuid=\"4242544c-4e32-3430-3030-3130{:08x}\","
                               "lif=\"rdma{}\",lif_uuid=\"4c494600-0000-4000-8000-02544c4e{:04x}\"}} {}\n",
                               counter, c, c, l, l, base + static_cast<uint64_t>(l) * 1000);
            }
        }
    }
    for (const char *counter : k_port_counters) {
        for (int c = 0; c < k_cards; ++c) {
            for (int p = 0; p < k_ports; ++p) {
                fmt::format_to(std::back_inserter(out),
                               "talon_port_{}_total{{bdf=\"0000:{:02x}:00.0\",card_uuid=\"u{}\",port=\"eth1/{}\","
                               "port_uuid=\"p{}\"}} {}\n",
                               counter, c, c, p, p, base);
            }
        }
    }
    for (int c = 0; c < k_cards; ++c) {
        fmt::format_to(std::back_inserter(out), "talon_card_up{{bdf=\"0000:{:02x}:00.0\",card_uuid=\"u{}\"}} 1\n", c, c);
    }
    return out;
}

void BM_top_read_scrape(benchmark::State &state) {
    const std::string first = large_scrape(1000000);
    const std::string second = large_scrape(2000000);
    top_model model;
    double t = 0;
    for (auto _ : state) {
        top_snapshot_s snapshot;
        snapshot.monotonic = ++t;
        top_snapshot_from_scrape(static_cast<uint64_t>(t) % 2 ? first : second, snapshot);
        model.update(snapshot);
        benchmark::DoNotOptimize(model.cards().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * first.size()));
}
BENCHMARK(BM_top_read_scrape)->Unit(benchmark::kMillisecond);

// The floor: every line of the same text found, nothing read from it.
void BM_top_scan_lines(benchmark::State &state) {
    const std::string text = large_scrape(1000000);
    for (auto _ : state) {
        size_t lines = 0;
        for (const char *p = text.data(), *end = p + text.size();
             (p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr; ++p) {
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_top_scan_lines)->Unit(benchmark::kMillisecond);

}  // namespace
