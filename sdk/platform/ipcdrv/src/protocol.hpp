// The tawk driver framing: an 8-byte driver header (one little-endian 64-bit
// word) followed by an 8-byte command header and the payload.
//
//   byte 0..7   driver header   bits 0-2 type (2 request, 3 response),
//                               bits 8-15 tag, bits 16-31 pld_len
//                               (payload + 8), bits 32-63 endpoint in a
//                               request, transport status in a response
//   byte 8..11  magic "IPCM"
//   byte 12     version 1
//   byte 13     op bits 16-23
//   byte 14..15 op bits 0-15
//   byte 16..   payload, at most IPC_CMD_MAX_PAYLOAD bytes
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t IPC_DRV_HDR_TYPE_REQ = 2;
inline constexpr uint32_t IPC_DRV_HDR_TYPE_RSP = 3;

inline constexpr size_t IPC_DRV_HDR_SIZE = 8;
inline constexpr size_t IPC_CMD_MSG_HDR_SIZE = 8;
inline constexpr size_t IPC_CMD_HDRS_SIZE = IPC_DRV_HDR_SIZE + IPC_CMD_MSG_HDR_SIZE;
inline constexpr size_t IPC_CMD_MAX_PAYLOAD = 1024;
inline constexpr size_t IPC_CMD_MAX_MSG = IPC_CMD_HDRS_SIZE + IPC_CMD_MAX_PAYLOAD;

// Command header fields, as byte offsets from the start of the message.
inline constexpr size_t IPC_CMD_MAGIC_OFFSET = 8;
inline constexpr size_t IPC_CMD_VERSION_OFFSET = 12;
inline constexpr size_t IPC_CMD_OP_HI_OFFSET = 13;
inline constexpr size_t IPC_CMD_OP_LO_OFFSET = 14;
inline constexpr size_t IPC_CMD_PAYLOAD_OFFSET = 16;
static_assert(IPC_CMD_PAYLOAD_OFFSET == IPC_CMD_HDRS_SIZE);
static_assert(IPC_CMD_OP_LO_OFFSET + 2 == IPC_CMD_PAYLOAD_OFFSET);

inline constexpr uint32_t IPC_CMD_MAGIC = 0x4D435049;  // "IPCM" little-endian
inline constexpr uint8_t IPC_CMD_VERSION = 1;

// Driver header accessors. A type that does not carry the field is a
// programming error: the accessor reports it and aborts the process.
uint32_t ipc_drv_hdr_get_type(uint64_t hdr);
void ipc_drv_hdr_set_type(uint64_t *hdr, uint32_t type);
uint8_t ipc_drv_hdr_get_tag(uint64_t hdr);
void ipc_drv_hdr_set_tag(uint64_t *hdr, uint8_t tag);
uint16_t ipc_drv_hdr_get_pld_len(uint64_t hdr);
void ipc_drv_hdr_set_pld_len(uint64_t *hdr, uint16_t len);
uint32_t ipc_drv_hdr_get_req_endpoint(uint64_t hdr);
void ipc_drv_hdr_set_req_endpoint(uint64_t *hdr, uint32_t ep);
uint32_t ipc_drv_hdr_get_rsp_errno(uint64_t hdr);
void ipc_drv_hdr_set_rsp_errno(uint64_t *hdr, uint32_t err);
