#!/usr/bin/env python3
"""Delta patches on generated game-update shapes, against xdelta3:

  a packed data file of 64 MiB of 64 KiB blocks with 2 % of its blocks rewritten and 5 blocks inserted and 5
  deleted; a program rebuilt from C with a few functions changed; a 32 MiB file with 2 MiB appended; 200 text
  files of which 20 change, 10 go and 10 come.

It prints the archive's size (`patchctl pack --delta`) against `xdelta3 -9` of every changed file plus
`zip -9` of the added ones; the time of `patchctl update` (from nginx on loopback: the list, the patch, the
deltas decoded, verified and put in place, the removals) against `xdelta3 -d` of the same files; the time and
peak memory of `pack` (against `xdelta3 -9` encoding); the bytes nginx served during the update.
Targets: size <= 1.01x, pack time <= 3x, apply time <= 1.0x, bytes served within 256 KiB of the archive, update's peak memory
within the largest old file plus 128 MiB. Then the 2.5 GiB file of big_file.py, with targets of its own.

usage: bench_delta.py PATCHCTL [ROUNDS] [WORKDIR]
"""
import grp
import os
import pwd
import random
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_support import arguments, free_port, run_timed, verdict, wait_for_listener, write_config  # noqa: E402
import big_file  # noqa: E402

MIB = 1 << 20
BLOCK = 64 * 1024


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def c_program(variant, changed):
    """C source with 400 functions; those in `changed` differ in the new variant."""
    lines = ["#include <stdio.h>", "#include <stdlib.h>"]
    for i in range(400):
        k = 7 + (i * 13) % 97 + (1000 if variant and i in changed else 0)
        lines.append("int f%d(int x) { int s = %d; for (int i = 0; i < x; ++i) s = s * %d + i %% %d; "
                     "if (s %% 3 == %d) puts(\"message %d of the realm\"); return s; }"
                     % (i, i, k, k + 1, i % 3, i * (2 if variant and i in changed else 1)))
    lines.append("int main(int argc, char** argv) { int t = 0;")
    lines += ["  t += f%d(argc + %d);" % (i, i % 5) for i in range(400)]
    lines.append("  printf(\"%d\\n\", t); return 0; }")
    return "\n".join(lines) + "\n"


def make_trees(work):
    rng = random.Random(2024)
    old, new = os.path.join(work, "old"), os.path.join(work, "new")
    shutil.rmtree(old, ignore_errors=True)
    shutil.rmtree(new, ignore_errors=True)
    # A packed data file: compressed assets look random.
    blocks = [rng.randbytes(BLOCK) for _ in range(64 * MIB // BLOCK)]
    write(os.path.join(old, "data/assets.pak"), b"".join(blocks))
    count = len(blocks)
    for i in rng.sample(range(count), count * 2 // 100):
        blocks[i] = rng.randbytes(BLOCK)
    for i in sorted(rng.sample(range(count), 5), reverse=True):
        del blocks[i]
    for i in rng.sample(range(len(blocks)), 5):
        blocks.insert(i, rng.randbytes(BLOCK))
    write(os.path.join(new, "data/assets.pak"), b"".join(blocks))
    # A program rebuilt with a few functions changed.
    for tree, variant in ((old, False), (new, True)):
        source = os.path.join(work, "game%d.c" % variant)
        with open(source, "w") as f:
            f.write(c_program(variant, {17, 120, 333}))
        os.makedirs(os.path.join(tree, "bin"), exist_ok=True)
        subprocess.run(["cc", "-O2", "-o", os.path.join(tree, "bin/game"), source], check=True)
    # A large file with data appended.
    log = rng.randbytes(32 * MIB)
    write(os.path.join(old, "data/world.db"), log)
    write(os.path.join(new, "data/world.db"), log + rng.randbytes(2 * MIB))
    # Text files changed, removed and added.
    words = ["realm", "sword", "quest", "dragon", "gold", "guild", "castle", "forest", "potion", "spell"]
    for i in range(200):
        text = "".join("%s %d %s\n" % (rng.choice(words), rng.randrange(10000), rng.choice(words))
                       for _ in range(400))
        if i < 190:
            write(os.path.join(old, "text/t%03d.txt" % i), text.encode())
        if i >= 10:
            if 20 <= i < 40:
                text = text.replace("gold", "silver")
            write(os.path.join(new, "text/t%03d.txt" % i), text.encode())
    return old, new


def files_of(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = path
    return found


def same(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as x, open(b, "rb") as y:
        return x.read() == y.read()


class Nginx:
    """nginx on loopback with an access log of the body bytes it sent."""

    def __init__(self, root, state):
        self.port = free_port()
        self.log = os.path.join(state, "access.log")
        os.makedirs(state, exist_ok=True)
        user = "user %s %s;\n" % (pwd.getpwuid(os.geteuid()).pw_name, grp.getgrgid(os.getegid()).gr_name) \
            if os.geteuid() == 0 else ""
        with open(os.path.join(state, "nginx.conf"), "w") as f:
            f.write("daemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log warn;\n%s"
                    "events { worker_connections 64; }\nhttp {\n  log_format bytes '$body_bytes_sent';\n"
                    "  access_log %s bytes;\n  client_body_temp_path %s/cb;\n  proxy_temp_path %s/px;\n"
                    "  fastcgi_temp_path %s/fc;\n  uwsgi_temp_path %s/uw;\n  scgi_temp_path %s/sc;\n"
                    "  default_type application/octet-stream;\n  server { listen 127.0.0.1:%d; root %s; }\n}\n"
                    % (state, state, user, self.log, state, state, state, state, state, self.port, root))
        self.process = subprocess.Popen(["nginx", "-p", state + "/", "-c", state + "/nginx.conf",
                                         "-e", state + "/error.log"])
        wait_for_listener(self.port, "nginx")

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def served(self):
        with open(self.log) as f:
            return sum(int(line) for line in f if line.strip())

    def stop(self):
        self.process.terminate()
        self.process.wait()


def main():
    parsed = arguments("delta", __doc__, 3, ("nginx", "xdelta3", "zip", "cc", "/usr/bin/time"))
    if isinstance(parsed, int):
        return parsed
    patchctl, rounds, work = parsed
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    missed = []
    old, new = make_trees(work)
    old_files, new_files = files_of(old), files_of(new)
    changed = sorted(n for n in new_files if n in old_files and not same(old_files[n], new_files[n]))
    added = sorted(n for n in new_files if n not in old_files)
    largest_old = max(os.path.getsize(p) for p in old_files.values())
    print("delta benchmark: %d rounds, medians; %d changed, %d added, %d removed files; work directory %s"
          % (rounds, len(changed), len(added), len([n for n in old_files if n not in new_files]), work))

    # Packing: patchctl pack --delta against xdelta3 -9 of every changed file (and zip -9 of the added ones).
    site = os.path.join(work, "site")
    peer_dir = os.path.join(work, "xdelta")
    os.makedirs(os.path.join(site, "p"))
    pack_script = os.path.join(work, "peer-pack.sh")
    with open(pack_script, "w") as f:
        f.write('set -e\nrm -rf "%s"; mkdir -p "%s"\n' % (peer_dir, peer_dir))
        for i, name in enumerate(changed):
            f.write('xdelta3 -9 -e -f -s "%s" "%s" "%s/%d.vcdiff"\n'
                    % (old_files[name], new_files[name], peer_dir, i))
        f.write('cd "%s" && zip -9 -q -X "%s/added.zip" %s\n'
                % (new, peer_dir, " ".join('"%s"' % n for n in added)))
    ours, peer, ours_rss, peer_rss = [], [], 0, 0
    archive = os.path.join(site, "p/p1.zip")
    for r in range(rounds):
        for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
            if tool == "ours":
                for leftover in (archive, os.path.join(site, "p/p1-full.zip")):
                    if os.path.exists(leftover):
                        os.remove(leftover)
                s, m = run_timed([patchctl, "pack", old, new, archive, "--delta"], work, quiet=True)
                ours.append(s)
                ours_rss = max(ours_rss, m)
            else:
                s, m = run_timed(["bash", pack_script], work, quiet=True)
                peer.append(s)
                peer_rss = max(peer_rss, m)
    mo, mp = statistics.median(ours), statistics.median(peer)
    print("pack: ours %.3f s  xdelta3 -9 + zip -9 %.3f s  ratio %.2f  peak MiB ours %.1f peer %.1f "
          "(largest changed file %.1f MiB)"
          % (mo, mp, mo / mp, ours_rss / 1024, peer_rss / 1024,
             max(os.path.getsize(new_files[n]) for n in changed) / MIB))
    if mo > 3 * mp:
        missed.append("pack time %.2fx > 3x" % (mo / mp))
    print("RESULT\tdelta\tpack --delta\t%.3f\t%.1f\txdelta3 -9\t%.3f\t%.1f" % (mo, ours_rss / 1024, mp, peer_rss / 1024))

    ours_size = os.path.getsize(archive)
    peer_size = sum(os.path.getsize(os.path.join(peer_dir, n)) for n in os.listdir(peer_dir))
    print("size: ours %d bytes  xdelta3 -9 + zip -9 %d bytes  ratio %.3f" % (ours_size, peer_size, ours_size / peer_size))
    listed = subprocess.run([patchctl, "list", archive], capture_output=True, text=True, check=True).stdout
    deltas = {line.split("\t")[-1]: int(line.split("\t")[1]) for line in listed.splitlines()
              if line.startswith("delta\t")}
    for i, name in enumerate(changed):
        ours_file = ("delta %d" % deltas[name]) if name in deltas else "whole"
        print("  %-18s ours %-14s xdelta3 -9 %d" % (name, ours_file,
                                                  os.path.getsize(os.path.join(peer_dir, "%d.vcdiff" % i))))
    print("  %-18s ours in the archive   zip -9 %d" % ("added files", os.path.getsize(os.path.join(peer_dir, "added.zip"))))
    if ours_size > 1.01 * peer_size:
        missed.append("size %.3fx > 1.01x" % (ours_size / peer_size))

    # Applying: patchctl update of an installation of OLD against xdelta3 -d of the same files.
    sha = subprocess.run(["sha256sum", archive], capture_output=True, text=True, check=True).stdout[:64]
    server = Nginx(site, os.path.join(work, "nginx"))
    try:
        with open(os.path.join(site, "list.txt"), "w", newline="") as f:
            f.write("1\t%s\t%d\t\t0\t%s\r\n" % (server.url("p/p1.zip"), ours_size, sha))
        apply_script = os.path.join(work, "peer-apply.sh")
        out_dir = os.path.join(work, "xdelta-out")
        with open(apply_script, "w") as f:
            f.write('set -e\nrm -rf "%s"; mkdir -p "%s"\n' % (out_dir, out_dir))
            for i, name in enumerate(changed):
                f.write('xdelta3 -d -f -s "%s" "%s/%d.vcdiff" "%s/%d.out"\n' % (old_files[name], peer_dir, i, out_dir, i))
        ours, peer, ours_rss, peer_rss, served = [], [], 0, 0, []
        install = os.path.join(work, "install")
        for r in range(rounds):
            for tool in (["ours", "peer"] if r % 2 == 0 else ["peer", "ours"]):
                if tool == "ours":
                    shutil.rmtree(install, ignore_errors=True)
                    shutil.copytree(old, install)
                    write_config(patchctl, install, server.url("list.txt"))
                    open(server.log, "w").close()
                    s, m = run_timed([patchctl, "update", install], work, quiet=True)
                    served.append(server.served())
                    for name, path in new_files.items():
                        if not same(path, os.path.join(install, name)):
                            missed.append("update did not give NEW's %s" % name)
                            break
                    ours.append(s)
                    ours_rss = max(ours_rss, m)
                else:
                    s, m = run_timed(["bash", apply_script], work, quiet=True)
                    peer.append(s)
                    peer_rss = max(peer_rss, m)
        mo, mp = statistics.median(ours), statistics.median(peer)
        print("apply: ours (patchctl update) %.3f s  xdelta3 -d %.3f s  ratio %.2f  peak MiB ours %.1f peer %.1f "
              "(largest old file %.1f MiB)" % (mo, mp, mo / mp, ours_rss / 1024, peer_rss / 1024, largest_old / MIB))
        print("RESULT\tdelta\tupdate (apply)\t%.3f\t%.1f\txdelta3 -d\t%.3f\t%.1f" % (mo, ours_rss / 1024, mp, peer_rss / 1024))
        if mo > mp:
            missed.append("apply %.2fx > 1.0x" % (mo / mp))
        if ours_rss * 1024 > largest_old + 128 * MIB:
            missed.append("update peak %.1f MiB > largest old file + 128 MiB" % (ours_rss / 1024))
        extra = max(served) - ours_size
        print("served: %d bytes for an archive of %d (list and headers %+d)" % (max(served), ours_size, extra))
        if abs(extra) > 256 * 1024:
            missed.append("served %d bytes beyond the archive" % extra)
    finally:
        server.stop()
    big_file.run(patchctl, work, missed)
    return verdict(missed, "size <= 1.01x, pack time <= 3x, apply time <= 1.0x xdelta3, served within 256 KiB, memory within old + 128 MiB; "
                   "big file: patch <= 1.05x, pack time <= 2x xdelta3, pack <= 1.5 GiB, apply <= 512 MiB, identical")


if __name__ == "__main__":
    sys.exit(main())
