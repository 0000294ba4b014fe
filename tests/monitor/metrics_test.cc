// The metrics registry and its exposition; the monitor state's tests see
// them fed by emulated cards.
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_render.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

namespace {

using e2e::sample_value;

std::string render(const talonmon_metrics_registry &registry) {
    return talonmon_metrics_render(registry, talonmon_process_metrics_sample(), "1.2.3");
}

// A rate goes to the first bucket whose bound holds it; the exposition is
// cumulative, renamed entities keep their counts, and a kind without
// histograms has no family.
TEST(RateHistogram, LadderBucketsAndExposition) {
    for (size_t i = 0; i < k_rate_histogram_bounds; ++i) {
        const double bound = k_rate_histogram_ladder[i];
        EXPECT_EQ(talonmon_rate_bucket(bound), i);
        EXPECT_EQ(talonmon_rate_bucket(std::nextafter(bound, 0.0)), i) << bound;
        EXPECT_EQ(talonmon_rate_bucket(std::nextafter(bound, 1e300)), i + 1) << bound;
    }
    EXPECT_EQ(talonmon_rate_bucket(0), 0u);
    EXPECT_EQ(talonmon_rate_bucket(1e300), k_rate_histogram_bounds);

    talonmon_metrics_registry registry;
    registry.enable({"tx_rdma_unicast_bytes", "rx_rdma_unicast_bytes"}, {"frames_tx_ok"}, {1}, {});
    auto card = registry.make_card("0000:41:00.0", "card-uuid");
    registry.add_card(card);
    auto lif = card->lif("lif-uuid", "rdma0");
    constexpr double k_none = std::numeric_limits<double>::quiet_NaN();
    for (double rate : {0.0, 5.0, 6e10, 2e11, k_none}) {
        const double rates[] = {1.0, rate};  // the first counter has no histogram
        lif->observe_rates(rates);
    }
    const std::string family = "talon_lif_counter_rate_per_second";
    const std::string series = "lif_uuid=\"lif-uuid\",counter=\"rx_rdma_unicast_bytes\"";
    std::string text = render(registry);
    EXPECT_NE(text.find("# TYPE talon_lif_counter_rate_per_second histogram\n"), std::string::npos);
    const std::pair<std::string, std::string> expected[] = {
        {"1", "1"}, {"3.2", "1"}, {"5.6", "2"}, {"56000000000", "2"}, {"100000000000", "3"}, {"+Inf", "4"}};
    for (const auto &[le, count] : expected) {
        EXPECT_EQ(sample_value(text, family + "_bucket", series + ",le=\"" + le + "\"}"), count) << le << "\n" << text;
    }
    EXPECT_EQ(sample_value(text, family + "_count", series + "}"), "4");
    EXPECT_EQ(sample_value(text, family + "_sum", series + "}"), "260000000005");
    EXPECT_FALSE(sample_value(text, family + "_count", "counter=\"tx_rdma_unicast_bytes\""));
    EXPECT_EQ(text.find("talon_port_counter_rate_per_second"), std::string::npos);

    card->lif("lif-uuid", "renamed");
    text = render(registry);
    EXPECT_EQ(sample_value(text, family + "_count", "lif=\"renamed\",lif_uuid=\"lif-uuid\",counter="), "4");
}

TEST(MetricsRender, CountersAreExactLabelsAreEscapedAndRepeatedNamesAppearOnce) {
    talonmon_metrics_registry registry;
    registry.enable({"tx_rdma_unicast_bytes", "tx_rdma_unicast_bytes", "rx_rdma_unicast_bytes"}, {"frames_tx_ok"});
    auto card = registry.make_card("0000:41:00.0", "card-uuid");
    registry.add_card(card);
    auto other = registry.make_card("0000:c1:00.0", "other-card");
    registry.add_card(other);
    card->set_up(true);
    card->set_last_sample_ns(1700000000012345678ULL);
    // Quote, backslash, newline, a stray byte, then C0 (ESC, tab), DEL and C1 (CSI).
    auto lif = card->lif("lif-uuid", "a\"b\\c\nd\xff\x1b\t\x7f\xc2\x9b");
    const uint64_t readings[] = {18446744073709551615ULL, 18446744073709551615ULL, 9007199254740993ULL, 99};
    lif->publish(readings);  // the extra reading is dropped
    const uint64_t other_readings[] = {5, 6, 7};
    other->lif("other-lif", "rdma0")->publish(other_readings);
    const uint64_t port_readings[] = {8};
    other->port("other-port", "eth1/1")->publish(port_readings);

    // Each label carries its own value, on the samples of both kinds and
    // both cards; a card is down until it is seen up.
    const std::string card_labels = R"(bdf="0000:41:00.0",card_uuid="card-uuid")";
    const std::string other_labels = R"(bdf="0000:c1:00.0",card_uuid="other-card")";
    const std::string lif_labels = card_labels + R"(,lif="a\"b\\c\nd)" "\xef\xbf\xbd"
                                   R"(\\x1b\\x09\\x7f\\xc2\\x9b",lif_uuid="lif-uuid")";
    const std::string other_lif = other_labels + R"(,lif="rdma0",lif_uuid="other-lif")";
    const std::string expected =
        "# TYPE talon_lif_tx_rdma_unicast_bytes_total counter\n"
        "talon_lif_tx_rdma_unicast_bytes_total{" + lif_labels + "} 18446744073709551615\n"
        "talon_lif_tx_rdma_unicast_bytes_total{" + other_lif + "} 5\n"
        "# TYPE talon_lif_rx_rdma_unicast_bytes_total counter\n"
        "talon_lif_rx_rdma_unicast_bytes_total{" + lif_labels + "} 9007199254740993\n"
        "talon_lif_rx_rdma_unicast_bytes_total{" + other_lif + "} 7\n"
        "# TYPE talon_port_frames_tx_ok_total counter\n"
        "talon_port_frames_tx_ok_total{" + other_labels + R"(,port="eth1/1",port_uuid="other-port"} 8)" "\n"
        "# TYPE talon_card_up gauge\n"
        "talon_card_up{" + card_labels + "} 1\n"
        "talon_card_up{" + other_labels + "} 0\n"
        "# TYPE talon_card_last_sample_timestamp_seconds gauge\n"
        "talon_card_last_sample_timestamp_seconds{" + card_labels + "} 1700000000.012345\n"
        "talon_card_last_sample_timestamp_seconds{" + other_labels + "} 0.000000\n";
    const std::string text = render(registry);
    // The HELP lines are left out: their wording is for people.
    const std::string without_help = std::regex_replace(text, std::regex("# HELP [^\n]*\n"), "");
    EXPECT_EQ(without_help.substr(0, expected.size()), expected);
    EXPECT_NE(text.find("\ntalonmon_build_info{version=\"1.2.3\"} 1\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\nprocess_open_fds [1-9][0-9]*\n")));

    // A renamed LIF's samples carry the new name (with the last readings),
    // and a body reused from the previous scrape holds this scrape only.
    card->lif("lif-uuid", "renamed");
    std::string reused = text;
    talonmon_metrics_render_to(reused, registry, {}, "1.2.3");
    EXPECT_EQ(reused, talonmon_metrics_render(registry, {}, "1.2.3"));
    EXPECT_NE(reused.find("lif=\"renamed\",lif_uuid=\"lif-uuid\"} 9007199254740993\n"), std::string::npos);
}

}  // namespace
