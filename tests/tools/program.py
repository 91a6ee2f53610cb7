"""Runs the built updater (natively or under Wine) for whole-program tests."""

import argparse
import os
import shlex
import signal
import subprocess
import sys
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


def kill_processes_with(*marks):
    """SIGKILL to every process whose command line holds all of `marks` (bytes): under Wine the
    process that runs a Windows program, whose end the server then tells the system of."""
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                line = handle.read()
            if all(mark in line for mark in marks):
                os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError):
            pass


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
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def program():
    return PROGRAM
