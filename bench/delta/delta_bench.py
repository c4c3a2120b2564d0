#!/usr/bin/env python3
"""Delta updates side by side with zsync, inside scripts/sandbox.sh (bench/delta/run.sh
starts it there). For each pack size: an old version of random bytes and a new one
with 100 scattered regions of about 26 KiB rewritten (about 1 %) and 4 KiB inserted
at 1 MiB, both served by nginx; then, alternating, the launcher's update pass (block
list and Range requests) and zsync (its control file, -i the old copy), each from the
old copy to the new file. Bytes are what nginx sent (headers included), times the
median of the runs. A pair named "bytes:SIZE" has 2,000 single bytes changed instead,
which costs a request per change unless several ranges go in one; "padding:SIZE" has a
zero run of an eighth of the pack in the old version, a quarter of which the new one
leaves out.
Usage: delta_bench.py BUILD_DIR [SIZE_MIB | bytes:SIZE_MIB | padding:SIZE_MIB ...]"""
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(sys.argv[1]).resolve()
PAIRS = [(a.rpartition(":")[0] or "edits", int(a.rpartition(":")[2])) for a in sys.argv[2:]] or [
    ("edits", 256), ("bytes", 256), ("edits", 1024), ("padding", 256)]
RUNS = 3
PORT = 8088
MIB = 1 << 20
WORK = BUILD / "bench-delta"
WINE_RUN = BUILD / "wine-run.sh"
RUNNER = BUILD / "tests" / "updater_pass_runner.exe"


def random_file(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        for at in range(0, size, 64 * MIB):
            f.write(rng.randbytes(min(64 * MIB, size - at)))


def next_version(old_path, new_path, scattered=False):
    """100 rewritten regions and an insertion, or (scattered) 2,000 single bytes changed."""
    data = bytearray(old_path.read_bytes())
    rng = random.Random("patch")
    if scattered:
        for _ in range(2000):
            data[rng.randrange(len(data))] ^= 0xFF
    else:
        for _ in range(100):
            at = rng.randrange(2 * MIB, len(data) - 32768)
            data[at:at + 26 * 1024] = rng.randbytes(26 * 1024)
        data[MIB:MIB] = rng.randbytes(4096)
    new_path.write_bytes(data)


def shrunk_padding(old_path, new_path):
    data = bytearray(old_path.read_bytes())
    run, at = len(data) // 8, len(data) // 4 + 1000
    data[at:at + run] = bytes(run)
    old_path.write_bytes(data)
    del data[at + run // 2:at + run // 2 + run // 4 + 123]
    new_path.write_bytes(data)


MAKE = {"edits": next_version, "bytes": lambda old, new: next_version(old, new, True),
        "padding": shrunk_padding}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(8 * MIB), b""):
            digest.update(block)
    return digest.hexdigest()


class Nginx:
    def __init__(self, root):
        d = self.dir = WORK / "nginx"
        d.mkdir(parents=True, exist_ok=True)
        temp = " ".join(f"{k}_temp_path {d}/{k};" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (d / "nginx.conf").write_text(
            f"user root root; daemon off; pid {d}/pid; error_log {d}/error.log; events {{ }}\n"
            f"http {{ log_format b '$request_uri $status $bytes_sent \"$http_range\"';\n"
            f"access_log {d}/access.log b; {temp} default_type application/octet-stream;\n"
            f"server {{ listen 127.0.0.1:{PORT}; root {root}; }} }}\n")
        self.log = d / "access.log"
        self.process = subprocess.Popen(["nginx", "-c", str(d / "nginx.conf"), "-p", str(d)])
        for _ in range(100):
            if (d / "pid").exists():
                return
            time.sleep(0.05)
        raise SystemExit("nginx did not start")

    def mark(self):
        return self.log.stat().st_size if self.log.exists() else 0

    def since(self, mark):
        """(uri, bytes sent) of each request logged after mark."""
        with open(self.log, "rb") as f:
            f.seek(mark)
            lines = f.read().decode().splitlines()
        return [(line.split()[0], int(line.split()[2])) for line in lines]

    def stop(self):
        self.process.terminate()
        self.process.wait()


def timed(command, cwd):
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (command[0], done.returncode, done.stdout + done.stderr))
    return took, done.stdout


def launcher_update(nginx, game, old, base, peak=False):
    """Seconds, bytes sent and (working set before, peak) of one pass from `old`."""
    target = game / "pack.bin"
    for leftover in (target, game / "pack.bin.launcher-part"):
        leftover.unlink(missing_ok=True)
    if old:
        os.link(old, target)  # the pass replaces the link; the old copy stays
    mark = nginx.mark()
    command = [str(WINE_RUN), str(RUNNER), f"127.0.0.1:{PORT}", base] + (["--peak"] if peak else [])
    took, out = timed(command, game)
    requests = nginx.since(mark)
    memory = [int(v) for v in out.split() if v.isdigit()]
    return took, requests, memory


def zsync_update(nginx, old, out):
    out.unlink(missing_ok=True)
    mark = nginx.mark()
    took, _ = timed(["zsync", "-q", "-i", str(old), "-o", str(out),
                     f"http://127.0.0.1:{PORT}/zsync/pack.bin.zsync"], out.parent)
    return took, nginx.since(mark)


def sent(requests, skip=("/patch/manifest.json",)):
    return sum(b for uri, b in requests if uri not in skip)


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    www = WORK / "www"
    for folder in ("patch", "plain", "zsync", "game", "zs"):
        (WORK / folder if folder in ("game", "zs") else www / folder).mkdir(parents=True)
    nginx = Nginx(www)
    print(f"== delta benchmark: {time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}, {os.cpu_count()} cores, "
          f"{subprocess.run(['zsync', '-V'], capture_output=True, text=True).stdout.splitlines()[0]}")
    try:
        for kind, size_mib in PAIRS:
            old, other = WORK / "old.bin", WORK / "other.bin"
            new = www / "patch" / "pack.bin"
            random_file(old, size_mib * MIB, f"pack-{size_mib}")
            random_file(other, size_mib * MIB + 4096, f"other-{size_mib}")
            MAKE[kind](old, new)
            os.link(new, www / "plain" / "pack.bin")
            want = sha256(new)
            subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(www / "patch")],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(www / "plain"),
                            "--no-delta"], check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["zsyncmake", "-o", str(www / "zsync" / "pack.bin.zsync"), "-u", "../patch/pack.bin",
                            str(new)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times = {"launcher": [], "zsync": []}
            for run in range(RUNS):
                took, requests, memory = launcher_update(nginx, WORK / "game", old, "/patch/", peak=True)
                assert sha256(WORK / "game" / "pack.bin") == want, "the launcher's pack is wrong"
                times["launcher"].append(took)
                launcher_bytes, launcher_memory = sent(requests), memory
                launcher_requests = sum(uri != "/patch/manifest.json" for uri, _ in requests)
                took, requests = zsync_update(nginx, old, WORK / "zs" / "pack.bin")
                assert sha256(WORK / "zs" / "pack.bin") == want, "zsync's pack is wrong"
                times["zsync"].append(took)
                zsync_bytes, zsync_requests = sent(requests), len(requests)
            floor = statistics.median(launcher_update(nginx, WORK / "game", new, "/patch/")[0] for _ in range(RUNS))
            _, requests, _ = launcher_update(nginx, WORK / "game", other, "/patch/")
            replaced = sent(requests)
            _, requests, _ = launcher_update(nginx, WORK / "game", None, "/plain/")
            plain = sent(requests, ("/plain/manifest.json",))
            lt, zt = statistics.median(times["launcher"]), statistics.median(times["zsync"])
            file_size = new.stat().st_size
            print(f"\n-- {size_mib} MiB pack, {kind} ({file_size} bytes in the new version), medians of {RUNS} runs")
            print(f"  bytes sent   launcher {launcher_bytes:>11,}  zsync {zsync_bytes:>11,}  ratio "
                  f"{launcher_bytes / zsync_bytes:.3f}  launcher / file {100 * launcher_bytes / file_size:.2f} %")
            print(f"  requests     launcher {launcher_requests:>11}  zsync {zsync_requests:>11}  ratio "
                  f"{launcher_requests / zsync_requests:.3f}  (the manifest left out; aim 3 x zsync + 10 = "
                  f"{3 * zsync_requests + 10})")
            print(f"  wall time    launcher {lt:8.2f} s  zsync {zt:8.2f} s  ratio {lt / zt:.3f}  "
                  f"(pairs: {', '.join('%.2f' % (a / b) for a, b in zip(times['launcher'], times['zsync']))})")
            print(f"  floor        the launcher's no-change check of the pack {floor:.2f} s")
            print(f"  replaced     a pack replaced completely: {replaced:,} bytes against {plain:,} for a plain "
                  f"fetch, ratio {replaced / plain:.4f}")
            if len(launcher_memory) == 2:
                print(f"  memory       working set before the pass {launcher_memory[0] / MIB:.1f} MiB, peak "
                      f"{launcher_memory[1] / MIB:.1f} MiB (+{(launcher_memory[1] - launcher_memory[0]) / MIB:.1f})")
            for path in (old, other, new, www / "plain" / "pack.bin", WORK / "zs" / "pack.bin",
                         WORK / "game" / "pack.bin"):
                path.unlink(missing_ok=True)
            shutil.rmtree(www / "patch" / "blocks", ignore_errors=True)
    finally:
        nginx.stop()
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
