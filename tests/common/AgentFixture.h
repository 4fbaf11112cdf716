#pragma once

#include "agent/AgentManager.h"
#include "common/LoopbackHttpServer.h"
#include "common/TestFiles.h"
#include "support/TextEncoding.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace kestrune::testkit {

// A home folder whose path holds a space, an apostrophe and a non-ASCII letter, so
// that every test quotes; a resources folder holding a fake agent; a launchctl
// that records its argument vectors; and a loopback relay answering a valid
// provisioning reply.
class AgentFixture {
  public:
    AgentFixture()
    {
        std::filesystem::create_directories(home());
        std::filesystem::create_directories(resources());
        writeScript(agentPath(),
                    "if [ \"$1\" = --print-qr ]; then printf 'QR for %s\\n\\n' \"$HALVENIX_DEVICE_ID\"; fi\n");
        writeFile(root_ / "launchctl-calls", "");
        writeScript(root_ / "launchctl", "echo \"$*\" >> " + shellQuote(root_ / "launchctl-calls") + "\n");
        relay_.answer(
            httpReply(200, R"({"device_id":"device-1","server_token":"server-1","client_token":"client-1"})"));
    }

    // The environment for a manager: every path and URL points into this fixture.
    AgentEnvironment environment() const
    {
        AgentEnvironment environment;
        environment.homeDirectory = home();
        environment.resourcesDirectory = resources();
        environment.bundleDirectory = root_ / "Kestrune.app";
        environment.launchctlPath = root_ / "launchctl";
        environment.shellPath = "/bin/zsh";
        environment.provisionURL = relay_.url("/provision");
        environment.healthURL = closedLoopbackURL() + "/healthz";
        environment.relayURL = "wss://relay.test";
        return environment;
    }
    AgentManager manager() const { return AgentManager(environment()); }

    // Makes the recording launchctl fail for one subcommand, or wait while `gate` exists.
    void failLaunchctl(const std::string& subcommand, int status, const std::string& message)
    {
        addToLaunchctl(subcommand, "printf %s " + shellQuote(message) + " >&2; exit " + std::to_string(status));
    }
    void holdLaunchctl(const std::string& subcommand, const std::string& gate)
    {
        addToLaunchctl(subcommand, "while [ -e " + shellQuote(gate) + " ]; do sleep 0.02; done");
    }
    // One line per launchctl call, its arguments joined by single spaces.
    std::string launchctlCalls() const { return readFile(root_ / "launchctl-calls"); }

    std::string home() const { return root_ / "J\xc3\xb6rg's Home"; }
    std::string resources() const { return root_ / "Resources"; }
    std::string agentPath() const { return resources() + "/halvenix-server"; }
    LoopbackHttpServer& relay() { return relay_; }

  private:
    void addToLaunchctl(const std::string& subcommand, const std::string& then)
    {
        std::ofstream(root_ / "launchctl", std::ios::app)
            << "if [ \"$1\" = " << subcommand << " ]; then " << then << "; fi\n";
    }

    TemporaryDirectory root_;
    LoopbackHttpServer relay_;
};

} // namespace kestrune::testkit
