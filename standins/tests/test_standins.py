#!/usr/bin/python3
"""Checks that the stand-ins behave as the product relies on: the agent's contract,
the relay's answers and misbehaviour, and the service manager's job semantics."""

import json
import os
import plistlib
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

AGENT = os.environ["KESTRUNE_STANDIN_AGENT"]
RELAY = os.environ["KESTRUNE_STANDIN_RELAY"]
LAUNCHCTL = os.environ["KESTRUNE_STANDIN_LAUNCHCTL"]
DOMAIN = "gui/%d" % os.getuid()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def agent_environment(port=8765, **overrides):
    environment = {
        "PATH": "/usr/bin:/bin",
        "HALVENIX_DEVICE_ID": "dev-1234",
        "HALVENIX_JWT_SECRET": "ab" * 32,
        "HALVENIX_RELAY_SERVER_TOKEN": "server token",
        "HALVENIX_RELAY_CLIENT_TOKEN": "client/token+1",
        "HALVENIX_RELAY_URL": "wss://relay.test",
        "HALVENIX_PORT": str(port),
        "HALVENIX_ALLOWED_PATHS": "/home/someone",
    }
    environment.update(overrides)
    return {name: value for name, value in environment.items() if value is not None}


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def healthy(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port, timeout=1) as reply:
            return reply.status == 200
    except (OSError, urllib.error.URLError):
        return False


def qr_text_to_pbm(text, scale=4):
    """Turns the agent's half-block drawing back into pixels (one text line = two rows)."""
    halves = {" ": (0, 0), "\u2580": (1, 0), "\u2584": (0, 1), "\u2588": (1, 1)}
    lines = [line for line in text.split("\n") if line and set(line) <= set(halves)]
    rows = []
    for line in lines:
        rows.append([halves[c][0] for c in line])
        rows.append([halves[c][1] for c in line])
    width = max(len(row) for row in rows)
    pixels = []
    for row in rows:
        row = row + [0] * (width - len(row))
        scaled = " ".join(str(bit) for bit in row for _ in range(scale))
        pixels.extend([scaled] * scale)
    return "P1\n%d %d\n%s\n" % (width * scale, len(rows) * scale, "\n".join(pixels))


class AgentTest(unittest.TestCase):
    def test_each_missing_or_bad_variable_stops_the_agent_with_its_name(self):
        cases = {
            "HALVENIX_DEVICE_ID": None,
            "HALVENIX_JWT_SECRET": "not-hex",
            "HALVENIX_RELAY_CLIENT_TOKEN": "",
            "HALVENIX_PORT": "70000",
            "HALVENIX_ALLOWED_PATHS": "relative/path",
        }
        for name, value in cases.items():
            with self.subTest(name=name):
                run = subprocess.run([AGENT], env=agent_environment(**{name: value}),
                                     capture_output=True, text=True, timeout=10)
                self.assertNotEqual(run.returncode, 0)
                self.assertIn(name, run.stderr)

    def test_print_qr_draws_a_code_that_decodes_to_the_pairing_payload(self):
        run = subprocess.run([AGENT, "--print-qr"], env=agent_environment(),
                             capture_output=True, text=True, timeout=10)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.endswith("\n"))
        with tempfile.NamedTemporaryFile("w", suffix=".pbm") as image:
            image.write(qr_text_to_pbm(run.stdout))
            image.flush()
            decoded = subprocess.run(["/usr/bin/zbarimg", "--quiet", "--raw", image.name],
                                     capture_output=True, text=True, timeout=30)
        self.assertEqual(decoded.returncode, 0, decoded.stderr)
        self.assertEqual(decoded.stdout.strip(),
                         "halvenix-pair:v1?device=dev-1234&token=client%2Ftoken%2B1&relay=wss%3A%2F%2Frelay.test")

    def test_serves_health_and_logs_each_request_until_terminated(self):
        port = free_port()
        agent = subprocess.Popen([AGENT], env=agent_environment(port), stdout=subprocess.PIPE, text=True)
        try:
            self.assertIn("listening on 127.0.0.1:%d" % port, agent.stdout.readline())
            self.assertTrue(wait_until(lambda: healthy(port)))
            with self.assertRaises(urllib.error.HTTPError) as missing:
                urllib.request.urlopen("http://127.0.0.1:%d/other" % port, timeout=1)
            self.assertEqual(missing.exception.code, 404)
        finally:
            agent.terminate()
            output, _ = agent.communicate(timeout=10)
        self.assertEqual(agent.returncode, 0)
        self.assertIn("GET /other 404", output)


class RelayTest(unittest.TestCase):
    def start(self, *options):
        relay = subprocess.Popen([RELAY, "--port", "0", *options], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (relay.terminate(), relay.wait(timeout=10), relay.stdout.close()))
        line = relay.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)
        return "http://127.0.0.1:%s" % line.strip().rsplit(":", 1)[1]

    def post(self, base):
        request = urllib.request.Request(base + "/provision", data=b"", method="POST")
        with urllib.request.urlopen(request, timeout=5) as reply:
            return reply.status, reply.read()

    def test_each_provisioning_is_fresh_and_counted(self):
        base = self.start()
        first = json.loads(self.post(base)[1])
        second = json.loads(self.post(base)[1])
        self.assertEqual(set(first), {"device_id", "server_token", "client_token"})
        self.assertTrue(all(isinstance(value, str) and value for value in first.values()))
        self.assertNotEqual(first, second)
        with urllib.request.urlopen(base + "/count", timeout=5) as reply:
            self.assertEqual(reply.read().strip(), b"2")

    def test_misbehaves_as_told(self):
        with self.assertRaises(urllib.error.HTTPError) as failed:
            self.post(self.start("--status", "503", "--body", "busy"))
        self.assertEqual((failed.exception.code, failed.exception.read()), (503, b"busy"))
        self.assertEqual(self.post(self.start("--body", "[1]")), (200, b"[1]"))
        started = time.monotonic()
        with self.assertRaises(OSError):
            urllib.request.urlopen(urllib.request.Request(self.start("--never-answer") + "/provision",
                                                          data=b"", method="POST"), timeout=0.5)
        self.assertLess(time.monotonic() - started, 5)


class LaunchctlTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="launchd-standin-test-")
        self.addCleanup(shutil.rmtree, self.directory, True)
        self.environment = dict(os.environ, LAUNCHD_STANDIN_STATE_DIR=os.path.join(self.directory, "state"),
                                LAUNCHD_STANDIN_THROTTLE_SECONDS="0.2")
        self.log = os.path.join(self.directory, "job.log")
        self.loaded = []
        self.addCleanup(self.unload_all)

    def launchctl(self, *arguments):
        return subprocess.run([LAUNCHCTL, *arguments], env=self.environment, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=30)

    def write_job(self, script, label="test.standin.job", **keys):
        definition = {"Label": label, "ProgramArguments": ["/bin/sh", "-c", script],
                      "StandardOutPath": self.log, "StandardErrorPath": self.log, **keys}
        path = os.path.join(self.directory, label + ".plist")
        with open(path, "wb") as f:
            plistlib.dump(definition, f)
        return path

    def bootstrap(self, plist):
        run = self.launchctl("bootstrap", DOMAIN, plist)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.loaded.append(plist)

    def unload_all(self):
        for plist in self.loaded:
            self.launchctl("bootout", DOMAIN, plist)

    def log_lines(self):
        try:
            with open(self.log) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def test_loaded_jobs_run_at_load_and_refuse_a_second_bootstrap(self):
        plist = self.write_job("echo started $$; exec sleep 60", RunAtLoad=True)
        self.bootstrap(plist)
        self.assertTrue(wait_until(lambda: "started" in self.log_lines()))
        again = self.launchctl("bootstrap", DOMAIN, plist)
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("already loaded", again.stderr)

        self.assertEqual(self.launchctl("bootout", DOMAIN, plist).returncode, 0)
        self.loaded.remove(plist)
        twice = self.launchctl("bootout", DOMAIN, plist)
        self.assertNotEqual(twice.returncode, 0)
        self.assertIn("not loaded", twice.stderr)

    def test_bootout_stops_the_program(self):
        plist = self.write_job("echo pid $$; exec sleep 60", RunAtLoad=True)
        self.bootstrap(plist)
        self.assertTrue(wait_until(lambda: len(self.log_lines()) >= 2))
        pid = int(self.log_lines()[1])
        self.assertEqual(self.launchctl("bootout", DOMAIN, plist).returncode, 0)
        self.loaded.remove(plist)
        self.assertTrue(wait_until(lambda: not os.path.exists("/proc/%d" % pid)))

    def test_keep_alive_restarts_an_exited_program_throttled(self):
        plist = self.write_job("echo run; exit 3", RunAtLoad=True, KeepAlive=True)
        self.bootstrap(plist)
        self.assertTrue(wait_until(lambda: self.log_lines().count("run") >= 3))
        runs = self.log_lines().count("run")
        time.sleep(0.5)
        # 0.2 s throttle: a few more runs, not hundreds.
        self.assertLessEqual(self.log_lines().count("run") - runs, 4)

    def test_kickstart_k_restarts_a_running_job_and_needs_a_loaded_one(self):
        plist = self.write_job("echo pid $$; exec sleep 60", label="test.standin.kick", RunAtLoad=True)
        self.bootstrap(plist)
        self.assertTrue(wait_until(lambda: len(self.log_lines()) >= 2))
        run = self.launchctl("kickstart", "-k", DOMAIN + "/test.standin.kick")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(wait_until(lambda: self.log_lines().count("pid") == 2))
        missing = self.launchctl("kickstart", "-k", DOMAIN + "/test.standin.absent")
        self.assertNotEqual(missing.returncode, 0)
        self.assertIn("Could not find service", missing.stderr)

    def test_load_and_unload_are_the_legacy_spellings(self):
        plist = self.write_job("echo legacy; exec sleep 60", label="test.standin.legacy", RunAtLoad=True)
        self.assertEqual(self.launchctl("load", plist).returncode, 0)
        self.assertTrue(wait_until(lambda: "legacy" in self.log_lines()))
        self.assertEqual(self.launchctl("unload", plist).returncode, 0)
        self.assertNotEqual(self.launchctl("unload", plist).returncode, 0)

    def test_rejects_what_is_not_a_job_definition(self):
        garbage = os.path.join(self.directory, "garbage.plist")
        with open(garbage, "w") as f:
            f.write("<plist><dict><key>Label</key>")
        self.assertNotEqual(self.launchctl("bootstrap", DOMAIN, garbage).returncode, 0)
        self.assertNotEqual(self.launchctl("bootstrap", "gui/0" if os.getuid() else "gui/1",
                                           self.write_job("true")).returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
