#include "aml/aml_card.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "nic_ipc/nic_ipc_dev.hpp"

aml_state_s g_aml_state;
thread_local uint32_t g_aml_test_env = 0;

namespace {

constexpr const char *k_default_oper_dir = "/tmp/talon/";
constexpr const char *k_default_conf_dir = "/etc/halden/talon/";

}  // namespace

std::string aml_oper_dir()
{
    return g_aml_state.initialised ? g_aml_state.oper_dir : k_default_oper_dir;
}

std::string aml_conf_dir()
{
    return g_aml_state.initialised ? g_aml_state.conf_dir : k_default_conf_dir;
}

bool is_bdf_valid(const std::string &bdf)
{
    static const std::regex k_bdf("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-9a-f]$",
                                  std::regex::icase | std::regex::optimize);
    return std::regex_match(bdf, k_bdf);
}

bool is_uuid_valid(const std::string &uuid)
{
    static const std::regex k_uuid(
        "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$",
        std::regex::icase | std::regex::optimize);
    return std::regex_match(uuid, k_uuid);
}

aml_status_e aml_card_handle_validate(aml_card_handle_s *handle, nic_ipc_card_info_s *info, bool *info_read)
{
    if (const char *env = std::getenv("AML_TEST_ENV")) {
        g_aml_test_env = static_cast<uint32_t>(std::strtoul(env, nullptr, 10));
    }
    if (!handle->uuid.empty()) {
        if (!is_uuid_valid(handle->uuid)) {
            return AML_STATUS_INVALID_INPUT;
        }
        if (handle->bdf.empty()) {
            char bdf[NIC_IPC_BDF_SIZE] = {};
            if (nic_ipc_card_bdf_from_uuid(handle->uuid.c_str(), bdf) != 0) {
                return AML_STATUS_GENERIC_ERR;
            }
            handle->bdf = bdf;
        }
        return AML_STATUS_OK;
    }
    if (handle->bdf.empty() || !is_bdf_valid(handle->bdf)) {
        return AML_STATUS_INVALID_INPUT;
    }
    nic_ipc_card_info_s own{};
    nic_ipc_card_info_s &details = info != nullptr ? *info : own;
    if (nic_ipc_get_card_info(handle->bdf.c_str(), &details) != 0) {
        return AML_STATUS_GENERIC_ERR;
    }
    if (info_read != nullptr) {
        *info_read = true;
    }
    handle->uuid = details.uuid;
    return AML_STATUS_OK;
}

std::string aml_uuid_to_str(const uint8_t uuid[16])
{
    std::array<uint8_t, 16> bytes;
    std::memcpy(bytes.data(), uuid, bytes.size());
    return nic_ipc_uuid_text(bytes);
}

std::string aml_card_error_msg(aml_card_handle_s *handle, std::string msg)
{
    return "NIC " + handle->uuid + " (" + handle->bdf + ") : " + msg + "\n";
}
