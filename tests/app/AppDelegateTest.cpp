#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"
#include "support/ProcessRunner.h"
#include "systemd/PrivateUserManager.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
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
        EXPECT_TRUE(reaches(firstStatus)) << status().toStdString();
        delegate_->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->stop();
    }
    QString status() const { return delegate_ ? delegate_->statusAction()->text() : QString(); }
    bool reaches(const QString& text)
    {
        return waitUntil([&] { return status() == text; });
    }
    // Answers the alerts that are up; each is recorded as "text: informative text [the line meanwhile]".
    const QStringList& alerts()
    {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(window); box && box->isVisible()) {
                alerts_ << box->text() + ": " + box->informativeText() + " [" + status() + "]";
                box->done(QMessageBox::Ok);
            }
        }
        return alerts_;
    }

    void TearDown() override // whatever happened, no job stays behind
    {
        try {
            AgentManager(environment_).stop();
        } catch (...) {
        }
    }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
    std::unique_ptr<app::AppDelegate> delegate_;
    QStringList alerts_;
};

} // namespace

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
    EXPECT_TRUE(waitUntil([&] { return alerts().size() == 1 && status() == running; })) << status().toStdString();
    delegate_->restartAgent();
    EXPECT_TRUE(waitUntil(
        [&] { return fixture_.launchctlCalls().find("kickstart") != std::string::npos && status() == running; }));
    writeScript(fixture_.agentPath(), "echo 'cannot pair' >&2; exit 1\n");
    delegate_->showPairingQR();
    EXPECT_TRUE(waitUntil([&] { return alerts().size() == 2 && status() == running; }));
    EXPECT_EQ(alerts_.join(" ! ").toStdString(), "Kestrune Agent Error: unload failed [Status: Stopping agent...] ! "
                                                 "Kestrune Agent Error: cannot pair [Status: Preparing pairing QR...]");
}

// The real app and manager against the stand-in agent and, unless run a second time
// under a private systemd user manager (e2e-systemd), the launchd stand-in.
TEST_F(AppDelegateTest, EndToEndStartPairQuitRelaunchAndStop)
{
    const bool systemd = std::getenv("KESTRUNE_E2E_SYSTEMD") != nullptr;
    if (systemd && (usePrivateUserManager(environment_), IsSkipped() || HasFailure())) {
        return;
    }
    ::setenv("LAUNCHD_STANDIN_STATE_DIR", (fixture_.home() + "/launchd").c_str(), 1);
    environment_.resourcesDirectory = KESTRUNE_STANDIN_RESOURCES;
    environment_.launchctlPath = KESTRUNE_STANDIN_DIR "/launchctl";
    environment_.healthURL = healthURL;
    launch(); // the periodic refresh stopped: from here on actions, and the service manager's news, move the line
    // The entries, their order and enabled states are the tray walks' (tray_walk.sh), as panels see them.
    const QList<QAction*> actions = delegate_->menu()->actions();
    ASSERT_EQ(actions.size(), 13);
    EXPECT_EQ(actions[12]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    UrlRecorder opened;
    for (const char* scheme : {"https", "file"}) {
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &opened, "openUrl");
    }
    for (QAction* shortcut : {actions[2], actions[9], actions[10]}) { // dashboard, logs, settings folder
        shortcut->trigger();
    }
    const AgentManager manager(environment_);
    EXPECT_EQ(opened.urls, std::vector({QUrl(QString::fromUtf8(webDashboardURL)),
                                        QUrl::fromLocalFile(QString::fromStdString(manager.logPath())),
                                        QUrl::fromLocalFile(QString::fromStdString(manager.stateDirectory()))}));
    for (const char* scheme : {"https", "file"}) {
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    delegate_->startAgent();
    ASSERT_TRUE(reaches(running));
    delegate_->showPairingQR();
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; }));
    // The agent's own printing run, shown unchanged; equal texts prove nothing if both are empty.
    const std::string printed =
        runProcess("/bin/zsh", {"-lc", AgentManager(environment_).launchCommand() + " --print-qr"});
    EXPECT_EQ(delegate_->currentQRWindow()->textView()->toPlainText().toStdString(), printed);
    EXPECT_TRUE(printed.find("\u2580") != std::string::npos && printed.find("Scan this code") != std::string::npos);
    const QPointer<QWidget> first = delegate_->currentQRWindow()->window();
    delegate_->showPairingQR(); // a window each, until the program ends
    ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow()->window() != first; }));
    const QPointer<QWidget> second = delegate_->currentQRWindow()->window();
    const QTextEdit* view = delegate_->currentQRWindow()->textView();
    EXPECT_TRUE(first && first->isVisible() && view->isReadOnly() && view->lineWrapMode() == QTextEdit::NoWrap);
    for (const bool reexecuted : {false, true}) { // killed, and restarted by its manager, even a re-executed one
        if (systemd) {
            reexecuted ? (void)runProcess("/usr/bin/systemctl", {"--user", "daemon-reexec"}) : void();
            ::kill(std::stoi(runProcess("/usr/bin/systemctl", {"--user", "show", "-P", "MainPID", systemdUnitName})),
                   SIGKILL);
            EXPECT_TRUE(reaches(stopped) && reaches(running)) << status().toStdString();
        }
    }
    // Quit ends the event loop and leaves a running agent to its service manager; the next launch sees it.
    QTimer::singleShot(0, actions[12], &QAction::trigger);
    QTimer::singleShot(30000, delegate_.get(), [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 0) << "quitting did not end the event loop";
    delegate_.reset();
    EXPECT_TRUE(first.isNull() && second.isNull()) << "QR windows outlived the program";
    launch(running);
    delegate_->stopAgent();
    EXPECT_TRUE(reaches(stopped));
    EXPECT_TRUE(alerts().empty()) << alerts_.join(" ! ").toStdString();
}

#include "AppDelegateTest.moc"
