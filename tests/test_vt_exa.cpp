// Tests of the remote target source with real processes: our subject agent on
// loopback serves a file or a loop device, the image job reads it over the
// encrypted session, and the E01 file is checked with the ewf tools; plus lost,
// stalled and user-stopped sessions and their resumption.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vt_exa.h"
#include "vt_examiner.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_pwd.h"
#include "vt_read_state.h"
#include "vt_test_imager.h"
#include "vt_test_json.h"
#include "vt_test_util.h"
#include "vt_thread.h"

namespace {

using namespace std::chrono_literals;
using vt_test::Agent;
using vt_test::read_file;
using vt_test::run;
using vt_test::SyserrCapture;
using vt_test::TempDir;
using vt_test::trim;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr const char *user = vt_test::agent_user;
constexpr const char *password = vt_test::agent_password;
// Generous bounds: only there so that a hang fails the test instead of the suite.
constexpr auto patience = 120s;

using json_ptr = vt_test::JsonPtr;
using vt_test::json_number;
using vt_test::json_section;
using vt_test::json_text;

struct img_release {
    void operator()(vt_img *img) const { vt_img_deit(&img); }
};
using img_ptr = std::unique_ptr<vt_img, img_release>;

struct exa_release {
    void operator()(vt_exa *exa) const { vt_exa_deit(&exa); }
};
using exa_ptr = std::unique_ptr<vt_exa, exa_release>;

std::string digest_of(const std::string &tool, const std::string &path)
{
    const auto result = run({tool, path});
    return result.out.substr(0, result.out.find(' '));
}

uint64_t read_offset(vt_img *img)
{
    uint64_t offset = 0, remaining = 0, rate = 0;
    vt_read_state_get_state(img->rs, &offset, &remaining, &rate);
    return offset;
}

struct JobParams {
    uint64_t read_size = 524288;
    uint64_t chunk_size = 32768;
    uint64_t table_size = 65534;
};

// A state directory, an output directory, a sample file (optionally behind a loop
// device) and the agent that serves it as the target "disk0".
class RemoteImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VANTREL_STATE_DIR", dir.file("state").c_str(), 1);
        mkdir(dir.file("state").c_str(), 0755);
        mkdir(dir.file("out").c_str(), 0755);
        ASSERT_EQ(vt_syslog_init_path(&session_log, nullptr), 0);
    }

    void TearDown() override
    {
        agent.reset();
        if (!device.empty())
            run({"/usr/sbin/losetup", "-d", device});
        vt_syslog_deit(&session_log);
        unsetenv("VANTREL_STATE_DIR");
    }

    // Writes the sample, attaches it as a loop device when asked, and serves it.
    void serve(uint64_t size, bool loop_device)
    {
        vt_test::write_evidence_sample(backing(), size);
        std::string path = backing();
        if (loop_device) {
            const auto attached = run({"/usr/sbin/losetup", "--find", "--show", backing()});
            ASSERT_EQ(attached.status, 0) << attached.err;
            device = path = trim(attached.out);
        }
        target_path = path;
        start_agent("127.0.0.1:0");
    }

    void start_agent(const std::string &listen)
    {
        vt_test::AgentOptions options;
        options.listen = listen;
        agent = std::make_unique<Agent>(dir, vt_test::AgentTargets{{"disk0", target_path}},
                                        options);
        ASSERT_TRUE(agent->running()) << read_file(dir.file("agent.log"));
    }

    // The `vantrel` section of a job document, password stored obfuscated.
    json_ptr vantrel(const std::string &target = "disk0", const std::string &pass = password)
    {
        vt_json_obj *raw = nullptr;
        vt_json_obj_init(&raw);
        json_ptr obj(raw);
        const std::string url = agent->url();
        vt_json_obj_string(obj.get(), "subject", url.data(), url.size());
        vt_json_obj_string(obj.get(), "target", target.data(), target.size());
        vt_json_obj_string(obj.get(), "username", user, std::char_traits<char>::length(user));
        vt_string clear = {};
        vt_string_copy(&clear, pass.data(), pass.size());
        EXPECT_EQ(vt_json_obj_pwd(obj.get(), "password", &clear), 0);
        vt_string_free(&clear);
        return obj;
    }

    img_ptr job(const JobParams &p = {})
    {
        const std::string text =
            "{\"imager\": {\"image_path\": \"" + dir.file("out") + "\", \"image_name\": \"" + name +
            "\", \"hash\": \"md5,sha1\", \"read_size\": \"" + std::to_string(p.read_size) +
            "\"}, \"ewf\": {\"case_number\": \"case-9\", \"evidence_number\": \"ev 1\", "
            "\"examiner_name\": \"Jo Examiner\", \"notes\": \"remote\", "
            "\"unique_description\": \"agent sample\", \"chunk_size\": \"" +
            std::to_string(p.chunk_size) + "\", \"table_size\": \"" + std::to_string(p.table_size) +
            "\"}}";
        vt_json_obj *raw = nullptr;
        EXPECT_EQ(vt_json_obj_decode(&raw, text.c_str(), text.size() + 1), 0);
        json_ptr doc(raw);
        json_ptr section = vantrel();
        vt_json_obj_object(doc.get(), "vantrel", section.get());
        vt_img *img = nullptr;
        EXPECT_EQ(vt_img_json_init(&img, doc.get(), nullptr), 0);
        return img_ptr(img);
    }

    // Runs `action` once the run's read position reaches at (if given), waits for
    // the stop flag within the bound, then stops the run.
    void finish_run(vt_img *img, uint64_t at = 0, std::function<void()> action = nullptr)
    {
        std::atomic<bool> done{false};
        std::thread watcher;
        if (action) {
            watcher = std::thread([&]() {
                while (!done) {
                    if (read_offset(img) >= at) {
                        action();
                        return;
                    }
                    std::this_thread::yield();
                }
            });
        }
        const bool stopped = wait_stop_flag(img);
        done = true;
        if (watcher.joinable())
            watcher.join();
        ASSERT_TRUE(stopped) << "the run never set its stop flag";
        EXPECT_EQ(vt_img_stop(img), 0);
    }

    static bool wait_stop_flag(vt_img *img)
    {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline)
            if (vt_cond_wait_timed(img->stop_event, 1000) == 0)
                return true;
        return false;
    }

    static std::string status_of(vt_img *img)
    {
        json_ptr state = json_section(img->doc, "state");
        return json_text(state.get(), "status");
    }

    static uint64_t recover_offset(vt_img *img)
    {
        json_ptr recover = json_section(img->doc, "recover");
        json_ptr read = recover ? json_section(recover.get(), "read") : nullptr;
        return json_number(read.get(), "offset");
    }

    // The image verifies, exports as exactly the source's bytes and carries the
    // source's MD5 and SHA-1; the log names subject and target.
    void expect_complete_image(vt_img *img)
    {
        EXPECT_EQ(vt_img_check_complete(img), 0);
        EXPECT_EQ(status_of(img), "completed");
        const std::string e01 = dir.file("out") + "/" + name + ".E01";
        vt_test::expect_e01_equals(e01, backing(), dir.file("export"));

        const std::string md5 = digest_of("/usr/bin/md5sum", backing());
        const std::string sha1 = digest_of("/usr/bin/sha1sum", backing());
        const auto info = run({"/usr/bin/ewfinfo", e01});
        EXPECT_NE(info.out.find(md5), std::string::npos) << info.out;
        EXPECT_NE(info.out.find(sha1), std::string::npos) << info.out;
        const std::string log = read_file(dir.file("out") + "/" + name + ".log");
        EXPECT_NE(log.find("[Evidence Details]\nSubject: " + agent->url() + "\nTarget: disk0\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("MD5 Source Hash: " + md5 + "\nSHA1 Source Hash: " + sha1),
                  std::string::npos)
            << log;
    }

    std::string backing() const { return dir.file("sample.raw"); }

    TempDir dir;
    std::unique_ptr<Agent> agent;
    std::string device;
    std::string target_path;
    vt_syslog *session_log = nullptr; // user-facing lines of the examiner objects' sessions
    std::string name = "remote_image";
};

// ---- The examiner object ----

TEST_F(RemoteImage, TargetObjectDescribesTheServedTarget)
{
    serve(3 * MiB + 7 * 512, false);
    json_ptr section = vantrel();
    vt_exa *raw = nullptr;
    ASSERT_EQ(vt_exa_init(&raw, section.get(), session_log), 0);
    exa_ptr exa(raw);
    EXPECT_EQ(exa->cfg->request_timeout, 10000u);
    EXPECT_EQ(std::string(exa->password.text), password);

    vt_json_obj *target = nullptr;
    ASSERT_EQ(vt_exa_get_target_object(exa.get(), &target), 0);
    json_ptr object(target);
    EXPECT_EQ(json_text(object.get(), "name"), "disk0");
    EXPECT_EQ(json_number(object.get(), "block_size"), 512u);
    EXPECT_EQ(json_number(object.get(), "block_count"), (3 * MiB) / 512 + 7);
    int64_t id = 0;
    EXPECT_EQ(vt_json_obj_get_number(object.get(), "id", &id), 0);
    EXPECT_NE(id, 0);
    // The short session leaves nothing open behind it.
    EXPECT_EQ(exa->session, nullptr);
    EXPECT_EQ(exa->logged_in, 0u);
}

TEST_F(RemoteImage, RunSessionSetsTheMarkAndAUserStopKeepsIt)
{
    serve(MiB, false);
    json_ptr section = vantrel();
    vt_exa *raw = nullptr;
    ASSERT_EQ(vt_exa_init(&raw, section.get(), session_log), 0);
    exa_ptr exa(raw);
    std::atomic<int> disconnects{0};
    const auto on_disconnect = [](void *user) { ++*static_cast<std::atomic<int> *>(user); };
    ASSERT_EQ(vt_exa_start(exa.get(), vt_exa_read_cdb_worker, on_disconnect, &disconnects), 0);
    EXPECT_NE(exa->target_id, 0u);
    EXPECT_EQ(exa->logged_in, 1u);
    EXPECT_EQ(vt_exa_stop(exa.get()), 0);
    EXPECT_EQ(exa->target_id, 0u);
    EXPECT_EQ(exa->session, nullptr);
    EXPECT_EQ(exa->logged_in, 1u);
    // Stopping the monitor runs the handler once.
    EXPECT_EQ(disconnects.load(), 1);
}

struct BadSessionCase {
    const char *label;
    const char *target;
    const char *password;
    const char *message; // with %s for the subject address
};

class RemoteImageBadSession : public RemoteImage,
                              public ::testing::WithParamInterface<BadSessionCase> {};

TEST_P(RemoteImageBadSession, FailsWithTheStepThatFailed)
{
    const BadSessionCase &c = GetParam();
    serve(MiB, false);
    json_ptr section = vantrel(c.target, c.password);
    vt_exa *raw = nullptr;
    ASSERT_EQ(vt_exa_init(&raw, section.get(), session_log), 0);
    exa_ptr exa(raw);
    SyserrCapture capture;
    vt_json_obj *target = nullptr;
    EXPECT_NE(vt_exa_get_target_object(exa.get(), &target), 0);
    EXPECT_EQ(target, nullptr);
    std::string expected = c.message;
    expected.replace(expected.find("%s"), 2, agent->url());
    EXPECT_NE(capture.text().find(expected), std::string::npos) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, RemoteImageBadSession,
    ::testing::Values(BadSessionCase{"unknown_target", "disk9", password, "failed to find disk9 on %s"},
                      BadSessionCase{"wrong_password", "disk0", "wrong", "failed to connect to %s"}),
    [](const auto &info) { return std::string(info.param.label); });

struct MissingKeyCase {
    const char *key;
    const char *message;
};

class RemoteImageMissingKey : public RemoteImage,
                              public ::testing::WithParamInterface<MissingKeyCase> {};

TEST_P(RemoteImageMissingKey, InitNamesTheMissingCredential)
{
    serve(MiB, false);
    json_ptr section = vantrel();
    vt_json_obj_remove(section.get(), GetParam().key);
    SyserrCapture capture;
    vt_exa *raw = nullptr;
    EXPECT_NE(vt_exa_init(&raw, section.get(), session_log), 0);
    EXPECT_EQ(raw, nullptr);
    EXPECT_NE(capture.text().find(GetParam().message), std::string::npos) << capture.text();
    EXPECT_NE(capture.text().find("failed to load json"), std::string::npos) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(Keys, RemoteImageMissingKey,
                         ::testing::Values(MissingKeyCase{"subject", "failed to get subject string"},
                                           MissingKeyCase{"target", "failed to get target string"},
                                           MissingKeyCase{"username", "failed to get username string"},
                                           MissingKeyCase{"password", "failed to get password string"}),
                         [](const auto &info) { return std::string(info.param.key); });

// ---- Whole acquisitions ----

struct AcquisitionCase {
    const char *label;
    bool loop_device;
    uint64_t size;
    JobParams params;
};

class RemoteAcquisition : public RemoteImage,
                          public ::testing::WithParamInterface<AcquisitionCase> {};

TEST_P(RemoteAcquisition, TargetBecomesAVerifiedImageOfTheSameBytes)
{
    const AcquisitionCase &c = GetParam();
    serve(c.size, c.loop_device);
    img_ptr img = job(c.params);
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    finish_run(img.get());
    expect_complete_image(img.get());
    EXPECT_EQ(vt_img_check_recover(img.get()), 0);
    EXPECT_EQ(img->read->exa->logged_in, 1u);
    EXPECT_EQ(img->read->exa->session, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RemoteAcquisition,
    ::testing::Values(
        AcquisitionCase{"file_256mib", false, 256 * MiB, {}},
        // Small tables: a checkpoint at every read, the last read short.
        AcquisitionCase{"loop_device", true, 6 * MiB + 100 * 512, {524288, 32768, 16}},
        // One read for the whole target, which is not a multiple of the chunk size.
        AcquisitionCase{"single_read", false, 3 * MiB + 3 * 512, {4 * MiB, 32768, 65534}}),
    [](const auto &info) { return std::string(info.param.label); });

// ---- Lost, stalled and stopped sessions ----

constexpr uint64_t interrupted_size = 24 * MiB;
// Tables of 1 MiB, so a run interrupted part-way has committed checkpoints.
const JobParams interrupted_params{524288, 32768, 32};

TEST_F(RemoteImage, LostSubjectStopsTheRunAndResumesFromItsCheckpoint)
{
    serve(interrupted_size, false);
    img_ptr img = job(interrupted_params);
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    finish_run(img.get(), interrupted_size / 3, [&]() { agent->signal(SIGKILL); });
    agent->kill_now();

    EXPECT_EQ(status_of(img.get()), "stopped");
    EXPECT_EQ(img->read->exa->logged_in, 0u);
    EXPECT_EQ(vt_img_check_recover(img.get()), 1);
    const uint64_t checkpoint = recover_offset(img.get());
    EXPECT_GT(checkpoint, 0u);
    EXPECT_LT(checkpoint, interrupted_size);

    // The same subject comes back on the same address: the job resumes where its
    // checkpoint says, as the recovery loop does it.
    const std::string port = agent->port();
    start_agent("127.0.0.1:" + port);
    ASSERT_EQ(agent->port(), port);
    ASSERT_EQ(vt_read_reload_object(img->read), 0);
    ASSERT_EQ(vt_img_restart(img.get()), 0);
    EXPECT_GE(read_offset(img.get()), checkpoint);
    finish_run(img.get());
    expect_complete_image(img.get());
    EXPECT_EQ(vt_img_check_recover(img.get()), 0);
}

TEST_F(RemoteImage, UserStopKeepsTheMarkAndIsNotResumedAutomatically)
{
    serve(interrupted_size, false);
    img_ptr img = job(interrupted_params);
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    finish_run(img.get(), interrupted_size / 3, [&]() { vt_img_set_sentinel(img.get()); });

    EXPECT_EQ(status_of(img.get()), "stopped");
    EXPECT_EQ(img->read->exa->logged_in, 1u);
    EXPECT_EQ(vt_img_check_recover(img.get()), 0);

    // An explicit resumption still completes the image from the checkpoint.
    ASSERT_EQ(vt_img_restart(img.get()), 0);
    finish_run(img.get());
    expect_complete_image(img.get());
}

TEST_F(RemoteImage, StalledSubjectEndsTheRunWithinTheRequestTimeouts)
{
    serve(interrupted_size, false);
    img_ptr img = job(interrupted_params);
    ASSERT_TRUE(img);
    SyserrCapture capture;
    ASSERT_EQ(vt_img_start(img.get()), 0);
    // The agent keeps its connection open and stops answering.
    std::atomic<bool> done{false};
    std::thread watcher([&]() {
        while (!done && read_offset(img.get()) < interrupted_size / 3)
            std::this_thread::yield();
        agent->signal(SIGSTOP);
    });
    const bool stopped = wait_stop_flag(img.get());
    done = true;
    watcher.join();
    ASSERT_TRUE(stopped) << "a stalled subject kept the run going";

    // Stopping includes the logout over the dead connection, itself bounded by the
    // session's request timeout.
    auto stopping = std::async(std::launch::async, [&]() { return vt_img_stop(img.get()); });
    if (stopping.wait_for(patience) != std::future_status::ready) {
        agent->kill_now(); // lets the stop finish so the test can end
        stopping.wait();
        FAIL() << "stopping the run blocked on the stalled subject";
    }
    EXPECT_EQ(stopping.get(), 0);
    EXPECT_NE(capture.text().find("timeout on target read response"), std::string::npos)
        << capture.text();
    EXPECT_EQ(status_of(img.get()), "stopped");
    EXPECT_EQ(img->read->exa->logged_in, 0u);
    EXPECT_EQ(vt_img_check_recover(img.get()), 1);
}

} // namespace
