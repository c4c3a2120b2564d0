#!/usr/bin/env python3
"""The build's code signing step (cmake/sign.cmake) on a copy of this build's
Launcher.exe, with a certificate made here; run inside scripts/sandbox.sh.
Usage: test_signing.py CMAKE SIGN_SCRIPT LAUNCHER_EXE"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import pkcs12

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import testcerts  # noqa: E402

CMAKE, SCRIPT, LAUNCHER = sys.argv[1:4]


class Signing(unittest.TestCase):
    def test_signed_launcher_verifies_and_runs_and_a_failure_keeps_the_one_built_before(self):
        work = Path(tempfile.mkdtemp(prefix="signing-"))
        self.addCleanup(shutil.rmtree, work)
        ca = testcerts.certificate("Zovra Test Root")
        signer = testcerts.certificate("Zovra Test Publisher", ca)
        (work / "ca.pem").write_bytes(ca[0].public_bytes(serialization.Encoding.PEM))
        (work / "signer.pfx").write_bytes(pkcs12.serialize_key_and_certificates(
            b"signer", signer[1], signer[0], None, serialization.BestAvailableEncryption(b"right horse")))
        exe, unsigned = work / "Launcher.exe", Path(LAUNCHER).read_bytes()

        def sign(password, *options):
            # As the build runs it: the program built before, the step before the link, the link, signing.
            exe.write_bytes(b"MZ built before")
            os.utime(exe, ns=(0, 10 ** 18))
            subprocess.run([CMAKE, f"-DEXE={exe}", "-DSTEP=before-link", "-P", SCRIPT], check=True)
            exe.write_bytes(unsigned)
            (work / "password.txt").write_text(password + "\n")
            return subprocess.run([CMAKE, f"-DEXE={exe}", f"-DPKCS12={work / 'signer.pfx'}",
                                   f"-DPASSWORD_FILE={work / 'password.txt'}", *options, "-P", SCRIPT],
                                  capture_output=True, text=True, timeout=120)

        # A timestamp server on loopback that refuses the connection. A failure puts the program built
        # before back, its time stamp too (or Make deletes it).
        for password, options, says in [("wrong horse", [], "wrong password"),
                                        ("right horse", ["-DTIMESTAMP_URL=http://127.0.0.1:9/"], "timestamp server")]:
            with self.subTest(says=says):
                done = sign(password, *options)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(says, " ".join(done.stderr.split()))  # as CMake wraps it
                self.assertEqual([exe.read_bytes(), exe.stat().st_mtime_ns], [b"MZ built before", 10 ** 18])
        done = sign("right horse")
        self.assertEqual([done.returncode, exe.with_suffix(".exe.previous").exists()], [0, False], done.stderr)
        checked = subprocess.run(["osslsigncode", "verify", "-CAfile", str(work / "ca.pem"), "-in", str(exe)],
                                 capture_output=True, text=True, timeout=120)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertRegex(checked.stdout, r"Message digest algorithm\s*:\s*SHA256")
        # Signed, it still runs: its window opens (the pass finds no server).
        launcher = subprocess.Popen(["wine", str(exe)], cwd=work, stderr=subprocess.DEVNULL)
        self.addCleanup(launcher.wait)
        self.addCleanup(launcher.kill)
        search = ["xdotool", "search", "--onlyvisible", "--name", "^Zovra Launcher$"]
        deadline, window = time.time() + 30, ""
        while not window and time.time() < deadline:
            window = subprocess.run(search, capture_output=True, text=True).stdout.split()
            time.sleep(0.5)
        self.assertTrue(window, "the signed launcher opened no window")
        os.kill(int(subprocess.run(["xdotool", "getwindowpid", window[0]], capture_output=True,
                                   text=True).stdout), signal.SIGKILL)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
