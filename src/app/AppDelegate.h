#pragma once

#include "BackgroundQueue.h"
#include "MainThreadChannel.h"
#include "QRWindowController.h"
#include "StatusLine.h"
#include "agent/AgentManager.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace kestrune::app {

// The menu-bar companion's wiring: a tray icon whose menu drives the agent manager,
// the background work, the windows and alerts, and the status line, whose rules are
// StatusLine's. Everything that blocks runs on background threads and reports back
// to the UI thread; menu entries are never disabled and nothing serialises the actions.
class AppDelegate : public QObject {
    Q_OBJECT

  public:
    using AgentWork = std::function<void(const kestrune::AgentManager&)>;

    AppDelegate();
    explicit AppDelegate(kestrune::AgentManager agentManager, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the tray icon and its menu, then keeps the status line fresh.
    void applicationDidFinishLaunching();

    // Shows the action's interim text, runs `work` in the background, then refreshes
    // the status, after an alert when `work` threw. Logs the action and its outcome.
    void runAgentAction(const QString& title, AgentWork work,
                        StatusLine::ActionKind kind = StatusLine::ActionKind::stopsAgent);

    // Null until launched.
    QMenu* menu() const { return statusMenu.get(); }
    QAction* statusAction() const { return statusMenuItem; }
    QSystemTrayIcon* trayIcon() const { return statusItem; }
    // The controller of the most recent pairing QR window, if any.
    const QRWindowController* currentQRWindow() const { return qrWindow.get(); }

  public slots:
    // Probes the agent's health in the background; returns at once.
    void refreshStatus();

    void openDashboard();
    void showPairingQR();
    void startAgent();
    void stopAgent();
    void restartAgent();
    void viewLogs();
    void openSettingsFolder();
    void quit();

  private:
    struct PendingQR {
        quint64 action;
        QString text;
    };

    // Hears the service manager tell of the agent's job, where it does (systemd).
    void watchAgentJob();
    // Carries out what the status line asked for after an event, and shows its text.
    void follow(const StatusLine::Next& next);
    void issueProbe(const StatusLine::ProbeRequest& request);
    void logSettledStart(const StatusLine::StartSettled& settled) const;
    quint64 beginAction(StatusLine::ActionKind kind, const QString& title);
    // Logs a failure of the background work begun as `title` (action `action`) and
    // hands it to the agent error alert.
    BackgroundQueue::FailureHandler agentErrorReporter(const QString& title, quint64 action);
    void presentAgentError(quint64 action, const QString& description);
    void keepOpenWindow(QWidget* window);
    void presentPairingQR(quint64 action, const QString& qrText);
    void presentNextPairingQR();

    QSystemTrayIcon* statusItem = nullptr;
    std::shared_ptr<const kestrune::AgentManager> manager;
    QAction* statusMenuItem = nullptr;
    QTimer* timer = nullptr;
    StatusLine statusLine;
    std::unique_ptr<kestrune::AgentJobWatch> jobWatch;
    std::unique_ptr<QRWindowController> qrWindow;
    // Every QR window and alert still open: they outlive their makers, not the program.
    std::vector<QPointer<QWidget>> openWindows;
    std::deque<PendingQR> pendingQRTexts; // answers waiting for their window

    // A menu cannot have a QObject parent; the tray icon only refers to it.
    std::unique_ptr<QMenu> statusMenu;
    MainThreadChannel channel;
};

} // namespace kestrune::app
