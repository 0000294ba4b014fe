#include "aml/aml_liveness.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/trace.hpp"

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
        if (card_alive_(ctxt) || ctxt.is_down()) {
            continue;
        }
        TRACE_INFO("TALON {} - card down detected", ctxt.bdf);
        talonmon_post_health_check_event(ctxt, "card down detected");
        ctxt.set_down(true);
    }
}
