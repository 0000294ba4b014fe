#include "aml/aml_liveness.hpp"

#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"

#include <sys/random.h>

#include <atomic>
#include <cstring>
#include <ctime>

namespace {

// A nonce of its own for every heartbeat, so that only a card that answers
// this very request can echo it: a card replaying an earlier answer fails.
uint64_t fresh_nonce() {
    uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof(nonce), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(nonce))) {
        return nonce;
    }
    // No entropy yet (early boot): the clock and a count of the checks still
    // differ from one heartbeat to the next.
    static std::atomic<uint64_t> checks{0};
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    constexpr uint64_t k_ns_per_s = 1000000000;
    constexpr unsigned k_count_shift = 40;
    return (static_cast<uint64_t>(now.tv_sec) * k_ns_per_s + static_cast<uint64_t>(now.tv_nsec)) ^
           (checks.fetch_add(1, std::memory_order_relaxed) << k_count_shift);
}

}  // namespace

aml_status_e aml_card_liveness_check(aml_card_liveness_check_req_s *req, aml_card_liveness_check_rsp_s *rsp) {
    aml_card_handle_s *handle = &req->handle;
    aml_status_e status = aml_card_handle_validate(handle);
    if (status != AML_STATUS_OK) {
        rsp->err_msg = aml_card_error_msg(handle, "ERROR - Invalid card handle");
        return status;
    }
    nic_ipc_channel ipc;
    if (ipc.open(handle->bdf.c_str()) < 0) {
        rsp->err_msg = aml_card_error_msg(handle, "ERROR - Failed to open IPC connection");
        return AML_STATUS_IPC_CONN_ERR;
    }
    const uint64_t nonce = fresh_nonce();
    uint64_t echo = 0;
    ipc_cmd_result_s res = ipc_cmd_heartbeat(ipc.get(), nonce, &echo);

    switch (res.fail) {
    case ipc_cmd_fail_e::send:
        rsp->err_msg = aml_card_error_msg(handle, std::string("ERROR - Failed to send HEARTBEAT, err : ") +
                                                      std::strerror(res.err));
        return AML_STATUS_IPC_OP_ERR;
    case ipc_cmd_fail_e::transport:
        rsp->err_msg = aml_card_error_msg(
            handle, "ERROR - Failed to get card heartbeat, err : " + std::to_string(res.transport_status));
        return AML_STATUS_IPC_OP_ERR;
    case ipc_cmd_fail_e::size:
        rsp->err_msg = aml_card_error_msg(handle, "ERROR - HEARTBEAT IPC response size " +
                                                      std::to_string(res.rsp_len) + " doesn't match expected size " +
                                                      std::to_string(ipc_cmd_def(ipc_cmd_e::HEARTBEAT).rsp_len));
        return AML_STATUS_MSG_SIZE_MISMATCH;
    case ipc_cmd_fail_e::status: {
        aml_status_e mapped = sdk_ret_to_aml_status(static_cast<sdk::sdk_ret_t>(res.cmd_status));
        rsp->err_msg =
            aml_card_error_msg(handle, "ERROR - Failed to get card heartbeat, status : " + aml_status_to_str(mapped));
        return mapped;
    }
    case ipc_cmd_fail_e::none:
    case ipc_cmd_fail_e::walk_limit:  // heartbeats are single exchanges
        break;
    }
    // A card status of 11 passed the response check like 0: the echo decides.
    return echo == nonce ? AML_STATUS_OK : AML_STATUS_GENERIC_ERR;
}
