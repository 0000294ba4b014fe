#include "aml/aml_liveness.hpp"
#include "monitor/talonmon_state.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "utils/log/trace.hpp"

#include <cstdio>

bool talonmon_state::card_alive_(const talonmon_card_ctxt_s &ctxt) {
    aml_card_liveness_check_req_s req{};
    req.handle.uuid = ctxt.uuid;
    req.handle.bdf = ctxt.bdf;
    aml_card_liveness_check_rsp_s rsp{};
    return aml_card_liveness_check(&req, &rsp) == AML_STATUS_OK;
}

void talonmon_state::inspect_card_health() {
    const size_t count = num_cards();
    for (size_t i = 0; i < count; ++i) {
        talonmon_card_ctxt_s &ctxt = card(i);
        // Marked down before the record is written: a worker that is just
        // starting then writes no "card up detected" after it. A card that
        // goes down before its new worker reported it up stays down quietly:
        // its last record says down already.
        if (card_alive_(ctxt) || !ctxt.mark_down()) {
            continue;
        }
        TRACE_INFO("TALON {} - card down detected", ctxt.bdf);
        // Once per episode in the journal too, where operators look.
        std::fprintf(stderr, "TALON %s - card down detected: it failed its heartbeat\n", ctxt.bdf.c_str());
        talonmon_post_health_check_event(ctxt, "card down detected");
    }
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
