#!/usr/bin/env python3
"""Writes src/base/ntfs_upcase_table.inc, NTFS's upper-case table as mkntfs writes it.

NTFS compares file names by the volume's $UpCase file, written when the volume is formatted:
65536 little-endian UTF-16 units, unit i's upper case (ntfs-3g's mkntfs(8), ntfscat(8)). The
script formats a small image in a temporary folder with `mkntfs -F -Q`, reads that file with
`ntfscat`, and writes the units that differ from themselves as runs of rows, for the POSIX
build's upper_case_unit (src/base/upper_case_posix.cpp). The build never runs mkntfs: the
written file is committed. Needs mkntfs and ntfscat (Debian: ntfs-3g); no root, no mount.
Usage: make_upcase_table.py [--check] [output]
  --check: write nothing, exit 1 when the output differs from what the tools give now.
"""

import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUTPUT = os.path.join(ROOT, "src", "base", "ntfs_upcase_table.inc")
UNITS = 65536
IMAGE_BYTES = 8 << 20  # mkntfs takes this size; the table does not depend on it


def read_upcase():
    """The $UpCase units of a freshly formatted image, and mkntfs's version line."""
    with tempfile.TemporaryDirectory(prefix="make-upcase-") as folder:
        image = os.path.join(folder, "ntfs.img")
        with open(image, "wb") as f:
            f.truncate(IMAGE_BYTES)
        subprocess.run(["mkntfs", "-F", "-Q", image], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        data = subprocess.run(["ntfscat", "-f", image, "$UpCase"], check=True,
                              stdout=subprocess.PIPE).stdout
    if len(data) != 2 * UNITS:
        sys.exit("$UpCase holds %d bytes, not %d" % (len(data), 2 * UNITS))
    version = subprocess.run(["mkntfs", "--version"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True).stdout
    match = re.search(r"mkntfs v?(\S+)", version)
    return struct.unpack("<%dH" % UNITS, data), match.group(1) if match else "(unknown version)"


def runs_of(upcase):
    """Rows (first, last, stride, delta): first, first + stride, ... last map to unit + delta.

    A row grows while the next unit that maps elsewhere lies one stride further with the same
    delta; a row of one unit has stride 1.
    """
    rows = []
    for unit in range(UNITS):
        delta = upcase[unit] - unit
        if delta == 0:
            continue
        if rows:
            first, last, stride, previous = rows[-1]
            step = unit - last
            grows = previous == delta and (step == stride if first != last else step <= 2)
            if grows:
                rows[-1] = (first, unit, step, delta)
                continue
        rows.append((unit, unit, 1, delta))
    return rows


def render(upcase, version):
    rows = runs_of(upcase)
    units = sum(1 for unit in range(UNITS) if upcase[unit] != unit)
    lines = [
        "// NTFS's upper-case table ($UpCase) as mkntfs %s of ntfs-3g writes it on a fresh" % version,
        "// volume: %d rows that map %d units; every unit that no row names maps to itself." % (
            len(rows), units),
        "// Each row {first, last, stride, delta}: the units first, first + stride, ..., last map",
        "// to themselves plus delta. Written by scripts/make_upcase_table.py, which formats an",
        "// image with mkntfs -F -Q and reads its $UpCase with ntfscat; do not edit, run it again:",
        "//   scripts/make_upcase_table.py            (rewrites this file)",
        "//   scripts/make_upcase_table.py --check    (exit 1 when this file is not what it gives)",
    ]
    for first, last, stride, delta in rows:
        lines.append("{0x%04X, 0x%04X, %d, %d}," % (first, last, stride, delta))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 when the output differs")
    parser.add_argument("output", nargs="?", default=DEFAULT_OUTPUT)
    options = parser.parse_args()
    text = render(*read_upcase())
    if options.check:
        with open(options.output, encoding="utf-8") as f:
            same = f.read() == text
        print("%s: %s" % (options.output, "as mkntfs writes it" if same else "DIFFERS"))
        return 0 if same else 1
    with open(options.output, "w", encoding="utf-8") as f:
        f.write(text)
    print("wrote %s" % options.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
