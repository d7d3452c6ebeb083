// Read progress of an image job: position bookkeeping, the read checkpoint carried
// through a job document's text, the rate sample consumed by each query, and the
// completeness check.
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "vt_json.h"
#include "vt_read_state.h"
#include "vt_syslog.h"
#include "vt_test_util.h"

namespace {

// True for the date text form "%FT%TZ", e.g. 2020-01-31T13:45:00Z.
bool is_date(const std::string &text)
{
    const std::string form = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != form.size())
        return false;
    for (size_t i = 0; i < form.size(); ++i)
        if (form[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i])
            return false;
    return true;
}

uint64_t now_seconds()
{
    return static_cast<uint64_t>(time(nullptr));
}

class ReadState : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_read_state_init(&rs), 0); }
    void TearDown() override
    {
        EXPECT_EQ(vt_read_state_deit(&rs), 0);
        EXPECT_EQ(rs, nullptr);
    }
    vt_json_obj *checkpoint()
    {
        vt_json_obj *copy = nullptr;
        EXPECT_EQ(vt_read_state_get_object(rs, &copy), 0);
        return copy;
    }
    // The checkpoint as the job document stores it: encoded to text and decoded again.
    vt_json_obj *checkpoint_through_text()
    {
        vt_json_obj *copy = checkpoint(), *back = nullptr;
        char *text = nullptr;
        size_t length = 0;
        EXPECT_EQ(vt_json_obj_encode_(copy, &text, &length), 0);
        EXPECT_EQ(vt_json_obj_decode(&back, text, length), 0);
        free(text);
        vt_json_obj_deit(&copy);
        return back;
    }
    std::string logged_dates()
    {
        std::string text;
        vt_syslog *log = nullptr;
        EXPECT_EQ(vt_syslog_init_cb(&log,
                                    [](const char *t, size_t n, void *user, unsigned level) {
                                        EXPECT_EQ(level, 2u);
                                        static_cast<std::string *>(user)->append(t, n);
                                    },
                                    &text),
                  0);
        EXPECT_EQ(vt_read_state_log_date(rs, log), 0);
        vt_syslog_deit(&log);
        return text;
    }
    vt_read_state *rs = nullptr;
};

TEST_F(ReadState, StartWritesTheCheckpoint)
{
    ASSERT_EQ(vt_read_state_start(rs, 512, 1048576), 0);
    vt_json_obj *obj = checkpoint();
    uint64_t offset = 0, length = 0;
    const char *date = nullptr;
    size_t date_length = 0;
    EXPECT_EQ(vt_json_obj_get_number_string(obj, "offset", &offset), 0);
    EXPECT_EQ(vt_json_obj_get_number_string(obj, "length", &length), 0);
    ASSERT_EQ(vt_json_obj_get_string(obj, "start_date", &date, &date_length), 0);
    EXPECT_EQ(offset, 512u);
    EXPECT_EQ(length, 1048576u);
    EXPECT_TRUE(is_date(std::string(date, date_length))) << date;
    vt_json_obj_deit(&obj);
}

TEST_F(ReadState, UpdateHandsOutPositionsAndRefusesToPassTheEnd)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 10000), 0);
    struct Step {
        uint64_t count, offset, remaining;
    };
    for (const Step &s : {Step{0, 0, 10000}, Step{4096, 4096, 5904}, Step{4096, 8192, 1808},
                          Step{1808, 10000, 0}, Step{0, 10000, 0}}) {
        uint64_t offset = 1, remaining = 1;
        ASSERT_EQ(vt_read_state_update(rs, s.count, &offset, &remaining), 0);
        EXPECT_EQ(offset, s.offset);
        EXPECT_EQ(remaining, s.remaining);
    }
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_read_state_update(rs, 1, nullptr, nullptr), 1);
    EXPECT_NE(capture.text().find("(vt_read_state_update:"), std::string::npos);
    uint64_t offset = 0, remaining = 0, rate = 0;
    ASSERT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
    EXPECT_EQ(offset, 10000u) << "a refused update changes nothing";
    EXPECT_EQ(remaining, 0u);
}

TEST_F(ReadState, CheckpointRoundTripThroughTheDocumentText)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 1 << 20), 0);
    ASSERT_EQ(vt_read_state_update(rs, 65536, nullptr, nullptr), 0);
    ASSERT_EQ(vt_read_state_save(rs), 0);
    ASSERT_EQ(vt_read_state_update(rs, 65536, nullptr, nullptr), 0); // past the checkpoint
    vt_json_obj *saved = checkpoint_through_text();
    ASSERT_NE(saved, nullptr);

    vt_read_state *resumed = nullptr;
    ASSERT_EQ(vt_read_state_init(&resumed), 0);
    ASSERT_EQ(vt_read_state_end(resumed), 0); // a date of an earlier run, to be dropped
    ASSERT_EQ(vt_read_state_load(resumed, saved), 0);
    uint64_t offset = 0, remaining = 0, rate = 0;
    ASSERT_EQ(vt_read_state_get_state(resumed, &offset, &remaining, &rate), 0);
    EXPECT_EQ(offset, 65536u);
    EXPECT_EQ(remaining, (1u << 20) - 65536u);
    EXPECT_EQ(resumed->start_date.length, rs->start_date.length);
    EXPECT_STREQ(resumed->start_date.text, rs->start_date.text);
    EXPECT_EQ(resumed->end_date.text, nullptr);

    // Saved again, the resumed state writes the same checkpoint text.
    ASSERT_EQ(vt_read_state_save(resumed), 0);
    vt_json_obj *again = nullptr;
    ASSERT_EQ(vt_read_state_get_object(resumed, &again), 0);
    char *a = nullptr, *b = nullptr;
    size_t a_length = 0, b_length = 0;
    ASSERT_EQ(vt_json_obj_encode_(saved, &a, &a_length), 0);
    ASSERT_EQ(vt_json_obj_encode_(again, &b, &b_length), 0);
    EXPECT_EQ(std::string(a, a_length), std::string(b, b_length));
    free(a);
    free(b);
    vt_json_obj_deit(&again);
    vt_json_obj_deit(&saved);
    vt_read_state_deit(&resumed);
}

TEST_F(ReadState, LoadNamesTheMissingValueAndKeepsThePosition)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 4096), 0);
    ASSERT_EQ(vt_read_state_update(rs, 1024, nullptr, nullptr), 0);
    struct Case {
        const char *drop;
        const char *message;
    };
    for (const Case &c : {Case{"offset", "failed to get read offset"},
                          Case{"length", "failed to get read length"},
                          Case{"start_date", "failed to get read start date"}}) {
        vt_json_obj *obj = nullptr;
        ASSERT_EQ(vt_json_obj_init(&obj), 0);
        ASSERT_EQ(vt_json_obj_number_string(obj, "offset", 2048), 0);
        ASSERT_EQ(vt_json_obj_number_string(obj, "length", 2048), 0);
        ASSERT_EQ(vt_json_obj_string(obj, "start_date", "2020-01-31T13:45:00Z", 20), 0);
        ASSERT_EQ(vt_json_obj_remove(obj, c.drop), 0);
        vt_test::SyserrCapture capture;
        EXPECT_EQ(vt_read_state_load(rs, obj), 1) << c.drop;
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
        vt_json_obj_deit(&obj);
        uint64_t offset = 0, remaining = 0, rate = 0;
        ASSERT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
        EXPECT_EQ(offset, 1024u) << c.drop;
        EXPECT_EQ(remaining, 3072u) << c.drop;
    }
}

TEST_F(ReadState, SaveNeedsAStartDate)
{
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_read_state_save(rs), 1);
    EXPECT_NE(capture.text().find("failed to write start date in object"), std::string::npos);
}

TEST_F(ReadState, ClearRemovesEveryKeyAndFailsWhenTheyAreGone)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 100), 0);
    ASSERT_EQ(vt_read_state_clear(rs), 0);
    vt_json_obj *obj = checkpoint();
    for (const char *key : {"offset", "length", "start_date"})
        EXPECT_NE(vt_json_obj_check_key(obj, key), 0) << key;
    vt_json_obj_deit(&obj);

    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_read_state_clear(rs), 1);
    EXPECT_NE(capture.text().find("failed to remove read state keys"), std::string::npos);
}

TEST_F(ReadState, CopyIsIndependentOfTheCheckpoint)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 100), 0);
    vt_json_obj *copy = checkpoint();
    ASSERT_EQ(vt_read_state_clear(rs), 0);
    EXPECT_EQ(vt_json_obj_check_key(copy, "offset"), 0);
    vt_json_obj_deit(&copy);
}

TEST_F(ReadState, CheckCompleteNamesPositionAndTotal)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 100), 0);
    ASSERT_EQ(vt_read_state_update(rs, 100, nullptr, nullptr), 0);
    EXPECT_EQ(vt_read_state_check_complete(rs, 100), 0);

    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_read_state_check_complete(rs, 200), 1) << "nothing remains but the total is larger";
    EXPECT_NE(capture.text().find("read state at 100 out of 200 bytes"), std::string::npos);

    capture.clear();
    ASSERT_EQ(vt_read_state_start(rs, 0, 200), 0);
    ASSERT_EQ(vt_read_state_update(rs, 150, nullptr, nullptr), 0);
    EXPECT_EQ(vt_read_state_check_complete(rs, 200), 1);
    EXPECT_NE(capture.text().find("read state at 150 out of 200 bytes"), std::string::npos);
}

TEST_F(ReadState, LogShowsBothAcquisitionDates)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 100), 0);
    ASSERT_EQ(vt_read_state_end(rs), 0);
    std::string text = logged_dates();
    const std::string start = "Acquisition Start Time: ", end = "\nAcquisition End Time: ";
    ASSERT_EQ(text.size(), start.size() + 20 + end.size() + 20 + 1) << text;
    EXPECT_EQ(text.substr(0, start.size()), start);
    EXPECT_EQ(text.substr(start.size() + 20, end.size()), end);
    EXPECT_EQ(text.back(), '\n');
    std::string start_date = text.substr(start.size(), 20);
    std::string end_date = text.substr(start.size() + 20 + end.size(), 20);
    EXPECT_TRUE(is_date(start_date)) << start_date;
    EXPECT_TRUE(is_date(end_date)) << end_date;
    EXPECT_LE(start_date, end_date);
}

// The rate depends on which second each call falls in, so every expectation is
// bounded by the seconds read before and after the calls, never by their speed.
TEST_F(ReadState, RateAveragesTheSampleAndEachQueryConsumesIt)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 1 << 30), 0);
    uint64_t before = now_seconds();
    rs->sample_bytes = 50000;
    rs->sample_start = before - 10; // reads began ten seconds ago
    uint64_t offset = 0, remaining = 0, rate = 0;
    ASSERT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
    uint64_t after = now_seconds();
    EXPECT_LE(rate, 50000u / 10);
    EXPECT_GE(rate, 50000 / (after - before + 10));
    EXPECT_EQ(rs->sample_bytes, 0u) << "the query consumed the sample";
    EXPECT_EQ(rs->sample_start, 0u);

    ASSERT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
    EXPECT_EQ(rate, 0u) << "no reads since the previous query";
}

TEST_F(ReadState, QueryInTheSampleFirstSecondGivesTheBytesUndivided)
{
    ASSERT_EQ(vt_read_state_start(rs, 0, 1 << 30), 0);
    uint64_t before = now_seconds();
    ASSERT_EQ(vt_read_state_update(rs, 3000, nullptr, nullptr), 0);
    ASSERT_EQ(vt_read_state_update(rs, 1000, nullptr, nullptr), 0);
    uint64_t offset = 0, remaining = 0, rate = 0;
    ASSERT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
    uint64_t after = now_seconds();
    EXPECT_EQ(offset, 4000u);
    if (before == after) {
        EXPECT_EQ(rate, 4000u);
        EXPECT_EQ(rs->sample_bytes, 4000u) << "the sample goes on within its first second";
    } else {
        EXPECT_LE(rate, 4000u);
        EXPECT_GE(rate, 4000u / (after - before));
    }
}

TEST_F(ReadState, ConcurrentUpdatesLoseNothing)
{
    constexpr int threads = 4, updates = 2000;
    ASSERT_EQ(vt_read_state_start(rs, 0, threads * updates * 3), 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([this] {
            for (int i = 0; i < updates; ++i) {
                uint64_t offset = 0, remaining = 0, rate = 0;
                EXPECT_EQ(vt_read_state_update(rs, 3, nullptr, nullptr), 0);
                EXPECT_EQ(vt_read_state_get_state(rs, &offset, &remaining, &rate), 0);
                EXPECT_EQ(offset + remaining, uint64_t(threads * updates * 3));
            }
        });
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(vt_read_state_check_complete(rs, threads * updates * 3), 0);
}

} // namespace
