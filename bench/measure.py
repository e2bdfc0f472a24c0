"""Measuring helpers of the benchmark: runs a program until a line, times
commands, reads /proc and the server's access log (Python 3 standard library)."""

import os
import select
import signal
import subprocess
import threading
import time
from pathlib import Path

TICKS = os.sysconf("SC_CLK_TCK")


class RunFailed(Exception):
    """A run did not do what the case expects (no line, a wrong file, a wrong count)."""


def read_proc(pid):
    """(user+sys CPU seconds, VmHWM bytes, VmRSS bytes) of a running process.

    Raises OSError when the process is gone."""
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICKS
    hwm = rss = 0
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                hwm = int(line.split()[1]) * 1024
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1]) * 1024
    return cpu, hwm, rss


class Sampler:
    """Follows a running process on a thread of its own: its peak anonymous memory
    (RssAnon of /proc/<pid>/status, read every `period` seconds; VmHWM counts mapped
    file pages too, which are not anonymous) and, when given, watch(seconds since
    start) called every `tick` seconds."""

    def __init__(self, period=0.02, tick=0.005, watch=None):
        self.period = period
        self.tick = tick
        self.watch = watch
        self.anon = 0  # peak RssAnon, bytes
        self.hwm = 0   # the last VmHWM read, bytes
        self.samples = 0
        self.thread = None
        self.done = threading.Event()

    def begin(self, pid, start):
        """Starts following pid; start is the time.monotonic() the times count from."""
        self.thread = threading.Thread(target=self.follow, args=(pid, start), daemon=True)
        self.thread.start()

    def follow(self, pid, start):
        next_read = 0.0
        while not self.done.is_set():
            now = time.monotonic()
            if self.watch:
                self.watch(now - start)
            if now >= next_read:
                next_read = now + self.period
                try:
                    with open(f"/proc/{pid}/status") as status:
                        for line in status:
                            if line.startswith("RssAnon:"):
                                self.anon = max(self.anon, int(line.split()[1]) * 1024)
                            elif line.startswith("VmHWM:"):
                                self.hwm = int(line.split()[1]) * 1024
                    self.samples += 1
                except (OSError, ValueError, IndexError):
                    pass  # ending, or ended
            self.done.wait(self.tick if self.watch else self.period)

    def end(self):
        self.done.set()
        if self.thread:
            self.thread.join()


def run_until(command, cwd, stop, marks=(), settle=0.0, timeout=900.0, errors=None, env=None,
              sampler=None):
    """Starts command and follows its standard output until the line `stop`.

    Its standard error goes to the file `errors` when given, else nowhere; `env`
    holds environment variables to set besides the inherited ones. A Sampler given
    as sampler follows the process from its start until it is ended.
    Returns {"marks": {line: (seconds since start, cpu seconds)}, "stop": seconds,
    "hwm", "rss", "settled_rss", "output"}; the process is ended with SIGTERM
    right after the stop line (after `settle` seconds when asked). Raises
    RunFailed when the process ends before the line or the line does not come
    within `timeout` seconds; the process is ended either way."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", **(env or {}))
    wanted = [m.encode() + b"\n" for m in (*marks, stop)]
    longest = max(len(w) for w in wanted) + 1
    seen = {}
    output = bytearray(b"\n")
    start = time.monotonic()
    with open(errors, "wb") if errors else open(os.devnull, "wb") as error_file:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=error_file)
    if sampler:
        sampler.begin(process.pid, start)
    fd = process.stdout.fileno()
    result = {}
    try:
        stop_key = wanted[-1]
        while stop_key not in seen:
            left = start + timeout - time.monotonic()
            if left <= 0:
                raise RunFailed(f"no line {stop!r} after {timeout:g} s")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 1 << 20)
            now = time.monotonic()
            if not chunk:
                process.wait()
                tail = bytes(output[-600:]).decode(errors="replace")
                raise RunFailed(f"{Path(command[0]).name} ended (exit {process.returncode}) "
                                f"before {stop!r}\nits last output:\n{tail}")
            scan = max(0, len(output) - longest)
            output += chunk
            for key in wanted:
                if key not in seen and output.find(b"\n" + key, scan) >= 0:
                    cpu, hwm, rss = read_proc(process.pid)
                    seen[key] = (now - start, cpu)
                    if key == stop_key:
                        result.update(hwm=hwm, rss=rss)
        if settle:
            time.sleep(settle)
            result["settled_rss"] = read_proc(process.pid)[2]
    finally:
        if sampler:
            sampler.end()
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # Whatever was still in the pipe is kept for the checks.
        output += process.stdout.read()
        process.stdout.close()
    result["marks"] = {k[:-1].decode(): v for k, v in seen.items()}
    result["stop"] = seen[wanted[-1]][0]
    result["output"] = bytes(output[1:]).decode("utf-8", errors="replace")
    return result


def timed(*commands):
    """Wall seconds of running the commands one after the other.

    Raises subprocess.CalledProcessError when one fails."""
    start = time.monotonic()
    for command in commands:
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL)
    return time.monotonic() - start


class Log:
    """The requests the server logged from one point of its access log on.

    Each line is '$connection $connection_requests $status $body_bytes_sent "$request"
    $bytes_sent'."""

    def __init__(self, path):
        self.path = Path(path)
        self.offset = self.path.stat().st_size if self.path.exists() else 0

    def fields(self):
        """The fields of every line logged since the start that names a request."""
        time.sleep(0.1)  # the last request's line is written when it ends
        with open(self.path, "rb") as log_file:
            log_file.seek(self.offset)
            lines = log_file.read().decode(errors="replace").splitlines()
        return [fields for fields in (line.split() for line in lines) if len(fields) >= 6]

    def requests(self):
        """[(connection, status, body bytes, path)] of the requests logged since the start."""
        return [(f[0], int(f[2]), int(f[3]), f[5]) for f in self.fields()]

    def sent(self):
        """[(path, bytes sent, headers included)] of the requests logged since the start; the
        body bytes where the server does not log more."""
        return [(f[5], int(f[7] if len(f) >= 8 else f[3])) for f in self.fields()]

    def connections(self):
        """(distinct connections, requests) logged since the start."""
        found = self.requests()
        return len({connection for connection, _, _, _ in found}), len(found)
