// The subject agent fixture of the tests: fork/exec of vt_agent with the test's
// credentials and targets, the wait for its port file, and its end.
#include "vt_test_agent.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "vt_test_imager.h"

namespace vt_test {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

// Only there so that an agent that never comes up fails the test, not the suite.
constexpr auto agent_patience = 120s;

int decode_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> agent_args(const TempDir &dir, const AgentTargets &targets,
                                    const AgentOptions &options)
{
    std::vector<std::string> args = {program("vt_agent"), "--listen",  options.listen,
                                     "--port-file",       dir.file("port"), "--user",
                                     options.user,        "--password-file", dir.file("password")};
    if (!options.uuid_file.empty()) {
        args.push_back("--uuid-file");
        args.push_back(options.uuid_file);
    }
    args.insert(args.end(), options.extra.begin(), options.extra.end());
    for (const auto &[name, path] : targets) {
        args.push_back("--target");
        args.push_back(name + "=" + path);
    }
    return args;
}

// In the child: standard output and error go to log, then vt_agent replaces it.
[[noreturn]] void exec_agent(std::vector<std::string> args, const std::string &log)
{
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace

Agent::Agent(const TempDir &dir, const AgentTargets &targets, const AgentOptions &options)
{
    const std::string port_file = dir.file("port");
    write_file(dir.file("password"), options.password_text);
    unlink(port_file.c_str());
    std::vector<std::string> args = agent_args(dir, targets, options);
    pid_ = fork();
    if (pid_ == 0)
        exec_agent(std::move(args), dir.file("agent.log"));
    for (auto deadline = clock_type::now() + agent_patience;
         port_.empty() && clock_type::now() < deadline;) {
        if (access(port_file.c_str(), F_OK) == 0)
            port_ = trim(read_file(port_file));
        else
            std::this_thread::sleep_for(20ms);
        if (reaped())
            break;
    }
}

bool Agent::reaped() const
{
    if (pid_ <= 0 || status_ >= 0)
        return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    status_ = decode_status(status);
    return true;
}

bool Agent::running() const
{
    return !port_.empty() && !reaped();
}

int Agent::port_number() const
{
    return port_.empty() ? 0 : std::stoi(port_);
}

void Agent::signal(int number) const
{
    if (!reaped())
        kill(pid_, number);
}

int Agent::wait_exit()
{
    for (auto deadline = clock_type::now() + 60s; !reaped() && clock_type::now() < deadline;)
        std::this_thread::sleep_for(50ms);
    return status_;
}

int Agent::terminate(int number)
{
    signal(number);
    return wait_exit();
}

void Agent::kill_now()
{
    if (!reaped()) {
        kill(pid_, SIGCONT);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = decode_status(status);
    }
    pid_ = -1;
}

} // namespace vt_test
