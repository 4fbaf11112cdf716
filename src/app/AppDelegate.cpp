#include "AppDelegate.h"

#include "AgentErrorAlert.h"
#include "AgentLog.h"
#include "BackgroundQueue.h"
#include "StatusIcon.h"
#include "TrayHostNotice.h"
#include "agent/ProgramConstants.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
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
// After a start the agent may need a moment to listen on its port: probe again
// this often, this many times at most, until it answers, instead of showing it
// stopped until the next periodic refresh.
constexpr int startFollowUpIntervalMilliseconds = 250;
constexpr int startFollowUpProbes = 12;

QString healthTitle(bool healthy)
{
    return healthy ? QStringLiteral("Status: Local agent running") : QStringLiteral("Status: Local agent stopped");
}

} // namespace

AppDelegate::AppDelegate() : AppDelegate(kestrune::AgentManager()) {}

AppDelegate::AppDelegate(kestrune::AgentManager agentManager, QObject* parent)
    : AppDelegate(std::move(agentManager), HealthProbing(), parent)
{
}

AppDelegate::AppDelegate(kestrune::AgentManager agentManager, HealthProbing healthProbing, QObject* parent)
    : QObject(parent), manager(std::make_shared<const kestrune::AgentManager>(std::move(agentManager))),
      probing(std::move(healthProbing)), channel(this)
{
    if (!probing.isHealthy) {
        probing.isHealthy = [](const kestrune::AgentManager& agent) {
            return agent.isAgentHealthy();
        };
    }
    if (!probing.afterFollowUpInterval) {
        probing.afterFollowUpInterval = [this](std::function<void()> followUp) {
            QTimer::singleShot(startFollowUpIntervalMilliseconds, this, std::move(followUp));
        };
    }
}

AppDelegate::~AppDelegate()
{
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

    statusMenu = std::make_unique<QMenu>();
    statusMenuItem = statusMenu->addAction(QStringLiteral("Status: Checking..."));
    statusMenuItem->setEnabled(false);
    statusMenu->addSeparator();

    const auto addEntry = [this](const QString& title, void (AppDelegate::*slot)()) {
        QAction* action = statusMenu->addAction(title);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    addEntry(QStringLiteral("Open Web Dashboard"), &AppDelegate::openDashboard);
    addEntry(QStringLiteral("Show Pairing QR"), &AppDelegate::showPairingQR);
    statusMenu->addSeparator();
    addEntry(QStringLiteral("Start Agent"), &AppDelegate::startAgent);
    addEntry(QStringLiteral("Stop Agent"), &AppDelegate::stopAgent);
    addEntry(QStringLiteral("Restart Agent"), &AppDelegate::restartAgent);
    statusMenu->addSeparator();
    addEntry(QStringLiteral("View Logs"), &AppDelegate::viewLogs);
    addEntry(QStringLiteral("Open Settings Folder"), &AppDelegate::openSettingsFolder);
    statusMenu->addSeparator();
    // Qt reads Ctrl as Command on macOS.
    addEntry(QStringLiteral("Quit Kestrune"), &AppDelegate::quit)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    statusItem = new QSystemTrayIcon(fallbackStatusIcon(), this);
    statusItem->setToolTip(QStringLiteral("Kestrune"));
    statusItem->setContextMenu(statusMenu.get());
#ifndef Q_OS_MACOS
    // Most Linux trays only open the context menu on a right click; a menu-bar app
    // is expected to answer a plain click with its menu too.
    connect(statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && statusMenu) {
            statusMenu->popup(QCursor::pos());
        }
    });
#endif
    TrayHostNotice::showWhenTrayAvailable(statusItem);
    QTimer::singleShot(0, this, [this] {
        const QIcon themed = themedStatusIcon();
        if (!themed.isNull()) {
            statusItem->setIcon(themed);
        }
    });

    refreshStatus();

    timer = new QTimer(this);
    timer->setInterval(refreshIntervalMilliseconds);
    connect(timer, &QTimer::timeout, this, &AppDelegate::refreshStatus);
    timer->start();
}

void AppDelegate::setStatusTitle(const QString& title)
{
    if (statusMenuItem != nullptr) {
        statusMenuItem->setText(title);
    }
    shownHealth->store(title == healthTitle(true)    ? ShownHealth::running
                       : title == healthTitle(false) ? ShownHealth::stopped
                                                     : ShownHealth::neither);
}

void AppDelegate::showHealth(bool healthy)
{
    lineAction = 0;
    setStatusTitle(healthTitle(healthy));
}

void AppDelegate::showProbedHealth(bool healthy)
{
    // An agent that was just started may not listen yet, and a first run may spend
    // seconds provisioning: "stopped" would be false. The start says what happens.
    if (!healthy && startUnderWay) {
        lineAction = startUnderWay->action;
        setStatusTitle(QStringLiteral("Status: ") + startUnderWay->title);
        return;
    }
    showHealth(healthy);
}

void AppDelegate::refreshStatus()
{
    probeHealth(Delivery::unlessShown, [this](bool healthy) { showProbedHealth(healthy); });
}

void AppDelegate::refreshAfterAction(quint64 action)
{
    if (lineAction > action) {
        return;
    }
    probeHealth(Delivery::unlessShown, [this, action](bool healthy) {
        if (lineAction <= action) {
            showProbedHealth(healthy);
        }
    });
}

void AppDelegate::probeHealth(Delivery delivery, std::function<void(bool healthy)> show)
{
    // A line that shows health is never held for an action or a start (see
    // showProbedHealth), so the same answer would change nothing.
    auto shown = delivery == Delivery::unlessShown ? shownHealth : nullptr;
    BackgroundQueue::shared().run(WorkClass::utility, [isHealthy = probing.isHealthy, manager = manager,
                                                       channel = channel, shown = std::move(shown),
                                                       show = std::move(show)] {
        const bool healthy = isHealthy(*manager);
        if (shown && shown->load() == (healthy ? ShownHealth::running : ShownHealth::stopped)) {
            return;
        }
        channel.post([show, healthy] { show(healthy); });
    });
}

void AppDelegate::probeAndShowStatus(quint64 action, int followUpsLeft)
{
    const auto stillUnderWay = [this, action] {
        return startUnderWay && startUnderWay->action == action;
    };
    if (!stillUnderWay()) {
        return; // a newer Start, Stop or Restart took over
    }
    probeHealth(Delivery::always, [this, action, followUpsLeft, stillUnderWay](bool healthy) {
        if (!stillUnderWay()) {
            return;
        }
        if (!healthy && followUpsLeft > 0) {
            probing.afterFollowUpInterval(
                [this, action, followUpsLeft] { probeAndShowStatus(action, followUpsLeft - 1); });
            return;
        }
        startUnderWay.reset();
        const double seconds = static_cast<double>(followUpClock.elapsed()) / 1000.0;
        if (healthy) {
            qCInfo(agentLog).noquote() << "The agent answers its health probe," << seconds << "s after starting";
        } else {
            // A port that accepts and never answers makes each probe wait out its
            // deadline: the time is measured, not assumed.
            qCWarning(agentLog).noquote()
                << "The agent did not answer its health probe within" << seconds
                << "s of starting; its log may tell why:" << QString::fromStdString(manager->logPath());
        }
        // "Running" is news whatever the line says; "stopped" waits for the refresh
        // of a pairing fetch whose text is up.
        if (healthy || lineAction <= action) {
            showHealth(healthy);
        }
    });
}

quint64 AppDelegate::beginAction(const QString& title)
{
    qCInfo(agentLog).noquote() << title;
    setStatusTitle(QStringLiteral("Status: ") + title);
    lineAction = ++latestAction;
    return lineAction;
}

void AppDelegate::runAgentAction(const QString& title, AgentWork work, AgentOutcome outcome)
{
    const quint64 action = beginAction(title);
    // A newer Start, Stop or Restart ends whatever the last start awaited.
    startUnderWay.reset();
    if (outcome == AgentOutcome::startsAgent) {
        startUnderWay = StartUnderWay{action, title};
    }
    BackgroundQueue::shared().run(
        WorkClass::userInitiated,
        [this, manager = manager, channel = channel, work = std::move(work), title, action] {
            work(*manager);
            qCInfo(agentLog).noquote() << title << "done";
            channel.post([this, action] { finishAction(action); });
        },
        agentErrorReporter(title, action));
}

void AppDelegate::finishAction(quint64 action)
{
    if (startUnderWay && startUnderWay->action == action) {
        followUpClock.start();
        probeAndShowStatus(action, startFollowUpProbes);
    } else {
        refreshAfterAction(action);
    }
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
    if (startUnderWay && startUnderWay->action == action) {
        startUnderWay.reset(); // a start that failed brings no agent up
    }
    keepOpenWindow(openAgentErrorAlert(description, this, [this, action] { refreshAfterAction(action); }));
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
        AgentOutcome::startsAgent);
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
        AgentOutcome::startsAgent);
}

void AppDelegate::showPairingQR()
{
    // Neither starts nor stops the agent: a start's follow-ups go on meanwhile.
    const QString title = QStringLiteral("Preparing pairing QR...");
    const quint64 action = beginAction(title);
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
    refreshAfterAction(next.action);
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
