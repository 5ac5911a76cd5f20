#!/usr/bin/env python3
"""Draws oarepair's program icon and writes it as a Windows .ico file.

The icon holds two images, 32x32 and 16x16, each with 16 colours (4 bits a pixel, the standard
Windows palette) and a transparency mask: a blue registry block with three white entry rows and a
green check mark over its lower right corner.

Usage: make-icon.py OUTPUT.ico [PREVIEW.ppm]
"""

import struct
import sys

# The standard 16-colour Windows palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_GREEN, NAVY, SILVER, GRAY, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15
TRANSPARENT = None


def draw(size):
    """Returns size rows of size palette indexes (None where transparent)."""
    px = [[TRANSPARENT] * size for _ in range(size)]
    s = size / 32.0  # the drawing is laid out on a 32-unit grid

    def fill_rect(x0, y0, x1, y1, colour):
        for y in range(int(round(y0 * s)), int(round(y1 * s))):
            for x in range(int(round(x0 * s)), int(round(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    # The registry block: a navy frame around a blue face, with a gray shadow.
    fill_rect(4, 5, 27, 27, GRAY)
    fill_rect(2, 3, 25, 25, NAVY)
    fill_rect(3, 4, 24, 24, BLUE)
    # Three entry rows: a silver bullet and a white line each.
    for top in (7, 12, 17):
        fill_rect(6, top, 8, top + 2, SILVER)
        fill_rect(10, top, 21, top + 2, WHITE)

    # The check mark: a thick stroke from (15,21) down to (20,26) and up to (29,12), in lime with
    # a dark green outline. Pixels are tested against the two segments at their centres.
    def dist_to_segment(x, y, ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)))
        cx, cy = ax + t * dx, ay + t * dy
        return ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5

    segments = [(15, 20, 20, 26), (20, 26, 29, 12)]
    for y in range(size):
        for x in range(size):
            gx, gy = (x + 0.5) / s, (y + 0.5) / s
            d = min(dist_to_segment(gx, gy, *seg) for seg in segments)
            if d <= 2.2:
                px[y][x] = LIME
            elif d <= 3.6:
                px[y][x] = DARK_GREEN
    return px


def image_bytes(px):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour bitmap, 1-bit mask (bottom-up)."""
    size = len(px)
    xor_row = (size * 4 + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         (xor_row + and_row) * size, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor_bits = bytearray()
    and_bits = bytearray()
    for row in reversed(px):
        line = bytearray(xor_row)
        mask = bytearray(and_row)
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = BLACK
            line[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        xor_bits += line
        and_bits += mask
    return header + palette + bytes(xor_bits) + bytes(and_bits)


def write_ico(path, images):
    """An .ico file: ICONDIR, one ICONDIRENTRY per image, then the images."""
    data = [image_bytes(px) for px in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for px, blob in zip(images, data):
        size = len(px)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    for blob in data:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


def write_preview(path, px, scale=8, backdrop=(0xE0, 0xE0, 0xE0)):
    """A magnified PPM picture of one image, transparent pixels shown on a light backdrop."""
    size = len(px)
    with open(path, "wb") as f:
        f.write(b"P6 %d %d 255\n" % (size * scale, size * scale))
        for row in px:
            line = b"".join(bytes(PALETTE[c] if c is not None else backdrop) * scale for c in row)
            f.write(line * scale)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    images = [draw(32), draw(16)]
    write_ico(argv[1], images)
    if len(argv) == 3:
        write_preview(argv[2], images[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
