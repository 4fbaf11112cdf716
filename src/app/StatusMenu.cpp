#include "StatusMenu.h"

#include "StatusIcon.h"
#include "TrayHostNotice.h"

#include <QAction>
#include <QCursor>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kestrune::app {

std::unique_ptr<QMenu> makeStatusMenu(const QString& statusText, const std::vector<StatusMenuEntry>& entries,
                                      QObject* context)
{
    auto menu = std::make_unique<QMenu>();
    menu->addAction(statusText)->setEnabled(false);
    QAction* action = nullptr;
    for (const StatusMenuEntry& entry : entries) {
        if (entry.title.isEmpty()) {
            menu->addSeparator();
            continue;
        }
        action = menu->addAction(entry.title);
        QObject::connect(action, &QAction::triggered, context, entry.chosen);
    }
    if (action != nullptr) {
        action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q)); // Qt reads Ctrl as Command on macOS
    }
    return menu;
}

QSystemTrayIcon* makeStatusItem(QMenu* menu, QObject* parent)
{
    auto* item = new QSystemTrayIcon(fallbackStatusIcon(), parent);
    item->setToolTip(QStringLiteral("Kestrune"));
    item->setContextMenu(menu);
#ifndef Q_OS_MACOS
    // Most Linux trays only open the context menu on a right click; a menu-bar app
    // is expected to answer a plain click with its menu too.
    QObject::connect(item, &QSystemTrayIcon::activated, item,
                     [menu = QPointer<QMenu>(menu)](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && menu) {
                             menu->popup(QCursor::pos());
                         }
                     });
#endif
    TrayHostNotice::showWhenTrayAvailable(item);
    // The theme's icon, once the first pass of the event loop has shown the drawn one:
    // searching the theme takes milliseconds that the icon's appearance need not wait for.
    QTimer::singleShot(0, item, [item] {
        const QIcon themed = themedStatusIcon();
        if (!themed.isNull()) {
            item->setIcon(themed);
        }
    });
    return item;
}

} // namespace kestrune::app
