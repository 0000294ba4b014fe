// Counter validation, sampling with thresholds and deltas, and the export of
// records, against the counters of an emulated card.
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_discovery.hpp"
#include "monitor/talonmon_worker.hpp"
#include "tests/monitor/emulated_host.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <utility>

namespace {

using test_support::emulated_host;

using cfg = talonmon_telemetry_counter_cfg_s;

struct validation {
    sdk::sdk_ret_t rc;
    std::string err;
    pipeline_monitor_info_s info;
};

validation validate(pipeline_init_params_s params) {
    validation v{};
    testing::internal::CaptureStderr();
    v.rc = pipeline_init(&params, &v.info);
    v.err = testing::internal::GetCapturedStderr();
    return v;
}

TEST(PipelineInit, CounterNamesAreCheckedAgainstTheirKindsTable) {
    const auto good = cfg{"tx_rdma_unicast_bytes", true, 0, false, true};
    const std::pair<pipeline_init_params_s, std::string> refused[] = {
        {{{}, {cfg{"Frames_tx_ok", true, 0, false, true}}, {}}, "Error - Frames_tx_ok is not a valid port counter\n"},
        {{{}, {good}, {}}, "Error - tx_rdma_unicast_bytes is not a valid port counter\n"},
        {{{}, {}, {cfg{"frames_tx_ok", true, 0, false, true}}}, "Error - frames_tx_ok is not a valid card counter\n"},
    };
    for (const auto &[params, message] : refused) {
        auto v = validate(params);
        EXPECT_EQ(v.rc, 255) << message;
        EXPECT_EQ(v.err, message);
    }
    auto v = validate({{good, good}, {cfg{"frames_rx_ok", true, 0, false, true}}, {}});
    ASSERT_EQ(v.rc, 0) << v.err;
    EXPECT_EQ(v.info.lif_counters.size(), 2u) << "a name given twice is sampled twice";
}

class SamplingTest : public testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<emulated_host>(1, 1, 6);
        card_ = std::make_unique<talonmon_card_ctxt_s>(
            aml_card_handle_s{host_->card_field(0, "uuid"), host_->card_bdf(0)});
        std::vector<talonmon_lif_entry_s> lifs;
        ASSERT_EQ(talonmon_card_lif_get(*card_, lifs), 0);
        card_->set_lifs(lifs);
        std::vector<talonmon_port_entry_s> ports;
        ASSERT_EQ(talonmon_card_port_get(*card_, ports), 0);
        card_->set_ports(ports);
    }
    // Runs `body` on a thread of its own, as a worker would: its platform
    // context and sampling memory start fresh.
    void on_worker(const std::function<void()> &body) {
        std::thread worker([&] {
            ASSERT_EQ(talonmon_card_sdk_init(card_.get()), 0);
            body();
        });
        worker.join();
    }
    // One populate pass over LIF (or port) `index`: the values of the two records.
    std::pair<std::vector<uint64_t>, std::vector<uint64_t>> pass(pipeline_monitor_info_s &info, uint32_t index,
                                                                 bool port = false) {
        talonmon_telemetry_record_s stats{}, event{};
        const uint64_t addr = port ? card_->ports()->at(index).stats_addr : card_->lifs()->at(index).stats_addr;
        EXPECT_EQ((port ? info.port_populate_cb : info.lif_populate_cb)(*card_, info, index, addr, &stats, &event), 0);
        std::pair<std::vector<uint64_t>, std::vector<uint64_t>> values;
        for (auto &c : stats.counters) values.first.push_back(c.value);
        for (auto &c : event.counters) values.second.push_back(c.value);
        return values;
    }
    void set_lif(unsigned index, const std::string &counter, uint64_t value) {
        host_->ctl("set 0 lif " + std::to_string(index) + " " + counter + " " + std::to_string(value));
    }

    std::unique_ptr<emulated_host> host_;
    std::unique_ptr<talonmon_card_ctxt_s> card_;
};

using values = std::vector<uint64_t>;

// The names and offsets are the card's: the emulator places each counter at
// its own fixed offset, so a catalogue entry pointing elsewhere reads the
// wrong counter's value.
TEST_F(SamplingTest, EveryCatalogueCounterReadsTheCardsCounter) {
    pipeline_init_params_s params;
    values lif_expected, port_expected;
    for (const char *name : {"tx_rdma_unicast_bytes", "tx_rdma_unicast_packets", "rx_rdma_unicast_bytes",
                             "rx_rdma_unicast_packets", "tx_rdma_retransmit_bytes", "tx_rdma_retransmit_packets",
                             "rx_rdma_responder_dup_requests"}) {
        params.lif_counters.push_back(cfg{name, true, 0, false, true});
        lif_expected.push_back(0x1000 + lif_expected.size());
        set_lif(3, name, lif_expected.back());
    }
    for (const char *name : {"frames_tx_ok", "frames_rx_ok"}) {
        params.port_counters.push_back(cfg{name, true, 0, false, true});
        port_expected.push_back(0x2000 + port_expected.size());
        host_->ctl("set 0 port 0 " + std::string(name) + " " + std::to_string(port_expected.back()));
    }
    auto v = validate(params);
    ASSERT_EQ(v.rc, 0) << v.err;
    on_worker([&] {
        EXPECT_EQ(pass(v.info, 3).first, lif_expected);
        EXPECT_EQ(pass(v.info, 0, true).first, port_expected);
    });
}

// A counter is written when its change since the last reading, either way,
// reaches its threshold: a delta counter writes the change (a drop wraps
// around), a cumulative one its reading.
TEST_F(SamplingTest, ThresholdsHoldBackDeltaAndCumulativeCountersAlike) {
    auto v = validate({{cfg{"tx_rdma_retransmit_packets", false, 100, true, true},
                        cfg{"rx_rdma_unicast_bytes", true, 10, true, false}},
                       {},
                       {}});
    ASSERT_EQ(v.rc, 0);
    const struct {
        uint64_t delta_counter, cumulative_counter;
        values stats, event;
    } steps[] = {
        {1000, 7, {1000}, {1000}},                                           // against 0
        {1099, 17, {}, {17}},                                                // 99 and 10
        {1199, 20, {100}, {100}},                                            // 100 and 3
        {1099, 10, {18446744073709551516ULL}, {18446744073709551516ULL, 10}},  // drops of 100 and 10
        {1050, 10, {}, {}},                                                  // 49 and 0
    };
    on_worker([&] {
        for (const auto &step : steps) {
            set_lif(5, "tx_rdma_retransmit_packets", step.delta_counter);
            set_lif(5, "rx_rdma_unicast_bytes", step.cumulative_counter);
            EXPECT_EQ(pass(v.info, 5), std::make_pair(step.stats, step.event)) << step.delta_counter;
        }
        // Another LIF has its own memory; reinit, called by another thread
        // (discovery) between two workers, forgets the card's readings.
        set_lif(1, "tx_rdma_retransmit_packets", 5000);
        EXPECT_EQ(pass(v.info, 1).first, values{5000});
        std::thread([&] { pipeline_reinit(*card_); }).join();
        EXPECT_EQ(pass(v.info, 5), std::make_pair(values{1050}, values{1050, 10}));
    });
}

// Rates for the histograms: the change over the time between two passes of
// the entity, and none from a first reading, a reset, a failed read or a
// missed pass; counters without a histogram get none.
TEST_F(SamplingTest, PassRatesLeaveOutFirstReadingsResetsAndGaps) {
    auto histogram = cfg{"tx_rdma_unicast_bytes", false, 0, false, true};
    histogram.histogram = true;
    auto v = validate({{histogram, cfg{"rx_rdma_unicast_bytes", false, 0, false, true}}, {}, {}});
    ASSERT_EQ(v.rc, 0) << v.err;
    using clock = std::chrono::steady_clock;
    on_worker([&] {
        test_support::failing_mem_reads reads;
        clock::time_point start{}, end{}, last_start{}, last_end{};
        // One pass over LIF 0 (whose reads fail unless `readable`) and,
        // unless it is left out, LIF 1; the rate of LIF 0's histogram counter.
        auto pass_of = [&](bool readable = true, bool lif1 = true) {
            talonmon_telemetry_record_s stats{}, event{};
            last_start = std::exchange(start, clock::now());
            reads.fail = !readable;
            v.info.lif_populate_cb(*card_, v.info, 0, card_->lifs()->at(0).stats_addr, &stats, &event);
            reads.fail = false;
            if (lif1) {
                v.info.lif_populate_cb(*card_, v.info, 1, card_->lifs()->at(1).stats_addr, &stats, &event);
            }
            last_end = std::exchange(end, clock::now());
            const auto rates = pipeline_last_rates(*card_, TALONMON_RECORD_TYPE_LIF, 0);
            EXPECT_EQ(rates.size(), 2u);
            EXPECT_TRUE(std::isnan(rates[1])) << "no histogram, no rate";
            return rates[0];
        };
        // A change over the last two passes: its rate lies between the
        // change over the longest and over the shortest time between them.
        auto expect_rate = [&](double rate, double change, const char *what) {
            const double longest = std::chrono::duration<double>(end - last_start).count();
            const double shortest = std::chrono::duration<double>(start - last_end).count();
            EXPECT_GE(rate, change / longest) << what;
            EXPECT_LE(rate, change / shortest) << what;
        };
        auto set = [&](uint64_t value) { set_lif(0, "tx_rdma_unicast_bytes", value); };
        const auto gap = std::chrono::milliseconds(20);

        set(1000);
        EXPECT_TRUE(std::isnan(pass_of())) << "first reading";
        std::this_thread::sleep_for(gap);
        set(3001000);
        expect_rate(pass_of(), 3000000, "steady");
        set(500);
        EXPECT_TRUE(std::isnan(pass_of())) << "the counter went back";
        std::this_thread::sleep_for(gap);
        set(1000500);
        expect_rate(pass_of(), 1000000, "the pass after a reset");
        EXPECT_TRUE(std::isnan(pass_of(false))) << "failed read";
        set(2000000);
        EXPECT_TRUE(std::isnan(pass_of())) << "the pass after a failed read";
        EXPECT_EQ(pass_of(), 0.0) << "unchanged";

        // LIF 1 misses a pass: its next has no rate, the one after has.
        pass_of();
        EXPECT_EQ(pipeline_last_rates(*card_, TALONMON_RECORD_TYPE_LIF, 1)[0], 0.0);
        pass_of(true, false);
        pass_of();
        EXPECT_TRUE(std::isnan(pipeline_last_rates(*card_, TALONMON_RECORD_TYPE_LIF, 1)[0])) << "missed pass";
        pass_of();
        EXPECT_EQ(pipeline_last_rates(*card_, TALONMON_RECORD_TYPE_LIF, 1)[0], 0.0);
    });
}

}  // namespace
