// The monitor state against emulated cards: discovery, health inspection,
// card down and card up, rediscovery, with real workers and real files.
#include "aml/aml_liveness.hpp"
#include "monitor/talonmon_state.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

namespace {
// While set, every pthread_create of the test process fails with EAGAIN.
std::atomic<bool> g_fail_thread_start{false};
}  // namespace

// Thread creation that a test can make fail, as a pids cgroup or memory
// limit makes it fail on a real host. This definition takes the place of
// the C library's for every caller in the process.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto real_create = reinterpret_cast<create_fn>(::dlsym(RTLD_NEXT, "pthread_create"));
    return g_fail_thread_start.load() ? EAGAIN : real_create(thread, attr, start, arg);
}

namespace {

using test_support::emulated_host;
using test_support::rendered_metric;
using test_support::wait_until;

using MonitorStateTest = test_support::monitor_state_test;

// A failing heartbeat takes the card down at once, and once only; its worker
// parks while the other card samples on. Discovery alone declares it up
// again, and only once its heartbeat passes; it is published up only with
// its new worker's first sample, never with the readings of the one before.
// A LIF the card reports under its id with a new name is published, and
// written, under the new name, both when rediscovered and after the card
// came back.
TEST_F(MonitorStateTest, CardIsDownOnceAndUpOnlyWhenDiscoveryFindsItsHeartbeatPassing) {
    start(2);
    host_->ctl("set 0 lif 1 tx_rdma_unicast_packets 123456789012");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    const std::string lif_metric = "talon_lif_tx_rdma_unicast_packets_total";
    const std::string lif = "lif_uuid=\"" + g_talonmon_state.card(0).lifs()->at(1).uuid + "\"";
    const std::string card0 = "bdf=\"" + host_->card_bdf(0) + "\"";
    ASSERT_TRUE(wait_until([&] { return rendered_metric(lif_metric, lif) == "123456789012"; }));
    EXPECT_TRUE(wait_until([&] { return rendered_metric("talon_card_up", card0) == "1"; }));
    auto named = [&](const std::string &name) { return rendered_metric(lif_metric, "lif=\"" + name + "\"," + lif); };
    host_->ctl("rename-lif 0 1 storage");
    g_talonmon_state.discover_lifs();
    EXPECT_EQ(g_talonmon_state.card(0).lifs()->at(1).name, "storage");
    EXPECT_TRUE(wait_until([&] { return named("storage") == "123456789012"; }));
    EXPECT_EQ(named("rdma1"), "") << "the old name is gone";
    EXPECT_TRUE(wait_until([&] { return host_->file_count(0, "stats", "\"name\": \"storage\"") > 0; }));

    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    EXPECT_TRUE(card_down()) << "the first missed heartbeat takes the card down";
    g_talonmon_state.inspect_card_health();
    EXPECT_EQ(host_->trace_count(bdf() + "card down detected"), 1u);
    EXPECT_EQ(host_->trace_count("card down detected"), 1u) << "the other card stays up";
    EXPECT_EQ(rendered_metric("talon_card_up", card0), "0");
    EXPECT_EQ(rendered_metric(lif_metric, lif), "123456789012") << "the last reading stays while the card is down";
    // The worker may end the pass it is in; after that it writes nothing.
    ASSERT_TRUE(stats_grow(1));
    const size_t parked = stats_lines(0);
    ASSERT_TRUE(stats_grow(1) && stats_grow(1));
    EXPECT_EQ(stats_lines(0), parked);

    // The card still answers its listing, ports and LIFs: no false "up",
    // and it is not read (and logged as found) again while it stays down.
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_TRUE(card_down());
    EXPECT_EQ(host_->trace_count(bdf() + "Card init successful"), 1u);
    host_->ctl("heartbeat 0 ok");
    g_talonmon_state.inspect_card_health();
    EXPECT_TRUE(card_down()) << "a passing check alone does not bring the card back";
    EXPECT_EQ(host_->trace_count("card up detected"), 0u);

    host_->ctl("set 0 lif 1 tx_rdma_unicast_packets 5");
    host_->ctl("rename-lif 0 1 backup");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(card_down());
    EXPECT_TRUE(wait_until([&] { return host_->trace_count(bdf() + "card up detected") == 1; }));
    EXPECT_TRUE(wait_until([&] {
        const bool up = rendered_metric("talon_card_up", card0) == "1";
        if (up) {
            EXPECT_EQ(rendered_metric(lif_metric, lif), "5") << "up before the new worker's first sample";
        }
        return up;
    }));
    EXPECT_TRUE(wait_until([&] { return named("backup") == "5"; }));
    EXPECT_EQ(named("storage"), "");
    EXPECT_EQ(rendered_metric("talon_card_down_transitions_total", card0), "1");
    EXPECT_EQ(host_->trace_count(bdf() + "Card init successful"), 2u);
}

// A worker that cannot be created leaves its card down until a later pass
// starts it; rediscovery then appends only new entries while it samples.
TEST_F(MonitorStateTest, WorkerStartsOnTheFirstPassThatCanAndRediscoveryAppendsOnlyNewEntries) {
    start(1, 3, 2);
    g_lif_poll_ticks = 1;
    g_fail_thread_start = true;
    EXPECT_EQ(g_talonmon_state.discover_cards(), 0);
    g_fail_thread_start = false;
    ASSERT_EQ(g_talonmon_state.num_cards(), 1u);
    EXPECT_TRUE(card_down());
    EXPECT_GE(host_->trace_count(bdf() + "Failed to start the card's worker, err : "), 1u);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_FALSE(card_down());

    talonmon_card_ctxt_s &card = g_talonmon_state.card(0);
    for (int i = 0; i < 4; ++i) {
        host_->ctl("add-lif 0 extra" + std::to_string(i));
        g_talonmon_state.discover_lifs();
        g_talonmon_state.discover_lifs();
    }
    const auto lifs = *card.lifs();
    ASSERT_EQ(lifs.size(), 6u) << "each new LIF once";
    EXPECT_EQ(lifs[5].name, "extra3");
    // The worker's next passes walk the grown list.
    EXPECT_TRUE(wait_until([&] { return host_->file_count(0, "stats", lifs[5].uuid) > 0; }));
    EXPECT_EQ(host_->trace_count("Starting to monitor"), 1u);

    // A port information failure merges nothing of that pass.
    host_->ctl("add-port 0 0x11040000");
    host_->ctl("fault 0 PORT_INFO_GET status=1");
    g_talonmon_state.discover_ports();
    EXPECT_EQ(card.ports()->size(), 3u);
    host_->ctl("fault 0 PORT_INFO_GET ok");
    g_talonmon_state.discover_ports();
    ASSERT_EQ(card.ports()->size(), 4u);
    EXPECT_EQ(card.ports()->back().name, "eth1/4");
}

// Only a heartbeat that answers in time with the expected pattern (not a
// replayed one) keeps a card up; a busy status (11) is an answer.
TEST(Liveness, OnlyAMatchingAnswerIsAlive) {
    emulated_host host(1);
    aml_card_liveness_check_req_s req{};
    req.handle.bdf = host.card_bdf(0);
    const std::pair<std::string, aml_status_e> cases[] = {
        {"fault 0 HEARTBEAT status=11", AML_STATUS_OK},
        {"fault 0 HEARTBEAT status=39", AML_STATUS_TIMEOUT},
        {"fault 0 HEARTBEAT short", AML_STATUS_MSG_SIZE_MISMATCH},
        {"fault 0 HEARTBEAT short=1", AML_STATUS_MSG_SIZE_MISMATCH},
        {"fault 0 HEARTBEAT ok", AML_STATUS_OK},
        // The answer to the check before, at once: each check has its own nonce.
        {"heartbeat 0 replay", AML_STATUS_GENERIC_ERR},
        {"heartbeat 0 mismatch", AML_STATUS_GENERIC_ERR},
        {"heartbeat 0 fail", AML_STATUS_IPC_OP_ERR},
    };
    for (const auto &[command, status] : cases) {
        host.ctl(command);
        aml_card_liveness_check_rsp_s rsp{};
        EXPECT_EQ(aml_card_liveness_check(&req, &rsp), status) << command;
    }
}

}  // namespace
