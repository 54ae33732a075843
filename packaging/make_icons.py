#!/usr/bin/env python3
"""Draws the extension's icons (extension/icon-<size>.png): a card chip, gold
contacts on the blue of the question window. Plain Python, no image library,
so the same PNG bytes come out anywhere. Run from the repository root after
changing the drawing and commit the PNGs."""

import pathlib
import struct
import zlib

SIZES = (16, 32, 48, 128)
BLUE = (0x1F, 0x5F, 0xBF)
GOLD = (0xE8, 0xB9, 0x3A)
LINE = (0x8A, 0x63, 0x10)
SAMPLES = 4  # per pixel and axis, for smooth edges


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(x, y):
    """The drawing on a unit square; None where it is transparent."""
    if not inside_rounded(x, y, 0.02, 0.02, 0.98, 0.98, 0.2):
        return None
    chip = (0.2, 0.26, 0.8, 0.74)
    if not inside_rounded(x, y, *chip, 0.08):
        return BLUE
    # The contact pads' gaps: one vertical line down the middle, three
    # horizontal ones on either side of the centre pad.
    thin = 0.035
    if abs(x - 0.5) < thin / 2 and not (0.36 < y < 0.64):
        return LINE
    if 0.38 < x < 0.62 and (abs(y - 0.36) < thin / 2 or abs(y - 0.64) < thin / 2):
        return LINE
    if (x < 0.38 or x > 0.62) and abs(y - 0.5) < thin / 2:
        return LINE
    if abs(x - 0.38) < thin / 2 or abs(x - 0.62) < thin / 2:
        return LINE if 0.36 <= y <= 0.64 else GOLD
    return GOLD


def pixels(size):
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter type: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            row += bytes([r // a, g // a, b // a, 255 * a // SAMPLES ** 2] if a else [0, 0, 0, 0])
        rows.append(bytes(row))
    return b''.join(rows)


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def png(size):
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(pixels(size), 9)) + chunk(b'IEND', b'')


def main():
    folder = pathlib.Path(__file__).resolve().parent.parent / 'extension'
    for size in SIZES:
        (folder / f'icon-{size}.png').write_bytes(png(size))


if __name__ == '__main__':
    main()
