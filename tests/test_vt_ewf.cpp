// E01 writer and chunk compressor: every image written here is checked by an
// independent reader (ewfverify, ewfexport, ewfinfo) and by walking its sections.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/hash.h>

#include "vt_buffer.h"
#include "vt_deflate.h"
#include "vt_ewf.h"
#include "vt_ewf_format.h"
#include "vt_json.h"
#include "vt_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fmt = vt_ewf_format;

constexpr uint64_t kSector = 512;

struct ObjDeleter {
    void operator()(vt_json_obj *o) const { vt_json_obj_deit(&o); }
};
using Obj = std::unique_ptr<vt_json_obj, ObjDeleter>;
struct EwfDeleter {
    void operator()(vt_ewf *e) const { vt_ewf_deit(&e); }
};
using Ewf = std::unique_ptr<vt_ewf, EwfDeleter>;

struct CaseTexts {
    std::string case_number = "CASE-2024-17";
    std::string evidence_number = "EV 0042";
    std::string examiner = "Jane Q Examiner";
    std::string notes = "seized laptop disk";
    std::string description = "internal ssd of exhibit 3";
};

Obj make_doc(uint64_t chunk_size, uint64_t table_size, const CaseTexts &t = {})
{
    vt_json_obj *doc = nullptr, *ewf = nullptr;
    EXPECT_EQ(vt_json_obj_init(&doc), 0);
    EXPECT_EQ(vt_json_obj_init(&ewf), 0);
    auto text = [&](const char *key, const std::string &v) {
        EXPECT_EQ(vt_json_obj_string(ewf, key, v.data(), v.size()), 0);
    };
    text("case_number", t.case_number);
    text("evidence_number", t.evidence_number);
    text("examiner_name", t.examiner);
    text("notes", t.notes);
    text("unique_description", t.description);
    EXPECT_EQ(vt_json_obj_number_string(ewf, "chunk_size", chunk_size), 0);
    EXPECT_EQ(vt_json_obj_number_string(ewf, "table_size", table_size), 0);
    EXPECT_EQ(vt_json_obj_object(doc, "ewf", ewf), 0);
    vt_json_obj_deit(&ewf);
    return Obj(doc);
}

Ewf make_ewf(uint64_t read_size, const std::string &dir, const std::string &name, vt_json_obj *doc)
{
    vt_ewf *ewf = nullptr;
    EXPECT_EQ(vt_ewf_init(&ewf, read_size, dir.c_str(), name.c_str(), doc), 0);
    return Ewf(ewf);
}

// A source of whole sectors mixing the three kinds of chunk content: zeros
// (compress well), random bytes (stored raw) and repetitive text (compress).
Bytes make_source(uint64_t sectors, uint32_t seed)
{
    Bytes data(sectors * kSector);
    std::mt19937_64 rng(seed);
    size_t at = 0;
    for (int region = 0; at < data.size(); ++region) {
        const size_t len = std::min<size_t>(data.size() - at, 5000 + rng() % 70000);
        switch (region % 3) {
        case 0:
            break; // zeros
        case 1:
            for (size_t i = 0; i < len; ++i)
                data[at + i] = static_cast<uint8_t>(rng());
            break;
        default:
            for (size_t i = 0; i < len; ++i)
                data[at + i] = static_cast<uint8_t>("forensic image "[i % 15] + region);
        }
        at += len;
    }
    return data;
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

struct Digests {
    uint8_t md5[fmt::kMd5Size];
    uint8_t sha1[fmt::kSha1Size];
};

Digests digests_of(const uint8_t *data, size_t len)
{
    Digests d{};
    EXPECT_EQ(wc_Md5Hash(data, static_cast<word32>(len), d.md5), 0);
    EXPECT_EQ(wc_ShaHash(data, static_cast<word32>(len), d.sha1), 0);
    return d;
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t *p)
{
    return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

uint64_t file_size(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Plays the image job's part: work units of read_size bytes are split into chunks,
// compressed, appended and recorded in source order; a unit whose last chunk fills
// a table is a checkpoint, where the job saves the writer's offset.
class UnitWriter {
public:
    UnitWriter(vt_ewf *ewf, uint64_t read_size) : ewf_(ewf), read_size_(read_size)
    {
        EXPECT_EQ(vt_deflate_init(&stream_), 0);
        EXPECT_EQ(vt_buffer_init(&out_, read_size), 0);
    }
    ~UnitWriter()
    {
        vt_deflate_deit(&stream_);
        vt_buffer_deit(&out_);
    }

    // Writes the units of source[from, to); returns the source offset just past
    // the last checkpoint unit written (or `from` when there was none).
    uint64_t write(const Bytes &source, uint64_t from, uint64_t to)
    {
        uint64_t checkpoint = from;
        for (uint64_t at = from; at < to; at += read_size_) {
            const uint64_t len = std::min(read_size_, to - at);
            if (write_unit(source.data() + at, len))
                checkpoint = at + len;
        }
        return checkpoint;
    }

private:
    bool write_unit(const uint8_t *data, uint64_t len)
    {
        out_->used = 0;
        std::vector<uint32_t> words;
        for (uint64_t at = 0; at < len; at += ewf_->chunk_size) {
            uint32_t word = 0;
            const uint64_t n = std::min(ewf_->chunk_size, len - at);
            EXPECT_EQ(vt_deflate_e01_compress(stream_, data + at, n, out_, &word), 0);
            words.push_back(word);
        }
        EXPECT_EQ(vt_ewf_sector_write(ewf_, out_), 0);
        EXPECT_EQ(vt_ewf_table_update(ewf_, words.data(), words.size()), 0);
        fill_ = (fill_ == ewf_->table_capacity ? 0 : fill_) + words.size();
        const bool mark = fill_ == ewf_->table_capacity;
        if (mark) {
            EXPECT_EQ(vt_ewf_save(ewf_), 0);
        }
        return mark;
    }

    vt_ewf *ewf_;
    uint64_t read_size_;
    uint64_t fill_ = 0;
    vt_deflate *stream_ = nullptr;
    vt_buffer *out_ = nullptr;
};

struct Section {
    std::string type;
    uint64_t offset, next, size;
};

// Follows the descriptor chain from the file header to the done section,
// checking every descriptor's checksum on the way.
std::vector<Section> walk_sections(const std::string &image)
{
    std::vector<Section> sections;
    EXPECT_GE(image.size(), sizeof fmt::kFileHeader);
    EXPECT_EQ(std::memcmp(image.data(), fmt::kFileHeader, sizeof fmt::kFileHeader), 0);
    uint64_t at = sizeof fmt::kFileHeader;
    while (at + fmt::kDescriptorSize <= image.size()) {
        auto d = reinterpret_cast<const uint8_t *>(image.data() + at);
        EXPECT_EQ(le32(d + 72), adler32(1, d, 72)) << "descriptor at " << at;
        Section s{std::string(reinterpret_cast<const char *>(d), strnlen((const char *)d, 16)), at,
                  le64(d + 16), le64(d + 24)};
        sections.push_back(s);
        if (s.type == "done" || s.next <= at)
            break;
        EXPECT_EQ(s.next, at + s.size) << s.type;
        at = s.next;
    }
    return sections;
}

std::string section_types(const std::vector<Section> &sections)
{
    std::string types;
    for (const auto &s : sections)
        types += (types.empty() ? "" : " ") + s.type;
    return types;
}

// Checks what the independent reader sees: a verifying image whose media bytes
// equal the source and whose stored case texts and digests are ours.
void expect_readable_image(const std::string &path, const Bytes &source, const CaseTexts &t,
                           const vt_test::TempDir &dir)
{
    const auto verify = vt_test::run({"/usr/bin/ewfverify", "-q", path});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("SUCCESS"), std::string::npos) << verify.out;

    const std::string raw = dir.file("export");
    const auto exported =
        vt_test::run({"/usr/bin/ewfexport", "-q", "-u", "-f", "raw", "-t", raw, path});
    ASSERT_EQ(exported.status, 0) << exported.out << exported.err;
    const std::string bytes = vt_test::read_file(raw + ".raw");
    ASSERT_EQ(bytes.size(), source.size());
    EXPECT_TRUE(std::memcmp(bytes.data(), source.data(), source.size()) == 0);

    const auto info = vt_test::run({"/usr/bin/ewfinfo", path});
    EXPECT_EQ(info.status, 0) << info.err;
    for (const std::string &text :
         {t.case_number, t.evidence_number, t.examiner, t.notes, t.description})
        EXPECT_NE(info.out.find(text), std::string::npos) << text << "\n" << info.out;
    const Digests d = digests_of(source.data(), source.size());
    EXPECT_NE(info.out.find("MD5:\t\t\t" + hex(d.md5, sizeof d.md5)), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("SHA1:\t\t\t" + hex(d.sha1, sizeof d.sha1)), std::string::npos)
        << info.out;
}

// ---------------------------------------------------------------------------
// Geometry: chunks per read and table capacity.

struct ChunksCase {
    uint64_t read_size, chunk_size, expected;
    const char *message; // failure text, or null on success
};

TEST(EwfGeometry, ChunksPerRead)
{
    const ChunksCase cases[] = {
        {524288, 32768, 16, nullptr},
        {32768, 32768, 1, nullptr},
        {32768, 65536, 0, "read size is less than chunk size"},
        {100000, 32768, 0, "read size is not divisible by chunk size"},
        {65536, 0, 0, "invalid chunk size"},
    };
    for (const auto &c : cases) {
        vt_test::SyserrCapture capture;
        uint64_t n = 0;
        const int result = vt_ewf_chunks_per_read(c.read_size, c.chunk_size, &n);
        if (!c.message) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(n, c.expected);
        } else {
            EXPECT_EQ(result, 1) << c.read_size;
            EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
        }
    }
}

struct CapacityCase {
    uint64_t read_size, chunk_size, table_size, expected; // 0: must fail
};

TEST(EwfGeometry, TableCapacityIsAlignedCappedAndKeepsOffsetsIn31Bits)
{
    const CapacityCase cases[] = {
        {524288, 32768, 65534, 65520},    // the defaults
        {524288, 32768, 29999, 29984},    // 29999 - 29999 mod 16
        {524288, 32768, 30000, 30000},    // already a multiple of 16
        {524288, 32768, 100000, 65520},   // capped at 65534 first
        {65536, 4096, 32, 32},
        {1 << 26, 1 << 26, 65534, 31},    // 64 MiB chunks: 31 x (2^26 + 4) < 2^31 < 32 x ...
        {1 << 27, 1 << 25, 65534, 60},    // limit 63, rounded down to a multiple of 4 reads
        {1 << 20, 1 << 16, 65534, 32752}, // limit 32766, a multiple of 16 below it
        {524288, 32768, 8, 0},            // a table smaller than one read
        {uint64_t{1} << 31, uint64_t{1} << 31, 65534, 0}, // not even one chunk fits
    };
    for (const auto &c : cases) {
        vt_test::SyserrCapture capture;
        uint64_t capacity = 0;
        const int result = vt_ewf_table_capacity(c.read_size, c.chunk_size, c.table_size, &capacity);
        if (c.expected == 0) {
            EXPECT_EQ(result, 1) << c.chunk_size;
            continue;
        }
        ASSERT_EQ(result, 0) << capture.text();
        EXPECT_EQ(capacity, c.expected) << c.chunk_size << " " << c.table_size;
        EXPECT_EQ(capacity % (c.read_size / c.chunk_size), 0u);
        EXPECT_LT(capacity * (c.chunk_size + 4), uint64_t{1} << 31);
    }
}

TEST(EwfGeometry, TableSizeAlign)
{
    uint64_t size = 29999;
    ASSERT_EQ(vt_ewf_table_size_align(16, &size), 0);
    EXPECT_EQ(size, 29984u);
    size = 32;
    ASSERT_EQ(vt_ewf_table_size_align(16, &size), 0);
    EXPECT_EQ(size, 32u);
}

TEST(EwfGeometry, InitWithLargeChunkSizeLimitsTheTable)
{
    vt_test::TempDir dir;
    Obj doc = make_doc(1 << 26, 65534);
    Ewf ewf = make_ewf(1 << 26, dir.path(), "big", doc.get());
    ASSERT_TRUE(ewf);
    EXPECT_EQ(ewf->table_capacity, 31u);
    EXPECT_EQ(ewf->path.text, dir.file("big.E01"));
}

TEST(EwfGeometry, InitRejectsIncompleteDocuments)
{
    vt_test::TempDir dir;
    vt_test::SyserrCapture capture;
    Obj doc = make_doc(32768, 65534);
    vt_json_obj *ewf_section = nullptr;
    ASSERT_EQ(vt_json_obj_get_object(doc.get(), "ewf", &ewf_section), 0);
    ASSERT_EQ(vt_json_obj_remove(ewf_section, "notes"), 0);
    vt_json_obj_deit(&ewf_section);
    vt_ewf *ewf = nullptr;
    EXPECT_EQ(vt_ewf_init(&ewf, 524288, dir.path().c_str(), "x", doc.get()), 1);
    EXPECT_EQ(ewf, nullptr);
    EXPECT_NE(capture.text().find("missing notes key from object"), std::string::npos);

    Obj wrong_read = make_doc(32768, 65534);
    EXPECT_EQ(vt_ewf_init(&ewf, 100000, dir.path().c_str(), "x", wrong_read.get()), 1);
    EXPECT_NE(capture.text().find("read size is not divisible by chunk size"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Chunk compressor.

struct DeflateTest : ::testing::Test {
    vt_deflate *stream = nullptr;
    vt_buffer *out = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(vt_deflate_init(&stream), 0);
        ASSERT_EQ(vt_buffer_init(&out, 0), 0);
    }
    void TearDown() override
    {
        vt_deflate_deit(&stream);
        vt_buffer_deit(&out);
    }
};

TEST_F(DeflateTest, StoredFormsFollowEachOtherInTheBuffer)
{
    Bytes zeros(32768, 0), noise(32768), text(32768);
    std::mt19937 rng(7);
    for (auto &b : noise)
        b = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>("abcdefgh"[i % 8]);

    // The same stream serves chunk after chunk: each one must be a complete,
    // independent zlib stream, so the reset between chunks matters.
    const Bytes *chunks[] = {&zeros, &noise, &text, &zeros};
    std::vector<uint32_t> words;
    for (const Bytes *c : chunks) {
        uint32_t word = 0;
        ASSERT_EQ(vt_deflate_e01_compress(stream, c->data(), c->size(), out, &word), 0);
        words.push_back(word);
    }

    size_t at = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        const Bytes &c = *chunks[i];
        const uint32_t length = words[i] & fmt::kChunkLengthMask;
        const uint8_t *stored = out->data + at;
        if (chunks[i] == &noise) {
            EXPECT_EQ(words[i], c.size() + 4) << "random bytes are stored raw";
            EXPECT_EQ(std::memcmp(stored, c.data(), c.size()), 0);
            EXPECT_EQ(le32(stored + c.size()), adler32(1, c.data(), c.size()));
        } else {
            EXPECT_NE(words[i] & fmt::kChunkCompressed, 0u) << "chunk " << i;
            Bytes plain(c.size());
            uLongf plain_len = plain.size();
            ASSERT_EQ(uncompress(plain.data(), &plain_len, stored, length), Z_OK);
            EXPECT_EQ(plain_len, c.size());
            EXPECT_EQ(plain, c);
        }
        at += length;
    }
    EXPECT_EQ(at, out->used);
}

TEST_F(DeflateTest, ShortLastChunkAndEmptyChunk)
{
    Bytes tail(7232, 0x5a);
    uint32_t word = 0;
    ASSERT_EQ(vt_deflate_e01_compress(stream, tail.data(), tail.size(), out, &word), 0);
    EXPECT_NE(word & fmt::kChunkCompressed, 0u);
    EXPECT_EQ(word & fmt::kChunkLengthMask, out->used);

    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_deflate_e01_compress(stream, tail.data(), 0, out, &word), 1);
}

TEST_F(DeflateTest, ChecksumAppendsAdlerAndSetsFour)
{
    const uint8_t data[] = "chunk";
    uint32_t word = 0;
    ASSERT_EQ(vt_deflate_e01_checksum(data, 5, out, &word), 0);
    EXPECT_EQ(word, 4u);
    ASSERT_EQ(out->used, 4u);
    EXPECT_EQ(le32(out->data), adler32(1, data, 5));
}

TEST(Compress, OneShotRoundTrip)
{
    const std::string text = "1\r\nmain\r\nc\tn\r\nsome header text some header text\r\n";
    uint8_t *packed = nullptr;
    size_t packed_len = 0;
    ASSERT_EQ(vt_compress(&packed, &packed_len, text.data(), text.size()), 0);
    std::string plain(text.size(), '\0');
    uLongf plain_len = plain.size();
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(plain.data()), &plain_len, packed, packed_len),
              Z_OK);
    EXPECT_EQ(plain, text);
    free(packed);
}

// ---------------------------------------------------------------------------
// Writer: file layout.

TEST(EwfLayout, VolumeSectionOf100Sectors)
{
    vt_test::TempDir dir;
    Obj doc = make_doc(32768, 65534);
    Ewf ewf = make_ewf(524288, dir.path(), "vol", doc.get());
    ASSERT_EQ(vt_ewf_create(ewf.get(), 512, 100), 0);
    const Digests none{};
    ASSERT_EQ(vt_ewf_close(ewf.get(), none.md5, none.sha1), 0);

    const std::string image = vt_test::read_file(dir.file("vol.E01"));
    const auto sections = walk_sections(image);
    // No chunk was written: the empty sectors placeholder is cut away.
    EXPECT_EQ(section_types(sections), "header volume digest hash done");
    ASSERT_EQ(sections.size(), 5u);
    const auto *v = reinterpret_cast<const uint8_t *>(image.data() + sections[1].offset + 76);
    EXPECT_EQ(sections[1].size, 1128u);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(le32(v + 4), 2u);
    EXPECT_EQ(le32(v + 8), 64u);
    EXPECT_EQ(le32(v + 12), 512u);
    EXPECT_EQ(le64(v + 16), 100u);
    EXPECT_EQ(v[36], 3);
    EXPECT_EQ(v[52], 1);
    EXPECT_EQ(le32(v + 1048), adler32(1, v, 1048));
    EXPECT_EQ(sections[2].size, 156u);
    EXPECT_EQ(sections[3].size, 112u);
    EXPECT_EQ(sections[4].size, 0u);
    EXPECT_EQ(sections[4].next, sections[4].offset);
    EXPECT_EQ(image.size(), sections[4].offset + 76);

    // The header text names the case and carries the program version.
    const auto *h = reinterpret_cast<const uint8_t *>(image.data() + sections[0].offset + 76);
    std::string text(4096, '\0');
    uLongf text_len = text.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(text.data()), &text_len, h, sections[0].size - 76),
              Z_OK);
    text.resize(text_len);
    EXPECT_EQ(text.rfind("1\r\nmain\r\nc\tn\ta\te\tt\tav\tov\tm\tu\tp\r\nCASE-2024-17\tEV 0042\t", 0),
              0u)
        << text;
    EXPECT_NE(text.find("\t8.0.0.57\t"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 6), "\t0\r\n\r\n");
}

TEST(EwfLayout, ChunkSizeMustBeAWholeNumberOfSectors)
{
    vt_test::TempDir dir;
    vt_test::SyserrCapture capture;
    Obj doc = make_doc(1000, 65534);
    Ewf ewf = make_ewf(1000, dir.path(), "odd", doc.get());
    EXPECT_EQ(vt_ewf_create(ewf.get(), 512, 100), 1);
    EXPECT_NE(capture.text().find("chunk size is not divisible by sector size"), std::string::npos);
    EXPECT_NE(capture.text().find("failed to write ewf volume section"), std::string::npos);
}

TEST(EwfLayout, TableOverflowFailsTheUpdate)
{
    vt_test::TempDir dir;
    vt_test::SyserrCapture capture;
    Obj doc = make_doc(4096, 32);
    Ewf ewf = make_ewf(16384, dir.path(), "over", doc.get());
    ASSERT_EQ(vt_ewf_create(ewf.get(), 512, 1024), 0);
    std::vector<uint32_t> words(33, 100);
    Bytes data(33 * 100, 0);
    vt_buffer *buffer = nullptr;
    ASSERT_EQ(vt_buffer_init(&buffer, 0), 0);
    ASSERT_EQ(vt_buffer_write(buffer, data.data(), data.size()), 0);
    ASSERT_EQ(vt_ewf_sector_write(ewf.get(), buffer), 0);
    EXPECT_EQ(vt_ewf_table_update(ewf.get(), words.data(), words.size()), 1);
    EXPECT_NE(capture.text().find("failed on overflow in table array"), std::string::npos);
    vt_buffer_deit(&buffer);

    // Entries are 31-bit offsets: a stored length that would carry the running
    // offset into bit 31 is refused rather than wrapped into a wrong entry.
    Ewf fresh = make_ewf(16384, dir.path(), "wide", doc.get());
    const uint32_t wide[] = {0x7FFFFFF0u, 0x100u};
    EXPECT_EQ(vt_ewf_table_update(fresh.get(), wide, 2), 1);
    EXPECT_NE(capture.text().find("failed on overflow in chunk offset"), std::string::npos);
    EXPECT_EQ(fresh->entries_used, 1u);
}

// ---------------------------------------------------------------------------
// Whole images, read back by the independent tools.

struct ImageCase {
    const char *name;
    uint64_t sectors, chunk_size, read_size, table_size;
};

class EwfImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(EwfImage, VerifiesAndExportsTheSource)
{
    const ImageCase c = GetParam();
    vt_test::TempDir dir;
    const CaseTexts texts;
    const Bytes source = make_source(c.sectors, 1234);
    Obj doc = make_doc(c.chunk_size, c.table_size, texts);
    Ewf ewf = make_ewf(c.read_size, dir.path(), c.name, doc.get());
    ASSERT_TRUE(ewf);
    ASSERT_EQ(vt_ewf_create(ewf.get(), kSector, c.sectors), 0);
    {
        UnitWriter writer(ewf.get(), c.read_size);
        writer.write(source, 0, source.size());
    }
    const Digests d = digests_of(source.data(), source.size());
    ASSERT_EQ(vt_ewf_close(ewf.get(), d.md5, d.sha1), 0);

    const std::string path = dir.file(std::string(c.name) + ".E01");
    const std::string image = vt_test::read_file(path);
    const auto sections = walk_sections(image);
    ASSERT_GE(sections.size(), 5u);
    EXPECT_EQ(sections.back().type, "done");
    EXPECT_EQ(image.size(), sections.back().offset + 76);

    // Every sectors section is followed by its table, which points at its data.
    uint64_t chunks = 0;
    for (size_t i = 0; i + 1 < sections.size(); ++i) {
        if (sections[i].type != "sectors")
            continue;
        ASSERT_EQ(sections[i + 1].type, "table");
        const auto *t = reinterpret_cast<const uint8_t *>(image.data() + sections[i + 1].offset + 76);
        const uint32_t n = le32(t);
        EXPECT_LE(n, ewf->table_capacity);
        EXPECT_EQ(le64(t + 8), sections[i].offset + 76);
        EXPECT_EQ(le32(t + 20), adler32(1, t, 20));
        EXPECT_EQ(le32(t + 24 + 4 * n), adler32(1, t + 24, 4 * n));
        EXPECT_EQ(le32(t + 24) & fmt::kChunkLengthMask, 0u);
        chunks += n;
    }
    const uint64_t total = source.size();
    EXPECT_EQ(chunks, (total + c.chunk_size - 1) / c.chunk_size);

    // The digest section holds exactly the digests handed in.
    const Section &digest = sections[sections.size() - 3];
    ASSERT_EQ(digest.type, "digest");
    EXPECT_EQ(image.compare(digest.offset + 76, 16, reinterpret_cast<const char *>(d.md5), 16), 0);
    EXPECT_EQ(image.compare(digest.offset + 92, 20, reinterpret_cast<const char *>(d.sha1), 20), 0);

    expect_readable_image(path, source, texts, dir);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, EwfImage,
    ::testing::Values(
        // Not a multiple of the chunk or the read size; 32-entry tables force many pairs.
        ImageCase{"small_tables", 4099, 4096, 16384, 32},
        ImageCase{"default_chunks", 6151, 32768, 524288, 32},
        // One read per table: every unit closes a table.
        ImageCase{"one_read_per_table", 2049, 8192, 65536, 8},
        // Exactly one table's worth: the last unit writes the table and the
        // empty sectors placeholder after it is cut away at close.
        ImageCase{"exactly_one_table", 256, 4096, 16384, 32},
        ImageCase{"default_tables", 3001, 32768, 524288, 65534}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EwfImageLayout, ExactlyOneTableEndsWithTableThenDigest)
{
    vt_test::TempDir dir;
    const Bytes source = make_source(256, 99); // 32 chunks of 4096 bytes
    Obj doc = make_doc(4096, 32);
    Ewf ewf = make_ewf(16384, dir.path(), "one", doc.get());
    ASSERT_EQ(vt_ewf_create(ewf.get(), kSector, 256), 0);
    {
        UnitWriter writer(ewf.get(), 16384);
        EXPECT_EQ(writer.write(source, 0, source.size()), source.size());
    }
    const Digests d = digests_of(source.data(), source.size());
    ASSERT_EQ(vt_ewf_close(ewf.get(), d.md5, d.sha1), 0);
    const auto sections = walk_sections(vt_test::read_file(dir.file("one.E01")));
    EXPECT_EQ(section_types(sections), "header volume sectors table digest hash done");
}

// ---------------------------------------------------------------------------
// Checkpoints: stop, reopen with cut-back, continue.

struct ResumeCase {
    const char *name;
    uint64_t stop_at; // source bytes written by the first run
};

class EwfResume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(EwfResume, ContinuedImageEqualsTheSource)
{
    constexpr uint64_t kChunk = 4096, kRead = 16384, kSectors = 2053;
    const ResumeCase c = GetParam();
    vt_test::TempDir dir;
    CaseTexts texts;
    texts.notes = "resumed after stop";
    const Bytes source = make_source(kSectors, 77);
    Obj doc = make_doc(kChunk, 32, texts);
    const std::string path = dir.file("resume.E01");

    // First run: the job saves the writer's offset after create and at every
    // table boundary, writes some more units, and is stopped.
    Obj checkpoint;
    uint64_t resume_from = 0;
    {
        Ewf ewf = make_ewf(kRead, dir.path(), "resume", doc.get());
        ASSERT_EQ(vt_ewf_create(ewf.get(), kSector, kSectors), 0);
        ASSERT_EQ(vt_ewf_save(ewf.get()), 0);
        UnitWriter writer(ewf.get(), kRead);
        resume_from = writer.write(source, 0, c.stop_at);
        const Digests partial = digests_of(source.data(), c.stop_at);
        ASSERT_EQ(vt_ewf_close(ewf.get(), partial.md5, partial.sha1), 0);
        vt_json_obj *copy = nullptr;
        ASSERT_EQ(vt_ewf_get_object(ewf.get(), &copy), 0);
        checkpoint.reset(copy);
    }
    EXPECT_EQ(resume_from % (32 * kChunk), 0u) << "a checkpoint is always a table boundary";

    // Second run, as a new process would: a fresh writer, the saved offset, cut-back.
    Ewf ewf = make_ewf(kRead, dir.path(), "resume", doc.get());
    ASSERT_EQ(vt_ewf_load(ewf.get(), checkpoint.get()), 0);
    const uint64_t offset = ewf->offset;
    ASSERT_EQ(vt_ewf_open(ewf.get()), 0);
    // The file now ends with a fresh, empty sectors placeholder at the checkpoint.
    EXPECT_EQ(file_size(path), offset + 76);
    EXPECT_EQ(ewf->sectors_offset, offset);
    {
        UnitWriter writer(ewf.get(), kRead);
        writer.write(source, resume_from, source.size());
    }
    const Digests d = digests_of(source.data(), source.size());
    ASSERT_EQ(vt_ewf_close(ewf.get(), d.md5, d.sha1), 0);

    const auto sections = walk_sections(vt_test::read_file(path));
    EXPECT_EQ(sections.back().type, "done");
    expect_readable_image(path, source, texts, dir);
}

INSTANTIATE_TEST_SUITE_P(
    StopPoints, EwfResume,
    ::testing::Values(
        // Stopped before the first table completed: the whole acquisition restarts.
        ResumeCase{"before_first_table", 5 * 16384},
        // Stopped three units after the second table boundary.
        ResumeCase{"after_second_table", 19 * 16384},
        // Stopped right at a boundary: nothing to cut but the empty placeholder.
        ResumeCase{"at_boundary", 16 * 16384}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EwfCheckpoint, SaveClearAndCopy)
{
    vt_test::TempDir dir;
    Obj doc = make_doc(4096, 32);
    Ewf ewf = make_ewf(16384, dir.path(), "cp", doc.get());
    ASSERT_EQ(vt_ewf_create(ewf.get(), kSector, 64), 0);
    ASSERT_EQ(vt_ewf_save(ewf.get()), 0);

    vt_json_obj *copy = nullptr;
    ASSERT_EQ(vt_ewf_get_object(ewf.get(), &copy), 0);
    Obj saved(copy);
    uint64_t offset = 0;
    ASSERT_EQ(vt_json_obj_get_number_string(saved.get(), "offset", &offset), 0);
    EXPECT_EQ(offset, ewf->sectors_offset);

    // A cleared checkpoint leaves nothing to resume from; the copy is independent.
    ASSERT_EQ(vt_ewf_clear(ewf.get()), 0);
    ASSERT_EQ(vt_ewf_clear(ewf.get()), 0);
    copy = nullptr;
    ASSERT_EQ(vt_ewf_get_object(ewf.get(), &copy), 0);
    Obj cleared(copy);
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_ewf_load(ewf.get(), cleared.get()), 1);
    EXPECT_EQ(vt_json_obj_check_key(saved.get(), "offset"), 0);
    const Digests none{};
    EXPECT_EQ(vt_ewf_close(ewf.get(), none.md5, none.sha1), 0);
}

// A checkpoint offset of 0 or past the end of the file would cut away the image's
// own header or pad it with zeros: the file must stay as it is.
TEST(EwfCheckpoint, OpenRejectsOffsetsOutsideTheFile)
{
    vt_test::TempDir dir;
    Obj doc = make_doc(4096, 32);
    {
        Ewf ewf = make_ewf(16384, dir.path(), "bad", doc.get());
        ASSERT_EQ(vt_ewf_create(ewf.get(), kSector, 64), 0);
        const Digests none{};
        ASSERT_EQ(vt_ewf_close(ewf.get(), none.md5, none.sha1), 0);
    }
    const std::string path = dir.file("bad.E01");
    const std::string before = vt_test::read_file(path);
    for (uint64_t offset : {uint64_t{0}, uint64_t{before.size() + 1}, uint64_t{1} << 40}) {
        vt_test::SyserrCapture capture;
        Ewf ewf = make_ewf(16384, dir.path(), "bad", doc.get());
        vt_json_obj *cp = nullptr;
        ASSERT_EQ(vt_json_obj_init(&cp), 0);
        Obj hold(cp);
        ASSERT_EQ(vt_json_obj_number_string(cp, "offset", offset), 0);
        ASSERT_EQ(vt_ewf_load(ewf.get(), cp), 0);
        EXPECT_EQ(vt_ewf_open(ewf.get()), 1) << offset;
        EXPECT_NE(capture.text().find("invalid sectors section descriptor offset"),
                  std::string::npos);
        EXPECT_EQ(vt_test::read_file(path), before);
    }
}

TEST(EwfCheckpoint, OpenOfAMissingFileFails)
{
    vt_test::TempDir dir;
    vt_test::SyserrCapture capture;
    Obj doc = make_doc(4096, 32);
    Ewf ewf = make_ewf(16384, dir.path(), "absent", doc.get());
    ewf->offset = 1200;
    EXPECT_EQ(vt_ewf_open(ewf.get()), 1);
    EXPECT_NE(capture.text().find("failed to open file -- "), std::string::npos);
    EXPECT_EQ(file_size(dir.file("absent.E01")), 0u);
}

} // namespace
