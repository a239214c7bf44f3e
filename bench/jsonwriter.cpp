#include "bench/jsonwriter.h"

#include <cmath>
#include <cstdio>

namespace VpnBench {

void JsonWriter::open(const char* key)
{
    if (!m_empty.empty()) {
        m_out << (m_empty.back() ? "\n" : ",\n");
        m_empty.back() = false;
        m_out << std::string(2 * m_empty.size(), ' ');
        if (key != nullptr) m_out << quoted(key) << ": ";
    }
}

void JsonWriter::close(char bracket)
{
    const bool empty = m_empty.back();
    m_empty.pop_back();
    if (!empty) m_out << "\n" << std::string(2 * m_empty.size(), ' ');
    m_out << bracket;
    if (m_empty.empty()) m_out << "\n";
}

void JsonWriter::beginObject(const char* key)
{
    open(key);
    m_out << "{";
    m_empty.push_back(true);
}

void JsonWriter::endObject() { close('}'); }

void JsonWriter::beginArray(const char* key)
{
    open(key);
    m_out << "[";
    m_empty.push_back(true);
}

void JsonWriter::endArray() { close(']'); }

void JsonWriter::field(const char* key, double value)
{
    open(key);
    if (!std::isfinite(value)) {
        m_out << "null";
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    m_out << text;
}

void JsonWriter::field(const char* key, long long value)
{
    open(key);
    m_out << value;
}

void JsonWriter::field(const char* key, bool value)
{
    open(key);
    m_out << (value ? "true" : "false");
}

void JsonWriter::field(const char* key, const std::string& value)
{
    open(key);
    m_out << quoted(value);
}

std::string JsonWriter::quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char byte : text) {
        const auto code = static_cast<unsigned char>(byte);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += byte;
        } else if (code < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", code);
            out += escape;
        } else {
            out += byte;
        }
    }
    return out + "\"";
}

}  // namespace VpnBench
