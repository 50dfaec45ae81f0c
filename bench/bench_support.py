"""What the benchmark scripts share: their command line and timing one tool run."""
import os
import shutil
import subprocess
import sys
import tempfile
import time


def arguments(name, doc, default_rounds, tools):
    """PATCHCTL [ROUNDS] [WORKDIR] from the command line, after checking that every peer tool is there.
    Returns (patchctl, rounds, work), or an exit status when the benchmark cannot run."""
    if len(sys.argv) < 2:
        print(doc, file=sys.stderr)
        return 2
    for tool in tools:
        if shutil.which(tool) is None:
            print("bench %s: %s is not installed (scripts/bootstrap installs it)" % (name, tool), file=sys.stderr)
            return 1
    patchctl = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else default_rounds
    work = sys.argv[3] if len(sys.argv) > 3 else os.path.join(tempfile.gettempdir(), "patch-bench-" + name)
    return patchctl, rounds, work


def run_timed(command, work, cwd=None, quiet=False):
    """Runs command; returns (seconds, peak RSS in KiB). The peak comes from GNU time, which starts the
    tool from its own small process: a child forked straight from this interpreter would carry the
    interpreter's resident size into its own peak."""
    report = os.path.join(work, "rss.txt")
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, cwd=cwd, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL if quiet else None, check=True)
    elapsed = time.perf_counter() - start
    with open(report) as f:
        return elapsed, int(f.read().split()[-1])
