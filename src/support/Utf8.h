#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// True when `bytes` is well-formed UTF-8 as a whole (no overlongs, surrogates or
// code points above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// `bytes` itself when it is valid UTF-8, else the empty text: never a partial or
// repaired text.
std::string decodeUtf8Strictly(std::string bytes);

// Removes Unicode white space and line breaks (general category Z, tab, U+000A..U+000D
// and U+0085) from both ends of valid UTF-8 text; nothing inside is touched.
std::string trimWhitespaceAndNewlines(std::string_view text);

} // namespace kestrune
