// Entry point of vt_accel: parse the options, print the usage text or the banner,
// route failure reports by --verbose, dispatch one command by the prefix of its word
// and exit with `vt_fuserr` when a step set it, otherwise with the command's result.
#include <sys/utsname.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "vt_common.h"
#include "vt_fuse.h"

int vt_fuserr = 0;

namespace {

constexpr const char accel_version[] = "8.0.0.57";

constexpr const char usage_lines[] =
    "Consult manual page for addition details.\n"
    "vt_accel mount  -s <subject> -t <target> -m <mount-path> -u <username> -p <password> --daemon\n"
    "vt_accel mount  -s <subject> -t <target> -m <mount-path> -u <username> -p <password>\n"
    "vt_accel umount -s <subject> -t <target>\n"
    "vt_accel query  -s <subject> -u <username> -p <password>\n"
    "vt_accel query  -s <subject> -u <username> -p <password> --json\n"
    "vt_accel stop   -s <subject> -u <username> -p <password>\n"
    "vt_accel add    -s <subject> -u <username> -p <password>\n"
    "vt_accel remove -s <subject>\n"
    "vt_accel cache\n"
    "vt_accel cache  -s <subject>\n"
    "vt_accel cache  --json\n"
    "vt_accel cache  -s <subject> --json\n"
    "vt_accel active [--json]\n";

// The macOS kernel calls itself Darwin; users know it as OSX.
const char *system_name(const utsname &system)
{
    return strcmp(system.sysname, "Darwin") == 0 ? "OSX" : system.sysname;
}

std::string_view command_word(const vt_option *opt)
{
    return {opt->command.text, opt->command.length};
}

// JSON output stays clean, and the listing commands print nothing but their lines.
bool wants_banner(const vt_option *opt)
{
    if (opt->json)
        return false;
    const std::string_view word = command_word(opt);
    for (std::string_view quiet : {"cache", "query", "activ"}) {
        if (word.starts_with(quiet))
            return false;
    }
    return true;
}

// The user name is required; a missing password is asked for on the terminal.
int require_credentials(vt_option *opt)
{
    if (!opt->username.text) {
        fputs("Missing -u,--username argument.\n", stderr);
        return 1;
    }
    if (!opt->password.text && vt_prompt_password(&opt->password))
        return VT_ERR("failed to prompt for password");
    return 0;
}

int run_mount(vt_option *opt, vt_fcache *store)
{
    return require_credentials(opt) || vt_fuse_mount(opt, store);
}

int run_umount(vt_option *opt, vt_fcache *store)
{
    return vt_fuse_umount(opt, store);
}

int run_query(vt_option *opt, vt_fcache *store)
{
    return require_credentials(opt) || vt_fuse_call(opt, store, vt_fuse_query_cb);
}

// Each step must succeed before the next one runs.
int run_stop(vt_option *opt, vt_fcache *store)
{
    return require_credentials(opt) || vt_fuse_call(opt, store, vt_fuse_add_cb) ||
           vt_fuse_stop(opt, store) || vt_fuse_remove(opt, store);
}

int run_add(vt_option *opt, vt_fcache *store)
{
    return require_credentials(opt) || vt_fuse_call(opt, store, vt_fuse_add_cb);
}

int run_active(vt_option *opt, vt_fcache *store)
{
    return opt->json ? vt_fuse_active_json(opt, store) : vt_fuse_active_csv(opt, store);
}

struct command_entry {
    std::string_view prefix; // a word beginning with this selects the command
    int (*run)(vt_option *opt, vt_fcache *store);
};

constexpr std::array<command_entry, 8> commands = {{
    {"mount", run_mount},
    {"umount", run_umount},
    {"query", run_query},
    {"stop", run_stop},
    {"add", run_add},
    {"remove", vt_fuse_remove},
    {"cache", vt_fuse_cache},
    {"activ", run_active},
}};

int dispatch(vt_option *opt, vt_fcache *store)
{
    const std::string_view word = command_word(opt);
    for (const command_entry &entry : commands) {
        if (word.starts_with(entry.prefix))
            return entry.run(opt, store);
    }
    fprintf(stderr,
            "Invalid command -- %s; specify -h or --help for available commands and usage.\n",
            opt->command.text);
    return 1;
}

int route_syserr(const vt_option *opt)
{
    vt_syslog_deit(&syserr);
    return vt_syslog_init_cb(&syserr, opt->verbose ? vt_syslog_stderr_cb : vt_syslog_empty_cb,
                             nullptr);
}

// Everything after the option record and the store exist; the caller releases them.
int run(vt_option *opt, vt_fcache *store, const utsname &system)
{
    if (opt->help) {
        printf("Vantrel %s Accelerator %s\n%s", system_name(system), accel_version, usage_lines);
        return 0;
    }
    if (route_syserr(opt)) {
        fputs("Failed to route diagnostic output.\n", stderr);
        return 1;
    }
    if (!opt->command.text) {
        fputs("Missing command; specify -h or --help for available commands and usage.\n",
              stderr);
        return 1;
    }
    if (wants_banner(opt)) {
        printf("Vantrel %s Examiner %s Accelerator Edition\n", system_name(system),
               accel_version);
        fflush(stdout);
    }
    return dispatch(opt, store);
}

} // namespace

int main(int argc, char **argv)
{
    utsname system{};
    if (uname(&system) != 0) {
        fputs("Failed to get uname information.\n", stderr);
        return 1;
    }
    vt_option *opt = nullptr;
    if (vt_option_init(&opt, argc, argv)) {
        fputs("Failed to parse command line arguments.\n", stderr);
        return 1;
    }
    vt_fcache *store = nullptr;
    if (vt_cache_store_init(&store, VT_CACHE_DIR_MOUNTER)) {
        fputs("Failed to create file cache object.\n", stderr);
        vt_option_deit(&opt);
        return 1;
    }
    int result = run(opt, store, system);
    vt_fcache_deit(&store);
    vt_option_deit(&opt);
    vt_syslog_deit(&syserr);
    fflush(stdout);
    return vt_fuserr ? vt_fuserr : result;
}
