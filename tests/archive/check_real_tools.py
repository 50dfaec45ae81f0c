#!/usr/bin/env python3
"""patchctl on archives made by the operators' own tools: Info-ZIP zip under a UTF-8 locale, Python's zipfile,
bsdtar and (when installed) 7-Zip. Names must read as unzip -Z1 and zipfile read them; the same archives with
1, 511 and 10,240 bytes appended must read like the originals (the real directory, with its Unix modes and
empty files); extracted files carry the entry's exact modification time; entries of methods the component
does not decode fail with native error 8 and no password prompt; a truncated streamed archive never reports
success for an entry whose data is missing.

    check_real_tools.py PATCHCTL
"""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peer_checks import ENV, check, failures  # noqa: E402

NAMES = ["日本語.txt", "Größe ü.txt", "Привет.cfg", "emoji 😀.dat", "run.sh", "key.pem", "empty.txt"]
TRAILS = [0, 1, 511, 10240]


def run(args, cwd=None):
    return subprocess.run(args, capture_output=True, env=ENV, cwd=cwd)


def make_tree(root):
    for i, name in enumerate(NAMES):
        with open(os.path.join(root, name), "wb") as f:
            f.write(b"" if name == "empty.txt" else (name.encode() + b"\n") * (i + 1))
    os.chmod(os.path.join(root, "run.sh"), 0o755)
    os.chmod(os.path.join(root, "key.pem"), 0o600)
    for i, name in enumerate(NAMES):  # odd seconds: a DOS time cannot hold them
        os.utime(os.path.join(root, name), (1700000001 + i * 3, 1700000001 + i * 3))


def archives(tree, out):
    made = {}
    path = os.path.join(out, "infozip.zip")
    if run(["zip", "-q", "-X", path] + NAMES, cwd=tree).returncode == 0:
        made["infozip.zip"] = path
    # Info-ZIP with its extended timestamps, the version that carries them
    path = os.path.join(out, "infozip_ut.zip")
    if run(["zip", "-q", path] + NAMES, cwd=tree).returncode == 0:
        made["infozip_ut.zip"] = path
    path = os.path.join(out, "zipfile.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name in NAMES:
            z.write(os.path.join(tree, name), name)
    made["zipfile.zip"] = path
    path = os.path.join(out, "bsdtar.zip")
    if run(["bsdtar", "--format", "zip", "-cf", path] + NAMES, cwd=tree).returncode == 0:
        made["bsdtar.zip"] = path
    if shutil.which("7z"):
        path = os.path.join(out, "7z.zip")
        if run(["7z", "a", "-tzip", "-mcu=on", path] + NAMES, cwd=tree).returncode == 0:
            made["7z.zip"] = path
    return made


def listed_names(patchctl, path):
    result = run([patchctl, "list", path])
    check(result.returncode == 0, f"{path}: list exit {result.returncode}: {result.stderr!r}")
    return [line.split("\t")[-1] for line in result.stdout.decode("utf-8").splitlines()]


def check_archive(patchctl, label, path, tree, work):
    peers = run(["unzip", "-Z1", path]).stdout.decode("utf-8").splitlines()
    with zipfile.ZipFile(path) as z:
        python = [i.filename for i in z.infolist()]
    check(sorted(peers) == sorted(NAMES), f"{label}: unzip -Z1 reads {peers}")
    original = open(path, "rb").read()
    for trail in TRAILS:
        case = f"{label} + {trail} bytes"
        padded = os.path.join(work, f"t{trail}_{os.path.basename(path)}")
        with open(padded, "wb") as f:
            f.write(original + b"\0" * trail)
        names = listed_names(patchctl, padded)
        # zipfile reads unflagged names as CP437 whatever the host; unzip -Z1 is the reference then
        want = python if python == NAMES or label != "infozip.zip" and label != "infozip_ut.zip" else peers
        check(names == want, f"{case}: names {names} against the peers' {want}")
        dest = os.path.join(work, f"out{trail}_{label}")
        os.makedirs(dest)
        result = run([patchctl, "extract", padded, dest])
        check(result.returncode == 0, f"{case}: extract exit {result.returncode}: {result.stderr!r}")
        for name in NAMES:
            got = os.path.join(dest, name)
            if not os.path.isfile(got):
                check(False, f"{case}: {name} not extracted as a file")
                continue
            want = os.path.join(tree, name)
            check(open(got, "rb").read() == open(want, "rb").read(), f"{case}: {name} differs")
            if name in ("run.sh", "key.pem"):
                check(os.stat(got).st_mode & 0o777 == os.stat(want).st_mode & 0o777,
                      f"{case}: {name} mode {oct(os.stat(got).st_mode & 0o777)}")
            if label == "infozip_ut.zip":
                check(int(os.stat(got).st_mtime) == int(os.stat(want).st_mtime),
                      f"{case}: {name} time {int(os.stat(got).st_mtime)} against {int(os.stat(want).st_mtime)}")


def check_methods(patchctl, work):
    for method, label in [(zipfile.ZIP_BZIP2, "bzip2"), (zipfile.ZIP_LZMA, "LZMA")]:
        path = os.path.join(work, f"{label}.zip")
        with zipfile.ZipFile(path, "w", method) as z:
            z.writestr("data.bin", b"payload " * 100)
        dest = os.path.join(work, f"out_{label}")
        os.makedirs(dest)
        result = run([patchctl, "extract", path, dest, "--on-failure", "ignore"])
        err = result.stderr.decode("utf-8")
        check(result.returncode != 0, f"{label}: extract reported success")
        check("Password" not in err, f"{label}: a password was asked: {err!r}")
        check("Native error: 00008" in err, f"{label}: no native error 8: {err!r}")
        check(f"patchctl extract: data.bin: compressed with {label} (method {method}), which is not supported\n"
              in err, f"{label}: entry and method not named: {err!r}")
        check(not os.path.exists(os.path.join(dest, "data.bin")), f"{label}: a file was left")


def check_unicode_path(patchctl, work):
    """Info-ZIP's Unicode Path block names the entry only while its CRC matches the stored name."""
    import struct
    import zlib
    path = os.path.join(work, "upath.zip")
    with zipfile.ZipFile(path, "w") as z:
        for stored, crc, label in [("a_ok.txt", None, "新しい.txt"), ("b_stale.txt", 1, "古い.txt")]:
            info = zipfile.ZipInfo(stored)
            value = zlib.crc32(stored.encode()) if crc is None else crc
            unicode = label.encode("utf-8")
            info.extra = struct.pack("<HHBI", 0x7075, 5 + len(unicode), 1, value) + unicode
            z.writestr(info, b"x")
    names = listed_names(patchctl, path)
    check(names == ["新しい.txt", "b_stale.txt"], f"Unicode Path block: {names}")


class Unseekable(io.RawIOBase):
    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def check_truncated_stream(patchctl, work):
    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(3):
            with z.open(f"part{i}.bin", "w") as f:
                f.write(os.urandom(3000))
    full = bytes(sink.data)
    first_end = full.index(b"PK\x07\x08")  # the first entry's descriptor
    for cut in [first_end - 100, first_end + 20, len(full) // 2, len(full) - 30]:
        path = os.path.join(work, f"cut{cut}.zip")
        with open(path, "wb") as f:
            f.write(full[:cut])
        dest = os.path.join(work, f"out_cut{cut}")
        os.makedirs(dest)
        run([patchctl, "extract", path, dest, "--on-failure", "ignore"])
        with zipfile.ZipFile(io.BytesIO(full)) as z:
            for info in z.infolist():
                got = os.path.join(dest, info.filename)
                if os.path.exists(got):
                    check(open(got, "rb").read() == z.read(info.filename),
                          f"cut at {cut}: {info.filename} written without its data")


def main():
    patchctl = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "tree")
        os.makedirs(tree)
        make_tree(tree)
        out = os.path.join(work, "archives")
        os.makedirs(out)
        for label, path in archives(tree, out).items():
            check_archive(patchctl, label, path, tree, work)
        check_methods(patchctl, work)
        check_unicode_path(patchctl, work)
        check_truncated_stream(patchctl, work)
    for f in failures:
        print("FAIL:", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
