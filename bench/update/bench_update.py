#!/usr/bin/env python3
"""Times `patchctl update`, the launcher's whole update run without a window, against nginx on loopback:

  start:   an installation whose ledger already holds every row of a list of 2,000 and of 65,536 rows
           (nothing to download), against `curl -s -o` fetching the same list: what is left is the cost
           of reading the list and asking the ledger. Targets: the 65,536-row start within 40x of the
           2,000-row one (linear), and under 1 s.
  catch-up: a fresh installation and a list of 2,000 small patches (one file each), against one `curl`
           process fetching every archive followed by `unzip -o -q` of each into the installation.
           Target: ours/peer <= 1.0.

Each round runs the tools in a rotating order; the figures are medians. Peak resident memory is GNU time's.

usage: bench_update.py PATCHCTL [ROUNDS] [WORKDIR]
"""
import io
import os
import shutil
import statistics
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import Nginx, arguments, run_timed, verdict, write_config  # noqa: E402

CATCHUP_PATCHES = 2000
LEDGER_SIZES = (2000, 65536)


def small_archive(i):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        info = zipfile.ZipInfo("data/part%04d.txt" % i, (2024, 5, 1, 12, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        z.writestr(info, ("patch %d of the realm\n" % i) * 40)
    return buffer.getvalue()



def main():
    parsed = arguments("update", __doc__, 5, ("nginx", "curl", "unzip", "/usr/bin/time"))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    shutil.rmtree(work, ignore_errors=True)
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(site, "p"))
    server = Nginx(site, os.path.join(work, "nginx"))
    missed = []
    try:
        print("update benchmark: %d rounds, medians; work directory %s" % (rounds, work))
        # Start-up over a long history: every row already applied.
        start_times = {}
        for rows in LEDGER_SIZES:
            name = "list%d.txt" % rows
            with open(os.path.join(site, name), "w", newline="") as f:
                for i in range(1, rows + 1):
                    f.write("%d\t%s\t100\t\t0\t\r\n" % (i, server.url("p/never%d.zip" % i)))
            install = os.path.join(work, "start%d" % rows)
            os.makedirs(install)
            write_config(patchctl, install, server.url(name))
            with open(os.path.join(install, "tqm_patch.ini"), "w", newline="") as f:
                f.write("".join("%d\r\n" % i for i in range(1, rows + 1)))
            ours, peer, ours_rss, peer_rss = [], [], 0, 0
            for r in range(rounds):
                for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
                    if tool == "ours":
                        s, m = run_timed([patchctl, "update", install], work, quiet=True)
                        ours.append(s)
                        ours_rss = max(ours_rss, m)
                    else:
                        s, m = run_timed(["curl", "-s", "-o", os.path.join(work, "list.out"),
                                          server.url(name)], work, quiet=True)
                        peer.append(s)
                        peer_rss = max(peer_rss, m)
            mo, mp = statistics.median(ours), statistics.median(peer)
            start_times[rows] = mo
            title = "start, %s rows applied" % format(rows, ",")
            print("%s: ours %.3f s  curl (list only) %.3f s  ratio %.2f  peak MiB ours %.1f" %
                  (title, mo, mp, mo / mp, ours_rss / 1024))
            print("RESULT\tupdate\t%s\t%.3f\t%.1f\tcurl list\t%.3f\t%.1f" %
                  (title, mo, ours_rss / 1024, mp, peer_rss / 1024))
        growth = start_times[LEDGER_SIZES[1]] / start_times[LEDGER_SIZES[0]]
        print("start growth 65,536 / 2,000 rows: %.1fx (linear is 32.8x; target <= 40)" % growth)
        if growth > 40:
            missed.append("start growth %.1fx > 40" % growth)
        if start_times[LEDGER_SIZES[1]] >= 1.0:
            missed.append("65,536-row start %.3f s >= 1 s" % start_times[LEDGER_SIZES[1]])

        # Catch-up: 2,000 small patches from one server.
        urls = []
        with open(os.path.join(site, "catchup.txt"), "w", newline="") as f:
            for i in range(1, CATCHUP_PATCHES + 1):
                name = "p/c%04d.zip" % i
                data = small_archive(i)
                with open(os.path.join(site, name), "wb") as a:
                    a.write(data)
                urls.append(server.url(name))
                f.write("%d\t%s\t%d\t\t0\t\r\n" % (i, urls[-1], len(data)))
        curl_config = os.path.join(work, "curl.cfg")
        downloads = os.path.join(work, "downloads")
        with open(curl_config, "w") as f:
            for i, url in enumerate(urls):
                f.write('url = "%s"\noutput = "%s/c%04d.zip"\n' % (url, downloads, i + 1))
        peer_script = os.path.join(work, "peer.sh")
        with open(peer_script, "w") as f:
            f.write('set -e\nrm -rf "%s"; mkdir -p "%s"\ncurl -s -K "%s"\n' % (downloads, downloads, curl_config))
            f.write('for a in "%s"/*.zip; do unzip -o -q "$a" -d "$1"; done\n' % downloads)
        ours, peer, ours_rss, peer_rss = [], [], 0, 0
        for r in range(rounds):
            for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
                install = os.path.join(work, "catchup")
                shutil.rmtree(install, ignore_errors=True)
                os.makedirs(install)
                if tool == "ours":
                    write_config(patchctl, install, server.url("catchup.txt"))
                    s, m = run_timed([patchctl, "update", install], work, quiet=True)
                    with open(os.path.join(install, "tqm_patch.ini")) as ledger:
                        if len(ledger.read().split()) != CATCHUP_PATCHES:
                            missed.append("catch-up did not apply every patch")
                    ours.append(s)
                    ours_rss = max(ours_rss, m)
                else:
                    s, m = run_timed(["bash", peer_script, install], work, quiet=True)
                    peer.append(s)
                    peer_rss = max(peer_rss, m)
        mo, mp = statistics.median(ours), statistics.median(peer)
        title = "catch-up, 2,000 small patches"
        print("%s: ours %.3f s  curl + unzip %.3f s  ratio %.2f  peak MiB ours %.1f" %
              (title, mo, mp, mo / mp, ours_rss / 1024))
        print("RESULT\tupdate\t%s\t%.3f\t%.1f\tcurl+unzip\t%.3f\t%.1f" %
              (title, mo, ours_rss / 1024, mp, peer_rss / 1024))
        if mo / mp > 1.0:
            missed.append("catch-up ours/peer %.2f > 1.0" % (mo / mp))
    finally:
        server.stop()
    return verdict(missed, "linear start under 1 s at 65,536 rows; catch-up <= 1.0x curl + unzip")


if __name__ == "__main__":
    sys.exit(main())
