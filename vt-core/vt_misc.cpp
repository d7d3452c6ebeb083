// Process-level services: system times and their date texts, the platform
// string, the double-fork daemon, pid files, socket and absolute paths, and the
// completion of subject addresses with a default port and path.
#include "vt_misc.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "vt_buffer.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

constexpr size_t DATE_AREA = 128;
constexpr size_t PID_READ = 64;
constexpr long FALLBACK_OPEN_MAX = 4096;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

struct malloc_free {
    void operator()(void *area) const { free(area); }
};

struct dir_close {
    void operator()(DIR *dir) const { closedir(dir); }
};

struct fd_close {
    int fd;
    ~fd_close()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A new buffer, or null when allocation failed.
buffer_ptr new_buffer()
{
    vt_buffer *buffer = nullptr;
    vt_buffer_init(&buffer, 64);
    return buffer_ptr(buffer);
}

// The printed text of a buffer as a view (used excludes the terminator).
std::string_view buffer_text(vt_buffer *buffer)
{
    uint8_t *data = nullptr;
    size_t used = 0;
    vt_buffer_ptr_(buffer, &data, &used);
    return {reinterpret_cast<const char *>(data), used};
}

const char *env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value && *value ? value : fallback;
}

using tm_convert = tm *(*)(const time_t *, tm *);

// Formats a system time with `convert`; failures are reported under `function`.
int acquire_date(const char *function, tm_convert convert, uint64_t time, char **text, size_t *length)
{
    const time_t seconds =
        time_t(time / VT_TIME_UNITS_PER_SECOND) - time_t(VT_TIME_UNIX_EPOCH_SECONDS);
    tm fields{};
    if (!convert(&seconds, &fields))
        return syserr_win_log(VT_SOURCE, function, __LINE__, "invalid unix time %llu",
                              (unsigned long long)seconds);
    std::unique_ptr<char, malloc_free> area(static_cast<char *>(malloc(DATE_AREA)));
    if (!area)
        return syserr_msg_log(VT_SOURCE, function, __LINE__, "out of memory");
    const size_t written = strftime(area.get(), DATE_AREA, "%FT%TZ", &fields);
    if (written == 0)
        return syserr_win_log(VT_SOURCE, function, __LINE__, "invalid buffer size for date string");
    *text = area.release();
    *length = written;
    return 0;
}

// Closes every inherited descriptor, in one call where the kernel offers it.
void close_descriptors()
{
    if (close_range(0, ~0U, 0) == 0)
        return;
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0)
        limit = FALLBACK_OPEN_MAX;
    for (long fd = 0; fd < limit; ++fd)
        close(int(fd));
}

// The daemon's own environment: no inherited mask, directory, descriptors or
// terminal streams. 0 on success.
int detach_process()
{
    umask(0);
    if (chdir("/") != 0)
        return 1;
    close_descriptors();
    // The lowest free descriptor is 0 now, so /dev/null lands there.
    if (open("/dev/null", O_RDWR) != 0)
        return 1;
    return dup2(0, 1) != 1 || dup2(0, 2) != 2;
}

// Reads up to `count` bytes with one successful read; the count read, or -1.
ssize_t read_some(int fd, char *area, size_t count)
{
    ssize_t got;
    do
        got = read(fd, area, count);
    while (got < 0 && errno == EINTR);
    return got;
}

// The leading unsigned decimal number of a text, after blanks, as "%llu" reads it.
int parse_leading_number(std::string_view text, uint64_t *value)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error != std::errc() || end == text.data();
}

bool is_blank(const vt_string *path)
{
    return !path || !path->text || path->length == 0;
}

bool host_resolves(const char *host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

// The parts of "host[:port][/path]" after resolution decided where the host ends.
struct address_parts {
    const char *host;
    const char *port; // null when missing
    const char *path; // null when missing
};

// Splits `text` in place (zero bytes at the separators) and checks the host with
// the resolver. 1 when neither the host nor host and port together resolve.
int split_address(char *text, address_parts *parts)
{
    char *slash = strrchr(text, '/');
    if (slash)
        *slash = '\0';
    char *colon = strrchr(text, ':');
    if (colon)
        *colon = '\0';
    const auto present = [](const char *part) { return part && *part ? part : nullptr; };
    parts->host = text;
    parts->port = present(colon ? colon + 1 : nullptr);
    parts->path = present(slash ? slash + 1 : nullptr);
    if (host_resolves(text))
        return 0;
    if (!colon)
        return 1;
    // An IPv6 literal such as fe80::1 is a host with colons and no port.
    *colon = ':';
    parts->port = nullptr;
    return host_resolves(text) ? 0 : 1;
}

} // namespace

const char *vt_state_dir(void)
{
    return env_or("VANTREL_STATE_DIR", "/var/lib/vantrel");
}

const char *vt_socket_dir(void)
{
    return env_or("VANTREL_SOCKET_DIR", "/tmp");
}

int vt_get_system_time(uint64_t *out)
{
    if (out)
        *out = uint64_t(time(nullptr)) * VT_TIME_UNITS_PER_SECOND + VT_TIME_UNIX_EPOCH;
    return 0;
}

int vt_acquire_system_date(uint64_t time, char **text, size_t *length)
{
    if (VT_NIL(2, text, length))
        return 1;
    return acquire_date(__func__, gmtime_r, time, text, length);
}

int vt_acquire_local_date(uint64_t time, char **text, size_t *length)
{
    if (VT_NIL(2, text, length))
        return 1;
    return acquire_date(__func__, localtime_r, time, text, length);
}

int vt_get_platform_string(vt_string *string)
{
    if (VT_NIL(1, string))
        return 1;
    utsname names{};
    if (uname(&names) != 0)
        return VT_SYSERR("failed to get uname information");
    buffer_ptr buffer = new_buffer();
    if (!buffer)
        return VT_ERR("failed to create uname buffer object");
    if (vt_buffer_print(buffer.get(), "%s:%s-%s", names.release, names.sysname, names.machine))
        return VT_ERR("failed to write uname into buffer");
    const std::string_view text = buffer_text(buffer.get());
    if (vt_string_copy(string, text.data(), text.size()))
        return VT_ERR("failed to create platform string");
    return 0;
}

int upgrade_daemon(void)
{
    // Unwritten stdio output would otherwise be written once more by each copy.
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        // Not the intermediate process's result: this process is still the only one.
        VT_SYSERR("failed to create child process as background");
        return VT_DAEMON_FAILED;
    }
    if (child > 0)
        return VT_DAEMON_PARENT;
    if (setsid() < 0)
        return VT_SYSERR("failed to create a new session");
    // The daemon must not be a session leader, so it can never regain a terminal.
    const pid_t grandchild = fork();
    if (grandchild < 0)
        return VT_SYSERR("failed to create child process as non-session leader");
    if (grandchild > 0)
        return VT_DAEMON_EXIT;
    if (detach_process())
        return VT_SYSERR("failed to direct standard file descriptors to /dev/null");
    return VT_DAEMON_CHILD;
}

int vt_is_path_empty(const char *path)
{
    if (VT_NIL(1, path))
        return 1;
    struct stat status{};
    if (lstat(path, &status) != 0) {
        if (errno == ENOENT)
            return VT_SYSERR("path does not exist -- %s", path);
        return VT_SYSERR("failed to stat path -- %s", path);
    }
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return VT_SYSERR("path is not a directory -- %s", path);
    }
    std::unique_ptr<DIR, dir_close> dir(opendir(path));
    if (!dir)
        return VT_SYSERR("failed to open directory -- %s", path);
    // "." and ".." are skipped by name: not every file system lists them, or lists them first.
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                return VT_SYSERR("failed to open directory -- %s", path);
            return 0;
        }
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            break;
    }
    errno = ENOTEMPTY;
    return VT_SYSERR("path is not empty -- %s", path);
}

int vt_socket_path(vt_string *string)
{
    if (VT_NIL(1, string))
        return 1;
    buffer_ptr buffer = new_buffer();
    if (!buffer)
        return VT_ERR("failed to create buffer object");
    if (vt_buffer_print(buffer.get(), "%s", vt_socket_dir()))
        return VT_ERR("failed to write /tmp string");
    if (vt_buffer_print(buffer.get(), "/vantrel-socket-%u", unsigned(getpid())))
        return VT_ERR("failed to write unix path for client and server");
    const std::string_view text = buffer_text(buffer.get());
    if (vt_string_copy(string, text.data(), text.size()))
        return VT_ERR("failed to copy path -- %s", text.data());
    return 0;
}

int vt_absolute_path(vt_string *string, const char *path)
{
    if (VT_NIL(2, string, path))
        return 1;
    // The system sizes the result: a fixed area could be overrun by a path longer than it.
    std::unique_ptr<char, malloc_free> resolved(realpath(path, nullptr));
    if (!resolved)
        return VT_SYSERR("failed to resolve '%s' to absolute path", path);
    if (vt_string_copy(string, resolved.get(), strlen(resolved.get())))
        return VT_ERR("out of memory");
    return 0;
}

int vt_create_pid(const vt_string *path)
{
    if (is_blank(path))
        return VT_ERR("invalid pid file path");
    buffer_ptr buffer = new_buffer();
    if (!buffer || vt_buffer_print(buffer.get(), "%u ", unsigned(getpid())))
        return VT_ERR("failed to create buffer object");
    // No truncation: the blank ends the number even when a longer old one follows.
    const fd_close file{open(path->text, O_WRONLY | O_CREAT | O_CLOEXEC, 0755)};
    if (file.fd < 0)
        return VT_SYSERR("failed to create pid file -- %s", path->text);
    const std::string_view text = buffer_text(buffer.get());
    if (vt_write_all(file.fd, text.data(), text.size()))
        return VT_SYSERR("failed to write pid file");
    return 0;
}

int vt_remove_pid(const vt_string *path)
{
    if (is_blank(path))
        return VT_ERR("invalid pid file path");
    if (unlink(path->text) != 0)
        return VT_SYSERR("failed to remove pid file path -- %s", path->text);
    return 0;
}

int vt_query_pid(const vt_string *path, uint64_t *pid)
{
    if (VT_NIL(2, path, pid))
        return 1;
    const char *name = path->text ? path->text : "";
    const fd_close file{open(name, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return VT_SYSERR("failed to open pid file; %s", name);
    char area[PID_READ];
    errno = 0;
    const ssize_t got = read_some(file.fd, area, sizeof area);
    if (got <= 0)
        return VT_SYSERR("failed to read pid file; %s", name);
    if (parse_leading_number({area, size_t(got)}, pid))
        return VT_ERR("failed to parse pid file; %s", name);
    return 0;
}

int vt_url_resolve(vt_string *address, const char *port, const char *path)
{
    if (VT_NIL(3, address, port, path))
        return 1;
    vt_string work{};
    if (vt_string_copy(&work, address->text, address->length))
        return VT_ERR("failed to copy url");
    const std::unique_ptr<vt_string, decltype(&vt_string_free)> work_guard(&work, vt_string_free);
    address_parts parts{};
    if (split_address(work.text, &parts))
        return 1;
    if (parts.port && parts.path)
        return 0;
    buffer_ptr buffer = new_buffer();
    if (!buffer)
        return VT_ERR("failed to create buffer object");
    if (vt_buffer_print(buffer.get(), "%s:%s/%s", parts.host, parts.port ? parts.port : port,
                        parts.path ? parts.path : path))
        return VT_ERR("failed to write url into buffer");
    const std::string_view text = buffer_text(buffer.get());
    vt_string completed{};
    if (vt_string_copy(&completed, text.data(), text.size()))
        return VT_ERR("failed to copy url");
    vt_string_free(address);
    *address = completed;
    return 0;
}

int vt_write_all(int fd, const void *bytes, size_t count)
{
    const auto *next = static_cast<const uint8_t *>(bytes);
    while (count) {
        const ssize_t put = write(fd, next, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return 1;
        }
        next += put;
        count -= size_t(put);
    }
    return 0;
}

namespace {

// The directory part of a path ("." when there is none, "/" for the root).
std::string dir_of(std::string_view path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

// A hidden name beside the target, made unique by mkstemp's suffix.
std::string temp_template(std::string_view path)
{
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::string name(path.substr(0, base));
    name += '.';
    name += path.substr(base);
    name += ".XXXXXX";
    return name;
}

// A temporary file that is closed, and removed unless it was renamed into place.
// errno is kept across the clean-up so the caller reports the failure that counted.
struct temp_file {
    std::string path;
    int fd = -1;
    bool placed = false;
    ~temp_file()
    {
        const int saved = errno;
        if (fd >= 0)
            close(fd);
        if (!placed && !path.empty())
            unlink(path.c_str());
        errno = saved;
    }
};

// Makes a rename durable. File systems that cannot sync a directory say so
// with EINVAL; there is nothing more to do on them.
int sync_dir(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    const int failed = fsync(fd) && errno != EINVAL;
    const int saved = errno;
    close(fd);
    errno = saved;
    return failed;
}

} // namespace

vt_replace_fault vt_file_replace(const char *path, const void *bytes, size_t count, mode_t mode)
{
    temp_file temp;
    temp.path = temp_template(path);
    temp.fd = mkostemp(temp.path.data(), O_CLOEXEC);
    if (temp.fd < 0) {
        temp.path.clear(); // nothing was created, so nothing to remove
        return VT_REPLACE_CREATE;
    }
    // mkostemp creates the file with 0600; the caller's bits are applied exactly.
    if (fchmod(temp.fd, mode))
        return VT_REPLACE_CREATE;
    if (vt_write_all(temp.fd, bytes, count) || fsync(temp.fd))
        return VT_REPLACE_WRITE;
    const int fd = temp.fd;
    temp.fd = -1;
    if (close(fd))
        return VT_REPLACE_WRITE;
    if (rename(temp.path.c_str(), path))
        return VT_REPLACE_CREATE;
    temp.placed = true;
    return sync_dir(dir_of(path)) ? VT_REPLACE_WRITE : VT_REPLACE_DONE;
}
