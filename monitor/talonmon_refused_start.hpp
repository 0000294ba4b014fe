// A start-up the daemon refuses while the service manager has handed it the
// metrics endpoint's listening socket. The connection that made the manager
// start the daemon is still waiting: left unanswered it starts the daemon
// again at once, over and over, until the manager gives up on the socket.
// Answering it (and the next ones, for a while) with an HTTP error that
// names the refusal tells the scraper why and spaces the starts out.
#pragma once

#include "utils/sys/unique_fd.hpp"

#include <chrono>
#include <string>

// How long a refused start that a connection caused keeps answering before
// it exits: at most one start per hold, far below the unit's start limit.
inline constexpr std::chrono::seconds k_refused_start_hold{30};

// Copies what the start-up writes to standard error (fd 2) while it lives,
// so that the refusal's own words can be sent to scrapers; everything still
// reaches the real standard error.
class talonmon_stderr_capture {
public:
    talonmon_stderr_capture();
    ~talonmon_stderr_capture();
    talonmon_stderr_capture(const talonmon_stderr_capture &) = delete;
    talonmon_stderr_capture &operator=(const talonmon_stderr_capture &) = delete;

    // Puts the real standard error back, writes what was captured to it and
    // returns that text (empty when nothing could be captured).
    std::string finish();

private:
    utils::unique_fd saved_stderr_;
    utils::unique_fd capture_;
    bool finished_ = false;
};

// When a connection waits on listening socket `listen_fd`, answers it and
// every later one with "503 Service Unavailable" and `message` until `hold`
// has passed or a termination signal arrives; returns at once when none
// waits (an operator's start, which must fail at once).
void talonmon_answer_refused_start(int listen_fd, const std::string &message,
                                   std::chrono::milliseconds hold = k_refused_start_hold);
