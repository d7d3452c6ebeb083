// vt_agent: the subject agent run on the machine under investigation. Parses the
// command line, opens the targets, then serves examiner connections until a
// signal or a shutdown request. Exit status 0 after a clean stop, 1 on failure.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_syslog.h"
#include "vt_web_key.h"

namespace fmt = vt_agent_format;

namespace {

constexpr char kUsage[] =
    "Usage: vt_agent --user NAME (--password-file FILE | --password TEXT)\n"
    "                [--target NAME=PATH]... [--listen HOST:PORT] [--path PATH]\n"
    "                [--dh raw|cert] [--port-file FILE] [--uuid-file FILE] [--verbose]\n"
    "See vt_agent(1).\n";

enum option_id : int {
    OPT_LISTEN = 'l',
    OPT_PATH = 'P',
    OPT_TARGET = 't',
    OPT_USER = 'u',
    OPT_PASSWORD = 'p',
    OPT_PASSWORD_FILE = 'f',
    OPT_DH = 'd',
    OPT_PORT_FILE = 256,
    OPT_UUID_FILE,
    OPT_VERBOSE = 'v',
    OPT_HELP = 'h',
    OPT_VERSION = 'V',
};

constexpr option kOptions[] = {
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"path", required_argument, nullptr, OPT_PATH},
    {"target", required_argument, nullptr, OPT_TARGET},
    {"user", required_argument, nullptr, OPT_USER},
    {"password", required_argument, nullptr, OPT_PASSWORD},
    {"password-file", required_argument, nullptr, OPT_PASSWORD_FILE},
    {"dh", required_argument, nullptr, OPT_DH},
    {"port-file", required_argument, nullptr, OPT_PORT_FILE},
    {"uuid-file", required_argument, nullptr, OPT_UUID_FILE},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// What parsing keeps alive for the options record.
struct parsed {
    vt_agent_opt opt{};
    std::string host;
    std::string port;
    std::vector<const char *> targets;
    const char *password = nullptr;
    const char *password_file = nullptr;
    ~parsed() { vt_string_free(&opt.password); }
};

struct table_deleter {
    void operator()(vt_agent_table *table) const { vt_agent_table_deit(&table); }
};
struct server_deleter {
    void operator()(vt_agent_server *server) const { vt_agent_server_deit(&server); }
};

} // namespace

// "HOST:PORT", "HOST", ":PORT" or "[V6]:PORT"; the missing part keeps its default.
static int parse_listen(parsed *p, std::string_view text)
{
    std::string_view host = text, port;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos)
            return 1;
        host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return 1;
        port = rest.empty() ? rest : rest.substr(1);
    } else if (size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!host.empty())
        p->host = host;
    if (!port.empty())
        p->port = port;
    return port.find_first_not_of("0123456789") != std::string_view::npos;
}

// The first line of the file, without its line end: the password.
static int read_password_file(const char *path, vt_string *password)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "re"), &fclose);
    if (!file)
        return VT_SYSERR("failed to open password file %s", path);
    char line[1024] = {};
    if (!fgets(line, sizeof line, file.get()))
        line[0] = '\0';
    size_t length = strcspn(line, "\r\n");
    int failed = length == 0 || vt_string_copy(password, line, length);
    explicit_bzero(line, sizeof line);
    if (failed)
        return VT_ERR("password file %s holds no password", path);
    return 0;
}

static int usage_error(const char *message)
{
    fprintf(stderr, "%s\n%s", message, kUsage);
    return 1;
}

// Fills the options; 0 to run, 1 on a usage error, -1 when help or version was shown.
static int parse_options(parsed *p, int argc, char **argv)
{
    p->host = fmt::kDefaultHost;
    p->port = fmt::kDefaultPort;
    p->opt.path = fmt::kDefaultPath;
    p->opt.dh_kind = vt_key_format::kKindRaw;
    int id;
    while ((id = getopt_long(argc, argv, "l:P:t:u:p:f:d:vhV", kOptions, nullptr)) != -1) {
        switch (id) {
        case OPT_LISTEN:
            if (parse_listen(p, optarg))
                return usage_error("Invalid --listen address; expected HOST:PORT.");
            break;
        case OPT_PATH:
            if (optarg[0] != '/' || optarg[1] == '\0')
                return usage_error("Invalid --path; it starts with '/' and names something.");
            p->opt.path = optarg;
            break;
        case OPT_TARGET:
            p->targets.push_back(optarg);
            break;
        case OPT_USER:
            p->opt.user = optarg;
            break;
        case OPT_PASSWORD:
            p->password = optarg;
            break;
        case OPT_PASSWORD_FILE:
            p->password_file = optarg;
            break;
        case OPT_DH:
            if (strcmp(optarg, "raw") == 0)
                p->opt.dh_kind = vt_key_format::kKindRaw;
            else if (strcmp(optarg, "cert") == 0)
                p->opt.dh_kind = vt_key_format::kKindCert;
            else
                return usage_error("Invalid --dh; expected raw or cert.");
            break;
        case OPT_PORT_FILE:
            p->opt.port_file = optarg;
            break;
        case OPT_UUID_FILE:
            p->opt.uuid_file = optarg;
            break;
        case OPT_VERBOSE:
            p->opt.verbose = true;
            break;
        case OPT_HELP:
            fputs(kUsage, stdout);
            return -1;
        case OPT_VERSION:
            printf("vt_agent %s\n", fmt::kVersion);
            return -1;
        default:
            return usage_error("Invalid option.");
        }
    }
    if (optind < argc)
        return usage_error("Unexpected argument.");
    if (!p->opt.user || !*p->opt.user)
        return usage_error("Missing --user argument.");
    if (!p->password == !p->password_file)
        return usage_error("Give exactly one of --password-file and --password.");
    if (p->password_file ? read_password_file(p->password_file, &p->opt.password)
                         : (!*p->password ||
                            vt_string_copy(&p->opt.password, p->password, strlen(p->password))))
        return usage_error("Missing password.");
    p->opt.host = p->host.c_str();
    p->opt.port = p->port.c_str();
    p->opt.target_specs = p->targets.data();
    p->opt.target_count = p->targets.size();
    return 0;
}

int main(int argc, char **argv)
{
    parsed p;
    int parsed_result = parse_options(&p, argc, argv);
    if (parsed_result != 0)
        return parsed_result < 0 ? 0 : 1;
    // Before any thread exists: the stop signals are read from a descriptor by the
    // accept loop, and writes to a closed peer fail instead of ending the process.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vt_agent_table *raw_table = nullptr;
    if (vt_agent_table_init(&raw_table, p.opt.target_specs, p.opt.target_count)) {
        fprintf(stderr, "Failed to open the targets.\n");
        return 1;
    }
    std::unique_ptr<vt_agent_table, table_deleter> table(raw_table);
    vt_agent_server *raw_server = nullptr;
    if (vt_agent_server_init(&raw_server, &p.opt, table.get())) {
        fprintf(stderr, "Failed to start listening on %s:%s.\n", p.opt.host, p.opt.port);
        return 1;
    }
    std::unique_ptr<vt_agent_server, server_deleter> server(raw_server);
    int result = vt_agent_server_run(server.get());
    server.reset();
    return result;
}
