// The local disk source: device queries through the block-device controls and
// positioned reads, so every read names its own offset and the reader can start
// anywhere in the device.
#include "vt_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "vt_json.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

constexpr const char path_key[] = "path";
constexpr const char block_size_key[] = "block_size";
constexpr const char block_count_key[] = "block_count";

struct disk_release {
    void operator()(vt_disk *disk) const
    {
        if (disk->fd >= 0)
            ::close(disk->fd);
        vt_string_free(&disk->path);
        delete disk;
    }
};
using disk_ptr = std::unique_ptr<vt_disk, disk_release>;

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

// Closes a descriptor on every path out of a query.
struct fd_guard {
    int fd;
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Block size and byte size of an open device; 1 (no report) when the descriptor
// is not a block device or the size is not a whole number of blocks.
int query_device(int fd, uint64_t *sector_size, uint64_t *sector_count)
{
    int block_size = 0;
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKSSZGET, &block_size) || block_size <= 0)
        return 1;
    if (::ioctl(fd, BLKGETSIZE64, &bytes))
        return 1;
    *sector_size = static_cast<uint64_t>(block_size);
    *sector_count = bytes / *sector_size;
    return 0;
}

} // namespace

int vt_disk_init(vt_disk **slot, vt_json_obj *section)
{
    if (VT_NIL(2, slot, section))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    disk_ptr disk(new (std::nothrow) vt_disk{});
    if (!disk)
        return VT_ERR("out of memory");
    disk->fd = -1;
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(section, path_key, &text, &length) || length == 0)
        return VT_ERR("failed to get path");
    if (vt_string_copy(&disk->path, text, length))
        return VT_ERR("out of memory");
    *slot = disk.release();
    return 0;
}

int vt_disk_deit(vt_disk **slot)
{
    if (!slot || !*slot)
        return 1;
    disk_release{}(*slot);
    *slot = nullptr;
    return 0;
}

int vt_disk_get_size_and_count(vt_disk *disk, uint64_t *sector_size, uint64_t *sector_count)
{
    if (VT_NIL(3, disk, sector_size, sector_count))
        return 1;
    fd_guard device{::open(disk->path.text, O_RDONLY | O_CLOEXEC)};
    if (device.fd < 0)
        return VT_SYSERR("failed to open -- %s", disk->path.text);
    if (query_device(device.fd, sector_size, sector_count))
        return VT_ERR("failed to get block size and count");
    return 0;
}

int vt_disk_get_target_object(vt_disk *disk, vt_json_obj **obj)
{
    if (VT_NIL(2, disk, obj))
        return 1;
    uint64_t sector_size = 0, sector_count = 0;
    if (vt_disk_get_size_and_count(disk, &sector_size, &sector_count))
        return VT_ERR("failed to get block size and count");
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to write object");
    json_ptr target(raw);
    if (vt_json_obj_number_string(target.get(), block_size_key, sector_size) ||
        vt_json_obj_number_string(target.get(), block_count_key, sector_count))
        return VT_ERR("failed to write object");
    *obj = target.release();
    return 0;
}

int vt_disk_start(vt_disk *disk)
{
    if (VT_NIL(1, disk))
        return 1;
    if (disk->fd >= 0)
        return VT_ERR("disk is already open -- %s", disk->path.text);
    disk->fd = ::open(disk->path.text, O_RDONLY | O_CLOEXEC);
    if (disk->fd < 0)
        return VT_SYSERR("failed to open -- %s", disk->path.text);
    return 0;
}

int vt_disk_stop(vt_disk *disk)
{
    if (VT_NIL(1, disk))
        return 1;
    if (disk->fd < 0)
        return 0;
    const int closed = ::close(disk->fd);
    disk->fd = -1;
    return closed ? VT_SYSERR("failed to close -- %s", disk->path.text) : 0;
}

int vt_disk_read_at(vt_disk *disk, uint64_t offset, uint8_t *data, size_t n)
{
    if (VT_NIL(2, disk, data))
        return 1;
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(disk->fd, data + done, n - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return VT_SYSERR("failed to read %zu bytes at %llu -- %s", n,
                             static_cast<unsigned long long>(offset), disk->path.text);
        if (got == 0)
            return VT_ERR("short read of %zu out of %zu bytes at %llu -- %s", done, n,
                          static_cast<unsigned long long>(offset), disk->path.text);
        done += static_cast<size_t>(got);
    }
    return 0;
}
