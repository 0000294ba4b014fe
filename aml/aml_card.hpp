// A card's identity as the management library names it, the checks that
// complete a half-filled identity, and the library's error line format.
#pragma once

#include <cstdint>
#include <string>

#include "aml/aml_status.hpp"

struct aml_card_handle_s {
    std::string uuid;  // 8-4-4-4-12 hex digits
    std::string bdf;   // dddd:bb:dd.f

    bool operator==(const aml_card_handle_s &) const = default;
};

// Library state, built at static initialisation; only aml_init fills it.
struct aml_state_s {
    bool initialised = false;
    std::string oper_dir;
    std::string conf_dir;
    bool option = false;
};
extern aml_state_s g_aml_state;

// Decimal value of AML_TEST_ENV as last seen by aml_card_handle_validate on
// this thread (0 when never set).
extern thread_local uint32_t g_aml_test_env;

std::string aml_oper_dir();  // "/tmp/talon/" unless initialised
std::string aml_conf_dir();  // "/etc/halden/talon/" unless initialised

bool is_bdf_valid(const std::string &bdf);
bool is_uuid_valid(const std::string &uuid);

struct nic_ipc_card_info_s;

// Completes the handle in place: 0; 11 empty or malformed; 255 lookup failed.
// A handle given by address alone is completed from the card's details;
// when `info` is given they are kept there and `*info_read` is set, so that
// a caller that needs them does not read them again.
aml_status_e aml_card_handle_validate(aml_card_handle_s *handle, nic_ipc_card_info_s *info = nullptr,
                                      bool *info_read = nullptr);

// 16 bytes as lowercase 8-4-4-4-12 hex text.
std::string aml_uuid_to_str(const uint8_t uuid[16]);

// "NIC <uuid> (<bdf>) : <msg>\n"
std::string aml_card_error_msg(aml_card_handle_s *handle, std::string msg);
