"""Kill an update at a random moment, change the installation as users' machines do, run the same
command again: the installation must end as an update that was never cut short leaves what is
staged then, or, where nothing can complete the update that was cut short, the run fails with
nothing more deleted.

Each trial copies an installation of a few thousand files (the new version staged in "_" with an
uninstall log that names its files there), starts the updater and kills it with SIGKILL in one
of the update's phases, taken in turn: at a moment drawn from that phase's stretch of a clean
run, told as the line the clean run logged last before it and the time since (under Wine,
SIGKILL of the exe's process ends the Windows process, and the system closes its handles). The
phase a kill hit is read off what it left on disk; a kill that missed its phase is tried again.
Then, drawn at random, nothing changes, another version is staged in a fresh "_", or "_" is
removed, and the same command runs again, by hand or (drawn at random) as the registration runs
it at logon. Its result is compared, every path, kind and byte (the rewritten uninstall log
included), with an update that ran to its end over what is staged; a run at logon may instead
leave the installation as it found it, never with its registration left.

    CRASH_TRIALS=200 CRASH_SEED=7 ctest --preset native -R program_crash_rerun -V
"""

import bisect
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest

import program
from ui import find, probe
from uninstall_logs import uninstall_log

RECORD = ".vellicor-update"
RUN_KEY = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
# The application's name: one of its own, so that the update never waits for a program of
# another test that runs meanwhile under the usual name.
APPLICATION = "CrashTest.exe"


def prog():
    return program.program()


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


# The phases a kill may hit, with the lines of a clean run that open and close their stretch.
PHASES = [("before deleting", None, "Collected all directories and file handles"),
          ("deleting the old version", "Collected all directories and file handles", "Rename: "),
          ("moving the new version in", "Rename: ", "Delete: "),
          ("rewriting the uninstall log", "Delete: ", None)]
CHANGES = ["nothing", "another version staged", "update folder removed"]
ORDER = [name for name, _, _ in PHASES] + ["finished"]


def phase_left(root):
    """Where the killed update stood, from what it left on disk."""
    record = os.path.join(root, RECORD)
    if os.path.exists(record):
        with open(record) as handle:
            phase = handle.readline().split(": ", 1)[1].strip()
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
        # The version staged after a kill: other bytes, and without the top-level files, so that
        # any left of the version before it shows.
        newer_names = [name for name in names if not name.startswith("top")]
        self.newer = os.path.join(self.work, "newer")
        for version, base, files in (("old", self.template, names),
                                     ("new", os.path.join(self.template, "_"), names),
                                     ("newer", self.newer, newer_names)):
            for name in files + [APPLICATION]:
                path = os.path.join(base, *name.split("/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as handle:
                    handle.write(version + " " + name)
        with open(os.path.join(self.template, "unins000.dat"), "wb") as handle:
            handle.write(uninstall_log(folder, [], separator))
        # Records of folders to remove make the log large enough that rewriting it takes a
        # while, and kills land in that phase too.
        folders = ["part%d/folder%d/removed%d" % (i % 200, i % 3, i) for i in range(80000)]
        with open(os.path.join(self.template, "_", "unins000.dat"), "wb") as handle:
            handle.write(uninstall_log(folder, names, separator, folders))
        with open(os.path.join(self.newer, "unins000.dat"), "wb") as handle:
            handle.write(uninstall_log(folder, newer_names, separator))

    def stage_newer(self):
        shutil.rmtree(os.path.join(self.root, "_"), ignore_errors=True)
        subprocess.run(["cp", "-al", self.newer, os.path.join(self.root, "_")], check=True)

    def install(self):
        """A copy of the template whose files are links to the template's: fast to make, and
        safe, since the updater writes into no file of either version (it deletes, renames and
        replaces the uninstall log by a file made new)."""
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(os.path.dirname(self.root), exist_ok=True)
        subprocess.run(["cp", "-al", self.template, self.root], check=True)

    def start(self, at_logon=False):
        """The update; `at_logon`: as the registration runs it at logon."""
        # POSIX: the autostart entry that a killed run leaves goes to the test's own folder.
        env = dict(os.environ, TMPDIR=self.work, XDG_CONFIG_HOME=os.path.join(
            self.work, "config")) if not prog().windows else None
        return subprocess.Popen(prog().runner + [self.exe, self.code_path, "true"] +
                                (["--at-logon"] if at_logon else []),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env, start_new_session=True)

    def registered(self):
        """Whether a registration to finish an update of the installation at logon is there."""
        if prog().windows:
            done = subprocess.run(prog().runner + ["reg", "query", RUN_KEY], capture_output=True,
                                  text=True, timeout=120)
            return self.code_path in done.stdout
        folder = os.path.join(self.work, "config", "autostart")
        return any(name.startswith("vellicor-update-") for name in
                   (os.listdir(folder) if os.path.isdir(folder) else []))

    def kill(self, process):
        """SIGKILL to the updater's own process (under Wine the one running the exe)."""
        if prog().windows:
            # Its command line names this test's own copy of the exe (as a Unix or a Windows
            # path): the folder's unique name and the exe's.
            program.kill_processes_with(os.path.basename(self.work).encode(),
                                        b"vellicor-updater.exe")
        elif process.poll() is None:
            process.kill()

    def run_to_end(self, at_logon=False):
        """Runs the updater to its end; under Wine a failure box is answered."""
        process = self.start(at_logon)
        while True:
            try:
                code = process.wait(timeout=0.5)
                break
            except subprocess.TimeoutExpired:
                if prog().windows and find("Vellicor", 0):
                    probe("click", "Vellicor", "OK", check=False)
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

    def clean_update(self, change):
        """The installation after an update that ran to its end over what is staged."""
        self.install()
        if change == "another version staged":
            self.stage_newer()
        before = self.log_files()
        self.assertEqual(self.run_to_end(), 0, "a clean update")
        state = snapshot(self.root)
        self.assertNotIn("_", state)
        self.assertFalse(self.registered(), "a clean update leaves no registration")
        return state, self.new_lines(before)

    def kill_in(self, moment):
        """Starts the update and kills it at `moment` of the clean run's times; gives the phase
        it left on disk."""
        line = bisect.bisect_right(self.times, moment) - 1
        delay = moment - self.times[line]
        before = self.log_files()
        process = self.start()
        while len(self.new_lines(before)) <= line and process.poll() is None:
            time.sleep(0.001)
        time.sleep(delay)
        self.kill(process)
        process.wait(timeout=600)
        self.settle()
        return phase_left(self.root)

    def test_every_kill_is_repaired_by_the_next_run(self):
        print("\nseed %d, %d trials over %d files" % (self.seed, self.trials, self.files))
        rng = random.Random(self.seed)
        clean = {change: self.clean_update(change) for change in CHANGES[:2]}
        lines = clean["nothing"][1]
        self.assertNotIn("_", clean["nothing"][0])

        def seconds(line):
            hours, minutes, rest = line.split(" ")[2].split(":")
            return int(hours) * 3600 + int(minutes) * 60 + float(rest)

        logged = [line for line in lines if line[:3].isalpha()]
        # The log gives times of day: past midnight they start again from 0.
        self.times = []
        for line in logged:
            moment = seconds(line) + (self.times[-1] // 86400 * 86400 if self.times else 0)
            self.times.append(moment + 86400 if self.times and moment < self.times[-1] - 43200
                              else moment)
        print("a clean update logs %d lines in %.2f s" % (len(self.times),
                                                          self.times[-1] - self.times[0]))

        def time_of(text, default):
            found = [t for t, line in zip(self.times, logged) if " INFO " + text in line]
            return found[0] if found else default

        moments = {name: (time_of(opens, self.times[0]) if opens else self.times[0],
                          time_of(closes, self.times[-1]) if closes else self.times[-1] + 0.01)
                   for name, opens, closes in PHASES}

        outcomes = {}
        failures = []
        for trial in range(self.trials):
            aimed = PHASES[trial % len(PHASES)][0]
            change = rng.choice(CHANGES)
            # The next run: by hand, or the one that the registration starts at logon, which
            # finishes only what a record began.
            at_logon = rng.random() < 0.5
            # A kill that missed its phase (the machine was busier than in the clean run) is
            # checked like any other, and the phase tried again.
            # A kill that lands before its phase aims later the next time, one that lands
            # after it earlier: the kill closes in on a short phase.
            low, high = moments[aimed]
            for attempt in range(8):
                self.install()
                moment = rng.uniform(low, high)
                phase = self.kill_in(moment)
                if ORDER.index(phase) < ORDER.index(aimed):
                    low = moment
                elif ORDER.index(phase) > ORDER.index(aimed):
                    high = moment
                if change == "another version staged":
                    self.stage_newer()
                elif change == "update folder removed":
                    shutil.rmtree(os.path.join(self.root, "_"), ignore_errors=True)
                before = snapshot(self.root)
                rerun = phase != "finished" or change != "nothing"
                code = self.run_to_end(at_logon) if rerun else 0
                after = snapshot(self.root)
                expected = clean["another version staged" if change.startswith("another")
                                 else "nothing"][0]
                set_aside = {path: data for path, data in before.items() if path != RECORD}
                # The update that was cut short finished, what was staged since left as it is.
                finished_first = dict(clean["nothing"][0], **{
                    path: data for path, data in before.items()
                    if path == "_" or path.startswith("_" + os.sep)})
                if at_logon and RECORD not in before:
                    # Nothing was begun that a record says: nobody asked for an update.
                    repaired = (code, after) == (0, before)
                elif at_logon and change != "nothing":
                    # Only the update that the record began, else the installation as it is:
                    # its void record set aside when it is whole, or refused once.
                    repaired = (code, after) in ((0, expected), (0, set_aside), (1, before),
                                                 (0, finished_first))
                elif change == "update folder removed":
                    # Nothing can complete what was cut short, or it was complete already.
                    repaired = (code, after) in ((0, expected), (1, before))
                elif change != "nothing" and phase == "moving the new version in":
                    # What was moved in is the new version: another version staged over the rest
                    # is refused with nothing touched, unless all of it was in place.
                    repaired = (code, after) in ((0, expected), (1, before))
                else:
                    repaired = code == 0 and after == expected
                # A run at logon never leaves its registration, and a finished update neither.
                if rerun and (at_logon or code == 0) and self.registered():
                    repaired = False
                counts = outcomes.setdefault((phase, change, at_logon), [0, 0])
                counts[0] += 1
                counts[1] += repaired
                if not repaired:
                    failures.append("trial %d, aimed at %s, killed while %s, then %s, rerun %s: "
                                    "exit %d" % (trial, aimed, phase, change,
                                                 "at logon" if at_logon else "by hand", code))
                if phase == aimed:
                    break
        for (phase, change, at_logon), (total, good) in sorted(outcomes.items()):
            print("  %-30s %-24s %-8s %3d kills, %3d repaired" % (
                phase, change, "at logon" if at_logon else "by hand", total, good))
        self.assertEqual(failures, [], "seed %d" % self.seed)
        hit = {phase for phase, _, _ in outcomes}
        self.assertEqual([name for name, _, _ in PHASES if name not in hit], [],
                         "phases no kill landed in (seed %d)" % self.seed)


if __name__ == "__main__":
    program.main()
