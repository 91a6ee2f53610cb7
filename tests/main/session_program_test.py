"""The end of a session and the next logon: the session waits while the update runs, and an
update cut short is finished at the next logon by the command the system keeps for it (a value
of the user's Run key, an autostart entry on POSIX).

Windows: the tests end the session of a Wine prefix of their own (wineboot --end-session asks
every window whether it may end) and kill its server; a plain wineboot then acts as the next
logon and runs the user's Run key. ctest runs them one at a time, beside the other tests, and
they leave the server running.
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
import types
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
            subprocess.run(updates.exec_arguments(command), env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=120)
        return logged_since(run, sizes, line)

    def test_an_update_cut_short_is_finished_at_the_next_logon(self):
        """The rename of a staged entry fails for a while (stall_update); the update is killed
        after the old version was deleted (Windows: with the session, by killing the Wine server).
        A run at logon while it still runs leaves the registration to it. The next logon
        finishes the update and takes the registration back.
        A registration left behind (killed before its removal) is only taken back, the
        application left running."""
        installation = Installation(self, "Vellicor")
        run, release = updates.stall_update(self, installation, [installation.code_path, "true"])
        run.wait_for("INFO Rename: unins000.dat (attempt 2)")
        lines = run.lines()
        place = next(filter(None, map(updates.registration_line(run.config).match, lines)))
        # Registered once every check has passed, before the first change.
        self.assertLess(lines.index("INFO Collected all directories and file handles"),
                        lines.index(place.group(0)))
        self.assertLess(lines.index(place.group(0)),
                        lines.index("INFO Wrote the staged version to the disk"))
        [command] = [c for c in updates.registrations(run.config) if installation.code_path in c]
        # Wine keeps its server's socket under $TMPDIR: a Windows program keeps the test's.
        at_logon = subprocess.run(
            prog().command([installation.code_path, "true", "--at-logon"]),
            env=None if prog().windows else dict(os.environ, TMPDIR=run.tmp,
                                                 XDG_CONFIG_HOME=run.config),
            stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(at_logon.returncode, 0, at_logon.stderr)
        self.assertIn(command, updates.registrations(run.config), "left to the running update")
        if prog().windows:
            name = place.group(1).rsplit("\\", 1)[1]
            self.addCleanup(wine, "reg", "delete", updates.RUN_KEY, "/v", name, "/f")
            self.assertTrue(command.endswith(" %s true --at-logon" % installation.code_path))
            subprocess.run(["wineserver", "-k"], check=True, timeout=60,
                           env=dict(os.environ, WINEPREFIX=updates.wine_prefix()))
        else:
            self.assertEqual(updates.exec_arguments(command), [os.path.realpath(prog().exe),
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
        that others could replace registers nothing, and a registration that fails leaves
        nothing of its own."""
        # (case, the updater's folder made as it asks (giving the run's options, if any), a
        # character of its name, the installation's name, the start of the line that says why
        # the update registers nothing)
        temp = glob.glob(os.path.join(updates.wine_prefix(), "drive_c", "users", "*", "Temp"))[0] \
            if prog().windows else None
        refused = "INFO Not registering to finish the update at the next logon: "
        others = refused + "others could replace the updater "

        def sticky(folder):  # POSIX: other users may write there; Windows: the Temp folder
            os.chmod(folder, 0o1777)

        def listed(folder):  # root's, and its access control list lets user 4242 write
            os.chmod(folder, 0o755)
            try:  # version 2; user, named user 4242, group, mask: rwx; others r-x
                os.setxattr(folder, "system.posix_acl_access", bytes.fromhex(
                    "02000000" "01000700ffffffff" "02000700" "92100000" "04000500ffffffff"
                    "10000700ffffffff" "20000500ffffffff"))
            except OSError as error:
                self.skipTest("no access control lists here: %s" % error)

        def unflushed(folder):  # the entry is in place, then its folder's flush fails
            if not shutil.which("strace"):
                self.skipTest("the flush's failure is injected with strace")
            config = os.path.join(folder, "config")
            return {"env": {"XDG_CONFIG_HOME": config, "ASAN_OPTIONS": "detect_leaks=0"},
                    "wrap": ["strace", "-f", "-qq", "-o", "/dev/null", "-P",
                             os.path.join(config, "autostart"), "-e",
                             "inject=fsync:error=EIO:when=1"]}

        exposures = [("in a folder that others may write", sticky, "-", "Exposed", others)]
        if not prog().windows:
            exposures += [
                ("in a folder that a user may write by its access control list", listed, "-",
                 "Exposed", others),
                ("for an installation whose path holds a $", None, "-", "Ex$posed",
                 refused + "A desktop entry cannot hold a $ or a `"),
                ("in a folder whose name holds a =", None, "=", "Exposed",
                 refused + "A desktop entry cannot start a program whose path holds a ="),
                # The session still waits for the update, and a rerun still finishes it: the
                # update goes on, but nothing may start at logon for a registration that failed.
                ("whose autostart entry's folder cannot be flushed", unflushed, "-", "Exposed",
                 "WARN Could not register to finish the update at the next logon: "
                 "Input/output error")]
        for name, exposure, separator, folder_name, said in exposures:
            with self.subTest(name):
                base = updates.private_folder(self) if exposure is not sticky else temp
                exposed = tempfile.mkdtemp(prefix="vellicor-exposed" + separator, dir=base)
                self.addCleanup(shutil.rmtree, exposed, True)
                options = exposure(exposed) if exposure else None
                copy = shutil.copy(prog().exe, exposed)
                installation = Installation(self, folder_name)
                run = updates.Run(self, [installation.code_path, "true"], exe=copy,
                                  **(options or {}))
                self.assertEqual(run.finish(), 0, run.err)
                self.assertTrue([line for line in run.lines() if line.startswith(said)],
                                run.lines())
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

        def reinstall_over(in_place):
            # The installer lays its version out over what is there and writes its uninstall
            # log anew or over the old one; the update folder and the record it does not know.
            def change(installation):
                files = installation.named(updates.Installation.OLD)
                installation.write("", files)
                log = installation.path("unins000.dat")
                if not in_place:
                    os.remove(log)
                with open(log, "wb") as handle:
                    handle.write(uninstall_log(installation.program_path(), list(files),
                                               "\\" if prog().windows else "/"))
            return change

        def stage_half(installation):
            installation.stage({APPLICATION: "Vellicor 3", "docs/new.txt": "3"})
            os.remove(installation.path("_/unins000.dat"))

        def remove_moved_folder(installation):
            # A folder of the new version, moved in already or still staged, is gone: nothing
            # can complete the update, whose new files carry the names of the old ones.
            shutil.rmtree(installation.path("docs" if os.path.isdir(installation.path("docs"))
                                            else "_/docs"))

        def uninstall_and_unlink(installation):
            uninstall(installation)
            os.remove(installation.link)

        def start_namesake(installation):
            # Of the application's name, elsewhere: the run at logon waits for it.
            installation.namesake = updates.start_application(
                self, installation.root + "-elsewhere", 300, APPLICATION)

        def stage_and_end_namesake(installation):
            installation.stage(installation.NEW)
            installation.namesake.kill()

        remove = lambda installation: shutil.rmtree(installation.root)
        nothing = "INFO Started at logon with no update left to finish in "
        gone = "which was uninstalled since: nothing to finish"
        # (case, the code path spelled through a link or short name, killed before its record
        # or while moving in, the change, what changes while the run at logon waits for the
        # application, a line it logs, and what it leaves: the installation "as is", as is with
        # the record "set aside", as is after the one "failure" box, or the update "finished").
        # The root's uninstall log names the application alone, which either version holds.
        mixed = "its update was moving the new version in over that log"
        anew = "the application was installed anew; the record is set aside"
        leftover = "holds the rest of its new version, which is no version to install: remove "
        cases = [
            ("killed before its record, a version half staged", False, "before", stage_half,
             None, nothing, "as is"),
            ("killed before its record, then uninstalled", False, "before", uninstall, None, gone,
             "as is"),
            ("killed while moving in, then uninstalled", False, "moving", uninstall, None, gone,
             "as is"),
            ("killed while moving in, then the installation removed", False, "moving", remove,
             None, gone, "as is"),
            ("through a link, killed while moving in, then the installation removed", True,
             "moving", remove, None, gone, "as is"),
            ("killed while moving in, the update folder removed, reinstalled and running", False,
             "moving", reinstall, None, "the installation is whole by its uninstall log: the "
             "record is set aside", "set aside"),
            ("killed while moving in, then another version staged", False, "moving",
             lambda i: i.stage(i.NEW), None, mixed, "failure"),
            ("killed while moving in, then a folder of the new version removed", False,
             "moving", remove_moved_folder, None, mixed, "failure"),
            # Part of the new version is in place: nothing is touched.
            ("killed while moving in, then another version staged while the run at logon waits",
             False, "moving", start_namesake, stage_and_end_namesake,
             "ERRO The interrupted update cannot be completed: its new version is in part in "
             "place, and ", "failure"),
            ("killed while deleting, then reinstalled with its log written anew", False,
             "deleting", reinstall_over(False), None, anew, "set aside"),
            ("killed while deleting, then reinstalled with its log written over", False,
             "deleting", reinstall_over(True), None, anew, "set aside"),
            # The rest of the move-in is no version: the record stays to say so.
            ("killed while moving in, then reinstalled with its log written anew", False,
             "moving", reinstall_over(False), None, leftover, "as is"),
            ("killed while moving in, then reinstalled with its log written over", False,
             "moving", reinstall_over(True), None, leftover, "as is"),
            ("killed while moving in, then finished but for the unlink of its record's "
             "temporary name", False, "moving", updates.finished_but("unlink"), None, nothing,
             "as is"),
            ("killed while moving in, then finished but for the removal of its registration",
             False, "moving", updates.finished_but("registration"), None, nothing, "as is"),
            ("killed while rewriting the uninstall log, with the record and no _", False,
             "moving", updates.move_rest_in, None, "INFO Updating uninstall file ", "finished"),
        ]
        if not prog().windows:
            cases.append(("through a link, killed while moving in, then uninstalled and the link "
                          "removed", True, "moving", uninstall_and_unlink, None, gone, "as is"))
        # A run at logon that has decided waits (Windows: 30 s) before its registration goes:
        # the next rows are made meanwhile, and such a row is checked once the others are made.
        # A row whose application runs, that shows a box or that changes the installation
        # while the run waits is checked at once.
        pending = []
        for index, (name, spelled, killed, change, during, line, outcome) in enumerate(cases):
            with self.subTest(name):
                if spelled and prog().windows:
                    installation = Installation(self, "Logon Long Folder\\Inst")
                    code_path = self.short_name(installation.windows_root) + "\\" + APPLICATION
                    self.assertNotIn("Long", code_path)
                elif spelled:
                    installation = Installation(self, "real/Inst")
                    top = os.path.dirname(os.path.dirname(installation.root))
                    self.addCleanup(shutil.rmtree, top, True)
                    installation.link = os.path.join(top, "link")
                    os.symlink("real", installation.link)
                    code_path = os.path.join(top, "link", "Inst", APPLICATION)
                else:
                    # Windows: a folder of each row's own, as rows are checked later.
                    installation = Installation(self, "Logon%02d" % index)
                    code_path = installation.code_path
                with open(installation.path("unins000.dat"), "wb") as handle:
                    handle.write(uninstall_log(installation.program_path(), [APPLICATION],
                                               "\\" if prog().windows else "/"))
                # Killed once registered: before its record is written, while deleting, or while
                # moving in.
                if killed == "deleting":
                    first = updates.cut_while_deleting(self, installation, [code_path, "true"])
                else:
                    first, release = updates.stall_update(self, installation, [code_path, "true"],
                                                          before_record=killed == "before")
                    first.kill_when_logged("INFO Wrote the staged version to the disk"
                                           if killed == "before" else
                                           "INFO Rename: unins000.dat (attempt 2)")
                    release()
                if killed == "before":
                    os.remove(installation.path(RECORD + ".tmp"))
                place = next(filter(None, map(updates.registration_line(first.config).match,
                                              first.lines()))).group(1)
                if prog().windows:
                    self.addCleanup(wine, "reg", "delete", updates.RUN_KEY, "/v",
                                    place.rsplit("\\", 1)[1], "/f")
                resolved = installation.code_path if prog().windows else \
                    os.path.realpath(installation.code_path)
                [command] = [c for c in updates.registrations(first.config) if resolved in c]
                self.assertEqual(os.path.exists(installation.path(RECORD)), killed != "before")
                application = change(installation)
                row = types.SimpleNamespace(
                    name=name, installation=installation, first=first, line=line,
                    outcome=outcome, resolved=resolved, application=application,
                    exists=lambda installation=installation: os.path.exists(installation.root))
                # What goes in any case: what the record's removal left behind.
                row.expected = [entry for entry in updates.read_tree(installation.root)
                                if not entry.startswith(RECORD + ".tmp") and
                                (outcome != "set aside" or not entry.startswith(RECORD + "="))] \
                    if row.exists() else None
                row.sizes = {path: os.path.getsize(path) for path in first.logs()}
                row.removed = "INFO Removed the registration to finish the update at the next " \
                    "logon: " + place
                # The next logon runs the registered command (the logon itself, wineboot's run of
                # the Run key, is the test above).
                if prog().windows:
                    row.done = updates.run_to_files(prog().runner + [
                        word.strip('"') for word in shlex.split(command, posix=False)])
                else:
                    row.done = updates.run_to_files(updates.exec_arguments(command), env=dict(
                        os.environ, TMPDIR=first.tmp, XDG_CONFIG_HOME=first.config))
                if during:
                    logged_since(first, row.sizes, "INFO %s is running, wait a bit" % APPLICATION)
                    during(installation)
                    row.expected = updates.read_tree(installation.root)
                if prog().windows and outcome != "failure":
                    # Decided, but the logon may still be reading the Run key.
                    logged_since(first, row.sizes, lambda record: line in record)
                    self.assertIn(command, updates.registrations(first.config))
                    # Any later run starts in a later second: its log is a file of its own.
                    time.sleep(1)
                if prog().windows and outcome == "failure":
                    box, _ = wait_for_new_box(None, timeout=120)
                    self.assertIn(FAILURE_ADVICE, box_text(box))
                    probe("click", "Vellicor", "OK")
                if outcome == "failure" or during or application:
                    self.check_run_at_logon(row)
                else:
                    pending.append(row)
        for row in pending:
            with self.subTest(row.name):
                self.check_run_at_logon(row)

    def check_run_at_logon(self, row):
        """Once its run at logon has ended: the row's lines logged, the registration gone, the
        installation as the row states, its application left running, at most one box."""
        failed = row.outcome == "failure"
        self.assertEqual(row.done.wait(timeout=120), failed)
        stderr = row.done.output()[1]
        # The last line: the registration goes before the failure box comes up.
        records = logged_since(row.first, row.sizes,
                               (lambda r: r.startswith("ERRO ")) if failed else row.removed)
        if prog().windows:
            self.assertIsNone(find("Vellicor", 0), "at most one box")
        else:
            self.assertEqual(stderr.count(b"Vellicor\n\n"), failed, stderr)
        self.assertIn(row.removed, records)
        self.assertTrue([record for record in records if row.line in record], records)
        self.assertFalse([c for c in updates.registrations(row.first.config)
                          if row.resolved in c], "no registration left")
        if row.outcome == "finished":
            self.assertFalse(os.path.exists(row.installation.path(RECORD)))
            self.assertEqual(row.installation.tree_without_log(),
                             row.installation.expected_after_update())
        else:
            self.assertEqual(updates.read_tree(row.installation.root) if row.exists() else None,
                             row.expected)
        self.assertIsNone(row.application and row.application.poll(), "the application runs")
        if row.application:
            # A namesake that runs on would hold up every later row's first update, which
            # waits for the application's name to exit (30 s) before its kill step.
            row.application.kill()
            row.application.wait()

if __name__ == "__main__":
    program.main()
