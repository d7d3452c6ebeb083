// The listening side of the agent: one socket, one accept loop that also reaps
// ended connections and watches for SIGINT/SIGTERM (through a signalfd, so no
// handler runs), and one reader thread per connection. Stopping closes the
// listening socket first, then every connection, and joins their threads.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vt_agent.h"
#include "vt_syslog.h"

namespace {

struct server_deleter {
    void operator()(vt_agent_server *server) const { vt_agent_server_deit(&server); }
};
struct addrinfo_deleter {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};

constexpr int kBacklog = 64;

} // namespace

static int listen_on(const addrinfo *address)
{
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0)
        return -1;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, address->ai_addr, address->ai_addrlen) != 0 || listen(fd, kBacklog) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Binds the first address the host and port resolve to and records the bound port.
static int server_listen(vt_agent_server *server)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *raw = nullptr;
    const char *host = server->opt->host && *server->opt->host ? server->opt->host : nullptr;
    int rc = getaddrinfo(host, server->opt->port, &hints, &raw);
    if (rc != 0)
        return VT_ERR("failed to resolve listen address %s:%s; %s", host ? host : "",
                      server->opt->port, gai_strerror(rc));
    std::unique_ptr<addrinfo, addrinfo_deleter> list(raw);
    for (const addrinfo *address = raw; address && server->listen_fd < 0; address = address->ai_next)
        server->listen_fd = listen_on(address);
    if (server->listen_fd < 0)
        return VT_SYSERR("failed to listen on %s:%s", host ? host : "", server->opt->port);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    char port[NI_MAXSERV];
    if (getsockname(server->listen_fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&bound), length, nullptr, 0, port, sizeof port,
                    NI_NUMERICSERV) != 0)
        return VT_SYSERR("failed to get the bound port");
    snprintf(server->port, sizeof server->port, "%s", port);
    return 0;
}

// The bound port, written to a temporary file renamed into place, so a reader never
// sees a half-written number.
static int write_port_file(const char *path, const char *port)
{
    std::string temporary = std::string(path) + ".tmp";
    FILE *file = fopen(temporary.c_str(), "we");
    if (!file)
        return VT_SYSERR("failed to create %s", temporary.c_str());
    bool written = fprintf(file, "%s\n", port) > 0;
    if (fclose(file) != 0 || !written || rename(temporary.c_str(), path) != 0) {
        unlink(temporary.c_str());
        return VT_SYSERR("failed to write port file %s", path);
    }
    return 0;
}

// SIGINT and SIGTERM arrive on a descriptor; main blocked them before any thread.
static int watch_signals(vt_agent_server *server)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    server->signal_fd = signalfd(-1, &set, SFD_CLOEXEC);
    if (server->signal_fd < 0)
        return VT_SYSERR("failed to watch stop signals");
    return 0;
}

static int server_identity(vt_agent_server *server)
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return VT_SYSERR("failed to get the host name");
    if (vt_string_copy(&server->hostname, host, strlen(host)))
        return VT_ERR("failed to copy the host name");
    return vt_agent_uuid(&server->uuid, server->opt);
}

int vt_agent_server_init(vt_agent_server **slot, const vt_agent_opt *opt, vt_agent_table *table)
{
    if (!slot || *slot || !opt || !table)
        return VT_ERR("invalid server slot");
    std::unique_ptr<vt_agent_server, server_deleter> server(new (std::nothrow) vt_agent_server{});
    if (!server)
        return VT_ERR("failed to create server object");
    server->opt = opt;
    server->table = table;
    server->listen_fd = server->wake_fd = server->signal_fd = -1;
    if (vt_lock_init(&server->lock) || vt_syslog_init_path(&server->out, nullptr))
        return VT_ERR("failed to create server lock and log");
    server->wake_fd = eventfd(0, EFD_CLOEXEC);
    if (server->wake_fd < 0)
        return VT_SYSERR("failed to create wake-up event");
    if (vt_agent_login_init(&server->login, opt->user, &opt->password))
        return VT_ERR("failed to set up credentials");
    if (watch_signals(server.get()) || server_listen(server.get()) ||
        server_identity(server.get()))
        return VT_ERR("failed to set up the listening socket");
    if (opt->port_file && write_port_file(opt->port_file, server->port))
        return VT_ERR("failed to publish the listening port");
    *slot = server.release();
    return 0;
}

// Ends every connection: shutting the sockets wakes the readers, then each is joined.
static void close_sessions(vt_agent_server *server)
{
    vt_lock_acquire(server->lock);
    vt_agent_session *list = server->sessions;
    server->sessions = nullptr;
    vt_lock_release(server->lock);
    for (vt_agent_session *session = list; session; session = session->next)
        mg_connection_close(session->conn);
    while (list) {
        vt_agent_session *session = list;
        list = session->next;
        vt_agent_session_deit(&session);
    }
}

int vt_agent_server_deit(vt_agent_server **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_agent_server *server = *slot;
    if (server->listen_fd >= 0)
        close(server->listen_fd);
    if (server->lock)
        close_sessions(server);
    if (server->wake_fd >= 0)
        close(server->wake_fd);
    if (server->signal_fd >= 0)
        close(server->signal_fd);
    explicit_bzero(&server->login, sizeof server->login);
    vt_string_free(&server->hostname);
    vt_string_free(&server->uuid);
    vt_syslog_deit(&server->out);
    vt_lock_deit(&server->lock);
    delete server;
    *slot = nullptr;
    return 0;
}

void vt_agent_server_stop(vt_agent_server *server)
{
    if (!server)
        return;
    server->stop = 1;
    eventfd_write(server->wake_fd, 1);
}

// Frees the connections whose readers have ended.
static void reap_sessions(vt_agent_server *server)
{
    vt_agent_session *ended = nullptr;
    vt_lock_acquire(server->lock);
    for (vt_agent_session **link = &server->sessions; *link;) {
        vt_agent_session *session = *link;
        if (!session->done) {
            link = &session->next;
            continue;
        }
        *link = session->next;
        session->next = ended;
        ended = session;
    }
    vt_lock_release(server->lock);
    while (ended) {
        vt_agent_session *session = ended;
        ended = session->next;
        vt_agent_session_deit(&session);
    }
}

static void accept_one(vt_agent_server *server)
{
    int fd = accept4(server->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
            VT_SYSERR("failed to accept connection");
        return;
    }
    vt_agent_session *session = nullptr;
    if (vt_agent_session_init(&session, server, fd)) {
        VT_ERR("failed to create session");
        return;
    }
    // Listed before its thread starts, so an immediate close is reaped like any other.
    vt_lock_acquire(server->lock);
    session->next = server->sessions;
    server->sessions = session;
    vt_lock_release(server->lock);
    if (vt_agent_session_start(session)) {
        session->done = true;
        reap_sessions(server);
    }
}

int vt_agent_server_run(vt_agent_server *server)
{
    if (VT_NIL(1, server))
        return 1;
    vt_syslog_log(server->out, 1, "Listening on %s:%s%s.\n", server->opt->host, server->port,
                  server->opt->path);
    pollfd fds[3] = {{server->listen_fd, POLLIN, 0},
                     {server->wake_fd, POLLIN, 0},
                     {server->signal_fd, POLLIN, 0}};
    while (!server->stop) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return VT_SYSERR("failed to wait for connections");
        }
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(server->signal_fd, &info, sizeof info) == ssize_t(sizeof info))
                vt_syslog_log(server->out, 1, "Stopping on signal %u.\n", info.ssi_signo);
            server->stop = 1;
        }
        if (fds[1].revents & POLLIN) {
            eventfd_t count = 0;
            eventfd_read(server->wake_fd, &count);
            reap_sessions(server);
        }
        if (!server->stop && (fds[0].revents & POLLIN))
            accept_one(server);
    }
    // Stop listening before the connections end, so no new one slips in.
    close(server->listen_fd);
    server->listen_fd = -1;
    close_sessions(server);
    return 0;
}
