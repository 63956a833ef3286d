#!/usr/bin/env python3
"""Draws the developer's logo for the About box and writes it as a
69 x 61, 16-colour (4 bits per pixel) Windows bitmap.

The picture: a barcode under a red scanning beam inside a navy frame, with
the digits of the code below it. Run it again after changing the drawing:
    Fmu/make-logo.py Fmu/Logo.bmp
"""
import struct
import sys

WIDTH, HEIGHT = 69, 61

# The standard 16-colour palette (as the VGA and Windows use it), RGB.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, NAVY, SILVER, GREY, RED, WHITE = 0, 1, 4, 7, 8, 9, 15

# 3 x 5 digits for the human-readable line under the bars.
DIGITS = {
    "0": ["111", "101", "101", "101", "111"],
    "1": ["010", "110", "010", "010", "111"],
    "2": ["111", "001", "111", "100", "111"],
    "3": ["111", "001", "011", "001", "111"],
    "4": ["101", "101", "111", "001", "001"],
    "5": ["111", "100", "111", "001", "111"],
    "6": ["111", "100", "111", "101", "111"],
    "7": ["111", "001", "010", "010", "010"],
    "8": ["111", "101", "111", "101", "111"],
    "9": ["111", "101", "111", "001", "111"],
}


def draw():
    px = [[WHITE] * WIDTH for _ in range(HEIGHT)]

    def rect(x0, y0, x1, y1, colour):  # inclusive corners
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # Navy frame with cut corners, a silver shadow to the right and below.
    rect(3, 59, 67, 59, SILVER)
    rect(67, 3, 67, 59, SILVER)
    for x0, y0, x1, y1 in ((2, 1, 64, 2), (2, 56, 64, 57), (1, 2, 2, 56), (65, 2, 66, 56)):
        rect(x0, y0, x1, y1, NAVY)
    for x, y in ((1, 1), (66, 1), (1, 57), (66, 57)):
        px[y][x] = WHITE

    # Bars: a module pattern of widths 1 to 3 with guard bars at both ends
    # and in the middle, the guards reaching lower than the rest.
    pattern = "101" "0011001" "0110011" "0100011" "01010" "1110010" "1100110" "1000010" "101"
    left = (WIDTH - len(pattern)) // 2
    middle = len(pattern) // 2
    guards = set(range(0, 3)) | set(range(middle - 2, middle + 3)) | set(range(len(pattern) - 3, len(pattern)))
    for i, bit in enumerate(pattern):
        if bit == "1":
            rect(left + i, 8, left + i, 44 if i in guards else 41, BLACK)

    # The scanning beam across the bars: a red line with a maroon halo.
    rect(5, 24, 63, 24, MAROON)
    rect(4, 25, 64, 26, RED)
    rect(5, 27, 63, 27, MAROON)

    # The digits below the bars.
    text = "4601234"
    x = (WIDTH - 4 * len(text) + 1) // 2
    for ch in text:
        for row, bits in enumerate(DIGITS[ch]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    px[47 + row][x + col] = NAVY
        x += 4
    return px


def bmp(px):
    row_bytes = ((WIDTH * 4 + 31) // 32) * 4
    rows = []
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        line = px[y] + [0]
        packed = bytes((line[x] << 4) | line[x + 1] for x in range(0, WIDTH, 2))
        rows.append(packed.ljust(row_bytes, b"\0"))
    pixels = b"".join(rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + pixels


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make-logo.py OUTPUT.bmp")
    with open(sys.argv[1], "wb") as out:
        out.write(bmp(draw()))
