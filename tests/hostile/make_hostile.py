#!/usr/bin/env python3
"""Writes the hostile archives of the hostile tests into OUTDIR, with OUTDIR/cases listing each one and the
outcome it must have when `patchctl extract ARCHIVE DEST --on-failure ignore` unpacks it.

    make_hostile.py OUTDIR

One line per case, TAB-separated key=value fields:
  name      the archive is OUTDIR/<name>.zip
  exit      patchctl's exit status (0 all written, 1 some entries failed, 2 not opened)
  files     every regular file expected under DEST, as path:size pairs separated by '|' ('-' for none)
  dirs      (optional) the number of directories expected under DEST
  stderr    (optional) text:count pairs separated by '|': how often each text must appear on stderr
  seconds   the run must end within this many seconds (sanitizer builds get more)
  rss       peak resident memory bound in MiB (sanitizer builds get more)
  tmpfs     1 when the output is large or many files and is better kept in memory
  command   (optional) "list" to run `patchctl list ARCHIVE` instead: opening alone is measured
  within    (optional) OTHER:FACTOR: the run may take at most FACTOR times as long as case OTHER's
  links     (optional) NAME>TARGET pairs separated by '|': symbolic links made under DEST before the run
            (a TARGET starting with '@' is absolute, under the run's directory); the run's directory also
            gets victim/pwned.txt, which must come through unchanged and alone
  mkdirs    (optional) directories made under DEST before the run, separated by '|'
Nothing may appear beside DEST, and OUTDIR/outside (the target of absolute names) must never exist.
"""
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "archive"))
import zipgen as z  # noqa: E402

GIB = 1 << 30
UNIX_MADE_BY = (3 << 8) | 30


def deflated_zeros(size):
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    out = bytearray()
    for _ in range(size // len(chunk)):
        out += compressor.compress(chunk)
    return bytes(out + compressor.flush())


def central_offsets(archive):
    """Positions of the central headers of an archive."""
    at, found = 0, []
    while True:
        at = archive.find(b"PK\x01\x02", at)
        if at < 0:
            return found
        found.append(at)
        at += 4


def unsafe_names(outdir):
    """Every unsafe name form beside safe entries: each unsafe one refused with native error 63."""
    absolute = os.path.join(os.path.abspath(outdir), "outside", "abs.txt")
    unsafe = [b"../evil.txt", absolute.encode(), b"C:/evil.txt", b"C:evil.txt", b"\\\\server\\share\\evil.txt",
              b"..\\evil.txt", b"sub/..\\..\\evil.txt", b"a/../../evil.txt", b"a/../inside.txt", b"a//b.txt",
              b"/"]
    entries = [z.Entry("ok.txt", b"fine")]
    entries += [z.Entry(name, b"escaped!") for name in unsafe]
    # A safe stored name whose Unicode block names an escape: the block's name is the one used.
    entries.append(z.Entry("safe.txt", b"escaped!", extra=z.unicode_name_extra("../unicode.txt")))
    # Bytes after a NUL are not part of the name.
    entries.append(z.Entry(b"nul.txt\x00/../../evil.txt", b"cut"))
    count = len(unsafe) + 1
    return z.build(entries), {"exit": 1, "files": {"ok.txt": 4, "nul.txt": 3},
                              "stderr": {"Native error: 00063": count}}


def symlink_then_through():
    """A symbolic link entry, then an entry inside it: links are written as plain files holding the
    target's text, so nothing is written through them and the second entry cannot make its directory."""
    link = z.Entry("link", b"../outside", external_attr=(0o120777 << 16))
    absolute = z.Entry("abslink", b"/tmp", external_attr=(0o120777 << 16))
    entries = [link, z.Entry("link/evil.txt", b"through the link"), absolute,
               z.Entry("abslink/evil.txt", b"through the link")]
    archive = bytearray(z.build(entries))
    for at in central_offsets(archive):
        archive[at + 4:at + 6] = struct.pack("<H", UNIX_MADE_BY)
    return bytes(archive), {"exit": 1, "files": {"link": 10, "abslink": 4},
                            "stderr": {"Native error: 00020": 2}}


def overlap_shared_stream():
    """The overlap layout at its simplest: 1000 central entries over one deflated stream of 10 MiB of
    zeros, claiming 10 GB from 10 KB. Every one is refused with native error 8."""
    data = bytes(10 << 20)
    one = z.Entry("bomb/0.bin", data, method=8)
    archive = z.build([one])
    local_end = archive.find(b"PK\x01\x02")
    central = archive[local_end:archive.find(b"PK\x05\x06")]
    name_at = 46
    directory = bytearray()
    for k in range(1000):
        name = ("bomb/%d.bin" % k).encode()
        header = bytearray(central[:name_at])
        header[28:30] = struct.pack("<H", len(name))
        directory += header + name
    body = archive[:local_end]
    end = z.end_record(entries=1000, cd_size=len(directory), cd_offset=len(body))
    return bytes(body + directory + end), {"exit": 1, "files": {}, "stderr": {"Native error: 00008": 1000}}


def overlap_nested(count=200, kernel_size=1 << 20):
    """Entries nested like the overlap bomb: each stored entry's data runs over every later entry's header
    up to the end of a shared kernel, with sizes and CRCs that match, so that each would unpack cleanly.
    Without the refusal the archive would unpack to about count * kernel_size bytes."""
    kernel = bytes(kernel_size)
    names = [("n/%03d.bin" % k).encode() for k in range(count)]
    # Build from the back: the last header directly precedes the kernel.
    tail = kernel
    headers = []
    for name in reversed(names):
        header = z.local_header(name, crc=zlib.crc32(tail), csize=len(tail), usize=len(tail))
        headers.append((name, len(tail), zlib.crc32(tail)))
        tail = header + tail
    headers.reverse()
    body = tail
    offset, directory = 0, bytearray()
    for name, size, crc in headers:
        directory += z.central_header(name, crc=crc, csize=size, usize=size, offset=offset)
        offset += 30 + len(name)
    end = z.end_record(entries=count, cd_size=len(directory), cd_offset=len(body))
    return bytes(body + directory + end), {"exit": 1, "files": {}, "stderr": {"Native error: 00008": count}}


def bomb_small_size(stream):
    """1 GiB of deflated zeros that declares 1000 bytes: decoding stops at the declared size and the entry
    fails with native error 8 without inflating the rest."""
    entry = z.Entry("bomb.bin", b"", method=8)
    entry.payload = stream
    entry.data = bytes(1000)
    entry.crc = zlib.crc32(entry.data)
    return z.build([entry]), {"exit": 1, "files": {}, "stderr": {"Native error: 00008": 1}, "seconds": 10}


def bomb_real_size(stream):
    """1 GiB of deflated zeros that declares its real size: extracted, in bounded memory."""
    entry = z.Entry("zeros.bin", b"", method=8)
    entry.payload = stream
    entry.data = b""
    crc = 0
    chunk = bytes(1 << 20)
    for _ in range(GIB // len(chunk)):
        crc = zlib.crc32(chunk, crc)
    entry.crc = crc
    archive = bytearray(z.build([entry]))
    # Sizes as the entry really has them (Entry takes them from its data, which is not kept in memory).
    local_at = 0
    archive[local_at + 22:local_at + 26] = struct.pack("<I", GIB)
    at = central_offsets(archive)[0]
    archive[at + 24:at + 28] = struct.pack("<I", GIB)
    return bytes(archive), {"exit": 0, "files": {"zeros.bin": GIB}, "seconds": 60, "tmpfs": 1}


def many_entries(count, *, zip64):
    """count entries of one byte, all named alike (each replaces the last): a directory past 16 bits.
    Without Zip64, 65,535 in the end record is taken as damage and the directory is rebuilt from the local
    headers; with Zip64 the count comes from the Zip64 record."""
    names = [b"same.txt"] * count
    body, directory = bytearray(), bytearray()
    crc = zlib.crc32(b"x")
    for name in names:
        offset = len(body)
        body += z.local_header(name, crc=crc, csize=1, usize=1) + b"x"
        directory += z.central_header(name, crc=crc, csize=1, usize=1, offset=offset)
    out = body + directory
    if zip64:
        record_at = len(out)
        out += z.zip64_end_record(entries=count, cd_size=len(directory), cd_offset=len(body))
        out += z.zip64_locator(record_at)
        out += z.end_record(entries=0xFFFF, cd_size=0xFFFFFFFF, cd_offset=0xFFFFFFFF)
    else:
        out += z.end_record(entries=count, cd_size=len(directory), cd_offset=len(body))
    return bytes(out), {"exit": 0, "files": {"same.txt": 1}, "seconds": 60, "tmpfs": 1}


def overclaimed_count(zip64):
    """A directory that claims far more entries than the file can hold: refused before anything is
    allocated for them, and rebuilt from the local headers."""
    entries = [z.Entry("a.txt", b"alpha"), z.Entry("b.txt", b"beta", method=8)]
    archive = z.build(entries, total_entries=60000)
    if zip64:
        # Plain entries, but Zip64 records (as writers add them for the count alone) claiming 2^32 - 16.
        end = archive.rfind(b"PK\x05\x06")
        cd_size, cd_offset = struct.unpack("<II", archive[end + 12:end + 20])
        record = z.zip64_end_record(entries=0xFFFFFFF0, cd_size=cd_size, cd_offset=cd_offset)
        archive = (archive[:end] + record + z.zip64_locator(end) +
                   z.end_record(entries=0xFFFF, cd_size=0xFFFFFFFF, cd_offset=0xFFFFFFFF))
    return archive, {"exit": 0, "files": {"a.txt": 5, "b.txt": 4}}


def offsets_and_sizes():
    """Local header offsets past the end, sizes near 2^32 and 2^64, and a Zip64 size off by exactly
    4 GiB: each such entry fails with native error 8 (its file removed), the good one is written."""
    good = z.Entry("good.txt", b"good")
    near32 = z.Entry("near32.bin", b"tiny")
    entries = [good, near32]
    archive = bytearray(z.build(entries))
    at = central_offsets(archive)
    archive[at[1] + 20:at[1] + 28] = struct.pack("<II", 0xFFFFFFF0, 0xFFFFFFF0)
    first = bytes(archive)

    data = b"zip64 data " * 100
    near64 = z.Entry("near64.bin", data, method=8)
    off4g = z.Entry("off4g.bin", data, method=8)
    zip64 = bytearray(z.build([z.Entry("good64.txt", b"good"), near64, off4g], zip64=True))
    at = central_offsets(zip64)
    # The Zip64 block of each central header: 46 + name, then head (4), usize, csize, offset.
    block = at[1] + 46 + len("near64.bin") + 4
    zip64[block:block + 16] = struct.pack("<QQ", (1 << 64) - 16, (1 << 64) - 16)
    block = at[2] + 46 + len("off4g.bin") + 4
    zip64[block:block + 8] = struct.pack("<Q", len(data) + (1 << 32))
    return first, bytes(zip64)


def offset_past_end():
    """A local header offset beyond the end of the file: the header cannot be read, and the run ends with
    the stream's read error (what the launcher reports for a damaged patch)."""
    archive = bytearray(z.build([z.Entry("first.txt", b"first"), z.Entry("far.txt", b"far")]))
    at = central_offsets(archive)
    archive[at[1] + 42:at[1] + 46] = struct.pack("<I", 0x7FFFFFF0)
    return bytes(archive), {"exit": 1, "files": {"first.txt": 5}, "stderr": {"Stream read error": 1}}


def odd_names():
    """Names that are not valid text: invalid UTF-8 under the UTF-8 flag, and Unicode-name blocks whose
    character count lies. Invalid sequences become U+FFFD; a count past the block ends at the block's end;
    a negative count gives an empty name, and a nameless entry is not extracted."""
    entries = [
        z.Entry(b"bad\xff\xfe.txt", b"bad utf-8", flags=z.FLAG_UTF8),
        z.Entry("plain.txt", b"lying count", extra=z.unicode_name_extra("long.txt", count=1000)),
        z.Entry("minus.txt", b"negative count", extra=z.unicode_name_extra("neg.txt", count=-1)),
    ]
    return z.build(entries), {"exit": 0, "files": {"bad\ufffd\ufffd.txt": 9, "long.txt": 11}}


MIB = 1 << 20


def memory_bound(archive):
    """The peak memory any archive may cost, in MiB: four times its size plus a fixed 64 MiB."""
    return 4 * len(archive) // MIB + 64


def repair_dense_headers(size):
    """No end record, and a local header every 30 bytes, each claiming a name of 65,535 bytes that would
    run over all the headers after it. Names never run into the next header, and what the rebuilt
    directory keeps is bounded by the file's size: a file this dense is refused with error 35."""
    # No zero byte anywhere, so that a name read over the headers after it would not end early; the
    # compressed size (0x01010101) stays below the file's size and the extra length (257) within 260.
    header = z.local_header(b"", version=0x0101, flags=0x0202, method=0x0101, time=0x0101, date=0x0101,
                            crc=0x01010101, csize=0x01010101, usize=0x01010101, name_length=0xFFFF,
                            extra_length=0x0101)
    assert b"\x00" not in header and size > 0x01010101
    archive = header * (size // len(header))
    return archive, {"exit": 2, "files": {}, "stderr": {"Invalid archive file.": 1},
                     "rss": memory_bound(archive), "seconds": 60}


def repair_sparse_long_names(count=256):
    """No end record; local headers with names of 65,535 bytes that are really there, one after another:
    every name is read, and memory stays within the bound for the file's size."""
    body = bytearray()
    for k in range(count):
        name = (b"long%03d/" % k) + b"n" * (0xFFFF - 8)
        body += z.local_header(name, crc=zlib.crc32(b""), csize=0, usize=0)
    archive = bytes(body)
    return archive, {"exit": 0, "files": {}, "dirs": count, "rss": memory_bound(archive), "seconds": 60}


def repair_dense_small(size=3 * MIB):
    """The dense headers again, in a file small enough that the rebuilt directory fits its bound: every
    entry is nameless, so nothing is written, in bounded memory."""
    header = z.local_header(b"", name_length=0xFFFF)
    archive = header * (size // len(header))
    return archive, {"exit": 0, "files": {}, "rss": memory_bound(archive), "seconds": 60}


def hash_flood_names(count, colliding):
    """count distinct names of 32 characters. Colliding ones are built for the rotate-and-xor hash:
    characters 16 apart share a rotation there, so changing both alike keeps the value; ordinary ones
    differ in their last characters. The name index must take both in about the same time."""
    names = []
    for k in range(count):
        if colliding:
            chars = [ord("a")] * 32
            digits = k
            for at in range(16):
                chars[at] = chars[at + 16] = ord("a") + digits % 3
                digits //= 3
            names.append(bytes(chars))
        else:
            names.append(b"file_%026d" % k)
    directory = bytearray()
    crc = zlib.crc32(b"")
    body = z.local_header(b"empty", crc=crc)
    for name in names:
        directory += z.central_header(name, crc=crc, offset=0)
    out = bytearray(body + directory)
    if count >= 0xFFFF:
        record_at = len(out)
        out += z.zip64_end_record(entries=count, cd_size=len(directory), cd_offset=len(body))
        out += z.zip64_locator(record_at)
        out += z.end_record(entries=0xFFFF, cd_size=0xFFFFFFFF, cd_offset=0xFFFFFFFF)
    else:
        out += z.end_record(entries=count, cd_size=len(directory), cd_offset=len(body))
    return bytes(out), {"exit": 0, "files": {}, "command": "list", "seconds": 30, "rss": memory_bound(out)}


def zip64_offsets_out_of_file():
    """One deflated entry of 10 MiB of zeros, then 3,000 entries over the same stream whose Zip64 local
    header offsets lie at or past the end of the file, at or past 2^63, or at 2^64 - 1. None claims bytes
    of the file; each fails with native error 8 and nothing reads entry 0 again (which would write 30 GB)."""
    data = bytes(10 << 20)
    stream = z.deflate_raw(data)
    crc = zlib.crc32(data)
    name0 = b"zeros.bin"
    body = z.local_header(name0, method=8, crc=crc, csize=len(stream), usize=len(data)) + stream
    directory = bytearray(z.central_header(name0, method=8, crc=crc, csize=len(stream), usize=len(data)))
    count = 3000
    central_size = len(directory) + sum(46 + len(b"copy/%04d.bin" % k) + 12 for k in range(count))
    end_size = 56 + 20 + 22
    file_size = len(body) + central_size + end_size
    offsets = []
    for k in range(count):
        kind = k % 3
        # Past 2^63 first: taken as a position it turns negative, where an offset just past the end
        # would only end the run with a read error.
        offsets.append([(1 << 63) + k // 3, (1 << 64) - 1, file_size + k // 3][kind])
    for k, offset in enumerate(offsets):
        directory += z.central_header(b"copy/%04d.bin" % k, method=8, crc=crc, csize=len(stream), usize=len(data),
                                      offset=0xFFFFFFFF, extra=z.zip64_extra(offset))
    out = bytearray(body + directory)
    record_at = len(out)
    out += z.zip64_end_record(entries=count + 1, cd_size=len(directory), cd_offset=len(body))
    out += z.zip64_locator(record_at)
    out += z.end_record(entries=0xFFFF, cd_size=0xFFFFFFFF, cd_offset=0xFFFFFFFF)
    assert len(out) == file_size
    return bytes(out), {"exit": 1, "files": {"zeros.bin": len(data)}, "stderr": {"Native error: 00008": count},
                        "seconds": 30}


def deep_chain():
    """One entry named "a/" 32,767 times (a 128 KiB archive) beside an ordinary file: a chain longer than
    any path is refused with the directory error before anything is made, in memory linear in its name."""
    entries = [z.Entry(b"a/" * 32767, b""), z.Entry("after.txt", b"after")]
    return z.build(entries), {"exit": 1, "files": {"after.txt": 5}, "dirs": 0,
                              "stderr": {"Native error: 00020": 1}, "rss": 48}


def links_in_installation():
    """Links that already exist in the installation: one that stays inside is written through, ones that
    lead out (relative, absolute, from a level down) fail their entries with error 63, directories
    included, and the file they point at stays as it was."""
    entries = [z.Entry("saves/game.sav", b"kept"), z.Entry("real/up/saves/second.sav", b"kept too"),
               z.Entry("out/pwned.txt", b"escaped"), z.Entry("abs/pwned.txt", b"escaped"),
               z.Entry("real/esc/pwned.txt", b"escaped"), z.Entry("out/made/deep.txt", b"escaped"),
               z.Entry("out/dir/", b"")]
    links = {"saves": "real/saves", "real/up": "../real", "out": "../victim", "abs": "@victim",
             "real/esc": "../../victim"}
    return z.build(entries), {"exit": 1, "files": {"real/saves/game.sav": 4, "real/saves/second.sav": 8},
                              "stderr": {"Native error: 00063": 5}, "mkdirs": ["real/saves"],
                              "links": links}


def write_case(outdir, lines, name, archive, expect):
    with open(os.path.join(outdir, name + ".zip"), "wb") as f:
        f.write(archive)
    files = "|".join("%s:%d" % (path, size) for path, size in sorted(expect["files"].items())) or "-"
    fields = ["name=" + name, "exit=%d" % expect["exit"], "files=" + files,
              "seconds=%d" % expect.get("seconds", 10), "rss=%d" % expect.get("rss", 48),
              "tmpfs=%d" % expect.get("tmpfs", 0)]
    if "command" in expect:
        fields.append("command=" + expect["command"])
    if "within" in expect:
        fields.append("within=" + expect["within"])
    if "links" in expect:
        fields.append("links=" + "|".join("%s>%s" % kv for kv in expect["links"].items()))
    if "mkdirs" in expect:
        fields.append("mkdirs=" + "|".join(expect["mkdirs"]))
    if "dirs" in expect:
        fields.append("dirs=%d" % expect["dirs"])
    if "stderr" in expect:
        fields.append("stderr=" + "|".join("%s:%d" % kv for kv in expect["stderr"].items()))
    lines.append("\t".join(fields))


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    outdir = argv[1]
    os.makedirs(outdir, exist_ok=True)
    lines = []
    write_case(outdir, lines, "unsafe_names", *unsafe_names(outdir))
    write_case(outdir, lines, "symlink_then_through", *symlink_then_through())
    write_case(outdir, lines, "overlap_shared_stream", *overlap_shared_stream())
    write_case(outdir, lines, "overlap_nested", *overlap_nested())
    stream = deflated_zeros(GIB)
    write_case(outdir, lines, "bomb_small_size", *bomb_small_size(stream))
    write_case(outdir, lines, "bomb_real_size", *bomb_real_size(stream))
    write_case(outdir, lines, "entries_65535", *many_entries(65535, zip64=False))
    write_case(outdir, lines, "entries_70000", *many_entries(70000, zip64=True))
    write_case(outdir, lines, "overclaimed_count", *overclaimed_count(False))
    write_case(outdir, lines, "overclaimed_count_zip64", *overclaimed_count(True))
    sizes32, sizes64 = offsets_and_sizes()
    write_case(outdir, lines, "sizes_near_2_32", sizes32,
               {"exit": 1, "files": {"good.txt": 4}, "stderr": {"Native error: 00008": 1}})
    write_case(outdir, lines, "sizes_zip64", sizes64,
               {"exit": 1, "files": {"good64.txt": 4}, "stderr": {"Native error: 00008": 2}})
    write_case(outdir, lines, "offset_past_end", *offset_past_end())
    write_case(outdir, lines, "odd_names", *odd_names())
    write_case(outdir, lines, "repair_dense_headers", *repair_dense_headers(17 * MIB))
    write_case(outdir, lines, "repair_dense_small", *repair_dense_small())
    write_case(outdir, lines, "repair_sparse_long_names", *repair_sparse_long_names())
    for count in (65534, 150000):
        ordinary, expect = hash_flood_names(count, colliding=False)
        write_case(outdir, lines, "ordinary_names_%d" % count, ordinary, expect)
        colliding, expect = hash_flood_names(count, colliding=True)
        expect["within"] = "ordinary_names_%d:3" % count
        write_case(outdir, lines, "colliding_names_%d" % count, colliding, expect)
    write_case(outdir, lines, "zip64_offsets_out_of_file", *zip64_offsets_out_of_file())
    write_case(outdir, lines, "deep_chain", *deep_chain())
    write_case(outdir, lines, "links_in_installation", *links_in_installation())
    with open(os.path.join(outdir, "cases"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
