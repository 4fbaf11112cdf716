#include "agent/AgentManager.h"
#include "common/AgentFixture.h"
#include "common/FileAudit.h"
#include "support/KestruneError.h"
#include "support/TextEncoding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace kestrune;
using namespace kestrune::testkit;
using testing::Each;
using testing::EndsWith;
using testing::StrEq;
using testing::ThrowsMessage;

// Under umask 000 only the manager's own modes protect its files. The log comes
// before config.env, which marks the first run as done, and both appear by rename.
TEST(EnsureConfigured, FirstRunWritesSevenPrivateLinesAfterTheLog)
{
    const ScopedUmask umask(0);
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.ensureStateDirectoryExists();
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700u);
    std::vector<std::string> writes;
    std::vector<std::string> changes = nameChanges(manager.stateDirectory(), [&] {
        writes = fileWrites([&] {
            manager.ensureConfigured();
            manager.writeLaunchAgent();
        });
    });
    EXPECT_THAT(writes, Each(EndsWith(".tmp 600")));
    EXPECT_THAT(writes, testing::Contains(manager.launchAgentPath() + ".tmp 600"));
    std::erase_if(changes, [](const std::string& change) { return change.ends_with(".tmp"); });
    EXPECT_EQ(changes, (std::vector<std::string>{"moved-to server.log", "moved-to config.env"}));

    const std::string text = readFile(manager.configPath());
    std::smatch secret;
    ASSERT_TRUE(std::regex_search(text, secret, std::regex("SECRET='([0-9a-f]{64})'\n"))) << text;
    EXPECT_EQ(text, "HALVENIX_DEVICE_ID='device-1'\nHALVENIX_JWT_SECRET='" + secret[1].str() +
                        "'\nHALVENIX_RELAY_SERVER_TOKEN='server-1'\nHALVENIX_RELAY_CLIENT_TOKEN='client-1'\n"
                        "HALVENIX_RELAY_URL='wss://relay.test'\nHALVENIX_PORT='8765'\nHALVENIX_ALLOWED_PATHS=" +
                        shellQuote(fixture.home()) + "\n"); // the home exactly as it is
    EXPECT_EQ(fileMode(manager.configPath()), 0600u);
    EXPECT_EQ(readFile(manager.logPath()), "");
    EXPECT_EQ(fileMode(manager.logPath()), 0600u);
    EXPECT_EQ(fileMode(manager.launchAgentPath()), 0600u);

    // The request is a bare POST: no body and no header field of our own.
    const std::string request = fixture.relay().lastRequest();
    EXPECT_EQ(request.rfind("POST /provision HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_EQ(request.find("Content-Type"), std::string::npos) << request;
    EXPECT_TRUE(request.ends_with("\r\n\r\n")) << request;
}

TEST(EnsureConfigured, LaterRunsLeaveEverythingAloneAndMakeNoRequest)
{
    AgentFixture fixture;
    const AgentManager manager = fixture.manager();
    manager.ensureStateDirectoryExists();
    writeFile(manager.logPath(), "old log", 0600);
    manager.ensureConfigured();
    manager.ensureConfigured();
    EXPECT_EQ(readFile(manager.logPath()), "old log");
    std::filesystem::remove(manager.configPath());
    std::filesystem::create_directory(manager.configPath()); // anything there counts, even a folder
    manager.ensureConfigured();
    EXPECT_EQ(fixture.relay().requestCount(), 1);
}

TEST(EnsureConfigured, MissingAgentOrSecretFailsBeforeAnyRequestOrFile)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    environment.secureRandom = [](void*, std::size_t) { return 1; };
    EXPECT_THAT([&] { AgentManager(environment).ensureConfigured(); },
                ThrowsMessage<KestruneError>(StrEq("Failed to generate local secret")));
    EXPECT_TRUE(std::filesystem::is_empty(fixture.manager().stateDirectory()));

    std::filesystem::remove(fixture.agentPath());
    for (const bool configured : {false, true}) { // configured or not, the agent is checked
        if (configured) {
            writeFile(fixture.manager().configPath(), "", 0600);
        }
        EXPECT_THAT([&] { fixture.manager().ensureConfigured(); },
                    ThrowsMessage<KestruneError>(StrEq("Bundled agent was not found at " + fixture.agentPath() +
                                                       ". Reinstall Kestrune.app.")));
    }
    EXPECT_EQ(fixture.relay().requestCount(), 1); // the secret's run only
}
