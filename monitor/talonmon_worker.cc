#include "monitor/talonmon_worker.hpp"

#include "monitor/talonmon_handlers.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/trace.hpp"

#include <ctime>
#include <stdexcept>

namespace {

uint64_t clock_ns(clockid_t clock) {
    struct timespec ts {};
    ::clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// Spins until `wait_ns` have passed: the worker keeps its processor to hold
// a steady tick. The monotonic clock ignores steps of the wall clock, which
// would otherwise stretch one wait by the size of the step.
void busy_wait(uint64_t wait_ns) {
    const uint64_t deadline = clock_ns(CLOCK_MONOTONIC) + wait_ns;
    while (clock_ns(CLOCK_MONOTONIC) < deadline) {
    }
}

}  // namespace

void *talonmon_worker(void *arg) {
    auto *handle = static_cast<talonmon_card_ctxt_s *>(arg);
    talonmon_card_ctxt_s *card = nullptr;
    try {
        card = &g_talonmon_state.get_card_ctxt(*handle);
    } catch (const std::runtime_error &) {
        TRACE_ERR("Failed to get card {} context from the state", handle->bdf);
        return nullptr;
    }
    pipeline_monitor_info_s info = g_talonmon_state.pipeline_info();
    if (talonmon_card_sdk_init(card) != 0) {
        card->set_down(true);
        return nullptr;
    }
    TRACE_INFO("Starting to monitor {}", card->bdf);

    uint64_t tick = 0;
    while (g_talonmon_state.running()) {
        const uint64_t start = clock_ns(CLOCK_MONOTONIC);
        {
            std::unique_lock<std::mutex> lock(card->mutex);
            card->cond.wait(lock, [card] { return card->stop || !card->down; });
            if (card->stop) {
                break;
            }
        }
        for (const auto &record_type : info.record_types) {
            switch (record_type.type) {
            case TALONMON_RECORD_TYPE_LIF:
                if (tick % g_lif_poll_ticks == 0) {
                    talonmon_handle_lif_telemetry(*card, info);
                }
                break;
            case TALONMON_RECORD_TYPE_PORT:
                if (tick % g_port_poll_ticks == 0) {
                    talonmon_handle_port_telemetry(*card, info);
                }
                break;
            case TALONMON_RECORD_TYPE_CARD:
                break;
            default:
                TRACE_ERR("Unsupported record type {}", record_type.type);
                break;
            }
        }
        ++tick;
        const uint64_t elapsed = clock_ns(CLOCK_MONOTONIC) - start;
        uint64_t wait = k_min_wait_after_overrun_ns;
        if (card->metrics) {
            card->metrics->count_pass();
        }
        if (elapsed <= k_granular_monitor_interval_ns) {
            wait = k_granular_monitor_interval_ns - elapsed;
        } else {
            if (card->metrics) {
                card->metrics->count_overrun();
            }
            TRACE_VERBOSE("stats monitor time {} is more than the granular monitor interval {}", elapsed,
                          k_granular_monitor_interval_ns);
        }
        busy_wait(wait);
    }
    return nullptr;
}
