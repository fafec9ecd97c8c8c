#!/usr/bin/env python3
"""The player's proxy settings and mirrors, timed.

  1. Bare start (one 1 KiB file already current, nginx over HTTP, no relay) with the proxy settings as
     Windows writes them when nothing is configured (Connections blob: direct), and with no settings
     at all (Wine's default, which reports auto-detection on): the patcher, and beside it the build
     named by BENCH_BEFORE_EXE (one that ignored the settings), when given, in turns after one
     uncounted start each. Median of BENCH_BARE_ROUNDS (11) each.
  2. 200 changed files of 8 KiB through the latency relay (25 ms each way, nginx over HTTPS): a
     manifest whose first base refuses connections (a mirror on a closed loopback port) against one
     with only the good base. Median of 3 each. Goal: within 1.2 x.

Run through scripts/bench.sh. Writes build/bench/mirrors.md.
"""
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_latency as bl  # noqa: E402

WORK = os.path.join(bl.BUILD, "bench", "mirrors")
BEFORE_EXE = os.environ.get("BENCH_BEFORE_EXE", "")
HTTP_PORT = int(os.environ["QIRELL_TEST_HTTP_PORT"])
MIRROR_FILES = int(os.environ.get("BENCH_MIRROR_FILES", "200"))
BARE_ROUNDS = int(os.environ.get("BENCH_BARE_ROUNDS", "11"))
SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
DIRECT_BLOB = "46000000" "01000000" "01000000" + "00000000" * 3 + "00" * 32


def reg(*args):
    subprocess.run([bl.WINE_RUN, "reg", *args, "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def median_runs(game, exes, url, rounds):
    """Each executable's median over rounds, taken in turns so that load falls on all alike."""
    times = {exe: [] for exe in exes}
    for exe in exes:  # a first start warms Wine's caches; it is not counted
        bl.timed([bl.WINE_RUN, os.path.join(game, exe), "--auto-close", "--url", url], cwd=game)
    for _ in range(rounds):
        for exe in exes:
            secs, rc = bl.timed([bl.WINE_RUN, os.path.join(game, exe), "--auto-close", "--url", url], cwd=game)
            times[exe].append(secs if rc == 0 else float("inf"))
    return {exe: statistics.median(t) for exe, t in times.items()}


def bench_bare(lines):
    root = os.path.join(bl.WWW, "bench-mirrors-bare")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "files"))
    data = os.urandom(1024)
    with open(os.path.join(root, "files", "a.bin"), "wb") as f:
        f.write(data)
    src = os.path.join(root, "files", "a.bin")
    with open(os.path.join(root, "manifest.json"), "w") as f:
        json.dump({"version": "bare", "files": [{"path": "a.bin", "size": 1024, "sha256": bl.digest_of(src)}]}, f)
    game = bl.fresh_game("bare-game")
    shutil.copy(src, os.path.join(game, "a.bin"))
    exes = [("patcher", "QirellPatcher.exe")]
    if BEFORE_EXE:
        shutil.copy(BEFORE_EXE, os.path.join(game, "Before.exe"))
        exes.append(("earlier build", "Before.exe"))
    url = "http://localhost:%d/bench-mirrors-bare/manifest.json" % HTTP_PORT
    lines += ["| bare start (median of %d) | proxy settings | seconds |" % BARE_ROUNDS, "|---|---|---|"]
    for label, setting in (("nothing configured (direct)", "direct"), ("no settings (auto-detect reported)", None)):
        if setting:
            reg("add", SETTINGS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", DIRECT_BLOB)
        else:
            reg("delete", SETTINGS, "/v", "DefaultConnectionSettings")
        medians = median_runs(game, [exe for _, exe in exes], url, BARE_ROUNDS)
        for name, exe in exes:
            lines.append("| %s | %s | %.3f |" % (name, label, medians[exe]))
    reg("delete", SETTINGS, "/v", "DefaultConnectionSettings")


def bench_dead_first(lines):
    bl.FILES = MIRROR_FILES
    entries = bl.small_files()
    bl.publish("bench-mirrors", entries, {"good.json": None, "dead-first.json": None})
    dead_first = os.path.join(bl.WWW, "bench-mirrors", "dead-first.json")
    with open(dead_first) as f:
        doc = json.load(f)
    doc["mirrors"] = ["http://127.0.0.1:%d/bench-mirrors/" % closed_port()]
    with open(dead_first, "w") as f:
        json.dump(doc, f)
    relay, port = bl.start_relay("mirrors")
    base = "https://localhost:%d/bench-mirrors/" % port
    times = {"good.json": [], "dead-first.json": []}
    try:
        for _ in range(3):
            for name in times:
                game = bl.fresh_game("mirror-game")
                secs, rc = bl.patcher(game, base + name)
                complete = rc == 0 and all(os.path.exists(os.path.join(game, rel)) for rel, _ in entries)
                times[name].append(secs if complete else float("inf"))
    finally:
        bl.stop_relay(relay)
    good, dead_first = statistics.median(times["good.json"]), statistics.median(times["dead-first.json"])
    lines += ["", "| %d files of 8 KiB, %d ms each way (median of 3) | seconds |" % (MIRROR_FILES, bl.DELAY_MS),
              "|---|---|",
              "| only the good base | %.2f |" % good,
              "| first base refuses connections, then the good one | %.2f |" % dead_first,
              "", "| goal | measured |", "|---|---|",
              "| first base dead: within 1.2 x the good base alone | %.2f x |" % (dead_first / good)]


def main():
    os.makedirs(WORK, exist_ok=True)
    bl.WORK = WORK
    bl.trust_test_ca()
    lines = []
    bench_bare(lines)
    bench_dead_first(lines)
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(bl.BUILD, "bench", "mirrors.md"), "w") as f:
        f.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
