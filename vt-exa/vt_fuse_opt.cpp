// The mounter's option record: the command line parsed with the FUSE option parser,
// and the two FUSE argument lists (mount channel and low-level session) built from it.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "vt_fuse.h"
#include "vt_misc.h"

namespace {

enum option_key : int {
    KEY_HELP = 1,
    KEY_VERBOSE,
    KEY_DAEMON,
    KEY_JSON,
    KEY_RAW,
    KEY_WAIT,
    KEY_CONFIG,
    KEY_USERNAME,
    KEY_PASSWORD,
    KEY_SUBJECT,
    KEY_TARGET,
    KEY_MOUNT,
};

// A template ending in a blank takes a value, either as the next argument or joined
// to the option; the parser hands both forms over joined ("-shost", "--subjecthost").
const fuse_opt option_table[] = {
    FUSE_OPT_KEY("-h", KEY_HELP),           FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_KEY("-v", KEY_VERBOSE),        FUSE_OPT_KEY("--verbose", KEY_VERBOSE),
    FUSE_OPT_KEY("-d", KEY_DAEMON),         FUSE_OPT_KEY("--daemon", KEY_DAEMON),
    FUSE_OPT_KEY("-j", KEY_JSON),           FUSE_OPT_KEY("--json", KEY_JSON),
    FUSE_OPT_KEY("-r", KEY_RAW),            FUSE_OPT_KEY("--raw", KEY_RAW),
    FUSE_OPT_KEY("-w ", KEY_WAIT),          FUSE_OPT_KEY("--wait ", KEY_WAIT),
    FUSE_OPT_KEY("-c ", KEY_CONFIG),        FUSE_OPT_KEY("--config ", KEY_CONFIG),
    FUSE_OPT_KEY("-u ", KEY_USERNAME),      FUSE_OPT_KEY("--username ", KEY_USERNAME),
    FUSE_OPT_KEY("-p ", KEY_PASSWORD),      FUSE_OPT_KEY("--password ", KEY_PASSWORD),
    FUSE_OPT_KEY("-s ", KEY_SUBJECT),       FUSE_OPT_KEY("--subject ", KEY_SUBJECT),
    FUSE_OPT_KEY("-t ", KEY_TARGET),        FUSE_OPT_KEY("--target ", KEY_TARGET),
    FUSE_OPT_KEY("-m ", KEY_MOUNT),         FUSE_OPT_KEY("--mount ", KEY_MOUNT),
    FUSE_OPT_END,
};

// Long names of the value options, to strip them from the joined argument.
const char *long_name(int key)
{
    switch (key) {
    case KEY_WAIT: return "--wait";
    case KEY_CONFIG: return "--config";
    case KEY_USERNAME: return "--username";
    case KEY_PASSWORD: return "--password";
    case KEY_SUBJECT: return "--subject";
    case KEY_TARGET: return "--target";
    case KEY_MOUNT: return "--mount";
    default: return "";
    }
}

// The value behind the option's own letters: "-shost" and "--subjecthost" give "host".
const char *option_value(const char *argument, int key)
{
    if (strncmp(argument, "--", 2) == 0)
        return argument + strlen(long_name(key));
    return argument + 2;
}

int replace_string(vt_string *string, const char *value)
{
    vt_string_free(string);
    return vt_string_copy(string, value, strlen(value));
}

int replace_path(vt_string *string, const char *value)
{
    vt_string resolved{};
    if (vt_absolute_path(&resolved, value))
        return 1;
    vt_string_free(string);
    *string = resolved;
    return 0;
}

// Values below the minimum or above the maximum are moved to the nearest bound.
int parse_wait(const char *text, int *wait)
{
    if (!*text)
        return 1;
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return 1;
    if (value < VT_FUSE_WAIT_MIN)
        value = VT_FUSE_WAIT_MIN;
    if (value > VT_FUSE_WAIT_MAX)
        value = VT_FUSE_WAIT_MAX;
    *wait = int(value);
    return 0;
}

int option_with_value(vt_option *opt, const char *argument, int key)
{
    const char *value = option_value(argument, key);
    switch (key) {
    case KEY_WAIT:
        if (parse_wait(value, &opt->wait))
            return VT_ERR("failed to convert wait argument to integer -- '%s'", value);
        return 0;
    case KEY_CONFIG:
        if (replace_path(&opt->config_path, value))
            return VT_ERR("failed to resolve configuration path argument -- '%s'", value);
        return 0;
    case KEY_USERNAME:
        if (replace_string(&opt->username, value))
            return VT_ERR("failed to duplicate username argument -- '%s'", value);
        return 0;
    case KEY_PASSWORD:
        if (replace_string(&opt->password, value))
            return VT_ERR("failed to duplicate password argument -- '%s'", value);
        return 0;
    case KEY_SUBJECT:
        if (replace_string(&opt->subject, value))
            return VT_ERR("failed to duplicate subject argument -- '%s'", value);
        return 0;
    case KEY_TARGET:
        if (replace_string(&opt->target, value))
            return VT_ERR("failed to duplicate target argument -- '%s'", value);
        return 0;
    case KEY_MOUNT:
        if (replace_path(&opt->mount_path, value))
            return VT_ERR("failed to resolved mount path argument -- '%s'", value);
        return 0;
    default:
        return VT_ERR("invalid option -- %s", argument);
    }
}

int set_flag(vt_option *opt, int key)
{
    switch (key) {
    case KEY_HELP: opt->help = 1; return 0;
    case KEY_VERBOSE: opt->verbose = 1; return 0;
    case KEY_DAEMON: opt->daemon = 1; return 0;
    case KEY_JSON: opt->json = 1; return 0;
    case KEY_RAW: opt->raw = 1; return 0;
    default: return 1;
    }
}

int set_command(vt_option *opt, const char *argument)
{
    if (opt->command.text)
        return VT_ERR("invalid argument -- '%s'", argument);
    if (vt_string_copy(&opt->command, argument, strlen(argument)))
        return VT_ERR("failed to duplicate argument -- '%s'", argument);
    return 0;
}

// The channel is mounted read-only, without set-id bits, devices or programs; the
// volume carries the target's name when one is given.
int build_channel_args(vt_option *opt, const char *program)
{
    fuse_args *args = &opt->channel_args;
    char *list = nullptr;
    static constexpr const char *defaults[] = {"async", "nosuid", "ro",        "noexec",
                                               "atime", "nodev",  "allow_root"};
    int failed = fuse_opt_add_arg(args, program) == -1 || fuse_opt_add_arg(args, "-o") == -1;
    for (const char *option : defaults)
        failed = failed || fuse_opt_add_opt(&list, option) == -1;
    if (failed) {
        free(list);
        return VT_ERR("failed to set default option list for fuse channel");
    }
    if (opt->target.text) {
        vt_buffer *raw = nullptr;
        if (vt_buffer_init(&raw, 64))
            failed = 1;
        else
            failed = vt_buffer_print(raw, "volname=%s", opt->target.text) ||
                     fuse_opt_add_opt_escaped(&list, reinterpret_cast<char *>(raw->data)) == -1;
        vt_buffer_deit(&raw);
        if (failed) {
            free(list);
            return VT_ERR("failed to duplicate option list -- %s", opt->target.text);
        }
    }
    failed = fuse_opt_add_arg(args, list) == -1;
    if (failed)
        VT_ERR("failed to duplicate option list -- %s", list);
    free(list);
    return failed;
}

int build_session_args(vt_option *opt, const char *program)
{
    fuse_args *args = &opt->session_args;
    for (const char *argument : {program, "-o", "async_read", "-o", "allow_root"}) {
        if (fuse_opt_add_arg(args, argument) == -1)
            return VT_ERR("failed to duplicate option list -- %s", argument);
    }
    return 0;
}

struct option_release {
    void operator()(vt_option *opt) const { vt_option_deit(&opt); }
};
using option_ptr = std::unique_ptr<vt_option, option_release>;

// The parser works on a copy of the arguments and leaves its output in `parsed`.
int parse_arguments(vt_option *opt, int argc, char **argv)
{
    fuse_args parsed = FUSE_ARGS_INIT(0, nullptr);
    for (int i = 0; i < argc; ++i) {
        if (fuse_opt_add_arg(&parsed, argv[i]) == -1) {
            fuse_opt_free_args(&parsed);
            return VT_ERR("failed to duplicate argument list -- %s", argv[i]);
        }
    }
    int result = fuse_opt_parse(&parsed, opt, option_table, vt_option_parser);
    fuse_opt_free_args(&parsed);
    if (result == -1)
        return VT_ERR("failed to parse command line options");
    return 0;
}

int set_default_config(vt_option *opt)
{
    if (opt->config_path.text)
        return 0;
    vt_buffer *raw = nullptr;
    int failed = vt_buffer_init(&raw, 64) || vt_buffer_print(raw, "%s/config", vt_state_dir()) ||
                 vt_string_copy(&opt->config_path, raw->data, raw->used);
    if (failed)
        VT_ERR("failed to copy configuration path -- %s/config", vt_state_dir());
    vt_buffer_deit(&raw);
    return failed;
}

} // namespace

int vt_option_parser(void *record, const char *argument, int key, fuse_args *)
{
    auto *opt = static_cast<vt_option *>(record);
    if (key == FUSE_OPT_KEY_NONOPT)
        return set_command(opt, argument) ? -1 : 1;
    if (key == FUSE_OPT_KEY_OPT) {
        VT_ERR("invalid option -- %s", argument);
        return -1;
    }
    if (set_flag(opt, key) == 0)
        return 1;
    return option_with_value(opt, argument, key) ? -1 : 1;
}

int vt_option_init(vt_option **slot, int argc, char **argv)
{
    if (!slot || *slot || argc < 1 || !argv)
        return VT_ERR("failed to create option object");
    option_ptr opt(new (std::nothrow) vt_option{});
    if (!opt)
        return VT_ERR("failed to create option object");
    opt->channel_args = FUSE_ARGS_INIT(0, nullptr);
    opt->session_args = FUSE_ARGS_INIT(0, nullptr);
    opt->wait = VT_FUSE_WAIT_DEFAULT;
    if (parse_arguments(opt.get(), argc, argv) || set_default_config(opt.get()) ||
        build_channel_args(opt.get(), argv[0]) || build_session_args(opt.get(), argv[0]))
        return 1;
    *slot = opt.release();
    return 0;
}

int vt_option_deit(vt_option **slot)
{
    if (!slot || !*slot)
        return 0;
    vt_option *opt = *slot;
    fuse_opt_free_args(&opt->channel_args);
    fuse_opt_free_args(&opt->session_args);
    for (vt_string *string : {&opt->subject, &opt->target, &opt->mount_path, &opt->username,
                              &opt->password, &opt->command, &opt->config_path})
        vt_string_free(string);
    delete opt;
    *slot = nullptr;
    return 0;
}
