#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <vector>

#include "sdk/platform/ipcdrv/src/ipc_drv.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

using ipc_wire::get_le;
using ipc_wire::put_le;

namespace {

uint8_t *addr_to_ptr(uint64_t addr)
{
    return reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(addr));
}

int fwctl_rpc_over_socket(int fd, fwctl_rpc_arg_t *arg)
{
    const uint8_t *a = arg->data();
    uint8_t *msg = addr_to_ptr(get_le<uint64_t>(a + FWCTL_RPC_IN_OFFSET));
    uint8_t *msg_out = addr_to_ptr(get_le<uint64_t>(a + FWCTL_RPC_OUT_OFFSET));
    if (msg == nullptr || msg_out == nullptr) {
        errno = EFAULT;
        return -1;
    }
    uint32_t in_len = get_le<uint32_t>(msg + NIC_FWCTL_MSG_IN_LEN_OFFSET);
    uint32_t out_cap = get_le<uint32_t>(msg + NIC_FWCTL_MSG_OUT_LEN_OFFSET);
    const uint8_t *in_payload = addr_to_ptr(get_le<uint64_t>(msg + NIC_FWCTL_MSG_IN_PAYLOAD_OFFSET));
    uint8_t *out_payload = addr_to_ptr(get_le<uint64_t>(msg + NIC_FWCTL_MSG_OUT_PAYLOAD_OFFSET));
    if (in_len > FWCTL_SOCK_MAX_PAYLOAD || out_cap > FWCTL_SOCK_MAX_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    if ((in_len && !in_payload) || (out_cap && !out_payload)) {
        errno = EFAULT;
        return -1;
    }

    std::vector<uint8_t> req(FWCTL_SOCK_REQ_HDR_SIZE + in_len);
    put_le<uint32_t>(&req[FWCTL_SOCK_REQ_SCOPE_OFFSET], get_le<uint32_t>(a + FWCTL_RPC_SCOPE_OFFSET));
    put_le<uint32_t>(&req[FWCTL_SOCK_REQ_OP_OFFSET], get_le<uint32_t>(msg + NIC_FWCTL_MSG_OP_OFFSET));
    put_le<uint32_t>(&req[FWCTL_SOCK_REQ_EP_OFFSET], get_le<uint32_t>(msg + NIC_FWCTL_MSG_EP_OFFSET));
    put_le<uint32_t>(&req[FWCTL_SOCK_REQ_IN_LEN_OFFSET], in_len);
    put_le<uint32_t>(&req[FWCTL_SOCK_REQ_OUT_CAP_OFFSET], out_cap);
    if (in_len) {
        std::memcpy(&req[FWCTL_SOCK_REQ_HDR_SIZE], in_payload, in_len);
    }
    ssize_t n;
    do {
        n = ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }

    std::vector<uint8_t> rsp(FWCTL_SOCK_RSP_HDR_SIZE + out_cap);
    if (ipc_drv_wait_response(fd) != 0) {
        return -1;
    }
    do {
        n = ::recv(fd, rsp.data(), rsp.size(), MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    if (n == 0) {
        errno = ECONNRESET;
        return -1;
    }
    size_t got = static_cast<size_t>(n);
    if (got > rsp.size()) {
        errno = EMSGSIZE;
        return -1;
    }
    if (got < FWCTL_SOCK_RSP_HDR_SIZE) {
        errno = EPROTO;
        return -1;
    }
    uint32_t retval = get_le<uint32_t>(&rsp[FWCTL_SOCK_RSP_RETVAL_OFFSET]);
    uint32_t out_len = get_le<uint32_t>(&rsp[FWCTL_SOCK_RSP_LEN_OFFSET]);
    if (out_len > out_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    if (out_len != got - FWCTL_SOCK_RSP_HDR_SIZE) {
        errno = EPROTO;
        return -1;
    }
    if (out_len) {
        std::memcpy(out_payload, &rsp[FWCTL_SOCK_RSP_HDR_SIZE], out_len);
    }
    put_le<uint32_t>(msg_out + NIC_FWCTL_MSG_OUT_RETVAL_OFFSET, retval);
    put_le<uint32_t>(msg_out + NIC_FWCTL_MSG_OUT_LEN_OFFSET, out_len);
    return 0;
}

}  // namespace

int ipc_drv_fwctl_rpc(int fd, fwctl_rpc_arg_t *arg)
{
    if (ipc_drv_fd_is_socket(fd)) {
        return fwctl_rpc_over_socket(fd, arg);
    }
    return ::ioctl(fd, FWCTL_RPC, arg->data()) < 0 ? -1 : 0;
}
