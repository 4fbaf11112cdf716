#include "agent/LaunchdServiceManager.h"

#include "agent/AbsorbedFailures.h"
#include "agent/LaunchAgentDefinition.h"
#include "agent/ProgramConstants.h"
#include "support/PathJoin.h"
#include "support/ProcessRunner.h"

#include <unistd.h>

namespace kestrune {

namespace {

std::string domainTarget()
{
    return "gui/" + std::to_string(::getuid());
}

std::string serviceTarget()
{
    return domainTarget() + "/" + launchdLabel;
}

void reportAbsorbed(const std::vector<std::string>& arguments, const std::exception& error,
                    AbsorbedSeverity severity = AbsorbedSeverity::failure)
{
    reportAbsorbedFailure("launchctl", arguments, std::string("failed: ") + error.what(), severity);
}

} // namespace

LaunchdServiceManager::LaunchdServiceManager(std::string launchctlPath, const std::string& launchAgentsDirectory)
    : launchctlPath_(std::move(launchctlPath)),
      propertyListPath_(joinPath(launchAgentsDirectory, std::string(launchdLabel) + ".plist"))
{
}

std::string LaunchdServiceManager::definitionText(const ServiceJob& job) const
{
    return launchAgentPropertyList({launchdLabel, job.shellPath, job.launchCommand, job.logPath});
}

void LaunchdServiceManager::runLaunchctl(const std::vector<std::string>& arguments) const
{
    runProcess(launchctlPath_, arguments);
}

void LaunchdServiceManager::start() const
{
    // Every failure is absorbed: the status refresh that follows shows the outcome.
    const auto attempt = [this](const std::vector<std::string>& arguments,
                                AbsorbedSeverity severity = AbsorbedSeverity::failure) {
        try {
            runLaunchctl(arguments);
            return true;
        } catch (const std::exception& error) {
            reportAbsorbed(arguments, error, severity);
            return false;
        }
    };
    // Refused for a job that is loaded already, which after login is the rule: the
    // ways below then restart it, and their failures are the ones that count.
    if (!attempt({"bootstrap", domainTarget(), propertyListPath_}, AbsorbedSeverity::routine)) {
        attempt({"kickstart", "-k", serviceTarget()});
        attempt({"load", propertyListPath_});
    }
    attempt({"kickstart", "-k", serviceTarget()});
}

void LaunchdServiceManager::stop() const
{
    const std::vector<std::string> bootout{"bootout", domainTarget(), propertyListPath_};
    try {
        runLaunchctl(bootout);
        return;
    } catch (const std::exception& error) {
        reportAbsorbed(bootout, error); // the legacy form decides; its error is the one thrown
    }
    runLaunchctl({"unload", propertyListPath_});
}

} // namespace kestrune
