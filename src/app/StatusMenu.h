#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QMenu;
class QObject;
class QSystemTrayIcon;

namespace kestrune::app {

// One entry of the status menu: its title and what choosing it does; an empty title
// is a separator.
struct StatusMenuEntry {
    QString title;
    std::function<void()> chosen;
};

// The status menu: first the status line, disabled, reading `statusText`, then the
// entries in their order. The last entry takes the platform's Quit shortcut (Ctrl+Q,
// Command-Q on macOS). Each choice runs in `context`'s thread while `context` lives.
std::unique_ptr<QMenu> makeStatusMenu(const QString& statusText, const std::vector<StatusMenuEntry>& entries,
                                      QObject* context);

// The status item in the system tray, a child of `parent`, that opens `menu`. Shown
// once the desktop has a tray; until then a notice says what is missing.
QSystemTrayIcon* makeStatusItem(QMenu* menu, QObject* parent);

} // namespace kestrune::app
