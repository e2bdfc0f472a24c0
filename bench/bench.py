#!/usr/bin/env python3
"""Benchmark driver of the Quelmor updater (Python 3 standard library only).

Started by bench/run.sh once the release updater and the minimal Qt program are
built. Generates the server folders, starts nginx on 127.0.0.1:4444 (or, when
nginx is missing, a small server of its own), runs every case several times and
prints the result table. The cases over a link with latency, a cut
connection or a link of 100 Mbit/s put bench/proxy.py on port 4444 and move the
server to port 4446.
Every updater run uses QT_QPA_PLATFORM=offscreen.
"""

import argparse
import datetime
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
from pathlib import Path

import app_cases
import delta_case
import transfer_cases
import verify_cases
from measure import RunFailed, run_until
from servers import FallbackServer, Nginx

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench"
BUILT_APP = ROOT / "build" / "release" / "Quelmor"
# The runs use a copy taken at the start, so a rebuild of build/release while
# the benchmark runs cannot change what is measured.
APP = WORK / "Quelmor"
MINIMAL = WORK / "minimal_qt" / "minimal_qt"
# The updater built with the benchmark's public key (build/bench/keys), copied
# the same way, and the program that times the signature check.
BUILT_SIGNED_APP = WORK / "signed" / "Quelmor"
SIGNED_APP = WORK / "Quelmor-signed"
KEYS = WORK / "keys"
# The updater built with a mirror on the port the server moves to behind the
# proxy or the black hole, copied the same way.
BUILT_MIRROR_APP = WORK / "mirror" / "Quelmor"
MIRROR_APP = WORK / "Quelmor-mirror"
SIGNATURE_TIMER = WORK / "signature" / "signature_timer"
# The publishing tool of the release build, copied the same way (the patch case).
BUILT_PUBLISHER = ROOT / "build" / "release" / "src" / "publish" / "quelmor-publish"
PUBLISHER = WORK / "quelmor-publish"
PORT = 4444
BASE_URL = f"http://127.0.0.1:{PORT}/Quelmor/"

CASES = {
    "large": transfer_cases.large,
    "verified": verify_cases.verified,
    "small": transfer_cases.small,
    "manifest": app_cases.manifest,
    "signature": verify_cases.signature,
    "idle": app_cases.idle,
    "startup": app_cases.startup,
    "newsline": app_cases.newsline,
    "tinymax": app_cases.tinymax,
    "blackhole": app_cases.blackhole,
    "mirror": app_cases.mirror,
    "latency": transfer_cases.latency,
    "cut": transfer_cases.cut,
    "ratecap": app_cases.ratecap,
    "delta": delta_case.delta,
    "statement": verify_cases.statement,
}
# Left out unless asked for: the patch case takes 4.5 minutes and 8 GiB of disk.
DEFAULT_CASES = [name for name in CASES if name != "delta"]


def log(text):
    print(text, file=sys.stderr, flush=True)


class Bench:
    """What every case uses: the server, the case folders, the game folder and the table."""

    def __init__(self, args):
        self.args = args
        self.work = WORK
        self.app_path = APP
        self.signed_app = SIGNED_APP
        self.mirror_app = MIRROR_APP
        self.keys = KEYS
        self.signature_timer = SIGNATURE_TIMER
        self.publisher = PUBLISHER
        self.minimal = MINIMAL
        self.port = PORT
        self.base_url = BASE_URL
        self.www = WORK / "www"
        self.cases = WORK / "cases"
        self.run_dir = WORK / "run"
        self.rows = []
        self.notes = []
        self.remarks = []
        self.server = None
        self.log = log
        self.rss_after_update = None  # set by the many-small-files case

    def use_port(self, port):
        """Runs the server on 127.0.0.1:port, restarting it when it listens elsewhere."""
        if self.server and self.server.port == port:
            return
        if self.server:
            self.server.stop()
        kind = Nginx if shutil.which("nginx") and not self.args.no_nginx else FallbackServer
        self.server = kind(WORK, self.www, port)
        self.server.start()

    def serve(self, folder):
        """Makes the server's /Quelmor/ the given folder (a link swapped in one step)."""
        link = self.www / "Quelmor"
        temp = self.www / "Quelmor.new"
        if temp.is_symlink() or temp.exists():
            temp.unlink()
        temp.symlink_to(folder)
        os.replace(temp, link)

    def case_folder(self, name, news=True):
        """An empty folder for the case with server/ (and server/news.txt) inside."""
        folder = self.cases / name
        server = folder / "server"
        if folder.exists():
            shutil.rmtree(folder)
        server.mkdir(parents=True)
        if news:
            (server / "news.txt").write_text(f"Benchmark case {name}.\r\n")
        return folder

    @staticmethod
    def write_manifest(path, version, entries):
        """Writes a manifest: [VERSION] Version, Max; [FILES] name, version, path per entry,
        and FileSize and FileSha256 for an entry of five values (name, version, path, size, hash)."""
        lines = ["[VERSION]", f"Version={version}", f"Max={len(entries)}", "", "[FILES]"]
        for i, (name, file_version, folder, *checked) in enumerate(entries, start=1):
            lines.append(f"FileName{i}={name}")
            lines.append(f"FileVersion{i}={file_version}")
            lines.append(f"FilePath{i}={folder}")
            if checked:
                lines.append(f"FileSize{i}={checked[0]}")
                lines.append(f"FileSha256{i}={checked[1]}")
        path.write_text("\r\n".join(lines) + "\r\n", encoding="utf-8")

    def fresh_install(self, installed_manifest=None, updater=APP):
        """An empty game folder holding the updater (and the installed manifest, if any)."""
        if self.run_dir.exists():
            shutil.rmtree(self.run_dir)
        self.run_dir.mkdir(parents=True)
        exe = self.run_dir / "Quelmor"
        try:
            os.link(updater, exe)
        except OSError:
            shutil.copy2(updater, exe)
        if installed_manifest is not None:
            shutil.copyfile(installed_manifest, self.run_dir / "info.ini")
        os.sync()
        return exe

    def app(self, installed_manifest, stop, updater=APP, arguments=(), **kwargs):
        """Runs the updater (by default the one measured, else the one given) with the
        arguments from a fresh game folder until the line stop (see run_until)."""
        exe = self.fresh_install(installed_manifest, updater)
        return run_until([str(exe), *arguments], self.run_dir, stop, **kwargs)

    def row(self, case, measure, values, unit, reference=None, goal="reported", passed=None,
            fmt="{:.3f}"):
        """Adds a table row of median, min and max (and the reference's median and the ratio).

        Returns (median, ratio or None)."""
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

    def text_row(self, case, measure, value, goal="reported", passed=None):
        """Adds a table row of one value that is not a measured series."""
        self.rows.append({"case": case, "measure": measure, "median": value, "min": "-",
                          "max": "-", "ref": "-", "ratio": "-", "goal": goal,
                          "result": "-" if passed is None else ("PASS" if passed else "FAIL")})

    def run(self):
        """Runs the chosen cases in the order of CASES, then prints and saves the table."""
        self.www.mkdir(parents=True, exist_ok=True)
        self.notes.append("server: " + ("nginx " + subprocess.run(
            ["nginx", "-v"], capture_output=True, text=True).stderr.split("/")[-1].strip()
            if shutil.which("nginx") and not self.args.no_nginx else "python3 fallback server"))

        def stop(*_):
            if self.server:
                self.server.stop()
            sys.exit(1)

        signal.signal(signal.SIGTERM, stop)
        try:
            for name, case in CASES.items():
                if name in self.args.cases:
                    self.use_port(PORT)  # a case behind the proxy moves the server itself
                    case(self)
            app_cases.footprint(self)
        finally:
            if self.server:
                self.server.stop()
            if self.run_dir.exists():
                shutil.rmtree(self.run_dir)
        self.report()

    def report(self):
        """Prints the table (and writes it to build/bench/results.md)."""
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
                   f"runs: {self.args.runs} per case, {self.args.large_runs} for each 1 GiB case; "
                   + "; ".join(self.notes))
        text = machine + "\n\n" + "\n".join(lines) + "\n"
        if self.remarks:
            text += "\n" + "\n".join(f"- {remark}" for remark in self.remarks) + "\n"
        (WORK / "results.md").write_text(text)
        print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5, help="runs per case (default 5)")
    parser.add_argument("--large-runs", type=int, default=3,
                        help="runs of each 1 GiB case (default 3)")
    parser.add_argument("--idle-seconds", type=float, default=10.0,
                        help="how long the server holds the manifest back (default 10)")
    parser.add_argument("--cases", nargs="+", default=DEFAULT_CASES, choices=list(CASES),
                        help="the cases to run (default: all but delta)")
    parser.add_argument("--app", default=str(BUILT_APP),
                        help="the updater to measure (default: the release build)")
    parser.add_argument("--no-nginx", action="store_true",
                        help="use the python3 fallback server even when nginx is there")
    args = parser.parse_args()
    built = Path(args.app)
    needs = [built, MINIMAL]
    if "signature" in args.cases or "statement" in args.cases:
        needs += [BUILT_SIGNED_APP, SIGNATURE_TIMER, KEYS / "quelmor.pub", KEYS / "quelmor.key"]
    if "mirror" in args.cases:
        needs.append(BUILT_MIRROR_APP)
    if "delta" in args.cases or "statement" in args.cases:
        needs.append(BUILT_PUBLISHER)
    for needed in needs:
        if not needed.exists():
            sys.exit(f"{needed} is missing: run bench/run.sh")
    WORK.mkdir(parents=True, exist_ok=True)
    copies = [(built, APP, [BASE_URL])]
    if "signature" in args.cases or "statement" in args.cases:
        public_key = (KEYS / "quelmor.pub").read_text().splitlines()[1]
        copies.append((BUILT_SIGNED_APP, SIGNED_APP, [BASE_URL, public_key]))
    if "mirror" in args.cases:
        copies.append((BUILT_MIRROR_APP, MIRROR_APP,
                       [BASE_URL, f"http://127.0.0.1:{transfer_cases.BACKEND_PORT}/Quelmor/"]))
    if "delta" in args.cases or "statement" in args.cases:
        shutil.copy2(BUILT_PUBLISHER, PUBLISHER)
    for source, copy, texts in copies:
        shutil.copy2(source, copy)
        # The server address and the key are compiled in, as UTF-16 (a QString
        # literal) or as UTF-8.
        image = copy.read_bytes()
        for text in texts:
            if text.encode("utf-16-le") not in image and text.encode() not in image:
                sys.exit(f"{source} was not built with {text}")
    try:
        Bench(args).run()
    except RunFailed as failure:
        sys.exit(f"benchmark run failed: {failure}")


if __name__ == "__main__":
    main()
