#include "PrivateUserManager.h"
#include "agent/AbsorbedFailures.h"
#include "agent/SystemdError.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using namespace testing;

// The private manager's HOME holds a space and an apostrophe; below it, the agent's
// home adds the other characters the unit-file syntax treats specially and
// non-ASCII letters, so the agent starts only when the unit quotes them right.
// Start reloads the manager for a new unit only, restarts through the bus and waits
// for that job.
TEST(SystemdService, TheRealUserManagerRunsRestartsAndStopsTheAgent)
{
    AgentFixture fixture;
    AgentEnvironment environment = fixture.environment();
    if (usePrivateUserManager(environment); IsSkipped() || HasFailure()) {
        return;
    }
    // The first line of `systemctl --user COMMAND -P PROPERTY <the agent's unit>`.
    const auto systemctl = [](const std::string& command, const std::string& property = "ActiveState") {
        const std::string out = runProcess("/usr/bin/systemctl", {"--user", command, "-P", property, systemdUnitName});
        return out.substr(0, out.find('\n'));
    };
    const auto eventually = [](const std::function<bool()>& condition) { // asked only until it holds
        int tries = 0;
        while (!condition() && ++tries < 150) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return tries < 150;
    };
    const std::string token = "it's \"q\" $HOME ${X} %h %% back\\slash\\ line\nfeed";
    fixture.relay().answer(httpReply(200, R"({"device_id":"device $1","server_token":)" + nlohmann::json(token).dump() +
                                              R"(,"client_token":"client"})"));
    environment.homeDirectory = std::string(std::getenv("HOME")) + "/100%h ${HOME} $HOME \"q\" \\slash Zoë";
    environment.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
    environment.healthURL = healthURL;
    const AgentManager agent(environment);
    static std::string absorbed; // what start absorbs, in the manager's words; routine lines marked
    setAbsorbedFailureReporter([](AbsorbedSeverity severity, const std::string& message) {
        absorbed += (severity == AbsorbedSeverity::routine ? "info: " : "") + message + "\n";
    });
    // No manager there: the unit would go in the app's config folder, Start says why
    // it cannot, Stop throws it, and the watch says so once, not on each of the four
    // tries it makes in a second.
    environment.systemdBusAddress = "unix:path=/nonexistent/systemd/private";
    const AgentManager lost(environment);
    const std::string why = "Failed to connect to bus: No such file or directory", log = "systemd user manager: " + why;
    EXPECT_EQ(lost.launchAgentPath(), *environment.configHomeDirectory + "/systemd/user/" + systemdUnitName);
    lost.start();
    EXPECT_THAT([&] { lost.stop(); }, ThrowsMessage<SystemdError>(why));
    std::this_thread::sleep_for((lost.watchAgentJob([](auto&) { ADD_FAILURE(); }), std::chrono::seconds(1)));
    EXPECT_EQ(absorbed, log + "\n" + log + "\ninfo: " + log + "; the agent's state is not watched meanwhile.\n");
    // A manager without the unit refuses in its own words.
    EXPECT_THAT([&] { agent.stop(); }, ThrowsMessage<SystemdError>("Failed to stop app.halvenix.server.service: "
                                                                   "Unit app.halvenix.server.service not loaded."));
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    // systemd's own reader of the unit; without --recursive-errors=yes unknown keys pass.
    EXPECT_NO_THROW(runProcess("/usr/bin/systemd-analyze",
                               {"--user", "--recursive-errors=yes", "verify", agent.launchAgentPath()}));
    agent.start();
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << readFile(agent.logPath());
    const std::string variables = '\0' + readFile("/proc/" + systemctl("show", "MainPID") + "/environ");
    for (const std::string& variable : {std::string("DEVICE_ID=device $1"), "RELAY_SERVER_TOKEN=" + token,
                                        "ALLOWED_PATHS=" + environment.homeDirectory}) {
        EXPECT_THAT(variables, HasSubstr(std::string("\0HALVENIX_", 10) + variable + '\0'));
    }
    EXPECT_THAT(readFile(agent.logPath()), HasSubstr("listening on 127.0.0.1:8765"));

    // The app's Start on an unchanged unit restarts the agent and makes no reload: the
    // manager stamps the end of every reload (and of nothing else) in this property.
    const std::string stamp = runProcess("/usr/bin/systemctl", {"--user", "show", "-p", "UnitsLoadTimestampMonotonic"});
    const std::string pid = systemctl("show", "MainPID");
    agent.writeLaunchAgent();
    agent.start();
    EXPECT_EQ(runProcess("/usr/bin/systemctl", {"--user", "show", "-p", "UnitsLoadTimestampMonotonic"}), stamp);
    EXPECT_NE(systemctl("show", "MainPID"), pid) << "a running agent was not restarted";
    // Killed, the agent waits for the manager's restart; Start restarts it through the
    // bus, its job ended as it returns, well before the manager would. (What the watch
    // hears, across a re-executed manager too, is the end-to-end walk's under systemd.)
    ::kill(std::stoi(systemctl("show", "MainPID")), SIGKILL);
    ASSERT_TRUE(eventually([&] { return systemctl("show", "SubState") == "auto-restart"; }));
    agent.start();
    EXPECT_EQ(systemctl("show"), "active");
    // Stop returns once its job has ended, here a second after the agent did, and leaves
    // the unit enabled (the manager keeps a file's state until it reloads: the file is asked).
    std::filesystem::create_directory(agent.launchAgentPath() + ".d");
    writeFile(agent.launchAgentPath() + ".d/slow.conf", "[Service]\nExecStopPost=/bin/sleep 1\n");
    runProcess("/usr/bin/systemctl", {"--user", "daemon-reload"});
    agent.stop();
    EXPECT_EQ(systemctl("show") + "/" + systemctl("is-enabled"), "inactive/enabled");
}
