#!/usr/bin/python3
"""Draws the tray's icons into tray/resources/ (or the directory given as
the only argument):

  barcode.ico  resource 101, the barcode reader: black bars of varying
               width on a white card, at 256, 128, 64, 48, 32 and 16 pixels.
  phone.ico    resource 102, the phone: a dark rounded body with a light
               screen and a round lens, at 16 pixels.
  barcode.png  the barcode reader's toast image, 128 x 128 RGBA.
  vidrelo.png  the phone's toast image, 128 x 128 RGBA.

Every size is drawn from the same geometry, in 32-bit colour with alpha,
and stored as an uncompressed DIB entry, which every icon reader takes; the
toast images are the same drawings as PNG files (the install directory
holds them).
Plain python3, no other package: the bytes depend only on the drawing.
"""
import os
import struct
import sys

from png_file import write_png

WHITE = (255, 255, 255, 255)
BLACK = (0, 0, 0, 255)
CLEAR = (0, 0, 0, 0)
BODY = (40, 44, 52, 255)
SCREEN = (120, 190, 255, 255)
LENS = (230, 230, 230, 255)

# Bar widths across the card, in units of 1/40 of the icon; 0 is a gap.
BARS = [2, 1, 1, 3, 1, 2, 1, 1, 2, 3, 1, 1, 2, 1, 3, 1, 2, 1, 1]


def barcode(size):
    def pixel(x, y):
        u, v = (x + 0.5) / size, (y + 0.5) / size
        if not (0.06 <= u < 0.94 and 0.16 <= v < 0.84):
            return CLEAR
        if not (0.14 <= u < 0.86 and 0.24 <= v < 0.76):
            return WHITE
        at = (u - 0.14) / 0.72 * sum(BARS)
        for index, width in enumerate(BARS):
            if at < width:
                return BLACK if index % 2 == 0 else WHITE
            at -= width
        return WHITE
    return pixel


def phone(size):
    def pixel(x, y):
        u, v = (x + 0.5) / size, (y + 0.5) / size
        if not (0.22 <= u < 0.78 and 0.04 <= v < 0.96):
            return CLEAR
        corner = 0.12
        cu = min(max(u, 0.22 + corner), 0.78 - corner)
        cv = min(max(v, 0.04 + corner), 0.96 - corner)
        if (u - cu) ** 2 + (v - cv) ** 2 > corner ** 2:
            return CLEAR
        if (u - 0.5) ** 2 + (v - 0.84) ** 2 < 0.07 ** 2:
            return LENS
        if 0.30 <= u < 0.70 and 0.12 <= v < 0.72:
            return SCREEN
        return BODY
    return pixel


def dib(size, pixel):
    """BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        row = bytearray()
        mask = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
            if a == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    return header + b"".join(rows) + b"".join(mask_rows)


def write_ico(path, images):
    """images: (size, DIB bytes) pairs, largest first."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + entries + b"".join(data for _, data in images))


def save_png(path, size, pixel):
    rows = [bytes(channel for x in range(size) for channel in pixel(x, y)) for y in range(size)]
    write_png(path, size, size, 6, rows)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "tray", "resources")
    os.makedirs(target, exist_ok=True)
    write_ico(os.path.join(target, "barcode.ico"),
              [(size, dib(size, barcode(size))) for size in (256, 128, 64, 48, 32, 16)])
    write_ico(os.path.join(target, "phone.ico"), [(16, dib(16, phone(16)))])
    save_png(os.path.join(target, "barcode.png"), 128, barcode(128))
    save_png(os.path.join(target, "vidrelo.png"), 128, phone(128))


if __name__ == "__main__":
    main()
