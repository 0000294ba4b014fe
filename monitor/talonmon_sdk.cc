// Platform start of a worker thread: map its card's memory and fill the
// platform access table with the host backend.
#include "monitor/talonmon_worker.hpp"
#include "aml/aml_card.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/platform/pal/include/palx86.hpp"

#include <string>

int talonmon_card_sdk_init(aml_card_handle_s *card, std::string *cause) {
    int rc = pal_hw_x86_init(card->bdf.c_str());
    if (rc < 0) {
        if (cause != nullptr) {
            *cause = "err : " + std::to_string(rc) + " (" + palx86_last_error() + ")";
        }
        return sdk::SDK_RET_ERR;
    }
    sdk::lib::pal_ret_t pal_rc = sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr);
    if (pal_rc != sdk::lib::PAL_RET_OK) {
        if (cause != nullptr) {
            *cause = "err : " + std::to_string(static_cast<int>(pal_rc));
        }
        return sdk::SDK_RET_ERR;
    }
    return sdk::SDK_RET_OK;
}
