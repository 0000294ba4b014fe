#include "monitor/talonmon_state.hpp"

#include "aml/aml_inventory.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_process.hpp"
#include "monitor/talonmon_trace.hpp"
#include "monitor/talonmon_worker.hpp"
#include "utils/log/trace.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <system_error>

uint64_t g_card_discovery_ticks = k_card_discovery_ticks;
uint64_t g_lif_discovery_ticks = k_lif_discovery_ticks;
uint64_t g_port_discovery_ticks = k_port_discovery_ticks;
uint64_t g_liveness_poll_ticks = 0;
uint64_t g_lif_poll_ticks = 0;
uint64_t g_port_poll_ticks = 0;

namespace {
// The health checker's pass counter: the tick of its current or coming
// pass, counted in k_tick_us steps of the monotonic clock from the
// checker's start. Written by the health checker only.
std::atomic<uint64_t> g_health_tick{0};

bool same_card(const aml_card_handle_s &a, const aml_card_handle_s &b) {
    return a.uuid == b.uuid && a.bdf == b.bdf;
}
}  // namespace

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
        if (same_card(*ctxt, handle)) {
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
        ctxt.cond.notify_all();
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

sdk::sdk_ret_t talonmon_state::discover_cards() {
    g_talonmon_metrics.count_discovery_pass();
    aml_card_inventory_get_req_s req{};
    aml_card_inventory_get_rsp_s rsp{};
    aml_status_e status = aml_card_inventory_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        std::fprintf(stderr, "Error %s", rsp.err_msg.c_str());
        return aml_to_sdk_ret_status(status);
    }
    report_inventory_error_(rsp.err_msg);
    const std::vector<aml_card_handle_s> handles = rsp.cards;
    const size_t known_before = num_cards();

    // Contexts appended by this pass get their workers when the pass ends,
    // also when it ends early: no context stays active without a worker.
    struct start_new_workers {
        talonmon_state &state;
        size_t from;
        ~start_new_workers() {
            for (size_t i = from; i < state.num_cards(); ++i) {
                state.start_worker_(state.card(i));
            }
        }
    };
    {
        start_new_workers starter{*this, known_before};
        for (const auto &handle : handles) {
            bool known = false;
            for (size_t i = 0; i < num_cards() && !known; ++i) {
                known = same_card(card(i), handle);
            }
            if (known) {
                continue;
            }
            auto ctxt = std::make_unique<talonmon_card_ctxt_s>(handle);
            ctxt->metrics = g_talonmon_metrics.make_card(ctxt->bdf, ctxt->uuid);
            if (init_card_(*ctxt) != sdk::SDK_RET_OK) {
                continue;  // retried at the next discovery pass
            }
            ctxt->stats_logger = talonmon_oper_logger_init(*ctxt, telemetry_dir_, "stats");
            if (!ctxt->stats_logger) {
                TRACE_ERR("TALON {} - Failed to start stats logger", ctxt->bdf);
                return sdk::SDK_RET_ERR;
            }
            ctxt->event_logger = talonmon_oper_logger_init(*ctxt, telemetry_dir_, "event");
            if (!ctxt->event_logger) {
                TRACE_ERR("TALON {} - Failed to start event logger", ctxt->bdf);
                talonmon_oper_logger_deinit(*ctxt, "stats");
                return sdk::SDK_RET_ERR;
            }
            append_card_(std::move(ctxt));
        }
    }

    // Card up: a listed card that is down and readable again gets a new worker.
    for (const auto &handle : handles) {
        for (size_t i = 0; i < num_cards(); ++i) {
            talonmon_card_ctxt_s &ctxt = card(i);
            if (!same_card(ctxt, handle) || !ctxt.is_down()) {
                continue;
            }
            if (init_card_(ctxt) != sdk::SDK_RET_OK) {
                continue;
            }
            sdk::sdk_ret_t rc = pipeline_reinit();
            if (rc != sdk::SDK_RET_OK) {
                return rc;
            }
            // A card that answers its listing and information commands may
            // still fail its heartbeat: it is up only once that passes too.
            if (!card_alive_(ctxt)) {
                continue;
            }
            stop_worker_(ctxt);
            {
                std::lock_guard<std::mutex> lock(ctxt.mutex);
                ctxt.stop = false;
                ctxt.down = false;
            }
            if (!start_worker_(ctxt)) {
                continue;
            }
            if (ctxt.metrics) {
                ctxt.metrics->set_up(true);
            }
            talonmon_post_health_check_event(ctxt, "card up detected");
            TRACE_INFO("TALON {} - card up detected", ctxt.bdf);
        }
    }
    return sdk::SDK_RET_OK;
}

// A listing that failed (lspci missing or failing) yields no cards, like a
// host without any: the error level line tells the operator which it is.
void talonmon_state::report_inventory_error_(const std::string &err_msg) {
    if (err_msg == inventory_error_) {
        return;
    }
    inventory_error_ = err_msg;
    if (!err_msg.empty()) {
        TRACE_ERR("{}", err_msg.substr(0, err_msg.find_last_not_of('\n') + 1));
    }
}

sdk::sdk_ret_t talonmon_state::init_card_(talonmon_card_ctxt_s &ctxt) {
    ctxt.set_lifs({});
    ctxt.set_ports({});
    sdk::sdk_ret_t rc = discover_card_lifs_(ctxt);
    if (rc != sdk::SDK_RET_OK) {
        return rc;
    }
    rc = discover_card_ports_(ctxt);
    if (rc != sdk::SDK_RET_OK) {
        return rc;
    }
    retain_entity_metrics_(ctxt);
    TRACE_INFO("TALON {} - Card init successful", ctxt.bdf);
    return sdk::SDK_RET_OK;
}

// Entities a card no longer reports stay published while it is down and
// go once it has been read afresh.
void talonmon_state::retain_entity_metrics_(talonmon_card_ctxt_s &ctxt) {
    if (!ctxt.metrics) {
        return;
    }
    std::vector<std::string> lif_uuids;
    std::vector<std::string> port_uuids;
    for (const auto &lif : *ctxt.lifs()) {
        lif_uuids.push_back(lif.uuid);
    }
    for (const auto &port : *ctxt.ports()) {
        port_uuids.push_back(port.uuid);
    }
    ctxt.metrics->retain(lif_uuids, port_uuids);
}

void talonmon_post_health_check_event(talonmon_card_ctxt_s &ctxt, const std::string &event) {
    static const std::string k_no_name;
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_HEALTH;
    record.record_type.type = TALONMON_RECORD_TYPE_CARD;
    record.id = &ctxt.uuid;
    record.name = &k_no_name;
    record.description = event;
    std::string line;
    sdk::sdk_ret_t rc = generate_jsonl_from_telemetry_record(ctxt, record, line);
    if (rc != sdk::SDK_RET_OK) {
        TRACE_ERR("TALON {} - Failed to post {} event, err : {}", ctxt.bdf, event, static_cast<uint32_t>(rc));
        return;
    }
    talonmon_oper_log_line(ctxt.event_logger, line);
    if (ctxt.metrics) {
        ctxt.metrics->count_line(talonmon_metrics_file_e::event);
    }
}

void talonmon_health_check_pass(uint64_t tick) {
    if (tick % g_card_discovery_ticks == 0) {
        g_talonmon_state.discover_cards();
    }
    if (tick % g_lif_discovery_ticks == 0) {
        g_talonmon_state.discover_lifs();
    }
    if (tick % g_port_discovery_ticks == 0) {
        g_talonmon_state.discover_ports();
    }
    if (tick % g_liveness_poll_ticks == 0) {
        g_talonmon_state.inspect_card_health();
    }
}

namespace {

// How long a stop waits for the health checker: a pass may sit in a card
// exchange until that exchange's own time-out ends it.
constexpr auto k_health_checker_stop_wait = std::chrono::milliseconds(900);
constexpr auto k_stop_poll = std::chrono::milliseconds(20);

// The health checker's end, as seen by the thread that started it.
struct health_checker_end_s {
    std::mutex mutex;
    std::condition_variable cond;
    bool ended = false;
};

constexpr uint64_t k_ns_per_s = 1000000000;
constexpr uint64_t k_ns_per_us = 1000;
constexpr uint64_t k_tick_ns = k_tick_us * k_ns_per_us;
// Longest single sleep of the health checker: a stop is noticed within it.
constexpr uint64_t k_health_sleep_slice_ns = 50000000;

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t next_multiple(uint64_t from, uint64_t period) {
    const uint64_t rest = from % period;
    return rest == 0 ? from : from + (period - rest);
}

// The first tick from `from` on on which some pass of the health checker
// is due.
uint64_t next_health_tick(uint64_t from) {
    return std::min({next_multiple(from, g_card_discovery_ticks), next_multiple(from, g_lif_discovery_ticks),
                     next_multiple(from, g_port_discovery_ticks), next_multiple(from, g_liveness_poll_ticks)});
}

// Sleeps until `deadline_ns` on the monotonic clock, in slices short enough
// that a stop is seen promptly; returns early once `running` is cleared.
void sleep_while_running(uint64_t deadline_ns) {
    while (g_talonmon_state.running()) {
        const uint64_t now = monotonic_ns();
        if (now >= deadline_ns) {
            return;
        }
        const uint64_t until = std::min(deadline_ns, now + k_health_sleep_slice_ns);
        struct timespec ts {};
        ts.tv_sec = static_cast<time_t>(until / k_ns_per_s);
        ts.tv_nsec = static_cast<long>(until % k_ns_per_s);
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

}  // namespace

uint64_t talonmon_health_tick() {
    return g_health_tick.load(std::memory_order_relaxed);
}

void *talonmon_health_checker(void *arg) {
    TRACE_INFO("Starting health monitoring of the cards ...");
    uint64_t tick = 0;
    g_health_tick.store(tick, std::memory_order_relaxed);
    const uint64_t origin_ns = monotonic_ns();
    while (g_talonmon_state.running()) {
        talonmon_health_check_pass(tick);
        const uint64_t now_tick = (monotonic_ns() - origin_ns) / k_tick_ns;
        tick = next_health_tick(std::max(tick + 1, now_tick));
        g_health_tick.store(tick, std::memory_order_relaxed);
        sleep_while_running(origin_ns + tick * k_tick_ns);
    }
    if (arg != nullptr) {
        auto *end = static_cast<health_checker_end_s *>(arg);
        std::lock_guard<std::mutex> lock(end->mutex);
        end->ended = true;
        end->cond.notify_all();
    }
    return nullptr;
}

int talonmon_init(talonmon_init_params_s *params) {
    g_card_discovery_ticks = k_card_discovery_ticks;
    g_lif_discovery_ticks = k_lif_discovery_ticks;
    g_port_discovery_ticks = k_port_discovery_ticks;
    g_liveness_poll_ticks = params->card_liveness_poll_interval / k_tick_us;
    g_lif_poll_ticks = params->lif_poll_interval / k_tick_us;
    g_port_poll_ticks = params->port_poll_interval / k_tick_us;
    g_tick_mode = params->tick_mode;

    int rc = talonmon_trace_init(params);
    if (rc != 0) {
        return rc;
    }
    rc = g_talonmon_state.init(params);
    if (rc != 0) {
        return rc;
    }
    // Outlives this call: a health checker that is left behind still
    // reports its end here.
    static health_checker_end_s end;
    pthread_t health_checker;
    if (::pthread_create(&health_checker, nullptr, talonmon_health_checker, &end) != 0) {
        return sdk::SDK_RET_ERR;
    }
    {
        std::unique_lock<std::mutex> lock(end.mutex);
        while (!end.cond.wait_for(lock, k_stop_poll, [] { return end.ended; })) {
            if (g_talonmon_state.running()) {
                continue;
            }
            // Stopping: the health checker gets a bounded time to finish its pass.
            if (!end.cond.wait_for(lock, k_health_checker_stop_wait, [] { return end.ended; })) {
                lock.unlock();
                TRACE_WARN("Health checker did not stop within {} ms, exiting without it",
                           k_health_checker_stop_wait.count());
                talonmon_exit_without_health_checker();
            }
            break;
        }
    }
    ::pthread_join(health_checker, nullptr);
    g_talonmon_state.stop_workers();
    return 0;
}
