"""The large-file case of the delta benchmark: a 2.5 GiB packed data file of incompressible 64 KiB blocks,
2 % of them rewritten, 5 inserted and 5 deleted, against `xdelta3 -e -B 1073741824`. Prints the patch's size
against xdelta3's delta, the time and peak memory of `pack --delta` and of `patchctl extract` (which applies
the delta as the launcher does), and whether the result is the new file. The files are made in a temporary
folder that is removed afterwards, whatever happens.

Targets: patch <= 1.05x xdelta3's delta, pack time <= 2x xdelta3's, pack <= 1.5 GiB and apply <= 512 MiB
resident, result identical."""
import filecmp
import os
import random
import shutil
import tempfile

from bench_support import run_timed

MIB = 1 << 20
BLOCK = 64 * 1024
SIZE = 2560 * MIB


def make_pair(old_path, new_path):
    """The old file block by block from a seeded generator, and the new one from the old one's blocks and
    fresh ones: neither is ever held whole."""
    rng = random.Random(2025)
    count = SIZE // BLOCK
    with open(old_path, "wb") as f:
        for _ in range(count):
            f.write(rng.randbytes(BLOCK))
    plan = list(range(count))  # an old block's index, or None for a fresh one
    for i in rng.sample(range(count), count * 2 // 100):
        plan[i] = None
    for i in sorted(rng.sample(range(count), 5), reverse=True):
        del plan[i]
    for i in rng.sample(range(len(plan)), 5):
        plan.insert(i, None)
    with open(old_path, "rb") as old, open(new_path, "wb") as f:
        for index in plan:
            if index is None:
                f.write(rng.randbytes(BLOCK))
            else:
                old.seek(index * BLOCK)
                f.write(old.read(BLOCK))


def run(patchctl, work, missed):
    folder = tempfile.mkdtemp(prefix="big-file-", dir=work)
    try:
        old_tree, new_tree = os.path.join(folder, "old"), os.path.join(folder, "new")
        for tree in (old_tree, new_tree):
            os.makedirs(os.path.join(tree, "data"))
        old_file, new_file = os.path.join(old_tree, "data/world.pak"), os.path.join(new_tree, "data/world.pak")
        make_pair(old_file, new_file)

        peer_delta = os.path.join(folder, "world.vcdiff")
        ps, pm = run_timed(["xdelta3", "-e", "-f", "-B", "1073741824", "-s", old_file, new_file, peer_delta],
                           folder, quiet=True)
        peer_size = os.path.getsize(peer_delta)
        os.remove(peer_delta)

        archive = os.path.join(folder, "p.zip")
        os_, om = run_timed([patchctl, "pack", old_tree, new_tree, archive, "--delta"], folder, quiet=True)
        os.remove(os.path.join(folder, "p-full.zip"))  # the whole new file, for installations that differ
        ours_size = os.path.getsize(archive)

        install = os.path.join(folder, "install")
        shutil.copytree(old_tree, install)
        as_, am = run_timed([patchctl, "extract", archive, install], folder, quiet=True)
        identical = filecmp.cmp(new_file, os.path.join(install, "data/world.pak"), shallow=False)

        print("big file (2.5 GiB, 2 %% rewritten, 5 inserted, 5 deleted): patch %d bytes  xdelta3 -B 1 GiB %d  "
              "ratio %.3f" % (ours_size, peer_size, ours_size / peer_size))
        print("big file pack: ours %.1f s  xdelta3 %.1f s  ratio %.2f  peak MiB ours %.1f xdelta3 %.1f"
              % (os_, ps, os_ / ps, om / 1024, pm / 1024))
        print("big file apply (patchctl extract): %.1f s  peak MiB %.1f  result %s"
              % (as_, am / 1024, "identical" if identical else "DIFFERS"))
        print("RESULT\tdelta\tbig file pack\t%.3f\t%.1f\txdelta3 -B 1GiB\t%.3f\t%.1f" % (os_, om / 1024, ps, pm / 1024))
        if ours_size > 1.05 * peer_size:
            missed.append("big file patch %.3fx > 1.05x" % (ours_size / peer_size))
        if os_ > 2 * ps:
            missed.append("big file pack time %.2fx > 2x" % (os_ / ps))
        if om > 1536 * 1024:
            missed.append("big file pack peak %.1f MiB > 1.5 GiB" % (om / 1024))
        if am > 512 * 1024:
            missed.append("big file apply peak %.1f MiB > 512 MiB" % (am / 1024))
        if not identical:
            missed.append("big file: the applied file is not the new one")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
