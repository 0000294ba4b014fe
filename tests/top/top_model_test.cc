// talonmon-top's model: the Prometheus text it reads, the rates it computes
// from successive readings (resets, down cards, daemon restarts) and how it
// shows them.
#include "top/top_format.hpp"
#include "top/top_model.hpp"
#include "top/top_prom_text.hpp"
#include "top/top_scrape.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <tuple>

namespace {

const std::string k_bdf = "0000:05:00.0";

// A scrape as the daemon writes it, for one card with one LIF and one port.
std::string scrape(uint64_t tx_bytes, uint64_t rx_bytes, uint64_t retransmit, uint64_t frames, int up = 1,
                   uint64_t passes = 100, uint64_t overruns = 1, double start = 1700000000) {
    const std::string card = "bdf=\"" + k_bdf + "\",card_uuid=\"c-1\"";
    const std::string lif = card + ",lif=\"lif1\",lif_uuid=\"l-1\"";
    return "# HELP talon_lif_tx_rdma_unicast_bytes_total Raw reading.\n"
           "# TYPE talon_lif_tx_rdma_unicast_bytes_total counter\n"
           "talon_lif_tx_rdma_unicast_bytes_total{" + lif + "} " + std::to_string(tx_bytes) + "\n"
           "talon_lif_rx_rdma_unicast_bytes_total{" + lif + "} " + std::to_string(rx_bytes) + "\n"
           "talon_lif_tx_rdma_retransmit_bytes_total{" + lif + "} " + std::to_string(retransmit) + "\n"
           "talon_port_frames_tx_ok_total{" + card + ",port=\"eth1/1\",port_uuid=\"p-1\"} " + std::to_string(frames) + "\n"
           "talon_card_up{" + card + "} " + std::to_string(up) + "\n"
           "talon_card_down_transitions_total{" + card + "} 0\n"
           "talonmon_sampling_passes_total{" + card + "} " + std::to_string(passes) + "\n"
           "talonmon_sampling_overruns_total{" + card + "} " + std::to_string(overruns) + "\n"
           "talonmon_telemetry_lines_total{" + card + ",file=\"stats\"} 5\n"
           "talonmon_logging_errors_total 0\n"
           "process_start_time_seconds " + std::to_string(start) + "\n";
}

top_snapshot_s snapshot_of(const std::string &text, double at) {
    top_snapshot_s s;
    s.wall = 1700000000 + at;
    s.monotonic = at;
    top_snapshot_from_scrape(text, s);
    return s;
}

// The first card's first entity: the LIF, which the scrapes here list first.
const top_entity_view_s &lif_of(const top_model &model) {
    return model.cards().at(0).entities.at(0);
}

TEST(TopPromText, ReadsLabelsEscapesSpecialValuesAndSkipsWhatDoesNotParse) {
    const auto parsed = top_prom_parse(
        "# HELP x y\n"
        "a_total{bdf=\"0000:05:00.0\",lif=\"we\\\"ird\\\\na\\nme\"} 18446744073709551615\n"
        "  b 1.5e3 1700000000000\r\n"
        "c{} NaN\n"
        "d{l=\"v\",} +Inf\n"
        "broken{l=\"unterminated} 1\n"
        "e{l=v} 1\n"
        "f notanumber\n"
        "\n");
    ASSERT_EQ(std::tuple(parsed.samples.size(), parsed.bad_lines), std::tuple(4u, 3u));
    // The largest count exactly, not rounded through a double.
    EXPECT_EQ(std::tuple(*parsed.samples[0].label("lif"), parsed.samples[0].exact, parsed.samples[1].name,
                         parsed.samples[1].value, parsed.samples[1].exact, parsed.samples[3].label("missing")),
              std::tuple("we\"ird\\na\nme", std::optional<uint64_t>(18446744073709551615ull), "b", 1500.0, std::nullopt,
                         nullptr));
    EXPECT_TRUE(std::isnan(parsed.samples[2].value) && std::isinf(parsed.samples[3].value));
}

// One model through a card's life: rates, a reset, the card going down and
// back, the endpoint failing, the daemon restarting, and a long history.
TEST(TopModel, RatesOnlyWithinOneSeriesAndStatesWithTheTimeOfTheirChange) {
    top_model model;
    const auto tx_rate = [&] { return lif_of(model).counter("tx_rdma_unicast_bytes")->rate; };
    const auto card = [&]() -> const top_card_view_s & { return model.cards().at(0); };
    model.update(snapshot_of(scrape(1000, 0, 0, 0, 1, 100, 1), 10));
    EXPECT_EQ(std::tuple(tx_rate(), card().passes, card().state, card().since_exact),
              std::tuple(std::nullopt, std::nullopt, top_card_view_state_e::up, false));  // up at least since then
    model.update(snapshot_of(scrape(3000, 500, 40, 200, 1, 150, 1), 12));
    const auto &lif = lif_of(model);
    EXPECT_EQ(std::tuple(lif.counter("tx_rdma_unicast_bytes")->rate, lif.counter("rx_rdma_unicast_bytes")->rate,
                         lif.retransmit_share, lif.throughput, lif.throughput_in_bytes),
              std::tuple(1000.0, 250.0, 40.0 / 2000.0, 1250.0, true));
    EXPECT_EQ(std::tuple(card().passes, card().overruns, card().lifs, card().ports), std::tuple(50u, 0u, 1u, 1u));

    // The counter went back: a reset, so no rate (never a negative one) ...
    model.update(snapshot_of(scrape(100, 600, 40, 300, 1, 10, 0), 13));
    EXPECT_EQ(std::tuple(tx_rate(), lif_of(model).counter("rx_rdma_unicast_bytes")->rate, card().passes),
              std::tuple(std::nullopt, 100.0, std::nullopt));
    EXPECT_TRUE(std::isnan(*lif_of(model).throughput));  // one of its counters has no rate
    // ... and the next interval counts from the new value.
    model.update(snapshot_of(scrape(600, 600, 40, 300, 1, 20, 0), 14));
    EXPECT_EQ(std::tuple(tx_rate(), card().passes), std::tuple(500.0, 10u));
    // One sample per reading, gaps where there was no rate.
    const auto &history = lif_of(model).history;
    ASSERT_EQ(history.size(), 4u);
    EXPECT_TRUE(std::isnan(history[0]) && std::isnan(history[2]));
    EXPECT_DOUBLE_EQ(history[3], 500);

    // Down: shown with the time of the change; not measured (no rate, no
    // share, never a rate of 0) ...
    model.update(snapshot_of(scrape(600, 600, 40, 300, 0), 15));
    model.update(snapshot_of(scrape(600, 600, 40, 300, 0), 16));
    EXPECT_EQ(std::tuple(card().state, card().since, card().since_exact, tx_rate(), lif_of(model).retransmit_share,
                         card().tx_bytes, model.summary().down),
              std::tuple(top_card_view_state_e::down, 1700000015.0, true, std::nullopt, std::nullopt, std::nullopt, 1u));
    // ... back up with readings that grew while it was not read: no rate for
    // that interval (a spike of the whole outage), rates from the next one.
    model.update(snapshot_of(scrape(90000, 0, 0, 0, 1), 17));
    EXPECT_EQ(std::tuple(card().state, card().since, tx_rate()),
              std::tuple(top_card_view_state_e::up, 1700000017.0, std::nullopt));
    model.update(snapshot_of(scrape(91000, 0, 0, 0, 1), 18));
    EXPECT_EQ(tx_rate(), 1000.0);

    // The endpoint fails: the error and its time, the card kept, no rates.
    model.update_failed(1700000019, "connection refused");
    EXPECT_EQ(std::tuple(model.error(), model.error_since(), tx_rate(), model.cards().size()),
              std::tuple("connection refused", 1700000019.0, std::nullopt, 1u));
    // A new daemon that has not found the card yet: the card is gone.
    model.update(snapshot_of("process_start_time_seconds 1700000020\n", 20));
    ASSERT_EQ(model.cards().size(), 1u);
    EXPECT_EQ(std::tuple(model.error(), model.restarted_at(), card().state, card().entities.size()),
              std::tuple("", 1700000020.0, top_card_view_state_e::absent, 0u));
    // Back, with readings that grew: the first interval after a restart has
    // no rate, the next one has. The history keeps the last sixty.
    for (int i = 0; i <= 70; ++i) {
        model.update(snapshot_of(scrape(100000 + static_cast<uint64_t>(i) * i * 100, 0, 0, 0, 1, 5, 0, 1700000020), 21 + i));
        if (i < 2) {
            EXPECT_EQ(std::tuple(card().state, tx_rate()),
                      std::tuple(top_card_view_state_e::up, i == 0 ? std::nullopt : std::optional(100.0)));
        }
    }
    ASSERT_EQ(lif_of(model).history.size(), k_top_history);
    EXPECT_EQ(std::tuple(lif_of(model).history.front(), lif_of(model).history.back()),
              std::tuple(100.0 * (11 * 11 - 10 * 10), 100.0 * (70 * 70 - 69 * 69)));
}

// A scrape of one card whose last sample was taken at `sampled` (wall), and
// its last sample of LIFs at `lifs_sampled` where that is given.
std::string timed_scrape(uint64_t tx_bytes, double sampled, const std::string &lif = "lif1",
                         std::optional<double> lifs_sampled = std::nullopt) {
    const std::string card = "bdf=\"" + k_bdf + "\",card_uuid=\"c-1\"";
    return "talon_lif_tx_rdma_unicast_bytes_total{" + card + ",lif=\"" + lif + "\",lif_uuid=\"l-" + lif + "\"} " +
           std::to_string(tx_bytes) + "\ntalon_card_up{" + card + "} 1\n" +
           "talon_card_last_sample_timestamp_seconds{" + card + "} " + std::to_string(sampled) + "\n" +
           (lifs_sampled ? "talon_card_last_sample_by_kind_timestamp_seconds{" + card + ",kind=\"lif\"} " +
                               std::to_string(*lifs_sampled) + "\n"
                         : "");
}

TEST(TopModel, RatesAreTakenBetweenSamplesHeldWithoutANewOneAndStaleCardsShowNone) {
    top_model model;
    model.set_stale_after(3);
    model.update(snapshot_of(timed_scrape(0, 1000.0), 0));
    // Read 1 s later, but the samples are 0.1 s apart: the rate is per the
    // samples' time, not the readings'.
    model.update(snapshot_of(timed_scrape(1000, 1000.1), 1));
    const auto *tx = lif_of(model).counter("tx_rdma_unicast_bytes");
    EXPECT_EQ(std::tuple(std::lround(tx->rate.value_or(0)), tx->held), std::tuple(10000L, false));
    // No new sample: the last rate, marked, never 0 or a spike.
    model.update(snapshot_of(timed_scrape(1000, 1000.1), 2));
    tx = lif_of(model).counter("tx_rdma_unicast_bytes");
    EXPECT_EQ(std::tuple(std::lround(tx->rate.value_or(0)), tx->held, model.cards()[0].stale),
              std::tuple(10000L, true, false));
    // Still no new sample long after: the card is stale and shows nothing.
    model.age(10);
    EXPECT_TRUE(model.cards()[0].stale);
    EXPECT_FALSE(lif_of(model).counter("tx_rdma_unicast_bytes")->rate);
    EXPECT_EQ(top_summary_text(model.summary()), "1 card, 0 down, 1 stale, 0 overruns, 0 failed reads");

    // A renamed LIF: the old one's readings and history are forgotten.
    model.update(snapshot_of(timed_scrape(2000, 1011, "lif2"), 11));
    EXPECT_EQ(model.remembered_entities(), 1u);
    EXPECT_FALSE(model.cards()[0].stale);

    // Ports sampled between two LIF passes move the card's time, not the
    // LIFs': a LIF's rate is over the time between its own samples.
    top_model mixed;
    mixed.update(snapshot_of(timed_scrape(0, 1000.0, "lif1", 1000.0), 0));
    mixed.update(snapshot_of(timed_scrape(0, 1000.5, "lif1", 1000.0), 1));
    EXPECT_FALSE(lif_of(mixed).counter("tx_rdma_unicast_bytes")->rate);
    mixed.update(snapshot_of(timed_scrape(1000, 1001.0, "lif1", 1001.0), 2));
    EXPECT_EQ(lif_of(mixed).counter("tx_rdma_unicast_bytes")->rate, 1000.0);
}

TEST(TopScrape, HostileScrapesAreBoundedAndCancellable) {
    std::string text;
    for (int i = 0; i < 5000; ++i) {
        text += "talon_lif_tx_rdma_unicast_bytes_total{bdf=\"b\",lif=\"l" + std::to_string(i) + "\",lif_uuid=\"u\"} 1\n";
    }
    top_snapshot_s s;
    EXPECT_EQ(top_snapshot_from_scrape(text, s, nullptr, 4999), top_scrape_status_e::too_many_series);
    EXPECT_TRUE(s.cards.empty());
    const std::atomic<bool> cancel{true};
    EXPECT_EQ(top_snapshot_from_scrape(text, s, &cancel), top_scrape_status_e::cancelled);
    EXPECT_EQ(top_snapshot_from_scrape(text, s), top_scrape_status_e::ok);
    EXPECT_EQ(std::tuple(s.cards.size(), s.cards.at(0).entities.size()), std::tuple(1u, 5000u));  // found by hash
}

TEST(TopModel, SortFilterAndEntitiesReportedInAnotherOrder) {
    top_model model;
    top_snapshot_s a = snapshot_of(scrape(0, 0, 0, 0), 0);
    top_entity_s lif2 = a.cards[0].entities[0];
    lif2.name = "alpha";
    lif2.uuid = "l-2";
    lif2.counters[0].value = 5000;  // tx_rdma_unicast_bytes
    a.cards[0].entities.push_back(lif2);
    top_card_s other = a.cards[0];
    other.bdf = "0000:15:00.0";
    a.cards.push_back(other);
    model.update(a);
    top_snapshot_s b = a;
    b.monotonic = 1;
    b.cards[0].entities[0].counters[0].value = 100;  // lif1 sends 100 B/s
    b.cards[0].entities[2].counters[0].value = 5900;  // alpha sends 900 B/s
    // Listed in another order: each entity keeps its own readings.
    std::reverse(b.cards[0].entities.begin(), b.cards[0].entities.end());
    model.update(b);

    const auto by_name = top_arrange(model.cards(), 0, "");
    ASSERT_EQ(by_name.size(), 2u);
    EXPECT_EQ(std::tuple(by_name[0].entities[0].name, by_name[0].entities[0].counter("tx_rdma_unicast_bytes")->rate,
                         by_name[0].entities[1].name, by_name[0].entities[1].counter("tx_rdma_unicast_bytes")->rate),
              std::tuple("alpha", 900.0, "lif1", 100.0));
    EXPECT_EQ(by_name[0].entities[2].kind, top_entity_kind_e::port);  // LIFs first, then ports
    const auto by_throughput = top_arrange(model.cards(), 1, "");
    EXPECT_EQ(by_throughput[0].entities[0].name, "alpha");
    ASSERT_GE(top_sort_column_count(model.cards()), 4u);
    EXPECT_EQ(top_sort_column_name(model.cards(), 3), "tx_rdma_unicast_bytes");
    b.cards[0].entities[2].counters[0].value = 2000;  // lif1 now 1900 B/s, alpha 0
    b.monotonic = 2;
    model.update(b);
    EXPECT_EQ(top_arrange(model.cards(), 3, "")[0].entities[0].name, "lif1");

    const auto only_card = top_arrange(model.cards(), 0, "0000:15");
    ASSERT_EQ(only_card.size(), 1u);
    EXPECT_EQ(only_card[0].entities.size(), 3u);
    const auto only_alpha = top_arrange(model.cards(), 0, "ALPHA");
    ASSERT_EQ(only_alpha.size(), 2u);
    EXPECT_EQ(only_alpha[0].entities.size(), 1u);
    EXPECT_TRUE(top_arrange(model.cards(), 0, "nothing-like-this").empty());
}

TEST(TopFormat, UnitsScaleAtTheirBoundaries) {
    for (const auto &[rate, counter, shown] :
         {std::tuple{0.0, "tx_rdma_unicast_bytes", "0B/s"}, {1023.0, "tx_rdma_unicast_bytes", "1023B/s"},
          {1024.0, "tx_rdma_unicast_bytes", "1.00KiB/s"}, {15.0 * 1024 * 1024, "rx_rdma_unicast_bytes", "15.0MiB/s"},
          {999.0, "tx_rdma_unicast_packets", "999pkt/s"}, {1000.0, "frames_tx_ok", "1.00kpkt/s"},
          {2.5e9, "frames_rx_ok", "2.50Gpkt/s"}, {12.0, "rx_rdma_responder_dup_requests", "12req/s"}}) {
        EXPECT_EQ(top_format_rate(rate, counter), shown);
    }
    EXPECT_EQ(top_format_rate(3 * 1024 * 1024, "tx_rdma_unicast_bytes", true), "25.2Mbit/s");
    EXPECT_EQ(top_format_share(0.0123), "1.23%");
    EXPECT_EQ(top_sparkline({0, 1, std::nan(""), 7}, 60, false), "_. #");
    EXPECT_EQ(top_sparkline({0, 1, 2, 3}, 2, false), "+#");  // the newest samples that fit
}

TEST(TopFormat, PlainTableAndJsonShowTheSameReading) {
    top_model model;
    model.update(snapshot_of(scrape(0, 0, 0, 0, 1), 0));
    model.update(snapshot_of(scrape(2048, 1024, 41, 1000, 1), 2));
    const std::string table = top_plain_table("http://x/metrics", model, 0, "");
    const std::string csv = top_batch_records(model, top_batch_format_e::csv, true);
    // Batch records: one per counter, the rate per second and its unit.
    for (const auto &[text, parts] : std::initializer_list<std::pair<std::string, std::vector<std::string>>>{
             {table,
              {"CARD 0000:05:00.0 up since <=", "LIFs 1  ports 1", "1.00KiB/s",  // 2048 B over 2 s
               "500pkt/s", "2.00%",  // 20.5 of 1024 B/s
               "\n1 card, 0 down, 0 stale, 0 overruns, 0 failed reads\n"}},
             {top_json("http://x/metrics", model),
              {"\"bdf\": \"0000:05:00.0\", \"uuid\": \"c-1\", \"state\": \"up\"", "\"name\": \"lif1\", \"uuid\": \"l-1\"",
               "{\"name\": \"tx_rdma_unicast_bytes\", \"value\": 2048, \"cumulative\": true, \"rate\": 1024, "
               "\"held\": false, \"lower_bound\": false}"}},
             {csv,
              {",\"0000:05:00.0\",lif,\"lif1\",\"tx_rdma_unicast_bytes\",1024.000,B/s,false\n",
               ",port,\"eth1/1\",\"frames_tx_ok\",500.000,pkt/s,false\n"}},
             {top_batch_records(model, top_batch_format_e::jsonl, true),
              {"\"kind\": \"lif\", \"entity\": \"lif1\", \"counter\": \"tx_rdma_unicast_bytes\", \"rate\": 1024, "
               "\"unit\": \"B/s\""}}}) {
        for (const std::string &part : parts) {
            EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
        }
    }
    EXPECT_EQ(csv.substr(0, csv.find('\n')), "time,card,kind,entity,counter,rate,unit,lower_bound");

    // A name with a terminal escape and a byte that is not UTF-8: escaped in
    // the table, valid JSON in the document.
    top_snapshot_s odd = snapshot_of(scrape(0, 0, 0, 0), 3);
    odd.cards[0].entities[0].name = "ev\x1b[31mil\xff";
    model.update(odd);
    const std::string odd_table = top_plain_table("x", model, 0, "");
    EXPECT_EQ(odd_table.find('\x1b'), std::string::npos) << odd_table;
    EXPECT_NE(odd_table.find("  ev\\x1b[31mi "), std::string::npos) << odd_table;  // cut to its column
    const std::string json = top_json("x", model);
    EXPECT_NE(json.find("\"name\": \"ev\\u001b[31mil\xef\xbf\xbd\""), std::string::npos) << json;
}

}  // namespace
