// Opening and closing card device nodes.
//
// Device nodes live under utils::dev_root(). A node is normally a
// character device; a node that is a Unix socket is connected as
// SOCK_SEQPACKET instead, which keeps the one-message-per-read/write
// behaviour of the character device.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

// Default tawk device: utils::dev_root() + "/tawkipcdev".
std::string ipc_drv_default_dev_path();

// Opens path read-write (null: the default tawk device). Returns the
// descriptor, or a negative value with errno set.
int ipc_drv_open2(const char *path);
int ipc_drv_open();
void ipc_drv_close(int fd);

inline constexpr unsigned long IPC_DRV_IOCTL_BIND = 0x40084208;
inline constexpr unsigned long IPC_DRV_IOCTL_UNBIND = 0x40084209;
int ipc_drv_bind(int fd, uint32_t value);
int ipc_drv_unbind(int fd, uint32_t value);

// Writes one message. On a socket the write never raises SIGPIPE: a peer
// that went away fails the call with EPIPE instead.
ssize_t ipc_drv_write(int fd, const void *buf, size_t len);

// Longest wait for a card's response. A card whose firmware stops answering
// must not hold its caller for ever: the exchange then fails with ETIMEDOUT.
inline constexpr int IPC_DRV_RSP_TIMEOUT_MS = 2000;

// Waits until fd has a response to read: 0, or -1 with errno (ETIMEDOUT
// after IPC_DRV_RSP_TIMEOUT_MS).
int ipc_drv_wait_response(int fd);

// True when fd refers to a socket (an emulated device node).
bool ipc_drv_fd_is_socket(int fd);
