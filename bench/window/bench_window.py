#!/usr/bin/env python3
"""The window applying one large patch, against `patchctl update` applying the same patch in the same run.

    bench_window.py BUILD_DIR [ROUNDS] [MIB] [--windows]

With --windows both are the Windows edition under Wine (patch-client.exe and `patchctl.exe update` of the
windows build beside BUILD_DIR, in one prefix of the run's own, made before the first round).

nginx on loopback serves a list with one row: a stored ZIP archive of MIB MiB (default 128) of random
bytes. Each round makes a fresh installation for each tool and runs it: patch-client on a private Xvfb (its
news page a blank page), `patchctl update` without a display. Both are timed the same way, from the moment
the archive's first bytes reach the installation (`tqm_download\\NAME` appears) to the moment the ledger
records the patch: wall time, and CPU time (user + system) of the program and every process it started,
read from /proc at those two moments (a program that has already ended gives its own final figures). The
window is then closed. Prints medians and the ratios ours/peer with the targets (wall within 1.5x, CPU within
2x), and RESULT lines that scripts/bench collects into its table.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import Nginx, launcher_programs, stop_wine, verdict  # noqa: E402

MIB = 1024 * 1024
TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
ARCHIVE = "p0001.zip"
WALL_TARGET = 1.5
CPU_TARGET = 2.0


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def bare_environment():
    return {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def start_xvfb():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        piece = os.read(read, 16)
        if not piece:
            raise RuntimeError("Xvfb did not start")
        number += piece
    os.close(read)
    return server, ":" + number.decode().strip()


def process_table():
    """pid -> (parent pid, CPU seconds, resident MiB) of every process now running."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        table[int(name)] = (int(fields[1]), (int(fields[11]) + int(fields[12])) / TICK,
                            int(fields[21]) * PAGE / MIB)
    return table


def tree_cpu(root):
    """CPU seconds of root and all its descendants, and the largest resident size among them (MiB)."""
    table = process_table()
    children = {}
    for pid, (parent, _, _) in table.items():
        children.setdefault(parent, []).append(pid)
    seconds, resident, todo = 0.0, 0.0, [root]
    while todo:
        pid = todo.pop()
        if pid in table:
            seconds += table[pid][1]
            resident = max(resident, table[pid][2])
        todo.extend(children.get(pid, []))
    return seconds, resident


def recorded(install):
    try:
        with open(os.path.join(install, "tqm_patch.ini")) as f:
            return "1" in f.read().split()
    except OSError:
        return False


def apply_once(command, install, env, timeout, windows=False):
    """Runs command until the patch is recorded; returns (wall s, CPU s, peak resident MiB of one process)."""
    # Where '\\' separates folders (Windows), the stored archive lies in a folder of its own.
    marker = os.path.join(install, "tqm_download", ARCHIVE) if windows else os.path.join(
        install, "tqm_download\\" + ARCHIVE)
    os.sync()  # the last run's written and removed files reach the disk before, not during, this run
    time.sleep(1)
    child = subprocess.Popen(command, cwd=install, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             start_new_session=True)
    ended_usage = []

    def running():
        if not ended_usage:
            pid, _, usage = os.wait4(child.pid, os.WNOHANG)
            if pid == child.pid:
                ended_usage.append(usage)
        return not ended_usage

    def failed(what):
        running()
        errors = child.stderr.read().decode(errors="replace") if ended_usage else ""
        return RuntimeError("%s %s%s" % (command[0], what, ("\n" + errors) if errors else ""))

    deadline = time.monotonic() + timeout
    try:
        while not os.path.exists(marker) and not recorded(install):
            if not running() or time.monotonic() > deadline:
                raise failed("never started the download")
            time.sleep(0.001)
        began = time.perf_counter()
        cpu_began, peak = tree_cpu(child.pid)
        while not recorded(install):
            if time.monotonic() > deadline:
                raise failed("did not apply the patch within %d s" % timeout)
            if not running() and not recorded(install):
                raise failed("ended without applying the patch")
            time.sleep(0.002)
        ended = time.perf_counter()
        cpu_ended, resident = tree_cpu(child.pid) if running() else (0.0, 0.0)
        peak = max(peak, resident)
    finally:
        if running():
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            ended_usage.append(os.wait4(child.pid, 0)[2])
        child.returncode = 0  # reaped above
        child.stderr.close()
    usage = ended_usage[0]
    if cpu_ended == 0.0:  # ended before its last figures could be read: its own final ones count
        cpu_ended = usage.ru_utime + usage.ru_stime
    return ended - began, cpu_ended - cpu_began, max(peak, usage.ru_maxrss / 1024)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    windows = "--windows" in argv
    argv = [a for a in argv if a != "--windows"]
    build = os.path.abspath(argv[1])
    rounds = int(argv[2]) if len(argv) > 2 else 5
    size_mib = int(argv[3]) if len(argv) > 3 else 128
    wine = []
    if windows:
        windows_build = os.path.join(os.path.dirname(build), "windows")
        client = os.path.join(windows_build, "window", "patch-client.exe")
        patchctl = os.path.join(windows_build, "tools", "patchctl.exe")
        for path in (client, patchctl):
            if not os.path.exists(path):
                print("bench window: %s is not built (cmake --preset windows)" % path, file=sys.stderr)
                return 1
        for tool in ("Xvfb", "nginx"):
            if shutil.which(tool) is None:
                print("bench window: %s is not installed (scripts/bootstrap installs it)" % tool, file=sys.stderr)
                return 1
    else:
        programs = launcher_programs("window", build, ("Xvfb", "nginx"))
        if isinstance(programs, int):
            return programs
        client, patchctl = programs

    work = tempfile.mkdtemp(prefix="pc-bench-window-")
    server = xvfb = None
    if windows:
        wine = [os.path.join(ROOT, "scripts", "wine-run"), os.path.join(work, "prefix")]
    try:
        site = os.path.join(work, "site")
        os.makedirs(site)
        with zipfile.ZipFile(os.path.join(site, ARCHIVE), "w", zipfile.ZIP_STORED) as z:
            info = zipfile.ZipInfo("data/big.bin", (2024, 5, 1, 12, 0, 0))
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            with z.open(info, "w", force_zip64=True) as member:
                for _ in range(size_mib):
                    member.write(os.urandom(MIB))
        archive_size = os.path.getsize(os.path.join(site, ARCHIVE))
        server = Nginx(site, os.path.join(work, "nginx"))
        with open(os.path.join(site, "list.txt"), "w", newline="") as f:
            f.write("1\t%s\t%d\t\t0\t\r\n" % (server.url(ARCHIVE), archive_size))
        config = ("client_title=Bench Realm\nnewsfile_url=about:blank\npatchlist_url=%s\nserver_name=Bench Realm\n"
                  "website_url=http://127.0.0.1:9/\ncontrolpanel_url=http://127.0.0.1:9/cp\n"
                  "forum_url=http://127.0.0.1:9/forum\nclient_exe=game.exe\n" % server.url("list.txt"))
        if windows:  # the prefix is made now, not during the first round
            # Without a display and without Wine's own .NET and HTML engines, wineboot asks nothing.
            subprocess.run(wine + ["cmd", "/c", "exit"], env=dict(bare_environment(), WINEDLLOVERRIDES="mscoree,mshtml="),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

        encoded = subprocess.run(wine + [patchctl, "config", "encode"], input=config.encode(), capture_output=True,
                                 check=True).stdout
        xvfb, display = start_xvfb()

        def fresh_install(name):
            install = os.path.join(work, name)
            shutil.rmtree(install, ignore_errors=True)
            os.makedirs(install)
            shutil.copy2(client, install)
            with open(os.path.join(install, "Config.ini"), "wb") as f:
                f.write(encoded)
            return install

        bare = bare_environment()
        program = os.path.basename(client)
        tools = {
            "window": lambda install: apply_once(wine + [os.path.join(install, program)], install,
                                                 dict(bare, DISPLAY=display), 900, windows),
            "patchctl": lambda install: apply_once(wine + [patchctl, "update", install], install, bare, 300,
                                                   windows),
        }
        figures = {name: [] for name in tools}
        print("window benchmark%s: a %d MiB patch from nginx on loopback, %d rounds, medians; load average %s" %
              (" (Windows edition under Wine)" if windows else "", size_mib, rounds, " ".join(open("/proc/loadavg").read().split()[:3])))
        order = list(tools)
        for r in range(rounds):
            for name in order[r % 2:] + order[:r % 2]:
                for other in tools:
                    shutil.rmtree(os.path.join(work, other), ignore_errors=True)
                figures[name].append(tools[name](fresh_install(name)))
                wall, cpu, _ = figures[name][-1]
                print("  round %d %-8s wall %7.3f s  CPU %7.3f s" % (r + 1, name, wall, cpu))

        def median(name, i):
            return statistics.median(f[i] for f in figures[name])

        ours_wall, peer_wall = median("window", 0), median("patchctl", 0)
        ours_cpu, peer_cpu = median("window", 1), median("patchctl", 1)
        ours_peak = max(f[2] for f in figures["window"])
        peer_peak = max(f[2] for f in figures["patchctl"])
        wall_ratio, cpu_ratio = ours_wall / peer_wall, ours_cpu / max(peer_cpu, 0.01)
        print("window: wall %.3f s, patchctl update %.3f s, ratio %.2f (target <= %.1f)" %
              (ours_wall, peer_wall, wall_ratio, WALL_TARGET))
        print("window: CPU %.3f s, patchctl update %.3f s, ratio %.2f (target <= %.1f)" %
              (ours_cpu, peer_cpu, cpu_ratio, CPU_TARGET))
        print("window: load average after the run %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        edition = ", Wine" if windows else ""
        title = "%d MiB patch%s, wall" % (size_mib, edition)
        print("RESULT\twindow\t%s\t%.3f\t%.1f\tpatchctl\t%.3f\t%.1f" % (title, ours_wall, ours_peak, peer_wall, peer_peak))
        title = "%d MiB patch%s, CPU" % (size_mib, edition)
        print("RESULT\twindow\t%s\t%.3f\t%.1f\tpatchctl\t%.3f\t%.1f" % (title, ours_cpu, ours_peak, peer_cpu, peer_peak))
        missed = []
        if wall_ratio > WALL_TARGET:
            missed.append("wall %.2fx > %.1fx" % (wall_ratio, WALL_TARGET))
        if cpu_ratio > CPU_TARGET:
            missed.append("CPU %.2fx > %.1fx" % (cpu_ratio, CPU_TARGET))
        return verdict(missed, "wall within %.1fx and CPU within %.1fx of patchctl update" % (WALL_TARGET, CPU_TARGET))
    finally:
        if server is not None:
            server.stop()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait()
        if windows:
            stop_wine(wine[1])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
