// Helpers of the end-to-end tests: vt_imager runs under the test's state root,
// samples and the ewf tools' verdict on an image.
#include "vt_test_imager.h"

#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vt_test {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

bool exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string trim(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string tool(const std::string &name)
{
    for (const char *dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return name;
}

bool eventually(const std::function<bool()> &condition, std::chrono::seconds limit)
{
    const auto deadline = clock_type::now() + limit;
    while (clock_type::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

void write_evidence_sample(const std::string &path, uint64_t size)
{
    std::string data(size, '\0');
    constexpr uint64_t region = 96 * 1024;
    constexpr char text[] = "remote evidence ";
    for (uint64_t at = 0; at < size; at += region) {
        char *bytes = data.data() + at;
        const uint64_t n = std::min(region, size - at);
        if ((at / region) % 3 == 1) {
            for (uint64_t done = 0; done < n;) {
                const ssize_t got = getrandom(bytes + done, n - done, 0);
                ASSERT_GT(got, 0);
                done += static_cast<uint64_t>(got);
            }
        } else if ((at / region) % 3 == 2) {
            for (uint64_t i = 0; i < n; i += sizeof text - 1)
                std::memcpy(bytes + i, text, std::min<uint64_t>(sizeof text - 1, n - i));
        }
        const uint64_t number = at / region;
        std::memcpy(bytes, &number, std::min<uint64_t>(sizeof number, n));
    }
    write_file(path, data);
}

void expect_e01_equals(const std::string &e01, const std::string &source,
                       const std::string &scratch)
{
    const RunResult verify = run({tool("ewfverify"), "-q", e01});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    const RunResult exported = run({tool("ewfexport"), "-q", "-u", "-f", "raw", "-t", scratch, e01});
    ASSERT_EQ(exported.status, 0) << exported.out << exported.err;
    const RunResult compared = run({tool("cmp"), scratch + ".raw", source});
    EXPECT_EQ(compared.status, 0) << "exported bytes differ from the source: " << compared.out;
    unlink((scratch + ".raw").c_str());
    unlink((scratch + ".raw.info").c_str());
}

// ---- Throttle ----

Throttle::Throttle(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}

Throttle::~Throttle()
{
    done_ = true;
    thread_.join();
    kill(pid_, SIGCONT);
}

void Throttle::run()
{
    while (!done_) {
        if (kill(pid_, SIGSTOP) != 0)
            return;
        std::this_thread::sleep_for(48ms);
        kill(pid_, SIGCONT);
        std::this_thread::sleep_for(2ms);
    }
}

// ---- Status lines ----

bool parse_status(const std::string &line, status_line *out)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields.size() != 6)
        return false;
    *out = {fields[0], fields[1], fields[2], std::stoull(fields[3]), std::stoull(fields[4]),
            std::stoull(fields[5])};
    return true;
}

// ---- ImagerTest ----

void ImagerTest::TearDown()
{
    // Job processes die with the test that started them, even when it failed.
    for (pid_t pid : daemons_) {
        kill(pid, SIGCONT);
        kill(pid, SIGKILL);
    }
}

RunResult ImagerTest::imager(std::vector<std::string> args, const std::string &input)
{
    args.insert(args.begin(), program("vt_imager"));
    return run(args, input,
               {"VANTREL_STATE_DIR=" + state.path(), "VANTREL_SOCKET_DIR=" + state.path()});
}

pid_t ImagerTest::daemon_pid(const std::string &name)
{
    pid_t pid = 0;
    eventually(
        [&] {
            const std::string text = read_file(job_dir(name) + "/pid");
            pid = text.empty() ? 0 : pid_t(std::strtol(text.c_str(), nullptr, 10));
            return pid > 0 && kill(pid, 0) == 0;
        },
        30s);
    if (pid > 0)
        daemons_.push_back(pid);
    return pid;
}

status_line ImagerTest::status_of(const std::string &name)
{
    const RunResult r = imager({"status", "-n", name});
    status_line line;
    if (r.status == 0 && r.out.rfind(status_header, 0) == 0)
        parse_status(r.out.substr(status_header.size(), r.out.size() - status_header.size() - 1),
                     &line);
    return line;
}

bool ImagerTest::live_status(const std::string &name, status_line *out)
{
    return eventually(
        [&] {
            *out = status_of(name);
            return out->status == "started" && out->offset > 0;
        },
        60s);
}

void ImagerTest::expect_stopped(const RunResult &stopped, const std::string &name, pid_t pid,
                                uint64_t size)
{
    EXPECT_EQ(stopped.status, 0);
    EXPECT_TRUE(contains(stopped.out, "Sent sigterm to image process -- " + std::to_string(pid) +
                                          ".\n"))
        << stopped.out;
    EXPECT_TRUE(contains(stopped.out,
                         "\nSuccessfully stop image process -- " + std::to_string(pid) + ".\n"))
        << stopped.out;
    const status_line halted = status_of(name);
    EXPECT_EQ(halted.status, "stopped");
    EXPECT_LT(halted.offset, size);
    EXPECT_FALSE(exists(job_dir(name) + "/pid"));
}

void ImagerTest::expect_image_equals(const std::string &e01, const std::string &sample)
{
    expect_e01_equals(e01, sample, out.file("export"));
}

} // namespace vt_test
