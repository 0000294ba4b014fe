// Management-library status codes, their texts, and the mappings to and
// from the platform status codes.
#pragma once

#include <cstdint>
#include <string>

#include "sdk/types.hpp"

enum aml_status_e : uint32_t {
    AML_STATUS_OK = 0,
    AML_STATUS_CARD_NOT_DETECTED = 1,
    AML_STATUS_RSC_DEV_NOT_FOUND = 2,
    AML_STATUS_TAWK_DEV_NOT_FOUND = 3,
    AML_STATUS_FWCTL_DEV_NOT_FOUND = 4,
    AML_STATUS_IPC_CONN_ERR = 5,
    AML_STATUS_IPC_OP_ERR = 6,
    AML_STATUS_NOT_SUPPORTED = 7,
    AML_STATUS_NOT_FOUND = 8,
    AML_STATUS_TIMEOUT = 9,
    AML_STATUS_INVALID_OP = 10,
    AML_STATUS_INVALID_INPUT = 11,
    AML_STATUS_IO_ERR = 12,
    AML_STATUS_OUT_OF_RESOURCE = 13,
    AML_STATUS_VERSION_MISMATCH = 14,
    AML_STATUS_MSG_SIZE_MISMATCH = 15,
    AML_STATUS_PCIE_DEV_NOT_FOUND = 16,
    AML_STATUS_PCIE_HOST_PORT_ERR = 17,
    AML_STATUS_PCIE_CAP_GET_ERR = 18,
    AML_STATUS_PCIE_CAP_SET_ERR = 19,
    AML_STATUS_PCIE_DEV_REMOVE_ERR = 20,
    AML_STATUS_PCIE_RESCAN_ERR = 21,
    AML_STATUS_OUT_OF_BOUND = 25,
    AML_STATUS_INIT_ERR = 26,
    AML_STATUS_GENERIC_ERR = 255,
};

// Code 24 has no name of its own; it pairs with platform code 11.
inline constexpr uint32_t AML_STATUS_UNNAMED_RETRY = 24;

std::string aml_status_to_str(aml_status_e status);
sdk::sdk_ret_t aml_to_sdk_ret_status(aml_status_e status);
aml_status_e sdk_ret_to_aml_status(sdk::sdk_ret_t ret);
