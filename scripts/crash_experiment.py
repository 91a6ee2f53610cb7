#!/usr/bin/python3
"""Crash-and-rerun experiment for the native updater.

Builds an installation of a few thousand files with a new version staged in "_", runs clean
updates on copies of it to learn what a finished update leaves behind, then, trial after trial,
starts the updater on a fresh copy, kills it with SIGKILL part-way through replacing the files,
runs it again with the same arguments on the same folder and compares the installation with the
clean result: every path, its kind and its bytes (the uninstall log included).

Kill moments come from two samplers, used in turn:
- timed: a random delay after the log shows "move_update: ", within the time a clean update
  took from there to its end (each trial draws from a slice of that window of its own);
- step (x86-64 Linux): the updater runs under ptrace and is killed right before a chosen system
  call: the n-th unlink (closing), rmdir (removing directories) or rename (moving), or the n-th
  call after the last move (removing the update folder, patching, after). Files change only
  through system calls, so this reaches phases of a few microseconds that a timer never hits.

Each trial is classified by the phase the kill hit, the rerun's exit code and whether the rerun
gave the clean result; for every trial that it did not, what is lost or wrong is listed. For
timed kills the phase is the one of the last line the killed run logged, or a later one when the
folder shows that the update had got further (the log drops lines while its queue is full, and
lines still queued die with the process). Exit status 0 when every rerun gave the clean result,
else 1.

Python 3 standard library only. Usage:
    scripts/crash_experiment.py [--exe build/native/vellicor-updater] [--trials 40] [--seed N]
        [--sampler mixed|timed|step] [--verbose] [--keep]
"""

import argparse
import collections
import ctypes
import glob
import hashlib
import os
import platform
import random
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGS = os.path.join(REPO, "tests", "data", "uninstall-logs")
# The folder the installer wrote the sample uninstall logs for.
SAMPLE_ROOT = "C:\\Apps\\Vellicor"

# Phases in the order the update passes through them, each with the log messages that open it.
PHASES = [
    ("checking", ("move_update: ",)),
    ("collecting", ("Reading directory: ", "Get file handle: ")),
    ("marking", ("Collected all directories and file handles",)),
    ("closing", ("All file handles marked for deletion",)),
    ("removing directories", ("All files deleted", "Delete directory recursively: ")),
    ("moving", ("Rename: ",)),
    ("removing the update folder", ("Delete: ",)),
    ("patching", ("header: ", "num_recs: ", "Updating uninstall file ",
                  "Failed to patch uninst.dat file")),
    ("after", ("Update was successful!",)),
]
PHASE_NAMES = [name for name, _ in PHASES]


def message_phase(message):
    for name, prefixes in PHASES:
        if message.startswith(prefixes):
            return name
    return None


# ---------------------------------------------------------------------------------------------
# Uninstall logs. The sample logs name Windows paths, which a native rebase never matches, so a
# log that was not rebased would look just like one that was. Their paths are moved to the
# native folder first, so that a missing rebase shows in the bytes.

HEADER_SIZE = 448
BLOCK_CAPACITY = 4096
TEXT_LIST_TYPES = (0x81, 0x82)


def split_uninstall_log(data):
    """Gives (header bytes, [(typ, extra, record data)])."""
    header = data[:HEADER_SIZE]
    if len(header) != HEADER_SIZE or zlib.crc32(header[:444]) != struct.unpack_from(
            "<I", header, 444)[0]:
        raise ValueError("bad uninstall log header")
    num_recs = struct.unpack_from("<I", header, 324)[0]
    stream = bytearray()
    pos = HEADER_SIZE
    while pos < len(data):
        size, not_size, crc = struct.unpack_from("<III", data, pos)
        payload = data[pos + 12:pos + 12 + size]
        if size != (~not_size & 0xFFFFFFFF) or len(payload) != size or zlib.crc32(payload) != crc:
            raise ValueError("bad block in uninstall log")
        stream += payload
        pos += 12 + size
    records = []
    pos = 0
    for _ in range(num_recs):
        typ, extra, size = struct.unpack_from("<HII", stream, pos)
        records.append((typ, extra, bytes(stream[pos + 10:pos + 10 + size])))
        pos += 10 + size
    return header, records


def join_uninstall_log(header, records):
    body = b"".join(struct.pack("<HII", typ, extra, len(data)) + data
                    for typ, extra, data in records)
    blocks = bytearray()
    for start in range(0, len(body), BLOCK_CAPACITY):
        chunk = body[start:start + BLOCK_CAPACITY]
        blocks += struct.pack("<III", len(chunk), ~len(chunk) & 0xFFFFFFFF, zlib.crc32(chunk))
        blocks += chunk
    image = bytearray(header)
    struct.pack_into("<I", image, 328, HEADER_SIZE + len(blocks))
    image[336:444] = bytes(108)
    struct.pack_into("<I", image, 444, zlib.crc32(image[:444]))
    return bytes(image) + bytes(blocks)


def decode_texts(data):
    texts = []
    pos = 0
    while data[pos] == 0xFE:
        length = -struct.unpack_from("<i", data, pos + 1)[0]
        texts.append(data[pos + 5:pos + 5 + length].decode("utf-16-le"))
        pos += 5 + length
    if data[pos:] != b"\xff":
        raise ValueError("unsupported text list in uninstall log")
    return texts


def encode_texts(texts):
    out = bytearray()
    for text in texts:
        units = text.encode("utf-16-le")
        out += b"\xfe" + struct.pack("<i", -len(units)) + units
    return bytes(out + b"\xff")


def uninstall_log_texts(data):
    _, records = split_uninstall_log(data)
    return [text for typ, _, rec in records if typ in TEXT_LIST_TYPES for text in decode_texts(rec)]


def move_log_paths(data, old_prefix, new_prefix):
    """The log with every text path below old_prefix (Windows) moved below new_prefix (POSIX)."""
    header, records = split_uninstall_log(data)

    def move(text):
        if text == old_prefix:
            return new_prefix
        if text.startswith(old_prefix + "\\"):
            return new_prefix + text[len(old_prefix):].replace("\\", "/")
        return text

    moved = [(typ, extra, encode_texts([move(t) for t in decode_texts(rec)])
              if typ in TEXT_LIST_TYPES else rec) for typ, extra, rec in records]
    return join_uninstall_log(header, moved)


# ---------------------------------------------------------------------------------------------
# The installation.

TOP_FILES = ["chrome_100_percent.pak", "chrome_200_percent.pak", "d3dcompiler_47.dll",
             "ffmpeg.dll", "icudtl.dat", "libEGL.dll", "libGLESv2.dll", "LICENSE.electron.txt",
             "LICENSES.chromium.html", "resources.pak", "snapshot_blob.bin",
             "v8_context_snapshot.bin", "vk_swiftshader.dll", "vk_swiftshader_icd.json",
             "vulkan-1.dll"]
LOCALES = ["af", "am", "ar", "bg", "bn", "ca", "cs", "da", "de", "el", "en-GB", "en-US", "es",
           "es-419", "et", "fa", "fi", "fil", "fr", "gu", "he", "hi", "hr", "hu", "id", "it", "ja",
           "kn", "ko", "lt", "lv", "ml", "mr", "ms", "nb", "nl", "pl", "pt-BR", "pt-PT", "ro",
           "ru", "sk", "sl", "sr", "sv", "sw", "ta", "te", "th", "tr", "uk", "ur", "vi", "zh-CN",
           "zh-TW"]


def version_files(version, modules):
    """{relative path: content} of one version of the application. Version 2 drops some
    modules and files of version 1 and brings some of its own, and every file changes."""
    rng = random.Random(version)
    files = {}

    def add(path, size):
        line = f"Vellicor {version}: {path}\n".encode()
        files[path] = (line * (size // len(line) + 1))[:size]

    add("Vellicor.exe", 150_000)
    add("resources/extbin/adb.exe", 40_000)
    add("resources/app.asar", 300_000)
    for name in TOP_FILES:
        add(name, rng.randrange(500, 20_000))
    for locale in LOCALES:
        add(f"locales/{locale}.pak", rng.randrange(1_000, 8_000))
    add("swiftshader/libEGL.dll", 5_000)
    add("swiftshader/libGLESv2.dll", 5_000)
    for module in range(modules):
        # Some modules exist in one version only.
        if (version == 1 and module % 17 == 5) or (version == 2 and module % 13 == 7):
            continue
        base = f"resources/app/node_modules/module-{module:03}"
        add(f"{base}/package.json", rng.randrange(200, 1_500))
        for sub in ("lib", "lib/internal", "dist"):
            for index in range(rng.randrange(3, 12)):
                if version == 2 and index % 9 == 8:
                    continue
                add(f"{base}/{sub}/file-{index:02}.js", rng.randrange(100, 4_000))
    if version == 2:
        add("resources/extbin/fastboot.exe", 30_000)
        add("vk_swiftshader_2.json", 300)
    return files


def write_tree(root, files):
    for path, content in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(content)


class Installation:
    """The pristine installation (a template copied for every run) and what is known of it."""

    def __init__(self, work, modules):
        self.root = os.path.join(work, "Vellicor")
        self.template = os.path.join(work, "template")
        self.code_path = os.path.join(self.root, "Vellicor.exe")
        self.update_folder = os.path.join(self.root, "_")
        self.old = version_files(1, modules)
        self.new = version_files(2, modules)
        self.old_directories = directories_of(self.old)
        self.staged_top = {path.split("/")[0] for path in self.new} | {"unins000.dat"}
        with open(os.path.join(LOGS, "installed.dat"), "rb") as f:
            self.installed_log = move_log_paths(f.read(), SAMPLE_ROOT, self.root)
        with open(os.path.join(LOGS, "staged.dat"), "rb") as f:
            self.staged_log = move_log_paths(f.read(), SAMPLE_ROOT + "\\_", self.update_folder)
        self.kept = {
            "unins000.dat": self.installed_log,
            "unins001.dat": b"second uninstall log of the installer\n",
            "tools/notes.txt": b"kept by every update\n",
            "tools/bin/helper.cmd": b"@echo helper\n",
        }
        os.makedirs(self.template)
        write_tree(self.template, self.old)
        write_tree(self.template, self.kept)
        write_tree(os.path.join(self.template, "_"), self.new)
        write_tree(os.path.join(self.template, "_"), {"unins000.dat": self.staged_log})

    def file_count(self):
        return len(self.old) + len(self.new) + len(self.kept) + 1

    def fresh_copy(self):
        if os.path.lexists(self.root):
            shutil.rmtree(self.root)
        shutil.copytree(self.template, self.root, symlinks=True)


def directories_of(files):
    """Every folder that holds one of the files, as relative paths."""
    result = set()
    for path in files:
        parent = os.path.dirname(path)
        while parent:
            result.add(parent)
            parent = os.path.dirname(parent)
    return result


def snapshot(root):
    """{relative path: (kind, sha256 or link target)} of everything below root."""
    result = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(directory, name)
            rel = os.path.relpath(full, root)
            if os.path.islink(full):
                result[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                result[rel] = ("dir", "")
            else:
                with open(full, "rb") as f:
                    result[rel] = ("file", hashlib.sha256(f.read()).hexdigest())
    return result


def digest(content):
    return hashlib.sha256(content).hexdigest()


# ---------------------------------------------------------------------------------------------
# Stopping the updater right before a chosen system call: ptrace through ctypes, x86-64 Linux.
# Files change only through system calls, so a kill there can leave the folder in any state an
# update passes through, also in phases that last a few microseconds.

PTRACE_TRACEME, PTRACE_PEEKUSER, PTRACE_SYSCALL, PTRACE_SETOPTIONS = 0, 3, 24, 0x4200
PTRACE_OPTIONS = 0x1 | 0x8 | 0x100000  # TRACESYSGOOD, TRACECLONE, EXITKILL
WAIT_ALL = 0x40000000  # __WALL: threads of the traced process report to waitpid too
ORIG_RAX, RDX = 15 * 8, 12 * 8  # offsets in struct user_regs_struct
SYSCALL_CLASSES = {87: "unlink", 84: "rmdir", 82: "rename", 264: "rename", 316: "rename"}
UNLINKAT, AT_REMOVEDIR = 263, 0x200

_libc = None


def tracing_available():
    return sys.platform == "linux" and platform.machine() == "x86_64"


def ptrace(request, tid, addr=0, data=0):
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
        _libc.ptrace.restype = ctypes.c_long
        _libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    ctypes.set_errno(0)
    result = _libc.ptrace(request, tid, addr, data)
    if result == -1 and ctypes.get_errno():
        error = ctypes.get_errno()
        raise OSError(error, f"ptrace({request}): {os.strerror(error)}")
    return result


def syscall_class(tid):
    number = ptrace(PTRACE_PEEKUSER, tid, ORIG_RAX)
    if number == UNLINKAT:
        return "rmdir" if ptrace(PTRACE_PEEKUSER, tid, RDX) & AT_REMOVEDIR else "unlink"
    return SYSCALL_CLASSES.get(number, "other")


def reap(process):
    while True:
        tid, status = os.waitpid(-1, WAIT_ALL)
        if tid == process.pid and not os.WIFSTOPPED(status):
            process.returncode = os.waitstatus_to_exitcode(status)
            return


def trace(process, on_syscall):
    """Runs a process started under PTRACE_TRACEME. At the entry of every system call of its main
    thread on_syscall(class) is called ("unlink", "rmdir", "rename" or "other"); when it returns
    True the process is killed there, before the call runs. True when it was killed."""
    pid = process.pid
    _, status = os.waitpid(pid, WAIT_ALL)  # stopped at its exec
    if not os.WIFSTOPPED(status):
        process.returncode = os.waitstatus_to_exitcode(status)
        return False
    ptrace(PTRACE_SETOPTIONS, pid, 0, PTRACE_OPTIONS)
    ptrace(PTRACE_SYSCALL, pid)
    inside = set()  # threads between the entry and the exit of a system call
    while True:
        tid, status = os.waitpid(-1, WAIT_ALL)
        if not os.WIFSTOPPED(status):
            if tid == pid:
                process.returncode = os.waitstatus_to_exitcode(status)
                return False
            continue
        stop = os.WSTOPSIG(status)
        deliver = 0
        if stop == signal.SIGTRAP | 0x80:
            if tid in inside:
                inside.discard(tid)
            else:
                inside.add(tid)
                if tid == pid and on_syscall(syscall_class(tid)):
                    os.kill(pid, signal.SIGKILL)
                    reap(process)
                    return True
        elif stop not in (signal.SIGTRAP, signal.SIGSTOP):
            deliver = stop  # a signal of its own (not a stop of the tracing): pass it on
        try:
            ptrace(PTRACE_SYSCALL, tid, 0, deliver)
        except OSError:
            pass  # the thread is gone


# ---------------------------------------------------------------------------------------------
# Runs of the updater.

def message_of(line):
    """The message of a log line "Mon DD HH:MM:SS.mmm LEVEL message"."""
    parts = line.split(" ", 4)
    return parts[4] if len(parts) == 5 else line


class Run:
    """One start of the updater with a temporary folder of its own (so its log file is its
    own), watched through that log file."""

    def __init__(self, exe, installation, log_dir, traced=False):
        os.makedirs(log_dir)
        self.log_dir = log_dir
        self.log_path = None
        self.offset = 0
        self.buffer = b""
        self.lines = []
        self.seen = {}  # message prefix -> monotonic time it was first read from the log
        self.stderr = open(os.path.join(log_dir, "stderr"), "wb")
        env = dict(os.environ, TMPDIR=log_dir)
        if traced:
            # The leak checker of a sanitized build traces the process itself at exit.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                         "detect_leaks=0"]))
        # A session of its own: without a controlling terminal a message box answers nothing
        # instead of waiting for someone to type.
        self.process = subprocess.Popen(
            [exe, installation.code_path, "false"], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=self.stderr, start_new_session=True,
            preexec_fn=(lambda: ptrace(PTRACE_TRACEME, 0)) if traced else None)

    def running(self):
        return self.process.poll() is None

    def poll_log(self):
        """Takes in what the log file gained since the last look."""
        if self.log_path is None:
            found = glob.glob(os.path.join(self.log_dir, "vellicor-updater-*.log"))
            if not found:
                return
            self.log_path = found[0]
        with open(self.log_path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        self.buffer += data
        *complete, self.buffer = self.buffer.split(b"\n")
        now = time.monotonic()
        for line in complete:
            text = line.decode("utf-8", "replace")
            self.lines.append(text)
            message = message_of(text)
            for _, prefixes in PHASES:
                for prefix in prefixes:
                    if message.startswith(prefix):
                        self.seen.setdefault(prefix, now)

    def wait_for_message(self, prefix, timeout=60):
        """The time the message was first seen, or None when the run ended without it."""
        deadline = time.monotonic() + timeout
        while True:
            self.poll_log()
            if prefix in self.seen:
                return self.seen[prefix]
            if not self.running():
                self.poll_log()
                return self.seen.get(prefix)
            if time.monotonic() > deadline:
                raise TimeoutError(f"no '{prefix}' in the log after {timeout} s")
            time.sleep(0.0002)

    def finish(self, timeout=300):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            code = "timeout"
        self.poll_log()
        self.stderr.close()
        return code

    def kill(self):
        """SIGKILL; True when the process was still running."""
        running = self.running()
        if running:
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.poll_log()
        self.stderr.close()
        return running

    def last_phase(self):
        phase = None
        for line in self.lines:
            phase = message_phase(message_of(line)) or phase
        return phase

    def last_message(self):
        return message_of(self.lines[-1]) if self.lines else ""


# ---------------------------------------------------------------------------------------------
# Kill moments. Each gives (kill: run -> phase hit or None when the run ended first, how).

def timed_kill(delay):
    """A fixed delay after "move_update: " shows in the log. The phase is left to the log and
    the folder to tell."""
    def kill(run):
        start = run.wait_for_message("move_update: ")
        if start is not None:
            remaining = start + delay - time.monotonic()
            if remaining > 0:
                time.sleep(remaining)
        return "" if run.kill() else None
    return kill, f"{delay * 1000:.1f} ms after 'move_update: '"


STEP_KINDS = ["closing", "removing directories", "moving", "removing the update folder",
              "patching", "after"]


class Profile:
    """Where each kind of step lies among the system calls of a clean update's main thread:
    {kind: (class counted or None, first number, last number)}. With a class, the number counts
    the calls of that class; without, it counts every call after the last move."""

    def __init__(self, sequence):
        self.count = collections.Counter(sequence)
        renames = [i for i, klass in enumerate(sequence) if klass == "rename"]
        # Every rename but the last moves an entry out of "_"; the last puts the rewritten
        # uninstall log in place. Between them come the emptied update folder's removal (the
        # last rmdir) and the reading and writing of the log.
        after = sequence[renames[-2] + 1:]
        folder_removed = after.index("rmdir") + 1
        log_replaced = after.index("rename") + 1
        self.ranges = {
            "closing": ("unlink", 1, self.count["unlink"]),
            "removing directories": ("rmdir", 1, self.count["rmdir"] - 1),
            "moving": ("rename", 1, self.count["rename"] - 1),
            "removing the update folder": (None, 1, folder_removed),
            "patching": (None, folder_removed + 1, log_replaced),
            "after": (None, log_replaced + 1, len(after)),
        }

    def describe(self):
        return ", ".join(f"{kind} {klass or 'call after the last move'} {first}-{last}"
                         for kind, (klass, first, last) in self.ranges.items())


def step_numbers(kinds, profile, rng):
    """A number for every step trial: the trials of one kind each get one from a slice of its
    range of their own, so that together they cover all of it."""
    numbers = {}
    for kind in set(kinds):
        _, first, last = profile.ranges[kind]
        size = last - first + 1
        count = kinds.count(kind)
        slices = [first + int((i + rng.random()) * size / count) for i in range(count)]
        rng.shuffle(slices)
        numbers[kind] = slices
    return [numbers[kind].pop() for kind in kinds]


def step_kill(kind, number, profile):
    """Right before the chosen system call of a kind of step."""
    target, _, last = profile.ranges[kind]
    moves = profile.count["rename"] - 1
    counts = collections.Counter()

    def on_syscall(klass):
        if target is not None:
            counts[klass] += 1
            return klass == target and counts[klass] == number
        if counts["moves"] < moves:
            counts["moves"] += klass == "rename"
            return False
        if counts["after"] + 1 == number:
            return True
        counts["after"] += 1
        counts[klass] += 1  # calls that ran: the one killed at its entry never does
        return False

    def kill(run):
        if not trace(run.process, on_syscall):
            run.finish()
            return None
        run.poll_log()
        run.stderr.close()
        if target is not None:
            return kind
        # Where the kill fell is told by what ran, since other threads' calls (waking the log
        # writer) make the count differ a little from one run to the next.
        if counts["rmdir"] == 0:
            return "removing the update folder"
        return "patching" if counts["rename"] == 0 else "after"

    if target is None:
        return kill, f"before system call {number} after the last move"
    return kill, f"before {target} {number} of {last}"


# ---------------------------------------------------------------------------------------------
# What a folder holds, compared with the clean result.

def count_with_content(state, files):
    """How many of files are in state with their own content."""
    return sum(1 for path, content in files.items()
               if state.get(path) == ("file", digest(content)))


def describe_log(installation, state, clean):
    entry = state.get("unins000.dat")
    if entry is None:
        return "missing"
    if entry == clean["unins000.dat"]:
        return "rebased"
    for name, content in (("staged, not rebased", installation.staged_log),
                          ("the old version's", installation.installed_log)):
        if entry == ("file", digest(content)):
            return name
    return "damaged"


def staged_entries(state):
    return [p for p in state if os.path.dirname(p) == "_"]


def describe_state(installation, state, clean):
    """A one-line picture of a folder after a killed run."""
    old = count_with_content(state, installation.old)
    new = count_with_content(state, installation.new)
    parts = [f"old files {old}/{len(installation.old)}", f"new files in place {new}"]
    if "_" in state:
        staged = sum(1 for p, (kind, _) in state.items() if p.startswith("_/") and kind == "file")
        parts.append(f"'_' holds {len(staged_entries(state))} entries, {staged} files")
    else:
        parts.append("'_' gone")
    parts.append(f"unins000.dat {describe_log(installation, state, clean)}")
    if "unins000.dat.tmp" in state:
        parts.append("unins000.dat.tmp present")
    if "Vellicor.exe" not in state:
        parts.append("no Vellicor.exe")
    return ", ".join(parts)


def phase_on_disk(installation, state, clean):
    """The latest phase that the folder proves the killed run had reached, or None."""
    if "_" not in state:
        return "after" if describe_log(installation, state, clean) == "rebased" else "patching"
    left = staged_entries(state)
    if not left:
        return "removing the update folder"
    if len(left) < len(installation.staged_top):
        return "moving"
    if any(path not in state for path in installation.old_directories):
        return "removing directories"
    if count_with_content(state, installation.old) < len(installation.old):
        return "closing"
    return None


def differences(installation, clean, state):
    """What is lost or wrong compared with the clean result: [(what, detail)]."""
    problems = []

    def some(paths):
        return ", ".join(paths[:3]) + (", ..." if len(paths) > 3 else "")

    missing = sorted(p for p in clean if p not in state)
    extra = sorted(p for p in state if p not in clean)
    changed = sorted(p for p in clean if p in state and state[p] != clean[p])

    missing_new = [p for p in missing if p in installation.new]
    if missing_new:
        problems.append(("new files missing", f"{len(missing_new)} of {len(installation.new)} "
                                              f"({some(missing_new)})"))
    missing_kept = [p for p in missing if p in installation.kept and p != "unins000.dat"]
    if missing_kept:
        problems.append(("kept files missing", some(missing_kept)))
    if "unins000.dat" in missing:
        problems.append(("uninstall log missing", ""))
    other = [p for p in missing if p not in installation.new and p not in installation.kept and
             clean[p][0] != "dir"]
    if other:
        problems.append(("other files missing", some(other)))

    in_update = [p for p in extra if p == "_" or p.startswith("_/")]
    if in_update:
        files = sum(1 for p in in_update if state[p][0] == "file")
        problems.append(("update folder '_' left", f"with {files} files"))
    old_left = [p for p in extra if p in installation.old]
    old_content = [p for p in changed if p in installation.old and
                   state[p] == ("file", digest(installation.old[p]))]
    if old_left or old_content:
        problems.append(("old files left", f"{len(old_left)} the new version dropped, "
                                           f"{len(old_content)} in place of new ones "
                                           f"({some(old_left + old_content)})"))
    if "unins000.dat.tmp" in extra:
        problems.append(("unins000.dat.tmp left", "a kept name: no later update removes it"))
    rest = [p for p in extra if p not in in_update and p not in old_left and
            p != "unins000.dat.tmp" and state[p][0] != "dir"]
    if rest:
        problems.append(("unexpected files", some(rest)))
    if "unins000.dat" in changed:
        problems.append(("uninstall log wrong",
                         f"it is {describe_log(installation, state, clean)}"))
    damaged = [p for p in changed if p != "unins000.dat" and p not in old_content]
    if damaged:
        problems.append(("files with wrong content", some(damaged)))
    return problems


# ---------------------------------------------------------------------------------------------
# The experiment.

def clean_run(exe, installation, log_dir):
    """One uninterrupted update of a fresh copy: (resulting tree, seconds from the moment
    "move_update: " was read from the log to the end of the run, {phase: seconds from that
    moment to its first line read from the log})."""
    installation.fresh_copy()
    run = Run(exe, installation, log_dir)
    start = run.wait_for_message("move_update: ")
    while run.running():
        run.poll_log()
        time.sleep(0.0002)
    end = time.monotonic()
    code = run.finish()
    if code != 0 or start is None:
        sys.exit(f"the clean update failed (exit code {code}); see {run.log_dir}")
    timeline = {}
    for name, prefixes in PHASES:
        times = [run.seen[p] for p in prefixes if p in run.seen]
        if times:
            timeline[name] = min(times) - start
    return snapshot(installation.root), end - start, timeline


def traced_clean_run(exe, installation, clean, log_dir):
    """A clean update under the tracer, which must change nothing: its system-call profile."""
    installation.fresh_copy()
    run = Run(exe, installation, log_dir, traced=True)
    sequence = []
    trace(run.process, lambda klass: sequence.append(klass))
    code = run.finish()
    if code != 0 or snapshot(installation.root) != clean:
        sys.exit(f"the traced clean update failed or differs (exit code {code}); see {log_dir}")
    counts = collections.Counter(sequence)
    if counts["rename"] < 2 or counts["unlink"] < 1 or counts["rmdir"] < 2:
        sys.exit("the traced clean update did not make the system calls watched for")
    try:
        return Profile(sequence)
    except ValueError:
        sys.exit("the traced clean update did not remove '_' and then replace the uninstall log")


def check_clean_result(installation, clean):
    """The clean update did what an update is for; otherwise the experiment means nothing."""
    for path, content in list(installation.new.items()) + list(installation.kept.items()):
        if path != "unins000.dat" and clean.get(path) != ("file", digest(content)):
            sys.exit(f"the clean update did not leave {path} as expected")
    files = {p for p, (kind, _) in clean.items() if kind == "file"}
    if files != set(installation.new) | set(installation.kept):
        sys.exit("the clean update left files it should not have")
    with open(os.path.join(installation.root, "unins000.dat"), "rb") as f:
        texts = uninstall_log_texts(f.read())
    under_update = [t for t in texts if t.startswith(installation.update_folder + "/")]
    under_root = [t for t in texts if t.startswith(installation.root + "/")]
    if under_update or not under_root:
        sys.exit("the clean update did not rebase the uninstall log")


def run_trial(options, installation, clean, work, number, sampler, moment):
    kill, how = moment
    installation.fresh_copy()
    killed = Run(options.exe, installation, os.path.join(work, "logs", f"trial-{number}"),
                 traced=sampler == "step")
    phase = kill(killed)
    after_kill = snapshot(installation.root)
    log_phase = killed.last_phase()
    if phase is None:
        phase = "ended before the kill"
    elif not phase:
        # Timed: the log's last line, or a later phase when the folder shows one. The log
        # drops lines while its queue is full, and lines still queued die with the process.
        found = [p for p in (log_phase, phase_on_disk(installation, after_kill, clean)) if p]
        phase = max(found, key=PHASE_NAMES.index) if found else "before move_update"

    rerun = Run(options.exe, installation, os.path.join(work, "logs", f"rerun-{number}"))
    code = rerun.finish()
    state = snapshot(installation.root)
    return {
        "number": number, "sampler": sampler, "how": how, "phase": phase,
        "log_phase": log_phase, "last": killed.last_message(),
        "after_kill": describe_state(installation, after_kill, clean),
        "code": code, "repaired": state == clean,
        "problems": differences(installation, clean, state),
        "rerun_error": (rerun.last_message().replace(installation.root, "<root>")
                        if code != 0 else ""),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", default=os.path.join(REPO, "build", "native", "vellicor-updater"))
    parser.add_argument("--trials", type=int, default=40)
    parser.add_argument("--seed", type=int, default=None,
                        help="seed of the kill moments (printed, so a run can be repeated)")
    parser.add_argument("--sampler", choices=["mixed", "timed", "step"], default="mixed",
                        help="how kill moments are picked (mixed: timed and step in turn)")
    parser.add_argument("--modules", type=int, default=150,
                        help="node modules in each version (about 20 files each)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--verbose", action="store_true", help="a line for every trial")
    options = parser.parse_args()
    if options.trials < 1:
        parser.error("--trials must be at least 1")
    if options.sampler != "timed" and not tracing_available():
        if options.sampler == "step":
            parser.error("the step sampler needs x86-64 Linux")
        options.sampler = "timed"
    if not os.access(options.exe, os.X_OK):
        sys.exit(f"no updater at {options.exe}: build it first "
                 "(cmake --preset native && cmake --build --preset native)")
    options.exe = os.path.abspath(options.exe)
    seed = options.seed if options.seed is not None else random.randrange(1 << 32)

    work = tempfile.mkdtemp(prefix="vellicor-crash-")
    try:
        return experiment(options, seed, work)
    finally:
        if options.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def experiment(options, seed, work):
    rng = random.Random(seed)
    installation = Installation(work, options.modules)
    parsed = subprocess.run([options.exe, "--parse",
                             os.path.join(installation.template, "_", "unins000.dat")],
                            capture_output=True)
    if parsed.returncode != 0:
        sys.exit("the updater cannot read the staged uninstall log: " + parsed.stderr.decode())
    print(f"updater: {options.exe}")
    print(f"installation: {installation.file_count()} files: {len(installation.old)} old in "
          f"{len(installation.old_directories)} folders, {len(installation.new)} new in '_', "
          f"kept {', '.join(sorted(installation.kept))}")

    # Clean updates: the expected result, which must be the same every time, and the window of
    # the timed kills.
    durations = []
    clean = None
    for index in range(3):
        result, duration, timeline = clean_run(options.exe, installation,
                                               os.path.join(work, "logs", f"clean-{index}"))
        if clean is not None and result != clean:
            sys.exit("two clean updates of the same installation gave different results")
        clean = result
        durations.append(duration)
    check_clean_result(installation, clean)
    window = statistics.median(durations)
    print(f"clean update, 'move_update: ' to exit: {window * 1000:.1f} ms (median of "
          f"{', '.join(f'{d * 1000:.1f}' for d in durations)})")
    print("  first line of each phase read from the log at (ms): " +
          ", ".join(f"{name} {t * 1000:.1f}" for name, t in timeline.items()))

    samplers = {"mixed": ["timed", "step"], "timed": ["timed"], "step": ["step"]}[options.sampler]
    kinds = [samplers[i % len(samplers)] for i in range(options.trials)]
    profile = None
    if "step" in kinds:
        profile = traced_clean_run(options.exe, installation, clean,
                                   os.path.join(work, "logs", "clean-traced"))
        print(f"  system calls of the main thread: {profile.describe()}")

    # Timed trials each get a moment in a slice of the window of their own, so that together
    # they cover all of it; step trials go through the kinds of step in turn.
    timed = kinds.count("timed")
    delays = [(i + rng.random()) * window / timed for i in range(timed)]
    rng.shuffle(delays)
    steps = [STEP_KINDS[i % len(STEP_KINDS)] for i in range(options.trials - timed)]
    rng.shuffle(steps)
    steps = list(zip(steps, step_numbers(steps, profile, rng)))
    print(f"seed {seed}, {options.trials} trials ({timed} timed, {options.trials - timed} step)",
          flush=True)

    trials = []
    for number, sampler in enumerate(kinds, 1):
        if sampler == "timed":
            moment = timed_kill(delays.pop())
        else:
            moment = step_kill(*steps.pop(), profile)
        began = time.monotonic()
        trial = run_trial(options, installation, clean, work, number, sampler, moment)
        trials.append(trial)
        if options.verbose:
            print(f"  trial {number:3} ({time.monotonic() - began:4.1f} s): killed {trial['how']}: "
                  f"{trial['phase']}, rerun exit {trial['code']}, "
                  f"{'repaired' if trial['repaired'] else 'NOT repaired'}", flush=True)

    report(trials)
    return 0 if all(t["repaired"] for t in trials) else 1


def report(trials):
    order = ["before move_update"] + PHASE_NAMES + ["ended before the kill"]

    def phase_key(phase):
        return order.index(phase) if phase in order else len(order)

    by_phase = collections.defaultdict(list)
    for trial in trials:
        by_phase[trial["phase"]].append(trial)
    print()
    header = (f"{'phase hit by the kill':28} {'trials':>6} {'timed':>5} {'step':>5} "
              f"{'rerun exit 0':>12} {'repaired':>8}")
    print(header)
    print("-" * len(header))

    def row(name, group):
        print(f"{name:28} {len(group):6} {sum(t['sampler'] == 'timed' for t in group):5} "
              f"{sum(t['sampler'] == 'step' for t in group):5} "
              f"{sum(t['code'] == 0 for t in group):12} {sum(t['repaired'] for t in group):8}")

    for phase in sorted(by_phase, key=phase_key):
        row(phase, by_phase[phase])
    print("-" * len(header))
    row("all", trials)
    lagging = sum(1 for t in trials if t["sampler"] == "timed" and t["log_phase"] != t["phase"]
                  and t["phase"] in PHASE_NAMES)
    if lagging:
        print(f"({lagging} timed kills are placed by what the folder showed: the log's last line "
              "named an earlier phase)")

    repaired_with_error = [t for t in trials if t["repaired"] and t["code"] != 0]
    if repaired_with_error:
        errors = sorted({t["rerun_error"] for t in repaired_with_error})
        print(f"\n{len(repaired_with_error)} reruns failed on a folder that needed no repair: "
              + "; ".join(errors))

    broken = [t for t in trials if not t["repaired"]]
    if not broken:
        print("\nevery rerun left the installation a clean update leaves")
        return
    # Trials alike in phase, rerun outcome and kinds of damage are told once.
    outcomes = collections.defaultdict(list)
    for trial in broken:
        key = (trial["phase"], str(trial["code"]), trial["rerun_error"],
               tuple(what for what, _ in trial["problems"]))
        outcomes[key].append(trial)
    print(f"\n{len(broken)} trials the rerun did not repair, {len(outcomes)} outcomes:")
    for key in sorted(outcomes, key=lambda k: (phase_key(k[0]),) + k[1:]):
        phase, code, error, _ = key
        group = outcomes[key]
        print(f"\n{phase}: {len(group)} trials ({', '.join(str(t['number']) for t in group)}); "
              f"rerun exit {code}" + (f": {error}" if error else ""))
        for trial in group[:2]:
            print(f"  trial {trial['number']}, killed {trial['how']}; last line: "
                  f"{trial['last'][:80]}")
            print(f"    after the kill: {trial['after_kill']}")
            for what, detail in trial["problems"]:
                print(f"    - {what}" + (f": {detail}" if detail else ""))
        if len(group) > 2:
            print(f"  ... and {len(group) - 2} more alike")


if __name__ == "__main__":
    sys.exit(main())
