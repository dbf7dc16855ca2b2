#!/usr/bin/env python3
"""Draws the Launcher's icon and writes resources/launcher.png and resources/launcher.ico.

Only the standard library is used so the icon can be regenerated on any build machine. The
output is byte-for-byte reproducible, which keeps the committed files stable across runs.
"""
import math
import os
import struct
import sys
import zlib

SIZE = 256

# Background: a rounded square filling the canvas save for a small margin, as Windows shell
# icons usually leave a little air around the shape.
MARGIN = 8.0
CORNER_RADIUS = 52.0
GRADIENT_START = (0x2B, 0xD4, 0xC8)
GRADIENT_END = (0x4B, 0x2F, 0xC9)

# The "Z": two bars and a diagonal, each a convex region given as half-planes (a, b, c) with
# a*x + b*y + c <= 0 inside and (a, b) of unit length, so the expression is a distance.
Z_LEFT, Z_RIGHT = 66.0, 190.0
Z_TOP, Z_BOTTOM = 62.0, 194.0
BAR = 32.0
DIAGONAL_WIDTH = 50.0

SHADOW_OFFSET = 5.0
SHADOW_SOFTNESS = 9.0
SHADOW_STRENGTH = 0.30


def half_plane(a, b, c):
    n = math.hypot(a, b)
    return (a / n, b / n, c / n)


def box(x0, y0, x1, y1):
    return [half_plane(-1, 0, x0), half_plane(1, 0, -x1), half_plane(0, -1, y0), half_plane(0, 1, -y1)]


def line_through(p, q, inside):
    """The half-plane bounded by the line through p and q that contains the point inside."""
    a = q[1] - p[1]
    b = p[0] - q[0]
    c = -(a * p[0] + b * p[1])
    if a * inside[0] + b * inside[1] + c > 0:
        a, b, c = -a, -b, -c
    return half_plane(a, b, c)


def z_pieces():
    top_bar = box(Z_LEFT, Z_TOP, Z_RIGHT, Z_TOP + BAR)
    bottom_bar = box(Z_LEFT, Z_BOTTOM - BAR, Z_RIGHT, Z_BOTTOM)
    # The diagonal reaches halfway into both bars so the union has no seam where they meet;
    # clipping it to the bars' x range keeps it from poking out past their ends.
    upper_y = Z_TOP + BAR
    lower_y = Z_BOTTOM - BAR
    right_edge = ((Z_RIGHT, upper_y), (Z_LEFT + DIAGONAL_WIDTH, lower_y))
    left_edge = ((Z_RIGHT - DIAGONAL_WIDTH, upper_y), (Z_LEFT, lower_y))
    centre = (SIZE / 2.0, SIZE / 2.0)
    diagonal = [
        line_through(*right_edge, centre),
        line_through(*left_edge, centre),
        half_plane(-1, 0, Z_LEFT),
        half_plane(1, 0, -Z_RIGHT),
        half_plane(0, -1, upper_y - BAR / 2),
        half_plane(0, 1, -(lower_y + BAR / 2)),
    ]
    return [top_bar, bottom_bar, diagonal]


def convex_distance(planes, x, y):
    # Exact inside and along the edges; slightly short near outside corners, which only
    # matters well beyond the one-pixel band that the anti-aliasing looks at.
    return max(a * x + b * y + c for a, b, c in planes)


def union_distance(pieces, x, y):
    return min(convex_distance(p, x, y) for p in pieces)


def rounded_square_distance(x, y):
    half = SIZE / 2.0 - MARGIN
    qx = abs(x - SIZE / 2.0) - (half - CORNER_RADIUS)
    qy = abs(y - SIZE / 2.0) - (half - CORNER_RADIUS)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - CORNER_RADIUS


def coverage(distance):
    return min(1.0, max(0.0, 0.5 - distance))


def smoothstep(edge0, edge1, v):
    t = min(1.0, max(0.0, (v - edge0) / (edge1 - edge0)))
    return t * t * (3.0 - 2.0 * t)


def mix(c0, c1, t):
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def render():
    pieces = z_pieces()
    rows = []
    for j in range(SIZE):
        row = bytearray()
        y = j + 0.5
        for i in range(SIZE):
            x = i + 0.5
            alpha = coverage(rounded_square_distance(x, y))
            if alpha == 0.0:
                row += b"\0\0\0\0"
                continue
            t = (x + y - 2 * MARGIN) / (2 * (SIZE - 2 * MARGIN))
            colour = mix(GRADIENT_START, GRADIENT_END, min(1.0, max(0.0, t)))
            # A soft light band across the top gives the flat square some depth.
            colour = mix(colour, (255, 255, 255), 0.14 * (1.0 - smoothstep(MARGIN, SIZE / 2.0, y)))
            shadow_distance = union_distance(pieces, x, y - SHADOW_OFFSET)
            shadow = SHADOW_STRENGTH * (1.0 - smoothstep(-SHADOW_SOFTNESS / 2, SHADOW_SOFTNESS, shadow_distance))
            colour = mix(colour, (10, 8, 40), shadow)
            colour = mix(colour, (255, 255, 255), coverage(union_distance(pieces, x, y)))
            row += bytes(int(round(c)) for c in colour)
            row.append(int(round(alpha * 255)))
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def encode_png(rows):
    ihdr = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", zlib.compress(raw, 9))
            + png_chunk(b"IEND", b""))


def encode_ico(png):
    # A width and height byte of 0 means 256; Vista and later accept PNG data as the image.
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png), 6 + 16)
    return header + entry + png


def main():
    resources = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "resources")
    png = encode_png(render())
    with open(os.path.join(resources, "launcher.png"), "wb") as f:
        f.write(png)
    with open(os.path.join(resources, "launcher.ico"), "wb") as f:
        f.write(encode_ico(png))
    return 0


if __name__ == "__main__":
    sys.exit(main())
