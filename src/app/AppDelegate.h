#pragma once

#include "BackgroundQueue.h"
#include "MainThreadChannel.h"
#include "QRWindowController.h"
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

// The menu-bar companion: a tray icon whose menu shows the agent's health and
// drives the agent manager. Everything that blocks runs on background threads and
// reports back to the UI thread; menu entries are never disabled and nothing
// serialises the actions.
class AppDelegate : public QObject {
    Q_OBJECT

  public:
    using AgentWork = std::function<void(const kestrune::AgentManager&)>;

    AppDelegate();
    explicit AppDelegate(kestrune::AgentManager agentManager, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the tray icon and its menu, then keeps the status line fresh.
    void applicationDidFinishLaunching();

    // What an action leaves behind: a starting agent is probed again shortly until
    // it answers, so the status does not read stopped while it binds its port.
    enum class AgentOutcome { settled, startsAgent };

    // Sets the interim status, runs `work` in the background, then refreshes the
    // status, after an alert when `work` threw.
    void runAgentAction(const QString& title, AgentWork work, AgentOutcome outcome = AgentOutcome::settled);

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
    // One health probe; while it reads stopped, up to `followUpsLeft` more follow.
    void probeAndShowStatus(int followUpsLeft);
    void setStatusTitle(const QString& title);
    // Hands a failure of background work to the agent error alert.
    BackgroundQueue::FailureHandler agentErrorReporter();
    void presentAgentError(const QString& description);
    void presentPairingQR(const QString& qrText);
    void presentNextPairingQR();

    QSystemTrayIcon* statusItem = nullptr;
    std::shared_ptr<const kestrune::AgentManager> manager;
    QAction* statusMenuItem = nullptr;
    QTimer* timer = nullptr;
    std::unique_ptr<QRWindowController> qrWindow;
    // Every QR window still open: they outlive their controllers, not the program.
    std::vector<QPointer<QWidget>> openQRWindows;
    std::deque<QString> pendingQRTexts; // answers waiting for their window

    // A menu cannot have a QObject parent; the tray icon only refers to it.
    std::unique_ptr<QMenu> statusMenu;
    MainThreadChannel channel;
};

} // namespace kestrune::app
