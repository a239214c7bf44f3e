#include "core/logtext.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogText, EscapesControlBytesAndBackslashOnly)
{
    struct Case {
        std::string text;
        std::string logged;
    };
    const Case cases[] = {
        {"start: /usr/sbin/openvpn --config \"/etc/a b.conf\" 'x'",
         "start: /usr/sbin/openvpn --config \"/etc/a b.conf\" 'x'"},
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {std::string("\0\x01\x1f\x20\x7e\x7f", 6), "\\x00\\x01\\x1f ~\\x7f"},
        {"C:\\dir\\x0a", "C:\\\\dir\\\\x0a"},
        {"caf\xc3\xa9 \xff\x80", "caf\xc3\xa9 \xff\x80"},  // UTF-8 and other high bytes stay
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LogText::escaped(c.text), c.logged) << c.text;
        EXPECT_EQ(LogText::client(c.text), c.logged) << c.text;
    }
}

TEST(LogText, ClientTextIsCutAtOneKibibyteWithItsSize)
{
    const std::string suffix = " ... (2000 bytes)";
    struct Case {
        const char* name;
        std::string text;
        std::string logged;
    };
    const Case cases[] = {
        {"fits exactly", std::string(1024, 'a'), std::string(1024, 'a')},
        {"one byte more", std::string(1025, 'a'), std::string(1024, 'a') + " ... (1025 bytes)"},
        {"escapes count as written", std::string(300, '\n') + std::string(1700, 'a'),
         [] {
             std::string s;
             for (int i = 0; i < 256; ++i) s += "\\x0a";
             return s;
         }() +
             suffix},
        {"no escape is split", std::string(1022, 'a') + std::string(978, '\\'),
         std::string(1022, 'a') + "\\\\" + suffix},
        {"no UTF-8 character is split", std::string(1023, 'a') + "\xc3\xa9" + std::string(975, 'b'),
         std::string(1023, 'a') + suffix},
    };
    for (const Case& c : cases) EXPECT_EQ(LogText::client(c.text), c.logged) << c.name;
}

}  // namespace
