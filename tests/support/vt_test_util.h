// Small helpers shared by the tests: temporary directories, running a program
// and capturing its streams, and capturing what the failure reporter writes.
#pragma once

#include <string>
#include <vector>

#include "vt_syslog.h"

namespace vt_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1; // exit code, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments (no shell), feeding `input` on standard input,
// with extra "NAME=value" entries added to the environment.
RunResult run(const std::vector<std::string> &argv, const std::string &input = "",
              const std::vector<std::string> &env = {});

// Path of a program built by this tree ("vt_imager", "vt_agent", "vt_accel").
std::string program(const std::string &name);

// While alive, every message delivered to `syserr` is appended to text().
class SyserrCapture {
public:
    SyserrCapture();
    ~SyserrCapture();
    SyserrCapture(const SyserrCapture &) = delete;
    SyserrCapture &operator=(const SyserrCapture &) = delete;
    const std::string &text() const { return text_; }
    void clear() { text_.clear(); }

private:
    static void capture_cb(const char *text, size_t length, void *user, unsigned level);
    std::string text_;
    vt_syslog *saved_ = nullptr;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

} // namespace vt_test
