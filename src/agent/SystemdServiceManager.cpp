#include "agent/SystemdServiceManager.h"

#include "agent/AbsorbedFailures.h"
#include "agent/ProgramConstants.h"
#include "agent/SystemdUnitDefinition.h"
#include "agent/UnitSearchPath.h"
#include "support/PathJoin.h"
#include "support/ProcessRunner.h"

#include <optional>

namespace kestrune {

namespace {

// Every call drives the user's own manager.
std::vector<std::string> withUserScope(const std::vector<std::string>& arguments)
{
    std::vector<std::string> scoped{"--user"};
    scoped.insert(scoped.end(), arguments.begin(), arguments.end());
    return scoped;
}

} // namespace

SystemdServiceManager::SystemdServiceManager(std::string systemctlPath, std::string homeDirectory,
                                             std::string fallbackUnitDirectory)
    : systemctlPath_(std::move(systemctlPath)), homeDirectory_(std::move(homeDirectory)),
      fallbackUnitDirectory_(std::move(fallbackUnitDirectory))
{
}

std::string SystemdServiceManager::definitionPath() const
{
    return joinPath(userUnitDirectory(), systemdUnitName);
}

// The manager reads the user's units from its own XDG_CONFIG_HOME, which the app's
// may not match (a session that sets it after the manager started, a terminal with
// another value): a unit written elsewhere is never seen. So the manager is asked,
// each time, as it may have been restarted since: one quick child process per Start.
std::string SystemdServiceManager::userUnitDirectory() const
{
    const std::vector<std::string> arguments = withUserScope({"show", "--property=UnitPath", "--value"});
    try {
        const std::string answer = runProcess(systemctlPath_, arguments);
        if (std::optional<std::string> folder = userUnitFolder(answer, homeDirectory_)) {
            return *folder;
        }
        reportAbsorbedFailure("systemctl", arguments, "named no user unit folder: " + answer);
    } catch (const std::exception& error) {
        reportAbsorbedFailure("systemctl", arguments, std::string("failed: ") + error.what());
    }
    return fallbackUnitDirectory_; // no manager to ask: starting it will fail, and say so
}

std::string SystemdServiceManager::definitionText(const ServiceJob& job) const
{
    return systemdUnitText({job.shellPath, job.launchCommand, job.logPath});
}

void SystemdServiceManager::runSystemctl(const std::vector<std::string>& arguments) const
{
    runProcess(systemctlPath_, withUserScope(arguments));
}

void SystemdServiceManager::start() const
{
    // Every failure is absorbed: the status refresh that follows shows the outcome.
    // Each step is tried even after one failed, as a later one may still succeed.
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"daemon-reload"}, std::vector<std::string>{"enable", systemdUnitName},
          std::vector<std::string>{"restart", systemdUnitName}}) {
        try {
            runSystemctl(step);
        } catch (const std::exception& error) {
            reportAbsorbedFailure("systemctl", withUserScope(step), std::string("failed: ") + error.what());
        }
    }
}

void SystemdServiceManager::stop() const
{
    runSystemctl({"stop", systemdUnitName});
}

} // namespace kestrune
