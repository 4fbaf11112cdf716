#!/usr/bin/python3
"""Stand-in for the per-user service manager's control tool.

Understands the forms the product uses:
  bootstrap gui/<uid> <plist>      bootout gui/<uid> <plist>|gui/<uid>/<label>
  kickstart [-k] gui/<uid>/<label> load <plist>      unload <plist>
and, for debugging, `list` and `print gui/<uid>/<label>`.

Each loaded job gets a detached supervisor process that runs the program, keeps
it alive when asked to, and stops it on bootout. State is one JSON file per
label in a private directory, guarded by a lock file.
"""

import fcntl
import json
import os
import plistlib
import pwd
import select
import signal
import sys
import time

SCRIPT = os.path.abspath(__file__)
DEFAULT_THROTTLE_SECONDS = 10.0
EXIT_GRACE_SECONDS = 5.0  # SIGTERM first, SIGKILL after this
HANDSHAKE_SECONDS = 10.0
CONTROL_SIGNALS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1}
AGENT_PATH = "/usr/bin:/bin:/usr/sbin:/sbin"


class Failure(Exception):
    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


def usage():
    return Failure(
        "Usage: launchctl bootstrap|bootout gui/<uid> <plist> | kickstart [-k] gui/<uid>/<label>"
        " | load|unload <plist> | list | print gui/<uid>/<label>",
        64,
    )


# --- state -------------------------------------------------------------------


def state_directory():
    directory = os.environ.get("LAUNCHD_STANDIN_STATE_DIR")
    if not directory:
        runtime = os.environ.get("XDG_RUNTIME_DIR")
        if runtime:
            directory = os.path.join(runtime, "kestrune-launchd-standin")
        else:
            directory = "/tmp/kestrune-launchd-standin-%d" % os.getuid()
    os.makedirs(directory, mode=0o700, exist_ok=True)
    info = os.lstat(directory)
    # A shared /tmp could hold someone else's directory under our name.
    if not os.path.isdir(directory) or os.path.islink(directory) or info.st_uid != os.getuid():
        raise Failure("State directory %s is not a private directory of this user" % directory, 1)
    return directory


class StateLock:
    def __init__(self, directory):
        self.path = os.path.join(directory, ".lock")
        self.fd = -1

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *_):
        os.close(self.fd)


def job_file(directory, label):
    return os.path.join(directory, label + ".json")


def read_raw(directory, label):
    try:
        with open(job_file(directory, label), encoding="utf-8") as f:
            state = json.load(f)
        return state if isinstance(state, dict) else None
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return None


def write_state(directory, state):
    path = job_file(directory, state["label"])
    temporary = "%s.tmp-%d" % (path, os.getpid())
    with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w", encoding="utf-8") as f:
        json.dump(state, f, indent=2)
        f.write("\n")
    os.replace(temporary, path)  # readers never see a half-written file


def remove_state(directory, label):
    try:
        os.unlink(job_file(directory, label))
    except FileNotFoundError:
        pass


def process_start_time(pid):
    """The kernel's start time of a live process, or None when it is gone.

    Zombies count as gone: orphans may never be reaped here, and a recycled pid
    shows a different start time."""
    if not isinstance(pid, int) or pid <= 0:
        return None
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii", errors="replace") as f:
            data = f.read()
    except OSError:
        return None
    fields = data[data.rindex(")") + 2:].split()  # the command name may hold spaces
    if fields[0] in ("Z", "X"):
        return None
    return fields[19]


def is_alive(pid, start_time):
    current = process_start_time(pid)
    return current is not None and (start_time is None or current == start_time)


def kill_group(pid, start_time, sig):
    if is_alive(pid, start_time):
        try:
            os.killpg(pid, sig)
        except OSError:
            pass


def loaded_job(directory, label):
    """The job's state if its supervisor still runs; stale state is cleared. Call under the lock."""
    state = read_raw(directory, label)
    if state is None:
        if os.path.exists(job_file(directory, label)):
            remove_state(directory, label)  # unreadable: nothing can be running from it
        return None
    if is_alive(state.get("supervisor_pid"), state.get("supervisor_start")):
        return state
    kill_group(state.get("agent_pid"), state.get("agent_start"), signal.SIGKILL)
    remove_state(directory, label)
    return None


# --- arguments -----------------------------------------------------------------


def check_domain(target, failure_prefix):
    parts = target.split("/")
    if len(parts) != 2 or parts[0] != "gui" or parts[1] != str(os.getuid()):
        raise Failure("%s: 125: Domain does not support specified action (use gui/%d)" % (failure_prefix, os.getuid()), 125)


def service_label(target):
    parts = target.split("/", 2)
    if len(parts) != 3 or parts[0] != "gui" or parts[1] != str(os.getuid()) or not parts[2]:
        raise Failure("Unrecognized target specifier: %s (use gui/%d/<label>)" % (target, os.getuid()), 113)
    return parts[2]


def read_job_definition(path, failure_prefix):
    def invalid(detail):
        return Failure("%s: 5: Input/output error (%s: %s)" % (failure_prefix, path, detail), 5)

    try:
        with open(path, "rb") as f:
            plist = plistlib.load(f)
    except OSError as error:
        raise invalid(error.strerror or "cannot read") from None
    except Exception:  # the parser raises several kinds for malformed input
        raise invalid("not a valid property list") from None
    if not isinstance(plist, dict):
        raise invalid("the top level is not a dictionary")

    label = plist.get("Label")
    if not isinstance(label, str) or not label or "/" in label or label.startswith(".") or "\0" in label:
        raise invalid("Label is missing or invalid")
    arguments = plist.get("ProgramArguments")
    if not isinstance(arguments, list) or not arguments or not all(isinstance(a, str) for a in arguments):
        raise invalid("ProgramArguments must be a non-empty array of strings")
    for key in ("RunAtLoad",):
        if key in plist and not isinstance(plist[key], bool):
            raise invalid("%s must be a boolean" % key)
    keep_alive = plist.get("KeepAlive", False)
    if not isinstance(keep_alive, (bool, dict)):
        raise invalid("KeepAlive must be a boolean or a dictionary")
    for key in ("StandardOutPath", "StandardErrorPath", "WorkingDirectory"):
        if key in plist and not isinstance(plist[key], str):
            raise invalid("%s must be a string" % key)
    variables = plist.get("EnvironmentVariables", {})
    if not isinstance(variables, dict) or not all(isinstance(v, str) for v in variables.values()):
        raise invalid("EnvironmentVariables must map names to strings")

    return {
        "label": label,
        "plist_path": os.path.abspath(path),
        "arguments": arguments,
        "run_at_load": plist.get("RunAtLoad", False),
        "keep_alive": keep_alive,
        "stdout_path": plist.get("StandardOutPath", os.devnull),
        "stderr_path": plist.get("StandardErrorPath", os.devnull),
        "working_directory": plist.get("WorkingDirectory", "/"),
        "environment": agent_environment(variables),
    }


def agent_environment(extra):
    # A service starts with a small session environment, not its caller's.
    user = pwd.getpwuid(os.getuid())
    environment = {
        "HOME": os.environ.get("HOME") or user.pw_dir,
        "USER": user.pw_name,
        "LOGNAME": user.pw_name,
        "SHELL": user.pw_shell or "/bin/sh",
        "PATH": AGENT_PATH,
    }
    for name in ("TMPDIR", "XDG_RUNTIME_DIR"):
        if os.environ.get(name):
            environment[name] = os.environ[name]
    environment.update(extra)
    return environment


def throttle_seconds():
    text = os.environ.get("LAUNCHD_STANDIN_THROTTLE_SECONDS")
    if not text:
        return DEFAULT_THROTTLE_SECONDS
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise Failure("LAUNCHD_STANDIN_THROTTLE_SECONDS must be a number of seconds, got %r" % text, 64)
    return value


# --- commands ------------------------------------------------------------------


def bootstrap(plist_path, failure_prefix):
    directory = state_directory()
    job = read_job_definition(plist_path, failure_prefix)
    job["throttle_seconds"] = throttle_seconds()
    job["state_directory"] = directory
    with StateLock(directory):
        if loaded_job(directory, job["label"]) is not None:
            raise Failure("%s: 5: Input/output error (service already loaded: %s)" % (failure_prefix, job["label"]), 5)
        ready = spawn_supervisor(job)
        write_state(directory, {
            "label": job["label"],
            "plist_path": job["plist_path"],
            "supervisor_pid": ready["pid"],
            "supervisor_start": process_start_time(ready["pid"]),
            "agent_pid": ready["agent_pid"],
            "agent_start": ready["agent_start"],
            "starts": ready["starts"],
            "last_exit": None,
        })


def bootout(label, failure_prefix):
    directory = state_directory()
    with StateLock(directory):
        state = loaded_job(directory, label)
        if state is None:
            raise Failure("%s: 3: No such process (service not loaded: %s)" % (failure_prefix, label), 3)
        supervisor, started = state["supervisor_pid"], state.get("supervisor_start")
        os.kill(supervisor, signal.SIGTERM)
    # Unlocked while waiting: the supervisor takes the lock to record its exit.
    deadline = time.monotonic() + EXIT_GRACE_SECONDS + 3.0
    while is_alive(supervisor, started) and time.monotonic() < deadline:
        time.sleep(0.02)
    if is_alive(supervisor, started):
        os.kill(supervisor, signal.SIGKILL)
    with StateLock(directory):
        state = read_raw(directory, label)
        if state is not None and state.get("supervisor_pid") == supervisor:
            kill_group(state.get("agent_pid"), state.get("agent_start"), signal.SIGKILL)
            remove_state(directory, label)


def kickstart(target, kill_running):
    label = service_label(target)
    directory = state_directory()
    with StateLock(directory):
        state = loaded_job(directory, label)
        if state is None:
            raise Failure('Could not find service "%s" in domain gui/%d' % (label, os.getuid()), 113)
        if not kill_running and is_alive(state.get("agent_pid"), state.get("agent_start")):
            return
        supervisor, started, starts = state["supervisor_pid"], state.get("supervisor_start"), state.get("starts", 0)
        os.kill(supervisor, signal.SIGUSR1)
    deadline = time.monotonic() + EXIT_GRACE_SECONDS + 5.0
    while time.monotonic() < deadline:
        state = read_raw(directory, label)
        if state is None or not is_alive(supervisor, started):
            raise Failure("Kickstart failed: the service went away (%s)" % label, 3)
        if state.get("starts", 0) > starts:
            return
        time.sleep(0.02)
    raise Failure("Kickstart failed: the service did not start in time (%s)" % label, 60)


def list_jobs():
    directory = state_directory()
    lines = ["PID\tStatus\tLabel"]
    with StateLock(directory):
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".json"):
                continue
            state = loaded_job(directory, name[: -len(".json")])
            if state is None:
                continue
            running = is_alive(state.get("agent_pid"), state.get("agent_start"))
            status = state.get("last_exit")
            lines.append("%s\t%s\t%s" % (state["agent_pid"] if running else "-",
                                         0 if status is None else status, state["label"]))
    print("\n".join(lines))


def print_job(target):
    label = service_label(target)
    directory = state_directory()
    with StateLock(directory):
        state = loaded_job(directory, label)
    if state is None:
        raise Failure('Could not find service "%s" in domain gui/%d' % (label, os.getuid()), 113)
    state = dict(state)
    state["state"] = "running" if is_alive(state.get("agent_pid"), state.get("agent_start")) else "not running"
    print(json.dumps(state, indent=2))


def main(argv):
    ensure_standard_descriptors()
    if not argv:
        raise usage()
    command, rest = argv[0], argv[1:]
    if command == "__supervise" and len(rest) == 2:
        supervise(int(rest[0]), json.loads(rest[1]))
    elif command == "bootstrap" and len(rest) == 2:
        check_domain(rest[0], "Bootstrap failed")
        bootstrap(rest[1], "Bootstrap failed")
    elif command == "bootout" and len(rest) == 2:
        check_domain(rest[0], "Boot-out failed")
        bootout(read_job_definition(rest[1], "Boot-out failed")["label"], "Boot-out failed")
    elif command == "bootout" and len(rest) == 1:
        bootout(service_label(rest[0]), "Boot-out failed")
    elif command == "kickstart" and len(rest) == 2 and rest[0] == "-k":
        kickstart(rest[1], True)
    elif command == "kickstart" and len(rest) == 1:
        kickstart(rest[0], False)
    elif command == "load" and len(rest) == 1:
        bootstrap(rest[0], "Load failed")
    elif command == "unload" and len(rest) == 1:
        bootout(read_job_definition(rest[0], "Unload failed")["label"], "Unload failed")
    elif command == "list" and not rest:
        list_jobs()
    elif command == "print" and len(rest) == 1:
        print_job(rest[0])
    else:
        raise usage()


def ensure_standard_descriptors():
    # Keeps the handshake pipe off 0-2 even when a caller closed them.
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)


# --- supervisor ------------------------------------------------------------------


def spawn_supervisor(job):
    """Starts a detached supervisor and waits until it has started the job."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(read_end)
            os.setsid()
            if os.fork() == 0:
                # Queued, not fatal, until the supervisor has its handlers.
                signal.pthread_sigmask(signal.SIG_BLOCK, CONTROL_SIGNALS)
                os.chdir("/")
                null = os.open(os.devnull, os.O_RDWR)
                for fd in (0, 1, 2):
                    os.dup2(null, fd)
                # Nothing of the caller may stay open, above all its output pipes.
                os.set_inheritable(write_end, True)
                os.closerange(3, write_end)
                os.closerange(write_end + 1, 1 << 20)
                os.execv(sys.executable, [sys.executable, "-I", SCRIPT, "__supervise", str(write_end), json.dumps(job)])
        finally:
            os._exit(0)
    os.close(write_end)
    os.waitpid(child, 0)
    message = b""
    deadline = time.monotonic() + HANDSHAKE_SECONDS
    try:
        while not message.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                break
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            message += chunk
    finally:
        os.close(read_end)
    try:
        return json.loads(message)
    except ValueError:
        raise Failure("Bootstrap failed: 5: Input/output error (the job's supervisor did not start)", 5) from None


class Supervisor:
    def __init__(self, job):
        self.job = job
        self.directory = job["state_directory"]
        self.agent = None
        self.agent_start = None
        self.starts = 0
        self.last_start = None
        self.last_exit = None
        self.restart_pending = False
        self.stop_requested = False
        self.kick_requested = False

    def start_agent(self):
        job = self.job
        pid = os.fork()
        if pid == 0:
            try:
                os.setpgid(0, 0)  # one group, so a stop reaches everything the job started
                signal.set_wakeup_fd(-1)
                for sig in list(CONTROL_SIGNALS) + [signal.SIGCHLD, signal.SIGPIPE, signal.SIGXFSZ]:
                    signal.signal(sig, signal.SIG_DFL)
                os.chdir(job["working_directory"])
                flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT
                stdin = os.open(os.devnull, os.O_RDONLY)
                stdout = os.open(job["stdout_path"], flags, 0o600)
                stderr = stdout if job["stderr_path"] == job["stdout_path"] else os.open(job["stderr_path"], flags, 0o600)
                os.dup2(stdin, 0)
                os.dup2(stdout, 1)
                os.dup2(stderr, 2)
                os.closerange(3, 1 << 20)
                arguments = job["arguments"]
                os.execvpe(arguments[0], arguments, job["environment"])
            except OSError as error:
                try:
                    os.write(2, ("launchctl stand-in: cannot start %s: %s\n" % (job["arguments"][0], error)).encode())
                finally:
                    os._exit(78)
            finally:
                os._exit(127)
        try:
            os.setpgid(pid, pid)  # the child does it too; whichever runs first wins
        except OSError:
            pass
        self.agent = pid
        self.agent_start = process_start_time(pid)
        self.starts += 1
        self.last_start = time.monotonic()
        self.restart_pending = False

    def reap(self):
        if self.agent is None:
            return
        try:
            pid, status = os.waitpid(self.agent, os.WNOHANG)
        except ChildProcessError:
            pid, status = self.agent, 0
        if pid == 0:
            return
        code = os.waitstatus_to_exitcode(status)
        self.agent = None
        self.agent_start = None
        self.last_exit = code
        keep_alive = self.job["keep_alive"]
        if isinstance(keep_alive, dict) and "SuccessfulExit" in keep_alive:
            self.restart_pending = (code == 0) == bool(keep_alive["SuccessfulExit"])
        else:
            self.restart_pending = bool(keep_alive)

    def stop_agent(self):
        if self.agent is None:
            return
        pid = self.agent
        try:
            os.killpg(pid, signal.SIGTERM)
        except OSError:
            pass
        deadline = time.monotonic() + EXIT_GRACE_SECONDS
        while self.agent is not None and time.monotonic() < deadline:
            time.sleep(0.02)
            self.reap()
        try:
            os.killpg(pid, signal.SIGKILL)  # the leader if stubborn, or what it left behind
        except OSError:
            pass
        while self.agent is not None:
            time.sleep(0.02)
            self.reap()
        self.restart_pending = False

    def record(self):
        """Saves the agent's pid; False when the state no longer names this supervisor."""
        with StateLock(self.directory):
            state = read_raw(self.directory, self.job["label"])
            if state is None or state.get("supervisor_pid") != os.getpid():
                return False
            state.update(agent_pid=self.agent, agent_start=self.agent_start, starts=self.starts, last_exit=self.last_exit)
            write_state(self.directory, state)
        return True

    def finish(self):
        self.stop_agent()
        with StateLock(self.directory):
            state = read_raw(self.directory, self.job["label"])
            if state is not None and state.get("supervisor_pid") == os.getpid():
                remove_state(self.directory, self.job["label"])
        os._exit(0)

    def run(self, ready_fd):
        wake_read, wake_write = os.pipe()
        os.set_blocking(wake_read, False)
        os.set_blocking(wake_write, False)
        signal.set_wakeup_fd(wake_write)

        def request_stop(*_):
            self.stop_requested = True

        def request_kick(*_):
            self.kick_requested = True

        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, request_stop)
        signal.signal(signal.SIGUSR1, request_kick)
        signal.signal(signal.SIGCHLD, lambda *_: None)  # only to wake the loop
        signal.pthread_sigmask(signal.SIG_UNBLOCK, CONTROL_SIGNALS)

        keep_alive = self.job["keep_alive"]
        if self.job["run_at_load"] or keep_alive is True:
            self.start_agent()
        ready = {"pid": os.getpid(), "agent_pid": self.agent, "agent_start": self.agent_start, "starts": self.starts}
        os.write(ready_fd, (json.dumps(ready) + "\n").encode())
        os.close(ready_fd)

        while True:
            timeout = None
            previous = (self.agent, self.starts)
            self.reap()
            if self.stop_requested:
                self.finish()
            if self.kick_requested:
                self.kick_requested = False
                self.stop_agent()
                self.start_agent()
            elif self.agent is None and self.restart_pending:
                wait = self.last_start + self.job["throttle_seconds"] - time.monotonic()
                if wait <= 0:
                    self.start_agent()
                else:
                    timeout = wait
            if (self.agent, self.starts) != previous and not self.record():
                self.stop_requested = True  # orphaned: nobody can reach this job any more
                continue
            try:
                select.select([wake_read], [], [], timeout)
                while os.read(wake_read, 4096):
                    pass
            except (BlockingIOError, InterruptedError):
                pass


def supervise(ready_fd, job):
    Supervisor(job).run(ready_fd)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except Failure as failure:
        print(failure, file=sys.stderr)
        sys.exit(failure.code)
