// Entry point of vt_imager: parse the command line, print the header or help,
// route failure reports by --verbose, run one command and return its exit code.
#include <sys/utsname.h>

#include <array>
#include <cstring>
#include <string_view>

#include "vt_aux.h"
#include "vt_main_misc.h"
#include "vt_opt.h"
#include "vt_syslog.h"

namespace {

constexpr const char imager_version[] = "8.0.0.57";

struct command_entry {
    std::string_view word;
    int (*run)(vt_opt *opt, vt_syslog *console);
};

constexpr std::array<command_entry, 5> commands = {{
    {"start", vt_exa_img_start},
    {"stop", vt_exa_img_stop},
    {"status", vt_exa_img_status},
    {"restart", vt_exa_img_restart},
    {"remove", vt_exa_img_remove},
}};

std::string_view command_word(const vt_opt *opt)
{
    return opt->command.text ? std::string_view(opt->command.text, opt->command.length)
                             : std::string_view();
}

// Prints "Vantrel <system> Imager <version>"; the macOS kernel name is shown as OSX.
int vt_header(vt_syslog *console)
{
    struct utsname system = {};
    if (uname(&system) != 0)
        return VT_SYSERR("failed to get system information");
    const char *name = strcmp(system.sysname, "Darwin") == 0 ? "OSX" : system.sysname;
    return vt_syslog_log(console, 2, "Vantrel %s Imager %s\n", name, imager_version);
}

// Replaces the failure reporter: stderr under --verbose, silent otherwise.
int vt_verbose(const vt_opt *opt)
{
    vt_syslog_deit(&syserr);
    if (vt_syslog_init_cb(&syserr, opt->verbose ? vt_syslog_stderr_cb : vt_syslog_empty_cb,
                          nullptr))
        return VT_ERR("failed to create syslog object");
    return 0;
}

int dispatch(vt_opt *opt, vt_syslog *console)
{
    const std::string_view word = command_word(opt);
    if (word.empty()) {
        vt_syslog_log(console, 0,
                      "Missing command; specify -h or --help for available commands and usage.\n");
        return 1;
    }
    for (const command_entry &entry : commands) {
        if (entry.word == word)
            return entry.run(opt, console);
    }
    vt_syslog_log(console, 0,
                  "Invalid command -- %s; specify -h or --help for available commands and "
                  "usage.\n",
                  opt->command.text);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    vt_syslog *console = nullptr;
    if (vt_syslog_init_cb(&console, vt_syslog_stdout_cb, nullptr))
        return VT_ERR("failed to create syslog object");
    vt_opt *opt = nullptr;
    int result = 1;
    if (vt_opt_init(&opt, argc, argv))
        VT_ERR("failed to parse command line arguments");
    else if (command_word(opt) != "status" && vt_header(console))
        VT_ERR("failed to write header text");
    else if (opt->help)
        result = vt_help(console) ? VT_ERR("failed to write help text") : 0;
    else if (vt_verbose(opt))
        VT_ERR("failed to create syserr object");
    else if ((result = dispatch(opt, console)) != 0 && !opt->verbose)
        vt_syslog_log(console, 0, "Try again with -v,--verbose option to troubleshoot.\n");
    vt_opt_deit(&opt);
    vt_syslog_deit(&console);
    vt_syslog_deit(&syserr);
    return result;
}
