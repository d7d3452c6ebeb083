// Command-line parsing of vt_imager into the options record: getopt_long over a
// fixed long option table, with -c loading a job document into the record.
#include "vt_opt.h"

#include <getopt.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vt_buffer.h"
#include "vt_job.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

// Each row's letter is also the value getopt_long returns for it.
constexpr std::array<option, 14> long_options = {{
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, 'v'},
    {"daemon", no_argument, nullptr, 'd'},
    {"json", no_argument, nullptr, 'j'},
    {"recover", no_argument, nullptr, 'r'},
    {"config", required_argument, nullptr, 'c'},
    {"username", required_argument, nullptr, 'u'},
    {"password", required_argument, nullptr, 'p'},
    {"subject", required_argument, nullptr, 's'},
    {"target", required_argument, nullptr, 't'},
    {"output", required_argument, nullptr, 'o'},
    {"name", required_argument, nullptr, 'n'},
    {"hash", required_argument, nullptr, 'm'},
    {nullptr, 0, nullptr, 0},
}};
constexpr size_t long_option_rows = long_options.size() - 1;

struct flag_field {
    int letter;
    uint32_t vt_opt::*field;
};

struct string_field {
    int letter;
    vt_string vt_opt::*field;
};

constexpr std::array<flag_field, 5> flag_fields = {{
    {'h', &vt_opt::help},
    {'v', &vt_opt::verbose},
    {'d', &vt_opt::daemon},
    {'j', &vt_opt::json},
    {'r', &vt_opt::recover},
}};

// -c is not here: besides its copy it loads a job document.
constexpr std::array<string_field, 7> string_fields = {{
    {'u', &vt_opt::username},
    {'p', &vt_opt::password},
    {'s', &vt_opt::subject},
    {'t', &vt_opt::target},
    {'o', &vt_opt::image_path},
    {'n', &vt_opt::image_name},
    {'m', &vt_opt::hash},
}};

constexpr std::array<vt_string vt_opt::*, 14> all_strings = {
    &vt_opt::config,          &vt_opt::username,      &vt_opt::password,
    &vt_opt::subject,         &vt_opt::target,        &vt_opt::image_path,
    &vt_opt::image_name,      &vt_opt::hash,          &vt_opt::case_number,
    &vt_opt::evidence_number, &vt_opt::examiner_name, &vt_opt::notes,
    &vt_opt::unique_description, &vt_opt::command,
};

using opt_ptr = vt_owner<vt_opt, vt_opt_deit>;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

// Copies an option argument; fails on an empty argument or a field already set,
// which is how a repeated option is refused.
int copy_argument(vt_string *field, const char *argument)
{
    return vt_string_copy(field, argument, strlen(argument));
}

// Applies one option that getopt_long returned. 0 on success, 1 after reporting.
int parse_option(vt_opt *opt, int letter, const char *argument)
{
    for (const flag_field &row : flag_fields) {
        if (row.letter == letter) {
            opt->*row.field = 1;
            return 0;
        }
    }
    for (const string_field &row : string_fields) {
        if (row.letter == letter)
            return copy_argument(&(opt->*row.field), argument);
    }
    if (letter == 'c') {
        if (copy_argument(&opt->config, argument))
            return 1;
        return vt_opt_get_object(opt, nullptr);
    }
    if (letter == '?')
        return VT_ERR("invalid option -- '%c'", letter);
    return VT_ERR("undefined option -- '%c'", letter);
}

} // namespace

int vt_opt_short_string(vt_string *out)
{
    buffer_ptr buffer;
    {
        vt_buffer *raw = nullptr;
        if (long_option_rows == 0 || vt_buffer_init(&raw, 256))
            return VT_ERR("failed to generate short option string");
        buffer.reset(raw);
    }
    for (size_t i = 0; i < long_option_rows; ++i) {
        const option &row = long_options[i];
        const char entry[2] = {static_cast<char>(row.val),
                               row.has_arg == required_argument ? ':' : ' '};
        if (vt_buffer_write(buffer.get(), entry, sizeof entry))
            return VT_ERR("failed to generate short option string");
    }
    uint8_t *data = nullptr;
    size_t used = 0;
    if (vt_buffer_ptr_(buffer.get(), &data, &used) || vt_string_copy(out, data, used))
        return VT_ERR("failed to retrieve short option string");
    return 0;
}

int vt_opt_init(vt_opt **slot, int argc, char **argv)
{
    if (slot == nullptr || *slot != nullptr)
        return VT_ERR("invalid paramater");
    opt_ptr opt(static_cast<vt_opt *>(calloc(1, sizeof(vt_opt))));
    if (!opt)
        return VT_ERR("out of memory");
    if (argc <= 0 || argv == nullptr) {
        *slot = opt.release();
        return 0;
    }
    vt_string shorts = {};
    if (vt_opt_short_string(&shorts))
        return 1;
    std::unique_ptr<vt_string, decltype(&vt_string_free)> shorts_guard(&shorts, vt_string_free);
    // getopt keeps its position in globals; 0 makes it start over on this argv.
    optind = 0;
    int letter = 0;
    while ((letter = getopt_long(argc, argv, shorts.text, long_options.data(), nullptr)) != -1) {
        if (parse_option(opt.get(), letter, optarg))
            return VT_ERR("failed on parsing option -- '%c'", letter);
    }
    if (optind < argc && copy_argument(&opt->command, argv[optind]))
        return VT_ERR("failed to copy command -- %s", argv[optind]);
    *slot = opt.release();
    return 0;
}

int vt_opt_deit(vt_opt **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 1;
    for (vt_string vt_opt::*field : all_strings)
        vt_string_free(&((*slot)->*field));
    free(*slot);
    *slot = nullptr;
    return 0;
}
