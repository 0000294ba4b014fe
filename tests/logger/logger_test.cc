#include "logger/logger.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

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

}  // namespace
