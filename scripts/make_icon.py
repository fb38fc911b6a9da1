#!/usr/bin/env python3
"""Writes res/voskarelle.ico: one 32x32 image in 16 colours.

The picture is a disk drive with a drive letter plate and an arrow, drawn from
the character map below so that the icon can be changed by editing text.
Run it from anywhere; it rewrites the file next to the resource script.
"""
import os
import struct

# The standard 16-colour palette (as B, G, R).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
# Map characters to palette indices; '.' is transparent.
INK = {'k': 0, 'g': 8, 's': 7, 'w': 15, 'b': 12, 'n': 4, 'y': 11, 'G': 10, 'r': 9}

ROWS = [
    "................................",
    "................................",
    "..........bbbbbbbbbbbb..........",
    ".........bwwwwwwwwwwwwb.........",
    "........bwwbbbbbbbbbbwwb........",
    "........bwbnnnnnnnnnnbwb........",
    "........bwbnwwnnnnwwnbwb........",
    "........bwbnnwwnnwwnnbwb........",
    "........bwbnnnwwwwnnnbwb........",
    "........bwbnnnnwwnnnnbwb........",
    "........bwwbbbbbbbbbbwwb........",
    ".........bwwwwwwwwwwwwb.........",
    "..........bbbbbbbbbbbb..........",
    "...............yy...............",
    "...............yy...............",
    ".............yyyyyy.............",
    "..............yyyy..............",
    "...............yy...............",
    "..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..",
    "..kwwwwwwwwwwwwwwwwwwwwwwwwwwk..",
    "..kwssssssssssssssssssssssssgk..",
    "..kwssssssssssssssssssssssssgk..",
    "..kwsskkkkkkkkkkkkkkkkkkkssssgk.",
    "..kwsskgggggggggggggggggkssssgk.",
    "..kwsskkkkkkkkkkkkkkkkkkkssssgk.",
    "..kwssssssssssssssssssssssGGsgk.",
    "..kwssssssssssssssssssssssGGsgk.",
    "..kwssssssssssssssssssssssssgk..",
    "..kggggggggggggggggggggggggggk..",
    "..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..",
    "................................",
    "................................",
]


def build():
    assert len(ROWS) == 32 and all(len(r) == 32 for r in ROWS)
    xor = b""
    mask = b""
    for row in reversed(ROWS):  # bottom-up
        nibbles = [INK.get(c, 0) for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, 32, 2))
        bits = "".join("1" if c == "." else "0" for c in row)
        mask += int(bits, 2).to_bytes(4, "big")
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (b, g, r) in PALETTE)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res", "voskarelle.ico")
    with open(out, "wb") as f:
        f.write(build())
