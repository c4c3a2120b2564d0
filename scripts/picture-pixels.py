#!/usr/bin/env python3
"""Writes the background picture's pixels ready for the screen, so that the
launcher's first frame needs no PNG decoder.

Usage: picture-pixels.py PICTURE.png OUTPUT WIDTH HEIGHT

OUTPUT gets the rows top first, 4 bytes a pixel (blue, green, red, 0): a
32-bit DIB's layout. Only a picture that drawing at WIDTH x HEIGHT copies
unchanged qualifies: exactly that size, fully opaque, 8 bits a sample, RGB
or RGBA, not interlaced, and without colour-space chunks that a decoder
might apply. For any other picture OUTPUT is written empty and the launcher
decodes the PNG as before. A damaged PNG stops the build.
"""
import struct
import sys
import zlib

COLOUR_CHUNKS = {b"gAMA", b"cHRM", b"iCCP", b"sBIT"}


def chunks(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos = 8
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = data[pos + 8 + length:pos + 12 + length]
        if len(body) != length or len(crc) != 4 or zlib.crc32(kind + body) != struct.unpack(">I", crc)[0]:
            raise ValueError("damaged chunk %r" % kind)
        yield kind, body
        if kind == b"IEND":
            return
        pos += 12 + length
    raise ValueError("no IEND chunk")


def unfilter(raw, width, height, channels):
    """The image's samples, a row of width * channels bytes after another."""
    stride = width * channels
    if len(raw) != height * (stride + 1):
        raise ValueError("image data of the wrong length")
    out = bytearray(height * stride)
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        if kind == 1:
            for i in range(channels, stride):
                line[i] = (line[i] + line[i - channels]) & 255
        elif kind == 2:
            for i in range(stride):
                line[i] = (line[i] + previous[i]) & 255
        elif kind == 3:
            for i in range(stride):
                left = line[i - channels] if i >= channels else 0
                line[i] = (line[i] + (left + previous[i]) // 2) & 255
        elif kind == 4:
            for i in range(stride):
                a = line[i - channels] if i >= channels else 0
                b, c = previous[i], previous[i - channels] if i >= channels else 0
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        elif kind != 0:
            raise ValueError("unknown row filter %d" % kind)
        out[y * stride:(y + 1) * stride] = line
        previous = line
    return out


def screen_pixels(data, width, height):
    """The BGRX rows, or None when the picture does not qualify."""
    header, parts, others = None, [], set()
    for kind, body in chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            parts.append(body)
        else:
            others.add(kind)
    if header is None:
        raise ValueError("no IHDR chunk")
    raw = zlib.decompress(b"".join(parts))  # checked even when it does not qualify
    w, h, depth, colour, _, _, interlace = header
    if (w, h) != (width, height) or depth != 8 or colour not in (2, 6) or interlace or others & COLOUR_CHUNKS:
        return None
    channels = 4 if colour == 6 else 3
    samples = unfilter(raw, w, h, channels)
    if channels == 4 and samples[3::4].count(255) != w * h:
        return None
    pixels = bytearray(w * h * 4)
    for target, source in ((0, 2), (1, 1), (2, 0)):
        pixels[target::4] = samples[source::channels]
    return pixels


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__.split("\n\n")[1])
    with open(argv[1], "rb") as f:
        data = f.read()
    try:
        pixels = screen_pixels(data, int(argv[3]), int(argv[4]))
    except (ValueError, zlib.error) as error:
        sys.exit("%s: %s" % (argv[1], error))
    if pixels is None:
        print("%s: decoded when the launcher starts (not an opaque %sx%s RGB picture)" % (argv[1], argv[3], argv[4]))
    with open(argv[2], "wb") as f:
        f.write(pixels or b"")


if __name__ == "__main__":
    main(sys.argv)
