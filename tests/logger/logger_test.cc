#include "logger/logger.hpp"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::string g_seen;
uint32_t g_seen_mod = 0;
trace_level_e g_seen_level = trace_level_none;

int capture_cb(uint32_t mod_id, trace_level_e level, const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    g_seen = buf;
    g_seen_mod = mod_id;
    g_seen_level = level;
    return static_cast<int>(g_seen.size());
}

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { logger_init(nullptr); }
};

TEST_F(LoggerTest, ModuleIdFallsBackToFirstRegisteredId) {
    // Must run before any other registration in this process.
    EXPECT_EQ(logger_get_module_id(), -1);
    std::thread([] {
        logger_register_module_id(7);
        EXPECT_EQ(logger_get_module_id(), 7);
    }).join();
    EXPECT_EQ(logger_get_module_id(), 7);
    std::thread([] {
        logger_register_module_id(9);
        EXPECT_EQ(logger_get_module_id(), 9);
    }).join();
    // The process-wide id stays the first one ever registered.
    EXPECT_EQ(logger_get_module_id(), 7);
    logger_register_module_id(3);
    EXPECT_EQ(logger_get_module_id(), 3);
}

TEST_F(LoggerTest, StdoutByDefaultWithPrefixAndNewline) {
    EXPECT_FALSE(logger_is_trace_cb_set());
    EXPECT_EQ(logger_trace_cb(), &stdout_logger_cb_);
    testing::internal::CaptureStdout();
    LOGGER_ERR("value %d", 42);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[logger_test.cc:" + std::to_string(__LINE__ - 2) + "] value 42\n");
}

TEST_F(LoggerTest, StdoutCutsLongMessagesAt1023Characters) {
    std::string long_text(3000, 'x');
    testing::internal::CaptureStdout();
    int n = stdout_logger_cb_(1, trace_level_info, "%s", long_text.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(1023, 'x') + "\n");
    EXPECT_EQ(n, 1024);
}

TEST_F(LoggerTest, NullCallbackPrintsNothing) {
    logger_init(null_logger_cb_);
    EXPECT_TRUE(logger_is_trace_cb_set());
    testing::internal::CaptureStdout();
    EXPECT_EQ(LOGGER_ERR("dropped %s", "text"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LoggerTest, InstalledCallbackGetsModuleLevelAndArguments) {
    logger_init(capture_cb);
    LOGGER_DEBUG("x=%lx", 0x1fUL);
    EXPECT_EQ(g_seen_mod, 1u);
    EXPECT_EQ(g_seen_level, trace_level_debug);
    EXPECT_EQ(g_seen, "[logger_test.cc:" + std::to_string(__LINE__ - 3) + "] x=1f");
    logger_init(nullptr);
    EXPECT_EQ(logger_trace_cb(), &stdout_logger_cb_);
}

}  // namespace
