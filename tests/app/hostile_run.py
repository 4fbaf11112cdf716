#!/usr/bin/python3
# A hostile user of the built app, through its tray item as a panel drives it: 300
# seeded random choices, then what must still hold. Runs inside scripts/sni-session
# under scripts/private-user-manager. Prints its seed; a third argument (or
# HOSTILE_SEED) replays one. Memory is the bench's matter; the files the app writes,
# the one provisioning and the children it reaps are the core tests'.
#   hostile_run.py <kestrune> <relay stand-in> [SEED]
import os, random, signal, subprocess, sys, time, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
from tray_protocol import TrayApp  # noqa: E402
from x_windows import Screen  # noqa: E402

RUNNING, STOPPED, ALERT, QR = "Status: Local agent running", "Status: Local agent stopped", "Kestrune", "Kestrune Pairing QR"
ACTIONS = ["Start Agent", "Stop Agent", "Restart Agent", "Show Pairing QR"]

if not os.environ.get("PRIVATE_USER_MANAGER"):
    print("SKIP:", os.environ.get("PRIVATE_USER_MANAGER_UNAVAILABLE"))
    sys.exit(1 if os.environ.get("KESTRUNE_REQUIRE_SYSTEMD") == "1" else 77)
app_path, relay_path = sys.argv[1:3]
seed = int((sys.argv[3:] or [os.environ.get("HOSTILE_SEED") or random.randrange(1 << 31)])[0])
print(f"seed {seed}", flush=True)
rnd, screen = random.Random(seed), Screen()
agent = os.path.realpath(os.path.join(os.path.dirname(app_path), "../libexec/kestrune/halvenix-server"))
seen = []


def fail(why):
    sys.exit(f"FAIL (seed {seed}): {why}")


def attempt(function, otherwise):
    try:
        return function()
    except OSError:
        return otherwise


def healthy():
    return attempt(lambda: urllib.request.urlopen("http://127.0.0.1:8765/healthz", timeout=2).status == 200, False)


def agents():  # the agent processes but for pairing runs
    pids = [int(p) for p in os.listdir("/proc") if p.isdigit()]
    return [p for p in pids if attempt(lambda: os.readlink(f"/proc/{p}/exe"), "") == agent
            and "--print-qr" not in attempt(lambda: open(f"/proc/{p}/cmdline").read(), "")]


def manager_pid():
    show = ["systemctl", "--user", "show", "-P", "MainPID", "app.halvenix.server.service"]
    return int(subprocess.run(show, capture_output=True, text=True).stdout or 0)


def figures():
    return len(os.listdir(f"/proc/{app.pid}/fd")), len(os.listdir(f"/proc/{app.pid}/task"))


def close_all(title):
    for window in reversed(screen.windows(title)):  # the topmost alert first
        screen.close(window)


# A status line that turns running must follow an agent that answered within 2 s.
def watch(seconds):
    for _ in range(max(1, int(seconds / 0.05))):
        seen.append((time.monotonic(), healthy(), tray.status()))
        time.sleep(0.03)
        turned_running = seen[-1][2] == RUNNING != seen[-2][2]
        if turned_running and not any(up for when, up, _ in seen if when >= seen[-2][0] - 2):
            fail("the status line turned running while the agent had not answered for 2 s")


# With the alerts answered and the agent's answer steady, the status line tells the
# truth within one refresh period and one probe's wait (and the tray's poll).
def settle(within=5 + 2 + 0.5):
    close_all(ALERT)
    begun = steady = time.monotonic()
    watch(0.1)
    while seen[-1][2] != (RUNNING if seen[-1][1] else STOPPED):
        up = seen[-1][1]
        watch(0.1)
        close_all(ALERT)
        if seen[-1][1] != up:
            steady = time.monotonic()
        if app.poll() is not None:
            fail(f"the app ended with status {app.returncode}")
        if time.monotonic() - steady > within or time.monotonic() - begun > 60:
            fail(f"the status line reads '{seen[-1][2]}' {time.monotonic() - steady:.1f} s after the agent "
                 f"{'answered' if seen[-1][1] else 'stopped answering'}")
    if any(pid != manager_pid() for pid in agents()):
        fail(f"agents {agents()}, the manager's {manager_pid()}")


relay = subprocess.Popen([relay_path, "--port", "8787"], stdout=subprocess.PIPE)
relay.stdout.readline()  # listening: the first Start or pairing provisions from it
app = subprocess.Popen([app_path], env=dict(os.environ, QT_LOGGING_RULES="kestrune.agent=false"))
tray = TrayApp.find(timeout=20)
seen.append((time.monotonic(), healthy(), tray.status()))
choices = ([lambda: tray.click(rnd.choice(ACTIONS))] * 8 + [lambda: [tray.click(a) for a in rnd.sample(ACTIONS, 2)]] * 2
           + [lambda: [os.kill(pid, signal.SIGKILL) for pid in agents()]]
           + [lambda: close_all(QR)] * 2 + [lambda: close_all(ALERT)] * 3)
for number in range(1, 301):
    rnd.choice(choices)()
    watch(rnd.uniform(0.05, 0.6))
    if number % 20 == 0:
        settle()
    if number == 20:  # the warm-up done, and the threads it started idle long enough to end
        close_all(QR)
        time.sleep(35)
        warm = figures()

close_all(QR)
tray.click("Start Agent")
tray.wait_status(RUNNING, 30)
settle()
if not any(time.sleep(1) or all(now <= then for now, then in zip(figures(), warm)) for _ in range(45)):
    fail(f"descriptors and threads {figures()}, after the warm-up {warm}")
tray.click("Quit Kestrune")
if app.wait(timeout=10) != 0:
    fail(f"Quit: status {app.returncode}")
relay.terminate()
print("300 choices, and everything held")
