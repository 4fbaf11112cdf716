#include "PrivateUserManager.h"
#include "agent/AbsorbedFailures.h"
#include "agent/SystemdError.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace testing;

namespace {

// A property of the agent's unit, or of the manager itself when `unit` is empty.
std::string property(const std::string& name, const char* unit = systemdUnitName)
{
    std::vector<std::string> arguments{"--user", "show", "--value", "-p", name, unit};
    const std::string value = runProcess("/usr/bin/systemctl", {arguments.begin(), arguments.end() - !*unit});
    return value.substr(0, value.find('\n'));
}

// True once `condition` holds, which it is asked only until then.
bool eventually(const std::function<bool()>& condition)
{
    int tries = 0;
    while (!condition() && ++tries < 150) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return tries < 150;
}

} // namespace

// The private manager's HOME holds a space and an apostrophe; below it, the agent's
// home adds the other characters the unit-file syntax treats specially and
// non-ASCII letters, so the agent starts only when the unit quotes them right.
// Start reloads the manager for a new unit only, restarts through the bus and waits
// for that job; the watch hears every change, across a re-executed manager.
TEST(SystemdService, TheRealUserManagerRunsRestartsStopsAndIsWatched)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    if (usePrivateUserManager(environment); IsSkipped() || HasFailure()) {
        return;
    }
    const std::string token = "it's \"q\" $HOME ${X} %h %% back\\slash\\ line\nfeed";
    fixture.relay().answer(httpReply(200, R"({"device_id":"device $1","server_token":)" + nlohmann::json(token).dump() +
                                              R"(,"client_token":"client"})"));
    environment.homeDirectory = std::string(std::getenv("HOME")) + "/100%h ${HOME} $HOME \"q\" \\slash Zoë";
    environment.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
    environment.healthURL = healthURL;
    const AgentManager agent(environment);
    const std::string unit = systemdUnitName;
    static std::string absorbed; // what start absorbs, in the manager's words; routine lines marked
    setAbsorbedFailureReporter([](AbsorbedSeverity severity, const std::string& message) {
        absorbed += (severity == AbsorbedSeverity::routine ? "info: " : "") + message + "\n";
    });
    // No manager there: the unit would go in the app's config folder, Start says why
    // it cannot, Stop throws it, and the watch says so once, not on every try after.
    environment.systemdBusAddress = "unix:path=/nonexistent/systemd/private";
    const AgentManager lost(environment);
    const std::string noBus = "Failed to connect to bus: No such file or directory";
    EXPECT_EQ(lost.launchAgentPath(), *environment.configHomeDirectory + "/systemd/user/" + unit);
    lost.start();
    EXPECT_THAT([&] { lost.stop(); }, ThrowsMessage<SystemdError>(noBus));
    // The watch tries four times in that second.
    std::this_thread::sleep_for(
        (lost.watchAgentJob([](const AgentJobState&) { ADD_FAILURE(); }), std::chrono::seconds(1)));
    EXPECT_EQ(absorbed, "systemd user manager: " + noBus + "\nsystemd user manager: " + noBus +
                            "\ninfo: systemd user manager: " + noBus +
                            "; the agent's state is not watched meanwhile.\n");
    // A manager without the unit.
    EXPECT_THAT([&] { agent.stop(); },
                ThrowsMessage<SystemdError>("Failed to stop " + unit + ": Unit " + unit + " not loaded."));
    agent.start();
    EXPECT_THAT(absorbed,
                HasSubstr("systemd user manager: Failed to restart " + unit + ": Unit " + unit + " not found."));
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    // systemd's own reader of the unit; without --recursive-errors=yes unknown keys pass.
    EXPECT_NO_THROW(runProcess("/usr/bin/systemd-analyze",
                               {"--user", "--recursive-errors=yes", "verify", agent.launchAgentPath()}));
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << readFile(agent.logPath());
    const std::string first = property("MainPID");
    const std::string variables = '\0' + readFile("/proc/" + first + "/environ");
    for (const std::string& variable : {std::string("DEVICE_ID=device $1"), "RELAY_SERVER_TOKEN=" + token,
                                        "ALLOWED_PATHS=" + environment.homeDirectory}) {
        EXPECT_THAT(variables, HasSubstr(std::string("\0HALVENIX_", 10) + variable + '\0'));
    }
    EXPECT_THAT(readFile(agent.logPath()), HasSubstr("listening on 127.0.0.1:8765"));

    // Killed, it is heard down and, once the manager restarts it, up. Each state waited
    // for lasts until the test's next step.
    std::mutex mutex;
    std::string heard; // the state last told, as "active/running"
    const auto watch = agent.watchAgentJob([&](const AgentJobState& state) {
        const std::lock_guard guard(mutex);
        heard = state.activeState + "/" + state.subState;
    });
    const auto hears = [&](const std::string& state) {
        return eventually([&] { return std::lock_guard(mutex), heard == state; });
    };
    ASSERT_TRUE(hears("active/running"));
    ::kill(std::stoi(first), SIGKILL);
    EXPECT_TRUE(hears("activating/auto-restart"));
    EXPECT_TRUE(hears("active/running"));
    // The app's Start on an unchanged unit makes no reload: the manager stamps the end
    // of every reload (and of nothing else) in this property.
    const std::string loaded = property("UnitsLoadTimestampMonotonic", "");
    agent.writeLaunchAgent();
    agent.start();
    EXPECT_EQ(property("UnitsLoadTimestampMonotonic", ""), loaded);

    // A re-executed manager: the watch, connected again, hears the next kill, and Start
    // restarts the agent through the bus. Stopped, it stays down but enabled.
    const std::string second = property("MainPID");
    runProcess("/usr/bin/systemctl", {"--user", "daemon-reexec"});
    ::kill(std::stoi(second), SIGKILL);
    EXPECT_TRUE(hears("activating/auto-restart"));
    agent.start();
    ASSERT_TRUE(eventually([&] { return property("MainPID") != second && agent.isAgentHealthy(); }));
    agent.stop(); // once its job has ended
    EXPECT_EQ(property("ActiveState") + "/" + property("UnitFileState"), "inactive/enabled");
}
