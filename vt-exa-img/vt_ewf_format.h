// On-disk layout of the single-segment EWF-E01 image the imager writes: the file
// header, the 76-byte section descriptor and the fixed-size section bodies. Every
// integer in the file is little-endian; every checksum is an Adler-32 started from 1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt_ewf_format {

// File header, 13 bytes at offset 0.
//   0  8  signature 45 56 46 09 0D 0A FF 00
//   8  1  fields start, always 1
//   9  2  segment number, always 1 (one segment per image)
//  11  2  fields end, always 0
inline constexpr uint8_t kFileHeader[13] = {0x45, 0x56, 0x46, 0x09, 0x0D, 0x0A, 0xFF,
                                            0x00, 0x01, 0x01, 0x00, 0x00, 0x00};

// Section descriptor, 76 bytes, in front of every section.
//   0 16  section type, ASCII, zero-filled
//  16  8  absolute file offset of the next section
//  24  8  size of the section, this descriptor included
//  32 40  zero
//  72  4  Adler-32 of bytes 0 to 71
inline constexpr size_t kDescriptorSize = 76;
inline constexpr size_t kDescriptorTypeSize = 16;
inline constexpr size_t kDescriptorNextOffset = 16;
inline constexpr size_t kDescriptorSizeOffset = 24;
inline constexpr size_t kDescriptorChecksumOffset = 72;

// Section types, as written into the descriptor's first 16 bytes.
inline constexpr char kTypeHeader[] = "header";
inline constexpr char kTypeVolume[] = "volume";
inline constexpr char kTypeSectors[] = "sectors";
inline constexpr char kTypeTable[] = "table";
inline constexpr char kTypeDigest[] = "digest";
inline constexpr char kTypeHash[] = "hash";
inline constexpr char kTypeDone[] = "done";

// Header section body: the zlib-compressed header text. Fields of the text, in
// order: c case number, n evidence number, a unique description, e examiner name,
// t notes, av program version, ov platform, m acquisition time (local),
// u system time (UTC), p password hash (always 0). Times are "Y M D h m s".
inline constexpr char kHeaderText[] =
    "1\r\nmain\r\nc\tn\ta\te\tt\tav\tov\tm\tu\tp\r\n"
    "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t0\r\n\r\n";
inline constexpr char kHeaderTime[] = "%d %d %d %d %d %d";
inline constexpr char kProgramVersion[] = "8.0.0.57";

// Volume section body, 1052 bytes, zero except:
//    0  1  media type, 1 (fixed disk)
//    4  4  number of chunks
//    8  4  sectors per chunk
//   12  4  bytes per sector
//   16  8  number of sectors
//   36  1  media flags, 3 (physical image)
//   52  1  compression level, 1 (fast)
// 1048  4  Adler-32 of bytes 0 to 1047
inline constexpr size_t kVolumeSize = 1052;
inline constexpr size_t kVolumeMediaTypeOffset = 0;
inline constexpr size_t kVolumeChunkCountOffset = 4;
inline constexpr size_t kVolumeSectorsPerChunkOffset = 8;
inline constexpr size_t kVolumeBytesPerSectorOffset = 12;
inline constexpr size_t kVolumeSectorCountOffset = 16;
inline constexpr size_t kVolumeMediaFlagsOffset = 36;
inline constexpr size_t kVolumeCompressionOffset = 52;
inline constexpr size_t kVolumeChecksumOffset = 1048;
inline constexpr uint8_t kMediaTypeFixed = 1;
inline constexpr uint8_t kMediaFlagsPhysical = 3;
inline constexpr uint8_t kCompressionFast = 1;

// Table section, directly after the chunk data of its sectors section:
// descriptor, 24-byte header, 4 bytes per entry, 4-byte footer.
// Header:
//    0  4  number of entries n
//    4  4  zero
//    8  8  base offset: the file offset of the first chunk (sectors descriptor + 76)
//   16  4  zero
//   20  4  Adler-32 of header bytes 0 to 19
// Entry: chunk offset relative to the base offset, bit 31 set when compressed.
// Footer: Adler-32 of the 4n entry bytes.
inline constexpr size_t kTableHeaderSize = 24;
inline constexpr size_t kTableCountOffset = 0;
inline constexpr size_t kTableBaseOffset = 8;
inline constexpr size_t kTableHeaderChecksumOffset = 20;
inline constexpr size_t kTableEntrySize = 4;
inline constexpr size_t kTableFooterSize = 4;
// Entries per table at most; the imager's tables never hold more.
inline constexpr uint64_t kTableSizeMax = 65534;

// Size word of a stored chunk (also the flag of a table entry): bit 31 means the
// chunk is a zlib stream; bits 0 to 30 are the bytes the chunk occupies.
inline constexpr uint32_t kChunkCompressed = 0x80000000u;
inline constexpr uint32_t kChunkLengthMask = 0x7FFFFFFFu;
// A chunk stored raw is followed by the Adler-32 of its bytes.
inline constexpr size_t kChunkChecksumSize = 4;
// Chunk offsets inside one sectors section are 31 bits wide: a table's chunk data
// must stay below this many bytes.
inline constexpr uint64_t kChunkDataLimit = uint64_t{1} << 31;

// Digest section body, 80 bytes:
//    0 16  MD5
//   16 20  SHA-1
//   36 40  zero
//   76  4  Adler-32 of bytes 0 to 75
inline constexpr size_t kDigestSize = 80;
inline constexpr size_t kDigestMd5Offset = 0;
inline constexpr size_t kDigestSha1Offset = 16;
inline constexpr size_t kDigestChecksumOffset = 76;

// Hash section body, 36 bytes:
//    0 16  MD5
//   16 16  zero
//   32  4  Adler-32 of bytes 0 to 31
inline constexpr size_t kHashSize = 36;
inline constexpr size_t kHashMd5Offset = 0;
inline constexpr size_t kHashChecksumOffset = 32;

inline constexpr size_t kMd5Size = 16;
inline constexpr size_t kSha1Size = 20;

// Little-endian stores used for every integer field above.
inline void put_le32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void put_le64(uint8_t *at, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace vt_ewf_format
