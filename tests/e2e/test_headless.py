#!/usr/bin/env python3
"""Launcher.exe --update-only under Wine without a display, against the project's patch server:
its exit codes, what it prints, and the support log it leaves in the game folder.
Run inside scripts/sandbox.sh (CTest does). Usage: test_headless.py BUILD_DIR"""
import os
import hashlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_e2e import BUILD, LAUNCHER_KEY, STUB, PatchServer, blob, delete_keys, make_manifest, wait_for  # noqa: E402
from cdn_edge import Edge  # noqa: E402  (scripts/, on the path test_e2e set)

NEXT = BUILD / "tests" / "next" / "Launcher.exe"  # the same launcher, version 1.0.0.2
STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")


# Runs the launcher with --update-only and no display: a window could not be made at all.
def headless(game, exe=BUILD / "Launcher.exe", wait=True, args=("--update-only", "--ignored")):
    process = subprocess.Popen(["wine", str(exe), *args], cwd=game,
                               env={k: v for k, v in os.environ.items() if k != "DISPLAY"},
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if not wait:
        return process
    out, _ = process.communicate(timeout=120)
    return process.returncode, out.decode("utf-8", "replace").replace("\r\n", "\n").splitlines()


class Headless(unittest.TestCase):
    @classmethod
    def tearDownClass(cls):
        # Wine's desktop, made without a display, would serve every later
        # program of this wineserver: the next one starts a new server.
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="e2e-headless-", dir=BUILD))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.patch = self.work / "server" / "patch"
        delete_keys(LAUNCHER_KEY)

    @staticmethod
    def write(folder, files):
        for rel, data in files.items():
            (folder / rel).parent.mkdir(parents=True, exist_ok=True)
            (folder / rel).write_bytes(data)
        return folder

    def publish(self, files, how=None):
        shutil.rmtree(self.patch, ignore_errors=True)
        make_manifest(self.write(self.patch, files))
        self.write(self.patch, {rel + ".how": text.encode() for rel, text in (how or {}).items()})

    def test_exit_codes_output_and_log_of_each_outcome(self):
        main, a, b = STUB.read_bytes(), blob("a", 300_000), blob("b", 200_000)
        served = {"Main.exe": main, "a.bin": a, "data/b.bin": b}
        big_log = b"an earlier run\r\n" * (70_000)  # just over the 1 MiB the log may reach
        # name, how files, a change made after signing, game folder before;
        # exit code, output, lines the log must hold.
        # clang-format off
        rows = [
            ("fetched", {}, None, {"Main.exe": main, "a.bin.launcher-part": a[:100_000],
                                   "Launcher.log": big_log},
             0, ["fetched a.bin", "fetched data/b.bin", "All files are up to date!"],
             ["=== Zovra Launcher 1.0.0.1, --update-only",
              "patch server http://127.0.0.1/patch/; manifests verified against the built-in key",
              "manifest signature: valid, version 1",
              "3 files listed, 2 to fetch (400000 bytes still to come), free space ",
              "1 up to date (%d bytes)" % len(main),
              "a.bin from 127.0.0.1, 300000 bytes, resumed from byte 100000 in ",
              "data/b.bin from 127.0.0.1, 200000 bytes, fetched whole in ", "outcome: All files are up to date!"]),
            ("connection", {"a.bin": "status=503"}, None, {"Main.exe": main},
             1, ["fetched data/b.bin", "Error: Check your connection."],  # at once, beside a.bin
             ["retry 127.0.0.1/patch/a.bin in 1000 ms: HTTP status 503",
              "retry 127.0.0.1/patch/a.bin in 3000 ms: HTTP status 503",
              "failed (connection): a.bin from 127.0.0.1, 300000 bytes",
              "outcome: Error: Check your connection."]),
            ("damaged", {}, lambda p: (p / "data/b.bin").write_bytes(blob("not b", 200_000)),
             {"Main.exe": main, "a.bin": a},
             2, ["Error: Update files are damaged on the server."],
             ["2 up to date (%d bytes)" % (len(main) + len(a)), "failed (damaged): data/b.bin from 127.0.0.1, 200000 bytes",
              "outcome: Error: Update files are damaged on the server."]),
            ("unverified", {}, lambda p: (p / "manifest.json").write_bytes(
                (p / "manifest.json").read_bytes().replace(b'"version": 1', b'"version": 2')), {"Main.exe": main},
             5, ["Error: The update could not be verified."],
             ["manifest signature: does not match", "outcome: Error: The update could not be verified."]),
            # A log that cannot be written (a folder of that name) changes nothing else.
            ("unwritable", {}, None, {"Main.exe": main, "Launcher.log/x": b""},
             0, ["fetched a.bin", "fetched data/b.bin", "All files are up to date!"], None),
        ]
        # clang-format on
        for name, how, change, before, code, output, logged in rows:
            with self.subTest(name):
                self.publish(served, how)
                if change:
                    change(self.patch)
                game = self.write(self.work / name, before)
                for path in game.rglob("*"):  # older than a start may trust at once
                    os.utime(path, (time.time() - 3600,) * 2)
                server = PatchServer(self.patch, self.work)
                got = headless(game)
                server.stop()
                # Files fetched at once are told in the order they end.
                self.assertEqual((got[0], sorted(got[1][:-1]), got[1][-1:]),
                                 (code, sorted(output[:-1]), output[-1:]))
                if code == 0:
                    self.assertEqual({rel: (game / rel).read_bytes() for rel in served}, served)
                if logged is None:
                    self.assertTrue((game / "Launcher.log" / "x").is_file())
                    self.assertFalse((game / "Launcher.log.old").exists())
                    continue
                log = (game / "Launcher.log").read_text(encoding="utf-8").splitlines()
                self.assertTrue(all(STAMP.match(line) for line in log), log)
                lines = [line[25:] for line in log]
                for wanted in logged:  # files fetched at once end in any order
                    self.assertTrue(any(line.startswith(wanted) for line in lines), f"{wanted!r} not in {lines}")
                # The player's folders and name stay on the machine.
                for private in (str(self.work), self.work.name, "Z:\\", "C:\\", "users"):
                    self.assertNotIn(private.lower(), "\n".join(lines).lower())
                if name == "fetched":
                    self.assertEqual((game / "Launcher.log.old").read_bytes(), big_log)
                    # The next start reads none of the files: their records vouch for them.
                    server = PatchServer(self.patch, self.work)
                    self.assertEqual(headless(game)[0], 0)
                    server.stop()
                    self.assertEqual(server.requests(), ["/patch/manifest.json", "/patch/manifest.json.sig"])
                    self.assertIn("checks: 3 files current by their records, 0 read (0 bytes)",
                                  (game / "Launcher.log").read_text(encoding="utf-8").split("=== ")[-1])

    # A second run in a folder that is being updated exits at once with 7; a new Launcher.exe
    # is moved in, and nothing is started afterwards.
    def test_second_instance_and_a_new_launcher(self):
        exe = BUILD / "Launcher.exe"
        self.publish({"Launcher.exe": NEXT.read_bytes(), "Main.exe": STUB.read_bytes(),
                      "slow.bin": blob("slow", 10_000)}, {"slow.bin": "delay=3000"})
        game = self.write(self.work / "game", {"Launcher.exe": exe.read_bytes()})
        self.addCleanup(PatchServer(self.patch, self.work).stop)
        first = headless(game, game / "Launcher.exe", wait=False)
        self.assertTrue(wait_for(lambda: (game / "slow.bin.launcher-part").exists(), 30))
        began = time.time()
        self.assertEqual(headless(game, exe), (7, []))
        self.assertLess(time.time() - began, 5.0)  # mostly Wine starting a program
        out, _ = first.communicate(timeout=60)
        self.assertEqual((first.returncode, out.count(b"moved in a new Launcher.exe")), (0, 1), out)
        self.assertEqual((game / "Launcher.exe").read_bytes(), NEXT.read_bytes())
        time.sleep(3)  # what a restart would have started by now: its header
        log = (game / "Launcher.log").read_text(encoding="utf-8")
        self.assertEqual(log.count("=== Zovra Launcher"), 1, log)
        self.assertIn("self-update: the new launcher moved in", log)
        self.assertIn("outcome: All files are up to date!", log)  # nothing restarts here
        # Without --update-only the window cannot be made here: the launcher
        # says so and ends instead of waiting for ever holding the folder.
        self.assertEqual(headless(self.work, args=())[0], 1)

    # A CDN's edge (a year's validity, the origin's headers ignored) in front of an nginx origin:
    # version 1 is installed through it, then version 2 is published at the origin under the same
    # paths. The plain layout gets the edge's stale copies, objects are new URLs.
    def test_a_new_version_through_a_caching_edge(self):
        pak, text = blob("pak", 1_500_000), b"".join(b"line %d of the notes\r\n" % i for i in range(9000))
        v1 = {"Main.exe": STUB.read_bytes(), "a.bin": blob("a1", 100_000), "data/world.pak": pak, "notes.txt": text}
        v2 = {**v1, "a.bin": blob("a2", 100_000), "data/world.pak": pak[:700_000] + b"v2" + pak[700_002:],
              "notes.txt": text.replace(b"notes", b"news!")}
        digests = lambda files: {rel: hashlib.sha256(data).hexdigest()[:16] for rel, data in files.items()}  # noqa: E731
        for layout, flags, code in (("plain", (), 2), ("objects", ("--objects",), 0)):
            root, game = self.work / layout, self.work / layout / "game"
            game.mkdir(parents=True)
            with self.subTest(layout), Edge(root / "nginx", root / "server"):
                delete_keys(LAUNCHER_KEY)
                for version, files, want in ((1, v1, (0, v1)), (2, v2, (code, v2 if code == 0 else v1))):
                    make_manifest(self.write(root / "server" / "patch", files), version, *flags)
                    self.assertEqual((headless(game)[0], digests({rel: (game / rel).read_bytes() for rel in v1})),
                                     (want[0], digests(want[1])), version)


if __name__ == "__main__":
    unittest.main(verbosity=2)
