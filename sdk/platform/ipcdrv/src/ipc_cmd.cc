#include "sdk/platform/ipcdrv/src/ipc_cmd.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "sdk/platform/ipcdrv/src/ipc_drv.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

using ipc_wire::get_le;
using ipc_wire::put_le;

int ipc_cmd_dev_open2(ipc_cmd_dev_s *dev, const char *path)
{
    dev->fd.reset(ipc_drv_open2(path));
    if (!dev->fd) {
        return -1;
    }
    dev->next_tag = 0;
    return 0;
}

int ipc_cmd_dev_open(ipc_cmd_dev_s *dev)
{
    return ipc_cmd_dev_open2(dev, nullptr);
}

void ipc_cmd_dev_close(ipc_cmd_dev_s *dev)
{
    dev->fd.reset();
}

int ipc_cmd_dev_bind(ipc_cmd_dev_s *dev, uint32_t value)
{
    return ipc_drv_bind(dev->fd.get(), value);
}

int ipc_cmd_dev_unbind(ipc_cmd_dev_s *dev, uint32_t value)
{
    return ipc_drv_unbind(dev->fd.get(), value);
}

int ipc_cmd_send_req_v(ipc_cmd_dev_s *dev, uint32_t ep, uint32_t op,
                       const iovec *req, size_t req_cnt,
                       const iovec *rsp, size_t rsp_cnt, uint32_t *status)
{
    size_t req_len = 0;
    for (size_t i = 0; i < req_cnt; ++i) {
        req_len += req[i].iov_len;
    }
    size_t rsp_cap = 0;
    for (size_t i = 0; i < rsp_cnt; ++i) {
        rsp_cap += rsp[i].iov_len;
    }
    if (req_len > IPC_CMD_MAX_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }

    std::array<uint8_t, IPC_CMD_MAX_MSG> buf{};
    const uint16_t op_lo = static_cast<uint16_t>(op & 0xFFFF);
    const uint8_t op_hi = static_cast<uint8_t>((op >> 16) & 0xFF);

    uint64_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_REQ);
    ipc_drv_hdr_set_tag(&hdr, dev->next_tag);
    dev->next_tag = static_cast<uint8_t>(dev->next_tag + 1);
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(req_len + IPC_CMD_MSG_HDR_SIZE));
    ipc_drv_hdr_set_req_endpoint(&hdr, ep);
    put_le<uint64_t>(&buf[0], hdr);
    put_le<uint32_t>(&buf[IPC_CMD_MAGIC_OFFSET], IPC_CMD_MAGIC);
    buf[IPC_CMD_VERSION_OFFSET] = IPC_CMD_VERSION;
    buf[IPC_CMD_OP_HI_OFFSET] = op_hi;
    put_le<uint16_t>(&buf[IPC_CMD_OP_LO_OFFSET], op_lo);
    size_t off = IPC_CMD_PAYLOAD_OFFSET;
    for (size_t i = 0; i < req_cnt; ++i) {
        if (req[i].iov_len) {
            std::memcpy(&buf[off], req[i].iov_base, req[i].iov_len);
            off += req[i].iov_len;
        }
    }

    ssize_t n;
    do {
        n = ipc_drv_write(dev->fd.get(), buf.data(), off);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }

    if (ipc_drv_wait_response(dev->fd.get()) != 0) {
        return -1;
    }
    do {
        n = ::read(dev->fd.get(), buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }

    // Only bytes that were actually read are looked at: both headers and
    // the payload the header claims must be present.
    const size_t got = static_cast<size_t>(n);
    if (got < IPC_CMD_HDRS_SIZE) {
        errno = EIO;
        return -1;
    }
    hdr = get_le<uint64_t>(&buf[0]);
    if (ipc_drv_hdr_get_type(hdr) != IPC_DRV_HDR_TYPE_RSP) {
        errno = EIO;
        return -1;
    }
    const size_t pld_len = ipc_drv_hdr_get_pld_len(hdr);
    if (pld_len < IPC_CMD_MSG_HDR_SIZE || IPC_DRV_HDR_SIZE + pld_len > got ||
        get_le<uint32_t>(&buf[IPC_CMD_MAGIC_OFFSET]) != IPC_CMD_MAGIC ||
        buf[IPC_CMD_VERSION_OFFSET] != IPC_CMD_VERSION ||
        buf[IPC_CMD_OP_HI_OFFSET] != op_hi ||
        get_le<uint16_t>(&buf[IPC_CMD_OP_LO_OFFSET]) != op_lo) {
        errno = EIO;
        return -1;
    }
    const size_t rsp_len = pld_len - IPC_CMD_MSG_HDR_SIZE;
    if (rsp_len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    *status = ipc_drv_hdr_get_rsp_errno(hdr);

    size_t left = rsp_len;
    off = IPC_CMD_PAYLOAD_OFFSET;
    for (size_t i = 0; i < rsp_cnt && left; ++i) {
        size_t take = rsp[i].iov_len < left ? rsp[i].iov_len : left;
        if (take) {
            std::memcpy(rsp[i].iov_base, &buf[off], take);
            off += take;
            left -= take;
        }
    }
    return static_cast<int>(rsp_len);
}
