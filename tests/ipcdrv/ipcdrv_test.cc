#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"
#include "sdk/platform/ipcdrv/src/ipc_cmd.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

using ipc_wire::get_le;
using ipc_wire::put_le;
using bytes = std::vector<uint8_t>;

namespace {

// A device whose far end the test plays: responses are queued before the exchange, requests read after it.
class FakeDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        h_.dev.fd.reset(sv[0]);
        peer_ = sv[1];
    }
    void TearDown() override { ipc_cmd_dev_close(&h_.dev), ::close(peer_); }
    // A response for op with payload 1, 2, 3...
    static bytes response(uint32_t op, size_t payload_len, uint32_t err = 0)
    {
        bytes m(IPC_CMD_HDRS_SIZE + payload_len, 0);
        uint64_t hdr = 0;
        ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
        ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(payload_len + 8));
        ipc_drv_hdr_set_rsp_errno(&hdr, err);
        put_le<uint64_t>(m.data(), hdr);
        put_le<uint32_t>(&m[8], IPC_CMD_MAGIC);
        m[12] = 1;
        m[13] = static_cast<uint8_t>(op >> 16);
        put_le<uint16_t>(&m[14], static_cast<uint16_t>(op));
        std::iota(m.begin() + 16, m.end(), uint8_t{1});
        return m;
    }
    void queue(const bytes &m) { ASSERT_EQ(::send(peer_, m.data(), m.size(), 0), ssize_t(m.size())); }
    bytes received()
    {
        bytes b(4096);
        b.resize(static_cast<size_t>(std::max<ssize_t>(0, ::recv(peer_, b.data(), b.size(), MSG_DONTWAIT))));
        return b;
    }
    // One exchange of a request of 0x5A bytes; the response buffer starts as 0xEE.
    int exchange(uint32_t op, size_t req_len, size_t cap, uint32_t *status)
    {
        bytes req(req_len, 0x5A);
        rsp_.assign(cap, 0xEE);
        iovec rq{req.data(), req.size()}, rs{rsp_.data(), rsp_.size()};
        errno = 0;
        return ipc_cmd_send_req_v(&h_.dev, 0x13, op, &rq, 1, &rs, 1, status);
    }

    nic_ipc_handle_s h_{NIC_IPC_TRANSPORT_TAWK, {}};  // the channel, for the calls above the framing
    int peer_ = -1;
    bytes rsp_;
};

}  // namespace

TEST_F(FakeDevice, LargestRequestIsFramedOversizedOneRefusedSilentPeerTimesOutClosedOneIsEpipe)
{
    queue(response(0x12345, 6, 42));
    uint32_t status = 0;
    ASSERT_EQ(exchange(0x12345, IPC_CMD_MAX_PAYLOAD, 8, &status), 6);
    EXPECT_EQ(status, 42u);
    EXPECT_EQ(rsp_, (bytes{1, 2, 3, 4, 5, 6, 0xEE, 0xEE}));  // nothing beyond the payload is written
    bytes wire = received();
    ASSERT_EQ(wire.size(), 1040u);
    // A request to endpoint 0x13 with pld_len 1032 (any tag); then the magic, version 1 and the op.
    EXPECT_EQ(get_le<uint64_t>(wire.data()) & ~0xFF00ull, 0x0000001304080002ull);
    EXPECT_TRUE(std::equal(wire.begin() + 8, wire.begin() + 16, response(0x12345, 0).begin() + 8));
    EXPECT_EQ(wire[1039], 0x5A);

    EXPECT_EQ(exchange(0x10001, IPC_CMD_MAX_PAYLOAD + 1, 16, &status), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_TRUE(received().empty());
    // A peer that takes the request and never answers fails the exchange on
    // both transports once the response time-out has passed.
    EXPECT_EQ(exchange(0x10001, 1, 8, &status), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(received().size(), 17u) << "the request was sent";
    h_.transport = NIC_IPC_TRANSPORT_FWCTL;
    EXPECT_EQ(nic_ipc_req_rsp(&h_, 0x11, 0x1001B, rsp_.data(), 1, 8, &status), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    received();
    // A peer that went away fails the call without SIGPIPE.
    ::close(peer_);
    peer_ = -1;
    EXPECT_EQ(exchange(0x10001, 1, 8, &status), -1);
    EXPECT_EQ(errno, EPIPE);
}

// A channel's request tags count from 0 and wrap at 256.
TEST_F(FakeDevice, RequestTagsCountFromZeroAndWrapAt256)
{
    uint32_t status = 0;
    for (unsigned n = 0; n < 258; ++n) {
        queue(response(0x10001, 4));
        ASSERT_EQ(exchange(0x10001, 4, 8, &status), 4) << n;
        const bytes wire = received();
        ASSERT_GE(wire.size(), 8u);
        EXPECT_EQ((get_le<uint64_t>(wire.data()) >> 8) & 0xFF, n % 256) << n;
    }
}

// Framing faults the fuzzer cannot tell from a valid answer: they would be
// taken without a crash, with bytes the card never sent.
TEST_F(FakeDevice, ResponsesToAnotherRequestOrCutShortAreEio)
{
    auto patched = [](bytes m, size_t at, uint8_t v) { return m[at] = v, m; };
    auto cut = [](bytes m, size_t n) { return m.resize(n), m; };
    const std::pair<const char *, bytes> cases[] = {
        {"wrong magic", patched(response(0x10001, 4), 8, 'X')},
        {"request type", patched(response(0x10001, 4), 0, 2)},
        {"other op", response(0x10002, 4)},
        {"payload shorter than claimed", cut(response(0x10001, 24), 30)},  // 14 of the claimed 24 bytes
        {"shorter than the headers", cut(response(0x10001, 0), 12)},
    };
    uint32_t status = 77;
    for (const auto &[what, msg] : cases) {
        queue(msg);
        EXPECT_EQ(exchange(0x10001, 4, 64, &status), -1) << what;
        EXPECT_EQ(errno, EIO) << what;
        received();
    }
    EXPECT_EQ(status, 77u);
}

// A PORT_IFINDEX_GET count up to the 11 entries a response holds is taken;
// one above is a size failure, never a read past it, and leaves the list.
TEST_F(FakeDevice, IfindexCountUpToWhatTheResponseHolds)
{
    std::vector<uint32_t> ifx;
    for (const uint32_t count : {11u, 12u}) {
        bytes m = response(0x1000B, 52);
        put_le<uint32_t>(&m[16], 0);
        put_le<uint32_t>(&m[20], count);
        queue(m);
        EXPECT_EQ(ipc_cmd_port_ifindex_get(&h_, &ifx).fail, count == 11 ? ipc_cmd_fail_e::none : ipc_cmd_fail_e::size);
        EXPECT_EQ(ifx.size(), 11u) << count;
    }
}

TEST(NicFwctlScope, KeysMapToTheirScopes)
{
    // Configuration range 0x1E:0x01-0x05, debug-write keys, read-only otherwise; op bits above 15 mix into the ep.
    const uint32_t cases[][3] = {{0x1E, 0x01, 0}, {0x1E, 0x05, 0}, {0x1E, 0x00, 1}, {0x1E, 0x06, 1},
                                 {0x05, 0x06, 2}, {0x0E, 0x100001, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(nic_fwctl_rpc_scope(c[0], c[1]), c[2]) << std::hex << c[0] << ":" << c[1];
    }
}
