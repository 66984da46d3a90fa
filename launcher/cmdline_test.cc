#include "launcher/installer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Built {
    int result;
    std::string line;
};

Built build(const std::vector<std::string> &user, int32_t mode = 0, const char *args = "",
            size_t outSize = CMD_BUFFER_SIZE, size_t valueSize = VALUE_BUFFER_SIZE,
            const char *command = "CMD")
{
    std::vector<std::string> storage = {"launcher"};
    storage.insert(storage.end(), user.begin(), user.end());
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<char> out(outSize, '#');
    std::vector<char> value(valueSize, '#');
    int r = buildToolCommand(out.data(), out.size(), value.data(), value.size(), command, args,
                             mode, static_cast<int>(storage.size()), argv.data());
    return {r, r == CMDLINE_OK ? std::string(out.data()) : std::string()};
}

} // namespace

TEST(ToolCommandLine, ArgumentTable)
{
    EXPECT_EQ("CMD -d \"/var/log/x\" -v", build({"-d", "/var/log/x", "-v"}).line);
    EXPECT_EQ("CMD -i a b", build({"-i", "a", "b"}).line);
    EXPECT_EQ("CMD -u", build({"-u"}).line);
    EXPECT_EQ("CMD -d -v", build({"-d", "-v"}).line);
    EXPECT_EQ("CMD /dev/sda1 \"x\"", build({"/dev/sda1", "x"}).line);
    EXPECT_EQ("CMD -html \"out\"", build({"-html", "out"}).line);
    EXPECT_EQ("CMD -d \"a b\"", build({"-d", "a b"}).line);
    // An argument with a blank stays one argument: quoted for the shell.
    EXPECT_EQ("CMD x \"a b\"", build({"x", "a b"}).line);
    // Second character r or u, any first character; one-character words never.
    EXPECT_EQ("CMD xr \"v\" -q", build({"xr", "v", "-q"}).line);
    EXPECT_EQ("CMD d v", build({"d", "v"}).line);
    EXPECT_EQ("CMD -htmlx v", build({"-htmlx", "v"}).line);
    // A value followed by a plain word stays a word of its own, and is itself
    // tested as an option.
    EXPECT_EQ("CMD -d a b -i \"x\"", build({"-d", "a", "b", "-i", "x"}).line);
    EXPECT_EQ("CMD -d \"a\" -i \"x\"", build({"-d", "a", "-i", "x"}).line);
    EXPECT_EQ("CMD -d xd \"v\"", build({"-d", "xd", "v"}).line);
    EXPECT_EQ("CMD -d -i \"x\"", build({"-d", "-i", "x"}).line);
}

// Each argument reaches the tool as exactly one argument, byte for byte,
// read back by a real shell: no splitting, glob, expansion or separator.
TEST(ToolCommandLine, ArgumentsStayArguments)
{
    const std::vector<std::string> hostile = {
        "x;cd $ZORVAN_PORTABLE_EXEC_DIR;sh p;.log", "$(id)", "`id`", "a b", "*", "~root", "#c",
        "", "it's", "say \"hi\"", "back\\slash", "tab\there", "line\nbreak", "a|b&c>d<e",
        "{a,b}", "[x]?", "caf\xc3\xa9", "-d", "-d"};
    // The value of -d too: the last one is quoted as a value.
    std::vector<std::string> user = hostile;
    user.push_back("v $(id)");
    const Built b = build(user, 0, "", CMD_BUFFER_SIZE, VALUE_BUFFER_SIZE, "printf '[%s]\\n'");
    ASSERT_EQ(CMDLINE_OK, b.result);
    FILE *sh = popen(("cd / && " + b.line).c_str(), "r");
    ASSERT_NE(nullptr, sh);
    std::string got;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, sh)) > 0)
        got.append(buffer, n);
    ASSERT_EQ(0, pclose(sh));
    std::string want;
    for (const std::string &a : user)
        want += "[" + a + "]\n";
    EXPECT_EQ(want, got) << b.line;
    // Plain words keep their exact text.
    EXPECT_EQ("CMD -v --out=a/b.c,d:e+f@g%h", build({"-v", "--out=a/b.c,d:e+f@g%h"}).line);
    EXPECT_EQ("CMD \"\\$HOME\" \"\"", build({"$HOME", ""}).line);
}

TEST(ToolCommandLine, ArgumentModes)
{
    EXPECT_EQ("CMD ", build({}, 0, "").line); // no arguments: a space always
    EXPECT_EQ("CMD -a -b", build({}, 0, "-a -b").line);
    EXPECT_EQ("CMD -u", build({"-u"}, 0, "-a -b").line);
    EXPECT_EQ("CMD -a -b -u", build({"-u"}, 1, "-a -b").line);
    EXPECT_EQ("CMD  -u", build({"-u"}, 1, "").line);
    EXPECT_EQ("CMD -a -b", build({"-u", "x"}, 2, "-a -b").line);
    EXPECT_EQ("CMD -a -d \"v\"", build({"-d", "v"}, 7, "-a").line); // any other mode: as 1
    EXPECT_EQ("CMD -a", build({}, 2, "-a").line);
}

TEST(ToolCommandLine, BoundsAreEnforced)
{
    // The value buffer holds a blank, two quotes, the value and NUL.
    EXPECT_EQ(CMDLINE_OK, build({"-d", std::string(1019, 'v')}).result);
    EXPECT_EQ(CMDLINE_OK, build({"-d", std::string(1020, 'v')}).result);
    EXPECT_EQ(CMDLINE_VALUE_TOO_LONG, build({"-d", std::string(1021, 'v')}).result);
    // "CMD" + " " + argument: 2047 characters fit, 2048 do not.
    EXPECT_EQ(CMDLINE_OK, build({std::string(2042, 'a')}).result);
    EXPECT_EQ(2047u, build({std::string(2043, 'a')}).line.size());
    EXPECT_EQ(CMDLINE_TOO_LONG, build({std::string(2044, 'a')}).result);
    // A quoted argument counts its quotes and escapes.
    EXPECT_EQ(CMDLINE_OK, build({std::string(2040, 'a') + " "}).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({std::string(2041, 'a') + " "}).result);
    EXPECT_EQ(CMDLINE_OK, build({std::string(2039, 'a') + "$"}).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({std::string(2040, 'a') + "$"}).result);
    // A value's escapes count too: 1,020 characters between the quotes.
    EXPECT_EQ(CMDLINE_OK, build({"-d", std::string(1018, 'v') + "$"}).result);
    EXPECT_EQ(CMDLINE_VALUE_TOO_LONG, build({"-d", std::string(1019, 'v') + "$"}).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({}, 0, std::string(2044, 'r').c_str()).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({"-d", std::string(1000, 'v'), "x"}, 0, "", 16).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({}, 0, "", 3).result); // "CMD" needs 4 bytes
    EXPECT_EQ(CMDLINE_OK, build({}, 0, "", 5).result);
    EXPECT_EQ(CMDLINE_TOO_LONG, build({}, 0, "", 4).result);
}

TEST(ShellQuote, OneWordNeverCode)
{
    char out[64];
    ASSERT_EQ(0, shellQuote(out, sizeof out, "/home/u/out"));
    EXPECT_STREQ("\"/home/u/out\"", out);
    ASSERT_EQ(0, shellQuote(out, sizeof out, "a $(x) `y` \"z\" \\ ;"));
    EXPECT_STREQ("\"a \\$(x) \\`y\\` \\\"z\\\" \\\\ ;\"", out);
    // The length between the quotes: four characters count twice.
    EXPECT_EQ(strlen(out) - 2, shellQuotedLength("a $(x) `y` \"z\" \\ ;"));
    EXPECT_EQ(18u + 6u, shellQuotedLength("a $(x) `y` \"z\" \\ ;"));
    EXPECT_EQ(0u, shellQuotedLength(""));
    EXPECT_EQ(11u, shellQuotedLength("/home/u/out"));
    // Bounds: "ab" needs 5 bytes, "$" needs 5 too.
    EXPECT_EQ(0, shellQuote(out, 5, "ab"));
    EXPECT_EQ(-1, shellQuote(out, 4, "ab"));
    EXPECT_EQ(0, shellQuote(out, 5, "$"));
    EXPECT_EQ(-1, shellQuote(out, 4, "$"));
    EXPECT_EQ(0, shellQuote(out, 3, ""));
    EXPECT_STREQ("\"\"", out);
}

namespace {

// The extract folder as the launcher forms it: absolute, then quoted.
int formExtractFolder(char *out, size_t size, const char *folder, const char *cwd)
{
    char path[EXTRACT_FOLDER_SIZE];
    if (absoluteFolder(path, sizeof path, folder, cwd) != 0)
        return -1;
    return shellQuote(out, size, path);
}

} // namespace

TEST(ExtractFolder, AbsoluteRelativeAndRoot)
{
    char out[EXTRACT_FOLDER_SIZE];
    ASSERT_EQ(0, formExtractFolder(out, sizeof out, "out", "/home/u"));
    EXPECT_STREQ("\"/home/u/out\"", out);
    ASSERT_EQ(0, formExtractFolder(out, sizeof out, "/abs/x", "/home/u"));
    EXPECT_STREQ("\"/abs/x\"", out);
    ASSERT_EQ(0, formExtractFolder(out, sizeof out, "out", "/"));
    EXPECT_STREQ("\"//out\"", out);
    ASSERT_EQ(0, formExtractFolder(out, sizeof out, "../a/./b", "/h"));
    EXPECT_STREQ("\"/h/../a/./b\"", out);
    ASSERT_EQ(0, formExtractFolder(out, sizeof out, "out", "(unreachable)/x"));
    EXPECT_STREQ("\"(unreachable)/x\\\\out\"", out);
    EXPECT_EQ(-1, formExtractFolder(out, sizeof out, "out", "")); // cwd unknown
    EXPECT_EQ(0, formExtractFolder(out, sizeof out, "/abs", ""));
    // 259 characters between the quotes fit, 260 do not.
    EXPECT_EQ(0, formExtractFolder(out, sizeof out, ("/" + std::string(258, 'a')).c_str(), "/"));
    EXPECT_EQ(261u, strlen(out));
    EXPECT_EQ(-1, formExtractFolder(out, sizeof out, ("/" + std::string(259, 'a')).c_str(), "/"));
    EXPECT_EQ(-1, formExtractFolder(out, sizeof out, ("/" + std::string(257, 'a') + "$").c_str(),
                                    "/"));
    // The absolute path's own bounds: size-1 characters fit.
    char path[8];
    EXPECT_EQ(0, absoluteFolder(path, sizeof path, "b", "/aaaa"));
    EXPECT_STREQ("/aaaa/b", path);
    EXPECT_EQ(-1, absoluteFolder(path, sizeof path, "bc", "/aaaa"));
    EXPECT_EQ(0, absoluteFolder(path, sizeof path, "/abcdef", ""));
    EXPECT_EQ(-1, absoluteFolder(path, sizeof path, "/abcdefg", ""));
}

TEST(Timestamp, DmtfForm)
{
    char out[TIMESTAMP_SIZE];
    ASSERT_EQ(0, formatTimestamp(out, sizeof out, 2010, 3, 5, 14, 7, 9, 123, 300));
    EXPECT_STREQ("20100305140709.000123-300", out);
    ASSERT_EQ(0, formatTimestamp(out, sizeof out, 2010, 3, 5, 14, 7, 9, 123, 0));
    EXPECT_STREQ("20100305140709.000123+000", out);
    ASSERT_EQ(0, formatTimestamp(out, sizeof out, 2010, 3, 5, 14, 7, 9, 123, -60));
    EXPECT_STREQ("20100305140709.000123+060", out);
    EXPECT_EQ(0, formatTimestamp(out, 26, 2010, 3, 5, 14, 7, 9, 123, 0));
    EXPECT_EQ(-1, formatTimestamp(out, 25, 2010, 3, 5, 14, 7, 9, 123, 0));

    ASSERT_EQ(0, startTimestamp(out, sizeof out));
    ASSERT_EQ(25u, strlen(out));
    for (int i = 0; i < 25; i++) {
        if (i == 14)
            EXPECT_EQ('.', out[i]);
        else if (i == 21)
            EXPECT_TRUE(out[i] == '+' || out[i] == '-');
        else
            EXPECT_TRUE(isdigit(static_cast<unsigned char>(out[i]))) << out;
    }
}
