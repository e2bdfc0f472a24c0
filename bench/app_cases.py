"""The benchmark's cases of the updater itself: big manifests, waiting on a
silent server, start-up and footprint (Python 3 standard library only). A case
raises RunFailed when a run goes wrong."""

import statistics
import subprocess
import sys

from measure import RunFailed, run_until
import servers
from servers import SLOW_PORT, wait_for_port

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


# -------- Footprint: the executable's size and the memory after the 2,000-file update.
def footprint(bench):
    bench.text_row("Footprint", "executable size (release build)",
                   f"{bench.app_path.stat().st_size / MIB:.2f} MiB")
    if bench.rss_after_update:
        bench.row("Footprint", "VmRSS 1 s after \"Update Complete!\" (2,000-file run)",
                  bench.rss_after_update, " MiB", fmt="{:.1f}")
