"""The benchmark's transfer cases: one large file, many small files, a link
with latency and a cut connection, each against curl followed by the flush the
updater gives what it wrote (Python 3 standard library only). A case raises
RunFailed when a run goes wrong; the cut connection counts such a run as not
finished instead."""

import contextlib
import filecmp
import os
import random
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from measure import Log, RunFailed, timed
from servers import Nginx, wait_for_port

MIB = 1024 * 1024
GIB = 1024 * MIB
# The port the server moves to while bench/proxy.py takes the updater's port.
BACKEND_PORT = 4446
PROXY = Path(__file__).resolve().parent / "proxy.py"


def make_files(server, prefix, count, size, seed):
    """count files of size random bytes in server; returns their manifest entries."""
    rng = random.Random(seed)
    entries = []
    for i in range(1, count + 1):
        name = f"{prefix}{i:04d}.dat"
        (server / name).write_bytes(rng.randbytes(size))
        entries.append((name, "1.0", ""))
    return entries


def curl_config(bench, name, entries):
    """A curl --config file fetching every entry into work/<name>/; returns (config, folder)."""
    folder = bench.work / name
    config = bench.work / f"{name}.conf"
    with open(config, "w") as conf:
        for entry, _, _ in entries:
            conf.write(f'url = "{bench.base_url}{entry}"\noutput = "{folder}/{entry}"\n')
    return config, folder


def curl_many(config, folder):
    """Wall seconds of one curl process fetching the config's URLs, then `sync -f` of its folder."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir()
    os.sync()
    return timed(["curl", "-s", "--config", str(config)], ["sync", "-f", str(folder)])


def check_update(bench, result, access, entries, size):
    """Raises RunFailed unless every file arrived whole, once, with one progress line each:
    the server sees the news, the manifest and each file once."""
    _, requests = access.connections()
    if requests != len(entries) + 2:
        raise RunFailed(f"the server saw {requests} requests, not {len(entries) + 2}")
    lines = result["output"].count("Downloading File ")
    missing = [n for n, _, _ in entries if (bench.run_dir / n).stat().st_size != size]
    if lines != len(entries) or missing:
        raise RunFailed(f"{lines} progress lines, {len(missing)} files missing")


@contextlib.contextmanager
def proxy(bench, *options):
    """bench/proxy.py on the updater's port in front of the server (moved to BACKEND_PORT).

    Yields a dict that holds "body" and "answers" of the watched path once the proxy ended."""
    bench.use_port(BACKEND_PORT)
    counts = bench.work / "proxy-counts.txt"
    counts.unlink(missing_ok=True)
    process = subprocess.Popen([sys.executable, str(PROXY), str(bench.port), str(BACKEND_PORT),
                                "--count-file", str(counts), *options], stdin=subprocess.DEVNULL)
    found = {}
    try:
        wait_for_port(bench.port, process)
        yield found
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait()
    if not counts.exists():
        raise RunFailed(f"the proxy ended (exit {process.returncode}) without its counts")
    body, answers = counts.read_text().split()
    found.update(body=int(body), answers=int(answers))


def large_file(bench):
    """The 1 GiB file of random blocks below work/data (made once), read into the page cache."""
    data = bench.work / "data" / "large.bin"
    data.parent.mkdir(parents=True, exist_ok=True)
    if not data.exists() or data.stat().st_size != GIB:
        bench.log("making the 1 GiB file")
        block = random.Random(1).randbytes(4 * MIB)
        with open(data, "wb") as out:
            for _ in range(GIB // len(block)):
                out.write(block)
    with open(data, "rb") as source:  # every side reads it from the page cache
        while source.read(16 * MIB):
            pass
    return data


# -------- Large file: one 1 GiB file against curl -s -o F && sync F.
def large(bench):
    runs = bench.args.large_runs
    data = large_file(bench)
    server = bench.case_folder("large") / "server"
    os.link(data, server / "Quelmor.pak")
    bench.write_manifest(server / "info.ini", "2.0", [("Quelmor.pak", "1.0", "")])
    bench.serve(server)
    times, peaks, curl_times = [], [], []
    target = bench.work / "curl-large.bin"
    for run in range(runs):
        bench.log(f"large file: run {run + 1} of {runs}")
        result = bench.app(None, "Update Complete!")
        got = bench.run_dir / "Quelmor.pak"
        if got.stat().st_size != GIB or (run == 0 and not filecmp.cmp(got, data, False)):
            raise RunFailed("the updater's copy of the large file differs from the server's")
        times.append(result["stop"])
        peaks.append(result["hwm"] / MIB)
        shutil.rmtree(bench.run_dir)
        os.sync()
        curl_times.append(timed(["curl", "-s", "-o", str(target), bench.base_url + "Quelmor.pak"],
                                ["sync", str(target)]))
        if target.stat().st_size != GIB:
            raise RunFailed("curl's copy of the large file is incomplete")
        target.unlink()
        os.sync()
    _, ratio = bench.row("Large file (1 GiB)", "wall time to \"Update Complete!\"", times, " s",
                         curl_times, "<= 1.15 x curl -s -o F && sync F")
    bench.rows[-1]["result"] = "PASS" if ratio <= 1.15 else "FAIL"
    bench.row("Large file (1 GiB)", "peak resident memory (VmHWM)", peaks, " MiB", None,
              "<= 64 MiB (max of runs)", max(peaks) <= 64, fmt="{:.1f}")


# -------- Many small files: 2,000 files of 4 KiB against one curl process.
def small(bench):
    runs = bench.args.runs
    count, size = 2000, 4096
    server = bench.case_folder("small") / "server"
    entries = make_files(server, "small", count, size, 2)
    bench.write_manifest(server / "info.ini", "2.0", entries)
    bench.serve(server)
    config, curl_dir = curl_config(bench, "curl-small", entries)
    bench.log("many small files: warm-up run")
    bench.app(None, "Update Complete!")
    times, curl_times, connections, curl_connections, rss = [], [], [], [], []
    for run in range(runs):
        bench.log(f"many small files: run {run + 1} of {runs}")
        access = Log(bench.server.access_log)
        result = bench.app(None, "Update Complete!", settle=1.0)
        check_update(bench, result, access, entries, size)
        times.append(result["stop"])
        connections.append(access.connections()[0])
        rss.append(result["settled_rss"] / MIB)
        access = Log(bench.server.access_log)
        curl_times.append(curl_many(config, curl_dir))
        curl_connections.append(access.connections()[0])
    case = "Many small files (2,000 x 4 KiB)"
    _, ratio = bench.row(case, "wall time to \"Update Complete!\"", times, " s", curl_times,
                         "<= 1.5 x one curl, kept-alive, then sync -f (stretch: < 1 x)")
    bench.rows[-1]["result"] = "PASS" if ratio <= 1.5 else "FAIL"
    if ratio < 1:
        bench.rows[-1]["result"] = "PASS (stretch too)"
    bench.row(case, "connections seen by the server", connections, "", curl_connections,
              "<= 5 (max of runs)", max(connections) <= 5, fmt="{:.0f}")
    bench.rss_after_update = rss


# -------- A link with latency: 200 files of 16 KiB through the delaying proxy.
def latency(bench):
    runs = bench.args.runs
    count, size, delay = 200, 16 * 1024, 0.015
    server = bench.case_folder("latency") / "server"
    entries = make_files(server, "near", count, size, 3)
    bench.write_manifest(server / "info.ini", "2.0", entries)
    bench.serve(server)
    config, curl_dir = curl_config(bench, "curl-latency", entries)
    times, curl_times = [], []
    with proxy(bench, "--delay", str(delay)):
        bench.log("link with latency: warm-up run")
        bench.app(None, "Update Complete!")
        for run in range(runs):
            bench.log(f"link with latency: run {run + 1} of {runs}")
            access = Log(bench.server.access_log)
            result = bench.app(None, "Update Complete!")
            check_update(bench, result, access, entries, size)
            times.append(result["stop"])
            curl_times.append(curl_many(config, curl_dir))
    _, ratio = bench.row("Link with latency (15 ms each way, 200 x 16 KiB)",
                         "wall time to \"Update Complete!\"", times, " s", curl_times,
                         "<= 0.5 x one sequential curl through the proxy, then sync -f")
    bench.rows[-1]["result"] = "PASS" if ratio <= 0.5 else "FAIL"


# -------- A cut connection: a 64 MiB file whose first connection breaks after 40 MiB.
def cut(bench):
    runs = bench.args.runs
    size, cut_after, name = 64 * MIB, 40 * MIB, "Cut.pak"
    server = bench.case_folder("cut") / "server"
    data = server / name
    data.write_bytes(random.Random(4).randbytes(size))
    bench.write_manifest(server / "info.ini", "2.0", [(name, "1.0", "")])
    bench.serve(server)
    path = "/Quelmor/" + name
    errors = bench.work / "cut-stderr.txt"
    finished, delivered, logged = 0, [], []
    for run in range(runs):
        bench.log(f"cut connection: run {run + 1} of {runs}")
        access = Log(bench.server.access_log)
        with proxy(bench, "--watch", path, "--cut-after", str(cut_after)) as counts:
            try:
                bench.app(None, "Update Complete!", timeout=120.0, errors=errors)
                if not filecmp.cmp(bench.run_dir / name, data, False):
                    raise RunFailed(f"the updater's copy of {name} differs from the server's")
                finished += 1
            except (RunFailed, OSError) as failure:
                said = errors.read_text(errors="replace").strip().splitlines() or ["-"]
                bench.remarks.append(f"Cut connection, run {run + 1}: {str(failure).splitlines()[0]}; "
                                     f"last line on standard error: \"{said[-1]}\"")
        delivered.append(counts["body"] / MIB)
        logged.append(sum(sent for _, _, sent, asked in access.requests() if asked == path) / MIB)
    case = "Cut connection (64 MiB, cut at 40 MiB)"
    bench.text_row(case, "runs that end with \"Update Complete!\" and the file whole",
                   f"{finished} of {runs}", "every run", finished == runs)
    bench.row(case, "body bytes of the file that reached the updater (counted in the proxy)",
              delivered, " MiB", None, "<= 65 MiB (max of runs), every run finished",
              finished == runs and max(delivered) <= 65, fmt="{:.1f}")
    if isinstance(bench.server, Nginx):  # the python3 server logs no broken answer
        bench.row(case, "body bytes of the file nginx logged ($body_bytes_sent)", logged, " MiB",
                  fmt="{:.1f}")
