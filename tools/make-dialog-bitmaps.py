#!/usr/bin/env python3
"""Draws the reporting dialogs' bitmaps into resources/dialogs/ as PNG files.

The images are simple shapes, drawn here so that they can be changed and drawn again, with
nothing but the standard library:
  error.png    32 x 32  the exception dialogs' icon
  send.png     32 x 32  the send progress window
  plus.png     13 x 13  a folded group's sign
  minus.png    13 x 13  an unfolded group's sign
  library.png, package.png, application.png, source.png  16 x 16  the list rows' images

Usage: tools/make-dialog-bitmaps.py [output folder]
"""
import math
import os
import struct
import sys
import zlib

SUPER = 4  # samples per pixel along each axis, for smooth edges


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0, 0, 0, 0) for _ in range(w)] for _ in range(h)]

    def blend(self, x, y, colour, coverage):
        if coverage <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        r, g, b, a = colour
        a = a / 255.0 * min(coverage, 1.0)
        dr, dg, db, da = self.px[y][x]
        da /= 255.0
        oa = a + da * (1 - a)
        if oa == 0:
            return
        mix = lambda s, d: (s * a + d * da * (1 - a)) / oa
        self.px[y][x] = (round(mix(r, dr)), round(mix(g, dg)), round(mix(b, db)), round(oa * 255))

    def fill(self, inside, colour):
        """Fills where inside(x, y) holds, x and y in pixel units (pixel centres at +0.5)."""
        for y in range(self.h):
            for x in range(self.w):
                hits = 0
                for sy in range(SUPER):
                    for sx in range(SUPER):
                        if inside(x + (sx + 0.5) / SUPER, y + (sy + 0.5) / SUPER):
                            hits += 1
                self.blend(x, y, colour, hits / (SUPER * SUPER))

    def rect(self, x0, y0, x1, y1, colour):
        self.fill(lambda x, y: x0 <= x < x1 and y0 <= y < y1, colour)

    def frame(self, x0, y0, x1, y1, colour, width=1):
        self.fill(lambda x, y: x0 <= x < x1 and y0 <= y < y1 and not (
            x0 + width <= x < x1 - width and y0 + width <= y < y1 - width), colour)

    def disc(self, cx, cy, radius, colour):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
            px, py = x0 + t * dx, y0 + t * dy
            return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
        self.fill(inside, colour)

    def polygon(self, points, colour):
        def inside(x, y):
            odd = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    odd = not odd
                j = i
            return odd
        self.fill(inside, colour)

    def png(self):
        raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in self.px)

        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


WHITE = (255, 255, 255, 255)
BLACK = (0, 0, 0, 255)
GREY = (128, 128, 128, 255)
DARK = (64, 64, 64, 255)
RED = (204, 32, 32, 255)
DARK_RED = (140, 16, 16, 255)
BLUE = (49, 106, 197, 255)
LIGHT_BLUE = (204, 218, 241, 255)
YELLOW = (238, 196, 72, 255)
BROWN = (176, 128, 56, 255)
GREEN = (56, 142, 60, 255)
PAPER = (250, 250, 246, 255)


def error():
    c = Canvas(32, 32)
    c.disc(16.5, 16.5, 15, (0, 0, 0, 60))  # shadow
    c.disc(16, 16, 15, DARK_RED)
    c.disc(16, 16, 13.8, RED)
    c.line(10.5, 10.5, 21.5, 21.5, 3.6, WHITE)
    c.line(21.5, 10.5, 10.5, 21.5, 3.6, WHITE)
    return c


def send():
    c = Canvas(32, 32)
    c.rect(2, 8, 26, 26, DARK)  # the envelope
    c.rect(3, 9, 25, 25, PAPER)
    c.polygon([(3, 9), (25, 9), (14, 19)], (224, 224, 214, 255))
    c.line(3, 9, 14, 19, 1.2, GREY)
    c.line(25, 9, 14, 19, 1.2, GREY)
    c.polygon([(19, 17), (26, 17), (26, 13), (31, 20.5), (26, 28), (26, 24), (19, 24)], GREEN)  # on its way
    return c


def sign(expanded):
    c = Canvas(13, 13)
    c.rect(0, 0, 13, 13, WHITE)
    c.frame(0, 0, 13, 13, GREY)
    c.rect(3, 6, 10, 7, BLACK)
    if not expanded:
        c.rect(6, 3, 7, 10, BLACK)
    return c


def document(c, fold=4):
    c.polygon([(2, 1), (14 - fold, 1), (14, 1 + fold), (14, 15), (2, 15)], DARK)
    c.polygon([(3, 2), (13 - fold, 2), (13, 1 + fold + 1), (13, 14), (3, 14)], PAPER)
    c.polygon([(14 - fold, 1), (14, 1 + fold), (14 - fold, 1 + fold)], GREY)


def library():
    c = Canvas(16, 16)
    document(c)
    c.disc(8, 10, 3.6, BLUE)  # a cog for code that others load
    c.disc(8, 10, 1.5, PAPER)
    for k in range(6):
        a = k * math.pi / 3
        c.line(8 + 3 * math.cos(a), 10 + 3 * math.sin(a), 8 + 4.6 * math.cos(a), 10 + 4.6 * math.sin(a), 1.6, BLUE)
    return c


def package():
    c = Canvas(16, 16)
    c.polygon([(1, 5), (8, 2), (15, 5), (8, 8)], (214, 170, 96, 255))  # a box
    c.polygon([(1, 5), (8, 8), (8, 15), (1, 12)], BROWN)
    c.polygon([(15, 5), (8, 8), (8, 15), (15, 12)], (150, 104, 40, 255))
    c.line(4.5, 3.5, 11.5, 6.5, 1.2, YELLOW)
    return c


def application():
    c = Canvas(16, 16)
    c.rect(1, 2, 15, 14, DARK)  # a window
    c.rect(2, 3, 14, 6, BLUE)
    c.rect(2, 6, 14, 13, WHITE)
    c.rect(3, 8, 9, 9, LIGHT_BLUE)
    c.rect(3, 10, 12, 11, LIGHT_BLUE)
    return c


def source():
    c = Canvas(16, 16)
    document(c)
    for y, (x0, x1) in zip((5, 7, 9, 11), ((4, 9), (5, 11), (5, 10), (4, 8))):
        c.rect(x0, y, x1, y + 1, BLUE if y != 9 else GREEN)
    return c


IMAGES = {
    "error.png": error, "send.png": send, "plus.png": lambda: sign(False), "minus.png": lambda: sign(True),
    "library.png": library, "package.png": package, "application.png": application, "source.png": source,
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources", "dialogs")
    os.makedirs(out, exist_ok=True)
    for name, draw in IMAGES.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(draw().png())


if __name__ == "__main__":
    main()
