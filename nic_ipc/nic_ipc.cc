#include "nic_ipc/nic_ipc.hpp"

#include <cerrno>
#include <cstring>

#include "nic_ipc/nic_ipc_dev.hpp"
#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

using ipc_wire::get_le;
using ipc_wire::put_le;

namespace {

constexpr uint32_t k_fwctl_config_ep = 0x1E;

struct scope_key_s {
    uint32_t ep;
    uint32_t op;
};

constexpr scope_key_s k_debug_write_keys[] = {
    {0x05, 0x06}, {0x05, 0x07},
    {0x11, 0x07}, {0x11, 0x1C}, {0x11, 0x1D},
    {0x13, 0x03}, {0x13, 0x05}, {0x13, 0x14}, {0x13, 0x1F}, {0x13, 0x20}, {0x13, 0x21},
    {0x19, 0x00}, {0x19, 0x01}, {0x19, 0x02}, {0x19, 0x07}, {0x19, 0x0A},
    {0x19, 0x10}, {0x19, 0x11}, {0x19, 0x21}, {0x19, 0x24}, {0x19, 0x25},
};

constexpr uint32_t scope_key(uint32_t ep, uint32_t op)
{
    return (ep << 16) | op;
}

// The configuration commands travel with the configuration scope on both
// forms of the fwctl exchange.
constexpr bool is_config_key(uint32_t key)
{
    return key >= scope_key(k_fwctl_config_ep, 0x01) && key <= scope_key(k_fwctl_config_ep, 0x05);
}

bool first_card(char *out)
{
    char list[NIC_IPC_MAX_CARDS][NIC_IPC_BDF_SIZE] = {};
    int n = nic_ipc_card_pcie_devices(CARD_PCI_VENDOR_ID, nic_ipc_asic_pcie_device_id(), list,
                                      NIC_IPC_MAX_CARDS);
    if (n <= 0) {
        return false;
    }
    std::memcpy(out, list[0], NIC_IPC_BDF_SIZE);
    return true;
}

int fwctl_exchange(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, uint32_t scope,
                   const void *req, size_t req_len, void *rsp, size_t rsp_cap, uint32_t *status)
{
    nic_fwctl_rpc_msg_t msg{};
    put_le<uint32_t>(&msg[NIC_FWCTL_MSG_OP_OFFSET], op);
    put_le<uint32_t>(&msg[NIC_FWCTL_MSG_EP_OFFSET], ep);
    put_le<uint32_t>(&msg[NIC_FWCTL_MSG_IN_LEN_OFFSET], static_cast<uint32_t>(req_len));
    put_le<uint64_t>(&msg[NIC_FWCTL_MSG_IN_PAYLOAD_OFFSET], reinterpret_cast<uintptr_t>(req));
    put_le<uint32_t>(&msg[NIC_FWCTL_MSG_OUT_LEN_OFFSET], static_cast<uint32_t>(rsp_cap));
    put_le<uint64_t>(&msg[NIC_FWCTL_MSG_OUT_PAYLOAD_OFFSET], reinterpret_cast<uintptr_t>(rsp));

    alignas(8) fwctl_rpc_arg_t arg{};
    put_le<uint32_t>(&arg[FWCTL_RPC_SIZE_OFFSET], FWCTL_RPC_ARG_SIZE);
    put_le<uint32_t>(&arg[FWCTL_RPC_SCOPE_OFFSET], scope);
    put_le<uint32_t>(&arg[FWCTL_RPC_IN_LEN_OFFSET], NIC_FWCTL_RPC_MSG_SIZE);
    put_le<uint32_t>(&arg[FWCTL_RPC_OUT_LEN_OFFSET], NIC_FWCTL_RPC_MSG_SIZE);
    put_le<uint64_t>(&arg[FWCTL_RPC_IN_OFFSET], reinterpret_cast<uintptr_t>(msg.data()));
    put_le<uint64_t>(&arg[FWCTL_RPC_OUT_OFFSET], reinterpret_cast<uintptr_t>(msg.data()));

    if (ipc_drv_fwctl_rpc(ipc->dev.fd.get(), &arg) != 0) {
        if (errno != ETIMEDOUT) {
            errno = EIO;
        }
        return -1;
    }
    *status = get_le<uint32_t>(&msg[NIC_FWCTL_MSG_OUT_RETVAL_OFFSET]);
    uint32_t out_len = get_le<uint32_t>(&msg[NIC_FWCTL_MSG_OUT_LEN_OFFSET]);
    // A driver never reports more than the capacity it was given; a length
    // that does not fit a non-negative int would be misread as a failure.
    if (out_len > rsp_cap || out_len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(out_len);
}

}  // namespace

int nic_ipc_init(int32_t transport, bool use_alternate)
{
    if (transport != static_cast<int32_t>(NIC_IPC_TRANSPORT_TAWK) &&
        transport != static_cast<int32_t>(NIC_IPC_TRANSPORT_FWCTL)) {
        return -3;
    }
    g_ipc_transport = transport;
    g_use_alternate_transport = use_alternate;
    return 0;
}

uint32_t nic_fwctl_rpc_scope(uint32_t ep, uint32_t op)
{
    const uint32_t key = scope_key(ep, op);
    if (is_config_key(key)) {
        return FWCTL_RPC_CONFIGURATION;
    }
    for (const auto &k : k_debug_write_keys) {
        if (key == scope_key(k.ep, k.op)) {
            return FWCTL_RPC_DEBUG_WRITE;
        }
    }
    return FWCTL_RPC_DEBUG_READ_ONLY;
}

int nic_tawk_ipc_open(nic_ipc_handle_s *ipc, const char *path)
{
    return ipc_cmd_dev_open2(&ipc->dev, path);
}

int nic_fwctl_ipc_open(nic_ipc_handle_s *ipc, const char *path)
{
    return ipc_cmd_dev_open2(&ipc->dev, path);
}

void nic_tawk_ipc_close(nic_ipc_handle_s *ipc)
{
    ipc_cmd_dev_close(&ipc->dev);
}

void nic_fwctl_ipc_close(nic_ipc_handle_s *ipc)
{
    ipc_cmd_dev_close(&ipc->dev);
}

int nic_ipc_open(nic_ipc_handle_s *ipc, const char *card_bdf)
{
    char card[NIC_IPC_BDF_SIZE] = {};
    char path[NIC_IPC_PATH_SIZE] = {};
    const bool no_card = card_bdf == nullptr || card_bdf[0] == '\0';

    if (g_ipc_transport == static_cast<int32_t>(NIC_IPC_TRANSPORT_FWCTL)) {
        if (no_card) {
            if (!first_card(card)) {
                return -2;
            }
            card_bdf = card;
        }
        if (nic_fwctl_device_path_from_hub_bdf(card_bdf, path) == 0) {
            ipc->transport = NIC_IPC_TRANSPORT_FWCTL;
            return nic_fwctl_ipc_open(ipc, path);
        }
        if (!g_use_alternate_transport || nic_tawk_device_path_from_hub_bdf(card_bdf, path) != 0) {
            return -1;
        }
        ipc->transport = NIC_IPC_TRANSPORT_TAWK;
        return nic_tawk_ipc_open(ipc, path);
    }

    if (no_card) {
        ipc->transport = NIC_IPC_TRANSPORT_TAWK;
        return nic_tawk_ipc_open(ipc, nullptr);
    }
    if (g_ipc_transport != static_cast<int32_t>(NIC_IPC_TRANSPORT_TAWK)) {
        return -3;
    }
    if (nic_tawk_device_path_from_hub_bdf(card_bdf, path) == 0) {
        ipc->transport = NIC_IPC_TRANSPORT_TAWK;
        return nic_tawk_ipc_open(ipc, path);
    }
    if (g_use_alternate_transport && nic_fwctl_device_path_from_hub_bdf(card_bdf, path) == 0) {
        ipc->transport = NIC_IPC_TRANSPORT_FWCTL;
        return nic_fwctl_ipc_open(ipc, path);
    }
    return -1;
}

int nic_tawk_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                         size_t req_len, size_t rsp_cap, uint32_t *status)
{
    iovec req{buf, req_len};
    iovec rsp{buf, rsp_cap};
    return ipc_cmd_send_req_v(&ipc->dev, ep, op, &req, 1, &rsp, 1, status);
}

int nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                          size_t req_len, size_t rsp_cap, uint32_t *status)
{
    return fwctl_exchange(ipc, ep, op, nic_fwctl_rpc_scope(ep, op), buf, req_len, buf, rsp_cap,
                          status);
}

int nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op,
                          const void *req, size_t req_len, void *rsp, size_t rsp_cap,
                          uint32_t *status)
{
    // This form knows no debug-write scope: every other key is read-only.
    const uint32_t scope =
        is_config_key(scope_key(ep, op)) ? FWCTL_RPC_CONFIGURATION : FWCTL_RPC_DEBUG_READ_ONLY;
    return fwctl_exchange(ipc, ep, op, scope, req, req_len, rsp, rsp_cap, status);
}

int nic_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                    size_t req_len, size_t rsp_cap, uint32_t *status)
{
    if (!ipc->dev.fd) {
        errno = EBADF;
        return -1;
    }
    if (ipc->transport == NIC_IPC_TRANSPORT_FWCTL) {
        return nic_fwctl_ipc_req_rsp(ipc, ep, op, buf, req_len, rsp_cap, status);
    }
    return nic_tawk_ipc_req_rsp(ipc, ep, op, buf, req_len, rsp_cap, status);
}

void nic_ipc_close(nic_ipc_handle_s *ipc)
{
    if (ipc->transport == NIC_IPC_TRANSPORT_FWCTL) {
        nic_fwctl_ipc_close(ipc);
    } else {
        nic_tawk_ipc_close(ipc);
    }
}
