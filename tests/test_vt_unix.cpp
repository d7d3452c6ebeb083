// Local control socket over real unix sockets: the standard messages and handlers,
// the frame format, whole frames under concurrency and beyond one socket buffer,
// refused and broken frames, socket file checks and modes, bounded waits, and
// log lines forwarded to the peer.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vt_json.h"
#include "vt_misc.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_test_util.h"
#include "vt_thread.h"
#include "vt_unix.h"

namespace {

using namespace std::chrono_literals;
using vt_test::SyserrCapture;
using vt_test::TempDir;

struct UnixFree {
    void operator()(vt_unix *object) const { vt_unix_deit(&object); }
};
using UnixPtr = std::unique_ptr<vt_unix, UnixFree>;
struct CfgFree {
    void operator()(vt_unix_cfg *cfg) const { vt_unix_cfg_deit(&cfg); }
};
using CfgPtr = std::unique_ptr<vt_unix_cfg, CfgFree>;
struct CondFree {
    void operator()(vt_cond *cond) const { vt_cond_deit(&cond); }
};
using CondPtr = std::unique_ptr<vt_cond, CondFree>;

CfgPtr make_cfg(vt_unix_handler handler, void *user, uint32_t seconds = VT_UNIX_SECONDS)
{
    vt_unix_cfg *cfg = nullptr;
    EXPECT_EQ(vt_unix_cfg_init(&cfg, handler, user), 0);
    if (cfg) {
        EXPECT_EQ(vt_unix_cfg_seconds(cfg, seconds), 0);
    }
    return CfgPtr(cfg);
}

UnixPtr make_unix(const vt_unix_cfg *cfg, const std::string &path, int32_t type)
{
    vt_unix *object = nullptr;
    EXPECT_EQ(vt_unix_init(&object, cfg, path.c_str(), type), 0) << path;
    return UnixPtr(object);
}

CondPtr make_cond()
{
    vt_cond *cond = nullptr;
    EXPECT_EQ(vt_cond_init(&cond), 0);
    return CondPtr(cond);
}

// True when a signal was pending (and is now consumed).
bool pending(vt_cond *cond) { return vt_cond_wait_timed(cond, 0) == 0; }

// A frame handler that records every payload it receives and what it answered.
// With an inner handler (a standard one) it runs that first and answers as it did.
class Recorder {
public:
    explicit Recorder(vt_unix_handler inner = nullptr, void *inner_user = nullptr)
        : inner_(inner), inner_user_(inner_user)
    {
    }
    static int handler(int descriptor, const uint8_t *bytes, size_t length, void *user)
    {
        auto *self = static_cast<Recorder *>(user);
        const int result = self->inner_ ? self->inner_(descriptor, bytes, length, self->inner_user_)
                                        : self->reply_ ? self->reply_(descriptor, bytes, length) : 0;
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->frames_.emplace_back(reinterpret_cast<const char *>(bytes), length);
        self->results_.push_back(result);
        self->arrived_.notify_all();
        return result;
    }
    // Waits (generously bounded) until count frames have arrived.
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        return arrived_.wait_for(guard, 60s, [&] { return frames_.size() >= count; });
    }
    std::vector<std::string> frames()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return frames_;
    }
    std::vector<int> results()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return results_;
    }
    // Runs for each frame when there is no inner handler; its result is the answer.
    std::function<int(int, const uint8_t *, size_t)> reply_;

private:
    vt_unix_handler inner_;
    void *inner_user_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> frames_;
    std::vector<int> results_;
};

// --- plain sockets as the other side ---

struct Fd {
    int fd = -1;
    explicit Fd(int value = -1) : fd(value) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

sockaddr_un address_of(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

int raw_connect(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = address_of(path);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        const timeval timeout{60, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

// A socket bound to path; listening unless told otherwise.
int raw_bind(const std::string &path, bool listening)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = address_of(path);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) ||
        (listening && listen(fd, 4))) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int raw_accept(int listener)
{
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) {
        const timeval timeout{60, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    return fd;
}

bool raw_write(int fd, const std::string &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::string raw_read(int fd, size_t count)
{
    std::string bytes(count, '\0');
    size_t got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, bytes.data() + got, count - got, 0);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

// True when the other side ended the connection (end of stream or reset).
bool peer_closed(int fd)
{
    char byte;
    const ssize_t n = recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string be32(uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// A whole frame around payload.
std::string frame(const std::string &payload) { return be32(uint32_t(payload.size())) + payload; }

// The payload text the peer sends for a JSON text (with the encoder's zero byte).
std::string zt(const std::string &text) { return text + std::string(1, '\0'); }

std::string pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

// --- fixture: a server in a temporary directory ---

class UnixTest : public ::testing::Test {
protected:
    // A client connected to a server whose frames go to a recorder.
    struct Link {
        CfgPtr server_cfg, client_cfg;
        UnixPtr server, client;
    };
    Link link_to(Recorder &recorder)
    {
        Link link;
        link.server_cfg = make_cfg(Recorder::handler, &recorder);
        link.client_cfg = make_cfg(vt_unix_client, nullptr);
        link.server = make_unix(link.server_cfg.get(), path, VT_UNIX_SERVER);
        link.client = make_unix(link.client_cfg.get(), path, VT_UNIX_CLIENT);
        return link;
    }

    TempDir dir;
    std::string path = dir.file("control");
};

// The waiting side as the programs build it: the standard server handler with a
// signal record, observed through a recorder.
class StandardServerTest : public UnixTest {
protected:
    void SetUp() override
    {
        event = make_cond();
        ASSERT_TRUE(event);
        signal.event = event.get();
        server_cfg = make_cfg(Recorder::handler, &recorder);
        client_cfg = make_cfg(vt_unix_client, nullptr);
        server = make_unix(server_cfg.get(), path, VT_UNIX_SERVER);
        ASSERT_TRUE(server);
    }
    UnixPtr connect_client() { return make_unix(client_cfg.get(), path, VT_UNIX_CLIENT); }

    CondPtr event;
    vt_unix_signal signal{-1, nullptr};
    Recorder recorder{vt_unix_server, &signal};
    CfgPtr server_cfg, client_cfg;
    UnixPtr server;
};

// --- the standard messages and the standard server handler ---

struct MessageCase {
    const char *name;
    std::function<int(vt_unix *)> send;
    int answer;           // the handler's result: 0 keeps reading, 1 ends the connection
    bool signalled;       // the record's event
    int32_t error;        // the record's error code afterwards
    const char *printed;  // standard output
};

TEST_F(StandardServerTest, EachStandardMessageHasItsEffect)
{
    const MessageCase cases[] = {
        {"start", [](vt_unix *c) { return vt_unix_send_opcode(c, VT_UNIX_START); }, 0, true, -1, ""},
        {"error", [](vt_unix *c) { return vt_unix_send_error(c, 7); }, 0, false, 7, ""},
        {"success", [](vt_unix *c) { return vt_unix_send_error(c, 0); }, 0, false, 0, ""},
        {"message",
         [](vt_unix *c) { return vt_unix_send_message(c, "Copied %d%% of %s.\n", 50, "disk0"); }, 0,
         false, -1, "Copied 50% of disk0.\n"},
        {"stop", [](vt_unix *c) { return vt_unix_send_opcode(c, VT_UNIX_STOP); }, 1, true, -1, ""},
        {"other opcode", [](vt_unix *c) { return vt_unix_send_opcode(c, 9); }, 1, true, -1, ""},
    };
    size_t seen = 0;
    for (const MessageCase &c : cases) {
        SCOPED_TRACE(c.name);
        signal.error = -1;
        UnixPtr client = connect_client();
        ASSERT_TRUE(client);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.send(client.get()), 0);
        ASSERT_TRUE(recorder.wait_for(++seen));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(recorder.results().back(), c.answer);
        EXPECT_EQ(pending(event.get()), c.signalled);
        EXPECT_EQ(signal.error, c.error);
    }
}

TEST_F(StandardServerTest, StopEndsTheConnectionAndLaterFramesAreNotRead)
{
    UnixPtr client = connect_client();
    ASSERT_TRUE(client);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vt_unix_send_message(client.get(), "%s", "Connected to target disk0.\n"), 0);
    EXPECT_EQ(vt_unix_send_error(client.get(), 7), 0);
    EXPECT_EQ(vt_unix_send_opcode(client.get(), VT_UNIX_STOP), 0);
    vt_unix_send_message(client.get(), "%s", "never shown\n");
    // The server closes the connection after the stop; the client's thread sees it end.
    EXPECT_EQ(vt_cond_wait_timed(client->stopped, 60000), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connected to target disk0.\n");
    EXPECT_EQ(recorder.frames().size(), 3u);
    EXPECT_EQ(signal.error, 7);
    EXPECT_TRUE(pending(event.get()));
    EXPECT_FALSE(pending(event.get())) << "signalled once";
}

TEST_F(StandardServerTest, ServesConnectionsOneAfterTheOther)
{
    for (int round = 1; round <= 3; ++round) {
        UnixPtr client = connect_client();
        ASSERT_TRUE(client);
        EXPECT_EQ(vt_unix_send_error(client.get(), round), 0);
        EXPECT_EQ(vt_unix_send_opcode(client.get(), VT_UNIX_STOP), 0);
        ASSERT_TRUE(recorder.wait_for(size_t(2 * round)));
        EXPECT_EQ(signal.error, round);
        EXPECT_TRUE(pending(event.get()));
    }
}

TEST_F(StandardServerTest, DaemonRendezvousAcrossProcesses)
{
    // The launcher names the socket after itself before it forks, so both sides
    // use the same path; the daemon may start before the launcher listens.
    server.reset();
    ASSERT_EQ(setenv("VANTREL_SOCKET_DIR", dir.path().c_str(), 1), 0);
    vt_string rendezvous{};
    ASSERT_EQ(vt_socket_path(&rendezvous), 0);
    const std::string socket_path(rendezvous.text, rendezvous.length);
    vt_string_free(&rendezvous);
    unsetenv("VANTREL_SOCKET_DIR");
    EXPECT_EQ(socket_path, dir.path() + "/vantrel-socket-" + std::to_string(getpid()));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 1;
        vt_unix_cfg *cfg = nullptr;
        vt_unix *daemon = nullptr;
        vt_syslog *progress = nullptr;
        if (vt_unix_cfg_init(&cfg, vt_unix_client, nullptr) == 0 &&
            vt_unix_init(&daemon, cfg, socket_path.c_str(), VT_UNIX_CLIENT) == 0 &&
            vt_unix_send_opcode(daemon, VT_UNIX_START) == 0 &&
            vt_syslog_init_cb(&progress, vt_unix_syslog_cb, daemon) == 0 &&
            vt_syslog_log(progress, 2, "Connected to subject %s.\n", "host1") == 0 &&
            vt_unix_send_error(daemon, 6) == 0 && vt_unix_send_opcode(daemon, VT_UNIX_STOP) == 0)
            status = 0;
        vt_syslog_deit(&progress);
        vt_unix_deit(&daemon);
        vt_unix_cfg_deit(&cfg);
        _exit(status);
    }
    testing::internal::CaptureStdout();
    server = make_unix(server_cfg.get(), socket_path, VT_UNIX_SERVER);
    EXPECT_TRUE(server);
    // Start and stop may arrive before the first wait and leave one signal.
    EXPECT_EQ(vt_cond_wait_timed(event.get(), 10000), 0) << "start";
    if (!signal.stopped) {
        EXPECT_EQ(vt_cond_wait_timed(event.get(), 10000), 0) << "stop";
    }
    EXPECT_EQ(signal.stopped, 1);
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connected to subject host1.\n");
    EXPECT_EQ(signal.error, 6);
}

// --- frame format ---

// A client object talking to a plain listening socket, to see the bytes it sends.
class FrameFormatTest : public UnixTest {
protected:
    void SetUp() override
    {
        listener.fd = raw_bind(path, true);
        ASSERT_GE(listener.fd, 0);
        cfg = make_cfg(vt_unix_client, nullptr);
        client = make_unix(cfg.get(), path, VT_UNIX_CLIENT);
        ASSERT_TRUE(client);
        peer.fd = raw_accept(listener.fd);
        ASSERT_GE(peer.fd, 0);
    }
    Fd listener, peer;
    CfgPtr cfg;
    UnixPtr client;
};

TEST_F(FrameFormatTest, StopFrameCarriesTwentyBytes)
{
    ASSERT_EQ(vt_unix_send_opcode(client.get(), VT_UNIX_STOP), 0);
    EXPECT_EQ(raw_read(peer.fd, 4), std::string("\x00\x00\x00\x14", 4));
    EXPECT_EQ(raw_read(peer.fd, 20), zt("{\n    \"opcode\": 4\n}"));
}

TEST_F(FrameFormatTest, EachSenderWritesOneFrameWithItsText)
{
    struct Case {
        const char *name;
        std::function<int(vt_unix *)> send;
        std::string payload;
    };
    const Case cases[] = {
        {"start", [](vt_unix *c) { return vt_unix_send_opcode(c, 1); }, zt("{\n    \"opcode\": 1\n}")},
        {"error", [](vt_unix *c) { return vt_unix_send_error(c, 7); },
         zt("{\n    \"error\": 7,\n    \"opcode\": 2\n}")},
        {"message", [](vt_unix *c) { return vt_unix_send_message(c, "%d%% done\n", 50); },
         zt("{\n    \"message\": \"50% done\\n\",\n    \"opcode\": 3\n}")},
        {"log line, not formatted again",
         [](vt_unix *c) {
             vt_unix_syslog_cb("rate 5%s of 100%d\n", 18, c, 0);
             return 0;
         },
         zt("{\n    \"message\": \"rate 5%s of 100%d\\n\",\n    \"opcode\": 3\n}")},
        {"raw bytes", [](vt_unix *c) { return vt_unix_send(c, "abc", 3); }, "abc"},
        {"empty payload", [](vt_unix *c) { return vt_unix_send(c, nullptr, 0); }, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.send(client.get()), 0);
        EXPECT_EQ(raw_read(peer.fd, 4), be32(uint32_t(c.payload.size())));
        EXPECT_EQ(raw_read(peer.fd, c.payload.size()), c.payload);
    }
}

TEST_F(FrameFormatTest, SendingToAVanishedPeerFailsWithoutEndingTheProcess)
{
    peer.reset(); // closes the accepted connection
    listener.reset();
    ASSERT_EQ(vt_cond_wait_timed(client->stopped, 60000), 0) << "the client saw the end";
    SyserrCapture capture;
    EXPECT_EQ(vt_unix_send_opcode(client.get(), VT_UNIX_STOP), 1);
    EXPECT_NE(capture.text().find("failed to send frame length"), std::string::npos) << capture.text();
    EXPECT_NE(capture.text().find("failed to send opcode -- 4"), std::string::npos);
}

TEST_F(FrameFormatTest, SenderRefusesAPayloadNoReceiverAccepts)
{
    const std::string too_long(size_t(VT_UNIX_FRAME_MAX) + 1, 'x');
    SyserrCapture capture;
    EXPECT_EQ(vt_unix_send(client.get(), too_long.data(), too_long.size()), 1);
    EXPECT_NE(capture.text().find("buffer length exceeded " + std::to_string(VT_UNIX_FRAME_MAX)),
              std::string::npos)
        << capture.text();
    // Nothing went out: the next frame is the first the peer reads.
    ASSERT_EQ(vt_unix_send(client.get(), "ok", 2), 0);
    EXPECT_EQ(raw_read(peer.fd, 6), frame("ok"));
}

// --- whole frames ---

TEST_F(UnixTest, FramesOfAnySizeUpToTheCapArriveWhole)
{
    Recorder recorder;
    const Link link = link_to(recorder);
    ASSERT_TRUE(link.server && link.client);
    const size_t sizes[] = {1, 4096, VT_UNIX_BUFFER_SIZE, VT_UNIX_BUFFER_SIZE + 1, 3u << 20,
                            VT_UNIX_FRAME_MAX};
    size_t seen = 0;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string payload = pattern(size);
        ASSERT_EQ(vt_unix_send(link.client.get(), payload.data(), payload.size()), 0);
        ASSERT_TRUE(recorder.wait_for(++seen));
        EXPECT_TRUE(recorder.frames().back() == payload);
    }
}

TEST_F(UnixTest, ServerAnswersOnTheConnectionItServes)
{
    // As a job answers a status request: the handler replies on the descriptor, and
    // the server object's own send reaches the same connection.
    Recorder server_side;
    vt_unix *server_object = nullptr;
    server_side.reply_ = [&](int descriptor, const uint8_t *bytes, size_t length) {
        const std::string reply = pattern(2u << 20);
        vt_unix_send_frame(descriptor, reply.data(), reply.size());
        vt_unix_send(server_object, bytes, length);
        return 0;
    };
    Recorder client_side;
    CfgPtr server_cfg = make_cfg(Recorder::handler, &server_side);
    CfgPtr client_cfg = make_cfg(Recorder::handler, &client_side);
    UnixPtr server = make_unix(server_cfg.get(), path, VT_UNIX_SERVER);
    ASSERT_TRUE(server);
    server_object = server.get();
    UnixPtr client = make_unix(client_cfg.get(), path, VT_UNIX_CLIENT);
    ASSERT_TRUE(client);
    ASSERT_EQ(vt_unix_send_opcode(client.get(), 1), 0);
    ASSERT_TRUE(client_side.wait_for(2));
    EXPECT_TRUE(client_side.frames()[0] == pattern(2u << 20));
    EXPECT_EQ(client_side.frames()[1], zt("{\n    \"opcode\": 1\n}"));
}

TEST_F(UnixTest, ConcurrentSendersNeverInterleaveFrames)
{
    Recorder recorder;
    const Link link = link_to(recorder);
    ASSERT_TRUE(link.server && link.client);

    constexpr int kThreads = 4, kRounds = 40;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                // Large texts so a single frame takes several writes.
                const std::string filler(size_t(1 + (i * 37 + t * 101) % 7) * 40000, char('a' + t));
                const std::string text = std::to_string(t) + ":" + std::to_string(i) + ":" + filler;
                if (i % 3 == 0)
                    vt_unix_syslog_cb(text.c_str(), text.size(), link.client.get(), 2);
                else
                    vt_unix_send_message(link.client.get(), "%s", text.c_str());
                vt_unix_send_opcode(link.client.get(), VT_UNIX_START);
            }
        });
    }
    for (std::thread &sender : senders)
        sender.join();
    ASSERT_TRUE(recorder.wait_for(size_t(2 * kThreads * kRounds)));

    std::vector<int> next(kThreads, 0);
    for (const std::string &payload : recorder.frames()) {
        vt_json_obj *raw = nullptr;
        ASSERT_EQ(vt_json_obj_decode(&raw, payload.data(), payload.size()), 0);
        std::unique_ptr<vt_json_obj, void (*)(vt_json_obj *)> obj(raw, [](vt_json_obj *o) { vt_json_obj_deit(&o); });
        int64_t opcode = 0;
        ASSERT_EQ(vt_json_obj_get_number(obj.get(), "opcode", &opcode), 0);
        if (opcode == VT_UNIX_START)
            continue;
        const char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_get_string(obj.get(), "message", &text, &length), 0);
        const int t = text[0] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(std::string(text, length).rfind(std::to_string(t) + ":" + std::to_string(next[t]) + ":", 0), 0u)
            << "each sender's frames arrive whole and in order";
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kRounds));
}

// --- refused and broken frames: the connection fails, the server keeps serving ---

struct BadFrameCase {
    const char *name;
    std::string bytes;    // what a plain client writes
    bool hold_open;       // the client stays connected and expects the server to drop it
    bool handled;         // the frame is whole, so the handler sees it
    const char *reports;  // expected in the failure report
};

TEST_F(StandardServerTest, BadFramesEndOnlyTheirConnection)
{
    const std::string broken_payload = be32(100) + std::string(10, 'x');
    const BadFrameCase cases[] = {
        {"length 0xFFFFFFFF", "\xff\xff\xff\xff", true, false, "invalid frame length -- 4294967295"},
        {"length one past the cap", be32(VT_UNIX_FRAME_MAX + 1), true, false,
         "invalid frame length -- 16777217"},
        {"length zero", be32(0), true, false, "failed to resize frame buffer -- 0"},
        {"malformed json", frame(zt("{\"opcode\": ")), true, true, "failed to decode frame"},
        {"not an object", frame(zt("[1, 2]")), true, true, "failed to get frame opcode"},
        {"message without text", frame(zt("{\"opcode\": 3}")), true, true, "failed to get message"},
        {"closed inside the length", std::string("\x00\x00", 2), false, false,
         "failed to get frame length"},
        {"closed inside the payload", broken_payload, false, false, "failed to read frame -- 100"},
    };
    size_t seen = 0;
    for (const BadFrameCase &c : cases) {
        SCOPED_TRACE(c.name);
        SyserrCapture capture;
        {
            Fd raw(raw_connect(path));
            ASSERT_GE(raw.fd, 0);
            ASSERT_TRUE(raw_write(raw.fd, c.bytes));
            if (c.hold_open) {
                EXPECT_TRUE(peer_closed(raw.fd)) << "the server dropped the connection";
            }
        }
        UnixPtr next = connect_client();
        ASSERT_TRUE(next);
        ASSERT_EQ(vt_unix_send_opcode(next.get(), VT_UNIX_START), 0);
        seen += c.handled ? 2 : 1;
        ASSERT_TRUE(recorder.wait_for(seen)) << "the next client is served";
        EXPECT_EQ(recorder.frames().back(), zt("{\n    \"opcode\": 1\n}"));
        EXPECT_TRUE(pending(event.get()));
        EXPECT_NE(capture.text().find(c.reports), std::string::npos) << capture.text();
    }
}

TEST_F(StandardServerTest, StalledPeerIsDroppedAfterTheReceiveTimeout)
{
    SyserrCapture capture;
    Fd raw(raw_connect(path));
    ASSERT_GE(raw.fd, 0);
    ASSERT_TRUE(raw_write(raw.fd, std::string("\x00\x00", 2)));
    EXPECT_TRUE(peer_closed(raw.fd)) << "dropped, not waited for forever";
    UnixPtr next = connect_client();
    ASSERT_TRUE(next);
    ASSERT_EQ(vt_unix_send_opcode(next.get(), VT_UNIX_START), 0);
    ASSERT_TRUE(recorder.wait_for(1));
    EXPECT_NE(capture.text().find("failed to get frame length"), std::string::npos) << capture.text();
}

// --- socket files ---

TEST_F(UnixTest, ServerSocketFileIsPrivateAndRemovedAtTheEnd)
{
    const mode_t saved = umask(0); // as in a daemon
    CfgPtr cfg = make_cfg(vt_unix_client, nullptr);
    UnixPtr server = make_unix(cfg.get(), path, VT_UNIX_SERVER);
    umask(saved);
    ASSERT_TRUE(server);
    struct stat status;
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    server.reset();
    EXPECT_NE(lstat(path.c_str(), &status), 0) << "the server deletes its socket file";
}

struct ServerPathCase {
    const char *name;
    std::function<std::string(const TempDir &)> prepare; // returns the path to use
    int32_t type;
    bool created;
    std::string reports; // "%s" stands for the path
};

TEST_F(UnixTest, ServerCreationChecksPathAndType)
{
    const auto sized = [](size_t length) {
        return [length](const TempDir &d) {
            const std::string base = d.path() + "/";
            return base + std::string(length - base.size(), 's');
        };
    };
    const ServerPathCase cases[] = {
        {"regular file",
         [](const TempDir &d) {
             vt_test::write_file(d.file("file"), "keep");
             return d.file("file");
         },
         VT_UNIX_SERVER, false, "invalid socket file path -- %s"},
        {"directory",
         [](const TempDir &d) {
             mkdir(d.file("sub").c_str(), 0700);
             return d.file("sub");
         },
         VT_UNIX_SERVER, false, "invalid socket file path -- %s"},
        {"stale socket file",
         [](const TempDir &d) {
             close(raw_bind(d.file("stale"), false));
             return d.file("stale");
         },
         VT_UNIX_SERVER, true, ""},
        {"missing directory", [](const TempDir &d) { return d.file("none/control"); }, VT_UNIX_SERVER,
         false, "failed to bind unix socket -- %s"},
        {"103 bytes", sized(103), VT_UNIX_SERVER, true, ""},
        {"104 bytes", sized(104), VT_UNIX_SERVER, false, "socket file path exceeded 104"},
        {"empty", [](const TempDir &) { return std::string(); }, VT_UNIX_SERVER, false,
         "invalid socket file path"},
        {"unknown type", [](const TempDir &d) { return d.file("typed"); }, 3, false, "unknown type -- 3"},
    };
    CfgPtr cfg = make_cfg(vt_unix_client, nullptr);
    for (const ServerPathCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string where = c.prepare(dir);
        SyserrCapture capture;
        vt_unix *object = nullptr;
        EXPECT_EQ(vt_unix_init(&object, cfg.get(), where.c_str(), c.type), c.created ? 0 : 1);
        UnixPtr owned(object);
        EXPECT_EQ(object != nullptr, c.created) << "a failed creation leaves the slot empty";
        std::string expected = c.reports;
        if (const size_t at = expected.find("%s"); at != std::string::npos)
            expected.replace(at, 2, where);
        EXPECT_NE(capture.text().find(expected), std::string::npos) << capture.text();
        if (c.created) {
            Fd raw(raw_connect(where));
            EXPECT_GE(raw.fd, 0) << "listening";
        }
    }
    EXPECT_EQ(vt_test::read_file(dir.file("file")), "keep") << "a foreign file is left alone";
}

// --- bounded waits ---

struct ClientWaitCase {
    const char *name;
    std::function<void(const std::string &)> prepare;
    uint32_t seconds;
    const char *reports;
};

TEST_F(UnixTest, ClientGivesUpWhenNoServerCanBeReached)
{
    const ClientWaitCase cases[] = {
        {"no socket file", [](const std::string &) {}, 2, "failed find socket file -- "},
        {"not a socket", [](const std::string &p) { vt_test::write_file(p, "x"); }, 2,
         "invalid socket file path -- "},
        // A socket file with no server behind it: connection attempts for 15 seconds.
        {"nobody listening", [](const std::string &p) { close(raw_bind(p, false)); }, 2,
         "failed to connect to socket file -- "},
    };
    CfgPtr cfg;
    for (const ClientWaitCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string where = dir.file(std::string("wait-") + std::to_string(&c - cases));
        c.prepare(where);
        cfg = make_cfg(vt_unix_client, nullptr, c.seconds);
        SyserrCapture capture;
        vt_unix *object = nullptr;
        EXPECT_EQ(vt_unix_init(&object, cfg.get(), where.c_str(), VT_UNIX_CLIENT), 1);
        EXPECT_EQ(object, nullptr);
        EXPECT_NE(capture.text().find(c.reports + where), std::string::npos) << capture.text();
    }
}

TEST_F(UnixTest, ClientWaitsForTheSocketFileToAppear)
{
    CfgPtr server_cfg = make_cfg(vt_unix_client, nullptr);
    CfgPtr client_cfg = make_cfg(vt_unix_client, nullptr, 30);
    UnixPtr server;
    std::thread late([&] {
        std::this_thread::sleep_for(1500ms);
        server = make_unix(server_cfg.get(), path, VT_UNIX_SERVER);
    });
    vt_unix *client = nullptr;
    EXPECT_EQ(vt_unix_init(&client, client_cfg.get(), path.c_str(), VT_UNIX_CLIENT), 0);
    late.join();
    UnixPtr owned(client);
    EXPECT_TRUE(server);
}

TEST_F(UnixTest, DestroyReturnsWhileConnectionsAreOpen)
{
    struct Case {
        const char *name;
        std::string written; // by a plain client before the server is destroyed
    };
    const Case cases[] = {{"idle connection", ""}, {"inside a frame", std::string("\x00\x00", 2)}};
    CfgPtr cfg = make_cfg(vt_unix_client, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UnixPtr server = make_unix(cfg.get(), path, VT_UNIX_SERVER);
        ASSERT_TRUE(server);
        Fd raw(raw_connect(path));
        ASSERT_GE(raw.fd, 0);
        ASSERT_TRUE(c.written.empty() || raw_write(raw.fd, c.written));
        std::this_thread::sleep_for(200ms); // let the server take the connection
        server.reset();
        EXPECT_TRUE(peer_closed(raw.fd));
    }
    // A client whose server never says anything.
    Fd listener(raw_bind(path, true));
    ASSERT_GE(listener.fd, 0);
    UnixPtr client = make_unix(cfg.get(), path, VT_UNIX_CLIENT);
    ASSERT_TRUE(client);
    Fd peer(raw_accept(listener.fd));
    client.reset();
    EXPECT_TRUE(peer_closed(peer.fd));
}

// --- log lines to the peer ---

TEST_F(StandardServerTest, LogLinesReachThePeerUnchanged)
{
    UnixPtr client = connect_client();
    ASSERT_TRUE(client);
    vt_syslog *log = nullptr;
    ASSERT_EQ(vt_syslog_init_cb(&log, vt_unix_syslog_cb, client.get()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vt_syslog_log(log, 2, "%s", "Read 5%s of 100%d\n"), 0);
    EXPECT_EQ(vt_syslog_log(log, 0, "Exported target on %s.\n", "/mnt/x/host1/disk1"), 0);
    ASSERT_TRUE(recorder.wait_for(2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read 5%s of 100%d\nExported target on /mnt/x/host1/disk1.\n");
    vt_syslog_deit(&log);
}

TEST_F(StandardServerTest, FailureReportsRoutedIntoTheConnectionReachThePeer)
{
    UnixPtr client = connect_client();
    ASSERT_TRUE(client);
    SyserrCapture capture; // restores the process-wide reporter afterwards
    ASSERT_EQ(vt_syslog_set_callback(syserr, vt_unix_syslog_cb, client.get()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vt_unix_cfg_seconds(nullptr, 1), 1);
    ASSERT_TRUE(recorder.wait_for(1));
    const std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_NE(shown.find("[syserr]: vt-core/vt_unix (vt_unix_cfg_seconds:"), std::string::npos) << shown;
    EXPECT_NE(shown.find("detected invalid reference for argument 1"), std::string::npos) << shown;
}

TEST_F(StandardServerTest, FailedSendWithReportsRoutedIntoTheSameObjectReturns)
{
    // The send fails because the server ended the connection; its report goes back
    // into the same object. The call must come back with a failure, not lock up.
    UnixPtr client = connect_client();
    ASSERT_TRUE(client);
    ASSERT_EQ(vt_unix_send_opcode(client.get(), VT_UNIX_STOP), 0);
    ASSERT_EQ(vt_cond_wait_timed(client->stopped, 60000), 0);
    server.reset();
    SyserrCapture capture;
    ASSERT_EQ(vt_syslog_set_callback(syserr, vt_unix_syslog_cb, client.get()), 0);
    EXPECT_EQ(vt_unix_send_error(client.get(), 3), 1);
    EXPECT_EQ(vt_unix_send_message(client.get(), "%s", "lost\n"), 1);
    EXPECT_EQ(vt_unix_send(client.get(), "x", 1), 1);
}

} // namespace
