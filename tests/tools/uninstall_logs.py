"""Uninstall logs for whole-program tests and the main job, written the way the installer writes
them, and the files that the installer's log of the new version names.

Run as a program, prints those files, one a line."""

import os
import struct
import zlib

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                    "uninstall-logs")


def uninstall_log(folder, names, separator, directories=()):
    """The staged.dat header over one 0x82 record per file, each naming the file in `folder`
    with the four empty texts that the installer writes, then one 0x81 record per directory."""
    with open(os.path.join(DATA, "staged.dat"), "rb") as handle:
        header = bytearray(handle.read(448))
    body = bytearray()
    records = [(0x82, name, ["", "", "", ""]) for name in names]
    records += [(0x81, name, []) for name in directories]
    for typ, name, more in records:
        texts = [folder + separator + name.replace("/", separator)] + more
        data = b"".join(b"\xfe" + struct.pack("<i", -len(t.encode("utf-16-le"))) +
                        t.encode("utf-16-le") for t in texts) + b"\xff"
        body += struct.pack("<HII", typ, 0, len(data)) + data
    blocks = bytearray()
    for start in range(0, len(body), 4096):
        chunk = body[start:start + 4096]
        blocks += struct.pack("<III", len(chunk), ~len(chunk) & 0xFFFFFFFF, zlib.crc32(chunk))
        blocks += chunk
    struct.pack_into("<II", header, 324, len(records), 448 + len(blocks))
    header[336:444] = bytes(108)
    struct.pack_into("<I", header, 444, zlib.crc32(header[:444]))
    return bytes(header) + bytes(blocks)


def staged_files():
    """The files of the new version in staged.dat, the installer's own log of it: the first text
    of every 0x82 record, in log order, relative to C:\\Apps\\Vellicor\\_ and with "/"."""
    with open(os.path.join(DATA, "staged.dat"), "rb") as handle:
        data = handle.read()
    stream, at = b"", 448
    while at < len(data):
        size = struct.unpack_from("<I", data, at)[0]
        stream, at = stream + data[at + 12:at + 12 + size], at + 12 + size
    files, at, folder = [], 0, "C:\\Apps\\Vellicor\\_\\"
    for _ in range(struct.unpack_from("<I", data, 324)[0]):
        typ, _, size = struct.unpack_from("<HII", stream, at)
        record, at = stream[at + 10:at + 10 + size], at + 10 + size
        if typ == 0x82:
            path = record[5:5 - struct.unpack_from("<i", record, 1)[0]].decode("utf-16-le")
            assert path.startswith(folder), path
            files.append(path[len(folder):].replace("\\", "/"))
    return files


if __name__ == "__main__":
    print("\n".join(staged_files()))
