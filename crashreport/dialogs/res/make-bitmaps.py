#!/usr/bin/env python3
"""Draws the crash reporter's dialog pictures and writes them as 24-bit
Windows bitmaps into this folder. Magenta (255, 0, 255) is the transparent
colour: the dialogs draw the pictures with it keyed out.

  Error.bmp   32 x 32  "TR_Error": a red disc with a white cross
  Send.bmp    32 x 32  "TR_Send": an envelope with a green arrow
  Dll.bmp     16 x 16  "TR_DLL": a grey cog-like block (a library)
  Bpl.bmp     16 x 16  "TR_BPL": a blue package box
  Vcl.bmp     16 x 16  "TR_VCL": a small program window
  Pas.bmp     16 x 16  "TR_PAS": a page of source text
  Plus.bmp     9 x  9  "TR_PLUS": a boxed plus sign
  Minus.bmp    9 x  9  "TR_MINUS": a boxed minus sign

Run it again after changing a drawing:
    crashreport/dialogs/res/make-bitmaps.py
"""
import math
import os
import struct

KEY = (255, 0, 255)
WHITE, BLACK = (255, 255, 255), (0, 0, 0)


def canvas(w, h, fill=KEY):
    return [[fill] * w for _ in range(h)]


def rect(px, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            px[y][x] = colour


def frame(px, x0, y0, x1, y1, colour):
    for x in range(x0, x1 + 1):
        px[y0][x] = px[y1][x] = colour
    for y in range(y0, y1 + 1):
        px[y][x0] = px[y][x1] = colour


def line(px, x0, y0, x1, y1, colour, width=1):
    steps = max(abs(x1 - x0), abs(y1 - y0)) * 2 + 1
    for i in range(steps + 1):
        x = x0 + (x1 - x0) * i / steps
        y = y0 + (y1 - y0) * i / steps
        for dx in range(width):
            for dy in range(width):
                xi, yi = int(round(x)) + dx - width // 2, int(round(y)) + dy - width // 2
                if 0 <= yi < len(px) and 0 <= xi < len(px[0]):
                    px[yi][xi] = colour


def error():
    px = canvas(32, 32)
    for y in range(32):
        for x in range(32):
            d = math.hypot(x - 15.5, y - 15.5)
            if d <= 15:
                # A little shading: lighter at the top left.
                shade = int(40 * (1 - (x + y) / 62))
                px[y][x] = (min(255, 200 + shade), 20 + shade // 2, 20 + shade // 2)
            if 14 < d <= 15.5:
                px[y][x] = (128, 0, 0)
    line(px, 9, 9, 22, 22, WHITE, 3)
    line(px, 22, 9, 9, 22, WHITE, 3)
    return px


def send():
    px = canvas(32, 32)
    paper, edge = (250, 245, 220), (90, 80, 60)
    rect(px, 2, 8, 27, 26, paper)
    frame(px, 2, 8, 27, 26, edge)
    line(px, 2, 8, 14, 18, edge)
    line(px, 27, 8, 15, 18, edge)
    green = (0, 150, 0)
    rect(px, 18, 2, 25, 5, green)
    for i in range(5):
        for y in range(3 - i, 5 + i):
            if 0 <= y < 32:
                px[y][26 + i] = green
    return px


def dll():
    px = canvas(16, 16)
    rect(px, 2, 3, 13, 12, (192, 192, 192))
    frame(px, 2, 3, 13, 12, (64, 64, 64))
    for x in (4, 7, 10):
        rect(px, x, 1, x + 1, 2, (64, 64, 64))
        rect(px, x, 13, x + 1, 14, (64, 64, 64))
    rect(px, 5, 6, 10, 9, (0, 0, 160))
    return px


def bpl():
    px = canvas(16, 16)
    rect(px, 1, 4, 14, 14, (70, 110, 200))
    frame(px, 1, 4, 14, 14, (20, 40, 100))
    rect(px, 3, 1, 12, 4, (140, 170, 230))
    frame(px, 3, 1, 12, 4, (20, 40, 100))
    rect(px, 7, 4, 8, 14, (230, 200, 60))
    return px


def vcl():
    px = canvas(16, 16)
    rect(px, 1, 2, 14, 13, WHITE)
    frame(px, 1, 2, 14, 13, (0, 0, 0))
    rect(px, 2, 3, 13, 5, (0, 0, 128))
    rect(px, 11, 3, 12, 4, (200, 200, 200))
    rect(px, 3, 8, 8, 9, (160, 160, 160))
    return px


def pas():
    px = canvas(16, 16)
    rect(px, 3, 1, 12, 14, WHITE)
    frame(px, 3, 1, 12, 14, (90, 90, 90))
    for y, w in ((4, 6), (6, 4), (8, 6), (10, 3), (12, 5)):
        rect(px, 5, y, 4 + w, y, (0, 100, 0) if y == 4 else (60, 60, 160))
    return px


def sign(plus):
    px = canvas(9, 9, WHITE)
    frame(px, 0, 0, 8, 8, (128, 128, 128))
    rect(px, 2, 4, 6, 4, BLACK)
    if plus:
        rect(px, 4, 2, 4, 6, BLACK)
    return px


def write_bmp(path, px):
    h, w = len(px), len(px[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(px):
        for r, g, b in row:
            data += bytes((b, g, r))
        data += b"\0" * (stride - w * 3)
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", 14 + len(header) + len(data), 0, 0, 14 + len(header)))
        f.write(header + data)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, px in (("Error", error()), ("Send", send()), ("Dll", dll()), ("Bpl", bpl()), ("Vcl", vcl()),
                     ("Pas", pas()), ("Plus", sign(True)), ("Minus", sign(False))):
        write_bmp(os.path.join(here, name + ".bmp"), px)
