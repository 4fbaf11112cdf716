#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"
#include "support/TextEncoding.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

const QString stopped = QStringLiteral("Status: Local agent stopped");

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

  public:
    Q_INVOKABLE void openUrl(const QUrl& url) { urls.push_back(url); }
    std::vector<QUrl> urls;
};

// A real manager on the shared agent fixture. Its health URL is a closed port, so
// every probe answers "stopped" at once.
class AppDelegateTest : public ::testing::Test {
  protected:
    // Launches and waits for the first probe, so that its late answer cannot
    // overwrite what a test sets next; the periodic probe is stopped likewise.
    void launch()
    {
        delegate_ = std::make_unique<app::AppDelegate>(AgentManager(environment_));
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitUntil([&] { return status() == stopped; }));
        delegate_->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->stop();
    }
    QString status() const { return delegate_ ? delegate_->statusAction()->text() : QString(); }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
    std::unique_ptr<app::AppDelegate> delegate_;
    AlertWatcher alerts_ = AlertWatcher([this] { return status(); });
};

} // namespace

TEST_F(AppDelegateTest, MenuEntriesOpenTheirPlacesAndQuitLeavesTheAgentAlone)
{
    UrlRecorder opened;
    for (const char* scheme : {"https", "file"}) {
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &opened, "openUrl");
    }
    launch();
    const QList<QAction*> actions = delegate_->menu()->actions();
    QStringList entries; // separators are the empty ones
    for (const QAction* action : actions) {
        entries << action->text() + (action->isEnabled() ? "" : " (disabled)") +
                       (action->shortcut().isEmpty() ? "" : " " + action->shortcut().toString());
    }
    ASSERT_EQ(entries.join(u'|').toStdString(),
              "Status: Local agent stopped (disabled)||Open Web Dashboard|Show Pairing QR||"
              "Start Agent|Stop Agent|Restart Agent||View Logs|Open Settings Folder||"
              "Quit Kestrune Ctrl+Q");
    EXPECT_EQ(delegate_->trayIcon()->contextMenu(), delegate_->menu());

    for (QAction* shortcut : {actions[2], actions[9], actions[10]}) { // dashboard, logs, settings folder
        shortcut->trigger();
    }
    const std::vector<QUrl> expected{QUrl(QString::fromUtf8(webDashboardURL)),
                                     QUrl::fromLocalFile(QString::fromStdString(fixture_.manager().logPath())),
                                     QUrl::fromLocalFile(QString::fromStdString(fixture_.manager().stateDirectory()))};
    EXPECT_EQ(opened.urls, expected);
    for (const char* scheme : {"https", "file"}) {
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    QTimer::singleShot(0, actions[12], &QAction::trigger);
    QTimer::singleShot(30000, delegate_.get(), [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 0) << "quitting did not end the event loop";
    EXPECT_TRUE(fixture_.launchctlCalls().empty());
}

TEST_F(AppDelegateTest, FailuresRaiseOneAlertThenRefreshAndEachPairingQRKeepsItsWindow)
{
    fixture_.failLaunchctl("bootout", 5, "Boot-out failed: 5: Input/output error");
    fixture_.failLaunchctl("unload", 1, "Unload failed: job not loaded");
    launch();
    delegate_->stopAgent();
    ASSERT_TRUE(waitUntil([&] { return !alerts_.alerts().empty() && status() == stopped; }));
    EXPECT_EQ(alerts_.alerts(), std::vector<std::string>{"Kestrune Agent Error: Unload failed: job not loaded "
                                                         "[Status: Stopping agent...]"});

    std::filesystem::rename(fixture_.agentPath(), fixture_.agentPath() + ".away");
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return alerts_.alerts().size() == 2 && status() == stopped; }));
    EXPECT_EQ(alerts_.alerts()[1], "Kestrune Agent Error: Bundled agent was not found at " + fixture_.agentPath() +
                                       ". Reinstall Kestrune.app. [Status: Preparing pairing QR...]");
    EXPECT_EQ(delegate_->currentQRWindow(), nullptr);
    std::filesystem::rename(fixture_.agentPath() + ".away", fixture_.agentPath());

    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; }));
    const QPointer<QWidget> first = delegate_->currentQRWindow()->window();
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow()->window() != first; }));
    EXPECT_TRUE(first && first->isVisible()) << "a newer QR window closed the earlier one";
    EXPECT_EQ(delegate_->currentQRWindow()->textView()->toPlainText().toStdString(), "QR for device-1\n\n");
    const QPointer<QWidget> second = delegate_->currentQRWindow()->window();
    delegate_.reset();
    EXPECT_TRUE(first.isNull() && second.isNull()) << "QR windows outlived the program";
}

TEST_F(AppDelegateTest, ActionsRunSideBySideAndWorkOutlivingTheDelegateIsDropped)
{
    // A launchctl that records its call, then waits while the gate file exists.
    TemporaryDirectory tools;
    writeFile(tools / "gate", "");
    writeScript(tools / "launchctl",
                "cd " + shellQuote(tools.path()) + " && echo >> calls; while [ -e gate ]; do sleep 0.05; done\n");
    environment_.launchctlPath = tools / "launchctl";
    launch();
    for (int round = 0; round < 3; ++round) {
        delegate_->stopAgent();
    }
    EXPECT_TRUE(waitUntil([&] { return exists(tools / "calls") && readFile(tools / "calls").size() == 3; }))
        << "actions were serialised";
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == stopped; })) << "the probe waited behind the actions";
    // What quitting waits for.
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(app::WorkClass::utility, 5000)) << "probes wait for actions";

    delegate_->showPairingQR();
    delegate_->startAgent();
    delegate_.reset();
    std::filesystem::remove(tools / "gate");
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
    QCoreApplication::processEvents(); // delivers whatever the late work posted
}

#include "AppDelegateTest.moc"
