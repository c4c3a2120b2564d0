#!/usr/bin/env python3
"""Patches through a CDN, side by side in one run, inside scripts/sandbox.sh (bench/cdn/run.sh
starts it there). A game-like folder of about SIZE_MIB is gathered from files on this machine
(Wine's PE programs and libraries, text and JSON, fonts, pictures, files that are compressed
already, seeded random bytes) and published twice by tools/make-manifest: as plain files, and
with objects (--objects, gzip where it pays). nginx serves both (scripts/cdn_edge.py's origin).

- A fresh install of each layout by updater_pass_runner, the two in turn, RUNS times: the bytes
  nginx sent (headers included) by kind of file; the wall time on loopback and with every answer
  40 ms late (scripts/patch_server.py's ~rtt=40); the peak working set over the one before the pass.
- Release day: LAUNCHERS headless `Launcher.exe --update-only`, one Wine prefix each (copies of the
  sandbox's), each in its own copy of one version 1 folder, update to version 2 at once through
  the caching edge of scripts/cdn_edge.py: their outcomes and folders, the bytes the origin sent
  against one update's, the edge's hit ratio and the wall time; then one more alone, for scale.
Usage: [BENCH_STAGES="install far release"] cdn_bench.py BUILD_DIR [SIZE_MIB [LAUNCHERS]]
  (default 300 MiB and 20; "install" is the one on loopback, "far" the ones 40 ms away)"""
import hashlib
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
from cdn_edge import Edge  # noqa: E402

BUILD = Path(sys.argv[1]).resolve()
SIZE = int(sys.argv[2]) << 20 if len(sys.argv) > 2 else 300 << 20
LAUNCHERS = int(sys.argv[3]) if len(sys.argv) > 3 else 20
RUNS, RTT_MS, MIB = 3, 40, 1 << 20
# Far servers: port, bytes a second per answer (0: as fast as it goes). 2 MB/s on each of the
# launcher's 6 connections is about a 100 Mbit/s line.
FAR = {"far": (8090, 0), "far line": (8091, 2_000_000)}
STAGES = set(os.environ.get("BENCH_STAGES", "install far release").split())
WORK = BUILD / "bench-cdn"
WWW, ORIGIN = WORK / "www", 8080
KEY = BUILD / "keys" / "manifest-key.pem"
RUNNER = [str(BUILD / "wine-run.sh"), str(BUILD / "tests" / "updater_pass_runner.exe")]
WINE = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"]
# kind, share of the folder, where its files come from, which names (None: seeded random bytes),
# the smallest file taken (a game's files are seldom tiny; thousands of them would time the
# launcher's cost per file, the same in both layouts).
KINDS = [("programs", 0.40, WINE, r"\.(dll|exe|drv|sys|ocx|acm|cpl|tlb)$", 16384),
         ("text", 0.10, ["/usr/share/doc"], r"(^[^.]*|\.(txt|json|md|html|xml|rst|css|js))$", 16384),
         ("fonts", 0.10, ["/usr/share/fonts"], r"\.(ttf|otf|ttc|pfb|pcf)$", 16384),
         ("pictures", 0.05, ["/usr/share", "/usr/lib"], r"\.(png|jpe?g)$", 16384),
         ("compressed", 0.15, ["/usr/share", "/usr/lib"], r"\.(gz|xz)$", 65536),
         ("random", 1.0, None, None, 0)]
DEVICES = re.compile(r"^(con|prn|aux|nul|com\d|lpt\d)(\..*)?$", re.I)
SAFE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]{0,80}(?<![.])$")


def candidates(roots, names):
    """Regular files under roots whose names match, each with its place in the game folder."""
    for root in roots:
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                path = Path(folder, name)
                rel = Path(root).name / path.relative_to(root)
                if re.search(names, name, re.I) and not path.is_symlink() and path.is_file() \
                        and all(SAFE.match(p) and not DEVICES.match(p) for p in rel.parts):
                    yield path, rel


def gather(game):
    """Fills game with about SIZE bytes; {kind: [relative paths]}, and for version 2 a reserve of
    programs not in version 1 ({relative path: source})."""
    kinds, seen, names, total, reserve = {}, set(), set(), 0, {}
    for kind, share, roots, pattern, smallest in KINDS:
        budget, got = min(share * SIZE, SIZE - total), 0
        kinds[kind] = []
        if roots is None:
            rng = random.Random(kind)
            while got < budget:
                data = rng.randbytes(min(rng.randrange(MIB, 8 * MIB), int(budget - got) + 1))
                rel = Path(kind) / f"pack{len(kinds[kind]):03}.bin"
                (game / rel).parent.mkdir(parents=True, exist_ok=True)
                (game / rel).write_bytes(data)
                kinds[kind].append(rel.as_posix())
                got += len(data)
            break
        found = list(candidates(roots, pattern))
        random.Random(kind).shuffle(found)
        for path, rel in found:
            size = path.stat().st_size
            if size < smallest or size > 16 * MIB or (kind / rel).as_posix().lower() in names:
                continue
            data = path.read_bytes()
            digest = hashlib.sha256(data).digest()
            if digest in seen:
                continue
            seen.add(digest)
            names.add((kind / rel).as_posix().lower())
            if got >= budget:  # the next programs are new in version 2
                if kind == "programs" and len(reserve) < 200 and sum(reserve.values(), 0) < 0.02 * SIZE:
                    reserve[(kind / rel).as_posix()] = size
                    (WORK / "reserve" / kind / rel).parent.mkdir(parents=True, exist_ok=True)
                    (WORK / "reserve" / kind / rel).write_bytes(data)
                    continue
                break
            (game / kind / rel).parent.mkdir(parents=True, exist_ok=True)
            (game / kind / rel).write_bytes(data)
            kinds[kind].append((kind / rel).as_posix())
            got += size
        total += got
    return kinds, reserve


def next_version(v1, v2, kinds, reserve):
    """Version 2: a copy of version 1 (hard links) with one file in 16 of each kind changed in one
    place, about 16 KiB reversed, and the reserved programs added."""
    shutil.copytree(v1, v2, copy_function=os.link)
    rng = random.Random("version 2")
    for rel in (r for paths in kinds.values() for r in paths if rng.random() < 1 / 16):
        data = bytearray((v1 / rel).read_bytes())
        at, n = rng.randrange(len(data)), min(16384, len(data) // 4 + 1)
        data[at:at + n] = data[at:at + n][::-1] + b"v2"
        (v2 / rel).unlink()
        (v2 / rel).write_bytes(data)
    for rel in reserve:
        (v2 / rel).parent.mkdir(parents=True, exist_ok=True)
        os.link(WORK / "reserve" / rel, v2 / rel)


def publish(source, name, version, *flags):
    shutil.copytree(source, WWW / name, copy_function=os.link)
    subprocess.run([sys.executable, str(REPO / "tools" / "make-manifest"), str(WWW / name), "--sign", str(KEY),
                    "--version", str(version), *flags], check=True, stdout=subprocess.DEVNULL)
    return json.loads((WWW / name / "manifest.json").read_text(encoding="utf-8"))


def fresh_install(base, port):
    """Seconds, (working set before, peak) of updater_pass_runner's pass into an empty folder."""
    game = WORK / "game"
    shutil.rmtree(game, ignore_errors=True)
    game.mkdir()
    start = time.perf_counter()
    done = subprocess.run([*RUNNER, f"127.0.0.1:{port}", base, "--peak"], cwd=game, capture_output=True, text=True)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"the install from {base} failed ({done.returncode}): {done.stdout}{done.stderr}")
    return took, [int(v) for v in done.stdout.split() if v.isdigit()]


def by_kind(requests, kind_of):
    """Bytes sent per kind of file; the manifest and its signature are a kind of their own."""
    sums = {}
    for uri, _, sent, _ in requests:
        name = uri.rsplit("/", 1)[-1]
        kind = "manifest" if name.startswith("manifest.json") else kind_of.get(name.split(".")[0]) or \
            uri.split("/")[2]
        sums[kind] = sums.get(kind, 0) + sent
    return sums


def seconds(times):
    return f"{statistics.median(times):7.2f} s (runs {', '.join('%.2f' % t for t in times)})"


def wine_prefixes(count):
    """count copies of the sandbox's prefix: hard links, but for the registry files that Wine rewrites."""
    subprocess.run(["wine", "reg", "delete", r"HKCU\Software\Haldor\Tarsk\Launcher", "/f"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)  # the registry on disk as it is now
    source, prefixes = Path(os.environ["WINEPREFIX"]), []
    (WORK / "prefixes").mkdir()
    for i in range(count):
        prefix = WORK / "prefixes" / f"p{i:02}"
        subprocess.run(["cp", "-al", str(source), str(prefix)], check=True)
        for reg in prefix.glob("*.reg"):
            reg.unlink()
            shutil.copy2(source / reg.name, reg)
        prefixes.append(prefix)
    return prefixes


def update_only(prefix, game):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env["WINEPREFIX"] = str(prefix)
    return subprocess.Popen(["wine", str(BUILD / "Launcher.exe"), "--update-only"], cwd=game, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def same_as(game, v2, manifest):
    """Whether every listed file in game is version 2's, and nothing is left staged."""
    for entry in manifest["files"]:
        mine, theirs = game / entry["path"], v2 / entry["path"]
        if not mine.is_file() or (mine.stat().st_ino != theirs.stat().st_ino and
                                  mine.read_bytes() != theirs.read_bytes()):
            return False
    return not any(game.rglob("*.launcher-part"))


def release_day(edge, v1, v2):
    game, prefixes = WORK / "old", wine_prefixes(LAUNCHERS + 1)
    shutil.copytree(v1, game, copy_function=os.link)
    # The players' folders hold version 1 with the launcher's records of it, as after an update.
    shutil.rmtree(WWW / "patch", ignore_errors=True)
    shutil.copytree(WWW / "objects", WWW / "patch", copy_function=os.link)
    if update_only(prefixes[-1], game).wait() != 0:
        raise SystemExit("version 1's check of the old folder failed")
    (game / "Launcher.log").unlink(missing_ok=True)
    games = []
    for i in range(LAUNCHERS + 1):
        games.append(WORK / "players" / f"g{i:02}")
        shutil.copytree(game, games[-1], copy_function=os.link)
        (games[-1] / "Launcher.verified").unlink()
        shutil.copy2(game / "Launcher.verified", games[-1])
    shutil.rmtree(WWW / "patch")
    manifest = publish(v2, "patch", 2, "--objects")
    marks = edge.mark("edge"), edge.mark("origin")
    start = time.perf_counter()
    processes = [update_only(prefixes[i], games[i]) for i in range(LAUNCHERS)]
    codes = [p.wait() for p in processes]
    took = time.perf_counter() - start
    served, sent = edge.log("edge", marks[0]), edge.log("origin", marks[1])
    start = time.perf_counter()
    alone = update_only(prefixes[-1], games[-1]).wait()
    took_alone = time.perf_counter() - start
    for prefix in prefixes:
        subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": str(prefix)}, stderr=subprocess.DEVNULL)
    same = sum(same_as(g, v2, manifest) for g in games[:LAUNCHERS])
    patch = sum(b for _, _, b, _ in served) / LAUNCHERS
    hits = sum(s == "HIT" for *_, s in served)
    asked = Counter(uri for uri, *_ in sent)
    objects = [u for u in asked if "/objects/" in u or "/blocks/" in u]
    origin = sum(b for *_, b, _ in sent)
    origin_objects = sum(b for u, _, b, _ in sent if u in objects)
    print(f"\n-- release day: {LAUNCHERS} headless launchers (a Wine prefix each) update copies of one version 1 "
          f"folder to version 2 at once through the caching edge")
    print(f"  outcomes          {codes.count(0)} of {LAUNCHERS} exit 0 (codes {sorted(set(codes))}), "
          f"{same} of {LAUNCHERS} folders byte-identical to version 2")
    print(f"  one update        {patch:,.0f} bytes from the edge (its bytes sent / {LAUNCHERS}), "
          f"{len(served) / LAUNCHERS:.0f} requests")
    whole = sum((WWW / u.lstrip("/")).stat().st_size for u in objects)
    print(f"  origin sent       {origin:,} bytes in {len(sent)} requests = {origin / patch:.3f} x one update "
          f"(target <= 1.2): objects and block lists {origin_objects:,} bytes, {len(objects)} of them asked at "
          f"most {max((asked[u] for u in objects), default=0)} time(s) each, {origin_objects / whole:.3f} x their "
          f"sizes (the edge fetches the 256 KiB slices a delta's ranges touch); manifests and signatures "
          f"{origin - origin_objects:,} bytes")
    print(f"  edge              {hits} hits of {len(served)} requests, hit ratio {hits / len(served):.3f} "
          f"(statuses: {', '.join(f'{s} {n}' for s, n in sorted(Counter(s for *_, s in served).items()))})")
    print(f"  wall time         {took:.1f} s for all {LAUNCHERS} (from their start, Wine's included); one more "
          f"alone afterwards, the edge warm: {took_alone:.1f} s (exit {alone})")


def installs(v1, kinds, plain, kind_of, edge):
    """Fresh installs of each layout in turn: bytes by kind, wall times, memory."""
    times, memory, sent = {f"{layout}{where}": [] for layout in ("plain", "objects")
                           for where in ("", *(" " + w for w in FAR))}, {}, {}
    servers = [subprocess.Popen([sys.executable, str(REPO / "scripts" / "patch_server.py"), "--root", str(WWW),
                                 "--prefix", "/", "--port", str(port), "--rate", str(rate)])
               for port, rate in FAR.values()]
    try:
        for _ in range(RUNS):
            for layout in ("plain", "objects"):
                if "install" in STAGES:
                    mark = edge.mark("origin")
                    took, memory[layout] = fresh_install(f"/{layout}/", ORIGIN)
                    times[layout].append(took)
                    sent[layout] = by_kind(edge.log("origin", mark), kind_of)
                for where, (port, _) in FAR.items() if "far" in STAGES else ():
                    times[f"{layout} {where}"].append(fresh_install(f"/{layout}/~rtt={RTT_MS}/", port)[0])
    finally:
        for server in servers:
            server.terminate()
    if "install" in STAGES:
        files = {kind: (len(paths), sum((v1 / p).stat().st_size for p in paths)) for kind, paths in kinds.items()}
        files["manifest"] = (2, (WWW / "plain" / "manifest.json").stat().st_size)
        files["total"] = tuple(map(sum, zip(*files.values())))
        for layout in ("plain", "objects"):
            sent[layout]["total"] = sum(sent[layout].values())
        print(f"\n-- a fresh install of {len(plain['files'])} files: bytes nginx sent (headers included), "
              f"the plain layout against objects (manifest: the plain one's size)")
        print(f"  {'kind':<12}{'files':>6}{'size':>14}{'plain':>14}{'objects':>14}  ratio")
        for kind, (n, size) in files.items():
            p, o = sent["plain"].get(kind, 0), sent["objects"].get(kind, 0)
            print(f"  {kind:<12}{n:>6}{size:>14,}{p:>14,}{o:>14,}  {o / p:.3f}"
                  f"{'  (target <= 0.75)' if kind == 'total' else ''}")
    print(f"\n-- wall time of that install, medians of {RUNS} runs, the two layouts in turn")
    for suffix, where, target in (("", "loopback", "target <= 1"), (" far", f"{RTT_MS} ms an answer", "target < 1"),
                                  (" far line", f"{RTT_MS} ms, 2 MB/s", "6 connections: about 100 Mbit/s")):
        if times["plain" + suffix]:
            p, o = (statistics.median(times[layout + suffix]) for layout in ("plain", "objects"))
            print(f"  {where:<18} plain {seconds(times['plain' + suffix])}  objects {seconds(times['objects' + suffix])}"
                  f"  ratio {o / p:.3f} ({target})")
    if memory:
        print("\n-- peak working set of the install over the working set before it (target <= 8 MiB for objects)")
        for layout in ("plain", "objects"):
            before, peak = memory[layout]
            print(f"  {layout:<8} +{(peak - before) / MIB:.1f} MiB over {before / MIB:.1f} MiB")


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    v1, v2 = WORK / "v1", WORK / "v2"
    v1.mkdir(parents=True)
    print(f"== cdn benchmark: {time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}, {os.cpu_count()} cores, "
          f"{subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}, "
          f"load {' '.join(Path('/proc/loadavg').read_text().split()[:3])}")
    kinds, reserve = gather(v1)
    next_version(v1, v2, kinds, reserve)
    plain = publish(v1, "plain", 1)
    objects = publish(v1, "objects", 1, "--objects")
    kind_of = {e["hash"].lower(): e["path"].split("/")[0] for e in objects["files"]}
    edge = Edge(WORK / "nginx", WWW, 80, ORIGIN)
    try:
        if {"install", "far"} & STAGES:
            installs(v1, kinds, plain, kind_of, edge)
        if "release" in STAGES:
            release_day(edge, v1, v2)
    finally:
        edge.stop()
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
