"""The end of a session and the next logon: the session waits while the update runs, and an
update cut short is finished at the next logon by the command the system keeps for it (a value
of the user's Run key, an autostart entry on POSIX).

Windows: the tests end the session of the build's Wine prefix (wineboot --end-session asks every
window whether it may end) and kill its server; a plain wineboot then acts as the next logon and
runs the user's Run key. ctest runs them alone, and they leave the server running.
"""

import filecmp
import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

import program
import update_program_test as updates
from ui import FAILURE_ADVICE, box_text, find, probe, wait_for_new_box
from uninstall_logs import uninstall_log


RECORD = ".vellicor-update"

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
    """Waits until a log file of the run's folder has `line` (or a record for which `line`, a
    function, is true) beyond the sizes it had; gives the records logged since."""
    found = line if callable(line) else lambda record: record == line
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for path in run.logs():
            with open(path, encoding="utf-8", errors="replace") as handle:
                handle.seek(sizes.get(path, 0))
                records = [text[updates.TIMESTAMP.match(text).end():]
                           for text in handle.read().splitlines() if updates.TIMESTAMP.match(text)]
            if any(map(found, records)):
                return records
        time.sleep(0.2)
    raise AssertionError("not logged: %r" % line)


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
        """The rename of a staged entry fails for a while (stall_move_in); the update is killed
        after the old version was deleted (Windows: with the session, by killing the Wine server).
        The next logon finishes it and takes the registration back. A registration left behind
        (killed before its removal) is only taken back, the application left running."""
        installation = Installation(self, "Vellicor")
        run, stalled, release = updates.stall_move_in(self, installation,
                                                      [installation.code_path, "true"])
        run.wait_for("INFO Rename: " + stalled + " (attempt 2)")
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
        release()
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
        lines = self.logon(run, command, sizes, removed)
        # Windows: the Run key is left alone while the logon may still be reading it.
        waits = [line for line in lines if re.match(r"INFO Waiting \d+ s for the logon to start "
                                                    r"its programs before the registration goes",
                                                    line)]
        self.assertEqual(len(waits), 1 if prog().windows else 0, lines)
        self.assertEqual([line for line in lines if line not in waits], [
            "INFO Starting: %s, true" % installation.code_path,
            "INFO Started at logon with no update left to finish in " +
            (root if prog().windows else os.path.realpath(root)), removed])
        self.assertIsNone(application.poll(), "the application still runs")
        self.assertFalse([c for c in updates.registrations(run.config) if c == command])

    def short_name(self, folder):
        """Windows: the 8.3 short name of a folder of the prefix (cmd's %~s)."""
        script = os.path.join(updates.wine_prefix(), "drive_c", "vellicor-short-name.bat")
        with open(script, "w", newline="\r\n") as handle:
            handle.write('@for %%%%I in ("%s") do @echo %%%%~sI\n' % folder)
        self.addCleanup(os.remove, script)
        done = subprocess.run(prog().runner + ["cmd", "/c", "C:\\vellicor-short-name.bat"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120)
        return done.stdout.strip()

    def test_a_run_at_logon_finishes_only_what_its_record_began(self):
        """An update is cut short, and its registration stays; the installation changes as on
        users' machines; then the next logon. Each case ends with the installation as stated
        (nothing brought back, deleted or updated; only a void record set aside), no process of
        the application ended, no registration left and at most one failure box. An updater
        that others could replace registers nothing."""
        temp = glob.glob(os.path.join(updates.wine_prefix(), "drive_c", "users", "*", "Temp"))[0] \
            if prog().windows else None
        exposed = tempfile.mkdtemp(prefix="vellicor-exposed-", dir=temp)
        self.addCleanup(shutil.rmtree, exposed, True)
        os.chmod(exposed, 0o1777)  # POSIX: other users may write there; Windows: the Temp folder
        copy = shutil.copy(prog().exe, exposed)
        installation = Installation(self, "Exposed")
        run = updates.Run(self, [installation.code_path, "true"], exe=copy)
        self.assertEqual(run.finish(), 0, run.err)
        self.assertTrue([line for line in run.lines() if line.startswith(
            "INFO Not registering to finish the update at the next logon: others could replace "
            "the updater ")], run.lines())
        self.assertFalse([c for c in updates.registrations(run.config)
                          if installation.code_path in c])

        def uninstall(installation):
            for name in set(os.listdir(installation.root)) - {"_", RECORD}:
                path = installation.path(name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

        def reinstall(installation):
            uninstall(installation)
            shutil.rmtree(installation.path("_"))
            files = installation.named(updates.Installation.OLD)
            installation.write("", files)
            with open(installation.path("unins000.dat"), "wb") as handle:
                handle.write(uninstall_log(installation.program_path(), list(files),
                                           "\\" if prog().windows else "/"))
            return updates.start_application(self, installation.root, 300, APPLICATION)

        def stage_half(installation):
            installation.stage({APPLICATION: "Vellicor 3", "docs/new.txt": "3"})
            os.remove(installation.path("_/unins000.dat"))

        def moved_in(installation):
            # As if the update had moved in the rest and been killed while rewriting the
            # uninstall log: the record says it was moving in, and _ is gone.
            for name in os.listdir(installation.path("_")):
                os.rename(installation.path("_/" + name), installation.path(name))
            os.rmdir(installation.path("_"))

        remove = lambda installation: shutil.rmtree(installation.root)
        nothing = "INFO Started at logon with no update left to finish in "
        gone = "which was uninstalled since: nothing to finish"
        # (case, the code path spelled through a link or short name, killed before its record
        # or while moving in, the change, a line it logs, and what it leaves: the installation
        # "as is", as is with the record "set aside", as is after the one "failure" box, or
        # the update "finished")
        cases = [
            ("killed before its record, a version half staged", False, "before", stage_half,
             nothing, "as is"),
            ("killed before its record, then uninstalled", False, "before", uninstall, gone,
             "as is"),
            ("killed while moving in, then uninstalled", False, "moving", uninstall, gone,
             "as is"),
            ("killed while moving in, then the installation removed", False, "moving", remove,
             gone, "as is"),
            ("through a link, killed while moving in, then the installation removed", True,
             "moving", remove, gone, "as is"),
            ("killed while moving in, the update folder removed, reinstalled and running", False,
             "moving", reinstall, "the installation is whole by its uninstall log: the record "
             "is set aside", "set aside"),
            ("killed while moving in, then another version staged", False, "moving",
             lambda i: i.stage(i.NEW), "ERRO The update record ", "failure"),
            ("killed while rewriting the uninstall log, with the record and no _", False,
             "moving", moved_in, "INFO Updating uninstall file ", "finished"),
        ]
        for name, spelled, killed, change, line, outcome in cases:
            with self.subTest(name):
                if spelled and prog().windows:
                    installation = Installation(self, "Logon Long Folder\\Inst")
                    code_path = self.short_name(installation.windows_root) + "\\" + APPLICATION
                    self.assertNotIn("Long", code_path)
                elif spelled:
                    installation = Installation(self, "real/Inst")
                    top = os.path.dirname(os.path.dirname(installation.root))
                    self.addCleanup(shutil.rmtree, top, True)
                    os.symlink("real", os.path.join(top, "link"))
                    code_path = os.path.join(top, "link", "Inst", APPLICATION)
                else:
                    installation = Installation(self, "Logon")
                    code_path = installation.code_path
                # Stalled: while an old file is held (its exclusive open is retried), or while
                # moving in (stall_move_in).
                if killed == "before":
                    held = installation.program_path("resources/app.asar")
                    release = updates.hold_file(self, held).kill
                    first = updates.Run(self, [code_path, "true"])
                    first.kill_when_logged("INFO Get file handle: %s (attempt 2)" % held)
                else:
                    first, stalled, release = updates.stall_move_in(self, installation,
                                                                    [code_path, "true"])
                    first.kill_when_logged("INFO Rename: %s (attempt 2)" % stalled)
                release()
                place = next(filter(None, map(updates.registration_line(first.config).match,
                                              first.lines()))).group(1)
                if prog().windows:
                    self.addCleanup(wine, "reg", "delete", updates.RUN_KEY, "/v",
                                    place.rsplit("\\", 1)[1], "/f")
                [command] = [c for c in updates.registrations(first.config) if code_path in c]
                self.assertEqual(os.path.exists(installation.path(RECORD)), killed == "moving")
                application = change(installation)
                exists = lambda: os.path.exists(installation.root)
                expected = [entry for entry in updates.read_tree(installation.root)
                            if outcome != "set aside" or not entry.startswith(RECORD + "=")] \
                    if exists() else None
                sizes = {path: os.path.getsize(path) for path in first.logs()}
                removed = "INFO Removed the registration to finish the update at the next " \
                    "logon: " + place
                # The last line: the registration goes before the failure box comes up.
                last = (lambda r: r.startswith("ERRO ")) if outcome == "failure" else removed
                if prog().windows:
                    self.assertEqual(wine("wineboot"), 0)
                    if outcome != "failure":
                        # Decided, but the logon may still be reading the Run key.
                        logged_since(first, sizes, lambda record: line in record)
                        self.assertIn(command, updates.registrations(first.config))
                    else:
                        box, _ = wait_for_new_box(None, timeout=120)
                        self.assertIn(FAILURE_ADVICE, box_text(box))
                        probe("click", "Vellicor", "OK")
                    records = logged_since(first, sizes, last)
                    time.sleep(1)
                    self.assertIsNone(find("Vellicor", 0), "at most one box")
                else:
                    env = dict(os.environ, TMPDIR=first.tmp, XDG_CONFIG_HOME=first.config)
                    done = subprocess.run(exec_arguments(command), env=env, capture_output=True,
                                          stdin=subprocess.DEVNULL, timeout=120)
                    failed = outcome == "failure"
                    self.assertEqual(done.returncode, failed, done.stderr)
                    self.assertEqual(done.stderr.count(b"Vellicor\n\n"), failed, "boxes")
                    records = logged_since(first, sizes, last)
                self.assertIn(removed, records)
                self.assertTrue([record for record in records if line in record], records)
                self.assertFalse([c for c in updates.registrations(first.config)
                                  if code_path in c], "no registration left")
                if outcome == "finished":
                    self.assertFalse(os.path.exists(installation.path(RECORD)))
                    self.assertEqual(installation.tree_without_log(),
                                     installation.expected_after_update())
                else:
                    self.assertEqual(updates.read_tree(installation.root) if exists() else None,
                                     expected)
                self.assertIsNone(application and application.poll(), "the application runs")

if __name__ == "__main__":
    program.main()
