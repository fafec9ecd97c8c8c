#!/usr/bin/env python3
"""Pre-loading the next release, against nginx on loopback.

Part "patchday": a 1 GiB archive whose next version has 1 % of its bytes changed in scattered places,
both releases built with `qirell-manifest build --delta`. The live release announces the next one,
so a ready run pre-loads it (bytes nginx sent against the bytes changed); then the next release is
published at the live address, and the patch-day run must take nothing from files/ and end within
2 s of a run with nothing to do on the same folder (manifest line to ready line of the support log).
Part "closing": the window closed at half of a whole-file pre-load served at 16 MB/s; the next run
must send at most 1.05 x the bytes still missing.

Run through scripts/bench.sh (`bash scripts/bench.sh preload`), which starts the Wine prefix, Xvfb
with its window manager and nginx. Appends its tables to build/bench/results.md.
"""
import datetime
import glob
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

from bench import BENCH_START, BUILD, EXE, PORT, WINE_RUN, WWW, Tree, nginx_bytes, run, sha256_of
from bench_delta import SPOTS, native_tool, write_versions

WORK = os.path.join(BUILD, "bench", "preload")
SIZE = int(os.environ.get("BENCH_PRELOAD_MIB", "1024")) << 20
CLOSE_SIZE = int(os.environ.get("BENCH_PRELOAD_CLOSE_MIB", "256")) << 20
ROUNDS = int(os.environ.get("BENCH_PRELOAD_ROUNDS", "3"))
NGINX_LOG = os.environ["QIRELL_TEST_NGINX_LOG"]
STAGING = "QirellPatcher.preload"
SITE = "bench-preload"
READY = r"end: exit 0 \(ready\)"


def app_folder():
    """%LOCALAPPDATA%\\QirellPatcher in the prefix: the support log and the folders' states."""
    base = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")
    found = glob.glob(os.path.join(base, "*", "AppData", "Local", "QirellPatcher"))
    return found[0] if found else None


def state_files():
    folder = app_folder()
    return set(glob.glob(os.path.join(folder, "QirellPatcher-*.state"))) if folder else set()


def drop_states(before):
    """Deletes the states made since before was taken: each game folder here is new, so they are ours."""
    for path in state_files() - before:
        os.remove(path)


def log_lines():
    """The support log's lines as (datetime, text), oldest first (the rotated part too)."""
    folder = app_folder()
    out = []
    for name in ("QirellPatcher.log.1", "QirellPatcher.log"):
        path = os.path.join(folder or "", name)
        if not folder or not os.path.exists(path):
            continue
        for line in open(path, encoding="utf-8", errors="replace"):
            try:
                stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
            except ValueError:
                continue
            out.append((stamp, line[23:].split("] ", 1)[-1].rstrip()))
    return out


def seconds_between(lines, first, last):
    """Seconds from the first line matching the pattern first to the next line matching last."""
    start = next((t for t, text in lines if re.match(first, text)), None)
    end = next((t for t, text in lines if start and t >= start and re.match(last, text)), None)
    return (end - start).total_seconds() if start and end else None


def run_split(log):
    """A run's manifest line to its ready line, and the local check's part of it (up to the line that
    counts the files to fetch), in seconds."""
    return (seconds_between(log, "manifest ", READY), seconds_between(log, "manifest ", r"\d+ files to fetch"))


def patcher_run(game, url):
    """One --auto-close run in game on a fresh support log: (wall seconds, exit code, its support-log
    lines, nginx log offset before it)."""
    for name in ("QirellPatcher.log", "QirellPatcher.log.1"):
        if app_folder() and os.path.exists(os.path.join(app_folder(), name)):
            os.remove(os.path.join(app_folder(), name))
    mark = os.path.getsize(NGINX_LOG)
    secs, _, code = run([WINE_RUN, os.path.join(game, "QirellPatcher.exe"), "--auto-close", "--url", url], cwd=game)
    return secs, code, log_lines(), mark


def logged(mark, target):
    """Waits (at most 10 s) until nginx has logged a request for target (a request target, or a test
    on one) since offset mark; nginx logs a request once its answer is out or its client gone."""
    for _ in range(200):
        if nginx_bytes(mark, target):
            return
        time.sleep(0.05)


def served(mark, test, manifest_target):
    """Body bytes nginx sent since offset mark for the targets test accepts, once the request for
    manifest_target (a run's first) and everything before it are in its log."""
    logged(mark, lambda t: t.startswith(manifest_target))
    time.sleep(0.5)  # a run's file requests end before it does; this covers nginx's own write
    return nginx_bytes(mark, test)


def make_releases():
    """v1/data.qpa and v2/data.qpa, the second with 1 % of the bytes replaced in SPOTS places. Made once."""
    v1, v2 = os.path.join(WORK, "v1", "data.qpa"), os.path.join(WORK, "v2", "data.qpa")
    stamp = os.path.join(WORK, ".made-%d" % SIZE)
    if os.path.exists(stamp):
        return v1, v2
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.dirname(v1))
    os.makedirs(os.path.dirname(v2))
    write_versions(v1, v2, SIZE, 24, grow=False)
    open(stamp, "w").close()
    return v1, v2


def publish(tool, release, name, version, next_url=None):
    """Builds release with block maps into the web root as name; next_url goes into its manifest."""
    out = os.path.join(WWW, name)
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([tool, "build", release, "--version", version, "--delta", "-o", out], check=True,
                   stdout=subprocess.DEVNULL)
    path = os.path.join(out, "manifest.json")
    manifest = json.load(open(path))
    if next_url:
        manifest["next"] = {"url": next_url}
        with open(path, "w") as f:
            json.dump(manifest, f)
    return next(e for e in manifest["files"] if e["path"] == "data.qpa")


def point_live_at(name):
    """The live address now serves the release name, as an operator publishing it there would."""
    link = os.path.join(WWW, SITE + "-live")
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.remove(tmp)
    os.symlink(name, tmp)
    os.replace(tmp, link)


def patch_day(lines_out):
    v1, v2 = make_releases()
    tool = native_tool()
    publish(tool, os.path.dirname(v1), SITE + "-v1", "1", "../%s-v2/manifest.json" % SITE)
    entry2 = publish(tool, os.path.dirname(v2), SITE + "-v2", "2")
    live_url = "http://localhost:%s/%s-live/manifest.json" % (PORT, SITE)
    changed = SPOTS * (SIZE // 100 // SPOTS)
    before = state_files()
    rounds = []
    for r in range(ROUNDS):
        game = os.path.join(WORK, "game-%d-%d" % (os.getpid(), r))
        staged = os.path.join(game, STAGING, entry2["sha256"].lower())
        os.makedirs(game)
        shutil.copy(EXE, os.path.join(game, "QirellPatcher.exe"))
        shutil.copyfile(os.path.join(WWW, SITE + "-v1", "files", "data.qpa"), os.path.join(game, "data.qpa"))

        point_live_at(SITE + "-v1")
        secs, code, log, mark = patcher_run(game, live_url)
        pre_sent = served(mark, lambda t: "/%s-v2/" % SITE in t and "manifest.json" not in t,
                          "/%s-live/manifest.json" % SITE)
        pre_secs = seconds_between(log, "pre-load: next release", "pre-load: every changed file is staged")
        pre_ok = code == 0 and os.path.exists(staged) and sha256_of(staged) == entry2["sha256"]
        if not pre_ok:
            print("bench_preload: pre-load run exit code %d, staged copy %s" %
                  (code, "verified" if os.path.exists(staged) else "missing"), file=sys.stderr)
            for _, text in log[-20:]:
                print("  " + text, file=sys.stderr)

        point_live_at(SITE + "-v2")
        day_secs, day_code, day_log, mark = patcher_run(game, live_url)
        day_files = served(mark, lambda t: "/files/" in t, "/%s-live/manifest.json" % SITE)
        day_maps = nginx_bytes(mark, lambda t: "/maps/" in t)
        day_run, day_check = run_split(day_log)
        moved_in = any(text.startswith("staging: data.qpa moved in") for _, text in day_log)
        day_ok = day_code == 0 and sha256_of(os.path.join(game, "data.qpa")) == entry2["sha256"]

        idle_secs, idle_code, idle_log, _ = patcher_run(game, live_url)
        idle_run, idle_check = run_split(idle_log)
        rounds.append(dict(pre_ok=pre_ok, pre_secs=pre_secs, pre_wall=secs, pre_sent=pre_sent, day_ok=day_ok,
                           moved_in=moved_in, day_files=day_files, day_maps=day_maps, day_run=day_run,
                           day_check=day_check, day_wall=day_secs, idle_run=idle_run, idle_check=idle_check,
                           idle_wall=idle_secs, idle_ok=idle_code == 0))
        shutil.rmtree(game, ignore_errors=True)
    drop_states(before)
    for name in ("-v1", "-v2", "-live"):
        path = os.path.join(WWW, SITE + name)
        if os.path.islink(path):
            os.remove(path)
        else:
            shutil.rmtree(path, ignore_errors=True)

    def figures(key, fmt="%.2f"):
        return ", ".join(fmt % r[key] if r[key] is not None else "?" for r in rounds)

    gaps = [r["day_run"] - r["idle_run"] for r in rounds if r["day_run"] is not None and r["idle_run"] is not None]
    all_ok = all(r["pre_ok"] and r["day_ok"] and r["idle_ok"] and r["moved_in"] for r in rounds)
    most_files = max(r["day_files"] for r in rounds)
    worst_gap = max(gaps) if len(gaps) == len(rounds) else None
    sent = statistics.median(r["pre_sent"] for r in rounds)
    lines_out += [
        "",
        "| pre-load, %.0f MB archive with 1 %% changed in %d places (%d rounds) | measured |"
        % (SIZE / 1e6, SPOTS, ROUNDS),
        "|---|---|",
        "| pre-load: nginx sent from the next release (map of %d B included) | %s B (median %d B = %.2f × the %d B "
        "changed, %.2f %% of the file) |" % (entry2["delta"]["size"], figures("pre_sent", "%d"), sent, sent / changed,
                                             changed, 100.0 * sent / SIZE),
        "| pre-load: first pre-load line to staged, s / whole run, s | %s / %s |" % (figures("pre_secs"),
                                                                                    figures("pre_wall")),
        "| patch day: bytes from files/ (maps/) | %s (%s) |" % (figures("day_files", "%d"), figures("day_maps", "%d")),
        "| patch day: manifest → ready (of it the local check; whole run), s | %s (%s; %s) |"
        % (figures("day_run"), figures("day_check"), figures("day_wall")),
        "| nothing to do, same folder: manifest → ready (of it the local check; whole run), s | %s (%s; %s) |"
        % (figures("idle_run"), figures("idle_check"), figures("idle_wall")),
        "| staged copy verified, moved in on patch day, result verified | %s |" % ("yes" if all_ok else "NO"),
        "",
        "| pre-load goal | measured | |",
        "|---|---|---|",
        "| patch day: 0 bytes from files/ | at most %d B | %s |" % (most_files, "met" if most_files == 0 and all_ok
                                                                   else "missed"),
        "| patch day: manifest → ready within 2 s of a run with nothing to do | %s s (worst %s) | %s |"
        % (", ".join("%+.2f" % g for g in gaps), "%+.2f s" % worst_gap if worst_gap is not None else "?",
           "met" if worst_gap is not None and worst_gap <= 2 and all_ok else "missed"),
    ]
    return all_ok


def closing(lines_out):
    tree = Tree("closing", [("big.bin", CLOSE_SIZE)])
    digest = json.load(open(os.path.join(tree.base, "digests.json")))["big.bin"]
    site = os.path.join(WWW, "bench-closing")
    slow = "/slow/bench-closing/files/big.bin"
    with open(os.path.join(site, "preload-next.json"), "w") as f:
        json.dump({"version": "next", "files": [{"path": "big.bin", "size": CLOSE_SIZE, "sha256": digest,
                                                 "url": "http://localhost:%s%s" % (PORT, slow)}]}, f)
    empty = hashlib.sha256().hexdigest()
    with open(os.path.join(site, "preload-live.json"), "w") as f:
        json.dump({"version": "live", "files": [{"path": "data.qpa", "size": 0, "sha256": empty}],
                   "next": {"url": "preload-next.json"}}, f)
    url = "http://localhost:%s/bench-closing/preload-live.json" % PORT
    before = state_files()
    game = os.path.join(tree.base, "preload-%d" % os.getpid())
    os.makedirs(game)
    shutil.copy(EXE, os.path.join(game, "QirellPatcher.exe"))
    open(os.path.join(game, "data.qpa"), "wb").close()
    staged = os.path.join(game, STAGING, digest)
    side = staged + ".patch.tmp"

    mark = os.path.getsize(NGINX_LOG)
    # bench-start closes the window once the side file holds half the file; watched here too, for the
    # time from then to the process's end.
    proc = subprocess.Popen([WINE_RUN, BENCH_START, "--close-at", side, str(CLOSE_SIZE // 2),
                             os.path.join(game, "QirellPatcher.exe"), "--url", url],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    half = None
    while proc.poll() is None:
        if half is None and os.path.exists(side) and os.path.getsize(side) >= CLOSE_SIZE // 2:
            half = time.perf_counter()
        time.sleep(0.005)
    ending = time.perf_counter() - half if half else float("nan")
    try:
        closed_at, first_code = (int(v) for v in proc.stdout.read().split()[-2:])
    except ValueError:
        closed_at, first_code = -1, -1
    kept = os.path.getsize(side) if os.path.exists(side) else 0
    logged(mark, slow)
    first_sent = nginx_bytes(mark, slow)
    _, code, _, mark = patcher_run(game, url)
    logged(mark, slow)
    second_sent = nginx_bytes(mark, slow)
    ok = code == 0 and os.path.exists(staged) and sha256_of(staged) == digest
    missing = CLOSE_SIZE - kept
    ratio = second_sent / missing if missing else float("inf")
    shutil.rmtree(game, ignore_errors=True)
    drop_states(before)
    for name in ("preload-next.json", "preload-live.json"):
        os.remove(os.path.join(site, name))
    lines_out += [
        "",
        "| window closed at ~50 %% of a %d MiB whole-file pre-load (16 MB/s) | measured |" % (CLOSE_SIZE >> 20),
        "|---|---|",
        "| side file when the window was closed / when the process had ended %.2f s later (exit code %d) "
        "| %d B / %d B |" % (ending, first_code, closed_at, kept),
        "| nginx sent: first run / next run / both | %d B / %d B / %d B = %.3f × the file |"
        % (first_sent, second_sent, first_sent + second_sent, (first_sent + second_sent) / CLOSE_SIZE),
        "| next run: exit code, staged copy | %d, %s |" % (code, "verified" if ok else "NOT verified"),
        "",
        "| pre-load goal | measured | |",
        "|---|---|---|",
        "| closing the window at 50 %%: the next run sends ≤ 1.05 × the remaining bytes | %d B / %d B = %.3f | %s |"
        % (second_sent, missing, ratio, "met" if ok and kept and ratio <= 1.05 else "missed"),
    ]
    return ok


def main():
    os.makedirs(WORK, exist_ok=True)
    parts = sys.argv[1:] or ["patchday", "closing"]
    lines = []
    ok = True
    for name, part in (("patchday", patch_day), ("closing", closing)):
        if name in parts:
            ok = part(lines) and ok
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    lines += ["", "%d cores (%s); load average %.1f; BENCH_PRELOAD_MIB=%d BENCH_PRELOAD_CLOSE_MIB=%d "
                  "BENCH_PRELOAD_ROUNDS=%d." % (os.cpu_count(), cpu, os.getloadavg()[0], SIZE >> 20,
                                                CLOSE_SIZE >> 20, ROUNDS)]
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(BUILD, "bench", "results.md"), "a") as f:
        f.write(table + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
