#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>

#include "sdk/lib/pal/pal_telnet.hpp"
#include "sdk/platform/pal/include/sbus.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "sdk/platform/pal/include/locks.hpp"
#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;
using test_support::log_has;

namespace {

class PalJtagTest : public test_support::pal_fixture {
protected:
    // Starts the PAL as the remote platform with `lib` and returns what it printed.
    static std::string init_with(const char* lib, pal_ret_t expected,
                                 uint32_t type = sdk::platform::PLATFORM_TYPE_REMOTE) {
        setenv("PAL_J2C_PORT", "5", 1);
        setenv("JTAG_LIB_PATH", lib, 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_init(type, nullptr), expected);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(PalJtagTest, LoadsStandInAndAccessesRegisters) {
    EXPECT_EQ(init_with(JTAG_LIB_OK, PAL_RET_OK),
              "PAL_J2C_DEBUG - Successfully loaded JTAG library functions\nPAL_J2C_DEBUG - port 0x5 \n");
    uint32_t w[2] = {0xCAFE0001, 0xCAFE0002}, r[2] = {};
    EXPECT_EQ(pal_reg_write(0x1000, w, 2), PAL_RET_OK);
    EXPECT_EQ(pal_reg_read(0x1000, r, 2), PAL_RET_OK);
    EXPECT_EQ(r[1], 0xCAFE0002u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_read(0xdead0000, r, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_reg_write(0xdead0000, w, 1), PAL_RET_NOK);
    testing::internal::GetCapturedStdout();
    // The fixed module image: reads inside it, refusals past its end.
    std::vector<uint8_t> img(257);
    EXPECT_EQ(pal_qsfp_read(img.data(), 256, 0, 0, 1, 1), PAL_RET_OK);
    EXPECT_EQ(pal_qsfp_read(img.data(), 257, 0, 0, 1, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_qsfp_read(img.data(), 16, 250, 0, 1, 1), PAL_RET_NOK);
}

TEST_F(PalJtagTest, RefusesHostTypeMissingEntryPointsAndFailedLoadOrInit) {
    EXPECT_EQ(init_with(JTAG_LIB_OK, 1, sdk::platform::PLATFORM_TYPE_X86_64), "");
    const std::pair<const char*, const char*> variants[] = {
        {"jtag_init", JTAG_LIB_NO_jtag_init}, {"jtag_reset", JTAG_LIB_NO_jtag_reset}, {"jtag_rd", JTAG_LIB_NO_jtag_rd},
        {"jtag_enable", JTAG_LIB_NO_jtag_enable}, {"jtag_wr", JTAG_LIB_NO_jtag_wr},
        {"set_asic_target", JTAG_LIB_NO_set_asic_target}};
    for (const auto& [sym, lib] : variants) {
        pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
        std::string out = init_with(lib, 1);
        EXPECT_EQ(out.rfind(std::string("PAL_J2C_DEBUG - Failed to load ") + sym + ": ", 0), 0u) << out;
    }
    pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    EXPECT_EQ(init_with("/nonexistent/libnothing.so", 1).rfind("PAL_J2C_DEBUG - Failed to load JTAG library: ", 0), 0u);
    pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    EXPECT_NE(init_with(JTAG_LIB_INITFAIL, 1).find("PAL_J2C_DEBUG - unable to init jtag 2a\n"), std::string::npos);
}

enum class console_mode { normal, no_read_value, no_prompt, close_on_devmem };

// A console on 127.0.0.1 answering like the card's: it echoes each command,
// answers devmem reads with 0 and ends each reply with the prompt, unless
// the mode says otherwise. It serves one session,
// which the client must close before the console goes.
class test_console {
public:
    explicit test_console(console_mode mode) : mode_(mode) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len);
        listen(listen_fd_, 1);
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~test_console() {
        shutdown(listen_fd_, SHUT_RDWR);  // ends a wait for a client that never came
        thread_.join();
        close(listen_fd_);
    }
    int port() const { return port_; }
    bool saw(const std::string& cmd) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(commands_.begin(), commands_.end(), cmd) != commands_.end();
    }

private:
    void serve() {
        int fd = accept(listen_fd_, nullptr, nullptr);
        FILE* in = fd >= 0 ? fdopen(fd, "r") : nullptr;
        char line[512];
        std::string reply;
        while (in != nullptr && fgets(line, sizeof(line), in) != nullptr && answer(line, reply) &&
               send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) > 0) {
        }
        if (in != nullptr) {
            fclose(in);
        }
    }
    // Records the command `line`, and builds its reply; false to close the connection instead.
    bool answer(std::string line, std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string& cmd = commands_.emplace_back(line.substr(0, line.find('\n')));
        reply = cmd + "\r\n";
        unsigned long addr = 0;
        unsigned width = 0, value = 0;
        int fields = sscanf(cmd.c_str(), "devmem 0x%lx %u 0x%x", &addr, &width, &value);
        if (fields >= 2 && mode_ == console_mode::close_on_devmem) {
            return false;
        }
        if (fields == 2) {
            reply += mode_ == console_mode::no_read_value ? "Value 0x0\r\n" : "Read value 0x0\r\n";
        }
        reply += mode_ == console_mode::no_prompt ? "" : "ember:~$ ";
        return true;
    }

    console_mode mode_;
    int listen_fd_ = socket(AF_INET, SOCK_STREAM, 0), port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

class PalTelnetTest : public test_support::pal_fixture {
protected:
    // Starts the PAL against a console in `mode`; the session ends in TearDown, before the console goes.
    void start(console_mode mode) {
        console_.emplace(mode);
        setenv("PAL_TELNET_PORT", std::to_string(console_->port()).c_str(), 1);
        setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
        ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    }
    // Waits up to two seconds for the console to see `cmd`.
    bool console_saw(const std::string& cmd) {
        return test_support::wait_until([&] { return console_->saw(cmd); }, std::chrono::seconds(2));
    }
    std::optional<test_console> console_;
};

// Reads, whatever noise the console adds, are fuzzed in tests/fuzz/telnet_fuzz.cc.
TEST_F(PalTelnetTest, WritesThroughDevmem) {
    start(console_mode::normal);
    uint32_t w[2] = {0x12345678, 0x9abcdef0};
    EXPECT_EQ(pal_reg_write(0x2000, w, 2), PAL_RET_OK);
    uint8_t bytes[2] = {0xAB, 0xCD};
    EXPECT_EQ(pal_mem_write(0x3000, bytes, 2), PAL_RET_OK);
    for (const char* cmd :
         {"log backend log_backend_uart disable", "devmem 0x2004 32 0x9abcdef0", "devmem 0x3001 8 0xcd"}) {
        EXPECT_TRUE(console_saw(cmd)) << cmd;
    }
    // Teardown restores the console's log output before closing.
    pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
    EXPECT_TRUE(console_saw("log backend log_backend_uart enable inf"));
}

TEST_F(PalTelnetTest, ReplyWithoutReadValueFailsTheRead) {
    start(console_mode::no_read_value);
    uint32_t r = 0;
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
}

TEST_F(PalTelnetTest, ConsoleWithoutPromptReturnsAfterTheWaitAndLongCommandsAreRefused) {
    console_.emplace(console_mode::no_prompt);
    std::unique_ptr<pal_telnet_session_s> s(pal_telnet_connect("127.0.0.1", console_->port()));
    ASSERT_NE(s, nullptr);
    char reply[256];
    EXPECT_GT(pal_telnet_exchange(s.get(), "devmem 0x40 32", reply, sizeof(reply), 300), 0);
    EXPECT_NE(std::string(reply).find("Read value 0x0"), std::string::npos);
    EXPECT_EQ(pal_telnet_exchange(s.get(), std::string(200, 'x').c_str(), reply, sizeof(reply), 10), -1);
    s->running = false;
    s->stop_cv.notify_all();
    s->keepalive.join();
}

TEST_F(PalTelnetTest, PeerClosingDisconnectsTheSession) {
    start(console_mode::close_on_devmem);
    uint32_t r = 0;
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
    EXPECT_TRUE(log_has("Session not connected", trace_level_err));
}

TEST_F(PalTelnetTest, KeepAliveSendsEmptyCommandWhenIdle) {
    pal_telnet_set_keepalive(std::chrono::milliseconds(50), std::chrono::milliseconds(-1));
    start(console_mode::normal);
    EXPECT_TRUE(console_saw(""));
    pal_telnet_set_keepalive(std::chrono::seconds(10), std::chrono::seconds(9));
}

TEST(PalSbusTest, InvalidRingAndRegisterFallback) {
    test_support::fake_card card;
    const std::string locks = card.root();
    pal_lock_set_dirs(locks.c_str(), locks.c_str(), (locks + "/noshare").c_str());
    setenv("TALON_DEV_DIR", (card.root() + "/dev").c_str(), 1);
    test_support::in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(test_support::k_rsc_bdf), 0);
        EXPECT_EQ(pal_sbus_rd(4, 1, 2), 0u);  // no such ring
        pal_sbus_wr(0, 3, 5, 0x77);
        EXPECT_EQ(::pal_reg_rd32(0x10680000), 0x77u);
        // No device: the read writes its command word and reads the data register back.
        EXPECT_EQ(pal_sbus_rd(0, 3, 5), 0x220503u);
        pal_sbus_rst(3, 9);
    });
    // Accesses take the ring's lock, the reset the global one, through their files.
    EXPECT_TRUE(std::filesystem::exists(locks + "/sbus0_lock"));
    EXPECT_TRUE(std::filesystem::exists(locks + "/sbus_lock"));
    unsetenv("TALON_DEV_DIR");
}

}  // namespace
