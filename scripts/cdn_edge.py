"""nginx as a patch root's origin and a caching edge in front of it, the way a CDN stands
between the operator and the players; for the tests and benchmarks, inside scripts/sandbox.sh.

The edge keeps every 200 and 206 for a year whatever the origin's headers say, as a
careless CDN does, and a miss that many players ask for at once goes to the origin once
(the others wait for it). It keeps files in slices of 256 KiB, as CDNs that cache ranges
do: a delta's Range request costs the origin the slices it touches, not the whole object.
A request with "Cache-Control: no-cache" is answered from the origin and refreshes the
kept copy, as RFC 9111 asks of a cache that honours it (sent whole each time, where a CDN
would revalidate and get a 304 while it has not changed): the launcher asks the manifest
that way, and nothing else here would let a new manifest through in that year. The origin
serves ROOT as it is."""
import subprocess
import time
from pathlib import Path


class Edge:
    def __init__(self, folder, root, edge_port=80, origin_port=8080):
        d = self.dir = Path(folder)
        (d / "cache").mkdir(parents=True, exist_ok=True)
        temp = " ".join(f"{k}_temp_path {d}/{k};" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (d / "pid").unlink(missing_ok=True)
        # Only uid 0 is mapped inside the unprivileged namespace.
        (d / "nginx.conf").write_text(f"""user root root; daemon off; pid {d}/pid; error_log {d}/error.log;
worker_processes 2; events {{ }}
http {{ log_format b '$request_uri $status $bytes_sent $upstream_cache_status';
  {temp} default_type application/octet-stream; sendfile on;
  proxy_cache_path {d}/cache keys_zone=edge:16m max_size=8g inactive=1y;
  map $http_cache_control $asked_fresh {{ ~*no-cache 1; default ""; }}
  server {{ listen 127.0.0.1:{origin_port}; root {root}; access_log {d}/origin.log b; }}
  server {{ listen 127.0.0.1:{edge_port}; access_log {d}/edge.log b;
    location / {{ proxy_pass http://127.0.0.1:{origin_port}; proxy_cache edge; proxy_cache_valid 200 206 1y;
      slice 256k; proxy_cache_key $uri$slice_range; proxy_set_header Range $slice_range;
      proxy_ignore_headers Cache-Control Expires Set-Cookie X-Accel-Expires; proxy_cache_bypass $asked_fresh;
      proxy_cache_lock on; proxy_cache_lock_timeout 600s; proxy_cache_lock_age 600s; }} }} }}
""")
        self.process = subprocess.Popen(["nginx", "-c", str(d / "nginx.conf"), "-p", str(d)],
                                        stderr=subprocess.DEVNULL)
        for _ in range(200):
            if (d / "pid").exists():
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx did not start: see " + str(d / "error.log"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def mark(self, which):
        log = self.dir / f"{which}.log"
        return log.stat().st_size if log.exists() else 0

    def log(self, which, mark=0):
        """(uri, status, bytes sent with headers, the edge's cache status) of each request to
        "edge" or "origin" logged after mark."""
        with open(self.dir / f"{which}.log", "rb") as f:
            f.seek(mark)
            rows = [line.split() for line in f.read().decode().splitlines()]
        return [(r[0], int(r[1]), int(r[2]), r[3]) for r in rows]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
