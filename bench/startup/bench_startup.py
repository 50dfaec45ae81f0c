#!/usr/bin/env python3
"""Start-up time of patch-client to its first painted frame, under Xvfb, against ImageMagick's `display`
showing the launcher's own background picture, measured the same way in the same run.

    bench_startup.py BUILD_DIR [ROUNDS]

Xvfb keeps its screen in a memory-mapped file (-fbdir); the time runs from starting the program to the first
moment any pixel of that screen differs from the empty screen. Each program is ended after its frame and
the screen is back to empty before the next start. Prints medians, the ratio and each program's peak
resident memory, and RESULT lines that scripts/bench collects into its table.
"""
import mmap
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import launcher_programs  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1024 * 1024


class Screen:
    """A private Xvfb whose framebuffer this process can read."""

    def __init__(self, work):
        self.fbdir = os.path.join(work, "fb")
        os.makedirs(self.fbdir)
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-fbdir", self.fbdir, "-br",
             "-nolisten", "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            piece = os.read(read, 16)
            if not piece:
                raise RuntimeError("Xvfb did not start")
            number += piece
        os.close(read)
        self.display = ":" + number.decode().strip()
        self.file = open(os.path.join(self.fbdir, "Xvfb_screen0"), "rb")
        self.map = mmap.mmap(self.file.fileno(), 0, access=mmap.ACCESS_READ)
        header_size, = struct.unpack(">I", self.map[0:4])
        colours, = struct.unpack(">I", self.map[76:80])
        self.pixels = header_size + colours * 12
        self.empty = self.map[self.pixels:]

    def painted(self):
        return self.map[self.pixels:] != self.empty

    def close(self):
        self.map.close()
        self.file.close()
        self.server.terminate()
        self.server.wait()


def first_frame(screen, command, cwd):
    """Seconds from start to the first painted pixel, and the program's peak RSS in KiB."""
    deadline = time.monotonic() + 5
    while screen.painted() and time.monotonic() < deadline:
        time.sleep(0.01)  # the previous program's window is still going away
    env = dict(os.environ, DISPLAY=screen.display)
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
    seconds = None
    while time.perf_counter() - start < 60:
        if screen.painted():
            seconds = time.perf_counter() - start
            break
        if child.poll() is not None:
            break
        time.sleep(0.0005)
    time.sleep(0.3)
    try:
        os.killpg(child.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    for _ in range(200):
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid == child.pid:
            break
        time.sleep(0.01)
    else:
        os.killpg(child.pid, signal.SIGKILL)
        pid, status, usage = os.wait4(child.pid, 0)
    child.returncode = 0  # reaped above
    if seconds is None:
        raise RuntimeError("%s painted nothing" % command[0])
    return seconds, usage.ru_maxrss


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(argv[1])
    rounds = int(argv[2]) if len(argv) > 2 else 5
    picture = os.path.join(ROOT, "assets", "background.bmp")
    programs = launcher_programs("startup", build, ("Xvfb", "display"))
    if isinstance(programs, int):
        return programs
    client, patchctl = programs

    work = tempfile.mkdtemp(prefix="pc-bench-startup-")
    screen = None
    try:
        # An installation: the launcher and its Config.ini; the update that follows the first frame finds
        # no server, which does not concern the start-up.
        install = os.path.join(work, "install")
        os.makedirs(install)
        shutil.copy2(client, install)
        config = ("client_title=Bench Realm\nnewsfile_url=about:blank\n"
                  "patchlist_url=http://127.0.0.1:9/patchlist.txt\nserver_name=Bench Realm\n"
                  "website_url=http://127.0.0.1:9/\ncontrolpanel_url=http://127.0.0.1:9/cp\n"
                  "forum_url=http://127.0.0.1:9/forum\nclient_exe=game.exe\n")
        encoded = subprocess.run([patchctl, "config", "encode"], input=config.encode(), capture_output=True,
                                 check=True).stdout
        with open(os.path.join(install, "Config.ini"), "wb") as f:
            f.write(encoded)

        screen = Screen(work)
        programs = {
            "patch-client": [os.path.join(install, "patch-client")],
            "display": ["display", "-geometry", "+0+0", picture],
        }
        times = {name: [] for name in programs}
        peaks = {name: 0 for name in programs}
        order = list(programs)
        for r in range(rounds):
            for name in order[r % 2:] + order[:r % 2]:
                seconds, peak = first_frame(screen, programs[name], install)
                times[name].append(seconds)
                peaks[name] = max(peaks[name], peak)
        ours = statistics.median(times["patch-client"])
        peer = statistics.median(times["display"])
        print("startup: first painted frame under Xvfb, %d rounds, medians" % rounds)
        print("startup: patch-client %.3f s, display (same picture) %.3f s, ratio %.2f" % (ours, peer, ours / peer))
        print("startup: peak RSS MiB: patch-client %.1f  display %.1f" %
              (peaks["patch-client"] / 1024, peaks["display"] / 1024))
        print("RESULT\tstartup\tfirst painted frame\t%.3f\t%.1f\tdisplay\t%.3f\t%.1f" %
              (ours, peaks["patch-client"] / 1024, peer, peaks["display"] / 1024))
        return 0
    finally:
        if screen is not None:
            screen.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
