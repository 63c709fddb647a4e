#!/usr/bin/env python3
"""Draws the application icon: a pink five-petalled flower on a light grey
square, 32 by 32 pixels in 32-bit colour, and writes it as a .ico file.

Only the standard library is used; the file is written byte by byte (icon
directory, one BITMAPINFOHEADER image with BGRA rows bottom-up and an AND
mask). Usage: make_icon.py [output.ico]   (default: tavoui.ico beside it)
"""
import math
import os
import struct
import sys

SIZE = 32
SUPERSAMPLE = 4  # samples per pixel side, for smooth edges

GREY = (0xD8, 0xD8, 0xD8)
GREY_EDGE = (0xB0, 0xB0, 0xB0)
PINK = (0xF0, 0x6E, 0xAA)
PINK_DARK = (0xC8, 0x3C, 0x82)
CENTRE = (0xFF, 0xD2, 0x3C)

PETALS = 5
PETAL_DISTANCE = 7.0   # from the flower's centre to a petal's centre
PETAL_RADIUS_LONG = 6.8
PETAL_RADIUS_SHORT = 4.6
CENTRE_RADIUS = 4.0


def colour_at(x, y):
    """Colour of the point (x, y), in pixel units from the top left."""
    if x < 1 or y < 1 or x > SIZE - 1 or y > SIZE - 1:
        return GREY_EDGE
    cx = cy = SIZE / 2.0
    dx, dy = x - cx, y - cy
    if math.hypot(dx, dy) <= CENTRE_RADIUS:
        return CENTRE
    for k in range(PETALS):
        angle = -math.pi / 2 + k * 2 * math.pi / PETALS
        # Coordinates along and across the petal's axis.
        along = dx * math.cos(angle) + dy * math.sin(angle) - PETAL_DISTANCE
        across = -dx * math.sin(angle) + dy * math.cos(angle)
        inside = (along / PETAL_RADIUS_LONG) ** 2 + (across / PETAL_RADIUS_SHORT) ** 2
        if inside <= 1.0:
            return PINK_DARK if inside > 0.75 else PINK
    return GREY


def render():
    """Rows of (r, g, b) tuples, top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            total = [0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = colour_at(px + (sx + 0.5) / n, py + (sy + 0.5) / n)
                    for i in range(3):
                        total[i] += c[i]
            row.append(tuple(round(t / (n * n)) for t in total))
        rows.append(row)
    return rows


def ico_bytes(rows):
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b in row:
            pixels += bytes((b, g, r, 0xFF))
    mask_row = ((SIZE + 31) // 32) * 4
    mask = bytes(mask_row * SIZE)  # all opaque
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + bytes(pixels) + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "tavoui.ico")
    with open(out, "wb") as f:
        f.write(ico_bytes(render()))


if __name__ == "__main__":
    main()
