// In-process test host: emulated cards (the layers' environment points at
// them while the host lives) and the trace log started in a temporary
// directory that also holds the telemetry files.
#pragma once

#include "monitor/talonmon_config.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "testkit/emu_env.hpp"
#include "testkit/process.hpp"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace test_support {

// The value of the first sample of the metric `name` whose line holds
// `labels`, in the exposition of the daemon's metrics registry; empty when
// there is none.
std::string rendered_metric(const std::string &name, const std::string &labels = "");

// Memory reads through the platform's operation table that fail on demand
// while this guard lives: while `fail` is set, reads at `at` (any address
// when `at` is 0) fail; every other read goes to the backend it replaced.
struct failing_mem_reads {
    failing_mem_reads() { backend = std::exchange(sdk::lib::gl_pal_info.rwvecs.mem_read, read); }
    ~failing_mem_reads() {
        sdk::lib::gl_pal_info.rwvecs.mem_read = backend;
        fail = false;
        at = 0;
    }
    static sdk::lib::pal_ret_t read(uint64_t addr, uint8_t *data, uint64_t size, uint32_t flags) {
        return fail && (at == 0 || addr == at) ? sdk::lib::PAL_RET_NOK : backend(addr, data, size, flags);
    }
    static inline std::atomic<bool> fail{false};
    static inline std::atomic<uint64_t> at{0};
    static inline decltype(sdk::lib::pal_rwvecs_s::mem_read) backend = nullptr;
};

class emulated_host {
public:
    explicit emulated_host(unsigned cards = 2, unsigned ports = 2, unsigned lifs = 2);
    ~emulated_host();

    // Sends a control command (and reads cards.json again); throws when the
    // emulator refuses it.
    void ctl(const std::string &command);
    const boost::property_tree::ptree &cards_json() const { return cards_; }
    std::string card_field(unsigned card, const char *field) const;
    std::string card_bdf(unsigned card) const { return card_field(card, "bdf"); }
    std::string log_dir() const { return dir_ / "log"; }
    std::string telemetry_dir() const { return dir_ / "telemetry"; }
    // Number of trace log lines containing `text`.
    size_t trace_count(const std::string &text) const;
    std::vector<std::string> file_lines(unsigned card, const std::string &type) const;
    // Number of lines of the card's telemetry file containing `text`.
    size_t file_count(unsigned card, const std::string &type, const std::string &text) const;

private:
    // The monitor's tick settings when the host was made, put back when it
    // goes: a test that shortens a period leaves none of it to the next.
    std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, talonmon_tick_mode_e> ticks_;
    test_support::temp_dir dir_;
    test_support::emu_env emu_;
    test_support::scoped_env boot_dir_;
    boost::property_tree::ptree cards_;
};

// The monitor state over an emulated host whose LIFs publish `lif_counter`
// (every 100 ticks) and ports frames_rx_ok: the fixture of the state's tests.
class monitor_state_test : public testing::Test {
protected:
    void start(unsigned cards, unsigned ports = 2, unsigned lifs = 2,
               talonmon_telemetry_counter_cfg_s lif_counter = {"tx_rdma_unicast_packets", true, 0, false, true});
    void TearDown() override;
    bool card_down(unsigned index = 0) const;
    // The trace log's prefix of the card's lines.
    std::string bdf(unsigned card = 0) const { return "TALON " + host_->card_bdf(card) + " - "; }
    size_t stats_lines(unsigned card) const { return host_->file_lines(card, "stats").size(); }
    // Whether the card's statistics file gains three lines within 5 s.
    bool stats_grow(unsigned card) const;

    std::unique_ptr<emulated_host> host_;
};

}  // namespace test_support
