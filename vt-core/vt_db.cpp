// Subject and target records and their JSON forms. The document form is the body
// a subject sends and the content of the cache files; the readable form is what
// the listing commands print. The in-memory target table shares this module.
#include "vt_db.h"

#include <endian.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "vt_json.h"
#include "vt_syslog.h"

namespace {

struct json_obj_deleter {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
using json_obj_ptr = std::unique_ptr<vt_json_obj, json_obj_deleter>;

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
