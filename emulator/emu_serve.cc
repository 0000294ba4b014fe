// Serving the device nodes and the control socket.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "emulator/emu_impl.hpp"
#include "emulator/emu_files.hpp"
#include "emulator/emu_socket.hpp"
#include "emulator/emu_text.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

namespace talon_emu {

using ipc_wire::get_le;
using ipc_wire::put_le;

void emulator::impl::open_card_sockets(card_s &c)
{
    if (has_tawk()) {
        c.tawk_listen = listen_seqpacket(dev_dir() / tawk_node(c));
        if (c.index == 0) {
            c.tawk_alias_listen = listen_seqpacket(dev_dir() / "tawkipcdev");
        }
    }
    if (has_fwctl()) {
        c.fwctl_listen = listen_seqpacket(dev_dir() / "fwctl" / fwctl_node(c));
    }
}

void emulator::impl::close_card_sockets(card_s &c)
{
    std::error_code ec;
    if (c.tawk_listen.get() >= 0) {
        fs::remove(dev_dir() / tawk_node(c), ec);
    }
    if (c.tawk_alias_listen.get() >= 0) {
        fs::remove(dev_dir() / "tawkipcdev", ec);
    }
    if (c.fwctl_listen.get() >= 0) {
        fs::remove(dev_dir() / "fwctl" / fwctl_node(c), ec);
    }
    c.tawk_listen.reset();
    c.tawk_alias_listen.reset();
    c.fwctl_listen.reset();
    std::erase_if(conns, [&](const conn_s &k) { return k.kind != conn_kind_e::ctl && k.card == c.index; });
}

bool emulator::impl::serve_tawk(conn_s &k)
{
    std::vector<uint8_t> in(IPC_CMD_MAX_MSG + 64);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size(), MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    const size_t got = static_cast<size_t>(n);
    std::vector<uint8_t> out(IPC_CMD_HDRS_SIZE, 0);
    uint64_t hdr = got >= 8 ? get_le<uint64_t>(in.data()) : 0;
    uint32_t transport = k_transport_einval;
    std::vector<uint8_t> payload;
    uint8_t tag = 0;
    if (got >= IPC_CMD_HDRS_SIZE && ipc_drv_hdr_get_type(hdr) == IPC_DRV_HDR_TYPE_REQ &&
        get_le<uint32_t>(&in[IPC_CMD_MAGIC_OFFSET]) == IPC_CMD_MAGIC && in[IPC_CMD_VERSION_OFFSET] == IPC_CMD_VERSION) {
        tag = ipc_drv_hdr_get_tag(hdr);
        const size_t pld = ipc_drv_hdr_get_pld_len(hdr);
        const size_t req_len = pld >= IPC_CMD_MSG_HDR_SIZE ? std::min(pld - IPC_CMD_MSG_HDR_SIZE, got - IPC_CMD_HDRS_SIZE) : 0;
        const uint32_t op = (static_cast<uint32_t>(in[IPC_CMD_OP_HI_OFFSET]) << 16) |
                            get_le<uint16_t>(&in[IPC_CMD_OP_LO_OFFSET]);
        std::lock_guard lk(mtx);
        firmware(cards[k.card], ipc_drv_hdr_get_req_endpoint(hdr), op, &in[IPC_CMD_PAYLOAD_OFFSET], req_len,
                 &transport, &payload);
    }
    if (got >= IPC_CMD_HDRS_SIZE) {
        std::memcpy(&out[IPC_CMD_MAGIC_OFFSET], &in[IPC_CMD_MAGIC_OFFSET], IPC_CMD_MSG_HDR_SIZE);
    }
    if (payload.size() > IPC_CMD_MAX_PAYLOAD) {
        payload.resize(IPC_CMD_MAX_PAYLOAD);
    }
    uint64_t rh = 0;
    ipc_drv_hdr_set_type(&rh, IPC_DRV_HDR_TYPE_RSP);
    ipc_drv_hdr_set_tag(&rh, tag);
    ipc_drv_hdr_set_pld_len(&rh, static_cast<uint16_t>(payload.size() + IPC_CMD_MSG_HDR_SIZE));
    ipc_drv_hdr_set_rsp_errno(&rh, transport);
    put_le<uint64_t>(out.data(), rh);
    out.insert(out.end(), payload.begin(), payload.end());
    return ::send(k.fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

bool emulator::impl::serve_fwctl(conn_s &k)
{
    std::vector<uint8_t> in(FWCTL_SOCK_REQ_HDR_SIZE + FWCTL_SOCK_MAX_PAYLOAD);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size(), MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    const size_t got = static_cast<size_t>(n);
    uint32_t retval = k_transport_einval;
    std::vector<uint8_t> payload;
    if (got >= FWCTL_SOCK_REQ_HDR_SIZE) {
        const uint32_t op = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_OP_OFFSET]);
        const uint32_t ep = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_EP_OFFSET]);
        const size_t in_len = std::min<size_t>(get_le<uint32_t>(&in[FWCTL_SOCK_REQ_IN_LEN_OFFSET]),
                                               got - FWCTL_SOCK_REQ_HDR_SIZE);
        const size_t cap = get_le<uint32_t>(&in[FWCTL_SOCK_REQ_OUT_CAP_OFFSET]);
        {
            std::lock_guard lk(mtx);
            firmware(cards[k.card], ep, op, &in[FWCTL_SOCK_REQ_HDR_SIZE], in_len, &retval, &payload);
        }
        // The driver copies at most the capacity it was given.
        if (payload.size() > cap) {
            payload.resize(cap);
        }
    }
    std::vector<uint8_t> out(FWCTL_SOCK_RSP_HDR_SIZE);
    put_le<uint32_t>(&out[FWCTL_SOCK_RSP_RETVAL_OFFSET], retval);
    put_le<uint32_t>(&out[FWCTL_SOCK_RSP_LEN_OFFSET], static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return ::send(k.fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

bool emulator::impl::serve_ctl(conn_s &k)
{
    std::vector<char> in(4096);
    ssize_t n = ::recv(k.fd.get(), in.data(), in.size() - 1, MSG_DONTWAIT);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    // The command may change the connection list; keep the descriptor only.
    const int fd = k.fd.get();
    bool ok = false;
    std::string answer = command(std::string(in.data(), static_cast<size_t>(n)), &ok);
    std::string out = (ok ? "0" : "1") + answer;
    ::send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return false;  // one command per connection
}

void emulator::impl::io_loop()
{
    for (;;) {
        std::vector<pollfd> pfds;
        enum class src_e { wake, ctl, tawk, alias, fwctl, conn };
        std::vector<std::pair<src_e, size_t>> srcs;
        pfds.push_back({wake.get(), POLLIN, 0});
        srcs.emplace_back(src_e::wake, 0);
        pfds.push_back({ctl_listen.get(), POLLIN, 0});
        srcs.emplace_back(src_e::ctl, 0);
        for (size_t i = 0; i < cards.size(); ++i) {
            const card_s &c = cards[i];
            if (c.tawk_listen.get() >= 0) {
                pfds.push_back({c.tawk_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::tawk, i);
            }
            if (c.tawk_alias_listen.get() >= 0) {
                pfds.push_back({c.tawk_alias_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::alias, i);
            }
            if (c.fwctl_listen.get() >= 0) {
                pfds.push_back({c.fwctl_listen.get(), POLLIN, 0});
                srcs.emplace_back(src_e::fwctl, i);
            }
        }
        for (size_t i = 0; i < conns.size(); ++i) {
            pfds.push_back({conns[i].fd.get(), POLLIN, 0});
            srcs.emplace_back(src_e::conn, i);
        }
        if (::poll(pfds.data(), pfds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[0].revents) {
            return;
        }
        // Handle one ready source per pass: a control command may change the
        // set of sockets polled.
        for (size_t i = 1; i < pfds.size(); ++i) {
            if (!pfds[i].revents) {
                continue;
            }
            auto [src, idx] = srcs[i];
            if (src == src_e::conn) {
                conn_s &k = conns[idx];
                bool keep = k.kind == conn_kind_e::tawk    ? serve_tawk(k)
                            : k.kind == conn_kind_e::fwctl ? serve_fwctl(k)
                                                           : serve_ctl(k);
                if (!keep) {
                    const int fd = pfds[i].fd;
                    std::erase_if(conns, [fd](const conn_s &c) { return c.fd.get() == fd; });
                }
                break;
            }
            int fd = ::accept4(pfds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                conn_kind_e kind = src == src_e::ctl     ? conn_kind_e::ctl
                                   : src == src_e::fwctl ? conn_kind_e::fwctl
                                                         : conn_kind_e::tawk;
                conns.push_back({unique_fd(fd), kind, static_cast<unsigned>(idx)});
            }
            break;
        }
    }
}

void emulator::impl::remove_sockets()
{
    std::error_code ec;
    conns.clear();
    for (card_s &c : cards) {
        close_card_sockets(c);
    }
    ctl_listen.reset();
    fs::remove(root / k_ctl_socket, ec);
    fs::remove(root / "ready", ec);
}

}  // namespace talon_emu
