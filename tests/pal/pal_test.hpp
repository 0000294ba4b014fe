// Shared PAL test helpers: a fixture starting every test from a clean PAL.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <thread>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "testkit/process.hpp"

namespace test_support {

// Discards module logger lines, keeping the test output readable.
inline int discard_log_cb(uint32_t, trace_level_e, const char*, va_list) { return 0; }

// Clears the variables that choose or configure a backend, discards log lines, tears the PAL down after.
class pal_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"PAL_J2C_PORT", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR", "JTAG_LIB_PATH", "SUB_ASIC",
                              "HUB_BDF", "PAL_CARD_UUID", "PAL_RESDEV_BDF", "BLD_VERSION"}) {
            unsetenv(v);
        }
        logger_init(discard_log_cb);
    }
    void TearDown() override {
        sdk::lib::pal_teardown(sdk::lib::pal_get_platform_type());
        logger_init(nullptr);
    }
};

// Runs `fn` in a fresh thread, so it starts with an empty per-thread context.
template <typename Fn>
void in_new_thread(Fn fn) {
    std::thread(fn).join();
}

}  // namespace test_support
