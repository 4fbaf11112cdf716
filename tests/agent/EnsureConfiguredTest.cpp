#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

// The values the agent's shell gets from the file, NUL-separated.
std::string sourcedValues(const std::string& configPath)
{
    return zshOutput("set -a; source \"$1\"; set +a; printf '%s\\0' \"$HALVENIX_DEVICE_ID\" \"$HALVENIX_JWT_SECRET\" "
                     "\"$HALVENIX_RELAY_SERVER_TOKEN\" \"$HALVENIX_RELAY_CLIENT_TOKEN\" \"$HALVENIX_RELAY_URL\" "
                     "\"$HALVENIX_PORT\" \"$HALVENIX_ALLOWED_PATHS\"",
                     {configPath});
}

int failingGenerator(void*, std::size_t)
{
    return 1;
}

} // namespace

TEST(EnsureConfigured, FirstRunWritesSevenLinesAndAnEmptyLog)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.ensureConfigured();

    const auto lines = splitLines(readFile(manager.configPath()));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "HALVENIX_DEVICE_ID='device-1'");
    ASSERT_EQ(lines[1].size(), std::string("HALVENIX_JWT_SECRET=''").size() + 64);
    EXPECT_EQ(lines[1].substr(0, 21), "HALVENIX_JWT_SECRET='");
    EXPECT_EQ(lines[1].substr(21, 64).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(lines[2], "HALVENIX_RELAY_SERVER_TOKEN='server-1'");
    EXPECT_EQ(lines[3], "HALVENIX_RELAY_CLIENT_TOKEN='client-1'");
    EXPECT_EQ(lines[4], "HALVENIX_RELAY_URL='wss://relay.test'");
    EXPECT_EQ(lines[5], "HALVENIX_PORT='8765'");
    EXPECT_EQ(lines[6], "HALVENIX_ALLOWED_PATHS='" + fixture.home() + "'");
    EXPECT_EQ(readFile(manager.configPath()).back(), '\n');
    EXPECT_EQ(fileMode(manager.configPath()), 0600u);
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
    EXPECT_EQ(readFile(manager.logPath()), "");
    EXPECT_EQ(fileMode(manager.logPath()), 0600u);
    EXPECT_FALSE(exists(manager.configPath() + ".tmp"));
}

TEST(EnsureConfigured, ValuesComeBackExactlyWhenTheShellSourcesTheFile)
{
    AgentFixture fixture;
    fixture.setRelayReply(200, R"({"device_id":"it's $HOME","server_token":"back\\slash \"q\" `x`",)"
                               R"("client_token":"line\nfeed caf\u00e9 '' end"})");
    const AgentManager manager = fixture.manager();
    manager.ensureConfigured();
    const std::string secret = splitLines(readFile(manager.configPath()))[1].substr(21, 64);
    const std::string expected = std::string("it's $HOME") + '\0' + secret + '\0' + "back\\slash \"q\" `x`" + '\0' +
                                 "line\nfeed caf\xc3\xa9 '' end" + '\0' + "wss://relay.test" + '\0' + "8765" + '\0' +
                                 fixture.home() + '\0';
    EXPECT_EQ(sourcedValues(manager.configPath()), expected);
}

TEST(EnsureConfigured, LaterRunsLeaveEverythingAloneAndMakeNoRequest)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.ensureStateDirectoryExists();
    writeFile(manager.logPath(), "old log", 0644);
    manager.ensureConfigured();
    const std::string first = readFile(manager.configPath());
    EXPECT_EQ(readFile(manager.logPath()), "old log");
    manager.ensureConfigured();
    EXPECT_EQ(readFile(manager.configPath()), first);
    EXPECT_EQ(fixture.relay().requestCount(), 1);

    // Anything at the path counts as configured, even a directory.
    AgentFixture other;
    const AgentManager otherManager = other.manager();
    otherManager.ensureStateDirectoryExists();
    std::filesystem::create_directory(otherManager.configPath());
    otherManager.ensureConfigured();
    EXPECT_EQ(other.relay().requestCount(), 0);
    EXPECT_FALSE(exists(otherManager.logPath()));
}

TEST(EnsureConfigured, MissingAgentFailsEveryCallBeforeAnyRequest)
{
    AgentFixture fixture;
    std::filesystem::remove(fixture.agentPath());
    const AgentManager manager = fixture.manager();
    for (int call = 0; call < 2; ++call) {
        try {
            manager.ensureConfigured();
            FAIL() << "expected missingBundledAgent";
        } catch (const KestruneError& error) {
            EXPECT_EQ(error.errorDescription(),
                      "Bundled agent was not found at " + fixture.agentPath() + ". Reinstall Kestrune.app.");
        }
        EXPECT_TRUE(exists(manager.stateDirectory()));
        EXPECT_EQ(fixture.relay().requestCount(), 0);
        writeFile(manager.configPath(), "", 0600); // configured or not, the agent is checked
    }
}

TEST(EnsureConfigured, SecretFailureOrAnUnstorableTokenWritesNothing)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.secureRandom = failingGenerator;
    const AgentManager failing(environment);
    try {
        failing.ensureConfigured();
        FAIL() << "expected a secret failure";
    } catch (const KestruneError& error) {
        EXPECT_EQ(error.errorDescription(), "Failed to generate local secret");
    }
    EXPECT_FALSE(exists(failing.configPath()));
    EXPECT_FALSE(exists(failing.logPath()));

    fixture.setRelayReply(200, R"({"device_id":"d","server_token":"s\u0000x","client_token":"c"})");
    const AgentManager manager = fixture.manager();
    EXPECT_THROW(manager.ensureConfigured(), KestruneError);
    EXPECT_FALSE(exists(manager.configPath()));
    EXPECT_EQ(fixture.relay().requestCount(), 2); // nothing kept: the next call provisions afresh
}

TEST(EnsureConfigured, OverlappingFirstRunsProvisionOnce)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] {
            try {
                manager.ensureConfigured();
            } catch (...) {
                ++failures;
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fixture.relay().requestCount(), 1);
    EXPECT_EQ(splitLines(readFile(manager.configPath())).size(), 7u);
}
