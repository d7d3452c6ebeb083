// Tests of command-line parsing into the imager's options record, including
// loading a job document with -c.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vt_job.h"
#include "vt_opt.h"
#include "vt_test_util.h"

namespace {

struct opt_release {
    void operator()(vt_opt *opt) const { vt_opt_deit(&opt); }
};
using opt_ptr = std::unique_ptr<vt_opt, opt_release>;

std::string text(const vt_string &s)
{
    return s.text ? std::string(s.text, s.length) : std::string("<unset>");
}

// Parses args (the program name is added) and keeps the failure reports.
struct parsed {
    int result = -1;
    opt_ptr opt;
    std::string reports;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "vt_imager");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    parsed out;
    vt_test::SyserrCapture capture;
    vt_opt *raw = nullptr;
    out.result = vt_opt_init(&raw, static_cast<int>(args.size()), argv.data());
    out.opt.reset(raw);
    out.reports = capture.text();
    return out;
}

// Writes a complete job document made by the job-file code itself.
void write_job(const std::string &path, const std::string &name)
{
    parsed made = parse({"-u", "doc-user", "-p", "doc-secret", "-s", "doc-host", "-t", "doc-disk",
                         "-o", "/doc/out", "-n", name, "-m", "sha1"});
    ASSERT_EQ(made.result, 0) << made.reports;
    vt_opt *opt = made.opt.get();
    ASSERT_EQ(vt_string_copy(&opt->case_number, "C1", 2), 0);
    ASSERT_EQ(vt_string_copy(&opt->evidence_number, "E1", 2), 0);
    ASSERT_EQ(vt_string_copy(&opt->examiner_name, "Ann", 3), 0);
    ASSERT_EQ(vt_string_copy(&opt->notes, "n", 1), 0);
    ASSERT_EQ(vt_string_copy(&opt->unique_description, "u", 1), 0);
    vt_json_obj *doc = nullptr;
    ASSERT_EQ(vt_opt_set_object(opt, &doc), 0);
    ASSERT_EQ(vt_json_obj_encode_file(doc, path.c_str()), 0);
    vt_json_obj_deit(&doc);
}

TEST(OptShortString, FollowsTheLongOptionTable)
{
    vt_string shorts = {};
    ASSERT_EQ(vt_opt_short_string(&shorts), 0);
    // Flags are followed by a blank, options with an argument by a colon.
    EXPECT_EQ(text(shorts), "h v d j r c:u:p:s:t:o:n:m:");
    vt_string_free(&shorts);
}

TEST(OptInit, EmptyRecordWithoutArguments)
{
    vt_opt *opt = nullptr;
    ASSERT_EQ(vt_opt_init(&opt, 0, nullptr), 0);
    ASSERT_NE(opt, nullptr);
    EXPECT_EQ(opt->help + opt->verbose + opt->daemon + opt->json + opt->recover, 0u);
    EXPECT_EQ(opt->command.text, nullptr);
    EXPECT_EQ(vt_opt_deit(&opt), 0);
    EXPECT_EQ(opt, nullptr);
    EXPECT_NE(vt_opt_deit(&opt), 0);
}

TEST(OptInit, RefusesOccupiedOrMissingSlot)
{
    vt_test::SyserrCapture capture;
    vt_opt *opt = nullptr;
    ASSERT_EQ(vt_opt_init(&opt, 0, nullptr), 0);
    vt_opt *before = opt;
    EXPECT_NE(vt_opt_init(&opt, 0, nullptr), 0);
    EXPECT_EQ(opt, before);
    EXPECT_NE(vt_opt_init(nullptr, 0, nullptr), 0);
    EXPECT_NE(capture.text().find("invalid paramater."), std::string::npos) << capture.text();
    vt_opt_deit(&opt);
}

TEST(OptInit, ParsesEveryOptionLongAndShort)
{
    parsed p = parse({"--verbose", "-d", "--json", "-r", "-u", "user", "--password", "pw",
                      "-s", "host", "--target", "disk0", "-o", "/out", "--name", "case 1",
                      "-m", "md5,sha1", "start", "ignored", "-h"});
    ASSERT_EQ(p.result, 0) << p.reports;
    const vt_opt &o = *p.opt;
    EXPECT_EQ(o.help, 1u);
    EXPECT_EQ(o.verbose, 1u);
    EXPECT_EQ(o.daemon, 1u);
    EXPECT_EQ(o.json, 1u);
    EXPECT_EQ(o.recover, 1u);
    EXPECT_EQ(text(o.username), "user");
    EXPECT_EQ(text(o.password), "pw");
    EXPECT_EQ(text(o.subject), "host");
    EXPECT_EQ(text(o.target), "disk0");
    EXPECT_EQ(text(o.image_path), "/out");
    EXPECT_EQ(text(o.image_name), "case 1");
    EXPECT_EQ(text(o.hash), "md5,sha1");
    EXPECT_EQ(text(o.command), "start");
    EXPECT_EQ(text(o.case_number), "<unset>");
}

TEST(OptInit, RepeatedFlagIsHarmless)
{
    parsed p = parse({"-v", "--verbose", "-v", "stop"});
    ASSERT_EQ(p.result, 0) << p.reports;
    EXPECT_EQ(p.opt->verbose, 1u);
    EXPECT_EQ(text(p.opt->command), "stop");
}

TEST(OptInit, ParsesAgainInTheSameProcess)
{
    // getopt keeps state between calls; a second parse must start from scratch.
    parsed first = parse({"-n", "a", "stop"});
    parsed second = parse({"-n", "b", "remove"});
    ASSERT_EQ(first.result, 0) << first.reports;
    ASSERT_EQ(second.result, 0) << second.reports;
    EXPECT_EQ(text(second.opt->image_name), "b");
    EXPECT_EQ(text(second.opt->command), "remove");
}

struct failure_case {
    std::vector<std::string> args;
    std::vector<std::string> reports;
};

class OptInitFailure : public ::testing::TestWithParam<failure_case> {};

TEST_P(OptInitFailure, FailsAndStoresNothing)
{
    parsed p = parse(GetParam().args);
    EXPECT_NE(p.result, 0);
    EXPECT_EQ(p.opt, nullptr);
    for (const std::string &report : GetParam().reports)
        EXPECT_NE(p.reports.find(report), std::string::npos) << p.reports;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, OptInitFailure,
    ::testing::Values(
        failure_case{{"-n", "a", "-n", "b", "start"}, {"failed on parsing option -- 'n'."}},
        failure_case{{"--target", "x", "-t", "y"}, {"failed on parsing option -- 't'."}},
        failure_case{{"-u", "", "start"}, {"failed on parsing option -- 'u'."}},
        failure_case{{"--bogus", "start"},
                     {"invalid option -- '?'.", "failed on parsing option -- '?'."}},
        failure_case{{"start", "--name"},
                     {"invalid option -- '?'.", "failed on parsing option -- '?'."}},
        // The blank that ends a flag's entry in the short-option string is a
        // character getopt accepts but that means nothing.
        failure_case{{"- ", "start"},
                     {"undefined option -- ' '.", "failed on parsing option -- ' '."}},
        failure_case{{"-c", "/nonexistent/job.json", "start"},
                     {"failed to read json file -- /nonexistent/job.json.",
                      "failed on parsing option -- 'c'."}}));

class OptConfig : public ::testing::Test {
protected:
    void SetUp() override { write_job(job, "doc_name"); }
    vt_test::TempDir dir;
    std::string job = dir.file("job.json");
};

TEST_F(OptConfig, DocumentOverridesEarlierOptions)
{
    parsed p = parse({"-n", "other", "-u", "me", "-p", "mine", "-c", job, "-d", "restart"});
    ASSERT_EQ(p.result, 0) << p.reports;
    const vt_opt &o = *p.opt;
    EXPECT_EQ(text(o.config), job);
    EXPECT_EQ(text(o.image_name), "doc_name");
    EXPECT_EQ(text(o.username), "doc-user");
    EXPECT_EQ(text(o.password), "doc-secret");
    EXPECT_EQ(text(o.subject), "doc-host");
    EXPECT_EQ(text(o.target), "doc-disk");
    EXPECT_EQ(text(o.image_path), "/doc/out");
    EXPECT_EQ(text(o.hash), "sha1");
    EXPECT_EQ(text(o.case_number), "C1");
    EXPECT_EQ(text(o.evidence_number), "E1");
    EXPECT_EQ(text(o.examiner_name), "Ann");
    EXPECT_EQ(text(o.notes), "n");
    EXPECT_EQ(text(o.unique_description), "u");
    EXPECT_EQ(o.daemon, 1u);
    EXPECT_EQ(text(o.command), "restart");
}

TEST_F(OptConfig, LaterOptionsCountAsRepeated)
{
    for (const char *letter : {"-n", "-u", "-p", "-s", "-t", "-o", "-m"}) {
        parsed p = parse({"-c", job, letter, "x", "start"});
        EXPECT_NE(p.result, 0) << letter;
        EXPECT_NE(p.reports.find(std::string("failed on parsing option -- '") + (letter + 1) + "'"),
                  std::string::npos)
            << p.reports;
    }
}

TEST_F(OptConfig, SecondConfigIsRepeated)
{
    parsed p = parse({"-c", job, "--config", job, "start"});
    EXPECT_NE(p.result, 0);
    EXPECT_NE(p.reports.find("failed on parsing option -- 'c'."), std::string::npos) << p.reports;
}

} // namespace
