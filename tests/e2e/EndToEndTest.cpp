#include "AppDelegate.h"
#include "AppTestSupport.h"
#include "QRWindowController.h"
#include "common/TestFiles.h"
#include "support/ProcessRunner.h"
#include "systemd/PrivateUserManager.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

extern char** environ;

using namespace kestrune;
using namespace kestrune::testkit;
using std::chrono::seconds;

namespace {

const std::string standinDirectory = KESTRUNE_STANDIN_DIR;
const std::string standinResources = KESTRUNE_STANDIN_RESOURCES;
// Registered a second time to walk through a real systemd user manager.
const bool onSystemd = std::getenv("KESTRUNE_E2E_SYSTEMD") != nullptr;

// The relay stand-in on a free loopback port, for the life of the object.
class RelayStandin {
public:
    RelayStandin()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string program = standinDirectory + "/relay-standin";
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--port"), const_cast<char*>("0"),
                        nullptr};
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            ::close(fds[0]);
            throw std::runtime_error("cannot start the relay stand-in");
        }
        FILE* output = ::fdopen(fds[0], "r");
        const bool told = std::fscanf(output, "listening on 127.0.0.1:%d", &port_) == 1;
        std::fclose(output);
        if (!told) {
            throw std::runtime_error("the relay stand-in did not say its port");
        }
    }
    RelayStandin(const RelayStandin&) = delete;
    RelayStandin& operator=(const RelayStandin&) = delete;
    ~RelayStandin()
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }

    std::string provisionURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/provision"; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

class EndToEnd : public ::testing::Test {
protected:
    EndToEnd()
    {
        ::setenv("LAUNCHD_STANDIN_STATE_DIR", (root_ / "launchd").c_str(), 1);
        ::setenv("LAUNCHD_STANDIN_THROTTLE_SECONDS", "1", 1);
    }
    void SetUp() override { if (onSystemd) { requirePrivateUserManager(); } }

    ~EndToEnd() override
    {
        // Whatever happened, leave no job behind.
        try {
            manager().stop();
        } catch (...) {
        }
    }

    AgentManager manager() const
    {
        AgentEnvironment environment;
        environment.homeDirectory = root_ / "home";
        environment.resourcesDirectory = standinResources;
        environment.bundleDirectory = root_ / "unused";
        environment.launchctlPath = standinDirectory + "/launchctl";
        environment.shellPath = "/bin/zsh";
        environment.provisionURL = relay_.provisionURL();
        environment.healthURL = "http://127.0.0.1:8765/healthz";
        environment.relayURL = "wss://relay.test";
        if (onSystemd) { usePrivateUserManager(environment); }
        return AgentManager(environment);
    }

    static QString statusOf(const app::AppDelegate& delegate) { return delegate.statusAction()->text(); }

    static bool waitForStatus(const app::AppDelegate& delegate, const QString& status, seconds deadline = seconds(20))
    {
        return waitUntil([&] { return statusOf(delegate) == status; }, deadline);
    }

    TemporaryDirectory root_;
    RelayStandin relay_;
};

const QString running = QStringLiteral("Status: Local agent running");
const QString stopped = QStringLiteral("Status: Local agent stopped");

} // namespace

TEST_F(EndToEnd, StartPairStopQuitAndRelaunch)
{
    AlertWatcher alerts;
    auto delegate = std::make_unique<app::AppDelegate>(manager());
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(statusOf(*delegate), QStringLiteral("Status: Checking..."));
    ASSERT_TRUE(waitForStatus(*delegate, stopped));

    delegate->startAgent();
    EXPECT_EQ(statusOf(*delegate), QStringLiteral("Status: Starting agent..."));
    ASSERT_TRUE(waitForStatus(*delegate, running)) << statusOf(*delegate).toStdString();

    delegate->showPairingQR();
    EXPECT_EQ(statusOf(*delegate), QStringLiteral("Status: Preparing pairing QR..."));
    ASSERT_TRUE(waitUntil([&] { return delegate->currentQRWindow() != nullptr; }));
    const AgentManager agent = manager();
    const std::string printed = runProcess("/bin/zsh", {"-lc", agent.launchCommand() + " --print-qr"});
    EXPECT_NE(printed.find("\xe2\x96\x88"), std::string::npos) << "the stand-in draws its code with blocks";
    EXPECT_EQ(delegate->currentQRWindow()->textView()->toPlainText().toStdString(), printed);

    delegate->stopAgent();
    EXPECT_EQ(statusOf(*delegate), QStringLiteral("Status: Stopping agent..."));
    ASSERT_TRUE(waitForStatus(*delegate, stopped));

    // Quitting leaves a running agent to its service manager; the next launch sees it.
    delegate->startAgent();
    ASSERT_TRUE(waitForStatus(*delegate, running));
    delegate.reset();
    EXPECT_TRUE(agent.isAgentHealthy());
    auto relaunched = std::make_unique<app::AppDelegate>(manager());
    relaunched->applicationDidFinishLaunching();
    ASSERT_TRUE(waitForStatus(*relaunched, running));
    relaunched->stopAgent();
    ASSERT_TRUE(waitForStatus(*relaunched, stopped));
    EXPECT_TRUE(alerts.alerts().empty());
}

TEST_F(EndToEnd, RestartWithNothingLoadedStartsTheAgent)
{
    AlertWatcher alerts;
    app::AppDelegate delegate(manager());
    delegate.applicationDidFinishLaunching();
    delegate.restartAgent();
    EXPECT_EQ(statusOf(delegate), QStringLiteral("Status: Restarting agent..."));
    ASSERT_TRUE(waitForStatus(delegate, running));
    EXPECT_TRUE(alerts.alerts().empty()); // the failed stop is not reported

    // A second restart replaces the running agent and keeps it up.
    delegate.restartAgent();
    ASSERT_TRUE(waitForStatus(delegate, running));
    delegate.stopAgent();
    ASSERT_TRUE(waitForStatus(delegate, stopped));
    EXPECT_TRUE(alerts.alerts().empty());
}
