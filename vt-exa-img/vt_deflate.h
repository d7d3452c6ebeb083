// Chunk compression for the E01 writer: each compression worker owns one deflate
// stream and turns a chunk into its stored form (a zlib stream, or the raw bytes
// plus their Adler-32 when compressing does not help), plus one-shot compression.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

struct vt_buffer;

// Room for the stored form of a chunk whose bytes are all one value (a few dozen
// bytes for the usual chunk sizes); a longer form is simply not kept.
inline constexpr size_t VT_DEFLATE_UNIFORM_MAX = 1024;

// One zlib deflate stream at level 1, reset after every chunk.
struct vt_deflate {
    z_stream stream;
    // Deflate is deterministic: a chunk of one repeated byte value (zeros, mostly)
    // always compresses to the same bytes, so the last such stored form is kept
    // and reused for the next chunk of the same value and length.
    size_t uniform_length;  // chunk length of the kept form; 0 when none is kept
    uint8_t uniform_value;
    uint32_t uniform_word;  // its size word
    uint8_t uniform_stored[VT_DEFLATE_UNIFORM_MAX];
};

// Creates the stream in the empty slot. Returns 0 on success, 1 on failure.
int vt_deflate_init(vt_deflate **slot);
// Ends the stream, frees it and clears the slot. Returns 0, or 1 on an empty slot.
int vt_deflate_deit(vt_deflate **slot);

// Appends the stored form of one chunk of len (> 0) bytes to out and sets its size
// word: the zlib stream with bit 31 set when it fits into len bytes, otherwise the
// raw bytes plus their Adler-32 and len + 4. Returns 0 on success, 1 on failure.
int vt_deflate_e01_compress(vt_deflate *stream, const uint8_t *data, size_t len, vt_buffer *out,
                            uint32_t *size_word);
// The same into out, which has room for len + 4 bytes (the longest stored form).
int vt_deflate_e01_compress_to(vt_deflate *stream, const uint8_t *data, size_t len, uint8_t *out,
                               uint32_t *size_word);
// Appends the 4-byte little-endian Adler-32 of data to out and sets the size word
// to 4. Returns 0 on success, 1 on failure.
int vt_deflate_e01_checksum(const uint8_t *data, size_t len, vt_buffer *out, uint32_t *size_word);

// One-shot zlib compression at the default level into a new area (*out, freed by
// the caller with free). Returns 0 on success, 1 on failure.
int vt_compress(uint8_t **out, size_t *out_len, const void *data, size_t len);
