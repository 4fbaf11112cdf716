#include "AppDelegate.h"

#include "AppTestSupport.h"
#include "BackgroundQueue.h"
#include "QRWindowController.h"
#include "agent/ProgramConstants.h"
#include "common/AgentFixture.h"
#include "support/TextEncoding.h"

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

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

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

// A row of the status line's table.
struct StatusRow {
    const char* name;
    int answersFrom; // the first probe after launch that finds the agent running
    // s t r q: the menu's Start, Stop, Restart, Show Pairing QR; x: stop's launchctl
    // calls fail; a: the agent cannot pair; p: a periodic refresh; '.': wait for a
    // follow-up probe; f: fire it; g G: hold, release launchctl bootstrap (a start's
    // work) until all actions' work is done; b B: hold, release the probes; w: wait for
    // a QR window; ?: note the line.
    const char* script;
    // Each text the status line took after launch, [noted], the probes made, then
    // each alert.
    const char* shown;
};

// A real manager on the shared agent fixture. The health probe answers at once,
// "running" from the answersFrom_-th after launch on; a follow-up probe waits in
// followUp_ until the test fires it.
class AppDelegateTest : public ::testing::TestWithParam<StatusRow> {
  protected:
    // Launches and waits for the first probe, so that its late answer cannot
    // overwrite what a test sets next; the periodic probe is stopped likewise.
    void launch()
    {
        app::AppDelegate::HealthProbing probing{[this](const AgentManager&) {
                                                    while (std::filesystem::exists(fixture_.home() + "/probe-gate")) {
                                                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                                    }
                                                    return ++probes_ >= answersFrom_;
                                                },
                                                [this](auto probe) {
                                                    followUp_ = std::move(probe);
                                                }};
        delegate_ = std::make_unique<app::AppDelegate>(AgentManager(environment_), std::move(probing));
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitUntil([&] { return status() == stopped; }));
        delegate_->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->stop();
        probes_ = 0;
    }
    QString status() const { return delegate_ ? delegate_->statusAction()->text() : QString(); }

    AgentFixture fixture_;
    AgentEnvironment environment_ = fixture_.environment();
    std::atomic<int> probes_ = 0;
    std::atomic<int> answersFrom_ = 99;
    std::function<void()> followUp_;
    QStringList shown_; // the status line's texts, once a test records them
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
    EXPECT_TRUE(waitUntil([&] {
        return std::filesystem::exists(tools / "calls") && readFile(tools / "calls").size() == 3;
    })) << "actions were serialised";
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

const StatusRow statusRows[] = {
    {"StartFollowsUpUntilTheAgentAnswers", 3, "s.pf", "Starting agent... > running (3 probes)"},
    {"StartNeverShowsStoppedBeforeItsLastFollowUp", 99, "gspGfffffffffff?f",
     "Starting agent... > [Starting agent...] > stopped (14 probes)"},
    {"StopThatFailsRaisesOneAlertThenRefreshes", 99, "xt",
     "Stopping agent... > stopped (1 probes) ! Kestrune Agent Error: unload failed [Status: Stopping agent...]"},
    {"RestartWithNothingRunningStarts", 1, "xr", "Restarting agent... > running (1 probes)"},
    {"PairingQRThatFailsRaisesOneAlertThenRefreshes", 99, "aq",
     "Preparing pairing QR... > stopped (1 probes) ! Kestrune Agent Error: cannot pair [Status: Preparing pairing "
     "QR...]"},
    {"StopEndsAStartsFollowUps", 4, "s.ft", "Starting agent... > Stopping agent... > stopped (3 probes)"},
    {"PairingQRLeavesAStartsFollowUps", 3, "s.qwf",
     "Starting agent... > Preparing pairing QR... > Starting agent... > running (3 probes)"},
    {"StartThatAPairingQROvertookIsFollowedUp", 3, "gsqwG.f",
     "Starting agent... > Preparing pairing QR... > Starting agent... > running (3 probes)"},
    {"OvertakenStartLeavesTheNewerActionsText", 99, "gsbtGB", "Starting agent... > Stopping agent... > stopped (1 probes)"},
};

TEST_P(AppDelegateTest, ShowsTheInterimTextThenTheTruthWithoutFlicker)
{
    launch();
    answersFrom_ = GetParam().answersFrom;
    // A title set again unchanged signals nothing.
    QObject::connect(delegate_->statusAction(), &QAction::changed,
                     [this] { shown_ << status().remove("Status: ").remove("Local agent "); });
    const std::string gates[] = {fixture_.home() + "/gate", fixture_.home() + "/probe-gate"};
    const auto settle = [](app::WorkClass work) { // its results delivered, too
        ASSERT_TRUE(app::BackgroundQueue::shared().waitForDone(work, 30000));
        QCoreApplication::processEvents();
    };
    for (const char step : std::string(GetParam().script)) {
        if (const auto entry = std::string_view("---q-str").find(step); entry != std::string_view::npos) {
            delegate_->menu()->actions()[static_cast<int>(entry)]->trigger();
        } else if (step == 'x') {
            fixture_.failLaunchctl("bootout", 1, "bootout failed");
            fixture_.failLaunchctl("unload", 1, "unload failed");
        } else if (step == 'a') {
            writeScript(fixture_.agentPath(), "echo 'cannot pair' >&2; exit 1\n");
        } else if (step == 'p') {
            delegate_->refreshStatus();
            settle(app::WorkClass::utility);
        } else if (step == 'g') {
            writeFile(gates[0], "");
            fixture_.holdLaunchctl("bootstrap", gates[0]);
        } else if (step == 'G') {
            std::filesystem::remove(gates[0]);
            settle(app::WorkClass::userInitiated);
        } else if (step == 'b' || step == 'B') {
            step == 'b' ? writeFile(gates[1], "") : (void)std::filesystem::remove(gates[1]);
        } else if (step == 'w') {
            ASSERT_TRUE(waitUntil([&] { return delegate_->currentQRWindow() != nullptr; })) << "no QR window";
            settle(app::WorkClass::utility);
        } else if (step == '?') {
            shown_ << "[" + status().remove("Status: ").remove("Local agent ") + "]";
        } else {
            ASSERT_TRUE(waitUntil([&] { return followUp_ != nullptr; })) << "no follow-up";
            if (step == 'f') {
                std::exchange(followUp_, nullptr)();
            }
        }
    }
    const auto seen = [&] {
        return (QStringList(shown_.join(" > ") + QString(" (%1 probes)").arg(probes_)) + alerts_.alerts()).join(" ! ");
    };
    EXPECT_TRUE(waitUntil([&] { return seen() == GetParam().shown; })) << seen().toStdString();
    EXPECT_FALSE(followUp_) << "a follow-up left over";
}

INSTANTIATE_TEST_SUITE_P(StatusLine, AppDelegateTest, ::testing::ValuesIn(statusRows),
                         [](const auto& row) { return std::string(row.param.name); });

#include "AppDelegateTest.moc"
