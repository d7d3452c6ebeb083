// Thread handles and auto-reset conditions: signals are neither lost nor counted
// twice, a timed wait never blocks past its deadline, and the periodic loop runs
// its function at most once per calendar second.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include "vt_thread.h"

namespace {

using namespace std::chrono_literals;

// Runs a body on a vt_thread; joins on destruction so a failing test never leaks it.
class Thread {
public:
    explicit Thread(std::function<void()> body) : body_(std::move(body))
    {
        started_ = vt_thread_init(&thread_) == 0 && vt_thread_start(thread_, run, &body_) == 0;
    }
    ~Thread()
    {
        join();
        vt_thread_deit(&thread_);
    }
    bool started() const { return started_; }
    int join()
    {
        if (!started_)
            return 1;
        started_ = false;
        return vt_thread_join(thread_);
    }

private:
    static void *run(void *argument)
    {
        (*static_cast<std::function<void()> *>(argument))();
        return nullptr;
    }
    std::function<void()> body_;
    vt_thread *thread_ = nullptr;
    bool started_ = false;
};

class CondTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_cond_init(&cond), 0); }
    void TearDown() override
    {
        EXPECT_EQ(vt_cond_deit(&cond), 0);
        EXPECT_EQ(cond, nullptr);
    }
    // True when a signal was pending (and is now consumed).
    bool pending() { return vt_cond_wait_timed(cond, 0) == 0; }

    vt_cond *cond = nullptr;
};

// Polls a counter until it reaches `target`; false after a generous bound.
bool wait_for_count(const std::atomic<int> &counter, int target)
{
    for (int round = 0; round < 1000 && counter.load() < target; ++round)
        std::this_thread::sleep_for(10ms);
    return counter.load() >= target;
}

// --- threads ---

TEST(ThreadTest, StartRunsTheFunctionWithItsArgumentAndJoinWaitsForIt)
{
    vt_thread *thread = nullptr;
    ASSERT_EQ(vt_thread_init(&thread), 0);
    int value = 0;
    auto body = [](void *argument) -> void * {
        std::this_thread::sleep_for(50ms);
        *static_cast<int *>(argument) = 42;
        return nullptr;
    };
    ASSERT_EQ(vt_thread_start(thread, body, &value), 0);
    EXPECT_EQ(vt_thread_join(thread), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(vt_thread_deit(&thread), 0);
    EXPECT_EQ(thread, nullptr);
}

TEST(ThreadTest, JoinFailsWhenTheHandleHoldsNoThread)
{
    vt_thread *thread = nullptr;
    ASSERT_EQ(vt_thread_init(&thread), 0);
    EXPECT_EQ(vt_thread_join(thread), 1) << "never started";
    auto body = [](void *) -> void * { return nullptr; };
    ASSERT_EQ(vt_thread_start(thread, body, nullptr), 0);
    EXPECT_EQ(vt_thread_join(thread), 0);
    EXPECT_EQ(vt_thread_join(thread), 1) << "already joined";
    // A joined handle can run a new thread.
    ASSERT_EQ(vt_thread_start(thread, body, nullptr), 0);
    EXPECT_EQ(vt_thread_join(thread), 0);
    vt_thread_deit(&thread);
}

TEST(ThreadTest, StartRefusesAHandleThatStillHoldsAThread)
{
    vt_thread *thread = nullptr;
    ASSERT_EQ(vt_thread_init(&thread), 0);
    std::atomic<bool> release{false};
    auto body = [](void *argument) -> void * {
        while (!static_cast<std::atomic<bool> *>(argument)->load())
            std::this_thread::sleep_for(1ms);
        return nullptr;
    };
    ASSERT_EQ(vt_thread_start(thread, body, &release), 0);
    EXPECT_EQ(vt_thread_start(thread, body, &release), 1);
    release = true;
    EXPECT_EQ(vt_thread_join(thread), 0);
    vt_thread_deit(&thread);
}

TEST(ThreadTest, SlotsMustBeEmptyForInitAndFullForDeit)
{
    vt_thread *thread = nullptr;
    ASSERT_EQ(vt_thread_init(&thread), 0);
    vt_thread *kept = thread;
    EXPECT_EQ(vt_thread_init(&thread), 1);
    EXPECT_EQ(thread, kept);
    EXPECT_EQ(vt_thread_deit(&thread), 0);
    EXPECT_EQ(vt_thread_deit(&thread), 1);

    vt_cond *cond = nullptr;
    ASSERT_EQ(vt_cond_init(&cond), 0);
    vt_cond *kept_cond = cond;
    EXPECT_EQ(vt_cond_init(&cond), 1);
    EXPECT_EQ(cond, kept_cond);
    EXPECT_EQ(vt_cond_deit(&cond), 0);
    EXPECT_EQ(cond, nullptr);
    EXPECT_EQ(vt_cond_deit(&cond), 1);
}

// --- conditions ---

TEST_F(CondTest, AWaitConsumesTheSignal)
{
    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_EQ(vt_cond_wait(cond), 0);
    EXPECT_FALSE(pending());
}

TEST_F(CondTest, SignalsBeforeAWaitCountAsOne)
{
    ASSERT_EQ(vt_cond_signal(cond), 0);
    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 100), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 100), 1);
}

TEST_F(CondTest, ZeroTimedWaitNeverBlocks)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 1);
    // Only guards against blocking: the deadline has already passed.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 1) << "the signal was not cleared";
}

TEST_F(CondTest, ASignalSentWhileNobodyWaitsIsKept)
{
    Thread signaller([&] { vt_cond_signal(cond); });
    ASSERT_TRUE(signaller.started());
    ASSERT_EQ(signaller.join(), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 0);
}

TEST_F(CondTest, ASignalWakesABlockedWaiter)
{
    vt_cond *done = nullptr;
    ASSERT_EQ(vt_cond_init(&done), 0);
    std::atomic<int> waited{-1};
    Thread waiter([&] {
        waited = vt_cond_wait(cond);
        vt_cond_signal(done);
    });
    ASSERT_TRUE(waiter.started());
    std::this_thread::sleep_for(100ms); // most likely blocked in its wait by now
    ASSERT_EQ(vt_cond_signal(cond), 0);
    const int woke = vt_cond_wait_timed(done, 10000);
    EXPECT_EQ(woke, 0) << "the waiter missed the signal";
    if (woke != 0)
        vt_cond_signal(cond); // release it so the join below ends
    EXPECT_EQ(waiter.join(), 0);
    EXPECT_EQ(waited.load(), 0);
    EXPECT_FALSE(pending());
    vt_cond_deit(&done);
}

TEST_F(CondTest, OneSignalReleasesOneOfSeveralWaiters)
{
    std::atomic<int> released{0};
    auto wait_once = [&] {
        if (vt_cond_wait(cond) == 0)
            ++released;
    };
    Thread first(wait_once), second(wait_once);
    ASSERT_TRUE(first.started() && second.started());
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_TRUE(wait_for_count(released, 1));
    std::this_thread::sleep_for(300ms); // room for a wrongly released second waiter
    EXPECT_EQ(released.load(), 1);
    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_TRUE(wait_for_count(released, 2));
    EXPECT_EQ(first.join(), 0);
    EXPECT_EQ(second.join(), 0);
}

TEST_F(CondTest, AlternatingSignalsAreNeitherLostNorDoubled)
{
    vt_cond *reply = nullptr;
    ASSERT_EQ(vt_cond_init(&reply), 0);
    constexpr int rounds = 2000;
    std::atomic<int> served{0}, missed{0};
    Thread server([&] {
        for (int i = 0; i < rounds; ++i) {
            if (vt_cond_wait_timed(cond, 10000) != 0) {
                ++missed;
                return;
            }
            ++served;
            vt_cond_signal(reply);
        }
    });
    ASSERT_TRUE(server.started());
    int answered = 0;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(vt_cond_signal(cond), 0);
        if (vt_cond_wait_timed(reply, 10000) != 0)
            break;
        ++answered;
        // Each reply answers exactly one request.
        ASSERT_EQ(served.load(), answered);
    }
    EXPECT_EQ(answered, rounds);
    EXPECT_EQ(server.join(), 0);
    EXPECT_EQ(missed.load(), 0);
    EXPECT_FALSE(pending());
    EXPECT_EQ(vt_cond_wait_timed(reply, 0), 1);
    vt_cond_deit(&reply);
}

// --- periodic loop ---

// Loop function: records the calendar second of each call and returns the next
// scripted result (0 once the script is exhausted).
struct LoopScript {
    std::vector<int> results;
    std::vector<time_t> calls;
    std::atomic<int> count{0};

    static int step(void *argument)
    {
        auto *script = static_cast<LoopScript *>(argument);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        script->calls.push_back(now.tv_sec);
        const size_t index = script->calls.size() - 1;
        ++script->count;
        return index < script->results.size() ? script->results[index] : 0;
    }
};

TEST_F(CondTest, LoopCallsItsFunctionOncePerIntervalUntilItAsksToStop)
{
    LoopScript script;
    script.results = {0, 0, 0, 1};
    EXPECT_EQ(vt_cond_loop(cond, &script, LoopScript::step, 1000), 0);
    ASSERT_EQ(script.calls.size(), 4u);
    for (size_t i = 1; i < script.calls.size(); ++i)
        EXPECT_GT(script.calls[i], script.calls[i - 1]) << "two calls in one calendar second";
    EXPECT_FALSE(pending());
}

TEST_F(CondTest, LoopEnteredSignalledCallsNothingAndKeepsTheSignal)
{
    LoopScript script;
    ASSERT_EQ(vt_cond_signal(cond), 0);
    EXPECT_EQ(vt_cond_loop(cond, &script, LoopScript::step, 1000), 0);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_TRUE(pending());
}

TEST_F(CondTest, LoopEndsWhenSignalledAndLeavesTheSignalSet)
{
    LoopScript script; // never asks to stop
    Thread stopper([&] {
        wait_for_count(script.count, 1);
        vt_cond_signal(cond);
    });
    ASSERT_TRUE(stopper.started());
    EXPECT_EQ(vt_cond_loop(cond, &script, LoopScript::step, 1000), 1);
    EXPECT_GE(script.count.load(), 1);
    EXPECT_EQ(stopper.join(), 0);
    EXPECT_TRUE(pending());
}

TEST_F(CondTest, LoopWithAnIntervalBelowOneSecondStillRunsOncePerSecond)
{
    LoopScript script;
    script.results = {0, 0, 1};
    EXPECT_EQ(vt_cond_loop(cond, &script, LoopScript::step, 0), 0);
    ASSERT_EQ(script.calls.size(), 3u);
    for (size_t i = 1; i < script.calls.size(); ++i)
        EXPECT_GT(script.calls[i], script.calls[i - 1]);
}

} // namespace
