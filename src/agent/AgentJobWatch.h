#pragma once

#include <functional>
#include <string>

namespace kestrune {

// The agent's job as its service manager last described it: systemd's ActiveState
// ("active", "activating", "deactivating", "inactive", "failed") and SubState
// ("running", "auto-restart", "dead" and so on).
struct AgentJobState {
    std::string activeState;
    std::string subState;

    bool operator==(const AgentJobState&) const = default;
};

// Told the job's state, on the watch's own thread. It should hand the state on and
// return (post it to the UI thread, say); what it throws is dropped.
using AgentJobStateChanged = std::function<void(const AgentJobState&)>;

// A running watch of the agent's job (see AgentManager::watchAgentJob). Destroying
// it ends the watch: its thread is woken and joined at once, whatever the manager
// is doing, and the handler is not called after that. Destroy it on any thread but
// the watch's own (not from inside the handler).
class AgentJobWatch {
  public:
    virtual ~AgentJobWatch() = default;
    AgentJobWatch(const AgentJobWatch&) = delete;
    AgentJobWatch& operator=(const AgentJobWatch&) = delete;

  protected:
    AgentJobWatch() = default;
};

} // namespace kestrune
