// JSON documents: the one text form, number strings, Base64 bytes, null, shared
// sub-values, decoding with the sender's zero byte, and atomic file replacement.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "vt_buffer.h"
#include "vt_json.h"
#include "vt_syslog.h"
#include "vt_test_util.h"

namespace {

using vt_test::SyserrCapture;
using vt_test::TempDir;

// Encodes with vt_json_obj_encode_ and checks the zero-byte contract on the way:
// the reported length counts the zero byte and nothing before it is zero.
std::string encode(vt_json_obj *obj)
{
    char *text = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_json_obj_encode_(obj, &text, &length), 0);
    if (!text)
        return {};
    EXPECT_GE(length, 1u);
    EXPECT_EQ(text[length - 1], '\0');
    EXPECT_EQ(strlen(text), length - 1);
    std::string result(text, length - 1);
    free(text);
    return result;
}

std::vector<std::string> dir_entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

mode_t mode_of(const std::string &path)
{
    struct stat info = {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class JsonTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_json_obj_init(&obj), 0); }
    void TearDown() override
    {
        if (obj)
            vt_json_obj_deit(&obj);
    }
    vt_json_obj *obj = nullptr;
};

// --- text form -----------------------------------------------------------------

TEST_F(JsonTest, EmptyObjectEncodesAsBracesWithCountedZeroByte)
{
    char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_encode_(obj, &text, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(text, length), std::string("{}\0", 3));
    free(text);
}

TEST(JsonText, InsertionOrderDoesNotChangeTheText)
{
    vt_json_obj *ba = nullptr, *ab = nullptr;
    ASSERT_EQ(vt_json_obj_init(&ba), 0);
    ASSERT_EQ(vt_json_obj_init(&ab), 0);
    ASSERT_EQ(vt_json_obj_number(ba, "b", 2), 0);
    ASSERT_EQ(vt_json_obj_number(ba, "a", 1), 0);
    ASSERT_EQ(vt_json_obj_number(ab, "a", 1), 0);
    ASSERT_EQ(vt_json_obj_number(ab, "b", 2), 0);
    std::string first = encode(ba), second = encode(ab);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, "{\n    \"a\": 1,\n    \"b\": 2\n}");
    vt_json_obj_deit(&ba);
    vt_json_obj_deit(&ab);
}

TEST_F(JsonTest, NestedMembersAreIndentedByFourBlanksPerLevel)
{
    vt_json_obj *sub = nullptr;
    ASSERT_EQ(vt_json_obj_init(&sub), 0);
    ASSERT_EQ(vt_json_obj_null(sub, "z"), 0);
    ASSERT_EQ(vt_json_obj_object(obj, "s", sub), 0);
    EXPECT_EQ(encode(obj), "{\n    \"s\": {\n        \"z\": null\n    }\n}");
    vt_json_obj_deit(&sub);
}

// Texts that end exactly at, or one past, the scratch area's first and second
// sizes: the terminating zero byte needs the one-byte growth path.
TEST_F(JsonTest, TextsAtTheScratchBoundariesStayZeroTerminated)
{
    ASSERT_EQ(vt_json_obj_string(obj, "k", "", 0), 0);
    size_t base = encode(obj).size();
    for (size_t target : {255u, 256u, 257u, 511u, 512u, 1024u, 5000u}) {
        SCOPED_TRACE(target);
        std::string value(target - base, 'x');
        ASSERT_EQ(vt_json_obj_string(obj, "k", value.data(), value.size()), 0);
        char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_encode_(obj, &text, &length), 0);
        EXPECT_EQ(length, target + 1);
        EXPECT_EQ(text[target], '\0');
        EXPECT_EQ(strlen(text), target);
        free(text);
    }
}

TEST_F(JsonTest, RepeatedEncodesOfOneHandleGiveEqualTexts)
{
    ASSERT_EQ(vt_json_obj_string(obj, "name", "case1", 5), 0);
    std::string first = encode(obj);
    EXPECT_EQ(encode(obj), first);
    EXPECT_EQ(encode(obj), first);
}

// --- values --------------------------------------------------------------------

TEST_F(JsonTest, NumberStringsRoundTripTheWholeUnsignedRange)
{
    for (uint64_t value : {uint64_t(0), uint64_t(1), uint64_t(INT64_MAX) + 1, UINT64_MAX}) {
        ASSERT_EQ(vt_json_obj_number_string(obj, "n", value), 0);
        const char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_get_string(obj, "n", &text, &length), 0);
        EXPECT_EQ(std::string(text, length), std::to_string(value));
        uint64_t back = 0;
        ASSERT_EQ(vt_json_obj_get_number_string(obj, "n", &back), 0);
        EXPECT_EQ(back, value);
    }
}

TEST_F(JsonTest, NumberStringGetterRefusesTextThatIsNotAWholeNumber)
{
    const std::string texts[] = {"12a", "18446744073709551616", "-1", "", " 12", "+5",
                                 std::string("12\0", 3)};
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        ASSERT_EQ(vt_json_obj_string(obj, "n", text.data(), text.size()), 0);
        SyserrCapture capture;
        uint64_t value = 7;
        EXPECT_EQ(vt_json_obj_get_number_string(obj, "n", &value), 1);
        EXPECT_EQ(value, 7u);
        EXPECT_NE(capture.text().find("failed to convert " + std::string(text.c_str()) +
                                      " to uint64_t."),
                  std::string::npos)
            << capture.text();
    }
}

TEST_F(JsonTest, NumberStringGetterReportsMissingKeyAndNonString)
{
    ASSERT_EQ(vt_json_obj_number(obj, "int", 5), 0);
    for (const char *key : {"missing", "int"}) {
        SyserrCapture capture;
        uint64_t value = 0;
        EXPECT_EQ(vt_json_obj_get_number_string(obj, key, &value), 1);
        EXPECT_NE(capture.text().find("vt-core/vt_json (vt_json_obj_get_number_string:"),
                  std::string::npos);
        EXPECT_NE(capture.text().find(std::string("failed to get number string by key ") + key +
                                      "."),
                  std::string::npos)
            << capture.text();
    }
}

TEST_F(JsonTest, SignedNumbersRoundTripAtBothEnds)
{
    for (int64_t value : {INT64_MIN, int64_t(-1), int64_t(0), INT64_MAX}) {
        ASSERT_EQ(vt_json_obj_number(obj, "n", value), 0);
        int64_t back = 1;
        ASSERT_EQ(vt_json_obj_get_number(obj, "n", &back), 0);
        EXPECT_EQ(back, value);
    }
}

TEST_F(JsonTest, StringsKeepTheirExactLength)
{
    ASSERT_EQ(vt_json_obj_string(obj, "s", "a\0bcdef", 3), 0);
    const char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(obj, "s", &text, &length), 0);
    EXPECT_EQ(std::string(text, length), std::string("a\0b", 3));
}

TEST_F(JsonTest, TypedGettersFailSilentlyOnMissingKeysAndOtherTypes)
{
    ASSERT_EQ(vt_json_obj_string(obj, "s", "x", 1), 0);
    ASSERT_EQ(vt_json_obj_number(obj, "n", 1), 0);
    SyserrCapture capture;
    int64_t number = 0;
    const char *text = nullptr;
    size_t length = 0;
    uint8_t *bytes = nullptr;
    vt_json_obj *sub = nullptr;
    vt_json_arr *arr = nullptr;
    EXPECT_EQ(vt_json_obj_get_number(obj, "s", &number), 1);
    EXPECT_EQ(vt_json_obj_get_number(obj, "missing", &number), 1);
    EXPECT_EQ(vt_json_obj_get_string(obj, "n", &text, &length), 1);
    EXPECT_EQ(vt_json_obj_get_binary_(obj, "n", &bytes, &length), 1);
    EXPECT_EQ(vt_json_obj_get_object(obj, "s", &sub), 1);
    EXPECT_EQ(vt_json_obj_get_array(obj, "n", &arr), 1);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(JsonTest, GuardedOperationsReportTheAbsentArgument)
{
    SyserrCapture capture;
    EXPECT_EQ(vt_json_obj_number(obj, nullptr, 1), 1);
    EXPECT_NE(capture.text().find("(vt_json_obj_number:"), std::string::npos);
    EXPECT_NE(capture.text().find("detected invalid reference for argument 2."),
              std::string::npos)
        << capture.text();
    capture.clear();
    EXPECT_EQ(vt_json_obj_string(obj, "k", nullptr, 0), 1);
    EXPECT_NE(capture.text().find("detected invalid reference for argument 3."),
              std::string::npos);
    EXPECT_EQ(vt_json_obj_check_key(obj, "k"), 1);
}

TEST_F(JsonTest, IsNullAnswersOnlyForAKeyHoldingNull)
{
    ASSERT_EQ(vt_json_obj_null(obj, "null"), 0);
    ASSERT_EQ(vt_json_obj_number(obj, "zero", 0), 0);
    ASSERT_EQ(vt_json_obj_string(obj, "empty", "", 0), 0);
    struct {
        const char *key;
        int expected;
    } cases[] = {{"missing", 1}, {"null", 0}, {"zero", 1}, {"empty", 1}};
    for (const auto &c : cases)
        EXPECT_EQ(vt_json_obj_is_null(obj, c.key), c.expected) << c.key;
}

TEST_F(JsonTest, BinaryIsStoredAsBase64AndDecodedBack)
{
    const uint8_t bytes[] = {0, 1, 2, 255};
    ASSERT_EQ(vt_json_obj_binary(obj, "b", bytes, sizeof bytes), 0);
    const char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(obj, "b", &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "AAEC/w==");
    uint8_t *back = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_json_obj_get_binary_(obj, "b", &back, &count), 0);
    ASSERT_EQ(count, sizeof bytes);
    EXPECT_EQ(memcmp(back, bytes, count), 0);
    free(back);
}

TEST_F(JsonTest, BinaryWithNoBytesFailsAndLeavesTheKeyAlone)
{
    const uint8_t bytes[] = {42};
    EXPECT_EQ(vt_json_obj_binary(obj, "absent", bytes, 0), 1);
    EXPECT_EQ(vt_json_obj_check_key(obj, "absent"), 1);
    ASSERT_EQ(vt_json_obj_number(obj, "present", 9), 0);
    EXPECT_EQ(vt_json_obj_binary(obj, "present", bytes, 0), 1);
    int64_t value = 0;
    ASSERT_EQ(vt_json_obj_get_number(obj, "present", &value), 0);
    EXPECT_EQ(value, 9);
}

TEST_F(JsonTest, RefusedKeyLeavesTheDocumentAsItWas)
{
    std::string before = encode(obj);
    EXPECT_EQ(vt_json_obj_number(obj, "\xff\xfe", 1), 1); // not UTF-8
    EXPECT_EQ(encode(obj), before);
}

TEST_F(JsonTest, RemoveAndCheckKey)
{
    ASSERT_EQ(vt_json_obj_null(obj, "k"), 0);
    EXPECT_EQ(vt_json_obj_check_key(obj, "k"), 0);
    EXPECT_EQ(vt_json_obj_remove(obj, "k"), 0);
    EXPECT_EQ(vt_json_obj_check_key(obj, "k"), 1);
    EXPECT_EQ(vt_json_obj_remove(obj, "k"), 1);
}

// --- shared and copied values ---------------------------------------------------

TEST_F(JsonTest, SubObjectsAreSharedWithTheParentAndCopiesAreNot)
{
    vt_json_obj *sub = nullptr, *fetched = nullptr, *copy = nullptr;
    ASSERT_EQ(vt_json_obj_init(&sub), 0);
    ASSERT_EQ(vt_json_obj_object(obj, "sub", sub), 0);
    ASSERT_EQ(vt_json_obj_copy(&copy, obj), 0);
    ASSERT_EQ(vt_json_obj_number(sub, "late", 1), 0); // visible through the parent
    ASSERT_EQ(vt_json_obj_get_object(obj, "sub", &fetched), 0);
    ASSERT_EQ(vt_json_obj_number(fetched, "later", 2), 0);
    vt_json_obj_deit(&sub);
    vt_json_obj_deit(&fetched);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(encode(obj), "{\n    \"sub\": {\n        \"late\": 1,\n        \"later\": 2\n    }\n}");
    EXPECT_EQ(encode(copy), "{\n    \"sub\": {}\n}");
    vt_json_obj *occupied = copy;
    EXPECT_EQ(vt_json_obj_get_object(obj, "sub", &occupied), 1);
    EXPECT_EQ(occupied, copy);
    vt_json_obj_deit(&copy);
}

TEST_F(JsonTest, ArraysHoldSharedObjectsByIndex)
{
    vt_json_arr *arr = nullptr;
    ASSERT_EQ(vt_json_arr_init(&arr), 0);
    for (int64_t i = 0; i < 3; ++i) {
        vt_json_obj *item = nullptr;
        ASSERT_EQ(vt_json_obj_init(&item), 0);
        ASSERT_EQ(vt_json_obj_number(item, "i", i), 0);
        ASSERT_EQ(vt_json_arr_object(arr, item), 0);
        vt_json_obj_deit(&item);
    }
    ASSERT_EQ(vt_json_obj_array(obj, "list", arr), 0);
    vt_json_arr_deit(&arr);
    EXPECT_EQ(arr, nullptr);

    ASSERT_EQ(vt_json_obj_get_array(obj, "list", &arr), 0);
    size_t size = 0;
    ASSERT_EQ(vt_json_arr_size(arr, &size), 0);
    EXPECT_EQ(size, 3u);
    for (size_t i = 0; i < size; ++i) {
        vt_json_obj *item = nullptr;
        ASSERT_EQ(vt_json_arr_get_object(arr, &item, i), 0);
        int64_t value = -1;
        ASSERT_EQ(vt_json_obj_get_number(item, "i", &value), 0);
        EXPECT_EQ(value, int64_t(i));
        vt_json_obj_deit(&item);
    }
    vt_json_obj *item = nullptr;
    EXPECT_EQ(vt_json_arr_get_object(arr, &item, 3), 1);
    EXPECT_EQ(item, nullptr);
    vt_json_arr_deit(&arr);
}

TEST(JsonArray, ElementsThatAreNotObjectsAreRefused)
{
    const char text[] = "{\"list\": [1, {}]}";
    vt_json_obj *obj = nullptr;
    vt_json_arr *arr = nullptr;
    vt_json_obj *item = nullptr;
    ASSERT_EQ(vt_json_obj_decode(&obj, text, sizeof text), 0);
    ASSERT_EQ(vt_json_obj_get_array(obj, "list", &arr), 0);
    EXPECT_EQ(vt_json_arr_get_object(arr, &item, 0), 1);
    EXPECT_EQ(vt_json_arr_get_object(arr, &item, 1), 0);
    vt_json_obj_deit(&item);
    vt_json_arr_deit(&arr);
    vt_json_obj_deit(&obj);
}

// --- decoding and buffers -------------------------------------------------------

TEST(JsonDecode, TheLastByteIsTheSendersZeroAndIsNotParsed)
{
    vt_json_obj *obj = nullptr;
    ASSERT_EQ(vt_json_obj_decode(&obj, "{}", 3), 0);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(encode(obj), "{}");
    vt_json_obj_deit(&obj);

    SyserrCapture capture;
    EXPECT_EQ(vt_json_obj_decode(&obj, "{}", 2), 1); // only "{" is parsed
    EXPECT_EQ(obj, nullptr);
    EXPECT_NE(capture.text().find("(vt_json_obj_decode:"), std::string::npos);
    EXPECT_NE(capture.text().find("failed to decode json; "), std::string::npos)
        << capture.text();
}

TEST(JsonDecode, RefusesShortInputTrailingTextAndOccupiedSlots)
{
    struct {
        const char *bytes;
        size_t length;
    } cases[] = {{"{}", 1}, {"{}", 0}, {"{} x", 5}, {"\"text\"", 7}, {"{\"a\":}", 7}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.bytes) + " / " + std::to_string(c.length));
        SyserrCapture capture;
        vt_json_obj *obj = nullptr;
        EXPECT_EQ(vt_json_obj_decode(&obj, c.bytes, c.length), 1);
        EXPECT_EQ(obj, nullptr);
        EXPECT_NE(capture.text().find("failed to decode json; "), std::string::npos);
    }
    vt_json_obj *occupied = nullptr;
    ASSERT_EQ(vt_json_obj_init(&occupied), 0);
    vt_json_obj *before = occupied;
    EXPECT_EQ(vt_json_obj_decode(&occupied, "{}", 3), 1);
    EXPECT_EQ(occupied, before);
    vt_json_obj_deit(&occupied);
}

TEST_F(JsonTest, EncodedTextDecodesBackToTheSameDocument)
{
    ASSERT_EQ(vt_json_obj_number_string(obj, "size", UINT64_MAX), 0);
    ASSERT_EQ(vt_json_obj_string(obj, "name", "disk0", 5), 0);
    ASSERT_EQ(vt_json_obj_null(obj, "none"), 0);
    char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_encode_(obj, &text, &length), 0);
    vt_json_obj *back = nullptr;
    ASSERT_EQ(vt_json_obj_decode(&back, text, length), 0);
    EXPECT_EQ(encode(back), std::string(text));
    free(text);
    vt_json_obj_deit(&back);
}

TEST_F(JsonTest, EncodeBufferWritesAfterTheCallersHeader)
{
    ASSERT_EQ(vt_json_obj_string(obj, "k", "value", 5), 0);
    std::string expected = encode(obj);
    struct {
        size_t capacity;
        size_t offset;
    } cases[] = {{0, 0}, {64, 8}, {4, 48}, {4096, 100}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.offset);
        vt_buffer *buffer = nullptr;
        ASSERT_EQ(vt_buffer_init(&buffer, c.capacity), 0);
        std::string header(c.offset, 'H');
        if (c.offset) {
            ASSERT_EQ(vt_buffer_write(buffer, header.data(), header.size()), 0);
        }
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_encode_buffer(obj, buffer, c.offset, &length), 0);
        EXPECT_EQ(length, expected.size() + 1);
        EXPECT_EQ(buffer->used, c.offset + length);
        std::string content(reinterpret_cast<char *>(buffer->data), buffer->used);
        EXPECT_EQ(content, header + expected + std::string(1, '\0'));
        vt_buffer_deit(&buffer);
    }
}

TEST_F(JsonTest, SyslogDeliversTheEncodedTextAtLevelTwo)
{
    struct Seen {
        std::string text;
        unsigned level = 99;
    } seen;
    auto cb = [](const char *text, size_t length, void *user, unsigned level) {
        static_cast<Seen *>(user)->text.assign(text, length);
        static_cast<Seen *>(user)->level = level;
    };
    vt_syslog *log = nullptr;
    ASSERT_EQ(vt_syslog_init_cb(&log, cb, &seen), 0);
    ASSERT_EQ(vt_json_obj_number(obj, "n", 3), 0);
    ASSERT_EQ(vt_json_obj_syslog(obj, log), 0);
    EXPECT_EQ(seen.text, encode(obj));
    EXPECT_EQ(seen.level, 2u);
    vt_syslog_deit(&log);
}

// --- files ----------------------------------------------------------------------

class JsonFileTest : public JsonTest {
protected:
    void SetUp() override
    {
        JsonTest::SetUp();
        ASSERT_EQ(vt_json_obj_string(obj, "name", "case1", 5), 0);
        ASSERT_EQ(vt_json_obj_number_string(obj, "size", UINT64_MAX), 0);
    }
    TempDir dir;
    std::string path = dir.file("json");
};

TEST_F(JsonFileTest, FileHoldsTheTextWithoutZeroByteOrFinalLineFeed)
{
    ASSERT_EQ(vt_json_obj_encode_file(obj, path.c_str()), 0);
    std::string content = vt_test::read_file(path);
    EXPECT_EQ(content, encode(obj));
    EXPECT_EQ(content.find('\0'), std::string::npos);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '}');
    EXPECT_EQ(mode_of(path), 0755u);

    vt_json_obj *back = nullptr;
    ASSERT_EQ(vt_json_obj_decode_file(&back, path.c_str()), 0);
    uint64_t size = 0;
    ASSERT_EQ(vt_json_obj_get_number_string(back, "size", &size), 0);
    EXPECT_EQ(size, UINT64_MAX);
    EXPECT_EQ(encode(back), content);
    vt_json_obj_deit(&back);
}

TEST_F(JsonFileTest, ReplacesAnExistingFileWholeAndLeavesNoTemporaryFile)
{
    std::string longer(10000, 'o');
    vt_test::write_file(path, longer);
    chmod(path.c_str(), 0755);
    ASSERT_EQ(vt_json_obj_encode_file_mode(obj, path.c_str(), 0600), 0);
    EXPECT_EQ(vt_test::read_file(path), encode(obj)); // no old bytes behind the new text
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"json"});
}

TEST_F(JsonFileTest, ModeIsExactWhateverTheCreationMask)
{
    mode_t saved = umask(077);
    EXPECT_EQ(vt_json_obj_encode_file(obj, path.c_str()), 0);
    umask(saved);
    EXPECT_EQ(mode_of(path), 0755u);
}

TEST_F(JsonFileTest, UnreachablePathsFailWithTheCreateReport)
{
    vt_test::write_file(dir.file("plain"), "x");
    for (const std::string &target : {dir.file("missing/json"), dir.file("plain/json")}) {
        SCOPED_TRACE(target);
        SyserrCapture capture;
        EXPECT_EQ(vt_json_obj_encode_file(obj, target.c_str()), 1);
        EXPECT_NE(capture.text().find("(vt_json_obj_encode_file_mode:"), std::string::npos);
        EXPECT_NE(capture.text().find("failed to create json file on '" + target + "'."),
                  std::string::npos)
            << capture.text();
    }
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"plain"});
    EXPECT_EQ(vt_test::read_file(dir.file("plain")), "x");
}

// The rename is the last step: when it cannot replace the path, the path keeps
// what it was and the temporary file is gone.
TEST_F(JsonFileTest, FailedRenameLeavesTheOldPathAndNoTemporaryFile)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    vt_test::write_file(path + "/inside", "keep");
    SyserrCapture capture;
    EXPECT_EQ(vt_json_obj_encode_file(obj, path.c_str()), 1);
    EXPECT_NE(capture.text().find("failed to create json file on '" + path + "'."),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"json"});
    EXPECT_EQ(vt_test::read_file(path + "/inside"), "keep");
}

// A file-size limit makes the write itself fail part way, which is the crash-like
// case the temporary file exists for: the old content must survive untouched.
TEST_F(JsonFileTest, FailedWriteLeavesTheOldContentIntact)
{
    const std::string old = "{\n    \"old\": 1\n}";
    vt_test::write_file(path, old);
    std::string big(4096, 'v');
    ASSERT_EQ(vt_json_obj_string(obj, "big", big.data(), big.size()), 0);

    struct rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result;
    std::string report;
    {
        SyserrCapture capture;
        result = vt_json_obj_encode_file(obj, path.c_str());
        report = capture.text();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(result, 1);
    EXPECT_NE(report.find("failed to write json file."), std::string::npos) << report;
    EXPECT_NE(report.find("Error Number: " + std::to_string(EFBIG)), std::string::npos);
    EXPECT_EQ(vt_test::read_file(path), old);
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"json"});
}

TEST_F(JsonFileTest, DecodeFileReportsEachKindOfFailure)
{
    vt_test::write_file(dir.file("garbage"), "{\"a\": ");
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.file("missing"), "failed to open json file '" + dir.file("missing") + "'."},
        {dir.file("garbage"), "failed to decode json; "},
        {dir.file("folder"), "failed to read json object."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        SyserrCapture capture;
        vt_json_obj *back = nullptr;
        EXPECT_EQ(vt_json_obj_decode_file(&back, c.path.c_str()), 1);
        EXPECT_EQ(back, nullptr);
        EXPECT_NE(capture.text().find("(vt_json_obj_decode_file:"), std::string::npos);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
}

TEST_F(JsonFileTest, DecodeFileRefusesAnOccupiedSlot)
{
    ASSERT_EQ(vt_json_obj_encode_file(obj, path.c_str()), 0);
    vt_json_obj *occupied = obj;
    SyserrCapture capture;
    EXPECT_EQ(vt_json_obj_decode_file(&occupied, path.c_str()), 1);
    EXPECT_EQ(occupied, obj);
    EXPECT_NE(capture.text().find("failed to create json object."), std::string::npos);
}

} // namespace
