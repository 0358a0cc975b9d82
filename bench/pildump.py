#!/usr/bin/env python3
"""The dump as a user would script it with Pillow, its defaults throughout:
one 8-bit palette PNG per tile of the archive, colours from a palette file
of 6-bit values.
    pildump.py tiles.art palette.dat outdir"""
import struct
import sys

from PIL import Image

art, pal, out = sys.argv[1:4]
with open(pal, "rb") as f:
    colours = bytes(min(v * 4, 255) for v in f.read(768).ljust(768, b"\0"))
with open(art, "rb") as f:
    data = f.read()
_, _, first, last = struct.unpack_from("<4i", data)
n = last - first + 1
widths = struct.unpack_from(f"<{n}H", data, 16)
heights = struct.unpack_from(f"<{n}H", data, 16 + 2 * n)
at = 16 + 8 * n
for i in range(n):
    w, h = widths[i], heights[i]
    if w and h:
        # the archive stores columns: a transpose makes rows
        im = Image.frombytes("P", (h, w), data[at:at + w * h]).transpose(Image.Transpose.TRANSPOSE)
        im.putpalette(colours)
        im.save(f"{out}/tile{first + i:03d}.png")
    at += w * h
