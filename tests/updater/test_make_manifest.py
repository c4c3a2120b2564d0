#!/usr/bin/env python3
"""Tests of tools/make-manifest; the end-to-end tests feed its manifest to the
real launcher. Usage: test_make_manifest.py MAKE_MANIFEST"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv[1] if len(sys.argv) > 1 else None
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

    def test_lists_every_file_sorted_by_its_utf8_bytes(self):
        expected = {"files": [{"path": p, "hash": hashlib.sha256(FILES[p]).hexdigest(), "size": len(FILES[p])}
                              for p in sorted(FILES, key=lambda p: p.encode("utf-8"))]}
        for _ in range(2):  # the second run does not list the first one's manifest
            done = make(self.patch)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(self.patch, "manifest.json"), encoding="utf-8") as f:
                self.assertEqual(json.load(f), expected)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
