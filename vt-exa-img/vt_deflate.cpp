// Chunk compression for the E01 writer and one-shot zlib compression. The chunk
// compressor deflates straight into the work unit's output area and falls back
// to the raw bytes in place when the stream does not fit into the chunk's length.
#include "vt_deflate.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "vt_buffer.h"
#include "vt_ewf_format.h"
#include "vt_syslog.h"

namespace fmt = vt_ewf_format;

namespace {

// A chunk whose bytes all equal its first one.
bool is_uniform(const uint8_t *data, size_t len)
{
    return len < 2 || std::memcmp(data, data + 1, len - 1) == 0;
}

// Stores the chunk raw followed by its Adler-32. Deflate has already summed the
// bytes it consumed into the stream's running Adler-32 (adler), so only the rest
// is summed here.
void store_raw(const uint8_t *data, size_t len, size_t consumed, uLong adler, uint8_t *out,
               uint32_t *size_word)
{
    std::memcpy(out, data, len);
    adler = adler32_z(adler, data + consumed, len - consumed);
    fmt::put_le32(out + len, static_cast<uint32_t>(adler));
    *size_word = static_cast<uint32_t>(len + fmt::kChunkChecksumSize);
}

// Keeps the stored form of a uniform chunk for reuse when it fits.
void keep_uniform(vt_deflate *stream, const uint8_t *data, size_t len, const uint8_t *stored,
                  uint32_t size_word)
{
    const size_t size = size_word & fmt::kChunkLengthMask;
    if (size > sizeof stream->uniform_stored)
        return;
    std::memcpy(stream->uniform_stored, stored, size);
    stream->uniform_length = len;
    stream->uniform_value = data[0];
    stream->uniform_word = size_word;
}

} // namespace

int vt_deflate_init(vt_deflate **slot)
{
    if (VT_NIL(1, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    // A failed deflateInit leaves nothing allocated in the stream.
    auto made = std::make_unique<vt_deflate>();
    std::memset(&made->stream, 0, sizeof made->stream);
    made->uniform_length = 0;
    if (deflateInit(&made->stream, Z_BEST_SPEED) != Z_OK)
        return VT_ERR("failed to initialize deflate stream");
    *slot = made.release();
    return 0;
}

int vt_deflate_deit(vt_deflate **slot)
{
    if (!slot || !*slot)
        return 1;
    deflateEnd(&(*slot)->stream);
    delete *slot;
    *slot = nullptr;
    return 0;
}

int vt_deflate_e01_compress_to(vt_deflate *stream, const uint8_t *data, size_t len, uint8_t *out,
                               uint32_t *size_word)
{
    if (VT_NIL(4, stream, data, out, size_word))
        return 1;
    // The size word keeps 31 bits for the stored length, checksum included.
    if (len == 0 || len > fmt::kChunkLengthMask - fmt::kChunkChecksumSize)
        return VT_ERR("invalid chunk length %zu", len);
    const bool uniform = is_uniform(data, len);
    if (uniform && stream->uniform_length == len && stream->uniform_value == data[0]) {
        std::memcpy(out, stream->uniform_stored, stream->uniform_word & fmt::kChunkLengthMask);
        *size_word = stream->uniform_word;
        return 0;
    }

    z_stream &z = stream->stream;
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(len);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(len);
    const int result = deflate(&z, Z_FINISH);
    const size_t produced = len - z.avail_out;
    const size_t consumed = len - z.avail_in;
    const uLong adler = z.adler;
    deflateReset(&z);

    if (result == Z_STREAM_END) {
        *size_word = static_cast<uint32_t>(produced) | fmt::kChunkCompressed;
        if (uniform)
            keep_uniform(stream, data, len, out, *size_word);
        return 0;
    }
    if (result == Z_OK) { // the stream needs more than len bytes: keep the chunk raw
        store_raw(data, len, consumed, adler, out, size_word);
        return 0;
    }
    return VT_ERR("failed to deflate");
}

int vt_deflate_e01_compress(vt_deflate *stream, const uint8_t *data, size_t len, vt_buffer *out,
                            uint32_t *size_word)
{
    if (VT_NIL(4, stream, data, out, size_word))
        return 1;
    if (len == 0 || len > fmt::kChunkLengthMask - fmt::kChunkChecksumSize)
        return VT_ERR("invalid chunk length %zu", len);
    if (vt_buffer_resize(out, len + fmt::kChunkChecksumSize))
        return VT_ERR("failed to resize buffer object");
    // The buffer form is a thin adapter: the stored form reports its own failure.
    if (vt_deflate_e01_compress_to(stream, data, len, out->data + out->used, size_word))
        return 1;
    out->used += *size_word & fmt::kChunkLengthMask;
    return 0;
}

int vt_deflate_e01_checksum(const uint8_t *data, size_t len, vt_buffer *out, uint32_t *size_word)
{
    if (VT_NIL(3, data, out, size_word))
        return 1;
    uint8_t checksum[fmt::kChunkChecksumSize];
    fmt::put_le32(checksum, static_cast<uint32_t>(adler32_z(1, data, len)));
    if (vt_buffer_write(out, checksum, sizeof checksum))
        return VT_ERR("failed to write buffer object");
    *size_word = sizeof checksum;
    return 0;
}

int vt_compress(uint8_t **out, size_t *out_len, const void *data, size_t len)
{
    if (VT_NIL(3, out, out_len, data))
        return 1;
    uLongf bound = compressBound(len);
    std::unique_ptr<uint8_t, decltype(&std::free)> area(
        static_cast<uint8_t *>(std::malloc(bound)), &std::free);
    if (!area)
        return VT_ERR("out of memory");
    const int result = compress(area.get(), &bound, static_cast<const Bytef *>(data), len);
    if (result != Z_OK)
        return VT_ERR("failed to compress data -- %d", result);
    *out = area.release();
    *out_len = bound;
    return 0;
}
