#!/usr/bin/python3
# A hostile user of the built app, through its tray item as a panel drives it: 300
# seeded random choices, then what must still hold. Runs inside scripts/sni-session
# under scripts/private-user-manager. Prints its seed; a third argument (or
# HOSTILE_SEED) replays one. Reports memory, judges none (the bench does).
#   hostile_run.py <kestrune> <relay stand-in> [SEED]
import os, random, signal, subprocess, sys, time, urllib.request
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
from tray_protocol import TrayApp
from x_windows import Screen

if not os.environ.get("PRIVATE_USER_MANAGER"):
    print("SKIP:", os.environ.get("PRIVATE_USER_MANAGER_UNAVAILABLE")), sys.exit(1 if os.environ.get("KESTRUNE_REQUIRE_SYSTEMD") == "1" else 77)
(app_path, relay_path), seed = sys.argv[1:3], int((sys.argv[3:] or [os.environ.get("HOSTILE_SEED") or random.randrange(1 << 31)])[0])
rnd, screen, home, relay, served, seen = random.Random(seed), Screen(), os.path.expanduser("~/.halvenix"), None, 0, []
agent = os.path.realpath(os.path.join(os.path.dirname(app_path), "../libexec/kestrune/halvenix-server"))
RUNNING, STOPPED, ALERT, QR = "Status: Local agent running", "Status: Local agent stopped", "Kestrune", "Kestrune Pairing QR"
ACTIONS = ["Start Agent", "Stop Agent", "Restart Agent", "Show Pairing QR"]
print(f"seed {seed}", flush=True)

def fail(why): sys.exit(f"FAIL (seed {seed}): {why}")
def attempt(function, otherwise):
    try: return function()
    except OSError: return otherwise
def read(path): return attempt(lambda: open(path).read(), "")
def healthy(): return attempt(lambda: urllib.request.urlopen("http://127.0.0.1:8765/healthz", timeout=2).status == 200, False)
def pids(): return [int(p) for p in os.listdir("/proc") if p.isdigit()]
def agents(): return [p for p in pids() if attempt(lambda: os.readlink(f"/proc/{p}/exe"), "") == agent and "--print-qr" not in read(f"/proc/{p}/cmdline")]
def manager_pid(): return int(subprocess.run(["systemctl", "--user", "show", "-P", "MainPID", "app.halvenix.server.service"], capture_output=True, text=True).stdout or 0)
def figures(): return len(os.listdir(f"/proc/{app.pid}/fd")), len(os.listdir(f"/proc/{app.pid}/task"))
def close_all(title): [screen.close(window) for window in reversed(screen.windows(title))]  # the topmost alert first
def set_relay(up):
    global relay, served
    if up and not relay: relay = subprocess.Popen([relay_path, "--port", "8787"], stdout=subprocess.PIPE); relay.stdout.readline()
    elif not up and relay: served += int(urllib.request.urlopen("http://127.0.0.1:8787/count").read()); relay.terminate(); relay = relay.wait() and None
def watch(seconds):  # a status line that turns running must follow an agent that answered in the last 2 s
    for _ in range(max(1, int(seconds / 0.05))):
        seen.append((time.monotonic(), healthy(), tray.status())), time.sleep(0.03)
        if seen[-1][2] == RUNNING != seen[-2][2] and not any(up for t, up, _ in seen if t >= seen[-2][0] - 2):
            fail("the status line turned running while the agent had not answered for 2 s")
def settle():  # alerts answered and one refresh period later, the status line tells the truth
    for _ in range(8):
        close_all(ALERT), watch(0.3)
        up = healthy()
        watch(5.5)
        if app.poll() is not None: fail(f"the app ended with status {app.returncode}")
        if not screen.windows(ALERT) and healthy() == up and tray.status() == (RUNNING if up else STOPPED): break
    else: fail(f"the status line reads '{tray.status()}' while the agent {'answers' if up else 'does not'}")
    if any(pid != manager_pid() for pid in agents()): fail(f"agents {agents()}, the manager's {manager_pid()}")

set_relay(True)
app = subprocess.Popen([app_path], env=dict(os.environ, QT_LOGGING_RULES="kestrune.agent=false"))
tray = TrayApp.find(timeout=20)
seen.append((time.monotonic(), healthy(), tray.status()))
choices = [lambda: tray.click(rnd.choice(ACTIONS))] * 8 + [lambda: [tray.click(a) for a in rnd.sample(ACTIONS, 2)]] * 2 + [
    lambda: [os.kill(p, signal.SIGKILL) for p in agents()], lambda: set_relay(not relay)] + [lambda: close_all(QR)] * 2 + [lambda: close_all(ALERT)] * 3
for number in range(1, 301):
    rnd.choice(choices)(), watch(rnd.uniform(0.05, 0.6))
    if number % 20 == 0: settle()
    if number == 20:  # the warm-up done, and the threads it started idle long enough to end
        close_all(QR), time.sleep(35)
        warm, rss = figures(), read(f"/proc/{app.pid}/status").split("VmRSS:")[1].split()[0]
set_relay(True), close_all(QR), tray.click("Start Agent"), tray.wait_status(RUNNING, 30), settle()
if not any(time.sleep(1) or all(n <= w for n, w in zip(figures(), warm)) for _ in range(45)):
    fail(f"descriptors and threads {figures()}, after the warm-up {warm}")
print(f"resident memory: {rss} KiB after the warm-up, {read(f'/proc/{app.pid}/status').split('VmRSS:')[1].split()[0]} KiB at the end")
if [p for p in pids() if read(f"/proc/{p}/stat").rpartition(")")[2].split()[:2] == ["Z", str(app.pid)]]: fail("zombie children")
if os.stat(f"{home}/config.env").st_mode & 0o777 != 0o600 or not all(f"HALVENIX_{key}=" in read(f"{home}/config.env") for key in ("DEVICE_ID", "JWT_SECRET", "RELAY_CLIENT_TOKEN")):
    fail("config.env is not intact at 0600")
if [name for name in os.listdir(home) if name.endswith(".tmp")]: fail("a temporary file was left")
tray.click("Quit Kestrune")
if app.wait(timeout=10) != 0: fail(f"Quit: status {app.returncode}")
if set_relay(False) or served != 1: fail(f"{served} provisioning requests, not 1")
print("300 choices, and everything held")
