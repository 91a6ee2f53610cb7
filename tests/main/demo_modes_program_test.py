"""The demonstration modes of the real executable: the progress window, the failure box and the
retry prompt, read and answered the way a user would.

Windows: the program runs under Wine on the test display; window_probe finds its windows, reads
their texts and presses their buttons. POSIX: the program runs on a pseudo-terminal, where the
progress window is a spinner and the boxes are texts answered on the terminal, and without a
terminal, where the boxes are texts on standard error that answer nothing.
"""

import glob
import json
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import program

PROBE = None

FAILURE_ADVICE = (
    "Failed to install Vellicor update.\n\n"
    "Updates may fail due to anti-virus software and/or runaway processes. Please try "
    "restarting your machine before attempting to update again.\n\n"
    "If update fails repeatedly, please attach the following log file to a new issue on "
    "GitHub:\n\n")
# The box ends with the bare log file name: no folder, nothing after it.
FAILURE_PATTERN = re.escape(FAILURE_ADVICE) + r"vellicor-updater-\d+\.log"
FAILURE_TEXT = re.compile(FAILURE_PATTERN + r"\Z")
RETRY_TEXT = ("There was an error while simulating a failed retry operation:\n\n"
              "[[Simulated error message]]\n\n"
              "Please verify there are no Vellicor processes still executing.")
# The four waits of a series of five attempts: 50 + 200 + 450 + 800 ms.
SERIES_WAIT = 1.5

WS_SYSMENU = 0x00080000
WS_EX_TOPMOST = 0x00000008
PBS_MARQUEE = 0x08
SS_ICON = 0x03
WM_KEYDOWN, WM_SYSCOMMAND, WM_CLOSE = 0x0100, 0x0112, 0x0010
VK_ESCAPE, VK_RETURN, SC_CLOSE = 0x1B, 0x0D, 0xF060


class Scratch:
    """An empty working folder and temporary folder for one run; both must stay empty."""

    def __init__(self, test):
        self.cwd = tempfile.TemporaryDirectory(prefix="vellicor-demo-cwd-")
        self.tmp = tempfile.TemporaryDirectory(prefix="vellicor-demo-tmp-")
        test.addCleanup(self.cwd.cleanup)
        test.addCleanup(self.tmp.cleanup)
        self.wine_logs_before = set(self.wine_logs())

    def env(self):
        return {"TMPDIR": self.tmp.name}

    @staticmethod
    def wine_logs():
        if not program.program().windows:
            return []
        runner = program.program().runner
        prefix = os.environ.get("VELLICOR_WINEPREFIX",
                                os.path.join(os.path.dirname(runner[0]), "wineprefix"))
        found = []
        for temp in ("drive_c/users/*/Temp", "drive_c/users/*/AppData/Local/Temp",
                     "drive_c/windows/temp"):
            found += glob.glob(os.path.join(prefix, temp, "vellicor-updater-*"))
        return found

    def assert_nothing_written(self, test):
        test.assertEqual(os.listdir(self.cwd.name), [])
        test.assertEqual(os.listdir(self.tmp.name), [])
        test.assertEqual(set(self.wine_logs()) - self.wine_logs_before, set())


# ---------------------------------------------------------------------------------------------
# Windows, under Wine


def run_to_files(command, **kwargs):
    """Starts a Windows program with its output going to files, not pipes. The first program
    that needs Wine's desktop starts explorer.exe, which inherits the program's standard
    handles: a pipe would stay open, and a reader wait, until the desktop is idle."""
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               **kwargs)

    def output():
        for f in (out, err):
            f.seek(0)
        return out.read(), err.read()

    process.output = output
    return process


def probe(*args, check=True):
    """Runs window_probe; gives its JSON answer, or None when it found nothing."""
    process = run_to_files(program.program().runner + [PROBE] + [str(a) for a in args])
    code = process.wait(timeout=120)
    out, err = process.output()
    if code == 1 and not check:
        return None
    if code != 0:
        raise AssertionError(f"window_probe {args} failed: {code} {err!r}")
    return json.loads(out) if out.strip() else None


def find(caption, timeout_ms=30000):
    return probe("find", caption, timeout_ms, check=False)


def box_text(window):
    texts = [c["text"] for c in window["children"] if c["class"] == "Static" and c["text"]]
    return texts[0] if len(texts) == 1 else texts


def buttons(window):
    return sorted(c["text"].replace("&", "") for c in window["children"]
                  if c["class"] == "Button")


def wait_for_new_box(previous_hwnd, timeout=30):
    """The next "Vellicor" box whose window is not the one already answered."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        window = find("Vellicor", 2000)
        if window and window["hwnd"] != previous_hwnd:
            return window, time.monotonic()
        time.sleep(0.02)
    raise AssertionError("no new box came up")


class WindowsDemoModesTest(unittest.TestCase):
    def setUp(self):
        if not program.program().windows:
            self.skipTest("the Windows build")

    def start(self, *args):
        self.scratch = Scratch(self)
        process = run_to_files(program.program().command(list(args)), cwd=self.scratch.cwd.name)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def finish(self, process):
        code = process.wait(timeout=60)
        self.assertEqual((code,) + process.output(), (0, b"", b""))
        self.scratch.assert_nothing_written(self)

    def check_progress_window(self, window):
        self.assertEqual(window["class"], "#32770")
        self.assertTrue(window["visible"])
        self.assertFalse(window["style"] & WS_SYSMENU, "it must have no close button")
        self.assertTrue(window["exstyle"] & WS_EX_TOPMOST)
        children = {c["class"]: c for c in window["children"]}
        self.assertEqual(children["Static"]["text"], "Updating Vellicor...")
        bar = children["msctls_progress32"]
        self.assertEqual(bar["id"], 10001)
        self.assertTrue(bar["style"] & PBS_MARQUEE)
        # Centred by the desktop's right and bottom edges, halves truncated toward zero.
        screen = probe("screen")
        left, top, right, bottom = window["rect"]
        width, height = right - left, bottom - top
        desktop_right, desktop_bottom = screen["desktop"][2], screen["desktop"][3]
        self.assertEqual((left, top), (int(desktop_right / 2) - int(width / 2),
                                       int(desktop_bottom / 2) - int(height / 2)))

    def check_error_box(self, window, text, expected_buttons):
        self.assertTrue(window["visible"])
        self.assertTrue(window["exstyle"] & WS_EX_TOPMOST, "the box is system-modal")
        icons = [c for c in window["children"]
                 if c["class"] == "Static" and c["style"] & 0x1F == SS_ICON]
        self.assertEqual(len(icons), 1, "the box shows the error icon")
        if isinstance(text, str):
            self.assertEqual(box_text(window), text)
        else:
            self.assertRegex(box_text(window), text)
        self.assertEqual(buttons(window), expected_buttons)

    def test_gui_shows_the_progress_window_for_five_seconds(self):
        process = self.start("--gui")
        window = find("Zephrane")
        shown = time.monotonic()
        self.assertIsNotNone(window, "the progress window did not come up")
        # Escape, Enter, Alt+F4 and the close message do not end it.
        for message, wparam in ((WM_KEYDOWN, VK_ESCAPE), (WM_KEYDOWN, VK_RETURN),
                                (WM_SYSCOMMAND, SC_CLOSE), (WM_CLOSE, 0)):
            probe("post", "Zephrane", message, wparam, 0)
        time.sleep(1)
        self.assertIsNotNone(find("Zephrane", 0), "the window closed on a key or close")
        self.check_progress_window(window)

        probe("gone", "Zephrane", 30000)
        gone = time.monotonic()
        self.assertGreater(gone - shown, 4.0)
        self.assertLess(gone - shown, 20.0)
        self.finish(process)
        self.assertIsNone(find("Zephrane", 0))

    def test_error_shows_the_failure_box_with_the_bare_log_name(self):
        process = self.start("--error", "x")
        window = find("Vellicor")
        self.assertIsNotNone(window, "the failure box did not come up")
        self.check_error_box(window, FAILURE_TEXT, ["OK"])
        self.assertIsNone(find("Zephrane", 0), "no progress window in this mode")
        self.assertIsNone(process.poll(), "the program must wait for the box")
        probe("click", "Vellicor", "OK")
        self.finish(process)

    def test_retry_simulation_answered_retry_then_cancel(self):
        process = self.start("--retry-simulation")
        progress = find("Zephrane")
        progress_seen = time.monotonic()
        self.assertIsNotNone(progress, "the progress window did not come up")
        self.check_progress_window(progress)

        first, first_seen = wait_for_new_box(None)
        self.assertGreater(first_seen - progress_seen, 1.0)
        self.check_error_box(first, RETRY_TEXT, ["Cancel", "Retry"])
        self.assertIsNotNone(find("Zephrane", 0), "the progress window stays up")

        probe("click", "Vellicor", "Retry")
        answered = time.monotonic()
        second, second_seen = wait_for_new_box(first["hwnd"])
        # A new series of five attempts, with all four of its waits, before the box comes back.
        self.assertGreaterEqual(second_seen - answered, SERIES_WAIT - 0.05)
        self.check_error_box(second, RETRY_TEXT, ["Cancel", "Retry"])

        probe("click", "Vellicor", "Cancel")
        failure, _ = wait_for_new_box(second["hwnd"])
        self.check_error_box(failure, FAILURE_TEXT, ["OK"])
        self.assertIsNotNone(find("Zephrane", 0), "the progress window stays up")
        self.assertIsNone(process.poll())

        probe("click", "Vellicor", "OK")
        self.finish(process)
        self.assertIsNone(find("Zephrane", 0))


# ---------------------------------------------------------------------------------------------
# POSIX, on a pseudo-terminal and without one


def posix_box(text):
    return "Vellicor\n\n" + text + "\n"


class Terminal:
    """The program started on a new pseudo-terminal that is its controlling terminal."""

    def __init__(self, args, cwd, env):
        command = program.program().command(args)
        full_env = dict(os.environ)
        full_env.update(env)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                # Bytes arrive as written (no CR added) and typed answers are not echoed.
                attrs = termios.tcgetattr(0)
                attrs[1] &= ~termios.OPOST
                attrs[3] &= ~termios.ECHO
                termios.tcsetattr(0, termios.TCSANOW, attrs)
                os.chdir(cwd)
                os.execve(command[0], command, full_env)
            finally:
                os._exit(127)
        self.output = b""
        self.started = time.monotonic()

    def read_until(self, marker, timeout=30):
        """Reads until marker has appeared after what was read before; gives the new text."""
        start = len(self.output)
        deadline = time.monotonic() + timeout
        while self.output.find(marker, start) < 0:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self._read(remaining):
                raise AssertionError(f"{marker!r} did not appear; got {self.output[start:]!r}")
        return self.output[start:].decode("utf-8")

    def _read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:  # EIO: the program has ended and closed the terminal
            return False
        self.output += data
        return bool(data)

    def type(self, text):
        os.write(self.fd, text.encode())

    def finish(self, timeout=30):
        """Reads to the end and gives the exit code."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self._read(deadline - time.monotonic()):
            pass
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


class PosixDemoModesTest(unittest.TestCase):
    def setUp(self):
        if program.program().windows:
            self.skipTest("the POSIX build")

    def run_without_terminal(self, *args):
        """A new session without a controlling terminal: the boxes can ask nobody."""
        scratch = Scratch(self)
        started = time.monotonic()
        code, out, err = program.program().run(list(args), cwd=scratch.cwd.name,
                                                env=scratch.env(), start_new_session=True)
        elapsed = time.monotonic() - started
        scratch.assert_nothing_written(self)
        return code, out, err.decode("utf-8"), elapsed

    def on_terminal(self, *args):
        self.scratch = Scratch(self)
        terminal = Terminal(list(args), self.scratch.cwd.name, self.scratch.env())
        self.addCleanup(lambda: self.scratch.assert_nothing_written(self))
        return terminal

    def test_error_without_terminal_prints_the_box_and_ends(self):
        code, out, err, _ = self.run_without_terminal("--error", "x")
        self.assertEqual((code, out), (0, b""))
        self.assertRegex(err, r"\AVellicor\n\n" + FAILURE_PATTERN + r"\n\Z")

    def test_retry_simulation_without_terminal_gives_up_after_one_series(self):
        code, out, err, elapsed = self.run_without_terminal("--retry-simulation")
        self.assertEqual((code, out), (0, b""))
        # No spinner on a standard error that is no terminal.
        self.assertTrue(err.startswith(posix_box(RETRY_TEXT)), err)
        self.assertRegex(err[len(posix_box(RETRY_TEXT)):],
                         r"\AVellicor\n\n" + FAILURE_PATTERN + r"\n\Z")
        self.assertGreaterEqual(elapsed, SERIES_WAIT)

    def test_gui_without_terminal_is_silent_for_five_seconds(self):
        code, out, err, elapsed = self.run_without_terminal("--gui")
        self.assertEqual((code, out, err), (0, b"", ""))
        self.assertGreaterEqual(elapsed, 5.0)

    def test_gui_on_terminal_spins_for_five_seconds(self):
        terminal = self.on_terminal("--gui")
        code = terminal.finish()
        elapsed = time.monotonic() - terminal.started
        self.assertEqual(code, 0)
        self.assertGreaterEqual(elapsed, 5.0)
        frames = re.findall(rb"\r([|/\\-]) Updating Vellicor\.\.\.", terminal.output)
        self.assertGreater(len(frames), 10)
        self.assertEqual(set(frames), {b"|", b"/", b"-", b"\\"})

    def test_error_on_terminal_waits_for_the_user(self):
        terminal = self.on_terminal("--error", "x")
        shown = terminal.read_until(b"Press Enter to close. ")
        self.assertRegex(shown, r"\AVellicor\n\n" + FAILURE_PATTERN +
                         r"\nPress Enter to close. \Z")
        time.sleep(0.2)
        self.assertEqual(os.waitpid(terminal.pid, os.WNOHANG), (0, 0), "it must wait")
        terminal.type("\n")
        self.assertEqual(terminal.finish(), 0)

    def test_retry_simulation_on_terminal_answered_retry_then_cancel(self):
        terminal = self.on_terminal("--retry-simulation")
        prompt = b"[R]etry or [C]ancel? "
        first = terminal.read_until(prompt)
        # The spinner ran during the waits and is wiped before the box is printed.
        self.assertIn("Updating Vellicor...", first)
        self.assertTrue(first.endswith("\r\x1b[K" + posix_box(RETRY_TEXT) + prompt.decode()),
                        repr(first))
        self.assertGreaterEqual(time.monotonic() - terminal.started, SERIES_WAIT)

        terminal.type("maybe\n")  # not an answer: asked again
        self.assertEqual(terminal.read_until(prompt), prompt.decode())
        terminal.type("r\n")
        answered = time.monotonic()
        second = terminal.read_until(prompt)
        self.assertGreaterEqual(time.monotonic() - answered, SERIES_WAIT - 0.05)
        self.assertTrue(second.endswith(posix_box(RETRY_TEXT) + prompt.decode()), repr(second))

        terminal.type("Cancel\n")
        failure = terminal.read_until(b"Press Enter to close. ")
        self.assertRegex(failure, r"Vellicor\n\n" + FAILURE_PATTERN +
                         r"\nPress Enter to close. \Z")
        self.assertNotIn(prompt.decode(), failure)
        terminal.type("\n")
        self.assertEqual(terminal.finish(), 0)


if __name__ == "__main__":
    if "--probe" in sys.argv:
        at = sys.argv.index("--probe")
        PROBE = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    program.main()
