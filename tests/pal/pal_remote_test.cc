#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_telnet.hpp"
#include "sdk/platform/pal/src/ember/sbus.hpp"
#include "sdk/platform/pal/src/ipc/x86_64/palx86.hpp"
#include "sdk/platform/pal/src/locks.hpp"
#include "tests/pal/capture_log.hpp"
#include "tests/pal/fake_card.hpp"

using namespace sdk::lib;
using talon_test::log_has;

namespace {

void clear_backend_env() {
    for (const char* v : {"PAL_J2C_PORT", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR", "JTAG_LIB_PATH",
                          "SUB_ASIC"}) {
        unsetenv(v);
    }
}

class PalJtagTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_backend_env();
        talon_test::capture_log_start();
    }
    void TearDown() override {
        pal_teardown(pal_get_platform_type());
        clear_backend_env();
        logger_init(nullptr);
    }
    // Starts the PAL with the given type and returns what it printed.
    std::string init_printing(uint32_t type, pal_ret_t expected) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_init(type, nullptr), expected);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(PalJtagTest, RefusesHostPlatformType) {
    setenv("PAL_J2C_PORT", "5", 1);
    setenv("JTAG_LIB_PATH", JTAG_LIB_OK, 1);
    std::string out = init_printing(sdk::platform::PLATFORM_TYPE_X86_64, 1);
    EXPECT_TRUE(log_has("Failed to initialize PAL for platform type 7, err 1", trace_level_err));
    EXPECT_EQ(out.find("Successfully loaded"), std::string::npos);
}

TEST_F(PalJtagTest, LoadsStandInAndAccessesRegisters) {
    setenv("PAL_J2C_PORT", "5", 1);
    setenv("JTAG_LIB_PATH", JTAG_LIB_OK, 1);
    setenv("SUB_ASIC", "cedar", 1);
    std::string out = init_printing(sdk::platform::PLATFORM_TYPE_REMOTE, PAL_RET_OK);
    EXPECT_EQ(out,
              "PAL_J2C_DEBUG - Successfully loaded JTAG library functions\n"
              "PAL_J2C_DEBUG - port 0x5 \n");
    uint32_t w[2] = {0xCAFE0001, 0xCAFE0002};
    EXPECT_EQ(pal_reg_write(0x1000, w, 2), PAL_RET_OK);
    uint32_t r[2] = {};
    EXPECT_EQ(pal_reg_read(0x1000, r, 2), PAL_RET_OK);
    EXPECT_EQ(r[1], 0xCAFE0002u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_read(0xdead0000, r, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_reg_write(0xdead0000, w, 1), PAL_RET_NOK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "JTAG Read failed!\nJTAG write failed!\n");
    EXPECT_EQ(sdk::lib::pal_get_sub_asic(), 3);
    uint8_t b[4];
    EXPECT_EQ(pal_mem_read(0, b, 4), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_set(0, 1, 4), PAL_RET_OK);
    EXPECT_EQ(pal_mem_map(0, 4), nullptr);
    // The fixed module image: whole reads inside it, refusals past its end.
    std::vector<uint8_t> img(256);
    EXPECT_EQ(pal_qsfp_read(img.data(), 256, 0, 0, 1, 1), PAL_RET_OK);
    EXPECT_EQ(img[0], 0x11);
    EXPECT_EQ(pal_qsfp_read(img.data(), 257, 0, 0, 1, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_qsfp_read(img.data(), 16, 250, 0, 1, 1), PAL_RET_NOK);
    EXPECT_TRUE(log_has("PAL default pal_j2c_qsfp_read", trace_level_debug));
}

TEST_F(PalJtagTest, ReportsEachMissingEntryPoint) {
    const std::vector<std::pair<const char*, const char*>> variants = {
        {"jtag_init", JTAG_LIB_NO_jtag_init},       {"jtag_reset", JTAG_LIB_NO_jtag_reset},
        {"jtag_rd", JTAG_LIB_NO_jtag_rd},           {"jtag_enable", JTAG_LIB_NO_jtag_enable},
        {"set_asic_target", JTAG_LIB_NO_set_asic_target}, {"jtag_wr", JTAG_LIB_NO_jtag_wr}};
    setenv("PAL_J2C_PORT", "5", 1);
    for (const auto& [sym, lib] : variants) {
        setenv("JTAG_LIB_PATH", lib, 1);
        std::string out = init_printing(sdk::platform::PLATFORM_TYPE_REMOTE, 1);
        EXPECT_EQ(out.rfind(std::string("PAL_J2C_DEBUG - Failed to load ") + sym + ": ", 0), 0u) << out;
        EXPECT_NE(out.find("\nPAL_J2C_DEBUG - Failed to load JTAG functions for ember\n"),
                  std::string::npos)
            << out;
        pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    }
    setenv("JTAG_LIB_PATH", "/nonexistent/libnothing.so", 1);
    std::string out = init_printing(sdk::platform::PLATFORM_TYPE_REMOTE, 1);
    EXPECT_EQ(out.rfind("PAL_J2C_DEBUG - Failed to load JTAG library: ", 0), 0u) << out;
    pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    setenv("JTAG_LIB_PATH", JTAG_LIB_INITFAIL, 1);
    out = init_printing(sdk::platform::PLATFORM_TYPE_REMOTE, 1);
    EXPECT_NE(out.find("PAL_J2C_DEBUG - unable to init jtag 2a\n"), std::string::npos) << out;
}

// ---- Telnet ------------------------------------------------------------------

enum class console_mode { normal, no_read_value, no_prompt, close_on_devmem };

// A small console on 127.0.0.1 answering like the card console.
class test_console {
public:
    explicit test_console(console_mode mode) : mode_(mode) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(listen_fd_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~test_console() {
        shutdown(listen_fd_, SHUT_RDWR);
        close(listen_fd_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (conn_fd_ >= 0) {
                shutdown(conn_fd_, SHUT_RDWR);
            }
        }
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    uint32_t value(uint64_t addr) {
        std::lock_guard<std::mutex> lock(mutex_);
        return mem_[addr];
    }

private:
    void serve() {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            conn_fd_ = fd;
        }
        std::string pending;
        char buf[512];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string cmd = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!answer(fd, cmd)) {
                    close(fd);
                    return;
                }
            }
        }
        close(fd);
    }
    bool answer(int fd, const std::string& cmd) {
        std::string reply = cmd + "\r\n";
        unsigned long addr = 0;
        unsigned width = 0;
        unsigned value = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(cmd);
            int fields = sscanf(cmd.c_str(), "devmem 0x%lx %u 0x%x", &addr, &width, &value);
            if (fields >= 2 && mode_ == console_mode::close_on_devmem) {
                return false;
            }
            if (fields == 3) {
                mem_[addr] = value;
            } else if (fields == 2) {
                char line[64];
                snprintf(line, sizeof(line), mode_ == console_mode::no_read_value ? "Value 0x%x\r\n"
                                                                                    : "Read value 0x%x\r\n",
                         mem_[addr]);
                reply += line;
            }
        }
        if (mode_ != console_mode::no_prompt) {
            reply += "ember:~$ ";
        }
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        return true;
    }

    console_mode mode_;
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::map<uint64_t, uint32_t> mem_;
};

class PalTelnetTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_backend_env();
        talon_test::capture_log_start();
    }
    void TearDown() override {
        pal_teardown(pal_get_platform_type());
        clear_backend_env();
        logger_init(nullptr);
    }
    void start(const test_console& console) {
        setenv("PAL_TELNET_PORT", std::to_string(console.port()).c_str(), 1);
        setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
        ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    }
};

TEST_F(PalTelnetTest, ReadsAndWritesThroughDevmem) {
    test_console console(console_mode::normal);
    start(console);
    uint32_t w[2] = {0x12345678, 0x9abcdef0};
    EXPECT_EQ(pal_reg_write(0x2000, w, 2), PAL_RET_OK);
    uint32_t r[2] = {};
    EXPECT_EQ(pal_reg_read(0x2000, r, 2), PAL_RET_OK);
    EXPECT_EQ(r[0], 0x12345678u);
    EXPECT_EQ(r[1], 0x9abcdef0u);
    uint8_t bytes[2] = {0xAB, 0xCD};
    EXPECT_EQ(pal_mem_write(0x3000, bytes, 2), PAL_RET_OK);
    uint8_t back[2] = {};
    EXPECT_EQ(pal_mem_read(0x3000, back, 2), PAL_RET_OK);
    EXPECT_EQ(back[1], 0xCD);
    EXPECT_EQ(pal_mem_read(0x3000, nullptr, 2), PAL_RET_NOK);
    EXPECT_TRUE(log_has("Invalid parameters", trace_level_err));
    std::vector<std::string> cmds = console.commands();
    ASSERT_GE(cmds.size(), 9u);
    EXPECT_EQ(cmds[0], "test");
    EXPECT_EQ(cmds[1], "show version");
    EXPECT_EQ(cmds[2], "log backend log_backend_uart disable");
    EXPECT_EQ(cmds[3], "devmem 0x2000 32 0x12345678");
    EXPECT_EQ(cmds[5], "devmem 0x2000 32");
    EXPECT_EQ(cmds[7], "devmem 0x3000 8 0xab");
    EXPECT_EQ(console.value(0x2004), 0x9abcdef0u);
    pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
    // Teardown restores the console's log output before closing.
    for (int i = 0; i < 100 && console.commands().back() != "log backend log_backend_uart enable inf"; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(console.commands().back(), "log backend log_backend_uart enable inf");
}

TEST_F(PalTelnetTest, ReplyWithoutReadValueFailsTheRead) {
    test_console console(console_mode::no_read_value);
    start(console);
    uint32_t r = 0;
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
    EXPECT_TRUE(log_has("Failed to parse devmem output, \n"));
    EXPECT_TRUE(log_has("Register read failed on telnet, addr 0x10", trace_level_err));
}

TEST_F(PalTelnetTest, ConsoleWithoutPromptReturnsAfterTheWait) {
    test_console console(console_mode::no_prompt);
    pal_telnet_session_s* s = pal_telnet_connect("127.0.0.1", console.port());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->prompt, "ember:~$");
    char reply[256];
    int n = pal_telnet_exchange(s, "devmem 0x40 32", reply, sizeof(reply), 300);
    EXPECT_GT(n, 0);
    EXPECT_NE(std::string(reply).find("Read value 0x0"), std::string::npos);
    // Refused, not truncated, when the command does not fit.
    EXPECT_EQ(pal_telnet_exchange(s, std::string(200, 'x').c_str(), reply, sizeof(reply), 10), -1);
    EXPECT_TRUE(log_has("Command buffer too small", trace_level_err));
    s->running = false;
    s->stop_cv.notify_all();
    s->keepalive.join();
    close(s->sock);
    delete s;
}

TEST_F(PalTelnetTest, PeerClosingDisconnectsTheSession) {
    test_console console(console_mode::close_on_devmem);
    start(console);
    uint32_t r = 0;
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
    EXPECT_TRUE(log_has("Connection closed by remote host", trace_level_err));
    EXPECT_EQ(pal_reg_read(0x10, &r, 1), PAL_RET_NOK);
    EXPECT_TRUE(log_has("Session not connected", trace_level_err));
}

TEST_F(PalTelnetTest, KeepAliveSendsEmptyCommandWhenIdle) {
    pal_telnet_set_keepalive(std::chrono::milliseconds(50), std::chrono::milliseconds(-1));
    test_console console(console_mode::normal);
    start(console);
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        usleep(10000);
        for (const auto& c : console.commands()) {
            seen = seen || c.empty();
        }
    }
    EXPECT_TRUE(seen);
    pal_telnet_set_keepalive(std::chrono::seconds(10), std::chrono::seconds(9));
}

TEST_F(PalTelnetTest, ConnectFailuresAreReported) {
    setenv("PAL_TELNET_PORT", "0", 1);
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    EXPECT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), 1u);
    EXPECT_TRUE(log_has("Invalid IP address or port"));
    EXPECT_TRUE(log_has("Telnet connection failed"));
    pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
    EXPECT_EQ(pal_init(9, nullptr), 1u);
}

// ---- Sbus --------------------------------------------------------------------

TEST(PalSbusTest, InvalidRingAndRegisterFallback) {
    talon_test::fake_card card;
    std::string locks = card.root() + "/locks";
    std::filesystem::create_directories(locks);
    pal_lock_set_dirs(locks.c_str(), locks.c_str(), (locks + "/noshare").c_str());
    setenv("TALON_DEV_DIR", (card.root() + "/dev").c_str(), 1);
    talon_test::in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(talon_test::k_rsc_bdf), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_sbus_rd(4, 1, 2), 0u);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("Pal-trace Invalid sbus ring number 4 for thread_id ", 0), 0u) << out;
        pal_sbus_wr(0, 3, 5, 0x77);
        EXPECT_EQ(::pal_reg_rd32(0x10680000), 0x77u);
        // No device: the read writes its command word and reads the data register back.
        EXPECT_EQ(pal_sbus_rd(0, 3, 5), 0x220503u);
        pal_sbus_rst(3, 9);
    });
    EXPECT_TRUE(std::filesystem::exists(locks + "/sbus0_lock"));
    EXPECT_TRUE(std::filesystem::exists(locks + "/sbus_lock"));
    unsetenv("TALON_DEV_DIR");
}

}  // namespace
