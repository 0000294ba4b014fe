#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "utils/sys/env_roots.hpp"
#include "utils/sys/mapped_file.hpp"
#include "utils/sys/stdio_file.hpp"
#include "utils/sys/unique_fd.hpp"

namespace fs = std::filesystem;

namespace {

bool fd_open(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

bool close_on_exec(int fd)
{
    int flags = ::fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

class sys_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/t_utils_sys.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string &name, const std::string &content) const
    {
        std::string p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    static std::string slurp(const std::string &p)
    {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    fs::path dir_;
};

TEST_F(sys_test, unique_fd_closes_once_and_moves_ownership)
{
    const std::string p = file("a", "x");
    utils::unique_fd a = utils::open_fd(p, O_RDONLY);
    ASSERT_TRUE(a);
    const int raw = a.get();
    EXPECT_TRUE(close_on_exec(raw));

    utils::unique_fd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
    b = utils::unique_fd();  // move-assignment closes what b held
    EXPECT_FALSE(fd_open(raw));

    // Closing keeps the errno of the call that failed before it.
    utils::unique_fd c = utils::open_fd(p, O_RDONLY);
    ASSERT_TRUE(c);
    errno = ENOSPC;
    c.reset();
    EXPECT_EQ(errno, ENOSPC);

    // A released descriptor stays open.
    utils::unique_fd d = utils::open_fd(p, O_RDONLY);
    const int kept = d.release();
    d.reset();
    EXPECT_TRUE(fd_open(kept));
    ::close(kept);

    utils::unique_fd missing = utils::open_fd((dir_ / "none").string(), O_RDONLY);
    EXPECT_FALSE(missing);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(sys_test, open_file_follows_fopen_modes_with_close_on_exec)
{
    const std::string p = file("log", "one\n");
    {
        utils::unique_file f = utils::open_file(p, "a");
        ASSERT_TRUE(f);
        EXPECT_TRUE(close_on_exec(::fileno(f.get())));
        std::fputs("two\n", f.get());
    }
    EXPECT_EQ(slurp(p), "one\ntwo\n");
    {
        utils::unique_file f = utils::open_file(p, "r");
        ASSERT_TRUE(f);
        EXPECT_TRUE(close_on_exec(::fileno(f.get())));
        char line[8] = {};
        ASSERT_NE(std::fgets(line, sizeof(line), f.get()), nullptr);
        EXPECT_STREQ(line, "one\n");
        EXPECT_EQ(std::fputs("no", f.get()), EOF);  // read-only
    }
    {
        utils::unique_file f = utils::open_file(p, "wb");
        ASSERT_TRUE(f);
    }
    EXPECT_EQ(slurp(p), "");
    {
        utils::unique_file f = utils::open_file(p, "r+");
        ASSERT_TRUE(f);
        EXPECT_NE(std::fputs("rw", f.get()), EOF);
    }
    EXPECT_EQ(slurp(p), "rw");

    EXPECT_FALSE(utils::open_file((dir_ / "none").string(), "r"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(utils::open_file(p, "x"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(utils::open_file(p, ""));
}

TEST_F(sys_test, command_pipe_reads_output_and_reports_exit_status)
{
    utils::command_pipe ok("printf 'a\\nb\\n'");
    ASSERT_TRUE(ok.ok());
    EXPECT_TRUE(close_on_exec(::fileno(ok.get())));
    char line[8];
    ASSERT_TRUE(ok.read_line(line, sizeof(line)));
    EXPECT_STREQ(line, "a\n");
    ASSERT_TRUE(ok.read_line(line, sizeof(line)));
    EXPECT_FALSE(ok.read_line(line, sizeof(line)));
    EXPECT_TRUE(ok.close());
    EXPECT_FALSE(ok.close());  // already closed
    EXPECT_FALSE(ok.read_line(line, sizeof(line)));

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
    EXPECT_TRUE(probe.close());
    EXPECT_TRUE(utils::run_program({"sh", "-c", "[ ! -e /proc/$$/fd/" + fd + " ]"}));
    EXPECT_FALSE(utils::run_program({"sh", "-c", "exit 3"}));
    EXPECT_FALSE(utils::run_program({"no-such-program-here"}));
}

TEST_F(sys_test, mapping_is_shared_and_a_failed_map_keeps_the_old_one)
{
    const std::string p = file("bar", std::string(4096, '\0'));
    utils::unique_fd fd = utils::open_fd(p, O_RDWR);
    ASSERT_TRUE(fd);
    utils::mapped_file m;
    ASSERT_TRUE(m.map(fd.get(), 4096));
    EXPECT_EQ(m.size(), 4096u);
    fd.reset();  // the mapping keeps the file
    m.data()[10] = 'z';

    // A map that fails leaves the current mapping usable.
    uint8_t *const old = m.data();
    EXPECT_FALSE(m.map(-1, 4096));
    EXPECT_EQ(errno, EBADF);
    ASSERT_EQ(m.data(), old);
    m.data()[11] = 'y';

    // Moving transfers the mapping; the source is empty.
    utils::mapped_file n(std::move(m));
    EXPECT_FALSE(m.mapped());
    EXPECT_EQ(n.data(), old);
    n.reset();
    EXPECT_FALSE(n.mapped());
    EXPECT_EQ(slurp(p).substr(10, 2), "zy");
}

TEST(env_roots, default_and_override)
{
    const char *sys = std::getenv("TALON_SYSFS_DIR");
    const char *dev = std::getenv("TALON_DEV_DIR");
    const std::string saved_sys = sys != nullptr ? sys : "";
    const std::string saved_dev = dev != nullptr ? dev : "";

    ::unsetenv("TALON_SYSFS_DIR");
    ::setenv("TALON_DEV_DIR", "", 1);  // empty counts as unset
    EXPECT_EQ(utils::sysfs_root(), "/sys");
    EXPECT_EQ(utils::dev_root(), "/dev");
    ::setenv("TALON_SYSFS_DIR", "/tmp/emu/sys", 1);
    ::setenv("TALON_DEV_DIR", "/tmp/emu/dev", 1);
    EXPECT_EQ(utils::sysfs_root(), "/tmp/emu/sys");
    EXPECT_EQ(utils::dev_root(), "/tmp/emu/dev");

    for (auto [name, value] : {std::pair{"TALON_SYSFS_DIR", &saved_sys}, {"TALON_DEV_DIR", &saved_dev}}) {
        if (value->empty()) {
            ::unsetenv(name);
        } else {
            ::setenv(name, value->c_str(), 1);
        }
    }
}

}  // namespace
