#!/usr/bin/env python3
"""End-to-end tests: the real Launcher.exe under Wine and Xvfb, in a fresh game folder, against a
stock static server (nginx, over TLS) and the project's patch server on loopback. Run inside
scripts/sandbox.sh (CTest does). Usage: test_e2e.py BUILD_DIR"""
import hashlib
import os
import shutil
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
TLS_LAUNCHER = BUILD / "tests" / "tls" / "Launcher.exe"  # the same launcher for https://localhost/patch/
PROBE = BUILD / "tests" / "probe" / "AccessProbe.exe"  # a screen reader's view, from another process
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "support"))
from demo import SETTINGS_BUTTON, SAVE_BUTTON, START_BUTTON, content, press, x  # noqa: E402  the demo's driver
import testcerts  # noqa: E402
xdo, blob = x, content


def make_manifest(patch, version=1, *more):
    subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(patch),
                    "--sign", str(SIGNING_KEY), "--version", str(version), *more], check=True, capture_output=True)


# Every test publishes version 1: the versions seen before (the demo's too) go. Without pipes:
# the first Wine program of a session starts Wine's own services, which would keep a pipe open.
def delete_keys(*keys):
    for key in keys:
        subprocess.run(["wine", "reg", "delete", key, "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(predicate, timeout, step=0.2):
    deadline = time.time() + timeout
    while not predicate() and time.time() < deadline:
        time.sleep(step)
    return predicate()


def rgb(*command):
    """The 900 x 550 picture that an ImageMagick command writes, as a function of (x, y)."""
    raw = subprocess.run([*command, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    return lambda x, y: tuple(raw[(y * 900 + x) * 3:(y * 900 + x) * 3 + 3])


def screen_at(origin):
    """The 900 x 550 window whose top left corner is at origin, as on the screen now."""
    return rgb("import", "-silent", "-window", "root", "-crop", "900x550+%d+%d" % origin, "+repage")


def accessible_tree():
    """Child id (0 the window's client area) -> [name, role, state, value, "x,y,w,h", child hit at its
    middle], and "focus" -> [child], as AccessProbe reads them from the running launcher."""
    out = subprocess.run(["wine", str(PROBE), "tree"], capture_output=True, text=True, timeout=60).stdout
    return {row[0]: row[1:] for row in (line.split("\t") for line in out.splitlines())}


class PatchServer:
    """The project's patch server on 127.0.0.1:80, logging the paths asked for."""

    def __init__(self, root, workdir):
        self.log = workdir / "requests.log"
        self.log.unlink(missing_ok=True)
        self.process = subprocess.Popen([sys.executable, str(REPO / "scripts" / "patch_server.py"), "--root",
                                         str(root), "--port", "80", "--log", str(self.log)])
        if not wait_for(self.log.exists, 10):
            self.stop()
            raise AssertionError("the patch server did not start")

    def requests(self):
        return [line for line in self.log.read_text().splitlines() if line.strip()]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Launcher:
    def __init__(self, game, exe=BUILD / "Launcher.exe"):
        self.process = subprocess.Popen(["wine", str(exe)], cwd=game,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        found = wait_for(lambda: x("search", "--onlyvisible", "--name", "^Zovra Launcher$").stdout.split(), 30)
        if not found:
            self.kill()
            raise AssertionError("the launcher window did not appear")
        shell = dict(v.split("=", 1) for v in x("getwindowgeometry", "--shell", found[0]).stdout.split())
        self.origin = int(shell["X"]), int(shell["Y"])

    def press(self, point):
        press(self.origin, point)

    def screen(self):
        return screen_at(self.origin)

    def running(self):
        return self.process.poll() is None

    def kill(self):
        """Ends the launcher if it still runs; what it printed."""
        if self.running():
            self.process.kill()
        out, _ = self.process.communicate(timeout=10)
        return (out or b"").replace(b"\r\n", b"\n")


class Nginx:
    """A stock static server: nginx serving server_root over HTTPS on 127.0.0.1:443, with a
    certificate for localhost from the tests' CA, at most `rate` bytes a second per request."""

    def __init__(self, server_root, workdir, rate="0"):
        d = self.dir = workdir / "nginx"
        d.mkdir(exist_ok=True)
        cert = d / "localhost.pem"
        cert.write_bytes(testcerts.pem(testcerts.certificate("localhost", testcerts.trusted_ca(str(BUILD)))))
        # Only uid 0 is mapped inside the unprivileged namespace.
        temp = " ".join(f"{k}_temp_path {d}/{k};" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (d / "pid").unlink(missing_ok=True)
        (d / "nginx.conf").write_text(
            f"user root root; daemon off; pid {d}/pid; error_log {d}/error.log; events {{ }}\n"
            f"http {{ log_format t '$request $status $body_bytes_sent \"$http_range\"';\n"
            f"access_log {d}/access.log t; {temp} default_type application/octet-stream;\n"
            f"server {{ listen 127.0.0.1:443 ssl; ssl_certificate {cert}; ssl_certificate_key {cert};\n"
            f"root {server_root}; location /patch/ {{ limit_rate {rate}; }} }} }}\n")
        self.process = subprocess.Popen(["nginx", "-c", str(d / "nginx.conf"), "-p", str(d)],
                                        stderr=subprocess.DEVNULL)
        if not wait_for((d / "pid").exists, 10):
            self.stop()
            raise AssertionError("nginx did not start")

    def log(self):
        """(path, status, bytes sent, Range asked for) of each request, in order."""
        log = self.dir / "access.log"
        return [(f[1], f[3], int(f[4]), f[5].strip('"')) for f in map(str.split, log.read_text().splitlines())
                ] if log.exists() else []

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="e2e-", dir=BUILD))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.game, self.server_root = self.work / "game", self.work / "server"
        self.patch = self.server_root / "patch"
        self.game.mkdir()
        x("mousemove", 0, 0)  # a pointer left over a button by another test would light it
        delete_keys(CONFIG_KEY, LAUNCHER_KEY)

    def start(self, obj):
        self.addCleanup(obj.stop if hasattr(obj, "stop") else obj.kill)
        return obj

    def make_patch(self):
        """A patch root and a game folder holding one current, one outdated (other length, a
        delta of the old one), one changed (same length) and two missing files, one in a
        subfolder."""
        outdated = content("outdated-v1", 3_000_000)
        served = {"Main.exe": STUB.read_bytes(), "current.dat": content("current", 40_000),
                  "data/outdated.pak": outdated[:1_000_000] + b"inserted" + outdated[1_000_000:],
                  "data/changed.pak": content("changed-v2", 500_000),
                  "data/maps/new.map": content("new-map", 123_457), "notes.txt": b"hello\r\n"}
        start = {"Main.exe": served["Main.exe"], "current.dat": served["current.dat"],
                 "data/outdated.pak": outdated,
                 "data/changed.pak": content("changed-v1", 500_000)}
        for root, files in ((self.patch, served), (self.game, start)):
            for rel, data in files.items():
                (root / rel).parent.mkdir(parents=True, exist_ok=True)
                (root / rel).write_bytes(data)
        make_manifest(self.patch)
        return served

    def wait_until_current(self, served):
        return wait_for(lambda: all((self.game / rel).is_file() and (self.game / rel).read_bytes() == data
                                    for rel, data in served.items()), 60)

    def assert_start_game_launches(self, launcher, press=None):
        """START GAME starts the client with no arguments in the game folder while the launcher
        holds the mutex, and the launcher closes (1.5 s later: the game tests)."""
        time.sleep(1.0)  # the outcome report follows the last file
        (press or (lambda: launcher.press(START_BUTTON)))()
        self.assertTrue(wait_for(lambda: not launcher.running(), 15), "the launcher did not close")
        self.assertTrue(wait_for((self.game / RECORD).exists, 10), "the game client did not start")
        lines = (self.game / RECORD).read_text(errors="replace").lower().splitlines()
        fields = dict(line.split("=", 1) for line in lines)
        game = "z:" + str(self.game).replace("/", "\\").lower()
        self.assertEqual((fields["mutex"], fields["cwd"], fields["commandline"].strip('"')),
                         ("held", game, game + "\\main.exe"))

    def assert_start_game_only_drags(self, launcher):
        launcher.press(START_BUTTON)
        self.assertFalse(wait_for(lambda: not launcher.running(), 2), "START GAME closed the launcher")
        self.assertFalse((self.game / RECORD).exists(), "the game client was started")

    def status_text_pixels(self, screen):
        return sum(min(screen(x, y)) >= 200 for y in range(475, 500) for x in range(100, 800))

    def test_updates_against_nginx_saves_settings_and_starts_the_game(self):
        served = self.make_patch()
        server = self.start(Nginx(self.server_root, self.work))
        launcher = self.start(Launcher(self.game, TLS_LAUNCHER))
        self.assertTrue(self.wait_until_current(served), "the game folder was not brought up to date")
        time.sleep(1.5)
        pack = hashlib.sha256(served["data/outdated.pak"]).hexdigest()
        self.assertEqual(sorted(e[0] for e in server.log()), ["/patch/" + p for p in (
            f"blocks/{pack}.blocks", "data/changed.pak", "data/maps/new.map", "data/outdated.pak",
            "manifest.json", "manifest.json.sig", "notes.txt")])
        # The outdated pack came as a delta: one range of a block, against nginx.
        self.assertEqual([(e[1], e[3]) for e in server.log() if e[0] == "/patch/data/outdated.pak"],
                         [("206", "bytes=999424-1003519")])
        # The picture from the program's resources at 1:1 where the dots never
        # come, NEWS with its label, START GAME, the full bar and a status line.
        screen, picture = launcher.screen(), rgb("convert", str(REPO / "Launcher/resources/background.png"))
        for x, y in ((450, 100), (30, 30), (700, 250), (300, 200)):
            self.assertEqual(screen(x, y), picture(x, y), (x, y))
        self.assertEqual([screen(90, 322), screen(632, 450), screen(105, 510), screen(795, 510)],
                         [(40, 40, 40), (0, 180, 120), (0, 180, 120), (0, 180, 120)])
        self.assertGreater(sum(screen(x, y) == (255, 255, 255) for x in range(80, 260) for y in range(280, 305)), 8)
        self.assertGreater(self.status_text_pixels(screen), 100)
        # SETTINGS; Window Mode on -> off; volume (500 - 400) * 9 / 200 = 4;
        # the list and its row 8 (1920x1080); SAVE & ACCEPT.
        for point in (SETTINGS_BUTTON, (259, 239), (500, 360), (500, 195), (500, 392), SAVE_BUTTON):
            launcher.press(point)
        out = subprocess.run(["wine", "reg", "query", CONFIG_KEY], capture_output=True, text=True, errors="replace")
        values = {p[0]: int(p[2], 16) for p in map(str.split, out.stdout.splitlines()) if p[1:2] == ["REG_DWORD"]}
        self.assertEqual(values, {"WindowMode": 0, "SoundOnOFF": 1, "MusicOnOFF": 1, "VolumeLevel": 4, "Resolution": 8})
        self.assert_start_game_launches(launcher)

    def test_a_screen_reader_and_the_keyboard_reach_every_control(self):
        """The accessible tree while a file is slow to come and after the pass, the events that told of
        the changes, then Tab (the ring appears only now), Shift+Tab round to START GAME and Space."""
        served = self.make_patch()
        (self.patch / "notes.txt.how").write_text("delay=4000")
        self.start(PatchServer(self.patch, self.work))
        launcher = self.start(Launcher(self.game))
        events = subprocess.Popen(["wine", str(PROBE), "events"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(events.kill)
        self.assertEqual(events.stdout.readline(), "listening\n")
        self.assertEqual(int(accessible_tree()["4"][2], 16) & 1, 1, "START GAME available during the pass")
        self.assertTrue(self.wait_until_current(served), "the game folder was not brought up to date")
        time.sleep(1.5)
        tree, (ox, oy) = accessible_tree(), launcher.origin
        self.assertEqual([tree[str(i)][0] for i in range(1, 13)], [
            "NEWS", "RANKING", "SETTINGS", "START GAME", "X", "Resolution", "Window Mode", "Sound Effects",
            "Background Music", "Volume", "SAVE & ACCEPT", "All files are up to date!"])
        self.assertEqual([(int(tree[str(i)][1]), tree[str(i)][2]) for i in range(14)], list(zip(
            [10] + [43] * 5 + [46, 44, 44, 44, 51, 43, 41, 48],
            ["100004"] + ["100000"] * 5 + ["8400", "8010", "8010", "8010", "8000", "8000", "40", "40"])))
        self.assertEqual([tree[i][3] for i in ("6", "10", "13")], ["1440x900", "5", "100%"])
        self.assertEqual([tree[i][4] for i in ("0", "1", "13")], [f"{ox},{oy},900,550", f"{ox + 80},{oy + 280},180,50",
                                                                 f"{ox + 100},{oy + 500},700,20"])
        self.assertEqual([tree[str(i)][5] for i in range(14)], [str(i) for i in range(6)] + ["0"] * 6 + ["12", "13"])
        self.assertEqual(tree["focus"], ["0"])
        ring = lambda: launcher.screen()(83, 305)  # noqa: E731  inside NEWS, left of its label
        launcher.press((450, 100))  # the keys' window, the X server's focus moved by a click; no ring
        self.assertEqual(ring(), (40, 40, 40))
        x("key", "Tab")
        self.assertTrue(wait_for(lambda: accessible_tree()["focus"] == ["1"], 10), "Tab did not focus NEWS")
        self.assertGreaterEqual(min(ring()), 200)
        events.kill()
        heard = {tuple(line.split("\t")[1:]) for line in events.communicate()[0].splitlines()}
        self.assertLessEqual({("800c", "12"), ("800a", "4"), ("8005", "1")}, heard)
        self.assert_start_game_launches(launcher, lambda: x("key", "shift+Tab", "shift+Tab", "space"))

    def test_a_manifest_changed_after_signing_changes_nothing(self):
        self.make_patch()
        manifest = self.patch / "manifest.json"
        manifest.write_bytes(manifest.read_bytes().replace(b'"version": 1', b'"version": 2'))
        # The launcher's log is its own; the game files are what must not change.
        files = lambda: {p: p.read_bytes() for p in self.game.rglob("*")  # noqa: E731
                         if p.is_file() and not p.name.startswith("Launcher.log")}
        before = files()
        server = self.start(PatchServer(self.patch, self.work))
        launcher = self.start(Launcher(self.game))
        # The pair is fetched once more 2 s later (an upload may have been under way).
        self.assertTrue(wait_for(lambda: len(server.requests()) >= 4, 15))
        self.assert_start_game_only_drags(launcher)
        self.assertEqual(server.requests(), ["/patch/manifest.json", "/patch/manifest.json.sig"] * 2)
        self.assertEqual(files(), before)

    def test_killed_and_reset_downloads_resume_against_nginx(self):
        """A run killed in the middle of both files leaves their staging files; the next run goes on
        from them, loses its connections to an nginx restart and asks the new nginx for the rest."""
        size = 32 << 20
        files = {name: content(name, size) for name in ("a.pak", "b.pak")}
        self.patch.mkdir(parents=True)
        for name, data in files.items():
            (self.patch / name).write_bytes(data)
        make_manifest(self.patch)
        nginx = [Nginx(self.server_root, self.work, rate="8m")]
        self.addCleanup(lambda: nginx[-1].stop())
        staged = lambda name: sum(p.stat().st_size for p in self.game.glob(name + ".launcher-part"))  # noqa: E731

        first = Launcher(self.game, TLS_LAUNCHER)
        started = wait_for(lambda: min(map(staged, files)) >= 4 << 20, 60)
        first.kill()
        self.assertTrue(started, "the downloads never got going")
        kept = {name: staged(name) for name in files}
        self.start(Launcher(self.game, TLS_LAUNCHER))
        self.assertTrue(wait_for(lambda: all(staged(n) >= kept[n] + (4 << 20) for n in files), 60),
                        "the second run did not go on with both files")
        nginx[-1].stop()
        nginx.append(Nginx(self.server_root, self.work, rate="8m"))
        self.assertTrue(self.wait_until_current(files), "the files were not completed")
        # nginx logs no request that its restart cut off: per file the killed 200,
        # then the 206 that sent the rest and nothing more, from beyond what the
        # second run had added to what the first one kept.
        for name in files:
            got = [e for e in nginx[-1].log() if e[0] == "/patch/" + name]
            self.assertEqual([e[1] for e in got], ["200", "206"], name)
            resumed = int(got[1][3][6:-1])
            self.assertGreaterEqual(resumed, kept[name] + (4 << 20), name)
            self.assertEqual(got[1][2], size - resumed, name)
        self.assertEqual(list(self.game.glob("*.launcher-part")), [])

    def test_no_server_and_no_client_fails(self):
        launcher = self.start(Launcher(self.game))
        # Three attempts at the manifest, 1 s and 3 s apart, then the outcome.
        self.assertTrue(wait_for(lambda: self.status_text_pixels(launcher.screen()) > 100, 15))
        self.assert_start_game_only_drags(launcher)
        self.assertIn(b"Manifest failed. Fallback...\n", launcher.kill())


if __name__ == "__main__":
    unittest.main(verbosity=2)
