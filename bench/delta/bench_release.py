#!/usr/bin/env python3
"""A run of releases made with `patchctl release` (N = 8), and what installations of every standing download:

  thirteen releases of an 8 MiB pack file whose same three 64 KiB blocks are rewritten by every release, with
  a program and a text file that change too.

Figures: a player k = 1..4 releases behind downloads <= 1.05x one direct `pack --delta` from its tree to the
latest (a chain of k patches costs more where releases touch the same blocks); a player 12 releases behind
downloads <= 1.1x the cheaper of the chain and healing from the latest snapshot (its client.zip); an
installation holding only the launcher's Config.ini downloads <= 1.02x the latest client.zip and ends with the
latest tree, byte for byte. Bytes are what nginx served, the list and the manifest included. And the operator's
side: `release` making the last release (its snapshot, its chain patch and 8 direct patches) takes <= 4x the
time of one `pack --delta` from the tree before it, medians of ROUNDS runs each (the release made again on a
copy of the earlier releases).

usage: bench_release.py PATCHCTL [ROUNDS] [WORKDIR]
"""
import os
import random
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_support import arguments, run_timed, verdict, write_config  # noqa: E402
from bench_delta import Nginx, files_of, same, write  # noqa: E402

MIB = 1 << 20
BLOCK = 64 * 1024
RELEASES = 13


def make_releases(work):
    rng = random.Random(32)
    blocks = [rng.randbytes(BLOCK) for _ in range(8 * MIB // BLOCK)]
    program = bytearray(rng.randbytes(600 * 1024))
    trees = {}
    for n in range(1, RELEASES + 1):
        for i in (9, 60, 111):
            blocks[i] = rng.randbytes(BLOCK)
        program[4096 * n:4096 * n + 16] = b"build %10d" % n
        tree = os.path.join(work, "v%d" % n)
        shutil.rmtree(tree, ignore_errors=True)
        write(os.path.join(tree, "data/pack.dat"), b"".join(blocks))
        write(os.path.join(tree, "bin/game"), bytes(program))
        write(os.path.join(tree, "readme.txt"), b"release %d\n" % n)
        trees[n] = tree
    return trees


def install_release(install, tree, n, patchctl, list_url):
    shutil.rmtree(install, ignore_errors=True)
    if tree is None:
        os.makedirs(install)
    else:
        shutil.copytree(tree, install)
        with open(os.path.join(install, "tqm_patch.ini"), "w", newline="") as f:
            f.write("".join("%d\r\n" % i for i in range(1, n)))
    write_config(patchctl, install, list_url)


def time_release(patchctl, site, trees, work, first, rounds, url):
    """The last release made again on copies of the releases before it, against `pack --delta` between the
    last two trees, alternately; prints the medians and returns their ratio."""
    ours, peer = [first], []
    for r in range(rounds):
        copy = os.path.join(work, "rel-copy")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(os.path.join(site, "rel"), copy, ignore=lambda d, names: [
            n for n in names if d == os.path.join(site, "rel") and n == str(RELEASES)])
        shutil.copy(os.path.join(site, "list.txt"), os.path.join(work, "list-copy.txt"))
        if r > 0:
            ours.append(run_timed([patchctl, "release", copy, trees[RELEASES], "--list",
                                   os.path.join(work, "list-copy.txt"), "--url", url, "--deltas", "8"],
                                  work, quiet=True)[0])
        shutil.rmtree(copy, ignore_errors=True)
        out = os.path.join(work, "one.zip")
        for leftover in (out, out[:-4] + "-full.zip"):
            if os.path.exists(leftover):
                os.remove(leftover)
        peer.append(run_timed([patchctl, "pack", trees[RELEASES - 1], trees[RELEASES], out, "--delta"], work,
                              quiet=True)[0])
    ours_s, peer_s = statistics.median(ours), statistics.median(peer)
    ratio = ours_s / peer_s
    print("release with N = 8: %.2f s  one pack --delta %.2f s  ratio %.2f  (%d round%s, medians)"
          % (ours_s, peer_s, ratio, rounds, "" if rounds == 1 else "s"))
    print("RESULT\tdelta\trelease, N = 8\t%.3f\t-\tpack --delta\t%.3f\t-" % (ours_s, peer_s))
    return ratio


def main():
    parsed = arguments("delta", __doc__, 1, ("nginx",))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    work = os.path.join(work, "release")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    missed = []
    trees = make_releases(work)
    site = os.path.join(work, "site")
    os.makedirs(site)
    server = Nginx(site, os.path.join(work, "nginx"))
    try:
        list_url = server.url("list.txt")
        release_times = []
        for n in range(1, RELEASES + 1):
            s, _ = run_timed([patchctl, "release", os.path.join(site, "rel"), trees[n], "--list",
                              os.path.join(site, "list.txt"), "--url", server.url("rel"), "--deltas", "8"],
                             work, quiet=True)
            release_times.append(s)
        print("release: %d releases, N = 8, %.1f s for the last (%.1f s in all)"
              % (RELEASES, release_times[-1], sum(release_times)))
        ratio = time_release(patchctl, site, trees, work, release_times[-1], rounds, server.url("rel"))
        if ratio > 4:
            missed.append("release with N = 8: %.2fx > 4x one pack --delta" % ratio)
        latest = os.path.join(site, "rel/%d" % RELEASES)
        install = os.path.join(work, "install")

        def update(n, tree):
            install_release(install, tree, n, patchctl, list_url)
            open(server.log, "w").close()
            run_timed([patchctl, "update", install], work, quiet=True)
            for name, path in files_of(trees[RELEASES]).items():
                if not same(path, os.path.join(install, name)):
                    missed.append("release %d's installation did not become the latest tree (%s)" % (n, name))
                    break
            return server.served()

        for k in range(1, 5):
            n = RELEASES - k
            direct = os.path.join(work, "direct-%d.zip" % n)
            for leftover in (direct, direct[:-4] + "-full.zip"):
                if os.path.exists(leftover):
                    os.remove(leftover)
            subprocess.run([patchctl, "pack", trees[n], trees[RELEASES], direct, "--delta"], check=True,
                           capture_output=True)
            chain = sum(os.path.getsize(os.path.join(site, "rel/%d/%d-from-%d.zip" % (m + 1, m + 1, m)))
                        for m in range(n, RELEASES))
            served = update(n, trees[n])
            ratio = served / os.path.getsize(direct)
            print("%d behind: served %d bytes  one pack --delta %d  ratio %.3f  (chain %d, %.2fx)"
                  % (k, served, os.path.getsize(direct), ratio, chain, chain / os.path.getsize(direct)))
            print("RESULT\tdelta\t%d behind, bytes\t%d\t-\tpack --delta\t%d\t-" % (k, served, os.path.getsize(direct)))
            if ratio > 1.05:
                missed.append("%d behind: %.3fx > 1.05x one pack --delta" % (k, ratio))

        chain = sum(os.path.getsize(os.path.join(site, "rel/%d/%d-from-%d.zip" % (m + 1, m + 1, m))) for m in range(1, RELEASES))
        heal = os.path.getsize(os.path.join(latest, "client.zip"))
        served = update(1, trees[1])
        ratio = served / min(chain, heal)
        print("12 behind: served %d bytes  chain %d  snapshot %d  ratio to the cheaper %.3f" % (served, chain, heal, ratio))
        print("RESULT\tdelta\t12 behind, bytes\t%d\t-\tmin(chain, snapshot)\t%d\t-" % (served, min(chain, heal)))
        if ratio > 1.1:
            missed.append("12 behind: %.3fx > 1.1x the cheaper of chain and snapshot" % ratio)

        served = update(0, None)
        ratio = served / heal
        print("from nothing: served %d bytes  client.zip %d  ratio %.3f" % (served, heal, ratio))
        print("RESULT\tdelta\tfrom nothing, bytes\t%d\t-\tclient.zip\t%d\t-" % (served, heal))
        if ratio > 1.02:
            missed.append("from nothing: %.3fx > 1.02x client.zip" % ratio)
    finally:
        server.stop()
    return verdict(missed, "release <= 4x one pack --delta, k behind <= 1.05x one pack --delta, 12 behind <= 1.1x the cheaper road, "
                           "from nothing <= 1.02x client.zip, trees identical")


if __name__ == "__main__":
    sys.exit(main())
