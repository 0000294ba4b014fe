#include "aml/aml_status.hpp"

#include <array>
#include <string_view>

namespace {

constexpr std::string_view k_unknown = "Unknown error";

struct status_text_s {
    uint32_t code;
    std::string_view text;
};

constexpr status_text_s k_status_texts[] = {
    {AML_STATUS_OK, ""},
    {AML_STATUS_CARD_NOT_DETECTED, "HALDEN TALON card(s) not detected"},
    {AML_STATUS_RSC_DEV_NOT_FOUND, "HALDEN TALON card's resource device not found"},
    {AML_STATUS_TAWK_DEV_NOT_FOUND, "TAWK IPC device not found"},
    {AML_STATUS_FWCTL_DEV_NOT_FOUND, "FWCTL IPC device not found"},
    {AML_STATUS_IPC_CONN_ERR, "HALDEN TALON card IPC connection error"},
    {AML_STATUS_IPC_OP_ERR, "HALDEN TALON card IPC operation error"},
    {AML_STATUS_NOT_SUPPORTED, "Operation not supported"},
    {AML_STATUS_NOT_FOUND, "Entry/Object not found"},
    {AML_STATUS_TIMEOUT, "Operation timed out"},
    {AML_STATUS_INVALID_OP, "Invalid operation"},
    {AML_STATUS_INVALID_INPUT, "Invalid input"},
    {AML_STATUS_IO_ERR, "I/O error"},
    {AML_STATUS_OUT_OF_RESOURCE, "Out-of-resource error"},
    {AML_STATUS_VERSION_MISMATCH, "firmware/software version mismatch"},
    {AML_STATUS_MSG_SIZE_MISMATCH, "Message size mismatch"},
    {AML_STATUS_PCIE_DEV_NOT_FOUND, "PCIe device not found"},
    {AML_STATUS_PCIE_HOST_PORT_ERR, "PCIe host port get error"},
    {AML_STATUS_PCIE_CAP_GET_ERR, "PCIe capability get error"},
    {AML_STATUS_PCIE_CAP_SET_ERR, "PCIe capability set error"},
    {AML_STATUS_PCIE_DEV_REMOVE_ERR, "PCIe device remove error"},
    {AML_STATUS_PCIE_RESCAN_ERR, "PCIe rescan error"},
    {AML_STATUS_UNNAMED_RETRY, k_unknown},
    {AML_STATUS_OUT_OF_BOUND, "Out-of-bound error"},
    {AML_STATUS_INIT_ERR, "Intialization error"},
    {AML_STATUS_GENERIC_ERR, "Generic error"},
};

struct code_pair_s {
    uint32_t from;
    uint32_t to;
};

constexpr code_pair_s k_aml_to_sdk[] = {
    {0, 0}, {5, 62}, {6, 63}, {7, 44}, {8, 4}, {9, 39},
    {10, 10}, {11, 2}, {13, 6}, {15, 56}, {24, 11}, {25, 8},
};

constexpr size_t k_sdk_table_size = 64;

constexpr std::array<uint32_t, k_sdk_table_size> make_sdk_to_aml()
{
    std::array<uint32_t, k_sdk_table_size> t{};
    for (auto &v : t) {
        v = AML_STATUS_GENERIC_ERR;
    }
    constexpr code_pair_s pairs[] = {
        {0, 0}, {2, 11}, {3, 10}, {4, 8}, {6, 13}, {8, 25}, {11, 24},
        {39, 9}, {44, 7}, {54, 26}, {56, 15}, {62, 5}, {63, 6},
    };
    for (const auto &p : pairs) {
        t[p.from] = p.to;
    }
    return t;
}

constexpr auto k_sdk_to_aml = make_sdk_to_aml();

}  // namespace

std::string aml_status_to_str(aml_status_e status)
{
    for (const auto &s : k_status_texts) {
        if (s.code == status) {
            return std::string(s.text);
        }
    }
    return std::string(k_unknown);
}

sdk::sdk_ret_t aml_to_sdk_ret_status(aml_status_e status)
{
    for (const auto &p : k_aml_to_sdk) {
        if (p.from == status) {
            return static_cast<sdk::sdk_ret_t>(p.to);
        }
    }
    return sdk::SDK_RET_ERR;
}

aml_status_e sdk_ret_to_aml_status(sdk::sdk_ret_t ret)
{
    if (static_cast<uint32_t>(ret) >= k_sdk_table_size) {
        return AML_STATUS_GENERIC_ERR;
    }
    return static_cast<aml_status_e>(k_sdk_to_aml[ret]);
}
