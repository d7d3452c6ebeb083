// Tests of the subject object: configuration, the target table behind a subject
// object, the buffer cache, and whole sessions on loopback against our subject
// agent and against a scripted subject that negotiates keys and then answers (or
// withholds) exactly what a test needs.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vt_examiner.h"
#include "vt_test_agent.h"
#include "vt_test_json.h"
#include "vt_test_util.h"
#include "vt_test_ws_peer.h"
#include "vt_web_key.h"

namespace {

using namespace std::chrono_literals;
using vt_test::Agent;
using vt_test::SyserrCapture;
using vt_test::TempDir;

// Generous bound for things that must happen, never a timing assertion.
constexpr auto kPatience = 60s;
constexpr unsigned kPatienceMs = 60000;

// ---- small owners ----

struct SubjectDeleter {
    void operator()(vt_subject *subject) const { vt_subject_deit(&subject); }
};
using SubjectPtr = std::unique_ptr<vt_subject, SubjectDeleter>;
struct BufferDeleter {
    void operator()(vt_buffer *buffer) const { vt_buffer_deit(&buffer); }
};
using BufferPtr = std::unique_ptr<vt_buffer, BufferDeleter>;
using ObjPtr = vt_test::JsonPtr;
using vt_test::parse_json;

BufferPtr new_buffer()
{
    vt_buffer *buffer = nullptr;
    EXPECT_EQ(vt_buffer_init(&buffer, 0), 0);
    return BufferPtr(buffer);
}

vt_string text(const std::string &s)
{
    return vt_string{const_cast<char *>(s.c_str()), s.size()};
}

std::string str(const vt_string &s)
{
    return s.text ? std::string(s.text, s.length) : std::string();
}

std::string encode(vt_json_obj *obj)
{
    char *raw = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_json_obj_encode_(obj, &raw, &length), 0);
    std::string result(raw, length - 1);
    std::free(raw);
    return result;
}

// The user-facing lines a subject object writes, from any thread.
class LogText {
public:
    LogText() { EXPECT_EQ(vt_syslog_init_cb(&log_, capture, this), 0); }
    ~LogText() { vt_syslog_deit(&log_); }
    vt_syslog *log() { return log_; }
    std::string text()
    {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static void capture(const char *text, size_t length, void *user, unsigned)
    {
        auto *self = static_cast<LogText *>(user);
        std::lock_guard lock(self->mutex_);
        self->text_.append(text, length);
    }
    vt_syslog *log_ = nullptr;
    std::mutex mutex_;
    std::string text_;
};

// Completed reads as the completion callback saw them; the read user data of every
// read points at one of these.
class Completions {
public:
    struct Entry {
        std::string data;
        uint32_t error;
    };
    static int cdb(const uint8_t *data, size_t length, void *user, uint32_t error)
    {
        auto *self = static_cast<Completions *>(user);
        std::lock_guard lock(self->mutex_);
        self->entries_.push_back({std::string(reinterpret_cast<const char *>(data), length), error});
        self->changed_.notify_all();
        return 0;
    }
    bool wait_for(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return entries_.size() >= count; });
    }
    std::vector<Entry> entries()
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

// Counts monitor callbacks.
struct MonitorCalls {
    std::atomic<int> count{0};
    std::mutex mutex;
    std::condition_variable changed;
    static void callback(void *user)
    {
        auto *self = static_cast<MonitorCalls *>(user);
        std::lock_guard lock(self->mutex);
        ++self->count;
        self->changed.notify_all();
    }
    bool wait_for(int calls)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return count >= calls; });
    }
};

struct SubjectOptions {
    bool auto_pilot = false;
    size_t piece_limit = 0; // 0: the default stack size
    unsigned timeout = kPatienceMs;
    vt_subject_notify_cb notifier = nullptr;
    void *notifier_user = nullptr;
};

SubjectPtr make_subject(vt_syslog *logger, const SubjectOptions &options = {})
{
    vt_subject_cfg *cfg = nullptr;
    EXPECT_EQ(vt_subject_cfg_init(&cfg, logger), 0);
    vt_subject_cfg_set_cdb(cfg, Completions::cdb);
    vt_subject_cfg_set_request_timeout(cfg, options.timeout);
    if (options.auto_pilot)
        vt_subject_cfg_set_auto(cfg);
    if (options.piece_limit)
        vt_subject_cfg_set_stack_size(cfg, options.piece_limit);
    if (options.notifier)
        vt_subject_cfg_set_notifier(cfg, options.notifier, options.notifier_user);
    vt_subject *subject = nullptr;
    EXPECT_EQ(vt_subject_init(&subject, cfg), 0);
    vt_subject_cfg_deit(&cfg);
    return SubjectPtr(subject);
}

int start(vt_subject *subject, const std::string &url, const std::string &user,
          const std::string &password)
{
    vt_string u = text(url), n = text(user), p = text(password);
    return vt_subject_start(subject, &u, &n, &p);
}

// ---- messages a subject sends ----

std::string status_message(uint8_t opcode, uint32_t error = 0, vt_json_obj *body = nullptr)
{
    BufferPtr buffer = new_buffer();
    uint8_t *message = nullptr;
    size_t size = 0;
    const int built = body ? vt_ptc_res_json(buffer.get(), body, opcode, error, &message, &size)
                           : vt_ptc_res_header(buffer.get(), opcode, error, &message, &size);
    EXPECT_EQ(built, 0);
    return std::string(reinterpret_cast<char *>(message), size);
}

// One read response piece: header fields in network order, then the data.
std::string read_piece(uint64_t length_field, uint32_t flags, const std::string &data,
                       uint32_t error = 0)
{
    vt_ptc_read_hdr header{};
    header.opcode = VT_PTC_TARGET_READ_RES;
    header.error = htobe32(error);
    header.length = htobe64(length_field);
    header.flags = htobe32(flags);
    return std::string(reinterpret_cast<const char *>(&header), sizeof header) + data;
}

// ---- peers ----

// A subject that completes key negotiation like any agent and then hands each
// decrypted request to a handler, sending back the messages it returns (with the
// request's tag). It serves `requests` protocol messages and then only listens.
class ScriptedSubject {
public:
    using Handler = std::function<std::vector<std::string>(const std::string &request)>;

    ScriptedSubject(size_t requests, Handler handler)
        : peer_(recording()), requests_(requests),
          handler_(std::move(handler))
    {
        EXPECT_EQ(vt_key_peer_init(&key_, vt_key_format::kKindRaw), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedSubject()
    {
        thread_.join();
        vt_key_peer_deit(&key_);
    }
    ScriptedSubject(const ScriptedSubject &) = delete;
    ScriptedSubject &operator=(const ScriptedSubject &) = delete;

    std::string url() const { return peer_.url(); }

private:
    static vt_test::WsPeer::Options recording()
    {
        vt_test::WsPeer::Options options;
        options.mode = vt_test::WsPeer::Mode::record;
        return options;
    }

    void send_payload(const std::string &payload) { peer_.send(vt_test::WsPeer::encode(2, payload)); }

    void run()
    {
        BufferPtr reply = new_buffer(), message = new_buffer(), sealed = new_buffer();
        for (size_t n = 1; n <= 3 + requests_ && peer_.wait_frames(n); ++n) {
            std::string payload = peer_.frames()[n - 1].payload;
            auto *bytes = reinterpret_cast<uint8_t *>(payload.data());
            if (payload.size() < 4)
                return;
            if (!vt_key_peer_ready(key_)) {
                reply->used = 0;
                if (vt_key_peer_answer(key_, bytes + 4, payload.size() - 4, reply.get()))
                    return;
                send_payload(payload.substr(0, 4) +
                             std::string(reinterpret_cast<char *>(reply->data), reply->used));
                continue;
            }
            uint32_t tag = 0;
            if (vt_key_frame_open(key_->aes, bytes, payload.size(), &tag, message.get(), 1 << 20))
                return;
            for (const std::string &answer :
                 handler_(std::string(reinterpret_cast<char *>(message->data), message->used))) {
                if (vt_key_frame_seal(key_->aes, key_->rng, tag,
                                      reinterpret_cast<const uint8_t *>(answer.data()), answer.size(),
                                      sealed.get()))
                    return;
                send_payload(std::string(reinterpret_cast<char *>(sealed->data), sealed->used));
            }
        }
    }

    vt_test::WsPeer peer_;
    vt_key_peer *key_ = nullptr;
    size_t requests_;
    Handler handler_;
    std::thread thread_;
};

// A port on loopback where nothing listens (bound once, then released).
std::string closed_port_url()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/sub";
}

// Bytes of the test targets: position-dependent, so a misplaced piece shows.
uint8_t pattern(uint64_t offset)
{
    return uint8_t(offset * 7 + (offset >> 9) * 13 + (offset >> 19));
}

std::string pattern_bytes(uint64_t offset, uint64_t length)
{
    std::string bytes(length, '\0');
    for (uint64_t i = 0; i < length; ++i)
        bytes[i] = char(pattern(offset + i));
    return bytes;
}

// ---- configuration ----

TEST(SubjectConfig, DefaultsAndStackSizeBehindTheHeader)
{
    LogText log;
    vt_subject_cfg *cfg = nullptr;
    ASSERT_EQ(vt_subject_cfg_init(&cfg, log.log()), 0);
    EXPECT_EQ(cfg->request_timeout, 120000u);
    EXPECT_EQ(cfg->stack_size, 524336u);
    EXPECT_EQ(cfg->flags, 0u);
    ASSERT_EQ(vt_subject_cfg_set_stack_size(cfg, 1048576), 0);
    EXPECT_EQ(cfg->stack_size, 1048624u);
    EXPECT_EQ(vt_subject_cfg_set_cdb(cfg, nullptr), 1);
    vt_subject_cfg_deit(&cfg);
    EXPECT_EQ(cfg, nullptr);
    EXPECT_EQ(vt_subject_cfg_init(&cfg, nullptr), 1);
}

// ---- the target table behind a subject object (no connection needed) ----

constexpr const char *kThreeTargets = R"({"targets": [
    {"name": "disk0", "id": 1, "type": 1, "block_size": 512, "block_count": "AAAAAAAAEAA="},
    {"name": "Disk0", "id": 2, "type": 2, "block_size": 4096, "block_count": "AAAAAAAAAAE="},
    {"name": "disk0s1", "id": 3, "type": 2, "block_size": 512, "block_count": "AAAAAQAAAAA="}
]})";

class TargetTable : public ::testing::Test {
protected:
    void SetUp() override { subject_ = make_subject(log_.log()); }

    // Runs a target list response through the subject's callback, as the
    // dispatcher does when the subject answers "target list".
    int list_response(const char *json)
    {
        ObjPtr body = parse_json(json);
        std::string message = status_message(VT_PTC_TARGET_LIST_RES, 0, body.get());
        vt_ptc_req response = {};
        EXPECT_EQ(vt_ptc_req_init(&response, reinterpret_cast<uint8_t *>(message.data()), message.size()), 0);
        const int result = vt_ptc_se_target_list_cb(subject_.get(), &response);
        vt_ptc_req_deit(&response);
        return result;
    }

    LogText log_;
    SubjectPtr subject_;
};

TEST_F(TargetTable, ListResponseFillsTableInOrderWithOwnedNames)
{
    ASSERT_EQ(list_response(kThreeTargets), 0);
    vt_db_target *targets = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_subject_target_list(subject_.get(), &targets, &count), 0);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(str(targets[0].name), "disk0");
    EXPECT_EQ(targets[0].block_count, 4096u);
    EXPECT_EQ(str(targets[1].name), "Disk0");
    EXPECT_EQ(targets[1].block_size, 4096u);
    EXPECT_EQ(targets[1].type, 2u);
    EXPECT_EQ(str(targets[2].name), "disk0s1");
    EXPECT_EQ(targets[2].id, 3u);
    EXPECT_EQ(targets[2].block_count, 0x100000000ull);
    // The names are copies: they outlive the table's rows and are freed with the list.
    EXPECT_EQ(targets[0].name.text[targets[0].name.length], '\0');
    EXPECT_EQ(vt_subject_target_free_list(&targets, count), 0);
    EXPECT_EQ(targets, nullptr);
}

TEST_F(TargetTable, EmptyTableListsNothing)
{
    vt_db_target *targets = nullptr;
    size_t count = 7;
    ASSERT_EQ(vt_subject_target_list(subject_.get(), &targets, &count), 0);
    EXPECT_EQ(targets, nullptr);
    EXPECT_EQ(count, 7u);
    uint32_t id = 0;
    const std::string name = "disk0";
    vt_string wanted = text(name);
    EXPECT_EQ(vt_subject_target_by_name(subject_.get(), &wanted, &id), 1);
}

struct ByNameCase {
    const char *name;
    int result;
    uint32_t id;
};

class TargetByName : public TargetTable, public ::testing::WithParamInterface<ByNameCase> {};

TEST_P(TargetByName, IsExactAndCaseSensitive)
{
    ASSERT_EQ(list_response(kThreeTargets), 0);
    const std::string name = GetParam().name;
    vt_string wanted = text(name);
    uint32_t id = 0;
    EXPECT_EQ(vt_subject_target_by_name(subject_.get(), &wanted, &id), GetParam().result) << name;
    if (GetParam().result == 0) {
        EXPECT_EQ(id, GetParam().id) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Names, TargetByName,
                         ::testing::Values(ByNameCase{"disk0", 0, 1}, ByNameCase{"Disk0", 0, 2},
                                           ByNameCase{"disk0s1", 0, 3}, ByNameCase{"DISK0", 1, 0},
                                           ByNameCase{"disk", 1, 0}, ByNameCase{"disk0s", 1, 0},
                                           ByNameCase{"disk0s10", 1, 0}, ByNameCase{"", 1, 0}));

TEST_F(TargetTable, ByIdCopiesTheTarget)
{
    ASSERT_EQ(list_response(kThreeTargets), 0);
    vt_db_target record = {};
    ASSERT_EQ(vt_subject_target_id(subject_.get(), 2, &record), 0);
    EXPECT_EQ(str(record.name), "Disk0");
    EXPECT_EQ(record.id, 2u);
    EXPECT_EQ(record.block_size, 4096u);
    EXPECT_EQ(record.block_count, 1u);
    vt_subject_target_free(&record);
    EXPECT_EQ(record.name.text, nullptr);
}

TEST_F(TargetTable, ByIdOfUnknownTargetSucceedsWithEmptyRecord)
{
    ASSERT_EQ(list_response(kThreeTargets), 0);
    vt_db_target record = {};
    EXPECT_EQ(vt_subject_target_id(subject_.get(), 9, &record), 0);
    EXPECT_EQ(record.name.text, nullptr);
    EXPECT_EQ(record.block_count, 0u);
}

TEST_F(TargetTable, SecondListingMakesIdsAmbiguousButNamesStillResolve)
{
    ASSERT_EQ(list_response(kThreeTargets), 0);
    ASSERT_EQ(list_response(kThreeTargets), 0);
    vt_db_target *targets = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_subject_target_list(subject_.get(), &targets, &count), 0);
    EXPECT_EQ(count, 6u);
    vt_subject_target_free_list(&targets, count);

    const std::string name = "Disk0";
    vt_string wanted = text(name);
    uint32_t id = 0;
    EXPECT_EQ(vt_subject_target_by_name(subject_.get(), &wanted, &id), 0);
    EXPECT_EQ(id, 2u);

    SyserrCapture capture;
    vt_db_target record = {};
    EXPECT_EQ(vt_subject_target_id(subject_.get(), 1, &record), 1);
    EXPECT_EQ(record.name.text, nullptr);
    EXPECT_NE(capture.text().find("failed to search for target by '1'."), std::string::npos)
        << capture.text();
}

TEST_F(TargetTable, MalformedEntryFailsTheListButKeepsEarlierRows)
{
    SyserrCapture capture;
    EXPECT_EQ(list_response(R"({"targets": [
        {"name": "disk0", "id": 1, "type": 1, "block_size": 512, "block_count": "AAAAAAAAEAA="},
        {"name": "disk1", "id": 2, "type": 1, "block_size": 512, "block_count": 4096}]})"), 1);
    EXPECT_NE(capture.text().find("failed to load target list."), std::string::npos) << capture.text();
    vt_db_target *targets = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_subject_target_list(subject_.get(), &targets, &count), 0);
    EXPECT_EQ(count, 1u);
    vt_subject_target_free_list(&targets, count);
}

TEST_F(TargetTable, JsonFormsListEveryTarget)
{
    ASSERT_EQ(list_response(R"({"targets": [
        {"name": "disk0", "id": 1, "type": 1, "block_size": 512, "block_count": "AAAAAAAAEAA="}]})"),
              0);
    vt_json_obj *document = nullptr;
    ASSERT_EQ(vt_subject_target_json(subject_.get(), &document), 0);
    EXPECT_EQ(encode(document), "{\n    \"targets\": [\n        {\n"
                                "            \"block_count\": \"AAAAAAAAEAA=\",\n"
                                "            \"block_size\": 512,\n            \"id\": 1,\n"
                                "            \"name\": \"disk0\",\n            \"type\": 1\n"
                                "        }\n    ]\n}");
    vt_json_obj_deit(&document);
    ASSERT_EQ(vt_subject_target_json_readable(subject_.get(), &document), 0);
    EXPECT_EQ(encode(document), "{\n    \"targets\": [\n        {\n"
                                "            \"block_count\": \"4096\",\n"
                                "            \"block_size\": 512,\n            \"id\": 1,\n"
                                "            \"name\": \"disk0\",\n            \"type\": 1\n"
                                "        }\n    ]\n}");
    // An occupied slot is refused and left alone.
    vt_json_obj *kept = document;
    SyserrCapture capture;
    EXPECT_EQ(vt_subject_target_json(subject_.get(), &document), 1);
    EXPECT_EQ(document, kept);
    EXPECT_NE(capture.text().find("invalid parameter."), std::string::npos);
    vt_json_obj_deit(&document);
}

TEST_F(TargetTable, EmptyTableGivesEmptyJsonList)
{
    vt_json_obj *document = nullptr;
    ASSERT_EQ(vt_subject_target_json(subject_.get(), &document), 0);
    EXPECT_EQ(encode(document), "{\n    \"targets\": []\n}");
    vt_json_obj_deit(&document);
}

TEST_F(TargetTable, AutoReadNeedsAutoPilot)
{
    SyserrCapture capture;
    EXPECT_EQ(vt_subject_target_read_auto(subject_.get(), 1, 0, 512, nullptr), 1);
    EXPECT_NE(capture.text().find("auto pilot must be set by calling vt_examiner_cfg_set_auto_pilot."),
              std::string::npos)
        << capture.text();
}

// ---- the buffer cache ----

TEST(BufferCache, KeepsAtMostCapacityAndReusesTheLastReturned)
{
    vt_cache *cache = nullptr;
    ASSERT_EQ(vt_cache_init(&cache, 8), 0);
    std::vector<vt_buffer *> taken(10, nullptr);
    for (vt_buffer *&buffer : taken) {
        ASSERT_EQ(vt_cache_alloc(cache, &buffer), 0);
        vt_buffer_write(buffer, "abc", 3);
    }
    for (vt_buffer *&buffer : taken) {
        ASSERT_EQ(vt_cache_free(cache, &buffer), 0);
        EXPECT_EQ(buffer, nullptr);
    }
    EXPECT_EQ(cache->idle, 8u);
    // The buffer returned last comes back first, emptied but with its area.
    vt_buffer *again = nullptr;
    ASSERT_EQ(vt_cache_alloc(cache, &again), 0);
    EXPECT_EQ(cache->idle, 7u);
    EXPECT_EQ(again->used, 0u);
    EXPECT_GE(again->capacity, 3u);
    vt_buffer *second = nullptr;
    ASSERT_EQ(vt_cache_alloc(cache, &second), 0);
    vt_buffer *const returned = second;
    ASSERT_EQ(vt_cache_free(cache, &second), 0);
    vt_buffer *third = nullptr;
    ASSERT_EQ(vt_cache_alloc(cache, &third), 0);
    EXPECT_EQ(third, returned);
    vt_cache_free(cache, &third);
    vt_cache_free(cache, &again);
    EXPECT_EQ(vt_cache_deit(&cache), 0);
}

// ---- sessions with our subject agent ----

constexpr uint64_t kDiskSize = 3 * 1024 * 1024;

class SubjectSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        vt_test::write_file(dir_.file("disk0.img"), pattern_bytes(0, kDiskSize));
        vt_test::write_file(dir_.file("small.img"), pattern_bytes(0, 4096));
        agent_ = std::make_unique<Agent>(
            dir_, vt_test::AgentTargets{{"disk0", dir_.file("disk0.img")},
                                        {"Disk0", dir_.file("small.img")}});
        ASSERT_TRUE(agent_->running()) << vt_test::read_file(dir_.file("agent.log"));
    }

    // A started subject object, with the target list fetched and disk0 logged in.
    SubjectPtr connected(const SubjectOptions &options = {})
    {
        SubjectPtr subject = make_subject(log_.log(), options);
        EXPECT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, vt_test::agent_password), 0) << log_.text();
        EXPECT_EQ(vt_ptc_es_target_list_req(subject.get()), 0);
        const std::string name = "disk0";
        vt_string wanted = text(name);
        EXPECT_EQ(vt_subject_target_by_name(subject.get(), &wanted, &disk_), 0);
        EXPECT_EQ(vt_subject_target_login(subject.get(), disk_), 0);
        return subject;
    }

    // One read into a buffer of the test's own, waited for; the task is freed.
    void read_and_wait(vt_subject *subject, uint64_t offset, uint64_t length)
    {
        BufferPtr buffer = new_buffer();
        vt_task *task = nullptr;
        ASSERT_EQ(vt_subject_target_read(subject, disk_, offset, length, buffer.get(), &task, &done_), 0);
        EXPECT_EQ(vt_cond_wait_timed(vt_task_cond(task), kPatienceMs), 0);
        EXPECT_EQ(vt_web_task_free(subject->web, &task), 0);
    }

    TempDir dir_;
    std::unique_ptr<Agent> agent_;
    LogText log_;
    Completions done_;
    uint32_t disk_ = 0;
};

TEST_F(SubjectSession, StartReturns2WhenNothingListensAndStartsLater)
{
    SubjectPtr subject = make_subject(log_.log());
    const std::string url = closed_port_url();
    {
        SyserrCapture capture;
        EXPECT_EQ(start(subject.get(), url, vt_test::agent_user, vt_test::agent_password), 2);
        EXPECT_NE(capture.text().find("failed to connect to 127.0.0.1:"), std::string::npos)
            << capture.text();
    }
    EXPECT_NE(log_.text().find("Failed to connect to subject on " + url + ".\n"), std::string::npos)
        << log_.text();
    EXPECT_EQ(subject->web, nullptr);
    EXPECT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, vt_test::agent_password), 0);
    EXPECT_EQ(vt_subject_stop(subject.get()), 0);
}

TEST_F(SubjectSession, StartReturns3OnWrongPasswordAndStartsLater)
{
    SubjectPtr subject = make_subject(log_.log());
    {
        SyserrCapture capture;
        EXPECT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, "wrong"), 3);
        EXPECT_NE(capture.text().find("subject login request failed on "), std::string::npos)
            << capture.text();
    }
    EXPECT_NE(log_.text().find("Failed to log into subject on 127.0.0.1.\n"), std::string::npos)
        << log_.text();
    EXPECT_EQ(subject->web, nullptr);
    EXPECT_EQ(subject->credentials, nullptr);
    EXPECT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, vt_test::agent_password), 0);
}

TEST_F(SubjectSession, TargetListFillsTheTable)
{
    SubjectPtr subject = make_subject(log_.log());
    ASSERT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, vt_test::agent_password), 0);
    ASSERT_EQ(vt_ptc_es_target_list_req(subject.get()), 0);
    vt_db_target *targets = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_subject_target_list(subject.get(), &targets, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(str(targets[0].name), "disk0");
    EXPECT_EQ(targets[0].block_size * targets[0].block_count, kDiskSize);
    EXPECT_EQ(str(targets[1].name), "Disk0");
    EXPECT_EQ(targets[1].block_size * targets[1].block_count, 4096u);
    vt_subject_target_free_list(&targets, count);

    const std::string upper = "DISK0", exact = "Disk0";
    vt_string wrong_case = text(upper), right_case = text(exact);
    uint32_t id = 0;
    EXPECT_EQ(vt_subject_target_by_name(subject.get(), &wrong_case, &id), 1);
    ASSERT_EQ(vt_subject_target_by_name(subject.get(), &right_case, &id), 0);
    vt_db_target record = {};
    ASSERT_EQ(vt_subject_target_id(subject.get(), id, &record), 0);
    EXPECT_EQ(str(record.name), "Disk0");
    vt_subject_target_free(&record);
}

TEST_F(SubjectSession, SubjectInformationIsDecoded)
{
    SubjectPtr subject = make_subject(log_.log());
    ASSERT_EQ(start(subject.get(), agent_->url(), vt_test::agent_user, vt_test::agent_password), 0);
    vt_subject_info *info = nullptr;
    ASSERT_EQ(vt_ptc_es_subject_info_req(subject.get(), &info), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_GT(info->record.hostname.length, 0u);
    EXPECT_EQ(str(info->record.path).empty(), false);
    EXPECT_NE(agent_->url().find(":" + str(info->record.port) + "/"), std::string::npos);
    vt_subject_info_deit(&info);
    EXPECT_EQ(info, nullptr);
}

TEST_F(SubjectSession, ReadOfOneMebibyteInTwoPiecesCompletesOnce)
{
    SubjectPtr subject = connected();
    // The default piece limit is 512 KiB, so the subject answers in two pieces.
    read_and_wait(subject.get(), 1024 * 1024, 1024 * 1024);
    const auto entries = done_.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].error, 0u);
    EXPECT_EQ(entries[0].data.size(), 1024u * 1024u);
    EXPECT_TRUE(entries[0].data == pattern_bytes(1024 * 1024, 1024 * 1024));
}

TEST_F(SubjectSession, SmallerPieceLimitStillCompletesOnceInOrder)
{
    SubjectOptions options;
    options.piece_limit = 65536;
    SubjectPtr subject = connected(options);
    // Sixteen pieces of 64 KiB, appended in order.
    read_and_wait(subject.get(), 4096, 1024 * 1024);
    const auto entries = done_.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].data == pattern_bytes(4096, 1024 * 1024));
}

TEST_F(SubjectSession, ReadNearTheEndIsClipped)
{
    SubjectPtr subject = connected();
    read_and_wait(subject.get(), kDiskSize - 1000, 4096);
    const auto entries = done_.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].error, 0u);
    EXPECT_TRUE(entries[0].data == pattern_bytes(kDiskSize - 1000, 1000));
}

TEST_F(SubjectSession, ReadBeyondTheEndCompletesWith0x300AndKeepsTheConnection)
{
    SubjectPtr subject = connected();
    read_and_wait(subject.get(), kDiskSize, 512);
    auto entries = done_.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].error, 0x300u);
    EXPECT_TRUE(entries[0].data.empty());
    EXPECT_NE(log_.text().find("Error code 300 on target read response.\n"), std::string::npos)
        << log_.text();
    EXPECT_EQ(subject->web->failed.load(), 0);
    // The same connection serves the next read.
    read_and_wait(subject.get(), 0, 512);
    entries = done_.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].error, 0u);
    EXPECT_TRUE(entries[1].data == pattern_bytes(0, 512));
}

TEST_F(SubjectSession, AutoPilotKeepsAtMostEightIdleBuffersAfterTenReads)
{
    SubjectOptions options;
    options.auto_pilot = true;
    SubjectPtr subject = connected(options);
    // All ten in flight at once, so more buffers are in use than the cache keeps.
    for (uint64_t i = 0; i < 10; ++i)
        ASSERT_EQ(vt_subject_target_read_auto(subject.get(), disk_, i * 65536, 65536, &done_), 0);
    ASSERT_TRUE(done_.wait_for(10));
    // The completion recycles under the subject lock: once we hold it, all are back.
    ASSERT_EQ(vt_lock_acquire(subject->lock), 0);
    const uint32_t idle = subject->cache->idle;
    vt_lock_release(subject->lock);
    EXPECT_LE(idle, 8u);
    EXPECT_GE(idle, 1u);
    const auto entries = done_.entries();
    ASSERT_EQ(entries.size(), 10u);
    // Completions arrive in the subject's answer order; each is one whole read.
    std::vector<bool> seen(10, false);
    for (const auto &entry : entries) {
        ASSERT_EQ(entry.data.size(), 65536u);
        for (uint64_t i = 0; i < 10; ++i)
            if (entry.data == pattern_bytes(i * 65536, 65536))
                seen[i] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 10);
}

TEST_F(SubjectSession, AutoPilotRecyclesAfterAnErrorAnswer)
{
    SubjectOptions options;
    options.auto_pilot = true;
    SubjectPtr subject = connected(options);
    ASSERT_EQ(vt_subject_target_read_auto(subject.get(), disk_, kDiskSize + 4096, 512, &done_), 0);
    ASSERT_TRUE(done_.wait_for(1));
    ASSERT_EQ(vt_lock_acquire(subject->lock), 0);
    const uint32_t idle = subject->cache->idle;
    vt_lock_release(subject->lock);
    EXPECT_EQ(idle, 1u);
    EXPECT_EQ(done_.entries()[0].error, 0x300u);
}

TEST_F(SubjectSession, StoppingTheMonitorCallsItsCallbackOnce)
{
    SubjectPtr subject = connected();
    MonitorCalls calls;
    ASSERT_EQ(vt_subject_start_monitor(subject.get(), MonitorCalls::callback, &calls), 0);
    EXPECT_EQ(vt_subject_stop_monitor(subject.get()), 0);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(subject->monitor, nullptr);
    // A second stop finds no monitor and calls nothing.
    EXPECT_EQ(vt_subject_stop_monitor(subject.get()), 0);
    EXPECT_EQ(calls.count, 1);
}

TEST_F(SubjectSession, MonitorFiresOnceWhenTheSubjectGoesAway)
{
    SubjectPtr subject = connected();
    MonitorCalls calls;
    ASSERT_EQ(vt_subject_start_monitor(subject.get(), MonitorCalls::callback, &calls), 0);
    agent_->kill_now();
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(vt_subject_stop_monitor(subject.get()), 0);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(subject->web->failed.load(), 1);
}

TEST_F(SubjectSession, MonitorNeedsAStartedSubject)
{
    SubjectPtr subject = make_subject(log_.log());
    MonitorCalls calls;
    SyserrCapture capture;
    EXPECT_EQ(vt_subject_start_monitor(subject.get(), MonitorCalls::callback, &calls), 1);
    EXPECT_NE(capture.text().find("invalid web object."), std::string::npos);
}

// ---- sessions with a scripted subject ----

// A peer's handler: answers the subject login, and every other request with answers.
ScriptedSubject::Handler login_then(std::vector<std::string> answers)
{
    return [answers](const std::string &request) {
        if (uint8_t(request[0]) == VT_PTC_SUBJECT_LOGIN_REQ)
            return std::vector<std::string>{status_message(VT_PTC_SUBJECT_LOGIN_RES)};
        return answers;
    };
}

class ScriptedSession : public ::testing::Test {
protected:
    // Logs subject in to peer, reads 1000 bytes of target 1 into buffer and returns
    // once the peer's answer to the read failed the channel.
    void read_failing(vt_subject *subject, const ScriptedSubject &peer, vt_buffer *buffer)
    {
        ASSERT_EQ(start(subject, peer.url(), "examiner", "pw"), 0);
        MonitorCalls calls;
        ASSERT_EQ(vt_subject_start_monitor(subject, MonitorCalls::callback, &calls), 0);
        vt_task *task = nullptr;
        ASSERT_EQ(vt_subject_target_read(subject, 1, 0, 1000, buffer, &task, &done_), 0);
        // The dispatcher refuses the piece, which fails the channel.
        ASSERT_TRUE(calls.wait_for(1));
        vt_subject_stop_monitor(subject);
        vt_web_task_free(subject->web, &task);
    }

    LogText log_;
    Completions done_;
};

TEST_F(ScriptedSession, UnansweredStatusRequestTimesOut)
{
    // The login is answered; the target list request after it never is.
    ScriptedSubject peer(2, login_then({}));
    SubjectPtr subject = make_subject(log_.log());
    ASSERT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 0);
    // Short only now: the login must not give up before the peer answers it.
    subject->request_timeout = 1000;
    MonitorCalls calls;
    ASSERT_EQ(vt_subject_start_monitor(subject.get(), MonitorCalls::callback, &calls), 0);
    SyserrCapture capture;
    EXPECT_EQ(vt_ptc_es_target_list_req(subject.get()), 1);
    EXPECT_NE(capture.text().find("timeout on target list response."), std::string::npos)
        << capture.text();
    // A failed status request tells the monitor.
    EXPECT_TRUE(calls.wait_for(1));
    vt_subject_stop_monitor(subject.get());
}

TEST_F(ScriptedSession, UnansweredLoginReturns3)
{
    ScriptedSubject peer(1, [](const std::string &) { return std::vector<std::string>{}; });
    SubjectOptions options;
    options.timeout = 1000;
    SubjectPtr subject = make_subject(log_.log(), options);
    SyserrCapture capture;
    EXPECT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 3);
    EXPECT_NE(capture.text().find("timeout on subject login response."), std::string::npos)
        << capture.text();
    EXPECT_NE(log_.text().find("Failed to log into subject on 127.0.0.1.\n"), std::string::npos);
}

TEST_F(ScriptedSession, TolerantCodeCountsOnlyForTargetLogin)
{
    ObjPtr error = parse_json(R"({"error": "already logged in"})");
    const std::string login_again = status_message(VT_PTC_TARGET_LOGIN_RES, 0xE0, error.get());
    const std::string logout_refused = status_message(VT_PTC_TARGET_LOGOUT_RES, 0xE0, error.get());
    ScriptedSubject peer(3, [&](const std::string &request) {
        switch (uint8_t(request[0])) {
        case VT_PTC_SUBJECT_LOGIN_REQ:
            return std::vector<std::string>{status_message(VT_PTC_SUBJECT_LOGIN_RES)};
        case VT_PTC_TARGET_LOGIN_REQ:
            return std::vector<std::string>{login_again};
        default:
            return std::vector<std::string>{logout_refused};
        }
    });
    SubjectPtr subject = make_subject(log_.log());
    ASSERT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 0);
    EXPECT_EQ(vt_subject_target_login(subject.get(), 4), 0);
    SyserrCapture capture;
    EXPECT_EQ(vt_subject_target_logout(subject.get(), 4), 1);
    EXPECT_NE(capture.text().find("target logout request failed on e0; already logged in."),
              std::string::npos)
        << capture.text();
}

TEST_F(ScriptedSession, ReadPieceWhoseLengthDisagreesIsDropped)
{
    // 1000 data bytes behind a header that claims 999: nothing may be appended.
    const std::string bad_piece = read_piece(999, 1, std::string(1000, 'x'));
    ScriptedSubject peer(2, login_then({bad_piece}));
    SubjectPtr subject = make_subject(log_.log());
    SyserrCapture capture;
    BufferPtr buffer = new_buffer();
    ASSERT_NO_FATAL_FAILURE(read_failing(subject.get(), peer, buffer.get()));
    EXPECT_NE(capture.text().find("mismatch in length on target read response."), std::string::npos)
        << capture.text();
    EXPECT_EQ(buffer->used, 0u);
    EXPECT_TRUE(done_.entries().empty());
    EXPECT_EQ(subject->web->failed.load(), 1);
}

TEST_F(ScriptedSession, ReadPieceShorterThanItsHeaderFailsTheChannel)
{
    const std::string short_piece = read_piece(0, 1, "").substr(0, 20);
    ScriptedSubject peer(2, login_then({short_piece}));
    SubjectPtr subject = make_subject(log_.log());
    SyserrCapture capture;
    BufferPtr buffer = new_buffer();
    ASSERT_NO_FATAL_FAILURE(read_failing(subject.get(), peer, buffer.get()));
    EXPECT_NE(capture.text().find("target read response of 20 bytes is shorter than its header."),
              std::string::npos)
        << capture.text();
    EXPECT_TRUE(done_.entries().empty());
}

TEST_F(ScriptedSession, RefusedSubjectInformationLeavesTheRequesterToTimeOut)
{
    ObjPtr error = parse_json(R"({"error": "not now"})");
    const std::string refused = status_message(VT_PTC_SUBJECT_INFO_RES, 5, error.get());
    ScriptedSubject peer(2, login_then({refused}));
    SubjectPtr subject = make_subject(log_.log());
    ASSERT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 0);
    // Short only now: the login must not give up before the peer answers it.
    subject->request_timeout = 1000;
    SyserrCapture capture;
    vt_subject_info *info = nullptr;
    EXPECT_EQ(vt_ptc_es_subject_info_req(subject.get(), &info), 1);
    EXPECT_EQ(info, nullptr);
    EXPECT_NE(capture.text().find("failed to load subject information object."), std::string::npos)
        << capture.text();
    EXPECT_NE(capture.text().find("timeout on subject information request."), std::string::npos)
        << capture.text();
}

struct Notified {
    std::mutex mutex;
    std::vector<std::pair<std::string, uint32_t>> messages;
    static void callback(const char *text, size_t length, void *user, uint32_t tag)
    {
        auto *self = static_cast<Notified *>(user);
        std::lock_guard lock(self->mutex);
        self->messages.emplace_back(std::string(text, length), tag);
    }
};

TEST_F(ScriptedSession, NotificationStopsAtTheFirstMalformedMessage)
{
    ObjPtr body = parse_json(R"({"messages": [{"msg": "disk attached", "tag": 7}, {"msg": "no tag"}]})");
    const std::string notification = status_message(VT_PTC_NOTIFY, 0, body.get());
    ScriptedSubject peer(1, [&](const std::string &) {
        // The notification goes out before the login answer, on the same tag.
        return std::vector<std::string>{notification, status_message(VT_PTC_SUBJECT_LOGIN_RES)};
    });
    Notified notified;
    SubjectOptions options;
    options.notifier = Notified::callback;
    options.notifier_user = &notified;
    options.timeout = 1000;
    SubjectPtr subject = make_subject(log_.log(), options);
    SyserrCapture capture;
    // The malformed element is a dispatcher failure: the channel stops reading, so
    // the login answer behind it never arrives.
    EXPECT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 3);
    EXPECT_NE(capture.text().find("malform notification message."), std::string::npos) << capture.text();
    std::lock_guard lock(notified.mutex);
    ASSERT_EQ(notified.messages.size(), 1u);
    EXPECT_EQ(notified.messages[0].first, "disk attached");
    EXPECT_EQ(notified.messages[0].second, 7u);
}

TEST_F(ScriptedSession, UnroutedOpcodeIsRefused)
{
    ScriptedSubject peer(1, [](const std::string &) {
        return std::vector<std::string>{status_message(VT_PTC_TARGET_LIST_REQ)};
    });
    SubjectOptions options;
    options.timeout = 1000;
    SubjectPtr subject = make_subject(log_.log(), options);
    SyserrCapture capture;
    EXPECT_EQ(start(subject.get(), peer.url(), "examiner", "pw"), 3);
    EXPECT_NE(capture.text().find("detected invalid opcode 9."), std::string::npos) << capture.text();
}

} // namespace
