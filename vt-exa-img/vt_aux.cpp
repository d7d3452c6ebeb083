// Small helpers of the imager shared by its modules: the help text and the
// character check applied to image names and prompted case texts.
#include "vt_aux.h"

namespace {

// Decided on the byte value alone so that neither the locale nor bytes of 128
// and above can widen the set of names that reach the file system.
constexpr bool is_name_byte(unsigned char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == ' ' || byte == '-' || byte == '_';
}

constexpr const char help_text[] =
    "vt_imager start -n <image-name> -s <subject> -t <target> [-u <username> -p <password> "
    "--daemon --recover]\n"
    "vt_imager stop -n <image-name>\n"
    "vt_imager status [-n <image-name> --json]\n"
    "vt_imager restart -n <image-name> [--daemon --recover]\n"
    "vt_imager remove -n <image-name>\n"
    "See the manual page for further information.\n";

} // namespace

int vt_help(vt_syslog *console)
{
    return vt_syslog_log(console, 2, "%s", help_text);
}

int vt_isalnum_string(const vt_string *string)
{
    if (VT_NIL(1, string))
        return 1;
    for (size_t i = 0; i < string->length; ++i) {
        if (!is_name_byte(static_cast<unsigned char>(string->text[i])))
            return VT_ERR("invalid character at position %zu", i);
    }
    return 0;
}

// ---- Thread, processor and event helpers of the image job ----

#include <sys/stat.h>
#include <unistd.h>

#include "vt_thread.h"

int vt_thread_start_guarantee(vt_thread **slot, vt_thread_fn function, void *argument)
{
    if (VT_NIL(2, slot, function))
        return 1;
    if (vt_thread_init(slot))
        return VT_ERR("failed to create thread object");
    if (vt_thread_start(*slot, function, argument)) {
        vt_thread_deit(slot);
        return VT_ERR("failed to start thread object");
    }
    return 0;
}

int vt_thread_stop(vt_thread **slot)
{
    if (!slot || !*slot)
        return 0;
    const int joined = vt_thread_join(*slot);
    vt_thread_deit(slot);
    return joined ? VT_ERR("failed to join thread object") : 0;
}

int vt_get_proc_count(int64_t *count)
{
    if (VT_NIL(1, count))
        return 1;
    // A machine that cannot tell still gets a pipeline of useful depth.
    constexpr int64_t fallback = 4;
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    *count = online > 0 ? online : fallback;
    return 0;
}

int vt_cond_reset(vt_cond *cond)
{
    if (!cond)
        return 1;
    return vt_cond_signal(cond) || vt_cond_wait(cond) ? 1 : 0;
}

int vt_path_exist(const char *path)
{
    if (VT_NIL(1, path))
        return 1;
    struct stat st;
    if (::lstat(path, &st))
        return VT_ERR("failed to locate %s", path);
    return 0;
}
