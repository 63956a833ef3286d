#!/usr/bin/env python3
"""Decodes the screenshot PNG files with Python's own zlib, independently of
the C++ writer and of the tests' C++ reader, and checks each one:

 - signature, chunk order IHDR, PLTE, IDAT..., IEND; every CRC;
 - IHDR: 8-bit palette, deflate, filter method 0, no interlace;
 - PLTE: 256 entries;
 - IDAT chunks of at most 262,143 bytes, all but the last exactly that big,
   together one complete zlib stream with nothing after it;
 - every row: filter byte 0 and `width` bytes;
 - IEND: the 12 fixed bytes;
 - where NAME.rgb exists next to NAME.png: the decoded picture equals it
   (raw RGB, top row first);
 - pngcheck, when given, accepts the file.
"""
import argparse
import pathlib
import struct
import subprocess
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
IEND = b"\x00\x00\x00\x00IEND\xaeB`\x82"
IDAT_MAX = 0x3FFFF


def check(path: pathlib.Path) -> str:
    data = path.read_bytes()
    if not data.startswith(SIGNATURE):
        raise ValueError("bad signature")
    if not data.endswith(IEND):
        raise ValueError("file does not end with the fixed IEND chunk")
    chunks = []
    at = len(SIGNATURE)
    while at < len(data):
        if len(data) - at < 12:
            raise ValueError("truncated chunk at %d" % at)
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            raise ValueError("chunk %r runs past the end" % kind)
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) != crc:
            raise ValueError("bad CRC in %r" % kind)
        chunks.append((kind.decode("latin-1"), body))
        at += 12 + length

    kinds = [k for k, _ in chunks]
    if kinds[:2] != ["IHDR", "PLTE"] or kinds[-1] != "IEND" or set(kinds[2:-1]) != {"IDAT"}:
        raise ValueError("unexpected chunk sequence %s" % kinds)
    width, height, depth, colour, method, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, method, filt, interlace) != (8, 3, 0, 0, 0):
        raise ValueError("not an 8-bit palette picture: %r" % ((depth, colour, method, filt, interlace),))
    if width < 1 or height < 1:
        raise ValueError("empty picture")
    plte = chunks[1][1]
    if len(plte) != 768:
        raise ValueError("PLTE holds %d bytes, not 768" % len(plte))

    idats = [body for kind, body in chunks if kind == "IDAT"]
    for body in idats[:-1]:
        if len(body) != IDAT_MAX:
            raise ValueError("an IDAT chunk before the last holds %d bytes" % len(body))
    if not 1 <= len(idats[-1]) <= IDAT_MAX:
        raise ValueError("last IDAT chunk holds %d bytes" % len(idats[-1]))
    stream = zlib.decompressobj()
    raw = stream.decompress(b"".join(idats))
    if not stream.eof or stream.unused_data:
        raise ValueError("IDAT data is not exactly one complete zlib stream")

    stride = width + 1
    if len(raw) != stride * height:
        raise ValueError("%d bytes of image data, expected %d" % (len(raw), stride * height))
    if any(raw[y * stride] != 0 for y in range(height)):
        raise ValueError("a row has a filter byte other than 0")

    expected_path = path.with_suffix(".rgb")
    if expected_path.exists():
        rgb = bytearray()
        for y in range(height):
            for index in raw[y * stride + 1:(y + 1) * stride]:
                rgb += plte[3 * index:3 * index + 3]
        if bytes(rgb) != expected_path.read_bytes():
            raise ValueError("decoded picture differs from %s" % expected_path.name)
    return "%dx%d, %d IDAT" % (width, height, len(idats))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pngcheck", default="")
    parser.add_argument("--min-files", type=int, default=1)
    parser.add_argument("dirs", nargs="+", type=pathlib.Path)
    args = parser.parse_args()

    files = sorted(f for d in args.dirs for f in d.glob("*.png"))
    if len(files) < args.min_files:
        print("only %d PNG files found in %s" % (len(files), args.dirs))
        return 1
    failed = 0
    for f in files:
        try:
            summary = check(f)
            if args.pngcheck and not args.pngcheck.endswith("NOTFOUND"):
                result = subprocess.run([args.pngcheck, "-q", str(f)], capture_output=True, text=True)
                if result.returncode != 0:
                    raise ValueError("pngcheck: " + (result.stdout + result.stderr).strip())
            print("ok   %s (%s)" % (f.name, summary))
        except ValueError as e:
            failed += 1
            print("FAIL %s: %s" % (f.name, e))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
