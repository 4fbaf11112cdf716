#include "AppDelegate.h"
#include "BackgroundQueue.h"

#include <QApplication>
#include <QTimer>

namespace {

// Lets an action already under way (provisioning, writing the job) finish before
// the process ends; a hung child cannot hold the exit beyond this.
constexpr int exitGraceMilliseconds = 20000;

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
