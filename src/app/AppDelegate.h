#pragma once

#include "BackgroundQueue.h"
#include "MainThreadChannel.h"
#include "QRWindowController.h"
#include "agent/AgentManager.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
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

    // Where the status line's health comes from and how a follow-up probe waits.
    // The product asks the agent's endpoint and waits on a timer; tests answer and
    // fire both by hand. An empty member keeps the product's way.
    struct HealthProbing {
        // Called on a worker thread.
        std::function<bool(const kestrune::AgentManager&)> isHealthy;
        // Called on the UI thread: runs `followUp` there once the follow-up interval
        // has passed, unless the delegate is gone by then.
        std::function<void(std::function<void()> followUp)> afterFollowUpInterval;
    };

    AppDelegate();
    explicit AppDelegate(kestrune::AgentManager agentManager, QObject* parent = nullptr);
    AppDelegate(kestrune::AgentManager agentManager, HealthProbing probing, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the tray icon and its menu, then keeps the status line fresh.
    void applicationDidFinishLaunching();

    // What an action leaves behind: a starting agent is probed again shortly until
    // it answers, so the status does not read stopped while it binds its port.
    // Until then the line never reads stopped: the last follow-up shows what is, and
    // a newer Start, Stop or Restart ends them (a pairing QR fetch does not).
    enum class AgentOutcome { settled, startsAgent };

    // Sets the interim status, runs `work` in the background, then refreshes the
    // status, after an alert when `work` threw. Logs the action and its outcome.
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
    // A Start or Restart whose agent may still be coming up: from its click until its
    // follow-ups end, or a newer Start, Stop or Restart begins.
    struct StartUnderWay {
        quint64 action;
        QString title;
    };
    struct PendingQR {
        quint64 action;
        QString text;
    };

    // Probes in the background and hands the answer to `show` on the UI thread;
    // unlessShown: not when the status line already shows it.
    enum class Delivery { always, unlessShown };
    void probeHealth(Delivery delivery, std::function<void(bool healthy)> show);
    // The refresh that ends `action`; skipped while a newer action's text is up, so
    // that text stays until that action's own refresh.
    void refreshAfterAction(quint64 action);
    // One follow-up of the start numbered `action`; while it reads stopped, up to
    // `followUpsLeft` more follow.
    void probeAndShowStatus(quint64 action, int followUpsLeft);
    // What a refresh shows: the health, but never "stopped" while a start is under way.
    void showProbedHealth(bool healthy);
    void showHealth(bool healthy);
    // Shows an action's interim text and logs it; returns the action's number.
    quint64 beginAction(const QString& title);
    void finishAction(quint64 action);
    void setStatusTitle(const QString& title);
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
    HealthProbing probing;
    // Which health text the status line shows, for the probe threads to read: a
    // refresh that finds the line right posts nothing, so an idle app's UI thread
    // wakes for its timer alone.
    enum class ShownHealth { neither, stopped, running };
    std::shared_ptr<std::atomic<ShownHealth>> shownHealth = std::make_shared<std::atomic<ShownHealth>>();
    quint64 latestAction = 0; // numbers the actions that set an interim text
    quint64 lineAction = 0;   // the action whose interim text is up; 0: the health is
    std::optional<StartUnderWay> startUnderWay;
    QElapsedTimer followUpClock; // since the start under way finished its work
    std::unique_ptr<QRWindowController> qrWindow;
    // Every QR window and alert still open: they outlive their makers, not the program.
    std::vector<QPointer<QWidget>> openWindows;
    std::deque<PendingQR> pendingQRTexts; // answers waiting for their window

    // A menu cannot have a QObject parent; the tray icon only refers to it.
    std::unique_ptr<QMenu> statusMenu;
    MainThreadChannel channel;
};

} // namespace kestrune::app
