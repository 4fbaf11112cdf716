#include "PrivateUserManager.h"
#include "agent/AbsorbedFailures.h"
#include "agent/SystemdBus.h"
#include "agent/SystemdError.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <condition_variable>
#include <thread>

using namespace kestrune;
using namespace kestrune::testkit;
using testing::HasSubstr;

namespace {

std::string systemctl(const std::vector<std::string>& arguments)
{
    std::vector<std::string> user{"--user"};
    user.insert(user.end(), arguments.begin(), arguments.end());
    return runProcess("/usr/bin/systemctl", user);
}

std::string unitProperty(const std::string& name)
{
    const std::string value = systemctl({"show", "--value", "--property=" + name, systemdUnitName});
    return value.substr(0, value.find('\n'));
}

bool eventually(const std::function<bool()>& condition)
{
    for (int tries = 0; tries < 150 && !condition(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

// The manager's reloads, counted on a connection of the test's own from its
// Reloading(true) signals.
class Reloads {
  public:
    Reloads()
    {
        sd_bus_slot* slot = nullptr;
        const auto count = [](sd_bus_message* message, void* reloads, sd_bus_error*) {
            int starting = 0;
            *static_cast<int*>(reloads) += sd_bus_message_read(message, "b", &starting) > 0 && starting != 0;
            return 0;
        };
        EXPECT_GE(sd_bus_match_signal(bus_.get(), &slot, systemd::signalSender(bus_.get()), systemd::managerPath,
                                      systemd::managerInterface, "Reloading", count, &count_),
                  0);
        slot_.reset(slot);
        systemd::callManager(bus_.get(), "subscribe", "Subscribe", "");
    }
    // The reloads since the last call. Asks the manager something first: its answer
    // comes after every signal that it sent before.
    int take()
    {
        systemd::stringProperty(bus_.get(), systemd::managerPath, systemd::managerInterface, "Version", "ask");
        while (sd_bus_process(bus_.get(), nullptr) > 0) {
        }
        return std::exchange(count_, 0);
    }

  private:
    systemd::Bus bus_ = systemd::connectToUserManager(std::nullopt);
    systemd::Slot slot_;
    int count_ = 0;
};

// The states a watch tells, "active/running" and so on, for the test to wait on.
class Heard {
  public:
    AgentJobStateChanged handler()
    {
        return [this](const AgentJobState& state) {
            const std::lock_guard guard(mutex_);
            states_.push_back(state.activeState + "/" + state.subState);
            told_.notify_all();
        };
    }
    // True once a state told after the one this last found is `wanted`, or, for
    // "!<active state>", any state with another active state.
    bool hears(const std::string& wanted)
    {
        const auto matches = [&](const std::string& state) {
            return wanted[0] == '!' ? !state.starts_with(wanted.substr(1) + "/") : state == wanted;
        };
        std::unique_lock lock(mutex_);
        return told_.wait_for(lock, std::chrono::seconds(20), [&] {
            while (next_ < states_.size()) {
                if (matches(states_[next_++])) {
                    return true;
                }
            }
            return false;
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable told_;
    std::vector<std::string> states_;
    std::size_t next_ = 0;
};

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
// Start reloads the manager for a new unit only, restarts through the bus and waits
// for that job; the watch hears every change, across a re-executed manager.
TEST_F(SystemdService, TheRealUserManagerRunsRestartsStopsAndIsWatched)
{
    const std::string token = "it's \"q\" $HOME ${X} %h %% back\\slash\\ line\nfeed";
    fixture_.relay().answer(httpReply(200, R"({"device_id":"device $1","server_token":)" +
                                               nlohmann::json(token).dump() + R"(,"client_token":"client"})"));
    environment_.homeDirectory = std::string(std::getenv("HOME")) + "/100%h ${HOME} $HOME \"q\" \\slash Zoë";
    environment_.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
    environment_.healthURL = healthURL;
    const AgentManager agent(environment_);
    const std::string unit = systemdUnitName;
    EXPECT_THAT([&] { agent.stop(); },
                testing::ThrowsMessage<SystemdError>("Failed to stop " + unit + ": Unit " + unit + " not loaded."));
    static std::string absorbed; // a start without a unit fails, and says why in the manager's words
    setAbsorbedFailureReporter([](AbsorbedSeverity, const std::string& message) { absorbed += message + "\n"; });
    agent.start();
    EXPECT_THAT(absorbed,
                HasSubstr("systemd user manager: Failed to restart " + unit + ": Unit " + unit + " not found."));
    agent.ensureConfigured();
    agent.writeLaunchAgent();
    // systemd's own reader of the unit; without --recursive-errors=yes unknown keys pass.
    EXPECT_NO_THROW(runProcess("/usr/bin/systemd-analyze",
                               {"--user", "--recursive-errors=yes", "verify", agent.launchAgentPath()}));
    Reloads reloads;
    agent.start();
    EXPECT_EQ(reloads.take(), 1); // a new unit
    ASSERT_TRUE(eventually([&] { return agent.isAgentHealthy(); })) << readFile(agent.logPath());
    const std::string first = unitProperty("MainPID");
    const std::string variables = '\0' + readFile("/proc/" + first + "/environ");
    for (const std::string& variable : {std::string("DEVICE_ID=device $1"), "RELAY_SERVER_TOKEN=" + token,
                                        "ALLOWED_PATHS=" + environment_.homeDirectory}) {
        EXPECT_THAT(variables, HasSubstr(std::string("\0HALVENIX_", 10) + variable + '\0'));
    }
    EXPECT_THAT(readFile(agent.logPath()), HasSubstr("listening on 127.0.0.1:8765"));

    // Killed, it is heard down and, once the manager restarts it, up.
    Heard heard;
    auto watch = agent.watchAgentJob(heard.handler());
    ASSERT_TRUE(heard.hears("active/running"));
    ::kill(std::stoi(first), SIGKILL);
    EXPECT_TRUE(heard.hears("!active"));
    EXPECT_TRUE(heard.hears("active/running"));
    // The app's Start on an unchanged unit: no reload, and a new agent.
    const std::string second = unitProperty("MainPID");
    agent.writeLaunchAgent();
    agent.start();
    EXPECT_EQ(reloads.take(), 0);
    ASSERT_TRUE(eventually([&] { return unitProperty("MainPID") != second && agent.isAgentHealthy(); }));

    // A re-executed manager: the watch connects again and tells the state, hears the
    // next kill, and Start still works.
    const std::string third = unitProperty("MainPID");
    systemctl({"daemon-reexec"});
    ASSERT_TRUE(heard.hears("active/running"));
    ::kill(std::stoi(third), SIGKILL);
    EXPECT_TRUE(heard.hears("!active"));
    agent.start();
    ASSERT_TRUE(eventually([&] { return unitProperty("MainPID") != third && agent.isAgentHealthy(); }));
    agent.stop();
    EXPECT_TRUE(heard.hears("inactive/dead"));
    EXPECT_EQ(unitProperty("ActiveState") + "/" + unitProperty("SubState") + "/" + unitProperty("UnitFileState"),
              "inactive/dead/enabled");
}
