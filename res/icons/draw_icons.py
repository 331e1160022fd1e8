#!/usr/bin/env python3
"""Draws keldar.exe's icons and writes them as .ico files (palette images with a mask).

    python3 res/icons/draw_icons.py res/icons

Every picture is described once, in a 32 x 32 design grid, and rasterised at each size the
icon needs; colours are given in RGB and mapped to the nearest entry of the image's palette
(the 16 standard colours at 4 bits, those plus a colour cube and a grey ramp at 8 bits).
Only the Python standard library is used, so the output is the same on every machine.
"""

import os
import struct
import sys

VGA16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]


def palette(bits):
    if bits == 4:
        return list(VGA16)
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(8 + 10 * i,) * 3 for i in range(24)]
    return VGA16 + cube + greys


BLACK = (0x00, 0x00, 0x00)
WHITE = (0xFF, 0xFF, 0xFF)
SILVER = (0xC0, 0xC0, 0xC0)
GREY = (0x80, 0x80, 0x80)
NAVY = (0x00, 0x00, 0x80)
BLUE = (0x00, 0x00, 0xFF)
RED = (0xFF, 0x00, 0x00)
MAROON = (0x80, 0x00, 0x00)
YELLOW = (0xFF, 0xFF, 0x00)
OLIVE = (0x80, 0x80, 0x00)
GREEN = (0x00, 0x80, 0x00)
TEAL = (0x00, 0x80, 0x80)
AQUA = (0x00, 0xFF, 0xFF)
FUCHSIA = (0xFF, 0x00, 0xFF)

# --- shapes: each is a test "does the design point (x, y) lie inside?" -----------------------


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def round_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r, width):
    return lambda x, y: (r - width) ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def segment(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
                hit = not hit
        return hit
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


class Canvas:
    """A size x size picture; None is a transparent pixel."""

    SAMPLES = 4

    def __init__(self, size):
        self.size = size
        self.scale = 32.0 / size
        self.pixels = [[None] * size for _ in range(size)]

    def fill(self, shape, colour):
        """Paints every pixel that the shape covers at least half."""
        n = self.SAMPLES
        for py in range(self.size):
            for px in range(self.size):
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        x = (px + (sx + 0.5) / n) * self.scale
                        y = (py + (sy + 0.5) / n) * self.scale
                        hits += bool(shape(x, y))
                if hits * 2 >= n * n:
                    self.pixels[py][px] = colour(px, py) if callable(colour) else colour

    def line(self, x0, y0, x1, y1, width, colour):
        # A stroke stays at least one pixel wide at every size.
        self.fill(segment(x0, y0, x1, y1, max(width, self.scale)), colour)


# --- the pictures ----------------------------------------------------------------------------


def draw_keldar(c):
    """The application: a USB protection key (plug, body, light, key ring) marked K."""
    c.fill(ring(27.5, 16, 4, 1.6), GREY)
    c.fill(rect(1, 11, 10, 21), GREY)
    c.fill(rect(2, 12, 10, 20), SILVER)
    c.fill(rect(3, 13.5, 5.5, 16), BLACK)
    c.fill(rect(6.5, 13.5, 9, 16), BLACK)
    c.fill(round_rect(8, 6, 27, 26, 3.5), NAVY)
    c.fill(round_rect(9.5, 7.5, 25.5, 24.5, 2.5), BLUE)
    c.line(13.5, 11, 13.5, 21, 2.2, WHITE)
    c.line(14.5, 16.5, 19.5, 11, 2.2, WHITE)
    c.line(15.5, 15.5, 19.5, 21, 2.2, WHITE)
    c.fill(circle(22.5, 11, 1.6), RED)


# 6 x 9 letters drawn with 2-unit strokes.
LETTERS = {
    "H": [(0, 0, 2, 9), (4, 0, 6, 9), (0, 3.5, 6, 5.5)],
    "U": [(0, 0, 2, 9), (4, 0, 6, 9), (0, 7, 6, 9)],
    "B": [(0, 0, 2, 9), (0, 0, 5, 2), (0, 3.5, 5, 5.5), (0, 7, 5, 9), (4, 1, 6, 3.5),
          (4, 5.5, 6, 8)],
}


def draw_hub(c):
    """The word HUB above a strip of three ports."""
    for i, letter in enumerate("HUB"):
        ox = 4 + i * 9
        for x0, y0, x1, y1 in LETTERS[letter]:
            c.fill(rect(ox + x0, 3 + y0, ox + x1, 3 + y1), NAVY)
    c.fill(round_rect(1, 16, 31, 30, 2), GREY)
    c.fill(round_rect(2, 17, 30, 29, 1.5), SILVER)
    for ox in (3.5, 12.5, 21.5):
        c.fill(rect(ox, 19.5, ox + 7, 26.5), BLACK)
        c.fill(rect(ox + 1, 20.5, ox + 6, 22.5), WHITE)


def draw_computer(c):
    """A computer screen with a picture on it, a pencil and a ruler."""
    c.fill(round_rect(2, 3, 28, 23, 1.5), GREY)
    c.fill(rect(3, 4, 27, 22), SILVER)

    def screen(px, py):
        # Deeper blue towards the bottom of the glass; the 4-bit palette keeps one blue.
        t = py / c.size
        return (0, int(96 + 120 * (1 - t)), int(200 + 55 * (1 - t)))
    c.fill(rect(5, 6, 25, 20), screen)
    c.fill(ring(11.5, 12.5, 4, 1.5), RED)
    c.fill(polygon([(15, 18.5), (19.5, 8.5), (23.5, 18.5)]), YELLOW)
    c.fill(rect(13, 23, 17, 26), GREY)
    c.fill(rect(8, 26, 22, 28.5), GREY)
    # The ruler along the bottom, the pencil across the corner.
    c.fill(rect(1, 29, 18, 31.5), OLIVE)
    for x in range(3, 18, 3):
        c.fill(rect(x, 29, x + 0.9, 30.2), BLACK)
    c.line(21, 27, 29.5, 12.5, 3.2, YELLOW)
    c.fill(polygon([(19.2, 30.8), (19.6, 26.2), (22.6, 27.9)]), (0xE0, 0xC0, 0x90))
    c.fill(circle(19.6, 30.2, 0.9), BLACK)
    c.line(29.5, 12.5, 30.6, 10.6, 3.2, FUCHSIA)


def trident(scale, ox, oy):
    """The USB trident, drawn lying down, in a box of about 28 x 18 units times scale."""
    def p(x, y):
        return ox + x * scale, oy + y * scale
    w = 2.2 * scale
    shapes = [
        circle(*p(3, 9), 3 * scale),
        segment(*p(3, 9), *p(22, 9), w),
        polygon([p(21, 4.5), p(28, 9), p(21, 13.5)]),
        segment(*p(8, 9), *p(12, 2.5), w),
        segment(*p(12, 2.5), *p(18, 2.5), w),
        circle(*p(19, 2.5), 2.4 * scale),
        segment(*p(11.5, 9), *p(15.5, 15.5), w),
        segment(*p(15.5, 15.5), *p(20, 15.5), w),
        rect(*p(19.5, 13), *p(24.5, 18)),
    ]
    return union(*shapes)


def draw_usb(c):
    """One USB trident, blue."""
    c.fill(trident(1.0, 2, 6.5), BLUE)


def draw_usb_pair(c):
    """Two overlapping USB tridents, blue behind, red in front."""
    c.fill(trident(0.78, 1, 2), BLUE)
    c.fill(trident(0.78, 9, 14.5), RED)


# --- .ico writing ------------------------------------------------------------------------------


def nearest(pal, rgb, cache):
    if rgb not in cache:
        cache[rgb] = min(range(len(pal)),
                         key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], rgb)))
    return cache[rgb]


def dib(canvas, bits):
    """One icon image: header, palette, colour rows and mask rows, both bottom-up."""
    size = canvas.size
    pal = palette(bits)
    cache = {}
    colour_stride = ((size * bits + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    colour_rows, mask_rows = [], []
    for row in reversed(canvas.pixels):
        indices = [0 if px is None else nearest(pal, px, cache) for px in row]
        if bits == 4:
            packed = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        else:
            packed = bytes(indices)
        colour_rows.append(packed.ljust(colour_stride, b"\0"))
        mask = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(mask))
    image = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(image), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
    return header + colours + image


def write_ico(path, images):
    """images: (size, bits, draw) in directory order."""
    blobs = []
    for size, bits, draw in images:
        canvas = Canvas(size)
        draw(canvas)
        blobs.append((size, bits, dib(canvas, bits)))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, bits, blob in blobs:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0, 1,
                           bits, len(blob), offset)
        offset += len(blob)
    out += b"".join(blob for _, _, blob in blobs)
    with open(path, "wb") as f:
        f.write(out)


ICONS = {
    "keldar.ico": [(32, 4, draw_keldar), (16, 4, draw_keldar)],
    "hub.ico": [(32, 4, draw_hub)],
    "computer.ico": [(32, 4, draw_computer), (16, 4, draw_computer), (48, 4, draw_computer),
                     (32, 8, draw_computer), (48, 8, draw_computer), (16, 8, draw_computer)],
    "usb.ico": [(32, 4, draw_usb)],
    "usb_pair.ico": [(32, 4, draw_usb_pair)],
}


def main(argv):
    out_dir = argv[1] if len(argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, images in ICONS.items():
        write_ico(os.path.join(out_dir, name), images)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
