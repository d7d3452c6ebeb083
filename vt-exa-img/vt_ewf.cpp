// The E01 image writer. Descriptors, section bodies and tables go to disk through
// vt_ewf_write (forced with fsync); chunk data is appended unforced, one write per
// work unit. The file always ends at a table boundary plus digest, hash and done
// sections, so a stopped job leaves a readable image it can later cut back and extend.
#include "vt_ewf.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "vt_buffer.h"
#include "vt_deflate.h"
#include "vt_ewf_format.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_syslog.h"

namespace fmt = vt_ewf_format;

namespace {

constexpr char kStateOffset[] = "offset";

uint32_t checksum(const uint8_t *data, size_t len)
{
    return static_cast<uint32_t>(adler32_z(1, data, len));
}

// Fills an empty string with the text under key; an empty text still gets an
// allocated, zero-length string, so every field prints as "%s".
int load_text(vt_json_obj *obj, const char *key, vt_string *string)
{
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(obj, key, &text, &length))
        return VT_ERR("missing %s key from object", key);
    if (length > 0)
        return vt_string_copy(string, text, length) ? VT_ERR("out of memory") : 0;
    string->text = static_cast<char *>(std::calloc(1, 1));
    string->length = 0;
    return string->text ? 0 : VT_ERR("out of memory");
}

void ewf_free(vt_ewf *ewf)
{
    if (ewf->fd >= 0)
        ::close(ewf->fd);
    vt_string_free(&ewf->examiner_name);
    vt_string_free(&ewf->case_number);
    vt_string_free(&ewf->evidence_number);
    vt_string_free(&ewf->unique_description);
    vt_string_free(&ewf->notes);
    vt_string_free(&ewf->path);
    delete[] ewf->entries;
    vt_json_obj_deit(&ewf->state);
    delete ewf;
}

struct ewf_deleter {
    void operator()(vt_ewf *ewf) const { ewf_free(ewf); }
};

// Closes the file after a failed create or open, so a later attempt starts clean.
int drop_file(vt_ewf *ewf)
{
    ::close(ewf->fd);
    ewf->fd = -1;
    return 1;
}

int load_document(vt_ewf *ewf, vt_json_obj *doc, uint64_t *table_size)
{
    vt_json_obj *section = nullptr;
    if (vt_json_obj_get_object(doc, "ewf", &section))
        return VT_ERR("failed to get ewf object");
    std::unique_ptr<vt_json_obj *, decltype(&vt_json_obj_deit)> hold(&section, &vt_json_obj_deit);
    if (load_text(section, "examiner_name", &ewf->examiner_name) ||
        load_text(section, "case_number", &ewf->case_number) ||
        load_text(section, "evidence_number", &ewf->evidence_number) ||
        load_text(section, "unique_description", &ewf->unique_description) ||
        load_text(section, "notes", &ewf->notes))
        return VT_ERR("failed to load ewf strings");
    if (vt_json_obj_get_number_string(section, "chunk_size", &ewf->chunk_size))
        return VT_ERR("failed to get chunk size");
    if (vt_json_obj_get_number_string(section, "table_size", table_size))
        return VT_ERR("failed to get table size");
    return 0;
}

int seek_to(vt_ewf *ewf, uint64_t offset)
{
    return ::lseek(ewf->fd, static_cast<off_t>(offset), SEEK_SET) < 0;
}

// Cuts the file at offset and leaves the file pointer there.
int cut_back(vt_ewf *ewf, uint64_t offset)
{
    if (seek_to(ewf, offset))
        return VT_SYSERR("failed to move the file pointer -- %s", ewf->path.text);
    if (::ftruncate(ewf->fd, static_cast<off_t>(offset)))
        return VT_SYSERR("failed to truncate the file -- %s", ewf->path.text);
    ewf->offset = offset;
    return 0;
}

// Writes a section descriptor at the current file position.
int write_descriptor(vt_ewf *ewf, const char *type, uint64_t next, uint64_t size)
{
    uint8_t d[fmt::kDescriptorSize] = {};
    std::memcpy(d, type, std::min(std::strlen(type), fmt::kDescriptorTypeSize));
    fmt::put_le64(d + fmt::kDescriptorNextOffset, next);
    fmt::put_le64(d + fmt::kDescriptorSizeOffset, size);
    fmt::put_le32(d + fmt::kDescriptorChecksumOffset,
                  checksum(d, fmt::kDescriptorChecksumOffset));
    if (vt_ewf_write(ewf, d, sizeof d))
        return VT_ERR("failed to write section descriptor");
    return 0;
}

// Writes a section whose body has a fixed size: descriptor, then body.
int write_fixed_section(vt_ewf *ewf, const char *type, const uint8_t *body, size_t len)
{
    const uint64_t size = fmt::kDescriptorSize + len;
    if (write_descriptor(ewf, type, ewf->offset + size, size))
        return 1;
    return vt_ewf_write(ewf, body, len);
}

int write_file_header(vt_ewf *ewf)
{
    if (vt_ewf_write(ewf, fmt::kFileHeader, sizeof fmt::kFileHeader))
        return VT_ERR("failed to write header");
    return 0;
}

// Formats a creation time as "Y M D h m s" in local time.
int vt_get_localtime(time_t when, std::string *text)
{
    struct tm t;
    if (!localtime_r(&when, &t))
        return VT_SYSERR("failed to convert time %lld", static_cast<long long>(when));
    char area[64];
    std::snprintf(area, sizeof area, fmt::kHeaderTime, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    *text = area;
    return 0;
}

// Formats a creation time as "Y M D h m s" in UTC.
int vt_get_systemtime(time_t when, std::string *text)
{
    struct tm t;
    if (!gmtime_r(&when, &t))
        return VT_SYSERR("failed to convert time %lld", static_cast<long long>(when));
    char area[64];
    std::snprintf(area, sizeof area, fmt::kHeaderTime, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    *text = area;
    return 0;
}

// Builds the header text: case data, program version, platform and creation times.
int header_text(vt_ewf *ewf, vt_buffer *text)
{
    vt_string platform = {};
    if (vt_get_platform_string(&platform))
        return VT_ERR("failed to get platform");
    std::unique_ptr<vt_string, decltype(&vt_string_free)> hold(&platform, &vt_string_free);
    uint64_t now = 0;
    vt_get_system_time(&now);
    const auto when =
        static_cast<time_t>(now / VT_TIME_UNITS_PER_SECOND - VT_TIME_UNIX_EPOCH_SECONDS);
    std::string local, utc;
    if (vt_get_localtime(when, &local))
        return VT_ERR("failed to get local time");
    if (vt_get_systemtime(when, &utc))
        return VT_ERR("failed to get system time");
    if (vt_buffer_print(text, fmt::kHeaderText, ewf->case_number.text, ewf->evidence_number.text,
                        ewf->unique_description.text, ewf->examiner_name.text, ewf->notes.text,
                        fmt::kProgramVersion, platform.text, local.c_str(), utc.c_str()))
        return VT_ERR("failed to format header text");
    return 0;
}

int write_header_section(vt_ewf *ewf)
{
    vt_buffer *text = nullptr;
    if (vt_buffer_init(&text, 0))
        return VT_ERR("failed to create buffer object");
    std::unique_ptr<vt_buffer *, decltype(&vt_buffer_deit)> hold(&text, &vt_buffer_deit);
    if (header_text(ewf, text))
        return 1;
    uint8_t *packed = nullptr;
    size_t packed_len = 0;
    if (vt_compress(&packed, &packed_len, text->data, text->used))
        return VT_ERR("failed to deflate header1");
    std::unique_ptr<uint8_t, decltype(&std::free)> hold_packed(packed, &std::free);
    const uint64_t size = fmt::kDescriptorSize + packed_len;
    if (write_descriptor(ewf, fmt::kTypeHeader, ewf->offset + size, size))
        return 1;
    if (vt_ewf_write(ewf, packed, packed_len))
        return VT_ERR("failed to write header1 section");
    return 0;
}

int write_volume_section(vt_ewf *ewf, uint64_t bytes_per_sector, uint64_t sector_count)
{
    if (bytes_per_sector == 0 || ewf->chunk_size % bytes_per_sector != 0)
        return VT_ERR("chunk size is not divisible by sector size");
    // Both factors come from the source's geometry; a product past 64 bits or a
    // chunk count past the 32-bit field cannot be described by this format.
    uint64_t total = 0;
    if (__builtin_mul_overflow(bytes_per_sector, sector_count, &total))
        return VT_ERR("source size overflows -- %llu sectors",
                      static_cast<unsigned long long>(sector_count));
    const uint64_t chunks = total / ewf->chunk_size + (total % ewf->chunk_size != 0);
    if (chunks > UINT32_MAX)
        return VT_ERR("too many chunks for volume section -- %llu",
                      static_cast<unsigned long long>(chunks));

    uint8_t v[fmt::kVolumeSize] = {};
    v[fmt::kVolumeMediaTypeOffset] = fmt::kMediaTypeFixed;
    fmt::put_le32(v + fmt::kVolumeChunkCountOffset, static_cast<uint32_t>(chunks));
    fmt::put_le32(v + fmt::kVolumeSectorsPerChunkOffset,
                  static_cast<uint32_t>(ewf->chunk_size / bytes_per_sector));
    fmt::put_le32(v + fmt::kVolumeBytesPerSectorOffset, static_cast<uint32_t>(bytes_per_sector));
    fmt::put_le64(v + fmt::kVolumeSectorCountOffset, sector_count);
    v[fmt::kVolumeMediaFlagsOffset] = fmt::kMediaFlagsPhysical;
    v[fmt::kVolumeCompressionOffset] = fmt::kCompressionFast;
    fmt::put_le32(v + fmt::kVolumeChecksumOffset, checksum(v, fmt::kVolumeChecksumOffset));
    if (write_fixed_section(ewf, fmt::kTypeVolume, v, sizeof v))
        return VT_ERR("failed to write volume section");
    return 0;
}

// Opens a sectors section at the current offset: a zero placeholder descriptor
// that vt_ewf_sector_close rewrites once the chunk data's length is known.
int open_sectors_section(vt_ewf *ewf)
{
    if (ewf->offset == 0)
        return VT_ERR("invalid sectors section descriptor offset");
    ewf->sectors_offset = ewf->offset;
    ewf->entries_used = 0;
    ewf->chunk_offset = 0;
    const uint8_t zeros[fmt::kDescriptorSize] = {};
    if (vt_ewf_write(ewf, zeros, sizeof zeros))
        return VT_ERR("failed to write section descriptor");
    return 0;
}

// Rewrites the open sectors section's descriptor now that its data ends at table_offset.
int write_sectors_descriptor(vt_ewf *ewf, uint64_t table_offset)
{
    if (seek_to(ewf, ewf->sectors_offset))
        return VT_SYSERR("failed to move file pointer -- %s", ewf->path.text);
    if (write_descriptor(ewf, fmt::kTypeSectors, table_offset, table_offset - ewf->sectors_offset))
        return 1;
    if (seek_to(ewf, table_offset))
        return VT_SYSERR("failed to move file pointer -- %s", ewf->path.text);
    ewf->offset = table_offset;
    return 0;
}

int write_table_section(vt_ewf *ewf)
{
    const uint64_t n = ewf->entries_used;
    const uint64_t body = fmt::kTableHeaderSize + n * fmt::kTableEntrySize + fmt::kTableFooterSize;
    if (write_descriptor(ewf, fmt::kTypeTable, ewf->offset + fmt::kDescriptorSize + body,
                         fmt::kDescriptorSize + body))
        return 1;

    uint8_t header[fmt::kTableHeaderSize] = {};
    fmt::put_le32(header + fmt::kTableCountOffset, static_cast<uint32_t>(n));
    fmt::put_le64(header + fmt::kTableBaseOffset, ewf->sectors_offset + fmt::kDescriptorSize);
    fmt::put_le32(header + fmt::kTableHeaderChecksumOffset,
                  checksum(header, fmt::kTableHeaderChecksumOffset));
    if (vt_ewf_write(ewf, header, sizeof header))
        return VT_ERR("failed to write table header");

    const size_t entries_len = n * fmt::kTableEntrySize;
    std::unique_ptr<uint8_t[]> entries(new (std::nothrow) uint8_t[entries_len]);
    if (!entries)
        return VT_ERR("out of memory");
    for (uint64_t i = 0; i < n; ++i)
        fmt::put_le32(entries.get() + i * fmt::kTableEntrySize, ewf->entries[i]);
    if (vt_ewf_write(ewf, entries.get(), entries_len))
        return VT_ERR("failed to write table content");

    uint8_t footer[fmt::kTableFooterSize];
    fmt::put_le32(footer, checksum(entries.get(), entries_len));
    if (vt_ewf_write(ewf, footer, sizeof footer))
        return VT_ERR("failed to write table footer");
    return 0;
}

int write_digest_section(vt_ewf *ewf, const uint8_t *md5, const uint8_t *sha1)
{
    uint8_t d[fmt::kDigestSize] = {};
    std::memcpy(d + fmt::kDigestMd5Offset, md5, fmt::kMd5Size);
    std::memcpy(d + fmt::kDigestSha1Offset, sha1, fmt::kSha1Size);
    fmt::put_le32(d + fmt::kDigestChecksumOffset, checksum(d, fmt::kDigestChecksumOffset));
    if (write_fixed_section(ewf, fmt::kTypeDigest, d, sizeof d))
        return VT_ERR("failed to write digest section");
    return 0;
}

int write_hash_section(vt_ewf *ewf, const uint8_t *md5)
{
    uint8_t h[fmt::kHashSize] = {};
    std::memcpy(h + fmt::kHashMd5Offset, md5, fmt::kMd5Size);
    fmt::put_le32(h + fmt::kHashChecksumOffset, checksum(h, fmt::kHashChecksumOffset));
    if (write_fixed_section(ewf, fmt::kTypeHash, h, sizeof h))
        return VT_ERR("failed to write hash section");
    return 0;
}

// The done section points at itself and has size 0.
int write_done_section(vt_ewf *ewf)
{
    return write_descriptor(ewf, fmt::kTypeDone, ewf->offset, 0);
}

int finish_sections(vt_ewf *ewf, const uint8_t *md5, const uint8_t *sha1)
{
    if (vt_ewf_sector_close(ewf))
        return VT_ERR("failed to close ewf sectors section");
    if (write_digest_section(ewf, md5, sha1))
        return VT_ERR("failed to write ewf digest section");
    if (write_hash_section(ewf, md5))
        return VT_ERR("failed to write ewf hash section");
    if (write_done_section(ewf))
        return VT_ERR("failed to write ewf done section");
    return 0;
}

} // namespace

int vt_ewf_chunks_per_read(uint64_t read_size, uint64_t chunk_size, uint64_t *n)
{
    if (VT_NIL(1, n))
        return 1;
    if (chunk_size == 0)
        return VT_ERR("invalid chunk size");
    if (read_size < chunk_size)
        return VT_ERR("read size is less than chunk size");
    if (read_size % chunk_size != 0)
        return VT_ERR("read size is not divisible by chunk size");
    *n = read_size / chunk_size;
    return 0;
}

int vt_ewf_table_size_align(uint64_t n, uint64_t *size)
{
    if (VT_NIL(1, size))
        return 1;
    if (n == 0)
        return VT_ERR("invalid chunks per read");
    *size -= *size % n;
    return 0;
}

int vt_ewf_table_capacity(uint64_t read_size, uint64_t chunk_size, uint64_t table_size,
                          uint64_t *capacity)
{
    if (VT_NIL(1, capacity))
        return 1;
    uint64_t n = 0;
    if (vt_ewf_chunks_per_read(read_size, chunk_size, &n))
        return VT_ERR("failed to calculate chunks per read");
    // Table entries hold 31-bit offsets: the table's chunk data, at most
    // chunk size + 4 bytes per chunk, must end below 2^31.
    const uint64_t limit = (fmt::kChunkDataLimit - 1) / (chunk_size + fmt::kChunkChecksumSize);
    uint64_t size = std::min({table_size, fmt::kTableSizeMax, limit});
    if (vt_ewf_table_size_align(n, &size))
        return VT_ERR("failed to align table size");
    if (size == 0)
        return VT_ERR("table cannot hold the %llu chunks of one read",
                      static_cast<unsigned long long>(n));
    *capacity = size;
    return 0;
}

int vt_ewf_init(vt_ewf **slot, uint64_t read_size, const char *image_path, const char *image_name,
                vt_json_obj *doc)
{
    if (VT_NIL(4, slot, image_path, image_name, doc))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    std::unique_ptr<vt_ewf, ewf_deleter> ewf(new (std::nothrow) vt_ewf{});
    if (!ewf)
        return VT_ERR("out of memory");
    ewf->fd = -1;

    uint64_t table_size = 0;
    if (load_document(ewf.get(), doc, &table_size))
        return VT_ERR("failed to load ewf object");
    if (vt_ewf_table_capacity(read_size, ewf->chunk_size, table_size, &ewf->table_capacity))
        return VT_ERR("failed to calculate table capacity");
    const std::string path = std::string(image_path) + "/" + image_name + ".E01";
    if (vt_string_copy(&ewf->path, path.data(), path.size()))
        return VT_ERR("failed to copy file path");
    ewf->entries = new (std::nothrow) uint32_t[ewf->table_capacity];
    if (!ewf->entries)
        return VT_ERR("out of memory");
    if (vt_json_obj_init(&ewf->state))
        return VT_ERR("failed to create object");
    *slot = ewf.release();
    return 0;
}

int vt_ewf_deit(vt_ewf **slot)
{
    if (!slot || !*slot)
        return 1;
    ewf_free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_ewf_write(vt_ewf *ewf, const void *data, size_t len)
{
    if (VT_NIL(2, ewf, data))
        return 1;
    if (vt_write_all(ewf->fd, data, len))
        return VT_SYSERR("failed to write file -- %s", ewf->path.text);
    if (::fsync(ewf->fd))
        return VT_SYSERR("failed to sync file -- %s", ewf->path.text);
    const off_t at = ::lseek(ewf->fd, 0, SEEK_CUR);
    if (at < 0)
        return VT_SYSERR("failed to get file pointer -- %s", ewf->path.text);
    ewf->offset = static_cast<uint64_t>(at);
    return 0;
}

int vt_ewf_create(vt_ewf *ewf, uint64_t bytes_per_sector, uint64_t sector_count)
{
    if (VT_NIL(1, ewf))
        return 1;
    if (ewf->fd >= 0)
        return VT_ERR("file is already open -- %s", ewf->path.text);
    ewf->fd = ::open(ewf->path.text, O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (ewf->fd < 0)
        return VT_SYSERR("failed to create file -- %s", ewf->path.text);
    ewf->offset = 0;
    if (write_file_header(ewf))
        return drop_file(ewf) | VT_ERR("failed to write ewf header");
    if (write_header_section(ewf))
        return drop_file(ewf) | VT_ERR("failed to write ewf header 1 section");
    if (write_volume_section(ewf, bytes_per_sector, sector_count))
        return drop_file(ewf) | VT_ERR("failed to write ewf volume section");
    if (open_sectors_section(ewf))
        return drop_file(ewf) | VT_ERR("failed to create ewf sectors section");
    return 0;
}

int vt_ewf_open(vt_ewf *ewf)
{
    if (VT_NIL(1, ewf))
        return 1;
    if (ewf->fd >= 0)
        return VT_ERR("file is already open -- %s", ewf->path.text);
    ewf->fd = ::open(ewf->path.text, O_WRONLY);
    if (ewf->fd < 0)
        return VT_SYSERR("failed to open file -- %s", ewf->path.text);
    // Check the checkpoint before cutting: a zero or out-of-range offset would
    // otherwise truncate away the image's own header or extend it with zeros.
    struct stat st;
    if (::fstat(ewf->fd, &st))
        return drop_file(ewf) | VT_SYSERR("failed to stat file -- %s", ewf->path.text);
    if (ewf->offset == 0 || ewf->offset > static_cast<uint64_t>(st.st_size))
        return drop_file(ewf) | VT_ERR("invalid sectors section descriptor offset");
    if (cut_back(ewf, ewf->offset))
        return drop_file(ewf);
    if (open_sectors_section(ewf))
        return drop_file(ewf) | VT_ERR("failed to create ewf sectors section");
    return 0;
}

int vt_ewf_sector_write(vt_ewf *ewf, const vt_buffer *buffer)
{
    if (VT_NIL(2, ewf, buffer))
        return 1;
    if (vt_write_all(ewf->fd, buffer->data, buffer->used))
        return VT_SYSERR("failed to write file -- %s", ewf->path.text);
    // Starts writing the chunk data back without waiting for it, so the fsync of
    // the next descriptor or table finds little left to flush. Only a hint: a
    // failure changes nothing.
    ::sync_file_range(ewf->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
}

int vt_ewf_table_update(vt_ewf *ewf, const uint32_t *size_words, uint64_t count)
{
    if (VT_NIL(1, ewf) || (count > 0 && VT_NIL(1, size_words)))
        return 1;
    for (uint64_t i = 0; i < count; ++i) {
        if (ewf->entries_used >= ewf->table_capacity)
            return VT_ERR("failed on overflow in table array");
        const uint32_t word = size_words[i];
        const uint32_t length = word & fmt::kChunkLengthMask;
        // The capacity keeps a full table's data below 2^31; a word that breaks
        // that would corrupt every later entry of the table.
        if (length > fmt::kChunkLengthMask - ewf->chunk_offset)
            return VT_ERR("failed on overflow in chunk offset");
        ewf->entries[ewf->entries_used++] = ewf->chunk_offset | (word & fmt::kChunkCompressed);
        ewf->chunk_offset += length;
    }
    if (ewf->entries_used < ewf->table_capacity)
        return 0;
    if (vt_ewf_sector_close(ewf))
        return VT_ERR("failed to close ewf sectors section");
    if (open_sectors_section(ewf))
        return VT_ERR("failed to create ewf sectors section");
    return 0;
}

int vt_ewf_sector_close(vt_ewf *ewf)
{
    if (VT_NIL(1, ewf))
        return 1;
    if (ewf->entries_used == 0)
        return cut_back(ewf, ewf->sectors_offset);
    const off_t at = ::lseek(ewf->fd, 0, SEEK_CUR);
    if (at < 0)
        return VT_SYSERR("failed to get file pointer -- %s", ewf->path.text);
    const auto table_offset = static_cast<uint64_t>(at);
    // The entries describe exactly the data appended since the section opened.
    if (table_offset != ewf->sectors_offset + fmt::kDescriptorSize + ewf->chunk_offset)
        return VT_ERR("chunk data does not match table entries");
    if (write_sectors_descriptor(ewf, table_offset))
        return VT_ERR("failed to write ewf sectors section");
    if (write_table_section(ewf))
        return VT_ERR("failed to write ewf table section");
    return 0;
}

int vt_ewf_close(vt_ewf *ewf, const uint8_t *md5, const uint8_t *sha1)
{
    if (VT_NIL(3, ewf, md5, sha1))
        return 1;
    if (ewf->fd < 0)
        return VT_ERR("file is not open -- %s", ewf->path.text);
    int result = finish_sections(ewf, md5, sha1);
    if (::close(ewf->fd))
        result = VT_SYSERR("failed to close file -- %s", ewf->path.text);
    ewf->fd = -1;
    return result;
}

int vt_ewf_save(vt_ewf *ewf)
{
    if (VT_NIL(1, ewf))
        return 1;
    if (vt_json_obj_number_string(ewf->state, kStateOffset, ewf->sectors_offset))
        return VT_ERR("failed to write offset");
    return 0;
}

int vt_ewf_load(vt_ewf *ewf, const vt_json_obj *obj)
{
    if (VT_NIL(2, ewf, obj))
        return 1;
    if (vt_json_obj_get_number_string(obj, kStateOffset, &ewf->offset))
        return VT_ERR("failed to get offset");
    return 0;
}

int vt_ewf_clear(vt_ewf *ewf)
{
    if (VT_NIL(1, ewf))
        return 1;
    if (vt_json_obj_check_key(ewf->state, kStateOffset) == 0 &&
        vt_json_obj_remove(ewf->state, kStateOffset))
        return VT_ERR("failed to remove offset");
    return 0;
}

int vt_ewf_get_object(vt_ewf *ewf, vt_json_obj **copy)
{
    if (VT_NIL(2, ewf, copy))
        return 1;
    if (vt_json_obj_copy(copy, ewf->state))
        return VT_ERR("failed to copy object");
    return 0;
}
