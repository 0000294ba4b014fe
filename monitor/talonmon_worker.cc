#include "monitor/talonmon_worker.hpp"

#include "monitor/pipeline.hpp"
#include "monitor/talonmon_handlers.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/trace.hpp"

#include <cstdio>
#include <fmt/format.h>
#include <sys/prctl.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>

talonmon_tick_mode_e g_tick_mode = TALONMON_TICK_MODE_SPIN;
uint64_t g_sampling_report_period_ns = k_sampling_report_period_ns;

namespace {

constexpr uint64_t k_ns_per_us = 1000;
constexpr uint64_t k_ns_per_s = 1000000000;
// A sleeping worker wakes up to this long before its tick and spins the
// rest: a wake-up from a timed wait comes a few microseconds late.
constexpr uint64_t k_sleep_spin_margin_ns = 20000;
// ... but spins no more than this share of its wait, so that short periods
// (1 ms) do not spend their processor time spinning: 1/500 of each wait.
constexpr uint64_t k_sleep_spin_share_divisor = 500;
// Sleeping workers whose shortest sampling period is at most this long
// keep their ticks on one grid of the monotonic clock, common to all
// workers, and let the kernel defer each wake-up by a timer slack of
// 1/k_timer_slack_share_divisor of that period, at most k_max_timer_slack_ns:
// the wake-ups of the workers then come together, and a processor that
// wakes once serves several workers. Longer periods gain nothing from it;
// their workers are woken without slack.
constexpr uint64_t k_max_aligned_period_ns = 100000000;
constexpr uint64_t k_timer_slack_share_divisor = 20;
constexpr uint64_t k_max_timer_slack_ns = 50000;
constexpr uint64_t k_min_timer_slack_ns = 1;
constexpr uint64_t k_no_due_tick = std::numeric_limits<uint64_t>::max();

uint64_t clock_ns(clockid_t clock) {
    struct timespec ts {};
    ::clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

void spin_until(uint64_t deadline_ns) {
    while (clock_ns(CLOCK_MONOTONIC) < deadline_ns) {
    }
}

// Spins until `wait_ns` have passed: the worker keeps its processor to hold
// a steady tick. The monotonic clock ignores steps of the wall clock, which
// would otherwise stretch one wait by the size of the step. Returns the
// deadline waited for.
uint64_t busy_wait(uint64_t wait_ns) {
    const uint64_t deadline = clock_ns(CLOCK_MONOTONIC) + wait_ns;
    spin_until(deadline);
    return deadline;
}

uint64_t next_multiple(uint64_t from, uint64_t period) {
    const uint64_t rest = from % period;
    return rest == 0 ? from : from + (period - rest);
}

// The first tick from `from` on where some kind is due; k_no_due_tick when
// no kind is ever sampled.
uint64_t next_due_tick(const pipeline_monitor_info_s &info, uint64_t from) {
    uint64_t due = k_no_due_tick;
    for (const auto &record_type : info.record_types) {
        if (record_type.type == TALONMON_RECORD_TYPE_LIF) {
            due = std::min(due, next_multiple(from, g_lif_poll_ticks));
        } else if (record_type.type == TALONMON_RECORD_TYPE_PORT) {
            due = std::min(due, next_multiple(from, g_port_poll_ticks));
        }
    }
    return due;
}

// Where a sleeping worker's wake-ups meet those of the other workers: the
// grid its schedule aligns on after its first pass (0: none) and its timer
// slack.
struct wake_grid_s {
    uint64_t unit_ns = 0;
    uint64_t slack_ns = k_min_timer_slack_ns;
};

// The grid is the least period every sampled kind's period fits, or the
// shortest period when that one is longer than k_max_aligned_period_ns:
// the wake-ups of the most frequent kind stay on it all the same.
wake_grid_s wake_grid(const pipeline_monitor_info_s &info) {
    constexpr uint64_t k_max_aligned_ticks = k_max_aligned_period_ns / k_granular_monitor_interval_ns;
    uint64_t shortest = 0;
    uint64_t common = 0;
    bool common_fits = true;
    for (const auto &record_type : info.record_types) {
        uint64_t ticks = 0;
        if (record_type.type == TALONMON_RECORD_TYPE_LIF) {
            ticks = g_lif_poll_ticks;
        } else if (record_type.type == TALONMON_RECORD_TYPE_PORT) {
            ticks = g_port_poll_ticks;
        }
        if (ticks == 0) {
            continue;
        }
        shortest = shortest == 0 ? ticks : std::min(shortest, ticks);
        // Both at most k_max_aligned_ticks: their least common multiple fits.
        if (ticks > k_max_aligned_ticks || !common_fits) {
            common_fits = false;
            continue;
        }
        common = common == 0 ? ticks : std::lcm(common, ticks);
        common_fits = common <= k_max_aligned_ticks;
    }
    wake_grid_s grid;
    if (shortest == 0 || shortest > k_max_aligned_ticks) {
        return grid;
    }
    grid.unit_ns = (common_fits ? common : shortest) * k_granular_monitor_interval_ns;
    grid.slack_ns = std::clamp(shortest * k_granular_monitor_interval_ns / k_timer_slack_share_divisor,
                               k_min_timer_slack_ns, k_max_timer_slack_ns);
    return grid;
}

// Sleep mode's schedule: tick n begins n granular intervals after the
// origin on the monotonic clock, so a sleeping worker samples on the tick
// numbers a spinning one counts in passes.
class tick_schedule {
public:
    explicit tick_schedule(uint64_t origin_ns) : origin_ns_(origin_ns) {}

    uint64_t start_of(uint64_t tick) const { return origin_ns_ + tick * k_granular_monitor_interval_ns; }

    // Moves tick 0 to the first multiple of `unit_ns` from `not_before_ns`
    // on: workers that align on the same unit tick together. Ticks only
    // move later, so that no pass comes closer to the one before it than
    // its period.
    void align(uint64_t unit_ns, uint64_t not_before_ns) { origin_ns_ = next_multiple(not_before_ns, unit_ns); }

    // Called when a pass ended at `end_ns`; `following` is the tick after
    // that pass and `tick` the next one due. A pass that ran (or began) so
    // late that the following tick has begun is not made up for: the
    // schedule falls behind so that the following tick begins the minimum
    // wait after the pass and later ticks keep their distance from it, as a
    // spinning worker's do. A stall thus costs samples and never brings two
    // sampling passes at once. Returns the start of `tick`.
    uint64_t next_start(uint64_t following, uint64_t tick, uint64_t end_ns) {
        const uint64_t earliest = end_ns + k_min_wait_after_overrun_ns;
        if (start_of(following) < earliest) {
            origin_ns_ += earliest - start_of(following);
        }
        return start_of(tick);
    }

private:
    uint64_t origin_ns_;
};

// Parks the worker while its card is down; false once it must stop.
bool park_while_down(talonmon_card_ctxt_s &card) {
    std::unique_lock<std::mutex> lock(card.mutex);
    card.cond.wait(lock, [&card] { return card.stop || !card.down; });
    return !card.stop;
}

// Sleeps until `deadline_ns`, spinning the last stretch; false once the
// worker must stop. The sleep is a futex wait on the card's wake word with a
// deadline on the monotonic clock: no lock is held across it, and a change
// of stop or down, which wakes the word, ends it at once, so a card that
// goes down parks its worker straight away, and a worker that is let go on
// sleeps out the same tick.
bool sleep_until(talonmon_card_ctxt_s &card, uint64_t deadline_ns) {
    uint64_t now_ns = clock_ns(CLOCK_MONOTONIC);
    const uint64_t wait_ns = deadline_ns > now_ns ? deadline_ns - now_ns : 0;
    const uint64_t margin_ns = std::min(k_sleep_spin_margin_ns, wait_ns / k_sleep_spin_share_divisor);
    const uint64_t wake_ns = deadline_ns - std::min(deadline_ns, margin_ns);
    while (now_ns < wake_ns) {
        // Read before the flags are checked: a change made after the check
        // has changed the word, and the sleep returns at once.
        const uint32_t seen = card.wake.value();
        if (!park_while_down(card)) {
            return false;
        }
        card.wake.sleep_until(seen, wake_ns);
        now_ns = clock_ns(CLOCK_MONOTONIC);
    }
    spin_until(deadline_ns);
    return true;
}

void wait_for_stop(talonmon_card_ctxt_s &card) {
    std::unique_lock<std::mutex> lock(card.mutex);
    card.cond.wait(lock, [&card] { return card.stop; });
}

// What one pass of the worker did: whether some kind was due (a sampling
// pass), whether it took longer than one tick, and how many counter reads
// failed in it.
struct sampling_pass_s {
    bool sampled = false;
    bool overrun = false;
    uint64_t failed_reads = 0;
    bool lifs = false;   // the LIFs were sampled
    bool ports = false;  // the ports were sampled
};

// Adds a pass to the card's totals on the metrics endpoint, when it is on.
void publish_pass(talonmon_card_metrics *metrics, const sampling_pass_s &pass) {
    if (metrics == nullptr) {
        return;
    }
    if (pass.sampled) {
        metrics->count_pass();
        const uint64_t now_ns = clock_ns(CLOCK_REALTIME);
        metrics->set_last_sample_ns(now_ns);
        if (pass.lifs) {
            metrics->set_last_lif_sample_ns(now_ns);
        }
        if (pass.ports) {
            metrics->set_last_port_sample_ns(now_ns);
        }
    }
    if (pass.overrun) {
        metrics->count_overrun();
    }
    if (pass.failed_reads != 0) {
        metrics->count_failed_reads(pass.failed_reads);
    }
}

// One trace line per report period with the card's sampling passes,
// overruns and largest lateness of a pass against its tick in that period.
class sampling_report {
public:
    sampling_report(const talonmon_card_ctxt_s &card, uint64_t now_ns)
        : card_(card), next_ns_(now_ns + g_sampling_report_period_ns) {}

    void pass_ended(const sampling_pass_s &pass, uint64_t lateness_ns, uint64_t now_ns) {
        passes_ += pass.sampled ? 1 : 0;
        overruns_ += pass.overrun ? 1 : 0;
        failed_reads_ += pass.failed_reads;
        max_lateness_ns_ = std::max(max_lateness_ns_, lateness_ns);
        if (now_ns < next_ns_) {
            return;
        }
        // Failed reads are named only when there were some, so that the
        // line of a healthy card stays as it was.
        const std::string failed =
            failed_reads_ == 0 ? std::string() : fmt::format(", {} failed reads", failed_reads_);
        TRACE_INFO("sampling of {}: {} passes, {} overruns, max lateness {} us in the last {} s{}", card_.bdf,
                   passes_, overruns_, max_lateness_ns_ / k_ns_per_us, g_sampling_report_period_ns / k_ns_per_s,
                   failed);
        passes_ = 0;
        overruns_ = 0;
        failed_reads_ = 0;
        max_lateness_ns_ = 0;
        next_ns_ = now_ns + g_sampling_report_period_ns;
    }

private:
    const talonmon_card_ctxt_s &card_;
    uint64_t next_ns_;
    uint64_t passes_ = 0;
    uint64_t overruns_ = 0;
    uint64_t failed_reads_ = 0;
    uint64_t max_lateness_ns_ = 0;
};

// Starts the platform access of the calling worker. A failure marks the
// card down (the next discovery pass tries again) and is logged once per
// cause. A worker that replaces one of a card that was down then reports
// the card up, unless it went down meanwhile.
bool start_platform(talonmon_card_ctxt_s &card) {
    std::string cause;
    if (talonmon_card_sdk_init(&card, &cause) != 0) {
        if (cause != card.platform_error) {
            TRACE_ERR("TALON {} - Failed to initialize PAL, {}", card.bdf, cause);
            // The journal gets the first cause of an episode only.
            if (card.platform_error.empty()) {
                std::fprintf(stderr, "TALON %s - platform start failed, card down: %s\n", card.bdf.c_str(),
                             cause.c_str());
            }
            card.platform_error = cause;
        }
        card.set_down(true);
        return false;
    }
    card.platform_error.clear();
    std::lock_guard<std::mutex> lock(card.mutex);
    if (card.announce_up && !card.down && !card.stop) {
        talonmon_post_health_check_event(card, "card up detected");
        TRACE_INFO("TALON {} - card up detected", card.bdf);
        std::fprintf(stderr, "TALON %s - card up detected\n", card.bdf.c_str());
    }
    card.announce_up = false;
    return true;
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
    if (!start_platform(*card)) {
        return nullptr;
    }
    TRACE_INFO("Starting to monitor {}", card->bdf);

    const talonmon_tick_mode_e mode = g_tick_mode;
    // The grid the schedule aligns on after the first pass; 0: none.
    uint64_t alignment_ns = 0;
    if (mode == TALONMON_TICK_MODE_SLEEP) {
        const wake_grid_s grid = wake_grid(info);
        alignment_ns = grid.unit_ns;
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(grid.slack_ns), 0, 0, 0);
    }
    uint64_t tick = 0;
    // When the coming pass was meant to begin.
    uint64_t deadline = clock_ns(CLOCK_MONOTONIC);
    tick_schedule schedule(deadline);
    sampling_report report(*card, deadline);
    // The card is published up once its first sample is in: a scrape never
    // sees it up with the readings of an earlier worker.
    bool published_up = false;
    while (g_talonmon_state.running()) {
        const uint64_t start = clock_ns(CLOCK_MONOTONIC);
        if (!park_while_down(*card)) {
            break;
        }
        const uint64_t failed_before = pipeline_failed_reads(*card);
        bool lifs_sampled = false;
        bool ports_sampled = false;
        // The pass's lines go to each file in one write at its end.
        std::optional<telemetry_pass_batch> batch(std::in_place, *card);
        for (const auto &record_type : info.record_types) {
            switch (record_type.type) {
            case TALONMON_RECORD_TYPE_LIF:
                if (tick % g_lif_poll_ticks == 0) {
                    lifs_sampled = true;
                    talonmon_handle_lif_telemetry(*card, info);
                }
                break;
            case TALONMON_RECORD_TYPE_PORT:
                if (tick % g_port_poll_ticks == 0) {
                    ports_sampled = true;
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
        batch.reset();
        const bool sampled = lifs_sampled || ports_sampled;
        if (sampled && !published_up) {
            card->publish_up();
            published_up = true;
        }
        ++tick;
        const uint64_t end = clock_ns(CLOCK_MONOTONIC);
        const uint64_t elapsed = end - start;
        const bool overrun = elapsed > k_granular_monitor_interval_ns;
        uint64_t wait = k_min_wait_after_overrun_ns;
        if (!overrun) {
            wait = k_granular_monitor_interval_ns - elapsed;
        } else {
            TRACE_VERBOSE("stats monitor time {} is more than the granular monitor interval {}", elapsed,
                          k_granular_monitor_interval_ns);
        }
        const sampling_pass_s pass{sampled, overrun, pipeline_failed_reads(*card) - failed_before, lifs_sampled,
                                   ports_sampled};
        publish_pass(card->metrics.get(), pass);
        report.pass_ended(pass, start > deadline ? start - deadline : 0, end);

        if (mode == TALONMON_TICK_MODE_SPIN) {
            deadline = busy_wait(wait);
            continue;
        }
        const uint64_t following = tick;
        if (following == 1 && alignment_ns != 0) {
            schedule.align(alignment_ns, end);
        }
        tick = next_due_tick(info, tick);
        if (tick == k_no_due_tick) {
            wait_for_stop(*card);
            break;
        }
        deadline = schedule.next_start(following, tick, end);
        if (!sleep_until(*card, deadline)) {
            break;
        }
    }
    return nullptr;
}
