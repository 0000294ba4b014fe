#include "monitor/metrics/talonmon_metrics_server.hpp"
#include "monitor/metrics/talonmon_version.hpp"

#include "monitor/metrics/talonmon_metrics_render.hpp"
#include "monitor/metrics/talonmon_process_metrics.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>

namespace {

// A connection's request line and headers, the library's read buffer and
// the response's header lines all come from one pool of this size; a request
// that does not fit is refused as it arrives, not once a line ends. A scrape
// request is a few hundred bytes.
constexpr size_t k_connection_memory = 16 * 1024;
// Connections served at once, overall and from one client address. A
// further connection is closed as soon as it is accepted, unless one that
// holds a place gives way to it.
constexpr unsigned k_max_connections = 32;
constexpr unsigned k_max_connections_per_address = 8;
// The library's own cap leaves room for connections ended here that it has
// not closed yet; the caps above are kept when connections are accepted.
constexpr unsigned k_library_connection_limit = 2 * k_max_connections;
// Connections the kernel holds accepted-but-unserved for the loop: enough
// to absorb a burst of connects while the loop takes them (a dropped
// handshake is retried only a second later), few enough to stay small.
constexpr int k_listen_backlog = 64;
// A connection that sends or takes nothing for this long is closed.
constexpr unsigned k_idle_timeout_seconds = 2;
// Every connection is closed this long after its accept, however its bytes
// trickle: the request and the response must both fit in it.
constexpr auto k_connection_deadline = std::chrono::seconds(3);
// A connection whose request came this long ago, and whose client leaves
// the answer in a full send buffer, is stuck on a client that does not read:
// it gives way to a newcomer when no connection is still without a request.
// A client that reads empties the buffer as fast as it fills; one that does
// not is found soon, so a flood of them ties places up only briefly.
constexpr auto k_stuck_after = std::chrono::milliseconds(100);
// Each connection's send buffer, as asked of the kernel (which doubles it for
// its own bookkeeping). An answer larger than this stays in the daemon's
// hands until the client reads it, so the connection's deadline applies to
// the send and a client that never reads costs the kernel no more than this.
constexpr int k_send_buffer_bytes = 64 * 1024;
// Connections closed by the library with an unsent tail held at once; past
// this the oldest is reset.
constexpr size_t k_max_lingering = k_max_connections;
// The loop looks at the deadlines at least this often.
constexpr auto k_max_wait = std::chrono::milliseconds(250);

constexpr const char *k_metrics_path = "/metrics";
constexpr const char *k_allowed_methods = "GET, HEAD";
const char *const k_version = k_talonmon_version;

// The request's path as the client sent it (before any percent-decoding, the
// query left off) is /metrics: "/%6detrics" or "/metrics%00" are other paths.
bool is_metrics_path(std::string_view raw_uri) {
    return raw_uri.substr(0, raw_uri.find('?')) == k_metrics_path;
}
// The library hands the path over as a C string, so a NUL byte sent inside
// it ("/metrics\0x") would end it early. In the library's request buffer the
// path is followed by its terminator and then the HTTP version: a version
// that starts further on (within the buffer) means the path went on past a
// NUL. A version kept anywhere else tells nothing, and is let through.
// `uri_end` is the terminator of the URI as the library first handed it over
// (it cuts the query off later).
bool path_ends_before_version(const char *uri_end, const char *version) {
    const auto path_end = reinterpret_cast<std::uintptr_t>(uri_end) + 1;
    const auto at = reinterpret_cast<std::uintptr_t>(version);
    return at <= path_end || at - path_end > k_connection_memory;
}

bool is_get_or_head(const char *method) {
    return std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
}

// A response's body and the pool it goes back to.
struct pooled_body_s {
    talonmon_body_pool *pool;
    std::unique_ptr<std::string> text;
};

// Takes back the body metrics_response handed to the library.
void free_body(void *cls) {
    std::unique_ptr<pooled_body_s> body(static_cast<pooled_body_s *>(cls));
    body->pool->give_back(std::move(body->text));
}

// Every response says the connection ends with it; the library closes it
// once the response is sent.
bool close_after(MHD_Response *response) {
    return response != nullptr &&
           MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close") == MHD_YES &&
           MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END) == MHD_YES;
}

MHD_Response *empty_response() {
    MHD_Response *response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response != nullptr && !close_after(response)) {
        MHD_destroy_response(response);
        return nullptr;
    }
    return response;
}

// The exposition as a response; the body's memory goes to the library,
// which frees it with the response.
MHD_Response *metrics_response(const talonmon_metrics_registry &registry, talonmon_body_pool &pool) {
    auto body = std::make_unique<pooled_body_s>(pooled_body_s{&pool, pool.take()});
    talonmon_metrics_render_to(*body->text, registry, talonmon_process_metrics_sample(), k_version);
    MHD_Response *response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->text->size(), body->text->data(), &free_body, body.get());
    if (response == nullptr) {
        return nullptr;
    }
    body.release();
    if (!close_after(response) ||
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, k_metrics_content_type) != MHD_YES) {
        MHD_destroy_response(response);
        return nullptr;
    }
    return response;
}

// The library is handed a socket that must not block its loop, and helper
// programs the daemon starts must not inherit it.
bool prepare_listening_socket(int fd, std::string &error) {
    int listening = 0;
    socklen_t len = sizeof(listening);
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (listening == 0) {
        error = "the socket does not listen";
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

// A listening TCP socket bound to `address`, or invalid with the reason.
utils::unique_fd bind_and_listen(const talonmon_listen_address_s &address, std::string &error) {
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (!talonmon_socket_address(address, storage, len)) {
        error = "not a numeric address";
        return {};
    }
    utils::unique_fd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        error = std::strerror(errno);
        return {};
    }
    // A restarted daemon binds again at once despite connections of the last
    // one in TIME_WAIT. No SO_REUSEPORT: a second process binding the same
    // port must fail, not share it.
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (storage.ss_family == AF_INET6) {
        // "[::]:P" means IPv6 only, as "0.0.0.0:P" means IPv4 only.
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes));
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&storage), len) != 0 ||
        ::listen(fd.get(), k_listen_backlog) != 0) {
        error = std::strerror(errno);
        return {};
    }
    return fd;
}

// Ends the connection on `fd` with a reset when it closes: whatever the
// kernel still holds for the client is dropped at once, not kept by an
// orphaned socket.
void reset_on_close(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
}

// Bytes looked at in a connection's socket for a whole request the library
// has not read yet; a scrape request is a few hundred bytes.
constexpr size_t k_peek_bytes = 2048;

// The client has sent a whole request (its blank line included) that still
// waits in the socket: a connection accepted in the same turn of the loop as
// a burst of others has not been read yet, and must not count as idle.
bool request_waiting(int fd) {
    std::array<char, k_peek_bytes> bytes;
    const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) {
        return false;
    }
    const std::string_view text(bytes.data(), static_cast<size_t>(n));
    return text.find("\r\n\r\n") != std::string_view::npos || text.find("\n\n") != std::string_view::npos;
}

// Bytes of the answer the client has not acknowledged yet.
int unsent_bytes(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

}  // namespace

struct talonmon_metrics_server::callbacks {
    static peer_s peer_of(const sockaddr *addr) {
        peer_s peer;
        if (addr == nullptr) {
            return peer;
        }
        peer.family = addr->sa_family;
        if (addr->sa_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
            std::memcpy(peer.address.data(), &in->sin_addr, sizeof(in->sin_addr));
        } else if (addr->sa_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
            std::memcpy(peer.address.data(), &in6->sin6_addr, sizeof(in6->sin6_addr));
        }
        return peer;
    }

    static enum MHD_Result accept_policy(void *cls, const sockaddr *addr, socklen_t) {
        return static_cast<talonmon_metrics_server *>(cls)->make_room_for_(peer_of(addr)) ? MHD_YES : MHD_NO;
    }

    // Hands the request handler the end of the URI when its path is /metrics.
    static void *raw_uri(void *, const char *uri, MHD_Connection *) {
        return is_metrics_path(uri) ? const_cast<char *>(uri + std::strlen(uri)) : nullptr;
    }

    static void connection(void *cls, MHD_Connection *connection, void **, enum MHD_ConnectionNotificationCode code) {
        auto *server = static_cast<talonmon_metrics_server *>(cls);
        auto &connections = server->connections_;
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            if (auto it = connections.find(connection); it != connections.end()) {
                server->linger_(it->second);
                connections.erase(it);
            }
            return;
        }
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            return;
        }
        const int fd = info->connect_fd;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &k_send_buffer_bytes, sizeof(k_send_buffer_bytes));
        connection_s state;
        state.fd = fd;
        state.deadline = std::chrono::steady_clock::now() + k_connection_deadline;
        info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        state.peer = peer_of(info != nullptr ? info->client_addr : nullptr);
        try {
            connections[connection] = state;
        } catch (const std::bad_alloc &) {
            // Untracked, the connection still ends at its idle time-out.
        }
    }

    // Answers on the first call, before any body is read: the library then
    // sends the response and closes the connection.
    // `uri_end` is what raw_uri returned.
    static enum MHD_Result request(void *cls, MHD_Connection *connection, const char *, const char *method,
                                   const char *version, const char *, size_t *, void **uri_end) {
        auto *server = static_cast<talonmon_metrics_server *>(cls);
        if (auto it = server->connections_.find(connection); it != server->connections_.end()) {
            it->second.requested = true;
            it->second.requested_at = std::chrono::steady_clock::now();
        }
        const auto *end = static_cast<const char *>(*uri_end);
        if (end == nullptr || !path_ends_before_version(end, version)) {
            return MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, server->not_found_.get());
        }
        if (!is_get_or_head(method)) {
            return MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED, server->not_allowed_.get());
        }
        // Queuing takes a reference; the response goes once it is sent. For
        // HEAD the library sends the headers only. Without memory for the
        // exposition the connection is dropped.
        try {
            const response_ptr response(metrics_response(server->registry_, server->bodies_));
            return response ? MHD_queue_response(connection, MHD_HTTP_OK, response.get()) : MHD_NO;
        } catch (const std::bad_alloc &) {
            return MHD_NO;
        }
    }
};

void talonmon_metrics_server::daemon_deleter::operator()(MHD_Daemon *daemon) const { MHD_stop_daemon(daemon); }

void talonmon_metrics_server::response_deleter::operator()(MHD_Response *response) const {
    MHD_destroy_response(response);
}

talonmon_metrics_server::talonmon_metrics_server(const talonmon_metrics_registry &registry) : registry_(registry) {}

talonmon_metrics_server::~talonmon_metrics_server() {
    if (loop_.joinable()) {
        const uint64_t one = 1;
        // An eventfd write of 1 cannot block or fail short of overflow.
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof(one));
        loop_.join();
    }
    // Closes every connection and the listening socket, in this thread; what
    // clients have not taken yet is dropped, not left to the kernel.
    for (auto &[connection, state] : connections_) {
        reset_on_close(state.fd);
        state.shut = true;
    }
    daemon_.reset();
    for (auto &lingering : lingering_) {
        end_lingering_(lingering);
    }
    lingering_.clear();
}

int talonmon_metrics_server::start(const talonmon_listen_address_s &address, std::string &error) {
    utils::unique_fd fd = bind_and_listen(address, error);
    if (!fd) {
        return 255;
    }
    return start_on_socket(fd.release(), error);
}

int talonmon_metrics_server::start_on_socket(int listen_fd, std::string &error) {
    utils::unique_fd fd(listen_fd);
    if (daemon_) {
        error = "the endpoint already serves";
        return 255;
    }
    if (!prepare_listening_socket(fd.get(), error)) {
        return 255;
    }
    // A client that goes away mid-response must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    not_found_.reset(empty_response());
    not_allowed_.reset(empty_response());
    if (!not_found_ || !not_allowed_ ||
        MHD_add_response_header(not_allowed_.get(), MHD_HTTP_HEADER_ALLOW, k_allowed_methods) != MHD_YES) {
        error = "cannot create the responses";
        return 255;
    }
    connections_.reserve(k_max_connections);
    lingering_.reserve(k_max_lingering);
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        error = std::strerror(errno);
        return 255;
    }
    // The loop below runs the library: no thread of its own, epoll, no
    // log output. The library owns the listening socket once it runs.
    daemon_.reset(MHD_start_daemon(
        MHD_USE_EPOLL, 0, &callbacks::accept_policy, this, &callbacks::request, this,  //
        MHD_OPTION_LISTEN_SOCKET, fd.get(),                                             //
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, k_connection_memory,                        //
        MHD_OPTION_CONNECTION_LIMIT, k_library_connection_limit,                        //
        MHD_OPTION_CONNECTION_TIMEOUT, k_idle_timeout_seconds,                          //
        MHD_OPTION_URI_LOG_CALLBACK, &callbacks::raw_uri, nullptr,                      //
        MHD_OPTION_NOTIFY_CONNECTION, &callbacks::connection, this, MHD_OPTION_END));
    if (!daemon_) {
        error = "cannot start the HTTP server";
        return 255;
    }
    fd.release();
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD);
    if (info == nullptr || info->epoll_fd < 0) {
        error = "the HTTP server has no event descriptor";
        daemon_.reset();
        return 255;
    }
    epoll_fd_ = info->epoll_fd;
    try {
        loop_ = std::thread([this] { run_(); });
    } catch (const std::system_error &e) {
        error = e.what();
        daemon_.reset();
        return 255;
    }
    return 0;
}

// The library sees the connection end at its next run and closes it there;
// the descriptor stays the connection's until then.
// Reset rather than closed in order: what it had not taken is dropped.
void talonmon_metrics_server::shut_(connection_s &connection) {
    reset_on_close(connection.fd);
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.shut = true;
}

talonmon_metrics_server::connection_s *talonmon_metrics_server::give_way_(const peer_s *peer, size_t &held) {
    const auto now = std::chrono::steady_clock::now();
    held = 0;
    connection_s *waiting = nullptr;  // the oldest without a request
    connection_s *stuck = nullptr;    // the oldest stuck on its answer
    for (auto &[connection, state] : connections_) {
        if (state.shut || (peer != nullptr && !(state.peer == *peer))) {
            continue;
        }
        ++held;
        if (!state.requested) {
            if ((waiting == nullptr || state.deadline < waiting->deadline) && !request_waiting(state.fd)) {
                waiting = &state;
            }
        } else if (now - state.requested_at >= k_stuck_after && unsent_bytes(state.fd) >= k_send_buffer_bytes &&
                   (stuck == nullptr || state.requested_at < stuck->requested_at)) {
            stuck = &state;
        }
    }
    return waiting != nullptr ? waiting : stuck;
}

bool talonmon_metrics_server::make_room_for_(const peer_s &peer) {
    size_t held = 0;
    connection_s *victim = give_way_(&peer, held);
    if (held < k_max_connections_per_address) {
        victim = give_way_(nullptr, held);
        if (held < k_max_connections) {
            return true;
        }
    }
    if (victim == nullptr) {
        return false;
    }
    shut_(*victim);
    return true;
}

void talonmon_metrics_server::linger_(const connection_s &connection) {
    if (connection.shut || unsent_bytes(connection.fd) == 0) {
        return;
    }
    utils::unique_fd copy(::fcntl(connection.fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        reset_on_close(connection.fd);  // no descriptor to spare: dropped now
        return;
    }
    // The client still gets the end of its answer once it has read it.
    ::shutdown(copy.get(), SHUT_WR);
    if (lingering_.size() >= k_max_lingering) {
        end_lingering_(lingering_.front());
        lingering_.erase(lingering_.begin());
    }
    lingering_.push_back(lingering_s{std::move(copy), connection.deadline});
}

void talonmon_metrics_server::end_lingering_(lingering_s &lingering) {
    if (unsent_bytes(lingering.fd.get()) > 0) {
        reset_on_close(lingering.fd.get());
    }
    lingering.fd.reset();
}

std::chrono::milliseconds talonmon_metrics_server::sweep_(std::chrono::milliseconds cap) {
    const auto now = std::chrono::steady_clock::now();
    auto wait = cap;
    std::erase_if(lingering_, [&](lingering_s &lingering) {
        if (now < lingering.deadline) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(lingering.deadline - now));
            return false;
        }
        end_lingering_(lingering);
        return true;
    });
    for (auto &[connection, state] : connections_) {
        if (!state.shut && now >= state.deadline) {
            shut_(state);
        }
        if (state.shut) {
            continue;
        }
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(state.deadline - now));
    }
    return wait;
}

void talonmon_metrics_server::run_() {
    std::array<pollfd, 2> fds{pollfd{wake_.get(), POLLIN, 0}, pollfd{epoll_fd_, POLLIN, 0}};
    for (;;) {
        auto wait = sweep_(k_max_wait);
        MHD_UNSIGNED_LONG_LONG library_wait = 0;
        if (MHD_get_timeout(daemon_.get(), &library_wait) == MHD_YES &&
            library_wait < static_cast<MHD_UNSIGNED_LONG_LONG>(wait.count())) {
            wait = std::chrono::milliseconds(library_wait);
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        MHD_run(daemon_.get());
    }
}
