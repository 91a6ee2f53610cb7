#!/usr/bin/env python3
"""Draws the Vellicor application icon and writes it as vellicor.ico.

The mark is a white "V" chevron on a rounded square with a blue-to-teal gradient. Each size is
rendered on its own (supersampled, so edges are smooth at 16 pixels too) and stored at 32 bits
per pixel, every size as a PNG image: Windows reads PNG images of an icon at any size since
Vista (the program runs on Windows 10 and later), and they take a tenth of the executable's room
that the classic DIB images of 48, 32 and 16 pixels took (15 KB). Each PNG image is then
compressed again by zopflipng (Debian package zopfli), 780 bytes less than zlib's best,
where it keeps the image as it is (8-bit RGBA, the same size); the executable's size has a
budget.
Usage: make_icon.py [output.ico]
"""

import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SIZES_PNG = (256, 128, 64, 48, 32, 16)
SIZES_DIB = ()
SUPERSAMPLE = 4


def inside_rounded_square(x, y, radius):
    """x, y in [0, 1]; the square spans [0.03, 0.97] with corner radius `radius`."""
    lo, hi = 0.03, 0.97
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_chevron(x, y):
    """Two strokes meeting at the bottom: a bold V."""
    half_width = 0.085
    left = distance_to_segment(x, y, 0.27, 0.27, 0.5, 0.74)
    right = distance_to_segment(x, y, 0.73, 0.27, 0.5, 0.74)
    return min(left, right) <= half_width


def render(size):
    """Returns rows (top to bottom) of (r, g, b, a) tuples."""
    rows = []
    step = 1.0 / (size * SUPERSAMPLE)
    for py in range(size):
        row = []
        for px in range(size):
            shape = mark = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px * SUPERSAMPLE + sx + 0.5) * step
                    y = (py * SUPERSAMPLE + sy + 0.5) * step
                    if inside_rounded_square(x, y, 0.2):
                        shape += 1
                        if inside_chevron(x, y):
                            mark += 1
            samples = SUPERSAMPLE * SUPERSAMPLE
            if shape == 0:
                row.append((0, 0, 0, 0))
                continue
            t = (px + py) / (2.0 * size)  # diagonal gradient
            base = (int(24 + 10 * t), int(92 + 80 * t), int(196 - 30 * t))
            w = mark / shape
            color = tuple(int(round(c * (1 - w) + 255 * w)) for c in base)
            row.append(color + (int(round(255 * shape / samples)),))
        rows.append(row)
    return rows


def png_image(size):
    rows = render(size)
    raw = b"".join(b"\x00" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return recompressed(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                        chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def recompressed(png):
    """The same image through zopflipng, where that is smaller and keeps its header (size,
    8-bit RGBA): the tool may turn an image of few colours into a palette one."""
    if not shutil.which("zopflipng"):
        sys.exit("make_icon.py: zopflipng is missing (Debian package zopfli)")
    with tempfile.TemporaryDirectory() as work:
        source, target = os.path.join(work, "in.png"), os.path.join(work, "out.png")
        with open(source, "wb") as handle:
            handle.write(png)
        subprocess.run(["zopflipng", "-y", "--iterations=50", "--filters=01234mepb", source,
                        target], check=True, capture_output=True)
        with open(target, "rb") as handle:
            smaller = handle.read()
    # The signature and IHDR (length, type, width, height, depth, colour type, ...) agree.
    return smaller if smaller[:29] == png[:29] and len(smaller) < len(png) else png


def dib_image(size):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4  # the AND mask is unused with alpha, but must be there
    return header + pixels + b"\x00" * (mask_row * size)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "vellicor.ico"
    images = [(s, png_image(s)) for s in SIZES_PNG] + [(s, dib_image(s)) for s in SIZES_DIB]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    data = b""
    for size, image in images:
        dim = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    with open(output, "wb") as out:
        out.write(directory + data)


if __name__ == "__main__":
    main()
