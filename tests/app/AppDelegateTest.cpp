#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>

using namespace kestrune;
using namespace kestrune::testkit;
using kestrune::app::AppDelegate;

namespace {

const QString running = QStringLiteral("Status: Local agent running");
const QString stopped = QStringLiteral("Status: Local agent stopped");
const std::string qrText = "█▀▀▀▀▀█ ▄ █▀▀▀▀▀█\n█ ███ █ ▀ █ ███ █\n▀▀▀▀▀▀▀ ▀ ▀▀▀▀▀▀▀\n\n";

// A real manager on the shared agent fixture, plus a health endpoint the test answers.
class AppDelegateTest : public ::testing::Test {
  protected:
    AppDelegateTest()
    {
        health_.answer([this] { return httpReply(healthStatus_.load(), ""); });
        health_.start();
        writeFile(fixture_.resources() + "/qr.txt", qrText);
        writeScript(fixture_.agentPath(),
                    "[ \"$1\" = --print-qr ] && exec cat '" + fixture_.resources() + "/qr.txt'\nexit 64\n");
    }

    void TearDown() override
    {
        delegate_.reset();
        ASSERT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
        for (QWidget* window : QApplication::topLevelWidgets()) {
            window->close();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    AgentEnvironment environment() const
    {
        AgentEnvironment environment = fixture_.environment();
        environment.healthURL = health_.url("/healthz");
        return environment;
    }

    // Launches on `environment` and waits for the first probe, so its late answer
    // cannot overwrite what a test sets next. The periodic probe is stopped for
    // the same reason.
    AppDelegate& launch(const AgentEnvironment& agentEnvironment)
    {
        delegate_ = std::make_unique<AppDelegate>(AgentManager(agentEnvironment));
        delegate_->applicationDidFinishLaunching();
        EXPECT_EQ(status(), QStringLiteral("Status: Checking..."));
        EXPECT_TRUE(waitUntil([&] { return status() == healthText(); }));
        for (QTimer* timer : delegate_->findChildren<QTimer*>(Qt::FindDirectChildrenOnly)) {
            timer->stop();
        }
        return *delegate_;
    }
    AppDelegate& launch() { return launch(environment()); }

    QString status() const { return delegate_->statusAction()->text(); }
    QString healthText() const { return healthStatus_.load() == 200 ? running : stopped; }
    bool settled() const { return status() == running || status() == stopped; }

    QAction* entry(const QString& title) const
    {
        for (QAction* action : delegate_->menu()->actions()) {
            if (action->text() == title) {
                return action;
            }
        }
        ADD_FAILURE() << "no menu entry " << title.toStdString();
        return nullptr;
    }

    AgentFixture fixture_;
    std::atomic<int> healthStatus_{503};
    LoopbackHttpServer health_;
    std::unique_ptr<AppDelegate> delegate_;
    AlertWatcher alerts_{[this] {
        return delegate_ ? status() : QString();
    }};
};

} // namespace

TEST_F(AppDelegateTest, MenuHasItsFixedEntriesAndOnlyQuitHasAShortcut)
{
    launch();
    const QStringList expected{QStringLiteral("Status: Local agent stopped"),
                               {},
                               "Open Web Dashboard",
                               "Show Pairing QR",
                               {},
                               "Start Agent",
                               "Stop Agent",
                               "Restart Agent",
                               {},
                               "View Logs",
                               "Open Settings Folder",
                               {},
                               "Quit Kestrune"};
    const QList<QAction*> actions = delegate_->menu()->actions();
    ASSERT_EQ(actions.size(), expected.size());
    for (qsizetype index = 0; index < actions.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(actions[index]->isSeparator(), expected[index].isEmpty());
        EXPECT_EQ(actions[index]->text(), expected[index]);
        EXPECT_EQ(actions[index]->isEnabled(), index != 0);
        EXPECT_EQ(actions[index]->shortcut(), index == 12 ? QKeySequence(Qt::CTRL | Qt::Key_Q) : QKeySequence());
    }
    EXPECT_EQ(actions[0], delegate_->statusAction());

    QSystemTrayIcon* tray = delegate_->trayIcon();
    EXPECT_EQ(tray->contextMenu(), delegate_->menu());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Kestrune"));
    EXPECT_FALSE(tray->icon().pixmap(22, 22).isNull());
}

TEST_F(AppDelegateTest, StatusLineFollowsEachProbe)
{
    launch();
    EXPECT_EQ(status(), stopped);
    healthStatus_ = 200;
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == running; }));
    healthStatus_ = 503;
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == stopped; }));
}

TEST_F(AppDelegateTest, StartAgentConfiguresWritesTheJobAndStartsIt)
{
    const AgentManager manager(environment());
    launch();
    healthStatus_ = 200;
    entry("Start Agent")->trigger();
    EXPECT_EQ(status(), QStringLiteral("Status: Starting agent..."));
    EXPECT_TRUE(waitUntil([&] { return status() == running; }));

    EXPECT_TRUE(exists(manager.configPath()));
    EXPECT_TRUE(exists(manager.launchAgentPath()));
    const std::vector<std::string> calls = fixture_.launchctlCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().rfind("bootstrap ", 0), 0U) << calls.front();
    EXPECT_TRUE(alerts_.alerts().empty());
}

TEST_F(AppDelegateTest, FailedStopIsReportedThenTheStatusRefreshes)
{
    fixture_.failLaunchctl("bootout", 5, "Boot-out failed: 5: Input/output error");
    fixture_.failLaunchctl("unload", 1, "Unload failed: job not loaded");
    launch();
    entry("Stop Agent")->trigger();
    EXPECT_EQ(status(), QStringLiteral("Status: Stopping agent..."));
    ASSERT_TRUE(waitUntil([&] { return !alerts_.alerts().empty() && settled(); }));

    ASSERT_EQ(alerts_.alerts().size(), 1U);
    const SeenAlert& alert = alerts_.alerts().front();
    EXPECT_EQ(alert.windowTitle, QStringLiteral("Kestrune"));
    EXPECT_EQ(alert.text, QStringLiteral("Kestrune Agent Error"));
    EXPECT_EQ(alert.informativeText, QStringLiteral("Unload failed: job not loaded"));
    EXPECT_EQ(alert.icon, QMessageBox::Warning);
    EXPECT_EQ(alert.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(alert.applicationModal);
    // The refresh waits for the user to dismiss the alert.
    EXPECT_EQ(alert.statusWhileOpen, QStringLiteral("Status: Stopping agent..."));
    EXPECT_EQ(status(), stopped);
}

TEST_F(AppDelegateTest, RestartIgnoresAFailedStop)
{
    fixture_.failLaunchctl("bootout", 5, "Boot-out failed");
    fixture_.failLaunchctl("unload", 1, "Unload failed");
    launch();
    entry("Restart Agent")->trigger();
    EXPECT_EQ(status(), QStringLiteral("Status: Restarting agent..."));
    ASSERT_TRUE(waitUntil([&] { return settled(); }));
    EXPECT_TRUE(alerts_.alerts().empty());
    EXPECT_TRUE(exists(AgentManager(environment()).launchAgentPath()));
}

TEST_F(AppDelegateTest, ActionsRunSideBySideAndNeverHoldUpTheProbe)
{
    // A launchctl that records its call, then waits while the gate file exists.
    TemporaryDirectory tools;
    writeFile(tools / "gate", "");
    writeScript(tools / "launchctl", "echo \"$*\" >> '" + (tools / "calls") +
                                         "'\nn=0\n"
                                         "while [ -e '" +
                                         (tools / "gate") + "' ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done\n");
    AgentEnvironment gated = environment();
    gated.launchctlPath = tools / "launchctl";
    launch(gated);

    for (int round = 0; round < 3; ++round) {
        delegate_->stopAgent();
    }
    EXPECT_TRUE(waitUntil([&] { return exists(tools / "calls") && splitLines(readFile(tools / "calls")).size() == 3; }))
        << "actions were serialised";

    healthStatus_ = 200;
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == running; })) << "the probe waited behind the actions";

    std::filesystem::remove(tools / "gate");
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
}

TEST_F(AppDelegateTest, EachPairingQROpensAWindowAndTheLatestIsKept)
{
    launch();
    entry("Show Pairing QR")->trigger();
    EXPECT_EQ(status(), QStringLiteral("Status: Preparing pairing QR..."));
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; }));
    const QPointer<QWidget> first = delegate_->currentQRWindow()->window();

    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow()->window() != first; }));
    QWidget* second = delegate_->currentQRWindow()->window();
    EXPECT_TRUE(waitUntil([&] { return settled(); }));

    ASSERT_FALSE(first.isNull()) << "an earlier QR window must stay open";
    EXPECT_TRUE(first->isVisible());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(second->windowTitle(), QStringLiteral("Kestrune Pairing QR"));
    EXPECT_EQ(delegate_->currentQRWindow()->textView()->toPlainText(), QString::fromStdString(qrText));
    EXPECT_TRUE(alerts_.alerts().empty());
}

TEST_F(AppDelegateTest, MissingAgentIsReportedAndOpensNoWindow)
{
    const AgentManager manager(environment());
    std::filesystem::remove(manager.bundledAgentPath());
    launch();
    const qsizetype windowsBefore = QApplication::topLevelWidgets().size();
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return !alerts_.alerts().empty() && settled(); }));

    EXPECT_EQ(alerts_.alerts().front().informativeText,
              QString::fromStdString("Bundled agent was not found at " + manager.bundledAgentPath() +
                                     ". Reinstall Kestrune.app."));
    EXPECT_EQ(delegate_->currentQRWindow(), nullptr);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windowsBefore);
}

TEST_F(AppDelegateTest, ShortcutsOpenTheirPlacesWithoutTouchingTheStatus)
{
    const AgentManager manager(environment());
    UrlRecorder opened;
    launch();

    entry("Open Web Dashboard")->trigger();
    entry("View Logs")->trigger();
    entry("Open Settings Folder")->trigger();

    ASSERT_EQ(opened.urls().size(), 3U);
    EXPECT_EQ(opened.urls()[0], QUrl(QString::fromUtf8(webDashboardURL)));
    EXPECT_EQ(opened.urls()[1], QUrl::fromLocalFile(QString::fromStdString(manager.logPath())));
    EXPECT_EQ(opened.urls()[2], QUrl::fromLocalFile(QString::fromStdString(manager.stateDirectory())));
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700U);
    EXPECT_EQ(status(), stopped);
    EXPECT_TRUE(alerts_.alerts().empty());
}

TEST_F(AppDelegateTest, QuitEndsTheEventLoopAndLeavesTheAgentAlone)
{
    launch();
    bool timedOut = false;
    QTimer::singleShot(0, entry("Quit Kestrune"), &QAction::trigger);
    QTimer::singleShot(30000, qApp, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(fixture_.launchctlCalls().empty());
}

TEST_F(AppDelegateTest, WorkOutlivingTheDelegateIsDropped)
{
    launch();
    delegate_->showPairingQR();
    delegate_->startAgent();
    delegate_.reset();
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(alerts_.alerts().empty());
}
