// Fuzzes the control-socket frame reader: a client object connects to a socket
// this harness listens on, the input arrives on the connection as the peer's
// bytes (4-byte lengths and JSON texts), and the standard handler of the waiting
// side decodes every frame. The reader must end by itself when the bytes end.
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "vt_thread.h"
#include "vt_unix.h"

namespace {

vt_unix_cfg *cfg;
vt_unix_signal signal_state;
int listener = -1;
std::string path;

void listen_once()
{
    char directory[] = "/tmp/vt-fuzz-unix-XXXXXX";
    if (!mkdtemp(directory))
        __builtin_trap();
    path = std::string(directory) + "/socket";
    // The socket file goes with the process.
    std::atexit([] {
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    });
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        listen(listener, 4))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_reports();
    // Opcode 3 frames print their text on standard output.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
        __builtin_trap();
    close(null);
    if (vt_cond_init(&signal_state.event) ||
        vt_unix_cfg_init(&cfg, vt_unix_server, &signal_state))
        __builtin_trap();
    listen_once();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > fuzz::kSocketInputMax)
        return 0;
    vt_unix *object = nullptr;
    if (vt_unix_init(&object, cfg, path.c_str(), VT_UNIX_CLIENT))
        __builtin_trap();
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
        __builtin_trap();
    size_t done = 0;
    while (done < size) {
        const ssize_t put = send(peer, data + done, size - done, MSG_NOSIGNAL);
        if (put <= 0)
            break; // the reader refused a frame and went away
        done += size_t(put);
    }
    close(peer);
    // The stream has ended, so the reader stops on its own; a hang is a finding.
    vt_cond_wait(object->stopped);
    vt_unix_deit(&object);
    return 0;
}
