// The monitor state against emulated cards: discovery, health inspection,
// card down and card up, rediscovery, with real workers and real files.
#include "aml/aml_liveness.hpp"
#include "monitor/talonmon_state.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "tests/monitor/emulated_host.hpp"
#include "tests/monitor/failing_thread_start.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using test_support::emulated_host;
using test_support::wait_until;

class MonitorStateTest : public testing::Test {
protected:
    void start(unsigned cards = 2, unsigned ports = 2, unsigned lifs = 2) {
        host_ = std::make_unique<emulated_host>(cards, ports, lifs);
        talonmon_init_params_s params{};
        params.telemetry_dir = host_->telemetry_dir();
        talonmon_telemetry_counter_cfg_s lif_counter{"tx_rdma_unicast_packets", true, 0, false, true};
        talonmon_telemetry_counter_cfg_s port_counter{"frames_rx_ok", true, 0, false, true};
        params.lif_counters = {lif_counter};
        params.port_counters = {port_counter};
        g_lif_poll_ticks = g_port_poll_ticks = 100;
        ASSERT_EQ(g_talonmon_state.init(&params), 0);
    }
    void TearDown() override {
        g_talonmon_state.teardown();
        host_.reset();
    }
    size_t stats_lines(unsigned card) { return host_->file_lines(card, "stats").size(); }
    bool stats_grow(unsigned card) {
        size_t before = stats_lines(card);
        return wait_until([&] { return stats_lines(card) > before + 2; }, std::chrono::seconds(5));
    }

    std::unique_ptr<emulated_host> host_;
};

TEST_F(MonitorStateTest, TwoCardsAreInitialisedInOnePassInInventoryOrder) {
    start();
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 2u);

    std::vector<std::string> expected;
    for (const auto &card : host_->cards_json()) {
        const std::string bdf = card.second.get<std::string>("bdf");
        for (const auto &lif : card.second.get_child("lifs")) {
            expected.push_back("TALON " + bdf + " - Discovered new lif " + lif.second.get<std::string>("name") +
                               " - " + lif.second.get<std::string>("uuid"));
        }
        for (const auto &port : card.second.get_child("ports")) {
            expected.push_back("TALON " + bdf + " - Discovered new port " + port.second.get<std::string>("name") +
                               " - " + port.second.get<std::string>("uuid"));
        }
        expected.push_back("TALON " + bdf + " - Card init successful");
    }
    std::vector<std::string> seen;
    for (const auto &message : host_->trace_messages()) {
        auto end = message.find("] ");
        if (message.find("Discovered") != std::string::npos || message.find("Card init") != std::string::npos) {
            seen.push_back(message.substr(end + 2));
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(wait_until([&] { return host_->trace_count("] Starting to monitor ") == 2; }));

    // A second pass finds nothing new.
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_EQ(g_talonmon_state.num_cards(), 2u);
    EXPECT_EQ(host_->trace_count("Card init successful"), 2u);
}

TEST_F(MonitorStateTest, CardWithUnreadablePortsIsRetriedAtTheNextPass) {
    start();
    host_->ctl("fault 0 PORT_IFINDEX_GET status=1");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 1u);
    EXPECT_EQ(g_talonmon_state.card(0).bdf, host_->card_bdf(1));
    const std::string failure = "TALON " + host_->card_bdf(0) + " - Failed to populate port db, err 255";
    EXPECT_EQ(host_->trace_count(failure), 1u);
    for (const auto &message : host_->trace_messages()) {
        if (message.find(failure) != std::string::npos) {
            EXPECT_EQ(message.rfind("[discover_card_ports_:", 0), 0u) << message;
        }
    }

    host_->ctl("fault 0 PORT_IFINDEX_GET ok");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 2u);
    EXPECT_EQ(g_talonmon_state.card(1).bdf, host_->card_bdf(0));
    EXPECT_TRUE(stats_grow(0));
}

TEST_F(MonitorStateTest, FailingHeartbeatMarksTheCardDownOnceAndDiscoveryBringsItBack) {
    start();
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_TRUE(stats_grow(0));
    const std::string down_line = "TALON " + host_->card_bdf(0) + " - card down detected";
    const std::string up_line = "TALON " + host_->card_bdf(0) + " - card up detected";

    host_->ctl("heartbeat 0 fail");
    for (int i = 0; i < 3; ++i) {
        g_talonmon_state.inspect_card_health();
    }
    EXPECT_EQ(host_->trace_count("[inspect_card_health:"), 1u);
    EXPECT_EQ(host_->trace_count(down_line), 1u);
    EXPECT_TRUE(g_talonmon_state.card(0).is_down());
    EXPECT_FALSE(g_talonmon_state.card(1).is_down());
    // The worker parks: its statistics file stops growing, the other card's does not.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t parked = stats_lines(0);
    EXPECT_TRUE(stats_grow(1));
    EXPECT_EQ(stats_lines(0), parked);

    // A passing check alone does not bring the card back; discovery does.
    host_->ctl("heartbeat 0 ok");
    g_talonmon_state.inspect_card_health();
    EXPECT_TRUE(g_talonmon_state.card(0).is_down());
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(g_talonmon_state.card(0).is_down());
    EXPECT_EQ(host_->trace_count(up_line), 1u);
    EXPECT_EQ(host_->trace_count("[discover_cards:"), 1u);
    EXPECT_TRUE(stats_grow(0));

    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    EXPECT_EQ(host_->trace_count(down_line), 2u);

    // The event file holds the three health records, in order, in the card's own file.
    std::vector<std::string> health;
    for (const auto &line : host_->file_lines(0, "event")) {
        auto pos = line.find("\"description\": \"");
        if (pos != std::string::npos) {
            health.push_back(line.substr(pos));
        }
    }
    EXPECT_EQ(health, (std::vector<std::string>{R"("description": "card down detected"}})",
                                                R"("description": "card up detected"}})",
                                                R"("description": "card down detected"}})"}));
    EXPECT_EQ(host_->file_lines(1, "event").size(), 1u) << "only the banner";
}

TEST_F(MonitorStateTest, CardWhoseHeartbeatStillFailsIsNotDeclaredUp) {
    start(1);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    const std::string up_line = "TALON " + host_->card_bdf(0) + " - card up detected";
    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    ASSERT_TRUE(g_talonmon_state.card(0).is_down());

    // The card still answers its listing, ports and LIFs: no false "up".
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_TRUE(g_talonmon_state.card(0).is_down());
    EXPECT_EQ(host_->trace_count(up_line), 0u);
    g_talonmon_state.inspect_card_health();
    EXPECT_EQ(host_->trace_count("card down detected"), 1u);

    host_->ctl("heartbeat 0 ok");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(g_talonmon_state.card(0).is_down());
    EXPECT_EQ(host_->trace_count(up_line), 1u);
    EXPECT_TRUE(stats_grow(0));
}

TEST_F(MonitorStateTest, WorkerThatCannotBeCreatedLeavesTheCardDownUntilAPassCanStartIt) {
    start(1);
    test_support::g_fail_thread_start = true;
    EXPECT_EQ(g_talonmon_state.discover_cards(), 0);
    test_support::g_fail_thread_start = false;
    ASSERT_EQ(g_talonmon_state.num_cards(), 1u);
    EXPECT_TRUE(g_talonmon_state.card(0).is_down());
    EXPECT_GE(host_->trace_count("TALON " + host_->card_bdf(0) + " - Failed to start the card's worker, err : "), 1u);
    EXPECT_EQ(host_->trace_count("Starting to monitor"), 0u);

    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(g_talonmon_state.card(0).is_down());
    EXPECT_TRUE(stats_grow(0));
    EXPECT_EQ(host_->trace_count("Starting to monitor"), 1u);
}

TEST_F(MonitorStateTest, UnpluggedCardGoesDownAndComesBackWithTheSameFiles) {
    start();
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_TRUE(stats_grow(1));
    host_->ctl("unplug 1");
    g_talonmon_state.inspect_card_health();
    ASSERT_TRUE(g_talonmon_state.card(1).is_down());
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_TRUE(g_talonmon_state.card(1).is_down()) << "not listed while unplugged";

    host_->ctl("plug 1");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(g_talonmon_state.card(1).is_down());
    EXPECT_EQ(g_talonmon_state.num_cards(), 2u);
    EXPECT_TRUE(stats_grow(1));
    auto events = host_->file_lines(1, "event");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "*** Boot #5 ***");
    EXPECT_NE(events[2].find("card up detected"), std::string::npos);
}

TEST_F(MonitorStateTest, RediscoveryAppendsOnlyNewEntries) {
    start(1, 3, 2);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    talonmon_card_ctxt_s &card = g_talonmon_state.card(0);
    auto lifs_before = *card.lifs();

    g_talonmon_state.discover_lifs();
    EXPECT_EQ(card.lifs()->size(), 2u);
    host_->ctl("add-lif 0 rdma_new");
    g_talonmon_state.discover_lifs();
    auto lifs = *card.lifs();
    ASSERT_EQ(lifs.size(), 3u);
    EXPECT_EQ(lifs[0].uuid, lifs_before[0].uuid);
    EXPECT_EQ(lifs[1].uuid, lifs_before[1].uuid);
    EXPECT_EQ(lifs[2].name, "rdma_new");
    EXPECT_EQ(host_->trace_count("Discovered new lif rdma_new - " + lifs[2].uuid), 1u);

    // A port information failure merges nothing of that pass.
    host_->ctl("add-port 0 0x11040000");
    host_->ctl("fault 0 PORT_INFO_GET status=1");
    g_talonmon_state.discover_ports();
    EXPECT_EQ(card.ports()->size(), 3u);
    EXPECT_EQ(host_->trace_count("[talonmon_card_port_get:"), 1u);
    EXPECT_EQ(host_->trace_count("Failed to get port information for card " + host_->card_bdf(0) + ", status : 1"),
              1u);
    host_->ctl("fault 0 PORT_INFO_GET ok");
    g_talonmon_state.discover_ports();
    ASSERT_EQ(card.ports()->size(), 4u);
    EXPECT_EQ(card.ports()->back().name, "eth1/4");

    // A card that is down is not asked.
    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    host_->ctl("add-lif 0 rdma_unseen");
    g_talonmon_state.discover_lifs();
    EXPECT_EQ(card.lifs()->size(), 3u);
    EXPECT_EQ(host_->trace_count("rdma_unseen"), 0u);
}

TEST_F(MonitorStateTest, WorkerWhosePlatformStartFailsIsRestartedByDiscovery) {
    start(1);
    nic_ipc_card_device_info_s info{};
    ASSERT_EQ(nic_ipc_get_card_device_info(host_->card_bdf(0).c_str(), &info), 0);
    const std::string resource_map =
        std::string(std::getenv("TALON_SYSFS_DIR")) + "/bus/pci/devices/" + info.rsc_bdf + "/resource4";
    const std::string good_map = test_support::read_file(resource_map);
    // A resource map with neither magic nor version is refused.
    test_support::write_file(resource_map, std::string(good_map.size(), '\0'));

    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 1u);
    ASSERT_TRUE(wait_until([] { return g_talonmon_state.card(0).is_down(); }));
    EXPECT_EQ(host_->trace_count("TALON " + host_->card_bdf(0) + " - Failed to initialize PAL, err : -1"), 1u);
    EXPECT_EQ(host_->trace_count("Starting to monitor"), 0u);

    test_support::write_file(resource_map, good_map);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(g_talonmon_state.card(0).is_down());
    EXPECT_EQ(host_->trace_count("TALON " + host_->card_bdf(0) + " - card up detected"), 1u);
    EXPECT_TRUE(stats_grow(0));
    EXPECT_EQ(host_->trace_count("Starting to monitor"), 1u);
}

TEST_F(MonitorStateTest, RediscoveryWhileTheWorkerSamples) {
    start(1, 2, 1);
    g_lif_poll_ticks = 1;
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_TRUE(stats_grow(0));
    for (int i = 0; i < 8; ++i) {
        host_->ctl("add-lif 0 extra" + std::to_string(i));
        g_talonmon_state.discover_lifs();
        g_talonmon_state.discover_ports();
    }
    EXPECT_EQ(g_talonmon_state.card(0).lifs()->size(), 9u);
    const std::string last_uuid = g_talonmon_state.card(0).lifs()->back().uuid;
    // The worker's next passes walk the grown list.
    EXPECT_TRUE(wait_until([&] {
        for (const auto &line : host_->file_lines(0, "stats")) {
            if (line.find(last_uuid) != std::string::npos) return true;
        }
        return false;
    }));
}

TEST_F(MonitorStateTest, InventoryErrorAddsNoCardInThatPass) {
    start(3);
    // The middle card's functions lose their serial numbers: it cannot be identified.
    const std::string devices = std::string(std::getenv("TALON_SYSFS_DIR")) + "/bus/pci/devices/0000:16:00";
    for (const char *fn : {".0", ".1", ".2"}) {
        std::remove((devices + fn + "/vpd").c_str());
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(g_talonmon_state.discover_cards(), 255);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error NIC  (" + host_->card_bdf(1) + ") : ERROR - Invalid card handle\n");
    EXPECT_EQ(g_talonmon_state.num_cards(), 0u);
    EXPECT_EQ(host_->trace_count("Card init successful"), 0u);
}

TEST_F(MonitorStateTest, FailedCardListingIsLoggedOncePerFailure) {
    start(1);
    const std::string listing_failed = "Failed to list HALDEN TALON cards (lspci), err -1";
    test_support::temp_dir tools;
    test_support::write_file(tools / "lspci", "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(::chmod((tools / "lspci").c_str(), 0755), 0);
    {
        test_support::scoped_env path("PATH", tools.path() + ":/usr/bin:/bin");
        for (int pass = 0; pass < 3; ++pass) {
            EXPECT_EQ(g_talonmon_state.discover_cards(), 0);
        }
    }
    EXPECT_EQ(g_talonmon_state.num_cards(), 0u);
    EXPECT_EQ(host_->trace_count(listing_failed), 1u);

    // A listing that works again ends the episode; the next failure is a new one.
    EXPECT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_EQ(g_talonmon_state.num_cards(), 1u);
    test_support::scoped_env path("PATH", tools.path() + ":/usr/bin:/bin");
    EXPECT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_EQ(host_->trace_count(listing_failed), 2u);
}

TEST(Liveness, HeartbeatResults) {
    emulated_host host(1);
    aml_card_liveness_check_req_s req{};
    req.handle.bdf = host.card_bdf(0);
    aml_card_liveness_check_rsp_s rsp{};
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_OK);

    host.ctl("fault 0 HEARTBEAT status=11");
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_OK);
    EXPECT_EQ(rsp.err_msg, "");

    host.ctl("fault 0 HEARTBEAT status=39");
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_TIMEOUT);
    EXPECT_NE(rsp.err_msg.find("ERROR - Failed to get card heartbeat, status : Operation timed out"),
              std::string::npos)
        << rsp.err_msg;

    host.ctl("fault 0 HEARTBEAT short");
    rsp.err_msg.clear();
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_NE(rsp.err_msg.find(" : ERROR - HEARTBEAT IPC response size 8 doesn't match expected size 16\n"),
              std::string::npos)
        << rsp.err_msg;

    host.ctl("fault 0 HEARTBEAT ok");
    host.ctl("heartbeat 0 mismatch");
    rsp.err_msg = "kept";
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_GENERIC_ERR);
    EXPECT_EQ(rsp.err_msg, "kept");

    host.ctl("heartbeat 0 fail");
    EXPECT_EQ(aml_card_liveness_check(&req, &rsp), AML_STATUS_IPC_OP_ERR);
    EXPECT_NE(rsp.err_msg.find("ERROR - Failed to get card heartbeat, err : "), std::string::npos) << rsp.err_msg;
}

}  // namespace
