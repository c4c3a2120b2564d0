#!/usr/bin/env python3
"""Tests of tools/make-manifest, with a round trip through a real update pass
under Wine. Usage: test_make_manifest.py MAKE_MANIFEST WINE_RUN PASS_RUNNER_EXE"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import patch_server  # noqa: E402

TOOL, WINE_RUN, RUNNER = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)
FILES = {
    "Main.exe": b"MZ" + bytes(range(256)) * 40,
    "data/maps/one.map": b"map one",
    "data/empty.bin": b"",
    "d\u00e9j\u00e0 vu.txt": "caf\u00e9".encode("utf-8"),
    "B-upper.txt": b"sorted before a lowercase name",
    ".hidden": b"dotfiles are files too",
}


def make(folder):
    return subprocess.run([sys.executable, TOOL, folder], capture_output=True, text=True)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class MakeManifestTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="make-manifest-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.patch = os.path.join(self.tmp, "patch")
        for name, data in FILES.items():
            write(os.path.join(self.patch, name), data)

    def test_refuses_names_the_launcher_would_refuse(self):
        for bad in [b"CON", b"aux.txt", b"Lpt3.log", b"trailing.", b"trailing ", b"a:b", b"back\\slash",
                    b"ctl\x01.txt", b"x.bin.launcher-part", b"what?.txt", b"\xff\xfe.bin", b"sub/nul.dat"]:
            with self.subTest(name=bad):
                game = os.path.join(self.tmp, "refuse")
                shutil.rmtree(game, ignore_errors=True)
                write(os.path.join(game, "fine.txt"), b"fine")
                write(os.path.join(os.fsencode(game), bad), b"bad")
                done = make(game)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(bad.decode("utf-8", "backslashreplace"), done.stderr)
                self.assertFalse(os.path.exists(os.path.join(game, "manifest.json")))

    def test_lists_every_file_and_round_trips_through_an_update_pass(self):
        expected = {"files": [{"path": p, "hash": hashlib.sha256(FILES[p]).hexdigest(), "size": len(FILES[p])}
                              for p in sorted(FILES, key=lambda p: p.encode("utf-8"))]}
        for _ in range(2):  # the second run does not list the first one's manifest
            done = make(self.patch)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(self.patch, "manifest.json"), encoding="utf-8") as f:
                self.assertEqual(json.load(f), expected)
        if not (RUNNER and os.environ.get("WINEPREFIX")):
            self.skipTest("the round trip needs the Wine sandbox")
        player = os.path.join(self.tmp, "player")
        shutil.copytree(self.patch, player, ignore=shutil.ignore_patterns("manifest.json"))
        log = os.path.join(self.tmp, "requests.log")
        server = patch_server.start(self.patch, log=log)
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)

        def run_pass():
            if os.path.exists(log):
                os.unlink(log)
            done = subprocess.run([WINE_RUN, RUNNER, "127.0.0.1", "/patch/"], cwd=player,
                                  capture_output=True, text=True, timeout=240)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            with open(log) as f:
                return f.read().split()

        # A damaged copy is repaired.
        write(os.path.join(player, "data", "maps", "one.map"), b"map 1")
        os.unlink(os.path.join(player, "d\u00e9j\u00e0 vu.txt"))
        self.assertEqual(run_pass(), ["/patch/manifest.json", "/patch/data/maps/one.map",
                                      "/patch/d%C3%A9j%C3%A0%20vu.txt"])
        for name, data in FILES.items():
            with open(os.path.join(player, name), "rb") as f:
                self.assertEqual(f.read(), data, name)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
