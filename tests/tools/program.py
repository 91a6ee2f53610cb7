"""Runs the built updater (natively or under Wine) for whole-program tests."""

import argparse
import atexit
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest


class Program:
    """The executable under test and how to start it."""

    def __init__(self, exe, runner, platform, probe=None, sleeper=None, sleeper64=None,
                 version=None):
        self.exe = exe
        self.version = version  # the project version the program was built with
        self.probe = probe      # window_probe.exe (Windows build)
        self.sleeper = sleeper  # the sleeper test program
        self.sleeper64 = sleeper64 or sleeper  # the same built for 64-bit Windows
        self.runner = shlex.split(runner) if runner else []
        self.platform = platform

    @property
    def windows(self):
        return self.platform == "win32"

    def command(self, args, runner=None):
        return (self.runner if runner is None else runner) + [self.exe] + list(args)

    def run(self, args, timeout=120, env=None, runner=None, **kwargs):
        """Runs the program to its end (under `runner` in place of the usual one); gives (exit
        code, stdout, stderr) as bytes."""
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        done = subprocess.run(self.command(args, runner), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout, env=full_env, **kwargs)
        return done.returncode, done.stdout, done.stderr

    def start(self, args, env=None, **kwargs):
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        return subprocess.Popen(self.command(args), env=full_env, **kwargs)


def kill_processes_with(*marks, environment=None):
    """SIGKILL to every process whose command line holds all of `marks` (bytes), and whose
    environment holds the variable `environment` ("NAME=value", bytes) where one is given: under
    Wine the process that runs a Windows program, whose end the server then tells the system
    of."""
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                line = handle.read()
            if not all(mark in line for mark in marks):
                continue
            if environment is not None:
                with open("/proc/%s/environ" % pid, "rb") as handle:
                    if environment not in handle.read().split(b"\0"):
                        continue
            os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError):
            pass


def writable_by_others(path):
    """Whether a user but this one and root could change the file or a folder above it: the
    updater's rule for what it registers at logon (access control lists aside)."""
    path = os.path.abspath(path)
    while True:
        info = os.lstat(path)
        if info.st_uid not in (0, os.geteuid()) or info.st_mode & 0o002 or \
                (info.st_mode & 0o020 and info.st_gid != 0):
            return True
        if os.path.dirname(path) == path:
            return False
        path = os.path.dirname(path)


PRIVATE = []


def private_folder():
    """A folder of this process's own where only its user (and root) may write, made once and
    removed at exit: in the home folder, or else nothing."""
    if not PRIVATE:
        home = os.path.expanduser("~")
        if os.path.isdir(home) and not writable_by_others(home):
            PRIVATE.append(tempfile.mkdtemp(prefix=".vellicor-tests-", dir=home))
            atexit.register(shutil.rmtree, PRIVATE[0], True)
        else:
            PRIVATE.append(None)
    return PRIVATE[0]


PROGRAM = None


def main():
    """Parses the runner's options, then runs the unittest cases of the calling module."""
    global PROGRAM
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--platform", required=True, choices=["win32", "posix"])
    parser.add_argument("--probe")
    parser.add_argument("--sleeper")
    parser.add_argument("--sleeper64")
    parser.add_argument("--project-version")
    options, rest = parser.parse_known_args()
    PROGRAM = Program(options.exe, options.runner, options.platform, options.probe,
                      options.sleeper, options.sleeper64, options.project_version)
    # The updater registers nothing at logon where others could replace it (a clone below
    # /tmp): the tests run a copy that lies where only this user can write, where there is one.
    if not PROGRAM.windows and writable_by_others(PROGRAM.exe) and private_folder():
        PROGRAM.exe = shutil.copy(PROGRAM.exe, private_folder())
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def program():
    return PROGRAM
