#include "AppDelegate.h"

#include "AgentErrorAlert.h"
#include "AgentLog.h"
#include "BackgroundQueue.h"
#include "StatusMenu.h"
#include "agent/ProgramConstants.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

namespace kestrune::app {

namespace {

constexpr int refreshIntervalMilliseconds = 5000;

} // namespace

AppDelegate::AppDelegate() : AppDelegate(kestrune::AgentManager()) {}

AppDelegate::AppDelegate(kestrune::AgentManager agentManager, QObject* parent)
    : QObject(parent), manager(std::make_shared<const kestrune::AgentManager>(std::move(agentManager))), channel(this)
{
}

AppDelegate::~AppDelegate()
{
    jobWatch.reset(); // its thread ends here
    // Work still running may finish later; from here on its results are dropped.
    channel.close();
    // Top-level windows have no parent to delete them when the program ends.
    for (const QPointer<QWidget>& window : openWindows) {
        delete window.data();
    }
}

void AppDelegate::applicationDidFinishLaunching()
{
    if (statusItem != nullptr) {
        return;
    }

    const auto entry = [this](const char* title, void (AppDelegate::*action)()) {
        return StatusMenuEntry{QString::fromUtf8(title), [this, action] {
                                   (this->*action)();
                               }};
    };
    const StatusMenuEntry separator;
    statusMenu = makeStatusMenu(
        QString::fromStdString(statusLine.text()),
        {separator, entry("Open Web Dashboard", &AppDelegate::openDashboard),
         entry("Show Pairing QR", &AppDelegate::showPairingQR), separator,
         entry("Start Agent", &AppDelegate::startAgent), entry("Stop Agent", &AppDelegate::stopAgent),
         entry("Restart Agent", &AppDelegate::restartAgent), separator, entry("View Logs", &AppDelegate::viewLogs),
         entry("Open Settings Folder", &AppDelegate::openSettingsFolder), separator,
         entry("Quit Kestrune", &AppDelegate::quit)},
        this);
    statusMenuItem = statusMenu->actions().first();
    statusItem = makeStatusItem(statusMenu.get(), this);

    refreshStatus();

    timer = new QTimer(this);
    timer->setInterval(refreshIntervalMilliseconds);
    connect(timer, &QTimer::timeout, this, &AppDelegate::refreshStatus);
    timer->start();
    watchAgentJob();
}

void AppDelegate::watchAgentJob()
{
    try {
        jobWatch = manager->watchAgentJob([this, channel = channel](const kestrune::AgentJobState& state) {
            // Up, or coming up: not waiting to be restarted after it ended.
            const bool up = state.activeState == "active" || state.activeState == "reloading" ||
                            (state.activeState == "activating" && state.subState != "auto-restart");
            channel.post([this, up] { follow(statusLine.jobChanged(up, StatusLine::Clock::now())); });
        });
    } catch (const std::exception& error) {
        // The timer still refreshes the line; the watch only makes it prompt.
        qCWarning(agentLog).noquote() << "Cannot follow the agent's job:" << error.what()
                                      << "- the status is refreshed every 5 s only";
    }
}

void AppDelegate::refreshStatus()
{
    follow(StatusLine::refresh());
}

void AppDelegate::follow(const StatusLine::Next& next)
{
    if (statusMenuItem != nullptr) {
        statusMenuItem->setText(QString::fromStdString(statusLine.text())); // unchanged, it signals nothing
    }
    if (next.settled) {
        logSettledStart(*next.settled);
    }
    if (!next.probe) {
        return;
    }
    if (next.delay.count() == 0) {
        issueProbe(*next.probe);
    } else {
        QTimer::singleShot(next.delay, this, [this, request = *next.probe] { issueProbe(request); });
    }
}

void AppDelegate::issueProbe(const StatusLine::ProbeRequest& request)
{
    const std::optional<ProbeTicket> ticket = statusLine.issue(request);
    if (!ticket) {
        return;
    }
    BackgroundQueue::shared().run(
        WorkClass::utility, [this, manager = manager, channel = channel, gate = statusLine.gate(), ticket = *ticket] {
            const bool healthy = manager->isAgentHealthy();
            if (gate->shouldPost(ticket, healthy)) {
                channel.post([this, ticket, healthy] {
                    follow(statusLine.answered(ticket, healthy, StatusLine::Clock::now()));
                });
            }
        });
}

void AppDelegate::logSettledStart(const StatusLine::StartSettled& settled) const
{
    const double seconds = static_cast<double>(settled.after.count()) / 1000.0;
    if (settled.answered) {
        qCInfo(agentLog).noquote() << "The agent answers its health probe," << seconds << "s after starting";
    } else {
        // A port that accepts and never answers makes each probe wait out its
        // deadline: the time is measured, not assumed.
        qCWarning(agentLog).noquote() << "The agent did not answer its health probe within" << seconds
                                      << "s of starting; its log may tell why:"
                                      << QString::fromStdString(manager->logPath());
    }
}

quint64 AppDelegate::beginAction(StatusLine::ActionKind kind, const QString& title)
{
    qCInfo(agentLog).noquote() << title;
    const quint64 action = statusLine.actionBegan(kind, title.toStdString());
    follow({});
    return action;
}

void AppDelegate::runAgentAction(const QString& title, AgentWork work, StatusLine::ActionKind kind)
{
    const quint64 action = beginAction(kind, title);
    BackgroundQueue::shared().run(
        WorkClass::userInitiated,
        [this, manager = manager, channel = channel, work = std::move(work), title, action] {
            work(*manager);
            qCInfo(agentLog).noquote() << title << "done";
            channel.post([this, action] { follow(statusLine.actionDone(action, StatusLine::Clock::now())); });
        },
        agentErrorReporter(title, action));
}

BackgroundQueue::FailureHandler AppDelegate::agentErrorReporter(const QString& title, quint64 action)
{
    return [this, channel = channel, title, action](const std::exception_ptr& error) {
        const QString description = agentErrorDescription(error);
        qCWarning(agentLog).noquote() << title << "failed:" << description;
        channel.post([this, action, description] { presentAgentError(action, description); });
    };
}

void AppDelegate::presentAgentError(quint64 action, const QString& description)
{
    statusLine.actionFailed(action);
    keepOpenWindow(
        openAgentErrorAlert(description, this, [this, action] { follow(statusLine.alertAnswered(action)); }));
}

void AppDelegate::keepOpenWindow(QWidget* window)
{
    std::erase_if(openWindows, [](const QPointer<QWidget>& open) { return open.isNull(); });
    openWindows.emplace_back(window);
}

void AppDelegate::startAgent()
{
    runAgentAction(
        QStringLiteral("Starting agent..."),
        [](const kestrune::AgentManager& agent) {
            agent.ensureConfigured();
            agent.writeLaunchAgent();
            agent.start();
        },
        StatusLine::ActionKind::startsAgent);
}

void AppDelegate::stopAgent()
{
    runAgentAction(QStringLiteral("Stopping agent..."), [](const kestrune::AgentManager& agent) { agent.stop(); });
}

void AppDelegate::restartAgent()
{
    runAgentAction(
        QStringLiteral("Restarting agent..."),
        [](const kestrune::AgentManager& agent) {
            try {
                agent.stop();
            } catch (...) {
                // Not running, or not loaded: starting afresh is what was asked for.
            }
            agent.ensureConfigured();
            agent.writeLaunchAgent();
            agent.start();
        },
        StatusLine::ActionKind::startsAgent);
}

void AppDelegate::showPairingQR()
{
    // Neither starts nor stops the agent: a start's follow-ups go on meanwhile.
    const QString title = QStringLiteral("Preparing pairing QR...");
    const quint64 action = beginAction(StatusLine::ActionKind::pairing, title);
    BackgroundQueue::shared().run(
        WorkClass::userInitiated,
        [this, manager = manager, channel = channel, title, action] {
            manager->ensureConfigured();
            const QString qrText = QString::fromStdString(manager->pairingQROutput());
            QRWindowController::prepareFont();
            qCInfo(agentLog).noquote() << title << "done";
            channel.post([this, action, qrText] { presentPairingQR(action, qrText); });
        },
        agentErrorReporter(title, action));
}

void AppDelegate::presentPairingQR(quint64 action, const QString& qrText)
{
    // A window takes milliseconds to build and paint. Answers that arrive together
    // are delivered in one pass of the event loop: opening all their windows there
    // would freeze the UI for as long, so each pass opens one.
    pendingQRTexts.push_back({action, qrText});
    if (pendingQRTexts.size() == 1) {
        QTimer::singleShot(0, this, &AppDelegate::presentNextPairingQR);
    }
}

void AppDelegate::presentNextPairingQR()
{
    if (pendingQRTexts.empty()) {
        return;
    }
    // The previous window stays open until its user closes it.
    const PendingQR next = pendingQRTexts.front();
    pendingQRTexts.pop_front();
    qrWindow = std::make_unique<QRWindowController>(next.text);
    keepOpenWindow(qrWindow->window());
    qrWindow->showWindow();
    follow(statusLine.actionDone(next.action, StatusLine::Clock::now()));
    if (!pendingQRTexts.empty()) {
        QTimer::singleShot(0, this, &AppDelegate::presentNextPairingQR);
    }
}

void AppDelegate::openDashboard()
{
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(kestrune::webDashboardURL)));
}

void AppDelegate::viewLogs()
{
    manager->ensureStateDirectoryExists();
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(manager->logPath())));
}

void AppDelegate::openSettingsFolder()
{
    manager->ensureStateDirectoryExists();
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(manager->stateDirectory())));
}

void AppDelegate::quit()
{
    // The agent's job belongs to the service manager and keeps running.
    QCoreApplication::quit();
}

} // namespace kestrune::app
