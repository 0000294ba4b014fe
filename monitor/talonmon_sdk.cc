// Platform start of a worker thread: map its card's memory and fill the
// platform access table with the host backend.
#include "logger/logger.hpp"
#include "monitor/talonmon_worker.hpp"
#include "aml/aml_card.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "utils/log/trace.hpp"

#include <cstring>
#include <mutex>

static_assert(k_palx86_card_vendor_id == CARD_PCI_VENDOR_ID, "the platform layer looks for the cards' vendor");

namespace {

// The resource device of a card, found through the card-IPC layer.
int rsc_bdf_from_hub_bdf(const char *hub_bdf, char *rsc_bdf, size_t len) {
    nic_ipc_card_device_info_s info{};
    int rc = nic_ipc_get_card_device_info(hub_bdf, &info);
    if (rc != 0) {
        return rc;
    }
    if (info.rsc_bdf[0] == '\0' || std::strlen(info.rsc_bdf) >= len) {
        return -1;  // no resource device: refuse to map an empty address
    }
    std::strcpy(rsc_bdf, info.rsc_bdf);
    return 0;
}

int rsc_bdf_from_uuid(const char *uuid, char *rsc_bdf, size_t len) {
    char found[NIC_IPC_BDF_SIZE] = {};
    if (nic_ipc_card_rsc_bdf_from_uuid(uuid, found) != 0 || std::strlen(found) >= len) {
        return -1;
    }
    std::strcpy(rsc_bdf, found);
    return 0;
}

}  // namespace

int talonmon_card_sdk_init(aml_card_handle_s *card) {
    // The lower layers' messages are of no use in the daemon's files.
    logger_init(null_logger_cb_);
    static std::once_flag resolver_installed;
    std::call_once(resolver_installed,
                   [] { palx86_set_card_resolver(palx86_card_resolver_s{rsc_bdf_from_hub_bdf, rsc_bdf_from_uuid}); });
    int rc = pal_hw_x86_init(card->bdf.c_str());
    if (rc < 0) {
        TRACE_ERR("TALON {} - Failed to initialize PAL, err : {}", card->bdf, rc);
        return sdk::SDK_RET_ERR;
    }
    sdk::lib::pal_ret_t pal_rc = sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr);
    if (pal_rc != sdk::lib::PAL_RET_OK) {
        TRACE_ERR("TALON {} - Failed to initialize PAL, err : {}", card->bdf, pal_rc);
        return sdk::SDK_RET_ERR;
    }
    return sdk::SDK_RET_OK;
}
