// The HTTP endpoint that serves the registry to Prometheus: GET /metrics,
// 404 for anything else.
#pragma once

#include "monitor/metrics/talonmon_listen_address.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

class talonmon_metrics_server {
public:
    explicit talonmon_metrics_server(const talonmon_metrics_registry &registry);
    // Stops serving and joins the endpoint's threads.
    ~talonmon_metrics_server();
    talonmon_metrics_server(const talonmon_metrics_server &) = delete;
    talonmon_metrics_server &operator=(const talonmon_metrics_server &) = delete;

    // Binds `address` and starts serving on threads of its own: 0, or 255
    // with the reason in `error`.
    int start(const talonmon_listen_address_s &address, std::string &error);
    // Serves on `listen_fd`, a socket already bound and listening (handed
    // over by the service manager); takes ownership of it: 0, or 255 with
    // the reason in `error`.
    int start_on_socket(int listen_fd, std::string &error);

private:
    // Sets up the server's limits and its one route.
    void configure_();
    // Runs the listener thread and waits for it to serve: 0 or 255.
    int run_(std::string &error);

    class inherited_socket_server;

    const talonmon_metrics_registry &registry_;
    std::unique_ptr<httplib::Server> server_;
    // The server of start_on_socket (owned by server_), or null.
    inherited_socket_server *inherited_ = nullptr;
    std::thread listener_;
};
