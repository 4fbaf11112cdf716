#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrune::testkit {

// Every write(2) this process makes to a regular file while `action` runs, as
// "<path> <octal mode>", with the file's name and mode taken at that very moment.
std::vector<std::string> fileWrites(const std::function<void()>& action);

// The changes to names directly in `folder` while `action` runs, in order, as
// "created <name>", "deleted <name>", "moved-from <name>" or "moved-to <name>".
std::vector<std::string> nameChanges(const std::string& folder, const std::function<void()>& action);

} // namespace kestrune::testkit
