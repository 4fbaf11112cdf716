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
constexpr double startFollowUpSeconds = startFollowUpIntervalMilliseconds * startFollowUpProbes / 1000.0;

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
    setStatusTitle(healthTitle(healthy));
}

void AppDelegate::refreshStatus()
{
    probeHealth(Delivery::unlessShown, [this](bool healthy) {
        // While a start's follow-ups wait for the agent, "stopped" would only
        // flicker: their last one says so if it still holds.
        if (healthy || followedUpAction != latestAction) {
            showHealth(healthy);
        }
    });
}

void AppDelegate::probeHealth(Delivery delivery, std::function<void(bool healthy)> show)
{
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
    // A newer action owns the line: its interim text stays until its own refresh.
    if (action != latestAction) {
        return;
    }
    probeHealth(Delivery::always, [this, action, followUpsLeft](bool healthy) {
        if (action != latestAction) {
            return;
        }
        if (!healthy && followUpsLeft > 0) {
            probing.afterFollowUpInterval(
                [this, action, followUpsLeft] { probeAndShowStatus(action, followUpsLeft - 1); });
            return;
        }
        followedUpAction.reset();
        if (healthy) {
            qCInfo(agentLog) << "The agent answers its health probe";
        } else {
            qCWarning(agentLog).noquote()
                << "The agent did not answer its health probe within" << startFollowUpSeconds
                << "s of starting; its log may tell why:" << QString::fromStdString(manager->logPath());
        }
        showHealth(healthy);
    });
}

quint64 AppDelegate::beginAction(const QString& title)
{
    qCInfo(agentLog).noquote() << title;
    setStatusTitle(QStringLiteral("Status: ") + title);
    return ++latestAction;
}

void AppDelegate::runAgentAction(const QString& title, AgentWork work, AgentOutcome outcome)
{
    const quint64 action = beginAction(title);
    BackgroundQueue::shared().run(
        WorkClass::userInitiated,
        [this, manager = manager, channel = channel, work = std::move(work), title, action, outcome] {
            work(*manager);
            qCInfo(agentLog).noquote() << title << "done";
            channel.post([this, action, outcome] { finishAction(action, outcome); });
        },
        agentErrorReporter(title));
}

void AppDelegate::finishAction(quint64 action, AgentOutcome outcome)
{
    // A start that a newer action overtook ends like any other action.
    if (outcome == AgentOutcome::startsAgent && action == latestAction) {
        followedUpAction = action;
        probeAndShowStatus(action, startFollowUpProbes);
    } else {
        refreshStatus();
    }
}

BackgroundQueue::FailureHandler AppDelegate::agentErrorReporter(const QString& title)
{
    return [this, channel = channel, title](const std::exception_ptr& error) {
        const QString description = agentErrorDescription(error);
        qCWarning(agentLog).noquote() << title << "failed:" << description;
        channel.post([this, description] { presentAgentError(description); });
    };
}

void AppDelegate::presentAgentError(const QString& description)
{
    keepOpenWindow(openAgentErrorAlert(description, this, [this] { refreshStatus(); }));
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
    const QString title = QStringLiteral("Preparing pairing QR...");
    beginAction(title);
    BackgroundQueue::shared().run(
        WorkClass::userInitiated,
        [this, manager = manager, channel = channel, title] {
            manager->ensureConfigured();
            const QString qrText = QString::fromStdString(manager->pairingQROutput());
            qCInfo(agentLog).noquote() << title << "done";
            channel.post([this, qrText] { presentPairingQR(qrText); });
        },
        agentErrorReporter(title));
}

void AppDelegate::presentPairingQR(const QString& qrText)
{
    // A window takes milliseconds to build and paint. Answers that arrive together
    // are delivered in one pass of the event loop: opening all their windows there
    // would freeze the UI for as long, so each pass opens one.
    pendingQRTexts.push_back(qrText);
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
    qrWindow = std::make_unique<QRWindowController>(pendingQRTexts.front());
    pendingQRTexts.pop_front();
    keepOpenWindow(qrWindow->window());
    qrWindow->showWindow();
    refreshStatus();
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
