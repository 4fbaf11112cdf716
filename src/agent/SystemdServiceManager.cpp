#include "agent/SystemdServiceManager.h"

#include "agent/ProgramConstants.h"
#include "agent/SystemdUnitDefinition.h"
#include "support/ProcessRunner.h"

namespace kestrune {

SystemdServiceManager::SystemdServiceManager(std::string systemctlPath, const std::string& userUnitDirectory)
    : systemctlPath_(std::move(systemctlPath)), unitPath_(userUnitDirectory + "/" + systemdUnitName)
{
}

std::string SystemdServiceManager::definitionText(const ServiceJob& job) const
{
    return systemdUnitText({job.shellPath, job.launchCommand, job.logPath});
}

void SystemdServiceManager::runSystemctl(const std::vector<std::string>& arguments) const
{
    std::vector<std::string> withScope{"--user"};
    withScope.insert(withScope.end(), arguments.begin(), arguments.end());
    runProcess(systemctlPath_, withScope);
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
        } catch (const std::exception&) {
        }
    }
}

void SystemdServiceManager::stop() const
{
    runSystemctl({"stop", systemdUnitName});
}

} // namespace kestrune
