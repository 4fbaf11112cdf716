#include "PrivateUserManager.h"
#include "agent/AgentManager.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"
#include "support/KestruneError.h"
#include "support/ProcessRunner.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

std::string systemctl(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all{"--user"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::string output = runProcess(systemctlPath, all);
    return output.substr(0, output.find_last_not_of('\n') + 1);
}

std::string unitProperty(const std::string& name)
{
    return systemctl({"show", "--value", "--property=" + name, systemdUnitName});
}

template <typename Condition> bool eventually(Condition condition)
{
    for (int tries = 0; tries < 150; ++tries) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The private manager's HOME holds a space and an apostrophe; below it, the agent's
// home adds every other character the unit-file syntax treats specially.
class SystemdService : public PrivateUserManagerTest {
  protected:
    void TearDown() override
    {
        try {
            systemctl({"disable", "--now", systemdUnitName});
        } catch (...) {
        }
    }

    AgentManager manager() const
    {
        const std::string home = std::getenv("HOME");
        AgentEnvironment environment = relay_.environment();
        environment.homeDirectory = home + "/100% \"$USER\" \\ here";
        environment.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
        usePrivateUserManager(environment);
        environment.healthURL = healthURL;
        return AgentManager(environment);
    }

    AgentFixture relay_;
};

std::map<std::string, std::string> environmentOf(const std::string& pid)
{
    std::map<std::string, std::string> variables;
    std::string entries = readFile("/proc/" + pid + "/environ");
    for (std::size_t start = 0, end; start < entries.size(); start = end + 1) {
        end = entries.find('\0', start);
        const std::string entry = entries.substr(start, end - start);
        variables[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    return variables;
}

} // namespace

TEST_F(SystemdService, TheAgentReceivesItsConfigurationByteForByte)
{
    const std::string token = "it's \"q\" $HOME ${X} %h %% back\\slash\\ line\nfeed";
    relay_.setRelayReply(200, R"({"device_id":"device $1","server_token":"it's \"q\" $HOME ${X} %h %% )"
                              R"(back\\slash\\ line\nfeed","client_token":"client"})");
    const AgentManager agent = manager();
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    EXPECT_EQ(fileMode(agent.launchAgentPath()), 0600u);
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << readFile(agent.logPath());

    auto variables = environmentOf(unitProperty("MainPID"));
    EXPECT_EQ(variables["HALVENIX_DEVICE_ID"], "device $1");
    EXPECT_EQ(variables["HALVENIX_RELAY_SERVER_TOKEN"], token);
    EXPECT_EQ(variables["HALVENIX_ALLOWED_PATHS"], std::string(std::getenv("HOME")) + "/100% \"$USER\" \\ here");
    EXPECT_NE(readFile(agent.logPath()).find("listening on 127.0.0.1:8765"), std::string::npos);
}

TEST_F(SystemdService, KeptAliveRestartedAndStoppedButStillEnabled)
{
    const AgentManager agent = manager();
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); }));

    const std::string first = unitProperty("MainPID");
    ::kill(std::stoi(first), SIGKILL);
    EXPECT_TRUE(eventually([&] { return unitProperty("MainPID") != "0" && unitProperty("MainPID") != first; }));
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << "came back after being killed";

    const std::string second = unitProperty("MainPID");
    agent.writeLaunchAgent();
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); }));
    EXPECT_NE(unitProperty("MainPID"), second) << "a start replaces the running agent";

    agent.stop();
    EXPECT_FALSE(agent.isAgentHealthy());
    // Stopped on request, not waiting to be restarted, and back at the next login.
    EXPECT_EQ(unitProperty("ActiveState") + "/" + unitProperty("SubState"), "inactive/dead");
    EXPECT_EQ(systemctl({"is-enabled", systemdUnitName}), "enabled");
    EXPECT_TRUE(exists(agent.launchAgentPath()));

    std::filesystem::remove(agent.launchAgentPath());
    agent.writeLaunchAgent();
    agent.start();
    EXPECT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << "started again after the unit was deleted";
}

TEST_F(SystemdService, FailuresOfTheControlToolAreAbsorbedByStartAndReportedByStop)
{
    const AgentManager agent = manager();
    try {
        agent.stop(); // nothing written yet: the manager knows no such unit
        FAIL() << "expected systemctl's failure";
    } catch (const KestruneError& error) {
        EXPECT_NE(error.errorDescription().find("not loaded"), std::string::npos) << error.errorDescription();
    }

    AgentEnvironment environment = relay_.environment();
    usePrivateUserManager(environment);
    environment.systemctlPath = "/nonexistent/systemctl";
    EXPECT_NO_THROW(AgentManager(environment).start());
    EXPECT_THROW(AgentManager(environment).stop(), std::system_error);
}
