#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
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

    // Launches and waits for the first probe, so that its late answer cannot
    // overwrite what a test sets next; the periodic probe is stopped likewise.
    void launch(const std::string& launchctlPath = {})
    {
        AgentEnvironment environment = fixture_.environment();
        environment.healthURL = health_.url("/healthz");
        environment.launchctlPath = launchctlPath.empty() ? environment.launchctlPath : launchctlPath;
        delegate_ = std::make_unique<AppDelegate>(AgentManager(environment));
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitUntil([&] { return status() == stopped; }));
        for (QTimer* timer : delegate_->findChildren<QTimer*>(Qt::FindDirectChildrenOnly)) {
            timer->stop();
        }
    }

    QString status() const { return delegate_->statusAction()->text(); }
    bool settled() const { return status() == running || status() == stopped; }
    void choose(const QString& title) const
    {
        const QList<QAction*> actions = delegate_->menu()->actions();
        const auto found = std::find_if(actions.begin(), actions.end(), [&](QAction* a) { return a->text() == title; });
        ASSERT_NE(found, actions.end()) << title.toStdString();
        (*found)->trigger();
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
    QStringList entries; // separators are the empty ones
    for (const QAction* action : delegate_->menu()->actions()) {
        entries << action->text() + (action->isEnabled() ? "" : " (disabled)") +
                       (action->shortcut().isEmpty() ? "" : " " + action->shortcut().toString());
    }
    EXPECT_EQ(entries.join(u'|'), "Status: Local agent stopped (disabled)||Open Web Dashboard|Show Pairing QR||"
                                  "Start Agent|Stop Agent|Restart Agent||View Logs|Open Settings Folder||"
                                  "Quit Kestrune Ctrl+Q");
    EXPECT_EQ(delegate_->trayIcon()->contextMenu(), delegate_->menu());
}

// Both failures reach the one alert; the missing agent's opens no window.
TEST_F(AppDelegateTest, FailuresAreReportedThenTheStatusRefreshes)
{
    fixture_.failLaunchctl("bootout", 5, "Boot-out failed: 5: Input/output error");
    fixture_.failLaunchctl("unload", 1, "Unload failed: job not loaded");
    launch();
    choose("Stop Agent");
    EXPECT_EQ(status(), QStringLiteral("Status: Stopping agent..."));
    ASSERT_TRUE(waitUntil([&] { return !alerts_.alerts().empty() && settled(); }));
    ASSERT_EQ(alerts_.alerts().size(), 1U);
    EXPECT_EQ(alerts_.alerts()[0].text, QStringLiteral("Kestrune Agent Error"));
    EXPECT_EQ(alerts_.alerts()[0].informativeText, QStringLiteral("Unload failed: job not loaded"));
    EXPECT_EQ(alerts_.alerts()[0].statusWhileOpen, QStringLiteral("Status: Stopping agent...")) << "refreshed early";

    std::filesystem::remove(fixture_.agentPath());
    choose("Show Pairing QR");
    ASSERT_TRUE(waitUntil([&] { return alerts_.alerts().size() == 2 && settled(); }));
    EXPECT_EQ(
        alerts_.alerts()[1].informativeText,
        QString::fromStdString("Bundled agent was not found at " + fixture_.agentPath() + ". Reinstall Kestrune.app."));
    EXPECT_EQ(delegate_->currentQRWindow(), nullptr);
}

TEST_F(AppDelegateTest, ActionsRunSideBySideAndNeverHoldUpTheProbe)
{
    // A launchctl that records its call, then waits (30 s at most) while the gate file exists.
    TemporaryDirectory tools;
    writeFile(tools / "gate", "");
    writeScript(tools / "launchctl",
                "cd '" + tools.path() +
                    "' && echo >> calls; for n in $(seq 600); do [ -e gate ] && sleep 0.05; done\n");
    launch(tools / "launchctl");

    for (int round = 0; round < 3; ++round) {
        delegate_->stopAgent();
    }
    EXPECT_TRUE(waitUntil([&] { return exists(tools / "calls") && readFile(tools / "calls").size() == 3; }))
        << "actions were serialised";
    healthStatus_ = 200;
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == running; })) << "the probe waited behind the actions";
    // What quitting waits for.
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(app::WorkClass::utility, 5000)) << "probes wait for actions";
    std::filesystem::remove(tools / "gate");
}

TEST_F(AppDelegateTest, EachPairingQROpensAWindowAndTheLatestIsKept)
{
    launch();
    choose("Show Pairing QR");
    EXPECT_EQ(status(), QStringLiteral("Status: Preparing pairing QR..."));
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; }));
    const QPointer<QWidget> first = delegate_->currentQRWindow()->window();
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow()->window() != first && settled(); }));

    ASSERT_FALSE(first.isNull()) << "an earlier QR window must stay open";
    EXPECT_TRUE(first->isVisible());
    EXPECT_TRUE(delegate_->currentQRWindow()->window()->isVisible());
    EXPECT_EQ(delegate_->currentQRWindow()->textView()->toPlainText(), QString::fromStdString(qrText));
    EXPECT_TRUE(alerts_.alerts().empty());
}

TEST_F(AppDelegateTest, ShortcutsOpenTheirPlacesAndQuitLeavesTheAgentAlone)
{
    const AgentManager manager = fixture_.manager();
    UrlRecorder opened;
    launch();
    choose("Open Web Dashboard");
    choose("View Logs");
    choose("Open Settings Folder");
    const std::vector<QUrl> expected{QUrl(QString::fromUtf8(webDashboardURL)),
                                     QUrl::fromLocalFile(QString::fromStdString(manager.logPath())),
                                     QUrl::fromLocalFile(QString::fromStdString(manager.stateDirectory()))};
    EXPECT_EQ(opened.urls, expected);
    EXPECT_EQ(fileMode(manager.stateDirectory()), 0700U);
    EXPECT_EQ(status(), stopped);

    QTimer::singleShot(0, delegate_.get(), [this] { choose("Quit Kestrune"); });
    QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 0) << "quitting did not end the event loop";
    EXPECT_TRUE(fixture_.launchctlCalls().empty());
    EXPECT_TRUE(alerts_.alerts().empty());
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
