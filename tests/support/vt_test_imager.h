// Helpers of the end-to-end tests that run the real programs: vt_imager under a
// state root of the test's own, sample sources, and the independent check of an
// E01 file with the ewf tools (the subject agent fixture is in vt_test_agent.h).
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vt_test_agent.h"
#include "vt_test_util.h"

namespace vt_test {

bool contains(const std::string &text, const std::string &part);
bool exists(const std::string &path);
// Text without its trailing line ends and blanks.
std::string trim(std::string text);
// Full path of a system tool (programs are started without a shell).
std::string tool(const std::string &name);
// Polls condition until it holds or the limit passes; true when it held.
bool eventually(const std::function<bool()> &condition, std::chrono::seconds limit);

// Source bytes in 96 KiB regions rotating through zeros, random bytes and text, so
// that chunks are stored both compressed and raw. Every region starts with its own
// number, so no two regions are alike and a misplaced one shows.
void write_evidence_sample(const std::string &path, uint64_t size);

// The E01 file verifies with ewfverify and exports (through scratch, a path prefix
// for ewfexport's raw output) as exactly the bytes of source.
void expect_e01_equals(const std::string &e01, const std::string &source,
                       const std::string &scratch);

// Slows a process down by keeping it stopped most of the time, so that a test can
// watch and interrupt a run long before it could finish, however fast the machine.
class Throttle {
public:
    explicit Throttle(pid_t pid);
    ~Throttle();
    Throttle(const Throttle &) = delete;
    Throttle &operator=(const Throttle &) = delete;

private:
    void run();
    pid_t pid_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Fields of a CSV line of `vt_imager status`.
struct status_line {
    std::string status, name, info;
    uint64_t rate = 0, offset = 0, length = 0;
};
bool parse_status(const std::string &line, status_line *out);

inline const std::string status_header =
    "status,image_name,image_info,read_bytes_per_sec,offset,length\n";
inline const std::string troubleshoot_hint = "Try again with -v,--verbose option to troubleshoot.\n";

// vt_imager with its state root and rendezvous sockets in directories of the test.
// Every process registered through daemon_pid is killed when the test ends.
class ImagerTest : public ::testing::Test {
protected:
    void TearDown() override;

    RunResult imager(std::vector<std::string> args, const std::string &input = "");
    std::string job_dir(const std::string &name) const { return state.path() + "/image/" + name; }
    std::string image(const std::string &name) const { return out.file(name + ".E01"); }
    // The process named by the job's pid file once it is alive (0 if none appears).
    pid_t daemon_pid(const std::string &name);
    // The job's line of `status -n name` (empty fields when there is none).
    status_line status_of(const std::string &name);
    // Waits until the job runs and has read something; false when it never did.
    bool live_status(const std::string &name, status_line *out);
    // `stop -n name` (its result in stopped) ended the job process pid, which left
    // the job "stopped" before its end (size) and without a pid file.
    void expect_stopped(const RunResult &stopped, const std::string &name, pid_t pid,
                        uint64_t size);
    void expect_image_equals(const std::string &e01, const std::string &sample);

    TempDir state;
    TempDir out;
    TempDir data;
    std::vector<pid_t> daemons_;
};

} // namespace vt_test
