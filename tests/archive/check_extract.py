#!/usr/bin/env python3
"""patchctl extract against peer extractors on every well-formed generated archive.

The same files with the same bytes as Info-ZIP unzip writes; for archives whose names need a code page
(OEM names, the UTF-8 flag) Python's zipfile is the peer, and an OEM name is compared wherever
Windows-1252 holds its characters (the launcher shows the others as their nearest look-alikes). unzip's exit
status 1 (a warning, such as bytes before the archive) counts as success.

    check_extract.py PATCHCTL
"""
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import zipgen  # noqa: E402
from peer_checks import ENV, check, failures, in_cp1252  # noqa: E402

NAME_ARCHIVES = {"cp437.zip", "utf8_flag.zip"}
# Every OEM byte as a name: many of them come out as the same look-alike, so files replace each other.
SKIPPED = {"cp437_all.zip"}
def tree(root):
    """relative path -> bytes, or None for a directory"""
    out = {}
    for folder, dirs, names in os.walk(root):
        for d in dirs:
            out[os.path.relpath(os.path.join(folder, d), root)] = None
        for n in names:
            with open(os.path.join(folder, n), "rb") as f:
                out[os.path.relpath(os.path.join(folder, n), root)] = f.read()
    return out


def compare(patchctl, directory, name):
    path = os.path.join(directory, name)
    ours_dir = os.path.join(directory, "ours-" + name)
    peer_dir = os.path.join(directory, "peer-" + name)
    result = subprocess.run([patchctl, "extract", path, ours_dir], capture_output=True, env=ENV)
    check(result.returncode == 0, f"{name}: exit {result.returncode}: {result.stderr!r}")
    check(result.stderr == b"", f"{name}: stderr {result.stderr!r}")
    if name in NAME_ARCHIVES:
        with zipfile.ZipFile(path) as z:
            z.extractall(peer_dir)
    else:
        peer = subprocess.run(["unzip", "-o", "-q", path, "-d", peer_dir], capture_output=True, env=ENV)
        # 1: a warning, such as bytes before the archive
        check(peer.returncode in (0, 1), f"unzip {name}: exit {peer.returncode}")
    ours, theirs = tree(ours_dir), tree(peer_dir)
    check(len(ours) == len(theirs), f"{name}: {len(ours)} paths written, the peer wrote {len(theirs)}")
    if name == "cp437.zip":
        check(sorted(v for v in ours.values() if v is not None) == sorted(v for v in theirs.values() if v is not None),
              f"{name}: contents differ")
        theirs = {k: v for k, v in theirs.items() if in_cp1252(k)}
    for rel, data in theirs.items():
        check(rel in ours, f"{name}: {rel!r} missing")
        check(ours.get(rel, b"") == data, f"{name}: {rel!r} differs")
    return len(theirs)


def main(argv):
    patchctl = argv[1]
    with tempfile.TemporaryDirectory() as directory:
        files, well_formed = zipgen.fixtures()
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
        total = sum(compare(patchctl, directory, name) for name in well_formed if name not in SKIPPED)
    check(total >= 25, f"only {total} paths compared")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(well_formed)} archives, {total} paths compared; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
