// Tests of the imager's shared helpers: the image-name character check and the
// help text.
#include <gtest/gtest.h>

#include <string>

#include "vt_aux.h"
#include "vt_test_util.h"

namespace {

vt_string view(const std::string &text)
{
    return vt_string{const_cast<char *>(text.data()), text.size()};
}

struct name_case {
    std::string name;
    bool accepted;
    std::string report; // expected failure text when refused
};

class IsalnumString : public ::testing::TestWithParam<name_case> {};

TEST_P(IsalnumString, AcceptsOnlyNameBytes)
{
    const name_case &c = GetParam();
    vt_test::SyserrCapture capture;
    vt_string name = view(c.name);
    EXPECT_EQ(vt_isalnum_string(&name) == 0, c.accepted);
    if (c.accepted) {
        EXPECT_EQ(capture.text(), "");
    } else {
        EXPECT_NE(capture.text().find(c.report), std::string::npos) << capture.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, IsalnumString,
    ::testing::Values(
        name_case{"", true, ""},
        name_case{"Case 12-a_b", true, ""},
        name_case{"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_", true, ""},
        name_case{"disk.img", false, "invalid character at position 4."},
        name_case{"abc/def", false, "invalid character at position 3."},
        name_case{"../x", false, "invalid character at position 0."},
        name_case{"tab\there", false, "invalid character at position 3."},
        name_case{"caf\xc3\xa9", false, "invalid character at position 3."},
        name_case{"x\xff", false, "invalid character at position 1."},
        name_case{std::string("ab\0cd", 5), false, "invalid character at position 2."}));

TEST(IsalnumString, ReportsOnlyTheFirstBadByte)
{
    vt_test::SyserrCapture capture;
    const std::string text = "a.b.c";
    vt_string name = view(text);
    EXPECT_NE(vt_isalnum_string(&name), 0);
    EXPECT_NE(capture.text().find("(vt_isalnum_string:"), std::string::npos) << capture.text();
    EXPECT_EQ(capture.text().find("position 3"), std::string::npos) << capture.text();
}

void collect_cb(const char *text, size_t length, void *user, unsigned level)
{
    auto *out = static_cast<std::string *>(user);
    out->append(std::to_string(level) + ":").append(text, length);
}

TEST(Help, PrintsUsageAtLevelTwo)
{
    std::string printed;
    vt_syslog *console = nullptr;
    ASSERT_EQ(vt_syslog_init_cb(&console, collect_cb, &printed), 0);
    EXPECT_EQ(vt_help(console), 0);
    vt_syslog_deit(&console);
    EXPECT_EQ(printed,
              "2:vt_imager start -n <image-name> -s <subject> -t <target> [-u <username> -p "
              "<password> --daemon --recover]\n"
              "vt_imager stop -n <image-name>\n"
              "vt_imager status [-n <image-name> --json]\n"
              "vt_imager restart -n <image-name> [--daemon --recover]\n"
              "vt_imager remove -n <image-name>\n"
              "See the manual page for further information.\n");
}

} // namespace
