#!/usr/bin/env python3
"""HTTPS under Wine: an update pass (the pass runner) against test patch
servers whose certificate is trusted, from an untrusted CA, for another name,
or expired. Only the first connects; the others fail as connection failures
without the fallback, although Main.exe is present, and their log says a
certificate was refused.
Run inside scripts/sandbox.sh. Usage: test_tls.py BUILD_DIR PASS_RUNNER_EXE"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "scripts"), os.path.join(HERE, "..", "support")]
import patch_server  # noqa: E402
import testcerts  # noqa: E402

BUILD, RUNNER = sys.argv[1:3]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class TlsTest(unittest.TestCase):
    def test_only_a_trusted_certificate_for_the_name_connects(self):
        tmp = tempfile.mkdtemp(prefix="tls-", dir=BUILD)
        self.addCleanup(shutil.rmtree, tmp)
        os.makedirs(os.path.join(tmp, "patch"))
        write(os.path.join(tmp, "patch", "data.bin"), b"new")
        write(os.path.join(tmp, "patch", "manifest.json"), json.dumps(
            {"files": [{"path": "data.bin", "hash": hashlib.sha256(b"new").hexdigest(), "size": 3}]}).encode())
        ca = testcerts.trusted_ca(BUILD)
        impostor = testcerts.certificate("Launcher Test CA")  # the same name, another key
        # Every server on a port of its own: the port in the address is used.
        for name, issuer, host, days, port in [("trusted", ca, "localhost", (-1, 30), 8442),
                                               ("untrusted CA", impostor, "localhost", (-1, 30), 8443),
                                               ("another name", ca, "elsewhere.test", (-1, 30), 8444),
                                               ("expired", ca, "localhost", (-30, -1), 8445)]:
            with self.subTest(name):
                game, log, cert = (os.path.join(tmp, name + suffix) for suffix in ("", ".log", ".pem"))
                os.makedirs(game)
                write(os.path.join(game, "Main.exe"), b"MZ")
                write(os.path.join(game, "data.bin"), b"old")
                write(cert, testcerts.pem(testcerts.certificate(host, issuer, days)))
                server = patch_server.start(os.path.join(tmp, "patch"), port=port, log=log, tls=cert)
                try:
                    done = subprocess.run([os.path.join(BUILD, "wine-run.sh"), RUNNER, "localhost:%d" % port,
                                           "/patch/", "--tls"],
                                          cwd=game, capture_output=True, text=True, timeout=240)
                finally:
                    server.shutdown()
                    server.server_close()
                ok = name == "trusted"
                self.assertEqual(done.returncode, 0 if ok else 1, done.stdout + done.stderr)
                self.assertNotIn("Fallback", done.stdout)
                with open(os.path.join(game, "Launcher.log")) as f:  # why, for the operator
                    self.assertEqual("certificate was refused" in f.read(), not ok)
                with open(os.path.join(game, "data.bin"), "rb") as f:
                    self.assertEqual(f.read(), b"new" if ok else b"old")
                requests = open(log).read().split() if os.path.exists(log) else []
                self.assertEqual(requests, ["/patch/manifest.json", "/patch/data.bin"] if ok else [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
