#pragma once

#include "agent/AgentJobWatch.h"

#include <memory>
#include <string>

namespace kestrune {

struct AgentEnvironment;

// What the agent's per-user job runs: the shell runs the launch command, and both
// output streams are appended to the log.
struct ServiceJob {
    std::string shellPath;
    std::string launchCommand;
    std::string logPath;
};

// One platform service manager: where the job definition lives, what it says, and
// how the job is started, stopped and watched. Holds nothing but fixed texts, so it
// may be used from any number of threads.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;

    // The job definition's absolute path. May ask the service manager, so it may
    // block: call it off the UI thread.
    virtual std::string definitionPath() const = 0;

    // The whole text of the job definition.
    virtual std::string definitionText(const ServiceJob& job) const = 0;

    // True when a definition file that already holds the text (with its mode) is left
    // as it is: systemd then needs no reload. launchd's is replaced whole each time.
    virtual bool keepsUnchangedDefinition() const { return false; }

    // Hands the written definition to the manager and (re)starts the job, so that
    // the agent reads its configuration anew. Absorbs every failure, and hands each
    // to reportAbsorbedFailure.
    virtual void start() const = 0;

    // Stops the job and leaves the definition in place; throws when that fails.
    virtual void stop() const = 0;

    // Starts a watch that tells `changed` the job's state as it changes, or returns
    // nullptr where the manager offers no such events (launchd).
    virtual std::unique_ptr<AgentJobWatch> watchJob(const AgentJobStateChanged& changed) const;
};

// The backend the environment names, with its definition in the user's folder for it.
std::shared_ptr<const ServiceManager> makeServiceManager(const AgentEnvironment& environment);

} // namespace kestrune
