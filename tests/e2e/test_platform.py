#!/usr/bin/env python3
"""End-to-end: the launcher replaces its own file and restarts, and runs once
per game folder. Run inside scripts/sandbox.sh, like test_e2e.py.
Usage: test_platform.py BUILD_DIR
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_e2e import (BUILD, LAUNCHER_KEY, RECORD, REPO, SIGNING_KEY, START_BUTTON, STUB, PatchServer,  # noqa: E402
                      blob, delete_keys, press, screen_at, wait_for, xdo)

NEXT = BUILD / "tests" / "next" / "Launcher.exe"  # the same launcher, version 1.0.0.2


def delete_value(key, name):
    subprocess.run(["wine", "reg", "delete", key, "/v", name, "/f"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def windows():
    return set(xdo("search", "--onlyvisible", "--name", "^Zovra Launcher$").stdout.split())


class PlayerMachine(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="e2e-platform-", dir=BUILD))
        self.started = []
        delete_keys(LAUNCHER_KEY)

    def tearDown(self):
        self.stop_all()
        shutil.rmtree(self.work, ignore_errors=True)

    def stop_all(self):
        for pid in (xdo("getwindowpid", wid).stdout.strip() for wid in windows()):
            if pid:
                os.kill(int(pid), signal.SIGKILL)
        for process in self.started:
            process.kill()
        self.started.clear()
        wait_for(lambda: not windows(), 10)

    def start(self, exe, game):
        """Starts a launcher and waits for its window."""
        before = windows()
        self.started.append(subprocess.Popen(["wine", str(exe)], cwd=game, stderr=subprocess.DEVNULL))
        self.assertTrue(wait_for(lambda: windows() - before, 30), "the launcher window did not appear")

    @staticmethod
    def origin():
        """Where every launcher window is: centred on the screen."""
        shell = xdo("getwindowgeometry", "--shell", min(windows())).stdout.split()
        shell = dict(item.split("=") for item in shell)
        return int(shell["X"]), int(shell["Y"])

    def bar_is_full(self):
        """The progress bar of the window in front: full once a download has finished."""
        return screen_at(self.origin())(795, 510) == (0x00, 0xB4, 0x78)

    def test_the_launcher_replaces_itself_and_runs_once_per_folder(self):
        game, other = self.work / "my games" / "zovra online", self.work / "other game"
        patch = self.work / "patch"
        served = {"Launcher.exe": NEXT.read_bytes(), "Main.exe": STUB.read_bytes(),
                  "zz-late.dat": blob("late", 50_000)}
        for folder, files in ((patch, served), (game, {"Main.exe": served["Main.exe"]}), (other, {})):
            folder.mkdir(parents=True)
            for name, data in files.items():
                (folder / name).write_bytes(data)
        old = (BUILD / "Launcher.exe").read_bytes()
        (game / "Launcher.exe").write_bytes(old)
        subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(patch),
                        "--sign", str(SIGNING_KEY), "--version", "1"], check=True, stdout=subprocess.DEVNULL)
        # Slow to come, after the launcher's own file: the pass goes on while
        # the old file waits aside.
        (patch / "zz-late.dat.how").write_text("delay=1500")
        server = PatchServer(patch, self.work)
        self.addCleanup(server.stop)
        manifests = lambda: server.requests().count("/patch/manifest.json")  # noqa: E731

        self.start(game / "Launcher.exe", game)
        aside = game / "Launcher.exe.launcher-old"
        # Between the two moves the new file is not in place yet.
        launcher = game / "Launcher.exe"
        self.assertTrue(wait_for(lambda: aside.exists() and launcher.exists(), 30, step=0.05),
                        "the running launcher was not renamed aside")
        self.assertEqual((aside.read_bytes(), launcher.read_bytes()), (old, NEXT.read_bytes()))
        self.assertEqual(self.started[0].wait(timeout=30), 0)  # by the window's id: X reuses it
        self.assertTrue(wait_for(lambda: manifests() == 2 and windows() and not aside.exists(), 30),
                        "the new launcher did not run")
        data = launcher.read_bytes()
        # The fixed part after the resource's name (the code may hold the signature too).
        info = data.index(struct.pack("<I", 0xFEEF04BD), data.index("VS_VERSION_INFO".encode("utf-16-le")))
        ms, ls = struct.unpack_from("<II", data, info + 8)
        self.assertEqual((ms, ls), (0x10000, 2))  # version 1.0.0.2

        # A launcher in another folder runs its own pass and downloads: its
        # window, in front, has a full bar; the restarted one's stays empty.
        self.start(BUILD / "Launcher.exe", other)
        self.assertTrue(wait_for(lambda: manifests() == 3 and self.bar_is_full(), 30))
        requests, began = len(server.requests()), time.time()
        second = subprocess.Popen(["wine", str(BUILD / "Launcher.exe")], cwd=game)
        self.assertEqual(second.wait(timeout=20), 0)
        self.assertLess(time.time() - began, 3.0)  # mostly Wine starting a program
        self.assertEqual((len(server.requests()), len(windows())), (requests, 2))
        self.assertTrue(wait_for(lambda: not self.bar_is_full(), 5),
                        "the first window did not come to the front")

        xdo("mousemove", self.origin()[0] + START_BUTTON[0], self.origin()[1] + START_BUTTON[1])
        time.sleep(0.3)
        xdo("click", "1")
        self.assertTrue(wait_for((game / RECORD).exists, 15), "START GAME did not start the client")
        quoted = f'"Z:{game}/Main.exe"'.replace("/", "\\")
        self.assertIn(f"commandline={quoted}\n", (game / RECORD).read_text())

    def test_the_window_scales_with_the_prefixs_dpi(self):
        """At 144 and 192 DPI (the prefix's LogPixels) the window is 1350 x 825 and 1800 x 1100 and
        presses count within the scaled rectangles. Edges are hard: lighting X changes no pixel beside
        its edge and makes the one inside it exactly its colour; at 192 the picture beside it is the
        one twice the size, pixel for pixel (dots never rise that high)."""
        desktop = r"HKCU\Control Panel\Desktop"
        self.addCleanup(delete_value, desktop, "LogPixels")
        twice = subprocess.run(["convert", str(REPO / "Launcher/resources/background-2x.png"), "-depth", "8",
                                "rgb:-"], capture_output=True, check=True).stdout
        for dpi in (144, 192):
            px = lambda design: (design * dpi + 48) // 96  # noqa: E731
            subprocess.run(["wine", "reg", "add", desktop, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi),
                            "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            game = self.work / str(dpi)
            game.mkdir()
            self.start(BUILD / "Launcher.exe", game)
            wid = max(windows())
            shell = dict(v.split("=") for v in xdo("getwindowgeometry", "--shell", wid).stdout.split())
            ox, oy = int(shell["X"]), int(shell["Y"])
            self.assertEqual((int(shell["WIDTH"]), int(shell["HEIGHT"])), (px(900), px(550)), dpi)

            def shot():
                raw = subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "rgb:-"],
                                     capture_output=True, check=True).stdout
                return lambda x, y: tuple(raw[((oy + y) * 1920 + ox + x) * 3:][:3])
            edge, middle = px(860), (px(10) + px(40)) // 2  # X's left edge
            xdo("mousemove", ox + 5, oy + 5)
            self.assertTrue(wait_for(lambda: shot()(edge, middle) == (0x96, 0x1E, 0x1E), 20), dpi)
            plain = shot()
            xdo("mousemove", ox + edge + 5, oy + middle)
            self.assertTrue(wait_for(lambda: shot()(edge, middle) == (0xDC, 0x3C, 0x3C), 10), dpi)
            self.assertEqual(shot()(edge - 1, middle), plain(edge - 1, middle), dpi)
            if dpi == 192:
                at = ((middle * 1800) + edge - 1) * 3
                self.assertEqual(plain(edge - 1, middle), tuple(twice[at:at + 3]))
            # SETTINGS near its far corner: outside its rectangle at 96 DPI.
            press((ox, oy), (px(260) - 3, px(450) - 3))
            panel = px(210), px(300)
            self.assertTrue(wait_for(lambda: shot()(*panel) == (0x19, 0x19, 0x19), 10), dpi)
            self.stop_all()


if __name__ == "__main__":
    unittest.main(verbosity=2)
