// Whole-daemon helpers for the metrics endpoint: a free local port, the
// configuration key that enables the endpoint, and one sample of a scrape.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

// A TCP port on 127.0.0.1 that nothing listens on at the time of the call.
inline int free_local_port() {
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    ::getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(sock);
    return ntohs(addr.sin_port);
}

// A row of the kernel's TCP tables (IPv4 and IPv6): addresses as
// "HEXADDR:HEXPORT", state "0A" listening or "01" established, and the bytes
// held unsent or unacknowledged.
struct tcp_row_s {
    std::string local, remote, state, inode;
    size_t unsent = 0;
};

inline std::vector<tcp_row_s> tcp_rows() {
    std::vector<tcp_row_s> rows;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line, sl, queues, skip;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            tcp_row_s &row = rows.emplace_back();
            fields >> sl >> row.local >> row.remote >> row.state >> queues >> skip >> skip >> skip >> skip >> row.inode;
            row.unsent = std::stoull(queues.substr(0, queues.find(':')), nullptr, 16);
        }
    }
    return rows;
}

// Number of the descriptors of process `pid` that are TCP sockets whose row
// `wanted` accepts.
template <typename Wanted>
size_t tcp_sockets_of(pid_t pid, Wanted wanted) {
    std::set<std::string> inodes;
    for (const tcp_row_s &row : tcp_rows()) {
        if (wanted(row)) {
            inodes.insert(row.inode);
        }
    }
    size_t count = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0 && inodes.count(target.substr(8, target.size() - 9)) != 0) {
            ++count;
        }
    }
    return count;
}

// Number of the process's descriptors that are listening TCP sockets.
inline size_t listening_sockets_of(pid_t pid) {
    return tcp_sockets_of(pid, [](const tcp_row_s &row) { return row.state == "0A"; });
}

inline std::string prometheus_key(const std::string &listen) {
    return "    \"prometheus\": { \"listen\": \"" + listen + "\" },\n";
}

// The value of the first sample of `metric` whose line contains `label_part`.
inline std::optional<std::string> sample_value(const std::string &scrape, const std::string &metric,
                                               const std::string &label_part = "") {
    std::istringstream in(scrape);
    std::string line;
    while (std::getline(in, line)) {
        if ((line.rfind(metric + "{", 0) == 0 || line.rfind(metric + " ", 0) == 0) &&
            line.find(label_part) != std::string::npos) {
            return line.substr(line.rfind(' ') + 1);
        }
    }
    return std::nullopt;
}

}  // namespace e2e
