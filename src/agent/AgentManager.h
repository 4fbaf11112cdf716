#pragma once

#include "agent/ProvisionResponse.h"
#include "agent/ServiceManager.h"
#include "agent/ServiceManagerKind.h"
#include "support/RandomHex.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// How long the two network calls may take. The request's own time-out lies inside
// the caller's wait, so a silent peer normally ends in a transport error first.
struct AgentTimings {
    std::chrono::milliseconds provisionRequestTimeout{12000};
    std::chrono::milliseconds provisionWait{15000};
    std::chrono::milliseconds healthRequestTimeout{1500};
    std::chrono::milliseconds healthWait{2000};
};

// Everything the manager takes from its surroundings. The product uses
// AgentEnvironment::current(); tests point the fields at temporary folders,
// stand-ins and loopback servers.
struct AgentEnvironment {
    std::string homeDirectory;
    std::optional<std::string> configHomeDirectory; // none: the home's .config
    std::optional<std::string> resourcesDirectory;  // none: the bundle directory's Contents/Resources
    std::string bundleDirectory;
    // A hand-built environment drives launchd unless it says otherwise; current()
    // takes the build's choice.
    ServiceManagerKind serviceManager = ServiceManagerKind::launchd;
    std::string launchctlPath;
    // The systemd user manager's D-Bus address; none: as `systemctl --user` finds it.
    std::optional<std::string> systemdBusAddress;
    std::string shellPath;
    std::string provisionURL;
    std::string healthURL;
    std::string relayURL;
    AgentTimings timings{};
    SecureRandomFill secureRandom = systemSecureRandomFill;

    // The running user's home, the running program's resources, and the
    // compiled-in endpoints and tools.
    static AgentEnvironment current();
};

// Looks after the bundled agent: its files, its service manager's job, its health and its
// pairing output. Holds nothing but fixed paths, so one instance may be used from
// any number of threads at once. Every operation but the path accessors and
// ensureStateDirectoryExists blocks: call them off the UI thread.
class AgentManager {
  public:
    AgentManager();
    explicit AgentManager(AgentEnvironment environment);

    // Plain absolute path texts, fixed at construction.
    const std::string& stateDirectory() const { return stateDirectory_; }
    const std::string& configPath() const { return configPath_; }
    const std::string& logPath() const { return logPath_; }
    // The job definition: the launchd property list or the systemd user unit, in the
    // folder the user's manager reads (the systemd backend asks it, so this blocks).
    std::string launchAgentPath() const { return serviceManager_->definitionPath(); }
    const std::string& bundledAgentPath() const { return bundledAgentPath_; }

    // Creates the state directory (and its parents) and narrows it to 0700.
    // Never fails and reports nothing; safe on the UI thread.
    void ensureStateDirectoryExists() const noexcept;

    // Makes sure config.env exists: on the first run registers the device with the
    // relay, makes a local secret and writes the file and an empty log. Overlapping
    // calls, from threads or processes, provision once. Throws KestruneError
    // (missing agent or shell, provisioning) or the platform's error.
    void ensureConfigured() const;

    // Writes the service manager's job definition whole, creating its folder. A
    // systemd unit that already holds the text, with mode 0600, is left untouched, so
    // that the manager needs no reload.
    void writeLaunchAgent() const;

    // Hands the job to the service manager and (re)starts the agent. Absorbs every
    // failure: the health probe shows the outcome.
    void start() const;

    // Stops the job and leaves its definition in place. Throws the control tool's
    // error (launchd) or SystemdError when its last way fails.
    void stop() const;

    // Watches the agent's job on a thread of its own and tells `changed` its state:
    // after every (re)connection to the manager and on every change. Does not block.
    // nullptr where the service manager has no events to watch (launchd). Throws
    // std::system_error when the thread or its wake pipe cannot be made.
    std::unique_ptr<AgentJobWatch> watchAgentJob(const AgentJobStateChanged& changed) const;

    // True only when the health endpoint answered 200 in time. Never throws.
    bool isAgentHealthy() const noexcept;

    // The agent's pairing QR text, as printed by its --print-qr mode.
    std::string pairingQROutput() const;

    // "set -a; source <config>; set +a; exec <agent>", both paths shell-quoted.
    std::string launchCommand() const;

  private:
    friend struct AgentManagerBenchAccess; // the benchmarks time provisioning alone

    ProvisionResponse provisionDevice() const;
    void writeFirstConfiguration() const;

    AgentEnvironment environment_;
    std::string stateDirectory_;
    std::string configPath_;
    std::string logPath_;
    std::shared_ptr<const ServiceManager> serviceManager_;
    std::string bundledAgentPath_;
};

} // namespace kestrune
