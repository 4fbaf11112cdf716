#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"

#include <QAction>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

using namespace kestrune;
using namespace kestrune::testkit;

namespace {

const QString stopped = QStringLiteral("Status: Local agent stopped");
const QString running = QStringLiteral("Status: Local agent running");

// Receives the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

  public:
    Q_INVOKABLE void openUrl(const QUrl& url) { urls.push_back(url); }
    std::vector<QUrl> urls;
};

// A real manager on the shared agent fixture, its health endpoint a loopback port
// that nothing listens on until a test says otherwise.
class AppDelegateTest : public ::testing::Test {
  protected:
    // Launches and waits for the first probe's answer; the periodic refresh is
    // stopped, so that only the test's own steps change the line.
    void launch(const QString& firstStatus = stopped)
    {
        delegate_ = std::make_unique<app::AppDelegate>(AgentManager(environment_));
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitUntil([&] { return status() == firstStatus; })) << status().toStdString();
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
    // The entries, their order and enabled states are the tray walks' (tray_walk.sh), as panels see them.
    const QList<QAction*> actions = delegate_->menu()->actions();
    ASSERT_EQ(actions.size(), 13);
    EXPECT_EQ(actions[12]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
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

TEST_F(AppDelegateTest, EachPairingQRKeepsItsWindowUntilTheProgramEnds)
{
    launch();
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; }));
    const QPointer<QWidget> first = delegate_->currentQRWindow()->window();
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow()->window() != first; }));
    EXPECT_TRUE(first && first->isVisible()) << "a newer QR window closed the earlier one";
    const QTextEdit* view = delegate_->currentQRWindow()->textView(); // its text is the end-to-end test's
    EXPECT_TRUE(view->isReadOnly() && view->lineWrapMode() == QTextEdit::NoWrap) << "editable, or wraps";
    const QPointer<QWidget> second = delegate_->currentQRWindow()->window();
    delegate_.reset();
    EXPECT_TRUE(first.isNull() && second.isNull()) << "QR windows outlived the program";
}

TEST_F(AppDelegateTest, ActionsRunSideBySideAndWorkOutlivingTheDelegateIsDropped)
{
    const std::string gate = fixture_.home() + "/gate"; // launchctl waits while it exists
    writeFile(gate, "");
    fixture_.holdLaunchctl("bootout", gate);
    launch();
    for (int round = 0; round < 3; ++round) {
        delegate_->stopAgent();
    }
    EXPECT_TRUE(waitUntil([&] { return std::ranges::count(fixture_.launchctlCalls(), '\n') == 3; }))
        << "actions were serialised";
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == stopped; })) << "the probe waited behind the actions";
    // What quitting waits for.
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(app::WorkClass::utility, 5000)) << "probes wait for actions";

    delegate_->showPairingQR();
    delegate_->startAgent();
    delegate_.reset();
    std::filesystem::remove(gate);
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
    QCoreApplication::processEvents(); // delivers whatever the late work posted
}

// The delegate's threads carry a probe's answer into the line, and each failed
// action into one alert and, once answered, a refresh. Restart discards the error
// of its stop; Stop does not.
TEST_F(AppDelegateTest, AnswersReachTheLineAndEachFailureOneAlert)
{
    LoopbackHttpServer agent;
    agent.answer(httpReply(200, ""));
    environment_.healthURL = agent.url("/healthz");
    launch(running);
    fixture_.failLaunchctl("bootout", 1, "bootout failed");
    fixture_.failLaunchctl("unload", 1, "unload failed");
    delegate_->stopAgent();
    EXPECT_TRUE(waitUntil([&] { return alerts_.alerts().size() == 1 && status() == running; }))
        << status().toStdString();
    delegate_->restartAgent();
    EXPECT_TRUE(waitUntil(
        [&] { return fixture_.launchctlCalls().find("kickstart") != std::string::npos && status() == running; }));
    writeScript(fixture_.agentPath(), "echo 'cannot pair' >&2; exit 1\n");
    delegate_->showPairingQR();
    EXPECT_TRUE(waitUntil([&] { return alerts_.alerts().size() == 2 && status() == running; }));
    EXPECT_EQ(alerts_.alerts().join(" ! ").toStdString(),
              "Kestrune Agent Error: unload failed [Status: Stopping agent...] ! "
              "Kestrune Agent Error: cannot pair [Status: Preparing pairing QR...]");
}

#include "AppDelegateTest.moc"
