#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ (rerunnable; replaces them).

Every seed is made here from the formats' own rules, or with Python's zipfile for archives, so that the
fuzzers start from well-formed inputs and the interesting edges of each format.
"""
import base64
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def integers():
    texts = ["42", "  42", "42 ", "-42", "+7", "007", "$1F", "$ff", "0x10", "X10", "x7fffffff", "-$10",
             "$FFFFFFFF", "$100000000", "$0FFFFFFF0", "2147483647", "2147483648", "-2147483648",
             "-2147483649", "214748364", "", "-", "   ", "$", "0x", "\t5", "0X1a", "1e3"]
    for i, text in enumerate(texts):
        put("parse_integer", "int%02d" % i, text)


def memo_script(*ops):
    """Ops as the text buffer target reads them: an op byte, then its argument."""
    out = bytearray()
    for op in ops:
        kind = op[0]
        if kind in ("set", "load", "replace"):
            code = {"set": 0, "load": 1, "replace": 6}[kind]
            text = op[1].encode("latin-1")
            out += bytes([code, len(text)]) + text
        elif kind == "start":
            out += bytes([2, op[1] & 0xFF])
        elif kind == "length":
            out += bytes([3, op[1] & 0xFF])
        elif kind == "length64":
            out += bytes([4]) + struct.pack("<q", op[1])
        elif kind == "start64":
            out += bytes([5]) + struct.pack("<q", op[1])
        elif kind == "same":
            out += bytes([7])
    return bytes(out)


def text_buffer():
    scripts = [
        [("set", "ab\r\nc"), ("start", 1), ("length", 1), ("start", 0), ("length", 4), ("replace", "")],
        [("set", "ab\r\nc"), ("start", 3), ("length", -2), ("replace", "XY")],
        [("set", "k=v;"), ("start", 2), ("length", -4)],
        [("load", "a\r\r\nb\n\rc\rd\n"), ("start", 9), ("length", 1), ("same",)],
        [("set", "a\x00b"), ("replace", "x\x00y"), ("start", -3)],
        [("set", "key=value;\r\nnext"), ("start64", 1 << 40), ("length64", -(1 << 40))],
        [("load", ""), ("set", ""), ("length", -1), ("replace", "abc")],
    ]
    for i, script in enumerate(scripts):
        put("text_buffer", "script%02d" % i, memo_script(*script))


KEYS = ["client_title", "newsfile_url", "patchlist_url", "server_name", "website_url", "controlpanel_url",
        "forum_url", "client_exe"]


def scramble(key, text):
    shift = (key + 19) % 256
    return ("%02X" % key).encode() + bytes((b + shift) % 256 for b in text.encode("latin-1"))


def config():
    values = ["My Server", "http://127.0.0.1/news.html", "http://127.0.0.1/patchlist.txt", "Server One",
              "http://127.0.0.1/", "http://127.0.0.1/cp", "http://127.0.0.1/forum", "game.exe"]
    lines = ["%s=%s;" % (k, v) for k, v in zip(KEYS, values)]
    whole = "\r\n".join(lines) + "\r\n"
    put("config", "plain_ed", scramble(0xED, whole))
    put("config", "key_00", scramble(0x00, whole))
    put("config", "key_5a", scramble(0x5A, whole))
    put("config", "no_last_break", scramble(0x5A, "\r\n".join(lines)))
    put("config", "keys_out_of_order", scramble(0x21, "\r\n".join(reversed(lines)) + "\r\n"))
    put("config", "missing_keys", scramble(0x30, "client_title=x;\r\nserver_name=y;\r\n"))
    put("config", "lowercase_key", scramble(0xab, whole).replace(b"AB", b"ab", 1))
    put("config", "not_hex", b"zz" + whole.encode())
    put("config", "one_char", b"7")
    put("config", "empty", b"")


def patch_list():
    put("patch_list", "rows", "1\thttp://127.0.0.1/p1.zip\t1000\t\t0\t\r\n"
                              "2\thttp://127.0.0.1/p2.zip\t2000\tsetup.exe\t7\t\r\n"
                              "3\thttp://127.0.0.1/p3.zip\t$10\t\t7\ttrailing\r\n")
    put("patch_list", "comments", "// comment\r\n/x\r\n\r\n\n10\tu\t1\t\t0\t")
    put("patch_list", "missing_group", "1\thttp://127.0.0.1/p1.zip\t1000\t\t0")
    put("patch_list", "blank_slash", " /1\tu\t1\t\t0\t")
    put("patch_list", "lone_breaks", "1\tu\t1\t\t5\t\r2\tu\t1\t\t0\t\n3\tu\t1\t\t5\t\n\r4\tu\t1\t\t0\t")
    put("patch_list", "nul_cut", "1\tu\t1\t\t0\t\r\n\x002\tu\t1\t\t0\t")
    put("patch_list", "stamps", "//serial 17\r\n//expires 2026-12-31T00:00:00Z\r\n1\tu\t1\t\t0\t\r\n")
    put("patch_list", "stamps_odd", "//serial 007\n//serial x\r//expires 2100-02-29T00:00:00Z\n//expires\n")
    put("patch_list", "hex_and_signs", "0x10\tu\t-1\t\tX7\t\r\n  +5\tu\t0\t\t$FFFFFFFF\t\r\n")
    put("patch_list", "empty", "")


def client_manifest():
    sha_a = "a" * 64
    sha_b = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"
    head = "//client-manifest 1\n//archive client.zip %s\n" % sha_b
    put("client_manifest", "files", head + "%s 0 0644 Data/empty.dat\n%s 12 0755 Data/x-y\n"
        "%s 3 0644 Data/x/with blanks \n" % (sha_a, sha_b, sha_a))
    put("client_manifest", "utf8_name", (head + sha_a + " 1 0600 caf\u00e9/\u00e9t\u00e9\n").encode("utf-8"))
    put("client_manifest", "header_only", head)
    put("client_manifest", "file_and_folder", head + "%s 1 0644 a\n%s 1 0644 a-b\n%s 1 0644 a/b\n"
        % (sha_a, sha_a, sha_a))
    put("client_manifest", "unsafe", head + "%s 1 0644 ../x\n%s 1 0644 C:/x\n" % (sha_a, sha_a))
    put("client_manifest", "cut_short", head + sha_a + " 1 0644 a")
    put("client_manifest", "crlf", head.replace("\n", "\r\n"))
    put("client_manifest", "list_line", "1\tu\t1\t\t0\t\r\n//client https://h/c/client.manifest %s\r\n"
        "//client https://h/m?x=/a#b %s\n" % (sha_b, sha_a))


def trust_statement():
    """Statements of trust signed by keys the openssl tool makes here (and forgets): a chain of two
    versions, and the edges of the form around it; list signature files in both forms."""
    with tempfile.TemporaryDirectory() as scratch:
        def key(name):
            pem = os.path.join(scratch, name + ".pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                            "-out", pem], check=True, capture_output=True)
            der = subprocess.run(["openssl", "pkey", "-in", pem, "-pubout", "-outform", "DER"], check=True,
                                 capture_output=True).stdout
            return pem, der

        def sign(pem, message):
            return subprocess.run(["openssl", "dgst", "-sha256", "-sign", pem], input=message, check=True,
                                  capture_output=True).stdout

        def line(word, value):
            return "%s %s\n" % (word, value)

        def statement(version, keys, threshold, signers):
            body = line("version", version) + line("expires", "2030-01-01T00:00:00Z") + \
                line("threshold", threshold) + "".join(line("key", base64.b64encode(der).decode()) for _, der in keys)
            message = ("patch-client statement of trust\n" + body).encode()
            return body + "".join("signature %s %s\n" % (hashlib.sha256(der).hexdigest(),
                                                         base64.b64encode(sign(pem, message)).decode())
                                  for pem, der in signers)

        a, b, c = key("a"), key("b"), key("c")
        two = statement(2, [b], 1, [a, b])
        three = statement(3, [b, c], 2, [b, c])
        put("trust_statement", "chain", two + "\n" + three)
        put("trust_statement", "one", two)
        put("trust_statement", "skipped", two + "\n" + statement(4, [c], 1, [b, c]))
        put("trust_statement", "crlf", two.replace("\n", "\r\n"))
        put("trust_statement", "over_threshold", statement(2, [b], 2, [a, b]))
        put("trust_statement", "key_twice", statement(2, [b, b], 1, [a]))
        list_bytes = b"//serial 1\r\n1\thttp://h/p1.zip\t5\t\t0\t\r\n"
        put("trust_statement", "list_sig_der", sign(b[0], list_bytes))
        put("trust_statement", "list_sig_lines", "".join(
            "signature %s %s\n" % (hashlib.sha256(der).hexdigest(), base64.b64encode(sign(pem, list_bytes)).decode())
            for pem, der in (b, c)))


def zip_bytes(entries, comment=b"", compression=zipfile.ZIP_DEFLATED, force_zip64=False):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = compression
            if name.endswith("/"):
                info.external_attr = 0x10
                z.writestr(info, b"")
            elif force_zip64:
                with z.open(info, "w", force_zip64=True) as w:
                    w.write(data)
            else:
                z.writestr(info, data)
        z.comment = comment
    return buffer.getvalue()


class Unseekable(io.RawIOBase):
    """A write-only stream: zipfile then writes data descriptors after each entry."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def unicode_name_extra(name):
    units = name.encode("utf-16-le")
    body = struct.pack("<II", 0x5843554E, len(units) // 2) + units
    return struct.pack("<HH", 0x554E, len(body)) + body


def archives():
    small = [("readme.txt", b"hello patch\n" * 4), ("data/", b""), ("data/a.bin", bytes(range(256)) * 2)]
    put("archive", "deflated", zip_bytes(small))
    put("archive", "stored", zip_bytes(small, compression=zipfile.ZIP_STORED))
    put("archive", "comment", zip_bytes(small[:1], comment=b"archive comment"))
    put("archive", "zip64", zip_bytes(small[:1], force_zip64=True))
    put("archive", "empty_archive", zip_bytes([]))
    put("archive", "empty_entry", zip_bytes([("empty.txt", b"")]))
    put("archive", "prefixed", b"MZ" + b"\x00" * 62 + zip_bytes(small[:1]))

    stream = Unseekable()
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("streamed.txt", b"written without seeking " * 8)
    put("archive", "data_descriptor", bytes(stream.data))

    whole = zip_bytes(small)
    central = whole.find(b"PK\x01\x02")
    put("archive", "truncated_directory", whole[: central + 20])

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
        info = zipfile.ZipInfo("name.txt", date_time=(2020, 1, 1, 0, 0, 0))
        info.extra = unicode_name_extra("n\u00e4me.txt")
        z.writestr(info, b"unicode name block")
        z.writestr(zipfile.ZipInfo("caf\u00e9/\u00fcber.txt"), b"utf-8 flagged name")
    put("archive", "unicode_names", buffer.getvalue())

    put("archive", "not_an_archive", b"<html><body>404 Not Found</body></html>\n")
    hostile_archives()


def local_header(name, name_length=None, csize=0, usize=0, crc=0, method=0):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x5021, crc, csize, usize,
                       len(name) if name_length is None else name_length, 0) + name


def central_header(name, offset, extra=b"", csize=0, usize=0, crc=0, method=0):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x5021, crc, csize, usize,
                       len(name), len(extra), 0, 0, 0, 0x20, offset) + name + extra


def with_directory(body, directory, count, zip64=False):
    out = body + directory
    if zip64:
        record_at = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(directory), len(body))
        out += struct.pack("<IIQI", 0x07064B50, 0, record_at, 1)
        return out + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return out + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(directory), len(body), 0)


def hostile_archives():
    """The shapes of the hostile suite, small: dense local headers whose names claim the rest of the
    file, names built to collide in a rotate-and-xor hash, Zip64 offsets at and past the end and past
    2^63, a directory chain of many parts."""
    put("archive", "repair_dense_headers", local_header(b"", name_length=0xFFFF) * 64)
    put("archive", "repair_long_names", b"".join(local_header(b"d%d/" % k + b"n" * 200) for k in range(4)))
    names = []
    for k in range(27):
        chars = bytearray(b"a" * 32)
        for at in range(3):
            chars[at] = chars[at + 16] = ord("a") + (k // 3 ** at) % 3
        names.append(bytes(chars))
    body = local_header(b"e")
    put("archive", "colliding_names",
        with_directory(body, b"".join(central_header(n, 0) for n in names), len(names)))
    data = b"zeros " * 64
    compressed = zlib.compress(data)[2:-4]
    crc = zlib.crc32(data)
    body = local_header(b"z.bin", csize=len(compressed), usize=len(data), crc=crc, method=8) + compressed
    directory = central_header(b"z.bin", 0, csize=len(compressed), usize=len(data), crc=crc, method=8)
    for k, offset in enumerate([10 ** 6, 1 << 63, (1 << 64) - 1, len(body)]):
        directory += central_header(b"c%d.bin" % k, 0xFFFFFFFF, struct.pack("<HHQ", 1, 8, offset),
                                    csize=len(compressed), usize=len(data), crc=crc, method=8)
    put("archive", "zip64_offsets_out_of_file", with_directory(body, directory, 5, zip64=True))
    deep = b"a/" * 600
    put("archive", "deep_chain", with_directory(local_header(deep), central_header(deep, 0), 1))


def main():
    if os.path.isdir(ROOT):
        shutil.rmtree(ROOT)
    integers()
    text_buffer()
    config()
    patch_list()
    client_manifest()
    trust_statement()
    archives()
    return 0


if __name__ == "__main__":
    sys.exit(main())
