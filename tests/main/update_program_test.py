"""Whole updates by the real executable over real installations: the success path, waiting for
and killing the application, the failure path with its boxes, and the progress window.

Windows: the program runs under Wine; installations live on the C: drive of the build's Wine
prefix and window_probe reads and answers the windows. POSIX: installations live in a
temporary folder, the log goes to $TMPDIR, and without a terminal the boxes are texts on
standard error that answer nothing (like Cancel).
"""

import codecs
import filecmp
import glob
import os
import re
import resource
import shlex
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest

import program
from uninstall_logs import staged_files, uninstall_log
from ui import box_text, failure_text, find, probe, run_to_files, wait_for_new_box

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                    "uninstall-logs")
TIMESTAMP = re.compile(r"\A[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d\.\d{3} ")
KILL_BOX_START = ("There was an error while attempting to kill any running Vellicor.exe "
                  "processes:\n\nFailed to open process: ")
BOX_END = "\n\nPlease verify there are no Vellicor processes still executing."


RUN_KEY = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"


def prog():
    return program.program()


def registrations(config):
    """The commands registered to finish an update at the next logon: the data of the Run
    values of ours (Windows, the prefix's user) or the autostart entries in the configuration
    folder `config` (POSIX)."""
    if prog().windows:
        done = subprocess.run(prog().runner + ["reg", "query", RUN_KEY], capture_output=True,
                              text=True, timeout=120)
        return [line.split("REG_SZ    ", 1)[1].strip() for line in done.stdout.splitlines()
                if line.startswith("    Vellicor update ")]
    folder = os.path.join(config, "autostart")
    entries = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        with open(os.path.join(folder, name)) as handle:
            entries.append(handle.read())
    return entries


def registration_line(config):
    """The log line of the registration to finish the update at the next logon."""
    place = RUN_KEY + "\\Vellicor update " if prog().windows else \
        os.path.join(config, "autostart", "vellicor-update-")
    return re.compile(r"INFO Registered to finish the update at the next logon: (%s"
                      r"[0-9a-f]{16}(\.desktop)?)\Z" % re.escape(place))


def exec_arguments(entry):
    """The arguments of a desktop entry's Exec key: a string value's escapes undone, then the
    quoting."""
    value = re.search(r"^Exec=(.*)$", entry, re.M).group(1)
    value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(
        m.group(1), m.group(1)), value)
    return [arg.replace("%%", "%") for arg in shlex.split(value)]


def wine_prefix():
    return os.environ.get("VELLICOR_WINEPREFIX",
                          os.path.join(os.path.dirname(prog().runner[0]), "wineprefix"))


STAGED_FILES = staged_files()


def read_tree(root):
    """Every entry below root: "dir/" for folders, "file=content" for files, "link->target" for
    links to what is not a folder, "name|" for anything else (a FIFO)."""
    entries = []
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        entries += [prefix + d + "/" for d in dirs]
        for f in files:
            path = os.path.join(folder, f)
            if os.path.islink(path):
                entries.append(prefix + f + "->" + os.readlink(path))
                continue
            if not stat.S_ISREG(os.lstat(path).st_mode):
                entries.append(prefix + f + "|")
                continue
            with open(path, "rb") as handle:
                entries.append(prefix + f + "=" + handle.read().decode("latin-1"))
    return sorted(entries)


class Installation:
    """A Vellicor installation with its old version, kept entries and the new version in _."""

    OLD = {"Vellicor.exe": "Vellicor 1", "resources/extbin/adb.exe": "adb 1",
           "resources/app.asar": "asar 1", "locales/en-US.pak": "en 1",
           "docs/guide/index.html": "old guide", "docs/obsolete.txt": "gone in 2",
           "tools/notes.txt": "kept", "unins001.dat": "kept too"}
    # The new version holds every file that its uninstall log (staged.dat) names.
    NEW = dict.fromkeys(STAGED_FILES, "staged 2")
    NEW.update({"Vellicor.exe": "Vellicor 2", "resources/extbin/adb.exe": "adb 2",
                "resources/app.asar": "asar 2", "locales/en-US.pak": "en 2",
                "locales/de-DE.pak": "de 2", "docs/guide/index.html": "new guide"})

    def __init__(self, test, name, executable="Vellicor.exe", base=None):
        """`executable`: the application's file name, one of its own where another test's
        namesake must not count (processes of other users cannot be told apart by their
        image); `base`: the folder to make it in (POSIX), else a new temporary one."""
        self.executable = executable
        if prog().windows:
            # The sample logs name C:\Apps\Vellicor; other installations go next to it.
            self.windows_root = "C:\\Apps\\Vellicor" if name == "Vellicor" else \
                "C:\\VellicorTests\\" + name
            self.root = os.path.join(wine_prefix(), "drive_c",
                                     *self.windows_root.split("\\")[1:])
        else:
            self.root = os.path.join(base or tempfile.mkdtemp(prefix="vellicor-update-"), name)
        if os.path.exists(self.root):  # what an earlier case left immutable goes too
            subprocess.run(["chattr", "-R", "-i", "-a", self.root], capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)
        test.addCleanup(shutil.rmtree, self.root, True)
        self.write("", self.named(self.OLD))
        self.stage(self.NEW)
        shutil.copyfile(os.path.join(DATA, "installed.dat"), self.path("unins000.dat"))

    def named(self, files):
        """The files with the application's executable named as it is here (the installer's
        staged log names Vellicor.exe in the new version: that stays too)."""
        files = dict(files)
        if self.executable != "Vellicor.exe" and "Vellicor.exe" in files:
            files[self.executable] = files["Vellicor.exe"]
        return files

    def path(self, relative):
        return os.path.join(self.root, *relative.split("/"))

    def write(self, tree, files):
        for relative, content in files.items():
            path = os.path.join(self.root, tree, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(content)

    def stage(self, files):
        """A version staged anew in "_", with the installer's staged log."""
        shutil.rmtree(self.path("_"), ignore_errors=True)
        self.new = self.named(files)
        self.write("_", self.new)
        shutil.copyfile(os.path.join(DATA, "staged.dat"), self.path("_/unins000.dat"))

    def add_top_level(self, count):
        """top<i>.dat directly in the root, in both versions: many renames to move in."""
        files = {"top%d.dat" % i: "top %d" % i for i in range(count)}
        self.write("", files)
        self.write("_", files)
        self.new.update(files)

    def add_library(self, files, folders):
        """lib/part<n>/file<i>.dat in both versions, its content "" (old) or "_/" (new)."""
        for i in range(files):
            for tree in ("", "_/"):
                path = self.path(tree + "lib/part%d/file%d.dat" % (i % folders, i))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as handle:
                    handle.write(tree)

    def program_path(self, relative=""):
        """The path as the updater sees it."""
        if not prog().windows:
            return os.path.join(self.root, *relative.split("/")) if relative else self.root
        return "\\".join([self.windows_root] + ([relative.replace("/", "\\")] if relative else []))

    @property
    def code_path(self):
        return self.program_path(self.executable)

    def expected_after_update(self):
        """The tree after a successful update of what was staged last, without the rewritten
        uninstall log."""
        files = dict(self.new)
        files.update({k: v for k, v in self.OLD.items() if k.startswith(("tools/", "unins"))})
        entries = set()
        for relative, content in files.items():
            parts = relative.split("/")
            entries.update("/".join(parts[:i]) + "/" for i in range(1, len(parts)))
            entries.add(relative + "=" + content)
        return sorted(entries)

    def tree_without_log(self):
        return [e for e in read_tree(self.root) if not e.startswith("unins000.dat=")]


class Run:
    """One run of the updater; its output goes to files (see run_to_files)."""

    def __init__(self, test, args, env=None, wrap=(), user_folder=None, exe=None):
        """`wrap`: a command that runs the program (given after it); `user_folder`: the user id
        that gets the log folder, when `wrap` runs the program as another user (POSIX); `exe`: a
        copy of the program to run instead."""
        self.tmp = tempfile.mkdtemp(prefix="vellicor-update-tmp-")
        test.addCleanup(shutil.rmtree, self.tmp, True)
        if user_folder is not None:
            os.chown(self.tmp, user_folder, user_folder)
        # A run in the same second as an earlier one appends to its log: read from here on.
        self.sizes_before = {path: os.path.getsize(path) for path in self.logs()}
        self.started_wall = time.time()
        # Wine keeps its server's socket under $TMPDIR: a Windows program keeps the test's.
        full_env = dict(os.environ, **(env or {}))
        # POSIX: autostart entries go to a configuration folder of the run's own, never the
        # user's.
        self.config = (env or {}).get("XDG_CONFIG_HOME", os.path.join(self.tmp, "config"))
        if not prog().windows:
            full_env["TMPDIR"] = self.tmp
            full_env["XDG_CONFIG_HOME"] = self.config
        self.args = args
        command = prog().runner + [exe] + list(args) if exe else prog().command(args)
        self.process = run_to_files(list(wrap) + command, env=full_env,
                                    start_new_session=not prog().windows)
        test.addCleanup(lambda: self.process.poll() is None and self.process.kill())
        self.started = time.monotonic()

    def logs(self):
        if prog().windows:
            return glob.glob(os.path.join(wine_prefix(), "drive_c", "users", "*", "Temp",
                                          "vellicor-updater-*.log"))
        return glob.glob(os.path.join(self.tmp, "vellicor-updater-*.log"))

    def finish(self, timeout=300):
        self.code = self.process.wait(timeout=timeout)
        self.out, self.err = self.process.output()
        # Names carry whole seconds: a run in the same second as an earlier one writes to the
        # same file. The run's log is the newest one written since it started.
        new = sorted((path for path in self.logs()
                      if os.path.getmtime(path) >= self.started_wall - 1), key=os.path.getmtime)
        self.log_file = new[-1] if new else None
        return self.code

    def kill_when_logged(self, text, timeout=120):
        """SIGKILL to the updater (under Wine to the process that runs the exe) as soon as its
        log holds `text`; then finishes the run."""
        deadline = time.monotonic() + timeout
        read = dict(self.sizes_before)
        found = False
        while not found:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("the updater did not log %r before it ended" % text)
            for path in self.logs():
                with open(path, "rb") as handle:
                    # From the start of the last line read, which may have been incomplete.
                    handle.seek(read.get(path, 0))
                    new = handle.read()
                found = found or text.encode() in new
                read[path] = read.get(path, 0) + max(0, new.rfind(b"\n"))
            time.sleep(0.001)
        if prog().windows:
            # The updater of this build's prefix alone: every build runs the same code path.
            program.kill_processes_with(os.path.basename(prog().exe).encode(),
                                        self.args[0].encode(),
                                        environment=b"WINEPREFIX=" + wine_prefix().encode())
        else:
            os.killpg(self.process.pid, signal.SIGKILL)  # a wrapper too, and what it runs
        self.finish()
        if prog().windows:
            time.sleep(0.3)  # the server learns of the end a moment after it

    def wait_for(self, line, timeout=120):
        """Waits until the running program has logged `line`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            new = sorted((path for path in self.logs()
                          if os.path.getmtime(path) >= self.started_wall - 1), key=os.path.getmtime)
            if new:
                self.log_file = new[-1]
                if line in self.lines():
                    return
            time.sleep(0.05)
        raise AssertionError("not logged: " + line)

    def lines(self):
        """The log's records without timestamps; a record that spans lines stays one."""
        with open(self.log_file, encoding="utf-8") as handle:
            handle.seek(self.sizes_before.get(self.log_file, 0))
            records = []
            for line in handle.read().splitlines():
                if TIMESTAMP.match(line):
                    records.append(line[TIMESTAMP.match(line).end():])
                elif records:  # else the start of a line still being written
                    records[-1] += "\n" + line
            return records

    def program_log_path(self):
        """The log file's path as the program names it in the failure box."""
        if not prog().windows:
            return self.log_file
        user = self.log_file.split(os.sep + "users" + os.sep)[1].split(os.sep)[0]
        return "C:\\users\\" + user + "\\Temp\\" + os.path.basename(self.log_file)


def start_application(test, folder_path, seconds, name="Vellicor.exe", sleeper=None,
                      spelling=None):
    """A copy of the sleeper at folder/name, running for `seconds`, started through the path
    `spelling` if given; waits until it runs."""
    exe = os.path.join(folder_path, name)
    os.makedirs(folder_path, exist_ok=True)
    shutil.copy(sleeper or prog().sleeper, exe)
    marker = os.path.join(tempfile.mkdtemp(prefix="vellicor-app-"), "running")
    test.addCleanup(shutil.rmtree, os.path.dirname(marker), True)
    marker_arg = "Z:" + marker.replace("/", "\\") if prog().windows else marker
    process = run_to_files(prog().runner + [spelling or exe, str(seconds), "-", marker_arg])
    test.addCleanup(lambda: process.poll() is None and process.kill())
    # Reaped as soon as it ends: a child that has ended but is not reaped is still listed.
    threading.Thread(target=process.wait, daemon=True).start()
    deadline = time.monotonic() + 30
    while not os.path.exists(marker):
        test.assertLess(time.monotonic(), deadline, "the application did not start")
        time.sleep(0.02)
    return process


def hold_file(test, path):
    """A sleeper that holds the file at `path` (as the program names it) open until it is
    killed; waits until it holds it. A Windows path that starts with "!" is held without
    delete sharing."""
    marker = os.path.join(tempfile.mkdtemp(prefix="vellicor-app-"), "held")
    test.addCleanup(shutil.rmtree, os.path.dirname(marker), True)
    marker_arg = "Z:" + marker.replace("/", "\\") if prog().windows else marker
    holder = run_to_files(prog().runner + [prog().sleeper, "300", path, marker_arg])
    test.addCleanup(lambda: holder.poll() is None and holder.kill())
    while not os.path.exists(marker):
        test.assertIsNone(holder.poll(), "the holder could not open " + path)
        time.sleep(0.02)
    return holder


def private_folder(test):
    """A folder where only this user may write (program.private_folder), or the test skips."""
    folder = program.private_folder()
    if folder is None:
        test.skipTest("no folder at hand that only this user may write")
    return folder


def stall_update(test, installation, args, before_record=False):
    """Runs the updater with `args` and stalls it, with what comes only once its checks before
    the first delete have passed: an old file is held open meanwhile (its open is retried), then
    the next step is stopped and the old file let go. That step: the move-in, at the rename of
    the staged unins000.dat (Windows: the root's, which it replaces, held open; POSIX: the staged
    one made immutable), where the staged entries made before it are in place already where
    folders list in the order their entries were made (a small one on ext4); or, with
    `before_record`, the record's first write, once the update has registered, with a file at
    the record's temporary name that cannot be removed. Gives the run and the release."""
    old = installation.program_path("resources/app.asar")
    old_holder = hold_file(test, old)
    run = Run(test, args)
    run.wait_for("INFO Get file handle: " + old + " (attempt 2)")
    blocked = ".vellicor-update.tmp" if before_record else "unins000.dat"
    if prog().windows:
        if before_record:
            installation.write("", {blocked: ""})
        holder = hold_file(test, "!" + installation.program_path(blocked))

        def release():
            holder.kill()
            holder.wait()
    else:
        if before_record:
            installation.write("", {blocked: ""})
        path = installation.path(blocked if before_record else "_/" + blocked)
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            test.skipTest("no immutable files here")
        test.addCleanup(subprocess.run, ["chattr", "-i", path], capture_output=True)
        release = lambda: subprocess.run(["chattr", "-i", path], check=True)
    old_holder.kill()
    return run, release


def move_rest_in(installation):
    """What an update killed while moving in had still to move, moved in by hand: as if it had
    gone on and been killed while rewriting the uninstall log (the record says it was moving
    in, and _ is gone)."""
    for name in os.listdir(installation.path("_")):
        os.rename(installation.path("_/" + name), installation.path(name))
    os.rmdir(installation.path("_"))


def finished_but(step):
    """A change after an update was killed while moving in: as if it had gone on to its end and
    been killed there, the new version in place, then its record renamed to its temporary name
    and not yet unlinked ("unlink"), or gone and the registration not yet removed
    ("registration")."""
    def change(installation):
        move_rest_in(installation)
        record = installation.path(".vellicor-update")
        if step == "unlink":
            os.rename(record, record + ".tmp")
        else:
            os.remove(record)
    return change


def cut_while_deleting(test, installation, args):
    """Runs the updater with `args` and kills it while it deletes the old version: strace holds
    up every unlink (POSIX build), so that the kill lands among them. Gives the run."""
    if prog().windows or not shutil.which("strace"):
        test.skipTest("a kill while deleting is aimed with strace over the POSIX build")
    run = Run(test, args, env={"ASAN_OPTIONS": "detect_leaks=0"},
              wrap=["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlink,unlinkat",
                    "-e", "inject=unlink,unlinkat:delay_enter=200000"])
    run.wait_for("INFO All file handles marked for deletion")
    os.killpg(run.process.pid, signal.SIGKILL)  # strace and the updater it runs
    run.finish()
    with open(installation.path(".vellicor-update")) as handle:
        test.assertIn("deleting the old version", handle.readline())
    return run


class UpdateProgramTest(unittest.TestCase):
    def box_texts(self, run):
        """POSIX: the boxes the run printed on standard error, in order."""
        return re.findall(r"Vellicor\n\n(.*?)\n(?=Vellicor\n\n|\Z)", run.err.decode(), re.S)

    def answer_failure_box(self, run):
        """Windows: waits for the failure box, checks that it names the log, presses OK."""
        box, _ = wait_for_new_box(None, timeout=120)
        self.assertIsNone(run.process.poll(), "the program waits for the box")
        probe("click", "Vellicor", "OK")
        return box

    def check_failure(self, run, error, box=None):
        """The one error path: the error record last, the box naming the log, exit code 1."""
        self.assertEqual(run.code, 1)
        self.assertEqual(run.lines()[-1], "ERRO " + error)
        expected = failure_text(run.program_log_path())
        if prog().windows:
            texts = [c["text"] for c in box["children"] if c["class"] == "Static" and c["text"]]
            self.assertEqual(texts, [expected])
        else:
            self.assertEqual(self.box_texts(run)[-1], expected)

    def check_says(self, installation, error=None, options=None, code_path=None):
        """--check of the installation, with the options of the update's run: the update's
        error and exit code 1 where the update is refused, "ok: ..." and 0 where it starts
        (`error` None), a text or a pattern; and nothing changed, no log written."""
        code_path = code_path or installation.code_path
        before = read_tree(installation.root) if installation else None
        registered = registrations(None) if prog().windows and error is None else []
        run = Run(self, ["--check", code_path], **(options or {}))
        run.finish()
        said = run.out.decode().splitlines()
        self.assertEqual(len(said), 1, said)
        if error is None:
            self.assertEqual(run.code, 0, said)
            self.assertTrue(said[0].startswith("ok: "), said)
        else:
            self.assertEqual(run.code, 1, said)
            if isinstance(error, re.Pattern):
                self.assertRegex(said[0], error)
            else:
                self.assertEqual(said[0], error)
        self.assertEqual({path: os.path.getsize(path) for path in run.logs()}, run.sizes_before)
        if error is None:
            self.assertEqual(registrations(run.config), registered)
        if installation:
            self.assertEqual(read_tree(installation.root), before)
        return said[0]

    def run_failing(self, args, env=None):
        run = Run(self, args, env=env)
        box = None
        if prog().windows:
            box = self.answer_failure_box(run)
        run.finish()
        return run, box

    def test_successful_update(self):
        installation = Installation(self, "Vellicor")
        self.assertEqual(self.check_says(installation), "ok: an update of " +
                         installation.program_path() + " would start, with 5 staged entries")
        run = Run(self, [installation.code_path, "false"])
        self.assertEqual(run.finish(), 0, run.err)
        self.assertEqual(installation.tree_without_log(), installation.expected_after_update())
        lines = run.lines()
        code_path, root = installation.code_path, installation.program_path()
        self.assertEqual(lines[:9], [
            "INFO Starting: " + code_path + ", false",
            "INFO Checking for running Vellicor.exe processes... (attempt 1)",
            "INFO Vellicor.exe is not running",
            "INFO Checking for possible conflicting running processes... (attempt 1)",
            "INFO Checking for possible conflicting running processes... (attempt 1)",
            "INFO Vellicor Updater v" + prog().version,
            "INFO Starting update, silent = false",
            "INFO do_update: " + code_path + ", _",
            "INFO move_update: " + installation.program_path("unins000.dat") + ", _"])
        # Registered once every check has passed, before the staged version goes to the disk.
        checked = lines.index("INFO Collected all directories and file handles")
        registered = registration_line(run.config).match(lines[checked + 1])
        self.assertTrue(registered, lines[checked + 1])
        self.assertEqual(lines[checked + 2], "INFO Wrote the staged version to the disk")
        # The installer's log names C:\Apps\Vellicor\_, the Windows installation's folder.
        self.assertIn("INFO Checked %d files of the staged version against its uninstall log" %
                      (len(STAGED_FILES) if prog().windows else 0), lines)
        self.assertEqual(lines[-6:-4], ["INFO Delete: " + installation.program_path("_"),
                                        lines[-5]])
        self.assertTrue(lines[-5].startswith("INFO header: Header, id: Inno Setup Uninstall Log"))
        self.assertEqual(lines[-4:], ["INFO num_recs: 65",
                                      "INFO Updating uninstall file " +
                                      installation.program_path("unins000.dat"),
                                      "INFO Removed the registration to finish the update at "
                                      "the next logon: " + registered.group(1),
                                      "INFO Update was successful!"])
        self.assertFalse([c for c in registrations(run.config) if code_path in c],
                         "a clean update leaves no registration")
        self.assertFalse(os.path.exists(os.path.join(run.config, "autostart")),
                         "nor the folder made for it")
        phases = [line for line in lines if line in (
            "INFO Collected all directories and file handles",
            "INFO All file handles marked for deletion", "INFO All files deleted")]
        self.assertEqual(len(phases), 3)
        self.assertEqual(sorted(line for line in lines if line.startswith("INFO Rename: ")), [
            "INFO Rename: " + name + " (attempt 1)"
            for name in sorted(["Vellicor.exe", "docs", "locales", "resources", "unins000.dat"])])
        opened = sorted(line for line in lines if line.startswith("INFO Get file handle: "))
        self.assertEqual(opened, sorted(
            "INFO Get file handle: " + installation.program_path(f) + " (attempt 1)"
            for f in Installation.OLD if not f.startswith(("tools/", "unins"))))
        if prog().windows:
            # The staged log named C:\Apps\Vellicor\_: rebased, it is the installer's own log for
            # C:\Apps\Vellicor, byte for byte.
            self.assertTrue(filecmp.cmp(installation.path("unins000.dat"),
                                        os.path.join(DATA, "staged-rebased.dat"), shallow=False))
            self.assertIsNone(find("Zephrane", 0), "the progress window is gone")
        code, out, err = prog().run(["--parse", installation.program_path("unins000.dat")])
        self.assertEqual(code, 0, err)

    def test_incomplete_staged_version_is_refused_with_nothing_touched(self):
        """A file that the new version's own uninstall log names is missing from _ (a download
        cut short, a quarantined file): the update stops before it touches anything and names
        it."""
        if not prog().windows:
            self.skipTest("the installer's log names C:\\Apps\\Vellicor\\_")
        installation = Installation(self, "Vellicor")
        missing = "_/docs/Überblick.txt"
        os.remove(installation.path(missing))
        before = read_tree(installation.root)
        error = ("The staged version is incomplete: 1 file that its uninstall log names is "
                 "missing, " + installation.program_path(missing))
        self.check_says(installation, error)
        run, box = self.run_failing([installation.code_path, "false"])
        self.check_failure(run, error, box)
        self.assertEqual(read_tree(installation.root), before)

    def test_application_that_exits_after_a_moment_is_waited_for(self):
        installation = Installation(self, "WaitsForExit")
        start_application(self, installation.root, 2)
        run = Run(self, [installation.code_path, "true"])
        self.assertEqual(run.finish(), 0, run.err)
        lines = run.lines()
        waits = lines.index("INFO Vellicor.exe is not running")
        self.assertIn(lines[1:waits].count("INFO Vellicor.exe is running, wait a bit"),
                      range(2, 7), lines[:waits])
        self.assertNotIn("INFO Found Vellicor.exe running", "\n".join(lines))

    def test_application_that_never_exits_is_killed_and_a_namesake_left_alone(self):
        """On Windows the programs are 64-bit, as most are where the updater runs (WoW64)."""
        installation = Installation(self, "NeverExits")
        sleeper = prog().sleeper64
        application = start_application(self, installation.root, 300, sleeper=sleeper)
        namesake = start_application(self, installation.root + "-elsewhere", 300,
                                     sleeper=sleeper)
        adb = start_application(self, installation.root + "-tools", 300, "adb.exe", sleeper)
        run = Run(self, [installation.code_path, "true"])
        self.assertEqual(run.finish(), 0, run.err)
        lines = run.lines()
        self.assertEqual(sum(1 for line in lines if line.startswith(
            "INFO Checking for running Vellicor.exe processes...")), 60)
        self.assertIn("INFO Gave up waiting for Vellicor.exe to exit", lines)
        found = [line.rsplit(", ", 1)[1] for line in lines
                 if line.startswith("INFO Kill process if found: ")]
        self.assertEqual(sorted(found), ["Vellicor.exe", "Vellicor.exe", "adb.exe"])
        self.assertEqual(sum(1 for line in lines if line.startswith(
            "INFO Successfully killed Vellicor.exe, pid ")), 1)
        deadline = time.monotonic() + 20
        while application.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIsNotNone(application.poll(), "the application was killed")
        self.assertIsNone(namesake.poll(), "the namesake from elsewhere still runs")
        self.assertIsNone(adb.poll(), "an adb.exe from elsewhere still runs")
        self.assertEqual(installation.tree_without_log(), installation.expected_after_update())

    def test_application_that_cannot_be_killed_ends_in_the_failure_box(self):
        installation = Installation(self, "Unkillable")
        before = read_tree(installation.root)
        exe = os.path.join(installation.root, "Vellicor.exe")
        shutil.copy(prog().sleeper, exe)
        before = read_tree(installation.root)
        if prog().windows:
            # The sleeper starts a copy of itself that nobody may open; removing the marker
            # ends it.
            marker = os.path.join(tempfile.mkdtemp(prefix="vellicor-app-"), "running")
            self.addCleanup(shutil.rmtree, os.path.dirname(marker), True)
            subprocess.run(prog().runner + [exe, "protect", "300",
                                            "Z:" + marker.replace("/", "\\")],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=60)
            while not os.path.exists(marker):
                time.sleep(0.02)
        else:
            # A child that has ended and is not reaped yet stays listed and cannot be opened.
            zombie = subprocess.Popen([exe, "0"])
            self.addCleanup(zombie.wait)
            while not os.path.exists("/proc/%d" % zombie.pid) or \
                    open("/proc/%d/stat" % zombie.pid).read().split(") ")[1][0] != "Z":
                time.sleep(0.02)
        run = Run(self, [installation.code_path, "false"])
        if prog().windows:
            box, _ = wait_for_new_box(None, timeout=180)
            texts = [c["text"] for c in box["children"] if c["class"] == "Static" and c["text"]]
            self.assertTrue(texts[0].startswith(KILL_BOX_START), texts)
            self.assertTrue(texts[0].endswith(BOX_END), texts)
            probe("click", "Vellicor", "Cancel")
            failure, _ = wait_for_new_box(box["hwnd"], timeout=60)
            probe("click", "Vellicor", "OK")
        else:
            failure = None
        run.finish()
        lines = run.lines()
        error = [line for line in lines if line.startswith("WARN Kill error ")][-1][16:]
        self.check_failure(run, error, failure)
        self.assertTrue(error.startswith("Failed to open process: "), error)
        self.assertEqual(sum(1 for line in lines if line.startswith("WARN Kill error ")), 11)
        if not prog().windows:
            boxes = self.box_texts(run)
            self.assertEqual(len(boxes), 2)
            self.assertEqual(boxes[0], KILL_BOX_START[:-len("Failed to open process: ")] +
                             error + BOX_END)
        self.assertEqual(read_tree(installation.root), before, "no file was touched")

    def test_what_the_move_in_could_not_do_is_found_before_anything_is_deleted(self):
        """Each case would delete the old version and then fail to move the new one in, and so
        would every rerun: it ends with nothing touched, exit code 1 and an error naming the
        entry. A read-only old file (Windows refuses to delete one) goes like the others."""
        nobody = 65534 if os.geteuid() == 0 else None  # root may write anywhere

        def unwritable(relative):
            """The entry not writable, and the updater run as nobody (where this runs as root,
            who may write anywhere), who owns the rest; `relative` None: everything writable."""
            def prepare(installation):
                if nobody is not None:
                    for folder, dirs, files in os.walk(os.path.dirname(installation.root)):
                        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                            os.lchown(name, nobody, nobody)
                if relative:
                    os.chmod(installation.path(relative), 0o555)
                    self.addCleanup(os.chmod, installation.path(relative), 0o755)
                if nobody is None:
                    return {}
                # In a process namespace of its own: the kill steps see no other user's
                # processes, whose images they could not read.
                return {"wrap": ["unshare", "--pid", "--fork", "--mount-proc", "setpriv",
                                 "--reuid=%d" % nobody, "--regid=%d" % nobody,
                                 "--clear-groups"], "user_folder": nobody}
            return prepare

        def mounted(installation):
            source = tempfile.mkdtemp(prefix="vellicor-mounted-")
            self.addCleanup(shutil.rmtree, source, True)
            script = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
            return {"wrap": ["unshare", "-m", "--propagation", "private", "sh", "-c", script,
                             "sh", source, installation.path("docs/guide")]}

        def staged(name, folder=False):
            def prepare(installation):
                path = installation.path("_/" + name + ("/f.txt" if folder else ""))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as handle:
                    handle.write("new")
                return {}
            return prepare

        def linked(name, target, logged=None):
            """_/<name> a link to `target` (relative to the root, or absolute), and the staged
            log naming `logged` in the update folder."""
            def prepare(installation):
                path = installation.path("_/" + name)
                shutil.rmtree(path, ignore_errors=True)
                os.symlink(target if os.path.isabs(target) else installation.path(target), path)
                if logged:
                    with open(installation.path("_/unins000.dat"), "wb") as handle:
                        handle.write(uninstall_log(installation.program_path("_"), [logged], "/"))
                return {}
            return prepare

        def attribute(flag, relative):
            """chattr +<flag> on the entry, taken off again at the end."""
            def prepare(installation):
                path = installation.path(relative)
                if subprocess.run(["chattr", "+" + flag, path],
                                  capture_output=True).returncode != 0:
                    self.skipTest("no immutable files here")
                self.addCleanup(subprocess.run, ["chattr", "-" + flag, path],
                                capture_output=True)
                return {}
            return prepare

        def empty_folder(relative, flag):
            def prepare(installation):
                os.makedirs(installation.path(relative))
                return attribute(flag, relative)(installation)
            return prepare

        def foreign_old_file(installation):
            # Run as nobody: the exclusive hold of a third user's file cannot be had.
            if nobody is None:
                self.skipTest("only root can give files to other users")
            options = unwritable(None)(installation)
            os.chown(installation.path("docs/obsolete.txt"), nobody - 1, nobody - 1)
            return options

        def record_temp_folder(installation):
            os.makedirs(installation.path(".vellicor-update.tmp/inside"))
            return {}

        def record_temp(kind):
            """At the record's temporary name, a FIFO ("fifo"), or an immutable file."""
            def prepare(installation):
                path = installation.path(".vellicor-update.tmp")
                if kind == "fifo":
                    os.mkfifo(path)
                    return {}
                installation.write("", {".vellicor-update.tmp": ""})
                return attribute("i", ".vellicor-update.tmp")(installation)
            return prepare

        def root_link(installation):
            os.symlink(tempfile.gettempdir(), installation.path("linked"))
            return staged("linked", True)(installation)

        def sticky(installation):
            # _ the system's, open to all (1777), and a staged folder of a third user's: only
            # that user, root or _'s owner may move it out.
            if nobody is None:
                self.skipTest("only root can give files to other users")
            options = unwritable("_")(installation)
            os.chown(installation.path("_"), 0, 0)
            os.chmod(installation.path("_"), 0o1777)
            os.chown(installation.path("_/docs"), nobody - 1, nobody - 1)
            os.chmod(installation.path("_/docs"), 0o777)
            return options

        def read_only(installation):
            os.chmod(installation.path("docs/obsolete.txt"), 0o444)
            return {}

        def unreadable_staged(installation):
            # Its identity's generation is read through an open, which this user may not make.
            options = unwritable(None)(installation)
            os.chmod(installation.path("_/Refused.exe"), 0o200)
            return options

        def unread_generation(installation):
            # Its generation cannot be read for an I/O error, which does not say that the file
            # system keeps none: read past, the identity would silently be another one.
            if not shutil.which("strace"):
                self.skipTest("the read's failure is injected with strace")
            return {"env": {"ASAN_OPTIONS": "detect_leaks=0"},
                    "wrap": ["strace", "-f", "-qq", "-o", "/dev/null", "-P",
                             installation.path("_/Refused.exe"), "-e", "inject=ioctl:error=EIO"]}

        def twins(first, second, folder=False):
            """Two staged entries whose names Windows takes for one."""
            def prepare(installation):
                staged(first, folder)(installation)
                return staged(second, folder)(installation)
            return prepare

        def twins_error(first, second):
            def error(i):
                a, b = (re.escape(i.program_path("_/" + name)) for name in (first, second))
                return re.compile(r"\AStaged entries (%s and %s|%s and %s) have names that Windows "
                                  r"takes for one\Z" % (a, b, b, a))
            return error

        def apart(first, second):
            """Two staged files whose names Windows keeps apart: both move in."""
            def prepare(installation):
                for name in (first, second):
                    staged(name)(installation)
                    installation.new[name] = "new"
                return {}
            return prepare

        def hard_link(installation):
            # An unchanged file staged as a link to the old one: one file by two names.
            installation.write("", {"same.dll": "same"})
            os.link(installation.path("same.dll"), installation.path("_/same.dll"))
            installation.new["same.dll"] = "same"
            return {}

        def linked_twice(installation):
            # Two staged names of one unchanged old file: Windows keeps share access per file,
            # not per name, so the update holds it once.
            installation.write("", {"same.dll": "same"})
            for name in ("same.dll", "also.dll"):
                os.link(installation.path("same.dll"), installation.path("_/" + name))
                installation.new[name] = "same"
            return {}

        def linked_uninstaller(installation):
            # An unchanged uninstaller staged as a link to the one the update keeps: in place.
            installation.write("", {"unins000.exe": "uninstaller"})
            os.link(installation.path("unins000.exe"), installation.path("_/unins000.exe"))
            installation.new["unins000.exe"] = "uninstaller"
            return {}

        def few_open_files(installation):
            # More files of each version than the process may have open at once.
            installation.add_top_level(1500)
            return {"wrap": ["prlimit", "--nofile=1024:1024", "--"]}

        def few_soft_open_files(installation):
            # As many, under the usual soft limit of a desktop and a hard limit above what the
            # update holds: the program raises its soft limit to the hard one as it starts.
            if os.geteuid() != 0 and resource.getrlimit(resource.RLIMIT_NOFILE)[1] < 4096:
                self.skipTest("a hard limit of 4096 open files is more than this user may set")
            installation.add_top_level(1500)
            return {"wrap": ["prlimit", "--nofile=1024:4096", "--"]}

        out_of_files = (None, lambda i: re.compile(
            r"\A(Failed to create file handle|Could not tell the identity of|Could not list) %s.*: "
            r"Too many open files" % re.escape(i.program_path())))

        def updater_inside(installation):
            path = shutil.copy(prog().exe, installation.path("resources"))
            return {"exe": path}

        def updater_error(installation):
            return ("The updater " + installation.program_path(
                "resources/" + os.path.basename(prog().exe)) + " lies in what the update of " +
                installation.program_path() + " deletes: it must run from elsewhere")

        def staged_error(name, problem):
            return lambda i: ("Staged entry " + i.program_path("_") + "\\" + name +
                              " has a name that Windows cannot hold: " + problem)

        # A Unix link in the old version to a user's folder, which Wine shows as a folder: not
        # entered, nothing of the user's deleted.
        outside = tempfile.mkdtemp(prefix="vellicor-outside-")
        self.addCleanup(shutil.rmtree, outside, True)

        def unix_link(installation):
            with open(os.path.join(outside, "own.txt"), "w") as handle:
                handle.write("the user's")
            os.symlink(outside, installation.path("docs/ext"))
            self.addCleanup(lambda: self.assertEqual(os.listdir(outside), ["own.txt"]))
            return {}

        if prog().windows:
            cases = [  # (case, prepare, the error or a pattern of it; None: the clean update)
                ("a Unix link to the user's folder", unix_link,
                 lambda i: re.compile(re.escape(i.program_path("docs/ext") + " is a link to ") +
                                      r"\S*" + re.escape(os.path.basename(outside) +
                                                         ": the update deletes nothing through a "
                                                         "link") + r"\Z")),
                ("CON", staged("CON"), staged_error("CON", "a device name")),
                ("aux.txt", staged("aux.txt"), staged_error("aux.txt", "a device name")),
                ("COM1.log", staged("COM1.log"), staged_error("COM1.log", "a device name")),
                ("x.", staged("x."), staged_error("x.", "a trailing dot or space")),
                ("y ", staged("y ", True), staged_error("y ", "a trailing dot or space")),
                ("a read-only old file", read_only, None),
                ("the updater in what the update deletes", updater_inside, updater_error),
                ("a folder at the record's temporary name", record_temp_folder,
                 lambda i: "The update record cannot be written: " +
                 i.program_path(".vellicor-update.tmp") + " is a folder"),
                ("a twin of a file that the staged log names", twins("locales/en-US.pak",
                                                                      "locales/EN-US.pak"),
                 twins_error("locales/en-US.pak", "locales/EN-US.pak")),
                ("a twin of the staged uninstall log", twins("unins000.dat", "UNINS000.DAT"),
                 twins_error("unins000.dat", "UNINS000.DAT")),
                ("a twin of the executable", twins("Refused.exe", "REFUSED.EXE"),
                 twins_error("Refused.exe", "REFUSED.EXE")),
                ("twins beyond ASCII", twins("\u00e4.txt", "\u00c4.txt"),
                 twins_error("\u00e4.txt", "\u00c4.txt")),
                ("twin folders", twins("n", "N", True), twins_error("n", "N")),
                # The volume's folding, beyond Latin-1: Greek with tonos and fullwidth letters
                # are one name; dotless i and I are two.
                ("twins of Greek with tonos", twins("\u03ac.txt", "\u0386.txt"),
                 twins_error("\u03ac.txt", "\u0386.txt")),
                ("twins of fullwidth letters", twins("\uff41.txt", "\uff21.txt"),
                 twins_error("\uff41.txt", "\uff21.txt")),
                ("names that Windows keeps apart", apart("\u0131l\u0131k.txt", "Il\u0131k.txt"),
                 None),
            ]
        else:
            moved_into = lambda i: " cannot be moved into " + i.root + ": Permission denied"
            cases = [
                ("_ that this user cannot write", unwritable("_"),
                 lambda i: re.compile(re.escape("Staged entry " + i.path("_/")) + "[^/]+" +
                                      re.escape(moved_into(i)) + r"\Z")),
                ("a staged folder that this user cannot write", unwritable("_/docs"),
                 lambda i: "Staged entry " + i.path("_/docs") + moved_into(i)),
                ("a mount inside the old version", mounted,
                 lambda i: "Cannot remove " + i.path("docs") +
                 ": another file system is mounted on " + i.path("docs/guide")),
                ("a staged link into the old version", linked("docs", "docs"),
                 lambda i: "Staged entry " + i.path("_/docs") + " is a link: the update moves "
                 "in only what the update folder holds itself"),
                ("a staged link out of the installation", linked("ext", tempfile.gettempdir()),
                 lambda i: "Staged entry " + i.path("_/ext") + " is a link: the update moves "
                 "in only what the update folder holds itself"),
                ("a staged folder that leads into the old version below it",
                 linked("resources/extbin", "resources/extbin", "resources/extbin/adb.exe"),
                 lambda i: "The staged version is incomplete: 1 file that its uninstall log "
                 "names is missing, " + i.path("_/resources/extbin/adb.exe")),
                ("an immutable old file", attribute("i", "docs/obsolete.txt"),
                 lambda i: "Cannot delete " + i.path("docs/obsolete.txt") + ": it is immutable"),
                ("an empty immutable old folder", empty_folder("docs/cache", "i"),
                 lambda i: "Cannot delete " + i.path("docs/cache") + ": it is immutable"),
                ("an immutable staged file", attribute("i", "_/Refused.exe"),
                 lambda i: "Staged entry " + i.path("_/Refused.exe") + " cannot be moved into " +
                 i.root + ": it is immutable"),
                ("an append-only installation folder", attribute("a", ""),
                 lambda i: "Cannot delete what is in " + i.root + ": it is append-only"),
                ("an append-only _", attribute("a", "_"),
                 lambda i: re.compile(re.escape("Staged entry " + i.path("_/")) + "[^/]+" +
                                      re.escape(" cannot be moved into " + i.root + ": " +
                                                i.path("_") + " is append-only") + r"\Z")),
                ("an immutable unins000.dat that the staged one replaces",
                 attribute("i", "unins000.dat"),
                 lambda i: "Staged entry " + i.path("_/unins000.dat") + " cannot replace " +
                 i.path("unins000.dat") + ": it is immutable"),
                ("an old file of another user's", foreign_old_file,
                 lambda i: "Cannot hold " + i.path("docs/obsolete.txt") + " exclusively to "
                 "delete it: it belongs to another user"),
                ("a folder at the record's temporary name", record_temp_folder,
                 lambda i: "The update record cannot be written: " +
                 i.path(".vellicor-update.tmp") + " is a folder"),
                ("an immutable file at the record's temporary name", record_temp("immutable"),
                 lambda i: "The update record cannot be written: " +
                 i.path(".vellicor-update.tmp") + " cannot be removed: it is immutable"),
                ("a FIFO at the record's temporary name (a leftover that goes)", record_temp("fifo"),
                 None),
                ("the updater in what the update deletes", updater_inside, updater_error),
                ("a link in the root and a staged folder of its name", root_link,
                 lambda i: "Staged entry " + i.path("_/linked") + " cannot replace " +
                 i.path("linked") + ", which the update keeps"),
                ("a staged file that this user may not read", unreadable_staged,
                 lambda i: "Could not tell the identity of " + i.path("_/Refused.exe") +
                 ": Permission denied"),
                ("a staged file whose generation cannot be read", unread_generation,
                 lambda i: "Could not tell the identity of " + i.path("_/Refused.exe") +
                 ": Input/output error"),
                ("a sticky _ with another user's staged folder", sticky,
                 lambda i: "Staged entry " + i.path("_/docs") + " cannot be moved into " +
                 i.root + ": Operation not permitted"),
                ("more files than the soft limit of open files, fewer than the hard one",
                 few_soft_open_files, None),
            ]
        # Both builds: the update goes at once, or refuses at once, nothing deleted (the check,
        # which holds nothing, says it would start).
        cases += [("a staged file that is the old one by another name", hard_link, None),
                  ("two staged files that are one old file", linked_twice, None),
                  ("a staged uninstaller that is the kept one by another name",
                   linked_uninstaller, None),
                  ("more files than the process may open", few_open_files, out_of_files)]
        can_mount = not prog().windows and subprocess.run(
            ["unshare", "-m", "--propagation", "private", "true"],
            capture_output=True).returncode == 0
        for name, prepare, error in cases:
            with self.subTest(name):
                if prepare is mounted and not can_mount:
                    self.skipTest("no mount namespace of its own here")
                installation = Installation(self, "Refused", "Refused.exe")
                options = prepare(installation)
                before = read_tree(installation.root)
                check_error, error = error if isinstance(error, tuple) else (error, error)
                self.check_says(installation, check_error and check_error(installation), options)
                run = Run(self, [installation.code_path, "true"], **options)
                if error is None:
                    self.assertEqual(run.finish(), 0, run.err)
                    self.assertEqual(installation.tree_without_log(),
                                     installation.expected_after_update())
                    # At once: the update never waits for its own holds.
                    self.assertFalse([line for line in run.lines()
                                      if line.endswith("(attempt 2)")])
                    continue
                box = self.answer_failure_box(run) if prog().windows else None
                run.finish()
                expected = error(installation)
                logged = run.lines()[-1][len("ERRO "):]
                if isinstance(expected, re.Pattern):
                    self.assertRegex(logged, expected)
                    expected = logged
                self.check_failure(run, expected, box)
                self.assertEqual(read_tree(installation.root), before)
                # At once: nothing here comes by waiting.
                self.assertFalse([line for line in run.lines() if line.endswith("(attempt 2)")])
                self.assertFalse([line for line in run.lines() if line.startswith(
                    "INFO Registered ")], "a refusal registers nothing")
                self.assertFalse(os.path.exists(os.path.join(run.config, "autostart")))

    def test_application_started_with_its_path_in_lower_case_is_killed(self):
        """Windows paths ignore letter case, and a process is listed with its path as it was
        started: App.exe started as ...\\app.exe is the application, whichever of the two
        spellings the updater is given."""
        if not prog().windows:
            self.skipTest("letter case counts in POSIX paths")
        for spelling in ("lower case", "the file's own"):
            with self.subTest(spelling):
                installation = Installation(self, "LowerCase", "App.exe")
                lower = installation.program_path("App.exe").lower()
                application = start_application(self, installation.root, 300, "App.exe",
                                                spelling=lower)
                code_path = lower if spelling == "lower case" else \
                    installation.program_path("App.exe")
                run = Run(self, [code_path, "true"])
                self.assertEqual(run.finish(), 0, run.err)
                lines = run.lines()
                self.assertIn("INFO Gave up waiting for App.exe to exit", lines)
                self.assertTrue(any(line.lower().startswith("info successfully killed app.exe")
                                    for line in lines), lines)
                deadline = time.monotonic() + 20
                while application.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertIsNotNone(application.poll(), "the application was killed")
                self.assertEqual(installation.tree_without_log(),
                                 installation.expected_after_update())

    def test_argument_errors(self):
        installation = Installation(self, "Arguments")
        missing = installation.program_path("Missing.exe")
        cases = [
            (["Vellicor.exe", "false"],
             "Bad arguments: Code path needs to be absolute. Instead got: Vellicor.exe"),
            ([missing, "false"], "Bad arguments: Code path doesn't seem to exist: " + missing),
            ([installation.code_path, "True"],
             "Bad arguments: Silent needs to be true or false. Instead got: True"),
            (["C:\\" if prog().windows else "/", "false"], "Could not get process file name"),
        ]
        before = read_tree(installation.root)
        for args, error in cases:
            with self.subTest(args=args):
                if args[1] == "false":  # the check takes no silent flag
                    self.check_says(None, error, code_path=args[0])
                run, box = self.run_failing(args)
                self.check_failure(run, error, box)
                self.assertEqual(run.lines()[0], "INFO Starting: " + args[0] + ", " + args[1])
        self.assertEqual(read_tree(installation.root), before)

    def test_silent_run_that_fails_still_shows_the_failure_box(self):
        installation = Installation(self, "SilentFailure")
        shutil.rmtree(installation.path("_"))
        run, box = self.run_failing([installation.code_path, "true"])
        self.assertTrue(run.lines()[-1].startswith("ERRO "), run.lines()[-1])
        self.check_failure(run, run.lines()[-1][5:], box)
        self.assertIn("INFO Starting update, silent = true", run.lines())

    def test_code_path_that_leads_to_a_drive_root_is_refused(self):
        """The root's whole contents would go: through ".." or a link, a drive root (or /) is
        refused before anything is touched."""
        scratch = tempfile.mkdtemp(prefix="vellicor-drive-")
        self.addCleanup(shutil.rmtree, scratch, True)
        for relative, content in {"Photos/p.jpg": "photo", "Work/Thesis/t.tex": "thesis",
                                  "notes.txt": "notes", "Vellicor.exe": "1",
                                  "_/Vellicor.exe": "2"}.items():
            os.makedirs(os.path.dirname(os.path.join(scratch, relative)), exist_ok=True)
            with open(os.path.join(scratch, relative), "w") as handle:
                handle.write(content)
        links = tempfile.mkdtemp(prefix="vellicor-links-") if not prog().windows else \
            os.path.join(wine_prefix(), "drive_c", "VellicorTests")
        os.makedirs(links, exist_ok=True)
        if not prog().windows:
            self.addCleanup(shutil.rmtree, links, True)  # the link goes first, then its folder
        link = os.path.join(links, "to-root")
        if os.path.lexists(link):
            os.remove(link)
        self.addCleanup(os.remove, link)
        if prog().windows:
            drive = os.path.join(wine_prefix(), "dosdevices", "r:")
            if os.path.lexists(drive):
                os.remove(drive)
            os.symlink(scratch, drive)
            self.addCleanup(os.remove, drive)
            os.symlink(scratch, link)
            cases = [("R:\\x\\..\\Vellicor.exe", "R:\\"),
                     ("C:\\VellicorTests\\to-root\\Vellicor.exe", "R:\\")]
        else:
            os.symlink("/", link)
            # The scratch folder stands in for the drive: "/" itself cannot be made a test tree.
            cases = [("/".join([scratch] + [".."] * scratch.count("/") + ["etc"]), "/"),
                     (link + "/etc", "/")]
        before = read_tree(scratch)
        for code_path, root in cases:
            with self.subTest(code_path=code_path):
                error = "Refusing to update an installation at the root of a drive or share: "
                self.check_says(None, error + root, code_path=code_path)
                run, box = self.run_failing([code_path, "false"])
                self.check_failure(run, error + root, box)
        self.assertEqual(read_tree(scratch), before)

    def test_update_folder_that_links_elsewhere_is_refused_with_nothing_touched(self):
        """A link that Wine shows as a plain folder too (an empty update folder, or one without
        the executable, is refused the same way: see the engine's tests)."""
        outside = tempfile.mkdtemp(prefix="vellicor-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "Vellicor.exe"), "w") as handle:
            handle.write("not part of the installation")
        installation = Installation(self, "UpdateFolder")
        shutil.rmtree(installation.path("_"))
        os.symlink(outside, installation.path("_"))
        before = read_tree(installation.root)
        said = self.check_says(installation, re.compile("^Update folder is a link"))
        run, box = self.run_failing([installation.code_path, "false"])
        logged = run.lines()[-1][len("ERRO "):]
        self.assertEqual(said, logged)
        self.assertTrue(logged.startswith("Update folder is a link to another folder: " +
                                          installation.program_path("_") + " leads to "), logged)
        self.check_failure(run, logged, box)
        self.assertEqual(read_tree(installation.root), before)
        self.assertEqual(read_tree(outside), ["Vellicor.exe=not part of the installation"])

    def test_other_spellings_of_the_code_path_update_the_same_installation(self):
        """Letter case, separators and ".." resolve to the installation's own path, and the
        uninstall log is rebased as for the plain spelling."""
        if prog().windows:
            spellings = ["c:/apps//vellicor/vellicor.exe",
                         "C:\\Apps\\Vellicor\\docs\\..\\Vellicor.exe"]
        else:
            spellings = ["{}/docs/../Vellicor.exe", "{}//./Vellicor.exe"]
        for spelling in spellings:
            with self.subTest(spelling):
                installation = Installation(self, "Vellicor")
                code_path = spelling.format(installation.root)
                run = Run(self, [code_path, "false"])
                self.assertEqual(run.finish(), 0, run.err)
                self.assertEqual(installation.tree_without_log(),
                                 installation.expected_after_update())
                self.assertIn("INFO Code path resolves to " + installation.code_path, run.lines())
                if prog().windows:
                    self.assertTrue(filecmp.cmp(installation.path("unins000.dat"),
                                                os.path.join(DATA, "staged-rebased.dat"),
                                                shallow=False))

    def test_two_updaters_at_once_update_once(self):
        """The application started twice: one update runs, the other stops before it has
        touched anything (or, started after the first one ended, finds nothing staged)."""
        installation = Installation(self, "Twice")
        installation.add_library(300, 10)
        runs = [Run(self, [installation.code_path, "true"])]
        time.sleep(0.01)
        runs.append(Run(self, [installation.code_path, "true"]))
        if prog().windows:
            try:
                wait_for_new_box(None, timeout=120)
                probe("click", "Vellicor", "OK")
            except AssertionError:
                pass  # both ran to their end without a box: one of them failed silently
        codes = sorted(run.finish() for run in runs)
        self.assertEqual(codes, [0, 1])
        self.assertEqual(
            [e for e in installation.tree_without_log() if not e.startswith("lib/")],
            installation.expected_after_update())
        self.assertEqual(sorted(e for e in read_tree(installation.path("lib")) if "=" in e),
                         sorted("part%d/file%d.dat=_/" % (i % 10, i) for i in range(300)))

    def test_every_line_of_a_large_update_is_written(self):
        """10,000 files, opened in a burst: every one has its line in the log, none is lost."""
        installation = Installation(self, "Large")
        installation.add_library(10000, 100)
        run = Run(self, [installation.code_path, "true"])
        self.assertEqual(run.finish(), 0, run.err)
        lines = run.lines()
        opened = sum(1 for line in lines if line.startswith("INFO Get file handle: "))
        self.assertEqual(opened, 10000 + sum(1 for f in Installation.OLD
                                             if not f.startswith(("tools/", "unins"))))
        self.assertEqual([line for line in lines if "slog-async" in line], [])

    def test_a_huge_damaged_uninstall_log_gives_the_two_warnings(self):
        """400 MB of zeros behind a valid header: the patch fails at the first block, the
        update succeeds."""
        installation = Installation(self, "HugeLog")
        with open(installation.path("_/unins000.dat"), "r+b") as handle:
            handle.truncate(448)
            handle.truncate(400 << 20)
        run = Run(self, [installation.code_path, "true"])
        self.assertEqual(run.finish(), 0, run.err)
        self.assertEqual(run.lines()[-4:], [
            "WARN Failed to patch uninst.dat file",
            "WARN FileRec parse error: Failed to parse file rec typ",
            run.lines()[-2], "INFO Update was successful!"])
        self.assertTrue(run.lines()[-2].startswith("INFO Removed the registration "))

    def test_a_rerun_finishes_the_update_that_was_cut_short_and_nothing_else(self):
        """The update is killed part-way, the installation changes, and the same command runs
        again: it ends as the clean update of what is staged then, or, where nothing can
        complete the update that was cut short, fails with nothing more deleted."""
        newer = {"Vellicor.exe": "Vellicor 3", "resources/app.asar": "asar 3",
                 "locales/fr-FR.pak": "fr 3", "docs/guide/index.html": "newest guide"}
        outside = tempfile.mkdtemp(prefix="vellicor-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "Vellicor.exe"), "w") as handle:
            handle.write("the user's")

        def reinstall(installation):
            # The installer lays the old version out anew around what it does not know (the
            # record, the entries moved in), then the application stages the next version.
            # Its folders are deleted and made anew: ext4 hands a folder's number out again.
            shutil.rmtree(installation.path("_"))
            for relative in Installation.OLD:
                top = installation.path(relative.split("/")[0])
                if os.path.isdir(top) and not relative.startswith("tools/"):
                    shutil.rmtree(top)
                elif os.path.exists(installation.path(relative)):
                    os.remove(installation.path(relative))
            installation.write("", Installation.OLD)
            # The installer writes its uninstall log anew.
            os.remove(installation.path("unins000.dat"))
            shutil.copyfile(os.path.join(DATA, "installed.dat"), installation.path("unins000.dat"))
            installation.stage(newer)

        def moved_in(installation):
            """The staged entries that the update cut short had moved into the root."""
            with open(installation.path(".vellicor-update")) as handle:
                names = [line.split(" ", 2)[2] for line in handle.read().splitlines()
                         if line.startswith("staged ")]
            return [name for name in names if name != "unins000.dat" and
                    not os.path.lexists(installation.path("_/" + name))]

        def replace_moved(installation):
            # While the rest is still staged, an entry that was moved in is replaced.
            moved = moved_in(installation)
            if not moved:
                self.skipTest("the kill came before the first entry moved in")
            path = installation.path(moved[0])
            if os.path.isdir(path):  # made anew: ext4 may give it the same number
                shutil.rmtree(path)
                os.makedirs(path)
                path = os.path.join(path, "own.txt")
            else:
                os.remove(path)
            with open(path, "w") as handle:
                handle.write("the user's own")

        def newer_over_undeletable(installation):
            # A moved-in file that a fresh update of what is staged now would have to delete
            # (POSIX: by its attribute, Windows: a read-only attribute that cannot be cleared):
            # no run gets that far, nothing is touched and the record stays.
            installation.stage(newer)
            files = [n for n in moved_in(installation) if os.path.isfile(installation.path(n))]
            if not files:
                self.skipTest("the kill came before the first file moved in")
            installation.undeletable = installation.path(files[0])
            os.chmod(installation.undeletable, 0o444)
            subprocess.run(["chattr", "+i", installation.undeletable], check=True)
            self.addCleanup(subprocess.run, ["chattr", "-i", installation.undeletable],
                            capture_output=True)

        def record_kept(installation):
            # The update completes, but its record cannot be removed: it keeps the registration,
            # so that no record is left that no logon finishes.
            if os.path.isdir(installation.path("_")):
                os.rmdir(installation.path("_"))  # killed before the emptied folder went
            os.makedirs(installation.path(".vellicor-update.tmp/inside"))

        def append_only_root(installation):
            if subprocess.run(["chattr", "+a", installation.root],
                              capture_output=True).returncode != 0:
                self.skipTest("no append-only folders here")
            self.addCleanup(subprocess.run, ["chattr", "-a", installation.root],
                            capture_output=True)

        def record_looped(installation):
            # A record that cannot be looked at (a link that leads to itself) is not taken for
            # none: its registration stays.
            record = installation.path(".vellicor-update")
            os.rename(record, record + "-as-it-was")
            os.symlink(".vellicor-update", record)

        def remove_staged_file(installation):
            for folder in ("zz", "docs", "locales", "resources"):
                for place, _, files in os.walk(installation.path("_/" + folder)):
                    if files:
                        os.remove(os.path.join(place, files[0]))
                        return
            self.skipTest("every staged folder moved in before the kill")

        def link(installation):
            shutil.rmtree(installation.path("_"))
            os.symlink(outside, installation.path("_"))

        def hold_update_folder(installation):
            # Windows keeps a process's current folder open: the folder cannot be removed.
            marker = os.path.join(tempfile.mkdtemp(prefix="vellicor-app-"), "running")
            self.addCleanup(shutil.rmtree, os.path.dirname(marker), True)
            holder = run_to_files(prog().runner + [prog().sleeper, "300", "-",
                                                   "Z:" + marker.replace("/", "\\")],
                                  cwd=installation.path("_"))
            self.addCleanup(lambda: holder.poll() is None and holder.kill())
            while not os.path.exists(marker):
                time.sleep(0.02)

        nothing_staged = "File not found." if prog().windows else \
            "No such file or directory"
        # What was moved in is the new version: a change of the update folder after the move-in
        # began leaves everything as it is.
        changed = "The interrupted update cannot be completed: its new version is in part in " \
            "place, and "
        cases = [  # (name, the line the first run is killed at, the change, error of the rerun)
            ("moved in part, then another version staged", "Rename: ",
             lambda installation: installation.stage(newer), changed),
            ("moved in, its record left by a kill while rewriting the uninstall log, then the "
             "next version staged", "Delete: ", lambda installation: installation.stage(newer),
             None),
            ("moved in, its record left by a kill while rewriting the uninstall log, then a "
             "folder at the record's temporary name", "Delete: ", record_kept, None),
            ("moved in part, then reinstalled and the next version staged", "Rename: ",
             reinstall, None),
            ("moved in part, then a moved-in entry replaced, the rest still staged", "Rename: ",
             replace_moved, "The interrupted update cannot be completed: "),
            # Where numbers do not last (Wine's drives) a folder is told by what it holds: the
            # folder is no longer as it was staged.
            ("moved in part, then a staged file removed", "Rename: ", remove_staged_file,
             changed if prog().windows else "The staged version is incomplete: "),
            ("moved in part, then another version staged over a file that cannot be deleted",
             "Rename: ", newer_over_undeletable, changed),
            ("moved in part, then the update folder removed", "Rename: ",
             lambda installation: shutil.rmtree(installation.path("_")),
             "The interrupted update cannot be completed: "),
            ("moved in part, then the update folder replaced by a link", "Rename: ", link,
             "Update folder is a link to another folder: "),
            # A run by hand that finds no record removes what the update left: the record's
            # temporary name and the registration (then nothing is staged, as after any update).
            ("moved in, then killed after its record's rename, before the unlink", "Rename: ",
             finished_but("unlink"), nothing_staged),
            ("moved in, then killed between its record's removal and the registration's",
             "Rename: ", finished_but("registration"), nothing_staged),
        ]
        if prog().windows:
            cases.append(("not cut short; a process whose current folder is the update folder",
                          None, hold_update_folder, None))
        else:
            cases.append(("moved in part, a staged name with a line feed", "Rename: ",
                          lambda installation: None, None))
            cases.append(("moved in part, then the installation folder made append-only",
                          "Rename: ", append_only_root, "Cannot delete what is in "))
            cases.append(("moved in part, then its record a link that cannot be followed",
                          "Rename: ", record_looped, "Unreadable update record: "))
        for name, killed_at, change, error in cases:
            with self.subTest(name):
                installation = Installation(self, "CutShort")
                # Files moved in before the log, where the kill comes.
                installation.add_top_level(20)
                if "line feed" in name:
                    installation.write("_", {"two\nlines.txt": "2"})
                    installation.new["two\nlines.txt"] = "2"
                if change is remove_staged_file:
                    # A folder that Wine lists last, still staged when the kill lands.
                    installation.write("_", {"zz/late.txt": "2"})
                    installation.new["zz/late.txt"] = "2"
                    # The staged log names the files of this installation's _.
                    with open(installation.path("_/unins000.dat"), "wb") as handle:
                        handle.write(uninstall_log(
                            installation.program_path("_"),
                            [n for n in installation.new if n != "unins000.dat"],
                            "\\" if prog().windows else "/"))
                if killed_at:
                    # The kill comes where the move-in's rename of unins000.dat waits (Windows: for
                    # the root's log, held open; POSIX: the staged one is immutable); one cut while
                    # rewriting the log has the rest of its move-in made by hand. Kills at other
                    # moments: the crash-rerun test.
                    first, release = stall_update(self, installation,
                                                  [installation.code_path, "true"])
                    first.kill_when_logged("INFO Rename: unins000.dat (attempt 2)")
                    release()
                    if killed_at == "Delete: ":
                        move_rest_in(installation)
                    if prog().windows:
                        # A run that fails keeps the value for the next logon: not the prefix's.
                        place = next(filter(None, map(registration_line(first.config).match,
                                                      first.lines()))).group(1)
                        self.addCleanup(subprocess.run, prog().runner + [
                            "reg", "delete", RUN_KEY, "/v", place.rsplit("\\", 1)[1], "/f"],
                            capture_output=True, timeout=120)
                    with open(installation.path(".vellicor-update")) as handle:
                        self.assertIn("moving the new version in", handle.readline())
                    # "Delete: " is logged just before the emptied update folder goes.
                    self.assertEqual(os.path.exists(installation.path("_")) and
                                     bool(os.listdir(installation.path("_"))),
                                     killed_at == "Rename: ")
                change(installation)
                before = read_tree(installation.root)
                self.check_says(installation, error and re.compile("^" + re.escape(error)))
                if error is None:
                    run = Run(self, [installation.code_path, "true"])
                    self.assertEqual(run.finish(), 0, run.err)
                    lines = run.lines()
                    self.assertEqual(os.path.exists(installation.path(".vellicor-update")),
                                     change is record_kept)
                    self.assertEqual(bool([c for c in registrations(run.config)
                                           if installation.code_path in c]),
                                     change is record_kept)
                    self.assertIn("INFO Updating uninstall file " +
                                  installation.program_path("unins000.dat"), lines)
                    expected = installation.expected_after_update()
                    if change is record_kept:
                        shutil.rmtree(installation.path(".vellicor-update.tmp"))
                        os.remove(installation.path(".vellicor-update"))
                        self.assertIn("WARN Could not remove the update record " +
                                      installation.program_path(".vellicor-update"),
                                      "\n".join(lines))
                    elif "line feed" in name:
                        self.assertIn("INFO Resuming an interrupted update", "\n".join(lines))
                    elif killed_at:
                        # Its new version in place, that update is finished first (or it was,
                        # all but its record, and the log rewritten since is not one it knows).
                        self.assertRegex("\n".join(lines), "has its new version in place|"
                                         "belongs to an earlier update")
                    else:
                        # The new version is complete: the empty folder may stay.
                        self.assertIn("WARN Could not remove the update folder " +
                                      installation.program_path("_") + ": ", "\n".join(lines))
                        expected = sorted(expected + ["_/"])
                    self.assertEqual(installation.tree_without_log(), expected)
                elif change is newer_over_undeletable:
                    run, box = self.run_failing([installation.code_path, "true"])
                    # The next case makes its installation at the same place (Windows).
                    subprocess.run(["chattr", "-i", installation.undeletable], check=True)
                    self.assertTrue(run.lines()[-1].startswith("ERRO " + error), run.lines()[-1])
                    self.check_failure(run, run.lines()[-1][5:], box)
                    # Nothing deleted, and a record still there to finish the earlier update by.
                    record = installation.path(".vellicor-update")
                    unrecorded = lambda tree: [e for e in tree if not e.startswith(
                        ".vellicor-update=")]
                    self.assertEqual(unrecorded(read_tree(installation.root)), unrecorded(before))
                    self.assertTrue(os.path.exists(record), "the earlier update's record")
                else:
                    # With the first run's registration (POSIX: its configuration folder).
                    run, box = self.run_failing([installation.code_path, "true"], None if
                                                prog().windows or not killed_at else
                                                {"XDG_CONFIG_HOME": first.config})
                    self.assertTrue(run.lines()[-1].startswith("ERRO " + error), run.lines()[-1])
                    self.check_failure(run, run.lines()[-1][5:], box)
                    left = error == nothing_staged
                    self.assertEqual(read_tree(installation.root), [
                        e for e in before if not (left and e.startswith(".vellicor-update"))])
                    self.assertEqual(bool([c for c in registrations(run.config)
                                           if installation.code_path in c]), not left)
                self.assertEqual(read_tree(outside), ["Vellicor.exe=the user's"])

    def test_each_record_is_on_the_device_before_the_step_it_announces(self):
        """A power cut keeps only what was flushed, so the order of the system calls is the
        proof: the staged version's file system is synced before the record is first written;
        each record's temporary file is flushed, renamed over the record and its folder flushed
        before the first old file is unlinked (deleting) and, once the removals are flushed too,
        before the first staged entry is moved in (moving); the rewritten uninstall log is in
        place the same way before the record leaves its name in a rename that is flushed too,
        and the unlink of its temporary name is flushed at the end. A sync that fails is final:
        with an I/O error on the first one only, nothing is deleted and nothing recorded."""
        if prog().windows:
            self.check_durable_order_under_wine()
            return
        if not shutil.which("strace"):
            self.skipTest("strace over the POSIX build")
        for injected in (False, True):
            with self.subTest(injected=injected):
                self.check_durable_order(injected)

    def check_durable_order_under_wine(self):
        """The same order through Wine's trace of the Windows build's calls: each staged file and
        folder written out through its own handle (Wine has no NtFlushBuffersFileEx, so that each is a
        FlushFileBuffers), then the update folder flushed through its handle, before the
        record's first rename; the root flushed through its handle after the old version's
        removal and before the record's second rename."""
        installation = Installation(self, "Durable")
        staged = sorted(installation.program_path("_/" + os.path.relpath(
            os.path.join(folder, name), installation.path("_")).replace(os.sep, "/"))
            for folder, dirs, files in os.walk(installation.path("_")) for name in dirs + files)
        traced = "kernel32.CreateFileW;kernel32.FlushFileBuffers;kernel32.MoveFileExW"
        subprocess.run(prog().runner + ["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
                                        "RelayInclude", "/d", traced, "/f"],
                       capture_output=True, check=True, timeout=120)
        run = Run(self, [installation.code_path, "true"], env={"VELLICOR_WINEDEBUG": "+relay"})
        self.assertEqual(run.finish(), 0, run.err[-2000:])
        opened, calls, pending = {}, [], {}
        for line in run.err.decode("utf-8", "replace").splitlines():
            call = re.match(r'(\w+):Call KERNEL32\.(\w+)\((.*)\) ret=', line)
            done = re.match(r'(\w+):Ret  KERNEL32\.(\w+)\(.*\) retval=(\w+)', line)
            if call:
                thread, name, args = call.groups()
                paths = [p.replace("\\\\", "\\") for p in re.findall(r'L"((?:[^"\\]|\\.)*)"', args)]
                pending[thread] = (name, paths, args)
            elif done and done.group(1) in pending:
                name, paths, args = pending.pop(done.group(1))
                if name == "CreateFileW" and int(done.group(3), 16) not in (0, 0xFFFFFFFF):
                    opened[done.group(3)] = paths[0]
                elif name == "FlushFileBuffers":
                    calls.append(("flush", opened.get(args, args)))
                elif name == "MoveFileExW":
                    calls.append(("move", paths[1] if len(paths) > 1 else ""))
        record = installation.program_path(".vellicor-update")
        moves = [i for i, (what, path) in enumerate(calls) if what == "move" and path == record]
        self.assertGreaterEqual(len(moves), 2, calls)
        flushed = [path for what, path in calls[:moves[0]] if what == "flush"]
        # Each once (the trace escapes names beyond ASCII: those are counted).
        below = [path for path in flushed if path.startswith(installation.program_path("_\\"))]
        self.assertEqual(len(set(below)), len(staged))
        self.assertEqual(len(below), len(staged))
        ascii = [path for path in staged if path.isascii()]
        self.assertEqual(sorted(set(below) & set(ascii)), ascii)
        self.assertEqual(flushed[-2:], [installation.program_path("_"),
                                        installation.program_path(".vellicor-update.tmp")])
        self.assertIn(installation.program_path(), [path for what, path in
                                                    calls[moves[0]:moves[1]] if what == "flush"])

    def check_durable_order(self, injected):
        installation = Installation(self, "Durable")
        trace = os.path.join(tempfile.mkdtemp(prefix="vellicor-trace-"), "trace")
        self.addCleanup(shutil.rmtree, os.path.dirname(trace), True)
        before = read_tree(installation.root)
        staged = sorted(os.listdir(installation.path("_")))
        code, _, err = prog().run(
            [installation.code_path, "true"],
            # LeakSanitizer (native test build) does not work under ptrace.
            env={"TMPDIR": os.path.dirname(trace), "ASAN_OPTIONS": "detect_leaks=0",
                 "XDG_CONFIG_HOME": os.path.join(os.path.dirname(trace), "config")},
            runner=["strace", "-f", "-qq", "-o", trace, "-e",
                    "trace=openat,fsync,fdatasync,syncfs,rename,renameat,renameat2,unlink,"
                    "unlinkat,rmdir"] + (["-e", "inject=syncfs:error=EIO:when=1"]
                                         if injected else []))
        if injected:
            self.assertEqual(code, 1, err)
            [log] = glob.glob(os.path.join(os.path.dirname(trace), "vellicor-updater-*.log"))
            with open(log) as handle:
                self.assertTrue(handle.read().endswith(
                    " ERRO Could not write " + installation.path("_") +
                    " to the disk: Input/output error\n"))
            self.assertEqual(read_tree(installation.root), before)
            return
        self.assertEqual(code, 0, err)
        calls = []
        # The old version is walked and deleted through open folders: a call relative to a
        # folder's descriptor (openat, unlinkat) is given the path of its entry, as that
        # descriptor's last open named the folder (a number is handed out again after a close).
        folders = {}
        with open(trace) as handle:
            for line in handle:
                found = re.match(r"\d+ +(\w+)\((.*)\) += (-?\d+)", line)
                if found:
                    call, args, result = found.groups()
                    paths = re.findall(r'"([^"]*)"', args)
                    relative = re.match(r'(\d+), "', args)
                    if relative and relative.group(1) in folders:
                        folder = folders[relative.group(1)]
                        paths[0] = folder if paths[0] == "." else folder + "/" + paths[0]
                    if call == "openat" and int(result) >= 0:
                        folders[result] = paths[0]
                    calls.append((call, paths, args, int(result)))

        def first(predicate, start=0):
            return next(i for i in range(start, len(calls)) if predicate(*calls[i]))

        def opened(path, start):
            i = first(lambda call, paths, args, result: call == "openat" and paths == [path] and
                      result >= 0, start)
            return i, calls[i][3]

        def synced(fd, start):
            return first(lambda call, paths, args, result: call in ("fsync", "fdatasync") and
                         args == str(fd) and result == 0, start)

        root = installation.root

        def replaced_durably(temp, target, start):
            """Where `temp` was made, flushed, renamed to `target` and the root flushed."""
            made, fd = opened(temp, start)
            renamed = first(lambda call, paths, args, result: call.startswith("rename") and
                            paths == [temp, target] and result == 0, synced(fd, made))
            folder, fd = opened(root, renamed)
            return synced(fd, folder)

        def unlinked(predicate, start=0):
            return first(lambda call, paths, args, result: call.startswith("unlink") and
                         result == 0 and predicate(paths[-1]), start)

        # The staged version is seen in one pass: each top-level entry opened once (without
        # following a link), nothing below a staged folder opened at all, until the move-in.
        moved_in = first(lambda call, paths, args, result: call.startswith("rename") and
                         paths[0].startswith(installation.path("_") + "/"))
        scanned = [paths[0] for call, paths, args, result in calls[:moved_in]
                   if call == "openat" and "O_NOFOLLOW" in args and
                   paths[0].startswith(installation.path("_") + "/")]
        self.assertEqual(sorted(scanned), [installation.path("_/" + name) for name in staged])
        staged_synced = first(lambda call, paths, args, result: call == "syncfs" and result == 0)
        fd = int(calls[staged_synced][2])
        self.assertEqual(calls[max(i for i in range(staged_synced) if calls[i][0] == "openat" and
                                   calls[i][3] == fd)][1], [installation.path("_")])
        record = installation.path(".vellicor-update")
        self.assertLess(staged_synced, opened(record + ".tmp", 0)[0])
        deleting = replaced_durably(record + ".tmp", record, 0)
        self.assertLess(deleting, unlinked(lambda path: path.startswith(root + "/") and
                                           "/." not in path))
        moving = replaced_durably(record + ".tmp", record, deleting + 1)
        # The old version's removal is on the device before the record says it is gone.
        removed_last = max(i for i in range(moving) if calls[i][0] in ("unlink", "unlinkat",
                                                                        "rmdir") and
                           calls[i][1][-1].startswith(root + "/") and "/." not in calls[i][1][-1])
        root_opened, fd = opened(root, removed_last)
        self.assertLess(synced(fd, root_opened), opened(record + ".tmp", deleting + 1)[0])
        moved_in = first(lambda call, paths, args, result: call.startswith("rename") and
                         paths[0].startswith(installation.path("_") + "/"))
        self.assertLess(moving, moved_in)
        log = installation.path("unins000.dat")
        rewritten = replaced_durably(log + ".tmp", log, moved_in)
        removed = first(lambda call, paths, args, result: call.startswith("rename") and
                        paths == [record, record + ".tmp"] and result == 0, rewritten)
        folder, fd = opened(root, removed)
        synced(fd, folder)
        # Nothing of the record outlives the update: its temporary name's unlink is flushed too.
        folder, fd = opened(root, unlinked(lambda path: path == record + ".tmp", removed))
        synced(fd, folder)

    def test_move_in_that_failed_is_finished_by_the_next_run(self):
        """What stops a staged entry's rename is found before the first delete (Windows: a
        staged file that another program holds open is waited for, and Cancel leaves everything
        as it was); what comes only once the checks have passed stops the move-in: Cancel leaves
        the old version deleted and part of the new one moved in. The same command then
        finishes."""
        installation = Installation(self, "Vellicor")
        # Windows: a staged file, and the kept file that a staged one replaces.
        for held in ("_/Vellicor.exe", "unins000.dat") if prog().windows else ():
            held = installation.program_path(held)
            holder = hold_file(self, "!" + held)
            before = read_tree(installation.root)
            run = Run(self, [installation.code_path, "true"])
            box, _ = wait_for_new_box(None, timeout=180)
            self.assertIn("There was an error while Opening file handle: " + held,
                          box_text(box))
            probe("click", "Vellicor", "Cancel")
            wait_for_new_box(box["hwnd"], timeout=60)
            probe("click", "Vellicor", "OK")
            self.assertEqual(run.finish(), 1)
            self.assertIn("INFO Waiting for %s, which another program holds open (attempt 16)" %
                          held, run.lines())
            self.assertEqual(read_tree(installation.root), before)
            holder.kill()
            holder.wait()
        first, release = stall_update(self, installation, [installation.code_path, "true"])
        if prog().windows:
            # Held by the update from its checks on: nothing can take it in between.
            with self.assertRaisesRegex(AssertionError, "the holder could not open"):
                hold_file(self, "!" + installation.program_path("_/Vellicor.exe"))
            box, _ = wait_for_new_box(None, timeout=180)
            self.assertIn("There was an error while Renaming: unins000.dat", box_text(box))
            probe("click", "Vellicor", "Cancel")
            wait_for_new_box(box["hwnd"], timeout=60)
            probe("click", "Vellicor", "OK")
        self.assertEqual(first.finish(), 1)
        self.assertFalse([e for e in read_tree(installation.root) if e.endswith("=Vellicor 1")])
        release()
        second = Run(self, [installation.code_path, "true"])
        self.assertEqual(second.finish(), 0, second.err)
        self.assertIn("INFO Resuming an interrupted update at moving the new version in",
                      second.lines())
        self.assertEqual(installation.tree_without_log(), installation.expected_after_update())
        if prog().windows:
            self.assertTrue(filecmp.cmp(installation.path("unins000.dat"),
                                        os.path.join(DATA, "staged-rebased.dat"), shallow=False))

    def test_installations_on_other_volumes(self):
        """Volumes whose file numbers do not last. Through FUSE, without a rename that refuses to
        replace: exFAT (exfat-fuse), where a plain update ends as the clean update, and one
        killed while moving in, the volume then mounted again (as after a reboot), is finished
        by the same command; FAT (fusefat, which loses what a renamed folder holds), refused
        with nothing touched. A fresh small volume that hands a freed number out again at once
        (ext2 with 128-byte inodes, which keep no birth time; Wine's drives on ext4, numbered
        by their inodes alone): killed while moving in, then a folder that was moved in made
        anew with the old version's content, refused with nothing touched."""
        if os.geteuid() != 0:
            self.skipTest("volumes of their own need root")
        fuse = os.path.exists("/dev/fuse") and not prog().windows

        def loop_device(image):
            loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True,
                                  text=True)
            if loop.returncode != 0:
                self.skipTest("no loop device: " + loop.stderr.strip())
            self.addCleanup(subprocess.run, ["losetup", "-d", loop.stdout.strip()])
            return loop.stdout.strip()

        def exfat(image, folder):
            subprocess.run(["mkfs.exfat", image], check=True, capture_output=True)
            return ["mount.exfat-fuse", loop_device(image), folder]

        def fat(image, folder):
            subprocess.run(["mkfs.vfat", image], check=True, capture_output=True)
            return ["fusefat", "-o", "rw+", image, folder]

        def fresh(image, folder):
            # Without hashed folders, which list their entries in the order they were made.
            subprocess.run((["mkfs.ext4", "-q", "-F", "-O", "^dir_index"] if prog().windows else
                            ["mkfs.ext2", "-q", "-F", "-I", "128", "-O", "^dir_index"]) +
                           [image], check=True, capture_output=True)
            return ["mount", "-o", "loop", image, folder]

        def ext4(image, folder):
            subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, capture_output=True)
            return ["mount", loop_device(image), folder]

        class Ascii(Installation):  # fusefat takes no other names
            NEW = {name: content for name, content in Installation.NEW.items() if name.isascii()}

        newer = dict(Installation.NEW, **{"Vellicor.exe": "Vellicor 3", "docs/new.txt": "3"})
        cases = [("a fresh small volume, killed while moving in, then a moved-in folder made anew",
                  fresh, "made anew"),
                 ("ext4, killed while moving in, then attached again through another loop "
                  "device (as after a reboot)", ext4, "reattached")]
        if fuse:
            cases += [("exFAT, a plain update", exfat, None),
                      ("exFAT, killed while moving in", exfat, "resumed"),
                      ("exFAT, killed while moving in, then another version staged", exfat,
                       "newer"),
                      ("FAT through fusefat", fat, None)]
        for name, volume_kind, killed in cases:
            with self.subTest(name):
                work = tempfile.mkdtemp(prefix="vellicor-volume-")
                self.addCleanup(shutil.rmtree, work, True)
                image = os.path.join(work, "image")
                volume = os.path.join(wine_prefix(), "drive_c", "VellicorTests", "Volume") \
                    if prog().windows else os.path.join(work, "volume")
                os.makedirs(volume, exist_ok=True)
                subprocess.run(["truncate", "-s", "64M", image], check=True)
                mount_command = volume_kind(image, volume)
                subprocess.run(mount_command, check=True, capture_output=True)
                # Bound now: the next case has a volume of its own.
                self.addCleanup(subprocess.run, ["umount", volume], capture_output=True)
                installation = (Ascii if volume_kind is fat else Installation)(
                    self, "Volume\\Vellicor" if prog().windows else "Vellicor", base=volume)
                if volume_kind is fat:
                    before = read_tree(installation.root)
                    # The check writes nothing, so it cannot try the volume out: it says so.
                    self.assertTrue(self.check_says(installation).endswith(
                        "; the volume's moves are tried out before its first delete"))
                    run, _ = self.run_failing([installation.code_path, "true"])
                    self.assertEqual(read_tree(installation.root), before)
                    self.check_failure(run, "The volume of " + installation.root + " cannot move "
                                       "a folder with what it holds: No such file or directory "
                                       "(os error 2)")
                    continue
                if killed == "reattached":
                    first, release = stall_update(self, installation,
                                                  [installation.code_path, "true"])
                    first.kill_when_logged("INFO Rename: unins000.dat (attempt 2)")
                    release()
                    device = os.stat(installation.root).st_dev
                    subprocess.run(["umount", volume], check=True, capture_output=True)
                    # The first device stays attached: the second one has another number.
                    subprocess.run(["mount", loop_device(image), volume], check=True,
                                   capture_output=True)
                    self.assertNotEqual(os.stat(installation.root).st_dev, device)
                    run = Run(self, [installation.code_path, "true"])
                    self.assertEqual(run.finish(), 0, run.err)
                    self.assertIn("INFO Resuming an interrupted update at moving the new version "
                                  "in", run.lines())
                    self.assertEqual(installation.tree_without_log(),
                                     installation.expected_after_update())
                    continue
                if killed == "made anew":
                    first, release = stall_update(self, installation,
                                                  [installation.code_path, "true"])
                    first.kill_when_logged("INFO Rename: unins000.dat (attempt 2)")
                    release()
                    # Made anew until it has the number docs had, as the next folder made can.
                    number = os.stat(installation.path("docs")).st_ino
                    shutil.rmtree(installation.path("docs"))
                    made = []
                    while not made or os.stat(made[-1]).st_ino != number:
                        self.assertLess(len(made), 1000, "the number was not handed out again")
                        made.append(installation.path("made%d" % len(made)))
                        os.mkdir(made[-1])
                    os.rename(made.pop(), installation.path("docs"))
                    for folder in made:
                        os.rmdir(folder)
                    installation.write("", {k: v for k, v in Installation.OLD.items()
                                            if k.startswith("docs/")})
                    before = read_tree(installation.root)
                    error = "The interrupted update cannot be completed: 1 entry of its new " \
                        "version is replaced, the first " + installation.program_path("docs")
                    self.check_says(installation, error)
                    run, box = self.run_failing([installation.code_path, "true"])
                    self.assertEqual(read_tree(installation.root), before)
                    self.check_failure(run, error, box)
                    continue
                installation.add_top_level(400 if killed else 10)
                if volume_kind is exfat and not killed and shutil.which("strace"):
                    self.check_each_staged_entry_synced(installation)
                    continue
                if killed:
                    first = Run(self, [installation.code_path, "true"])
                    first.kill_when_logged("INFO Rename: ")
                    with open(installation.path(".vellicor-update")) as handle:
                        self.assertIn("moving the new version in", handle.readline())
                    subprocess.run(["umount", volume], check=True, capture_output=True)
                    subprocess.run(mount_command, check=True, capture_output=True)
                    if killed == "newer":
                        # Part of the new version is in place: nothing is touched, by the
                        # traits that identify entries here too.
                        installation.stage(newer)
                        before = read_tree(installation.root)
                        run, box = self.run_failing([installation.code_path, "true"])
                        self.assertEqual(read_tree(installation.root), before)
                        self.assertTrue(run.lines()[-1].startswith(
                            "ERRO The interrupted update cannot be completed: its new version is "
                            "in part in place, and "), run.lines()[-1])
                        continue
                run = Run(self, [installation.code_path, "true"])
                self.assertEqual(run.finish(), 0, run.err)
                self.assertEqual(installation.tree_without_log(),
                                 installation.expected_after_update())
                self.assertEqual("INFO Resuming an interrupted update at moving the new version in"
                                 in run.lines(), killed == "resumed")

    def check_each_staged_entry_synced(self, installation):
        """On FUSE, whose daemon keeps buffers that a sync of the file system does not reach,
        every staged file and folder is opened and fsynced before the record is first written,
        and nothing of another file system mounted inside the update folder; the volume keeps
        no order of its renames, so each staged entry's rename into the root is flushed with
        the root before the next one; then the update ends as a clean one."""
        staged = {installation.path("_")}
        for folder, dirs, files in os.walk(installation.path("_")):
            staged.update(os.path.join(folder, name) for name in dirs + files)
        mount = installation.path("_/locales/mounted")
        os.mkdir(mount)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", mount], check=True)
        for place in (mount, installation.path("locales/mounted")):  # where it ends up
            self.addCleanup(subprocess.run, ["umount", "-l", place], capture_output=True)
        with open(os.path.join(mount, "other.txt"), "w") as handle:
            handle.write("another file system's")
        trace = os.path.join(tempfile.mkdtemp(prefix="vellicor-trace-"), "trace")
        self.addCleanup(shutil.rmtree, os.path.dirname(trace), True)
        top_level = sorted(os.listdir(installation.path("_")))
        run = Run(self, [installation.code_path, "true"], env={"ASAN_OPTIONS": "detect_leaks=0"},
                  wrap=["strace", "-f", "-qq", "-o", trace, "-e",
                        "trace=openat,fsync,close,rename,renameat,renameat2"])
        self.assertEqual(run.finish(), 0, run.err)
        open_paths, synced = {}, set()
        with open(trace) as handle:
            for line in handle:
                found = re.match(r'\d+ +(openat|fsync)\((?:AT_FDCWD|(\d+))(?:, "([^"]*)")?[^)]*\)'
                                 r' += (-?\d+)', line)
                if not found:
                    continue
                call, fd, path, result = found.groups()
                if path is not None:  # strace writes other bytes than ASCII as C escapes
                    path = codecs.escape_decode(path.encode())[0].decode()
                if path is not None and fd is not None:  # an open through an open folder
                    folder = open_paths.get(fd)
                    path = folder and (folder if path == "." else folder + "/" + path)
                if call == "openat" and path == installation.path(".vellicor-update.tmp"):
                    break
                # An entry's identity is read through one open, its file or folder opened again
                # for reading through that open's magic link: the same entry.
                again = re.fullmatch(r"/proc/self/fd/(\d+)", path or "")
                if again and again.group(1) in open_paths:
                    path = open_paths[again.group(1)]
                if call == "openat" and int(result) >= 0:
                    open_paths[result] = path
                elif call == "fsync" and result == "0" and fd in open_paths:
                    synced.add(open_paths[fd])
        self.assertEqual(staged - synced, set())
        self.assertFalse([path for path in open_paths.values() if path and path.startswith(mount)])
        # The moves in and the root's flushes, in order. A descriptor's number is handed out
        # again once it is closed: each stands for what its open, not yet closed, gave.
        opened, moves, pending = {}, [], {}
        with open(trace) as handle:
            for line in handle:
                thread, call = line.rstrip("\n").split(" ", 1)
                call = call.lstrip()
                if call.endswith(" <unfinished ...>"):  # another thread's call came between
                    pending[thread] = call[:-len(" <unfinished ...>")]
                    continue
                resumed = re.match(r"<\.\.\. \w+ resumed>", call)
                if resumed:
                    call = pending.pop(thread, "") + call[resumed.end():]
                found = re.match(r"(\w+)\((.*)\) += (-?\d+)", call)
                if not found:
                    continue
                name, args, result = found.groups()
                paths = [codecs.escape_decode(path.encode())[0].decode()
                         for path in re.findall(r'"([^"]*)"', args)]
                if name == "openat" and int(result) >= 0:
                    opened[result] = paths[0]
                elif name == "close":
                    opened.pop(args, None)
                elif name == "fsync" and result == "0" and opened.get(args) == installation.root:
                    moves.append(None)
                elif name.startswith("rename") and result == "0" and len(paths) == 2 and \
                        paths[0] == installation.path("_/" + os.path.basename(paths[1])) and \
                        paths[1] == installation.path(os.path.basename(paths[1])):
                    moves.append(os.path.basename(paths[1]))
        renamed = [i for i, moved in enumerate(moves) if moved is not None]
        self.assertEqual(sorted(moves[i] for i in renamed), top_level)
        self.assertEqual([moves[i + 1:i + 2] for i in renamed], [[None]] * len(renamed), moves)
        subprocess.run(["umount", installation.path("locales/mounted")], check=True)
        self.assertEqual(installation.tree_without_log(),
                         sorted(installation.expected_after_update() + ["locales/mounted/"]))

    def test_files_deeper_than_260_characters_are_replaced(self):
        """A path of more than 300 characters: the Windows build hands the system its verbatim
        form (Wine would take the short form too) and logs the ordinary one."""
        installation = Installation(self, "LongPaths")
        deep = "/".join(["folder-%d-" % i + "x" * 50 for i in range(5)]) + "/page.html"
        for tree, content in (("", "old"), ("_/", "new")):
            path = installation.path(tree + "resources/" + deep)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(content)
        long_path = installation.program_path("resources/" + deep)
        self.assertGreater(len(long_path), 300)
        run = Run(self, [installation.code_path, "false"])
        self.assertEqual(run.finish(), 0, run.err)
        expected = installation.expected_after_update()
        expected += ["resources/" + "/".join(deep.split("/")[:i]) + "/"
                     for i in range(1, deep.count("/") + 1)]
        expected.append("resources/" + deep + "=new")
        self.assertEqual(installation.tree_without_log(), sorted(expected))
        self.assertIn("INFO Get file handle: " + long_path + " (attempt 1)", run.lines())

    def test_relaunch_starts_the_new_version_only_after_a_success(self):
        """With --relaunch the new executable runs from the root once the update succeeded;
        without it, or after a failure, nothing starts; one that cannot start is a warning."""
        cases = [  # (name, arguments, staged executable, exit code, relaunched)
            ("asked", ["--relaunch"], "program", 0, True),
            ("not asked", [], "program", 0, False),
            ("asked, the update fails", ["--relaunch"], None, 1, False),
            ("asked, the new version cannot start", ["--relaunch"], "text", 0, False),
            # Nobody watches a run at logon: it starts nothing that other users could write.
            ("asked, finished at logon in a folder that another group may write",
             ["--relaunch"], "program", 0, False),
        ]
        for name, options, staged, code, relaunched in cases:
            with self.subTest(name):
                installation = Installation(self, "Relaunch")
                exe = installation.path("_/Vellicor.exe")
                if staged == "program":
                    shutil.copy(prog().sleeper, exe)
                elif staged is None:
                    os.remove(exe)
                if "at logon" in name:
                    run = self.finish_at_logon_writable_by_group(installation, options)
                else:
                    run = Run(self, options[:1] + [installation.code_path, "true"] + options[1:])
                    if prog().windows and code == 1:
                        self.answer_failure_box(run)
                    self.assertEqual(run.finish(), code, run.err)
                marker = installation.path("relaunched")
                deadline = time.monotonic() + (20 if relaunched else 1)
                while not os.path.exists(marker) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(os.path.exists(marker), relaunched)
                lines = run.lines()
                if relaunched:
                    time.sleep(0.2)  # written by now
                    with open(marker) as handle:
                        self.assertEqual(os.path.normcase(handle.read()),
                                         os.path.normcase(installation.program_path()))
                    self.assertEqual(lines[-2], "INFO Update was successful!")
                    self.assertRegex(lines[-1], r"\AINFO Relaunched %s, pid \d+\Z" %
                                     re.escape(installation.code_path))
                elif "at logon" in name:
                    self.assertEqual(lines[-1], "INFO Not relaunching " + installation.code_path +
                                     " at logon: others could replace it: " + installation.root +
                                     " may be written by others")
                elif code == 0 and options:
                    self.assertTrue(lines[-1].startswith(
                        "WARN Failed to relaunch " + installation.code_path + ": "), lines[-1])
                else:
                    self.assertFalse(any(line.startswith(("INFO Relaunched", "WARN Failed to "
                                                          "relaunch")) for line in lines))

    def finish_at_logon_writable_by_group(self, installation, options):
        """An update with `options` is cut short while moving in; the installation folder is
        made writable by a group of other users; the command registered for the next logon
        runs. Gives that run, finished (POSIX)."""
        if prog().windows or os.geteuid() != 0:
            self.skipTest("a folder of another group's (POSIX, as root)")
        first, release = stall_update(self, installation,
                                      options + [installation.code_path, "true"])
        first.kill_when_logged("INFO Rename: unins000.dat (attempt 2)")
        release()
        [command] = [c for c in registrations(first.config) if installation.code_path in c]
        os.chown(installation.root, 0, 100)
        os.chmod(installation.root, 0o775)
        sizes = {path: os.path.getsize(path) for path in first.logs()}
        env = dict(os.environ, TMPDIR=first.tmp, XDG_CONFIG_HOME=first.config)
        at_logon = run_to_files(exec_arguments(command), env=env)
        self.assertEqual(at_logon.wait(timeout=120), 0, at_logon.output())
        # Its records: in the newest log, after what the first run wrote there.
        first.sizes_before = sizes
        first.log_file = max(first.logs(), key=os.path.getmtime)
        self.assertIn("INFO Update was successful!", first.lines())
        return first

    def test_progress_window_is_up_during_the_update_and_gone_after(self):
        if not prog().windows:
            self.skipTest("the progress window of the Windows build")
        installation = Installation(self, "Progress")
        # Another program holds a file open: the update keeps retrying to open it meanwhile.
        holder = hold_file(self, installation.program_path("resources/app.asar"))
        run = Run(self, [installation.code_path, "false"])
        window = find("Zephrane", 30000)
        self.assertIsNotNone(window, "the progress window did not come up")
        self.assertTrue(window["visible"])
        self.assertIsNone(run.process.poll())
        run.wait_for("INFO Get file handle: " + installation.program_path("resources/app.asar") +
                     " (attempt 2)")
        self.assertTrue(find("Zephrane", 0)["visible"])
        holder.kill()  # the file is free: the next attempt goes through
        self.assertEqual(run.finish(), 0, run.err)
        self.assertIsNone(find("Zephrane", 0), "the progress window is gone")


if __name__ == "__main__":
    program.main()
