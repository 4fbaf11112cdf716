#include "AppDelegate.h"
#include "BackgroundQueue.h"

#include <QApplication>
#include <QTimer>

namespace {

// Quitting does not wait for agent actions: every file is replaced atomically, so
// ending mid-action loses nothing. The short grace only lets a health probe that
// is under way (at most two seconds) end before the process tears down.
constexpr int exitGraceMilliseconds = 2500;

} // namespace

// A tray-only program: no window of its own and no taskbar entry. (A macOS bundle
// would mark itself an accessory app with LSUIElement in its Info.plist.)
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // Closing a QR window or an alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    {
        kestrune::app::AppDelegate delegate;
        QTimer::singleShot(0, &delegate, &kestrune::app::AppDelegate::applicationDidFinishLaunching);
        QApplication::exec();
    }
    kestrune::app::BackgroundQueue::shared().waitForDone(exitGraceMilliseconds);
    return 0;
}
