#!/usr/bin/env python3
"""Benchmark driver of the Quelmor updater (Python 3 standard library only).

Started by bench/run.sh once the release updater and the minimal Qt program are
built. Generates the server folders, starts nginx on 127.0.0.1:4444 (or, when
nginx is missing, a small server of its own), runs every case several times and
prints the result table. Every updater run uses QT_QPA_PLATFORM=offscreen.
"""

import argparse
import datetime
import filecmp
import http.server
import itertools
import os
import platform
import random
import select
import shutil
import signal
import socket
import socketserver
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench"
BUILT_APP = ROOT / "build" / "release" / "Quelmor"
# The runs use a copy taken at the start, so a rebuild of build/release while
# the benchmark runs cannot change what is measured.
APP = ROOT / "build" / "bench" / "Quelmor"
MINIMAL = WORK / "minimal_qt" / "minimal_qt"
PORT = 4444
SLOW_PORT = 4445
BASE_URL = f"http://127.0.0.1:{PORT}/Quelmor/"

GIB = 1024 * 1024 * 1024
MIB = 1024 * 1024
TICKS = os.sysconf("SC_CLK_TCK")


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- servers


def write_manifest(path, version, entries):
    """Writes a manifest: [VERSION] Version, Max; [FILES] name, version, path per entry."""
    lines = ["[VERSION]", f"Version={version}", f"Max={len(entries)}", "", "[FILES]"]
    for i, (name, file_version, folder) in enumerate(entries, start=1):
        lines.append(f"FileName{i}={name}")
        lines.append(f"FileVersion{i}={file_version}")
        lines.append(f"FilePath{i}={folder}")
    path.write_text("\r\n".join(lines) + "\r\n", encoding="utf-8")


class Nginx:
    """nginx from Debian with a generated configuration below build/bench/nginx."""

    def __init__(self, www):
        self.dir = WORK / "nginx"
        self.www = www
        self.process = None

    def start(self):
        for sub in ("logs", "temp"):
            (self.dir / sub).mkdir(parents=True, exist_ok=True)
        temp = self.dir / "temp"
        user = "user root root;" if os.geteuid() == 0 else ""
        conf = f"""
{user}
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/logs/error.log warn;
events {{ worker_connections 512; }}
http {{
    default_type application/octet-stream;
    log_format bench '$connection $connection_requests $status $body_bytes_sent "$request"';
    access_log {self.dir}/logs/access.log bench;
    client_body_temp_path {temp}/client_body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65s;
    keepalive_requests 1000000;
    gzip off;
    server {{
        listen 127.0.0.1:{PORT};
        root {self.www};
        # A case without a manifest in its folder gets it from the slow server,
        # which holds the answer back (the idle-wait case).
        location = /Quelmor/info.ini {{
            try_files $uri @slow;
        }}
        location @slow {{
            proxy_pass http://127.0.0.1:{SLOW_PORT};
            proxy_read_timeout 300s;
        }}
    }}
}}
"""
        conf_file = self.dir / "nginx.conf"
        conf_file.write_text(conf)
        self.access_log = self.dir / "logs" / "access.log"
        self.process = subprocess.Popen(
            ["nginx", "-p", str(self.dir), "-c", str(conf_file), "-e",
             str(self.dir / "logs" / "error.log"), "-g", "daemon off;"],
            stdin=subprocess.DEVNULL)
        wait_for_port(PORT, self.process)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class FallbackServer:
    """Used only when nginx is missing: this script in --serve mode."""

    def __init__(self, www):
        self.www = www
        self.access_log = WORK / "fallback-access.log"
        self.process = None

    def start(self):
        self.access_log.touch()
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(PORT), str(self.www), str(self.access_log)],
            stdin=subprocess.DEVNULL)
        wait_for_port(PORT, self.process)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


def wait_for_port(port, process, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"the server on port {port} did not start (exit {process.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")


def serve_slow(port, folder, delay):
    """The slow server: answers any GET with the file of that name from folder after delay seconds."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            time.sleep(delay)
            target = Path(folder) / Path(self.path.split("?")[0]).name
            if not target.is_file():
                self.send_error(404)
                return
            body = target.read_bytes()
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()


def serve_fallback(port, www, access_log):
    """Static files below www with keep-alive; a missing Quelmor/info.ini is proxied to the slow server."""
    counter = itertools.count(1)
    lock = threading.Lock()
    log_file = open(access_log, "a", buffering=1)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def setup(self):
            super().setup()
            # Headers and body go out in separate writes: without this, each
            # answer would wait for the client's delayed acknowledgement.
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connection_id = next(counter)

        def do_GET(self):
            path = "/" + "/".join(p for p in self.path.split("?")[0].split("/") if p)
            target = Path(www) / path.lstrip("/")
            if path == "/Quelmor/info.ini" and not target.is_file():
                with socket.create_connection(("127.0.0.1", SLOW_PORT)) as upstream:
                    upstream.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
                    answer = b"".join(iter(lambda: upstream.recv(65536), b""))
                head, _, body = answer.partition(b"\r\n\r\n")
                status = int(head.split()[1])
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            elif target.is_file():
                size = target.stat().st_size
                status = 200
                self.send_response(200)
                self.send_header("Content-Length", str(size))
                self.end_headers()
                with open(target, "rb") as source:
                    self.wfile.flush()
                    self.connection.sendfile(source)
            else:
                status = 404
                self.send_error(404)
            with lock:
                log_file.write(f'{self.connection_id} 0 {status} 0 "GET {self.path}"\n')

        def log_message(self, *args):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    Server(("127.0.0.1", port), Handler).serve_forever()


# ---------------------------------------------------------------- measuring


def read_proc(pid):
    """(user+sys CPU seconds, VmHWM bytes, VmRSS bytes) of a running process."""
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


class RunFailed(Exception):
    pass


def run_until(command, cwd, stop, marks=(), settle=0.0, timeout=900.0):
    """Starts command and follows its standard output until the line `stop`.

    Returns {"marks": {line: (seconds since start, cpu seconds)}, "stop": seconds,
    "hwm", "rss", "settled_rss", "output"}; the process is ended with SIGTERM
    right after the stop line (after `settle` seconds when asked)."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    wanted = [m.encode() + b"\n" for m in (*marks, stop)]
    longest = max(len(w) for w in wanted) + 1
    seen = {}
    output = bytearray(b"\n")
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    fd = process.stdout.fileno()
    result = {}
    try:
        stop_key = wanted[-1]
        while stop_key not in seen:
            left = start + timeout - time.monotonic()
            if left <= 0:
                raise RunFailed(f"no line {stop!r} after {timeout} s")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 1 << 20)
            now = time.monotonic()
            if not chunk:
                process.wait()
                tail = bytes(output[-600:]).decode(errors="replace")
                raise RunFailed(f"{command[0]} ended (exit {process.returncode}) before "
                                f"{stop!r}; its last output:\n{tail}")
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
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # Whatever was still in the pipe is kept for the checks.
        rest = process.stdout.read()
        output += rest
        process.stdout.close()
    result["marks"] = {k[:-1].decode(): v for k, v in seen.items()}
    result["stop"] = seen[wanted[-1]][0]
    result["output"] = bytes(output[1:]).decode("utf-8", errors="replace")
    return result


def timed(command, cwd=None):
    start = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdin=subprocess.DEVNULL)
    return time.monotonic() - start


class Log:
    """Counts the connections the server saw from one point of its access log on."""

    def __init__(self, path):
        self.path = Path(path)
        self.offset = self.path.stat().st_size if self.path.exists() else 0

    def connections(self):
        time.sleep(0.1)  # the last request's line is written when it ends
        with open(self.path, "rb") as log_file:
            log_file.seek(self.offset)
            lines = log_file.read().decode(errors="replace").splitlines()
        return len({line.split()[0] for line in lines if line.strip()}), len(lines)


# ---------------------------------------------------------------- cases


class Bench:
    def __init__(self, args):
        self.args = args
        self.www = WORK / "www"
        self.cases = WORK / "cases"
        self.run_dir = WORK / "run"
        self.rows = []
        self.notes = []

    # The server's /Quelmor/ is a link to the folder of the case being run.
    def serve(self, folder):
        link = self.www / "Quelmor"
        temp = self.www / "Quelmor.new"
        if temp.is_symlink() or temp.exists():
            temp.unlink()
        temp.symlink_to(folder)
        os.replace(temp, link)

    def case_folder(self, name, news=True):
        folder = self.cases / name
        server = folder / "server"
        if folder.exists():
            shutil.rmtree(folder)
        server.mkdir(parents=True)
        if news:
            (server / "news.txt").write_text(f"Benchmark case {name}.\r\n")
        return folder

    def fresh_install(self, installed_manifest=None):
        """An empty game folder holding the updater (and the installed manifest, if any)."""
        if self.run_dir.exists():
            shutil.rmtree(self.run_dir)
        self.run_dir.mkdir(parents=True)
        exe = self.run_dir / "Quelmor"
        try:
            os.link(APP, exe)
        except OSError:
            shutil.copy2(APP, exe)
        if installed_manifest is not None:
            shutil.copyfile(installed_manifest, self.run_dir / "info.ini")
        os.sync()
        return exe

    def app(self, installed_manifest, stop, **kwargs):
        exe = self.fresh_install(installed_manifest)
        return run_until([str(exe)], self.run_dir, stop, **kwargs)

    def row(self, case, measure, values, unit, reference=None, goal="reported", passed=None,
            fmt="{:.3f}"):
        values = list(values)
        median = statistics.median(values)
        ref_median = statistics.median(reference) if reference else None
        ratio = median / ref_median if ref_median else None
        self.rows.append({
            "case": case, "measure": measure,
            "median": fmt.format(median) + unit,
            "min": fmt.format(min(values)) + unit,
            "max": fmt.format(max(values)) + unit,
            "ref": (fmt.format(ref_median) + unit) if ref_median is not None else "-",
            "ratio": f"{ratio:.2f} x" if ratio is not None else "-",
            "goal": goal,
            "result": "-" if passed is None else ("PASS" if passed else "FAIL"),
        })
        return median, ratio

    # -------- Large file: one 1 GiB file against curl -s -o.
    def large(self):
        runs = self.args.large_runs
        data = WORK / "data" / "large.bin"
        data.parent.mkdir(parents=True, exist_ok=True)
        if not data.exists() or data.stat().st_size != GIB:
            log("making the 1 GiB file")
            block = random.Random(1).randbytes(4 * MIB)
            with open(data, "wb") as out:
                for _ in range(GIB // len(block)):
                    out.write(block)
        folder = self.case_folder("large")
        server = folder / "server"
        os.link(data, server / "Quelmor.pak")
        write_manifest(server / "info.ini", "2.0", [("Quelmor.pak", "1.0", "")])
        self.serve(server)
        with open(data, "rb") as source:  # both sides read it from the page cache
            while source.read(16 * MIB):
                pass
        times, peaks, curl_times = [], [], []
        for run in range(runs):
            log(f"large file: run {run + 1} of {runs}")
            result = self.app(None, "Update Complete!")
            got = self.run_dir / "Quelmor.pak"
            if got.stat().st_size != GIB or (run == 0 and not filecmp.cmp(got, data, False)):
                raise RunFailed("the updater's copy of the large file differs from the server's")
            times.append(result["stop"])
            peaks.append(result["hwm"] / MIB)
            shutil.rmtree(self.run_dir)
            os.sync()
            target = WORK / "curl-large.bin"
            curl_times.append(timed(["curl", "-s", "-o", str(target), BASE_URL + "Quelmor.pak"]))
            if target.stat().st_size != GIB:
                raise RunFailed("curl's copy of the large file is incomplete")
            target.unlink()
            os.sync()
        _, ratio = self.row("Large file (1 GiB)", "wall time to \"Update Complete!\"", times, " s",
                            curl_times, "<= 1.25 x curl -s -o")
        self.rows[-1]["result"] = "PASS" if ratio <= 1.25 else "FAIL"
        self.row("Large file (1 GiB)", "peak resident memory (VmHWM)", peaks, " MiB", None,
                 "<= 64 MiB (max of runs)", max(peaks) <= 64, fmt="{:.1f}")

    # -------- Many small files: 2,000 files of 4 KiB against one curl process.
    def small(self):
        runs = self.args.runs
        count, size = 2000, 4096
        folder = self.case_folder("small")
        server = folder / "server"
        rng = random.Random(2)
        entries = []
        for i in range(1, count + 1):
            name = f"small{i:04d}.dat"
            (server / name).write_bytes(rng.randbytes(size))
            entries.append((name, "1.0", ""))
        write_manifest(server / "info.ini", "2.0", entries)
        self.serve(server)
        curl_dir = WORK / "curl-small"
        config = WORK / "curl-small.conf"
        with open(config, "w") as conf:
            for name, _, _ in entries:
                conf.write(f'url = "{BASE_URL}{name}"\noutput = "{curl_dir}/{name}"\n')
        log("many small files: warm-up run")
        self.app(None, "Update Complete!")
        times, curl_times, connections, curl_connections, rss = [], [], [], [], []
        for run in range(runs):
            log(f"many small files: run {run + 1} of {runs}")
            access = Log(self.server.access_log)
            result = self.app(None, "Update Complete!", settle=1.0)
            seen, requests = access.connections()
            if requests != count + 3:
                raise RunFailed(f"the server saw {requests} requests, not {count + 3}")
            lines = result["output"].count("Downloading File ")
            missing = [n for n, _, _ in entries
                       if (self.run_dir / n).stat().st_size != size]
            if lines != count or missing:
                raise RunFailed(f"{lines} progress lines, {len(missing)} files missing")
            times.append(result["stop"])
            connections.append(seen)
            rss.append(result["settled_rss"] / MIB)
            if curl_dir.exists():
                shutil.rmtree(curl_dir)
            curl_dir.mkdir()
            os.sync()
            access = Log(self.server.access_log)
            curl_times.append(timed(["curl", "-s", "--config", str(config)]))
            curl_connections.append(access.connections()[0])
        _, ratio = self.row("Many small files (2,000 x 4 KiB)", "wall time to \"Update Complete!\"",
                            times, " s", curl_times, "<= 1.5 x one curl, kept-alive")
        self.rows[-1]["result"] = "PASS" if ratio <= 1.5 else "FAIL"
        self.row("Many small files (2,000 x 4 KiB)", "connections seen by the server", connections,
                 "", curl_connections, "<= 5 (max of runs)", max(connections) <= 5, fmt="{:.0f}")
        self.rss_after_update = rss

    # -------- Big manifest: every entry up to date, only the global version differs.
    def manifest(self):
        runs = self.args.runs
        medians = {}
        for count in (1000, 10000, 100000):
            folder = self.case_folder(f"manifest{count}")
            server = folder / "server"
            entries = [(f"Data{i}.pak", "1.0", "Data") for i in range(1, count + 1)]
            write_manifest(server / "info.ini", "2.0", entries)
            write_manifest(folder / "installed.ini", "1.0", entries)
            self.serve(server)
            log(f"big manifest {count}: warm-up run")
            self.app(folder / "installed.ini", "Update Complete!")
            times = []
            for run in range(runs):
                log(f"big manifest {count}: run {run + 1} of {runs}")
                result = self.app(folder / "installed.ini", "Update Complete!")
                up_to_date = result["output"].count("File Already Up To Date!\n")
                if up_to_date != count or "Downloading" in result["output"]:
                    raise RunFailed(f"{up_to_date} entries up to date, not {count}")
                times.append(result["stop"])
            medians[count] = times
        label = "Big manifest, {:,} entries"
        self.row(label.format(1000), "wall time to \"Update Complete!\"", medians[1000], " s")
        self.row(label.format(10000), "wall time to \"Update Complete!\"", medians[10000], " s",
                 medians[1000], "reported")
        median, ratio = self.row(label.format(100000), "wall time to \"Update Complete!\"",
                                 medians[100000], " s", medians[1000],
                                 "< 100 x the 1,000 run and < 2 s")
        self.rows[-1]["result"] = "PASS" if ratio < 100 and median < 2.0 else "FAIL"

    # -------- Idle wait: CPU used while the server holds the manifest back for 10 s.
    def idle(self):
        runs = self.args.runs
        delay = self.args.idle_seconds
        folder = self.case_folder("idle")
        server = folder / "server"
        slow = folder / "slow"
        slow.mkdir()
        write_manifest(slow / "info.ini", "2.0", [])
        self.serve(server)
        slow_server = subprocess.Popen(
            [sys.executable, __file__, "--slow", str(SLOW_PORT), str(slow), str(delay)],
            stdin=subprocess.DEVNULL)
        try:
            wait_for_port(SLOW_PORT, slow_server)
            shares, walls = [], []
            for run in range(runs):
                log(f"idle wait: run {run + 1} of {runs} ({delay:g} s each)")
                result = self.app(None, "Downloaded info.ini!",
                                  marks=("Getting Information...",))
                begin_time, begin_cpu = result["marks"]["Getting Information..."]
                end_time, end_cpu = result["marks"]["Downloaded info.ini!"]
                wall = end_time - begin_time
                if wall < delay * 0.9:
                    raise RunFailed(f"the manifest came after {wall:.1f} s, not {delay} s")
                walls.append(wall)
                shares.append(100.0 * (end_cpu - begin_cpu) / wall)
        finally:
            slow_server.terminate()
            slow_server.wait()
        median, _ = self.row(f"Idle wait (manifest held {delay:g} s)", "CPU (user+sys) / wall while waiting",
                             shares, " %", None, "< 2 % of one core", fmt="{:.2f}")
        self.rows[-1]["ref"] = f"{statistics.median(walls):.2f} s wall"
        self.rows[-1]["result"] = "PASS" if median < 2.0 else "FAIL"

    # -------- Start-up: until "Getting News..." against a minimal Qt Widgets program.
    def startup(self):
        runs = self.args.runs
        folder = self.case_folder("startup")
        server = folder / "server"
        write_manifest(server / "info.ini", "1.0", [])
        write_manifest(folder / "installed.ini", "1.0", [])
        self.serve(server)
        log("start-up: warm-up runs")
        self.app(folder / "installed.ini", "Getting News...")
        run_until([str(MINIMAL)], WORK, "Window Shown")
        times, reference = [], []
        for run in range(runs):
            log(f"start-up: run {run + 1} of {runs}")
            times.append(self.app(folder / "installed.ini", "Getting News...")["stop"] * 1000)
            reference.append(run_until([str(MINIMAL)], WORK, "Window Shown")["stop"] * 1000)
        _, ratio = self.row("Start-up", "process start to \"Getting News...\"", times, " ms",
                            reference, "<= 1.5 x minimal Qt program", fmt="{:.1f}")
        self.rows[-1]["result"] = "PASS" if ratio <= 1.5 else "FAIL"

    def footprint(self):
        size = APP.stat().st_size
        self.rows.append({"case": "Footprint", "measure": "executable size (release build)",
                          "median": f"{size / MIB:.2f} MiB", "min": "-", "max": "-", "ref": "-",
                          "ratio": "-", "goal": "reported", "result": "-"})
        if getattr(self, "rss_after_update", None):
            self.row("Footprint", "VmRSS 1 s after \"Update Complete!\" (2,000-file run)",
                     self.rss_after_update, " MiB", fmt="{:.1f}")

    def run(self):
        (self.www).mkdir(parents=True, exist_ok=True)
        chosen = self.args.cases
        self.server = Nginx(self.www) if shutil.which("nginx") and not self.args.no_nginx \
            else FallbackServer(self.www)
        self.notes.append("server: " + ("nginx " + subprocess.run(
            ["nginx", "-v"], capture_output=True, text=True).stderr.split("/")[-1].strip()
            if isinstance(self.server, Nginx) else "python3 fallback server"))

        def stop(*_):
            self.server.stop()
            sys.exit(1)

        signal.signal(signal.SIGTERM, stop)
        self.server.start()
        try:
            for name in ("large", "small", "manifest", "idle", "startup"):
                if name in chosen:
                    getattr(self, name)()
            self.footprint()
        finally:
            self.server.stop()
            if self.run_dir.exists():
                shutil.rmtree(self.run_dir)
        self.report()

    def report(self):
        columns = [("case", "case"), ("measure", "measure"), ("median", "median"), ("min", "min"),
                   ("max", "max"), ("ref", "reference median"), ("ratio", "ratio"),
                   ("goal", "goal"), ("result", "result")]
        lines = ["| " + " | ".join(title for _, title in columns) + " |",
                 "|" + "|".join("---" for _ in columns) + "|"]
        for row in self.rows:
            lines.append("| " + " | ".join(row[key] for key, _ in columns) + " |")
        model = "unknown"
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as meminfo:
            ram = int(meminfo.readline().split()[1]) / 1024 / 1024
        machine = (f"{datetime.date.today().isoformat()}; nproc {os.cpu_count()}; CPU {model}; "
                   f"RAM {ram:.1f} GiB; {platform.system()} {platform.release()}; "
                   f"runs: {self.args.runs} per case, {self.args.large_runs} for the large file; "
                   + "; ".join(self.notes))
        text = machine + "\n\n" + "\n".join(lines) + "\n"
        (WORK / "results.md").write_text(text)
        print(text)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--slow":
        serve_slow(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--serve":
        serve_fallback(int(sys.argv[2]), sys.argv[3], sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5, help="runs per case (default 5)")
    parser.add_argument("--large-runs", type=int, default=3,
                        help="runs of the 1 GiB case (default 3)")
    parser.add_argument("--idle-seconds", type=float, default=10.0,
                        help="how long the server holds the manifest back (default 10)")
    parser.add_argument("--cases", nargs="+", default=["large", "small", "manifest", "idle",
                                                       "startup"],
                        choices=["large", "small", "manifest", "idle", "startup"])
    parser.add_argument("--app", default=str(BUILT_APP),
                        help="the updater to measure (default: the release build)")
    parser.add_argument("--no-nginx", action="store_true",
                        help="use the python3 fallback server even when nginx is there")
    args = parser.parse_args()
    built = Path(args.app)
    for needed in (built, MINIMAL):
        if not needed.exists():
            sys.exit(f"{needed} is missing: run bench/run.sh")
    WORK.mkdir(parents=True, exist_ok=True)
    shutil.copy2(built, APP)
    if BASE_URL.encode("utf-16-le") not in APP.read_bytes():
        sys.exit(f"{built} was not built for {BASE_URL}")
    try:
        Bench(args).run()
    except RunFailed as failure:
        sys.exit(f"benchmark run failed: {failure}")


if __name__ == "__main__":
    main()
