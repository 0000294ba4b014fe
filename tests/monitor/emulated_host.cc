#include "tests/monitor/emulated_host.hpp"

#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_render.hpp"
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_trace.hpp"
#include "monitor/talonmon_worker.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "utils/log/trace.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

namespace test_support {

namespace {

// The monitor's tick settings, as one tuple of references.
auto tick_settings() {
    return std::tie(g_card_discovery_ticks, g_lif_discovery_ticks, g_port_discovery_ticks, g_liveness_poll_ticks,
                    g_lif_poll_ticks, g_port_poll_ticks, g_sampling_report_period_ns, g_tick_mode);
}

size_t count_containing(const std::vector<std::string> &lines, const std::string &text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string &line) { return line.find(text) != std::string::npos; });
}

}  // namespace

std::string rendered_metric(const std::string &name, const std::string &labels) {
    const std::string text = talonmon_metrics_render(g_talonmon_metrics, talonmon_process_metrics_sample(), "1");
    return e2e::sample_value(text, name, labels).value_or("");
}

emulated_host::emulated_host(unsigned cards, unsigned ports, unsigned lifs)
    : ticks_(tick_settings()),
      emu_(test_support::emu_cfg(cards, ports, lifs)),
      boot_dir_("PERSISTENT_LOG_DIR", dir_.path()) {
    boost::property_tree::read_json(emu_.root() + "/cards.json", cards_);
    test_support::write_file(dir_ / "boot_count.txt", "5\n");
    ::mkdir(telemetry_dir().c_str(), 0755);
    talonmon_init_params_s params{};
    params.log_dir = log_dir();
    if (talonmon_trace_init(&params) != 0) {
        ADD_FAILURE() << "trace log did not start";
    }
}

emulated_host::~emulated_host() {
    tick_settings() = ticks_;
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;
}

void emulated_host::ctl(const std::string &command) {
    emu_.ctl(command);
    boost::property_tree::read_json(emu_.root() + "/cards.json", cards_);
}

std::string emulated_host::card_field(unsigned card, const char *field) const {
    return std::next(cards_.begin(), card)->second.get<std::string>(field);
}

size_t emulated_host::trace_count(const std::string &text) const {
    return count_containing(test_support::read_lines(log_dir() + "/talonmon.log"), text);
}

size_t emulated_host::file_count(unsigned card, const std::string &type, const std::string &text) const {
    return count_containing(file_lines(card, type), text);
}

void monitor_state_test::start(unsigned cards, unsigned ports, unsigned lifs,
                               talonmon_telemetry_counter_cfg_s lif_counter) {
    host_ = std::make_unique<emulated_host>(cards, ports, lifs);
    talonmon_init_params_s params{};
    params.telemetry_dir = host_->telemetry_dir();
    params.lif_counters = {lif_counter};
    params.port_counters = {{"frames_rx_ok", true, 0, false, true}};
    g_lif_poll_ticks = g_port_poll_ticks = 100;
    ASSERT_EQ(g_talonmon_state.init(&params), 0);
    g_talonmon_metrics.enable({lif_counter.counter}, {"frames_rx_ok"});
}

void monitor_state_test::TearDown() {
    g_talonmon_state.teardown();
    g_talonmon_metrics.reset();
    host_.reset();
}

bool monitor_state_test::card_down(unsigned index) const { return g_talonmon_state.card(index).is_down(); }

bool monitor_state_test::stats_grow(unsigned card) const {
    const size_t before = stats_lines(card);
    return wait_until([&] { return stats_lines(card) > before + 2; }, std::chrono::seconds(5));
}

std::vector<std::string> emulated_host::file_lines(unsigned card, const std::string &type) const {
    return test_support::read_lines(telemetry_dir() + "/card_" + card_bdf(card) + "_" + type + ".log");
}

}  // namespace test_support
