#include "PrivateUserManager.h"
#include "agent/AbsorbedFailures.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using testing::HasSubstr;

namespace {

std::string unitProperty(const std::string& name)
{
    const std::string value =
        runProcess(systemctlPath, {"--user", "show", "--value", "--property=" + name, systemdUnitName});
    return value.substr(0, value.find('\n'));
}

bool eventually(const std::function<bool()>& condition)
{
    for (int tries = 0; tries < 150 && !condition(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

class SystemdService : public ::testing::Test {
  protected:
    void SetUp() override { usePrivateUserManager(environment_); }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
};

} // namespace

// The private manager's HOME holds a space and an apostrophe; below it, the agent's
// home adds the other characters the unit-file syntax treats specially and
// non-ASCII letters, so the agent starts only when the unit quotes them right.
TEST_F(SystemdService, TheRealUserManagerRunsRestartsAndStopsTheAgentWithItsConfiguration)
{
    const std::string token = "it's \"q\" $HOME ${X} %h %% back\\slash\\ line\nfeed";
    fixture_.relay().answer(httpReply(200, R"({"device_id":"device $1","server_token":)" +
                                               nlohmann::json(token).dump() + R"(,"client_token":"client"})"));
    environment_.homeDirectory = std::string(std::getenv("HOME")) + "/100%h ${HOME} $HOME \"q\" \\slash Zoë";
    environment_.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
    environment_.healthURL = healthURL;
    const AgentManager agent(environment_);
    EXPECT_THAT([&] { agent.stop(); }, testing::ThrowsMessage<KestruneError>(HasSubstr("not loaded"))); // no unit yet
    static std::string absorbed; // a start without a unit fails, and says why in systemctl's words
    setAbsorbedFailureReporter([](AbsorbedSeverity, const std::string& message) { absorbed += message + "\n"; });
    agent.start();
    EXPECT_THAT(absorbed, HasSubstr("systemctl --user restart " + std::string(systemdUnitName) + " failed: Failed to"));
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    // systemd's own reader of the unit; without --recursive-errors=yes unknown keys pass.
    EXPECT_NO_THROW(runProcess("/usr/bin/systemd-analyze",
                               {"--user", "--recursive-errors=yes", "verify", agent.launchAgentPath()}));
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << readFile(agent.logPath());
    const std::string first = unitProperty("MainPID");
    const std::string variables = '\0' + readFile("/proc/" + first + "/environ");
    for (const std::string& variable : {std::string("DEVICE_ID=device $1"), "RELAY_SERVER_TOKEN=" + token,
                                        "ALLOWED_PATHS=" + environment_.homeDirectory}) {
        EXPECT_THAT(variables, HasSubstr(std::string("\0HALVENIX_", 10) + variable + '\0'));
    }
    EXPECT_THAT(readFile(agent.logPath()), HasSubstr("listening on 127.0.0.1:8765"));

    // Killed, it comes back; a start replaces it; stopped, it stays down but enabled.
    ::kill(std::stoi(first), SIGKILL);
    ASSERT_TRUE(eventually([&] { return unitProperty("MainPID") != first && agent.isAgentHealthy(); }));
    const std::string second = unitProperty("MainPID");
    agent.start();
    ASSERT_TRUE(eventually([&] { return unitProperty("MainPID") != second && agent.isAgentHealthy(); }));
    agent.stop();
    EXPECT_EQ(unitProperty("ActiveState") + "/" + unitProperty("SubState") + "/" + unitProperty("UnitFileState"),
              "inactive/dead/enabled");
}
