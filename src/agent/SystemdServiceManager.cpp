#include "agent/SystemdServiceManager.h"

#include "agent/SystemdUnitDefinition.h"

#include <algorithm>
#include <string_view>

namespace kestrune {

SystemdServiceManager::SystemdServiceManager(std::optional<std::string> busAddress, std::string fallbackUnitDirectory)
    : busAddress_(std::move(busAddress)), fallbackUnitDirectory_(std::move(fallbackUnitDirectory))
{
}

std::string SystemdServiceManager::definitionText(const ServiceJob& job) const
{
    return systemdUnitText({job.shellPath, job.launchCommand, job.logPath});
}

std::optional<std::string> persistentUserUnitFolder(const std::vector<std::string>& unitPath)
{
    constexpr std::string_view suffix = "/systemd/user";
    const auto listed = [&](const std::string& folder) {
        return std::ranges::find(unitPath, folder) != unitPath.end();
    };
    for (const std::string& folder : unitPath) {
        const std::string_view path(folder);
        if (path.empty() || path.front() != '/' || !path.ends_with(suffix)) {
            continue;
        }
        const std::string_view top = path.substr(0, path.find('/', 1));
        if (top == "/etc" || top == "/usr" || top == "/run" || top == "/lib") {
            continue;
        }
        if (!listed(folder.substr(0, folder.size() - suffix.size()) + "/systemd/transient")) {
            return folder;
        }
    }
    return std::nullopt;
}

} // namespace kestrune
