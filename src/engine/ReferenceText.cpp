#include "engine/ReferenceText.h"

namespace pagestow::engine {

std::string EncodeReference(std::string_view value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    bool inPath = true;
    for (char ch : value) {
        unsigned char c = (unsigned char)ch;
        if (c == '?' || c == '#')
            inPath = false;
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' || c == '}'
            || c == '|' || c == '^') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else if (inPath && c == '\\') {
            out += '/';
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace pagestow::engine
