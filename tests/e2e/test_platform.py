#!/usr/bin/env python3
"""End-to-end tests of what players' machines need: the launcher replaces its
own file and restarts, and runs once per game folder.

Run inside scripts/sandbox.sh, like test_e2e.py. Usage: test_platform.py BUILD_DIR
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
from test_e2e import (BUILD, RECORD, REPO, START_BUTTON, STUB, PatchServer, Screen, blob,  # noqa: E402
                      wait_for, xdo)

NEXT = BUILD / "tests" / "next" / "Launcher.exe"  # the same launcher, version 1.0.0.2
BAR_END, GREEN = (795, 510), (0x00, 0xB4, 0x78)  # a finished download fills the bar


def file_version(path):
    """The version in the file's VS_FIXEDFILEINFO."""
    data = path.read_bytes()
    ms, ls = struct.unpack_from("<II", data, data.index(struct.pack("<I", 0xFEEF04BD)) + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def windows():
    return set(xdo("search", "--onlyvisible", "--name", "^Zovra Launcher$").stdout.split())


class Window:
    def __init__(self, wid):
        self.wid = wid
        shell = xdo("getwindowgeometry", "--shell", wid).stdout.split()
        values = dict(item.split("=", 1) for item in shell if "=" in item)
        self.origin = int(values["X"]), int(values["Y"])

    def press(self, point):
        xdo("mousemove", self.origin[0] + point[0], self.origin[1] + point[1])
        time.sleep(0.3)
        xdo("click", "1")

    def bar_is_full(self):
        return Screen(self.origin, BUILD / "e2e-screens" / "platform.png").pixel(*BAR_END) == GREEN

    def kill(self):
        pid = xdo("getwindowpid", self.wid).stdout.strip()
        if pid:
            os.kill(int(pid), signal.SIGKILL)


class PlayerMachine(unittest.TestCase):
    def setUp(self):
        (BUILD / "e2e-screens").mkdir(exist_ok=True)
        self.work = Path(tempfile.mkdtemp(prefix="e2e-platform-", dir=BUILD))
        self.patch = self.work / "server" / "patch"
        self.server = None
        self.started = []

    def tearDown(self):
        for wid in windows():
            Window(wid).kill()
        for process in self.started:
            process.kill()
            process.wait()
        if self.server:
            self.server.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def serve(self, files, how=None):
        for rel, data in files.items():
            (self.patch / rel).parent.mkdir(parents=True, exist_ok=True)
            (self.patch / rel).write_bytes(data)
        subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(self.patch)],
                       check=True, capture_output=True)
        for rel, directives in (how or {}).items():  # after the manifest, which must not list it
            (self.patch / (rel + ".how")).write_text(directives)
        self.server = PatchServer(self.patch, self.work)

    def manifest_requests(self):
        return self.server.requests().count("/patch/manifest.json")

    def start(self, exe, game):
        """Starts a launcher and returns its window: the one that was not there before."""
        before = windows()
        self.started.append(subprocess.Popen(["wine", str(exe)], cwd=game, stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL))
        wid = wait_for(lambda: next(iter(windows() - before), None), 30)
        self.assertTrue(wid, "the launcher window did not appear")
        return Window(wid)

    def test_replaces_its_own_file_and_restarts_as_the_new_version(self):
        game = self.work / "my games" / "zovra online"  # blanks: the restart quotes its path
        game.mkdir(parents=True)
        old = (BUILD / "Launcher.exe").read_bytes()
        (game / "Launcher.exe").write_bytes(old)
        shutil.copy(STUB, game / "Main.exe")
        # A file after the launcher's, slow to come: the pass goes on after the
        # launcher was replaced, and the old file waits aside meanwhile.
        self.serve({"Launcher.exe": NEXT.read_bytes(), "Main.exe": STUB.read_bytes(),
                    "zz-late.dat": blob("late", 50_000)}, {"zz-late.dat": "delay=1500"})
        first = self.start(game / "Launcher.exe", game)
        aside = game / "Launcher.exe.launcher-old"
        self.assertTrue(wait_for(aside.exists, 30, step=0.05), "the running launcher was not renamed aside")
        self.assertEqual(aside.read_bytes(), old)
        self.assertEqual((game / "Launcher.exe").read_bytes(), NEXT.read_bytes())
        self.assertTrue(wait_for(lambda: first.wid not in windows(), 30), "the old launcher did not close")
        self.assertEqual(self.started[0].wait(timeout=10), 0)

        second = Window(wait_for(lambda: next(iter(windows()), None), 30))
        self.assertTrue(wait_for(lambda: self.manifest_requests() == 2, 30),
                        "the new launcher did not run its pass")
        self.assertTrue(wait_for(lambda: not aside.exists(), 10), "the old launcher's file was left")
        self.assertEqual(file_version(game / "Launcher.exe"), "1.0.0.2")
        time.sleep(1.0)  # the outcome report follows the manifest
        second.press(START_BUTTON)
        self.assertTrue(wait_for((game / RECORD).exists, 15), "START GAME did not start the client")
        self.assertTrue(wait_for(lambda: not windows(), 15))
        self.assertIn(f'commandline="Z:{game}\\Main.exe"'.replace("/", "\\"),
                      (game / RECORD).read_text())

    def test_a_second_launcher_in_the_same_folder_brings_the_first_to_the_front(self):
        files = {"Main.exe": STUB.read_bytes(), "data.bin": blob("data", 200_000)}
        self.serve(files)
        # The first one downloads (its bar fills); the one in another folder
        # has every file (its bar stays empty).
        mine, other = self.work / "my game", self.work / "other game"
        for folder in (mine, other):
            folder.mkdir()
            shutil.copy(STUB, folder / "Main.exe")
        (other / "data.bin").write_bytes(files["data.bin"])
        first = self.start(BUILD / "Launcher.exe", mine)
        self.assertTrue(wait_for(first.bar_is_full, 30))
        self.start(BUILD / "Launcher.exe", other)
        self.assertTrue(wait_for(lambda: self.manifest_requests() == 2, 30),
                        "a launcher in another folder did not run its pass")
        time.sleep(1.0)
        self.assertFalse(first.bar_is_full(), "the newer window is not in front")

        requests = len(self.server.requests())
        began = time.time()
        second = subprocess.Popen(["wine", str(BUILD / "Launcher.exe")], cwd=mine)
        self.started.append(second)
        self.assertEqual(second.wait(timeout=20), 0)
        # Wine alone takes a good part of this to start a program.
        print(f"second launcher gone after {time.time() - began:.2f} s", file=sys.stderr)
        self.assertLess(time.time() - began, 3.0)
        self.assertEqual(len(self.server.requests()), requests)
        self.assertEqual(len(windows()), 2)
        self.assertTrue(wait_for(first.bar_is_full, 5), "the first window was not brought to the front")


if __name__ == "__main__":
    unittest.main(verbosity=2)
