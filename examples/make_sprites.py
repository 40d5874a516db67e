#!/usr/bin/env python3
"""Draws the example sprites in sprites/ (plain RGBA PNGs with soft edges).

Run from this folder: python3 make_sprites.py
"""
import math
import os
import struct
import zlib


def png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows += bytes(pixel(x + 0.5, y + 0.5))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


def coverage(distance):
    """Alpha for a signed distance to an edge (negative inside)."""
    return max(0.0, min(1.0, 0.5 - distance))


def shade(colour, light):
    return tuple(max(0, min(255, int(c * light))) for c in colour)


def coin(x, y):
    d = math.hypot(x - 16, y - 16) - 14
    a = coverage(d)
    inner = math.hypot(x - 16, y - 16) < 10
    r, g, b = (250, 204, 60) if not inner else (236, 170, 30)
    if 12 < x < 20 and 9 < y < 23 and inner:
        r, g, b = 255, 230, 120
    return r, g, b, int(a * 255)


def heart(x, y):
    u, v = (x - 16) / 13.5, 1.3 - y * 2.4 / 28
    f = (u * u + v * v - 1) ** 3 - u * u * v ** 3
    a = 1.0 if f < 0 else max(0.0, 1 - f * 40)
    r, g, b = shade((226, 54, 84), 1.15 - 0.4 * (y / 30))
    return r, g, b, int(a * 255)


def gem(x, y):
    d = abs(x - 12) / 11 + abs(y - 14) / 13 - 1
    a = coverage(d * 11)
    light = 1.25 if x < 12 and y < 14 else 0.85 if x >= 12 and y >= 14 else 1.0
    r, g, b = shade((70, 190, 220), light)
    return r, g, b, int(a * 255)


def slime(x, y):
    d = math.hypot((x - 24) / 22, (y - 22) / 14) - 1
    a = coverage(d * 14) if y < 30 else 0
    r, g, b = shade((96, 200, 90), 1.2 - 0.5 * (y / 32))
    for ex in (16, 31):
        if math.hypot(x - ex, y - 18) < 3:
            r, g, b = 20, 40, 20
    return r, g, b, int(a * 255)


def banner(x, y):
    edge = min(x, 63 - x, y, 15 - y)
    a = coverage(0.5 - edge)
    r, g, b = (60, 80, 160) if edge > 2 else (230, 200, 90)
    return r, g, b, int(a * 255)


def shadow(x, y):
    d = math.hypot((x - 20) / 19, (y - 5) / 4.5)
    return 0, 0, 0, int(max(0.0, 1 - d) * 140)


SPRITES = [
    ("banner.png", 64, 16, banner),
    ("coin.png", 32, 32, coin),
    ("gem.png", 24, 28, gem),
    ("heart.png", 32, 28, heart),
    ("shadow.png", 40, 10, shadow),
    ("slime.png", 48, 32, slime),
]

if __name__ == "__main__":
    os.makedirs("sprites", exist_ok=True)
    for name, w, h, draw in SPRITES:
        png(os.path.join("sprites", name), w, h, draw)
