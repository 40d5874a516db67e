#!/usr/bin/env python3
"""Draws Korvane.ico: a 32 x 32, 32-bit icon of a packed sheet (a dark tile
holding one wide sprite on top and smaller ones in rows below).

Run from this folder: python3 make_icon.py
"""
import struct

SIZE = 32
BG = (0, 0, 0, 0)
SHEET = (40, 48, 64, 255)
EDGE = (90, 104, 130, 255)
SPRITES = [
    # x, y, w, h, colour (r, g, b, a): widest first, in rows, as Korvane packs
    (4, 4, 24, 9, (242, 140, 40, 255)),
    (4, 15, 14, 8, (46, 180, 170, 255)),
    (20, 15, 8, 6, (150, 90, 210, 255)),
    (4, 25, 8, 3, (245, 210, 60, 255)),
    (14, 25, 5, 3, (230, 70, 90, 255)),
]


def pixels():
    img = [[BG for _ in range(SIZE)] for _ in range(SIZE)]
    for y in range(1, SIZE - 1):
        for x in range(1, SIZE - 1):
            # round the corners by skipping them
            corner = (x in (1, SIZE - 2)) and (y in (1, SIZE - 2))
            if corner:
                continue
            border = x in (1, SIZE - 2) or y in (1, SIZE - 2)
            img[y][x] = EDGE if border else SHEET
    for sx, sy, w, h, colour in SPRITES:
        for y in range(sy, sy + h):
            for x in range(sx, sx + w):
                img[y][x] = colour
    return img


def ico(img):
    header = struct.pack("<HHH", 0, 1, 1)
    xor = bytearray()
    for row in reversed(img):  # bitmaps are stored bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    and_mask = bytearray()
    for row in reversed(img):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        and_mask += struct.pack(">I", bits)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                       len(xor) + len(and_mask), 0, 0, 0, 0)
    data = info + xor + and_mask
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(data), 6 + 16)
    return header + entry + data


if __name__ == "__main__":
    with open("Korvane.ico", "wb") as f:
        f.write(ico(pixels()))
