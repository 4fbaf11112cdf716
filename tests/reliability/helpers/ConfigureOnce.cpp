// One first-time configuration in a process of its own:
//   kestrune_configure_once HOME RESOURCES PROVISION_URL RELAY_URL [--wait]
// With --wait it writes one byte when ready and starts once its input ends.
// Prints "ok" or "error: <what>" on one line; exits 0 or 1.

#include "agent/AgentManager.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOME RESOURCES PROVISION_URL RELAY_URL [--wait]\n", argv[0]);
        return 2;
    }
    kestrune::AgentEnvironment environment;
    environment.homeDirectory = argv[1];
    environment.resourcesDirectory = argv[2];
    environment.bundleDirectory = "/nonexistent";
    environment.launchctlPath = "/bin/false";
    environment.shellPath = "/bin/zsh";
    environment.provisionURL = argv[3];
    environment.healthURL = "http://127.0.0.1:9/healthz";
    environment.relayURL = argv[4];
    const kestrune::AgentManager manager(environment);

    if (argc > 5 && std::string(argv[5]) == "--wait") {
        char byte = 0;
        if (::write(STDOUT_FILENO, "r", 1) != 1) {
            return 2;
        }
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
    }
    try {
        manager.ensureConfigured();
        std::printf("ok\n");
        return 0;
    } catch (const std::exception& error) {
        std::printf("error: %s\n", error.what());
        return 1;
    }
}
