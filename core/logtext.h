#pragma once

#include <cstddef>
#include <string>

// Makes text that a client chose safe to put into one log line. Stateless: any thread
// may call it.
class LogText {
public:
    LogText() = delete;

    // Longest part of a client's text that one line carries.
    static const std::size_t kMaxBytes = 1024;

    // Bytes 0x00-0x1F and 0x7F as \xNN (two lower-case hex digits), a backslash as \\,
    // every other byte unchanged: one line stays one line, and ordinary text (UTF-8
    // included) reads as it was.
    static std::string escaped(const std::string& text);

    // escaped(text), cut after at most kMaxBytes bytes (never inside an escape or a UTF-8
    // character) and then followed by " ... (N bytes)", N being the size of the text.
    static std::string client(const std::string& text);
};
