// The app's own delegate and a real AgentManager, in process on the offscreen
// platform, against stand-ins on loopback. Prints one "key value" per line.
//
//   kestrune_app_bench stall COUNT       longest UI-thread gap while COUNT Start
//                                        Agent and COUNT Show Pairing QR run at once
//   kestrune_app_bench start REPS        Start Agent to "running", beside the
//                                        stand-in agent's own start-up time
//   kestrune_app_bench heard REPS        the agent killed, and stopped from a terminal,
//                                        to "stopped" (a systemd user manager only)
//   kestrune_app_bench refreshes COUNT   resident memory growth over COUNT status
//                                        refreshes against an agent that answers

#include "AppDelegate.h"
#include "BackgroundQueue.h"
#include "BenchSupport.h"
#include "agent/ProgramConstants.h"
#include "common/TestFiles.h"
#include "support/ProcessRunner.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QPoint>
#include <QTimer>
#include <QWidget>

#include <spawn.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace kestrune;
using Clock = std::chrono::steady_clock;

const QString runningStatus = QStringLiteral("Status: Local agent running");
const QString stoppedStatus = QStringLiteral("Status: Local agent stopped");
const QString qrTitle = QStringLiteral("Kestrune Pairing QR");

qint64 threadCpuNanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// How long the calling thread has waited, runnable, for a processor (Linux's
// scheduler statistics); 0 where they are missing.
qint64 threadRunDelayNanoseconds()
{
    std::ifstream stats("/proc/thread-self/schedstat");
    qint64 running = 0;
    qint64 waiting = 0;
    stats >> running >> waiting;
    return waiting;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs the event loop, as the app's own would, until `done` holds or `deadline`
// passes; false at the deadline. The loop sleeps in the event dispatcher between
// events, never in a sleep of its own that would delay the ticks being measured.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline)
{
    if (done()) {
        return true;
    }
    QEventLoop loop;
    bool reached = false;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) {
            reached = true;
            loop.quit();
        }
    });
    check.start(1);
    QTimer::singleShot(deadline, &loop, &QEventLoop::quit);
    loop.exec();
    return reached;
}

void spinFor(std::chrono::milliseconds duration)
{
    spinUntil([] { return false; }, duration);
}

int visibleQRWindows()
{
    int count = 0;
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        count += widget->isVisible() && widget->windowTitle() == qrTitle ? 1 : 0;
    }
    return count;
}

// Closes any alert, so that a failure is counted instead of waiting for a click.
int dismissAlerts()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
        return 0;
    }
    std::fprintf(stderr, "alert: %s\n", box->informativeText().toUtf8().constData());
    box->reject();
    return 1;
}

// --- row 11 --------------------------------------------------------------------------

int stall(int count)
{
    testkit::TemporaryDirectory root;
    const std::string home = root.path() + "/home";
    std::filesystem::create_directories(home);
    // A launchctl that records and succeeds: the actions' cost is ours, not a service manager's.
    testkit::writeScript(root.path() + "/launchctl", "echo \"$*\" >> '" + root.path() + "/calls'\n");
    bench::RelayStandin relay;

    AgentEnvironment environment;
    environment.homeDirectory = home;
    environment.resourcesDirectory = std::filesystem::path(bench::standinAgentPath()).parent_path().string();
    environment.bundleDirectory = root.path() + "/unused";
    environment.launchctlPath = root.path() + "/launchctl";
    environment.shellPath = "/bin/zsh";
    environment.provisionURL = relay.provisionURL();
    environment.healthURL = "http://127.0.0.1:" + std::to_string(bench::closedLoopbackPort()) + "/healthz";
    environment.relayURL = "wss://relay.bench";

    app::AppDelegate delegate{AgentManager(environment)};
    delegate.applicationDidFinishLaunching();
    if (!spinUntil([&] { return delegate.statusAction()->text() == stoppedStatus; }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the first status probe did not finish\n");
        return 1;
    }

    // Every action is chosen from the menu, so it has been on screen (and text drawn,
    // loading the fonts) before the first one starts.
    delegate.menu()->popup(QPoint(0, 0));
    spinFor(std::chrono::milliseconds(100));
    delegate.menu()->hide();

    // Gaps between the ticks of a 1 ms timer are the UI thread's stalls.
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 longest = 0;
    // (when, how long, how much of it the UI thread ran, how much it waited runnable
    // for a processor), over 16 ms: the running is our work, the waiting is the
    // machine's, and what is left the thread slept.
    std::vector<std::tuple<double, double, double, double>> longGaps;
    qint64 lastCpu = threadCpuNanoseconds();
    qint64 lastDelay = threadRunDelayNanoseconds();
    int alerts = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 nowCpu = threadCpuNanoseconds();
        const qint64 nowDelay = threadRunDelayNanoseconds();
        longest = std::max(longest, now - last);
        if (now - last > 16'000'000) {
            longGaps.emplace_back(static_cast<double>(last) / 1e6, static_cast<double>(now - last) / 1e6,
                                  static_cast<double>(nowCpu - lastCpu) / 1e6,
                                  static_cast<double>(nowDelay - lastDelay) / 1e6);
        }
        last = now;
        lastCpu = nowCpu;
        lastDelay = nowDelay;
        alerts += dismissAlerts();
    });
    ticker.start();
    spinFor(std::chrono::milliseconds(300));
    const double idleLongest = static_cast<double>(longest) / 1e6;

    longest = 0;
    longGaps.clear();
    last = clock.nsecsElapsed();
    lastCpu = threadCpuNanoseconds();
    lastDelay = threadRunDelayNanoseconds();
    const double firedAt = static_cast<double>(last) / 1e6;
    const auto fired = Clock::now();
    for (int i = 0; i < count; ++i) {
        delegate.startAgent();
        delegate.showPairingQR();
    }
    const double firing = bench::millisecondsSince(fired);
    const bool finished = spinUntil(
        [&] {
            return (visibleQRWindows() + alerts >= count && app::BackgroundQueue::shared().waitForDone(0)) ||
                   alerts > 0;
        },
        std::chrono::seconds(90));
    const double elapsed = bench::millisecondsSince(fired);
    spinFor(std::chrono::milliseconds(200)); // the last refreshes land
    ticker.stop();

    std::printf("stall_longest_ms %.3f\n", static_cast<double>(longest) / 1e6);
    std::printf("stall_idle_longest_ms %.3f\n", idleLongest);
    std::printf("stall_firing_ms %.3f\n", firing);
    std::printf("stall_all_done_ms %.3f\n", elapsed);
    std::printf("stall_qr_windows %d\n", visibleQRWindows());
    std::printf("stall_alerts %d\n", alerts);
    for (const auto& [when, length, running, waiting] : longGaps) {
        std::printf("stall_gap_over_16ms %.1f ms (%.1f ms running, %.1f ms waiting for a processor), %.1f ms after "
                    "the actions were fired\n",
                    length, running, waiting, when - firedAt);
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->windowTitle() == qrTitle) {
            widget->close();
        }
    }
    if (!finished || alerts > 0) {
        std::fprintf(stderr, "the actions did not all finish cleanly\n");
        return 1;
    }
    return 0;
}

// --- row 12 -------------------------------------------------------------------------

constexpr int agentPort = 8765; // compiled into the configuration the product writes

// Exec to the first 200 from /healthz, for the stand-in agent run directly.
double agentStartup()
{
    const auto begin = Clock::now();
    bench::Child agent({bench::standinAgentPath()}, bench::agentVariables(agentPort));
    const auto end = begin + std::chrono::seconds(10);
    while (!bench::answers200(agentPort, "/healthz")) {
        if (Clock::now() >= end) {
            throw std::runtime_error("the stand-in agent did not answer");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double milliseconds = bench::millisecondsSince(begin);
    agent.stop();
    return milliseconds;
}

// The real systemd user manager when run under scripts/private-user-manager, else
// the launchd stand-in with fresh state.
void useServiceManager(AgentEnvironment& environment, const std::string& scratch)
{
    if (std::getenv("PRIVATE_USER_MANAGER") != nullptr) {
        environment.serviceManager = ServiceManagerKind::systemd;
        environment.configHomeDirectory = std::string(std::getenv("HOME")) + "/.config";
        return;
    }
    ::setenv("LAUNCHD_STANDIN_STATE_DIR", (scratch + "/launchd").c_str(), 1);
    ::setenv("LAUNCHD_STANDIN_THROTTLE_SECONDS", "1", 1);
}

// Counts the child processes the app starts (runProcess is its only way to start one).
std::atomic<int> spawns{0};
int countingSpawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                  const posix_spawnattr_t* attributes, char* const argv[], char* const envp[])
{
    ++spawns;
    return ::posix_spawn(pid, path, actions, attributes, argv, envp);
}

// Runs `act` and returns how long after it the status line first read `status`, in
// milliseconds; -1 when it did not within `deadline`.
double millisecondsUntil(app::AppDelegate& delegate, const QString& status, const std::function<void()>& act,
                         std::chrono::milliseconds deadline = std::chrono::seconds(30))
{
    Clock::time_point reached;
    bool seen = false;
    const QMetaObject::Connection watch = QObject::connect(delegate.statusAction(), &QAction::changed, [&] {
        if (!seen && delegate.statusAction()->text() == status) {
            seen = true;
            reached = Clock::now();
        }
    });
    const Clock::time_point begin = Clock::now();
    act();
    const bool ok = spinUntil([&] { return seen || dismissAlerts() > 0; }, deadline) && seen;
    QObject::disconnect(watch);
    return ok ? std::chrono::duration<double, std::milli>(reached - begin).count() : -1;
}

bool portFree()
{
    return !bench::waitForListener(agentPort, std::chrono::milliseconds(0));
}

// The product's environment but for a fresh home in `root` and provisioning from `relay`.
AgentEnvironment benchEnvironment(const std::string& root, const bench::RelayStandin& relay)
{
    AgentEnvironment environment;
    environment.homeDirectory = root + "/home";
    environment.resourcesDirectory = std::filesystem::path(bench::standinAgentPath()).parent_path().string();
    environment.bundleDirectory = root + "/unused";
    environment.launchctlPath = bench::standinDirectory() + "/launchctl";
    environment.shellPath = "/bin/zsh";
    environment.provisionURL = relay.provisionURL();
    environment.healthURL = "http://127.0.0.1:" + std::to_string(agentPort) + "/healthz";
    environment.relayURL = "wss://relay.bench";
    useServiceManager(environment, root);
    std::filesystem::create_directories(environment.homeDirectory);
    return environment;
}

int startToRunning(int repetitions)
{
    if (!portFree()) {
        std::fprintf(stderr, "something already listens on 127.0.0.1:%d\n", agentPort);
        return 1;
    }
    bench::RelayStandin relay;
    std::vector<double> ours;
    std::vector<double> baseline;
    std::vector<double> unchanged;
    int unchangedSpawns = 0;
    constexpr double refreshMs = 5000;
    for (int rep = 0; rep < repetitions; ++rep) {
        baseline.push_back(agentStartup());

        // A first run each time: fresh home, fresh service-manager state.
        testkit::TemporaryDirectory root;
        const AgentEnvironment environment = benchEnvironment(root.path(), relay);
        const AgentManager manager(environment);

        int alerts = 0;
        double result = -1;
        {
            auto delegate = std::make_unique<app::AppDelegate>(manager);
            const auto launched = Clock::now();
            delegate->applicationDidFinishLaunching();
            // The user's choice falls anywhere in the refresh period: spread the
            // repetitions over it.
            const auto phase =
                std::chrono::milliseconds(300 + static_cast<int>(refreshMs * (rep + 0.5) / std::max(1, repetitions)));
            spinUntil([&] { return Clock::now() >= launched + phase; }, phase + std::chrono::seconds(1));

            result = millisecondsUntil(*delegate, runningStatus, [&] { delegate->startAgent(); });
            // Start again with nothing changed: the unit stays as it is, so no reload,
            // and the service manager is asked over its bus, so no child process.
            spawns = 0;
            spawnCall = &countingSpawn;
            unchanged.push_back(millisecondsUntil(*delegate, runningStatus, [&] { delegate->startAgent(); }));
            spawnCall = &::posix_spawn;
            unchangedSpawns = std::max(unchangedSpawns, spawns.load());
            alerts += dismissAlerts();
            app::BackgroundQueue::shared().waitForDone(10000);
        }
        try {
            manager.stop();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "stop: %s\n", error.what());
        }
        spinUntil(portFree, std::chrono::seconds(15));
        if (result < 0) {
            std::fprintf(stderr, "repetition %d: the status never read running (%d alerts)\n", rep, alerts);
            return 1;
        }
        ours.push_back(result);
    }
    std::printf("start_ours_median_ms %.3f\n", median(ours));
    std::printf("start_ours_max_ms %.3f\n", *std::max_element(ours.begin(), ours.end()));
    std::printf("start_ours_min_ms %.3f\n", *std::min_element(ours.begin(), ours.end()));
    std::printf("start_agent_startup_median_ms %.3f\n", median(baseline));
    std::printf("start_unchanged_median_ms %.3f\n", median(unchanged));
    std::printf("start_unchanged_spawns %d\n", unchangedSpawns);
    std::printf("start_repetitions %d\n", repetitions);
    std::printf("start_service_manager %s\n", std::getenv("PRIVATE_USER_MANAGER") != nullptr ? "systemd" : "launchd");
    return 0;
}

// --- rows 16 and 17 ------------------------------------------------------------------

// How soon the status line hears the agent go down without the app's doing: killed,
// and stopped from a terminal. Each time the agent is brought back first. Against a
// real systemd user manager, whose news the app follows.
int heardToStopped(int repetitions)
{
    if (std::getenv("PRIVATE_USER_MANAGER") == nullptr || !portFree()) {
        std::fprintf(stderr, "needs a private systemd user manager and a free port %d\n", agentPort);
        return 1;
    }
    bench::RelayStandin relay;
    testkit::TemporaryDirectory root;
    const AgentManager manager(benchEnvironment(root.path(), relay));
    app::AppDelegate delegate(manager);
    delegate.applicationDidFinishLaunching();
    const auto systemctl = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--user");
        return runProcess("/usr/bin/systemctl", arguments);
    };
    std::vector<double> killed;
    std::vector<double> stopped;
    const auto measure = [&](std::vector<double>& into, const std::function<void()>& act) {
        const double milliseconds = millisecondsUntil(delegate, stoppedStatus, act);
        if (milliseconds < 0) {
            throw std::runtime_error("the status line never read stopped");
        }
        into.push_back(milliseconds);
    };
    for (int rep = 0; rep < repetitions; ++rep) {
        if (millisecondsUntil(delegate, runningStatus, [&] { delegate.startAgent(); }) < 0) {
            throw std::runtime_error("the agent did not start");
        }
        const int pid = std::stoi(systemctl({"show", "-P", "MainPID", systemdUnitName}));
        measure(killed, [pid] { ::kill(pid, SIGKILL); });
        // The manager starts it again after five seconds, and the app follows it up.
        if (millisecondsUntil(
                delegate, runningStatus, [] {}, std::chrono::seconds(15)) < 0) {
            throw std::runtime_error("the restarted agent was not heard");
        }
        std::jthread terminal; // systemctl runs beside the app, as from a terminal
        measure(stopped, [&] { terminal = std::jthread([&] { systemctl({"stop", systemdUnitName}); }); });
    }
    std::printf("heard_killed_median_ms %.3f\n", median(killed));
    std::printf("heard_killed_max_ms %.3f\n", *std::max_element(killed.begin(), killed.end()));
    std::printf("heard_stopped_median_ms %.3f\n", median(stopped));
    std::printf("heard_stopped_max_ms %.3f\n", *std::max_element(stopped.begin(), stopped.end()));
    manager.stop();
    return 0;
}

// --- row 10 -------------------------------------------------------------------------

long residentKib()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    long kib = -1;
    char line[256];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    return kib;
}

int refreshGrowth(int count)
{
    bench::AgentStandin agent(bench::closedLoopbackPort());
    app::AppDelegate delegate{
        AgentManager(bench::networkOnlyEnvironment("http://127.0.0.1:" + std::to_string(agent.port()) + "/healthz"))};
    delegate.applicationDidFinishLaunching();
    // One refresh at a time, each delivered to the status line before the next.
    const auto refreshes = [&](int times) {
        for (int i = 0; i < times; ++i) {
            delegate.refreshStatus();
            app::BackgroundQueue::shared().waitForDone(10000);
            QCoreApplication::processEvents();
        }
        return delegate.statusAction()->text() == runningStatus;
    };
    // Warm up first: thread pools, the HTTP library and the allocator's arenas.
    if (!refreshes(std::max(1, count / 20))) {
        std::fprintf(stderr, "the stand-in agent did not read as running\n");
        return 1;
    }
    const long before = residentKib();
    if (!refreshes(count)) {
        std::fprintf(stderr, "the stand-in agent stopped reading as running\n");
        return 1;
    }
    std::printf("refresh_growth_kib %ld\n", residentKib() - before);
    std::printf("refresh_count %d\n", count);
    return 0;
}

} // namespace

// Times each event delivered from the event loop (not nested ones), to name what
// a long stall was made of.
class TimingApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (depth_++ > 0 || !tracing) {
            const bool result = QApplication::notify(receiver, event);
            --depth_;
            return result;
        }
        QElapsedTimer timer;
        timer.start();
        const int type = event->type();
        const QString name = QString::fromLatin1(receiver->metaObject()->className());
        const bool result = QApplication::notify(receiver, event);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (ms > 2.0) {
            std::fprintf(stderr, "event %d to %s: %.2f ms\n", type, name.toUtf8().constData(), ms);
        }
        --depth_;
        return result;
    }
    static inline bool tracing = false;

  private:
    int depth_ = 0;
};

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    TimingApplication application(argc, argv);
    TimingApplication::tracing = std::getenv("KESTRUNE_BENCH_TRACE_EVENTS") != nullptr;
    QApplication::setQuitOnLastWindowClosed(false);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s stall COUNT | start REPETITIONS | heard REPETITIONS | refreshes COUNT\n",
                     argv[0]);
        return 2;
    }
    const int number = std::max(1, std::atoi(argv[2]));
    try {
        if (std::strcmp(argv[1], "stall") == 0) {
            return stall(number);
        }
        if (std::strcmp(argv[1], "start") == 0) {
            return startToRunning(number);
        }
        if (std::strcmp(argv[1], "heard") == 0) {
            return heardToStopped(number);
        }
        if (std::strcmp(argv[1], "refreshes") == 0) {
            return refreshGrowth(number);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 2;
}
