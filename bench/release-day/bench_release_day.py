#!/usr/bin/env python3
"""Release day on loopback: LAUNCHERS fresh installations run `patchctl update` all at once against one
nginx that limits the request rate (limit_req, answering 503 with Retry-After), as thousands of launchers
do when a server publishes a patch. Each round runs it twice: with the launcher's retry pauses as they are
(the server's Retry-After honoured, every pause spread at random) and with every launcher retrying at the
same fixed pauses.

Measured from nginx's access log and the processes: the peak request rate in any one second (503s
included: what the server has to turn away is load too), the 503s sent, and the time from the start until
the last launcher finished. Every installation must end with the patch applied and recorded once.
Targets: the spread peak at most half the fixed one, and the spread total time no worse than the fixed.

With --preload the row carries a release time: every installation first downloads the archive before it
(not measured), then all start within one second of the moment, which the list then shows as passed. Every
one must apply the patch, no archive byte may be served from the moment on (only the list), and the last
must finish within 2 s of the start; the same run's release without preload is the peer.

usage: bench_release_day.py PATCHCTL [--preload] [ROUNDS] [WORKDIR] [LAUNCHERS]
"""
import hashlib
import io
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import Nginx, arguments, verdict, write_config  # noqa: E402

LAUNCHERS = 200
# What the server takes: requests per second beyond a short burst are turned away with 503, and told when
# to come back.
RATE_PER_SECOND = 50
BURST = 100
RETRY_AFTER_SECONDS = 6
# The benchmark's knob for the fixed pauses (read by patchctl only; the launcher reads no environment).
FIXED_PAUSES = {"PATCHCTL_FIXED_RETRY_PAUSES": "1"}
DATA = b"the release day's patch\n" * 2000


def busy_server(site, state):
    http = ("  limit_req_zone $binary_remote_addr zone=release:1m rate=%dr/s;\n"
            "  log_format stamp '$msec $status $uri';\n" % RATE_PER_SECOND)
    server = ("    access_log %s/access.log stamp;\n"
              "    limit_req zone=release burst=%d nodelay;\n"
              "    limit_req_status 503;\n"
              "    error_page 503 @busy;\n"
              "    location @busy { add_header Retry-After %d always; return 503; }\n"
              % (state, BURST, RETRY_AFTER_SECONDS))
    return Nginx(site, state, http=http, server=server)


def signal_server(server, number):
    """Sends NUMBER to nginx's master and its workers."""
    pid = server.process.pid
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        workers = [int(w) for w in f.read().split()]
    for p in [pid] + workers:
        os.kill(p, number)


def waiting_connections(port):
    """The connections waiting in the accept queue of the loopback listener on PORT."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, state, queues = fields[1], fields[3], fields[4]
            if state == "0A" and int(local.split(":")[1], 16) == port:
                return int(queues.split(":")[1], 16)
    return 0


def release_day(patchctl, work, launchers, environment, preload=False):
    """One release: returns (seconds until the last finished, peak requests in one second, 503s, failures);
    with PRELOAD also the archive requests from the release on."""
    shutil.rmtree(work, ignore_errors=True)
    site = os.path.join(work, "site")
    os.makedirs(site)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("release.txt", DATA)
    with open(os.path.join(site, "p1.zip"), "wb") as f:
        f.write(buffer.getvalue())
    state = os.path.join(work, "nginx")
    server = busy_server(site, state)
    try:
        digest = hashlib.sha256(buffer.getvalue()).hexdigest()

        def publish(available):
            tag = "\tavailable=" + time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(available)) if preload else ""
            with open(os.path.join(site, "list.txt"), "w", newline="") as f:
                f.write("1\t%s\t%d\t\t0\t%s%s\r\n" % (server.url("p1.zip"), len(buffer.getvalue()), digest, tag))
        publish(time.time() + 3600)
        installs = []
        for i in range(launchers):
            install = os.path.join(work, "i%03d" % i)
            os.makedirs(install)
            write_config(patchctl, install, server.url("list.txt"), encode_options=())
            installs.append(install)
        env = dict(os.environ, **environment)
        env.pop("http_proxy", None)
        preload_failures = []
        if preload:
            # Before the release, a few at a time as players start their launchers over the hours before it.
            for batch in range(0, launchers, 4):
                running = [(install, subprocess.Popen([patchctl, "update", install], env=env,
                                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
                           for install in installs[batch:batch + 4]]
                for install, p in running:
                    out = p.communicate()[0].decode(errors="replace")
                    if p.returncode != 0 or "is ready; it applies at" not in out or \
                            os.path.exists(os.path.join(install, "release.txt")):
                        preload_failures.append("%s: preload exit %d" % (os.path.basename(install), p.returncode))
            # The release moment has come: the list says so (same URL, same SHA-256).
            publish(time.time() - 1)
        served_before = sum(1 for _ in open(os.path.join(state, "access.log")))
        # All at once: nginx is held while the launchers start, so that their requests wait in its listen
        # queue and reach it in the same moment, as a release's do; the clock starts when it goes on.
        signal_server(server, signal.SIGSTOP)
        processes = [subprocess.Popen([patchctl, "update", install], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL) for install in installs]
        deadline = time.time() + 120
        while waiting_connections(server.port) < launchers and time.time() < deadline:
            time.sleep(0.05)
        start = time.perf_counter()
        released = time.time()
        signal_server(server, signal.SIGCONT)
        codes = [p.wait() for p in processes]
        elapsed = time.perf_counter() - start
    finally:
        server.stop()
    failures = []
    for install, code in zip(installs, codes):
        ledger = os.path.join(install, "tqm_patch.ini")
        recorded = open(ledger, newline="").read() if os.path.exists(ledger) else ""
        applied = os.path.exists(os.path.join(install, "release.txt")) and \
            open(os.path.join(install, "release.txt"), "rb").read() == DATA
        if code != 0 or recorded != "1\r\n" or not applied:
            failures.append("%s: exit %d, ledger %r" % (os.path.basename(install), code, recorded))
    failures = preload_failures + failures
    stamps = []
    busy = 0
    archive_requests = 0
    with open(os.path.join(state, "access.log")) as log:
        for number, line in enumerate(log):
            if number < served_before:
                continue
            stamp, status, uri = (line.split() + [""])[:3]
            stamps.append(float(stamp))
            busy += status == "503"
            archive_requests += uri.endswith("/p1.zip")
    first_wave, peak = busiest_second(sorted(stamps), released)
    return elapsed, first_wave, peak, busy, failures, archive_requests


def busiest_second(stamps, released):
    """The requests of the first second after the release (the wave the start itself makes, the same
    whatever the pauses), and the most requests in any one second after it (sliding): the retries."""
    first = [t for t in stamps if t < released + 1.0]
    later = [t for t in stamps if t >= released + 1.0]
    peak, low = 0, 0
    for high in range(len(later)):
        while later[high] - later[low] >= 1.0:
            low += 1
        peak = max(peak, high - low + 1)
    return len(first), peak


def main_preload(patchctl, rounds, work, launchers):
    print("release-day benchmark, preload: %d launchers that preloaded start at the release moment, nginx at "
          "%d requests/s (burst %d); against the same release without preload; %d rounds, medians; work "
          "directory %s" % (launchers, RATE_PER_SECOND, BURST, rounds, work))
    times = {"preload": [], "plain": []}
    missed = []
    for r in range(rounds):
        for mode in (["preload", "plain"] if r % 2 == 0 else ["plain", "preload"]):
            elapsed, _, _, busy, failures, archives = release_day(
                patchctl, os.path.join(work, mode), launchers, {}, preload=mode == "preload")
            print("  round %d %-7s: last finished after %5.2f s; %3d answered 503; %3d archive requests at the "
                  "release%s" % (r + 1, mode, elapsed, busy, archives,
                                 "" if not failures else "; NOT APPLIED: %d (%s)" % (len(failures),
                                                                                    "; ".join(failures[:3]))))
            times[mode].append(elapsed)
            if mode == "preload":
                if failures:
                    missed.append("%d installations not preloaded and applied once" % len(failures))
                if archives:
                    missed.append("%d archive requests at the release" % archives)
    preload_time = statistics.median(times["preload"])
    plain_time = statistics.median(times["plain"])
    print("preloaded: last finished after %.2f s (target <= 2.0); without preload %.2f s" % (preload_time, plain_time))
    print("RESULT\trelease-day\t%d preloaded updates at the moment\t%.3f\t0\tno preload\t%.3f\t0"
          % (launchers, preload_time, plain_time))
    if preload_time > 2.0:
        missed.append("last finished after %.2f s > 2 s" % preload_time)
    return verdict(missed, "every installation applied once, no archive bytes at the release, within 2 s")


def main():
    preload = "--preload" in sys.argv
    if preload:
        sys.argv.remove("--preload")
    parsed = arguments("release-day", __doc__, 3, ("nginx",))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    launchers = int(sys.argv[4]) if len(sys.argv) > 4 else LAUNCHERS
    if preload:
        return main_preload(patchctl, rounds, work, launchers)
    print("release-day benchmark: %d launchers at once, nginx at %d requests/s (burst %d, 503 with "
          "Retry-After: %d), %d rounds, medians; work directory %s"
          % (launchers, RATE_PER_SECOND, BURST, RETRY_AFTER_SECONDS, rounds, work))
    results = {"spread": [], "fixed": []}
    gave_up = {"spread": 0, "fixed": 0}
    missed = []
    for r in range(rounds):
        for mode in (["spread", "fixed"] if r % 2 == 0 else ["fixed", "spread"]):
            elapsed, first_wave, peak, busy, failures, _ = release_day(
                patchctl, os.path.join(work, mode), launchers, FIXED_PAUSES if mode == "fixed" else {})
            print("  round %d %-6s: last finished after %5.2f s; first second %3d requests, then at most %3d "
                  "requests/s; %3d answered 503%s"
                  % (r + 1, mode, elapsed, first_wave, peak, busy, "" if not failures else
                     "; NOT APPLIED: %d (%s%s)" % (len(failures), "; ".join(failures[:3]),
                                                  " ..." if len(failures) > 3 else "")))
            # Launchers that give up with fixed pauses are what spreading them is for; with spread ones none may.
            if failures and mode == "spread":
                missed.append("%d installations not applied exactly once" % len(failures))
            gave_up[mode] += len(failures)
            results[mode].append((elapsed, peak))
    spread_time = statistics.median(t for t, _ in results["spread"])
    fixed_time = statistics.median(t for t, _ in results["fixed"])
    spread_peak = statistics.median(p for _, p in results["spread"])
    fixed_peak = statistics.median(p for _, p in results["fixed"])
    for mode, seconds, peak in (("spread", spread_time, spread_peak), ("fixed", fixed_time, fixed_peak)):
        print("%-6s pauses: last finished after %.2f s, peak %.0f requests/s after the first second; "
              "%d of %d launchers gave up" % (mode, seconds, peak, gave_up[mode], launchers * rounds))
    print("peak ratio spread/fixed %.2f (target <= 0.5), time ratio %.2f (target <= 1.0)"
          % (spread_peak / max(fixed_peak, 1), spread_time / fixed_time))
    title = "%d updates at once, to the last" % launchers
    print("RESULT\trelease-day\t%s\t%.3f\t0\tfixed pauses\t%.3f\t0" % (title, spread_time, fixed_time))
    if spread_peak > fixed_peak / 2:
        missed.append("peak %.0f/s > half of %.0f/s" % (spread_peak, fixed_peak))
    if spread_time > fixed_time:
        missed.append("time %.2f s > %.2f s" % (spread_time, fixed_time))
    return verdict(missed, "every installation applied once; peak at most half, time no worse")


if __name__ == "__main__":
    sys.exit(main())
