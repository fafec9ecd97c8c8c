#!/usr/bin/env python3
"""Delta updates against nginx on loopback: a 1 GiB archive whose new version has 1 % of its bytes
changed in scattered places, 4 KiB inserted near the start and 8 MiB appended.

Run through scripts/bench.sh (Wine prefix and nginx already up). Measures the bytes nginx sent (its
access log), the delta run against a whole download of the same file, an up-to-date run with and
without maps, the old-file scan alone (tools/bench-scan under Wine), the map building in the tool,
and peak memory. Appends its table to build/bench/results.md.
"""
import hashlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WORK = os.path.join(BUILD, "bench", "delta")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
EXE = os.path.join(BUILD, "QirellPatcher.exe")
SCAN = os.path.join(BUILD, "tools", "bench-scan", "bench-scan.exe")
SIZE = int(os.environ.get("BENCH_DELTA_MIB", "1024")) << 20
RUNS = int(os.environ.get("BENCH_DELTA_RUNS", "2"))
WWW = os.environ["QIRELL_TEST_WWW"]
PORT = os.environ["QIRELL_TEST_HTTP_PORT"]
NGINX_LOG = os.environ["QIRELL_TEST_NGINX_LOG"]
SITE = "bench-delta"
SPOTS = 256


def peak_of(name):
    """Largest VmHWM (KiB) among running processes whose command line holds name."""
    peak = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if name.encode() not in f.read():
                    continue
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def run(cmd, cwd=None, watch=None):
    """(seconds, peak resident KiB, exit code, stdout). The peak is the child's, or with watch that of
    the processes named so (a Windows program runs in a process of Wine's own), sampled every 20 ms."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    peak = [0]
    sampler = None
    if watch:
        def sample():
            while proc.poll() is None:
                peak[0] = max(peak[0], peak_of(watch))
                time.sleep(0.02)
        sampler = threading.Thread(target=sample)
        sampler.start()
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    if sampler:
        sampler.join()
    return (time.perf_counter() - start, peak[0] if watch else usage.ru_maxrss, os.waitstatus_to_exitcode(status),
            out.decode())


def make_versions():
    """old.qpa and release/data.qpa, made once and kept."""
    old_path = os.path.join(WORK, "old.qpa")
    new_path = os.path.join(WORK, "release", "data.qpa")
    stamp = os.path.join(WORK, ".made-v2-%d" % SIZE)
    if os.path.exists(stamp):
        return old_path, new_path
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.dirname(new_path))
    write_versions(old_path, new_path, SIZE, 15, grow=True)
    open(stamp, "w").close()
    return old_path, new_path


def write_versions(old_path, new_path, size, seed, grow):
    """A random old version of size bytes and a new one with 1 % of them replaced in SPOTS places past
    the first MiB; with grow, also 4 KiB inserted 64 KiB from the start and 8 MiB appended."""
    # Streamed in 8 MiB pieces: a large process here would count in every child's peak memory.
    rng = random.Random(seed)
    spot = size // 100 // SPOTS
    spots = sorted(rng.randrange(1 << 20, size - spot) for _ in range(SPOTS))
    with open(old_path, "wb") as old, open(new_path, "wb") as new:
        for at in range(0, size, 8 << 20):
            piece = bytearray(os.urandom(min(8 << 20, size - at)))
            old.write(piece)
            for s in spots:
                lo, hi = max(s, at), min(s + spot, at + len(piece))
                if lo < hi:
                    piece[lo - at:hi - at] = os.urandom(hi - lo)
            if grow and at == 0:
                piece[65536:65536] = os.urandom(4096)
            new.write(piece)
        if grow:
            new.write(os.urandom(8 << 20))


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(8 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def native_tool():
    tooldir = os.path.join(BUILD, "tool-native")
    tool = os.path.join(tooldir, "tools", "qirell-manifest", "qirell-manifest")
    compiler = shutil.which("clang++") or shutil.which("g++")
    subprocess.run(["cmake", "-S", ROOT, "-B", tooldir, "-DCMAKE_CXX_COMPILER=" + compiler,
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", tooldir, "-j2", "--target", "qirell-manifest"], check=True,
                   stdout=subprocess.DEVNULL)
    return tool


def log_lines():
    with open(NGINX_LOG, "rb") as f:
        return sum(1 for _ in f)


def sent_since(mark, expect_at_least=1):
    """Bytes nginx sent for the site's files and maps since line `mark`, and the request count."""
    for _ in range(100):  # nginx logs after the answer has gone out
        with open(NGINX_LOG) as f:
            lines = f.readlines()[mark:]
        mine = [json.loads(l) for l in lines if "/%s/" % SITE in l]
        if len(mine) >= expect_at_least:
            break
        time.sleep(0.05)
    files = [r for r in mine if "manifest" not in r["target"]]
    return sum(int(r["bytes"]) for r in files), len(files)


def main():
    if not os.path.exists(SCAN):
        print("bench_delta: build/ lacks tools/bench-scan; run make build", file=sys.stderr)
        return 1
    old_path, new_path = make_versions()
    tool = native_tool()
    site = os.path.join(WWW, SITE)
    release = os.path.dirname(new_path)

    # Map building: the same release published without and with --delta.
    plain_out = os.path.join(WWW, SITE + "-plain")
    t_plain, _, rc1, _ = run([tool, "build", release, "--version", "2", "-o", plain_out])
    t_maps, _, rc2, _ = run([tool, "build", release, "--version", "2", "--delta", "-o", site])
    shutil.rmtree(plain_out, ignore_errors=True)
    if rc1 or rc2:
        print("bench_delta: the tool failed", file=sys.stderr)
        return 1
    manifest = json.load(open(os.path.join(site, "manifest.json")))
    entry = next(e for e in manifest["files"] if e["path"] == "data.qpa")
    map_size = entry["delta"]["size"]
    new_sha = entry["sha256"]
    for e in manifest["files"]:
        e.pop("delta", None)
    # Outside the tool's output folder, which may hold only what the tool writes there; its files
    # are the published ones, by absolute address.
    full_site = site + "-full"
    os.makedirs(full_site, exist_ok=True)
    for e in manifest["files"]:
        e["url"] = "http://localhost:%s/%s/%s" % (PORT, SITE, e.get("url") or "files/" + e["path"])
    with open(os.path.join(full_site, "manifest.json"), "w") as f:
        json.dump(manifest, f)
    delta_url = "http://localhost:%s/%s/manifest.json" % (PORT, SITE)
    full_url = "http://localhost:%s/%s-full/manifest.json" % (PORT, SITE)

    game = os.path.join(WORK, "game")
    os.makedirs(game, exist_ok=True)
    shutil.copy(EXE, os.path.join(game, "QirellPatcher.exe"))
    target = os.path.join(game, "data.qpa")

    def restore_old():
        for p in (target, target + ".patch.tmp"):
            if os.path.exists(p):
                os.remove(p)
        shutil.copyfile(old_path, target)

    def patch(url):
        mark = log_lines()
        secs, rss, rc, _ = run([WINE_RUN, os.path.join(game, "QirellPatcher.exe"), "--auto-close", "--url", url],
                               cwd=game, watch="QirellPatcher.exe")
        sent, requests = sent_since(mark, 1)
        return secs, rss, rc, sent, requests

    # Alternating, so that a change in the machine's load weighs on both alike.
    results = {"delta": [], "full": []}
    correct = None
    for _ in range(RUNS):
        for label, url in (("delta", delta_url), ("full", full_url)):
            restore_old()
            subprocess.run(["cat", target], stdout=subprocess.DEVNULL)  # same page-cache state for both
            results[label].append(patch(url))
            if results[label][-1][2] != 0:
                print("bench_delta: %s run exit code %d" % (label, results[label][-1][2]), file=sys.stderr)
            if label == "delta" and correct is None:
                correct = results[label][-1][2] == 0 and sha256_of(target) == new_sha
    full_ok = all(r[2] == 0 for r in results["full"])
    # Up to date: the same run with and without maps in the manifest.
    restore_old()
    patch(delta_url)
    current = {label: patch(url) for label, url in (("delta", delta_url), ("full", full_url))}

    # The scan alone, under Wine, against the old file in the page cache.
    scans = []
    for _ in range(RUNS):
        _, _, rc, out = run([WINE_RUN, SCAN, "Z:" + os.path.join(site, "maps", "data.qpa.qbm"), "Z:" + old_path])
        if rc == 0 and out.strip():
            scans.append([float(x) for x in out.split()])
    # Idle: the program on a folder with nothing to do but one tiny file.
    idle_dir = os.path.join(WORK, "idle")
    os.makedirs(os.path.join(WWW, SITE + "-idle", "files"), exist_ok=True)
    os.makedirs(idle_dir, exist_ok=True)
    shutil.copy(EXE, os.path.join(idle_dir, "QirellPatcher.exe"))
    open(os.path.join(idle_dir, "data.qpa"), "wb").close()
    with open(os.path.join(WWW, SITE + "-idle", "manifest.json"), "w") as f:
        json.dump({"version": "i", "files": [{"path": "data.qpa", "size": 0, "sha256": hashlib.sha256().hexdigest()}]}, f)
    _, rss_idle, _, _ = run([WINE_RUN, os.path.join(idle_dir, "QirellPatcher.exe"), "--auto-close", "--url",
                             "http://localhost:%s/%s-idle/manifest.json" % (PORT, SITE)], cwd=idle_dir,
                            watch="QirellPatcher.exe")

    new_size = os.path.getsize(new_path)
    d_secs = statistics.median(s[0] for s in results["delta"])
    f_secs = statistics.median(s[0] for s in results["full"])
    d_sent = max(s[3] for s in results["delta"])
    d_reqs = max(s[4] for s in results["delta"])
    f_sent = max(s[3] for s in results["full"])
    d_rss = max(s[1] for s in results["delta"])
    scan_secs = statistics.median(s[0] for s in scans) if scans else float("nan")
    scan_rate = statistics.median(s[1] for s in scans) if scans else float("nan")
    mb = new_size / 1e6
    lines = [
        "",
        "| delta update, %.0f MB archive: 1 %% changed in %d places, 4 KiB inserted, 8 MiB appended | measured |"
        % (mb, SPOTS),
        "|---|---|",
        "| nginx sent, delta run (map %d B included; goal ≤ 3 %%) | %d B = %.2f %% of the file, %d requests |"
        % (map_size, d_sent, 100.0 * d_sent / new_size, d_reqs),
        "| nginx sent, whole download%s | %d B |" % ("" if full_ok else " (FAILED: the patcher's exit code was 1)", f_sent),
        "| time, delta run / whole download, medians of %d alternating runs (goal ≤ 0.5) | %.2f s / %.2f s = %.2f"
        " (delta %s s; whole %s s) |" % (RUNS, d_secs, f_secs, d_secs / f_secs,
                                       ", ".join("%.2f" % s[0] for s in results["delta"]),
                                       ", ".join("%.2f" % s[0] for s in results["full"])),
        "| result verified (SHA-256 of the assembled file) | %s |" % ("yes" if correct else "NO"),
        "| up to date with maps / without (nothing extra) | %.2f s, %d B sent / %.2f s, %d B sent |"
        % (current["delta"][0], current["delta"][3], current["full"][0], current["full"][3]),
        "| old-file scan alone under Wine (goal ≥ 500 MB/s) | %.2f s, %.0f MB/s |" % (scan_secs, scan_rate),
        "| qirell-manifest build, without / with --delta | %.2f s / %.2f s |" % (t_plain, t_maps),
        "| peak memory, delta run / idle (goal: < idle + 32 MiB) | %.1f MiB / %.1f MiB (+%.1f MiB) |"
        % (d_rss / 1024, rss_idle / 1024, (d_rss - rss_idle) / 1024),
    ]
    table = "\n".join(lines)
    print(table)
    os.makedirs(os.path.join(BUILD, "bench"), exist_ok=True)
    with open(os.path.join(BUILD, "bench", "results.md"), "a") as f:
        f.write(table + "\n")
    shutil.rmtree(os.path.join(WWW, SITE + "-idle"), ignore_errors=True)
    os.remove(target)
    return 0 if correct else 1


if __name__ == "__main__":
    sys.exit(main())
