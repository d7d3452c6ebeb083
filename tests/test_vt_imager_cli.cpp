// End-to-end tests of the vt_imager command line: the real program is run and
// its standard output, standard error and exit code are checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vt_job.h"
#include "vt_opt.h"
#include "vt_test_util.h"

namespace {

const std::string header = "Vantrel Linux Imager 8.0.0.57\n";
const std::string help_text =
    "vt_imager start -n <image-name> -s <subject> -t <target> [-u <username> -p <password> "
    "--daemon --recover]\n"
    "vt_imager stop -n <image-name>\n"
    "vt_imager status [-n <image-name> --json]\n"
    "vt_imager restart -n <image-name> [--daemon --recover]\n"
    "vt_imager remove -n <image-name>\n"
    "See the manual page for further information.\n";
const std::string missing_command =
    "Missing command; specify -h or --help for available commands and usage.\n";
const std::string hint = "Try again with -v,--verbose option to troubleshoot.\n";

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Runs vt_imager with its state kept in a directory of the test's own.
class ImagerCli : public ::testing::Test {
protected:
    vt_test::RunResult imager(std::vector<std::string> args, const std::string &input = "")
    {
        args.insert(args.begin(), vt_test::program("vt_imager"));
        return vt_test::run(args, input, {"VANTREL_STATE_DIR=" + state.path()});
    }

    vt_test::TempDir state;
};

TEST_F(ImagerCli, NoArgumentsAsksForACommand)
{
    const vt_test::RunResult r = imager({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header);
    EXPECT_EQ(r.err, missing_command + hint);
}

TEST_F(ImagerCli, HelpAfterStatusPrintsOnlyHelp)
{
    const vt_test::RunResult r = imager({"status", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_text);
    EXPECT_EQ(r.err, "");
}

TEST_F(ImagerCli, HelpRunsNoCommand)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-h", "start"}, {"--help", "stop", "-n", "x"}, {"-h"}}) {
        const vt_test::RunResult r = imager(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, header + help_text);
        // A command that ran would have reported its failure and the hint.
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(ImagerCli, RepeatedOptionFailsToParse)
{
    const vt_test::RunResult r = imager({"-n", "a", "-n", "b", "start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "failed on parsing option -- 'n'.")) << r.err;
    EXPECT_TRUE(contains(r.err, "failed to parse command line arguments.")) << r.err;
    EXPECT_FALSE(contains(r.err, hint)) << r.err;
}

TEST_F(ImagerCli, InvalidCommandWithVerboseHasNoHint)
{
    const vt_test::RunResult r = imager({"-v", "bogus"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header);
    EXPECT_EQ(r.err,
              "Invalid command -- bogus; specify -h or --help for available commands and usage.\n");
}

TEST_F(ImagerCli, CommandWordsAreCaseSensitive)
{
    const vt_test::RunResult r = imager({"Start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Invalid command -- Start; specify -h or --help for available commands and usage.\n" +
                  hint);
}

TEST_F(ImagerCli, MissingOptionValueUsesGetoptDiagnostic)
{
    const vt_test::RunResult r = imager({"start", "--name"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const size_t own = r.err.find("--name");
    const size_t invalid = r.err.find("invalid option -- '?'.");
    const size_t parsing = r.err.find("failed on parsing option -- '?'.");
    ASSERT_NE(own, std::string::npos) << r.err;
    ASSERT_NE(invalid, std::string::npos) << r.err;
    ASSERT_NE(parsing, std::string::npos) << r.err;
    EXPECT_LT(own, invalid);
    EXPECT_LT(invalid, parsing);
}

// Each command run on a name that has no job: what it reports and returns.
struct command_case {
    std::string word;
    bool header;
    int status;
    std::string err; // console text before the hint
    std::string report; // a failure report expected under -v ("" for none)
};

class ImagerCommand : public ImagerCli, public ::testing::WithParamInterface<command_case> {};

TEST_P(ImagerCommand, NameWithoutJob)
{
    const command_case &c = GetParam();
    const vt_test::RunResult quiet = imager({c.word, "-n", "job"});
    EXPECT_EQ(quiet.status, c.status);
    EXPECT_EQ(quiet.out, c.header ? header : "");
    EXPECT_EQ(quiet.err, c.err + (c.status != 0 ? hint : ""));

    // With -v failure reports are shown on standard error instead of the hint.
    const vt_test::RunResult loud = imager({"-v", c.word, "-n", "job"});
    EXPECT_EQ(loud.status, c.status);
    EXPECT_TRUE(contains(loud.err, c.err)) << loud.err;
    EXPECT_TRUE(contains(loud.err, c.report)) << loud.err;
    EXPECT_FALSE(contains(loud.err, hint)) << loud.err;
}

const std::string no_job = "Image does not exist -- job.\n";

INSTANTIATE_TEST_SUITE_P(
    Words, ImagerCommand,
    ::testing::Values(
        command_case{"start", true, 1, "",
                     "[syserr]: vt-exa-img/vt_main_misc (vt_exa_img_start:"},
        command_case{"stop", true, 4, no_job, ""},
        command_case{"status", false, 4, no_job, ""},
        command_case{"restart", true, 4, no_job, ""},
        // remove reports a missing job and still succeeds.
        command_case{"remove", true, 0, no_job, ""}),
    [](const auto &info) { return info.param.word; });

TEST_F(ImagerCli, UserTextAtLevelZeroGoesToStderrOnly)
{
    // Header and help are level 2 (stdout); errors and the hint are level 0 (stderr).
    const vt_test::RunResult r = imager({"unknown"});
    EXPECT_EQ(r.out, header);
    EXPECT_FALSE(contains(r.out, "Invalid command"));
    EXPECT_FALSE(contains(r.out, "Try again"));
    EXPECT_TRUE(contains(r.err, "Invalid command -- unknown;"));
}

// A job document written by the job-file code, for -c.
class ImagerConfig : public ImagerCli {
protected:
    void SetUp() override
    {
        vt_opt *opt = nullptr;
        ASSERT_EQ(vt_opt_init(&opt, 0, nullptr), 0);
        const std::vector<std::pair<vt_string vt_opt::*, std::string>> fields = {
            {&vt_opt::username, "u"},        {&vt_opt::password, "p"},
            {&vt_opt::subject, "host"},      {&vt_opt::target, "disk"},
            {&vt_opt::image_path, "/out"},   {&vt_opt::image_name, "from_file"},
            {&vt_opt::hash, "md5"},          {&vt_opt::case_number, "c"},
            {&vt_opt::evidence_number, "e"}, {&vt_opt::examiner_name, "x"},
            {&vt_opt::notes, "n"},           {&vt_opt::unique_description, "d"},
        };
        for (const auto &[field, value] : fields)
            ASSERT_EQ(vt_string_copy(&(opt->*field), value.data(), value.size()), 0);
        vt_json_obj *doc = nullptr;
        ASSERT_EQ(vt_opt_set_object(opt, &doc), 0);
        vt_opt_deit(&opt);
        ASSERT_EQ(vt_json_obj_encode_file(doc, job.c_str()), 0);
        ASSERT_EQ(vt_json_obj_remove(doc, "ewf"), 0);
        ASSERT_EQ(vt_json_obj_encode_file(doc, without_ewf.c_str()), 0);
        vt_json_obj_deit(&doc);
    }

    std::string job = state.file("job.json");
    std::string without_ewf = state.file("no-ewf.json");
};

TEST_F(ImagerConfig, NameAfterConfigIsRepeated)
{
    const vt_test::RunResult r = imager({"-c", job, "-n", "other", "start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "failed on parsing option -- 'n'.")) << r.err;
}

TEST_F(ImagerConfig, NameBeforeConfigIsReplaced)
{
    const vt_test::RunResult r = imager({"-n", "other", "-c", job, "stop"});
    // Parsing succeeds and the command runs on the file's name, which has no job.
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, header);
    EXPECT_EQ(r.err, "Image does not exist -- from_file.\n" + hint);
}

TEST_F(ImagerConfig, DocumentWithoutEwfFailsToLoad)
{
    const vt_test::RunResult r = imager({"-v", "-c", without_ewf, "start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "failed to get ewf object.")) << r.err;
    EXPECT_TRUE(contains(r.err, "failed on parsing option -- 'c'.")) << r.err;
    EXPECT_TRUE(contains(r.err, "failed to parse command line arguments.")) << r.err;
}

} // namespace
