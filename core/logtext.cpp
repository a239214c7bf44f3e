#include "core/logtext.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

// Appends the escaped form of one byte.
void appendEscaped(std::string& out, unsigned char byte)
{
    if (byte < 0x20 || byte == 0x7F) {
        out += "\\x";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0F];
    } else if (byte == '\\') {
        out += "\\\\";
    } else {
        out += static_cast<char>(byte);
    }
}

std::size_t escapedSize(unsigned char byte)
{
    if (byte < 0x20 || byte == 0x7F) return 4;
    return byte == '\\' ? 2 : 1;
}

bool isUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::string LogText::escaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) appendEscaped(out, static_cast<unsigned char>(c));
    return out;
}

std::string LogText::client(const std::string& text)
{
    // How many bytes of the text fit when escaped.
    std::size_t taken = 0;
    std::size_t size = 0;
    while (taken < text.size()) {
        const std::size_t next = escapedSize(static_cast<unsigned char>(text[taken]));
        if (size + next > kMaxBytes) break;
        size += next;
        ++taken;
    }
    if (taken == text.size()) return escaped(text);

    // Back off to the start of a UTF-8 character so that the cut leaves no broken one;
    // at most three continuation bytes follow a lead byte.
    std::size_t cut = taken;
    for (int i = 0; i < 3 && cut > 0 && isUtf8Continuation(static_cast<unsigned char>(text[cut]));
         ++i)
        --cut;
    if (isUtf8Continuation(static_cast<unsigned char>(text[cut]))) cut = taken;  // not UTF-8
    return escaped(text.substr(0, cut)) + " ... (" + std::to_string(text.size()) + " bytes)";
}
