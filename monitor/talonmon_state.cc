#include "monitor/talonmon_state.hpp"

#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_worker.hpp"
#include "utils/log/trace.hpp"

#include <stdexcept>
#include <system_error>

talonmon_state g_talonmon_state;

talonmon_state::~talonmon_state() {
    teardown();
}

void talonmon_state::teardown() {
    running_.store(false);
    stop_workers();
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto &ctxt : cards_) {
        if (ctxt->stats_logger) {
            talonmon_oper_logger_deinit(*ctxt, "stats");
        }
        if (ctxt->event_logger) {
            talonmon_oper_logger_deinit(*ctxt, "event");
        }
    }
    cards_.clear();
    reported_cards_ = k_cards_not_reported;
}

sdk::sdk_ret_t talonmon_state::init(talonmon_init_params_s *params) {
    running_.store(true);
    telemetry_dir_ = params->telemetry_dir;
    pipeline_info_ = pipeline_monitor_info_s{};
    pipeline_init_params_s pipeline_params{params->lif_counters, params->port_counters, params->card_counters};
    sdk::sdk_ret_t rc = pipeline_init(&pipeline_params, &pipeline_info_);
    if (rc != sdk::SDK_RET_OK) {
        TRACE_ERR("Pipeline initialization failed");
    }
    return rc;
}

size_t talonmon_state::num_cards() const {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    return cards_.size();
}

talonmon_card_ctxt_s &talonmon_state::card(size_t index) {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    return *cards_.at(index);
}

void talonmon_state::append_card_(std::unique_ptr<talonmon_card_ctxt_s> ctxt) {
    g_talonmon_metrics.add_card(ctxt->metrics);
    std::lock_guard<std::mutex> lock(cards_mutex_);
    cards_.push_back(std::move(ctxt));
}

talonmon_card_ctxt_s &talonmon_state::get_card_ctxt(const aml_card_handle_s &handle) {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto &ctxt : cards_) {
        if (talonmon_same_card(*ctxt, handle)) {
            return *ctxt;
        }
    }
    throw std::runtime_error("card not found");
}

bool talonmon_state::start_worker_(talonmon_card_ctxt_s &ctxt) {
    try {
        ctxt.worker = std::thread(talonmon_worker, static_cast<void *>(&ctxt));
        return true;
    } catch (const std::system_error &e) {
        // Thread limits (a pids cgroup, memory) must not end the daemon: the
        // card stays down and the next discovery pass tries again.
        TRACE_ERR("TALON {} - Failed to start the card's worker, err : {}", ctxt.bdf, e.what());
        ctxt.set_down(true);
        return false;
    }
}

void talonmon_state::stop_worker_(talonmon_card_ctxt_s &ctxt) {
    {
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.stop = true;
        ctxt.wake_worker();
    }
    if (ctxt.worker.joinable()) {
        ctxt.worker.join();
    }
}

void talonmon_state::stop_workers() {
    const size_t count = num_cards();
    for (size_t i = 0; i < count; ++i) {
        stop_worker_(card(i));
    }
}

