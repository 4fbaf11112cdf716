#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// `directory` + "/" + `name`, with no doubled slash where `directory` ends in one (a
// home of "/"): the service managers refuse such paths.
std::string joinPath(std::string_view directory, std::string_view name);

} // namespace kestrune
