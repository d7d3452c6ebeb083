// Process and path services: date texts, the platform string, the three
// processes of the daemon split, path checks, pid files, socket paths with their
// directory override, and subject address completion.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "vt_misc.h"
#include "vt_string.h"
#include "vt_test_util.h"

namespace {

using namespace std::chrono_literals;
using vt_test::SyserrCapture;
using vt_test::TempDir;

// A counted string that frees itself.
struct OwnedString {
    vt_string value{};
    OwnedString() = default;
    explicit OwnedString(const std::string &text) { vt_string_copy(&value, text.data(), text.size()); }
    ~OwnedString() { vt_string_free(&value); }
    std::string str() const { return value.text ? std::string(value.text, value.length) : ""; }
};

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, std::optional<std::string> value) : name_(name)
    {
        if (const char *old = getenv(name))
            saved_ = old;
        apply(value);
    }
    ~ScopedEnv() { apply(saved_); }

private:
    void apply(const std::optional<std::string> &value)
    {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
        tzset();
    }
    const char *name_;
    std::optional<std::string> saved_;
};

std::string report_line(const std::string &message)
{
    return "; " + message + ".\n";
}

// --- times and dates ---

TEST(TimeTest, SystemTimeCountsWholeSecondsSince1601)
{
    const time_t before = time(nullptr);
    uint64_t now = 0;
    EXPECT_EQ(vt_get_system_time(&now), 0);
    const time_t after = time(nullptr);
    EXPECT_EQ(now % 10000000ULL, 0u);
    const auto seconds = time_t(now / 10000000ULL) - time_t(11644473600LL);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
}

struct DateCase {
    uint64_t time;
    const char *text;
};

class SystemDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(SystemDateTest, FormatsTheWholeSecondInUtc)
{
    char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_acquire_system_date(GetParam().time, &text, &length), 0);
    EXPECT_STREQ(text, GetParam().text);
    EXPECT_EQ(length, strlen(GetParam().text));
    free(text);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, SystemDateTest,
    ::testing::Values(DateCase{116444736000000000ULL, "1970-01-01T00:00:00Z"},
                      DateCase{116444736009999999ULL, "1970-01-01T00:00:00Z"},
                      DateCase{132249519000000000ULL, "2020-01-31T13:45:00Z"},
                      DateCase{0, "1601-01-01T00:00:00Z"}));

TEST(LocalDateTest, FollowsTheTimeZoneAndStillWritesZ)
{
    struct {
        const char *zone;
        const char *text;
    } const cases[] = {{"UTC0", "1970-01-01T00:00:00Z"}, {"EST5", "1969-12-31T19:00:00Z"}};
    for (const auto &c : cases) {
        ScopedEnv zone("TZ", std::string(c.zone));
        char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_acquire_local_date(116444736000000000ULL, &text, &length), 0) << c.zone;
        EXPECT_STREQ(text, c.text) << c.zone;
        EXPECT_EQ(length, 20u);
        free(text);
    }
}

// --- platform string ---

TEST(PlatformTest, IsReleaseColonNameDashMachine)
{
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    OwnedString platform;
    ASSERT_EQ(vt_get_platform_string(&platform.value), 0);
    const std::string text = platform.str();
    EXPECT_EQ(text, std::string(names.release) + ":" + names.sysname + "-" + names.machine);
    EXPECT_EQ(platform.value.length, text.size());
}

TEST(PlatformTest, RefusesAFilledStringAndKeepsIt)
{
    OwnedString platform("kept");
    SyserrCapture capture;
    EXPECT_EQ(vt_get_platform_string(&platform.value), 1);
    EXPECT_EQ(platform.str(), "kept");
    EXPECT_NE(capture.text().find(report_line("failed to create platform string")), std::string::npos);
}

// --- daemon ---

// In the daemon: whether descriptors 0 to 2 are /dev/null, the directory, the
// mask and the session, written to `report` (renamed into place when complete).
[[noreturn]] void report_daemon_state(const std::string &report)
{
    struct stat null_status{};
    stat("/dev/null", &null_status);
    char fds[4] = "---";
    for (int fd = 0; fd < 3; ++fd) {
        struct stat status{};
        const bool is_null = fstat(fd, &status) == 0 && status.st_dev == null_status.st_dev &&
                             status.st_ino == null_status.st_ino;
        fds[fd] = is_null ? 'y' : 'n';
    }
    char cwd[256] = "?";
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '?';
    const mode_t mask = umask(0);
    char text[512];
    const int length = snprintf(text, sizeof text, "%s %s %o %d %d\n", fds, cwd, unsigned(mask),
                                int(getpid()), int(getsid(0)));
    const std::string partial = report + ".part";
    const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0 && write(fd, text, size_t(length)) == length && close(fd) == 0)
        rename(partial.c_str(), report.c_str());
    _exit(0);
}

TEST(DaemonTest, SplitsIntoCallerIntermediateAndDaemonOnDevNull)
{
    TempDir dir;
    const std::string report = dir.file("daemon");
    const int result = upgrade_daemon();
    if (result == 1)
        _exit(42); // the intermediate process tells its result through its exit status
    if (result == 0)
        report_daemon_state(report);
    ASSERT_EQ(result, -1);

    int status = 0;
    pid_t ended = 0;
    for (int round = 0; round < 3000 && ended == 0; ++round) {
        ended = waitpid(-1, &status, WNOHANG);
        if (ended == 0)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(ended, 0) << "the intermediate process did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);

    std::string text;
    for (int round = 0; round < 3000 && text.empty(); ++round) {
        text = vt_test::read_file(report);
        if (text.empty())
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(text.empty()) << "the daemon did not report";
    char fds[8] = {}, cwd[256] = {};
    unsigned mask = 0;
    int pid = 0, sid = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%7s %255s %o %d %d", fds, cwd, &mask, &pid, &sid), 5) << text;
    EXPECT_STREQ(fds, "yyy") << "descriptors 0, 1 and 2 must all be /dev/null";
    EXPECT_STREQ(cwd, "/");
    EXPECT_EQ(mask, 0u);
    EXPECT_NE(sid, int(getsid(0))) << "the daemon must be in a session of its own";
    EXPECT_NE(sid, pid) << "the daemon must not lead its session";
}

// --- paths ---

struct EmptyPathCase {
    const char *name;
    void (*prepare)(const std::string &path);
    const char *message; // null when the path counts as empty
};

class EmptyPathTest : public ::testing::TestWithParam<EmptyPathCase> {};

TEST_P(EmptyPathTest, ReportsWhyAPathIsNotAnEmptyDirectory)
{
    TempDir dir;
    const std::string path = dir.file("subject");
    GetParam().prepare(path);
    SyserrCapture capture;
    const int result = vt_is_path_empty(path.c_str());
    if (!GetParam().message) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(capture.text(), "");
        return;
    }
    EXPECT_EQ(result, 1);
    const std::string expected = "; " + std::string(GetParam().message) + " -- " + path + ".\n";
    EXPECT_NE(capture.text().find(expected), std::string::npos) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EmptyPathTest,
    ::testing::Values(
        EmptyPathCase{"EmptyDirectory", [](const std::string &p) { mkdir(p.c_str(), 0700); }, nullptr},
        EmptyPathCase{"DirectoryWithFile",
                      [](const std::string &p) {
                          mkdir(p.c_str(), 0700);
                          vt_test::write_file(p + "/file", "x");
                      },
                      "path is not empty"},
        EmptyPathCase{"DirectoryWithDirectory",
                      [](const std::string &p) {
                          mkdir(p.c_str(), 0700);
                          mkdir((p + "/inner").c_str(), 0700);
                      },
                      "path is not empty"},
        EmptyPathCase{"RegularFile", [](const std::string &p) { vt_test::write_file(p, "x"); },
                      "path is not a directory"},
        EmptyPathCase{"LinkToEmptyDirectory",
                      [](const std::string &p) {
                          mkdir((p + ".target").c_str(), 0700);
                          symlink((p + ".target").c_str(), p.c_str());
                      },
                      "path is not a directory"},
        EmptyPathCase{"Missing", [](const std::string &) {}, "path does not exist"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SocketPathTest, UsesTheSocketDirectoryAndTheCallersPid)
{
    const std::string suffix = "/vantrel-socket-" + std::to_string(getpid());
    struct {
        std::optional<std::string> value;
        std::string directory;
    } const cases[] = {{std::nullopt, "/tmp"}, {std::string(""), "/tmp"}, {std::string("/run/x"), "/run/x"}};
    for (const auto &c : cases) {
        ScopedEnv env("VANTREL_SOCKET_DIR", c.value);
        EXPECT_STREQ(vt_socket_dir(), c.directory.c_str());
        OwnedString path;
        ASSERT_EQ(vt_socket_path(&path.value), 0);
        EXPECT_EQ(path.str(), c.directory + suffix);
    }
}

TEST(SocketPathTest, RefusesAFilledString)
{
    OwnedString path("kept");
    SyserrCapture capture;
    EXPECT_EQ(vt_socket_path(&path.value), 1);
    EXPECT_EQ(path.str(), "kept");
    EXPECT_NE(capture.text().find("; failed to copy path -- "), std::string::npos);
}

TEST(StateDirTest, DefaultsToTheStateRootUnlessOverridden)
{
    {
        ScopedEnv env("VANTREL_STATE_DIR", std::nullopt);
        EXPECT_STREQ(vt_state_dir(), "/var/lib/vantrel");
    }
    {
        ScopedEnv env("VANTREL_STATE_DIR", std::string("/srv/state"));
        EXPECT_STREQ(vt_state_dir(), "/srv/state");
    }
}

TEST(AbsolutePathTest, ResolvesLinksAndDotDot)
{
    TempDir dir;
    char *real_root = realpath(dir.path().c_str(), nullptr);
    ASSERT_NE(real_root, nullptr);
    const std::string root = real_root;
    free(real_root);
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("a/b").c_str(), 0700), 0);
    ASSERT_EQ(symlink("a/b", dir.file("link").c_str()), 0);
    OwnedString path;
    ASSERT_EQ(vt_absolute_path(&path.value, dir.file("link/../b/./").c_str()), 0);
    EXPECT_EQ(path.str(), root + "/a/b");
}

TEST(AbsolutePathTest, HandlesPathsLongerThan1024Bytes)
{
    TempDir dir;
    std::string path = dir.path();
    while (path.size() <= 1200) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    OwnedString resolved;
    ASSERT_EQ(vt_absolute_path(&resolved.value, path.c_str()), 0);
    EXPECT_GT(resolved.value.length, 1200u);
    EXPECT_EQ(resolved.str().substr(resolved.str().size() - 200), std::string(200, 'd'));
}

TEST(AbsolutePathTest, ReportsAMissingPath)
{
    TempDir dir;
    const std::string missing = dir.file("missing");
    OwnedString path;
    SyserrCapture capture;
    EXPECT_EQ(vt_absolute_path(&path.value, missing.c_str()), 1);
    EXPECT_EQ(path.value.text, nullptr);
    EXPECT_NE(capture.text().find(report_line("failed to resolve '" + missing + "' to absolute path")),
              std::string::npos)
        << capture.text();
}

// --- pid files ---

class PidFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.file("pid");
    OwnedString path{file};
};

TEST_F(PidFileTest, CreateOverALongerNumberLeavesOurPidAndABlankFirst)
{
    vt_test::write_file(file, "123456789 ");
    ASSERT_EQ(vt_create_pid(&path.value), 0);
    const std::string mine = std::to_string(getpid()) + " ";
    EXPECT_EQ(vt_test::read_file(file).substr(0, mine.size()), mine);
    uint64_t pid = 0;
    ASSERT_EQ(vt_query_pid(&path.value, &pid), 0);
    EXPECT_EQ(pid, uint64_t(getpid()));
}

TEST_F(PidFileTest, CreatedWithMode0755AndRemoved)
{
    const mode_t mask = umask(022);
    ASSERT_EQ(vt_create_pid(&path.value), 0);
    umask(mask);
    struct stat status{};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755u);
    ASSERT_EQ(vt_remove_pid(&path.value), 0);
    EXPECT_NE(access(file.c_str(), F_OK), 0);

    SyserrCapture capture;
    EXPECT_EQ(vt_remove_pid(&path.value), 1);
    EXPECT_NE(capture.text().find("; failed to remove pid file path -- " + file + ".\n"), std::string::npos);
}

TEST_F(PidFileTest, EmptyPathIsRefused)
{
    OwnedString empty;
    SyserrCapture capture;
    EXPECT_EQ(vt_create_pid(&empty.value), 1);
    EXPECT_EQ(vt_remove_pid(&empty.value), 1);
    std::string text = capture.text();
    const std::string line = report_line("invalid pid file path");
    const size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(line, first + 1), std::string::npos) << "both calls report";
}

struct QueryCase {
    const char *name;
    std::optional<std::string> content; // nullopt: no file
    const char *message;                // null: parses to `pid`
    uint64_t pid;
};

class PidQueryTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(PidQueryTest, ReadsTheLeadingNumberOrReports)
{
    TempDir dir;
    const std::string file = dir.file("pid");
    if (GetParam().content)
        vt_test::write_file(file, *GetParam().content);
    OwnedString path(file);
    uint64_t pid = 0;
    SyserrCapture capture;
    const int result = vt_query_pid(&path.value, &pid);
    if (!GetParam().message) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(pid, GetParam().pid);
        return;
    }
    EXPECT_EQ(result, 1);
    const std::string expected = "; " + std::string(GetParam().message) + "; " + file + ".\n";
    EXPECT_NE(capture.text().find(expected), std::string::npos) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    Files, PidQueryTest,
    ::testing::Values(QueryCase{"Number", std::string("4242 "), nullptr, 4242},
                      QueryCase{"NumberWithOldTail", std::string("77 456789 "), nullptr, 77},
                      QueryCase{"LeadingBlanks", std::string("  15\n"), nullptr, 15},
                      QueryCase{"Empty", std::string(""), "failed to read pid file", 0},
                      QueryCase{"Missing", std::nullopt, "failed to open pid file", 0},
                      QueryCase{"NotANumber", std::string("abc "), "failed to parse pid file", 0},
                      QueryCase{"TooLarge", std::string("99999999999999999999999 "),
                                "failed to parse pid file", 0}),
    [](const auto &info) { return std::string(info.param.name); });

// --- subject addresses ---

struct UrlCase {
    const char *name;
    const char *address;
    int result;
    const char *completed;
};

class UrlResolveTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UrlResolveTest, CompletesTheMissingPortAndPath)
{
    OwnedString address(GetParam().address);
    SyserrCapture capture;
    EXPECT_EQ(vt_url_resolve(&address.value, "3262", "sub"), GetParam().result);
    EXPECT_EQ(address.str(), GetParam().completed);
    EXPECT_EQ(address.value.length, strlen(GetParam().completed));
    EXPECT_EQ(capture.text(), "") << "resolution failures are the caller's to report";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UrlResolveTest,
    ::testing::Values(UrlCase{"BareHost", "localhost", 0, "localhost:3262/sub"},
                      UrlCase{"HostAndPort", "localhost:5000", 0, "localhost:5000/sub"},
                      UrlCase{"HostAndPath", "localhost/abc", 0, "localhost:3262/abc"},
                      UrlCase{"Complete", "localhost:5000/abc", 0, "localhost:5000/abc"},
                      UrlCase{"EmptyPortAndPath", "localhost:/", 0, "localhost:3262/sub"},
                      UrlCase{"Address", "127.0.0.1", 0, "127.0.0.1:3262/sub"},
                      UrlCase{"Ipv6Literal", "::1", 0, "::1:3262/sub"},
                      UrlCase{"Ipv6LiteralWithPath", "::1/abc", 0, "::1:3262/abc"},
                      UrlCase{"Ipv6LinkLocal", "fe80::1", 0, "fe80::1:3262/sub"},
                      UrlCase{"Unresolvable", "no-such-host.invalid", 1, "no-such-host.invalid"},
                      UrlCase{"UnresolvableWithPort", "no-such-host.invalid:5000", 1,
                              "no-such-host.invalid:5000"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
