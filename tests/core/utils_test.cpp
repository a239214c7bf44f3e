// The text helpers, as tables of cases.
#include "core/utils.h"

#include <Poco/Environment.h>
#include <Poco/Format.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using Lines = std::vector<std::string>;

TEST(Utils, QuotedString)
{
    EXPECT_EQ(Utils::quotedString(""), "\"\"");
    EXPECT_EQ(Utils::quotedString("a"), "\"a\"");
    EXPECT_EQ(Utils::quotedString("a\"b\\ c"), "\"a\"b\\ c\"");
}

TEST(Utils, UnquotedString)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\"x\"", "x"},       {"\"\"", "\"\""},       {"\"", "\""},   {"\"\"\"", "\""},
        {"\"a\"b\"", "a\"b"}, {"\"\"x\"\"", "\"x\""}, {"'x'", "'x'"}, {" \"x\"", " \"x\""},
        {"\"x", "\"x"},       {"x\"", "x\""},         {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utils::unquotedString(input), expected) << "input: [" << input << "]";
    }
}

TEST(Utils, PlatformExecutableIsTheNameUnchanged)
{
    EXPECT_EQ(Utils::platformExecutable("killswitch"), "killswitch");
    EXPECT_EQ(Utils::platformExecutable(""), "");
}

TEST(Utils, VersionTexts)
{
    const Poco::UInt32 v = Poco::Environment::libraryVersion();
    const std::string version =
        Poco::format("%d.%d.%d", int(v >> 24), int((v >> 16) & 0xFF), int((v >> 8) & 0xFF));
    EXPECT_EQ(Utils::libraryVersion(), version);
    EXPECT_EQ(Utils::libraryVersion(), "1.11.0");  // what Debian 12 ships
    EXPECT_EQ(Utils::versionInfo("VPN service"), "VPN service, POCO version " + version);
    EXPECT_EQ(Utils::versionInfo(""), ", POCO version " + version);
}

TEST(Utils, BoolString)
{
    EXPECT_EQ(Utils::boolString(true), "true");
    EXPECT_EQ(Utils::boolString(false), "false");
}

TEST(Utils, Trim)
{
    const std::pair<std::string, std::string> cases[] = {
        {" \t\r\n a b \n\r\t ", "a b"}, {" \t\n", ""}, {"", ""}, {"x", "x"}, {"\v\fx\v\f", "x"},
        {"\x80 x \xff", "\x80 x \xff"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utils::trim(input), expected) << "input: [" << input << "]";
    }
}

TEST(Utils, Split)
{
    struct Case {
        std::string text, delimiter;
        Lines expected;
    };
    const Case cases[] = {
        {"a,,b,", ",", {"a", "", "b", ""}},
        {"", ",", {""}},
        {"abc", ",", {"abc"}},
        {",", ",", {"", ""}},
        {"a, b", ", ", {"a", "b"}},
        {"aaa", "aa", {"", "a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utils::split(c.text, c.delimiter), c.expected) << "[" << c.text << "]";
    }
    EXPECT_THROW(Utils::split("abc", ""), std::invalid_argument);
}

TEST(Utils, SplitStringByNewLine)
{
    const std::pair<std::string, Lines> cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"\n", {""}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\r\nb", {"a\r", "b"}},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utils::splitStringByNewLine(input), expected) << "input: [" << input << "]";
    }
}

}  // namespace
