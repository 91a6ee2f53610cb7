"""The command line of the real executable: modes, version, bad usage, exit codes."""

import unittest

import program



def version_line():
    """The version line of the project version the program was built with."""
    return ("Vellicor Update v%s\n" % program.program().version).encode()


def bad_usage():
    return version_line() + b"Error: Bad usage\n"


class CommandLineTest(unittest.TestCase):
    def run_program(self, *args):
        return program.program().run(list(args))

    def test_version_goes_to_standard_error(self):
        for option in ("-v", "--version"):
            with self.subTest(option=option):
                self.assertEqual(self.run_program(option), (0, b"", version_line()))

    def test_bad_usage(self):
        cases = [
            (),
            ("x",),
            ("--parse",),        # the filter removes it; nothing is left
            ("--VERSION",),
            ("-V",),
            ("a", "--gui"),      # count 3 without an option: positional, one argument left
            ("--gui", "--gui", "x"),
            ("--retry-simulation", "a"),
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_program(*args), (1, b"", bad_usage()))

    def test_non_ascii_arguments_reach_the_program_intact(self):
        # "Überblick" with a lone positional argument is still bad usage, not a decode failure.
        self.assertEqual(self.run_program("\u00dcberblick"), (1, b"", bad_usage()))

    def test_argument_that_is_not_unicode_is_refused(self):
        if program.program().windows:
            self.skipTest("the Windows command line is UTF-16 and cannot carry such bytes")
        code, out, err = program.program().run([b"\xff\xfe"])
        self.assertEqual(code, 1)
        self.assertEqual(out, b"")
        self.assertEqual(
            err, b"Error: an argument on the command line is not valid Unicode text\n")


if __name__ == "__main__":
    program.main()
