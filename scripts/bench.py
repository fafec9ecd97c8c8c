#!/usr/bin/env python3
"""The start-up check and the download against their practical limits, side by side.

Run through scripts/bench.sh, which builds everything and starts the Wine prefix, Xvfb with its window
manager and nginx. Contenders take turns round by round (the first round only warms the caches), so a
machine that gets busier half-way hurts every side alike, and each is shown by its fastest run.
Prints the tables and writes them to build/bench/results.md.
"""
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WORK = os.path.join(BUILD, "bench")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
EXE = os.path.join(BUILD, "QirellPatcher.exe")
BENCH_START = os.path.join(BUILD, "tools", "bench-start", "bench-start.exe")
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
CHECK_MIB = int(os.environ.get("BENCH_CHECK_MIB", "1024"))
MANY_FILES = int(os.environ.get("BENCH_MANY_FILES", "20000"))
DOWNLOAD_MIB = int(os.environ.get("BENCH_DOWNLOAD_MIB", "512"))
# Optional: another build's QirellPatcher.exe, run beside this one on the same folders.
BEFORE_EXE = os.environ.get("BENCH_BEFORE_EXE", "")
WWW = os.environ["QIRELL_TEST_WWW"]
PORT = os.environ["QIRELL_TEST_HTTP_PORT"]


def wineserver_pid():
    """The wineserver of this run's prefix: every Win32 open and close is a request to it."""
    want = ("WINEPREFIX=" + os.environ.get("WINEPREFIX", "")).encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open(f"/proc/{pid}/comm").read().strip() in ("wineserver", "wineserver64") and \
                    want in open(f"/proc/{pid}/environ", "rb").read().split(b"\0"):
                return pid
        except OSError:
            pass
    return None


WINESERVER = wineserver_pid()


def wineserver_cpu():
    try:
        fields = open(f"/proc/{WINESERVER}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError, IndexError, ValueError):
        return 0.0


def run(cmd, cwd=None):
    """Runs cmd; returns (wall seconds, CPU seconds of the child and of the wineserver meanwhile, exit code)."""
    server = wineserver_cpu()
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    return elapsed, usage.ru_utime + usage.ru_stime + wineserver_cpu() - server, os.waitstatus_to_exitcode(status)


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 8 << 20)
            f.write(os.urandom(n))
            left -= n


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


class Tree:
    """A game folder with its files, served by nginx (links, not copies) with a manifest. Made once."""

    def __init__(self, name, files):
        self.name, self.files = name, files
        self.base = os.path.join(WORK, name)
        self.game = os.path.join(self.base, "game")
        # The digests, written last, mark a finished tree of these very files.
        made = os.path.join(self.base, "digests.json")
        digests = json.load(open(made)) if os.path.exists(made) else {}
        if sorted(digests) != sorted(rel for rel, _ in files) or any(
                os.path.getsize(os.path.join(self.game, rel)) != size for rel, size in files):
            shutil.rmtree(self.base, ignore_errors=True)
            for rel, size in files:
                write_random(os.path.join(self.game, rel), size)
            digests = {rel: sha256_of(os.path.join(self.game, rel)) for rel, _ in files}
            with open(made, "w") as f:
                json.dump(digests, f)
        site = os.path.join(WWW, "bench-" + name)
        shutil.rmtree(site, ignore_errors=True)
        entries = []
        for rel, size in files:
            src = os.path.join(self.game, rel)
            dst = os.path.join(site, "files", rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            os.symlink(src, dst)
            entries.append({"path": rel, "size": size, "sha256": digests[rel]})
        with open(os.path.join(site, "manifest.json"), "w") as f:
            json.dump({"version": "bench", "files": entries}, f)
        # The same list with fast start on: files recorded as verified are not read again.
        with open(os.path.join(site, "reuse.json"), "w") as f:
            json.dump({"version": "bench", "check": {"reuse_verified": True}, "files": entries}, f)
        # The same list with every path leaving the folder: fetched and read, no file checked.
        with open(os.path.join(site, "refused.json"), "w") as f:
            json.dump({"version": "bench", "files": [dict(e, path="../" + e["path"]) for e in entries]}, f)
        self.url = f"http://localhost:{PORT}/bench-{name}/manifest.json"
        self.refused_url = f"http://localhost:{PORT}/bench-{name}/refused.json"
        self.reuse_url = f"http://localhost:{PORT}/bench-{name}/reuse.json"
        shutil.copy(EXE, os.path.join(self.game, "QirellPatcher.exe"))
        if BEFORE_EXE:
            shutil.copy(BEFORE_EXE, os.path.join(self.game, "Before.exe"))
        open(os.path.join(self.game, "data.qpa"), "a").close()
        self.paths = [rel for rel, _ in files]
        self.mb = sum(size for _, size in files) / 1e6

    def patcher(self, wrapper=(), url=None, exe="QirellPatcher.exe", extra=()):
        return [WINE_RUN, *wrapper, os.path.join(self.game, exe), "--auto-close", "--url", url or self.url, *extra]


def rounds(contenders):
    """contenders: {label: (cmd, cwd)}; every round runs each once. Returns {label: (fastest s, its CPU s)}:
    on a shared machine the fastest run is the one least disturbed by other work."""
    samples = {label: [] for label in contenders}
    for r in range(RUNS + 1):
        for label, (cmd, cwd) in contenders.items():
            secs, cpu, rc = run(cmd, cwd)
            if rc != 0:
                print(f"  {label}: exit code {rc}", file=sys.stderr)
            if r:
                samples[label].append((secs, cpu))
    return {label: min(v) for label, v in samples.items()}


def peak_kib(command):
    """The patcher's peak working set over a whole run, as the program itself reports it.
    command(wrapper) gives the patcher's command line with the wrapper put before the executable."""
    out = subprocess.run(command([BENCH_START, "--peak"]), capture_output=True, text=True, timeout=900)
    try:
        kib, code = out.stdout.split()[-2:]
        return int(kib) if code == "0" else None
    except ValueError:
        return None


def answer_ms(tree):
    """How long the window takes to answer a message, asked every 20 ms over a whole run:
    (answers, median, 99th percentile, longest) in ms, or None."""
    out = subprocess.run(tree.patcher([BENCH_START, "--answers"]), capture_output=True, text=True, timeout=900)
    try:
        count, median, p99, worst, code = out.stdout.split()[-5:]
        return (int(count), float(median), float(p99), float(worst)) if code == "0" else None
    except ValueError:
        return None


def check_benchmarks(lines):
    eighth = (CHECK_MIB << 20) // 8
    tiny = Tree("tiny", [("tiny.bin", 1024)])
    eight = Tree("eight", [(f"data/part{i}.qpa", eighth) for i in range(8)])
    one = Tree("one", [("data/whole.qpa", CHECK_MIB << 20)])
    mid = Tree("mid", [("data/mid.qpa", 100 << 20)])
    many = Tree("many", [(f"m/{i // 500:03d}/s{i:05d}.dat", 1024 + (i * 7919) % 7169) for i in range(MANY_FILES)])

    contenders = {
        "bare": (tiny.patcher(), None),
        "eight": (eight.patcher(), None),
        "eight openssl": (["openssl", "dgst", "-sha256"] + eight.paths, eight.game),
        # What two cores give at this moment: two openssl processes, four files each.
        "eight 2 openssl": (["sh", "-c", " & ".join(
            f"openssl dgst -sha256 {' '.join(eight.paths[h:h + 4])} >/dev/null" for h in (0, 4)) + "; wait"],
            eight.game),
        "one": (one.patcher(), None),
        "one openssl": (["openssl", "dgst", "-sha256"] + one.paths, one.game),
        "many": (many.patcher(), None),
        "many sha256sum": (["sha256sum"] + many.paths, many.game),
        "many refused": (many.patcher(url=many.refused_url), None),
    }
    if BEFORE_EXE:
        for name, tree in (("bare", tiny), ("eight", eight), ("one", one), ("many", many)):
            contenders[name + " before"] = (tree.patcher(exe="Before.exe"), None)
    t = rounds(contenders)
    bare = t["bare"][0]

    def net(label):
        return t[label][0] - bare

    lines += ["| local check | contender | fastest s | CPU s (with wineserver) | MB/s (net of the bare start) |",
              "|---|---|---|---|---|"]
    for title, tree, mine, theirs, name in (
            (f"{eight.mb:.0f} MB in 8 files", eight, "eight", "eight openssl", "openssl dgst -sha256"),
            (f"{one.mb:.0f} MB in 1 file", one, "one", "one openssl", "openssl dgst -sha256"),
            (f"{MANY_FILES} files of 1-8 KiB, {many.mb:.0f} MB", many, "many", "many sha256sum", "sha256sum")):
        lines.append(f"| {title} | patcher | {t[mine][0]:.2f} | {t[mine][1]:.2f} | {tree.mb / net(mine):.0f} |")
        if BEFORE_EXE:
            before = t[mine + " before"][0] - t["bare before"][0]
            lines.append(f"| {title} | earlier build | {t[mine + ' before'][0]:.2f} | {t[mine + ' before'][1]:.2f} "
                         f"| {tree.mb / before:.0f} |")
        lines.append(f"| {title} | {name} | {t[theirs][0]:.2f} | {t[theirs][1]:.2f} | {tree.mb / t[theirs][0]:.0f} |")
    lines.append(f"| {eight.mb:.0f} MB in 8 files | 2 × openssl dgst -sha256 at once, 4 files each | "
                 f"{t['eight 2 openssl'][0]:.2f} | {t['eight 2 openssl'][1]:.2f} | {eight.mb / t['eight 2 openssl'][0]:.0f} |")
    lines.append(f"| {MANY_FILES} entries, every path refused: fetch and read the list only | patcher | "
                 f"{t['many refused'][0]:.2f} | {t['many refused'][1]:.2f} | |")
    lines.append(f"| 1 KiB in 1 file (bare start) | patcher | {bare:.2f} | {t['bare'][1]:.2f} | |")
    if BEFORE_EXE:
        lines.append(f"| 1 KiB in 1 file (bare start) | earlier build | {t['bare before'][0]:.2f} | "
                     f"{t['bare before'][1]:.2f} | |")
    lines.append("")

    peaks = {name: peak_kib(tree.patcher) for name, tree in
             (("idle", tiny), ("100 MiB", mid), (f"{CHECK_MIB} MiB in 1 file", one),
              (f"{CHECK_MIB} MiB in 8 files", eight), (f"{MANY_FILES} files", many))}
    idle = peaks["idle"]
    shown = "; ".join(f"{k} {v / 1024:.1f} MiB" if v else f"{k} ?" for k, v in peaks.items())
    growth = max((v for v in peaks.values() if v), default=0) - (idle or 0)
    flat = (peaks[f"{CHECK_MIB} MiB in 1 file"] or 0) - (peaks["100 MiB"] or 0)

    def verdict(ok):
        return "met" if ok else "missed"

    answers = []
    for label, tree in ((f"{MANY_FILES} files", many), (f"{CHECK_MIB} MiB in 1 file", one)):
        a = answer_ms(tree)
        answers.append(f"{label}: {a[0]} answers, median {a[1]:.1f} ms, 99th percentile {a[2]:.1f} ms, "
                       f"longest {a[3]:.1f} ms" if a else f"{label}: ?")

    r8 = t["eight openssl"][0] / net("eight")
    r1 = t["one openssl"][0] / net("one")
    rm = net("many") / t["many sha256sum"][0]
    lines += ["| goal | measured | |", "|---|---|---|",
              f"| 8 files: patcher (net) throughput / openssl ≥ 1.5 | {r8:.2f} (two openssl processes at once: "
              f"{t['eight openssl'][0] / t['eight 2 openssl'][0]:.2f}) | {verdict(r8 >= 1.5)} |",
              f"| 1 file: patcher (net) throughput / openssl ≥ 0.9 | {r1:.2f} | {verdict(r1 >= 0.9)} |",
              f"| {MANY_FILES} files: patcher (net) time / sha256sum ≤ 2 | {net('many'):.2f} s / "
              f"{t['many sha256sum'][0]:.2f} s = {rm:.2f} | {verdict(rm <= 2)} |",
              f"| bare start < 0.3 s | {bare:.3f} s | {verdict(bare < 0.3)} |",
              f"| peak working set < idle + 16 MiB, flat from 100 MiB to {CHECK_MIB} MiB | {shown}: "
              f"at most {growth / 1024:.1f} MiB above idle, {flat / 1024:+.1f} MiB from 100 MiB to {CHECK_MIB} MiB "
              f"| {verdict(idle is not None and growth < 16 * 1024 and abs(flat) < 1024)} |"]
    lines += ["", "The window's answer to a message sent every 20 ms through a whole run (the local check, "
                  "then the automatic close): " + "; ".join(answers) + "."]


def download_target(tree):
    """An empty player folder beside the tree, and the command line that clears it before each run."""
    target = os.path.join(tree.base, "target")
    os.makedirs(target, exist_ok=True)
    for exe in ("QirellPatcher.exe", "Before.exe") if BEFORE_EXE else ("QirellPatcher.exe",):
        shutil.copy(EXE if exe == "QirellPatcher.exe" else BEFORE_EXE, os.path.join(target, exe))
    open(os.path.join(target, "data.qpa"), "a").close()

    def command(exe="QirellPatcher.exe", wrapper=()):
        patcher = [WINE_RUN, *wrapper, os.path.join(target, exe), "--auto-close", "--url", tree.url]
        names = " ".join(f"'{target}/{rel}' '{target}/{rel}.patch.tmp'" for rel in tree.paths)
        return ["sh", "-c", f"rm -f {names} && exec \"$0\" \"$@\"", *patcher]
    return command


def download_benchmark(lines):
    tree = Tree("download", [("big.bin", DOWNLOAD_MIB << 20)])
    small = Tree("download-small", [("small.bin", 32 << 20)])
    patcher, small_patcher = download_target(tree), download_target(small)
    file_url = f"http://localhost:{PORT}/bench-download/files/big.bin"
    bench_winhttp = os.path.join(BUILD, "tools", "bench-winhttp", "bench-winhttp.exe")
    # The patcher's turn starts from an empty folder every round; the bare loop takes the turn after it.
    contenders = {"patcher": (patcher(), None), "bare WinHTTP loop": ([WINE_RUN, bench_winhttp, file_url], None)}
    if BEFORE_EXE:
        contenders["earlier build"] = (patcher("Before.exe"), None)
    contenders["curl"] = (["curl", "-s", "-o", "/dev/null", file_url], None)
    t = rounds(contenders)
    lines += ["", "| download | contender | fastest s | CPU s (with wineserver) | MB/s |",
              "|---|---|---|---|---|"]
    for name, (secs, cpu) in t.items():
        lines.append(f"| {tree.mb:.0f} MB | {name} | {secs:.2f} | {cpu:.2f} | {tree.mb / secs:.0f} |")

    def peaks(exe):
        """Peak working sets of a small and of the large download, in MiB, and the text that shows them."""
        small_peak = peak_kib(lambda wrapper: small_patcher(exe, wrapper))
        big_peak = peak_kib(lambda wrapper: patcher(exe, wrapper))
        if not big_peak or not small_peak:
            return None, "not measured (a run failed)"
        flat = (big_peak - small_peak) / 1024
        return flat, (f"{small.mb:.0f} MB {small_peak / 1024:.1f} MiB, {tree.mb:.0f} MB {big_peak / 1024:.1f} MiB "
                      f"({flat:+.1f} MiB)")

    ratio = t["patcher"][0] / t["bare WinHTTP loop"][0]
    flat, shown = peaks("QirellPatcher.exe")
    if BEFORE_EXE:
        shown += "; earlier build " + peaks("Before.exe")[1]
    lines += ["", "| download goal | measured | |", "|---|---|---|",
              f"| whole run / bare WinHTTP loop ≤ 1.25 | {t['patcher'][0]:.2f} s / {t['bare WinHTTP loop'][0]:.2f} s "
              f"= {ratio:.2f} | {'met' if ratio <= 1.25 else 'missed'} |",
              f"| peak working set flat with the file's size | {shown} | "
              f"{'met' if flat is not None and abs(flat) < 1 else 'missed'} |"]


def bytes_read(cmd):
    """Runs cmd; returns (exit code, bytes the process passed through read calls: /proc/PID/io rchar,
    sampled every 5 ms up to its end). Wine's own start reads some MB; take a bare start's off."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rchar = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/io") as f:
                rchar = int(next(l for l in f if l.startswith("rchar:")).split()[1])
        except (OSError, StopIteration, ValueError):
            pass
        time.sleep(0.005)
    return proc.returncode, rchar


def newest_state_size():
    base = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "users")
    states = [os.path.join(root, n) for root, _, names in os.walk(base) for n in names
              if n.startswith("QirellPatcher-") and n.endswith(".state")]
    return os.path.getsize(max(states, key=os.path.getmtime)) if states else 0


def nginx_bytes(since, target):
    """Body bytes nginx sent in the log lines after offset since for target: a request target, or a
    test on one."""
    match = target if callable(target) else target.__eq__
    total = 0
    with open(os.environ["QIRELL_TEST_NGINX_LOG"], "rb") as f:
        f.seek(since)
        for line in f:
            try:
                entry = json.loads(line)
            except ValueError:
                continue
            if match(entry.get("target") or ""):
                total += int(entry.get("bytes") or 0)
    return total


def remember_benchmarks(lines):
    """Fast start against a full check and a bare start, the bytes a fast start reads, and a download
    the player closes the window on half-way, finished by the next start."""
    eighth = (CHECK_MIB << 20) // 8
    tiny = Tree("tiny", [("tiny.bin", 1024)])
    eight = Tree("eight", [(f"data/part{i}.qpa", eighth) for i in range(8)])
    many = Tree("many", [(f"m/{i // 500:03d}/s{i:05d}.dat", 1024 + (i * 7919) % 7169) for i in range(MANY_FILES)])
    # The full check is the same manifest with --full-check, so every run keeps the state the next one reuses.
    contenders = {
        "bare": (tiny.patcher(), None),
        "many full": (many.patcher(url=many.reuse_url, extra=["--full-check"]), None),
        "many reuse": (many.patcher(url=many.reuse_url), None),
        "eight full": (eight.patcher(url=eight.reuse_url, extra=["--full-check"]), None),
        "eight reuse": (eight.patcher(url=eight.reuse_url), None),
    }
    t = rounds(contenders)
    bare = t["bare"][0]

    def net(label):
        return t[label][0] - bare

    run(eight.patcher(url=eight.reuse_url))  # the state as a reusing run leaves it
    _, read_reuse = bytes_read(eight.patcher(url=eight.reuse_url))
    state_size = newest_state_size()
    _, read_bare = bytes_read(tiny.patcher())
    _, read_full = bytes_read(eight.patcher(url=eight.reuse_url, extra=["--full-check"]))
    lines += ["", "| fast start | contender | fastest s | CPU s (with wineserver) | check s (net of the bare start) |",
              "|---|---|---|---|---|"]
    for title, full, reuse in ((f"{MANY_FILES} unchanged files", "many full", "many reuse"),
                               (f"{eight.mb:.0f} MB in 8 unchanged files", "eight full", "eight reuse")):
        for label, name in ((full, "full check (--full-check)"), (reuse, "reuse")):
            lines.append(f"| {title} | {name} | {t[label][0]:.2f} | {t[label][1]:.2f} | {net(label):.3f} |")

    # The window closed at about half of a resumable download served at 16 MB/s, then a start that finishes it.
    size = 256 << 20
    closing = Tree("closing", [("big.bin", size)])
    digest = json.load(open(os.path.join(closing.base, "digests.json")))["big.bin"]
    target = os.path.join(closing.base, "target")
    os.makedirs(target, exist_ok=True)
    shutil.copy(EXE, os.path.join(target, "QirellPatcher.exe"))
    open(os.path.join(target, "data.qpa"), "a").close()
    for name in ("big.bin", "big.bin.patch.tmp"):
        if os.path.exists(os.path.join(target, name)):
            os.remove(os.path.join(target, name))
    slow = f"/slow/bench-closing/files/big.bin"
    with open(os.path.join(WWW, "bench-closing", "resume.json"), "w") as f:
        json.dump({"version": "bench", "download": {"resume": True},
                   "files": [{"path": "big.bin", "size": size, "sha256": digest,
                              "url": f"http://localhost:{PORT}{slow}"}]}, f)
    url = f"http://localhost:{PORT}/bench-closing/resume.json"
    mark = os.path.getsize(os.environ["QIRELL_TEST_NGINX_LOG"])
    exe = os.path.join(target, "QirellPatcher.exe")
    out = subprocess.run([WINE_RUN, BENCH_START, "--close-at", os.path.join(target, "big.bin.patch.tmp"),
                          str(size // 2), exe, "--url", url], capture_output=True, text=True, timeout=900)
    try:
        closed_at = int(out.stdout.split()[-2])
    except (ValueError, IndexError):
        closed_at = -1
    _, _, code = run([WINE_RUN, exe, "--auto-close", "--url", url])
    time.sleep(1)  # nginx logs a request once its answer is out
    sent = nginx_bytes(mark, slow)
    ready = code == 0 and os.path.exists(os.path.join(target, "big.bin")) and \
        sha256_of(os.path.join(target, "big.bin")) == digest

    def verdict(ok):
        return "met" if ok else "missed"

    r_many = net("many reuse") / net("many full")
    d_eight = net("eight reuse")
    lines += ["", "| fast start goal | measured | |", "|---|---|---|",
              f"| {MANY_FILES} unchanged files with reuse: check time ≤ 1/10 of a full check's | "
              f"{net('many reuse'):.3f} s / {net('many full'):.3f} s = {r_many:.3f} | {verdict(r_many <= 0.1)} |",
              f"| {eight.mb:.0f} MB in 8 unchanged files with reuse: within 0.05 s of a bare start | "
              f"{t['eight reuse'][0]:.3f} s against {bare:.3f} s: {d_eight:+.3f} s | {verdict(d_eight <= 0.05)} |",
              f"| no file content read: bytes read during the check (run − bare start) ≤ 1 MiB + the state's size | "
              f"{read_reuse - read_bare:+,} bytes (run {read_reuse:,}, bare start {read_bare:,}; state "
              f"{state_size:,} bytes; a full check's run {read_full:,}) | "
              f"{verdict(read_reuse - read_bare <= (1 << 20) + state_size)} |",
              f"| window closed at ~50 % of a {size >> 20} MiB download: the next run ends ready, nginx sends "
              f"≤ 1.05 × the file over both runs | closed at {closed_at:,} bytes; next run exit code {code}, "
              f"{'file verified' if ready else 'file NOT verified'}; sent {sent:,} bytes = {sent / size:.3f} × "
              f"| {verdict(ready and sent <= 1.05 * size)} |"]


def first_window(lines):
    tiny_exe = os.path.join(Tree("tiny", [("tiny.bin", 1024)]).game, "QirellPatcher.exe")
    starts = []
    for _ in range(RUNS):
        out = subprocess.run([WINE_RUN, BENCH_START, tiny_exe, "--url", "http://localhost:1/patch/manifest.json",
                              "--auto-close"], capture_output=True, text=True, timeout=120)
        try:
            starts.append(float(out.stdout.strip().splitlines()[-1]))
        except (ValueError, IndexError):
            pass
    if starts:
        lines += ["", f"Process start to the first painted window: {statistics.median(starts):.0f} ms "
                      f"(median of {len(starts)})."]


def self_update_gap(lines):
    """The swap that leaves the folder briefly without the executable, timed over 2,000 swaps, and the
    flush of the new build that precedes it (the size of the real patcher)."""
    bench_swap = os.path.join(BUILD, "tools", "bench-swap", "bench-swap.exe")
    exe_bytes = os.path.getsize(os.path.join(BUILD, "QirellPatcher.exe"))
    out = subprocess.run([WINE_RUN, bench_swap, "2000", str(exe_bytes)], capture_output=True, text=True,
                         timeout=600)
    try:
        rows = [[float(v) for v in line.split()] for line in out.stdout.strip().splitlines()[-2:]]
        (median, p99, worst), (f_median, f_p99, f_worst) = rows
    except (ValueError, IndexError):
        lines += ["", "Self-update gap: bench-swap gave no figures."]
        return
    lines += ["", f"Self-update gap (no executable under its name), 2,000 swaps: median {median:.0f} µs, "
                  f"99th percentile {p99:.0f} µs, max {worst:.0f} µs.",
              f"Flush of the new build before its swap ({exe_bytes / 1048576:.1f} MiB, FlushFileBuffers), "
              f"2,000 flushes: median {f_median:.0f} µs, 99th percentile {f_p99:.0f} µs, max {f_worst:.0f} µs."]


def window_manager_running():
    """Without one, Wine waits about 2 s at every window teardown and every run above includes it."""
    try:
        out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True,
                             timeout=10)
        return "window id" in out.stdout
    except (OSError, subprocess.TimeoutExpired):
        return False


def main():
    os.makedirs(WORK, exist_ok=True)
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    sha = " sha_ni" in open("/proc/cpuinfo").read()
    load_before = os.getloadavg()[0]
    lines = []
    if not window_manager_running():
        lines += ["**No window manager on the display: every run below includes Wine's 2 s teardown wait.**", ""]
    # Parts named on the command line run alone (scripts/bench.sh download): all of them by default.
    parts = sys.argv[1:] or ["check", "remember", "download", "window", "swap"]
    for name, part in (("check", check_benchmarks), ("remember", remember_benchmarks),
                       ("download", download_benchmark), ("window", first_window), ("swap", self_update_gap)):
        if name in parts:
            part(lines)
    lines += ["", f"{os.cpu_count()} cores ({cpu}, SHA extensions {'present' if sha else 'absent'}); "
                  f"load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after; "
                  f"BENCH_RUNS={RUNS} BENCH_CHECK_MIB={CHECK_MIB} BENCH_MANY_FILES={MANY_FILES} "
                  f"BENCH_DOWNLOAD_MIB={DOWNLOAD_MIB}" + (f" BENCH_BEFORE_EXE={BEFORE_EXE}." if BEFORE_EXE else ".")]
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(WORK, "results.md"), "w") as f:
        f.write(table + "\n")
    print(f"\nwritten to {os.path.join(WORK, 'results.md')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
