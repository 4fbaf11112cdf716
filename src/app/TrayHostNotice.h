#pragma once

#include <QObject>

#include <memory>

class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace kestrune::app {

// Shows the tray icon once the desktop has a system tray to dock it in. Without
// one the program would run unseen, so until a tray host appears a small window
// says what is missing and what to do about it.
class TrayHostNotice : public QObject {
  public:
    // Shows `icon` at once when a tray is there; otherwise shows the notice and
    // waits, then shows `icon` and closes the notice. Lives as a child of `icon`.
    static void showWhenTrayAvailable(QSystemTrayIcon* icon);

    ~TrayHostNotice() override;

  private:
    explicit TrayHostNotice(QSystemTrayIcon* icon);
    void dockIfTrayAppeared();

    QSystemTrayIcon* icon_;
    QTimer* poll_;
    std::unique_ptr<QWidget> window_;
};

} // namespace kestrune::app
