// Counted strings, numbers, Base64, the console prompts and the working directory.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_test_util.h"

namespace {

TEST(String, CopyRequiresAnEmptyString)
{
    vt_string s{}, t{};
    EXPECT_EQ(vt_string_copy(&s, "", 0), 1);
    ASSERT_EQ(vt_string_copy(&s, "abc", 3), 0);
    EXPECT_EQ(vt_string_copy(&s, "xyz", 3), 1);
    EXPECT_STREQ(s.text, "abc");
    ASSERT_EQ(vt_string_dup(&t, &s), 0);
    EXPECT_EQ(vt_string_is_equal(&s, &t), 0);
    t.text[2] = 'd';
    EXPECT_NE(vt_string_is_equal(&s, &t), 0);
    vt_string_free(&s);
    vt_string_free(&t);
    EXPECT_EQ(s.text, nullptr);
}

TEST(Numbers, Uint64Parsing)
{
    struct Case {
        const char *text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"12", true, 12},
        {"12a", false, 0},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"-1", false, 0},
        {"", false, 0},
        {" 1", false, 0},
    };
    for (const Case &c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(str_uint64(c.text, strlen(c.text), &value), c.ok ? 0 : 1) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    uint64_t value = 0;
    EXPECT_EQ(str_uint64("123", 2, &value), 0); // only the given length is read
    EXPECT_EQ(value, 12u);
}

TEST(Numbers, Int32AndBackToText)
{
    int32_t v = 0;
    EXPECT_EQ(str_int32("-3262", 5, &v), 0);
    EXPECT_EQ(v, -3262);
    EXPECT_EQ(str_int32("2147483648", 10, &v), 1);
    EXPECT_EQ(str_int32("80x", 3, &v), 1);
    char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(uint64_str(UINT64_MAX, &text, &length), 0);
    EXPECT_STREQ(text, "18446744073709551615");
    EXPECT_EQ(length, 20u);
    free(text);
}

TEST(Base64, EncodeLengths)
{
    struct Case {
        std::string in, out;
    } cases[] = {{"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="}};
    for (const Case &c : cases) {
        char *text = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_b64_encode_new_(c.in.data(), c.in.size(), &text, &length), 0);
        EXPECT_EQ(std::string(text, length), c.out);
        uint8_t *bytes = nullptr;
        size_t count = 0;
        ASSERT_EQ(vt_b64_decode_new_(text, length, &bytes, &count), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), count), c.in);
        free(text);
        free(bytes);
    }
    char *text = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_b64_encode_new_("x", 0, &text, &length), 1);
}

TEST(Base64, DecodeSkipsLineBreaksAndIncompleteGroups)
{
    std::string binary;
    for (int i = 0; i < 256; ++i)
        binary.push_back(char(i));
    char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_b64_encode_new_(binary.data(), binary.size(), &text, &length), 0);
    std::string wrapped;
    for (size_t i = 0; i < length; i += 76)
        wrapped += std::string(text + i, std::min<size_t>(76, length - i)) + "\r\n";
    free(text);
    uint8_t *bytes = nullptr;
    size_t count = 0;
    ASSERT_EQ(vt_b64_decode_new_(wrapped.data(), wrapped.size(), &bytes, &count), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), count), binary);
    free(bytes);

    ASSERT_EQ(vt_b64_decode_new_("YWJjZ", 5, &bytes, &count), 0); // "abc" + 6 stray bits
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), count), "abc");
    free(bytes);
}

// Runs the password prompt in a child whose standard input is a pseudo-terminal,
// types `typed` into it, and returns the child's exit code, what the terminal showed
// and whether echo was back on afterwards.
struct PromptOutcome {
    int status;
    std::string shown;
    bool echo_restored;
    std::string password;
};

PromptOutcome prompt_through_pty(const std::string &typed)
{
    int master = -1;
    vt_test::TempDir dir;
    std::string result_file = dir.file("password");
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        vt_string password{};
        int rc = vt_prompt_password(&password);
        if (!rc)
            vt_test::write_file(result_file, std::string(password.text, password.length));
        termios now{};
        tcgetattr(STDIN_FILENO, &now);
        fflush(stdout);
        _exit(rc * 2 + ((now.c_lflag & ECHO) ? 0 : 1));
    }
    PromptOutcome outcome{};
    std::string pending = typed;
    // Echo is switched off before the prompt is written, so waiting for the
    // prompt means the typed bytes are not echoed back.
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 10000) <= 0)
            break;
        char chunk[512];
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            break;
        outcome.shown.append(chunk, size_t(n));
        if (!pending.empty() && outcome.shown.find("Enter password: ") != std::string::npos) {
            for (size_t off = 0; off < pending.size();) {
                ssize_t w = write(master, pending.data() + off, std::min<size_t>(64, pending.size() - off));
                if (w <= 0)
                    break;
                off += size_t(w);
            }
            pending.clear();
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    outcome.status = code / 2;
    outcome.echo_restored = (code % 2) == 0;
    outcome.password = vt_test::read_file(result_file);
    return outcome;
}

TEST(Prompt, PasswordLengthsAndEchoRestored)
{
    struct Case {
        size_t length;
        int status;
        const char *message;
    } cases[] = {
        {0, 1, "Password cannot be empty."},
        {1, 0, nullptr},
        {255, 0, nullptr},
        {256, 1, "Password must be less than 255 characters."},
    };
    for (const Case &c : cases) {
        std::string password(c.length, 'Q');
        PromptOutcome outcome = prompt_through_pty(password + "\n");
        EXPECT_EQ(outcome.status, c.status) << c.length;
        EXPECT_TRUE(outcome.echo_restored) << c.length;
        EXPECT_NE(outcome.shown.find("Enter password: "), std::string::npos);
        if (c.message) {
            EXPECT_NE(outcome.shown.find(c.message), std::string::npos) << outcome.shown;
        } else {
            EXPECT_EQ(outcome.password, password);
        }
        // The typed password is never echoed to the terminal.
        if (c.length) {
            EXPECT_EQ(outcome.shown.find(password), std::string::npos);
        }
    }
}

TEST(Prompt, RegularUsesPresetOnEmptyAnswer)
{
    struct Case {
        std::string input;
        const char *preset;
        std::string expected;
    } cases[] = {{"\n", "x", "x"}, {"\n", nullptr, ""}, {"answer\nrest", "x", "answer"}, {"", "p", "p"}};
    for (const Case &c : cases) {
        int in[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(write(in[1], c.input.data(), c.input.size()), ssize_t(c.input.size()));
        close(in[1]);
        int saved = dup(STDIN_FILENO);
        dup2(in[0], STDIN_FILENO);
        close(in[0]);
        vt_string s{};
        testing::internal::CaptureStdout();
        int rc = vt_prompt_regular(&s, "Enter case number", c.preset);
        std::string shown = testing::internal::GetCapturedStdout();
        dup2(saved, STDIN_FILENO);
        close(saved);
        ASSERT_EQ(rc, 0);
        ASSERT_NE(s.text, nullptr);
        EXPECT_EQ(std::string(s.text, s.length), c.expected);
        EXPECT_EQ(shown, std::string("Enter case number [") + (c.preset ? c.preset : "") + "]: ");
        vt_string_free(&s);
    }
}

TEST(Cwd, LongerThanTheFirstArea)
{
    vt_test::TempDir dir;
    std::string deep = dir.path() + "/a-directory-name-longer-than-thirty-two-bytes";
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    vt_string saved{};
    ASSERT_EQ(vt_getcwd(&saved), 0);
    ASSERT_EQ(chdir(deep.c_str()), 0);
    vt_string cwd{};
    ASSERT_EQ(vt_getcwd(&cwd), 0);
    EXPECT_EQ(std::string(cwd.text, cwd.length), deep);
    ASSERT_EQ(chdir(saved.text), 0);
    vt_string_free(&cwd);
    vt_string_free(&saved);
}

} // namespace
