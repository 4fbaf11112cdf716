#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// Makes any text one literal single-quoted word for a POSIX shell.
std::string shellQuote(std::string_view text);

// One `KEY='value'` line of a shell-sourced configuration file, without a line end.
// The key is neither quoted nor validated.
std::string envLine(std::string_view key, std::string_view value);

// Escapes the five XML special characters (ampersand first, so entities are not re-escaped).
std::string xmlEscape(std::string_view text);

} // namespace kestrune
