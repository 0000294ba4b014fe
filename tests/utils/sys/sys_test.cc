#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "testkit/process.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/stdio_file.hpp"
#include "utils/sys/unique_fd.hpp"

namespace {

bool close_on_exec(int fd)
{
    int flags = ::fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

class sys_test : public ::testing::Test {
protected:
    void SetUp() override { test_support::write_file(path_, std::string(4096, '\0')); }

    test_support::temp_dir dir_;
    std::string path_ = dir_ / "f";
};

TEST_F(sys_test, descriptors_are_close_on_exec_closed_once_and_keep_errno)
{
    utils::unique_fd a = utils::open_fd(path_, O_RDONLY);
    ASSERT_TRUE(a);
    const int raw = a.get();
    EXPECT_TRUE(close_on_exec(raw));
    utils::unique_fd b(std::move(a));
    EXPECT_EQ(b.get(), raw);
    // Closing keeps the errno of the call that failed before it.
    errno = ENOSPC;
    b = utils::unique_fd();
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1) << "not closed";

    utils::unique_file f = utils::open_file(path_, "a");
    ASSERT_TRUE(f);
    EXPECT_TRUE(close_on_exec(::fileno(f.get())));
}

TEST_F(sys_test, command_pipe_reads_output_and_reports_exit_status)
{
    char line[8];
    utils::command_pipe failing("echo out; exit 3");
    EXPECT_TRUE(failing.read_line(line, sizeof(line)));
    EXPECT_FALSE(failing.close());

    // A descriptor opened without close-on-exec (as a library's socket may
    // be) does not reach the command.
    utils::unique_fd stray(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(stray);
    const std::string fd = std::to_string(stray.get());
    utils::command_pipe probe("if [ -e /proc/$$/fd/" + fd + " ]; then echo leaked; else echo clean; fi");
    ASSERT_TRUE(probe.read_line(line, sizeof(line)));
    EXPECT_STREQ(line, "clean\n");
    EXPECT_FALSE(probe.read_line(line, sizeof(line)));
    EXPECT_TRUE(probe.close());
    EXPECT_FALSE(probe.close()) << "already closed";
    EXPECT_TRUE(utils::run_program({"sh", "-c", "[ ! -e /proc/$$/fd/" + fd + " ]"}));
    EXPECT_FALSE(utils::run_program({"sh", "-c", "exit 3"}));
    EXPECT_FALSE(utils::run_program({"no-such-program-here"}));

    // Signals the calling thread blocks are not blocked in a program it runs.
    sigset_t term, saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &saved), 0);
    const bool unblocked = utils::run_program({"grep", "-q", "SigBlk:.0000000000000000", "/proc/self/status"});
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_TRUE(unblocked);
}

TEST_F(sys_test, mapping_is_shared_and_a_failed_map_keeps_the_old_one)
{
    utils::unique_fd fd = utils::open_fd(path_, O_RDWR);
    ASSERT_TRUE(fd);
    utils::mapped_file m;
    ASSERT_TRUE(m.map(fd.get(), 4096));
    fd.reset();  // the mapping keeps the file
    m.data()[10] = 'z';
    uint8_t *const old = m.data();
    EXPECT_FALSE(m.map(-1, 4096));
    ASSERT_EQ(m.data(), old);
    m.data()[11] = 'y';

    utils::mapped_file n(std::move(m));
    EXPECT_FALSE(m.mapped());
    n.reset();
    EXPECT_FALSE(n.mapped());
    EXPECT_EQ(test_support::read_file(path_).substr(10, 2), "zy");
}

}  // namespace
