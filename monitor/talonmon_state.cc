#include "monitor/talonmon_state.hpp"

#include "monitor/talonmon_trace.hpp"
#include "utils/log/trace.hpp"

#include <pthread.h>
#include <unistd.h>

uint64_t g_card_discovery_ticks = k_card_discovery_ticks;
uint64_t g_lif_discovery_ticks = k_lif_discovery_ticks;
uint64_t g_port_discovery_ticks = k_port_discovery_ticks;
uint64_t g_liveness_poll_ticks = 0;
uint64_t g_lif_poll_ticks = 0;
uint64_t g_port_poll_ticks = 0;

namespace {
// The health checker's pass counter.
uint64_t g_health_tick = 0;
}  // namespace

talonmon_state g_talonmon_state;

sdk::sdk_ret_t talonmon_state::init(talonmon_init_params_s *params) {
    running_.store(true);
    telemetry_dir_ = params->telemetry_dir;
    return sdk::SDK_RET_OK;
}

void *talonmon_health_checker(void *) {
    TRACE_INFO("Starting health monitoring of the cards ...");
    while (g_talonmon_state.running()) {
        ++g_health_tick;
        ::usleep(k_tick_us);
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

    int rc = talonmon_trace_init(params);
    if (rc != 0) {
        return rc;
    }
    rc = g_talonmon_state.init(params);
    if (rc != 0) {
        return rc;
    }
    pthread_t health_checker;
    if (::pthread_create(&health_checker, nullptr, talonmon_health_checker, nullptr) != 0) {
        return sdk::SDK_RET_ERR;
    }
    ::pthread_join(health_checker, nullptr);
    return 0;
}
