// Tests of the WebSocket connection layer against a scripted loopback peer: bounded
// connect, the upgrade request and the responses it accepts or refuses, the upgrade
// timeout, both length encodings of the frame writer, unmasking, framing violations
// and the reader's end (close frame, peer gone, local close).
#include <arpa/inet.h>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "vt_test_util.h"
#include "vt_test_ws_peer.h"
#include "vt_websocket.h"

namespace {

using vt_test::WsPeer;

// What the reader hands to the owner: frames and the single close notice.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, std::string>> frames;
    int closes = 0;

    bool wait(const std::function<bool()> &ready)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), ready);
    }
};

int record_frame(mg_connection *, int opcode, uint8_t *payload, size_t length, void *user)
{
    auto *received = static_cast<Received *>(user);
    std::lock_guard lock(received->mutex);
    received->frames.emplace_back(opcode, std::string(reinterpret_cast<char *>(payload), length));
    received->changed.notify_all();
    return 0;
}

void record_close(const mg_connection *, void *user)
{
    auto *received = static_cast<Received *>(user);
    std::lock_guard lock(received->mutex);
    ++received->closes;
    received->changed.notify_all();
}

struct Client {
    Received received;
    vt_client record{};

    Client()
    {
        record.data_handler = record_frame;
        record.close_handler = record_close;
        record.channel = &received;
    }
    mg_connection *connect(const WsPeer &peer) { return connect(peer.port()); }
    mg_connection *connect(const std::string &port)
    {
        return mg_connect_websocket_client("127.0.0.1", port.c_str(), "/sub", &record);
    }
};

std::string unused_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

std::string pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = char((i * 131 + length) & 0xFF);
    return bytes;
}

TEST(WebSocketConnect, RefusedPortFailsWithoutHanging)
{
    vt_test::SyserrCapture errors;
    Client client;
    EXPECT_EQ(client.connect(unused_port()), nullptr);
    EXPECT_NE(errors.text().find("failed to create connection object"), std::string::npos) << errors.text();
    EXPECT_EQ(client.received.closes, 0);
}

TEST(WebSocketConnect, MissingHostOrPortIsRefused)
{
    vt_test::SyserrCapture errors;
    Client client;
    EXPECT_EQ(mg_connect_websocket_client("127.0.0.1", nullptr, "/sub", &client.record), nullptr);
    EXPECT_EQ(mg_connect_websocket_client(nullptr, "1", "/sub", &client.record), nullptr);
}

TEST(WebSocketUpgrade, SendsTheFixedRequestAndStartsTheReader)
{
    WsPeer peer;
    Client client;
    mg_connection *conn = client.connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(client.record.result, conn);
    EXPECT_EQ(mg_get_user_connection_data(conn), &client.received);
    EXPECT_EQ(mg_get_user_data(mg_get_context(conn)), &client.received);
    EXPECT_EQ(peer.request(), "GET /sub HTTP/1.1\r\n"
                              "Host: 127.0.0.1:" + peer.port() + "\r\n"
                              "Upgrade: websocket\r\n"
                              "Connection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n\r\n");
    mg_close_connection(conn);
    EXPECT_EQ(client.received.closes, 1);
}

std::string many_headers(int count)
{
    std::string response = "HTTP/1.1 101 Switching Protocols\r\n";
    for (int i = 0; i < count; ++i)
        response += "X-" + std::to_string(i) + ": v\r\n";
    return response + "\r\n";
}

TEST(WebSocketUpgrade, ResponsesAcceptedAndRefused)
{
    struct Case {
        const char *name;
        std::string response;
        bool close_after;
        bool accepted;
        const char *message;
    };
    const Case cases[] = {
        {"no accept key", "HTTP/1.1 101 Switching Protocols\r\n\r\n", false, true, ""},
        {"header without value", "HTTP/1.1 101 Switching Protocols\r\nX-Flag\r\n\r\n", false, true, ""},
        {"64 headers", many_headers(64), false, true, ""},
        {"status 200", "HTTP/1.1 200 OK\r\nUpgrade: websocket\r\n\r\n", false, false,
         "failed to complete websocket upgrade request"},
        {"empty value", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: \r\n\r\n", false, false,
         "invalid http header format; empty header value"},
        {"bare cr", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: web\rsocket\r\n\r\n", false, false,
         "invalid http header format; cr without lf"},
        {"65 headers", many_headers(65), false, false, "exceeded http header array size"},
        {"tab", "HTTP/1.1 101 Switching Protocols\r\nUpgrade:\twebsocket\r\n\r\n", false, false,
         "failed to complete websocket upgrade request"},
        {"closed mid head", "HTTP/1.1 101 Switch", true, false,
         "failed to complete websocket upgrade request"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WsPeer::Options options;
        options.mode = WsPeer::Mode::record;
        options.response = c.response;
        options.close_after_response = c.close_after;
        WsPeer peer(options);
        vt_test::SyserrCapture errors;
        Client client;
        mg_connection *conn = client.connect(peer);
        EXPECT_EQ(conn != nullptr, c.accepted);
        EXPECT_NE(errors.text().find(c.message), std::string::npos) << errors.text();
        if (conn)
            mg_close_connection(conn);
        EXPECT_EQ(client.received.closes, c.accepted ? 1 : 0);
    }
}

TEST(WebSocketUpgrade, SilentPeerFailsAfterTheResponseTimeout)
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::silent;
    WsPeer peer(options);
    vt_test::SyserrCapture errors;
    Client client;
    client.record.response_timeout_ms = 300;
    EXPECT_EQ(client.connect(peer), nullptr);
    EXPECT_NE(errors.text().find("failed to complete websocket upgrade request"), std::string::npos);
    EXPECT_FALSE(peer.request().empty());
}

TEST(WebSocketUpgrade, FrameInTheSameReadAsTheResponseReachesTheHandler)
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::record;
    options.after_response = WsPeer::encode(2, "early bytes");
    WsPeer peer(options);
    Client client;
    mg_connection *conn = client.connect(peer);
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(client.received.wait([&] { return client.received.frames.size() == 1; }));
    EXPECT_EQ(client.received.frames[0], std::make_pair(2, std::string("early bytes")));
    mg_close_connection(conn);
}

TEST(WebSocketFrames, BothLengthEncodingsRoundTrip)
{
    struct Case {
        size_t length;
        size_t header_size;
        uint8_t length_code;
    };
    const Case cases[] = {
        {0, 2, 0},          {1, 2, 1},          {125, 2, 125},   {126, 4, 126},
        {65535, 4, 126},    {65536, 10, 127},   {200000, 10, 127},
    };
    for (bool masked_replies : {false, true}) {
        WsPeer::Options options;
        options.mask_replies = masked_replies;
        WsPeer peer(options);
        Client client;
        mg_connection *conn = client.connect(peer);
        ASSERT_NE(conn, nullptr);
        for (const Case &c : cases) {
            const std::string payload = pattern(c.length);
            EXPECT_EQ(mg_websocket_write(conn, mg_opcode_binary, payload.data(), payload.size()),
                      ssize_t(c.length));
        }
        const size_t count = std::size(cases);
        ASSERT_TRUE(peer.wait_frames(count));
        ASSERT_TRUE(client.received.wait([&] { return client.received.frames.size() == count; }));
        const auto sent = peer.frames();
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE(cases[i].length);
            const std::string &header = sent[i].header;
            ASSERT_EQ(header.size(), cases[i].header_size);
            EXPECT_EQ(uint8_t(header[0]), 0x82);
            EXPECT_EQ(uint8_t(header[1]), cases[i].length_code) << "mask bit must stay clear";
            EXPECT_EQ(sent[i].payload, pattern(cases[i].length));
            EXPECT_EQ(client.received.frames[i].first, mg_opcode_binary);
            EXPECT_EQ(client.received.frames[i].second, pattern(cases[i].length));
        }
        mg_close_connection(conn);
    }
}

TEST(WebSocketFrames, OtherOpcodesAreDeliveredAndCloseEndsTheReader)
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::record;
    WsPeer peer(options);
    Client client;
    mg_connection *conn = client.connect(peer);
    ASSERT_NE(conn, nullptr);
    peer.send(WsPeer::encode(9, "ping") + WsPeer::encode(8, "") + WsPeer::encode(2, "after close"));
    ASSERT_TRUE(client.received.wait([&] { return client.received.closes == 1; }));
    ASSERT_EQ(client.received.frames.size(), 1u);
    EXPECT_EQ(client.received.frames[0], std::make_pair(9, std::string("ping")));
    mg_close_connection(conn);
    EXPECT_EQ(client.received.closes, 1);
}

TEST(WebSocketFrames, ViolationsEndTheReaderCleanly)
{
    struct Case {
        const char *name;
        std::string bytes;
        uint64_t payload_max;
        const char *message;
    };
    const std::string over_cap = "\x82\x7e\x03\xe9"; // 1001 bytes announced
    const std::string huge = std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10);
    const Case cases[] = {
        {"above the owner's cap", over_cap, 1000, "invalid websocket length 1001 exceeds 1000"},
        {"64-bit length", huge, 0, "invalid websocket length"},
        {"short extended length", std::string("\x82\x7f\x00\x00", 4), 0, "failed to read websocket length"},
        {"short mask key", std::string("\x82\x81\x01\x02", 4), 0, "failed to read websocket mask key"},
        {"short payload", std::string("\x82\x05" "abc", 5), 0, "failed to read websocket payload"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WsPeer::Options options;
        options.mode = WsPeer::Mode::record;
        WsPeer peer(options);
        vt_test::SyserrCapture errors;
        Client client;
        client.record.payload_max = c.payload_max;
        mg_connection *conn = client.connect(peer);
        ASSERT_NE(conn, nullptr);
        peer.send(c.bytes);
        peer.close_connection();
        ASSERT_TRUE(client.received.wait([&] { return client.received.closes == 1; }));
        EXPECT_TRUE(client.received.frames.empty());
        EXPECT_NE(errors.text().find(c.message), std::string::npos) << errors.text();
        mg_close_connection(conn);
    }
}

TEST(WebSocketClose, ClosingWhileTheReaderWaitsRunsTheCloseHandlerOnce)
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::record;
    WsPeer peer(options);
    Client client;
    mg_connection *conn = client.connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(mg_websocket_write(conn, mg_opcode_binary, "x", 1), 1);
    ASSERT_TRUE(peer.wait_frames(1));
    mg_close_connection(conn);
    EXPECT_EQ(client.received.closes, 1);
}

TEST(WebSocketClose, WritingAfterThePeerLeftFailsWithoutEndingTheProcess)
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::record;
    options.close_after_frames = 1;
    WsPeer peer(options);
    vt_test::SyserrCapture errors;
    Client client;
    mg_connection *conn = client.connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(mg_websocket_write(conn, mg_opcode_binary, "x", 1), 1);
    ASSERT_TRUE(client.received.wait([&] { return client.received.closes == 1; }));
    const std::string block(1 << 20, 'z');
    ssize_t result = 0;
    for (int i = 0; i < 16 && result >= 0; ++i)
        result = mg_websocket_write(conn, mg_opcode_binary, block.data(), block.size());
    EXPECT_LT(result, ssize_t(block.size()));
    mg_close_connection(conn);
}

} // namespace
