#!/usr/bin/env python3
"""The patcher on a slow, lossy link: a relay on loopback (scripts/latency_relay.py) delays each
direction by 25 ms in front of nginx over HTTPS.

  1. 2,000 changed files of 8 KiB with 1 and with 4 connections, against curl fetching the same
     URLs with keep-alive and the same parallelism (curl --parallel --parallel-max N).
  2. One 256 MiB file whose connection the relay cuts three times at random offsets: with resume the
     run must end ready with at most 1.05 x the file's size sent (nginx's log); without, it fails.

Run through scripts/bench.sh (Wine prefix, nginx, the test CA). Writes build/bench/latency.md.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WORK = os.path.join(BUILD, "bench", "latency")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
EXE = os.path.join(BUILD, "QirellPatcher.exe")
RELAY = os.path.join(ROOT, "scripts", "latency_relay.py")
FILES = int(os.environ.get("BENCH_LATENCY_FILES", "2000"))
BIG_MIB = int(os.environ.get("BENCH_LATENCY_BIG_MIB", "256"))
DELAY_MS = 25
WWW = os.environ["QIRELL_TEST_WWW"]
HTTPS_PORT = int(os.environ["QIRELL_TEST_HTTPS_PORT"])
NGINX_LOG = os.environ["QIRELL_TEST_NGINX_LOG"]
CA = os.environ["QIRELL_TEST_CA"]


def start_relay(name, cuts=()):
    port_file = os.path.join(WORK, name + ".port")
    if os.path.exists(port_file):
        os.remove(port_file)
    cmd = [sys.executable, RELAY, "--upstream", str(HTTPS_PORT), "--port-file", port_file,
           "--delay-ms", str(DELAY_MS)]
    if cuts:
        cmd += ["--cuts", ",".join(str(c) for c in cuts)]
    proc = subprocess.Popen(cmd)
    for _ in range(100):
        if os.path.exists(port_file):
            return proc, int(open(port_file).read())
        time.sleep(0.1)
    proc.kill()
    raise RuntimeError("relay did not start")


def stop_relay(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def timed(cmd, cwd=None, timeout=1200):
    start = time.perf_counter()
    rc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        timeout=timeout).returncode
    return time.perf_counter() - start, rc


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def publish(site, entries, download):
    """entries: (relative path, source file); files are linked, the manifest written with the member."""
    root = os.path.join(WWW, site)
    shutil.rmtree(root, ignore_errors=True)
    listed = []
    for rel, src in entries:
        dst = os.path.join(root, "files", rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        os.symlink(src, dst)
        listed.append({"path": rel, "size": os.path.getsize(src), "sha256": digest_of(src)})
    for name, member in download.items():
        doc = {"version": "latency", "files": listed}
        if member:
            doc["download"] = member
        with open(os.path.join(root, name), "w") as f:
            json.dump(doc, f)


_digests = {}


def digest_of(path):
    if path not in _digests:
        _digests[path] = sha256_file(path)
    return _digests[path]


def fresh_game(name):
    game = os.path.join(WORK, name)
    shutil.rmtree(game, ignore_errors=True)
    os.makedirs(game)
    shutil.copy(EXE, os.path.join(game, "QirellPatcher.exe"))
    open(os.path.join(game, "data.qpa"), "a").close()
    return game


def patcher(game, url):
    return timed([WINE_RUN, os.path.join(game, "QirellPatcher.exe"), "--auto-close", "--url", url], cwd=game)


def nginx_requests_since(offset, part):
    out = []
    with open(NGINX_LOG, "rb") as f:
        f.seek(offset)
        for line in f:
            try:
                r = json.loads(line)
            except ValueError:
                continue
            if part in r.get("target", ""):
                out.append(r)
    return out


def small_files():
    src = os.path.join(WORK, "small-src")
    stamp = os.path.join(src, ".made-%d" % FILES)
    rels = ["s/%03d/f%05d.bin" % (i // 100, i) for i in range(FILES)]
    if not os.path.exists(stamp):
        shutil.rmtree(src, ignore_errors=True)
        for rel in rels:
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            with open(os.path.join(src, rel), "wb") as f:
                f.write(os.urandom(8192))
        open(stamp, "w").close()
    return [(rel, os.path.join(src, rel)) for rel in rels]


def bench_small(rows):
    entries = small_files()
    publish("bench-latency", entries, {"m1.json": None, "m4.json": {"connections": 4}})
    relay, port = start_relay("small")
    base = "https://localhost:%d/bench-latency/" % port
    results = {}
    try:
        for n in (1, 4):
            game = fresh_game("small-game")
            secs, rc = patcher(game, base + "m%d.json" % n)
            complete = rc == 0 and all(os.path.exists(os.path.join(game, rel)) for rel, _ in entries)
            out = os.path.join(WORK, "curl-out")
            shutil.rmtree(out, ignore_errors=True)
            config = os.path.join(WORK, "curl.cfg")
            with open(config, "w") as f:
                for rel, _ in entries:
                    f.write('url = "%sfiles/%s"\noutput = "%s"\n' % (base, rel, os.path.join(out, rel)))
            curl_secs, curl_rc = timed(["curl", "--parallel", "--parallel-max", str(n), "--create-dirs", "-s",
                                        "--cacert", CA, "-K", config])
            results[n] = (secs, curl_secs)
            rows.append("| %d files of 8 KiB, %d connection%s | %.1f s%s | %.1f s%s | %.2f |" % (
                FILES, n, "" if n == 1 else "s", secs, "" if complete else " (exit %d, incomplete)" % rc,
                curl_secs, "" if curl_rc == 0 else " (exit %d)" % curl_rc, secs / curl_secs))
    finally:
        stop_relay(relay)
    return results


def bench_big(rows):
    size = BIG_MIB << 20
    src = os.path.join(WORK, "big-src", "big.bin")
    if not os.path.exists(src) or os.path.getsize(src) != size:
        os.makedirs(os.path.dirname(src), exist_ok=True)
        with open(src, "wb") as f:
            for _ in range(size >> 23):
                f.write(os.urandom(8 << 20))
    publish("bench-latency-big", [("big.bin", src)], {"resume.json": {"resume": True}, "plain.json": None})
    rng = random.Random(int(os.environ.get("BENCH_LATENCY_SEED", "14")))
    outcome = {}
    for name in ("resume", "plain"):
        cuts = sorted(rng.sample(range(size // 16, size - size // 16), 3))
        relay, port = start_relay("big-" + name, cuts)
        mark = os.path.getsize(NGINX_LOG)
        try:
            game = fresh_game("big-game")
            secs, rc = patcher(game, "https://localhost:%d/bench-latency-big/%s.json" % (port, name))
        finally:
            stop_relay(relay)
        time.sleep(1)  # nginx writes a line once the answer is over
        served = nginx_requests_since(mark, "/bench-latency-big/files/big.bin")
        sent = sum(int(r.get("bytes", "0") or 0) for r in served)
        target = os.path.join(game, "big.bin")
        intact = rc == 0 and os.path.exists(target) and sha256_file(target) == digest_of(src)
        outcome[name] = (rc, intact, sent / size, len(served))
        rows.append("| %d MiB, cut at %s MiB, %s | %s in %.1f s | %d requests, %.3f x the file sent |" % (
            BIG_MIB, ", ".join("%.1f" % (c / (1 << 20)) for c in cuts),
            "resume on" if name == "resume" else "resume off",
            ("ready, file intact" if intact else "exit %d" % rc), secs, len(served), sent / size))
    return outcome


def trust_test_ca():
    """The bench prefix is not the tests': import the servers' CA so that HTTPS verifies."""
    tool = os.path.join(BUILD, "tools", "import-ca", "import-ca.exe")
    wine_path = "Z:" + os.path.abspath(CA).replace("/", "\\")
    rc = subprocess.run([WINE_RUN, tool, wine_path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        timeout=120).returncode
    if rc != 0:
        raise RuntimeError("could not import the test CA into the Wine prefix")


def main():
    os.makedirs(WORK, exist_ok=True)
    trust_test_ca()
    small_rows, big_rows = [], []
    small = bench_small(small_rows)
    big = bench_big(big_rows)
    lines = ["| %d ms each way | patcher | curl --parallel | patcher / curl |" % DELAY_MS, "|---|---|---|---|"]
    lines += small_rows
    lines += ["", "| cut three times | patcher | nginx log |", "|---|---|---|"] + big_rows
    lines += ["", "| goal | measured |", "|---|---|"]
    for n in (1, 4):
        lines.append("| patcher within 1.5 x curl, %d connection%s | %.2f |" % (
            n, "" if n == 1 else "s", small[n][0] / small[n][1]))
    lines.append("| 4 connections at least 3 x faster than 1 | %.2f x |" % (small[1][0] / small[4][0]))
    rc, intact, ratio, _ = big["resume"]
    lines.append("| resume on: ready, at most 1.05 x the size sent | %s, %.3f x |" % (
        "ready" if intact else "exit %d" % rc, ratio))
    lines.append("| resume off: the run fails | exit %d |" % big["plain"][0])
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(BUILD, "bench", "latency.md"), "w") as f:
        f.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
