// A scripted WebSocket server on loopback for tests of the connection layer and the
// channel: it accepts one connection, answers the upgrade with a scripted response
// (or stays silent), then records, echoes or ignores frames. Its frame parser and
// encoder are its own, so the code under test is checked against an independent one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt_test {

struct WsFrame {
    std::string header; // the raw header bytes (2, 4 or 10, plus a mask key if masked)
    int opcode = 0;
    bool masked = false;
    std::string payload; // unmasked
};

class WsPeer {
public:
    enum class Mode {
        echo,   // answer the upgrade, send every frame back
        record, // answer the upgrade, keep the frames
        silent, // accept and read, never answer
    };
    static constexpr const char *switching =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";

    struct Options {
        Mode mode = Mode::echo;
        std::string response = switching;
        std::string after_response;  // raw bytes sent in the same write as the response
        bool close_after_response = false;
        bool mask_replies = false;   // echo frames masked with a fixed key
        size_t close_after_frames = 0; // close the connection after this many frames (0: never)
    };

    explicit WsPeer(Options options);
    WsPeer() : WsPeer(Options{}) {}
    ~WsPeer();
    WsPeer(const WsPeer &) = delete;
    WsPeer &operator=(const WsPeer &) = delete;

    std::string port() const { return std::to_string(port_); }
    std::string url(const std::string &path = "/sub") const { return "127.0.0.1:" + port() + path; }
    // Waits (bounded) for the upgrade request head and returns it.
    std::string request();
    // Waits (bounded) until `count` frames arrived; false on time-out.
    bool wait_frames(size_t count);
    std::vector<WsFrame> frames();
    // Raw bytes on the accepted connection (waits for the upgrade to be answered).
    void send(const std::string &bytes);
    void close_connection();

    static std::string encode(int opcode, const std::string &payload, bool masked = false);
    static std::string be32(uint32_t value);

private:
    void run();
    void serve(int fd);
    bool read_exact(int fd, char *out, size_t length);
    void write_all(int fd, const std::string &bytes);

    Options options_;
    int listen_fd_ = -1;
    int port_ = 0;
    int conn_fd_ = -1;
    bool answered_ = false;
    bool stopping_ = false;
    std::string request_;
    std::vector<WsFrame> frames_;
    std::mutex mutex_;
    std::mutex write_mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

} // namespace vt_test
