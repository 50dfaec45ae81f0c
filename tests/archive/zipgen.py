#!/usr/bin/env python3
"""Builds the ZIP archives that the archive tests open.

Well-formed archives come from Python's zipfile and Info-ZIP zip, which act as independent writers; what no
tool writes (damaged, hostile or unusual layouts) is put together from the record builders below, which other
test generators may import.

    zipgen.py OUTDIR     writes every fixture into OUTDIR and lists the well-formed ones in OUTDIR/WELLFORMED
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

LOCAL_SIG = 0x04034B50
CENTRAL_SIG = 0x02014B50
END_SIG = 0x06054B50
ZIP64_END_SIG = 0x06064B50
ZIP64_LOCATOR_SIG = 0x07064B50
DESCRIPTOR_SIG = 0x08074B50

FLAG_DESCRIPTOR = 0x0008
FLAG_UTF8 = 0x0800
ATTR_DIRECTORY = 0x10
ATTR_ARCHIVE = 0x20

FIXED_TIME = (2024, 3, 5, 14, 30, 42)


def dos_datetime(year, month, day, hour, minute, second):
    """The (time, date) words of a DOS time stamp."""
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


DOS_TIME, DOS_DATE = dos_datetime(*FIXED_TIME)


def local_header(name, *, version=20, flags=0, method=0, time=DOS_TIME, date=DOS_DATE, crc=0, csize=0,
                 usize=0, extra=b"", name_length=None, extra_length=None, signature=LOCAL_SIG):
    return struct.pack("<IHHHHHIIIHH", signature, version, flags, method, time, date, crc, csize, usize,
                       len(name) if name_length is None else name_length,
                       len(extra) if extra_length is None else extra_length) + name + extra


def central_header(name, *, made_by=20, version=20, flags=0, method=0, time=DOS_TIME, date=DOS_DATE, crc=0,
                   csize=0, usize=0, extra=b"", comment=b"", disk=0, internal_attr=0, external_attr=ATTR_ARCHIVE,
                   offset=0, name_length=None, extra_length=None, signature=CENTRAL_SIG):
    return struct.pack("<IHHHHHHIIIHHHHHII", signature, made_by, version, flags, method, time, date, crc, csize,
                       usize, len(name) if name_length is None else name_length,
                       len(extra) if extra_length is None else extra_length, len(comment), disk, internal_attr,
                       external_attr, offset) + name + extra + comment


def end_record(*, entries, cd_size, cd_offset, comment=b"", disk=0, cd_disk=0, entries_on_disk=None,
               comment_length=None):
    return struct.pack("<IHHHHIIH", END_SIG, disk, cd_disk, entries if entries_on_disk is None else entries_on_disk,
                       entries, cd_size, cd_offset,
                       len(comment) if comment_length is None else comment_length) + comment


def zip64_end_record(*, entries, cd_size, cd_offset, disk=0, cd_disk=0, made_by=45, version=45):
    return struct.pack("<IQHHIIQQQQ", ZIP64_END_SIG, 44, made_by, version, disk, cd_disk, entries, entries,
                       cd_size, cd_offset)


def zip64_locator(end_record_offset, *, disk=0, total_disks=1):
    return struct.pack("<IIQI", ZIP64_LOCATOR_SIG, disk, end_record_offset, total_disks)


def zip64_extra(*values):
    """The Zip64 extended information block holding the given 8-byte values in order."""
    data = b"".join(struct.pack("<Q", v) for v in values)
    return struct.pack("<HH", 0x0001, len(data)) + data


def unicode_name_extra(text, *, count=None, signature=b"NUCX"):
    units = text.encode("utf-16-le")
    data = signature + struct.pack("<i", len(units) // 2 if count is None else count) + units
    return struct.pack("<HH", 0x554E, len(data)) + data


def data_descriptor(crc, csize, usize):
    return struct.pack("<IIII", DESCRIPTOR_SIG, crc, csize, usize)


def deflate_raw(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


class Entry:
    """One entry of a hand-built archive. Stored data unless method is 8."""

    def __init__(self, name, data=b"", *, method=0, flags=0, extra=b"", central_extra=None, comment=b"",
                 external_attr=ATTR_ARCHIVE, descriptor=False, crc=None, time=DOS_TIME, date=DOS_DATE):
        self.name = name if isinstance(name, bytes) else name.encode("ascii")
        self.data = data
        self.method = method
        self.flags = flags | (FLAG_DESCRIPTOR if descriptor else 0)
        self.extra = extra
        self.central_extra = extra if central_extra is None else central_extra
        self.comment = comment
        self.external_attr = external_attr
        self.descriptor = descriptor
        self.crc = zlib.crc32(data) if crc is None else crc
        self.time = time
        self.date = date
        self.payload = deflate_raw(data) if method == 8 else data


def build(entries, *, comment=b"", prefix=b"", absolute_offsets=False, zip64=False, total_entries=None,
          cd_size=None, disk=0, locator_offset=None, zip64_entries=None):
    """A whole archive: local headers and data, central directory, (Zip64 records,) end record.

    prefix is placed before the archive; with absolute_offsets the stored offsets count it, as in a
    self-extractor built as one file, otherwise they are relative to the archive's start."""
    body = bytearray()
    base = len(prefix) if absolute_offsets else 0
    offsets = []
    for e in entries:
        offsets.append(base + len(body))
        if e.descriptor:
            body += local_header(e.name, flags=e.flags, method=e.method, time=e.time, date=e.date, extra=e.extra)
            body += e.payload + data_descriptor(e.crc, len(e.payload), len(e.data))
        elif zip64:
            body += local_header(e.name, version=45, flags=e.flags, method=e.method, time=e.time, date=e.date,
                                 crc=e.crc, csize=0xFFFFFFFF, usize=0xFFFFFFFF,
                                 extra=zip64_extra(len(e.data), len(e.payload)) + e.extra)
            body += e.payload
        else:
            body += local_header(e.name, flags=e.flags, method=e.method, time=e.time, date=e.date, crc=e.crc,
                                 csize=len(e.payload), usize=len(e.data), extra=e.extra)
            body += e.payload
    cd_offset = base + len(body)
    directory = bytearray()
    for e, offset in zip(entries, offsets):
        if zip64:
            directory += central_header(e.name, made_by=45, version=45, flags=e.flags, method=e.method,
                                        time=e.time, date=e.date, crc=e.crc, csize=0xFFFFFFFF, usize=0xFFFFFFFF,
                                        offset=0xFFFFFFFF, external_attr=e.external_attr, comment=e.comment,
                                        extra=zip64_extra(len(e.data), len(e.payload), offset) + e.central_extra)
        else:
            directory += central_header(e.name, flags=e.flags, method=e.method, time=e.time, date=e.date,
                                        crc=e.crc, csize=len(e.payload), usize=len(e.data), offset=offset,
                                        external_attr=e.external_attr, comment=e.comment, extra=e.central_extra)
    out = bytearray(prefix) + body + directory
    count = len(entries) if total_entries is None else total_entries
    size = len(directory) if cd_size is None else cd_size
    if zip64:
        record_offset = base + len(body) + len(directory)
        out += zip64_end_record(entries=count if zip64_entries is None else zip64_entries, cd_size=size,
                                cd_offset=cd_offset)
        out += zip64_locator(record_offset if locator_offset is None else locator_offset)
        out += end_record(entries=0xFFFF, cd_size=0xFFFFFFFF, cd_offset=0xFFFFFFFF, comment=comment, disk=disk)
    else:
        out += end_record(entries=count, cd_size=size, cd_offset=cd_offset, comment=comment, disk=disk)
    return bytes(out)


def zipfile_archive(members, *, comment=b""):
    """An archive written by Python's zipfile. members: (name, data or None for a directory, deflate)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data, deflate in members:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            if data is None:
                info.external_attr = (0o40755 << 16) | ATTR_DIRECTORY
                z.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED if deflate else zipfile.ZIP_STORED
                info.external_attr = (0o100644 << 16) | ATTR_ARCHIVE
                z.writestr(info, data)
        z.comment = comment
    return buffer.getvalue()


def streamed_archive(members):
    """An archive written to a pipe-like stream: every entry carries a data descriptor."""

    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    sink = Unseekable()
    with zipfile.ZipFile(sink, "w") as z:
        for name, data in members:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            with z.open(info, "w") as f:
                f.write(data)
    return bytes(sink.data)


def sample_bytes(n, seed=7):
    """Compressible, deterministic bytes."""
    words = [b"patch", b"client", b"archive", b"zip", b"entry", b"data", b"\n"]
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[x % len(words)]
    return bytes(out[:n])


PLAIN_MEMBERS = [
    ("readme.txt", b"Hello, patch!\n", False),
    ("data/", None, False),
    ("data/big.bin", sample_bytes(200000), True),
    ("data/empty.txt", b"", False),
]

STUB = bytes((i * 7 + 3) % 251 for i in range(1000)).replace(b"PK", b"pk")


def infozip_archive():
    """An archive written by Info-ZIP zip from a small tree (extra blocks of its own kinds included)."""
    if shutil.which("zip") is None:
        raise SystemExit("zipgen: Info-ZIP zip is required")
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        os.makedirs(os.path.join(tree, "sub", "deeper"))
        files = {"top.txt": b"top level\n", "sub/one.cfg": sample_bytes(5000, 3),
                 "sub/deeper/two.dat": sample_bytes(70000, 11)}
        for name, data in files.items():
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        stamp = 1709649042  # 2024-03-05, a fixed time for every file and directory
        for root, dirs, names in os.walk(tree):
            for n in dirs + names:
                os.utime(os.path.join(root, n), (stamp, stamp))
        out = os.path.join(tmp, "out.zip")
        subprocess.run(["zip", "-q", "-r", out, "top.txt", "sub"], cwd=tree, check=True)
        with open(out, "rb") as f:
            return f.read()


def fixtures():
    """name -> bytes of every fixture, and the names of the well-formed ones (a peer tool reads them)."""
    f = {}
    well_formed = []

    plain = zipfile_archive(PLAIN_MEMBERS)
    f["plain.zip"] = plain
    f["infozip.zip"] = infozip_archive()
    f["comment100.zip"] = zipfile_archive(PLAIN_MEMBERS, comment=bytes(range(32, 132)))
    f["comment100_stray.zip"] = f["comment100.zip"] + b"\x00"
    well_formed += ["plain.zip", "infozip.zip", "comment100.zip"]

    # A comment holding an end-record signature whose length field does not fit: the real record wins.
    decoy = struct.pack("<IHHHHIIH", END_SIG, 0, 0, 0, 0, 0, 0, 999)
    # (unzip and zipfile both take the decoy, so neither serves as a peer here.)
    f["two_end_records.zip"] = zipfile_archive(PLAIN_MEMBERS, comment=b"note " + decoy + b" end")
    # A comment that ends in a complete, empty end record: being nearest to the end, that one wins.
    f["trailing_end_record.zip"] = zipfile_archive(PLAIN_MEMBERS,
                                                   comment=end_record(entries=0, cd_size=0, cd_offset=0))

    f["stub_prepended.zip"] = STUB + plain
    f["sfx.exe"] = build([Entry("setup.ini", b"[setup]\nrun=1\n"), Entry("bin/", external_attr=ATTR_DIRECTORY),
                          Entry("bin/tool.dat", sample_bytes(3000), method=8)], prefix=STUB, absolute_offsets=True)
    f["stub_streamed.zip"] = STUB + streamed_archive([("one.txt", b"first\n"), ("two.txt", sample_bytes(4000))])
    well_formed += ["stub_prepended.zip", "sfx.exe", "stub_streamed.zip"]

    zip64_entries = [Entry("big.dat", sample_bytes(5000, 5)), Entry("small.txt", b"small\n", method=8)]
    f["zip64.zip"] = build(zip64_entries, zip64=True)
    well_formed.append("zip64.zip")
    f["zip64_bad_locator.zip"] = build(zip64_entries, zip64=True, locator_offset=10)
    f["zip64_locator_past_end.zip"] = build(zip64_entries, zip64=True, locator_offset=0xFFFFFFFFFFFFFF00)

    f["count65535.zip"] = build([Entry("a.txt", b"alpha\n"), Entry("b.txt", b"beta\n")], total_entries=0xFFFF)

    truncated = build([Entry("a.txt", b"alpha\n"), Entry("emptyfile"), Entry("dd.txt", sample_bytes(3000), method=8,
                                                                               descriptor=True)])
    cd_start = truncated.index(struct.pack("<I", CENTRAL_SIG))
    f["truncated_cd.zip"] = truncated[:cd_start + 60]

    f["cp437.zip"] = build([Entry(b"\x81ber.txt", b"1"), Entry(b"caf\x82.txt", b"2"), Entry(b"Stra\xe1e.txt", b"3"),
                            Entry(b"\xc9\xcd\xbb\xba.txt", b"4"), Entry(b"\x9f\xe0\x9b.txt", b"5")])
    f["cp437_all.zip"] = build([Entry(bytes([b]) + b".txt", bytes([b])) for b in range(0x80, 0x100)])
    well_formed += ["cp437.zip", "cp437_all.zip"]
    f["unicode_block.zip"] = build([
        Entry("x1.txt", b"1", central_extra=unicode_name_extra("\u00dcn\u00efc\u00f6d\u00e9.txt")),
        Entry("x2.txt", b"2", central_extra=unicode_name_extra("ignored.txt", signature=b"ABCD")),
        Entry("x3.txt", b"3", central_extra=unicode_name_extra("abc", count=100)),
        Entry("x4.txt", b"4", central_extra=struct.pack("<HH", 0x7075, 3) + b"xyz" + unicode_name_extra("\u0436.txt")),
    ])
    f["utf8_flag.zip"] = zipfile_archive([("\u65e5\u672c/\u30d5\u30a1\u30a4\u30eb.txt", b"jp", False),
                                          ("\u00fcber.txt", b"de", True)])
    well_formed.append("utf8_flag.zip")
    f["bad_utf8.zip"] = build([Entry(b"a\xffb\xe2\x82.txt", b"x", flags=FLAG_UTF8)])

    f["empty_first_name.zip"] = build([Entry(b""), Entry("b.txt", b"b"), Entry("c.txt", b"c")])

    f["page.html"] = b"<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n" \
                     b"<body><h1>Not Found</h1></body></html>\n"
    f["empty.zip"] = b""

    two = [Entry("a.txt", b"alpha\n"), Entry("b.txt", b"beta\n")]
    f["disk1.zip"] = build(two, disk=1)
    headers_only = build(two)
    headers_only = headers_only[:headers_only.index(struct.pack("<I", CENTRAL_SIG))]
    f["volume.exe"] = headers_only
    f["volume.zip"] = headers_only

    # Lying lengths and counts: none of them may lead a reader outside the file or into a huge allocation.
    f["lying_cd_size.zip"] = build(two, cd_size=0x7FFFFFF0)
    f["lying_cd_size_negative.zip"] = build(two, cd_size=0x80000010)
    f["lying_entry_count.zip"] = build(two, total_entries=0xFFFE)
    f["lying_zip64_count.zip"] = build(two, zip64=True, zip64_entries=0xFFFFFFFFFFFFFFFF)
    lying_name = bytearray(build(two))
    last = lying_name.rindex(struct.pack("<I", CENTRAL_SIG))
    struct.pack_into("<H", lying_name, last + 28, 0xFFFF)
    f["lying_name_length.zip"] = bytes(lying_name)
    lying_extra = bytearray(build(two))
    struct.pack_into("<H", lying_extra, last + 30, 0xFFF0)
    f["lying_extra_length.zip"] = bytes(lying_extra)
    f["short_extra_block.zip"] = build([Entry("a.txt", b"alpha\n", central_extra=struct.pack("<HH", 0x7075, 200)
                                              + b"abc" + b"\x01\x00")])
    f["stray_extra_bytes.zip"] = build([Entry("a.txt", b"alpha\n", comment=b"hi",
                                              central_extra=struct.pack("<HH", 0x7075, 1) + b"x" + b"\x01\x02")])
    # Both sizes escaped, but the Zip64 block holds only the uncompressed size.
    short64 = local_header(b"a.txt", crc=zlib.crc32(b"alpha\n"), csize=6, usize=6) + b"alpha\n"
    cd = central_header(b"a.txt", crc=zlib.crc32(b"alpha\n"), csize=0xFFFFFFFF, usize=0xFFFFFFFF,
                        extra=zip64_extra(6))
    f["short_zip64_extra.zip"] = short64 + cd + end_record(entries=1, cd_size=len(cd), cd_offset=len(short64))
    lying_local = build([Entry("a.txt", b"alpha\n"), Entry("b.txt", b"beta\n")])
    lying_local = bytearray(lying_local[:lying_local.index(struct.pack("<I", CENTRAL_SIG))])
    struct.pack_into("<I", lying_local, 18, 0xFFFFFF00)  # first header's compressed size
    f["lying_local_size.zip"] = bytes(lying_local)
    # No end record and two local header signatures, neither of them acceptable: one claims more data than
    # the file holds, the other an extra field longer than any real one.
    f["stray_signatures.zip"] = b"notes: " + local_header(b"a.txt", csize=0x10000) + b" and " \
        + local_header(b"b.txt", extra_length=261) + b" end\n"
    # Floods of signatures: every search must go on from where the last one stopped, never start over.
    f["pk_flood.zip"] = struct.pack("<I", LOCAL_SIG) * 262144
    f["dd_flood.zip"] = b"".join(local_header(b"%05d" % i, flags=FLAG_DESCRIPTOR) for i in range(30000))
    f["pk_flood_stub.zip"] = b"x" + struct.pack("<I", LOCAL_SIG) * 262144 + plain
    oversized = bytearray(build([Entry("a.txt", b"alpha\n")]))
    struct.pack_into("<I", oversized, oversized.rindex(struct.pack("<I", CENTRAL_SIG)) + 20, 0x10000000)
    f["claims_big_sizes.zip"] = bytes(oversized)
    return f, well_formed


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    files, well_formed = fixtures()
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "WELLFORMED"), "w") as f:
        f.write("\n".join(well_formed) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
