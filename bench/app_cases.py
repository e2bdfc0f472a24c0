"""The benchmark's cases of the updater itself: big manifests, waiting on a
silent server, start-up, a news text of one long line, a tiny manifest with a
huge Max, a server that drops every packet, a speed cap, and footprint (Python
3 standard library only). A case raises RunFailed when a run goes wrong."""

import random
import statistics
import subprocess
import sys
import time

from measure import Log, RunFailed, run_until
import servers
from servers import SLOW_PORT, BlackHole, wait_for_port
from transfer_cases import BACKEND_PORT, check_update, make_files

MIB = 1024 * 1024


# -------- Big manifest: every entry up to date, only the global version differs.
def manifest(bench):
    runs = bench.args.runs
    times = {}
    for count in (1000, 10000, 100000):
        folder = bench.case_folder(f"manifest{count}")
        server = folder / "server"
        entries = [(f"Data{i}.pak", "1.0", "Data") for i in range(1, count + 1)]
        bench.write_manifest(server / "info.ini", "2.0", entries)
        bench.write_manifest(folder / "installed.ini", "1.0", entries)
        bench.serve(server)
        bench.log(f"big manifest {count}: warm-up run")
        bench.app(folder / "installed.ini", "Update Complete!")
        times[count] = []
        for run in range(runs):
            bench.log(f"big manifest {count}: run {run + 1} of {runs}")
            result = bench.app(folder / "installed.ini", "Update Complete!")
            up_to_date = result["output"].count("File Already Up To Date!\n")
            if up_to_date != count or "Downloading" in result["output"]:
                raise RunFailed(f"{up_to_date} entries up to date, not {count}")
            times[count].append(result["stop"])
    label = "Big manifest, {:,} entries"
    bench.row(label.format(1000), "wall time to \"Update Complete!\"", times[1000], " s")
    bench.row(label.format(10000), "wall time to \"Update Complete!\"", times[10000], " s",
              times[1000], "reported")
    median, ratio = bench.row(label.format(100000), "wall time to \"Update Complete!\"",
                              times[100000], " s", times[1000], "< 100 x the 1,000 run and < 2 s")
    bench.rows[-1]["result"] = "PASS" if ratio < 100 and median < 2.0 else "FAIL"


# -------- Idle wait: CPU used while the server holds the manifest back.
def idle(bench):
    runs = bench.args.runs
    delay = bench.args.idle_seconds
    folder = bench.case_folder("idle")
    server = folder / "server"
    slow = folder / "slow"
    slow.mkdir()
    bench.write_manifest(slow / "info.ini", "2.0", [])
    bench.serve(server)
    slow_server = subprocess.Popen([sys.executable, servers.__file__, "--slow", str(SLOW_PORT), str(slow),
                                    str(delay)], stdin=subprocess.DEVNULL)
    try:
        wait_for_port(SLOW_PORT, slow_server)
        shares, walls = [], []
        for run in range(runs):
            bench.log(f"idle wait: run {run + 1} of {runs} ({delay:g} s each)")
            result = bench.app(None, "Downloaded info.ini!", marks=("Getting Information...",))
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
    median, _ = bench.row(f"Idle wait (manifest held {delay:g} s)",
                          "CPU (user+sys) / wall while waiting", shares, " %", None,
                          "< 2 % of one core", fmt="{:.2f}")
    bench.rows[-1]["ref"] = f"{statistics.median(walls):.2f} s wall"
    bench.rows[-1]["result"] = "PASS" if median < 2.0 else "FAIL"


# -------- Start-up: until "Getting News..." against a minimal Qt Widgets program.
def startup(bench):
    runs = bench.args.runs
    folder = bench.case_folder("startup")
    server = folder / "server"
    bench.write_manifest(server / "info.ini", "1.0", [])
    bench.write_manifest(folder / "installed.ini", "1.0", [])
    bench.serve(server)
    bench.log("start-up: warm-up runs")
    bench.app(folder / "installed.ini", "Getting News...")
    run_until([str(bench.minimal)], bench.work, "Window Shown")
    times, reference = [], []
    for run in range(runs):
        bench.log(f"start-up: run {run + 1} of {runs}")
        times.append(bench.app(folder / "installed.ini", "Getting News...")["stop"] * 1000)
        reference.append(run_until([str(bench.minimal)], bench.work, "Window Shown")["stop"] * 1000)
    _, ratio = bench.row("Start-up", "process start to \"Getting News...\"", times, " ms",
                         reference, "<= 1.5 x minimal Qt program", fmt="{:.1f}")
    bench.rows[-1]["result"] = "PASS" if ratio <= 1.5 else "FAIL"


# -------- One long news line: 1 MiB of text without a line break, the update up to date.
def news_line(size, blanks, seed):
    """size bytes of lowercase ASCII words in one line: separated by single blanks, or
    without any blank. Neither ends nor begins with a blank."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    if not blanks:
        return "".join(rng.choices(letters, k=size)).encode()
    words, length = [], 0
    while length < size:
        word = "".join(rng.choices(letters, k=rng.randint(1, 12)))
        words.append(word)
        length += len(word) + 1
    text = " ".join(words)[:size]
    return (text[:-1] + "x" if text.endswith(" ") else text).encode()


def newsline(bench):
    runs = bench.args.runs
    size = MIB  # the most news the updater shows
    stop, marks = "You Have The Latest Version!", ("Getting News...", "Getting Information...")
    for label, blanks in (("with blanks", True), ("without blanks", False)):
        folder = bench.case_folder("newsline-" + label.replace(" ", "-"), news=False)
        server = folder / "server"
        news = news_line(size, blanks, 4 if blanks else 5)
        if len(news) != size or b"\n" in news or b"\r" in news or (b" " in news) != blanks:
            raise RunFailed(f"the news text {label} is not one line of {size} bytes")
        (server / "news.txt").write_bytes(news)
        bench.write_manifest(server / "info.ini", "1.0", [])
        bench.write_manifest(folder / "installed.ini", "1.0", [])
        bench.serve(server)
        bench.log(f"one long news line {label}: warm-up run")
        bench.app(folder / "installed.ini", stop, marks=marks)
        after_news, totals, shown = [], [], []
        for run in range(runs):
            bench.log(f"one long news line {label}: run {run + 1} of {runs}")
            access = Log(bench.server.access_log)
            result = bench.app(folder / "installed.ini", stop, marks=marks)
            sent = [(status, body) for _, status, body, path in access.requests()
                    if path.endswith("/news.txt")]
            if sent != [(200, size)]:
                raise RunFailed(f"the news was answered {sent}, not once whole ({size} bytes)")
            news_time = result["marks"]["Getting News..."][0]
            information = result["marks"]["Getting Information..."][0]
            after_news.append(result["stop"] - information)
            totals.append(result["stop"])
            shown.append((information - news_time) * 1000)
        case = f"One news line of 1 MiB, {label}"
        median, _ = bench.row(case, f"\"Getting Information...\" (news shown) to \"{stop}\"",
                              after_news, " s", None, "< 2 s")
        bench.rows[-1]["result"] = "PASS" if median < 2.0 else "FAIL"
        bench.row(case, f"process start to \"{stop}\"", totals, " s")
        bench.row(case, "\"Getting News...\" to \"Getting Information...\" (fetched and shown)",
                  shown, " ms", fmt="{:.1f}")


# -------- A tiny manifest with a huge Max: 10,000,000 entries that neither manifest names.
def tinymax(bench):
    runs = bench.args.runs
    count = 10_000_000
    folder = bench.case_folder("tinymax")
    server = folder / "server"
    manifest = f"[VERSION]\r\nVersion=2\r\nMax={count}\r\n[FILES]\r\n".encode()
    (server / "info.ini").write_bytes(manifest)
    (folder / "installed.ini").write_bytes(
        f"[VERSION]\r\nVersion=1\r\nMax={count}\r\n[FILES]\r\n".encode())
    bench.serve(server)
    stop = "Update Complete!"
    bench.log("tiny manifest, huge Max: warm-up run")
    bench.app(folder / "installed.ini", stop)
    times, peaks, lines = [], [], []
    for run in range(runs):
        bench.log(f"tiny manifest, huge Max: run {run + 1} of {runs}")
        access = Log(bench.server.access_log)
        result = bench.app(folder / "installed.ini", stop)
        requests = access.connections()[1]  # the news and the manifest, no file
        if requests != 2 or (bench.run_dir / "info.ini").read_bytes() != manifest:
            raise RunFailed(f"the server saw {requests} requests, not 2, or the server's "
                            "manifest was not installed")
        times.append(result["stop"])
        peaks.append(result["hwm"] / MIB)
        printed = result["output"]
        lines.append(printed[:printed.index(stop + "\n") + len(stop) + 1].count("\n"))
    case = f"Tiny manifest ({len(manifest)} bytes), Max={count:,}"
    median, _ = bench.row(case, f"wall time to \"{stop}\"", times, " s", None, "< 60 s")
    bench.rows[-1]["result"] = "PASS" if median < 60.0 else "FAIL"
    bench.row(case, "peak resident memory (VmHWM)", peaks, " MiB", None,
              "< 64 MiB (max of runs)", max(peaks) < 64, fmt="{:.1f}")
    bench.row(case, f"lines printed up to \"{stop}\"", lines, "", fmt="{:.0f}")


# -------- A server that drops every packet: connections never complete.
def check_hole(url):
    """Raises RunFailed unless a plain curl with a 3 s connect time-out hangs until it."""
    start = time.monotonic()
    curl = subprocess.run(["curl", "-s", "-o", "/dev/null", "--connect-timeout", "3", url],
                          stdin=subprocess.DEVNULL)
    waited = time.monotonic() - start
    if curl.returncode != 28 or waited < 2.9:
        raise RunFailed(f"curl ended with {curl.returncode} after {waited:.1f} s, not with a "
                        "time-out after 3 s: the port does not drop connections")


def blackhole(bench):
    runs = bench.args.runs
    folder = bench.case_folder("blackhole", news=False)
    bench.write_manifest(folder / "installed.ini", "1.0", [])
    bench.use_port(BACKEND_PORT)  # the updater's port is the black hole's
    stop = "Cannot reach the update server!"
    errors = bench.work / "blackhole-stderr.txt"
    times = []
    with BlackHole(bench.port):
        check_hole(bench.base_url + "news.txt")
        for run in range(runs):
            bench.log(f"server dropping every packet: run {run + 1} of {runs}")
            result = bench.app(folder / "installed.ini", stop, timeout=120, errors=errors)
            # The last line on standard error; Qt may warn before it.
            reason = errors.read_text(errors="replace").strip().splitlines()[-1:]
            reason = reason[0] if reason else ""
            if "did not answer" not in reason:
                raise RunFailed(f"the updater gave another reason: {reason!r}")
            times.append(result["stop"])
        check_hole(bench.base_url + "news.txt")  # still a hole after the runs
    median, _ = bench.row("Server dropping every packet", f"process start to \"{stop}\"",
                          times, " s", None, "< 15 s")
    bench.rows[-1]["result"] = "PASS" if median < 15.0 else "FAIL"
    bench.remarks.append(f"Server dropping every packet: the updater's reason (standard "
                         f"error, last run): {reason}")


# -------- Speed cap: 64 MiB in four files at 1 MiB/s for the whole update.
def ratecap(bench):
    runs = bench.args.runs
    count, size, cap = 4, 16 * MIB, MIB
    server = bench.case_folder("ratecap") / "server"
    entries = make_files(server, "Capped", count, size, 6)
    bench.write_manifest(server / "info.ini", "2.0", entries)
    bench.serve(server)
    stop = "Update Complete!"
    errors = bench.work / "ratecap-stderr.txt"
    # A speed that is not understood is said, and the update runs without a cap.
    bench.log("speed cap: a run with --limit-rate fast (no cap)")
    bench.app(None, stop, arguments=("--limit-rate", "fast"), errors=errors)
    said = errors.read_text(errors="replace")
    if "--limit-rate: \"fast\" is not a speed such as 500k or 2M" not in said:
        raise RunFailed(f"no word about the wrong speed on standard error: {said[-300:]!r}")
    times, connections = [], []
    for run in range(runs):
        # The cap from the command line and from the environment, in turn.
        given = "command line" if run % 2 == 0 else "QUELMOR_LIMIT_RATE"
        bench.log(f"speed cap: run {run + 1} of {runs} (1M from the {given}, about 64 s)")
        access = Log(bench.server.access_log)
        result = bench.app(None, stop, timeout=300.0,
                           arguments=("--limit-rate", "1M") if run % 2 == 0 else (),
                           env={} if run % 2 == 0 else {"QUELMOR_LIMIT_RATE": "1M"})
        check_update(bench, result, access, entries, size)
        times.append(result["stop"])
        connections.append(access.connections()[0])
    goal = count * size / cap
    case = "Speed cap (4 x 16 MiB, --limit-rate 1M)"
    median, _ = bench.row(case, f"wall time to \"{stop}\"", times, " s", None,
                          f"{goal:.0f} s +- 10 %")
    bench.rows[-1]["result"] = "PASS" if abs(median - goal) <= 0.1 * goal else "FAIL"
    bench.row(case, "connections seen by the server", connections, "", fmt="{:.0f}")


# -------- The update server drops every packet; a mirror serves the update.
def mirror(bench):
    runs = bench.args.runs
    count, size = 4, MIB
    server = bench.case_folder("mirror") / "server"
    entries = make_files(server, "Mirrored", count, size, 7)
    bench.write_manifest(server / "info.ini", "2.0", entries)
    bench.serve(server)
    bench.use_port(BACKEND_PORT)  # the mirror's port; the update server's is the black hole
    stop = "Update Complete!"
    times = []
    with BlackHole(bench.port):
        check_hole(bench.base_url + "news.txt")
        for run in range(runs):
            bench.log(f"mirror behind a server dropping every packet: run {run + 1} of {runs}")
            access = Log(bench.server.access_log)
            result = bench.app(None, stop, updater=bench.mirror_app, timeout=120)
            check_update(bench, result, access, entries, size)
            if "Trying mirror 1 of 1..." not in result["output"]:
                raise RunFailed("the updater did not say it tried the mirror")
            times.append(result["stop"])
    median, _ = bench.row("Mirror (the update server dropping every packet, 4 x 1 MiB)",
                          f"process start to \"{stop}\" from the mirror", times, " s", None,
                          "< 15 s")
    bench.rows[-1]["result"] = "PASS" if median < 15.0 else "FAIL"


# -------- Footprint: the executable's size and the memory after the 2,000-file update.
def footprint(bench):
    bench.text_row("Footprint", "executable size (release build)",
                   f"{bench.app_path.stat().st_size / MIB:.2f} MiB")
    if bench.rss_after_update:
        bench.row("Footprint", "VmRSS 1 s after \"Update Complete!\" (2,000-file run)",
                  bench.rss_after_update, " MiB", fmt="{:.1f}")
