"""What ships: two builds of one commit give the same bytes, and a signed exe verifies and works.

    release_test.py --source <source folder> --exe <built exe> --runner <wine-run> ...
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

import program

SOURCE = None
DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                    "uninstall-logs")


def prog():
    return program.program()


class ReleaseTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vellicor-release-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def build(self, folder):
        """The Windows exe alone, built from the sources into a folder of its own."""
        subprocess.run(["cmake", "--preset", "windows", "-B", folder, "-DVELLICOR_TESTS=OFF",
                        "-DVELLICOR_SIGN_CERT=", "-DVELLICOR_SIGN_KEY="],
                       cwd=SOURCE, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", folder, "--target", "vellicor-updater"],
                       cwd=SOURCE, check=True, stdout=subprocess.DEVNULL)
        return os.path.join(folder, "vellicor-updater.exe")

    def test_two_builds_in_two_folders_give_the_same_bytes(self):
        """The exe under test is the first build, unless it was signed; the second is made in a
        folder of another path's length."""
        first = prog().exe if not signed(prog().exe) else \
            self.build(os.path.join(self.work, "one"))
        second = self.build(os.path.join(self.work, "a-second-folder", "with-a-longer-path"))
        self.assertTrue(filecmp.cmp(first, second, shallow=False))

    def test_a_signed_exe_verifies_and_works_as_the_unsigned_one(self):
        certificate = os.path.join(self.work, "cert.pem")
        key = os.path.join(self.work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Vellicor test signer", "-keyout", key, "-out", certificate],
                       check=True, capture_output=True)
        signed = os.path.join(self.work, "vellicor-updater.exe")
        shutil.copy(prog().exe, signed)
        subprocess.run(["sh", os.path.join(SOURCE, "scripts", "sign-exe.sh"), signed,
                        certificate, key], check=True, capture_output=True)
        self.assertFalse(filecmp.cmp(prog().exe, signed, shallow=False), "nothing was signed")
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate,
                                   "-in", signed], capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)
        log = "Z:" + os.path.join(DATA, "staged.dat").replace("/", "\\")
        for args in (["--version"], ["--parse", log]):
            with self.subTest(args=args):
                self.assertEqual(run_exe(signed, args), prog().run(args))


def signed(exe):
    """Whether the PE file carries a signature: an entry in its certificate table."""
    security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    image = pefile.PE(exe, fast_load=True)
    try:
        return image.OPTIONAL_HEADER.DATA_DIRECTORY[security].Size != 0
    finally:
        image.close()


def run_exe(exe, args):
    done = subprocess.run(prog().runner + [exe] + args, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


if __name__ == "__main__":
    at = sys.argv.index("--source")
    SOURCE = sys.argv[at + 1]
    del sys.argv[at:at + 2]
    program.main()
