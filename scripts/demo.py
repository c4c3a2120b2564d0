#!/usr/bin/env python3
"""The launcher's main job on a built-in demo.

Prepares (once) a demo game folder and a patch server root in the build
folder, serves the patch root on 127.0.0.1:80 and runs Launcher.exe under
Wine in the game folder. Meant to run inside scripts/sandbox.sh, which gives
it a private network namespace, a display and a wineserver.

With a display of the user's own the launcher is left to the user; without
one the demo drives it itself (screenshots while downloading, when finished
and with the settings panel open, then START GAME) and saves the
screenshots in the build folder.
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
WINDOW_W, WINDOW_H = 900, 550
# Client-area centres of the controls the demo presses.
SETTINGS_BUTTON = (170, 425)
SAVE_BUTTON = (450, 432)
START_BUTTON = (740, 425)

MIB = 1024 * 1024


def content(seed, size):
    return random.Random(seed).randbytes(size)


# path -> (bytes on the patch server, what the game folder starts with)
# None as the start means the file is missing from the game folder.
def next_version(old):
    """The pack's next version, as a patch changes it: 30 scattered regions of about
    8 KiB rewritten and 4 KiB inserted at 1 MiB."""
    rng, new = random.Random("patch"), bytearray(old)
    for _ in range(30):
        at = rng.randrange(2 * MIB, len(new) - 8192)
        new[at:at + 8192] = rng.randbytes(8192)
    new[MIB:MIB] = rng.randbytes(4096)
    return bytes(new)


def map_text(seed, lines):
    """A map as the game's editor saves it: text, which the compressed copies shrink."""
    rng = random.Random(seed)
    return "".join(f"tile {i % 256} {i // 256} {rng.choice(('grass', 'wall', 'water', 'gate'))} h={rng.randrange(16)}\r\n"
                   for i in range(lines)).encode()


def demo_files(stub):
    readme = b"Zovra demo game folder.\r\nThe launcher keeps these files up to date.\r\n"
    world_v1 = content("world-v1", 24 * MIB)
    textures = content("textures-v2", 3 * MIB)
    return {
        "Main.exe": (stub, stub),
        "readme.txt": (readme, readme),
        # The game folder holds the last version: only what changed is fetched.
        "data/world.pak": (next_version(world_v1), world_v1),
        "data/textures.pak": (textures, content("textures-v1", 3 * MIB)),
        "data/maps/castle.map": (map_text("castle", 24000), None),
        "data/sound.pak": (content("sound", 5 * MIB), None),
        "news.txt": (b"Season 3 is live!\r\n", None),
    }


def prepare(build, fresh):
    demo = build / "demo"
    game, patch = demo / "game", demo / "server" / "patch"
    if fresh and demo.exists():
        shutil.rmtree(demo)
    stub_path = build / "tests" / "stub" / "Main.exe"
    if not stub_path.exists():
        sys.exit(f"missing {stub_path}: build the project first")
    files = demo_files(stub_path.read_bytes())

    if not patch.exists():
        for rel, (served, _) in files.items():
            target = patch / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(served)
    # Signed on every run with a version that rises, as an operator publishes,
    # with the build's key (scripts/build.sh makes it; the launcher holds its
    # public half), and published as objects, as for a CDN: the map travels
    # compressed.
    subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(patch), "--objects",
                    "--sign", str(build / "keys" / "manifest-key.pem"), "--version", str(int(time.time()))],
                   check=True, stdout=subprocess.DEVNULL)
    if not game.exists():
        # The launcher creates no folders, so the game folder has them all.
        for rel, (_, start) in files.items():
            target = game / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            if start is not None:
                target.write_bytes(start)
    return game, patch


RECORD = "stub-game-record.txt"  # written by the stub game client when started


def snapshot(folder):
    seen = {}
    for path in sorted(folder.rglob("*")):
        if path.is_file() and path.name != RECORD:
            seen[path.relative_to(folder).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return seen


def up_to_date(game, manifest):
    for entry in manifest["files"]:
        path = game / entry["path"]
        if not path.is_file() or path.stat().st_size != entry["size"]:
            return False
        if hashlib.sha256(path.read_bytes()).hexdigest() != entry["hash"]:
            return False
    return True


def start_server(patch, log):
    # Slowed to a few MiB a second so the progress bar can be watched.
    cmd = [sys.executable, str(REPO / "scripts" / "patch_server.py"),
           "--root", str(patch), "--bind", "127.0.0.1", "--port", "80",
           "--rate", str(8 * MIB), "--log", str(log)]
    server = subprocess.Popen(cmd)
    for _ in range(100):
        if log.exists():
            return server
        time.sleep(0.05)
    server.kill()
    sys.exit("the demo patch server did not start")


def x(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True)


def window_origin():
    found = x("search", "--sync", "--onlyvisible", "--name", "^Zovra Launcher$")
    wid = found.stdout.split()[0] if found.stdout.split() else None
    if not wid:
        return None
    geometry = x("getwindowgeometry", "--shell", wid).stdout
    values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
    return int(values["X"]), int(values["Y"])


def screenshot(origin, target):
    ox, oy = origin
    subprocess.run(["import", "-silent", "-window", "root", "-crop",
                    f"{WINDOW_W}x{WINDOW_H}+{ox}+{oy}", "+repage", str(target)], check=True)
    print(f"  screenshot: {target}")


def press(origin, point):
    ox, oy = origin
    x("mousemove", ox + point[0], oy + point[1])
    time.sleep(0.3)
    x("click", "1")
    time.sleep(0.5)


def url_of(manifest, entry):
    """Where the launcher fetches an entry: its object, or its path without objects."""
    if "objects" in manifest:
        return f"/patch/{manifest['objects']}/{entry['hash'][:2]}/{entry['hash']}"
    return "/patch/" + entry["path"]


def drive(launcher, game, manifest, log, shots):
    deadline = time.time() + 30
    origin = None
    while origin is None and time.time() < deadline:
        origin = window_origin()
    if origin is None:
        sys.exit("the launcher window did not appear")
    shots.mkdir(parents=True, exist_ok=True)

    if not up_to_date(game, manifest):
        # While the large file is on its way.
        deadline = time.time() + 30
        world = next(url_of(manifest, e) for e in manifest["files"] if e["path"] == "data/world.pak")
        while time.time() < deadline and world not in log.read_text():
            time.sleep(0.05)
        time.sleep(1.0)
        screenshot(origin, shots / "downloading.png")

    deadline = time.time() + 120
    while time.time() < deadline and not up_to_date(game, manifest):
        time.sleep(0.25)
    time.sleep(1.0)
    screenshot(origin, shots / "finished.png")

    press(origin, SETTINGS_BUTTON)
    screenshot(origin, shots / "settings.png")
    press(origin, SAVE_BUTTON)

    press(origin, START_BUTTON)
    try:
        launcher.wait(timeout=20)
    except subprocess.TimeoutExpired:
        print("  the launcher is still open 20 s after START GAME; closing it")
        launcher.kill()


def report_transfers(manifest, requests):
    """Bytes fetched for each file, against its size, and how."""
    for entry in manifest["files"]:
        url = url_of(manifest, entry)
        listed = f"/patch/blocks/{entry['hash']}.blocks" in requests
        fetched, asked = entry["blocks"]["size"] if listed else 0, 0
        for line in requests:
            path, _, wanted = line.partition(" ")
            if path == url + ".gz" and "gzip" in entry:
                asked += 1
                fetched += entry["gzip"]["size"]
            if path != url:
                continue
            asked += 1
            if not wanted:
                fetched += entry["size"]
            # A request may ask several ranges at once: "bytes=A-B,C-D".
            for asked_range in wanted[len("bytes="):].split(",") if wanted else []:
                first, _, last = asked_range.partition("-")
                fetched += (int(last) + 1 if last else entry["size"]) - int(first)
        if asked:
            how = ("a delta, its block list included" if listed else
                   "its compressed copy, inflated on arrival" if url + ".gz" in requests else "no old copy: the whole file")
            print(f"  {entry['path']}: {fetched / MIB:.2f} MiB fetched of {entry['size'] / MIB:.2f} MiB "
                  f"({100 * fetched / max(entry['size'], 1):.1f} %: {how})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(REPO / "build"))
    parser.add_argument("--fresh", action="store_true", help="start from a new demo folder")
    parser.add_argument("--interactive", action="store_true",
                        help="leave the launcher to the user (default when a display is shared)")
    args = parser.parse_args()
    build = Path(args.build).resolve()

    game, patch = prepare(build, args.fresh)
    manifest = json.loads((patch / "manifest.json").read_text())
    before = snapshot(game)
    (game / RECORD).unlink(missing_ok=True)
    print(f"Game folder: {game}")
    print(f"Patch root:  {patch} (served as http://127.0.0.1/patch/)")

    log = build / "demo" / "requests.log"
    log.unlink(missing_ok=True)
    server = start_server(patch, log)
    env = dict(os.environ, STUB_GAME_SHOW_MS="3000")
    launcher = subprocess.Popen(["wine", str(build / "Launcher.exe")], cwd=game, env=env)
    try:
        if args.interactive:
            print("The launcher is open: press START GAME when it is done, or X to close it.")
            launcher.wait()
        else:
            drive(launcher, game, manifest, log, build / "screenshots")
    finally:
        if launcher.poll() is None:
            launcher.kill()
        server.terminate()
        server.wait()

    after = snapshot(game)
    requests = [line for line in log.read_text().splitlines() if line.strip()]
    print(f"Requests to the patch server: {len(requests)}")
    for line in requests:
        print(f"  {line}")
    print("What changed in the game folder:")
    changed = False
    for rel in sorted(set(before) | set(after)):
        if before.get(rel) != after.get(rel):
            changed = True
            what = "added" if rel not in before else "removed" if rel not in after else "updated"
            print(f"  {what:8} {rel}")
    if not changed:
        print("  nothing: every file was already up to date")
    record = game / RECORD
    if record.exists():
        print("The game client was started; its record:")
        print("  " + record.read_text(errors="replace").strip().replace("\n", "\n  "))
    report_transfers(manifest, requests)
    # A second start reads none of the game files: its records vouch for them.
    checks = [line for line in (game / "Launcher.log").read_text(errors="replace").splitlines() if " checks: " in line]
    if checks:
        print("What the launcher read to check the files:", checks[-1].split(" checks: ", 1)[1])
    print("Up to date with the manifest:", "yes" if up_to_date(game, manifest) else "NO")
    return 0 if up_to_date(game, manifest) else 1


if __name__ == "__main__":
    sys.exit(main())
