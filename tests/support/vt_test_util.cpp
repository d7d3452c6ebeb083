// Test helpers: temporary directories, child processes, syserr capture.
#include "vt_test_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vt_test {

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vt-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// Reads both pipes until they close, writing the input as the child takes it.
static void pump(int in_fd, const std::string &input, int out_fd, int err_fd, RunResult &result)
{
    size_t written = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            int &fd = i == 0 ? out_fd : err_fd;
            if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got > 0)
                (i == 0 ? result.out : result.err).append(chunk, size_t(got));
            else if (got == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in_fd, input.data() + written, input.size() - written);
            if (put > 0)
                written += size_t(put);
            if (put < 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
}

RunResult run(const std::vector<std::string> &argv, const std::string &input,
              const std::vector<std::string> &env)
{
    RunResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> args, envp;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : envs)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    pump(in[1], input, out[0], err[0], result);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string program(const std::string &name)
{
    static const char *const dirs[] = {"vt-exa-img", "vt-exa", "vt-agent"};
    for (const char *dir : dirs) {
        std::string path = std::string(VT_BIN_DIR) + "/" + dir + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return std::string(VT_BIN_DIR) + "/" + name;
}

SyserrCapture::SyserrCapture()
{
    saved_ = syserr;
    syserr = nullptr;
    if (vt_syslog_init_cb(&syserr, capture_cb, this))
        throw std::runtime_error("failed to install syserr capture");
}

SyserrCapture::~SyserrCapture()
{
    vt_syslog_deit(&syserr);
    syserr = saved_;
}

void SyserrCapture::capture_cb(const char *text, size_t length, void *user, unsigned)
{
    static_cast<SyserrCapture *>(user)->text_.append(text, length);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace vt_test
