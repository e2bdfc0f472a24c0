"""The benchmark's patch case: a pack file of 1 GiB over three releases,
published one after the other with quelmor-publish, and two players, one at
release 1 and one at release 2, updating to release 3 over a link of
100 Mbit/s, against the same updates fetching the whole file (Python 3
standard library only). A run that goes wrong raises RunFailed."""

import hashlib
import os
import random
import shutil
import statistics
import subprocess
import time
from pathlib import Path

from measure import Log, RunFailed, Sampler, run_until
from transfer_cases import proxy

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
# The releases are kept in build/bench/cases/delta-releases-<GENERATOR> between
# runs; a change to how they are made must raise it, so they are made again.
GENERATOR = 1
PACK = "pack.pak"
PACK_SIZE = GIB
BLOCK = 64 * MIB
PLACES, PLACE = 16, 64 * KIB  # release 2: 1 MiB changed, in 16 places spread over the file
INSERTED = 4 * MIB            # release 3: inserted in the middle of release 2's file
RATE = 12_500_000             # bytes per second: 100 Mbit/s
SETTINGS = "config/settings.cfg"
README = "readme.txt"
STOP = "Update Complete!"
FALLBACK = "could not be used"  # "The patch for X could not be used (...); downloading ..."

# Goals of the case.
MOST_MOVED = 0.03          # of the file's bytes
LEAST_SPEEDUP = 10.0       # against the whole file over the same link
MOST_ANON = 64 * MIB       # the updater's anonymous memory
LEAST_APPLY = 300e6        # bytes of output per second
MOST_PUBLISH_TIME = 180.0  # seconds, a release that makes patches of the 1 GiB file
MOST_PUBLISH_MEMORY = 4 * GIB


def verdict(ok):
    return "PASS" if ok else "MISS"


# -------- The releases.
def write_blocks(out, rng, size):
    """Writes size pseudo-random bytes of rng to out, a block at a time."""
    while size > 0:
        step = min(BLOCK, size)
        out.write(rng.randbytes(step))
        size -= step


def copy_range(source, out, size):
    """Copies size bytes from source's position to out."""
    while size > 0:
        data = source.read(min(BLOCK, size))
        if not data:
            raise RunFailed("a release file ended early")
        out.write(data)
        size -= len(data)


def make_releases(bench):
    """The three release folders (made once per GENERATOR), returned as a list."""
    folder = bench.cases / f"delta-releases-{GENERATOR}"
    done = folder / "complete"
    releases = [folder / f"release{n}" for n in (1, 2, 3)]
    for old in bench.cases.glob("delta-releases-*"):
        if old != folder:
            shutil.rmtree(old)
    if done.exists():
        return releases
    bench.log("patches: making the three releases (1 GiB each, kept for later runs)")
    if folder.exists():
        shutil.rmtree(folder)
    settings = random.Random(20).choices("abcdefghijklmnopqrstuvwxyz \r\n", k=4096)
    for n, release in enumerate(releases, start=1):
        (release / "config").mkdir(parents=True)
        (release / SETTINGS).write_text("".join(settings), newline="")
        (release / README).write_text(f"The benchmark's game, release {n}.\r\n" * 40, newline="")
    first, second, third = (release / PACK for release in releases)
    with open(first, "wb") as out:
        write_blocks(out, random.Random(21), PACK_SIZE)
    shutil.copyfile(first, second)
    changes = random.Random(22)
    with open(second, "r+b") as out:
        for k in range(PLACES):
            out.seek(k * (PACK_SIZE // PLACES) + PACK_SIZE // (2 * PLACES))
            out.write(changes.randbytes(PLACE))
    with open(second, "rb") as source, open(third, "wb") as out:
        copy_range(source, out, PACK_SIZE // 2)
        write_blocks(out, random.Random(23), INSERTED)
        copy_range(source, out, PACK_SIZE - PACK_SIZE // 2)
    done.write_text(f"{GENERATOR}\n")
    os.sync()
    return releases


def read_through(path):
    """Reads a file once, so that what follows finds it in the page cache."""
    with open(path, "rb") as source:
        while source.read(16 * MIB):
            pass


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        while chunk := source.read(16 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


# -------- Manifests.
def read_manifest(path):
    """{section: {key: value}} of a manifest (keys as written)."""
    sections, current = {}, None
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].upper(), {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            current[key.strip()] = value.strip()
    return sections


def pack_entry(manifest):
    """(size, SHA-256, [(base, patch size, patch SHA-256)]) of the pack's entry."""
    files = manifest.get("FILES", {})
    for i in range(1, int(manifest["VERSION"]["Max"]) + 1):
        if files.get(f"FileName{i}") == PACK and files.get(f"FilePath{i}", "") == "":
            patches, k = [], 1
            while f"PatchBase{i}.{k}" in files:
                patches.append((files[f"PatchBase{i}.{k}"].lower(),
                                int(files[f"PatchSize{i}.{k}"]),
                                files[f"PatchSha256{i}.{k}"].lower()))
                k += 1
            return int(files[f"FileSize{i}"]), files[f"FileSha256{i}"].lower(), patches
    raise RunFailed(f"no entry of {PACK} in the manifest")


def without_patches(text):
    """The manifest text without its Patch* keys: today's update of the whole file."""
    kept = [line for line in text.splitlines(keepends=True)
            if not line.lstrip().lower().startswith("patch")]
    return "".join(kept)


def side_folder(server, folder, manifest_text):
    """folder serving manifest_text as info.ini and, through links, everything else of server."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir()
    for item in server.iterdir():
        if item.name not in ("info.ini", "info.ini.minisig"):
            (folder / item.name).symlink_to(item)
    (folder / "info.ini").write_text(manifest_text, encoding="utf-8", newline="")
    return folder


# -------- Publishing.
def publish(bench, publisher, release, server, version, news):
    """Runs quelmor-publish; returns (wall seconds, VmHWM bytes, peak RssAnon bytes)."""
    read_through(release / PACK)
    os.sync()
    output = bench.work / f"publish-{version}.txt"
    sampler = Sampler(period=0.05)
    start = time.monotonic()
    with open(output, "wb") as out:
        process = subprocess.Popen([str(publisher), str(release), str(server), "--version", version,
                                    "--news", str(news)], stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT)
    sampler.begin(process.pid, start)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    sampler.end()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RunFailed(f"quelmor-publish of release {version} ended with {process.returncode}:\n"
                        + output.read_text(errors="replace")[-1500:])
    if sampler.samples == 0:
        raise RunFailed(f"the memory of quelmor-publish (release {version}) was never read")
    bench.log(f"patches: published release {version} in {wall:.1f} s")
    return wall, usage.ru_maxrss * KIB, sampler.anon


# -------- A player's update.
def part_key(url, size, sha256):
    """The updater's name for the part file of a download (PartKeyOf)."""
    return hashlib.sha256(f"{url}\n{size}\n{sha256}".encode()).hexdigest()


class ApplyWatch:
    """Sees, from outside, when the patch is applied in the game folder's part folder:
    from the moment the pack's part file appears (made when the patch has arrived)
    until the patch's part file is removed (once the result was checked)."""

    def __init__(self, game, pack_key, patch_key):
        part = game / ".quelmor-partial"
        self.out = part / f"{pack_key}.part"
        self.patch = part / f"{patch_key}.part"
        self.began = self.ended = None

    def __call__(self, now):
        if self.began is None:
            if self.out.exists():
                self.began = now
        elif self.ended is None and not self.patch.exists():
            self.ended = now


def install(bench, release, manifest):
    """A game folder at a release: its files, its manifest and the updater."""
    game = bench.run_dir
    if game.exists():
        shutil.rmtree(game)
    game.mkdir(parents=True)
    os.link(bench.app_path, game / "Quelmor")
    (game / "config").mkdir()
    for name in (PACK, README, SETTINGS):
        shutil.copyfile(release / name, game / name)
    shutil.copyfile(manifest, game / "info.ini")
    os.sync()
    return game


def update(bench, release, manifest, target, patch=None):
    """Updates a game folder at release (with its manifest) from the server being served.

    target is the pack's (size, SHA-256) after the update; patch the (size, SHA-256)
    of the patch the updater must fetch, or None when it must fetch the whole file.
    Returns {"time", "moved", "anon", "hwm", "apply"} (apply: seconds, None without
    a patch)."""
    game = install(bench, release, manifest)
    size, sha = target
    pack_url = f"{bench.base_url}by-hash/{sha}"
    watch = None
    if patch:
        watch = ApplyWatch(game, part_key(pack_url, size, sha),
                           part_key(f"{bench.base_url}by-hash/{patch[1]}", *patch))
    sampler = Sampler(watch=watch)
    errors = bench.work / "delta-stderr.txt"
    access = Log(bench.server.access_log)
    result = run_until([str(game / "Quelmor")], game, STOP, timeout=900.0, errors=errors,
                       sampler=sampler)
    requests = access.requests()
    refused = [(status, path) for _, status, _, path in requests if status >= 400]
    asked = {path.rsplit("/", 1)[-1] for _, _, _, path in requests}
    if refused:
        raise RunFailed(f"the server refused {refused}")
    if FALLBACK in result["output"]:
        raise RunFailed("the updater fell back to the whole file: " + next(
            line for line in result["output"].splitlines() if FALLBACK in line))
    if patch and (patch[1] not in asked or sha in asked):
        raise RunFailed("the updater did not fetch the patch alone")
    if not patch and sha not in asked:
        raise RunFailed("the updater did not fetch the whole file")
    got = game / PACK
    if got.stat().st_size != size or sha256_of(got) != sha:
        raise RunFailed(f"the updated {PACK} is not release 3's")
    if sampler.samples == 0:
        raise RunFailed("the updater's memory was never read")
    if patch and (watch.began is None or watch.ended is None):
        raise RunFailed("the patch's application was not seen in the part folder")
    return {"time": result["stop"], "moved": sum(sent for _, _, sent, _ in requests),
            "anon": sampler.anon, "hwm": result["hwm"],
            "apply": watch.ended - watch.began if patch else None}


# -------- The case.
def delta(bench):
    runs = bench.args.large_runs
    releases = make_releases(bench)
    folder = bench.cases / "delta"
    if folder.exists():
        shutil.rmtree(folder)
    server, manifests = folder / "server", folder / "manifests"
    manifests.mkdir(parents=True)
    news = folder / "news.txt"
    news.write_text("Benchmark case delta.\r\n")

    publishing = {}
    for n, release in enumerate(releases, start=1):
        publishing[n] = publish(bench, bench.publisher, release, server, f"{n}.0", news)
        shutil.copyfile(server / "info.ini", manifests / f"{n}.ini")
    pack = {n: pack_entry(read_manifest(manifests / f"{n}.ini")) for n in (1, 2, 3)}
    size, sha, offers = pack[3]
    patch_of = {base: (patch_size, patch_sha) for base, patch_size, patch_sha in offers}
    for n in (1, 2):
        if pack[n][1] not in patch_of:
            raise RunFailed(f"release 3's manifest offers no patch from release {n}'s {PACK}")
    if len(pack[2][2]) != 1:
        raise RunFailed(f"release 2's manifest offers {len(pack[2][2])} patches, not 1")

    for n in (1, 2, 3):
        wall, hwm, anon = publishing[n]
        made = "no patch" if n == 1 else f"patches from release{'s 1 and' if n == 3 else ''} {n - 1}"
        case = f"Patches: publishing release {n} ({made})"
        if n == 1:
            bench.text_row(case, "wall time of quelmor-publish", f"{wall:.1f} s")
            bench.text_row(case, "peak memory: VmHWM; RssAnon",
                           f"{hwm / MIB:.0f} MiB; {anon / MIB:.0f} MiB")
            continue
        bench.text_row(case, "wall time of quelmor-publish (copy, hashes, patches)",
                       f"{wall:.1f} s", f"< {MOST_PUBLISH_TIME:.0f} s", None)
        bench.rows[-1]["result"] = verdict(wall < MOST_PUBLISH_TIME)
        bench.text_row(case, "peak memory: VmHWM (mapped files included); RssAnon",
                       f"{hwm / MIB:.0f} MiB; {anon / MIB:.0f} MiB", "VmHWM < 4 GiB", None)
        bench.rows[-1]["result"] = verdict(hwm < MOST_PUBLISH_MEMORY)
    sizes = [f"release 2 -> 3: {patch_of[pack[2][1]][0] / MIB:.2f} MiB",
             f"release 1 -> 3: {patch_of[pack[1][1]][0] / MIB:.2f} MiB",
             f"release 1 -> 2: {pack[2][2][0][1] / MIB:.2f} MiB"]
    bench.text_row(f"Patches: {PACK} ({size / MIB:.0f} MiB in release 3)", "patch sizes",
                   "; ".join(sizes))

    # The players, over the link of 100 Mbit/s.
    kept = server / ".quelmor-publish-manifests" / "2.ini"
    stale_text = kept.read_text(encoding="utf-8") if kept.exists() else None
    whole = side_folder(server, folder / "whole",
                        without_patches((manifests / "3.ini").read_text(encoding="utf-8")))
    stale = side_folder(server, folder / "stale", stale_text) if stale_text else None
    for release in releases:
        read_through(release / PACK)
    results = {1: [], 2: []}
    baseline = {}
    stale_result = None
    with proxy(bench, "--rate", str(RATE)):
        bench.serve(server)
        for run in range(runs):
            for n in (1, 2):
                bench.log(f"patches: player at release {n}, run {run + 1} of {runs}")
                results[n].append(update(bench, releases[n - 1], manifests / f"{n}.ini",
                                         (size, sha), patch_of[pack[n][1]]))
        bench.serve(whole)
        for n in (1, 2):
            bench.log(f"patches: player at release {n}, the whole file (about 90 s)")
            baseline[n] = update(bench, releases[n - 1], manifests / f"{n}.ini", (size, sha))
        if stale:
            bench.serve(stale)
            bench.log("patches: release 2's manifest served from the server at release 3")
            try:
                stale_result = update(bench, releases[0], manifests / "1.ini", pack[2][:2],
                                      (pack[2][2][0][1], pack[2][2][0][2]))
            except RunFailed as failure:
                stale_result = str(failure).splitlines()[0]

    for n in (1, 2):
        got, whole_run = results[n], baseline[n]
        case = f"Patches: player at release {n} -> 3 (100 Mbit/s link)"
        moved = [r["moved"] for r in got]
        _, ratio = bench.row(case, "bytes moved (nginx $body_bytes_sent, whole run)",
                             [m / MIB for m in moved], " MiB", [whole_run["moved"] / MIB],
                             "reported (reference: the whole file)", fmt="{:.2f}")
        bench.rows[-1]["ratio"] = f"{ratio:.4f} x"
        share = [100.0 * m / size for m in moved]
        bench.row(case, f"bytes moved, % of {PACK}'s {size / MIB:.0f} MiB", share, " %", None,
                  "<= 3 % (max of runs)", fmt="{:.2f}")
        bench.rows[-1]["result"] = verdict(max(share) <= 100 * MOST_MOVED)
        median, ratio = bench.row(case, f"wall time to \"{STOP}\"", [r["time"] for r in got],
                                  " s", [whole_run["time"]],
                                  ">= 10 x faster than the whole file (ratio <= 0.10 x)")
        bench.rows[-1]["result"] = verdict(whole_run["time"] / median >= LEAST_SPEEDUP)
        bench.rows[-1]["ratio"] = f"{ratio:.3f} x ({whole_run['time'] / median:.1f} x faster)"
        bench.row(case, "peak RssAnon of the updater (sampled every 20 ms)",
                  [r["anon"] / MIB for r in got], " MiB", [whole_run["anon"] / MIB],
                  "< 64 MiB (max of runs)", fmt="{:.1f}")
        bench.rows[-1]["result"] = verdict(max(r["anon"] for r in got) < MOST_ANON)
        bench.row(case, "VmHWM of the updater (mapped files included)",
                  [r["hwm"] / MIB for r in got], " MiB", [whole_run["hwm"] / MIB], fmt="{:.1f}")
        applied = [size / r["apply"] / 1e6 for r in got]
        bench.row(case, "patch application: MB/s of output (part folder watched every 5 ms)",
                  applied, " MB/s", None, ">= 300 MB/s", fmt="{:.0f}")
        bench.rows[-1]["result"] = verdict(statistics.median(applied) >= LEAST_APPLY / 1e6)
    if stale_result:
        # update() checks the file, the patch and that nothing was refused.
        done = isinstance(stale_result, dict)
        bench.text_row("Patches: stale manifest (release 2's, server at release 3), player at 1",
                       "updated to release 2 with its patch, no request refused",
                       f"yes ({stale_result['moved'] / MIB:.2f} MiB moved)" if done
                       else f"no: {stale_result}", "0 refused, the file whole", None)
        bench.rows[-1]["result"] = verdict(done)
    else:
        bench.remarks.append("Patches: no kept copy of release 2's manifest in "
                             ".quelmor-publish-manifests/; the stale manifest was not tried")
    for n in (1, 2, 3):
        copy = server / ".quelmor-publish-manifests" / f"{n}.ini"
        if not copy.exists() or copy.read_bytes() != (manifests / f"{n}.ini").read_bytes():
            bench.remarks.append(f"Patches: the kept copy of release {n}'s manifest is missing or "
                                 "differs from the info.ini published then")
