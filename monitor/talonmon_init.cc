// Start of the monitor: tick periods from the configuration, the trace log,
// the monitor state, then the health checker until the daemon stops.
#include "monitor/talonmon_signals.hpp"
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_trace.hpp"
#include "monitor/talonmon_worker.hpp"

uint64_t g_card_discovery_ticks = k_card_discovery_ticks;
uint64_t g_lif_discovery_ticks = k_lif_discovery_ticks;
uint64_t g_port_discovery_ticks = k_port_discovery_ticks;
uint64_t g_liveness_poll_ticks = 0;
uint64_t g_lif_poll_ticks = 0;
uint64_t g_port_poll_ticks = 0;

int talonmon_init(talonmon_init_params_s *params) {
    g_card_discovery_ticks = k_card_discovery_ticks;
    g_lif_discovery_ticks = k_lif_discovery_ticks;
    g_port_discovery_ticks = k_port_discovery_ticks;
    g_liveness_poll_ticks = params->card_liveness_poll_interval / k_tick_us;
    g_lif_poll_ticks = params->lif_poll_interval / k_tick_us;
    g_port_poll_ticks = params->port_poll_interval / k_tick_us;
    g_tick_mode = params->tick_mode;

    int rc;
    {
        // The logging library may start threads of its own (asynchronous
        // mode, periodic flush).
        const talonmon_termination_signal_block block;
        rc = talonmon_trace_init(params);
    }
    if (rc != 0) {
        return rc;
    }
    rc = g_talonmon_state.init(params);
    if (rc != 0) {
        return rc;
    }
    if (talonmon_stop_requested()) {
        g_talonmon_state.set_running(false);
    }
    rc = talonmon_run_health_checker();
    if (rc != 0) {
        return rc;
    }
    g_talonmon_state.stop_workers();
    return 0;
}
