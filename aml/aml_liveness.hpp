// Card liveness: a heartbeat whose echo must come back unchanged.
#pragma once

#include "aml/aml_card.hpp"
#include "aml/aml_status.hpp"

#include <string>

struct aml_card_liveness_check_req_s {
    aml_card_handle_s handle;
};

struct aml_card_liveness_check_rsp_s {
    std::string err_msg;
};

// 0 alive; 11/255 bad handle; 5 no IPC channel; 6 IPC error; 15 short
// response; the mapped card status; 255 echo mismatch (err_msg untouched).
// Has no time-out of its own: a hung channel blocks the caller.
aml_status_e aml_card_liveness_check(aml_card_liveness_check_req_s *req, aml_card_liveness_check_rsp_s *rsp);
