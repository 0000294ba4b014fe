#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "sdk/platform/pal/src/locks.hpp"
#include "tests/pal/capture_log.hpp"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class PalLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/t_pal_lock.XXXXXX";
        root_ = mkdtemp(tmpl);
        shm_ = root_ + "/shm";
        tmp_ = root_ + "/tmp";
        std::filesystem::create_directories(shm_);
        std::filesystem::create_directories(tmp_);
        pal_lock_set_dirs(shm_.c_str(), tmp_.c_str(), (root_ + "/share").c_str());
        pal_set_log_enable(1);
    }
    void TearDown() override {
        pal_set_log_enable(0);
        std::filesystem::remove_all(root_);
    }
    // Forks a child running `fn`, with its standard output in `out_file`.
    template <typename Fn>
    pid_t spawn(const std::string& out_file, Fn fn) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            int rc = fn();
            fflush(stdout);
            _exit(rc);
        }
        return pid;
    }
    static int wait_status(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
    std::string root_, shm_, tmp_;
};

TEST_F(PalLockTest, TwoProcessesInitialiseOneRecordAndExcludeEachOther) {
    const std::string a = root_ + "/a.out";
    const std::string b = root_ + "/b.out";
    auto init = [] {
        pal_lock_s* lock = nullptr;
        return pal_lock_init("t_shared_lock", &lock) == 0 && lock != nullptr ? 0 : 1;
    };
    pid_t pa = spawn(a, init);
    pid_t pb = spawn(b, init);
    EXPECT_EQ(wait_status(pa), 0);
    EXPECT_EQ(wait_status(pb), 0);
    const std::string path = shm_ + "/t_shared_lock";
    std::string outs = read_file(a) + read_file(b);
    EXPECT_NE(outs.find("Pal-trace Lock:" + path + " is created\n"), std::string::npos) << outs;
    EXPECT_NE(outs.find("Pal-trace Lock:" + path + " exist\n"), std::string::npos) << outs;

    pal_lock_s* lock = nullptr;
    ASSERT_EQ(pal_lock_init("t_shared_lock", &lock), 0);
    EXPECT_STREQ(lock->name, "t_shared_lock");
    ASSERT_EQ(pal_lock(lock), 0);
    EXPECT_EQ(lock->owner_pid, getpid());
    int pipe_fd[2];
    ASSERT_EQ(pipe(pipe_fd), 0);
    pid_t pc = spawn(root_ + "/c.out", [&] {
        pal_lock_s* l = nullptr;
        if (pal_lock_init("t_shared_lock", &l) != 0 || pal_lock(l) != 0) {
            return 1;
        }
        char c = 'x';
        return write(pipe_fd[1], &c, 1) == 1 && pal_unlock(l) == 0 ? 0 : 1;
    });
    close(pipe_fd[1]);
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(pipe_fd[0], &rfds);
    timeval tv{0, 200000};
    EXPECT_EQ(select(pipe_fd[0] + 1, &rfds, nullptr, nullptr, &tv), 0) << "child got the held lock";
    ASSERT_EQ(pal_unlock(lock), 0);
    char c = 0;
    EXPECT_EQ(read(pipe_fd[0], &c, 1), 1);
    EXPECT_EQ(wait_status(pc), 0);
    close(pipe_fd[0]);
}

TEST_F(PalLockTest, CrashedHolderIsRecoveredAndLockIsRecursive) {
    pid_t holder = spawn(root_ + "/h.out", [] {
        pal_lock_s* l = nullptr;
        if (pal_lock_init("t_crash_lock", &l) != 0 || pal_lock(l) != 0) {
            return 1;
        }
        raise(SIGKILL);
        return 0;
    });
    int status = wait_status(holder);
    ASSERT_TRUE(WIFSIGNALED(status));
    pal_lock_s* lock = nullptr;
    ASSERT_EQ(pal_lock_init("t_crash_lock", &lock), 0);
    // The record now exists in shared memory, so this process finds it there.
    EXPECT_EQ(lock->compat, k_pal_lock_compat_shm);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(pal_lock(lock), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    const std::string ids = "Owner pid:" + std::to_string(holder) + " tid:" + std::to_string(holder);
    const std::string me = std::to_string(getpid());
    EXPECT_EQ(err, ids + " of the (t_crash_lock)lock hascrashed, locking-pid:" + me + "\n");
    EXPECT_EQ(out, "Pal-trace " + ids + " the (t_crash_lock)lock has crashed,locking-pid:" + me + "\n\n");
    // Recursive: the holder may take it again and must release it as often.
    EXPECT_EQ(pal_lock(lock), 0);
    EXPECT_EQ(pal_unlock(lock), 0);
    EXPECT_EQ(pal_unlock(lock), 0);
    pid_t other = spawn(root_ + "/o.out", [] {
        pal_lock_s* l = nullptr;
        return pal_lock_init("t_crash_lock", &l) == 0 && pal_lock(l) == 0 && pal_unlock(l) == 0 ? 0 : 1;
    });
    EXPECT_EQ(wait_status(other), 0);
}

TEST_F(PalLockTest, CompatibilityFileOnlyForExactNames) {
    std::ofstream(tmp_ + "/.pal_sbus.lck").close();
    EXPECT_EQ(pal_check_compat("sbus_lock"), k_pal_lock_compat_sbus);
    EXPECT_EQ(pal_check_compat("sbus0_lock"), k_pal_lock_native);
    EXPECT_EQ(pal_check_compat("sbus_lock2"), k_pal_lock_native);
    EXPECT_EQ(pal_check_compat("mem_lock"), k_pal_lock_native);
    std::ofstream(shm_ + "/old_lock").close();
    EXPECT_EQ(pal_check_compat("old_lock"), k_pal_lock_compat_shm);

    pal_lock_s* lock = nullptr;
    ASSERT_EQ(pal_lock_init("sbus_lock", &lock), 0);
    EXPECT_EQ(lock->compat, k_pal_lock_compat_sbus);
    EXPECT_EQ(pal_lock(lock), 0);
    // The file lock excludes other processes.
    pid_t other = spawn(root_ + "/o.out", [&] {
        int fd = open((tmp_ + "/.pal_sbus.lck").c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        return fcntl(fd, F_SETLK, &fl) == -1 ? 0 : 1;
    });
    EXPECT_EQ(wait_status(other), 0);
    EXPECT_EQ(pal_unlock(lock), 0);
}

TEST_F(PalLockTest, PlantedSymlinksAreNotFollowed) {
    const std::string target = root_ + "/victim";
    std::ofstream(target) << "keep";
    std::filesystem::create_symlink(target, tmp_ + "/.pal_mem.lck");
    pal_lock_s* lock = nullptr;
    ASSERT_EQ(pal_lock_init("mem_lock", &lock), 0);
    EXPECT_EQ(lock->compat, k_pal_lock_compat_mem);
    EXPECT_EQ(pal_lock(lock), -1);

    std::filesystem::remove(tmp_ + "/pal_lockfile");
    std::filesystem::create_symlink(target, tmp_ + "/pal_lockfile");
    pal_lock_s* other = nullptr;
    EXPECT_EQ(pal_lock_init("y_lock", &other), -1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(read_file(target), "keep");
    EXPECT_EQ(pal_lock_init(nullptr, &other), -1);
}

TEST(PalLogTest, LevelsAndEnableFlag) {
    testing::internal::CaptureStdout();
    pal_log(3, "hidden %d", 1);
    pal_log(1, "error %d", 2);
    pal_log(2, "warning");
    pal_log(0, "never");
    pal_set_log_enable(1);
    pal_log(5, "debug");
    pal_log(6, "never");
    pal_set_log_enable(0);
    pal_log(4, "hidden again");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Pal-trace error 2\nPal-trace warning\nPal-trace debug\n");
}

TEST(PalLogTest, RegisteredModuleIdRoutesToTheModuleLogger) {
    talon_test::capture_log_start();
    logger_register_module_id(12);
    pal_log(1, "to module %s", "logger");
    auto lines = talon_test::log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mod_id, 12u);
    EXPECT_EQ(lines[0].level, trace_level_err);
    EXPECT_EQ(lines[0].text, "Pal-trace to module logger");
    logger_init(nullptr);
}

}  // namespace
