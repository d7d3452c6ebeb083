// Our subject agent as a child process of a test: started on loopback with its
// password, port file and log in the test's directory, stopped and reaped by the
// fixture so that no agent outlives the test that started it.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "vt_test_util.h"

namespace vt_test {

// Credentials a test agent accepts unless the test names others.
inline constexpr char agent_user[] = "examiner";
inline constexpr char agent_password[] = "s3cret pass";

// Target name and the file or device it serves.
using AgentTargets = std::vector<std::pair<std::string, std::string>>;

struct AgentOptions {
    // "127.0.0.1:0" picks a free port.
    std::string listen = "127.0.0.1:0";
    // Keeps the subject's identifier across restarts when set.
    std::string uuid_file;
    // Further arguments, placed before the targets (so their targets number first).
    std::vector<std::string> extra;
    std::string user = agent_user;
    // Written to the password file as is (a test may add a line end).
    std::string password_text = agent_password;
};

// vt_agent serving targets, with its password, port file and log ("agent.log") in
// dir. The constructor returns once the agent wrote its port (or died, or a
// generous limit passed); the destructor kills it.
class Agent {
public:
    Agent(const TempDir &dir, const AgentTargets &targets, const AgentOptions &options = {});
    ~Agent() { kill_now(); }
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Started, listening, and not exited since.
    bool running() const;
    pid_t pid() const { return pid_; }
    const std::string &port() const { return port_; }
    // The port as a number, 0 when the agent never reported one.
    int port_number() const;
    std::string url() const { return "127.0.0.1:" + port_ + "/sub"; }
    void signal(int number) const;
    // Waits (bounded) for the agent to end by itself: its exit status (128 + signal
    // number when killed), or -1 when it is still running.
    int wait_exit();
    // Sends the signal, then as wait_exit.
    int terminate(int number);
    // SIGKILL (after SIGCONT, in case it was stopped), then reaps it.
    void kill_now();

private:
    bool reaped() const;
    pid_t pid_ = -1;
    std::string port_;
    mutable int status_ = -1;
};

} // namespace vt_test
