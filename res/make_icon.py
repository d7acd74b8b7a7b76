#!/usr/bin/env python3
"""Draws the program icon: a 60 x 60, 24-bit picture of a chip with a
download arrow on a rounded blue tile, written as a one-image .ico file.

Run it from the repository root to regenerate res/KT3916Flash.ico; the
output is deterministic, so the committed file only changes when this
drawing does.
"""
import struct
import sys

SIZE = 60


def inside_rounded(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def pixel(x, y):
    """Colour (r, g, b) and whether the pixel is opaque; y grows downward."""
    px, py = x + 0.5, y + 0.5
    if not inside_rounded(px, py, 1, 1, 59, 59, 10):
        return (0, 0, 0), False
    # Tile: blue, lighter towards the top.
    shade = int(40 * (1 - py / SIZE))
    colour = (20 + shade, 90 + shade, 170 + shade)
    # Chip pins left and right.
    if (10 <= px < 16 or 44 <= px < 50) and 16 <= py < 44 and int(py - 16) % 7 < 4:
        colour = (200, 205, 215)
    # Chip body.
    if 15 <= px < 45 and 13 <= py < 47:
        colour = (45, 45, 55)
        if inside_rounded(px, py, 17, 15, 43, 45, 3) and not inside_rounded(px, py, 18, 16, 42, 44, 2):
            colour = (90, 90, 105)
    # Download arrow: shaft and head, in yellow.
    if 26 <= px < 34 and 18 <= py < 32:
        colour = (250, 200, 40)
    if 32 <= py < 42 and abs(px - 30) <= (42 - py) * 0.9:
        colour = (250, 200, 40)
    return colour, True


def build_ico():
    xor_rows = []
    and_rows = []
    for y in range(SIZE - 1, -1, -1):  # DIB rows are stored bottom-up
        row = bytearray()
        mask = 0
        mask_bits = bytearray()
        for x in range(SIZE):
            (r, g, b), opaque = pixel(x, y)
            row += bytes((b, g, r))
            mask = (mask << 1) | (0 if opaque else 1)
            if x % 8 == 7:
                mask_bits.append(mask)
                mask = 0
        if SIZE % 8:
            mask_bits.append(mask << (8 - SIZE % 8))
        while len(row) % 4:
            row.append(0)
        while len(mask_bits) % 4:
            mask_bits.append(0)
        xor_rows.append(bytes(row))
        and_rows.append(bytes(mask_bits))
    xor = b"".join(xor_rows)
    and_mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return icondir + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "res/KT3916Flash.ico"
    with open(out, "wb") as f:
        f.write(build_ico())
