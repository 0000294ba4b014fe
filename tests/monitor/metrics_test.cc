// The metrics registry and its exposition; the monitor state's tests see
// them fed by emulated cards.
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_render.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace {

// The value of the one sample of `metric` whose labels contain `label_part`.
std::optional<std::string> sample(const std::string &text, const std::string &metric, const std::string &label_part) {
    std::istringstream in(text);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
        if (line.rfind(metric + "{", 0) == 0 && line.find(label_part) != std::string::npos) {
            EXPECT_FALSE(found) << "two samples of " << metric << " match " << label_part;
            found = line.substr(line.rfind(' ') + 1);
        }
    }
    return found;
}

std::string render(const talonmon_metrics_registry &registry) {
    return talonmon_metrics_render(registry, talonmon_process_metrics_sample(), "1.2.3");
}

// The ladder spans 1/s to 1e11/s (800 Gbit/s in bytes) at about four buckets
// a decade; a rate goes to the first bucket whose bound holds it; the
// exposition is cumulative, renamed entities keep their counts, and a kind
// without histograms has no family.
TEST(RateHistogram, LadderBucketsAndExposition) {
    EXPECT_EQ(k_rate_histogram_ladder.front(), 1.0);
    EXPECT_EQ(k_rate_histogram_ladder.back(), 1e11);
    for (size_t i = 0; i < k_rate_histogram_bounds; ++i) {
        if (i > 0) {
            const double step = k_rate_histogram_ladder[i] / k_rate_histogram_ladder[i - 1];
            EXPECT_TRUE(step > 1.6 && step < 1.9) << i;
        }
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
    auto bucket = [&](const std::string &text, const std::string &le) {
        return sample(text, family + "_bucket", series + ",le=\"" + le + "\"}");
    };
    std::string text = render(registry);
    EXPECT_NE(text.find("# TYPE talon_lif_counter_rate_per_second histogram\n"), std::string::npos);
    const std::pair<std::string, std::string> expected[] = {
        {"1", "1"}, {"3.2", "1"}, {"5.6", "2"}, {"56000000000", "2"}, {"100000000000", "3"}, {"+Inf", "4"}};
    for (const auto &[le, count] : expected) {
        EXPECT_EQ(bucket(text, le), count) << le << "\n" << text;
    }
    EXPECT_EQ(sample(text, family + "_count", series + "}"), "4");
    EXPECT_EQ(sample(text, family + "_sum", series + "}"), "260000000005");
    EXPECT_FALSE(sample(text, family + "_count", "counter=\"tx_rdma_unicast_bytes\""));
    EXPECT_EQ(text.find("talon_port_counter_rate_per_second"), std::string::npos);

    card->lif("lif-uuid", "renamed");
    text = render(registry);
    EXPECT_EQ(sample(text, family + "_count", "lif=\"renamed\",lif_uuid=\"lif-uuid\",counter="), "4");
}

TEST(MetricsRender, CountersAreExactLabelsAreEscapedAndRepeatedNamesAppearOnce) {
    talonmon_metrics_registry registry;
    registry.enable({"tx_rdma_unicast_bytes", "tx_rdma_unicast_bytes", "rx_rdma_unicast_bytes"}, {"frames_tx_ok"});
    auto card = registry.make_card("0000:41:00.0", "card-uuid");
    registry.add_card(card);
    EXPECT_EQ(sample(render(registry), "talon_card_up", "card_uuid=\"card-uuid\""), "0") << "up once sampled";
    card->set_up(true);
    // Quote, backslash, newline, a stray byte, then C0 (ESC, tab), DEL and C1 (CSI).
    auto lif = card->lif("lif-uuid", "a\"b\\c\nd\xff\x1b\t\x7f\xc2\x9b");
    const uint64_t readings[] = {18446744073709551615ULL, 18446744073709551615ULL, 9007199254740993ULL, 99};
    lif->publish(readings);  // the extra reading is dropped

    const std::string text = render(registry);
    EXPECT_EQ(sample(text, "talon_lif_tx_rdma_unicast_bytes_total", "lif_uuid=\"lif-uuid\""), "18446744073709551615");
    EXPECT_EQ(sample(text, "talon_lif_rx_rdma_unicast_bytes_total", "lif_uuid=\"lif-uuid\""), "9007199254740993");
    EXPECT_NE(text.find(R"(lif="a\"b\\c\nd)" "\xef\xbf\xbd" R"(\\x1b\\x09\\x7f\\xc2\\x9b")"), std::string::npos)
        << text;
    EXPECT_EQ(sample(text, "talonmon_build_info", "version=\"1.2.3\""), "1");
    EXPECT_EQ(sample(text, "talon_card_up", "bdf=\"0000:41:00.0\",card_uuid=\"card-uuid\""), "1");
    card->set_last_sample_ns(1700000000012345678ULL);
    EXPECT_EQ(sample(render(registry), "talon_card_last_sample_timestamp_seconds", "card_uuid=\"card-uuid\""),
              "1700000000.012345");
    // Each label carries its own value, on the samples of both kinds and of
    // a second card.
    auto other = registry.make_card("0000:c1:00.0", "other-card");
    registry.add_card(other);
    const uint64_t other_readings[] = {5, 6, 7};
    other->lif("other-lif", "rdma0")->publish(other_readings);
    const uint64_t port_readings[] = {8};
    other->port("other-port", "eth1/1")->publish(port_readings);
    const std::string both = render(registry);
    for (const char *expected :
         {"talon_lif_rx_rdma_unicast_bytes_total{bdf=\"0000:c1:00.0\",card_uuid=\"other-card\",lif=\"rdma0\","
          "lif_uuid=\"other-lif\"} 7\n",
          "talon_port_frames_tx_ok_total{bdf=\"0000:c1:00.0\",card_uuid=\"other-card\",port=\"eth1/1\","
          "port_uuid=\"other-port\"} 8\n"}) {
        EXPECT_NE(both.find(expected), std::string::npos) << expected << both;
    }

    // Every family once, with HELP and TYPE before its samples.
    std::regex type_line("^# TYPE ([a-z_]+) (counter|gauge)$");
    std::set<std::string> families;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, type_line)) {
            EXPECT_TRUE(families.insert(m[1]).second) << m[1];
            EXPECT_EQ(m[2] == "counter", m[1].str().ends_with("_total")) << m[1];
            current = m[1];
        } else if (line[0] != '#') {
            EXPECT_EQ(line.rfind(current, 0), 0u) << line;
        }
    }
    for (const char *family : {"talon_port_frames_tx_ok_total", "talonmon_logging_errors_total", "process_open_fds"}) {
        EXPECT_TRUE(families.count(family)) << family;
    }

    // A renamed LIF's samples carry the new name (with the last readings),
    // and a body reused from the previous scrape holds this scrape only.
    card->lif("lif-uuid", "renamed");
    std::string reused = both;
    talonmon_metrics_render_to(reused, registry, talonmon_process_metrics_sample(), "1.2.3");
    EXPECT_EQ(sample(reused, "talon_lif_rx_rdma_unicast_bytes_total", "lif=\"renamed\""), "9007199254740993");
    EXPECT_EQ(reused.find("a\\\"b"), std::string::npos) << reused;
    EXPECT_EQ(reused.find("# HELP talon_lif_tx_rdma_unicast_bytes_total"),
              reused.rfind("# HELP talon_lif_tx_rdma_unicast_bytes_total"));
    EXPECT_TRUE(std::regex_search(reused, std::regex("\nprocess_open_fds [1-9][0-9]*\n")));
}

}  // namespace
