#!/usr/bin/env python3
"""Writes the program's two icons, a line display with two lines of glowing text, as .ico files.

Usage: make_icons.py OUTDIR -> OUTDIR/program.ico (48, 32, 16 px, 24 bpp) and
OUTDIR/dialog.ico (32 px, 16 colours).
"""
import os
import struct
import sys

# The 16 colours of the standard Windows palette, as (r, g, b).
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]

HOUSING = (96, 96, 104)
EDGE = (40, 40, 48)
GLASS = (8, 24, 24)
GLOW = (40, 240, 200)


def pixel(size, x, y):
    """The colour at (x, y), top-left origin, or None where the icon is transparent."""
    top, bottom = round(size * 0.22), round(size * 0.78)
    if y < top or y >= bottom:
        return None
    if x in (0, size - 1) or y in (top, bottom - 1):
        return EDGE
    inset = max(2, size // 10)
    if not (inset <= x < size - inset and top + inset <= y < bottom - inset):
        return HOUSING
    # Two text lines of character cells on the glass; the second line is shorter.
    glass_top, glass_bottom = top + inset, bottom - inset
    line_height = (glass_bottom - glass_top) // 2
    row = (y - glass_top) // line_height if line_height else 0
    in_line = (y - glass_top) % line_height if line_height else 0
    cell = max(2, size // 8)
    column = (x - inset) // cell
    lit_columns = 5 if row == 0 else 3
    margin = max(1, line_height // 4)
    if (margin <= in_line < line_height - margin and column < lit_columns
            and (x - inset) % cell < cell - max(1, cell // 3)):
        return GLOW
    return GLASS


def nearest(colour):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(VGA[i], colour)))


def padded(row):
    return row + b"\0" * (-len(row) % 4)


def image(size, bits):
    """One icon image: BITMAPINFOHEADER (doubled height), palette, XOR rows, AND mask rows."""
    rows = [[pixel(size, x, y) for x in range(size)] for y in range(size)]
    xor = b""
    mask = b""
    for y in reversed(range(size)):  # bottom-up
        if bits == 24:
            line = b"".join(bytes((c[2], c[1], c[0])) if c else b"\0\0\0" for c in rows[y])
        else:
            indices = [nearest(c) if c else 0 for c in rows[y]]
            line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        xor += padded(line)
        mask_bits = 0
        for x in range(size):
            mask_bits = (mask_bits << 1) | (rows[y][x] is None)
        mask += padded(mask_bits.to_bytes(size // 8, "big"))
    palette = b"" if bits == 24 else b"".join(bytes((b, g, r, 0)) for r, g, b in VGA)
    colours = 0 if bits == 24 else 16
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask),
                         0, 0, colours, 0)
    return header + palette + xor + mask


def icon_file(entries):
    """An .ico file of (size, bits) images."""
    images = [image(size, bits) for size, bits in entries]
    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    for (size, bits), data in zip(entries, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0,
                                 1, bits, len(data), offset)
        offset += len(data)
    return directory + b"".join(images)


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    with open(os.path.join(outdir, "program.ico"), "wb") as f:
        f.write(icon_file([(48, 24), (32, 24), (16, 24)]))
    with open(os.path.join(outdir, "dialog.ico"), "wb") as f:
        f.write(icon_file([(32, 4)]))


if __name__ == "__main__":
    main()
