"""The demonstration modes of the real executable: the progress window, the failure box and the
retry prompt, read and answered the way a user would.

Windows: the program runs under Wine on the test display; window_probe finds its windows, reads
their texts and presses their buttons. POSIX: the program runs on a pseudo-terminal, where the
progress window is a spinner and the boxes are texts answered on the terminal, and without a
terminal, where the boxes are texts on standard error that answer nothing.
"""

import glob
import os
import re
import tempfile
import time
import unittest

import program
from ui import (FAILURE_PATTERN, FAILURE_TEXT, Terminal, buttons,
                check_error_box, check_progress_window, find, posix_box, probe, run_to_files,
                wait_for_new_box)

RETRY_TEXT = ("There was an error while simulating a failed retry operation:\n\n"
              "[[Simulated error message]]\n\n"
              "Please verify there are no Vellicor processes still executing.")
# The four waits of a series of five attempts: 50 + 200 + 450 + 800 ms.
SERIES_WAIT = 1.5

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
        check_progress_window(self, window)

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
        check_error_box(self, window, FAILURE_TEXT, ["OK"])
        self.assertIsNone(find("Zephrane", 0), "no progress window in this mode")
        self.assertIsNone(process.poll(), "the program must wait for the box")
        probe("click", "Vellicor", "OK")
        self.finish(process)

    def test_retry_simulation_answered_retry_then_cancel(self):
        process = self.start("--retry-simulation")
        progress = find("Zephrane")
        progress_seen = time.monotonic()
        self.assertIsNotNone(progress, "the progress window did not come up")
        check_progress_window(self, progress)

        first, first_seen = wait_for_new_box(None)
        self.assertGreater(first_seen - progress_seen, 1.0)
        check_error_box(self, first, RETRY_TEXT, ["Cancel", "Retry"])
        self.assertIsNotNone(find("Zephrane", 0), "the progress window stays up")

        probe("click", "Vellicor", "Retry")
        answered = time.monotonic()
        second, second_seen = wait_for_new_box(first["hwnd"])
        # A new series of five attempts, with all four of its waits, before the box comes back.
        self.assertGreaterEqual(second_seen - answered, SERIES_WAIT - 0.05)
        check_error_box(self, second, RETRY_TEXT, ["Cancel", "Retry"])

        probe("click", "Vellicor", "Cancel")
        failure, _ = wait_for_new_box(second["hwnd"])
        check_error_box(self, failure, FAILURE_TEXT, ["OK"])
        self.assertIsNotNone(find("Zephrane", 0), "the progress window stays up")
        self.assertIsNone(process.poll())

        probe("click", "Vellicor", "OK")
        self.finish(process)
        self.assertIsNone(find("Zephrane", 0))


# ---------------------------------------------------------------------------------------------
# POSIX, on a pseudo-terminal and without one


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
    program.main()
