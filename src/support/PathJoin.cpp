#include "support/PathJoin.h"

namespace kestrune {

std::string joinPath(std::string_view directory, std::string_view name)
{
    while (directory.ends_with('/')) {
        directory.remove_suffix(1);
    }
    std::string path(directory);
    path += '/';
    path += name;
    return path;
}

} // namespace kestrune
