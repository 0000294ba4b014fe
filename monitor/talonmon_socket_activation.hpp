// The metrics endpoint's listening socket as the service manager hands it
// over (socket activation: LISTEN_FDS, LISTEN_PID).
#pragma once

#include "utils/sys/unique_fd.hpp"

#include <string>

// Takes the socket passed to this process, if any, into `socket` (left
// empty when none was passed) and clears the variables that passed it, so
// children do not see them: 0, or 255 with the reason in `error` when more
// than one descriptor or one that is not a listening stream socket was
// passed.
int talonmon_take_listen_socket(utils::unique_fd &socket, std::string &error);

// The local address of socket `fd` as "IPV4:PORT" or "[IPV6]:PORT", or
// "an unknown address".
std::string talonmon_socket_address_text(int fd);
