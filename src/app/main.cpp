#include "AppDelegate.h"
#include "BackgroundQueue.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

// Quitting waits for no agent action or QR fetch: every file is replaced
// atomically, so ending mid-action loses nothing, and the children they started
// carry on by themselves. Only a health probe that is under way (at most two
// seconds) may end before the process tears down.
constexpr int probeGraceMilliseconds = 2500;

} // namespace

// A tray-only program: no window of its own and no taskbar entry. On macOS the
// bundle's Info.plist (LSUIElement) makes it an accessory app: no Dock icon.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    kestrune::app::SingleInstance instance;
    if (!instance.claim()) {
        std::fputs("Kestrune is already running.\n", stderr);
        return 0;
    }
    // Closing a QR window or an alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    {
        kestrune::app::AppDelegate delegate;
        QTimer::singleShot(0, &delegate, &kestrune::app::AppDelegate::applicationDidFinishLaunching);
        QApplication::exec();
    }
    kestrune::app::BackgroundQueue::shared().waitForDone(kestrune::app::WorkClass::utility, probeGraceMilliseconds);
    return 0;
}
