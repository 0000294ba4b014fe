// One sampling pass of a card (2 LIFs with 7 counters, 4 ports with 2)
// against an emulated card's mapped memory: the whole pass through export,
// the populate part alone, the rendering of the pass's lines alone, and the
// floor of copying the same 8-byte words out of the same mapping.
#include "aml/aml_inventory.hpp"
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_handlers.hpp"
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_state.hpp"
#include "monitor/talonmon_worker.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "testkit/emu_env.hpp"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace {

constexpr unsigned k_ports = 4;
constexpr unsigned k_lifs = 2;
constexpr size_t k_words_per_pass = k_lifs * 7 + k_ports * 2;

talonmon_telemetry_counter_cfg_s counter(const char *name, bool histogram = false) {
    return {name, true, 0, false, true, histogram};
}

// An emulated card read by the calling thread, as its worker would.
class sampled_card {
public:
    sampled_card()
        : emu_(test_support::emu_cfg(1, k_ports, k_lifs)), boot_dir_("PERSISTENT_LOG_DIR", dir_.path()) {
        test_support::write_file(dir_ / "boot_count.txt", "1\n");
        aml_card_inventory_get_req_s req{};
        aml_card_inventory_get_rsp_s rsp{};
        if (aml_card_inventory_get(&req, &rsp) != AML_STATUS_OK || rsp.cards.size() != 1) {
            throw std::runtime_error("no emulated card");
        }
        card_ = std::make_unique<talonmon_card_ctxt_s>(rsp.cards.front());
        if (g_talonmon_state.init_card_(*card_) != sdk::SDK_RET_OK || talonmon_card_sdk_init(card_.get()) != 0) {
            throw std::runtime_error("the emulated card cannot be read");
        }
        for (bool histogram : {false, true}) {
            pipeline_init_params_s params;
            for (const char *name : {"tx_rdma_unicast_bytes", "tx_rdma_unicast_packets", "rx_rdma_unicast_bytes",
                                     "rx_rdma_unicast_packets", "tx_rdma_retransmit_bytes",
                                     "tx_rdma_retransmit_packets", "rx_rdma_responder_dup_requests"}) {
                params.lif_counters.push_back(counter(name, histogram));
            }
            params.port_counters = {counter("frames_tx_ok", histogram), counter("frames_rx_ok", histogram)};
            if (pipeline_init(&params, histogram ? &histogram_info_ : &info_) != sdk::SDK_RET_OK) {
                throw std::runtime_error("pipeline");
            }
        }
        card_->stats_logger = talonmon_oper_logger_init(*card_, dir_.path(), "stats");
        card_->event_logger = talonmon_oper_logger_init(*card_, dir_.path(), "event");
        for (const auto &lif : *card_->lifs()) {
            for (const auto &c : info_.lif_counters) {
                words_.push_back(mapped(lif.stats_addr + c.offset));
            }
        }
        for (const auto &port : *card_->ports()) {
            for (const auto &c : info_.port_counters) {
                words_.push_back(mapped(port.stats_addr + c.offset));
            }
        }
    }
    ~sampled_card() {
        talonmon_oper_logger_deinit(*card_, "stats");
        talonmon_oper_logger_deinit(*card_, "event");
    }

    talonmon_card_ctxt_s &card() { return *card_; }
    pipeline_monitor_info_s &info() { return info_; }
    // The same counters, each with a rate histogram.
    pipeline_monitor_info_s &histogram_info() { return histogram_info_; }
    const std::vector<const void *> &words() const { return words_; }

private:
    static const void *mapped(uint64_t pa) {
        uint64_t va = 0;
        if (sdk::lib::pal_physical_addr_to_virtual_addr(pa, &va) != sdk::lib::PAL_RET_OK) {
            throw std::runtime_error("counter outside the mapping");
        }
        return reinterpret_cast<const void *>(va);
    }

    test_support::temp_dir dir_;
    test_support::emu_env emu_;
    test_support::scoped_env boot_dir_;
    std::unique_ptr<talonmon_card_ctxt_s> card_;
    pipeline_monitor_info_s info_;
    pipeline_monitor_info_s histogram_info_;
    std::vector<const void *> words_;
};

sampled_card &the_card() {
    static sampled_card card;
    return card;
}

void BM_sampling_pass_floor(benchmark::State &state) {
    const auto &words = the_card().words();
    std::array<uint64_t, k_words_per_pass> copy{};
    for (auto _ : state) {
        for (size_t i = 0; i < words.size(); ++i) {
            std::memcpy(&copy[i], words[i], sizeof(uint64_t));
        }
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_sampling_pass_floor);

// The reads of a pass alone, one PAL call per counter as populate makes
// them: the part of populate that the mapping itself does not explain.
void BM_sampling_pass_pal_reads(benchmark::State &state) {
    sampled_card &c = the_card();
    std::vector<uint64_t> addresses;
    for (const auto &lif : *c.card().lifs()) {
        for (const auto &counter : c.info().lif_counters) {
            addresses.push_back(lif.stats_addr + counter.offset);
        }
    }
    for (const auto &port : *c.card().ports()) {
        for (const auto &counter : c.info().port_counters) {
            addresses.push_back(port.stats_addr + counter.offset);
        }
    }
    std::array<uint64_t, k_words_per_pass> copy{};
    for (auto _ : state) {
        for (size_t i = 0; i < addresses.size(); ++i) {
            sdk::lib::pal_mem_read(addresses[i], reinterpret_cast<uint8_t *>(&copy[i]), sizeof(uint64_t));
        }
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_sampling_pass_pal_reads);

// Reads, deltas, thresholds and record building of every entity of a pass.
template <typename List>
void populate_all(sampled_card &c, const List &entities, talonmon_populate_cb_t populate,
                  talonmon_telemetry_record_s &stats, talonmon_telemetry_record_s &event) {
    uint32_t index = 0;
    for (const auto &entity : entities) {
        stats.counters.clear();
        event.counters.clear();
        populate(c.card(), c.info(), index++, entity.stats_addr, &stats, &event);
        benchmark::DoNotOptimize(stats.counters.data());
    }
}

void BM_sampling_pass_populate(benchmark::State &state) {
    sampled_card &c = the_card();
    auto lifs = c.card().lifs();
    auto ports = c.card().ports();
    talonmon_telemetry_record_s stats{};
    talonmon_telemetry_record_s event{};
    for (auto _ : state) {
        populate_all(c, *lifs, c.info().lif_populate_cb, stats, event);
        populate_all(c, *ports, c.info().port_populate_cb, stats, event);
    }
}
BENCHMARK(BM_sampling_pass_populate);

// The populate part with every counter's rate added to its histogram: the
// difference to BM_sampling_pass_populate, over k_words_per_pass, is the
// histograms' cost per counter per pass.
void BM_sampling_pass_populate_histograms(benchmark::State &state) {
    sampled_card &c = the_card();
    auto lifs = c.card().lifs();
    auto ports = c.card().ports();
    std::vector<size_t> lif_positions(c.histogram_info().lif_counters.size());
    std::vector<size_t> port_positions(c.histogram_info().port_counters.size());
    std::iota(lif_positions.begin(), lif_positions.end(), 0);
    std::iota(port_positions.begin(), port_positions.end(), 0);
    talonmon_card_metrics metrics(c.card().bdf, c.card().uuid, lif_positions.size(), port_positions.size(),
                                  lif_positions, port_positions);
    std::vector<std::shared_ptr<talonmon_entity_metrics>> lif_slots, port_slots;
    for (const auto &lif : *lifs) {
        lif_slots.push_back(metrics.lif(lif.uuid, lif.name));
    }
    for (const auto &port : *ports) {
        port_slots.push_back(metrics.port(port.uuid, port.name));
    }
    talonmon_telemetry_record_s stats{};
    talonmon_telemetry_record_s event{};
    auto pass = [&](const auto &entities, talonmon_populate_cb_t populate, talonmon_record_type_e kind,
                    const std::vector<std::shared_ptr<talonmon_entity_metrics>> &slots) {
        uint32_t index = 0;
        for (const auto &entity : entities) {
            stats.counters.clear();
            event.counters.clear();
            populate(c.card(), c.histogram_info(), index, entity.stats_addr, &stats, &event);
            slots[index]->observe_rates(pipeline_last_rates(c.card(), kind, index));
            ++index;
            benchmark::DoNotOptimize(stats.counters.data());
        }
    };
    for (auto _ : state) {
        pass(*lifs, c.histogram_info().lif_populate_cb, TALONMON_RECORD_TYPE_LIF, lif_slots);
        pass(*ports, c.histogram_info().port_populate_cb, TALONMON_RECORD_TYPE_PORT, port_slots);
    }
}
BENCHMARK(BM_sampling_pass_populate_histograms);

// Rendering of the pass's six statistics lines, without reading or writing.
void BM_sampling_pass_render(benchmark::State &state) {
    sampled_card &c = the_card();
    std::vector<talonmon_telemetry_record_s> records;
    auto fill = [&](const auto &entities, talonmon_populate_cb_t populate, talonmon_record_type_e kind) {
        uint32_t index = 0;
        for (const auto &entity : entities) {
            talonmon_telemetry_record_s stats{};
            talonmon_telemetry_record_s event{};
            stats.type = TALONMON_TELEMETRY_TYPE_STATS;
            stats.record_type.type = kind;
            stats.id = &entity.uuid;
            stats.name = &entity.name;
            populate(c.card(), c.info(), index++, entity.stats_addr, &stats, &event);
            records.push_back(std::move(stats));
        }
    };
    auto lifs = c.card().lifs();
    auto ports = c.card().ports();
    fill(*lifs, c.info().lif_populate_cb, TALONMON_RECORD_TYPE_LIF);
    fill(*ports, c.info().port_populate_cb, TALONMON_RECORD_TYPE_PORT);
    std::string line;
    for (auto _ : state) {
        for (const auto &record : records) {
            generate_jsonl_from_telemetry_record(c.card(), record, line);
            benchmark::DoNotOptimize(line.data());
        }
    }
}
BENCHMARK(BM_sampling_pass_render);

// The whole pass as the worker runs it: populate, render and write each line.
void BM_sampling_pass_export(benchmark::State &state) {
    sampled_card &c = the_card();
    for (auto _ : state) {
        talonmon_handle_lif_telemetry(c.card(), c.info());
        talonmon_handle_port_telemetry(c.card(), c.info());
    }
}
BENCHMARK(BM_sampling_pass_export);

}  // namespace
