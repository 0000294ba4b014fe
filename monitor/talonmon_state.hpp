// The daemon's global monitor state and its health-checker loop.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/talonmon_card.hpp"
#include "monitor/talonmon_config.hpp"
#include "monitor/talonmon_telemetry.hpp"
#include "sdk/types.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Tick periods of the two loops (one tick is about k_tick_us microseconds);
// set by talonmon_init before any thread starts, read-only afterwards.
inline constexpr uint64_t k_tick_us = 100;
extern uint64_t g_card_discovery_ticks;
extern uint64_t g_lif_discovery_ticks;
extern uint64_t g_port_discovery_ticks;
extern uint64_t g_liveness_poll_ticks;
extern uint64_t g_lif_poll_ticks;
extern uint64_t g_port_poll_ticks;

inline constexpr uint64_t k_card_discovery_ticks = 300000;
inline constexpr uint64_t k_lif_discovery_ticks = 600000;
inline constexpr uint64_t k_port_discovery_ticks = 36000000;

class talonmon_state {
public:
    talonmon_state() = default;
    ~talonmon_state();
    talonmon_state(const talonmon_state &) = delete;
    talonmon_state &operator=(const talonmon_state &) = delete;

    // Sets `running` and starts the pipeline; 0 or the pipeline's status.
    sdk::sdk_ret_t init(talonmon_init_params_s *params);

    // Takes the card inventory: builds a context, opens the telemetry files
    // and starts the worker of every new card, and restarts cards that are
    // down but listed and readable again.
    sdk::sdk_ret_t discover_cards();
    // Reads a card's LIFs and ports afresh.
    sdk::sdk_ret_t init_card_(talonmon_card_ctxt_s &ctxt);
    // Adds the LIFs / ports with new UUIDs to the card's lists.
    sdk::sdk_ret_t discover_card_lifs_(talonmon_card_ctxt_s &ctxt);
    sdk::sdk_ret_t discover_card_ports_(talonmon_card_ctxt_s &ctxt);
    // The same for every card that is not down; always 0.
    sdk::sdk_ret_t discover_lifs();
    sdk::sdk_ret_t discover_ports();
    // Sends every card a heartbeat and marks failing cards down.
    void inspect_card_health();

    // The context of `handle` (same uuid and bdf); throws std::runtime_error
    // "card not found" when there is none.
    talonmon_card_ctxt_s &get_card_ctxt(const aml_card_handle_s &handle);

    // Stops and joins every worker (waking parked ones). Called once the
    // health checker has ended, before anything the workers use goes away.
    void stop_workers();
    // Stops the workers, closes the telemetry files and forgets every card;
    // `running` is cleared. Run at destruction.
    void teardown();

    bool running() const { return running_.load(); }
    void set_running(bool running) { running_.store(running); }
    const std::string &telemetry_dir() const { return telemetry_dir_; }
    const pipeline_monitor_info_s &pipeline_info() const { return pipeline_info_; }
    // Number of card contexts, and one of them by position (discovery order).
    size_t num_cards() const;
    talonmon_card_ctxt_s &card(size_t index);

private:
    // Starts the card's worker; when no thread can be created the card is
    // marked down (and retried by the next discovery pass) and false returned.
    bool start_worker_(talonmon_card_ctxt_s &ctxt);
    // Sends the card a heartbeat; true when it passes.
    static bool card_alive_(const talonmon_card_ctxt_s &ctxt);
    // Sets `stop`, wakes the worker if it is parked and joins it.
    void stop_worker_(talonmon_card_ctxt_s &ctxt);
    void append_card_(std::unique_ptr<talonmon_card_ctxt_s> ctxt);
    // Another card (`handle`) took the slot of the card of `ctxt`.
    void replace_card_(talonmon_card_ctxt_s &ctxt, const aml_card_handle_s &handle);
    static void retain_entity_metrics_(talonmon_card_ctxt_s &ctxt);
    // Logs a failed card listing once per distinct failure.
    void report_inventory_error_(const std::string &err_msg);
    sdk::sdk_ret_t discover_cards_pass_();
    // Logs the number of cards held when it has changed since the last pass.
    void report_card_count_();

    std::string telemetry_dir_;
    // The last listing failure logged; empty once a listing succeeds.
    std::string inventory_error_;
    // The number of cards last logged; health checker only.
    static constexpr size_t k_cards_not_reported = static_cast<size_t>(-1);
    size_t reported_cards_ = k_cards_not_reported;
    // Written by the signal handler, read by every loop; lock-free.
    std::atomic<bool> running_{false};
    pipeline_monitor_info_s pipeline_info_;
    // Contexts keep their address for the state's lifetime. Only the health
    // checker appends; workers look their context up concurrently.
    std::vector<std::unique_ptr<talonmon_card_ctxt_s>> cards_;
    mutable std::mutex cards_mutex_;
};

extern talonmon_state g_talonmon_state;

// Writes one health record ("card up detected", "card down detected") to the
// card's event file.
void talonmon_post_health_check_event(talonmon_card_ctxt_s &ctxt, const std::string &event);

// Sets the tick periods, starts the trace log and the monitor state, runs the
// health-checker thread and returns when it has ended (with every worker
// stopped): 0, or the first non-zero status of the start-up.
int talonmon_init(talonmon_init_params_s *params);

// One pass of the health checker at tick `tick`; ends by reporting the
// card counts to the service manager.
void talonmon_health_check_pass(uint64_t tick);

// Reports how many cards are monitored and how many are down (a status line
// for the service manager, sent when it changes).
void talonmon_report_card_counts();

// The health-checker thread function; returns when `running` is cleared.
// Its passes are due on absolute ticks of the monotonic clock, so the
// periods hold in wall time; between passes it sleeps. A pass that runs
// past later due ticks does not make them up.
void *talonmon_health_checker(void *arg);

// Runs the health checker until `running` is cleared, then gives it a
// bounded time to end (leaving the process without it if it does not).
// 0, or non-zero when its thread cannot be started.
int talonmon_run_health_checker();

// Reopens the trace log and every card's telemetry files that were moved
// away (external rotation) and says so in the trace log.
void talonmon_reopen_files();

// The tick of the health checker's latest (or coming) pass.
uint64_t talonmon_health_tick();
