// talonmon-top's readers with arbitrary input, as a scrape and as telemetry
// lines: no crash, every rate it computes is a finite non-negative number,
// and its JSON document is one valid JSON value whatever the names hold.
#include "tests/fuzz/fuzz_support.hpp"
#include "top/top_format.hpp"
#include "top/top_model.hpp"
#include "top/top_scrape.hpp"
#include "top/top_telemetry_source.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

namespace {

void check_rates(const top_model &model) {
    for (const top_card_view_s &card : model.cards()) {
        for (const top_entity_view_s &e : card.entities) {
            for (const top_counter_view_s &c : e.counters) {
                FUZZ_CHECK(!c.rate || (std::isfinite(*c.rate) && *c.rate >= 0), "rate %f of %s", *c.rate,
                           std::string(c.name).c_str());
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    // The same scrape twice, then the scrape with its second half only: the
    // model sees resets and vanished entities.
    top_model model;
    for (int round = 0; round < 3; ++round) {
        top_snapshot_s snapshot;
        snapshot.wall = 1700000000 + round;
        snapshot.monotonic = round;
        top_snapshot_from_scrape(round < 2 ? std::string_view(text) : std::string_view(text).substr(size / 2),
                                 snapshot);
        model.update(snapshot);
        check_rates(model);
    }
    const std::string json = top_json("fuzz", model);
    FUZZ_CHECK(nlohmann::json::accept(json), "invalid JSON document: %s", json.c_str());
    (void)top_plain_table("fuzz", model, 1, "a");

    // Each line as a line of a card's telemetry file.
    top_telemetry_source files("/nonexistent", {});
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        files.apply_line("0000:05:00.0", text.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
