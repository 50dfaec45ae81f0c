#!/usr/bin/env python3
"""The player's download speed limit: `patchctl update --limit-rate 4M` fetches a 64 MiB patch from nginx on
loopback while the size of the archive on disk is sampled every 50 ms; `curl --limit-rate 4000000` fetches
the same file, sampled the same way, as the peer. Targets: our average within 5% of the limit, and no
2-second window above 1.1 times it.

usage: bench_limit.py BUILD_DIR [MIB] [--windows]
With --windows, patchctl.exe of the windows build beside BUILD_DIR under Wine, in a prefix of the run's own.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import Nginx, stop_wine, verdict  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIMIT = 4000000  # bytes per second: "4M"
ARCHIVE = "payload.zip"
SAMPLE = 0.05


def sampled(command, path, size, env, timeout=600):
    """Runs COMMAND while sampling the size of PATH; returns [(seconds, bytes)] from the first byte until the
    download is whole (or, once it is applied and gone, its last sample)."""
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    samples = []
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            now = time.perf_counter()
            try:
                have = os.path.getsize(path)
            except OSError:
                have = 0
            if have > 0 and (not samples or have >= samples[-1][1]):
                samples.append((now, have))
                if have >= size:
                    break
            if child.poll() is not None:
                break
            time.sleep(SAMPLE)
    finally:
        code = child.wait(timeout=timeout)
    if code != 0 or len(samples) < 2:
        raise RuntimeError("%s failed (exit %d): %s" % (command[0], code, child.stderr.read().decode(errors="replace")))
    return samples


def figures(samples):
    """(average bytes per second from the first to the last sample, the highest rate over 2 s)."""
    (t0, s0), (t1, s1) = samples[0], samples[-1]
    average = (s1 - s0) / (t1 - t0)
    peak, j = 0.0, 0
    for i, (ti, si) in enumerate(samples):
        j = max(j, i)
        while j < len(samples) and samples[j][0] - ti < 2.0:
            j += 1
        if j == len(samples):
            break
        tj, sj = samples[j]
        peak = max(peak, (sj - si) / (tj - ti))
    return average, peak


def main(argv):
    windows = "--windows" in argv
    argv = [a for a in argv if a != "--windows"]
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(argv[1])
    mib = int(argv[2]) if len(argv) > 2 else 64
    if windows:
        patchctl = os.path.join(os.path.dirname(build), "windows", "tools", "patchctl.exe")
    else:
        patchctl = os.path.join(build, "tools", "patchctl")
    for tool in ("nginx", "curl"):
        if shutil.which(tool) is None:
            print("bench download: %s is not installed (scripts/bootstrap installs it)" % tool, file=sys.stderr)
            return 1
    if not os.path.exists(patchctl):
        print("bench download: %s is not built" % patchctl, file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="pc-bench-limit-")
    wine = [os.path.join(ROOT, "scripts", "wine-run"), os.path.join(work, "prefix")] if windows else []
    server = None
    try:
        site = os.path.join(work, "site")
        os.makedirs(site)
        with zipfile.ZipFile(os.path.join(site, ARCHIVE), "w", zipfile.ZIP_STORED) as z:
            z.writestr("payload.bin", os.urandom(mib * 1024 * 1024))
        size = os.path.getsize(os.path.join(site, ARCHIVE))
        with open(os.path.join(site, ARCHIVE), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        server = Nginx(site, os.path.join(work, "nginx"))
        with open(os.path.join(site, "list.txt"), "w", newline="") as f:
            f.write("1\t%s\t%d\t\t0\t%s\r\n" % (server.url(ARCHIVE), size, digest))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "http_proxy")}
        if windows:
            subprocess.run(wine + ["cmd", "/c", "exit"], env=dict(env, WINEDLLOVERRIDES="mscoree,mshtml="),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        install = os.path.join(work, "install")
        os.makedirs(install)
        config = ("client_title=Bench\nnewsfile_url=about:blank\npatchlist_url=%s\nserver_name=Bench\n"
                  "website_url=http://127.0.0.1:9/\ncontrolpanel_url=http://127.0.0.1:9/cp\n"
                  "forum_url=http://127.0.0.1:9/forum\nclient_exe=game\n" % server.url("list.txt"))
        with open(os.path.join(install, "Config.ini"), "wb") as f:
            subprocess.run(wine + [patchctl, "config", "encode"], input=config.encode(), stdout=f, env=env,
                           check=True)
        # Where '\\' separates folders (Windows), the stored archive lies in a folder of its own.
        stored = os.path.join(install, "tqm_download", ARCHIVE) if windows else os.path.join(
            install, "tqm_download\\" + ARCHIVE)
        ours = figures(sampled(wine + [patchctl, "update", install, "--limit-rate", "4M"], stored, size, env))
        theirs = figures(sampled(["curl", "-s", "--limit-rate", str(LIMIT), "-o", os.path.join(work, "curl.bin"),
                                  server.url(ARCHIVE)], os.path.join(work, "curl.bin"), size, env))
        edition = " (Windows edition under Wine)" if windows else ""
        print("download limit%s: %d MiB at --limit-rate 4M (%d bytes/s), sampled every %.0f ms"
              % (edition, mib, LIMIT, SAMPLE * 1000))
        for who, (average, peak) in (("patchctl update", ours), ("curl --limit-rate", theirs)):
            print("  %-17s: average %.3f of the limit, highest 2-second window %.3f" % (who, average / LIMIT,
                                                                                       peak / LIMIT))
        print("RESULT\tdownload\t%d MiB limited to 4 MB/s%s\t%.3f\t0\tcurl --limit-rate\t%.3f\t0"
              % (mib, ", Wine" if windows else "", size / ours[0], size / theirs[0]))
        missed = []
        if abs(ours[0] / LIMIT - 1) > 0.05:
            missed.append("average %.3f of the limit" % (ours[0] / LIMIT))
        if ours[1] > 1.1 * LIMIT:
            missed.append("a 2-second window at %.3f of the limit" % (ours[1] / LIMIT))
        return verdict(missed, "average within 5% of the limit, no 2-second window above 1.1x")
    finally:
        if server is not None:
            server.stop()
        if windows:
            stop_wine(wine[1])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
