#include "monitor/talonmon_handlers.hpp"

#include "monitor/pipeline.hpp"
#include "utils/log/trace.hpp"
#include "utils/log/utf8.hpp"

namespace {

// The records of the calling worker, reused entity after entity: once the
// first pass has sized their counter lists, a pass allocates nothing.
struct scratch_records_s {
    talonmon_telemetry_record_s stats;
    talonmon_telemetry_record_s event;
};

thread_local scratch_records_s t_records;

template <typename Entry>
void reset_record(talonmon_telemetry_record_s &record, const Entry &entity) {
    record.type = {};
    record.record_type = {};
    record.id = &entity.uuid;
    record.name = &entity.name;
    record.parts = &entity.line_parts;
    record.counters.clear();
    record.description.clear();
}

// Failures are reported under the name of the public entry point (`func`),
// which tells the port pass from the LIF pass.
template <typename Entry>
sdk::sdk_ret_t handle_telemetry(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info,
                                const std::vector<Entry> &entities, talonmon_populate_cb_t populate_cb,
                                talonmon_record_type_e kind, const char *word, const char *func) {
    uint32_t index = 0;
    for (const Entry &entity : entities) {
        talonmon_telemetry_record_s &stats_record = t_records.stats;
        talonmon_telemetry_record_s &event_record = t_records.event;
        reset_record(stats_record, entity);
        reset_record(event_record, entity);

        const uint32_t position = index++;
        sdk::sdk_ret_t rc = populate_cb(card, info, position, entity.stats_addr, &stats_record, &event_record);
        if (rc != sdk::SDK_RET_OK) {
            utils::trace_msg(trace_level_err, {__FILE__, __LINE__, func},
                             "Failed to populate {} telemetry record(s), err {}", word, static_cast<uint32_t>(rc));
            return rc;
        }
        if (entity.metrics) {
            entity.metrics->publish(pipeline_last_readings(card, kind, position));
            entity.metrics->observe_rates(pipeline_last_rates(card, kind, position));
        }
        if (!stats_record.counters.empty()) {
            stats_record.type = TALONMON_TELEMETRY_TYPE_STATS;
            stats_record.record_type.type = kind;
            rc = info.export_cb(card, stats_record);
            if (rc != sdk::SDK_RET_OK) {
                utils::trace_msg(trace_level_err, {__FILE__, __LINE__, func},
                                 "Failed to export {} {} stats telemetry record, err {}", word,
                                 utils::printable{entity.name}, static_cast<uint32_t>(rc));
                return rc;
            }
        }
        if (!event_record.counters.empty()) {
            event_record.type = TALONMON_TELEMETRY_TYPE_EVENT;
            event_record.record_type.type = kind;
            rc = info.export_cb(card, event_record);
            if (rc != sdk::SDK_RET_OK) {
                utils::trace_msg(trace_level_err, {__FILE__, __LINE__, func},
                                 "Failed to export {} {} event telemetry record, err {}", word,
                                 utils::printable{entity.name}, static_cast<uint32_t>(rc));
                return rc;
            }
        }
    }
    return sdk::SDK_RET_OK;
}

}  // namespace

sdk::sdk_ret_t talonmon_handle_port_telemetry(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info) {
    auto ports = card.ports();
    return handle_telemetry(card, info, *ports, info.port_populate_cb, TALONMON_RECORD_TYPE_PORT, "port", __func__);
}

sdk::sdk_ret_t talonmon_handle_lif_telemetry(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info) {
    auto lifs = card.lifs();
    return handle_telemetry(card, info, *lifs, info.lif_populate_cb, TALONMON_RECORD_TYPE_LIF, "lif", __func__);
}
