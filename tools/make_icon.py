#!/usr/bin/env python3
"""Draws the programs' icon, cmake/packaging/qx17eep.ico: a tracker's map pin
over a signal arc on a dark blue rounded square, at 16, 24, 32, 48 and 256
pixels (PNG images in the icon, as Windows Vista and later read them).

    tools/make_icon.py cmake/packaging/qx17eep.ico
"""
import math
import struct
import sys
import zlib


def png(size, pixels):
    rows = b"".join(b"\x00" + bytes(pixels[y * size * 4:(y + 1) * size * 4]) for y in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def coverage(size, inside):
    """The share of each pixel that `inside` covers, from 4x4 samples."""
    n = 4
    cover = []
    for y in range(size):
        for x in range(size):
            hits = sum(inside((x + (i + 0.5) / n) / size, (y + (j + 0.5) / n) / size)
                       for i in range(n) for j in range(n))
            cover.append(hits / (n * n))
    return cover


def rounded_square(u, v):
    r = 0.18
    dx = max(r - u, 0, u - (1 - r))
    dy = max(r - v, 0, v - (1 - r))
    return dx * dx + dy * dy <= r * r


def pin(u, v):
    cx, cy, r = 0.5, 0.40, 0.22
    d = math.hypot(u - cx, v - cy)
    if d <= r and math.hypot(u - cx, v - cy) > 0.09:
        return True
    # the point below the head
    if cy <= v <= 0.84:
        half = r * (0.84 - v) / (0.84 - cy)
        return abs(u - cx) <= half and math.hypot(u - cx, v - cy) > 0.09
    return False


def arc(u, v):
    d = math.hypot(u - 0.5, v - 0.40)
    angle = math.degrees(math.atan2(0.40 - v, u - 0.5))
    return 0.30 <= d <= 0.36 and 35 <= angle <= 145


def draw(size):
    back = coverage(size, rounded_square)
    front = coverage(size, pin)
    signal = coverage(size, arc) if size >= 24 else [0] * (size * size)
    pixels = []
    for b, f, s in zip(back, front, signal):
        colour = [21, 61, 125]  # dark blue
        for share, over in ((s, (120, 200, 255)), (f, (255, 255, 255))):
            colour = [round(c * (1 - share) + o * share) for c, o in zip(colour, over)]
        pixels += colour + [round(255 * b)]
    return png(size, pixels)


def main():
    sizes = [16, 24, 32, 48, 256]
    images = [draw(size) for size in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(sys.argv[1], "wb") as out:
        out.write(header + entries + b"".join(images))


if __name__ == "__main__":
    main()
