#include "support/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

namespace kestrune {

namespace {

struct DecodedCodePoint {
    char32_t value;
    std::size_t length;
};

// Decodes one code point at `position`, or nothing when the bytes there are not
// a well-formed UTF-8 sequence.
std::optional<DecodedCodePoint> decodeAt(std::string_view bytes, std::size_t position)
{
    const auto lead = static_cast<unsigned char>(bytes[position]);
    if (lead < 0x80) {
        return DecodedCodePoint{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (position + length > bytes.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto continuation = static_cast<unsigned char>(bytes[position + i]);
        if ((continuation & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (continuation & 0x3F);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (value < minimum || value > 0x10FFFF || surrogate) {
        return std::nullopt;
    }
    return DecodedCodePoint{value, length};
}

bool isWhitespaceOrNewline(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The position of the first byte at or after `position` that is not ASCII, or the
// end. Output is mostly ASCII: eight bytes at a time is several times faster.
std::size_t skipAscii(std::string_view bytes, std::size_t position)
{
    constexpr std::uint64_t highBits = 0x8080808080808080ULL;
    while (position + sizeof(std::uint64_t) <= bytes.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + position, sizeof word);
        if ((word & highBits) != 0) {
            break;
        }
        position += sizeof word;
    }
    while (position < bytes.size() && static_cast<unsigned char>(bytes[position]) < 0x80) {
        ++position;
    }
    return position;
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    for (std::size_t position = skipAscii(bytes, 0); position < bytes.size(); position = skipAscii(bytes, position)) {
        const auto decoded = decodeAt(bytes, position);
        if (!decoded) {
            return false;
        }
        position += decoded->length;
    }
    return true;
}

std::string decodeUtf8Strictly(std::string bytes)
{
    return isValidUtf8(bytes) ? std::move(bytes) : std::string();
}

std::string trimWhitespaceAndNewlines(std::string_view text)
{
    // Find the first and one-past-last code points that are not white space.
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t position = 0; position < text.size();) {
        const auto decoded = decodeAt(text, position);
        const std::size_t length = decoded ? decoded->length : 1;
        if (!decoded || !isWhitespaceOrNewline(decoded->value)) {
            begin = std::min(begin, position);
            end = position + length;
        }
        position += length;
    }
    return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

} // namespace kestrune
