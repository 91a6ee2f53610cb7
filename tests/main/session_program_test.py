"""The end of a session and the next logon: the session waits while the update runs, and an
update cut short is finished at the next logon by the command the system keeps for it (a value
of the user's Run key, an autostart entry on POSIX).

Windows: the tests end the session of the build's Wine prefix (wineboot --end-session asks every
window whether it may end) and kill its server; a plain wineboot then acts as the next logon and
runs the user's Run key. ctest runs them alone, and they leave the server running.
"""

import filecmp
import os
import re
import shlex
import shutil
import subprocess
import time
import unittest

import program
import update_program_test as updates
from ui import wait_for_new_box


# The application's name: one of its own, so that the updates here never wait for, nor fail to
# kill, another test's program of the usual name.
APPLICATION = "SessionTest.exe"


def prog():
    return program.program()


class Installation(updates.Installation):
    """The installation of the whole-program tests, its application named APPLICATION."""

    def __init__(self, test, name):
        super().__init__(test, name, APPLICATION)


def wine(*args):
    """A Wine program of the build's prefix (its server is started first when none runs);
    gives its exit code."""
    return subprocess.run(prog().runner + list(args), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=120).returncode


def exec_arguments(entry):
    """The arguments of a desktop entry's Exec key: a string value's escapes undone, then the
    quoting."""
    value = re.search(r"^Exec=(.*)$", entry, re.M).group(1)
    value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(
        m.group(1), m.group(1)), value)
    return [arg.replace("%%", "%") for arg in shlex.split(value)]


def logged_since(run, sizes, line, timeout=120):
    """Waits until a log file of the run's folder has `line` beyond the sizes it had; gives the
    records logged since."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for path in run.logs():
            with open(path, encoding="utf-8", errors="replace") as handle:
                handle.seek(sizes.get(path, 0))
                records = [text[updates.TIMESTAMP.match(text).end():]
                           for text in handle.read().splitlines() if updates.TIMESTAMP.match(text)]
            if line in records:
                return records
        time.sleep(0.2)
    raise AssertionError("not logged: " + line)


class SessionProgramTest(unittest.TestCase):
    def test_the_session_waits_while_the_update_runs(self):
        """wineboot --end-session is refused while the update retries a held file, silent or
        not, and the update then ends as a clean one; the failure box holds nothing."""
        if not prog().windows:
            self.skipTest("the end of a Windows session")
        for silent in ("false", "true"):
            with self.subTest(silent=silent):
                installation = Installation(self, "EndOfSession")
                installation.add_library(200, 10)
                held = installation.program_path("resources/app.asar")
                holder = updates.hold_file(self, held)
                run = updates.Run(self, [installation.code_path, silent])
                run.wait_for("INFO Get file handle: " + held + " (attempt 2)")
                self.assertEqual(wine("wineboot", "--end-session"), 1, "the session is kept")
                self.assertIsNone(run.process.poll(), "the update goes on")
                holder.kill()
                self.assertEqual(run.finish(), 0, run.err)
                self.assertEqual(
                    [e for e in installation.tree_without_log() if not e.startswith("lib/")],
                    installation.expected_after_update())
        installation = Installation(self, "EndOfSession")
        os.remove(installation.path("_/" + APPLICATION))
        run = updates.Run(self, [installation.code_path, "false"])
        wait_for_new_box(None, timeout=120)
        self.assertEqual(wine("wineboot", "--end-session"), 0, "the session may end")
        run.finish(timeout=60)
        self.assertEqual(run.lines()[-1], "ERRO Update folder holds no " + APPLICATION + ": " +
                         installation.program_path("_"))

    def logon(self, run, command, sizes, line):
        """The next logon runs `command` (Windows: a new Wine server, whose wineboot runs the
        Run key); gives the records logged since `sizes` once `line` is among them."""
        if prog().windows:
            self.assertEqual(wine("wineboot"), 0)
        else:
            env = dict(os.environ, TMPDIR=run.tmp, XDG_CONFIG_HOME=run.config)
            subprocess.run(exec_arguments(command), env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=120)
        return logged_since(run, sizes, line)

    def test_an_update_cut_short_is_finished_at_the_next_logon(self):
        """The rename of a staged file fails until its holder ends; the update is killed after
        the old version was deleted (Windows: with the session, by killing the Wine server).
        The next logon finishes it and takes the registration back. A registration left behind
        (killed before its removal) is only taken back, the application left running."""
        installation = Installation(self, "Vellicor")
        held = installation.path("_/" + APPLICATION)
        if prog().windows:
            updates.hold_file(self, "!" + installation.program_path("_/" + APPLICATION))
        elif subprocess.run(["chattr", "+i", held], capture_output=True).returncode != 0:
            self.skipTest("no immutable files here")
        self.addCleanup(lambda: subprocess.run(["chattr", "-i", held], capture_output=True))
        run = updates.Run(self, [installation.code_path, "true"])
        run.wait_for("INFO Rename: " + APPLICATION + " (attempt 2)")
        lines = run.lines()
        place = next(filter(None, map(updates.registration_line(run.config).match, lines)))
        self.assertLess(lines.index(place.group(0)),
                        lines.index("INFO Collected all directories and file handles"))
        [command] = [c for c in updates.registrations(run.config) if installation.code_path in c]
        if prog().windows:
            name = place.group(1).rsplit("\\", 1)[1]
            self.addCleanup(wine, "reg", "delete", updates.RUN_KEY, "/v", name, "/f")
            self.assertTrue(command.endswith(" %s true --at-logon" % installation.code_path))
            subprocess.run(["wineserver", "-k"], check=True, timeout=60,
                           env=dict(os.environ, WINEPREFIX=updates.wine_prefix()))
        else:
            self.assertEqual(exec_arguments(command), [os.path.realpath(prog().exe),
                                                       installation.code_path, "true",
                                                       "--at-logon"])
            run.process.kill()
            subprocess.run(["chattr", "-i", held], check=True)
        run.process.wait(timeout=60)
        run.process.output()
        removed = "INFO Removed the registration to finish the update at the next logon: " + \
            place.group(1)
        sizes = {path: os.path.getsize(path) for path in run.logs()}
        lines = self.logon(run, command, sizes, "INFO Update was successful!")
        self.assertIn("INFO Resuming an interrupted update at moving the new version in", lines)
        self.assertIn(removed, lines)
        self.assertEqual(installation.tree_without_log(), installation.expected_after_update())
        if prog().windows:
            self.assertTrue(filecmp.cmp(installation.path("unins000.dat"),
                                        os.path.join(updates.DATA, "staged-rebased.dat"),
                                        shallow=False))
        self.assertFalse([c for c in updates.registrations(run.config) if c == command])

        if prog().windows:
            self.assertEqual(wine("reg", "add", updates.RUN_KEY, "/v", name, "/d", command,
                                  "/f"), 0)
        else:
            with open(place.group(1), "w") as handle:
                handle.write(command)
        application = updates.start_application(self, installation.root, 300, APPLICATION)
        sizes = {path: os.path.getsize(path) for path in run.logs()}
        root = installation.program_path()
        self.assertEqual(self.logon(run, command, sizes, removed), [
            "INFO Starting: %s, true" % installation.code_path,
            "INFO Started at logon with no update left to finish in " +
            (root if prog().windows else os.path.realpath(root)), removed])
        self.assertIsNone(application.poll(), "the application still runs")
        self.assertFalse([c for c in updates.registrations(run.config) if c == command])


if __name__ == "__main__":
    program.main()
