#include "agent/AgentManager.h"
#include "agent/ProgramConstants.h"

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
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return ".";
    }
    std::string path(buffer.data(), static_cast<std::size_t>(length));
    return path.substr(0, path.find_last_of('/'));
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
    // Without application bundles the executable lives in bin/ and its resources in
    // share/kestrune/ beside it, in the build tree and after installation alike. The
    // bundle directory is the executable's own, as for an unbundled program.
    const std::string executableDirectory = runningExecutableDirectory();

    AgentEnvironment environment;
    environment.homeDirectory = withoutTrailingSlashes(currentHomeDirectory());
    environment.resourcesDirectory = existingDirectory(executableDirectory + "/../share/kestrune");
    environment.bundleDirectory = executableDirectory;
    if (const char* configHome = std::getenv("XDG_CONFIG_HOME"); configHome != nullptr && configHome[0] == '/') {
        environment.configHomeDirectory = configHome; // a relative value is invalid and ignored, as systemd does
    }
    environment.serviceManager = kestrune::serviceManagerKind;
    environment.launchctlPath = kestrune::launchctlPath;
    environment.systemctlPath = kestrune::systemctlPath;
    environment.shellPath = kestrune::shellPath;
    environment.provisionURL = kestrune::provisionURL;
    environment.healthURL = kestrune::healthURL;
    environment.relayURL = kestrune::relayURL;
    return environment;
}

} // namespace kestrune
