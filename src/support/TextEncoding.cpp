#include "support/TextEncoding.h"

#include "support/Utf8.h"

namespace kestrune {

std::string shellQuote(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string envLine(std::string_view key, std::string_view value)
{
    std::string line(key);
    line += '=';
    line += shellQuote(value);
    return line;
}

std::string systemdQuote(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    const bool keepHighBytes = isValidUtf8(text);
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            quoted += "\\\\";
            break;
        case '"':
            quoted += "\\\"";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '%':
            quoted += "%%";
            break;
        case '$':
            quoted += "$$";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !keepHighBytes)) {
                quoted += "\\x";
                quoted += hex[byte >> 4];
                quoted += hex[byte & 0x0f];
            } else {
                quoted += c;
            }
            break;
        }
    }
    quoted += '"';
    return quoted;
}

std::string xmlEscape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
            break;
        }
    }
    return escaped;
}

} // namespace kestrune
