#include "AgentLog.h"
#include "AppDelegate.h"
#include "BackgroundQueue.h"
#include "SingleInstance.h"
#include "agent/AbsorbedFailures.h"
#include "agent/TransferThreads.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Quitting waits for no agent action or QR fetch: every file is replaced
// atomically, so ending mid-action loses nothing, and the children they started
// carry on by themselves. Only a health probe that is under way (at most two
// seconds) may end before the process tears down.
constexpr int probeGraceMilliseconds = 2500;

// The service manager's tool failing while the agent starts leaves the status
// reading stopped; the log (stderr, or the journal) says why.
void logAbsorbedFailure(kestrune::AbsorbedSeverity severity, const std::string& message)
{
    if (severity == kestrune::AbsorbedSeverity::routine) {
        qCInfo(kestrune::app::agentLog).noquote() << QString::fromStdString(message);
    } else {
        qCWarning(kestrune::app::agentLog).noquote() << QString::fromStdString(message);
    }
}

// True when nothing started by the app still runs, so the process may tear down.
bool backgroundWorkSettled()
{
    using kestrune::app::BackgroundQueue;
    using kestrune::app::WorkClass;
    const bool probesDone = BackgroundQueue::shared().waitForDone(WorkClass::utility, probeGraceMilliseconds);
    return probesDone && BackgroundQueue::shared().waitForDone(WorkClass::userInitiated, 0) &&
           kestrune::transferTasksUnderWay() == 0;
}

} // namespace

// A tray-only program: no window of its own and no taskbar entry. On macOS the
// bundle's Info.plist (LSUIElement) makes it an accessory app: no Dock icon.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    kestrune::setAbsorbedFailureReporter(&logAbsorbedFailure);
    {
        kestrune::app::SingleInstance instance;
        if (!instance.claim()) {
            std::fputs("Kestrune is already running.\n", stderr);
            return 0;
        }
        // Closing a QR window or an alert must not end the program.
        QApplication::setQuitOnLastWindowClosed(false);
        kestrune::app::AppDelegate delegate;
        QTimer::singleShot(0, &delegate, &kestrune::app::AppDelegate::applicationDidFinishLaunching);
        QApplication::exec();
    } // the UI and the claim end here, even if the process lingers for a probe
    if (backgroundWorkSettled()) {
        return 0;
    }
    // A hung transfer or an action still waits on a thread that may wake at any
    // moment; the exit-time clean-up (library destructors, TLS teardown, Qt's
    // statics) would race it. Nothing is left to save, so none of it runs.
    std::fflush(nullptr);
    std::_Exit(0);
}
