#!/usr/bin/env python3
"""Builds the benchmark programs of the `bench` preset, runs each once with JSON output and
prints every performance budget as a ratio of two benchmarks measured in that same run.

A budget compares a benchmark with its floor from the same program, so the machine's speed
cancels out. Add a program's budgets to BUDGETS; the script runs every program named there.
Fixed ceilings (CEILINGS) and file sizes (SIZES) are printed after the ratios; a size is
measured on its preset's build when that build is there. Exit status 1 when a budget is not met.
"""

import argparse
import json
import os
import subprocess
import sys
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Budget:
    program: str    # benchmark program in build/bench/bench/ (WINDOWS_BUDGETS: build/windows/)
    text: str       # what the budget says
    measured: str   # benchmark name (as Google Benchmark reports it)
    floor: str      # the benchmark it is compared with
    faster: bool    # True: ratio = floor time / measured time, must be >= limit
                    # False: ratio = measured time / floor time, must be <= limit
    limit: float    # None: printed for reference, not a budget


BUDGETS = [
    Budget("crc32_bench", "CRC-32 of a 4 KiB block, throughput vs zlib crc32",
           "BM_Crc32/4096", "BM_ZlibCrc32/4096", True, 1.0),
    Budget("crc32_bench", "CRC-32 of 1 MiB, throughput vs zlib crc32",
           "BM_Crc32/1048576", "BM_ZlibCrc32/1048576", True, 1.0),
    Budget("uninstall_log_bench",
           "read, rebase and write a 50 MB log vs rewriting it in 64 KiB pieces",
           "BM_PatchLog/real_time", "BM_RewriteLogFile/real_time", False, 2.2),
    Budget("uninstall_log_bench", "  same, vs the kernel's copy of the file",
           "BM_PatchLog/real_time", "BM_CopyLog/real_time", False, None),
    Budget("uninstall_log_bench", "--parse of a 50 MB log vs reading the file",
           "BM_DumpLog/real_time", "BM_ReadLogFile/real_time", False, 3.0),
    Budget("uninstall_log_bench", "--parse of a 50 MB log, a process, vs cat of the file",
           "BM_ParseProcess/1/real_time", "BM_CatProcess/real_time", False, 3.0),
    Budget("uninstall_log_bench", "check of a staged version by its 50 MB log vs --parse",
           "BM_CheckStagedVersion/real_time", "BM_DumpStagedLog/real_time", False, None),
    Budget("uninstall_log_bench", "  same, vs one look at each file it names",
           "BM_CheckStagedVersion/real_time", "BM_StatStagedFiles/real_time", False, None),
    Budget("move_update_bench", "move_update of 20,000 files vs the bare required calls",
           "BM_MoveUpdate/iterations:3/real_time", "BM_RequiredCalls/iterations:3/real_time",
           False, 1.5),
    Budget("move_update_bench", "  same, vs rm -rf and mv",
           "BM_MoveUpdate/iterations:3/real_time", "BM_RemoveAndMove/iterations:3/real_time",
           False, None),
    Budget("move_update_bench", "staged version of 20,000 files to the disk vs one sync",
           "BM_WriteStagedVersionToDisk/iterations:3/real_time",
           "BM_SyncOfFreshData/iterations:3/real_time", False, 1.2),
    Budget("move_update_bench", "  an fsync of every staged entry instead, vs one sync",
           "BM_FsyncOfEveryStagedEntry/iterations:3/real_time",
           "BM_SyncOfFreshData/iterations:3/real_time", False, None),
    Budget("move_update_bench", "whole update of 10,000 top-level files vs 2,500 (linear: 4x)",
           "BM_UpdateOfTopLevelFiles/10000/real_time", "BM_UpdateOfTopLevelFiles/2500/real_time",
           False, 5.0),
    Budget("logging_bench", "log lines written to a file per second vs prepared lines",
           "BM_LoggerLinesToFile/real_time", "BM_PreparedLinesToFile/real_time", False, None),
]


# Programs of the Windows build, run under Wine (build/windows/wine-run) when that build is there;
# each prints its medians as Google Benchmark's JSON does. Wine 8 has no NtFlushBuffersFileEx: the
# update then writes each staged file out with FlushFileBuffers, as the floor does, and the ratio
# shows the cost of the update's one open of each file; on Windows each file goes without the
# device's cache flush and the folder's flush makes the device keep them all.
WINDOWS_BUDGETS = [
    Budget("bench/windows/durability_bench.exe",
           "Windows (Wine): staged version of 5,000 files to the disk vs a flush of each",
           "BM_WindowsStagedVersionToDisk", "BM_WindowsFlushOfEachFile", False, None),
    Budget("bench/windows/hold_bench.exe",
           "Windows (Wine): holds of 500+500 files with a second name vs one",
           "BM_WindowsHoldLinkedVersions", "BM_WindowsHoldSingleNamedVersions", False, 3.0),
]


# Budgets that are a fixed amount rather than a ratio: a counter of one benchmark (median of
# the repetitions) must stay below the limit.
@dataclass
class Ceiling:
    program: str
    text: str
    benchmark: str
    counter: str
    limit: float
    unit: str


CEILINGS = [
    Ceiling("logging_bench", "one logging call on the caller's thread, median",
            "BM_LogCall/formatted_in_call/manual_time", "median_ns", 1000.0, "ns"),
    Ceiling("uninstall_log_bench", "peak memory of --parse of a 5 MB log",
            "BM_ParseProcess/0/real_time", "peak_rss_kb", 8192.0, "KiB"),
    Ceiling("uninstall_log_bench", "peak memory of --parse of a 50 MB log",
            "BM_ParseProcess/1/real_time", "peak_rss_kb", 8192.0, "KiB"),
    Ceiling("uninstall_log_bench", "peak memory of an update rewriting a 5 MB log",
            "BM_UpdateProcess/0/real_time", "peak_rss_kb", 8192.0, "KiB"),
    Ceiling("uninstall_log_bench", "peak memory of an update rewriting a 50 MB log",
            "BM_UpdateProcess/1/real_time", "peak_rss_kb", 8192.0, "KiB"),
]


# Budgets on the size of a built file, in bytes. The file comes from another preset's build,
# which is brought up to date and measured when it is there (configured), and named otherwise.
@dataclass
class SizeBudget:
    preset: str     # the build preset whose folder holds the file
    target: str     # its CMake target
    path: str       # the file, relative to the project root
    text: str
    limit: int


# The executable's runtime is that of the win32 thread model, whose locks and per-thread values
# over the system's own calls take 5.5 KiB of it (measured here: one tree built with that model
# and with the posix model and replacements of its thread calls, 5,632 bytes apart; GCC 12).
SIZES = [
    SizeBudget("windows", "vellicor-updater", "build/windows/vellicor-updater.exe",
               "size of the Windows executable", 416 * 1024),
]


def build():
    for command in (["cmake", "--preset", "bench"], ["cmake", "--build", "--preset", "bench"]):
        subprocess.run(command, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def run_program(path, repetitions, runner=()):
    """Runs one benchmark program; gives each benchmark's median real time in nanoseconds."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    done = subprocess.run(
        list(runner) + [path, "--benchmark_format=json", "--benchmark_repetitions=%d" % repetitions,
         "--benchmark_enable_random_interleaving=true",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True)
    times, counters = {}, {}
    for entry in json.loads(done.stdout)["benchmarks"]:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        times[entry["run_name"]] = entry["real_time"] * scale[entry["time_unit"]]
        counters[entry["run_name"]] = entry
    return times, counters


def measure_size(budget, build_first):
    """The file's size in bytes, or None when its preset's build folder is not there."""
    folder = os.path.join(ROOT, "build", budget.preset)
    if not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        return None
    if build_first:
        subprocess.run(["cmake", "--build", "--preset", budget.preset, "--target", budget.target],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    path = os.path.join(ROOT, budget.path)
    return os.path.getsize(path) if os.path.exists(path) else None


def kib(size):
    return "%g KiB" % round(size / 1024, 1)


def duration(ns):
    for unit, size in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= size:
            return "%.3g %s" % (ns / size, unit)
    return "%.3g ns" % ns


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-build", action="store_true", help="use the programs as built")
    parser.add_argument("--repetitions", type=int, default=5,
                        help="repetitions of each benchmark inside the one run (median taken)")
    options = parser.parse_args()
    if not options.no_build:
        build()

    results, counters = {}, {}
    programs = [budget.program for budget in BUDGETS] + [c.program for c in CEILINGS]
    for program in dict.fromkeys(programs):
        path = os.path.join(ROOT, "build", "bench", "bench", program)
        results[program], counters[program] = run_program(path, options.repetitions)

    windows = os.path.join(ROOT, "build", "windows")
    windows_budgets = WINDOWS_BUDGETS if os.path.exists(os.path.join(windows,
                                                                     "CMakeCache.txt")) else []
    for program in dict.fromkeys(budget.program for budget in windows_budgets):
        if not options.no_build:
            subprocess.run(["cmake", "--build", "--preset", "windows", "--target",
                            os.path.splitext(os.path.basename(program))[0]],
                           cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        results[program], counters[program] = run_program(
            os.path.join(windows, program), options.repetitions,
            [os.path.join(windows, "wine-run")])

    met = True
    print("%-58s %10s %10s %7s  %s" % ("budget", "measured", "floor", "ratio", "limit"))
    for budget in BUDGETS + windows_budgets:
        times = results[budget.program]
        measured, floor = times[budget.measured], times[budget.floor]
        ratio = floor / measured if budget.faster else measured / floor
        if budget.limit is None:
            print("%-58s %10s %10s %6.2fx  (reference)" % (
                budget.text, duration(measured), duration(floor), ratio))
            continue
        ok = ratio >= budget.limit if budget.faster else ratio <= budget.limit
        met = met and ok
        print("%-58s %10s %10s %6.2fx  %s %.1fx %s" % (
            budget.text, duration(measured), duration(floor), ratio,
            ">=" if budget.faster else "<=",
            budget.limit, "ok" if ok else "NOT MET"))
    for budget in windows_budgets:
        if "flush_without_sync" in counters[budget.program].get(budget.measured, {}):
            has = counters[budget.program][budget.measured]["flush_without_sync"]
            print("  NtFlushBuffersFileEx (FLUSH_FLAGS_NO_SYNC) in Wine's ntdll: %s" %
                  ("yes" if has else "no, each file is flushed with FlushFileBuffers there"))
    if not windows_budgets:
        print("(no windows build: cmake --preset windows, for the Windows budgets)")
    for ceiling in CEILINGS:
        value = counters[ceiling.program][ceiling.benchmark][ceiling.counter]
        ok = value < ceiling.limit
        met = met and ok
        print("%-58s %10s %10s %7s  < %g %s %s" % (
            ceiling.text, "%.0f %s" % (value, ceiling.unit), "", "", ceiling.limit, ceiling.unit,
            "ok" if ok else "NOT MET"))
    for budget in SIZES:
        size = measure_size(budget, not options.no_build)
        if size is None:
            print("%-58s %10s %10s %7s  (no %s build: cmake --preset %s)" % (
                budget.text, "", "", "", budget.preset, budget.preset))
            continue
        ok = size <= budget.limit
        met = met and ok
        print("%-58s %10s %10s %7s  <= %s %s" % (
            budget.text, kib(size), "", "", kib(budget.limit), "ok" if ok else "NOT MET"))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
