#!/usr/bin/python3
"""The utility's whole run under Wine, against the minimal program that makes
the same platform calls and against an empty program (a process start), in
one prefix holding 240 Ports devices of which a third are probes. Runs the
three in turn, round after round (in a new order every round), and prints the medians, the ratio of the
utility to the minimal program with its bootstrap interval, and the executable's size."""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time

# The checkout's top, where the tests' packages are.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.support.wine_registry import WINE, PORTS_CLASS, load_registry_file, registry_file

DEVICES = 240
ROUNDS = int(os.environ.get("PORTCHECK_BENCH_ROUNDS", "80"))
RATIO_TARGET = 1.05
RESAMPLES = 2000
SIZE_TARGET = 32 * 1024


def devices():
    for i in range(DEVICES):
        if i % 3 == 0:
            name = "Zelnar Emulator CDC Serial Port (COM%d)" % (i + 3)
        else:
            name = "Communications Port (COM%d)" % (i + 3)
        yield (r"BENCH\PORT\%04d" % i, PORTS_CLASS, name)


def timed_run(program, env):
    start = time.perf_counter()
    run = subprocess.run(WINE + [program], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, run


def ratio_interval(utility, minimal):
    """The 95% bootstrap interval of median(utility) / median(minimal): the
    rounds are drawn again with replacement, each keeping its pair of times,
    so the interval shows how far the figure itself moves with Wine's noise."""
    draw = random.Random(2)
    rounds = len(utility)
    ratios = []
    for _ in range(RESAMPLES):
        picks = [draw.randrange(rounds) for _ in range(rounds)]
        ratios.append(statistics.median(utility[i] for i in picks)
                      / statistics.median(minimal[i] for i in picks))
    ratios.sort()
    return ratios[int(0.025 * RESAMPLES)], ratios[int(0.975 * RESAMPLES) - 1]


def verdict(low, high):
    if high <= RATIO_TARGET:
        return "within target"
    if low > RATIO_TARGET:
        return "ABOVE TARGET"
    return "cannot tell from target at this noise: run more rounds"


def main():
    parser = argparse.ArgumentParser(prog="bench/benchmark.py", description="Times the utility "
                                     "and the two comparison programs under Wine.")
    for name in ("utility", "minimal", "empty", "prefix", "work"):
        parser.add_argument(name)
    given = parser.parse_args()
    utility, minimal, empty, prefix, work = (given.utility, given.minimal, given.empty,
                                             given.prefix, given.work)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    load_registry_file(registry_file(["BENCH"], list(devices())), work, env)

    _, check = timed_run(utility, env)
    found = check.stdout.decode("ascii", "replace").strip().splitlines()[-1]
    if found != "Found %d Zelnar Debug Probes Connected" % (DEVICES // 3):
        print("the prefix does not hold the expected devices: %r" % found)
        return 1

    programs = {"utility": utility, "minimal": minimal, "empty": empty}
    times = {name: [] for name in programs}
    for name, program in programs.items():  # warm the file cache
        timed_run(program, env)
    order = list(programs)
    shuffle = random.Random(1)  # a new order every round, the same every run
    for _ in range(ROUNDS):
        shuffle.shuffle(order)
        for name in order:
            times[name].append(timed_run(programs[name], env)[0])

    medians = {name: statistics.median(t) for name, t in times.items()}
    size = os.path.getsize(utility)
    ratio = medians["utility"] / medians["minimal"]
    print("%d Ports devices (%d probes), %d rounds, medians of wall time under Wine:"
          % (DEVICES, DEVICES // 3, ROUNDS))
    for name in programs:
        quartiles = statistics.quantiles(times[name], n=4)
        print("  %-8s %7.1f ms  (quartiles %.1f-%.1f ms)"
              % (name, medians[name] * 1000, quartiles[0] * 1000, quartiles[2] * 1000))
    low, high = ratio_interval(times["utility"], times["minimal"])
    print("ratio utility/minimal: %.3f, 95%% interval %.3f-%.3f (target <= %.2f): %s"
          % (ratio, low, high, RATIO_TARGET, verdict(low, high)))
    print("portcheck.exe size: %d bytes = %.1f KiB (target <= %d KiB)%s"
          % (size, size / 1024, SIZE_TARGET // 1024, "" if size <= SIZE_TARGET else "  ABOVE TARGET"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
