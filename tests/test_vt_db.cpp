// Tests of the subject and target records: both JSON forms compared as exact
// text, round trips through the document form, refusal of malformed documents,
// and the platform words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "vt_db.h"
#include "vt_json.h"
#include "vt_test_json.h"
#include "vt_test_util.h"

namespace {

using ObjPtr = vt_test::JsonPtr;
using vt_test::parse_json;

std::string encode(vt_json_obj *obj)
{
    char *text = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_json_obj_encode_(obj, &text, &length), 0);
    std::string result(text, length - 1);
    std::free(text);
    return result;
}

// Records under test borrow their texts from string literals.
vt_string text(std::string_view literal)
{
    return literal.empty() ? vt_string{} : vt_string{const_cast<char *>(literal.data()), literal.size()};
}

std::string str(const vt_string &s)
{
    return s.text ? std::string(s.text, s.length) : std::string();
}

void expect_report(const std::string &report, const std::string &function, const std::string &message)
{
    const std::string head = "[syserr]: vt-core/vt_db (" + function + ":";
    const std::string tail = "); " + message + ".\n";
    ASSERT_GT(report.size(), head.size() + tail.size()) << report;
    EXPECT_EQ(report.substr(0, head.size()), head) << report;
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail) << report;
    const std::string line = report.substr(head.size(), report.size() - head.size() - tail.size());
    EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << report;
}

// ---- target records ----

constexpr std::string_view kTargetEntry = R"({
    "block_count": "AAAAAAAAEAA=",
    "block_size": 512,
    "id": 3,
    "name": "disk0",
    "type": 2
})";

TEST(TargetRecord, LoadsEntryWithBigEndianBlockCount)
{
    ObjPtr entry = parse_json(kTargetEntry);
    vt_db_target record = {};
    ASSERT_EQ(vt_db_target_load(&record, entry.get()), 0);
    EXPECT_EQ(str(record.name), "disk0");
    EXPECT_EQ(record.id, 3u);
    EXPECT_EQ(record.type, 2u);
    EXPECT_EQ(record.block_size, 512u);
    EXPECT_EQ(record.block_count, 4096u);
}

TEST(TargetRecord, DocumentFormIsTheTargetEntry)
{
    vt_db_target record = {text("disk0"), 3, 2, 512, 4096};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_target_dump(&record, &raw), 0);
    ObjPtr document(raw);
    EXPECT_EQ(encode(document.get()), kTargetEntry);
}

TEST(TargetRecord, ReadableFormShowsDecimalBlockCount)
{
    vt_db_target record = {text("disk0"), 3, 2, 512, 4096};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_target_dump_readable(&record, &raw), 0);
    ObjPtr document(raw);
    EXPECT_EQ(encode(document.get()), R"({
    "block_count": "4096",
    "block_size": 512,
    "id": 3,
    "name": "disk0",
    "type": 2
})");
}

// Every byte of the count must survive, most significant first.
TEST(TargetRecord, DocumentRoundTripKeepsEveryField)
{
    vt_db_target record = {text("Macintosh HD \xE2\x80\x94 Data"), 0x7FFFFFFF, 17, 4096,
                           0x0102030405060708ull};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_target_dump(&record, &raw), 0);
    ObjPtr document(raw);
    const char *count = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(document.get(), "block_count", &count, &length), 0);
    EXPECT_EQ(std::string(count, length), "AQIDBAUGBwg=");

    // Through text, as the entry travels on the wire and in the cache files.
    ObjPtr reread = parse_json(encode(document.get()));
    vt_db_target loaded = {};
    ASSERT_EQ(vt_db_target_load(&loaded, reread.get()), 0);
    EXPECT_EQ(str(loaded.name), str(record.name));
    EXPECT_EQ(loaded.id, record.id);
    EXPECT_EQ(loaded.type, record.type);
    EXPECT_EQ(loaded.block_size, record.block_size);
    EXPECT_EQ(loaded.block_count, record.block_count);
}

TEST(TargetRecord, BlockCountLongerThanEightBytesUsesTheFirstEight)
{
    // 00 00 00 00 00 00 10 00 FF
    ObjPtr entry = parse_json(R"({"block_count": "AAAAAAAAEAD/", "block_size": 512, "id": 1,
                             "name": "d", "type": 0})");
    vt_db_target record = {};
    ASSERT_EQ(vt_db_target_load(&record, entry.get()), 0);
    EXPECT_EQ(record.block_count, 4096u);
}

struct BadEntry {
    const char *name;
    const char *json;
};

void PrintTo(const BadEntry &e, std::ostream *os) { *os << e.name; }

class TargetLoadFailure : public ::testing::TestWithParam<BadEntry> {};

TEST_P(TargetLoadFailure, IsRefusedWithoutReport)
{
    vt_test::SyserrCapture capture;
    ObjPtr entry = parse_json(GetParam().json);
    vt_db_target record = {};
    EXPECT_EQ(vt_db_target_load(&record, entry.get()), 1);
    EXPECT_EQ(capture.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, TargetLoadFailure,
    ::testing::Values(
        BadEntry{"BlockCountInteger",
                 R"({"block_count": 4096, "block_size": 512, "id": 3, "name": "disk0", "type": 2})"},
        BadEntry{"BlockCountUnderEightBytes",
                 R"({"block_count": "AAAQ", "block_size": 512, "id": 3, "name": "disk0", "type": 2})"},
        BadEntry{"BlockCountMissing", R"({"block_size": 512, "id": 3, "name": "disk0", "type": 2})"},
        BadEntry{"NameMissing", R"({"block_count": "AAAAAAAAEAA=", "block_size": 512, "id": 3, "type": 2})"},
        BadEntry{"NameNotString",
                 R"({"block_count": "AAAAAAAAEAA=", "block_size": 512, "id": 3, "name": 7, "type": 2})"},
        BadEntry{"IdAsText",
                 R"({"block_count": "AAAAAAAAEAA=", "block_size": 512, "id": "3", "name": "d", "type": 2})"},
        BadEntry{"TypeMissing", R"({"block_count": "AAAAAAAAEAA=", "block_size": 512, "id": 3, "name": "d"})"},
        BadEntry{"BlockSizeNull",
                 R"({"block_count": "AAAAAAAAEAA=", "block_size": null, "id": 3, "name": "d", "type": 2})"}),
    [](const ::testing::TestParamInfo<BadEntry> &info) { return std::string(info.param.name); });

TEST(TargetRecord, ReadableDumpRefusesMissingArguments)
{
    vt_test::SyserrCapture capture;
    vt_db_target record = {text("disk0"), 3, 2, 512, 4096};
    EXPECT_EQ(vt_db_target_dump_readable(nullptr, nullptr), 1);
    expect_report(capture.text(), "vt_db_target_dump_readable", "invalid paramaters");

    // An occupied slot is never overwritten.
    ObjPtr occupied = parse_json("{}");
    vt_json_obj *slot = occupied.get();
    capture.clear();
    EXPECT_EQ(vt_db_target_dump_readable(&record, &slot), 1);
    EXPECT_EQ(slot, occupied.get());
    EXPECT_NE(capture.text().find("invalid paramaters"), std::string::npos);
    EXPECT_EQ(vt_db_target_dump(&record, &slot), 1);
    EXPECT_EQ(slot, occupied.get());
}

// ---- subject records ----

constexpr std::string_view kSubjectDocument = R"({
    "address": "10.0.0.5",
    "hostname": "host1",
    "module": 7,
    "path": "sub",
    "platform": "Linux 6.1",
    "port": "3262",
    "seconds": "AQIDBAUGBwg=",
    "subject_type": 6,
    "time": "2024-01-01T00:00:00Z",
    "uuid": null,
    "version": "1.4.2"
})";

vt_db_subject full_subject()
{
    return vt_db_subject{text("host1"), text("10.0.0.5"), text("Linux 6.1"), text("1.4.2"),
                         7, text("5E2A7C1D-0000-4000-8000-00000000ABCD"), text("2024-01-01T00:00:00Z"),
                         0x0102030405060708ull, text("3262"), text("sub"), 6};
}

TEST(SubjectRecord, LoadsInformationDocument)
{
    ObjPtr document = parse_json(kSubjectDocument);
    vt_db_subject record = {};
    ASSERT_EQ(vt_db_subject_load(&record, document.get()), 0);
    EXPECT_EQ(str(record.hostname), "host1");
    EXPECT_EQ(str(record.address), "10.0.0.5");
    EXPECT_EQ(str(record.platform), "Linux 6.1");
    EXPECT_EQ(str(record.version), "1.4.2");
    EXPECT_EQ(record.module, 7u);
    EXPECT_EQ(record.uuid.text, nullptr);
    EXPECT_EQ(record.uuid.length, 0u);
    EXPECT_EQ(str(record.time), "2024-01-01T00:00:00Z");
    EXPECT_EQ(record.seconds, 0x0102030405060708ull);
    EXPECT_EQ(str(record.port), "3262");
    EXPECT_EQ(str(record.path), "sub");
    EXPECT_EQ(record.subject_type, 6u);
}

TEST(SubjectRecord, DocumentRoundTripKeepsEveryField)
{
    const vt_db_subject record = full_subject();
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_subject_dump(&record, &raw), 0);
    ObjPtr document(raw);
    ObjPtr reread = parse_json(encode(document.get()));
    vt_db_subject loaded = {};
    ASSERT_EQ(vt_db_subject_load(&loaded, reread.get()), 0);
    EXPECT_EQ(str(loaded.hostname), str(record.hostname));
    EXPECT_EQ(str(loaded.address), str(record.address));
    EXPECT_EQ(str(loaded.platform), str(record.platform));
    EXPECT_EQ(str(loaded.version), str(record.version));
    EXPECT_EQ(loaded.module, record.module);
    EXPECT_EQ(str(loaded.uuid), str(record.uuid));
    EXPECT_EQ(str(loaded.time), str(record.time));
    EXPECT_EQ(loaded.seconds, record.seconds);
    EXPECT_EQ(str(loaded.port), str(record.port));
    EXPECT_EQ(str(loaded.path), str(record.path));
    EXPECT_EQ(loaded.subject_type, record.subject_type);
}

// Empty texts are written as null; the count travels as 8 big-endian bytes.
TEST(SubjectRecord, DocumentFormWritesNullForEmptyTexts)
{
    vt_db_subject record = full_subject();
    record.uuid = {};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_subject_dump(&record, &raw), 0);
    ObjPtr document(raw);
    EXPECT_EQ(encode(document.get()), kSubjectDocument);

    // A zero-length text that still has an area is empty too.
    vt_db_subject blank = full_subject();
    blank.version = {const_cast<char *>(""), 0};
    blank.time = {};
    vt_json_obj *blank_raw = nullptr;
    ASSERT_EQ(vt_db_subject_dump(&blank, &blank_raw), 0);
    ObjPtr blank_document(blank_raw);
    EXPECT_EQ(vt_json_obj_is_null(blank_document.get(), "version"), 0);
    EXPECT_EQ(vt_json_obj_is_null(blank_document.get(), "time"), 0);
}

TEST(SubjectRecord, ReadableFormHasPlatformWordAndNoModule)
{
    vt_db_subject record = full_subject();
    record.version = {};
    record.uuid = {};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_subject_dump_readable(&record, &raw), 0);
    ObjPtr document(raw);
    EXPECT_EQ(encode(document.get()), R"({
    "address": "10.0.0.5",
    "hostname": "host1",
    "path": "sub",
    "platform": "Linux 6.1",
    "port": "3262",
    "seconds": "72623859790382856",
    "subject_type": "lin",
    "time": "2024-01-01T00:00:00Z",
    "uuid": null,
    "version": null
})");
}

TEST(SubjectRecord, ReadableDumpRefusesMissingArguments)
{
    vt_test::SyserrCapture capture;
    const vt_db_subject record = full_subject();
    vt_json_obj *raw = nullptr;
    EXPECT_EQ(vt_db_subject_dump_readable(nullptr, &raw), 1);
    EXPECT_EQ(raw, nullptr);
    expect_report(capture.text(), "vt_db_subject_dump_readable", "invalid paramaters");
    capture.clear();
    EXPECT_EQ(vt_db_subject_dump_readable(&record, nullptr), 1);
    expect_report(capture.text(), "vt_db_subject_dump_readable", "invalid paramaters");
}

enum class Change { remove, null, integer, text };

struct SubjectEdit {
    const char *name;
    const char *key;
    Change change;
    const char *text = "";  // for Change::text
};

int apply(vt_json_obj *document, const SubjectEdit &edit)
{
    switch (edit.change) {
    case Change::remove:
        return vt_json_obj_remove(document, edit.key);
    case Change::null:
        return vt_json_obj_null(document, edit.key);
    case Change::integer:
        return vt_json_obj_number(document, edit.key, 12);
    case Change::text:
        return vt_json_obj_string(document, edit.key, edit.text, std::string_view(edit.text).size());
    }
    return 1;
}

void PrintTo(const SubjectEdit &e, std::ostream *os) { *os << e.name; }

class SubjectLoadFailure : public ::testing::TestWithParam<SubjectEdit> {};

// The document differs from a good one in exactly one member.
TEST_P(SubjectLoadFailure, IsRefusedWithoutReport)
{
    ObjPtr document = parse_json(kSubjectDocument);
    ASSERT_EQ(apply(document.get(), GetParam()), 0);
    vt_test::SyserrCapture capture;
    vt_db_subject record = {};
    EXPECT_EQ(vt_db_subject_load(&record, document.get()), 1);
    EXPECT_EQ(capture.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, SubjectLoadFailure,
    ::testing::Values(SubjectEdit{"UuidMissing", "uuid", Change::remove},
                      SubjectEdit{"TimeMissing", "time", Change::remove},
                      SubjectEdit{"UuidInteger", "uuid", Change::integer},
                      SubjectEdit{"HostnameMissing", "hostname", Change::remove},
                      SubjectEdit{"VersionNull", "version", Change::null},
                      SubjectEdit{"ModuleAsText", "module", Change::text, "7"},
                      SubjectEdit{"SecondsInteger", "seconds", Change::integer},
                      SubjectEdit{"SecondsUnderEightBytes", "seconds", Change::text, "AAAQ"},
                      SubjectEdit{"PortNumber", "port", Change::integer},
                      SubjectEdit{"PathMissing", "path", Change::remove},
                      SubjectEdit{"SubjectTypeMissing", "subject_type", Change::remove}),
    [](const ::testing::TestParamInfo<SubjectEdit> &info) { return std::string(info.param.name); });

// ---- platform words ----

struct PlatformCase {
    uint64_t code;
    const char *word;
};

void PrintTo(const PlatformCase &c, std::ostream *os) { *os << "code " << c.code; }

class PlatformWord : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(PlatformWord, CodeGivesWord)
{
    vt_string word = {};
    ASSERT_EQ(vt_subject_type_to_str(GetParam().code, &word), 0);
    EXPECT_EQ(str(word), GetParam().word);
    vt_string_free(&word);
}

INSTANTIATE_TEST_SUITE_P(Codes, PlatformWord,
                         ::testing::Values(PlatformCase{1, "win"}, PlatformCase{2, "osx"},
                                           PlatformCase{3, "sun"}, PlatformCase{4, "sun"},
                                           PlatformCase{5, "aix"}, PlatformCase{6, "lin"},
                                           PlatformCase{0, "n/a"}, PlatformCase{7, "n/a"},
                                           PlatformCase{0x100000001ull, "n/a"}));

TEST(PlatformWord, FilledStringIsNotOverwritten)
{
    vt_string word = {};
    ASSERT_EQ(vt_subject_type_to_str(1, &word), 0);
    char *before = word.text;
    EXPECT_EQ(vt_subject_type_to_str(6, &word), 1);
    EXPECT_EQ(word.text, before);
    EXPECT_EQ(str(word), "win");
    vt_string_free(&word);
}

// ---- the in-memory target table ----

struct DbDeleter {
    void operator()(vt_db *db) const { vt_db_deit(&db); }
};
using DbPtr = std::unique_ptr<vt_db, DbDeleter>;

DbPtr open_table()
{
    vt_db *db = nullptr;
    EXPECT_EQ(vt_db_init(&db, nullptr), 0);
    return DbPtr(db);
}

// A row as the select handed it out, with its name copied while it was valid.
struct Row {
    std::string name;
    uint64_t id, type, block_size, block_count;
    bool operator==(const Row &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Row &row)
{
    return out << "{" << row.name << ", " << row.id << ", " << row.type << ", " << row.block_size
               << ", " << row.block_count << "}";
}

int collect_row(const vt_db_target *record, void *user)
{
    static_cast<std::vector<Row> *>(user)->push_back(
        {str(record->name), record->id, record->type, record->block_size, record->block_count});
    return 0;
}

void insert_row(vt_db *db, const Row &row)
{
    vt_db_target record = {text(row.name), row.id, row.type, row.block_size, row.block_count};
    ASSERT_EQ(vt_db_target_insert(db, &record), 0) << row;
}

const std::vector<Row> kRows = {
    {"disk0", 3, 1, 512, 4096},
    {"Disk0", 4, 2, 4096, 0xFFFFFFFFFFFFFFFFull},
    {"vol 1", 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 1},
};

TEST(TargetTable, EmptyTableHasNoRows)
{
    DbPtr db = open_table();
    size_t count = 99;
    ASSERT_EQ(vt_db_target_count_all(db.get(), &count), 0);
    EXPECT_EQ(count, 0u);
    std::vector<Row> rows;
    EXPECT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    EXPECT_TRUE(rows.empty());
}

TEST(TargetTable, RowsComeBackInInsertionOrderWithEveryField)
{
    DbPtr db = open_table();
    for (const Row &row : kRows)
        insert_row(db.get(), row);
    size_t count = 0;
    ASSERT_EQ(vt_db_target_count_all(db.get(), &count), 0);
    EXPECT_EQ(count, kRows.size());
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    EXPECT_EQ(rows, kRows);
    // The statements are reused: a second select sees the same rows again.
    rows.clear();
    ASSERT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    EXPECT_EQ(rows, kRows);
}

TEST(TargetTable, NameIsStoredWithItsExactLength)
{
    DbPtr db = open_table();
    // Only the counted bytes belong to the name, not what follows them in memory.
    static const char backing[] = "disk0s1";
    vt_db_target record = {{const_cast<char *>(backing), 5}, 1, 0, 512, 8};
    ASSERT_EQ(vt_db_target_insert(db.get(), &record), 0);
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "disk0");
}

TEST(TargetTable, SelectByIdFindsOnlyThatId)
{
    DbPtr db = open_table();
    for (const Row &row : kRows)
        insert_row(db.get(), row);
    for (const Row &row : kRows) {
        std::vector<Row> rows;
        ASSERT_EQ(vt_db_target_select_id(db.get(), collect_row, &rows, static_cast<uint32_t>(row.id)), 0);
        EXPECT_EQ(rows, std::vector<Row>{row});
    }
    std::vector<Row> none;
    EXPECT_EQ(vt_db_target_select_id(db.get(), collect_row, &none, 77), 0);
    EXPECT_TRUE(none.empty());
}

TEST(TargetTable, SecondListingAddsTheRowsAgain)
{
    DbPtr db = open_table();
    for (int pass = 0; pass < 2; ++pass)
        for (const Row &row : kRows)
            insert_row(db.get(), row);
    size_t count = 0;
    ASSERT_EQ(vt_db_target_count_all(db.get(), &count), 0);
    EXPECT_EQ(count, 2 * kRows.size());
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select_id(db.get(), collect_row, &rows, 3), 0);
    EXPECT_EQ(rows, (std::vector<Row>{kRows[0], kRows[0]}));
}

TEST(TargetTable, IdIsKeptAsThirtyTwoBits)
{
    DbPtr db = open_table();
    // 2^32 + 5 is stored as 5: the table keeps 32 bits of the id.
    insert_row(db.get(), {"wide", 0x100000005ull, 0, 512, 1});
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select_id(db.get(), collect_row, &rows, 5), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].id, 5u);
}

int stop_at_first(const vt_db_target *, void *user)
{
    ++*static_cast<int *>(user);
    return 1;
}

TEST(TargetTable, CallbackResultStopsTheSelect)
{
    DbPtr db = open_table();
    for (const Row &row : kRows)
        insert_row(db.get(), row);
    int calls = 0;
    EXPECT_EQ(vt_db_target_select(db.get(), stop_at_first, &calls), 1);
    EXPECT_EQ(calls, 1);
    // The stopped statement is reset: the next select starts at the first row.
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    EXPECT_EQ(rows, kRows);
}

TEST(TargetTable, UnopenableFileIsReportedWithSqliteText)
{
    vt_test::SyserrCapture capture;
    vt_db *db = nullptr;
    EXPECT_EQ(vt_db_init(&db, "/nonexistent-dir/for/sure/targets.db"), 1);
    EXPECT_EQ(db, nullptr);
    expect_report(capture.text(), "vt_db_init", "failed to create database; unable to open database file");
}

TEST(TargetTable, FileDatabaseHoldsTheSameTable)
{
    vt_test::TempDir dir;
    vt_db *raw = nullptr;
    ASSERT_EQ(vt_db_init(&raw, dir.file("targets.db").c_str()), 0);
    DbPtr db(raw);
    insert_row(db.get(), kRows[0]);
    std::vector<Row> rows;
    ASSERT_EQ(vt_db_target_select(db.get(), collect_row, &rows), 0);
    EXPECT_EQ(rows, std::vector<Row>{kRows[0]});
}

TEST(TargetTable, OccupiedSlotIsRefused)
{
    DbPtr db = open_table();
    vt_db *slot = db.get();
    EXPECT_EQ(vt_db_init(&slot, nullptr), 1);
    EXPECT_EQ(slot, db.get());
}

} // namespace
