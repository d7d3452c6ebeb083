// Tests of the channel in clear framing against a scripted loopback peer: tags and
// tasks, responses reaching the waiting task, framing violations failing the channel
// cleanly, concurrent senders, freeing a task during its dispatch, the negotiation
// plug-in point and the cycler; plus the handler stacks and settings it is built on.
#include <atomic>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vt_test_util.h"
#include "vt_test_ws_peer.h"
#include "vt_web.h"

namespace {

using vt_test::WsPeer;
constexpr unsigned wait_ms = 30000;

// The dispatcher's view: responses with and without a task, and a hook that can hold
// a dispatch open.
struct Session {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> untasked;
    std::function<void()> during_dispatch;
};

int dispatcher(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    void *user = nullptr;
    vt_web_user_data_(channel, &user);
    auto *session = static_cast<Session *>(user);
    if (session->during_dispatch)
        session->during_dispatch();
    vt_task *task = nullptr;
    if (vt_web_task(channel, &task) == 0) {
        if (length)
            vt_task_write(task, data, length);
        vt_cond_signal(vt_task_cond(task));
    } else {
        std::lock_guard lock(session->mutex);
        session->untasked.emplace_back(reinterpret_cast<char *>(data), length);
        session->changed.notify_all();
    }
    return vt_handle_done;
}

struct ChannelTest : ::testing::Test {
    vt_cfg *cfg = nullptr;
    vt_web *channel = nullptr;
    Session session;

    void SetUp() override
    {
        ASSERT_EQ(vt_cfg_init(&cfg), 0);
        ASSERT_EQ(vt_cfg_set_caller(cfg, dispatcher, 4096), 0);
    }
    void TearDown() override
    {
        vt_web_deit(&channel);
        vt_cfg_deit(&cfg);
    }
    int open(const WsPeer &peer, const vt_web_keying *keying = nullptr)
    {
        return vt_web_init(&channel, vt_web_type_client, peer.url().c_str(), cfg, &session, keying);
    }
    int send(const std::string &message, vt_task **task = nullptr, vt_buffer *buffer = nullptr)
    {
        return vt_web_send_base(channel, message.data(), message.size(), task, buffer, 0, nullptr);
    }
    static std::string text(vt_buffer *buffer)
    {
        return std::string(reinterpret_cast<char *>(buffer->data), buffer->used);
    }
};

WsPeer::Options recording()
{
    WsPeer::Options options;
    options.mode = WsPeer::Mode::record;
    return options;
}

TEST_F(ChannelTest, ResponseReachesTheTaskUnderItsTag)
{
    WsPeer peer;
    ASSERT_EQ(open(peer), 0);
    vt_buffer *response = nullptr;
    ASSERT_EQ(vt_buffer_init(&response, 0), 0);
    vt_task *task = nullptr;
    ASSERT_EQ(send("hello subject", &task, response), 0);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->tag, 2u) << "the first frame of a channel has tag 2";
    ASSERT_EQ(vt_cond_wait_timed(vt_task_cond(task), wait_ms), 0);
    EXPECT_EQ(text(response), "hello subject");
    EXPECT_EQ(vt_web_task_free(channel, &task), 0);
    EXPECT_EQ(task, nullptr);
    vt_buffer_deit(&response);
}

TEST_F(ChannelTest, EveryFrameTakesATagAndCarriesTheMessageUnchanged)
{
    WsPeer peer(recording());
    ASSERT_EQ(open(peer), 0);
    const std::string message(33, 'm');
    ASSERT_EQ(send(message), 0);
    vt_task *task = nullptr;
    ASSERT_EQ(send(message, &task), 0);
    channel->state->tag = UINT32_MAX - 1;
    ASSERT_EQ(send("a"), 0);
    ASSERT_EQ(send("b"), 0);
    ASSERT_TRUE(peer.wait_frames(4));
    const auto frames = peer.frames();
    EXPECT_EQ(frames[0].payload, WsPeer::be32(2) + message) << "37 bytes: tag, then the message";
    EXPECT_EQ(frames[1].payload, WsPeer::be32(3) + message);
    EXPECT_EQ(frames[2].payload, WsPeer::be32(UINT32_MAX) + "a");
    EXPECT_EQ(frames[3].payload, WsPeer::be32(1) + "b") << "tag 0 is never sent";
    EXPECT_EQ(vt_web_task_free(channel, &task), 0);
}

TEST_F(ChannelTest, ResponseWithoutATaskReachesTheDispatcherWithNoCurrentTask)
{
    WsPeer peer(recording());
    ASSERT_EQ(open(peer), 0);
    vt_test::SyserrCapture errors;
    peer.send(WsPeer::encode(2, WsPeer::be32(99) + "orphan"));
    std::unique_lock lock(session.mutex);
    ASSERT_TRUE(session.changed.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return !session.untasked.empty(); }));
    EXPECT_EQ(session.untasked[0], "orphan");
    EXPECT_NE(errors.text().find("failed to get task node"), std::string::npos);
    EXPECT_EQ(channel->failed, 0);
}

TEST_F(ChannelTest, PeerViolationsFailTheChannelCleanly)
{
    struct Case {
        const char *name;
        std::string bytes;
        const char *message;
    };
    const uint64_t cap = vt_web_frame_max(4096);
    std::string over_cap = "\x82\x7f";
    for (int shift = 56; shift >= 0; shift -= 8)
        over_cap += char((cap + 1) >> shift);
    const Case cases[] = {
        {"shorter than the tag", WsPeer::encode(2, "abc"), "failed to read task tag from a frame of 3 bytes"},
        {"empty frame", WsPeer::encode(2, ""), "failed to read task tag from a frame of 0 bytes"},
        {"above the channel's cap", over_cap, "invalid websocket length"},
        {"close frame", WsPeer::encode(8, ""), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WsPeer peer(recording());
        ASSERT_EQ(open(peer), 0);
        vt_test::SyserrCapture errors;
        vt_task *task = nullptr;
        ASSERT_EQ(send("request", &task), 0);
        peer.send(c.bytes);
        ASSERT_EQ(vt_cond_wait_timed(channel->event, wait_ms), 0);
        EXPECT_EQ(channel->failed, 1);
        EXPECT_NE(errors.text().find(c.message), std::string::npos) << errors.text();
        EXPECT_EQ(vt_web_task_free(channel, &task), 0);
        EXPECT_EQ(vt_web_deit(&channel), 0);
    }
}

TEST_F(ChannelTest, PeerLeavingSignalsTheChannel)
{
    WsPeer peer(recording());
    ASSERT_EQ(open(peer), 0);
    peer.close_connection();
    ASSERT_EQ(vt_cond_wait_timed(channel->event, wait_ms), 0);
    EXPECT_EQ(channel->failed, 1);
}

TEST_F(ChannelTest, ConcurrentSendersKeepTagsInOrderAndFramesWhole)
{
    WsPeer peer(recording());
    ASSERT_EQ(open(peer), 0);
    constexpr int threads = 4, per_thread = 60;
    auto message = [](int sender, int sequence) {
        std::string text = std::to_string(sender) + ":" + std::to_string(sequence) + ":";
        return text + std::string(size_t(sequence * 53 % 3000), char('a' + sender));
    };
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int sender = 0; sender < threads; ++sender)
        senders.emplace_back([&, sender] {
            for (int sequence = 0; sequence < per_thread; ++sequence)
                failures += send(message(sender, sequence)) != 0;
        });
    for (auto &thread : senders)
        thread.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(peer.wait_frames(threads * per_thread));
    const auto frames = peer.frames();
    std::vector<int> next(threads, 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        const std::string &payload = frames[i].payload;
        ASSERT_GE(payload.size(), 4u);
        EXPECT_EQ(payload.substr(0, 4), WsPeer::be32(uint32_t(i + 2)));
        const int sender = payload[4] - '0';
        ASSERT_TRUE(sender >= 0 && sender < threads);
        EXPECT_EQ(payload.substr(4), message(sender, next[sender]++));
    }
}

TEST_F(ChannelTest, FreeingATaskWaitsForItsDispatch)
{
    WsPeer peer;
    ASSERT_EQ(open(peer), 0);
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    std::atomic<int> order{0}, dispatch_done{0}, free_done{0};
    std::atomic<bool> first{true};
    session.during_dispatch = [&] {
        if (!first.exchange(false))
            return;
        entered.set_value();
        released.wait();
        dispatch_done = ++order;
    };
    vt_task *task = nullptr;
    ASSERT_EQ(send("slow", &task), 0);
    entered.get_future().wait();
    std::thread freer([&] {
        EXPECT_EQ(vt_web_task_free(channel, &task), 0);
        free_done = ++order;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(free_done, 0) << "the task must not be freed while it is dispatched";
    release.set_value();
    freer.join();
    EXPECT_EQ(dispatch_done, 1);
    EXPECT_EQ(free_done, 2);
    EXPECT_EQ(task, nullptr);
}

TEST_F(ChannelTest, DestroyingTheChannelWakesWaitingTasks)
{
    WsPeer peer(recording());
    ASSERT_EQ(open(peer), 0);
    vt_task *task = nullptr;
    ASSERT_EQ(send("never answered", &task), 0);
    ASSERT_EQ(vt_web_deit(&channel), 0);
    EXPECT_EQ(vt_cond_wait_timed(vt_task_cond(task), 0), 0);
    vt_task_deit(&task);
}

TEST_F(ChannelTest, InvalidTypeAndRefusedConnection)
{
    WsPeer peer;
    vt_test::SyserrCapture errors;
    EXPECT_EQ(vt_web_init(&channel, 3, peer.url().c_str(), cfg, nullptr, nullptr), 1);
    EXPECT_NE(errors.text().find("3 is invalid websocket type"), std::string::npos);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(vt_web_init(&channel, 1, "127.0.0.1:1/sub", cfg, nullptr, nullptr), 1);
    EXPECT_NE(errors.text().find("failed to connect to 127.0.0.1:1"), std::string::npos);
    EXPECT_EQ(channel, nullptr);
}

// A minimal negotiation: the first message goes out, the peer's answer completes it.
int test_key_start(vt_web *channel)
{
    return vt_web_send_base(channel, "key?", 4, nullptr, nullptr, 0, nullptr);
}

int test_key_handler(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    if (std::string(reinterpret_cast<char *>(data), length) != "key?")
        return vt_handle_exception;
    if (vt_core_rem(channel->state->recv, "test_key"))
        return vt_handle_exception;
    vt_cond_signal(channel->event);
    return vt_handle_done;
}

const vt_web_keying test_keying{test_key_handler, "test_key", test_key_start};

TEST_F(ChannelTest, KeyingRunsBeforeTheChannelIsHandedOut)
{
    WsPeer peer;
    ASSERT_EQ(open(peer, &test_keying), 0);
    EXPECT_EQ(channel->failed, 0);
    vt_buffer *response = nullptr;
    ASSERT_EQ(vt_buffer_init(&response, 0), 0);
    vt_task *task = nullptr;
    ASSERT_EQ(send("after keying", &task, response), 0);
    EXPECT_EQ(task->tag, 3u);
    ASSERT_EQ(vt_cond_wait_timed(vt_task_cond(task), wait_ms), 0);
    EXPECT_EQ(text(response), "after keying");
    vt_web_task_free(channel, &task);
    vt_buffer_deit(&response);
}

TEST_F(ChannelTest, PeerClosingDuringKeyingFailsCreation)
{
    WsPeer::Options options = recording();
    options.close_after_frames = 1;
    WsPeer peer(options);
    vt_test::SyserrCapture errors;
    EXPECT_EQ(open(peer, &test_keying), 1);
    EXPECT_EQ(channel, nullptr);
}

int count_cycles(void *user)
{
    auto *calls = static_cast<std::promise<vt_web *> *>(user);
    calls->set_value(nullptr);
    return 1; // one call is enough: end the cycler
}

TEST(Cycler, CallsBackUntilTheCallbackStops)
{
    std::promise<vt_web *> called;
    vt_cycler *cycler = nullptr;
    ASSERT_EQ(vt_cycler_init(&cycler, &called, count_cycles, 1000), 0);
    EXPECT_EQ(called.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(vt_cycler_deit(&cycler), 0);
    EXPECT_EQ(cycler, nullptr);
}

TEST(Cycler, StopsBeforeTheFirstPeriod)
{
    std::promise<vt_web *> never;
    vt_cycler *cycler = nullptr;
    ASSERT_EQ(vt_cycler_init(&cycler, &never, count_cycles, 600000), 0);
    EXPECT_EQ(vt_cycler_deit(&cycler), 0);
}

// ---- Handler stacks ------------------------------------------------------------

std::string run_log;

int record_handler(char name, int result)
{
    run_log += name;
    return result;
}
int handler_x(mg_connection *, int, uint8_t *, size_t, vt_web *) { return record_handler('X', 0); }
int handler_y(mg_connection *, int, uint8_t *, size_t, vt_web *) { return record_handler('Y', 0); }
int handler_w(mg_connection *, int, uint8_t *, size_t, vt_web *) { return record_handler('W', 0); }
int handler_z(mg_connection *, int, uint8_t *, size_t, vt_web *) { return record_handler('Z', 1); }
int handler_pass(mg_connection *, int, uint8_t *, size_t, vt_web *) { return 0; }

std::string run_stack(vt_core *stack)
{
    run_log.clear();
    vt_core_iter_reset(stack, nullptr, 0);
    EXPECT_EQ(vt_core_run(stack, nullptr, nullptr), vt_handle_done);
    return run_log;
}

TEST(HandlerStack, RunOrderFollowsPositions)
{
    vt_core *stack = nullptr;
    ASSERT_EQ(vt_core_init(&stack, handler_z, "Z", 64), 0);
    ASSERT_EQ(vt_core_add(stack, handler_x, "X", 0, stack->base, vt_core_before), 0);
    ASSERT_EQ(vt_core_add(stack, handler_y, "Y", 0, stack->base, vt_core_before), 0);
    EXPECT_EQ(run_stack(stack), "YXZ");
    ASSERT_EQ(vt_core_add(stack, handler_w, "W", 0, stack->base, vt_core_after), 0);
    EXPECT_EQ(run_stack(stack), "YXWZ");
    ASSERT_EQ(vt_core_rem(stack, "X"), 0);
    EXPECT_EQ(run_stack(stack), "YWZ");
    ASSERT_EQ(vt_core_add_by_name(stack, handler_x, "X", 0, "W"), 0);
    EXPECT_EQ(run_stack(stack), "YXWZ") << "added after W in the ring: runs just before W";
    vt_core_deit(&stack);
    EXPECT_EQ(stack, nullptr);
}

TEST(HandlerStack, ReservesSizeTheBufferAndTheOffset)
{
    vt_core *stack = nullptr;
    ASSERT_EQ(vt_core_init(&stack, handler_z, "Z", 100), 0);
    ASSERT_EQ(vt_core_add(stack, handler_pass, "a", 4, stack->base, vt_core_before), 0);
    ASSERT_EQ(vt_core_add(stack, handler_pass, "b", 17, stack->base, vt_core_before), 0);
    ASSERT_EQ(vt_core_add(stack, handler_pass, "c", 8, stack->base, vt_core_before), 0);
    EXPECT_EQ(stack->size, 129u);
    vt_core_iter_reset(stack, nullptr, 0);
    EXPECT_EQ(stack->offset, 29u);
    ASSERT_EQ(vt_core_rem(stack, "b"), 0);
    EXPECT_EQ(stack->size, 112u);
    vt_core_deit(&stack);
}

TEST(HandlerStack, RefusedChangesLeaveTheStackAsItWas)
{
    vt_core *stack = nullptr;
    ASSERT_EQ(vt_core_init(&stack, handler_z, "Z", 10), 0);
    vt_test::SyserrCapture errors;
    EXPECT_EQ(vt_core_rem(stack, "Z"), 1);
    EXPECT_NE(errors.text().find("failed to remove base handle object"), std::string::npos);
    EXPECT_EQ(vt_core_rem(stack, "nope"), 1);
    EXPECT_NE(errors.text().find("failed to search for handle 'nope'"), std::string::npos);
    EXPECT_EQ(vt_core_add_by_name(stack, handler_x, "X", 0, "nope"), 1);
    EXPECT_EQ(vt_core_add(stack, handler_x, "X", 0, stack->base, 3), 1);
    EXPECT_NE(errors.text().find("failed to append 'X'"), std::string::npos);
    EXPECT_EQ(vt_core_resize(stack, 0, 1), 0);
    EXPECT_EQ(vt_core_resize(stack, 11, 1), 1);
    EXPECT_NE(errors.text().find("protocol stack cannot be set to zero"), std::string::npos);
    EXPECT_EQ(stack->size, 10u);
    EXPECT_EQ(run_stack(stack), "Z");
    vt_core_deit(&stack);
}

vt_core *self_removing_stack = nullptr;
int handler_remove_self(mg_connection *, int, uint8_t *, size_t, vt_web *)
{
    run_log += 'R';
    return vt_core_rem(self_removing_stack, "R") ? vt_handle_exception : vt_handle_next;
}

TEST(HandlerStack, AHandlerMayRemoveItselfWhileItRuns)
{
    ASSERT_EQ(vt_core_init(&self_removing_stack, handler_z, "Z", 8), 0);
    ASSERT_EQ(vt_core_add(self_removing_stack, handler_x, "X", 0, self_removing_stack->base, vt_core_before), 0);
    ASSERT_EQ(vt_core_add(self_removing_stack, handler_remove_self, "R", 4, self_removing_stack->base,
                          vt_core_after), 0);
    EXPECT_EQ(run_stack(self_removing_stack), "XRZ");
    EXPECT_EQ(run_stack(self_removing_stack), "XZ");
    EXPECT_EQ(self_removing_stack->size, 8u);
    vt_core_deit(&self_removing_stack);
}

TEST(HandlerStack, ABaseThatPassesOnEndsTheRunAsAnException)
{
    vt_core *stack = nullptr;
    ASSERT_EQ(vt_core_init(&stack, handler_pass, "base", 8), 0);
    vt_core_iter_reset(stack, nullptr, 0);
    EXPECT_EQ(vt_core_run(stack, nullptr, nullptr), vt_handle_exception);
    vt_core_deit(&stack);
}

// ---- Transport settings ---------------------------------------------------------

int cycle_nothing(void *) { return 0; }

TEST(TransportSettings, SettersCheckTheirArguments)
{
    vt_cfg *cfg = nullptr;
    ASSERT_EQ(vt_cfg_init(&cfg), 0);
    EXPECT_EQ(vt_cfg_init(&cfg), 1) << "occupied slot";
    vt_test::SyserrCapture errors;
    struct Case {
        const char *name;
        std::function<int()> call;
        int result;
        const char *message;
    };
    const uint8_t bytes[2] = {0xFB, 0x02};
    const Case cases[] = {
        {"caller size 0", [&] { return vt_cfg_set_caller(cfg, handler_z, 0); }, 1, "stack size must be non-zero"},
        {"caller absent", [&] { return vt_cfg_set_caller(cfg, nullptr, 1); }, 1, "invalid config or caller object"},
        {"cycler 999", [&] { return vt_cfg_set_cycler(cfg, cycle_nothing, 999); }, 1,
         "cycler time must be atleast 1000 milliseconds"},
        {"cycler 1000", [&] { return vt_cfg_set_cycler(cfg, cycle_nothing, 1000); }, 0, ""},
        {"raw both empty", [&] { return vt_cfg_set_diffie_raw(cfg, bytes, 0, bytes, 0); }, 1,
         "prime buffer is empty"},
        {"raw base empty", [&] { return vt_cfg_set_diffie_raw(cfg, bytes, 2, bytes, 0); }, 1,
         "base buffer is empty"},
        {"raw", [&] { return vt_cfg_set_diffie_raw(cfg, bytes, 2, bytes + 1, 1); }, 0, ""},
        {"der empty", [&] { return vt_cfg_set_diffie_buf(cfg, bytes, 0); }, 1, "invalid config or der object"},
        {"init absent", [&] { return vt_cfg_set_init(cfg, nullptr, nullptr); }, 1, "invalid paramaters"},
        {"missing file", [&] { return vt_cfg_set_diffie(cfg, "/nonexistent/dh.der"); }, 1,
         "failed to load certificate /nonexistent/dh.der"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_NE(errors.text().find(c.message), std::string::npos) << errors.text();
    }
    EXPECT_EQ(cfg->cycler_ms, 1000u);
    EXPECT_EQ(std::string(cfg->prime.text, cfg->prime.length), "\xFB\x02");
    EXPECT_EQ(std::string(cfg->base.text, cfg->base.length), "\x02");
    EXPECT_EQ(vt_cfg_set_diffie_link(cfg), 0);
    EXPECT_EQ(cfg->inherit, 1);
    EXPECT_EQ(vt_cfg_deit(&cfg), 0);
    EXPECT_EQ(cfg, nullptr);
}

} // namespace
