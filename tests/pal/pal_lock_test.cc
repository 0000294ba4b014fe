#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "sdk/platform/pal/include/locks.hpp"
#include "tests/pal/pal_test.hpp"

using test_support::read_file;

namespace {

int wait_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// One direction of a pipe between the test and a child; every wait is bounded.
struct channel {
    int fds[2] = {-1, -1};
    channel() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
    ~channel() { close(fds[0]), close(fds[1]); }
    void send(char c) const { EXPECT_EQ(write(fds[1], &c, 1), 1); }
    // The next byte, or 0 when none comes within timeout_ms.
    char receive(int timeout_ms) const {
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        return poll(&p, 1, timeout_ms) == 1 && read(fds[0], &c, 1) == 1 ? c : 0;
    }
};

constexpr int k_wait_ms = 5000;
constexpr int k_held_probe_ms = 300;

class PalLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(shm_);
        std::filesystem::create_directories(tmp_);
        pal_lock_set_dirs(shm_.c_str(), tmp_.c_str(), (root_ + "/share").c_str());
    }
    // Forks a child running `fn`; its result is the child's exit status.
    template <typename Fn>
    pid_t spawn(Fn fn) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            _exit(fn());
        }
        return pid;
    }
    // Another process that maps the lock `held` (locked here) takes it only
    // once this process unlocks it, and the unlock succeeds.
    void expect_held_off_until_unlocked(const char* name, pal_lock_s* held) {
        channel got;
        pid_t other = spawn([&] {
            pal_lock_s* l = nullptr;
            return pal_lock_init(name, &l) || pal_lock(l) || pal_unlock(l) ? 1 : (got.send('x'), 0);
        });
        EXPECT_EQ(got.receive(k_held_probe_ms), 0) << name << ": another process got the held lock";
        EXPECT_EQ(pal_unlock(held), 0);
        const bool taken = got.receive(k_wait_ms) == 'x';
        EXPECT_TRUE(taken) << name << ": the lock was not taken once let go";
        if (!taken) {
            kill(other, SIGKILL);  // still waiting for it
        }
        EXPECT_EQ(wait_status(other), 0) << name;
    }
    test_support::temp_dir dir_;
    std::string root_ = dir_.path();
    std::string shm_ = root_ + "/shm", tmp_ = root_ + "/tmp";
};

// Whether the dead holder created the record or found it, the next process
// to lock recovers the lock (which is recursive), and holds other processes
// off until it lets go.
TEST_F(PalLockTest, LockOfAProcessThatDiedHoldingItIsRecovered) {
    for (const bool holder_creates : {true, false}) {
        const char* name = holder_creates ? "t_crash_lock" : "t_native_lock";
        pal_lock_s* lock = nullptr;
        if (!holder_creates) {
            ASSERT_EQ(pal_lock_init(name, &lock), 0);
        }
        // The holder takes the lock and dies holding it.
        pid_t holder = spawn([&] { return pal_lock_init(name, &lock) || pal_lock(lock) || raise(SIGKILL); });
        ASSERT_TRUE(WIFSIGNALED(wait_status(holder)));
        ASSERT_EQ(pal_lock_init(name, &lock), 0);
        EXPECT_EQ(lock->compat, k_pal_lock_native);  // the creator's kind stays in the record
        testing::internal::CaptureStderr();
        EXPECT_EQ(pal_lock(lock), 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(pal_lock(lock), 0);
        EXPECT_EQ(pal_unlock(lock), 0);
        expect_held_off_until_unlocked(name, lock);
    }
}

// A process that chose the legacy file lock keeps it when a later process
// maps the same record: the two exclude each other, the first one's unlock
// succeeds and releases its file lock. Only the exact legacy names use it,
// and a legacy file planted as a symlink is not followed.
TEST_F(PalLockTest, LegacyFileLockHoldsAcrossProcessesThatInitialiseLaterAndNeverFollowsASymlink) {
    std::ofstream(tmp_ + "/.pal_sbus.lck").close();
    EXPECT_EQ(pal_check_compat("sbus0_lock"), k_pal_lock_native);
    pal_lock_s* held = nullptr;
    ASSERT_EQ(pal_lock_init("sbus_lock", &held), 0);
    EXPECT_EQ(held->compat, k_pal_lock_compat_sbus);
    ASSERT_EQ(pal_lock(held), 0);
    expect_held_off_until_unlocked("sbus_lock", held);

    const std::string target = root_ + "/victim";
    std::ofstream(target) << "keep";
    std::filesystem::create_symlink(target, tmp_ + "/.pal_mem.lck");
    pal_lock_s* lock = nullptr;
    ASSERT_EQ(pal_lock_init("mem_lock", &lock), 0);
    EXPECT_EQ(lock->compat, k_pal_lock_compat_mem);
    EXPECT_EQ(pal_lock(lock), -1);
    EXPECT_EQ(read_file(target), "keep");
}

}  // namespace
