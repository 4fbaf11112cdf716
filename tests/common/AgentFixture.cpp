#include "common/AgentFixture.h"

#include <sys/stat.h>

#include <filesystem>

namespace kestrune::testkit {

AgentFixture::AgentFixture() : relay_(std::make_unique<LoopbackHttpServer>())
{
    std::filesystem::create_directories(home());
    std::filesystem::create_directories(resources());
    std::filesystem::create_directories(root_ / "launchctl-status");
    writeScript(agentPath(), "if [ \"$1\" = --print-qr ]; then printf 'QR for %s\\n\\n' \"$HALVENIX_DEVICE_ID\"; fi\n");
    // Records one line per call; a file named after the subcommand scripts a failure.
    writeScript(
        root_ / "launchctl",
        "echo \"$*\" >> '" + (root_ / "launchctl-calls") +
            "'\n"
            "status_file='" +
            (root_ / "launchctl-status") +
            "/'\"$1\"\n"
            "if [ -f \"$status_file\" ]; then cat \"$status_file.message\" >&2; exit $(cat \"$status_file\"); fi\n");
    setRelayReply(200, R"({"device_id":"device-1","server_token":"server-1","client_token":"client-1"})");
    relay_->start();
}

AgentEnvironment AgentFixture::environment() const
{
    AgentEnvironment environment;
    environment.homeDirectory = home();
    environment.resourcesDirectory = resources();
    environment.bundleDirectory = root_ / "Kestrune.app";
    environment.launchctlPath = root_ / "launchctl";
    environment.shellPath = "/bin/zsh";
    environment.provisionURL = relay_->url("/provision");
    environment.healthURL = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/healthz";
    environment.relayURL = "wss://relay.test";
    return environment;
}

void AgentFixture::setRelayReply(int status, std::string body)
{
    relay_->answer(httpReply(status, body));
}

void AgentFixture::failLaunchctl(const std::string& subcommand, int status, const std::string& message)
{
    writeFile(root_ / "launchctl-status/" + subcommand, std::to_string(status));
    writeFile(root_ / "launchctl-status/" + subcommand + ".message", message);
}

std::vector<std::string> AgentFixture::launchctlCalls() const
{
    return exists(root_ / "launchctl-calls") ? splitLines(readFile(root_ / "launchctl-calls"))
                                             : std::vector<std::string>{};
}

} // namespace kestrune::testkit
