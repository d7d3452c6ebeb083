// Subject and target records and their JSON forms. The document form is the body
// a subject sends and the content of the cache files; the readable form is what
// the listing commands print. The in-memory target table shares this module.
#include "vt_db.h"

#include <endian.h>
#include <sqlite3.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "vt_json.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

using json_obj_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

struct free_deleter {
    void operator()(void *area) const { std::free(area); }
};

struct string_deleter {
    void operator()(vt_string *string) const { vt_string_free(string); }
};

// Wire form of 64-bit counts and times: 8 bytes, most significant first.
constexpr size_t kBe64Size = 8;

// Platform words indexed by the code the subject reports; 0 and codes past the
// table are not platforms and show as "n/a".
constexpr std::array<std::string_view, 7> kPlatformWords = {
    "n/a", "win", "osx", "sun", "sun", "aix", "lin",
};
constexpr std::string_view kPlatformUnknown = "n/a";

} // namespace

static int get_text(const vt_json_obj *document, const char *key, vt_string *out)
{
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(document, key, &text, &length))
        return 1;
    // Borrowed from the document: a loaded record does not own its texts.
    out->text = const_cast<char *>(text);
    out->length = length;
    return 0;
}

// A text whose key must be present but may hold null (left empty). A missing
// key is not null, so it falls through to the string getter and fails there.
static int get_nullable_text(const vt_json_obj *document, const char *key, vt_string *out)
{
    if (vt_json_obj_is_null(document, key) == 0)
        return 0;
    return get_text(document, key, out);
}

static int get_u64(const vt_json_obj *document, const char *key, uint64_t *out)
{
    int64_t value = 0;
    if (vt_json_obj_get_number(document, key, &value))
        return 1;
    *out = static_cast<uint64_t>(value);
    return 0;
}

// Base64 text of at least 8 bytes, the first 8 read big-endian.
static int get_be64(const vt_json_obj *document, const char *key, uint64_t *out)
{
    uint8_t *bytes = nullptr;
    size_t count = 0;
    if (vt_json_obj_get_binary_(document, key, &bytes, &count))
        return 1;
    std::unique_ptr<uint8_t, free_deleter> owned(bytes);
    if (count < kBe64Size)
        return 1;
    uint64_t big_endian = 0;
    std::memcpy(&big_endian, owned.get(), kBe64Size);
    *out = be64toh(big_endian);
    return 0;
}

static int put_be64(vt_json_obj *document, const char *key, uint64_t value)
{
    const uint64_t big_endian = htobe64(value);
    return vt_json_obj_binary(document, key, &big_endian, kBe64Size);
}

static int put_number(vt_json_obj *document, const char *key, uint64_t value)
{
    return vt_json_obj_number(document, key, static_cast<int64_t>(value));
}

// Subject texts: an empty field is written as null.
static int put_text_or_null(vt_json_obj *document, const char *key, const vt_string &text)
{
    if (!text.text || text.length == 0)
        return vt_json_obj_null(document, key);
    return vt_json_obj_string(document, key, text.text, text.length);
}

// The members both target forms share; only "block_count" differs.
static int put_target_common(vt_json_obj *document, const vt_db_target *record)
{
    // A nameless target still gets a string, as a target entry requires.
    const char *name = record->name.text ? record->name.text : "";
    const size_t length = record->name.text ? record->name.length : 0;
    return vt_json_obj_string(document, "name", name, length) ||
           put_number(document, "id", record->id) || put_number(document, "type", record->type) ||
           put_number(document, "block_size", record->block_size);
}

// The members both subject forms share: the eight texts.
static int put_subject_texts(vt_json_obj *document, const vt_db_subject *record)
{
    return put_text_or_null(document, "hostname", record->hostname) ||
           put_text_or_null(document, "address", record->address) ||
           put_text_or_null(document, "platform", record->platform) ||
           put_text_or_null(document, "version", record->version) ||
           put_text_or_null(document, "time", record->time) ||
           put_text_or_null(document, "uuid", record->uuid) ||
           put_text_or_null(document, "port", record->port) ||
           put_text_or_null(document, "path", record->path);
}

static json_obj_ptr new_object()
{
    vt_json_obj *document = nullptr;
    if (vt_json_obj_init(&document))
        return nullptr;
    return json_obj_ptr(document);
}

int vt_db_target_load(vt_db_target *record, const vt_json_obj *document)
{
    if (!record || !document)
        return 1;
    *record = {};
    return get_text(document, "name", &record->name) || get_u64(document, "id", &record->id) ||
           get_u64(document, "type", &record->type) ||
           get_u64(document, "block_size", &record->block_size) ||
           get_be64(document, "block_count", &record->block_count);
}

int vt_db_target_dump(const vt_db_target *record, vt_json_obj **document)
{
    if (!record || !document || *document)
        return 1;
    json_obj_ptr object = new_object();
    if (!object || put_target_common(object.get(), record) ||
        put_be64(object.get(), "block_count", record->block_count))
        return 1;
    *document = object.release();
    return 0;
}

int vt_db_target_dump_readable(const vt_db_target *record, vt_json_obj **document)
{
    json_obj_ptr object = record && document && !*document ? new_object() : nullptr;
    if (!object)
        return VT_ERR("invalid paramaters");
    if (put_target_common(object.get(), record) ||
        vt_json_obj_number_string(object.get(), "block_count", record->block_count))
        return VT_ERR("failed to encode target to object");
    *document = object.release();
    return 0;
}

int vt_db_subject_load(vt_db_subject *record, const vt_json_obj *document)
{
    if (!record || !document)
        return 1;
    *record = {};
    return get_text(document, "hostname", &record->hostname) ||
           get_text(document, "address", &record->address) ||
           get_text(document, "platform", &record->platform) ||
           get_text(document, "version", &record->version) ||
           get_u64(document, "module", &record->module) ||
           get_nullable_text(document, "time", &record->time) ||
           get_nullable_text(document, "uuid", &record->uuid) ||
           get_be64(document, "seconds", &record->seconds) ||
           get_text(document, "port", &record->port) ||
           get_text(document, "path", &record->path) ||
           get_u64(document, "subject_type", &record->subject_type);
}

int vt_db_subject_dump(const vt_db_subject *record, vt_json_obj **document)
{
    if (!record || !document || *document)
        return 1;
    json_obj_ptr object = new_object();
    if (!object || put_subject_texts(object.get(), record) ||
        put_number(object.get(), "module", record->module) ||
        put_be64(object.get(), "seconds", record->seconds) ||
        put_number(object.get(), "subject_type", record->subject_type))
        return 1;
    *document = object.release();
    return 0;
}

int vt_db_subject_dump_readable(const vt_db_subject *record, vt_json_obj **document)
{
    json_obj_ptr object = record && document && !*document ? new_object() : nullptr;
    if (!object)
        return VT_ERR("invalid paramaters");
    vt_string word = {};
    if (vt_subject_type_to_str(record->subject_type, &word))
        return VT_ERR("failed to convert subject type -- %d", static_cast<int>(record->subject_type));
    std::unique_ptr<vt_string, string_deleter> owned_word(&word);
    if (put_subject_texts(object.get(), record) ||
        vt_json_obj_number_string(object.get(), "seconds", record->seconds) ||
        vt_json_obj_string(object.get(), "subject_type", word.text, word.length))
        return VT_ERR("failed to encode subject to object");
    *document = object.release();
    return 0;
}

int vt_subject_type_to_str(uint64_t code, vt_string *word)
{
    if (!word || word->text)
        return 1;
    const std::string_view text = code < kPlatformWords.size() ? kPlatformWords[code] : kPlatformUnknown;
    return vt_string_copy(word, text.data(), text.size());
}

// ---- The in-memory target table ----

namespace {

constexpr const char *kCreateTargetTable =
    "CREATE TABLE IF NOT EXISTS target(name TEXT, id INTEGER,type INTEGER, block_size INTEGER, "
    "block_count INTEGER);";
constexpr const char *kSelectAllTargets = "SELECT * FROM target;";
constexpr const char *kCountAllTargets = "SELECT COUNT(*) FROM target;";
constexpr const char *kInsertTarget = "INSERT INTO target VALUES(?, ?, ?, ?, ?);";
constexpr const char *kSelectTargetById = "SELECT * FROM target WHERE id = ?;";

// Column (and parameter) positions of a target row, as the table declares them.
enum target_column : int { kColName, kColId, kColType, kColBlockSize, kColBlockCount };

using db_deleter = vt_deit_deleter<vt_db_deit>;

} // namespace

// The id, type and block size live in 32-bit columns; wider values are cut.
// Parameters count from 1.
static int bind_int32(sqlite3_stmt *statement, int parameter, uint64_t value)
{
    return sqlite3_bind_int(statement, parameter, static_cast<int32_t>(value)) != SQLITE_OK;
}

// Read back as 32-bit signed values and widened: 31 bits survive the round trip.
static uint64_t column_int32(sqlite3_stmt *statement, int column)
{
    return static_cast<uint64_t>(static_cast<int64_t>(sqlite3_column_int(statement, column)));
}

static int prepare(sqlite3 *handle, const char *sql, sqlite3_stmt **statement)
{
    return sqlite3_prepare_v2(handle, sql, -1, statement, nullptr) != SQLITE_OK;
}

static int vt_db_open(vt_db *db, const char *path)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    return sqlite3_open_v2(path ? path : ":memory:", &db->handle, flags, nullptr) != SQLITE_OK ||
           sqlite3_exec(db->handle, kCreateTargetTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
           prepare(db->handle, kSelectAllTargets, &db->select_all) ||
           prepare(db->handle, kCountAllTargets, &db->count_all) ||
           prepare(db->handle, kInsertTarget, &db->insert) ||
           prepare(db->handle, kSelectTargetById, &db->select_id);
}

// Steps a reset statement through its rows. A step error is a failure: a partial
// list must not pass for the whole table.
static int select_rows(vt_db *db, sqlite3_stmt *statement, vt_db_target_cb callback, void *user)
{
    int step = SQLITE_ROW;
    int result = 0;
    while (result == 0 && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        vt_db_target record = {};
        const unsigned char *name = sqlite3_column_text(statement, kColName);
        if (name) {
            record.name.text = const_cast<char *>(reinterpret_cast<const char *>(name));
            record.name.length = static_cast<size_t>(sqlite3_column_bytes(statement, kColName));
        }
        record.id = column_int32(statement, kColId);
        record.type = column_int32(statement, kColType);
        record.block_size = column_int32(statement, kColBlockSize);
        record.block_count = static_cast<uint64_t>(sqlite3_column_int64(statement, kColBlockCount));
        result = callback(&record, user) ? 1 : 0;
    }
    if (result == 0 && step != SQLITE_DONE)
        result = VT_ERR("failed to select targets; %s", sqlite3_errmsg(db->handle));
    sqlite3_reset(statement);
    return result;
}

int vt_db_init(vt_db **slot, const char *path)
{
    if (VT_NIL(1, slot) || *slot)
        return 1;
    std::unique_ptr<vt_db, db_deleter> db(new (std::nothrow) vt_db{});
    if (!db)
        return VT_ERR("failed to create database; %s", "out of memory");
    // The message is built before the deleter closes the handle it comes from.
    if (vt_db_open(db.get(), path))
        return VT_ERR("failed to create database; %s", sqlite3_errmsg(db->handle));
    *slot = db.release();
    return 0;
}

int vt_db_deit(vt_db **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_db *db = *slot;
    sqlite3_finalize(db->select_all);
    sqlite3_finalize(db->count_all);
    sqlite3_finalize(db->insert);
    sqlite3_finalize(db->select_id);
    sqlite3_close(db->handle);
    delete db;
    *slot = nullptr;
    return 0;
}

int vt_db_target_count_all(vt_db *db, size_t *count)
{
    if (VT_NIL(2, db, count))
        return 1;
    sqlite3_reset(db->count_all);
    int result = 0;
    if (sqlite3_step(db->count_all) == SQLITE_ROW)
        *count = static_cast<size_t>(sqlite3_column_int64(db->count_all, 0));
    else
        result = VT_ERR("failed to get target count; %s", sqlite3_errmsg(db->handle));
    sqlite3_reset(db->count_all);
    return result;
}

int vt_db_target_insert(vt_db *db, const vt_db_target *record)
{
    if (VT_NIL(2, db, record))
        return 1;
    sqlite3_stmt *insert = db->insert;
    sqlite3_reset(insert);
    sqlite3_clear_bindings(insert);
    // A nameless record is stored as empty text, so every row has a text name.
    const char *name = record->name.text ? record->name.text : "";
    const int length = record->name.text ? static_cast<int>(record->name.length) : 0;
    const int failed =
        sqlite3_bind_text(insert, kColName + 1, name, length, SQLITE_TRANSIENT) != SQLITE_OK ||
        bind_int32(insert, kColId + 1, record->id) || bind_int32(insert, kColType + 1, record->type) ||
        bind_int32(insert, kColBlockSize + 1, record->block_size) ||
        sqlite3_bind_int64(insert, kColBlockCount + 1, static_cast<sqlite3_int64>(record->block_count)) !=
            SQLITE_OK ||
        sqlite3_step(insert) != SQLITE_DONE;
    const int result = failed ? VT_ERR("failed to insert target; %s", sqlite3_errmsg(db->handle)) : 0;
    sqlite3_reset(insert);
    return result;
}

int vt_db_target_select(vt_db *db, vt_db_target_cb callback, void *user)
{
    if (VT_NIL(2, db, callback))
        return 1;
    // reset repeats the error of a failed earlier step; that is no failure of this select.
    sqlite3_reset(db->select_all);
    return select_rows(db, db->select_all, callback, user);
}

int vt_db_target_select_id(vt_db *db, vt_db_target_cb callback, void *user, uint32_t id)
{
    if (VT_NIL(2, db, callback))
        return 1;
    sqlite3_stmt *select = db->select_id;
    sqlite3_reset(select);
    if (sqlite3_clear_bindings(select) != SQLITE_OK || bind_int32(select, 1, id))
        return 1;
    return select_rows(db, select, callback, user);
}
