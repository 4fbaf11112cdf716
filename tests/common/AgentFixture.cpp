#include "common/AgentFixture.h"

#include "support/TextEncoding.h"

#include <filesystem>
#include <fstream>

namespace kestrune::testkit {

AgentFixture::AgentFixture()
{
    std::filesystem::create_directories(home());
    std::filesystem::create_directories(resources());
    writeScript(agentPath(), "if [ \"$1\" = --print-qr ]; then printf 'QR for %s\\n\\n' \"$HALVENIX_DEVICE_ID\"; fi\n");
    writeFile(root_ / "launchctl-calls", "");
    writeScript(root_ / "launchctl", "echo \"$*\" >> " + shellQuote(root_ / "launchctl-calls") + "\n");
    relay_.answer(httpReply(200, R"({"device_id":"device-1","server_token":"server-1","client_token":"client-1"})"));
}

AgentEnvironment AgentFixture::environment() const
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

void AgentFixture::failLaunchctl(const std::string& subcommand, int status, const std::string& message)
{
    std::ofstream(root_ / "launchctl", std::ios::app) // the script's own end
        << "if [ \"$1\" = " << subcommand << " ]; then printf %s " << shellQuote(message) << " >&2; exit " << status
        << "; fi\n";
}

void AgentFixture::holdLaunchctl(const std::string& subcommand, const std::string& gate)
{
    std::ofstream(root_ / "launchctl", std::ios::app) << "if [ \"$1\" = " << subcommand << " ]; then while [ -e "
                                                      << shellQuote(gate) << " ]; do sleep 0.02; done; fi\n";
}

} // namespace kestrune::testkit
