"""A small background service for one Trelvo Pro data directory.

Installed into a sample bundle as Contents/Resources/code/tools/desktop/service.py and started
through Contents/Helpers/TrelvoService, which forwards its arguments unchanged:

  service.py serve --data DIR        start the background process of DIR (once) and print its state
  service.py status --data DIR       print {"state": "stopped"} or {"state": "running", "pid": N}
  service.py force-stop --data DIR   stop the background process of DIR, then print its state

Every command prints one JSON object on standard output. The background process records itself in
DIR/run/service.pid as its process id and its start time, so a recycled process id is never taken
for it and never signalled.
"""

import argparse
import json
import os
import signal
import sys
import time

STOP_GRACE_SECONDS = 10.0
KILL_GRACE_SECONDS = 2.0
POLL_SECONDS = 0.05


def pid_file(data):
    return os.path.join(data, "run", "service.pid")


def start_time(pid):
    """The process's start time in clock ticks, or None when it is gone or already a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read(4096)
    except OSError:
        return None
    # The command name in parentheses may itself hold spaces and parentheses.
    fields = stat.rsplit(b")", 1)[-1].split()
    if len(fields) < 20 or fields[0] in (b"Z", b"X", b"x"):
        return None
    return int(fields[19])


def recorded(data):
    try:
        with open(pid_file(data), "r", encoding="utf-8") as f:
            record = json.loads(f.read(4096))
        pid, start = int(record["pid"]), int(record["start"])
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return (pid, start) if pid > 1 else None


def running_pid(data):
    """The background process of this data directory while it runs, else None."""
    record = recorded(data)
    if record is None:
        return None
    pid, start = record
    return pid if start_time(pid) == start else None


def state(data):
    pid = running_pid(data)
    return {"state": "stopped"} if pid is None else {"state": "running", "pid": pid}


def report(data):
    current = state(data)
    sys.stdout.write(json.dumps(current) + "\n")
    sys.stdout.flush()
    return current


def wait_gone(pid, start, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if start_time(pid) != start:
            return True
        time.sleep(POLL_SECONDS)
    return start_time(pid) != start


def background(data):
    """Body of the daemonized process: record itself, then idle until told to stop."""
    os.makedirs(os.path.join(data, "run"), mode=0o700, exist_ok=True)
    pid = os.getpid()
    temporary = pid_file(data) + f".{pid}"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump({"pid": pid, "start": start_time(pid)}, f)
    os.replace(temporary, pid_file(data))
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    while True:
        signal.pause()


def serve(data):
    if running_pid(data) is not None:
        report(data)
        return 0
    sys.stdout.flush()
    child = os.fork()
    if child == 0:
        # Detach twice so the background process has no controlling terminal and is not the
        # caller's child, then let go of every inherited descriptor (the caller's output file too).
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        os.chdir("/")
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        os.closerange(3, 65536)
        try:
            background(data)
        finally:
            os._exit(1)
    os.waitpid(child, 0)
    deadline = time.monotonic() + 5.0
    while running_pid(data) is None and time.monotonic() < deadline:
        time.sleep(POLL_SECONDS)
    return 0 if report(data)["state"] == "running" else 1


def force_stop(data):
    record = recorded(data)
    if record is not None:
        pid, start = record
        if start_time(pid) == start:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            if not wait_gone(pid, start, STOP_GRACE_SECONDS):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                wait_gone(pid, start, KILL_GRACE_SECONDS)
        if start_time(pid) != start:
            try:
                os.unlink(pid_file(data))
            except OSError:
                pass
    return 0 if report(data)["state"] == "stopped" else 1


def main(argv):
    parser = argparse.ArgumentParser(prog="service.py")
    parser.add_argument("command", choices=("serve", "status", "force-stop"))
    parser.add_argument("--data", required=True)
    args = parser.parse_args(argv)
    data = os.path.abspath(args.data)
    if args.command == "serve":
        return serve(data)
    if args.command == "force-stop":
        return force_stop(data)
    report(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
