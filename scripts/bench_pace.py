#!/usr/bin/env python3
"""The pre-load while the game plays: its byte rate against the release's max_kib_per_s.

A current game folder whose manifest announces a next release of BENCH_PACE_FILES (8) files of
BENCH_PACE_MIB (16) MiB with "while_playing": true, served by nginx over HTTPS behind the latency relay
(25 ms each way), which logs every chunk it delivers to the patcher. The patcher pre-loads unthrottled
until 4 MiB have gone through, then bench-start presses Start Game; the stub client plays for
BENCH_PACE_PLAY_S (40) seconds, then ends, and so does the patcher. Goal: over every 10 s window
(sliding, from the press until the game ends) the bytes delivered stay within 1.1 x max_kib_per_s.
Run for 512 (the default) and 128 KiB/s. Run through scripts/bench.sh preload-pace. Writes
build/bench/pace/results.md.
"""
import bisect
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_latency as bl  # noqa: E402

WORK = os.path.join(bl.BUILD, "bench", "pace")
BENCH_START = os.path.join(bl.BUILD, "tools", "bench-start", "bench-start.exe")
STUB = os.path.join(bl.BUILD, "tools", "stub-client", "stub-client.exe")
FILES = int(os.environ.get("BENCH_PACE_FILES", "8"))
MIB = int(os.environ.get("BENCH_PACE_MIB", "16"))
PLAY_S = int(os.environ.get("BENCH_PACE_PLAY_S", "40"))
CAPS = [int(c) for c in os.environ.get("BENCH_PACE_CAPS", "512,128").split(",")]
UNTHROTTLED = 4 << 20
WINDOW_S = 10.0
KEY = r"HKCU\Software\Morvane Soft\Skelvard"


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def publish(name, cap, sources, relay_port):
    base = "https://localhost:%d/%s" % (relay_port, name)
    root = os.path.join(bl.WWW, name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "next", "files"))
    os.makedirs(os.path.join(root, "files"))
    with open(os.path.join(root, "files", "a.bin"), "wb") as f:
        f.write(b"alpha")
    current = {"path": "a.bin", "size": 5, "sha256": bl.sha256_file(os.path.join(root, "files", "a.bin"))}
    listed = [current]
    for i, src in enumerate(sources):
        os.symlink(src, os.path.join(root, "next", "files", "f%d.bin" % i))
        listed.append({"path": "f%d.bin" % i, "size": os.path.getsize(src), "sha256": bl.digest_of(src)})
    with open(os.path.join(root, "next", "manifest.json"), "w") as f:
        json.dump({"version": "next", "files": listed}, f)
    with open(os.path.join(root, "manifest.json"), "w") as f:
        json.dump({"version": "live", "files": [current],
                   "next": {"url": base + "/next/manifest.json", "while_playing": True, "max_kib_per_s": cap}}, f)
    return base + "/manifest.json"


def delivered(log):
    try:
        with open(log) as f:
            return [(float(t), int(n)) for t, n in (line.split() for line in f if line.strip())]
    except (OSError, ValueError):
        return []


def busiest(events, start, end, span):
    """The most bytes delivered in any window [s, s + span) with start <= s and s + span <= end."""
    inside = [(t, n) for t, n in events if start <= t < end]
    times = [t for t, _ in inside]
    prefix = [0]
    for _, n in inside:
        prefix.append(prefix[-1] + n)
    most = 0
    for s in [start] + [t for t in times if t + span <= end]:
        most = max(most, prefix[bisect.bisect_left(times, s + span)] - prefix[bisect.bisect_left(times, s)])
    return most


def one_cap(cap, sources, lines):
    name = "bench-pace-%d" % cap
    relay_log = os.path.join(WORK, name + ".log")
    if os.path.exists(relay_log):
        os.remove(relay_log)
    port_file = os.path.join(WORK, name + ".port")
    if os.path.exists(port_file):
        os.remove(port_file)
    relay = subprocess.Popen([sys.executable, bl.RELAY, "--upstream", str(bl.HTTPS_PORT), "--port-file", port_file,
                              "--delay-ms", str(bl.DELAY_MS), "--log", relay_log, "--send-buffer", str(64 << 10)])
    for _ in range(100):
        if os.path.exists(port_file):
            break
        time.sleep(0.1)
    port = int(open(port_file).read())
    url = publish(name, cap, sources, port)
    game = bl.fresh_game(name + "-game")
    shutil.copy(os.path.join(bl.WWW, name, "files", "a.bin"), os.path.join(game, "a.bin"))
    shutil.copy(STUB, os.path.join(game, "QirellQX.exe"))
    go = os.path.join(WORK, name + ".go")
    if os.path.exists(go):
        os.remove(go)
    env = dict(os.environ, QIRELL_STUB_SECONDS=str(PLAY_S))
    tool = subprocess.Popen([bl.WINE_RUN, BENCH_START, "--play-when", wine_path(go),
                             os.path.join(game, "QirellPatcher.exe"), "--url", url],
                            cwd=game, env=env, stdout=subprocess.PIPE, text=True)
    deadline = time.time() + 300
    while sum(n for _, n in delivered(relay_log)) < UNTHROTTLED and time.time() < deadline and tool.poll() is None:
        time.sleep(0.05)
    open(go, "w").close()
    out, _ = tool.communicate(timeout=PLAY_S + 300)
    bl.stop_relay(relay)
    figures = out.split()
    if len(figures) < 2:
        lines.append("| %d | the patcher never got to Start Game (%s) | | | |" % (cap, out.strip()))
        return False
    pressed = int(figures[0]) / 1000.0
    events = delivered(relay_log)
    end = pressed + PLAY_S
    limit = cap * 1024 * WINDOW_S
    most = busiest(events, pressed, end, WINDOW_S)
    settled = busiest(events, pressed + 2, end, WINDOW_S)
    whole = sum(n for t, n in events if pressed <= t < end) / 1024 / PLAY_S
    before = sum(n for t, n in events if t < pressed) / 1048576
    ok = most <= 1.1 * limit
    lines.append("| %d | %.0f (%.3f x) | %.0f (%.3f x) | %.0f | %.1f MiB | %s |" % (
        cap, most / 1024 / WINDOW_S, most / limit, settled / 1024 / WINDOW_S, settled / limit, whole, before,
        "met" if ok else "MISSED"))
    return ok


def main():
    os.makedirs(WORK, exist_ok=True)
    subprocess.run([bl.WINE_RUN, "reg", "add", KEY, "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)
    sources = []
    for i in range(FILES):
        src = os.path.join(WORK, "src-%d.bin" % i)
        if not os.path.exists(src) or os.path.getsize(src) != MIB << 20:
            with open(src, "wb") as f:
                f.write(os.urandom(MIB << 20))
        sources.append(src)
    lines = ["## While playing: the pre-load's rate (%d files of %d MiB, relay %d ms each way, %d s of play)" % (
                 FILES, MIB, bl.DELAY_MS, PLAY_S), "",
             "| max_kib_per_s | busiest 10 s window from Start Game, KiB/s | the same from 2 s after | "
             "mean KiB/s while playing | fetched before Start Game | goal <= 1.1 x |",
             "|---|---|---|---|---|---|"]
    ok = all([one_cap(cap, sources, lines) for cap in CAPS])
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(WORK, "results.md"), "w") as f:
        f.write(table + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
