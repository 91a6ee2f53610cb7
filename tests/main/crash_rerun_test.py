"""Kill an update at a random moment, run the same command again: the installation must end as an
update that was never cut short leaves it.

Each trial copies an installation of a few thousand files (the new version staged in "_" with an
uninstall log that names its files there), starts the updater, kills it with SIGKILL after a
random delay within the time a whole update takes (under Wine, SIGKILL of the exe's process ends
the Windows process, and the system closes its handles), runs the same command again and
compares every path, kind and byte with the result of an update that ran to its end (the
rewritten uninstall log included). The phase a kill hit is read off what it left on disk.

    CRASH_TRIALS=200 CRASH_SEED=7 ctest --preset native -R program_crash_rerun -V
"""

import bisect
import os
import random
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

import program

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                    "uninstall-logs")
RECORD = ".vellicor-update"
# The application's name: one of its own, so that the update never waits for a program of
# another test that runs meanwhile under the usual name.
APPLICATION = "CrashTest.exe"


def prog():
    return program.program()


def uninstall_log(folder, names, separator):
    """The staged.dat header over one 0x82 record per file, each naming the file in `folder`
    with the four empty texts that the installer writes."""
    with open(os.path.join(DATA, "staged.dat"), "rb") as handle:
        header = bytearray(handle.read(448))
    body = bytearray()
    for name in names:
        texts = [folder + separator + name.replace("/", separator), "", "", "", ""]
        data = b"".join(b"\xfe" + struct.pack("<i", -len(t.encode("utf-16-le"))) +
                        t.encode("utf-16-le") for t in texts) + b"\xff"
        body += struct.pack("<HII", 0x82, 0, len(data)) + data
    blocks = bytearray()
    for start in range(0, len(body), 4096):
        chunk = body[start:start + 4096]
        blocks += struct.pack("<III", len(chunk), ~len(chunk) & 0xFFFFFFFF, zlib.crc32(chunk))
        blocks += chunk
    struct.pack_into("<II", header, 324, len(names), 448 + len(blocks))
    header[336:444] = bytes(108)
    struct.pack_into("<I", header, 444, zlib.crc32(header[:444]))
    return bytes(header) + bytes(blocks)


def snapshot(root):
    """Every path below root with its kind and bytes."""
    state = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            state[os.path.relpath(os.path.join(folder, name), root)] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as handle:
                state[os.path.relpath(os.path.join(folder, name), root)] = handle.read()
    return state


def phase_left(root):
    """Where the killed update stood, from what it left on disk."""
    record = os.path.join(root, RECORD)
    if os.path.exists(record):
        with open(record) as handle:
            phase = handle.read().split(": ", 1)[1].strip()
        if phase.startswith("moving") and not os.path.exists(os.path.join(root, "_")):
            return "rewriting the uninstall log"
        return phase
    return "before deleting" if os.path.exists(os.path.join(root, "_")) else "finished"


class CrashRerunTest(unittest.TestCase):
    def setUp(self):
        windows = prog().windows
        self.files = 800 if windows else 3000
        self.trials = int(os.environ.get("CRASH_TRIALS", "5" if windows else "20"))
        self.seed = int(os.environ.get("CRASH_SEED", str(random.randrange(1 << 30))))
        self.work = tempfile.mkdtemp(prefix="vellicor-crash-")
        self.addCleanup(shutil.rmtree, self.work, True)
        if windows:
            prefix = os.environ.get("VELLICOR_WINEPREFIX",
                                    os.path.join(os.path.dirname(prog().runner[0]), "wineprefix"))
            self.root = os.path.join(prefix, "drive_c", "Apps", "Vellicor")
            self.code_path = "C:\\Apps\\Vellicor\\" + APPLICATION
            folder, separator = "C:\\Apps\\Vellicor\\_", "\\"
            # A copy of the exe of its own, so that its process is told from any other.
            self.exe = os.path.join(self.work, "exe", "vellicor-updater.exe")
            os.makedirs(os.path.dirname(self.exe))
            shutil.copy(prog().exe, self.exe)
        else:
            self.root = os.path.join(self.work, "Vellicor")
            self.code_path = os.path.join(self.root, APPLICATION)
            folder, separator = os.path.join(self.root, "_"), "/"
            self.exe = prog().exe
        self.addCleanup(shutil.rmtree, self.root, True)
        self.template = os.path.join(self.work, "template")
        # Many top-level entries, so that moving them in (one rename each) takes a while too.
        names = ["part%d/folder%d/file%d.dat" % (i % 200, i % 3, i) for i in range(self.files)]
        names += ["top%d.dat" % i for i in range(self.files // 10)]
        for version, base in (("old", self.template), ("new", os.path.join(self.template, "_"))):
            for name in names + [APPLICATION]:
                path = os.path.join(base, *name.split("/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as handle:
                    handle.write(version + " " + name)
        with open(os.path.join(self.template, "unins000.dat"), "wb") as handle:
            handle.write(uninstall_log(folder, [], separator))
        with open(os.path.join(self.template, "_", "unins000.dat"), "wb") as handle:
            handle.write(uninstall_log(folder, names, separator))

    def install(self):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(os.path.dirname(self.root), exist_ok=True)
        subprocess.run(["cp", "-a", self.template, self.root], check=True)

    def start(self):
        # POSIX: the autostart entry that a killed run leaves goes to the test's own folder.
        env = dict(os.environ, TMPDIR=self.work, XDG_CONFIG_HOME=os.path.join(
            self.work, "config")) if not prog().windows else None
        return subprocess.Popen(prog().runner + [self.exe, self.code_path, "true"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env, start_new_session=True)

    def kill(self, process):
        """SIGKILL to the updater's own process (under Wine the one running the exe)."""
        if prog().windows:
            # Its command line names this test's own copy of the exe (as a Unix or a Windows
            # path): the folder's unique name and the exe's.
            marks = (os.path.basename(self.work).encode(), b"vellicor-updater.exe")
            for pid in os.listdir("/proc"):
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as handle:
                        line = handle.read()
                    if all(mark in line for mark in marks):
                        os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
        elif process.poll() is None:
            process.kill()

    def run_to_end(self):
        process = self.start()
        code = process.wait(timeout=600)
        self.settle()
        return code

    def settle(self):
        # Under Wine the server learns of a process's end a moment after it.
        if prog().windows:
            time.sleep(0.3)

    def log_files(self):
        """The updater's log files and their sizes (under Wine in the prefix's Temp folders)."""
        if prog().windows:
            folder = os.path.join(os.path.dirname(os.path.dirname(self.root)), "users")
            paths = [os.path.join(base, name) for base, _, names in os.walk(folder)
                     for name in names if name.startswith("vellicor-updater-")]
        else:
            paths = [os.path.join(self.work, name) for name in os.listdir(self.work)
                     if name.startswith("vellicor-updater-")]
        return {path: os.path.getsize(path) for path in paths}

    def new_lines(self, before):
        """The lines logged since `before` (a log_files() result): a run appends to the log of
        the same second."""
        lines = []
        for path, size in self.log_files().items():
            if size > before.get(path, 0):
                with open(path, "rb") as handle:
                    handle.seek(before.get(path, 0))
                    lines += handle.read().decode("utf-8", "replace").splitlines()
        return lines

    def test_every_kill_is_repaired_by_the_next_run(self):
        print("\nseed %d, %d trials over %d files" % (self.seed, self.trials, self.files))
        rng = random.Random(self.seed)
        self.install()
        before = self.log_files()
        self.assertEqual(self.run_to_end(), 0, "a clean update")
        clean = snapshot(self.root)
        self.assertNotIn("_", clean)
        # A kill comes at a moment drawn from a clean run's time, told as the line the run has
        # logged by then and the time since: so the kills follow the update's progress however
        # busy the machine is, into the stretches without lines (marking, closing, rewriting
        # the uninstall log) too.
        lines = self.new_lines(before)

        def seconds(line):
            hours, minutes, rest = line.split(" ")[2].split(":")
            return int(hours) * 3600 + int(minutes) * 60 + float(rest)

        times = [seconds(line) for line in lines if line[:3].isalpha()]
        print("a clean update logs %d lines in %.2f s" % (len(times), times[-1] - times[0]))

        outcomes = {}
        failures = []
        for trial in range(self.trials):
            self.install()
            moment = rng.uniform(times[0], times[-1] + 0.01)
            line = bisect.bisect_right(times, moment) - 1
            delay = moment - times[line]
            before = self.log_files()
            process = self.start()
            while len(self.new_lines(before)) <= line and process.poll() is None:
                time.sleep(0.001)
            time.sleep(delay)
            self.kill(process)
            process.wait(timeout=600)
            self.settle()
            phase = phase_left(self.root)
            code = self.run_to_end() if phase != "finished" else 0
            converged = code == 0 and snapshot(self.root) == clean
            counts = outcomes.setdefault(phase, [0, 0])
            counts[0] += 1
            counts[1] += converged
            if not converged:
                failures.append("trial %d, killed %.3f s after line %d while %s: rerun exit %d"
                                % (trial, delay, line, phase, code))
        for phase, (total, good) in sorted(outcomes.items()):
            print("  %-30s %3d kills, %3d repaired" % (phase, total, good))
        self.assertEqual(failures, [], "seed %d" % self.seed)


if __name__ == "__main__":
    program.main()
