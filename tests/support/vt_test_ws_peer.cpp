// The scripted loopback WebSocket server used by the connection and channel tests.
// Blocking sockets on its own thread; the destructor shuts the sockets down, which
// wakes the thread, and joins it.
#include "vt_test_ws_peer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vt_test {

namespace {
constexpr auto wait_limit = std::chrono::seconds(30);
constexpr uint8_t reply_mask[4] = {0x37, 0xfa, 0x21, 0x3d};
} // namespace

WsPeer::WsPeer(Options options) : options_(std::move(options))
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        listen(listen_fd_, 4) ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length))
        throw std::runtime_error("test peer cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

WsPeer::~WsPeer()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (conn_fd_ >= 0)
            shutdown(conn_fd_, SHUT_RDWR);
    }
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
}

std::string WsPeer::be32(uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (24 - 8 * i));
    return bytes;
}

std::string WsPeer::encode(int opcode, const std::string &payload, bool masked)
{
    std::string frame(1, char(0x80 | opcode));
    const uint8_t mask_bit = masked ? 0x80 : 0;
    const uint64_t length = payload.size();
    if (length < 126) {
        frame += char(mask_bit | length);
    } else if (length < 65536) {
        frame += char(mask_bit | 126);
        frame += char(length >> 8);
        frame += char(length);
    } else {
        frame += char(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char(length >> shift);
    }
    if (!masked)
        return frame + payload;
    frame.append(reinterpret_cast<const char *>(reply_mask), 4);
    for (size_t i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ reply_mask[i % 4]);
    return frame;
}

bool WsPeer::read_exact(int fd, char *out, size_t length)
{
    while (length) {
        const ssize_t count = recv(fd, out, length, 0);
        if (count <= 0)
            return false;
        out += count;
        length -= size_t(count);
    }
    return true;
}

void WsPeer::write_all(int fd, const std::string &bytes)
{
    std::lock_guard lock(write_mutex_);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count <= 0)
            return;
        done += size_t(count);
    }
}

void WsPeer::run()
{
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    {
        std::lock_guard lock(mutex_);
        conn_fd_ = fd;
        if (stopping_)
            shutdown(fd, SHUT_RDWR);
    }
    serve(fd);
    std::lock_guard lock(mutex_);
    conn_fd_ = -1;
    close(fd);
    changed_.notify_all();
}

void WsPeer::serve(int fd)
{
    std::string head;
    char byte;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (!read_exact(fd, &byte, 1))
            return;
        head += byte;
    }
    {
        std::lock_guard lock(mutex_);
        request_ = head;
        changed_.notify_all();
    }
    if (options_.mode == Mode::silent) {
        while (read_exact(fd, &byte, 1)) {
        }
        return;
    }
    write_all(fd, options_.response + options_.after_response);
    {
        std::lock_guard lock(mutex_);
        answered_ = true;
        changed_.notify_all();
    }
    if (options_.close_after_response)
        return;
    for (size_t count = 1;; ++count) {
        WsFrame frame;
        char head2[2];
        if (!read_exact(fd, head2, 2))
            return;
        frame.header.assign(head2, 2);
        frame.opcode = uint8_t(head2[0]) & 0x0F;
        frame.masked = uint8_t(head2[1]) & 0x80;
        uint64_t length = uint8_t(head2[1]) & 0x7F;
        const size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        char bytes[8], mask[4];
        if (extended && !read_exact(fd, bytes, extended))
            return;
        frame.header.append(bytes, extended);
        for (size_t i = 0; extended && i < extended; ++i)
            length = (i == 0 ? 0 : length << 8) | uint8_t(bytes[i]);
        if (frame.masked && !read_exact(fd, mask, 4))
            return;
        if (frame.masked)
            frame.header.append(mask, 4);
        frame.payload.resize(length);
        if (length && !read_exact(fd, frame.payload.data(), length))
            return;
        for (size_t i = 0; frame.masked && i < length; ++i)
            frame.payload[i] = char(frame.payload[i] ^ mask[i % 4]);
        if (options_.mode == Mode::echo)
            write_all(fd, encode(frame.opcode, frame.payload, options_.mask_replies));
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
            changed_.notify_all();
        }
        if (options_.close_after_frames && count == options_.close_after_frames)
            return;
    }
}

std::string WsPeer::request()
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait_limit, [this] { return !request_.empty(); });
    return request_;
}

bool WsPeer::wait_frames(size_t count)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait_limit, [&] { return frames_.size() >= count; });
}

std::vector<WsFrame> WsPeer::frames()
{
    std::lock_guard lock(mutex_);
    return frames_;
}

void WsPeer::send(const std::string &bytes)
{
    int fd;
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, wait_limit, [this] { return answered_ || conn_fd_ < 0; });
        fd = conn_fd_;
    }
    if (fd >= 0)
        write_all(fd, bytes);
}

void WsPeer::close_connection()
{
    std::lock_guard lock(mutex_);
    if (conn_fd_ >= 0)
        shutdown(conn_fd_, SHUT_RDWR);
}

} // namespace vt_test
