#include "relay/definitions/UrlEncoding.h"

#include <cctype>

std::string UrlEncodedValue(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '!' || c == '*' ||
            c == '(' || c == ')') {
            out += c;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string RenderedSearchPath(const Template& path, const TemplateValues& values)
{
    std::string out = path.Render(values, UrlEncodedValue);
    for (size_t at = out.find('+'); at != std::string::npos; at = out.find('+', at + 3))
        out.replace(at, 1, "%20");
    return out;
}
