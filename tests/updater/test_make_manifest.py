#!/usr/bin/env python3
"""Tests of tools/make-manifest, with a round trip through a real update pass
under Wine. Usage: test_make_manifest.py MAKE_MANIFEST WINE_RUN PASS_RUNNER_EXE"""
import contextlib
import gzip
import hashlib
import importlib.machinery
import io
import json
import random
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
import unittest
from pathlib import Path
from unittest import mock

from cryptography.hazmat.primitives import serialization

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


def listing(files):
    return [{"path": p, "hash": hashlib.sha256(files[p]).hexdigest(), "size": len(files[p])}
            for p in sorted(files, key=lambda p: p.encode("utf-8"))]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def make(folder, *options):
    return subprocess.run([sys.executable, TOOL, folder, *options], capture_output=True, text=True)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def load_tool():
    loader = importlib.machinery.SourceFileLoader("make_manifest", TOOL)
    tool = types.ModuleType(loader.name)
    tool.__file__ = TOOL
    loader.exec_module(tool)
    return tool


class MakeManifestTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="make-manifest-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.patch = os.path.join(self.tmp, "patch")
        for name, data in FILES.items():
            write(os.path.join(self.patch, name), data)

    def test_refuses_names_the_launcher_would_refuse(self):
        for bad in [b"CON", b"aux.txt", b"Lpt3.log", b"trailing.", b"trailing ", b"a:b", b"back\\slash",
                    b"ctl\x01.txt", b"x.bin.launcher-part", b"L.exe.launcher-old", b"what?.txt", b"\xff\xfe.bin", b"sub/nul.dat",
                    b"x.Launcher-Part", b"n" * 242, b"FINE.TXT", b"launcher.LOG", b"Launcher.log.old",
                    b"blocks/x.blocks", b"BLOCKS/" + b"a" * 64 + b".blocks", b"launcher.VERIFIED", b"objects/x",
                    b"objects/aa/" + b"a" * 63, b"Objects/aa"]:
            with self.subTest(name=bad):
                game = os.path.join(self.tmp, "refuse")
                shutil.rmtree(game, ignore_errors=True)
                write(os.path.join(game, "fine.txt"), b"fine")
                write(os.path.join(os.fsencode(game), bad), b"bad")
                done = make(game)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(bad.decode("utf-8", "backslashreplace"), done.stderr)
                self.assertFalse(os.path.exists(os.path.join(game, "manifest.json")))
                self.assertTrue(os.path.exists(os.path.join(os.fsencode(game), bad)))

    def test_lists_every_file_and_round_trips_through_a_signed_update_pass(self):
        keys = os.path.join(self.tmp, "keys")
        for expected_code in (0, 2):  # a second keygen never replaces the key
            done = subprocess.run([sys.executable, TOOL, "keygen", keys], capture_output=True)
            self.assertEqual(done.returncode, expected_code, done.stderr)
        self.assertEqual(os.stat(os.path.join(keys, "manifest-key.pem")).st_mode & 0o777, 0o600)
        point = serialization.load_pem_public_key(Path(keys, "manifest-key.pub.pem").read_bytes()).public_bytes(
            serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)[1:].hex()
        sign = ["--sign", os.path.join(keys, "manifest-key.pem"), "--version"]
        self.assertNotEqual(make(self.patch, *sign[:2]).returncode, 0)  # --sign needs --version
        # Rises from run to run: the pass runner keeps the highest version it accepted.
        version = int(time.time())
        expected = {"files": listing(FILES)}
        for _ in range(2):  # the second run lists neither the first one's manifest nor its signature
            done = make(self.patch, *sign, str(version))
            self.assertEqual(done.returncode, 0, done.stderr)
            document = json.loads(Path(self.patch, "manifest.json").read_bytes())
            self.assertAlmostEqual(document.pop("expires"), time.time() + 30 * 86400, delta=600)
            self.assertEqual(document, dict(expected, version=version))
            self.assertRegex(Path(self.patch, "manifest.json.sig").read_text(), r"\A[0-9a-f]{128}\n\Z")
        if not (RUNNER and os.environ.get("WINEPREFIX")):
            self.skipTest("the round trip needs the Wine sandbox")
        player = os.path.join(self.tmp, "player")
        shutil.copytree(self.patch, player, ignore=shutil.ignore_patterns("manifest.json"))
        # The player's copy matches what the tool listed: only the manifest is asked for.
        signed = ["/patch/manifest.json", "/patch/manifest.json.sig"]
        self.assertEqual(self.run_pass(player, "--key", point), signed)
        # An older manifest after it cannot be verified (exit code 5).
        self.assertEqual(make(self.patch, *sign, str(version - 1), "--allow-lower-version").returncode, 0)
        self.assertEqual(self.run_pass(player, "--key", point, code=5), signed)

    def run_pass(self, player, *options, code=0):
        """An update pass of `player` against the patch root; the requests it made."""
        log = os.path.join(self.tmp, "requests.log")
        server = patch_server.start(self.patch, log=log)
        try:
            done = subprocess.run([WINE_RUN, RUNNER, "127.0.0.1", "/patch/", *options], cwd=player,
                                  capture_output=True, text=True, timeout=240)
        finally:
            server.shutdown()
            server.server_close()
        self.assertEqual(done.returncode, code, done.stdout + done.stderr)
        requests = Path(log).read_text().splitlines()
        os.unlink(log)
        return requests

    def test_block_lists_for_big_files_and_a_delta_through_an_update_pass(self):
        # Pruning stale lists leaves what make-manifest did not write.
        other = write(os.path.join(self.tmp, "out", "blocks", "notes.blocks"), b"")
        self.assertEqual(make(self.patch, "--no-delta", "-o", os.path.join(self.tmp, "out", "m.json")).returncode, 0)
        self.assertTrue(os.path.exists(other))
        pack = random.Random(5).randbytes(64 << 10)  # 16 blocks of 4 KiB
        write(os.path.join(self.patch, "big.pak"), pack)
        self.assertEqual(make(self.patch, "--delta-min-size", "65536").returncode, 0)
        files = json.loads(Path(self.patch, "manifest.json").read_bytes())["files"]
        entries = {e["path"]: e.get("blocks") for e in files}
        digest = hashlib.sha256(pack).hexdigest()
        listed = Path(self.patch, "blocks", digest + ".blocks").read_bytes()
        # Only the file over the threshold has one; the folder of lists is never listed.
        self.assertEqual({p: b for p, b in entries.items() if b},
                         {"big.pak": {"size": len(listed), "hash": hashlib.sha256(listed).hexdigest()}})
        self.assertEqual(sorted(entries), sorted(list(FILES) + ["big.pak"]))
        if RUNNER and os.environ.get("WINEPREFIX"):
            player = os.path.join(self.tmp, "player")
            shutil.copytree(self.patch, player, ignore=shutil.ignore_patterns("manifest.json", "blocks"))
            write(os.path.join(player, "big.pak"), pack[:20500] + b"changed" + pack[20507:])
            self.assertEqual(self.run_pass(player), ["/patch/manifest.json", "/patch/blocks/%s.blocks" % digest,
                                                     "/patch/big.pak bytes=20480-24575"])
            self.assertEqual(Path(player, "big.pak").read_bytes(), pack)
        # Without block lists the old ones go.
        self.assertEqual(make(self.patch, "--no-delta").returncode, 0)
        self.assertEqual(os.listdir(os.path.join(self.patch, "blocks")), [])

    def test_objects_written_reused_when_right_and_pruned_after_the_keep_period(self):
        rng = random.Random(3)
        # Compressed copies only where gzip -9 saves 10 %: Main.exe, half.bin; not near.bin, pack.
        files = dict(FILES, **{"half.bin": rng.randbytes(2000) + bytes(400), "near.bin": rng.randbytes(2000) + bytes(150),
                               "pack": rng.randbytes(70000)})
        for name, data in files.items():
            write(os.path.join(self.patch, name), data)
        obj = lambda data, gz="": Path(self.patch, "objects", sha(data)[:2], sha(data) + gz)  # noqa: E731
        tool = load_tool()
        for link_fails in (True, False):  # a copy where no hard link can be made
            with mock.patch.object(tool.os, "link", side_effect=OSError(18, "cross-device")) if link_fails \
                    else contextlib.nullcontext(), contextlib.redirect_stdout(io.StringIO()):
                self.assertEqual(tool.main([self.patch, "--objects", "--delta-min-size", "65536"]), 0)
            document = json.loads(Path(self.patch, "manifest.json").read_bytes())
            self.assertEqual(document["objects"], "objects")
            for entry in document["files"]:
                data = files[entry["path"]]
                self.assertEqual(obj(data).read_bytes(), data)
                self.assertEqual(obj(data).samefile(Path(self.patch, entry["path"])), not link_fails)
                packed = gzip.compress(data, 9, mtime=0)
                self.assertEqual(entry.get("gzip"), {"size": len(packed)} if len(packed) <= 0.9 * len(data) else None)
                self.assertEqual(obj(data, ".gz").read_bytes() if obj(data, ".gz").exists() else None,
                                 packed if "gzip" in entry else None)
            shutil.rmtree(os.path.join(self.patch, "objects"))
        self.assertEqual(make(self.patch, "--objects").returncode, 0)
        if RUNNER and os.environ.get("WINEPREFIX"):  # a fresh install from the objects, the .gz ones inflated
            player = os.path.join(self.tmp, "player")
            os.makedirs(player)
            entries = json.loads(Path(self.patch, "manifest.json").read_bytes())["files"]
            self.assertEqual(sorted(self.run_pass(player)), sorted(["/patch/manifest.json"] + [
                "/patch/objects/%s/%s%s" % (e["hash"][:2], e["hash"], ".gz" * ("gzip" in e)) for e in entries]))
            self.assertEqual({name: Path(player, name).read_bytes() for name in files}, files)
        # Damaged objects are replaced; a game file edited in place loses the object it shared.
        obj(files["Main.exe"], ".gz").write_bytes(b"\x1f\x8b" + bytes(30))
        os.unlink(obj(files["pack"]))
        write(str(obj(files["pack"])), files["pack"][::-1])
        with open(os.path.join(self.patch, "half.bin"), "r+b") as f:
            f.write(b"edited in place")
        dropped = [obj(files["half.bin"], ".gz"), obj(files["pack"]), Path(self.patch, "blocks", sha(files["pack"]) + ".blocks")]
        done = make(self.patch, "--objects")
        self.assertIn("half.bin, which was changed in place", done.stderr)
        self.assertFalse(obj(files["half.bin"]).exists())
        self.assertEqual(obj(files["pack"]).read_bytes(), files["pack"])
        self.assertEqual(gzip.decompress(obj(files["Main.exe"], ".gz").read_bytes()), files["Main.exe"])
        # Dropped from the manifest: kept (dated to that run) until older than the keep period.
        os.unlink(os.path.join(self.patch, "pack"))
        old = time.time() - 15 * 86400
        age = lambda: [os.utime(p, (old, old)) for p in Path(self.patch).rglob("*") if p.is_file()]  # noqa: E731
        age()
        done = make(self.patch, "--objects", "--delta-min-size", "65536")
        self.assertEqual(done.returncode, 0, done.stderr)
        for name in ("notes.txt", "aa/x.bin", "ab/" + "aa" * 32):  # not the tool's: never pruned
            write(os.path.join(self.patch, "objects", name), b"")
        every = [p for p in Path(self.patch).rglob("*") if p.is_file()]
        freed = sum(p.stat().st_size for p in dropped[1:])
        for aged, days, gone in [(False, "14", dropped[:1]), (True, "16", dropped[:1]), (False, "14", dropped)]:
            if aged:
                age()
            done = subprocess.run([sys.executable, TOOL, "prune", self.patch, "--keep-days", days],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(sorted(p for p in every if not p.exists()), sorted(gone))
        self.assertIn("removed 2 files, %d bytes freed" % freed, done.stdout)

    def test_refusals_leave_the_published_pair_and_versions_that_go_through(self):
        keys = os.path.join(self.tmp, "keys")
        subprocess.run([sys.executable, TOOL, "keygen", keys], check=True, capture_output=True)
        private, damaged = os.path.join(keys, "manifest-key.pem"), os.path.join(self.tmp, "damaged.pem")
        write(damaged, Path(private).read_bytes()[:-40])
        pair = [Path(self.patch, name) for name in ("manifest.json", "manifest.json.sig")]
        published = lambda: [p.read_bytes() if p.exists() else None for p in pair]  # noqa: E731
        sign = ["--sign", private, "--version"]
        self.assertEqual(make(self.patch, *sign, "10").returncode, 0)
        before = published()
        write(os.path.join(self.patch, "data/maps/one.map"), b"map one, fixed")
        for options, says in [(["--version", "11"], "need --sign"), (["--expires-days", "9"], "need --sign"),
                              (["--sign", private.replace(".pem", ".pub.pem"), "--version", "11"], "public key"),
                              (["--sign", damaged, "--version", "11"], "damaged"), (sign + ["9"], "lower"),
                              (sign + ["10"], "raise --version"), ([], "--unsigned-over-signed")]:
            with self.subTest(options=options):
                done = make(self.patch, *options)
                self.assertNotEqual(done.returncode, 0)
                lines = done.stderr.splitlines()
                self.assertIn(says, lines[-1])
                if "--sign" in options:  # past the argument checks: one line, no usage or traceback
                    self.assertEqual(len(lines), 1, done.stderr)
                self.assertEqual(published(), before)
        # A lower version when allowed, then unsigned when asked for: its stale .sig goes.
        for options, version in [(sign + ["9", "--allow-lower-version"], 9), (["--unsigned-over-signed"], None)]:
            with self.subTest(options=options):
                self.assertEqual(make(self.patch, *options).returncode, 0)
                self.assertEqual(json.loads(pair[0].read_bytes()).get("version"), version)
                self.assertEqual(pair[1].exists(), version is not None)

    def test_lists_what_it_read_and_never_its_temporary_files(self):
        tool = load_tool()
        before = set(os.listdir(self.patch))
        # A run stopped before its rename leaves its temporary file behind.
        with mock.patch.object(tool.os, "replace"), contextlib.redirect_stdout(io.StringIO()):
            tool.main([self.patch])
        self.assertEqual(len(set(os.listdir(self.patch)) - before), 1)
        # A file that changes while it is read is listed as read, size and digest alike.
        grown = dict(FILES, **{"data/maps/one.map": b"map one, grown while read"})
        tool.open = lambda path, *mode: (io.BytesIO(grown["data/maps/one.map"]) if os.fsdecode(path).endswith("one.map")
                                         else open(path, *mode))
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            self.assertEqual(tool.main([self.patch]), 0)
        self.assertEqual(json.loads(Path(self.patch, "manifest.json").read_bytes()), {"files": listing(grown)})

    def test_verify_reads_a_published_root_as_a_launcher_would(self):
        tool, keys = load_tool(), os.path.join(self.tmp, "keys")
        subprocess.run([sys.executable, TOOL, "keygen", keys], check=True, capture_output=True)
        key = tool.load_key(os.path.join(keys, "manifest-key.pem"))
        pack = random.Random(7).randbytes(20000)
        write(os.path.join(self.patch, "Launcher.exe"), b"MZ launcher")
        write(os.path.join(self.patch, "big.pak"), pack)
        sig, stale = os.path.join(self.patch, "manifest.json.sig"), None
        for version in ("6", "7"):
            self.assertEqual(make(self.patch, "--objects", "--delta-min-size", "16384", "--sign",
                                  os.path.join(keys, "manifest-key.pem"), "--version", version).returncode, 0)
            stale = stale or Path(sig).read_bytes()
        pack_list = "blocks/%s.blocks" % hashlib.sha256(pack).hexdigest()
        other_list = tool.blocklist.block_list(io.BytesIO(pack[:-1]), len(pack) - 1)
        main = "objects/%s/%s" % (sha(FILES["Main.exe"])[:2], sha(FILES["Main.exe"]))

        def signed(change, files=()):
            """The manifest changed and signed again, and files written beside it."""
            def edit(root):
                for path, data in files:
                    write(os.path.join(root, path), data)
                document = json.loads(Path(root, "manifest.json").read_bytes())
                change({e["path"]: e for e in document["files"]}, document)
                data = json.dumps(document).encode("utf-8")
                write(os.path.join(root, "manifest.json"), data)
                write(os.path.join(root, "manifest.json.sig"), tool.signature_of(key, data).encode("ascii"))
            return edit

        for name, change, code, line in [
                ("good", lambda root: None, 0, r"version 7, expires \S+ \S+ UTC \((29\.9|30\.0) days left\)"),
                ("without objects", lambda root: (shutil.rmtree(os.path.join(root, "objects")), signed(lambda e, d: [
                    d.pop("objects")] + [f.pop("gzip", 0) for f in d["files"]])(root)), 0, r"version 7"),
                ("changed file", lambda root: write(os.path.join(root, "data/maps/one.map"), b"map 1!!"), 1,
                 r"problem: data/maps/one\.map: SHA-256"),
                ("stale signature", lambda root: write(os.path.join(root, "manifest.json.sig"), stale), 1,
                 r"problem: manifest\.json\.sig: does not match"),
                ("expired", signed(lambda e, d: d.update(expires=int(time.time()) - 60)), 1,
                 r"problem: manifest\.json: expired on"),
                ("refused name", signed(lambda e, d: d["files"].append(dict(e["Main.exe"], path="sub/Nul.dat"))), 1,
                 r"problem: sub/Nul\.dat: launchers refuse the manifest: Windows device name"),
                ("upper case", signed(lambda e, d: e[".hidden"].update(hash=e[".hidden"]["hash"].upper())), 0,
                 r"warning: \.hidden: digest in upper case"),
                ("unlisted", lambda root: write(os.path.join(root, "blocks/old.txt"), b""), 0,
                 r"warning: blocks/old\.txt: not in the manifest"),
                ("list missing", lambda root: os.unlink(os.path.join(root, pack_list)), 1,
                 r"problem: blocks/\w+\.blocks: missing"),
                ("list of another size", signed(lambda e, d: e["big.pak"].update(blocks={
                    "size": len(other_list), "hash": hashlib.sha256(other_list).hexdigest()}), [(pack_list, other_list)]), 1,
                 r"problem: blocks/\w+\.blocks: made for a file of 19999 bytes, not 20000"),
                ("damaged object", lambda root: write(os.path.join(root, main), FILES["Main.exe"][::-1]), 1,
                 r"problem: objects/\w+/\w+: \d+ bytes or SHA-256 not Main\.exe's"),
                ("damaged gz", lambda root: Path(root, main + ".gz").write_bytes(
                    bytes(b ^ (i == 200) for i, b in enumerate(Path(root, main + ".gz").read_bytes()))), 1,
                 r"problem: objects/\w+/\w+\.gz: not a gzip stream"),
                ("gz of another size", lambda root: write(os.path.join(root, main + ".gz"), gzip.compress(FILES["Main.exe"], 1)), 1,
                 r"problem: objects/\w+/\w+\.gz: \d+ bytes, the manifest says")]:
            with self.subTest(name):
                root = shutil.copytree(self.patch, os.path.join(self.tmp, name))
                change(root)
                done = subprocess.run([sys.executable, TOOL, "verify", root, "--key",
                                       os.path.join(keys, "manifest-key.pub.pem")], capture_output=True, text=True)
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertRegex(done.stdout, "(?m)^%s" % line)
                self.assertEqual([done.stdout.count("problem: "), done.stdout.count("warning: ")],
                                 [code, int(line.startswith("warning"))], done.stdout)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
