// Linked, never run, by scripts/check-macos: it reaches every operation of the core
// through AgentManager, so that linking it for macOS proves that each system call the
// core makes exists in macOS's libSystem.
#include "agent/AgentManager.h"

#include <cstdio>
#include <exception>

int main()
{
    const kestrune::AgentManager manager;
    std::printf("%s %s %s %s %s\n", manager.stateDirectory().c_str(), manager.configPath().c_str(),
                manager.logPath().c_str(), manager.launchAgentPath().c_str(), manager.bundledAgentPath().c_str());
    manager.ensureStateDirectoryExists();
    try {
        manager.ensureConfigured();
        manager.writeLaunchAgent();
        manager.start();
        const auto watch = manager.watchAgentJob([](const kestrune::AgentJobState& state) {
            std::printf("%s/%s\n", state.activeState.c_str(), state.subState.c_str());
        });
        std::printf("%s\n%d\n%s\n", manager.launchCommand().c_str(), manager.isAgentHealthy() ? 1 : 0,
                    manager.pairingQROutput().c_str());
        manager.stop();
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        return 1;
    }
    return 0;
}
