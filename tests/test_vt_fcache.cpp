// The state directory store: directories created and locked on the way down and
// removed on the way up when empty, file names, the walks over the subject cache,
// and the directory locks as a second process sees them.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vt_db.h"
#include "vt_fcache.h"
#include "vt_json.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_test_json.h"
#include "vt_test_util.h"

namespace {

using vt_test::SyserrCapture;
using vt_test::TempDir;

// Generous bound for anything that waits on another process; never a timing claim.
constexpr auto wait_limit = std::chrono::seconds(20);

struct StoreDeleter {
    void operator()(vt_fcache *store) const { vt_fcache_deit(&store); }
};
using Store = std::unique_ptr<vt_fcache, StoreDeleter>;

Store open_store(const std::string &root)
{
    vt_fcache *store = nullptr;
    EXPECT_EQ(vt_fcache_init2(&store, root.c_str()), 0) << root;
    return Store(store);
}

std::string current_dir(vt_fcache *store)
{
    vt_string path{};
    EXPECT_EQ(vt_fcache_get_dir(store, &path), 0);
    std::string text = path.text ? std::string(path.text, path.length) : std::string();
    vt_string_free(&path);
    return text;
}

vt_string counted(const char *text)
{
    return vt_string{const_cast<char *>(text), strlen(text)};
}

std::string view(const vt_string &string)
{
    return string.text ? std::string(string.text, string.length) : std::string();
}

bool is_dir(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

ino_t inode_of(const std::string &path)
{
    struct stat info = {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_ino;
}

// True when a new open file description could take the directory's lock now.
bool lock_is_free(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    EXPECT_TRUE(free || errno == EWOULDBLOCK);
    close(fd);
    return free;
}

struct SubjectSpec {
    const char *uuid;
    const char *hostname;
    const char *address;
    const char *port;
    const char *path;
};

struct TargetSpec {
    const char *name;
    uint64_t id;
    uint64_t block_count;
};

using Obj = vt_test::JsonPtr;

// Writes root/uuid/subject in the document form the cache keeps.
void write_subject(const std::string &root, const SubjectSpec &spec)
{
    std::string dir = root + "/" + spec.uuid;
    ASSERT_TRUE(mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) << dir;
    vt_db_subject record{};
    record.hostname = counted(spec.hostname);
    record.address = counted(spec.address);
    record.platform = counted("Linux");
    record.version = counted("1.0");
    record.module = 1;
    record.uuid = counted(spec.uuid);
    record.seconds = 133000000000000000ULL;
    record.port = counted(spec.port);
    record.path = counted(spec.path);
    record.subject_type = 6;
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_db_subject_dump(&record, &raw), 0);
    Obj document(raw);
    ASSERT_EQ(vt_json_obj_encode_file(document.get(), (dir + "/subject").c_str()), 0);
}

// Writes dir/targets as {"targets": [entry, ...]}.
void write_targets(const std::string &dir, const std::vector<TargetSpec> &targets)
{
    vt_json_arr *list = nullptr;
    ASSERT_EQ(vt_json_arr_init(&list), 0);
    for (const auto &spec : targets) {
        vt_db_target record{counted(spec.name), spec.id, 1, 512, spec.block_count};
        vt_json_obj *raw = nullptr;
        ASSERT_EQ(vt_db_target_dump(&record, &raw), 0);
        Obj entry(raw);
        ASSERT_EQ(vt_json_arr_object(list, entry.get()), 0);
    }
    vt_json_obj *raw = nullptr;
    ASSERT_EQ(vt_json_obj_init(&raw), 0);
    Obj document(raw);
    ASSERT_EQ(vt_json_obj_array(document.get(), "targets", list), 0);
    vt_json_arr_deit(&list);
    ASSERT_EQ(vt_json_obj_encode_file(document.get(), (dir + "/targets").c_str()), 0);
}

class FcacheTest : public testing::Test {
protected:
    TempDir tmp;
    std::string root = tmp.file("cache");
};

// --- Store creation ---------------------------------------------------------

TEST_F(FcacheTest, InitCreatesTheRootAndItsMissingParents)
{
    Store store = open_store(root);
    ASSERT_TRUE(store);
    EXPECT_TRUE(is_dir(root));
    EXPECT_EQ(current_dir(store.get()), root);

    // A fresh machine has no state directory yet: the whole chain is made.
    std::string deep_root = tmp.file("no/such/root");
    Store deep = open_store(deep_root);
    ASSERT_TRUE(deep);
    EXPECT_TRUE(is_dir(deep_root));

    // A parent that is a regular file cannot become a directory.
    vt_test::write_file(tmp.file("plain"), "x");
    SyserrCapture capture;
    vt_fcache *blocked = nullptr;
    std::string under_file = tmp.file("plain/sub/root");
    EXPECT_EQ(vt_fcache_init2(&blocked, under_file.c_str()), 1);
    EXPECT_EQ(blocked, nullptr);
    EXPECT_NE(capture.text().find("failed to create directory -- " + tmp.file("plain/sub")),
              std::string::npos)
        << capture.text();
}

TEST_F(FcacheTest, InitRefusesARootThatIsNotADirectory)
{
    std::string file = tmp.file("plain");
    vt_test::write_file(file, "x");
    std::string link = tmp.file("link");
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(symlink(root.c_str(), link.c_str()), 0);

    for (const std::string &path : {file, link}) {
        SCOPED_TRACE(path);
        SyserrCapture capture;
        vt_fcache *store = nullptr;
        EXPECT_EQ(vt_fcache_init2(&store, path.c_str()), 1);
        EXPECT_EQ(store, nullptr);
        EXPECT_NE(capture.text().find("cache path is not a directory -- " + path),
                  std::string::npos)
            << capture.text();
    }
}

TEST_F(FcacheTest, DefaultRootIsTheSubjectCacheUnderTheStateDirectory)
{
    const char *saved = getenv("VANTREL_STATE_DIR");
    std::string previous = saved ? saved : "";
    ASSERT_EQ(setenv("VANTREL_STATE_DIR", tmp.path().c_str(), 1), 0);
    vt_fcache *store = nullptr;
    int result = vt_fcache_init(&store, nullptr);
    if (saved)
        setenv("VANTREL_STATE_DIR", previous.c_str(), 1);
    else
        unsetenv("VANTREL_STATE_DIR");
    ASSERT_EQ(result, 0);
    Store owner(store);
    EXPECT_EQ(current_dir(store), tmp.file("subject"));
    EXPECT_TRUE(is_dir(tmp.file("subject")));

    vt_string given = counted(root.c_str());
    vt_fcache *explicit_store = nullptr;
    ASSERT_EQ(vt_fcache_init(&explicit_store, &given), 0);
    Store explicit_owner(explicit_store);
    EXPECT_EQ(current_dir(explicit_store), root);
}

// --- Entering and leaving ---------------------------------------------------

TEST_F(FcacheTest, PushLocksEachDirectoryAndPopRemovesThemWhenEmpty)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "a"), 0);
    vt_string b = counted("b");
    ASSERT_EQ(vt_fcache_push_dir(store.get(), &b), 0);
    EXPECT_EQ(current_dir(store.get()), root + "/a/b");
    EXPECT_TRUE(is_dir(root + "/a/b"));
    EXPECT_FALSE(lock_is_free(root + "/a"));
    EXPECT_FALSE(lock_is_free(root + "/a/b"));
    EXPECT_TRUE(lock_is_free(root)); // the root is only locked on request

    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0);
    EXPECT_FALSE(exists(root + "/a/b"));
    EXPECT_FALSE(lock_is_free(root + "/a")); // still entered
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0);
    EXPECT_FALSE(exists(root + "/a"));
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_TRUE(is_dir(root));

    SyserrCapture capture;
    EXPECT_EQ(vt_fcache_pop_dir_(store.get(), 1), 1);
    EXPECT_NE(capture.text().find("failed to pop cache directory -- " + root), std::string::npos)
        << capture.text();
    EXPECT_EQ(current_dir(store.get()), root);
}

TEST_F(FcacheTest, PopKeepsDirectoriesThatHoldEntriesOrWhenAskedTo)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "a"), 0);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "b"), 0);
    vt_test::write_file(root + "/a/b/pid", "1 ");
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "kept"), 0);

    SyserrCapture capture;
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 0), 0); // empty, but removal not asked
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0); // holds "pid" and "kept"
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0); // holds "b"
    EXPECT_EQ(capture.text(), "");
    EXPECT_TRUE(is_dir(root + "/a/b/kept"));
    EXPECT_EQ(vt_test::read_file(root + "/a/b/pid"), "1 ");
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_TRUE(lock_is_free(root + "/a/b"));
}

TEST_F(FcacheTest, ResetLeavesEverythingWithOrWithoutRemoval)
{
    Store store = open_store(root);
    for (const char *name : {"x", "y", "z"})
        ASSERT_EQ(vt_fcache_push_dir2(store.get(), name), 0);
    ASSERT_EQ(vt_fcache_reset_dir_keep(store.get()), 0);
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_TRUE(is_dir(root + "/x/y/z"));
    EXPECT_TRUE(lock_is_free(root + "/x/y/z"));

    for (const char *name : {"x", "y", "z"})
        ASSERT_EQ(vt_fcache_push_dir2(store.get(), name), 0);
    ASSERT_EQ(vt_fcache_reset_dir(store.get()), 0);
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_FALSE(exists(root + "/x"));
}

TEST_F(FcacheTest, DeitLeavesEveryDirectoryAndReleasesEveryLock)
{
    vt_fcache *store = nullptr;
    ASSERT_EQ(vt_fcache_init2(&store, root.c_str()), 0);
    ASSERT_EQ(vt_fcache_acquire(store), 0);
    ASSERT_EQ(vt_fcache_push_dir2(store, "a"), 0);
    ASSERT_EQ(vt_fcache_push_dir2(store, "b"), 0);
    vt_test::write_file(root + "/a/keep", "");
    EXPECT_FALSE(lock_is_free(root));

    ASSERT_EQ(vt_fcache_deit(&store), 0);
    EXPECT_EQ(store, nullptr);
    EXPECT_FALSE(exists(root + "/a/b"));
    EXPECT_TRUE(is_dir(root + "/a"));
    EXPECT_TRUE(lock_is_free(root));
    EXPECT_TRUE(lock_is_free(root + "/a"));
}

TEST_F(FcacheTest, AcquireAndReleaseLockTheCurrentDirectory)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_acquire(store.get()), 0);
    EXPECT_FALSE(lock_is_free(root));
    ASSERT_EQ(vt_fcache_release(store.get()), 0);
    EXPECT_TRUE(lock_is_free(root));

    SyserrCapture capture;
    EXPECT_EQ(vt_fcache_release(store.get()), 1);
    EXPECT_NE(capture.text(), "");
}

TEST_F(FcacheTest, PushRefusesNamesThatAreNotOneComponent)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "s"), 0);
    vt_test::write_file(root + "/s/file", "");
    std::string outside = tmp.file("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/s/link").c_str()), 0);

    struct Case {
        std::string name;
        const char *message;
    };
    const Case cases[] = {
        {"", "invalid argument"},
        {".", "invalid argument"},
        {"..", "invalid argument"},
        {"a/b", "invalid argument"},
        {"../../escape", "invalid argument"},
        {"file", "cache path is not a directory -- "},
        {"link", "cache path is not a directory -- "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("name '" + c.name + "'");
        SyserrCapture capture;
        EXPECT_EQ(vt_fcache_push_dir2(store.get(), c.name.c_str()), 1);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
        EXPECT_EQ(current_dir(store.get()), root + "/s");
    }
    vt_string with_zero{const_cast<char *>("a\0b"), 3};
    SyserrCapture capture;
    EXPECT_EQ(vt_fcache_push_dir(store.get(), &with_zero), 1);
    EXPECT_FALSE(exists(tmp.file("escape")));
    EXPECT_FALSE(exists(root + "/s/a"));
    EXPECT_FALSE(exists(tmp.file("a")));

    // The store still works after the refusals: pop goes back to the root.
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0);
    EXPECT_EQ(current_dir(store.get()), root);
}

TEST_F(FcacheTest, ANinthLockIsRefusedAndLeavesNoDirectory)
{
    Store store = open_store(root);
    std::string expected = root;
    for (int depth = 0; depth < 8; ++depth) {
        std::string name = "d" + std::to_string(depth);
        ASSERT_EQ(vt_fcache_push_dir2(store.get(), name.c_str()), 0) << depth;
        expected += "/" + name;
    }
    SyserrCapture capture;
    EXPECT_EQ(vt_fcache_push_dir2(store.get(), "d8"), 1);
    EXPECT_NE(capture.text(), "");
    EXPECT_EQ(current_dir(store.get()), expected);
    EXPECT_FALSE(exists(expected + "/d8"));
    EXPECT_EQ(vt_fcache_acquire(store.get()), 1);

    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0);
    EXPECT_EQ(vt_fcache_push_dir2(store.get(), "again"), 0);
}

// --- File names and directory walk -------------------------------------------

TEST_F(FcacheTest, FilenameBuildsAPathInTheCurrentDirectoryWithoutMovingIt)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "a"), 0);

    vt_string pid{};
    ASSERT_EQ(vt_fcache_filename2(store.get(), "pid", &pid), 0);
    EXPECT_EQ(view(pid), root + "/a/pid");
    EXPECT_EQ(pid.text[pid.length], '\0');
    vt_string_free(&pid);

    vt_string name = counted("json");
    vt_string json{};
    ASSERT_EQ(vt_fcache_filename(store.get(), &name, &json), 0);
    EXPECT_EQ(view(json), root + "/a/json");
    vt_string_free(&json);

    EXPECT_EQ(current_dir(store.get()), root + "/a");
    // Pop still finds the directory's own component, not the file's.
    ASSERT_EQ(vt_fcache_pop_dir_(store.get(), 1), 0);
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_FALSE(exists(root + "/a"));
}

TEST_F(FcacheTest, WalkDirListsEveryEntryButDotAndDotDot)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    for (const char *name : {"one", "two", "three"})
        vt_test::write_file(root + "/" + name, "");
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    Store store = open_store(root);

    std::multiset<std::string> seen;
    auto collect = [](vt_fcache *, const char *name, void *user) -> int {
        static_cast<std::multiset<std::string> *>(user)->insert(name);
        return 0;
    };
    ASSERT_EQ(vt_fcache_walk_dir(store.get(), collect, &seen), 0);
    EXPECT_EQ(seen, (std::multiset<std::string>{"one", "sub", "three", "two"}));
}

TEST_F(FcacheTest, WalkDirStopsWhenTheCallbackReturnsNonZero)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    for (const char *name : {"one", "two", "three"})
        vt_test::write_file(root + "/" + name, "");
    Store store = open_store(root);

    int calls = 0;
    auto stop = [](vt_fcache *, const char *, void *user) -> int {
        ++*static_cast<int *>(user);
        return 5;
    };
    EXPECT_EQ(vt_fcache_walk_dir(store.get(), stop, &calls), 0);
    EXPECT_EQ(calls, 1);

    // A directory that vanished under the store cannot be opened.
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "gone"), 0);
    ASSERT_EQ(rmdir((root + "/gone").c_str()), 0);
    SyserrCapture capture;
    EXPECT_EQ(vt_fcache_walk_dir(store.get(), stop, &calls), 1);
    EXPECT_NE(capture.text().find("failed to open cache path -- " + root + "/gone"),
              std::string::npos)
        << capture.text();
}

// --- Subject cache walks ------------------------------------------------------

const SubjectSpec alpha = {"uuid-alpha", "alpha", "10.0.0.5", "3262", "/sub"};
const SubjectSpec beta = {"uuid-beta", "beta", "10.0.0.6", "3262", "/sub"};

TEST_F(FcacheTest, WalkTargetsHandsEachTargetInFileOrder)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    write_subject(root, alpha);
    write_targets(root + "/uuid-alpha", {{"disk0", 3, 4096}, {"disk1", 7, 1ULL << 40}, {"vol", 9, 1}});
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "uuid-alpha"), 0);

    struct Seen {
        std::vector<std::string> names;
        std::vector<uint64_t> ids, counts;
        size_t stop_after;
    };
    auto collect = [](vt_fcache *, const vt_db_target *target, void *user) -> int {
        auto *seen = static_cast<Seen *>(user);
        seen->names.push_back(view(target->name));
        seen->ids.push_back(target->id);
        seen->counts.push_back(target->block_count);
        return seen->names.size() == seen->stop_after ? -1 : 0;
    };
    Seen all{{}, {}, {}, 0};
    ASSERT_EQ(vt_fcache_walk_targets(store.get(), collect, &all), 0);
    EXPECT_EQ(all.names, (std::vector<std::string>{"disk0", "disk1", "vol"}));
    EXPECT_EQ(all.ids, (std::vector<uint64_t>{3, 7, 9}));
    EXPECT_EQ(all.counts, (std::vector<uint64_t>{4096, 1ULL << 40, 1}));

    Seen two{{}, {}, {}, 2};
    EXPECT_EQ(vt_fcache_walk_targets(store.get(), collect, &two), 0);
    EXPECT_EQ(two.names, (std::vector<std::string>{"disk0", "disk1"}));
    EXPECT_EQ(current_dir(store.get()), root + "/uuid-alpha");
}

TEST_F(FcacheTest, WalkTargetsFailsOnABrokenTargetsFile)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    std::string dir = root + "/s";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "s"), 0);
    const std::string file = dir + "/targets";
    const std::string good = R"({"name": "disk0", "id": 1, "type": 1, "block_size": 512,)"
                             R"( "block_count": "AAAAAAAAEAA="})";

    struct Case {
        const char *what;
        std::string content; // empty: no file at all
        std::string message;
        size_t calls;
    };
    const Case cases[] = {
        {"missing file", "", "failed to decode targets file -- " + file, 0},
        {"no list", R"({"other": []})", "failed to get target list from targets file -- " + file, 0},
        {"element not an object", "{\"targets\": [" + good + ", 5]}",
         "failed to get target info from targets file -- 1 - " + file, 1},
        {"block count as integer",
         "{\"targets\": [" + good + R"(, {"name": "x", "id": 2, "type": 1, "block_size": 512,)" +
             R"( "block_count": 4096}]})",
         "failed to load target info from targets file -- 1 - " + file, 1},
    };
    auto count = [](vt_fcache *, const vt_db_target *, void *user) -> int {
        ++*static_cast<size_t *>(user);
        return 0;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(file.c_str());
        if (!c.content.empty())
            vt_test::write_file(file, c.content);
        SyserrCapture capture;
        size_t calls = 0;
        EXPECT_EQ(vt_fcache_walk_targets(store.get(), count, &calls), 1);
        EXPECT_EQ(calls, c.calls);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
}

TEST_F(FcacheTest, WalkSubjectVisitsEachSubjectInsideItsDirectory)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    write_subject(root, alpha);
    write_subject(root, beta);
    Store store = open_store(root);
    // A walk starts from the root whatever the store had entered, removing the
    // empty directories it leaves.
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "stray"), 0);

    struct Visit {
        std::string host, dir;
        bool root_locked;
    };
    struct Walk {
        std::string root;
        std::vector<Visit> visits;
    } walk{root, {}};
    auto visit = [](vt_fcache *store, const vt_db_subject *subject, void *user) -> int {
        auto *walk = static_cast<Walk *>(user);
        walk->visits.push_back({view(subject->hostname), current_dir(store), !lock_is_free(walk->root)});
        return 0;
    };
    ASSERT_EQ(vt_fcache_walk_subject(store.get(), visit, &walk), 0);
    ASSERT_EQ(walk.visits.size(), 2u);
    std::set<std::string> hosts;
    for (const Visit &v : walk.visits) {
        hosts.insert(v.host);
        EXPECT_EQ(v.dir, root + "/uuid-" + v.host);
        EXPECT_TRUE(v.root_locked);
    }
    EXPECT_EQ(hosts, (std::set<std::string>{"alpha", "beta"}));
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_FALSE(exists(root + "/stray"));
    EXPECT_TRUE(lock_is_free(root));
    EXPECT_TRUE(is_dir(root + "/uuid-alpha"));

    // A non-zero result ends the walk after the first subject.
    int calls = 0;
    auto stop = [](vt_fcache *, const vt_db_subject *, void *user) -> int {
        ++*static_cast<int *>(user);
        return 1;
    };
    EXPECT_EQ(vt_fcache_walk_subject(store.get(), stop, &calls), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(FcacheTest, WalkSubjectEndsAtADirectoryWithoutSubjectFile)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/broken").c_str(), 0755), 0);
    write_targets(root + "/broken", {});
    Store store = open_store(root);

    SyserrCapture capture;
    int calls = 0;
    auto count = [](vt_fcache *, const vt_db_subject *, void *user) -> int {
        ++*static_cast<int *>(user);
        return 0;
    };
    EXPECT_EQ(vt_fcache_walk_subject(store.get(), count, &calls), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_NE(capture.text().find("failed to decode subject file -- " + root + "/broken/subject"),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(capture.text().find("failed to push subject directory"), std::string::npos);
    EXPECT_TRUE(is_dir(root + "/broken")); // it still holds its targets file
    EXPECT_EQ(current_dir(store.get()), root);
    EXPECT_TRUE(lock_is_free(root));
}

TEST_F(FcacheTest, PushTargetRunsTheCallbackInsideTheIdDirectory)
{
    Store store = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(store.get(), "uuid"), 0);

    struct Inside {
        std::string dir;
        bool write_pid;
        int result;
    };
    auto inside = [](vt_fcache *store, void *user) -> int {
        auto *in = static_cast<Inside *>(user);
        in->dir = current_dir(store);
        if (in->write_pid)
            vt_test::write_file(in->dir + "/pid", "1 ");
        return in->result;
    };
    Inside empty{"", false, 7};
    EXPECT_EQ(vt_fcache_push_target(store.get(), 18446744073709551615ULL, inside, &empty), 7);
    EXPECT_EQ(empty.dir, root + "/uuid/18446744073709551615");
    EXPECT_FALSE(exists(empty.dir));

    Inside kept{"", true, 0};
    EXPECT_EQ(vt_fcache_push_target(store.get(), 42, inside, &kept), 0);
    EXPECT_EQ(kept.dir, root + "/uuid/42");
    EXPECT_TRUE(exists(kept.dir + "/pid"));
    EXPECT_EQ(current_dir(store.get()), root + "/uuid");
}

class FcacheLookupTest : public FcacheTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        write_subject(root, alpha);
        write_targets(root + "/uuid-alpha", {{"disk0", 3, 8}, {"disk1", 11, 8}});
        store = open_store(root);
        ASSERT_TRUE(store);
    }

    static int record_dir(vt_fcache *store, void *user)
    {
        *static_cast<std::string *>(user) = current_dir(store);
        return 0;
    }

    Store store;
};

TEST_F(FcacheLookupTest, SubjectTargetMatchesHostNameOrAPrefixOfTheUrl)
{
    struct Case {
        const char *key;
        const char *target;
        int result;
        std::string dir;
    };
    const Case cases[] = {
        {"alpha", "disk1", 0, root + "/uuid-alpha/11"},
        {"10.0.0.5:3262/sub", "disk0", 0, root + "/uuid-alpha/3"},
        {"10.0.0.5:3262", "disk0", 0, root + "/uuid-alpha/3"},
        {"10.0.0.5", "disk1", 0, root + "/uuid-alpha/11"},
        {"ALPHA", "disk0", 1, ""},
        {"alph", "disk0", 1, ""},
        {"10.0.0.5:3262/subx", "disk0", 1, ""},
        {"alpha", "DISK0", 1, ""},
        {"alpha", "disk", 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + c.target);
        SyserrCapture capture;
        std::string dir;
        EXPECT_EQ(vt_fcache_subject_target(store.get(), c.key, c.target, record_dir, &dir), c.result);
        EXPECT_EQ(dir, c.dir);
        EXPECT_EQ(capture.text(), "");
        EXPECT_EQ(current_dir(store.get()), root);
        EXPECT_FALSE(exists(root + "/uuid-alpha/3"));
        EXPECT_FALSE(exists(root + "/uuid-alpha/11"));
    }
}

TEST_F(FcacheLookupTest, SubjectTargetReturnsTheCallbacksResult)
{
    auto answer = [](vt_fcache *store, void *) -> int {
        vt_string pid{};
        EXPECT_EQ(vt_fcache_filename2(store, "pid", &pid), 0);
        vt_test::write_file(view(pid), "1 ");
        vt_string_free(&pid);
        return 42;
    };
    EXPECT_EQ(vt_fcache_subject_target(store.get(), "alpha", "disk0", answer, nullptr), 42);
    EXPECT_TRUE(exists(root + "/uuid-alpha/3/pid"));
}

// --- Two processes -----------------------------------------------------------

// Kills and reaps a forked child unless the test already reaped it.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }

    // Exit status of the child, or -1 when it has not ended within the limit.
    int wait_exit()
    {
        auto deadline = std::chrono::steady_clock::now() + wait_limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

private:
    pid_t pid_;
};

// True when /proc/locks shows pid waiting for a flock() on the inode.
bool waits_for_lock(pid_t pid, ino_t inode)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, arrow, kind, advisory, mode, owner, device;
        fields >> number >> arrow >> kind >> advisory >> mode >> owner >> device;
        if (arrow != "->" || kind != "FLOCK" || owner != std::to_string(pid))
            continue;
        size_t colon = device.rfind(':');
        if (colon != std::string::npos && device.substr(colon + 1) == std::to_string(inode))
            return true;
    }
    return false;
}

bool wait_until_waiting(pid_t pid, ino_t inode)
{
    auto deadline = std::chrono::steady_clock::now() + wait_limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waits_for_lock(pid, inode))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Reads one byte from fd, waiting at most timeout_ms; -1 when none arrived.
int read_byte(int fd, int timeout_ms)
{
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1)
        return -1;
    char byte;
    return read(fd, &byte, 1) == 1 ? byte : -1;
}

class FcacheProcessTest : public FcacheTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
    }
    void TearDown() override
    {
        for (int fd : pipe_)
            if (fd >= 0)
                close(fd);
    }
    int pipe_[2] = {-1, -1};
};

TEST_F(FcacheProcessTest, SubjectWalkWaitsAtAHeldSubjectDirectoryNotAtTheRoot)
{
    write_subject(root, alpha);
    Store holder = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(holder.get(), alpha.uuid), 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The walker reports each subject it reaches through the pipe.
        close(pipe_[0]);
        vt_fcache *walker = nullptr;
        if (vt_fcache_init2(&walker, root.c_str()))
            _exit(2);
        auto report = [](vt_fcache *, const vt_db_subject *subject, void *user) -> int {
            char byte = subject->hostname.text[0];
            return write(*static_cast<int *>(user), &byte, 1) == 1 ? 0 : 1;
        };
        int result = vt_fcache_walk_subject(walker, report, &pipe_[1]);
        vt_fcache_deit(&walker);
        _exit(result);
    }
    Child child(pid);
    close(pipe_[1]);
    pipe_[1] = -1;

    // The walker has passed the root (it holds the root lock) and waits for the
    // subject directory this process holds.
    ASSERT_TRUE(wait_until_waiting(pid, inode_of(root + "/" + alpha.uuid)));
    EXPECT_FALSE(lock_is_free(root));
    EXPECT_FALSE(waits_for_lock(pid, inode_of(root)));
    EXPECT_EQ(read_byte(pipe_[0], 0), -1);

    ASSERT_EQ(vt_fcache_pop_dir_(holder.get(), 1), 0);
    EXPECT_EQ(read_byte(pipe_[0], int(std::chrono::milliseconds(wait_limit).count())), 'a');
    EXPECT_EQ(child.wait_exit(), 0);
    EXPECT_TRUE(lock_is_free(root));
    EXPECT_TRUE(is_dir(root + "/" + alpha.uuid));
}

TEST_F(FcacheProcessTest, APushThatWaitedForARemovedDirectoryGetsALiveOne)
{
    Store holder = open_store(root);
    ASSERT_EQ(vt_fcache_push_dir2(holder.get(), "7"), 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Enters the directory once the holder lets go, and records a pid file in it.
        vt_fcache *second = nullptr;
        if (vt_fcache_init2(&second, root.c_str()) || vt_fcache_push_dir2(second, "7"))
            _exit(2);
        vt_string path{};
        if (vt_fcache_filename2(second, "pid", &path))
            _exit(3);
        int fd = open(path.text, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0)
            _exit(4);
        close(fd);
        vt_fcache_deit(&second);
        _exit(0);
    }
    Child child(pid);

    ASSERT_TRUE(wait_until_waiting(pid, inode_of(root + "/7")));
    // The holder leaves the directory empty, so it is removed while the second
    // process waits on a descriptor of it.
    ASSERT_EQ(vt_fcache_pop_dir_(holder.get(), 1), 0);
    EXPECT_EQ(child.wait_exit(), 0);
    EXPECT_TRUE(exists(root + "/7/pid"));
}

} // namespace
