#!/usr/bin/env python3
"""Draws Korvane's icon: a packed sheet (a dark tile holding one wide sprite on
top and smaller ones in rows below).

Writes Korvane.ico (32 x 32, 32-bit) for the window, and the hicolor theme
icons installed for the desktop: PNG at each size in PNG_SIZES and a scalable
SVG. The design is drawn on a 32-unit grid; other sizes scale the grid, so
every size shows the same shapes.

Run from this folder: python3 make_icon.py
"""
import os
import struct
import zlib

SIZE = 32
PNG_SIZES = (16, 24, 32, 48, 64, 128, 256)
ICON_NAME = "org.example.Korvane"
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


def pixels(size=SIZE):
    """Rows of (r, g, b, a) for a size x size icon."""

    def at(unit):  # grid unit to pixel edge
        return (unit * size + SIZE // 2) // SIZE

    # The tile's inset and edge are whole pixels, the same on every side.
    edge = max(1, at(1))
    low, high = edge, size - edge  # the tile is [low, high) both ways
    img = [[BG for _ in range(size)] for _ in range(size)]
    for y in range(low, high):
        for x in range(low, high):
            near_x = x < low + edge or x >= high - edge
            near_y = y < low + edge or y >= high - edge
            if near_x and near_y:  # round the corners by skipping them
                continue
            img[y][x] = EDGE if near_x or near_y else SHEET
    for sx, sy, w, h, colour in SPRITES:
        for y in range(at(sy), at(sy + h)):
            for x in range(at(sx), at(sx + w)):
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


def png(img):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    height, width = len(img), len(img[0])
    raw = bytearray()
    for row in img:
        raw.append(0)  # filter: none
        for pixel in row:
            raw += bytes(pixel)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def svg():
    def fill(colour):
        r, g, b, a = colour
        return "#%02x%02x%02x" % (r, g, b) + ("" if a == 255 else '" fill-opacity="%g' % (a / 255))

    last = SIZE - 2
    # the tile's outline without its four corner cells
    outline = [(2, 1), (last, 1), (last, 2), (last + 1, 2), (last + 1, last),
               (last, last), (last, last + 1), (2, last + 1), (2, last), (1, last),
               (1, 2), (2, 2)]
    points = " ".join("%d,%d" % p for p in outline)
    shapes = ['<polygon points="%s" fill="%s"/>' % (points, fill(EDGE)),
              '<rect x="2" y="2" width="%d" height="%d" fill="%s"/>'
              % (SIZE - 4, SIZE - 4, fill(SHEET))]
    for x, y, w, h, colour in SPRITES:
        shapes.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s"/>'
                      % (x, y, w, h, fill(colour)))
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
            'viewBox="0 0 %d %d" shape-rendering="crispEdges" stroke="none">\n  %s\n</svg>\n'
            % (SIZE * 8, SIZE * 8, SIZE, SIZE, "\n  ".join(shapes)))


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    write("Korvane.ico", ico(pixels()))
    for size in PNG_SIZES:
        write("icons/hicolor/%dx%d/apps/%s.png" % (size, size, ICON_NAME), png(pixels(size)))
    write("icons/hicolor/scalable/apps/%s.svg" % ICON_NAME, svg().encode())
