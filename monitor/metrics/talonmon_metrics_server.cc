#include "monitor/metrics/talonmon_metrics_server.hpp"

#include "monitor/metrics/talonmon_metrics_render.hpp"
#include "monitor/metrics/talonmon_process_metrics.hpp"

#include <httplib.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

// Connections served at once; each holds one thread for at most the time-outs.
constexpr size_t k_max_connections = 4;
// Accepted connections waiting for a thread; while this is full the endpoint
// stops accepting and further clients wait in the kernel's backlog.
constexpr size_t k_max_waiting_connections = 4;
constexpr auto k_read_timeout = std::chrono::seconds(2);
constexpr auto k_write_timeout = std::chrono::seconds(2);
// A GET carries no body worth reading.
constexpr size_t k_max_request_body = 4096;
// One request per connection: an idle kept-alive connection would hold a thread.
constexpr size_t k_requests_per_connection = 1;

constexpr auto k_start_wait = std::chrono::seconds(2);
constexpr auto k_start_poll = std::chrono::milliseconds(1);

constexpr const char *k_metrics_path = "/metrics";
constexpr const char *k_version = TALONMON_VERSION;

// A fixed set of threads with a bounded queue of connections.
class bounded_task_queue : public httplib::TaskQueue {
public:
    // With fewer threads than asked for (thread limits) it serves with those.
    explicit bounded_task_queue(size_t threads) {
        try {
            for (size_t i = 0; i < threads; ++i) {
                threads_.emplace_back([this] { run_(); });
            }
        } catch (const std::system_error &) {
        }
    }
    ~bounded_task_queue() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [this] { return jobs_.size() < k_max_waiting_connections; });
        jobs_.push_back(std::move(fn));
        work_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (shutdown_) {
                return;
            }
            shutdown_ = true;
        }
        work_.notify_all();
        for (auto &thread : threads_) {
            thread.join();
        }
    }

private:
    void run_() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                space_.notify_one();
            }
            fn();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

// The library's default also sets SO_REUSEPORT, which would let a second
// process bind the same port unnoticed. The daemon starts helper programs
// while it runs: they must not inherit the listening socket.
void set_listen_socket_options(socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    ::fcntl(sock, F_SETFD, FD_CLOEXEC);
}

// How often a server on an inherited socket looks whether it is stopping.
constexpr auto k_inherited_stop_poll = std::chrono::milliseconds(50);

}  // namespace

// A server on a socket bound and listening already, which the service
// manager keeps listening on for the daemon's next start: the library keeps
// its listening socket in a member open to subclasses and serves whatever
// socket that holds. Its own stop shuts the socket down, which would end
// the service manager's socket unit too; this one only stops accepting
// (the accept loop polls, so it sees the stop) and closes its descriptor.
class talonmon_metrics_server::inherited_socket_server : public httplib::Server {
public:
    explicit inherited_socket_server(int listen_fd) : fd_(listen_fd) {
        ::fcntl(listen_fd, F_SETFD, FD_CLOEXEC);
        svr_sock_ = listen_fd;
        set_idle_interval(k_inherited_stop_poll);
    }
    ~inherited_socket_server() override { ::close(fd_); }
    inherited_socket_server(const inherited_socket_server &) = delete;
    inherited_socket_server &operator=(const inherited_socket_server &) = delete;

    void stop_accepting() { svr_sock_ = INVALID_SOCKET; }

private:
    int fd_;
};

talonmon_metrics_server::talonmon_metrics_server(const talonmon_metrics_registry &registry) : registry_(registry) {}

talonmon_metrics_server::~talonmon_metrics_server() {
    if (inherited_ != nullptr) {
        inherited_->stop_accepting();
    } else if (server_) {
        server_->stop();
    }
    if (listener_.joinable()) {
        listener_.join();
    }
}

void talonmon_metrics_server::configure_() {
    // A client that goes away mid-response must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // The library takes ownership of the queue it is handed and deletes it.
    server_->new_task_queue = [] { return new bounded_task_queue(k_max_connections); };
    server_->set_socket_options(&set_listen_socket_options);
    server_->set_read_timeout(k_read_timeout);
    server_->set_write_timeout(k_write_timeout);
    server_->set_keep_alive_max_count(k_requests_per_connection);
    server_->set_payload_max_length(k_max_request_body);
    server_->Get(k_metrics_path, [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(talonmon_metrics_render(registry_, talonmon_process_metrics_sample(), k_version),
                        k_metrics_content_type);
    });
}

int talonmon_metrics_server::start(const talonmon_listen_address_s &address, std::string &error) {
    server_ = std::make_unique<httplib::Server>();
    configure_();
    errno = 0;
    if (!server_->bind_to_port(address.host, address.port)) {
        const int err = errno;
        error = err != 0 ? std::strerror(err) : "the address cannot be bound";
        server_.reset();
        return 255;
    }
    return run_(error);
}

int talonmon_metrics_server::start_on_socket(int listen_fd, std::string &error) {
    auto server = std::make_unique<inherited_socket_server>(listen_fd);
    inherited_ = server.get();
    server_ = std::move(server);
    configure_();
    return run_(error);
}

int talonmon_metrics_server::run_(std::string &error) {
    try {
        listener_ = std::thread([this] { server_->listen_after_bind(); });
    } catch (const std::system_error &e) {
        error = e.what();
        inherited_ = nullptr;
        server_.reset();
        return 255;
    }
    // A stop is only seen by a server that runs: wait for it to run.
    const auto deadline = std::chrono::steady_clock::now() + k_start_wait;
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(k_start_poll);
    }
    return 0;
}
