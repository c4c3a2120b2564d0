#!/usr/bin/env python3
"""HTTPS through WinHTTP under Wine: an update pass (the pass runner) against
test patch servers whose certificates are trusted, from an untrusted CA, for
another name, or expired. Only the first connects; the others fail as
connection failures without the fallback, although Main.exe is present.
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
NEW, OLD = b"the new content", b"the old content"


class TlsTest(unittest.TestCase):
    def test_only_a_trusted_certificate_for_the_name_connects(self):
        tmp = tempfile.mkdtemp(prefix="tls-", dir=BUILD)
        self.addCleanup(shutil.rmtree, tmp)
        wine_run = os.path.join(BUILD, "wine-run.sh")
        ca = testcerts.trusted_ca(BUILD, wine_run)
        os.makedirs(os.path.join(tmp, "patch"))
        with open(os.path.join(tmp, "patch", "data.bin"), "wb") as f:
            f.write(NEW)
        with open(os.path.join(tmp, "patch", "manifest.json"), "w") as f:
            json.dump({"files": [{"path": "data.bin", "hash": hashlib.sha256(NEW).hexdigest(),
                                  "size": len(NEW)}]}, f)
        impostor = testcerts.make_ca("Launcher Test CA")  # the same name, another key
        cases = [("trusted", testcerts.server_pem(ca, "localhost"), "localhost", 0),
                 ("untrusted CA", testcerts.server_pem(impostor, "localhost"), "localhost:8443", 1),
                 ("another name", testcerts.server_pem(ca, "elsewhere.test"), "localhost:8444", 1),
                 ("expired", testcerts.server_pem(ca, "localhost", days=(-30, -1)), "localhost:8445", 1)]
        for name, pem, authority, code in cases:
            with self.subTest(name):
                game, log, cert = (os.path.join(tmp, name + suffix) for suffix in ("", ".log", ".pem"))
                os.makedirs(game)
                for file, data in (("Main.exe", b"MZ"), ("data.bin", OLD)):
                    with open(os.path.join(game, file), "wb") as f:
                        f.write(data)
                with open(cert, "wb") as f:
                    f.write(pem)
                server = patch_server.start(os.path.join(tmp, "patch"), port=int(authority.partition(":")[2] or 443),
                                            log=log, tls=cert)
                try:
                    done = subprocess.run([wine_run, RUNNER, authority, "/patch/", "--tls"], cwd=game,
                                          capture_output=True, text=True, timeout=240)
                finally:
                    server.shutdown()
                    server.server_close()
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertNotIn("Fallback", done.stdout)
                with open(os.path.join(game, "data.bin"), "rb") as f:
                    self.assertEqual(f.read(), NEW if code == 0 else OLD)
                requests = open(log).read().split() if os.path.exists(log) else []
                self.assertEqual(requests, ["/patch/manifest.json", "/patch/data.bin"] if code == 0 else [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
