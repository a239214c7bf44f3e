#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace VpnBench {

// Writes one indented JSON document, member by member. Keys and strings are escaped;
// numbers that are not finite are written as null. One thread.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : m_out(out) {}

    // key is ignored (pass nullptr) inside an array and for the document itself.
    void beginObject(const char* key = nullptr);
    void endObject();
    void beginArray(const char* key);
    void endArray();
    void field(const char* key, double value);
    void field(const char* key, long long value);
    void field(const char* key, int value) { field(key, static_cast<long long>(value)); }
    void field(const char* key, long value) { field(key, static_cast<long long>(value)); }
    void field(const char* key, bool value);
    void field(const char* key, const std::string& value);

private:
    void open(const char* key);
    void close(char bracket);
    static std::string quoted(const std::string& text);

    std::ostream& m_out;
    std::vector<bool> m_empty;  // per open container: nothing written into it yet
};

}  // namespace VpnBench
