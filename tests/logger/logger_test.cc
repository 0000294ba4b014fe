#include "logger/logger.hpp"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <thread>

namespace {

std::string g_seen;  // "<module> <level> <text>" of the last line

int capture_cb(uint32_t mod_id, trace_level_e level, const char* format, va_list args) {
    char buf[256];
    vsnprintf(buf, sizeof(buf), format, args);
    g_seen = std::to_string(mod_id) + " " + std::to_string(level) + " " + buf;
    return 0;
}

TEST(LoggerTest, ModuleIdFallsBackToFirstRegisteredId) {
    EXPECT_EQ(logger_get_module_id(), -1);  // must run before any other registration in this process
    for (int id : {7, 9}) {
        std::thread([id] {
            logger_register_module_id(id);
            EXPECT_EQ(logger_get_module_id(), id);
        }).join();
        EXPECT_EQ(logger_get_module_id(), 7);  // the process-wide id stays the first one registered
    }
}

TEST(LoggerTest, StdoutByDefaultWithPrefixNewlineAndLengthCap) {
    testing::internal::CaptureStdout();
    LOGGER_ERR("value %d", 42);
    const int line = __LINE__ - 1;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[logger_test.cc:" + std::to_string(line) + "] value 42\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(logger_trace(1, trace_level_info, "%s", std::string(3000, 'x').c_str()), 1024);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(1023, 'x') + "\n");
}

TEST(LoggerTest, InstalledCallbackReplacesStdoutUntilReset) {
    logger_init(capture_cb);
    LOGGER_DEBUG("x=%lx", 0x1fUL);
    EXPECT_EQ(g_seen, "1 " + std::to_string(trace_level_debug) + " [logger_test.cc:" + std::to_string(__LINE__ - 1) +
                          "] x=1f");
    logger_init(null_logger_cb_);
    testing::internal::CaptureStdout();
    EXPECT_EQ(LOGGER_ERR("dropped %s", "text"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    logger_init(nullptr);
    EXPECT_EQ(logger_trace_cb(), &stdout_logger_cb_);
}

}  // namespace
