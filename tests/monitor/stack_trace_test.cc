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
    auto lines = test_support::read_lines(path);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "stack trace:");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("  ", 0), 0u) << lines[i];
    }
    // Callers are named, demangled ("module : name+offset"); names that are
    // not C++ symbols keep their raw form with "()".
    bool found = false;
    bool raw = false;
    for (const auto &line : lines) {
        found = found || line.find(" : testing::Test::Run()+0x") != std::string::npos;
        raw = raw || line.find(" : main()+0x") != std::string::npos;
    }
    EXPECT_TRUE(raw) << test_support::read_file(path);
    EXPECT_TRUE(found) << test_support::read_file(path);
}

}  // namespace
