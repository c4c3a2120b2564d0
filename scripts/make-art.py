#!/usr/bin/env python3
"""Generate the launcher's art resources.

Writes, relative to the repository root:
  Launcher/resources/background.png  900x550 RGBA night-time scenery
  Launcher/resources/background-2x.png  the same at 1800x1100, for 150 % and up
  Launcher/resources/launcher.ico    flame-and-sword emblem, 256..16 px
  Launcher/resources/cursor.cur      32x32 gold arrow pointer, hot spot (1, 3)

Pure Python 3 standard library (zlib + struct); the output is fully
deterministic because every random choice comes from a fixed seed.

Usage:  python3 scripts/make-art.py [output-directory]
"""

import math
import os
import random
import struct
import sys
import zlib

SEED = 0x20CA7

# ---------------------------------------------------------------------------
# Small helpers
# ---------------------------------------------------------------------------


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def smoothstep(e0, e1, x):
    t = clamp((x - e0) / (e1 - e0))
    return t * t * (3.0 - 2.0 * t)


def lerp(a, b, t):
    return a + (b - a) * t


def lerp3(c0, c1, t):
    return (c0[0] + (c1[0] - c0[0]) * t,
            c0[1] + (c1[1] - c0[1]) * t,
            c0[2] + (c1[2] - c0[2]) * t)


def gradient(stops, t):
    """Piecewise linear colour ramp; stops = [(pos, (r, g, b)), ...]."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return lerp3(c0, c1, (t - p0) / (p1 - p0))
    return stops[-1][1]


# ---------------------------------------------------------------------------
# PNG writer
# ---------------------------------------------------------------------------


def _paeth(a, b, c):
    p = a + b - c
    pa = abs(p - a)
    pb = abs(p - b)
    pc = abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    if pb <= pc:
        return b
    return c


def _filter_row(row, prev, bpp):
    """Return the filtered scanline (with filter byte) that compresses best,
    judged by the usual minimum-sum-of-absolute-differences heuristic."""
    n = len(row)
    sub = bytearray(n)
    up = bytearray(n)
    pae = bytearray(n)
    for i in range(n):
        x = row[i]
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        sub[i] = (x - a) & 0xFF
        up[i] = (x - b) & 0xFF
        pae[i] = (x - _paeth(a, b, c)) & 0xFF

    def cost(buf):
        return sum(v if v < 128 else 256 - v for v in buf)

    best = min(((cost(row), 0, row), (cost(sub), 1, sub),
                (cost(up), 2, up), (cost(pae), 4, pae)),
               key=lambda t: t[0])
    return bytes([best[1]]) + bytes(best[2])


def png_bytes(width, height, rows):
    """Encode RGBA rows (iterables of bytes, 4*width each) as a PNG file."""
    def chunk(tag, data):
        body = tag + data
        return (struct.pack(">I", len(data)) + body +
                struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        row = bytes(row)
        assert len(row) == width * 4
        raw += _filter_row(row, prev, 4)
        prev = row
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# Noise
# ---------------------------------------------------------------------------


class Noise:
    """Seeded value noise in one and two dimensions with fBm helpers."""

    def __init__(self, seed):
        rnd = random.Random(seed)
        self.perm = list(range(256))
        rnd.shuffle(self.perm)
        self.perm += self.perm
        self.vals = [rnd.random() for _ in range(256)]

    def n1(self, x):
        xi = math.floor(x)
        f = x - xi
        i = int(xi) & 255
        a = self.vals[self.perm[i]]
        b = self.vals[self.perm[i + 1]]
        f = f * f * (3.0 - 2.0 * f)
        return a + (b - a) * f

    def n2(self, x, y):
        xi = math.floor(x)
        yi = math.floor(y)
        fx = x - xi
        fy = y - yi
        i = int(xi) & 255
        j = int(yi) & 255
        p = self.perm
        v = self.vals
        a = v[p[p[i] + j]]
        b = v[p[p[i + 1] + j]]
        c = v[p[p[i] + j + 1]]
        d = v[p[p[i + 1] + j + 1]]
        fx = fx * fx * (3.0 - 2.0 * fx)
        fy = fy * fy * (3.0 - 2.0 * fy)
        top = a + (b - a) * fx
        bot = c + (d - c) * fx
        return top + (bot - top) * fy

    def fbm1(self, x, octaves=5, gain=0.5):
        s = 0.0
        amp = 1.0
        norm = 0.0
        for _ in range(octaves):
            s += self.n1(x) * amp
            norm += amp
            amp *= gain
            x = x * 2.03 + 17.1
        return s / norm

    def fbm2(self, x, y, octaves=4, gain=0.5):
        s = 0.0
        amp = 1.0
        norm = 0.0
        for _ in range(octaves):
            s += self.n2(x, y) * amp
            norm += amp
            amp *= gain
            x = x * 2.01 + 31.7
            y = y * 2.03 + 11.3
        return s / norm


# ---------------------------------------------------------------------------
# Polygon rasteriser (scanline with vertical super-sampling and exact
# horizontal span coverage) used for the icon and the cursor.
# ---------------------------------------------------------------------------


def raster_poly(points, width, height, ss=8):
    """Even-odd fill of a closed polygon given in pixel coordinates.
    Returns a list of coverage values in [0, 1], row-major."""
    cov = [0.0] * (width * height)
    n = len(points)
    edges = []
    for k in range(n):
        x0, y0 = points[k]
        x1, y1 = points[(k + 1) % n]
        if y0 == y1:
            continue
        if y0 > y1:
            x0, y0, x1, y1 = x1, y1, x0, y0
        edges.append((y0, y1, x0, (x1 - x0) / (y1 - y0)))
    if not edges:
        return cov
    ymin = max(0, int(math.floor(min(e[0] for e in edges))))
    ymax = min(height - 1, int(math.ceil(max(e[1] for e in edges))))
    w = 1.0 / ss
    for py in range(ymin, ymax + 1):
        base = py * width
        for k in range(ss):
            sy = py + (k + 0.5) * w
            xs = sorted(ex + (sy - ey0) * slope
                        for ey0, ey1, ex, slope in edges if ey0 <= sy < ey1)
            for m in range(0, len(xs) - 1, 2):
                xa = clamp(xs[m], 0.0, float(width))
                xb = clamp(xs[m + 1], 0.0, float(width))
                if xb <= xa:
                    continue
                ia = int(xa)
                ib = int(xb)
                if ia == ib:
                    cov[base + ia] += (xb - xa) * w
                    continue
                cov[base + ia] += (ia + 1 - xa) * w
                for ix in range(ia + 1, min(ib, width)):
                    cov[base + ix] += w
                if ib < width:
                    cov[base + ib] += (xb - ib) * w
    return [c if c < 1.0 else 1.0 for c in cov]


def chaikin(points, sharp, iterations=3):
    """Closed-curve corner cutting; vertices whose index is in `sharp`
    keep their exact position so flame tongues stay pointed."""
    pts = [(p, i in sharp) for i, p in enumerate(points)]
    for _ in range(iterations):
        out = []
        n = len(pts)
        for k in range(n):
            (p0, s0), (p1, _s1) = pts[k], pts[(k + 1) % n]
            if s0:
                out.append((p0, True))
            q = (0.75 * p0[0] + 0.25 * p1[0], 0.75 * p0[1] + 0.25 * p1[1])
            r = (0.25 * p0[0] + 0.75 * p1[0], 0.25 * p0[1] + 0.75 * p1[1])
            out.append((q, False))
            out.append((r, False))
        pts = out
    return [p for p, _ in pts]


def offset_poly(points, d, miter_limit=2.0):
    """Offset a counter-clockwise-in-screen polygon outward by d pixels
    (mitred joins, clamped).  Orientation is detected automatically."""
    n = len(points)
    area = 0.0
    for k in range(n):
        x0, y0 = points[k]
        x1, y1 = points[(k + 1) % n]
        area += x0 * y1 - x1 * y0
    sign = 1.0 if area > 0 else -1.0
    out = []
    for k in range(n):
        px, py = points[k - 1]
        cx, cy = points[k]
        nx, ny = points[(k + 1) % n]
        e0 = (cx - px, cy - py)
        e1 = (nx - cx, ny - cy)
        l0 = math.hypot(*e0) or 1.0
        l1 = math.hypot(*e1) or 1.0
        # outward normals (for positive screen-space area: (dy, -dx))
        n0 = (sign * e0[1] / l0, -sign * e0[0] / l0)
        n1 = (sign * e1[1] / l1, -sign * e1[0] / l1)
        bx, by = n0[0] + n1[0], n0[1] + n1[1]
        bl = math.hypot(bx, by)
        if bl < 1e-6:
            bx, by, bl = n0[0], n0[1], 1.0
        bx /= bl
        by /= bl
        cos_half = bx * n0[0] + by * n0[1]
        m = d / max(cos_half, 1e-6)
        m = min(m, d * miter_limit)
        out.append((cx + bx * m, cy + by * m))
    return out


def box_blur(buf, w, h, r, passes=3):
    """Separable running-sum box blur (approximates a Gaussian)."""
    for _ in range(passes):
        tmp = [0.0] * (w * h)
        inv = 1.0 / (2 * r + 1)
        for y in range(h):
            row = y * w
            s = 0.0
            for x in range(-r, r + 1):
                s += buf[row + min(max(x, 0), w - 1)]
            for x in range(w):
                tmp[row + x] = s * inv
                s += buf[row + min(x + r + 1, w - 1)]
                s -= buf[row + max(x - r, 0)]
        out = [0.0] * (w * h)
        for x in range(w):
            s = 0.0
            for y in range(-r, r + 1):
                s += tmp[min(max(y, 0), h - 1) * w + x]
            for y in range(h):
                out[y * w + x] = s * inv
                s += tmp[min(y + r + 1, h - 1) * w + x]
                s -= tmp[max(y - r, 0) * w + x]
        buf = out
    return buf


class Canvas:
    """Straight-alpha RGBA float canvas with 'over' compositing."""

    def __init__(self, w, h):
        self.w = w
        self.h = h
        self.r = [0.0] * (w * h)
        self.g = [0.0] * (w * h)
        self.b = [0.0] * (w * h)
        self.a = [0.0] * (w * h)

    def over(self, i, col, alpha):
        if alpha <= 0.0:
            return
        if alpha > 1.0:
            alpha = 1.0
        da = self.a[i]
        oa = alpha + da * (1.0 - alpha)
        if oa <= 0.0:
            return
        k = da * (1.0 - alpha)
        self.r[i] = (col[0] * alpha + self.r[i] * k) / oa
        self.g[i] = (col[1] * alpha + self.g[i] * k) / oa
        self.b[i] = (col[2] * alpha + self.b[i] * k) / oa
        self.a[i] = oa

    def fill(self, cov, colour_fn, opacity=1.0):
        """Composite a coverage mask; colour_fn(x, y) -> (r, g, b)."""
        w = self.w
        for i, c in enumerate(cov):
            if c > 0.0:
                y, x = divmod(i, w)
                self.over(i, colour_fn(x, y), c * opacity)

    def rgba_rows(self):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                i = y * self.w + x
                a = int(round(clamp(self.a[i]) * 255))
                if a == 0:
                    row += b"\0\0\0\0"
                    continue
                row += bytes((int(round(clamp(self.r[i], 0, 255))),
                              int(round(clamp(self.g[i], 0, 255))),
                              int(round(clamp(self.b[i], 0, 255))), a))
            rows.append(row)
        return rows


# ---------------------------------------------------------------------------
# Background
# ---------------------------------------------------------------------------

BG_W, BG_H = 900, 550

MOON_X, MOON_Y, MOON_R = 700.0, 104.0, 36.0

# Areas the launcher draws white text/buttons over: kept dark and calm.
QUIET_RECTS = [(80, 280, 260, 450), (620, 390, 860, 460)]
STATUS_Y0, STATUS_Y1 = 475, 520

# Stroke font on a 4 x 6 grid (y grows downwards).
GLYPHS = {
    "Z": [[(0, 0), (4, 0), (0, 6), (4, 6)]],
    "O": [[(1, 0), (3, 0), (4, 1), (4, 5), (3, 6), (1, 6), (0, 5), (0, 1),
           (1, 0)]],
    "V": [[(0, 0), (2, 6), (4, 0)]],
    "R": [[(0, 6), (0, 0), (3, 0), (4, 1), (4, 2), (3, 3), (0, 3)],
          [(2.2, 3), (4, 6)]],
    "A": [[(0, 6), (2, 0), (4, 6)], [(0.75, 3.8), (3.25, 3.8)]],
    "N": [[(0, 6), (0, 0), (4, 6), (4, 0)]],
    "L": [[(0, 0), (0, 6), (4, 6)]],
    "I": [[(2, 0), (2, 6)], [(1, 0), (3, 0)], [(1, 6), (3, 6)]],
    "E": [[(4, 0), (0, 0), (0, 6), (4, 6)], [(0, 3), (3, 3)]],
}


def text_segments(text, x0, y0, scale, advance):
    segs = []
    x = x0
    for ch in text:
        for line in GLYPHS.get(ch, []):
            for (ax, ay), (bx, by) in zip(line, line[1:]):
                segs.append((x + ax * scale, y0 + ay * scale,
                             x + bx * scale, y0 + by * scale))
        x += advance
    return segs


def seg_dist(px, py, s):
    ax, ay, bx, by = s
    dx = bx - ax
    dy = by - ay
    ll = dx * dx + dy * dy
    t = ((px - ax) * dx + (py - ay) * dy) / ll if ll else 0.0
    t = 0.0 if t < 0.0 else 1.0 if t > 1.0 else t
    ex = ax + dx * t - px
    ey = ay + dy * t - py
    return math.sqrt(ex * ex + ey * ey)


def make_background(S=1):
    """The scenery at S pixels per design pixel (1 or 2). Everything is laid
    out in design pixels; a pixel is sampled at its centre, edges stay one
    pixel soft at any S, and S = 1 gives the 900 x 550 picture unchanged."""
    W, H = BG_W * S, BG_H * S

    def dc(i):
        """The design coordinate of pixel i's centre (i itself at S = 1)."""
        return float(i) if S == 1 else (i + 0.5) / S - 0.5

    def block(px, py):
        """Indices of the pixels that design pixel (px, py) covers."""
        return [(py * S + j) * W + px * S + i for j in range(S) for i in range(S)]

    xs = [dc(x) for x in range(W)]
    rnd = random.Random(SEED)
    nz = Noise(SEED + 1)
    nz2 = Noise(SEED + 2)
    R = [0.0] * (W * H)
    G = [0.0] * (W * H)
    B = [0.0] * (W * H)

    # --- sky gradient with moon halo and a faint horizon glow ------------
    sky = [(0.00, (5, 5, 17)), (0.22, (10, 10, 34)), (0.45, (21, 17, 52)),
           (0.62, (37, 23, 60)), (0.75, (52, 28, 58)), (1.00, (40, 22, 40))]
    for y in range(H):
        yd = dc(y)
        c = gradient(sky, yd / (BG_H - 1))
        row = y * W
        dy = yd - MOON_Y
        for x in range(W):
            xd = xs[x]
            dx = xd - MOON_X
            d = math.sqrt(dx * dx + dy * dy)
            halo = (0.55 * math.exp(-max(d - MOON_R, 0.0) / 26.0) +
                    0.35 * math.exp(-max(d - MOON_R, 0.0) / 110.0) +
                    0.15 * math.exp(-d / 320.0))
            # warm horizon glow behind the valley
            hx = (xd - 450.0) / 330.0
            hy = (yd - 360.0) / 85.0
            hg = math.exp(-(hx * hx + hy * hy))
            R[row + x] = c[0] + 70 * halo + 40 * hg
            G[row + x] = c[1] + 72 * halo + 16 * hg
            B[row + x] = c[2] + 100 * halo + 12 * hg

    # --- stars --------------------------------------------------------------
    for _ in range(520):
        x = rnd.uniform(0, BG_W - 1)
        y = (rnd.random() ** 1.6) * 340
        b = 25 + 200 * rnd.random() ** 3.2
        dm = math.hypot(x - MOON_X, y - MOON_Y)
        if dm < MOON_R + 30:
            continue
        b *= smoothstep(MOON_R + 30, MOON_R + 140, dm) * 0.7 + 0.3
        b *= 1.0 - smoothstep(200, 340, y) * 0.8
        tint = rnd.choice([(1.0, 0.95, 0.85), (0.85, 0.9, 1.0),
                           (1.0, 1.0, 1.0), (0.9, 0.9, 1.0)])
        ix, iy = int(x), int(y)
        fx, fy = x - ix, y - iy
        # bilinear splat keeps stars soft and sub-pixel positioned
        for ox, oy, wgt in ((0, 0, (1 - fx) * (1 - fy)), (1, 0, fx * (1 - fy)),
                            (0, 1, (1 - fx) * fy), (1, 1, fx * fy)):
            px, py = ix + ox, iy + oy
            if 0 <= px < BG_W and 0 <= py < BG_H:
                for i in block(px, py):
                    R[i] += b * wgt * tint[0] * 1.6
                    G[i] += b * wgt * tint[1] * 1.6
                    B[i] += b * wgt * tint[2] * 1.6
        if b > 150:  # a tiny cross glint on the brightest few
            for ox, oy in ((-2, 0), (2, 0), (0, -2), (0, 2),
                           (-1, 0), (1, 0), (0, -1), (0, 1)):
                px, py = ix + ox, iy + oy
                k = 0.12 if abs(ox) + abs(oy) == 2 else 0.3
                if 0 <= px < BG_W and 0 <= py < BG_H:
                    for i in block(px, py):
                        R[i] += b * k * tint[0]
                        G[i] += b * k * tint[1]
                        B[i] += b * k * tint[2]

    # --- moon -------------------------------------------------------------
    for y in range(int((MOON_Y - MOON_R - 2) * S), int((MOON_Y + MOON_R + 3) * S)):
        for x in range(int((MOON_X - MOON_R - 2) * S), int((MOON_X + MOON_R + 3) * S)):
            dx = (x + 0.5) / S - MOON_X
            dy = (y + 0.5) / S - MOON_Y
            d = math.sqrt(dx * dx + dy * dy)
            cov = clamp((MOON_R - d) * S + 0.5)
            if cov <= 0:
                continue
            rr = d / MOON_R
            limb = 1.0 - 0.35 * rr ** 3
            mare = nz2.fbm2(xs[x] / 14.0, dc(y) / 14.0, 4)
            mare = smoothstep(0.42, 0.7, mare) * 0.22
            # light from the upper right; soft terminator on the lower left
            lit = 0.78 + 0.22 * clamp((dx * 0.6 - dy * 0.8) / MOON_R * 1.2 +
                                      0.5)
            k = limb * (1.0 - mare) * lit
            col = (232 * k, 226 * k, 206 * k)
            i = y * W + x
            R[i] = lerp(R[i], col[0], cov)
            G[i] = lerp(G[i], col[1], cov)
            B[i] = lerp(B[i], col[2], cov)

    # --- thin wispy clouds --------------------------------------------------
    for y in range(30 * S, 300 * S):
        yd = dc(y)
        band = smoothstep(30, 90, yd) * (1.0 - smoothstep(220, 300, yd))
        if band <= 0:
            continue
        row = y * W
        for x in range(W):
            xd = xs[x]
            n = nz.fbm2(xd / 230.0, yd / 22.0, 5)
            dens = smoothstep(0.50, 0.78, n) * band * 0.75
            if dens <= 0.002:
                continue
            dm = math.hypot(xd - MOON_X, yd - MOON_Y)
            moonlit = math.exp(-dm / 120.0)
            cr = 28 + 120 * moonlit
            cg = 26 + 118 * moonlit
            cb = 58 + 128 * moonlit
            i = row + x
            R[i] = lerp(R[i], cr, dens)
            G[i] = lerp(G[i], cg, dens)
            B[i] = lerp(B[i], cb, dens)

    # --- terrain heightfields ----------------------------------------------
    def ridge(x, scale, seed_off):
        n = nz.fbm1(x / scale + seed_off, 5, 0.55)
        return 1.0 - abs(2.0 * n - 1.0)

    def near_height(x):
        # near cliffs: high on the left, low valley in the middle, rising
        # again on the right
        t = x / (BG_W - 1)
        base = (240 + 210 * smoothstep(0.22, 0.44, t)
                - 70 * smoothstep(0.62, 0.9, t))
        return base - 30 * nz.fbm1(x / 70.0 + 200) - 8 * nz.fbm1(x / 12.0 + 300)

    far_h = []
    mid_h = []
    near_h = []
    for x in xs:
        # distant range: tall hazy peaks
        fh = 300 - 120 * ridge(x, 210.0, 3.0) ** 1.6 - 20 * nz.fbm1(x / 40.0 +
                                                                  50)
        far_h.append(fh)
        # middle hills carrying the castle
        mh = 360 - 70 * ridge(x, 160.0, 91.0) - 12 * nz.fbm1(x / 25.0 + 7)
        hill = math.exp(-((x - 530) / 120.0) ** 2)
        mh = lerp(mh, 318 - 10 * nz.fbm1(x / 20.0 + 3), hill)
        mid_h.append(mh)
        near_h.append(near_height(x))

    # conifers along the near ridge
    trees = []
    x = 2.0
    while x < BG_W:
        t = x / (BG_W - 1)
        if t < 0.30 or t > 0.58:
            h = rnd.uniform(22, 58) * (0.7 if t > 0.58 else 1.0)
            trees.append((x, h, h * rnd.uniform(0.22, 0.30)))
            x += rnd.uniform(6, 22)
        else:
            if rnd.random() < 0.25:
                h = rnd.uniform(10, 22)
                trees.append((x, h, h * 0.28))
            x += rnd.uniform(14, 40)
    tree_top = list(near_h)
    for tx, th, hw in trees:
        base_y = near_height(float(int(clamp(tx, 0, BG_W - 1)))) + 3
        tip = base_y - th
        for xi in range(int((tx - hw - 1) * S), int((tx + hw + 2) * S)):
            if not 0 <= xi < W:
                continue
            u = abs((xi + 0.5) / S - tx) / hw
            if u >= 1.0:
                continue
            # tiered silhouette: saw-tooth boughs
            tiers = 4
            yy = tip + th * u
            yy += (th / tiers) * 0.35 * ((u * tiers) % 1.0)
            tree_top[xi] = min(tree_top[xi], yy)

    # --- castle on the middle hill -----------------------------------------
    cb = 330.0  # walls run down into the hill
    rects = [
        (462, 284, 598, cb),        # curtain wall
        (466, 250, 482, cb),        # west tower
        (505, 238, 549, cb),        # keep
        (518, 202, 534, cb),        # great tower
        (552, 262, 561, cb),        # turret
        (575, 242, 592, cb),        # east tower
        (526, 150, 527.4, 176),     # flag pole
    ]
    for mx in range(463, 598, 7):  # crenellations
        rects.append((mx, 279, mx + 4, 285))
    for mx in range(505, 549, 7):
        rects.append((mx, 233, mx + 4, 239))
    roofs = [  # (x0, x1, base_y, apex_x, apex_y)
        (463, 485, 251, 474, 224),
        (515, 537, 203, 526, 170),
        (550, 563, 263, 556.5, 248),
        (572, 595, 243, 583.5, 216),
    ]
    flag = [(527.4, 151.0), (541.0, 155.0), (535.0, 157.0), (541.0, 160.0),
            (527.4, 162.0)]

    def in_castle(px, py):
        for x0, y0, x1, y1 in rects:
            if x0 <= px < x1 and y0 <= py < y1:
                return True
        for x0, x1, by, ax, ay in roofs:
            if ay <= py < by:
                t = (py - ay) / (by - ay)
                if ax - (ax - x0) * t <= px < ax + (x1 - ax) * t:
                    return True
        # flag (point in polygon)
        inside = False
        n = len(flag)
        for k in range(n):
            xa, ya = flag[k]
            xb, yb = flag[(k + 1) % n]
            if (ya > py) != (yb > py):
                if px < xa + (py - ya) * (xb - xa) / (yb - ya):
                    inside = not inside
        return inside

    castle_cov = {}
    for y in range(145 * S, int(cb) * S):
        for x in range(455 * S, 605 * S):
            c = 0
            for sx in (0.2, 0.6, 1.0 - 0.2):
                for sy in (0.2, 0.6, 0.8):
                    if in_castle(x / S + sx / S, y / S + sy / S):
                        c += 1
            if c:
                castle_cov[(x, y)] = c / 9.0

    windows = [(472, 262), (472, 272), (512, 250), (539, 250), (525, 214),
               (525, 226), (583, 254), (583, 265), (556, 270), (496, 292),
               (568, 292), (529, 262)]

    # --- draw terrain layers ------------------------------------------------
    fog_col = (62, 50, 96)

    def draw_layer(heights, top_col, bot_col, depth, rim, tex,
                   cov_extra=None):
        for x in range(W):
            xd = xs[x]
            h = heights[x]
            slope = heights[min(x + 2 * S, W - 1)] - heights[max(x - 2 * S, 0)]
            facing = clamp(slope / 6.0) * rim  # slopes facing the moon
            y0 = max(int(h * S) - 1, 0)
            if cov_extra is not None:
                y0 = 140 * S
            for y in range(y0, H):
                cov = clamp(y + 1 - h * S)
                if cov_extra is not None:
                    cov = max(cov, cov_extra.get((x, y), 0.0))
                if cov <= 0:
                    continue
                dd = dc(y) - h
                t = clamp(dd / depth)
                c = lerp3(top_col, bot_col, t)
                edge = facing * math.exp(-max(dd, 0.0) / 2.2)
                if tex:
                    # erosion streaks plus broad blotches of rock
                    st = nz2.fbm2((xd + 0.45 * dd) / 8.0, dd / 36.0, 3)
                    bl = nz.fbm2(xd / 55.0, dc(y) / 28.0, 3)
                    fade = math.exp(-max(dd, 0.0) / (depth * 0.8))
                    sh = 1.0 + tex * ((st - 0.5) * 1.5 * fade +
                                      (bl - 0.5) * 0.9)
                else:
                    sh = 1.0
                i = y * W + x
                cr = c[0] * sh + 45 * edge
                cg = c[1] * sh + 45 * edge
                cb_ = c[2] * sh + 70 * edge
                R[i] = lerp(R[i], cr, cov)
                G[i] = lerp(G[i], cg, cov)
                B[i] = lerp(B[i], cb_, cov)

    def fog_band(yc, spread, strength, xscale, seed_off):
        for y in range(max(0, int((yc - 3 * spread) * S)),
                       min(H, int((yc + 3 * spread) * S))):
            yd = dc(y)
            dv = (yd - yc) / spread
            band = math.exp(-dv * dv) * strength
            row = y * W
            for x in range(W):
                n = nz2.fbm2(xs[x] / xscale + seed_off, yd / (spread * 0.9), 4)
                dens = band * (0.35 + 0.9 * smoothstep(0.35, 0.75, n))
                i = row + x
                R[i] = lerp(R[i], fog_col[0], dens)
                G[i] = lerp(G[i], fog_col[1], dens)
                B[i] = lerp(B[i], fog_col[2], dens)

    draw_layer(far_h, (40, 31, 74), (28, 22, 54), 120, 0.6, 0.45)
    fog_band(318, 26, 0.45, 160.0, 0.0)
    draw_layer(mid_h, (22, 17, 42), (15, 11, 30), 80, 0.4, 0.35, castle_cov)

    # lit castle windows
    for wx, wy in windows:
        for dy in range(3):
            for dx in range(2):
                k = 0.85 if dy else 0.6
                for i in block(wx + dx, wy + dy):
                    R[i] = lerp(R[i], 255, k)
                    G[i] = lerp(G[i], 165, k)
                    B[i] = lerp(B[i], 70, k)
        for dy in range(-4, 7):  # soft glow around each window
            for dx in range(-4, 6):
                d = math.hypot(dx - 0.5, dy - 1)
                g = 18 * math.exp(-d / 1.8)
                for i in block(wx + dx, wy + dy):
                    R[i] += g
                    G[i] += g * 0.5
                    B[i] += g * 0.15

    fog_band(392, 30, 0.5, 200.0, 40.0)
    draw_layer(tree_top, (11, 9, 21), (5, 4, 10), 70, 0.3, 0.4)

    # --- ember glow rising from the valley floor ---------------------------
    for y in range(250 * S, H):
        yd = dc(y)
        row = y * W
        for x in range(W):
            xd = xs[x]
            ex = (xd - 450.0) / 260.0
            ey = (yd - 520.0) / 95.0
            g = math.exp(-(ex * ex + ey * ey))
            g2 = math.exp(-((xd - 450.0) / 520.0) ** 2 - ((yd - 560) / 60.0) ** 2)
            flick = 0.8 + 0.4 * nz.fbm2(xd / 40.0, yd / 25.0, 3)
            k = (g * 0.85 + g2 * 0.22) * flick
            i = row + x
            R[i] += 120 * k
            G[i] += 42 * k
            B[i] += 6 * k

    # a few drifting sparks away from text areas
    for _ in range(16):
        sx = rnd.uniform(300, 600)
        sy = rnd.uniform(290, 462)
        br = rnd.uniform(0.2, 0.7)
        rad = rnd.uniform(0.6, 1.3)
        for y in range(int((sy - 5) * S), int((sy + 6) * S)):
            for x in range(int((sx - 5) * S), int((sx + 6) * S)):
                d = math.hypot((x + 0.5) / S - sx, (y + 0.5) / S - sy)
                k = br * (clamp((rad - d) * S + 0.5) * 0.8 +
                          0.35 * math.exp(-d / 1.8))
                if k <= 0.003:
                    continue
                i = y * W + x
                R[i] = lerp(R[i], 255, clamp(k))
                G[i] = lerp(G[i], 150, clamp(k))
                B[i] = lerp(B[i], 40, clamp(k))

    # --- title: ZOVRA / ONLINE ----------------------------------------------
    scale = 7.2
    advance = 46.0
    tx0, ty0 = 44.0, 38.0
    title = text_segments("ZOVRA", tx0, ty0, scale, advance)
    sub_scale = 2.2
    sub_adv = 16.0
    sub_w = 5 * sub_adv + 4 * sub_scale
    title_w = 4 * advance + 4 * scale
    sx0 = tx0 + (title_w - sub_w) / 2.0
    sy0 = ty0 + 6 * scale + 16
    subtitle = text_segments("ONLINE", sx0, sy0, sub_scale, sub_adv)
    stroke = 3.1
    sub_stroke = 1.15
    line_y = sy0 + 3 * sub_scale
    deco = [(tx0 - 6, line_y, sx0 - 10, line_y),
            (sx0 + sub_w + 10, line_y, tx0 + title_w + 6, line_y)]
    lx0, ly0 = int(tx0 - 30), int(ty0 - 24)
    lx1, ly1 = int(tx0 + title_w + 30), int(sy0 + 6 * sub_scale + 22)
    for y in range(ly0 * S, ly1 * S):
        row = y * W
        for x in range(lx0 * S, lx1 * S):
            px, py = (x + 0.5) / S, (y + 0.5) / S
            d_t = min(seg_dist(px, py, s) for s in title) - stroke
            d_s = min(seg_dist(px, py, s) for s in subtitle) - sub_stroke
            d_l = min(seg_dist(px, py, s) for s in deco) - 0.6
            # shadow from the title shifted down-right
            d_sh = min(seg_dist(px - 2.0, py - 3.0, s) for s in title) - stroke
            i = row + x
            glow = math.exp(-max(d_t, 0.0) / 9.0) * 0.30
            R[i] += 110 * glow
            G[i] += 38 * glow
            B[i] += 4 * glow
            sh = clamp(0.5 - d_sh / 2.5) * 0.7
            R[i] *= 1 - sh
            G[i] *= 1 - sh
            B[i] *= 1 - sh
            # dark outline, then gold face with a vertical metallic ramp
            oc = clamp(0.5 - (d_t - 1.4) * S)
            if oc > 0:
                R[i] = lerp(R[i], 26, oc)
                G[i] = lerp(G[i], 12, oc)
                B[i] = lerp(B[i], 4, oc)
            fc = clamp(0.5 - d_t * S)
            if fc > 0:
                v = (py - ty0) / (6 * scale)
                c = gradient([(0.0, (255, 236, 170)), (0.45, (246, 176, 64)),
                              (0.55, (214, 120, 26)), (1.0, (255, 170, 60))],
                             v)
                inner = clamp(-d_t / stroke)  # bevel: brighter stroke centre
                k = 0.82 + 0.25 * inner
                R[i] = lerp(R[i], c[0] * k, fc)
                G[i] = lerp(G[i], c[1] * k, fc)
                B[i] = lerp(B[i], c[2] * k, fc)
            sc = clamp(0.5 - d_s * S)
            if sc > 0:
                R[i] = lerp(R[i], 224, sc * 0.9)
                G[i] = lerp(G[i], 192, sc * 0.9)
                B[i] = lerp(B[i], 150, sc * 0.9)
            lc = clamp(0.5 - d_l * S)
            if lc > 0:
                fade = 1.0
                R[i] = lerp(R[i], 200, lc * 0.7 * fade)
                G[i] = lerp(G[i], 130, lc * 0.7 * fade)
                B[i] = lerp(B[i], 50, lc * 0.7 * fade)

    # --- calm areas under the UI, footer, vignette, grain ------------------
    def rect_mask(x, y, r, feather):
        x0, y0, x1, y1 = r
        dx = max(x0 - x, 0, x - x1)
        dy = max(y0 - y, 0, y - y1)
        return 1.0 - smoothstep(0.0, feather, math.hypot(dx, dy))

    grain = random.Random(SEED + 7)
    rows = []
    for y in range(H):
        yd = dc(y)
        row = y * W
        out = bytearray()
        footer = smoothstep(STATUS_Y0 - 14, STATUS_Y0 - 2, yd)
        vy = (yd - BG_H * 0.45) / (BG_H * 0.62)
        for x in range(W):
            xd = xs[x]
            i = row + x
            r, g, b = R[i], G[i], B[i]
            q = 0.0
            for rc in QUIET_RECTS:
                q = max(q, rect_mask(xd, yd, rc, 28.0))
            q = max(q, footer)
            if q > 0.0:
                # pull toward a flat dark value: lowers brightness and
                # local contrast together
                lum = 0.3 * r + 0.55 * g + 0.15 * b
                k = 0.55 * q
                r = lerp(r, lum * 0.35 + r * 0.3, k)
                g = lerp(g, lum * 0.35 + g * 0.3, k)
                b = lerp(b, lum * 0.35 + b * 0.3 + 3, k)
            vx = (xd - BG_W * 0.5) / (BG_W * 0.62)
            v = 1.0 - 0.55 * clamp(vx * vx + vy * vy)
            n = grain.gauss(0.0, 1.1)
            r = r * v + n
            g = g * v + n
            b = b * v + n
            out += bytes((int(clamp(r + 0.5, 0, 255)), int(clamp(g + 0.5, 0, 255)),
                          int(clamp(b + 0.5, 0, 255)), 255))
        rows.append(out)

    # a hairline that separates the status strip from the scenery
    for line in rows[(STATUS_Y0 - 9) * S:(STATUS_Y0 - 8) * S]:
        for x in range(W):
            k = 0.45 * math.sin(math.pi * xs[x] / (BG_W - 1)) ** 2
            line[4 * x] = int(lerp(line[4 * x], 150, k))
            line[4 * x + 1] = int(lerp(line[4 * x + 1], 82, k))
            line[4 * x + 2] = int(lerp(line[4 * x + 2], 28, k))
    return rows


# ---------------------------------------------------------------------------
# Icon emblem
# ---------------------------------------------------------------------------

FLAME_OUTER = [(0.50, 0.88), (0.37, 0.85), (0.27, 0.77), (0.22, 0.65),
               (0.23, 0.53), (0.27, 0.42), (0.30, 0.30), (0.35, 0.39),
               (0.39, 0.47), (0.40, 0.36), (0.44, 0.25), (0.50, 0.16),
               (0.56, 0.07), (0.58, 0.18), (0.61, 0.29), (0.63, 0.40),
               (0.67, 0.34), (0.72, 0.22), (0.75, 0.34), (0.79, 0.48),
               (0.79, 0.63), (0.74, 0.76), (0.63, 0.85)]
FLAME_OUTER_SHARP = {6, 12, 17}
FLAME_INNER = [(0.50, 0.85), (0.40, 0.81), (0.34, 0.72), (0.34, 0.62),
               (0.38, 0.52), (0.44, 0.43), (0.49, 0.31), (0.53, 0.42),
               (0.59, 0.51), (0.65, 0.61), (0.66, 0.71), (0.61, 0.80)]
FLAME_INNER_SHARP = {6}


def render_emblem(size):
    """Flame (and, from 48 px up, a sword) on a dark rounded square."""
    S = float(size)
    cv = Canvas(size, size)
    small = size <= 24

    # rounded square plate
    margin = 0.0 if small else 0.035 * S
    rad = (0.18 if small else 0.2) * S
    half = S / 2.0 - margin
    plate = [0.0] * (size * size)
    ring = [0.0] * (size * size)
    ring_w = max(1.0, 0.035 * S)
    for y in range(size):
        for x in range(size):
            px = abs(x + 0.5 - S / 2.0) - (half - rad)
            py = abs(y + 0.5 - S / 2.0) - (half - rad)
            d = (math.hypot(max(px, 0.0), max(py, 0.0)) +
                 min(max(px, py), 0.0) - rad)
            plate[y * size + x] = clamp(0.5 - d)
            inset = 0.0 if small else 0.045 * S
            dr = abs(d + inset + ring_w / 2.0) - ring_w / 2.0
            ring[y * size + x] = clamp(0.5 - dr) * plate[y * size + x]

    def plate_col(x, y):
        dx = (x + 0.5) / S - 0.5
        dy = (y + 0.5) / S - 0.58
        t = clamp(math.sqrt(dx * dx + dy * dy) / 0.62)
        return lerp3((62, 28, 30), (14, 9, 18), t)

    cv.fill(plate, plate_col)

    outer = [(u * S, v * S) for u, v in chaikin(FLAME_OUTER,
                                                  FLAME_OUTER_SHARP, 3)]
    inner = [(u * S, v * S) for u, v in chaikin(FLAME_INNER,
                                                  FLAME_INNER_SHARP, 3)]
    if small:  # fatten the flame a little so it reads at 16 px
        cx, cy = 0.5 * S, 0.6 * S
        outer = [(cx + (x - cx) * 1.12, cy + (y - cy) * 1.08) for x, y in outer]
    ss = 16 if size <= 32 else 8 if size <= 64 else 4
    fo = raster_poly(outer, size, size, ss)
    fi = raster_poly(inner, size, size, ss)

    # warm glow around the flame
    glow = box_blur(fo, size, size, max(1, int(size * 0.05)), 3)
    for i in range(size * size):
        g = glow[i] * plate[i] * 0.7
        if g > 0:
            cv.r[i] = lerp(cv.r[i], 255, g * 0.55)
            cv.g[i] = lerp(cv.g[i], 90, g * 0.55)
            cv.b[i] = lerp(cv.b[i], 10, g * 0.55)

    if not small:
        cv.fill(ring, lambda x, y: lerp3((255, 196, 90), (170, 80, 20),
                                         (y + 0.5) / S))

    def outer_col(x, y):
        v = (y + 0.5) / S
        return gradient([(0.05, (255, 196, 70)), (0.35, (255, 140, 0)),
                         (0.7, (236, 84, 8)), (0.9, (190, 40, 10))], v)

    def inner_col(x, y):
        v = (y + 0.5) / S
        return gradient([(0.3, (255, 214, 90)), (0.65, (255, 236, 150)),
                         (0.85, (255, 250, 215))], v)

    cv.fill(fo, outer_col)
    cv.fill(fi, inner_col)

    if size >= 48:
        # sword: blade, crossguard, grip and pommel, each with dark outline
        blade = [(0.5, 0.13), (0.535, 0.2), (0.535, 0.66), (0.465, 0.66),
                 (0.465, 0.2)]
        guard = [(0.33, 0.655), (0.67, 0.655), (0.70, 0.685), (0.67, 0.715),
                 (0.33, 0.715), (0.30, 0.685)]
        grip = [(0.472, 0.715), (0.528, 0.715), (0.528, 0.84), (0.472, 0.84)]
        pommel = [(0.5 + 0.038 * math.cos(a * math.pi / 8),
                   0.862 + 0.038 * math.sin(a * math.pi / 8))
                  for a in range(16)]
        line = max(1.0, S * 0.016)
        dark = (34, 14, 8)
        for shape in (blade, guard, grip, pommel):
            pts = [(u * S, v * S) for u, v in shape]
            cv.fill(raster_poly(offset_poly(pts, line, 2.5), size, size, ss),
                    lambda x, y: dark)

        def blade_col(x, y):
            u = (x + 0.5) / S
            v = (y + 0.5) / S
            side = 1.0 if u < 0.5 else 0.72   # two bevelled faces
            base = lerp3((250, 248, 240), (180, 186, 200), clamp((v - 0.15) / 0.5))
            return (base[0] * side, base[1] * side, base[2] * side)

        cv.fill(raster_poly([(u * S, v * S) for u, v in blade], size, size, ss),
                blade_col)

        def gold(x, y):
            v = (y + 0.5) / S
            return gradient([(0.64, (255, 226, 130)), (0.72, (200, 120, 30))], v)

        cv.fill(raster_poly([(u * S, v * S) for u, v in guard], size, size, ss),
                gold)
        cv.fill(raster_poly([(u * S, v * S) for u, v in grip], size, size, ss),
                lambda x, y: (150, 78, 36) if (y * 24 // size) % 2 else
                (112, 54, 26))
        cv.fill(raster_poly([(u * S, v * S) for u, v in pommel], size, size, ss),
                lambda x, y: (255, 120, 30) if (y + 0.5) / S > 0.86 else
                (255, 200, 110))
    return cv.rgba_rows()


# ---------------------------------------------------------------------------
# Cursor
# ---------------------------------------------------------------------------

CURSOR_HOTSPOT = (1, 3)


def render_cursor():
    size = 32
    cv = Canvas(size, size)
    # classic pointer outline, tip placed so the outline's point lands on
    # the hot-spot pixel
    base = [(0, 0), (0, 16.5), (3.9, 12.7), (6.9, 19.6), (9.7, 18.4),
            (6.8, 11.7), (11.8, 11.7)]
    k = 1.18
    tipx, tipy = 2.15, 5.0
    fill = [(tipx + x * k, tipy + y * k) for x, y in base]
    outline = offset_poly(fill, 1.25, 1.9)

    # soft drop shadow
    sh_pts = [(x + 1.6, y + 1.8) for x, y in outline]
    sh = box_blur(raster_poly(sh_pts, size, size, 8), size, size, 1, 2)
    cv.fill(sh, lambda x, y: (0, 0, 0), 0.45)

    cv.fill(raster_poly(outline, size, size, 16), lambda x, y: (46, 20, 4))

    def gold(x, y):
        # brighter along the left edge, darker toward the lower right
        u = (x + 0.5 - tipx) / (12.0 * k)
        v = (y + 0.5 - tipy) / (19.0 * k)
        t = clamp(0.55 * v + 0.6 * u)
        return gradient([(0.0, (255, 244, 180)), (0.35, (255, 200, 80)),
                         (0.7, (240, 140, 0)), (1.0, (190, 90, 0))], t)

    cv.fill(raster_poly(fill, size, size, 16), gold)

    # inner bevel highlight line along the left edge
    hl = [(tipx + 1.1, tipy + 3.2), (tipx + 2.0, tipy + 3.9),
          (tipx + 2.0, tipy + 15.0), (tipx + 1.1, tipy + 15.9)]
    cv.fill(raster_poly(hl, size, size, 16), lambda x, y: (255, 252, 220), 0.6)
    # darker bevel along the right-hand wing for a forged-metal look
    bev = [(tipx + 2.6, tipy + 3.6), (tipx + 10.6 * k, tipy + 10.9 * k),
           (tipx + 9.6 * k, tipy + 10.9 * k), (tipx + 2.6, tipy + 5.2)]
    cv.fill(raster_poly(bev, size, size, 16), lambda x, y: (150, 70, 0), 0.35)
    return cv.rgba_rows()


# ---------------------------------------------------------------------------
# ICO / CUR containers
# ---------------------------------------------------------------------------


def dib_bytes(size, rows):
    """32-bit BGRA DIB (bottom-up, height doubled) followed by the 1-bpp
    AND mask (1 = transparent)."""
    xor = bytearray()
    mask = bytearray()
    stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            if a == 0:
                r = g = b = 0
                bits[x >> 3] |= 0x80 >> (x & 7)
            xor += bytes((b, g, r, a))
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def icon_container(kind, images):
    """images: list of (size, payload bytes, field1, field2) where fields
    are (planes, bitcount) for icons or (hotspot x, hotspot y) for cursors."""
    out = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    data = b""
    for size, payload, f1, f2 in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, f1, f2,
                               len(payload), offset + len(data))
        data += payload
    return out + entries + data


def make_icon():
    images = []
    for size in (256, 128, 64, 48, 32, 16):
        rows = render_emblem(size)
        if size == 256:
            payload = png_bytes(size, size, rows)
        else:
            payload = dib_bytes(size, rows)
        images.append((size, payload, 1, 32))
    return icon_container(1, images)


def make_cursor():
    rows = render_cursor()
    return icon_container(2, [(32, dib_bytes(32, rows), CURSOR_HOTSPOT[0],
                               CURSOR_HOTSPOT[1])])


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out_dir = (sys.argv[1] if len(sys.argv) > 1 else
               os.path.join(root, "Launcher", "resources"))
    os.makedirs(out_dir, exist_ok=True)
    outputs = [
        ("background.png", lambda: png_bytes(BG_W, BG_H, make_background())),
        ("background-2x.png", lambda: png_bytes(2 * BG_W, 2 * BG_H, make_background(2))),
        ("launcher.ico", make_icon),
        ("cursor.cur", make_cursor),
    ]
    for name, build in outputs:
        data = build()
        path = os.path.join(out_dir, name)
        with open(path, "wb") as f:
            f.write(data)
        print("wrote %s (%d bytes)" % (path, len(data)))


if __name__ == "__main__":
    main()
