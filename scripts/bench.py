#!/usr/bin/env python3
"""Benchmarks of the patcher's two heavy jobs against their practical limits, side by side.

Run through scripts/bench.sh, which builds everything and starts the Wine prefix and nginx.
Prints a table of medians and ratios and writes it to build/bench/results.md.
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
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
LARGE_MIB = int(os.environ.get("BENCH_LARGE_MIB", "1900"))
SMALL_FILES = int(os.environ.get("BENCH_SMALL_FILES", "3000"))
MANY_FILES = int(os.environ.get("BENCH_MANY_FILES", "20000"))
DOWNLOAD_MIB = int(os.environ.get("BENCH_DOWNLOAD_MIB", "1024"))
WWW = os.environ["QIRELL_TEST_WWW"]
PORT = os.environ["QIRELL_TEST_HTTP_PORT"]


def run(cmd, cwd=None):
    """Runs cmd, returns (seconds, peak resident KiB of the child, exit code)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss, proc.returncode


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 8 << 20)
            f.write(os.urandom(n))
            left -= n


def make_tree(name, files):
    """files: list of (relative path, size). Made once, reused by later runs."""
    base = os.path.join(WORK, name)
    stamp = os.path.join(base, ".made")
    if not os.path.exists(stamp):
        shutil.rmtree(base, ignore_errors=True)
        for rel, size in files:
            write_random(os.path.join(base, "game", rel), size)
        open(stamp, "w").close()
    return base


def publish(name, base, files):
    """Serves the tree's files from nginx (links, not copies) and writes its manifest."""
    site = os.path.join(WWW, "bench-" + name)
    shutil.rmtree(site, ignore_errors=True)
    entries = []
    for rel, _ in files:
        src = os.path.join(base, "game", rel)
        dst = os.path.join(site, "files", rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        os.symlink(src, dst)
        digest = digest_cache(src)
        entries.append({"path": rel, "size": os.path.getsize(src), "sha256": digest})
    with open(os.path.join(site, "manifest.json"), "w") as f:
        json.dump({"version": "bench", "files": entries}, f)
    return f"http://localhost:{PORT}/bench-{name}/manifest.json"


def digest_cache(path):
    cache = path + ".sha256"
    if os.path.exists(cache) and os.path.getmtime(cache) >= os.path.getmtime(path):
        return open(cache).read().strip()
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    with open(cache, "w") as f:
        f.write(h.hexdigest())
    return h.hexdigest()


def game_folder(base):
    game = os.path.join(base, "game")
    shutil.copy(EXE, os.path.join(game, "QirellPatcher.exe"))
    open(os.path.join(game, "data.qpa"), "a").close()
    return game


def patcher(game, url):
    return [WINE_RUN, os.path.join(game, "QirellPatcher.exe"), "--auto-close", "--url", url]


def measure(label, cmd_factory, prepare=None):
    samples = []
    for i in range(RUNS + 1):
        if prepare:
            prepare()
        secs, rss, rc = run(cmd_factory())
        if rc != 0:
            print(f"  {label}: exit code {rc}", file=sys.stderr)
        if i > 0:  # the first run only warms the caches
            samples.append((secs, rss))
    return statistics.median(s for s, _ in samples), max(r for _, r in samples)


def main():
    os.makedirs(WORK, exist_ok=True)
    rows = []

    # Local check: one large archive and a few thousand small files, all up to date.
    files = [("data/large.qpa", LARGE_MIB << 20)] + [
        (f"data/small/{i // 100:03d}/f{i:05d}.bin", 4096 + (i * 7919) % 60000) for i in range(SMALL_FILES)
    ]
    base = make_tree("local", files)
    url = publish("local", base, files)
    game = game_folder(base)
    total = sum(os.path.getsize(os.path.join(game, rel)) for rel, _ in files)
    paths = [os.path.join(game, rel) for rel, _ in files]
    t_prog, rss_local = measure("patcher local check", lambda: patcher(game, url))
    t_ssl, _ = measure("openssl", lambda: ["openssl", "dgst", "-sha256"] + paths)
    t_sum, _ = measure("sha256sum", lambda: ["sha256sum"] + paths)
    mb = total / 1e6
    rows.append(("local check, %.0f MB, %d files" % (mb, len(files)), [
        ("patcher", t_prog, mb / t_prog), ("openssl dgst -sha256", t_ssl, mb / t_ssl),
        ("sha256sum", t_sum, mb / t_sum)], t_ssl / t_prog))

    # Download: one large file from nginx into an empty folder.
    dl_files = [("big.bin", DOWNLOAD_MIB << 20)]
    dl_base = make_tree("download", dl_files)
    dl_url = publish("download", dl_base, dl_files)
    dl_game = os.path.join(dl_base, "target")
    os.makedirs(dl_game, exist_ok=True)
    shutil.copy(EXE, os.path.join(dl_game, "QirellPatcher.exe"))
    open(os.path.join(dl_game, "data.qpa"), "a").close()
    file_url = f"http://localhost:{PORT}/bench-download/files/big.bin"

    def clear_download():
        for n in ("big.bin", "big.bin.patch.tmp"):
            p = os.path.join(dl_game, n)
            if os.path.exists(p):
                os.remove(p)

    bench_winhttp = os.path.join(BUILD, "tools", "bench-winhttp", "bench-winhttp.exe")
    t_dl, rss_dl = measure("patcher download", lambda: patcher(dl_game, dl_url), clear_download)
    t_bare, _ = measure("bare WinHTTP", lambda: [WINE_RUN, bench_winhttp, file_url])
    t_curl, _ = measure("curl", lambda: ["curl", "-s", "-o", "/dev/null", file_url])
    dmb = (DOWNLOAD_MIB << 20) / 1e6
    rows.append(("download, %.0f MB" % dmb, [
        ("patcher", t_dl, dmb / t_dl), ("bare WinHTTP loop", t_bare, dmb / t_bare),
        ("curl", t_curl, dmb / t_curl)], t_bare / t_dl))

    # Memory: idle (one tiny file) against 100 MiB and the large runs above.
    tiny = [("tiny.bin", 1024)]
    tiny_base = make_tree("tiny", tiny)
    tiny_url = publish("tiny", tiny_base, tiny)
    tiny_game = game_folder(tiny_base)
    t_tiny, rss_idle = measure("patcher idle", lambda: patcher(tiny_game, tiny_url))
    mid = [("mid.bin", 100 << 20)]
    mid_base = make_tree("mid", mid)
    mid_url = publish("mid", mid_base, mid)
    mid_game = game_folder(mid_base)
    _, rss_mid = measure("patcher 100 MiB check", lambda: patcher(mid_game, mid_url))

    # Many files: 20,000 small files, all up to date.
    many = [(f"m/{i // 500:03d}/s{i:05d}.dat", 512 + i % 1500) for i in range(MANY_FILES)]
    many_base = make_tree("many", many)
    many_url = publish("many", many_base, many)
    many_game = game_folder(many_base)
    many_paths = [os.path.join(many_game, rel) for rel, _ in many]
    t_many, _ = measure("patcher many files", lambda: patcher(many_game, many_url))
    t_many_sum, _ = measure("sha256sum many", lambda: ["sha256sum"] + many_paths)

    # Start: process start to the first painted window.
    bench_start = os.path.join(BUILD, "tools", "bench-start", "bench-start.exe")
    starts = []
    for _ in range(RUNS):
        out = subprocess.run([WINE_RUN, bench_start, os.path.join(tiny_game, "QirellPatcher.exe"), "--url",
                              "http://localhost:1/patch/manifest.json", "--auto-close"],
                             capture_output=True, text=True, timeout=120)
        try:
            starts.append(float(out.stdout.strip().splitlines()[-1]))
        except (ValueError, IndexError):
            pass

    # Self-update gap: the swap that leaves the folder briefly without the executable.
    bench_swap = os.path.join(BUILD, "tools", "bench-swap", "bench-swap.exe")
    out = subprocess.run([WINE_RUN, bench_swap, "2000"], capture_output=True, text=True, timeout=300)
    try:
        swap_gap = [float(v) for v in out.stdout.strip().splitlines()[-1].split()]
    except (ValueError, IndexError):
        swap_gap = []

    lines = ["| benchmark | contender | median s | MB/s |", "|---|---|---|---|"]
    for title, contenders, _ in rows:
        for name, secs, rate in contenders:
            lines.append(f"| {title} | {name} | {secs:.2f} | {rate:.0f} |")
    lines.append("")
    lines.append("| target | measured |")
    lines.append("|---|---|")
    lines.append(f"| local check throughput / openssl (≥ 0.9) | {rows[0][2]:.2f} |")
    lines.append(f"| download throughput / bare WinHTTP (≥ 0.9) | {rows[1][2]:.2f} |")
    lines.append(f"| peak memory: idle {rss_idle / 1024:.1f} MiB; 100 MiB check {rss_mid / 1024:.1f} MiB; "
                 f"{mb:.0f} MB check {rss_local / 1024:.1f} MiB; {dmb:.0f} MB download {rss_dl / 1024:.1f} MiB "
                 f"(< idle + 16 MiB, flat) | max growth {(max(rss_mid, rss_local, rss_dl) - rss_idle) / 1024:.1f} MiB |")
    net_many = t_many - t_tiny
    lines.append(f"| {MANY_FILES} files: (patcher − one-file run) / sha256sum (≤ 2) | "
                 f"{net_many:.2f} s / {t_many_sum:.2f} s = {net_many / t_many_sum:.2f} |")
    if starts:
        lines.append(f"| start to first painted window | {statistics.median(starts):.0f} ms (median of {len(starts)}) |")
    if len(swap_gap) == 3:
        lines.append(f"| self-update gap (no executable in the folder), 2000 swaps | median {swap_gap[0]:.0f} µs, "
                     f"99th percentile {swap_gap[1]:.0f} µs, max {swap_gap[2]:.0f} µs |")
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(WORK, "results.md"), "w") as f:
        f.write(table + "\n")
    print(f"\nwritten to {os.path.join(WORK, 'results.md')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
