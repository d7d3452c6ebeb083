// The job's source digests: published MD5/SHA-1 answers, and a checkpoint saved at
// any split point, carried through the JSON text of a job document and loaded into a
// fresh object, finishing with the digests of one uninterrupted pass.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "vt_hash.h"
#include "vt_json.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_test_hex.h"
#include "vt_test_util.h"

namespace {

using bytes = std::vector<uint8_t>;
using vt_test::to_hex;

uint32_t le32(const bytes &state, size_t offset)
{
    return state[offset] | state[offset + 1] << 8 | state[offset + 2] << 16 |
           static_cast<uint32_t>(state[offset + 3]) << 24;
}

// Bytes that differ from their neighbours, so a reordered block buffer shows.
bytes pattern(size_t size)
{
    bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + (i >> 8) + 3);
    return data;
}

class Hash {
public:
    explicit Hash(const char *method)
    {
        vt_string text{const_cast<char *>(method), strlen(method)};
        result = vt_hash_init(&hash, &text);
    }
    ~Hash() { vt_hash_deit(&hash); }
    // Feeds data in pieces of the given size.
    void feed(const uint8_t *data, size_t size, size_t piece = 1000)
    {
        for (size_t done = 0; done < size; done += piece)
            ASSERT_EQ(vt_hash_update(hash, data + done, std::min(piece, size - done)), 0);
    }
    std::string md5() const { return to_hex(hash->md5_digest, sizeof hash->md5_digest); }
    std::string sha1() const { return to_hex(hash->sha1_digest, sizeof hash->sha1_digest); }
    vt_hash *hash = nullptr;
    int result = 1;
};

// The checkpoint as a job document stores it: encoded to text and decoded again.
vt_json_obj *through_document(vt_hash *hash)
{
    vt_json_obj *copy = nullptr, *back = nullptr;
    char *text = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_hash_get_object(hash, &copy), 0);
    EXPECT_EQ(vt_json_obj_encode_(copy, &text, &length), 0);
    EXPECT_EQ(vt_json_obj_decode(&back, text, length), 0);
    free(text);
    vt_json_obj_deit(&copy);
    return back;
}

bytes saved_state(vt_hash *hash, const char *key)
{
    vt_json_obj *copy = nullptr;
    uint8_t *data = nullptr;
    size_t count = 0;
    EXPECT_EQ(vt_hash_get_object(hash, &copy), 0);
    EXPECT_EQ(vt_json_obj_get_binary_(copy, key, &data, &count), 0) << key;
    bytes state(data, data + count);
    free(data);
    vt_json_obj_deit(&copy);
    return state;
}

// ---------------------------------------------------------------- known answers

struct KnownCase {
    const char *name;
    bytes data;
    const char *md5;
    const char *sha1;
};

class KnownAnswer : public testing::TestWithParam<KnownCase> {};

TEST_P(KnownAnswer, OnePassMatchesThePublishedDigests)
{
    const KnownCase &c = GetParam();
    Hash h("md5,sha1");
    ASSERT_EQ(h.result, 0);
    h.feed(c.data.data(), c.data.size(), 4099);
    ASSERT_EQ(vt_hash_final(h.hash), 0);
    EXPECT_EQ(h.md5(), c.md5);
    EXPECT_EQ(h.sha1(), c.sha1);
}

std::string fox = "The quick brown fox jumps over the lazy dog";

INSTANTIATE_TEST_SUITE_P(
    Vectors, KnownAnswer,
    testing::Values(KnownCase{"Fox", bytes(fox.begin(), fox.end()), "9e107d9d372bb6826bd81d3542a419d6",
                              "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12"},
                    KnownCase{"MillionA", bytes(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
                              "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}),
    [](const testing::TestParamInfo<KnownCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- save and resume

struct SplitCase {
    const char *method;
    size_t split;
};

class SaveAndResume : public testing::TestWithParam<SplitCase> {
protected:
    bytes data = pattern(5000);
};

TEST_P(SaveAndResume, ResumedDigestsEqualOnePass)
{
    const SplitCase &c = GetParam();
    Hash whole(c.method), first(c.method), resumed(c.method);
    ASSERT_EQ(whole.result | first.result | resumed.result, 0);
    whole.feed(data.data(), data.size(), data.size());
    ASSERT_EQ(vt_hash_final(whole.hash), 0);

    first.feed(data.data(), c.split, 13);
    ASSERT_EQ(vt_hash_save(first.hash), 0);
    vt_json_obj *saved = through_document(first.hash);
    ASSERT_NE(saved, nullptr);
    ASSERT_EQ(vt_hash_load(resumed.hash, saved), 0);
    vt_json_obj_deit(&saved);
    resumed.feed(data.data() + c.split, data.size() - c.split, 777);
    ASSERT_EQ(vt_hash_final(resumed.hash), 0);

    EXPECT_EQ(resumed.md5(), whole.md5());
    EXPECT_EQ(resumed.sha1(), whole.sha1());
}

TEST_P(SaveAndResume, SavedStateFollowsTheDocumentedLayout)
{
    const SplitCase &c = GetParam();
    Hash h(c.method);
    ASSERT_EQ(h.result, 0);
    h.feed(data.data(), c.split, 29);
    ASSERT_EQ(vt_hash_save(h.hash), 0);
    struct Key {
        const char *name;
        uint8_t bit;
        size_t size;
    };
    for (const Key &key : {Key{"md5", VT_HASH_MD5, 92}, Key{"sha1", VT_HASH_SHA1, 96}}) {
        if (!(h.hash->methods & key.bit))
            continue;
        bytes state = saved_state(h.hash, key.name);
        ASSERT_EQ(state.size(), key.size);
        size_t pending = c.split % 64;
        EXPECT_EQ(le32(state, vt_hash_state::pending), pending);
        EXPECT_EQ(le32(state, vt_hash_state::total_low), c.split);
        EXPECT_EQ(le32(state, vt_hash_state::total_high), 0u);
        bytes block(state.begin() + 12, state.begin() + 76);
        bytes waiting(data.begin() + (c.split - pending), data.begin() + c.split);
        waiting.resize(64, 0);
        EXPECT_EQ(block, waiting) << key.name << ": waiting bytes in input order, zeros after";
    }
}

// Test names such as "md5_sha1_at_37": the method with its separators made legal.
std::string split_case_name(const testing::TestParamInfo<SplitCase> &info)
{
    std::string name = info.param.method;
    for (char &ch : name)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name + "_at_" + std::to_string(info.param.split);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, SaveAndResume,
    testing::Values(SplitCase{"md5", 0}, SplitCase{"md5", 20}, SplitCase{"md5", 64},
                    SplitCase{"md5", 1000}, SplitCase{"md5", 4999}, SplitCase{"sha1", 0},
                    SplitCase{"sha1", 20}, SplitCase{"sha1", 64}, SplitCase{"sha1", 1000},
                    SplitCase{"sha1", 4999}, SplitCase{"md5,sha1", 37}, SplitCase{"md5 sha1", 128},
                    SplitCase{"sha1+md5", 3333}),
    split_case_name);

TEST(HashState, FreshStateCarriesTheStandardInitialChainingValues)
{
    Hash h("md5,sha1");
    ASSERT_EQ(h.result, 0);
    ASSERT_EQ(vt_hash_save(h.hash), 0);
    bytes md5 = saved_state(h.hash, "md5"), sha1 = saved_state(h.hash, "sha1");
    const uint32_t md5_iv[] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const uint32_t sha1_iv[] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(le32(md5, vt_hash_state::chain + 4 * i), md5_iv[i]) << "md5 word " << i;
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(le32(sha1, vt_hash_state::chain + 4 * i), sha1_iv[i]) << "sha1 word " << i;
}

TEST(HashState, FinalisingAfterASaveDoesNotDisturbTheSavedState)
{
    // A stopped run finalises its digests; the resumed run reloads and continues.
    bytes data = pattern(3000);
    Hash whole("md5,sha1"), run("md5,sha1");
    whole.feed(data.data(), data.size());
    ASSERT_EQ(vt_hash_final(whole.hash), 0);

    run.feed(data.data(), 1500);
    ASSERT_EQ(vt_hash_save(run.hash), 0);
    run.feed(data.data() + 1500, 500); // read past the checkpoint, then stopped
    ASSERT_EQ(vt_hash_final(run.hash), 0);
    vt_json_obj *saved = nullptr;
    ASSERT_EQ(vt_hash_get_object(run.hash, &saved), 0);
    ASSERT_EQ(vt_hash_load(run.hash, saved), 0);
    vt_json_obj_deit(&saved);
    run.feed(data.data() + 1500, 1500);
    ASSERT_EQ(vt_hash_final(run.hash), 0);
    EXPECT_EQ(run.md5(), whole.md5());
    EXPECT_EQ(run.sha1(), whole.sha1());
}

// ---------------------------------------------------------------- refused states

class RefusedState : public testing::Test {
protected:
    void SetUp() override
    {
        data = pattern(300);
        source.feed(data.data(), 100);
        ASSERT_EQ(vt_hash_save(source.hash), 0);
        md5 = saved_state(source.hash, "md5");
        sha1 = saved_state(source.hash, "sha1");
        target.feed(data.data(), 200); // a different position the refusal must keep
    }
    // A checkpoint object with the given states in place of the real ones.
    vt_json_obj *object_with(const bytes &md5_state, const bytes &sha1_state)
    {
        vt_json_obj *obj = nullptr;
        EXPECT_EQ(vt_json_obj_init(&obj), 0);
        if (!md5_state.empty()) {
            EXPECT_EQ(vt_json_obj_binary(obj, "md5", md5_state.data(), md5_state.size()), 0);
        }
        if (!sha1_state.empty()) {
            EXPECT_EQ(vt_json_obj_binary(obj, "sha1", sha1_state.data(), sha1_state.size()), 0);
        }
        return obj;
    }
    void expect_refused(const bytes &md5_state, const bytes &sha1_state, const char *message)
    {
        vt_test::SyserrCapture capture;
        vt_json_obj *obj = object_with(md5_state, sha1_state);
        EXPECT_EQ(vt_hash_load(target.hash, obj), 1) << message;
        EXPECT_NE(capture.text().find(message), std::string::npos) << capture.text();
        vt_json_obj_deit(&obj);
        // Nothing was replaced: the target still finishes its own 300-byte stream.
        Hash whole("md5,sha1");
        whole.feed(data.data(), 300);
        ASSERT_EQ(vt_hash_final(whole.hash), 0);
        target.feed(data.data() + 200, 100);
        ASSERT_EQ(vt_hash_final(target.hash), 0);
        EXPECT_EQ(target.md5(), whole.md5());
        EXPECT_EQ(target.sha1(), whole.sha1());
    }
    bytes data, md5, sha1;
    Hash source{"md5,sha1"}, target{"md5,sha1"};
};

TEST_F(RefusedState, Md5OfNinetyOneBytes)
{
    md5.pop_back();
    expect_refused(md5, sha1, "md5 size mismatched");
}

TEST_F(RefusedState, Sha1OfNinetySevenBytes)
{
    sha1.push_back(0);
    expect_refused(md5, sha1, "sha1 size mismatched");
}

TEST_F(RefusedState, StatesSwappedBetweenMethods)
{
    expect_refused(sha1, md5, "md5 size mismatched");
}

TEST_F(RefusedState, MissingSha1WhenSelected)
{
    expect_refused(md5, {}, "failed to get hash sha1");
}

TEST_F(RefusedState, MissingMd5WhenSelected)
{
    expect_refused({}, sha1, "failed to get hash md5");
}

TEST_F(RefusedState, WaitingCountBeyondTheBlockBuffer)
{
    // A count of 64 or more would make the library write past its block buffer.
    md5[vt_hash_state::pending] = 200;
    md5[vt_hash_state::total_low] = 200;
    expect_refused(md5, sha1, "invalid md5 state");
}

TEST_F(RefusedState, WaitingCountDisagreeingWithTheTotal)
{
    sha1[vt_hash_state::pending] ^= 1;
    expect_refused(md5, sha1, "invalid sha1 state");
}

// ---------------------------------------------------------------- methods, clear, log

TEST(HashMethods, SelectionBySubstring)
{
    struct Case {
        const char *text;
        uint8_t methods;
    };
    const Case cases[] = {{"md5", VT_HASH_MD5},       {"sha1", VT_HASH_SHA1},
                          {"md5,sha1", 3},            {"sha1 and md5", 3},
                          {"xmd5y", VT_HASH_MD5}};
    for (const Case &c : cases) {
        Hash h(c.text);
        ASSERT_EQ(h.result, 0) << c.text;
        EXPECT_EQ(h.hash->methods, c.methods) << c.text;
    }
}

TEST(HashMethods, UnsupportedTextsAreRefused)
{
    for (const char *text : {"SHA1", "MD5", "sha256", ""}) {
        vt_test::SyserrCapture capture;
        Hash h(text);
        EXPECT_EQ(h.result, 1) << text;
        EXPECT_EQ(h.hash, nullptr);
        EXPECT_NE(capture.text().find(std::string("unsupported hash method(s) -- ") + text),
                  std::string::npos);
    }
}

TEST(HashMethods, Md5OnlyLeavesSha1ZeroAndOutOfTheCheckpoint)
{
    Hash h("md5");
    ASSERT_EQ(h.result, 0);
    h.feed(reinterpret_cast<const uint8_t *>(fox.data()), fox.size());
    ASSERT_EQ(vt_hash_save(h.hash), 0);
    vt_json_obj *copy = nullptr;
    ASSERT_EQ(vt_hash_get_object(h.hash, &copy), 0);
    EXPECT_EQ(vt_json_obj_check_key(copy, "md5"), 0);
    EXPECT_NE(vt_json_obj_check_key(copy, "sha1"), 0);
    vt_json_obj_deit(&copy);

    ASSERT_EQ(vt_hash_final(h.hash), 0);
    std::string logged;
    vt_syslog *log = nullptr;
    ASSERT_EQ(vt_syslog_init_cb(&log,
                                [](const char *text, size_t length, void *user, unsigned level) {
                                    EXPECT_EQ(level, 2u);
                                    static_cast<std::string *>(user)->append(text, length);
                                },
                                &logged),
              0);
    ASSERT_EQ(vt_hash_log(h.hash, log), 0);
    vt_syslog_deit(&log);
    EXPECT_EQ(logged, "MD5 Source Hash: 9e107d9d372bb6826bd81d3542a419d6\n"
                      "SHA1 Source Hash: " + std::string(40, '0') + "\n");
}

TEST(HashClear, RemovesBothKeysAndFailsWhenOneWasMissing)
{
    struct Case {
        const char *method;
        int result;
    };
    for (const Case &c : {Case{"md5", 1}, Case{"sha1", 1}, Case{"md5,sha1", 0}}) {
        vt_test::SyserrCapture capture;
        Hash h(c.method);
        ASSERT_EQ(vt_hash_save(h.hash), 0);
        EXPECT_EQ(vt_hash_clear(h.hash), c.result) << c.method;
        EXPECT_EQ(capture.text().find("failed to remove hash state keys") != std::string::npos,
                  c.result == 1);
        vt_json_obj *copy = nullptr;
        ASSERT_EQ(vt_hash_get_object(h.hash, &copy), 0);
        EXPECT_NE(vt_json_obj_check_key(copy, "md5"), 0) << c.method;
        EXPECT_NE(vt_json_obj_check_key(copy, "sha1"), 0) << c.method;
        vt_json_obj_deit(&copy);
    }
}

TEST(HashObject, CopyIsIndependentOfTheCheckpoint)
{
    Hash h("md5,sha1");
    ASSERT_EQ(vt_hash_save(h.hash), 0);
    vt_json_obj *copy = nullptr;
    ASSERT_EQ(vt_hash_get_object(h.hash, &copy), 0);
    ASSERT_EQ(vt_hash_clear(h.hash), 0);
    EXPECT_EQ(vt_json_obj_check_key(copy, "md5"), 0);
    EXPECT_EQ(vt_json_obj_check_key(copy, "sha1"), 0);
    vt_json_obj_deit(&copy);
}

// Checkpoints whose block buffer holds exactly one byte or one byte short of a
// whole block, at the start and after whole blocks: the two edges of the waiting
// count that a checkpoint must carry and restore.
INSTANTIATE_TEST_SUITE_P(
    BlockBufferEdges, SaveAndResume,
    testing::Values(SplitCase{"md5", 1}, SplitCase{"md5", 63}, SplitCase{"md5", 65},
                    SplitCase{"md5", 127}, SplitCase{"sha1", 1}, SplitCase{"sha1", 63},
                    SplitCase{"sha1", 65}, SplitCase{"sha1", 127}, SplitCase{"md5,sha1", 1},
                    SplitCase{"md5,sha1", 63}),
    split_case_name);

} // namespace
