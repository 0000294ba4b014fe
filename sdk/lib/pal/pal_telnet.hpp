// Telnet backend: register and memory access as commands on the card's
// text console over TCP.
#pragma once

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "sdk/lib/pal/pal_types.hpp"
#include "utils/sys/unique_fd.hpp"

namespace sdk::lib {

struct pal_telnet_session_s {
    utils::unique_fd sock;
    char host[64] = {};
    uint16_t port = 0;
    bool connected = false;     // guarded by mutex
    std::string prompt;
    time_t last_activity = 0;   // guarded by mutex
    std::thread keepalive;
    std::atomic<bool> running{false};
    std::mutex mutex;           // serialises commands
    std::condition_variable_any stop_cv;
};

// Opens a session to the console; null after logging why not.
pal_telnet_session_s* pal_telnet_connect(const char* host, int port);
bool pal_telnet_is_connected(pal_telnet_session_s* session);

// Sends `cmd` and collects the reply until the prompt shows or `wait_ms`
// runs out. Returns the number of reply bytes, or -1 when the session is
// lost or the command does not fit its buffer.
int pal_telnet_exchange(pal_telnet_session_s* session, const char* cmd, char* reply,
                        size_t reply_size, int wait_ms);

// Keep-alive timing: the thread wakes every `period` and sends an empty
// command once the session has been idle longer than `idle`. For tools and
// tests; the defaults are 10 s and 9 s.
void pal_telnet_set_keepalive(std::chrono::milliseconds period, std::chrono::milliseconds idle);

}  // namespace sdk::lib
