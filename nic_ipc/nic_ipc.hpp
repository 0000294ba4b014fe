// One request/response channel to a card's firmware over either kernel
// transport: the tawk IPC device or the fwctl device of the core function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/platform/ipcdrv/src/ipc_cmd.hpp"

inline constexpr uint32_t NIC_IPC_TRANSPORT_TAWK = 1;
inline constexpr uint32_t NIC_IPC_TRANSPORT_FWCTL = 2;

struct nic_ipc_handle_s {
    uint32_t transport = 0;
    ipc_cmd_dev_s dev;
};

// Per-thread transport choice: the preferred transport and whether the
// other one is tried when the preferred device is not found.
inline thread_local int32_t g_ipc_transport = NIC_IPC_TRANSPORT_TAWK;
inline thread_local bool g_use_alternate_transport = true;

// Sets both for the calling thread; -3 for a transport other than 1 or 2.
int nic_ipc_init(int32_t transport, bool use_alternate);

// Opens a channel to the card at card_bdf (null or empty: the first card, or
// the default tawk device). 0; -1 no device found or it did not open; -2 no
// card found; -3 bad transport setting.
int nic_ipc_open(nic_ipc_handle_s *ipc, const char *card_bdf);

// One exchange: the request is the first req_len bytes of buf, the response
// payload overwrites buf from the start, at most rsp_cap bytes. Returns the
// response length and writes the transport status to *status, or returns
// -1 with errno set (status untouched).
int nic_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                    size_t req_len, size_t rsp_cap, uint32_t *status);

// Closes the channel if open; a second close does nothing.
void nic_ipc_close(nic_ipc_handle_s *ipc);

// Transport-specific forms.
int nic_tawk_ipc_open(nic_ipc_handle_s *ipc, const char *path);
int nic_fwctl_ipc_open(nic_ipc_handle_s *ipc, const char *path);
void nic_tawk_ipc_close(nic_ipc_handle_s *ipc);
void nic_fwctl_ipc_close(nic_ipc_handle_s *ipc);
int nic_tawk_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                         size_t req_len, size_t rsp_cap, uint32_t *status);
int nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op, void *buf,
                          size_t req_len, size_t rsp_cap, uint32_t *status);
// Separate request and response buffers; scope 0 for the configuration
// keys, 1 otherwise.
int nic_fwctl_ipc_req_rsp(nic_ipc_handle_s *ipc, uint32_t ep, uint32_t op,
                          const void *req, size_t req_len, void *rsp, size_t rsp_cap,
                          uint32_t *status);

// fwctl scope of an (ep, op) pair.
uint32_t nic_fwctl_rpc_scope(uint32_t ep, uint32_t op);

// Owns an open channel and closes it when it goes out of scope.
class nic_ipc_channel {
public:
    nic_ipc_channel() = default;
    ~nic_ipc_channel() { nic_ipc_close(&h_); }
    nic_ipc_channel(const nic_ipc_channel &) = delete;
    nic_ipc_channel &operator=(const nic_ipc_channel &) = delete;

    int open(const char *card_bdf) { nic_ipc_close(&h_); return nic_ipc_open(&h_, card_bdf); }
    nic_ipc_handle_s *get() { return &h_; }

private:
    nic_ipc_handle_s h_{};
};
