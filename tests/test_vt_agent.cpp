// The subject agent as a real process on loopback: the upgrade answer, the key
// negotiation in both parameter forms through the examiner's channel, encrypted
// messages of many sizes both ways, concurrent connections, malformed frames,
// and every request it serves (login, information, targets, reads, shutdown).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vt_buffer.h"
#include "vt_cfg.h"
#include "vt_crypt.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_protocol.h"
#include "vt_test_agent.h"
#include "vt_test_inbox.h"
#include "vt_test_json.h"
#include "vt_test_util.h"
#include "vt_web.h"
#include "vt_web_key.h"
#include "vt_websocket.h"

namespace {

using bytes = std::vector<uint8_t>;
using vt_test::Inbox;
using vt_test::inbox_dispatch;
using vt_test::Agent;
namespace key = vt_key_format;
namespace ptc = vt_ptc_format;

constexpr size_t kStackSize = 524336;
constexpr char kUser[] = "examiner";
constexpr char kPassword[] = "correct horse";
constexpr auto kWait = std::chrono::seconds(60);

bytes file_bytes(const std::string &path)
{
    std::string text = vt_test::read_file(path);
    return bytes(text.begin(), text.end());
}

void write_random_file(const std::string &path, size_t size)
{
    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    std::string data(size, '\0');
    ASSERT_EQ(vt_rng_rand_(rng, reinterpret_cast<uint8_t *>(data.data()), size), 0);
    vt_rng_deit(&rng);
    vt_test::write_file(path, data);
}

// ---- A raw client: plain socket, own frame codec ----------------------------------------

class RawClient {
public:
    explicit RawClient(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        timeval timeout{60, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }

    void send_raw(const std::string &text) { ASSERT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }
    void send_raw(const bytes &data) { send_raw(std::string(data.begin(), data.end())); }

    // Everything up to the end of the HTTP head.
    std::string read_head()
    {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && recv(fd_, &c, 1, 0) == 1)
            head += c;
        return head;
    }
    std::string upgrade(const std::string &path = "/sub",
                        const std::string &key_line = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
    {
        send_raw("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\n" + key_line + "Sec-WebSocket-Version: 13\r\n\r\n");
        return read_head();
    }
    // A masked binary frame, as a browser-style client would send it.
    void send_frame(const bytes &payload, int opcode = mg_opcode_binary)
    {
        uint8_t header[mg_frame_header_max];
        size_t size = mg_frame_header(header, opcode, payload.size());
        header[1] |= mg_frame_mask_bit;
        bytes frame(header, header + size);
        const uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
        frame.insert(frame.end(), mask, mask + 4);
        for (size_t i = 0; i < payload.size(); ++i)
            frame.push_back(payload[i] ^ mask[i % 4]);
        send_raw(frame);
    }
    bool read_exact(uint8_t *out, size_t length)
    {
        size_t done = 0;
        while (done < length) {
            ssize_t got = recv(fd_, out + done, length - done, 0);
            if (got <= 0)
                return false;
            done += size_t(got);
        }
        return true;
    }
    bool read_frame(bytes *payload)
    {
        uint8_t head[2];
        if (!read_exact(head, 2))
            return false;
        uint64_t length = head[1] & 0x7F;
        size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
        uint8_t ext[8];
        if (extended && !read_exact(ext, extended))
            return false;
        if (extended) {
            length = 0;
            for (size_t i = 0; i < extended; ++i)
                length = length << 8 | ext[i];
        }
        payload->resize(length);
        return read_exact(payload->data(), length);
    }
    // True when the agent closes the connection (recv sees the end, bounded wait).
    bool closed_by_peer()
    {
        uint8_t byte;
        for (;;) {
            ssize_t got = recv(fd_, &byte, 1, 0);
            if (got == 0 || (got < 0 && errno == ECONNRESET))
                return true;
            if (got < 0)
                return false; // time-out: still open
        }
    }

    // The examiner's negotiation over this socket; the session key ends in *aes.
    ::testing::AssertionResult negotiate(vt_rng *rng, vt_aes **aes)
    {
        std::array<uint8_t, key::kChallengeSize> challenge{};
        vt_key_client_ctx ctx{rng, challenge.data(), aes, nullptr};
        std::array<uint8_t, key::kMsg1Size> m1{};
        std::array<uint8_t, key::kMsg3Size> m3{};
        std::array<uint8_t, key::kMsg5Size> m5{};
        bytes reply;
        if (vt_key_server_challenge_ping(&ctx, m1))
            return ::testing::AssertionFailure() << "state 1";
        if (!exchange(bytes(m1.begin(), m1.end()), &reply) ||
            vt_key_client_challenge_ping(&ctx, reply.data(), reply.size(), m3))
            return ::testing::AssertionFailure() << "state 3";
        if (!exchange(bytes(m3.begin(), m3.end()), &reply) ||
            vt_key_verify_secretkey_ping(&ctx, reply.data(), reply.size(), m5))
            return ::testing::AssertionFailure() << "state 5";
        if (!exchange(bytes(m5.begin(), m5.end()), &reply) ||
            vt_key_finish_negotiate_keys(&ctx, reply.data(), reply.size()))
            return ::testing::AssertionFailure() << "state 7";
        return ::testing::AssertionSuccess();
    }

private:
    // One negotiation message out under the next tag; the answer must carry that tag.
    bool exchange(const bytes &message, bytes *reply)
    {
        bytes payload(4);
        key::store32(payload.data(), ++tag_);
        payload.insert(payload.end(), message.begin(), message.end());
        send_frame(payload);
        bytes frame;
        if (!read_frame(&frame) || frame.size() < 4 || key::load32(frame.data()) != tag_)
            return false;
        reply->assign(frame.begin() + 4, frame.end());
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    uint32_t tag_ = 1;
};

// ---- The examiner's side: a channel and protocol messages --------------------------------

using ObjPtr = vt_test::JsonPtr;

// A decoded JSON-layout answer.
struct Answer {
    uint8_t opcode = 0;
    uint32_t error = 0;
    std::string error_text;
    ObjPtr body;
};

// A read answer: its pieces and whether the last one carried the flag.
struct ReadAnswer {
    uint32_t error = 0;
    std::string error_text;
    std::vector<size_t> pieces;
    std::vector<bool> last_flags;
    bytes data;
};

// The examiner end of one connection: the real channel (connect, upgrade, negotiate,
// encrypt) with a dispatcher that keeps every message; answers arrive in order.
class Examiner {
public:
    explicit Examiner(const std::string &url, bool inherit = false)
    {
        EXPECT_EQ(vt_cfg_init(&settings), 0);
        EXPECT_EQ(vt_cfg_set_caller(settings, inbox_dispatch, kStackSize), 0);
        if (inherit) {
            EXPECT_EQ(vt_cfg_set_diffie_link(settings), 0);
        }
        EXPECT_EQ(vt_buffer_init(&scratch, 0), 0);
        ready = vt_web_init(&channel, vt_web_type_client, url.c_str(), settings, &inbox) == 0;
    }
    ~Examiner()
    {
        vt_web_deit(&channel);
        vt_buffer_deit(&scratch);
        vt_cfg_deit(&settings);
    }

    bool send(const uint8_t *message, size_t size)
    {
        return vt_web_send_base(channel, message, size, nullptr, nullptr, 0, nullptr) == 0;
    }
    // Waits (bounded) for the next message of the connection.
    bool next(bytes *message)
    {
        std::unique_lock<std::mutex> hold(inbox.mutex);
        if (!inbox.arrived.wait_for(hold, kWait, [&] { return inbox.messages.size() > taken; }))
            return false;
        *message = inbox.messages[taken++];
        return true;
    }
    ::testing::AssertionResult request(uint8_t opcode, vt_json_obj *document, Answer *answer)
    {
        uint8_t *message = nullptr;
        size_t size = 0;
        int built = document ? vt_ptc_res_json(scratch, document, opcode, 0, &message, &size)
                             : vt_ptc_res_header(scratch, opcode, 0, &message, &size);
        if (built || !send(message, size))
            return ::testing::AssertionFailure() << "send";
        bytes reply;
        if (!next(&reply))
            return ::testing::AssertionFailure() << "no answer";
        vt_ptc_req decoded{};
        if (vt_ptc_req_init(&decoded, reply.data(), reply.size()))
            return ::testing::AssertionFailure() << "undecodable answer";
        answer->opcode = reply[0];
        answer->error = decoded.message->error;
        if (decoded.error)
            answer->error_text.assign(decoded.error, decoded.error_length);
        answer->body.reset(decoded.body);
        decoded.body = nullptr;
        vt_ptc_req_deit(&decoded);
        return ::testing::AssertionSuccess();
    }
    Answer call(uint8_t opcode, vt_json_obj *document = nullptr)
    {
        Answer answer;
        EXPECT_TRUE(request(opcode, document, &answer));
        return answer;
    }
    Answer login(const std::string &user, const std::string &password)
    {
        ObjPtr doc = object();
        vt_json_obj_string(doc.get(), "username", user.data(), user.size());
        vt_json_obj_string(doc.get(), "password", password.data(), password.size());
        return call(VT_PTC_SUBJECT_LOGIN_REQ, doc.get());
    }
    Answer target(uint8_t opcode, int64_t id)
    {
        ObjPtr doc = object();
        vt_json_obj_number(doc.get(), "id", id);
        return call(opcode, doc.get());
    }
    // Sends one read request and collects its pieces up to the last (or an error).
    ReadAnswer read(uint32_t id, uint64_t offset, uint64_t length, uint64_t limit = kStackSize - 48)
    {
        ReadAnswer answer;
        uint8_t *message = nullptr;
        size_t size = 0;
        EXPECT_EQ(vt_ptc_read_req(scratch, id, offset, length, limit, &message, &size), 0);
        EXPECT_TRUE(send(message, size));
        for (;;) {
            bytes piece;
            if (!next(&piece) || piece.size() < 48) {
                ADD_FAILURE() << "read answer missing";
                return answer;
            }
            vt_ptc_read_hdr header;
            memcpy(&header, piece.data(), sizeof header);
            vt_ptc_read_ntoh(&header);
            EXPECT_EQ(header.opcode, VT_PTC_TARGET_READ_RES);
            EXPECT_EQ(piece.size(), 48 + header.length);
            if (header.error) {
                answer.error = header.error;
                vt_json_obj *body = nullptr;
                const char *text = nullptr;
                size_t text_length = 0;
                if (vt_json_obj_decode(&body, piece.data() + 48, piece.size() - 48) == 0 &&
                    vt_json_obj_get_string(body, "error", &text, &text_length) == 0)
                    answer.error_text.assign(text, text_length);
                vt_json_obj_deit(&body);
                return answer;
            }
            answer.pieces.push_back(header.length);
            answer.last_flags.push_back(header.flags & ptc::kReadFlagLast);
            answer.data.insert(answer.data.end(), piece.begin() + 48, piece.end());
            if (header.flags & ptc::kReadFlagLast)
                return answer;
        }
    }
    static ObjPtr object()
    {
        vt_json_obj *doc = nullptr;
        EXPECT_EQ(vt_json_obj_init(&doc), 0);
        return ObjPtr(doc);
    }

    bool ready = false;
    Inbox inbox;
    size_t taken = 0;
    vt_cfg *settings = nullptr;
    vt_web *channel = nullptr;
    vt_buffer *scratch = nullptr;
};

// Target list answer decoded into records (names point into the answer's body).
std::vector<vt_db_target> target_list(Examiner &exa, Answer *holder)
{
    std::vector<vt_db_target> out;
    *holder = exa.call(VT_PTC_TARGET_LIST_REQ);
    EXPECT_EQ(holder->error, 0u);
    vt_json_arr *targets = nullptr;
    if (!holder->body || vt_json_obj_get_array(holder->body.get(), "targets", &targets))
        return out;
    size_t count = 0;
    vt_json_arr_size(targets, &count);
    for (size_t i = 0; i < count; ++i) {
        vt_json_obj *entry = nullptr;
        vt_db_target record{};
        EXPECT_EQ(vt_json_arr_get_object(targets, &entry, i), 0);
        EXPECT_EQ(vt_db_target_load(&record, entry), 0);
        out.push_back(record);
        vt_json_obj_deit(&entry);
    }
    vt_json_arr_deit(&targets);
    return out;
}

// ---- Fixture: one agent serving one 5000-byte file ------------------------------------------

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = dir.file("disk.img");
        write_random_file(image, kImageSize);
        content = file_bytes(image);
    }
    // The password file ends in a line end, which the agent must not take as part of it.
    std::unique_ptr<Agent> start(std::vector<std::string> extra = {})
    {
        vt_test::AgentOptions options;
        options.extra = std::move(extra);
        options.user = kUser;
        options.password_text = std::string(kPassword) + "\n";
        auto agent = std::make_unique<Agent>(dir, vt_test::AgentTargets{{"disk0", image}}, options);
        EXPECT_GT(agent->port_number(), 0) << "agent did not start";
        return agent;
    }
    // A connected examiner, logged in, with target 1 logged in.
    std::unique_ptr<Examiner> ready(const Agent &agent)
    {
        auto exa = std::make_unique<Examiner>(agent.url());
        EXPECT_TRUE(exa->ready);
        if (exa->ready) {
            EXPECT_EQ(exa->login(kUser, kPassword).error, 0u);
            EXPECT_EQ(exa->target(VT_PTC_TARGET_LOGIN_REQ, 1).error, 0u);
        }
        return exa;
    }

    static constexpr size_t kImageSize = 5000;
    vt_test::TempDir dir;
    std::string image;
    bytes content;
};

// ---- Stage 1: transport ----------------------------------------------------------------

TEST_F(AgentTest, UpgradeIsAnsweredOnlyOnItsPath)
{
    auto agent = start();
    {
        RawClient client(agent->port_number());
        ASSERT_TRUE(client.connected());
        std::string head = client.upgrade();
        EXPECT_EQ(head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << head;
        // The accept value of the sample key in the WebSocket protocol's definition.
        EXPECT_NE(head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
                  std::string::npos) << head;
    }
    struct Case {
        const char *name;
        std::string path;
        std::string key_line;
        const char *status;
    } const cases[] = {
        {"other path", "/other", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", "HTTP/1.1 404 "},
        {"path prefix", "/sub/x", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", "HTTP/1.1 404 "},
        {"no key", "/sub", "", "HTTP/1.1 400 "},
        {"short key", "/sub", "Sec-WebSocket-Key: abc\r\n", "HTTP/1.1 400 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(agent->port_number());
        std::string head = client.upgrade(c.path, c.key_line);
        EXPECT_EQ(head.rfind(c.status, 0), 0u) << head;
        EXPECT_TRUE(client.closed_by_peer());
    }
    EXPECT_TRUE(agent->running());
}

class AgentForm : public AgentTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(AgentForm, NegotiatesWithTheExaminerChannel)
{
    auto agent = start({"--dh", GetParam()});
    Examiner exa(agent->url(), true);
    ASSERT_TRUE(exa.ready);
    EXPECT_EQ(exa.channel->failed, 0);
    // The parameters the agent offered, as the examiner inherited them.
    if (std::string(GetParam()) == "raw") {
        EXPECT_EQ(exa.settings->prime.length, 256u);
        EXPECT_EQ(exa.settings->certificate, nullptr);
    } else {
        EXPECT_EQ(exa.settings->certificate_length, vt_dh_cert_size);
        EXPECT_EQ(exa.settings->prime.text, nullptr);
    }
    EXPECT_EQ(exa.login(kUser, kPassword).error, 0u);
}

INSTANTIATE_TEST_SUITE_P(Forms, AgentForm, ::testing::Values("raw", "cert"),
                         [](const auto &info) { return std::string(info.param); });

TEST_F(AgentTest, MessagesOfEverySmallSizePassBothWays)
{
    auto agent = start();
    auto exa = ready(*agent);
    ASSERT_TRUE(exa->ready);
    // Examiner to agent: logins whose random passwords walk the frame length across
    // every 16-byte boundary; each is refused and the connection goes on.
    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    for (size_t length = 1; length <= 80; ++length) {
        SCOPED_TRACE(length);
        bytes raw(length);
        ASSERT_EQ(vt_rng_rand_(rng, raw.data(), length), 0);
        std::string password;
        for (uint8_t b : raw)
            password += char('!' + b % 90);
        Answer answer = exa->login(kUser, password);
        EXPECT_EQ(answer.error, 0x100u);
    }
    vt_rng_deit(&rng);
    // Agent to examiner: reads of 1 to 80 random bytes.
    for (size_t length = 1; length <= 80; ++length) {
        SCOPED_TRACE(length);
        ReadAnswer answer = exa->read(1, 1000 + length, length);
        ASSERT_EQ(answer.error, 0u);
        EXPECT_EQ(answer.data, bytes(content.begin() + 1000 + length,
                                     content.begin() + 1000 + 2 * length));
    }
}

TEST_F(AgentTest, ServesSeveralConnectionsAtOnce)
{
    auto agent = start();
    constexpr int kClients = 6;
    std::vector<std::thread> threads;
    std::array<bool, kClients> matched{};
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            auto exa = ready(*agent);
            bool all = exa->ready;
            for (int round = 0; all && round < 20; ++round) {
                uint64_t offset = uint64_t(i * 500 + round * 7);
                ReadAnswer answer = exa->read(1, offset, 300, 64);
                all = answer.error == 0 && answer.data == bytes(content.begin() + offset,
                                                                content.begin() + offset + 300);
            }
            matched[i] = all;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(matched[i]) << "client " << i;
}

TEST_F(AgentTest, MalformedFramesCloseOnlyTheirConnection)
{
    auto agent = start();
    auto bystander = ready(*agent);
    ASSERT_TRUE(bystander->ready);

    // Broken before or during negotiation.
    struct Case {
        const char *name;
        std::function<void(RawClient &)> send;
    } const before[] = {
        {"payload shorter than the tag", [](RawClient &c) { c.send_frame({1, 2, 3}); }},
        {"text frame", [](RawClient &c) { c.send_frame({0, 0, 0, 2, 1}, 1); }},
        {"announced length of 2^62",
         [](RawClient &c) { c.send_raw(bytes{0x82, 127, 0x40, 0, 0, 0, 0, 0, 0, 0}); }},
        {"message 3 first", [](RawClient &c) { bytes m(4 + 33, 0); m[4] = 3; c.send_frame(m); }},
        {"short message 1", [](RawClient &c) { bytes m(4 + 128, 0); m[4] = 1; c.send_frame(m); }},
    };
    for (const Case &c : before) {
        SCOPED_TRACE(c.name);
        RawClient client(agent->port_number());
        ASSERT_EQ(client.upgrade().rfind("HTTP/1.1 101", 0), 0u);
        c.send(client);
        EXPECT_TRUE(client.closed_by_peer());
    }

    // Broken after negotiation: frames that do not open, and messages that are not requests.
    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    auto sealed = [&](vt_aes *aes, const bytes &message) {
        vt_buffer *payload = nullptr;
        vt_buffer_init(&payload, 0);
        vt_key_frame_seal(aes, rng, 9, message.data(), message.size(), payload);
        bytes out(payload->data, payload->data + payload->used);
        vt_buffer_deit(&payload);
        return out;
    };
    bytes info_request(48, 0);
    info_request[0] = VT_PTC_SUBJECT_INFO_REQ;
    bytes body_beyond = info_request;
    body_beyond[8] = 100; // body length 100, no body
    bytes bad_opcode = info_request;
    bad_opcode[0] = 37;
    struct After {
        const char *name;
        std::function<bytes(vt_aes *)> payload;
    } const after[] = {
        {"one-byte message", [&](vt_aes *aes) { return sealed(aes, {0x16}); }},
        {"header only 47 bytes", [&](vt_aes *aes) { return sealed(aes, bytes(47, 0x16)); }},
        {"body beyond the message", [&](vt_aes *aes) { return sealed(aes, body_beyond); }},
        {"opcode 37", [&](vt_aes *aes) { return sealed(aes, bad_opcode); }},
        {"read request of 49 bytes", [&](vt_aes *aes) { bytes m(49, 0); m[0] = 15; return sealed(aes, m); }},
        // Without a MAC a garbled block may still decrypt to some message; a flipped IV
        // bit lands in the length header, which must then be refused.
        {"length header garbled", [&](vt_aes *aes) { bytes p = sealed(aes, info_request); p[4] ^= 0x80; return p; }},
        {"fill count 16", [&](vt_aes *aes) { bytes p = sealed(aes, info_request); p[20] = 16; return p; }},
        {"ciphertext not whole blocks", [&](vt_aes *aes) { bytes p = sealed(aes, info_request); p.pop_back(); return p; }},
    };
    for (const After &c : after) {
        SCOPED_TRACE(c.name);
        RawClient client(agent->port_number());
        ASSERT_EQ(client.upgrade().rfind("HTTP/1.1 101", 0), 0u);
        vt_aes *aes = nullptr;
        ASSERT_TRUE(client.negotiate(rng, &aes));
        client.send_frame(c.payload(aes));
        EXPECT_TRUE(client.closed_by_peer());
        vt_aes_deit(&aes);
    }
    vt_rng_deit(&rng);

    // The connection that behaved, and new ones, are still served.
    EXPECT_TRUE(agent->running());
    EXPECT_EQ(bystander->read(1, 0, 100).data, bytes(content.begin(), content.begin() + 100));
    auto newcomer = ready(*agent);
    EXPECT_EQ(newcomer->read(1, 4900, 100).data, bytes(content.begin() + 4900, content.end()));
}

// ---- Stage 2: requests -------------------------------------------------------------------

TEST_F(AgentTest, LoginIsRefusedUnlessBothCredentialsMatch)
{
    auto agent = start();
    Examiner exa(agent->url());
    ASSERT_TRUE(exa.ready);
    struct Case {
        const char *name;
        std::string user, password;
    } const refused[] = {
        {"wrong password", kUser, "correct hors"},
        {"longer password", kUser, std::string(kPassword) + "e"},
        {"wrong user", "Examiner", kPassword},
        {"empty both", "", ""},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.name);
        Answer answer = exa.login(c.user, c.password);
        EXPECT_EQ(answer.opcode, VT_PTC_SUBJECT_LOGIN_RES);
        EXPECT_NE(answer.error, 0u);
        EXPECT_FALSE(answer.error_text.empty());
    }
    Answer missing = exa.call(VT_PTC_SUBJECT_LOGIN_REQ, Examiner::object().get());
    EXPECT_NE(missing.error, 0u);
    Answer accepted = exa.login(kUser, kPassword);
    EXPECT_EQ(accepted.opcode, VT_PTC_SUBJECT_LOGIN_RES);
    EXPECT_EQ(accepted.error, 0u);
}

TEST_F(AgentTest, NothingButLoginIsServedBeforeIt)
{
    auto agent = start();
    Examiner exa(agent->url());
    ASSERT_TRUE(exa.ready);
    const std::pair<uint8_t, uint8_t> requests[] = {
        {VT_PTC_SUBJECT_INFO_REQ, VT_PTC_SUBJECT_INFO_RES},
        {VT_PTC_TARGET_LIST_REQ, VT_PTC_TARGET_LIST_RES},
        {VT_PTC_SUBJECT_SHUTDOWN_REQ, VT_PTC_SUBJECT_SHUTDOWN_RES},
    };
    for (auto [request, response] : requests) {
        SCOPED_TRACE(int(request));
        Answer answer = exa.call(request);
        EXPECT_EQ(answer.opcode, response);
        EXPECT_EQ(answer.error, 0x101u);
        EXPECT_FALSE(answer.error_text.empty());
        EXPECT_EQ(answer.body ? vt_json_obj_check_key(answer.body.get(), "targets") : 1, 1);
    }
    EXPECT_EQ(exa.target(VT_PTC_TARGET_LOGIN_REQ, 1).error, 0x101u);
    ReadAnswer read = exa.read(1, 0, 10);
    EXPECT_EQ(read.error, 0x101u);
    EXPECT_TRUE(read.data.empty());
    // The refused shutdown did not stop the agent, and login still works.
    EXPECT_TRUE(agent->running());
    EXPECT_EQ(exa.login(kUser, kPassword).error, 0u);
    EXPECT_EQ(exa.call(VT_PTC_TARGET_LIST_REQ).error, 0u);
}

TEST_F(AgentTest, SubjectInformationDescribesTheAgent)
{
    std::string uuid;
    for (int round = 0; round < 2; ++round) {
        auto agent = start();
        for (int connection = 0; connection < 2; ++connection) {
            Examiner exa(agent->url());
            ASSERT_TRUE(exa.ready);
            ASSERT_EQ(exa.login(kUser, kPassword).error, 0u);
            Answer answer = exa.call(VT_PTC_SUBJECT_INFO_REQ);
            ASSERT_EQ(answer.opcode, VT_PTC_SUBJECT_INFO_RES);
            ASSERT_EQ(answer.error, 0u);
            vt_db_subject record{};
            ASSERT_EQ(vt_db_subject_load(&record, answer.body.get()), 0);
            char host[256] = {};
            gethostname(host, sizeof host - 1);
            EXPECT_EQ(std::string(record.hostname.text, record.hostname.length), host);
            EXPECT_EQ(std::string(record.address.text, record.address.length), "127.0.0.1");
            EXPECT_EQ(std::string(record.port.text, record.port.length),
                      std::to_string(agent->port_number()));
            EXPECT_EQ(std::string(record.path.text, record.path.length), "/sub");
            EXPECT_NE(std::string(record.platform.text, record.platform.length).find("Linux"),
                      std::string::npos);
            EXPECT_EQ(record.subject_type, 6u);
            ASSERT_EQ(record.uuid.length, 36u);
            std::string this_uuid(record.uuid.text, record.uuid.length);
            // The same machine and listen address give the same identifier every time.
            if (uuid.empty())
                uuid = this_uuid;
            EXPECT_EQ(this_uuid, uuid);
            // A system time of today (100 ns since 1601), not a count of seconds.
            uint64_t now = (uint64_t(time(nullptr)) + 11644473600ULL) * 10000000ULL;
            EXPECT_LT(record.seconds > now ? record.seconds - now : now - record.seconds,
                      86400ULL * 10000000ULL);
        }
    }
}

TEST_F(AgentTest, UuidFileKeepsTheIdentifier)
{
    std::string path = dir.file("uuid");
    std::string first;
    for (int round = 0; round < 2; ++round) {
        auto agent = start({"--uuid-file", path});
        auto exa = ready(*agent);
        Answer answer = exa->call(VT_PTC_SUBJECT_INFO_REQ);
        const char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_get_string(answer.body.get(), "uuid", &text, &length), 0);
        std::string uuid(text, length);
        EXPECT_EQ(vt_test::read_file(path), uuid + "\n");
        if (round == 0)
            first = uuid;
        EXPECT_EQ(uuid, first);
    }
}

// Attaches a loop device to a file for the test's lifetime.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &file)
    {
        vt_test::RunResult result = vt_test::run({"/sbin/losetup", "--find", "--show", file});
        if (result.status == 0)
            device_ = result.out.substr(0, result.out.find('\n'));
    }
    ~LoopDevice()
    {
        if (!device_.empty())
            vt_test::run({"/sbin/losetup", "-d", device_});
    }
    const std::string &device() const { return device_; }

private:
    std::string device_;
};

TEST_F(AgentTest, ListsAFileAndALoopDevice)
{
    std::string disk = dir.file("loop.img");
    write_random_file(disk, 1 << 20);
    LoopDevice loop(disk);
    if (loop.device().empty())
        GTEST_SKIP() << "no loop device available";
    auto agent = start({"--target", "loop0=" + loop.device()});
    auto exa = ready(*agent);
    Answer holder;
    std::vector<vt_db_target> targets = target_list(*exa, &holder);
    ASSERT_EQ(targets.size(), 2u);
    // The file: 512-byte blocks, the last one completed.
    EXPECT_EQ(std::string(targets[1].name.text, targets[1].name.length), "disk0");
    EXPECT_EQ(targets[1].block_size, 512u);
    EXPECT_EQ(targets[1].block_count, 10u);
    EXPECT_EQ(targets[1].type, 2u);
    // The device: its own block size and count.
    EXPECT_EQ(std::string(targets[0].name.text, targets[0].name.length), "loop0");
    EXPECT_EQ(targets[0].type, 1u);
    EXPECT_EQ(targets[0].block_size * targets[0].block_count, uint64_t(1 << 20));
    EXPECT_NE(targets[0].id, targets[1].id);

    // Targets are numbered in command-line order; ready() logged into the first.
    ASSERT_EQ(targets[0].id, 1u);
    ReadAnswer answer = exa->read(uint32_t(targets[0].id), 0, 1 << 20);
    ASSERT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.data, file_bytes(disk));
    EXPECT_EQ(answer.pieces, (std::vector<size_t>{524288, 524288}));
}

TEST_F(AgentTest, ReadsComeInPiecesWithTheLastFlagged)
{
    auto agent = start();
    auto exa = ready(*agent);
    struct Case {
        uint64_t offset, length, limit;
        std::vector<size_t> pieces;
    } const cases[] = {
        {0, 5000, 1024, {1024, 1024, 1024, 1024, 904}},
        {0, 4096, 1024, {1024, 1024, 1024, 1024}},
        {10, 1, 1, {1}},
        {100, 3, 1, {1, 1, 1}},
        {0, 5000, 524288, {5000}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length << "/" << c.limit);
        ReadAnswer answer = exa->read(1, c.offset, c.length, c.limit);
        ASSERT_EQ(answer.error, 0u);
        EXPECT_EQ(answer.pieces, c.pieces);
        std::vector<bool> flags(c.pieces.size(), false);
        flags.back() = true;
        EXPECT_EQ(answer.last_flags, flags);
        EXPECT_EQ(answer.data, bytes(content.begin() + c.offset, content.begin() + c.offset + c.length));
    }
}

TEST_F(AgentTest, ReadsAreClippedAtTheEndAndRefusedBeyondIt)
{
    auto agent = start();
    auto exa = ready(*agent);
    // 5000 bytes are served as 10 blocks: 5120 bytes, the last 120 zero.
    ReadAnswer clipped = exa->read(1, 4000, 1 << 20);
    ASSERT_EQ(clipped.error, 0u);
    bytes expected(content.begin() + 4000, content.end());
    expected.resize(1120, 0);
    EXPECT_EQ(clipped.data, expected);
    ReadAnswer huge = exa->read(1, 5119, ~uint64_t(0));
    ASSERT_EQ(huge.error, 0u);
    EXPECT_EQ(huge.data, bytes(1, 0));

    for (uint64_t offset : {uint64_t(5120), uint64_t(5121), uint64_t(1) << 40, ~uint64_t(0)}) {
        SCOPED_TRACE(offset);
        ReadAnswer refused = exa->read(1, offset, 10);
        EXPECT_EQ(refused.error, 0x300u);
        EXPECT_FALSE(refused.error_text.empty());
        EXPECT_TRUE(refused.data.empty());
    }
    EXPECT_EQ(exa->read(1, 0, 0).error, 0x300u);
    // Still usable after the refusals.
    EXPECT_EQ(exa->read(1, 0, 16).data, bytes(content.begin(), content.begin() + 16));
}

TEST_F(AgentTest, TargetLoginAndLogoutGuardReads)
{
    auto agent = start();
    Examiner exa(agent->url());
    ASSERT_TRUE(exa.ready);
    ASSERT_EQ(exa.login(kUser, kPassword).error, 0u);
    EXPECT_EQ(exa.read(1, 0, 10).error, 0x201u);
    EXPECT_EQ(exa.target(VT_PTC_TARGET_LOGIN_REQ, 7).error, 0x200u);
    EXPECT_EQ(exa.target(VT_PTC_TARGET_LOGIN_REQ, 0).error, 0x200u);
    EXPECT_EQ(exa.target(VT_PTC_TARGET_LOGIN_REQ, -1).error, 0x200u);
    EXPECT_EQ(exa.read(7, 0, 10).error, 0x200u);
    Answer first = exa.target(VT_PTC_TARGET_LOGIN_REQ, 1);
    EXPECT_EQ(first.opcode, VT_PTC_TARGET_LOGIN_RES);
    EXPECT_EQ(first.error, 0u);
    Answer again = exa.target(VT_PTC_TARGET_LOGIN_REQ, 1);
    EXPECT_EQ(again.error, 0xE0u);
    EXPECT_FALSE(again.error_text.empty());
    EXPECT_EQ(exa.read(1, 0, 10).data, bytes(content.begin(), content.begin() + 10));
    Answer logout = exa.target(VT_PTC_TARGET_LOGOUT_REQ, 1);
    EXPECT_EQ(logout.opcode, VT_PTC_TARGET_LOGOUT_RES);
    EXPECT_EQ(logout.error, 0u);
    EXPECT_EQ(exa.target(VT_PTC_TARGET_LOGOUT_REQ, 1).error, 0x201u);
    EXPECT_EQ(exa.read(1, 0, 10).error, 0x201u);
    // A target login belongs to its connection.
    Examiner other(agent->url());
    ASSERT_TRUE(other.ready);
    ASSERT_EQ(other.login(kUser, kPassword).error, 0u);
    ASSERT_EQ(exa.target(VT_PTC_TARGET_LOGIN_REQ, 1).error, 0u);
    EXPECT_EQ(other.read(1, 0, 10).error, 0x201u);
}

TEST_F(AgentTest, ShutdownIsAnsweredThenTheAgentExits)
{
    auto agent = start();
    auto bystander = ready(*agent);
    auto exa = ready(*agent);
    Answer answer = exa->call(VT_PTC_SUBJECT_SHUTDOWN_REQ);
    EXPECT_EQ(answer.opcode, VT_PTC_SUBJECT_SHUTDOWN_RES);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(agent->wait_exit(), 0);
    RawClient late(agent->port_number());
    EXPECT_FALSE(late.connected());
}

TEST_F(AgentTest, StopSignalsEndTheAgentCleanly)
{
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        auto agent = start();
        auto exa = ready(*agent);
        EXPECT_EQ(agent->terminate(signal_number), 0);
    }
}

TEST_F(AgentTest, RefusesABadCommandLine)
{
    std::string password = dir.file("pw");
    vt_test::write_file(password, "x\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--password-file", password},                                   // no user
        {"--user", "u"},                                                 // no password
        {"--user", "u", "--password-file", password, "--password", "y"}, // two passwords
        {"--user", "u", "--password-file", dir.file("absent")},
        {"--user", "u", "--password-file", password, "--target", "noequals"},
        {"--user", "u", "--password-file", password, "--target", "a=" + dir.file("absent")},
        {"--user", "u", "--password-file", password, "--target", "a=" + image, "--target", "a=" + image},
        {"--user", "u", "--password-file", password, "--target", "d=" + dir.path()},
        {"--user", "u", "--password-file", password, "--dh", "other"},
        {"--user", "u", "--password-file", password, "--listen", "127.0.0.1:http"},
    };
    for (const auto &extra : cases) {
        std::vector<std::string> argv = {vt_test::program("vt_agent")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back("--port-file");
        argv.push_back(dir.file("never"));
        vt_test::RunResult result = vt_test::run(argv);
        EXPECT_EQ(result.status, 1) << testing::PrintToString(extra) << result.err;
        EXPECT_TRUE(vt_test::read_file(dir.file("never")).empty());
    }
}

// Messages of exactly the stack size, and requests whose length walks across many
// 16-byte boundaries, pass unchanged in both directions: a login padded to the
// wanted size is accepted only when its credentials arrived intact, and a read
// answered in one piece of the stack size carries the target's bytes.
TEST_F(AgentTest, StackSizedAndBoundaryMessagesPassUnchanged)
{
    const std::string big = dir.file("big.img");
    write_random_file(big, 1 << 20);
    const bytes big_content = file_bytes(big);
    auto agent = start({"--target", "big=" + big}); // numbered 1, before disk0
    auto exa = ready(*agent);
    ASSERT_TRUE(exa->ready);

    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    // A login request of `size` bytes: the credentials plus a "padding" member of
    // random letters and digits, which JSON writes without escapes.
    auto padded_login = [&](size_t size) -> ObjPtr {
        static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        ObjPtr doc = Examiner::object();
        vt_json_obj_string(doc.get(), "username", kUser, strlen(kUser));
        vt_json_obj_string(doc.get(), "password", kPassword, strlen(kPassword));
        vt_json_obj_string(doc.get(), "padding", "", 0);
        uint8_t *message = nullptr;
        size_t bare = 0;
        if (vt_ptc_res_json(exa->scratch, doc.get(), VT_PTC_SUBJECT_LOGIN_REQ, 0, &message, &bare) ||
            bare > size)
            return ObjPtr();
        bytes noise(size - bare);
        if (!noise.empty())
            vt_rng_rand_(rng, noise.data(), noise.size());
        std::string padding;
        for (uint8_t b : noise)
            padding += alphabet[b % 62];
        vt_json_obj_string(doc.get(), "padding", padding.data(), padding.size());
        size_t built = 0;
        if (vt_ptc_res_json(exa->scratch, doc.get(), VT_PTC_SUBJECT_LOGIN_REQ, 0, &message, &built) ||
            built != size)
            return ObjPtr();
        return doc;
    };

    std::vector<size_t> sizes;
    for (size_t size = 140; size <= 220; ++size)
        sizes.push_back(size);
    sizes.push_back(kStackSize - 1);
    sizes.push_back(kStackSize);
    for (size_t size : sizes) {
        SCOPED_TRACE(testing::Message() << "examiner to agent, " << size << " bytes");
        ObjPtr doc = padded_login(size);
        ASSERT_TRUE(doc);
        Answer answer = exa->call(VT_PTC_SUBJECT_LOGIN_REQ, doc.get());
        EXPECT_EQ(answer.opcode, VT_PTC_SUBJECT_LOGIN_RES);
        EXPECT_EQ(answer.error, 0u) << answer.error_text;
    }
    vt_rng_deit(&rng);

    for (uint64_t length : {uint64_t(524288), uint64_t(524287), uint64_t(524272), uint64_t(524273)}) {
        SCOPED_TRACE(testing::Message() << "agent to examiner, " << 48 + length << " bytes");
        const uint64_t offset = 1000;
        ReadAnswer answer = exa->read(1, offset, length);
        ASSERT_EQ(answer.error, 0u) << answer.error_text;
        EXPECT_EQ(answer.pieces, std::vector<size_t>{size_t(length)});
        EXPECT_TRUE(answer.data == bytes(big_content.begin() + offset,
                                         big_content.begin() + offset + length));
    }
    EXPECT_EQ(exa->channel->failed, 0);
}

} // namespace
