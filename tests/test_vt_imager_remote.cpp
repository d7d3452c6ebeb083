// End-to-end tests of vt_imager against our subject agent on loopback: foreground
// and daemon acquisitions through the command line, the exit codes of real
// failures, live status, stop and resume, and the recovery of a run whose subject
// went away. Every image is verified and read back with the ewf tools.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vt_json.h"
#include "vt_test_imager.h"
#include "vt_test_json.h"
#include "vt_test_util.h"

namespace {

using namespace std::chrono_literals;
using vt_test::contains;
using vt_test::eventually;
using vt_test::exists;
using vt_test::RunResult;
using vt_test::status_header;
using vt_test::status_line;

constexpr uint64_t MiB = 1024 * 1024;
// Small enough to be quick, with a last read shorter than the others.
constexpr uint64_t small_size = 5 * MiB + 3 * 512;
// Long enough, with the agent throttled, to be watched and interrupted part-way,
// and, for the daemon, to answer several commands while it runs.
constexpr uint64_t long_size = 24 * MiB;
constexpr uint64_t longer_size = 128 * MiB;

const std::string answers = "CASE-7\nEV 1\nJo Examiner\nremote run\nagent sample\n";

using json_ptr = vt_test::JsonPtr;

// Modification time of a file in nanoseconds; 0 when it is missing.
int64_t modified_ns(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return 0;
    return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// A subject agent serving one sample as "disk0", cached as the mounter caches it,
// and vt_imager runs against it.
class RemoteImager : public vt_test::ImagerTest {
protected:
    void serve(uint64_t size)
    {
        size_ = size;
        vt_test::write_evidence_sample(sample, size);
        start_agent("127.0.0.1:0");
        const RunResult added =
            vt_test::run({vt_test::program("vt_accel"), "add", "-s", agent->url(), "-u",
                          vt_test::agent_user, "-p", vt_test::agent_password},
                         "", {"VANTREL_STATE_DIR=" + state.path()});
        ASSERT_EQ(added.status, 0) << added.out << added.err;
    }

    // The agent on listen, with the same identifier and target at every start.
    void start_agent(const std::string &listen)
    {
        agent.reset();
        vt_test::AgentOptions options;
        options.listen = listen;
        options.uuid_file = data.file("uuid");
        agent = std::make_unique<vt_test::Agent>(data, vt_test::AgentTargets{{"disk0", sample}},
                                                 options);
        ASSERT_TRUE(agent->running()) << vt_test::read_file(data.file("agent.log"));
    }

    std::string url() const { return agent->url(); }

    std::vector<std::string> start_args(const std::string &name,
                                        const std::vector<std::string> &extra = {},
                                        const std::string &target = "disk0",
                                        const std::string &password = vt_test::agent_password)
    {
        std::vector<std::string> args = {"start", "-n", name, "-s", url(), "-t", target, "-u",
                                         vt_test::agent_user, "-p", password, "-m", "md5,sha1",
                                         "-o", out.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // `state`/`status` of the job document, "" when there is none.
    std::string doc_status(const std::string &name)
    {
        vt_json_obj *raw = nullptr;
        if (vt_json_obj_decode_file(&raw, (job_dir(name) + "/json").c_str()))
            return "";
        json_ptr doc(raw);
        raw = nullptr;
        if (vt_json_obj_get_object(doc.get(), "state", &raw))
            return "";
        json_ptr state_obj(raw);
        const char *text = nullptr;
        size_t length = 0;
        if (vt_json_obj_get_string(state_obj.get(), "status", &text, &length))
            return "";
        return std::string(text, length);
    }

    std::string summary(const std::string &name) const
    {
        return "\nEWF Information\n   Case Number: CASE-7\n   Evidence Number: EV 1\n"
               "   Examiner Name: Jo Examiner\n   Notes: remote run\n"
               "   Unique Description: agent sample\n\nExaminer Information\n   Subject: " +
               url() + "\n   Target: disk0\n\nImage Information\n   Image Name: " + name +
               "\n   Image Path: " + out.path() + "\n   Hash Method: md5,sha1\n\n";
    }

    // The run completed: the document says so, the image equals the source and the
    // acquisition log lies next to it.
    void expect_completed(const std::string &name)
    {
        EXPECT_EQ(doc_status(name), "completed");
        const status_line done = status_of(name);
        EXPECT_EQ(done.status, "completed");
        EXPECT_EQ(done.info, url() + "/disk0");
        EXPECT_EQ(done.offset, size_);
        EXPECT_EQ(done.length, size_);
        expect_image_equals(image(name), sample);
        const std::string log = vt_test::read_file(out.file(name + ".log"));
        EXPECT_TRUE(contains(log, "[Collection Information]\nExaminer Name: Jo Examiner\n"
                                  "Case Number: CASE-7\n"))
            << log;
        EXPECT_TRUE(contains(log, "Image File Segment List:\n" + image(name) + "\n")) << log;
    }

    std::string sample = data.file("sample.raw");
    uint64_t size_ = 0;
    std::unique_ptr<vt_test::Agent> agent;
};

// A foreground vt_imager on a thread of the test. If the test ends while it still
// runs, the process named by its job's pid file is killed, so nothing waits on it.
class ForegroundRun {
public:
    ForegroundRun(const std::function<RunResult()> &command, std::string pid_file)
        : pid_file_(std::move(pid_file)), thread_([this, command] {
              result_ = command();
              done_ = true;
          })
    {
    }
    ~ForegroundRun()
    {
        for (auto deadline = std::chrono::steady_clock::now() + 120s;
             !done_ && std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(50ms)) {
            const pid_t pid = pid_t(std::strtol(vt_test::read_file(pid_file_).c_str(), nullptr, 10));
            if (pid > 0)
                kill(pid, SIGKILL);
        }
        if (thread_.joinable())
            thread_.join();
    }
    ForegroundRun(const ForegroundRun &) = delete;
    ForegroundRun &operator=(const ForegroundRun &) = delete;

    const RunResult &finish()
    {
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

private:
    std::string pid_file_;
    RunResult result_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// ---- A whole acquisition in the foreground ----

TEST_F(RemoteImager, ForegroundStartAcquiresTheTarget)
{
    serve(small_size);
    const RunResult r = imager(start_args("fg"), answers);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char *question : {"Enter case number []: ", "Enter evidence number []: ",
                                 "Enter examiner name []: ", "Enter notes []: ",
                                 "Enter unique description []: "})
        EXPECT_TRUE(contains(r.out, question)) << r.out;
    EXPECT_TRUE(contains(r.out, summary("fg") + "Image worker has started in the foreground.\n"
                                                "Include -d,--daemon on command line to run in "
                                                "background.\n"))
        << r.out;
    // The last progress line shows the whole target read and ends its line.
    const std::string total = std::to_string(small_size);
    const std::regex progress("Read: +[0-9]+ [KMGT]?B/s \\( *[0-9]+\\) Progress: +" + total +
                              " / +" + total + " \\(100%\\)\r\n");
    EXPECT_TRUE(std::regex_search(r.out, progress)) << r.out;
    const std::string final_line = "\nCompleted imaging operation for disk0 on " + url() + ".\n";
    ASSERT_GE(r.out.size(), final_line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - final_line.size()), final_line);

    expect_completed("fg");
    EXPECT_FALSE(exists(job_dir("fg") + "/pid"));
    EXPECT_FALSE(exists(job_dir("fg") + "/socket"));
}

// ---- Exit codes of real failures ----

struct connect_case {
    std::string label;
    std::string target;
    std::string password;
    std::string report; // failure report under -v, "%s" standing for the subject
};

class RemoteImagerConnect : public RemoteImager,
                            public ::testing::WithParamInterface<connect_case> {};

// The trial connection fails after the questions; no job is left behind.
TEST_P(RemoteImagerConnect, ExitsSevenAndLeavesNoJob)
{
    const connect_case &c = GetParam();
    serve(small_size);
    std::vector<std::string> args = start_args("probe", {}, c.target, c.password);
    args.insert(args.begin(), "-v");
    const RunResult r = imager(args, answers);
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(contains(r.out, "Enter unique description")) << r.out;
    EXPECT_TRUE(contains(r.err, "Failed to connect to " + c.target + " on " + url() + ".\n"))
        << r.err;
    std::string report = c.report;
    report.replace(report.find("%s"), 2, url());
    EXPECT_TRUE(contains(r.err, report)) << r.err;
    EXPECT_FALSE(exists(job_dir("probe")));
    EXPECT_FALSE(exists(image("probe")));
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, RemoteImagerConnect,
    ::testing::Values(
        connect_case{"unknown_target", "disk9", vt_test::agent_password, "failed to find disk9 on %s"},
        connect_case{"wrong_password", "disk0", "wrong", "failed to connect to %s"}),
    [](const auto &info) { return info.param.label; });

struct creation_case {
    std::string label;
    bool daemon;
    bool image_exists; // else the log file's path is taken by a directory
    std::string report;
};

class RemoteImagerCreation : public RemoteImager,
                             public ::testing::WithParamInterface<creation_case> {};

// The job cannot be created or started: exit 8, and the document `start` has just
// written is removed again, in the foreground and when a daemon reports it.
TEST_P(RemoteImagerCreation, ExitsEightAndRemovesTheDocument)
{
    const creation_case &c = GetParam();
    serve(small_size);
    if (c.image_exists)
        vt_test::write_file(image("taken"), "an earlier image");
    else
        ASSERT_EQ(mkdir(out.file("taken.log").c_str(), 0755), 0);
    std::vector<std::string> args = start_args("taken", c.daemon ? std::vector<std::string>{"--daemon"}
                                                                 : std::vector<std::string>{});
    args.insert(args.begin(), "-v");
    const RunResult r = imager(args, answers);
    EXPECT_EQ(r.status, 8);
    // A daemon's start-up reports reach the launcher's standard output.
    EXPECT_TRUE(contains(r.out + r.err, c.report)) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Remove " + job_dir("taken") + "/json.\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Image worker has started")) << r.out;
    EXPECT_FALSE(exists(job_dir("taken")));
    if (c.image_exists)
        EXPECT_EQ(vt_test::read_file(image("taken")), "an earlier image");
    else
        EXPECT_FALSE(exists(image("taken")));
    // The name is free again.
    if (c.image_exists)
        unlink(image("taken").c_str());
    else
        rmdir(out.file("taken.log").c_str());
    EXPECT_EQ(imager(start_args("taken"), answers).status, 0);
    expect_completed("taken");
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, RemoteImagerCreation,
    ::testing::Values(
        creation_case{"foreground_image_exists", false, true, "failed on existing image file -- "},
        creation_case{"daemon_image_exists", true, true, "failed on existing image file -- "},
        creation_case{"foreground_log_unwritable", false, false, "failed to create image object"},
        creation_case{"daemon_log_unwritable", true, false, "failed to create image object"}),
    [](const auto &info) { return info.param.label; });

// ---- A daemon: live status, the commands around it, stop and resume ----

TEST_F(RemoteImager, DaemonRunsIsWatchedStoppedAndResumed)
{
    serve(longer_size);
    auto throttle = std::make_unique<vt_test::Throttle>(agent->pid());

    const RunResult launched = imager(start_args("bg", {"--daemon"}), answers);
    ASSERT_EQ(launched.status, 0) << launched.out << launched.err;
    const pid_t pid = daemon_pid("bg");
    ASSERT_GT(pid, 0);
    // The launcher shows the job only once the daemon has started it, and a start
    // that went well shows no failure report.
    EXPECT_TRUE(contains(launched.out, summary("bg") + "Image worker has started in the "
                                                       "background.\nExclude -d,--daemon on "
                                                       "command line to run in foreground.\n"))
        << launched.out;
    EXPECT_FALSE(contains(launched.out + launched.err, "[syserr]")) << launched.out << launched.err;
    EXPECT_EQ(launched.err, "");
    const std::string started = doc_status("bg");
    EXPECT_TRUE(started == "started" || started == "completed") << started;

    // Live figures while it runs.
    status_line first;
    ASSERT_TRUE(live_status("bg", &first));
    EXPECT_EQ(first.name, "bg");
    EXPECT_EQ(first.info, url() + "/disk0");
    EXPECT_EQ(first.length, longer_size);
    EXPECT_TRUE(eventually([&] { return status_of("bg").offset > first.offset; }, 60s));
    const RunResult json = imager({"status", "-n", "bg", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_TRUE(contains(json.out, "\"status\": \"started\"")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"image_info\": \"" + url() + "/disk0\"")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"length\": \"" + std::to_string(longer_size) + "\"")) << json.out;

    // Started again while it runs: by name, and from a copy of its document, which
    // leaves the running job's own document alone.
    const RunResult again = imager({"restart", "-n", "bg"});
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, "Image is currently in progress -- bg.\n" + vt_test::troubleshoot_hint);
    const std::string copy = data.file("bg.json");
    vt_test::write_file(copy, vt_test::read_file(job_dir("bg") + "/json"));
    const RunResult from_copy = imager({"start", "-c", copy});
    EXPECT_EQ(from_copy.status, 2);
    EXPECT_EQ(from_copy.err,
              "Image is currently in progress -- bg.\n" + vt_test::troubleshoot_hint);
    EXPECT_EQ(doc_status("bg"), "started");

    // Removing a running job keeps every file.
    const RunResult removed = imager({"remove", "-n", "bg"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.err, "Image is in progress -- bg.\n");
    for (const std::string &file : {job_dir("bg") + "/json", job_dir("bg") + "/pid",
                                    job_dir("bg") + "/socket", image("bg"), out.file("bg.log")})
        EXPECT_TRUE(exists(file)) << file;

    const RunResult stopped = imager({"stop", "-n", "bg"});
    expect_stopped(stopped, "bg", pid, longer_size);

    // A start from a copy of the stopped job's document fails on its image file and
    // leaves the job as it was, checkpoint included.
    const std::string document = vt_test::read_file(job_dir("bg") + "/json");
    const std::string partial = vt_test::read_file(image("bg"));
    const RunResult over = imager({"start", "-c", copy});
    EXPECT_EQ(over.status, 8) << over.out << over.err;
    EXPECT_EQ(vt_test::read_file(job_dir("bg") + "/json"), document);
    EXPECT_TRUE(vt_test::read_file(image("bg")) == partial);

    throttle.reset();
    const RunResult resumed = imager({"restart", "-n", "bg", "--daemon"});
    // (Whether this launcher still finds the job control socket for its summary is
    // a race the launcher tolerates; the first start above shows the summary.)
    EXPECT_EQ(resumed.status, 0) << resumed.out << resumed.err;
    EXPECT_FALSE(contains(resumed.out + resumed.err, "[syserr]")) << resumed.out << resumed.err;
    daemon_pid("bg");
    ASSERT_TRUE(eventually([&] { return doc_status("bg") == "completed"; }, 240s));
    EXPECT_TRUE(eventually([&] { return !exists(job_dir("bg") + "/pid"); }, 30s));
    expect_completed("bg");
}

// ---- Recovery after the subject went away ----

class RemoteImagerRecover : public RemoteImager, public ::testing::WithParamInterface<bool> {};

// The agent is killed part-way: the job stores "reconnecting", tries again every
// few seconds while the agent is gone, and completes once it is back.
TEST_P(RemoteImagerRecover, ResumesWhenTheSubjectReturns)
{
    const bool daemon = GetParam();
    serve(long_size);
    auto throttle = std::make_unique<vt_test::Throttle>(agent->pid());

    std::unique_ptr<ForegroundRun> foreground;
    if (daemon) {
        const RunResult launched = imager(start_args("rc", {"--daemon", "--recover"}), answers);
        ASSERT_EQ(launched.status, 0) << launched.out << launched.err;
    } else {
        foreground = std::make_unique<ForegroundRun>(
            [this] { return imager(start_args("rc", {"--recover"}), answers); },
            job_dir("rc") + "/pid");
    }
    const pid_t pid = daemon_pid("rc");
    ASSERT_GT(pid, 0);
    status_line running;
    ASSERT_TRUE(live_status("rc", &running));
    ASSERT_LT(running.offset, long_size);
    throttle.reset();
    const std::string port = agent->port();
    agent->kill_now();

    const std::string document = job_dir("rc") + "/json";
    ASSERT_TRUE(eventually([&] { return doc_status("rc") == "reconnecting"; }, 60s));
    EXPECT_EQ(status_of("rc").status, "reconnecting");
    // Each failed attempt stores the status again.
    const int64_t saved = modified_ns(document);
    EXPECT_TRUE(eventually(
        [&] { return modified_ns(document) != saved && doc_status("rc") == "reconnecting"; },
        60s));
    EXPECT_EQ(kill(pid, 0), 0) << "the job gave up while its subject was away";

    start_agent("127.0.0.1:" + port);
    ASSERT_EQ(agent->port(), port);
    ASSERT_TRUE(eventually([&] { return doc_status("rc") == "completed"; }, 240s));
    EXPECT_TRUE(eventually([&] { return !exists(job_dir("rc") + "/pid"); }, 30s));
    if (foreground) {
        const RunResult &r = foreground->finish();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(
            r.out, "\nSubject has disconnected; attempting to reconnect in 5 seconds.\n"))
            << r.out;
        const std::string final_line = "\nCompleted imaging operation for disk0 on " + url() + ".\n";
        ASSERT_GE(r.out.size(), final_line.size());
        EXPECT_EQ(r.out.substr(r.out.size() - final_line.size()), final_line);
    }
    expect_completed("rc");
}

INSTANTIATE_TEST_SUITE_P(Modes, RemoteImagerRecover, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "daemon" : "foreground"; });

} // namespace
