// The fwctl RPC call of the card's core management function.
//
// On a real host the call is the FWCTL_RPC ioctl on the fwctl character
// device. Its argument is the 32-byte fwctl_rpc record:
//
//   0  u32 size (32)      4  u32 scope       8  u32 in_len (48)
//   12 u32 out_len (48)   16 u64 in          24 u64 out
//
// in and out both hold the address of one 48-byte message, which the driver
// reads and then writes back:
//
//   0  u32 op             4  u32 ep          8  u32 reserved
//   12 u32 in.len         16 u64 in.payload  24 u32 out.retval
//   28 8 bytes reserved   36 u32 out.len     40 u64 out.payload
//
// When the device node is a socket (an emulated card), the same call is
// carried as one request message and one response message on the
// SOCK_SEQPACKET connection, all fields little-endian:
//
//   request:  0 u32 scope, 4 u32 op, 8 u32 ep, 12 u32 in.len,
//             16 u32 out.len (response capacity), 20 in.len payload bytes
//   response: 0 u32 out.retval, 4 u32 out.len, 8 out.len payload bytes
//
// out.len in the response is at most the capacity sent; a longer answer
// fails the call with EMSGSIZE. retval and len are written back into the
// 48-byte message and the payload into out.payload, as the driver does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr unsigned long FWCTL_RPC = 0x9A01;

inline constexpr uint32_t FWCTL_RPC_CONFIGURATION = 0;
inline constexpr uint32_t FWCTL_RPC_DEBUG_READ_ONLY = 1;
inline constexpr uint32_t FWCTL_RPC_DEBUG_WRITE = 2;

inline constexpr size_t FWCTL_RPC_ARG_SIZE = 32;
inline constexpr size_t FWCTL_RPC_SIZE_OFFSET = 0;
inline constexpr size_t FWCTL_RPC_SCOPE_OFFSET = 4;
inline constexpr size_t FWCTL_RPC_IN_LEN_OFFSET = 8;
inline constexpr size_t FWCTL_RPC_OUT_LEN_OFFSET = 12;
inline constexpr size_t FWCTL_RPC_IN_OFFSET = 16;
inline constexpr size_t FWCTL_RPC_OUT_OFFSET = 24;
static_assert(FWCTL_RPC_OUT_OFFSET + 8 == FWCTL_RPC_ARG_SIZE);

inline constexpr size_t NIC_FWCTL_RPC_MSG_SIZE = 48;
inline constexpr size_t NIC_FWCTL_MSG_OP_OFFSET = 0;
inline constexpr size_t NIC_FWCTL_MSG_EP_OFFSET = 4;
inline constexpr size_t NIC_FWCTL_MSG_IN_LEN_OFFSET = 12;
inline constexpr size_t NIC_FWCTL_MSG_IN_PAYLOAD_OFFSET = 16;
inline constexpr size_t NIC_FWCTL_MSG_OUT_RETVAL_OFFSET = 24;
inline constexpr size_t NIC_FWCTL_MSG_OUT_LEN_OFFSET = 36;
inline constexpr size_t NIC_FWCTL_MSG_OUT_PAYLOAD_OFFSET = 40;
static_assert(NIC_FWCTL_MSG_OUT_PAYLOAD_OFFSET + 8 == NIC_FWCTL_RPC_MSG_SIZE);

// Socket form of the call.
inline constexpr size_t FWCTL_SOCK_REQ_HDR_SIZE = 20;
inline constexpr size_t FWCTL_SOCK_REQ_SCOPE_OFFSET = 0;
inline constexpr size_t FWCTL_SOCK_REQ_OP_OFFSET = 4;
inline constexpr size_t FWCTL_SOCK_REQ_EP_OFFSET = 8;
inline constexpr size_t FWCTL_SOCK_REQ_IN_LEN_OFFSET = 12;
inline constexpr size_t FWCTL_SOCK_REQ_OUT_CAP_OFFSET = 16;
inline constexpr size_t FWCTL_SOCK_RSP_HDR_SIZE = 8;
inline constexpr size_t FWCTL_SOCK_RSP_RETVAL_OFFSET = 0;
inline constexpr size_t FWCTL_SOCK_RSP_LEN_OFFSET = 4;
// Largest payload either way on the socket form.
inline constexpr size_t FWCTL_SOCK_MAX_PAYLOAD = 64 * 1024;

using fwctl_rpc_arg_t = std::array<uint8_t, FWCTL_RPC_ARG_SIZE>;
using nic_fwctl_rpc_msg_t = std::array<uint8_t, NIC_FWCTL_RPC_MSG_SIZE>;

// Issues the call on fd: the ioctl on a character device, the message
// exchange above on a socket. Returns 0, or -1 with errno set.
int ipc_drv_fwctl_rpc(int fd, fwctl_rpc_arg_t *arg);
