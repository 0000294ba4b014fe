// The monitor state against emulated cards: discovery, health inspection,
// card down and card up, rediscovery, with real workers and real files, and
// injected faults: platform starts that fail, counter reads that fail,
// telemetry files that cannot be opened, a card replaced in its slot.
#include "aml/aml_liveness.hpp"
#include "monitor/counter_catalogue.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_worker.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>
#include <utility>

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
        // Short answers are refused as for every command (tests/nic_ipc).
        {"fault 0 HEARTBEAT short", AML_STATUS_MSG_SIZE_MISMATCH},
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

class CardHealthTest : public test_support::monitor_state_test {
protected:
    // A discovery pass that starts a worker, and the end of that worker's
    // platform start: the card is down again (start failed) or it samples.
    void pass_until_worker_failed() {
        ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
        ASSERT_TRUE(wait_until([&] { return card_down(); }));
    }
    // The "timestamp" member of a telemetry line.
    static std::string stamp(const std::string &line) { return line.substr(line.find("\"timestamp\""), 37); }
};

// A card whose platform start fails is never reported up: one error line
// per cause, no "card up detected" however often discovery retries it, its
// gauge at 0 and no statistics. Once it starts, it is reported up once,
// before its first statistics line.
TEST_F(CardHealthTest, FailingPlatformStartIsReportedOnceAndNeverAsUp) {
    start(1);
    host_->ctl("platform 0 setpci");
    pass_until_worker_failed();
    const std::string setpci_error = bdf() + "Failed to initialize PAL, err : -1 (device memenable failed";
    EXPECT_EQ(host_->trace_count(setpci_error), 1u);
    for (int pass = 0; pass < 3; ++pass) {
        pass_until_worker_failed();
    }
    EXPECT_EQ(host_->trace_count(setpci_error), 1u) << "the same cause is not logged again";
    EXPECT_EQ(host_->trace_count("card up detected"), 0u);
    EXPECT_EQ(host_->file_lines(0, "event").size(), 1u) << "no up or down record";

    // Another cause is logged once.
    host_->ctl("platform 0 map");
    pass_until_worker_failed();
    pass_until_worker_failed();
    EXPECT_EQ(host_->trace_count(bdf() + "Failed to initialize PAL, err : -1 (resource map of "), 1u);
    EXPECT_EQ(host_->trace_count(setpci_error), 1u);

    host_->ctl("platform 0 ok");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_TRUE(wait_until([&] { return host_->trace_count(bdf() + "card up detected") == 1; }));
    EXPECT_TRUE(stats_grow(0));
    EXPECT_TRUE(wait_until([&] { return rendered_metric("talon_card_up") == "1"; }));
    EXPECT_FALSE(card_down());
    // The up record comes before the first statistics line.
    const auto events = host_->file_lines(0, "event");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[1].find("card up detected"), std::string::npos);
    EXPECT_LE(stamp(events[1]), stamp(host_->file_lines(0, "stats")[1]));

    // The same cause after a start that succeeded is news again.
    host_->ctl("platform 0 setpci");
    host_->ctl("heartbeat 0 fail");
    g_talonmon_state.inspect_card_health();
    host_->ctl("heartbeat 0 ok");
    pass_until_worker_failed();
    EXPECT_EQ(host_->trace_count(setpci_error), 2u);
    EXPECT_EQ(host_->trace_count("card up detected"), 1u);
    EXPECT_EQ(rendered_metric("talon_card_up"), "0");
}

// Another card in the same slot (same PCI address, new UUID) is a new card:
// the one it replaced is recorded down, the new one's LIFs and ports are
// discovered, its lines carry its own UUIDs, and it alone is published.
TEST_F(CardHealthTest, CardReplacedInItsSlotIsANewCard) {
    start(1);
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    const std::string old_uuid = host_->card_field(0, "uuid");
    ASSERT_TRUE(stats_grow(0));
    host_->ctl("replace 0");
    const std::string new_uuid = host_->card_field(0, "uuid");
    const std::string new_lif =
        host_->cards_json().begin()->second.get_child("lifs").begin()->second.get<std::string>("uuid");
    ASSERT_NE(new_uuid, old_uuid);
    g_talonmon_state.inspect_card_health();  // the new card answers the slot's heartbeat
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 1u);
    ASSERT_TRUE(stats_grow(0));
    EXPECT_EQ(host_->trace_count(bdf() + "Discovered new lif rdma0 - " + new_lif), 1u);
    EXPECT_EQ(host_->trace_count("TALON card(s)"), 0u) << "still one card";

    const auto events = host_->file_lines(0, "event");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[1].find("{\"id\": \"" + old_uuid + "\",\"description\": \"card down detected\"}"),
              std::string::npos);
    EXPECT_NE(events[2].find("{\"id\": \"" + new_uuid + "\",\"description\": \"card up detected\"}"),
              std::string::npos);
    // From the up record on, the lines are the new card's only.
    const std::string up = stamp(events[2]);
    size_t new_lines = 0;
    const auto stats = host_->file_lines(0, "stats");
    for (const auto &line : std::vector<std::string>(stats.begin() + 1, stats.end())) {  // after the banner
        if (line.find("\"uuid\": \"" + new_uuid + "\"") != std::string::npos) {
            ++new_lines;
            EXPECT_EQ(line.find("-0000-4000-8000-"), std::string::npos) << "a LIF of the old card: " << line;
        } else {
            EXPECT_LT(stamp(line), up) << line;
        }
    }
    EXPECT_GT(new_lines, 2u);
    EXPECT_EQ(rendered_metric("talon_card_up", old_uuid), "");
    EXPECT_TRUE(wait_until([&] { return rendered_metric("talon_card_up", new_uuid) == "1"; }));
}

// Cards whose telemetry file cannot be opened (a symbolic link planted
// where it goes, a FIFO nobody reads) are monitored all the same, with an
// error naming the file and without blocking; a card that loses its lines
// for it is counted and shown as not writing until its path is sound and
// the file is written.
TEST_F(CardHealthTest, CardWhoseFilesCannotBeOpenedIsMonitoredAndCountedAsNotWriting) {
    start(2);
    const std::string tel = host_->telemetry_dir();
    const std::string stats0 = tel + "/card_" + host_->card_bdf(0) + "_stats.log";
    const std::string event1 = tel + "/card_" + host_->card_bdf(1) + "_event.log";
    test_support::write_file(tel + "/elsewhere", "precious\n");
    std::filesystem::create_symlink(tel + "/elsewhere", stats0);
    ASSERT_EQ(::mkfifo(event1.c_str(), 0644), 0);

    auto pass = std::async(std::launch::async, [] { return g_talonmon_state.discover_cards(); });
    ASSERT_EQ(pass.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "discovery blocked";
    EXPECT_EQ(pass.get(), 0);
    ASSERT_EQ(g_talonmon_state.num_cards(), 2u);
    ASSERT_EQ(host_->trace_count("Failed opening file " + stats0 + " for writing: it is a symbolic link"), 1u);
    EXPECT_EQ(host_->trace_count("Failed opening file " + event1 + " for writing: it is not a regular file"), 1u);
    EXPECT_TRUE(stats_grow(1));
    EXPECT_EQ(test_support::read_file(tel + "/elsewhere"), "precious\n");
    const auto errors = [&](unsigned card) {
        return rendered_metric("talon_card_telemetry_write_errors_total", "bdf=\"" + host_->card_bdf(card) + "\"");
    };
    const auto failing = [](unsigned card) { return g_talonmon_state.card(card).telemetry->failing(); };
    // Card 0 loses every statistics line; card 1 has written no event yet.
    EXPECT_TRUE(wait_until([&] {
        const std::string lost = errors(0);
        return failing(0) && !lost.empty() && std::stoull(lost) > 3;
    })) << errors(0);
    EXPECT_FALSE(failing(1));
    EXPECT_EQ(errors(1), "1") << "the failed open";

    std::filesystem::remove(stats0);
    EXPECT_TRUE(stats_grow(0));
    EXPECT_TRUE(wait_until([&] { return !failing(0); }));
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    EXPECT_EQ(g_talonmon_state.num_cards(), 2u);
}

// A counter whose read fails is left out of its pass and keeps its last
// reading: a cumulative counter never drops to 0 and the delta after the
// failure spans the gap. The failures are counted (metric and the sampling
// line) and logged at error level at most once a report period.
TEST_F(CardHealthTest, FailedCounterReadIsLeftOutCountedAndLoggedOnce) {
    start(1, 2, 2, {"tx_rdma_unicast_packets", false, 0, false, true});
    g_sampling_report_period_ns = 1500000000;
    // The operation table is filled by the first platform start.
    std::thread([this] {
        aml_card_handle_s handle{host_->card_field(0, "uuid"), host_->card_bdf(0)};
        ASSERT_EQ(talonmon_card_sdk_init(&handle), 0);
    }).join();
    test_support::failing_mem_reads reads;

    host_->ctl("set 0 lif 0 tx_rdma_unicast_packets 1000");
    ASSERT_EQ(g_talonmon_state.discover_cards(), 0);
    const talonmon_lif_entry_s lif0 = g_talonmon_state.card(0).lifs()->at(0);
    reads.at = lif0.stats_addr + lif_counter_map.at("tx_rdma_unicast_packets");
    auto lif0_lines = [&] { return host_->file_count(0, "stats", lif0.uuid); };
    ASSERT_TRUE(wait_until([&] { return lif0_lines() >= 2; }));
    reads.fail = true;
    const size_t before = lif0_lines();
    // The metric is absent until the first failure.
    auto failed_reads = [] { return std::stoull("0" + rendered_metric("talonmon_sampling_failed_reads_total")); };
    ASSERT_TRUE(wait_until([&] { return failed_reads() >= 5; }));
    host_->ctl("set 0 lif 0 tx_rdma_unicast_packets 1500");
    EXPECT_LE(lif0_lines(), before + 1) << "no line while its only counter fails";
    reads.fail = false;
    ASSERT_TRUE(wait_until([&] { return lif0_lines() >= before + 3; }));

    // Readings 1000 (first line), 0 while unchanged, then one delta of 500
    // across the failure: never a 2^64 jump, never a negative one.
    uint64_t total = 0;
    const std::regex lif0_value(lif0.uuid + ".*\"value\": (\\d+)");
    for (const auto &line : host_->file_lines(0, "stats")) {
        std::smatch m;
        if (std::regex_search(line, m, lif0_value)) {
            EXPECT_LE(std::stoull(m[1]), 1000u) << line;
            total += std::stoull(m[1]);
        }
    }
    EXPECT_EQ(total, 1500u);
    EXPECT_EQ(host_->trace_count(bdf() + "Failed to read counter tx_rdma_unicast_packets at 0x"), 1u);
    // The sampling lines of the periods with failures name them, and only
    // those; the passes they count are those the endpoint counts, less the
    // ones of the period still running.
    const std::regex sampling_line(
        "sampling of \\S+: (\\d+) passes, \\d+ overruns, max lateness \\d+ us in the last \\d+ s"
        "(, (\\d+) failed reads)?$");
    uint64_t logged = 0, logged_passes = 0;
    bool last_names_none = false;
    ASSERT_TRUE(wait_until(
        [&] {
            logged = logged_passes = 0;
            for (const auto &line : test_support::read_lines(host_->log_dir() + "/talonmon.log")) {
                std::smatch m;
                if (std::regex_search(line, m, sampling_line)) {
                    logged_passes += std::stoull(m[1]);
                    logged += m[3].matched ? std::stoull(m[3]) : 0;
                    last_names_none = !m[3].matched;
                }
            }
            return logged == failed_reads() && last_names_none;
        },
        std::chrono::seconds(5)));
    EXPECT_GE(logged, 5u);
    EXPECT_GT(logged_passes, 0u);
    EXPECT_LE(logged_passes, std::stoull(rendered_metric("talonmon_sampling_passes_total")));
}

}  // namespace
