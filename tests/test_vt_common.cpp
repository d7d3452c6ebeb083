// Tests of the subject cache under a temporary state root: cache files written and
// read back, name and URL look-ups, the pid and path mount records (live, dead and
// bogus pids, atomic path replacement), the active count and the CSV lines.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "vt_common.h"
#include "vt_db.h"
#include "vt_fcache.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_string.h"
#include "vt_test_json.h"
#include "vt_test_pid.h"
#include "vt_test_util.h"
#include "vt_url.h"

namespace {

using testing::HasSubstr;

using ObjPtr = vt_test::JsonPtr;

struct ArrDeleter {
    void operator()(vt_json_arr *arr) const { vt_json_arr_deit(&arr); }
};
using ArrPtr = std::unique_ptr<vt_json_arr, ArrDeleter>;

struct MountInfoDeleter {
    void operator()(vt_mount_info *info) const { vt_mount_info_deit(&info); }
};
using MountInfoPtr = std::unique_ptr<vt_mount_info, MountInfoDeleter>;

// Records under test borrow their texts from the test's own strings.
// The text must outlive the record: a named string or a literal.
vt_string borrowed(std::string_view text)
{
    return text.empty() ? vt_string{} : vt_string{const_cast<char *>(text.data()), text.size()};
}

// An owned copy, as the look-ups free or replace the caller's text.
vt_string owned(const std::string &text)
{
    vt_string string{};
    EXPECT_EQ(vt_string_copy(&string, text.data(), text.size()), 0);
    return string;
}

std::string str(const vt_string &s)
{
    return s.text ? std::string(s.text, s.length) : std::string();
}

std::set<std::string> entries(const std::string &dir)
{
    std::set<std::string> names;
    DIR *listing = opendir(dir.c_str());
    if (!listing)
        return names;
    while (dirent *entry = readdir(listing))
        if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
            names.insert(entry->d_name);
    closedir(listing);
    return names;
}

bool exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

struct SubjectFields {
    std::string hostname, address, port, path, uuid;
    std::string platform = "lin", version = "1.2.3";
};

struct TargetFields {
    std::string name;
    uint64_t id, block_size, block_count;
};

struct SeenSubject {
    std::string hostname, address, port, path, uuid, platform, version;
    uint64_t seconds, subject_type;
    std::vector<std::string> targets; // "name id block_size block_count"
};

// A state root of its own with a store on its subject cache, as the mounter has.
class CacheTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(setenv("VANTREL_STATE_DIR", state_.path().c_str(), 1), 0);
        ASSERT_EQ(vt_cache_store_init(&store_, VT_CACHE_DIR_MOUNTER), 0);
    }

    void TearDown() override
    {
        vt_fcache_deit(&store_);
        unsetenv("VANTREL_STATE_DIR");
    }

    std::string cache_dir() const { return state_.path() + "/" + VT_CACHE_DIR_MOUNTER; }

    vt_db_subject record(const SubjectFields &s)
    {
        vt_db_subject r{};
        r.hostname = borrowed(s.hostname);
        r.address = borrowed(s.address);
        r.platform = borrowed(s.platform);
        r.version = borrowed(s.version);
        r.module = 3;
        r.uuid = borrowed(s.uuid);
        r.seconds = 132000000000000000ULL;
        r.port = borrowed(s.port);
        r.path = borrowed(s.path);
        r.subject_type = 6;
        return r;
    }

    // Writes the subject's "subject" and "targets" files the way the add command does.
    void add_subject(const SubjectFields &s, const std::vector<TargetFields> &targets)
    {
        const vt_db_subject r = record(s);
        vt_json_obj *raw = nullptr;
        ASSERT_EQ(vt_db_subject_dump(&r, &raw), 0);
        const ObjPtr subject_doc(raw);

        raw = nullptr;
        ASSERT_EQ(vt_json_obj_init(&raw), 0);
        const ObjPtr targets_doc(raw);
        vt_json_arr *raw_arr = nullptr;
        ASSERT_EQ(vt_json_arr_init(&raw_arr), 0);
        const ArrPtr list(raw_arr);
        for (const TargetFields &t : targets) {
            const vt_db_target tr{borrowed(t.name), t.id, 1, t.block_size, t.block_count};
            vt_json_obj *entry = nullptr;
            ASSERT_EQ(vt_db_target_dump(&tr, &entry), 0);
            const ObjPtr entry_doc(entry);
            ASSERT_EQ(vt_json_arr_object(list.get(), entry_doc.get()), 0);
        }
        ASSERT_EQ(vt_json_obj_array(targets_doc.get(), "targets", list.get()), 0);

        ASSERT_EQ(vt_fcache_push_dir2(store_, s.uuid.c_str()), 0);
        vt_string subject_path{}, targets_path{};
        ASSERT_EQ(vt_fcache_filename2(store_, "subject", &subject_path), 0);
        ASSERT_EQ(vt_fcache_filename2(store_, "targets", &targets_path), 0);
        EXPECT_EQ(vt_json_obj_encode_file(subject_doc.get(), subject_path.text), 0);
        EXPECT_EQ(vt_json_obj_encode_file(targets_doc.get(), targets_path.text), 0);
        vt_string_free(&subject_path);
        vt_string_free(&targets_path);
        ASSERT_EQ(vt_fcache_pop_dir_(store_, 0), 0);
    }

    static int collect_target(vt_fcache *, const vt_db_target *t, void *user)
    {
        static_cast<SeenSubject *>(user)->targets.push_back(
            str(t->name) + " " + std::to_string(t->id) + " " + std::to_string(t->block_size) + " " +
            std::to_string(t->block_count));
        return 0;
    }

    static int collect_subject(vt_fcache *store, const vt_db_subject *r, void *user)
    {
        SeenSubject s{str(r->hostname), str(r->address), str(r->port), str(r->path), str(r->uuid),
                      str(r->platform), str(r->version), r->seconds, r->subject_type, {}};
        EXPECT_EQ(vt_fcache_walk_targets(store, collect_target, &s), 0);
        static_cast<std::vector<SeenSubject> *>(user)->push_back(s);
        return 0;
    }

    // Every cached subject with its targets, as the walks of the store see them.
    std::vector<SeenSubject> read_back()
    {
        std::vector<SeenSubject> seen;
        EXPECT_EQ(vt_fcache_walk_subject(store_, collect_subject, &seen), 0);
        return seen;
    }

    vt_test::TempDir state_;
    vt_fcache *store_ = nullptr;
};

const SubjectFields kAlpha{"alpha", "10.0.0.5", "3262", "/sub", "uuid-alpha"};
const SubjectFields kBeta{"beta", "10.0.0.15", "3262", "/sub", "uuid-beta"};

TEST_F(CacheTest, StoreIsRootedAtTheCacheUnderTheStateRoot)
{
    vt_string dir{};
    ASSERT_EQ(vt_fcache_get_dir(store_, &dir), 0);
    EXPECT_EQ(str(dir), cache_dir());
    vt_string_free(&dir);
}

TEST_F(CacheTest, CacheFilesReadBackAsWritten)
{
    add_subject(kAlpha, {{"disk0", 7, 512, 4096}, {"disk1", 8, 4096, 1ULL << 40}});
    const std::vector<SeenSubject> seen = read_back();
    ASSERT_EQ(seen.size(), 1u);
    const SeenSubject &s = seen[0];
    EXPECT_EQ(s.hostname, "alpha");
    EXPECT_EQ(s.address, "10.0.0.5");
    EXPECT_EQ(s.port, "3262");
    EXPECT_EQ(s.path, "/sub");
    EXPECT_EQ(s.uuid, "uuid-alpha");
    EXPECT_EQ(s.platform, "lin");
    EXPECT_EQ(s.version, "1.2.3");
    EXPECT_EQ(s.seconds, 132000000000000000ULL);
    EXPECT_EQ(s.subject_type, 6u);
    EXPECT_EQ(s.targets,
              (std::vector<std::string>{"disk0 7 512 4096", "disk1 8 4096 1099511627776"}));
    // The files are complete documents with nothing else beside them.
    EXPECT_EQ(entries(cache_dir() + "/uuid-alpha"), (std::set<std::string>{"subject", "targets"}));
}

TEST_F(CacheTest, RewrittenCacheReplacesBothFiles)
{
    add_subject(kAlpha, {{"disk0", 7, 512, 4096}, {"disk1", 8, 512, 1}});
    SubjectFields moved = kAlpha;
    moved.address = "10.0.0.6";
    add_subject(moved, {{"disk0", 7, 512, 8192}});
    const std::vector<SeenSubject> seen = read_back();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].address, "10.0.0.6");
    EXPECT_EQ(seen[0].targets, (std::vector<std::string>{"disk0 7 512 8192"}));
    EXPECT_EQ(entries(cache_dir() + "/uuid-alpha"), (std::set<std::string>{"subject", "targets"}));
}

struct NameCase {
    std::string text;
    std::optional<std::string> url; // nullopt: not cached
};

std::ostream &operator<<(std::ostream &out, const NameCase &c)
{
    return out << "'" << c.text << "'";
}

class NameToUrl : public CacheTest, public testing::WithParamInterface<NameCase> {};

TEST_P(NameToUrl, ReplacesACachedNameWithItsUrl)
{
    add_subject(kAlpha, {{"disk0", 7, 512, 4096}});
    add_subject(kBeta, {});
    const NameCase &c = GetParam();
    vt_string subject = owned(c.text);
    vt_test::SyserrCapture capture;
    const int result = vt_subject_name_to_url(store_, &subject);
    EXPECT_EQ(capture.text(), "");
    if (c.url) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(str(subject), *c.url);
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(str(subject), c.text);
    }
    vt_string_free(&subject);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameToUrl,
    testing::Values(NameCase{"alpha", "10.0.0.5:3262/sub"}, NameCase{"10.0.0.5", "10.0.0.5:3262/sub"},
                    NameCase{"10.0.0.5:3262/sub", "10.0.0.5:3262/sub"},
                    NameCase{"beta", "10.0.0.15:3262/sub"},
                    NameCase{"10.0.0.15", "10.0.0.15:3262/sub"},
                    // Exact and case-sensitive: no case folding, no prefixes.
                    NameCase{"ALPHA", std::nullopt}, NameCase{"alph", std::nullopt},
                    NameCase{"10.0.0.5:3262", std::nullopt}, NameCase{"10.0.0.1", std::nullopt},
                    NameCase{"gamma", std::nullopt}));

TEST_F(CacheTest, NameToUrlOnAnEmptyCacheFindsNothing)
{
    vt_string subject = owned("alpha");
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_subject_name_to_url(store_, &subject), 1);
    EXPECT_EQ(str(subject), "alpha");
    EXPECT_EQ(capture.text(), "");
    vt_string_free(&subject);
}

TEST_F(CacheTest, NameToUrlRefusesACachedUrlThatDoesNotParse)
{
    // A path without its "/" glues onto the port: "10.0.0.9:3262sub".
    add_subject({"broken", "10.0.0.9", "3262", "sub", "uuid-broken"}, {});
    vt_string subject = owned("broken");
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_subject_name_to_url(store_, &subject), 1);
    EXPECT_EQ(str(subject), "broken");
    EXPECT_THAT(capture.text(), HasSubstr("invalid port in '10.0.0.9:3262sub'"));
    EXPECT_THAT(capture.text(),
                HasSubstr("(vt_subject_name_to_url:"));
    EXPECT_THAT(capture.text(), HasSubstr("invalid url -- 10.0.0.9:3262sub.\n"));
    vt_string_free(&subject);
}

struct UrlNameCase {
    std::string url;
    std::optional<std::string> name;
};

std::ostream &operator<<(std::ostream &out, const UrlNameCase &c)
{
    return out << "'" << c.url << "'";
}

class UrlToName : public CacheTest, public testing::WithParamInterface<UrlNameCase> {};

TEST_P(UrlToName, FindsTheSubjectListeningAtHostAndPort)
{
    add_subject(kAlpha, {});
    add_subject(kBeta, {});
    const UrlNameCase &c = GetParam();
    vt_url *url = nullptr;
    ASSERT_EQ(vt_url_init(&url, c.url.data(), c.url.size()), 0);
    vt_string name{};
    vt_test::SyserrCapture capture;
    const int result = vt_subject_url_to_name(store_, url, &name);
    EXPECT_EQ(capture.text(), "");
    if (c.name) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(str(name), *c.name);
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(name.text, nullptr);
    }
    vt_string_free(&name);
    vt_url_deit(&url);
}

INSTANTIATE_TEST_SUITE_P(Table, UrlToName,
                         testing::Values(UrlNameCase{"10.0.0.5:3262/other", "alpha"},
                                         UrlNameCase{"10.0.0.5:3262/sub", "alpha"},
                                         UrlNameCase{"10.0.0.15:3262/sub", "beta"},
                                         UrlNameCase{"10.0.0.5:3263/sub", std::nullopt},
                                         UrlNameCase{"10.0.0.1:3262/sub", std::nullopt},
                                         UrlNameCase{"alpha:3262/sub", std::nullopt}));

// A cached subject with two targets, and helpers that mount and unmount them through
// the mount record operations, as the mounter does.
class MountTest : public CacheTest {
protected:
    void SetUp() override
    {
        CacheTest::SetUp();
        add_subject(kAlpha, {{"disk0", 7, 512, 4096}, {"disk1", 8, 512, 100}});
    }

    std::string target_dir(uint64_t id, const std::string &uuid = "uuid-alpha") const
    {
        return cache_dir() + "/" + uuid + "/" + std::to_string(id);
    }

    struct MountRequest {
        vt_string mount_path;
        vt_string pid_copy;
    };

    static int create_records(vt_fcache *store, void *user)
    {
        auto *request = static_cast<MountRequest *>(user);
        if (vt_fcache_pid(store, vt_fcache_create_pid, &request->pid_copy))
            return 1;
        return vt_fcache_path(store, vt_fcache_create_path, &request->mount_path);
    }

    static int remove_records(vt_fcache *store, void *)
    {
        if (vt_fcache_pid(store, vt_fcache_remove_pid, nullptr))
            return 1;
        return vt_fcache_path(store, vt_fcache_remove_path, nullptr);
    }

    // Records this process as the one mounting target id of the subject at mount_path.
    int mount(const SubjectFields &subject, uint64_t id, const std::string &mount_path)
    {
        const vt_db_subject s = record(subject);
        const vt_db_target t{borrowed("unused"), id, 1, 512, 1};
        MountRequest request{borrowed(mount_path), {}};
        const int result = vt_fcache_push_subject_target(store_, &s, &t, create_records, &request);
        if (result == 0) {
            EXPECT_EQ(str(request.pid_copy), target_dir(id, subject.uuid) + "/pid");
        }
        vt_string_free(&request.pid_copy);
        return result;
    }

    int unmount(const SubjectFields &subject, uint64_t id)
    {
        const vt_db_subject s = record(subject);
        const vt_db_target t{borrowed("unused"), id, 1, 512, 1};
        return vt_fcache_push_subject_target(store_, &s, &t, remove_records, nullptr);
    }

    // Writes mount records by hand, for pids this process cannot produce itself.
    void write_records(uint64_t id, const std::string &pid_text, const std::string &mount_path,
                       const std::string &uuid = "uuid-alpha")
    {
        ASSERT_EQ(mkdir(target_dir(id, uuid).c_str(), 0755), 0);
        vt_test::write_file(target_dir(id, uuid) + "/pid", pid_text);
        vt_test::write_file(target_dir(id, uuid) + "/path", mount_path);
    }

    size_t active_count()
    {
        size_t count = 99;
        EXPECT_EQ(vt_active_target_count(store_, &count), 0);
        return count;
    }
};

TEST_F(MountTest, LivePidFileMakesTheTargetActive)
{
    ASSERT_EQ(mount(kAlpha, 7, "/mnt/x/alpha/disk0"), 0);
    EXPECT_EQ(vt_test::read_file(target_dir(7) + "/path"), "/mnt/x/alpha/disk0");

    uint64_t pid = 0;
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk0", &pid), 0);
    EXPECT_EQ(pid, uint64_t(getpid()));

    // The key may also be a prefix of the subject's URL.
    vt_mount_info *info = nullptr;
    ASSERT_EQ(vt_subject_target_mount_info(store_, "10.0.0.5:3262", "disk0", &info), 0);
    const MountInfoPtr info_guard(info);
    EXPECT_EQ(info->pid, uint64_t(getpid()));
    EXPECT_EQ(str(info->mount_path), "/mnt/x/alpha/disk0");

    EXPECT_EQ(active_count(), 1u);

    // The other target has no records.
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk1", &pid), 1);
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk9", &pid), 1);
    EXPECT_EQ(vt_subject_target_pid(store_, "gamma", "disk0", &pid), 1);
    EXPECT_EQ(capture.text(), "");
    // Walking for the count left no empty target directory behind.
    EXPECT_EQ(entries(cache_dir() + "/uuid-alpha"),
              (std::set<std::string>{"subject", "targets", "7"}));
}

TEST_F(MountTest, MountInfoOfATargetBelowTheSubjectDirectory)
{
    ASSERT_EQ(mount(kAlpha, 8, "/mnt/y"), 0);
    ASSERT_EQ(vt_fcache_push_dir2(store_, "uuid-alpha"), 0);
    vt_mount_info *info = nullptr;
    EXPECT_EQ(vt_mount_info_init(&info, store_, 8), 0);
    const MountInfoPtr info_guard(info);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->pid, uint64_t(getpid()));
    EXPECT_EQ(str(info->mount_path), "/mnt/y");
    vt_mount_info *none = nullptr;
    EXPECT_EQ(vt_mount_info_init(&none, store_, 7), 1);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(vt_fcache_pop_dir_(store_, 0), 0);
}

TEST_F(MountTest, UnmountRemovesTheRecordsAndTheTargetDirectory)
{
    ASSERT_EQ(mount(kAlpha, 7, "/mnt/x"), 0);
    ASSERT_EQ(unmount(kAlpha, 7), 0);
    EXPECT_FALSE(exists(target_dir(7)));
    uint64_t pid = 0;
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk0", &pid), 1);
    EXPECT_EQ(active_count(), 0u);

    // A second removal finds nothing to delete and says so.
    vt_test::SyserrCapture capture;
    EXPECT_EQ(unmount(kAlpha, 7), 1);
    EXPECT_THAT(capture.text(), HasSubstr("failed to write target pid file -- " + target_dir(7) + "/pid"));
}

TEST_F(MountTest, PidFileOfAnEndedProcessIsNotActive)
{
    write_records(7, std::to_string(vt_test::dead_pid()) + " ", "/mnt/x");
    vt_test::SyserrCapture capture;
    uint64_t pid = 0;
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk0", &pid), 1);
    vt_mount_info *info = nullptr;
    EXPECT_EQ(vt_subject_target_mount_info(store_, "alpha", "disk0", &info), 1);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(active_count(), 0u);
    EXPECT_EQ(capture.text(), "");
}

class BogusPid : public MountTest, public testing::WithParamInterface<std::string> {};

// kill() with 0 tests the process group and with -1 every process, and this test runs
// as a user that may signal them: a pid that is no single process must not pass.
TEST_P(BogusPid, IsNeverALiveProcess)
{
    write_records(7, GetParam(), "/mnt/x");
    const std::string pid_path = target_dir(7) + "/pid";
    const vt_string pid_file = borrowed(pid_path);
    uint64_t pid = 12345;
    vt_test::SyserrCapture capture;
    EXPECT_EQ(vt_fcache_check_pid(&pid_file, &pid), 1);
    EXPECT_EQ(pid, 12345u);
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk0", &pid), 1);
    EXPECT_EQ(active_count(), 0u);
    EXPECT_EQ(capture.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Table, BogusPid,
                         testing::Values("0 ",
                                         "4294967295 ",          // -1 as a 32-bit pid
                                         "18446744073709551615 ", // -1 as a 64-bit number
                                         "2147483648 ",          // negative as a 32-bit pid
                                         "4294967296 ",          // 0 once cut to 32 bits
                                         "99999999999 "));

TEST_F(MountTest, PidFileBehindASymbolicLinkIsNotAccepted)
{
    ASSERT_EQ(mkdir(target_dir(7).c_str(), 0755), 0);
    const std::string real = state_.file("real-pid");
    vt_test::write_file(real, std::to_string(getpid()) + " ");
    ASSERT_EQ(symlink(real.c_str(), (target_dir(7) + "/pid").c_str()), 0);
    vt_test::write_file(target_dir(7) + "/path", "/mnt/x");

    const std::string link = target_dir(7) + "/pid";
    const vt_string direct = borrowed(real), linked = borrowed(link);
    uint64_t pid = 0;
    EXPECT_EQ(vt_fcache_check_pid(&direct, &pid), 0);
    EXPECT_EQ(pid, uint64_t(getpid()));
    EXPECT_EQ(vt_fcache_check_pid(&linked, nullptr), 1);
    EXPECT_EQ(active_count(), 0u);
}

TEST_F(MountTest, LivePidWithoutPathFileIsNotActive)
{
    ASSERT_EQ(mkdir(target_dir(7).c_str(), 0755), 0);
    vt_test::write_file(target_dir(7) + "/pid", std::to_string(getpid()) + " ");
    uint64_t pid = 0;
    // The pid alone answers the pid look-up; being active needs the path too.
    EXPECT_EQ(vt_subject_target_pid(store_, "alpha", "disk0", &pid), 0);
    vt_mount_info *info = nullptr;
    EXPECT_EQ(vt_subject_target_mount_info(store_, "alpha", "disk0", &info), 1);
    EXPECT_EQ(active_count(), 0u);
}

TEST_F(MountTest, ShorterPathReplacesALongerOneWholly)
{
    const std::string path_file = target_dir(7) + "/path";
    const vt_string file = borrowed(path_file);
    ASSERT_EQ(mkdir(target_dir(7).c_str(), 0755), 0);
    const vt_string long_path = borrowed("/mnt/a/very/long/mount/path/alpha/disk0");
    const vt_string short_path = borrowed("/mnt/x");
    ASSERT_EQ(vt_fcache_create_path(&file, const_cast<vt_string *>(&long_path)), 0);
    ASSERT_EQ(vt_fcache_create_path(&file, const_cast<vt_string *>(&short_path)), 0);
    EXPECT_EQ(vt_test::read_file(str(file)), "/mnt/x");

    vt_string text{};
    ASSERT_EQ(vt_fcache_check_path(&file, &text), 0);
    EXPECT_EQ(str(text), "/mnt/x");
    EXPECT_EQ(text.length, 6u);
    vt_string_free(&text);

    struct stat info;
    ASSERT_EQ(stat(str(file).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // The replacement went through a temporary file that is gone again.
    EXPECT_EQ(entries(target_dir(7)), (std::set<std::string>{"path"}));
}

TEST_F(MountTest, EmptyPathFileReadsAsEmptyText)
{
    ASSERT_EQ(mkdir(target_dir(7).c_str(), 0755), 0);
    vt_test::write_file(target_dir(7) + "/path", "");
    const std::string path_file = target_dir(7) + "/path";
    const vt_string file = borrowed(path_file);
    vt_string text{};
    ASSERT_EQ(vt_fcache_check_path(&file, &text), 0);
    ASSERT_NE(text.text, nullptr);
    EXPECT_EQ(text.length, 0u);
    EXPECT_EQ(text.text[0], '\0');
    vt_string_free(&text);
}

TEST_F(MountTest, MissingFilesFailQuietlyWhenCheckedAndLoudlyWhenRemoved)
{
    const std::string pid_path = cache_dir() + "/none/pid", path_path = cache_dir() + "/none/path";
    const vt_string pid_file = borrowed(pid_path), path_file = borrowed(path_path);
    vt_test::SyserrCapture capture;
    vt_string text{};
    EXPECT_EQ(vt_fcache_check_pid(&pid_file, nullptr), 1);
    EXPECT_EQ(vt_fcache_check_path(&path_file, &text), 1);
    EXPECT_EQ(text.text, nullptr);
    EXPECT_EQ(capture.text(), "");

    EXPECT_EQ(vt_fcache_remove_path(&path_file), 1);
    EXPECT_THAT(capture.text(), HasSubstr("(vt_fcache_remove_path:"));
    EXPECT_THAT(capture.text(), HasSubstr("failed to remove mount file path -- " + str(path_file)));
    capture.clear();
    const vt_string mount = borrowed("/mnt/x");
    EXPECT_EQ(vt_fcache_create_path(&path_file, const_cast<vt_string *>(&mount)), 1);
    EXPECT_THAT(capture.text(), HasSubstr("failed to create mount file -- " + str(path_file)));
}

TEST_F(MountTest, ActiveCountCoversEverySubjectAndTarget)
{
    add_subject(kBeta, {{"disk0", 1, 512, 10}, {"disk1", 2, 512, 10}, {"disk2", 3, 512, 10}});
    ASSERT_EQ(mount(kAlpha, 7, "/mnt/a0"), 0);
    write_records(8, std::to_string(vt_test::dead_pid()) + " ", "/mnt/a1");
    ASSERT_EQ(mount(kBeta, 1, "/mnt/b0"), 0);
    ASSERT_EQ(mount(kBeta, 3, "/mnt/b2"), 0);
    // A record for an id that is not in the target list is not counted.
    write_records(99, std::to_string(getpid()) + " ", "/mnt/b9", "uuid-beta");
    EXPECT_EQ(active_count(), 3u);
    ASSERT_EQ(unmount(kBeta, 1), 0);
    EXPECT_EQ(active_count(), 2u);
}

TEST_F(CacheTest, ActiveCountOfAnEmptyCacheIsZero)
{
    size_t count = 99;
    EXPECT_EQ(vt_active_target_count(store_, &count), 0);
    EXPECT_EQ(count, 0u);
}

TEST(MountInfoJson, PidIsLittleEndianBase64OrDecimal)
{
    vt_mount_info info{1234, borrowed("/mnt/x/alpha/disk0")};
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_json_obj_init(&raw), 0);
    const ObjPtr doc(raw);
    ASSERT_EQ(vt_mount_info_json(&info, doc.get()), 0);
    const char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(doc.get(), "pid", &text, &length), 0);
    // The bytes D2 04 00 00 00 00 00 00.
    EXPECT_EQ(std::string(text, length), "0gQAAAAAAAA=");
    ASSERT_EQ(vt_json_obj_get_string(doc.get(), "mount_path", &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "/mnt/x/alpha/disk0");

    raw = nullptr;
    ASSERT_EQ(vt_json_obj_init(&raw), 0);
    const ObjPtr readable(raw);
    ASSERT_EQ(vt_mount_info_json_readable(&info, readable.get()), 0);
    ASSERT_EQ(vt_json_obj_get_string(readable.get(), "pid", &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "1234");
    ASSERT_EQ(vt_json_obj_get_string(readable.get(), "mount_path", &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "/mnt/x/alpha/disk0");
}

struct CsvCase {
    const char *label;
    bool subject, target, mount;
    size_t row;
    std::string expected;
};

std::ostream &operator<<(std::ostream &out, const CsvCase &c)
{
    return out << c.label;
}

class CsvPrint : public testing::TestWithParam<CsvCase> {};

TEST_P(CsvPrint, WritesTheLineByteForByte)
{
    const CsvCase &c = GetParam();
    const std::string host = "alpha", address = "10.0.0.5", port = "3262", path = "/sub",
                      platform = "lin", version = "1.2.3", name = "disk0", mount_path = "/mnt/x";
    vt_db_subject subject{};
    subject.hostname = borrowed(host);
    subject.address = borrowed(address);
    subject.port = borrowed(port);
    subject.path = borrowed(path);
    subject.platform = borrowed(platform);
    subject.version = borrowed(version);
    const vt_db_target target{borrowed(name), 7, 1, 512, 8388608};
    const vt_mount_info mount{4321, borrowed(mount_path)};

    fflush(stdout);
    testing::internal::CaptureStdout();
    const int result = vt_csv_print(c.subject ? &subject : nullptr, c.target ? &target : nullptr,
                                    c.mount ? &mount : nullptr, c.row);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CsvPrint,
    testing::Values(
        CsvCase{"header, subject and target, no mount", true, true, false, 0,
                "name,platform,url,version,name,block_size,block_count,pid,mount_path\n"
                "\"alpha\",\"lin\",\"10.0.0.5:3262/sub\",\"1.2.3\",\"disk0\",\"512\",\"8388608\","
                "\"0\",\"\"\n"},
        CsvCase{"subject only, later row", true, false, false, 1,
                "\"alpha\",\"lin\",\"10.0.0.5:3262/sub\",\"1.2.3\"\n"},
        CsvCase{"header, subject only", true, false, false, 0,
                "name,platform,url,version\n\"alpha\",\"lin\",\"10.0.0.5:3262/sub\",\"1.2.3\"\n"},
        CsvCase{"subject, target and mount, later row", true, true, true, 2,
                "\"alpha\",\"lin\",\"10.0.0.5:3262/sub\",\"1.2.3\",\"disk0\",\"512\",\"8388608\","
                "\"4321\",\"/mnt/x\"\n"},
        CsvCase{"header, target and mount", false, true, true, 0,
                "name,block_size,block_count,pid,mount_path\n"
                "\"disk0\",\"512\",\"8388608\",\"4321\",\"/mnt/x\"\n"}));

TEST(CsvPrintValues, AreWrittenUnescapedAndEmptyTextsAsNothing)
{
    const std::string host = "a\"b,c", address = "h", port = "1", path = "/p";
    vt_db_subject subject{};
    subject.hostname = borrowed(host);
    subject.address = borrowed(address);
    subject.port = borrowed(port);
    subject.path = borrowed(path);
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vt_csv_print(&subject, nullptr, nullptr, 5), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\"a\"b,c\",\"\",\"h:1/p\",\"\"\n");
}

} // namespace
