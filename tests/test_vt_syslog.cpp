// Log objects, locks and the failure reporters.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_test_util.h"

namespace {

struct Delivery {
    std::string text;
    unsigned level;
};

void collect_cb(const char *text, size_t length, void *user, unsigned level)
{
    static_cast<std::vector<Delivery> *>(user)->push_back({std::string(text, length), level});
}

// Installs a collecting syserr for the test's lifetime.
class SyserrCollector {
public:
    SyserrCollector()
    {
        saved_ = syserr;
        syserr = nullptr;
        EXPECT_EQ(vt_syslog_init_cb(&syserr, collect_cb, &messages), 0);
    }
    ~SyserrCollector()
    {
        vt_syslog_deit(&syserr);
        syserr = saved_;
    }
    std::vector<Delivery> messages;

private:
    vt_syslog *saved_;
};

TEST(Syserr, MessageReportIsByteExactAtLevelZero)
{
    SyserrCollector sink;
    EXPECT_EQ(syserr_msg_log("vt-core/vt_misc", "vt_create_pid", 814, "%s", "invalid pid file path"), 1);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text,
              "[syserr]: vt-core/vt_misc (vt_create_pid:814); invalid pid file path.\n");
    EXPECT_EQ(sink.messages[0].level, 0u);
}

TEST(Syserr, SourceNameComesFromTheFilePath)
{
    SyserrCollector sink;
    int line = __LINE__ + 1;
    EXPECT_EQ(VT_ERR("failed to %s", "test"), 1);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, "[syserr]: tests/test_vt_syslog (TestBody:" + std::to_string(line) +
                                         "); failed to test.\n");
}

TEST(Syserr, SystemCallReportAddsErrnoLinesOnlyWhenSet)
{
    SyserrCollector sink;
    errno = 2;
    EXPECT_EQ(syserr_win_log("src", "fn", 7, "failed to open %s", "x"), 1);
    errno = 0;
    EXPECT_EQ(syserr_win_log("src", "fn", 8, "failed to open %s", "y"), 1);
    ASSERT_EQ(sink.messages.size(), 2u);
    EXPECT_EQ(sink.messages[0].text, std::string("[syserr]: src (fn:7); failed to open x.\n"
                                                 "[syserr]: -> Error Number: 2\n"
                                                 "[syserr]: -> Description: ") +
                                         strerror(2) + "\n");
    EXPECT_EQ(sink.messages[1].text, "[syserr]: src (fn:8); failed to open y.\n");
}

TEST(Syserr, NilCheckReportsFirstAbsentPointer)
{
    SyserrCollector sink;
    int a = 0, c = 0;
    EXPECT_EQ(syserr_nil_log("src", "fn", 3, 3, &a, nullptr, &c), 1);
    EXPECT_EQ(syserr_nil_log("src", "fn", 4, 3, &a, &a, &c), 0);
    EXPECT_EQ(syserr_nil_log("src", "fn", 5, 0), 0);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, "[syserr]: src (fn:3); detected invalid reference for argument 2.\n");
}

TEST(Syserr, EmptyMessageIsNotDeliveredAndReportersStillFail)
{
    SyserrCollector sink;
    vt_syslog *log = nullptr;
    std::vector<Delivery> own;
    ASSERT_EQ(vt_syslog_init_cb(&log, collect_cb, &own), 0);
    EXPECT_EQ(vt_syslog_log(log, 2, "%s", ""), 1);
    EXPECT_TRUE(own.empty());
    EXPECT_EQ(vt_syslog_log(log, 2, "x%d", 1), 0);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].text, "x1");
    EXPECT_EQ(own[0].level, 2u);
    vt_syslog_deit(&log);
    EXPECT_EQ(log, nullptr);

    ASSERT_EQ(vt_syslog_set_callback(syserr, vt_syslog_empty_cb, nullptr), 0);
    EXPECT_EQ(syserr_msg_log("s", "f", 1, "quiet"), 1);
    EXPECT_TRUE(sink.messages.empty());
}

TEST(Syslog, InitRefusesBadArguments)
{
    vt_syslog *log = nullptr;
    EXPECT_EQ(vt_syslog_init_cb(nullptr, vt_syslog_empty_cb, nullptr), 1);
    EXPECT_EQ(vt_syslog_init_cb(&log, nullptr, nullptr), 1);
    ASSERT_EQ(vt_syslog_init_cb(&log, vt_syslog_empty_cb, nullptr), 0);
    vt_syslog *kept = log;
    EXPECT_EQ(vt_syslog_init_cb(&log, vt_syslog_empty_cb, nullptr), 1);
    EXPECT_EQ(log, kept);
    vt_syslog_deit(&log);
    EXPECT_EQ(vt_syslog_deit(&log), 1);
}

TEST(Syslog, FileLogAppendsToAnExistingFileOnly)
{
    vt_test::TempDir dir;
    vt_syslog *log = nullptr;
    EXPECT_EQ(vt_syslog_init_path(&log, dir.file("missing").c_str()), 1);
    EXPECT_EQ(log, nullptr);

    vt_test::write_file(dir.file("log"), "old\n");
    ASSERT_EQ(vt_syslog_init_path(&log, (dir.path() + "/./log").c_str()), 0);
    EXPECT_EQ(std::string(log->path->text), dir.file("log"));
    EXPECT_EQ(vt_syslog_log(log, 2, "new %d\n", 5), 0);
    EXPECT_EQ(vt_test::read_file(dir.file("log")), "old\nnew 5\n");
    vt_syslog_deit(&log);
}

TEST(Syslog, StandardErrorLogLeavesStderrOpen)
{
    vt_syslog *log = nullptr;
    ASSERT_EQ(vt_syslog_init_path(&log, nullptr), 0);
    EXPECT_STREQ(log->path->text, "stderr");
    EXPECT_EQ(log->stream, stderr);
    vt_syslog_deit(&log);
    struct stat st;
    EXPECT_EQ(fstat(STDERR_FILENO, &st), 0);
    EXPECT_NE(fputs("", stderr), EOF);
}

TEST(Syslog, StdoutCallbackRoutesByLevel)
{
    // A child logs both levels onto two pipes standing in for its streams.
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        vt_syslog *log = nullptr;
        vt_syslog_init_cb(&log, vt_syslog_stdout_cb, nullptr);
        vt_syslog_log(log, 0, "error\n");
        vt_syslog_log(log, 2, "output\n");
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    char buf[64] = {};
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "output\n");
    n = read(err[0], buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "error\n");
    close(out[0]);
    close(err[0]);
    int status;
    waitpid(pid, &status, 0);
}

TEST(Lock, InitOnOccupiedSlotKeepsTheMutex)
{
    vt_lock *lock = nullptr;
    ASSERT_EQ(vt_lock_init(&lock), 0);
    vt_lock *kept = lock;
    EXPECT_EQ(vt_lock_init(&lock), 1);
    EXPECT_EQ(lock, kept);
    EXPECT_EQ(vt_lock_acquire(lock), 0);
    EXPECT_EQ(vt_lock_release(lock), 0);
    EXPECT_EQ(vt_lock_deit(&lock), 0);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(vt_lock_deit(&lock), 1);
}

} // namespace
