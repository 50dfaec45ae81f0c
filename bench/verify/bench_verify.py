#!/usr/bin/env python3
"""Checking and healing an installation against a published snapshot, with nginx on loopback:

  verify:  `patchctl verify DIR` of an intact installation of a generated client (four large packed files
           and 300 small ones, about 100 MiB, generated with a fixed seed; page cache warm) against
           `sha256sum` of the same files. Target: ours at most 0.6x sha256sum (two cores).
  repair:  `patchctl repair DIR` of the same installation with three files damaged (a large one cut short,
           a small one changed, a small one deleted) against `curl` of the whole client.zip plus `unzip -o`
           of it over the installation. Target: the bytes nginx sent for the repair at most the damaged
           entries plus the archive's directory plus 512 KiB.

Each round runs the tools in alternating order; the figures are medians. Peak resident memory is GNU time's;
bytes sent are nginx's body bytes, from its access log.

usage: bench_verify.py PATCHCTL [ROUNDS] [WORKDIR]
"""
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from bench_support import Nginx, arguments, run_timed, verdict, write_config  # noqa: E402

MIB = 1024 * 1024
KIB = 1024
SEED = 20261208
LARGE_FILES = 4
LARGE_SIZE = 22 * MIB
SMALL_FILES = 300
VERIFY_TARGET = 0.6
REPAIR_SLACK = 512 * KIB
# The files the repair rounds damage: a large one cut short, a small one changed, a small one deleted.
DAMAGED = ("data/pack01.pak", "data/sounds/s0040.dat", "data/textures/t0125.dat")


def write_client(root, rng):
    """Large packed files (half of each block random, half text-like, as packed game data is) and small
    text-like files of 1 to 64 KiB in a few folders."""
    words = [("".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))).encode()
             for _ in range(2000)]

    def text(size):
        out = bytearray()
        while len(out) < size:
            out += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
        return bytes(out[:size])

    os.makedirs(os.path.join(root, "data"), exist_ok=True)
    for i in range(LARGE_FILES):
        with open(os.path.join(root, "data", "pack%02d.pak" % i), "wb") as f:
            for _ in range(LARGE_SIZE // MIB):
                f.write(rng.randbytes(MIB // 2) + text(MIB // 2))
    folders = ("data/sounds", "data/textures", "maps", "scripts")
    for i in range(SMALL_FILES):
        folder = folders[i % len(folders)]
        prefix = {"data/sounds": "s", "data/textures": "t", "maps": "m", "scripts": "c"}[folder]
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        with open(os.path.join(root, folder, "%s%04d.dat" % (prefix, i)), "wb") as f:
            f.write(text(rng.randint(1 * KIB, 64 * KIB)))
    with open(os.path.join(root, "Game.exe"), "wb") as f:
        f.write(rng.randbytes(3 * MIB))


def client_files(root):
    names = []
    for folder, _, files in os.walk(root):
        names += [os.path.relpath(os.path.join(folder, name), root) for name in files]
    return sorted(names)


def damage(install, client):
    """Puts the three damaged files back into their damaged state (from the intact client)."""
    for name in DAMAGED:
        shutil.copyfile(os.path.join(client, name), os.path.join(install, name))
    with open(os.path.join(install, DAMAGED[0]), "r+b") as f:
        f.truncate(LARGE_SIZE // 3)
    with open(os.path.join(install, DAMAGED[1]), "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0xFF]))
    os.remove(os.path.join(install, DAMAGED[2]))


def repair_allowance(archive):
    """The damaged entries' bytes in the archive (local header to the next header) plus the directory and
    the end records, plus the slack the target allows."""
    size = os.path.getsize(archive)
    with zipfile.ZipFile(archive) as z:
        infos = sorted(z.infolist(), key=lambda i: i.header_offset)
        directory_at = z.start_dir
    entries = 0
    for k, info in enumerate(infos):
        if info.filename in DAMAGED:
            end = infos[k + 1].header_offset if k + 1 < len(infos) else directory_at
            entries += end - info.header_offset
    return entries, size - directory_at, entries + (size - directory_at) + REPAIR_SLACK


def body_bytes(log):
    total = 0
    with open(log) as f:
        for line in f:
            total += int(line.split()[-1])
    return total


def same_files(a, b, names):
    for name in names:
        with open(os.path.join(a, name), "rb") as x, open(os.path.join(b, name), "rb") as y:
            if hashlib.sha256(x.read()).digest() != hashlib.sha256(y.read()).digest():
                return False
    return True


def main():
    parsed = arguments("verify", __doc__, 5, ("nginx", "curl", "unzip", "sha256sum", "/usr/bin/time"))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    os.makedirs(work, exist_ok=True)
    client = os.path.join(work, "client-v1")
    if not os.path.isdir(client):
        shutil.rmtree(client + ".part", ignore_errors=True)
        write_client(client + ".part", random.Random(SEED))
        os.rename(client + ".part", client)
    names = client_files(client)
    total = sum(os.path.getsize(os.path.join(client, n)) for n in names)
    for scratch in ("site", "nginx", "install", "peer"):
        shutil.rmtree(os.path.join(work, scratch), ignore_errors=True)
    site = os.path.join(work, "site")
    os.makedirs(site)
    subprocess.run([patchctl, "snapshot", client, os.path.join(site, "client")], check=True,
                   stdout=subprocess.DEVNULL)
    archive = os.path.join(site, "client", "client.zip")
    server = Nginx(site, os.path.join(work, "nginx"), body_log=True)
    missed = []
    try:
        subprocess.run([patchctl, "publish", os.path.join(site, "list.txt"), "--client",
                        os.path.join(site, "client", "client.manifest"), server.url("client/client.manifest")],
                       check=True, stdout=subprocess.DEVNULL)
        install = os.path.join(work, "install")
        shutil.copytree(client, install)
        write_config(patchctl, install, server.url("list.txt"), client_exe="Game.exe")
        print("verify benchmark: %d rounds, medians; %d files, %.1f MiB; archive %.1f MiB; work directory %s"
              % (rounds, len(names), total / MIB, os.path.getsize(archive) / MIB, work))

        # Verify: the page cache warm for both, every file read by each.
        subprocess.run(["cat"] + names, cwd=install, stdout=subprocess.DEVNULL, check=True)
        if subprocess.run([patchctl, "verify", install], stdout=subprocess.DEVNULL).returncode != 0:
            print("patchctl verify does not find the intact installation intact")
            return 1
        ours, peer, ours_rss, peer_rss = [], [], 0, 0
        for r in range(rounds):
            for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
                if tool == "ours":
                    s, m = run_timed([patchctl, "verify", install], work, quiet=True)
                    ours.append(s)
                    ours_rss = max(ours_rss, m)
                else:
                    s, m = run_timed(["sha256sum", "--"] + names, work, cwd=install, quiet=True)
                    peer.append(s)
                    peer_rss = max(peer_rss, m)
        mo, mp = statistics.median(ours), statistics.median(peer)
        title = "verify %d files, %d MiB" % (len(names), round(total / MIB))
        print("%s: ours %.3f s  sha256sum %.3f s  ratio %.2f  peak MiB ours %.1f" %
              (title, mo, mp, mo / mp, ours_rss / 1024))
        print("RESULT\tverify\t%s\t%.3f\t%.1f\tsha256sum\t%.3f\t%.1f" %
              (title, mo, ours_rss / 1024, mp, peer_rss / 1024))
        if mo / mp > VERIFY_TARGET:
            missed.append("verify ours/sha256sum %.2f > %.1f" % (mo / mp, VERIFY_TARGET))

        # Repair of three damaged files against fetching and unpacking the whole client.
        entries, directory, allowed = repair_allowance(archive)
        log = server.body_log_path()
        peer_dir = os.path.join(work, "peer")
        peer_script = os.path.join(work, "peer.sh")
        with open(peer_script, "w") as f:
            f.write('set -e\ncurl -s -f -o "%s/client.zip" "%s"\nunzip -o -q "%s/client.zip" -d "%s"\n'
                    % (work, server.url("client/client.zip"), work, peer_dir))
        ours, peer, ours_rss, peer_rss, sent, peer_sent = [], [], 0, 0, [], []
        for r in range(rounds):
            for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
                if tool == "ours":
                    damage(install, client)
                    open(log, "w").close()
                    s, m = run_timed([patchctl, "repair", install], work, quiet=True)
                    sent.append(body_bytes(log))
                    if not same_files(install, client, names):
                        missed.append("repair did not make the installation whole")
                    ours.append(s)
                    ours_rss = max(ours_rss, m)
                else:
                    shutil.rmtree(peer_dir, ignore_errors=True)
                    shutil.copytree(install, peer_dir)
                    damage(peer_dir, client)
                    open(log, "w").close()
                    s, m = run_timed(["bash", peer_script], work, quiet=True)
                    peer_sent.append(body_bytes(log))
                    peer.append(s)
                    peer_rss = max(peer_rss, m)
        mo, mp = statistics.median(ours), statistics.median(peer)
        title = "repair 3 of %d files" % len(names)
        print("%s: ours %.3f s  curl + unzip %.3f s  ratio %.2f  peak MiB ours %.1f" %
              (title, mo, mp, mo / mp, ours_rss / 1024))
        print("    bytes sent: ours %d (at most %d: entries %d + directory %d + %d)  curl %d" %
              (max(sent), allowed, entries, directory, REPAIR_SLACK, max(peer_sent)))
        print("RESULT\tverify\t%s\t%.3f\t%.1f\tcurl+unzip\t%.3f\t%.1f" %
              (title, mo, ours_rss / 1024, mp, peer_rss / 1024))
        if max(sent) > allowed:
            missed.append("repair fetched %d bytes > %d" % (max(sent), allowed))
    finally:
        server.stop()
    return verdict(sorted(set(missed)),
                   "verify <= %.1fx sha256sum; repair within the damaged entries + directory + 512 KiB" % VERIFY_TARGET)


if __name__ == "__main__":
    sys.exit(main())
