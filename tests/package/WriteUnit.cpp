// Writes the agent's systemd user unit, as the app does before a start, for the home
// named by the only argument, and prints the unit's path.
#include "agent/AgentManager.h"

#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: kestrune_write_unit HOME\n";
        return 2;
    }
    kestrune::AgentEnvironment environment = kestrune::AgentEnvironment::current();
    environment.homeDirectory = argv[1];
    environment.configHomeDirectory.reset();
    environment.serviceManager = kestrune::ServiceManagerKind::systemd;
    const kestrune::AgentManager agent(environment);
    agent.writeLaunchAgent();
    std::cout << agent.launchAgentPath() << '\n';
}
