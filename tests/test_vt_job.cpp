// Tests of the image job file: the job directory in the state store, building
// and loading job documents, the printed summary, listing and removing jobs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vt_job.h"
#include "vt_opt.h"
#include "vt_pwd.h"
#include "vt_test_json.h"
#include "vt_test_pid.h"
#include "vt_test_util.h"

namespace fs = std::filesystem;

namespace {

struct opt_release {
    void operator()(vt_opt *opt) const { vt_opt_deit(&opt); }
};
using opt_ptr = std::unique_ptr<vt_opt, opt_release>;

using json_ptr = vt_test::JsonPtr;

std::string text(const vt_string &s)
{
    return s.text ? std::string(s.text, s.length) : std::string("<unset>");
}

// Sets a record field; an empty value is an allocated empty text, as a document
// with an empty string loads it.
void set(vt_string &field, const std::string &value)
{
    vt_string_free(&field);
    if (value.empty()) {
        field.text = static_cast<char *>(calloc(1, 1));
        field.length = 0;
        return;
    }
    ASSERT_EQ(vt_string_copy(&field, value.data(), value.size()), 0);
}

std::string get_text(vt_json_obj *doc, const char *section, const char *key)
{
    vt_json_obj *sub = nullptr;
    if (vt_json_obj_get_object(doc, section, &sub))
        return "<no section>";
    json_ptr guard(sub);
    const char *value = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(sub, key, &value, &length))
        return "<no key>";
    return std::string(value, length);
}

void collect_cb(const char *message, size_t length, void *user, unsigned level)
{
    static_cast<std::string *>(user)->append(std::to_string(level) + ":").append(message, length);
}

// Replaces standard input with a pipe holding the given answers while alive.
class StdinFeed {
public:
    explicit StdinFeed(const std::string &answers)
    {
        int fds[2];
        if (pipe(fds) != 0)
            std::abort();
        if (write(fds[1], answers.data(), answers.size()) != ssize_t(answers.size()))
            std::abort();
        close(fds[1]);
        saved_ = dup(STDIN_FILENO);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
    }
    ~StdinFeed()
    {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }

private:
    int saved_ = -1;
};

// A private state root, a console log that collects its text, and a record
// describing a job with every field the command line can give.
class Job : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("VANTREL_STATE_DIR", state.path().c_str(), 1);
        ASSERT_EQ(vt_syslog_init_cb(&console, collect_cb, &printed), 0);
        vt_opt *raw = nullptr;
        ASSERT_EQ(vt_opt_init(&raw, 0, nullptr), 0);
        opt.reset(raw);
        set(opt->username, "examiner");
        set(opt->password, "s3cret pass");
        set(opt->subject, "10.0.0.5:3262/sub");
        set(opt->target, "disk0");
        set(opt->image_path, "/evidence");
        set(opt->image_name, "case_1");
        set(opt->hash, "md5,sha1");
    }
    void TearDown() override
    {
        vt_syslog_deit(&console);
        unsetenv("VANTREL_STATE_DIR");
    }

    void set_case_texts()
    {
        set(opt->case_number, "C-7");
        set(opt->evidence_number, "E 1");
        set(opt->examiner_name, "Ann");
        set(opt->notes, "");
        set(opt->unique_description, "laptop_disk");
    }

    json_ptr build()
    {
        vt_json_obj *doc = nullptr;
        EXPECT_EQ(vt_opt_set_object(opt.get(), &doc), 0);
        return json_ptr(doc);
    }

    std::string job_dir(const std::string &name = "case_1") const
    {
        return state.path() + "/image/" + name;
    }

    vt_test::TempDir state;
    vt_syslog *console = nullptr;
    std::string printed;
    opt_ptr opt;
};

TEST_F(Job, BuildsDocumentWithDefaultsAndPromptedTexts)
{
    json_ptr doc;
    {
        StdinFeed answers("C-9\nEV 2\nBob\n\nunit_a\n");
        doc = build();
    }
    ASSERT_TRUE(doc);
    EXPECT_EQ(get_text(doc.get(), "vantrel", "subject"), "10.0.0.5:3262/sub");
    EXPECT_EQ(get_text(doc.get(), "vantrel", "target"), "disk0");
    EXPECT_EQ(get_text(doc.get(), "vantrel", "username"), "examiner");
    EXPECT_EQ(get_text(doc.get(), "imager", "image_path"), "/evidence");
    EXPECT_EQ(get_text(doc.get(), "imager", "image_name"), "case_1");
    EXPECT_EQ(get_text(doc.get(), "imager", "hash"), "md5,sha1");
    EXPECT_EQ(get_text(doc.get(), "imager", "compression"), "deflate");
    EXPECT_EQ(get_text(doc.get(), "imager", "output_format"), "ewf");
    EXPECT_EQ(get_text(doc.get(), "imager", "read_size"), "524288");
    EXPECT_EQ(get_text(doc.get(), "ewf", "case_number"), "C-9");
    EXPECT_EQ(get_text(doc.get(), "ewf", "evidence_number"), "EV 2");
    EXPECT_EQ(get_text(doc.get(), "ewf", "examiner_name"), "Bob");
    EXPECT_EQ(get_text(doc.get(), "ewf", "notes"), "");
    EXPECT_EQ(get_text(doc.get(), "ewf", "unique_description"), "unit_a");
    EXPECT_EQ(get_text(doc.get(), "ewf", "chunk_size"), "32768");
    EXPECT_EQ(get_text(doc.get(), "ewf", "table_size"), "65534");
}

TEST_F(Job, PasswordIsStoredObfuscated)
{
    set_case_texts();
    json_ptr doc = build();
    ASSERT_TRUE(doc);
    const std::string stored = get_text(doc.get(), "vantrel", "password");
    EXPECT_NE(stored, "s3cret pass");
    EXPECT_EQ(stored.find("s3cret"), std::string::npos);
    vt_json_obj *section = nullptr;
    ASSERT_EQ(vt_json_obj_get_object(doc.get(), "vantrel", &section), 0);
    json_ptr guard(section);
    vt_string clear = {};
    ASSERT_EQ(vt_json_obj_get_pwd(section, "password", &clear), 0);
    EXPECT_EQ(text(clear), "s3cret pass");
    vt_string_free(&clear);
}

TEST_F(Job, HeldCaseTextsAreNotAsked)
{
    // An empty text loaded from a document counts as given; only unset ones are asked.
    set(opt->case_number, "");
    set(opt->notes, "kept");
    json_ptr doc;
    {
        StdinFeed answers("second\nthird\nfifth\n");
        doc = build();
    }
    ASSERT_TRUE(doc);
    EXPECT_EQ(get_text(doc.get(), "ewf", "case_number"), "");
    EXPECT_EQ(get_text(doc.get(), "ewf", "evidence_number"), "second");
    EXPECT_EQ(get_text(doc.get(), "ewf", "examiner_name"), "third");
    EXPECT_EQ(get_text(doc.get(), "ewf", "notes"), "kept");
    EXPECT_EQ(get_text(doc.get(), "ewf", "unique_description"), "fifth");
}

TEST_F(Job, BadAnswerBuildsNoDocument)
{
    vt_test::SyserrCapture capture;
    vt_json_obj *doc = nullptr;
    {
        StdinFeed answers("abc/def\nE\nX\nN\nU\n");
        EXPECT_NE(vt_opt_set_object(opt.get(), &doc), 0);
    }
    EXPECT_EQ(doc, nullptr);
    const std::string &r = capture.text();
    const size_t position = r.find("invalid character at position 3.");
    const size_t invalid = r.find("invalid string.");
    const size_t section = r.find("failed to set ewf object.");
    ASSERT_NE(position, std::string::npos) << r;
    ASSERT_NE(invalid, std::string::npos) << r;
    ASSERT_NE(section, std::string::npos) << r;
    EXPECT_LT(position, invalid);
    EXPECT_LT(invalid, section);
}

TEST_F(Job, WrittenDocumentIsPrivateSortedAndLoadsBack)
{
    set_case_texts();
    json_ptr doc = build();
    ASSERT_TRUE(doc);
    ASSERT_EQ(vt_opt_json_create(opt.get(), doc.get()), 0);

    const std::string path = job_dir() + "/json";
    struct stat status = {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    const std::string written = vt_test::read_file(path);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), '}');
    EXPECT_EQ(written.find('\0'), std::string::npos);
    const size_t ewf = written.find("\n    \"ewf\": {");
    const size_t imager = written.find("\n    \"imager\": {");
    const size_t vantrel = written.find("\n    \"vantrel\": {");
    ASSERT_NE(ewf, std::string::npos) << written;
    ASSERT_NE(imager, std::string::npos) << written;
    ASSERT_NE(vantrel, std::string::npos) << written;
    EXPECT_LT(ewf, imager);
    EXPECT_LT(imager, vantrel);
    EXPECT_NE(written.find("\n        \"case_number\": \"C-7\""), std::string::npos) << written;

    vt_json_obj *loaded = nullptr;
    ASSERT_EQ(vt_opt_json_get_object(opt.get(), &loaded), 0);
    json_ptr loaded_guard(loaded);
    vt_opt *back = nullptr;
    ASSERT_EQ(vt_opt_init(&back, 0, nullptr), 0);
    opt_ptr back_guard(back);
    ASSERT_EQ(vt_opt_get_vantrel_object(back, loaded), 0);
    ASSERT_EQ(vt_opt_get_imager_object(back, loaded), 0);
    ASSERT_EQ(vt_opt_get_ewf_object(back, loaded), 0);
    for (vt_string vt_opt::*field :
         {&vt_opt::username, &vt_opt::password, &vt_opt::subject, &vt_opt::target,
          &vt_opt::image_path, &vt_opt::image_name, &vt_opt::hash, &vt_opt::case_number,
          &vt_opt::evidence_number, &vt_opt::examiner_name, &vt_opt::notes,
          &vt_opt::unique_description})
        EXPECT_EQ(text(back->*field), text(opt.get()->*field));
    // An empty text comes back as an allocated empty string, not as "unset".
    EXPECT_NE(back->notes.text, nullptr);
    EXPECT_EQ(back->notes.length, 0u);
}

TEST_F(Job, RewritingTheDocumentKeepsItPrivate)
{
    set_case_texts();
    json_ptr doc = build();
    ASSERT_TRUE(doc);
    fs::create_directories(job_dir());
    const std::string path = job_dir() + "/json";
    vt_test::write_file(path, "{\"old\": 1, \"padding\": \"" + std::string(4096, 'x') + "\"}");
    chmod(path.c_str(), 0644);
    ASSERT_EQ(vt_opt_json_create(opt.get(), doc.get()), 0);
    struct stat status = {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    const std::string written = vt_test::read_file(path);
    EXPECT_EQ(written.find("old"), std::string::npos);
    EXPECT_EQ(written.find("xxxx"), std::string::npos);
}

class JobLoad : public Job {
protected:
    void SetUp() override
    {
        Job::SetUp();
        set_case_texts();
        doc = build();
        ASSERT_TRUE(doc);
    }

    // Writes doc with section.key removed (or the whole section when key is null)
    // and loads it through -c's loader into a fresh record.
    int load_without(const char *section, const char *key)
    {
        if (key == nullptr) {
            EXPECT_EQ(vt_json_obj_remove(doc.get(), section), 0);
        } else {
            vt_json_obj *sub = nullptr;
            EXPECT_EQ(vt_json_obj_get_object(doc.get(), section, &sub), 0);
            EXPECT_EQ(vt_json_obj_remove(sub, key), 0);
            vt_json_obj_deit(&sub);
        }
        return load();
    }

    int load()
    {
        const std::string path = state.file("job.json");
        EXPECT_EQ(vt_json_obj_encode_file(doc.get(), path.c_str()), 0);
        vt_opt *raw = nullptr;
        EXPECT_EQ(vt_opt_init(&raw, 0, nullptr), 0);
        loaded.reset(raw);
        set(loaded->config, path);
        return vt_opt_get_object(loaded.get(), nullptr);
    }

    json_ptr doc;
    opt_ptr loaded;
};

TEST_F(JobLoad, LoadsEverySection)
{
    ASSERT_EQ(load(), 0);
    EXPECT_EQ(text(loaded->password), "s3cret pass");
    EXPECT_EQ(text(loaded->unique_description), "laptop_disk");
    EXPECT_EQ(text(loaded->image_name), "case_1");
}

TEST_F(JobLoad, ReplacesWhatTheRecordHeld)
{
    const std::string path = state.file("job.json");
    ASSERT_EQ(vt_json_obj_encode_file(doc.get(), path.c_str()), 0);
    vt_opt *raw = nullptr;
    ASSERT_EQ(vt_opt_init(&raw, 0, nullptr), 0);
    opt_ptr record(raw);
    set(record->config, path);
    set(record->image_name, "other");
    set(record->password, "old");
    set(record->notes, "old notes");
    vt_json_obj *handed = nullptr;
    ASSERT_EQ(vt_opt_get_object(record.get(), &handed), 0);
    json_ptr handed_guard(handed);
    EXPECT_NE(handed, nullptr);
    EXPECT_EQ(text(record->image_name), "case_1");
    EXPECT_EQ(text(record->password), "s3cret pass");
    EXPECT_EQ(text(record->notes), "");
}

struct missing_case {
    const char *section;
    const char *key;
    std::vector<std::string> reports;
};

class JobLoadMissing : public JobLoad, public ::testing::WithParamInterface<missing_case> {};

TEST_P(JobLoadMissing, FailsWithTheSectionsMessage)
{
    vt_test::SyserrCapture capture;
    EXPECT_NE(load_without(GetParam().section, GetParam().key), 0);
    for (const std::string &report : GetParam().reports)
        EXPECT_NE(capture.text().find(report), std::string::npos) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    Sections, JobLoadMissing,
    ::testing::Values(
        missing_case{"ewf", nullptr, {"failed to get ewf object."}},
        missing_case{"vantrel", nullptr, {"failed to get vantrel object."}},
        missing_case{"imager", nullptr, {"failed to get imager object."}},
        missing_case{"vantrel", "password",
                     {"failed to load vantrel object.", "failed to get vantrel object."}},
        missing_case{"imager", "image_name",
                     {"missing image_name key from object.", "failed to load imager object.",
                      "failed to get imager object."}},
        missing_case{"ewf", "notes",
                     {"missing notes key from object.", "failed to load ewf object.",
                      "failed to get ewf object."}}));

TEST_F(JobLoad, NeedsAReadableConfigPath)
{
    vt_test::SyserrCapture capture;
    vt_opt *raw = nullptr;
    ASSERT_EQ(vt_opt_init(&raw, 0, nullptr), 0);
    opt_ptr record(raw);
    EXPECT_NE(vt_opt_get_object(record.get(), nullptr), 0);
    EXPECT_NE(capture.text().find("missing -c,--config argument."), std::string::npos);
    const std::string path = state.file("absent.json");
    set(record->config, path);
    EXPECT_NE(vt_opt_get_object(record.get(), nullptr), 0);
    EXPECT_NE(capture.text().find("failed to read json file -- " + path + "."), std::string::npos)
        << capture.text();
}

TEST_F(JobLoad, PrintsTheSummary)
{
    ASSERT_EQ(vt_opt_print_object(doc.get(), console), 0);
    EXPECT_EQ(printed, "2:\nEWF Information\n   Case Number: C-7\n   Evidence Number: E 1\n"
                       "   Examiner Name: Ann\n   Notes: \n   Unique Description: laptop_disk\n\n"
                       "Examiner Information\n   Subject: 10.0.0.5:3262/sub\n   Target: disk0\n\n"
                       "Image Information\n   Image Name: case_1\n   Image Path: /evidence\n"
                       "   Hash Method: md5,sha1\n\n");
}

TEST_F(JobLoad, SummaryNeedsEverySection)
{
    vt_test::SyserrCapture capture;
    ASSERT_EQ(vt_json_obj_remove(doc.get(), "vantrel"), 0);
    EXPECT_NE(vt_opt_print_object(doc.get(), console), 0);
    EXPECT_EQ(printed, "");
    EXPECT_NE(capture.text().find("failed to get vantrel object."), std::string::npos);
}

TEST_F(JobLoad, ImageInfoNamesTheSource)
{
    vt_json_obj *out = nullptr;
    ASSERT_EQ(vt_json_obj_init(&out), 0);
    json_ptr out_guard(out);
    ASSERT_EQ(vt_set_image_info(doc.get(), out), 0);
    const char *info = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(out, "image_info", &info, &length), 0);
    EXPECT_EQ(std::string(info, length), "10.0.0.5:3262/sub/disk0");

    // A local-disk document has no vantrel section; the label is the device path.
    ASSERT_EQ(vt_json_obj_remove(doc.get(), "vantrel"), 0);
    vt_json_obj *disk = nullptr;
    ASSERT_EQ(vt_json_obj_init(&disk), 0);
    json_ptr disk_guard(disk);
    ASSERT_EQ(vt_json_obj_string(disk, "path", "/dev/loop3", 10), 0);
    ASSERT_EQ(vt_json_obj_object(doc.get(), "disk", disk), 0);
    ASSERT_EQ(vt_set_image_info(doc.get(), doc.get()), 0);
    ASSERT_EQ(vt_json_obj_get_string(doc.get(), "image_info", &info, &length), 0);
    EXPECT_EQ(std::string(info, length), "/dev/loop3");
}

TEST_F(Job, DefaultNameAndHash)
{
    vt_string_free(&opt->image_name);
    vt_string_free(&opt->hash);
    ASSERT_EQ(vt_opt_set_default_name(opt.get()), 0);
    ASSERT_EQ(vt_opt_set_default_hash(opt.get()), 0);
    EXPECT_EQ(text(opt->image_name), "disk0_image");
    EXPECT_EQ(text(opt->hash), "md5");
}

TEST_F(Job, PidFileLifecycle)
{
    uint64_t pid = 0;
    EXPECT_NE(vt_opt_pid_check(opt.get(), &pid), 0);
    ASSERT_EQ(vt_opt_pid_create(opt.get()), 0);
    EXPECT_EQ(vt_test::read_file(job_dir() + "/pid"), std::to_string(getpid()) + " ");
    ASSERT_EQ(vt_opt_pid_check(opt.get(), &pid), 0);
    EXPECT_EQ(pid, uint64_t(getpid()));
    EXPECT_EQ(vt_opt_pid_check(opt.get(), nullptr), 0);
    ASSERT_EQ(vt_opt_pid_remove(opt.get()), 0);
    EXPECT_NE(vt_opt_pid_check(opt.get(), &pid), 0);
    // Leaving the job directory removed it once nothing was left in it.
    EXPECT_FALSE(fs::exists(job_dir()));
}

struct pid_case {
    const char *name;
    std::string content; // "" makes `pid` a directory; "exited" a process that is gone
};

class JobPidNotRunning : public Job, public ::testing::WithParamInterface<pid_case> {};

TEST_P(JobPidNotRunning, CountsAsNotRunning)
{
    fs::create_directories(job_dir());
    const std::string path = job_dir() + "/pid";
    const std::string &content = GetParam().content;
    if (content.empty())
        fs::create_directory(path);
    else
        vt_test::write_file(path, content == "exited" ? std::to_string(vt_test::dead_pid()) + " "
                                                      : content);
    uint64_t pid = 12345;
    EXPECT_NE(vt_opt_pid_check(opt.get(), &pid), 0);
    EXPECT_EQ(pid, 12345u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, JobPidNotRunning,
    ::testing::Values(pid_case{"exited", "exited"},
                      pid_case{"directory", ""},
                      // kill(0, 0) would test this process's own group.
                      pid_case{"zero", "0 "},
                      pid_case{"beyond_pid_range", "4294967297 "},
                      pid_case{"garbage", "abc"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Job, JsonCheckAndPath)
{
    vt_test::SyserrCapture capture;
    EXPECT_NE(vt_opt_json_check(opt.get()), 0);
    EXPECT_NE(capture.text().find("failed to locate " + job_dir() + "/json"), std::string::npos)
        << capture.text();
    EXPECT_FALSE(fs::exists(job_dir()));

    vt_string path = {};
    ASSERT_EQ(vt_opt_json_get_path(opt.get(), &path), 0);
    EXPECT_EQ(text(path), job_dir() + "/json");
    vt_string_free(&path);

    fs::create_directories(job_dir());
    vt_test::write_file(job_dir() + "/json", "{}");
    EXPECT_EQ(vt_opt_json_check(opt.get()), 0);
}

TEST_F(Job, RemoveOfAMissingJob)
{
    EXPECT_EQ(vt_opt_json_remove(opt.get(), console), 4);
    EXPECT_EQ(printed, "0:Image does not exist -- case_1.\n");
    EXPECT_FALSE(fs::exists(job_dir()));
}

TEST_F(Job, RemoveOfARunningJobKeepsItsFiles)
{
    fs::create_directories(job_dir());
    vt_test::write_file(job_dir() + "/json", "{}");
    ASSERT_EQ(vt_opt_pid_create(opt.get()), 0);
    EXPECT_EQ(vt_opt_json_remove(opt.get(), console), 2);
    EXPECT_EQ(printed, "0:Image is in progress -- case_1.\n");
    EXPECT_TRUE(fs::exists(job_dir() + "/json"));
    EXPECT_TRUE(fs::exists(job_dir() + "/pid"));
}

TEST_F(Job, RemoveDeletesOnlyTheDocument)
{
    fs::create_directories(job_dir());
    vt_test::write_file(job_dir() + "/json", "{}");
    EXPECT_EQ(vt_opt_json_remove(opt.get(), console), 0);
    EXPECT_EQ(printed, "2:Remove " + job_dir() + "/json.\n");
    EXPECT_FALSE(fs::exists(job_dir()));

    // A stale pid file (its process is gone) does not block removal and stays.
    fs::create_directories(job_dir());
    vt_test::write_file(job_dir() + "/json", "{}");
    vt_test::write_file(job_dir() + "/pid", std::to_string(vt_test::dead_pid()) + " ");
    printed.clear();
    EXPECT_EQ(vt_opt_json_remove(opt.get(), console), 0);
    EXPECT_FALSE(fs::exists(job_dir() + "/json"));
    EXPECT_TRUE(fs::exists(job_dir() + "/pid"));
}

TEST_F(Job, NamesOutsideTheImageDirectoryAreRefused)
{
    fs::create_directories(state.path() + "/image");
    vt_test::write_file(state.path() + "/json", "{}");
    for (const char *name : {"..", ".", "../image", "a/b"}) {
        vt_test::SyserrCapture capture;
        set(opt->image_name, name);
        EXPECT_NE(vt_opt_json_remove(opt.get(), console), 0) << name;
        EXPECT_NE(capture.text().find("invalid image name -- "), std::string::npos) << name;
    }
    EXPECT_TRUE(fs::exists(state.path() + "/json"));
    EXPECT_EQ(printed, "");
}

struct walk_state {
    std::set<std::string> names;
    size_t stop_after = 0;
};

int collect_walk(vt_fcache *, const char *name, void *user)
{
    auto *walk = static_cast<walk_state *>(user);
    walk->names.insert(name);
    return walk->stop_after != 0 && walk->names.size() >= walk->stop_after;
}

TEST_F(Job, WalkVisitsEveryJobDirectory)
{
    for (const char *name : {"a", "b", "c"})
        fs::create_directories(job_dir(name));
    walk_state walk;
    ASSERT_EQ(vt_fcache_image_walk(opt.get(), collect_walk, &walk), 0);
    EXPECT_EQ(walk.names, (std::set<std::string>{"a", "b", "c"}));

    // A callback that stops the walk ends it without failing it.
    walk_state stopped;
    stopped.stop_after = 1;
    EXPECT_EQ(vt_fcache_image_walk(opt.get(), collect_walk, &stopped), 0);
    EXPECT_EQ(stopped.names.size(), 1u);
}

TEST_F(Job, WalkWithoutJobsLeavesNothingBehind)
{
    walk_state walk;
    ASSERT_EQ(vt_fcache_image_walk(opt.get(), collect_walk, &walk), 0);
    EXPECT_TRUE(walk.names.empty());
    EXPECT_FALSE(fs::exists(state.path() + "/image"));
}

// A writer killed at any moment of a rewrite never leaves a cut document at the
// final path: the file there is always one whole document, old or new. The child
// rewrites a large document in a loop, alternating its size so that a cut or a
// mix of two writes would show, and is killed at varying moments.
TEST_F(Job, KilledWriterNeverLeavesACutDocument)
{
    set_case_texts();
    json_ptr doc = build();
    ASSERT_TRUE(doc);
    const std::string big(1 << 20, 'b'), small(256 << 10, 's');
    ASSERT_EQ(vt_json_obj_string(doc.get(), "padding", small.data(), small.size()), 0);
    ASSERT_EQ(vt_opt_json_create(opt.get(), doc.get()), 0);
    const std::string path = job_dir() + "/json";

    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            for (unsigned long i = 0;; ++i) {
                const std::string &padding = i % 2 ? small : big;
                if (vt_json_obj_string(doc.get(), "padding", padding.data(), padding.size()) ||
                    vt_opt_json_create(opt.get(), doc.get()))
                    _exit(1);
                if (i == 0 && write(ready[1], "w", 1) != 1)
                    _exit(1);
            }
        }
        close(ready[1]);
        char byte = 0;
        const bool wrote = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        // Not a timing check: only spreads the kill over the phases of a rewrite.
        usleep(useconds_t(round * 1300 % 11000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(wrote) << "the writer failed before its first rewrite";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

        struct stat info = {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        const std::string text = vt_test::read_file(path);
        vt_json_obj *raw = nullptr;
        {
            vt_test::SyserrCapture quiet;
            ASSERT_EQ(vt_json_obj_decode(&raw, text.c_str(), text.size() + 1), 0)
                << "cut document of " << text.size() << " bytes";
        }
        json_ptr loaded(raw);
        const char *padding = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_json_obj_get_string(loaded.get(), "padding", &padding, &length), 0);
        EXPECT_TRUE(std::string(padding, length) == big || std::string(padding, length) == small);
        EXPECT_EQ(get_text(loaded.get(), "ewf", "case_number"), "C-7");
    }
}

} // namespace
