#!/usr/bin/env python3
"""patchctl list against peer readers on every well-formed generated archive.

Names, sizes, CRCs, methods and times must agree with Info-ZIP unzip (-Z1 and -v); external attributes with
Python's zipfile. Names stored in the OEM code page are compared with zipfile's CP437 reading wherever
Windows-1252 holds the character (unzip reads such names through a different DOS code page). Then the error
paths: exit status 2 and the message on stderr.

    check_list.py PATCHCTL
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

OEM_ARCHIVES = {"cp437.zip", "cp437_all.zip"}
def run(args):
    return subprocess.run(args, capture_output=True, env=ENV)


def listing(patchctl, path):
    result = run([patchctl, "list", path])
    check(result.returncode == 0, f"{path}: exit {result.returncode}: {result.stderr!r}")
    rows = []
    for line in result.stdout.decode("utf-8").splitlines():
        method, csize, usize, crc, stamp, attr, name = line.split("\t")
        rows.append(dict(method=int(method), csize=int(csize), usize=int(usize), crc=crc, stamp=stamp,
                         attr=int(attr, 16), name=name))
    return rows


def unzip_verbose(path):
    result = run(["unzip", "-v", path])
    check(result.returncode in (0, 1), f"unzip -v {path}: exit {result.returncode}")
    lines = result.stdout.decode("utf-8", "surrogateescape").splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("--------  ------"))
    rows = []
    for line in lines[start + 1:]:
        if line.startswith("--------"):
            break
        length, method, size, _ratio, date, time, crc, name = line.split(None, 7)
        rows.append(dict(usize=int(length), method=method, csize=int(size), stamp=f"{date} {time}", crc=crc,
                         name=name))
    return rows


def compare(patchctl, directory, name):
    path = os.path.join(directory, name)
    ours = listing(patchctl, path)
    peer = unzip_verbose(path)
    names = run(["unzip", "-Z1", path]).stdout.decode("utf-8", "surrogateescape").splitlines()
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
    check(len(ours) == len(peer) == len(names) == len(infos), f"{name}: entry counts differ")
    for row, other, other_name, info in zip(ours, peer, names, infos):
        where = f"{name}: {row['name']!r}"
        if name in OEM_ARCHIVES:
            if in_cp1252(info.filename):
                check(row["name"] == info.filename, f"{where}: zipfile reads {info.filename!r}")
        else:
            check(row["name"] == other_name, f"{where}: unzip -Z1 says {other_name!r}")
            check(row["name"] == other["name"], f"{where}: unzip -v says {other['name']!r}")
        check(row["usize"] == other["usize"], f"{where}: size {row['usize']} vs {other['usize']}")
        check(row["csize"] == other["csize"], f"{where}: compressed {row['csize']} vs {other['csize']}")
        check(row["crc"] == other["crc"], f"{where}: crc {row['crc']} vs {other['crc']}")
        expected_method = {"Stored": 0}.get(other["method"], 8 if other["method"].startswith("Defl") else -1)
        check(row["method"] == expected_method, f"{where}: method {row['method']} vs {other['method']}")
        check(row["stamp"].startswith(other["stamp"]), f"{where}: time {row['stamp']} vs {other['stamp']}")
        check(row["attr"] == info.external_attr, f"{where}: attributes {row['attr']:x} vs {info.external_attr:x}")
    return len(ours)


def check_errors(patchctl, directory):
    cases = [
        ("page.html", "Invalid archive file. - Native error: 00035.\n"),
        ("empty_first_name.zip", "Hashed list of file names is invalid - Native error: 00059.\n"),
        ("missing.zip", f'ZipArchiver: File "{os.path.join(directory, "missing.zip")}" not found'
                        " - Native error: 00012.\n"),
    ]
    for name, message in cases:
        result = run([patchctl, "list", os.path.join(directory, name)])
        check(result.returncode == 2, f"{name}: exit {result.returncode}")
        check(result.stdout == b"", f"{name}: printed {result.stdout!r}")
        check(result.stderr.decode() == message, f"{name}: stderr {result.stderr!r}")
    check(not os.path.exists(os.path.join(directory, "missing.zip")), "listing created the missing archive")
    usage = run([patchctl, "list"])
    check(usage.returncode == 2 and b"usage: patchctl list ARCHIVE" in usage.stderr, "no usage message")


def main(argv):
    patchctl = argv[1]
    with tempfile.TemporaryDirectory() as directory:
        files, well_formed = zipgen.fixtures()
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
        total = sum(compare(patchctl, directory, name) for name in well_formed)
        check(total > 150, f"only {total} entries compared")
        check_errors(patchctl, directory)
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(well_formed)} archives, {total} entries compared; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
