#!/usr/bin/env python3
"""End-to-end tests: the real Launcher.exe under Wine and Xvfb, in a fresh
game folder, against real servers on loopback.

Run inside scripts/sandbox.sh (private network namespace, display,
wineserver); CTest does that. Usage: test_e2e.py BUILD_DIR
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(sys.argv.pop(1) if len(sys.argv) > 1 else REPO / "build").resolve()
STUB = BUILD / "tests" / "stub" / "Main.exe"
RECORD = "stub-game-record.txt"
CONFIG_KEY = r"HKCU\Software\Haldor\Tarsk\Config"
LAUNCHER_KEY = r"HKCU\Software\Haldor\Tarsk\Launcher"  # the highest manifest version seen
SIGNING_KEY = BUILD / "keys" / "manifest-key.pem"  # made by scripts/build.sh, built into the launcher
sys.path.insert(0, str(REPO / "tests" / "support"))
import testcerts  # noqa: E402
WINDOW_W, WINDOW_H = 900, 550
START_BUTTON = (740, 425)
SETTINGS_BUTTON = (170, 425)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def blob(seed, size):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def xdo(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True)


def wait_for(predicate, timeout, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Screen:
    """A screenshot of the launcher's client area, as RGB rows."""

    def __init__(self, origin, path):
        ox, oy = origin
        subprocess.run(["import", "-silent", "-window", "root", "-crop",
                        f"{WINDOW_W}x{WINDOW_H}+{ox}+{oy}", "+repage", str(path)], check=True)
        raw = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"],
                             capture_output=True, check=True).stdout
        self.raw = raw
        self.path = path

    def pixel(self, x, y):
        i = (y * WINDOW_W + x) * 3
        return tuple(self.raw[i:i + 3])

    def white_mask(self, left, top, right, bottom):
        return [(x, y) for y in range(top, bottom) for x in range(left, right)
                if min(self.pixel(x, y)) >= 200]


class Launcher:
    def __init__(self, game, env=None, exe=BUILD / "Launcher.exe"):
        self.process = subprocess.Popen(["wine", str(exe)], cwd=game,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, **(env or {})))
        self.origin = wait_for(self._find_window, 30)
        if not self.origin:
            self.kill()
            raise AssertionError("the launcher window did not appear")

    @staticmethod
    def _find_window():
        found = xdo("search", "--onlyvisible", "--name", "^Zovra Launcher$").stdout.split()
        if not found:
            return None
        shell = xdo("getwindowgeometry", "--shell", found[0]).stdout.split()
        values = dict(item.split("=", 1) for item in shell if "=" in item)
        return int(values["X"]), int(values["Y"])

    def press(self, point):
        ox, oy = self.origin
        xdo("mousemove", ox + point[0], oy + point[1])
        time.sleep(0.3)
        xdo("click", "1")
        time.sleep(0.4)

    def screen(self, name):
        shots = BUILD / "e2e-screens"
        shots.mkdir(exist_ok=True)
        return Screen(self.origin, shots / name)

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.running():
            self.process.kill()
        try:
            out, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            out = b""
        return out or b""


class PatchServer:
    """The project's test patch server on one loopback address, port 80."""

    def __init__(self, root, workdir, bind="127.0.0.1", *extra):
        self.log = workdir / f"requests-{bind}.log"
        self.log.unlink(missing_ok=True)
        self.process = subprocess.Popen(
            [sys.executable, str(REPO / "scripts" / "patch_server.py"),
             "--root", str(root), "--bind", bind, "--port", "80", "--log", str(self.log), *extra])
        if not wait_for(self.log.exists, 10):
            self.stop()
            raise AssertionError("the test patch server did not start")

    def requests(self):
        return [line for line in self.log.read_text().splitlines() if line.strip()]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Nginx:
    """nginx-light serving HTTPS on 127.0.0.1:443 with a certificate for localhost."""

    def __init__(self, server_root, workdir, rate="0"):
        self.dir = workdir / "nginx"
        (self.dir / "tmp").mkdir(parents=True, exist_ok=True)
        conf = self.dir / "nginx.conf"
        d = self.dir
        cert = d / "localhost.pem"
        cert.write_bytes(testcerts.pem(testcerts.certificate("localhost", testcerts.trusted_ca(str(BUILD)))))
        # Only uid 0 is mapped inside the unprivileged namespace.
        conf.write_text(f"""
user root root;
daemon off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format transfer '$request $status $body_bytes_sent "$http_range"';
    access_log {d}/access.log transfer;
    client_body_temp_path {d}/tmp/body;
    proxy_temp_path {d}/tmp/proxy;
    fastcgi_temp_path {d}/tmp/fastcgi;
    uwsgi_temp_path {d}/tmp/uwsgi;
    scgi_temp_path {d}/tmp/scgi;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:443 ssl;
        ssl_certificate {cert};
        ssl_certificate_key {cert};
        root {server_root};
        location /patch/ {{ limit_rate {rate}; }}
    }}
}}
""")
        self.process = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(d)],
                                        stderr=subprocess.DEVNULL)
        if not wait_for(lambda: (d / "nginx.pid").exists(), 10):
            self.stop()
            raise AssertionError("nginx did not start")

    def requests(self):
        log = self.dir / "access.log"
        return log.read_text().splitlines() if log.exists() else []

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Every test publishes version 1: forget higher ones from other runs.
        # (Not captured: Wine's helpers started here would hold the pipe open.)
        subprocess.run(["wine", "reg", "delete", LAUNCHER_KEY, "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="e2e-", dir=BUILD))
        self.game = self.work / "game"
        self.server_root = self.work / "server"
        self.patch = self.server_root / "patch"
        self.cleanups = []

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, obj):
        self.cleanups.append(obj.stop if hasattr(obj, "stop") else obj.kill)
        return obj

    def make_patch(self):
        """A patch root and a game folder holding one current, one outdated
        (other length), one changed (same length) and two missing files."""
        stub = STUB.read_bytes()
        served = {
            "Main.exe": stub,
            "current.dat": blob("current", 40_000),
            "data/outdated.pak": blob("outdated-v2", 3_000_000),
            "data/changed.pak": blob("changed-v2", 500_000),
            "data/maps/new.map": blob("new-map", 123_457),
            "notes.txt": b"hello\r\n",
        }
        start = {
            "Main.exe": stub,
            "current.dat": served["current.dat"],
            "data/outdated.pak": blob("outdated-v1", 2_000_000),
            "data/changed.pak": blob("changed-v1", 500_000),
        }
        for rel, data in served.items():
            (self.patch / rel).parent.mkdir(parents=True, exist_ok=True)
            (self.patch / rel).write_bytes(data)
        subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(self.patch),
                        "--sign", str(SIGNING_KEY), "--version", "1"], check=True, capture_output=True)
        for folder in ("data/maps",):
            (self.game / folder).mkdir(parents=True, exist_ok=True)
        for rel, data in start.items():
            (self.game / rel).write_bytes(data)
        return served

    def assert_game_matches(self, served):
        for rel, data in served.items():
            path = self.game / rel
            self.assertTrue(path.is_file(), rel)
            self.assertEqual(sha256(path.read_bytes()), sha256(data), rel)

    def wait_until_current(self, served, timeout=60):
        def current():
            return all((self.game / rel).is_file() and (self.game / rel).read_bytes() == data
                       for rel, data in served.items())
        return wait_for(current, timeout, step=0.25)

    def assert_start_game_launches(self, launcher):
        time.sleep(1.0)  # the outcome report follows the last file
        launcher.press(START_BUTTON)
        self.assertTrue(wait_for(lambda: not launcher.running(), 15),
                        "the launcher did not close after START GAME")
        record = (self.game / RECORD)
        self.assertTrue(wait_for(record.exists, 10), "the game client did not start")
        fields = dict(line.split("=", 1) for line in
                      record.read_text(errors="replace").splitlines() if "=" in line)
        game = "Z:" + str(self.game).replace("/", "\\")
        self.assertEqual(fields.get("mutex"), "held")
        self.assertEqual(fields.get("cwd", "").lower(), game.lower())
        # No arguments: the command line is the client's own path alone.
        self.assertEqual(fields.get("commandline", "").strip('"').lower(),
                         f"{game}\\main.exe".lower())

    def assert_start_game_only_drags(self, launcher):
        launcher.press(START_BUTTON)
        time.sleep(2.0)
        self.assertTrue(launcher.running(), "START GAME closed the launcher")
        self.assertFalse((self.game / RECORD).exists(), "the game client was started")

    def status_mask(self, screen):
        return set(screen.white_mask(100, 475, 800, 500))

    def test_updates_against_the_test_server_and_starts_the_game(self):
        served = self.make_patch()
        server = self.start(PatchServer(self.patch, self.work))
        launcher = self.start(Launcher(self.game))
        self.assertTrue(self.wait_until_current(served), "the game folder was not brought up to date")
        time.sleep(1.5)
        screen = launcher.screen("updated.png")

        self.assert_game_matches(served)
        fetched = sorted(line.split()[-1] for line in server.requests())
        self.assertEqual(fetched, sorted(["/patch/manifest.json", "/patch/manifest.json.sig",
                                          "/patch/data/outdated.pak", "/patch/data/changed.pak",
                                          "/patch/data/maps/new.map", "/patch/notes.txt"]))
        # The full progress bar and a status line.
        self.assertEqual(screen.pixel(795, 510), (0x00, 0xB4, 0x78))
        self.assertEqual(screen.pixel(105, 510), (0x00, 0xB4, 0x78))
        self.assertGreater(len(self.status_mask(screen)), 100)
        self.assert_start_game_launches(launcher)

    def test_updates_over_https_against_nginx(self):
        served = self.make_patch()
        nginx = self.start(Nginx(self.server_root, self.work))
        launcher = self.start(Launcher(self.game, exe=BUILD / "tests" / "LauncherTls.exe"))
        self.assertTrue(self.wait_until_current(served), "the game folder was not brought up to date")
        self.assert_game_matches(served)
        self.assertEqual(len([r for r in nginx.requests() if "GET /patch/" in r]), 6)
        self.assert_start_game_launches(launcher)

    def test_killed_and_reset_downloads_resume_against_nginx(self):
        """A run killed in a.pak leaves its staging file; the next run asks
        nginx for the rest of it (206), then loses b.pak's connection to an
        nginx restart and asks the new nginx for the rest of that."""
        files = {name: blob(name, 32 << 20) for name in ("a.pak", "b.pak")}
        self.patch.mkdir(parents=True)
        for name, data in files.items():
            (self.patch / name).write_bytes(data)
        subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(self.patch),
                        "--sign", str(SIGNING_KEY), "--version", "1"], check=True, capture_output=True)
        self.game.mkdir(parents=True)
        nginx = [Nginx(self.server_root, self.work, rate="8m")]
        self.cleanups.append(lambda: nginx[-1].stop())

        def staged(name, size):
            part = self.game / (name + ".launcher-part")
            return wait_for(lambda: part.exists() and part.stat().st_size >= size, 60)

        first = Launcher(self.game, exe=BUILD / "tests" / "LauncherTls.exe")
        started = staged("a.pak", 8 << 20)
        first.kill()
        self.assertTrue(started, "the download never got going")
        kept = (self.game / "a.pak.launcher-part").stat().st_size
        self.start(Launcher(self.game, exe=BUILD / "tests" / "LauncherTls.exe"))
        self.assertTrue(staged("b.pak", 8 << 20), "the second run did not get to b.pak")
        nginx[-1].stop()
        nginx.append(Nginx(self.server_root, self.work, rate="8m"))
        self.assertTrue(self.wait_until_current(files), "the files were not completed")
        # nginx logs no request that its restart cut off.
        log = [line.split() for line in nginx[-1].requests() if "/patch/" in line]
        got = [(l[1], l[3], l[5]) for l in log if not l[1].startswith("/patch/manifest.json")]
        self.assertEqual(got[:3], [("/patch/a.pak", "200", '"-"'),
                                   ("/patch/a.pak", "206", f'"bytes={kept}-"'),
                                   ("/patch/b.pak", "206", got[2][2])])
        resumed = int(got[2][2][7:-2])
        self.assertGreaterEqual(resumed, 8 << 20)
        # Each 206 sends the rest of the file and nothing more.
        self.assertEqual([int(l[4]) for l in log if l[3] == "206"],
                         [(32 << 20) - kept, (32 << 20) - resumed])
        self.assertEqual(list(self.game.glob("*.launcher-part")), [])

    def test_a_manifest_changed_after_signing_changes_nothing(self):
        self.make_patch()
        manifest = self.patch / "manifest.json"
        manifest.write_bytes(manifest.read_bytes().replace(b'"version": 1', b'"version": 2'))
        before = {path: path.read_bytes() for path in self.game.rglob("*") if path.is_file()}
        server = self.start(PatchServer(self.patch, self.work))
        launcher = self.start(Launcher(self.game))
        self.assertTrue(wait_for(lambda: len(server.requests()) >= 2, 15))
        self.assert_start_game_only_drags(launcher)
        self.assertEqual(server.requests(), ["/patch/manifest.json", "/patch/manifest.json.sig"])
        self.assertEqual({path: path.read_bytes() for path in self.game.rglob("*") if path.is_file()}, before)

    def run_without_server(self, with_client):
        self.game.mkdir(parents=True)
        if with_client:
            shutil.copy(STUB, self.game / "Main.exe")
        launcher = self.start(Launcher(self.game))
        time.sleep(4.0)
        return launcher

    def test_no_server_falls_back_to_the_client_being_present(self):
        launcher = self.run_without_server(with_client=True)
        self.assert_start_game_launches(launcher)
        self.assertIn(b"Manifest failed. Fallback...\n", launcher.kill().replace(b"\r\n", b"\n"))

    def test_no_server_and_no_client_fails(self):
        launcher = self.run_without_server(with_client=False)
        failed = launcher.screen("no-server.png")
        self.assert_start_game_only_drags(launcher)
        self.assertIn(b"Manifest failed. Fallback...", launcher.kill())
        self.assertGreater(len(self.status_mask(failed)), 100)

    def test_server_answering_404_fails_the_update(self):
        # An empty root: every request, the manifest included, answers 404.
        empty = self.work / "empty"
        empty.mkdir()
        self.game.mkdir(parents=True)
        shutil.copy(STUB, self.game / "Main.exe")
        server = self.start(PatchServer(empty, self.work))
        launcher = self.start(Launcher(self.game))
        self.assertTrue(wait_for(lambda: server.requests(), 15))
        time.sleep(2.0)
        failed = launcher.screen("404.png")
        self.assert_start_game_only_drags(launcher)
        self.assertNotIn(b"Fallback", launcher.kill())

        server.stop()
        self.cleanups.remove(server.stop)

        # A pass without any server and without a client fails with the
        # same status text, "Error: Check your connection.".
        shutil.rmtree(self.game)
        reference_launcher = self.run_without_server(with_client=False)
        reference = reference_launcher.screen("no-server-reference.png")
        reference_launcher.kill()
        mask, ref = self.status_mask(failed), self.status_mask(reference)
        self.assertGreater(len(mask), 100)
        overlap = len(mask & ref) / max(len(mask | ref), 1)
        self.assertGreater(overlap, 0.9, "the status line is not the connection error")

    def test_settings_panel_saves_to_the_registry(self):
        subprocess.run(["wine", "reg", "delete", CONFIG_KEY, "/f"], capture_output=True)
        self.game.mkdir(parents=True)
        launcher = self.start(Launcher(self.game))
        launcher.press(SETTINGS_BUTTON)
        launcher.press((259, 239))        # Window Mode: on -> off
        launcher.press((500, 360))        # volume: (500 - 400) * 9 / 200 = 4
        launcher.press((500, 195))        # open the resolution list
        launcher.press((500, 180 + 25 * 8 + 12))  # row 8: 1920x1080
        launcher.screen("settings.png")
        launcher.press((450, 432))        # SAVE & ACCEPT
        launcher.kill()
        out = subprocess.run(["wine", "reg", "query", CONFIG_KEY], capture_output=True,
                             text=True, errors="replace").stdout
        values = {}
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] == "REG_DWORD":
                values[parts[0]] = int(parts[2], 16)
        self.assertEqual(values, {"WindowMode": 0, "SoundOnOFF": 1, "MusicOnOFF": 1,
                                  "VolumeLevel": 4, "Resolution": 8})


if __name__ == "__main__":
    unittest.main(verbosity=2)
