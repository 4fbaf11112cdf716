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

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

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

// A real manager on the shared agent fixture, whose launchctl notes each call in
// tools_/calls and waits while tools_/gate exists. The health probe answers
// answers_ at once, and the follow-up probes wait in followUps_ until fired.
class AppDelegateTest : public ::testing::Test {
  protected:
    AppDelegateTest()
    {
        writeScript(tools_ / "launchctl", "echo >> " + shellQuote(tools_ / "calls") + "; while [ -e " +
                                              shellQuote(tools_ / "gate") + " ]; do sleep 0.02; done; exec " +
                                              shellQuote(environment_.launchctlPath) + " \"$@\"\n");
        environment_.launchctlPath = tools_ / "launchctl";
    }
    // Launches and waits for the first probe, so that its late answer cannot
    // overwrite what a test sets next; the periodic probe is stopped likewise.
    void launch()
    {
        delegate_ = std::make_unique<app::AppDelegate>(
            AgentManager(environment_),
            app::AppDelegate::HealthProbing{[this](const AgentManager&) { return ++probes_, answers_.load(); },
                                            [this](std::function<void()> probe) { followUps_.push_back(probe); }});
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitUntil([&] { return status() == stopped; }));
        delegate_->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->stop();
        probes_ = 0;
    }
    QString status() const { return delegate_ ? delegate_->statusAction()->text() : QString(); }
    // Runs the event loop until `work`'s pool (both when none) has stayed idle for some rounds.
    static void settle(std::optional<app::WorkClass> work = {})
    {
        int idleRounds = 0;
        EXPECT_TRUE(waitUntil([&] {
            auto& queue = app::BackgroundQueue::shared();
            idleRounds = (work ? queue.waitForDone(*work, 0) : queue.waitForDone(0)) ? idleRounds + 1 : 0;
            return idleRounds > 3;
        }));
    }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
    TemporaryDirectory tools_;
    std::atomic<bool> answers_ = false;
    std::atomic<int> probes_ = 0;
    std::deque<std::function<void()>> followUps_;
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
    writeFile(tools_ / "gate", "");
    launch();
    for (int round = 0; round < 3; ++round) {
        delegate_->stopAgent();
    }
    EXPECT_TRUE(waitUntil([&] { return exists(tools_ / "calls") && readFile(tools_ / "calls").size() == 3; }))
        << "actions were serialised";
    delegate_->refreshStatus();
    EXPECT_TRUE(waitUntil([&] { return status() == stopped; })) << "the probe waited behind the actions";
    // What quitting waits for.
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(app::WorkClass::utility, 5000)) << "probes wait for actions";

    delegate_->showPairingQR();
    delegate_->startAgent();
    delegate_.reset();
    std::filesystem::remove(tools_ / "gate");
    EXPECT_TRUE(app::BackgroundQueue::shared().waitForDone(60000));
    QCoreApplication::processEvents(); // delivers whatever the late work posted
}

struct StatusRow {
    const char* name;
    const char* failing; // launchctl subcommands that fail
    // s t r q: Start, Stop, Restart, Show Pairing QR; p: a periodic refresh; f: the
    // next follow-up probe; u / n: the agent answers from now on / no more;
    // g: agent actions wait at launchctl until the script ends.
    const char* script;
    // Each text the status line took after launch, the probes made, then each alert.
    const char* shown;
};

class StatusLineTest : public AppDelegateTest, public ::testing::WithParamInterface<StatusRow> {};

TEST_P(StatusLineTest, ShowsTheInterimTextThenTheTruthWithoutFlicker)
{
    std::istringstream failing(GetParam().failing);
    for (std::string subcommand; failing >> subcommand;) {
        fixture_.failLaunchctl(subcommand, 1, subcommand + " failed");
    }
    launch();
    QStringList shown{status()};
    QObject context;
    QObject::connect(delegate_->statusAction(), &QAction::changed, &context, [&] {
        if (shown.last() != status()) {
            shown << status();
        }
    });
    for (const char step : std::string(GetParam().script)) {
        switch (step) {
        case 's': delegate_->startAgent(); break;
        case 't': delegate_->stopAgent(); break;
        case 'r': delegate_->restartAgent(); break;
        case 'q': delegate_->showPairingQR(); break;
        case 'p': delegate_->refreshStatus(), settle(app::WorkClass::utility); break;
        case 'u': case 'n': answers_ = step == 'u'; break;
        case 'g': writeFile(tools_ / "gate", ""); break;
        case 'f':
            ASSERT_TRUE(waitUntil([&] { return !followUps_.empty(); }, std::chrono::seconds(5))) << "no follow-up";
            followUps_.front()();
            followUps_.pop_front();
            settle(app::WorkClass::utility);
        }
    }
    std::filesystem::remove(tools_ / "gate");
    settle();
    std::string seen = shown.mid(1).join(" > ").replace("Status: ", "").toStdString();
    seen += " (" + std::to_string(probes_) + " probes)";
    for (const std::string& alert : alerts_.alerts()) {
        seen += " ! " + alert;
    }
    EXPECT_EQ(seen, GetParam().shown);
    EXPECT_TRUE(followUps_.empty()) << "follow-ups left over";
}

INSTANTIATE_TEST_SUITE_P(
    Actions, StatusLineTest,
    ::testing::Values(
        StatusRow{"StartFollowsUpUntilTheAgentAnswersAndATickMeanwhileKeepsItsText", "", "sfpuf",
                  "Starting agent... > Local agent running (4 probes)"},
        StatusRow{"StartShowsStoppedOnceAfterTheLastFollowUp", "", "sffffffffffff",
                  "Starting agent... > Local agent stopped (13 probes)"},
        StatusRow{"StopRefreshesAtOnce", "", "t", "Stopping agent... > Local agent stopped (1 probes)"},
        StatusRow{"StopThatFailsRaisesOneAlertThenRefreshes", "bootout unload", "t",
                  "Stopping agent... > Local agent stopped (1 probes) ! Kestrune Agent Error: unload failed "
                  "[Status: Stopping agent...]"},
        StatusRow{"RestartWithNothingRunningDiscardsStopsErrorAndStarts", "bootout unload", "ur",
                  "Restarting agent... > Local agent running (1 probes)"},
        StatusRow{"StopEndsTheFollowUpsOfAnEarlierStart", "", "sfgtufn",
                  "Starting agent... > Stopping agent... > Local agent stopped (3 probes)"},
        StatusRow{"PairingQREndsTheFollowUpsOfAnEarlierStart", "", "sfquf",
                  "Starting agent... > Preparing pairing QR... > Local agent running (3 probes)"}),
    [](const ::testing::TestParamInfo<StatusRow>& row) { return std::string(row.param.name); });

#include "AppDelegateTest.moc"
