#!/usr/bin/env python3
"""Draws lumbra's icon (a controller chip with a download arrow) at 32x32 and
16x16 in the 16-colour Windows palette, and writes lumbra.ico (both sizes,
4 bits per pixel) and lumbra-32.png / lumbra-16.png. Deterministic; standard
library only. Run it from anywhere: the files land next to this script."""
import os
import struct
import zlib

PALETTE = [  # the 16 standard colours
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
CLEAR, BLACK, DARK_GREY, GREY, WHITE, BLUE, GREEN = -1, 0, 8, 7, 15, 4, 10


def draw(size):
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    img[y][x] = colour

    # Chip body with pins on both sides.
    for y in range(8, 28, 4):
        rect(3, y, 6, y + 2, GREY)
        rect(26, y, 29, y + 2, GREY)
    rect(6, 6, 26, 30, BLACK)
    rect(7, 7, 25, 29, DARK_GREY)
    rect(8, 26, 24, 28, GREEN)  # progress bar, full
    # Download arrow over the chip.
    rect(13, 1, 19, 14, BLUE)
    for i in range(7):
        rect(9 + i, 14 + i, 23 - i, 15 + i, BLUE)
    if size >= 32:  # too fine for 16 pixels: the small arrow stays solid
        rect(14, 2, 18, 13, WHITE)
        for i in range(5):
            rect(11 + i, 15 + i, 21 - i, 16 + i, WHITE)
    return img


def png(img):
    size = len(img)
    def pixel(c):
        return bytes(PALETTE[c]) + b"\xff" if c >= 0 else b"\x00" * 4

    raw = b"".join(b"\x00" + b"".join(pixel(c) for c in row) for row in img)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico_image(img):
    size = len(img)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):  # bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            index = c if c >= 0 else 0
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if c < 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    images = {size: draw(size) for size in (32, 16)}
    for size, img in images.items():
        with open(os.path.join(here, f"lumbra-{size}.png"), "wb") as f:
            f.write(png(img))
    entries = [(size, ico_image(img)) for size, img in images.items()]
    offset = 6 + 16 * len(entries)
    out = struct.pack("<HHH", 0, 1, len(entries))
    for size, data in entries:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in entries)
    with open(os.path.join(here, "lumbra.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
