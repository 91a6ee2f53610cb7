"""The "--parse" mode of the real executable on the installer's logs and on damaged ones."""

import os
import shutil
import tempfile
import unittest
import zlib

import program

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "uninstall-logs")
HEADER = ("Header, id: Inno Setup Uninstall Log (b), app id: "
          "{0B7D9E54-2C31-4F6A-8E21-5D4C3B2A1F00}, app name: Vellicor, version: 1048, ")
RECORD_LINES = {
    "installed.dat": [b"Records 0x10 1", b"Records 0x11 1", b"Records 0x20 1", b"Records 0x81 6",
                      b"Records 0x82 56", b"Records 0x86 1"],
    "staged.dat": [b"Records 0x10 1", b"Records 0x11 1", b"Records 0x20 1", b"Records 0x81 5",
                   b"Records 0x82 56", b"Records 0x86 1"],
}
RECORD_LINES["staged-rebased.dat"] = RECORD_LINES["staged.dat"]
HEADER_LINES = {
    "installed.dat": HEADER + "num recs: 66, end offset: 7329, flags: 0x1, crc: 0x91b1d37",
    "staged.dat": HEADER + "num recs: 65, end offset: 7551, flags: 0x1, crc: 0x985007c4",
    "staged-rebased.dat": HEADER + "num recs: 65, end offset: 7307, flags: 0x1, crc: 0x5d860fa5",
}
# The system's text for a missing file: Wine's FormatMessageW, or strerror.
NOT_FOUND = {"win32": b"File not found. (os error 2)\n",
             "posix": b"No such file or directory (os error 2)\n"}


def native(path):
    """A path as the program under test spells it: a Windows path on the Wine drive Z:."""
    if program.program().windows:
        return "Z:" + os.path.abspath(path).replace("/", "\\")
    return path


def fixture_bytes(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


class ParseModeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vellicor-parse-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def parse(self, path, cwd=None):
        return program.program().run(["--parse", path], cwd=cwd)

    def assert_report(self, result, name):
        code, out, err = result
        self.assertEqual((code, err), (0, b""), out)
        self.assertTrue(out.endswith(b"\n"), out)
        lines = out.split(b"\n")[:-1]
        self.assertEqual(lines[0].decode(), HEADER_LINES[name])
        # The record lines may come in any order.
        self.assertEqual(sorted(lines[1:]), sorted(RECORD_LINES[name]))

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def test_the_installers_logs(self):
        for name in HEADER_LINES:
            with self.subTest(name=name):
                self.assert_report(self.parse(native(os.path.join(DATA, name))), name)

    def test_relative_and_non_ascii_paths(self):
        self.write("unins000.dat", fixture_bytes("staged.dat"))
        self.assert_report(self.parse("unins000.dat", cwd=self.dir), "staged.dat")
        path = self.write("\u00dcberblick-\u65e5\u672c\u8a9e-\U0001F600.dat",
                          fixture_bytes("installed.dat"))
        self.assert_report(self.parse(native(path)), "installed.dat")

    def test_a_missing_file(self):
        result = self.parse(native(os.path.join(self.dir, "missing.dat")))
        self.assertEqual(result, (1, b"", NOT_FOUND[program.program().platform]))

    def test_damaged_logs(self):
        staged = fixture_bytes("staged.dat")

        def flipped(offset):
            return staged[:offset] + bytes([staged[offset] ^ 0x01]) + staged[offset + 1:]

        cases = [
            ("empty", b"", b"Header parse error: Failed to read header to buffer\n"),
            ("447 bytes", staged[:447], b"Header parse error: Failed to read header to buffer\n"),
            ("a flipped header byte", flipped(200), b"Header parse error: CRC32 check failed\n"),
            ("a flipped block byte", flipped(448 + 12 + 100),
             b"FileRec parse error: Failed to parse file rec typ\n"),
            ("no blocks", staged[:448], b"FileRec parse error: Failed to parse file rec typ\n"),
            # The record that straddles the two blocks fails inside its data.
            ("a cut in the last block", staged[:-1],
             b"FileRec parse error: Failed to parse file rec data\n"),
        ]
        for name, content, err in cases:
            with self.subTest(name=name):
                path = self.write("damaged.dat", content)
                self.assertEqual(self.parse(native(path)), (1, b"", err))
        # 400 MB that could hold the header's 65 records, all zeros behind the header: read
        # record by record, the first block is found damaged and nothing more is asked of memory.
        path = self.write("sparse.dat", staged[:448])
        os.truncate(path, 400 << 20)
        self.assertEqual(self.parse(native(path)),
                         (1, b"", b"FileRec parse error: Failed to parse file rec typ\n"))

    def test_a_log_without_records(self):
        header = bytearray(fixture_bytes("staged.dat")[:448])
        header[324:328] = (0).to_bytes(4, "little")
        header[444:448] = zlib_crc32(bytes(header[:444])).to_bytes(4, "little")
        path = self.write("empty.dat", bytes(header))
        code, out, err = self.parse(native(path))
        crc = int.from_bytes(header[444:448], "little")
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(out.decode(), HEADER + "num recs: 0, end offset: 7551, flags: 0x1, "
                         "crc: 0x%x\n" % crc)


def zlib_crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


if __name__ == "__main__":
    program.main()
