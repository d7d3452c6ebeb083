// Tests of subject addresses: the right-to-left parser (every part, IPv6 hosts, each
// refusal and its report), the object's life cycle, and formatting from parts.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "vt_string.h"
#include "vt_test_util.h"
#include "vt_url.h"

namespace {

std::string part(const char *text)
{
    return text ? text : "<absent>";
}

// The messages of the reports in text, each without its "[syserr]: ..." head.
std::vector<std::string> messages(const std::string &text)
{
    std::vector<std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t body = line.find("); ");
        found.push_back(body == std::string::npos ? line : line.substr(body + 3));
        start = end + 1;
    }
    return found;
}

struct ParseCase {
    const char *text;
    const char *host; // nullptr: absent
    const char *port;
    const char *path;
};

std::ostream &operator<<(std::ostream &out, const ParseCase &c)
{
    return out << "'" << c.text << "'";
}

class UrlParses : public testing::TestWithParam<ParseCase> {};

TEST_P(UrlParses, GivesTheParts)
{
    const ParseCase &c = GetParam();
    vt_test::SyserrCapture capture;
    vt_url *url = nullptr;
    ASSERT_EQ(vt_url_init(&url, c.text, std::strlen(c.text)), 0) << capture.text();
    EXPECT_EQ(part(url->host), part(c.host));
    EXPECT_EQ(part(url->port), part(c.port));
    EXPECT_EQ(part(url->path), part(c.path));
    EXPECT_EQ(capture.text(), "");
    vt_url_deit(&url);
    EXPECT_EQ(url, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UrlParses,
    testing::Values(ParseCase{"10.0.0.5:3262/sub", "10.0.0.5", "3262", "/sub"},
                    ParseCase{"host:1/p", "host", "1", "/p"},
                    ParseCase{":3262/sub", nullptr, "3262", "/sub"},
                    // The scan stops at the first ":" from the right: IPv6 hosts keep theirs.
                    ParseCase{"fe80::1:3262/sub", "fe80::1", "3262", "/sub"},
                    ParseCase{"::1:65535/x", "::1", "65535", "/x"},
                    // The range is not checked, only the digits and their count.
                    ParseCase{"host:99999/sub", "host", "99999", "/sub"},
                    ParseCase{"host:00000/sub", "host", "00000", "/sub"},
                    // A "/" before the port belongs to the host.
                    ParseCase{"a/b:1/c", "a/b", "1", "/c"}));

struct RefuseCase {
    const char *text;
    std::vector<std::string> reports; // of the parser itself, in order
};

std::ostream &operator<<(std::ostream &out, const RefuseCase &c)
{
    return out << "'" << c.text << "'";
}

class UrlRefused : public testing::TestWithParam<RefuseCase> {};

TEST_P(UrlRefused, ReportsAndLeavesTheSlotEmpty)
{
    const RefuseCase &c = GetParam();
    vt_test::SyserrCapture capture;
    vt_url *url = nullptr;
    EXPECT_EQ(vt_url_init(&url, c.text, std::strlen(c.text)), 1);
    EXPECT_EQ(url, nullptr);
    std::vector<std::string> expected = c.reports;
    expected.push_back(std::string("failed to parse url -- ") + c.text + ".");
    EXPECT_EQ(messages(capture.text()), expected) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    Table, UrlRefused,
    testing::Values(
        RefuseCase{"host:3262", {"missing path in url host:3262."}},
        RefuseCase{"host/sub", {"missing port in url host/sub."}},
        RefuseCase{"host", {"missing port in url host.", "missing path in url host."}},
        RefuseCase{"host:/sub", {"empty port in 'host:/sub'."}},
        RefuseCase{"host:32a2/sub", {"invalid port in 'host:32a2/sub'."}},
        RefuseCase{"host:326200/sub", {"invalid port in 'host:326200/sub'."}},
        RefuseCase{"host:-1/sub", {"invalid port in 'host:-1/sub'."}},
        RefuseCase{"host:3262/", {"empty path in 'host:3262/'."}},
        RefuseCase{"host:3262//", {"empty path in 'host:3262//'."}},
        // A second "/" after the port: no message of the parser's own.
        RefuseCase{"host:3262/a/b", {}},
        RefuseCase{"/", {"empty path in '/'."}},
        RefuseCase{":", {"empty port in ':'."}}));

TEST(UrlParse, EmptyTextIsRefused)
{
    vt_test::SyserrCapture capture;
    vt_url *url = nullptr;
    EXPECT_EQ(vt_url_init(&url, "", 0), 1);
    EXPECT_EQ(url, nullptr);
    EXPECT_EQ(messages(capture.text()),
              (std::vector<std::string>{"insufficient length.", "failed to parse url -- ."}));
}

TEST(UrlParse, OnlyTheGivenLengthIsRead)
{
    // The text continues past the length; the parser must not look there.
    const char text[] = "10.0.0.5:3262/sub/more";
    vt_url *url = nullptr;
    ASSERT_EQ(vt_url_init(&url, text, std::strlen("10.0.0.5:3262/sub")), 0);
    EXPECT_STREQ(url->path, "/sub");
    vt_url_deit(&url);
}

TEST(UrlParse, FailedParseLeavesTheObjectEmpty)
{
    vt_test::SyserrCapture capture;
    vt_url url{};
    // The path is found before the port fails: nothing of it may stay behind.
    EXPECT_EQ(vt_url_parse(&url, "h:x/sub", 7), 1);
    EXPECT_EQ(url.host, nullptr);
    EXPECT_EQ(url.port, nullptr);
    EXPECT_EQ(url.path, nullptr);
}

TEST(UrlInit, RefusesAFilledSlot)
{
    vt_test::SyserrCapture capture;
    vt_url *url = nullptr;
    ASSERT_EQ(vt_url_init(&url, "a:1/p", 5), 0);
    vt_url *kept = url;
    EXPECT_EQ(vt_url_init(&url, "b:2/q", 5), 1);
    EXPECT_EQ(url, kept);
    EXPECT_STREQ(url->host, "a");
    vt_url_deit(&url);
    EXPECT_EQ(vt_url_deit(&url), 0); // an empty slot is fine
}

vt_string borrowed(const char *text)
{
    return text ? vt_string{const_cast<char *>(text), std::strlen(text)} : vt_string{};
}

struct MakeCase {
    const char *host;
    const char *port;
    const char *path;
    std::optional<std::string> url; // nullopt: refused
};

std::ostream &operator<<(std::ostream &out, const MakeCase &c)
{
    return out << part(c.host) << " " << part(c.port) << " " << part(c.path);
}

class UrlMake : public testing::TestWithParam<MakeCase> {};

TEST_P(UrlMake, FormatsHostPortPath)
{
    const MakeCase &c = GetParam();
    const vt_string host = borrowed(c.host), port = borrowed(c.port), path = borrowed(c.path);
    vt_string out{};
    const int result = vt_url_make(&host, &port, &path, &out);
    if (!c.url) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(out.text, nullptr);
        return;
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(std::string(out.text, out.length), *c.url);
    EXPECT_EQ(out.length, c.url->size());
    EXPECT_EQ(out.text[out.length], '\0');
    vt_string_free(&out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UrlMake,
    testing::Values(MakeCase{"a", "1", "/p", "a:1/p"},
                    MakeCase{"10.0.0.5", "3262", "/sub", "10.0.0.5:3262/sub"},
                    MakeCase{nullptr, "3262", "/sub", ":3262/sub"},
                    MakeCase{"fe80::1", "3262", "/sub", "fe80::1:3262/sub"}));

TEST(UrlMake, PartWithZeroByteIsRefused)
{
    // A zero byte ends the formatted host early: the length check must catch it.
    const char host_bytes[] = {'a', '\0', 'b'};
    const vt_string host{const_cast<char *>(host_bytes), sizeof host_bytes};
    const vt_string port = borrowed("1"), path = borrowed("/p");
    vt_string out{};
    EXPECT_EQ(vt_url_make(&host, &port, &path, &out), 1);
    EXPECT_EQ(out.text, nullptr);
}

TEST(UrlMake, RefusesAFilledOutput)
{
    const vt_string host = borrowed("a"), port = borrowed("1"), path = borrowed("/p");
    char kept[] = "old";
    vt_string out{kept, 3};
    EXPECT_EQ(vt_url_make(&host, &port, &path, &out), 1);
    EXPECT_EQ(out.text, kept);
}

TEST(UrlMake, MadeTextParsesBackIntoItsParts)
{
    const vt_string host = borrowed("fe80::1"), port = borrowed("3262"), path = borrowed("/sub");
    vt_string out{};
    ASSERT_EQ(vt_url_make(&host, &port, &path, &out), 0);
    vt_url *url = nullptr;
    ASSERT_EQ(vt_url_init(&url, out.text, out.length), 0);
    EXPECT_STREQ(url->host, "fe80::1");
    EXPECT_STREQ(url->port, "3262");
    EXPECT_STREQ(url->path, "/sub");
    vt_url_deit(&url);
    vt_string_free(&out);
}

} // namespace
