#pragma once

#include "agent/ServiceManager.h"

#include <vector>

namespace kestrune {

// A per-user launchd job (a LaunchAgents property list) driven through launchctl,
// with the legacy load/unload forms as fallbacks for older systems. The failures that
// start and stop absorb go to reportAbsorbedFailure.
class LaunchdServiceManager final : public ServiceManager {
  public:
    LaunchdServiceManager(std::string launchctlPath, const std::string& launchAgentsDirectory);

    std::string definitionPath() const override { return propertyListPath_; }
    std::string definitionText(const ServiceJob& job) const override;
    void start() const override;
    void stop() const override;

  private:
    void runLaunchctl(const std::vector<std::string>& arguments) const;

    std::string launchctlPath_;
    std::string propertyListPath_;
};

} // namespace kestrune
