#include "AppDelegate.h"
#include "AppTestSupport.h"
#include "QRWindowController.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"
#include "systemd/PrivateUserManager.h"

#include <QAction>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

// The real app and manager, the agent stand-in and, unless registered a second
// time to walk through a real systemd user manager, the launchd stand-in.
class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (std::getenv("KESTRUNE_E2E_SYSTEMD") != nullptr) {
            usePrivateUserManager(environment_);
        }
        ::setenv("LAUNCHD_STANDIN_STATE_DIR", (fixture_.home() + "/launchd").c_str(), 1);
        environment_.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
        environment_.launchctlPath = KESTRUNE_STANDIN_DIR "/launchctl";
        environment_.healthURL = healthURL;
    }
    void TearDown() override
    {
        try { // whatever happened (even a skip), leave no job behind
            AgentManager(environment_).stop();
        } catch (...) {
        }
    }

    bool reaches(app::AppDelegate& delegate, const char* status)
    {
        return waitUntil([&] { return delegate.statusAction()->text() == status; }, std::chrono::seconds(20));
    }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
};

} // namespace

TEST_F(EndToEnd, StartPairQuitRelaunchAndStop)
{
    AlertWatcher alerts;
    auto delegate = std::make_unique<app::AppDelegate>(AgentManager(environment_));
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(reaches(*delegate, "Status: Local agent stopped"));
    delegate->startAgent();
    ASSERT_TRUE(reaches(*delegate, "Status: Local agent running"));

    delegate->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate->currentQRWindow() != nullptr; }));
    // The agent's own printing run, shown unchanged (that the stand-in draws a QR is its own test's).
    const std::string printed =
        runProcess("/bin/zsh", {"-lc", AgentManager(environment_).launchCommand() + " --print-qr"});
    EXPECT_EQ(delegate->currentQRWindow()->textView()->toPlainText().toStdString(), printed);
    // Equal texts prove nothing if both are empty: the agent's code and its scanning line.
    EXPECT_TRUE(printed.find("\u2580") != std::string::npos && printed.find("Scan this code") != std::string::npos)
        << "no QR code in: " << printed;

    // Quitting leaves a running agent to its service manager; the next launch sees it.
    delegate.reset();
    app::AppDelegate relaunched{AgentManager(environment_)};
    relaunched.applicationDidFinishLaunching();
    ASSERT_TRUE(reaches(relaunched, "Status: Local agent running"));
    relaunched.stopAgent();
    ASSERT_TRUE(reaches(relaunched, "Status: Local agent stopped"));
    EXPECT_TRUE(alerts.alerts().empty());
}
