// The stack trace printed when a trace message cannot be formatted.
#include "monitor/talonmon_process.hpp"
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(StackTrace, ListsTheCallersFrames) {
    test_support::temp_dir dir;
    const std::string path = dir / "trace.txt";
    std::FILE *out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    print_stack_trace(out);
    std::fclose(out);
    const std::string text = test_support::read_file(path);
    EXPECT_EQ(text.rfind("stack trace:\n  ", 0), 0u) << text;
    // Callers are named, demangled ("module : name+offset"); names that are
    // not C++ symbols keep their raw form with "()".
    EXPECT_NE(text.find(" : testing::Test::Run()+0x"), std::string::npos) << text;
    EXPECT_NE(text.find(" : main()+0x"), std::string::npos) << text;
}

}  // namespace
