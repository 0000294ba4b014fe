#include "sdk/lib/pal/pal_telnet.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;

namespace {

// The remote backends: JTAG through an adapter library, and the telnet console.
class PalRemoteTest : public test_support::pal_fixture {
protected:
    // Starts the PAL as the remote platform with the adapter library `lib` and returns what it printed.
    static std::string init_with(const std::string& lib, pal_ret_t expected,
                                 uint32_t type = sdk::platform::PLATFORM_TYPE_REMOTE) {
        setenv("PAL_J2C_PORT", "5", 1);
        setenv("JTAG_LIB_PATH", (JTAG_LIB_DIR "/" + lib).c_str(), 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_init(type, nullptr), expected);
        return testing::internal::GetCapturedStdout();
    }
};

// The adapter is not loaded for the host platform, nor when the library or
// any of its entry points is missing; a whole one reaches the registers.
TEST_F(PalRemoteTest, JtagAdapterIsRefusedUnlessWholeThenReachesRegisters) {
    EXPECT_EQ(init_with("libt_jtag_adapter.so", 1, sdk::platform::PLATFORM_TYPE_X86_64), "");
    for (const std::string sym : {"jtag_init", "jtag_reset", "jtag_rd", "jtag_enable", "jtag_wr", "set_asic_target"}) {
        pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
        const std::string out = init_with("libt_jtag_adapter_no_" + sym + ".so", 1);
        EXPECT_EQ(out.rfind("PAL_J2C_DEBUG - Failed to load " + sym + ": ", 0), 0u) << out;
    }
    pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    EXPECT_EQ(init_with("libnothing.so", 1).rfind("PAL_J2C_DEBUG - Failed to load JTAG library: ", 0), 0u);
    pal_teardown(sdk::platform::PLATFORM_TYPE_REMOTE);
    init_with("libt_jtag_adapter.so", PAL_RET_OK);
    uint32_t w[2] = {0xCAFE0001, 0xCAFE0002}, r[2] = {};
    EXPECT_EQ(pal_reg_write(0x1000, w, 2), PAL_RET_OK);
    EXPECT_EQ(pal_reg_read(0x1000, r, 2), PAL_RET_OK);
    EXPECT_EQ(r[1], 0xCAFE0002u);
    EXPECT_EQ(pal_reg_read(0xdead0000, r, 1), PAL_RET_NOK);
}

// A console on 127.0.0.1 answering like the card's: it echoes each command
// and ends each reply with the prompt; on command `hang_up_at` (1 = the
// first) it hangs up instead. Reads, whatever noise the console adds, are
// fuzzed in tests/fuzz/telnet_fuzz.cc.
class test_console {
public:
    explicit test_console(size_t hang_up_at = 0)
        : peer_(fuzz_support::listen_loopback(&port_), true, [this, hang_up_at](std::string_view got, auto &self) {
              std::lock_guard<std::mutex> lock(mutex_);
              std::string reply;
              for (size_t end; (end = got.find('\n')) != std::string_view::npos; got.remove_prefix(end + 1)) {
                  commands_.emplace_back(got.substr(0, end));
                  if (commands_.size() == hang_up_at) {
                      self.hang_up();
                      return std::string();
                  }
                  reply += commands_.back() + "\r\nember:~$ ";
              }
              return reply;
          }) {}
    int port() const { return port_; }
    // Waits up to two seconds for the console to see `cmd`.
    bool saw(const std::string &cmd) {
        return test_support::wait_until([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return std::find(commands_.begin(), commands_.end(), cmd) != commands_.end();
        }, std::chrono::seconds(2));
    }

private:
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    fuzz_support::peer<std::string> peer_;  // last: its thread uses the members above
};

std::vector<std::string> g_log_lines;
int keep_log_line(uint32_t, trace_level_e, const char* format, va_list args) {
    char line[512];
    vsnprintf(line, sizeof(line), format, args);
    g_log_lines.emplace_back(line);
    return 0;
}

// A session turns the console's log output off, writes through devmem and
// sends an idle console an empty command; its teardown turns the log output
// back on. A console that hangs up ends the session: the command in flight
// fails and later ones fail at once, unsent.
TEST_F(PalRemoteTest, TelnetSessionWritesThroughDevmemKeepsAliveAndEndsOnHangUp) {
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    {
        test_console console;
        setenv("PAL_TELNET_PORT", std::to_string(console.port()).c_str(), 1);
        pal_telnet_set_keepalive(std::chrono::milliseconds(20), std::chrono::milliseconds(-1));
        ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
        EXPECT_TRUE(console.saw("")) << "no keep-alive";
        pal_telnet_set_keepalive(std::chrono::seconds(10), std::chrono::seconds(9));
        uint32_t w[2] = {0x12345678, 0x9abcdef0};
        EXPECT_EQ(pal_reg_write(0x2000, w, 2), PAL_RET_OK);
        uint8_t bytes[2] = {0xAB, 0xCD};
        EXPECT_EQ(pal_mem_write(0x3000, bytes, 2), PAL_RET_OK);
        for (const char* cmd :
             {"log backend log_backend_uart disable", "devmem 0x2004 32 0x9abcdef0", "devmem 0x3001 8 0xcd"}) {
            EXPECT_TRUE(console.saw(cmd)) << cmd;
        }
        pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
        EXPECT_TRUE(console.saw("log backend log_backend_uart enable inf"));
    }
    test_console console(4);  // answers the start's three commands, hangs up on the next
    setenv("PAL_TELNET_PORT", std::to_string(console.port()).c_str(), 1);
    ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
    logger_init(keep_log_line);
    const uint32_t w = 1;
    EXPECT_EQ(pal_reg_write(0x2000, &w, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_reg_write(0x2000, &w, 1), PAL_RET_NOK);
    logger_init(test_support::discard_log_cb);
    const auto logged = [](const char* text) {
        return std::count_if(g_log_lines.begin(), g_log_lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_EQ(logged("Connection closed by remote host"), 1);
    EXPECT_EQ(logged("Session not connected"), 1);
}

}  // namespace
