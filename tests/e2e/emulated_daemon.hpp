// Whole-daemon test helpers: talon-emu serving cards in a temporary
// directory, and the daemon's environment pointed at it.
#pragma once

#include "tests/e2e/daemon_fixture.hpp"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

class emulator_process {
public:
    emulator_process(const daemon_env &env, unsigned cards, unsigned ports = 2, unsigned lifs = 2);
    ~emulator_process();

    void ctl(const std::string &command) const;
    // Signals the emulator itself (SIGSTOP hangs every card it serves).
    void signal(int signo) const;
    std::vector<std::string> env() const;  // the daemon's environment
    // Card `index` of cards.json.
    const boost::property_tree::ptree &card(unsigned index) const;
    std::string bdf(unsigned index) const { return card(index).get<std::string>("bdf"); }

private:
    std::string root_;
    std::unique_ptr<test_support::child_process> process_;
    boost::property_tree::ptree cards_;
    const daemon_env &env_;
};

size_t count_containing(const std::vector<std::string> &lines, const std::string &text);

// `text` with every `from` replaced by `to`.
std::string replace_all(std::string text, const std::string &from, const std::string &to);

// A datagram socket standing in for the service manager's NOTIFY_SOCKET;
// keeps every message it receives.
class notify_socket {
public:
    explicit notify_socket(const std::string &path)
        : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (fd_ < 0 || path.size() >= sizeof(addr.sun_path) ||
            ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            throw std::runtime_error("cannot bind a notification socket at " + path);
        }
    }
    ~notify_socket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    notify_socket(const notify_socket &) = delete;
    notify_socket &operator=(const notify_socket &) = delete;

    std::string env() const { return "NOTIFY_SOCKET=" + path_; }

    // Every message so far, one per datagram (newline-separated
    // assignments kept as sent).
    const std::vector<std::string> &messages() {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT)) >= 0) {
            messages_.emplace_back(buf, static_cast<size_t>(n));
        }
        return messages_;
    }
    size_t count(const std::string &message) {
        return static_cast<size_t>(std::ranges::count(messages(), message));
    }
    bool received(const std::string &message, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return test_support::wait_until([&] { return count(message) > 0; }, limit);
    }
    std::string all() { return testing::PrintToString(messages()); }

private:
    std::string path_;
    int fd_;
    std::vector<std::string> messages_;
};

// A whole-daemon test: the test starts the emulator and the daemon it
// needs; the fixture stops them, daemon first.
class daemon_test : public testing::Test {
protected:
    void start_emulator(unsigned cards, unsigned ports = 2, unsigned lifs = 2) {
        emu_ = std::make_unique<emulator_process>(env_, cards, ports, lifs);
    }
    // Starts the daemon with these filter (and top-level) members, against
    // the emulator once there is one, and waits for its start line.
    void start_daemon(const std::string &filter = k_minimal_counters, const std::string &extra_top_level = "",
                      const std::vector<std::string> &extra_env = {});
    // `signo` ends the daemon within `limit` with status 0 and its exit line.
    test_support::process_result stop_daemon(std::chrono::milliseconds limit = std::chrono::seconds(5),
                                             int signo = SIGTERM);

    // Path of a card's telemetry file.
    std::string telemetry(unsigned card, const std::string &type) const {
        return env_.telemetry_dir() + "/card_" + emu_->bdf(card) + "_" + type + ".log";
    }
    size_t lines_of(unsigned card, const std::string &type) const {
        return test_support::read_lines(telemetry(card, type)).size();
    }
    // The card's file gains more than `more` lines within 5 s.
    bool grows(unsigned card, const std::string &type, size_t more = 4) const;
    bool trace_has(const std::string &text) const {
        return test_support::read_file(env_.trace_file()).find(text) != std::string::npos;
    }
    // The trace log says writing to `file` resumed after lines were lost.
    bool resumed_after_loss(const std::string &file) const;

    daemon_env env_;
    std::unique_ptr<emulator_process> emu_;
    std::unique_ptr<test_support::child_process> daemon_;
};

}  // namespace e2e
