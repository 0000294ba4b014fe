// Request/response exchanges on a tawk device with the framing of
// protocol.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

#include "utils/sys/unique_fd.hpp"

struct ipc_cmd_dev_s {
    utils::unique_fd fd;  // empty (-1) while closed
    uint8_t next_tag = 0;  // wraps at 256
};

// Opens path (null: the default tawk device). 0, or -1 with fd empty and
// errno set.
int ipc_cmd_dev_open2(ipc_cmd_dev_s *dev, const char *path);
int ipc_cmd_dev_open(ipc_cmd_dev_s *dev);
void ipc_cmd_dev_close(ipc_cmd_dev_s *dev);
int ipc_cmd_dev_bind(ipc_cmd_dev_s *dev, uint32_t value);
int ipc_cmd_dev_unbind(ipc_cmd_dev_s *dev, uint32_t value);

// Sends the request pieces as one framed message to endpoint ep with
// operation op (24 bits), reads one response into the response pieces.
// Returns the response payload length and stores the transport status in
// *status, or returns -1 with errno: EMSGSIZE (request over
// IPC_CMD_MAX_PAYLOAD bytes, or a response longer than the pieces hold),
// EIO (malformed or truncated response), or the errno of write/read.
int ipc_cmd_send_req_v(ipc_cmd_dev_s *dev, uint32_t ep, uint32_t op,
                       const iovec *req, size_t req_cnt,
                       const iovec *rsp, size_t rsp_cnt, uint32_t *status);
