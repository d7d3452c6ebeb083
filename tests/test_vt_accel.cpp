// End-to-end tests of vt_accel: the real program with its state in a temporary
// directory, the subject cache written in its file format, and real FUSE mounts of
// a target served by vt_agent on loopback.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <functional>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vt_string.h"
#include "vt_test_agent.h"
#include "vt_test_pid.h"
#include "vt_test_util.h"

using vt_test::RunResult;
using vt_test::TempDir;

namespace {

constexpr const char kVersion[] = "8.0.0.57";
constexpr const char kUser[] = "examiner";
constexpr const char kPassword[] = "s3cret-pass";

std::string system_name()
{
    utsname system{};
    uname(&system);
    return strcmp(system.sysname, "Darwin") == 0 ? "OSX" : system.sysname;
}

std::string banner()
{
    return "Vantrel " + system_name() + " Examiner " + kVersion + " Accelerator Edition\n";
}

std::string b64(const std::vector<uint8_t> &bytes)
{
    char *text = nullptr;
    size_t length = 0;
    if (vt_b64_encode_new_(bytes.data(), bytes.size(), &text, &length))
        return {};
    std::string out(text, length);
    free(text);
    return out;
}

// 8 bytes of value, most significant first (the cache files' number form).
std::string b64_be(uint64_t value)
{
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i)
        bytes[i] = uint8_t(value >> (56 - 8 * i));
    return b64(bytes);
}

std::string b64_le(uint64_t value)
{
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
    return b64(bytes);
}

// A state root and a socket directory of their own for every test.
class AccelTest : public ::testing::Test {
protected:
    AccelTest()
        : state_(dir_.file("state")), sockets_(dir_.file("sock")), mounts_(dir_.file("mnt"))
    {
        for (const std::string &path : {state_, sockets_, mounts_, state_ + "/cache"})
            mkdir(path.c_str(), 0755);
    }

    RunResult accel(std::vector<std::string> args, const std::string &input = "")
    {
        args.insert(args.begin(), vt_test::program("vt_accel"));
        return vt_test::run(args, input, env());
    }

    std::vector<std::string> env() const
    {
        return {"VANTREL_STATE_DIR=" + state_, "VANTREL_SOCKET_DIR=" + sockets_};
    }

    std::string cache_dir(const std::string &uuid) const { return state_ + "/cache/" + uuid; }

    // Writes a subject's "subject" and "targets" files in the cache format.
    void cache_subject(const std::string &uuid, const std::string &hostname,
                       const std::string &address, const std::string &port,
                       const std::string &targets_json)
    {
        const std::string dir = cache_dir(uuid);
        mkdir(dir.c_str(), 0755);
        vt_test::write_file(dir + "/subject",
                            "{\"address\": \"" + address + "\", \"hostname\": \"" + hostname +
                                "\", \"module\": 3, \"path\": \"/sub\", \"platform\": \"6.1:Linux-x86_64\", "
                                "\"port\": \"" + port + "\", \"seconds\": \"" + b64_be(16) +
                                "\", \"subject_type\": 6, \"time\": null, \"uuid\": \"" + uuid +
                                "\", \"version\": \"2.4\"}");
        vt_test::write_file(dir + "/targets", "{\"targets\": [" + targets_json + "]}");
    }

    static std::string target_entry(const std::string &name, int id, uint64_t block_count)
    {
        return "{\"block_count\": \"" + b64_be(block_count) + "\", \"block_size\": 512, \"id\": " +
               std::to_string(id) + ", \"name\": \"" + name + "\", \"type\": 2}";
    }

    // Records a mount of target id: pid file (with the given pid) and path file.
    void record_mount(const std::string &uuid, int id, pid_t pid, const std::string &path)
    {
        const std::string dir = cache_dir(uuid) + "/" + std::to_string(id);
        mkdir(dir.c_str(), 0755);
        vt_test::write_file(dir + "/pid", std::to_string(pid) + " ");
        vt_test::write_file(dir + "/path", path);
    }

    TempDir dir_;
    std::string state_, sockets_, mounts_;
};

// ---- command line ----

TEST_F(AccelTest, HelpPrintsUsageAndRunsNothing)
{
    RunResult r = accel({"-h", "mount"});
    EXPECT_EQ(r.status, 0);
    const std::string head = "Vantrel " + system_name() + " Accelerator " + kVersion + "\n" +
                             "Consult manual page for addition details.\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    for (const char *line : {"vt_accel umount -s <subject> -t <target>\n", "vt_accel cache\n",
                             "vt_accel active [--json]\n",
                             "vt_accel cache  -s <subject> --json\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    EXPECT_EQ(r.out.find("Examiner"), std::string::npos);
    EXPECT_EQ(accel({"--help"}).out, r.out);
}

TEST_F(AccelTest, MissingAndInvalidCommands)
{
    RunResult none = accel({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "Missing command; specify -h or --help for available commands and usage.\n");

    RunResult frob = accel({"frob"});
    EXPECT_EQ(frob.status, 1);
    EXPECT_EQ(frob.out, banner());
    EXPECT_EQ(frob.err,
              "Invalid command -- frob; specify -h or --help for available commands and usage.\n");
}

TEST_F(AccelTest, ParseFailures)
{
    const std::vector<std::vector<std::string>> cases = {
        {"add", "remove"},                    // a second command word
        {"-w", "abc", "cache"},               // wait is not a number
        {"--wait", "12x", "cache"},
        {"-m", dir_.file("absent"), "cache"}, // mount path does not exist
        {"--bogus", "cache"},                 // unknown option
        {"-x", "cache"},
    };
    for (const auto &args : cases) {
        RunResult r = accel(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("Failed to parse command line arguments.\n"), std::string::npos)
            << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(AccelTest, ValueFormsAreAcceptedSeparateAndJoined)
{
    // Out-of-range waits are clamped, not refused; joined values parse like separate ones.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-w", "100", "cache"}, {"-w90000", "cache"},
          {"--wait", "5000", "cache"}, {"-m" + mounts_, "cache"}, {"--mount", mounts_, "cache"}}) {
        RunResult r = accel(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "Subject list is empty.\n") << args[0];
    }
}

TEST_F(AccelTest, CredentialsAndArgumentsRequired)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"query", "-s", "host"}, "Missing -u,--username argument.\n"},
        {{"add", "-s", "host"}, "Missing -u,--username argument.\n"},
        {{"stop", "-s", "host"}, "Missing -u,--username argument.\n"},
        {{"mount", "-s", "host", "-t", "d"}, "Missing -u,--username argument.\n"},
        {{"add", "-u", "u", "-p", "p"}, "Missing -s,--subject argument.\n"},
        {{"mount", "-u", "u", "-p", "p", "-s", "h"}, "Missing -t,--target argument.\n"},
        {{"mount", "-u", "u", "-p", "p", "-s", "h", "-t", "d"}, "Missing -m,--path argument.\n"},
        {{"remove"}, "Missing -s,--subject argument.\n"},
        {{"umount", "-s", "h"}, "Missing -t,--target argument.\n"},
    };
    for (const Case &c : cases) {
        RunResult r = accel(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST_F(AccelTest, BannerRules)
{
    struct Case {
        std::vector<std::string> args;
        bool banner;
    };
    const std::vector<Case> cases = {
        {{"cache"}, false},         {{"cachexyz"}, false},  {{"query", "-s", "h"}, false},
        {{"active"}, false},        {{"activ"}, false},     {{"remove", "-s", "ghost"}, true},
        {{"remove", "-s", "ghost", "--json"}, false},       {{"umount", "-s", "a", "-t", "b"}, true},
        {{"add", "-s", "h"}, true},
    };
    for (const Case &c : cases) {
        RunResult r = accel(c.args);
        EXPECT_EQ(r.out.rfind(banner(), 0) == 0, c.banner) << c.args[0] << ": " << r.out;
    }
}

TEST_F(AccelTest, EmptyCacheOutcomes)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"cache"}, 1, "Subject list is empty.\n"},
        {{"cache", "--json"}, 1, "Subject list is empty.\n"},
        {{"cache", "-s", "ghost"}, 10, "Subject ghost does not exist.\n"},
        {{"active"}, 1, "Active target list is empty.\n"},
        {{"active", "--json"}, 1, "Active target list is empty.\n"},
        {{"remove", "-s", "ghost"}, 10, "Subject ghost does not exist.\n"},
        {{"umount", "-s", "ghost", "-t", "d0"}, 11, "Subject ghost and target d0 is not mounted.\n"},
        {{"mountx", "-s", "ghost", "-t", "d0", "-m", "/", "-u", "u", "-p", "p"}, 10,
         "Subject ghost does not exist.\n"},
    };
    for (const Case &c : cases) {
        RunResult r = accel(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        if (c.args[0] != "remove" && c.args[0] != "umount" && c.args[0] != "mountx") {
            EXPECT_EQ(r.out, "") << c.args[0];
        }
    }
}

// ---- listings of a cache written in the cache format ----

class CachedAccelTest : public AccelTest {
protected:
    CachedAccelTest()
    {
        cache_subject(kUuid, "alpha", "10.0.0.15", "3262",
                      target_entry("disk0", 1, 4096) + ", " + target_entry("vol1", 7, 8));
    }
    static constexpr const char *kUuid = "0f0e0d0c-0000-4000-8000-000000000001";
};

TEST_F(CachedAccelTest, CacheListsSubjectsAsCsvAndJson)
{
    RunResult csv = accel({"cache"});
    EXPECT_EQ(csv.status, 0);
    EXPECT_EQ(csv.out, "name,platform,url,version\n"
                       "\"alpha\",\"6.1:Linux-x86_64\",\"10.0.0.15:3262/sub\",\"2.4\"\n");

    RunResult json = accel({"cache", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\n"
                        "    \"subjects\": [\n"
                        "        {\n"
                        "            \"address\": \"10.0.0.15\",\n"
                        "            \"hostname\": \"alpha\",\n"
                        "            \"path\": \"/sub\",\n"
                        "            \"platform\": \"6.1:Linux-x86_64\",\n"
                        "            \"port\": \"3262\",\n"
                        "            \"seconds\": \"16\",\n"
                        "            \"subject_type\": \"lin\",\n"
                        "            \"time\": null,\n"
                        "            \"uuid\": \"" + std::string(kUuid) + "\",\n"
                        "            \"version\": \"2.4\"\n"
                        "        }\n"
                        "    ]\n"
                        "}");

    RunResult raw = accel({"cache", "--json", "--raw"});
    EXPECT_EQ(raw.status, 0);
    EXPECT_NE(raw.out.find("\"module\": 3,\n"), std::string::npos);
    EXPECT_NE(raw.out.find("\"seconds\": \"" + b64_be(16) + "\",\n"), std::string::npos);
    EXPECT_NE(raw.out.find("\"subject_type\": 6,\n"), std::string::npos);
}

TEST_F(CachedAccelTest, CacheOfOneSubjectListsTargetsWithMounts)
{
    record_mount(kUuid, 7, getpid(), "/mnt/x/alpha/vol1");
    for (const std::string key : {"alpha", "10.0.0.15", "10.0.0.15:3262/sub"}) {
        RunResult csv = accel({"cache", "-s", key});
        EXPECT_EQ(csv.status, 0) << key;
        EXPECT_EQ(csv.out, "name,block_size,block_count,pid,mount_path\n"
                           "\"disk0\",\"512\",\"4096\",\"0\",\"\"\n"
                           "\"vol1\",\"512\",\"8\",\"" + std::to_string(getpid()) +
                           "\",\"/mnt/x/alpha/vol1\"\n") << key;
    }
    RunResult json = accel({"cache", "-s", "alpha", "-j"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\n"
                        "    \"targets\": [\n"
                        "        {\n"
                        "            \"block_count\": \"4096\",\n"
                        "            \"block_size\": 512,\n"
                        "            \"id\": 1,\n"
                        "            \"name\": \"disk0\",\n"
                        "            \"type\": 2\n"
                        "        },\n"
                        "        {\n"
                        "            \"block_count\": \"8\",\n"
                        "            \"block_size\": 512,\n"
                        "            \"id\": 7,\n"
                        "            \"mount_path\": \"/mnt/x/alpha/vol1\",\n"
                        "            \"name\": \"vol1\",\n"
                        "            \"pid\": \"" + std::to_string(getpid()) + "\",\n"
                        "            \"type\": 2\n"
                        "        }\n"
                        "    ]\n"
                        "}");
    RunResult raw = accel({"cache", "-s", "alpha", "-j", "-r"});
    EXPECT_NE(raw.out.find("\"block_count\": \"" + b64_be(4096) + "\""), std::string::npos);
    EXPECT_NE(raw.out.find("\"pid\": \"" + b64_le(uint64_t(getpid())) + "\""), std::string::npos);
}

TEST_F(CachedAccelTest, CacheKeyMustMatchExactly)
{
    for (const std::string key : {"10.0.0.1", "ALPHA", "alph", "10.0.0.15:3262"}) {
        RunResult r = accel({"cache", "-s", key});
        EXPECT_EQ(r.status, 10) << key;
        EXPECT_EQ(r.err, "Subject " + key + " does not exist.\n");
    }
    cache_subject("empty-targets", "beta", "10.0.0.2", "3262", "");
    RunResult empty = accel({"cache", "-s", "beta"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "Subject beta target list is empty.\n");
}

TEST_F(CachedAccelTest, ActiveListsOnlyLiveMounts)
{
    record_mount(kUuid, 1, vt_test::dead_pid(), "/mnt/stale");
    RunResult none = accel({"active"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "Active target list is empty.\n");

    record_mount(kUuid, 7, getpid(), "/mnt/x/alpha/vol1");
    const std::string pid = std::to_string(getpid());
    RunResult csv = accel({"active"});
    EXPECT_EQ(csv.status, 0);
    EXPECT_EQ(csv.out, "name,platform,url,version,name,block_size,block_count,pid,mount_path\n"
                       "\"alpha\",\"6.1:Linux-x86_64\",\"10.0.0.15:3262/sub\",\"2.4\","
                       "\"vol1\",\"512\",\"8\",\"" + pid + "\",\"/mnt/x/alpha/vol1\"\n");
    RunResult json = accel({"active", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\n"
                        "    \"subjects\": [\n"
                        "        {\n"
                        "            \"address\": \"10.0.0.15\",\n"
                        "            \"hostname\": \"alpha\",\n"
                        "            \"path\": \"/sub\",\n"
                        "            \"platform\": \"6.1:Linux-x86_64\",\n"
                        "            \"port\": \"3262\",\n"
                        "            \"seconds\": \"16\",\n"
                        "            \"subject_type\": \"lin\",\n"
                        "            \"targets\": [\n"
                        "                {\n"
                        "                    \"block_count\": \"8\",\n"
                        "                    \"block_size\": 512,\n"
                        "                    \"id\": 7,\n"
                        "                    \"mount_path\": \"/mnt/x/alpha/vol1\",\n"
                        "                    \"name\": \"vol1\",\n"
                        "                    \"pid\": \"" + pid + "\",\n"
                        "                    \"type\": 2\n"
                        "                }\n"
                        "            ],\n"
                        "            \"time\": null,\n"
                        "            \"uuid\": \"" + std::string(kUuid) + "\",\n"
                        "            \"version\": \"2.4\"\n"
                        "        }\n"
                        "    ]\n"
                        "}");
}

TEST_F(CachedAccelTest, RemoveForgetsOnlyTheMatchingSubject)
{
    cache_subject("second-subject", "gamma", "10.0.0.1", "3262", target_entry("d", 1, 1));
    RunResult r = accel({"remove", "-s", "10.0.0.15"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner() + "Uncached subject file at " + cache_dir(kUuid) +
                         "/subject.\nUncached targets file at " + cache_dir(kUuid) +
                         "/targets.\n");
    EXPECT_FALSE(std::filesystem::exists(cache_dir(kUuid) + "/subject"));
    EXPECT_TRUE(std::filesystem::exists(cache_dir("second-subject") + "/subject"));
    RunResult again = accel({"remove", "-s", "alpha"});
    EXPECT_EQ(again.status, 10);
    EXPECT_EQ(accel({"cache"}).out, "name,platform,url,version\n"
                                    "\"gamma\",\"6.1:Linux-x86_64\",\"10.0.0.1:3262/sub\",\"2.4\"\n");
}

TEST_F(CachedAccelTest, MountRefusedBeforeConnecting)
{
    // The target is served already.
    record_mount(kUuid, 1, getpid(), "/mnt/x/alpha/disk0");
    RunResult mounted = accel({"mount", "-s", "alpha", "-t", "disk0", "-m", mounts_, "-u", "u",
                               "-p", "p"});
    EXPECT_EQ(mounted.status, 9);
    EXPECT_EQ(mounted.err, "Target disk0 is already mounted.\n");

    // The mount directory is not empty: refused before the subject is contacted.
    const std::string dir = mounts_ + "/alpha/vol1";
    std::filesystem::create_directories(dir);
    vt_test::write_file(dir + "/occupied", "x");
    RunResult busy = accel({"mount", "-s", "alpha", "-t", "vol1", "-m", mounts_, "-u", "u",
                            "-p", "p"});
    EXPECT_EQ(busy.status, 9);
    EXPECT_TRUE(std::filesystem::exists(dir + "/occupied"));
}

TEST_F(AccelTest, MountLimitCountsLiveMounts)
{
    // 23 live mounts spread over two subjects, and stale records that do not count.
    std::string first, second;
    for (int id = 1; id <= 12; ++id)
        first += (id > 1 ? ", " : "") + target_entry("a" + std::to_string(id), id, 1);
    for (int id = 1; id <= 13; ++id)
        second += (id > 1 ? ", " : "") + target_entry("b" + std::to_string(id), id, 1);
    cache_subject("subject-a", "host-a", "10.1.0.1", "3262", first);
    cache_subject("subject-b", "host-b", "10.1.0.2", "3262", second);
    for (int id = 1; id <= 12; ++id)
        record_mount("subject-a", id, getpid(), "/m/a" + std::to_string(id));
    for (int id = 1; id <= 11; ++id)
        record_mount("subject-b", id, getpid(), "/m/b" + std::to_string(id));
    record_mount("subject-b", 12, vt_test::dead_pid(), "/m/stale");

    const std::vector<std::string> mount = {"mount", "-s", "ghost", "-t", "d", "-m", mounts_,
                                            "-u", "u", "-p", "p"};
    RunResult below = accel(mount);
    EXPECT_EQ(below.status, 10) << below.err; // passed the limit, then no such subject

    record_mount("subject-b", 13, getpid(), "/m/b13");
    RunResult at = accel(mount);
    EXPECT_EQ(at.status, 12);
    EXPECT_EQ(at.err, "Exceeded the maximum number of fuse filesystems allowed.\n");
}

// ---- against a real subject agent and real FUSE mounts ----

bool fuse_available()
{
    return access("/dev/fuse", R_OK | W_OK) == 0 && geteuid() == 0 &&
           (access("/usr/bin/fusermount", X_OK) == 0 || access("/bin/fusermount", X_OK) == 0);
}

std::string read_range(int fd, off_t offset, size_t size)
{
    std::string out(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, out.data() + got, size - got, offset + off_t(got));
        if (n <= 0)
            break;
        got += size_t(n);
    }
    out.resize(got);
    return out;
}

class MountTest : public AccelTest {
protected:
    static constexpr const char *kTarget = "disk0";
    static constexpr size_t kSize = 2 * 1048576 + 1536; // whole 512-byte blocks

    void SetUp() override
    {
        if (!fuse_available())
            GTEST_SKIP() << "FUSE mounts need root, /dev/fuse and fusermount";
        std::mt19937_64 random(42);
        source_.resize(kSize);
        for (char &c : source_)
            c = char(random());
        image_ = dir_.file("source.img");
        vt_test::write_file(image_, source_);
        vt_test::AgentOptions options;
        options.user = kUser;
        options.password_text = kPassword;
        agent_ = std::make_unique<vt_test::Agent>(dir_, vt_test::AgentTargets{{kTarget, image_}},
                                                  options);
        ASSERT_FALSE(agent_->port().empty()) << "vt_agent did not start";
        subject_ = "127.0.0.1:" + agent_->port();
    }

    // Unmounts whatever is left and kills every process that a pid file names.
    void TearDown() override
    {
        if (!mount_dir_.empty() && std::filesystem::exists(mount_dir_))
            vt_test::run({"/bin/fusermount", "-u", "-z", mount_dir_});
        for (const auto &entry : std::filesystem::recursive_directory_iterator(
                 state_, std::filesystem::directory_options::skip_permission_denied)) {
            if (entry.path().filename() != "pid")
                continue;
            pid_t pid = atoi(vt_test::read_file(entry.path().string()).c_str());
            if (pid > 1 && pid != getpid())
                kill(pid, SIGKILL);
        }
        agent_.reset();
    }

    std::vector<std::string> with_login(std::vector<std::string> args) const
    {
        for (const char *arg : {"-u", kUser, "-p", kPassword})
            args.push_back(arg);
        return args;
    }

    std::string hostname() const
    {
        const std::string out = vt_test::read_file(cache_subject_file());
        const std::string key = "\"hostname\": \"";
        size_t at = out.find(key);
        if (at == std::string::npos)
            return {};
        at += key.size();
        return out.substr(at, out.find('"', at) - at);
    }

    std::string cache_subject_file() const
    {
        for (const auto &entry : std::filesystem::directory_iterator(state_ + "/cache"))
            return entry.path().string() + "/subject";
        return {};
    }

    void add_subject()
    {
        RunResult add = accel(with_login({"add", "-s", subject_}));
        ASSERT_EQ(add.status, 0) << add.err;
    }

    std::string source_, image_, subject_, mount_dir_;
    std::unique_ptr<vt_test::Agent> agent_;
};

TEST_F(MountTest, AddCachesTheSubjectAndQueryListsLiveTargets)
{
    RunResult add = accel(with_login({"add", "-s", subject_}));
    ASSERT_EQ(add.status, 0) << add.err;
    const std::string subject_file = cache_subject_file();
    const std::string dir = subject_file.substr(0, subject_file.rfind('/'));
    EXPECT_EQ(add.out, banner() + "Cached subject file at " + subject_file +
                           ".\nCached targets file at " + dir + "/targets.\n");
    EXPECT_NE(vt_test::read_file(subject_file).find("\"address\": \"127.0.0.1\""),
              std::string::npos);
    EXPECT_EQ(accel(with_login({"add", "-s", subject_})).out, add.out); // replaced in place

    const std::string blocks = std::to_string(kSize / 512);
    RunResult cache = accel({"cache", "-s", hostname()});
    EXPECT_EQ(cache.status, 0);
    EXPECT_EQ(cache.out, "name,block_size,block_count,pid,mount_path\n\"disk0\",\"512\",\"" +
                             blocks + "\",\"0\",\"\"\n");

    RunResult query = accel(with_login({"query", "-s", subject_}));
    EXPECT_EQ(query.status, 0) << query.err;
    EXPECT_NE(query.out.find("\"disk0\",\"512\",\"" + blocks + "\",\"0\",\"\"\n"),
              std::string::npos) << query.out;
    RunResult json = accel(with_login({"query", "-s", subject_, "--json"}));
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\n", 0), 0u);
    EXPECT_NE(json.out.find("\"targets\": [\n"), std::string::npos);
    EXPECT_NE(json.out.find("\"block_count\": \"" + blocks + "\""), std::string::npos);
    EXPECT_NE(json.out.find("\"subject_type\": \""), std::string::npos);

    RunResult refused = accel({"add", "-s", subject_, "-u", kUser, "-p", "wrong"});
    EXPECT_EQ(refused.status, 3);
    const std::string line = "Failed to log into subject -- examiner @ " + subject_ + "/sub.\n";
    ASSERT_GE(refused.err.size(), line.size());
    EXPECT_EQ(refused.err.substr(refused.err.size() - line.size()), line);
}

TEST_F(MountTest, ConnectFailureHasItsOwnStatus)
{
    RunResult r = accel(with_login({"add", "-s", "127.0.0.1:1"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(r.err.size() - strlen("Failed to connect to subject -- examiner @ 127.0.0.1:1/sub.\n")),
              "Failed to connect to subject -- examiner @ 127.0.0.1:1/sub.\n");
}

TEST_F(MountTest, DaemonMountServesTheTargetUntilUnmounted)
{
    add_subject();
    const std::string host = hostname();
    mount_dir_ = mounts_ + "/" + host + "/" + kTarget;
    RunResult mount = accel(with_login({"mount", "-s", host, "-t", kTarget, "-m", mounts_,
                                        "--daemon"}));
    ASSERT_EQ(mount.status, 0) << mount.err;
    EXPECT_EQ(mount.out, banner() + "Connected to subject " + subject_ + "/sub.\n" +
                             "Connected to target disk0.\n" + "Exported target on " + mount_dir_ +
                             ".\n" +
                             "Examiner worker is online and running in  the background.\n"
                             "Exclude -d,--daemon on command line to run in foreground.\n");

    // One directory holding exactly one file, named after the target, of its size.
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(mount_dir_))
        names.push_back(entry.path().filename().string());
    ASSERT_EQ(names, std::vector<std::string>{kTarget});
    const std::string file = mount_dir_ + "/" + kTarget;
    struct stat st{};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), kSize);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(stat((file + "x").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);

    RunResult ours = vt_test::run({"/usr/bin/sha1sum", file});
    RunResult theirs = vt_test::run({"/usr/bin/sha1sum", image_});
    ASSERT_EQ(ours.status, 0);
    EXPECT_EQ(ours.out.substr(0, 40), theirs.out.substr(0, 40));

    int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::vector<std::pair<off_t, size_t>> ranges = {
        {0, 1},        {1, 4095},        {511, 513},           {65537, 131071},
        {1048575, 3},  {off_t(kSize) - 10, 4096}, {off_t(kSize) - 1, 1}, {off_t(kSize), 4096},
        {off_t(kSize) + 12345, 7},
    };
    for (const auto &[offset, size] : ranges) {
        const std::string expected =
            size_t(offset) < kSize ? source_.substr(size_t(offset), size) : std::string();
        EXPECT_EQ(read_range(fd, offset, size), expected) << offset << "+" << size;
    }
    close(fd);
    RunResult dd = vt_test::run({"/bin/dd", "if=" + file, "bs=1", "skip=" + std::to_string(kSize - 10),
                                 "count=4096", "status=none"});
    EXPECT_EQ(dd.out, source_.substr(kSize - 10));

    // Read-only: the kernel refuses a write open of the read-only mount before the file
    // system sees it (EROFS); the file system itself answers EACCES.
    errno = 0;
    EXPECT_LT(open(file.c_str(), O_WRONLY), 0);
    EXPECT_TRUE(errno == EACCES || errno == EROFS) << strerror(errno);
    EXPECT_LT(open(file.c_str(), O_RDWR), 0);
    EXPECT_LT(open((mount_dir_ + "/new").c_str(), O_WRONLY | O_CREAT, 0644), 0);

    // Eight readers at once, each over the whole file in odd-sized pieces.
    std::array<bool, 8> good{};
    std::vector<std::thread> readers;
    for (size_t i = 0; i < good.size(); ++i) {
        readers.emplace_back([&, i] {
            int rfd = open(file.c_str(), O_RDONLY);
            std::string all;
            const size_t piece = 4096 * (i + 1) + 7 * i + 1;
            for (off_t at = 0; rfd >= 0 && size_t(at) < kSize; at += off_t(piece))
                all += read_range(rfd, at, piece);
            if (rfd >= 0)
                close(rfd);
            good[i] = all == source_;
        });
    }
    for (std::thread &t : readers)
        t.join();
    for (size_t i = 0; i < good.size(); ++i)
        EXPECT_TRUE(good[i]) << "reader " << i;

    RunResult active = accel({"active"});
    EXPECT_EQ(active.status, 0);
    EXPECT_NE(active.out.find(",\"" + mount_dir_ + "\"\n"), std::string::npos) << active.out;

    // A second mount of the same target is refused.
    RunResult twice = accel(with_login({"mount", "-s", host, "-t", kTarget, "-m", mounts_,
                                        "--daemon"}));
    EXPECT_EQ(twice.status, 9);

    RunResult umount = accel({"umount", "-s", host, "-t", kTarget});
    EXPECT_EQ(umount.status, 0) << umount.err;
    EXPECT_EQ(umount.out, banner() + "Found subject " + host + ".\nFound target disk0.\n" +
                              "Successfully unmounted " + mount_dir_ + ".\n");
    // The daemon removes its records and the directories it made once its loop ended.
    for (int i = 0; i < 200 && std::filesystem::exists(mounts_ + "/" + host); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(mount_dir_));
    EXPECT_FALSE(std::filesystem::exists(mounts_ + "/" + host));
    for (int i = 0; i < 200 && accel({"active"}).status == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(accel({"active"}).err, "Active target list is empty.\n");
    RunResult again = accel({"umount", "-s", host, "-t", kTarget});
    EXPECT_EQ(again.status, 11);
}

TEST_F(MountTest, DaemonReportsFailuresWithTheirStatus)
{
    add_subject();
    const std::string host = hostname();
    RunResult wrong_target = accel(with_login({"mount", "-s", host, "-t", "nodisk", "-m",
                                               mounts_, "--daemon"}));
    EXPECT_EQ(wrong_target.status, 6);
    EXPECT_EQ(wrong_target.out, banner() + "Connected to subject " + subject_ + "/sub.\n");

    RunResult wrong_password = accel({"mount", "-s", host, "-t", kTarget, "-m", mounts_, "-u",
                                      kUser, "-p", "nope", "--daemon"});
    EXPECT_EQ(wrong_password.status, 3);
    // Nothing stays behind in the mount path once the daemon has ended.
    for (int i = 0; i < 200 && !std::filesystem::is_empty(mounts_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(std::filesystem::is_empty(mounts_));
}

TEST_F(MountTest, StopUnmountsShutsDownAndForgets)
{
    add_subject();
    const std::string host = hostname();
    mount_dir_ = mounts_ + "/" + host + "/" + kTarget;
    ASSERT_EQ(accel(with_login({"mount", "-s", host, "-t", kTarget, "-m", mounts_, "-d"})).status,
              0);
    RunResult stop = accel(with_login({"stop", "-s", subject_}));
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_NE(stop.out.find("Successfully unmounted " + mount_dir_ + ".\n"), std::string::npos);
    EXPECT_NE(stop.out.find("Subject " + subject_ + "/sub received shutdown signal.\n"),
              std::string::npos) << stop.out;
    EXPECT_NE(stop.out.find("Uncached targets file at "), std::string::npos);
    EXPECT_EQ(accel({"cache"}).err, "Subject list is empty.\n");
    // The daemon cleans up after its loop ends; when the subject shut down while the
    // daemon was logging out, that waits out the request timeout (10 s) first.
    for (int i = 0; i < 600 && std::filesystem::exists(mounts_ + "/" + host); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(mounts_ + "/" + host));
}

TEST_F(MountTest, ForegroundMountEndsWhenUnmounted)
{
    add_subject();
    const std::string host = hostname();
    mount_dir_ = mounts_ + "/" + host + "/" + kTarget;
    std::vector<std::string> args = with_login(
        {vt_test::program("vt_accel"), "mount", "-s", host, "-t", kTarget, "-m", mounts_});
    std::vector<std::string> env = this->env();
    const std::string out_file = dir_.file("fg.out");
    pid_t child = fork();
    if (child == 0) {
        for (const std::string &entry : env)
            putenv(const_cast<char *>(entry.c_str()));
        int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const std::string file = mount_dir_ + "/" + kTarget;
    bool served = false;
    for (int i = 0; i < 400 && !served; ++i) {
        struct stat st{};
        served = stat(file.c_str(), &st) == 0 && size_t(st.st_size) == kSize;
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(served);
    if (served) {
        int fd = open(file.c_str(), O_RDONLY);
        EXPECT_EQ(read_range(fd, 12345, 54321), source_.substr(12345, 54321));
        close(fd);
        EXPECT_EQ(accel({"umount", "-s", host, "-t", kTarget}).status, 0);
    } else {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string out = vt_test::read_file(out_file);
    EXPECT_NE(out.find("Examiner worker is online and running in  the foreground.\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Press Ctrl+C or invoke `kill " + std::to_string(child) +
                       "` on another terminal to exit.\n"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(mounts_ + "/" + host));
}


// ---- mounts seen by the listings, busy mounts, and how a served mount ends ----

// Waits for a child for at most `seconds` (it is about not blocking forever), then
// kills it. Returns the wait status, or -1 when the child had to be killed.
int wait_child(pid_t child, int seconds)
{
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (waitpid(child, &status, WNOHANG) == child)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

bool wait_until(const std::function<bool()> &done)
{
    for (int i = 0; i < 400; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

class ServedMountTest : public MountTest {
protected:
    void TearDown() override
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        MountTest::TearDown();
    }

    // Adds the subject and mounts its target as a daemon.
    void mount_daemon()
    {
        add_subject();
        host_ = hostname();
        mount_dir_ = mounts_ + "/" + host_ + "/" + kTarget;
        RunResult mount = accel(with_login({"mount", "-s", host_, "-t", kTarget, "-m", mounts_,
                                            "--daemon"}));
        ASSERT_EQ(mount.status, 0) << mount.err;
    }

    // Adds the subject and starts a foreground mount in a child; waits until it serves.
    void mount_foreground(const std::vector<std::string> &extra = {})
    {
        add_subject();
        host_ = hostname();
        mount_dir_ = mounts_ + "/" + host_ + "/" + kTarget;
        std::vector<std::string> args = with_login(
            {vt_test::program("vt_accel"), "mount", "-s", host_, "-t", kTarget, "-m", mounts_});
        args.insert(args.end(), extra.begin(), extra.end());
        const std::vector<std::string> env = this->env();
        const std::string out_file = dir_.file("fg.out");
        child_ = fork();
        if (child_ == 0) {
            for (const std::string &entry : env)
                putenv(const_cast<char *>(entry.c_str()));
            int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::vector<char *> argv;
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_TRUE(wait_until([&] {
            struct stat st{};
            return stat(file().c_str(), &st) == 0 && size_t(st.st_size) == kSize;
        })) << vt_test::read_file(out_file);
    }

    // Waits for the foreground mount to end; its exit status, or -1.
    int foreground_status()
    {
        int status = wait_child(child_, 60);
        child_ = -1;
        if (status < 0 || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    std::string file() const { return mount_dir_ + "/" + kTarget; }

    // The cache directory of the mounted target: the one holding its pid file.
    std::string record_dir() const
    {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(state_ + "/cache"))
            if (entry.path().filename() == "pid")
                return entry.path().parent_path().string();
        return {};
    }

    // After the mount ended: no records, no directories made for it.
    void expect_mount_gone()
    {
        EXPECT_TRUE(wait_until([&] { return !std::filesystem::exists(mounts_ + "/" + host_); }));
        EXPECT_EQ(record_dir(), "");
        EXPECT_EQ(accel({"active"}).err, "Active target list is empty.\n");
    }

    std::string host_;
    pid_t child_ = -1;
};

TEST_F(ServedMountTest, ListingsShowTheServingProcessAndPath)
{
    mount_daemon();
    const std::string dir = record_dir();
    ASSERT_NE(dir, "");
    const std::string pid_text = vt_test::read_file(dir + "/pid");
    const pid_t pid = pid_t(atol(pid_text.c_str()));
    ASSERT_GT(pid, 1);
    EXPECT_EQ(kill(pid, 0), 0); // the daemon itself, still serving
    EXPECT_EQ(vt_test::read_file(dir + "/path"), mount_dir_);
    const std::string pid_dec = std::to_string(pid);
    const std::string blocks = std::to_string(kSize / 512);
    const std::string target_csv =
        "\"disk0\",\"512\",\"" + blocks + "\",\"" + pid_dec + "\",\"" + mount_dir_ + "\"\n";

    RunResult csv = accel({"active"});
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("name,platform,url,version,name,block_size,block_count,pid,"
                            "mount_path\n\"" + host_ + "\",", 0), 0u) << csv.out;
    EXPECT_TRUE(csv.out.size() > target_csv.size() &&
                csv.out.substr(csv.out.size() - target_csv.size()) == target_csv) << csv.out;

    const std::string path_key = "\"mount_path\": \"" + mount_dir_ + "\",\n";
    RunResult json = accel({"active", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\n    \"subjects\": [\n", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"hostname\": \"" + host_ + "\""), std::string::npos);
    EXPECT_NE(json.out.find(path_key), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"pid\": \"" + pid_dec + "\",\n"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"block_count\": \"" + blocks + "\""), std::string::npos);

    RunResult raw = accel({"active", "--json", "--raw"});
    EXPECT_EQ(raw.status, 0);
    EXPECT_NE(raw.out.find(path_key), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("\"pid\": \"" + b64_le(uint64_t(pid)) + "\""), std::string::npos)
        << raw.out;
    EXPECT_NE(raw.out.find("\"block_count\": \"" + b64_be(kSize / 512) + "\""),
              std::string::npos);

    RunResult cache = accel({"cache", "-s", host_});
    EXPECT_EQ(cache.status, 0);
    EXPECT_EQ(cache.out, "name,block_size,block_count,pid,mount_path\n" + target_csv);
    RunResult cache_json = accel({"cache", "-s", host_, "--json"});
    EXPECT_EQ(cache_json.status, 0);
    EXPECT_EQ(cache_json.out.rfind("{\n    \"targets\": [\n", 0), 0u) << cache_json.out;
    EXPECT_NE(cache_json.out.find(path_key), std::string::npos) << cache_json.out;
    EXPECT_NE(cache_json.out.find("\"pid\": \"" + pid_dec + "\",\n"), std::string::npos);
    RunResult cache_raw = accel({"cache", "-s", host_, "--json", "--raw"});
    EXPECT_NE(cache_raw.out.find("\"pid\": \"" + b64_le(uint64_t(pid)) + "\""),
              std::string::npos) << cache_raw.out;

    EXPECT_EQ(accel({"umount", "-s", host_, "-t", kTarget}).status, 0);
    expect_mount_gone();
}

TEST_F(ServedMountTest, BusyMountIsNeitherUnmountedNorForgotten)
{
    mount_daemon();
    const std::string subject_file = cache_subject_file();
    const std::string targets_file =
        subject_file.substr(0, subject_file.rfind('/')) + "/targets";
    int fd = open(file().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::string busy = "Failed to unmount " + mount_dir_ +
                             "; target is busy.\nPlease close all applications using the target.\n";

    RunResult umount = accel({"umount", "-s", host_, "-t", kTarget});
    EXPECT_EQ(umount.status, 1);
    EXPECT_NE(umount.err.find(busy), std::string::npos) << umount.err;
    EXPECT_EQ(umount.out.find("Successfully unmounted"), std::string::npos);

    RunResult remove = accel({"remove", "-s", host_});
    EXPECT_EQ(remove.status, 1);
    EXPECT_NE(remove.err.find(busy), std::string::npos) << remove.err;
    // The name has been resolved to the subject's URL by then.
    EXPECT_NE(remove.err.find("Failed to remove subject " + subject_ + "/sub from cached.\n"),
              std::string::npos) << remove.err;
    EXPECT_TRUE(std::filesystem::exists(subject_file));
    EXPECT_TRUE(std::filesystem::exists(targets_file));

    // Still served, and still listed.
    EXPECT_EQ(read_range(fd, 4096, 4096), source_.substr(4096, 4096));
    EXPECT_EQ(accel({"active"}).status, 0);
    close(fd);

    RunResult freed = accel({"remove", "-s", host_});
    EXPECT_EQ(freed.status, 0) << freed.err;
    EXPECT_NE(freed.out.find("Successfully unmounted " + mount_dir_ + ".\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(subject_file));
    EXPECT_FALSE(std::filesystem::exists(targets_file));
    EXPECT_TRUE(wait_until([&] { return !std::filesystem::exists(mounts_ + "/" + host_); }));
}

class StopSignalTest : public ServedMountTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, ForegroundMountEndsCleanly)
{
    mount_foreground();
    ASSERT_NE(record_dir(), "");
    ASSERT_EQ(kill(child_, GetParam()), 0);
    EXPECT_EQ(foreground_status(), 0) << vt_test::read_file(dir_.file("fg.out"));
    expect_mount_gone();
    EXPECT_FALSE(std::filesystem::exists(file()));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

TEST_F(ServedMountTest, LostSubjectEndsTheMount)
{
    mount_foreground({"--verbose"}); // failure reports of the served mount go to its output
    int fd = open(file().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_range(fd, 0, 8192), source_.substr(0, 8192));
    agent_.reset(); // kill -9: the connection drops without a word
    EXPECT_EQ(foreground_status(), 0) << vt_test::read_file(dir_.file("fg.out"));
    close(fd);
    const std::string out = vt_test::read_file(dir_.file("fg.out"));
    EXPECT_EQ(out.find("failed to log out of target"), std::string::npos) << out;
    expect_mount_gone();
}

TEST_F(ServedMountTest, ForegroundFailuresHaveTheirStatus)
{
    add_subject();
    const std::string host = hostname();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {with_login({"mount", "-s", host, "-t", "nodisk", "-m", mounts_}), 6,
         "Failed to find target -- nodisk.\n"},
        {{"mount", "-s", host, "-t", kTarget, "-m", mounts_, "-u", kUser, "-p", "nope"}, 3,
         "Failed to log into subject -- examiner @ " + subject_ + "/sub.\n"},
    };
    for (const Case &c : cases) {
        RunResult r = accel(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[4];
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(mounts_));
    }
}

// Forwards loopback connections to the agent, holding each one back for a while first,
// so that every handshake step of a mount takes that long.
class SlowProxy {
public:
    SlowProxy(const std::string &port, int delay_ms) : upstream_(atoi(port.c_str()))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
            return;
        port_ = std::to_string(ntohs(addr.sin_port));
        accepter_ = std::thread([this, delay_ms] {
            for (;;) {
                int client = accept(listener_, nullptr, nullptr);
                if (client < 0)
                    return;
                pumps_.emplace_back([this, client, delay_ms] { pump(client, delay_ms); });
            }
        });
    }
    ~SlowProxy()
    {
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        if (accepter_.joinable())
            accepter_.join();
        stop_ = true;
        for (std::thread &t : pumps_)
            t.join();
    }
    SlowProxy(const SlowProxy &) = delete;
    SlowProxy &operator=(const SlowProxy &) = delete;
    const std::string &port() const { return port_; }

private:
    void pump(int client, int delay_ms)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(upstream_));
        if (connect(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            std::array<pollfd, 2> fds = {pollfd{client, POLLIN, 0}, pollfd{server, POLLIN, 0}};
            std::vector<char> buffer(65536);
            while (!stop_) {
                if (poll(fds.data(), fds.size(), 100) <= 0)
                    continue;
                bool closed = false;
                for (int side = 0; side < 2 && !closed; ++side) {
                    if (!fds[side].revents)
                        continue;
                    ssize_t n = read(fds[side].fd, buffer.data(), buffer.size());
                    closed = n <= 0 || write(fds[1 - side].fd, buffer.data(), size_t(n)) != n;
                }
                if (closed)
                    break;
            }
        }
        close(server);
        close(client);
    }

    int upstream_;
    int listener_ = -1;
    std::string port_;
    std::atomic<bool> stop_{false};
    std::thread accepter_;
    std::vector<std::thread> pumps_;
};

TEST_F(ServedMountTest, ShortWaitIsRaisedToTheMinimum)
{
    // Each connection is held back 1.5 s: far beyond -w 100, well within the 5000 ms floor.
    SlowProxy proxy(agent_->port(), 1500);
    ASSERT_FALSE(proxy.port().empty());
    subject_ = "127.0.0.1:" + proxy.port();
    add_subject();
    host_ = hostname();
    mount_dir_ = mounts_ + "/" + host_ + "/" + kTarget;
    // The cached port is the one the agent reports; point it at the proxy.
    std::string subject = vt_test::read_file(cache_subject_file());
    const std::string port_key = "\"port\": \"" + agent_->port() + "\"";
    ASSERT_NE(subject.find(port_key), std::string::npos) << subject;
    subject.replace(subject.find(port_key), port_key.size(), "\"port\": \"" + proxy.port() + "\"");
    vt_test::write_file(cache_subject_file(), subject);
    RunResult mount = accel(with_login({"mount", "-s", host_, "-t", kTarget, "-m", mounts_,
                                        "-w", "100", "--daemon"}));
    ASSERT_EQ(mount.status, 0) << mount.out << mount.err;
    EXPECT_NE(mount.out.find("Exported target on " + mount_dir_ + ".\n"), std::string::npos);
    int fd = open(file().c_str(), O_RDONLY);
    EXPECT_EQ(read_range(fd, 100, 1000), source_.substr(100, 1000));
    close(fd);
    EXPECT_EQ(accel({"umount", "-s", host_, "-t", kTarget}).status, 0);
    expect_mount_gone();
}

} // namespace
