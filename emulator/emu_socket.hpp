// The emulator's sockets: device nodes and its control socket.
#pragma once

#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>

#include "utils/sys/unique_fd.hpp"

namespace talon_emu {

// The address of a Unix socket at p; throws when p does not fit.
sockaddr_un socket_address(const std::filesystem::path &p);
// A non-blocking SOCK_SEQPACKET socket listening at p (replacing what is there).
utils::unique_fd listen_seqpacket(const std::filesystem::path &p);

}  // namespace talon_emu
