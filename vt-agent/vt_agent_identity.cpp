// Who the agent is and who may use it: the credentials (kept as keyed digests and
// compared in constant time), the stable subject identifier, and the subject
// information document a connection asks for.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_web_key.h"
#include "vt_syslog.h"

namespace fmt = vt_agent_format;

namespace {

struct free_deleter {
    void operator()(void *p) const { free(p); }
};
struct string_holder {
    vt_string text{};
    ~string_holder() { vt_string_free(&text); }
};

constexpr size_t kUuidLength = 36;

} // namespace

// Keyed digest of one credential. A leading kind byte keeps the input non-empty and
// the user name and password apart.
static int credential_digest(const uint8_t *key, char kind, const char *text, size_t length,
                             uint8_t *out)
{
    std::string input(1, kind);
    input.append(text ? text : "", text ? length : 0);
    return vt_sha256_hmac_ex(key, vt_sha256_size, reinterpret_cast<const uint8_t *>(input.data()),
                             input.size(), out, vt_sha256_size);
}

int vt_agent_login_init(vt_agent_login *login, const char *user, const vt_string *password)
{
    if (VT_NIL(3, login, user, password))
        return 1;
    vt_rng *rng = nullptr;
    int failed = vt_rng_init(&rng) || vt_rng_rand_(rng, login->key, sizeof login->key);
    if (rng)
        vt_rng_deit(&rng);
    if (failed)
        return VT_ERR("failed to create credential key");
    if (credential_digest(login->key, 'u', user, strlen(user), login->user) ||
        credential_digest(login->key, 'p', password->text, password->length, login->password))
        return VT_ERR("failed to digest credentials");
    return 0;
}

int vt_agent_login_check(const vt_agent_login *login, const char *user, size_t user_length,
                         const char *password, size_t password_length)
{
    uint8_t user_digest[vt_sha256_size], password_digest[vt_sha256_size];
    if (!login || credential_digest(login->key, 'u', user, user_length, user_digest) ||
        credential_digest(login->key, 'p', password, password_length, password_digest))
        return 1;
    // Both comparisons always run, so the time does not tell which one failed.
    int user_differs = vt_key_equal_(user_digest, login->user, vt_sha256_size);
    int password_differs = vt_key_equal_(password_digest, login->password, vt_sha256_size);
    return user_differs | password_differs;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" from 16 bytes, marked as a name-based
// (version 5) or random (version 4) identifier.
static int uuid_text(vt_string *uuid, uint8_t bytes[16], unsigned version)
{
    bytes[6] = uint8_t((bytes[6] & 0x0F) | (version << 4));
    bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
    char text[kUuidLength + 1];
    snprintf(text, sizeof text,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
             bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
             bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return vt_string_copy(uuid, text, kUuidLength);
}

// The first line of a small text file, without its line end; empty when absent.
static int read_line(const char *path, std::string *line)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "re"), &fclose);
    line->clear();
    if (!file)
        return errno == ENOENT ? 0 : VT_SYSERR("failed to open %s", path);
    char text[256];
    if (fgets(text, sizeof text, file.get()))
        line->assign(text, strcspn(text, "\r\n"));
    return 0;
}

// An identifier kept in a file: read when the file holds one, otherwise made at
// random and written, so the next start finds the same one.
static int uuid_from_file(vt_string *uuid, const char *path)
{
    std::string line;
    if (read_line(path, &line))
        return 1;
    if (line.size() == kUuidLength)
        return vt_string_copy(uuid, line.data(), line.size());
    if (!line.empty())
        return VT_ERR("file %s does not hold an identifier", path);
    uint8_t bytes[16];
    vt_rng *rng = nullptr;
    int failed = vt_rng_init(&rng) || vt_rng_rand_(rng, bytes, sizeof bytes);
    if (rng)
        vt_rng_deit(&rng);
    if (failed || uuid_text(uuid, bytes, 4))
        return VT_ERR("failed to make an identifier");
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return VT_SYSERR("failed to create %s", path);
    std::string text = std::string(uuid->text, uuid->length) + "\n";
    bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (close(fd) != 0 || !written)
        return VT_SYSERR("failed to write %s", path);
    return 0;
}

int vt_agent_uuid(vt_string *uuid, const vt_agent_opt *opt)
{
    if (VT_NIL(2, uuid, opt))
        return 1;
    if (opt->uuid_file)
        return uuid_from_file(uuid, opt->uuid_file);
    // The same machine and listening address (as given, so port 0 too) always give
    // the same identifier; two agents on one machine differ by their addresses.
    std::string seed;
    if (read_line("/etc/machine-id", &seed))
        return 1;
    if (seed.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        seed = host;
    }
    seed += std::string("|") + opt->host + ":" + opt->port + opt->path;
    vt_range input{reinterpret_cast<uint8_t *>(seed.data()), seed.size()};
    vt_range digest{};
    if (vt_sha1(&input, &digest))
        return VT_ERR("failed to derive the identifier");
    std::unique_ptr<uint8_t, free_deleter> owned(digest.data);
    return uuid_text(uuid, digest.data, 5);
}

// The numeric form of the address the examiner reached this connection on.
static int local_address(const mg_connection *conn, char *text, size_t size)
{
    socklen_t length = conn->local_addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                              : sizeof(sockaddr_in);
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&conn->local_addr), length, text,
                    socklen_t(size), nullptr, 0, NI_NUMERICHOST) != 0)
        return VT_ERR("failed to format the local address");
    return 0;
}

static vt_string view(const char *text)
{
    return vt_string{const_cast<char *>(text), text ? strlen(text) : 0};
}

int vt_agent_subject_info(const vt_agent_server *server, const mg_connection *conn,
                          vt_json_obj **document)
{
    if (VT_NIL(3, server, conn, document))
        return 1;
    char address[NI_MAXHOST];
    string_holder platform;
    uint64_t now = 0;
    vt_get_system_time(&now);
    char *date_text = nullptr;
    size_t date_length = 0;
    if (local_address(conn, address, sizeof address) ||
        vt_get_platform_string(&platform.text) ||
        vt_acquire_system_date(now, &date_text, &date_length))
        return VT_ERR("failed to gather subject information");
    std::unique_ptr<char, free_deleter> date(date_text);
    vt_db_subject record{};
    record.hostname = server->hostname;
    record.address = view(address);
    record.platform = platform.text;
    record.version = view(fmt::kVersion);
    record.module = fmt::kModule;
    record.uuid = server->uuid;
    record.time = vt_string{date_text, date_length};
    record.seconds = now;
    record.port = view(server->port);
    record.path = view(server->opt->path);
    record.subject_type = fmt::kSubjectType;
    if (vt_db_subject_dump(&record, document))
        return VT_ERR("failed to encode subject information");
    return 0;
}
