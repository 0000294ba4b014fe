// The cards in the host, as completed card handles.
#pragma once

#include <string>
#include <vector>

#include "aml/aml_card.hpp"

struct aml_card_get_req_s {
    aml_card_handle_s handle;
};

struct aml_card_get_rsp_s {
    std::string err_msg;
    std::string uuid;
    std::string serial_num;
    std::string bdf;
    std::string rsc_bdf;
    std::string tawk_bdf;
    std::string core_bdf;
    std::string f1002_bdf;
    std::string f1003_bdf;
};

struct aml_card_inventory_get_req_s {};

struct aml_card_inventory_get_rsp_s {
    std::string err_msg;
    std::vector<aml_card_handle_s> cards;
};

// One card's identity and function addresses. 0; 11/255 bad handle; 8 the
// card information cannot be read.
aml_status_e aml_card_get(aml_card_get_req_s *req, aml_card_get_rsp_s *rsp);

// Every listed card that can be read, in listing order. 0, or the status of
// the last card that failed. A failed listing gives 0, no cards and an error
// line in err_msg.
aml_status_e aml_card_inventory_get(aml_card_inventory_get_req_s *req,
                                    aml_card_inventory_get_rsp_s *rsp);
