#!/usr/bin/env python3
"""Draws the setup dialog's picture (resource 218): a small refractor on a
tripod under a night sky, 48 x 56 pixels, 24 bits per pixel. Run it to
rewrite logo.bmp next to this file; the build uses the committed .bmp."""
import math
import os
import struct

WIDTH, HEIGHT = 48, 56


def blend(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def inside_rounded(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def pixel(x, y):
    # Pixel centres, top-down.
    px, py = x + 0.5, y + 0.5
    frame = (46, 84, 40)
    if not inside_rounded(px, py, 0.5, 0.5, WIDTH - 0.5, HEIGHT - 0.5, 7):
        return (210, 230, 190)          # the dialog's green around the badge
    if not inside_rounded(px, py, 2.5, 2.5, WIDTH - 2.5, HEIGHT - 2.5, 5):
        return frame
    sky = blend((12, 20, 64), (40, 70, 130), py / HEIGHT)
    colour = sky
    # A crescent moon.
    if math.hypot(px - 36, py - 12) <= 6 and math.hypot(px - 33.5, py - 10) > 5:
        colour = (245, 236, 180)
    # Stars.
    for sx, sy in ((8, 8), (16, 15), (24, 6), (11, 24), (41, 26), (29, 19), (6, 36)):
        if int(px) == sx and int(py) == sy:
            colour = (255, 255, 240)
    # Ground.
    if py > 47:
        colour = (30, 52, 28)
    # Tripod legs from the mount head.
    head = (24, 33)
    for foot in ((13, 50), (24, 51), (35, 50)):
        if distance_to_segment(px, py, *head, *foot) <= 1.0:
            colour = (170, 170, 178)
    # The tube, pointing up to the right, with a dew shield and an eyepiece.
    if distance_to_segment(px, py, 14, 38, 36, 22) <= 3.2:
        colour = (236, 238, 244)
    if distance_to_segment(px, py, 33, 24, 37.5, 20.7) <= 3.8:
        colour = (200, 40, 40)
    if distance_to_segment(px, py, 13, 39, 10, 37) <= 1.3:
        colour = (60, 60, 66)
    if math.hypot(px - head[0], py - head[1]) <= 2.2:
        colour = (90, 90, 100)
    return colour


def main():
    row_bytes = (WIDTH * 3 + 3) & ~3
    image = bytearray()
    for y in reversed(range(HEIGHT)):           # bottom-up rows
        row = bytearray()
        for x in range(WIDTH):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(row_bytes - len(row))
        image += row
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "logo.bmp")
    with open(path, "wb") as out:
        out.write(header + info + image)


if __name__ == "__main__":
    main()
