// Tests of the image job with real parts: a sample disk attached as a loop device,
// imaged through the job API, and the E01 file checked with the ewf tools; plus
// the work units, the locked queue and the compression pool on their own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "vt_aux.h"
#include "vt_buffer.h"
#include "vt_deflate.h"
#include "vt_ewf.h"
#include "vt_hash.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_opt.h"
#include "vt_read_state.h"
#include "vt_test_json.h"
#include "vt_test_util.h"
#include "vt_thread.h"

namespace {

using vt_test::read_file;
using vt_test::run;
using vt_test::SyserrCapture;
using vt_test::TempDir;
using vt_test::write_file;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

std::string trim(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Source bytes in 96 KiB regions that rotate through zeros, random bytes and
// repetitive text, so chunks are stored both compressed and raw.
std::string make_sample(uint64_t size, unsigned seed)
{
    std::string data(size, '\0');
    std::mt19937 random(seed);
    constexpr uint64_t region = 96 * KiB;
    for (uint64_t at = 0; at < size; ++at) {
        switch ((at / region) % 3) {
        case 0:
            break;
        case 1:
            data[at] = static_cast<char>(random());
            break;
        default:
            data[at] = "evidence block "[at % 15];
            break;
        }
    }
    return data;
}

std::string digest_of(const std::string &tool, const std::string &path)
{
    const auto result = run({tool, path});
    return result.out.substr(0, result.out.find(' '));
}

struct JobParams {
    uint64_t read_size = 524288;
    uint64_t chunk_size = 32768;
    uint64_t table_size = 65534;
};

using json_ptr = vt_test::JsonPtr;
using vt_test::json_number;
using vt_test::json_section;
using vt_test::json_text;
using vt_test::parse_json;

struct img_release {
    void operator()(vt_img *img) const { vt_img_deit(&img); }
};
using img_ptr = std::unique_ptr<vt_img, img_release>;

uint64_t le(const std::string &bytes, size_t at, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return value;
}

// Bytes counted in a saved digest state (92 or 96 bytes).
uint64_t hashed_bytes(vt_json_obj *hash, const char *key)
{
    uint8_t *bytes = nullptr;
    size_t count = 0;
    if (vt_json_obj_get_binary_(hash, key, &bytes, &count))
        return ~0ULL;
    const std::string state(reinterpret_cast<char *>(bytes), count);
    free(bytes);
    return le(state, vt_hash_state::total_low, 4) | le(state, vt_hash_state::total_high, 4) << 32;
}

// The sections of an E01 file in file order: (type, offset, entries of a table).
struct Section {
    std::string type;
    uint64_t offset;
    uint64_t entries;
};

std::vector<Section> walk_sections(const std::string &file)
{
    std::vector<Section> sections;
    uint64_t at = 13;
    while (at + 76 <= file.size() && sections.size() < 100000) {
        const std::string type = file.substr(at, 16).c_str();
        const uint64_t next = le(file, at + 16, 8);
        const uint64_t entries = type == "table" ? le(file, at + 76, 4) : 0;
        sections.push_back({type, at, entries});
        if (type == "done" || next <= at)
            break;
        at = next;
    }
    return sections;
}

// The stored checkpoint names one table boundary: the hash states counted exactly
// the bytes the read position names, and the writer offset is the start of the
// sectors section that follows tables holding exactly those bytes.
void expect_consistent_recover(vt_json_obj *doc, const std::string &e01, uint64_t chunk_size,
                               uint64_t source_size)
{
    json_ptr recover = json_section(doc, "recover");
    ASSERT_TRUE(recover) << "no recover object";
    json_ptr read = json_section(recover.get(), "read");
    json_ptr hash = json_section(recover.get(), "hash");
    json_ptr write = json_section(recover.get(), "write");
    ASSERT_TRUE(read && hash && write);
    const uint64_t offset = json_number(read.get(), "offset");
    EXPECT_EQ(offset + json_number(read.get(), "length"), source_size);
    EXPECT_EQ(hashed_bytes(hash.get(), "md5"), offset);
    EXPECT_EQ(hashed_bytes(hash.get(), "sha1"), offset);
    const uint64_t write_offset = json_number(write.get(), "offset");
    uint64_t chunks = 0;
    bool found = false;
    for (const Section &s : walk_sections(read_file(e01))) {
        if (s.offset == write_offset) {
            found = true;
            EXPECT_TRUE(s.type == "sectors" || s.type == "digest") << s.type;
            break;
        }
        chunks += s.entries;
    }
    EXPECT_TRUE(found) << "write offset " << write_offset << " is no section start";
    EXPECT_EQ(std::min(chunks * chunk_size, source_size), offset);
}

// A sample file attached as a loop device, and a state directory of its own.
class ImageJob : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VANTREL_STATE_DIR", dir.file("state").c_str(), 1);
        mkdir(dir.file("state").c_str(), 0755);
        mkdir(dir.file("out").c_str(), 0755);
    }

    void TearDown() override
    {
        if (!device.empty())
            run({"/usr/sbin/losetup", "-d", device});
        unsetenv("VANTREL_STATE_DIR");
    }

    // Writes the sample and attaches it; returns the sample's bytes.
    std::string attach(uint64_t size, unsigned seed = 1)
    {
        const std::string data = make_sample(size, seed);
        write_file(backing(), data);
        const auto result = run({"/usr/sbin/losetup", "--find", "--show", backing()});
        EXPECT_EQ(result.status, 0) << result.err;
        device = trim(result.out);
        return data;
    }

    std::string backing() const { return dir.file("sample.raw"); }
    std::string e01() const { return dir.file("out") + "/" + name + ".E01"; }
    std::string log() const { return dir.file("out") + "/" + name + ".log"; }
    std::string job_json() const { return dir.file("state") + "/image/" + name + "/json"; }

    std::string document(const JobParams &p, const std::string &source_section) const
    {
        return "{\"imager\": {\"image_path\": \"" + dir.file("out") + "\", \"image_name\": \"" +
               name + "\", \"hash\": \"md5,sha1\", \"read_size\": \"" +
               std::to_string(p.read_size) +
               "\"}, \"ewf\": {\"case_number\": \"case-42\", \"evidence_number\": \"ev 7\", "
               "\"examiner_name\": \"Jo Examiner\", \"notes\": \"seized disk\", "
               "\"unique_description\": \"loop sample\", \"chunk_size\": \"" +
               std::to_string(p.chunk_size) + "\", \"table_size\": \"" +
               std::to_string(p.table_size) + "\"}" + source_section + "}";
    }

    std::string disk_section() const { return ", \"disk\": {\"path\": \"" + device + "\"}"; }

    // Writes the document as the job's own `json` and builds the job from that
    // file, as the job-control commands do; the job then saves back to it.
    img_ptr job_from_file(const std::string &text)
    {
        std::filesystem::create_directories(dir.file("state") + "/image/" + name);
        write_file(job_json(), text);
        return job_from_saved();
    }

    img_ptr job_from_saved()
    {
        vt_opt *opt = nullptr;
        EXPECT_EQ(vt_opt_init(&opt, 0, nullptr), 0);
        vt_string_copy(&opt->config, job_json().c_str(), job_json().size());
        vt_img *img = nullptr;
        EXPECT_EQ(vt_img_init(&img, opt), 0);
        vt_opt_deit(&opt);
        return img_ptr(img);
    }

    json_ptr saved_document() const { return parse_json(read_file(job_json())); }

    // Waits for the run's stop flag, setting it once the read position passes
    // stop_at (never when 0), then stops the run.
    void finish_run(vt_img *img, uint64_t stop_at = 0, std::function<void()> at_stop = nullptr)
    {
        std::atomic<bool> done{false};
        std::thread watcher;
        if (stop_at) {
            watcher = std::thread([&]() {
                while (!done) {
                    uint64_t offset = 0, remaining = 0, rate = 0;
                    vt_read_state_get_state(img->rs, &offset, &remaining, &rate);
                    if (offset >= stop_at) {
                        if (at_stop)
                            at_stop();
                        else
                            vt_img_set_sentinel(img);
                        return;
                    }
                    std::this_thread::yield();
                }
            });
        }
        // A generous bound only, so a hung pipeline fails the test instead of the suite.
        bool stopped = false;
        for (int second = 0; second < 600 && !stopped; ++second)
            stopped = vt_cond_wait_timed(img->stop_event, 1000) == 0;
        done = true;
        if (watcher.joinable())
            watcher.join();
        ASSERT_TRUE(stopped) << "the run never set its stop flag";
        EXPECT_EQ(vt_img_stop(img), 0);
    }

    std::string status_of(vt_json_obj *doc)
    {
        json_ptr state = json_section(doc, "state");
        return state ? json_text(state.get(), "status") : "<no state>";
    }

    // The image verifies, reads back as exactly the source, and carries the
    // source's digests; the log has its six blocks with the same digests.
    void expect_complete_image(const std::string &source)
    {
        const auto verify = run({"/usr/bin/ewfverify", "-q", e01()});
        EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
        const std::string raw = dir.file("export");
        const auto exported = run({"/usr/bin/ewfexport", "-q", "-u", "-f", "raw", "-t", raw, e01()});
        ASSERT_EQ(exported.status, 0) << exported.out << exported.err;
        EXPECT_TRUE(read_file(raw + ".raw") == source) << "exported bytes differ from the source";
        unlink((raw + ".raw").c_str());

        const std::string md5 = digest_of("/usr/bin/md5sum", backing());
        const std::string sha1 = digest_of("/usr/bin/sha1sum", backing());
        const auto info = run({"/usr/bin/ewfinfo", e01()});
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find(md5), std::string::npos) << info.out;
        EXPECT_NE(info.out.find(sha1), std::string::npos) << info.out;

        const std::string text = read_file(log());
        for (const char *block :
             {"[Collection Information]\nExaminer Name: Jo Examiner\nCase Number: case-42\n",
              "[Evidence Details]\nPath: ", "[Image Details]\nCreated using Vantrel Imager",
              "MD5 Source Hash: ", "Image File Segment List:\n", "Acquisition Start Time: "})
            EXPECT_NE(text.find(block), std::string::npos) << block << " missing in\n" << text;
        EXPECT_NE(text.find("MD5 Source Hash: " + md5 + "\nSHA1 Source Hash: " + sha1),
                  std::string::npos)
            << text;
    }

    TempDir dir;
    std::string device;
    std::string name = "case_image";
};

// ---- Whole acquisitions ----

struct LayoutCase {
    const char *label;
    JobParams params;
    uint64_t size;
};

class ImageLayout : public ImageJob, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(ImageLayout, AcquiresTheWholeDiskIntoAVerifiedImage)
{
    const LayoutCase &c = GetParam();
    const std::string source = attach(c.size);
    img_ptr img = job_from_file(document(c.params, disk_section()));
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    finish_run(img.get());
    EXPECT_EQ(vt_img_check_complete(img.get()), 0);

    json_ptr saved = saved_document();
    EXPECT_EQ(status_of(saved.get()), "completed");
    json_ptr state = json_section(saved.get(), "state");
    EXPECT_EQ(json_number(state.get(), "offset"), c.size);
    EXPECT_EQ(json_number(state.get(), "length"), c.size);
    expect_consistent_recover(saved.get(), e01(), c.params.chunk_size, c.size);
    expect_complete_image(source);

    const auto info = run({"/usr/bin/ewfinfo", e01()});
    for (const char *field : {"case-42", "ev 7", "Jo Examiner", "seized disk", "loop sample"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << " in\n" << info.out;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ImageLayout,
    ::testing::Values(
        // Defaults: one table, the last read shorter than the read size.
        LayoutCase{"defaults", {}, 3 * MiB + 100 * 512},
        // 32 entries per table: many tables, each closed by the last chunk of a read.
        LayoutCase{"small_tables", {524288, 32768, 32}, 3 * MiB + 100 * 512},
        // A last chunk shorter than the chunk size.
        LayoutCase{"short_last_chunk", {65536, 32768, 8}, 2 * MiB + 7 * 512},
        // One read for the whole source: the ring holds a single unit, whatever the
        // processor count, instead of failing with a pipeline deeper than the source.
        LayoutCase{"single_read", {4 * MiB, 32768, 65534}, 3 * MiB}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ImageJob, RingIsNeverDeeperThanTheSourceHasReads)
{
    attach(3 * MiB);
    for (uint64_t read_size : {4 * MiB, 2 * MiB, uint64_t{524288}}) {
        JobParams p;
        p.read_size = read_size;
        json_ptr doc = parse_json(document(p, disk_section()));
        vt_img *raw = nullptr;
        ASSERT_EQ(vt_img_json_init(&raw, doc.get(), nullptr), 0);
        img_ptr img(raw);
        int64_t processors = 0;
        vt_get_proc_count(&processors);
        const uint64_t reads = (3 * MiB + read_size - 1) / read_size;
        uint64_t units = 0;
        vt_io *unit = img->ios;
        do {
            ++units;
            unit = unit->next;
        } while (unit != img->ios);
        EXPECT_EQ(units, std::min<uint64_t>(reads, 2 * static_cast<uint64_t>(processors)))
            << "read size " << read_size;
    }
}

// ---- Stop and resume ----

struct ResumeCase {
    const char *label;
    std::vector<uint64_t> stops; // read positions at which a run is stopped
    bool fresh_object;           // resume from a job object built from the saved file
};

class ImageResume : public ImageJob, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ImageResume, ResumedRunsGiveTheSameImageAndOnePassHashes)
{
    const ResumeCase &c = GetParam();
    // Small reads and tables: a checkpoint every 128 KiB of source.
    const JobParams p{32768, 32768, 4};
    const uint64_t size = 6 * MiB + 3 * 512;
    const std::string source = attach(size, 7);
    img_ptr img = job_from_file(document(p, disk_section()));
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);

    int stopped_runs = 0;
    for (size_t i = 0;; ++i) {
        const uint64_t stop_at = i < c.stops.size() ? c.stops[i] : 0;
        finish_run(img.get(), stop_at);
        json_ptr saved = saved_document();
        expect_consistent_recover(saved.get(), e01(), p.chunk_size, size);
        if (status_of(saved.get()) == "completed")
            break;
        ASSERT_EQ(status_of(saved.get()), "stopped");
        EXPECT_NE(vt_img_check_complete(img.get()), 0);
        ++stopped_runs;
        // The stopped file is a well-formed image of what was written.
        EXPECT_EQ(run({"/usr/bin/ewfinfo", e01()}).status, 0);
        ASSERT_LT(i, c.stops.size() + 1) << "a run without a stop point did not complete";
        if (c.fresh_object) {
            img.reset();
            img = job_from_saved();
            ASSERT_TRUE(img);
        }
        ASSERT_EQ(vt_img_restart(img.get()), 0);
    }
    EXPECT_GT(stopped_runs, 0);
    expect_complete_image(source);
}

INSTANTIATE_TEST_SUITE_P(
    StopPoints, ImageResume,
    ::testing::Values(ResumeCase{"same_object", {512 * KiB, 2 * MiB + 40 * KiB, 5 * MiB}, false},
                      ResumeCase{"fresh_object", {96 * KiB, 3 * MiB + 1, 6 * MiB}, true},
                      ResumeCase{"right_at_start", {1, 1 * MiB}, true}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ImageJob, RunWithoutCompleteTableRestartsFromTheStartOnTheSameFile)
{
    const uint64_t size = 4 * MiB;
    const std::string source = attach(size, 3);
    // Read size 32 KiB with the default table: the whole source fits in one table.
    const JobParams p{32768, 32768, 65534};
    img_ptr img = job_from_file(document(p, disk_section()));
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    finish_run(img.get(), 256 * KiB);

    json_ptr saved = saved_document();
    ASSERT_EQ(status_of(saved.get()), "stopped");
    json_ptr recover = json_section(saved.get(), "recover");
    ASSERT_TRUE(recover);
    EXPECT_EQ(json_number(json_section(recover.get(), "read").get(), "offset"), 0u);
    expect_consistent_recover(saved.get(), e01(), p.chunk_size, size);
    // The checkpoint points at the first sectors section, just behind the volume.
    const auto sections = walk_sections(read_file(e01()));
    ASSERT_GE(sections.size(), 3u);
    EXPECT_EQ(sections[1].type, "volume");
    EXPECT_EQ(json_number(json_section(recover.get(), "write").get(), "offset"),
              sections[1].offset + 1128);

    img.reset();
    img = job_from_saved();
    ASSERT_EQ(vt_img_restart(img.get()), 0);
    finish_run(img.get());
    EXPECT_EQ(status_of(saved_document().get()), "completed");
    expect_complete_image(source);
}

TEST_F(ImageJob, ReadErrorEndsStoppedWithAWellFormedImage)
{
    const uint64_t size = 8 * MiB;
    attach(size, 5);
    const JobParams p{32768, 32768, 4};
    img_ptr img = job_from_file(document(p, disk_section()));
    ASSERT_TRUE(img);
    ASSERT_EQ(vt_img_start(img.get()), 0);
    // Once reading is under way the device loses its second half: the read that
    // crosses the new end comes back short.
    SyserrCapture capture;
    finish_run(img.get(), 128 * KiB, [&]() {
        truncate(backing().c_str(), static_cast<off_t>(size / 2));
        run({"/usr/sbin/losetup", "-c", device});
    });
    EXPECT_NE(capture.text().find("failed to dispatch read request"), std::string::npos)
        << capture.text();
    EXPECT_NE(vt_img_check_complete(img.get()), 0);

    json_ptr saved = saved_document();
    EXPECT_EQ(status_of(saved.get()), "stopped");
    expect_consistent_recover(saved.get(), e01(), p.chunk_size, size);
    const auto info = run({"/usr/bin/ewfinfo", e01()});
    EXPECT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_EQ(read_file(log()), "") << "a stopped run writes no acquisition log";
}

// ---- Failures ----

TEST_F(ImageJob, RefusesSourcesAndFilesItCannotUse)
{
    const JobParams p;
    struct FailureCase {
        std::string source;
        const char *message;
    };
    write_file(dir.file("plain.raw"), std::string(1 * MiB, 'x'));
    const std::vector<FailureCase> cases = {
        {", \"disk\": {\"path\": \"" + dir.file("plain.raw") + "\"}",
         "failed to get block size and count"},
        {"", "failed to get source object"},
        {", \"vantrel\": {\"subject\": \"host\", \"target\": \"disk0\"}",
         "failed to create examiner object"},
    };
    for (const FailureCase &c : cases) {
        SyserrCapture capture;
        json_ptr doc = parse_json(document(p, c.source));
        vt_img *img = nullptr;
        EXPECT_NE(vt_img_json_init(&img, doc.get(), nullptr), 0);
        EXPECT_EQ(img, nullptr);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
}

TEST_F(ImageJob, ExistingImageFileIsNeverOverwritten)
{
    attach(1 * MiB);
    write_file(e01(), "previous evidence");
    json_ptr doc = parse_json(document(JobParams{}, disk_section()));
    vt_img *raw = nullptr;
    ASSERT_EQ(vt_img_json_init(&raw, doc.get(), nullptr), 0);
    img_ptr img(raw);
    SyserrCapture capture;
    EXPECT_NE(vt_img_start(img.get()), 0);
    EXPECT_NE(capture.text().find("failed on existing image file -- " + e01()),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(read_file(e01()), "previous evidence");
    // Neither stop nor resume applies to a job that never ran.
    capture.clear();
    EXPECT_NE(vt_img_stop(img.get()), 0);
    EXPECT_NE(capture.text().find("failed on image state"), std::string::npos);
    EXPECT_NE(vt_img_restart(img.get()), 0);
    EXPECT_NE(capture.text().find("failed to get recovery object"), std::string::npos);
    EXPECT_EQ(read_file(e01()), "previous evidence");
}

// ---- Work units, queue and pool ----

struct iocp_release {
    void operator()(vt_iocp *pool) const { vt_iocp_deit(&pool); }
};

class WorkUnit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_iocp_init(&pool), 0); }
    void TearDown() override { vt_iocp_deit(&pool); }

    json_ptr unit_document(const char *format, uint64_t read_size, uint64_t table_size)
    {
        return parse_json(std::string("{\"imager\": {\"output_format\": \"") + format +
                      "\", \"read_size\": \"" + std::to_string(read_size) +
                      "\"}, \"ewf\": {\"chunk_size\": \"32768\", \"table_size\": \"" +
                      std::to_string(table_size) + "\"}}");
    }

    vt_iocp *pool = nullptr;
};

TEST_F(WorkUnit, LastReadHoldsOnlyTheChunksItCarries)
{
    json_ptr doc = unit_document("ewf", 524288, 65534);
    vt_io *unit = nullptr;
    ASSERT_EQ(vt_io_init(&unit, 524288, pool, doc.get()), 0);
    vt_deflate *stream = nullptr;
    ASSERT_EQ(vt_deflate_init(&stream), 0);
    struct Case {
        uint64_t length;
        uint64_t chunks;
    };
    for (const Case &c : {Case{3 * 32768, 3}, Case{40000, 2}, Case{524288, 16}, Case{0, 0}}) {
        unit->input->used = 0;
        unit->output->used = 0;
        if (c.length > 0) {
            ASSERT_EQ(vt_buffer_write(unit->input, make_sample(c.length, 9).data(), c.length), 0);
        }
        ASSERT_EQ(vt_io_deflate(unit, stream), 0);
        EXPECT_EQ(unit->ewf->chunk_count, c.chunks) << c.length;
        uint64_t stored = 0;
        for (uint64_t i = 0; i < c.chunks; ++i)
            stored += unit->ewf->size_words[i] & 0x7fffffffu;
        EXPECT_EQ(stored, unit->output->used) << c.length;
    }
    vt_deflate_deit(&stream);
    vt_io_deit(&unit);
}

TEST_F(WorkUnit, TableCapacityMatchesTheWriter)
{
    for (uint64_t table_size : {uint64_t{65534}, uint64_t{30000}, uint64_t{100000}, uint64_t{32}}) {
        json_ptr doc = unit_document("ewf", 524288, table_size);
        vt_io *unit = nullptr;
        ASSERT_EQ(vt_io_init(&unit, 524288, pool, doc.get()), 0);
        uint64_t capacity = 0;
        ASSERT_EQ(vt_ewf_table_capacity(524288, 32768, table_size, &capacity), 0);
        EXPECT_EQ(unit->ewf->table_capacity, capacity) << table_size;
        EXPECT_EQ(unit->ewf->table_capacity % 16, 0u);
        vt_io_deit(&unit);
    }
}

TEST_F(WorkUnit, MarkFallsOnTheUnitThatFillsATable)
{
    // Capacity 32 chunks = two full reads; a ring of three units walks across tables.
    json_ptr doc = unit_document("ewf", 524288, 32);
    vt_io *units[3] = {};
    for (auto &unit : units)
        ASSERT_EQ(vt_io_init(&unit, 524288, pool, doc.get()), 0);
    for (int i = 0; i < 3; ++i) {
        units[i]->next = units[(i + 1) % 3];
        units[i]->prev = units[(i + 2) % 3];
    }
    std::vector<uint32_t> marks;
    for (int read = 0; read < 7; ++read) {
        vt_io *unit = units[read % 3];
        ASSERT_EQ(vt_io_mark(unit, read == 6 ? 40000 : 524288), 0);
        marks.push_back(unit->mark);
    }
    EXPECT_EQ(marks, (std::vector<uint32_t>{0, 1, 0, 1, 0, 1, 0}));
    for (auto &unit : units)
        vt_io_deit(&unit);
}

TEST_F(WorkUnit, UnsupportedFormatOrCompressionIsRefused)
{
    SyserrCapture capture;
    json_ptr doc = unit_document("raw", 524288, 65534);
    vt_io *unit = nullptr;
    EXPECT_NE(vt_io_init(&unit, 524288, pool, doc.get()), 0);
    EXPECT_EQ(unit, nullptr);
    EXPECT_NE(capture.text().find("unsupported output format -- raw"), std::string::npos);
    vt_img job{}; // never reached: no worker starts
    EXPECT_NE(vt_iocp_start(pool, "lz4", &job), 0);
    EXPECT_NE(capture.text().find("unsupported compression method -- lz4"), std::string::npos);
    for (int64_t i = 0; i < pool->count; ++i)
        EXPECT_EQ(pool->threads[i], nullptr);
}

TEST(Fifo, KeepsOrderAndRecyclesNodes)
{
    vt_fifo *fifo = nullptr;
    ASSERT_EQ(vt_fifo_init(&fifo), 0);
    vt_io *fake[5];
    for (int i = 0; i < 5; ++i)
        fake[i] = reinterpret_cast<vt_io *>(static_cast<uintptr_t>(0x1000 * (i + 1)));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(vt_fifo_post(fifo, i == 4 ? VT_FIFO_STOP : VT_FIFO_COMPRESS, fake[i]), 0);
        for (int i = 0; i < 5; ++i) {
            uint32_t value = 9;
            vt_io *unit = nullptr;
            int taken = 0, more = 0;
            ASSERT_EQ(vt_fifo_take(fifo, &value, &unit, &taken, &more), 0);
            EXPECT_EQ(taken, 1);
            EXPECT_EQ(unit, fake[i]);
            EXPECT_EQ(value, i == 4 ? VT_FIFO_STOP : VT_FIFO_COMPRESS);
            EXPECT_EQ(more, i < 4 ? 1 : 0);
        }
        int taken = 1, more = 1;
        uint32_t value = 0;
        vt_io *unit = nullptr;
        ASSERT_EQ(vt_fifo_take(fifo, &value, &unit, &taken, &more), 0);
        EXPECT_EQ(taken, 0);
        // Every node of the first round is reused: the spare list holds five.
        size_t spare = 0;
        for (vt_fifo_node *n = fifo->spare.next; n != &fifo->spare; n = n->next)
            ++spare;
        EXPECT_EQ(spare, 5u);
    }
    vt_fifo_deit(&fifo);
}

TEST(Aux, ThreadAndPathHelpers)
{
    int64_t count = 0;
    ASSERT_EQ(vt_get_proc_count(&count), 0);
    EXPECT_EQ(count, sysconf(_SC_NPROCESSORS_ONLN));

    vt_cond *cond = nullptr;
    ASSERT_EQ(vt_cond_init(&cond), 0);
    vt_cond_signal(cond);
    EXPECT_EQ(vt_cond_reset(cond), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 1) << "reset must leave the event clear";
    EXPECT_EQ(vt_cond_reset(cond), 0);
    EXPECT_EQ(vt_cond_wait_timed(cond, 0), 1);

    std::atomic<int> ran{0};
    vt_thread *thread = nullptr;
    ASSERT_EQ(vt_thread_start_guarantee(
                  &thread,
                  [](void *arg) -> void * {
                      static_cast<std::atomic<int> *>(arg)->store(1);
                      return nullptr;
                  },
                  &ran),
              0);
    EXPECT_EQ(vt_thread_stop(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(vt_thread_stop(&thread), 0) << "an empty handle is ignored";
    vt_cond_deit(&cond);

    TempDir dir;
    EXPECT_EQ(vt_path_exist(dir.path().c_str()), 0);
    SyserrCapture capture;
    EXPECT_NE(vt_path_exist(dir.file("absent").c_str()), 0);
    EXPECT_NE(capture.text().find("failed to locate " + dir.file("absent")), std::string::npos);
}

// ---- Stops between the checkpoint steps of a marked unit ----

// Holds one pipeline thread at a checkpoint moment of the n-th marked unit of a
// run until the test lets it go; installed as the job's test hook.
class MomentGate {
public:
    // Holds the thread that reaches point with the ordinal-th marked unit of the
    // next run.
    void arm(uint32_t point, uint64_t ordinal)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        point_ = point;
        ordinal_ = ordinal;
        seen_ = 0;
        boundary_ = 0;
        held_ = false;
        open_ = false;
    }

    void install(vt_img *img) { img->test_hook = {&MomentGate::hook, this}; }

    // Waits until a thread is held; false when the run never got there.
    bool wait_held()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // A generous bound only, so a run that misses the moment fails the test.
        return changed_.wait_for(lock, std::chrono::seconds(120), [&]() { return held_; });
    }

    // The read position stored in the held unit: the table boundary it completes.
    uint64_t boundary()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return boundary_;
    }

    // Lets the held thread, and every later one of this run, go on.
    void open()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    static void hook(vt_img *, uint32_t point, vt_io *unit, void *user)
    {
        auto *gate = static_cast<MomentGate *>(user);
        std::unique_lock<std::mutex> lock(gate->mutex_);
        if (gate->open_ || point != gate->point_ || ++gate->seen_ != gate->ordinal_)
            return;
        gate->boundary_ = json_number(unit->read_checkpoint, "offset");
        gate->held_ = true;
        gate->changed_.notify_all();
        gate->changed_.wait(lock, [&]() { return gate->open_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t point_ = 0;
    uint64_t ordinal_ = 0;
    uint64_t seen_ = 0;
    uint64_t boundary_ = 0;
    bool held_ = false;
    bool open_ = false;
};

// Where the stop falls among the three saves of one marked unit. Its read position
// is always saved already (the reader stores it before handing the unit on).
struct MomentCase {
    const char *label;
    uint32_t point;
    bool unit_in_file; // the marked unit is written when the stop arrives
};

// At which marked units (counted from 1 within each run) successive runs stop.
struct StopPlan {
    const char *label;
    std::vector<uint64_t> marks;
    bool fresh_object; // resume from a job object built from the saved file
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const MomentCase &c, std::ostream *os) { *os << c.label; }
void PrintTo(const StopPlan &c, std::ostream *os) { *os << c.label; }

class ImageCheckpointMoment
    : public ImageJob,
      public ::testing::WithParamInterface<std::tuple<MomentCase, StopPlan>> {
protected:
    void TearDown() override
    {
        // A held thread is let go before the job is released, which joins it.
        gate.open();
        img.reset();
        ImageJob::TearDown();
    }

    uint64_t ring_depth() const
    {
        uint64_t units = 0;
        const vt_io *unit = img->ios;
        do {
            ++units;
            unit = unit->next;
        } while (unit != img->ios);
        return units;
    }

    // Waits until the reader has handed out the source up to position.
    bool wait_read_position(uint64_t position)
    {
        // A generous bound only, so a reader that stalls fails the test.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < limit) {
            uint64_t offset = 0, remaining = 0, rate = 0;
            vt_read_state_get_state(img->rs, &offset, &remaining, &rate);
            if (offset >= position)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    MomentGate gate;
    img_ptr img;
};

TEST_P(ImageCheckpointMoment, StopNamesOneTableBoundaryAndResumesToTheSameImage)
{
    const auto &[moment, plan] = GetParam();
    // Reads of one chunk, tables of four: a marked unit every 128 KiB of source.
    const JobParams p{32768, 32768, 4};
    const uint64_t size = 6 * MiB + 3 * 512;
    uint64_t capacity = 0;
    ASSERT_EQ(vt_ewf_table_capacity(p.read_size, p.chunk_size, p.table_size, &capacity), 0);
    const uint64_t table_bytes = capacity * p.chunk_size;
    const std::string source = attach(size, 11);
    img = job_from_file(document(p, disk_section()));
    ASSERT_TRUE(img);

    for (size_t run_index = 0; run_index < plan.marks.size(); ++run_index) {
        const uint64_t mark = plan.marks[run_index];
        gate.arm(moment.point, mark);
        gate.install(img.get());
        ASSERT_EQ(run_index == 0 ? vt_img_start(img.get()) : vt_img_restart(img.get()), 0);
        ASSERT_TRUE(gate.wait_held()) << "no thread reached marked unit " << mark;
        const uint64_t boundary = gate.boundary();
        ASSERT_GE(boundary, table_bytes);
        // While the thread is held the reader runs as far ahead as the ring lets
        // it: the marked unit's read position is saved and the units behind it
        // are read too, so the job's read position is past the boundary.
        const uint64_t ahead = std::min(size, boundary + (ring_depth() - 1) * p.read_size);
        ASSERT_TRUE(wait_read_position(ahead)) << "the reader never reached " << ahead;
        ASSERT_EQ(vt_img_set_sentinel(img.get()), 0);
        gate.open();
        finish_run(img.get());

        json_ptr saved = saved_document();
        ASSERT_EQ(status_of(saved.get()), "stopped") << "mark " << mark;
        EXPECT_NE(vt_img_check_complete(img.get()), 0);
        expect_consistent_recover(saved.get(), e01(), p.chunk_size, size);
        const uint64_t committed =
            json_number(json_section(json_section(saved.get(), "recover").get(), "read").get(), "offset");
        if (moment.unit_in_file) {
            // The unit's data is in the file: its boundary may be committed, or the
            // one before it.
            EXPECT_TRUE(committed == boundary || committed == boundary - table_bytes)
                << "committed " << committed << ", marked boundary " << boundary;
        } else {
            // The unit never reached the file: its boundary cannot be the checkpoint,
            // and the one before it was committed when its unit was written.
            EXPECT_EQ(committed, boundary - table_bytes) << "marked boundary " << boundary;
        }
        EXPECT_EQ(run({"/usr/bin/ewfinfo", e01()}).status, 0);
        if (plan.fresh_object) {
            img.reset();
            img = job_from_saved();
            ASSERT_TRUE(img);
        }
    }

    img->test_hook = {};
    ASSERT_EQ(vt_img_restart(img.get()), 0);
    finish_run(img.get());
    EXPECT_EQ(status_of(saved_document().get()), "completed");
    EXPECT_EQ(vt_img_check_complete(img.get()), 0);
    expect_complete_image(source);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ImageCheckpointMoment,
    ::testing::Combine(
        ::testing::Values(
            // The reader has saved the unit's read position and read on; the hash
            // thread has hashed it; the write thread has not yet written it.
            MomentCase{"reader_and_hash_ahead_of_writer", VT_IMG_HOOK_WRITE_MARK, false},
            // The hash thread has saved the unit's hash state; the write thread
            // cannot have written it yet.
            MomentCase{"hashed_not_written", VT_IMG_HOOK_HASHED_MARK, false},
            // The write thread has written the unit and not yet committed.
            MomentCase{"written_not_committed", VT_IMG_HOOK_WRITTEN_MARK, true}),
        ::testing::Values(
            // The first table, whose earlier boundary is the start of the source.
            StopPlan{"first_table_then_sixth", {1, 6}, false},
            StopPlan{"fresh_object", {3, 10, 2}, true},
            // The last full table (the source holds 48 of 128 KiB): the reader has
            // already read the source to its end.
            StopPlan{"last_full_table", {48}, true})),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).label) + "_" + std::get<1>(info.param).label;
    });

} // namespace
