// The targets the agent serves: block devices sized by their own block controls,
// and regular files served in 512-byte blocks. Every read is a pread on the one
// shared descriptor, so any number of connections read at once without a lock.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_syslog.h"

namespace fmt = vt_agent_format;

namespace {

struct table_deleter {
    void operator()(vt_agent_table *table) const { vt_agent_table_deit(&table); }
};
struct obj_deleter {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
struct arr_deleter {
    void operator()(vt_json_arr *arr) const { vt_json_arr_deit(&arr); }
};

} // namespace

// Block size and count of a block device from its own controls.
static int size_device(vt_agent_target *target)
{
    int sector = 0;
    uint64_t bytes = 0;
    if (ioctl(target->fd, BLKSSZGET, &sector) != 0 || sector <= 0)
        return VT_SYSERR("failed to get the block size of %s", target->path.text);
    if (ioctl(target->fd, BLKGETSIZE64, &bytes) != 0)
        return VT_SYSERR("failed to get the size of %s", target->path.text);
    target->type = fmt::kTargetDisk;
    target->block_size = uint64_t(sector);
    target->block_count = bytes / target->block_size;
    target->size = target->file_size = target->block_size * target->block_count;
    return 0;
}

// A regular file: 512-byte blocks, the last one completed with zeros.
static void size_file(vt_agent_target *target, const struct stat &info)
{
    target->type = fmt::kTargetFile;
    target->block_size = fmt::kFileBlockSize;
    target->file_size = uint64_t(info.st_size);
    target->block_count = (target->file_size + fmt::kFileBlockSize - 1) / fmt::kFileBlockSize;
    target->size = target->block_count * target->block_size;
}

// Splits "NAME=PATH" into an owned name and path; both must be non-empty.
static int split_spec(vt_agent_target *target, const char *spec)
{
    std::string_view text(spec);
    size_t equal = text.find('=');
    if (equal == std::string_view::npos || equal == 0 || equal + 1 == text.size())
        return VT_ERR("invalid target '%s'; expected NAME=PATH", spec);
    if (vt_string_copy(&target->name, text.data(), equal) ||
        vt_string_copy(&target->path, text.data() + equal + 1, text.size() - equal - 1))
        return VT_ERR("failed to copy target '%s'", spec);
    return 0;
}

static int open_target(vt_agent_target *target, const char *spec)
{
    if (split_spec(target, spec))
        return 1;
    target->fd = open(target->path.text, O_RDONLY | O_CLOEXEC);
    if (target->fd < 0)
        return VT_SYSERR("failed to open target %s", target->path.text);
    struct stat info {};
    if (fstat(target->fd, &info) != 0)
        return VT_SYSERR("failed to query target %s", target->path.text);
    if (S_ISBLK(info.st_mode))
        return size_device(target);
    if (!S_ISREG(info.st_mode))
        return VT_ERR("target %s is neither a block device nor a regular file", target->path.text);
    size_file(target, info);
    return 0;
}

int vt_agent_table_init(vt_agent_table **slot, const char *const *specs, size_t count)
{
    if (!slot || *slot || (count && !specs))
        return VT_ERR("invalid target table slot");
    std::unique_ptr<vt_agent_table, table_deleter> table(new (std::nothrow) vt_agent_table{});
    if (!table)
        return VT_ERR("failed to create target table");
    if (count) {
        table->targets = new (std::nothrow) vt_agent_target[count]{};
        if (!table->targets)
            return VT_ERR("failed to create %zu targets", count);
    }
    for (size_t i = 0; i < count; ++i) {
        vt_agent_target &target = table->targets[i];
        target.fd = -1;
        table->count = i + 1;
        target.id = uint32_t(i + 1);
        if (open_target(&target, specs[i]))
            return VT_ERR("failed to open target '%s'", specs[i]);
        for (size_t j = 0; j < i; ++j)
            if (vt_string_is_equal(&table->targets[j].name, &target.name) == 0)
                return VT_ERR("target name '%s' given twice", target.name.text);
    }
    *slot = table.release();
    return 0;
}

int vt_agent_table_deit(vt_agent_table **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_agent_table *table = *slot;
    for (size_t i = 0; i < table->count; ++i) {
        vt_agent_target &target = table->targets[i];
        if (target.fd >= 0)
            close(target.fd);
        vt_string_free(&target.name);
        vt_string_free(&target.path);
    }
    delete[] table->targets;
    delete table;
    *slot = nullptr;
    return 0;
}

const vt_agent_target *vt_agent_table_find(const vt_agent_table *table, uint64_t id)
{
    if (!table || id == 0 || id > table->count)
        return nullptr;
    return &table->targets[id - 1];
}

int vt_agent_target_read(const vt_agent_target *target, uint64_t offset, uint8_t *out,
                         size_t length)
{
    if (!target || !out || offset > target->size || length > target->size - offset)
        return VT_ERR("invalid read of %zu bytes at %llu", length, (unsigned long long)offset);
    size_t done = 0;
    while (done < length) {
        uint64_t at = offset + done;
        if (at >= target->file_size) {
            // The zero fill that completes a file's last block.
            memset(out + done, 0, length - done);
            break;
        }
        size_t want = size_t(std::min<uint64_t>(length - done, target->file_size - at));
        ssize_t got = pread(target->fd, out + done, want, off_t(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return VT_SYSERR("failed to read %zu bytes at %llu from %s", want,
                             (unsigned long long)at, target->path.text);
        if (got == 0)
            return VT_ERR("target %s ended at %llu before its size", target->path.text,
                          (unsigned long long)at);
        done += size_t(got);
    }
    return 0;
}

// One target entry in the document form the examiner loads.
static int target_entry(const vt_agent_target &target, vt_json_obj **entry)
{
    vt_db_target record{};
    record.name = target.name;
    record.id = target.id;
    record.type = target.type;
    record.block_size = target.block_size;
    record.block_count = target.block_count;
    return vt_db_target_dump(&record, entry);
}

int vt_agent_table_json(const vt_agent_table *table, vt_json_obj **document)
{
    if (VT_NIL(2, table, document))
        return 1;
    vt_json_obj *raw_doc = nullptr;
    vt_json_arr *raw_arr = nullptr;
    if (vt_json_obj_init(&raw_doc) || vt_json_arr_init(&raw_arr)) {
        vt_json_obj_deit(&raw_doc);
        return VT_ERR("failed to create target list document");
    }
    std::unique_ptr<vt_json_obj, obj_deleter> doc(raw_doc);
    std::unique_ptr<vt_json_arr, arr_deleter> targets(raw_arr);
    for (size_t i = 0; i < table->count; ++i) {
        vt_json_obj *raw_entry = nullptr;
        if (target_entry(table->targets[i], &raw_entry))
            return VT_ERR("failed to encode target %s", table->targets[i].name.text);
        std::unique_ptr<vt_json_obj, obj_deleter> entry(raw_entry);
        if (vt_json_arr_object(targets.get(), entry.get()))
            return VT_ERR("failed to add target to array");
    }
    if (vt_json_obj_array(doc.get(), "targets", targets.get()))
        return VT_ERR("failed to add array to object");
    *document = doc.release();
    return 0;
}
