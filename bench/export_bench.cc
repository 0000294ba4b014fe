// Rendering and exporting one telemetry line, against the floor of writing
// the same bytes with write(2) (every exported line is flushed to its file),
// on the root file system (argument 0) and on tmpfs (1). Heap allocations
// per line are reported as "allocs".
#include "bench/alloc_count.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_card.hpp"
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_line_parts.hpp"
#include "monitor/talonmon_oper_logger.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

// Where the files of a benchmark with argument `fs` go.
const char *k_dirs[] = {"/tmp/talon-bench-XXXXXX", "/dev/shm/talon-bench-XXXXXX"};

struct bench_dir {
    explicit bench_dir(int64_t fs = 0) {
        std::string pattern = k_dirs[fs];
        path = ::mkdtemp(pattern.data());
    }
    ~bench_dir() { std::filesystem::remove_all(path); }
    std::string path;
};

struct two_counter_record {
    two_counter_record() {
        record.type = TALONMON_TELEMETRY_TYPE_STATS;
        record.record_type.type = TALONMON_RECORD_TYPE_PORT;
        record.id = &id;
        record.name = &name;
        record.counters = {{&tx, 1583312}, {&rx, 1590027}};
    }
    talonmon_telemetry_counter_s tx{"frames_tx_ok", 0, true, 0, false, true};
    talonmon_telemetry_counter_s rx{"frames_rx_ok", 16, true, 0, false, true};
    std::string id = "0a0b0c0d-0e0f-1011-1213-141516171819";
    std::string name = "eth1/1";
    talonmon_telemetry_record_s record{};
    talonmon_line_parts_s parts;
};

const aml_card_handle_s k_card{"5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70", "0000:41:00.0"};

// A record whose line is assembled from escaped parts, as a sampling pass's are.
struct prepared_record : two_counter_record {
    prepared_record() {
        parts = talonmon_make_line_parts(k_card, TALONMON_RECORD_TYPE_PORT, id, name);
        tx.line_part = talonmon_counter_line_part(tx.name);
        rx.line_part = talonmon_counter_line_part(rx.name);
        record.parts = &parts;
    }
};

void count_allocations(benchmark::State &state, uint64_t before) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(bench_allocations() - before),
                                                  benchmark::Counter::kAvgIterations);
}

// The whole record rendered from its fields (every name escaped each time),
// as card up/down records are.
void BM_render_line(benchmark::State &state) {
    two_counter_record r;
    std::string line;
    const uint64_t before = bench_allocations();
    for (auto _ : state) {
        generate_jsonl_from_telemetry_record(k_card, r.record, line);
        benchmark::DoNotOptimize(line);
    }
    count_allocations(state, before);
}
BENCHMARK(BM_render_line);

// The same line from the parts escaped once, as sampling passes render it.
void BM_render_line_from_parts(benchmark::State &state) {
    prepared_record r;
    std::string line;
    const uint64_t before = bench_allocations();
    for (auto _ : state) {
        talonmon_render_counters_line(r.parts, r.record, talonmon_wall_clock_ns(), line);
        benchmark::DoNotOptimize(line);
    }
    count_allocations(state, before);
}
BENCHMARK(BM_render_line_from_parts);

// Render and write into the rotating file, as a sampling pass exports.
void BM_export_line(benchmark::State &state) {
    bench_dir dir(state.range(0));
    prepared_record r;
    talonmon_card_ctxt_s card(k_card);
    card.stats_logger = talonmon_oper_logger_init(card, dir.path, "stats");
    const uint64_t before = bench_allocations();
    for (auto _ : state) {
        telemetry_export_cb(card, r.record);
    }
    count_allocations(state, before);
    talonmon_oper_logger_deinit(card, "stats");
}
BENCHMARK(BM_export_line)->Arg(0)->Arg(1);

// The per-entity work a sampling pass adds when the metrics endpoint is on:
// storing the entity's raw readings (the example configuration's 7 LIF
// counters), and the same export as BM_export_line with the line counted.
// Compare with BM_export_line, the per-entity work of a pass without it.
constexpr size_t k_example_lif_counters = 7;

void BM_publish_readings(benchmark::State &state) {
    talonmon_entity_metrics entity("rdma0", "0a0b0c0d-0e0f-1011-1213-141516171819", k_example_lif_counters);
    uint64_t readings[k_example_lif_counters] = {1583312, 1590027, 77, 4096, 1, 2, 3};
    for (auto _ : state) {
        readings[0]++;
        entity.publish(readings);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_publish_readings);

void BM_export_line_with_metrics(benchmark::State &state) {
    bench_dir dir;
    prepared_record r;
    talonmon_card_ctxt_s card(k_card);
    card.metrics = std::make_shared<talonmon_card_metrics>(k_card.bdf, k_card.uuid, 0, 0);
    card.stats_logger = talonmon_oper_logger_init(card, dir.path, "stats");
    for (auto _ : state) {
        telemetry_export_cb(card, r.record);
    }
    talonmon_oper_logger_deinit(card, "stats");
}
BENCHMARK(BM_export_line_with_metrics);

// The floor: write(2) of the same bytes into a file opened for appending.
void BM_write_floor(benchmark::State &state) {
    bench_dir dir(state.range(0));
    prepared_record r;
    std::string line;
    talonmon_render_counters_line(r.parts, r.record, talonmon_wall_clock_ns(), line);
    int fd = ::open((dir.path + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    }
    ::close(fd);
}
BENCHMARK(BM_write_floor)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
