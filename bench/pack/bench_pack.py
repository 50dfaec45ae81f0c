#!/usr/bin/env python3
"""Times `patchctl pack --all TREE OUT.zip` against Info-ZIP `zip -q -r -6 OUT.zip .` on the extraction
benchmark's tree (a): 2,000 files, 200 MiB in all, half text-like, half random, generated with a fixed seed.
Each round runs both tools in alternating order into fresh output files; the figures are medians, peak
resident memory is GNU time's report. Both archives are checked with `unzip -t` and their sizes printed.

usage: bench_pack.py PATCHCTL [ROUNDS] [WORKDIR]
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "extract"))
from bench_extract import MIB, SEED, write_tree_a  # noqa: E402
from bench_support import arguments, run_timed  # noqa: E402

TARGET = 1.0


def main():
    parsed = arguments("pack", __doc__, 3, ("zip", "unzip", "/usr/bin/time"))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    os.makedirs(work, exist_ok=True)
    tree = os.path.join(work, "tree-a-v1")
    if not os.path.isdir(tree):
        os.makedirs(tree + ".part", exist_ok=True)
        write_tree_a(tree + ".part", random.Random(SEED + len("case-a-v1")))
        os.rename(tree + ".part", tree)

    outputs = {"ours": os.path.join(work, "ours.zip"), "zip": os.path.join(work, "peer.zip")}
    tools = {
        "ours": ([patchctl, "pack", "--all", tree, outputs["ours"]], None),
        "zip": (["zip", "-q", "-r", "-6", outputs["zip"], "."], tree),
    }
    times = {name: [] for name in tools}
    rss = {name: 0 for name in tools}
    order = list(tools)
    print("pack benchmark: %d rounds, medians; work directory %s" % (rounds, work))
    for r in range(rounds):
        for name in order[r % 2:] + order[:r % 2]:
            if os.path.exists(outputs[name]):
                os.remove(outputs[name])
            command, cwd = tools[name]
            seconds, peak = run_timed(command, work, cwd=cwd)
            times[name].append(seconds)
            rss[name] = max(rss[name], peak)
    for name, path in outputs.items():
        subprocess.run(["unzip", "-t", "-qq", path], check=True)
    med = {name: statistics.median(values) for name, values in times.items()}
    ratio = med["ours"] / med["zip"]
    print("2,000 files, 200 MiB: archive ours %.1f MiB, zip %.1f MiB" %
          (os.path.getsize(outputs["ours"]) / MIB, os.path.getsize(outputs["zip"]) / MIB))
    print("    median s: ours %.3f  zip -6 %.3f" % (med["ours"], med["zip"]))
    print("    ratio ours/zip %.2f" % ratio)
    print("    peak RSS MiB: ours %.1f  zip %.1f" % (rss["ours"] / 1024, rss["zip"] / 1024))
    print("RESULT\tpack\t2,000 files, 200 MiB\t%.3f\t%.1f\tzip -r -6\t%.3f\t%.1f" %
          (med["ours"], rss["ours"] / 1024, med["zip"], rss["zip"] / 1024))
    for path in outputs.values():
        os.remove(path)
    if ratio > TARGET:
        print("target missed: ours/zip %.2f > %.1f" % (ratio, TARGET))
        return 1
    print("target met: ours/zip <= %.1f" % TARGET)
    return 0


if __name__ == "__main__":
    sys.exit(main())
