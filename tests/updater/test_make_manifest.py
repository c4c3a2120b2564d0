#!/usr/bin/env python3
"""Tests of tools/make-manifest, including a round trip through a real
update pass under Wine against the test patch server.

Usage: test_make_manifest.py MAKE_MANIFEST WINE_RUN PASS_RUNNER_EXE
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import patch_server  # noqa: E402

TOOL, WINE_RUN, RUNNER = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)


def make(folder, *extra):
    return subprocess.run([sys.executable, TOOL, folder, *extra], capture_output=True, text=True)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class MakeManifestTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="make-manifest-")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def game_files(self):
        return {
            "Main.exe": b"MZ" + bytes(range(256)) * 40,
            "data/maps/one.map": b"map one",
            "data/empty.bin": b"",
            "d\u00e9j\u00e0 vu.txt": "caf\u00e9".encode("utf-8"),
            "B-upper.txt": b"sorted before a lowercase name",
            ".hidden": b"dotfiles are files too",
        }

    def test_lists_every_file_sorted_with_digest_and_size(self):
        game = os.path.join(self.tmp, "game")
        files = self.game_files()
        for name, data in files.items():
            write(os.path.join(game, name), data)
        done = make(game)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(game, "manifest.json"), encoding="utf-8") as f:
            manifest = json.load(f)
        expected = [{"path": p, "hash": hashlib.sha256(files[p]).hexdigest(), "size": len(files[p])}
                    for p in sorted(files, key=lambda p: p.encode("utf-8"))]
        self.assertEqual(manifest, {"files": expected})
        # Run again: the manifest itself is never listed.
        self.assertEqual(make(game).returncode, 0)
        with open(os.path.join(game, "manifest.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f), {"files": expected})

    def test_refuses_names_the_launcher_would_refuse(self):
        bad_names = [b"CON", b"aux.txt", b"Lpt3.log", b"trailing.", b"trailing ", b"a:b", b"back\\slash",
                     b"ctl\x01.txt", b"x.bin.launcher-part", b"what?.txt", b"\xff\xfe.bin",
                     b"sub/nul.dat"]
        for bad in bad_names:
            with self.subTest(name=bad):
                game = os.path.join(self.tmp, "refuse")
                shutil.rmtree(game, ignore_errors=True)
                write(os.path.join(game, "fine.txt"), b"fine")
                write(os.path.join(os.fsencode(game), bad), b"bad")
                done = make(game)
                self.assertNotEqual(done.returncode, 0)
                shown = bad.decode("utf-8", "backslashreplace")
                self.assertIn(shown, done.stderr)
                self.assertFalse(os.path.exists(os.path.join(game, "manifest.json")))

    @unittest.skipUnless(RUNNER and os.environ.get("WINEPREFIX"), "needs the Wine sandbox")
    def test_round_trip_through_an_update_pass(self):
        www = os.path.join(self.tmp, "www")
        patch = os.path.join(www, "patch")
        files = self.game_files()
        for name, data in files.items():
            write(os.path.join(patch, name), data)
        self.assertEqual(make(patch).returncode, 0)
        player = os.path.join(self.tmp, "player")
        shutil.copytree(patch, player, ignore=shutil.ignore_patterns("manifest.json"))
        log = os.path.join(self.tmp, "requests.log")
        server = patch_server.start(patch, log=log)
        try:

            def run_pass():
                if os.path.exists(log):
                    os.unlink(log)
                done = subprocess.run([WINE_RUN, RUNNER, "127.0.0.1", "/patch/"], cwd=player,
                                      capture_output=True, text=True, timeout=240)
                with open(log) as f:
                    return done, f.read().split()

            done, requests = run_pass()
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(requests, ["/patch/manifest.json"])

            # A damaged copy is repaired by the next pass.
            write(os.path.join(player, "data", "maps", "one.map"), b"map 1")
            os.unlink(os.path.join(player, "d\u00e9j\u00e0 vu.txt"))
            done, requests = run_pass()
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(requests, ["/patch/manifest.json", "/patch/data/maps/one.map",
                                        "/patch/d%C3%A9j%C3%A0%20vu.txt"])
            for name, data in files.items():
                with open(os.path.join(player, name), "rb") as f:
                    self.assertEqual(f.read(), data, name)
        finally:
            server.shutdown()
            server.server_close()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
