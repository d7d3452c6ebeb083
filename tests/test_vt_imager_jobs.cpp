// End-to-end tests of the imager's job control: the real vt_imager runs local-disk
// jobs on loop devices under a state root of the test's own (status from the
// document and live from a daemon, foreground and daemon runs, stop and resume),
// and `start` is checked up to the trial connection. Every E01 is verified and
// read back with the ewf tools.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vt_db.h"
#include "vt_json.h"
#include "vt_main_misc.h"
#include "vt_test_imager.h"
#include "vt_test_util.h"

namespace {

using namespace std::chrono_literals;

using vt_test::contains;
using vt_test::eventually;
using vt_test::exists;
using vt_test::parse_status;
using vt_test::status_header;
using vt_test::status_line;
using vt_test::Throttle;
using vt_test::tool;

const std::string &hint = vt_test::troubleshoot_hint;

// A file of pseudo-random bytes (incompressible, so the image holds real work).
void write_sample(const std::string &path, uint64_t size)
{
    std::mt19937_64 generator(size);
    std::vector<uint64_t> block(1 << 17);
    std::ofstream file(path, std::ios::binary);
    for (uint64_t written = 0; written < size;) {
        for (uint64_t &word : block)
            word = generator();
        const uint64_t n = std::min<uint64_t>(block.size() * 8, size - written);
        file.write(reinterpret_cast<const char *>(block.data()), std::streamsize(n));
        written += n;
    }
    ASSERT_TRUE(file.good()) << path;
}

// A loop device over a sample file, detached again on destruction.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &file)
    {
        const vt_test::RunResult r = vt_test::run({tool("losetup"), "--find", "--show", file});
        if (r.status == 0 && !r.out.empty())
            device_ = r.out.substr(0, r.out.find('\n'));
    }
    ~LoopDevice()
    {
        if (!device_.empty())
            vt_test::run({tool("losetup"), "-d", device_});
    }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &device() const { return device_; }

private:
    std::string device_;
};

// Local-disk jobs whose documents the test writes itself.
class ImagerJobs : public vt_test::ImagerTest {
protected:
    // Writes the document of a local-disk job as a client of the job engine would.
    void write_disk_job(const std::string &name, const std::string &device,
                        const std::string &extra = "")
    {
        ASSERT_EQ(mkdir((state.path() + "/image").c_str(), 0755) == 0 || errno == EEXIST, true);
        ASSERT_EQ(mkdir(job_dir(name).c_str(), 0755), 0);
        vt_test::write_file(job_dir(name) + "/json",
                            "{\"disk\": {\"path\": \"" + device + "\"},"
                            " \"ewf\": {\"case_number\": \"c1\", \"evidence_number\": \"e1\","
                            " \"examiner_name\": \"x\", \"notes\": \"n\","
                            " \"unique_description\": \"d\"},"
                            " \"imager\": {\"image_path\": \"" + out.path() + "\","
                            " \"image_name\": \"" + name + "\", \"hash\": \"md5,sha1\"}" +
                                extra + "}");
    }
};

// ---- status from job documents ----

TEST_F(ImagerJobs, StatusWithoutJobs)
{
    const vt_test::RunResult csv = imager({"status"});
    EXPECT_EQ(csv.status, 0);
    EXPECT_EQ(csv.out, status_header);
    const vt_test::RunResult json = imager({"status", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{}");
}

TEST_F(ImagerJobs, StatusOfStagedAndStoppedJobsComesFromTheirDocuments)
{
    write_disk_job("staged", "/dev/sample-a");
    write_disk_job("halted", "/dev/sample-b",
                   ", \"state\": {\"status\": \"stopped\", \"read_bps\": \"0\","
                   " \"offset\": \"4096\", \"length\": \"8192\"}");

    const vt_test::RunResult one = imager({"status", "-n", "staged"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, status_header + "staged,staged,/dev/sample-a,0,0,0\n");
    EXPECT_EQ(one.err, "");

    const vt_test::RunResult other = imager({"status", "-n", "halted"});
    EXPECT_EQ(other.out, status_header + "stopped,halted,/dev/sample-b,0,4096,8192\n");

    const vt_test::RunResult json = imager({"status", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\n"
                        "    \"halted\": {\n"
                        "        \"image_info\": \"/dev/sample-b\",\n"
                        "        \"length\": \"8192\",\n"
                        "        \"offset\": \"4096\",\n"
                        "        \"read_bps\": \"0\",\n"
                        "        \"status\": \"stopped\"\n"
                        "    },\n"
                        "    \"staged\": {\n"
                        "        \"image_info\": \"/dev/sample-a\",\n"
                        "        \"length\": \"0\",\n"
                        "        \"offset\": \"0\",\n"
                        "        \"read_bps\": \"0\",\n"
                        "        \"status\": \"staged\"\n"
                        "    }\n"
                        "}");

    // The listing holds one line per job, in whatever order the directory lists them.
    const vt_test::RunResult all = imager({"status"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out.rfind(status_header, 0), 0u);
    EXPECT_TRUE(contains(all.out, "\nstaged,staged,/dev/sample-a,0,0,0\n")) << all.out;
    EXPECT_TRUE(contains(all.out, "\nstopped,halted,/dev/sample-b,0,4096,8192\n")) << all.out;
}

TEST_F(ImagerJobs, StatusOfRemoteJobNamesSubjectAndTarget)
{
    write_disk_job("remote", "/dev/unused");
    // A document with a `vantrel` section shows "subject/target" as its label.
    vt_json_obj *doc = nullptr;
    ASSERT_EQ(vt_json_obj_decode_file(&doc, (job_dir("remote") + "/json").c_str()), 0);
    vt_json_obj *vantrel = nullptr;
    ASSERT_EQ(vt_json_obj_init(&vantrel), 0);
    EXPECT_EQ(vt_json_obj_string(vantrel, "subject", "host:3262/sub", 13), 0);
    EXPECT_EQ(vt_json_obj_string(vantrel, "target", "disk0", 5), 0);
    EXPECT_EQ(vt_json_obj_object(doc, "vantrel", vantrel), 0);
    EXPECT_EQ(vt_json_obj_encode_file(doc, (job_dir("remote") + "/json").c_str()), 0);
    vt_json_obj_deit(&vantrel);
    vt_json_obj_deit(&doc);

    const vt_test::RunResult r = imager({"status", "-n", "remote"});
    EXPECT_EQ(r.out, status_header + "staged,remote,host:3262/sub/disk0,0,0,0\n");
}

// ---- commands on jobs that are missing or not running ----

struct missing_case {
    std::vector<std::string> args;
    int status;
    std::string err;
};

class ImagerMissing : public ImagerJobs, public ::testing::WithParamInterface<missing_case> {};

TEST_P(ImagerMissing, ReportsAndReturnsItsCode)
{
    write_disk_job("idle", "/dev/sample-a");
    const missing_case &c = GetParam();
    const vt_test::RunResult r = imager(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err + (c.status ? hint : ""));
    // Nothing was started and the idle job is untouched.
    EXPECT_FALSE(exists(job_dir("idle") + "/pid"));
    EXPECT_TRUE(exists(job_dir("idle") + "/json"));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ImagerMissing,
    ::testing::Values(
        missing_case{{"stop", "-n", "ghost"}, 4, "Image does not exist -- ghost.\n"},
        missing_case{{"restart", "-n", "ghost"}, 4, "Image does not exist -- ghost.\n"},
        missing_case{{"status", "-n", "ghost"}, 4, "Image does not exist -- ghost.\n"},
        missing_case{{"stop", "-n", "idle"}, 3, "Image is not in progress -- idle.\n"},
        missing_case{{"remove", "-n", "ghost"}, 0, "Image does not exist -- ghost.\n"},
        missing_case{{"stop"}, 1, ""}, missing_case{{"restart"}, 1, ""},
        missing_case{{"remove"}, 1, ""}),
    [](const auto &info) {
        std::string name;
        for (const std::string &arg : info.param.args)
            if (arg != "-n")
                name += arg;
        return name;
    });

TEST_F(ImagerJobs, RemoveDeletesOnlyTheDocument)
{
    write_disk_job("old", "/dev/sample-a");
    vt_test::write_file(image("old"), "image bytes");
    const vt_test::RunResult r = imager({"remove", "-n", "old"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Remove " + job_dir("old") + "/json.\n")) << r.out;
    EXPECT_FALSE(exists(job_dir("old")));
    EXPECT_EQ(vt_test::read_file(image("old")), "image bytes");
}

// ---- runs on loop devices ----

class ImagerRuns : public ImagerJobs {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "loop devices need root";
    }

    // A loop device over a new sample of size bytes.
    std::unique_ptr<LoopDevice> sample_device(uint64_t size)
    {
        write_sample(sample, size);
        auto loop = std::make_unique<LoopDevice>(sample);
        EXPECT_FALSE(loop->device().empty()) << "losetup failed";
        return loop;
    }

    std::string sample = data.file("sample.bin");
};

TEST_F(ImagerRuns, ForegroundRestartRunsTheJobToCompletion)
{
    constexpr uint64_t size = 16ull << 20;
    const auto loop = sample_device(size);
    ASSERT_FALSE(loop->device().empty());
    write_disk_job("fg", loop->device());

    const vt_test::RunResult r = imager({"restart", "-n", "fg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "   Target: " + loop->device() + "\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Image worker has started in the foreground.\n")) << r.out;
    // The loop's last progress line shows the whole source read, then ends its line.
    const std::string total = std::to_string(size);
    EXPECT_TRUE(contains(r.out, "Progress:  " + total + " /  " + total + " (100%)\r\n")) << r.out;
    const std::string final_line =
        "\nCompleted imaging operation for " + loop->device() + " on localhost.\n";
    ASSERT_GE(r.out.size(), final_line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - final_line.size()), final_line);
    EXPECT_FALSE(exists(job_dir("fg") + "/pid"));
    EXPECT_FALSE(exists(job_dir("fg") + "/socket"));

    const status_line done = status_of("fg");
    EXPECT_EQ(done.status, "completed");
    EXPECT_EQ(done.offset, size);
    EXPECT_EQ(done.length, size);
    expect_image_equals(image("fg"), sample);

    // Restarting a completed job does not touch its image.
    const std::string before = vt_test::read_file(image("fg"));
    imager({"restart", "-n", "fg"});
    EXPECT_TRUE(vt_test::read_file(image("fg")) == before);
}

// An acquisition that ends incomplete is a failure of the command: here the output
// file system fills up part way.
TEST_F(ImagerRuns, ForegroundRunThatCannotFinishExitsOne)
{
    const auto loop = sample_device(8ull << 20);
    ASSERT_FALSE(loop->device().empty());
    ASSERT_EQ(mount("tmpfs", out.path().c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
    struct unmount {
        std::string path;
        ~unmount() { umount2(path.c_str(), MNT_DETACH); }
    } guard{out.path()};
    write_disk_job("full", loop->device());

    const vt_test::RunResult r = imager({"restart", "-n", "full"});
    EXPECT_EQ(r.status, 1);
    const std::string final_line =
        "\nFailed imaging operation for " + loop->device() + " on localhost.\n";
    ASSERT_GE(r.out.size(), final_line.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - final_line.size()), final_line);
    EXPECT_EQ(status_of("full").status, "stopped");
    EXPECT_FALSE(exists(job_dir("full") + "/pid"));
}

TEST_F(ImagerRuns, DaemonServesLiveStatusStopsAndResumes)
{
    constexpr uint64_t size = 256ull << 20;
    const auto loop = sample_device(size);
    ASSERT_FALSE(loop->device().empty());
    write_disk_job("bg", loop->device());

    vt_test::RunResult launched;
    std::thread launcher([&] { launched = imager({"restart", "-n", "bg", "--daemon"}); });
    const pid_t pid = daemon_pid("bg");
    std::unique_ptr<Throttle> throttle;
    if (pid > 0)
        throttle = std::make_unique<Throttle>(pid);
    launcher.join();
    ASSERT_GT(pid, 0);
    // The launcher returns once the daemon runs the job. (The summary it then asks
    // the job for may miss a daemon this slow; the unthrottled resume shows it.)
    EXPECT_EQ(launched.status, 0) << launched.err;

    // Live figures: "started" and an offset that grows while the daemon runs.
    status_line first;
    ASSERT_TRUE(live_status("bg", &first));
    EXPECT_EQ(first.name, "bg");
    EXPECT_EQ(first.info, loop->device());
    EXPECT_EQ(first.length, size);
    EXPECT_TRUE(eventually([&] { return status_of("bg").offset > first.offset; }, 60s));
    const vt_test::RunResult json = imager({"status", "-n", "bg", "--json"});
    EXPECT_TRUE(contains(json.out, "\"status\": \"started\"")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"length\": \"" + std::to_string(size) + "\"")) << json.out;

    // A running job is neither started again nor removed.
    const vt_test::RunResult again = imager({"restart", "-n", "bg"});
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, "Image is currently in progress -- bg.\n" + hint);
    const vt_test::RunResult removed = imager({"remove", "-n", "bg"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.err, "Image is in progress -- bg.\n");
    EXPECT_TRUE(exists(job_dir("bg") + "/json"));

    const vt_test::RunResult stopped = imager({"stop", "-n", "bg"});
    throttle.reset();
    expect_stopped(stopped, "bg", pid, size);
    EXPECT_EQ(imager({"stop", "-n", "bg"}).status, 3);

    // Resumed from its checkpoint, the job completes an image equal to the source.
    const vt_test::RunResult resumed = imager({"restart", "-n", "bg", "--daemon"});
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_TRUE(contains(resumed.out, "   Image Name: bg\n")) << resumed.out;
    EXPECT_TRUE(contains(resumed.out, "Image worker has started in the background.\n"))
        << resumed.out;
    daemon_pid("bg");
    EXPECT_TRUE(eventually([&] { return status_of("bg").status == "completed"; }, 240s));
    EXPECT_TRUE(eventually([&] { return !exists(job_dir("bg") + "/pid"); }, 30s));
    expect_image_equals(image("bg"), sample);
}

// ---- start ----

// A subject in the cache named `dir` ("cache" or the manager's "subject").
void cache_subject(const std::string &state, const std::string &dir)
{
    const std::string path = state + "/" + dir + "/uuid-alpha";
    ASSERT_EQ(system(("mkdir -p '" + path + "'").c_str()), 0);
    std::string host = "alpha", address = "127.0.0.1", port = "3262", sub = "/sub",
                uuid = "uuid-alpha", platform = "lin", version = "1.0";
    vt_db_subject record{};
    record.hostname = {host.data(), host.size()};
    record.address = {address.data(), address.size()};
    record.platform = {platform.data(), platform.size()};
    record.version = {version.data(), version.size()};
    record.uuid = {uuid.data(), uuid.size()};
    record.port = {port.data(), port.size()};
    record.path = {sub.data(), sub.size()};
    vt_json_obj *doc = nullptr;
    ASSERT_EQ(vt_db_subject_dump(&record, &doc), 0);
    EXPECT_EQ(vt_json_obj_encode_file(doc, (path + "/subject").c_str()), 0);
    vt_json_obj_deit(&doc);
    vt_test::write_file(path + "/targets", "{\"targets\": []}");
}

const std::string five_answers = "\n\n\n\n\n";

struct start_case {
    std::string name;
    std::vector<std::string> args;
    std::string report; // failure report under -v
};

class ImagerStartChecks : public ImagerJobs, public ::testing::WithParamInterface<start_case> {};

// Each check fails while every later one would fail too: the first in order wins.
TEST_P(ImagerStartChecks, FirstFailingCheckReports)
{
    const start_case &c = GetParam();
    std::vector<std::string> args = {"-v", "start"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const vt_test::RunResult r = imager(args, five_answers);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "(vt_exa_img_start:")) << r.err;
    EXPECT_TRUE(contains(r.err, c.report)) << r.err;
    EXPECT_FALSE(contains(r.out, "Enter case number")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Order, ImagerStartChecks,
    ::testing::Values(
        start_case{"subject", {"-t", "d", "-u", "u", "-n", "bad.name"},
                   "missing -s,--subject argument"},
        start_case{"target", {"-s", "ghost", "-u", "u"}, "missing -t,--target argument"},
        start_case{"username", {"-s", "ghost", "-t", "d"}, "missing -u,--username argument"},
        // Standard input is not a terminal, so the password prompt fails.
        start_case{"password", {"-s", "ghost", "-t", "d", "-u", "u", "-n", "bad.name"},
                   "missing -p,--password argument"},
        start_case{"name",
                   {"-s", "ghost", "-t", "d", "-u", "u", "-p", "p", "-n", "bad.name", "-o",
                    "/nonexistent"},
                   "invalid image name -- bad.name"},
        start_case{"output",
                   {"-s", "ghost", "-t", "d", "-u", "u", "-p", "p", "-o", "/nonexistent"},
                   "invalid output directory -- /nonexistent"}),
    [](const auto &info) { return info.param.name; });

TEST_F(ImagerJobs, StartWithUnknownSubjectExitsSixBeforeAnyQuestion)
{
    // A job of that name exists too: the subject is checked first.
    write_disk_job("d_image", "/dev/sample-a");
    const vt_test::RunResult r =
        imager({"start", "-s", "ghost", "-t", "d", "-u", "u", "-p", "p", "-o", out.path()},
               five_answers);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "Failed to parse subject url or resolve subject name to address.\n"
                     "Invalid subject url or name -- ghost.\n" + hint);
    EXPECT_FALSE(contains(r.out, "Enter case number")) << r.out;
}

TEST_F(ImagerJobs, StartOfANameInUseExitsFive)
{
    cache_subject(state.path(), "cache");
    write_disk_job("taken", "/dev/sample-a");
    const vt_test::RunResult r = imager(
        {"start", "-s", "alpha", "-t", "d", "-u", "u", "-p", "p", "-n", "taken", "-o", out.path()},
        five_answers);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, "An image with the same name exists.\nInvalid image name -- taken.\n" + hint);
    EXPECT_FALSE(contains(r.out, "Enter case number")) << r.out;
}

// The subject is looked up in the manager's cache while the manager runs, else in
// the mounter's; a subject that resolves goes on to the questions and the trial
// connection, which fails here (nothing listens), leaving no job behind.
struct cache_case {
    std::string name;
    std::string cached_in;
    bool manager_online;
    int status;
};

class ImagerStartCache : public ImagerJobs, public ::testing::WithParamInterface<cache_case> {};

TEST_P(ImagerStartCache, ResolvesThroughTheCacheInUse)
{
    const cache_case &c = GetParam();
    cache_subject(state.path(), c.cached_in);
    if (c.manager_online) {
        ASSERT_EQ(system(("mkdir -p '" + state.path() + "/manager'").c_str()), 0);
        vt_test::write_file(state.path() + "/manager/pid", std::to_string(getpid()) + " ");
    }
    const vt_test::RunResult r =
        imager({"start", "-s", "alpha", "-t", "disk0", "-u", "u", "-p", "p", "-o", out.path()},
               five_answers);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 7) {
        EXPECT_TRUE(contains(r.out, "Enter unique description")) << r.out;
        // The session names the unreachable subject, then the command sums it up.
        EXPECT_EQ(r.err, "Failed to connect to subject on 127.0.0.1:3262/sub.\n"
                         "Failed to connect to disk0 on 127.0.0.1:3262/sub.\n" +
                             hint);
    } else {
        EXPECT_FALSE(contains(r.out, "Enter case number")) << r.out;
    }
    EXPECT_FALSE(exists(job_dir("disk0_image") + "/json"));
}

INSTANTIATE_TEST_SUITE_P(
    Caches, ImagerStartCache,
    ::testing::Values(cache_case{"MounterCacheWithoutManager", "cache", false, 7},
                      cache_case{"ManagerCacheWithManager", "subject", true, 7},
                      cache_case{"ManagerCacheWithoutManager", "subject", false, 6},
                      cache_case{"MounterCacheWithManager", "cache", true, 6}),
    [](const auto &info) { return info.param.name; });

// ---- rate text ----

TEST(ImagerSpeed, RateTextUsesTheLargestWholeUnit)
{
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {0, "0 B/s"},
        {1023, "1023 B/s"},
        {1024, "1 KB/s"},
        {1048575, "1023 KB/s"},
        {1048576, "1 MB/s"},
        {3ull << 30, "3 GB/s"},
        {(5ull << 40) + 1, "5 TB/s"},
    };
    for (const auto &[rate, expected] : cases) {
        vt_string text = {};
        ASSERT_EQ(vt_speed_string(rate, &text), 0);
        EXPECT_EQ(std::string(text.text, text.length), expected) << rate;
        vt_string_free(&text);
    }
}

} // namespace
