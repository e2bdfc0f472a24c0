"""The benchmark's verification cases (Python 3 standard library only):
- the 1 GiB update with FileSize and FileSha256 in its manifest, alternating
  with the same update without them;
- the time VerifyMinisign takes for signed manifests of 2,000 and 100,000
  entries, and the updater built with the benchmark's key against the one built
  without, when nothing needs updating.
A case raises RunFailed when a run goes wrong."""

import base64
import hashlib
import os
import random
import shutil
import subprocess

from measure import Log, RunFailed
from transfer_cases import GIB, MIB, large_file

KIB = 1024


def sha256_of(bench, data):
    """The SHA-256 (hex) of the file data, kept beside it in data.sha256 with its size and
    modification time, so the 1 GiB file is hashed once."""
    record = data.with_name(data.name + ".sha256")
    info = data.stat()
    stamp = f"{info.st_size} {info.st_mtime_ns}"
    if record.exists():
        saved_stamp, _, digest = record.read_text().strip().rpartition(" ")
        if saved_stamp == stamp:
            return digest
    bench.log(f"hashing {data.name}")
    digest = hashlib.sha256()
    with open(data, "rb") as source:
        while block := source.read(16 * MIB):
            digest.update(block)
    record.write_text(f"{stamp} {digest.hexdigest()}\n")
    return digest.hexdigest()


def server_folder(bench, folder, data, entry):
    """folder (made anew) holding the news, a link to data named like the entry and a
    manifest of that one entry."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    (folder / "news.txt").write_text("Benchmark case verified.\r\n")
    os.link(data, folder / entry[0])
    bench.write_manifest(folder / "info.ini", "2.0", [entry])
    return folder


# -------- Large file, verified: the 1 GiB update with its size and hash, against it without.
def verified(bench):
    runs = bench.args.large_runs
    data = large_file(bench)
    digest = sha256_of(bench, data)
    name = "Quelmor.pak"
    case = bench.cases / "verified"
    plain = server_folder(bench, case / "plain", data, (name, "1.0", ""))
    checked = server_folder(bench, case / "checked", data, (name, "1.0", "", GIB, digest))
    wrong = ("1" if digest[0] == "0" else "0") + digest[1:]
    damaged = server_folder(bench, case / "damaged", data, (name, "1.0", "", GIB, wrong))

    # The hash is really checked: a manifest naming another hash is refused.
    bench.log("large file, verified: a manifest with a wrong hash")
    bench.serve(damaged)
    errors = bench.work / "verified-stderr.txt"
    # The updater stays open after a failure, the game playable; an updater
    # from before that ends at once. Either way it must have said why.
    try:
        bench.app(None, "Update failed! You can still play.", errors=errors, timeout=120)
    except RunFailed:
        pass
    said = errors.read_text(errors="replace").strip()
    if "arrived damaged" not in said or (bench.run_dir / name).exists():
        raise RunFailed(f"a wrong FileSha256 was not refused; the updater said: {said}")
    shutil.rmtree(bench.run_dir)
    os.sync()

    times = {plain: [], checked: []}
    cpus = {plain: [], checked: []}
    peaks = {plain: [], checked: []}
    for run in range(runs):
        bench.log(f"large file, verified: run {run + 1} of {runs}")
        # The two take turns going first, so a trend on the machine hits both alike.
        for server in (plain, checked) if run % 2 == 0 else (checked, plain):
            bench.serve(server)
            result = bench.app(None, "Update Complete!")
            if (bench.run_dir / name).stat().st_size != GIB:
                raise RunFailed("the updater's copy of the large file is incomplete")
            times[server].append(result["stop"])
            cpus[server].append(result["marks"]["Update Complete!"][1])
            peaks[server].append(result["hwm"] / MIB)
            shutil.rmtree(bench.run_dir)
            os.sync()
    label = "Large file, verified (1 GiB, FileSize and FileSha256)"
    _, ratio = bench.row(label, "wall time to \"Update Complete!\"", times[checked], " s",
                         times[plain], "<= 1.05 x the same update without size and hash")
    bench.rows[-1]["result"] = "PASS" if ratio <= 1.05 else "FAIL"
    bench.row(label, "CPU (user+sys) of the updater to \"Update Complete!\"", cpus[checked], " s",
              cpus[plain], "reported (reference: without size and hash)")
    bench.row(label, "peak resident memory (VmHWM)", peaks[checked], " MiB", peaks[plain],
              "reported (reference: without size and hash)", fmt="{:.1f}")


def signed_manifest(bench, folder, entries, label):
    """Writes folder/info.ini of entries and signs it with the benchmark's key into
    folder/info.ini.minisig (minisign -S). Returns the manifest's path.

    Raises RunFailed unless the signature is minisign's prehashed kind ("ED")."""
    manifest = folder / "info.ini"
    signature = folder / "info.ini.minisig"
    bench.write_manifest(manifest, "2.0", entries)
    subprocess.run(["minisign", "-S", "-s", str(bench.keys / "quelmor.key"), "-m", str(manifest),
                    "-x", str(signature), "-t", f"Quelmor benchmark, {label}"],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    line = signature.read_text().splitlines()[1]
    if base64.b64decode(line)[:2] != b"ED":
        raise RunFailed(f"minisign did not sign {manifest} prehashed (\"ED\")")
    return manifest


def checked_entries(names, folder, seed):
    """Entries of the names in folder with a size and a SHA-256 each, as a signed build
    needs; the files themselves are never fetched."""
    rng = random.Random(seed)
    return [(name, "1.0", folder, rng.randrange(1, 1 << 30), rng.randbytes(32).hex())
            for name in names]


# -------- Signature check: VerifyMinisign's time, and a signed build when up to date.
def signature(bench):
    folder = bench.case_folder("signature")
    small_names = [f"small{i:04d}.dat" for i in range(1, 2001)]
    big_names = [f"Data{i}.pak" for i in range(1, 100001)]
    # (label, entries, timed repetitions): the entries of the many-small-files and
    # big-manifest cases, with the size and hash a signed build asks of every entry.
    manifests = [
        ("2,000 entries", checked_entries(small_names, "", 5), 1000),
        ("100,000 entries", checked_entries(big_names, "Data", 6), 100),
        ("100,000 entries without size and hash", [(n, "1.0", "Data") for n in big_names], 100),
    ]
    for number, (label, entries, repetitions) in enumerate(manifests):
        signed = folder / f"manifest{number}"
        signed.mkdir()
        manifest = signed_manifest(bench, signed, entries, label)
        bench.log(f"signature check, {label}: {repetitions} repetitions")
        timer = subprocess.run([str(bench.signature_timer), str(bench.keys / "quelmor.pub"),
                                str(manifest), str(manifest) + ".minisig", str(repetitions)],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if timer.returncode != 0:
            raise RunFailed(f"signature_timer failed: {timer.stderr.strip()}")
        times = [float(value) for value in timer.stdout.split()]
        if len(times) != repetitions:
            raise RunFailed(f"signature_timer printed {len(times)} times, not {repetitions}")
        size = manifest.stat().st_size
        median, _ = bench.row(f"Signature check, {label} ({size / KIB:,.0f} KiB)",
                              f"VerifyMinisign, {repetitions} times after a warm-up", times,
                              " ms", None, "< 5 ms", fmt="{:.3f}")
        bench.rows[-1]["result"] = "PASS" if median < 5 else "FAIL"

    # End to end: both builds up to date against the signed 2,000-entry manifest.
    server = folder / "server"
    for name in ("info.ini", "info.ini.minisig"):
        shutil.copyfile(folder / "manifest0" / name, server / name)
    bench.serve(server)
    stop = "You Have The Latest Version!"
    builds = {bench.app_path: [], bench.signed_app: []}
    bench.log("signed build: warm-up runs")
    for updater in builds:
        bench.app(server / "info.ini", stop, updater=updater)
    for run in range(bench.args.runs):
        bench.log(f"signed build: run {run + 1} of {bench.args.runs}")
        for updater in list(builds) if run % 2 == 0 else reversed(list(builds)):
            access = Log(bench.server.access_log)
            result = bench.app(server / "info.ini", stop, updater=updater)
            # Only the signed build fetches the signature.
            fetched = {path for _, status, _, path in access.requests() if status == 200}
            signed = "/Quelmor/info.ini.minisig" in fetched
            if "/Quelmor/info.ini" not in fetched or signed != (updater == bench.signed_app):
                raise RunFailed(f"{updater.name} fetched {sorted(fetched)}")
            builds[updater].append(result["stop"])
    bench.row("Signed build, up to date (2,000 entries)",
                         f"wall time to \"{stop}\"", builds[bench.signed_app], " s",
                         builds[bench.app_path], "reported (reference: the build without a key)")


# -------- What a start costs the server: a signed release of 20,000 files, published
# by quelmor-publish, up to date and then an update of 1 % of its files.
def statement(bench):
    folder = bench.case_folder("statement")
    release, server = folder / "release", folder / "server"
    count = 20000
    for i in range(count):
        path = release / f"data{i // 1000:02d}" / f"file{i:05d}.dat"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(f"release 1 file {i}\n".encode())

    def publish(version):
        bench.log(f"statement case: publishing version {version} of {count} files")
        done = subprocess.run([str(bench.publisher), str(release), str(server), "--version", version,
                               "--sign", str(bench.keys / "quelmor.key")],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RunFailed(f"quelmor-publish failed: {done.stderr.strip()}")
        return (server / "info.ini").read_bytes()

    first = publish("1")
    kept = folder / "installed-1.ini"
    kept.write_bytes(first)
    bench.serve(server)
    # What an updater that reads info.ini and its signature fetches at every start.
    old_way = (server / "info.ini").stat().st_size + (server / "info.ini.minisig").stat().st_size
    sent = []
    for run in range(bench.args.runs):
        access = Log(bench.server.access_log)
        bench.app(kept, "You Have The Latest Version!", updater=bench.signed_app)
        asked = access.sent()
        if any(path.endswith((".zst", "info.ini")) for path, _ in asked):
            raise RunFailed(f"an up-to-date start fetched {[path for path, _ in asked]}")
        sent.append(sum(size for path, size in asked if not path.endswith("news.txt")))
    median, _ = bench.row(f"Up-to-date start, signed, {count:,} files",
                          "bytes the server sent but the news (headers included)", sent, " B",
                          None, "<= 2,048 B", fmt="{:,.0f}")
    bench.rows[-1]["result"] = "PASS" if median <= 2048 else "FAIL"
    # The signature check of the statement, split into its text and its signature.
    statement_bytes = (server / "release.ini").read_bytes()
    cut = statement_bytes.index(b"untrusted comment:")
    (folder / "release.txt").write_bytes(statement_bytes[:cut])
    (folder / "release.minisig").write_bytes(statement_bytes[cut:])
    timer = subprocess.run([str(bench.signature_timer), str(bench.keys / "quelmor.pub"),
                            str(folder / "release.txt"), str(folder / "release.minisig"), "1000"],
                           capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if timer.returncode != 0:
        raise RunFailed(f"signature_timer failed on release.ini: {timer.stderr.strip()}")
    median, _ = bench.row(f"Signature check of release.ini ({len(statement_bytes)} B)",
                          "VerifyMinisign, 1,000 times after a warm-up",
                          [float(value) for value in timer.stdout.split()], " ms", None, "< 1 ms",
                          fmt="{:.3f}")
    bench.rows[-1]["result"] = "PASS" if median < 1 else "FAIL"
    bench.text_row("Up-to-date start, signed, info.ini and its signature",
                   "bytes of the two files an updater of the previous release fetches",
                   f"{old_way:,} B")

    for i in range(0, count, 100):  # 1 % of the files change
        (release / f"data{i // 1000:02d}" / f"file{i:05d}.dat").write_bytes(f"release 2 file {i}\n".encode())
    publish("2")
    manifest = (server / "info.ini").stat().st_size
    access = Log(bench.server.access_log)
    bench.app(kept, "Update Complete!", updater=bench.signed_app)
    objects = [size for path, size in access.sent() if path.endswith(".zst")]
    if len(objects) != 1:
        raise RunFailed(f"the update fetched {len(objects)} compressed manifests")
    bench.text_row(f"Update of 1 % of {count:,} files, signed",
                   f"bytes of the compressed manifest (info.ini: {manifest:,} B)",
                   f"{objects[0]:,} B", "<= 1.1 MB", objects[0] <= 1_100_000)
