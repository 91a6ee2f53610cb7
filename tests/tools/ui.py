"""Reading and answering the updater's windows in whole-program tests.

Windows: window_probe (a Win32 helper run under Wine) finds top-level windows by caption, reads
their texts and presses their buttons. POSIX: the program runs on a pseudo-terminal, where the
progress window is a spinner and a box is text on standard error answered on the terminal.
"""

import json
import os
import pty
import re
import select
import subprocess
import tempfile
import termios
import time

import program

FAILURE_ADVICE = (
    "Failed to install Vellicor update.\n\n"
    "Updates may fail due to anti-virus software and/or runaway processes. Please try "
    "restarting your machine before attempting to update again.\n\n"
    "If update fails repeatedly, please attach the following log file to a new issue on "
    "GitHub:\n\n")
# The box ends with the bare log file name: no folder, nothing after it.
FAILURE_PATTERN = re.escape(FAILURE_ADVICE) + r"vellicor-updater-\d+\.log"
FAILURE_TEXT = re.compile(FAILURE_PATTERN + r"\Z")

WS_SYSMENU = 0x00080000
WS_EX_TOPMOST = 0x00000008
PBS_MARQUEE = 0x08
SS_ICON = 0x03


def failure_text(log_path):
    """The failure box's text for a log path: four paragraphs, the path last and alone."""
    return FAILURE_ADVICE + log_path


def run_to_files(command, **kwargs):
    """Starts a Windows program with its output going to files, not pipes. The first program
    that needs Wine's desktop starts explorer.exe, which inherits the program's standard
    handles: a pipe would stay open, and a reader wait, until the desktop is idle."""
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               **kwargs)

    def output():
        """Both outputs, once the program has ended; closes their files."""
        texts = []
        for f in (out, err):
            f.seek(0)
            texts.append(f.read())
            f.close()
        return tuple(texts)

    process.output = output
    return process


def probe(*args, check=True):
    """Runs window_probe; gives its JSON answer, or None when it found nothing."""
    process = run_to_files(program.program().runner + [program.program().probe] +
                           [str(a) for a in args])
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



def check_progress_window(test, window):
    test.assertEqual(window["class"], "#32770")
    test.assertTrue(window["visible"])
    test.assertFalse(window["style"] & WS_SYSMENU, "it must have no close button")
    test.assertTrue(window["exstyle"] & WS_EX_TOPMOST)
    children = {c["class"]: c for c in window["children"]}
    test.assertEqual(children["Static"]["text"], "Updating Vellicor...")
    bar = children["msctls_progress32"]
    test.assertEqual(bar["id"], 10001)
    test.assertTrue(bar["style"] & PBS_MARQUEE)
    # Centred by the desktop's right and bottom edges, halves truncated toward zero.
    screen = probe("screen")
    left, top, right, bottom = window["rect"]
    width, height = right - left, bottom - top
    desktop_right, desktop_bottom = screen["desktop"][2], screen["desktop"][3]
    test.assertEqual((left, top), (int(desktop_right / 2) - int(width / 2),
                                   int(desktop_bottom / 2) - int(height / 2)))

def check_error_box(test, window, text, expected_buttons):
    test.assertTrue(window["visible"])
    test.assertTrue(window["exstyle"] & WS_EX_TOPMOST, "the box is system-modal")
    icons = [c for c in window["children"]
             if c["class"] == "Static" and c["style"] & 0x1F == SS_ICON]
    test.assertEqual(len(icons), 1, "the box shows the error icon")
    if isinstance(text, str):
        test.assertEqual(box_text(window), text)
    else:
        test.assertRegex(box_text(window), text)
    test.assertEqual(buttons(window), expected_buttons)


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
