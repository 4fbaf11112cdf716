#include "agent/AgentManager.h"
#include "agent/ProgramConstants.h"
#include "support/Platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune {

namespace {

// The platform's notion of the home directory: $HOME when set, as the system's own
// libraries take it, else the password database.
std::string currentHomeDirectory()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string runningExecutableDirectory()
{
    const std::string path = platform::runningExecutablePath();
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The directory's canonical path, or nothing when there is no directory there.
std::optional<std::string> existingDirectory(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

} // namespace

AgentEnvironment AgentEnvironment::current()
{
    const std::string executableDirectory = runningExecutableDirectory();
    const std::string bundleDirectory = executableDirectory + "/" + platform::programLayout.bundleDirectory;

    AgentEnvironment environment;
    environment.homeDirectory = withoutTrailingSlashes(currentHomeDirectory());
    environment.resourcesDirectory =
        existingDirectory(executableDirectory + "/" + platform::programLayout.resourcesDirectory);
    environment.bundleDirectory = existingDirectory(bundleDirectory).value_or(bundleDirectory);
    if (const char* configHome = std::getenv("XDG_CONFIG_HOME"); configHome != nullptr && configHome[0] == '/') {
        environment.configHomeDirectory = configHome; // a relative value is invalid and ignored, as systemd does
    }
    environment.serviceManager = kestrune::serviceManagerKind;
    environment.launchctlPath = kestrune::launchctlPath;
    environment.shellPath = kestrune::shellPath;
    environment.provisionURL = kestrune::provisionURL;
    environment.healthURL = kestrune::healthURL;
    environment.relayURL = kestrune::relayURL;
    return environment;
}

} // namespace kestrune
