// Round-trip properties of the encoders, judged by small independent readers:
// shellQuote/envLine read back by a POSIX single-quote parser, xmlEscape by an
// entity decoder, and the UTF-8 routines against the table of well-formed sequences.

#include "support/TextEncoding.h"
#include "support/Utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// One shell word as POSIX reads it, from `position` to the first unquoted space or
// line feed (or the end); only quoting forms that shellQuote may produce are known.
std::optional<std::string> readShellWord(std::string_view text, std::size_t& position)
{
    std::string word;
    while (position < text.size() && text[position] != ' ' && text[position] != '\n') {
        const char c = text[position++];
        if (c == '\'') {
            const auto close = text.find('\'', position);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            word.append(text.substr(position, close - position));
            position = close + 1;
        } else if (c == '\\') {
            if (position == text.size()) {
                return std::nullopt;
            }
            word += text[position++];
        } else if (std::string_view("\"$`*?[]{}()<>&;|~#!\t").find(c) != std::string_view::npos) {
            return std::nullopt; // a character the shell would read as more than itself
        } else {
            word += c;
        }
    }
    return word;
}

std::optional<std::string> unescapeXml(std::string_view text)
{
    static constexpr std::pair<std::string_view, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string plain;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '&') {
            plain += text[i++];
            continue;
        }
        bool known = false;
        for (const auto& [entity, character] : entities) {
            if (text.substr(i, entity.size()) == entity) {
                plain += character;
                i += entity.size();
                known = true;
                break;
            }
        }
        if (!known) {
            return std::nullopt;
        }
    }
    return plain;
}

// Well-formed UTF-8 after the Unicode standard's table of byte sequences.
bool wellFormed(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    const auto in = [](unsigned char byte, unsigned low, unsigned high) {
        return byte >= low && byte <= high;
    };
    for (std::size_t i = 0; i < size;) {
        const unsigned char b = bytes[i];
        std::size_t length = 0;
        unsigned secondLow = 0x80;
        unsigned secondHigh = 0xBF;
        if (b <= 0x7F) {
            length = 1;
        } else if (in(b, 0xC2, 0xDF)) {
            length = 2;
        } else if (b == 0xE0) {
            length = 3, secondLow = 0xA0;
        } else if (in(b, 0xE1, 0xEC) || in(b, 0xEE, 0xEF)) {
            length = 3;
        } else if (b == 0xED) {
            length = 3, secondHigh = 0x9F;
        } else if (b == 0xF0) {
            length = 4, secondLow = 0x90;
        } else if (in(b, 0xF1, 0xF3)) {
            length = 4;
        } else if (b == 0xF4) {
            length = 4, secondHigh = 0x8F;
        } else {
            return false;
        }
        if (i + length > size || (length > 1 && !in(bytes[i + 1], secondLow, secondHigh))) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (!in(bytes[i + k], 0x80, 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void checkShellQuoting(const std::string& text, const std::string& key)
{
    const std::string quoted = kestrune::shellQuote(text);
    require(quoted.size() >= 2 && quoted.front() == '\'' && quoted.back() == '\'');
    std::size_t position = 0;
    const auto word = readShellWord(quoted, position);
    require(word && *word == text && position == quoted.size());

    // A config line: the key as given, then one word that ends the line.
    const std::string line = kestrune::envLine(key, text);
    require(line == key + "=" + quoted);
}

void checkXmlEscaping(const std::string& text)
{
    const std::string escaped = kestrune::xmlEscape(text);
    require(escaped.find_first_of("<>\"'") == std::string::npos);
    const auto plain = unescapeXml(escaped);
    require(plain && *plain == text);
}

void checkUtf8(const std::string& text)
{
    const bool valid = kestrune::isValidUtf8(text);
    require(valid == wellFormed(text));
    require(kestrune::decodeUtf8Strictly(text) == (valid ? text : std::string()));

    const std::string trimmed = kestrune::trimWhitespaceAndNewlines(text);
    const auto at = text.find(trimmed);
    require(at != std::string::npos);
    if (!valid) {
        return;
    }
    // Only white space went, from the ends, and what is left is whole code points.
    require(kestrune::isValidUtf8(trimmed));
    require(kestrune::trimWhitespaceAndNewlines(trimmed) == trimmed);
    if (!trimmed.empty()) {
        std::size_t start = 0;
        while (start < text.size()) {
            if (text.compare(start, trimmed.size(), trimmed) == 0 &&
                kestrune::trimWhitespaceAndNewlines(text.substr(0, start)).empty() &&
                kestrune::trimWhitespaceAndNewlines(text.substr(start + trimmed.size())).empty()) {
                break;
            }
            ++start;
        }
        require(start < text.size());
    } else {
        require(kestrune::trimWhitespaceAndNewlines(text).empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string key = input.ConsumeRandomLengthString(16);
    const std::string text = input.ConsumeRemainingBytesAsString();
    checkShellQuoting(text, key);
    checkXmlEscaping(text);
    checkUtf8(text);
    return 0;
}
