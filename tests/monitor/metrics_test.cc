// The metrics registry and its exposition, alone and fed by the monitor
// state against emulated cards.
#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_render.hpp"
#include "monitor/talonmon_state.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace {

using test_support::emulated_host;
using test_support::wait_until;

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

TEST(ListenAddress, AcceptsNumericHostsWithAPortAndNothingElse) {
    EXPECT_EQ(talonmon_parse_listen_address("127.0.0.1:9417"), (talonmon_listen_address_s{"127.0.0.1", 9417}));
    EXPECT_EQ(talonmon_parse_listen_address("0.0.0.0:1"), (talonmon_listen_address_s{"0.0.0.0", 1}));
    EXPECT_EQ(talonmon_parse_listen_address("[::1]:65535"), (talonmon_listen_address_s{"::1", 65535}));
    EXPECT_EQ(talonmon_parse_listen_address("[::]:80"), (talonmon_listen_address_s{"::", 80}));
    for (const char *bad : {"", ":9417", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:+80",
                            "127.0.0.1:08", "127.0.0.1:80 ", "localhost:9417", "::1:9417", "[127.0.0.1]:80",
                            "[::1:80", "127.1:80", "999.0.0.1:80", "[fe80::1%eth0]:80", "127.0.0.1:99999999999"}) {
        EXPECT_FALSE(talonmon_parse_listen_address(bad)) << bad;
    }
}

TEST(MetricsRender, CountersAreExactLabelsAreEscapedAndRepeatedNamesAppearOnce) {
    talonmon_metrics_registry registry;
    registry.enable({"tx_rdma_unicast_bytes", "tx_rdma_unicast_bytes", "rx_rdma_unicast_bytes"}, {"frames_tx_ok"});
    auto card = registry.make_card("0000:41:00.0", "card-uuid");
    registry.add_card(card);
    auto lif = card->lif("lif-uuid", "a\"b\\c\nd\xff");
    const uint64_t readings[] = {18446744073709551615ULL, 18446744073709551615ULL, 9007199254740993ULL, 99};
    lif->publish(readings);  // the extra reading is dropped

    const std::string text = render(registry);
    EXPECT_EQ(sample(text, "talon_lif_tx_rdma_unicast_bytes_total", "lif_uuid=\"lif-uuid\""), "18446744073709551615");
    EXPECT_EQ(sample(text, "talon_lif_rx_rdma_unicast_bytes_total", "lif_uuid=\"lif-uuid\""), "9007199254740993");
    EXPECT_NE(text.find("lif=\"a\\\"b\\\\c\\nd\xef\xbf\xbd\""), std::string::npos) << text;
    EXPECT_EQ(sample(text, "talonmon_build_info", "version=\"1.2.3\""), "1");
    EXPECT_EQ(sample(text, "talon_card_up", "bdf=\"0000:41:00.0\",card_uuid=\"card-uuid\""), "1");

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
    for (const char *family : {"talon_port_frames_tx_ok_total", "talon_card_down_transitions_total",
                               "talonmon_sampling_passes_total", "talonmon_sampling_overruns_total",
                               "talonmon_telemetry_lines_total", "talonmon_logging_errors_total",
                               "talonmon_discovery_passes_total", "process_cpu_seconds_total",
                               "process_resident_memory_bytes", "process_open_fds", "process_start_time_seconds"}) {
        EXPECT_TRUE(families.count(family)) << family;
    }
}

TEST(MetricsRegistry, CardGoingDownIsCountedOnceAndEntitiesKeepTheirSlotsByUuid) {
    talonmon_metrics_registry registry;
    EXPECT_FALSE(registry.make_card("b", "u")) << "disabled registry hands out cards";
    registry.enable({"c"}, {"c"});
    auto card = registry.make_card("b", "u");
    card->set_up(false);
    card->set_up(false);
    card->set_up(true);
    card->set_up(false);
    EXPECT_EQ(card->down_transitions(), 2u);
    EXPECT_FALSE(card->up());

    auto first = card->lif("l1", "rdma0");
    EXPECT_EQ(card->lif("l1", "renamed"), first);
    card->port("p1", "eth1/1");
    card->retain({"l2"}, {"p1"});
    ASSERT_EQ(card->lifs().size(), 0u);
    ASSERT_EQ(card->ports().size(), 1u);
}

class MetricsStateTest : public testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<emulated_host>(1, 1, 2);
        talonmon_init_params_s params{};
        params.telemetry_dir = host_->telemetry_dir();
        params.lif_counters = {{"tx_rdma_unicast_bytes", true, 0, false, true}};
        params.port_counters = {{"frames_tx_ok", true, 0, false, true}};
        g_lif_poll_ticks = g_port_poll_ticks = 100;
        g_talonmon_metrics.enable({"tx_rdma_unicast_bytes"}, {"frames_tx_ok"});
        ASSERT_EQ(g_talonmon_state.init(&params), 0);
    }
    void TearDown() override {
        g_talonmon_state.teardown();
        g_talonmon_metrics.reset();
        host_.reset();
    }
    std::optional<std::string> value(const std::string &metric, const std::string &labels = "") {
        return sample(render(g_talonmon_metrics), metric, labels);
    }
    std::unique_ptr<emulated_host> host_;
};

// Card up needs a discovery pass, 30 s apart in the daemon: the passes are
// driven here directly.
TEST_F(MetricsStateTest, WorkerPublishesReadingsAndCardHealthFollowsDownAndUp) {
    host_->ctl("set 0 lif 1 tx_rdma_unicast_bytes 123456789012");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    const std::string lif_uuid = host_->cards_json().begin()->second.get_child("lifs").rbegin()->second.get<std::string>("uuid");
    const std::string lif_label = "lif_uuid=\"" + lif_uuid + "\"";
    ASSERT_TRUE(wait_until([&] { return value("talon_lif_tx_rdma_unicast_bytes_total", lif_label) == "123456789012"; }));
    EXPECT_EQ(value("talon_card_up"), "1");
    EXPECT_NE(value("talonmon_sampling_passes_total"), "0");
    EXPECT_TRUE(wait_until([&] { return value("talonmon_telemetry_lines_total", "file=\"stats\"") != "0"; }));

    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    g_talonmon_state.inspect_card_health();
    EXPECT_EQ(value("talon_card_up"), "0");
    EXPECT_EQ(value("talon_card_down_transitions_total"), "1");
    EXPECT_EQ(value("talonmon_telemetry_lines_total", "file=\"event\""), "1");
    // The card's entities stay while it is down, with their last readings.
    EXPECT_EQ(value("talon_lif_tx_rdma_unicast_bytes_total", lif_label), "123456789012");

    host_->ctl("set 0 lif 1 tx_rdma_unicast_bytes 5");
    host_->ctl("heartbeat 0 ok");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_EQ(value("talon_card_up"), "1");
    EXPECT_EQ(value("talon_card_down_transitions_total"), "1");
    EXPECT_TRUE(wait_until([&] { return value("talon_lif_tx_rdma_unicast_bytes_total", lif_label) == "5"; }));
    EXPECT_NE(render(g_talonmon_metrics).find("\ntalonmon_discovery_passes_total 2\n"), std::string::npos);
}

}  // namespace
