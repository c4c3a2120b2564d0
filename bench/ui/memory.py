#!/usr/bin/env python3
"""Memory of the running launcher: its working set when idle (the pass found
nothing to do) and its peak while it downloads and verifies one large file,
for 256 MiB and 1 GiB. Under Wine the launcher is a Linux process, so its
working set is read as the process's resident set (VmRSS, peak VmHWM).

Runs inside scripts/sandbox.sh (bench/ui/run.sh BUILD memory does that), with
the project's patch server on 127.0.0.1:80 and manifests signed by the
build's key. Usage: memory.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
import patch_server  # noqa: E402

MIB = 1024 * 1024
BUILD = Path(sys.argv[1]).resolve()


def status(pid):
    """VmRSS and VmHWM of a process in MiB."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines())
    return tuple(int(fields[k].split()[0]) / 1024 for k in ("VmRSS", "VmHWM"))


def launcher_pid(timeout=30):
    """The Wine process that runs Launcher.exe (Wine names it after the program)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and (entry / "comm").read_text().strip() == "Launcher.exe":
                    return int(entry.name)
            except OSError:
                pass
        time.sleep(0.05)
    raise SystemExit("Launcher.exe did not start")


def run_launcher(game, done, settle, during=lambda: False):
    """Runs the launcher in `game` until done() holds, then `settle` seconds more;
    returns (working set at the end, peak working set of the process's life,
    highest working set seen while during() held) in MiB."""
    process = subprocess.Popen(["wine", str(BUILD / "Launcher.exe")], cwd=game,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid = launcher_pid()
    try:
        deadline, seen = time.time() + 600, 0.0
        while not done() and time.time() < deadline:
            if during():
                seen = max(seen, status(pid)[0])
            time.sleep(0.05)
        if not done():
            raise SystemExit("the launcher did not finish its pass")
        time.sleep(settle)
        return (*status(pid), seen)
    finally:
        for victim in {pid, process.pid}:
            try:
                os.kill(victim, 9)
            except ProcessLookupError:
                pass
        process.wait()
        while Path(f"/proc/{pid}").exists():
            time.sleep(0.05)


def write_pattern(path, size):
    block = os.urandom(MIB)
    with open(path, "wb") as f:
        for i in range(size // MIB):
            f.write(block[i % 251:] + block[:i % 251])


def main():
    work = BUILD / "bench-memory"
    shutil.rmtree(work, ignore_errors=True)
    patch, game = work / "www" / "patch", work / "game"
    patch.mkdir(parents=True)
    game.mkdir()
    shutil.copy(BUILD / "tests" / "stub" / "Main.exe", patch / "Main.exe")
    shutil.copy(BUILD / "tests" / "stub" / "Main.exe", game / "Main.exe")
    server = patch_server.start(work / "www", prefix="/")
    try:
        print("launcher working set (MiB), sampled every 50 ms while the staging file exists; idle = 15 s after\n"
              "the start of a pass that finds nothing to fetch; a run's peak includes its start-up")
        for size in (256 * MIB, 1024 * MIB):
            big = patch / "big.bin"
            write_pattern(big, size)
            (game / "big.bin").unlink(missing_ok=True)
            subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(patch), "--sign",
                            str(BUILD / "keys" / "manifest-key.pem"), "--version", str(int(time.time()))],
                           check=True, stdout=subprocess.DEVNULL)
            target = game / "big.bin"
            arrived = lambda: target.exists() and target.stat().st_size == size and not (  # noqa: E731
                game / "big.bin.launcher-part").exists()
            staging = game / "big.bin.launcher-part"
            _, life, peak = run_launcher(game, arrived, 2, staging.exists)
            idle, idle_life, _ = run_launcher(game, lambda: True, 15)
            print(f"  {size // MIB:5d} MiB download: peak while downloading {peak:5.1f}, idle {idle:5.1f}, "
                  f"peak - idle {peak - idle:4.1f} (target <= 8); peak of the whole run {life:5.1f} "
                  f"(a run without download: {idle_life:5.1f})")
            big.unlink()
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
